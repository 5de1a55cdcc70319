"""The access and extended log records of answers that the proxy changed
or replaced: a refusal is recorded with the status and size of the page the
client received, a rewritten or decoded body with the bytes sent, not with
what the origin answered."""
import gzip
import re
import subprocess

from conftest import Nginx, access_log_records, extended_log_records, wait_until
from test_filters import configure, get, reply_of, rule, scripted  # noqa: F401 (fixture)

PAGE = b"<p>" + b"hello casino world, " * 300 + b"</p>"
# Pages the keyword and MIME rules leave alone: no keyword, another type.
TEXT = b"hello world, " * 300

RECORD_CASES = [
    # (why, the sections of the configuration, path, extra head lines of the
    #  origin, body of the origin, expected status, expected record code)
    ("keyword refusal",
     {"keywords-filtering": ({"enabled": "true", "threshold": "1"},
                             [rule("keywords-filtering", "keywords", body="casino", score="5")])},
     "/k", b"", PAGE, 403, "TCP_DENIED"),
    ("MIME refusal",
     {"mime-filtering": ({"enabled": "true", "mode": "0"},
                         [rule("mime-filtering", "deny", content_type="^text/html")])},
     "/m", b"", PAGE, 403, None),
    ("URL filter refusal",
     {"url-filtering": ({"enabled": "true"},
                        [rule("url-filtering", "deny", path="^/u")])},
     "/u", b"", PAGE, 403, None),
    ("rewritten body",
     {"rewrite": ({"enabled": "true"},
                  [rule("rewrite", "rewrites", pattern="hello", replacement="greetings, all",
                        content_type="text/plain", applies_to="body")])},
     "/r", b"", TEXT, 200, None),
    ("decoded body",
     {"rewrite": ({"enabled": "true"},
                  [rule("rewrite", "rewrites", pattern="nowhere", replacement="x",
                        content_type="text/plain", applies_to="body")])},
     "/d", b"Content-Encoding: gzip\r\n", gzip.compress(TEXT), 200, None),
]


def test_records_give_the_status_and_size_the_client_received(tmp_path, scripted,
                                                               proxy_factory):
    web = Nginx(tmp_path)
    (web.root / "k.html").write_bytes(PAGE)
    try:
        answers = {path: (extra, body) for _, _, path, extra, body, _, _ in RECORD_CASES}
        # Cacheable answers: a refusal must give its object up and its record
        # the page, on the cache's road as on the plain one.
        origin = scripted(lambda path, head, b: reply_of(
            answers[path][1], "text/html" if answers[path][1] is PAGE else "text/plain",
            answers[path][0] + b"Cache-Control: max-age=60\r\n"))
        sections = {}
        for case in RECORD_CASES:
            for name, (fields, items) in case[1].items():
                kept = sections.setdefault(name, (dict(fields), []))
                kept[1].extend(items)
        proxy = proxy_factory(config=configure(tmp_path, sections))

        received = []
        for why, _, path, extra, body, status, code in RECORD_CASES:
            reply = get(proxy, origin.url(path))
            assert reply.status == status, why
            assert len(reply.body) != len(body), f"{why}: the case must change the size"
            received.append((why, path, status, len(reply.body), code))
        # nginx keeps its connection open and sends validators: the refusal of a
        # cacheable answer read on a kept-alive connection.
        reply = get(proxy, f"http://127.0.0.1:{web.port}/k.html")
        assert reply.status == 403
        received.append(("keyword refusal of nginx's page", "/k.html", 403, len(reply.body),
                         "TCP_DENIED"))

        records = wait_until(lambda: len(access_log_records(proxy)) >= len(received) and
                             access_log_records(proxy))
        extended = wait_until(lambda: len(extended_log_records(proxy)) >= len(received) and
                              extended_log_records(proxy))
        assert len(records) == len(received)
        # Each request ran on a connection of its own, so the records of two
        # may be written in either order: they are matched by their URL.
        by_path = {"/" + r["url"].split("/", 3)[3]: r for r in records}
        ext_by_path = {"/" + e["url"].split("/", 3)[3]: e for e in extended}
        for why, path, status, size, code in received:
            record, ext = by_path[path], ext_by_path[path]
            assert (record["status"], record["size"]) == (status, size), (why, record)
            assert (int(ext["status"]), int(ext["size"])) == (status, size), (why, ext)
            if code:
                assert record["code"] == code, (why, record)

        # calamaris still reads every record.
        report = subprocess.run(["calamaris", "-a"], input=proxy.access_log.read_bytes() + b"\n",
                                capture_output=True, timeout=120)
        assert report.returncode == 0, report.stderr
        text = report.stdout.decode(errors="replace")
        invalid = re.search(r"invalid lines:\s+lines\s+(\d+)", text)
        assert invalid and int(invalid.group(1)) == 0, text
    finally:
        web.stop()
