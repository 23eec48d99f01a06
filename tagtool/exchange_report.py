"""How an exchange of tags with a file is told: the conflicts that refuse
it, the plan of a dry run, the earlier exchange the file was merged
against, its changes one element a line, and the report of an import."""

import os

from .inpfile import TAGS
from .output import MERGE_CONFLICT, Failure, note, out, plural, quoted, say, shown, warn

SHOWN_CONFLICTS = 20        # conflicts listed one by one; the rest are counted


def tag_text(tag):
    return "no tag" if tag is None else quoted(tag)


def element(key):
    return f"{key[0]} {shown(str(key[1]))}"


def refuse_conflicts(done, network, path):
    """List the conflicts of a Merge that none of --ours and --theirs
    settles, and refuse."""
    if not done.conflicts or done.settled:
        return
    for key, base, ours, theirs in done.conflicts[:SHOWN_CONFLICTS]:
        warn(f"conflict: {element(key)}: base {tag_text(base)}, network {tag_text(ours)}, "
             f"file {tag_text(theirs)}")
    more = len(done.conflicts) - SHOWN_CONFLICTS
    if more > 0:
        warn(f"conflict: ... and {more} more")
    raise Failure(f"{path}: nothing written: {plural(len(done.conflicts), 'conflict')}: tags "
                  f"changed both in network {quoted(network)} and in the file since their last "
                  "exchange (--ours keeps the network's, --theirs the file's)", MERGE_CONFLICT)


def changes_told(done, verb, tell, limit=None):
    """Tell each change of a Merge, one element a line (the first ``limit``
    of them, and how many more): "would add", "removed"..."""
    old = done.old
    changes = done.changes.items()
    for number, (key, tag) in enumerate(changes):
        if limit is not None and number == limit:
            tell(f"... and {len(done.changes) - limit} more")
            break
        if tag is None:
            tell(f"{verb['removed']} {element(key)} {tag_text(old[key])}")
        elif key in old:
            tell(f"{verb['changed']} {element(key)} {tag_text(old[key])} -> {tag_text(tag)}")
        else:
            tell(f"{verb['added']} {element(key)} {tag_text(tag)}")


WOULD = {"added": "would add", "changed": "would change", "removed": "would remove"}
DID = {"added": "added", "changed": "changed", "removed": "removed"}


def show_plan(done, what, origin, path):
    """What a dry run would do to the target, one element a line."""
    tell_origin(origin, done, path)
    changes_told(done, WOULD, out)
    counts = done.counts
    out(f"dry run: {what}: {counts['added']} added, {counts['changed']} changed, "
        f"{counts['removed']} removed, {done.kept} kept; nothing written")


def tell_origin(origin, done, path, real=None):
    """Say what the file was merged against when it matters: an exchange at
    another path (the file travelled), or none while tags differ."""
    if origin is None:
        if done.conflicts or done.kept:
            say(f"{path}: no earlier exchange of this file found: tags both sides hold "
                "differently are conflicts, and none is removed")
    elif origin.path != (real or os.path.realpath(path)):
        say(f"{path}: merged against {origin.told()}")


def conflicts_note(done):
    if not done.conflicts:
        return ""
    return f", {plural(len(done.conflicts), 'conflict')} settled"


def tell_import(network, file, done, counts, origin, replace, tags):
    """The report of an import: its origin, what it changed (the first
    SHOWN_CONFLICTS), and its counts."""
    if file.skipped:
        unit = "line" if file.fmt == "inp" else "row"
        note(f"{file.path}: skipped {plural(file.skipped, 'bad ' + unit)}"
             + ("" if replace else f"; no tag removed for {unit}s the file no longer holds"))
    if not replace:
        tell_origin(origin, done, file.path)
    if not replace and (done.counts["changed"] or done.counts["removed"]):
        changes_told(done, DID, say, SHOWN_CONFLICTS)
    remark = ("" if file.fmt != "inp" or TAGS in file.sections
              else f" (the file has no {TAGS} section)")
    if not file.tags and not replace and tags:
        remark += "; a file without tags speaks for no element (--replace clears every tag)"
    if replace:
        say(f"updated the tags of {network} from {file.path}: {counts['added']} added, "
            f"{counts['changed']} changed, {counts['removed']} removed{remark}")
        return
    unchanged = sum(1 for key, tag in file.tags.items() if tags.get(key) == tag)
    kept = (f"; {plural(done.kept, 'tag')} changed in the network since kept (export writes "
            "them)" if done.kept else "")
    told = f"imported {plural(len(file.tags), 'tag')} into {network}"
    if counts["added"] < len(file.tags) or counts["removed"] or kept or done.conflicts:
        told += (f": {counts['added']} added, {counts['changed']} changed, {counts['removed']} "
                 f"removed, {unchanged} unchanged{conflicts_note(done)}{kept}")
    say(told + remark)
