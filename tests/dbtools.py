"""What the database tests share: child processes, the stored rows, the
writers' script and the check that the journal tells the truth."""

import json
import os
import subprocess
import sys
import textwrap

from api import database as db
from api import orvane

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_child(code, *args, prefix=(), stderr=None):
    """A Python child running ``code`` with ``args``, its output piped."""
    env = dict(os.environ, PYTHONPATH=ROOT)
    return subprocess.Popen([*prefix, sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            env=env, stdout=subprocess.PIPE, stderr=stderr, text=True)


def child_url():
    """The URL under which a child process finds this test's networks."""
    return db.database_url() if db.backend_name() == "postgresql" else "sqlite:" + db.data_dir()


def rows(name="net", table="tags_node"):
    return sorted((r["id"], r["tag"]) for r in db.read_all(name, f"select * from {table}"))


def set_tag(name, t_type, id, tag):
    return orvane.set_tag(name, db.ChangeSet({"t_type": t_type, "id": id, "tag": tag}))


# Each writer (a thread of a child process) runs COUNT commands on network
# "net", each setting its own element, the element J1 that every writer sets,
# and bumping the shared count of the link "count"; it undoes every UNDO-th
# command and redoes every second of those.  A command that conflicts is built
# again; each thread prints how many tries each command took.
WRITER = """
    import json, os, sys, threading, time
    from api import database as db, orvane
    url, go, count, threads, undo_every, scoped = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:7])
    db.set_database_url(url)
    bump = "\\nupdate tags_link set tag = cast(cast(tag as integer) + {} as text) where id = 'count';"

    def command(me, i):
        own = orvane._set_tag("net", db.ChangeSet({"t_type": "NODE", "id": f"{me}.{i}", "tag": "v"}))
        shared = orvane._set_tag("net", db.ChangeSet({"t_type": "NODE", "id": "J1", "tag": f"{me}.{i}"}))
        db.execute_command("net", db.DbChangeSet(
            own.redo_sql + "\\n" + shared.redo_sql + bump.format(1),
            shared.undo_sql + "\\n" + own.undo_sql + bump.format(-1),
            own.redo_cs + shared.redo_cs, shared.undo_cs + own.undo_cs))

    def write(me, tries):
        for i in range(1, count + 1):
            tries.append(0)
            while True:
                tries[-1] += 1
                try:
                    if scoped:
                        with db.command("net"):
                            command(me, i)
                    else:
                        command(me, i)
                    break
                except db.ConflictError:
                    pass
            if undo_every and i % undo_every == 0:
                db.undo("net")
            if undo_every and i % (2 * undo_every) == 0:
                db.redo("net")

    while not os.path.exists(go):
        time.sleep(0.001)
    tries = [[] for _ in range(threads)]
    workers = [threading.Thread(target=write, args=(f"p{os.getpid()}.{n}", tries[n])) for n in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    print(json.dumps(tries))
"""


def run_writers(go, processes, threads, count, undo_every=0, scoped=False):
    """Run the writers on this test's network "net" (its link "count"
    holding "0"); the tries of every command.  Each child's errors fail the
    test."""
    children = [run_child(WRITER, child_url(), go, count, threads, undo_every, int(scoped),
                          stderr=subprocess.PIPE) for _ in range(processes)]
    go.touch()
    results = [child.communicate(timeout=300) for child in children]
    assert [(c.returncode, err) for c, (_, err) in zip(children, results)] == [(0, "")] * processes
    return [n for out, _ in results for thread in json.loads(out) for n in thread]


def check_history(name="net"):
    """The journal tells the truth: every applied entry's undo expects what
    the entries before it left, the stored tags are what the applied entries
    left, the count is theirs, and undoing them all leaves no tag."""
    applied = [e for e in db.journal(name) if not e["undone"]]
    held, stale = {}, []
    for entry in applied:
        stale += [(entry["seq"], r["id"]) for r in entry["undo_cs"] if r["tag"] != held.get(r["id"])]
        held.update((r["id"], r["tag"]) for r in entry["redo_cs"])
    assert stale == []
    assert rows(name) == sorted((id, tag) for id, tag in held.items() if tag is not None)
    assert rows(name, "tags_link") == [("count", str(len(applied)))]
    while db.undo(name):
        pass
    assert rows(name) == [] and rows(name, "tags_link") == [("count", "0")]
    return applied
