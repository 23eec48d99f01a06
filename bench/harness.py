"""How the benchmarks run and time things: a process to its end (its wall
seconds, or its CPU time and peak memory), under callgrind, jobs in turns
(so that the load of a shared machine falls on all alike), and the machine.
A command that fails ends the benchmark with its last line of errors."""

import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
def say(text):
    print(text, file=sys.stderr, flush=True)


def run(cmd, env=None, cwd=ROOT, stdout=subprocess.PIPE):
    """Runs cmd to its end in cwd; returns the finished process."""
    cmd = [str(c) for c in cmd]
    proc = subprocess.run(cmd, stdout=stdout, stderr=subprocess.PIPE, text=True, cwd=cwd, env=env)
    if proc.returncode != 0:
        last = (proc.stderr.strip().splitlines() or ["no message"])[-1]
        raise SystemExit(f"bench: {' '.join(cmd)} failed: {last}")
    return proc


def tagtool(data, *args):
    """The command line of `python -m tagtool` on the data folder `data`."""
    return [sys.executable, "-m", "tagtool", "--data-dir", data, *args]


def seconds(cmd, env=None, cwd=ROOT):
    """Wall seconds of cmd from its start to its exit."""
    start = time.perf_counter()
    run(cmd, env=env, cwd=cwd, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


# A child started from this process would report as its peak at least this
# process's size, which the kernel carries across exec; started from a bare
# interpreter, smaller than any Python that is measured, the peak is its own.
SPAWN = """import os, sys
pid = os.fork()
if pid == 0:
    os.execvp(sys.argv[2], sys.argv[2:])
_, status, used = os.wait4(pid, 0)
with open(sys.argv[1], "w") as f:
    f.write(f"{used.ru_utime + used.ru_stime} {used.ru_maxrss}")
sys.exit(os.waitstatus_to_exitcode(status))"""


def usage(cmd, env=None, cwd=ROOT):
    """{"cpu": user and system seconds, "rss": peak resident bytes} of cmd."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "usage")
        run([sys.executable, "-S", "-c", SPAWN, out, *cmd], env=env, cwd=cwd,
            stdout=subprocess.DEVNULL)
        with open(out) as f:
            cpu, peak = f.read().split()
    return {"cpu": float(cpu), "rss": int(peak) * 1024}


def in_turns(jobs, count, pick=min):
    """{name: pick of the figures} of jobs ({name: function giving a figure}),
    each run `count` times, all in turn."""
    figures = {name: [] for name in jobs}
    for _ in range(count):
        for name, job in jobs.items():
            figures[name].append(job())
    return {name: pick(values) for name, values in figures.items()}


def median(usages):
    """The median of each figure of a list of dicts of figures."""
    return {key: statistics.median(u[key] for u in usages) for key in usages[0]}


def callgrind_parts(cmd, env=None, cwd=ROOT):
    """Instructions of each part of cmd's run under callgrind: {label: count},
    the label a client request dumped it under (None for the whole of a run
    that dumped none); None when valgrind is missing."""
    if shutil.which("valgrind") is None:
        say("  valgrind is not installed: no instruction counts (apt-get install valgrind)")
        return None
    parts = {}
    with tempfile.TemporaryDirectory() as tmp:
        run(["valgrind", "--tool=callgrind", "--compress-strings=no", "--compress-pos=no",
             f"--callgrind-out-file={tmp}/out.%p", *cmd], env=env, cwd=cwd)
        for name in os.listdir(tmp):
            label = None
            with open(os.path.join(tmp, name)) as f:
                for line in f:
                    if line.startswith("desc: Trigger: Client Request: "):
                        label = line.split(": ", 3)[3].strip()
                    elif line.startswith(("summary: ", "totals: ")):
                        parts[label] = int(line.split()[1])
                        break
    return parts


def machine(load_before):
    """The line that says where and when the figures were taken."""
    cpu = platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f
                        if line.startswith("model name")), cpu)
    except OSError:
        pass
    return (f"Python {platform.python_version()}, {cpu}, {os.cpu_count()} cores, "
            f"{time.strftime('%Y-%m-%d')}; load average {load_before:.1f} at the start, "
            f"{os.getloadavg()[0]:.1f} at the end.")
