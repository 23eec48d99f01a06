"""Reference and memory leaks: thousands of calls of every callable, on its
success paths and its error paths, leave the reference counts of the
arguments, of the module's globals and of the parts that results share with
their inputs as they were, the number of objects the collector tracks as it
was, and tracemalloc's total flat.

Texts the interpreter interns are immortal in 3.12 and their counts never
move, so every watched text here is made at run time."""

import gc
import importlib
import re
import sys
import tracemalloc

import pytest

import api.orvane as orvane
from helpers import Database, Ops

CALLS = 2000
WARMUP = 100
MEMORY_SLACK = 4096  # bytes: caches the interpreter fills once


def fresh(text):
    """An equal text that is a new object, not the interned one."""
    return "".join([text[:1], text[1:]]) if len(text) > 1 else (text + "x")[:-1]


def assert_no_leak(call, watched):
    tracemalloc.start()
    try:
        for _ in range(WARMUP):
            call()
        gc.collect()
        counts = [sys.getrefcount(o) for o in watched]
        objects = len(gc.get_objects())
        memory = tracemalloc.get_traced_memory()[0]
        for _ in range(CALLS):
            call()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - memory
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert len(gc.get_objects()) - objects <= 2
    assert grown <= MEMORY_SLACK, f"{grown} bytes kept by {CALLS} calls"


def raising(exc, message, f, *args, **kwargs):
    """A call that must raise `exc` whose text matches `message`."""

    def call():
        try:
            f(*args, **kwargs)
        except exc as e:
            if not re.search(message, str(e)):
                raise AssertionError(f"unexpected message: {e}") from None
        else:
            raise AssertionError(f"{f.__name__} did not raise {exc.__name__}")

    return call


class Db(Database):
    """The database double over fresh texts, bound into api.orvane; it keeps
    no record of its calls."""

    def __init__(self, monkeypatch):
        self.row = {"id": fresh("J1"), "tag": fresh("north")}
        super().__init__(nodes=[{"id": fresh("J1"), "tag": fresh("north")},
                                {"id": 7, "tag": None},
                                {"id": fresh("J3"), "tag": fresh("")}],
                         links=[{"id": fresh("P1"), "tag": fresh("Main")}],
                         found=self.row, prefix={fresh("operation"): fresh("update")})
        self.name = fresh("net")
        self.node, self.link = fresh("NODE"), fresh("LINK")
        self.bind(orvane, monkeypatch=monkeypatch)
        monkeypatch.setattr(orvane, "TAG_TYPE_NODE", self.node)
        monkeypatch.setattr(orvane, "TAG_TYPE_LINK", self.link)

    def watched(self):
        values = [v for r in self.nodes + self.links + [self.row] for v in r.values()]
        return [self.name, self.node, self.link, self.prefix, *self.prefix.values(),
                *[v for v in values if v is not None and not isinstance(v, int)],
                orvane.Tag, orvane.get_tag, orvane.get_tag_schema, orvane._set_tag]


@pytest.fixture
def db(monkeypatch):
    return Db(monkeypatch)


def op(t_type="NODE", id="J1", tag="south"):
    return {"t_type": fresh(t_type), "id": fresh(id), "tag": fresh(tag) if tag else tag}


class TestSuccess:
    def test_get_tag_schema(self, db):
        assert_no_leak(lambda: orvane.get_tag_schema(db.name), db.watched())

    @pytest.mark.parametrize("shape", [list, tuple, iter])
    def test_get_tags(self, db, monkeypatch, shape):
        rows = db.nodes
        monkeypatch.setattr(orvane, "read_all", lambda name, sql: shape(rows))
        assert_no_leak(lambda: orvane.get_tags(db.name), db.watched())

    @pytest.mark.parametrize("t_type", ["NODE", "LINK", "TANK"])
    @pytest.mark.parametrize("found", [True, False])
    def test_get_tag(self, db, t_type, found):
        db.found = db.row if found else None
        t_type, id = fresh(t_type), fresh("J1")
        assert_no_leak(lambda: orvane.get_tag(db.name, t_type, id), db.watched() + [t_type, id])

    @pytest.mark.parametrize("tag", ["Zone 1", None, 0, "O'Neil"])
    def test_tag_and_as_dict(self, db, tag):
        input = {"t_type": fresh("NODE"), "id": fresh("J1"), "tag": tag}
        watched = db.watched() + [input] + [v for v in input.values() if isinstance(v, str)]
        assert_no_leak(lambda: orvane.Tag(input).as_dict(), watched)

    def test_tag_without_tag_key(self, db):
        input = {"t_type": fresh("LINK"), "id": fresh("P1")}
        assert_no_leak(lambda: orvane.Tag(input), db.watched() + [input, *input.values()])

    @pytest.mark.parametrize("new", ["south", None, "north"])
    @pytest.mark.parametrize("found", [True, False])
    def test_set_tag_builder(self, db, new, found):
        db.found = db.row if found else None
        cs = Ops(op(tag=new))
        watched = db.watched() + [cs, cs.operations, *cs.operations[0].values()]
        assert_no_leak(lambda: orvane._set_tag(db.name, cs), [w for w in watched if w])

    @pytest.mark.parametrize("operation", [op(), op("LINK", "P1"), {"t_type": "NODE", "id": "J1"}])
    def test_set_tag(self, db, operation):
        cs = Ops(operation)
        assert_no_leak(lambda: orvane.set_tag(db.name, cs), db.watched() + [cs, operation])

    @pytest.mark.parametrize("line", [
        "NODE J1 Zone1", "  link  P7\tMain  ", "node J1 O'Neil ;x", "TANK T1 x",
        "nöde J1 x", "NODE \u00e9t\u00e9 \U0001f30a", "\u3000LINK\u2028P1\x1cMain",
    ])
    def test_inp_in_tag(self, db, line):
        line = fresh(line)
        assert_no_leak(lambda: orvane.inp_in_tag(line), db.watched() + [line])

    def test_inp_in_tag_with_rebound_type(self, db, monkeypatch):
        # A type constant that is not exactly str takes the upper-casing path.
        class Text(str):
            pass

        node = Text("NODE")
        monkeypatch.setattr(orvane, "TAG_TYPE_NODE", node)
        line = fresh("node J1 x")
        assert_no_leak(lambda: orvane.inp_in_tag(line), db.watched() + [line, node])

    def test_inp_out_tag(self, db):
        assert_no_leak(lambda: orvane.inp_out_tag(db.name), db.watched())

    def test_function_attributes(self, db):
        f, t = orvane.get_tag, orvane.Tag({"t_type": "NODE", "id": "J1"})

        def read():
            (f.__name__, f.__qualname__, f.__annotations__, f.__code__, f.__defaults__,
             f.__kwdefaults__, f.__type_params__, f.__dict__, f.__module__, f.__doc__,
             f.__globals__, repr(f), f.__reduce__(), f.__get__(t), t.as_dict, orvane.Tag.as_dict)

        assert_no_leak(read, db.watched() + [t])

    @pytest.mark.parametrize("found", [True, False])
    @pytest.mark.parametrize("f", ["delete_tag_by_node", "delete_tag_by_link"])
    def test_delete(self, db, f, found):
        db.found = db.row if found else None
        id = fresh("J1")
        f = getattr(orvane, f)
        assert_no_leak(lambda: f(db.name, id), db.watched() + [id])


CALLABLES = {
    "get_tag_schema": 1, "get_tags": 1, "get_tag": 3, "_set_tag": 2, "set_tag": 2,
    "inp_in_tag": 1, "inp_out_tag": 1, "delete_tag_by_node": 2, "delete_tag_by_link": 2,
}


class TestArgumentErrors:
    @pytest.mark.parametrize("name", CALLABLES)
    def test_count_keyword_and_type(self, db, name):
        f = getattr(orvane, name)
        n = CALLABLES[name]
        text = fresh("x")
        args = [text] * n
        bad = object()
        cases = [
            raising(TypeError, "takes exactly", f),
            raising(TypeError, "takes exactly", f, *args, text),
            raising(TypeError, "unexpected keyword", f, *args, zz=bad),
            raising(TypeError, "multiple values", f, *args, **{f.__code__.co_varnames[0]: text}),
            raising(TypeError, "has incorrect type", f, bad, *args[1:]),
        ]
        assert_no_leak(lambda: [c() for c in cases], db.watched() + [text, bad])

    def test_tag_methods(self, db):
        t = orvane.Tag({"t_type": "NODE", "id": "J1"})
        bad = {fresh("k"): fresh("v")}

        class Sub(dict):
            pass

        sub = Sub(t_type="NODE", id="J1")
        cases = [
            raising(TypeError, "takes exactly 2", orvane.Tag),
            raising(TypeError, "expected dict, got Sub", orvane.Tag, sub),
            raising(TypeError, "unexpected keyword", orvane.Tag, input=bad, x=bad),
            raising(TypeError, "takes exactly 1", t.as_dict, bad),
            raising(KeyError, "t_type", orvane.Tag, bad),
        ]
        assert_no_leak(lambda: [c() for c in cases], db.watched() + [t, bad, sub])


class Loud:
    """A value whose text conversion or comparison with None raises."""

    def __init__(self, on):
        self.on = on

    def __str__(self):
        if self.on == "str":
            raise ValueError("no text")
        return "loud"

    __format__ = lambda self, spec: str(self)

    def __ne__(self, other):
        if self.on == "ne":
            raise ValueError("no compare")
        return True


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class TestBodyErrors:
    def test_missing_globals(self, db, monkeypatch):
        watched = db.watched()
        cs = Ops(op())
        cases = [
            raising(NameError, "'read_all' is not defined", orvane.get_tags, db.name),
            raising(NameError, "'read_all' is not defined", orvane.inp_out_tag, db.name),
            raising(NameError, "'TAG_TYPE_NODE' is not defined", orvane.get_tag, db.name, "NODE", "J1"),
            raising(NameError, "'get_tag' is not defined", orvane._set_tag, db.name, cs),
            raising(NameError, "'TAG_TYPE_NODE' is not defined", orvane.inp_in_tag, "NODE J1 x"),
            raising(NameError, "'try_read' is not defined", orvane.delete_tag_by_link, db.name, "P1"),
        ]
        for name in ("read_all", "try_read", "TAG_TYPE_NODE", "get_tag", "g_update_prefix"):
            monkeypatch.delattr(orvane, name)
        assert_no_leak(lambda: [c() for c in cases], watched + [cs])

    @pytest.mark.parametrize("double", ["read_all", "try_read", "ChangeSet", "DbChangeSet",
                                        "execute_command"])
    def test_database_raises(self, db, monkeypatch, double):
        error = RuntimeError(fresh("down"))

        def fail(*args):
            raise error

        monkeypatch.setattr(orvane, double, fail)
        cs, empty = Ops(op()), Ops({})
        calls = [lambda: orvane.get_tags(db.name), lambda: orvane.inp_out_tag(db.name),
                 lambda: orvane.get_tag(db.name, "LINK", "P1"), lambda: orvane.set_tag(db.name, cs),
                 lambda: orvane.set_tag(db.name, empty),
                 lambda: orvane.delete_tag_by_node(db.name, "J1")]

        def call():
            for c in calls:
                try:
                    c()
                except RuntimeError as e:
                    assert e is error
            error.__traceback__ = None

        assert_no_leak(call, db.watched() + [error, cs, empty])

    @pytest.mark.parametrize("row", [{"id": "J1"}, {"tag": "x"}, {"id": Loud("str"), "tag": "x"},
                                     {"id": "J1", "tag": Loud("str")}, {"id": "J1", "tag": Loud("ne")}])
    def test_bad_rows(self, db, row):
        db.nodes = [{"id": fresh("J0"), "tag": fresh("ok")}, row]
        db.found = row
        calls = [lambda: orvane.get_tags(db.name), lambda: orvane.get_tag(db.name, "NODE", "J1"),
                 lambda: orvane.inp_out_tag(db.name)]

        def call():
            for c in calls:
                try:
                    c()
                except (KeyError, ValueError):
                    pass

        assert_no_leak(call, db.watched() + [row])

    @pytest.mark.parametrize("rows", [5, None])
    def test_rows_not_iterable(self, db, rows):
        watched = db.watched()
        db.nodes = rows
        cases = [raising(TypeError, "not iterable", orvane.get_tags, db.name),
                 raising(TypeError, "not iterable", orvane.inp_out_tag, db.name)]
        assert_no_leak(lambda: [c() for c in cases], watched)

    def test_rows_iterator_fails_midway(self, db, monkeypatch):
        rows = [{"id": fresh("J1"), "tag": fresh("a")}, {"id": fresh("J2"), "tag": fresh("b")}]

        def gen(name, sql):
            yield from rows
            raise LookupError("cursor gone")

        monkeypatch.setattr(orvane, "read_all", gen)
        cases = [raising(LookupError, "cursor gone", orvane.get_tags, db.name),
                 raising(LookupError, "cursor gone", orvane.inp_out_tag, db.name)]
        watched = db.watched() + [v for r in rows for v in r.values()]
        assert_no_leak(lambda: [c() for c in cases], watched)

    @pytest.mark.parametrize("line", ["", "   ", "NODE", "TANK J1", "NODE\tJ1\n"])
    def test_inp_in_tag_short_line(self, db, line):
        line = fresh(line) if line else line
        assert_no_leak(raising(IndexError, "list index out of range", orvane.inp_in_tag, line),
                       db.watched() + [line])

    @pytest.mark.parametrize("cs, exc, message", [
        (Ops(op("node")), Exception, "Only support NODE and Link"),
        (Ops({"t_type": "NODE", "tag": "x"}), KeyError, "id"),
        (Ops({"t_type": "NODE", "id": 5, "tag": "x"}), TypeError, "Argument 'id'"),
        (Ops(), IndexError, "index out of range"),
        (object(), AttributeError, "operations"),
        (Ops({"t_type": "NODE", "id": "J1", "tag": Loud("str")}), ValueError, "no text"),
    ])
    def test_set_tag_errors(self, db, cs, exc, message):
        watched = db.watched() + [cs]
        assert_no_leak(raising(exc, message, orvane._set_tag, db.name, cs), watched)
        if not isinstance(cs, Ops) or not cs.operations or len(cs.operations[0]) == 3:
            assert_no_leak(raising(exc, message, orvane.set_tag, db.name, cs), watched)

    @pytest.mark.parametrize("prefix, message", [
        (5, "unsupported operand"), ([1], "unsupported operand"), (None, "unsupported operand")])
    def test_prefix_not_a_dict(self, db, monkeypatch, prefix, message):
        monkeypatch.setattr(orvane, "g_update_prefix", prefix)
        cs = Ops(op())
        cases = [raising(TypeError, message, orvane._set_tag, db.name, cs),
                 raising(TypeError, message, orvane.delete_tag_by_node, db.name, "J1")]
        assert_no_leak(lambda: [c() for c in cases], db.watched() + [cs])

    @pytest.mark.parametrize("items, exc, message", [
        ([("t_type", {"readonly": False}, 3)], ValueError, "too many values to unpack"),
        ([("t_type",)], ValueError, "not enough values to unpack"),
        ([5], TypeError, "cannot unpack non-iterable int object"),
        ([("tag", {})], KeyError, "readonly"),
        ([("tag", {"readonly": Falsy()})], ZeroDivisionError, "no truth"),
    ])
    def test_odd_schema(self, db, monkeypatch, items, exc, message):
        class Schema:
            def items(self):
                return items

        monkeypatch.setattr(orvane, "get_tag_schema", lambda name: Schema())
        cs = Ops(op())
        assert_no_leak(raising(exc, message, orvane._set_tag, db.name, cs), db.watched() + [cs])


class TestImportAgain:
    def test_keeps_no_memory(self):
        # The create step hands out the module it made first; nothing of a
        # later import may stay behind. The host's loader itself keeps a
        # little now and then (a stdlib extension such as array keeps most
        # of a block per import, and under the sanitizers this one about a
        # quarter), so the bound is well below one block per import.
        def blocks():
            return sum(s.count for s in tracemalloc.take_snapshot().statistics("filename"))

        def import_again():
            del sys.modules["api.orvane"]
            assert importlib.import_module("api.orvane") is orvane

        tracemalloc.start()
        try:
            for _ in range(WARMUP):
                import_again()
            gc.collect()
            before = blocks()
            for _ in range(CALLS):
                import_again()
            gc.collect()
            grown = blocks() - before
        finally:
            sys.modules["api.orvane"] = orvane
            tracemalloc.stop()
        assert grown < CALLS // 2, f"{grown} blocks kept by {CALLS} imports"
