"""The commands that move tags between a network and INP files: import and
export."""

import sys

from api import database, orvane

from .inpfile import InpFile, write_atomic
from .output import Failure, first_line, out, plural, quoted, shown, warn


def cmd_import(args):
    inp = InpFile.read(args.file)
    lines = inp.tag_lines()
    stored = {(tag["t_type"], tag["id"]) for tag in orvane.get_tags(args.network)}
    statements, bad, first = [], [], {}
    for number, line in lines:
        try:
            statement = orvane.inp_in_tag(line)
        except IndexError:
            bad.append((number, "too few fields (a tag line gives a type, an id and a tag)", line))
            continue
        words = line.split()
        if not statement:
            bad.append((number, f"bad type word {quoted(words[0])} (expected NODE or LINK)", line))
            continue
        key = (words[0].upper(), words[1])
        if "\0" in words[1] or "\0" in words[2]:
            reason = "NUL character in the id or the tag"
        elif key in first:
            reason = f"{key[0]} {shown(key[1])} tagged twice (first on line {first[key]})"
        elif key in stored:
            reason = f"{key[0]} {shown(key[1])} already has a tag in network {quoted(args.network)}"
        else:
            first[key] = number
            statements.append(statement)
            continue
        bad.append((number, reason, line))

    for number, reason, line in bad:
        sys.stderr.write(f"{args.file}:{number}: {reason}: {shown(line.strip(), keep_tabs=True)}\n")
    if bad and not args.skip_bad:
        raise Failure(f"{args.file}: nothing imported: {plural(len(bad), 'bad line')} "
                      "(--skip-bad imports the rest)")
    try:
        database.execute_batch(args.network, statements)
    except database.IntegrityError as e:
        # Another writer tagged one of these elements since the check above.
        raise Failure(f"{args.file}: nothing imported: {first_line(e)}") from None
    if bad:
        warn(f"{args.file}: skipped {plural(len(bad), 'bad line')}")
    out(f"imported {plural(len(statements), 'tag')} into {args.network}")


def cmd_export(args):
    if args.file is not None and args.into is not None:
        args.parser.error("give FILE or --into INP, not both")
    lines = orvane.inp_out_tag(args.network)
    for tag in orvane.get_tags(args.network):
        for problem in survival(tag):
            warn(f"warning: {tag['t_type']} {shown(tag['id'])}: {problem}")
    if args.into is not None:
        inp = InpFile.read(args.into)
        inp.replace_tags(lines)
        save(args.into, inp.encode())
    elif args.file is not None and args.file != "-":
        save(args.file, "".join(line + "\n" for line in ["[TAGS]", *lines]).encode("utf-8"))
    else:
        out("[TAGS]")
        for line in lines:
            out(line)


def survival(tag):
    """What of a tag cannot survive a tag line and reading it back."""
    id, value = tag["id"], tag["tag"]
    if any(c.isspace() for c in id):
        yield f"the id {quoted(id)} holds whitespace; the line will not read back as written"
    if value is None:
        yield "the tag is NULL; it is written as the text None"
    elif not value.split():
        yield f"the tag {quoted(value)} has no word; the line will not read back"
    elif value.split() != [value]:
        yield (f"the tag {quoted(value)} holds whitespace; reading it back keeps only "
               f"{quoted(value.split()[0])}")


def save(path, data):
    try:
        write_atomic(path, data)
    except OSError as e:
        raise Failure(f"{path}: cannot write: {e.strerror or e}") from None
