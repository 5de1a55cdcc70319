"""Requests through a real dante SOCKS server: SOCKS4, and SOCKS5 with
user name and password; a refused handshake gives the "unknown" page."""
import pytest

from conftest import Client, Nginx
from test_parents import forward_config
from upstream_peers import Dante


@pytest.fixture
def web(tmp_path):
    server = Nginx(tmp_path)
    (server.root / "s.txt").write_text("through socks\n")
    yield server
    server.stop()


@pytest.fixture
def dante(tmp_path):
    server = Dante(tmp_path)
    yield server
    server.stop()


def test_requests_through_socks4_and_socks5(tmp_path, web, dante, proxy_factory):
    cases = [
        # (why, proxy type, user, password, status)
        ("SOCKS4", "socks4", "", "", 200),
        ("SOCKS5 with user name and password", "socks5", "kvsocks", "sekrit", 200),
        ("SOCKS5 with a wrong password", "socks5", "kvsocks", "nope", 503),
        ("SOCKS5 without credentials where the server wants them", "socks5", "", "", 503),
    ]
    for i, (why, kind, user, password, status) in enumerate(cases):
        proxy = proxy_factory(config=forward_config(tmp_path / f"s{i}.xml", [
            dict(host="127.0.0.1", port=str(dante.port), proxy_type=kind, user=user,
                 password=password)]))
        with Client(proxy) as c:
            for _ in range(2 if status == 200 else 1):
                c.send(f"GET http://127.0.0.1:{web.port}/s.txt HTTP/1.1\r\nHost: x\r\n\r\n")
                reply = c.response()
                assert reply.status == status, (why, reply)
                if status == 200:
                    assert reply.body == b"through socks\n", why
                else:
                    # The "unknown" page, not the origin's answer.
                    assert b"through socks" not in reply.body, why
                    assert reply.header("Content-Type") == "text/html", why
                    assert b"<title>Error</title>" in reply.body, (why, reply)
                    assert b'<font size="2">Error</font>' in reply.body, (why, reply)
        proxy.stop()
    log = dante.log_text()
    assert "username%kvsocks@" in log
