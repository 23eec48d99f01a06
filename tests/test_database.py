"""The network database module: change sets, networks, reads, commands with
undo and redo, and what happens under concurrent writers and crashes.  The
behaviours common to both backends run on SQLite (in memory and in files) and
on PostgreSQL."""

import os
import signal
import sqlite3
import threading

import pytest

from api import database as db
from dbtools import rows, run_child
TRICKY = ["O'Neil", "a;b", "x -- y", "/* c */", "one\ntwo;\n", "Żółw 水", "", "''; drop table tags_node; --"]


@pytest.fixture(params=["memory", "file", "postgres"])
def backend(request, tmp_path):
    if request.param == "postgres":
        request.getfixturevalue("postgres_backend")
        yield request.param
        return
    db.set_database_url("sqlite:")
    db.set_data_dir(db.MEMORY if request.param == "memory" else tmp_path / "data")
    yield request.param
    db.close_all()
    db.set_database_url(None)
    db.set_data_dir(None)


def driver_error(sqlite_error, postgres_error):
    """The exception class that the backend in force raises: the first on
    SQLite, the second (a class, or the name of one of psycopg.errors) on
    PostgreSQL."""
    if db.backend_name() == "sqlite":
        return sqlite_error
    if isinstance(postgres_error, str):
        import psycopg
        return getattr(psycopg.errors, postgres_error)
    return postgres_error


@pytest.fixture
def files(tmp_path):
    db.set_database_url("sqlite:")
    db.set_data_dir(tmp_path)
    yield tmp_path
    db.close_all()
    db.set_database_url(None)
    db.set_data_dir(None)


@pytest.fixture
def net(backend):
    db.create_network("net")
    return "net"


def q(text):
    return "null" if text is None else "'" + text.replace("'", "''") + "'"


def set_cmd(id, new, old, table="tags_node"):
    """The command that sets the tag of ``id`` from ``old`` to ``new``."""
    def sql(tag):
        text = f"delete from {table} where id = {q(id)};"
        return text if tag is None else text + f"\ninsert into {table} (id, tag) values ({q(id)}, {q(tag)});"
    record = {"type": "tag", "t_type": "NODE", "id": id}
    return db.DbChangeSet(sql(new), sql(old), [db.g_update_prefix | record | {"tag": new}],
                          [db.g_update_prefix | record | {"tag": old}])


class TestChangeSet:
    def test_container(self):
        a, b = {"id": "a"}, {"id": "b"}
        cs = db.ChangeSet(a, b)
        assert cs.operations == [a, b] and cs.operations[0] is a
        assert len(cs) == 2 and list(cs) == [a, b] and cs[1] is b
        assert len(db.ChangeSet()) == 0 and not db.ChangeSet()
        assert repr(cs) == "ChangeSet({'id': 'a'}, {'id': 'b'})"

    def test_equality_and_merge(self):
        a, b = db.ChangeSet({"n": 1}), db.ChangeSet({"n": 2})
        assert a == db.ChangeSet({"n": 1}) and a != b and a != [{"n": 1}]
        assert a + b == db.ChangeSet({"n": 1}, {"n": 2}) and len(a) == 1
        assert a.merge(b) is a and a == db.ChangeSet({"n": 1}, {"n": 2})
        with pytest.raises(TypeError, match="expected a ChangeSet, not list"):
            a.merge([{}])
        with pytest.raises(TypeError):
            hash(a)

    def test_db_change_set_and_prefix(self):
        cs = db.DbChangeSet("r", "u", [1], [2])
        assert (cs.redo_sql, cs.undo_sql, cs.redo_cs, cs.undo_cs) == ("r", "u", [1], [2])
        assert db.g_update_prefix | {"id": "x"} == {"operation": "update", "id": "x"}
        assert db.g_update_prefix == {"operation": "update"}


class TestNames:
    # A name, and what refuses it where: "invalid" on every backend, "bytes"
    # on SQLite's files alone (their names hold at most 244 bytes of it).
    NAMES = [("", "invalid"), (".", "invalid"), ("..", "invalid"), ("a/b", "invalid"), ("a\\b", "invalid"),
             ("../x", "invalid"), ("a\x00b", "invalid"), ("a\nb", "invalid"), ("x" * 201, "invalid"),
             ("a\x7fb", "invalid"), ("a\x9bb", "invalid"), ("a\u200bb", "invalid"), ("a\ufeff", "invalid"),
             ("a\u2028b", "invalid"), ("a\u2029b", "invalid"), ("é" * 200, "bytes"), ("水" * 82, "bytes"),
             ("é" * 122, None), ("a\u00a0b\u3000", None), ("\ue000", None)]

    @pytest.mark.parametrize("name, refused", NAMES, ids=range(len(NAMES)))
    def test_names(self, backend, name, refused):
        if refused == "bytes" and backend != "file":
            refused = None
        if refused is None:
            db.create_network(name)
            db.execute_command(name, set_cmd("a", "b", None))
            assert db.list_networks() == [name] and rows(name) == [("a", "b")]
            return
        match = "invalid network name" + (r".*at most 244 bytes" if refused == "bytes" else "")
        for call in (db.create_network, db.network_exists, db.undo):
            with pytest.raises(ValueError, match=match):
                call(name)
        assert db.list_networks() == []

    def test_non_text_name(self, backend):
        with pytest.raises(ValueError, match="network name must be a str, not bytes"):
            db.read_all(b"net", "select 1")

    def test_unknown_network_never_created(self, backend):
        calls = [lambda: db.read_all("ghost", "select * from tags_node"),
                 lambda: db.try_read("ghost", "select 1"), lambda: db.undo("ghost"),
                 lambda: db.execute_command("ghost", set_cmd("a", "b", None)),
                 lambda: db.delete_network("ghost")]
        for call in calls:
            with pytest.raises(db.NetworkNotFoundError, match="no network named 'ghost'"):
                call()
        assert not db.network_exists("ghost") and db.list_networks() == []


class TestNetworks:
    def test_lifecycle(self, backend):
        assert db.list_networks() == []
        for name in ("b", "a", "x" * 200, "with space"):
            db.create_network(name)
        assert db.list_networks() == sorted(["a", "b", "x" * 200, "with space"])
        db.execute_command("a", set_cmd("n1", "t", None))
        db.create_network("a")                      # an existing network is kept
        assert rows("a") == [("n1", "t")] and rows("a", "tags_link") == []
        db.delete_network("a")
        assert not db.network_exists("a") and db.network_exists("b")
        db.create_network("a")
        assert rows("a") == [] and db.undo("a") == db.ChangeSet()

    def test_data_folder(self, files, monkeypatch):
        db.create_network("n")
        assert db.data_dir() == str(files) and os.path.isfile(files / "n.db")
        db.execute_command("n", set_cmd("a", "b", None))
        db.delete_network("n")
        assert os.listdir(files) == []
        monkeypatch.setenv("ORVANE_DATA_DIR", str(files / "env"))
        db.set_data_dir(None)
        assert db.data_dir() == str(files / "env") and db.list_networks() == []
        db.create_network("m")
        assert os.listdir(files / "env")[0].startswith("m.db")
        monkeypatch.delenv("ORVANE_DATA_DIR")
        monkeypatch.chdir(files)
        assert db.data_dir() == str(files / "data")


class TestReads:
    def test_rows_hold_what_was_stored(self, net):
        values = TRICKY + [None]
        db.execute_batch(net, [f"insert into tags_link (id, tag) values ({q(str(i) + v)}, {q(v)});"
                               for i, v in enumerate(TRICKY)] + ["insert into tags_link values ('n', null)",
                                                                 "insert into tags_link values ('7', '007')"])
        got = db.read_all(net, "select * from tags_link")
        assert isinstance(got, list) and all(list(r) == ["id", "tag"] for r in got)
        assert sorted(r["tag"] or "" for r in got) == sorted(v or "" for v in values + ["007"])
        assert db.try_read(net, "select * from tags_link where id = '7'") == {"id": "7", "tag": "007"}
        assert db.try_read(net, "select * from tags_link where id = 'n'") == {"id": "n", "tag": None}
        assert db.try_read(net, "select * from tags_link where id = 'O''Neil'") is None

    @pytest.mark.parametrize("sql, errors, match", [
        ("delete from tags_node", (sqlite3.OperationalError, "ReadOnlySqlTransaction"), "readonly|read-only"),
        ("select 1; select 2", (sqlite3.ProgrammingError, "SyntaxError"), "one statement|multiple commands"),
        ("select * from nowhere", (sqlite3.OperationalError, "UndefinedTable"), "no such table|does not exist"),
        ("select 'a\x00'", (ValueError, ValueError), "sql holds a NUL character"),
    ])
    def test_bad_reads(self, net, sql, errors, match):
        db.execute_command(net, set_cmd("a", "b", None))
        with pytest.raises(driver_error(*errors), match=match):
            db.read_all(net, sql)
        assert rows() == [("a", "b")]


class TestCommands:
    @pytest.mark.parametrize("text", TRICKY)
    def test_set_undo_redo_round_trip(self, net, text):
        db.execute_command(net, set_cmd("keep", "k", None))
        cmd = set_cmd(text, text + "!", None)
        assert db.execute_command(net, cmd) == db.ChangeSet(*cmd.redo_cs)
        after = rows()
        assert (text, text + "!") in after
        assert db.undo(net) == db.ChangeSet(*cmd.undo_cs) and rows() == [("keep", "k")]
        assert db.redo(net) == db.ChangeSet(*cmd.redo_cs) and rows() == after

    def test_undo_redo_sequence(self, net):
        for old, new in [(None, "1"), ("1", "2"), ("2", None)]:
            db.execute_command(net, set_cmd("a", new, old))
        for old_tag, state in [("2", [("a", "2")]), ("1", [("a", "1")]), (None, [])]:
            assert db.undo(net)[0]["tag"] == old_tag and rows() == state
        assert db.undo(net) == db.ChangeSet() and rows() == []
        assert db.redo(net)[0]["tag"] == "1" and rows() == [("a", "1")]
        assert db.redo(net)[0]["tag"] == "2" and rows() == [("a", "2")]
        db.execute_command(net, set_cmd("a", "x", "2"))      # drops the last redo
        assert db.redo(net) == db.ChangeSet() and rows() == [("a", "x")]
        assert [(e["redo_cs"][0]["tag"], e["undone"]) for e in db.journal(net)] == [
            ("1", False), ("2", False), ("x", False)]

    def test_journal_survives_reopen(self, files):
        db.create_network("n")
        db.execute_command("n", set_cmd("a", "1", None))
        db.execute_command("n", set_cmd("a", "2", "1"))
        db.undo("n")
        db.close_all()
        child = run_child("""
            import sys
            from api import database as db
            db.set_data_dir(sys.argv[1])
            print(db.undo("n").operations[0]["tag"], db.read_all("n", "select tag from tags_node"))
        """, files)
        assert child.communicate()[0] == "None []\n" and child.returncode == 0
        assert db.redo("n")[0]["tag"] == "1" and db.redo("n")[0]["tag"] == "2"
        assert rows("n") == [("a", "2")]

    @pytest.mark.parametrize("redo, undo, error, match", [
        ("insert into tags_node values ('a', 'dup');", "", (sqlite3.IntegrityError, "UniqueViolation"),
         "UNIQUE|duplicate key"),
        ("delete from tags_node;\nbogus;", "", (sqlite3.OperationalError, "SyntaxError"), "syntax error"),
        ("delete from tags_node;\ninsert into tags_node values ('a\x00', '');", "", ValueError, "redo_sql holds a NUL"),
        ("delete from tags_node;", "insert into tags_node values ('\x00', '')", ValueError, "undo_sql holds a NUL"),
        ("delete from tags_node;\ninsert into tags_node values ('\ud800', '');", "", UnicodeEncodeError, "surrogates"),
        (None, "", TypeError, "redo_sql must be a str, not NoneType"),
    ])
    def test_failed_command_changes_nothing(self, net, redo, undo, error, match):
        db.execute_command(net, set_cmd("a", "old", None))
        before = db.journal(net)
        with pytest.raises(driver_error(*error) if isinstance(error, tuple) else error, match=match):
            db.execute_command(net, db.DbChangeSet(redo, undo, [], []))
        assert rows() == [("a", "old")] and db.journal(net) == before

    def test_failed_undo_changes_nothing(self, net):
        db.execute_command(net, db.DbChangeSet("insert into tags_node values ('a', '1');",
                                               "delete from tags_node;\nno such thing;", [], []))
        with pytest.raises(driver_error(sqlite3.OperationalError, "SyntaxError")):
            db.undo(net)
        assert rows() == [("a", "1")] and not db.journal(net)[0]["undone"]

    def test_batch(self, net):
        trigger = ("create trigger t after insert on tags_link begin "
                   "insert into tags_node values (new.id, 'x;y'); end;")
        if db.backend_name() == "postgresql":
            trigger = ("create function copy() returns trigger language plpgsql as $$ begin "
                       "insert into tags_node values (new.id, 'x;y'); return new; end $$;\n"
                       "create trigger t after insert on tags_link for each row execute function copy();")
        assert db.execute_batch(net, ["insert into tags_node values ('a', '1');", trigger]) == 2
        assert db.execute_batch(net, "insert into tags_link values ('b', null)") == 1
        assert rows() == [("a", "1"), ("b", "x;y")]
        with pytest.raises(driver_error(sqlite3.IntegrityError, "UniqueViolation")):
            db.execute_batch(net, ["insert into tags_link values ('c', '');", "insert into tags_node values ('a', '2');"])
        assert rows() == [("a", "1"), ("b", "x;y")] and rows(table="tags_link") == [("b", None)]
        assert db.journal(net) == []


class TestProcesses:
    def test_undo_waits_for_another_writer(self, files):
        db.create_network("n")
        db.execute_command("n", set_cmd("a", "1", None))
        other = sqlite3.connect(files / "n.db", isolation_level=None, check_same_thread=False)
        other.execute("begin immediate")
        other.execute("insert into tags_node values ('b', '2')")
        timer = threading.Timer(0.3, other.execute, ["commit"])
        timer.start()
        assert db.undo("n")[0]["tag"] is None      # a stale read would fail here
        timer.join()
        other.close()
        assert rows("n") == [("b", "2")]

    def test_killed_mid_command_changes_nothing(self, files):
        db.create_network("n")
        db.execute_command("n", set_cmd("a", "old", None))
        child = run_child("""
            import os, signal, sys
            from api import database as db
            db.set_data_dir(sys.argv[1])
            def crash():
                print("second statement", flush=True)
                os.kill(os.getpid(), signal.SIGKILL)
            db.connect("n").create_function("crash", 0, crash)
            db.execute_command("n", db.DbChangeSet(
                "update tags_node set tag = 'new';\\ninsert into tags_node values ('b', crash());", "", [], []))
        """, files)
        assert child.communicate()[0] == "second statement\n" and child.returncode == -signal.SIGKILL
        db.close_all()
        assert rows("n") == [("a", "old")] and len(db.journal("n")) == 1

    def test_a_file_that_fails_is_the_modules_error(self, files):
        db.create_network("n")
        db.close_all()
        (files / "n.db").write_bytes(b"not a database, " * 512)
        for call in (lambda: db.read_all("n", "select * from tags_node"),
                     lambda: db.execute_command("n", set_cmd("a", "b", None))):
            with pytest.raises(db.DatabaseUnavailableError, match=f"in {files} is not a database") as e:
                call()
            assert isinstance(e.value.__cause__, sqlite3.DatabaseError) and e.value.applied is False

    def test_forked_child_opens_its_own_connection(self, files):
        db.create_network("n")
        parent = db.connect("n")
        pid = os.fork()
        if pid == 0:
            ok = db.connect("n") is not parent
            db.execute_command("n", set_cmd("a", "child", None))
            os._exit(0 if ok else 1)
        assert os.waitpid(pid, 0)[1] == 0
        assert rows("n") == [("a", "child")] and db.connect("n") is parent
