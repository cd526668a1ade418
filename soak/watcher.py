"""A watcher: a client in a pool of its own that watches the soaked pool and
checks its cache all the time.

    watcher.py ENDPOINT ID POOL BELL

On every move of the cache a checker thread tests what the client hands out
against itself: members in ascending id order, their fingerprint computed
here equal to the one the client computed and to the registry's roster carried
with the same delta. BELL 1 waits on a wake descriptor, 0 on wait_revision.

Commands (JSON lines):
  {"op": "expect", "roster": R, "version": V, "members": {ID: [INC, N, READY]}, "timeout_s": T}
      waits until the cache holds exactly that and answers {"ok": true, "at": T}
      (monotonic seconds, comparable across processes), or {"ok": false, ...}
      with what it holds: "ahead" when its version passed V.
  {"op": "report"}: counts of checks and the first violations.
  {"op": "leave"}: leaves and exits."""

import json
import os
import select
import sys
import threading
import time

import child

child.die_with_parent()
murlo = child.load_module()

endpoint, id, pool, bell = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4] == "1"

MASK = 2**64 - 1


def roster_hash(id, incarnation):
    # FNV-1a over the little-endian id and incarnation: computed here on its
    # own, so a client that fingerprints wrongly is caught.
    h = 1469598103934665603
    for byte in id.to_bytes(8, "little") + incarnation.to_bytes(8, "little"):
        h = ((h ^ byte) * 0x100000001B3) & MASK
    return h


c = murlo.Client(endpoint, "watch", id, 1, "watch")
c.watch([pool])
lock = threading.Lock()
checks = 0
violations = []
stopping = False


def inspect():
    """One look at the cache; returns the frozen tuple or None."""
    global checks
    f = c.frozen(pool, False)
    if f is None:
        return None
    members = json.loads(f[0])
    ids = [m["id"] for m in members]
    problem = None
    if ids != sorted(set(ids)):
        problem = "members out of order or repeated: %s" % ids
    else:
        mine = 0
        for m in members:
            mine ^= roster_hash(m["id"], m["incarnation"])
        if mine != f[1]:
            problem = "client fingerprint %d, members hash to %d" % (f[1], mine)
        elif f[1] != f[2]:
            problem = "cached members (fingerprint %d) differ from the registry's roster %d at version %d: %s" % (
                f[1], f[2], f[3], f[0])
    with lock:
        checks += 1
        if problem and len(violations) < 5:
            violations.append({"at": time.monotonic(), "problem": problem})
    return f


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
            inspect()
        c.drop_wake_fd(w)
        os.close(r)
        os.close(w)
    else:
        revision = c.cache_revision()
        while not stopping:
            revision = c.wait_revision(revision, 200)
            inspect()


def view(f):
    if f is None:
        return None
    return {"members": [[m["id"], m["incarnation"], m["state"].get("n"), m["ready"]] for m in json.loads(f[0])],
            "fingerprint": f[1], "roster": f[2], "version": f[3]}


def expect(cmd):
    want = sorted([int(k), v[0], v[1], v[2]] for k, v in cmd["members"].items())
    want_ready = [m[0] for m in want if m[3]]
    deadline = time.monotonic() + cmd["timeout_s"]
    revision = c.cache_revision()
    while True:
        f = inspect()
        if f is not None:
            got = view(f)
            if got["version"] > cmd["version"]:
                return {"ok": False, "ahead": True, "view": got}
            if (got["members"] == want and f[1] == cmd["roster"] and f[2] == cmd["roster"]
                    and f[3] == cmd["version"]):
                at = time.monotonic()
                # The ready-only view of the same settled cache.
                ready = c.frozen(pool, True)
                if ready is not None and [m["id"] for m in json.loads(ready[0])] == want_ready:
                    return {"ok": True, "at": at}
        left = deadline - time.monotonic()
        if left <= 0:
            return {"ok": False, "ahead": False, "view": view(c.frozen(pool, False)),
                    "last_error": c.last_error(), "stats": c.stats()}
        revision = c.wait_revision(revision, int(min(left, 0.2) * 1000) + 1)


child.say({"started": c.start(5000)})
thread = threading.Thread(target=checker, daemon=True)
thread.start()
for cmd in child.commands():
    if cmd["op"] == "expect":
        child.say(expect(cmd))
    elif cmd["op"] == "report":
        with lock:
            child.say({"checks": checks, "violations": list(violations), "accepted": c.accepted,
                       "last_error": c.last_error(), "stats": c.stats()})
    elif cmd["op"] == "leave":
        break
stopping = True
c.wake()
thread.join(5)
c.leave()
child.say({"left": True})
