"""Rules decide on the canonical form of a request's host and path: a path
written with escapes, dot-segments or doubled slashes, and a host written
with capitals or a trailing dot, meet the same URL filter, URL blacklist and
category rules as their plain form.  Requests are sent as raw request lines
so that no client normalises them, and the origin (nginx) receives the path
exactly as the client wrote it."""
import pytest

from conftest import access_log_records, add_item, exchange, set_fields, wait_until, write_config
from test_scanning import rule_model

HOSTS = {name: "127.0.0.1" for name in ("part.test", "blocked.test", "cat.test")}

# (why, host, path, origin form, refused by: "url-filter", "urlbl", "mime"
# or None)
CASES = [
    ("deny ^/secret: the plain path", "origin.test", "/secret", False, "url-filter"),
    ("deny ^/secret: an escaped letter", "origin.test", "/%73ecret", False, "url-filter"),
    ("deny ^/secret: a dot-dot segment", "origin.test", "/x/../secret", False, "url-filter"),
    ("deny ^/secret: an escaped dot-dot segment", "origin.test", "/x/%2e%2E/secret", False,
     "url-filter"),
    ("deny ^/secret: a doubled slash", "origin.test", "//secret", False, "url-filter"),
    ("deny ^/secret: a doubled slash, origin form", "origin.test", "//secret", True,
     "url-filter"),
    ("deny ^/secret: /public passes", "origin.test", "/public/page.html", False, None),
    ("deny ^/secret: an unnormalised /public passes as written", "origin.test",
     "/x/../%70ublic//page.html", False, None),
    ("blacklist part.test/bad/: the plain path", "part.test", "/bad/x", False, "urlbl"),
    ("blacklist part.test/bad/: an escaped letter", "part.test", "/%62ad/x", False, "urlbl"),
    ("blacklist part.test/bad/: a dot-dot segment", "part.test", "/ok/../bad/x", False, "urlbl"),
    ("blacklist part.test/bad/: a doubled slash", "part.test", "//bad/x", False, "urlbl"),
    ("blacklist part.test/bad/: a trailing dot on the host", "part.test.", "/bad/x", False,
     "urlbl"),
    ("blacklist part.test/bad/: another path passes", "part.test", "/ok/page.html", False,
     None),
    ("deny host ^blocked\\.test$: the plain host", "blocked.test", "/page.html", False,
     "url-filter"),
    ("deny host ^blocked\\.test$: a trailing dot", "blocked.test.", "/page.html", False,
     "url-filter"),
    ("deny host ^blocked\\.test$: capitals in Host", "BLOCKED.Test", "/page.html", True,
     "url-filter"),
    ("deny host ^blocked\\.test$: capitals and a dot in Host", "Blocked.TEST.", "/page.html",
     True, "url-filter"),
    ("category of cat.test: the plain host", "cat.test", "/page.html", False, "url-filter"),
    ("category of cat.test: a trailing dot", "cat.test.", "/page.html", False, "url-filter"),
    ("category of cat.test: capitals in Host", "CAT.Test", "/page.html", True, "url-filter"),
    ("MIME deny path ^/typed/: the plain path", "origin.test", "/typed/a.txt", False, "mime"),
    ("MIME deny path ^/typed/: an escape and a dot-dot segment", "origin.test",
     "/x/../%74yped/a.txt", False, "mime"),
    ("MIME deny path ^/typed/: a doubled slash", "origin.test", "//typed/a.txt", False, "mime"),
]


@pytest.fixture
def canonical_proxy(tmp_path, origin, proxy_factory):
    # The refused files exist, so a request that got past a rule would
    # be served.
    for page in ("public/page.html", "ok/page.html", "page.html", "typed/a.txt", "secret",
                 "bad/x"):
        (origin.root / page).parent.mkdir(parents=True, exist_ok=True)
        (origin.root / page).write_text("a page\n")
    tree = tmp_path / "blacklist"
    (tree / "parts").mkdir(parents=True)
    (tree / "parts" / "urls").write_text("part.test/bad/\n")
    hints = tmp_path / "hints"
    hints.mkdir()
    # The first score is the "ads" category's.
    scores = ["45"] + ["0"] * 31
    (hints / "local.sortmarks").write_text("cat.test\t" + ",".join(scores) + "\n")

    def edit(root):
        filt = root.find("url-filtering")
        set_fields(filt, enabled="true", mode="0")
        model = rule_model(root, "url-filtering", "deny")
        add_item(filt, "deny", model, enabled="true", comment="secret", path="^/secret")
        add_item(filt, "deny", model, enabled="true", comment="host", host="^blocked\\.test$")
        add_item(filt, "deny", model, enabled="true", comment="category", profiles="ads")
        bl = root.find("urlblacklist")
        set_fields(bl, enabled="true", mode="0", directory=str(tree))
        add_item(bl, "deny", rule_model(root, "urlblacklist", "deny"), enabled="true",
                 comment="parts", categories="parts")
        mime = root.find("mime-filtering")
        set_fields(mime, enabled="true", mode="0")
        add_item(mime, "deny", rule_model(root, "mime-filtering", "deny"), enabled="true",
                 comment="typed", path="^/typed/")
        sm = root.find("Sortmarks")
        set_fields(sm, enabled="true", hints_directory=str(hints))
        add_item(sm, "category_rules", rule_model(root, "Sortmarks", "category_rules"),
                 enabled="true", comment="ads", categories="ads", score_range="40-50",
                 add_profiles="ads")
    proxy = proxy_factory(config=write_config(tmp_path / "canonical.xml", edit), hosts=HOSTS)
    # The service thread reads the hint files once the section is on.
    assert wait_until(lambda: proxy.native_log.exists() and
                      "read from" in proxy.native_log.read_text(errors="replace"), timeout=20)
    return proxy


def test_rules_decide_on_the_canonical_host_and_path(canonical_proxy, origin):
    proxy = canonical_proxy
    wrong = []
    passed = []
    # The MIME filter decides on the response, so the origin is asked.
    asked = 0
    for why, host, path, origin_form, refused in CASES:
        authority = f"{host}:{origin.port}"
        target = path if origin_form else f"http://{authority}{path}"
        request = (f"GET {target} HTTP/1.1\r\nHost: {authority}\r\n"
                   "Connection: close\r\n\r\n").encode()
        reply, _ = exchange(proxy, request)
        if refused == "mime":
            asked += 1
        if refused:
            page = b"blacklisted" if refused == "urlbl" else b"is blocked"
            if reply.status != 403 or page not in reply.body:
                wrong.append((why, reply.status, reply.body[:80]))
        elif reply.status != 200 or reply.body != b"a page\n":
            wrong.append((why, reply.status, reply.body[:80]))
        else:
            passed.append(path)
            # The origin receives the path as the client wrote it.
            lines = origin.log_lines(at_least=len(passed) + asked)
            if f'"GET {path} HTTP/1.1"' not in lines[-1]:
                wrong.append((why, "origin saw", lines[-1]))
    assert not wrong, "\n".join(repr(w) for w in wrong)
    # No request refused before the exchange reached the origin.
    assert len(origin.log_lines(at_least=len(passed) + asked)) == len(passed) + asked
    refusals = sum(1 for c in CASES if c[4])
    denied = lambda: [r for r in access_log_records(proxy) if r["code"] == "TCP_DENIED"]
    assert wait_until(lambda: len(denied()) >= refusals)
    assert len(denied()) == refusals, denied()
