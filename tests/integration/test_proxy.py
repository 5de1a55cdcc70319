"""The request road and the HTTP exchange, end to end: curl and raw sockets
as clients, nginx (and a small scripted origin for what nginx will not do
on demand) as servers, and the access and extended logs read back."""
import gzip
import hashlib
import os
import re
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

from conftest import (DEFAULT_CONFIG, Client, Nginx, Reader, ScriptedServer,
                      access_log_records, extended_log_records, free_port, recv_all,
                      sanitizer_reports, set_fields, wait_until, write_config)


# ------------------------------------------------------------------ helpers

def config_with(tmp_path, **general):
    """The shipped configuration with some fields of the general rule set."""
    text = DEFAULT_CONFIG.read_text()
    for field, value in general.items():
        text, n = re.subn(rf"<{field}>[^<]*</{field}>", f"<{field}>{value}</{field}>", text,
                          count=1)
        assert n == 1, field
    path = tmp_path / "config.xml"
    path.write_text(text)
    return path


def curl(proxy, *args, timeout=120):
    cmd = ["curl", "-sS", "--noproxy", "", "-x", proxy.url, *args]
    return subprocess.run(cmd, capture_output=True, timeout=timeout)


def raw_exchange(proxy, request, timeout=10.0):
    with socket.create_connection((proxy.host, proxy.port), timeout=timeout) as s:
        s.sendall(request)
        return recv_all(s, timeout)


class ScriptedOrigin(ScriptedServer):
    """An origin that does per path what nginx will not do on demand: answer
    chunked, echo what it received, or die in the middle of a body."""

    def __init__(self):
        self.heads = []
        self.bodies = []
        super().__init__(backlog=16)

    @staticmethod
    def read_body(f, head):
        lower = head.lower()
        m = re.search(rb"\ncontent-length: *(\d+)", lower)
        if m:
            return f.read(int(m.group(1)))
        if b"transfer-encoding: chunked" in lower:
            body = b""
            while True:
                size = int(f.readline().split(b";")[0], 16)
                if size == 0:
                    while f.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return body
                body += f.read(size)
                f.readline()
        return b""

    def handle(self, conn):
        f = conn.makefile("rb")
        try:
            while True:
                head = b""
                while True:
                    line = f.readline()
                    if not line:
                        return
                    head += line
                    if line in (b"\r\n", b"\n"):
                        break
                body = self.read_body(f, head)
                self.heads.append(head.decode("latin-1"))
                self.bodies.append(body)
                path = head.split(b" ")[1].decode()
                if not self.respond(conn, path, head, body):
                    return
        except (OSError, ValueError):
            pass
        finally:
            f.close()
            conn.close()

    def respond(self, conn, path, head, body):
        if path.startswith("/chunked"):
            parts = [b"first part ", b"second part ", b"x" * 5000]
            out = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n"
            for p in parts:
                out += b"%x\r\n%s\r\n" % (len(p), p)
            conn.sendall(out + b"0\r\n\r\n")
            return True
        if path.startswith("/gzip"):
            coded = gzip.compress(b"plain text " * 100)
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\n"
                         b"Content-Length: %d\r\n\r\n" % len(coded) + coded)
            return True
        if path.startswith("/echo"):
            digest = hashlib.md5(body).hexdigest().encode()
            reply = head + b"\nbody " + str(len(body)).encode() + b" " + digest
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n"
                         % len(reply) + reply)
            return True
        if path.startswith("/dieChunked"):
            conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3e8\r\n" + b"z" * 1000)
            return False
        if path.startswith("/die"):
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"y" * 1000)
            return False
        conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
        return True


@pytest.fixture
def scripted():
    origin = ScriptedOrigin()
    yield origin
    origin.stop()


@pytest.fixture
def dav_origin(tmp_path):
    """nginx that also stores PUT bodies below /dav/ and answers POST on /post."""
    server = Nginx(tmp_path, extra_conf="""
        location /dav/ { dav_methods PUT; create_full_put_path on; }
        location /post { return 200 "posted\\n"; }
    """)
    dav = server.root / "dav"
    dav.mkdir()
    dav.chmod(0o777)
    yield server
    server.stop()


# ---------------------------------------------------------------- the road

def test_get_through_the_proxy_and_its_log_lines(origin, proxy_factory):
    (origin.root / "page.html").write_text("<html>hello</html>\n")
    proxy = proxy_factory()
    url = f"http://origin.test:{origin.port}/page.html"
    r = curl(proxy, "-D", "-", url)
    assert r.returncode == 0, r.stderr
    head, body = r.stdout.split(b"\r\n\r\n", 1)
    assert body == b"<html>hello</html>\n"
    assert head.startswith(b"HTTP/1.1 200 ")

    rec = wait_until(lambda: access_log_records(proxy))
    assert len(rec) == 1
    # The user column is the access rule's business.
    del rec[0]["user"]
    assert rec[0] == {"client": "127.0.0.1", "code": "TCP_MISS", "status": 200,
                      "size": len(body), "method": "GET",
                      "url": f"http://origin.test:{origin.port}/page.html",
                      "peercode": "DIRECT", "peer": "origin.test", "mime": "text/html"}
    ext = wait_until(lambda: extended_log_records(proxy))
    assert [{k: r[k] for k in ("client", "method", "url", "status", "size")} for r in ext] == \
        [{"client": "127.0.0.1", "method": "GET", "url": rec[0]["url"], "status": 200,
          "size": len(body)}]
    assert int(ext[0]["elapsed"]) >= 0
    assert sanitizer_reports(proxy) == []


def test_origin_form_request_takes_the_host_header(origin, proxy_factory):
    (origin.root / "o.txt").write_text("origin form\n")
    proxy = proxy_factory()
    data = raw_exchange(proxy, f"GET /o.txt HTTP/1.0\r\nHost: origin.test:{origin.port}\r\n\r\n"
                        .encode())
    assert data is not None
    assert data.startswith(b"HTTP/1.1 200 ")
    assert data.endswith(b"\r\n\r\norigin form\n")
    rec = wait_until(lambda: access_log_records(proxy))
    assert rec[0]["url"] == f"http://origin.test:{origin.port}/o.txt"


def test_methods_with_counted_and_chunked_bodies(dav_origin, proxy_factory, scripted):
    proxy = proxy_factory()
    base = f"http://origin.test:{dav_origin.port}"
    (dav_origin.root / "h.txt").write_text("head me\n")

    r = curl(proxy, "-I", f"{base}/h.txt")
    assert r.returncode == 0, r.stderr
    assert b"HTTP/1.1 200" in r.stdout and b"Content-Length: 8" in r.stdout

    payload = os.urandom(300000)
    src = Path(proxy.dir) / "payload.bin"
    src.write_bytes(payload)
    cases = [
        ("PUT counted", ["-T", str(src), f"{base}/dav/counted.bin"], "counted.bin"),
        ("PUT chunked", ["-T", str(src), "-H", "Transfer-Encoding: chunked",
                         f"{base}/dav/chunked.bin"], "chunked.bin"),
    ]
    for why, args, name in cases:
        r = curl(proxy, "-o", "/dev/null", "-w", "%{http_code}", *args)
        assert r.returncode == 0, (why, r.stderr)
        assert r.stdout in (b"201", b"204"), why
        assert (dav_origin.root / "dav" / name).read_bytes() == payload, why

    echo = f"http://origin.test:{scripted.port}/echo"
    small = b"a=1&b=2"
    for why, args, body in [
        ("POST counted, buffered", ["--data-binary", small.decode()], small),
        ("POST counted, streamed", ["--data-binary", f"@{src}"], payload),
        ("POST chunked", ["--data-binary", f"@{src}", "-H", "Transfer-Encoding: chunked"],
         payload),
    ]:
        r = curl(proxy, "-H", "Expect:", *args, echo)
        assert r.returncode == 0, (why, r.stderr)
        expected = f"body {len(body)} {hashlib.md5(body).hexdigest()}".encode()
        assert r.stdout.endswith(expected), (why, r.stdout[-200:])
    assert sanitizer_reports(proxy) == []


def test_chunked_response_relayed_to_11_and_counted_for_10(scripted, proxy_factory):
    proxy = proxy_factory()
    url = f"http://origin.test:{scripted.port}/chunked"
    expected = b"first part second part " + b"x" * 5000

    data = raw_exchange(proxy, f"GET {url} HTTP/1.1\r\nConnection: close\r\n\r\n".encode())
    head, body = data.split(b"\r\n\r\n", 1)
    assert b"Transfer-Encoding: chunked" in head
    assert b"Content-Length" not in head
    assert body == b"b\r\nfirst part \r\nc\r\nsecond part \r\n1388\r\n" + b"x" * 5000 + \
        b"\r\n0\r\n\r\n"

    data = raw_exchange(proxy, f"GET {url} HTTP/1.0\r\n\r\n".encode())
    head, body = data.split(b"\r\n\r\n", 1)
    assert b"Transfer-Encoding" not in head
    assert f"Content-Length: {len(expected)}".encode() in head
    assert body == expected


def test_via_and_the_order_of_the_heads(scripted, tmp_path, proxy_factory):
    proxy = proxy_factory(config=config_with(tmp_path, via="true", x_forwarded_for="true"))
    url = f"http://origin.test:{scripted.port}/echo"
    r = curl(proxy, "-D", "-", "-H", "X-Extra: one", "-H", "Via: 1.1 downstream",
             "-A", "agent/1", url)
    assert r.returncode == 0, r.stderr
    sent = scripted.heads[-1].split("\r\n")
    assert sent[0] == "GET /echo HTTP/1.1"
    names = [line.split(":", 1)[0] for line in sent[1:] if line]
    # Unmapped lines first, in arrival order, then the fixed block.
    assert names.index("X-Extra") < names.index("User-Agent") < names.index("Host") \
        < names.index("Connection") < names.index("X-Forwarded-For") < names.index("Via")
    via = [line for line in sent if line.startswith("Via:")][0]
    assert re.fullmatch(rf"Via: 1\.1 downstream, 127\.0\.0\.1:{proxy.port} \(Kelvarine \S+\)",
                        via)
    assert "X-Forwarded-For: 127.0.0.1" in sent
    assert "Proxy-Connection" not in names

    head = r.stdout.split(b"\r\n\r\n", 1)[0].decode().split("\r\n")
    names = [line.split(":", 1)[0] for line in head[1:]]
    assert names.index("Content-Type") < names.index("Content-Length") \
        < names.index("Connection") < names.index("Proxy-Connection") < names.index("X-Cache")
    assert "Connection: keep-alive" in head
    assert re.search(r"X-Cache: MISS from Kelvarine \S+", "\n".join(head))


def test_keepalive_on_both_sides_reuses_server_connections(origin, proxy_factory, tmp_path):
    for i in range(5):
        (origin.root / f"k{i}.txt").write_text(f"keep {i}\n")
    # Every request must reach the server: no cache answers for it.
    proxy = proxy_factory(config=write_config(
        tmp_path / "nocache.xml", lambda root: set_fields(root.find("cache"), enabled="false")))
    with Client(proxy) as c:
        for round in range(3):
            for i in range(5):
                c.send(f"GET http://origin.test:{origin.port}/k{i}.txt HTTP/1.1\r\n"
                       f"Host: origin.test\r\n\r\n")
                reply = c.response()
                assert reply.status == 200, reply
                assert reply.header("Connection") == "keep-alive", reply
                assert reply.body == f"keep {i}\n".encode()
    lines = origin.log_lines(at_least=15)
    connections = {line.split(" ")[1] for line in lines}
    assert len(lines) == 15
    assert len(connections) == 1, lines
    # HTTP/1.0 asks for the close and gets it.
    data = raw_exchange(proxy, f"GET http://origin.test:{origin.port}/k0.txt HTTP/1.0\r\n\r\n"
                        .encode())
    assert data is not None and b"Connection: close" in data


@pytest.mark.parametrize("pause", [None, 0.0, 0.5],
                         ids=["pipelined", "right-after-the-answer", "after-a-pause"])
def test_next_requests_of_a_connection_are_answered_in_order(origin, proxy_factory, pause):
    # The next request may already be buffered with the first, arrive while
    # the worker still holds the connection, or come once it is parked.
    for i in range(3):
        (origin.root / f"n{i}.txt").write_text(f"next {i}\n")
    proxy = proxy_factory()
    requests = [f"GET http://origin.test:{origin.port}/n{i}.txt HTTP/1.1\r\n"
                f"Host: origin.test\r\n\r\n".encode() for i in range(3)]
    with Client(proxy) as c:
        if pause is None:
            c.send(b"".join(requests))
        for i in range(3):
            if pause is not None:
                time.sleep(pause)
                c.send(requests[i])
            reply = c.response()
            assert reply.status == 200, reply
            assert reply.body == f"next {i}\n".encode()


def rss_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def test_five_gib_download_streams_in_small_memory(origin, proxy_factory):
    size = 5 * 1024 ** 3
    big = origin.root / "big.bin"
    with open(big, "wb") as f:
        f.truncate(size)
    proxy = proxy_factory()
    before = rss_kib(proxy.proc.pid)
    peak = [before]
    done = threading.Event()

    def watch():
        while not done.is_set():
            peak[0] = max(peak[0], rss_kib(proxy.proc.pid))
            time.sleep(0.2)

    t = threading.Thread(target=watch)
    t.start()
    try:
        r = curl(proxy, "-o", "/dev/null", "-w", "%{size_download}",
                 f"http://origin.test:{origin.port}/big.bin", timeout=900)
    finally:
        done.set()
        t.join()
    assert r.returncode == 0, r.stderr
    assert int(r.stdout) == size
    assert peak[0] - before < 64 * 1024, (before, peak[0])
    rec = wait_until(lambda: access_log_records(proxy))
    assert rec[0]["size"] == size and rec[0]["status"] == 200


def test_hundred_mib_upload_arrives_whole(dav_origin, proxy_factory):
    proxy = proxy_factory()
    src = Path(proxy.dir) / "upload.bin"
    block = os.urandom(1024 * 1024)
    with open(src, "wb") as f:
        for i in range(100):
            f.write(block[i:] + block[:i])
    r = curl(proxy, "-o", "/dev/null", "-w", "%{http_code}", "-T", str(src),
             f"http://origin.test:{dav_origin.port}/dav/up.bin", timeout=600)
    assert r.returncode == 0, r.stderr
    stored = dav_origin.root / "dav" / "up.bin"
    assert stored.stat().st_size == 100 * 1024 * 1024
    h1, h2 = hashlib.md5(), hashlib.md5()
    for path, h in ((src, h1), (stored, h2)):
        with open(path, "rb") as f:
            for chunk in iter(lambda: f.read(1 << 20), b""):
                h.update(chunk)
    assert h1.hexdigest() == h2.hexdigest()


def test_unknown_host_and_closed_port_get_their_pages(proxy_factory):
    proxy = proxy_factory()
    closed = free_port()
    cases = [
        ("nodns", "http://no-such-host.test/", b"DNS Lookup"),
        ("noconnect", f"http://origin.test:{closed}/", b"Connection to"),
    ]
    for why, url, text in cases:
        r = curl(proxy, "-D", "-", url)
        assert r.returncode == 0, (why, r.stderr)
        head, body = r.stdout.split(b"\r\n\r\n", 1)
        assert head.startswith(b"HTTP/1.1 503 "), (why, head)
        assert text in body, why
    assert sanitizer_reports(proxy) == []


def test_origin_dying_mid_body_closes_the_client(scripted, proxy_factory):
    proxy = proxy_factory()
    for path in ("/die", "/dieChunked"):
        with socket.create_connection((proxy.host, proxy.port), timeout=10) as s:
            s.sendall(f"GET http://origin.test:{scripted.port}{path} HTTP/1.1\r\n"
                      f"Host: x\r\n\r\n".encode())
            data = recv_all(s, timeout=30)
        assert data is not None, f"{path}: connection left open"
        head, body = data.split(b"\r\n\r\n", 1)
        if path == "/die":
            assert len(body) == 1000, path
        else:
            assert not body.endswith(b"0\r\n\r\n"), path
    # The log names the bytes that really came, never the announced length.
    rec = wait_until(lambda: len(access_log_records(proxy)) == 2 and access_log_records(proxy))
    assert [(r["status"], r["size"]) for r in rec] == [(200, 1000), (200, 1000)]


SMUGGLING = [
    ("content-length with transfer-encoding",
     b"POST {url} HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n"
     b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400),
    ("two content-lengths",
     b"POST {url} HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\nabcde", 400),
    ("a transfer-encoding other than chunked",
     b"POST {url} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip\r\n\r\n", 400),
    ("a bad chunk size",
     b"POST {url} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n",
     400),
    ("an oversized head",
     b"GET {url} HTTP/1.1\r\nHost: h\r\n" + b"".join(b"X-Fill-%d: %s\r\n" % (i, b"f" * 900)
                                                  for i in range(40)) + b"\r\n", 431),
    ("an overlong URL", b"GET {url}?" + b"q" * 3000 + b" HTTP/1.1\r\nHost: h\r\n\r\n", 414),
    ("a request line longer than a header line may be",
     b"GET {url}?" + b"q" * 6000 + b" HTTP/1.1\r\nHost: h\r\n\r\n", 414),
    ("a folded header line",
     b"GET {url} HTTP/1.1\r\nHost: h\r\nX-Fold: a\r\n zz\r\n\r\n", 400),
    ("two Host lines",
     b"GET {url} HTTP/1.1\r\nHost: h\r\nHost: other.invalid\r\n\r\n", 400),
    ("two Host lines on an origin-form request",
     b"GET /echo HTTP/1.1\r\nHost: origin.test\r\nHost: other.invalid\r\n\r\n", 400),
    ("a host that decodes to no host name",
     b"GET http://good.nt%2b.evil.test/ HTTP/1.1\r\nHost: h\r\n\r\n", 400),
]


@pytest.mark.parametrize("why,request_bytes,status", SMUGGLING, ids=[c[0] for c in SMUGGLING])
def test_smuggling_probes_are_refused_and_closed(scripted, proxy_factory, why, request_bytes,
                                                 status):
    proxy = proxy_factory()
    url = f"http://origin.test:{scripted.port}/echo".encode()
    # A second request rides behind the probe: it must never be answered.
    follow = b"GET " + url + b" HTTP/1.1\r\nHost: h\r\n\r\n"
    data = raw_exchange(proxy, request_bytes.replace(b"{url}", url) + follow, timeout=20)
    assert data is not None, "connection left open"
    assert data.startswith(b"HTTP/1.1 %d " % status), data[:200]
    assert data.count(b"HTTP/1.1 ") == 1
    assert not any("X-Fill" in h or "zz" in h or "X-Fold" in h or "other.invalid" in h
                   for h in scripted.heads)
    assert sanitizer_reports(proxy) == []


def test_connect_outside_the_port_ranges_is_refused(origin, tmp_path, proxy_factory):
    proxy = proxy_factory(config=config_with(tmp_path, connect_ports="443"))
    data = raw_exchange(proxy, f"CONNECT origin.test:{origin.port} HTTP/1.1\r\n\r\n".encode())
    assert data is not None, "connection left open"
    assert data.startswith(b"HTTP/1.1 404 ")


def test_connect_tunnel_relays_bytes(origin, tmp_path, proxy_factory):
    (origin.root / "t.txt").write_text("through the tunnel\n")
    proxy = proxy_factory(config=config_with(tmp_path, connect_ports=str(origin.port)))
    with socket.create_connection((proxy.host, proxy.port), timeout=10) as s:
        s.sendall(f"CONNECT origin.test:{origin.port} HTTP/1.1\r\n\r\n".encode())
        reader = Reader(s)
        answer = reader.response(head_only=True)
        assert (answer.status, answer.reason, answer.headers) == (200, "Connection Established", [])
        assert reader.buf == b""
        s.sendall(b"GET /t.txt HTTP/1.0\r\n\r\n")
        data = recv_all(s)
    assert data.endswith(b"through the tunnel\n")
    rec = wait_until(lambda: access_log_records(proxy))
    assert rec[0]["method"] == "CONNECT" and rec[0]["size"] == len(data) + 23


# ------------------------------------------------------ access-log records

def test_each_request_of_a_connection_logs_its_own_size(origin, proxy_factory):
    (origin.root / "a.txt").write_bytes(b"a" * 60)
    (origin.root / "b.txt").write_bytes(b"b" * 115)
    proxy = proxy_factory()
    base = f"http://origin.test:{origin.port}"
    # curl sends them one after the other on one kept-alive connection.
    r = curl(proxy, f"{base}/a.txt", f"{base}/a.txt", f"{base}/b.txt", f"{base}/a.txt")
    assert r.returncode == 0, r.stderr
    assert r.stdout == b"a" * 120 + b"b" * 115 + b"a" * 60
    assert len({line.split(" ")[1] for line in origin.log_lines(at_least=4)}) == 1
    rec = wait_until(lambda: len(access_log_records(proxy)) == 4 and access_log_records(proxy))
    assert [r["size"] for r in rec] == [60, 60, 115, 60]
    ext = wait_until(lambda: len(extended_log_records(proxy)) == 4 and
                     extended_log_records(proxy))
    assert [r["size"] for r in ext] == [60, 60, 115, 60]


def test_forwarded_for_with_blanks_keeps_every_column(origin, proxy_factory):
    (origin.root / "x.txt").write_text("x\n")
    proxy = proxy_factory()
    url = f"http://origin.test:{origin.port}/x.txt"
    for forwarded in ("10.1.1.1, 10.2.2.2", "10.1.1.1,\t10.2.2.2 ,  10.3.3.3"):
        data = raw_exchange(proxy, f"GET {url} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                                   f"X-Forwarded-For: {forwarded}\r\n\r\n".encode())
        assert data.startswith(b"HTTP/1.1 200 "), data[:100]
    rec = wait_until(lambda: len(access_log_records(proxy)) == 2 and access_log_records(proxy))
    assert [r["client"] for r in rec] == ["10.1.1.1,10.2.2.2", "10.1.1.1,10.2.2.2,10.3.3.3"]
    assert [r["url"] for r in rec] == [url, url]
    for line in proxy.access_log.read_text().splitlines()[2:]:
        assert len(line.split(" ")) == 10, line
    ext = wait_until(lambda: len(extended_log_records(proxy)) == 2 and
                     extended_log_records(proxy))
    assert [r["client"] for r in ext] == [r["client"] for r in rec]


def test_every_answered_request_is_recorded_and_calamaris_reads_them(origin, tmp_path,
                                                                   proxy_factory):
    """A mixed run: hits, a 404, refusals for syntax, the pages of failed
    look-ups and connections, CONNECTs that open, fail or are refused, and
    a garbage request; every answer leaves one record in each log, and
    calamaris reads every record as valid."""
    (origin.root / "hit.txt").write_bytes(b"h" * 60)
    closed = free_port()
    proxy = proxy_factory(config=config_with(
        tmp_path, connect_ports=f"443,563,{origin.port},{closed}"))
    base = f"http://origin.test:{origin.port}"
    fill = b"".join(b"X-Fill-%d: %s\r\n" % (i, b"f" * 900) for i in range(40))
    def get(url, extra=b""):
        return f"GET {url} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n".encode() + \
            extra + b"\r\n"

    # (request, status, method column)
    cases = [
        (get(f"{base}/hit.txt"), 200, "GET"),
        (get(f"{base}/missing.txt"), 404, "GET"),
        (b"\x16\x03\x01\x02\x00garbage\r\n\r\n", 400, "-"),
        (get("http://origin.test/" + "q" * 3000), 414, "-"),
        (get("http://origin.test/", fill), 431, "-"),
        (get("http://no-such-host.test/"), 503, "GET"),
        (get(f"http://origin.test:{closed}/"), 503, "GET"),
        (get(f"wais://origin.test:{origin.port}/"), 403, "GET"),
        (f"CONNECT origin.test:{closed} HTTP/1.1\r\n\r\n".encode(), 503, "CONNECT"),
        (b"CONNECT origin.test:22 HTTP/1.1\r\n\r\n", 404, "CONNECT"),
        (f"GET {base}/hit.txt HTTP/1.0\r\n\r\n".encode(), 200, "GET"),
    ]
    for n, (request, status, _) in enumerate(cases, 1):
        data = raw_exchange(proxy, request, timeout=20)
        assert data is not None and data.startswith(b"HTTP/1.1 %d " % status), \
            (request[:60], status, (data or b"")[:120])
        # A refusal may be recorded after its connection has closed: the next
        # request waits for it, so that the records come in the order sent.
        assert wait_until(lambda: len(access_log_records(proxy)) >= n and
                          len(extended_log_records(proxy)) >= n), (n, access_log_records(proxy))
    with socket.create_connection((proxy.host, proxy.port), timeout=10) as s:
        s.sendall(f"CONNECT origin.test:{origin.port} HTTP/1.1\r\n\r\n".encode())
        reader = Reader(s)
        assert reader.response(head_only=True).status == 200
        s.sendall(b"GET /hit.txt HTTP/1.0\r\n\r\n")
        assert (reader.buf + recv_all(s)).endswith(b"h" * 60)
    expected = [(status, method) for _, status, method in cases] + [(200, "CONNECT")]

    # A record is written once its answer has gone, so the records of two
    # requests made one after the other may come in either order.
    expected = sorted(expected)
    rec = wait_until(lambda: len(access_log_records(proxy)) >= len(expected) and
                     access_log_records(proxy))
    assert sorted((r["status"], r["method"]) for r in rec) == expected
    ext = wait_until(lambda: len(extended_log_records(proxy)) >= len(expected) and
                     extended_log_records(proxy))
    assert sorted((r["status"], r["method"]) for r in ext) == expected
    # No column is empty, so every record splits into the same columns.
    for line in proxy.access_log.read_text().splitlines()[2:]:
        assert len(line.split(" ")) == 10 and "" not in line.split(" "), line

    # The file ends without a newline: its records begin with one.
    report = subprocess.run(["calamaris", "-a"],
                            input=proxy.access_log.read_bytes() + b"\n",
                            capture_output=True, timeout=120)
    assert report.returncode == 0, report.stderr
    text = report.stdout.decode(errors="replace")
    parsed = re.search(r"lines parsed:\s+lines\s+(\d+)", text)
    invalid = re.search(r"invalid lines:\s+lines\s+(\d+)", text)
    assert parsed and invalid, text
    assert (int(parsed.group(1)), int(invalid.group(1))) == (len(expected), 0), text
    assert sanitizer_reports(proxy) == []


def established_to(port):
    """Established TCP connections on this machine to 127.0.0.1:port, from
    /proc/net/tcp (a connection the server has closed is in CLOSE_WAIT on
    the client's side)."""
    target = f"0100007F:{port:04X}"
    return [line for line in Path("/proc/net/tcp").read_text().splitlines()[1:]
            if line.split()[2] == target and line.split()[3] == "01"]


def test_pooled_connection_closed_by_the_server_is_replaced(tmp_path, proxy_factory):
    origin = Nginx(tmp_path, extra_conf="keepalive_timeout 1s;")
    try:
        (origin.root / "p.txt").write_text("pooled\n")
        # Every category, the debug lines of the pool included.
        proxy = proxy_factory(extra_args=["-d", str(0x0FFFFFFF)])
        url = f"http://origin.test:{origin.port}/p.txt"
        for attempt in range(2):
            r = curl(proxy, url)
            assert r.returncode == 0 and r.stdout == b"pooled\n", (attempt, r.stderr)
            # nginx drops the idle connection parked in the proxy's pool.
            assert wait_until(lambda: not established_to(origin.port), timeout=20)
        lines = origin.log_lines()
        assert len(lines) == 2
        assert len({line.split(" ")[1] for line in lines}) == 2
        log = proxy.native_log.read_text()
        assert "Connection Pool: hit" in log, "the dead connection was lent out"
        assert "noconnect" not in log
    finally:
        origin.stop()


def test_request_for_the_proxy_itself_is_refused(proxy_factory):
    proxy = proxy_factory()
    r = curl(proxy, "-D", "-", f"http://127.0.0.1:{proxy.port}/")
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(b"HTTP/1.1 403 ")
    # The refusal did not travel through the proxy a second time: it is
    # the only record.
    rec = wait_until(lambda: access_log_records(proxy))
    assert [(r["url"], r["status"]) for r in rec] == [(f"http://127.0.0.1:{proxy.port}/", 403)]
    assert sanitizer_reports(proxy) == []


def test_client_outside_the_access_rules_is_refused_and_logged(origin, tmp_path,
                                                               proxy_factory):
    text = DEFAULT_CONFIG.read_text()
    text, n = re.subn(r"<client_ranges>[^<]*</client_ranges>",
                      "<client_ranges>127.0.0.1-127.0.0.1</client_ranges>", text)
    assert n == 1
    config = tmp_path / "only-one.xml"
    config.write_text(text)
    (origin.root / "a.txt").write_text("admitted\n")
    proxy = proxy_factory(config=config)
    url = f"http://origin.test:{origin.port}/a.txt"

    r = curl(proxy, url)
    assert r.returncode == 0 and r.stdout == b"admitted\n", r.stderr

    r = curl(proxy, "--interface", "127.0.0.2", "-D", "-", url)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(b"HTTP/1.1 403 "), r.stdout[:200]
    assert b"Access denied" in r.stdout
    assert len(origin.log_lines(at_least=1)) == 1, "the refused request reached the origin"

    rec = wait_until(lambda: len(access_log_records(proxy)) == 2 and access_log_records(proxy))
    assert rec[0]["code"] == "TCP_MISS" and rec[0]["client"] == "127.0.0.1"
    assert rec[1]["code"] == "TCP_DENIED" and rec[1]["client"] == "127.0.0.2"
    ext = proxy.extended_log.read_text()
    assert '"access-section access policy restrictions"' in ext


def test_coded_body_is_decoded_for_the_client(scripted, proxy_factory):
    proxy = proxy_factory()
    url = f"http://origin.test:{scripted.port}/gzip"
    plain = b"plain text " * 100
    for why, args in [("no codings offered", []),
                      ("codings offered", ["-H", "Accept-Encoding: gzip"])]:
        r = curl(proxy, "-D", "-", *args, url)
        head, body = r.stdout.split(b"\r\n\r\n", 1)
        assert body == plain, why
        assert b"Content-Encoding" not in head, why
        assert f"Content-Length: {len(plain)}".encode() in head, why
        # Without request compression the server is asked for no coding.
        assert "accept-encoding" not in scripted.heads[-1].lower(), why


def test_user_agent_and_referer_carry_over_on_a_kept_alive_connection(origin, proxy_factory):
    # The extended log takes User-Agent and Referer from a head only when it
    # carries them; a request without them keeps the connection's earlier
    # values ("-" before any).
    (origin.root / "ua.txt").write_text("ua\n")
    proxy = proxy_factory()
    url = f"http://origin.test:{origin.port}/ua.txt"
    heads = ["", "User-Agent: agent/1\r\nReferer: http://ref.test/a\r\n", ""]
    with Client(proxy) as client:
        for extra in heads:
            client.send(f"GET {url} HTTP/1.1\r\nHost: origin.test\r\n{extra}\r\n")
            assert client.response().status == 200
    ext = wait_until(lambda: (lambda r: r if len(r) == 3 else None)(extended_log_records(proxy)))
    assert [(r["agent"], r["referer"]) for r in ext] == [
        ("-", "-"), ("agent/1", "http://ref.test/a"), ("agent/1", "http://ref.test/a")]


def test_expect_100_continue_is_answered_before_the_body(scripted, proxy_factory):
    # A client that asks "Expect: 100-continue" holds its body back until
    # it hears "100 Continue"; the proxy answers it when it is about to read
    # the body, buffered or streamed, and only for HTTP/1.1.
    proxy = proxy_factory()
    url = f"http://origin.test:{scripted.port}/echo"
    small, large = b"a=1&b=2", os.urandom(3 << 20)
    for why, body, framing in [("buffered", small, "counted"), ("streamed", large, "counted"),
                               ("chunked", small, "chunked")]:
        length = (f"Content-Length: {len(body)}" if framing == "counted"
                  else "Transfer-Encoding: chunked")
        wire = body if framing == "counted" else b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body)
        with Client(proxy) as client:
            client.send(f"POST {url} HTTP/1.1\r\nHost: origin.test\r\n{length}\r\n"
                        "Expect: 100-continue\r\n\r\n")
            interim = client.response()
            assert interim.status == 100, why
            client.send(wire)
            final = client.response()
            assert final.status == 200, why
            assert final.body.endswith(
                f"body {len(body)} {hashlib.md5(body).hexdigest()}".encode()), why
    # HTTP/1.0 knows no interim answers: the body is simply read.
    data = raw_exchange(proxy, f"POST {url} HTTP/1.0\r\nContent-Length: 7\r\n"
                        "Expect: 100-continue\r\n\r\na=1&b=2".encode())
    assert data.startswith(b"HTTP/1.1 200 "), data[:60]
    assert sanitizer_reports(proxy) == []


def test_requests_counted_per_connection_exclude_a_closing_keep_alive(origin, proxy_factory):
    # "disconnected after making N requests" counts requests, not the wake-up
    # of a kept-alive connection whose client closed instead of asking again:
    # once while the worker still waits for it, once after it was parked.
    (origin.root / "n.txt").write_text("n\n")
    proxy = proxy_factory()
    url = f"http://origin.test:{origin.port}/n.txt"
    for count, pause in [(2, 0.0), (3, 1.5)]:
        with Client(proxy) as client:
            for _ in range(count):
                client.send(f"GET {url} HTTP/1.1\r\nHost: origin.test\r\n\r\n")
                assert client.response().status == 200
            time.sleep(pause)
    expected = [f"127.0.0.1 disconnected after making {n} requests" for n in (2, 3)]
    found = wait_until(lambda: (lambda t: t if all(e in t for e in expected) else None)(
        proxy.native_log.read_text()), timeout=15)
    assert "disconnected after making 4 requests" not in found
