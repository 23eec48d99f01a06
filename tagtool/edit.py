"""The commands that read and edit tags: list, get, set, clear, delete, undo
and redo."""

import bisect
import operator
import re

from api import database, orvane

from .formats import in_order, write_object, write_rows
from .linked import check_ids
from .output import (TRY_AGAIN, Failure, describe, first_line, note, out, plural, quoted, say,
                     shown, warn)
from .progress import progress
from .taglines import TYPES, three_words, unwritable

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


PLAIN_ID = re.compile(r"^[A-Z]+\t([^\t]*)", re.M)    # the id of a plain line


def cmd_list(args):
    """The tags, nodes first, each type in the natural order of its ids;
    the module reads them in table order."""
    if args.where is not None:
        return list_where(args)
    if args.model is not None:
        args.parser.error("--model goes with --where")
    if args.format == "text":
        lines = orvane.inp_out_tag(args.network)
        count, text = len(lines), plain_lines(lines)
        del lines
        if text is not None:
            ids, nodes = PLAIN_ID.findall(text), text.count("\nNODE\t") + text.startswith("NODE\t")
            rows = in_order(text.split("\n"), ids, nodes) if count else []
            del text
            write_rows("text", FIELDS, progress(rows, count, "tags"), str)
            return
    tags = orvane.get_tags(args.network)
    nodes = bisect.bisect(tags, False, key=lambda tag: tag["t_type"] == "LINK")   # nodes come first
    tags = in_order(tags, list(map(operator.itemgetter("id"), tags)), nodes)
    tags = progress(tags, len(tags), "tags")
    if args.format == "text":
        write_rows("text", FIELDS, tags, text_row)      # the tags as read make the lines
        return
    write_rows(args.format, FIELDS, ((tag["t_type"], tag["id"], tag["tag"]) for tag in tags), None,
               args.raw)


def list_where(args):
    """list --where: the tags of the model's elements that EXPR chooses."""
    tags = orvane.get_tags(args.network)
    chosen = {t: set(ids) for t, ids in chosen_ids(args, lambda: tags)[0].items()}
    rows = [(t["t_type"], t["id"], t["tag"]) for t in tags
            if t["tag"] is not None and t["id"] in chosen[t["t_type"]]]
    write_rows(args.format, FIELDS, rows,
               lambda row: text_row(dict(zip(("t_type", "id", "tag"), row))))


def chosen_ids(args, tags, types=("NODE", "LINK")):
    """({type: ids in the model's order}, model) of the elements of the
    command's model (--model, else the linked one) that its --where
    chooses; ``tags()`` gives the network's tags, read only when EXPR
    names ``tag``."""
    from .linked import model_path
    from .model import read_model
    from .where import select

    path = model_path(args.network, args.model)
    if path is None:
        raise Failure(f"--where chooses among a model's elements: network "
                      f"{quoted(args.network)} has no linked model (tagtool link), so give "
                      "--model INP")
    model = read_model(path, attributes=True)
    return select(args.where, model, tags, types), model


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
        write_rows("csv", FIELDS, [(t_type, id, tag)], None, args.raw)
    else:
        out(tag)


def cmd_set(args):
    if args.match is not None or args.kind is not None or args.where is not None:
        return set_many(args)
    if args.tag is None:
        args.parser.error("the following arguments are required: TAG")
    if args.dry_run or args.model is not None:
        args.parser.error("--dry-run and --model go with --match or --kind")
    t_type, id = type_word(args.type), element_id(args.id, new=True)
    check_ids(args.network, [(t_type, id)], args.strict)
    apply(args.network, database.ChangeSet({"t_type": t_type, "id": id, "tag": args.tag}))
    warn_unwritable(t_type, id, args.tag)


def warn_unwritable(t_type, id, tag):
    problem = unwritable(t_type, id, tag)
    if problem:
        note(f"warning: {t_type} {shown(id)}: {problem}; export will refuse it")


def set_many(args):
    """set --match GLOB, --kind KIND and --where EXPR: one tag on every
    element of the model that matches them all, as one undoable command."""
    import fnmatch
    import re

    from .bulk import apply_tags, report
    from .linked import load_model, model_path
    from .elements import KIND_TYPES

    # NETWORK TYPE TAG: the word after the type is the tag.
    if args.tag is not None:
        args.parser.error("with --match, --kind or --where give NODE|LINK and TAG, no ID")
    t_type, tag = type_word(args.type), args.id
    if args.kind is not None and KIND_TYPES[args.kind] != t_type:
        raise Failure(f"a {args.kind} is a {KIND_TYPES[args.kind]}, not a {t_type}")
    if args.where is not None:
        found, model = chosen_ids(args, lambda: orvane.get_tags(args.network), (t_type,))
        path, ids = model.path, found[t_type]
        if args.kind is not None:
            kind = set(model.of_kind(args.kind))
            ids = [id for id in ids if id in kind]
    else:
        path = model_path(args.network, args.model)
        if path is None:
            raise Failure(f"--match and --kind choose among a model's elements: network "
                          f"{quoted(args.network)} has no linked model (tagtool link), so give "
                          "--model INP")
        model = load_model(args.network, path, ("nodes", "links", "link_kinds"),
                           not args.dry_run)
        ids = model.elements(t_type) if args.kind is None else model.of_kind(args.kind)
    if args.match is not None:
        ids = list(filter(re.compile(fnmatch.translate(args.match)).match, ids))
    chosen = " ".join(f"--{name} {shown(value)}" for name, value in
                      (("kind", args.kind), ("match", args.match), ("where", args.where))
                      if value is not None)
    if not ids:
        raise Failure(f"{path}: no element of type {t_type} matches {chosen}")
    wanted = dict.fromkeys(((t_type, id) for id in ids), tag)
    counts, _ = apply_tags(args.network, wanted, f"set {t_type} {chosen} {quoted(tag)}",
                           args.dry_run, strict=args.strict,
                           model=model if args.model is None else None)
    report(f"tag {quoted(tag)} on {plural(len(wanted), t_type.lower())} ({chosen})",
           counts, args.dry_run)
    warn_unwritable(t_type, ids[0], tag)


def cmd_clear(args):
    if args.where is not None:
        return clear_many(args)
    if args.id is None:
        args.parser.error("the following arguments are required: ID (or --where)")
    if args.model is not None:
        args.parser.error("--model goes with --where")
    t_type, id = type_word(args.type), element_id(args.id)
    if orvane.get_tag(args.network, t_type, id)["tag"] is None:
        say(f"{t_type} {shown(id)}: no tag to clear")
        return
    apply(args.network, database.ChangeSet({"t_type": t_type, "id": id, "tag": None}))


def clear_many(args):
    """clear --where EXPR: the tags of every element of the model that EXPR
    chooses, as one undoable command."""
    from .bulk import clear_tags

    if args.id is not None:
        args.parser.error("with --where give NODE|LINK, no ID")
    t_type = type_word(args.type)
    found, model = chosen_ids(args, lambda: orvane.get_tags(args.network), (t_type,))
    keys = [(t_type, id) for id in found[t_type]]
    cleared = clear_tags(args.network, keys, f"clear {t_type} --where {shown(args.where)}")
    say(f"cleared {plural(cleared, 'tag')} of {plural(len(keys), t_type.lower())} "
        f"(--where {shown(args.where)})")


def cmd_delete(args):
    t_type, id = type_word(args.type), element_id(args.id)
    delete = orvane.delete_tag_by_node if t_type == "NODE" else orvane.delete_tag_by_link
    change = delete(args.network, id)
    if not change.operations:
        say(f"{t_type} {shown(id)}: no tag to delete")
        return
    # The journal holds a deletion as a clear; its label tells them apart.
    database.label_newest(args.network, "delete", apply(args.network, change))


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
                raise Failure(f"{first_line(e)} (tried {TRIES} times)", TRY_AGAIN) from None
    for record in records:
        say(describe(record))
    return records


def cmd_undo(args):
    return step(args, database.undo, database.NEWEST_APPLIED, "undo", "undone")


def cmd_redo(args):
    return step(args, database.redo, database.OLDEST_UNDONE, "redo", "redone")


def step(args, action, entry, verb, done):
    """Undo or redo the latest ``-n`` commands, one transaction each; stop
    at the first with nothing left.  ``entry`` selects the journal entry a
    step takes, read in the step's own transaction so that an import is told
    by the label the history keeps of it."""
    if args.n < 1:
        args.parser.error("-n takes a number of commands, 1 or more")
    labels = None
    for count in range(args.n):
        with database.command(args.network):
            taken = database.try_read(args.network, entry)
            change = action(args.network)
        if not change.operations:
            if count:
                warn(f"nothing more to {verb} in network {quoted(args.network)} after "
                     f"{plural(count, 'command')}")
                return 1
            warn(f"nothing to {verb} in network {quoted(args.network)}")
            return 1
        for record in change:
            label = None
            if record.get("type") == "import":
                if labels is None:
                    labels = database.command_labels(args.network)
                label = labels.get(taken["seq"])
            say(f"{done}: {describe(record, label)}")
