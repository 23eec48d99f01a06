"""The benchmarks' one runner: measures each section chosen, records it in
bench/results.json in place of its last figures, and writes results.md and
results.png afresh from the whole file (bench/report.py).  Needs the
extensions of bench/build.py.  --quick runs every section on inputs a tenth
as large, once: to see that each runs, not for figures to keep.
"""

import argparse
import os
import sys
import time

import calls
import e2e
import harness
import load
import report
import tool
from harness import ROOT, runs, size

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, ROOT)


def sections(args):
    """{name: function measuring the section and returning it}, in the
    order of the report."""
    rounds = 1 if args.quick else args.rounds
    rows = 1_000 if args.quick else 10_000
    imports, reps = runs(31), runs(3)
    sizes = (size(e2e.SIZES[0]),) if args.quick else e2e.SIZES + ((e2e.MILLION,) if args.million else ())
    return {
        "times": lambda: calls.times_section(calls.measure_times(rounds), rounds),
        "instructions": lambda: calls.instructions_section(calls.measure_instructions(rows), rows),
        "e2e": lambda: e2e.section(e2e.measure(sizes, reps), e2e.start(runs(11)), reps),
        "share": lambda: calls.share_section(calls.measure_share(size(calls.SHARE_TAGS), reps),
                                             size(calls.SHARE_TAGS), reps),
        "memory": lambda: calls.memory_section(calls.measure_memory()),
        "import": lambda: calls.import_section(calls.measure_import(imports), imports),
        "load": lambda: load.section(load.measure(0.5 if args.quick else 4.0, size(1_000_000))),
        "map": lambda: tool.map_section(tool.measure_map(size(100_000))),
        "exchange": lambda: tool.exchange_section(tool.measure_exchange(size(100_000), reps)),
        "bulk": lambda: tool.bulk_section(tool.measure_bulk(size(100_000), reps)),
        "everyday": lambda: tool.everyday_section(tool.measure_everyday(size(100_000), runs(7),
                                                                        args.before)),
        "stats": lambda: tool.stats_section(tool.measure_stats(size(100_000), reps)),
    }


def about(load_before):
    return {"title": "Benchmarks", "level": 1, "blocks": [
        "Written by `make bench` (bench/run.py); do not edit by hand. Each section is as it was "
        "last measured. The last run: " + harness.machine(load_before)]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", default="", help="comma-separated sections (default: all)")
    parser.add_argument("--million", action="store_true",
                        help=f"run the end-to-end table on {e2e.MILLION:,} tags too")
    parser.add_argument("--rounds", type=int, default=11, help="rounds of timing (default 11)")
    parser.add_argument("--before", metavar="TREE", help="another checkout to time beside this "
                        "one in everyday use (its module built)")
    parser.add_argument("--quick", action="store_true", help="small inputs, one run each")
    parser.add_argument("--out", default=HERE, help="folder of results.json, .md and .png")
    args = parser.parse_args()
    harness.QUICK = args.quick
    chosen = sections(args)
    only = [s for s in args.only.split(",") if s] or list(chosen)
    unknown = sorted(set(only) - set(chosen))
    if unknown or args.rounds < 1:
        parser.error(f"unknown section {', '.join(unknown)} (expected some of {', '.join(chosen)})"
                     if unknown else "--rounds must be at least 1")
    calls.modules()
    started, load_before = time.monotonic(), os.getloadavg()[0]
    report.record({"about": about(load_before)}, out=args.out)     # first in a new file
    for name in (s for s in chosen if s in only):
        harness.say(f"{name}")
        section = chosen[name]()
        if section:
            report.record({name: section}, out=args.out)
    report.record({"about": about(load_before)}, out=args.out)
    harness.say(f"bench/run.py: done in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
