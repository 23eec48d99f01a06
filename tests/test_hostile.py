"""A catalogue of hostile objects: values, rows, change sets, prefixes and
callbacks whose special methods raise, return odd values, or change the
lists and module globals that a call is using. Each test names its expected
result or exception; the riskiest also run in a child interpreter, so that a
crash fails one test and not the run."""

import collections
import os
import re
import subprocess
import sys
import types

import pytest

import api
import api.orvane as orvane
from helpers import IMPLS, Boom, Database, Ops, hostile, op, rebound

def exactly(message):
    return "^" + re.escape(message) + "$"


def starting(message):
    """A message whose end names where it happened."""
    return "^" + re.escape(message)


def doubles(**names):
    """Binds plain doubles of the database module's names, then `names`."""
    Database(prefix={}).bind(orvane)
    vars(orvane).update(names)


# ---------------------------------------------------------------------------
# Hostile helpers: each special method raises, or returns what it was given.

class Text(str):
    pass


class Row:
    """A row read through __getitem__ alone; `hook` runs at each read."""

    def __init__(self, id="J1", tag="x", hook=None):
        self.values = {"id": id, "tag": tag}
        self.hook = hook

    def __getitem__(self, key):
        if self.hook:
            self.hook(self, key)
        return self.values[key]


class Contains(dict):
    """An operation whose `in` answers `answer(key)`."""

    def __init__(self, answer, **fields):
        super().__init__(**fields)
        self.answer = answer

    def __contains__(self, key):
        return self.answer(key)


def raise_(e):
    raise e


# ---------------------------------------------------------------------------
# __eq__

def test_eq_raising_type_constant_in_get_tag():
    doubles(TAG_TYPE_NODE=hostile(eq=Boom("eq")))
    with pytest.raises(Boom, match=exactly("eq")):
        orvane.get_tag("net", "NODE", "J1")


def test_eq_raising_type_constant_in_inp_in_tag():
    doubles(TAG_TYPE_NODE=hostile(eq=Boom("eq")))
    with pytest.raises(Boom, match=exactly("eq")):
        orvane.inp_in_tag("node J1 x")


def test_eq_returning_a_value_whose_truth_raises():
    doubles(TAG_TYPE_NODE=hostile(eq=hostile(bool=Boom("bool"))))
    with pytest.raises(Boom, match=exactly("bool")):
        orvane.get_tag("net", "NODE", "J1")


def test_eq_returning_a_truthy_number():
    doubles(TAG_TYPE_NODE=hostile(eq=1), try_read=lambda name, sql: {"id": "J7", "tag": "found"})
    got = orvane.get_tag("net", "NODE", "J1")
    assert got == {"t_type": "NODE", "id": "J7", "tag": "found"}


def test_eq_returning_an_empty_list_is_false():
    doubles(TAG_TYPE_NODE=hostile(eq=[]), TAG_TYPE_LINK=hostile(eq=[0]))
    got = orvane.inp_in_tag("node J1 x")
    assert got == "insert into tags_link (id, tag) values ('J1', 'x');"


def test_eq_raising_operation_type():
    doubles(get_tag=lambda name, t_type, id: {"t_type": "NODE", "id": "J1", "tag": None})
    with pytest.raises(Boom, match=exactly("eq")):
        orvane._set_tag("net", Ops(op(t_type=hostile(eq=Boom("eq")))))


# ---------------------------------------------------------------------------
# __ne__

def test_ne_raising_row_tag_in_get_tags():
    doubles(read_all=lambda name, sql: [{"id": "J1", "tag": hostile(ne=Boom("ne"), str="ne")}])
    with pytest.raises(Boom, match=exactly("ne")):
        orvane.get_tags("net")


def test_ne_false_reads_as_no_tag():
    rows = {"select * from tags_node": [{"id": "J1", "tag": hostile(ne=False, str="ne")}]}
    doubles(read_all=lambda name, sql: rows.get(sql, []))
    got = orvane.get_tags("net")
    assert got == [{"t_type": "NODE", "id": "J1", "tag": None}]


def test_ne_returning_a_value_whose_truth_raises_in_tag():
    with pytest.raises(Boom, match=exactly("bool")):
        vars(orvane.Tag({"t_type": "NODE", "id": "J1", "tag": hostile(ne=hostile(bool=Boom("bool")))}))


def test_ne_is_not_asked_by_get_tag():
    doubles(try_read=lambda name, sql: {"id": "J1", "tag": hostile(ne=Boom("ne"), str="ne")})
    got = orvane.get_tag("net", "NODE", "J1")
    assert got == {"t_type": "NODE", "id": "J1", "tag": "ne"}


def test_ne_is_not_asked_by_inp_out_tag():
    rows = {"select * from tags_node": [{"id": "J1", "tag": hostile(ne=Boom("ne"), str="ne")}]}
    doubles(read_all=lambda name, sql: rows.get(sql, []))
    got = orvane.inp_out_tag("net")
    assert got == ["NODE J1 ne"]


# ---------------------------------------------------------------------------
# __bool__

def schema_with(readonly):
    return lambda name: {"tag": {"readonly": readonly}}


def test_bool_raising_readonly():
    doubles(get_tag_schema=schema_with(hostile(bool=Boom("bool"))))
    with pytest.raises(Boom, match=exactly("bool")):
        orvane._set_tag("net", Ops(op()))


def test_bool_returning_an_int():
    doubles(get_tag_schema=schema_with(hostile(bool=2)))
    with pytest.raises(TypeError, match=exactly("__bool__ should return bool, returned int")):
        orvane._set_tag("net", Ops(op()))


def test_readonly_true_keeps_the_stored_tag():
    doubles(get_tag_schema=schema_with(hostile(bool=True)))
    got = orvane._set_tag("net", Ops(op()))[:2]
    assert got == ("delete from tags_node where id = 'J1';", "delete from tags_node where id = 'J1';")


# ---------------------------------------------------------------------------
# __str__

def test_str_raising_row_id():
    doubles(read_all=lambda name, sql: [{"id": hostile(str=Boom("str")), "tag": "x"}])
    with pytest.raises(Boom, match=exactly("str")):
        orvane.get_tags("net")


def test_str_returning_an_int():
    with pytest.raises(TypeError, match=exactly("__str__ returned non-string (type int)")):
        orvane.Tag({"t_type": hostile(str=5), "id": "J1"})


def test_str_returning_a_str_subclass():
    t = orvane.Tag({"t_type": "NODE", "id": hostile(str=Text("J\u00e9"))})
    got = type(t.id), t.f_id, t.f_tag
    assert got == (Text, "'J\u00e9'", "null")


def test_str_emptying_the_input_mid_call():
    class Clearing:
        def __str__(self):
            input.clear()
            return "J1"

    input = {"t_type": "NODE", "tag": "x", "id": Clearing()}
    t = orvane.Tag(input)
    got = {"tag": t.tag, "f_tag": t.f_tag}
    assert got == {"tag": None, "f_tag": "null"}


# ---------------------------------------------------------------------------
# __format__

def test_format_raising_row_id():
    doubles(read_all=lambda name, sql: [{"id": hostile(format=Boom("format")), "tag": "x"}])
    with pytest.raises(Boom, match=exactly("format")):
        orvane.inp_out_tag("net")


def test_format_returning_an_int():
    doubles(read_all=lambda name, sql: [{"id": "J1", "tag": hostile(format=5)}])
    with pytest.raises(TypeError, match=exactly("__format__ must return a str, not int")):
        orvane.inp_out_tag("net")


def test_format_of_a_rebound_type_constant():
    doubles(read_all=lambda name, sql: [{"id": "J1", "tag": "x"}],
            TAG_TYPE_NODE=hostile(format="N"), TAG_TYPE_LINK=hostile(format="N"))
    got = orvane.inp_out_tag("net")
    assert got == ["N J1 x", "N J1 x"]


# ---------------------------------------------------------------------------
# __getitem__

def test_getitem_raising_row():
    doubles(read_all=lambda name, sql: [Row(hook=lambda row, key: raise_(Boom("getitem")))])
    with pytest.raises(Boom, match=exactly("getitem")):
        orvane.get_tags("net")


def test_dict_subclass_row_is_read_through_its_getitem():
    class Upper(dict):
        def __getitem__(self, key):
            return key.upper()

    rows = {"select * from tags_node": [Upper(id="J1", tag="x")]}
    doubles(read_all=lambda name, sql: rows.get(sql, []))
    got = orvane.get_tags("net")
    assert got == [{"t_type": "NODE", "id": "ID", "tag": "TAG"}]


def test_dict_row_without_tag():
    doubles(read_all=lambda name, sql: [{"id": "J1"}])
    with pytest.raises(KeyError, match=exactly("'tag'")):
        orvane.get_tags("net")


def test_dict_row_with_a_key_whose_eq_raises():
    class Key:
        def __eq__(self, other):
            raise Boom("eq")

        def __hash__(self):
            return hash("tag")

    doubles(read_all=lambda name, sql: [{"id": "J1", Key(): "x"}])
    with pytest.raises(Boom, match=exactly("eq")):
        orvane.get_tags("net")


def test_getitem_raising_operations():
    class Operations:
        def __getitem__(self, index):
            raise Boom("operations")

    cs = Ops()
    cs.operations = Operations()
    doubles()
    with pytest.raises(Boom, match=exactly("operations")):
        orvane.set_tag("net", cs)


def test_operation_type_changing_between_reads():
    class Shifty(dict):
        reads = 0

        def __getitem__(self, key):
            if key != "t_type":
                return super().__getitem__(key)
            Shifty.reads += 1
            return "NODE" if Shifty.reads <= 3 else "TANK"

    doubles()
    with pytest.raises(Exception, match=exactly("Only support NODE and Link")):
        orvane._set_tag("net", Ops(Shifty(op())))


# ---------------------------------------------------------------------------
# __iter__ and __next__

def test_iter_raising_rows():
    doubles(read_all=lambda name, sql: hostile(iter=Boom("iter")))
    with pytest.raises(Boom, match=exactly("iter")):
        orvane.get_tags("net")


def test_iter_returning_a_non_iterator():
    doubles(read_all=lambda name, sql: hostile(iter=5))
    with pytest.raises(TypeError, match=exactly("iter() returned non-iterator of type 'int'")):
        orvane.inp_out_tag("net")


def test_rows_not_iterable():
    doubles(read_all=lambda name, sql: 5)
    with pytest.raises(TypeError, match=exactly("'int' object is not iterable")):
        orvane.get_tags("net")


class Cursor:
    """An iterator that yields `rows`, then raises `end`."""

    def __init__(self, rows, end):
        self.rows, self.end = list(rows), end

    def __iter__(self):
        return self

    def __next__(self):
        if self.rows:
            return self.rows.pop(0)
        raise self.end


def test_next_raising_midway():
    calls = []

    def read_all(name, sql):
        calls.append(sql)
        return Cursor([{"id": "J1", "tag": "x"}], Boom("next"))

    doubles(read_all=read_all)
    with pytest.raises(Boom, match="^next$"):
        orvane.get_tags("net")
    assert calls == ["select * from tags_node"]


def test_next_stopping_at_once():
    doubles(read_all=lambda name, sql: Cursor([], StopIteration()))
    got = orvane.inp_out_tag("net")
    assert got == []


def test_schema_items_raising_on_iteration():
    class Schema:
        def items(self):
            return hostile(iter=Boom("items"))

    doubles(get_tag_schema=lambda name: Schema())
    with pytest.raises(Boom, match=exactly("items")):
        orvane._set_tag("net", Ops(op()))


# ---------------------------------------------------------------------------
# __contains__

def test_contains_raising():
    doubles()
    with pytest.raises(Boom, match=exactly("contains")):
        orvane.set_tag("net", Ops(Contains(lambda key: raise_(Boom("contains")), **op())))


def test_contains_returning_a_value_whose_truth_raises():
    doubles()
    with pytest.raises(Boom, match=exactly("bool")):
        orvane.set_tag("net", Ops(Contains(lambda key: hostile(bool=Boom("bool")), **op())))


def test_contains_returning_zero():
    doubles()
    got = orvane.set_tag("net", Ops(Contains(lambda key: 0, **op())))
    assert got == []


def test_contains_raising_during_the_take_over():
    doubles()
    cs = Ops(Contains(lambda key: key != "tag" or raise_(Boom("tag")), **op()))
    with pytest.raises(Boom, match=exactly("tag")):
        orvane._set_tag("net", cs)


# ---------------------------------------------------------------------------
# __or__ and a g_update_prefix that is not a dict

FOUND = {"id": "J1", "tag": "x"}


def test_or_raising_prefix():
    doubles(try_read=lambda name, sql: FOUND, g_update_prefix=hostile("Prefix", **{"or": Boom("or")}))
    with pytest.raises(Boom, match=exactly("or")):
        orvane.delete_tag_by_node("net", "J1")


def test_or_returning_a_number():
    doubles(try_read=lambda name, sql: FOUND, g_update_prefix=hostile("Prefix", **{"or": 42}))
    got = orvane.delete_tag_by_link("net", "P1")
    assert got == [42]


def test_or_returning_not_implemented():
    doubles(try_read=lambda name, sql: FOUND, g_update_prefix=hostile("Prefix", **{"or": NotImplemented}))
    with pytest.raises(TypeError, match=exactly("unsupported operand type(s) for |: 'Prefix' and 'dict'")):
        orvane.delete_tag_by_node("net", "J1")


@pytest.mark.parametrize("prefix", [[("a", 1)], None, 5, {"a"}, "a"])
def test_prefix_that_cannot_unite_with_a_dict(prefix):
    doubles(try_read=lambda name, sql: FOUND, g_update_prefix=prefix)
    message = f"unsupported operand type(s) for |: '{type(prefix).__name__}' and 'dict'"
    for f in (lambda: orvane.delete_tag_by_node("net", "J1"),
              lambda: orvane._set_tag("net", Ops(op()))):
        with pytest.raises(TypeError, match=exactly(message)):
            f()


def test_ordered_dict_prefix():
    doubles(try_read=lambda name, sql: FOUND,
            g_update_prefix=collections.OrderedDict([("tag", "kept"), ("a", 1)]))
    [record] = orvane.delete_tag_by_node("net", "J1")
    got = type(record), list(record.items())
    assert got == (collections.OrderedDict, [("tag", None), ("a", 1), ("type", "tag"), ("t_type", "NODE"),
                                 ("id", "J1")])


def test_mapping_proxy_prefix():
    doubles(g_update_prefix=types.MappingProxyType({"a": 1}))
    _, _, [redo], _ = orvane._set_tag("net", Ops(op("LINK", "P1")))
    got = type(redo), redo
    assert got == (dict, {"a": 1, "type": "tag", "t_type": "LINK", "id": "P1", "tag": "x"})


# ---------------------------------------------------------------------------
# Lists shortened or grown by a row's own code mid-walk

# What a row's code does to its list when its tag is read: the walk goes by
# position and reads the length again at each step, as a for loop does.
MID_WALK = {
    "cleared": (lambda rows: rows.clear(), ["J1"]),
    "grown": (lambda rows: rows.append(Row("J4", "d")), ["J1", "J2", "J3", "J4"]),
    "shortened": (lambda rows: rows.__delitem__(slice(1, None)), ["J1"]),
    "replaced": (lambda rows: rows.__setitem__(slice(1, None), [Row("J9", "z")]), ["J1", "J9"]),
    "first popped": (lambda rows: rows.pop(0), ["J1", "J3"]),
}


@pytest.mark.parametrize("change", MID_WALK)
@pytest.mark.parametrize("call", ["get_tags", "inp_out_tag"])
def test_list_changed_mid_walk_by_its_first_row(call, change):
    hook, ids = MID_WALK[change]
    got = {}
    for impl, mod in IMPLS.items():
        rows = []
        rows.extend([Row("J1", "a", hook=lambda row, key: key == "tag" and hook(rows)),
                     Row("J2", "b"), Row("J3", "c")])
        with rebound(read_all=lambda name, sql: rows if "node" in sql else []):
            got[impl] = getattr(mod, call)("net")
    assert got["orvane"] == got["python"]
    assert [r["id"] if call == "get_tags" else r.split()[1] for r in got["orvane"]] == ids


def test_row_removing_itself_from_the_only_list_that_holds_it():
    rows = []

    def remove(row, key):
        if key == "tag":
            rows.remove(row)

    rows.append(Row(hook=remove))
    doubles(read_all=lambda name, sql: rows if "node" in sql else [])
    got = orvane.get_tags("net")
    assert got == [{"t_type": "NODE", "id": "J1", "tag": "x"}]


def test_schema_items_cleared_mid_walk():
    items = []

    class Readonly:
        def __bool__(self):
            items.clear()
            return True

    items.extend([("t_type", {"readonly": Readonly()}), ("id", {"readonly": False}),
                  ("tag", {"readonly": False})])

    class Schema:
        def items(self):
            return items

    doubles(get_tag_schema=lambda name: Schema())
    got = orvane._set_tag("net", Ops(op()))[:2]
    assert got == ("delete from tags_node where id = 'J1';", "delete from tags_node where id = 'J1';")


# ---------------------------------------------------------------------------
# Module globals deleted or rebound by a callback during a call

def test_read_all_deleting_a_type_constant():
    def read_all(name, sql):
        del orvane.TAG_TYPE_NODE
        return [{"id": "J1", "tag": "x"}]

    doubles(read_all=read_all)
    with pytest.raises(NameError, match=exactly("name 'TAG_TYPE_NODE' is not defined")):
        orvane.get_tags("net")


def test_read_all_rebinding_a_type_constant():
    def read_all(name, sql):
        orvane.TAG_TYPE_NODE = "X"
        return [{"id": "J1", "tag": "x"}]

    doubles(read_all=read_all)
    got = orvane.inp_out_tag("net")
    assert got == ["X J1 x", "LINK J1 x"]


def test_try_read_deleting_tag_during_an_update():
    def try_read(name, sql):
        vars(orvane).pop("Tag", None)

    doubles(try_read=try_read)
    with pytest.raises(NameError, match=exactly("name 'Tag' is not defined")):
        orvane._set_tag("net", Ops(op()))


def test_try_read_clearing_every_global():
    def try_read(name, sql):
        vars(orvane).clear()

    doubles(try_read=try_read)
    with pytest.raises(NameError, match=exactly("name 'get_tag' is not defined")):
        orvane._set_tag("net", Ops(op()))


def test_contains_deleting_the_builder():
    def answer(key):
        vars(orvane).pop("_set_tag", None)
        return True

    doubles()
    with pytest.raises(NameError, match=exactly("name '_set_tag' is not defined")):
        orvane.set_tag("net", Ops(Contains(answer, **op())))


def test_try_read_rebinding_the_schema_to_a_number():
    def try_read(name, sql):
        orvane.get_tag_schema = 5

    doubles(try_read=try_read)
    with pytest.raises(TypeError, match=exactly("'int' object is not callable")):
        orvane._set_tag("net", Ops(op()))


def test_change_set_deleting_itself_while_called():
    def change_set(*records):
        del orvane.ChangeSet
        return list(records)

    doubles(try_read=lambda name, sql: FOUND, ChangeSet=change_set)
    got = orvane.delete_tag_by_node("net", "J1")
    assert got == [{"type": "tag", "t_type": "NODE", "id": "J1", "tag": None}]


def test_threads_walking_rows_while_another_rebinds_and_shrinks():
    import threading
    import time

    class Yielding:
        def __str__(self):
            time.sleep(0)  # lets the other threads run mid-walk
            return "s"

    rows = [{"id": Yielding(), "tag": Yielding()} for _ in range(20)]
    doubles(read_all=lambda name, sql: rows)

    def churn():
        for _ in range(300):
            vars(orvane).pop("TAG_TYPE_NODE", None)
            orvane.TAG_TYPE_NODE = "NODE"
            rows.append({"id": Yielding(), "tag": None})
            del rows[:2]
            time.sleep(0)

    def walk():
        for _ in range(30):
            for f in (orvane.get_tags, orvane.inp_out_tag):
                try:
                    f("net")
                except NameError:
                    pass

    threads = [threading.Thread(target=walk) for _ in range(3)] + [threading.Thread(target=churn)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    got = "survived"
    assert got == "survived"


# ---------------------------------------------------------------------------
# operations changing between reads

class Shifting:
    """A change set whose `operations` is the next of `values` at each read."""

    def __init__(self, *values):
        self.values = list(values)

    @property
    def operations(self):
        value = self.values.pop(0) if len(self.values) > 1 else self.values[0]
        if isinstance(value, Exception):
            raise value
        return value


def test_operations_emptied_after_the_first_read():
    doubles()
    with pytest.raises(IndexError, match=exactly("list index out of range")):
        orvane.set_tag("net", Shifting([op()], []))


def test_operation_losing_its_id_after_the_checks():
    doubles()
    with pytest.raises(KeyError, match=exactly("'id'")):
        orvane.set_tag("net", Shifting([op()], [op()], [op()], [{"t_type": "NODE"}]))


def test_operations_raising_on_the_fourth_read():
    doubles()
    with pytest.raises(Boom, match=exactly("fourth read")):
        orvane.set_tag("net", Shifting([op()], [op()], [op()], Boom("fourth read")))


def test_operations_that_cannot_be_indexed():
    doubles()
    cs = Ops()
    cs.operations = (o for o in [op()])
    with pytest.raises(TypeError, match=exactly("'generator' object is not subscriptable")):
        orvane._set_tag("net", cs)


def test_operations_as_a_mapping_of_index_zero():
    doubles()
    cs = Ops()
    cs.operations = {0: op("LINK", "P1", "y")}
    got = orvane._set_tag("net", cs)[:2]
    assert got == ("delete from tags_link where id = 'P1';\ninsert into tags_link (id, tag) values ('P1', 'y');",
       "delete from tags_link where id = 'P1';")


# ---------------------------------------------------------------------------
# Keywords, instances and recursion

def test_keyword_names_that_are_hostile_str_subclasses():
    class Name(str):
        def __eq__(self, other):
            raise Boom("eq")

        def __hash__(self):
            return str.__hash__(self)

    doubles()
    got = orvane.get_tag(**{Name("name"): "net", Name("t_type"): "NODE", Name("id"): "J1"})
    assert got == {"t_type": "NODE", "id": "J1", "tag": None}


def test_init_on_an_instance_without_attributes():
    with pytest.raises(AttributeError, match=exactly("'int' object has no attribute 'type'")):
        orvane.Tag.__init__(5, {"t_type": "NODE", "id": "J1"})


def test_init_on_an_instance_that_stores_numbers():
    class Counting:
        def __setattr__(self, name, value):
            object.__setattr__(self, name, len(str(value)))

    with pytest.raises(TypeError, match=exactly('can only concatenate str (not "int") to str')):
        orvane.Tag.__init__(Counting(), {"t_type": "NODE", "id": "J1"})


def test_init_on_an_instance_that_stores_str_subclasses():
    # A subclass text keeps its characters apart from the object; the quoted
    # forms are read from such texts alike.
    class Storing:
        def __setattr__(self, name, value):
            if isinstance(value, str) and not name.startswith("f_"):
                value = Text(value.replace("tag", "t\u00e4g's"))
            object.__setattr__(self, name, value)

    t = Storing()
    orvane.Tag.__init__(t, {"t_type": "NODE", "id": "J'1 \U0001f30a", "tag": "a'b"})
    got = t.f_type, t.f_id, t.f_tag, type(t.id)
    assert got == ("'t\u00e4g''s'", "'J''1 \U0001f30a'", "'a''b'", Text)


def test_as_dict_on_a_bare_object():
    with pytest.raises(AttributeError, match=exactly("'object' object has no attribute 'type'")):
        orvane.Tag.as_dict(object())


def test_row_calling_get_tags_from_its_text_form_without_end():
    class Deep:
        def __str__(self):
            return str(orvane.get_tags("net"))

    doubles(read_all=lambda name, sql: [{"id": Deep(), "tag": "x"}])
    with pytest.raises(RecursionError, match=starting("maximum recursion depth exceeded")):
        orvane.get_tags("net")


# ---------------------------------------------------------------------------

@pytest.fixture(autouse=True)
def restore_globals(monkeypatch):
    for name, value in list(vars(orvane).items()):
        monkeypatch.setitem(vars(orvane), name, value)


ISOLATED = ["list_changed_mid_walk_by_its_first_row('get_tags', 'cleared')",
            "list_changed_mid_walk_by_its_first_row('get_tags', 'replaced')",
            "row_removing_itself_from_the_only_list_that_holds_it()",
            "schema_items_cleared_mid_walk()", "try_read_clearing_every_global()",
            "threads_walking_rows_while_another_rebinds_and_shrinks()",
            "row_calling_get_tags_from_its_text_form_without_end()"]


@pytest.mark.parametrize("name", ISOLATED)
def test_in_a_child_interpreter(name):
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(api.__file__)))
    here = os.path.dirname(os.path.abspath(__file__))
    code = (f"import sys; sys.path[:0] = [{package_root!r}, {here!r}]\n"
            f"import test_hostile as t\n"
            f"t.test_{name}\n"
            f"print('same')\n")
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.strip() == "same"
