"""Fixtures and helpers of the module tests: the built _murlo module, registries
run by serve_registry in child processes, and members cleaned up after each
test. A module of its own rather than a conftest.py: other test folders import
their helpers from `conftest`, which a second conftest.py would shadow."""

import os
import subprocess
import sys
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("MURLO_BUILD", os.path.join(ROOT, "build"))
MODULE_DIR = os.path.join(BUILD, "client")
PYTHON = "/usr/bin/python3"

if MODULE_DIR not in sys.path:
    sys.path.insert(0, MODULE_DIR)
sys.path.insert(0, os.path.join(ROOT, "runtime", "test"))
from loopback import free_port, read_line, serve_in_threads  # noqa: E402,F401  (fixtures other files import from here)


# The start of a script that forks. run_child(child) runs child(say) in a
# forked child, where say(*parts) reports one JSON line through a pipe, and
# returns the lines said and the child's exit code, or None as the code after
# killing a child that had not ended within `limit` seconds. fork_child(child)
# prints those lines and ["exit", code], or ["hung"] (and exits). wait_for(check)
# is True once check() is, False after `limit` seconds.
FORK_CHILD = r"""
import json, os, sys, time

def wait_for(check, limit=10.0):
    end = time.monotonic() + limit
    while not check():
        if time.monotonic() > end:
            return False
        time.sleep(0.005)
    return True

def run_child(child, limit=30.0, poll=0.01):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        code = child(lambda *parts: os.write(w, (json.dumps(parts) + "\n").encode()))
        os.close(w)
        sys.exit(code)
    os.close(w)
    deadline = time.monotonic() + limit
    status = None
    while True:
        done, waited = os.waitpid(pid, os.WNOHANG)
        if done:
            status = waited
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            break
        time.sleep(poll)
    with os.fdopen(r) as lines:
        said = lines.read().splitlines()
    return said, None if status is None else os.waitstatus_to_exitcode(status)

def fork_child(child):
    said, code = run_child(child)
    if code is None:
        print(json.dumps(["hung"]))
        sys.exit(0)
    for line in said:
        print(line)
    print(json.dumps(["exit", code]))
"""


def module_built():
    return any(n.startswith("_murlo.") and n.endswith(".so") for n in os.listdir(MODULE_DIR)) if os.path.isdir(
        MODULE_DIR) else False


SERVE = "import sys; sys.path.insert(0, sys.argv[1]); import _murlo; _murlo.serve_registry(sys.argv[2], int(sys.argv[3]))"


class Registry:
    """A Python process blocked in serve_registry; `url` is the announced address as a base URL."""

    def __init__(self, listen="127.0.0.1:0", ttl_ms=10_000):
        self.ttl_ms = ttl_ms
        self.proc = subprocess.Popen([PYTHON, "-c", SERVE, MODULE_DIR, listen, str(ttl_ms)],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = read_line(self.proc.stdout.fileno(), time.monotonic() + 20)
        if not line:
            self.stop()
            raise RuntimeError("the registry announced no address: " + self.proc.stderr.read().decode())
        self.address = line.decode().rstrip("\n")
        self.url = "http://" + self.address

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=20)
        self.proc.stdout.close()
        self.proc.stderr.close()


def eventually(check, timeout=10.0, interval=0.01):
    """Polls `check` until it returns something true; returns that, or fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("condition not met within %.1fs" % timeout)
        time.sleep(interval)


@pytest.fixture(scope="session")
def murlo():
    if not module_built():
        pytest.skip("_murlo is not built in " + MODULE_DIR)
    import _murlo

    return _murlo


@pytest.fixture(scope="module")
def registry(murlo):
    r = Registry()
    yield r
    assert r.proc.poll() is None, "the registry died during the tests"
    r.stop()


@pytest.fixture
def start_registry(murlo):
    """Registries of a test's own (short leases, restarts)."""
    started = []

    def start(listen="127.0.0.1:0", ttl_ms=10_000):
        r = Registry(listen, ttl_ms)
        started.append(r)
        return r

    yield start
    for r in started:
        r.stop()


@pytest.fixture
def members(murlo):
    """Factory for started-or-not clients; every one still holding a runtime leaves at the end."""
    made = []

    def make(endpoint, pool="p", id=1, incarnation=1, policy="rr", **kw):
        c = murlo.Client(endpoint, pool, id, incarnation, policy, **kw)
        made.append(c)
        return c

    yield make
    for c in made:
        c.leave()


MEMBER = """
import sys, json
sys.path.insert(0, sys.argv[1])
import _murlo
c = _murlo.Client(sys.argv[2], sys.argv[3], int(sys.argv[4]), 1, "rr")
c.set_state(sys.argv[5], True)
print(c.start(), flush=True)
sys.stdin.read()  # until the parent closes it (or kills us)
c.leave()
"""


class MemberProcess:
    """A member in a process of its own: started when constructed, leaves when
    `stop` closes its input, or dies silently with `kill`."""

    def __init__(self, url, pool, id, state="{}"):
        self.proc = subprocess.Popen([PYTHON, "-c", MEMBER, MODULE_DIR, url, pool, str(id), state],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = read_line(self.proc.stdout.fileno(), time.monotonic() + 20)
        assert line == b"True\n", "the member did not start: %r" % line

    def kill(self):
        self.proc.kill()
        self.stop()

    def stop(self):
        if not self.proc.stdin.closed:
            self.proc.stdin.close()
        self.proc.wait(timeout=20)
        self.proc.stdout.close()


def roster_hash(id, incarnation):
    """The protocol's per-member fingerprint, computed independently."""
    h = 1469598103934665603
    for byte in id.to_bytes(8, "little") + incarnation.to_bytes(8, "little"):
        h = ((h ^ byte) * 0x100000001B3) % 2**64
    return h
