"""The undo history under concurrent writers, imports as commands of the
history, readers beside a writer, and networks on read-only storage, on SQLite
and PostgreSQL."""

import os
import shutil
import subprocess
import time

import pytest

from api import database as db
from api import orvane
import dbtools


def set_tag(t_type, id, tag, name="net"):
    return dbtools.set_tag(name, t_type, id, tag)


def tags(name="net"):
    return sorted((t["t_type"], t["id"], t["tag"]) for t in orvane.get_tags(name))


def run_child(code, *args, prefix=()):
    child = dbtools.run_child(code, *args, prefix=prefix, stderr=subprocess.PIPE)
    child.stdout, child.stderr = child.communicate(timeout=120)
    return child


@pytest.fixture
def net(backend_url):
    db.set_database_url(backend_url)
    db.create_network("net")
    yield backend_url
    db.close_all()


class TestConflicts:
    def test_command_read_before_another_writer(self, net):
        set_tag("NODE", "J1", "init")
        stale = orvane._set_tag("net", db.ChangeSet({"t_type": "NODE", "id": "J1", "tag": "A"}))
        child = run_child("""
            import sys
            from api import database as db, orvane
            db.set_database_url(sys.argv[1])
            orvane.set_tag("net", db.ChangeSet({"t_type": "NODE", "id": "J1", "tag": "B"}))
        """, net)
        assert child.returncode == 0, child.stderr
        with pytest.raises(db.ConflictError, match=r"^network 'net': NODE J1 changed since this command was "
                           r"read \(it holds 'B', the command expected 'init'\); nothing was written$") as e:
            db.execute_command("net", stale)
        assert (e.value.network, e.value.t_type, e.value.id, e.value.stored, e.value.expected, e.value.count) == (
            "net", "NODE", "J1", "B", "init", 1)
        assert tags() == [("NODE", "J1", "B")] and len(db.journal("net")) == 2
        set_tag("NODE", "J1", "A")                      # built again, it goes through
        assert db.undo("net")[0]["tag"] == "B" and db.undo("net")[0]["tag"] == "init"

    @pytest.mark.parametrize("step, expected", [(db.undo, "'b'"), (db.redo, "'a'")])
    def test_step_over_an_unjournaled_write(self, net, step, expected):
        set_tag("NODE", "J1", "a")
        set_tag("NODE", "J1", "b")
        if step is db.redo:
            db.undo("net")
        db.execute_batch("net", ["delete from tags_node where id = 'J1'",
                                 "insert into tags_node values ('J1', 'batch')"])
        before = db.journal("net")
        with pytest.raises(db.ConflictError, match=f"it holds 'batch', the {step.__name__} expected {expected}"):
            step("net")
        assert tags() == [("NODE", "J1", "batch")] and db.journal("net") == before


class TestManyWriters:
    # Writer processes, or threads of one process, on one network, all of
    # them setting J1: each command's undo holds what the one before it left.
    @pytest.mark.parametrize("processes, threads, undo_every", [(8, 1, 0), (8, 1, 4), (1, 8, 4)],
                             ids=["processes", "processes-undoing", "threads-undoing"])
    def test_history_stays_true(self, net, tmp_path, processes, threads, undo_every):
        db.execute_batch("net", "insert into tags_link values ('count', '0')")
        count = 30
        tries = dbtools.run_writers(tmp_path / "go", processes, threads, count, undo_every)
        applied = dbtools.check_history()
        assert len(tries) == processes * threads * count
        if not undo_every:
            assert len(applied) == len(db.journal("net")) == processes * threads * count

    def test_commands_in_a_scope_never_lose(self, net, tmp_path):
        # Eight processes, 25 commands each on J1, each read and written in
        # one command scope: no command is ever overtaken.
        db.execute_batch("net", "insert into tags_link values ('count', '0')")
        tries = dbtools.run_writers(tmp_path / "go", 8, 1, 25, scoped=True)
        assert tries == [1] * 200
        assert len(dbtools.check_history()) == 200

    def test_scope_reads_inside_and_takes_back_a_failed_write(self, net):
        set_tag("NODE", "J1", "a")
        with db.command("net"):
            set_tag("NODE", "J1", "b")
            assert orvane.get_tag("net", "NODE", "J1")["tag"] == "b"      # its own write
            with pytest.raises(db.ConflictError):
                db.execute_command("net", db.DbChangeSet("delete from tags_node;", "", [], [
                    {"type": "tag", "t_type": "NODE", "id": "J1", "tag": "x"}]))
            set_tag("NODE", "J2", "d")
        assert tags() == [("NODE", "J1", "b"), ("NODE", "J2", "d")] and len(db.journal("net")) == 3
        with pytest.raises(KeyError):
            with db.command("net"):
                set_tag("NODE", "J3", "e")
                raise KeyError("the block failed")
        assert tags() == [("NODE", "J1", "b"), ("NODE", "J2", "d")] and len(db.journal("net")) == 3
        with db.command("net"), pytest.raises(RuntimeError, match="works on its own network alone"):
            db.undo("other")


def import_into(name, lines, statements=True):
    """Import INP tag lines as the tool's replacing import would: each element
    named gets the line's tag in place of the stored one; without
    ``statements``, the new tags as the changes give them."""
    stored = {(t["t_type"], t["id"]): t["tag"] for t in orvane.get_tags(name)}
    changes = [(line.split()[0], line.split()[1], stored.get((line.split()[0], line.split()[1])),
                line.split()[2] if len(line.split()) > 2 else None) for line in lines]
    statements = [orvane.inp_in_tag(line) for line in lines if len(line.split()) > 2] if statements else None
    return db.execute_import(name, statements, changes)


class TestImports:
    @pytest.mark.parametrize("statements", [True, False])
    def test_import_undo_redo(self, net, statements):
        set_tag("NODE", "J1", "A")
        set_tag("NODE", "J1", None)                 # cleared
        set_tag("NODE", "J2", "b")
        set_tag("LINK", "P1", "p")
        before = tags()
        counts = import_into("net", ["NODE J1 Imported", "NODE J2 B2", "LINK P2 it's", "LINK P1"], statements)
        assert counts == {"added": 2, "changed": 1, "removed": 1}
        after = [("LINK", "P2", "it's"), ("NODE", "J1", "Imported"), ("NODE", "J2", "B2")]
        assert tags() == after
        entry = db.journal("net")[-1]
        summary = db.g_update_prefix | {"type": "import", "added": 2, "changed": 1, "removed": 1}
        assert (entry["redo_sql"], entry["undo_sql"], entry["redo_cs"]) == ("", "", [summary])
        assert db.undo("net") == db.ChangeSet(summary | {"added": 1, "removed": 2}) and tags() == before
        assert db.undo("net")[0]["tag"] is None     # the commands before it stay as they were
        assert db.redo("net")[0]["tag"] == "p" and db.redo("net") == db.ChangeSet(summary) and tags() == after
        db.undo("net")
        set_tag("NODE", "J9", "new")                # drops the undone import for good
        assert db.redo("net") == db.ChangeSet() and ("NODE", "J1", "Imported") not in tags()

    def test_import_and_its_undo_refuse_changed_rows(self, net):
        set_tag("NODE", "J1", "a")
        with pytest.raises(db.ConflictError, match=r"NODE J1 changed since this import was read \(it holds 'a', "
                                                   r"the import expected no tag, and 1 more element differs\)"):
            db.execute_import("net", ["insert into tags_node (id, tag) values ('J2', 'x');"],
                              [("NODE", "J1", None, None), ("NODE", "J2", "gone", "x")])
        assert tags() == [("NODE", "J1", "a")] and len(db.journal("net")) == 1
        import_into("net", ["NODE J2 x", "NODE J3 y"])
        db.execute_batch("net", "update tags_node set tag = 'z' where id = 'J3'")
        with pytest.raises(db.ConflictError, match="NODE J3 changed since the command to undo was done "
                                                   r"\(it holds 'z', the undo expected 'y'\)"):
            db.undo("net")
        assert tags() == [("NODE", "J1", "a"), ("NODE", "J2", "x"), ("NODE", "J3", "z")]

    @pytest.mark.parametrize("changes, error, match", [
        ([("NODE", "J1", None)], ValueError, "change 0 must be a tuple"),
        ([("node", "J1", None, "x")], ValueError, "change 0: bad tag type 'node'"),
        ([("NODE", 5, None, "x")], TypeError, "change 0: id must be a str, not int"),
        ([("NODE", "J1", None, "x\x00")], ValueError, "change 0: new_tag holds a NUL"),
        ([("NODE", "J1", None, None)], ValueError, "1 insert statements for 0 new tags"),
    ])
    def test_bad_changes_write_nothing(self, net, changes, error, match):
        with pytest.raises(error, match=match):
            db.execute_import("net", ["insert into tags_node (id, tag) values ('J1', 'x');"], changes)
        assert tags() == [] and db.journal("net") == []


class TestReaders:
    HOLDER = """
        import sys, time
        from api import database as db
        db.set_database_url(sys.argv[1])
        def hold(tx):
            tx.rows("delete from tags_node returning id")     # the lock is taken by now
            print("held", flush=True)
            time.sleep(4)
        db.write("net", hold)
    """

    def test_read_while_a_writer_holds_the_lock(self, net):
        set_tag("NODE", "J1", "a")
        with dbtools.run_child(self.HOLDER, net) as holder:
            assert holder.stdout.readline() == "held\n"
            db.close_all()          # a reader that connects while the lock is held
            start = time.monotonic()
            assert orvane.get_tag("net", "NODE", "J1")["tag"] == "a"
            assert tags() == [("NODE", "J1", "a")] and len(db.journal("net")) == 1
            assert time.monotonic() - start < 1
        assert holder.returncode == 0 and tags() == []


    def test_reader_thread_beside_a_writer_thread_of_its_process(self, net):
        import threading
        set_tag("NODE", "J1", "a")
        held, done = threading.Event(), threading.Event()

        def writer():
            with db.command("net"):
                set_tag("NODE", "J1", "b")
                held.set()
                done.wait(10)
        thread = threading.Thread(target=writer)
        thread.start()
        assert held.wait(10)
        start = time.monotonic()
        read = orvane.get_tag("net", "NODE", "J1")["tag"]
        waited = time.monotonic() - start
        done.set()
        thread.join()
        assert (read, waited < 1) == ("a", True)
        assert orvane.get_tag("net", "NODE", "J1")["tag"] == "b"


class TestReadOnlyStorage:
    READER = """
        import sys
        from api import database as db, orvane
        db.set_data_dir(sys.argv[1])
        print(orvane.get_tag("net", "NODE", "J1")["tag"], orvane.inp_out_tag("net"), len(db.journal("net")))
        for write in (lambda: orvane.set_tag("net", db.ChangeSet({"t_type": "NODE", "id": "J1", "tag": "b"})),
                      lambda: db.undo("net"), lambda: db.create_network("other")):
            try:
                write()
                print("written")
            except db.ReadOnlyError as e:
                print(e)
        print(orvane.get_tag("net", "NODE", "J1")["tag"])
    """

    @pytest.fixture
    def folder(self, tmp_path):
        if not shutil.which("unshare"):
            pytest.skip("no unshare command to mount a folder read-only")
        probe = subprocess.run(self.unshare(tmp_path, tmp_path) + ["true"], capture_output=True, text=True)
        if probe.returncode:
            pytest.skip(f"mounting is not allowed here: {probe.stderr.strip()}")
        db.set_database_url("sqlite:")
        db.set_data_dir(tmp_path / "data")
        db.create_network("net")
        set_tag("NODE", "J1", "a")
        yield tmp_path / "data"
        db.close_all()
        db.set_database_url(None)
        db.set_data_dir(None)

    @staticmethod
    def unshare(path, target):
        """The command prefix that runs a command with ``target`` bound read-only
        over itself, in a mount namespace of its own."""
        user = [] if os.geteuid() == 0 else ["-r"]
        return ["unshare", "-m", *user, "sh", "-c", f'mount --bind -o ro "{path}" "{target}" && exec "$@"', "sh"]

    @pytest.mark.parametrize("what, open_writer", [("folder", False), ("folder", True), ("file", False)])
    def test_reads_work_and_writes_say_why(self, folder, what, open_writer):
        if not open_writer:
            db.close_all()          # the last connection takes the write-ahead log away
        assert os.path.exists(folder / "net.db-wal") == open_writer
        path = folder if what == "folder" else folder / "net.db"
        child = run_child(self.READER, folder, prefix=self.unshare(path, path))
        assert child.returncode == 0, child.stderr
        named = f"the data folder {folder}" if what == "folder" else f"the database file {folder / 'net.db'}"
        refused = f"{named} is read-only: nothing was written"
        assert child.stdout.splitlines() == ["a ['NODE J1 a'] 1", refused, refused,
                                             refused if what == "folder" else "written", "a"]
