"""Starting and stopping the processes a run needs on 127.0.0.1: shared by
the integration tests and the benchmark (scripts/bench.py)."""
import signal
import socket
import subprocess
import time


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
