"""Header rules: lines removed and added in each direction, as a scripted
origin and the client see them."""
import xml.etree.ElementTree as ET

from conftest import Client, ScriptedServer, set_fields, write_config

RULE_FIELDS = ["enabled", "comment", "groups", "profiles", "header_name", "header_value",
               "direction"]


class RecordingOrigin(ScriptedServer):
    """Keeps every request head and answers with fixed extra lines."""

    def __init__(self):
        self.heads = []
        super().__init__()

    def handle(self, conn):
        with conn:
            head = self.read_head(conn)
            if head is None:
                return
            self.heads.append(head.decode("latin-1"))
            body = b"ok\n"
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n"
                         b"X-Internal: build-42\r\nX-Public: yes\r\n\r\n" + body)


def header_config(path, allow_first, rules):
    """rules: (subsection, name, value, direction) tuples."""
    def edit(root):
        section = root.find("header-filtering")
        set_fields(section, enabled="true", allow_first="true" if allow_first else "false")
        for sub, name, value, direction in rules:
            rule = ET.SubElement(section, sub)
            values = dict(enabled="true", comment=f"{sub} {name}", groups="", profiles="",
                          header_name=name, header_value=value, direction=direction)
            for key in RULE_FIELDS:
                ET.SubElement(rule, key).text = values[key]
    return write_config(path, edit)


def lines_of(head):
    return [l.split(":", 1)[0].lower() for l in head.split("\r\n")[1:] if ":" in l]


def test_lines_are_removed_and_added_in_each_direction(tmp_path, proxy_factory):
    origin = RecordingOrigin()
    request = ("GET http://origin.test:{port}/p HTTP/1.1\r\nHost: origin.test\r\n"
               "User-Agent: tester\r\nX-Secret: s1\r\nX-Keep: k\r\nCookie: a=b\r\n\r\n")
    cases = [
        # (why, allow_first, rules, request lines the origin must see / not see,
        #  response lines the client must see / not see)
        ("deny rules remove, add rules add",
         False,
         [("deny", "^x-secret$", "", "request"),
          ("deny", "^x-internal$", "", "response"),
          ("add", "X-Added", "yes", "request"),
          ("add", "X-Resp-Added", "1", "response"),
          ("add", "X-Empty", "", "request,response")],
         ({"x-keep", "cookie", "x-added", "host", "user-agent"}, {"x-secret", "x-empty"}),
         ({"x-public", "x-resp-added"}, {"x-internal", "x-empty"})),
        ("an allow rule rescues a denied line by its value",
         False,
         [("deny", "^x-", "", "request,response"),
          ("allow", "", "^k$", "request"),
          ("allow", "^x-public$", "", "response")],
         ({"x-keep", "cookie"}, {"x-secret"}),
         ({"x-public"}, {"x-internal"})),
        ("allow first without allow rules: every list line goes, Host stays",
         True, [],
         ({"host", "user-agent"}, {"x-keep", "cookie", "x-secret"}),
         (set(), {"x-public", "x-internal"})),
        ("a rule for responses never touches requests",
         False, [("deny", "^x-secret$", "", "response")],
         ({"x-secret"}, set()), ({"x-internal"}, set())),
        ("a pattern that does not compile disables its rule",
         False, [("deny", "(", "", "request,response")],
         ({"x-secret", "x-keep"}, set()), ({"x-internal", "x-public"}, set())),
    ]
    try:
        for i, (why, allow_first, rules, (req_in, req_out), (resp_in, resp_out)) in \
                enumerate(cases):
            proxy = proxy_factory(config=header_config(tmp_path / f"h{i}.xml", allow_first,
                                                       rules))
            with Client(proxy) as c:
                c.send(request.format(port=origin.port))
                reply = c.response()
            assert reply.status == 200 and reply.body == b"ok\n", why
            seen = lines_of(origin.heads[-1])
            assert req_in <= set(seen), (why, seen)
            assert not (req_out & set(seen)), (why, seen)
            got = {name.lower() for name, _ in reply.headers}
            assert resp_in <= got, (why, got)
            assert not (resp_out & got), (why, got)
            if i == 0:
                assert "X-Added: yes\r\n" in origin.heads[-1]
                assert reply.header("X-Resp-Added") == "1"
                log = proxy.native_log.read_text(errors="replace")
                assert "removed: from client: X-Secret: s1" in log
                assert "added: to server: X-Resp-Added: 1" in log or \
                    "added: to client: X-Added: yes" in log
            proxy.stop()
    finally:
        origin.stop()
