"""The soak: a registry and its members under faults for a given time.

    MURLO_BUILD=build /usr/bin/python3 soak/soak.py [SECONDS]   (default 180)

Member processes join, publish, leave and are killed with SIGKILL at random
while watcher processes (and some members, of their own pool) check their
caches all the time. After every round of changes the soak waits until the
registry's /v1/pools lists the roster the soak expects and every checked
cache holds exactly those members, states and readiness at the registry's
version; a killed member must be gone within the lease and one sweep. On a
schedule it also:
  - kills the registry and starts it again on the same port (a new epoch):
    the clients rebuild their caches without a restart of their own;
  - freezes the registry (SIGSTOP) past the lease and lets it go on;
  - stops a member with SIGSTOP past its lease, then lets it go on: it joins
    again with the same identity, or, when a newer incarnation took its id
    meanwhile, its beats are refused as stale and change nothing;
  - floods the registry's port with bad connections while the members must
    keep their leases (no pool version moves).
At the end every member leaves and the descriptors and threads of the
registry and of the long-lived clients must be back at their baseline.

Prints one summary line; exits 0 on pass, 1 with the reason on failure.
SOAK_SEED replays the random choices of an earlier run."""

import http.client
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

from view import roster_hash

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "runtime", "test"))
from loopback import free_port  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
POOL = "soak"
WATCH_POOL = "watch"

TTL_MS = 2000
TTL_S = TTL_MS / 1000
SWEEP_S = min(max(TTL_MS // 4, 50), 1000) / 1000
GHOST_BOUND_S = TTL_S + SWEEP_S + 1.0  # lease + one sweep, plus scheduling slack on a loaded machine
SETTLE_S = 10.0  # how long the registry and every cache may take to settle after a change
ANSWER_S = 15.0  # how long a child may take to answer a command before it counts as hung

WATCHERS = 3
ANCHORS = 3  # long-lived members: never killed, measured for leaks at the end
MIN_MEMBERS, MAX_MEMBERS = 6, 20  # the churned members besides the anchors
SPECIALS = ("restart", "freeze", "stop", "fence", "flood")
FLOOD_S = 2 * TTL_S
FLOOD_OPEN = 64


class Failure(Exception):
    pass


def fingerprint(members):
    r = 0
    for id, (incarnation, _, _) in members.items():
        r ^= roster_hash(id, incarnation)
    return r


# --- child processes ----------------------------------------------------------------

CHILDREN = []  # every process ever started, for the cleanup


class Child:
    """A child process speaking JSON lines; its standard error goes to a file
    that failures quote."""

    def __init__(self, name, script, args, logs):
        self.name = name
        self.err_path = os.path.join(logs, name.replace(" ", "-") + ".err")
        env = dict(os.environ, SOAK_PARENT=str(os.getpid()), PYTHONDONTWRITEBYTECODE="1")
        with open(self.err_path, "ab") as err:
            self.proc = subprocess.Popen([PYTHON, os.path.join(HERE, script)] + [str(a) for a in args],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, env=env,
                                         cwd=HERE)
        CHILDREN.append(self)
        self.pid = self.proc.pid
        self.buf = b""
        os.set_blocking(self.proc.stdout.fileno(), False)

    def describe(self):
        return "%s (pid %d)" % (self.name, self.pid)

    def stderr_tail(self):
        try:
            with open(self.err_path, "rb") as f:
                text = f.read()[-1500:].decode(errors="replace").strip()
        except OSError:
            text = ""
        return ("; its stderr: " + text) if text else ""

    def died(self):
        code = self.proc.poll()
        if code is None:
            return None
        return Failure("%s exited unexpectedly with code %s%s" % (self.describe(), code, self.stderr_tail()))

    def send(self, obj):
        try:
            self.proc.stdin.write((json.dumps(obj) + "\n").encode())
            self.proc.stdin.flush()
        except OSError:
            raise self.died() or Failure("%s does not take commands" % self.describe())

    def read(self, timeout=ANSWER_S, what="an answer", raw=False):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("%s gave no %s within %.0fs: hung%s" % (self.describe(), what, timeout,
                                                                         self.stderr_tail()))
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            try:
                chunk = os.read(fd, 65536)
            except BlockingIOError:
                continue
            if not chunk:
                self.proc.wait(5)
                raise self.died() or Failure("%s closed its output" % self.describe())
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode() if raw else json.loads(line)

    def ask(self, obj, timeout=ANSWER_S):
        self.send(obj)
        return self.read(timeout, "answer to %s" % obj["op"])

    def signal(self, sig):
        if self.proc.poll() is None:
            os.kill(self.pid, sig)

    def kill(self):
        self.signal(signal.SIGKILL)
        self.proc.wait(10)

    def finish(self, timeout=10):
        """Waits for an exit of the child's own; it must be a clean one."""
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not exit within %ds: hung%s" % (self.describe(), timeout, self.stderr_tail()))
        if code != 0:
            raise Failure("%s exited with code %s%s" % (self.describe(), code, self.stderr_tail()))


def cleanup():
    for c in CHILDREN:
        if c.proc.poll() is None:
            try:
                os.kill(c.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    for c in CHILDREN:
        try:
            c.proc.wait(10)
        except subprocess.TimeoutExpired:
            pass
        for f in (c.proc.stdin, c.proc.stdout):
            try:
                f.close()
            except OSError:
                pass
    CHILDREN.clear()


# --- /proc ------------------------------------------------------------------------------


def resources(pid):
    """(descriptor targets by kind, thread count) of a live process."""
    kinds = {}
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        kind = "file" if target.startswith("/") else target.split(":[")[0]
        kinds[kind] = kinds.get(kind, 0) + 1
    return kinds, len(os.listdir("/proc/%d/task" % pid))


def steady_resources(pid, seconds=3.0):
    """Resources once two readings a moment apart agree."""
    last = resources(pid)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        time.sleep(0.3)
        now = resources(pid)
        if now == last:
            return now
        last = now
    return last


def show(res):
    kinds, threads = res
    return "%d fds (%s), %d threads" % (sum(kinds.values()), ", ".join(
        "%s %d" % kv for kv in sorted(kinds.items())), threads)


# --- the soak ---------------------------------------------------------------------------


class Member:
    def __init__(self, child, id, incarnation, slot, n, ready, watching):
        self.child, self.id, self.incarnation, self.slot, self.n, self.ready = child, id, incarnation, slot, n, ready
        self.watching = watching  # keeps a cache of its own pool, checked like a watcher's


class Soak:
    def __init__(self, seconds, logs):
        self.seconds = seconds
        self.logs = logs
        # SOAK_SEED replays the same choices (the timing still differs).
        self.seed = int(os.environ.get("SOAK_SEED", time.time_ns() % 2**32))
        self.rng = random.Random(self.seed)
        self.port = free_port()
        self.registry = None
        self.watchers = []
        self.members = {}  # id -> Member, every member the registry should list
        self.anchors = set()
        self.next_id = 10
        self.counts = dict(joins=0, leaves=0, kills=0, restarts=0, freezes=0, stops=0, fences=0, floods=0,
                           publishes=0, checks=0, attacks=0)
        self.max_convergence = 0.0
        self.max_ghost = 0.0
        self.baseline = {}

    # registry

    def start_registry(self):
        """Starts the registry on the soak's port; the port may still be held
        for a moment after a kill, so address-in-use is retried briefly."""
        deadline = time.monotonic() + 10
        while True:
            child = Child("registry-%d" % (self.counts["restarts"] + 1), "registry.py",
                          ["127.0.0.1:%d" % self.port, TTL_MS], self.logs)
            line = child.read(20, "announced address", raw=True)
            if line.startswith("{"):
                child.proc.wait(5)
                error = json.loads(line)["error"]
                if "in use" in error and time.monotonic() < deadline:
                    time.sleep(0.1)
                    continue
                raise Failure("the registry could not start on port %d: %s" % (self.port, error))
            if line != "127.0.0.1:%d" % self.port:
                raise Failure("the registry announced %r, not the port it was given" % line)
            self.registry = child
            return

    def listing(self):
        """The registry's /v1/pools, or None while it cannot be reached."""
        if self.registry.proc.poll() is not None:
            raise self.registry.died()
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=3)
        try:
            conn.request("GET", "/v1/pools")
            response = conn.getresponse()
            body = response.read()
            if response.status != 200:
                raise Failure("GET /v1/pools answered %d: %r" % (response.status, body[:200]))
            return json.loads(body)
        except (OSError, http.client.HTTPException):
            return None
        finally:
            conn.close()

    def warm_registry(self):
        """Opens enough connections at once that every worker of the registry
        has served one: a worker's I/O descriptors appear with its first
        connection, so counts compare only once all of them exist."""
        conns = []
        for _ in range(4 * (os.cpu_count() or 8)):
            c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=3)
            c.request("GET", "/health")
            conns.append(c)
        for c in conns:
            c.getresponse().read()
            c.close()

    # members

    def spawn(self, id, incarnation, n, ready, watching=None):
        slot = id % 4
        if watching is None:
            watching = self.rng.random() < 0.3
        child = Child("member-%d.%d" % (id, incarnation), "member.py",
                      ["http://127.0.0.1:%d" % self.port, POOL, id, incarnation, slot, n, int(ready), int(watching)],
                      self.logs)
        return Member(child, id, incarnation, slot, n, ready, watching)

    def leave_sent(self, m):
        """After {"op": "leave"} was sent: the member must say it left, with a
        cache that never contradicted itself, and exit cleanly."""
        answer = m.child.read(ANSWER_S, "leave")
        if answer.get("left") is not True:
            raise Failure("%s did not leave: %s" % (m.child.describe(), answer))
        if answer["violations"]:
            raise Failure("%s: its cache contradicted itself: %s" % (m.child.describe(), answer["violations"]))
        m.child.finish()
        if self.members.get(m.id) is m:
            del self.members[m.id]
        self.counts["leaves"] += 1

    def joined(self, m):
        answer = m.child.read(ANSWER_S, "start")
        if answer.get("started") is not True:
            raise Failure("%s did not start: %s%s" % (m.child.describe(), answer, m.child.stderr_tail()))
        self.members[m.id] = m
        self.counts["joins"] += 1

    def expected(self):
        return {m.id: (m.incarnation, m.n, m.ready) for m in self.members.values()}

    def status(self, m):
        return m.child.ask({"op": "status"})

    # settling

    def check_alive(self):
        for c in [self.registry] + self.watchers + [m.child for m in self.members.values()]:
            failure = c.died()
            if failure:
                raise failure

    def registry_settled(self, want, deadline, label):
        roster = fingerprint(want)
        while True:
            pools = self.listing()
            listed = pools.get(POOL) if pools is not None else None
            watchers = pools.get(WATCH_POOL, {}).get("members") if pools is not None else None
            if (listed is not None and listed["roster"] == roster and listed["members"] == len(want)
                    and watchers == len(self.watchers)):
                return time.monotonic(), listed["version"]
            if time.monotonic() > deadline:
                raise Failure("the registry did not settle after %s: it lists %s, expected %d members with roster %d "
                              "(%s) and %d watchers" % (label, pools if pools is not None else "nothing (unreachable)",
                                                        len(want), roster, sorted(want), len(self.watchers)))
            time.sleep(0.02)

    def settle(self, label, changed_at, killed_at=None):
        """Waits until the registry and every watcher agree with the soak's
        model; returns the registry's version. `changed_at` is when the
        registry had the change (convergence is measured from it), `killed_at`
        when members that must expire were killed or stopped."""
        self.check_alive()
        want = self.expected()
        roster = fingerprint(want)
        deadline = time.monotonic() + SETTLE_S + (TTL_S + SWEEP_S if killed_at is not None else 0)
        members = {str(id): list(v) for id, v in want.items()}
        while True:
            settled_at, version = self.registry_settled(want, deadline, label)
            if killed_at is not None:
                ghost = settled_at - killed_at
                self.max_ghost = max(self.max_ghost, ghost)
                if ghost > GHOST_BOUND_S:
                    raise Failure("ghost after %s: the registry listed a dead member for %.2fs, beyond the lease "
                                  "and one sweep (bound %.2fs)" % (label, ghost, GHOST_BOUND_S))
            timeout = max(deadline - time.monotonic(), 5.0)
            observers = self.watchers + [m.child for m in self.members.values() if m.watching]
            for w in observers:
                w.send({"op": "expect", "roster": roster, "version": version, "members": members,
                        "timeout_s": timeout})
            answers = [(w, w.read(timeout + ANSWER_S, "answer to expect")) for w in observers]
            if any(a.get("ahead") for _, a in answers) and time.monotonic() < deadline:
                continue  # the registry moved on after it was read: read it again
            for w, a in answers:
                if not a["ok"]:
                    raise Failure("%s did not converge after %s within %.1fs: expected version %d, roster %d, "
                                  "members %s; it holds %s" % (w.describe(), label, timeout, version, roster,
                                                               sorted(members.items()), a))
            last = max(a["at"] for _, a in answers)
            if killed_at is not None:
                ghost = last - killed_at
                self.max_ghost = max(self.max_ghost, ghost)
                if ghost > GHOST_BOUND_S:
                    raise Failure("ghost after %s: a watcher listed a dead member for %.2fs (bound %.2fs)" % (
                        label, ghost, GHOST_BOUND_S))
            else:
                self.max_convergence = max(self.max_convergence, last - changed_at)
            self.counts["checks"] += 1
            return version

    # rounds

    def attack(self, seconds, max_open):
        return Child("attacker-%d" % (self.counts["floods"] + 1), "attacker.py",
                     ["127.0.0.1", self.port, seconds, max_open, self.rng.randrange(2**32)], self.logs)

    def attack_ended(self, attacker):
        result = attacker.read(FLOOD_S + ANSWER_S, "result")
        attacker.finish()
        if result["opened"] == 0:
            raise Failure("%s opened no connection: %s" % (attacker.describe(), result))
        self.counts["attacks"] += result["opened"]
        self.counts["floods"] += 1

    def churn_round(self):
        """One to four random changes at once, then settle; now and then under
        a light flood of bad connections."""
        attacker = self.attack(FLOOD_S / 2, FLOOD_OPEN // 4) if self.rng.random() < 0.15 else None
        churned = [m for m in self.members.values() if m.id not in self.anchors]
        pending_joins = []
        picks = []
        busy = set()
        for _ in range(self.rng.randint(1, 4)):
            live = len(churned) - sum(1 for p in picks if p[0] in ("leave", "kill")) + len(pending_joins)
            choices = ["publish", "publish"]
            if live < MAX_MEMBERS:
                choices += ["join", "join"]
            if live > MIN_MEMBERS:
                choices += ["leave", "kill"]
            choices.append("respawn")
            action = self.rng.choice(choices)
            if action == "join":
                pending_joins.append(self.spawn(self.next_id, 1, 0, self.rng.random() < 0.8))
                self.next_id += 1
                continue
            pool = [m for m in (churned if action != "publish" else self.members.values()) if m.id not in busy]
            if not pool:
                continue
            m = self.rng.choice(pool)
            busy.add(m.id)
            picks.append((action, m))
        # Commands first, kills last: the ghost bound is measured from the first kill.
        for action, m in picks:
            if action == "publish":
                m.n += 1
                m.ready = self.rng.random() < 0.8
                m.child.send({"op": "publish", "n": m.n, "ready": m.ready})
            elif action == "leave":
                m.child.send({"op": "leave"})
        for action, m in picks:
            if action == "publish":
                if m.child.read(ANSWER_S, "publish ack") != {"acked": True}:
                    raise Failure("%s: the registry never acked its publication" % m.child.describe())
                self.counts["publishes"] += 1
            elif action == "leave":
                self.leave_sent(m)
        for m in pending_joins:
            self.joined(m)
        for action, m in picks:
            if action == "respawn":
                # A worker restarted under a newer incarnation: it replaces the
                # old record at once, no lease to wait for.
                m.child.kill()
                self.counts["kills"] += 1
                del self.members[m.id]
                self.joined(self.spawn(m.id, m.incarnation + 1, m.n, m.ready))
        changed_at = time.monotonic()
        killed_at = None
        for action, m in picks:
            if action == "kill":
                killed_at = killed_at or time.monotonic()
                m.child.kill()
                del self.members[m.id]
                self.counts["kills"] += 1
        self.settle("a round of %s" % ", ".join([a for a, _ in picks] + ["join"] * len(pending_joins)),
                    changed_at, killed_at)
        if attacker is not None:
            self.attack_ended(attacker)

    def restart_round(self):
        """The registry dies and comes back on the same port; every client
        rebuilds its cache from full deltas under the new epoch."""
        failure = self.registry.died()
        if failure:
            raise failure
        self.registry.kill()
        if self.rng.random() < 0.5:
            # A member that dies while the registry is down must never show up
            # in the new registry.
            m = self.rng.choice([m for m in self.members.values() if m.id not in self.anchors])
            m.child.kill()
            del self.members[m.id]
            self.counts["kills"] += 1
        time.sleep(self.rng.uniform(0.1, 1.5))
        self.start_registry()
        self.counts["restarts"] += 1
        self.settle("a registry restart", time.monotonic())

    def freeze_round(self):
        """The registry stops (SIGSTOP) for longer than the lease and goes on:
        the beats queued meanwhile are served late, leases that ran out expire
        and their members join again, and everything settles back."""
        failure = self.registry.died()
        if failure:
            raise failure
        self.registry.signal(signal.SIGSTOP)
        time.sleep(TTL_S + 2 * SWEEP_S)
        self.registry.signal(signal.SIGCONT)
        self.counts["freezes"] += 1
        self.settle("the registry frozen past the lease", time.monotonic())

    def pick_stoppable(self):
        return self.rng.choice([m for m in self.members.values() if m.id not in self.anchors])

    def stop_round(self):
        """SIGSTOP past the lease: the member expires; after SIGCONT it joins
        again with the same identity."""
        m = self.pick_stoppable()
        m.child.signal(signal.SIGSTOP)
        stopped_at = time.monotonic()
        del self.members[m.id]
        self.settle("stopping member %d" % m.id, None, stopped_at)
        self.counts["stops"] += 1
        time.sleep(max(0.0, stopped_at + TTL_S + 2 * SWEEP_S - time.monotonic()))
        m.child.signal(signal.SIGCONT)
        self.members[m.id] = m
        self.settle("member %d going on after SIGSTOP" % m.id, time.monotonic())
        s = self.status(m)
        if not s["accepted"]:
            raise Failure("%s was refused after SIGCONT although nobody took its id: %s" % (m.child.describe(), s))
        self.counts["joins"] += 1

    def fence_round(self):
        """SIGSTOP, and a newer incarnation takes the id (after the old one
        expired, or replacing it at once): after SIGCONT the old process's
        beats are stale, it learns it is refused and changes nothing."""
        old = self.pick_stoppable()
        old.child.signal(signal.SIGSTOP)
        stopped_at = time.monotonic()
        del self.members[old.id]
        self.counts["stops"] += 1
        if self.rng.random() < 0.5:
            self.settle("stopping member %d" % old.id, None, stopped_at)
        self.joined(self.spawn(old.id, old.incarnation + 1, old.n + 1, True))
        version = self.settle("member %d replaced by incarnation %d" % (old.id, old.incarnation + 1),
                              time.monotonic())
        old.child.signal(signal.SIGCONT)
        deadline = time.monotonic() + SETTLE_S
        while True:
            s = self.status(old)
            if not s["accepted"]:
                break
            if time.monotonic() > deadline:
                raise Failure("%s kept being accepted after a newer incarnation took its id: %s" % (
                    old.child.describe(), s))
            time.sleep(0.1)
        # Its stale beats, and its stale leaving beat, change nothing.
        for step in ("its refusal", "its stale leave"):
            if step == "its stale leave":
                old.child.send({"op": "leave"})
                self.leave_sent(old)
                self.counts["leaves"] -= 1  # its record was gone already
            after = self.settle("the fenced member %d: %s" % (old.id, step), time.monotonic())
            if after != version:
                raise Failure("%s of fenced member %d moved the pool's version from %d to %d" % (
                    step, old.id, version, after))
        self.counts["fences"] += 1

    def flood_round(self):
        """Bad connections for two leases: nobody may lose the lease, so no
        pool version moves while they last."""
        before = self.listing()
        want = fingerprint(self.expected())
        attacker = self.attack(FLOOD_S, FLOOD_OPEN)
        deadline = time.monotonic() + FLOOD_S + 20
        while attacker.proc.poll() is None:
            pools = self.listing()
            if pools is not None and pools != before:
                raise Failure("during the flood the pools changed from %s to %s: a member lost its lease" % (
                    before, pools))
            if time.monotonic() > deadline:
                raise Failure("%s did not finish" % attacker.describe())
            time.sleep(0.1)
        self.attack_ended(attacker)
        after = self.listing()
        if after != before or after[POOL]["roster"] != want:
            raise Failure("the flood changed the pools from %s to %s: a member lost its lease" % (before, after))
        self.settle("a flood of bad connections", time.monotonic())

    # baseline and the end

    def long_lived(self):
        return [self.registry] + self.watchers + [self.members[id].child for id in sorted(self.anchors)]

    def take_baseline(self):
        self.warm_registry()
        for c in self.long_lived():
            self.baseline[c.name] = steady_resources(c.pid)

    def back_to_baseline(self):
        """Every long-lived process holds as many descriptors and threads as at
        the start; the registry is compared with its first run's count (the
        same program, warmed up the same way)."""
        self.warm_registry()
        first_registry = "registry-1"
        for c in self.long_lived():
            want = self.baseline[first_registry if c is self.registry else c.name]
            deadline = time.monotonic() + 15
            while True:
                now = resources(c.pid)
                if now == want:
                    break
                if time.monotonic() > deadline:
                    raise Failure("%s did not return to its baseline: it holds %s, at the start %s" % (
                        c.describe(), show(now), show(want)))
                time.sleep(0.2)

    def run(self):
        t0 = time.monotonic()
        self.start_registry()
        url = "http://127.0.0.1:%d" % self.port
        for k in range(WATCHERS):
            self.watchers.append(Child("watcher-%d" % (k + 1), "watcher.py", [url, 900 + k, POOL, k % 2], self.logs))
        for w in self.watchers:
            if w.read(ANSWER_S, "start") != {"started": True}:
                raise Failure("%s did not start" % w.describe())
        anchors = [self.spawn(id, 1, 0, True, watching=True) for id in range(1, ANCHORS + 1)]
        for m in anchors:
            self.joined(m)
        self.anchors = {m.id for m in anchors}
        self.settle("the anchors joining", time.monotonic())
        self.take_baseline()
        first = [self.spawn(self.next_id + k, 1, 0, True) for k in range(MIN_MEMBERS + 2)]
        self.next_id += MIN_MEMBERS + 2
        for m in first:
            self.joined(m)
        self.settle("the first joins", time.monotonic())

        end = t0 + self.seconds
        # Short runs (CI's minute) still get every kind of fault at least once.
        every = min(8.0, max(self.seconds / 15, 3.0))
        specials = []
        next_special = time.monotonic() + every / 2
        while True:
            now = time.monotonic()
            if now >= end - TTL_S - SWEEP_S - 1:
                break
            if now >= next_special and end - now > 12:
                if not specials:
                    specials = list(SPECIALS)
                    self.rng.shuffle(specials)
                getattr(self, specials.pop() + "_round")()
                next_special = time.monotonic() + every
            else:
                self.churn_round()

        # The end: everybody but the anchors leaves, then the counts must be back.
        churned = [m for m in self.members.values() if m.id not in self.anchors]
        for m in churned:
            m.child.send({"op": "leave"})
        for m in churned:
            self.leave_sent(m)
        self.settle("the last leaves", time.monotonic())
        self.back_to_baseline()
        violations = []
        checks = 0
        for w in self.watchers:
            report = w.ask({"op": "report"})
            checks += report["checks"]
            if report["violations"] or not report["accepted"]:
                violations.append("%s: %s" % (w.describe(), report))
        if violations:
            raise Failure("a watcher's cache contradicted itself: " + "; ".join(violations))
        for id in sorted(self.anchors):
            m = self.members[id]
            m.child.send({"op": "leave"})
            self.leave_sent(m)
        self.settle("the anchors leaving", time.monotonic())
        for w in self.watchers:
            if w.ask({"op": "leave"}) != {"left": True}:
                raise Failure("%s did not leave" % w.describe())
            w.finish()
        failure = self.registry.died()
        if failure:
            raise failure
        self.registry.kill()
        c = self.counts
        return ("soak passed in %.0fs: joins %d, leaves %d, kills %d, restarts %d, freezes %d, stops %d, "
                "fences %d, floods %d (%d bad connections), publishes %d, checks %d settled + %d continuous, "
                "max convergence %.3fs, max ghost %.2fs (bound %.2fs), fds and threads back to baseline" % (
                    time.monotonic() - t0, c["joins"], c["leaves"], c["kills"], c["restarts"], c["freezes"],
                    c["stops"], c["fences"], c["floods"], c["attacks"], c["publishes"], c["checks"], checks,
                    self.max_convergence, self.max_ghost, GHOST_BOUND_S))


class Overrun(BaseException):
    pass


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 180.0
    logs = tempfile.mkdtemp(prefix="murlo-soak-")

    def stop(signum, frame):
        raise Overrun("the soak overran its time budget: something hung" if signum == signal.SIGALRM else
                      "interrupted by signal %d" % signum)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGALRM):
        signal.signal(sig, stop)
    signal.alarm(int(seconds) + 40)
    soak = Soak(seconds, logs)
    code = 1
    try:
        print(soak.run(), flush=True)
        code = 0
    except (Failure, Overrun, Exception) as e:
        if not isinstance(e, (Failure, Overrun)):
            traceback.print_exc()
        c = soak.counts
        print("soak FAILED: %s\n  (after %s; SOAK_SEED=%d; logs kept in %s)" % (
            e, ", ".join("%s %d" % kv for kv in c.items()), soak.seed, logs), flush=True)
    finally:
        signal.alarm(0)
        cleanup()
        if code == 0:
            shutil.rmtree(logs, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
