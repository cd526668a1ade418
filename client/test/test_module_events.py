"""Waiting for changes the ways a program does: an asyncio reader on a wake
descriptor, a descriptor nobody reads, and a forked child that lets go of its
inherited runtime."""

import asyncio
import json
import os
import subprocess
import sys
import time

from murlo_fixtures import MODULE_DIR, PYTHON, members, murlo, registry  # noqa: F401  (fixtures)


def run_script(code, *args, timeout=60):
    """Runs `code` in a fresh interpreter with the module importable; returns its stdout."""
    out = subprocess.run([PYTHON, "-c", "import sys; sys.path.insert(0, %r)\n" % MODULE_DIR + code, *args],
                         capture_output=True, timeout=timeout)
    assert out.returncode == 0, out.stderr.decode()
    return out.stdout.decode()


def test_an_asyncio_reader_on_a_wake_descriptor(registry, members):
    w = members(registry.url, "events", 1)
    w.watch(["events"])
    assert w.start()

    async def main():
        loop = asyncio.get_running_loop()
        r, wfd = os.pipe()
        os.set_blocking(r, False)
        os.set_blocking(wfd, False)
        rung = asyncio.Event()

        def readable():
            try:
                while os.read(r, 4096):
                    pass
            except BlockingIOError:
                pass
            rung.set()

        loop.add_reader(r, readable)
        w.add_wake_fd(wfd)
        try:
            joiner = members(registry.url, "events", 2)
            assert joiner.start()
            deadline = loop.time() + 20
            while 2 not in [m["id"] for m in json.loads(w.lookup("events"))]:
                rung.clear()
                await asyncio.wait_for(rung.wait(), deadline - loop.time())
            return True
        finally:
            w.drop_wake_fd(wfd)
            loop.remove_reader(r)
            os.close(r)
            os.close(wfd)

    assert asyncio.run(main())


FULL_PIPE = r"""
import json, os, sys, time, threading, _murlo
url = sys.argv[1]
w = _murlo.Client(url, "full", 1, 1, "rr")
w.watch(["full"])
# A blocking pipe filled to the brim, that nobody will ever read.
r, full = os.pipe()
os.set_blocking(full, False)
try:
    while True:
        os.write(full, b"x" * 4096)
except BlockingIOError:
    pass
try:
    while True:
        os.write(full, b"x")
except BlockingIOError:
    pass
os.set_blocking(full, True)
w.add_wake_fd(full)
ok_r, ok_w = os.pipe()
os.set_blocking(ok_r, False)
w.add_wake_fd(ok_w)
assert w.start()
w.wake()
other = _murlo.Client(url, "full", 2, 1, "rr")
assert other.start()
other.set_state('{"n":1}', True)
deadline = time.monotonic() + 20
while not [m for m in json.loads(w.lookup("full")) if m["id"] == 2 and m["ready"]]:
    assert time.monotonic() < deadline, "the cache stopped following the registry"
    w.wait_revision(w.cache_revision(), 200)
got = os.read(ok_r, 4096)
assert got and set(got) == {1}, got
print("ok", w.cache_revision() >= 3)
other.leave()
w.leave()
"""


def test_a_full_pipe_as_wake_descriptor_stalls_nothing(registry):
    assert run_script(FULL_PIPE, registry.url) == "ok True\n"


FORKED = r"""
import os, sys, time, _murlo
c = _murlo.Client(sys.argv[1], "forked", 1, 1, "rr")
assert c.start()
pid = os.fork()
if pid == 0:
    c.abandon()
    c.leave()   # nothing to send or shut down any more
    sys.exit(7)  # the interpreter ends normally, dropping the client
deadline = time.monotonic() + 20
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    assert time.monotonic() < deadline, "the child did not exit"
    time.sleep(0.01)
print(os.waitstatus_to_exitcode(status), round(time.monotonic() - deadline + 20, 1) < 10)
assert c.accepted and c.stats()["beats_ok"] >= 1
c.leave()
"""


def test_a_forked_child_abandons_the_runtime_and_exits(registry):
    assert run_script(FORKED, registry.url) == "7 True\n"
