"""Fixtures that run the real kelvarine binary against real peers.

Every peer listens on 127.0.0.1 on a free port inside a temporary directory.
The proxy runs under `unshare -m` with a test hosts file and a resolv.conf
naming only 127.0.0.1 bind-mounted over the machine's own, so no lookup
leaves the machine and the machine's files are never changed.
"""
import os
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

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


def free_port(host="127.0.0.1"):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_port(port, host="127.0.0.1", timeout=20.0, proc=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError(f"process exited with {proc.returncode} before listening")
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise TimeoutError(f"nothing listens on {host}:{port}")


def stop_process(proc, timeout=15.0):
    if proc.poll() is not None:
        return proc.returncode
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait(timeout=timeout)


class Nginx:
    """nginx as the origin server, serving files from `root`."""

    def __init__(self, tmp: Path, extra_conf: str = ""):
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

    def log_lines(self):
        if not self.access_log.exists():
            return []
        return self.access_log.read_text().splitlines()


class Proxy:
    """The kelvarine binary in the foreground in its own mount namespace."""

    def __init__(self, tmp: Path, config: Path = None, hosts: dict = None,
                 extra_args=(), listen_host="127.0.0.1"):
        self.dir = tmp / "proxy"
        self.dir.mkdir(parents=True, exist_ok=True)
        self.port = free_port(listen_host)
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
        resolv.write_text("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
        args = [str(BINARY), "-f", "-c", str(self.config), "-s", str(SCHEMA),
                "-L", f"{listen_host}:{self.port}",
                "-a", str(self.access_log), "-l", str(self.native_log),
                "-e", str(self.extended_log), "-r", str(self.perf_log),
                *extra_args]
        script = ('mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/resolv.conf '
                  '&& shift 2 && exec "$@"')
        self.stdout = open(self.dir / "stdout.txt", "wb")
        env = dict(os.environ)
        env.setdefault("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=0")
        self.proc = subprocess.Popen(
            ["unshare", "-m", "sh", "-c", script, "sh", str(hosts_file), str(resolv), *args],
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
