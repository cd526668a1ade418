"""Runs every benchmark of the project against a Release build and prints one
table: each figure is the median of several rounds, beside the same-run
baseline it is compared with, the ratio (figure / baseline) and the goal. A
figure that misses its goal is marked; misses do not fail the run. A benchmark
that fails to run is reported in the table and makes the exit status 1.

The table also goes to bench/results.md; each benchmark's own output is kept in
$MURLO_BUILD/bench/logs/.

    MURLO_BUILD=build-release /usr/bin/python3 bench/report.py     (what ./run bench does)
"""

import datetime
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("MURLO_BUILD", os.path.join(ROOT, "build-release"))
BENCH = os.path.join(BUILD, "bench")
LOGS = os.path.join(BENCH, "logs")
RESULTS = os.path.join(ROOT, "bench", "results.md")

ROUNDS = 3            # repetitions of the in-process benchmarks, rounds of the process ones
MIN_TIME_S = "0.2"    # per Google Benchmark repetition
PROPAGATION_CHANGES = 200

STARTED = time.monotonic()
rows = []       # one per figure
failures = []   # (benchmark, why)


def progress(text):
    print("[%5.0fs] %s" % (time.monotonic() - STARTED, text), file=sys.stderr, flush=True)


def median(values):
    return statistics.median(values)


# Goals: (text, test on the figure or on the ratio)
def below(limit, unit):
    return ("< %g %s" % (limit, unit), lambda value, ratio: value < limit)


def within(limit, unit):
    return ("≤ %g %s" % (limit, unit), lambda value, ratio: value <= limit)


def ratio_at_least(limit):
    return ("≥ %.1fx" % limit, lambda value, ratio: ratio is not None and ratio >= limit)


def ratio_at_most(limit):
    return ("≤ %.1fx" % limit, lambda value, ratio: ratio is not None and ratio <= limit)


def add(area, figure, value, unit, baseline=None, base_value=None, goal=None):
    ratio = value / base_value if base_value else None
    met = goal[1](value, ratio) if goal else None
    rows.append({"area": area, "figure": figure, "value": value, "unit": unit, "baseline": baseline or "-",
                 "base_value": base_value, "ratio": ratio, "goal": goal[0] if goal else "-", "met": met})


def run(name, argv, timeout, env=None):
    """Runs one benchmark in a session of its own; its stdout, or None after recording why it failed."""
    progress("%s: %s" % (name, " ".join(os.path.basename(a) if a.startswith("/") else a for a in argv)))
    os.makedirs(LOGS, exist_ok=True)
    log = os.path.join(LOGS, name + ".log")
    with open(log, "w") as err:
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=err, cwd=ROOT, start_new_session=True,
                                env=dict(os.environ, MURLO_BUILD=BUILD, **(env or {})))
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            failures.append((name, "no result within %d s (see %s)" % (timeout, log)))
            return None
    with open(log, "a") as err:
        err.write("\n--- standard output ---\n" + out.decode(errors="replace"))
    if proc.returncode != 0:
        why = "exit status %d" % proc.returncode if proc.returncode > 0 else "killed by signal %d" % -proc.returncode
        failures.append((name, "%s (see %s)" % (why, log)))
        return None
    return out.decode()


def gbench(name, binary, pattern, timeout=180):
    """Google Benchmark runs -> {benchmark name: [each repetition's entry]}."""
    out = run(name, [os.path.join(BENCH, binary), "--benchmark_filter=" + pattern,
                     "--benchmark_repetitions=%d" % ROUNDS, "--benchmark_min_time=" + MIN_TIME_S,
                     "--benchmark_format=json"], timeout)
    if out is None:
        return None
    runs = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "iteration" and not b.get("error_occurred"):
            runs.setdefault(b["name"], []).append(b)
    return runs


def last_json_line(out):
    return json.loads(out.strip().splitlines()[-1])


def protocol():
    runs = gbench("protocol", "bench_proto", "BM_ReadBeat$|BM_WriteBeat$|BM_ReadAck1MiB$|BM_WriteAck1MiB$|BM_CopyAck1MiB$")
    if not runs:
        return

    def mbs(name):
        return median([b["bytes_per_second"] for b in runs[name]]) / 1e6

    copy = mbs("BM_CopyAck1MiB")
    for name, figure in (("BM_ReadBeat", "read a typical Beat"), ("BM_WriteBeat", "write a typical Beat"),
                         ("BM_ReadAck1MiB", "read a 1 MiB BeatAck (5,000 members)"),
                         ("BM_WriteAck1MiB", "write that BeatAck")):
        add("protocol", figure, mbs(name), "MB/s", "memcpy of the ack", copy)


def ns(entry):
    unit = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[entry["time_unit"]]
    return entry["real_time"] * unit


def registry_in_process():
    runs = gbench("registry", "bench_registry", "BM_refresh/real_time/threads:1$|BM_publish$|BM_shared/64$|BM_alone/64$")
    base = gbench("registry-baseline", "bench_baseline", ".")
    if not runs:
        return
    store_refresh = median([ns(b) for b in base["BM_store_refresh"]]) if base else None
    store_publish = median([ns(b) for b in base["BM_store_publish"]]) if base else None
    add("registry in-process", "lease refresh, one of 10,000 members", median([ns(b) for b in runs[
        "BM_refresh/real_time/threads:1"]]), "ns", "record store: find + compare + renew", store_refresh)
    add("registry in-process", "state change with one watcher (version step + delta)",
        median([ns(b) for b in runs["BM_publish"]]), "ns", "record store: find + copy state + keep change",
        store_publish)
    add("registry in-process", "shared incremental delta (64 changes), per asking member",
        median([b["ns_per_member"] * 1e9 for b in runs["BM_shared/64"]]), "ns", "each member's delta built alone",
        median([b["ns_per_member"] * 1e9 for b in runs["BM_alone/64"]]))


def client_cache():
    runs = gbench("client-cache", "bench_client", "BM_CopyBaseline$|BM_SerializedFirst$|BM_SerializedRepeated$|"
                  "BM_ChooseOneKeyFilter$|BM_FieldDigestFirst$|BM_ApplyFull$|BM_ApplyOneMember$")
    if not runs or "BM_CopyBaseline" not in runs:
        return
    copy = median([ns(b) for b in runs["BM_CopyBaseline"]]) / 1e3
    for name, figure in (("BM_SerializedFirst", "members JSON, first after a change"),
                         ("BM_SerializedRepeated", "members JSON, repeated (kept)"),
                         ("BM_ChooseOneKeyFilter", "choose with a one-key filter"),
                         ("BM_FieldDigestFirst", "field digest, first after a change"),
                         ("BM_ApplyFull", "apply a full delta"),
                         ("BM_ApplyOneMember", "apply a one-member delta")):
        if name in runs:
            add("client cache, 5,000 members", figure, median([ns(b) for b in runs[name]]) / 1e3, "us",
                "copy of the members JSON (1 MiB)", copy)


def http():
    out = run("http", [os.path.join(ROOT, "bench", "registry_h2load.sh"), "--json"], 300)
    if out is None:
        return
    r = last_json_line(out)
    med = {name: median(values) for name, values in r["runs"].items()}
    area = "registry over HTTP (%d workers each)" % r["workers"]
    # The lease refresh is set against nghttpd's health over h2c (the same
    # HTTP/2 library) and against the best anchor's over HTTP/1.1.
    beat_anchors = r.get("beat_anchors", {"h2c": "nghttpd", "h1": r["anchors"]["h1"]})
    for proto, label, flags in (("h2c", "h2c", "-m 10"), ("h1", "HTTP/1.1", "--h1")):
        anchor = r["anchors"][proto]
        anchor_rate = med["%s.%s.health" % (proto, anchor)]
        base = "%s GET /health (best anchor)" % anchor
        add(area, "%s GET /health (h2load -c 64 -t 4 %s)" % (label, flags), med[proto + ".registry.health"],
            "req/s", base, anchor_rate, ratio_at_least(1.0))
        beat_anchor = beat_anchors[proto]
        beat_base = base if beat_anchor == anchor else "%s GET /health" % beat_anchor
        add(area, "%s POST /v1/beat, lease refresh" % label, med[proto + ".registry.beat"], "req/s", beat_base,
            med["%s.%s.health" % (proto, beat_anchor)], ratio_at_least(0.8))
        for name in sorted(med):
            p, server, what = name.split(".")
            if p == proto and server not in ("registry", anchor):
                add(area, "%s GET /health, %s (the other anchor)" % (label, server), med[name], "req/s", base,
                    anchor_rate)


def header_flood():
    out = run("header_flood", [sys.executable, os.path.join(ROOT, "bench", "header_flood.py"), "--json"], 300,
              env={"ROUNDS": str(ROUNDS)})
    if out is None:
        return
    r = last_json_line(out)
    area = "header flood (%d connections, %.0f s, %d MiB decoded a block)" % (r["connections"], r["duration_s"],
                                                                           r["decoded_mib"])
    cpu = {name: median([x["cpu_s"] for x in runs]) for name, runs in r["runs"].items()}
    per_stream = {name: median([1000 * x["cpu_s"] / max(1, x["streams"]) for x in runs])
                  for name, runs in r["runs"].items()}
    add(area, "registry CPU over the flood", cpu["registry"], "CPU s", "nghttpd, same flood", cpu["nghttpd"],
        below(2, "CPU s"))
    add(area, "registry CPU per bomb stream begun", per_stream["registry"], "ms", "nghttpd, same flood",
        per_stream["nghttpd"])
    per_conn = {name: median([1000 * x["cpu_s"] / max(1, x["connections"]) for x in runs])
                for name, runs in r["runs"].items()}
    add(area, "registry CPU per connection (each closed on its first block)", per_conn["registry"], "ms",
        "registry, ordinary connections (one GET /health)", per_conn["registry_plain"])


def propagation():
    figures = {}   # watchers -> ([p50], [p99])
    loop50, loop99, idle = [], [], []
    for n in range(1, ROUNDS + 1):
        argv = [os.path.join(BENCH, "bench_propagation"), str(PROPAGATION_CHANGES)] + (["--no-idle"] if n > 1 else [])
        out = run("propagation-%d" % n, argv, 150)
        if out is None:
            continue
        for line in out.splitlines():
            m = re.search(r"loopback TCP round trip.*: p50 ([\d.]+) ms, p99 ([\d.]+) ms", line)
            if m:
                loop50.append(float(m.group(1)))
                loop99.append(float(m.group(2)))
            m = re.match(r"\s*(\d+) watchers?\s*, \d+ changes: last watcher p50 ([\d.]+) ms, p99 ([\d.]+) ms", line)
            if m:
                p50, p99 = figures.setdefault(int(m.group(1)), ([], []))
                p50.append(float(m.group(2)))
                p99.append(float(m.group(3)))
            m = re.search(r"registry with (\d+) idle clients.*: ([\d.]+)% of a core, RSS ([\d.]+) MiB", line)
            if m:
                idle.append((int(m.group(1)), float(m.group(2)), float(m.group(3))))
    if not figures:
        return
    goals = {1: (within(0.3, "ms"), within(0.75, "ms")), 1000: (within(2, "ms"), within(5, "ms"))}
    base50 = median(loop50) if loop50 else None
    base99 = median(loop99) if loop99 else None
    for watchers in sorted(figures):
        p50, p99 = figures[watchers]
        who = "1 watcher" if watchers == 1 else "last of %s watchers" % format(watchers, ",")
        g50, g99 = goals.get(watchers, (None, None))
        add("propagation (publish to cache)", "%s, p50 of %d changes" % (who, PROPAGATION_CHANGES), median(p50), "ms",
            "loopback TCP round trip, p50", base50, g50)
        add("propagation (publish to cache)", "%s, p99" % who, median(p99), "ms", "loopback TCP round trip, p99",
            base99, g99)
    for clients, cpu, rss in idle:
        add("propagation (publish to cache)", "registry idle CPU, %s clients holding beats (1 round)"
            % format(clients, ","), cpu, "% core")
        add("propagation (publish to cache)", "registry RSS, %s clients (1 round)" % format(clients, ","), rss, "MiB")


fanout_figures = {}


def fanout():
    out = run("fanout", [os.path.join(BENCH, "bench_fanout"), "10000", "5"], 150)
    if out is None:
        return
    area = "scale, raw HTTP/2 (10,000 members, 100 conns)"
    for line in out.splitlines():
        m = re.search(r"registry idle: ([\d.]+)% of a core, RSS ([\d.]+) MiB", line)
        if m:
            fanout_figures["cpu"], fanout_figures["rss"] = float(m.group(1)), float(m.group(2))
            add(area, "registry idle CPU (median of 3 windows)", fanout_figures["cpu"], "% core", None, None,
                below(5, "%"))
            add(area, "registry idle RSS", fanout_figures["rss"], "MiB", None, None, below(200, "MiB"))
        m = re.search(r"median of (\d+)\): changer answered in ([\d.]+) ms.*all (\d+) held beats answered in "
                      r"([\d.]+) ms", line)
        if m:
            fanout_figures["own"], fanout_figures["all"] = float(m.group(2)), float(m.group(4))
            add(area, "one change: the changer's answer (median of %s)" % m.group(1), fanout_figures["own"], "ms",
                None, None, within(5, "ms"))
            add(area, "one change: all held beats answered", fanout_figures["all"], "ms", None, None,
                within(100, "ms"))
        if "not every held beat" in line:
            failures.append(("fanout", line.strip()))


def scale():
    out = run("scale", [sys.executable, os.path.join(ROOT, "bench", "bench_scale.py"), "--json"], 240)
    if out is None:
        return
    r = last_json_line(out)
    area = "scale, module (%s members, %d processes)" % (format(r["members"], ","), r["processes"])
    raw = "same, raw HTTP/2 members"
    add(area, "serve_registry idle CPU (median of %d windows)" % len(r["idle_cpu_pct"]), median(r["idle_cpu_pct"]),
        "% core", raw, fanout_figures.get("cpu"), below(5, "%"))
    add(area, "serve_registry idle RSS", median(r["idle_rss_mib"]), "MiB", raw, fanout_figures.get("rss"),
        below(200, "MiB"))
    add(area, "one change: the changer's own ack (median of %d)" % len(r["changer_ack_ms"]),
        median(r["changer_ack_ms"]), "ms", raw, fanout_figures.get("own"), within(5, "ms"))
    add(area, "one change: in all caches (pool_info)", median(r["all_caches_ms"]), "ms", raw + ", all answered",
        fanout_figures.get("all"), within(100, "ms"))
    add(area, "one change: in the first cache", median(r["first_cache_ms"]), "ms")


def module_queries():
    out = run("module", [sys.executable, os.path.join(ROOT, "bench", "bench_module.py"), "--json"], 180)
    if out is None:
        return
    r = last_json_line(out)
    area = "client queries from Python (%s members)" % format(r["members"], ",")
    for name, us in r["us_per_call"].items():
        py = r["python_us_per_call"].get(name)
        if py is not None:
            add(area, name, us, "us", "pure Python on parsed members", py, ratio_at_most(1.0))
        else:
            add(area, name, us, "us")


def number(value):
    if value is None:
        return "-"
    if value >= 1000:
        return format(round(value), ",")
    if value >= 100:
        return "%.0f" % value
    if value >= 10:
        return "%.1f" % value
    if value >= 1:
        return "%.2f" % value
    return "%.3f" % value


def table():
    head = ("area", "figure", "median", "baseline", "baseline median", "ratio", "goal", "")
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    area = None
    for r in rows:
        mark = "" if r["met"] is None else ("ok" if r["met"] else "**MISS**")
        lines.append("| %s | %s | %s %s | %s | %s | %s | %s | %s |" % (
            r["area"] if r["area"] != area else "", r["figure"], number(r["value"]), r["unit"], r["baseline"],
            "-" if r["base_value"] is None else "%s %s" % (number(r["base_value"]), r["unit"]),
            "-" if r["ratio"] is None else "%.2fx" % r["ratio"], r["goal"], mark))
        area = r["area"]
    return lines


def main():
    if not os.path.isdir(BENCH):
        sys.exit("report: %s is not built" % BENCH)
    load = os.getloadavg()
    when = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    commit = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%h"], capture_output=True, text=True).stdout
    for step in (protocol, registry_in_process, client_cache, module_queries, propagation, fanout, scale, http,
                 header_flood):
        try:
            step()
        except Exception as e:  # a benchmark whose output cannot be read: record it, go on
            failures.append((step.__name__, "%s: %s" % (type(e).__name__, e)))
    took = time.monotonic() - STARTED
    end_load = os.getloadavg()
    out = ["# murlo benchmarks", "",
           "%s, commit %s, build %s" % (when, commit.strip() or "?", BUILD),
           "machine: %d cores; load average %.2f %.2f %.2f at the start, %.2f %.2f %.2f at the end" % (
               os.cpu_count(), *load, *end_load),
           "each figure: median of %d rounds (Google Benchmark repetitions, timed runs or process rounds); "
           "ratio = figure / baseline; run took %.0f s" % (ROUNDS, took), ""]
    out += table()
    misses = [r for r in rows if r["met"] is False]
    out += ["", "%d figures, %d with a goal, %d missed" % (len(rows), sum(r["met"] is not None for r in rows),
                                                          len(misses))]
    for name, why in failures:
        out.append("FAILED: %s: %s" % (name, why))
    text = "\n".join(out) + "\n"
    with open(RESULTS, "w") as f:
        f.write(text)
    print(text, end="")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
