"""What the cache promises by HTTP's caching rules, against a real nginx
(its default configuration) and a scripted origin: freshness by the
origin's own word and the age it arrived with, responses that must never
be served stale, invalidation by requests that change a resource, the
validators of a revalidation and the fields a 304 brings, the client's own
conditional requests, Age on hits, and the content codings a client
accepts."""
import gzip
import hashlib
import subprocess
import threading
import time
import xml.etree.ElementTree as ET
import zlib
from email.utils import formatdate, parsedate_to_datetime

import pytest

from conftest import (Nginx, Reader, ScriptedServer, access_log_records, exchange,
                      set_fields, wait_until)
from test_cache import cache_config, fetch, origin_requests, put_file


class ScriptOrigin(ScriptedServer):
    """Answers every request by `answer(method, path, headers)`, which
    returns (status, [header lines], body); the default is a 200 whose lines
    come from `lines[path]`.  Dates written "@0" are the time of the answer,
    "@-60" a minute before.  Each request is kept in `seen` as (method,
    path, headers by lower-case name)."""

    def __init__(self):
        super().__init__()
        self.lines = {}
        self.bodies = {}
        self.answer = None
        self.seen = []
        self.lock = threading.Lock()

    def requests(self, path, method="GET"):
        with self.lock:
            return [h for m, p, h in self.seen if p == path and m == method]

    def handle(self, conn):
        with conn:
            conn.settimeout(30)
            requests = Reader(conn)
            while True:
                try:
                    head = requests.next_head()
                    if head is None:
                        return
                    lines = head.decode("latin-1").split("\r\n")
                    method, target = lines[0].split(" ")[:2]
                    headers = {}
                    for line in lines[1:]:
                        name, _, value = line.partition(":")
                        headers[name.strip().lower()] = value.strip()
                    requests.take(int(headers.get("content-length", "0")))
                except EOFError:
                    return
                # A stopped origin answers nothing more, on any connection.
                if self.stopped.is_set():
                    return
                path = "/" + target.split("/", 3)[3] if "://" in target else target
                with self.lock:
                    self.seen.append((method, path, headers))
                if self.answer:
                    status, out, body = self.answer(method, path, headers)
                else:
                    status, out, body = 200, self.lines.get(path, []), \
                        self.bodies.get(path, b"body of %s\n" % path.encode())
                text = [f"HTTP/1.1 {status} X"]
                for line in out:
                    while "@" in line:
                        at = line.index("@")
                        end = at + 1
                        while end < len(line) and (line[end] in "+-0123456789"):
                            end += 1
                        when = formatdate(time.time() + int(line[at + 1:end]), usegmt=True)
                        line = line[:at] + when + line[end:]
                    text.append(line)
                if not any(line.lower().startswith("date:") for line in out):
                    text.append("Date: " + formatdate(time.time(), usegmt=True))
                if status not in (204, 304):
                    text.append(f"Content-Length: {len(body)}")
                conn.sendall(("\r\n".join(text) + "\r\n\r\n").encode("latin-1") +
                             (body if status not in (204, 304) else b""))


@pytest.fixture
def script_origin():
    server = ScriptOrigin()
    yield server
    server.stop()


@pytest.fixture
def nginx(tmp_path):
    # nginx as shipped: its If-Modified-Since must equal Last-Modified.
    server = Nginx(tmp_path)
    yield server
    server.stop()


OLD = "Last-Modified: @-864000"


# ------------------------------------------------------------- freshness

@pytest.mark.parametrize("name, lines, wait, reused", [
    ("max-age", ["Cache-Control: max-age=3600", OLD], 0, True),
    ("max-age, arrived older than that", ["Cache-Control: max-age=3600", "Age: 7200", OLD], 0,
     False),
    ("Date older than max-age", ["Date: @-7200", "Cache-Control: max-age=3600", OLD], 0, False),
    ("s-maxage beside a long max-age", ["Cache-Control: max-age=3600, s-maxage=1", OLD], 2.2,
     False),
    ("Expires ahead of Date", ["Expires: @3600", OLD], 0, True),
    ("Expires equal to Date", ["Date: @0", "Expires: @0", OLD], 0, False),
    ("Expires earlier than Date", ["Expires: @-60", OLD], 0, False),
    ("Expires that does not parse", ["Expires: next week", OLD], 0, False),
    ("Expires twice", ["Expires: @3600", "Expires: @3600", OLD], 0, False),
    ("heuristic from Last-Modified", [OLD], 0, True),
])
def test_freshness_follows_the_explicit_lifetime_and_the_age(tmp_path, proxy_factory,
                                                             script_origin, name, lines, wait,
                                                             reused):
    script_origin.lines["/f"] = lines
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml"))
    url = script_origin.url("/f")
    assert fetch(proxy, url)[0] == 200
    time.sleep(wait)
    status, fields, body = fetch(proxy, url)
    assert (status, body) == (200, b"body of /f\n")
    assert len(script_origin.requests("/f")) == (1 if reused else 2), name
    if reused:
        assert "HIT" in fields["x-cache"]


# A request that says no-store keeps the answer it gets out of the cache:
# the next plain request goes to the origin again.
@pytest.mark.parametrize("request_lines, stored", [
    ([], True),
    (["Cache-Control: no-store"], False),
    (["Cache-Control: max-age=60, No-Store"], False),
])
def test_a_request_that_says_no_store_leaves_no_object(tmp_path, proxy_factory, script_origin,
                                                       request_lines, stored):
    script_origin.lines["/ns"] = ["Cache-Control: max-age=3600", OLD]
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml"))
    url = script_origin.url("/ns")
    assert fetch(proxy, url, headers=request_lines)[0] == 200
    status, fields, body = fetch(proxy, url)
    assert (status, body) == (200, b"body of /ns\n")
    assert len(script_origin.requests("/ns")) == (1 if stored else 2), request_lines


# With header filtering on, the head writer sends the filtered copy of the
# lines, which holds the stored Age too.
@pytest.mark.parametrize("header_filtering", [False, True])
def test_hits_carry_their_current_age_once(tmp_path, proxy_factory, script_origin, nginx,
                                           header_filtering):
    script_origin.lines["/aged"] = ["Cache-Control: max-age=3600", "Age: 100"]
    put_file(nginx, "n.txt", b"nginx file\n")
    config = cache_config(tmp_path / "kv.xml")
    if header_filtering:
        tree = ET.parse(config)
        set_fields(tree.getroot().find("header-filtering"), enabled="true")
        tree.write(config, encoding="UTF-8", xml_declaration=True)
    proxy = proxy_factory(config=config)
    for url, least in ((script_origin.url("/aged"), 100),
                       (f"http://127.0.0.1:{nginx.port}/n.txt", 0)):
        request = f"GET {url} HTTP/1.1\r\nHost: x\r\n\r\n"
        first, _ = exchange(proxy, request)
        time.sleep(1.1)
        reply, _ = exchange(proxy, request)
        assert reply.status == 200 and reply.body == first.body
        ages = [v for k, v in reply.headers if k.lower() == "age"]
        assert len(ages) == 1, reply
        assert least + 1 <= int(ages[0]) <= least + 10, reply


# ------------------------------------- responses never served stale

@pytest.mark.parametrize("directive, violations, served_stale", [
    ("must-revalidate", "false", False),
    ("proxy-revalidate", "false", False),
    ("s-maxage=1", "false", False),
    ("public", "false", True),
    # The administrator may allow serving what the origin forbade.
    ("must-revalidate", "true", True),
])
def test_stale_object_that_must_be_revalidated_gives_504_when_the_origin_is_down(
        tmp_path, proxy_factory, directive, violations, served_stale):
    origin = ScriptOrigin()
    origin.lines["/m"] = [f"Cache-Control: max-age=1, {directive}", OLD]
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml",
                                              allow_violations=violations))
    url = origin.url("/m")
    try:
        assert fetch(proxy, url)[2] == b"body of /m\n"
    finally:
        origin.stop()
    time.sleep(2.2)
    status, fields, body = fetch(proxy, url)
    if served_stale:
        assert (status, body) == (200, b"body of /m\n")
        assert fields["warning"] == "110 stale cache"
    else:
        assert status == 504
        assert b"body of /m" not in body
    assert proxy.proc.poll() is None


# ------------------------------------------------------------ invalidation

@pytest.mark.parametrize("method, status, lines, dropped", [
    ("POST", 200, [], {"/i"}),
    ("PUT", 201, [], {"/i"}),
    ("DELETE", 204, [], {"/i"}),
    ("PATCH", 200, [], {"/i"}),
    ("POST", 303, ["Location: /loc"], {"/i", "/loc"}),
    ("POST", 200, ["Content-Location: http://origin.test:{port}/cloc"], {"/i", "/cloc"}),
    ("PUT", 200, ["Location: http://other.test:{port}/loc",
                  "Content-Location: http://other.test:{port}/cloc"], {"/i"}),
    ("POST", 500, ["Location: /loc"], set()),
    ("OPTIONS", 200, [], set()),
])
def test_a_successful_unsafe_request_invalidates_its_url_and_same_host_locations(
        tmp_path, proxy_factory, script_origin, method, status, lines, dropped):
    port = script_origin.port

    def answer(m, path, headers):
        if m != "GET":
            return status, [line.format(port=port) for line in lines], b"done\n"
        return 200, ["Cache-Control: max-age=3600", OLD], b"object %s\n" % path.encode()
    script_origin.answer = answer
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml"),
                          hosts={"other.test": "127.0.0.1"})
    paths = ["/i", "/loc", "/cloc"]
    for path in paths:
        assert fetch(proxy, script_origin.url(path))[0] == 200
    other = f"http://other.test:{port}/loc"
    assert fetch(proxy, other)[0] == 200
    args = ["-X", method, "-d", "x=1"] if method in ("POST", "PUT", "PATCH") else ["-X", method]
    subprocess.run(["curl", "-s", "-o", "/dev/null", "-x", proxy.url, *args,
                    script_origin.url("/i")], check=True, timeout=60)
    assert len(script_origin.requests("/i", method)) == 1
    for path in paths:
        status_, fields, body = fetch(proxy, script_origin.url(path))
        assert (status_, body) == (200, b"object %s\n" % path.encode())
        assert ("MISS" in fields["x-cache"]) == (path in dropped), path
    # Another host's object is never touched.
    assert "HIT" in fetch(proxy, other)[1]["x-cache"]


# ------------------------------------------------------------- validation

@pytest.mark.parametrize("stored, inm", [
    (['ETag: "v1"', "Last-Modified: Mon, 01 Jan 2024 10:00:00 GMT"], '"v1"'),
    (["Last-Modified: Mon, 01 Jan 2024 10:00:00 GMT"], None),
    (['ETag: W/"weak"'], 'W/"weak"'),
])
def test_revalidation_asks_with_the_stored_validators_and_a_304_merges_its_fields(
        tmp_path, proxy_factory, script_origin, stored, inm):
    lm = next((line.split(": ", 1)[1] for line in stored if line.startswith("Last-")), None)

    def answer(method, path, headers):
        if "if-modified-since" in headers or "if-none-match" in headers:
            return 304, ["Cache-Control: max-age=3600", "X-Version: 2"], b""
        return 200, ["Cache-Control: max-age=0", "X-Version: 1", *stored], b"stored body\n"
    script_origin.answer = answer
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml"))
    url = script_origin.url("/v")
    before = time.time()
    assert fetch(proxy, url)[1]["x-version"] == "1"
    status, fields, body = fetch(proxy, url)
    asked = script_origin.requests("/v")[1]
    assert asked.get("if-none-match") == inm
    if lm:
        assert asked["if-modified-since"] == lm
    else:
        # Without a Last-Modified, the time the object was fetched.
        fetched = parsedate_to_datetime(asked["if-modified-since"]).timestamp()
        assert before - 2 <= fetched <= time.time()
    # The client asked plainly: it gets the object, with the 304's fields.
    assert (status, body) == (200, b"stored body\n")
    assert fields["x-version"] == "2"
    assert "HIT" in fields["x-cache"] and "warning" not in fields
    # The 304's max-age holds now: no further question to the origin.
    status, fields, body = fetch(proxy, url)
    assert (status, body, fields["x-version"]) == (200, b"stored body\n", "2")
    assert len(script_origin.requests("/v")) == 2
    assert [r["code"] for r in wait_until(lambda: len(access_log_records(proxy)) >= 3 and
                                          access_log_records(proxy))] == \
        ["TCP_MISS", "TCP_REFRESH_HIT", "TCP_HIT"]


def test_nginx_confirms_a_stale_object_with_304(tmp_path, proxy_factory, nginx):
    put_file(nginx, "r.txt", b"unchanged\n")
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml", refresh={"max_age": "1"}))
    url = f"http://127.0.0.1:{nginx.port}/r.txt"
    etag = fetch(proxy, url)[1]["etag"]
    time.sleep(2.2)
    status, fields, body = fetch(proxy, url)
    assert (status, body, fields["etag"]) == (200, b"unchanged\n", etag)
    seen = origin_requests(nginx, "/r.txt", 2)
    assert '" 304 ' in seen[1], seen


# ------------------------------------------------------ client conditionals

def test_client_conditionals_are_answered_from_a_fresh_object(tmp_path, proxy_factory, nginx):
    path = put_file(nginx, "c.txt", b"conditional\n")
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml"))
    url = f"http://127.0.0.1:{nginx.port}/c.txt"
    _, fields, _ = fetch(proxy, url)
    etag, lm = fields["etag"], fields["last-modified"]
    mtime = path.stat().st_mtime
    cases = [
        (f"If-None-Match: {etag}", 304),
        (f"If-None-Match: W/{etag}", 304),
        (f'If-None-Match: "other", {etag}', 304),
        ("If-None-Match: *", 304),
        ('If-None-Match: "other"', 200),
        (f"If-Modified-Since: {lm}", 304),
        (f"If-Modified-Since: {formatdate(mtime + 3600, usegmt=True)}", 304),
        (f"If-Modified-Since: {formatdate(mtime - 3600, usegmt=True)}", 200),
        ("If-Modified-Since: not a date", 200),
    ]
    for header, expected in cases:
        status, fields, body = fetch(proxy, url, headers=[header])
        assert status == expected, header
        assert body == (b"conditional\n" if expected == 200 else b""), header
        assert "HIT" in fields["x-cache"] and "age" in fields, header
    assert len(origin_requests(nginx, "/c.txt", 1)) == 1


@pytest.mark.parametrize("offset, expected", [(-3600, 200), (0, 304)])
def test_the_origins_304_to_the_proxy_reaches_only_a_client_whose_copy_it_answers(
        tmp_path, proxy_factory, nginx, offset, expected):
    path = put_file(nginx, "o.txt", b"current\n")
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml", refresh={"max_age": "1"}))
    url = f"http://127.0.0.1:{nginx.port}/o.txt"
    fetch(proxy, url)
    time.sleep(2.2)
    since = formatdate(path.stat().st_mtime + offset, usegmt=True)
    status, _, body = fetch(proxy, url, headers=[f"If-Modified-Since: {since}"])
    assert (status, body) == (expected, b"current\n" if expected == 200 else b"")
    # The proxy asked its own question, which nginx confirmed.
    assert '" 304 ' in origin_requests(nginx, "/o.txt", 2)[1]


# ---------------------------------------------------------- content codings

@pytest.mark.parametrize("accept, stays_gzip", [
    ("gzip", True),
    ("gzip, deflate;q=0.5", True),
    ("*", True),
    ("deflate", False),
    ("gzip;q=0", False),
    ("gzip;q=0, deflate", False),
    ("identity", False),
    (None, False),
])
def test_a_stored_gzip_body_goes_only_to_clients_that_accept_gzip(tmp_path, proxy_factory,
                                                                   script_origin, accept,
                                                                   stays_gzip):
    plain = b"compressible text\n" * 200
    script_origin.lines["/z"] = ["Cache-Control: max-age=3600", "Content-Encoding: gzip",
                                 "Vary: Accept-Encoding", "Content-Type: text/plain"]
    script_origin.bodies["/z"] = gzip.compress(plain)
    # With request compression a client that offers gzip is given it.
    config = cache_config(tmp_path / "kv.xml")
    tree = ET.parse(config)
    set_fields(tree.getroot().find("general").find("rule"), request_compression="true")
    tree.write(config, encoding="UTF-8", xml_declaration=True)
    proxy = proxy_factory(config=config)
    url = script_origin.url("/z")
    fetch(proxy, url, headers=["Accept-Encoding: gzip"])
    status, fields, body = fetch(proxy, url, headers=[f"Accept-Encoding: {accept}"]
                                 if accept is not None else [])
    assert status == 200 and "HIT" in fields["x-cache"]
    coding = fields.get("content-encoding")
    if stays_gzip:
        assert coding == "gzip" and gzip.decompress(body) == plain
    else:
        assert coding != "gzip"
        decoded = zlib.decompress(body) if coding == "deflate" else body
        assert hashlib.sha256(decoded).digest() == hashlib.sha256(plain).digest()
    assert len(script_origin.requests("/z")) == 1
