"""The configuration dialogs of the web interface driven as an administrator
drives them, in random orders: every subsection of every section through
add, edit, clone, delete and the four shifts, with values that parse and
values that do not, expressions that compile and expressions that do not.
The proxy stays up, each refused form says why, the saved file loads back
as it was, and no page shows a stored password."""
import random
import re
import urllib.parse
import xml.etree.ElementTree as ET

from conftest import SCHEMA, exchange, sanitizer_reports, set_fields, write_config

REFERER = "http://kelvarine.cfg/"
HOSTILE = '"><script>alert(1)</script>'
ERRORS = b'<ul style="color: rgb(102, 0, 0)">'


# ------------------------------------------------------------ requests

def request(proxy, path, fields=None):
    if fields is None:
        text = (f"GET http://kelvarine.cfg{path} HTTP/1.1\r\nHost: kelvarine.cfg\r\n"
                f"Referer: {REFERER}\r\n\r\n")
    else:
        body = urllib.parse.urlencode(fields)
        text = (f"POST http://kelvarine.cfg{path} HTTP/1.1\r\nHost: kelvarine.cfg\r\n"
                f"Referer: {REFERER}\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                f"Content-Length: {len(body.encode())}\r\n\r\n{body}")
    reply, _ = exchange(proxy, text)
    assert reply.status == 200 and b"Top Menu" in reply.body, (path, fields, reply)
    return reply.body


def listing(proxy, section):
    return request(proxy, "/config?" + urllib.parse.urlencode({"section": section}))


def items(body, section, sub):
    """[(id, the item's table with its id and line breaks taken out)] of one
    subsection, in list order."""
    found = []
    link = re.compile(rb"config\?section=" + re.escape(section.encode()) + rb"&amp;subsection=" +
                      re.escape(sub.encode()) + rb"&amp;action=delete&amp;id=(\d+)")
    for chunk in body.split(b'<table class="entrydialog"')[1:]:
        # The item ends with its links; what follows belongs to the page.
        chunk = chunk[:chunk.find(b"</tr></table></td></tr>", chunk.find(b"entrydialogfoot"))]
        m = link.search(chunk)
        if m:
            # Values are broken into lines of the general section's length.
            found.append((int(m.group(1)), re.sub(rb"id=\d+|<br>", b"", chunk)))
    return found


# ------------------------------------------------------------ the schema

class Spec:
    def __init__(self, n, element, selects):
        self.n = n
        self.name = element.tag
        self.label = element.findtext("comment")
        self.type = element.findtext("type")
        value = element.findtext("value") or ""
        self.options = selects.get(value, []) if "SELECT" in self.type or \
            self.type == "STRING_RANGE" else []
        self.bounds = tuple(int(x) for x in value.split(",")) if self.type == "INT_RANGE" else None
        self.optional = (element.findtext("optional") or "").lower() == "true"

    @property
    def secret(self):
        return self.name == "password" or self.name.endswith("_password")


def schema(globals_only=False):
    """{section: {subsection: [Spec]}}, or {section: [Spec]} of the global
    fields; a section declared twice counts once."""
    sections = {}
    for element in ET.parse(SCHEMA).getroot():
        if element.tag in sections:
            continue
        selects = {}
        for lists in element.findall("select"):
            for options in lists:
                selects[options.tag] = [o.tag for o in options]
        if globals_only:
            sections[element.tag] = [Spec(n, f, selects) for n, f in
                                     enumerate(element.find("global"))]
            continue
        templates = {}
        for group in element.findall("template"):
            for template in group:
                templates[template.tag] = [Spec(n, f, selects) for n, f in enumerate(template)]
        subs = {}
        for group in element.findall("subsection"):
            for sub in group:
                subs[sub.tag] = templates.get(sub.findtext("template"), [])
        sections[element.tag] = subs
    return sections


# ------------------------------------------------------------ form values

GOOD_EXPRESSIONS = ["walk", r"^www\.example\.test$", r"(a|b)+c", r"\d{2,4}", r"(?<=x)y"]
BAD_EXPRESSIONS = ["([", "a{2,1}", "*x", "(?<n>a", "\\"]
# Values a field refuses, with values it takes: (good, bad) per type.
TYPED = {
    "INT": (["0", "1", "60", "-1"], ["abc", "1.5", "99999999999"]),
    "UINT": (["0", "7", "604800"], ["-1", "seven"]),
    "FILE_SIZE": (["0", "10K", "1M"], ["ten", "1X"]),
    "LONG_FILE_SIZE": (["0", "10K", "5G"], ["lots", "1 2"]),
    "DOUBLE": (["0.5", "2"], ["half"]),
    "IP_RANGE_LIST": (["10.1.2.3", "10.0.0.1-10.0.0.9,10.9.9.9"], ["300.1.1.1", "10.1.2", "1.2.3.4.5"]),
    "PORT_RANGE_LIST": (["80", "8000-8080,443"], ["70000", "0", "x"]),
}


class Values:
    """Form values for one subsection's fields.  Rules the walk writes never
    apply to its own requests: their profile and group lists name profiles
    no request has, their client ranges are not loopback, and listeners
    get no port."""

    def __init__(self, rng, tmp_path, section):
        self.rng = rng
        self.tmp = tmp_path
        self.section = section

    def form(self, specs, marker, good_only=False):
        """(form fields, reason of refusal or None)."""
        fields = {}
        refusable = [s for s in specs if s.type in TYPED or s.type == "INT_RANGE"]
        wrong = None
        if refusable and not good_only and self.rng.random() < 0.3:
            wrong = self.rng.choice(refusable)
        reason = None
        for spec in specs:
            bad = spec is wrong
            fields.update(self.field(spec, marker, bad, good_only))
            if bad and not (spec.optional and fields.get(f"F{spec.n}_active") != "on"):
                reason = f"{spec.label} must be "
        return fields, reason

    def field(self, spec, marker, bad, good_only):
        rng, key = self.rng, f"F{spec.n}"
        out = {}
        if spec.optional:
            if bad or rng.random() < 0.5:
                out[key + "_active"] = "on"
            else:
                return out
        if spec.type == "BOOL":
            out[key] = rng.choice(["true", "false"])
        elif spec.type == "STRING_SELECT_ONE":
            out[key] = rng.choice(spec.options + ["no_such_option"])
        elif spec.type == "STRING_SELECT_MANY":
            for option in spec.options:
                if rng.random() < 0.4:
                    out[f"{key}_{option}"] = "on"
        elif spec.type == "STRING_RANGE":
            out[key] = rng.choice(spec.options)
            out[key + "_2"] = rng.choice(spec.options)
        elif spec.type == "INT_RANGE":
            low, high = spec.bounds
            first = rng.randint(low, high)
            second = high + 1 if bad else rng.randint(low, high)
            out[key], out[key + "_2"] = str(first), str(second)
        elif spec.type in TYPED:
            out[key] = self.typed(spec, bad)
        else:
            out[key] = self.text(spec, marker, good_only)
        return out

    def typed(self, spec, bad):
        good, wrong = TYPED[spec.type]
        if bad:
            return self.rng.choice(wrong)
        if self.section == "network" and spec.name == "port" or spec.name == "icp_port":
            return "-1" if spec.name == "port" else "0"
        return self.rng.choice(good)

    def text(self, spec, marker, good_only):
        rng, name = self.rng, spec.name
        if name == "comment":
            return marker
        if self.section == "access" and name in ("interfaces", "user"):
            # A deny rule whose condition is flawed refuses every client,
            # this walk's own requests included.
            return rng.choice(["", "*:*"] if name == "interfaces" else GOOD_EXPRESSIONS)
        if spec.type == "STRING_LIST" and name in ("profiles", "groups"):
            return rng.choice(["walk-profile", "walk-a,walk-b"])
        if spec.type == "STRING_LIST":
            return rng.choice(["", "a,b", "walk"])
        if spec.secret:
            return rng.choice(["", "pw-" + marker, "p&ss=w;rd"])
        if self.section == "cache" and name == "path":
            return str(self.tmp / "stores" / rng.choice(["a", "b"]))
        if name in ("temp_dir", "directory", "hints_directory", "template_dir"):
            return str(self.tmp)
        if self.section == "templates" and name == "file":
            return str(self.tmp / "page.html")
        if self.section == "network" and name == "address":
            return "127.0.0.1"
        if spec.type == "MULTILINE_STRING":
            return "first line\nsecond " + marker
        if good_only:
            return rng.choice(GOOD_EXPRESSIONS)
        return rng.choice(GOOD_EXPRESSIONS + BAD_EXPRESSIONS + ["", HOSTILE])


# ------------------------------------------------------------ the walk

class Walk:
    def __init__(self, proxy, tmp_path, seed):
        self.proxy = proxy
        self.tmp = tmp_path
        self.rng = random.Random(seed)
        self.sections = schema()
        self.globals = {s: specs for s, specs in schema(globals_only=True).items() if specs}
        self.step = 0

    def pairs(self):
        return [(s, sub) for s, subs in self.sections.items() for sub in subs]

    def post(self, section, sub, fields):
        body = request(self.proxy, "/config", {"section": section, "subsection": sub, **fields})
        assert self.proxy.proc.poll() is None, (section, sub, fields)
        return body

    def global_form(self, section):
        """The section's global form sent with new values; a refused one
        names its reason and changes none of them."""
        self.step += 1
        specs = self.globals[section]
        fields, reason = Values(self.rng, self.tmp, section).form(specs, f"walk-{self.step}")
        before = re.sub(rb"id=\d+", b"", listing(self.proxy, section))
        body = request(self.proxy, "/config", {"section": section, "action": "global", **fields})
        assert self.proxy.proc.poll() is None, (section, fields)
        if reason is None:
            assert ERRORS not in body, (section, fields, body[:2000])
        else:
            assert ERRORS in body and reason.encode() in body, (section, reason)
            assert re.sub(rb"id=\d+", b"", listing(self.proxy, section)) == before, section

    def act(self, section, sub, action, good_only=False):
        """One dialog action with its effect checked on the listing."""
        self.step += 1
        marker = f"walk-{self.step}"
        specs = self.sections[section][sub]
        values = Values(self.rng, self.tmp, section)
        before = items(listing(self.proxy, section), section, sub)
        ours = [i for i, (_, text) in enumerate(before) if b"walk-" in text]
        what = (section, sub, action, self.step)
        if action in ("edit", "delete") and not ours or \
                action in ("clone", "up", "down", "top", "bottom") and not before:
            action = "add"
        reason = None
        if action == "add":
            dialog = request(self.proxy, "/config?" + urllib.parse.urlencode(
                {"section": section, "subsection": sub, "dialog": "show"}))
            assert b'name="action" value="add"' in dialog, what
            fields, reason = values.form(specs, marker, good_only)
            body = self.post(section, sub, {"action": "add", **fields})
            index = len(before)
        else:
            index = self.rng.choice(ours if action in ("edit", "delete") else range(len(before)))
            ident = before[index][0]
            if action == "edit":
                dialog = request(self.proxy, "/config?" + urllib.parse.urlencode(
                    {"section": section, "subsection": sub, "dialog": "show", "id": ident}))
                assert f'name="id" value="{ident}"'.encode() in dialog, what
                fields, reason = values.form(specs, marker, good_only)
                body = self.post(section, sub, {"action": "edit", "id": ident, **fields})
            elif action in ("delete", "clone"):
                body = self.post(section, sub, {"action": action, "id": ident})
            else:
                body = self.post(section, sub, {"action": "shift", "id": ident,
                                                "direction": action})
        after = items(listing(self.proxy, section), section, sub)
        texts = [text for _, text in before]
        if reason is not None:
            # Refused, with the field's reason; nothing changed.
            assert ERRORS in body and reason.encode() in body, (what, reason)
            assert [t for _, t in after] == texts, what
            return
        assert ERRORS not in body, (what, body[:2000])
        expected = list(texts)
        if action == "add":
            assert len(after) == len(before) + 1 and marker.encode() in after[-1][1], what
            return
        if action == "edit":
            assert len(after) == len(before) and marker.encode() in after[index][1], what
            return
        if action == "delete":
            del expected[index]
        elif action == "clone":
            expected.insert(index, texts[index])
        elif action == "up" and index > 0:
            expected[index - 1], expected[index] = expected[index], expected[index - 1]
        elif action == "down" and index < len(expected) - 1:
            expected[index + 1], expected[index] = expected[index], expected[index + 1]
        elif action in ("top", "bottom"):
            moved = expected.pop(index)
            expected.insert(0 if action == "top" else len(expected), moved)
        assert [t for _, t in after] == expected, what


def everything(proxy, sections):
    """The listing of every section with item ids taken out."""
    return {s: re.sub(rb"id=\d+", b"id=", listing(proxy, s)) for s in sections}


def test_every_dialog_action_in_random_orders(tmp_path, proxy_factory):
    (tmp_path / "page.html").write_text("<p>a template page</p>\n")
    proxy = proxy_factory()
    walk = Walk(proxy, tmp_path, seed=20261211)
    # First every subsection meets the sequences that ended the process:
    # clone twice, and clone, delete, clone, with expressions that compile.
    for section, sub in walk.pairs():
        for action in ("add", "add", "clone", "clone", "delete", "clone", "up", "bottom"):
            walk.act(section, sub, action, good_only=True)
    actions = ["add", "edit", "edit", "clone", "delete", "up", "down", "top", "bottom"]
    pairs = walk.pairs()
    for _ in range(300):
        section, sub = walk.rng.choice(pairs)
        action = walk.rng.choice(actions + ["global"])
        if action == "global":
            walk.global_form(walk.rng.choice(sorted(walk.globals)))
        else:
            walk.act(section, sub, action)

    # Links of items that are gone and words the dialog does not know are
    # refused with their reason.
    gone = {"section": "url-filtering", "subsection": "deny", "id": "999999"}
    for fields, reason in [({**gone, "action": "delete"}, b"Entry ID doesn&#39;t exist"),
                           ({**gone, "action": "shift", "direction": "sideways"},
                            b"Unknown direction sideways"),
                           ({**gone, "action": "frobnicate"}, b"Unknown action frobnicate"),
                           ({"section": "url-filtering", "subsection": "nosuch", "action": "add"},
                            b"No subsection named nosuch")]:
        body = request(proxy, "/config", fields)
        assert ERRORS in body and (reason in body or reason.replace(b"&#39;", b"'") in body), fields

    # What was built is saved, loaded back over itself, saved again, and
    # started from: the same sections each time.
    shown = everything(proxy, walk.sections)
    first, second = tmp_path / "walk1.xml", tmp_path / "walk2.xml"
    assert b"File saved" in request(proxy, "/save", {"filename": str(first)})
    assert b"File loaded" in request(proxy, "/load", {"filename": str(first), "overwrite": "yes"})
    assert everything(proxy, walk.sections) == shown
    assert b"File saved" in request(proxy, "/save", {"filename": str(second)})
    assert ET.canonicalize(first.read_text()) == ET.canonicalize(second.read_text())
    again = proxy_factory(config=first)
    assert everything(again, walk.sections) == shown
    assert proxy.proc.poll() is None and again.proc.poll() is None
    assert sanitizer_reports(proxy) == []


# ------------------------------------------------------------ passwords

PASSWORDS = {
    "rule account": "Rule-Acc0unt-Secret",
    "interface": "Interface-Secret-7",
    "directory bind": "Bind-Secret-42",
    "parent": "Parent-Secret-9",
    "socks": "Socks-Secret-3",
}


def with_passwords(root):
    access = root.find("access")
    rule = ET.fromstring(ET.tostring(access.find("allow")))
    set_fields(rule, comment="accounts", client_ranges="10.9.9.9", user="someone",
               password=PASSWORDS["rule account"], interface_user="admin",
               interface_password=PASSWORDS["interface"])
    access.append(rule)
    ldap = root.find("ldap")
    directory = ET.SubElement(ldap, "directory")
    for tag, text in [("enabled", "true"), ("comment", "dir"), ("proxy_host", ""),
                      ("server", "127.0.0.1"), ("port", "389"), ("ssl", ""),
                      ("bind_method", "0"), ("size_limit", "10"), ("reserved", ""),
                      ("bind_user", "cn=admin"), ("bind_password", PASSWORDS["directory bind"]),
                      ("base_dn", "dc=test"), ("user_attribute", "uid"),
                      ("group_attribute", "memberOf")]:
        ET.SubElement(directory, tag).text = text
    forward = root.find("forward")
    for name, kind in [("parent", "http"), ("socks", "socks5")]:
        parent = ET.SubElement(forward, "parent")
        for tag, text in [("enabled", "true"), ("comment", name), ("groups", ""),
                          ("profiles", ""), ("host", "127.0.0.1"), ("user", "u"),
                          ("password", PASSWORDS[name]), ("ntlm_domain", ""), ("port", "1"),
                          ("icp_mode", ""), ("icp_port", "3130"), ("proxy_type", kind),
                          ("protocols", "")]:
            ET.SubElement(parent, tag).text = text


def test_no_page_shows_a_stored_password(tmp_path, proxy_factory):
    # Every log category, debug included: no line may carry a password.
    proxy = proxy_factory(config=write_config(tmp_path / "kelvarine.xml", with_passwords),
                          extra_args=["-d", str(0x0FFFFFFF)])
    sections = schema()
    secrets = [p.encode() for p in PASSWORDS.values()]
    pages = []
    for section, subs in sections.items():
        body = listing(proxy, section)
        pages.append(body)
        for sub in subs:
            for ident, _ in items(body, section, sub):
                pages.append(request(proxy, "/config?" + urllib.parse.urlencode(
                    {"section": section, "subsection": sub, "dialog": "show", "id": ident})))
    # A search by value never looks into a password (its form echoes what
    # was typed, so it is not grepped); one by name shows none.
    for secret in PASSWORDS.values():
        found = request(proxy, "/config", {"matchvalue": secret})
        assert b'<tr class="entrydialoghead">' not in found, secret
    by_name = request(proxy, "/config", {"matchname": "password"})
    assert by_name.count(b'<tr class="entrydialoghead">') >= 5
    pages.append(by_name)
    # The other pages of the menu, the log's included.
    for path in ("/", "/connections", "/stats", "/dnscache", "/headers", "/cache", "/pool",
                 "/prefetch", "/urlbl", "/log", "/save", "/load", "/ldap", "/password",
                 "/sortmark"):
        pages.append(request(proxy, path))
    for body in pages:
        for secret in secrets:
            assert secret not in body
    # The forms hold the passwords as empty password inputs.
    access = listing(proxy, "access")
    [(ident, _)] = [(i, t) for i, t in items(access, "access", "allow") if b"accounts" in t]
    form = request(proxy, "/config?" + urllib.parse.urlencode(
        {"section": "access", "subsection": "allow", "dialog": "show", "id": ident}))
    assert form.count(b'type="password"') == 2
    assert re.search(rb'<input type="password" name="F8" value=""', form)
    assert re.search(rb'<input type="password" name="F12" value=""', form)

    # Sending the form back with the password inputs empty keeps both
    # passwords; a typed one replaces its own.
    fields = dict(re.findall(rb'<input type="(?:text|password)" name="(F\d+)" value="([^"]*)"',
                             form))
    fields = {k.decode(): v.decode() for k, v in fields.items()}
    for checked in re.findall(rb'<input type="radio" name="(F\d+)" value="(\w+)" checked', form):
        fields[checked[0].decode()] = checked[1].decode()
    fields["F1"] = "accounts edited"
    fields["F8"] = "New-Rule-Secret"
    body = request(proxy, "/config", {"section": "access", "subsection": "allow",
                                      "action": "edit", "id": ident, **fields})
    assert ERRORS not in body and b"accounts edited" in body
    saved = tmp_path / "saved.xml"
    assert b"File saved" in request(proxy, "/save", {"filename": str(saved)})
    rules = [r for r in ET.parse(saved).getroot().find("access").findall("allow")
             if r.findtext("comment") == "accounts edited"]
    assert [(r.findtext("password"), r.findtext("interface_password")) for r in rules] == \
        [("New-Rule-Secret", PASSWORDS["interface"])]
    assert b"New-Rule-Secret" not in listing(proxy, "access")
    log = proxy.native_log.read_bytes()
    for secret in secrets + [b"New-Rule-Secret"]:
        assert secret not in log
    assert sanitizer_reports(proxy) == []
