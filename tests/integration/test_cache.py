"""The object cache against a real nginx origin: hits from memory and from
disk after a restart, revalidation, responses that must never be shared,
dates in any time zone, slow readers, and readers that follow an object
still being written."""
import hashlib
import os
import socket
import subprocess
import threading
import time
import xml.etree.ElementTree as ET
from email.utils import formatdate

import pytest

from conftest import (Nginx, Reader, ScriptedServer, access_log_records, binary_is_tsan,
                      set_fields, wait_until, write_config)


def cache_config(path, store=None, refresh=None, store_size=("1G", "64M"), **cache_fields):
    """The shipped configuration with the cache's global fields changed, an
    optional disk store (of store_size: its size and what a cleaning frees)
    and changed fields of the refresh rule."""
    def edit(root):
        cache = root.find("cache")
        set_fields(cache, **cache_fields)
        if refresh:
            set_fields(cache.find("refresh"), **refresh)
        if store is not None:
            item = ET.SubElement(cache, "store")
            for key, value in [("enabled", "true"), ("comment", ""), ("profiles", ""),
                               ("path", str(store)), ("max_size", store_size[0]),
                               ("free_extra", store_size[1]), ("md5_check", "true")]:
                ET.SubElement(item, key).text = value
    return write_config(path, edit)


def fetch(proxy, url, headers=(), interface=None):
    """GET through the proxy with curl: (status, headers by lower-case
    name, body)."""
    args = ["curl", "-s", "-x", proxy.url, "-D", "-", "-o", "-", "--max-time", "60"]
    for h in headers:
        args += ["-H", h]
    if interface:
        args += ["--interface", interface]
    out = subprocess.run(args + [url], capture_output=True, timeout=90).stdout
    head, _, body = out.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    return status, fields, body


def put_file(origin, name, data, age=86400):
    path = origin.root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    os.chmod(path, 0o644)
    t = time.time() - age
    os.utime(path, (t, t))
    return path


def origin_requests(origin, path, at_least=0):
    return [line for line in origin.log_lines(at_least) if f'"GET {path} ' in line]


def codes(proxy, n):
    records = wait_until(lambda: len(access_log_records(proxy)) >= n and access_log_records(proxy))
    return [r["code"] for r in records]


@pytest.fixture
def nginx(tmp_path):
    server = Nginx(tmp_path)
    yield server
    server.stop()


def test_second_request_is_a_memory_hit(tmp_path, nginx, proxy_factory):
    data = os.urandom(20000)
    put_file(nginx, "a.bin", data)
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml"))
    url = f"http://127.0.0.1:{nginx.port}/a.bin"
    first = fetch(proxy, url)
    second = fetch(proxy, url)
    assert first[0] == second[0] == 200
    assert first[2] == second[2] == data
    assert "MISS" in first[1]["x-cache"]
    assert "HIT" in second[1]["x-cache"]
    assert int(second[1]["content-length"]) == len(data)
    assert codes(proxy, 2) == ["TCP_MISS", "TCP_HIT"]
    assert len(origin_requests(nginx, "/a.bin", 1)) == 1


def test_disk_object_survives_restart_through_its_journal(tmp_path, nginx, proxy_factory):
    data = os.urandom(70000)
    put_file(nginx, "d.bin", data)
    store = tmp_path / "store"
    config = cache_config(tmp_path / "kv.xml", store=store)
    url = f"http://127.0.0.1:{nginx.port}/d.bin"
    first = proxy_factory(config=config)
    assert fetch(first, url)[2] == data

    def finished_on_disk():
        # The proxy finishes the object after the client has its last byte,
        # and journals it then: an exit before that leaves it unfinished.
        journal = store / "journal"
        lines = journal.read_text().splitlines() if journal.exists() else []
        return any(line.split("\t")[1:2] == [url] and int(line.split("\t")[0]) & 0x1083 == 0x80
                   for line in lines)

    assert wait_until(finished_on_disk)
    first.stop()
    # The exit rewrote the journal: one line, the finished object on disk.
    lines = (store / "journal").read_text().splitlines()
    assert len(lines) == 1 and lines[0].split("\t")[1] == url
    assert int(lines[0].split("\t")[0]) & 0x1083 == 0x80
    second = proxy_factory(config=config)
    status, fields, body = fetch(second, url)
    assert (status, body) == (200, data)
    assert "HIT" in fields["x-cache"]
    assert codes(second, 2)[-1] == "TCP_HIT"
    assert len(origin_requests(nginx, "/d.bin", 1)) == 1


def test_journal_lines_that_are_garbage_or_name_missing_files_are_skipped(
        tmp_path, nginx, proxy_factory):
    put_file(nginx, "good.bin", b"good" * 1000)
    put_file(nginx, "gone.bin", b"gone" * 1000)
    store = tmp_path / "store"
    config = cache_config(tmp_path / "kv.xml", store=store)
    good = f"http://127.0.0.1:{nginx.port}/good.bin"
    gone = f"http://127.0.0.1:{nginx.port}/gone.bin"
    first = proxy_factory(config=config)
    fetch(first, good)
    fetch(first, gone)
    first.stop()
    journal = store / "journal"
    lines = journal.read_text().splitlines()
    # The file of one object disappears behind the journal's back.
    for sub in store.iterdir():
        if sub.is_dir():
            for f in sub.iterdir():
                if f.read_bytes().endswith(b"gone" * 1000):
                    f.unlink()
    journal.write_text("\n".join(lines + [
        "garbage", "\t\t\t", "896\tx", "896\thttp://x/\tnot-a-number\t1\t1",
        "896\thttp://127.0.0.1:1/none\t500\t1\t1\t0\t0\t0\t0\t0",
        "A" * 9000]) + "\n")
    second = proxy_factory(config=config)
    assert fetch(second, good)[2] == b"good" * 1000
    assert fetch(second, gone)[2] == b"gone" * 1000
    assert fetch(second, "http://127.0.0.1:1/none")[0] >= 400
    # Both instances write to one access log; every answered request,
    # the refused one included, leaves a record.
    records = wait_until(lambda: len(access_log_records(second)) >= 5 and
                         access_log_records(second))
    assert records, access_log_records(second)
    codes_by_url = {r["url"]: r["code"] for r in records[2:]}
    assert (codes_by_url[good], codes_by_url[gone]) == ("TCP_HIT", "TCP_MISS")
    assert second.proc.poll() is None


def test_stale_object_is_revalidated_and_a_changed_one_replaced(tmp_path, nginx,
                                                                 proxy_factory):
    path = put_file(nginx, "r.txt", b"first version\n")
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml",
                                              refresh={"max_age": "1"}))
    url = f"http://127.0.0.1:{nginx.port}/r.txt"
    assert fetch(proxy, url)[2] == b"first version\n"
    time.sleep(2.2)
    status, fields, body = fetch(proxy, url)
    # The client asked plainly: it gets the object, never the 304.
    assert (status, body) == (200, b"first version\n")
    assert "HIT" in fields["x-cache"]
    assert "warning" not in fields
    assert codes(proxy, 2)[-1] == "TCP_REFRESH_HIT"
    seen = origin_requests(nginx, "/r.txt", 2)
    assert '" 304 ' in seen[1]
    # A changed file is fetched again and replaces the object.
    time.sleep(1.1)
    path.write_bytes(b"second version\n")
    time.sleep(1.2)
    status, fields, body = fetch(proxy, url)
    assert (status, body) == (200, b"second version\n")
    assert codes(proxy, 3)[-1] == "TCP_REFRESH_MISS"
    assert fetch(proxy, url)[2] == b"second version\n"


@pytest.mark.parametrize("name, conf, shared", [
    ("cookie", 'add_header Set-Cookie "s=1";', False),
    ("private", 'add_header Cache-Control "private";', False),
    ("nostore", 'add_header Cache-Control "public, no-store";', False),
    ("vary", 'add_header Vary "User-Agent";', False),
    ("varyae", 'add_header Vary "Accept-Encoding";', True),
])
def test_private_responses_are_never_served_to_another_client(tmp_path, proxy_factory,
                                                               name, conf, shared):
    origin = Nginx(tmp_path, f"location /{name} {{ {conf} }}")
    try:
        put_file(origin, f"{name}/f.txt", b"personal\n")
        proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml"))
        url = f"http://127.0.0.1:{origin.port}/{name}/f.txt"
        fetch(proxy, url, interface="127.0.0.2")
        status, fields, body = fetch(proxy, url, interface="127.0.0.3")
        assert (status, body) == (200, b"personal\n")
        expected = 1 if shared else 2
        assert len(origin_requests(origin, f"/{name}/f.txt", expected)) == expected
        assert ("HIT" in fields["x-cache"]) == shared
    finally:
        origin.stop()


@pytest.mark.parametrize("zone", ["Pacific/Kiritimati", "Pacific/Pago_Pago"])
def test_http_dates_are_read_as_utc_in_any_time_zone(tmp_path, proxy_factory, monkeypatch,
                                                      zone):
    expires = formatdate(time.time() + 7200, usegmt=True)
    origin = Nginx(tmp_path, f'location /exp {{ add_header Expires "{expires}"; }}')
    try:
        put_file(origin, "exp/e.txt", b"expires\n", age=0)
        put_file(origin, "lm.txt", b"last modified\n", age=86400)
        monkeypatch.setenv("TZ", zone)
        proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml"))
        for path in ("/exp/e.txt", "/lm.txt"):
            url = f"http://127.0.0.1:{origin.port}{path}"
            fetch(proxy, url)
            status, fields, _ = fetch(proxy, url)
            assert "HIT" in fields["x-cache"], path
            assert 0 <= int(fields["age"]) <= 5
            assert len(origin_requests(origin, path, 1)) == 1
    finally:
        origin.stop()


def test_slow_reader_of_a_large_hit_does_not_slow_other_hits(tmp_path, nginx, proxy_factory):
    big = 100 * 1024 * 1024
    block = os.urandom(1024 * 1024)
    path = nginx.root / "big.bin"
    with open(path, "wb") as f:
        for _ in range(100):
            f.write(block)
    t = time.time() - 86400
    os.utime(path, (t, t))
    put_file(nginx, "small.txt", b"small\n")
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml", memory_size="400M",
                                              maxsize="0"))
    big_url = f"http://127.0.0.1:{nginx.port}/big.bin"
    small_url = f"http://127.0.0.1:{nginx.port}/small.txt"
    assert len(fetch(proxy, big_url)[2]) == big
    fetch(proxy, small_url)

    slow = socket.create_connection((proxy.host, proxy.port))
    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    slow.sendall(f"GET {big_url} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
    got = 0
    stop = threading.Event()

    def read_slowly():
        nonlocal got
        while not stop.is_set():
            data = slow.recv(10240)
            if not data:
                return
            got += len(data)
            time.sleep(0.1)

    reader = threading.Thread(target=read_slowly)
    reader.start()
    try:
        time.sleep(1.0)
        worst = 0.0
        for _ in range(20):
            start = time.monotonic()
            assert fetch(proxy, small_url)[2] == b"small\n"
            worst = max(worst, time.monotonic() - start)
        assert worst < 2.0
        # Another client reads the same large hit at full speed meanwhile.
        start = time.monotonic()
        assert hashlib.sha256(fetch(proxy, big_url)[2]).digest() == \
            hashlib.sha256(block * 100).digest()
        # A thread sanitizer makes every copy several times dearer.
        assert time.monotonic() - start < (120 if binary_is_tsan() else 30)
        assert got < big // 4
    finally:
        stop.set()
        slow.close()
        reader.join(timeout=10)
    assert len(origin_requests(nginx, "/big.bin", 1)) == 1


class SlowOrigin(ScriptedServer):
    """Sends a body of 20 pieces, 0.1 s apart: with a Content-Length under
    /len/, without one (to the close) under /close/, and under /cut/ with
    a Content-Length but only half the pieces before it closes."""

    PIECE = bytes(range(256)) * 40

    def __init__(self):
        super().__init__()
        self.requests = 0
        self.pieces_sent = 0

    def handle(self, conn):
        with conn:
            conn.settimeout(30)
            head = self.read_head(conn)
            if head is None:
                return
            self.requests += 1
            path = head.split(b" ")[1].decode()
            total = 20 * len(self.PIECE)
            length = b"" if "/close/" in path else b"Content-Length: %d\r\n" % total
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         b"Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n" + length +
                         b"Connection: close\r\n\r\n")
            for i in range(20):
                if "/cut/" in path and i == 10:
                    return
                conn.sendall(self.PIECE)
                self.pieces_sent += 1
                time.sleep(0.1)


@pytest.mark.parametrize("kind", ["len", "close"])
def test_second_client_follows_an_object_being_written(tmp_path, proxy_factory, kind):
    origin = SlowOrigin()
    try:
        proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml"))
        url = origin.url(f"/{kind}/x")
        results = {}

        def get(name):
            results[name] = fetch(proxy, url)

        first = threading.Thread(target=get, args=("first",))
        first.start()
        # The second client comes while the first one's object is being written.
        assert wait_until(lambda: origin.pieces_sent >= 3)
        get("second")
        first.join()
        whole = SlowOrigin.PIECE * 20
        assert results["first"][2] == whole
        status, fields, body = results["second"]
        assert (status, body) == (200, whole)
        assert "chunked" not in fields.get("transfer-encoding", "")
        if kind == "len":
            assert fields["content-length"] == str(len(whole))
        else:
            assert "content-length" not in fields
        assert "HIT" in fields["x-cache"]
        assert origin.requests == 1
    finally:
        origin.stop()


def test_cut_response_is_never_stored_and_its_follower_sees_the_cut(tmp_path,
                                                                      proxy_factory):
    origin = SlowOrigin()
    try:
        proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml"))
        url = origin.url("/cut/x")
        results = {}

        def get(name):
            results[name] = fetch(proxy, url)

        first = threading.Thread(target=get, args=("first",))
        first.start()
        # The second client comes before the origin cuts the body.
        assert wait_until(lambda: origin.pieces_sent >= 2)
        get("second")
        first.join()
        whole = len(SlowOrigin.PIECE) * 20
        assert len(results["first"][2]) < whole
        assert len(results["second"][2]) < whole
        fetch(proxy, url)
        assert origin.requests == 2
        assert proxy.proc.poll() is None
    finally:
        origin.stop()


def test_full_store_fails_the_object_cleanly_never_the_process(tmp_path, nginx, proxy_factory):
    store = tmp_path / "small"
    store.mkdir()
    blobs = {f"/f{i}.bin": os.urandom(700 * 1024) for i in range(5)}
    for name, data in blobs.items():
        put_file(nginx, name[1:], data)
    # A 2 MiB file system under a store that believes it has a gigabyte.
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml", store=store),
                          prelude=f"mount -t tmpfs -o size=2m kvstore '{store}'")
    for name, data in blobs.items():
        status, _, body = fetch(proxy, f"http://127.0.0.1:{nginx.port}{name}")
        assert (status, body) == (200, data), name
    for name, data in blobs.items():
        status, _, body = fetch(proxy, f"http://127.0.0.1:{nginx.port}{name}")
        assert (status, body) == (200, data), name
    assert proxy.proc.poll() is None
    records = codes(proxy, 10)
    # What fitted is served from the store; what did not is fetched again.
    assert records[5] == "TCP_HIT"
    assert "TCP_MISS" in records[5:]
    assert "disk is full" in proxy.native_log.read_text() or \
        "ftruncate" in proxy.native_log.read_text()


def test_kill_under_load_leaves_no_cut_or_mixed_object(tmp_path, nginx, proxy_factory):
    store = tmp_path / "store"
    config = cache_config(tmp_path / "kv.xml", store=store)
    blobs = {}
    for i in range(30):
        data = bytes([i]) * (1000 + i * 7000)
        blobs[f"/k{i}.bin"] = data
        put_file(nginx, f"k{i}.bin", data)
    proxy = proxy_factory(config=config)
    stop = threading.Event()

    def load():
        n = 0
        while not stop.is_set():
            name = f"/k{n % 30}.bin"
            try:
                fetch(proxy, f"http://127.0.0.1:{nginx.port}{name}")
            except Exception:
                pass
            n += 7
    workers = [threading.Thread(target=load) for _ in range(6)]
    for w in workers:
        w.start()
    time.sleep(3)
    proxy.proc.kill()
    stop.set()
    for w in workers:
        w.join(timeout=60)
    proxy.stop()
    second = proxy_factory(config=config)
    hits = 0
    for name, data in blobs.items():
        status, fields, body = fetch(second, f"http://127.0.0.1:{nginx.port}{name}")
        assert status == 200 and body == data, (name, fields.get("x-cache"))
        hits += "HIT" in fields["x-cache"]
    # The journal brought objects back, and every one of them whole.
    assert hits > 0
    assert second.proc.poll() is None


def test_cleaning_keeps_the_store_within_its_size_oldest_first(tmp_path, nginx, proxy_factory):
    store = tmp_path / "store"
    mib = 1024 * 1024
    for i in range(40):
        put_file(nginx, f"s{i}.bin", bytes([i]) * mib)
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml", store=store,
                                              store_size=("20M", "12M"), clean_interval="1",
                                              memory_size="200M"))
    for i in range(40):
        assert len(fetch(proxy, f"http://127.0.0.1:{nginx.port}/s{i}.bin")[2]) == mib
        time.sleep(0.1)

    def stored():
        return sum(f.stat().st_size for d in store.iterdir() if d.is_dir() for f in d.iterdir())
    # The deletion thread removes the files of dropped objects soon after.
    assert wait_until(lambda: stored() <= 21 * mib, timeout=20), stored() // mib
    assert "HIT" in fetch(proxy, f"http://127.0.0.1:{nginx.port}/s39.bin")[1]["x-cache"]
    assert "MISS" in fetch(proxy, f"http://127.0.0.1:{nginx.port}/s0.bin")[1]["x-cache"]


def test_offline_command_answers_from_the_cache_only(tmp_path, proxy_factory):
    # A private response is kept, but as a violation: it goes to others
    # only offline.  (A no-store one is never kept at all.)
    origin = Nginx(tmp_path, 'location /ns { add_header Cache-Control "private"; }')
    try:
        put_file(origin, "ns/n.txt", b"not stored for others\n")

        def edit_commands(root):
            rule = root.find("access").find("allow")
            set_fields(rule, access=rule.find("access").text + ",url_commands")
        config = cache_config(tmp_path / "kv.xml")
        tree = ET.parse(config)
        edit_commands(tree.getroot())
        tree.write(config, encoding="UTF-8", xml_declaration=True)
        proxy = proxy_factory(config=config)
        port = origin.port
        # Nothing stored: offline has no answer.
        assert fetch(proxy, f"http://xx--offline.127.0.0.1:{port}/ns/n.txt")[0] == 404
        assert fetch(proxy, f"http://127.0.0.1:{port}/ns/n.txt")[0] == 200
        # A private object goes to others only offline.
        assert "MISS" in fetch(proxy, f"http://127.0.0.1:{port}/ns/n.txt")[1]["x-cache"]
        status, fields, body = fetch(proxy, f"http://xx--offline.127.0.0.1:{port}/ns/n.txt")
        assert (status, body) == (200, b"not stored for others\n")
        assert "HIT" in fields["x-cache"]
        assert len(origin_requests(origin, "/ns/n.txt", 2)) == 2
    finally:
        origin.stop()


def test_stale_object_is_served_with_a_warning_when_the_origin_is_gone(tmp_path, proxy_factory):
    origin = Nginx(tmp_path)
    try:
        put_file(origin, "w.txt", b"still here\n")
        proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml",
                                                  refresh={"max_age": "1"}))
        url = f"http://127.0.0.1:{origin.port}/w.txt"
        assert "warning" not in fetch(proxy, url)[1]
    finally:
        origin.stop()
    time.sleep(2.2)
    status, fields, body = fetch(proxy, url)
    assert (status, body) == (200, b"still here\n")
    assert fields["warning"] == "110 stale cache"
    assert "HIT" in fields["x-cache"]


class DisagreeingOrigin(ScriptedServer):
    """Answers a conditional request with a 304 whose Last-Modified differs
    from the stored one, any other with a 200 that expires at once."""

    def __init__(self):
        super().__init__()
        self.conditional = 0
        self.plain = 0

    def handle(self, conn):
        with conn:
            conn.settimeout(30)
            requests = Reader(conn)
            while True:
                try:
                    head = requests.next_head()
                except EOFError:
                    head = None
                if head is None:
                    return
                if b"if-modified-since:" in head.lower():
                    self.conditional += 1
                    conn.sendall(b"HTTP/1.1 304 Not Modified\r\n"
                                 b"Last-Modified: Tue, 02 Jan 2024 00:00:00 GMT\r\n\r\n")
                else:
                    self.plain += 1
                    body = b"version %d\n" % self.plain
                    conn.sendall(b"HTTP/1.1 200 OK\r\nCache-Control: max-age=0\r\n"
                                 b"Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n"
                                 b"Content-Length: %d\r\n\r\n" % len(body) + body)


@pytest.mark.parametrize("conditional", [False, True])
def test_a_304_reaches_only_a_client_that_asked_conditionally(tmp_path, proxy_factory,
                                                              conditional):
    origin = DisagreeingOrigin()
    try:
        proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml"))
        url = origin.url("/d")
        assert fetch(proxy, url)[2] == b"version 1\n"
        extra = ["If-Modified-Since: Mon, 01 Jan 2024 00:00:00 GMT"] if conditional else []
        status, fields, body = fetch(proxy, url, headers=extra)
        assert origin.conditional >= 1
        if conditional:
            assert status == 304
        else:
            assert (status, body) == (200, b"version 2\n")
            assert origin.plain == 2
    finally:
        origin.stop()
