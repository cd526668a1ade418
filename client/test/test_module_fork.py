"""A started client in a forked child: start and leave refuse at once instead
of waiting for the parent's threads, dropping the client never blocks, after
abandon() a fresh runtime works, and no lock the parent's threads held at the
fork is left held in the child. Each case forks inside a fresh interpreter;
the parent reports what the child wrote to a pipe and its exit code, and a
child that hangs is killed and fails the test."""

import json
import subprocess

from murlo_fixtures import FORK_CHILD, MODULE_DIR, PYTHON, start_registry, murlo  # noqa: F401  (fixtures)

FORK = FORK_CHILD + r"""
sys.path.insert(0, sys.argv[1])
import _murlo
url, pool, case = sys.argv[2], sys.argv[3], sys.argv[4]
c = _murlo.Client(url, pool, 1, 1, "rr")
c.watch([pool])
assert c.start() and c.accepted
time.sleep(0.3)  # the parent's loop now waits in a held beat, on signals the child inherits

def child(say):
    if case == "refuse":
        for name in ("start", "leave"):
            t0 = time.monotonic()
            try:
                getattr(c, name)()
                say(name, "returned")
            except RuntimeError as e:
                say(name, str(e), time.monotonic() - t0 < 1.0)
        say("accepted", c.accepted)
        # Ends with the interpreter, dropping the client without abandon().
        return 5
    if case == "del":
        del globals()["c"]  # the last reference: the client is deallocated here
        say("dropped")
        return 6
    if case == "restart":
        c.abandon()
        say("start", c.start())
        d = _murlo.Client(url, pool, 2, 1, "rr")
        d.watch([pool])
        say("d", d.start())
        say("sees d", wait_for(lambda: [m["id"] for m in json.loads(c.lookup(pool))] == [1, 2]))
        # The held beat of the child's loop is cut by this change: it reaches d
        # long before the 5 s hold would end.
        time.sleep(0.3)  # past the coalescing window: the loop now waits in a held beat
        t0 = time.monotonic()
        assert c.set_state('{"from":"child"}', True)
        seen = wait_for(lambda: {"from": "child"} in [m["state"] for m in json.loads(d.lookup(pool))])
        say("change", seen, time.monotonic() - t0 < 2.5)
        d.leave()  # c stays: a leave would fence the parent's member out
        return 7

fork_child(child)
# The parent's own client is untouched by whatever the child did: its loop
# still hears its connection, so a change is acked long before the 5 s hold.
# (Publication 2: a child that published for this same identity took 1.)
t0 = time.monotonic()
c.set_state('{"parent":1}', True)
c.set_state('{"parent":2}', True)
end = t0 + 10
while c.publish_versions()[1] != c.publish_versions()[0] and time.monotonic() < end:
    time.sleep(0.005)
print(json.dumps(["parent", c.accepted, c.start(), time.monotonic() - t0 < 2.5]))
c.leave()
"""


def run_fork(url, pool, case):
    out = subprocess.run([PYTHON, "-c", FORK, MODULE_DIR, url, pool, case], capture_output=True, timeout=90)
    assert out.returncode == 0, out.stderr.decode()
    return [json.loads(line) for line in out.stdout.decode().splitlines()]


ADVICE = "Call abandon() first; start() then builds a fresh runtime."


def test_start_and_leave_refuse_at_once_in_a_forked_child(start_registry):
    r = start_registry(ttl_ms=20_000)
    lines = run_fork(r.url, "fork-refuse", "refuse")
    assert lines[-2:] == [["exit", 5], ["parent", True, True, True]], lines
    for (name, message, quick), expected in zip(lines[:2], ("start", "leave")):
        assert name == expected
        assert message.startswith("this client's runtime was started by process "), message
        assert ", a fork of it, where that runtime's threads do not exist. " in message
        assert message.endswith(ADVICE)
        assert quick
    assert lines[2] == ["accepted", True]


def test_dropping_the_client_in_a_forked_child_does_not_block(start_registry):
    r = start_registry(ttl_ms=20_000)
    lines = run_fork(r.url, "fork-del", "del")
    assert lines == [["dropped"], ["exit", 6], ["parent", True, True, True]]


def test_after_abandon_a_forked_child_starts_a_runtime_that_works(start_registry):
    r = start_registry(ttl_ms=20_000)  # held beats of 5 s
    lines = run_fork(r.url, "fork-restart", "restart")
    assert lines == [["start", True], ["d", True], ["sees d", True], ["change", True, True], ["exit", 7],
                     ["parent", True, True, True]]


SPIN = FORK_CHILD + r"""
import json, os, signal, sys, threading, time
sys.path.insert(0, sys.argv[1])
import _murlo
url, pool, registry_pid, forks = sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
c = _murlo.Client(url, pool, 1, 1, "rr", coalesce_ms=0)
c.watch([pool])
assert c.start() and c.accepted
sink = os.open(os.devnull, os.O_WRONLY)
for _ in range(3000):
    c.add_wake_fd(sink)
# With the registry gone every beat fails at once and, without a coalescing
# window, the next follows at once: the loop's threads are nearly always
# inside one of the client's locks, ringing into 3000 entries.
os.kill(registry_pid, signal.SIGKILL)
failed = c.stats()["beats_failed"]
end = time.monotonic() + 20
while c.stats()["beats_failed"] < failed + 20 and time.monotonic() < end:
    time.sleep(0.01)

# A thread of the parent waits on the revision at every fork.
stop = False
def waiter():
    while not stop:
        c.wait_revision(c.cache_revision(), 1000)
threading.Thread(target=waiter, daemon=True).start()

def child(i, say):
    c.abandon()
    st = c.stats()
    err = c.last_error()
    ids = [m["id"] for m in json.loads(c.lookup(pool))]
    changed = c.set_state('{"child":%d}' % i, True)
    started = c.start(50)
    rev = c.cache_revision()
    rung = c.wait_revision(rev, 3000) > rev  # by the child's own loop, failing too
    c.abandon()
    rev = c.cache_revision()
    c.wake()
    moved = c.wait_revision(rev, 1000) > rev
    c.drop_wake_fd(sink)
    c.wake()
    say(st["beats_failed"] > failed, err != "", ids, changed, started, rung, moved)

hung, results = 0, []
for i in range(forks):
    # The child ends through the interpreter's own exit, dropping the client.
    said, code = run_child(lambda say: child(i, say), limit=5, poll=0.002)
    hung += code is None
    results.append([[json.loads(line) for line in said], code])

# The parent's loop went on failing and ringing through every fork.
rev = c.cache_revision()
still = c.wait_revision(rev, 5000) > rev
stop = True
c.wake()
print(json.dumps({"hung": hung, "results": results, "parent": still}))
c.leave()
"""


def test_forked_children_of_a_client_ringing_without_pause_never_hang(start_registry):
    r = start_registry(ttl_ms=20_000)
    forks = 100
    out = subprocess.run([PYTHON, "-c", SPIN, MODULE_DIR, r.url, "fork-spin", str(r.proc.pid), str(forks)],
                         capture_output=True, timeout=forks * 6 + 60)
    assert out.returncode == 0, out.stderr.decode()
    report = json.loads(out.stdout.decode())
    print("forked children that hung: %d of %d" % (report["hung"], forks))
    assert report["hung"] == 0
    assert report["parent"]
    expected = [[[True, True, [1], True, True, True, True]], 0]
    assert [res for res in report["results"] if res != expected] == []
