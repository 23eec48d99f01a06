"""The sections on api.orvane's calls against plain Python, Cython and the
floor: time and instructions per call, memory, import, and the module's
share of the tool's time.  Each function measures its section and returns it."""

import gc
import json
import os
import statistics
import sys
import tempfile
import time

import e2e
import harness
import workload as w
from harness import say

HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = {"orvane": "orvane", "cython": "Cython", "python": "Python", "floor": "floor"}
COLOURS = {"orvane": "#1f77b4", "cython": "#ff7f0e", "python": "#2ca02c", "floor": "#7f7f7f"}
VS_PYTHON, VS_CYTHON = 1.5, 1.25
VS_PYTHON_OF = {"as_dict": 1.3}     # Tag.as_dict only builds a dict of four attributes


def probe(*args, env=None):
    """Runs probes.py with args; its output, read as JSON unless it ran the tool."""
    out = harness.run([sys.executable, os.path.join(HERE, "probes.py"), *args], env=env).stdout
    return out if args[0] == "tagtool" else json.loads(out)


def modules():
    """The implementations, checked to give the module's results where the
    floor builds them too, so that all of them do the same work."""
    try:
        mods = {impl: w.load(impl) for impl in (*w.IMPLS, "floor")}
    except ImportError as e:
        raise SystemExit(f"bench: {e}: build the extensions first (python bench/build.py)")
    for name, _, rows, prepare in w.CASES:
        if name in w.FLOOR_CASES:
            results = {impl: prepare(mod, 1).one() for impl, mod in mods.items()}
            if any(r != results["orvane"] for r in results.values()):
                raise SystemExit(f"bench: the implementations give other results for {name}")
    return mods


def per_call(title, figures, unit, prose):
    """The table of one figure per case and implementation ({(name, impl):
    figure}) against the targets (the floor is shown, held to none)."""
    rows = []
    for name, label, *_ in w.CASES:
        v = {impl: figures.get((name, impl)) for impl in NAMES}
        rows.append([label, *v.values(), {"x": v["python"] / v["orvane"], "show": name in VS_PYTHON_OF,
                                          "least": VS_PYTHON_OF.get(name, VS_PYTHON)},
                     {"x": v["cython"] / v["orvane"], "least": VS_CYTHON},
                     v["floor"] and {"x": v["orvane"] / v["floor"]}])
    columns = ["callable", *(f"{NAMES[i]} {unit}" for i in NAMES), f"orvane vs Python (≥{VS_PYTHON:g}x)",
               f"orvane vs Cython (≥{VS_CYTHON:g}x)", "orvane / floor"]
    return {"title": title, "blocks": [prose, {"columns": columns, "formats": [None, *["ns"] * 4],
                                               "rows": rows}]}


# Time per call

def own(run):
    """What a run costs less what it costs without the callable."""
    start = time.perf_counter_ns()
    run()
    middle = time.perf_counter_ns()
    run.overhead()
    return 2 * middle - start - time.perf_counter_ns()


def calls_per_value(mod, prepare, seconds=0.02):
    """How many calls make one value of about `seconds`."""
    n = 200
    while True:
        ns = own(prepare(mod, n))
        if ns > seconds * 1e9 / 4 or n >= 1 << 22:
            return max(100, int(n * seconds * 1e9 / max(ns, 1)))
        n *= 4


def times_section(rounds):
    """Median ns per call (per row for the cases over rows): in each round
    every implementation runs each case once, in turn."""
    mods = modules()
    sizes = {}
    for name, _, rows, prepare in w.CASES:
        for impl in (i for i in mods if name in (c[0] for c in w.cases_for(i))):
            warm = prepare(mods[impl], 100)
            warm()
            warm.overhead()
            sizes[name, impl] = rows or calls_per_value(mods[impl], prepare)
    values = {key: [] for key in sizes}
    for r in range(rounds):
        say(f"  round {r + 1} of {rounds}")
        for name, _, rows, prepare in w.CASES:
            impls = [i for n, i in sizes if n == name]
            for impl in impls[r % len(impls):] + impls[:r % len(impls)]:
                n = sizes[name, impl]
                values[name, impl].append(own(prepare(mods[impl], n)) / n)
                gc.collect()
    section = per_call("Time per call", {key: statistics.median(v) for key, v in values.items()}, "ns",
                       "`orvane` is the module, `Python` the same in plain Python (reference/"
                       "pyorvane.py), `Cython` that file compiled by Cython, `floor` the result objects "
                       "alone built in a C loop (bench/floor.c). The database names are in-memory "
                       f"doubles; get_tags and inp_out_tag read {w.ROWS:,} rows, inp_in_tag "
                       f"{w.ROWS:,} lines of ten shapes. Each callable is called from a Python loop; "
                       "each figure is less the same run without it (the empty loop, and the doubles "
                       f"called from C). Median ns per call (or row, or line) over {rounds} rounds.")
    rows = section["blocks"][1]["rows"]
    section["chart"] = {"title": "api.orvane against plain Python, Cython and the floor", "log": True,
                        "xlabel": "ns per call (per row or line where marked), log scale; shorter is faster",
                        "labels": [row[0] for row in rows],
                        "series": [[NAMES[i], COLOURS[i], [row[k + 1] for row in rows]]
                                   for k, i in enumerate(NAMES)]}
    return section


def instructions_section(rows=10_000):
    """Instructions per call (per row), from one callgrind run of workload.py
    per implementation: each case's part less its overhead."""
    counts = {}
    for impl in (*w.IMPLS, "floor"):
        say(f"  callgrind: {impl}")
        parts = harness.callgrind_parts([sys.executable, os.path.join(HERE, "workload.py"), impl],
                                        env=dict(os.environ, BENCH_ROWS=str(rows)))
        if parts is None:
            return None
        for name, _, case_rows, _ in w.cases_for(impl):
            counts[name, impl] = (parts[name] - parts[name + " overhead"]) / (rows if case_rows else w.CALLS)
    return per_call("Instructions per call", counts, "Ir",
                    f"Counted by callgrind: {w.CALLS:,} calls per case, {rows:,} rows or lines for "
                    "the cases over rows; the figure that machine load does not move.")


# Memory and import

def memory_section():
    say("  a million calls of each callable")
    mem = probe("memory")
    blocks, resident = max(m["blocks"] for m in mem.values()), max(m["rss"] for m in mem.values())
    return {"title": "Memory", "blocks": [
        "A million calls of each callable (after 10^5 to fill the caches), on its usual path and "
        "on three failing ones: growth of allocated blocks and of resident memory.",
        {"columns": ["callable", "blocks", "resident KiB"], "formats": [None, "+d", "+.0f"],
         "rows": [[name, m["blocks"], m["rss"] / 1024] for name, m in mem.items()]},
        f"Largest growth: {blocks:+d} blocks, {resident / 1024:+.0f} KiB resident."],
        "targets": [{"what": "no growth across a million calls",
                     "holds": blocks < 1000 and resident < 1 << 20}]}


def import_section(runs=31):
    say(f"  import of each implementation, {runs} fresh processes")
    costs = {impl: harness.median([probe("import", impl) for _ in range(runs)]) for impl in w.IMPLS}
    o = costs["orvane"]
    return {"title": "Import", "blocks": [
        "Import alone (`api.database` and `typing` already loaded, as in the application), "
        f"median of {runs} fresh processes; target under 1 ms and under 100 KiB.",
        {"columns": ["implementation", "ms", "resident KiB"], "formats": [None, ".2f", ".0f"],
         "rows": [[NAMES[i], costs[i]["ns"] / 1e6, costs[i]["rss"] / 1024] for i in w.IMPLS]}],
        "targets": [{"what": f"import under 1 ms and 100 KiB ({o['ns'] / 1e6:.2f} ms, "
                     f"{o['rss'] / 1024:.0f} KiB)", "holds": o["ns"] < 1e6 and o["rss"] < 100 * 1024}]}


# The module's share of the tool's time

def share_section(tags, reps=3):
    """Wall seconds and the module's own time of `python -m tagtool import`
    and `export` of `tags` tag lines with each implementation, medians."""
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        inp, share = os.path.join(tmp, "tags.inp"), os.path.join(tmp, "share.json")
        e2e.write_inp(inp, tags)
        env = dict(os.environ, BENCH_SHARE_FILE=share)
        for r in range(reps):
            for impl in w.IMPLS[r % 3:] + w.IMPLS[:r % 3]:
                say(f"  tagtool import and export, {impl}, {r + 1} of {reps}")
                data = os.path.join(tmp, f"data-{impl}-{r}")
                probe("tagtool", "orvane", "--data-dir", data, "create", "net", env=env)
                for step, args in (("import", [inp]), ("export", [os.path.join(tmp, "out.inp")])):
                    start = time.perf_counter_ns()
                    probe("tagtool", impl, "--data-dir", data, step, "net", *args, env=env)
                    wall = time.perf_counter_ns() - start
                    with open(share) as f:
                        results.setdefault((step, impl), []).append((wall, json.load(f)["module_ns"]))
    rows = []
    for step in ("import", "export"):
        c = [[statistics.median(v[k] for v in results[step, i]) for k in (0, 1)] for i in w.IMPLS]
        rows.append([step, *(wall / 1e9 for wall, _ in c), " / ".join(f"{own / 1e6:.0f} ms" for _, own in c),
                     " / ".join(f"{100 * own / wall:.1f}%" for wall, own in c)])
    return {"title": "End to end: the module's share", "blocks": [
        f"`python -m tagtool import` of {tags:,} tag lines into an empty network, then `export`: "
        f"seconds of the whole process (median of {reps}), and the time in the module's own code "
        "(its calls timed, less the database's time inside them).",
        {"columns": ["step", "orvane s", "Cython s", "Python s", "module's time: orvane / Cython / Python",
                     "module's share: orvane / Cython / Python"],
         "formats": [None, ".2f", ".2f", ".2f"], "rows": rows}]}
