"""The steps of an exchange of tags between a network and a file, whatever
the format: the import of a file, the export to a new file or standard
output, and the export into an existing file.

Each reads the file into one mapping (a Side, tagtool/exchange_files.py),
passes the door, finds the origin of the file among the network's records
(tagtool/origin.py), merges three ways (tagtool/merge.py), tells the plan or
refuses the conflicts (tagtool/exchange_report.py), then imports as one
journaled command or writes the file, and keeps the record of the exchange
in ``api.database``.  Each runs under the file's lock (filelock.py), from
reading the file to writing it and recording the exchange.  They take plain
values: the commands (tagtool/transfer.py) turn their options into them."""

import contextlib
import os

from api import database, orvane

from .filelock import FileLock
from .inpfile import STDIN, TAGS, InpError
from .merge import FILE, NETWORK, merge
from .origin import digest, find_origin, fingerprint, now, pair_hashes
from .output import (DATA_ERROR, TRY_AGAIN, Failure, cut, first_line, note, out, plural, quoted,
                     say, warn, write_status)
from .progress import progress
from .safewrite import check_writable, write_file
from .taglines import PLAIN, plain_section, tag_line, unwritable
from .exchange_files import door, new_side, read_side
from .exchange_report import (DID, SHOWN_CONFLICTS, changes_told, conflicts_note, element,
                              refuse_conflicts, show_plan, tell_import, tell_origin)


def network_tags(name):
    """The network's tags, {(t_type, id): tag}, nodes first: the rows of one
    table at a time, so that they are never all held twice."""
    tags = {}
    for t_type, table in (("NODE", "tags_node"), ("LINK", "tags_link")):
        rows = database.read_all(name, f"select id, tag from {table}")
        tags.update({(t_type, row["id"]): row["tag"] for row in rows})
        del rows
    return tags


def file_lock(path, dry_run):
    """The lock of the file, or none for a dry run (which writes nothing,
    and reads the file whole, as it was before a rename or after) or
    standard input."""
    if dry_run or path == STDIN:
        return contextlib.nullcontext()
    return FileLock(path)


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
