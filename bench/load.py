"""Writers under load, and a journaled import of a million tags, on SQLite and
PostgreSQL; records its figures in bench/results.json, the section "load"
that bench/report.py writes into bench/results.md.

    python bench/load.py [--seconds S] [--tags N] [--root DIR] [--print]

Writers: 1 and 8 processes call orvane.set_tag on tags of their own elements
of one network for S seconds each; commands/s over the run, and the median and
99th percentile of one call's time.  Import: database.execute_import of N new
tags, then undo and redo; seconds and the growth of the peak resident memory
of the process over what the import's input already took.  PostgreSQL runs on
ORVANE_TEST_DATABASE_URL, else on a cluster that tools/pg.sh starts for the
run; without one its rows say why.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

import report

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

WRITER = """
    import json, os, sys, time
    sys.path.insert(0, sys.argv[1])
    from api import database as db, orvane
    db.set_database_url(sys.argv[2])
    prefix, go, seconds, mode = sys.argv[3], sys.argv[4], float(sys.argv[5]), (sys.argv[6:] or ["own"])[0]
    orvane.get_tags("load")                     # connected before the start
    while not os.path.exists(go):
        time.sleep(0.0005)
    times, tries, clock = [], [], time.perf_counter
    end = clock() + seconds
    while clock() < end:
        start = clock()
        # Its own element, or the one element every writer sets: each
        # command built again while another writer overtakes it (as the
        # README shows), or read and written in one command scope.
        id = f"{prefix}{len(times)}" if mode == "own" else "J1"
        cs = db.ChangeSet({"t_type": "NODE", "id": id, "tag": f"{prefix}{len(times)}"})
        tries.append(0)
        while True:
            tries[-1] += 1
            try:
                if mode == "scoped":
                    with db.command("load"):
                        orvane.set_tag("load", cs)
                else:
                    orvane.set_tag("load", cs)
                break
            except db.ConflictError:
                pass
        times.append(clock() - start)
    print(json.dumps([times, tries]))
"""

IMPORTER = """
    import json, resource, sys, time
    sys.path.insert(0, sys.argv[1])
    from api import database as db, orvane
    db.set_database_url(sys.argv[2])
    count = int(sys.argv[3])
    ids = [f"J{i}" for i in range(count)]
    statements = [orvane.inp_in_tag(f"NODE {id} Zone{i % 97}") for i, id in enumerate(ids)]
    changes = [("NODE", id, None, f"Zone{i % 97}") for i, id in enumerate(ids)]
    db.create_network("bulk")

    def peak():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    result = {}
    for step, run in [("import", lambda: db.execute_import("bulk", statements, changes)),
                      ("undo", lambda: db.undo("bulk")), ("redo", lambda: db.redo("bulk"))]:
        before, start = peak(), time.perf_counter()
        run()
        result[step] = (time.perf_counter() - start, peak() - before)
    stored = len(db.read_all("bulk", "select id from tags_node"))
    assert stored == count, stored
    db.delete_network("bulk")
    print(json.dumps(result))
"""


def say(text):
    print(text, file=sys.stderr, flush=True)


def child(code, *args):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            stdout=subprocess.PIPE, text=True)


def writers(root, url, count, seconds, mode="own"):
    """(commands/s, p50 ms, p99 ms, (tries p50, p99, max)) of ``count``
    writer processes in ``mode`` (see WRITER)."""
    sys.path.insert(0, root)
    from api import database as db
    db.set_database_url(url)
    if "load" in db.list_networks():
        db.delete_network("load")
    db.create_network("load")
    with tempfile.TemporaryDirectory() as tmp:
        go = os.path.join(tmp, "go")
        procs = [child(WRITER, root, url, f"w{n}.", go, seconds, mode) for n in range(count)]
        time.sleep(1.0)
        start = time.perf_counter()
        open(go, "w").close()
        outputs = [p.communicate()[0] for p in procs]
        wall = time.perf_counter() - start
    if any(p.returncode for p in procs):
        raise RuntimeError(f"a writer failed on {url}")
    results = [json.loads(out) for out in outputs]
    times = sorted(t for run, _ in results for t in run)
    tries = sorted(n for _, run in results for n in run)
    stored = len(db.read_all("load", "select id from tags_node"))
    assert stored == (len(times) if mode == "own" else 1) and len(times) == len(db.journal("load")), stored
    db.delete_network("load")
    db.close_all()
    return (len(times) / wall, statistics.median(times) * 1e3, times[int(len(times) * 0.99)] * 1e3,
            (statistics.median_low(tries), tries[int(len(tries) * 0.99)], tries[-1]))


def bulk(root, url, count):
    proc = child(IMPORTER, root, url, count)
    out = proc.communicate()[0]
    if proc.returncode:
        raise RuntimeError(f"the import failed on {url}")
    return json.loads(out)


def postgres():
    """(URL, folder to stop) of a PostgreSQL server, or (None, reason)."""
    url = os.environ.get("ORVANE_TEST_DATABASE_URL")
    if url:
        return url, None
    folder = tempfile.mkdtemp(prefix="orvane-load-pg.")
    os.rmdir(folder)
    started = subprocess.run(["bash", os.path.join(ROOT, "tools", "pg.sh"), "start", folder],
                             capture_output=True, text=True)
    if started.returncode:
        return None, (started.stderr.strip().splitlines() or ["no server"])[-1]
    return started.stdout.strip(), folder


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--tags", type=int, default=1_000_000)
    parser.add_argument("--root", default=ROOT, help="the tree whose api/ is measured")
    parser.add_argument("--print", action="store_true", help="print the section, record nothing")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    pg_url, pg_folder = postgres()
    rows, imports = [], []
    try:
        with tempfile.TemporaryDirectory() as data:
            for backend, url in [("SQLite", "sqlite:" + data), ("PostgreSQL", pg_url)]:
                for n, mode, what in [(1, "own", "1"), (8, "own", "8"), (8, "shared", "8 on one element"),
                                      (8, "scoped", "8 on one element, in a scope")]:
                    say(f"  {backend}, {what} writer(s)")
                    rows.append((backend, what, writers(root, url, n, args.seconds, mode) if url
                                 else f"not measured: {pg_folder}"))
                if args.tags:
                    say(f"  {backend}, import of {args.tags:,} tags")
                    imports.append((backend, bulk(root, url, args.tags) if url else f"not measured: {pg_folder}"))
    finally:
        if pg_url and pg_folder:
            subprocess.run(["bash", os.path.join(ROOT, "tools", "pg.sh"), "stop", pg_folder])
    figures = {"writers": rows, "imports": imports, "tags": args.tags, "seconds": args.seconds}
    if args.print:
        print("\n".join(report.load_section(figures)))
    else:
        report.record("load", figures)


if __name__ == "__main__":
    main()
