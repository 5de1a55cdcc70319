"""The TLS client: the "https" URL command fetches from a real nginx that
serves TLS with a self-signed certificate on two names."""
import os
import time

import pytest

from conftest import Client, ScriptedServer, set_fields, write_config
from upstream_peers import TLS_NAMES, TlsNginx


def with_url_commands(root):
    rule = root.find("access").find("allow")
    set_fields(rule, access=rule.find("access").text + ",url_commands")


@pytest.fixture
def tls_origin(tmp_path):
    server = TlsNginx(tmp_path)
    yield server
    server.stop()


@pytest.fixture
def tls_proxy(tmp_path, proxy_factory):
    hosts = {name: "127.0.0.1" for name in TLS_NAMES}
    return proxy_factory(config=write_config(tmp_path / "tls.xml", with_url_commands),
                         hosts=hosts)


def get(client, url):
    client.send(f"GET {url} HTTP/1.1\r\nHost: x\r\n\r\n")
    return client.response()


def test_server_block_is_chosen_by_the_name_the_proxy_sends(tls_origin, tls_proxy):
    with Client(tls_proxy) as c:
        # Both names on one kept-alive client connection: each request
        # opens (or finds pooled) its own TLS connection with its own name.
        for _ in range(2):
            for name in TLS_NAMES:
                reply = get(c, f"http://xx--https.{name}:{tls_origin.port}/name")
                assert reply.status == 200, reply
                assert reply.body == f"sni={name} block={name}\n".encode(), reply.body


def test_large_response_arrives_whole_and_promptly(tls_origin, tls_proxy):
    name = TLS_NAMES[1]
    data = os.urandom(24 * 1024 * 1024 + 12345)
    (tls_origin.roots[name] / "big.bin").write_bytes(data)
    with Client(tls_proxy, timeout=30) as c:
        for _ in range(2):
            start = time.monotonic()
            c.send(f"GET http://xx--https.{name}:{tls_origin.port}/big.bin HTTP/1.1\r\n"
                   f"Host: x\r\n\r\n")
            reply = c.response()
            took = time.monotonic() - start
            assert reply.head.startswith("HTTP/1.1 200"), reply.head
            assert reply.header("Content-Length") == str(len(data)), reply.head
            assert len(reply.body) == len(data) and reply.body == data
            assert took < 10, took


class PlainServer(ScriptedServer):
    """Answers in clear text whatever comes: a TLS handshake fails on it."""

    def handle(self, conn):
        with conn:
            try:
                conn.recv(4096)
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nclear!")
            except OSError:
                pass


def test_failed_handshake_is_an_error_page_never_clear_text(tls_proxy):
    server = PlainServer()
    try:
        with Client(tls_proxy) as c:
            reply = get(c, f"http://xx--https.origin.test:{server.port}/x")
            assert reply.status == 503, reply
            assert b"clear!" not in reply.body
    finally:
        server.stop()
