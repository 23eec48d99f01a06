"""Measures api.orvane against the same module written in plain Python
(reference/pyorvane.py) and compiled by Cython, and against the floor (the
result objects built in a C loop), and writes bench/results.md and
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
import subprocess
import sys
import tempfile
import time

import e2e
import workload as w

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NAMES = {"orvane": "orvane", "cython": "Cython", "python": "Python", "floor": "floor"}
TARGET_VS_PYTHON = 1.5
TARGET_VS_CYTHON = 1.25
# Tag.as_dict only builds a dict from four attributes: less to save.
TARGETS_VS_PYTHON = {"as_dict": 1.3}
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
            out = os.path.join(tmp, impl)
            env = dict(os.environ, BENCH_ROWS=str(rows))
            proc = subprocess.run(
                ["valgrind", "--tool=callgrind", "--compress-strings=no", "--compress-pos=no",
                 f"--callgrind-out-file={out}.%p", sys.executable,
                 os.path.join(HERE, "workload.py"), impl],
                env=env, capture_output=True, text=True)
            if proc.returncode != 0:
                raise SystemExit(f"bench/run.py: callgrind of {impl} failed: "
                                 f"{proc.stderr.strip().splitlines()[-1:]}")
            parts = {}
            for f in os.listdir(tmp):
                if f.startswith(impl + ".") and f.count(".") == 2:
                    label, total = read_part(os.path.join(tmp, f))
                    if label:
                        parts[label] = total
            for name, _, case_rows, _ in w.cases_for(impl):
                if name in parts:
                    counts[name, impl] = ((parts[name] - parts[name + " overhead"])
                                          / (rows if case_rows else w.CALLS))
    return counts


def read_part(path):
    label = total = None
    with open(path) as f:
        for line in f:
            if line.startswith("desc: Trigger: Client Request: "):
                label = line.split(": ", 3)[3].strip()
            elif line.startswith("summary: "):
                total = int(line.split()[1])
                break
    return label, total


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
    proc = subprocess.run([sys.executable, os.path.join(HERE, "probes.py"), *args],
                          capture_output=True, text=True, cwd=ROOT, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"bench/run.py: probes.py {' '.join(args)} failed: "
                         f"{(proc.stderr.strip().splitlines() or ['no message'])[-1]}")
    return proc


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


# Results

def fmt_ns(ns):
    if ns is None:
        return "n/a"
    return f"{ns:,.0f}" if ns >= 100 else f"{ns:.1f}"


def fmt_ratio(r, ok):
    if r is None:
        return ""
    return f"{r:.2f}x" + ("" if ok else " ✗")


def target_vs_python(name):
    return TARGETS_VS_PYTHON.get(name, TARGET_VS_PYTHON)


def table(values, unit):
    """Markdown rows: each case, the figure of each implementation, and the
    ratios against the targets (✗ marks one missed). The floor is shown, not
    held to a target."""
    head = (f"| callable | orvane {unit} | Cython {unit} | Python {unit} | floor {unit} "
            f"| orvane vs Python (≥{TARGET_VS_PYTHON:g}x) | orvane vs Cython "
            f"(≥{TARGET_VS_CYTHON:g}x) | orvane / floor |")
    rows = [head, "|" + "---|" * 8]
    missed = []
    for name, label, *_ in w.CASES:
        v = {impl: values.get((name, impl)) for impl in NAMES}
        if v["orvane"] is None:
            continue
        vs_py = v["python"] / v["orvane"] if v["python"] else None
        vs_cy = v["cython"] / v["orvane"] if v["cython"] else None
        vs_floor = v["orvane"] / v["floor"] if v["floor"] else None
        ok = (vs_py is None or vs_py >= target_vs_python(name),
              vs_cy is None or vs_cy >= TARGET_VS_CYTHON)
        targets = (f"≥{target_vs_python(name):g}x Python", f"≥{TARGET_VS_CYTHON:g}x Cython")
        missed += [(label, what) for what, good in zip(targets, ok) if not good]
        py_target = "" if name not in TARGETS_VS_PYTHON else f" (≥{target_vs_python(name):g}x)"
        rows.append(f"| {label} | {fmt_ns(v['orvane'])} | {fmt_ns(v['cython'])} | "
                    f"{fmt_ns(v['python'])} | {fmt_ns(v['floor']) if v['floor'] else ''} | "
                    f"{fmt_ratio(vs_py, ok[0])}{py_target} | {fmt_ratio(vs_cy, ok[1])} | "
                    f"{fmt_ratio(vs_floor, True)} |")
    return rows, missed


def report(rounds, timed, counts, mem, imports, share, tool, load):
    out = ["# Benchmarks", "",
           "Written by `make bench` (bench/run.py); do not edit by hand. `orvane` is the "
           "module, `Python` the same module written in plain Python (reference/pyorvane.py), "
           "`Cython` that file compiled by Cython as it is, `floor` the result objects "
           "alone built in a C loop (bench/floor.c). The database names are in-memory "
           "doubles; get_tags and inp_out_tag read "
           f"{w.ROWS:,} rows, inp_in_tag reads {w.ROWS:,} tag lines of ten shapes. Every "
           "callable is called from a Python loop, as an application calls it; each figure "
           "is the run's less that of the same run without the callable (the empty loop, "
           "and the doubles called from C as often as the callable calls them), so it is "
           "the callable's own.", "",
           f"Python {platform.python_version()}, {cpu_name()}, {os.cpu_count()} cores, "
           f"{time.strftime('%Y-%m-%d')}; load average {load[0]:.1f} at the start, "
           f"{load[1]:.1f} at the end. Times move with the load of a shared machine; the "
           "instruction counts do not.", ""]
    if timed:
        rows, missed_t = table(timed, "ns")
        out += ["## Time per call", "",
                f"Median ns per call (per row or line where marked) over {rounds} rounds.",
                "", *rows, ""]
    if counts:
        rows, missed_i = table(counts, "Ir")
        out += ["## Instructions per call", "",
                "Instructions per call (per row or line) counted by callgrind: "
                f"{w.CALLS:,} calls per case, 10,000 rows or lines for the cases over "
                "rows; the figure that machine load does not move.", "", *rows, ""]
    if tool:
        lines, missed_e, perf = e2e.rows(tool["sizes"], tool["start"])
        sizes = list(tool["sizes"])
        out += ["## End to end: tagtool against the floor", "",
                "Each command a process of its own on a new SQLite network that `tagtool "
                "create` made: `python -m tagtool import` of a generated INP file of "
                f"{' and '.join(f'{n:,}' for n in sizes).replace(' and ', ', ', len(sizes) - 2)} "
                "tag lines, then `export` to a file and "
                "`list`; against the floor (bench/sqlfloor.py), the same jobs done with "
                "Python's sqlite3 alone: the file read line by line, `executemany` of the "
                "rows into the same two tables in one WAL transaction, a plain select of "
                "each table to read them back. CPU seconds (user and system) and peak "
                "resident memory of the whole process, median of 3 runs (one at "
                f"{e2e.MILLION:,} tags, which `--million` adds).", ""]
        if not perf:
            out += ["`perf stat` cannot count instructions on this machine, so the table "
                    "gives CPU time only; the start's instructions are callgrind's.", ""]
        out += [*lines, ""]
    if share:
        out += ["## End to end: the module's share", "",
                f"`python -m tagtool import` of a [TAGS] section of {E2E_TAGS:,} tag lines "
                "into an empty network, then `export` of it; seconds of the whole process "
                "(median of 3), and the time spent in the module's own code (its calls "
                "timed, less the database's time inside them).", "",
                "| step | orvane s | Cython s | Python s | module's time: orvane / Cython "
                "/ Python | module's share: orvane / Cython / Python |", "|---|---|---|---|---|---|"]
        for step in ("import", "export"):
            cell = {impl: share[step, impl] for impl in w.IMPLS}
            out.append(
                f"| {step} | " + " | ".join(f"{cell[i][0] / 1e9:.2f}" for i in w.IMPLS) + " | "
                + " / ".join(f"{cell[i][1] / 1e6:.0f} ms" for i in w.IMPLS) + " | "
                + " / ".join(f"{100 * cell[i][1] / cell[i][0]:.1f}%" for i in w.IMPLS) + " |")
        out.append("")
    if mem:
        worst_blocks = max(m["blocks"] for m in mem.values())
        worst_rss = max(m["rss"] for m in mem.values())
        out += ["## Memory", "",
                "A million calls of each callable (after a hundred thousand to fill the "
                "caches), on its usual path and on three failing ones: growth of the "
                "interpreter's allocated blocks and of resident memory.", "",
                "| callable | blocks | resident KiB |", "|---|---|---|"]
        out += [f"| {name} | {m['blocks']:+d} | {m['rss'] / 1024:+.0f} |" for name, m in mem.items()]
        out += ["", f"Largest growth: {worst_blocks:+d} blocks, {worst_rss / 1024:+.0f} KiB "
                "resident.", ""]
    if imports:
        out += ["## Import", "",
                "Import alone (`api.database` and `typing` already loaded, as in the "
                "application), median of 31 fresh processes; target under 1 ms and under "
                "100 KiB.", "", "| implementation | ms | resident KiB |", "|---|---|---|"]
        out += [f"| {NAMES[i]} | {imports[i]['ns'] / 1e6:.2f} | {imports[i]['rss'] / 1024:.0f} |"
                for i in w.IMPLS]
        out.append("")
    out += ["## Targets", ""]
    if timed:
        out.append("By time: " + describe_missed(missed_t))
    if counts:
        out.append("By instructions: " + describe_missed(missed_i))
    if tool:
        out.append("End to end: " + ("every target holds." if not missed_e else
                                     "missed " + "; ".join(missed_e) + "."))
    if mem:
        out.append(f"No growth across a million calls: {'holds' if worst_blocks < 1000 and worst_rss < 1 << 20 else 'missed'}.")
    if imports:
        i = imports["orvane"]
        holds = i["ns"] < 1e6 and i["rss"] < 100 * 1024
        out.append(f"Import under 1 ms and 100 KiB: {'holds' if holds else 'missed'} "
                   f"({i['ns'] / 1e6:.2f} ms, {i['rss'] / 1024:.0f} KiB).")
    return "\n".join(out) + "\n"


def describe_missed(missed):
    if not missed:
        return "every target holds."
    by = {}
    for label, what in missed:
        by.setdefault(what, []).append(label)
    return "missed " + "; ".join(f"{k} for {', '.join(v)}" for k, v in by.items()) + "."


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def chart(timed, tool, path):
    """The time per call of each callable and, when measured, the end-to-end
    panel below it."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [label for name, label, *_ in w.CASES if (name, "orvane") in timed]
    names = [name for name, *_ in w.CASES if (name, "orvane") in timed]
    panels = [p for p, shown in (("calls", names), ("e2e", tool)) if shown]
    heights = {"calls": 0.55 * len(names) + 1.5,
               "e2e": 0.45 * sum(len(c) for c in tool.get("sizes", {}).values()) + 1.5}
    fig, axes = plt.subplots(len(panels), 1, squeeze=False,
                             figsize=(9, sum(heights[p] for p in panels)),
                             gridspec_kw={"height_ratios": [heights[p] for p in panels]})
    axes = dict(zip(panels, axes[:, 0]))
    if "calls" in axes:
        ax = axes["calls"]
        impls = ("orvane", "cython", "python", "floor")
        colors = {"orvane": "#1f77b4", "cython": "#ff7f0e", "python": "#2ca02c",
                  "floor": "#7f7f7f"}
        height = 0.2
        for k, impl in enumerate(impls):
            ys = [i + (k - 1.5) * height for i, n in enumerate(names) if (n, impl) in timed]
            xs = [timed[n, impl] for n in names if (n, impl) in timed]
            ax.barh(ys, xs, height=height, label=NAMES[impl], color=colors[impl])
        ax.set_yticks(range(len(names)), labels)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlabel("ns per call (per row or line where marked), log scale; shorter is "
                      "faster", labelpad=2)
        ax.grid(axis="x", which="both", alpha=0.3)
        ax.legend(loc="lower right", ncol=2, frameon=False)
        ax.set_title("api.orvane against plain Python, Cython and the floor")
    if "e2e" in axes:
        e2e.panel(axes["e2e"], tool["sizes"])
    fig.tight_layout()
    fig.savefig(path + ".tmp.png", dpi=100, metadata={"Software": None})
    plt.close(fig)
    os.replace(path + ".tmp.png", path)


def write(path, text):
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


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

    text = report(args.rounds, timed, counts, mem, imports, share, tool,
                  (load_before, os.getloadavg()[0]))
    raw = {"times": {f"{k[0]}/{k[1]}": v for k, v in timed.items()},
           "instructions": {f"{k[0]}/{k[1]}": v for k, v in counts.items()},
           "memory": mem, "import": imports,
           "share": {f"{k[0]}/{k[1]}": v for k, v in share.items()}, "e2e": tool}
    os.makedirs(os.path.join(HERE, "build"), exist_ok=True)
    write(os.path.join(HERE, "build", "results.json"), json.dumps(raw, indent=1))
    write(os.path.join(args.out, "results.md"), text)
    chart(timed, tool, os.path.join(args.out, "results.png"))
    say(f"wrote {os.path.join(args.out, 'results.md')} and results.png "
        f"in {time.monotonic() - started:.0f} s")
    print(text)


if __name__ == "__main__":
    main()
