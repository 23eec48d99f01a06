"""The database on either backend: choosing it by URL, texts stored exactly,
networks as PostgreSQL schemas, servers that would change texts, lost
connections and forks, and eight writers at once."""

import os
import sqlite3
import time
import urllib.parse

import pytest

from api import database as db
from api import orvane
import dbtools
from dbtools import child_url, rows, set_tag
TEXTS = ["O'Neil", "''", "back\\slash\\", "\\'", "E'\\n'", "one\ntwo\r\n", "tab\there", "Żółw 水 🌊",
         "", "null", "%s %(x)s $1 $$ $q$", "'); delete from tags_node; --", "x" * 5000]
postgres = pytest.mark.parametrize("backend", ["postgres"], indirect=True)


def admin(url):
    import psycopg
    return psycopg.connect(url, autocommit=True)


class TestChoosing:
    @pytest.fixture(autouse=True)
    def restore(self, monkeypatch):
        monkeypatch.delenv("ORVANE_DATABASE_URL", raising=False)
        monkeypatch.delenv("ORVANE_DATA_DIR", raising=False)
        yield
        db.set_database_url(None)
        db.set_data_dir(None)

    def test_url_and_folder_in_force(self, monkeypatch, tmp_path):
        db.set_database_url(None)
        assert (db.backend_name(), db.database_url()) == ("sqlite", None)
        monkeypatch.setenv("ORVANE_DATABASE_URL", "postgres://u:pw@127.0.0.1:1/x")
        assert (db.backend_name(), db.database_url()) == ("postgresql", "postgres://u:pw@127.0.0.1:1/x")
        db.set_database_url(f"sqlite:{tmp_path}")                 # beats the environment
        assert (db.backend_name(), db.data_dir()) == ("sqlite", str(tmp_path))
        db.set_database_url(f"sqlite://{tmp_path}/a")
        assert db.data_dir() == str(tmp_path / "a")
        db.set_data_dir(tmp_path / "b")                          # beats the URL's folder
        assert db.data_dir() == str(tmp_path / "b")
        db.create_network("n")
        assert os.path.isfile(tmp_path / "b" / "n.db")

    @pytest.mark.parametrize("url, message", [
        ("mysql://u:secret@h/db", r"unsupported database URL 'mysql://u:\*\*\*@h/db' \(set_database_url\)"),
        ("postgresql://h/d\x00", "unsupported database URL"),
        (b"postgresql://h/d", "database URL must be a str, not bytes"),
    ])
    def test_bad_url_refused(self, tmp_path, url, message):
        db.set_database_url(f"sqlite:{tmp_path}")
        with pytest.raises(ValueError, match=message):
            db.set_database_url(url)
        assert db.database_url() == f"sqlite:{tmp_path}"

    def test_bad_url_in_environment(self, monkeypatch):
        monkeypatch.setenv("ORVANE_DATABASE_URL", "http://h")
        with pytest.raises(ValueError, match=r"unsupported database URL 'http://h' \(ORVANE_DATABASE_URL\)"):
            db.list_networks()

    def test_error_tuples(self):
        assert sqlite3.IntegrityError in db.IntegrityError and sqlite3.Error in db.Error
        psycopg = pytest.importorskip("psycopg")
        assert psycopg.IntegrityError in db.IntegrityError and psycopg.Error in db.Error


class TestTexts:
    @pytest.mark.parametrize("text", TEXTS, ids=range(len(TEXTS)))
    def test_stored_exactly(self, backend, text):
        db.create_network("net")
        set_tag("net", "NODE", text, text)
        set_tag("net", "LINK", "P1", text)
        assert orvane.get_tag("net", "NODE", text) == {"t_type": "NODE", "id": text, "tag": text}
        assert rows() == [(text, text)] and rows(table="tags_link") == [("P1", text)]
        assert orvane.inp_out_tag("net") == [f"NODE {text} {text}", f"LINK P1 {text}"]
        assert db.undo("net")[0]["tag"] is None and db.undo("net")[0]["tag"] is None
        assert orvane.get_tags("net") == []
        assert db.redo("net")[0]["tag"] == text and rows() == [(text, text)]

    def test_nul_writes_nothing(self, backend):
        db.create_network("net")
        set_tag("net", "NODE", "J1", "a")
        store = "PostgreSQL" if db.backend_name() == "postgresql" else "SQLite"
        with pytest.raises(ValueError, match=f"^redo_sql holds a NUL character, which {store} cannot store"):
            set_tag("net", "NODE", "J1", "b\x00c")
        with pytest.raises(ValueError, match="^statement 1 holds a NUL character"):
            db.execute_batch("net", ["delete from tags_node", "insert into tags_node values ('\x00', '')"])
        assert rows() == [("J1", "a")] and len(db.journal("net")) == 1


@postgres
class TestSchemas:
    NAMES = ["net", "Net", 'a "q" b', "x" * 200, "水" * 20, "with space"]

    def test_networks_are_schemas(self, backend):
        for i, name in enumerate(self.NAMES):
            db.create_network(name)
            set_tag(name, "NODE", "J1", str(i))
        db.create_network("net")                    # an existing network is kept
        assert db.list_networks() == sorted(self.NAMES)
        assert [orvane.get_tag(name, "NODE", "J1")["tag"] for name in self.NAMES] == ["0", "1", "2", "3", "4", "5"]
        schemas = {r["nspname"] for r in db.read_all("net", "select nspname from pg_namespace")}
        assert {"orvane:net", "orvane:Net", 'orvane:a "q" b', "orvane:with space"} <= schemas
        assert sum(s.startswith("orvane#") for s in schemas) == 2     # too long for an identifier
        db.delete_network("x" * 200)
        with pytest.raises(db.NetworkNotFoundError, match="no network named 'xxx"):
            db.delete_network("x" * 200)
        assert not db.network_exists("x" * 200) and db.network_exists("水" * 20)
        assert orvane.get_tag("水" * 20, "NODE", "J1")["tag"] == "4"


@postgres
class TestServer:
    def test_standard_conforming_strings_off_refused(self, backend):
        url = db.database_url() + "?options=-c%20standard_conforming_strings%3Doff"
        db.set_database_url(url)
        with pytest.raises(db.UnsuitableDatabaseError, match="has standard_conforming_strings off"):
            db.create_network("net")

    def test_other_encoding_refused(self, backend):
        url = urllib.parse.urlsplit(db.database_url())
        name = f"{url.path[1:]}_ascii"
        with admin(url.geturl()) as conn:
            conn.execute(f"create database {name} encoding 'SQL_ASCII' locale 'C' template template0")
        try:
            db.set_database_url(url._replace(path="/" + name).geturl())
            with pytest.raises(db.UnsuitableDatabaseError, match="encoding SQL_ASCII, which cannot store every text"):
                db.list_networks()
        finally:
            db.close_all()
            with admin(url.geturl()) as conn:
                conn.execute(f"drop database {name}")

    def test_cut_connections_are_replaced(self, backend, monkeypatch):
        # Cut while idle, in the middle of a command, and just after a commit
        # that reached the server: each command is applied once.
        import psycopg
        from api.database.postgres import PostgresTransaction
        db.create_network("net")
        set_tag("net", "NODE", "J1", "a")
        pid = db.try_read("net", "select pg_backend_pid() as pid")["pid"]
        with admin(db.database_url()) as conn:
            conn.execute("select pg_terminate_backend(%s)", (pid,))
        assert orvane.get_tag("net", "NODE", "J1")["tag"] == "a"
        db.execute_batch("net", "create sequence public.cut")
        db.execute_command("net", db.DbChangeSet(
            "select case when nextval('public.cut') = 1 then pg_terminate_backend(pg_backend_pid()) end;\n"
            "insert into tags_node values ('J2', 'b');", "delete from tags_node where id = 'J2';", [], []))
        commit = PostgresTransaction.commit

        def commit_then_cut(tx):
            commit(tx)
            tx.conn.close()
            raise psycopg.OperationalError("server closed the connection unexpectedly")
        monkeypatch.setattr(PostgresTransaction, "commit", commit_then_cut)
        set_tag("net", "NODE", "J3", "c")
        monkeypatch.undo()
        assert rows() == [("J1", "a"), ("J2", "b"), ("J3", "c")] and len(db.journal("net")) == 3
        assert len({e["command"] for e in db.journal("net")}) == 3
        with pytest.raises(db.DatabaseUnavailableError, match="whether the write was applied cannot be known") as e:
            monkeypatch.setattr(PostgresTransaction, "commit", commit_then_cut)
            db.execute_batch("net", "insert into tags_node values ('J4', 'd')")
        monkeypatch.undo()
        assert isinstance(e.value.__cause__, psycopg.OperationalError) and e.value.applied is None

    def test_server_down_then_up(self, backend, tmp_path):
        db.create_network("net")
        set_tag("net", "NODE", "J1", "a")
        port = urllib.parse.urlsplit(db.database_url()).port
        start = time.monotonic()
        db.set_database_url(db.database_url().replace(f":{port}/", ":1/"))
        with pytest.raises(db.DatabaseUnavailableError, match=r"^the PostgreSQL server at .* is unavailable: ") as e:
            orvane.get_tag("net", "NODE", "J1")
        assert time.monotonic() - start < 10 and e.value.__cause__ is not None
        db.set_database_url(db.database_url().replace(":1/", f":{port}/"))
        assert orvane.get_tag("net", "NODE", "J1")["tag"] == "a"

    LONG_WRITER_CUTS = 3

    def test_long_lived_writer_cut_three_times(self, backend, tmp_path):
        db.create_network("net")
        db.execute_batch("net", "insert into tags_link values ('count', '0')")
        done = []
        import threading
        writers = threading.Thread(target=lambda: done.append(dbtools.run_writers(tmp_path / "go", 1, 1, 600)))
        writers.start()
        cut = 0
        with admin(db.database_url()) as conn:
            while cut < self.LONG_WRITER_CUTS and writers.is_alive():
                time.sleep(0.2)
                cut += conn.execute("select count(pg_terminate_backend(pid)) as n from pg_stat_activity"
                                    " where application_name = 'orvane' and pid <> pg_backend_pid()"
                                    " and datname = current_database()").fetchone()[0] > 0
        writers.join()
        assert cut == self.LONG_WRITER_CUTS and done and done[0] == [1] * 600
        applied = dbtools.check_history()
        assert len(applied) == 600 and len({e["redo_cs"][0]["id"] for e in applied}) == 600

    def test_forked_child_leaves_the_parent_connection_alone(self, backend):
        db.create_network("net")
        pid = db.try_read("net", "select pg_backend_pid() as pid")["pid"]
        child = os.fork()
        if child == 0:
            ok = False
            try:
                set_tag("net", "NODE", "J1", "child")
                ok = db.try_read("net", "select pg_backend_pid() as pid")["pid"] != pid
                db.close_all()
            finally:
                os._exit(0 if ok else 1)
        assert os.waitpid(child, 0)[1] == 0
        assert db.try_read("net", "select pg_backend_pid() as pid")["pid"] == pid
        assert rows() == [("J1", "child")]


class TestTagtool:
    @pytest.fixture
    def tool(self, backend, capsys):
        """Runs a tag tool command in-process on this test's database, named by
        --database alone: (exit status, stdout, stderr)."""
        from tagtool import main
        url = child_url()
        db.set_database_url(None)
        db.set_data_dir(None)

        def run(*argv):
            status = main(["--database", url, *argv])
            return (status, *capsys.readouterr())
        return run

    def test_session(self, tool):
        assert tool("create", "net")[0] == 0
        assert tool("set", "net", "NODE", "J1", "it's a\\b") == (
            0, "NODE J1: tag 'it's a\\\\b'\n",
            "tagtool: warning: NODE J1: the tag holds whitespace; export will refuse it\n")
        assert tool("get", "net", "node", "J1") == (0, "it's a\\b\n", "")
        assert tool("undo", "net") == (0, "undone: NODE J1: no tag\n", "")
        assert tool("networks")[:2] == (0, "net\n")
        assert db.list_networks() == ["net"] and rows() == []

    @pytest.mark.parametrize("url, status, message", [
        ("mysql://u:pw@h/d", 1, "tagtool: unsupported database URL 'mysql://u:***@h/d' (set_database_url): "
                             "it must begin with postgresql://, postgres:// or sqlite:\n"),
        ("postgresql://127.0.0.1:1/none?connect_timeout=5", 75, "tagtool: the PostgreSQL server at "
         "postgresql://127.0.0.1:1/none?connect_timeout=5 is unavailable: connection failed: "),
    ])
    def test_bad_database(self, capsys, url, status, message):
        from tagtool import main
        try:
            assert main(["--database", url, "networks"]) == status
        finally:
            db.set_database_url(None)
        out, err = capsys.readouterr()
        assert out == "" and err.startswith(message) and err.count("\n") == 1
