"""Reads, updates and deletions of tags on the network database, with undo and
redo; texts that SQL treats specially; reference counts.  Each test runs on
SQLite and on PostgreSQL."""

import gc
import sys

import pytest

from api import database as db
from api import orvane

SEED = {"tags_node": [("J1", "a"), ("J2", "b")], "tags_link": [("P1", "x")]}
TRICKY = ["O'Neil", "''", 'say "hi"', "a;b", "x -- y", "/* c */", "one\ntwo\r\n", "back\\slash\\'",
          "Żółw 水 🌊", "", "null", "NULL", "J1' or '1'='1", "'); delete from tags_node; --"]


@pytest.fixture
def net(backend):
    db.create_network("net")
    db.execute_batch("net", [f"insert into {table} (id, tag) values ('{id}', '{tag}')"
                             for table, rows in SEED.items() for id, tag in rows])
    return "net"


def stored(name="net"):
    """Every stored row, by table, as (id, tag) sorted by id."""
    return {table: sorted((r["id"], r["tag"]) for r in db.read_all(name, f"select * from {table}"))
            for table in SEED}


def with_rows(**tables):
    state = {table: list(rows) for table, rows in SEED.items()}
    for table, rows in tables.items():
        state[table] = sorted(rows)
    return state


def record(t_type, id, tag):
    return db.g_update_prefix | {"type": "tag", "t_type": t_type, "id": id, "tag": tag}


class TestUpdateUndoRedo:
    def test_change_add_clear_then_undo_and_redo(self, net):
        steps = [  # t_type, id, new tag, old tag, stored after
            ("NODE", "J1", "c", "a", with_rows(tags_node=[("J1", "c"), ("J2", "b")])),
            ("LINK", "P2", "y", None, with_rows(tags_node=[("J1", "c"), ("J2", "b")],
                                                tags_link=[("P1", "x"), ("P2", "y")])),
            ("NODE", "J2", None, "b", with_rows(tags_node=[("J1", "c")], tags_link=[("P1", "x"), ("P2", "y")])),
        ]
        states = [stored()] + [step[-1] for step in steps]
        assert states[0] == SEED
        for t_type, id, new, _, after in steps:
            cs = db.ChangeSet({"t_type": t_type, "id": id, "tag": new})
            assert orvane.set_tag(net, cs) == db.ChangeSet(record(t_type, id, new))
            assert stored() == after
        for (t_type, id, _, old, _), before in reversed(list(zip(steps, states))):
            assert db.undo(net) == db.ChangeSet(record(t_type, id, old))
            assert stored() == before
        for (t_type, id, new, _, after) in steps:
            assert db.redo(net) == db.ChangeSet(record(t_type, id, new))
            assert stored() == after

    @pytest.mark.parametrize("delete, table, id", [
        (orvane.delete_tag_by_node, "tags_node", "J1"), (orvane.delete_tag_by_link, "tags_link", "P1")])
    def test_deletion_clears_a_stored_tag_and_can_be_undone(self, net, delete, table, id):
        cleared = with_rows(**{table: [row for row in SEED[table] if row[0] != id]})
        orvane.set_tag(net, delete(net, id))
        assert stored() == cleared
        db.undo(net)
        assert stored() == SEED
        db.redo(net)
        assert stored() == cleared

    def test_deletion_of_an_untagged_node_changes_nothing(self, net):
        assert orvane.delete_tag_by_node(net, "J9") == db.ChangeSet()


@pytest.mark.parametrize("text", TRICKY)
@pytest.mark.parametrize("field", ["id", "tag"])
def test_texts_are_stored_exactly(net, field, text):
    name = net
    id, tag = (text, "t") if field == "id" else ("J9", text)
    orvane.set_tag(name, db.ChangeSet({"t_type": "NODE", "id": id, "tag": tag}))
    assert stored() == with_rows(tags_node=SEED["tags_node"] + [(id, tag)])
    assert orvane.get_tag(name, "NODE", id) == {"t_type": "NODE", "id": id, "tag": tag}
    assert {"t_type": "NODE", "id": id, "tag": tag} in orvane.get_tags(name)
    orvane.set_tag(name, orvane.delete_tag_by_node(name, id))
    assert stored() == SEED
    db.undo(name)
    assert stored() == with_rows(tags_node=SEED["tags_node"] + [(id, tag)])


# Objects made at run time, so that none of them is immortal.
NAME, MISSING, ID, TAG = ("".join([s, ""]) for s in ("net", "nowhere", "J1", "north"))
OP = {"t_type": "NODE", "id": ID, "tag": TAG}
CS, LOWER, NO_TAG = db.ChangeSet(OP), db.ChangeSet(dict(OP, t_type="node")), db.ChangeSet({"t_type": "NODE"})
BAD = [ID]

CALLS = {  # what a call does, and the exception it raises (None: it succeeds)
    "get_tags": (lambda: orvane.get_tags(NAME), None),
    "get_tags-missing": (lambda: orvane.get_tags(MISSING), db.NetworkNotFoundError),
    "get_tag": (lambda: orvane.get_tag(NAME, "LINK", ID), None),
    "get_tag-bad": (lambda: orvane.get_tag(NAME, "NODE", BAD), TypeError),
    "_set_tag": (lambda: orvane._set_tag(NAME, CS), None),
    "_set_tag-type": (lambda: orvane._set_tag(NAME, LOWER), Exception),
    "set_tag": (lambda: orvane.set_tag(NAME, CS), None),
    "set_tag-short": (lambda: orvane.set_tag(NAME, NO_TAG), None),
    "set_tag-missing": (lambda: orvane.set_tag(MISSING, CS), db.NetworkNotFoundError),
    "set_tag-empty": (lambda: orvane.set_tag(NAME, db.ChangeSet()), IndexError),
    "delete_tag_by_node": (lambda: orvane.delete_tag_by_node(NAME, ID), None),
    "delete_tag_by_node-missing": (lambda: orvane.delete_tag_by_node(MISSING, ID), db.NetworkNotFoundError),
    "delete_tag_by_link": (lambda: orvane.delete_tag_by_link(NAME, ID), None),
    "delete_tag_by_link-bad": (lambda: orvane.delete_tag_by_link(NAME, BAD), TypeError),
}


@pytest.mark.parametrize("case", CALLS)
def test_reference_counts_hold(net, case):
    call, error = CALLS[case]
    watched = [NAME, MISSING, ID, TAG, OP, CS, LOWER, NO_TAG, BAD, db.g_update_prefix] + [
        getattr(orvane, n) for n in ("TAG_TYPE_NODE", "TAG_TYPE_LINK", "Tag", "get_tag", "get_tag_schema",
                                     "_set_tag", "read_all", "try_read", "ChangeSet", "DbChangeSet")]

    def run(times):
        raised = 0
        for _ in range(times):
            try:
                call()
            except Exception as e:
                if type(e) is not error:
                    raise
                raised += 1
        assert raised == (times if error else 0)
        gc.collect()
        return [sys.getrefcount(o) for o in watched]

    before = run(1)
    assert run(1000) == before
