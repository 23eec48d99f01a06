"""The commands that move tags between a network and INP files: import and
export."""

from api import database, orvane

from .inpfile import TAGS, InpFile, write_file
from .output import Failure, bad_line, first_line, out, plural, quoted, shown, warn
from .progress import progress
from .taglines import BadLine, read_tag_line, tag_line, unwritable


def cmd_import(args):
    """Import the tags of a file's [TAGS] sections: new tags only, or with
    --replace the file's tags in place of the network's."""
    inp = InpFile.read(args.file, args.encoding)
    stored = {(tag["t_type"], tag["id"]): tag["tag"] for tag in orvane.get_tags(args.network)}
    statements, changes, bad, first, named = [], [], 0, {}, set()
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
        key, tag, statement = read
        t_type, id = key
        if key in first:
            reason = f"{t_type} {shown(id)} tagged twice (first on line {first[key]})"
        elif key in stored and not args.replace:
            reason = f"{t_type} {shown(id)} already has a tag in network {quoted(args.network)}"
        else:
            first[key] = number
            if stored.get(key) != tag:
                statements.append(statement)
                changes.append((t_type, id, stored.get(key), tag))
            continue
        bad_line(args.file, number, reason, line)
        bad += 1
        named.add(key)
    inp.check_sections()
    if args.replace and TAGS not in inp.sections:
        raise Failure(f"{args.file}: no {TAGS} section: --replace would remove every tag; "
                      "nothing changed")
    if bad and not args.skip_bad:
        raise Failure(f"{args.file}: nothing imported: {plural(bad, 'bad line')} "
                      "(--skip-bad imports the rest)")
    if args.replace:
        # Elements named on a skipped line keep their tags.
        changes += [(*key, tag, None) for key, tag in stored.items()
                    if key not in first and key not in named]
    try:
        counts = database.execute_import(args.network, statements, changes)
    except (*database.IntegrityError, database.ConflictError) as e:
        # Another writer changed one of these tags since they were read.
        raise Failure(f"{args.file}: nothing imported: {first_line(e)}") from None
    if bad:
        warn(f"{args.file}: skipped {plural(bad, 'bad line')}")
    note = "" if TAGS in inp.sections else f" (the file has no {TAGS} section)"
    if args.replace:
        out(f"updated the tags of {args.network} from {args.file}: {counts['added']} added, "
            f"{counts['changed']} changed, {counts['removed']} removed{note}")
    else:
        out(f"imported {plural(counts['added'], 'tag')} into {args.network}{note}")


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
    tags, unfit, unknown, left = {}, [], [], set()
    stored = orvane.get_tags(args.network)
    for tag in progress(stored, len(stored), "tags"):
        key, value = (tag["t_type"], tag["id"]), tag["tag"]
        problem = unwritable(*key, value, encoding)
        if problem:
            unfit.append(f"{key[0]} {shown(key[1])}: {problem}")
        elif known is not None and key not in known:
            unknown.append(f"{key[0]} {shown(key[1])}: the file defines no "
                           f"{'node' if key[0] == 'NODE' else 'link'} {quoted(key[1])}")
        else:
            tags[key] = value
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
                      f"read back as stored (give {' and '.join(hints)} to leave them out)")
    for line in unfit + unknown:
        warn(f"left out: {line}")
    if inp:
        counts = inp.merge_tags(tags, left)
        save(args.into, inp.encode())
        out(f"exported {plural(len(tags), 'tag')} into {args.into}: {counts['added']} added, "
            f"{counts['changed']} changed, {counts['removed']} removed")
        return
    lines = [TAGS, *(tag_line(*key, tag) for key, tag in tags.items())]
    if args.file is None or args.file == "-":
        for line in lines:
            out(line)
        return
    direct = save(args.file, "".join(line + "\n" for line in lines).encode("utf-8"))
    # Told on standard error when the tags went to a device or a pipe, which
    # may be standard output itself.
    (warn if direct else out)(f"exported {plural(len(tags), 'tag')} to {args.file}")


def save(path, data):
    try:
        return write_file(path, data)
    except OSError as e:
        raise Failure(f"{path}: cannot write: {e.strerror or e}") from None
