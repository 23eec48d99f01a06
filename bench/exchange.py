"""Exchanges of 10^5 tags with an INP file, each a `python -m tagtool`
process of its own on SQLite: `import` and `export --into`, without a
baseline (the first exchange with the file) and with one (the next, after 1%
of the tags changed on the other side, so that the merge runs three ways).
CPU seconds (user and system) and peak resident memory of the process,
median of 3 runs; recorded in bench/results.json (section "exchange"), where
bench/report.py sets them beside the import and export of bench/results.md
before the exchanges merged.

    bench/exchange.py [--tags N] [--root DIR] [--plain] [--print] [--ratios]

--root times the tag tool of another checkout (its api/ built) and only
prints its figures; --plain runs only the exchanges without a baseline,
which every version can do; --print prints the section and records nothing.
--ratios measures, once each, the ratios the exchanges are held to and
prints them: an import with a record against the plain sqlite3 floor
(instructions, by `perf stat`, else CPU), an export --into with a record
against a plain export plus one read of the model (CPU, and peak memory
against the file's size plus a plain export's peak), and the time to find a
renamed file's origin among 100 records of N tags each.
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


def cost(used):
    """What a run is compared by: instructions where perf counts them."""
    return used["instructions"] or used["cpu"]


def ratios(root, count):
    """The ratios of the exchanges at ``count`` tags, as printable lines."""
    env = dict(os.environ, PYTHONPATH=root)
    env.pop("ORVANE_DATABASE_URL", None)
    perf = shutil.which("perf") is not None

    def tool(data, *argv):
        return harness.usage([sys.executable, "-m", "tagtool", "--data-dir", data, *argv],
                             "bench/exchange.py", env=env, cwd=root, perf=perf)

    lines = []
    changed = {(t, i) for t in ("NODE", "LINK") for i in range(0, count // 2, 100)}
    with tempfile.TemporaryDirectory() as tmp:
        data, inp = os.path.join(tmp, "data"), os.path.join(tmp, "model.inp")
        model(inp, count)
        tool(data, "create", "net")
        tool(data, "import", "net", inp)
        model(inp, count, changed)
        imported = tool(data, "import", "net", inp)                 # with its record
        floor_data = os.path.join(tmp, "floor")
        tool(floor_data, "create", "net")
        floor = harness.usage([sys.executable, os.path.join(HERE, "sqlfloor.py"), "import",
                               os.path.join(floor_data, "net.db"), inp], "bench/exchange.py",
                              env=env, cwd=root, perf=perf)
        unit = "instructions" if imported["instructions"] and floor["instructions"] else "CPU"
        lines.append(f"import with a record, {count:,} tags: {cost(imported) / cost(floor):.2f}x "
                     f"the sqlite3 floor ({unit}; target 3x)")
        copy = os.path.join(tmp, "copy.inp")
        shutil.copyfile(inp, copy)
        tool(data, "export", "net", "--into", copy)
        tool(data, "import", "net", inp)
        model(copy, count, {(t, i + 1) for t, i in changed})       # 1% changed in the file
        into = tool(data, "export", "net", "--into", copy)          # with its record
        plain = tool(data, "export", "net", "-o", os.path.join(tmp, "plain.inp"))
        read = harness.usage([sys.executable, "-c", "import sys; from tagtool.model import "
                              "read_model; read_model(sys.argv[1])", copy], "bench/exchange.py",
                             env=env, cwd=root)
        size = os.path.getsize(copy)
        lines.append(f"export --into with a record: {into['cpu'] / (plain['cpu'] + read['cpu']):.2f}x "
                     f"the CPU of a plain export plus one read of the model (target 3x); peak "
                     f"{into['rss'] / 1e6:.0f} MB, {into['rss'] / (size + plain['rss']):.2f}x the file's "
                     f"size plus a plain export's peak (target 2x)")
    lines.append(origin_among_records(root, count))
    return lines


def origin_among_records(root, count, records=100):
    """Seconds to find the origin of a renamed file among ``records``
    records of ``count`` tags each (each of another file, 1% apart)."""
    import time

    sys.path.insert(0, root)
    from api import database
    from tagtool import merge, origin

    with tempfile.TemporaryDirectory() as tmp:
        database.set_data_dir(os.path.join(tmp, "data"))
        database.create_network("net")
        half = count // 2
        tags = {(t, f"{w}{i}"): f"DMA{i % 40}" for t, w in (("NODE", "J"), ("LINK", "P"))
                for i in range(half)}
        for n in range(records):
            state = dict(tags)
            for i in range(n, half, 100):
                state["NODE", f"J{i}"] = f"r{n}"
            done = merge.merge(merge.FILE, None, state, {}, (), replace=True)
            database.write_exchange("net", {
                "path": os.path.join(tmp, f"file{n}.inp"), "at": origin.now(), "direction": "export",
                "format": "inp", "digest": f"d{n}", "pairs": len(state),
                "sample": origin.fingerprint(origin.pair_hashes(state)),
                "agreed": done.agreed, "file": done.file})
        wanted = dict(tags)
        for i in range(50, half, 100):
            wanted["NODE", f"J{i}"] = "r50"
        for i in range(0, half, 1000):
            wanted["LINK", f"P{i}"] = "edited"                     # edited after it travelled
        start = time.perf_counter()
        found = origin.find_origin("net", os.path.join(tmp, "renamed.inp"), "", wanted)
        took = time.perf_counter() - start
        database.close_all()
        database.set_data_dir(None)
    which = os.path.basename(found.path) if found else "none"
    return (f"origin of a renamed file among {records} records of {count:,} tags: {took:.2f} s "
            f"(target 1 s), found {which} (file50.inp expected)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tags", type=int, default=100_000)
    parser.add_argument("--root", default=os.path.dirname(HERE))
    parser.add_argument("--plain", action="store_true")
    parser.add_argument("--print", action="store_true", help="print the section, record nothing")
    parser.add_argument("--ratios", action="store_true", help="print the ratios of the exchanges")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    if args.ratios:
        print("\n".join(ratios(root, args.tags)))
        return
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
