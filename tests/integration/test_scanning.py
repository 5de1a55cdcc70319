"""Scanning services on the response and request roads: clamd (Debian's
clamav-daemon, with a one-signature EICAR database written here), c-icap
with its echo and virus_scan services, scripted ICAP servers that show
what the proxy sends and reuses, and dnsmasq as the DNS blacklist's
server.  Every service runs with its own configuration in the test's
temporary directory on loopback; none of the machine's own instances is
used."""
import gzip
import hashlib
import os
import random
import re
import shutil
import socket
import threading
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import brotli
import pytest
import zstandard

from conftest import (Nginx, ScriptedServer, access_log_records, add_item, exchange,
                      extended_log_records, set_fields, stop_process, wait_until,
                      write_config)
from scanners import CICAP, CLAMD, EICAR, CIcap, Clamd, Dnsmasq, dnsmasq_address
from test_cache import codes, origin_requests
from test_filters import Origin, configure, reply_of, rule

CLEAN = random.Random(13).randbytes(1024 * 1024)


needs_clamd = pytest.mark.skipif(not os.access(CLAMD, os.X_OK), reason="clamd is not installed")
needs_cicap = pytest.mark.skipif(not os.access(CICAP, os.X_OK), reason="c-icap is not installed")


@pytest.fixture
def clamd(tmp_path):
    server = Clamd(tmp_path)
    yield server
    server.stop()


@pytest.fixture
def served(origin):
    """The origin's files: the EICAR string, a clean MiB, a small page."""
    (origin.root / "eicar.txt").write_bytes(EICAR)
    (origin.root / "clean.bin").write_bytes(CLEAN)
    (origin.root / "page.html").write_bytes(b"<html>just a page</html>\n")
    return origin


def url(origin, path):
    return f"http://origin.test:{origin.port}{path}"


def send(proxy, request):
    return exchange(proxy, request)[0]


def get(proxy, target, headers=""):
    return send(proxy, f"GET {target} HTTP/1.1\r\nHost: origin.test\r\n{headers}"
                       "Connection: close\r\n\r\n".encode())


def rule_model(root, section, subsection):
    """The schema's rule of a section, as an element with the default
    values, ready for add_item."""
    import xml.etree.ElementTree as ET
    schema = ET.parse(Path(__file__).resolve().parents[2] / "etc" / "section.xml").getroot()
    template = schema.find(section).find("template")[0]
    rule = ET.Element("rule")
    for field in template:
        ET.SubElement(rule, field.tag).text = field.findtext("value") or ""
    return rule


def io_timeout(root, seconds):
    set_fields(root.find("general").find("rule"), io_timeout=str(seconds),
               connect_timeout=str(seconds))


def native_log(proxy):
    return proxy.native_log.read_text(errors="replace") if proxy.native_log.exists() else ""


# ------------------------------------------------------------------ ClamAV

def clamav_config(tmp_path, address, port=0, edit=None):
    def change(root):
        clam = root.find("clamav")
        set_fields(clam, enabled="true", address=address, port=str(port))
        add_item(clam, "rules", rule_model(root, "clamav", "rules"), enabled="true",
                 comment="every response")
        io_timeout(root, 2)
        if edit:
            edit(root)
    return write_config(tmp_path / "clamav.xml", change)


@needs_clamd
@pytest.mark.parametrize("way", ["local socket", "tcp"])
def test_clamav_refuses_eicar_and_passes_clean_bodies_whole(tmp_path, served, clamd,
                                                            proxy_factory, way):
    address = str(clamd.socket) if way == "local socket" else "127.0.0.1"
    proxy = proxy_factory(config=clamav_config(tmp_path, address, clamd.port))
    refusal = r = get(proxy, url(served, "/eicar.txt"))
    assert 400 <= r.status < 500, r
    assert b"ClamAV" in r.body and b"Eicar-Test-Signature" in r.body
    assert EICAR not in r.body
    r = get(proxy, url(served, "/clean.bin"))
    assert r.status == 200
    assert hashlib.sha256(r.body).digest() == hashlib.sha256(CLEAN).digest()
    assert int(r.header("Content-Length")) == len(CLEAN)
    records = wait_until(lambda: len(extended_log_records(proxy)) >= 2 and
                         extended_log_records(proxy))
    blocked = [x for x in records if x["url"].endswith("/eicar.txt")][0]
    assert blocked["filter"].startswith("ClamAV")
    # Both records give the page the client received, not the origin's answer.
    assert (blocked["status"], blocked["size"]) == (refusal.status, len(refusal.body))
    access = [x for x in access_log_records(proxy) if x["url"].endswith("/eicar.txt")][0]
    assert (access["status"], access["size"]) == (refusal.status, len(refusal.body))
    assert "clamav" in (clamd.dir / "clamd.log").read_text().lower()


# What the log says of a response that passed because the scan failed.
UNSCANNED = "antivirus: ClamAV: response passed unscanned"


@needs_clamd
def test_clamav_down_stalled_or_refusing_lets_the_response_pass_unscanned(
        tmp_path, served, proxy_factory):
    # A clamd that refuses every stream over 1 KiB.
    small = Clamd(tmp_path, stream_max="1K")
    try:
        proxy = proxy_factory(config=clamav_config(tmp_path, str(small.socket)))
        r = get(proxy, url(served, "/clean.bin"))
        assert r.status == 200 and r.body == CLEAN
        assert wait_until(lambda: UNSCANNED in native_log(proxy))
        proxy.stop()
    finally:
        small.stop()

    # Stopped: nothing listens on the socket any more.
    (tmp_path / "proxy").rename(tmp_path / "proxy-refusing")
    proxy = proxy_factory(config=clamav_config(tmp_path, str(small.socket)))
    r = get(proxy, url(served, "/eicar.txt"))
    assert r.status == 200 and r.body == EICAR
    log = native_log(proxy)
    assert "Please Verify that ClamAV is listening on" in log
    assert "failed to check file for viruses" in log
    assert UNSCANNED in log
    proxy.stop()

    # Stalled: a daemon that accepts and never answers ends within the
    # I/O time-out, and the response passes.
    class Stalled(ScriptedServer):
        def handle(self, conn):
            self.stopped.wait(30)
            conn.close()
    stalled = Stalled()
    try:
        (tmp_path / "proxy").rename(tmp_path / "proxy-stopped")
        proxy = proxy_factory(config=clamav_config(tmp_path, "127.0.0.1", stalled.port))
        start = time.monotonic()
        r = get(proxy, url(served, "/eicar.txt"))
        assert r.status == 200 and r.body == EICAR
        assert time.monotonic() - start < 10
        # Nothing was read before the time-out: the scan failed, and the
        # response is logged as passed unscanned.
        assert wait_until(lambda: UNSCANNED in native_log(proxy)), native_log(proxy)
        assert "ClamAV: Please Verify the Socket Read Permissions" in native_log(proxy)
    finally:
        stalled.stop()


# -------------------------------------------------------------------- ICAP

def icap_config(tmp_path, port, service, methods, edit=None):
    def change(root):
        icap = root.find("icap")
        set_fields(icap, enabled="true")
        add_item(icap, "services", rule_model(root, "icap", "services"), enabled="true",
                 comment="the test's service", host="127.0.0.1", port=str(port),
                 service=service, methods=methods)
        io_timeout(root, 3)
        if edit:
            edit(root)
    return write_config(tmp_path / "icap.xml", change)


@needs_cicap
def test_icap_echo_leaves_requests_and_responses_intact(tmp_path, served, proxy_factory):
    cicap = CIcap(tmp_path)
    try:
        proxy = proxy_factory(config=icap_config(tmp_path, cicap.port, "/echo",
                                                 "reqmod,respmod"))
        r = get(proxy, url(served, "/clean.bin"))
        assert r.status == 200
        assert int(r.header("Content-Length")) == len(CLEAN)
        assert hashlib.sha256(r.body).digest() == hashlib.sha256(CLEAN).digest()
        # A request body goes through REQMOD and reaches the origin whole,
        # with the length it has.
        seen = {}

        class BodyOrigin(ScriptedServer):
            def handle(self, conn):
                data = self.read_head(conn) or b""
                head, _, body = data.partition(b"\r\n\r\n")
                length = int(re.search(rb"(?i)content-length: *(\d+)", head).group(1))
                while len(body) < length:
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    body += chunk
                seen["length"], seen["body"] = length, body
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n"
                             b"Connection: close\r\n\r\nok")
                conn.close()
        poster = BodyOrigin()
        try:
            body = b"field=" + b"v" * 5000
            r = send(proxy, (f"POST http://origin.test:{poster.port}/form HTTP/1.1\r\n"
                             f"Host: origin.test\r\nContent-Length: {len(body)}\r\n"
                             "Content-Type: application/x-www-form-urlencoded\r\n"
                             "Connection: close\r\n\r\n").encode() + body)
            assert r.status == 200 and r.body == b"ok", r
            assert seen["length"] == len(body) and seen["body"] == body
        finally:
            poster.stop()
        access = (cicap.dir / "access.log").read_text()
        assert "REQMOD" in access and "RESPMOD" in access
    finally:
        cicap.stop()


@needs_clamd
@needs_cicap
def test_icap_virus_scan_service_blocks_eicar(tmp_path, served, clamd, proxy_factory):
    cicap = CIcap(tmp_path, clamd_socket=clamd.socket)
    try:
        # A loaded machine may make clamd slow: a generous time-out, so
        # that the test shows the block and not the fail-open road.
        proxy = proxy_factory(config=icap_config(tmp_path, cicap.port, "/avscan", "respmod",
                                                 lambda root: io_timeout(root, 30)))
        r = get(proxy, url(served, "/eicar.txt"))
        assert EICAR not in r.body, r
        assert r.status != 200 or b"virus" in r.body.lower()
        assert int(r.header("Content-Length")) == len(r.body)
        r = get(proxy, url(served, "/page.html"))
        assert r.status == 200 and r.body == b"<html>just a page</html>\n"
    finally:
        cicap.stop()


class ScriptedIcap(ScriptedServer):
    """An ICAP server that records each request (head, encapsulated heads
    and body) with the connection it came on, and answers with reply(req)."""

    def __init__(self, reply):
        self.reply = reply
        self.requests = []
        self.connections = 0
        self.lock = threading.Lock()
        super().__init__()

    def handle(self, conn):
        with self.lock:
            self.connections += 1
            number = self.connections
        conn.settimeout(10)
        data = b""
        try:
            while True:
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                head, data = data.split(b"\r\n\r\n", 1)
                enc = re.search(rb"Encapsulated: ([^\r]*)", head).group(1).decode()
                offsets = dict(p.strip().split("=") for p in enc.split(","))
                end = int(offsets.get("req-body", offsets.get("res-body",
                                                             offsets.get("null-body", 0))))
                while len(data) < end:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                heads, data = data[:end], data[end:]
                body = b""
                if "req-body" in offsets or "res-body" in offsets:
                    while not data.endswith(b"0\r\n\r\n") or not self._whole(data):
                        chunk = conn.recv(65536)
                        if not chunk:
                            return
                        data += chunk
                    body, data = self._dechunk(data)
                req = {"head": head.decode(), "heads": heads.decode(), "body": body,
                       "connection": number}
                with self.lock:
                    self.requests.append(req)
                conn.sendall(self.reply(req))
        except (OSError, ValueError):
            return
        finally:
            conn.close()

    @staticmethod
    def _whole(data):
        try:
            ScriptedIcap._dechunk(data)
            return True
        except ValueError:
            return False

    @staticmethod
    def _dechunk(data):
        body = b""
        while True:
            line, sep, rest = data.partition(b"\r\n")
            if not sep:
                raise ValueError("incomplete")
            size = int(line.split(b";")[0], 16)
            if size == 0:
                if not rest.startswith(b"\r\n"):
                    raise ValueError("incomplete")
                return body, rest[2:]
            if len(rest) < size + 2:
                raise ValueError("incomplete")
            body += rest[:size]
            data = rest[size + 2:]


def chunked(data):
    return (b"%x\r\n" % len(data) + data + b"\r\n" if data else b"") + b"0\r\n\r\n"


def no_change(req):
    return b"ICAP/1.0 204 No Content\r\nConnection: keep-alive\r\nEncapsulated: null-body=0\r\n\r\n"


def test_icap_connections_are_pooled_and_carry_no_proxy_credentials(tmp_path, served,
                                                                    proxy_factory):
    server = ScriptedIcap(no_change)
    try:
        proxy = proxy_factory(config=icap_config(tmp_path, server.port, "/svc", "reqmod"))
        for _ in range(3):
            r = get(proxy, url(served, "/page.html"),
                    headers="Proxy-Authorization: Basic dXNlcjpzZWNyZXQ=\r\n")
            assert r.status == 200 and r.body == b"<html>just a page</html>\n"
        assert len(server.requests) == 3
        assert server.connections == 1, "the ICAP connection was not reused"
        for req in server.requests:
            assert req["head"].startswith(
                f"REQMOD icap://127.0.0.1:{server.port}/svc ICAP/1.0")
            assert "X-Client-IP: 127.0.0.1" in req["head"]
            assert "proxy-authorization" not in req["heads"].lower()
            assert req["heads"].startswith("GET http://origin.test:")
    finally:
        server.stop()


def test_icap_replacements_are_applied_with_their_lengths(tmp_path, served, proxy_factory):
    page = b"<html>replaced by the ICAP server</html>"

    def reply(req):
        if req["head"].startswith("REQMOD") and "/answer" in req["heads"]:
            http = b"HTTP/1.1 403 Forbidden\r\nContent-Type: text/html\r\n\r\n"
            return (b"ICAP/1.0 200 OK\r\nConnection: keep-alive\r\n"
                    b"Encapsulated: res-hdr=0, res-body=%d\r\n\r\n" % len(http) + http +
                    chunked(page))
        if req["head"].startswith("REQMOD") and "/rewrite" in req["heads"]:
            http = req["heads"].replace("/rewrite", "/page.html").encode()
            return (b"ICAP/1.0 200 OK\r\nConnection: keep-alive\r\n"
                    b"Encapsulated: req-hdr=0, null-body=%d\r\n\r\n" % len(http) + http)
        if req["head"].startswith("RESPMOD"):
            res = req["heads"].split("\r\n\r\n", 1)[1].encode()
            # The response head the proxy sent names the body's length.
            assert b"Content-Length: %d" % len(req["body"]) in res
            return (b"ICAP/1.0 200 OK\r\nConnection: keep-alive\r\n"
                    b"Encapsulated: res-hdr=0, res-body=%d\r\n\r\n" % len(res) + res +
                    chunked(req["body"][:1000]))
        return no_change(req)

    server = ScriptedIcap(reply)
    try:
        proxy = proxy_factory(config=icap_config(tmp_path, server.port, "/svc",
                                                 "reqmod,respmod"))
        r = get(proxy, url(served, "/answer"))
        assert r.status == 403 and r.body == page
        assert int(r.header("Content-Length")) == len(page)
        r = get(proxy, url(served, "/rewrite"))
        assert r.status == 200 and r.body == b"<html>just a page</html>\n"[:1000]
        r = get(proxy, url(served, "/clean.bin"))
        assert r.status == 200 and r.body == CLEAN[:1000]
        assert int(r.header("Content-Length")) == 1000
    finally:
        server.stop()


def test_icap_reply_body_over_the_limit_fails_open(tmp_path, served, proxy_factory):
    def reply(req):
        res = req["heads"].split("\r\n\r\n", 1)[1].encode()
        big = b"x" * (2 * 1024 * 1024)
        return (b"ICAP/1.0 200 OK\r\nConnection: keep-alive\r\n"
                b"Encapsulated: res-hdr=0, res-body=%d\r\n\r\n" % len(res) + res + chunked(big))

    def edit(root):
        set_fields(root.find("general").find("rule"), max_download_buffer="1500K")
    server = ScriptedIcap(reply)
    try:
        proxy = proxy_factory(config=icap_config(tmp_path, server.port, "/svc", "respmod",
                                                 edit))
        for _ in range(2):
            r = get(proxy, url(served, "/clean.bin"))
            assert r.status == 200 and r.body == CLEAN
        # The connection with the unread rest of the body was not reused.
        assert server.connections == 2
        assert "exceeds the buffer limit" in native_log(proxy)
    finally:
        server.stop()


def test_icap_server_down_stalled_or_failing_passes_messages(tmp_path, served, proxy_factory):
    def failing(req):
        return b"ICAP/1.0 500 Server Error\r\nEncapsulated: null-body=0\r\n\r\n"

    class Stalled(ScriptedServer):
        def handle(self, conn):
            self.stopped.wait(30)
            conn.close()
    for name, server in (("failing", ScriptedIcap(failing)), ("stalled", Stalled())):
        try:
            (tmp_path / "icap.xml").unlink(missing_ok=True)
            if (tmp_path / "proxy").exists():
                (tmp_path / "proxy").rename(tmp_path / f"proxy-{name}")
            proxy = proxy_factory(config=icap_config(tmp_path, server.port, "/svc",
                                                     "reqmod,respmod"))
            start = time.monotonic()
            r = get(proxy, url(served, "/clean.bin"))
            assert r.status == 200 and r.body == CLEAN, name
            assert time.monotonic() - start < 15, name
        finally:
            server.stop()


# -------------------------------------------------------------- DNS blacklist

needs_dnsmasq = pytest.mark.skipif(shutil.which("dnsmasq") is None,
                                   reason="dnsmasq is not installed")


@needs_dnsmasq
def test_dnsbl_refuses_listed_domains_and_passes_the_others(tmp_path, served, proxy_factory):
    # A host given as an address is looked up by its last two numbers.
    dns = Dnsmasq(tmp_path, ["address=/origin.test.bl.test/127.0.0.2",
                             "address=/other.test.bl.test/10.9.9.9",
                             "address=/0.1.bl.test/127.0.0.3"])
    try:
        def edit(root):
            set_fields(root.find("dnsbl"), enabled="true", zone="bl.test",
                       addresses="127.0.0.2-127.0.0.255")
        config = write_config(tmp_path / "dnsbl.xml", edit)
        proxy = proxy_factory(config=config, nameserver=dns.address,
                              hosts={"www.origin.test": "127.0.0.1",
                                     "www.other.test": "127.0.0.1",
                                     "www.unlisted.test": "127.0.0.1"})
        for host, refused in (("www.origin.test", True), ("www.other.test", False),
                              ("www.unlisted.test", False), ("127.0.0.1", True)):
            r = send(proxy, (f"GET http://{host}:{served.port}/page.html HTTP/1.1\r\n"
                                 f"Host: {host}\r\nConnection: close\r\n\r\n").encode())
            if refused:
                assert r.status == 404, (host, r)
            else:
                assert r.status == 200 and r.body == b"<html>just a page</html>\n", host
        for host in ("www.origin.test", "127.0.0.1"):
            assert wait_until(lambda: f"domain {host} is blacklisted" in native_log(proxy))
        records = wait_until(lambda: len(extended_log_records(proxy)) >= 4 and
                             extended_log_records(proxy))
        refused = [x for x in records if x["filter"].startswith("dnsbl")]
        assert len(refused) == 2, records
    finally:
        dns.stop()


class SilentDns:
    """A DNS server that reads every query and never answers, on a
    loopback address whose port 53 is free."""

    def __init__(self):
        self.address = dnsmasq_address()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((self.address, 53))
        self.sock.settimeout(0.2)
        self.queries = 0
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while not self.stopped.is_set():
            try:
                self.sock.recvfrom(4096)
                self.queries += 1
            except socket.timeout:
                continue
            except OSError:
                return

    def stop(self):
        self.stopped.set()
        self.thread.join(timeout=10)
        self.sock.close()


@needs_dnsmasq
@pytest.mark.parametrize("server", ["down", "silent"])
def test_dnsbl_with_the_dns_server_down_or_silent_ends_within_the_time_out(
        tmp_path, served, proxy_factory, server):
    def edit(root):
        set_fields(root.find("dnsbl"), enabled="true", zone="bl.test",
                   addresses="127.0.0.2-127.0.0.255")
    config = write_config(tmp_path / "dnsbl.xml", edit)
    silent = SilentDns() if server == "silent" else None
    try:
        # The resolver gives each query one try of one second.
        proxy = proxy_factory(config=config,
                              nameserver=silent.address if silent else dnsmasq_address())
        start = time.monotonic()
        r = get(proxy, url(served, "/page.html"))
        assert r.status == 200 and r.body == b"<html>just a page</html>\n"
        assert time.monotonic() - start < 10
        if silent:
            assert silent.queries >= 1, "the blacklist zone was never asked"
    finally:
        if silent:
            silent.stop()


# ---------------------------------------------------------- categorisation

ZONE = "sortmarks.kelvarine.org"


def sortmarks_config(tmp_path, hints, rules):
    def change(root):
        sm = root.find("Sortmarks")
        set_fields(sm, enabled="true", hints_directory=str(hints))
        for fields in rules:
            add_item(sm, "category_rules", rule_model(root, "Sortmarks", "category_rules"),
                     **fields)
    return write_config(tmp_path / "sortmarks.xml", change)


def profiles_of(proxy, url_part):
    records = wait_until(lambda: [x for x in extended_log_records(proxy)
                                  if url_part in x["url"]])
    return records[-1]["profiles"]


@needs_dnsmasq
def test_categories_give_profiles_and_survive_a_restart(tmp_path, served, proxy_factory):
    dns = Dnsmasq(tmp_path, [f"mx-host=www.shop.test.{ZONE},shopping,40",
                             f"mx-host=www.shop.test.{ZONE},news,3"])
    hints = tmp_path / "hints"
    hints.mkdir()
    zeros = ",".join(["0"] * 32)
    (hints / "local.sortmarks").write_text(
        f"www.hinted.test\t{zeros.replace('0', '45', 1)}\r\n")
    rules = [{"enabled": "true", "comment": "shops", "categories": "shopping",
              "score_range": "30-50", "add_profiles": "shoppers", "remove_profiles": "idle"},
             {"enabled": "true", "comment": "ads", "categories": "ads",
              "score_range": "40-50", "add_profiles": "adverts"},
             {"enabled": "true", "comment": "a rule for shoppers", "profiles": "shoppers",
              "categories": "news", "score_range": "3", "add_profiles": "readers"}]
    hosts = {"www.shop.test": "127.0.0.1", "www.hinted.test": "127.0.0.1",
             "www.plain.test": "127.0.0.1"}
    try:
        proxy = proxy_factory(config=sortmarks_config(tmp_path, hints, rules),
                              nameserver=dns.address, hosts=hosts)
        # The service thread loads the hint files once the section is on.
        assert wait_until(lambda: "read from" in native_log(proxy), timeout=20)
        for host in hosts:
            r = send(proxy, (f"GET http://{host}:{served.port}/page.html HTTP/1.1\r\n"
                             f"Host: {host}\r\nConnection: close\r\n\r\n").encode())
            assert r.status == 200
        shop = profiles_of(proxy, "www.shop.test")
        assert "shoppers" in shop and "readers" in shop, shop
        assert "adverts" in profiles_of(proxy, "www.hinted.test")
        plain = profiles_of(proxy, "www.plain.test")
        assert "shoppers" not in plain and "adverts" not in plain
        # The exit sequence saves the cache: one record per host, read back
        # at the next start without asking the service.
        proxy.stop()
        saved = (hints / "sortmarks.cache").read_text()
        assert saved.startswith("\n")
        lines = [x for x in saved.split("\n") if x]
        names = [x.split("\t")[0].lower() for x in lines]
        assert sorted(names) == ["www.hinted.test", "www.shop.test"], lines
        dns.stop()
        (tmp_path / "proxy").rename(tmp_path / "proxy-first")
        proxy = proxy_factory(config=sortmarks_config(tmp_path, hints, rules),
                              nameserver=dnsmasq_address(), hosts=hosts)
        assert wait_until(lambda: "sortmarks.cache, records: 1" in native_log(proxy),
                          timeout=20), native_log(proxy)
        r = send(proxy, (f"GET http://www.shop.test:{served.port}/page.html HTTP/1.1\r\n"
                         "Host: www.shop.test\r\nConnection: close\r\n\r\n").encode())
        assert r.status == 200
        assert "shoppers" in profiles_of(proxy, "www.shop.test")
        proxy.stop()
        again = [x for x in (hints / "sortmarks.cache").read_text().split("\n") if x]
        assert len(again) == 2
    finally:
        dns.stop()


@needs_dnsmasq
def test_a_url_filter_rule_for_a_category_profile_refuses_the_host_and_the_feed_is_read(
        tmp_path, served, proxy_factory):
    dns = Dnsmasq(tmp_path, [f"mx-host=www.shop.test.{ZONE},shopping,40",
                             f"mx-host=www.fed.test.{ZONE},news,7"])
    hints = tmp_path / "hints"
    hints.mkdir()
    # The access log of an earlier run: the start-up turns its hosts into
    # the host feed, which the service thread looks up and then deletes.
    previous = tmp_path / "proxy" / "access.log"
    previous.parent.mkdir()
    previous.write_text(
        "1765400000.000 3 127.0.0.1 TCP_MISS/200 25 GET http://www.fed.test:8080/a.html "
        "- DIRECT/127.0.0.1 text/html\n")
    feed = tmp_path / "proxy" / "access.log.smfeed"
    rules = [{"enabled": "true", "comment": "shops", "categories": "shopping",
              "score_range": "30-50", "add_profiles": "shoppers"}]

    def edit(root):
        filt = root.find("url-filtering")
        set_fields(filt, enabled="true", mode="0")
        add_item(filt, "deny", rule_model(root, "url-filtering", "deny"), enabled="true",
                 comment="no shopping", profiles="shoppers")
    config = sortmarks_config(tmp_path, hints, rules)
    tree = ET.parse(config)
    edit(tree.getroot())
    tree.write(config, encoding="UTF-8", xml_declaration=True)
    hosts = {"www.shop.test": "127.0.0.1", "www.plain.test": "127.0.0.1"}
    try:
        proxy = proxy_factory(config=config, nameserver=dns.address, hosts=hosts)
        assert wait_until(lambda: f"read from smfeed:{feed}, records: 1" in native_log(proxy),
                          timeout=20), native_log(proxy)
        assert not feed.exists()
        for host, refused in (("www.shop.test", True), ("www.plain.test", False)):
            r = send(proxy, (f"GET http://{host}:{served.port}/page.html HTTP/1.1\r\n"
                             f"Host: {host}\r\nConnection: close\r\n\r\n").encode())
            assert r.status == (403 if refused else 200), (host, r)
        assert "shoppers" in profiles_of(proxy, "www.shop.test")
        records = [x for x in extended_log_records(proxy) if "www.shop.test" in x["url"]]
        assert records[-1]["filter"].startswith("url-filter"), records
        # The fed host was looked up without being asked for: it is saved
        # with the requested one.
        proxy.stop()
        saved = [x.split("\t")[0].lower()
                 for x in (hints / "sortmarks.cache").read_text().split("\n") if x]
        assert sorted(saved) == ["www.fed.test", "www.shop.test"], saved
    finally:
        dns.stop()


# ------------------------------------------------------------ URL blacklist

def test_url_blacklist_tree_refuses_listed_hosts_and_paths(tmp_path, served, proxy_factory):
    tree = tmp_path / "blacklist"
    (tree / "adult").mkdir(parents=True)
    (tree / "adult" / "domains").write_bytes(b"bad.test\r\n" + b"x" * 3000 + b".test\r\n")
    (tree / "adult" / "urls").write_bytes(b"mixed.test/secret/\r\nbare.test\r\n")
    (tree / "trusted").mkdir()
    (tree / "trusted" / "domains").write_bytes(b"good.bad.test\n")

    def edit(root):
        bl = root.find("urlblacklist")
        set_fields(bl, enabled="true", mode="0", directory=str(tree))
        model = rule_model(root, "urlblacklist", "deny")
        add_item(bl, "deny", model, enabled="true", comment="adult", categories="adult")
        add_item(bl, "allow", model, enabled="true", comment="trusted", categories="trusted")
    hosts = {h: "127.0.0.1" for h in ("www.bad.test", "notbad.test", "mixed.test", "bare.test",
                                      "good.bad.test")}
    proxy = proxy_factory(config=write_config(tmp_path / "urlbl.xml", edit), hosts=hosts)
    cases = [("WWW.Bad.Test", "/page.html", True),
             ("notbad.test", "/page.html", False),
             ("mixed.test", "/SECRET/page.html", True),
             ("mixed.test", "/page.html", False),
             ("bare.test", "/page.html", True),
             ("good.bad.test", "/page.html", False)]
    for host, path, refused in cases:
        # The request line's host is lower-cased; the Host header keeps
        # its capitals for an origin-form request.
        r = send(proxy, (f"GET {path} HTTP/1.1\r\nHost: {host}:{served.port}\r\n"
                         "Connection: close\r\n\r\n").encode())
        if refused:
            assert r.status == 403, (host, path, r)
            assert b"blacklisted" in r.body
        else:
            assert r.status in (200, 404), (host, path, r)
            assert not (r.status == 404 and b"blacklisted" in r.body), (host, path)
    log = native_log(proxy)
    assert "loaded 2 categories" in log
    assert "skipped 1 overlong lines" in log
    allowed = wait_until(lambda: [x for x in extended_log_records(proxy)
                                  if "good.bad.test" in x["url"]])
    assert allowed and "urlbl" in allowed[0]["filter"] and "trusted" in allowed[0]["filter"]


# ------------------------------------------------ scanning and the cache

def journal_flags(store):
    """The flags of each object in the store's journal, by URL."""
    flags = {}
    for line in (store / "journal").read_text().splitlines():
        fields = line.split("\t")
        if len(fields) > 1:
            flags[fields[1]] = int(fields[0])
    return flags


def aged(origin, name, data):
    """A file of the origin last changed a day ago, so that its object
    stays fresh."""
    path = origin.root / name
    path.write_bytes(data)
    t = time.time() - 86400
    os.utime(path, (t, t))
    return url(origin, "/" + name)


CACHE_CLEAN = 0x400


def add_store(root, store):
    """A disk store for the cache, so that the journal shows each object's
    flags once the proxy has stopped."""
    item = ET.SubElement(root.find("cache"), "store")
    for key, value in [("enabled", "true"), ("comment", ""), ("profiles", ""),
                       ("path", str(store)), ("max_size", "1G"), ("free_extra", "64M"),
                       ("md5_check", "true")]:
        ET.SubElement(item, key).text = value


@needs_clamd
def test_only_scanned_clean_objects_are_cached_clean_and_served_without_a_rescan(
        tmp_path, origin, proxy_factory):
    store = tmp_path / "store"

    def with_store(root):
        add_store(root, store)

    clean_url = aged(origin, "clean.bin", CLEAN)
    eicar_url = aged(origin, "eicar.txt", EICAR)
    clamd = Clamd(tmp_path)
    try:
        proxy = proxy_factory(config=clamav_config(tmp_path, str(clamd.socket),
                                                   edit=with_store))
        # A virus is refused each time, from the origin each time.
        for _ in range(2):
            r = get(proxy, eicar_url)
            assert 400 <= r.status < 500 and EICAR not in r.body, r
        r = get(proxy, clean_url)
        assert r.status == 200 and r.body == CLEAN
    finally:
        clamd.stop()
    # With the daemon gone a rescan could only fail; the clean object is
    # served from the cache without one.
    r = get(proxy, clean_url)
    assert r.status == 200 and r.body == CLEAN
    assert codes(proxy, 4) == ["TCP_DENIED", "TCP_DENIED", "TCP_MISS", "TCP_HIT"]
    assert len(origin_requests(origin, "/eicar.txt", 2)) == 2
    assert "failed to check file for viruses" not in native_log(proxy)
    proxy.stop()
    flags = journal_flags(store)
    assert eicar_url not in flags
    assert flags[clean_url] & CACHE_CLEAN


@needs_clamd
@pytest.mark.parametrize("why", ["the daemon refused the body", "no rule applies"])
def test_objects_passed_unscanned_are_cached_without_the_clean_mark(
        tmp_path, origin, proxy_factory, why):
    store = tmp_path / "store"

    def edit(root):
        add_store(root, store)
        if why == "no rule applies":
            set_fields(root.find("clamav").find("rules"), profiles="nobody")

    clean_url = aged(origin, "clean.bin", CLEAN)
    # A daemon that refuses every stream over 1 KiB lets the body pass
    # unscanned.
    clamd = Clamd(tmp_path, stream_max="1K" if why.startswith("the daemon") else "10M")
    try:
        proxy = proxy_factory(config=clamav_config(tmp_path, str(clamd.socket), edit=edit))
        for _ in range(2):
            r = get(proxy, clean_url)
            assert r.status == 200 and r.body == CLEAN
        assert codes(proxy, 2) == ["TCP_MISS", "TCP_HIT"]
        # An unmarked hit is handed to the daemon again.
        passed = native_log(proxy).count("response passed unscanned")
        assert passed == (2 if why.startswith("the daemon") else 0), why
        proxy.stop()
    finally:
        clamd.stop()
    assert not journal_flags(store)[clean_url] & CACHE_CLEAN, why


@needs_clamd
def test_a_body_that_cannot_be_decoded_passes_unscanned_and_is_never_marked_clean(
        tmp_path, proxy_factory):
    """A gzip body whose trailer is wrong cannot be decoded: ClamAV is not
    handed its coded bytes, the response passes as a failed scan, and the
    cached object is not marked clean, so a hit is checked again.  ICAP
    gets the coded body with its Content-Encoding, a message it can read
    as what it is."""
    coded = bytearray(gzip.compress(b"<html>" + b"nothing to see " * 2000 + b"</html>"))
    coded[-8] ^= 0xff   # the CRC-32 no longer matches the data
    coded = bytes(coded)
    origin = Origin(lambda path, head, body: reply_of(
        coded, "text/html", b"Content-Encoding: gzip\r\nCache-Control: max-age=3600\r\n"
                            b"Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n"))
    icap = ScriptedIcap(no_change)
    store = tmp_path / "store"

    def edit(root):
        add_store(root, store)
        icap_section = root.find("icap")
        set_fields(icap_section, enabled="true")
        add_item(icap_section, "services", rule_model(root, "icap", "services"),
                 enabled="true", comment="sees the coded body", host="127.0.0.1",
                 port=str(icap.port), service="/svc", methods="respmod")

    clamd = Clamd(tmp_path)
    try:
        proxy = proxy_factory(config=clamav_config(tmp_path, str(clamd.socket), edit=edit))
        for _ in range(2):
            r = get(proxy, origin.url("/broken.html"))
            assert r.status == 200 and r.body == coded, r
            assert r.header("Content-Encoding") == "gzip"
        assert codes(proxy, 2) == ["TCP_MISS", "TCP_HIT"]
        line = "ClamAV: body could not be decoded: response passed unscanned"
        assert wait_until(lambda: native_log(proxy).count(line) == 2), native_log(proxy)
        seen = icap.requests[0]
        assert "Content-Encoding: gzip" in seen["heads"] and seen["body"] == coded
        proxy.stop()
    finally:
        clamd.stop()
        icap.stop()
        origin.stop()
    assert not journal_flags(store)[origin.url("/broken.html")] & CACHE_CLEAN


# ------------------------------------------- ranges and coded bodies

def keyword_on(root):
    """The keyword filter with one rule that scores the EICAR string's
    middle, which no range of the tests holds whole, over the threshold."""
    section = root.find("keywords-filtering")
    set_fields(section, enabled="true", threshold="5")
    section.append(rule("keywords-filtering", "keywords", body="STANDARD-ANTIVIRUS",
                        score="10"))


def rewrite_on(root):
    section = root.find("rewrite")
    set_fields(section, enabled="true")
    section.append(rule("rewrite", "rewrites", pattern="EICAR", replacement="CLEAN",
                        applies_to="body"))


# Each half of the EICAR string alone is clean to every module.
HALVES = [(0, 33), (34, 67)]


def nginx_statuses(origin, n):
    """The statuses of the origin's answers to /eicar.txt?..., once n came."""
    def lines():
        return [line for line in origin.log_lines() if '"GET /eicar.txt?' in line]
    found = wait_until(lambda: len(lines()) >= n and lines())
    assert found, origin.log_lines()
    return [int(line.split('" ')[1].split()[0]) for line in found]


RANGE_CASES = [
    # (module, whether it needs clamd, whether it needs c-icap)
    ("clamav", True, False),
    ("icap", True, True),
    ("keyword", False, False),
    ("rewrite", False, False),
    ("none", False, False),
]


@pytest.mark.parametrize("module,with_clamd,with_cicap", RANGE_CASES,
                         ids=[c[0] for c in RANGE_CASES])
def test_a_range_of_an_inspected_body_is_answered_with_the_whole_inspected_body(
        tmp_path, served, proxy_factory, module, with_clamd, with_cicap):
    """Two ranges, each holding half of the EICAR string, are clean each on
    its own.  With a module that inspects or rewrites the body applying,
    the origin is asked for the whole body (nginx never answers 206)
    and the client gets the whole body's verdict; without one, ranges pass
    as 206 with their bytes."""
    if with_clamd and not os.access(CLAMD, os.X_OK) or with_cicap and not os.access(CICAP,
                                                                                    os.X_OK):
        pytest.skip("scanner not installed")
    clamd = Clamd(tmp_path) if with_clamd else None
    cicap = CIcap(tmp_path, clamd_socket=clamd.socket) if with_cicap else None
    try:
        if module == "clamav":
            config = clamav_config(tmp_path, str(clamd.socket))
        elif module == "icap":
            config = icap_config(tmp_path, cicap.port, "/avscan", "respmod",
                                 lambda root: io_timeout(root, 30))
        else:
            config = write_config(tmp_path / "ranges.xml", {"keyword": keyword_on,
                                                            "rewrite": rewrite_on}.get(module))
        proxy = proxy_factory(config=config)
        # Each request names its own object, so that the second is never
        # answered from what the proxy made of the first.
        for first, last in HALVES:
            r = get(proxy, url(served, f"/eicar.txt?{first}"),
                    f"Range: bytes={first}-{last}\r\n")
            if module == "none":
                assert r.status == 206, r
                assert r.body == EICAR[first:last + 1]
            elif module == "rewrite":
                assert r.status == 200, r
                assert r.body == EICAR.replace(b"EICAR", b"CLEAN")
                assert r.header("Content-Range") is None
            else:
                assert r.status != 206 and r.status != 200 or b"virus" in r.body.lower(), r
                assert EICAR[first:last + 1] not in r.body, r
                assert int(r.header("Content-Length")) == len(r.body)
        assert nginx_statuses(served, 2) == [206, 206] if module == "none" else [200, 200]
    finally:
        if cicap:
            cicap.stop()
        if clamd:
            clamd.stop()


def test_range_and_if_range_never_reach_the_origin_of_an_inspected_body(tmp_path,
                                                                         proxy_factory):
    """Seen at a scripted origin: with the keyword filter on, neither Range,
    If-Range nor the old Request-Range (which Apache still honours) is
    sent, and the client's answer is the whole body with 200; with the
    filter switched off by the bypass command, they go out as the client
    wrote them."""
    body = b"<p>" + b"nothing to score here " * 50 + b"</p>"
    # Not stored: the bypassed request must reach the origin, not follow
    # or reuse the object the first request is still finishing.
    origin = Origin(lambda path, head, b: reply_of(body, "text/html",
                                                   b"Cache-Control: no-store\r\n"))
    try:
        proxy = proxy_factory(config=configure(tmp_path, {"keywords-filtering": (
            {"enabled": "true", "threshold": "5"},
            [rule("keywords-filtering", "keywords", body="STANDARD-ANTIVIRUS", score="10")])}))
        for n, ranged in enumerate(('Range: bytes=10-19\r\nIf-Range: "v1"\r\n',
                                    "Request-Range: bytes=10-19\r\n")):
            r = get(proxy, origin.url(f"/page{n}"), ranged)
            assert r.status == 200 and r.body == body, r
            head = origin.received[-1][0].lower()
            assert head.startswith(b"get /page%d " % n) and b"range:" not in head, head
            get(proxy, f"http://xx--bypass[k].origin.test:{origin.port}/page{n}", ranged)
            head = origin.received[-1][0].lower()
            for line in ranged.lower().encode().split(b"\r\n")[:-1]:
                assert b"\r\n" + line in head, head
    finally:
        origin.stop()


def coded(coding, data):
    return {"identity": lambda d: d, "gzip": gzip.compress, "br": brotli.compress,
            "zstd": zstandard.ZstdCompressor().compress}[coding](data)


CODED_CASES = ["identity", "gzip", "br", "zstd"]


@needs_clamd
@pytest.mark.parametrize("coding", CODED_CASES)
def test_clamav_scans_bodies_decoded_whatever_their_coding(tmp_path, proxy_factory, coding):
    """nginx serves files made coded here with the Content-Encoding of
    their directory, whatever the request accepts, as a server may.  The
    EICAR file is refused in every coding, to a client that accepts the
    coding and to one that does not; a clean file passes whole."""
    extra = "".join(f"location /{c}/ {{ add_header Content-Encoding {c}; }}\n"
                    for c in CODED_CASES if c != "identity")
    origin = Nginx(tmp_path, extra)
    clamd = Clamd(tmp_path)
    try:
        folder = origin.root / coding
        folder.mkdir(exist_ok=True)
        (folder / "eicar.txt").write_bytes(coded(coding, EICAR))
        (folder / "clean.bin").write_bytes(coded(coding, CLEAN))
        proxy = proxy_factory(config=clamav_config(tmp_path, str(clamd.socket)))
        for n, accept in enumerate(("", "Accept-Encoding: gzip, deflate, br, zstd\r\n")):
            r = get(proxy, url(origin, f"/{coding}/eicar.txt?{n}"), accept)
            assert r.status == 403 and b"Eicar-Test-Signature" in r.body, (accept, r)
        r = get(proxy, url(origin, f"/{coding}/clean.bin"))
        assert r.status == 200, r
        assert r.header("Content-Encoding") is None
        assert int(r.header("Content-Length")) == len(r.body)
        assert hashlib.sha256(r.body).digest() == hashlib.sha256(CLEAN).digest()
        assert UNSCANNED not in native_log(proxy)
    finally:
        clamd.stop()
        origin.stop()


@pytest.mark.parametrize("coding", ["br", "zstd", "gzip, br"])
def test_icap_is_handed_the_decoded_body(tmp_path, proxy_factory, coding):
    """RESPMOD gets what the coded body says, with no Content-Encoding left
    in the encapsulated head, and the client gets it with its length."""
    text = b"<html>" + b"".join(b"line %d of the page\n" % i for i in range(300)) + b"</html>"
    data = text
    for layer in coding.split(", "):
        data = coded(layer, data)
    origin = Origin(lambda path, head, body: reply_of(
        data, "text/html", b"Content-Encoding: " + coding.encode() + b"\r\n"))
    icap = ScriptedIcap(no_change)
    try:
        proxy = proxy_factory(config=icap_config(tmp_path, icap.port, "/svc", "respmod"))
        r = get(proxy, origin.url("/page.html"))
        assert r.status == 200 and r.body == text, r
        assert r.header("Content-Encoding") is None
        assert int(r.header("Content-Length")) == len(text)
        seen = icap.requests[0]
        assert seen["body"] == text
        assert "content-encoding" not in seen["heads"].lower(), seen["heads"]
    finally:
        icap.stop()
        origin.stop()
