"""Link prefetching against a real nginx origin: the links of an HTML page
end up in the cache, links refused by the URL filter or leading to the
proxy itself are never fetched, and the queue keeps its bounds."""
import time

import pytest

from conftest import Nginx, access_log_records, wait_until
from procs import free_port
from test_cache import fetch, origin_requests, put_file
from test_filters import configure, get, rule

# Every log category: the prefetcher's lines and the advice are looked for.
ALL_LOGGING = ["-d", str(0x0FFFFFFF)]


@pytest.fixture
def nginx(tmp_path):
    server = Nginx(tmp_path)
    yield server
    server.stop()


def prefetch_config(tmp_path, threads="2", queue_size="100", host_limit="0", filters=()):
    img = rule("prefetch", "rule", tag="img", attribute="src", max_depth="1")
    link = rule("prefetch", "rule", tag="a", attribute="href", max_depth="1")
    sections = {"prefetch": ({"enabled": "true", "thread_count": threads,
                              "queue_size": queue_size, "host_limit": host_limit},
                             [img, link])}
    if filters:
        sections["url-filtering"] = ({"enabled": "true", "mode": "0"}, list(filters))
    return configure(tmp_path, sections)


def native_log(proxy):
    return proxy.native_log.read_text(errors="replace") if proxy.native_log.exists() else ""


def test_links_of_a_page_are_fetched_into_the_cache(tmp_path, nginx, proxy_factory):
    a, b = b"GIF89a-a" * 500, b"GIF89a-b" * 300
    put_file(nginx, "d/a.gif", a)
    put_file(nginx, "b.gif", b)
    put_file(nginx, "d/blocked/c.gif", b"c")
    deny = rule("url-filtering", "deny", path="blocked")
    port = free_port()
    proxy = proxy_factory(config=prefetch_config(tmp_path, filters=[deny]), port=port,
                          extra_args=ALL_LOGGING)
    page = (f'<html><body><img src="a.gif"><img src="/b.gif#top">'
            f'<img src="blocked/c.gif">'
            f'<img src="http://127.0.0.1:{port}/self.gif">'
            f'<a href="mailto:someone@origin.test">mail</a>'
            f'<a href="javascript:void(0)">js</a></body></html>').encode()
    put_file(nginx, "d/page.html", page)

    status, _, body = fetch(proxy, f"http://127.0.0.1:{nginx.port}/d/page.html")
    assert status == 200 and body == page

    # The prefetch threads fetch both images on their own.
    assert wait_until(lambda: origin_requests(nginx, "/d/a.gif") and
                      origin_requests(nginx, "/b.gif"), timeout=20)
    # Once logged as fetched, the objects are complete in the cache.
    def prefetched():
        return {r["url"] for r in access_log_records(proxy) if r["client"] == "prefetch"}
    wanted = {f"http://127.0.0.1:{nginx.port}/d/a.gif", f"http://127.0.0.1:{nginx.port}/b.gif"}
    assert wait_until(lambda: wanted <= prefetched(), timeout=20), access_log_records(proxy)

    for path, data in (("/d/a.gif", a), ("/b.gif", b)):
        status, head, body = fetch(proxy, f"http://127.0.0.1:{nginx.port}{path}")
        assert status == 200 and body == data
        assert "HIT" in head["x-cache"], (path, head)
        assert len(origin_requests(nginx, path)) == 1

    # The refused link is logged and never asked for; the link to the
    # proxy's own listener is never sent to it.
    assert wait_until(lambda: "refused by the request checks" in native_log(proxy) and
                      "own listener" in native_log(proxy))
    # Neither the mail nor the script link was queued.
    assert native_log(proxy).count("prefetch: url added to queue") == 4
    time.sleep(1)
    assert origin_requests(nginx, "/d/blocked/c.gif") == []
    records = access_log_records(proxy)
    assert not [r for r in records if "self.gif" in r["url"] and r["client"] != "prefetch"]
    assert not [r for r in records if r["client"] == "prefetch" and r["code"] == "TCP_HIT"]
    # Only the page, its two images and the two hits reached nginx.
    assert len(nginx.log_lines()) == 3


def test_queue_keeps_its_bounds(tmp_path, nginx, proxy_factory):
    # Without prefetch threads nothing leaves the queue: its bounds show.
    links = "".join(f'<img src="i{n}.gif">' for n in range(5))
    links += '<img src="http://www.origin.test/x.gif">'
    put_file(nginx, "page.html", f"<html>{links}</html>".encode())
    proxy = proxy_factory(config=prefetch_config(tmp_path, threads="0", queue_size="3"),
                          extra_args=ALL_LOGGING)
    assert fetch(proxy, f"http://127.0.0.1:{nginx.port}/page.html")[0] == 200
    log = wait_until(lambda: "max quesize: 3" in native_log(proxy) and native_log(proxy))
    assert log.count("url added to queue") == 3
    assert log.count("max quesize: 3 cannot add this request into prefetch queue") == 3
    # The page again (another cache key) adds nothing: its links are
    # queued already, or the queue is full.
    assert fetch(proxy, f"http://127.0.0.1:{nginx.port}/page.html?again")[0] == 200
    time.sleep(0.5)
    assert native_log(proxy).count("url added to queue") == 3
    assert len(nginx.log_lines()) == 2


def test_host_limit(tmp_path, nginx, proxy_factory):
    links = "".join(f'<img src="i{n}.gif">' for n in range(4))
    links += f'<img src="http://origin.test:{nginx.port}/o.gif">'
    put_file(nginx, "page.html", f"<html>{links}</html>".encode())
    proxy = proxy_factory(config=prefetch_config(tmp_path, threads="0", host_limit="2"),
                          extra_args=ALL_LOGGING)
    assert fetch(proxy, f"http://127.0.0.1:{nginx.port}/page.html")[0] == 200
    log = wait_until(lambda: "url added to queue" in native_log(proxy) and
                     native_log(proxy).count("max hostlimit: 2") >= 2 and native_log(proxy))
    # Two of the first host, one of the other.
    assert log.count("url added to queue") == 3
    assert log.count("max hostlimit: 2 cannot add this request into prefetch queue") == 2


@pytest.mark.parametrize("max_depth,deep_fetched", [("1", False), ("2", True)])
def test_prefetched_pages_are_scanned_down_to_the_rule_depth(tmp_path, nginx, proxy_factory,
                                                             max_depth, deep_fetched):
    put_file(nginx, "p1.html", b'<html><a href="p2.html">next</a></html>')
    put_file(nginx, "p2.html", b'<html><img src="deep.gif"></html>')
    put_file(nginx, "deep.gif", b"GIF89a" * 10)
    img = rule("prefetch", "rule", tag="img", attribute="src", max_depth=max_depth)
    link = rule("prefetch", "rule", tag="a", attribute="href", max_depth=max_depth)
    config = configure(tmp_path, {"prefetch": ({"enabled": "true", "thread_count": "1"},
                                               [img, link])})
    proxy = proxy_factory(config=config)
    assert fetch(proxy, f"http://127.0.0.1:{nginx.port}/p1.html")[0] == 200
    assert wait_until(lambda: origin_requests(nginx, "/p2.html"), timeout=20)
    if deep_fetched:
        assert wait_until(lambda: origin_requests(nginx, "/deep.gif"), timeout=20)
    else:
        time.sleep(1.5)
        assert origin_requests(nginx, "/deep.gif") == []


def test_url_command_queues_the_request_url(tmp_path, nginx, proxy_factory):
    put_file(nginx, "cmd.gif", b"GIF89a" * 100)
    put_file(nginx, "other.gif", b"GIF89a")
    config = configure(tmp_path, {"prefetch": ({"thread_count": "1"}, [])})
    proxy = proxy_factory(config=config)
    # Answered at once: "unknown" with 404 without a "template" command,
    # the named page with 200 with one.
    reply = get(proxy, f"http://xx--prefetch.127.0.0.1:{nginx.port}/cmd.gif")
    assert reply.status == 404
    reply = get(proxy, f"http://xx--prefetch.xx--template[blocked].127.0.0.1:{nginx.port}/other.gif")
    assert reply.status == 200 and b"is blocked" in reply.body
    # The prefetcher fetched it once, in the background, into the cache.
    assert wait_until(lambda: len([r for r in access_log_records(proxy)
                                   if r["client"] == "prefetch" and r["status"] == 200]) == 2,
                      timeout=20)
    status, head, body = fetch(proxy, f"http://127.0.0.1:{nginx.port}/cmd.gif")
    assert status == 200 and body == b"GIF89a" * 100 and "HIT" in head["x-cache"]
    assert len(origin_requests(nginx, "/cmd.gif")) == 1


@pytest.mark.parametrize("coding", ["br", "zstd"])
def test_links_of_a_br_or_zstd_page_are_found_in_its_decoded_text(tmp_path, proxy_factory,
                                                                  coding):
    """nginx sends the page coded whatever the request accepts; the
    prefetcher reads its links in the decoded text, for a browser that
    accepts the coding as for a client that accepts none."""
    import brotli
    import zstandard
    code = brotli.compress if coding == "br" else zstandard.ZstdCompressor().compress
    origin = Nginx(tmp_path, f"location /coded/ {{ add_header Content-Encoding {coding}; }}")
    try:
        proxy = proxy_factory(config=prefetch_config(tmp_path))
        for n, accept in enumerate(([], [f"Accept-Encoding: gzip, deflate, {coding}"])):
            image = b"GIF89a-%d" % n * 300
            put_file(origin, f"i{n}.gif", image)
            page = f'<html><body><img src="/i{n}.gif"></body></html>'.encode()
            put_file(origin, f"coded/page{n}.html", code(page))
            status, head, body = fetch(
                proxy, f"http://127.0.0.1:{origin.port}/coded/page{n}.html", accept)
            assert status == 200, head
            if "content-encoding" in head:
                assert accept and head["content-encoding"] == coding
                body = brotli.decompress(body) if coding == "br" else \
                    zstandard.ZstdDecompressor().decompress(body)
            assert body == page, head
            assert wait_until(lambda: origin_requests(origin, f"/i{n}.gif"), timeout=20)
    finally:
        origin.stop()
