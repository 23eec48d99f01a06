"""Measurements that need a process of their own; each prints one JSON value.

    probes.py memory                blocks and resident memory a million calls leave
    probes.py import IMPL           time and resident memory of importing IMPL
    probes.py tagtool IMPL ARGS...  `python -m tagtool ARGS` with IMPL as api.orvane;
                                    the module's own time to BENCH_SHARE_FILE
    probes.py writer URL PREFIX GO SECONDS MODE    set_tag in a loop once GO exists
    probes.py importer URL COUNT    execute_import of COUNT tags, undo and redo
    probes.py bare MODEL REPORT     a bare hydraulic run by owa-epanet's toolkit
    probes.py journal DATA COUNT    a network "journal" whose journal has COUNT entries
"""

import contextlib
import gc
import json
import os
import resource
import sys
import time
from collections import deque
from itertools import cycle, islice, repeat, starmap

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(HERE, "build"), HERE, ROOT, os.path.join(ROOT, "reference")]
PAGE = os.sysconf("SC_PAGE_SIZE")
MILLION = 1_000_000


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def memory():
    """A million calls of each callable, on its usual path and on three
    failing ones, and what they left behind."""
    os.environ["BENCH_ROWS"] = "2"      # one node row and one link row per call
    import workload as w
    from api import orvane as mod

    def fails(f, args, exc):
        def run(n):
            for _ in range(n):
                try:
                    f(*args)
                except exc:
                    pass
        return run

    # Each run binds its doubles when it starts, as the cases rebind them.
    def case(prepare, rows):
        if rows is None:
            return lambda n: prepare(mod, n)()
        return lambda n: deque(starmap(prepare(mod, 1), repeat((), n)), 0)

    runs = {name: case(prepare, rows) for name, _, rows, prepare in w.CASES}
    runs["inp_in_tag"] = lambda n: deque(
        map(mod.inp_in_tag, islice(cycle(w.LINES_OF_EVERY_SHAPE), n)), 0)
    runs["get_tag, wrong type"] = fails(mod.get_tag, ("net", 5, "J1"), TypeError)
    runs["Tag, missing key"] = fails(mod.Tag, ({"t_type": "NODE"},), KeyError)
    runs["inp_in_tag, two tokens"] = fails(mod.inp_in_tag, ("NODE J1",), IndexError)
    results = {}
    for name, run in runs.items():
        run(MILLION // 10)              # fills caches and free lists
        gc.collect()
        blocks, resident = sys.getallocatedblocks(), rss()
        run(MILLION)
        gc.collect()
        results[name] = {"blocks": sys.getallocatedblocks() - blocks, "rss": rss() - resident}
    return results


def import_cost(impl):
    """The import alone: typing and api.database are loaded first, as in the
    application."""
    import typing  # noqa: F401
    import api.database  # noqa: F401
    resident = rss()
    start = time.perf_counter_ns()
    __import__({"orvane": "api.orvane", "python": "pyorvane", "cython": "cyorvane"}[impl])
    ns = time.perf_counter_ns() - start
    return {"ns": ns, "rss": rss() - resident}


def timed(f, totals, key):
    """f, timed into totals[key]; a call of the module made inside another
    one (set_tag calls _set_tag) is already inside the outer one's time."""
    clock = time.perf_counter_ns

    def call(*args, **kwargs):
        if key == "module" and totals["depth"]:
            return f(*args, **kwargs)
        totals["depth"] += key == "module"
        start = clock()
        try:
            return f(*args, **kwargs)
        finally:
            totals[key] += clock() - start
            totals["calls"] += 1
            totals["depth"] -= key == "module"
    return call


def tagtool(impl, *argv):
    """The module's own time: its calls less the database's inside them,
    less what timing a call costs (timed on one that does next to nothing)."""
    import workload as w
    import api
    import api.database
    mod = w.load(impl)
    sys.modules["api.orvane"] = api.orvane = mod
    totals = {"module": 0, "database": 0, "calls": 0, "depth": 0}
    for name in ("get_tag_schema", "get_tags", "get_tag", "_set_tag", "set_tag", "inp_in_tag",
                 "inp_out_tag", "delete_tag_by_node", "delete_tag_by_link"):
        setattr(mod, name, timed(getattr(mod, name), totals, "module"))
    for name in ("read_all", "try_read", "execute_command"):
        setattr(mod, name, timed(getattr(api.database, name), totals, "database"))
    probe = {"t": 0, "calls": 0, "depth": 0}
    f = timed(bool, probe, "t")
    for n in (20_000, 100_000):
        probe["t"] = 0
        for _ in range(n):
            f()
    from tagtool import main
    status = main(list(argv))
    sys.stdout.flush()
    own = totals["module"] - totals["database"] - probe["t"] / 100_000 * totals["calls"]
    with open(os.environ["BENCH_SHARE_FILE"], "w") as out:
        json.dump({"module_ns": max(own, 0), "calls": totals["calls"]}, out)
    if status:
        sys.exit(status)


def writer(url, prefix, go, seconds, mode):
    """Seconds and tries of each set_tag: of its own elements (mode own), or
    of the one all set, built again on a conflict (shared) or in one command
    scope (scoped)."""
    from api import database as db, orvane
    db.set_database_url(url)
    orvane.get_tags("load")                     # connected before the start
    while not os.path.exists(go):
        time.sleep(0.0005)
    times, tries, clock = [], [], time.perf_counter
    end = clock() + float(seconds)
    while clock() < end:
        start = clock()
        id = f"{prefix}{len(times)}" if mode == "own" else "J1"
        cs = db.ChangeSet({"t_type": "NODE", "id": id, "tag": f"{prefix}{len(times)}"})
        tries.append(0)
        while True:
            tries[-1] += 1
            try:
                with db.command("load") if mode == "scoped" else contextlib.nullcontext():
                    orvane.set_tag("load", cs)
                break
            except db.ConflictError:
                pass
        times.append(clock() - start)
    return [times, tries]


def importer(url, count):
    """Seconds and growth of the peak MiB of an import, its undo and redo."""
    from api import database as db, orvane
    db.set_database_url(url)
    count = int(count)
    ids = [f"J{i}" for i in range(count)]
    statements = [orvane.inp_in_tag(f"NODE {id} Zone{i % 97}") for i, id in enumerate(ids)]
    changes = [("NODE", id, None, f"Zone{i % 97}") for i, id in enumerate(ids)]
    db.create_network("bulk")
    result, peak = {}, lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    for step, run in [("import", lambda: db.execute_import("bulk", statements, changes)),
                      ("undo", lambda: db.undo("bulk")), ("redo", lambda: db.redo("bulk"))]:
        before, start = peak(), time.perf_counter()
        run()
        result[step] = (time.perf_counter() - start, peak() - before)
    stored = len(db.read_all("bulk", "select id from tags_node"))
    assert stored == count, stored
    db.delete_network("bulk")
    return result


def bare(model, report):
    """Open, solve, read the pressures and flows at the report times, close."""
    import epanet.toolkit as en
    p = en.createproject()
    en.open(p, model, report, "")
    pressure, flow = (en.doubleArray(en.getcount(p, n)) for n in (en.NODECOUNT, en.LINKCOUNT))
    start, step = en.gettimeparam(p, en.REPORTSTART), en.gettimeparam(p, en.REPORTSTEP)
    en.openH(p)
    en.initH(p, 0)
    while True:
        t = en.runH(p)
        if t >= start and (t - start) % step == 0:
            en.getnodevalues(p, en.PRESSURE, pressure)
            en.getlinkvalues(p, en.FLOW, flow)
        if en.nextH(p) <= 0:
            break
    en.closeH(p)
    en.close(p)


def journal(data, count):
    """A network named journal whose journal holds `count` entries: real sets
    and an import, copied within the database to reach the count."""
    from api import database, orvane
    count = int(count)
    database.set_database_url("sqlite:" + data)
    database.create_network("journal")
    for i in range(10):
        orvane.set_tag("journal", database.ChangeSet({"t_type": "NODE", "id": f"J{i}", "tag": f"Z{i}"}))
    database.execute_import("journal", ["insert into tags_link (id, tag) values ('P1', 'x');"],
                            [("LINK", "P1", None, "x")])
    copies = count - 11
    database.execute_batch("journal", (
        "insert into undo_journal (redo_sql, undo_sql, redo_cs, undo_cs)"
        " select j.redo_sql, j.undo_sql, j.redo_cs, j.undo_cs from undo_journal j,"
        f" (with recursive n(k) as (select 1 union all select k + 1 from n where k < {copies // 11 + 1})"
        f" select k from n) as n order by n.k, j.seq limit {copies}"))
    assert len(database.journal("journal")) == count
    return count


PROBES = {"memory": (memory, 0), "import": (import_cost, 1), "writer": (writer, 5),
          "importer": (importer, 2), "bare": (bare, 2),
          "journal": (journal, 2)}


def main(argv):
    if argv[1:2] == ["tagtool"] and len(argv) >= 3 and "BENCH_SHARE_FILE" in os.environ:
        return tagtool(*argv[2:])
    probe, count = PROBES.get(argv[1] if len(argv) > 1 else "", (None, -1))
    if probe is None or len(argv) != count + 2:
        print(f"probes.py: bad command line {' '.join(argv[1:])!r} (see its docstring)",
              file=sys.stderr)
        return 2
    print(json.dumps(probe(*argv[2:])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
