"""The transfer of a response into the cache while clients come and go:
followers of an object keep getting it after the writer's own client has
hung up, a client given the "downloading" page by the buffer wait leaves
the object to be filled for later requests, a follower cut short is
logged with the bytes it was sent, and a response that may not be stored
makes no object at all (a second client fetches it again instead of
following it)."""
import gzip
import hashlib
import random
import socket
import threading
import time
import xml.etree.ElementTree as ET

import pytest

from conftest import (Client, ScriptedServer, access_log_records, set_fields, wait_until,
                      write_config)

MIB = 1024 * 1024


class PacedOrigin(ScriptedServer):
    """Answers every GET with `body` sent in pieces of `piece` bytes,
    `delay` seconds apart.  The path chooses the framing and more:
      /len/...    Content-Length
      /close/...  no length, the body ends with the close
      /cut/...    Content-Length, but the origin closes after half the body
    `extra` is added to the head.  `requests` counts the GETs and `gone`
    the answers the proxy stopped reading before their end."""

    def __init__(self, body, piece, delay, extra=b""):
        super().__init__()
        self.body = body
        self.piece = piece
        self.delay = delay
        self.extra = extra
        self.requests = 0
        self.gone = 0
        self.lock = threading.Lock()

    def handle(self, conn):
        with conn:
            conn.settimeout(60)
            head = self.read_head(conn)
            if head is None:
                return
            with self.lock:
                self.requests += 1
            path = head.split(b" ")[1].decode()
            framing = b"" if "/close/" in path else b"Content-Length: %d\r\n" % len(self.body)
            end = len(self.body) // 2 if "/cut/" in path else len(self.body)
            try:
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                             b"Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n" + self.extra +
                             framing + b"Connection: close\r\n\r\n")
                for at in range(0, end, self.piece):
                    conn.sendall(self.body[at:min(at + self.piece, end)])
                    time.sleep(self.delay)
            except OSError:
                with self.lock:
                    self.gone += 1


@pytest.fixture
def paced(request):
    made = []

    def make(*args, **kwargs):
        server = PacedOrigin(*args, **kwargs)
        made.append(server)
        return server
    yield make
    for server in made:
        server.stop()


def config(tmp_path, general=None, cache=None):
    def edit(root):
        set_fields(root.find("general/rule"), **(general or {}))
        set_fields(root.find("cache"), **(cache or {}))
    return write_config(tmp_path / "kv.xml", edit)


class Reader:
    """A raw client reading one response on a thread: the head, then the
    body until its Content-Length or the close; `received` grows as it
    reads."""

    def __init__(self, proxy, url, headers=""):
        self.sock = socket.create_connection((proxy.host, proxy.port), timeout=60)
        self.sock.sendall(f"GET {url} HTTP/1.1\r\nHost: origin.test\r\n{headers}\r\n".encode())
        self.head = None
        self.body = bytearray()
        self.received = 0
        self.ended = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        data = b""
        try:
            while b"\r\n\r\n" not in data:
                more = self.sock.recv(65536)
                if not more:
                    return
                data += more
            head, rest = data.split(b"\r\n\r\n", 1)
            self.head = head.decode("latin-1")
            self.body += rest
            self.received = len(self.body)
            length = self.field("Content-Length")
            while length is None or self.received < int(length):
                more = self.sock.recv(65536)
                if not more:
                    return
                self.body += more
                self.received = len(self.body)
        except OSError:
            pass
        finally:
            self.ended.set()

    def field(self, name):
        for line in (self.head or "").split("\r\n")[1:]:
            key, _, value = line.partition(":")
            if key.strip().lower() == name.lower():
                return value.strip()
        return None

    def hang_up(self):
        self.sock.close()
        self.thread.join(timeout=10)

    def finish(self, timeout=60):
        assert self.ended.wait(timeout), "the response did not end"
        self.sock.close()
        return bytes(self.body)


def sha(data):
    return hashlib.sha256(data).hexdigest()


# The writer's client leaves a third of the way through a 5 MiB object:
# with a follower the origin is read to the end and the object kept (a
# later request is a hit); alone, the transfer ends and nothing is kept.
@pytest.mark.parametrize("framing, follower", [("len", True), ("close", True), ("len", False)])
def test_follower_gets_the_whole_object_after_the_writer_hangs_up(tmp_path, proxy_factory,
                                                                  paced, framing, follower):
    body = random.Random(5).randbytes(5 * MIB)
    origin = paced(body, 64 * 1024, 0.05)
    proxy = proxy_factory(config=config(tmp_path))
    url = origin.url(f"/{framing}/object")

    writer = Reader(proxy, url)
    assert wait_until(lambda: writer.received >= 256 * 1024, timeout=30)
    if follower:
        second = Reader(proxy, url)
        assert wait_until(lambda: second.received >= 64 * 1024, timeout=30)
        assert "HIT" in (second.field("X-Cache") or "")
    assert writer.received < len(body) // 2, "the origin is too fast for this test"
    writer.hang_up()

    if follower:
        got = second.finish()
        assert sha(got) == sha(body), (len(got), len(body))
        if framing == "len":
            assert second.field("Content-Length") == str(len(body))
        # The object was completed and kept.
        with Client(proxy, timeout=60) as c:
            c.send(f"GET {url} HTTP/1.1\r\nHost: origin.test\r\n\r\n")
            reply = c.response()
        assert reply.status == 200 and sha(reply.body) == sha(body)
        assert origin.requests == 1 and origin.gone == 0
    else:
        # The proxy stops reading the origin; the object is not kept.
        assert wait_until(lambda: origin.gone == 1, timeout=30)
        with Client(proxy, timeout=60) as c:
            c.send(f"GET {url} HTTP/1.1\r\nHost: origin.test\r\n\r\n")
            reply = c.response()
        assert reply.status == 200 and sha(reply.body) == sha(body)
        assert origin.requests == 2
    assert proxy.proc.poll() is None


# The buffer wait of 2 s runs out while a 1 MB gzip object arrives at
# 100 KB/s to be decoded for a client that accepts no coding: that client
# gets the "downloading" page and its connection ends, later clients get
# the same page until the object is complete, and then the whole object
# (decoded) from the cache.
def test_buffer_wait_serves_downloading_and_the_object_is_still_filled(tmp_path,
                                                                        proxy_factory, paced):
    plain = random.Random(9).randbytes(1000 * 1000)
    coded = gzip.compress(plain, compresslevel=0, mtime=0)
    origin = paced(coded, 10 * 1000, 0.1, extra=b"Content-Encoding: gzip\r\n")
    proxy = proxy_factory(config=config(
        tmp_path, general={"request_compression": "true", "buffer_wait": "2",
                           "max_download_buffer": "4M"}))
    url = origin.url("/len/page.gz")

    started = time.monotonic()
    first = Reader(proxy, url)
    page = first.finish(timeout=30)
    waited = time.monotonic() - started
    assert first.head.startswith("HTTP/1.1 200"), first.head
    assert b"Download in progress" in page
    # The deadline is counted in whole seconds of the clock.
    assert 1.0 <= waited < 8, waited

    pages = []

    def complete():
        r = Reader(proxy, url)
        got = r.finish(timeout=30)
        if b"Download in progress" in got:
            pages.append(got)
            return None
        return r, got
    done = wait_until(complete, timeout=60)
    assert done, "the object was never completed"
    reader, got = done
    assert reader.head.startswith("HTTP/1.1 200"), reader.head
    assert reader.field("Content-Encoding") is None
    assert sha(got) == sha(plain), len(got)
    assert "HIT" in (reader.field("X-Cache") or "")
    assert origin.requests == 1 and origin.gone == 0
    assert pages, "no later request met the object while it was filled"


# A follower whose writer's origin dies halfway gets the bytes that had
# arrived and a closed connection; its log record counts what it was sent.
def test_cut_follower_is_logged_with_the_bytes_it_was_sent(tmp_path, proxy_factory, paced):
    body = random.Random(3).randbytes(2 * MIB)
    origin = paced(body, 64 * 1024, 0.05)
    proxy = proxy_factory(config=config(tmp_path))
    url = origin.url("/cut/object")

    writer = Reader(proxy, url)
    assert wait_until(lambda: writer.received >= 64 * 1024, timeout=30)
    follower = Reader(proxy, url)
    got = follower.finish()
    writer.finish()
    assert 0 < len(got) < len(body)
    assert got == body[:len(got)]

    def records():
        hits = [r for r in access_log_records(proxy) if r["code"] == "TCP_HIT"]
        return hits if hits else None
    hits = wait_until(records)
    assert hits and hits[0]["size"] == len(got), (hits, len(got))


# A response the cache may not store makes no object: a second client that
# comes while it is relayed is not made to follow it but fetches it
# itself, and nothing is written to the store.  A storable response is
# followed, as the control case.
@pytest.mark.parametrize("cache_control, stored", [
    ("no-store", False),
    ("public, max-age=60, No-Store", False),
    ("max-age=60", True),
])
def test_unstorable_response_makes_no_object(tmp_path, proxy_factory, paced, cache_control,
                                            stored):
    body = random.Random(4).randbytes(MIB)
    origin = paced(body, 64 * 1024, 0.05,
                   extra=f"Cache-Control: {cache_control}\r\n".encode())
    store = tmp_path / "store"
    store.mkdir()
    proxy = proxy_factory(config=write_config(tmp_path / "kv.xml",
                                              lambda root: add_store(root, store)))
    url = origin.url("/len/object")

    def objects():
        return [p for p in store.rglob("*") if p.is_file() and not p.name.startswith("journal")]

    first = Reader(proxy, url)
    assert wait_until(lambda: first.received >= 128 * 1024, timeout=30)
    during = objects()
    second = Reader(proxy, url)
    assert sha(first.finish()) == sha(body)
    assert sha(second.finish()) == sha(body)
    assert origin.requests == (1 if stored else 2)
    assert (during != []) == stored
    if not stored:
        assert objects() == []


def add_store(root, store):
    item = ET.SubElement(root.find("cache"), "store")
    for key, value in [("enabled", "true"), ("comment", ""), ("profiles", ""),
                       ("path", str(store)), ("max_size", "1G"), ("free_extra", "64M"),
                       ("md5_check", "false")]:
        ET.SubElement(item, key).text = value
