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
    (6) a 1 MiB response scanned through ClamAV (INSTREAM) and through
        c-icap's RESPMOD echo service: the latency added and the proxy's
        CPU per MiB beside the same response unscanned

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

# Scenarios run by wrk: (key, title, file, connections, new connection per request)
WRK_SCENARIOS = [
    ("1", "1 KiB, 50 keep-alive conns", "1k", 50, False),
    ("2", "1 MiB, 8 keep-alive conns", "1m", 8, False),
    ("3", "1 KiB, new conn per request", "1k", 50, True),
]
# Targets of the proxy/direct ratio: scenario -> (measure, lowest ratio)
TARGETS = {"1": ("request rate", 0.25), "2": ("transfer rate", 0.60), "3": ("request rate", 0.30)}
IDLE_RSS_TARGET_KIB = 256 * 1024
# Authenticated 1 KiB rate against the unauthenticated proxy rate of (1).
AUTH_TARGET = 0.90


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


class Nginx:
    def __init__(self, base, workers):
        self.dir = base / "nginx"
        self.root = self.dir / "html"
        self.root.mkdir(parents=True)
        (self.root / "1k").write_bytes(os.urandom(1024))
        (self.root / "1m").write_bytes(os.urandom(1024 * 1024))
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
    def __init__(self, base, binary, name, extra=(), config_edit=None):
        self.dir = base / name
        self.dir.mkdir()
        self.port = free_port()
        config = self.dir / "kelvarine.xml"
        shutil.copy(CONFIG, config)  # the proxy may save its configuration
        if config_edit is not None:
            tree = ET.parse(config)
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


def wrk_scenarios(args, base, nginx, results, notes):
    origin = f"{HOST}:{nginx.port}"
    for key, title, name, conns, close in WRK_SCENARIOS:
        if key not in args.scenarios:
            continue
        say(f"bench: ({key}) {title}: direct")
        with Sampler(nginx.workers()) as sd:
            direct = run_wrk(args, nginx.port, f"/{name}", origin, close, conns,
                             base / f"wrk-{key}-direct.txt")
        direct["cpu"], direct["threads"] = sd.cpu, sd.peak_threads
        results.append((key, title, "direct", direct))
        say(f"bench: ({key}) {title}: through kelvarine")
        proxy = Proxy(base, args.binary, f"proxy-{key}", args.proxy_args)
        target = f"http://{origin}/{name}"
        try:
            status, body = fetch(proxy.port, target, origin)
            if status != 200 or body != (nginx.root / name).read_bytes():
                raise RuntimeError(f"status {status}, {len(body)} bytes")
            before = nginx.status()
            with Sampler([proxy.proc.pid]) as sp:
                through = run_wrk(args, proxy.port, target, origin, close, conns,
                                  base / f"wrk-{key}-proxy.txt")
            after = nginx.status()
            through["cpu"], through["threads"] = sp.cpu, sp.peak_threads
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
            with Sampler([proxy.proc.pid]) as sp:
                r = run_wrk(args, proxy.port, target, origin, False, 50,
                            base / "wrk-5-proxy.txt", auth=credentials)
            r["cpu"], r["threads"] = sp.cpu, sp.peak_threads
            results.append(("5", "1 KiB, 50 conns, Basic (cached)", "auth", r))
        except (RuntimeError, OSError, ValueError) as e:
            notes.append(f"(5) through kelvarine: no measure: {e}\n{proxy.tail()}")
        finally:
            proxy.stop()
    finally:
        account.close()


def print_wrk_table(results):
    head = (f"{'scenario':<34} {'road':<6} {'req/s':>9} {'MiB/s':>8} {'lat avg':>9} "
            f"{'lat p99':>9} {'errors':>6} {'CPU':>5} {'thr':>4} {'ratio req':>9} {'ratio MiB':>9}")
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
            f"{ratio_req:>9} {ratio_mib:>9}")
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
    """(6): sequential fetches of the 1 MiB file through the proxy, plain,
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
            say(f"bench: (6) 1 MiB {name}")
            proxy = Proxy(base, args.binary, "proxy-5-" + name.split()[0].lower(),
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
                notes.append(f"(6) {name}: no measure: {e}\n{proxy.tail()}")
            finally:
                proxy.stop()
    except Exception as e:  # a scanner that cannot start leaves the rest measured
        notes.append(f"(6) scanners: {e}")
    finally:
        for server in (cicap, clamd):
            if server is not None:
                server.stop()
    return rows


def print_scan_table(rows):
    say(f"{'(6) 1 MiB response':<34} {'latency':>10} {'added':>10} {'CPU/MiB':>10}")
    plain = rows.get("unscanned")
    for name, (latency, cpu) in rows.items():
        added = f"{(latency - plain[0]) * 1000:.1f}ms" if plain and name != "unscanned" else "-"
        say(f"{name:<34} {latency * 1000:>8.1f}ms {added:>10} {cpu * 1000:>8.1f}ms")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--binary", default=str(ROOT / "build-bench" / "kelvarine"))
    ap.add_argument("--duration", type=int, default=10, help="seconds of each wrk run")
    ap.add_argument("--threads", type=int, default=2, help="wrk threads")
    ap.add_argument("--nginx-workers", type=int, default=2)
    ap.add_argument("--idle-connections", type=int, default=10000)
    ap.add_argument("--idle-seconds", type=float, default=5.0)
    ap.add_argument("--scenarios", default="123456", help="which scenarios, e.g. 13")
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
        scans = scan_scenario(args, base, nginx, notes) if "6" in args.scenarios else {}
        say()
        say(f"kelvarine benchmark: {os.cpu_count()} cores, load average "
            f"{os.getloadavg()[0]:.1f}, wrk -t{args.threads}, {args.duration} s runs, "
            f"nginx with {args.nginx_workers} workers"
            + (f", kelvarine {' '.join(args.proxy_args)}" if args.proxy_args else ""))
        ratios = print_wrk_table(results) if results else {}
        say("CPU: cores busy in the server under test (nginx workers, or kelvarine); "
            "thr: its peak thread count; the ratio of (5) is against the proxy rate of (1)")
        say()
        if idle:
            print_idle_table(args, idle)
            say("held: connections open when the idle time began; closed: those the "
                "server closed while idle;")
            say("threads: before the connections were opened -> at the end of the idle "
                "time; thr busy: peak while they were used")
            say()
        if scans:
            print_scan_table(scans)
            say("latency: mean of sequential fetches on new connections; added: over the "
                "unscanned road; CPU/MiB: the proxy's CPU time per MiB delivered")
            say()
        for note in notes:
            say(note)
        say()
        say("targets:")
        for key, (measure, lowest) in TARGETS.items():
            if key in ratios:
                value = ratios[key][0 if measure == "request rate" else 1]
                say(f"  ({key}) proxy/direct {measure} {value:.2f} (>= {lowest:.2f}): "
                    f"{'met' if value >= lowest else 'NOT met'}")
        if "5" in ratios:
            value = ratios["5"][0]
            say(f"  (5) authenticated/unauthenticated request rate {value:.2f} "
                f"(>= {AUTH_TARGET:.2f}): {'met' if value >= AUTH_TARGET else 'NOT met'}")
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
