"""Properties over random texts, rows and operations: the module agrees with a
plain Python rendering of its rules, every statement it builds does in SQLite
exactly what it says and nothing else, and INP tag lines survive a round
trip."""

import contextlib
import sqlite3

from hypothesis import HealthCheck, given, settings, strategies as st

import api.orvane as orvane
from helpers import Ops, pyorvane, rebound, same

# Modest counts keep the file well under a minute, under the sanitizers too.
examples = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])

WHITESPACE = "".join(c for c in map(chr, range(0x3001)) if c.isspace())  # U+3000 is the last
# Characters that make texts interesting here: quotes, statement ends, NUL,
# lone surrogates, and letters whose upper case is ASCII or longer.
ODD = "'\"`;\\-/*%_\x00\ud800\udfff\u0131\u017f\u00df\ufb01\u0130\u01c5"
TYPE_WORDS = ["NODE", "LINK", "node", "Link", "l\u0131nk", "TANK", ";NODE", "NODE;", ""]

char = st.one_of(st.characters(), st.sampled_from(ODD), st.sampled_from(WHITESPACE))
text = st.one_of(st.text(char, max_size=30),
                 st.builds(lambda s, n: s * n, st.text(char, min_size=1, max_size=5),
                           st.integers(100, 3000)))
token = st.one_of(st.text(char, min_size=1, max_size=12).map(lambda s: "".join(s.split())),
                  st.sampled_from(TYPE_WORDS)).filter(bool)
space = st.text(st.sampled_from(WHITESPACE), min_size=1, max_size=3)


def storable(s):
    """Texts that sqlite3 can hold: no NUL, no lone surrogate."""
    return "\x00" not in s and not any(0xD800 <= ord(c) <= 0xDFFF for c in s)


sql_text = text.filter(storable)
sql_token = token.filter(storable)
value = st.one_of(text, st.integers(), st.floats(), st.none(), st.booleans(), st.binary(max_size=4))


@st.composite
def lines(draw):
    words = draw(st.lists(token, max_size=5))
    seps = [draw(space) for _ in words]
    line = "".join(w + s for w, s in zip(words, seps))
    return draw(st.sampled_from(["", " ", "\t", "\u3000"])) + line


def insert(table, id, tag):
    """The insert of one row, quoted by the reference's rule."""
    t = pyorvane.Tag({"t_type": "", "id": id, "tag": tag})
    return f"insert into {table} (id, tag) values ({t.f_id}, {t.f_tag});"


class TestInpInTag:
    @examples
    @given(st.one_of(lines(), text))
    def test_agrees_with_the_rule(self, line):
        same(lambda m: m.inp_in_tag(line))

    @examples
    @given(st.sampled_from(["NODE", "LINK"]), sql_token, sql_token, space,
           st.lists(st.tuples(sql_token, sql_token), max_size=4))
    def test_insert_stores_exactly_the_tokens(self, word, id, tag, sep, others):
        others = [r for r in others if r[0] != id]
        conn = database({"tags_node": others, "tags_link": others})
        before = contents(conn)
        conn.executescript(orvane.inp_in_tag(sep.join([word.lower(), id, tag, ";note"])))
        table = "tags_node" if word == "NODE" else "tags_link"
        before[table] = sorted(before[table] + [(id, tag)], key=repr)
        assert contents(conn) == before


def database(tables):
    conn = sqlite3.connect(":memory:", isolation_level=None)
    for table, rows in tables.items():
        conn.execute(f"create table {table} (id text primary key, tag text)")
        conn.executemany(f"insert or ignore into {table} values (?, ?)", rows)
    return conn


def contents(conn):
    return {t: sorted(map(tuple, conn.execute(f"select id, tag from {t}")), key=repr)
            for t in ("tags_node", "tags_link")}


def reader(conn, calls):
    """try_read on a real database: the lookup must be one statement."""
    conn.row_factory = sqlite3.Row

    def try_read(name, sql):
        calls.append(sql)
        rows = conn.execute(sql).fetchall()
        return rows[0] if rows else None

    return try_read


class TestLookups:
    @examples
    @given(st.sampled_from(["NODE", "LINK", "node", "TANK"]), sql_text,
           st.lists(st.tuples(sql_text, st.one_of(st.none(), sql_text)), max_size=5))
    def test_get_tag_finds_exactly_its_row(self, t_type, id, rows):
        conn = database({"tags_node": rows, "tags_link": rows})
        stored = {}
        for i, t in rows:
            stored.setdefault(i, t)
        calls = []
        with rebound(try_read=reader(conn, calls)):
            got = orvane.get_tag("net", t_type, id)
        if t_type in ("NODE", "LINK"):
            assert len(calls) == 1
            expect = stored.get(id) if id in stored else None
            assert got == {"t_type": t_type, "id": id, "tag": expect}
        else:
            assert calls == [] and got == {"t_type": t_type, "id": id, "tag": None}

    @examples
    @given(st.sampled_from(["delete_tag_by_node", "delete_tag_by_link"]), sql_text,
           st.lists(sql_text, max_size=4))
    def test_delete_reads_exactly_its_row(self, f, id, ids):
        table = "tags_node" if f.endswith("node") else "tags_link"
        conn = database({"tags_node": [], "tags_link": []})
        conn.executemany(f"insert or ignore into {table} values (?, 'x')", [(i,) for i in ids])
        calls = []
        with rebound(try_read=reader(conn, calls), ChangeSet=lambda *r: list(r)):
            got = getattr(orvane, f)("net", id)
        assert len(calls) == 1
        if id in ids:
            assert got == [{"operation": "update", "type": "tag",
                            "t_type": "NODE" if table == "tags_node" else "LINK", "id": id, "tag": None}]
        else:
            assert got == []


row = st.fixed_dictionaries({"id": value, "tag": value})


class TestReads:
    @examples
    @given(st.lists(row, max_size=4), st.lists(row, max_size=4), st.sampled_from([list, tuple, iter]))
    def test_get_tags_and_inp_out_tag_agree_with_the_rule(self, node_rows, link_rows, shape):
        def read_all(name, sql):
            return shape(node_rows if "tags_node" in sql else link_rows)

        with rebound(read_all=read_all):
            same(lambda m: m.get_tags("net"))
            same(lambda m: m.inp_out_tag("net"))

    @examples
    @given(st.dictionaries(st.sampled_from(["t_type", "id", "tag", "type", "x"]), value))
    def test_tag_record(self, input):
        got = same(lambda m: vars(m.Tag(input)))
        if "t_type" not in input or "id" not in input:
            assert got == ("raised", KeyError, repr("t_type" if "t_type" not in input else "id"))


class TestUpdate:
    @examples
    @given(st.sampled_from(["NODE", "LINK"]), sql_text, st.one_of(st.none(), sql_text),
           st.one_of(st.none(), sql_text), st.lists(st.tuples(sql_text, sql_text), max_size=4))
    def test_redo_and_undo_change_exactly_one_row(self, t_type, id, old, new, others):
        table = "tags_node" if t_type == "NODE" else "tags_link"
        rows = [r for r in others if r[0] != id]
        conn = database({"tags_node": rows, "tags_link": rows})
        if old is not None:
            conn.execute(f"insert into {table} values (?, ?)", (id, old))
        start = contents(conn)
        calls = []
        with rebound(try_read=reader(conn, calls), DbChangeSet=lambda *a: a):
            _, (redo_sql, undo_sql, [redo_cs], [undo_cs]) = same(
                lambda m: m._set_tag("net", Ops({"t_type": t_type, "id": id, "tag": new})))
        assert len(calls) == 4  # two reads by each implementation
        assert redo_cs == {"operation": "update", "type": "tag", "t_type": t_type, "id": id, "tag": new}
        assert undo_cs == dict(redo_cs, tag=old)

        conn.executescript(redo_sql)
        after = {t: [r for r in start[t] if t != table or r[0] != id] for t in start}
        if new is not None:
            after[table] = sorted(after[table] + [(id, new)], key=repr)
        assert contents(conn) == after
        conn.executescript(undo_sql)
        assert contents(conn) == start

    @examples
    @given(st.dictionaries(st.sampled_from(["t_type", "id", "tag", "x"]),
                           st.one_of(st.sampled_from(["NODE", "LINK", "node"]), value)))
    def test_random_operations_raise_or_build(self, operation):
        with rebound(try_read=lambda name, sql: None, DbChangeSet=lambda *a: a,
                     execute_command=lambda name, x: x, ChangeSet=lambda *r: list(r)):
            built = same(lambda m: m._set_tag("net", Ops(operation)))
            done = same(lambda m: m.set_tag("net", Ops(operation)))
        assert done == (built if {"t_type", "id", "tag"} <= operation.keys() else ("ok", []))


class TestRoundTrip:
    @examples
    @given(st.lists(st.tuples(token, token), max_size=5), st.lists(st.tuples(token, token), max_size=5))
    def test_lines_read_back_as_the_rows(self, node_rows, link_rows):
        rows = {"tags_node": node_rows, "tags_link": link_rows}

        def read_all(name, sql):
            return [{"id": i, "tag": t} for i, t in rows[sql.split()[-1]]]

        with rebound(read_all=read_all):
            lines = orvane.inp_out_tag("net")
        expect = [insert(table, i, t) for table in rows for i, t in rows[table]]
        assert [orvane.inp_in_tag(line) for line in lines] == expect
        if all(storable(i + t) for i, t in node_rows + link_rows):
            conn = database({"tags_node": [], "tags_link": []})
            for statement in expect:
                with contextlib.suppress(sqlite3.IntegrityError):  # an id given twice
                    conn.execute(statement)
            assert contents(conn) == contents(database(rows))
