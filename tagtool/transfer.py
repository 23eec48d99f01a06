"""The commands that move tags between a network and files: import and
export, in every format (INP [TAGS] sections, the tool's own CSV and JSON,
GIS tables and GeoJSON).

An import from a file, an export into one and an export to a named file are
exchanges, and go through the same steps whatever the format: the file read
into one mapping (a Side, tagtool/exchange_files.py), the door, the origin
of the file among the network's records (tagtool/origin.py), the three-way
merge (tagtool/merge.py), the plan or the refusal of conflicts, then the
journaled import or the written file, and the record of the exchange kept
by ``api.database``.  Each runs under the file's lock (filelock.py), from
reading the file to writing it and recording the exchange.  The commands
turn their options into plain values; the steps below them take those."""

import contextlib
import os

from api import database, orvane

from .filelock import FileLock
from .inpfile import STDIN, TAGS, InpError
from .merge import FILE, NETWORK, merge
from .origin import digest, find_origin, fingerprint, now, pair_hashes
from .output import (DATA_ERROR, MERGE_CONFLICT, TRY_AGAIN, Failure, cut, first_line, note, out,
                     plural, quoted, say, shown, warn, write_status)
from .progress import progress
from .safewrite import check_writable, write_file
from .taglines import PLAIN, plain_section, tag_line, unwritable
from .exchange_files import door, file_format, new_side, read_side

SHOWN_CONFLICTS = 20        # conflicts listed one by one; the rest are counted


def network_tags(name):
    """The network's tags, {(t_type, id): tag}, nodes first: the rows of one
    table at a time, so that they are never all held twice."""
    tags = {}
    for t_type, table in (("NODE", "tags_node"), ("LINK", "tags_link")):
        rows = database.read_all(name, f"select id, tag from {table}")
        tags.update({(t_type, row["id"]): row["tag"] for row in rows})
        del rows
    return tags


def winner(args):
    if args.ours and args.theirs:
        args.parser.error("give --ours or --theirs, not both")
    return NETWORK if args.ours else FILE if args.theirs else None


def file_lock(path, dry_run):
    """The lock of the file, or none for a dry run (which writes nothing,
    and reads the file whole, as it was before a rename or after) or
    standard input."""
    if dry_run or path == STDIN:
        return contextlib.nullcontext()
    return FileLock(path)


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


# Import

def cmd_import(args):
    """import NETWORK FILE: the options as plain values, then import_file."""
    if (args.id_column is None) != (args.tag_column is None):
        args.parser.error("--id-column and --tag-column go together")
    if args.type is not None and args.id_column is None:
        args.parser.error("--type goes with --id-column")
    fmt = file_format(args.file, args.format)
    if fmt == "inp" and args.id_column is not None:
        args.parser.error("--id-column, --tag-column and --type read a table (--format csv or json)")
    import_file(args.network, args.file, fmt, side=winner(args), replace=args.replace,
                dry_run=args.dry_run, skip_bad=args.skip_bad, strict=args.strict,
                skip_unknown=getattr(args, "skip_unknown", False), encoding=args.encoding,
                id_column=args.id_column, tag_column=args.tag_column, t_type=args.type)


def import_file(network, path, fmt, side=None, replace=False, dry_run=False, skip_bad=False,
                strict=False, skip_unknown=False, encoding=None, id_column=None,
                tag_column=None, t_type=None):
    """Import the tags of the file ``path`` (read as ``fmt``) into
    ``network``: merged three ways against the file's origin, or with
    ``replace`` in place of the network's; one undoable command, recorded
    as an exchange with the file.  ``side`` settles conflicts (NETWORK:
    --ours, FILE: --theirs)."""
    with file_lock(path, dry_run):
        file = read_side(path, fmt, id_column, tag_column, t_type, encoding)
        if replace and not file.tags:
            what = f"no {TAGS} section" if fmt == "inp" and TAGS not in file.sections else "no tag"
            raise Failure(f"{file.path}: {what}: --replace would remove every tag; nothing "
                          "changed")
        left = door(file, network, strict=strict, skip_unknown=skip_unknown, skip_bad=skip_bad,
                    write=not dry_run)
        if file.more:
            count, (number, line) = file.more
            note(f"warning: {file.path}: {plural(count, 'tag line')} with words after the "
                 f"tag, which the engines do not read: the tag is the first word (first on "
                 f"line {number}: {cut(line.strip(), keep_tabs=True)})")
        real = None if path == STDIN else os.path.realpath(path)
        skip = set(file.named) | set(left or ())
        # Read and written in one command scope: no other writer comes
        # between the read of the network and the import.
        with contextlib.nullcontext() if dry_run else database.command(network):
            tags = network_tags(network)
            origin = None if replace else find_origin(network, real, content_of(file), file.tags)
            done = merge(NETWORK, origin and origin.base, tags, file.tags, file.scope, replace,
                         side, skip, removals=not file.skipped)
            refuse_conflicts(done, network, file.path)
            if dry_run:
                show_plan(done, f"import {file.path} into {network}", origin, file.path)
                return
            record = None
            if real is not None:
                record = exchange_record(real, "import", file.fmt, content_of(file), file.tags,
                                         done)
            counts = store(network, file.path, done, record)
    tell_import(network, file, done, counts, origin, replace, tags)


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


def content_of(file):
    """The digest of a Side's bytes as read, when its reader keeps one."""
    return getattr(file, "digest", None) or ""


def exchange_record(real, direction, fmt, content, tags, done):
    """The record of an exchange with the file at ``real`` that holds
    ``tags`` afterwards, as api.database keeps it."""
    return {"path": real, "at": now(), "direction": direction, "format": fmt,
            "digest": content, "pairs": len(tags), "sample": fingerprint(pair_hashes(tags)),
            "agreed": done.agreed, "file": done.file}


def store(network, path, done, record):
    """Apply a Merge to the network as one undoable import, with the record
    of the exchange; nothing to change records the exchange alone."""
    if not done.changes:
        if record is not None:
            database.write_exchange(network, record)
        return done.counts
    get = done.old.get
    # Stored from the journal's rows, one statement a table, as redo does.
    changes = ((t_type, id, get((t_type, id)), tag) for (t_type, id), tag in done.changes.items())
    try:
        written = database.execute_import(network, None, changes, baseline=record)
    except (*database.IntegrityError, database.ConflictError) as e:
        # Another writer changed one of these tags since they were read.
        raise Failure(f"{path}: nothing imported: {first_line(e)}", TRY_AGAIN) from None
    # The history names the file (the caller holds the command scope).
    database.label_newest(network, f"import {path}",
                          [database.g_update_prefix | {"type": "import", **written}])
    return written


# Export

def cmd_export(args):
    """export NETWORK [FILE | -o FILE | --into FILE]: the options as plain
    values, then export_to (a new file or standard output) or export_into
    (an existing file, merged)."""
    if args.file is not None and args.into is not None:
        args.parser.error("give FILE or --into INP, not both")
    options = dict(skip_unwritable=args.skip_unwritable, dry_run=args.dry_run)
    columns = dict(id_column=getattr(args, "id_column", None),
                   tag_column=getattr(args, "tag_column", None), t_type=getattr(args, "type", None))
    if args.into is None:
        if any(value is not None for value in columns.values()):
            args.parser.error("--id-column, --tag-column and --type go with --into FILE")
        if args.encoding is not None:
            args.parser.error("--encoding tells how to read the file of --into INP")
        for option in ("ours", "theirs", "replace"):
            if getattr(args, option):
                args.parser.error(f"--{option} works with --into INP")
        path = args.file
        fmt = "inp" if path in (None, "-") else file_format(path, args.format)
        export_to(args.network, path, fmt, **options)
    else:
        fmt = args.format or file_format(args.into, None, columns["id_column"])
        export_into(args.network, args.into, fmt, side=winner(args), replace=args.replace,
                    skip_unknown=args.skip_unknown, encoding=args.encoding, **columns, **options)


def checked_tags(network, skip_unwritable=False, skip_unknown=False, unfit=None, known=None):
    """The network's tags that can be written, {(t_type, id): tag}, and the
    elements of those left out by the --skip options; refuses, with nothing
    written, when a tag the file cannot carry as stored (``unfit(key, tag)``
    says why, by default the engines' rule in UTF-8) or, with ``known``, one
    on an element the file does not define, is not left out."""
    stored = orvane.get_tags(network)
    if unfit is None:
        unfit = lambda key, tag: unwritable(*key, tag, "utf-8")
    tags, unfits, unknown, left = {}, [], [], set()
    plain = PLAIN.fullmatch
    for tag in progress(stored, len(stored), "tags"):
        id, value = tag["id"], tag["tag"]
        key = (tag["t_type"], id)
        if not (type(id) is str and type(value) is str and plain(id) and plain(value)):
            problem = unfit(key, value)
            if problem:
                unfits.append(f"{element(key)}: {problem}")
                left.add(key)
                continue
        if known is not None and key not in known:
            unknown.append(f"{element(key)}: the file defines no "
                           f"{'node' if key[0] == 'NODE' else 'link'} {quoted(key[1])}")
            left.add(key)
            continue
        tags[key] = value
    del stored
    kinds = [("--skip-unwritable", unfits if not skip_unwritable else []),
             ("--skip-unknown", unknown if not skip_unknown else [])]
    refused = [line for _, lines in kinds for line in lines]
    if refused:
        for line in refused:
            warn(line)
        hints = [option for option, lines in kinds if lines]
        raise Failure(f"nothing written: {plural(len(refused), 'tag')} the engines would not "
                      f"read back as stored (give {' and '.join(hints)} to leave them out)",
                      DATA_ERROR)
    for line in unfits + unknown:
        note(f"left out: {line}")
    return tags, left


def export_to(network, path, fmt="inp", skip_unwritable=False, dry_run=False):
    """Write the network's tags to the new file ``path`` in ``fmt`` (an INP
    [TAGS] section, or a table), or to standard output for None or "-"; a
    regular file written is recorded as an exchange."""
    named = path not in (None, "-")
    if fmt == "inp" and not dry_run and not named:
        # Most sections go out as the module writes them; the others are
        # read again as tags, to name what cannot be written.
        lines = orvane.inp_out_tag(network)
        section = plain_section(lines)
        if section is not None:
            out(f"{TAGS}\n{section}" if lines else TAGS)
            return
        del lines, section
    tags, _ = checked_tags(network, skip_unwritable)
    if dry_run:
        where = path if named else "standard output"
        if named:
            check_writable(path)
        out(f"dry run: would export {plural(len(tags), 'tag')} to {where}; nothing written")
        return
    if fmt == "inp":
        text = TAGS + "".join("\n" + tag_line(*key, tag) for key, tag in tags.items())
        if not named:
            out(text)
            return
        data = (text + "\n").encode("utf-8")
    else:
        data = new_side(path, fmt).render(tags)
        if not named:
            import sys

            sys.stdout.flush()
            sys.stdout.buffer.write(data)
            return
    with file_lock(path, False):
        direct = save(path, data)
        if not direct:
            record_written(network, path, fmt, tags, data)
    # Told on standard error when the tags went to a device or a pipe, which
    # may be standard output itself.
    (note if direct else say)(f"exported {plural(len(tags), 'tag')} to {path}")


def record_written(network, path, fmt, tags, data):
    """Record the export of ``tags`` ({key: tag}) to the file ``path``, just
    written with ``data`` as a whole new file in ``fmt``: it speaks for
    those tags."""
    done = merge(FILE, None, tags, {}, (), replace=True)
    record_exchange(network, path,
                    exchange_record(os.path.realpath(path), "export", fmt, digest(data), tags, done))


def record_exchange(network, path, record):
    """Keep the record of an exchange whose file is written; if it cannot be
    kept, say so: the file stays written."""
    try:
        database.write_exchange(network, record)
    except (*database.Error, database.ReadOnlyError, database.DatabaseUnavailableError,
            ValueError, OSError) as e:
        raise Failure(f"{path}: written, but the exchange could not be recorded in network "
                      f"{quoted(network)}: {first_line(e)}") from None


def export_into(network, path, fmt, side=None, replace=False, skip_unwritable=False,
                skip_unknown=False, encoding=None, dry_run=False, id_column=None,
                tag_column=None, t_type=None):
    """Merge the network's tags into the existing file ``path`` (read as
    ``fmt``): three ways against its origin, or with ``replace`` its tags
    become the network's; the file is written (atomically), then the
    exchange recorded."""
    real = os.path.realpath(path)
    with file_lock(path, dry_run):
        file = read_side(path, fmt, id_column, tag_column, t_type, encoding, writing=True)
        check_writable(path)
        if file.skipped:
            raise InpError(f"{path}: nothing written: {plural(file.skipped, 'bad line')} in "
                           f"its {TAGS} section" if fmt == "inp" else
                           f"{path}: nothing written: {plural(file.skipped, 'bad row')}",
                           DATA_ERROR)
        tags, left = checked_tags(network, skip_unwritable, skip_unknown, file.unfit,
                                  getattr(file, "defined", None) or None)
        origin = None if replace else find_origin(network, real, content_of(file), file.tags)
        done = merge(FILE, origin and origin.base, tags, file.tags, file.scope, replace, side,
                     left | set(file.named), room=None if file.can_add else file.rows)
        refuse_conflicts(done, network, path)
        if dry_run:
            show_plan(done, f"export {network} into {path}", origin, path)
            return
        new = done.new_target()
        data = file.render(new, left)
        counts = file.counts or done.counts
        save(path, data)
        record_exchange(network, path,
                        exchange_record(real, "export", file.fmt, digest(data), new, done))
    if not replace:
        tell_origin(origin, done, path, real)
    if not replace and (done.counts["changed"] or done.counts["removed"]):
        changes_told(done, DID, say, SHOWN_CONFLICTS)
    if origin is None and done.kept and not replace:
        kept = (f"; kept {plural(done.kept, 'tag')} of the file on elements the network has "
                "no tag for (--replace removes them)")
    elif done.kept:
        kept = (f"; kept {plural(done.kept, 'tag')} that the file changed or added since the "
                "last exchange (import takes them)")
    else:
        kept = ""
    say(f"exported {plural(len(tags), 'tag')} into {path}: {counts['added']} added, "
        f"{counts['changed']} changed, {counts['removed']} removed{conflicts_note(done)}{kept}")


def save(path, data):
    try:
        return write_file(path, data)
    except OSError as e:
        raise Failure(f"{path}: cannot write: {e.strerror or e}", write_status(e)) from None
