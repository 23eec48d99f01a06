"""The undo history under concurrent writers, imports as commands of the
history, readers beside a writer, and networks on read-only storage, on SQLite
and PostgreSQL."""

import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from api import database as db
from api import orvane

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def set_tag(t_type, id, tag, name="net"):
    return orvane.set_tag(name, db.ChangeSet({"t_type": t_type, "id": id, "tag": tag}))


def tags(name="net"):
    return sorted((t["t_type"], t["id"], t["tag"]) for t in orvane.get_tags(name))


def run_child(code, *args, prefix=()):
    env = dict(os.environ, PYTHONPATH=ROOT)
    return subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          env=env, capture_output=True, text=True, timeout=120)


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


WRITER = """
    import os, sys, threading, time
    from api import database as db, orvane
    db.set_database_url(sys.argv[1])
    seconds, threads, go = float(sys.argv[2]), int(sys.argv[3]), sys.argv[4]

    def write(me):
        n = 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            n += 1
            while True:     # a command that conflicts is built again
                try:
                    orvane.set_tag("net", db.ChangeSet({"t_type": "NODE", "id": f"J{n % 3}", "tag": f"{me}.{n}"}))
                    break
                except db.ConflictError:
                    pass
            if n % 7 == 0:
                db.undo("net")
            if n % 11 == 0:
                db.redo("net")

    while not os.path.exists(go):
        time.sleep(0.001)
    workers = [threading.Thread(target=write, args=(f"{os.getpid()}.{i}",)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
"""


class TestManyWriters:
    @pytest.mark.parametrize("processes, threads", [(8, 1), (1, 8)], ids=["processes", "threads"])
    def test_history_stays_true(self, net, tmp_path, processes, threads):
        set_tag("NODE", "J0", "first")
        go = tmp_path / "go"
        env = dict(os.environ, PYTHONPATH=ROOT)
        children = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(WRITER), net, "2", str(threads), go],
                                     env=env, stderr=subprocess.PIPE, text=True) for _ in range(processes)]
        go.touch()
        assert [c.communicate(timeout=120)[1] for c in children] == [""] * processes
        # Every applied entry's undo holds what the entry before it left there.
        applied = [e for e in db.journal("net") if not e["undone"]]
        held, stale = {}, 0
        for entry in applied:
            (old,), (new,) = entry["undo_cs"], entry["redo_cs"]
            stale += old["tag"] != held.get(old["id"])
            held[new["id"]] = new["tag"]
        assert len(applied) > 1 and stale == 0
        assert tags() == sorted(("NODE", id, tag) for id, tag in held.items() if tag is not None)
        while db.undo("net"):
            pass
        assert tags() == []


def import_into(name, lines):
    """Import INP tag lines as the tool's replacing import would: each element
    named gets the line's tag in place of the stored one."""
    stored = {(t["t_type"], t["id"]): t["tag"] for t in orvane.get_tags(name)}
    changes = [(line.split()[0], line.split()[1], stored.get((line.split()[0], line.split()[1])),
                line.split()[2] if len(line.split()) > 2 else None) for line in lines]
    statements = [orvane.inp_in_tag(line) for line in lines if len(line.split()) > 2]
    return db.execute_import(name, statements, changes)


class TestImports:
    def test_import_undo_redo(self, net):
        set_tag("NODE", "J1", "A")
        set_tag("NODE", "J1", None)                 # cleared
        set_tag("NODE", "J2", "b")
        set_tag("LINK", "P1", "p")
        before = tags()
        counts = import_into("net", ["NODE J1 Imported", "NODE J2 B2", "LINK P2 it's", "LINK P1"])
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
        db._write("net", hold)
    """

    def test_read_while_a_writer_holds_the_lock(self, net):
        set_tag("NODE", "J1", "a")
        env = dict(os.environ, PYTHONPATH=ROOT)
        with subprocess.Popen([sys.executable, "-c", textwrap.dedent(self.HOLDER), net],
                              env=env, stdout=subprocess.PIPE, text=True) as holder:
            assert holder.stdout.readline() == "held\n"
            db.close_all()          # a reader that connects while the lock is held
            start = time.monotonic()
            assert orvane.get_tag("net", "NODE", "J1")["tag"] == "a"
            assert tags() == [("NODE", "J1", "a")] and len(db.journal("net")) == 1
            assert time.monotonic() - start < 1
        assert holder.returncode == 0 and tags() == []


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
