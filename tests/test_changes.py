"""The tag update (_set_tag, set_tag) and the tag deletions against doubles of
the database names: the SQL of both directions, the change records, and the
calls made on the way."""

from types import SimpleNamespace

import pytest

from api import database, orvane
from helpers import Boom, Calls

DONE = object()   # what the execute_command double answers


def lookup(table, id):
    return f"select * from {table} where id = {id}"


class Doubles:
    """The database names of the module, answering from `rows` (lookup
    statement to row) and recording each call as (name, positional args);
    get_tag is the module's own, wrapped."""

    def __init__(self, monkeypatch, rows):
        self.calls, self.monkeypatch = Calls(monkeypatch), monkeypatch
        self.bind, self.names = self.calls.bind, self.calls.names
        answers = {"get_tag": orvane.get_tag, "try_read": lambda name, sql: rows.get(sql),
                   "DbChangeSet": database.DbChangeSet, "ChangeSet": database.ChangeSet,
                   "execute_command": lambda name, cs: DONE}
        for name, answer in answers.items():
            self.bind(name, answer)


@pytest.fixture
def rows():
    return {lookup("tags_node", "'J1'"): {"id": "J1", "tag": "a"}}


@pytest.fixture
def db(monkeypatch, rows):
    monkeypatch.setattr(orvane, "g_update_prefix", {"operation": "update"})
    return Doubles(monkeypatch, rows)


def change(**op):
    return database.ChangeSet(op)


def record(t_type, id, tag):
    return [("operation", "update"), ("type", "tag"), ("t_type", t_type), ("id", id), ("tag", tag)]


DEL_J1 = "delete from tags_node where id = 'J1';"
PUT_J1 = "\ninsert into tags_node (id, tag) values ('J1', "


class TestUpdate:
    @pytest.mark.parametrize("op, redo, undo, old", [
        (dict(t_type="NODE", id="J1", tag="b"), DEL_J1 + PUT_J1 + "'b');", DEL_J1 + PUT_J1 + "'a');", "a"),
        (dict(t_type="NODE", id="J1", tag=None), DEL_J1, DEL_J1 + PUT_J1 + "'a');", "a"),
        (dict(t_type="NODE", id="J1", tag="a"), DEL_J1 + PUT_J1 + "'a');", DEL_J1 + PUT_J1 + "'a');", "a"),
        (dict(t_type="NODE", id="J1", tag=""), DEL_J1 + PUT_J1 + "'');", DEL_J1 + PUT_J1 + "'a');", "a"),
        (dict(t_type="NODE", id="J1", tag="null"), DEL_J1 + PUT_J1 + "'null');", DEL_J1 + PUT_J1 + "'a');", "a"),
        (dict(t_type="LINK", id="P1", tag="x"),
         "delete from tags_link where id = 'P1';\ninsert into tags_link (id, tag) values ('P1', 'x');",
         "delete from tags_link where id = 'P1';", None),
        (dict(t_type="NODE", id="J2", tag=None),
         "delete from tags_node where id = 'J2';", "delete from tags_node where id = 'J2';", None),
        (dict(t_type="NODE", id="O'Neil", tag="it's"),
         "delete from tags_node where id = 'O''Neil';\ninsert into tags_node (id, tag) values ('O''Neil', 'it''s');",
         "delete from tags_node where id = 'O''Neil';", None),
    ], ids=["change", "clear", "unchanged", "empty", "null", "add", "clear-absent", "quotes"])
    def test_statements_records_and_calls(self, db, op, redo, undo, old):
        table = "tags_link" if op["t_type"] == "LINK" else "tags_node"
        result = orvane._set_tag("net", change(**op))
        redo_cs, undo_cs = result.redo_cs[0], result.undo_cs[0]
        assert (result.redo_sql, result.undo_sql) == (redo, undo)
        assert list(redo_cs.items()) == record(op["t_type"], op["id"], op["tag"])
        assert list(undo_cs.items()) == record(op["t_type"], op["id"], old)
        quoted = "'" + op["id"].replace("'", "''") + "'"
        read = [("get_tag", ("net", op["t_type"], op["id"])), ("try_read", ("net", lookup(table, quoted)))]
        assert db.calls == read + read + [("DbChangeSet", (redo, undo, [redo_cs], [undo_cs]))]

    def test_number_tag_becomes_text(self, db):
        result = orvane._set_tag("net", change(t_type="NODE", id="J1", tag=7))
        assert result.redo_sql == DEL_J1 + PUT_J1 + "'7');" and result.redo_cs[0]["tag"] == "7"

    def test_undo_carries_the_id_of_the_stored_row(self, db, rows):
        rows[lookup("tags_node", "'J1'")] = {"id": "j1", "tag": "a"}
        result = orvane._set_tag("net", change(t_type="NODE", id="J1", tag="b"))
        assert result.undo_sql == ("delete from tags_node where id = 'j1';\n"
                                   "insert into tags_node (id, tag) values ('j1', 'a');")
        assert result.redo_sql == DEL_J1 + PUT_J1 + "'b');"
        assert (result.redo_cs[0]["id"], result.undo_cs[0]["id"]) == ("J1", "j1")

    def test_read_only_field_keeps_the_stored_tag(self, db):
        schema = orvane.get_tag_schema("net")
        schema["tag"]["readonly"] = True
        db.monkeypatch.setattr(orvane, "get_tag_schema", lambda name: schema)
        result = orvane._set_tag("net", change(t_type="NODE", id="J1", tag="b"))
        assert result.redo_sql == result.undo_sql == DEL_J1 + PUT_J1 + "'a');"

    def test_operation_without_tag_keeps_the_stored_tag(self, db):
        result = orvane._set_tag("net", change(t_type="NODE", id="J1"))
        assert result.redo_sql == result.undo_sql == DEL_J1 + PUT_J1 + "'a');"

    def test_extra_keys_and_later_operations_are_ignored(self, db):
        plain = orvane._set_tag("net", change(t_type="NODE", id="J1", tag="b"))
        noisy = database.ChangeSet({"t_type": "NODE", "id": "J1", "tag": "b", "type": "junk", "zone": 3},
                                   {"t_type": "LINK", "id": "P1", "tag": "x"})
        assert orvane._set_tag("net", noisy) == plain

    @pytest.mark.parametrize("op, error", [
        ({"id": "J1", "tag": "b"}, KeyError("t_type")), ({"t_type": "NODE", "tag": "b"}, KeyError("id"))])
    def test_missing_type_or_id(self, db, op, error):
        with pytest.raises(KeyError) as e:
            orvane._set_tag("net", database.ChangeSet(op))
        assert e.value.args == error.args and db.calls == []


class TestSetTag:
    def test_executes_the_change_and_returns_its_result(self, db):
        assert orvane.set_tag("net", change(t_type="NODE", id="J1", tag="b")) is DONE
        built = db.calls[-2][1]
        assert db.names() == ["get_tag", "try_read", "get_tag", "try_read", "DbChangeSet", "execute_command"]
        assert db.calls[-1] == ("execute_command", ("net", database.DbChangeSet(*built)))

    @pytest.mark.parametrize("missing, asked", [
        ("t_type", ["t_type"]), ("id", ["t_type", "id"]), ("tag", ["t_type", "id", "tag"])])
    def test_operation_missing_a_key_changes_nothing(self, db, missing, asked):
        class Operation(dict):
            def __contains__(self, key):
                self.asked.append(key)
                return super().__contains__(key)
        op = Operation(t_type="NODE", id="J1", tag="b")
        op.asked = []
        del op[missing]
        assert orvane.set_tag("net", database.ChangeSet(op)) == database.ChangeSet()
        assert db.calls == [("ChangeSet", ())] and op.asked == asked

    @pytest.mark.parametrize("t_type", ["node", "Node", "TANK", ""])
    def test_unknown_type(self, db, t_type):
        with pytest.raises(Exception) as e:
            orvane.set_tag("net", change(t_type=t_type, id="J1", tag="b"))
        assert type(e.value) is Exception and e.value.args == ("Only support NODE and Link",)
        assert db.names() == ["get_tag", "get_tag"]

    @pytest.mark.parametrize("t_type, id, bad, got", [("NODE", 5, "id", "int"), (None, "J1", "t_type", "NoneType")])
    def test_type_and_id_must_be_texts(self, db, t_type, id, bad, got):
        with pytest.raises(TypeError, match=rf"^Argument '{bad}' has incorrect type \(expected str, got {got}\)$"):
            orvane.set_tag("net", change(t_type=t_type, id=id, tag="b"))
        assert db.calls == [("get_tag", ("net", t_type, id))]

    @pytest.mark.parametrize("function", [orvane.set_tag, orvane._set_tag], ids=["set_tag", "_set_tag"])
    @pytest.mark.parametrize("cs, error, message", [
        (object(), AttributeError, "'object' object has no attribute 'operations'"),
        (database.ChangeSet(), IndexError, "list index out of range"),
        (SimpleNamespace(operations=None), TypeError, "'NoneType' object is not subscriptable"),
    ], ids=["no-attribute", "empty", "none"])
    def test_change_set_without_an_operation(self, db, function, cs, error, message):
        with pytest.raises(error, match=f"^{message}$"):
            function("net", cs)
        assert db.calls == []

    def test_operations_are_read_by_subscription(self, db):
        op = {"t_type": "NODE", "id": "J1", "tag": "b"}
        assert orvane.set_tag("net", SimpleNamespace(operations={0: op})) is DONE
        assert db.calls[-1] == ("execute_command", ("net", orvane._set_tag("net", change(**op))))

    @pytest.mark.parametrize("name", ["try_read", "get_tag_schema", "DbChangeSet", "execute_command"])
    def test_errors_pass_unchanged(self, db, name):
        boom = Boom()

        def fail(*args):
            raise boom
        db.bind(name, fail)
        with pytest.raises(Boom) as e:
            orvane.set_tag("net", change(t_type="NODE", id="J1", tag="b"))
        assert e.value is boom


class TestDelete:
    @pytest.mark.parametrize("delete, t_type, table", [
        (orvane.delete_tag_by_node, "NODE", "tags_node"), (orvane.delete_tag_by_link, "LINK", "tags_link")])
    @pytest.mark.parametrize("id, quoted", [("J1", "'J1'"), (" J1", "' J1'"), ("O'Neil", "'O''Neil'")])
    def test_row_gives_a_record(self, db, rows, delete, t_type, table, id, quoted):
        rows[lookup(table, quoted)] = {"id": id, "tag": None}
        result = delete("net", id)
        assert list(result.operations[0].items()) == record(t_type, id, None)
        assert result.operations[0]["id"] is id
        assert db.calls == [("try_read", ("net", lookup(table, quoted))), ("ChangeSet", (result.operations[0],))]

    @pytest.mark.parametrize("row", [0, {}, (), "", {"id": "J1", "tag": "a"}])
    def test_any_row_but_none_counts(self, db, rows, row):
        rows[lookup("tags_node", "'J1'")] = row
        assert orvane.delete_tag_by_node("net", "J1") == database.ChangeSet(dict(record("NODE", "J1", None)))

    @pytest.mark.parametrize("delete", [orvane.delete_tag_by_node, orvane.delete_tag_by_link])
    def test_no_row_reads_no_prefix_or_type(self, db, delete):
        for name in ("g_update_prefix", "TAG_TYPE_NODE", "TAG_TYPE_LINK"):
            db.monkeypatch.delattr(orvane, name)
        assert delete("net", "J9") == database.ChangeSet()
        assert db.names() == ["try_read", "ChangeSet"] and db.calls[1] == ("ChangeSet", ())

    def test_type_is_read_at_the_call(self, db):
        db.monkeypatch.setattr(orvane, "TAG_TYPE_NODE", "KNOT")
        assert orvane.delete_tag_by_node("net", "J1").operations[0]["t_type"] == "KNOT"


def update_records(name):
    result = orvane._set_tag(name, change(t_type="NODE", id="J1", tag="b"))
    return result.redo_cs + result.undo_cs


def delete_records(name):
    return orvane.delete_tag_by_node(name, "J1").operations


@pytest.mark.parametrize("records", [update_records, delete_records])
class TestChangeRecords:
    def test_a_shared_key_keeps_its_place(self, db, records):
        prefix = {"tag": "p", "operation": "update", "id": "q"}
        db.monkeypatch.setattr(orvane, "g_update_prefix", prefix)
        for made in records("net"):
            assert list(made) == ["tag", "operation", "id", "type", "t_type"]
            assert made["id"] == "J1" and made["tag"] != "p"
        assert list(prefix.items()) == [("tag", "p"), ("operation", "update"), ("id", "q")]

    def test_any_prefix_is_passed_through(self, db, records):
        class Odd:
            def __or__(self, other):
                return ("odd", other)
        db.monkeypatch.setattr(orvane, "g_update_prefix", Odd())
        made = records("net")
        assert all(m[0] == "odd" and list(m[1]) == ["type", "t_type", "id", "tag"] for m in made)
