"""The commands that read and edit tags: list, get, set, clear, delete, undo
and redo."""

import bisect
import operator
import re

from api import database, orvane

from .formats import in_order, write_object, write_rows
from .elements import KIND_TYPES
from .linked import check_ids
from .options import add_dry_run, add_element, add_format, add_strict, add_where
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


def register(command):
    sub = command("list", cmd_list, "net1 --format csv > tags.csv")
    add_format(sub)
    add_where(sub, model=True)
    sub = command("get", cmd_get, "net1 NODE J1")
    add_element(sub)
    add_format(sub)
    sub = command("set", cmd_set, "net1 NODE --match 'J1*' North",
                  "Set the tag of one node or link; with --match, --kind or --where (give the "
                  "type and the tag, no id), of every element of the model that matches, as "
                  "one undoable command.")
    sub.add_argument("type", metavar="NODE|LINK", help="the kind of element")
    sub.add_argument("id", metavar="ID", help="the id of the node or link (with --match or "
                                              "--kind: the tag)")
    sub.add_argument("tag", metavar="TAG", nargs="?", help="the new tag")
    sub.add_argument("--match", metavar="GLOB",
                     help="every element of the model whose id matches GLOB (*, ?, [seq])")
    sub.add_argument("--kind", choices=KIND_TYPES,
                     help="every element of this kind in the model (with --match: of both)")
    sub.add_argument("--model", metavar="INP",
                     help="with --match, --kind or --where: the model to choose from "
                          "(default: the linked model)")
    add_where(sub)
    add_dry_run(sub)
    add_strict(sub)
    sub = command("clear", cmd_clear, "net1 LINK --where 'diameter < 6'",
                  "Clear the tag of one node or link; with --where (give the type, no id), "
                  "of every element of the model that matches, as one undoable command.")
    sub.add_argument("type", metavar="NODE|LINK", help="the kind of element")
    sub.add_argument("id", metavar="ID", nargs="?", help="the id of the node or link")
    add_where(sub, model=True)
    sub = command("delete", cmd_delete, "net1 NODE J1")
    add_element(sub)
    for name, run in (("undo", cmd_undo), ("redo", cmd_redo)):
        sub = command(name, run, "net1 -n 3")
        sub.add_argument("-n", type=int, default=1, metavar="N",
                         help="how many commands (default 1), one after another")


PLAIN_ID = re.compile(r"^[A-Z]+\t([^\t]*)", re.M)    # the id of a plain line


def cmd_list(args):
    if args.where is not None:
        return list_where(args.network, args.where, args.model, args.format)
    if args.model is not None:
        args.parser.error("--model goes with --where")
    list_tags(args.network, args.format, args.raw)


def list_tags(network, fmt="text", raw=False):
    """Write the tags of ``network`` in ``fmt`` (text, json, csv; ``raw``:
    CSV cells unguarded), nodes first, each type in the natural order of its
    ids; the module reads them in table order."""
    if fmt == "text":
        lines = orvane.inp_out_tag(network)
        count, text = len(lines), plain_lines(lines)
        del lines
        if text is not None:
            ids, nodes = PLAIN_ID.findall(text), text.count("\nNODE\t") + text.startswith("NODE\t")
            rows = in_order(text.split("\n"), ids, nodes) if count else []
            del text
            write_rows("text", FIELDS, progress(rows, count, "tags"), str)
            return
    tags = orvane.get_tags(network)
    nodes = bisect.bisect(tags, False, key=lambda tag: tag["t_type"] == "LINK")   # nodes come first
    tags = in_order(tags, list(map(operator.itemgetter("id"), tags)), nodes)
    tags = progress(tags, len(tags), "tags")
    if fmt == "text":
        write_rows("text", FIELDS, tags, text_row)      # the tags as read make the lines
        return
    write_rows(fmt, FIELDS, ((tag["t_type"], tag["id"], tag["tag"]) for tag in tags), None, raw)


def list_where(network, where, model=None, fmt="text"):
    """list --where: the tags of the elements of ``model`` (None: the
    linked one) that the expression ``where`` chooses, written in ``fmt``."""
    tags = orvane.get_tags(network)
    chosen = {t: set(ids) for t, ids in chosen_ids(network, where, model, lambda: tags)[0].items()}
    rows = [(t["t_type"], t["id"], t["tag"]) for t in tags
            if t["tag"] is not None and t["id"] in chosen[t["t_type"]]]
    write_rows(fmt, FIELDS, rows, lambda row: text_row(dict(zip(("t_type", "id", "tag"), row))))


def chosen_ids(network, where, model, tags, types=("NODE", "LINK"), write=True):
    """({type: ids in the model's order}, Model) of the elements of the
    model ``model`` (None: the network's linked one) that the expression
    ``where`` chooses; ``tags()`` gives the network's tags, read only when
    it names ``tag``.  A linked model read again is cached with ``write``."""
    from .linked import load_model, model_path
    from .where import compared, select

    path = model_path(network, model)
    if path is None:
        raise Failure(f"--where chooses among a model's elements: network "
                      f"{quoted(network)} has no linked model (tagtool link), so give "
                      "--model INP")
    model = load_model(network, path, ("nodes", "links", "link_kinds"), write,
                       compared(where, types) or ())
    return select(where, model, tags, types), model


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
        # NETWORK TYPE TAG: the word after the type is the tag.
        if args.tag is not None:
            args.parser.error("with --match, --kind or --where give NODE|LINK and TAG, no ID")
        return set_many(args.network, type_word(args.type), args.id, match=args.match,
                        kind=args.kind, where=args.where, model=args.model,
                        dry_run=args.dry_run, strict=args.strict)
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


def set_many(network, t_type, tag, match=None, kind=None, where=None, model=None,
             dry_run=False, strict=False):
    """set --match GLOB, --kind KIND and --where EXPR: ``tag`` on every
    element of type ``t_type`` of ``model`` (None: the linked model) that
    matches them all, as one undoable command."""
    import fnmatch

    from .bulk import apply_tags, report
    from .linked import load_model, model_path

    given = model
    if kind is not None and KIND_TYPES[kind] != t_type:
        raise Failure(f"a {kind} is a {KIND_TYPES[kind]}, not a {t_type}")
    if where is not None:
        found, model = chosen_ids(network, where, given, lambda: orvane.get_tags(network),
                                  (t_type,), not dry_run)
        path, ids = model.path, found[t_type]
        if kind is not None:
            of_kind = set(model.of_kind(kind))
            ids = [id for id in ids if id in of_kind]
    else:
        path = model_path(network, given)
        if path is None:
            raise Failure(f"--match and --kind choose among a model's elements: network "
                          f"{quoted(network)} has no linked model (tagtool link), so give "
                          "--model INP")
        model = load_model(network, path, ("nodes", "links", "link_kinds"), not dry_run)
        ids = model.elements(t_type) if kind is None else model.of_kind(kind)
    if match is not None:
        ids = list(filter(re.compile(fnmatch.translate(match)).match, ids))
    chosen = " ".join(f"--{name} {shown(value)}" for name, value in
                      (("kind", kind), ("match", match), ("where", where)) if value is not None)
    if not ids:
        raise Failure(f"{path}: no element of type {t_type} matches {chosen}")
    wanted = dict.fromkeys(((t_type, id) for id in ids), tag)
    counts, _ = apply_tags(network, wanted, f"set {t_type} {chosen} {quoted(tag)}", dry_run,
                           strict=strict, model=model if given is None else None)
    report(f"tag {quoted(tag)} on {plural(len(wanted), t_type.lower())} ({chosen})",
           counts, dry_run)
    warn_unwritable(t_type, ids[0], tag)


def cmd_clear(args):
    if args.where is not None:
        if args.id is not None:
            args.parser.error("with --where give NODE|LINK, no ID")
        return clear_many(args.network, type_word(args.type), args.where, args.model)
    if args.id is None:
        args.parser.error("the following arguments are required: ID (or --where)")
    if args.model is not None:
        args.parser.error("--model goes with --where")
    t_type, id = type_word(args.type), element_id(args.id)
    if orvane.get_tag(args.network, t_type, id)["tag"] is None:
        say(f"{t_type} {shown(id)}: no tag to clear")
        return
    apply(args.network, database.ChangeSet({"t_type": t_type, "id": id, "tag": None}))


def clear_many(network, t_type, where, model=None):
    """clear --where EXPR: the tags of every element of type ``t_type`` of
    ``model`` (None: the linked model) that the expression ``where``
    chooses, as one undoable command."""
    from .bulk import clear_tags

    found, _ = chosen_ids(network, where, model, lambda: orvane.get_tags(network), (t_type,))
    keys = [(t_type, id) for id in found[t_type]]
    cleared = clear_tags(network, keys, f"clear {t_type} --where {shown(where)}")
    say(f"cleared {plural(cleared, 'tag')} of {plural(len(keys), t_type.lower())} "
        f"(--where {shown(where)})")


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
    return step(args.network, steps(args.n, args.parser), database.undo,
                database.NEWEST_APPLIED, "undo", "undone")


def cmd_redo(args):
    return step(args.network, steps(args.n, args.parser), database.redo,
                database.OLDEST_UNDONE, "redo", "redone")


def steps(n, parser):
    if n < 1:
        parser.error("-n takes a number of commands, 1 or more")
    return n


def step(network, n, action, entry, verb, done):
    """Undo or redo the latest ``n`` commands of ``network``, one
    transaction each; stop at the first with nothing left (exit status 1).
    ``entry`` selects the journal entry a step takes, read in the step's
    own transaction so that an import is told by the label the history
    keeps of it."""
    labels = None
    for count in range(n):
        with database.command(network):
            taken = database.try_read(network, entry)
            change = action(network)
        if not change.operations:
            if count:
                warn(f"nothing more to {verb} in network {quoted(network)} after "
                     f"{plural(count, 'command')}")
                return 1
            warn(f"nothing to {verb} in network {quoted(network)}")
            return 1
        for record in change:
            label = None
            if record.get("type") == "import":
                if labels is None:
                    labels = database.command_labels(network)
                label = labels.get(taken["seq"])
            say(f"{done}: {describe(record, label)}")
