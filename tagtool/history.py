"""The history command: a network's journal, newest command first, one
line a command: its number, what it did (a set or a clear with the element
and its tags, an import or zones with their counts), and whether it is
undone."""

from api import database

from .output import out, quoted, shown


def what(records, before, label):
    """What one journal entry did, from its redo records, the undo records
    ``before`` and the tool's label of it (or None)."""
    if len(records) == 1 and records[0].get("type") == "import":
        r = records[0]
        counts = f"{r.get('added')} added, {r.get('changed')} changed, {r.get('removed')} removed"
        return f"{label or 'import'}: {counts}"
    parts = []
    for record, old in zip(records, before):
        element = f"{record.get('t_type')} {shown(str(record.get('id')))}"
        was = "no tag" if old.get("tag") is None else quoted(str(old["tag"]))
        if record.get("tag") is None:
            parts.append(f"{label or 'clear'} {element} (was {was})")
        else:
            parts.append(f"{label or 'set'} {element} {quoted(str(record['tag']))} (was {was})")
    return "; ".join(parts) or (label or "nothing")


def cmd_history(args):
    if args.limit is not None and args.limit < 1:
        args.parser.error("--limit takes a number of commands, 1 or more")
    entries = database.journal(args.network)
    labels = database.command_labels(args.network) if entries else {}
    shown_entries = entries[::-1][:args.limit]
    if not shown_entries:
        out(f"{args.network}: no command yet")
        return
    width = len(str(shown_entries[0]["seq"]))
    lines = [f"{e['seq']:>{width}}  {what(e['redo_cs'], e['undo_cs'], labels.get(e['seq']))}"
             f"{'  (undone)' if e['undone'] else ''}" for e in shown_entries]
    out("\n".join(lines))
    if len(entries) > len(shown_entries):
        out(f"... {len(entries) - len(shown_entries)} older (--limit {len(entries)} shows all)")
