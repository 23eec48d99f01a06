"""Exchanges of 10^5 tags with an INP file, each a `python -m tagtool`
process of its own on SQLite: `import` and `export --into`, without a
baseline (the first exchange with the file) and with one (the next, after 1%
of the tags changed on the other side, so that the merge runs three ways).
CPU seconds (user and system) and peak resident memory of the process,
median of 3 runs; recorded in bench/results.json (section "exchange"), where
bench/report.py sets them beside the import and export of bench/results.md
before the exchanges merged.

    bench/exchange.py [--tags N] [--root DIR] [--plain] [--print]

--root times the tag tool of another checkout (its api/ built) and only
prints its figures; --plain runs only the exchanges without a baseline,
which every version can do; --print prints the section and records nothing.
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile

import e2e
import harness
import report

HERE = os.path.dirname(os.path.abspath(__file__))


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
    used = harness.usage([sys.executable, "-m", "tagtool", "--data-dir", data, *argv],
                         "bench/exchange.py", env=env, cwd=root)
    return used["cpu"], used["rss"] / 1e6


def measure(root, count, plain, reps=3):
    """{(job, command, with a baseline): [(cpu, mb), ...]} of each job, each
    run in a fresh folder."""
    changed = {(t, i) for t in ("NODE", "LINK") for i in range(0, count // 2, 100)}
    jobs = {}

    def timed(job, command, baseline, data, *argv):
        jobs.setdefault((job, command, baseline), []).append(run(root, data, command, "net", *argv))

    for _ in range(reps):
        with tempfile.TemporaryDirectory() as tmp:
            data, inp = os.path.join(tmp, "data"), os.path.join(tmp, "model.inp")
            model(inp, count)
            run(root, data, "create", "net")
            timed("import, no baseline", "import", False, data, inp)
            copy = os.path.join(tmp, "copy.inp")
            shutil.copyfile(inp, copy)
            timed("export --into, no baseline", "export", False, data, "--into", copy)
            if not plain:
                # 1% of the file's tags changed since the import: it takes them.
                model(inp, count, changed)
                timed("import, with baseline", "import", True, data, inp)
                # 1% of the network's tags changed since the export into the copy.
                timed("export --into, with baseline", "export", True, data, "--into", copy)
        with tempfile.TemporaryDirectory() as tmp:
            # The [TAGS] section alone of bench/results.md's import, twice.
            data, inp = os.path.join(tmp, "data"), os.path.join(tmp, "tags.inp")
            e2e.write_inp(inp, count)
            run(root, data, "create", "net")
            timed("import of results.md's file, no baseline", "import", False, data, inp)
            if not plain:
                timed("import of results.md's file again, with baseline", "import", True, data, inp)
    return jobs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tags", type=int, default=100_000)
    parser.add_argument("--root", default=os.path.dirname(HERE))
    parser.add_argument("--plain", action="store_true")
    parser.add_argument("--print", action="store_true", help="print the section, record nothing")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    jobs = measure(root, args.tags, args.plain)
    figures = {"tags": args.tags, "runs": 3,
               "jobs": [(job, command, baseline, statistics.median(r[0] for r in runs),
                         statistics.median(r[1] for r in runs))
                        for (job, command, baseline), runs in jobs.items()]}
    if args.print or root != os.path.dirname(HERE):
        print(f"{root}:")
        print("\n".join(report.exchange_section(figures)))
    else:
        report.record("exchange", figures)


if __name__ == "__main__":
    main()
