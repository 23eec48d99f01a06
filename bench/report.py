"""The one report writer of the benchmarks: every script records its
figures in the one results file, bench/results.json, under a section of its
own (record), and the report, bench/results.md and bench/results.png, is
written afresh from the whole file (write):

- "calls" (bench/run.py): times and instructions per call, memory, import,
  the module's share of the tool's time, and the tool against the floor;
- "load" (bench/load.py): writers under load and a journaled import;
- "map" (bench/map.py): `tagtool map` on a large network;
- "exchange" (bench/exchange.py): import and export --into with and
  without a baseline;
- "bulk" (bench/bulk.py): zones, a CSV import beside an INP one, history;
- "everyday" (bench/everyday.py): set on a large linked model, the start of
  `tagtool networks`, list in natural order;
- "stats" (bench/stats.py): stats, stats --simulate and set --where beside
  what each is held to.

    python bench/report.py      # writes the report again from the file
"""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = {"orvane": "orvane", "cython": "Cython", "python": "Python", "floor": "floor"}
IMPLS = ("orvane", "cython", "python")
TARGET_VS_PYTHON = 1.5
TARGET_VS_CYTHON = 1.25
# Tag.as_dict only builds a dict from four attributes: less to save.
TARGETS_VS_PYTHON = {"as_dict": 1.3}
# Most a command may cost against the floor, in CPU time and in peak memory;
# the most the tool's start may cost against importing sqlite3.
TARGETS = {"import": 2.0, "export": 1.5, "list": 1.5}
RSS_TARGET = 1.5
START_TARGET = 1.5
CASES = []  # (name, label) of each case, in the order of the tables: the results' own
# The exchanges with a baseline against the import and the export of 10^5
# tags in bench/results.md before the exchanges merged (commit f60cd78):
# CPU s, peak resident MB.
EXCHANGE_BEFORE = {"import": (0.88, 35), "export": (0.16, 41)}
EXCHANGE_TARGET = 1.5
# The bulk edits: seconds of zones on 10^5 nodes and 200 polygons, the
# exchanges of the tool's CSV and JSON (and a GeoJSON layer) against the INP
# one of the same tags, seconds of history of a 10^4-entry journal.
ZONES_TARGET = 3.0
CSV_TARGET = 1.3
GEOJSON_TARGET = 2.0
HISTORY_TARGET = 0.3
# Everyday use: set on a linked model against set with none; list against
# the list in table order before it was sorted (--before).
LINKED_SET_TARGET = 1.5
SORTED_LIST_TARGET = 2.0


# The results file

def results_file(out):
    return os.path.join(out, "results.json")


def read(out=HERE):
    try:
        with open(results_file(out), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return {}


def record(section, figures, out=HERE):
    """Puts one script's figures in the results file, in place of its last
    ones, then writes the report into the folder out."""
    results = read(out)
    results[section] = figures
    write_file(results_file(out), json.dumps(results, indent=1, ensure_ascii=False) + "\n")
    write(results, out)


def by_pair(figures):
    """{"name/impl": v} of the file as {(name, impl): v}."""
    return {tuple(k.split("/", 1)): v for k, v in figures.items()}


def decoded(calls):
    r = dict(calls)
    for key in ("times", "instructions", "share"):
        r[key] = by_pair(calls.get(key, {}))
    tool = calls.get("e2e") or {}
    if tool:
        tool = {"sizes": {int(n): c for n, c in tool["sizes"].items()}, "start": tool["start"]}
    r["e2e"] = tool
    return r


def write(results=None, out=HERE):
    """Writes results.md and results.png from the results file. Without
    bench/run.py's section there is no report to write: the others' sections
    are printed instead, and results.md is left alone."""
    results = read(out) if results is None else results
    lines = []
    if "load" in results:
        lines += ["", *load_section(results["load"])]
    if "map" in results:
        lines += ["", *map_section(results["map"])]
    if "exchange" in results:
        lines += ["", *exchange_section(results["exchange"])]
    if "bulk" in results:
        lines += ["", *bulk_section(results["bulk"])]
    if "everyday" in results:
        lines += ["", *everyday_section(results["everyday"])]
    if "stats" in results:
        lines += ["", *stats_section(results["stats"])]
    if "calls" not in results:
        print("\n".join(lines).strip("\n"))
        say(f"no figures of bench/run.py in {results_file(out)}: results.md is left alone")
        return
    calls = decoded(results["calls"])
    CASES[:] = [tuple(c) for c in calls["meta"]["cases"]]
    text = "\n".join(calls_sections(calls) + lines) + "\n"
    write_file(os.path.join(out, "results.md"), text)
    chart(calls["times"], calls["e2e"], os.path.join(out, "results.png"))
    say(f"wrote {os.path.join(out, 'results.md')} and results.png")


def say(text):
    print(text, file=sys.stderr, flush=True)


# bench/run.py's sections

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
    for name, label in CASES:
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


def calls_sections(r):
    """The sections of bench/run.py's results, and the targets they missed."""
    meta, timed, counts = r["meta"], r["times"], r["instructions"]
    mem, imports, share, tool = r["memory"], r["import"], r["share"], r["e2e"]
    rounds, load = meta["rounds"], meta["load"]
    out = ["# Benchmarks", "",
           "Written by `make bench` (bench/run.py); do not edit by hand. `orvane` is the "
           "module, `Python` the same module written in plain Python (reference/pyorvane.py), "
           "`Cython` that file compiled by Cython as it is, `floor` the result objects "
           "alone built in a C loop (bench/floor.c). The database names are in-memory "
           "doubles; get_tags and inp_out_tag read "
           f"{meta['rows']:,} rows, inp_in_tag reads {meta['rows']:,} tag lines of ten shapes. Every "
           "callable is called from a Python loop, as an application calls it; each figure "
           "is the run's less that of the same run without the callable (the empty loop, "
           "and the doubles called from C as often as the callable calls them), so it is "
           "the callable's own.", "",
           f"Python {meta['python']}, {meta['cpu']}, {meta['cores']} cores, "
           f"{meta['date']}; load average {load[0]:.1f} at the start, "
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
                f"{meta['calls']:,} calls per case, 10,000 rows or lines for the cases over "
                "rows; the figure that machine load does not move.", "", *rows, ""]
    if tool:
        lines, missed_e, perf = e2e_rows(tool["sizes"], tool["start"])
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
                f"{meta['million']:,} tags, which `--million` adds).", ""]
        if not perf:
            out += ["`perf stat` cannot count instructions on this machine, so the table "
                    "gives CPU time only; the start's instructions are callgrind's.", ""]
        out += [*lines, ""]
    if share:
        out += ["## End to end: the module's share", "",
                f"`python -m tagtool import` of a [TAGS] section of {meta['share_tags']:,} tag lines "
                "into an empty network, then `export` of it; seconds of the whole process "
                "(median of 3), and the time spent in the module's own code (its calls "
                "timed, less the database's time inside them).", "",
                "| step | orvane s | Cython s | Python s | module's time: orvane / Cython "
                "/ Python | module's share: orvane / Cython / Python |", "|---|---|---|---|---|---|"]
        for step in ("import", "export"):
            cell = {impl: share[step, impl] for impl in IMPLS}
            out.append(
                f"| {step} | " + " | ".join(f"{cell[i][0] / 1e9:.2f}" for i in IMPLS) + " | "
                + " / ".join(f"{cell[i][1] / 1e6:.0f} ms" for i in IMPLS) + " | "
                + " / ".join(f"{100 * cell[i][1] / cell[i][0]:.1f}%" for i in IMPLS) + " |")
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
                for i in IMPLS]
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
    return out


def describe_missed(missed):
    if not missed:
        return "every target holds."
    by = {}
    for label, what in missed:
        by.setdefault(what, []).append(label)
    return "missed " + "; ".join(f"{k} for {', '.join(v)}" for k, v in by.items()) + "."



# The tool against the floor (bench/e2e.py's figures)

def ratio(a, b):
    return a / b if b else None


def mark(r, target):
    return f"{r:.2f}x" + ("" if r <= target else " ✗")


def e2e_rows(results, starts):
    """Markdown lines of the table, and the targets each missed."""
    perf = any(c["tagtool"]["instructions"] is not None
               for r in results.values() for c in r.values())
    head = "| tags | command | tagtool CPU s | floor CPU s | tagtool / floor (target) |"
    head += " tagtool / floor instructions per tag |" if perf else ""
    head += " peak RSS tagtool / floor MB | RSS ratio (≤1.5x) |"
    lines = [head, "|" + "---|" * head.count(" |")]
    missed = []
    for size, commands in results.items():
        for command, cell in commands.items():
            t, f = cell["tagtool"], cell["floor"]
            cpu, rss = ratio(t["cpu"], f["cpu"]), ratio(t["rss"], f["rss"])
            if cpu > TARGETS[command]:
                missed.append(f"{command} at {size:,} tags ({cpu:.2f}x CPU)")
            if rss > RSS_TARGET:
                missed.append(f"{command} at {size:,} tags ({rss:.2f}x peak RSS)")
            line = (f"| {size:,} | {command} | {t['cpu']:.2f} | {f['cpu']:.2f} | "
                    f"{mark(cpu, TARGETS[command])} (≤{TARGETS[command]:g}x) |")
            if perf:
                line += (f" {t['instructions'] / size:,.0f} / {f['instructions'] / size:,.0f} |")
            line += f" {t['rss'] / 1e6:.0f} / {f['rss'] / 1e6:.0f} | {mark(rss, RSS_TARGET)} |"
            lines.append(line)
    lines += ["", "| start | `python -m tagtool networks` | `python -c \"import sqlite3\"` "
              f"| ratio (≤{START_TARGET:g}x) |", "|---|---|---|---|"]
    for key, label, scale in (("cpu", "CPU ms", 1e3), ("instructions", "instructions, M", 1e-6)):
        t, s = starts["tagtool"][key], starts["sqlite3"][key]
        if t is None or s is None:
            continue
        r = ratio(t, s)
        lines.append(f"| {label} | {t * scale:,.0f} | {s * scale:,.0f} | {mark(r, START_TARGET)} |")
        if r > START_TARGET:
            missed.append(f"the start ({r:.2f}x by {label.split(',')[0]})")
    return lines, missed, perf


def e2e_panel(ax, results):
    """CPU microseconds per tag of each command and size, the tool against
    the floor."""
    labels, tool, base = [], [], []
    for size, commands in results.items():
        for command, cell in commands.items():
            labels.append(f"{command}, {size:,} tags")
            tool.append(cell["tagtool"]["cpu"] / size * 1e6)
            base.append(cell["floor"]["cpu"] / size * 1e6)
    ys = range(len(labels))
    ax.barh([y - 0.2 for y in ys], tool, height=0.4, label="tagtool", color="#1f77b4")
    ax.barh([y + 0.2 for y in ys], base, height=0.4, label="floor: sqlite3 alone",
            color="#7f7f7f")
    ax.set_yticks(list(ys), labels)
    ax.invert_yaxis()
    ax.set_xlabel("CPU µs per tag, whole process; shorter is faster", labelpad=2)
    ax.grid(axis="x", alpha=0.3)
    ax.legend(loc="lower right", frameon=False)
    ax.set_title("python -m tagtool against the floor")


# bench/load.py's section

def load_section(r):
    rows, imports, count, seconds = r["writers"], r["imports"], r["tags"], r["seconds"]
    lines = ["## Writers under load", "",
             f"`orvane.set_tag` on a tag of its own element by each of 1 and 8 writer processes on one network, "
             f"{seconds:g} s each: commands per second over the run, and the median and 99th percentile of one "
             "call's time (two reads and the command with its conflict check). Then 8 writers all setting one "
             "element: building a command again on each ConflictError, or reading and writing it in one "
             "`database.command` scope; tries per command (median, 99th percentile, most). PostgreSQL over "
             "loopback, on the throwaway cluster of tools/pg.sh.", "",
             "| backend | writers | commands/s | p50 ms | p99 ms | tries p50 / p99 / max |",
             "|---|---|---|---|---|---|"]
    for backend, n, figures in rows:
        if isinstance(figures, str):
            lines.append(f"| {backend} | {n} | {figures} | | | |")
        else:
            lines.append(f"| {backend} | {n} | {figures[0]:,.0f} | {figures[1]:.2f} | {figures[2]:.2f} | "
                         f"{' / '.join(map(str, figures[3]))} |")
    lines += ["", f"`database.execute_import` of {count:,} new node tags into an empty network, then `undo` and "
              "`redo` of it: seconds, and growth of the process's peak resident memory over what the "
              "import's input already took.", "",
              "| backend | import s | undo s | redo s | peak growth MiB (import / undo / redo) |",
              "|---|---|---|---|---|"]
    for backend, result in imports:
        if isinstance(result, str):
            lines.append(f"| {backend} | {result} | | | |")
        else:
            lines.append(f"| {backend} | {result['import'][0]:.1f} | {result['undo'][0]:.1f} | "
                         f"{result['redo'][0]:.1f} | {result['import'][1]:.0f} / {result['undo'][1]:.0f} / "
                         f"{result['redo'][1]:.0f} |")
    return lines


# The chart

def chart(timed, tool, path):
    """The time per call of each callable and, when measured, the end-to-end
    panel below it."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [label for name, label in CASES if (name, "orvane") in timed]
    names = [name for name, _ in CASES if (name, "orvane") in timed]
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
        e2e_panel(axes["e2e"], tool["sizes"])
    fig.tight_layout()
    fig.savefig(path + ".tmp.png", dpi=100, metadata={"Software": None})
    plt.close(fig)
    os.replace(path + ".tmp.png", path)


def write_file(path, text):
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


# bench/map.py's section

def map_section(r):
    lines = ["## tagtool map", "",
             f"`tagtool map` (PNG and HTML) and `tagtool export --format geojson` of a generated "
             f"grid of about {r['elements']:,} elements, and of the largest shared INP file: "
             "seconds from the start of the command to the written file, and its size.",
             "", "| output, network | seconds | MB | drawn |", "|---|---|---|---|"]
    lines += [f"| {name} | {seconds:.2f} | {size / 1e6:.1f} | {said} |"
              for name, seconds, size, said in r["maps"]]
    return lines


# bench/exchange.py's section

def exchange_section(r):
    before = EXCHANGE_BEFORE
    lines = ["## Exchanges with a file", "",
             f"`python -m tagtool import` and `export --into` of {r['tags']:,} tags on SQLite, each a "
             "process of its own: without a baseline (the network's first exchange with the file) and "
             "with one (the next, after 1% of the tags changed on the other side, so that the merge "
             "runs three ways), on a model of junctions and pipes, and the import of the [TAGS] file "
             "of the end-to-end table. CPU seconds (user and system) and peak resident memory, median "
             f"of {r['runs']}, against the import ({before['import'][0]:g} s, {before['import'][1]:g} MB) "
             f"and the export ({before['export'][0]:g} s, {before['export'][1]:g} MB) of 10^5 tags in "
             "this file before the exchanges merged; those with a baseline are held to "
             f"≤{EXCHANGE_TARGET:g}x of them.", "",
             f"| exchange | CPU s | peak RSS MB | CPU / before (≤{EXCHANGE_TARGET:g}x with a baseline) "
             f"| RSS / before (≤{EXCHANGE_TARGET:g}x with a baseline) |", "|---|---|---|---|---|"]
    for job, command, baseline, cpu, mb in r["jobs"]:
        was = before[command]
        # Against figures of 10^5 tags only at 10^5 tags.
        cells = ["" if r["tags"] != 100_000 else fmt_ratio(v / w, not baseline or v / w <= EXCHANGE_TARGET)
                 for v, w in ((cpu, was[0]), (mb, was[1]))]
        lines.append(f"| {job} | {cpu:.2f} | {mb:.0f} | {cells[0]} | {cells[1]} |")
    return lines


# bench/bulk.py's section

def bulk_section(r):
    imports, zones, history = r["imports"], r["zones"], r["history"]
    lines = ["## Bulk edits", "",
             f"`python -m tagtool` on SQLite, seconds from start to exit, best of 3: "
             f"`zones` of a generated grid of {r['nodes']:,} nodes and {r['links']:,} links against "
             f"{r['polygons']} rectangles of one GeoJSON file; `import` of {r['tags']:,} node tags from an INP "
             f"file, the tool's CSV and JSON and a GeoJSON layer, each into an empty network, then "
             f"`export --into` the same file after one tag changed; `history` of a journal of "
             f"{r['journal']:,} entries.", "",
             "| command | seconds | target |", "|---|---|---|"]
    for what, seconds in zones.items():
        lines.append(f"| zones, {what} | {seconds:.2f} | ≤{ZONES_TARGET:g} s{'' if seconds <= ZONES_TARGET else ' ✗'} |")
    # The exchanges in each format against the INP file's.
    for what, figures in (("import", imports), ("export --into", r.get("exports", {}))):
        for fmt, seconds in figures.items():
            if fmt == "inp":
                lines.append(f"| {what}, INP | {seconds:.2f} | |")
                continue
            ratio, most = seconds / figures["inp"], GEOJSON_TARGET if fmt == "geojson" else CSV_TARGET
            lines.append(f"| {what}, {fmt.upper() if fmt != 'geojson' else 'GeoJSON'} | {seconds:.2f} | "
                         f"{fmt_ratio(ratio, ratio <= most)} the INP's (≤{most:g}x) |")
    for what, seconds in history.items():
        target = "" if what != "whole" else f"≤{HISTORY_TARGET:g} s{'' if seconds <= HISTORY_TARGET else ' ✗'}"
        lines.append(f"| history, {what} | {seconds:.2f} | {target} |")
    return lines


# bench/everyday.py's section

def everyday_section(r):
    sets, start, lists = r["set"], r["start"], r["list"]
    linked = sets["linked model"] / sets["no model"]
    lines = ["## Everyday use", "",
             f"`python -m tagtool` on SQLite, seconds from start to exit, best of {r['runs']} taken in "
             f"turn: `set` of one tag on a network linked to a model of {r['nodes']:,} nodes (read from "
             f"the network's cache of it) and on one with no model; the start of `tagtool networks`; "
             f"`list` of {r['tags']:,} tags in natural order (\"before\": another checkout's tool, "
             "in table order).", "",
             "| command | seconds | against |", "|---|---|---|",
             f"| set, no model | {sets['no model']:.3f} | |",
             f"| set, linked model | {sets['linked model']:.3f} | "
             f"{fmt_ratio(linked, linked <= LINKED_SET_TARGET)} (≤{LINKED_SET_TARGET:g}x) |"]
    for what, seconds in start.items():
        ratio = seconds / start["sqlite3"]
        lines.append(f"| {'python -c \"import sqlite3\"' if what == 'sqlite3' else what} | {seconds:.3f} | "
                     f"{'' if what == 'sqlite3' else fmt_ratio(ratio, True) + ' import sqlite3'} |")
    for what, seconds in lists.items():
        fmt, when = what.split(", ")
        was = lists.get(f"{fmt}, before")
        cell = ""
        if when == "now" and was:
            cell = f"{fmt_ratio(seconds / was, seconds / was <= SORTED_LIST_TARGET)} before (≤{SORTED_LIST_TARGET:g}x)"
        lines.append(f"| list --format {fmt}, {when} | {seconds:.3f} | {cell} |")
    return lines


# stats and set --where beside what each is held to, and by how much.
STATS_TARGETS = (("stats", "summary", 2.0), ("stats --simulate", "bare run", 1.3),
                 ("set --where", "set --kind", 1.5))


def stats_section(r):
    best = r["seconds"]
    lines = ["## Statistics per tag and selection by attribute", "",
             f"`python -m tagtool` on SQLite, seconds from start to exit, best of 3, in turns, on a "
             f"generated grid of {r['nodes']:,} junctions and {r['pipes']:,} pipes in {r['zones']} zones "
             f"(three report times); the bare run is owa-epanet's toolkit in a process of its own "
             f"(open, solve, read pressures and flows at the report times, close).", "",
             "| command | seconds | beside | seconds | ratio (target) |", "|---|---|---|---|---|"]
    for a, b, target in STATS_TARGETS:
        times = best[a] / best[b]
        lines.append(f"| {a} | {best[a]:.2f} | {b} | {best[b]:.2f} | {fmt_ratio(times, times <= target)} "
                     f"(≤{target:g}x) |")
    return lines


if __name__ == "__main__":
    write()
