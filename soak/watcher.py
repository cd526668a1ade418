"""A watcher: a client in a pool of its own that watches the soaked pool and
checks its cache all the time.

    watcher.py ENDPOINT ID POOL BELL

A checker thread inspects the cache on every move (view.View.inspect). BELL 1
waits on a wake descriptor, 0 on wait_revision.

Commands (JSON lines): {"op": "expect", ...} (view.View.expect);
{"op": "report"}: counts of checks and the first violations; {"op": "leave"}."""

import os
import select
import sys
import threading

import child
from view import View

child.die_with_parent()
murlo = child.load_module()

endpoint, id, pool, bell = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4] == "1"

c = murlo.Client(endpoint, "watch", id, 1, "watch")
c.watch([pool])
view = View(c, pool)
stopping = False


def checker():
    if bell:
        r, w = os.pipe()
        os.set_blocking(r, False)
        os.set_blocking(w, False)
        c.add_wake_fd(w)
        while not stopping:
            select.select([r], [], [], 0.2)
            try:
                while os.read(r, 4096):
                    pass
            except BlockingIOError:
                pass
            view.inspect()
        c.drop_wake_fd(w)
        os.close(r)
        os.close(w)
    else:
        revision = c.cache_revision()
        while not stopping:
            revision = c.wait_revision(revision, 200)
            view.inspect()


child.say({"started": c.start(5000)})
thread = threading.Thread(target=checker, daemon=True)
thread.start()
for cmd in child.commands():
    if cmd["op"] == "expect":
        child.say(view.expect(cmd))
    elif cmd["op"] == "report":
        child.say(view.report())
    elif cmd["op"] == "leave":
        break
stopping = True
c.wake()
thread.join(5)
c.leave()
child.say({"left": True})
