"""How the benchmarks run things: a process to its end (with its wall
seconds, or its CPU time and peak memory), and a process under callgrind.
They end the benchmark with the command's last line of error output when it
fails (callgrind_parts returns None instead where the caller can go on
without the count)."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RUSAGE = os.path.join(HERE, "build", "rusage")     # made by bench/build.py


def say(text):
    print(text, file=sys.stderr, flush=True)


def last_line(proc):
    return ((proc.stderr or "").strip().splitlines() or ["no message"])[-1]


def run(cmd, who, env=None, cwd=ROOT, stdout=subprocess.PIPE):
    """Runs cmd to its end in cwd; returns the finished process."""
    proc = subprocess.run(cmd, stdout=stdout, stderr=subprocess.PIPE, text=True, cwd=cwd, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"{who}: {' '.join(map(str, cmd))} failed: {last_line(proc)}")
    return proc


def seconds(cmd, who, env=None, cwd=ROOT):
    """Wall seconds of cmd from its start to its exit."""
    start = time.perf_counter()
    run(cmd, who, env=env, cwd=cwd, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def usage(cmd, who, env=None, cwd=ROOT, perf=False, stdout=subprocess.DEVNULL):
    """Runs cmd to its end through the rusage program; returns its CPU
    seconds (user and system), peak resident bytes and instructions (None
    unless perf is given and `perf stat` counts them)."""
    if not os.path.exists(RUSAGE):
        raise SystemExit(f"{who}: {RUSAGE} is missing: build it first (python bench/build.py)")
    with tempfile.TemporaryDirectory() as tmp:
        used, counts = os.path.join(tmp, "usage"), os.path.join(tmp, "counts")
        full = [RUSAGE, used, *cmd]
        if perf:
            full = ["perf", "stat", "-x,", "-e", "instructions:u", "-o", counts, "--", *full]
        run(full, who, env=env, cwd=cwd, stdout=stdout)
        with open(used) as f:
            user, system, peak = f.read().split()
        instructions = None
        if perf:
            with open(counts) as f:
                numbers = [line.split(",")[0] for line in f]
            instructions = next((int(n) for n in numbers if n.isdigit()), None)
    return {"cpu": float(user) + float(system), "rss": int(peak) * 1024,
            "instructions": instructions}


def callgrind_parts(cmd, folder, env=None, cwd=ROOT):
    """Runs cmd under callgrind, writing its profiles into folder; returns
    {label: instructions} of each part of the run (the label a client
    request dumped it under, or None for the whole of a run that dumped
    none), or None when valgrind is missing or the run failed."""
    if shutil.which("valgrind") is None:
        return None
    out = os.path.join(folder, "callgrind.out")
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", "--compress-strings=no", "--compress-pos=no",
         f"--callgrind-out-file={out}.%p", *cmd],
        env=env, cwd=cwd, capture_output=True, text=True)
    if proc.returncode != 0:
        say(f"  callgrind of {' '.join(map(str, cmd))} failed: {last_line(proc)}")
        return None
    parts = {}
    for name in os.listdir(folder):
        if name.startswith("callgrind.out."):
            label, total = read_part(os.path.join(folder, name))
            os.remove(os.path.join(folder, name))
            if total is not None:
                parts[label] = total
    return parts


def read_part(path):
    label = total = None
    with open(path) as f:
        for line in f:
            if line.startswith("desc: Trigger: Client Request: "):
                label = line.split(": ", 3)[3].strip()
            elif line.startswith(("summary: ", "totals: ")):
                total = int(line.split()[1])
                break
    return label, total
