"""The history command: a network's journal, newest command first, one
line a command: its number, when (local time) and by whom it was written,
what it did (a set or a clear with the element and its tags, an import of a
file or zones with their counts), and whether it is undone."""

from api import database

from .output import describe, out, quoted, shown


def what(records, before, label):
    """What one journal entry did, from its redo records, the undo records
    ``before`` and the tool's label of it (or None)."""
    if len(records) == 1 and records[0].get("type") == "import":
        return describe(records[0], label)
    parts = []
    for record, old in zip(records, before):
        element = f"{record.get('t_type')} {shown(str(record.get('id')))}"
        was = "no tag" if old.get("tag") is None else quoted(str(old["tag"]))
        if record.get("tag") is None:
            parts.append(f"{label or 'clear'} {element} (was {was})")
        else:
            parts.append(f"{label or 'set'} {element} {quoted(str(record['tag']))} (was {was})")
    return "; ".join(parts) or (label or "nothing")


COLUMNS = "seq, redo_cs, undo_cs, undone"
STAMPS = ", made_at, made_by"       # a network made before has no such columns


def entries(network, order):
    """The journal's rows in ``order``, without their SQL texts, each with
    its time and user (None where the entry has none)."""
    try:
        return database.read_all(network, f"select {COLUMNS}{STAMPS} from undo_journal{order}")
    except database.Error:
        rows = database.read_all(network, f"select {COLUMNS} from undo_journal{order}")
        return [row | {"made_at": None, "made_by": None} for row in rows]


def local_time(stamp):
    """A UTC time of the journal as the local date and time, to the minute."""
    if stamp is None:
        return "-".ljust(16)
    from datetime import datetime

    return datetime.fromisoformat(stamp).astimezone().strftime("%Y-%m-%d %H:%M")


def register(command):
    sub = command("history", cmd_history, "net1 --limit 10")
    sub.add_argument("--limit", type=int, metavar="N", help="show the newest N commands only")


def cmd_history(args):
    if args.limit is not None and args.limit < 1:
        args.parser.error("--limit takes a number of commands, 1 or more")
    show_history(args.network, args.limit)


def show_history(network, limit=None):
    """Write the journal of ``network``, newest first: its newest ``limit``
    commands (None: all)."""
    import json

    # The journal's own columns, newest first, without its SQL texts; the
    # records of all the entries parsed in one call.
    rows = entries(network, " order by seq desc" + ("" if limit is None else f" limit {int(limit)}"))
    if not rows:
        out(f"{network}: no command yet")
        return
    redo = json.loads("[" + ",".join(row["redo_cs"] for row in rows) + "]")
    undo = json.loads("[" + ",".join(row["undo_cs"] for row in rows) + "]")
    labels = database.command_labels(network)
    width = len(str(rows[0]["seq"]))
    users = {row["made_by"]: shown(row["made_by"] or "-") for row in rows}
    who = max(map(len, users.values()))
    out("\n".join(f"{row['seq']:>{width}}  {local_time(row['made_at'])}  "
                  f"{users[row['made_by']]:<{who}}  {what(after, before, labels.get(row['seq']))}"
                  f"{'  (undone)' if row['undone'] else ''}"
                  for row, after, before in zip(rows, redo, undo)))
    if limit is not None and len(rows) == limit:
        total = database.read_all(network, "select count(*) as n from undo_journal")[0]["n"]
        if total > len(rows):
            out(f"... {total - len(rows)} older (--limit {total} shows all)")
