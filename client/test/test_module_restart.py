"""A registry killed and started again on the same port: every member is back
on the new one at once, not after its paced wait; a stopped registry whose
connections stay open does not make members beat more often."""

import json
import os
import signal
import time
import urllib.request

import pytest

from murlo_fixtures import eventually, members, murlo, start_registry  # noqa: F401  (fixtures)


def listed(registry, pool):
    """How many members the registry lists in `pool` (GET /v1/pools)."""
    with urllib.request.urlopen(registry.url + "/v1/pools", timeout=5) as reply:
        return json.loads(reply.read()).get(pool, {}).get("members", 0)


def listed_version(registry, pool):
    with urllib.request.urlopen(registry.url + "/v1/pools", timeout=5) as reply:
        return json.loads(reply.read()).get(pool, {}).get("version", -1)


@pytest.mark.parametrize("down_s", [0.0, 0.5])
def test_workers_that_watch_nothing_are_back_at_once_after_a_restart(start_registry, members, down_s):
    # A 120 s lease: a worker that watches nothing beats every 30 s, and slept
    # through the restart for up to that long. The new registry listens at
    # once, or after the workers have found nothing listening for a while.
    first = start_registry(ttl_ms=120_000)
    workers = [members(first.url, "workers", id, policy="rr") for id in range(1, 13)]
    for w in workers:
        w.set_state("{}", True)
        assert w.start()
    dispatcher = members(first.url, "dispatch", 100)
    dispatcher.watch(["workers"])
    assert dispatcher.start()
    eventually(lambda: len(json.loads(dispatcher.lookup("workers"))) == 12)
    # Past every worker's first answered beat of its loop, into the paced wait.
    eventually(lambda: all(w.stats()["interval_ms"] == 30_000 for w in workers))
    time.sleep(0.2)

    first.proc.send_signal(signal.SIGKILL)
    first.proc.wait(timeout=20)
    time.sleep(down_s)
    second = start_registry(first.address, ttl_ms=120_000)
    listening = time.monotonic()
    # Well within the 30 s a paced wait lasts; the bound only tells the two apart.
    eventually(lambda: listed(second, "workers") == 12, timeout=10, interval=0.005)
    assert time.monotonic() - listening < 5
    # The dispatcher's view refills from the new registry.
    eventually(lambda: dispatcher.pool_info("workers")[0] == listed_version(second, "workers")
               and len(json.loads(dispatcher.lookup("workers"))) == 12)


def test_a_stopped_registry_with_its_connections_open_does_not_speed_up_beats(start_registry, members):
    # A 4 s lease: held beats of 1000 ms, answered at once for a member that
    # watches nothing, which then waits out its 1000 ms interval. Stopped, the
    # registry answers nothing and keeps every connection: each beat runs to
    # its 1700 ms reply deadline, as it always has.
    r = start_registry(ttl_ms=4000)
    quiet = members(r.url, "workers", 1)
    watcher = members(r.url, "dispatch", 2)
    watcher.watch(["workers"])
    assert quiet.start() and watcher.start()
    eventually(lambda: quiet.stats()["interval_ms"] == 1000 and watcher.stats()["interval_ms"] == 1000)
    before = {c: c.stats()["beats_ok"] + c.stats()["beats_failed"] for c in (quiet, watcher)}
    os.kill(r.proc.pid, signal.SIGSTOP)
    try:
        time.sleep(3.5)
    finally:
        os.kill(r.proc.pid, signal.SIGCONT)
    for c in (quiet, watcher):
        stats = c.stats()
        attempts = stats["beats_ok"] + stats["beats_failed"] - before[c]
        # At most one beat answered or failed per 1700 ms deadline, and the one in flight.
        assert attempts <= 3, (stats, attempts)
        assert "no reply within" in c.last_error() or stats["beats_failed"] == 0
