"""Many tags in one undoable command: the edits of tables, zones, patterns
and kinds.  The tags an edit wants are merged with the stored ones (a new
tag is added, a different one changed, an equal one left and counted
unchanged; with ``replace`` a stored tag the edit does not give is removed)
and written through ``database.execute_import``, so that one ``undo`` takes
the whole edit back and one ``redo`` applies it again."""

import collections

from api import database, orvane

from .linked import check_ids
from .output import Failure, note, plural, say

TRIES = 5           # merges that other writers keep overtaking
COUNTS = ("added", "changed", "unchanged", "removed")


def stored_tags(network):
    """{(type, id): tag} of the network's tags (a NULL tag is no tag)."""
    return {(t["t_type"], t["id"]): t["tag"] for t in orvane.get_tags(network)
            if t["tag"] is not None}


def merge(wanted, stored, replace=False, group=None):
    """The changes (t_type, id, old, new) that make ``stored`` hold
    ``wanted``, the counts of COUNTS, and the same counts by the group of
    each element (``group``: {(type, id): name})."""
    changes, counts = [], dict.fromkeys(COUNTS, 0)
    groups = collections.defaultdict(lambda: dict.fromkeys(COUNTS, 0))
    for key, tag in wanted.items():
        old = stored.get(key)
        kind = "added" if old is None else "unchanged" if old == tag else "changed"
        counts[kind] += 1
        if group is not None:
            groups[group[key]][kind] += 1
        if kind != "unchanged":
            changes.append((*key, old, tag))
    if replace:
        for key, old in stored.items():
            if key not in wanted:
                counts["removed"] += 1
                changes.append((*key, old, None))
    return changes, counts, dict(groups)


def apply_tags(network, wanted, label, dry_run=False, replace=False, strict=False, group=None,
               model=None):
    """Merge ``wanted`` ({(type, id): tag}) into the network as one
    undoable command labelled ``label`` in its history (nothing is written
    with ``dry_run``, or when nothing changes); the counts and the counts by
    group.  Ids the linked model (or ``model``) lacks are warned about, or
    refused with ``strict``, before anything is written."""
    check_ids(network, wanted.keys(), strict, model)
    if dry_run:
        changes, counts, groups = merge(wanted, stored_tags(network), replace, group)
        return counts, groups
    # Read, written and labelled in one command scope: no other writer comes
    # between the read of the tags and the import.
    with database.command(network):
        changes, counts, groups = merge(wanted, stored_tags(network), replace, group)
        write(network, changes, label)
    return counts, groups


def write(network, changes, label):
    """Store ``changes`` (t_type, id, old, new) as one journaled command
    labelled ``label`` in the history, inside the caller's command scope."""
    if changes:
        written = database.execute_import(network, None, changes)
        database.label_newest(network, label,
                              [database.g_update_prefix | {"type": "import", **written}])


def clear_tags(network, keys, label):
    """Clear the tags of the elements ``keys`` ((type, id) pairs) that have
    one, as one undoable command labelled ``label``; how many."""
    with database.command(network):
        stored = stored_tags(network)
        changes = [(*key, stored[key], None) for key in keys if key in stored]
        write(network, changes, label)
    return len(changes)


def told(counts, replace=False):
    """The counts as a phrase: "3 added, 1 changed, 5 unchanged"."""
    kinds = COUNTS if replace else COUNTS[:3]
    return ", ".join(f"{counts[kind]} {kind}" for kind in kinds)


def report(what, counts, dry_run, replace=False):
    """Print the result line of an edit: what it did and its counts."""
    if dry_run:
        say(f"dry run, nothing written: {what} would give {told(counts, replace)}")
    elif not any(counts[kind] for kind in ("added", "changed", "removed")):
        say(f"{what}: nothing to change ({plural(counts['unchanged'], 'tag')} as given)")
    else:
        say(f"{what}: {told(counts, replace)}")


def import_tags(args, table):
    """The import of a table's tags (tables.Table): merged as one undoable
    command, or with --replace made the network's tags."""
    from .output import DATA_ERROR

    if table.bad and not args.skip_bad:
        raise Failure(f"{args.file}: nothing imported: {plural(table.bad, 'bad row')} "
                      "(--skip-bad imports the rest)", DATA_ERROR)
    if table.bad and args.replace:
        raise Failure(f"{args.file}: nothing imported: with --replace the elements of the "
                      f"{plural(table.bad, 'bad row')} would lose their tags", DATA_ERROR)
    counts, _ = apply_tags(args.network, table.tags, f"import {args.file}", args.dry_run,
                           args.replace, args.strict)
    if table.bad:
        note(f"{args.file}: skipped {plural(table.bad, 'bad row')}")
    if table.empty:
        say(f"{args.file}: {plural(table.empty, 'row')} without a tag left out")
    report(f"import of {args.file} into {args.network}", counts, args.dry_run, args.replace)


def preview(args, tags, stored):
    """What an INP import of ``tags`` ({type: {id: tag}}) into ``stored``
    (the same shape) would change, told without writing."""
    flat = {(t, id): tag for t, ids in tags.items() for id, tag in ids.items()}
    _, counts, _ = merge(flat, {(t, id): tag for t, ids in stored.items()
                                for id, tag in ids.items() if tag is not None}, args.replace)
    report(f"import of {args.file} into {args.network}", counts, True, args.replace)
