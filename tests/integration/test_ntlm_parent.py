"""NTLM to a parent: a scripted parent checks the negotiate and
authenticate messages that libntlm builds, on one kept-alive connection."""
import base64
import struct

from conftest import Client, Nginx, Reader, ScriptedServer
from test_parents import forward_config

CHALLENGE = bytes(range(1, 9))


def challenge_message(target):
    # Signature, type 2, the target name, flags (Unicode, NTLM), the server
    # challenge, context and an empty target information, then the name.
    name = target.encode("utf-16-le")
    return (b"NTLMSSP\0" + struct.pack("<I", 2) + struct.pack("<HHI", len(name), len(name), 48) +
            struct.pack("<I", 0x00000201) + CHALLENGE + bytes(8) + bytes(8) + name)


def field(msg, offset):
    length, _, start = struct.unpack_from("<HHI", msg, offset)
    assert start + length <= len(msg), "security buffer past the message"
    return msg[start:start + length]


def text(raw):
    """A name as libntlm sends it: UTF-16LE for a Unicode challenge."""
    return raw.decode("utf-16-le") if b"\0" in raw else raw.decode("latin-1")


class NtlmParent(ScriptedServer):
    """A parent proxy that wants NTLM: 407, then the challenge for a valid
    negotiate message, then the origin's answer for a valid authenticate
    message, all on the same connection.  Problems land in `errors`."""

    def __init__(self, user, domain):
        self.user, self.domain = user, domain
        self.errors, self.steps, self.answered = [], [], 0
        super().__init__()

    def reply(self, conn, status, extra=b"", body=b""):
        conn.sendall(b"HTTP/1.1 %d X\r\n" % status + extra +
                     b"Content-Length: %d\r\n\r\n" % len(body) + body)

    def handle(self, conn):
        with conn:
            conn.settimeout(10)
            stage = 0
            requests = Reader(conn)
            while True:
                try:
                    head = requests.next_head()
                except EOFError:
                    return
                if head is None:
                    return
                lines = head.decode("latin-1").split("\r\n")
                auth = [l.split(":", 1)[1].strip() for l in lines[1:]
                        if l.lower().startswith("proxy-authorization:")]
                try:
                    if not auth:
                        self.steps.append("challenge asked")
                        self.reply(conn, 407, b"Proxy-Authenticate: NTLM\r\n")
                        stage = 1
                        continue
                    scheme, _, token = auth[0].partition(" ")
                    assert scheme == "NTLM", auth
                    msg = base64.b64decode(token, validate=True)
                    assert msg[:8] == b"NTLMSSP\0", msg[:8]
                    kind = struct.unpack_from("<I", msg, 8)[0]
                    if stage == 1:
                        assert kind == 1, kind
                        # libntlm's negotiate message: user, then domain.
                        assert text(field(msg, 16)) == self.user, msg
                        assert text(field(msg, 24)).upper() == self.domain.upper(), msg
                        self.steps.append("negotiate")
                        challenge = base64.b64encode(challenge_message(self.domain))
                        self.reply(conn, 407, b"Proxy-Authenticate: NTLM " + challenge + b"\r\n")
                        stage = 2
                        continue
                    assert stage == 2 and kind == 3, (stage, kind)
                    assert len(field(msg, 12)) == 24 and len(field(msg, 20)) == 24
                    assert text(field(msg, 28)).upper() == self.domain.upper()
                    assert text(field(msg, 36)) == self.user
                    assert lines[0].startswith("GET http://"), lines[0]
                    self.steps.append("authenticate")
                    self.answered += 1
                    self.reply(conn, 200, body=b"behind ntlm\n")
                    stage = 3
                except AssertionError as e:
                    self.errors.append(repr(e))
                    self.reply(conn, 400)
                    return


def test_ntlm_messages_reach_the_parent_in_order(tmp_path, proxy_factory):
    parent = NtlmParent("kvuser", "KVDOM")
    try:
        proxy = proxy_factory(config=forward_config(tmp_path / "n.xml", [
            dict(host="127.0.0.1", port=str(parent.port), user="kvuser", password="pw",
                 ntlm_domain="KVDOM")]))
        with Client(proxy) as c:
            c.send("GET http://origin.test/x HTTP/1.1\r\nHost: origin.test\r\n\r\n")
            reply = c.response()
        assert parent.errors == []
        assert reply.status == 200 and reply.body == b"behind ntlm\n", reply
        assert parent.steps == ["challenge asked", "negotiate", "authenticate"]
    finally:
        parent.stop()
