"""What the module's tests share: the two implementations of the module (the
extension and its plain Python reference, reference/pyorvane.py), the way to
compare them, doubles of the database names, and hostile values."""

import contextlib
import os
import sys

import api.orvane as orvane

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "reference"))
import pyorvane  # noqa: E402

# Each test that compares implementations runs against both, as a module
# and its pure Python twin are tested alike.
IMPLS = {"orvane": orvane, "python": pyorvane}


def outcome(call, *args):
    """What a call gives: ("ok", result) or ("raised", type, message)."""
    try:
        return ("ok", call(*args))
    except Exception as e:
        return ("raised", type(e), str(e))


@contextlib.contextmanager
def rebound(**names):
    """Binds module-level names of both implementations for the block."""
    saved = [(mod, {k: mod.__dict__[k] for k in names if k in mod.__dict__}) for mod in IMPLS.values()]
    for mod in IMPLS.values():
        mod.__dict__.update(names)
    try:
        yield
    finally:
        for mod, values in saved:
            for k in names:
                mod.__dict__.pop(k, None)
            mod.__dict__.update(values)


def same(call, *args):
    """The outcome of call(impl, *args), alike for every implementation."""
    got = {name: outcome(call, mod, *args) for name, mod in IMPLS.items()}
    assert got["orvane"] == got["python"], got
    return got["orvane"]


class Calls(list):
    """Doubles of the database names on a module, each recording its calls
    here as (name, positional args) before it answers."""

    def __init__(self, monkeypatch, module=orvane):
        super().__init__()
        self.monkeypatch, self.module = monkeypatch, module

    def bind(self, name, answer):
        def double(*args):
            self.append((name, args))
            return answer(*args)
        self.monkeypatch.setattr(self.module, name, double)

    def names(self):
        return [name for name, _ in self]


class Database:
    """A double of the database module's names as one object: the rows of the
    two tag tables, read by their select; the row each lookup finds (`found`,
    or with `look_up` the row of the named table whose id the statement names);
    the update prefix; change-set makers and a command runner that hand back
    what they are given.  With `record`, each call is kept in `calls` as (name,
    positional args); the leak tests go without, as a record keeps its
    arguments alive."""

    NAMES = ("ChangeSet", "DbChangeSet", "execute_command", "try_read", "read_all", "g_update_prefix")

    def __init__(self, nodes=None, links=None, found=None, prefix=None, look_up=False, record=False):
        self.nodes = [] if nodes is None else nodes
        self.links = [] if links is None else links
        self.found, self.look_up = found, look_up
        self.prefix = {"operation": "update"} if prefix is None else prefix
        self.calls = [] if record else None

    def _called(self, name, *args):
        if self.calls is not None:
            self.calls.append((name, args))

    def read_all(self, name, sql):
        self._called("read_all", name, sql)
        return {"select * from tags_node": self.nodes, "select * from tags_link": self.links}[sql]

    def try_read(self, name, sql):
        self._called("try_read", name, sql)
        if not self.look_up:
            return self.found
        table, wanted = sql.split()[3], sql.split(" = ", 1)[1][1:-1].replace("''", "'")
        rows = {"tags_node": self.nodes, "tags_link": self.links}[table]
        return next((r for r in rows if str(r["id"]) == wanted), None)

    @staticmethod
    def ChangeSet(*records):
        return list(records)

    @staticmethod
    def DbChangeSet(redo_sql, undo_sql, redo_cs, undo_cs):
        return (redo_sql, undo_sql, redo_cs, undo_cs)

    def execute_command(self, name, db_cs):
        self._called("execute_command", name, db_cs)
        return db_cs

    def answer(self, name):
        """What this double binds to a database name."""
        return self.prefix if name == "g_update_prefix" else getattr(self, name)

    def bind(self, *modules, monkeypatch=None, names=NAMES):
        """Binds `names` of this double into each module: through monkeypatch,
        undone after the test, or straight into its globals."""
        for module in modules:
            for name in names:
                if monkeypatch is None:
                    vars(module)[name] = self.answer(name)
                else:
                    monkeypatch.setattr(module, name, self.answer(name))
        return self


class Boom(Exception):
    """The error a hostile value raises."""


def hostile(name="Hostile", **methods):
    """An object whose special methods (`ne=False` for __ne__) return the
    given values, or raise them when they are exceptions."""

    def method(value):
        def answer(self, *args):
            if isinstance(value, BaseException):
                raise value
            return value
        return answer

    return type(name, (), {f"__{m}__": method(v) for m, v in methods.items()})()


class Ops:
    """A change set: the operations alone."""

    def __init__(self, *operations):
        self.operations = list(operations)


def op(t_type="NODE", id="J1", tag="x"):
    return {"t_type": t_type, "id": id, "tag": tag}
