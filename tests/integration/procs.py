"""Starting and stopping the processes a run needs on 127.0.0.1: shared by
the integration tests and the benchmark (scripts/bench.py)."""
import collections
import os
import random
import re
import signal
import socket
import subprocess
import time


def _ephemeral_ports():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(x) for x in f.read().split())
        return low, high
    except (OSError, ValueError):
        return 32768, 60999


# Its own generator, seeded from the system: a test that seeds the shared
# one must not make two test processes try the same ports.
_PORTS = random.SystemRandom()
# Ports handed out lately: a server given one may not have bound it yet.
_GIVEN = collections.deque(maxlen=512)


def _port_slice():
    """The ports this process may hand out: below the kernel's ephemeral
    range, and, when pytest-xdist runs several test processes at once, a
    share of them of this process's own."""
    low, _ = _ephemeral_ports()
    first, last = (10000 if low > 11000 else 1024), low - 1
    worker = re.fullmatch(r"gw(\d+)", os.environ.get("PYTEST_XDIST_WORKER", ""))
    count = int(os.environ.get("PYTEST_XDIST_WORKER_COUNT", "1") or 1)
    if worker and count > 1:
        share = (last - first + 1) // count
        if share >= 1000:
            first += int(worker.group(1)) % count * share
            last = first + share - 1
    return first, last


def free_port(host="127.0.0.1"):
    """A port free now, for a server started later.  Between this check and
    the server's own bind the port must not be handed to anybody else: it
    is taken below the kernel's ephemeral range (ports given for bind(0) or
    as a connection's source port), from this test process's own share,
    and not among the ports it handed out lately."""
    first, last = _port_slice()
    for _ in range(1000 if last > first else 0):
        port = _PORTS.randint(first, last)
        if port in _GIVEN:
            continue
        with socket.socket() as s:
            try:
                s.bind((host, port))
            except OSError:
                continue
        _GIVEN.append(port)
        return port
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_port(port, host="127.0.0.1", timeout=20.0, proc=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError(f"process exited with {proc.returncode} before listening")
        try:
            with socket.create_connection((host, port), timeout=0.5) as s:
                # With nothing listening yet, a connect whose ephemeral
                # source port happens to be the port itself meets itself
                # (TCP's simultaneous open) and succeeds: not a listener.
                if s.getsockname() != s.getpeername():
                    return
        except OSError:
            pass
        time.sleep(0.05)
    raise TimeoutError(f"nothing listens on {host}:{port}")


def stop_process(proc, timeout=15.0):
    """SIGTERM, then SIGKILL after `timeout`; the exit status (None when
    there is no process)."""
    if proc is None:
        return None
    if proc.poll() is not None:
        return proc.returncode
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait(timeout=timeout)
