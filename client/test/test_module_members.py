"""Members through a real registry (serve_registry in a child process):
joining, publishing, the six cache queries, refusals, leaving, expiry, a
registry restart, start's result and the end of a client's runtime."""

import json
import os
import socket
import threading
import time

import pytest

from murlo_fixtures import (MemberProcess, eventually, free_port, members, murlo, registry,  # noqa: F401  (fixtures)
                            roster_hash, start_registry)

_pools = iter(range(10**6))


@pytest.fixture
def pool():
    """A pool name of the test's own on the shared registry."""
    return "pool-%d" % next(_pools)


def ids(json_text):
    return [m["id"] for m in json.loads(json_text)]


def murlo_threads():
    """Thread ids of this process named "murlo" (the client runtimes' workers)."""
    found = set()
    for tid in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/%s/comm" % tid) as f:
                if f.read().strip() == "murlo":
                    found.add(tid)
        except FileNotFoundError:
            pass
    return found


# --- joining and publishing --------------------------------------------------------


def test_members_join_and_see_each_other(registry, members, pool):
    a = members(registry.url, pool, 1, 7, "rr", slot=0, url="http://a", size=3, methods=["m1", "m2"])
    b = members(endpoint=registry.url, methods=None, size=None, slot=1, incarnation=1, id=2, policy="rr", pool=pool)
    for c in (a, b):
        c.watch([pool])
        assert c.start() is True
    roster = json.loads(eventually(lambda: len(ids(a.lookup(pool))) == 2 and a.lookup(pool)))
    assert roster == [
        {"id": 1, "slot": 0, "incarnation": 7, "url": "http://a", "state": {}, "ready": False},
        {"id": 2, "slot": 1, "incarnation": 1, "state": {}, "ready": False},
    ]
    version, roster_fp, size, methods = a.pool_info(pool)
    assert (size, methods) == (3, ["m1", "m2"])
    assert roster_fp == roster_hash(1, 7) ^ roster_hash(2, 1)
    assert a.stats()["pool_revision"] == version >= 2
    assert a.registry() == (2, "0.17.0")
    assert a.accepted is True and a.refused() == "" and a.last_error() == ""
    assert a.silence_ms < 5000


def test_published_state_reaches_the_others(registry, members, pool):
    a = members(registry.url, pool, 1)
    b = members(registry.url, pool, 2)
    a.watch([pool])
    assert a.start() and b.start()
    started = time.monotonic()
    assert b.set_state('{"role":"db","n":1}', True) is True
    b.set_url("http://b")
    seen = eventually(lambda: [m for m in json.loads(a.lookup(pool)) if m["id"] == 2 and "url" in m])
    assert seen == [{"id": 2, "incarnation": 1, "url": "http://b", "state": {"n": 1, "role": "db"}, "ready": True}]
    assert time.monotonic() - started < 5
    eventually(lambda: b.publish_versions() == (2, 2))


# --- the six queries ------------------------------------------------------------------


@pytest.fixture
def roster(registry, members, pool):
    """A watcher (id 9, not ready) of a pool of four published members; returns the watcher."""
    published = [
        (1, 0, '{"role":"db","n":1}', True),
        (2, 0, '{"role":"db","n":2.0}', True),
        (3, 1, '{"role":"web","n":1}', False),
        (4, 1, '[1,2]', True),
    ]
    for id, slot, state, ready in published:
        c = members(registry.url, pool, id, slot=slot)
        c.set_state(state, ready)
        assert c.start()
    w = members(registry.url, pool, 9)
    w.watch([pool])
    assert w.start()
    eventually(lambda: len(ids(w.lookup(pool, require_ready=True))) == 3)
    return w


def test_lookup_lists_members_in_id_order(roster, pool):
    assert ids(roster.lookup(pool)) == [1, 2, 3, 4, 9]
    assert ids(roster.lookup(pool, require_ready=True)) == [1, 2, 4]
    assert ids(roster.lookup(pool, '{"role":"db"}')) == [1, 2]
    assert ids(roster.lookup(pool, '{"n":1.0}')) == [1, 3]  # numbers by value
    assert ids(roster.lookup(pool, '{"n":2}', True)) == [2]
    assert ids(roster.lookup(pool, '{"role":"db","n":1}')) == [1]
    assert roster.lookup(pool, '{"role":"none"}') == "[]"
    assert roster.lookup(pool, filter_json='{"role":"web"}', require_ready=True) == "[]"


@pytest.mark.parametrize("everything", ["{}", "[]", "1", "null", ' "role" ', '{ }'])
def test_filters_that_match_everything(roster, pool, everything):
    for ready in (False, True):
        assert roster.lookup(pool, everything, ready) == roster.frozen(pool, ready)[0]


def test_choose_draws_only_qualifying_members(roster, pool):
    drawn = {json.loads(roster.choose(pool))["id"] for _ in range(200)}
    assert drawn == {1, 2, 4}  # ready ones by default, each drawn at some point
    drawn = {json.loads(roster.choose(pool, '{"role":"db"}'))["id"] for _ in range(100)}
    assert drawn == {1, 2}
    assert json.loads(roster.choose(pool, '{"role":"web"}', False))["id"] == 3
    assert roster.choose(pool, '{"role":"web"}') is None
    chosen = json.loads(roster.choose(pool, '{"n":2}'))
    assert chosen == {"id": 2, "slot": 0, "incarnation": 1, "state": {"n": 2.0, "role": "db"}, "ready": True}


def test_lookup_slot_gives_the_lowest_qualifying_holder(roster, pool):
    assert json.loads(roster.lookup_slot(pool, 0))["id"] == 1
    assert json.loads(roster.lookup_slot(pool, 1))["id"] == 3
    assert json.loads(roster.lookup_slot(pool, 1, True))["id"] == 4
    assert roster.lookup_slot(pool, 2) is None


def test_frozen_fingerprints(roster, pool):
    everyone, fp_all, registry_fp, version = roster.frozen(pool, False)
    assert fp_all == registry_fp == roster_hash(1, 1) ^ roster_hash(2, 1) ^ roster_hash(3, 1) ^ roster_hash(4, 1) \
        ^ roster_hash(9, 1)
    ready, fp_ready, registry_fp2, version2 = roster.frozen(pool)
    assert ids(ready) == [1, 2, 4]
    assert fp_ready == roster_hash(1, 1) ^ roster_hash(2, 1) ^ roster_hash(4, 1)
    assert (registry_fp2, version2) == (registry_fp, version)
    assert roster.pool_info(pool)[:2] == (version, registry_fp)
    assert ids(everyone) == [1, 2, 3, 4, 9]


def test_field_digest_follows_only_the_named_fields(registry, members, pool):
    a = members(registry.url, pool, 1)
    a.set_state('{"role":"db","load":1}', False)
    w = members(registry.url, pool, 2)
    w.watch([pool])
    assert a.start() and w.start()
    eventually(lambda: len(ids(w.lookup(pool))) == 2)
    before = {f: w.field_digest(pool, list(f)) for f in [("role",), ("ready",), ("url",), ("role", "ready"), ()]}

    def after_change(publish, expect):
        version = w.pool_info(pool)[0]
        publish()
        eventually(lambda: w.pool_info(pool)[0] > version)
        for fields, old in before.items():
            assert (w.field_digest(pool, list(fields)) != old) == (fields in expect), fields
            before[fields] = w.field_digest(pool, list(fields))

    after_change(lambda: a.set_state('{"role":"db","load":2}', False), set())
    after_change(lambda: a.set_state('{"role":"web","load":2}', False), {("role",), ("role", "ready")})
    after_change(lambda: a.set_state('{"role":"web","load":2}', True), {("ready",), ("role", "ready")})
    after_change(lambda: a.set_url("http://a"), {("url",)})
    assert w.field_digest(pool, ("role", "ready")) != w.field_digest(pool, ["ready", "role"])
    with pytest.raises(TypeError):
        w.field_digest(pool, "role")


def test_pool_info_hands_out_a_copy(registry, members, pool):
    a = members(registry.url, pool, 1, methods=("get", "put"))
    a.watch([pool])
    assert a.start()
    methods = eventually(lambda: a.pool_info(pool))[3]
    assert methods == ["get", "put"]
    methods.append("changed")
    assert a.pool_info(pool)[3] == ["get", "put"]
    assert a.pool_info(pool)[2] is None


def test_a_watched_pool_without_members(registry, members, pool):
    a = members(registry.url, pool, 1)
    a.watch([pool + "-empty"])
    assert a.start()
    empty = pool + "-empty"
    info = eventually(lambda: a.pool_info(empty))
    assert a.lookup(empty) == "[]"
    assert a.choose(empty) is None and a.lookup_slot(empty, 0) is None
    assert a.frozen(empty) == ("[]", 0, 0, info[0])
    assert a.pool_info(pool) is None  # not watched: never cached


# --- refusals -----------------------------------------------------------------------------


@pytest.mark.parametrize("first,second,refused", [
    ({"policy": "rr"}, {"policy": "hash"}, 'pool "{pool}" is running as "rr", this member says "hash"'),
    ({"size": 4}, {"size": 5}, 'pool "{pool}" was opened with size 4, this member says 5'),
])
def test_a_member_that_does_not_fit_is_refused(registry, members, pool, first, second, refused):
    a = members(registry.url, pool, 1, **first)
    assert a.start()
    b = members(registry.url, pool, 2, **{"policy": "rr", **second})
    assert b.start() is True
    assert b.accepted is False
    assert b.refused() == refused.format(pool=pool)
    assert a.accepted is True


def test_the_state_limit(registry, members, pool):
    c = members(registry.url, pool, 1)
    state = json.dumps({"s": "x" * (16_384 - 8)}, separators=(",", ":"))
    assert c.set_state(state, True)
    assert c.stats()["state_bytes"] == 16_384
    assert c.start() is True
    assert c.accepted is True
    # One byte more is refused by the client itself; the member stays accepted.
    with pytest.raises(RuntimeError, match="^state is 16385 bytes of JSON, the limit is 16384$"):
        c.set_state(json.dumps({"s": "x" * (16_385 - 8)}, separators=(",", ":")), True)
    assert c.publish_versions() == (1, 1)
    assert c.accepted is True
    assert c.refused() == ""


def test_a_refused_member_stops_beating(registry, members, pool):
    members(registry.url, pool, 1, policy="rr").start()
    b = members(registry.url, pool, 2, policy="other")
    assert b.start() is True
    assert b.accepted is False
    time.sleep(1.0)
    beats = b.stats()["beats_ok"] + b.stats()["beats_failed"]
    b.set_state('{"x":1}', True)  # stored, but no beat carries it any more
    time.sleep(1.0)
    assert b.stats()["beats_ok"] + b.stats()["beats_failed"] == beats
    assert b.accepted is False


# --- start ------------------------------------------------------------------------------------


def test_start_against_nothing_listening_returns_false_at_once(members):
    c = members("http://127.0.0.1:%d" % free_port(), "p", 1)
    started = time.monotonic()
    assert c.start(10_000) is False
    assert time.monotonic() - started < 5  # one failed attempt, not the budget
    assert c.last_error() != ""
    assert c.stats()["beats_failed"] >= 1 and c.stats()["beats_ok"] == 0
    assert c.cache_revision() >= 1  # the failed beat rang the bell
    assert c.accepted is True


def test_a_second_start_returns_at_once(registry, members, pool):
    c = members(registry.url, pool, 1)
    assert c.start() is True
    threads = murlo_threads()
    started = time.monotonic()
    assert c.start(10_000) is True
    assert time.monotonic() - started < 2
    # The first runtime was shut down and waited for; the second has threads of its own.
    assert not threads & murlo_threads()


def test_start_releases_the_interpreter_lock_during_its_beat(members):
    # A listener that never answers holds the bounded beat for its whole budget.
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(16)
    c = members("http://127.0.0.1:%d" % silent.getsockname()[1], "p", 1)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    t = threading.Thread(target=tick)
    t.start()
    try:
        started = time.monotonic()
        assert c.start(1000) is False
        assert time.monotonic() - started >= 0.9
    finally:
        stop.set()
        t.join()
        silent.close()
    assert len([x for x in ticks if started < x < started + 0.9]) > 10


# --- leaving, expiry, restart -----------------------------------------------------------------


def test_leave_is_seen_long_before_the_lease(registry, members, pool):
    a = members(registry.url, pool, 1)
    b = members(registry.url, pool, 2)
    a.watch([pool])
    assert a.start() and b.start()
    eventually(lambda: ids(a.lookup(pool)) == [1, 2])
    started = time.monotonic()
    b.leave()
    eventually(lambda: ids(a.lookup(pool)) == [1])
    assert time.monotonic() - started < registry.ttl_ms / 1000 / 2
    b.leave()  # again: nothing left to do


@pytest.mark.parametrize("started", [False, True], ids=["never started", "started"])
def test_start_after_leave_refuses_and_a_fresh_incarnation_joins(registry, members, pool, started):
    c = members(registry.url, pool, 1)
    if started:
        assert c.start() is True
    c.leave()
    before = c.stats(), c.cache_revision()
    with pytest.raises(RuntimeError) as e:
        c.start()
    assert type(e.value) is RuntimeError
    assert str(e.value) == "this client has left its pool. A new Client with a fresh incarnation joins again."
    after = c.stats(), c.cache_revision()
    for counts in (before[0], after[0]):
        del counts["silence_ms"]
    assert after == before  # no beat of its own, no bell
    again = members(registry.url, pool, 1, incarnation=2)
    again.watch([pool])
    assert again.start() is True and again.accepted
    eventually(lambda: [(m["id"], m["incarnation"]) for m in json.loads(again.lookup(pool))] == [(1, 2)])


def test_a_killed_member_expires_after_its_lease(start_registry, members, pool):
    r = start_registry(ttl_ms=1000)
    w = members(r.url, pool, 1)
    w.watch([pool])
    assert w.start()
    other = MemberProcess(r.url, pool, 2)
    eventually(lambda: ids(w.lookup(pool)) == [1, 2])
    other.kill()
    killed = time.monotonic()
    eventually(lambda: ids(w.lookup(pool)) == [1])
    assert time.monotonic() - killed > 0.5  # it was the lease, not a leave


def test_members_rejoin_a_restarted_registry(start_registry, members, pool):
    first = start_registry(ttl_ms=2000)
    a = members(first.url, pool, 1)
    b = members(first.url, pool, 2)
    a.watch([pool])
    assert a.start() and b.start()
    eventually(lambda: ids(a.lookup(pool)) == [1, 2])
    first.stop()
    eventually(lambda: a.last_error() != "")
    second = start_registry(first.address, ttl_ms=2000)
    assert second.address == first.address
    # The new registry starts from nothing; both members come back on their own.
    eventually(lambda: ids(a.lookup(pool)) == [1, 2], timeout=20)
    assert a.pool_info(pool)[1] == roster_hash(1, 1) ^ roster_hash(2, 1)
    assert a.accepted and b.accepted


# --- beats spent ----------------------------------------------------------------------------------


@pytest.mark.parametrize("action,beats", [
    (lambda c, pool: c.set_state("{}", False), False),
    (lambda c, pool: c.set_state_only("{}"), False),
    (lambda c, pool: c.set_url(None), False),
    (lambda c, pool: c.watch([pool, pool]), False),
    (lambda c, pool: c.wake(), False),
    (lambda c, pool: c.set_state('{"a":1}', False), True),
    (lambda c, pool: c.set_url("http://x"), True),
    (lambda c, pool: c.watch([pool + "-more"]), True),
])
def test_only_a_change_cuts_the_held_beat(start_registry, members, pool, action, beats):
    r = start_registry(ttl_ms=60_000)  # a held beat lasts about 15 s
    c = members(r.url, pool, 1)
    c.watch([pool])
    assert c.start()
    time.sleep(1.0)  # the loop's first answer is in; it now holds beats for about 15 s
    before = c.stats()["beats_ok"]
    action(c, pool)
    if beats:
        eventually(lambda: c.stats()["beats_ok"] > before, timeout=5)
    else:
        time.sleep(1.5)
        assert c.stats()["beats_ok"] == before


def test_the_coalescing_window_is_capped_at_30_seconds(start_registry, members, pool):
    r = start_registry(ttl_ms=200_000)
    c = members(r.url, pool, 1, coalesce_ms=100_000)
    assert c.start()
    stats = c.stats()
    assert (stats["interval_ms"], stats["effective_coalesce_ms"]) == (50_000, 30_000)


# --- the end of a client ------------------------------------------------------------------------


def test_dropping_a_started_client_waits_for_its_threads(registry, murlo, pool):
    before = murlo_threads()
    c = murlo.Client(registry.url, pool, 1, 1, "rr")
    assert c.start()
    # A worker names itself once it first runs.
    mine = eventually(lambda: (lambda new: new if len(new) >= 2 else None)(murlo_threads() - before))
    del c
    assert not mine & murlo_threads()


def test_leave_of_a_client_never_answered_sends_nothing(members):
    c = members("http://127.0.0.1:%d" % free_port(), "p", 1)
    assert c.start(1000) is False
    started = time.monotonic()
    c.leave()
    assert time.monotonic() - started < 2
