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


RUSAGE = os.path.join(HERE, "build", "rusage")


def run(cmd, perf=False, stdout=subprocess.DEVNULL):
    """Runs cmd to its end, through the rusage program of bench/build.py;
    returns its CPU seconds, peak resident bytes and instructions (None
    unless perf counts them). A failure ends the benchmark with the
    command's last line of error output."""
    with tempfile.TemporaryDirectory() as tmp:
        usage, counts = os.path.join(tmp, "usage"), os.path.join(tmp, "counts")
        full = [RUSAGE, usage, *cmd]
        if perf:
            full = ["perf", "stat", "-x,", "-e", "instructions:u", "-o", counts, "--", *full]
        proc = subprocess.run(full, stdout=stdout, stderr=subprocess.PIPE, text=True, cwd=ROOT)
        if proc.returncode != 0:
            last = (proc.stderr.strip().splitlines() or ["no message"])[-1]
            raise SystemExit(f"bench/e2e.py: {' '.join(cmd)} failed: {last}")
        with open(usage) as f:
            user, system, peak = f.read().split()
        instructions = None
        if perf:
            with open(counts) as f:
                numbers = [line.split(",")[0] for line in f]
            instructions = next((int(n) for n in numbers if n.isdigit()), None)
    return {"cpu": float(user) + float(system), "rss": int(peak) * 1024,
            "instructions": instructions}


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
    if shutil.which("valgrind") is None:
        return None
    out = os.path.join(tmp, "callgrind.out")
    proc = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *cmd],
                          cwd=ROOT, capture_output=True)
    if proc.returncode != 0:
        say(f"  callgrind of {' '.join(cmd)} failed: no instruction count")
        return None
    with open(out) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    return None


# Writing it

def ratio(a, b):
    return a / b if b else None


def mark(r, target):
    return f"{r:.2f}x" + ("" if r <= target else " ✗")


def rows(results, starts):
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


def panel(ax, results):
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
