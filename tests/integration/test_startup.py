"""Start-up of the kelvarine binary: the command line, daemon mode with its
PID file and user switch, the signals, and the client pool that holds idle
keep-alive connections without a thread."""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
from pathlib import Path

import pytest

from conftest import (BINARY, DEFAULT_CONFIG, SCHEMA, Nginx, Reader, free_port,
                      idle_thread_count, thread_count, wait_port, wait_until)

ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=0:abort_on_error=0")


def run(*args, timeout=30):
    return subprocess.run([str(BINARY), *args], capture_output=True, text=True,
                          timeout=timeout, env=ENV)


def port_is_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def text_of(path):
    return path.read_text() if path.exists() else ""


def http_exchange(reader, request):
    """Sends one request on the reader's socket and reads its response."""
    reader.sock.sendall(request)
    return reader.response()


# ---------------------------------------------------------------- command line

def test_files_and_options_checked_before_anything_starts(tmp_path):
    config = tmp_path / "kelvarine.xml"
    shutil.copy(DEFAULT_CONFIG, config)
    absent = tmp_path / "absent.xml"
    cases = [
        # (arguments, status, text on standard error)
        ([], 0, "Usage: "),
        (["-f", "-s", str(SCHEMA)], 1, "config file option missing\n"),
        (["-f", "-c", str(config)], 1, "section file option missing\n"),
        (["-f", "-c", str(absent), "-s", str(SCHEMA)], 1, f"couldn't stat {absent}\n"),
        (["-f", "-c", str(config), "-s", str(absent)], 1, f"couldn't stat {absent}\n"),
        # -M without a colon is ignored, so -c is still required.
        (["-f", "-M", "master", "-s", str(SCHEMA)], 1, "config file option missing\n"),
    ]
    for args, status, text in cases:
        r = run(*args)
        assert r.returncode == status, (args, r.stderr)
        assert text in r.stderr, (args, r.stderr)


@pytest.mark.parametrize("value", [
    "127.0.0.1",            # no port
    "127.0.0.1:",
    "127.0.0.1:0",
    "127.0.0.1:70000",      # would wrap around
    "127.0.0.1:80http",
    "300.1.2.3:{port}",
    "localhost:{port}",
    "1234567890123456:{port}",
])
def test_unparsable_listen_address_stops_startup(tmp_path, value):
    port = free_port()
    value = value.format(port=port)
    r = run("-f", "-c", str(DEFAULT_CONFIG), "-s", str(SCHEMA), "-L", value,
            "-l", str(tmp_path / "kelvarine.log"))
    assert r.returncode == 1, r.stderr
    assert f'invalid -L value "{value}"' in r.stderr
    # It stopped before binding anything, least of all every interface.
    assert port_is_free(port)
    assert not (tmp_path / "kelvarine.log").exists()


# -------------------------------------------------------------------- signals

def test_sigterm_ends_with_status_zero(proxy_factory):
    proxy = proxy_factory()
    assert proxy.stop() == 0
    log = proxy.native_log.read_text()
    assert "advice: Recieved TERM Signal to EXIT" in log
    assert "System Unstable" not in log
    assert "Sanitizer" not in proxy.output()


def test_sigusr1_rotates_the_three_logs(proxy_factory, origin):
    (origin.root / "page.txt").write_text("one page\n")
    proxy = proxy_factory()
    url = f"http://127.0.0.1:{origin.port}/page.txt"

    def fetch():
        with socket.create_connection(("127.0.0.1", proxy.port), timeout=10) as s:
            reply = http_exchange(Reader(s), f"GET {url} HTTP/1.0\r\n"
                                  f"Host: 127.0.0.1:{origin.port}\r\n\r\n".encode())
        assert reply.status == 200, reply
        assert reply.body == b"one page\n"

    fetch()
    assert wait_until(lambda: "page.txt" in text_of(proxy.extended_log))
    before = {p.name for p in proxy.dir.iterdir()}
    proxy.proc.send_signal(signal.SIGUSR1)
    # The line is logged before the marks are raised, and lines reach the
    # file from a queue: it is the last of the old file or among the first
    # of the new one, as the writer's timing falls.
    assert wait_until(lambda: any("Recieved Signal for Log Rotation" in p.read_text()
                                  for p in proxy.dir.glob("*kelvarine.log")))
    fetch()

    stamp = re.compile(r"^(\d{14})-(kelvarine\.log|access\.log|extended\.log)$")
    assert wait_until(lambda: len([n for p in proxy.dir.iterdir()
                                 if stamp.match(n := p.name) and n not in before]) == 3), \
        sorted(p.name for p in proxy.dir.iterdir())
    rotated = {stamp.match(p.name).group(2): p for p in proxy.dir.iterdir()
               if stamp.match(p.name)}
    # Each old file holds what came before the signal; the new file starts
    # afresh (with its legend) and holds what came after.
    assert rotated["access.log"].read_text().count("page.txt") == 1
    assert rotated["extended.log"].read_text().count("page.txt") == 1
    assert wait_until(lambda: text_of(proxy.access_log).count("page.txt") == 1)
    assert proxy.access_log.read_text().startswith("#")
    assert proxy.extended_log.read_text().startswith("#")
    assert "listening on" in rotated["kelvarine.log"].read_text()
    assert "listening on" not in proxy.native_log.read_text()
    assert proxy.stop() == 0


# ------------------------------------------- what a foreground start shows

def start_foreground(tmp_path, config_text, *extra):
    """The binary in the foreground with its standard error in a file of
    its own (the native log goes to standard output)."""
    config = tmp_path / "kelvarine.xml"
    config.write_text(config_text)
    err = open(tmp_path / "stderr.txt", "wb")
    proc = subprocess.Popen(
        [str(BINARY), "-f", "-c", str(config), "-s", str(SCHEMA),
         "-l", str(tmp_path / "kelvarine.log"), "-a", str(tmp_path / "access.log"),
         "-e", str(tmp_path / "extended.log"), "-r", str(tmp_path / "perf.log"), *extra],
        stdout=subprocess.DEVNULL, stderr=err, env=ENV)
    err.close()
    return proc


def stop(proc):
    proc.terminate()
    try:
        proc.wait(timeout=15)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=15)


def test_flawed_values_and_unknown_elements_reach_standard_error(tmp_path):
    # A listen item whose port is not a number, a misspelt field, a range
    # in a form the type does not take.
    port = free_port()
    text = DEFAULT_CONFIG.read_text()
    text = text.replace("<network>\n  </network>",
                        "<network><listen><enabled>true</enabled><address>127.0.0.1</address>"
                        "<port>abc</port><comment>typo</comment></listen></network>")
    text = text.replace("<io_timeout>60</io_timeout>", "<io_tiemout>60</io_tiemout>")
    text = text.replace("<client_ranges>127.0.0.0-127.255.255.255</client_ranges>",
                        "<client_ranges>127.0.0.0/8</client_ranges>")
    proc = start_foreground(tmp_path, text, "-L", f"127.0.0.1:{port}")
    try:
        wait_port(port, proc=proc)
        err = tmp_path / "stderr.txt"
        expected = [
            "flawed XML file, section network, element listen: port must be an integer, "
            "but it is given value abc",
            "flawed XML file, section access, element allow: client_ranges must be an IP "
            "range list (see manual), but it is given value 127.0.0.0/8",
            "unknown element io_tiemout in section general, element rule ignored",
        ]
        assert wait_until(lambda: all(line in text_of(err) for line in expected)), \
            text_of(err)
        log = text_of(tmp_path / "kelvarine.log")
        assert all(line in log for line in expected), log
        # The listen item opened nothing: only the -L listener is there.
        assert log.count("listening on ") == 1, log
        # The flawed rule admits nobody, where it used to admit everybody.
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            reply = http_exchange(Reader(s),
                                  b"GET http://origin.test/ HTTP/1.1\r\nHost: x\r\n\r\n")
        assert reply.head.startswith("HTTP/1.1 403 "), reply
    finally:
        stop(proc)


def test_configuration_given_by_url_starts_a_quiet_proxy(tmp_path):
    """-c takes a URL as the configuration load does; with the shipped
    configuration the modules that are off load nothing and say nothing,
    and the host name line names the name in use."""
    web = Nginx(tmp_path)
    (web.root / "k.xml").write_text(DEFAULT_CONFIG.read_text())
    (web.root / "page.txt").write_text("through the proxy\n")
    port = free_port()
    # The later -c wins over the file start_foreground names.
    proc = start_foreground(tmp_path, "<kelvarine/>", "-c", f"http://127.0.0.1:{web.port}/k.xml",
                            "-L", f"127.0.0.1:{port}")
    try:
        wait_port(port, proc=proc)
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            reply = http_exchange(
                Reader(s),
                f"GET http://127.0.0.1:{web.port}/page.txt HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        # The shipped allow rule came from the fetched file.
        assert reply.head.startswith("HTTP/1.1 200 "), reply
        assert reply.body == b"through the proxy\n"
        assert any("GET /k.xml " in line for line in web.log_lines(at_least=2))
        log = text_of(tmp_path / "kelvarine.log")
        for quiet in ("couldn't stat", "failed to load URL blacklist", "Sortmarks: cache"):
            assert quiet not in log + text_of(tmp_path / "stderr.txt"), quiet
        assert "proxy hostname: none set" in log, log
    finally:
        stop(proc)
        web.stop()


def test_no_open_listener_is_reported_with_the_reason(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        proc = start_foreground(tmp_path, DEFAULT_CONFIG.read_text(), "-L", f"127.0.0.1:{port}")
        try:
            err = tmp_path / "stderr.txt"
            line = (f"no listener is open: no client can connect (127.0.0.1:{port}: "
                    "Address already in use)")
            assert wait_until(lambda: line in text_of(err), timeout=30), text_of(err)
            assert wait_until(lambda: line in text_of(tmp_path / "kelvarine.log"))
            # The proxy keeps running, as its configuration may still change.
            assert proc.poll() is None
        finally:
            stop(proc)
    # Without any listener configured the message says so.
    (tmp_path / "stderr.txt").unlink()
    proc = start_foreground(tmp_path, DEFAULT_CONFIG.read_text())
    try:
        line = "no listener is open: no client can connect (none is configured)"
        assert wait_until(lambda: line in text_of(tmp_path / "stderr.txt"), timeout=30)
    finally:
        stop(proc)


def test_configuration_that_is_not_well_formed_names_the_place(tmp_path):
    text = DEFAULT_CONFIG.read_text().replace("<pool_size>100</pool_size>",
                                              "<pool_size>100</pool_sise>")
    line_number = text[:text.index("</pool_sise>")].count("\n") + 1
    proc = start_foreground(tmp_path, text, "-L", f"127.0.0.1:{free_port()}")
    assert proc.wait(timeout=30) == 1
    err = text_of(tmp_path / "stderr.txt")
    assert re.search(rf"kelvarine\.xml is not well-formed XML: line {line_number}, "
                     rf"column \d+: Error reading end tag\.", err), err


# ---------------------------------------------------------------- daemon mode

@pytest.fixture
def shared_dir():
    """A directory the user nobody can write, outside pytest's private one."""
    path = Path(tempfile.mkdtemp(prefix="kv-daemon-", dir="/tmp"))
    path.chmod(0o777)
    yield path
    shutil.rmtree(path, ignore_errors=True)


def proc_status(pid):
    fields = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.split()
    return fields


def test_daemon_detaches_writes_pid_file_and_drops_privileges(shared_dir):
    config = shared_dir / "kelvarine.xml"
    shutil.copy(DEFAULT_CONFIG, config)
    config.chmod(0o644)
    pidfile = shared_dir / "kelvarine.pid"
    native_log = shared_dir / "kelvarine.log"
    port = free_port()
    starter = subprocess.Popen(
        [str(BINARY), "-c", str(config), "-s", str(SCHEMA), "-L", f"127.0.0.1:{port}",
         "-p", str(pidfile), "-l", str(native_log), "-a", str(shared_dir / "access.log"),
         "-e", str(shared_dir / "extended.log"), "-r", str(shared_dir / "perf.log"),
         "-u", "nobody", "-g", "nogroup"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENV)
    _, errors = starter.communicate(timeout=30)
    assert starter.returncode == 0, errors
    assert wait_until(lambda: pidfile.exists() and pidfile.read_text().endswith("\n"))
    pid = int(pidfile.read_text())
    try:
        assert pidfile.read_text() == f"{pid}\n"
        wait_port(port)
        status = proc_status(pid)
        assert status["Uid"] == ["65534"] * 4
        assert status["Gid"] == ["65534"] * 4
        # No supplementary group of root survives the switch.
        assert set(status["Groups"]) <= {"65534"}
        # Two forks: not the starter's child, and not the leader of the
        # session the first child made.
        assert pid != starter.pid and int(status["PPid"][0]) != starter.pid
        assert os.getsid(pid) != pid and os.getsid(pid) != os.getsid(0)
        assert os.readlink(f"/proc/{pid}/cwd") == "/"
        for fd in (0, 1, 2):
            assert os.readlink(f"/proc/{pid}/fd/{fd}") == "/dev/null"
        # The command line no longer shows the options.
        cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
        assert [word for word in cmdline.split(b"\0") if word] == [str(BINARY).encode()]
        assert "listening on 127.0.0.1:" in native_log.read_text()
    finally:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    assert wait_until(lambda: not Path(f"/proc/{pid}").exists(), timeout=15)
    assert not pidfile.exists()
    assert "Recieved TERM Signal to EXIT" in native_log.read_text()


def test_daemon_finds_the_files_named_by_relative_paths(shared_dir):
    # Every path as the README writes them: relative to where the daemon
    # is started, which it leaves for "/".
    shutil.copy(DEFAULT_CONFIG, shared_dir / "kelvarine.xml")
    (shared_dir / "etc").mkdir()
    shutil.copy(SCHEMA, shared_dir / "etc" / "section.xml")
    port = free_port()
    starter = subprocess.run(
        [str(BINARY), "-c", "kelvarine.xml", "-s", "etc/section.xml",
         "-L", f"127.0.0.1:{port}", "-p", "kelvarine.pid", "-l", "kelvarine.log",
         "-a", "access.log", "-e", "extended.log", "-r", "perf.log"],
        capture_output=True, text=True, timeout=30, env=ENV, cwd=shared_dir)
    assert starter.returncode == 0, starter.stderr
    pidfile = shared_dir / "kelvarine.pid"
    assert wait_until(lambda: pidfile.exists() and pidfile.read_text().endswith("\n"))
    pid = int(pidfile.read_text())
    try:
        wait_port(port)
        assert Path(f"/proc/{pid}").exists(), "the PID file names a dead process"
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            reply = http_exchange(Reader(s), f"GET http://127.0.0.1:{port}/ HTTP/1.1\r\n"
                                  f"Host: x\r\n\r\n".encode())
        assert reply.head.startswith("HTTP/1.1 403 "), reply
        assert wait_until(lambda: "listening on 127.0.0.1:" in text_of(shared_dir / "kelvarine.log"))
        assert wait_until(lambda: "/403 " in text_of(shared_dir / "access.log"))
        assert wait_until(lambda: (shared_dir / "extended.log").exists())
    finally:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    assert wait_until(lambda: not Path(f"/proc/{pid}").exists(), timeout=15)
    assert not pidfile.exists()


def test_daemon_refuses_an_unknown_user_before_detaching(shared_dir):
    r = run("-c", str(DEFAULT_CONFIG), "-s", str(SCHEMA), "-L", f"127.0.0.1:{free_port()}",
            "-p", str(shared_dir / "kelvarine.pid"), "-u", "no-such-user-kv")
    assert r.returncode == 1
    assert "getpwnam: unknown user" in r.stderr
    assert not (shared_dir / "kelvarine.pid").exists()


# ------------------------------------------------------------ the client pool

def test_idle_keepalive_connection_waits_in_the_pool_without_a_thread(proxy_factory,
                                                                    origin):
    (origin.root / "a.txt").write_text("first\n")
    (origin.root / "b.txt").write_text("second\n")
    proxy = proxy_factory()
    pid = proxy.proc.pid
    # Service threads only, all started: nothing is being served yet.
    idle = idle_thread_count(pid)

    with socket.create_connection(("127.0.0.1", proxy.port), timeout=10) as s:
        host = f"127.0.0.1:{origin.port}"
        reader = Reader(s)
        reply = http_exchange(
            reader, f"GET http://{host}/a.txt HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        assert reply.status == 200 and reply.body == b"first\n", reply

        # The worker hands the connection to the pool and ends after its
        # one-second wait for another connection.
        assert wait_until(lambda: thread_count(pid) == idle, timeout=10), \
            (thread_count(pid), idle)
        s.settimeout(0.2)
        with pytest.raises(socket.timeout):
            s.recv(1)  # still open: the pool keeps it
        s.settimeout(10)

        reply = http_exchange(
            reader, f"GET http://{host}/b.txt HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        assert reply.status == 200 and reply.body == b"second\n", reply

    assert proxy.stop() == 0
    assert "Sanitizer" not in proxy.output()
