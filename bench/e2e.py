"""End to end: `python -m tagtool` import, export and list of generated INP
files against the floor (sqlfloor.py: sqlite3 doing the same jobs the
plainest way), and the tool's start against `python -c "import sqlite3"`."""

import os
import shutil
import sys
import tempfile

import harness
import workload as w
from harness import say, tagtool

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = (10_000, 100_000)
MILLION = 1_000_000
# Most a command may cost against the floor, in CPU time and in peak memory;
# the most the tool's start may cost against importing sqlite3.
TARGETS = {"import": 2.0, "export": 1.5, "list": 1.5}
RSS_TARGET = 1.5
START_TARGET = 1.5


def inp_lines(count):
    """The tag lines of a [TAGS] section of `count` good lines of every shape
    a section holds, each element once."""
    shapes = [s for s in w.SHAPES if not s.startswith("TANK")] + ["link P{i} Valve{k} ;shut"]
    return (shapes[i % len(shapes)].format(i=i, k=i % 40) for i in range(count))


def write_inp(path, count):
    with open(path, "w", encoding="utf-8") as f:
        f.write("[TITLE]\nbenchmark\n\n[TAGS]\n")
        f.writelines(line + "\n" for line in inp_lines(count))
        f.write("\n[END]\n")


def section(sizes, reps=3, start_runs=11):
    """CPU seconds and peak memory of each command and of its floor, medians
    of `reps` runs (one at a million tags), each on a new network; median
    CPU seconds, and callgrind's instructions, of each start."""
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        inp, out, data = (os.path.join(tmp, name) for name in ("tags.inp", "out.inp", "data"))
        db = os.path.join(data, "net.db")
        floor = [sys.executable, os.path.join(HERE, "sqlfloor.py")]
        jobs = {"import": (tagtool(data, "import", "net", inp), [*floor, "import", db, inp]),
                "export": (tagtool(data, "export", "net", out), [*floor, "export", db, out]),
                "list": (tagtool(data, "list", "net"), [*floor, "list", db])}
        for size in sizes:
            write_inp(inp, size)
            runs = {}
            for r in range(reps if size < MILLION else 1):
                say(f"  tagtool and the floor, {size:,} tags, {r + 1} of {reps}")
                for who in ((0, 1) if r % 2 == 0 else (1, 0)):
                    harness.run(tagtool(data, "create", "net"))
                    for command, lines in jobs.items():
                        runs.setdefault((command, who), []).append(harness.usage(lines[who]))
                    shutil.rmtree(data)
            for command in jobs:
                t, f = harness.median(runs[command, 0]), harness.median(runs[command, 1])
                rows.append([size, command, t["cpu"], f["cpu"],
                             {"x": t["cpu"] / f["cpu"], "most": TARGETS[command], "show": True},
                             f"{t['rss'] / 1e6:.0f} / {f['rss'] / 1e6:.0f}",
                             {"x": t["rss"] / f["rss"], "most": RSS_TARGET}])
        starts = []
        for cmd in (tagtool(os.path.join(tmp, "none"), "networks"), [sys.executable, "-c", "import sqlite3"]):
            say(f"  start: {cmd[-1]}, {start_runs} runs")
            starts.append(harness.median([harness.usage(cmd) for _ in range(start_runs)]))
            parts = harness.callgrind_parts(cmd)
            starts[-1]["instructions"] = parts and sum(parts.values())
    t, s = starts
    start_rows = [[label, t[key] * scale, s[key] * scale, {"x": t[key] / s[key], "most": START_TARGET}]
                  for key, label, scale in (("cpu", "CPU ms", 1e3), ("instructions", "instructions, M", 1e-6))
                  if t[key] and s[key]]
    counts = " and ".join(f"{n:,}" for n in sizes).replace(" and ", ", ", len(sizes) - 2)
    return {"title": "End to end: tagtool against the floor", "blocks": [
        "Each command a process of its own on a new SQLite network that `tagtool create` made: "
        "`python -m tagtool import` of a generated INP file of "
        f"{counts} tag lines, then `export` to a file and `list`; "
        "against the floor (bench/sqlfloor.py), the same jobs done with Python's sqlite3 alone: "
        "the file read line by line, `executemany` of the rows into the same two tables in one WAL "
        "transaction, a plain select of each table to read them back. CPU seconds (user and "
        f"system) and peak resident memory of the whole process, median of {reps} runs (one at "
        f"{MILLION:,} tags, which `--million` adds); the start's instructions are callgrind's.",
        {"columns": ["tags", "command", "tagtool CPU s", "floor CPU s", "tagtool / floor (target)",
                     "peak RSS tagtool / floor MB", f"RSS ratio (≤{RSS_TARGET:g}x)"],
         "formats": [",", None, ".2f", ".2f"], "rows": rows, "key": 2},
        {"columns": ["start", "`python -m tagtool networks`", '`python -c "import sqlite3"`',
                     f"ratio (≤{START_TARGET:g}x)"],
         "formats": [None, ",.0f", ",.0f"], "rows": start_rows}],
        "chart": {"title": "python -m tagtool against the floor",
                  "xlabel": "CPU µs per tag, whole process; shorter is faster",
                  "labels": [f"{r[1]}, {r[0]:,} tags" for r in rows],
                  "series": [[name, colour, [row[k] / row[0] * 1e6 for row in rows]] for name, colour, k
                             in (("tagtool", "#1f77b4", 2), ("floor: sqlite3 alone", "#7f7f7f", 3))]}}
