"""The benchmarks' workloads, shared by the timing run (calls.py) and the
instruction counts, for which this file is the script callgrind runs:

    valgrind --tool=callgrind python bench/workload.py orvane|cython|python|floor

Each case runs its calls between the marks of cgmark, so the profile holds
one part per case, labelled with its name, and one for its overhead.  The
database names are replaced on the module by in-memory doubles that cost as
little as a call can (most are C callables), so that the figures are the
module's own.
"""

import gc
import importlib
import os
import sys
from functools import partial
from itertools import chain, repeat

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
for path in (ROOT, HERE, os.path.join(HERE, "build"), os.path.join(ROOT, "reference")):
    if path not in sys.path:
        sys.path.append(path)

IMPLS = ("orvane", "cython", "python")
NETWORK = "net"
# Rows of get_tags and inp_out_tag, lines of inp_in_tag; fewer under
# callgrind, which counts per row all the same.
ROWS = int(os.environ.get("BENCH_ROWS", "100000"))


MODULES = {"orvane": "api.orvane", "python": "pyorvane", "cython": "cyorvane", "floor": "floor"}


def load(impl):
    if impl not in MODULES:
        raise ValueError(f"unknown implementation {impl!r} (expected orvane, cython, python or floor)")
    return importlib.import_module(MODULES[impl])


# Data

def tag_rows(prefix, count):
    """Rows as read_all gives them: ids are texts; one tag in ten is NULL,
    one in fifty holds a quote, one in twenty-five a non-ASCII letter."""
    return [{"id": f"{prefix}{i}", "tag": None if i % 10 == 9 else f"O'Neil {i}" if i % 50 == 7
             else f"Süd{i % 40}" if i % 25 == 3 else f"Zone {i % 40}"} for i in range(count)]


NODE_ROWS = tag_rows("J", ROWS // 2)
LINK_ROWS = tag_rows("P", ROWS - ROWS // 2)

# Tag lines of every shape a [TAGS] section holds, in turn: spacing, case,
# descriptions, extra words, quotes, non-ASCII, a type word of neither kind.
SHAPES = ("NODE J{i} Zone{k}", "  link   P{i}\tMain  ", "node J{i} zone{k} ;lower zone",
          "NODE J{i} North Zone", "LINK P{i} O'Neil", "TANK T{i} x", "Node J{i} Süd",
          "NODE J{i} Zone{k};x", "LINK\tP{i}\tTrunk{k}\r", "NODE J{i} Zone{k}")
LINES = [SHAPES[i % len(SHAPES)].format(i=i, k=i % 40) for i in range(ROWS)]
LINES_OF_EVERY_SHAPE = [shape.format(i=i, k=i) for i, shape in enumerate(SHAPES)]

TAG_INPUT = {"t_type": "NODE", "id": "J1", "tag": "Zone 1"}
STORED = {"id": "J1", "tag": "Zone 1"}
LOOKUP = "select * from tags_node where id = 'J1'"


def read_all(name, sql):
    return NODE_ROWS if sql.endswith("node") else LINK_ROWS


def set_doubles(mod, **names):
    """Binds the doubles on the module: those given, the defaults for the
    rest; returns them by name."""
    from api.database import g_update_prefix
    # try_read: (name, sql) -> the stored row; ChangeSet() and ChangeSet(record);
    # DbChangeSet: four arguments, kept, no work; execute_command: (name, db_cs) -> db_cs.
    doubles = {"read_all": read_all, "try_read": {NETWORK: STORED}.get, "ChangeSet": bool,
               "DbChangeSet": chain, "execute_command": {}.get, "g_update_prefix": g_update_prefix,
               **names}
    for name, value in doubles.items():
        setattr(mod, name, value)
    return doubles


# Runs. Every callable is called from bytecode, in a Python loop, as an
# application calls it: a call made by map() or starmap() from C would skip
# the interpreter's own call and flatter a C callable against a Python one.
# What the run costs besides the callable (the empty loop, and the doubles,
# called from C as often as the callable calls them) is measured on its own
# and taken off, so that each figure is the callable's own.

class Run:
    def __init__(self, loop, empty, one, doubles=(), times=1):
        self.loop, self.empty, self.one = loop, empty, one
        self.doubles, self.times = tuple(doubles), times

    def __call__(self):
        self.loop()

    def overhead(self):
        """The same run without the callable."""
        self.empty()
        if self.doubles:
            import cgmark
            cgmark.repeat(self.times, self.doubles)


def _loop(body, n, **names):
    """A function that runs the statement `body` n times in a Python loop,
    with `names` as its local variables."""
    source = f"def loop({', '.join(names)}):\n    for _ in repeat(None, {n}):\n        {body}\n"
    scope = {"repeat": repeat}
    exec(source, scope)
    return partial(scope["loop"], **names)


def _calls(f, args, n, doubles=()):
    """n calls of f(*args); each makes the calls `doubles` into the doubles."""
    names = {f"a{i}": a for i, a in enumerate(args)}
    loop = _loop(f"f({', '.join(names)})", n, f=f, **names)
    return Run(loop, _loop("pass", n), lambda: f(*args), doubles, n)


def _over_rows(f, arg, doubles=()):
    """One call over all rows: the loop is the callable's own."""
    return Run(lambda: f(arg), lambda: None, lambda: f(arg), doubles)


# Cases: prepare(mod, n) binds the doubles and returns the Run of n calls
# (or of one call over all rows, for a case with rows).

def prep_schema(mod, n):
    if mod.__name__ != "floor":
        set_doubles(mod)
    return _calls(mod.get_tag_schema, (NETWORK,), n)


def prep_tag(mod, n):
    set_doubles(mod)
    return _calls(mod.Tag, (TAG_INPUT,), n)


def prep_as_dict(mod, n):
    if mod.__name__ == "floor":
        return _calls(mod.tag_dict, ("tag", "NODE", "J1", "Zone 1"), n)
    set_doubles(mod)
    tag = mod.Tag(TAG_INPUT)
    return Run(_loop("tag.as_dict()", n, tag=tag), _loop("pass", n), tag.as_dict)


def prep_get_tag(mod, n, stored):
    if mod.__name__ == "floor":
        return _calls(mod.tag_dict, ("NODE", "J1", stored and "Zone 1"), n)
    d = set_doubles(mod, try_read={NETWORK: stored}.get)
    return _calls(mod.get_tag, (NETWORK, "NODE", "J1"), n, [(d["try_read"], (NETWORK, LOOKUP))])


def prep_set_tag(mod, n, f):
    """_set_tag or set_tag: two reads of the stored tag, the change set,
    and for set_tag its execution."""
    from api.database import ChangeSet
    d = set_doubles(mod)
    cs = ChangeSet({"t_type": "NODE", "id": "J1", "tag": "Zone 2"})
    doubles = [(d["try_read"], (NETWORK, LOOKUP))] * 2
    doubles.append((d["DbChangeSet"], (LOOKUP, LOOKUP, [STORED], [STORED])))
    if f == "set_tag":
        doubles.append((d["execute_command"], (NETWORK, STORED)))
    return _calls(getattr(mod, f), (NETWORK, cs), n, doubles)


def prep_delete(mod, n):
    d = set_doubles(mod)
    doubles = [(d["try_read"], (NETWORK, LOOKUP)), (d["ChangeSet"], (STORED,))]
    return _calls(mod.delete_tag_by_node, (NETWORK, "J1"), n, doubles)


def prep_tables(mod, n, f):
    f = getattr(mod, f)
    if mod.__name__ == "floor":
        return Run(lambda: f(NODE_ROWS, LINK_ROWS), lambda: None,
                   lambda: f(NODE_ROWS, LINK_ROWS))
    d = set_doubles(mod)
    reads = [(d["read_all"], (NETWORK, "select * from tags_node")),
             (d["read_all"], (NETWORK, "select * from tags_link"))]
    return _over_rows(f, NETWORK, reads)


def prep_inp_in_tag(mod, n):
    if mod.__name__ == "floor":
        return _over_rows(mod.inp_in_tag, LINES)
    # The statements are kept, as an importer keeps them.
    f = mod.inp_in_tag

    def loop():
        return [f(line) for line in LINES]
    return Run(loop, lambda: [line for line in LINES], loop)


# name, label for the table, rows per run (None: one call per run), prepare
CASES = (
    ("get_tag_schema", "get_tag_schema", None, prep_schema),
    ("Tag", "Tag(...)", None, prep_tag),
    ("as_dict", "Tag.as_dict", None, prep_as_dict),
    ("get_tag_row", "get_tag (row)", None, partial(prep_get_tag, stored=STORED)),
    ("get_tag_none", "get_tag (no row)", None, partial(prep_get_tag, stored=None)),
    ("get_tags", "get_tags (per row)", ROWS, partial(prep_tables, f="get_tags")),
    ("inp_out_tag", "inp_out_tag (per row)", ROWS, partial(prep_tables, f="inp_out_tag")),
    ("_set_tag", "_set_tag", None, partial(prep_set_tag, f="_set_tag")),
    ("set_tag", "set_tag", None, partial(prep_set_tag, f="set_tag")),
    ("delete_tag_by_node", "delete_tag_by_node", None, prep_delete),
    ("inp_in_tag", "inp_in_tag (per line)", ROWS, prep_inp_in_tag),
)
# The floor builds the results of these.
FLOOR_CASES = ("get_tag_schema", "as_dict", "get_tag_row", "get_tag_none", "get_tags",
               "inp_out_tag", "inp_in_tag")


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
    gc.collect()
    gc.freeze()                             # collections see only what a case makes
    for name, _, rows, prepare in cases_for(argv[1]):
        run = prepare(mod, CALLS)
        for part, label in ((run, name), (run.overhead, name + " overhead")):
            part()                          # warm: caches, specialised code
            cgmark.zero()
            part()
            cgmark.dump(label)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
