"""Every callable of api.orvane on its success and error paths, small enough
to run under valgrind: the module against a real in-memory database, every
argument error, and the catalogue of hostile objects of tests/test_hostile.py.

    valgrind ... python tools/memcheck_calls.py [ROUNDS [REQUESTS.so]]

Each call's result or exception is checked as it goes; a wrong one ends the
run with a message and exit status 1. With REQUESTS.so (tools/
valgrind_requests.c, built), memcheck's leak check runs when the program
begins to exit, while the interpreter's own objects are all alive, so that
what it finds lost was lost by the calls.
"""

import atexit
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "tests")]

import api.orvane as orvane  # noqa: E402
from api import database as db  # noqa: E402

calls = 0


def check(label, f, expect=None, raises=None):
    """Calls f(); it must return `expect` (when given) or raise `raises`."""
    global calls
    calls += 1
    try:
        got = f()
    except Exception as e:
        if raises is not None and isinstance(e, raises):
            return None
        sys.exit(f"memcheck_calls.py: {label}: raised {type(e).__name__}: {e}")
    if raises is not None:
        sys.exit(f"memcheck_calls.py: {label}: returned {got!r}, expected {raises.__name__}")
    if expect is not None and got != expect:
        sys.exit(f"memcheck_calls.py: {label}: returned {got!r}, expected {expect!r}")
    return got


class Ops:
    def __init__(self, *operations):
        self.operations = list(operations)


def real_database():
    db.set_data_dir(db.MEMORY)
    db.create_network("net")
    for line in ["NODE J1 north", "node J2 O'Neil", "LINK P1 Main", "l\u0131nk P2 \u6c34;x",
                 "  NODE\tJ3  \u00e9t\u00e9  extra words", "TANK T1 x"]:
        statement = check("inp_in_tag", lambda: orvane.inp_in_tag(line))
        if statement:
            db.execute_batch("net", statement)
    for line in ["", "NODE", "NODE J1", "\u3000\u2028"]:
        check("inp_in_tag short", lambda: orvane.inp_in_tag(line), raises=IndexError)

    check("get_tag_schema", lambda: orvane.get_tag_schema("net")["tag"]["optional"], True)
    check("get_tags", lambda: len(orvane.get_tags("net")), 5)
    check("get_tag node", lambda: orvane.get_tag("net", "NODE", "J2")["tag"], "O'Neil")
    check("get_tag link", lambda: orvane.get_tag("net", "LINK", "P2")["tag"], "\u6c34;x")
    check("get_tag missing", lambda: orvane.get_tag("net", "NODE", "nobody' or '1'='1")["tag"])
    check("get_tag other type", lambda: orvane.get_tag("net", "node", "J1")["tag"])
    check("get_tag no network", lambda: orvane.get_tag("nonet", "NODE", "J1"), raises=LookupError)
    check("inp_out_tag", lambda: orvane.inp_out_tag("net")[0], "NODE J1 north")

    t = check("Tag", lambda: orvane.Tag({"t_type": "NODE", "id": 12, "tag": 0, "x": 1}))
    check("as_dict", t.as_dict, {"type": "tag", "t_type": "NODE", "id": "12", "tag": "0"})
    check("Tag missing id", lambda: orvane.Tag({"t_type": "NODE"}), raises=KeyError)

    for operation in [{"t_type": "NODE", "id": "J1", "tag": "south"},
                      {"t_type": "LINK", "id": "P9", "tag": "new 'one'"},
                      {"t_type": "NODE", "id": "J2", "tag": None},
                      {"t_type": "NODE", "id": "J3"}]:
        check("set_tag", lambda: orvane.set_tag("net", Ops(operation)))
    check("undo", lambda: db.undo("net"))
    check("_set_tag", lambda: orvane._set_tag("net", Ops({"t_type": "LINK", "id": "P1", "tag": ""})))
    for bad, exc in [(Ops({"t_type": "Node", "id": "J1", "tag": "x"}), Exception),
                     (Ops({"t_type": "NODE", "id": 5, "tag": "x"}), TypeError),
                     (Ops({"t_type": "NODE", "tag": "x"}), KeyError),
                     (Ops(), IndexError), (object(), AttributeError)]:
        check("_set_tag error", lambda: orvane._set_tag("net", bad), raises=exc)
        if exc is not KeyError:  # set_tag turns an operation without an id away instead
            check("set_tag error", lambda: orvane.set_tag("net", bad), raises=exc)
    check("set_tag without id", lambda: len(orvane.set_tag("net", Ops({"tag": "x"}))), 0)

    check("delete row", lambda: len(orvane.delete_tag_by_node("net", "J1")), 1)
    check("delete no row", lambda: len(orvane.delete_tag_by_link("net", "P404")), 0)
    check("delete error", lambda: orvane.delete_tag_by_link("nonet", "P1"), raises=LookupError)
    db.delete_network("net")


ARITY = {"get_tag_schema": 1, "get_tags": 1, "get_tag": 3, "_set_tag": 2, "set_tag": 2,
         "inp_in_tag": 1, "inp_out_tag": 1, "delete_tag_by_node": 2, "delete_tag_by_link": 2}


def argument_errors():
    for name, n in ARITY.items():
        f = getattr(orvane, name)
        first = f.__code__.co_varnames[0]
        for args, kwargs in [((), {}), (("x",) * (n + 1), {}), (("x",) * n, {"zz": 1}),
                             (("x",) * n, {first: "x"}), ((None,) + ("x",) * (n - 1), {}),
                             ((), {"nam": "x"})]:
            check(f"{name} binding", lambda: f(*args, **kwargs), raises=TypeError)
    check("Tag binding", lambda: orvane.Tag(), raises=TypeError)
    check("Tag dict subclass", lambda: orvane.Tag(type("D", (dict,), {})()), raises=TypeError)
    check("as_dict binding", lambda: orvane.Tag({"t_type": "", "id": ""}).as_dict(1),
          raises=TypeError)
    check("keywords", lambda: orvane.get_tag(id="J1", t_type="TANK", name="net")["tag"])


def parametrised(test):
    """The keyword arguments of each case of a test function, as its
    parametrize marks give them."""
    cases = [{}]
    for mark in getattr(test, "pytestmark", []):
        if mark.name != "parametrize":
            continue
        names = [n.strip() for n in mark.args[0].split(",")]
        values = [getattr(v, "values", v) for v in mark.args[1]]
        cases = [dict(case, **dict(zip(names, v if len(names) > 1 else (v,))))
                 for case in cases for v in values]
    return cases


def hostile():
    """Every case of the catalogue of hostile objects, in this process; the
    module's globals are restored after each, as the tests' fixture does."""
    import test_hostile

    saved = dict(vars(orvane))
    for name, test in list(vars(test_hostile).items()):
        if not name.startswith("test_") or name == "test_in_a_child_interpreter":
            continue
        for kwargs in parametrised(test):
            check(f"hostile {name} {kwargs}", lambda: test(**kwargs) is None, True)
            vars(orvane).clear()
            vars(orvane).update(saved)


def leak_check(path):
    import ctypes
    import gc

    requests = ctypes.CDLL(path)
    requests.leak_check.restype = ctypes.c_ulong
    if not requests.on_valgrind():
        print("memcheck_calls.py: not running on valgrind; no leak check")
        return
    gc.collect()
    print(f"memcheck_calls.py: leak check at exit: {requests.leak_check()} bytes lost", flush=True)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 2
    if len(sys.argv) > 2:
        atexit.register(leak_check, sys.argv[2])
    for _ in range(rounds):
        real_database()
        argument_errors()
        hostile()
    print(f"memcheck_calls.py: {calls} calls in {rounds} rounds, all as expected")


if __name__ == "__main__":
    main()
