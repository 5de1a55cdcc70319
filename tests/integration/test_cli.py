"""The command line of the kelvarine binary."""
import subprocess

from conftest import BINARY


def run(*args):
    return subprocess.run([str(BINARY), *args], capture_output=True, text=True, timeout=30)


def test_without_arguments_prints_help_and_succeeds():
    r = run()
    assert r.returncode == 0
    assert "-c <file>" in r.stderr


def test_version_exits_zero():
    r = run("-v")
    assert r.returncode == 0
    assert r.stdout.strip()


def test_make_run_keeps_the_host_feed_next_to_the_access_log():
    """The categorisation feed is named after the access log known when -l
    is read: `make run` gives -a first, so the feed is written under
    var/log instead of the checkout's root."""
    from conftest import ROOT
    r = subprocess.run(["make", "-n", "run"], cwd=ROOT, capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    line = " ".join(r.stdout.replace("\\\n", " ").split())
    at_a, at_l = line.find("-a var/log/access.log"), line.find("-l var/log/kelvarine.log")
    assert 0 <= at_a < at_l, line
