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
