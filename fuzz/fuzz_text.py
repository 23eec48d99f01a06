"""Coverage-guided fuzzer (atheris) over the text handling of api.orvane:
INP tag lines, Tag records from random dicts, the lookup statements of
get_tag and the deletions, the update statements, and INP export. Each input
is checked against the module's plain Python reference (reference/pyorvane.py),
so the fuzzer finds wrong texts as well as crashes.

    ORVANE_FUZZ_ROOT=PKG_ROOT python fuzz/fuzz_text.py [libFuzzer options] [corpus folders]

PKG_ROOT (default: the repository) holds the package folder api/ to fuzz,
best a build whose code reports its coverage to the fuzzer (clang's
-fsanitize=fuzzer-no-link; make fuzz builds one). A file as argument runs
that one input, to reproduce a finding. fuzz/corpus holds the inputs a 60 s
run kept, as seeds.
"""

import os
import sys

import atheris

TYPES = ["NODE", "LINK", "node", "Link", "l\u0131nk", "TANK", ""]
KEYS = ["t_type", "id", "tag", "type", "x"]


def outcome(f, *args):
    try:
        return f(*args)
    except Exception as e:
        return (type(e), e.args)


class Ops:
    def __init__(self, operation):
        self.operations = [operation]


class Input:
    """Values drawn from the fuzzer's bytes."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def text(self):
        if self.fdp.ConsumeIntInRange(0, 7) == 0:
            return self.fdp.PickValueInList(TYPES)
        return self.fdp.ConsumeUnicode(self.fdp.ConsumeIntInRange(0, 40))

    def value(self):
        kind = self.fdp.ConsumeIntInRange(0, 4)
        if kind == 0:
            return None
        if kind == 1:
            return self.fdp.ConsumeInt(4)
        if kind == 2:
            return self.fdp.ConsumeRegularFloat()
        return self.text()

    def line(self):
        spaces = [" ", "\t", "\u3000", "\x1c", "\u2028", "\x85", "\r\n"]
        words = [self.text() for _ in range(self.fdp.ConsumeIntInRange(0, 5))]
        return "".join(w + self.fdp.PickValueInList(spaces) * self.fdp.ConsumeIntInRange(0, 2)
                       for w in words)


def bind(**names):
    """Binds module-level names of the module and of its reference."""
    for mod in (orvane, reference):
        vars(mod).update(names)


def alike(call):
    """call(module) and call(reference) give the same outcome; returns it."""
    got, want = outcome(call, orvane), outcome(call, reference)
    assert got == want, (got, want)
    return got


def fuzz_one(data):
    d = Input(data)
    which = d.fdp.ConsumeIntInRange(0, 5)
    if which == 0:
        line = d.line() if d.fdp.ConsumeBool() else d.text()
        alike(lambda m: m.inp_in_tag(line))
    elif which == 1:
        input = {d.fdp.PickValueInList(KEYS): d.value() for _ in range(d.fdp.ConsumeIntInRange(0, 5))}
        got = alike(lambda m: vars(m.Tag(input)))
        if "t_type" not in input or "id" not in input:
            assert got[0] is KeyError, input
    elif which in (2, 3):
        t_type, id, found = d.text(), d.text(), d.fdp.ConsumeBool()
        seen = []

        def try_read(name, sql):
            seen.append(sql)
            return {"id": id, "tag": t_type} if found else None

        bind(try_read=try_read)
        if which == 2:
            got = alike(lambda m: m.get_tag("net", t_type, id))
            table = {"NODE": "tags_node", "LINK": "tags_link"}.get(t_type)
            assert got == {"t_type": t_type, "id": id, "tag": t_type if found and table else None}
        else:
            f = d.fdp.PickValueInList(["delete_tag_by_node", "delete_tag_by_link"])
            got = alike(lambda m: getattr(m, f)("net", id).operations)
            assert len(got) == found
        assert seen[:len(seen) // 2] == seen[len(seen) // 2:], seen
    elif which == 4:
        t_type = d.fdp.PickValueInList(["NODE", "LINK"])
        id, old, new = d.text(), d.value(), d.value()
        bind(try_read=lambda name, sql: {"id": id, "tag": old})
        alike(lambda m: m._set_tag("net", Ops({"t_type": t_type, "id": id, "tag": new})))
    else:
        rows = [{"id": d.text(), "tag": d.value()} for _ in range(d.fdp.ConsumeIntInRange(0, 3))]
        bind(read_all=lambda name, sql: rows)
        lines = alike(lambda m: m.inp_out_tag("net"))
        assert lines == [f"{t} {r['id']} {r['tag']}" for t in ("NODE", "LINK") for r in rows]
        for line in lines:
            alike(lambda m: m.inp_in_tag(line))


def load():
    """Imports the module under test. The fuzzer's runtime is loaded only
    once fuzzing starts, so this runs at the first input: it makes the
    runtime's symbols visible to libraries loaded after it, then imports the
    module, whose coverage counters register with the runtime as it loads."""
    import ctypes

    core = sys.modules.get("atheris.core_with_libfuzzer")
    if core is not None:
        ctypes.CDLL(core.__file__, mode=os.RTLD_GLOBAL | os.RTLD_NOLOAD)
    global orvane, reference
    import api.database as database
    import api.orvane as orvane
    import pyorvane as reference

    bind(ChangeSet=database.ChangeSet, DbChangeSet=lambda *a: a)
    print(f"fuzz_text.py: fuzzing {orvane.__file__} against {reference.__file__}", flush=True)


def test_one_input(data):
    if orvane is None:
        load()
    fuzz_one(data)


def main():
    root = os.environ.get("ORVANE_FUZZ_ROOT") or os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if not os.path.isdir(os.path.join(root, "api")):
        sys.exit(f"fuzz_text.py: ORVANE_FUZZ_ROOT={root} holds no package folder api/")
    sys.path[:0] = [os.path.abspath(root),
                    os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "reference")]
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


orvane = reference = None

if __name__ == "__main__":
    main()
