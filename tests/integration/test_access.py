"""Who may use the proxy, and for which kinds of request: the access rules
against real client addresses and listeners, the request kinds against the
access word, and the proxy's refusal to connect to itself."""
import base64
import select
import socket
import subprocess
import threading

import pytest

from conftest import (Client, access_log_records, add_item, exchange, extended_log_records,
                      free_port, sanitizer_reports, set_fields, wait_until, write_config)

DEFAULT_BITS = "interface,proxy,transparent,host_header,connect"


def config(tmp_path, edit):
    return write_config(tmp_path / "kelvarine.xml", edit)


def allow_rule(root):
    return root.find("access").find("allow")


# ------------------------------------------------------------ access rules

def test_shipped_configuration_admits_a_loopback_client(origin, proxy_factory):
    (origin.root / "page.html").write_text("<p>through the proxy</p>\n")
    proxy = proxy_factory()
    r = subprocess.run(["curl", "-sS", "--noproxy", "", "-x", proxy.url, "-D", "-",
                        f"http://origin.test:{origin.port}/page.html"],
                       capture_output=True, timeout=30)
    assert r.returncode == 0, r.stderr
    head, body = r.stdout.split(b"\r\n\r\n", 1)
    assert head.startswith(b"HTTP/1.1 200 ")
    assert body == b"<p>through the proxy</p>\n"
    rec = wait_until(lambda: access_log_records(proxy))
    assert [(x["client"], x["code"], x["status"]) for x in rec] == [("127.0.0.1", "TCP_MISS", 200)]
    assert sanitizer_reports(proxy) == []


def allow_first_with_deny_rule(root):
    """Allow list first: loopback is allowed, a deny rule takes 127.0.0.2 out."""
    access = root.find("access")
    set_fields(access, mode="true")
    add_item(access, "deny", allow_rule(root), comment="the second address",
             client_ranges="127.0.0.2-127.0.0.2")


def deny_first_with_allow_rule(root):
    """Deny list first: all of loopback is denied, an allow rule takes
    127.0.0.1 back."""
    access = root.find("access")
    set_fields(access, mode="false")
    set_fields(allow_rule(root), client_ranges="127.0.0.1-127.0.0.1")
    add_item(access, "deny", allow_rule(root), comment="all of loopback",
             client_ranges="127.0.0.0-127.255.255.255")


# Each request: (why, source address, extra header lines, body, admitted).
POLICY_REQUESTS = [
    ("the admitted address", "127.0.0.1", "", b"", True),
    ("the refused address", "127.0.0.2", "", b"", False),
    # X-Forwarded-For is not a credential: it neither admits ...
    ("refused address naming an admitted one", "127.0.0.2",
     "X-Forwarded-For: 127.0.0.1\r\n", b"", False),
    # ... nor refuses: the rules read the connection's own address.
    ("admitted address naming a refused one", "127.0.0.1",
     "X-Forwarded-For: 127.0.0.2\r\n", b"", True),
    # A refusal never carries the request body back.
    ("refused address with a body", "127.0.0.2",
     "Content-Type: text/plain\r\n", b"secret-request-body", False),
]


@pytest.mark.parametrize("policy", [allow_first_with_deny_rule, deny_first_with_allow_rule],
                         ids=lambda f: f.__name__)
def test_access_policy_refuses_with_noaccess_and_logs_it(origin, tmp_path, proxy_factory,
                                                         policy):
    (origin.root / "a.txt").write_text("admitted\n")

    # Every admitted request must reach the origin: no cache answers.
    def edit(root):
        policy(root)
        set_fields(root.find("cache"), enabled="false")
    proxy = proxy_factory(config=config(tmp_path, edit))
    url = f"http://origin.test:{origin.port}/a.txt"
    for why, source, extra, body, admitted in POLICY_REQUESTS:
        method = "POST" if body else "GET"
        request = (f"{method} {url} HTTP/1.1\r\nHost: origin.test:{origin.port}\r\n{extra}"
                   f"Content-Length: {len(body)}\r\n\r\n").encode() + body
        if method == "GET":
            request = request.replace(b"Content-Length: 0\r\n", b"")
        reply, _ = exchange(proxy, request, source=source)
        if admitted:
            assert reply.status == 200, (why, reply)
            assert reply.body == b"admitted\n", why
            continue
        assert reply.status == 403, (why, reply)
        assert reply.header("Content-Type") == "text/html", why
        assert b"Access denied" in reply.body, why
        assert int(reply.header("Content-Length")) == len(reply.body), why
        assert b"secret-request-body" not in reply.body, why

    refused = sum(1 for *_, admitted in POLICY_REQUESTS if not admitted)
    passed = len(POLICY_REQUESTS) - refused
    # Only admitted requests reached the origin.
    assert len(origin.log_lines(at_least=passed)) == passed
    records = wait_until(lambda: len(access_log_records(proxy)) == len(POLICY_REQUESTS)
                         and access_log_records(proxy))
    assert records, access_log_records(proxy)
    denied = [r for r in records if r["code"] == "TCP_DENIED"]
    assert len(denied) == refused, records
    assert all(r["status"] == 403 for r in denied), denied
    assert denied[0]["client"] == "127.0.0.2"
    extended = wait_until(lambda: len(extended_log_records(proxy)) == len(POLICY_REQUESTS)
                          and extended_log_records(proxy))
    assert extended, extended_log_records(proxy)
    filtered = [r for r in extended if r["filter"] == "access-section access policy restrictions"]
    assert len(filtered) == refused, extended
    assert filtered[0]["client"] == "127.0.0.2"
    assert all(r["status"] == 403 for r in filtered)
    assert sanitizer_reports(proxy) == []


# ------------------------------------- credentials against the deny list

def basic(pair):
    return "Basic " + base64.b64encode(pair.encode()).decode()


def credentials_policy(allow_first, allow, deny):
    """The shipped allow rule replaced by the `allow` rules and the `deny`
    rules added, each given as the fields changed from the shipped rule."""
    def edit(root):
        access = root.find("access")
        set_fields(access, mode="true" if allow_first else "false")
        model = allow_rule(root)
        for fields in allow:
            add_item(access, "allow", model, **fields)
        for fields in deny:
            add_item(access, "deny", model, **fields)
        access.remove(model)
        set_fields(root.find("cache"), enabled="false")
    return edit


BOB = dict(comment="bob", auth_mode="rule_account", user="bob", password="bob-pw",
           access="proxy")
ALICE = dict(comment="alice", auth_mode="rule_account", user="alice", password="alice-pw",
             access="proxy")
# A deny rule with an empty user for 127.0.0.1 only (127.0.0.2 stays out of
# it), one for all of loopback, and one naming bob with a password that is
# not his (a deny rule never tests it).
DENY_ONE = dict(comment="deny 127.0.0.1", client_ranges="127.0.0.1-127.0.0.1")
DENY_ALL = dict(comment="deny loopback", client_ranges="127.0.0.0-127.255.255.255",
                access=DEFAULT_BITS + ",bypass,url_commands")
DENY_BOB = dict(comment="deny bob", user="bob", password="not-his")

# The requests of each policy: (label, source address, credentials).
CREDENTIAL_REQUESTS = [
    ("none", "127.0.0.1", None),
    ("right", "127.0.0.1", "bob:bob-pw"),
    ("wrong", "127.0.0.1", "bob:guess"),
    ("made up", "127.0.0.1", "x:y"),
    ("other user", "127.0.0.1", "alice:alice-pw"),
    ("right, other address", "127.0.0.2", "bob:bob-pw"),
]
# (why, allow first, allow rules, deny rules, the status of each request
# above in order; 200 admitted, 403 refused, 407 challenged).
CREDENTIAL_POLICIES = [
    ("allow first, deny rule with an empty user", True, [BOB, ALICE], [DENY_ONE],
     [403, 403, 403, 403, 403, 200]),
    ("allow first, deny rule naming bob", True, [BOB, ALICE], [DENY_BOB],
     [407, 403, 403, 407, 200, 403]),
    ("deny first, deny rule with an empty user, no exception", False, [], [DENY_ALL],
     [403, 403, 403, 403, 403, 403]),
    ("deny first, deny rule with an empty user, bob and alice excepted", False,
     [BOB, ALICE], [DENY_ALL], [407, 200, 407, 407, 200, 200]),
    ("deny first, deny rule naming bob", False, [], [DENY_BOB],
     [200, 403, 403, 200, 200, 403]),
    ("shipped allow rule", True, None, [], [200, 200, 200, 200, 200, 200]),
]


@pytest.mark.parametrize("why,allow_first,allow,deny,statuses", CREDENTIAL_POLICIES,
                         ids=[c[0] for c in CREDENTIAL_POLICIES])
def test_credentials_never_get_past_a_deny_rule(origin, tmp_path, proxy_factory, why,
                                                allow_first, allow, deny, statuses):
    (origin.root / "c.txt").write_text("admitted\n")
    edit = (credentials_policy(allow_first, allow, deny) if allow is not None
            else lambda root: set_fields(root.find("cache"), enabled="false"))
    proxy = proxy_factory(config=config(tmp_path, edit))
    url = f"http://origin.test:{origin.port}/c.txt"
    admitted = []
    for (label, source, pair), status in zip(CREDENTIAL_REQUESTS, statuses):
        extra = f"Proxy-Authorization: {basic(pair)}\r\n" if pair else ""
        for target in (url, "http://kelvarine.cfg/xml"):
            reply, _ = exchange(proxy, f"GET {target} HTTP/1.1\r\nHost: x\r\n{extra}\r\n",
                                source=source)
            if target != url:
                # The interface's configuration page (every password in it)
                # is refused or challenged with the request.
                if status != 200:
                    assert reply.status == status, (label, "/xml", reply)
                continue
            assert reply.status == status, (label, reply)
            if status == 200:
                assert reply.body == b"admitted\n", label
                admitted.append(label)
            else:
                assert b"admitted" not in reply.body, label
    # Only the admitted requests reached the origin.
    assert len(origin.log_lines(at_least=len(admitted))) == len(admitted)
    # A record is written after its answer has gone: every admitted one is
    # waited for.
    def admitted_users():
        users = [r["user"] for r in access_log_records(proxy)
                 if r["status"] == 200 and r["url"] == url]
        return users if len(users) >= len(admitted) else None
    users = wait_until(admitted_users) or []
    if allow is None:
        # The shipped rule admits requests without credentials only:
        # credentials that fit no rule go on as anonymous, never under the
        # name they claim.
        assert set(users) == {"anonymous@127.0.0.1", "anonymous@127.0.0.2"}, users
    # Each refusal is recorded as the access rules'.
    refused = statuses.count(403)
    if refused:
        assert wait_until(lambda: len([r for r in access_log_records(proxy)
                                       if r["code"] == "TCP_DENIED" and r["url"] == url])
                          == refused), access_log_records(proxy)
    assert sanitizer_reports(proxy) == []


# An entry of a rule's listener list against the listener on 127.0.0.1 at
# PORT: (entry, admitted).
LISTENER_ENTRIES = [
    ("*:*", True),
    ("127.0.0.1:*", True),
    ("*:{port}", True),
    ("127.0.0.1:{port}", True),
    ("*:{other}", False),
    ("127.0.0.2:*", False),
    ("127.0.0.1", False),  # without ":" an entry names nothing
]


@pytest.mark.parametrize("entry,admitted", LISTENER_ENTRIES, ids=[e for e, _ in LISTENER_ENTRIES])
def test_rule_listener_entries_match_the_accepting_socket(origin, tmp_path, proxy_factory,
                                                          entry, admitted):
    (origin.root / "l.txt").write_text("listener\n")
    port = free_port()
    other = free_port()
    text = entry.format(port=port, other=other)
    proxy = proxy_factory(config=config(tmp_path, lambda root: set_fields(
        allow_rule(root), interfaces=text)), port=port)
    reply, _ = exchange(proxy, f"GET http://origin.test:{origin.port}/l.txt HTTP/1.1\r\n"
                               f"Host: origin.test\r\n\r\n")
    if admitted:
        assert (reply.status, reply.body) == (200, b"listener\n"), reply
    else:
        assert reply.status == 403 and b"Access denied" in reply.body, reply


# --------------------------------------------------------- CONNECT tunnels

class Target:
    """A bare TCP server: it records whether anyone connected and greets
    whoever does."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]

    def pending(self, timeout=0.3):
        return bool(select.select([self.sock], [], [], timeout)[0])

    def greet(self):
        conn, _ = self.sock.accept()
        with conn:
            conn.sendall(b"hello from the target\n")

    def close(self):
        self.sock.close()


@pytest.fixture
def target():
    t = Target()
    yield t
    t.close()


# (why, access word, CONNECT ports with {port} for the target's, tunnel opened)
CONNECT_CASES = [
    ("port outside the ranges", DEFAULT_BITS, "443,563", False),
    ("no CONNECT in the access word", "proxy,transparent,host_header", "", False),
    ("port inside a range", DEFAULT_BITS, "443,{below}-{above}", True),
]


@pytest.mark.parametrize("why,bits,ports,opened", CONNECT_CASES, ids=[c[0] for c in CONNECT_CASES])
def test_connect_needs_the_access_bit_and_a_listed_port(target, tmp_path, proxy_factory,
                                                        why, bits, ports, opened):
    ranges = ports.format(below=target.port - 1, above=target.port + 1)

    def edit(root):
        set_fields(allow_rule(root), access=bits)
        set_fields(root.find("general").find("rule"), connect_ports=ranges)

    proxy = proxy_factory(config=config(tmp_path, edit))
    with Client(proxy) as c:
        c.send(f"CONNECT origin.test:{target.port} HTTP/1.1\r\nHost: origin.test\r\n\r\n")
        if opened:
            greeter = threading.Thread(target=target.greet)
            greeter.start()
            reply = c.response(head_only=True)
            assert reply.status == 200, reply
            data, c.buf = c.buf, b""
            while not data.endswith(b"\n"):
                chunk = c.sock.recv(100)
                assert chunk, data
                data += chunk
            greeter.join(10)
            assert data == b"hello from the target\n"
            return
        reply = c.response()
        assert reply.status == 404, reply
        assert b"Access denied" in reply.body
        assert c.closed(), "a refused CONNECT left the connection open"
    assert not target.pending(), "the refused CONNECT reached its target"
    assert sanitizer_reports(proxy) == []


# ----------------------------------------------- request kinds and the Host

# (why, access word, request with {origin} and {proxy} ports, status, page text)
KIND_CASES = [
    ("origin form with a Host", DEFAULT_BITS,
     "GET /o.txt HTTP/1.1\r\nHost: origin.test:{origin}\r\nConnection: close\r\n\r\n",
     200, b"origin form\n"),
    ("origin form without a Host", DEFAULT_BITS,
     "GET /o.txt HTTP/1.0\r\n\r\n", 404, b"/o.txt not found"),
    ("origin form for the proxy's own port by address", DEFAULT_BITS,
     "GET /o.txt HTTP/1.1\r\nHost: 127.0.0.1:{proxy}\r\n\r\n", 404, b"/o.txt not found"),
    ("origin form for the proxy's own port by name", DEFAULT_BITS,
     "GET /o.txt HTTP/1.1\r\nHost: origin.test:{proxy}\r\n\r\n", 404, b"/o.txt not found"),
    ("origin form without the Host-header right", "interface,proxy,transparent,connect",
     "GET /o.txt HTTP/1.1\r\nHost: origin.test:{origin}\r\n\r\n", 404, b"/o.txt not found"),
    ("origin form without the origin-form right", "interface,proxy,host_header,connect",
     "GET /o.txt HTTP/1.1\r\nHost: origin.test:{origin}\r\n\r\n", 404, b"Access denied"),
    ("absolute URL without the proxy right", "interface,transparent,host_header,connect",
     "GET http://origin.test:{origin}/o.txt HTTP/1.1\r\nHost: origin.test\r\n\r\n",
     404, b"Access denied"),
]


@pytest.mark.parametrize("why,bits,request_text,status,text", KIND_CASES,
                         ids=[c[0] for c in KIND_CASES])
def test_request_kind_against_the_access_word(origin, tmp_path, proxy_factory,
                                              why, bits, request_text, status, text):
    (origin.root / "o.txt").write_text("origin form\n")
    proxy = proxy_factory(config=config(tmp_path, lambda root: set_fields(
        allow_rule(root), access=bits)))
    reply, closed = exchange(proxy, request_text.format(origin=origin.port, proxy=proxy.port),
                             check_close=True)
    assert reply.status == status, reply
    if status == 200:
        assert reply.body == text
        assert len(origin.log_lines(at_least=1)) == 1
        return
    assert reply.header("Content-Type") == "text/html"
    assert text in reply.body, reply
    assert closed, "a refused request kind left the connection open"
    assert origin.log_lines() == []
    # The refusal is recorded once, with its status and the request's method.
    rec = wait_until(lambda: access_log_records(proxy))
    assert [(r["method"], r["status"]) for r in rec] == [("GET", status)]
    assert sanitizer_reports(proxy) == []


# ------------------------------------------- the proxy never calls itself

# (why, listen address, host of the URL): each URL names the proxy's port.
SELF_CASES = [
    ("its own address", "127.0.0.1", "127.0.0.1"),
    ("a name of its own address", "127.0.0.1", "origin.test"),
    ("another local address of a wildcard listener", "0.0.0.0", "127.0.0.2"),
    ("a name of a wildcard listener", "0.0.0.0", "origin.test"),
]


@pytest.mark.parametrize("why,listen,host", SELF_CASES, ids=[c[0] for c in SELF_CASES])
def test_absolute_url_naming_the_proxy_is_refused(proxy_factory, why, listen, host):
    proxy = proxy_factory(listen_host=listen)
    reply, _ = exchange(proxy, f"GET http://{host}:{proxy.port}/loop HTTP/1.1\r\n"
                               f"Host: {host}:{proxy.port}\r\n\r\n")
    assert reply.status == 403, reply
    assert b"Access denied" in reply.body
    # No second request travelled through the proxy: the refusal is the
    # only record.
    rec = wait_until(lambda: access_log_records(proxy))
    assert [(r["url"], r["status"]) for r in rec] == \
        [(f"http://{host}:{proxy.port}/loop", 403)]
    assert sanitizer_reports(proxy) == []
