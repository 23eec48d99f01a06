"""Seconds of the tag tool in everyday use, end to end (`python -m tagtool`,
start-up to exit), on SQLite, each the best of RUNS runs taken in turn, so
that a busy machine weighs on all alike:

- `set` of one tag on a network linked to a generated model of about NODES
  nodes (and twice as many links), against `set` on a network with no model;
- the start of `tagtool networks` against `python -c "import sqlite3"`;
- `list` of NODES tags (numbered and named ids, shuffled) as text, JSON and
  CSV, in natural order.

With --before TREE, `networks` and `list` of the tag tool of another checkout
(its module built) are timed beside this one's, on the same networks.

    python bench/everyday.py [NODES] [--before TREE]     (default 100000)

The times are printed and recorded in bench/results.json (section "everyday").
"""

import argparse
import os
import random
import sys
import tempfile
from pathlib import Path

import harness
import report
from bulk import grid

ROOT = Path(__file__).resolve().parents[1]
RUNS = 7
FORMATS = ("text", "json", "csv")
# As installed code runs: compiled once, its bytecode kept (in a folder of
# the benchmark's, so that no tree is written to).
ENV = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}


def tagtool(tree, data, *args):
    """Seconds of one command of the tag tool of ``tree``."""
    return harness.seconds([sys.executable, "-m", "tagtool", "-q", "--data-dir", data,
                            *map(str, args)], "bench/everyday.py", env=ENV, cwd=tree)


def tag_lines(count, path):
    """A [TAGS] section of ``count`` tags: 60% ids J1..., 20% bare numbers,
    20% links, in shuffled order."""
    rng = random.Random(1)
    nodes = [f"J{i}" for i in range(1, count * 3 // 5 + 1)] + [str(i) for i in range(1, count // 5 + 1)]
    links = [f"P-{i}a" for i in range(1, count - len(nodes) + 1)]
    rng.shuffle(nodes)
    rng.shuffle(links)
    with open(path, "w") as f:
        f.write("[TAGS]\n")
        f.writelines(f"NODE {id} Z{rng.randint(1, 30)}\n" for id in nodes)
        f.writelines(f"LINK {id} Z{rng.randint(1, 30)}\n" for id in links)


def best(jobs):
    """{name: least seconds} of ``jobs`` ({name: function}), run in turn."""
    times = {name: [] for name in jobs}
    for _ in range(RUNS):
        for name, job in jobs.items():
            times[name].append(job())
    return {name: min(runs) for name, runs in times.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("nodes", nargs="?", type=int, default=100_000)
    parser.add_argument("--before", metavar="TREE", help="another checkout to time beside this one")
    args = parser.parse_args()
    trees = {"now": ROOT} | ({"before": Path(args.before).resolve()} if args.before else {})
    side = int(args.nodes ** 0.5) + 1
    with tempfile.TemporaryDirectory() as folder:
        ENV["PYTHONPYCACHEPREFIX"] = os.path.join(folder, "pycache")
        data = os.path.join(folder, "data")
        model, tags = Path(folder) / "grid.inp", Path(folder) / "tags.inp"
        grid(side, model)
        tag_lines(args.nodes, tags)
        tagtool(ROOT, data, "create", "plain")
        tagtool(ROOT, data, "create", "linked", "--model", model)
        tagtool(ROOT, data, "create", "big")
        tagtool(ROOT, data, "import", "big", tags)
        turn = iter(range(10 ** 6))
        sets = best({"no model": lambda: tagtool(ROOT, data, "set", "plain", "NODE", "J5_5", next(turn)),
                     "linked model": lambda: tagtool(ROOT, data, "set", "linked", "NODE", "J5_5",
                                                     next(turn))})
        ratio = sets["linked model"] / sets["no model"]
        print(f"set on a linked model of {side * side:,} nodes: {sets['linked model']:.3f} s, "
              f"{ratio:.2f}x set with no model ({sets['no model']:.3f} s)")
        start = best({"sqlite3": lambda: harness.seconds([sys.executable, "-c", "import sqlite3"],
                                                          "bench/everyday.py", env=ENV),
                      **{f"networks, {when}": (lambda tree=tree: tagtool(tree, data, "networks"))
                         for when, tree in trees.items()}})
        for what, seconds in start.items():
            print(f"{what}: {seconds:.3f} s ({seconds / start['sqlite3']:.2f}x import sqlite3)")
        lists = best({f"{fmt}, {when}": (lambda tree=tree, fmt=fmt: tagtool(tree, data, "list", "big",
                                                                           "--format", fmt))
                      for fmt in FORMATS for when, tree in trees.items()})
        for what, seconds in lists.items():
            print(f"list of {args.nodes:,} tags, {what}: {seconds:.3f} s")
    report.record("everyday", {"nodes": side * side, "tags": args.nodes, "runs": RUNS, "set": sets,
                               "start": start, "list": lists})


if __name__ == "__main__":
    main()
