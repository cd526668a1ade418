"""The registry's beat limits, refused by the client where the value is set:
RuntimeError naming the size and the limit, and nothing changed; a member
with every value exactly at its limit is accepted by a real registry."""

import json

import pytest

from murlo_fixtures import eventually, members, murlo, registry  # noqa: F401  (fixtures)

NAME_LIMIT = 512
MAX_INCARNATION = 4_194_304_000_000_000_000


def state_of(size, fill="x"):
    """A state whose compact JSON is `size` bytes: text of `fill` (as many as fit, each
    taking the bytes of its escape) topped up with "x"."""
    room = size - len('{"s":""}')
    width = len(json.dumps(fill)[1:-1])
    text = fill * (room // width) + "x" * (room % width)
    return json.dumps({"s": text}, separators=(",", ":"))


def nested(levels):
    """A state of `levels` arrays and objects, one inside the other (a scalar has none)."""
    opens = ["[" if i % 2 == 0 else '{"k":' for i in range(levels)]
    closes = ["]" if i % 2 == 0 else "}" for i in reversed(range(levels))]
    return "".join(opens) + "0" + "".join(closes)


def client(murlo, **kw):
    args = dict(endpoint="http://127.0.0.1:9", pool="p", id=1, incarnation=1, policy="rr")
    args.update(kw)
    return murlo.Client(**args)


@pytest.mark.parametrize("kw,message", [
    ({"pool": "p" * 513}, "pool name is 513 bytes, the limit is 512"),
    ({"pool": "\u00e9" * 257}, "pool name is 514 bytes, the limit is 512"),  # bytes of UTF-8, not characters
    ({"incarnation": MAX_INCARNATION + 1},
     "incarnation 4194304000000000001 is above the limit 4194304000000000000"),
    ({"incarnation": 2**64 - 1}, "incarnation 18446744073709551615 is above the limit 4194304000000000000"),
    ({"url": "u" * 513}, "url is 513 bytes, the limit is 512"),
    ({"methods": ["m"] * 257}, "methods holds 257 names, the limit is 256"),
    ({"methods": ["a", "m" * 600]}, "method name is 600 bytes, the limit is 512"),
    # The first value over its limit, in parameter order, is the one named.
    ({"pool": "p" * 513, "url": "u" * 600}, "pool name is 513 bytes, the limit is 512"),
])
def test_the_constructor_refuses_what_the_registry_would(murlo, kw, message):
    with pytest.raises(RuntimeError) as e:
        client(murlo, **kw)
    assert type(e.value) is RuntimeError
    assert str(e.value) == message


def test_the_policy_has_no_limit(murlo):
    client(murlo, policy="x" * 10_000)


@pytest.mark.parametrize("call,message", [
    (lambda c: c.set_state(state_of(16_385), True), "state is 16385 bytes of JSON, the limit is 16384"),
    (lambda c: c.set_state_only(state_of(17_000)), "state is 17000 bytes of JSON, the limit is 16384"),
    # Measured as the registry measures it: written compactly, escapes included.
    (lambda c: c.set_state_only(state_of(16_386, "\u0001")), "state is 16386 bytes of JSON, the limit is 16384"),
    (lambda c: c.set_state(" [ %s ] " % ", ".join(['"%s"' % ("y" * 998)] * 17), False),
     "state is 17018 bytes of JSON, the limit is 16384"),
    # Deeper than an answer can carry a member's state to its watchers.
    (lambda c: c.set_state(nested(123), True), "state nests 123 levels deep, the limit is 122"),
    (lambda c: c.set_state_only(nested(127)), "state nests 127 levels deep, the limit is 122"),
    (lambda c: c.set_url("u" * 513), "url is 513 bytes, the limit is 512"),
    (lambda c: c.watch(["a", "b", "w" * 513, "c"]), "cannot watch a pool name of 513 bytes, the limit is 512"),
])
def test_a_value_over_its_limit_changes_nothing(murlo, call, message):
    c = client(murlo, url="http://me")
    c.set_state('{"a":1}', True)
    c.watch(["w"])
    def status():
        stats = c.stats()
        del stats["silence_ms"]
        return c.publish_versions(), c.is_ready(), stats

    before = status()
    with pytest.raises(RuntimeError) as e:
        call(c)
    assert type(e.value) is RuntimeError
    assert str(e.value) == message
    assert status() == before
    assert before[2]["state_bytes"] == 7 and before[2]["watched_pools"] == 1


def test_values_exactly_at_their_limits_are_taken(murlo):
    c = client(murlo, pool="p" * 512, incarnation=MAX_INCARNATION, url="u" * 512, methods=["m" * 512] * 256)
    assert c.set_state(state_of(16_384), True)
    assert c.stats()["state_bytes"] == 16_384
    assert c.set_state_only(state_of(16_384, "\n"))
    assert c.stats()["state_bytes"] == 16_384
    c.set_url("v" * 512)
    c.watch(["w" * 512])
    assert c.publish_versions() == (3, 0)


def test_a_member_at_every_limit_is_accepted_end_to_end(registry, members):
    pool = "L" * 512
    watched = [pool] + ["%03d" % i + "w" * 509 for i in range(63)]
    a = members(registry.url, pool, 1, incarnation=MAX_INCARNATION, url="u" * 512,
                methods=["%03d" % i + "m" * 509 for i in range(256)])
    state = state_of(16_384)
    assert a.set_state(state, True)
    a.watch(watched)
    assert a.stats()["watched_pools"] == 64
    assert a.start() is True
    assert a.accepted is True
    assert (a.refused(), a.last_error()) == ("", "")
    b = members(registry.url, pool, 2)
    b.watch([pool])
    assert b.start() is True
    seen = eventually(lambda: [m for m in json.loads(b.lookup(pool)) if m["id"] == 1])
    assert seen[0]["state"] == json.loads(state)
    assert seen[0]["incarnation"] == MAX_INCARNATION
    info = b.pool_info(pool)
    assert len(info[3]) == 256
    # A change at the limit goes out too, and the member stays accepted.
    state2 = state_of(16_384, "\t")
    assert a.set_state_only(state2)
    eventually(lambda: a.publish_versions()[1] == 2)
    assert a.accepted is True and a.last_error() == ""


def test_the_deepest_state_an_answer_carries_reaches_a_watcher(registry, members):
    a = members(registry.url, "deep", 1)
    assert a.set_state_only(nested(122))
    assert a.start() is True
    b = members(registry.url, "deep", 2)
    b.watch(["deep"])
    assert b.start() is True
    seen = eventually(lambda: [m for m in json.loads(b.lookup("deep")) if m["id"] == 1])
    assert seen[0]["state"] == json.loads(nested(122))
    assert (a.accepted, b.accepted, a.last_error(), b.last_error()) == (True, True, "", "")
