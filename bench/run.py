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
from harness import ROOT

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, ROOT)


def sections(args):
    """{name: function measuring the section}, in the order of the report;
    --quick: inputs a tenth as large, each run once."""
    q = args.quick
    rounds, rows, reps, n = (1, 1_000, 1, 10_000) if q else (args.rounds, 10_000, 3, 100_000)
    sizes = (n // 10,) if q else e2e.SIZES + (e2e.MILLION,) * args.million
    return {"times": lambda: calls.times_section(rounds),
            "instructions": lambda: calls.instructions_section(rows),
            "e2e": lambda: e2e.section(sizes, reps, 1 if q else 11),
            "share": lambda: calls.share_section(n, reps),
            "memory": calls.memory_section,
            "import": lambda: calls.import_section(1 if q else 31),
            "load": lambda: load.section(0.5 if q else 4.0, 10 * n),
            "map": lambda: tool.map_section(n),
            "exchange": lambda: tool.exchange_section(n, reps),
            "bulk": lambda: tool.bulk_section(n, reps),
            "everyday": lambda: tool.everyday_section(n, 1 if q else 7, args.before),
            "stats": lambda: tool.stats_section(n, reps)}


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
