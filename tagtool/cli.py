"""The tag tool's commands.

Each command works on a network only through ``api.orvane`` (tags read,
changed, deleted, turned into and out of INP tag lines) and ``api.database``
(networks, batches, undo and redo), as the application does.  A bad input
ends the command with a one-line message on standard error and exit status
1 (2 for a bad command line), before anything is written.
"""

import argparse
import os
import sys

from api import database, orvane

from .inpfile import InpError, InpFile, write_atomic

PROG = "tagtool"
TYPES = ("NODE", "LINK")


class Failure(Exception):
    """A bad input, told in one line."""


class Parser(argparse.ArgumentParser):
    """Reports a bad command line in one line, with exit status 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def shown(text, keep_tabs=False):
    """``text`` as it can stand in a one-line message: characters that would
    break the line or hide in it are escaped."""
    return "".join(c if c.isprintable() or (keep_tabs and c == "\t") else repr(c)[1:-1]
                   for c in text)


def quoted(text):
    return "'" + shown(text) + "'"


def first_line(error):
    """The first line of an error's text (a server adds detail lines)."""
    return (str(error).splitlines() or [""])[0]


def out(text=""):
    sys.stdout.write(text + "\n")


def warn(text):
    sys.stderr.write(f"{PROG}: {text}\n")


def type_word(text):
    word = text.upper()
    if word not in TYPES:
        raise Failure(f"bad type word {quoted(text)}: expected NODE or LINK")
    return word


def element_id(text, new=False):
    """An id from the command line.  A new tag needs an id of one printable
    word, as the INP format writes ids; an existing one is taken as stored."""
    if not text:
        raise Failure("bad id '': an id is never empty")
    if new and (text.split() != [text] or not text.isprintable()):
        raise Failure(f"bad id {quoted(text)}: an id is one word without whitespace "
                      "or control characters")
    return text


def describe(record):
    """One line for a change record of a tag."""
    tag = record.get("tag")
    what = "no tag" if tag is None else f"tag {quoted(str(tag))}"
    return f"{record.get('t_type')} {shown(str(record.get('id')))}: {what}"


# Commands

def cmd_networks(args):
    for name in database.list_networks():
        out(name)


def cmd_create(args):
    if database.network_exists(args.network):
        raise Failure(f"network {quoted(args.network)} already exists")
    database.create_network(args.network)
    out(f"created network {args.network}")


def cmd_list(args):
    for tag in orvane.get_tags(args.network):
        value = "" if tag["tag"] is None else shown(tag["tag"])
        out(f"{tag['t_type']}\t{shown(tag['id'])}\t{value}")


def cmd_get(args):
    t_type, id = type_word(args.type), element_id(args.id)
    tag = orvane.get_tag(args.network, t_type, id)["tag"]
    if tag is None:
        raise Failure(f"{t_type} {shown(id)} has no tag in network {quoted(args.network)}")
    out(tag)


def cmd_set(args):
    t_type, id = type_word(args.type), element_id(args.id, new=True)
    apply(args.network, database.ChangeSet({"t_type": t_type, "id": id, "tag": args.tag}))


def cmd_clear(args):
    t_type, id = type_word(args.type), element_id(args.id)
    if orvane.get_tag(args.network, t_type, id)["tag"] is None:
        out(f"{t_type} {shown(id)}: no tag to clear")
        return
    apply(args.network, database.ChangeSet({"t_type": t_type, "id": id, "tag": None}))


def cmd_delete(args):
    t_type, id = type_word(args.type), element_id(args.id)
    delete = orvane.delete_tag_by_node if t_type == "NODE" else orvane.delete_tag_by_link
    change = delete(args.network, id)
    if not change.operations:
        out(f"{t_type} {shown(id)}: no tag to delete")
        return
    apply(args.network, change)


def apply(network, change):
    """Run a tag change as one undoable command and tell what it did."""
    for record in orvane.set_tag(network, change):
        out(describe(record))


def cmd_undo(args):
    return step(args.network, database.undo, "undo", "undone")


def cmd_redo(args):
    return step(args.network, database.redo, "redo", "redone")


def step(network, action, verb, done):
    change = action(network)
    if not change.operations:
        warn(f"nothing to {verb} in network {quoted(network)}")
        return 1
    for record in change:
        out(f"{done}: {describe(record)}")


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


def plural(n, noun):
    return f"{n} {noun}{'' if n == 1 else 's'}"


def save(path, data):
    try:
        write_atomic(path, data)
    except OSError as e:
        raise Failure(f"{path}: cannot write: {e.strerror or e}") from None


# The command line

def add_element(parser):
    parser.add_argument("type", metavar="NODE|LINK", help="the kind of element")
    parser.add_argument("id", metavar="ID", help="the id of the node or link")


def build_parser():
    parser = Parser(
        prog=PROG,
        description="Read and change the tags of a network's nodes and links, and move "
                    "them in and out of the [TAGS] section of INP files.")
    parser.add_argument("--data-dir", metavar="DIR",
                        help="the folder that holds the networks (default: $ORVANE_DATA_DIR, "
                             "else ./data)")
    parser.add_argument("--database", metavar="URL",
                        help="the database that holds the networks: postgresql://... for a "
                             "PostgreSQL server, sqlite:[FOLDER] for SQLite files "
                             "(default: $ORVANE_DATABASE_URL, else SQLite)")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)

    def command(name, run, help, description=None):
        sub = commands.add_parser(name, help=help, description=description or help)
        sub.set_defaults(run=run, parser=sub)
        return sub

    command("networks", cmd_networks, "list the networks")
    sub = command("create", cmd_create, "create an empty network")
    sub.add_argument("network", metavar="NETWORK")

    sub = command("import", cmd_import, "import the [TAGS] section of an INP file",
                  "Import the tag lines of the [TAGS] section(s) of an INP file (UTF-8 with "
                  "or without a byte-order mark, else Latin-1) in one transaction. A bad "
                  "line, an id tagged twice or an element that already has a tag is "
                  "reported and nothing is imported, unless --skip-bad. An import is not "
                  "undoable.")
    sub.add_argument("network", metavar="NETWORK")
    sub.add_argument("file", metavar="FILE", help="the INP file")
    sub.add_argument("--skip-bad", action="store_true",
                     help="import the good lines and report the bad ones")

    sub = command("export", cmd_export, "write the tags as a [TAGS] section",
                  "Write the tags as a [TAGS] section to FILE or standard output, or with "
                  "--into into an existing INP file, whose other bytes stay as they were. "
                  "Warns about each id or tag that cannot survive the format.")
    sub.add_argument("network", metavar="NETWORK")
    sub.add_argument("file", metavar="FILE", nargs="?",
                     help="the file to write ('-' or none: standard output)")
    sub.add_argument("--into", metavar="INP",
                     help="replace the [TAGS] section of this INP file (or add one before "
                          "[END]); a later [TAGS] section is emptied")

    sub = command("list", cmd_list, "list every tag: type, id and tag, tab-separated")
    sub.add_argument("network", metavar="NETWORK")
    sub = command("get", cmd_get, "print the tag of a node or link")
    sub.add_argument("network", metavar="NETWORK")
    add_element(sub)
    sub = command("set", cmd_set, "set the tag of a node or link (undoable)")
    sub.add_argument("network", metavar="NETWORK")
    add_element(sub)
    sub.add_argument("tag", metavar="TAG", help="the new tag")
    sub = command("clear", cmd_clear, "clear the tag of a node or link (undoable)")
    sub.add_argument("network", metavar="NETWORK")
    add_element(sub)
    sub = command("delete", cmd_delete,
                  "delete the tag of a node or link, as deleting the element does (undoable)")
    sub.add_argument("network", metavar="NETWORK")
    add_element(sub)
    sub = command("undo", cmd_undo, "undo the latest change")
    sub.add_argument("network", metavar="NETWORK")
    sub = command("redo", cmd_redo, "redo the change undone last")
    sub.add_argument("network", metavar="NETWORK")
    return parser


def main(argv=None):
    """Run one command; return its exit status."""
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as e:
        return e.code or 0
    try:
        if args.database is not None:
            database.set_database_url(args.database)
        if args.data_dir is not None:
            database.set_data_dir(args.data_dir)
        return args.run(args) or 0
    except SystemExit as e:
        return e.code or 0
    except (Failure, InpError) as e:
        warn(str(e))
    except database.NetworkNotFoundError as e:
        warn(str(e))
    except UnicodeEncodeError as e:
        warn(f"cannot write {e.object[e.start:e.end]!r} to the output ({e.encoding})")
    except (ValueError, database.UnsuitableDatabaseError, *database.Error) as e:
        warn(first_line(e))
    except BrokenPipeError:
        raise
    except OSError as e:
        warn(f"{e.filename + ': ' if e.filename else ''}{e.strerror or e}")
    finally:
        database.close_all()
    return 1
