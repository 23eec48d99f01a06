"""End to end: `python -m tagtool` import, export and list of generated INP
files against the floor (sqlfloor.py: Python's sqlite3 doing the same jobs
the plainest way), each run a process of its own, as a user runs it. For
each: CPU seconds (user and system, from the kernel's accounting of the
finished process), peak resident memory and, where `perf stat` can count
them, instructions per tag. And the tool's start (`tagtool networks` on an
empty folder) against `python -c "import sqlite3"`.

run.py calls measure() and start(), and writes what they return with
rows() and panel().
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile

import harness
import workload as w

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SIZES = (10_000, 100_000)
MILLION = 1_000_000
COMMANDS = ("import", "export", "list")
# Most a command may cost against the floor, in CPU time and in peak memory;
# the most the tool's start may cost against importing sqlite3.
TARGETS = {"import": 2.0, "export": 1.5, "list": 1.5}
RSS_TARGET = 1.5
START_TARGET = 1.5
NETWORK = "net"


def say(text):
    print(text, file=sys.stderr, flush=True)


def inp_lines(count):
    """The tag lines of a [TAGS] section of `count` good lines of every shape
    a section holds, each element once."""
    shapes = [s for s in w.SHAPES if not s.startswith("TANK")] + ["link P{i} Valve{k} ;shut"]
    return (shapes[i % len(shapes)].format(i=i, k=i % 40) for i in range(count))


def inp_text(count):
    return "[TITLE]\nbenchmark\n\n[TAGS]\n" + "\n".join(inp_lines(count)) + "\n\n[END]\n"


def write_inp(path, count):
    with open(path, "w", encoding="utf-8") as f:
        f.write("[TITLE]\nbenchmark\n\n[TAGS]\n")
        f.writelines(line + "\n" for line in inp_lines(count))
        f.write("\n[END]\n")


# One process

def perf_counts():
    """Whether `perf stat` counts instructions here (a virtual machine or a
    strict perf_event_paranoid often says no)."""
    if shutil.which("perf") is None:
        return False
    proc = subprocess.run(["perf", "stat", "-x,", "-e", "instructions:u", "true"],
                          capture_output=True, text=True)
    return proc.returncode == 0 and any(
        line.split(",")[0].isdigit() for line in proc.stderr.splitlines())


def run(cmd, perf=False):
    """CPU seconds, peak resident bytes and instructions of cmd (see
    harness.usage)."""
    return harness.usage(cmd, "bench/e2e.py", perf=perf)


def tagtool(data, *args):
    return [sys.executable, "-m", "tagtool", "--data-dir", data, *args]


def floor(*args):
    return [sys.executable, os.path.join(HERE, "sqlfloor.py"), *args]


# The table

def jobs(tmp, data, inp):
    """(command, tagtool's command line, the floor's) of each job."""
    db = os.path.join(data, NETWORK + ".db")
    out = os.path.join(tmp, "out.inp")
    return (("import", tagtool(data, "import", NETWORK, inp), floor("import", db, inp)),
            ("export", tagtool(data, "export", NETWORK, out), floor("export", db, out)),
            ("list", tagtool(data, "list", NETWORK), floor("list", db)))


def measure(sizes, reps=3):
    """{size: {command: {"tagtool": usage, "floor": usage}}}, each figure the
    median of `reps` runs (one for a million tags), on a new network each."""
    perf = perf_counts()
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        for size in sizes:
            inp = os.path.join(tmp, "tags.inp")
            write_inp(inp, size)
            runs = {}
            for r in range(reps if size < MILLION else 1):
                say(f"  tagtool and the floor, {size:,} tags, {r + 1} of {reps}")
                for who in (("tagtool", "floor") if r % 2 == 0 else ("floor", "tagtool")):
                    data = os.path.join(tmp, "data")
                    run(tagtool(data, "create", NETWORK))
                    for command, *lines in jobs(tmp, data, inp):
                        usage = run(lines[who == "floor"], perf)
                        runs.setdefault((command, who), []).append(usage)
                    shutil.rmtree(data)
            results[size] = {command: {who: median(runs[command, who])
                                       for who in ("tagtool", "floor")}
                             for command in COMMANDS}
    return results


def median(usages):
    return {key: None if usages[0][key] is None else statistics.median(u[key] for u in usages)
            for key in usages[0]}


# The start

def start(runs=11):
    """CPU seconds (median of `runs`) and, where valgrind or perf counts
    them, instructions of the tool's start and of Python importing sqlite3."""
    perf = perf_counts()
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        cmds = {"tagtool": tagtool(os.path.join(tmp, "none"), "networks"),
                "sqlite3": [sys.executable, "-c", "import sqlite3"]}
        for who, cmd in cmds.items():
            say(f"  start: {who}, {runs} runs")
            usages = [run(cmd, perf) for _ in range(runs)]
            results[who] = median(usages)
            if results[who]["instructions"] is None:
                results[who]["instructions"] = callgrind_total(cmd, tmp)
    return results


def callgrind_total(cmd, tmp):
    parts = harness.callgrind_parts(cmd, tmp)
    return None if not parts else sum(parts.values())
