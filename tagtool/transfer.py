"""The commands that move tags between a network and INP files: import and
export."""

from api import database, orvane

from .inpfile import TAGS, InpFile, write_file
from .linked import check_ids
from .output import (DATA_ERROR, TRY_AGAIN, Failure, bad_line, first_line, note, out, plural,
                     quoted, say, shown, warn, write_status)
from .progress import progress
from .tables import import_format, read_table
from .taglines import (PLAIN, TYPES, BadLine, plain_section, read_tag_line, tag_line,
                       unwritable)


def cmd_import(args):
    """Import the tags of a file's [TAGS] sections: new tags only, or with
    --replace the file's tags in place of the network's."""
    fmt = import_format(args)
    if fmt != "inp":
        from .bulk import import_tags

        return import_tags(args, read_table(args.file, fmt, args.id_column, args.tag_column,
                                            args.type, args.encoding))
    inp = InpFile.read(args.file, args.encoding)
    stored = {t_type: {} for t_type in TYPES}
    for tag in orvane.get_tags(args.network):
        stored[tag["t_type"]][tag["id"]] = tag["tag"]
    # The file's tags by type and id, in the order of its lines; only these
    # are held, and the insert statements are built from them as they run.
    tags = {t_type: {} for t_type in TYPES}
    bad, named = 0, set()
    for number, line in inp.tag_lines():
        try:
            read = read_tag_line(line, inp.encoding)
        except BadLine as e:
            bad_line(args.file, number, str(e), line)
            bad += 1
            named.add(e.key)
            continue
        if read is None:
            continue
        (t_type, id), tag, _ = read
        seen = tags[t_type]
        if id in seen:
            first = inp.first_line(t_type, id)
            reason = f"{t_type} {shown(id)} tagged twice (first on line {first})"
        elif id in stored[t_type] and not args.replace:
            reason = f"{t_type} {shown(id)} already has a tag in network {quoted(args.network)}"
        else:
            seen[id] = tag
            continue
        bad_line(args.file, number, reason, line)
        bad += 1
        named.add((t_type, id))
    inp.check_sections()
    if args.replace and TAGS not in inp.sections:
        raise Failure(f"{args.file}: no {TAGS} section: --replace would remove every tag; "
                      "nothing changed")
    if bad and not args.skip_bad:
        raise Failure(f"{args.file}: nothing imported: {plural(bad, 'bad line')} "
                      "(--skip-bad imports the rest)", DATA_ERROR)
    inp.release()
    check_ids(args.network, ((t, id) for t in TYPES for id in tags[t]), args.strict)
    if args.dry_run:
        from .bulk import preview

        return preview(args, tags, stored)
    try:
        counts = database.execute_import(args.network, statements(tags, stored),
                                         changes(tags, stored, named if args.replace else None))
    except (*database.IntegrityError, database.ConflictError) as e:
        # Another writer changed one of these tags since they were read.
        raise Failure(f"{args.file}: nothing imported: {first_line(e)}", TRY_AGAIN) from None
    if bad:
        note(f"{args.file}: skipped {plural(bad, 'bad line')}")
    remark = "" if TAGS in inp.sections else f" (the file has no {TAGS} section)"
    if args.replace:
        say(f"updated the tags of {args.network} from {args.file}: {counts['added']} added, "
            f"{counts['changed']} changed, {counts['removed']} removed{remark}")
    else:
        say(f"imported {plural(counts['added'], 'tag')} into {args.network}{remark}")


def changes(tags, stored, named):
    """The (t_type, id, old tag, new tag) of each element the import
    changes; with ``named`` (--replace) also the removal of every stored tag
    the file does not give, but for the elements named on a skipped line,
    which keep theirs."""
    for t_type in TYPES:
        old = stored[t_type]
        for id, tag in tags[t_type].items():
            if old.get(id) != tag:
                yield t_type, id, old.get(id), tag
    if named is not None:
        for t_type in TYPES:
            new = tags[t_type]
            for id, tag in stored[t_type].items():
                if id not in new and (t_type, id) not in named:
                    yield t_type, id, tag, None


def statements(tags, stored):
    """The insert statement of each new or changed tag, as the module builds
    it for the tag's line."""
    build = orvane.inp_in_tag
    for t_type in TYPES:
        old = stored[t_type]
        for id, tag in tags[t_type].items():
            if old.get(id) != tag:
                yield build(f"{t_type} {id} {tag}")


def cmd_export(args):
    """Write the tags as a [TAGS] section, or into an INP file; refuse, or
    with the --skip options leave out, what the engines would not read back
    as stored."""
    if args.file is not None and args.into is not None:
        args.parser.error("give FILE or --into INP, not both")
    if args.encoding is not None and args.into is None:
        args.parser.error("--encoding tells how to read the file of --into INP")
    inp = InpFile.read(args.into, args.encoding) if args.into is not None else None
    encoding = inp.encoding if inp else "utf-8"
    known = inp.element_ids() if inp else None
    if inp:
        inp.check_sections()
    # The tags to write: by element for --into, else as read.
    tags, kept, unfit, unknown, left = {}, [], [], [], set()
    if not inp:
        # Most sections go out as the module writes them; the others are
        # read again as tags, to name what cannot be written.
        lines = orvane.inp_out_tag(args.network)
        section = plain_section(lines)
        if section is not None:
            write_section(args.file, section, len(lines))
            return
        del lines, section
    stored = orvane.get_tags(args.network)
    plain = PLAIN.fullmatch
    for tag in progress(stored, len(stored), "tags"):
        id, value = tag["id"], tag["tag"]
        writable = type(id) is str and type(value) is str and plain(id) and plain(value)
        if writable and not inp:
            kept.append(tag)    # most tags: nothing to look into
            continue
        key = (tag["t_type"], id)
        problem = None if writable else unwritable(*key, value, encoding)
        if problem:
            unfit.append(f"{key[0]} {shown(key[1])}: {problem}")
        elif known is not None and key not in known:
            unknown.append(f"{key[0]} {shown(key[1])}: the file defines no "
                           f"{'node' if key[0] == 'NODE' else 'link'} {quoted(key[1])}")
        else:
            if inp:
                tags[key] = value
            else:
                kept.append(tag)
            continue
        left.add(key)
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
    if inp:
        counts = inp.merge_tags(tags, left)
        save(args.into, inp.encode())
        say(f"exported {plural(len(tags), 'tag')} into {args.into}: {counts['added']} added, "
            f"{counts['changed']} changed, {counts['removed']} removed")
        return
    write_section(args.file, "\n".join(tag_line(t["t_type"], t["id"], t["tag"]) for t in kept),
                  len(kept))


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
