"""The merge of an exchange of tags between a network and a file: what the
target (the file for an export, the network for an import) gets, given the
tags of both sides as mappings {(t_type, id): tag} and the baseline, the
tags the two held in common after their last exchange (None: they never
exchanged any).

With a baseline, each element is merged three ways:
- changed on the source's side only: the target takes the source's tag;
- changed on the target's side only: the target keeps its own ("kept");
- changed on both sides to different tags: a conflict, which --ours (the
  network's tag) or --theirs (the file's) settles, else nothing is written;
- a removal is a change like any other, so a tag removed on one side and
  unchanged on the other is removed on both.
Without one, the target takes every tag the source has and keeps those the
source has none for.  With ``replace`` the target's tags become the
source's.  Elements in ``skip`` (named on bad lines, or left out as
unwritable) are left as the target has them.
"""

NETWORK, FILE = "network", "file"


class Merge:
    """What a merge decided: ``changes`` {key: new tag or None} for the
    target, ``old`` the target's tags before, ``kept`` the number of tags
    the target keeps against the source, ``conflicts`` (key, baseline,
    network, file) of each conflict, ``settled`` whether they were settled
    (by --ours or --theirs), and ``counts`` added, changed, removed."""

    def __init__(self, target, changes, kept, conflicts, settled):
        self.old, self.changes, self.kept = target, changes, kept
        self.conflicts, self.settled = conflicts, settled
        added = sum(1 for key, tag in changes.items() if key not in target)
        removed = sum(1 for tag in changes.values() if tag is None)
        self.counts = {"added": added, "changed": len(changes) - added - removed,
                       "removed": removed}

    def new_target(self):
        """The target's tags after the merge, as a new mapping."""
        tags = dict(self.old)
        for key, tag in self.changes.items():
            if tag is None:
                del tags[key]
            else:
                tags[key] = tag
        return tags


def merge(into, base, network, file, replace=False, side=None, skip=()):
    """The Merge of an exchange into ``into`` (NETWORK for an import, FILE
    for an export); ``side`` is NETWORK for --ours, FILE for --theirs."""
    source, target = (file, network) if into == NETWORK else (network, file)
    changes, conflicts, kept = {}, [], 0
    if replace or base is None:
        for key, tag in source.items():
            if target.get(key) != tag and key not in skip:
                changes[key] = tag
        for key in target:
            if key not in source and key not in skip:
                if replace:
                    changes[key] = None
                else:
                    kept += 1
        return Merge(target, changes, kept, conflicts, True)
    # Every element of the three, in the source's order first, so that new
    # lines come in the order the source gives them.
    keys = dict.fromkeys(source)
    keys.update(dict.fromkeys(target))
    keys.update(dict.fromkeys(base))
    for key in keys:
        s, t = source.get(key), target.get(key)
        if s == t or key in skip:
            continue
        b = base.get(key)
        if s == b:
            kept += 1       # changed on the target's side only
        elif t == b:
            changes[key] = s
        else:
            network_tag, file_tag = (t, s) if into == NETWORK else (s, t)
            conflicts.append((key, b, network_tag, file_tag))
            if side is not None and side != into:
                changes[key] = s
    return Merge(target, changes, kept, conflicts, side is not None)


def baseline_after(base, network, file, changes=None):
    """The baseline after an exchange that left the network (with
    ``changes`` applied to it, when given) and the file holding these tags:
    each tag the two hold in common, and for an element on which they
    differ, the baseline's tag as it was, so that the next exchange still
    sees who changed it."""
    if changes:
        get = network.get
        other = lambda key: changes[key] if key in changes else get(key)
    else:
        other = network.get
    if base is None and all(other(key) == tag for key, tag in file.items()):
        return file         # the first exchange, and the two agree on everything
    after = {}
    for key, tag in file.items():
        if other(key) == tag:
            after[key] = tag
        elif base is not None and key in base:
            after[key] = base[key]
    if base is not None:
        for key, tag in base.items():
            if key not in file and other(key) is not None:
                after[key] = tag
    return after
