"""The merge of an exchange of tags between a network and a file: what the
target (the file for an export, the network for an import) gets, given the
tags of both sides as mappings {(t_type, id): tag}, the elements the file
speaks for, and the base: what the two agreed on at the exchange the file
is a later state of (tagtool/origin.py finds it), or None.

What must hold, whatever the order of exchanges: an edit made on one side
since the base is never undone unless the other side changed the same
element too (a conflict, settled by --ours or --theirs or refused); a round
trip without edits leaves both sides agreeing; a settled conflict is not
raised again; a removal in the file stays until an import applies it; a
file speaks only for its scope.  One rule gives all of it:

1. The exchange covers the file's scope (the elements it defines, its rows
   or features; nothing when it holds no tag at all), and, unless rows were
   skipped as bad, the elements of the base, so that a row or a line deleted
   since is a removal.  Elements in ``skip`` (unreadable, unwritable,
   unknown) are outside it and keep what they hold.  An export also covers
   the network's other tags the file can take (a GIS layer, only on its
   features): the file has no say on them.
2. Each element is merged three ways against the base's tag (None: no tag,
   and no base means every element's base is None): changed on one side
   only, that side's tag wins; changed on both to different tags, a
   conflict.  So a file of unknown origin never overwrites or removes a tag
   either side holds: one-sided tags go to the other side, differing ones
   are conflicts.
3. The new record agrees on the source's tags (the file's for an import,
   the network's for an export) over the exchange, and keeps the file's own
   where it kept another: whichever side kept its tag against the other is
   then the side that changed since, and the next exchange carries it over,
   with no conflict raised again.
With ``replace`` the target's tags become the source's, over every element
not in ``skip``.
"""

NETWORK, FILE = "network", "file"


class Merge:
    """What a merge decided: ``changes`` {key: new tag or None} for the
    target, ``old`` the target's tags before, ``kept`` the number of tags
    the target keeps against the source, ``conflicts`` (key, base, network,
    file) of each conflict, ``settled`` whether they were settled (by --ours
    or --theirs), ``counts`` added, changed, removed, and the record of the
    exchange once done: ``agreed`` {key: tag or None} and ``file`` {key:
    tag or None} where the file keeps another tag."""

    def __init__(self, target, changes, kept, conflicts, settled, agreed, file):
        self.old, self.changes, self.kept = target, changes, kept
        self.conflicts, self.settled = conflicts, settled
        self.agreed, self.file = agreed, file
        added = sum(1 for key, tag in changes.items() if tag is not None and key not in target)
        removed = sum(1 for tag in changes.values() if tag is None)
        self.counts = {"added": added, "changed": len(changes) - added - removed,
                       "removed": removed}

    def new_target(self):
        """The target's tags after the merge, as a new mapping."""
        tags = dict(self.old)
        for key, tag in self.changes.items():
            if tag is None:
                tags.pop(key, None)
            else:
                tags[key] = tag
        return tags


def covered(scope, base, removals, skip):
    """The elements an exchange covers (rule 1), as a dict in a stable order."""
    keys = dict.fromkeys(scope)
    if keys and base is not None and removals:
        keys.update(dict.fromkeys(base[0]))
        keys.update(dict.fromkeys(base[1]))
    for key in skip:
        keys.pop(key, None)
    return keys


def merge(into, base, network, file, scope, replace=False, side=None, skip=(), removals=True,
          room=None):
    """The Merge of an exchange into ``into`` (NETWORK for an import, FILE
    for an export).  ``base`` is (agreed, file) of the record the file is a
    later state of, or None; ``scope`` the elements the file speaks for
    (empty: nothing); ``side`` NETWORK for --ours, FILE for --theirs;
    ``removals`` False when rows were skipped, so that absent rows say
    nothing; ``room`` the elements an export may write a tag for (a GIS
    layer's features), None for any."""
    skip = skip if isinstance(skip, (set, frozenset, dict)) else set(skip)
    target = network if into == NETWORK else file
    # The elements on which the two sides differ, found in one pass in C:
    # the others need no decision.
    differ = {key for key, _ in network.items() ^ file.items()}
    if replace:
        keys = dict.fromkeys(file)
        keys.update(dict.fromkeys(network))
        for key in skip:
            keys.pop(key, None)
        if into == FILE and room is not None:
            keys = {key: None for key in keys if key in room}
        source = file if into == NETWORK else network
        changes = {key: source.get(key) for key in keys if key in differ}
        return Merge(target, changes, 0, [], True,
                     *after(into, base, keys, network, file, differ, changes, skip, True))
    keys = covered(scope, base, removals, skip)
    told = keys
    if into == FILE:
        extra = [key for key in network if key not in keys and key not in skip
                 and (room is None or key in room)]
        if extra:
            told = dict(keys)
            told.update(dict.fromkeys(extra))
    agreed_get = (base[0] if base is not None else {}).get
    network_get, file_get = network.get, file.get
    changes, conflicts, kept = {}, [], 0
    for key in told:
        if key not in differ:
            continue
        n, f = network_get(key), file_get(key)
        if key not in keys:
            changes[key] = n        # the file has no say on it: the network's tag goes in
            continue
        b = agreed_get(key)
        if f == b:
            won = NETWORK
        elif n == b:
            won = FILE
        else:
            conflicts.append((key, b, n, f))
            if side is None:
                continue
            won = side
        if won == into:
            kept += 1
        else:
            changes[key] = n if won == NETWORK else f
    return Merge(target, changes, kept, conflicts, side is not None,
                 *after(into, base, told, network, file, differ, changes, skip, room is None))


def after(into, base, keys, network, file, differ, changes, skip, whole):
    """(agreed, file) of the record after an exchange over ``keys`` that
    made ``changes`` to the target (rule 3), the two sides differing on
    ``differ`` before; the base's entries on other elements are carried
    over as they were.  ``whole``: the exchange covers every element of the
    source but those of ``skip``."""
    agreed_before, file_before = base if base is not None else ({}, {})
    source = file if into == NETWORK else network
    if whole or into == NETWORK:
        agreed = dict(source)
        for key in skip:
            agreed.pop(key, None)
    else:
        agreed = {key: tag for key, tag in source.items() if key in keys}
    # After an export the file holds another tag than the network's where it
    # differed and was not changed: its own, kept.
    kept_file = {}
    if into == FILE:
        get = file.get
        kept_file = {key: get(key) for key in differ if key not in changes and key in keys}
    for key in agreed_before.keys() - keys:
        agreed[key] = agreed_before[key]
    for key in file_before.keys() - keys:
        kept_file[key] = file_before[key]
    return agreed, kept_file


def file_state(agreed, file):
    """The tags a file held at a record: the agreed ones, with the file's own
    where it kept another."""
    tags = dict(agreed)
    for key, tag in file.items():
        if tag is None:
            tags.pop(key, None)
        else:
            tags[key] = tag
    return tags
