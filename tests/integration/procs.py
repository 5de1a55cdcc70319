"""Starting and stopping the processes a run needs on 127.0.0.1: shared by
the integration tests and the benchmark (scripts/bench.py)."""
import random
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


def free_port(host="127.0.0.1"):
    """A port free now, for a server started later.  It is taken below the
    kernel's ephemeral range: a port handed out for bind(0) or as a
    connection's source port would be given again to any process on the
    machine (a scripted server of a test beside this one, say) in the
    time between this check and the server's own bind."""
    low, _ = _ephemeral_ports()
    first, last = (10000 if low > 11000 else 1024), low - 1
    for _ in range(1000 if last > first else 0):
        port = _PORTS.randint(first, last)
        with socket.socket() as s:
            try:
                s.bind((host, port))
            except OSError:
                continue
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
