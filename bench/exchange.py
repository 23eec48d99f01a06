"""Exchanges of 10^5 tags with an INP file, each a `python -m tagtool`
process of its own on SQLite: `import` and `export --into`, without a
baseline (the first exchange with the file) and with one (the next, after 1%
of the tags changed on the other side, so that the merge runs three ways).
CPU seconds (user and system) and peak resident memory of the process,
median of 3 runs, against the figures of today's import in bench/results.md.

    bench/exchange.py [--tags N] [--root DIR] [--plain]

--root times the tag tool of another checkout (its api/ built); --plain runs
only the exchanges without a baseline, which every version can do.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

import e2e

HERE = os.path.dirname(os.path.abspath(__file__))
RUSAGE = os.path.join(HERE, "build", "rusage")


def model(path, count, changed=()):
    """An INP file of count/2 junctions and count/2 pipes, each tagged; the
    elements of ``changed`` carry another tag."""
    half = count // 2
    with open(path, "w") as f:
        f.write("[TITLE]\nexchange benchmark\n\n[JUNCTIONS]\n")
        f.writelines(f" J{i}\t10\t0.1\n" for i in range(half))
        f.write("\n[PIPES]\n")
        f.writelines(f" P{i}\tJ{i}\tJ{(i + 1) % half}\t100\t150\t100\t0\tOpen\n"
                     for i in range(half))
        f.write("\n[TAGS]\n")
        for t_type, word in (("NODE", "J"), ("LINK", "P")):
            f.writelines(f" {t_type}\t{word}{i}\t"
                         f"{'moved' if (t_type, i) in changed else f'DMA{i % 40}'}\n"
                         for i in range(half))
        f.write("\n[END]\n")


def run(root, data, *argv):
    """(CPU seconds, peak resident MB) of one tagtool process."""
    env = dict(os.environ, PYTHONPATH=root)
    env.pop("ORVANE_DATABASE_URL", None)
    cmd = [sys.executable, "-m", "tagtool", "--data-dir", data, *argv]
    with tempfile.NamedTemporaryFile("r") as usage:
        if os.path.exists(RUSAGE):
            proc = subprocess.run([RUSAGE, usage.name, *cmd], env=env, capture_output=True, cwd=root,
                                  text=True)
            if proc.returncode != 0:
                raise SystemExit(f"bench/exchange.py: {' '.join(argv)}: {proc.stderr.strip()}")
            user, system, peak = usage.read().split()
            return float(user) + float(system), int(peak) / 1024
        proc = subprocess.Popen(cmd, env=env, cwd=root, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        _, status, ru = os.wait4(proc.pid, 0)
        if status:
            raise SystemExit(f"bench/exchange.py: {' '.join(argv)}: {proc.stderr.read().decode()}")
        return ru.ru_utime + ru.ru_stime, ru.ru_maxrss / 1024


def measure(root, count, plain, reps=3):
    """{job: [(cpu, mb), ...]} of each job, each run in a fresh folder."""
    changed = {(t, i) for t in ("NODE", "LINK") for i in range(0, count // 2, 100)}
    jobs = {}
    for _ in range(reps):
        with tempfile.TemporaryDirectory() as tmp:
            data, inp = os.path.join(tmp, "data"), os.path.join(tmp, "model.inp")
            model(inp, count)
            run(root, data, "create", "net")
            jobs.setdefault("import, no baseline", []).append(run(root, data, "import", "net", inp))
            copy = os.path.join(tmp, "copy.inp")
            shutil.copyfile(inp, copy)
            jobs.setdefault("export --into, no baseline", []).append(
                run(root, data, "export", "net", "--into", copy))
            if not plain:
                # 1% of the file's tags changed since the import: it takes them.
                model(inp, count, changed)
                jobs.setdefault("import, with baseline", []).append(
                    run(root, data, "import", "net", inp))
                # 1% of the network's tags changed since the export into the copy.
                jobs.setdefault("export --into, with baseline", []).append(
                    run(root, data, "export", "net", "--into", copy))
        with tempfile.TemporaryDirectory() as tmp:
            # The [TAGS] section alone of bench/results.md's import, twice.
            data, inp = os.path.join(tmp, "data"), os.path.join(tmp, "tags.inp")
            e2e.write_inp(inp, count)
            run(root, data, "create", "net")
            jobs.setdefault("import of results.md's file, no baseline", []).append(
                run(root, data, "import", "net", inp))
            if not plain:
                jobs.setdefault("import of results.md's file again, with baseline", []).append(
                    run(root, data, "import", "net", inp))
    return jobs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tags", type=int, default=100_000)
    parser.add_argument("--root", default=os.path.dirname(HERE))
    parser.add_argument("--plain", action="store_true")
    args = parser.parse_args()
    jobs = measure(os.path.abspath(args.root), args.tags, args.plain)
    print(f"{args.tags:,} tags, {args.root}: CPU s and peak RSS MB, median of 3\n")
    print("| exchange | CPU s | peak RSS MB |\n|---|---|---|")
    for job, runs in jobs.items():
        print(f"| {job} | {statistics.median(r[0] for r in runs):.2f} | "
              f"{statistics.median(r[1] for r in runs):.0f} |")
    print("\nbench/results.md today: import of 100,000 tags 0.88 CPU s, 35 MB peak.")


if __name__ == "__main__":
    main()
