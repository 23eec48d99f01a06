"""The reads get_tags and get_tag against doubles of the database names: the
calls they make, how rows are walked and read, and what passes through."""

import sqlite3

import pytest

from api import orvane
from helpers import Boom, Calls, hostile

NODES, LINKS = "select * from tags_node", "select * from tags_link"


# Values whose != None, truth or text form misbehave.
NeverNe = hostile(ne=False, str="never")        # equal to everything: != None is false
NeRaises = hostile(ne=Boom("ne"), str="raises")
NeBadTruth = hostile(ne=hostile(bool=Boom("bool")))
StrRaises = hostile(str=Boom("str"))


class Row:
    """A row read by subscription that runs `hook` at its first read."""
    def __init__(self, id, tag, hook=None):
        self.values, self.hook = {"id": id, "tag": tag}, hook

    def __getitem__(self, key):
        hook, self.hook = self.hook, None
        if hook:
            hook()
        return self.values[key]


class Defaults(dict):
    def __missing__(self, key):
        return f"<{key}>"


def sqlite_row(id, tag):
    conn = sqlite3.connect(":memory:")
    conn.row_factory = sqlite3.Row
    return conn.execute("select ? as id, ? as tag", (id, tag)).fetchone()


@pytest.fixture
def calls(monkeypatch):
    return Calls(monkeypatch)


def tables(calls, nodes=(), links=()):
    calls.bind("read_all", lambda name, sql: {NODES: nodes, LINKS: links}[sql])


def stored(calls, row):
    calls.bind("try_read", lambda name, sql: row)


def raise_(error):
    raise error


class TestGetTagsCalls:
    def test_empty_tables_read_nodes_then_links(self, calls):
        name = "".join(["ne", "t"])
        tables(calls)
        assert orvane.get_tags(name) == []
        assert calls == [("read_all", ("net", NODES)), ("read_all", ("net", LINKS))]
        assert all(args[0] is name for _, args in calls)

    def test_links_are_read_after_the_node_rows_are_exhausted(self, calls):
        def nodes():
            for i in range(2):
                calls.append(("yield", i))
                yield {"id": f"J{i}", "tag": None}
            calls.append(("exhausted", ()))
        tables(calls, nodes(), [{"id": "P1", "tag": "x"}])
        result = orvane.get_tags("net")
        assert [name for name, _ in calls] == ["read_all", "yield", "yield", "exhausted", "read_all"]
        assert [list(d.items()) for d in result] == [
            [("t_type", "NODE"), ("id", "J0"), ("tag", None)],
            [("t_type", "NODE"), ("id", "J1"), ("tag", None)],
            [("t_type", "LINK"), ("id", "P1"), ("tag", "x")]]


class TestGetTagsRows:
    @pytest.mark.parametrize("raw, tag", [
        (None, None), ("", ""), ("north", "north"), (0, "0"), (2.5, "2.5"), (NeverNe, None)])
    def test_tag_is_tested_with_not_equal_none(self, calls, raw, tag):
        tables(calls, [{"id": 7, "tag": raw}])
        assert orvane.get_tags("net") == [{"t_type": "NODE", "id": "7", "tag": tag}]

    @pytest.mark.parametrize("row, id, tag", [
        (Defaults(id="J1"), "J1", "<tag>"),
        (sqlite_row("J1", None), "J1", None),
        (Row(3, "t"), "3", "t")])
    def test_other_rows_use_general_subscription(self, calls, row, id, tag):
        tables(calls, [row])
        assert orvane.get_tags("net") == [{"t_type": "NODE", "id": id, "tag": tag}]

    def test_exact_dict_missing_column(self, calls):
        tables(calls, [{"id": "J1"}])
        with pytest.raises(KeyError) as e:
            orvane.get_tags("net")
        assert e.value.args == ("tag",)

    @pytest.mark.parametrize("row, boom", [
        ({"id": "J1", "tag": NeRaises}, "ne"), ({"id": "J1", "tag": NeBadTruth}, "bool"),
        ({"id": StrRaises, "tag": None}, "str"), ({"id": "J1", "tag": StrRaises}, "str")])
    def test_errors_of_values_pass_unchanged(self, calls, row, boom):
        tables(calls, [row], [{"id": "P1", "tag": None}])
        with pytest.raises(Boom, match=f"^{boom}$"):
            orvane.get_tags("net")
        assert [args[1] for _, args in calls] == [NODES]


class TestGetTagsWalk:
    def test_list_subclass_is_walked_by_its_own_iterator(self, calls):
        class Reversed(list):
            def __iter__(self):
                return reversed(self)
        tables(calls, Reversed([{"id": "J1", "tag": None}, {"id": "J2", "tag": None}]))
        assert [d["id"] for d in orvane.get_tags("net")] == ["J2", "J1"]

    @pytest.mark.parametrize("rows, message", [
        (5, "'int' object is not iterable"), (None, "'NoneType' object is not iterable")])
    def test_not_iterable(self, calls, rows, message):
        tables(calls, [], rows)
        with pytest.raises(TypeError, match=f"^{message}$"):
            orvane.get_tags("net")

    def test_error_while_iterating_passes_unchanged(self, calls):
        boom = Boom()

        def nodes():
            yield {"id": "J1", "tag": None}
            raise boom
        tables(calls, nodes())
        with pytest.raises(Boom) as e:
            orvane.get_tags("net")
        assert e.value is boom and len(calls) == 1


class TestGlobals:
    def test_constants_are_read_at_each_use(self, calls, monkeypatch):
        def nodes():
            yield {"id": "J1", "tag": None}
            monkeypatch.setattr(orvane, "TAG_TYPE_NODE", "KNOT")
            yield {"id": "J2", "tag": None}
        tables(calls, nodes())
        assert [d["t_type"] for d in orvane.get_tags("net")] == ["NODE", "KNOT"]

    def test_read_all_rebound_between_the_tables(self, calls, monkeypatch):
        def nodes():
            monkeypatch.setattr(orvane, "read_all", lambda *args: [{"id": "P9", "tag": "new"}])
            yield from ()
        tables(calls, nodes())
        assert orvane.get_tags("net") == [{"t_type": "LINK", "id": "P9", "tag": "new"}]

    def test_rebound_node_type_selects_the_node_table(self, calls, monkeypatch):
        monkeypatch.setattr(orvane, "TAG_TYPE_NODE", "KNOT")
        stored(calls, None)
        assert orvane.get_tag("net", "NODE", "J1")["tag"] is None
        assert orvane.get_tag("net", "KNOT", "J1")["tag"] is None
        assert calls == [("try_read", ("net", "select * from tags_node where id = 'J1'"))]

    @pytest.mark.parametrize("name, call", [
        ("read_all", lambda: orvane.get_tags("net")),
        ("try_read", lambda: orvane.get_tag("net", "NODE", "J1"))])
    def test_errors_of_the_database_pass_unchanged(self, calls, name, call):
        boom = Boom()
        calls.bind(name, lambda *args: raise_(boom))
        with pytest.raises(Boom) as e:
            call()
        assert e.value is boom


class TestGetTag:
    @pytest.mark.parametrize("t_type, table", [("NODE", "tags_node"), ("LINK", "tags_link")])
    @pytest.mark.parametrize("id, quoted", [
        ("J1", "'J1'"), ("O'Neil", "'O''Neil'"), ("", "''"), ("x' or '1'='1", "'x'' or ''1''=''1'")])
    def test_lookup_statement(self, calls, t_type, table, id, quoted):
        stored(calls, {"id": id, "tag": "north"})
        result = orvane.get_tag("net", t_type, id)
        assert list(result.items()) == [("t_type", t_type), ("id", id), ("tag", "north")]
        assert calls == [("try_read", ("net", f"select * from {table} where id = {quoted}"))]

    def test_no_row_gives_the_arguments(self, calls):
        t_type, id = "".join(["NO", "DE"]), "".join(["J", "1"])
        stored(calls, None)
        result = orvane.get_tag("net", t_type, id)
        assert result == {"t_type": "NODE", "id": "J1", "tag": None}
        assert result["t_type"] is t_type and result["id"] is id

    @pytest.mark.parametrize("t_type", ["node", "", "TANK", "NODE "])
    def test_other_types_make_no_call(self, calls, t_type):
        stored(calls, {"id": "J1", "tag": "x"})
        assert orvane.get_tag("net", t_type, "J1") == {"t_type": t_type, "id": "J1", "tag": None}
        assert calls == []

    @pytest.mark.parametrize("row, id, tag", [
        ({"id": 7, "tag": "a"}, "7", "a"), ({"id": "X", "tag": ""}, "X", ""),
        ({"id": "J1", "tag": 0}, "J1", "0"), ({"id": "J1", "tag": NeverNe}, "J1", "never"),
        ({"id": "J1", "tag": NeRaises}, "J1", "raises"), (Defaults(), "<id>", "<tag>"),
        (sqlite_row("J1", None), "J1", None)])
    def test_row_is_read_and_tag_tested_by_identity(self, calls, row, id, tag):
        stored(calls, row)
        assert orvane.get_tag("net", "NODE", "7") == {"t_type": "NODE", "id": id, "tag": tag}

    @pytest.mark.parametrize("row, key", [({"tag": "a"}, "id"), ({"id": "J1"}, "tag")])
    def test_exact_dict_missing_column(self, calls, row, key):
        stored(calls, row)
        with pytest.raises(KeyError) as e:
            orvane.get_tag("net", "NODE", "J1")
        assert e.value.args == (key,)

    def test_row_equal_to_none_is_still_a_row(self, calls):
        class EqualsAll(dict):
            def __eq__(self, other):
                return True
        stored(calls, EqualsAll(id="J1", tag="a"))
        assert orvane.get_tag("net", "NODE", "J1")["tag"] == "a"
