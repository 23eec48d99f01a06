"""The benchmarks' workloads, shared by the timing run (run.py) and the
instruction counts, for which this file is also the script that callgrind
runs:

    valgrind --tool=callgrind python bench/workload.py IMPL

IMPL is orvane (api.orvane), python (bench/pyorvane.py), cython (the same
compiled by Cython) or floor.  Each case runs its calls between the marks of
cgmark, so the profile holds one part per case whose label is the case's
name.

The database names are replaced on the module by in-memory doubles that
cost as little as a call can (most are C callables), so that the figures
are the module's own.
"""

import os
import sys
from collections import deque
from itertools import chain, repeat, starmap

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
for path in (ROOT, HERE, os.path.join(HERE, "build")):
    if path not in sys.path:
        sys.path.append(path)

IMPLS = ("orvane", "cython", "python")
NETWORK = "net"
# Rows of get_tags and inp_out_tag, lines of inp_in_tag; fewer under
# callgrind, which counts per row all the same.
ROWS = int(os.environ.get("BENCH_ROWS", "100000"))


def load(impl):
    """The module of one implementation."""
    if impl == "orvane":
        from api import orvane
        return orvane
    if impl == "python":
        import pyorvane
        return pyorvane
    if impl == "cython":
        import cyorvane
        return cyorvane
    if impl == "floor":
        import floor
        return floor
    raise ValueError(f"unknown implementation {impl!r} (expected orvane, cython, python or floor)")


# Data

def tag_rows(prefix, count):
    """Rows as read_all gives them: ids are texts; one tag in ten is NULL,
    one in fifty holds a quote, one in twenty-five a non-ASCII letter."""
    rows = []
    for i in range(count):
        if i % 10 == 9:
            tag = None
        elif i % 50 == 7:
            tag = f"O'Neil {i}"
        elif i % 25 == 3:
            tag = f"Süd{i % 40}"
        else:
            tag = f"Zone {i % 40}"
        rows.append({"id": f"{prefix}{i}", "tag": tag})
    return rows


NODE_ROWS = tag_rows("J", ROWS // 2)
LINK_ROWS = tag_rows("P", ROWS - ROWS // 2)

# Tag lines of every shape a [TAGS] section holds, in turn: spacing, case,
# descriptions, extra words, quotes, non-ASCII, a type word of neither kind.
SHAPES = (
    "NODE J{i} Zone{k}",
    "  link   P{i}\tMain  ",
    "node J{i} zone{k} ;lower zone",
    "NODE J{i} North Zone",
    "LINK P{i} O'Neil",
    "TANK T{i} x",
    "Node J{i} Süd",
    "NODE J{i} Zone{k};x",
    "LINK\tP{i}\tTrunk{k}\r",
    "NODE J{i} Zone{k}",
)
LINES = [SHAPES[i % len(SHAPES)].format(i=i, k=i % 40) for i in range(ROWS)]
LINES_OF_EVERY_SHAPE = [shape.format(i=i, k=i) for i, shape in enumerate(SHAPES)]

TAG_INPUT = {"t_type": "NODE", "id": "J1", "tag": "Zone 1"}
STORED = {"id": "J1", "tag": "Zone 1"}


def read_all(name, sql):
    return NODE_ROWS if sql.endswith("node") else LINK_ROWS


def set_doubles(mod, **names):
    """Binds the doubles on the module: those given, the defaults for the
    rest."""
    from api.database import ChangeSet, g_update_prefix
    doubles = {
        "read_all": read_all,
        "try_read": {NETWORK: STORED}.get,     # (name, sql) -> the stored row
        "ChangeSet": bool,                     # ChangeSet() and ChangeSet(record)
        "DbChangeSet": chain,                  # four arguments, kept, no work
        "execute_command": {}.get,             # (name, db_cs) -> db_cs
        "g_update_prefix": g_update_prefix,
    }
    doubles.update(names)
    for name, value in doubles.items():
        setattr(mod, name, value)
    return ChangeSet


# Cases: (name, rows per run, prepare) where prepare(mod, n) binds the
# doubles and returns a function that makes n calls (or one call over all
# rows, for a case with rows).

def _calls(f, arg, n):
    return _star_calls(f, (arg,), n)


def _star_calls(f, args, n):
    if len(args) == 1:
        run = lambda: deque(map(f, repeat(args[0], n)), 0)  # noqa: E731
    else:
        run = lambda: deque(starmap(f, repeat(args, n)), 0)  # noqa: E731
    run.one = lambda: f(*args)          # one call, whose result is kept
    return run


def prep_schema(mod, n):
    if mod.__name__ == "floor":
        return _calls(mod.get_tag_schema, NETWORK, n)
    set_doubles(mod)
    return _calls(mod.get_tag_schema, NETWORK, n)


def prep_tag(mod, n):
    set_doubles(mod)
    return _calls(mod.Tag, TAG_INPUT, n)


def prep_as_dict(mod, n):
    if mod.__name__ == "floor":
        return _star_calls(mod.tag_record, ("tag", "NODE", "J1", "Zone 1"), n)
    set_doubles(mod)
    return _calls(mod.Tag.as_dict, mod.Tag(TAG_INPUT), n)


def prep_get_tag_row(mod, n):
    if mod.__name__ == "floor":
        return _star_calls(mod.tag_dict, ("NODE", "J1", "Zone 1"), n)
    set_doubles(mod)
    return _star_calls(mod.get_tag, (NETWORK, "NODE", "J1"), n)


def prep_get_tag_none(mod, n):
    if mod.__name__ == "floor":
        return _star_calls(mod.tag_dict, ("NODE", "J1", None), n)
    set_doubles(mod, try_read={NETWORK: None}.get)
    return _star_calls(mod.get_tag, (NETWORK, "NODE", "J1"), n)


def prep_set_tag_impl(mod, n):
    ChangeSet = set_doubles(mod)
    cs = ChangeSet({"t_type": "NODE", "id": "J1", "tag": "Zone 2"})
    return _star_calls(mod._set_tag, (NETWORK, cs), n)


def prep_set_tag(mod, n):
    ChangeSet = set_doubles(mod)
    cs = ChangeSet({"t_type": "NODE", "id": "J1", "tag": "Zone 2"})
    return _star_calls(mod.set_tag, (NETWORK, cs), n)


def prep_delete(mod, n):
    set_doubles(mod)
    return _star_calls(mod.delete_tag_by_node, (NETWORK, "J1"), n)


def prep_get_tags(mod, n):
    if mod.__name__ == "floor":
        return lambda: mod.get_tags(NODE_ROWS, LINK_ROWS)
    set_doubles(mod)
    return lambda: mod.get_tags(NETWORK)


def prep_inp_out_tag(mod, n):
    if mod.__name__ == "floor":
        return lambda: mod.inp_out_tag(NODE_ROWS, LINK_ROWS)
    set_doubles(mod)
    return lambda: mod.inp_out_tag(NETWORK)


def prep_inp_in_tag(mod, n):
    if mod.__name__ == "floor":
        return lambda: mod.inp_in_tag(LINES)
    # The statements are kept, as an importer keeps them.
    return lambda: list(map(mod.inp_in_tag, LINES))


# name, label for the table, rows per run (None: one call per run), prepare
CASES = (
    ("get_tag_schema", "get_tag_schema", None, prep_schema),
    ("Tag", "Tag(...)", None, prep_tag),
    ("as_dict", "Tag.as_dict", None, prep_as_dict),
    ("get_tag_row", "get_tag (row)", None, prep_get_tag_row),
    ("get_tag_none", "get_tag (no row)", None, prep_get_tag_none),
    ("get_tags", "get_tags (per row)", ROWS, prep_get_tags),
    ("inp_out_tag", "inp_out_tag (per row)", ROWS, prep_inp_out_tag),
    ("_set_tag", "_set_tag", None, prep_set_tag_impl),
    ("set_tag", "set_tag", None, prep_set_tag),
    ("delete_tag_by_node", "delete_tag_by_node", None, prep_delete),
    ("inp_in_tag", "inp_in_tag (per line)", ROWS, prep_inp_in_tag),
)
# The floor builds the results of these; the cases over rows are held to it.
FLOOR_CASES = ("get_tag_schema", "as_dict", "get_tag_row", "get_tag_none", "get_tags",
               "inp_out_tag", "inp_in_tag")
FLOOR_TARGETS = ("get_tags", "inp_out_tag", "inp_in_tag")


def cases_for(impl):
    return [c for c in CASES if impl != "floor" or c[0] in FLOOR_CASES]


# The callgrind run

CALLS = 2_000           # calls per case of one call each


def main(argv):
    if len(argv) != 2:
        print("usage: workload.py orvane|cython|python|floor", file=sys.stderr)
        return 2
    try:
        mod = load(argv[1])
    except (ValueError, ImportError) as e:
        print(f"workload.py: {e}", file=sys.stderr)
        return 2
    import cgmark
    for name, _, rows, prepare in cases_for(argv[1]):
        run = prepare(mod, CALLS)
        run()                               # warm: caches, specialised code
        cgmark.zero()
        run()
        cgmark.dump(name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
