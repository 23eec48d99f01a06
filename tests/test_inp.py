"""INP tag lines: one line into the statement that inserts its tag
(inp_in_tag), and both tag tables out as tag lines (inp_out_tag).

Where it applies, the module is checked against a plain Python rendering of
the same rules."""

import sys

import pytest
from hypothesis import given, strategies as st

from api import database as db
from api import orvane as o
from helpers import Boom, Database, outcome, pyorvane

pytestmark = pytest.mark.filterwarnings("error")

# Every character that str.split() cuts at, Unicode ones included.
WHITESPACE = [c for c in map(chr, range(sys.maxunicode + 1)) if c.isspace()]
SELECT_NODE = "select * from tags_node"
SELECT_LINK = "select * from tags_link"


def node(id, tag):
    """The insert an ASCII line of a node gives (no quote to double)."""
    assert "'" not in id + tag
    return f"insert into tags_node (id, tag) values ('{id}', '{tag}');"


def link(id, tag):
    assert "'" not in id + tag
    return f"insert into tags_link (id, tag) values ('{id}', '{tag}');"


class Hostile:
    """Compares equal to what ``__eq__`` says, and records what it saw."""

    def __init__(self, eq):
        self.eq, self.seen = eq, []

    def __eq__(self, other):
        self.seen.append(other)
        return self.eq(other)

    __hash__ = None


def boom(*args):
    raise Boom("boom")


class TestInpInTag:
    @pytest.mark.parametrize("line, expected", [
        ("NODE J1 Zone1", node("J1", "Zone1")),
        ("  link   P7\tMain  ", link("P7", "Main")),
        ("node J1 Zone1", node("J1", "Zone1")),
        ("NODE j1 zone1", node("j1", "zone1")),
        ("NODE J1 Zone1 ;lower zone", node("J1", "Zone1")),
        ("NODE J1 North Zone", node("J1", "North")),
        ("NODE J1 Zone1;x", node("J1", "Zone1;x")),
        ("NODE J1 ;x", node("J1", ";x")),
        ("TANK T1 x", ""),
        (";NODE J1 x", ""),
        ("NODE J1 O'Hare", "insert into tags_node (id, tag) values ('J1', 'O''Hare');"),
        ("LINK it's ''", "insert into tags_link (id, tag) values ('it''s', '''''');"),
        (" NODE \tJ511            \tDMA2\r\n", node("J511", "DMA2")),
        ("NODE J1 a\0b", node("J1", "a\0b")),
        ("NODE J\ud800 \udfff", node("J\ud800", "\udfff")),
        ("lınk P1 x", link("P1", "x")),           # dotless i upper-cases to I
        ("lin\u212a P1 x", ""),                     # the Kelvin sign stays itself
        ("NODE\u3000J1\u2028Zone\u00a01", node("J1", "Zone")),
    ])
    def test_line(self, line, expected):
        result = o.inp_in_tag(line)
        assert type(result) is str
        assert result == expected == pyorvane.inp_in_tag(line)

    @pytest.mark.parametrize("ws", WHITESPACE, ids=lambda c: f"U+{ord(c):04X}")
    def test_every_whitespace_separates(self, ws):
        line = f"{ws}node{ws}J{ws}{ws}1 é{ws}"
        assert o.inp_in_tag(line) == node("J", "1") == pyorvane.inp_in_tag(line)

    @given(st.lists(st.one_of(
        st.sampled_from(["NODE", "node", "LiNk", "lınk", "TANK", ";", "'", "ß", "\0", "\ud800"]),
        st.text(max_size=4)), max_size=5), st.lists(st.sampled_from(WHITESPACE), min_size=6))
    def test_agrees_with_python(self, words, gaps):
        line = "".join(g + w for g, w in zip(gaps, words + [""]))
        assert outcome(o.inp_in_tag, line) == outcome(pyorvane.inp_in_tag, line)

    @pytest.mark.parametrize("line", ["", "   ", "\t\r\n", "NODE", "NODE J1", "TANK T1",
                                      "x y", "\u3000LINK\u2029P1\x1c"])
    def test_too_few_tokens(self, line):
        before = sys.getrefcount(line)
        with pytest.raises(IndexError, match=r"^list index out of range$"):
            o.inp_in_tag(line)
        assert sys.getrefcount(line) == before


class TestInpInTagConstants:
    """The type constants are looked up at every call and compared with ==."""

    def test_rebound_text(self, monkeypatch):
        monkeypatch.setattr(o, "TAG_TYPE_NODE", "STRASSE")
        assert o.inp_in_tag("straße J1 x") == node("J1", "x")
        assert o.inp_in_tag("NODE J1 x") == ""
        assert o.inp_in_tag("link P1 x") == link("P1", "x")

    def test_object_with_custom_eq(self, monkeypatch):
        word = Hostile(lambda other: other in ("NODE", "ZONE"))
        monkeypatch.setattr(o, "TAG_TYPE_NODE", word)
        assert o.inp_in_tag("zone J1 x") == node("J1", "x")
        assert o.inp_in_tag("Link P1 x") == link("P1", "x")
        assert o.inp_in_tag("tank T1 x") == ""
        assert word.seen == ["ZONE", "LINK", "TANK"]

    def test_no_equality_is_no_match(self, monkeypatch):
        monkeypatch.setattr(o, "TAG_TYPE_LINK", object())
        assert o.inp_in_tag("LINK P1 x") == ""

    @pytest.mark.parametrize("line", ["NODE J1 x", "LINK P1 x", "TANK T1 x"])
    def test_errors_of_the_comparison_propagate(self, monkeypatch, line):
        monkeypatch.setattr(o, "TAG_TYPE_NODE", Hostile(boom))
        with pytest.raises(Boom):
            o.inp_in_tag(line)

    def test_errors_of_the_truth_test_propagate(self, monkeypatch):
        class Falsy:
            def __bool__(self):
                raise Boom("no truth")

        monkeypatch.setattr(o, "TAG_TYPE_LINK", Hostile(lambda other: Falsy()))
        assert o.inp_in_tag("NODE J1 x") == node("J1", "x")
        with pytest.raises(Boom, match="^no truth$"):
            o.inp_in_tag("LINK P1 x")



@pytest.fixture
def tables(monkeypatch):
    """Binds read_all of a database double over (nodes, links) into both
    implementations; the double's `calls` log what happened in which order."""
    def install(nodes=(), links=()):
        return Database(nodes, links, record=True).bind(o, pyorvane, monkeypatch=monkeypatch,
                                                        names=("read_all",))
    return install


class Formatted:
    def __init__(self, result):
        self.result, self.specs = result, []

    def __format__(self, spec):
        self.specs.append(spec)
        return self.result


class TestInpOutTag:
    def test_node_lines_first(self, tables):
        fake = tables([{"id": "J1", "tag": "Zone1"}, {"id": "J2", "tag": "Zone2"}],
                      [{"id": "P1", "tag": "Main"}])
        assert o.inp_out_tag("net") == ["NODE J1 Zone1", "NODE J2 Zone2", "LINK P1 Main"]
        assert fake.calls == [("read_all", ("net", SELECT_NODE)), ("read_all", ("net", SELECT_LINK))]

    def test_empty_tables(self, tables):
        fake = tables()
        assert o.inp_out_tag("net") == []
        assert len(fake.calls) == 2

    @pytest.mark.parametrize("value", [None, 12, -0.0, 2.5, True, "", " a b ", "\n",
                                       type("Text", (str,), {"__format__": lambda s, f: "T"})("x")])
    def test_values_as_format_gives_them(self, tables, value):
        tables([{"id": value, "tag": value}], [{"id": "P1", "tag": value}])
        assert o.inp_out_tag("net") == pyorvane.inp_out_tag("net")

    def test_format_gets_an_empty_spec(self, tables):
        value = Formatted(type("Text", (str,), {})("F"))
        tables([{"id": value, "tag": value}])
        lines = o.inp_out_tag("net")
        assert lines == ["NODE F F"] and type(lines[0]) is str
        assert value.specs == ["", ""]

    def test_format_must_give_text(self, tables):
        tables([{"id": "J1", "tag": Formatted(7)}])
        with pytest.raises(TypeError, match=r"^__format__ must return a str, not int$"):
            o.inp_out_tag("net")

    def test_constants_read_for_every_row(self, tables, monkeypatch):
        def rows():
            yield {"id": "J1", "tag": "a"}
            monkeypatch.setattr(o, "TAG_TYPE_NODE", Formatted("N"))
            yield {"id": "J2", "tag": "b"}
            monkeypatch.setattr(o, "TAG_TYPE_LINK", 3)
        tables(rows(), [{"id": "P1", "tag": "c"}])
        assert o.inp_out_tag("net") == ["NODE J1 a", "N J2 b", "3 P1 c"]

    def test_links_read_after_node_rows_are_exhausted(self, tables):
        def rows():
            fake.calls.append("node 1")
            yield {"id": "J1", "tag": "a"}
            fake.calls.append("nodes done")
        fake = tables(rows())
        o.inp_out_tag("net")
        assert fake.calls == [("read_all", ("net", SELECT_NODE)), "node 1", "nodes done",
                              ("read_all", ("net", SELECT_LINK))]

    def test_row_read_in_order(self, tables):
        class Row:
            def __getitem__(self, key):
                fake.calls.append(key)
                return key.upper()
        fake = tables([Row()])
        assert o.inp_out_tag("net") == ["NODE ID TAG"]
        assert fake.calls[1:3] == ["id", "tag"]

    @pytest.mark.parametrize("nodes, links, error, message", [
        (42, [], TypeError, "^'int' object is not iterable$"),
        ([{"id": "J1"}], [], KeyError, "^'tag'$"),
        ([{"tag": "x"}], [], KeyError, "^'id'$"),
        ([{"id": "J1", "tag": "a"}], [{"id": "P1", "tag": Formatted(None)}], TypeError,
         "^__format__ must return a str, not NoneType$"),
        ([{"id": "J1", "tag": "a"}], map(boom, [1]), Boom, "^boom$"),
    ])
    def test_errors_propagate(self, tables, nodes, links, error, message):
        tables(nodes, links)
        with pytest.raises(error, match=message):
            o.inp_out_tag("net")

    def test_failed_node_read_stops(self, monkeypatch):
        calls = []

        def read_all(name, sql):
            calls.append(sql)
            raise Boom("read")
        monkeypatch.setattr(o, "read_all", read_all)
        with pytest.raises(Boom, match="^read$"):
            o.inp_out_tag("net")
        assert calls == [SELECT_NODE]

    def test_no_reference_kept_on_error(self, tables):
        good, bad = {"id": "J1", "tag": "a"}, {"id": "J2"}
        rows = [good, bad]
        tables(rows)
        before = [sys.getrefcount(x) for x in (good, bad, rows)]
        for _ in range(3):
            with pytest.raises(KeyError):
                o.inp_out_tag("net")
        assert [sys.getrefcount(x) for x in (good, bad, rows)] == before


@pytest.fixture
def network(backend):
    db.create_network("net")
    return "net"


class TestWithTheDatabase:
    TAGS = ["Zone1", "O'Hare", "'", "a;b", "x--y", "/*c*/", "水", "null"]

    def test_round_trip(self, network):
        lines = [f"NODE J{i} {tag}" for i, tag in enumerate(self.TAGS)] + ["link P'1 ''"]
        db.execute_batch(network, [o.inp_in_tag(line) for line in lines])
        assert o.inp_out_tag(network) == lines[:-1] + ["LINK P'1 ''"]
        assert o.get_tag(network, "NODE", "J1")["tag"] == "O'Hare"

    def test_unknown_network(self, network):
        with pytest.raises(db.NetworkNotFoundError):
            o.inp_out_tag("nowhere")
