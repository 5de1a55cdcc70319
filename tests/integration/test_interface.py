"""The web interface through the real binary: which requests reach it, the
access bit, the Referer check, the login cookie, the configuration export,
the administration pages and the escaping of everything they show."""
import calendar
import email.utils
import os
import re
import socket
import time
import urllib.parse
import xml.etree.ElementTree as ET

import pytest

from conftest import (Client, add_item, exchange, recv_all, sanitizer_reports, set_fields,
                      wait_until, write_config)
from test_auth import Slapd, ldap_directory
from test_filters import rule as filter_rule
from test_parents import SilentServer, forward_config
from upstream_peers import Tinyproxy

REFERER = "http://kelvarine.cfg/"
HOSTILE = '"><script>alert(1)</script>'


def config(tmp_path, edit):
    return write_config(tmp_path / "kelvarine.xml", edit)


def allow_rule(root):
    return root.find("access").find("allow")


def request_text(target, headers=(), host="kelvarine.cfg", method="GET", body=None):
    lines = [f"{method} {target} HTTP/1.1", f"Host: {host}", *headers]
    if body is not None:
        lines += ["Content-Type: application/x-www-form-urlencoded", f"Content-Length: {len(body)}"]
    return "\r\n".join(lines) + "\r\n\r\n" + (body or "")


def get(proxy, target, headers=(), host="kelvarine.cfg", source=None, method="GET", body=None):
    reply, _ = exchange(proxy, request_text(target, headers, host, method, body), source=source)
    return reply


def page_request(path, fields=None):
    """An interface page's request: a POST of `fields` when there are any."""
    if fields is None:
        return request_text(f"http://kelvarine.cfg{path}", [f"Referer: {REFERER}"])
    return request_text(f"http://kelvarine.cfg{path}", [f"Referer: {REFERER}"], method="POST",
                        body=urllib.parse.urlencode(fields))


def page(proxy, path, referer=REFERER, headers=(), **kwargs):
    extra = ([f"Referer: {referer}"] if referer else []) + list(headers)
    return get(proxy, f"http://kelvarine.cfg{path}", headers=extra, **kwargs)


def post(proxy, path, fields, referer=REFERER, headers=()):
    return page(proxy, path, referer=referer, headers=headers, method="POST",
                body=urllib.parse.urlencode(fields))


# ------------------------------------------------------------ recognition

@pytest.mark.parametrize("target,host,status,menu", [
    ("http://KELVARINE.CFG/stats", "KELVARINE.CFG", 200, True),
    ("/kelvarine.cfg/stats", "origin.test", 200, True),
    ("/KELVARINE.CFG/", "origin.test", 200, True),
    ("/stats", "kelvarine.cfg", 200, True),
    ("/stats", "Kelvarine.Cfg", 200, True),
])
def test_requests_for_the_interface_reach_it(proxy_factory, target, host, status, menu):
    proxy = proxy_factory()
    reply = get(proxy, target, host=host, headers=[f"Referer: {REFERER}"])
    assert reply.status == status
    assert (b"Top Menu" in reply.body) == menu
    assert reply.header("Content-Type") == "text/html"
    assert reply.header("Date")
    assert reply.header("Content-Length") == str(len(reply.body))


@pytest.mark.parametrize("target", ["/kelvarine.cfg", "/kelvarine.cfgxyz"])
def test_the_bare_prefix_is_redirected(proxy_factory, target):
    proxy = proxy_factory()
    reply = get(proxy, target, host="origin.test")
    assert reply.status == 302
    assert reply.header("Location") == "kelvarine.cfg/"
    assert reply.header("Content-Length") == "0"
    assert reply.body == b""


def no_interface_for_second_address(root):
    """127.0.0.2 may use the proxy but not the interface."""
    access = root.find("access")
    rule = allow_rule(root)
    set_fields(rule, client_ranges="127.0.0.1-127.0.0.1")
    add_item(access, "allow", rule, comment="proxy only", client_ranges="127.0.0.2-127.0.0.2",
             access="proxy,transparent,host_header")


@pytest.mark.parametrize("target,host,status", [
    ("http://kelvarine.cfg/stats", "kelvarine.cfg", 403),
    ("http://kelvarine.cfg/xml", "kelvarine.cfg", 403),
    ("http://kelvarine.cfg/ldapcache", "kelvarine.cfg", 403),
    ("/kelvarine.cfg", "origin.test", 403),
    ("/kelvarine.cfg/template/uparrow", "origin.test", 200),
    ("http://kelvarine.cfg/TEMPLATE/downarrow", "kelvarine.cfg", 200),
    ("http://kelvarine.cfg/userstats", "kelvarine.cfg", 200),
    ("/kelvarine.cfg/userstats", "origin.test", 200),
    ("http://kelvarine.cfg/template", "kelvarine.cfg", 403),
    ("http://kelvarine.cfg/templatex", "kelvarine.cfg", 403),
])
def test_without_the_interface_bit(tmp_path, proxy_factory, target, host, status):
    proxy = proxy_factory(config=config(tmp_path, no_interface_for_second_address))
    reply = get(proxy, target, host=host, source="127.0.0.2")
    assert reply.status == status
    if status == 403:
        assert b"Top Menu" not in reply.body and b"<kelvarine>" not in reply.body
    # The same request from the administrator's address is served.
    assert get(proxy, target, host=host, source="127.0.0.1").status in (200, 302)


# ------------------------------------------------------------ the Referer

@pytest.mark.parametrize("referer,accepted", [
    (None, False),
    ("http://kelvarine.cfg", False),
    ("https://kelvarine.cfg/", False),
    ("http://evil.example/kelvarine.cfg/", False),
    ("http://kelvarine.cfg.evil.example/", False),
    ("http://kelvarine.cfg/", True),
    ("HTTP://KELVARINE.CFG:3128/log", True),
    ("http://admin.proxy.test/", True),
    # The page opened directly at the listener the request was sent to.
    ("http://{listener}/kelvarine.cfg/config", True),
    ("HTTP://{listener}/kelvarine.cfg/", True),
    ("http://{listener}", False),
    ("http://{listener}0/kelvarine.cfg/", False),
    ("http://127.0.0.2:{port}/kelvarine.cfg/", False),
    ("http://127.0.0.1:{other_port}/kelvarine.cfg/", False),
    ("https://{listener}/kelvarine.cfg/", False),
])
def test_state_changes_need_a_referer_from_the_interface(proxy_factory, referer, accepted):
    proxy = proxy_factory(extra_args=["-H", "admin.proxy.test"])
    if referer:
        referer = referer.format(listener=f"{proxy.host}:{proxy.port}", port=proxy.port,
                                 other_port=proxy.port + 1 if proxy.port < 65535 else 1)
    # Something is in the log ring to clear.
    assert b"Top Menu" in page(proxy, "/stats").body
    reply = page(proxy, "/log?clear=on&size=7&pattern=MARKER", referer=referer)
    assert reply.status == 200 and b"Top Menu" in reply.body
    # A refused Referer runs no page at all for a path with a query.
    assert (b"Regular expression match" in reply.body) == accepted
    listing = page(proxy, "/log").body
    capacity = re.search(rb'name="size" value="(-?\d+)"', listing).group(1)
    assert (capacity == b"7") == accepted


# ------------------------------------------------------------ login

def with_login(root):
    set_fields(allow_rule(root), interface_user="admin", interface_password="s3cr=t;x")


def login_cookie(reply):
    value = reply.header("Set-Cookie")
    assert value, reply
    return value


def test_login_with_the_form_and_the_cookie(tmp_path, proxy_factory, monkeypatch):
    # Far west of UTC: the cookie's expiry is still an hour ahead in GMT.
    monkeypatch.setenv("TZ", "Etc/GMT+11")
    proxy = proxy_factory(config=config(tmp_path, with_login))

    form = page(proxy, "/stats")
    assert b"Web interface login" in form.body and b"Top Menu" not in form.body
    assert b'<form action="/stats" method="POST">' in form.body
    assert form.header("Set-Cookie") is None

    wrong = post(proxy, "/stats", {"username": "admin", "password": "s3cr=t;X"})
    assert b"Web interface login" in wrong.body and wrong.header("Set-Cookie") is None

    good = post(proxy, "/stats", {"username": "admin", "password": "s3cr=t;x"})
    assert b"Top Menu" in good.body and b"Web interface login" not in good.body
    cookie = login_cookie(good)
    m = re.match(r"login=([^;]+); path=/; expires=(.+)$", cookie)
    assert m, cookie
    token = m.group(1)
    expiry = calendar.timegm(time.strptime(m.group(2), "%a, %d-%b-%Y %H:%M:%S GMT"))
    assert abs(expiry - (time.time() + 3600)) < 120

    # The cookie carries the login to another page and is renewed with
    # every pair of the request's cookie line.
    again = page(proxy, "/dnscache", headers=[f"Cookie: theme=dark; login={token}"])
    assert b"Top Menu" in again.body and b"Hostname" in again.body
    renewed = login_cookie(again)
    assert renewed.startswith(f"theme=dark; login={token}; path=/; expires=")

    forged = page(proxy, "/dnscache", headers=[f"Cookie: login={token}x"])
    assert b"Web interface login" in forged.body and b"Hostname" not in forged.body
    assert sanitizer_reports(proxy) == []


# ------------------------------------------------------------ /xml

def test_xml_exports_the_configuration_and_closes(proxy_factory):
    proxy = proxy_factory()
    with Client(proxy) as c:
        c.send("GET http://kelvarine.cfg/xml HTTP/1.1\r\nHost: kelvarine.cfg\r\n\r\n")
        reply = c.response()
    assert reply.status == 200
    assert reply.header("Content-Length") is None
    assert reply.header("Content-Type") == "text/xml"
    assert reply.header("Cache-Control") == "no-cache"
    modified = email.utils.parsedate_to_datetime(reply.header("Last-Modified")).timestamp()
    assert abs(modified - time.time()) < 300
    root = ET.fromstring(reply.body)
    assert root.tag == "kelvarine" and root.find("access") is not None


def test_a_stalled_xml_reader_does_not_stop_a_save(tmp_path, proxy_factory):
    proxy = proxy_factory()
    stalled = []
    for _ in range(4):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        s.connect((proxy.host, proxy.port))
        s.sendall(b"GET http://kelvarine.cfg/xml HTTP/1.1\r\nHost: kelvarine.cfg\r\n\r\n")
        stalled.append(s)
    try:
        target = tmp_path / "saved.xml"
        started = time.time()
        reply = post(proxy, "/save", {"filename": str(target)})
        assert b"File saved" in reply.body
        assert time.time() - started < 5
        assert ET.parse(target).getroot().tag == "kelvarine"
    finally:
        for s in stalled:
            s.close()


# ------------------------------------------------------------ pages

def test_save_and_load(tmp_path, proxy_factory):
    proxy = proxy_factory()
    forms = page(proxy, "/save").body
    assert f'name="filename" value="{proxy.config}"'.encode() in forms
    assert f'value="{proxy.config}"'.encode() in page(proxy, "/load").body

    target = tmp_path / "copy.xml"
    assert b"File saved" in post(proxy, "/save", {"filename": str(target)}).body
    assert ET.parse(target).getroot().find("access") is not None
    assert b"Saved failed" in post(proxy, "/save", {"filename": "/nonexistent/dir/x.xml"}).body
    assert b"File loaded" in post(proxy, "/load", {"filename": str(target), "overwrite": "yes"}).body

    broken = tmp_path / "broken.xml"
    broken.write_text("<kelvarine><access>")
    assert b"Load failed" in post(proxy, "/load", {"filename": str(broken)}).body
    assert b"Load failed" in post(proxy, "/load", {"filename": str(tmp_path / "none.xml")}).body
    # The proxy goes on with the configuration it had.
    assert b"Top Menu" in page(proxy, "/stats").body
    assert proxy.proc.poll() is None


def log_lines(body):
    listing = body.split(b'<table class="list">', 1)[1]
    return re.findall(rb'<tr class="list(?:even|odd)"><td>(.*?)</td></tr>', listing)


def test_log_page_clears_resizes_and_filters(proxy_factory):
    proxy = proxy_factory()
    for _ in range(3):
        page(proxy, "/stats")
    lines = log_lines(page(proxy, "/log").body)
    assert any(b"request for web interface" in line for line in lines)

    # Size 0 empties the ring and keeps nothing more.
    body = post(proxy, "/log", {"size": "0"}).body
    assert re.search(rb'name="size" value="0"', body)
    assert log_lines(page(proxy, "/log").body) == []
    # -1 and an empty size leave the capacity alone.
    post(proxy, "/log", {"size": "-1"})
    assert re.search(rb'name="size" value="0"', page(proxy, "/log").body)
    post(proxy, "/log", {"size": "50"})
    page(proxy, "/stats")
    page(proxy, "/dnscache")
    lines = log_lines(page(proxy, "/log").body)
    assert lines, "lines enter the ring again once it has room"
    # Clear and resize in one request: cleared first.
    body = post(proxy, "/log", {"clear": "on", "size": "20"}).body
    assert re.search(rb'name="size" value="20"', body)
    # A pattern matches anywhere, in any case; one that does not compile
    # filters nothing.
    page(proxy, "/stats")
    matched = log_lines(post(proxy, "/log", {"pattern": "WEB INTERFACE"}).body)
    assert matched and all(b"web interface" in line.lower() for line in matched)
    assert log_lines(post(proxy, "/log", {"pattern": "no-such-line-anywhere"}).body) == []
    assert log_lines(post(proxy, "/log", {"pattern": "(unclosed"}).body)


def test_pages_against_real_traffic(origin, proxy_factory):
    (origin.root / "a.html").write_text("<p>a</p>\n")
    proxy = proxy_factory()
    url = f"http://origin.test:{origin.port}/a.html"
    reply, _ = exchange(proxy, f"GET {url} HTTP/1.1\r\nHost: origin.test:{origin.port}\r\n\r\n")
    assert reply.status == 200

    dns = page(proxy, "/dnscache").body
    assert re.search(rb"<td>origin\.test</td><td>127\.0\.0\.1</td><td>\d+</td>", dns)
    pool = page(proxy, "/pool").body
    assert b"<td>Protocol</td><td>Host</td>" in pool
    stats = page(proxy, "/stats").body
    assert b"origin.test" in stats
    conns = page(proxy, "/connections").body
    # The interface request itself is in flight.
    assert b"Transferring" in conns and b"http://kelvarine.cfg:80/connections" in conns
    headers = page(proxy, "/headers", headers=["X-Probe: probe-value"]).body
    assert b"<td>X-Probe</td><td>probe-value</td>" in headers
    assert b"Unfiltered" in headers and b"Filtered" in headers


class SlowClient(Client):
    """A client with a tiny receive buffer, set before it connects, that
    reads only when asked to: the proxy's writes to it block."""

    def __init__(self, proxy, request=None, timeout=60.0):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        self.sock.settimeout(timeout)
        self.sock.connect((proxy.host, proxy.port))
        # Grows in place: the reply comes in pieces of a few kilobytes.
        self.buf = bytearray()
        if request is not None:
            self.send(request)


def blacklist_tree(tmp_path, categories):
    """A URL blacklist directory: {category: (domains lines, urls lines)}."""
    tree = tmp_path / "blacklist"
    for name, (domains, urls) in categories.items():
        (tree / name).mkdir(parents=True)
        (tree / name / "domains").write_text("".join(f"{d}\n" for d in domains))
        (tree / name / "urls").write_text("".join(f"{u}\n" for u in urls))
    return tree


def with_lists(tree, prefetch_threads="0"):
    """The interface's access bits, a prefetch queue that nothing empties
    and a URL blacklist read from `tree`."""
    def edit(root):
        set_fields(root.find("prefetch"), enabled="true", thread_count=prefetch_threads,
                   queue_size="100000", host_limit="0")
        set_fields(root.find("urlblacklist"), enabled="true", mode="0", directory=str(tree))
    return edit


def test_pages_show_a_transfer_in_flight_the_prefetch_queue_and_the_blacklist(
        tmp_path, origin, proxy_factory):
    big = bytes(range(256)) * (8 << 12)
    (origin.root / "big.bin").write_bytes(big)
    tree = blacklist_tree(tmp_path, {"adult": (["bad.test", "worse.test"], ["mixed.test/secret/"]),
                                     "news": (["daily.test"], [])})
    proxy = proxy_factory(config=config(tmp_path, with_lists(tree)))
    base = f"http://origin.test:{origin.port}"

    # A download read slowly is listed while it lasts, and only then.
    slow = SlowClient(proxy, f"GET {base}/big.bin HTTP/1.1\r\nHost: origin.test:{origin.port}\r\n\r\n")
    with slow:
        slow._more()
        listed = f"<td>GET</td><td>{base}/big.bin</td>".encode()
        assert wait_until(lambda: listed in page(proxy, "/connections").body)
        reply = slow.response()
        assert reply.status == 200 and reply.body == big
    assert wait_until(lambda: listed not in page(proxy, "/connections").body)

    # A queued URL is listed, escaped; one that does not parse is not queued.
    queued = f"{base}/q.html?a=1&b=<kvx>"
    post(proxy, "/prefetch", {"queue": queued})
    post(proxy, "/prefetch", {"queue": "not a url at all"})
    listing = page(proxy, "/prefetch").body
    rows = re.findall(rb'<tr class="list(?:even|odd)"><td>(.*?)</td></tr>', listing)
    assert rows == [f"{base}/q.html?a=1&amp;b=&lt;kvx&gt;".encode()], listing[-600:]

    # The blacklist's categories are offered as boxes; the listing shows the
    # categories ticked, with each host's paths ("/" for a whole domain).
    form = page(proxy, "/urlbl").body
    assert b'<input type="checkbox" name="adult" checked></td><td>adult</td>' in form
    assert b'<input type="checkbox" name="news" checked></td><td>news</td>' in form

    def urlbl_rows(fields):
        body = post(proxy, "/urlbl", dict(show="true", **fields)).body
        return sorted(re.findall(rb'<tr class="list(?:even|odd)"><td>([^<]*)</td><td>([^<]*)</td>'
                                 rb'<td>([^<]*)</td>', body))

    assert urlbl_rows({"adult": "on"}) == [(b"adult", b"bad.test", b"/"),
                                           (b"adult", b"mixed.test", b"/secret/"),
                                           (b"adult", b"worse.test", b"/")]
    assert urlbl_rows({"adult": "on", "news": "on", "domain": "^(daily|worse)"}) == [
        (b"adult", b"worse.test", b"/"), (b"news", b"daily.test", b"/")]
    assert urlbl_rows({"adult": "on", "file": "secret"}) == [(b"adult", b"mixed.test", b"/secret/")]
    assert sanitizer_reports(proxy) == []


# Every page that takes a shared lock, made long enough to fill the socket
# buffers on its way to a client that reads nothing.
STALLED_PAGES = [
    ("/connections", None),
    ("/dnscache", None),
    ("/pool", None),
    ("/stats", None),
    ("/log", None),
    ("/prefetch", None),
    ("/urlbl", {"show": "true", "listed": "on"}),
    ("/config?section=url-filtering", None),
]


def test_a_client_that_stops_reading_a_page_holds_up_nobody_else(tmp_path, origin, proxy_factory):
    (origin.root / "a.html").write_text("a\n")
    (origin.root / "big.bin").write_bytes(b"b" * (2 << 20))
    pad = "q" * 1000
    # Long host names fill the DNS cache, the host counters, the pool and
    # the log; one name is kept back for each page, looked up while it stalls.
    names = [f"h{i}." + ("a" * 60 + ".") * 3 + "origin.test" for i in range(300 + len(STALLED_PAGES))]
    tree = blacklist_tree(tmp_path, {"listed": ([f"d{i}-" + "b" * 60 + ".test" for i in range(2000)], [])})

    def edit(root):
        with_lists(tree)(root)
        filtering = root.find("url-filtering")
        set_fields(filtering, enabled="true")
        for i in range(100):
            filtering.append(filter_rule("url-filtering", "deny", comment=f"rule {i} " + "c" * 1000,
                                         host="nothing.matches"))
    # A small send buffer towards clients: a stalled client's page stops
    # the writer after a few kilobytes.
    proxy = proxy_factory(config=config(tmp_path, edit), hosts={n: "127.0.0.1" for n in names},
                          extra_args=["-b", ":4096"])
    spare = names[300:]
    with Client(proxy) as c:
        for name in names[:300]:
            c.send(f"GET http://{name}:{origin.port}/a.html?{pad} HTTP/1.1\r\nHost: {name}:{origin.port}\r\n\r\n")
            assert c.response().status == 200
    for i in range(100):
        post(proxy, "/prefetch", {"queue": f"http://origin.test:{origin.port}/{i}/{pad}"})
    # Downloads that are read no further keep long URLs in flight.
    downloads = [SlowClient(proxy, f"GET http://origin.test:{origin.port}/big.bin?{i}{pad} HTTP/1.1\r\n"
                                   f"Host: origin.test:{origin.port}\r\n\r\n") for i in range(20)]
    try:
        # Every download is in flight, and on the connections page, before
        # a page is measured.
        assert wait_until(lambda: page(proxy, "/connections").body.count(b"/big.bin?") >= 20,
                          timeout=30)
        for (path, fields), name in zip(STALLED_PAGES, spare):
            request = page_request(path, fields)
            size = len(exchange(proxy, request)[0].body)
            assert size > 20000, (path, size)
            stalled = [SlowClient(proxy, request) for _ in range(2)]
            try:
                # Both are stuck in the middle of their page.
                shown = f"http://kelvarine.cfg:80{path}</td>".encode()
                assert wait_until(lambda: page(proxy, "/connections").body.count(shown) >=
                                  2 + (path == "/connections")), path
                started = time.time()
                # A lookup, a log line and counters for a host not seen yet.
                reply, _ = exchange(proxy, f"GET http://{name}:{origin.port}/a.html HTTP/1.1\r\n"
                                           f"Host: {name}:{origin.port}\r\n\r\n")
                assert reply.status == 200, path
                again, _ = exchange(proxy, request)
                assert again.status == 200 and len(again.body) > size * 0.9, path
                assert time.time() - started < 10, path
            finally:
                for s in stalled:
                    s.sock.close()
    finally:
        for d in downloads:
            d.sock.close()
    assert sanitizer_reports(proxy) == []


# ------------------------------------------------------------ escaping

@pytest.fixture
def hostile_directory(tmp_path):
    """slapd with one user whose group is the hostile text."""
    server = Slapd(tmp_path, users={"mallory": ("mallory-pw", [HOSTILE])})
    yield server
    server.stop()


def test_every_page_escapes_what_it_shows(tmp_path, origin, proxy_factory, hostile_directory):
    (origin.root / "c.html").write_text("c\n")
    # A category whose name ends up in a box's name attribute.
    tree = blacklist_tree(tmp_path, {'kv"><kvx>': (["listed.test"], [])})

    def edit(root):
        with_login(root)
        with_lists(tree)(root)
        ldap_directory(root, hostile_directory)
    proxy = proxy_factory(config=config(tmp_path, edit))
    # A URL, logged and kept as a cache key.
    plain = f"origin.test:{origin.port}"
    reply, _ = exchange(proxy, f"GET http://{plain}/c.html?kvurl{HOSTILE} HTTP/1.1\r\nHost: {plain}\r\n\r\n")
    assert reply.status == 200
    token = re.match(r"login=([^;]+)",
                     login_cookie(post(proxy, "/stats", {"username": "admin",
                                                         "password": "s3cr=t;x"}))).group(1)
    cookie = f"Cookie: login={token}"
    encoded = urllib.parse.quote(HOSTILE, safe="")

    def directory_listing():
        # The directory is read once the proxy has started.
        reply = post(proxy, "/ldap", {"show": "yes"}, headers=[cookie])
        return reply if b"mallory" in reply.body else None

    cases = [
        ("header", page(proxy, "/headers", headers=[cookie, f"X-Evil: {HOSTILE}"])),
        ("log pattern", post(proxy, "/log", {"pattern": HOSTILE}, headers=[cookie])),
        ("config section", post(proxy, "/config", {"section": HOSTILE}, headers=[cookie])),
        ("config search", post(proxy, "/config", {"matchname": HOSTILE, "matchvalue": HOSTILE},
                               headers=[cookie])),
        ("login form action", page(proxy, f"/stats?x={encoded}&y=\"><kvx>")),
        ("directory lookup", post(proxy, "/ldap", {"upn": HOSTILE}, headers=[cookie])),
        ("log lines", post(proxy, "/log", {"pattern": "script"}, headers=[cookie])),
        ("URL in the log", post(proxy, "/log", {"pattern": "kvurl"}, headers=[cookie])),
        ("cache key and its link", post(proxy, "/cache", {"show": "yes", "pattern": "kvurl"},
                                        headers=[cookie])),
        ("directory entry", wait_until(directory_listing)),
        ("category box", page(proxy, "/urlbl", headers=[cookie])),
    ]
    for what, reply in cases:
        assert reply, what
        assert reply.status == 200, what
        assert b"<script>alert" not in reply.body, what
        assert b'"><kvx>' not in reply.body, what
    shown = dict(cases)
    # The login form's action holds the path as received, escaped.
    assert b'y=&quot;&gt;&lt;kvx&gt;" method="POST">' in shown["login form action"].body
    assert b"kvurl&quot;&gt;&lt;script&gt;" in shown["URL in the log"].body.replace(b"<br>", b"")
    [(link, key, _)] = cache_rows(shown["cache key and its link"].body)
    assert link == f"http://xx--cache.{plain}/c.html?kvurl%22%3E%3Cscript%3Ealert(1)%3C/script%3E".encode()
    assert key.replace(b"<br>", b"") == f"http://{plain}/c.html?kvurl".encode() + ESCAPED
    assert b"<td width=\"25%\">mallory</td><td>uid=mallory,ou=people,dc=kv,dc=test," + ESCAPED + b"</td>" in \
        shown["directory entry"].body
    assert b'name="kv&quot;&gt;&lt;kvx&gt;" checked>' in shown["category box"].body


# ------------------------------------------------------------ directory pages

def test_directory_pages_without_a_directory(proxy_factory):
    proxy = proxy_factory()
    form = page(proxy, "/ldap").body
    assert b'name="upn"' in form and b"User Name" not in form
    listing = post(proxy, "/ldap", {"show": "yes"}).body
    assert b"<td>User Name</td><td>LDAP Profiles</td>" in listing
    # Names are looked up in the order given; with the directory off none is found.
    rows = re.findall(rb'<td width="25%">(.*?)</td><td>(.*?)</td>',
                      post(proxy, "/ldap", {"upn": "bob,alice"}).body)
    assert rows == [(b"bob", b"User not found!"), (b"alice", b"User not found!")]

    with Client(proxy) as c:
        c.send("GET http://kelvarine.cfg/ldapcache HTTP/1.1\r\nHost: kelvarine.cfg\r\n\r\n")
        reply = c.response()
        assert reply.status == 200
        assert reply.header("Content-Type") == "text/xml"
        assert reply.header("Cache-Control") == "no-cache"
        assert email.utils.parsedate_to_datetime(reply.header("Last-Modified"))
        assert c.closed()


@pytest.mark.parametrize("fields,expected", [
    ({}, b'name="scode1"'),
    ({"active": "key-with-hyphen", "scode": "pw", "scode1": "pw"}, b"Alphanumeric Characters."),
    ({"active": "plainkey", "scode": "pw", "scode1": "pW"}, b"fields do not match"),
    ({"active": "plainkey", "scode": "pw", "scode1": ""}, b'name="scode1"'),
])
def test_password_page_refusals(proxy_factory, fields, expected):
    proxy = proxy_factory()
    assert expected in post(proxy, "/password", fields).body


def test_password_page_encrypts_with_the_given_key(proxy_factory):
    proxy = proxy_factory()
    own_key = re.search(rb'name="active" value="([0-9a-f]+)"', page(proxy, "/password").body).group(1)
    results = {}
    for key in (own_key.decode(), "otherkey"):
        body = post(proxy, "/password", {"active": key, "scode": "bindpw", "scode1": "bindpw"}).body
        m = re.search(rb'<tr class="listeven"><td align="center" width="25%">([^<]+)</td></tr>', body)
        assert m, body[-400:]
        results[key] = m.group(1)
    assert results[own_key.decode()] != results["otherkey"]


# ------------------------------------------------------------ pages by name

def with_a_suppressed_template(root):
    with_url_commands(root)
    page = ET.SubElement(root.find("templates"), "page")
    for tag, text in [("enabled", "true"), ("comment", "hushed"), ("groups", ""),
                      ("profiles", ""), ("name", "hushed"), ("file", "/dev/null"),
                      ("mime_type", "text/html"), ("response_code", "0"), ("suppress", "true"),
                      ("parse", "false")]:
        ET.SubElement(page, tag).text = text


@pytest.mark.parametrize("why,request_line,host", [
    ("unknown template below the interface", "GET http://kelvarine.cfg/template/nosuch",
     "kelvarine.cfg"),
    ("the same in origin form", "GET /kelvarine.cfg/template/nosuch", "origin.test"),
    ("suppressed template below the interface", "GET http://kelvarine.cfg/template/hushed",
     "kelvarine.cfg"),
    ("URL command naming a suppressed template",
     "GET http://xx--template[hushed].origin.test:1/page", "origin.test"),
    ("URL command naming an unknown template",
     "GET http://xx--template[nosuch].origin.test:1/page", "origin.test"),
])
def test_a_page_name_that_yields_no_page_is_answered(tmp_path, proxy_factory, why, request_line,
                                                     host):
    proxy = proxy_factory(config=config(tmp_path, with_a_suppressed_template))
    with Client(proxy) as c:
        c.send(f"{request_line} HTTP/1.1\r\nHost: {host}\r\n\r\n")
        reply = c.response()
        assert reply.status == 404 and reply.body == b"", (why, reply)
        assert reply.header("Content-Length") == "0" and reply.header("Date"), why
        assert c.closed(), why
    # A name that yields a page is served as before, on a connection kept.
    with Client(proxy) as c:
        for _ in range(2):
            c.send("GET http://kelvarine.cfg/template/uparrow HTTP/1.1\r\n"
                   "Host: kelvarine.cfg\r\n\r\n")
            reply = c.response()
            assert reply.status == 200 and reply.body.startswith(b"GIF89a")
    assert sanitizer_reports(proxy) == []


# ------------------------------------------------------------ diagnostic pages

def with_url_commands(root):
    rule = allow_rule(root)
    set_fields(rule, access=rule.find("access").text + ",url_commands")


@pytest.fixture
def parent_of_kind(tmp_path):
    """Starts the parent a case names: a real tinyproxy, one that never
    connects back, or none (the request goes direct)."""
    started = []

    def start(kind):
        if kind is None:
            return None
        server = Tinyproxy(tmp_path, "p") if kind == "tinyproxy" else SilentServer()
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


ESCAPED = b"&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;"


# The request carries the hostile text in a header, in its query and in the
# page's HTML (an attribute, a text); every page shows its title with the
# path escaped and shows none of it as markup.
@pytest.mark.parametrize("command,parent,title,shows", [
    ("profiles", None, b"<title>Active profiles for origin.test/d.html", ()),
    ("mimeprofiles", None, b"<title>Active profiles for origin.test/d.html", ()),
    ("variables", None, b"<title>Variables for origin.test/d.html",
     (b"&lt;script&gt;alert(1)&lt;/script&gt;",)),
    ("headers", None, b"<title>HTTP headers to/from origin.test/d.html",
     (b"X-Evil: " + ESCAPED,)),
    ("proxytest", "tinyproxy", b"<title>Proxy test for origin.test/d.html",
     # The head that came back is the probe's, through the parent.
     (b"<tr><td>Headers received from 127.0.0.1:", b"<pre>GET / HTTP/1.", b"X-Evil: " + ESCAPED)),
    ("proxytest", None, b"<title>Proxy test for origin.test/d.html",
     (b"<tr><td>Not forwarding through HTTP proxy</td></tr>",)),
    ("proxytest", "silent", b"<title>Proxy test for origin.test/d.html",
     (b" failed to connect back</td></tr>",)),
    ("htmltree", None, b"<title>HTML tree for origin.test/d.html",
     (b'<td width="0"></td><td>div </td>',
      b'<td width="36"></td><td>p title="kv&quot;onmouseover" </td>',
      b'<td width="36"></td><td>"body&nbsp;&amp;&nbsp;&quot;&gt;"</td>')),
])
def test_diagnostic_pages(tmp_path, origin, proxy_factory, parent_of_kind, command, parent,
                          title, shows):
    (origin.root / "d.html").write_text('<div><p title=kv"onmouseover>body & "></p></div>\n')
    server = parent_of_kind(parent)
    if server is None:
        conf = config(tmp_path, with_url_commands)
    else:
        # The silent parent is given up on after the I/O time-out.
        conf = forward_config(tmp_path / "kelvarine.xml",
                              [dict(host="127.0.0.1", port=str(server.port))],
                              io_timeout="60" if parent == "tinyproxy" else "2",
                              also=with_url_commands)
    proxy = proxy_factory(config=conf)
    host = f"xx--{command}.origin.test:{origin.port}"
    reply, _ = exchange(proxy, f"GET http://{host}/d.html?q={HOSTILE} HTTP/1.1\r\nHost: {host}\r\n"
                               f"X-Evil: {HOSTILE}\r\n\r\n")
    assert reply.status == 200
    assert reply.header("Content-Type") == "text/html"
    assert reply.header("Cache-Control") == "no-cache"
    assert title in reply.body
    assert b"<script>alert" not in reply.body
    for text in shows:
        assert text in reply.body, reply.body[-1500:]


def test_raw_page_shows_the_body_escaped_up_to_a_nul(tmp_path, origin, proxy_factory):
    # Longer than one formatted append, so nothing before the NUL is cut.
    body = b"<p>first</p>" + b"y" * 20000 + b"<p>last</p>\x00<p>after the nul</p>\n"
    (origin.root / "r.html").write_bytes(body)
    proxy = proxy_factory(config=config(tmp_path, with_url_commands))
    host = f"xx--raw.origin.test:{origin.port}"
    reply, _ = exchange(proxy, f"GET http://{host}/r.html HTTP/1.1\r\nHost: {host}\r\n\r\n")
    assert reply.status == 200
    assert b"<title>Raw contents of origin.test/r.html" in reply.body
    assert b"&lt;p&gt;first&lt;/p&gt;" in reply.body
    assert b"y" * 20000 + b"&lt;p&gt;last&lt;/p&gt;</pre>" in reply.body
    assert b"after the nul" not in reply.body
    # The object itself is unchanged for the next request.
    plain, _ = exchange(proxy, f"GET http://origin.test:{origin.port}/r.html HTTP/1.1\r\n"
                               f"Host: origin.test:{origin.port}\r\n\r\n")
    assert plain.body == body


# ------------------------------------------------------------ configuration dialogs

def test_config_page_edits_sections(proxy_factory):
    proxy = proxy_factory()
    start = page(proxy, "/config").body
    assert b'<option value="url-filtering" >' in start
    shown = page(proxy, "/config?section=url-filtering").body
    assert b"Deny rules" in shown and b'<option value="url-filtering" selected>' in shown
    assert b'name="action" value="add"' in page(proxy, "/config?section=url-filtering"
                                                      "&subsection=deny&dialog=show").body
    # A name that is no section changes nothing, with or without a dialog.
    for query in ("section=no-such", "section=no-such&dialog=show&subsection=deny"):
        assert b"No section named no-such" in page(proxy, f"/config?{query}").body
    assert b'value="no-such" ' not in page(proxy, "/config").body

    added = post(proxy, "/config", {"section": "url-filtering", "subsection": "deny",
                                    "action": "add", "F0": "true", "F1": "a marker rule",
                                    "F4": "example"})
    assert b"a marker rule" in added.body
    # Without a Referer from the interface the same form changes nothing.
    post(proxy, "/config", {"section": "url-filtering", "subsection": "deny", "action": "add",
                            "F0": "true", "F1": "forged rule", "F4": "x"}, referer=None)
    assert b"forged rule" not in page(proxy, "/config?section=url-filtering").body
    # A search runs through every section.
    found = post(proxy, "/config", {"matchvalue": "a marker rule"}).body
    assert b"a marker rule" in found


# ------------------------------------------------------------ cache browser

def cache_rows(body):
    return re.findall(rb'<tr class="list(?:even|odd)"><td><a href="([^"]*)">([^<]*)</a></td>'
                      rb'<td align="right">(\d+)</td>', body)


def test_cache_browser_lists_filters_and_deletes(origin, proxy_factory):
    for name, size in (("small.html", 100), ("big.html", 5000), ("other.txt", 300)):
        (origin.root / name).write_bytes(b"x" * size)
    proxy = proxy_factory()
    base = f"http://origin.test:{origin.port}"

    def fetch(name):
        reply, _ = exchange(proxy, f"GET {base}/{name} HTTP/1.1\r\nHost: origin.test:{origin.port}\r\n\r\n")
        assert reply.status == 200
        return reply.header("X-Cache") or ""

    for name in ("small.html", "big.html", "other.txt"):
        assert "MISS" in fetch(name)
    assert "HIT" in fetch("small.html")

    first = page(proxy, "/cache").body
    assert b"Memory cache" in first and cache_rows(first) == []
    assert b'name="maminute" value="00"' in first and b'name="mayear" value="1970"' in first

    everything = cache_rows(post(proxy, "/cache", {"show": "yes"}).body)
    assert sorted(r[1] for r in everything) == sorted(
        f"{base}/{n}".encode() for n in ("small.html", "big.html", "other.txt"))
    assert all(r[0].startswith(b"http://xx--cache.origin.test") for r in everything)

    html_only = cache_rows(post(proxy, "/cache", {"show": "yes", "pattern": r"\.HTML$"}).body)
    assert sorted(r[1] for r in html_only) == [f"{base}/big.html".encode(), f"{base}/small.html".encode()]
    sized = cache_rows(post(proxy, "/cache", {"show": "yes", "minsize": "1k"}).body)
    assert [r[1] for r in sized] == [f"{base}/big.html".encode()]
    # A size that is no size reads as empty.
    assert len(cache_rows(post(proxy, "/cache", {"show": "yes", "maxsize": "lots"}).body)) == 3
    # Nothing fetched before 1980.
    assert cache_rows(post(proxy, "/cache", {"show": "yes", "mbyear": "1980"}).body) == []

    # A pattern that does not compile deletes nothing.
    post(proxy, "/cache", {"show": "yes", "delete": "on", "pattern": "(unclosed"})
    assert len(cache_rows(post(proxy, "/cache", {"show": "yes"}).body)) == 3
    # Delete the HTML objects: they are misses afterwards, the other stays a hit.
    gone = post(proxy, "/cache", {"show": "yes", "delete": "on", "pattern": r"\.html$"}).body
    assert b"listed 0 files" in gone
    assert [r[1] for r in cache_rows(post(proxy, "/cache", {"show": "yes"}).body)] == \
        [f"{base}/other.txt".encode()]
    assert "MISS" in fetch("small.html")
    assert "HIT" in fetch("other.txt")


def test_cache_browser_does_not_delete_an_object_in_use(origin, proxy_factory):
    big = bytes(range(256)) * (8 << 10)
    path = origin.root / "big.bin"
    path.write_bytes(big)
    # Modified a day ago: fresh for hours, so every fetch below is a hit.
    os.utime(path, (time.time() - 86400,) * 2)
    # A small send buffer: the slow reader's copy is held while it reads.
    proxy = proxy_factory(extra_args=["-b", ":4096"])
    plain = f"origin.test:{origin.port}"
    request = f"GET http://{plain}/big.bin HTTP/1.1\r\nHost: {plain}\r\n\r\n"
    first, _ = exchange(proxy, request)
    assert "MISS" in first.header("X-Cache") and first.body == big
    delete = {"show": "yes", "delete": "on", "pattern": r"big\.bin$"}

    with SlowClient(proxy, request) as slow:
        slow._more()
        kept = post(proxy, "/cache", delete).body
        assert b"listed 0 files" in kept and b"another 1 files that were in use" in kept
        # The reader gets the object whole.
        reply = slow.response()
        assert "HIT" in reply.header("X-Cache") and reply.body == big
    rows = wait_until(lambda: cache_rows(post(proxy, "/cache", {"show": "yes"}).body))
    assert [r[1] for r in rows] == [f"http://{plain}/big.bin".encode()]
    again, _ = exchange(proxy, request)
    assert "HIT" in again.header("X-Cache") and again.body == big

    # Once nobody reads it, the same form deletes it.  The last reader's
    # worker lets go of the object only after the client has the last byte,
    # so the form is sent again while it still finds the object in use.
    assert wait_until(lambda: b"another 0 files that were in use" in
                      post(proxy, "/cache", delete).body)
    assert cache_rows(post(proxy, "/cache", {"show": "yes"}).body) == []
    assert "MISS" in exchange(proxy, request)[0].header("X-Cache")
    assert sanitizer_reports(proxy) == []


def zero_memory_cache(root):
    set_fields(root.find("cache"), memory_size="0")


def test_cache_browser_with_a_zero_memory_limit(tmp_path, proxy_factory):
    proxy = proxy_factory(config=config(tmp_path, zero_memory_cache))
    body = page(proxy, "/cache").body
    assert re.search(rb"<td>Memory cache</td><td>\d+ entries / \d+ bytes / 0% used</td>", body)


def test_sortmark_and_urlbl_pages_escape_what_they_echo(proxy_factory):
    proxy = proxy_factory()
    sortmark = post(proxy, "/sortmark", {"domain": HOSTILE}).body
    urlbl = post(proxy, "/urlbl", {"show": "true", "domain": HOSTILE, "file": HOSTILE}).body
    for body in (sortmark, urlbl):
        assert b"Top Menu" in body
        assert b"<script>alert" not in body
    assert b"Search URL blacklist" in urlbl
    assert b"<td>Category</td><td>Domain</td><td>Path</td>" in urlbl


# ------------------------------------------------------------ instances in step

def test_slave_follows_changes_made_on_the_master(tmp_path):
    from conftest import Proxy
    master = Proxy(tmp_path / "master")
    slave = None
    try:
        slave = Proxy(tmp_path / "slave", extra_args=[
            "-M", f"127.0.0.1:{master.port}", "-I", "2", "-S", "url-filtering"])

        def rule_on(proxy, marker):
            return marker.encode() in page(proxy, "/config?section=url-filtering").body

        # A rule added through the master's interface reaches the slave (the
        # change times have whole seconds: the change comes a second after
        # the slave's first pull).
        assert wait_until(lambda: "synchronized local configuration file" in
                          slave.native_log.read_text(errors="replace"))
        time.sleep(1.5)
        post(master, "/config", {"section": "url-filtering", "subsection": "deny", "action": "add",
                                 "F0": "true", "F1": "from the master", "F4": "example"})
        assert rule_on(master, "from the master")
        assert wait_until(lambda: rule_on(slave, "from the master"), timeout=20)

        # The master goes away and comes back on its port; the slave keeps
        # serving meanwhile and takes the next change.
        port = master.port
        master.stop()
        time.sleep(3)
        assert b"Top Menu" in page(slave, "/stats").body
        master = Proxy(tmp_path / "master-again", port=port)
        time.sleep(1.5)
        post(master, "/config", {"section": "url-filtering", "subsection": "deny", "action": "add",
                                 "F0": "true", "F1": "after the restart", "F4": "example"})
        assert wait_until(lambda: rule_on(slave, "after the restart"), timeout=20)
        assert slave.proc.poll() is None
    finally:
        master.stop()
        if slave is not None:
            slave.stop()


def test_cache_diagnostic_page(tmp_path, origin, proxy_factory):
    (origin.root / "kept.html").write_text("<p>kept</p>\n")
    proxy = proxy_factory(config=config(tmp_path, with_url_commands))
    plain = f"origin.test:{origin.port}"
    reply, _ = exchange(proxy, f"GET http://{plain}/kept.html HTTP/1.1\r\nHost: {plain}\r\n\r\n")
    assert reply.status == 200

    def show(path):
        host = f"xx--cache.{plain}"
        reply, _ = exchange(proxy, f"GET http://{host}{path} HTTP/1.1\r\nHost: {host}\r\n\r\n")
        assert reply.status == 200
        return reply.body

    kept = show("/kept.html")
    assert f"Cache information for http://origin.test:{origin.port}/kept.html".encode() in kept
    assert b"<tr><td>Size</td>" in kept and b"<tr><td>Retrieved</td>" in kept
    assert re.search(rb"<tr><td>Retrieved</td><td>\w{3}, \d\d \w{3} \d{4} [\d:]{8} GMT</td>", kept)
    assert b"HTTP/1.1 200" in kept
    assert b"Nothing found" in show("/never-fetched.html")
