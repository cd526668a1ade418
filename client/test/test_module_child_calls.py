"""The publishing calls of a started client in a forked child: while the
child still holds the parent's runtime they refuse with the advice start and
leave give, and change nothing (nothing stored there would ever be sent);
after abandon() they work, and a fresh runtime sends what they stored. The
fork happens inside a fresh interpreter; a child that hangs is killed and
fails the test."""

import json
import subprocess

from murlo_fixtures import FORK_CHILD, MODULE_DIR, PYTHON, murlo, registry  # noqa: F401  (fixtures)

CHILD = FORK_CHILD + r"""
sys.path.insert(0, sys.argv[1])
import _murlo
url, pool = sys.argv[2], sys.argv[3]
c = _murlo.Client(url, pool, 1, 1, "rr")
assert c.start() and c.accepted

CALLS = [
    ("set_state", lambda: c.set_state('{"from":"child"}', True)),
    ("set_state_only", lambda: c.set_state_only('{"from":"child","only":1}')),
    ("set_url", lambda: c.set_url("http://child")),
    ("watch", lambda: c.watch([pool, "child-watch"])),
]

def status():
    stats = c.stats()
    return [c.publish_versions()[0], c.is_ready(), stats["state_bytes"], stats["watched_pools"]]

def child(say):
    say("before", status())
    for name, call in CALLS:
        try:
            say(name, "returned", call())
        except RuntimeError as e:
            say(name, "raised", str(e))
    say("refused", status())
    c.abandon()
    for name, call in CALLS:
        say(name, "returned", call())
    say("abandoned", status())
    say("start", c.start())
    d = _murlo.Client(url, pool, 2, 1, "rr")
    d.watch([pool])
    say("d", d.start())
    sent = lambda m: m["id"] == 1 and m["state"] == {"from": "child", "only": 1} and m["url"] == "http://child"
    say("sent", wait_for(lambda: any(sent(m) for m in json.loads(d.lookup(pool)))))
    d.leave()
    return 3

fork_child(child)
c.leave()
"""

ADVICE = "Call abandon() first; start() then builds a fresh runtime."


def test_publishing_calls_refuse_in_a_forked_child_until_abandon(registry):
    out = subprocess.run([PYTHON, "-c", CHILD, MODULE_DIR, registry.url, "child-calls"], capture_output=True,
                         timeout=90)
    assert out.returncode == 0, out.stderr.decode()
    lines = [json.loads(line) for line in out.stdout.decode().splitlines()]
    assert len(lines) == 15, lines
    names = ["set_state", "set_state_only", "set_url", "watch"]
    assert lines[0] == ["before", [0, False, 2, 0]]
    for (name, outcome, message), expected in zip(lines[1:5], names):
        assert (name, outcome) == (expected, "raised")
        assert message.startswith("this client's runtime was started by process "), message
        assert ", a fork of it, where that runtime's threads do not exist. " in message
        assert message.endswith(ADVICE)
    assert lines[5] == ["refused", [0, False, 2, 0]]
    assert lines[6:10] == [["set_state", "returned", True], ["set_state_only", "returned", True],
                           ["set_url", "returned", None], ["watch", "returned", None]]
    assert lines[10:] == [["abandoned", [3, True, 25, 2]], ["start", True], ["d", True], ["sent", True], ["exit", 3]]
