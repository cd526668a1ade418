"""One member of the soaked pool: joins on start, publishes, leaves on
command, and reports how its client fares.

    member.py ENDPOINT POOL ID INCARNATION SLOT N READY WATCH

WATCH 1 also keeps a cache of its own pool, which the soak checks like a
watcher's. Commands (JSON lines): {"op": "publish", "n": N, "ready": B}
publishes a new state and answers once the registry has acked it;
{"op": "status"}; {"op": "expect", ...} (view.View.expect); {"op": "leave"}
leaves and exits. End of input leaves too."""

import json
import sys
import time

import child
from view import View

child.die_with_parent()
murlo = child.load_module()

endpoint, pool = sys.argv[1], sys.argv[2]
id, incarnation, slot, n = (int(v) for v in sys.argv[3:7])
ready = sys.argv[7] == "1"
watching = sys.argv[8] == "1"


def state(n):
    return json.dumps({"n": n, "who": "soak-%d" % id})


c = murlo.Client(endpoint, pool, id, incarnation, "rr", slot=slot, url="http://soak-%d.invalid" % id)
c.set_state(state(n), ready)
view = View(c, pool)
if watching:
    c.watch([pool])
child.say({"started": c.start(5000)})

for cmd in child.commands():
    op = cmd["op"]
    if op == "publish":
        c.set_state(state(cmd["n"]), cmd["ready"])
        # Answer once the registry holds it: the soak then knows what it lists.
        published = c.publish_versions()[0]
        deadline = time.monotonic() + cmd.get("timeout_s", 10)
        revision = c.cache_revision()
        while c.publish_versions()[1] < published and time.monotonic() < deadline:
            revision = c.wait_revision(revision, 100)
        child.say({"acked": c.publish_versions()[1] >= published})
    elif op == "status":
        child.say(view.report())
    elif op == "expect":
        child.say(view.expect(cmd))
    elif op == "leave":
        break
c.leave()
child.say({"left": True, "violations": view.report()["violations"]})
