"""leave() is for good: the calls that would publish something afterwards
refuse and change nothing, and a leave that comes while another thread's
start() waits for its first answer still removes the member, against a real
registry, long before its lease."""

import http.client
import json
import os
import signal
import threading

import pytest

from murlo_fixtures import eventually, members, murlo, registry, start_registry  # noqa: F401  (fixtures)

LEFT = "this client has left its pool. A new Client with a fresh incarnation joins again."


def pool_members(registry, pool):
    """The registry's own count of live members in `pool`, from its pool listing."""
    conn = http.client.HTTPConnection(*registry.address.rsplit(":", 1), timeout=20)
    try:
        conn.request("GET", "/v1/pools")
        listing = json.loads(conn.getresponse().read())
    finally:
        conn.close()
    return listing.get(pool, {}).get("members", 0)


def connections_to(port):
    """Established TCP connections on loopback whose far end is `port`."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return sum(1 for row in rows if int(row[2].split(":")[1], 16) == port and row[3] == "01")


def published(c):
    stats = c.stats()
    return c.publish_versions(), c.is_ready(), stats["state_bytes"], stats["watched_pools"]


@pytest.mark.parametrize("call", [
    lambda c: c.set_state('{"a":1}', True),
    lambda c: c.set_state_only('{"a":1}'),
    lambda c: c.set_url("http://me"),
    lambda c: c.watch(["other"]),
], ids=["set_state", "set_state_only", "set_url", "watch"])
@pytest.mark.parametrize("started", [False, True], ids=["never started", "started"])
def test_publishing_after_leave_refuses_and_changes_nothing(registry, members, call, started):
    c = members(registry.url, "after-leave", 1)
    if started:
        assert c.start() is True
    c.leave()
    before = published(c)
    with pytest.raises(RuntimeError) as e:
        call(c)
    assert type(e.value) is RuntimeError and str(e.value) == LEFT
    assert published(c) == before


def test_a_leave_while_start_waits_for_its_answer_removes_the_member(start_registry, members):
    r = start_registry(ttl_ms=10_000)
    c = members(r.url, "racing", 1)
    outcome = {}

    def start():
        try:
            outcome["result"] = c.start(60_000)
        except RuntimeError as e:
            outcome["error"] = str(e)

    # Stopped, the registry's kernel still takes the connections and beats of
    # start and its loop, but nothing answers them until it goes on.
    port = int(r.address.rsplit(":", 1)[1])
    os.kill(r.proc.pid, signal.SIGSTOP)
    try:
        starting = threading.Thread(target=start)
        starting.start()
        # The loop's connection and the bounded beat's own: start is waiting.
        eventually(lambda: connections_to(port) == 2)
        c.leave()
    finally:
        os.kill(r.proc.pid, signal.SIGCONT)
    starting.join(timeout=60)
    assert not starting.is_alive()
    # start reports that the client left, and the member has left already.
    assert outcome == {"error": LEFT}
    assert pool_members(r, "racing") == 0
    assert c.leave() is None
