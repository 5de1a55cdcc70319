"""Fixtures that run the real kelvarine binary against real peers.

Every peer listens on 127.0.0.1 on a free port inside a temporary directory.
The proxy runs under `unshare -m` with a test hosts file and a resolv.conf
naming only 127.0.0.1 bind-mounted over the machine's own, so no lookup
leaves the machine and the machine's files are never changed.
"""
import copy
import functools
import os
import platform
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from procs import free_port, stop_process, wait_port  # noqa: F401 (shared with the tests)

ROOT = Path(__file__).resolve().parents[2]
BINARY = Path(os.environ.get("KV_BINARY", ROOT / "build-asan" / "kelvarine"))
SCHEMA = ROOT / "etc" / "section.xml"
DEFAULT_CONFIG = ROOT / "etc" / "kelvarine.xml"

# Names the tests may use; all resolve to loopback inside the proxy's
# mount namespace.
TEST_HOSTS = {
    "origin.test": "127.0.0.1",
    "www.origin.test": "127.0.0.1",
}


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    """The tests' temporary directories live under a directory of this run's
    own instead of /tmp/pytest-of-<user>: pytest makes that one private again
    whenever another session starts, and the peers whose workers run as
    nobody (nginx, vsftpd) would then be shut out of their files in the
    middle of a test.  It is removed after a run that passed."""
    if config.option.basetemp is None:
        base = Path(tempfile.mkdtemp(prefix="kelvarine-tests-"))
        base.chmod(0o755)
        config.option.basetemp = str(base / "run")
        config.stash[RUN_DIR] = base


def pytest_sessionfinish(session, exitstatus):
    base = session.config.stash.get(RUN_DIR, None)
    if base is not None and exitstatus == 0:
        shutil.rmtree(base, ignore_errors=True)


RUN_DIR = pytest.StashKey[Path]()


# A ThreadSanitizer build goes on after a report so that one test shows
# every race it meets, and then ends with status 66 instead of 0.  The
# suppressions name only reports wholly inside the C library.
TSAN_OPTIONS = ("halt_on_error=0:exitcode=66:history_size=4:second_deadlock_stack=1:"
                f"suppressions={ROOT / 'tests' / 'tsan.supp'}")


@functools.lru_cache(maxsize=None)
def binary_is_tsan():
    """Whether the binary under test carries ThreadSanitizer."""
    try:
        return b"__tsan_init" in BINARY.read_bytes()
    except OSError:
        return False


@functools.lru_cache(maxsize=None)
def launcher():
    """What the proxy's command line starts with.  ThreadSanitizer refuses
    to start ("unexpected memory mapping") where the kernel randomises mmap
    more than its fixed shadow layout allows; the binary then runs with
    randomisation off."""
    if not binary_is_tsan():
        return []
    probe = subprocess.run([str(BINARY)], capture_output=True, text=True,
                           errors="replace", timeout=60)
    if "unexpected memory mapping" in probe.stdout + probe.stderr:
        return ["setarch", platform.machine(), "-R"]
    return []


class Nginx:
    """nginx as the origin server, serving files from `root`."""

    def __init__(self, tmp: Path, extra_conf: str = ""):
        open_for_nginx(tmp)
        self.dir = tmp / "nginx"
        self.root = self.dir / "html"
        self.root.mkdir(parents=True)
        self.port = free_port()
        self.access_log = self.dir / "access.log"
        conf = f"""
daemon off;
worker_processes 1;
pid {self.dir}/nginx.pid;
error_log {self.dir}/error.log warn;
events {{ worker_connections 1024; }}
http {{
    log_format kv '$remote_addr $connection $connection_requests "$request" $status $body_bytes_sent $request_length';
    access_log {self.access_log} kv;
    client_body_temp_path {self.dir}/body;
    proxy_temp_path {self.dir}/proxy;
    fastcgi_temp_path {self.dir}/fastcgi;
    uwsgi_temp_path {self.dir}/uwsgi;
    scgi_temp_path {self.dir}/scgi;
    client_max_body_size 0;
    keepalive_requests 10000;
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{self.port};
        root {self.root};
        {extra_conf}
    }}
}}
"""
        (self.dir / "nginx.conf").write_text(conf)
        self.proc = subprocess.Popen(
            ["/usr/sbin/nginx", "-c", str(self.dir / "nginx.conf"), "-p", str(self.dir)],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_port(self.port, proc=self.proc)

    def stop(self):
        stop_process(self.proc)

    def log_lines(self, at_least=0):
        """The lines of the access log.  nginx writes a request's line after
        its answer has gone, so a caller that counts requests it saw
        answered waits (up to 10 s) for at least that many lines."""
        def lines():
            if not self.access_log.exists():
                return []
            return self.access_log.read_text().splitlines()
        wait_until(lambda: len(lines()) >= at_least)
        return lines()


class Proxy:
    """The kelvarine binary in the foreground in its own mount namespace."""

    def __init__(self, tmp: Path, config: Path = None, hosts: dict = None,
                 extra_args=(), listen_host="127.0.0.1", port=None, prelude="",
                 nameserver="127.0.0.1"):
        self.dir = tmp / "proxy"
        self.dir.mkdir(parents=True, exist_ok=True)
        # A configuration that names the listener needs its port up front.
        self.port = port or free_port(listen_host)
        self.host = listen_host
        self.config = self.dir / "kelvarine.xml"
        shutil.copy(config or DEFAULT_CONFIG, self.config)
        self.native_log = self.dir / "kelvarine.log"
        self.access_log = self.dir / "access.log"
        self.extended_log = self.dir / "extended.log"
        self.perf_log = self.dir / "performance.log"
        entries = dict(TEST_HOSTS)
        entries.update(hosts or {})
        hosts_file = self.dir / "hosts"
        hosts_file.write_text("127.0.0.1 localhost\n" +
                              "".join(f"{ip} {name}\n" for name, ip in entries.items()))
        resolv = self.dir / "resolv.conf"
        resolv.write_text(f"nameserver {nameserver}\noptions timeout:1 attempts:1\n")
        args = [str(BINARY), "-f", "-c", str(self.config), "-s", str(SCHEMA),
                "-L", f"{listen_host}:{self.port}",
                "-a", str(self.access_log), "-l", str(self.native_log),
                "-e", str(self.extended_log), "-r", str(self.perf_log),
                *extra_args]
        # `prelude`: shell commands run inside the proxy's mount namespace
        # before it starts (a small file system for a store, say).
        script = ('mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/resolv.conf '
                  f'&& {prelude + " && " if prelude else ""}shift 2 && exec "$@"')
        self.stdout = open(self.dir / "stdout.txt", "wb")
        env = dict(os.environ)
        env.setdefault("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=0")
        env.setdefault("TSAN_OPTIONS", TSAN_OPTIONS)
        self.proc = subprocess.Popen(
            ["unshare", "-m", "sh", "-c", script, "sh", str(hosts_file), str(resolv),
             *launcher(), *args],
            stdout=self.stdout, stderr=subprocess.STDOUT, env=env)
        wait_port(self.port, host=listen_host, proc=self.proc)

    @property
    def url(self):
        return f"http://{self.host}:{self.port}"

    def stop(self):
        rc = stop_process(self.proc)
        self.stdout.close()
        return rc

    def output(self):
        return (self.dir / "stdout.txt").read_text(errors="replace")


@pytest.fixture
def origin(tmp_path):
    server = Nginx(tmp_path)
    yield server
    server.stop()


@pytest.fixture
def proxy_factory(tmp_path):
    started = []

    def start(**kwargs):
        p = Proxy(tmp_path, **kwargs)
        started.append(p)
        return p

    yield start
    for p in started:
        p.stop()
    # Reports printed late (a race met while the process ends, ThreadSanitizer's
    # summary at exit) fail the test as well.
    reports = [line for p in started for line in sanitizer_reports(p)]
    if reports:
        pytest.fail("sanitizer reports from the proxy:\n" + "\n".join(reports[:40]),
                    pytrace=False)


# ------------------------------------------------- configuration copies

def write_config(path, edit=None):
    """The shipped configuration written to `path`, first changed by
    edit(root) when given."""
    tree = ET.parse(DEFAULT_CONFIG)
    if edit is not None:
        edit(tree.getroot())
    tree.write(path, encoding="UTF-8", xml_declaration=True)
    return path


def set_fields(element, **fields):
    """Sets the text of existing child fields of a section or rule."""
    for key, value in fields.items():
        child = element.find(key)
        assert child is not None, f"<{element.tag}> has no <{key}>"
        child.text = value
    return element


def add_item(parent, tag, model, **fields):
    """Appends a copy of the rule `model` as an item named `tag`, with some
    of its fields changed."""
    item = copy.deepcopy(model)
    item.tag = tag
    set_fields(item, **fields)
    parent.append(item)
    return item


# ------------------------------------------------------- raw HTTP client

class Reply:
    def __init__(self, status, reason, headers, body):
        self.status = status
        self.reason = reason
        self.headers = headers  # [(name, value)] in arrival order
        self.body = body
        self.head = ""  # the head as it arrived, status line first

    def header(self, name):
        """The value of the first line of that name (without case), or None."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def __repr__(self):
        return f"<Reply {self.status} {self.headers} {self.body[:300]!r}>"


class ScriptedServer:
    """A TCP server on 127.0.0.1 for origins the tests script themselves:
    every accepted connection is given to `handle(conn)` on a thread of its
    own.  `stopped` is set, and the listener closed, by stop()."""

    def __init__(self, backlog=64):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(backlog)
        self.port = self.sock.getsockname()[1]
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"http://origin.test:{self.port}{path}"

    def stop(self):
        self.stopped.set()
        # A close alone does not wake a thread blocked in accept(); a
        # shutdown of the listener does.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join(timeout=30)

    def _serve(self):
        while not self.stopped.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.handle, args=(conn,), daemon=True).start()

    @staticmethod
    def read_head(conn):
        """The request head (with whatever followed it in the same reads),
        or None when the peer closed first."""
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = conn.recv(4096)
            if not chunk:
                return None
            head += chunk
        return head

    def handle(self, conn):
        raise NotImplementedError


class Reader:
    """Reads HTTP responses one after the other from a connected socket.
    The bytes after a response stay in `buf` for the next one: answers to
    pipelined requests may arrive in one segment, and a reader that drops
    them waits in vain for the next answer."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

    def _more(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError(self.buf)
        self.buf += chunk

    def take(self, n):
        """The next n bytes (a body of known length)."""
        if len(self.buf) < n:
            # Gathered in a list and joined once: a body of tens of MiB
            # would otherwise be copied once per read.
            parts, have = [self.buf], len(self.buf)
            while have < n:
                chunk = self.sock.recv(min(max(n - have, 65536), 1 << 20))
                if not chunk:
                    raise EOFError(b"".join(parts))
                parts.append(chunk)
                have += len(chunk)
            self.buf = b"".join(parts)
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def _line(self):
        while b"\r\n" not in self.buf:
            self._more()
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def next_head(self):
        """The next message head without its blank line, the rest kept (a
        scripted server reads the requests of a connection with it); None
        when the peer closed before a head began."""
        try:
            while b"\r\n\r\n" not in self.buf:
                self._more()
        except EOFError:
            if self.buf == b"":
                return None
            raise
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        return head

    def response(self, head_only=False):
        """The next response; `head_only` for the answer to a HEAD request."""
        head = self.next_head()
        if head is None:
            raise EOFError(b"")
        lines = head.decode("latin-1").split("\r\n")
        m = re.match(r"HTTP/1\.[01] (\d{3}) ?(.*)$", lines[0])
        assert m, lines[0]
        headers = [tuple(part.strip() for part in line.split(":", 1)) for line in lines[1:]]
        reply = Reply(int(m.group(1)), m.group(2), headers, b"")
        reply.head = head.decode("latin-1")
        if head_only or reply.status in (204, 304) or 100 <= reply.status < 200:
            return reply
        length = reply.header("Content-Length")
        if (reply.header("Transfer-Encoding") or "").lower() == "chunked":
            body = []
            while True:
                size = int(self._line().split(b";")[0], 16)
                if size == 0:
                    while self._line() != b"":
                        pass
                    break
                body.append(self.take(size))
                self.take(2)
            reply.body = b"".join(body)
        elif length is not None:
            reply.body = self.take(int(length))
        else:
            parts = [self.buf]
            while True:
                chunk = self.sock.recv(1 << 20)
                if not chunk:
                    break
                parts.append(chunk)
            reply.body, self.buf = b"".join(parts), b""
        return reply

    def closed(self, timeout=5.0):
        """True when the peer closes the connection with nothing more sent."""
        self.sock.settimeout(timeout)
        try:
            while True:
                self._more()
        except EOFError:
            return self.buf == b""
        except ConnectionResetError:
            return self.buf == b""
        except socket.timeout:
            return False


class Client(Reader):
    """One client connection to the proxy, optionally from another loopback
    address, that reads responses one by one."""

    def __init__(self, proxy, source=None, timeout=10.0):
        sock = socket.socket()
        sock.settimeout(timeout)
        if source is not None:
            sock.bind((source, 0))
        sock.connect((proxy.host, proxy.port))
        super().__init__(sock)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data.encode("latin-1") if isinstance(data, str) else data)


def exchange(proxy, request, source=None, head_only=False, check_close=False):
    """Sends one request on a new connection: (reply, whether the proxy
    then closed it; None unless `check_close`)."""
    with Client(proxy, source=source) as c:
        c.send(request)
        reply = c.response(head_only=head_only)
        return reply, c.closed() if check_close else None


def recv_all(sock, timeout=10.0):
    """Everything the peer sends until it closes; None if it stays open."""
    sock.settimeout(timeout)
    data = b""
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return data
            data += chunk
    except socket.timeout:
        return None
    except ConnectionResetError:
        return data


# ------------------------------------------------------------ log files

def access_log_records(proxy):
    """The records of the proxy's access log as dicts."""
    if not proxy.access_log.exists():
        return []
    out = []
    for line in proxy.access_log.read_text().splitlines():
        if not line or line.startswith("#"):
            continue
        f = line.split(" ")
        code, status = f[3].split("/")
        peercode, peer = f[8].split("/", 1)
        out.append({"client": f[2], "code": code, "status": int(status), "size": int(f[4]),
                    "method": f[5], "url": f[6], "user": f[7], "peercode": peercode,
                    "peer": peer, "mime": f[9]})
    return out


EXTENDED_RECORD = re.compile(
    r'^"(?P<id>[^"]*)" (?P<elapsed>-?\d+) (?P<client>\S*) "(?P<user>[^"]*)" "(?P<clientid>\d+)" '
    r'\[(?P<date>[^\]]*)\] "(?P<method>\S*) (?P<url>\S*)" (?P<status>-?\d+) (?P<size>-?\d+) '
    r'"(?P<referer>[^"]*)" "(?P<agent>[^"]*)" (?P<mime>\S*) "(?P<filter>[^"]*)" '
    r'"(?P<profiles>[^"]*)" "(?P<interface>[^"]*)"$')


def extended_log_records(proxy):
    """The records of the proxy's extended log as dicts of their fields."""
    if not proxy.extended_log.exists():
        return []
    out = []
    for line in proxy.extended_log.read_text().splitlines():
        if not line or line.startswith("#"):
            continue
        m = EXTENDED_RECORD.match(line)
        assert m, line
        rec = m.groupdict()
        rec["status"] = int(rec["status"])
        rec["size"] = int(rec["size"])
        out.append(rec)
    return out


def wait_until(predicate, timeout=10.0):
    """The first true value of predicate() within the time-out, else its last."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    return predicate()


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def idle_thread_count(pid, quiet=1.5, timeout=30.0):
    """The proxy's thread count once start-up has settled: its service
    threads start after the listeners open, one after the other, and on a
    loaded machine (or under ThreadSanitizer) seconds may pass between
    two of them.  The count taken is one that stayed the same on every
    read, 0.25 s apart, for `quiet` seconds (its last value at the
    time-out)."""
    deadline = time.monotonic() + timeout
    value, since = thread_count(pid), time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.25)
        now = thread_count(pid)
        if now != value:
            value, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            break
    return value


def sanitizer_reports(proxy):
    """Lines of sanitizer reports the proxy printed: AddressSanitizer's,
    UndefinedBehaviorSanitizer's ("runtime error:") and ThreadSanitizer's
    ("WARNING: ThreadSanitizer: data race ...", with the stacks that
    follow)."""
    lines = proxy.output().splitlines()
    out = []
    in_tsan = False
    for line in lines:
        if "ThreadSanitizer" in line:
            # A report's stacks run from its first line to its summary.
            in_tsan = "WARNING: ThreadSanitizer" in line or "ERROR: ThreadSanitizer" in line
            out.append(line)
        elif in_tsan:
            out.append(line)
        elif "AddressSanitizer" in line or "runtime error:" in line:
            out.append(line)
    return out


def open_for_nginx(tmp):
    """nginx's workers run as nobody: the directories down to the test's
    temporary directory, where each Nginx keeps its document root, must be
    searchable."""
    for d in [tmp, *tmp.parents]:
        if d in (Path("/tmp"), Path("/")):
            break
        d.chmod(0o755)
