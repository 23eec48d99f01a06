"""Many tags in one undoable command: the edits of zones, patterns
and kinds.  The tags an edit wants are merged with the stored ones (a new
tag is added, a different one changed, an equal one left and counted
unchanged; with ``replace`` a stored tag the edit does not give is removed)
and written through ``database.execute_import``, so that one ``undo`` takes
the whole edit back and one ``redo`` applies it again."""

import collections

from api import database, orvane

from .linked import check_ids
from .output import plural, say

TRIES = 5           # merges that other writers keep overtaking
COUNTS = ("added", "changed", "unchanged", "removed")


def stored_tags(network):
    """{(type, id): tag} of the network's tags (a NULL tag is no tag)."""
    return {(t["t_type"], t["id"]): t["tag"] for t in orvane.get_tags(network)
            if t["tag"] is not None}


def merge(wanted, stored, replace=False, group=None, left=None):
    """The changes (t_type, id, old, new) that make ``stored`` hold
    ``wanted``, the counts of COUNTS, and the same counts by the group of
    each element (``group``: {(type, id): name}).  ``replace`` removes the
    stored tags that ``wanted`` lacks: all of them (True) or those of the
    elements it holds (a set); ``left(key)`` names why a stored tag outside
    that set is kept, and the counts count them by that name."""
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
            if key in wanted:
                continue
            if replace is True or key in replace:
                counts["removed"] += 1
                changes.append((*key, old, None))
            elif left is not None and (why := left(key)) is not None:
                counts[why] = counts.get(why, 0) + 1
    return changes, counts, dict(groups)


def apply_tags(network, wanted, label, dry_run=False, replace=False, strict=False, group=None,
               model=None, left=None):
    """Merge ``wanted`` ({(type, id): tag}) into the network as one
    undoable command labelled ``label`` in its history (nothing is written
    with ``dry_run``, or when nothing changes); the counts and the counts by
    group.  Ids the linked model (or ``model``) lacks are warned about, or
    refused with ``strict``, before anything is written."""
    check_ids(network, wanted.keys(), strict, model, write=not dry_run)
    if dry_run:
        changes, counts, groups = merge(wanted, stored_tags(network), replace, group, left)
        return counts, groups
    # Read, written and labelled in one command scope: no other writer comes
    # between the read of the tags and the import.
    with database.command(network):
        changes, counts, groups = merge(wanted, stored_tags(network), replace, group, left)
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
