"""ICP while a parent is chosen: the proxy asks its ICP siblings and
parents and follows their answers.  The scripted peers check every field
of the query in network byte order and answer in it."""
import os
import socket
import struct
import threading
import time

import pytest

from conftest import (Client, Nginx, Proxy, access_log_records, sanitizer_reports, set_fields,
                      wait_until, write_config)
from test_parents import forward_config
from upstream_peers import Tinyproxy


class IcpPeer:
    """A UDP ICP peer answering queries with `answer` (an opcode, or None
    to stay silent).  Every query is checked; problems land in `errors`."""

    def __init__(self, expected_url):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.expected_url = expected_url
        self.answer = None
        self.queries = 0
        self.errors = []
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while not self.stopped.is_set():
            try:
                data, peer = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            self.queries += 1
            try:
                opcode, version, length, number, options, option_data = \
                    struct.unpack_from("!BBHIII", data)
                sender, requester = data[16:20], data[20:24]
                assert opcode == 1 and version == 3, (opcode, version)
                assert length == len(data), (length, len(data))
                assert options == 0 and option_data == 0
                assert requester == socket.inet_aton("127.0.0.1"), requester
                assert sender in (socket.inet_aton("127.0.0.1"), bytes(4)), sender
                url = data[24:]
                assert url.endswith(b"\0") and url.count(b"\0") == 1, url
                assert url[:-1].decode() == self.expected_url, url
            except AssertionError as e:
                self.errors.append(repr(e))
                continue
            if self.answer is None:
                continue
            reply = struct.pack("!BBHIII", self.answer, version, 20 + len(url), number,
                                options, option_data) + sender + url
            self.sock.sendto(reply, peer)

    def stop(self):
        self.stopped.set()
        self.sock.close()
        self.thread.join(timeout=5)


HIT, MISS = 2, 3


def test_icp_answers_choose_the_parent(tmp_path, proxy_factory):
    web = Nginx(tmp_path)
    (web.root / "i.txt").write_text("icp\n")
    url = f"http://127.0.0.1:{web.port}/i.txt"
    sibling_proxy, parent_proxy = Tinyproxy(tmp_path, "sib"), Tinyproxy(tmp_path, "par")
    sibling, parent = IcpPeer(url), IcpPeer(url)
    try:
        proxy = proxy_factory(config=forward_config(tmp_path / "icp.xml", [
            dict(host="127.0.0.1", port=str(sibling_proxy.port), icp_mode="sibling",
                 icp_port=str(sibling.port)),
            dict(host="127.0.0.1", port=str(parent_proxy.port), icp_mode="parent",
                 icp_port=str(parent.port)),
        ]))
        cases = [
            # (why, sibling's answer, parent's answer, who relays: 0 sibling, 1 parent,
            #  None direct)
            ("a sibling's hit beats a parent's miss", HIT, MISS, 0),
            ("a parent's hit when the sibling misses", MISS, HIT, 1),
            ("a parent's miss still goes to the parent", MISS, MISS, 1),
            ("silent peers: directly", None, None, None),
        ]
        relays = [sibling_proxy, parent_proxy]
        for why, s_answer, p_answer, who in cases:
            sibling.answer, parent.answer = s_answer, p_answer
            before = [r.log_text().count(f"GET {url} ") for r in relays]
            with Client(proxy) as c:
                c.send(f"GET {url} HTTP/1.1\r\nHost: x\r\n\r\n")
                reply = c.response()
            assert reply.status == 200 and reply.body == b"icp\n", why
            if who is not None:
                relays[who].requests_seen(f"GET {url} ", before[who] + 1)
            time.sleep(0.2)
            after = [r.log_text().count(f"GET {url} ") for r in relays]
            took = [i for i in range(2) if after[i] > before[i]]
            assert took == ([] if who is None else [who]), (why, took)
        # Peers that stayed silent are not asked again for a while.
        asked = (sibling.queries, parent.queries)
        sibling.answer, parent.answer = HIT, HIT
        with Client(proxy) as c:
            c.send(f"GET {url} HTTP/1.1\r\nHost: x\r\n\r\n")
            assert c.response().status == 200
        time.sleep(0.2)
        assert (sibling.queries, parent.queries) == asked
        assert sibling.errors == [] and parent.errors == []
    finally:
        sibling.stop()
        parent.stop()
        sibling_proxy.stop()
        parent_proxy.stop()
        web.stop()


def test_parents_named_by_host_name_are_asked_where_the_name_resolves(tmp_path,
                                                                      proxy_factory):
    """A parent named by host name is asked at its resolved address and its
    hit is logged as a parent hit; a name that does not resolve is not
    asked at all (an ICP service on this host must not answer for it)."""
    web = Nginx(tmp_path)
    (web.root / "n.txt").write_text("named\n")
    url = f"http://127.0.0.1:{web.port}/n.txt"
    relay = Tinyproxy(tmp_path, "named")
    good, stray = IcpPeer(url), IcpPeer(url)
    stray.answer = HIT
    try:
        proxy = proxy_factory(hosts={"icp-parent.test": "127.0.0.1"},
                              config=forward_config(tmp_path / "named.xml", [
            dict(host="no-such-host.invalid", port=str(relay.port), icp_mode="parent",
                 icp_port=str(stray.port)),
            dict(host="icp-parent.test", port=str(relay.port), icp_mode="parent",
                 icp_port=str(good.port)),
        ]))
        for answer, peercode in ((MISS, "FIRST_PARENT_MISS"), (HIT, "PARENT_HIT")):
            good.answer = answer
            before = relay.log_text().count(f"GET {url} ")
            with Client(proxy) as c:
                c.send(f"GET {url} HTTP/1.1\r\nHost: x\r\n\r\n")
                reply = c.response()
            assert reply.status == 200 and reply.body == b"named\n", peercode
            relay.requests_seen(f"GET {url} ", before + 1)
            record = wait_until(lambda: [r for r in access_log_records(proxy)
                                         if r["peercode"] == peercode])
            assert record and record[-1]["peer"] == "icp-parent.test", \
                access_log_records(proxy)
        assert stray.queries == 0
        assert good.errors == []
    finally:
        good.stop()
        stray.stop()
        relay.stop()
        web.stop()


def icp_query(port, url, number):
    """Asks the ICP service on the port about the URL: the reply's opcode
    and request number, or None when no reply came."""
    body = socket.inet_aton("127.0.0.1") + url.encode() + b"\0"
    query = struct.pack("!BBHIII", 1, 2, 20 + len(body), number, 0, 0) + \
        socket.inet_aton("127.0.0.1") + body
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(5)
        s.sendto(query, ("127.0.0.1", port))
        try:
            data = s.recv(65536)
        except socket.timeout:
            return None
    opcode, _, length, reply_number = struct.unpack_from("!BBHI", data)
    assert length == len(data)
    return opcode, reply_number


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_a_sibling_kelvarine_answers_from_its_cache_and_serves_the_hit(tmp_path,
                                                                      proxy_factory):
    web = Nginx(tmp_path)
    path = web.root / "held.txt"
    path.write_text("held by the sibling\n")
    t = time.time() - 86400
    os.utime(path, (t, t))
    held = f"http://127.0.0.1:{web.port}/held.txt"
    icp_port = free_udp_port()
    sibling = None
    try:
        sibling = Proxy(tmp_path / "sibling", config=write_config(
            tmp_path / "sibling.xml",
            lambda root: set_fields(root.find("cache"), icp_port=str(icp_port))))
        with Client(sibling) as c:
            c.send(f"GET {held} HTTP/1.1\r\nHost: x\r\n\r\n")
            assert c.response().status == 200
        cases = [
            # (URL asked about, expected opcode)
            (held, HIT),
            (f"http://127.0.0.1:{web.port}/other.txt", MISS),
        ]
        for number, (asked, opcode) in enumerate(cases, 1):
            assert icp_query(icp_port, asked, number) == (opcode, number), asked

        # The other instance asks the sibling, which serves the object from
        # its cache: the origin sees one request only.
        proxy = proxy_factory(config=forward_config(tmp_path / "asker.xml", [
            dict(host="127.0.0.1", port=str(sibling.port), icp_mode="sibling",
                 icp_port=str(icp_port)),
        ]))
        with Client(proxy) as c:
            c.send(f"GET {held} HTTP/1.1\r\nHost: x\r\n\r\n")
            reply = c.response()
        assert reply.status == 200 and reply.body == b"held by the sibling\n"
        records = wait_until(lambda: len(access_log_records(sibling)) >= 2 and
                             access_log_records(sibling))
        assert [r["code"] for r in records] == ["TCP_MISS", "TCP_HIT"]
        assert len([line for line in web.log_lines(1) if '"GET /held.txt ' in line]) == 1
    finally:
        if sibling is not None:
            sibling.stop()
            assert sanitizer_reports(sibling) == []
        web.stop()

