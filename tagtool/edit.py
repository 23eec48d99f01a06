"""The commands that read and edit tags: list, get, set, clear, delete, undo
and redo."""

from api import database, orvane

from .formats import write_object, write_rows
from .output import Failure, describe, first_line, out, quoted, shown, warn
from .progress import progress
from .taglines import three_words, unwritable

TYPES = ("NODE", "LINK")
TRIES = 5           # builds of a command that other writers keep overtaking


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


FIELDS = ("type", "id", "tag")


def cmd_list(args):
    if args.format == "text":
        lines = orvane.inp_out_tag(args.network)
        count, text = len(lines), plain_lines(lines)
        del lines
        if text is not None:
            rows = text.split("\n") if count else []
            del text
            write_rows("text", FIELDS, progress(rows, count, "tags"), str)
            return
    tags = orvane.get_tags(args.network)
    tags = progress(tags, len(tags), "tags")
    if args.format == "text":
        write_rows("text", FIELDS, tags, text_row)      # the tags as read make the lines
        return
    write_rows(args.format, FIELDS, ((tag["t_type"], tag["id"], tag["tag"]) for tag in tags), None)


def plain_lines(lines):
    """The module's tag lines as the list's text lines, one text, when
    nothing in them needs escaping and no tag is missing: tabs for the
    spaces between the words; else None."""
    text = "\n".join(lines)
    if three_words(text, len(lines)) and "\\" not in text and text.replace("\n", "").isprintable():
        return text.replace(" ", "\t")
    return None


def text_row(tag):
    value = tag["tag"]
    return f"{tag['t_type']}\t{shown(tag['id'])}\t{'' if value is None else shown(value)}"


def cmd_get(args):
    t_type, id = type_word(args.type), element_id(args.id)
    tag = orvane.get_tag(args.network, t_type, id)["tag"]
    if tag is None:
        raise Failure(f"{t_type} {shown(id)} has no tag in network {quoted(args.network)}")
    if args.format == "json":
        write_object(dict(zip(FIELDS, (t_type, id, tag))))
    elif args.format == "csv":
        write_rows("csv", FIELDS, [(t_type, id, tag)], None)
    else:
        out(tag)


def cmd_set(args):
    t_type, id = type_word(args.type), element_id(args.id, new=True)
    apply(args.network, database.ChangeSet({"t_type": t_type, "id": id, "tag": args.tag}))
    problem = unwritable(t_type, id, args.tag)
    if problem:
        warn(f"warning: {t_type} {shown(id)}: {problem}; export will refuse it")


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
    """Run a tag change as one undoable command and tell what it did.  The
    command is read and written in one command scope, so no other writer
    overtakes it; one that still conflicts (a writer outside a scope) is
    built again from a fresh read, a few times at most, so that its undo
    restores what it replaced."""
    for attempt in range(1, TRIES + 1):
        try:
            with database.command(network):
                records = orvane.set_tag(network, change)
            break
        except database.ConflictError as e:
            if attempt == TRIES:
                raise Failure(f"{first_line(e)} (tried {TRIES} times)") from None
    for record in records:
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
