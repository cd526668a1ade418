"""serve_registry: the lease floor, start-up failures as RuntimeError, the
announced line on the process's own standard output, and serving while the
rest of the process goes on."""

import socket
import subprocess
import time

import pytest

from murlo_fixtures import MODULE_DIR, PYTHON, Registry, murlo, read_line  # noqa: F401  (fixture)

FLOOR = ("--ttl-ms {} is below the 200ms floor: clients beat at ttl/4 and no faster than every 50ms, "
         "so members would expire between heartbeats and the roster would flap")


def serve_in_child(code, timeout=20):
    """Starts `code` (which serves) in a child; returns it and the first line of its standard output."""
    proc = subprocess.Popen([PYTHON, "-c", "import sys; sys.path.insert(0, %r)\n" % MODULE_DIR + code],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    line = read_line(proc.stdout.fileno(), time.monotonic() + timeout)
    return proc, line


def stop(proc):
    proc.kill()
    proc.wait(timeout=20)
    proc.stdout.close()
    proc.stderr.close()


@pytest.mark.parametrize("ttl_ms", [199, 0, 1])
def test_a_lease_below_the_floor_is_refused(murlo, ttl_ms, capfd):
    with pytest.raises(RuntimeError) as e:
        murlo.serve_registry("127.0.0.1:0", ttl_ms)
    assert str(e.value) == FLOOR.format(ttl_ms)
    assert capfd.readouterr().out == ""


def test_a_lease_of_200_serves():
    r = Registry(ttl_ms=200)
    try:
        assert r.proc.poll() is None
        host, port = r.address.rsplit(":", 1)
        assert host == "127.0.0.1" and int(port) > 0
        socket.create_connection((host, int(port)), timeout=10).close()
    finally:
        r.stop()


@pytest.mark.parametrize("args,error,text", [
    (("127.0.0.1:0", -1), OverflowError, None),
    (("127.0.0.1:0", 2**64), OverflowError, None),
    (("127.0.0.1:0", 1000.0), TypeError, "argument 'ttl_ms': "),
    ((b"127.0.0.1:0", 1000), TypeError, "argument 'listen': "),
    (("127.0.0.1:0",), TypeError, "missing required argument 'ttl_ms' (pos 2)"),
    (("127.0.0.1:0", 1000, 1), TypeError, "takes at most 2 arguments (3 given)"),
])
def test_conversion_errors_come_before_anything_starts(murlo, args, error, text, capfd):
    with pytest.raises(error) as e:
        murlo.serve_registry(*args)
    assert type(e.value) is error
    if text is not None:
        assert text in str(e.value)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("listen,text", [
    ("no-colon", "invalid socket address"),
    ("127.0.0.1:99999", "invalid port value"),
])
def test_an_address_that_cannot_be_read(murlo, listen, text, capfd):
    with pytest.raises(RuntimeError) as e:
        murlo.serve_registry(listen, 1000)
    assert str(e.value) == text
    assert capfd.readouterr().out == ""


def test_an_address_in_use(murlo, capfd):
    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))
    taken.listen(1)
    try:
        with pytest.raises(RuntimeError) as e:
            murlo.serve_registry("127.0.0.1:%d" % taken.getsockname()[1], 1000)
        assert str(e.value) == "Address already in use (os error 98)"
        assert capfd.readouterr().out == ""
    finally:
        taken.close()
    # Nothing of the failed call lives on: the same thread can try again.
    with pytest.raises(RuntimeError, match="below the 200ms floor"):
        murlo.serve_registry("127.0.0.1:0", 100)


def test_the_line_goes_to_descriptor_1_whatever_sys_stdout_is():
    proc, line = serve_in_child(
        "import io, _murlo\n"
        "sys.stdout = io.StringIO()\n"
        "print('not this')\n"
        "_murlo.serve_registry('127.0.0.1:0', 1000)\n")
    try:
        assert line.startswith(b"127.0.0.1:") and line.endswith(b"\n")
        assert int(line[len("127.0.0.1:"):]) > 0
        time.sleep(0.2)
        assert proc.poll() is None  # still serving
    finally:
        stop(proc)


SERVE_AND_JOIN = r"""
import os, threading, time, _murlo
r, w = os.pipe()
saved = os.dup(1)
os.dup2(w, 1)  # catch the announced line in this process
t = threading.Thread(target=_murlo.serve_registry, args=("127.0.0.1:0", 2000), daemon=True)
t.start()
line = b""
while not line.endswith(b"\n"):
    line += os.read(r, 1)
os.dup2(saved, 1)
names = set()
for tid in os.listdir("/proc/self/task"):
    with open("/proc/self/task/%s/comm" % tid) as f:
        names.add(f.read().strip())
c = _murlo.Client("http://" + line.decode().strip(), "p", 1, 1, "rr")
c.watch(["p"])
print(c.start(), "murlo" in names, flush=True)
deadline = time.monotonic() + 20
while c.lookup("p") == "[]" and time.monotonic() < deadline:
    c.wait_revision(c.cache_revision(), 100)
print(c.lookup("p"), flush=True)
c.leave()
os._exit(0)  # the serving thread never returns
"""


def test_other_threads_run_and_join_while_one_serves():
    out = subprocess.run([PYTHON, "-c", "import sys; sys.path.insert(0, %r)\n" % MODULE_DIR + SERVE_AND_JOIN],
                         capture_output=True, timeout=60)
    assert out.returncode == 0, out.stderr.decode()
    # The registry's own threads are not the client's "murlo" workers.
    assert out.stdout.decode().splitlines() == [
        "True False",
        '[{"id":1,"incarnation":1,"state":{},"ready":false}]',
    ]
