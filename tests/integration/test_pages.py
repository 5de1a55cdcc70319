"""Pages the proxy answers with by itself: the built-in pages of failed and
refused requests, the URL commands written into host names, and pages read
from a configured template directory."""
import html

import pytest

from conftest import (Client, Nginx, access_log_records, free_port, sanitizer_reports,
                      set_fields, wait_until, write_config)

STYLESHEET = b'<style type="text/css">'


@pytest.fixture
def echo_origin(tmp_path):
    """nginx answering every file with the Host line it received."""
    server = Nginx(tmp_path, extra_conf="add_header X-Seen-Host $http_host always;")
    (server.root / "page.txt").write_text("page from the origin\n")
    yield server
    server.stop()


def with_url_commands(root):
    rule = root.find("access").find("allow")
    set_fields(rule, access=rule.find("access").text + ",url_commands")


def assert_page_response(reply, status, mime="text/html"):
    assert reply.status == status, reply
    assert reply.header("Content-Type") == mime, reply
    assert reply.header("Cache-Control") == "no-cache", reply
    assert int(reply.header("Content-Length")) == len(reply.body), reply


# ---------------------------------------------------------- built-in pages

def test_builtin_failure_pages_fill_in_and_escape_the_request(proxy_factory):
    proxy = proxy_factory()
    closed = free_port()
    # (why, request, status, text the page must hold, closes)
    cases = [
        ("unknown host",
         "GET http://no-such-host.test/x HTTP/1.1\r\nHost: no-such-host.test\r\n\r\n",
         503, b"DNS Lookup for no-such-host.test failed", False),
        ("closed port", f"GET http://origin.test:{closed}/x HTTP/1.1\r\nHost: origin.test\r\n\r\n",
         503, f"Connection to origin.test:{closed} failed".encode(), False),
        # The path is the client's text: written into an HTML page, escaped.
        ("no Host, markup in the path", "GET /a<q>&c\"d HTTP/1.0\r\n\r\n",
         404, b"/a&lt;q&gt;&amp;c", True),
    ]
    for why, request, status, text, closes in cases:
        with Client(proxy) as c:
            c.send(request)
            reply = c.response()
            assert_page_response(reply, status)
            # Every built-in HTML page begins with the stylesheet.
            assert reply.body.startswith(STYLESHEET), why
            assert text in reply.body, (why, reply.body[-800:])
            assert b"@HTTP_" not in reply.body, why
            assert b"<q>" not in reply.body and b'c"d' not in reply.body, why
            if closes:
                assert c.closed(), why
                continue
            # A failed request leaves the client connection usable.
            c.send("GET http://no-such-host.test/y HTTP/1.1\r\nHost: no-such-host.test\r\n\r\n")
            assert c.response().status == 503, why
    assert sanitizer_reports(proxy) == []


def test_builtin_page_to_a_head_request_sends_the_head_alone(proxy_factory):
    proxy = proxy_factory()
    with Client(proxy) as c:
        c.send("HEAD http://no-such-host.test/ HTTP/1.1\r\nHost: no-such-host.test\r\n\r\n")
        head = c.response(head_only=True)
        assert head.status == 503 and int(head.header("Content-Length")) > 0, head
        # Had the page's body followed, this would not read as a status line.
        c.send("GET http://no-such-host.test/ HTTP/1.1\r\nHost: no-such-host.test\r\n\r\n")
        reply = c.response()
        assert reply.status == 503
        assert int(head.header("Content-Length")) == len(reply.body)


# ------------------------------------------------------------ URL commands

def url_commands_proxy(tmp_path, proxy_factory):
    return proxy_factory(config=write_config(tmp_path / "commands.xml", with_url_commands))


def test_template_command_shows_the_named_page(echo_origin, tmp_path, proxy_factory):
    proxy = url_commands_proxy(tmp_path, proxy_factory)
    port = echo_origin.port
    # (why, request, MIME type, text the page must hold)
    cases = [
        ("in an absolute URL",
         f"GET http://xx--template[nodns].origin.test:{port}/page.txt HTTP/1.1\r\n"
         f"Host: origin.test\r\n\r\n", "text/html", b"DNS Lookup for origin.test failed"),
        ("prefix, name and page in capitals",
         f"GET http://XX--Template[NODNS].origin.test:{port}/page.txt HTTP/1.1\r\n"
         f"Host: origin.test\r\n\r\n", "text/html", b"DNS Lookup for origin.test failed"),
        ("behind another command",
         f"GET http://xx--fresh.xx--template[nofile].origin.test:{port}/page.txt HTTP/1.1\r\n"
         f"Host: origin.test\r\n\r\n", "text/html", b"/page.txt not found"),
        ("in the Host of an origin-form request",
         f"GET /page.txt HTTP/1.1\r\nHost: xx--template[nodns].origin.test:{port}\r\n\r\n",
         "text/html", b"DNS Lookup for origin.test failed"),
        ("without a page name", f"GET http://xx--template.origin.test:{port}/ HTTP/1.1\r\n"
         f"Host: origin.test\r\n\r\n", "text/html", b"<title>Error</title>"),
        ("an image page", f"GET http://xx--template[tinygif].origin.test:{port}/ HTTP/1.1\r\n"
         f"Host: origin.test\r\n\r\n", "image/gif", b"GIF89a"),
    ]
    with Client(proxy) as c:
        for why, request, mime, text in cases:
            c.send(request)
            reply = c.response()
            assert_page_response(reply, 200, mime)
            assert text in reply.body, (why, reply)
        # The pages are answers to the requests: the connection stays.
        assert echo_origin.log_lines() == []
    assert sanitizer_reports(proxy) == []


def test_url_commands_leave_the_host_and_need_the_access_bit(echo_origin, tmp_path,
                                                             proxy_factory):
    port = echo_origin.port
    requests = [
        f"GET http://xx--template[nodns].origin.test:{port}/page.txt HTTP/1.1\r\n"
        f"Host: xx--template[nodns].origin.test:{port}\r\n\r\n",
        f"GET /page.txt HTTP/1.1\r\nHost: xx--template[nodns].origin.test:{port}\r\n\r\n",
        f"GET http://xx--fresh.origin.test:{port}/page.txt HTTP/1.1\r\nHost: origin.test\r\n\r\n",
    ]
    # The shipped configuration gives no right to URL commands: they are
    # still taken out of the host, and have no effect.  The cache is off,
    # so every request reaches the origin.
    proxy = proxy_factory(config=write_config(
        tmp_path / "nocache.xml", lambda root: set_fields(root.find("cache"), enabled="false")))
    with Client(proxy) as c:
        for request in requests:
            c.send(request)
            reply = c.response()
            assert reply.status == 200, (request, reply)
            assert reply.body == b"page from the origin\n", request
            assert reply.header("X-Seen-Host") in ("origin.test", f"origin.test:{port}"), reply
    assert len(echo_origin.log_lines(at_least=len(requests))) == len(requests)
    records = wait_until(lambda: len(access_log_records(proxy)) == len(requests)
                         and access_log_records(proxy))
    assert [r["url"] for r in records] == [f"http://origin.test:{port}/page.txt"] * len(requests)


def test_referer_commands_follow_the_user(echo_origin, tmp_path, proxy_factory):
    proxy = url_commands_proxy(tmp_path, proxy_factory)
    port = echo_origin.port
    referer = f"http://xx--fresh.origin.test:{port}/index.html"
    with Client(proxy) as c:
        # A link followed from a page fetched with commands is sent back
        # to the same URL carrying them.
        c.send(f"GET http://origin.test:{port}/page.txt HTTP/1.1\r\nHost: origin.test\r\n"
               f"Referer: {referer}\r\n\r\n")
        reply = c.response()
        assert reply.status == 302, reply
        assert reply.header("Location") == f"http://xx--fresh.origin.test:{port}/page.txt"
        assert reply.body == b""
        # The redirected request carries them itself: no second redirect.
        c.send(f"GET {reply.header('Location')} HTTP/1.1\r\nHost: origin.test\r\n"
               f"Referer: {referer}\r\n\r\n")
        reply = c.response()
        assert reply.status == 200 and reply.body == b"page from the origin\n", reply
    assert len(echo_origin.log_lines(at_least=1)) == 1


# ------------------------------------------------------ configured pages

PROBE = '<b>"x"&y</b>'
NOTE = "value=[@CLIENT[x-probe]@] host=@HTTP_HOST@ at=@@ none=[@NOSUCH@]."


def pages_config(tmp_path, pages_dir, rules):
    def edit(root):
        templates = root.find("templates")
        set_fields(templates, template_dir=str(pages_dir))
        for fields in rules:
            page = templates.makeelement("page", {})
            defaults = {"enabled": "true", "comment": "", "groups": "", "profiles": "",
                        "name": "", "file": "", "mime_type": "text/html",
                        "response_code": "0", "suppress": "false", "parse": "true"}
            defaults.update(fields)
            for key, value in defaults.items():
                child = page.makeelement(key, {})
                child.text = value
                page.append(child)
            templates.append(page)
        with_url_commands(root)
    return write_config(tmp_path / "pages.xml", edit)


def test_configured_template_pages(origin, tmp_path, proxy_factory):
    pages_dir = tmp_path / "pages"
    pages_dir.mkdir()
    (pages_dir / "note.html").write_text(NOTE)
    elsewhere = tmp_path / "elsewhere.txt"
    elsewhere.write_text(NOTE)
    (pages_dir / "raw.html").write_text("kept @HTTP_HOST@ and @@")
    (pages_dir / "off.html").write_text("the disabled rule")
    (pages_dir / "on.html").write_text("the enabled rule")
    (pages_dir / "own.html").write_text("my own refusal")
    rules = [
        {"name": "kvnote", "file": "note.html"},
        {"name": "kvplain", "file": str(elsewhere), "mime_type": ""},
        {"name": "kvraw", "file": "raw.html", "parse": "false"},
        {"name": "kvcode", "file": "raw.html", "response_code": "203"},
        {"name": "kvbadcode", "file": "raw.html", "response_code": "700"},
        {"name": "kvmissing", "file": "missing.html"},
        {"name": "kvtwice", "file": "off.html", "enabled": "false"},
        {"name": "kvtwice", "file": "on.html"},
        {"name": "noaccess", "file": "own.html"},
    ]
    proxy = proxy_factory(config=pages_config(tmp_path, pages_dir, rules))
    # (page asked for, status, MIME type, body or a check of it)
    cases = [
        ("kvnote", 200, "text/html", None),
        ("KVNOTE", 200, "text/html", None),
        ("kvplain", 200, "text/plain",
         f"value=[{PROBE}] host=origin.test at=@ none=[].".encode()),
        ("kvraw", 200, "text/html", b"kept @HTTP_HOST@ and @@"),
        ("kvcode", 203, "text/html", b"kept origin.test and @"),
        ("kvbadcode", 200, "text/html", b"kept origin.test and @"),
        ("kvmissing", 200, "text/html", b""),
        ("kvtwice", 200, "text/html", b"the enabled rule"),
        ("noaccess", 200, "text/html", None),
    ]
    with Client(proxy) as c:
        for name, status, mime, expected in cases:
            c.send(f"GET http://xx--template[{name}].origin.test:{origin.port}/ HTTP/1.1\r\n"
                   f"Host: origin.test\r\nX-Probe: {PROBE}\r\n\r\n")
            reply = c.response()
            assert_page_response(reply, status, mime)
            if expected is not None:
                assert reply.body == expected, (name, reply)
            elif name == "noaccess":
                # A built-in page cannot be replaced.
                assert b"Access denied" in reply.body and b"my own" not in reply.body
            else:
                # Values from the request are escaped in an HTML page, the
                # administrator's text is not.
                body = reply.body.decode()
                value = body[body.index("value=[") + 7:body.index("] host=")]
                assert "<" not in value and '"' not in value, body
                assert html.unescape(value) == PROBE, body
                assert body == NOTE.replace("@CLIENT[x-probe]@", value) \
                    .replace("@HTTP_HOST@", "origin.test").replace("@@", "@") \
                    .replace("@NOSUCH@", ""), body
    assert origin.log_lines() == []
    assert sanitizer_reports(proxy) == []
