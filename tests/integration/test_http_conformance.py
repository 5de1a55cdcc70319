"""What HTTP asks of a proxy between a client and a server it cannot
trust: interim responses are read past to the final one, a body left
unread after an early answer never becomes a request, fields named in
Connection stop at this hop, broken status lines, folded lines and second
Host lines are refused, and the proxy's own pages carry a Date.  A
scripted origin sends the bytes; raw sockets are the clients."""
import email.utils
import re
import socket
import time

import pytest

from conftest import (Client, access_log_records, free_port, recv_all, sanitizer_reports,
                      set_fields, wait_until, write_config)
from test_filters import rule
from test_proxy import ScriptedOrigin


class ConformanceOrigin(ScriptedOrigin):
    """The scripted origin with the answers of this file:
    /interim/<kind>/...  interim heads, then the final answer (kind 103,
                         100, two103), or a close after one (kind close)
    /plain/...           200 with the body "plain <path>"
    /rhop                a response naming X-RHop in its Connection line
    /status/<name>       a broken head, then the close
    """
    BAD_HEADS = {
        "letter": b"HTTP/1.1 2x0 OK\r\nContent-Length: 4\r\n\r\nQz9q",
        "two-digits": b"HTTP/1.1 20 OK\r\nContent-Length: 4\r\n\r\nQz9q",
        "word": b"HTTP/1.1 abc OK\r\nContent-Length: 4\r\n\r\nQz9q",
        "folded": b"HTTP/1.1 200 OK\r\nX-A: 1\r\n 2\r\nContent-Length: 4\r\n\r\nQz9q",
        "switch": b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: other\r\n\r\nQz9q",
    }

    def respond(self, conn, path, head, body):
        if path.startswith("/interim/"):
            kind = path.split("/")[2]
            hint = b"HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload; as=style\r\n\r\n"
            first = {"103": hint, "100": b"HTTP/1.1 100 Continue\r\n\r\n",
                     "two103": hint + hint, "close": hint}[kind]
            conn.sendall(first)
            if kind == "close":
                return False
            time.sleep(0.05)
            self.plain(conn, b"final " + path.encode())
            return True
        if path.startswith("/plain/"):
            self.plain(conn, b"plain " + path.encode())
            return True
        if path == "/rhop":
            conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: X-RHop, cache-control\r\n"
                         b"X-RHop: 1\r\nCache-Control: max-age=60\r\nX-Keep: 2\r\n"
                         b"Content-Length: 2\r\n\r\nok")
            return True
        if path.startswith("/status/"):
            conn.sendall(self.BAD_HEADS[path.split("/")[2]])
            return False
        return super().respond(conn, path, head, body)

    @staticmethod
    def plain(conn, body):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n"
                     % len(body) + body)


@pytest.fixture
def scripted():
    origin = ConformanceOrigin()
    yield origin
    origin.stop()


def get(url, extra=""):
    return f"GET {url} HTTP/1.1\r\nHost: origin.test\r\n{extra}\r\n"


def with_url_commands(root):
    rule = root.find("access").find("allow")
    set_fields(rule, access=rule.find("access").text + ",url_commands")


def has_date(reply):
    value = reply.header("Date")
    return value is not None and email.utils.parsedate_to_datetime(value) is not None


# ------------------------------------------------------ interim responses

INTERIM = [
    # kind, what the first client gets
    ("103", 200),
    ("100", 200),
    ("two103", 200),
    ("close", 503),
]


@pytest.mark.parametrize("kind,status", INTERIM, ids=[k for k, _ in INTERIM])
def test_interim_responses_are_followed_by_the_final_one(scripted, proxy_factory, kind, status):
    proxy = proxy_factory()
    first = f"/interim/{kind}/first"
    with Client(proxy) as a:
        a.send(get(scripted.url(first)))
        reply = a.response()
    assert reply.status == status, reply
    if status == 200:
        assert reply.body == b"final " + first.encode()
    # The next request to the same origin, from another client, gets its
    # own answer: nothing of the first one is left on a server connection.
    for n in range(2):
        with Client(proxy, source="127.0.0.2") as b:
            b.send(get(scripted.url(f"/plain/second{n}")))
            other = b.response()
        assert other.status == 200, other
        assert other.body == b"plain /plain/second%d" % n
    records = wait_until(lambda: len(access_log_records(proxy)) >= 2 and access_log_records(proxy))
    assert not [r for r in records if 100 <= r["status"] < 200], records
    if status == 200:
        assert [r["status"] for r in records if r["url"].endswith(first)] == [200], records
    assert sanitizer_reports(proxy) == []


# ---------------------------------------------- answers before the body

def smuggled(scripted):
    return get(scripted.url("/SMUGGLED"))


def counted(data):
    return f"Content-Length: {len(data)}\r\n\r\n{data}"


def chunked(data):
    return f"Transfer-Encoding: chunked\r\n\r\n{len(data):x}\r\n{data}\r\n0\r\n\r\n"


def allow_rule_set(**fields):
    return lambda root: set_fields(root.find("access").find("allow"), **fields)


def url_filter_deny(path):
    def edit(root):
        section = root.find("url-filtering")
        set_fields(section, enabled="true", mode="0")
        section.append(rule("url-filtering", "deny", path=path))
    return edit


EARLY = [
    # road, request head start (url, extra lines), status, text of the
    # answer, configuration edit, client address, status of a next request
    # on the same connection
    ("url-command redirect", lambda s: (s.url("/plain/r"), "Referer: http://xx--fresh.example/\r\n"),
     302, b"", None, None, 200),
    ("template command",
     lambda s: (f"http://xx--template[unknown].origin.test:{s.port}/plain/t", ""), 200,
     b"<title>Error</title>", with_url_commands, None, 200),
    ("refused connection", lambda s: (f"http://origin.test:{free_port()}/x", ""), 503,
     b"<title>Connection failed</title>", None, None, 200),
    ("request kind the access word refuses", lambda s: (s.url("/plain/k"), ""), 404,
     b"<title>Access denied</title>",
     allow_rule_set(access="interface,transparent,host_header,connect"), None, 404),
    ("client outside the access rules", lambda s: (s.url("/plain/a"), ""), 403,
     b"<title>Access denied</title>", allow_rule_set(client_ranges="127.0.0.1-127.0.0.1"),
     "127.0.0.2", 403),
    ("url filter block", lambda s: (s.url("/plain/blocked"), ""), 403, b"is blocked",
     url_filter_deny("^/plain/blocked"), None, 200),
]


@pytest.mark.parametrize("framing", [counted, chunked], ids=["counted", "chunked"])
@pytest.mark.parametrize("road,start,status,text,edit,source,next_status", EARLY,
                         ids=[e[0] for e in EARLY])
def test_a_body_left_unread_never_becomes_a_request(scripted, tmp_path, proxy_factory, road,
                                                    start, status, text, edit, source,
                                                    next_status, framing):
    config = write_config(tmp_path / "c.xml", edit)
    proxy = proxy_factory(config=config)
    url, extra = start(scripted)
    head = f"GET {url} HTTP/1.1\r\nHost: origin.test\r\n{extra}"
    with Client(proxy, source=source, timeout=20) as c:
        c.send(head + framing(smuggled(scripted)))
        reply = c.response()
        assert reply.status == status, reply
        assert text in reply.body, reply
        # The body was read and dropped, and the connection goes on; or it
        # was not, and the connection ends, as the answer said it would.
        # A client the rules refuse is refused again.
        after = scripted.url("/plain/after")
        try:
            c.send(get(after))
            nxt = c.response()
        except (EOFError, ConnectionResetError, BrokenPipeError):
            nxt = None
        if nxt is None:
            assert reply.header("Connection") == "close", reply
        else:
            assert reply.header("Connection") == "keep-alive", reply
            assert nxt.status == next_status, nxt
            if next_status == 200:
                assert nxt.body == b"plain /plain/after", nxt
    time.sleep(0.5)
    assert not [h for h in scripted.heads if "SMUGGLED" in h], scripted.heads
    assert not [r for r in access_log_records(proxy) if "SMUGGLED" in r["url"]]
    assert sanitizer_reports(proxy) == []


# --------------------------------------------------- hop-by-hop fields

HOP = [
    # what, path, extra request lines, names that must not pass, lines that must
    ("request",
     "/echo", "Connection: keep-alive, X-Hop-A\r\nConnection: X-Hop-B\r\nX-Hop-A: 1\r\n"
              "X-Hop-B: 2\r\nReferer: http://r.test/\r\nX-Keep: 3\r\n",
     ["x-hop-a", "x-hop-b"], ["X-Keep: 3", "Referer: http://r.test/"]),
    ("request naming a mapped field",
     "/echo", "Connection: Referer\r\nReferer: http://r.test/\r\nX-Keep: 3\r\n",
     ["referer"], ["X-Keep: 3"]),
    ("response", "/rhop", "", ["x-rhop", "cache-control"], ["X-Keep: 2"]),
]


@pytest.mark.parametrize("what,path,extra,gone,kept", HOP, ids=[h[0] for h in HOP])
def test_fields_named_in_connection_stop_at_the_proxy(scripted, proxy_factory, what, path, extra,
                                                      gone, kept):
    proxy = proxy_factory()
    with Client(proxy) as c:
        c.send(get(scripted.url(path), extra))
        reply = c.response()
    assert reply.status == 200, reply
    if what == "response":
        seen = [f"{k}: {v}" for k, v in reply.headers]
    else:
        seen = scripted.heads[-1].split("\r\n")
    names = [line.split(":", 1)[0].lower() for line in seen]
    for name in gone:
        assert name not in names, (name, seen)
    for line in kept:
        assert line in seen, (line, seen)


# ------------------------------------------------------ broken heads

@pytest.mark.parametrize("name", sorted(ConformanceOrigin.BAD_HEADS))
def test_a_broken_status_line_ends_with_badresponse(scripted, proxy_factory, name):
    proxy = proxy_factory()
    with Client(proxy, timeout=20) as c:
        c.send(get(scripted.url(f"/status/{name}")))
        reply = c.response()
    assert reply.status == 502, reply
    assert b"Bad Response" in reply.body and b"Qz9q" not in reply.body, reply
    assert has_date(reply), reply
    with Client(proxy, source="127.0.0.2") as c:
        c.send(get(scripted.url("/plain/next")))
        assert c.response().body == b"plain /plain/next"
    assert sanitizer_reports(proxy) == []


# ------------------------------------------------------- the proxy's pages

PAGES = [
    ("refused connection", lambda s: get(f"http://origin.test:{free_port()}/"), 503),
    ("origin-form request without a host", lambda s: "GET / HTTP/1.1\r\n\r\n", 404),
    ("folded request line", lambda s: get(s.url("/plain/x"), "X-Fold: a\r\n b\r\n"), 400),
    ("second Host line", lambda s: get(s.url("/plain/x"), "Host: other.invalid\r\n"), 400),
    ("broken response", lambda s: get(s.url("/status/letter")), 502),
]


@pytest.mark.parametrize("what,request_text,status", PAGES, ids=[p[0] for p in PAGES])
def test_the_proxys_own_pages_carry_a_date(scripted, proxy_factory, what, request_text, status):
    proxy = proxy_factory()
    with Client(proxy, timeout=20) as c:
        c.send(request_text(scripted))
        reply = c.response()
    assert reply.status == status, reply
    assert has_date(reply), reply
    assert [k for k, _ in reply.headers].count("Date") == 1, reply
