"""What a client's cached view of the soaked pool must look like, checked from
inside the client's process (watchers and watching members share it)."""

import json
import threading
import time

MASK = 2**64 - 1


def roster_hash(id, incarnation):
    # FNV-1a over the little-endian id and incarnation, computed here on its
    # own, so a client that fingerprints wrongly is caught.
    h = 1469598103934665603
    for byte in id.to_bytes(8, "little") + incarnation.to_bytes(8, "little"):
        h = ((h ^ byte) * 0x100000001B3) & MASK
    return h


class View:
    def __init__(self, client, pool):
        self.c = client
        self.pool = pool
        self.lock = threading.Lock()
        self.checks = 0
        self.violations = []

    def inspect(self):
        """One look at the cache, tested against itself: members in ascending
        id order, their fingerprint as computed here equal to the client's and
        to the registry's roster that came with the same delta. Returns the
        frozen tuple, or None while the pool is not cached."""
        f = self.c.frozen(self.pool, False)
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
        with self.lock:
            self.checks += 1
            if problem and len(self.violations) < 5:
                self.violations.append({"at": time.monotonic(), "problem": problem})
        return f

    @staticmethod
    def summary(f):
        if f is None:
            return None
        return {"members": [[m["id"], m["incarnation"], m["state"].get("n"), m["ready"]] for m in json.loads(f[0])],
                "fingerprint": f[1], "roster": f[2], "version": f[3]}

    def expect(self, cmd):
        """Waits until the cache holds exactly the soak's expectation:
        {"roster": R, "version": V, "members": {ID: [INC, N, READY]}, "timeout_s": T}.
        Answers {"ok": true, "at": T} (monotonic seconds, comparable across
        processes), or {"ok": false, ...} with what it holds, "ahead" when
        its version passed V."""
        want = sorted([int(k), v[0], v[1], v[2]] for k, v in cmd["members"].items())
        want_ready = [m[0] for m in want if m[3]]
        deadline = time.monotonic() + cmd["timeout_s"]
        revision = self.c.cache_revision()
        while True:
            f = self.inspect()
            if f is not None:
                got = self.summary(f)
                if got["version"] > cmd["version"]:
                    return {"ok": False, "ahead": True, "view": got}
                if (got["members"] == want and f[1] == cmd["roster"] and f[2] == cmd["roster"]
                        and f[3] == cmd["version"]):
                    at = time.monotonic()
                    # The ready-only view of the same settled cache.
                    ready = self.c.frozen(self.pool, True)
                    if ready is not None and [m["id"] for m in json.loads(ready[0])] == want_ready:
                        return {"ok": True, "at": at}
            left = deadline - time.monotonic()
            if left <= 0:
                return {"ok": False, "ahead": False, "view": self.summary(self.c.frozen(self.pool, False)),
                        "last_error": self.c.last_error(), "stats": self.c.stats()}
            revision = self.c.wait_revision(revision, int(min(left, 0.2) * 1000) + 1)

    def report(self):
        with self.lock:
            return {"checks": self.checks, "violations": list(self.violations), "accepted": self.c.accepted,
                    "last_error": self.c.last_error(), "stats": self.c.stats()}
