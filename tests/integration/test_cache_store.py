"""The object cache's storage against real peers: configuration loads that
switch a store away and back, store files altered behind the journal,
memory and stores under new objects at full speed, bodies cut by a reset,
no-store responses and the descriptors of stored objects."""
import hashlib
import re
import socket
import struct
import threading
import time
import xml.etree.ElementTree as ET

import pytest

from conftest import (Nginx, ScriptedServer, access_log_records, binary_is_tsan,
                      sanitizer_reports, wait_until)
from test_abuse import fd_count, rss_kib
from test_cache import cache_config, fetch, origin_requests, put_file
from test_interface import page, post

MIB = 1024 * 1024


def sha(data):
    return hashlib.sha256(data).hexdigest()


def with_md5(config, md5):
    """The configuration file with its stores' digest check set."""
    tree = ET.parse(config)
    for store in tree.getroot().find("cache").findall("store"):
        store.find("md5_check").text = "true" if md5 else "false"
    tree.write(config, encoding="UTF-8", xml_declaration=True)
    return config


def load(proxy, config):
    assert b"File loaded" in post(proxy, "/load", {"filename": str(config),
                                                   "overwrite": "yes"}).body


def object_files(store):
    return [f for d in store.iterdir() if d.is_dir() for f in d.iterdir()]


def stored_bytes(store):
    total = 0
    for f in object_files(store):
        try:
            total += f.stat().st_blocks * 512
        except FileNotFoundError:
            pass
    return total


def memory_cache_bytes(proxy):
    body = page(proxy, "/cache").body
    m = re.search(rb"<td>Memory cache</td><td>\d+ entries / (\d+) bytes", body)
    return int(m.group(1))


@pytest.fixture
def nginx(tmp_path):
    server = Nginx(tmp_path)
    yield server
    server.stop()


# ------------------------------------------------- configuration loads

@pytest.mark.parametrize("first, second", [(50000, 1000), (1000, 100014)])
def test_store_switched_away_and_back_serves_the_newest_object_whole(
        tmp_path, nginx, proxy_factory, first, second):
    s6 = cache_config(tmp_path / "s6.xml", store=tmp_path / "s6")
    s7 = cache_config(tmp_path / "s7.xml", store=tmp_path / "s7")
    old, new = b"o" * first, b"n" * second
    put_file(nginx, "obj.bin", old, age=7200)
    url = f"http://127.0.0.1:{nginx.port}/obj.bin"
    proxy = proxy_factory(config=s6)
    assert fetch(proxy, url)[2] == old
    load(proxy, s7)
    put_file(nginx, "obj.bin", new, age=3600)
    assert fetch(proxy, url, headers=["Cache-Control: no-cache"])[2] == new
    load(proxy, s6)
    status, fields, body = fetch(proxy, url)
    assert (status, sha(body)) == (200, sha(new))
    assert fields.get("content-length", str(second)) == str(second)
    # A later load, after the memory copy may have gone, still has nothing
    # stale to give.
    load(proxy, s6)
    status, _, body = fetch(proxy, url)
    assert (status, sha(body)) == (200, sha(new))
    assert proxy.proc.poll() is None
    assert sanitizer_reports(proxy) == []


def test_store_path_changed_and_back_under_load(tmp_path, nginx, proxy_factory):
    s6 = cache_config(tmp_path / "s6.xml", store=tmp_path / "s6")
    s7 = cache_config(tmp_path / "s7.xml", store=tmp_path / "s7")
    names = [f"/l{i}.bin" for i in range(12)]

    def version(i, v):
        return bytes([i, v]) * (1500 + i * 11500 + v * 3000)

    versions = {name: [version(i, 0)] for i, name in enumerate(names)}
    for name, [data] in versions.items():
        put_file(nginx, name[1:], data, age=86400)
    proxy = proxy_factory(config=s6)
    stop = threading.Event()
    bad = []
    served = [0]

    def client(seed):
        n = seed
        while not stop.is_set():
            name = names[n % 12]
            # Every other request asks the origin again, so objects are
            # replaced while the stores switch.
            headers = ["Cache-Control: no-cache"] if n % 2 == 0 else []
            n += 5
            try:
                status, _, body = fetch(proxy, f"http://127.0.0.1:{nginx.port}{name}", headers)
            except Exception as e:  # a dead proxy shows below
                bad.append((name, repr(e)))
                continue
            # Every version is listed before the origin's file changes.
            whole = {sha(v) for v in versions[name]}
            if status != 200 or sha(body) not in whole:
                bad.append((name, status, len(body)))
            served[0] += 1

    clients = [threading.Thread(target=client, args=(i,)) for i in range(4)]
    for c in clients:
        c.start()
    try:
        for step, config in enumerate([s7, s6, s7, s6, s7, s6]):
            time.sleep(0.7)
            for i in (step % 12, (step + 5) % 12):
                data = version(i, step + 1)
                versions[names[i]].append(data)
                put_file(nginx, names[i][1:], data, age=86400 - 60 * (step + 1))
            load(proxy, config)
    finally:
        stop.set()
        for c in clients:
            c.join(timeout=120)
    assert bad == []
    assert served[0] > 20
    # Once asked again, every object is the origin's latest, and stays so.
    for name in names:
        latest = sha(versions[name][-1])
        assert sha(fetch(proxy, f"http://127.0.0.1:{nginx.port}{name}",
                         ["Cache-Control: no-cache"])[2]) == latest
        assert sha(fetch(proxy, f"http://127.0.0.1:{nginx.port}{name}")[2]) == latest
    assert proxy.proc.poll() is None
    assert sanitizer_reports(proxy) == []


# ------------------------------------------------- altered store files

@pytest.mark.parametrize("md5", [False, True])
@pytest.mark.parametrize("change", ["cut", "grown", "replaced"])
def test_altered_store_file_is_never_served_as_whole(tmp_path, nginx, proxy_factory,
                                                     change, md5):
    store = tmp_path / "store"
    config = with_md5(cache_config(tmp_path / "kv.xml", store=store), md5)
    data, other = bytes(range(256)) * 800, b"x" * 150000
    put_file(nginx, "a.bin", data)
    put_file(nginx, "b.bin", other)
    url = f"http://127.0.0.1:{nginx.port}/a.bin"
    first = proxy_factory(config=config)
    assert fetch(first, url)[2] == data
    assert fetch(first, f"http://127.0.0.1:{nginx.port}/b.bin")[2] == other
    first.stop()
    [target] = list(store.glob(f"*/{hashlib.md5(url.encode()).hexdigest()}"))
    [donor] = [f for f in object_files(store) if f != target]
    if change == "cut":
        with open(target, "r+b") as f:
            f.truncate(100000)
    elif change == "grown":
        with open(target, "ab") as f:
            f.write(b"tail")
    else:
        target.write_bytes(donor.read_bytes())
    second = proxy_factory(config=config)
    status, fields, body = fetch(second, url)
    assert (status, sha(body)) == (200, sha(data))
    assert "MISS" in fields["x-cache"]
    assert len(origin_requests(nginx, "/a.bin", 2)) == 2
    assert second.proc.poll() is None


# ------------------------------------------------- bounded under load

def fill_at_full_speed(proxy, url, seconds, sample):
    """New 1 MiB objects (one URL each) from 4 clients for `seconds`,
    calling sample() every second; returns the objects fetched."""
    stop = threading.Event()
    count = [0]

    def client(k):
        n = 0
        while not stop.is_set():
            status, _, body = fetch(proxy, f"{url}?c={k}&n={n}")
            assert status == 200 and len(body) == MIB
            count[0] += 1
            n += 1

    clients = [threading.Thread(target=client, args=(k,), daemon=True) for k in range(4)]
    for c in clients:
        c.start()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(1)
        sample()
    stop.set()
    for c in clients:
        c.join(timeout=120)
    return count[0]


def test_memory_cache_stays_within_its_size_under_new_objects(tmp_path, nginx, proxy_factory,
                                                             monkeypatch):
    # A small quarantine keeps the sanitizer's own memory out of the count.
    monkeypatch.setenv("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=0:quarantine_size_mb=4")
    put_file(nginx, "m.bin", b"m" * MIB)
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml", memory_size="16M",
                                              memory_free_extra="4M", maxsize="0"))
    url = f"http://127.0.0.1:{nginx.port}/m.bin"
    for i in range(4):
        fetch(proxy, f"{url}?warm={i}")
    base = rss_kib(proxy.proc.pid) * 1024
    cached, rss = [], []

    def sample():
        cached.append(memory_cache_bytes(proxy))
        rss.append(rss_kib(proxy.proc.pid) * 1024 - base)

    fetched = fill_at_full_speed(proxy, url, 8, sample)
    assert fetched > 40
    # The memory cache: its size plus one block per writer (4 clients).
    assert max(cached) <= 16 * MIB + 4 * MIB, [c // MIB for c in cached]
    # The process: that, and room for the transfers and the allocator.
    assert max(rss) <= 16 * MIB + 64 * MIB, [r // MIB for r in rss]
    assert proxy.proc.poll() is None


def test_store_stays_within_its_size_on_disk_under_new_objects(tmp_path, nginx, proxy_factory):
    store = tmp_path / "store"
    put_file(nginx, "d.bin", b"d" * MIB)
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml", store=store,
                                              store_size=("24M", "8M"), memory_size="64M",
                                              maxsize="0"))
    url = f"http://127.0.0.1:{nginx.port}/d.bin"
    on_disk = []
    fetched = fill_at_full_speed(proxy, url, 8, lambda: on_disk.append(stored_bytes(store)))
    assert fetched > 40
    # The store's size, plus the objects its 4 writers are filling (each
    # reserved a step ahead) that were counted after the sample's walk.
    assert max(on_disk) <= 24 * MIB + 6 * MIB, [b // MIB for b in on_disk]
    assert proxy.proc.poll() is None


def test_small_store_keeps_taking_new_objects(tmp_path, nginx, proxy_factory):
    store = tmp_path / "store"
    put_file(nginx, "s.bin", b"s" * 200000)
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml", store=store,
                                              store_size=("3M", "0")))
    url = f"http://127.0.0.1:{nginx.port}/s.bin"
    for n in range(40):
        assert fetch(proxy, f"{url}?n={n}")[2] == b"s" * 200000
        # Each new object is kept once its store has made room for it.
        status, fields, _ = fetch(proxy, f"{url}?n={n}")
        assert "HIT" in fields["x-cache"], n
    assert wait_until(lambda: stored_bytes(store) <= 3 * MIB + 256 * 1024), stored_bytes(store)


# ------------------------------------------------- what is never kept

class ResettingOrigin(ScriptedServer):
    """Answers without a Content-Length or chunking, sends half of 131,072
    bytes and resets the connection (or, under /orderly/, closes it after
    the whole body)."""

    TOTAL = 131072

    def __init__(self):
        super().__init__()
        self.requests = 0

    def handle(self, conn):
        conn.settimeout(30)
        head = self.read_head(conn)
        if head is None:
            conn.close()
            return
        self.requests += 1
        orderly = b"/orderly" in head.split(b"\r\n")[0]
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                     b"Cache-Control: max-age=3600\r\nConnection: close\r\n\r\n")
        if orderly:
            conn.sendall(b"r" * self.TOTAL)
            conn.close()
            return
        conn.sendall(b"r" * (self.TOTAL // 2))
        time.sleep(0.3)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()


@pytest.mark.parametrize("with_store", [False, True])
def test_body_cut_by_a_reset_is_never_kept(tmp_path, proxy_factory, with_store):
    origin = ResettingOrigin()
    store = tmp_path / "store"
    try:
        proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml",
                                                  store=store if with_store else None))
        url = origin.url("/reset")
        for attempt in range(2):
            status, fields, body = fetch(proxy, url)
            assert len(body) < ResettingOrigin.TOTAL
            assert "HIT" not in fields.get("x-cache", "")
        assert origin.requests == 2
        records = wait_until(lambda: len(access_log_records(proxy)) >= 2 and
                             access_log_records(proxy))
        # The log says what the client got, not the whole body.
        assert all(r["size"] < ResettingOrigin.TOTAL for r in records), records
        assert "failed before the close that ends its body" in proxy.native_log.read_text()
        if with_store:
            assert wait_until(lambda: object_files(store) == []), object_files(store)
        # An orderly close does end such a body: it is kept.
        fetch(proxy, origin.url("/orderly"))
        status, fields, body = fetch(proxy, origin.url("/orderly"))
        assert (status, len(body)) == (200, ResettingOrigin.TOTAL)
        assert "HIT" in fields["x-cache"]
        assert proxy.proc.poll() is None
    finally:
        origin.stop()


def test_no_store_response_is_never_written(tmp_path, proxy_factory):
    origin = Nginx(tmp_path, 'location /ns { add_header Cache-Control "no-store"; }')
    store = tmp_path / "store"
    try:
        put_file(origin, "ns/n.bin", b"n" * 100000)
        proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml", store=store))
        url = f"http://127.0.0.1:{origin.port}/ns/n.bin"
        for _ in range(2):
            status, fields, body = fetch(proxy, url)
            assert (status, len(body)) == (200, 100000)
            assert "MISS" in fields["x-cache"]
        assert len(origin_requests(origin, "/ns/n.bin", 2)) == 2
        assert object_files(store) == []
        assert b"n.bin" not in page(proxy, "/cache").body
    finally:
        origin.stop()


# ------------------------------------------------- descriptors

def test_stored_objects_hold_no_descriptor(tmp_path, nginx, proxy_factory):
    store = tmp_path / "store"
    put_file(nginx, "f.bin", b"f" * 2000)
    # Both limits at 256: the start-up cannot raise the soft one.
    proxy = proxy_factory(config=cache_config(tmp_path / "kv.xml", store=store),
                          prelude="ulimit -n 256")
    url = f"http://127.0.0.1:{nginx.port}/f.bin"
    for n in range(400):
        status, _, body = fetch(proxy, f"{url}?n={n}")
        assert (status, body) == (200, b"f" * 2000), n
    assert len(object_files(store)) >= 300
    assert fd_count(proxy.proc.pid) < 100
    status, fields, _ = fetch(proxy, f"{url}?n=399")
    assert "HIT" in fields["x-cache"]


def test_start_up_raises_the_soft_descriptor_limit(tmp_path, proxy_factory):
    proxy = proxy_factory(prelude="ulimit -S -n 200")
    limits = open(f"/proc/{proxy.proc.pid}/limits").read()
    soft, hard = re.search(r"Max open files\s+(\S+)\s+(\S+)", limits).groups()
    assert soft == hard and soft != "200"
