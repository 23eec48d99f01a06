"""Measures api.orvane against the same module written in plain Python
(reference/pyorvane.py) and compiled by Cython, and against the floor (the
result objects built in a C loop), and records the figures in
bench/results.json, from which bench/report.py writes bench/results.md and
bench/results.png.

    python bench/run.py [--rounds N] [--skip callgrind,memory,import,e2e] [--million]

Needs the extensions of bench/build.py.  Every callable is called from a
Python loop, as an application calls it, and each figure is taken less what
the same run costs without the callable (the empty loop and the database
doubles).  Times are medians over rounds; in each round every implementation
runs each case once, in turn, so that the load of a shared machine falls on
all alike.  Instruction counts come from callgrind (when valgrind is
installed) and do not drift with that load.  The end-to-end table runs
tagtool and its floor on 10^4 and 10^5 tags, and 10^6 with --million.
"""

import argparse
import gc
import json
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time

import e2e
import harness
import report
import workload as w

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
E2E_TAGS = 100_000


def say(text):
    print(text, file=sys.stderr, flush=True)


# Times

def measure(run):
    start = time.perf_counter_ns()
    run()
    return time.perf_counter_ns() - start


def calls_per_value(mod, prepare, seconds=0.02):
    """How many calls make one value of about `seconds`."""
    n = 200
    while True:
        ns = own(prepare(mod, n))
        if ns > seconds * 1e9 / 4 or n >= 1 << 22:
            return max(100, int(n * seconds * 1e9 / max(ns, 1)))
        n *= 4


def own(run):
    """What a run costs less what it costs without the callable."""
    return measure(run) - measure(run.overhead)


def times(rounds):
    """Median ns per call (per row for the cases over rows) of each case and
    implementation."""
    mods = {impl: w.load(impl) for impl in (*w.IMPLS, "floor")}
    impls = {name: [i for i in (*w.IMPLS, "floor") if name in
                    (c[0] for c in w.cases_for(i))] for name, *_ in w.CASES}
    sizes = {}
    for name, _, rows, prepare in w.CASES:
        for impl in impls[name]:
            warm = prepare(mods[impl], 100)
            warm()
            warm.overhead()
            sizes[name, impl] = rows or calls_per_value(mods[impl], prepare)
    values = {key: [] for key in sizes}
    for r in range(rounds):
        say(f"  round {r + 1} of {rounds}")
        for name, _, rows, prepare in w.CASES:
            order = impls[name][r % len(impls[name]):] + impls[name][:r % len(impls[name])]
            for impl in order:
                n = sizes[name, impl]
                values[name, impl].append(own(prepare(mods[impl], n)) / n)
                gc.collect()
    return {key: statistics.median(v) for key, v in values.items()}


def check_alike():
    """Every implementation gives the module's results where the floor
    builds them too, so that all of them do the same work."""
    mods = {impl: w.load(impl) for impl in (*w.IMPLS, "floor")}
    for name, _, rows, prepare in w.CASES:
        if name not in w.FLOOR_CASES:
            continue
        results = {}
        for impl, mod in mods.items():
            results[impl] = prepare(mod, 1).one()
        for impl, result in results.items():
            if result != results["orvane"]:
                raise SystemExit(f"bench/run.py: {impl} gives other results than orvane for {name}")


# Instruction counts

def callgrind(rows=10_000):
    """Instructions per call (per row) of each case and implementation, from
    one callgrind run of workload.py per implementation: each case's part
    less its overhead part."""
    if shutil.which("valgrind") is None:
        say("  valgrind is not installed: no instruction counts (apt-get install valgrind)")
        return {}
    counts = {}
    with tempfile.TemporaryDirectory() as tmp:
        for impl in (*w.IMPLS, "floor"):
            say(f"  callgrind: {impl}")
            env = dict(os.environ, BENCH_ROWS=str(rows))
            parts = harness.callgrind_parts([sys.executable, os.path.join(HERE, "workload.py"), impl],
                                            tmp, env=env)
            if parts is None:
                raise SystemExit(f"bench/run.py: callgrind of {impl} failed")
            for name, _, case_rows, _ in w.cases_for(impl):
                if name in parts:
                    counts[name, impl] = ((parts[name] - parts[name + " overhead"])
                                          / (rows if case_rows else w.CALLS))
    return counts


# Memory and import

def memory():
    say("  a million calls of each callable")
    proc = run_probe("memory")
    return json.loads(proc.stdout)


def import_costs(runs=31):
    costs = {}
    for impl in w.IMPLS:
        say(f"  import of {impl}, {runs} fresh processes")
        samples = [json.loads(run_probe("import", impl).stdout) for _ in range(runs)]
        costs[impl] = {"ns": statistics.median(s["ns"] for s in samples),
                       "rss": statistics.median(s["rss"] for s in samples)}
    return costs


def run_probe(*args, env=None):
    return harness.run([sys.executable, os.path.join(HERE, "probes.py"), *args], "bench/run.py",
                       env=env)


# End to end

def module_share(reps=3):
    """Seconds of `python -m tagtool import` and `export` of a section of
    E2E_TAGS tags on SQLite, and the module's share of them."""
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        inp = os.path.join(tmp, "tags.inp")
        e2e.write_inp(inp, E2E_TAGS)
        for r in range(reps):
            for impl in w.IMPLS[r % 3:] + w.IMPLS[:r % 3]:
                say(f"  tagtool import and export, {impl}, {r + 1} of {reps}")
                data = os.path.join(tmp, f"data-{impl}-{r}")
                run_probe("tagtool", "orvane", "--data-dir", data, "create", "net",
                          env=dict(os.environ, BENCH_SHARE_FILE=os.path.join(tmp, "ignored")))
                for step, args in (("import", ["import", "net", inp]),
                                   ("export", ["export", "net", os.path.join(tmp, "out.inp")])):
                    share = os.path.join(tmp, "share.json")
                    start = time.perf_counter_ns()
                    run_probe("tagtool", impl, "--data-dir", data, *args,
                              env=dict(os.environ, BENCH_SHARE_FILE=share))
                    wall = time.perf_counter_ns() - start
                    with open(share) as f:
                        module_ns = json.load(f)["module_ns"]
                    results.setdefault((step, impl), []).append((wall, module_ns))
                shutil.rmtree(data)
    return {key: (statistics.median(v[0] for v in vals), statistics.median(v[1] for v in vals))
            for key, vals in results.items()}


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=11, help="rounds of timing (default 11)")
    parser.add_argument("--skip", default="",
                        help="comma-separated: times, callgrind, memory, import, share, e2e")
    parser.add_argument("--million", action="store_true",
                        help=f"run the end-to-end table on {e2e.MILLION:,} tags too")
    parser.add_argument("--out", default=HERE, help="folder for results.md and results.png")
    args = parser.parse_args()
    skip = {s for s in args.skip.split(",") if s}
    unknown = skip - {"times", "callgrind", "memory", "import", "share", "e2e"}
    if unknown or args.rounds < 1:
        parser.error(f"bad --skip {','.join(sorted(unknown))}" if unknown else "--rounds must be at least 1")
    try:
        for impl in (*w.IMPLS, "floor"):
            w.load(impl)
    except ImportError as e:
        raise SystemExit(f"bench/run.py: {e}: build the extensions first (python bench/build.py)")

    started = time.monotonic()
    load_before = os.getloadavg()[0]
    check_alike()
    say("times")
    timed = {} if "times" in skip else times(args.rounds)
    say("instruction counts")
    counts = {} if "callgrind" in skip else callgrind()
    say("memory")
    mem = {} if "memory" in skip else memory()
    say("import")
    imports = {} if "import" in skip else import_costs()
    say("end to end: the module's share")
    share = {} if "share" in skip else module_share()
    say("end to end: tagtool against the floor")
    tool = {}
    if "e2e" not in skip:
        tool = {"sizes": e2e.measure(e2e.SIZES + ((e2e.MILLION,) if args.million else ())),
                "start": e2e.start()}

    meta = {"rounds": args.rounds, "load": (load_before, os.getloadavg()[0]),
            "python": platform.python_version(), "cpu": cpu_name(), "cores": os.cpu_count(),
            "date": time.strftime("%Y-%m-%d"), "rows": w.ROWS, "calls": w.CALLS,
            "million": e2e.MILLION, "share_tags": E2E_TAGS,
            "cases": [(name, label) for name, label, *_ in w.CASES]}
    report.record("calls", {
        "meta": meta, "times": {f"{k[0]}/{k[1]}": v for k, v in timed.items()},
        "instructions": {f"{k[0]}/{k[1]}": v for k, v in counts.items()},
        "memory": mem, "import": imports,
        "share": {f"{k[0]}/{k[1]}": v for k, v in share.items()}, "e2e": tool}, out=args.out)
    say(f"bench/run.py: done in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
