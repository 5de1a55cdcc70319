"""The filter modules inside the proxy, seen from a client and an origin:
the URL, MIME and keyword filters refusing with a template page, the cookie
filter, redirect and rewrite rules changing what passes, and the user
limits.  Each test writes its own rules into a copy of the shipped
configuration."""
import copy
import gzip
import socket
import subprocess
import threading
import time
import xml.etree.ElementTree as ET
import zlib

import brotli
import pytest
import zstandard

from conftest import (ROOT, Client, Nginx, ScriptedServer, access_log_records, exchange,
                      extended_log_records, sanitizer_reports, set_fields, wait_until,
                      write_config)

SCHEMA = ET.parse(ROOT / "etc" / "section.xml").getroot()


# ------------------------------------------------------------- helpers

def rule(section, subsection, **values):
    """An item of `subsection` of `section` with every field of the schema's
    template: the given values, else empty (optional fields switched off
    unless given)."""
    sec = SCHEMA.find(section)
    template = sec.find("subsection").find(subsection).find("template").text
    item = ET.Element(subsection)
    for field in sec.find("template").find(template):
        element = ET.SubElement(item, field.tag)
        value = values.pop(field.tag, None)
        if field.find("optional") is not None:
            element.set("active", "true" if value is not None else "false")
            if value is None:
                value = field.find("value").text
        if value is None:
            kind = field.find("type").text
            if kind == "STRING_SELECT_ONE":
                value = first_option(sec, field)
            else:
                value = {"BOOL": "true" if field.tag == "enabled" else "false",
                         "INT": "0", "UINT": "0", "FILE_SIZE": "0",
                         "LONG_FILE_SIZE": "0"}.get(kind, "")
        element.text = value
    assert not values, f"no such fields in {section}: {values}"
    return item


def first_option(section, field):
    options = section.find("select").find(field.find("value").text)
    return list(options)[0].tag


def configure(tmp_path, sections, profiles=None, access_bits=None):
    """The shipped configuration with the given sections' global fields set
    and rules appended: {name: (globals dict, [items])}.  `profiles` gives
    loopback clients starting profiles by address: {address: "a,b"}."""
    def edit(root):
        access = root.find("access")
        model = access.find("allow")
        bits = access_bits or "interface,proxy,transparent,host_header,connect,url_commands,bypass"
        set_fields(model, access=bits)
        for address, names in (profiles or {}).items():
            extra = copy.deepcopy(model)
            set_fields(extra, client_ranges=f"{address}-{address}", connection_profiles=names)
            access.insert(list(access).index(model), extra)
        for name, (fields, items) in sections.items():
            sec = root.find(name)
            set_fields(sec, **fields)
            for item in items:
                sec.append(item)
    return write_config(tmp_path / "kelvarine.xml", edit)


def get(proxy, url, source=None, headers="", method="GET", body=b""):
    req = f"{method} {url} HTTP/1.1\r\nHost: x\r\n{headers}"
    if body:
        req += f"Content-Length: {len(body)}\r\n"
    req = req.encode("latin-1") + b"\r\n" + body
    reply, _ = exchange(proxy, req, source=source, head_only=method == "HEAD")
    return reply


def in_a_row(proxy, requests, source=None):
    """The replies to raw requests sent one after the other on one
    connection, so that each request has been counted before the next."""
    replies = []
    with Client(proxy, source=source) as c:
        for req in requests:
            c.send(req)
            replies.append(c.response())
    return replies


def request(url, method="GET", body=b"", headers=""):
    head = f"{method} {url} HTTP/1.1\r\nHost: x\r\n{headers}"
    if body and "chunked" not in headers:
        head += f"Content-Length: {len(body)}\r\n"
    return head.encode("latin-1") + b"\r\n" + body


def native_log(proxy):
    return proxy.native_log.read_text(errors="replace") if proxy.native_log.exists() else ""


class Origin(ScriptedServer):
    """Answers every request with the reply `answer(path, head, body)`
    returns (raw bytes), keeping what it received."""

    def __init__(self, answer):
        self.answer = answer
        self.received = []
        super().__init__()

    def handle(self, conn):
        with conn:
            head = self.read_head(conn)
            if head is None:
                return
            head, rest = head.split(b"\r\n\r\n", 1)
            length = 0
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
                if name.strip().lower() == b"transfer-encoding":
                    while not rest.endswith(b"0\r\n\r\n"):
                        more = conn.recv(65536)
                        if not more:
                            return
                        rest += more
            while len(rest) < length:
                more = conn.recv(65536)
                if not more:
                    return
                rest += more
            self.received.append((head, rest))
            path = head.split(b" ")[1].decode()
            conn.sendall(self.answer(path, head, rest))


def reply_of(body, content_type="text/html", extra=b"", status=b"200 OK"):
    head = b"HTTP/1.1 " + status + b"\r\n"
    if content_type:
        head += b"Content-Type: " + content_type.encode() + b"\r\n"
    return head + extra + b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body) + body


@pytest.fixture
def scripted():
    started = []

    def start(answer):
        server = Origin(answer)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


# ----------------------------------------------------------- URL filter

def url_rule(**fields):
    return rule("url-filtering", fields.pop("_list"), **fields)


URL_CASES = [
    # (why, mode, rules, client, path, refused)
    ("deny first, no rule matches: the default is to pass",
     "0", [url_rule(_list="deny", host="^forbidden")], "127.0.0.1", "/a.html", False),
    ("deny first, a deny rule by path refuses",
     "0", [url_rule(_list="deny", path="secret")], "127.0.0.1", "/secret.html", True),
    ("deny first, an allow rule that also matches lets it pass",
     "0", [url_rule(_list="deny", path="secret"), url_rule(_list="allow", path="secret\\.html")],
     "127.0.0.1", "/secret.html", False),
    ("allow first, nothing allowed: the default rule refuses",
     "1", [url_rule(_list="allow", path="^/public/")], "127.0.0.1", "/a.html", True),
    ("allow first, allowed and not denied",
     "1", [url_rule(_list="allow", host="origin"), url_rule(_list="deny", path="private")],
     "127.0.0.1", "/a.html", False),
    ("allow first, allowed then denied",
     "1", [url_rule(_list="allow", host="origin"), url_rule(_list="deny", path="\\.html$")],
     "127.0.0.1", "/a.html", True),
    ("a rule for profile staff refuses a staff client",
     "0", [url_rule(_list="deny", profiles="staff")], "127.0.0.2", "/a.html", True),
    ("the same rule leaves another client alone",
     "0", [url_rule(_list="deny", profiles="staff")], "127.0.0.1", "/a.html", False),
    ("a rule excluding staff refuses the others only",
     "0", [url_rule(_list="deny", profiles="!staff")], "127.0.0.2", "/a.html", False),
    ("an address condition on the host's first address",
     "0", [url_rule(_list="deny", addresses="127.0.0.1-127.0.0.1")], "127.0.0.1", "/a.html", True),
    ("an address condition that the host's address misses",
     "0", [url_rule(_list="deny", addresses="10.0.0.0-10.255.255.255")], "127.0.0.1", "/a.html",
     False),
    ("a disabled rule never matches",
     "0", [url_rule(_list="deny", enabled="false")], "127.0.0.1", "/a.html", False),
]


@pytest.mark.parametrize("why,mode,rules,client,path,refused", URL_CASES,
                         ids=[c[0] for c in URL_CASES])
def test_url_filter_rules(tmp_path, origin, proxy_factory, why, mode, rules, client, path,
                          refused):
    (origin.root / "a.html").write_text("page a\n")
    (origin.root / "secret.html").write_text("secret page\n")
    config = configure(tmp_path, {"url-filtering": ({"enabled": "true", "mode": mode},
                                                    copy.deepcopy(rules))},
                       profiles={"127.0.0.2": "staff"})
    proxy = proxy_factory(config=config)
    reply = get(proxy, f"http://origin.test:{origin.port}{path}", source=client)
    if refused:
        assert reply.status == 403, why
        assert b"is blocked" in reply.body, why
        rec = wait_until(lambda: extended_log_records(proxy))
        assert rec[-1]["filter"].startswith("url-filter"), rec
        assert access_log_records(proxy)[-1]["code"] == "TCP_DENIED"
        assert origin.log_lines() == []
    else:
        assert reply.status == 200, why
        assert reply.body in (b"page a\n", b"secret page\n")


def test_url_filter_refuses_connect_with_404_and_shows_the_deciding_rule(
        tmp_path, origin, proxy_factory):
    deny = url_rule(_list="deny", host="^origin", comment="<b>no & origin</b>")
    config = configure(tmp_path, {"url-filtering": ({"enabled": "true", "mode": "0"}, [deny])})
    proxy = proxy_factory(config=config)
    reply = get(proxy, f"origin.test:{origin.port}", method="CONNECT")
    assert reply.status == 404

    page = get(proxy, f"http://xx--filter.origin.test:{origin.port}/p<q>.html")
    assert page.status == 200
    text = page.body.decode()
    assert "URL filter match for origin.test/p&lt;q&gt;.html" in text
    assert "&lt;b&gt;no &amp; origin&lt;/b&gt;" in text
    assert "<b>no" not in text
    assert origin.log_lines() == []

    # A request the filter lets pass shows "None".
    allowed = get(proxy, f"http://xx--filter.www.origin.test:{origin.port}/", source="127.0.0.1")
    assert allowed.status == 200
    assert ">None<" in allowed.body.decode() or "None</td>" in allowed.body.decode()


BROKEN = [
    # (section, globals, the broken rule, url path, what must still hold)
    ("url-filtering", {"enabled": "true", "mode": "0"},
     lambda: url_rule(_list="deny", host="(unclosed"), "/a.html"),
    ("mime-filtering", {"enabled": "true", "mode": "0"},
     lambda: rule("mime-filtering", "deny", content_type="text/(html"), "/a.html"),
    ("keywords-filtering", {"enabled": "true", "threshold": "1"},
     lambda: rule("keywords-filtering", "keywords", body="page(", score="5"), "/a.html"),
    ("redirect", {"enabled": "true"},
     lambda: rule("redirect", "redirects", pattern="a\\.html(", replacement="/b.html",
                  applies_to="both", send_redirect="true", port="-1"), "/a.html"),
    ("rewrite", {"enabled": "true"},
     lambda: rule("rewrite", "rewrites", pattern="page[", replacement="X",
                  applies_to="body,server_header,client_header"), "/a.html"),
    ("cookies-filtering", {"enabled": "true", "mode": "0"},
     lambda: rule("cookies-filtering", "deny", domain="(", direction="both"), "/a.html"),
]


@pytest.mark.parametrize("section,fields,make,path", BROKEN, ids=[b[0] for b in BROKEN])
def test_a_pattern_that_does_not_compile_disables_its_rule(tmp_path, origin, proxy_factory,
                                                           section, fields, make, path):
    (origin.root / "a.html").write_text("page a\n")
    config = configure(tmp_path, {section: (fields, [make()])})
    proxy = proxy_factory(config=config)
    reply = get(proxy, f"http://origin.test:{origin.port}{path}",
                headers="Cookie: a=1\r\n")
    assert reply.status == 200
    assert reply.body == b"page a\n"
    assert wait_until(lambda: "does not compile" in native_log(proxy))


FLAWED = [
    # (why, section, globals, rule with (flawed, good) value, the url path)
    # The template's years, 1970 to 2099, would take in the cookie expiring
    # in 2031 that the flawed range was written to keep out.
    ("a cookie allow rule with a year range that does not parse opens no cookie",
     "cookies-filtering", {"enabled": "true", "mode": "1"},
     lambda years: rule("cookies-filtering", "allow", year=years, direction="incoming",
                        comment="early thirties"),
     ("2040-2050", "2030,2035")),
    ("a URL allow rule with an address list that does not parse opens no host",
     "url-filtering", {"enabled": "true", "mode": "1"},
     lambda addresses: url_rule(_list="allow", addresses=addresses, comment="loopback"),
     ("127.0.0.0/8", "127.0.0.0-127.255.255.255")),
]


@pytest.mark.parametrize("flawed", [True, False], ids=["flawed", "written right"])
@pytest.mark.parametrize("why,section,fields,make,values", FLAWED, ids=[f[0] for f in FLAWED])
def test_a_flawed_value_disables_its_rule_and_never_widens_it(tmp_path, scripted, proxy_factory,
                                                              why, section, fields, make, values,
                                                              flawed):
    origin = cookie_origin(scripted)
    config = configure(tmp_path, {section: (fields, [make(values[0] if flawed else values[1])])})
    proxy = proxy_factory(config=config)
    reply = get(proxy, origin.url("/a"), headers="Cookie: a=1\r\n")
    if section == "url-filtering":
        # Written right, the rule lets loopback hosts pass; flawed, no allow
        # rule applies and the default rule refuses.
        assert reply.status == (403 if flawed else 200), why
    else:
        # Written right, the rule lets the cookie expiring in 2031 pass;
        # flawed, allow-first mode passes none.
        assert reply.status == 200, why
        cookies = [v for n, v in reply.headers if n.lower() == "set-cookie"]
        assert [v.split("=")[0] for v in cookies] == ([] if flawed else ["track"]), why
    if flawed:
        assert wait_until(lambda: "disabled: a value of it is flawed" in native_log(proxy))
    log = native_log(proxy)
    assert ("flawed XML file, section " + section in log) == flawed, log
    assert ("disabled: a value of it is flawed" in log) == flawed, log


# ---------------------------------------------------------- MIME filter

def test_mime_filter_by_content_type_host_and_path(tmp_path, scripted, proxy_factory):
    types = {"/img.png": "image/png", "/doc.html": "text/html; charset=utf-8",
             "/plain.txt": "text/plain", "/none": None}
    origin = scripted(lambda path, head, body: reply_of(b"body of " + path.encode(),
                                                        types.get(path.split("?")[0])))
    deny = [rule("mime-filtering", "deny", content_type="^image/"),
            rule("mime-filtering", "deny", content_type="text/html", path="^/doc"),
            rule("mime-filtering", "allow", content_type="image/png", host="^www\\.")]
    config = configure(tmp_path, {"mime-filtering": ({"enabled": "true", "mode": "0"}, deny)})
    proxy = proxy_factory(config=config)
    cases = [
        # (url, refused)
        (origin.url("/img.png"), True),
        (origin.url("/doc.html"), True),
        (origin.url("/plain.txt"), False),
        (origin.url("/none"), False),
        (f"http://www.origin.test:{origin.port}/img.png", False),
    ]
    for url, refused in cases:
        reply = get(proxy, url)
        if refused:
            assert reply.status == 403, url
            assert b"is blocked" in reply.body, url
        else:
            assert reply.status == 200, url
            assert reply.body.startswith(b"body of"), url
    rec = wait_until(lambda: len(extended_log_records(proxy)) >= 2 and extended_log_records(proxy))
    assert [r["filter"] for r in rec if r["filter"].startswith("mime")][:1] == ["mime-filter image/png"] \
        or any(r["filter"].startswith("mime-filter") for r in rec)
    # A HEAD request is never refused by the MIME filter.
    head = get(proxy, origin.url("/img.png"), method="HEAD")
    assert head.status == 200


def test_mime_filter_allow_first_refuses_without_content_type_and_shows_its_page(
        tmp_path, scripted, proxy_factory):
    origin = scripted(lambda path, head, body: reply_of(b"x", "text/html" if "html" in path
                                                        else None))
    allow = [rule("mime-filtering", "allow", content_type="text/html", comment="html only")]
    config = configure(tmp_path, {"mime-filtering": ({"enabled": "true", "mode": "1"}, allow)})
    proxy = proxy_factory(config=config)
    assert get(proxy, origin.url("/page.html")).status == 200
    refused = get(proxy, origin.url("/untyped"))
    assert refused.status == 403
    assert wait_until(lambda: "blocked: mime-type (none) from origin.test/untyped"
                      in native_log(proxy))

    page = get(proxy, f"http://xx--mime.origin.test:{origin.port}/untyped")
    assert page.status == 200
    assert "MIME filter match for origin.test/untyped" in page.body.decode()
    ok = get(proxy, f"http://xx--mime.origin.test:{origin.port}/page.html")
    assert "None" in ok.body.decode()


# -------------------------------------------------------- keyword filter

def keyword_config(tmp_path, threshold="10", extra=None):
    rules = [rule("keywords-filtering", "keywords", body="casino", score="4"),
             rule("keywords-filtering", "keywords", body="poker", score="6"),
             rule("keywords-filtering", "keywords", body="roulette", score="5"),
             rule("keywords-filtering", "keywords", content_type="^image/", score="50")]
    return configure(tmp_path, {"keywords-filtering": ({"enabled": "true",
                                                        "threshold": threshold}, rules),
                                **(extra or {})})


def gzipped(data):
    return gzip.compress(data)


KEYWORD_CASES = [
    # (why, body as the origin sends it, extra head lines, refused)
    ("both words reach the threshold", b"<p>casino and poker</p>", b"", True),
    ("one word alone stays below it and passes whole", b"<p>poker " * 100 + b"</p>", b"", False),
    ("a page scoring one below the threshold passes whole",
     b"<p>casino, then roulette</p>" + b"x" * 5000, b"", False),
    ("a gzip page scoring one below the threshold passes whole decoded",
     gzipped(b"casino roulette"), b"Content-Encoding: gzip\r\n", False),
    ("a word after a NUL byte still counts", b"casino\0poker", b"", True),
    ("a gzip body is scored decoded", gzipped(b"casino poker"), b"Content-Encoding: gzip\r\n", True),
    ("a deflate body is scored decoded", zlib.compress(b"casino poker"),
     b"Content-Encoding: deflate\r\n", True),
    ("a body that cannot be decoded is not scored", b"not gzip at all casino poker",
     b"Content-Encoding: gzip\r\n", False),
    ("a br body is scored decoded", brotli.compress(b"casino poker"),
     b"Content-Encoding: br\r\n", True),
    ("a zstd body is scored decoded", zstandard.ZstdCompressor().compress(b"casino poker"),
     b"Content-Encoding: zstd\r\n", True),
    ("a body coded twice is scored decoded", brotli.compress(gzipped(b"casino poker")),
     b"Content-Encoding: gzip, br\r\n", True),
    ("a br page scoring one below the threshold passes whole decoded",
     brotli.compress(b"casino roulette"), b"Content-Encoding: br\r\n", False),
]


@pytest.mark.parametrize("why,body,extra,refused", KEYWORD_CASES, ids=[c[0] for c in KEYWORD_CASES])
def test_keyword_filter_scores_the_decoded_body(tmp_path, scripted, proxy_factory, why, body,
                                                extra, refused):
    origin = scripted(lambda path, head, b: reply_of(body, "text/html", extra))
    proxy = proxy_factory(config=keyword_config(tmp_path))
    reply = get(proxy, origin.url("/page"))
    if refused:
        assert reply.status == 403, why
        assert b"is blocked" in reply.body
        rec = wait_until(lambda: extended_log_records(proxy))
        assert rec[-1]["filter"] == "keyword-filter 10", rec
        assert access_log_records(proxy)[-1]["code"] == "TCP_DENIED"
    else:
        assert reply.status == 200, why
        if not extra:
            assert reply.body == body
        elif why.endswith("passes whole decoded"):
            # The client named no coding it accepts.
            assert reply.header("Content-Encoding") is None and reply.body == b"casino roulette"
    if why.startswith("a body that cannot"):
        assert wait_until(lambda: "could not be decoded: not scored" in native_log(proxy))


def chunked(data, piece=1000):
    out = b""
    for i in range(0, len(data), piece):
        part = data[i:i + piece]
        out += b"%x\r\n" % len(part) + part + b"\r\n"
    return out + b"0\r\n\r\n"


def test_keyword_filter_scores_chunked_and_unframed_bodies_within_the_buffer_limit(
        tmp_path, scripted, proxy_factory):
    page = b"casino " + b"x" * 20000 + b" poker"
    big = b"casino poker " + b"y" * 300000

    def answer(path, head, body):
        data = big if "big" in path else page
        if "chunked" in path:
            return (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                    b"Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n" + chunked(data))
        return b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n" + data

    origin = scripted(answer)
    config = keyword_config(tmp_path)
    tree = ET.parse(config)
    set_fields(tree.getroot().find("general").find("rule"), max_download_buffer="100K")
    tree.write(config)
    proxy = proxy_factory(config=config)
    assert get(proxy, origin.url("/chunked")).status == 403
    assert get(proxy, origin.url("/unframed")).status == 403
    past = get(proxy, origin.url("/chunked-big"))
    assert past.status == 200
    assert past.body == big
    assert wait_until(lambda: "buffer limit" in native_log(proxy))


def test_score_command_shows_the_score_below_the_threshold(tmp_path, scripted, proxy_factory):
    origin = scripted(lambda path, head, body: reply_of(b"only poker here"))
    proxy = proxy_factory(config=keyword_config(tmp_path))
    page = get(proxy, f"http://xx--score.origin.test:{origin.port}/p")
    assert page.status == 200
    assert "Keyword score for origin.test/p" in page.body.decode()
    assert '<td align="center">6</td>' in page.body.decode()
    # Bypassed with the letter k, the same page passes unscored.
    plain = get(proxy, f"http://xx--bypass[k].origin.test:{origin.port}/p")
    assert plain.body == b"only poker here"


# --------------------------------------------------------- cookie filter

SET_COOKIES = [
    b"Set-Cookie: sid=abc; Path=/; Secure; HttpOnly; SameSite=Lax",
    b"Set-Cookie: track=1; Domain=.ads.test; path=/x; expires=Wed, 01-Jan-2031 10:00:00 GMT",
    b"Set-Cookie: empty=; Path=/",
]


def cookie_origin(scripted):
    extra = b"".join(line + b"\r\n" for line in SET_COOKIES)
    return scripted(lambda path, head, body: reply_of(b"cookies", "text/html", extra))


def test_cookie_lines_pass_byte_for_byte_or_are_left_out(tmp_path, scripted, proxy_factory):
    origin = cookie_origin(scripted)
    rules = [
        # Incoming cookies of an ad domain expiring in 2030-2035 are refused.
        rule("cookies-filtering", "deny", domain="ads\\.test$", year="2030,2035",
             direction="incoming"),
        # Outgoing cookies are refused for the profile "private".
        rule("cookies-filtering", "deny", direction="outgoing", profiles="private"),
    ]
    config = configure(tmp_path, {"cookies-filtering": ({"enabled": "true", "mode": "0"}, rules)},
                       profiles={"127.0.0.2": "private"})
    proxy = proxy_factory(config=config)
    with Client(proxy) as c:
        c.send(f"GET {origin.url('/a')} HTTP/1.1\r\nHost: x\r\n"
               "Cookie: $Version=1; a=1; $Path=/\r\nCookie: b=2\r\n\r\n")
        reply = c.response()
    got = [f"{n}: {v}".encode() for n, v in reply.headers if n.lower() == "set-cookie"]
    assert got == [SET_COOKIES[0], SET_COOKIES[2]]
    sent = origin.received[-1][0].split(b"\r\n")
    assert [l for l in sent if l.lower().startswith(b"cookie")] == \
        [b"Cookie: $Version=1; a=1; $Path=/", b"Cookie: b=2"]
    assert wait_until(lambda: "blocked: incoming from origin.test" in native_log(proxy))

    # A client of the profile "private" sends no cookie to the server.
    get(proxy, origin.url("/b"), source="127.0.0.2", headers="Cookie: a=1\r\n")
    sent = origin.received[-1][0].split(b"\r\n")
    assert not [l for l in sent if l.lower().startswith(b"cookie")]
    assert wait_until(lambda: "blocked: outgoing to origin.test" in native_log(proxy))

    # Bypassed with the letter c, every line passes.
    bypassed = get(proxy, f"http://xx--bypass[c].origin.test:{origin.port}/c")
    assert len([n for n, v in bypassed.headers if n.lower() == "set-cookie"]) == 3


def test_allow_first_without_allow_rules_drops_every_cookie_line(tmp_path, scripted,
                                                                 proxy_factory):
    origin = cookie_origin(scripted)
    config = configure(tmp_path, {"cookies-filtering": ({"enabled": "true", "mode": "1"}, [])})
    proxy = proxy_factory(config=config)
    reply = get(proxy, origin.url("/a"), headers="Cookie: a=1\r\n")
    assert not [n for n, v in reply.headers if n.lower() == "set-cookie"]
    assert b"Cookie:" not in origin.received[-1][0]


def test_cookies_page_lists_sent_and_received_cookies_escaped(tmp_path, scripted, proxy_factory):
    origin = scripted(lambda path, head, body: reply_of(
        b"x", "text/html",
        b"Set-Cookie: <s>=v&1; domain=.origin.test; expires=Wed, 01-Jan-2031 10:00:00 GMT\r\n"))
    proxy = proxy_factory(config=configure(tmp_path, {}))
    page = get(proxy, f"http://xx--cookies.origin.test:{origin.port}/p",
               headers="Cookie: name=<b>\r\n")
    text = page.body.decode()
    assert "Cookies for origin.test/p" in text
    assert "Sent cookie" in text and "Received cookie" in text
    assert "<td>name</td><td>&lt;b&gt;</td>" in text
    assert "<td>&lt;s&gt;</td><td>v&amp;1</td>" in text
    assert "<td>Domain</td><td>.origin.test</td>" in text
    assert "Wed, 01-Jan-2031 10:00:00 GMT" in text


# -------------------------------------------------------------- redirect

def redirect_rule(**fields):
    fields.setdefault("port", "-1")
    fields.setdefault("applies_to", "request")
    return rule("redirect", "redirects", **fields)


def test_in_place_redirect_fetches_and_logs_the_rewritten_resource(tmp_path, origin,
                                                                   proxy_factory):
    (origin.root / "new.html").write_text("the new page\n")
    rules = [redirect_rule(pattern="/old/(\\w+)\\.htm$", replacement="/new.$1")]
    proxy = proxy_factory(config=configure(tmp_path, {"redirect": ({"enabled": "true"}, rules)}))
    reply = get(proxy, f"http://origin.test:{origin.port}/old/html.htm")
    assert reply.status == 200
    assert reply.body == b"the new page\n"
    assert '"GET /new.html HTTP/1.1"' in origin.log_lines(1)[-1]
    rec = wait_until(lambda: access_log_records(proxy))
    assert rec[-1]["url"] == f"http://origin.test:{origin.port}/new.html"


def test_redirect_answers_302_rewrites_location_and_refuses_line_breaks(tmp_path, scripted,
                                                                        proxy_factory):
    origin = scripted(lambda path, head, body: reply_of(
        b"", None, b"Location: http://elsewhere.test/landing\r\n", b"302 Found"))
    rules = [
        redirect_rule(pattern="^http://origin\\.test:\\d*/go$", replacement="http://target.test/",
                      send_redirect="true"),
        redirect_rule(pattern="/go2$", replacement="http://target.test/", send_redirect="true"),
        redirect_rule(pattern="^http://elsewhere\\.test(/.*)$", replacement="http://moved.test$1",
                      applies_to="location"),
        redirect_rule(pattern="/inject$", replacement="/a\\r\\nX-Evil: 1"),
    ]
    proxy = proxy_factory(config=configure(tmp_path, {"redirect": ({"enabled": "true"}, rules)}))
    # The subject has no port, so the first rule does not match; the second does.
    answer = get(proxy, origin.url("/go2"))
    assert answer.status == 302
    assert answer.header("Location") == "http://target.test/"
    assert origin.received == []
    # With URL commands, the 302 keeps them in front of the host.
    answer = get(proxy, f"http://xx--score.origin.test:{origin.port}/go2")
    assert answer.header("Location") == "http://xx--score.target.test/"

    moved = get(proxy, origin.url("/page"))
    assert moved.status == 302
    assert moved.header("Location") == "http://moved.test/landing"

    refused = get(proxy, origin.url("/inject"))
    assert refused.status == 400
    assert all(not p.endswith(b"/a") for p, _ in origin.received)
    assert wait_until(lambda: "holds a line break" in native_log(proxy))


# --------------------------------------------------------------- rewrite

def test_rewrite_heads_and_bodies_with_matching_lengths(tmp_path, scripted, proxy_factory):
    body = b"<p>hello\0world hello</p>"
    origin = scripted(lambda path, head, b: reply_of(body, "text/html", b"X-Server: old\r\n"))
    rules = [
        rule("rewrite", "rewrites", pattern="X-Client:\\ old", replacement="X-Client: new",
             applies_to="client_header"),
        rule("rewrite", "rewrites", pattern="X-Server:\\ old", replacement="X-Server: new",
             applies_to="server_header"),
        rule("rewrite", "rewrites", pattern="hello", replacement="greetings",
             content_type="text/html", applies_to="body"),
        rule("rewrite", "rewrites", pattern="secret=\\w+", replacement="secret=hidden",
             applies_to="post_body"),
    ]
    proxy = proxy_factory(config=configure(tmp_path, {"rewrite": ({"enabled": "true"}, rules)}))
    reply = get(proxy, origin.url("/p"), method="POST", headers="X-Client: old\r\n",
                body=b"user=a&secret=abc123")
    assert reply.status == 200
    assert reply.body == b"<p>greetings\0world greetings</p>"
    assert int(reply.header("Content-Length")) == len(reply.body)
    assert reply.header("X-Server") == "new"
    head, sent_body = origin.received[-1]
    assert b"X-Client: new" in head
    assert sent_body == b"user=a&secret=hidden"
    assert b"Content-Length: %d" % len(sent_body) in head
    assert wait_until(lambda: "matched 2 times in body" in native_log(proxy))

    # Bypassed with the letter w, nothing changes.
    plain = get(proxy, f"http://xx--bypass[w].origin.test:{origin.port}/p")
    assert plain.body == body


CODINGS = [
    # (coding, coder)
    ("gzip", gzip.compress),
    ("deflate", zlib.compress),
    ("br", brotli.compress),
    ("zstd", zstandard.ZstdCompressor().compress),
]


@pytest.mark.parametrize("coding,code", CODINGS, ids=[c[0] for c in CODINGS])
def test_rewrite_of_a_coded_body_changes_the_decoded_text(tmp_path, scripted, proxy_factory,
                                                          coding, code):
    # The words to rewrite are only visible decoded: the coded bytes hold
    # no "hello" (numbered, so that zstd does not keep the words as plain
    # literals).
    text = b"<p>" + b"".join(b"hello world %d, " % i for i in range(400)) + b"</p>"
    coded = code(text)
    assert b"hello" not in coded
    origin = scripted(lambda path, head, b: reply_of(
        coded, "text/html", b"Content-Encoding: " + coding.encode() + b"\r\n"))
    rules = [rule("rewrite", "rewrites", pattern="hello", replacement="greetings",
                  content_type="text/html", applies_to="body")]
    proxy = proxy_factory(config=configure(tmp_path, {"rewrite": ({"enabled": "true"}, rules)}))
    expected = text.replace(b"hello", b"greetings")
    for accept in ("", "Accept-Encoding: gzip, deflate\r\n"):
        reply = get(proxy, origin.url("/p"), headers=accept)
        assert reply.status == 200, accept
        assert int(reply.header("Content-Length")) == len(reply.body), accept
        sent_coding = (reply.header("Content-Encoding") or "").lower()
        body = reply.body
        if sent_coding == "gzip":
            body = gzip.decompress(body)
        elif sent_coding == "deflate":
            body = zlib.decompress(body)
        else:
            assert sent_coding == "", sent_coding
        assert body == expected, (accept, sent_coding)
    assert wait_until(lambda: "matched 400 times in body" in native_log(proxy))


def test_rewrite_leaves_a_body_it_cannot_decode_untouched(tmp_path, scripted, proxy_factory):
    # The coded bytes happen to hold the pattern: changing them would
    # corrupt the body the client decodes.
    coded = b"\x1f\x9dcompressed hello bytes"
    origin = scripted(lambda path, head, b: reply_of(
        coded, "text/html", b"Content-Encoding: compress\r\n"))
    rules = [rule("rewrite", "rewrites", pattern="hello", replacement="greetings",
                  applies_to="body")]
    proxy = proxy_factory(config=configure(tmp_path, {"rewrite": ({"enabled": "true"}, rules)}))
    reply = get(proxy, origin.url("/p"))
    assert reply.status == 200
    assert reply.body == coded and reply.header("Content-Encoding") == "compress"
    assert wait_until(lambda: "body could not be decoded: not rewritten" in native_log(proxy))


# ----------------------------------------------------------- user limits

def limit_rule(**fields):
    return rule("limits", "limit", **fields)


def test_request_cap_and_time_block_answer_with_their_pages(tmp_path, origin, proxy_factory):
    (origin.root / "a.html").write_text("page a\n")
    hour = time.localtime().tm_hour
    other = (hour + 3) % 24
    rules = [
        limit_rule(profiles="capped", max_requests="3"),
        # A block for this hour for one client, for another hour for the other.
        limit_rule(profiles="night", type="block", hour=f"{hour},{hour}", range_mode="each"),
        limit_rule(profiles="capped", type="block", hour=f"{other},{other}", range_mode="each"),
    ]
    config = configure(tmp_path, {"limits": ({"enabled": "true"}, rules)},
                       profiles={"127.0.0.2": "capped", "127.0.0.3": "night"})
    proxy = proxy_factory(config=config)
    url = f"http://origin.test:{origin.port}/a.html"
    replies = in_a_row(proxy, [request(url)] * 4, source="127.0.0.2")
    assert [r.status for r in replies] == [200, 200, 200, 404]
    refused = get(proxy, url, source="127.0.0.2")
    assert b"Request limit exceeded" in refused.body
    rec = wait_until(lambda: [r for r in extended_log_records(proxy) if r["status"] == 404])
    assert rec[0]["size"] == len(replies[3].body), rec
    blocked = get(proxy, url, source="127.0.0.3")
    assert blocked.status == 404
    assert b"is blocked" in blocked.body
    assert wait_until(lambda: "blocked: time limit restrictions" in native_log(proxy))
    # Others are not counted.
    assert all(get(proxy, url).status == 200 for _ in range(4))


def test_quotas_past_4_gib_and_the_limits_page(tmp_path, origin, proxy_factory):
    with open(origin.root / "huge.bin", "wb") as f:
        f.truncate(5 * 1024 ** 3)  # a sparse 5 GiB file
    rules = [limit_rule(profiles="small", download_quota="4500M"),
             limit_rule(profiles="large", download_quota="6G", upload_quota="5G")]
    config = configure(tmp_path, {"limits": ({"enabled": "true"}, rules)},
                       profiles={"127.0.0.2": "small", "127.0.0.3": "large"})
    proxy = proxy_factory(config=config)
    url = f"http://origin.test:{origin.port}/huge.bin"
    refused = get(proxy, url, source="127.0.0.2")
    assert refused.status == 403
    assert b"limit" in refused.body.lower()
    page = get(proxy, f"http://xx--limits.origin.test:{origin.port}/huge.bin", source="127.0.0.3")
    text = page.body.decode()
    assert "Transfer limits for origin.test/huge.bin" in text
    assert "<td>Download limit</td><td>6.0 GB</td>" in text
    assert "<td>Upload limit</td><td>5.0 GB</td>" in text
    free = get(proxy, f"http://xx--limits.origin.test:{origin.port}/x")
    assert "<td>Download limit</td><td>none</td>" in free.body.decode()


def test_uploads_count_against_the_upload_quota_chunked_or_not(tmp_path, scripted, proxy_factory):
    origin = scripted(lambda path, head, body: reply_of(b"stored %d" % len(body)))
    rules = [limit_rule(upload_quota="1000")]
    proxy = proxy_factory(config=configure(tmp_path, {"limits": ({"enabled": "true"}, rules)}))
    up = origin.url("/up")
    chunked_head = "Transfer-Encoding: chunked\r\n"
    replies = in_a_row(proxy, [
        request(up, "POST", b"x" * 400),
        # 400 of 1000 are used: 700 more is too much.
        request(up, "POST", b"x" * 700),
        # A chunked body within the allowance passes and is counted.
        request(up, "POST", chunked(b"z" * 300, 100), chunked_head),
        request(up, "POST", b"x" * 350),
    ])
    assert [r.status for r in replies] == [200, 403, 200, 403]
    assert replies[2].body.startswith(b"stored ")
    # A chunked body past the allowance is cut off with the page.
    with Client(proxy) as c:
        c.send(request(up, "POST", chunked(b"y" * 5000, 100), chunked_head))
        reply = c.response()
    assert reply.status == 403
    assert b"upload" in reply.body.lower()


def test_an_announced_upload_past_4_gib_is_measured_in_64_bits(tmp_path, scripted, proxy_factory):
    # Only the head is sent: an announced length above the allowance is
    # refused before any byte of the body.  Cut to 32 bits, 4 GiB + 100
    # would be 100 and pass a quota of 4 GiB.
    origin = scripted(lambda path, head, body: reply_of(b"stored %d" % len(body)))
    rules = [limit_rule(upload_quota="4G")]
    proxy = proxy_factory(config=configure(tmp_path, {"limits": ({"enabled": "true"}, rules)}))
    with Client(proxy) as c:
        c.send(f"POST {origin.url('/up')} HTTP/1.1\r\nHost: x\r\n"
               f"Content-Length: {4 * 1024 ** 3 + 100}\r\n\r\n" + "x" * 1000)
        reply = c.response()
    assert reply.status == 403
    assert b"upload" in reply.body.lower()
    assert origin.received == []
    # A body within the allowance passes.
    small = get(proxy, origin.url("/up"), method="POST", body=b"x" * 1000)
    assert small.status == 200
    assert small.body == b"stored 1000"


def timed_download(proxy, url, source):
    start = time.monotonic()
    r = subprocess.run(["curl", "-sS", "--noproxy", "", "-x", proxy.url, "--interface", source,
                        "-o", "/dev/null", "-w", "%{size_download}", url],
                       capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return time.monotonic() - start, int(r.stdout)


def test_rate_limit_applies_per_request_and_a_shared_group_splits_it(tmp_path, origin,
                                                                     proxy_factory):
    (origin.root / "blob.bin").write_bytes(b"b" * 300 * 1024)
    rules = [limit_rule(profiles="slow", rate="200K"),
             limit_rule(profiles="shared", rate="200K", flags="shared_group")]
    config = configure(tmp_path, {"limits": ({"enabled": "true"}, rules)},
                       profiles={"127.0.0.2": "slow", "127.0.0.3": "shared"})
    proxy = proxy_factory(config=config)
    url = f"http://origin.test:{origin.port}/blob.bin"
    fast, size = timed_download(proxy, url, "127.0.0.1")
    assert size == 300 * 1024
    slow, size = timed_download(proxy, url, "127.0.0.2")
    assert size == 300 * 1024
    assert slow >= 1.0 > fast

    # Two downloads in one shared group take about as long as both in a row.
    results = []
    threads = [threading.Thread(target=lambda: results.append(
        timed_download(proxy, url, "127.0.0.3"))) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 2
    assert max(r[0] for r in results) >= 2.2


def test_a_rate_limit_is_applied_per_request_on_one_kept_alive_connection(tmp_path, origin,
                                                                          proxy_factory):
    # The profile "slow" is added to requests for /slow/ only, so that the
    # rate rule applies to some requests of a connection and not to others.
    (origin.root / "blob.bin").write_bytes(b"b" * 300 * 1024)
    (origin.root / "slow").mkdir()
    (origin.root / "slow" / "blob.bin").write_bytes(b"s" * 300 * 1024)
    config = configure(tmp_path, {
        "profiles": ({}, [rule("profiles", "rule", path="^/slow/", add="slow")]),
        "limits": ({"enabled": "true"}, [limit_rule(profiles="slow", rate="200K")]),
    })
    proxy = proxy_factory(config=config)
    base = f"http://origin.test:{origin.port}"
    timings = []
    with Client(proxy, timeout=30) as c:
        for path in ("/blob.bin", "/slow/blob.bin", "/blob.bin", "/slow/blob.bin"):
            start = time.monotonic()
            c.send(request(base + path))
            reply = c.response()
            timings.append(time.monotonic() - start)
            assert reply.status == 200, path
            assert len(reply.body) == 300 * 1024, path
            assert (reply.header("Connection") or "").lower() != "close", path
    fast1, slow1, fast2, slow2 = timings
    # 300 KiB at 200 KiB/s takes at least one second; unlimited, far less.
    assert slow1 >= 1.0 and slow2 >= 1.0, timings
    assert fast1 < 1.0 and fast2 < 1.0, timings
