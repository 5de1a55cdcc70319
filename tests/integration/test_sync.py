"""Configuration sync against a master that is a real nginx serving a
configuration document with its Last-Modified: the chosen sections are
taken, the local file is rewritten whole, and a master that is down,
stalls or sends no XML leaves the slave's configuration as it was."""
import os
import socket
import subprocess
import threading
import time
import xml.etree.ElementTree as ET

from conftest import (Nginx, ScriptedServer, set_fields, wait_port, wait_until,
                      write_config)
from test_interface import page, post


def sync_config(path, pool_size, ftp_user, templates, io_timeout="60"):
    def edit(root):
        set_fields(root.find("general"), pool_size=pool_size)
        set_fields(root.find("general").find("rule"), io_timeout=io_timeout,
                   connect_timeout=io_timeout)
        set_fields(root.find("ftp"), default_user=ftp_user)
        set_fields(root.find("templates"), template_dir=templates)
    return write_config(path, edit)


# The slave's own template directory: "templates" is never taken from the
# master in these tests.
SLAVE_TEMPLATES = "/"


def values(path):
    root = ET.parse(path).getroot()
    return (root.find("general/pool_size").text, root.find("ftp/default_user").text,
            root.find("templates/template_dir").text)


def log_count(proxy, text):
    if not proxy.native_log.exists():
        return 0
    return proxy.native_log.read_text(errors="replace").count(text)


def publish(master, doc_path, stamp, pool_size=None, text=None):
    """Writes the master's document and gives it a Last-Modified of its own."""
    if text is None:
        sync_config(doc_path, pool_size, "masteruser", "/tmp")
    else:
        doc_path.write_text(text)
    os.utime(doc_path, (stamp, stamp))


def restart(nginx):
    nginx.proc = subprocess.Popen(
        ["/usr/sbin/nginx", "-c", str(nginx.dir / "nginx.conf"), "-p", str(nginx.dir)],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wait_port(nginx.port, proc=nginx.proc)


def listening(proxy):
    with socket.create_connection((proxy.host, proxy.port), timeout=5):
        return True


def test_slave_takes_chosen_sections_and_survives_the_master(tmp_path, proxy_factory):
    doc = tmp_path / "nginx" / "html" / "master.xml"
    master = Nginx(tmp_path, extra_conf=f"location = /kelvarine.cfg/xml {{ alias {doc}; "
                                        "default_type text/xml; }")
    try:
        stamp = int(time.time()) - 1000
        publish(master, doc, stamp, pool_size="77")
        local = sync_config(tmp_path / "slave.xml", "11", "slaveuser", SLAVE_TEMPLATES)
        # Names compare without case; -E wins over -S.
        proxy = proxy_factory(config=local, extra_args=[
            "-M", f"127.0.0.1:{master.port}", "-I", "2", "-S", "General,ftp,templates",
            "-E", "templates"])
        path = proxy.config
        assert wait_until(lambda: log_count(proxy, "synchronized local configuration file") == 1)
        assert values(path) == ("77", "masteruser", SLAVE_TEMPLATES)
        log = proxy.native_log.read_text()
        assert "syncronized section: general" in log and "syncronized section: ftp" in log
        assert "syncronized section: templates" not in log
        # Every section of the local file is still there.
        assert len(ET.parse(path).getroot()) == len(ET.parse(local).getroot())

        # An unchanged master time changes nothing, not even the file.
        before = path.stat().st_mtime_ns
        time.sleep(5)
        assert log_count(proxy, "syncronizing with") == 1
        assert path.stat().st_mtime_ns == before

        # A change on the master arrives at the next attempt; the local file
        # is never seen half written.
        torn = []
        stop = threading.Event()

        def reader():
            while not stop.is_set():
                try:
                    ET.fromstring(path.read_bytes())
                except ET.ParseError as e:
                    torn.append(str(e))
        watcher = threading.Thread(target=reader)
        watcher.start()
        try:
            for n, size in enumerate(("78", "79", "80"), start=1):
                publish(master, doc, stamp + n, pool_size=size)
                assert wait_until(lambda: values(path)[0] == size, timeout=8), size
        finally:
            stop.set()
            watcher.join()
        assert torn == []
        assert [p.name for p in path.parent.iterdir() if p.name.startswith("kelvarine.xml")] \
            == ["kelvarine.xml"]

        # A document that is no XML leaves everything as it was.
        kept = path.read_bytes()
        publish(master, doc, stamp + 10, text="<kelvarine><general><pool_size>5")
        assert wait_until(lambda: log_count(
            proxy, f"error: invalid data recieved from 127.0.0.1:{master.port}") >= 1)
        assert log_count(proxy, "sync: failed to syncronize with master") >= 1
        assert path.read_bytes() == kept

        # The master goes down: attempts fail, the proxy goes on.
        master.stop()
        assert wait_until(lambda: log_count(
            proxy, f"error: No Response from 127.0.0.1:{master.port}") >= 1)
        assert path.read_bytes() == kept
        assert listening(proxy)

        # ... and comes back with a new document.
        publish(master, doc, stamp + 20, pool_size="81")
        restart(master)
        assert wait_until(lambda: values(path)[0] == "81", timeout=8)
        assert values(path) == ("81", "masteruser", SLAVE_TEMPLATES)
        assert proxy.proc.poll() is None
    finally:
        master.stop()


class Stalled(ScriptedServer):
    """A master that reads the request and never answers."""

    def handle(self, conn):
        with conn:
            self.read_head(conn)
            self.stopped.wait(120)


def test_stalled_master_times_out_and_changes_nothing(tmp_path, proxy_factory):
    master = Stalled()
    try:
        local = sync_config(tmp_path / "slave.xml", "11", "slaveuser", SLAVE_TEMPLATES,
                            io_timeout="2")
        kept = local.read_bytes()
        started = time.monotonic()
        proxy = proxy_factory(config=local, extra_args=["-M", f"127.0.0.1:{master.port}",
                                                        "-I", "3"])
        assert wait_until(lambda: log_count(proxy, "sync: failed to syncronize with master") >= 2,
                          timeout=30)
        # Each attempt gave up after the I/O time-out in force.
        assert time.monotonic() - started < 25
        assert log_count(proxy, f"error: No Response from 127.0.0.1:{master.port}") >= 2
        assert proxy.config.read_bytes() == kept
        assert listening(proxy)
    finally:
        master.stop()


def test_load_from_a_stalled_url_times_out_and_changes_nothing(tmp_path, proxy_factory):
    server = Stalled()
    try:
        local = sync_config(tmp_path / "local.xml", "11", "localuser", SLAVE_TEMPLATES,
                            io_timeout="2")
        proxy = proxy_factory(config=local)
        before = page(proxy, "/xml").body
        assert b"localuser" in before
        started = time.monotonic()
        reply = post(proxy, "/load", {"filename": f"http://127.0.0.1:{server.port}/cfg.xml",
                                      "overwrite": "yes"})
        # The fetch gave up after the I/O time-out in force, not the server.
        assert time.monotonic() - started < 10
        # The page reports the failure; the log has the fetch's own line for
        # a server that sent no head (the load itself logs nothing more).
        assert b"Load failed" in reply.body, reply
        assert wait_until(lambda: log_count(proxy, "advice: purge dns") == 1)
        assert page(proxy, "/xml").body == before
        assert proxy.config.read_bytes() == local.read_bytes()
        assert listening(proxy)
    finally:
        server.stop()
