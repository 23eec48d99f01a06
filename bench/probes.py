"""Measurements that need a process of their own; run.py starts them.

    probes.py memory            resident memory and allocated blocks before
                                and after a million calls of each callable
    probes.py import IMPL       time and resident memory of importing IMPL
    probes.py tagtool IMPL ARGS...
                                runs `python -m tagtool ARGS...` with IMPL in
                                place of api.orvane, and writes to the file
                                named by BENCH_SHARE_FILE how long the calls
                                into the module took, less the database's
                                own time inside them

Each prints (or writes) one JSON object; a bad command line gets a one-line
message and exit status 2.
"""

import gc
import json
import os
import sys
import time
from collections import deque
from itertools import cycle, islice, repeat, starmap

HERE = os.path.dirname(os.path.abspath(__file__))
REFERENCE = os.path.join(os.path.dirname(HERE), "reference")
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def usage(message):
    print(f"probes.py: {message}", file=sys.stderr)
    return 2


# memory

MILLION = 1_000_000


def memory():
    """A million calls of each callable, on its usual path and on three
    failing ones, and what they left behind."""
    os.environ["BENCH_ROWS"] = "2"      # one node row and one link row per call
    import workload as w
    from api import orvane as mod
    from api.database import ChangeSet

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
        results[name] = {"blocks": sys.getallocatedblocks() - blocks,
                         "rss": rss() - resident}
    print(json.dumps(results))
    return 0


# import

def import_cost(impl):
    """Time and resident memory of the import alone: its sibling module and
    typing are loaded first, as they are in the application."""
    sys.path[:0] = [os.path.join(HERE, "build"), HERE, os.path.dirname(HERE), REFERENCE]
    import typing  # noqa: F401
    import api.database  # noqa: F401
    names = {"orvane": "api.orvane", "python": "pyorvane", "cython": "cyorvane"}
    if impl not in names:
        return usage(f"unknown implementation {impl!r} (expected orvane, cython or python)")
    resident = rss()
    start = time.perf_counter_ns()
    __import__(names[impl])
    ns = time.perf_counter_ns() - start
    print(json.dumps({"ns": ns, "rss": rss() - resident}))
    return 0


# tagtool

DB_NAMES = ("read_all", "try_read", "execute_command")
MODULE_NAMES = ("get_tag_schema", "get_tags", "get_tag", "_set_tag", "set_tag", "inp_in_tag",
                "inp_out_tag", "delete_tag_by_node", "delete_tag_by_link")


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


def tagtool(impl, argv):
    """Runs the tag tool with `impl` in place of api.orvane.  Every call of a
    module function and of a database function that the module makes is
    timed; the module's own time is the first less the second, less what the
    timing itself costs."""
    sys.path[:0] = [os.path.join(HERE, "build"), HERE, os.path.dirname(HERE), REFERENCE]
    import workload as w
    import api
    import api.database
    mod = w.load(impl)
    sys.modules["api.orvane"] = mod
    api.orvane = mod

    totals = {"module": 0, "database": 0, "calls": 0, "depth": 0}
    for name in MODULE_NAMES:
        setattr(mod, name, timed(getattr(mod, name), totals, "module"))
    for name in DB_NAMES:
        setattr(mod, name, timed(getattr(api.database, name), totals, "database"))
    overhead = timing_overhead()

    from tagtool import main
    status = main(argv)
    sys.stdout.flush()
    own = totals["module"] - totals["database"] - overhead * totals["calls"]
    with open(os.environ["BENCH_SHARE_FILE"], "w") as f:
        json.dump({"module_ns": max(own, 0), "calls": totals["calls"]}, f)
    return status


def timing_overhead():
    """What one timed call adds to the time it reports, measured on a call
    that does next to nothing."""
    totals = {"t": 0, "calls": 0, "depth": 0}
    f = timed(bool, totals, "t")
    for _ in range(20_000):
        f()
    totals["t"] = 0
    for _ in range(100_000):
        f()
    return totals["t"] / 100_000


def main(argv):
    if len(argv) < 2:
        return usage("expected memory, import IMPL or tagtool IMPL ARGS...")
    if argv[1] == "memory" and len(argv) == 2:
        return memory()
    if argv[1] == "import" and len(argv) == 3:
        return import_cost(argv[2])
    if argv[1] == "tagtool" and len(argv) >= 3:
        if "BENCH_SHARE_FILE" not in os.environ:
            return usage("tagtool needs BENCH_SHARE_FILE, the file to write the module's time to")
        return tagtool(argv[2], argv[3:])
    return usage(f"bad command line {' '.join(argv[1:])!r}")


if __name__ == "__main__":
    sys.path[:0] = [HERE, os.path.dirname(HERE)]
    sys.exit(main(sys.argv))
