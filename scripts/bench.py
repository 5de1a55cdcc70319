#!/usr/bin/env python3
"""kelvarine benchmark: the proxy against a real nginx origin on 127.0.0.1.

Every scenario runs twice in the same run: once with the load generator
talking to nginx directly, once through kelvarine, and the table shows
both and their ratio.  Scenarios (1)-(3) use wrk; (4) uses
scripts/bench/idle.py.

    (1) 1 KiB responses over 50 keep-alive connections
    (2) 1 MiB responses over 8 keep-alive connections
    (3) 1 KiB responses, a new connection for every request
    (4) 10,000 idle keep-alive connections: memory and threads while they
        idle, then one request on each
    (5) as (1) with Basic credentials of a system account, verified once by
        PAM and then answered from the password cache; compared with the
        unauthenticated proxy rate of (1) in the same run (a test account
        and a PAM service of the benchmark's own exist during the run)
    (6) filtering: a 128 KiB HTML page through the keyword filter (50 rules)
        and the URL filter (1,000 rules) beside the same page unfiltered,
        as CPU time per request and per KiB scanned; and 1 KiB responses
        with the 1,000 URL rules beside none
    (7) the HTML stream parser alone (scripts/bench/hstream.cpp): MiB/s on a
        32 MiB page fed in 8 KiB pieces
    (8) 1 MiB responses over TLS through a CONNECT tunnel, against the same
        TLS nginx reached directly (one keep-alive connection each)
    (9) 1 KiB responses through kelvarine forwarding to a tinyproxy parent,
        against tinyproxy reached directly (wrk, 50 keep-alive connections)
    (a) 1 KiB cache hits over 50 keep-alive connections
    (b) 64 KiB cache hits over 50 keep-alive connections
    (c) a 1 MiB response scanned through ClamAV (INSTREAM) and through
        c-icap's RESPMOD echo service: the latency added and the proxy's
        CPU per MiB beside the same response unscanned
    (d) uncacheable pass-through: 1 KiB, 64 KiB and 1 MiB responses marked
        "Cache-Control: no-store" over 50 keep-alive connections, through
        one proxy with the object cache on and one with it off, their runs
        alternated; the CPU per request of both

The wrk table gives, for nginx direct and for kelvarine, the server's CPU
microseconds per request and, counted by `perf stat` over the middle half
of each run (context switches from /proc where perf is missing), its system
calls and context switches per request.

Every scenario but (a), (b) and (d) runs the proxy with its object cache off,
so they measure relaying; (a) and (b) with it on, after one request has
stored the file; (d) both ways.

Run as root on Debian (wrk is installed with apt-get when missing):
    python3 scripts/bench.py --binary build-bench/kelvarine
This is a measurement, not a test: it exits 0 whenever it could measure,
whether the targets are met or not, and 1 when it could not run.
"""
import argparse
import base64
import json
import os
import resource
import secrets
import shutil
import shlex
import socket
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HELPERS = ROOT / "scripts" / "bench"
# The idle helper's reader of /proc/PID/status serves the sampler too.
sys.path.insert(0, str(HELPERS))
from idle import proc_status  # noqa: E402
# Port and process helpers are the integration tests' own.
sys.path.insert(0, str(ROOT / "tests" / "integration"))
from procs import free_port, stop_process, wait_port  # noqa: E402
from scanners import CIcap, Clamd  # noqa: E402
CONFIG = ROOT / "etc" / "kelvarine.xml"
SCHEMA = ROOT / "etc" / "section.xml"
HOST = "127.0.0.1"
NOFILE = 65536

# Scenarios run by wrk: (key, title, file, connections, new connection per
# request, object cache on)
WRK_SCENARIOS = [
    ("1", "1 KiB, 50 keep-alive conns", "1k", 50, False, False),
    ("2", "1 MiB, 8 keep-alive conns", "1m", 8, False, False),
    ("3", "1 KiB, new conn per request", "1k", 50, True, False),
    ("a", "1 KiB cache hits, 50 conns", "old-1k", 50, False, True),
    ("b", "64 KiB cache hits, 50 conns", "old-64k", 50, False, True),
]
# Targets of the proxy/direct ratio: scenario -> (measure, lowest ratio)
TARGETS = {"1": ("request rate", 0.25), "2": ("transfer rate", 0.60), "3": ("request rate", 0.30),
           "a": ("request rate", 0.70), "b": ("transfer rate", 0.80)}
TUNNEL_TARGET = 0.8
# Cost per request of (1) through kelvarine: CPU microseconds, system calls
# and context switches per request, and the lowest proxy/direct rate.
COST_TARGETS = {"cpu_us": 40.0, "syscalls": 8.0, "switches": 1.0, "rate": 0.50}
IDLE_RSS_TARGET_KIB = 256 * 1024
# Authenticated 1 KiB rate against the unauthenticated proxy rate of (1).
AUTH_TARGET = 0.90
# (d): files served with "Cache-Control: no-store" (title, file, size);
# the CPU per request with the cache on against off may be at most this.
UNCACHEABLE_FILES = [("1 KiB", "nostore-1k", 1024), ("64 KiB", "nostore-64k", 65536),
                     ("1 MiB", "nostore-1m", 1024 * 1024)]
UNCACHEABLE_TARGET = 1.05


def say(text=""):
    print(text, flush=True)


def ensure_wrk():
    if shutil.which("wrk"):
        return
    if os.geteuid() != 0:
        raise RuntimeError("wrk is missing and only root can install it: apt-get install wrk")
    say("bench: installing wrk")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    cmd = ["apt-get", "install", "-y", "-q", "--no-install-recommends", "wrk"]
    if subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL).returncode != 0:
        subprocess.run(["apt-get", "update", "-q"], env=env, stdout=subprocess.DEVNULL, check=True)
        subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, check=True)
    if not shutil.which("wrk"):
        raise RuntimeError("wrk is still missing after apt-get install wrk")


def raise_nofile():
    """Raises the descriptor limit, inherited by nginx, the proxy, wrk and
    idle.py: 10,000 connections need more than the usual 1024 or 20000."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= NOFILE:
        return
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (NOFILE, max(NOFILE, hard)))
    except (ValueError, OSError):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def cpu_ticks(pids):
    total = 0
    for pid in pids:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total


class Sampler:
    """Samples the peak thread count and resident memory of processes while
    a run goes on, and their CPU time over the run."""

    def __init__(self, pids):
        self.pids = pids
        self.peak_threads = self.peak_rss = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            rss, threads = proc_status(self.pids)
            if rss is None:  # a process is gone
                return
            self.peak_threads = max(self.peak_threads, threads)
            self.peak_rss = max(self.peak_rss, rss)
            self._stop.wait(0.25)

    def __enter__(self):
        self._t0 = time.monotonic()
        self._c0 = cpu_ticks(self.pids)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        try:
            ticks = cpu_ticks(self.pids) - self._c0
        except OSError:
            ticks = 0
        self.cpu = ticks / os.sysconf("SC_CLK_TCK") / (time.monotonic() - self._t0)
        self.cpu_seconds = ticks / os.sysconf("SC_CLK_TCK")


def task_switches(pids):
    """Voluntary and involuntary context switches of every live thread of
    the processes (those of threads that ended are lost)."""
    total = 0
    for pid in pids:
        try:
            tasks = os.listdir(f"/proc/{pid}/task")
        except OSError:
            continue
        for tid in tasks:
            try:
                with open(f"/proc/{pid}/task/{tid}/status") as f:
                    for line in f:
                        if line.startswith(("voluntary_ctxt_switches:",
                                            "nonvoluntary_ctxt_switches:")):
                            total += int(line.split()[1])
            except OSError:
                pass
    return total


class CostCounter:
    """System calls and context switches of processes over the middle half
    of a run of `seconds`, by `perf stat` (threads started later count
    too); without perf, context switches from /proc and no system calls.
    The window leaves out the start and end of the run, and its counts
    divided by the requests of the window (the run's rate times the window)
    give the cost per request.  perf is attached only for the window, so
    the CPU time of the whole run is little disturbed by its tracing."""

    def __init__(self, pids, seconds):
        self.pids = [p for p in pids if p]
        self.skip = seconds / 4
        self.window = seconds / 2
        self.syscalls = self.switches = None
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        time.sleep(self.skip)
        perf = shutil.which("perf")
        if perf and self.pids:
            with tempfile.NamedTemporaryFile(prefix="bench-perf-", suffix=".txt") as out:
                cmd = [perf, "stat", "-x", ",", "-o", out.name,
                       "-e", "raw_syscalls:sys_enter,context-switches",
                       "-p", ",".join(str(p) for p in self.pids),
                       "--", "sleep", f"{self.window:.2f}"]
                start = time.monotonic()
                r = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.window = time.monotonic() - start
                if r.returncode == 0:
                    for line in Path(out.name).read_text().splitlines():
                        fields = line.split(",")
                        if len(fields) < 3 or not fields[0].strip().isdigit():
                            continue
                        if fields[2].startswith("raw_syscalls:sys_enter"):
                            self.syscalls = int(fields[0])
                        elif fields[2].startswith("context-switches"):
                            self.switches = int(fields[0])
                    return
        before = task_switches(self.pids)
        start = time.monotonic()
        time.sleep(self.window)
        self.switches = task_switches(self.pids) - before
        self.window = time.monotonic() - start

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._thread.join()

    def per_request(self, rate):
        """(system calls, context switches) per request; None where unknown."""
        n = rate * self.window
        if n <= 0:
            return None, None
        return tuple(None if v is None else v / n for v in (self.syscalls, self.switches))


class Nginx:
    def __init__(self, base, workers):
        self.dir = base / "nginx"
        self.root = self.dir / "html"
        self.root.mkdir(parents=True)
        (self.root / "1k").write_bytes(os.urandom(1024))
        (self.root / "1m").write_bytes(os.urandom(1024 * 1024))
        # Files a day old stay fresh in the cache for hours.
        day_ago = time.time() - 86400
        for name, size in (("old-1k", 1024), ("old-64k", 65536)):
            (self.root / name).write_bytes(os.urandom(size))
            os.utime(self.root / name, (day_ago, day_ago))
        # The same age, but the origin forbids storing them.
        for _, name, size in UNCACHEABLE_FILES:
            (self.root / name).write_bytes(os.urandom(size))
            os.utime(self.root / name, (day_ago, day_ago))
        self.port = free_port()
        conf = f"""
daemon off;
worker_processes {workers};
worker_rlimit_nofile {NOFILE};
pid {self.dir}/nginx.pid;
error_log {self.dir}/error.log warn;
events {{ worker_connections 30000; }}
http {{
    access_log off;
    client_body_temp_path {self.dir}/body;
    proxy_temp_path {self.dir}/proxy;
    fastcgi_temp_path {self.dir}/fastcgi;
    uwsgi_temp_path {self.dir}/uwsgi;
    scgi_temp_path {self.dir}/scgi;
    keepalive_requests 100000000;
    keepalive_timeout 120s;
    default_type application/octet-stream;
    server {{
        listen {HOST}:{self.port} backlog=4096;
        root {self.root};
        location = /bench-status {{ stub_status; }}
        location /nostore- {{ add_header Cache-Control no-store; }}
    }}
}}
"""
        (self.dir / "nginx.conf").write_text(conf)
        self.proc = subprocess.Popen(
            ["/usr/sbin/nginx", "-c", str(self.dir / "nginx.conf"), "-p", str(self.dir)],
            stdout=subprocess.DEVNULL, stderr=open(self.dir / "stderr.txt", "wb"))
        wait_port(self.port, proc=self.proc)
        deadline = time.monotonic() + 10
        while not self.workers() and time.monotonic() < deadline:
            time.sleep(0.05)

    def workers(self):
        try:
            return [int(p) for p in
                    Path(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children").read_text().split()]
        except OSError:
            return []

    def status(self):
        """(accepted connections, requests) so far, from stub_status."""
        with socket.create_connection((HOST, self.port), timeout=5) as s:
            s.sendall(f"GET /bench-status HTTP/1.0\r\nHost: {HOST}\r\n\r\n".encode())
            data = b""
            while chunk := s.recv(4096):
                data += chunk
        lines = data.decode(errors="replace").split("\r\n\r\n", 1)[1].splitlines()
        accepts, handled, requests = (int(x) for x in lines[2].split())
        return accepts, requests

    def stop(self):
        stop_process(self.proc)


class Proxy:
    def __init__(self, base, binary, name, extra=(), config_edit=None,
                 config_source=CONFIG, cache=False):
        self.dir = base / name
        self.dir.mkdir()
        self.port = free_port()
        config = self.dir / "kelvarine.xml"
        tree = ET.parse(config_source)  # a copy: the proxy may save its configuration
        tree.getroot().find("cache/enabled").text = "true" if cache else "false"
        if config_edit is not None:
            config_edit(tree.getroot())
        tree.write(config, encoding="UTF-8", xml_declaration=True)
        self.output = self.dir / "stdout.txt"
        self.proc = subprocess.Popen(
            [str(binary), "-f", "-c", str(config), "-s", str(SCHEMA),
             "-L", f"{HOST}:{self.port}",
             "-l", str(self.dir / "kelvarine.log"), "-a", str(self.dir / "access.log"),
             "-e", str(self.dir / "extended.log"), "-r", str(self.dir / "performance.log"),
             *extra],
            cwd=self.dir, stdout=open(self.output, "wb"), stderr=subprocess.STDOUT)
        wait_port(self.port, proc=self.proc)

    def tail(self, lines=15):
        text = self.output.read_text(errors="replace").splitlines()
        return "\n".join("    " + line for line in text[-lines:])

    def stop(self):
        return stop_process(self.proc)


def fetch(port, target, host, timeout=10):
    """One GET over a fresh connection; returns (status, body)."""
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall(f"GET {target} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    if b"transfer-encoding: chunked" in head.lower():
        out, pos = b"", 0
        while True:
            eol = body.index(b"\r\n", pos)
            size = int(body[pos:eol].split(b";")[0], 16)
            if size == 0:
                break
            out += body[eol + 2:eol + 2 + size]
            pos = eol + 2 + size + 2
        body = out
    return status, body


def run_wrk(args, port, target, origin, close, conns, log, auth=None):
    env = dict(os.environ, BENCH_PATH=target, BENCH_HOST=origin, BENCH_CLOSE="1" if close else "0")
    if auth:
        env["BENCH_AUTH"] = auth
    cmd = ["wrk", "-t", str(min(args.threads, conns)), "-c", str(conns), "-d", f"{args.duration}s",
           "--timeout", "10s", "-s", str(HELPERS / "request.lua"), f"http://{HOST}:{port}/"]
    out = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         timeout=args.duration + 60).stdout.decode(errors="replace")
    log.write_text(out)
    for line in out.splitlines():
        if line.startswith("BENCH-RESULT "):
            r = json.loads(line[len("BENCH-RESULT "):])
            secs = r["duration_us"] / 1e6
            r["rate"] = r["requests"] / secs
            r["mib_s"] = r["bytes"] / secs / 1048576
            r["errors"] = sum(r[k] for k in r if k.startswith("err_"))
            return r
    raise RuntimeError(f"wrk gave no result:\n{out}")


def ms(us):
    return f"{us / 1000:.2f}ms"


def cost_columns(r, sampler, counter):
    """CPU microseconds, system calls and context switches per request of a
    wrk result, from the run's sampler and cost counter."""
    r["cpu_us"] = sampler.cpu_seconds * 1e6 / r["requests"] if r["requests"] else None
    r["syscalls"], r["switches"] = counter.per_request(r["rate"])


def per_request(value, digits=1):
    return "-" if value is None else f"{value:.{digits}f}"


def wrk_scenarios(args, base, nginx, results, notes):
    origin = f"{HOST}:{nginx.port}"
    for key, title, name, conns, close, cache in WRK_SCENARIOS:
        if key not in args.scenarios:
            continue
        say(f"bench: ({key}) {title}: direct")
        with Sampler(nginx.workers()) as sd, CostCounter(nginx.workers(), args.duration) as cd:
            direct = run_wrk(args, nginx.port, f"/{name}", origin, close, conns,
                             base / f"wrk-{key}-direct.txt")
        direct["cpu"], direct["threads"] = sd.cpu, sd.peak_threads
        cost_columns(direct, sd, cd)
        results.append((key, title, "direct", direct))
        say(f"bench: ({key}) {title}: through kelvarine")
        proxy = Proxy(base, args.binary, f"proxy-{key}", args.proxy_args, cache=cache)
        target = f"http://{origin}/{name}"
        try:
            status, body = fetch(proxy.port, target, origin)
            if status != 200 or body != (nginx.root / name).read_bytes():
                raise RuntimeError(f"status {status}, {len(body)} bytes")
            before = nginx.status()
            with Sampler([proxy.proc.pid]) as sp, \
                    CostCounter([proxy.proc.pid], args.duration) as cp:
                through = run_wrk(args, proxy.port, target, origin, close, conns,
                                  base / f"wrk-{key}-proxy.txt")
            after = nginx.status()
            through["cpu"], through["threads"] = sp.cpu, sp.peak_threads
            cost_columns(through, sp, cp)
            results.append((key, title, "proxy", through))
            notes.append(f"({key}) through kelvarine: nginx served {after[1] - before[1] - 1} "
                         f"requests on {after[0] - before[0] - 1} new connections for "
                         f"{through['requests']} client requests; proxy threads peaked at "
                         f"{sp.peak_threads}, RSS at {sp.peak_rss // 1024} MiB")
        except (RuntimeError, OSError, ValueError) as e:
            notes.append(f"({key}) through kelvarine: no measure: {e}\n{proxy.tail()}")
        finally:
            rc = proxy.stop()
            if rc not in (0, None):
                notes.append(f"({key}) kelvarine exited with status {rc} after SIGTERM")


class SystemAccount:
    """A throw-away system account and a PAM service of the benchmark's own
    (pam_unix), removed again by close()."""

    def __init__(self):
        suffix = secrets.token_hex(4)
        self.user = f"kvbench{suffix}"
        self.password = "Pw-" + secrets.token_hex(8)
        self.service = f"kelvarine-bench-{suffix}"
        self.pam_file = Path("/etc/pam.d") / self.service
        subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin",
                        self.user], check=True, capture_output=True)
        try:
            subprocess.run(["chpasswd"], input=f"{self.user}:{self.password}\n", text=True,
                           check=True, capture_output=True)
            self.pam_file.write_text("auth required pam_unix.so\naccount required pam_unix.so\n")
        except (OSError, subprocess.CalledProcessError):
            self.close()
            raise

    def close(self):
        self.pam_file.unlink(missing_ok=True)
        subprocess.run(["userdel", self.user], capture_output=True)


def system_accounts_rule(root):
    rule = root.find("access").find("allow")
    rule.find("auth_mode").text = "system_accounts"


def auth_scenario(args, base, nginx, results, notes):
    """(5): scenario (1) with Basic credentials answered from the password
    cache."""
    origin = f"{HOST}:{nginx.port}"
    target = f"http://{origin}/1k"
    account = SystemAccount()
    try:
        credentials = "Basic " + base64.b64encode(
            f"{account.user}:{account.password}".encode()).decode()
        say("bench: (5) 1 KiB, 50 keep-alive conns, Basic from the password cache")
        proxy = Proxy(base, args.binary, "proxy-5",
                      [*args.proxy_args, "-x", account.service], system_accounts_rule)
        try:
            with socket.create_connection((HOST, proxy.port), timeout=10) as s:
                s.sendall(f"GET {target} HTTP/1.1\r\nHost: {origin}\r\n"
                          f"Proxy-Authorization: {credentials}\r\n"
                          "Connection: close\r\n\r\n".encode())
                first = s.recv(65536)
            if not first.startswith(b"HTTP/1.1 200"):
                raise RuntimeError(f"first request: {first[:60]!r}")
            with Sampler([proxy.proc.pid]) as sp, \
                    CostCounter([proxy.proc.pid], args.duration) as cp:
                r = run_wrk(args, proxy.port, target, origin, False, 50,
                            base / "wrk-5-proxy.txt", auth=credentials)
            r["cpu"], r["threads"] = sp.cpu, sp.peak_threads
            cost_columns(r, sp, cp)
            results.append(("5", "1 KiB, 50 conns, Basic (cached)", "auth", r))
        except (RuntimeError, OSError, ValueError) as e:
            notes.append(f"(5) through kelvarine: no measure: {e}\n{proxy.tail()}")
        finally:
            proxy.stop()
    finally:
        account.close()


def print_wrk_table(results):
    head = (f"{'scenario':<34} {'road':<6} {'req/s':>9} {'MiB/s':>8} {'lat avg':>9} "
            f"{'lat p99':>9} {'errors':>6} {'CPU':>5} {'thr':>4} {'ratio req':>9} {'ratio MiB':>9} "
            f"{'us/req':>7} {'sys/req':>7} {'cs/req':>6}")
    say(head)
    say("-" * len(head))
    direct = {}
    ratios = {}
    unauthenticated = None
    for key, title, road, r in results:
        label = f"({key}) {title}" if road in ("direct", "auth") or key not in direct else ""
        ratio_req = ratio_mib = ""
        if key == "1" and road == "proxy":
            unauthenticated = r
        if road == "auth":
            # Against the unauthenticated proxy rate of (1).
            if unauthenticated is not None and unauthenticated["rate"]:
                rq = r["rate"] / unauthenticated["rate"]
                ratios[key] = (rq, 0.0)
                ratio_req = f"{rq:.2f}"
        elif road == "direct":
            direct[key] = r
        elif key in direct:
            d = direct[key]
            rq = r["rate"] / d["rate"] if d["rate"] else 0
            rm = r["mib_s"] / d["mib_s"] if d["mib_s"] else 0
            ratios[key] = (rq, rm)
            ratio_req, ratio_mib = f"{rq:.2f}", f"{rm:.2f}"
        say(f"{label:<34} {road:<6} {r['rate']:>9.0f} {r['mib_s']:>8.1f} {ms(r['lat_mean_us']):>9} "
            f"{ms(r['lat_p99_us']):>9} {r['errors']:>6} {r['cpu']:>5.1f} {r['threads']:>4} "
            f"{ratio_req:>9} {ratio_mib:>9} {per_request(r.get('cpu_us')):>7} "
            f"{per_request(r.get('syscalls'), 2):>7} {per_request(r.get('switches'), 2):>6}")
    return ratios


def run_idle(args, nginx, port, target, pids, log):
    cmd = [sys.executable, str(HELPERS / "idle.py"), "--connect", f"{HOST}:{port}",
           "--target", target, "--host", f"{HOST}:{nginx.port}",
           "--expect", str(nginx.root / "1k"), "--count", str(args.idle_connections),
           "--idle", str(args.idle_seconds)]
    for pid in pids:
        cmd += ["--pid", str(pid)]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         timeout=600).stdout.decode(errors="replace")
    log.write_text(out)
    for line in out.splitlines():
        if line.startswith("IDLE-RESULT "):
            return json.loads(line[len("IDLE-RESULT "):])
    raise RuntimeError(f"idle.py gave no result:\n{out}")


def idle_scenario(args, base, nginx, notes):
    n = args.idle_connections
    say(f"bench: (4) {n} idle keep-alive connections: direct")
    rows = [("direct", run_idle(args, nginx, nginx.port, "/1k", nginx.workers(),
                                base / "idle-direct.txt"))]
    say(f"bench: (4) {n} idle keep-alive connections: through kelvarine")
    proxy = Proxy(base, args.binary, "proxy-4", args.proxy_args)
    try:
        rows.append(("proxy", run_idle(args, nginx, proxy.port, f"http://{HOST}:{nginx.port}/1k",
                                       [proxy.proc.pid], base / "idle-proxy.txt")))
    except (RuntimeError, OSError, ValueError) as e:
        notes.append(f"(4) through kelvarine: no measure: {e}\n{proxy.tail()}")
    finally:
        rc = proxy.stop()
        if rc not in (0, None):
            notes.append(f"(4) kelvarine exited with status {rc} after SIGTERM")
    return dict(rows)


FILTER_URL_RULES = 1000
FILTER_KEYWORD_RULES = 50
FILTER_PAGE_KIB = 128


def filter_item(schema, section, subsection, **values):
    """An item of the section with every field of the schema's template:
    the given values, else the schema's plain defaults (optional fields off)."""
    sec = schema.find(section)
    template = sec.find("subsection").find(subsection).find("template").text
    item = ET.Element(subsection)
    for field in sec.find("template").find(template):
        element = ET.SubElement(item, field.tag)
        kind = field.find("type").text
        if field.find("optional") is not None:
            element.set("active", "false")
            element.text = field.find("value").text
        elif field.tag in values:
            element.text = values[field.tag]
        elif kind == "BOOL":
            element.text = "true" if field.tag == "enabled" else "false"
        elif kind in ("INT", "UINT"):
            element.text = "0"
        elif kind == "STRING_SELECT_ONE":
            element.text = list(sec.find("select").find(field.find("value").text))[0].tag
        else:
            element.text = ""
    return item


def filter_config(path, url_rules, keyword_rules):
    """The shipped configuration with URL deny rules that match no request
    and keyword rules whose scores stay below the threshold, so that every
    request is checked by every rule and still passes."""
    schema = ET.parse(SCHEMA).getroot()
    tree = ET.parse(CONFIG)
    root = tree.getroot()
    if url_rules:
        sec = root.find("url-filtering")
        sec.find("enabled").text = "true"
        sec.find("mode").text = "0"
        for i in range(url_rules):
            sec.append(filter_item(schema, "url-filtering", "deny",
                                   host=rf"^ads{i}\.tracker{i % 37}\.example$",
                                   path=rf"^/banner/{i}/.*\.gif$"))
    if keyword_rules:
        sec = root.find("keywords-filtering")
        sec.find("enabled").text = "true"
        sec.find("threshold").text = "1000000"
        for i in range(keyword_rules):
            sec.append(filter_item(schema, "keywords-filtering", "keywords",
                                   content_type="text/html", body=rf"forbiddenword{i}\b",
                                   score="1"))
    tree.write(path, encoding="UTF-8", xml_declaration=True)
    return path


def filter_page(root):
    words = ("lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod "
             "tempor incididunt ut labore et dolore magna aliqua ").split()
    out, i = [], 0
    while sum(len(x) for x in out) < FILTER_PAGE_KIB * 1024 - 200:
        out.append(f"<p class=\"c{i % 7}\">" + " ".join(words[(i + j) % len(words)]
                                                      for j in range(12)) + "</p>\n")
        i += 1
    body = ("<html><head><title>bench</title></head><body>\n" + "".join(out) +
            "</body></html>\n").encode()
    (root / "page.html").write_bytes(body)
    return len(body)


def filter_scenario(args, base, nginx, notes):
    """Rows (name, requests/s, CPU seconds per request) of the filtering
    scenario; the page is read whole and scored on every filtered request."""
    say("bench: (6) filtering")
    size = filter_page(nginx.root)
    origin = f"{HOST}:{nginx.port}"
    runs = [
        ("128 KiB page, no filter", CONFIG, "page.html", 8),
        ("128 KiB page, keyword + URL filters", "both", "page.html", 8),
        ("1 KiB, no filter", CONFIG, "1k", 50),
        ("1 KiB, 1,000 URL rules", "url", "1k", 50),
    ]
    rows = []
    for i, (title, which, name, conns) in enumerate(runs):
        config = which
        if which == "both":
            config = filter_config(base / "filter-both.xml", FILTER_URL_RULES, FILTER_KEYWORD_RULES)
        elif which == "url":
            config = filter_config(base / "filter-url.xml", FILTER_URL_RULES, 0)
        proxy = Proxy(base, args.binary, f"proxy-6-{i}", args.proxy_args, config_source=config)
        target = f"http://{origin}/{name}"
        try:
            status, body = fetch(proxy.port, target, origin)
            if status != 200 or body != (nginx.root / name).read_bytes():
                raise RuntimeError(f"status {status}, {len(body)} bytes")
            start = time.monotonic()
            with Sampler([proxy.proc.pid]) as sp:
                r = run_wrk(args, proxy.port, target, origin, False, conns,
                            base / f"wrk-5-{i}.txt")
            elapsed = time.monotonic() - start
            cpu_per_request = sp.cpu * elapsed / r["requests"] if r["requests"] else 0
            rows.append((title, r["rate"], cpu_per_request, r["errors"]))
        except (RuntimeError, OSError, ValueError) as e:
            notes.append(f"(6) {title}: no measure: {e}\n{proxy.tail()}")
        finally:
            proxy.stop()
    return rows, size


def print_filter_table(rows, size):
    say(f"(6) filtering: a {size // 1024} KiB HTML page and 1 KiB responses through kelvarine")
    head = f"{'run':<40} {'req/s':>9} {'CPU/request':>12} {'errors':>6}"
    say(head)
    say("-" * len(head))
    by_title = {}
    for title, rate, cpu, errors in rows:
        by_title[title] = (rate, cpu)
        say(f"{title:<40} {rate:>9.0f} {cpu * 1e6:>10.1f}us {errors:>6}")
    plain = by_title.get("128 KiB page, no filter")
    filtered = by_title.get("128 KiB page, keyword + URL filters")
    if plain and filtered:
        per_kib = (filtered[1] - plain[1]) / (size / 1024) * 1e6
        say(f"  filtering costs {per_kib:.2f} us of CPU per KiB scanned (target <= 8)")
    small = by_title.get("1 KiB, no filter")
    ruled = by_title.get("1 KiB, 1,000 URL rules")
    if small and ruled and small[0] and small[1]:
        loss = 1 - ruled[0] / small[0]
        cpu = ruled[1] / small[1] - 1
        say(f"  1,000 URL rules cost {cpu * 100:.1f}% more CPU per 1 KiB request and "
            f"{loss * 100:.1f}% of its rate (target < 10%; the rate follows the machine's load)")


def print_idle_table(args, rows):
    n = args.idle_connections
    say(f"(4) {n} idle keep-alive connections: each primed with one request, idle "
        f"{args.idle_seconds:g} s, then used once")
    head = (f"{'road':<6} {'held':>6} {'closed':>6} {'RSS before':>10} {'RSS idle':>9} "
            f"{'per conn':>9} {'threads':>11} {'thr busy':>8} {'answered':>11} {'use p99':>8}")
    say(head)
    say("-" * len(head))
    for road, r in rows.items():
        held = r["idle_connections"]
        per = (r["idle_rss_kib"] - r["base_rss_kib"]) * 1024 / held if held else 0
        say(f"{road:<6} {held:>6} {r['closed_while_idle']:>6} "
            f"{r['base_rss_kib'] / 1024:>8.1f}Mi {r['idle_rss_kib'] / 1024:>7.1f}Mi "
            f"{per / 1024:>7.1f}Ki {r['base_threads']:>4} -> {r['idle_threads']:<4} "
            f"{r['use']['peak_threads']:>8} {r['answered']:>5}/{n:<5} "
            f"{(r['use']['p99_ms'] or 0):>6.1f}ms")


def parser_scenario(args, notes):
    """(7): the parser benchmark's JSON line, or {} with a note."""
    binary = Path(args.parser_binary) if args.parser_binary else \
        args.binary.parent / "bench_hstream"
    if not binary.is_file():
        notes.append(f"(7) skipped: no parser benchmark at {binary}")
        return {}
    say("bench: (7) HTML stream parser")
    out = subprocess.run([str(binary)], capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        notes.append(f"(7) failed: {out.stderr.strip()[:200]}")
        return {}
    return json.loads(out.stdout.strip().splitlines()[-1])
def tls_open(port, host, tunnel_to=None):
    """A TLS connection to host, directly or through a CONNECT tunnel opened
    on the proxy at `port`."""
    import ssl
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    raw = socket.create_connection((HOST, port), timeout=30)
    if tunnel_to:
        raw.sendall(f"CONNECT {tunnel_to} HTTP/1.1\r\nHost: {tunnel_to}\r\n\r\n".encode())
        answer = b""
        while b"\r\n\r\n" not in answer:
            chunk = raw.recv(4096)
            if not chunk:
                raise RuntimeError("tunnel closed")
            answer += chunk
        if not answer.startswith(b"HTTP/1.1 200"):
            raise RuntimeError(answer.split(b"\r\n")[0].decode(errors="replace"))
    return ctx.wrap_socket(raw, server_hostname=host)


def tls_rate(port, host, seconds, tunnel_to=None):
    """MiB/s of 1 MiB GETs over a kept-alive TLS connection, directly or
    through a CONNECT tunnel opened on the proxy at `port`.  When the
    server ends the connection between answers (nginx does after its
    keepalive_requests), the next request goes on a new one."""
    s = tls_open(port, host, tunnel_to)
    total, start = 0, time.monotonic()
    request = f"GET /1m HTTP/1.1\r\nHost: {host}\r\n\r\n".encode()
    buf = bytearray(1 << 20)
    view = memoryview(buf)
    answered = 0
    while time.monotonic() - start < seconds:
        s.sendall(request)
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = s.recv(4096)
            if not chunk:
                break
            head += chunk
        if b"\r\n\r\n" not in head:
            if head or answered == 0:
                raise RuntimeError("the TLS connection closed before a response head")
            s.close()
            s = tls_open(port, host, tunnel_to)
            answered = 0
            continue
        top, _, rest = head.partition(b"\r\n\r\n")
        length = int([l for l in top.split(b"\r\n") if l.lower().startswith(b"content-length")][0]
                     .split(b":")[1])
        got = len(rest)
        while got < length:
            n = s.recv_into(view, min(len(buf), length - got))
            if n == 0:
                raise RuntimeError("cut short")
            got += n
        total += length
        answered += 1
    elapsed = time.monotonic() - start
    s.close()
    return total / elapsed / 1048576


def upstream_scenarios(args, base, notes, rows):
    """(8) the CONNECT tunnel to TLS nginx and (9) a parent proxy."""
    from upstream_peers import TlsNginx, Tinyproxy, TLS_NAMES
    if "8" in args.scenarios:
        say("bench: (8) 1 MiB over TLS: direct and through a CONNECT tunnel")
        (base / "tls").mkdir()
        tls = TlsNginx(base / "tls")
        try:
            name = TLS_NAMES[0]
            (tls.roots[name] / "1m").write_bytes(os.urandom(1 << 20))
            direct = tls_rate(tls.port, name, args.duration)
            # The shipped rule lets CONNECT reach 443 and 563 only; the
            # test origin listens on a free port.
            def open_port(root, port=tls.port):
                root.find("general/rule/connect_ports").text = str(port)
            proxy = Proxy(base, args.binary, "proxy-8", args.proxy_args, config_edit=open_port)
            try:
                through = tls_rate(proxy.port, name, args.duration,
                                   tunnel_to=f"{HOST}:{tls.port}")
            finally:
                proxy.stop()
            rows.append(("8", "1 MiB TLS via CONNECT tunnel", direct, through, TUNNEL_TARGET))
        except (RuntimeError, OSError, ValueError) as e:
            notes.append(f"(8) no measure: {e}")
        finally:
            tls.stop()
    if "9" in args.scenarios:
        say("bench: (9) 1 KiB through a parent: tinyproxy directly and kelvarine -> tinyproxy")
        (base / "parent").mkdir()
        parent = Tinyproxy(base / "parent", "bench", idle=60)
        nginx = Nginx(base / "n9", 1)
        try:
            origin = f"{HOST}:{nginx.port}"
            target = f"http://{origin}/1k"
            d = run_wrk(args, parent.port, target, origin, False, 50, base / "wrk-9-direct.txt")
            def with_parent(root):
                fwd = root.find("forward")
                fwd.find("enabled").text = "true"
                rule = ET.SubElement(fwd, "parent")
                for key, value in [("enabled", "true"), ("comment", ""), ("groups", ""),
                                   ("profiles", ""), ("host", HOST), ("user", ""),
                                   ("password", ""), ("ntlm_domain", ""),
                                   ("port", str(parent.port)), ("icp_mode", "none"),
                                   ("icp_port", "3130"), ("proxy_type", "http"),
                                   ("protocols", "http")]:
                    ET.SubElement(rule, key).text = value
            proxy = Proxy(base, args.binary, "proxy-9", args.proxy_args, config_edit=with_parent)
            try:
                t = run_wrk(args, proxy.port, target, origin, False, 50, base / "wrk-9-proxy.txt")
            finally:
                proxy.stop()
            rows.append(("9", "1 KiB via a parent (req/s)", d["rate"], t["rate"], None))
        except (RuntimeError, OSError, ValueError) as e:
            notes.append(f"(9) no measure: {e}")
        finally:
            nginx.stop()
            parent.stop()
def scan_edit(kind, address, port, service=""):
    """A configuration change that scans every response with ClamAV or
    passes it through an ICAP RESPMOD service."""
    import xml.etree.ElementTree as ET

    def field(parent, tag, text):
        ET.SubElement(parent, tag).text = text

    def edit(root):
        if kind == "clamav":
            sec = root.find("clamav")
            sec.find("enabled").text = "true"
            sec.find("address").text = address
            sec.find("port").text = str(port)
            rule = ET.SubElement(sec, "rules")
            for tag, text in (("enabled", "true"), ("comment", "bench"), ("groups", ""),
                              ("profiles", ""), ("template", "")):
                field(rule, tag, text)
        else:
            sec = root.find("icap")
            sec.find("enabled").text = "true"
            rule = ET.SubElement(sec, "services")
            for tag, text in (("enabled", "true"), ("comment", "bench"), ("profiles", ""),
                              ("host", address), ("service", service), ("port", str(port)),
                              ("methods", "respmod")):
                field(rule, tag, text)
    return edit


def scan_scenario(args, base, nginx, notes):
    """(c): sequential fetches of the 1 MiB file through the proxy, plain,
    scanned by clamd and passed through c-icap's echo service; returns
    {road: (mean latency s, proxy CPU s per MiB)}."""
    origin = f"{HOST}:{nginx.port}"
    target = f"http://{origin}/1m"
    body = (nginx.root / "1m").read_bytes()
    rows = {}
    clamd = cicap = None
    try:
        clamd = Clamd(base)
        cicap = CIcap(base)
        roads = [("unscanned", None), ("ClamAV INSTREAM", scan_edit("clamav", str(clamd.socket), 0)),
                 ("c-icap RESPMOD echo", scan_edit("icap", HOST, cicap.port, "/echo"))]
        for name, edit in roads:
            say(f"bench: (c) 1 MiB {name}")
            proxy = Proxy(base, args.binary, "proxy-c-" + name.split()[0].lower(),
                          args.proxy_args, edit)
            try:
                status, got = fetch(proxy.port, target, origin, timeout=30)
                if status != 200 or got != body:
                    raise RuntimeError(f"status {status}, {len(got)} bytes")
                count = max(10, args.duration * 5)
                before = cpu_ticks([proxy.proc.pid])
                start = time.monotonic()
                for _ in range(count):
                    fetch(proxy.port, target, origin, timeout=30)
                elapsed = time.monotonic() - start
                cpu = (cpu_ticks([proxy.proc.pid]) - before) / os.sysconf("SC_CLK_TCK")
                rows[name] = (elapsed / count, cpu / (count * len(body) / 1048576))
            except (RuntimeError, OSError, ValueError) as e:
                notes.append(f"(c) {name}: no measure: {e}\n{proxy.tail()}")
            finally:
                proxy.stop()
    except Exception as e:  # a scanner that cannot start leaves the rest measured
        notes.append(f"(c) scanners: {e}")
    finally:
        for server in (cicap, clamd):
            if server is not None:
                server.stop()
    return rows


def print_scan_table(rows):
    say(f"{'(c) 1 MiB response':<34} {'latency':>10} {'added':>10} {'CPU/MiB':>10}")
    plain = rows.get("unscanned")
    for name, (latency, cpu) in rows.items():
        added = f"{(latency - plain[0]) * 1000:.1f}ms" if plain and name != "unscanned" else "-"
        say(f"{name:<34} {latency * 1000:>8.1f}ms {added:>10} {cpu * 1000:>8.1f}ms")


def uncacheable_scenario(args, base, nginx, notes):
    """(d): for each size, a proxy with the cache off and one with it on
    serve the no-store file in alternating runs (off, on, off, on, ...), so
    that the load of the machine falls on both alike; returns
    {title: {"off": [us/req per run], "on": [...], "rate": {...}}}."""
    origin = f"{HOST}:{nginx.port}"
    rows = {}
    for title, name, _ in UNCACHEABLE_FILES:
        target = f"http://{origin}/{name}"
        proxies = {}
        try:
            for road in ("off", "on"):
                proxies[road] = Proxy(base, args.binary, f"proxy-d-{name}-{road}",
                                      args.proxy_args, cache=road == "on")
                status, body = fetch(proxies[road].port, target, origin)
                if status != 200 or body != (nginx.root / name).read_bytes():
                    raise RuntimeError(f"cache {road}: status {status}, {len(body)} bytes")
            row = {"off": [], "on": [], "rate": {"off": [], "on": []}, "errors": 0}
            for i in range(args.alternations):
                for road in ("off", "on"):
                    say(f"bench: (d) uncacheable {title}: cache {road}, run {i + 1}")
                    p = proxies[road]
                    with Sampler([p.proc.pid]) as sp:
                        r = run_wrk(args, p.port, target, origin, False, 50,
                                    base / f"wrk-d-{name}-{road}-{i}.txt")
                    if r["requests"]:
                        row[road].append(sp.cpu_seconds * 1e6 / r["requests"])
                        row["rate"][road].append(r["rate"])
                    row["errors"] += r["errors"]
            rows[title] = row
        except (RuntimeError, OSError, ValueError) as e:
            tail = next(iter(proxies.values())).tail() if proxies else ""
            notes.append(f"(d) uncacheable {title}: no measure: {e}\n{tail}")
        finally:
            for road, p in proxies.items():
                rc = p.stop()
                if rc not in (0, None):
                    notes.append(f"(d) kelvarine (cache {road}) exited with status {rc} "
                                 "after SIGTERM")
    return rows


def print_uncacheable_table(rows):
    head = (f"{'(d) uncacheable (no-store)':<28} {'off us/req':>11} {'on us/req':>11} "
            f"{'on/off':>7} {'spread':>7} {'off req/s':>10} {'on req/s':>10} {'errors':>6}")
    say(head)
    say("-" * len(head))
    for title, row in rows.items():
        if not row["off"] or not row["on"]:
            continue
        off = sum(row["off"]) / len(row["off"])
        on = sum(row["on"]) / len(row["on"])
        # The spread of the single runs' on/off ratios shows the noise.
        pairs = [b / a for a, b in zip(row["off"], row["on"]) if a]
        spread = f"{min(pairs):.2f}-{max(pairs):.2f}" if pairs else "-"
        say(f"{title:<28} {off:>11.1f} {on:>11.1f} {on / off:>7.3f} {spread:>7} "
            f"{sum(row['rate']['off']) / len(row['rate']['off']):>10.0f} "
            f"{sum(row['rate']['on']) / len(row['rate']['on']):>10.0f} {row['errors']:>6}")
    say("us/req: the proxy's CPU microseconds per request, mean of the alternated runs; "
        "spread: lowest and highest on/off of a pair of runs")
    say()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--binary", default=str(ROOT / "build-bench" / "kelvarine"))
    ap.add_argument("--duration", type=int, default=10, help="seconds of each wrk run")
    ap.add_argument("--threads", type=int, default=2, help="wrk threads")
    ap.add_argument("--nginx-workers", type=int, default=2)
    ap.add_argument("--idle-connections", type=int, default=10000)
    ap.add_argument("--idle-seconds", type=float, default=5.0)
    ap.add_argument("--scenarios", default="123456789abcd", help="which scenarios, e.g. 13")
    ap.add_argument("--alternations", type=int, default=2,
                    help="runs of each road of (d), alternated between cache off and on")
    ap.add_argument("--parser-binary", default=None,
                    help="the parser benchmark (default: bench_hstream beside --binary)")
    ap.add_argument("--proxy-args", default="",
                    help="more options for kelvarine, e.g. \"-b 0:0\"")
    ap.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = ap.parse_args()
    args.proxy_args = shlex.split(args.proxy_args)
    args.binary = Path(args.binary).resolve()
    if not args.binary.is_file():
        say(f"bench: no binary at {args.binary}")
        return 1

    ensure_wrk()
    raise_nofile()
    base = Path(tempfile.mkdtemp(prefix="kelvarine-bench-"))
    base.chmod(0o755)  # nginx workers run as nobody and read the files below
    nginx = None
    notes = []
    failed = False
    try:
        nginx = Nginx(base, args.nginx_workers)
        results = []
        wrk_scenarios(args, base, nginx, results, notes)
        if "5" in args.scenarios:
            auth_scenario(args, base, nginx, results, notes)
        idle = idle_scenario(args, base, nginx, notes) if "4" in args.scenarios else {}
        filtering = filter_scenario(args, base, nginx, notes) if "6" in args.scenarios else None
        parser = parser_scenario(args, notes) if "7" in args.scenarios else {}
        upstream = []
        upstream_scenarios(args, base, notes, upstream)
        scans = scan_scenario(args, base, nginx, notes) if "c" in args.scenarios else {}
        uncacheable = (uncacheable_scenario(args, base, nginx, notes)
                       if "d" in args.scenarios else {})
        say()
        say(f"kelvarine benchmark: {os.cpu_count()} cores, load average "
            f"{os.getloadavg()[0]:.1f}, wrk -t{args.threads}, {args.duration} s runs, "
            f"nginx with {args.nginx_workers} workers"
            + (f", kelvarine {' '.join(args.proxy_args)}" if args.proxy_args else ""))
        ratios = print_wrk_table(results) if results else {}
        say("CPU: cores busy in the server under test (nginx workers, or kelvarine); "
            "thr: its peak thread count; the ratio of (5) is against the proxy rate of (1)")
        say("us/req: its CPU microseconds per request over the run; sys/req, cs/req: its "
            "system calls and context switches per request over the middle half of the run "
            + ("(perf stat)" if shutil.which("perf") else
               "(context switches of live threads from /proc; no perf for system calls)"))
        say()
        if idle:
            print_idle_table(args, idle)
            say("held: connections open when the idle time began; closed: those the "
                "server closed while idle;")
            say("threads: before the connections were opened -> at the end of the idle "
                "time; thr busy: peak while they were used")
            say()
        if filtering is not None:
            print_filter_table(*filtering)
        if parser:
            say(f"(7) HTML stream parser: {parser['mib_per_s']:.1f} MiB/s on a "
                f"{parser['page_mib']:.1f} MiB page in {parser['piece']}-byte pieces "
                f"({parser['nodes']} nodes, {parser['links']} link callbacks)")
            say()
        for key, title, direct_value, through_value, _ in upstream:
            ratio = through_value / direct_value if direct_value else 0
            say(f"({key}) {title}: direct {direct_value:.1f}, through kelvarine "
                f"{through_value:.1f}, ratio {ratio:.2f}")
        if scans:
            print_scan_table(scans)
            say("latency: mean of sequential fetches on new connections; added: over the "
                "unscanned road; CPU/MiB: the proxy's CPU time per MiB delivered")
            say()
        if uncacheable:
            print_uncacheable_table(uncacheable)
        for note in notes:
            say(note)
        say()
        say("targets:")
        for key, (measure, lowest) in TARGETS.items():
            if key in ratios:
                value = ratios[key][0 if measure == "request rate" else 1]
                say(f"  ({key}) proxy/direct {measure} {value:.2f} (>= {lowest:.2f}): "
                    f"{'met' if value >= lowest else 'NOT met'}")
        cost = next((r for key, _, road, r in results if key == "1" and road == "proxy"), None)
        if cost is not None and "1" in ratios:
            checks = [("CPU per request", cost.get("cpu_us"), COST_TARGETS["cpu_us"], "us"),
                      ("system calls per request", cost.get("syscalls"),
                       COST_TARGETS["syscalls"], ""),
                      ("context switches per request", cost.get("switches"),
                       COST_TARGETS["switches"], "")]
            for what, value, highest, unit in checks:
                if value is None:
                    say(f"  (1) {what}: not measured")
                else:
                    say(f"  (1) {what} {value:.2f}{unit} (<= {highest:g}{unit}): "
                        f"{'met' if value <= highest else 'NOT met'}")
            value = ratios["1"][0]
            say(f"  (1) proxy/direct request rate {value:.2f} (>= {COST_TARGETS['rate']:.2f} "
                f"for the cost target): {'met' if value >= COST_TARGETS['rate'] else 'NOT met'}")
        if "5" in ratios:
            value = ratios["5"][0]
            say(f"  (5) authenticated/unauthenticated request rate {value:.2f} "
                f"(>= {AUTH_TARGET:.2f}): {'met' if value >= AUTH_TARGET else 'NOT met'}")
        for key, title, direct_value, through_value, lowest in upstream:
            if lowest is not None and direct_value:
                value = through_value / direct_value
                say(f"  ({key}) proxy/direct transfer rate {value:.2f} (>= {lowest:.2f}): "
                    f"{'met' if value >= lowest else 'NOT met'}")
        for title, row in uncacheable.items():
            if row["off"] and row["on"]:
                value = (sum(row["on"]) / len(row["on"])) / (sum(row["off"]) / len(row["off"]))
                say(f"  (d) uncacheable {title}: CPU per request cache on/off {value:.3f} "
                    f"(<= {UNCACHEABLE_TARGET:.2f}): "
                    f"{'met' if value <= UNCACHEABLE_TARGET else 'NOT met'}")
        if "proxy" in idle:
            r = idle["proxy"]
            cost = r["idle_rss_kib"] - r["base_rss_kib"]
            say(f"  (4) threads while idle {r['idle_threads']} (before {r['base_threads']}): "
                f"{'met' if r['idle_threads'] <= r['base_threads'] else 'NOT met'}; "
                f"RSS cost of {r['idle_connections']} idle connections {cost / 1024:.1f} MiB "
                f"(<= 256 MiB): {'met' if cost <= IDLE_RSS_TARGET_KIB else 'NOT met'}; "
                f"answered {r['answered']}/{args.idle_connections}")
    except Exception as e:  # report, keep the directory for a look
        say(f"bench: failed: {e}")
        failed = True
    finally:
        if nginx is not None:
            nginx.stop()
        if args.keep or failed:
            say(f"bench: logs kept in {base}")
        else:
            shutil.rmtree(base, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
