"""Parent proxies: forwarding rules choose a real tinyproxy parent (with and
without Basic authentication) or the direct road, by rule order and by
CARP; CONNECT tunnels go directly or through the parent; the parent's
refusal and its credentials stay with the request they belong to."""
import re
import socket
import subprocess
import threading
import time
import xml.etree.ElementTree as ET

import pytest

from conftest import (Client, Nginx, ScriptedServer, access_log_records, sanitizer_reports,
                      set_fields, wait_until, write_config)
from upstream_peers import TLS_NAMES, Tinyproxy, TlsNginx

RULE_FIELDS = ["enabled", "comment", "groups", "profiles", "host", "user", "password",
               "ntlm_domain", "port", "icp_mode", "icp_port", "proxy_type", "protocols"]


def forward_config(path, rules, carp=False, connect_ports="", io_timeout="60", also=None):
    """The shipped configuration with forwarding on and these rules, each a
    dict of rule fields (defaults: enabled HTTP parent for http), then
    changed by also(root) when given."""
    def edit(root):
        fwd = root.find("forward")
        set_fields(fwd, enabled="true", carp="true" if carp else "false")
        for fields in rules:
            rule = ET.SubElement(fwd, "parent")
            values = dict(enabled="true", comment="", groups="", profiles="", host="",
                          user="", password="", ntlm_domain="", port="-1", icp_mode="none",
                          icp_port="3130", proxy_type="http", protocols="http")
            values.update(fields)
            for key in RULE_FIELDS:
                ET.SubElement(rule, key).text = values[key]
        general = root.find("general").find("rule")
        set_fields(general, connect_ports=connect_ports, io_timeout=io_timeout)
        # Every request must take the road chosen for it, not a cache hit.
        set_fields(root.find("cache"), enabled="false")
        if also is not None:
            also(root)
    return write_config(path, edit)


@pytest.fixture
def web(tmp_path):
    server = Nginx(tmp_path)
    for i in range(40):
        (server.root / f"f{i}.txt").write_text(f"file {i}\n")
    yield server
    server.stop()


@pytest.fixture
def parents(tmp_path):
    started = []

    def start(tag, **kwargs):
        p = Tinyproxy(tmp_path, tag, **kwargs)
        started.append(p)
        return p

    yield start
    for p in started:
        p.stop()


def get(client, url, extra=""):
    client.send(f"GET {url} HTTP/1.1\r\nHost: x\r\n{extra}\r\n")
    return client.response()


def test_rules_choose_parent_or_direct_in_their_order(tmp_path, web, parents, proxy_factory):
    parent = parents("a")
    origin = f"http://127.0.0.1:{web.port}"
    cases = [
        # (why, rules, goes through the parent)
        ("one parent rule", [dict(host="127.0.0.1", port=str(parent.port))], True),
        ("a stop rule first sends it directly",
         [dict(host=""), dict(host="127.0.0.1", port=str(parent.port))], False),
        ("a rule for CONNECT only does not take http",
         [dict(host="127.0.0.1", port=str(parent.port), protocols="connect")], False),
        ("a disabled rule is skipped",
         [dict(enabled="false", host="127.0.0.1", port=str(parent.port))], False),
    ]
    for i, (why, rules, via_parent) in enumerate(cases):
        proxy = proxy_factory(config=forward_config(tmp_path / f"r{i}.xml", rules))
        before = parent.log_text().count(f"GET {origin}/f{i}.txt")
        with Client(proxy) as c:
            reply = get(c, f"{origin}/f{i}.txt")
        assert reply.status == 200 and reply.body == f"file {i}\n".encode(), why
        if via_parent:
            assert parent.requests_seen(f"GET {origin}/f{i}.txt") == before + 1, why
        else:
            time.sleep(0.3)
            assert parent.log_text().count(f"GET {origin}/f{i}.txt") == before, why
        proxy.stop()


def test_basic_credentials_answer_the_parent_challenge(tmp_path, web, parents, proxy_factory):
    parent = parents("auth", auth=("kvuser", "s3cret"))
    origin = f"http://127.0.0.1:{web.port}"
    cases = [
        ("right credentials", "kvuser", "s3cret", {200}),
        # tinyproxy refuses bad credentials with 401
        ("wrong password: the parent's refusal reaches the client", "kvuser", "wrong",
         {401, 407}),
        ("no credentials in the rule", "", "", {407}),
    ]
    for i, (why, user, password, status) in enumerate(cases):
        proxy = proxy_factory(config=forward_config(
            tmp_path / f"b{i}.xml",
            [dict(host="127.0.0.1", port=str(parent.port), user=user, password=password)]))
        with Client(proxy) as c:
            # After a successful answer the client connection serves the
            # next request too (a refusal ends with the parent's close).
            for _ in range(2 if status == {200} else 1):
                reply = get(c, f"{origin}/f{i}.txt")
                assert reply.status in status, (why, reply)
                if status == {200}:
                    assert reply.body == f"file {i}\n".encode()
        proxy.stop()


def carp_hash(url, host, modulo=0):
    """The CARP score of a member host for a URL, computed independently."""
    def rotl(v, n):
        return ((v << n) | (v >> (32 - n))) & 0xFFFFFFFF

    def running(text):
        h = 0
        for ch in text.encode():
            c = ch - 256 if ch > 127 else ch
            h = (h + rotl(h, 19) + c) & 0xFFFFFFFF
        return h

    member = 0 if not host else rotl((running(host) * 0x62531966) & 0xFFFFFFFF, 21)
    combined = rotl(((running(url) ^ member) * 0x62531966) & 0xFFFFFFFF, 21)
    return combined % modulo if modulo else combined


def test_carp_sends_each_url_to_the_parent_its_hash_picks(tmp_path, web, parents,
                                                          proxy_factory):
    names = ["parent-a.test", "parent-b.test"]
    tps = [parents("ca"), parents("cb")]
    rules = [dict(host=n, port=str(p.port)) for n, p in zip(names, tps)]
    proxy = proxy_factory(config=forward_config(tmp_path / "carp.xml", rules, carp=True),
                          hosts={n: "127.0.0.1" for n in names})
    routes = {}
    with Client(proxy) as c:
        for rnd in range(2):
            for i in range(24):
                url = f"http://127.0.0.1:{web.port}/f{i}.txt"
                scores = [carp_hash(url, n) for n in names]
                own = carp_hash(url, "")
                expected = None if own >= max(scores) else scores.index(max(scores))
                counts = [tp.log_text().count(f"GET {url} ") for tp in tps]
                reply = get(c, url)
                assert reply.status == 200 and reply.body == f"file {i}\n".encode()
                if expected is not None:
                    tps[expected].requests_seen(f"GET {url} ", counts[expected] + 1)
                time.sleep(0.05)
                after = [tp.log_text().count(f"GET {url} ") for tp in tps]
                took = [k for k in range(2) if after[k] > counts[k]]
                assert took == ([] if expected is None else [expected]), (url, took, expected)
                routes.setdefault(url, set()).add(expected)
    # The same URL always went the same way, and both parents had some.
    assert all(len(r) == 1 for r in routes.values())
    used = {next(iter(r)) for r in routes.values()}
    assert {0, 1} <= used, used


# ----------------------------------------------------------------- CONNECT

@pytest.fixture
def tls_origin(tmp_path):
    server = TlsNginx(tmp_path)
    yield server
    server.stop()


def curl_tunnel(proxy, url, timeout=20):
    return subprocess.run(
        ["curl", "-s", "-k", "--proxytunnel", "-x", proxy.url, "-w", "\n%{http_code} %{http_connect}",
         "--max-time", str(timeout), url],
        capture_output=True, text=True, timeout=timeout + 10)


def test_connect_tunnel_direct_and_through_the_parent(tmp_path, tls_origin, parents,
                                                      proxy_factory):
    parent = parents("tunnel")
    hosts = {n: "127.0.0.1" for n in TLS_NAMES}
    direct = proxy_factory(config=forward_config(tmp_path / "d.xml", []), hosts=hosts)
    out = curl_tunnel(direct, f"https://{TLS_NAMES[1]}:{tls_origin.port}/name")
    assert out.stdout == f"sni={TLS_NAMES[1]} block={TLS_NAMES[1]}\n\n200 200", out
    # A tunnel is recorded once the proxy has seen it end, which may come
    # after curl has finished: wait for the record before stopping.
    records = wait_until(lambda: access_log_records(direct))
    direct.stop()
    assert any("CONNECT" in " ".join(r) if isinstance(r, (list, tuple)) else "CONNECT" in str(r)
               for r in records), records

    via = proxy_factory(config=forward_config(
        tmp_path / "v.xml",
        [dict(host="127.0.0.1", port=str(parent.port), protocols="connect")]), hosts=hosts)
    out = curl_tunnel(via, f"https://127.0.0.1:{tls_origin.port}/name")
    assert out.stdout.endswith("\n200 200") and "block=" in out.stdout, out
    assert parent.requests_seen(f"CONNECT 127.0.0.1:{tls_origin.port}") >= 1


def test_connect_refusals_never_open_a_tunnel(tmp_path, tls_origin, parents, proxy_factory):
    # The parent allows tunnels to port 1 only: it refuses ours.
    strict = parents("strict", connect_ports=(1,))
    cases = [
        ("port outside the CONNECT ranges",
         forward_config(tmp_path / "p.xml", [], connect_ports="1-2")),
        ("the parent refuses the tunnel",
         forward_config(tmp_path / "s.xml", [dict(host="127.0.0.1", port=str(strict.port),
                                                  protocols="connect")])),
        ("a tunnel-type parent refuses it",
         forward_config(tmp_path / "t.xml", [dict(host="127.0.0.1", port=str(strict.port),
                                                  protocols="connect", proxy_type="connect")])),
    ]
    for why, config in cases:
        proxy = proxy_factory(config=config)
        with Client(proxy) as c:
            c.send(f"CONNECT 127.0.0.1:{tls_origin.port} HTTP/1.1\r\n"
                   f"Host: 127.0.0.1:{tls_origin.port}\r\n\r\n")
            reply = c.response()
            assert reply.status >= 400 and reply.status != 200, (why, reply)
            if "parent" in why:
                # The parent's own status, not a made-up one.
                assert reply.status == 403, (why, reply)
        proxy.stop()


class SilentServer(ScriptedServer):
    """Accepts and says nothing; remembers when each connection ended."""

    def __init__(self):
        self.ended = []
        super().__init__()

    def handle(self, conn):
        with conn:
            conn.settimeout(30)
            try:
                while conn.recv(4096):
                    pass
            except OSError:
                pass
        self.ended.append(time.monotonic())


def test_idle_tunnel_ends_after_its_time_out(tmp_path, proxy_factory):
    server = SilentServer()
    try:
        proxy = proxy_factory(config=forward_config(tmp_path / "i.xml", [], io_timeout="2"))
        with Client(proxy, timeout=15) as c:
            c.send(f"CONNECT 127.0.0.1:{server.port} HTTP/1.1\r\nHost: x\r\n\r\n")
            assert c.buf == b""
            while b"\r\n\r\n" not in c.buf:
                c._more()
            assert c.buf.startswith(b"HTTP/1.1 200 Connection Established\r\n\r\n")
            start = time.monotonic()
            c.buf = b""
            assert c.closed(timeout=12)
            waited = time.monotonic() - start
            assert 1.5 <= waited <= 8, waited
    finally:
        server.stop()


class RecordingParent(ScriptedServer):
    """A parent that opens every tunnel it is asked for (to nowhere: it
    answers 200 and closes after the client's first bytes) and keeps each
    request head it received."""

    def __init__(self):
        self.heads = []
        super().__init__()

    def handle(self, conn):
        with conn:
            conn.settimeout(10)
            head = self.read_head(conn)
            if head is None:
                return
            self.heads.append(head.decode("latin-1"))
            conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            try:
                conn.recv(4096)
            except OSError:
                pass


def test_parent_credentials_never_reach_another_parent(tmp_path, web, parents, proxy_factory):
    auth = parents("cred", auth=("kvuser", "s3cret"))
    other = RecordingParent()
    try:
        proxy = proxy_factory(config=forward_config(tmp_path / "c.xml", [
            dict(host="127.0.0.1", port=str(auth.port), user="kvuser", password="s3cret"),
            dict(host="127.0.0.1", port=str(other.port), protocols="connect"),
        ]))
        with Client(proxy) as c:
            reply = get(c, f"http://127.0.0.1:{web.port}/f1.txt")
            assert reply.status == 200, reply
            c.send("CONNECT 127.0.0.1:9 HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n")
            while b"\r\n\r\n" not in c.buf:
                c._more()
            assert c.buf.startswith(b"HTTP/1.1 200")
        assert len(other.heads) == 1
        assert other.heads[0].startswith("CONNECT 127.0.0.1:9 ")
        assert "proxy-authorization" not in other.heads[0].lower(), other.heads[0]
    finally:
        other.stop()


class EchoBodyOrigin(ScriptedServer):
    """Answers every request with the body it received."""

    def handle(self, conn):
        with conn:
            conn.settimeout(10)
            head = self.read_head(conn)
            if head is None:
                return
            top, rest = head.split(b"\r\n\r\n", 1)
            length = int(re.search(rb"(?i)content-length:\s*(\d+)", top).group(1))
            while len(rest) < length:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                rest += chunk
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                         % length + rest[:length])


def test_request_body_is_sent_again_after_the_parent_challenge(tmp_path, parents,
                                                                proxy_factory):
    parent = parents("post", auth=("kvuser", "s3cret"))
    origin = EchoBodyOrigin()
    try:
        proxy = proxy_factory(config=forward_config(tmp_path / "p.xml", [
            dict(host="127.0.0.1", port=str(parent.port), user="kvuser", password="s3cret")]))
        body = b"field=" + b"v" * 50000
        with Client(proxy) as c:
            c.send(f"POST http://127.0.0.1:{origin.port}/form HTTP/1.1\r\nHost: x\r\n"
                   f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
            reply = c.response()
        assert reply.status == 200 and reply.body == body, reply
    finally:
        origin.stop()


# (why, largest buffered request, status, the body reaches the origin)
HELD_BODIES = [
    ("no buffer limit: the body is held and sent again", "0", 200, True),
    ("larger than the buffer limit: refused, never sent", "16K", 413, False),
]


@pytest.mark.parametrize("why,buffer,status,passed", HELD_BODIES, ids=[h[0] for h in HELD_BODIES])
def test_body_held_for_the_parent_challenge_stays_within_the_buffer_limit(
        tmp_path, web, parents, proxy_factory, why, buffer, status, passed):
    parent = parents("held", auth=("kvuser", "s3cret"))
    origin = EchoBodyOrigin()
    try:
        config = forward_config(tmp_path / "p.xml", [
            dict(host="127.0.0.1", port=str(parent.port), user="kvuser", password="s3cret")])
        tree = ET.parse(config)
        set_fields(tree.getroot().find("general").find("rule"), max_upload_buffer=buffer)
        tree.write(config, encoding="UTF-8", xml_declaration=True)
        proxy = proxy_factory(config=config)
        body = b"field=" + b"v" * 50000
        with Client(proxy, timeout=20) as c:
            # A first request through the parent: the connection now knows
            # that parent wants credentials, and holds the next body.
            assert get(c, f"http://127.0.0.1:{web.port}/f1.txt").status == 200
            c.send(f"POST http://127.0.0.1:{origin.port}/held HTTP/1.1\r\nHost: x\r\n"
                   f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
            reply = c.response()
            assert reply.status == status, (why, reply)
            if passed:
                assert reply.body == body, why
            else:
                assert b"<title>Upload transfer limit exceeded</title>" in reply.body, reply
                assert reply.header("Connection") == "close", reply
                assert c.closed(), why
        if passed:
            parent.requests_seen("/held")
        else:
            time.sleep(0.5)  # room for a request that must never come
        assert ("/held" in parent.log_text()) == passed, parent.log_text()
        log = proxy.native_log.read_text(errors="replace")
        assert ("forced buffering of POST request" in log) == passed, log
        assert ("too large to hold for the parent's authentication" in log) != passed, log
        assert sanitizer_reports(proxy) == []
    finally:
        origin.stop()
