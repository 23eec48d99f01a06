"""The commands that move tags between a network and INP files: import and
export.

An import from a file, or an export into one, is an exchange: the network
remembers the tags it held in common with the file afterwards (its baseline
of the file, kept by ``api.database``), and the next exchange merges three
ways (tagtool/merge.py).  Each runs under the file's lock (filelock.py),
from reading the file to writing it and recording the exchange."""

import contextlib
import os

from api import database, orvane

from .filelock import FileLock
from .inpfile import STDIN, TAGS, InpError, InpFile
from .merge import FILE, NETWORK, baseline_after, merge
from .linked import check_ids
from .output import (DATA_ERROR, MERGE_CONFLICT, TRY_AGAIN, Failure, cut, first_line, note, out,
                     plural, quoted, say, shown, warn, write_status)
from .progress import progress
from .safewrite import check_writable, write_file
from .tables import import_format, read_table
from .taglines import PLAIN, plain_section, tag_line, unwritable

SHOWN_CONFLICTS = 20        # conflicts listed one by one; the rest are counted


def network_tags(name, file=None):
    """The network's tags, {(t_type, id): tag}, nodes first: the rows of one
    table at a time, so that they are never all held twice.  The keys and
    tags it has in common with the mapping ``file`` are that mapping's own
    objects, held once for both."""
    tags = {}
    keys = {key: key for key in file} if file else {}
    texts = {tag: tag for tag in file.values()} if file else {}
    for t_type, table in (("NODE", "tags_node"), ("LINK", "tags_link")):
        rows = database.read_all(name, f"select id, tag from {table}")
        for row in rows:
            key, tag = (t_type, row["id"]), row["tag"]
            tags[keys.get(key, key)] = texts.get(tag, tag)
        del rows
    return tags


def baseline(name, real, network, file):
    """The network's baseline of the file, or None: only the elements on
    which the two differ, the only ones a merge looks up."""
    differ = {key for key, tag in network.items() if file.get(key) != tag}
    differ.update(key for key in file if key not in network)
    return database.read_baseline(name, real, differ)


def winner(args):
    if args.ours and args.theirs:
        args.parser.error("give --ours or --theirs, not both")
    return NETWORK if args.ours else FILE if args.theirs else None


def file_lock(path, args):
    """The lock of the file, or none for a dry run (which writes nothing,
    and reads the file whole, as it was before a rename or after) or
    standard input."""
    if args.dry_run or path == STDIN:
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
        warn(f"conflict: {element(key)}: baseline {tag_text(base)}, network {tag_text(ours)}, "
             f"file {tag_text(theirs)}")
    more = len(done.conflicts) - SHOWN_CONFLICTS
    if more > 0:
        warn(f"conflict: ... and {more} more")
    raise Failure(f"{path}: nothing written: {plural(len(done.conflicts), 'conflict')}: tags "
                  f"changed both in network {quoted(network)} and in the file since their last "
                  "exchange (--ours keeps the network's, --theirs the file's)", MERGE_CONFLICT)


def show_plan(done, what):
    """What a dry run would do to the target, one element a line."""
    old = done.old
    for key, tag in done.changes.items():
        if tag is None:
            out(f"would remove {element(key)} {tag_text(old[key])}")
        elif key in old:
            out(f"would change {element(key)} {tag_text(old[key])} -> {tag_text(tag)}")
        else:
            out(f"would add {element(key)} {tag_text(tag)}")
    counts = done.counts
    out(f"dry run: {what}: {counts['added']} added, {counts['changed']} changed, "
        f"{counts['removed']} removed, {done.kept} kept; nothing written")


def conflicts_note(done):
    if not done.conflicts:
        return ""
    return f", {plural(len(done.conflicts), 'conflict')} settled"


# Import

def cmd_import(args):
    """Import the tags of a file's [TAGS] sections: merged with the
    network's (three ways, with a baseline of the file), or with --replace
    in place of them.  A table (CSV or JSON) is merged as a file without a
    baseline."""
    fmt = import_format(args)
    if fmt != "inp":
        from .bulk import import_tags

        return import_tags(args, read_table(args.file, fmt, args.id_column, args.tag_column,
                                            args.type, args.encoding))
    side = winner(args)
    with file_lock(args.file, args):
        inp = InpFile.read(args.file, args.encoding)
        found = inp.read_tags()
        inp.check_sections()
        if args.replace and TAGS not in inp.sections:
            raise Failure(f"{inp.path}: no {TAGS} section: --replace would remove every tag; "
                          "nothing changed")
        if found.bad and not args.skip_bad:
            raise Failure(f"{inp.path}: nothing imported: {plural(found.bad, 'bad line')} "
                          "(--skip-bad imports the rest)", DATA_ERROR)
        inp.release()
        if found.more:
            number, line = found.more_first
            note(f"warning: {inp.path}: {plural(found.more, 'tag line')} with words after the "
                 f"tag, which the engines do not read: the tag is the first word (first on "
                 f"line {number}: {cut(line.strip(), keep_tabs=True)})")
        check_ids(args.network, found.tags, args.strict, write=not args.dry_run)
        real = None if args.file == STDIN else os.path.realpath(args.file)
        # Read and written in one command scope: no other writer comes
        # between the read of the network and the import.
        with contextlib.nullcontext() if args.dry_run else database.command(args.network):
            network = network_tags(args.network, found.tags)
            base = None if real is None or args.replace else baseline(args.network, real, network,
                                                                      found.tags)
            done = merge(NETWORK, base, network, found.tags, args.replace, side, found.named)
            refuse_conflicts(done, args.network, inp.path)
            if args.dry_run:
                show_plan(done, f"import {inp.path} into {args.network}")
                return
            record = None
            if real is not None:
                record = (real, baseline_after(base, network, found.tags, done.changes))
            counts = store(args.network, inp.path, done, record)
    if found.bad:
        note(f"{inp.path}: skipped {plural(found.bad, 'bad line')}")
    remark = "" if TAGS in inp.sections else f" (the file has no {TAGS} section)"
    if args.replace:
        say(f"updated the tags of {args.network} from {inp.path}: {counts['added']} added, "
            f"{counts['changed']} changed, {counts['removed']} removed{remark}")
        return
    unchanged = sum(1 for key, tag in found.tags.items() if network.get(key) == tag)
    kept = (f"; {plural(done.kept, 'tag')} changed in the network since the last exchange "
            "kept (export writes them)" if base is not None and done.kept else "")
    told = f"imported {plural(len(found.tags), 'tag')} into {args.network}"
    if counts["added"] < len(found.tags) or counts["removed"] or kept or done.conflicts:
        told += (f": {counts['added']} added, {counts['changed']} changed, {counts['removed']} "
                 f"removed, {unchanged} unchanged{conflicts_note(done)}{kept}")
    say(told + remark)


def store(network, path, done, record):
    """Apply a Merge to the network as one undoable import, with the record
    of the exchange; nothing to change records the exchange alone."""
    if not done.changes:
        if record is not None:
            database.write_baseline(network, *record)
        return done.counts
    build, get = orvane.inp_in_tag, done.old.get
    # Both made as they are stored, one after the other.
    changes = ((t_type, id, get((t_type, id)), tag) for (t_type, id), tag in done.changes.items())
    statements = (build(f"{t_type} {id} {tag}") for (t_type, id), tag in done.changes.items()
                  if tag is not None)
    try:
        counts = database.execute_import(network, statements, changes, baseline=record)
        database.label_newest(network, f"import {path}",
                              [database.g_update_prefix | {"type": "import", **counts}])
        return counts
    except (*database.IntegrityError, database.ConflictError) as e:
        # Another writer changed one of these tags since they were read.
        raise Failure(f"{path}: nothing imported: {first_line(e)}", TRY_AGAIN) from None


# Export

def cmd_export(args):
    """Write the tags as a [TAGS] section, or merge them into an INP file;
    refuse, or with the --skip options leave out, what the engines would
    not read back as stored."""
    if args.file is not None and args.into is not None:
        args.parser.error("give FILE or --into INP, not both")
    if args.into is None:
        if args.encoding is not None:
            args.parser.error("--encoding tells how to read the file of --into INP")
        for option in ("ours", "theirs", "replace"):
            if getattr(args, option):
                args.parser.error(f"--{option} works with --into INP")
        export_section(args)
    else:
        export_into(args, winner(args))


def checked_tags(args, encoding, known=None):
    """The network's tags that can be written, {(t_type, id): tag}, and the
    elements of those left out by the --skip options; refuses, with nothing
    written, when a tag the engines would not read back as stored (or, with
    ``known``, one on an element the file does not define) is not left out."""
    stored = orvane.get_tags(args.network)
    tags, unfit, unknown, left = {}, [], [], set()
    plain = PLAIN.fullmatch
    for tag in progress(stored, len(stored), "tags"):
        id, value = tag["id"], tag["tag"]
        key = (tag["t_type"], id)
        if not (type(id) is str and type(value) is str and plain(id) and plain(value)):
            problem = unwritable(*key, value, encoding)
            if problem:
                unfit.append(f"{element(key)}: {problem}")
                left.add(key)
                continue
        if known is not None and key not in known:
            unknown.append(f"{element(key)}: the file defines no "
                           f"{'node' if key[0] == 'NODE' else 'link'} {quoted(key[1])}")
            left.add(key)
            continue
        tags[key] = value
    del stored
    kinds = [("--skip-unwritable", unfit if not args.skip_unwritable else []),
             ("--skip-unknown", unknown if not args.skip_unknown else [])]
    refused = [line for _, lines in kinds for line in lines]
    if refused:
        for line in refused:
            warn(line)
        hints = [option for option, lines in kinds if lines]
        raise Failure(f"nothing written: {plural(len(refused), 'tag')} the engines would not "
                      f"read back as stored (give {' and '.join(hints)} to leave them out)",
                      DATA_ERROR)
    for line in unfit + unknown:
        note(f"left out: {line}")
    return tags, left


def export_section(args):
    """Write the tags as a [TAGS] section, to a file or standard output."""
    if not args.dry_run:
        # Most sections go out as the module writes them; the others are
        # read again as tags, to name what cannot be written.
        lines = orvane.inp_out_tag(args.network)
        section = plain_section(lines)
        if section is not None:
            write_section(args.file, section, len(lines))
            return
        del lines, section
    tags, _ = checked_tags(args, "utf-8")
    if args.dry_run:
        where = "standard output" if args.file in (None, "-") else args.file
        if args.file not in (None, "-"):
            check_writable(args.file)
        out(f"dry run: would export {plural(len(tags), 'tag')} to {where}; nothing written")
        return
    write_section(args.file, "\n".join(tag_line(*key, tag) for key, tag in tags.items()),
                  len(tags))


def export_into(args, side):
    """Merge the network's tags into the [TAGS] lines of an INP file."""
    real = os.path.realpath(args.into)
    with file_lock(args.into, args):
        inp = InpFile.read(args.into, args.encoding)
        check_writable(args.into)
        known = inp.element_ids()
        inp.check_sections()
        found = inp.read_tags(repeats_bad=False, keep=True)
        if found.bad:
            raise InpError(f"{args.into}: nothing written: {plural(found.bad, 'bad line')} in "
                           f"its {TAGS} section", DATA_ERROR)
        network, left = checked_tags(args, inp.encoding, known)
        base = None if args.replace else baseline(args.network, real, network, found.tags)
        done = merge(FILE, base, network, found.tags, args.replace, side, left)
        refuse_conflicts(done, args.network, args.into)
        if args.dry_run:
            show_plan(done, f"export {args.network} into {args.into}")
            return
        tags = done.new_target()
        counts = inp.merge_tags(tags, left)
        save(args.into, inp.encode())
        inp.release()
        try:
            database.write_baseline(args.network, real, baseline_after(base, network, tags))
        except (*database.Error, database.ReadOnlyError, OSError) as e:
            raise Failure(f"{args.into}: written, but the exchange could not be recorded in "
                          f"network {quoted(args.network)}: {first_line(e)}") from None
    if base is None and done.kept and not args.replace:
        kept = (f"; kept {plural(done.kept, 'tag')} of the file on elements the network has "
                "no tag for (--replace removes them)")
    elif done.kept:
        kept = (f"; kept {plural(done.kept, 'tag')} that the file changed or added since the "
                "last exchange (import takes them)")
    else:
        kept = ""
    say(f"exported {plural(len(network), 'tag')} into {args.into}: {counts['added']} added, "
        f"{counts['changed']} changed, {counts['removed']} removed{conflicts_note(done)}{kept}")


def write_section(path, lines, count):
    """Write a [TAGS] section of ``count`` tag lines (``lines``, one text) to
    the file ``path``, or to standard output for None or "-"."""
    text = f"{TAGS}\n{lines}" if count else TAGS
    if path is None or path == "-":
        out(text)
        return
    direct = save(path, (text + "\n").encode("utf-8"))
    # Told on standard error when the tags went to a device or a pipe, which
    # may be standard output itself.
    (note if direct else say)(f"exported {plural(count, 'tag')} to {path}")


def save(path, data):
    try:
        return write_file(path, data)
    except OSError as e:
        raise Failure(f"{path}: cannot write: {e.strerror or e}", write_status(e)) from None
