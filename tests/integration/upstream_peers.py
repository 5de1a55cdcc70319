"""Peers that lie on the road upstream, each started with its own
configuration in a temporary directory: nginx serving TLS on two names with
a self-signed certificate the test makes, and tinyproxy as a parent proxy."""
import os
import subprocess
import time
from pathlib import Path

from conftest import open_for_nginx, wait_until
from procs import free_port, stop_process, wait_port

# Names the TLS server answers to; the proxy resolves both to loopback.
TLS_NAMES = ("alpha.tls.test", "beta.tls.test")


def make_certificate(dirpath: Path, name: str):
    """A self-signed certificate and key for `name`."""
    key, cert = dirpath / f"{name}.key", dirpath / f"{name}.crt"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                    "-keyout", str(key), "-out", str(cert), "-days", "2",
                    "-subj", f"/CN={name}"],
                   check=True, capture_output=True, timeout=60)
    return cert, key


class TlsNginx:
    """nginx on one port with a TLS server block per name in TLS_NAMES.
    Each block answers /name with the name that chose it (the SNI the
    client sent) and serves the files of its own root."""

    def __init__(self, tmp: Path):
        open_for_nginx(tmp)
        self.dir = tmp / "tls-nginx"
        self.dir.mkdir(parents=True)
        self.port = free_port()
        self.roots = {}
        blocks = []
        for i, name in enumerate(TLS_NAMES):
            cert, key = make_certificate(self.dir, name)
            root = self.dir / name
            root.mkdir()
            self.roots[name] = root
            default = " default_server" if i == 0 else ""
            blocks.append(f"""
    server {{
        listen 127.0.0.1:{self.port} ssl{default};
        server_name {name};
        ssl_certificate {cert};
        ssl_certificate_key {key};
        root {root};
        location = /name {{ default_type text/plain; return 200 "sni=$ssl_server_name block={name}\\n"; }}
    }}""")
        conf = f"""
daemon off;
worker_processes 1;
pid {self.dir}/nginx.pid;
error_log {self.dir}/error.log warn;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    client_body_temp_path {self.dir}/body;
    proxy_temp_path {self.dir}/proxy;
    fastcgi_temp_path {self.dir}/fastcgi;
    uwsgi_temp_path {self.dir}/uwsgi;
    scgi_temp_path {self.dir}/scgi;
    default_type application/octet-stream;
    keepalive_requests 10000;
{''.join(blocks)}
}}
"""
        (self.dir / "nginx.conf").write_text(conf)
        self.proc = subprocess.Popen(
            ["/usr/sbin/nginx", "-c", str(self.dir / "nginx.conf"), "-p", str(self.dir)],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_port(self.port, proc=self.proc)

    def stop(self):
        stop_process(self.proc)


class Tinyproxy:
    """tinyproxy as a parent proxy, optionally asking for Basic
    credentials.  Its log shows every request it relayed."""

    def __init__(self, tmp: Path, tag: str, auth=None, connect_ports=(), idle=30):
        self.dir = tmp / f"tinyproxy-{tag}"
        self.dir.mkdir(parents=True)
        self.port = free_port()
        self.log = self.dir / "tinyproxy.log"
        lines = [f"Port {self.port}", "Listen 127.0.0.1", f"Timeout {idle}",
                 f"LogFile \"{self.log}\"", "LogLevel Connect", "MaxClients 50",
                 "Allow 127.0.0.0/8", "DisableViaHeader Yes",
                 f"PidFile \"{self.dir}/tinyproxy.pid\""]
        if auth:
            lines.append(f"BasicAuth {auth[0]} {auth[1]}")
        for port in connect_ports:
            lines.append(f"ConnectPort {port}")
        (self.dir / "tinyproxy.conf").write_text("\n".join(lines) + "\n")
        self.proc = subprocess.Popen(
            ["/usr/bin/tinyproxy", "-d", "-c", str(self.dir / "tinyproxy.conf")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(self.port, proc=self.proc)

    def log_text(self):
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def requests_seen(self, needle, at_least=1):
        """Waits until the log names `needle` at least that often; returns
        the count."""
        wait_until(lambda: self.log_text().count(needle) >= at_least, timeout=5)
        return self.log_text().count(needle)

    def stop(self):
        stop_process(self.proc)


class Dante:
    """dante as a SOCKS4 and SOCKS5 server.  SOCKS5 clients must log in
    with `user` and `password`, checked against a passwd and shadow file
    of the test's own, bind-mounted over the machine's inside a private
    mount namespace (the machine's files are never changed)."""

    def __init__(self, tmp: Path, user="kvsocks", password="sekrit"):
        self.dir = tmp / "dante"
        self.dir.mkdir(parents=True)
        self.port = free_port()
        self.log = self.dir / "dante.log"
        crypted = subprocess.run(["openssl", "passwd", "-6", password], check=True,
                                 capture_output=True, text=True).stdout.strip()
        passwd = [l for l in Path("/etc/passwd").read_text().splitlines()
                  if not l.startswith(user + ":")]
        passwd.append(f"{user}:x:4242:4242::/nonexistent:/usr/sbin/nologin")
        (self.dir / "passwd").write_text("\n".join(passwd) + "\n")
        shadow = [l for l in Path("/etc/shadow").read_text().splitlines()
                  if not l.startswith(user + ":")]
        shadow.append(f"{user}:{crypted}:19000:0:99999:7:::")
        (self.dir / "shadow").write_text("\n".join(shadow) + "\n")
        (self.dir / "shadow").chmod(0o600)
        (self.dir / "danted.conf").write_text(f"""logoutput: {self.log}
internal: 127.0.0.1 port = {self.port}
external: 127.0.0.1
clientmethod: none
socksmethod: username none
user.privileged: root
user.unprivileged: nobody
client pass {{ from: 127.0.0.0/8 to: 0.0.0.0/0
  log: error connect }}
socks pass {{ from: 127.0.0.0/8 to: 0.0.0.0/0
  command: connect
  log: connect disconnect error }}
""")
        script = ('mount --bind "$1" /etc/passwd && mount --bind "$2" /etc/shadow '
                  '&& shift 2 && exec "$@"')
        self.proc = subprocess.Popen(
            ["unshare", "-m", "sh", "-c", script, "sh", str(self.dir / "passwd"),
             str(self.dir / "shadow"), "/usr/sbin/danted", "-f", str(self.dir / "danted.conf"),
             "-p", str(self.dir / "danted.pid")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(self.port, proc=self.proc)

    def log_text(self):
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def stop(self):
        stop_process(self.proc)


class Vsftpd:
    """vsftpd with anonymous access to `anon_root` (its "pub" directory
    writable) and one named user with a home of its own, both entered as
    "/" (chroot).  The users live in a passwd and shadow file of the test's
    own, bind-mounted over the machine's inside a private mount namespace."""

    ANON_UID, USER_UID = 4243, 4244

    def __init__(self, tmp: Path, user="kvuser", password="userpw", address="127.0.0.1"):
        self.dir = tmp / "vsftpd"
        self.address = address
        self.anon_root = self.dir / "anon"
        self.pub = self.anon_root / "pub"
        self.home = self.dir / "home"
        empty = self.dir / "empty"
        for d in (self.pub, self.home, empty):
            d.mkdir(parents=True)
        for d in [tmp, *tmp.parents]:
            if d in (Path("/tmp"), Path("/")):
                break
            d.chmod(0o755)
        self.dir.chmod(0o755)
        os.chown(self.pub, self.ANON_UID, self.ANON_UID)
        os.chown(self.home, self.USER_UID, self.USER_UID)
        self.port = free_port(address)
        crypted = subprocess.run(["openssl", "passwd", "-6", password], check=True,
                                 capture_output=True, text=True).stdout.strip()
        names = ("kvftp:", user + ":")
        passwd = [l for l in Path("/etc/passwd").read_text().splitlines()
                  if not l.startswith(names)]
        passwd += [f"kvftp:x:{self.ANON_UID}:{self.ANON_UID}::{self.anon_root}:/bin/sh",
                   f"{user}:x:{self.USER_UID}:{self.USER_UID}::{self.home}:/bin/sh"]
        (self.dir / "passwd").write_text("\n".join(passwd) + "\n")
        shadow = [l for l in Path("/etc/shadow").read_text().splitlines()
                  if not l.startswith(names)]
        shadow.append(f"{user}:{crypted}:19000:0:99999:7:::")
        (self.dir / "shadow").write_text("\n".join(shadow) + "\n")
        (self.dir / "shadow").chmod(0o600)
        (self.dir / "vsftpd.conf").write_text(f"""listen=YES
listen_address={address}
listen_port={self.port}
background=NO
anonymous_enable=YES
local_enable=YES
no_anon_password=YES
anon_root={self.anon_root}
ftp_username=kvftp
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
chroot_local_user=YES
allow_writeable_chroot=YES
secure_chroot_dir={empty}
pasv_enable=YES
port_enable=YES
connect_from_port_20=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
xferlog_enable=NO
""")
        script = ('mount --bind "$1" /etc/passwd && mount --bind "$2" /etc/shadow '
                  '&& shift 2 && exec "$@"')
        self.proc = subprocess.Popen(
            ["unshare", "-m", "sh", "-c", script, "sh", str(self.dir / "passwd"),
             str(self.dir / "shadow"), "/usr/sbin/vsftpd", str(self.dir / "vsftpd.conf")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(self.port, host=address, proc=self.proc)

    def stop(self):
        stop_process(self.proc)
