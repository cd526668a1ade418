"""How deep a published state may nest: a beat's reader takes four levels more
than an answer's, where a member's state sits below the ack, the pools map,
the delta, the changed list and the member. A state deeper than an answer can
carry is refused, so no watcher of its pool is handed an answer it cannot read."""

import importlib
import json
import os
import sys
import time

import pytest

from conftest import BUILD, H2, beat, curl, pools, sanitizer

MODULE_DIR = os.path.join(BUILD, "client")
DEEPEST = 122


def nested(depth):
    """A state `depth` levels deep, arrays and objects in turn around a number."""
    value = 1
    for i in range(depth):
        value = {"k": value} if i % 2 else [value]
    return value


def deep_beat(id, depth, **more):
    return beat(pool="deep", id=id, state=nested(depth), **more)


def post(registry, body, via):
    """(status, answer) of one beat, over python3-h2 or curl's HTTP/2."""
    if via == "h2":
        c = H2(registry)
        try:
            r = c.wait(c.request("POST", "/v1/beat", body))
            return r["status"], json.loads(r["body"])
        finally:
            c.close()
    status, _, answer = curl(registry, registry.url + "/v1/beat", data=body, version="--http2-prior-knowledge")
    return status, json.loads(answer)


@pytest.fixture
def murlo():
    if sanitizer() is not None:
        pytest.skip("the module of a sanitizer build does not load into this interpreter")
    if not os.path.isdir(MODULE_DIR) or not any(n.startswith("_murlo.") for n in os.listdir(MODULE_DIR)):
        pytest.skip("_murlo is not built in " + MODULE_DIR)
    if MODULE_DIR not in sys.path:
        sys.path.insert(0, MODULE_DIR)
    return importlib.import_module("_murlo")


def eventually(check, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        assert time.monotonic() < deadline, "condition not met within %.1fs" % timeout
        time.sleep(0.01)


def members(client):
    return sorted(json.loads(client.lookup("deep")), key=lambda m: m["id"])


@pytest.mark.parametrize("via", ["h2", "curl"])
@pytest.mark.parametrize("depth", [DEEPEST + 1, DEEPEST + 4])
def test_a_state_deeper_than_an_answer_carries_is_over_a_limit(start_registry, depth, via):
    r = start_registry()
    status, answer = post(r, beat(pool="deep", id=1), via)
    assert (status, answer["accepted"]) == (200, True)
    before = pools(r)["deep"]

    for body in (deep_beat(2, depth), deep_beat(3, depth, watch=["deep"])):
        status, answer = post(r, body, via)
        assert status == 200
        assert answer["accepted"] is False
        assert "refused" not in answer
        assert answer["pools"] == {}
    assert pools(r)["deep"] == before
    # Nor does it open a pool of its own.
    status, answer = post(r, beat(pool="deep-alone", id=4, state=nested(depth)), via)
    assert (status, answer["accepted"]) == (200, False)
    assert "deep-alone" not in pools(r)

    status, answer = post(r, deep_beat(5, DEEPEST), via)
    assert (status, answer["accepted"]) == (200, True)
    assert pools(r)["deep"]["members"] == before["members"] + 1


def test_watchers_read_on_past_a_refused_deep_state(start_registry, murlo):
    r = start_registry()
    watcher = murlo.Client(r.url, "watchers", 100, 1, "rr")
    publisher = murlo.Client(r.url, "deep", 7, 1, "rr")
    try:
        watcher.watch(["deep"])
        assert watcher.start() is True
        status, answer = post(r, beat(pool="deep", id=1), "curl")
        assert answer["accepted"] is True
        eventually(lambda: [m["id"] for m in members(watcher)] == [1])

        # Deeper states while the watcher holds its beat on the pool.
        for depth in range(DEEPEST + 1, DEEPEST + 5):
            status, answer = post(r, deep_beat(10 + depth, depth), "h2")
            assert (status, answer["accepted"]) == (200, False)

        # An ordinary join still reaches it, and the deepest state taken too.
        post(r, beat(pool="deep", id=2), "curl")
        assert publisher.set_state(json.dumps(nested(DEEPEST)), True) is True
        assert publisher.start() is True
        roster = eventually(lambda: len(members(watcher)) == 3 and members(watcher))
        assert [m["id"] for m in roster] == [1, 2, 7]
        assert roster[2]["state"] == nested(DEEPEST)
        # No answer it was given failed to read (a beat timing out on a busy
        # machine is not this test's concern).
        assert "not a BeatAck" not in watcher.last_error()
    finally:
        publisher.leave()
        watcher.leave()
