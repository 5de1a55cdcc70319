"""Outside services that the scanning tests and the benchmark start with
their own configuration in a temporary directory, on loopback: clamd
(Debian's clamav-daemon) with a one-signature EICAR database, c-icap with
its echo service and, given clamd's socket, its virus_scan service, and
dnsmasq on a loopback address whose port 53 is free."""
import random
import socket
import struct
import subprocess
import time
from pathlib import Path

from procs import free_port, stop_process, wait_port

EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
CLAMD = "/usr/sbin/clamd"
CICAP = "/usr/bin/c-icap"
CICAP_MODULES = Path("/usr/lib/x86_64-linux-gnu/c_icap")


def wait_unix(path, proc, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"{proc.args[0]} ended with {proc.returncode}")
        s = socket.socket(socket.AF_UNIX)
        try:
            s.connect(str(path))
            return
        except OSError:
            time.sleep(0.1)
        finally:
            s.close()
    raise RuntimeError(f"nothing listens on {path}")


class Clamd:
    def __init__(self, tmp: Path, stream_max="10M"):
        self.dir = tmp / "clamd"
        self.dir.mkdir()
        (self.dir / "test.ndb").write_text(f"Eicar-Test-Signature:0:0:{EICAR.hex()}\n")
        self.socket = self.dir / "clamd.sock"
        self.port = free_port()
        (self.dir / "clamd.conf").write_text(
            f"Foreground yes\nLocalSocket {self.socket}\nTCPSocket {self.port}\n"
            f"TCPAddr 127.0.0.1\nDatabaseDirectory {self.dir}\nLogFile {self.dir}/clamd.log\n"
            f"StreamMaxLength {stream_max}\n")
        self.proc = subprocess.Popen([CLAMD, "-c", str(self.dir / "clamd.conf")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_unix(self.socket, self.proc)

    def stop(self):
        stop_process(self.proc)


class CIcap:
    def __init__(self, tmp: Path, clamd_socket=None):
        self.dir = tmp / "cicap"
        self.dir.mkdir()
        self.port = free_port()
        conf = (f"PidFile {self.dir}/c.pid\nCommandsSocket {self.dir}/c.ctl\nTimeout 60\n"
                "StartServers 1\nMaxServers 1\nMinSpareThreads 2\nMaxSpareThreads 8\n"
                "ThreadsPerChild 8\n"
                f"Port 127.0.0.1:{self.port}\nTmpDir {self.dir}\nDebugLevel 1\n"
                f"ModulesDir {CICAP_MODULES}\nServicesDir {CICAP_MODULES}\n"
                "TemplateDir /usr/share/c_icap/templates/\n"
                "LoadMagicFile /etc/c-icap/c-icap.magic\n"
                f"ServerLog {self.dir}/server.log\nAccessLog {self.dir}/access.log\n"
                "Service echo srv_echo.so\n")
        if clamd_socket:
            conf += (f"Module common clamd_mod.so\nclamd_mod.ClamdSocket {clamd_socket}\n"
                     "Service antivirus_module virus_scan.so\n"
                     "ServiceAlias avscan virus_scan?allow204=on&sizelimit=off&mode=simple\n"
                     "virus_scan.ScanFileTypes TEXT DATA EXECUTABLE ARCHIVE GIF JPEG MSOFFICE\n"
                     "virus_scan.DefaultEngine clamd\n")
        (self.dir / "c-icap.conf").write_text(conf)
        self.proc = subprocess.Popen([CICAP, "-N", "-f", str(self.dir / "c-icap.conf")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(self.port, proc=self.proc)

    def stop(self):
        stop_process(self.proc)


def dnsmasq_address():
    """A loopback address whose port 53 is free, for a dnsmasq of our own."""
    for _ in range(50):
        address = f"127.{random.randint(1, 254)}.{random.randint(1, 254)}.{random.randint(2, 254)}"
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            s.bind((address, 53))
            return address
        except OSError:
            continue
        finally:
            s.close()
    raise RuntimeError("no loopback address with a free port 53")


class Dnsmasq:
    def __init__(self, tmp: Path, records):
        self.address = dnsmasq_address()
        self.dir = tmp / "dnsmasq"
        self.dir.mkdir()
        conf = [f"listen-address={self.address}", "bind-interfaces", "no-resolv", "no-hosts",
                "no-daemon", f"pid-file={self.dir}/dnsmasq.pid", "port=53"]
        conf += records
        (self.dir / "dnsmasq.conf").write_text("\n".join(conf) + "\n")
        self.proc = subprocess.Popen(["dnsmasq", "-C", str(self.dir / "dnsmasq.conf"),
                                      "--log-facility=" + str(self.dir / "log")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.wait_answering()

    def wait_answering(self, timeout=30.0):
        """Returns once dnsmasq answers a query (any answer will do)."""
        query = struct.pack("!HHHHHH", 0x6b76, 0x0100, 1, 0, 0, 0) + \
            b"\x05probe\x04test\x00" + struct.pack("!HH", 1, 1)
        deadline = time.monotonic() + timeout
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(0.2)
            while time.monotonic() < deadline:
                assert self.proc.poll() is None, self.proc.stderr.read()
                s.sendto(query, (self.address, 53))
                try:
                    if s.recv(512)[:2] == query[:2]:
                        return
                except (socket.timeout, ConnectionRefusedError):
                    pass
        raise RuntimeError(f"dnsmasq on {self.address} never answered")

    def stop(self):
        stop_process(self.proc)
