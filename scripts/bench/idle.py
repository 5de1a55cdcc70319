#!/usr/bin/env python3
"""Idle keep-alive connections: what they cost the server, and whether each
still gets its answer.

Opens COUNT connections to the server, lets them idle while it reads the
server's resident memory (VmRSS) and thread count (Threads) from
/proc/PID/status, then sends one GET on every connection (at most WINDOW
requests in flight) and checks that each answer is a 200 whose body is the
expected file.  Prints one line "IDLE-RESULT {json}" at the end.

Usage: idle.py --connect HOST:PORT --target URL-OR-PATH --host HOSTFIELD
               --expect FILE --pid PID [--pid PID ...] [--count N]
"""
import argparse
import errno
import json
import os
import resource
import select
import socket
import sys
import time


def proc_status(pids):
    """Sum of VmRSS (KiB) and Threads over the processes; None when gone."""
    rss = threads = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        rss += int(line.split()[1])
                    elif line.startswith("Threads:"):
                        threads += int(line.split()[1])
        except OSError:
            return None, None
    return rss, threads


def fd_count(pids):
    n = 0
    for pid in pids:
        try:
            n += len(os.listdir(f"/proc/{pid}/fd"))
        except OSError:
            pass
    return n


def raise_nofile(need):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= need:
        return
    want = max(need, hard if hard != resource.RLIM_INFINITY else need)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, max(want, hard)))
    except (ValueError, OSError):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


class Response:
    """Incremental parse of one HTTP/1.1 response: status, then a body framed
    by Content-Length or chunked coding (the only two a GET of a file gets)."""

    def __init__(self):
        self.buf = bytearray()
        self.status = None
        self.length = None
        self.chunked = False
        self.body = None
        self.head_end = None

    def feed(self, data):
        """Adds bytes; True once the response is complete."""
        self.buf += data
        if self.head_end is None:
            end = self.buf.find(b"\r\n\r\n")
            if end < 0:
                return False
            self.head_end = end + 4
            lines = bytes(self.buf[:end]).split(b"\r\n")
            parts = lines[0].split(b" ", 2)
            self.status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else -1
            for line in lines[1:]:
                name, _, value = line.partition(b":")
                name = name.strip().lower()
                value = value.strip()
                if name == b"content-length":
                    self.length = int(value)
                elif name == b"transfer-encoding" and b"chunked" in value.lower():
                    self.chunked = True
        return self._body_done()

    def _body_done(self):
        data = bytes(self.buf[self.head_end:])
        if self.chunked:
            body = bytearray()
            pos = 0
            while True:
                eol = data.find(b"\r\n", pos)
                if eol < 0:
                    return False
                size = int(data[pos:eol].split(b";")[0], 16)
                pos = eol + 2
                if size == 0:
                    if data.find(b"\r\n\r\n", pos - 2) < 0:
                        return False
                    self.body = bytes(body)
                    return True
                if len(data) < pos + size + 2:
                    return False
                body += data[pos:pos + size]
                pos += size + 2
        if self.length is None:
            return False  # a body closed by end of stream: judged at close
        if len(data) >= self.length:
            self.body = data[:self.length]
            return True
        return False


class Exchange:
    """One request on each of a set of connections, WINDOW at a time, with
    the server's peak threads and memory sampled meanwhile."""

    def __init__(self, ep, by_fd, request, expect, pids, window, limit):
        self.ep, self.by_fd, self.request, self.expect = ep, by_fd, request, expect
        self.pids, self.window, self.limit = pids, window, limit

    def run(self, fds, keep):
        """Returns (counts, fds still open).  With keep, a connection that
        answered correctly stays open for later; otherwise it is closed."""
        todo = list(reversed(fds))
        active = {}  # fd -> (Response, start time)
        counts = dict(ok=0, bad_status=0, bad_body=0, closed=0, timed_out=0)
        kept = []
        latencies = []
        peak_rss = peak_threads = 0
        t0 = time.monotonic()
        last_sample = 0.0

        def done(fd, outcome):
            self.ep.unregister(fd)
            del active[fd]
            counts[outcome] += 1
            if outcome == "ok" and keep:
                kept.append(fd)
            else:
                self.by_fd.pop(fd).close()

        while (todo or active) and time.monotonic() - t0 < self.limit:
            while todo and len(active) < self.window:
                fd = todo.pop()
                try:
                    self.by_fd[fd].send(self.request)
                except OSError:
                    counts["closed"] += 1
                    self.by_fd.pop(fd).close()
                    continue
                active[fd] = (Response(), time.monotonic())
                self.ep.register(fd, select.EPOLLIN)
            now = time.monotonic()
            if now - last_sample > 0.2:
                rss, threads = proc_status(self.pids)
                if rss is not None:
                    peak_rss, peak_threads = max(peak_rss, rss), max(peak_threads, threads)
                last_sample = now
            for fd, _ in self.ep.poll(0.2, max(1, len(active))):
                resp, started = active[fd]
                try:
                    data = self.by_fd[fd].recv(262144)
                except OSError:
                    data = b""
                if not data:
                    done(fd, "closed")
                    continue
                try:
                    complete = resp.feed(data)
                except ValueError:
                    done(fd, "bad_status")
                    continue
                if complete:
                    if resp.status != 200:
                        done(fd, "bad_status")
                    elif resp.body != self.expect:
                        done(fd, "bad_body")
                    else:
                        latencies.append(time.monotonic() - started)
                        done(fd, "ok")
            now = time.monotonic()
            for fd in [fd for fd, (_, started) in active.items() if now - started > 30]:
                done(fd, "timed_out")
        for fd in list(active):
            done(fd, "timed_out")
        for fd in todo:
            counts["timed_out"] += 1
            self.by_fd.pop(fd).close()
        latencies.sort()
        counts.update(seconds=round(time.monotonic() - t0, 2), peak_threads=peak_threads,
                      peak_rss_kib=peak_rss,
                      p99_ms=round(latencies[int(len(latencies) * 0.99)] * 1000, 2)
                      if latencies else None)
        return counts, kept


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--connect", required=True, help="HOST:PORT to connect to")
    ap.add_argument("--target", required=True, help="request target (path or absolute URL)")
    ap.add_argument("--host", required=True, help="Host field")
    ap.add_argument("--expect", required=True, help="file the body must equal")
    ap.add_argument("--pid", type=int, action="append", required=True,
                    help="process whose memory and threads are read (repeatable)")
    ap.add_argument("--count", type=int, default=10000)
    ap.add_argument("--idle", type=float, default=5.0, help="seconds to idle")
    ap.add_argument("--batch", type=int, default=500, help="connects in flight")
    ap.add_argument("--window", type=int, default=256, help="requests in flight")
    ap.add_argument("--timeout", type=float, default=120.0, help="limit of each request phase")
    ap.add_argument("--no-prime", action="store_true",
                    help="idle on connections that never sent a request")
    args = ap.parse_args()

    host, _, port = args.connect.rpartition(":")
    addr = (host, int(port))
    expect = open(args.expect, "rb").read()
    request = (f"GET {args.target} HTTP/1.1\r\nHost: {args.host}\r\n"
               "User-Agent: kelvarine-bench\r\n\r\n").encode()
    raise_nofile(args.count + 1024)

    result = {"count": args.count, "primed": not args.no_prime}
    base_rss, base_threads = proc_status(args.pid)
    base_fds = fd_count(args.pid)
    result.update(base_rss_kib=base_rss, base_threads=base_threads)

    # Phase 1: open the connections, BATCH handshakes at a time.
    ep = select.epoll()
    socks = []
    connect_failed = 0
    t0 = time.monotonic()
    while len(socks) + connect_failed < args.count:
        pending = {}
        for _ in range(min(args.batch, args.count - len(socks) - connect_failed)):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            rc = s.connect_ex(addr)
            if rc not in (0, errno.EINPROGRESS):
                connect_failed += 1
                s.close()
                continue
            pending[s.fileno()] = s
            ep.register(s.fileno(), select.EPOLLOUT)
        deadline = time.monotonic() + 10
        while pending and time.monotonic() < deadline:
            for fd, _ in ep.poll(1.0):
                s = pending.pop(fd, None)
                if s is None:
                    continue
                ep.unregister(fd)
                if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                    connect_failed += 1
                    s.close()
                else:
                    socks.append(s)
        for fd, s in pending.items():
            ep.unregister(fd)
            s.close()
            connect_failed += 1
    result.update(connected=len(socks), connect_failed=connect_failed,
                  connect_seconds=round(time.monotonic() - t0, 2))
    by_fd = {s.fileno(): s for s in socks}
    exchange = Exchange(ep, by_fd, request, expect, args.pid, args.window, args.timeout)

    # A server may leave a connection that sent nothing yet in the kernel
    # (TCP_DEFER_ACCEPT): it then costs the server nothing.  One request
    # first makes every connection a kept-alive one the server holds.
    fds = list(by_fd)
    if not args.no_prime:
        counts, fds = exchange.run(fds, keep=True)
        result["prime"] = counts

    # Wait until the server holds them: its descriptor count stops growing
    # (or covers every connection).
    t1 = time.monotonic()
    last, stable = -1, 0
    while time.monotonic() - t1 < 30 and stable < 4:
        n = fd_count(args.pid)
        if n - base_fds >= len(fds):
            break
        stable = stable + 1 if n == last else 0
        last = n
        time.sleep(0.5)
    result["server_fds_added"] = fd_count(args.pid) - base_fds

    # Phase 2: idle.  A readable socket now means the server closed it.
    for fd in fds:
        ep.register(fd, select.EPOLLIN | select.EPOLLRDHUP)
    peak_rss = peak_threads = 0
    end = time.monotonic() + args.idle
    while time.monotonic() < end:
        rss, threads = proc_status(args.pid)
        if rss is None:
            break
        peak_rss, peak_threads = max(peak_rss, rss), max(peak_threads, threads)
        time.sleep(0.25)
    idle_rss, idle_threads = proc_status(args.pid)
    closed_idle = {fd for fd, _ in ep.poll(0, max(1, len(fds)))}
    result.update(idle_connections=len(fds), idle_rss_kib=idle_rss, idle_threads=idle_threads,
                  idle_peak_rss_kib=peak_rss, idle_peak_threads=peak_threads,
                  closed_while_idle=len(closed_idle))
    for fd in fds:
        ep.unregister(fd)

    # Phase 3: one request on every connection that is still open.
    counts, _ = exchange.run(fds, keep=False)
    result["use"] = counts
    result["answered"] = counts["ok"]
    print("IDLE-RESULT " + json.dumps(result), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
