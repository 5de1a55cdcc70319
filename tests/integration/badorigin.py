"""An origin server that misbehaves on purpose, one way per path, for the
tests of what the proxy does when the server side cannot be trusted."""
import os

from conftest import ScriptedServer

# What each path makes the server do after it has read the request head.
#   /garbage    bytes that are no status line, then the connection stays open
#   /stall      a head announcing 100000 bytes and 100 of them, then silence
#   /cut        a head announcing 100000 bytes, 1000 of them, then a close
#   /endless    a status line followed by header lines without end
#   /endlessline  a status line followed by one header line without end
#   anything else  a small well-formed answer
STALL_SECONDS = 120
ENDLESS_CAP = 256 * 1024 * 1024


class BadOrigin(ScriptedServer):
    def __init__(self):
        # Bytes written by each /endless* answer before the proxy gave up.
        self.endless_sent = []
        super().__init__()

    def handle(self, conn):
        try:
            conn.settimeout(STALL_SECONDS)
            head = self.read_head(conn)
            if head is None:
                return
            path = head.split(b" ", 2)[1].decode("latin-1")
            self._answer(conn, path)
        except OSError:
            pass
        finally:
            conn.close()

    def _answer(self, conn, path):
        if path.startswith("/garbage"):
            conn.sendall(os.urandom(64).replace(b"\n", b"") + b"\x00\x01junk\r\n\r\n")
            self.stopped.wait(STALL_SECONDS)
        elif path.startswith("/stall"):
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         b"Content-Length: 100000\r\n\r\n" + b"s" * 100)
            self.stopped.wait(STALL_SECONDS)
        elif path.startswith("/cut"):
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         b"Content-Length: 100000\r\n\r\n" + b"c" * 1000)
        elif path.startswith("/endlessline"):
            self._endless(conn, b"HTTP/1.1 200 OK\r\nX-Endless: ", lambda i: b"e" * 8192)
        elif path.startswith("/endless"):
            self._endless(conn, b"HTTP/1.1 200 OK\r\n", lambda i: b"X-Fill-%d: %s\r\n" % (i, b"f" * 100))
        else:
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                         b"Content-Length: 3\r\n\r\nok\n")

    def _endless(self, conn, start, piece):
        """Writes the start and then pieces until the peer stops reading
        (closes, or reads nothing for 30 s) or the cap is reached."""
        conn.settimeout(30)
        sent = 0
        i = 0
        try:
            conn.sendall(start)
            while sent < ENDLESS_CAP and not self.stopped.is_set():
                data = piece(i)
                conn.sendall(data)
                sent += len(data)
                i += 1
        except OSError:
            pass
        finally:
            self.endless_sent.append(sent)
