"""Commands and the undo journal: a command checks that what it was built
from still holds, then runs and is journaled; an import is journaled as its
changes; undo and redo replay an entry after the same check."""

from .records import ChangeSet, ConflictError, g_update_prefix
from .schema import DROP_UNDONE, NEWEST_APPLIED, OLDEST_UNDONE, TABLES
from .side_tables import put_exchange
from .store import check_text
from .transaction import query, write


def _expected(name, records):
    """The tag that each element named by the tag change ``records`` should
    hold, by (t_type, id): the last record of an element wins, since the SQL
    it goes with runs in the records' order."""
    want = {}
    for record in records:
        if (isinstance(record, dict) and record.get("type") == "tag" and record.get("t_type") in TABLES
                and isinstance(record.get("id"), str)):
            tag = record.get("tag")
            if tag is not None and not isinstance(tag, str):
                raise TypeError(f"network {name!r}: the record of {record['t_type']} {record['id']} "
                                f"holds a tag of type {type(tag).__name__}, not str")
            want[record["t_type"], record["id"]] = tag
    return want


def _check(tx, name, want, since, who):
    """Raise ConflictError unless every element of ``want`` holds the tag
    given there; a row whose tag is NULL counts as no tag."""
    if not want:
        return
    stored = tx.tags(want)
    differ = [key for key, tag in want.items() if stored.get(key) != tag]
    if differ:
        t_type, id = differ[0]
        raise ConflictError(name, t_type, id, stored.get(differ[0]), want[differ[0]], len(differ), since, who)


def _drop_undone(tx):
    """Drop the undone entries, which a new command makes unreachable."""
    for sql in DROP_UNDONE:
        tx.run(sql)


def execute_command(name, db_cs):
    """Apply ``db_cs.redo_sql`` on network ``name`` and journal the command for
    undo, in one transaction; return a ChangeSet of its redo records.

    Every element that a record of ``db_cs.undo_cs`` names (records of type
    "tag") must still hold the record's tag (None: no tag): the undo would
    restore it, so it is what the command was built from.  If one does not,
    another writer changed it since the command was read: nothing is written
    and ConflictError is raised, so that the caller can build the command
    again."""
    redo_sql = check_text(db_cs.redo_sql, "redo_sql")
    undo_sql = check_text(db_cs.undo_sql, "undo_sql")
    import json

    redo_cs, undo_cs = list(db_cs.redo_cs), list(db_cs.undo_cs)
    want = _expected(name, undo_cs)
    entry = (redo_sql, undo_sql, json.dumps(redo_cs), json.dumps(undo_cs))

    def work(tx):
        _check(tx, name, want, "this command was read", "the command")
        tx.script(redo_sql)
        _drop_undone(tx)
        tx.run(tx.sql["add"], entry)
    write(name, work)
    return ChangeSet(*redo_cs)


def _import_changes(changes, counts):
    """Check and count the (t_type, id, old_tag, new_tag) tuples ``changes``
    while they are stored."""
    for i, change in enumerate(changes):
        try:
            t_type, id, old, new = change
        except (TypeError, ValueError):
            raise ValueError(f"change {i} must be a tuple (t_type, id, old_tag, new_tag), not {change!r}") from None
        if t_type not in TABLES:
            raise ValueError(f"change {i}: bad tag type {t_type!r}: expected 'NODE' or 'LINK'")
        # Texts without a NUL pass here; any other value gets the checks and
        # their messages.
        if not (type(id) is str and "\x00" not in id
                and (old is None or type(old) is str and "\x00" not in old)
                and (new is None or type(new) is str and "\x00" not in new)):
            check_text(id, f"change {i}: id")
            for tag, what in ((old, "old_tag"), (new, "new_tag")):
                if tag is not None:
                    check_text(tag, f"change {i}: {what}")
        if old is None:
            counts["added"] += new is not None
        else:
            counts["changed" if new is not None else "removed"] += old != new
        counts["new"] += new is not None
        yield t_type, id, old, new


def _summary(added, changed, removed):
    return g_update_prefix | {"type": "import", "added": added, "changed": changed, "removed": removed}


def _check_import(tx, name, seq, expect, since, who):
    """Raise ConflictError unless every element of import entry ``seq`` holds
    the tag of its column ``expect`` (old_tag or new_tag)."""
    counts = {t_type: tx.rows(tx.sql[t_type]["count"].format(expect=expect), (seq,))[0]["n"]
              for t_type in TABLES}
    if any(counts.values()):
        t_type = next(t for t, n in counts.items() if n)
        row = tx.rows(tx.sql[t_type]["first"].format(expect=expect), (seq,))[0]
        raise ConflictError(name, t_type, row["id"], row["stored"], row["expected"], sum(counts.values()),
                            since, who)


def _clear_import(tx, seq):
    """Remove the rows of the elements of import entry ``seq``."""
    for t_type in TABLES:
        tx.run(tx.sql[t_type]["clear"], (seq,))


def execute_import(name, statements, changes, baseline=None):
    """Import tags into network ``name`` as one journaled command, so that undo
    takes it back and redo applies it again; return the counts
    ``{"added": a, "changed": c, "removed": r}``.

    ``changes`` holds one (t_type, id, old_tag, new_tag) tuple for each element
    that the import touches, at most once each, with None for no tag;
    ``statements`` the insert statements (one statement a text, as
    ``orvane.inp_in_tag`` builds them) of the elements whose new tag is not
    None, or None to store the new tags of ``changes`` as redo stores them
    (one statement a table).  In one transaction: every old_tag must still be
    stored (ConflictError otherwise, and nothing is written), the rows of the
    elements named are removed, the statements run, and the journal keeps the
    changes themselves, one row each beside the entry, not the statements.
    ``baseline``, the record of the exchange with a file (a dict, as
    ``write_exchange`` takes it), is stored in the same transaction."""
    import json

    counts = {"added": 0, "changed": 0, "removed": 0, "new": 0}

    def work(tx):
        texts = 0

        def checked():
            nonlocal texts
            for text in statements:
                yield (text if type(text) is str and "\x00" not in text
                       else check_text(text, f"statement {texts}"))
                texts += 1

        _drop_undone(tx)
        seq = tx.rows(tx.sql["add"], ("", "", "[]", "[]"))[0]["seq"]
        tx.add_changes(seq, _import_changes(changes, counts))
        _check_import(tx, name, seq, "old_tag", "this import was read", "the import")
        _clear_import(tx, seq)
        if statements is None:
            for t_type in TABLES:
                tx.run(tx.sql[t_type]["restore"].format(put="new_tag"), (seq,))
        else:
            tx.statements(checked())
            if texts != counts["new"]:
                raise ValueError(f"network {name!r}: {texts} insert statements for {counts['new']} new tags: "
                                 "an import gives one for each change whose new tag is not None; nothing was written")
        tx.run(tx.sql["summary"], (json.dumps([_summary(counts["added"], counts["changed"], counts["removed"])]),
                                    json.dumps([_summary(counts["removed"], counts["changed"], counts["added"])]),
                                    seq))
        if baseline is not None:
            put_exchange(tx, baseline)
    work.again = False          # its statements and changes are read once
    write(name, work)
    del counts["new"]
    return counts


def _step(name, select, undone, since, who):
    import json

    def work(tx):
        rows = tx.rows(select)
        if not rows:
            return ChangeSet()
        seq, records = rows[0]["seq"], json.loads(rows[0]["cs"])
        if rows[0]["sql"] == "" and len(records) == 1 and records[0].get("type") == "import":
            expect, put = ("new_tag", "old_tag") if undone else ("old_tag", "new_tag")
            _check_import(tx, name, seq, expect, since, who)
            _clear_import(tx, seq)
            for t_type in TABLES:
                tx.run(tx.sql[t_type]["restore"].format(put=put), (seq,))
        else:
            _check(tx, name, _expected(name, json.loads(rows[0]["expect"])), since, who)
            tx.script(rows[0]["sql"])
        tx.run(tx.sql["mark"], (undone, seq))
        return ChangeSet(*records)
    return write(name, work)


def undo(name):
    """Revert the newest command still applied; return a ChangeSet of its undo
    records (empty when there is nothing to undo).  Every element that the
    command changed must still hold what the command left there (ConflictError
    otherwise, and nothing is written)."""
    return _step(name, NEWEST_APPLIED, True, "the command to undo was done", "the undo")


def redo(name):
    """Apply again the command undone last; return a ChangeSet of its redo
    records (empty when there is nothing to redo).  Every element that the
    command changes must still hold what its undo left there (ConflictError
    otherwise, and nothing is written)."""
    return _step(name, OLDEST_UNDONE, False, "the command to redo was undone", "the redo")


def journal(name):
    """The journal of network ``name``, oldest command first: dicts with
    ``seq``, ``redo_sql``, ``undo_sql``, ``redo_cs``, ``undo_cs``,
    ``undone`` and ``command``, the identifier of the transaction that wrote
    it (None for an entry written before entries had one), ``made_at``, when
    it was written (UTC, ISO 8601 text), and ``made_by``, the operating
    system's user (SQLite) or the database role (PostgreSQL) that wrote it
    (both None for an entry written before entries had them).  An import shows empty SQL texts and one summary record of
    type "import" with its counts in each direction."""
    import json

    rows = query(name, "select * from undo_journal order by seq")
    for row in rows:
        row["redo_cs"], row["undo_cs"] = json.loads(row["redo_cs"]), json.loads(row["undo_cs"])
        row["undone"] = bool(row["undone"])
    return rows
