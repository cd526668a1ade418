"""10,000 members through the Python module against one registry run by
serve_registry: the registry's CPU and RSS while every member holds its beat
and nothing changes, then the time for one change to reach every member's
cache, seen where the members see it (pool_info through the module).

Layout: the registry in a child process (serve_registry, lease 20 s, so beats
are held 5 s); PROCESSES worker processes with MEMBERS / PROCESSES started
Clients each, all in pool "m" and watching pool "w"; the changer, a Client in
pool "w" in this process. Each worker gives every Client a wake pipe of its own
and polls them all; when armed it notes, per Client, when the cached version of
"w" moves past the armed one. time.monotonic_ns is the system-wide monotonic
clock, so the changer's start and the workers' sightings compare directly.

    MURLO_BUILD=build-release /usr/bin/python3 bench/bench_scale.py [--json]
Env: MEMBERS (10000), PROCESSES (20), CHANGES (5), IDLE_WINDOWS (3), IDLE_S (5).
"""

import json
import os
import select
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("MURLO_BUILD", os.path.join(ROOT, "build"))
MODULE_DIR = os.path.join(BUILD, "client")
sys.path.insert(0, MODULE_DIR)

import _murlo  # noqa: E402

MEMBERS = int(os.environ.get("MEMBERS", "10000"))
PROCESSES = int(os.environ.get("PROCESSES", "20"))
CHANGES = int(os.environ.get("CHANGES", "5"))
IDLE_WINDOWS = int(os.environ.get("IDLE_WINDOWS", "3"))
IDLE_S = float(os.environ.get("IDLE_S", "5"))  # one hold: each window sees every member beat once
TTL_MS = 20000
CHANGER = 1

SERVE = "import sys; sys.path.insert(0, sys.argv[1]); import _murlo; _murlo.serve_registry('127.0.0.1:0', %d)" % TTL_MS

# A worker process. Commands on stdin, one per line: "arm" (note each Client's
# version of "w" and answer "armed"), "quit". Output: "ready" once every Client
# caches "w", then per armed change "seen <first_ns> <last_ns> <clients>".
WORKER = r"""
import os, resource, select, sys, time
sys.path.insert(0, sys.argv[1])
import _murlo
url, lo, hi = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
clients, pipes = [], {}
for i in range(lo, hi):
    c = _murlo.Client(url, "m", i, 1, "rr")
    c.watch(["w"])
    r, w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    c.add_wake_fd(w)
    if not c.start(10000) or not c.accepted:
        print("failed %d %s" % (i, c.last_error()), flush=True)
        sys.exit(1)
    pipes[r] = len(clients)
    clients.append(c)
deadline = time.monotonic() + 60
while any(c.pool_info("w") is None for c in clients):
    if time.monotonic() > deadline:
        print("failed: pool w not cached", flush=True)
        sys.exit(1)
    time.sleep(0.05)
poller = select.poll()
for r in pipes:
    poller.register(r, select.POLLIN)
poller.register(0, select.POLLIN)
print("ready", flush=True)
armed = None          # index -> version to pass, while a change is awaited
first = last = 0
stdin = b""
while True:
    for fd, _ in poller.poll():
        if fd == 0:
            chunk = os.read(0, 4096)
            if not chunk:
                os._exit(0)
            stdin += chunk
            while b"\n" in stdin:
                line, stdin = stdin.split(b"\n", 1)
                if line == b"arm":
                    armed = {i: c.pool_info("w")[0] for i, c in enumerate(clients)}
                    first = last = 0
                    print("armed", flush=True)
                elif line == b"quit":
                    os._exit(0)  # no orderly shutdown of hundreds of runtimes
            continue
        try:
            while os.read(fd, 4096):
                pass
        except BlockingIOError:
            pass
        if armed is None:
            continue
        i = pipes[fd]
        v = armed.get(i)
        if v is not None and clients[i].pool_info("w")[0] > v:
            now = time.monotonic_ns()
            del armed[i]
            first = first or now
            last = now
            if not armed:
                armed = None
                print("seen %d %d %d" % (first, last, hi - lo), flush=True)
"""


def read_line(proc, timeout):
    """One line of a child's standard output, or RuntimeError after `timeout` seconds."""
    fd = proc.stdout.fileno()
    if not select.select([fd], [], [], timeout)[0]:
        raise RuntimeError("no answer from pid %d within %.0f s" % (proc.pid, timeout))
    line = proc.stdout.readline().decode().strip()
    if not line:
        raise RuntimeError("pid %d ended (exit %s)" % (proc.pid, proc.poll()))
    return line


def usage(pid):
    """(CPU seconds, RSS bytes) of a process, from /proc."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1]) * 1024
    return ticks / os.sysconf("SC_CLK_TCK"), rss


def wait_acked(client, timeout_s):
    """Until the registry has acked the client's last publication."""
    deadline = time.monotonic() + timeout_s
    while True:
        published, acked = client.publish_versions()
        if acked >= published:
            return
        if time.monotonic() > deadline:
            raise RuntimeError("the changer's publication was not acked")
        client.wait_revision(client.cache_revision(), 100)


def main():
    as_json = "--json" in sys.argv[1:]
    out = sys.stderr if as_json else sys.stdout
    registry = subprocess.Popen([sys.executable, "-c", SERVE, MODULE_DIR], stdout=subprocess.PIPE)
    workers = []
    try:
        url = "http://" + read_line(registry, 20)
        changer = _murlo.Client(url, "w", CHANGER, 1, "rr", coalesce_ms=0)
        changer.set_state(json.dumps({"n": 0}), True)
        if not changer.start(10000):
            raise RuntimeError("the changer could not join: %s" % changer.last_error())

        started = time.monotonic()
        step = -(-MEMBERS // PROCESSES)
        for lo in range(1000, 1000 + MEMBERS, step):
            hi = min(lo + step, 1000 + MEMBERS)
            workers.append(subprocess.Popen([sys.executable, "-c", WORKER, MODULE_DIR, url, str(lo), str(hi)],
                                            stdin=subprocess.PIPE, stdout=subprocess.PIPE))
        for w in workers:
            line = read_line(w, 300)
            if line != "ready":
                raise RuntimeError("a worker failed: %s" % line)
        joined_s = time.monotonic() - started
        print("scale: %d members in %d processes joined and caching in %.1f s" % (MEMBERS, len(workers), joined_s),
              file=out)
        time.sleep(2)  # the joins' answers settle into held beats

        cpu, rss = [], []
        for _ in range(IDLE_WINDOWS):
            c0, _ = usage(registry.pid)
            t0 = time.monotonic()
            time.sleep(IDLE_S)
            c1, r1 = usage(registry.pid)
            cpu.append(100.0 * (c1 - c0) / (time.monotonic() - t0))
            rss.append(r1 / 2**20)
        print("  registry idle: %s %% of a core, RSS %s MiB" % (
            ", ".join("%.1f" % c for c in cpu), ", ".join("%.1f" % r for r in rss)), file=out)

        own, reach, soonest = [], [], []
        for n in range(1, CHANGES + 1):
            for w in workers:
                w.stdin.write(b"arm\n")
                w.stdin.flush()
            for w in workers:
                if read_line(w, 30) != "armed":
                    raise RuntimeError("a worker did not arm")
            t0 = time.monotonic_ns()
            changer.set_state(json.dumps({"n": n}), True)
            wait_acked(changer, 10)
            own.append((time.monotonic_ns() - t0) / 1e6)
            first, last, seen = None, 0, 0
            for w in workers:
                fields = read_line(w, 30).split()
                if fields[0] != "seen":
                    raise RuntimeError("a worker answered %r" % fields)
                first = min(first or int(fields[1]), int(fields[1]))
                last = max(last, int(fields[2]))
                seen += int(fields[3])
            reach.append((last - t0) / 1e6)
            soonest.append((first - t0) / 1e6)
            print("  change %d: changer acked in %.2f ms, first cache in %.1f ms, all %d caches in %.1f ms" % (
                n, own[-1], soonest[-1], seen, reach[-1]), file=out)
            time.sleep(1)

        result = {
            "members": MEMBERS, "processes": len(workers), "joined_s": joined_s,
            "idle_cpu_pct": cpu, "idle_rss_mib": rss, "changer_ack_ms": own, "first_cache_ms": soonest,
            "all_caches_ms": reach,
        }
        print("scale (medians): registry idle %.1f %% of a core (goal < 5), RSS %.1f MiB (goal < 200); one change: "
              "changer acked in %.2f ms (goal < 5), all %d caches in %.1f ms (goal < 100)" % (
                  statistics.median(cpu), statistics.median(rss), statistics.median(own), MEMBERS,
                  statistics.median(reach)), file=out)
        if as_json:
            print(json.dumps(result))
        for w in workers:
            w.stdin.write(b"quit\n")
            w.stdin.flush()
        changer.leave()
    finally:
        for w in workers:
            try:
                w.wait(timeout=10)
            except subprocess.TimeoutExpired:
                w.kill()
                w.wait()
        registry.kill()
        registry.wait()


if __name__ == "__main__":
    main()
