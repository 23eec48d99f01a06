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
