"""murlo in fifteen seconds: a registry and three members of one pool, each in
a process of its own, find each other, publish state and readiness, and see
one member leave and another die and expire after its lease.

    ./run demo                         (builds first)
    MURLO_BUILD=build python3 demo.py  (with an existing build)

Every member prints the roster of pool "workers" as it sees it change: a name
with * is ready; the text in brackets is the member's published state.
"""

import json
import os
import select
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("MURLO_BUILD", os.path.join(HERE, "build"))
if os.path.isdir(os.path.join(BUILD, "client")):
    sys.path.insert(0, os.path.join(BUILD, "client"))

import _murlo  # noqa: E402  (after the path to the build)

POOL = "workers"
LEASE_MS = 3000
NAMES = {1: "alpha", 2: "beta", 3: "gamma"}


def roster_line(text):
    parts = []
    for m in json.loads(text):
        state = m["state"] if isinstance(m["state"], dict) else {}
        name = state.get("name", str(m["id"]))
        detail = ", ".join("%s %s" % (k, v) for k, v in sorted(state.items()) if k != "name")
        parts.append("%s%s%s" % (name, "*" if m["ready"] else "", " [%s]" % detail if detail else ""))
    return "  ".join(parts) or "(nobody)"


# --- the processes ---------------------------------------------------------------


def registry_process(lease_ms):
    # Prints the bound address on standard output, then serves until killed.
    _murlo.serve_registry("127.0.0.1:0", lease_ms)


def member_process(endpoint, id):
    """A member that publishes its state, watches its pool and prints each new
    roster. Commands arrive on standard input: "ready", "task TEXT", "leave"."""
    name = NAMES[id]
    c = _murlo.Client(endpoint, POOL, id, time.time_ns(), "round-robin", url="http://%s.local" % name)
    c.set_state(json.dumps({"name": name, "task": "warming up"}), False)
    c.watch([POOL])
    # The bell writes a byte here whenever the local cache has moved.
    bell_r, bell_w = os.pipe()
    os.set_blocking(bell_r, False)
    os.set_blocking(bell_w, False)
    c.add_wake_fd(bell_w)
    c.start()
    shown = None
    commands = sys.stdin.fileno()
    while True:
        text = c.lookup(POOL)
        if text != shown:
            shown = text
            print("  [%-5s] sees v%d: %s" % (name, c.pool_info(POOL)[0] if c.pool_info(POOL) else 0,
                                           roster_line(text)), flush=True)
        ready, _, _ = select.select([bell_r, commands], [], [], 1.0)
        if bell_r in ready:
            while True:
                try:
                    if not os.read(bell_r, 256):
                        break
                except BlockingIOError:
                    break
        if commands in ready:
            line = sys.stdin.readline().strip()
            if line == "ready":
                c.set_state(json.dumps({"name": name, "task": "idle"}), True)
            elif line.startswith("task "):
                # Progress without touching readiness.
                c.set_state_only(json.dumps({"name": name, "task": line[5:]}))
            elif line in ("leave", ""):
                c.drop_wake_fd(bell_w)
                c.leave()
                return


# --- the narrator ------------------------------------------------------------------


def say(text):
    print(text, flush=True)


def read_line(stream, seconds):
    deadline = time.monotonic() + seconds
    out = b""
    while not out.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            raise RuntimeError("no address from the registry")
        chunk = os.read(stream.fileno(), 1)
        if not chunk:
            raise RuntimeError("the registry exited")
        out += chunk
    return out.decode().strip()


def main():
    children = []
    me = [sys.executable, os.path.abspath(__file__)]
    try:
        registry = subprocess.Popen(me + ["registry", str(LEASE_MS)], stdout=subprocess.PIPE)
        children.append(registry)
        address = read_line(registry.stdout, 20)
        endpoint = "http://" + address
        say("registry serving on %s, lease %d ms (serve_registry in a child process)" % (address, LEASE_MS))

        # An observer in a pool of its own that watches "workers", so the demo
        # can wait for each step to land.
        observer = _murlo.Client(endpoint, "observers", 100, 1, "watch")
        observer.watch([POOL])
        observer.start()

        def until(what, check, seconds=15):
            deadline = time.monotonic() + seconds
            revision = observer.cache_revision()
            while not check(json.loads(observer.lookup(POOL))):
                if time.monotonic() > deadline:
                    raise RuntimeError("timed out waiting for: " + what)
                revision = observer.wait_revision(revision, 200)

        def ids(roster):
            return {m["id"] for m in roster}

        def pause():
            time.sleep(1.5)  # lets every member print its view before the next step

        say('\n== alpha, beta and gamma join pool "workers", not ready yet')
        members = {}
        for id in NAMES:
            members[id] = subprocess.Popen(me + ["member", endpoint, str(id)], stdin=subprocess.PIPE)
            children.append(members[id])
        until("three members", lambda r: ids(r) == {1, 2, 3})
        pause()

        def tell(id, command):
            members[id].stdin.write((command + "\n").encode())
            members[id].stdin.flush()

        say("\n== alpha and beta declare themselves ready")
        tell(1, "ready")
        tell(2, "ready")
        until("two ready", lambda r: {m["id"] for m in r if m["ready"]} == {1, 2})
        pause()

        say("\n== gamma reports progress; its readiness stays as it was")
        tell(3, "task loading 60%")
        until("gamma's progress", lambda r: any(m["state"].get("task") == "loading 60%" for m in r))
        pause()

        say("\n== beta leaves: the others see it at once, not after the lease")
        left = time.monotonic()
        tell(2, "leave")
        until("beta gone", lambda r: ids(r) == {1, 3})
        gone = time.monotonic() - left
        members[2].wait(10)
        pause()
        say("   (the observer saw beta gone after %d ms)" % (gone * 1000))

        say("\n== gamma is killed with SIGKILL: it stays listed until its %d ms lease runs out" % LEASE_MS)
        killed = time.monotonic()
        members[3].kill()
        members[3].wait(10)
        until("gamma expired", lambda r: ids(r) == {1}, seconds=LEASE_MS / 1000 * 3 + 5)
        expired = time.monotonic() - killed
        pause()
        say("   (the observer saw gamma expire %.1f s after the kill)" % expired)

        say("\n== alpha leaves; shutting down")
        tell(1, "leave")
        members[1].wait(10)
        observer.leave()
        say("done")
        return 0
    except Exception as e:  # noqa: BLE001  (report, then clean up)
        say("demo failed: %s" % e)
        return 1
    finally:
        for child in children:
            if child.poll() is None:
                child.kill()
            child.wait()


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "registry":
        registry_process(int(sys.argv[2]))
    elif len(sys.argv) > 1 and sys.argv[1] == "member":
        member_process(sys.argv[2], int(sys.argv[3]))
    else:
        sys.exit(main())
