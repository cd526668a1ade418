"""The registry's beat limits, refused by the client where the value is set:
RuntimeError naming the size and the limit, and nothing changed; a member
with every value exactly at its limit is accepted by a real registry."""

import json

import pytest

from murlo_fixtures import eventually, members, murlo, registry  # noqa: F401  (fixtures)

NAME_LIMIT = 512
MAX_INCARNATION = 4_194_304_000_000_000_000
BODY_LIMIT = 524_288
TOP = 2**64 - 1
ESCAPED = "\u0001" * 512  # a name at its limit, written as 3072 bytes


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


def longest_beat(pool="p", id=1, incarnation=1, policy="rr", slot=None, size=None, url=None, state="{}",
                 exclusive=False, methods=(), watch=()):
    """Bytes of the longest beat a member with these values can send, written here
    independently: publication and hold_ms at 20 digits, ready and leaving false,
    and every watched pool in `seen` at a 20-digit version."""
    beat = {"pool": pool, "slot": slot, "id": id, "incarnation": incarnation, "publication": TOP,
            "policy": policy, "size": size, "url": url, "state": json.loads(state), "ready": False,
            "leaving": False, "exclusive": exclusive, "methods": list(methods), "watch": list(watch),
            "seen": {name: TOP for name in watch}, "hold_ms": TOP}
    return len(json.dumps(beat, separators=(",", ":"), ensure_ascii=False).encode())


def status(c):
    """What a refused call must leave as it was."""
    stats = c.stats()
    del stats["silence_ms"]
    return c.publish_versions(), c.is_ready(), stats


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
    before = status(c)
    with pytest.raises(RuntimeError) as e:
        call(c)
    assert type(e.value) is RuntimeError
    assert str(e.value) == message
    assert status(c) == before
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


@pytest.mark.parametrize("kw", [
    {"methods": ["\u0001" * 512] * 256},  # every name at its limit, each byte written as six
    {"policy": "y" * 600_000},
], ids=["escaped methods", "long policy"])
def test_the_constructor_refuses_a_beat_over_the_body_limit(murlo, kw):
    with pytest.raises(RuntimeError) as e:
        client(murlo, **kw)
    assert type(e.value) is RuntimeError
    assert str(e.value) == "the beat would be %d bytes of JSON, the limit is 524288" % longest_beat(**kw)


def test_a_beat_at_the_body_limit_joins_a_real_registry(murlo, registry, members):
    values = dict(pool="body", id=1, url="\n" * 512, methods=[ESCAPED] * 100 + ["m%d" % i for i in range(156)])
    pad = "x" * (BODY_LIMIT - longest_beat(policy="", **values))
    with pytest.raises(RuntimeError) as e:
        client(murlo, policy=pad + "x", **values)
    assert str(e.value) == "the beat would be 524289 bytes of JSON, the limit is 524288"
    a = members(registry.url, policy=pad, **values)
    assert a.start() is True
    assert (a.accepted, a.last_error()) == (True, "")
    b = members(registry.url, "body", 2, policy=pad)
    b.watch(["body"])
    assert b.start() is True
    seen = eventually(lambda: [m for m in json.loads(b.lookup("body")) if m["id"] == 1])
    assert seen[0]["url"] == values["url"]
    assert len(b.pool_info("body")[3]) == 256


# The member before the call publishes {"a":1} with readiness at http://me and watches "w".
BEFORE = dict(url="http://me", state='{"a":1}', watch=["w"])
NAMES = ["n%d" % i for i in range(70)]


@pytest.mark.parametrize("call,after,at_limit", [
    (lambda c: c.set_state(state_of(16_384, "\u0001"), False), {"state": state_of(16_384, "\u0001")}, None),
    (lambda c: c.set_state_only(state_of(9_000, "\t")), {"state": state_of(9_000, "\t")}, None),
    (lambda c: c.set_url(ESCAPED), {"url": ESCAPED}, None),
    # Names listed already or repeated count once.
    (lambda c: c.watch(["w", ESCAPED, "n", ESCAPED, "w"]), {"watch": ["w", ESCAPED, "n"]}, None),
    # Only what fits the watch list counts; the call then stops at its own limit.
    (lambda c: c.watch(NAMES), {"watch": ["w"] + NAMES[:63]}, "cannot watch \"n63\""),
], ids=["set_state", "set_state_only", "set_url", "watch", "watch past 64"])
@pytest.mark.parametrize("over", [0, 1])
def test_a_setter_that_would_pass_the_body_limit_changes_nothing(murlo, call, after, at_limit, over):
    values = dict(BEFORE, **after)
    pad = BODY_LIMIT + over - longest_beat(policy="", **values)
    c = client(murlo, policy="x" * pad, url=BEFORE["url"])
    c.set_state(BEFORE["state"], True)
    c.watch(BEFORE["watch"])
    before = status(c)
    if over:
        with pytest.raises(RuntimeError) as e:
            call(c)
        assert str(e.value) == "the beat would be 524289 bytes of JSON, the limit is 524288"
        assert status(c) == before
    elif at_limit:
        with pytest.raises(RuntimeError) as e:
            call(c)
        assert str(e.value).startswith(at_limit)
        assert c.stats()["watched_pools"] == 64
    else:
        call(c)
        assert status(c) != before
