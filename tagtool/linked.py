"""The model linked to a network: the INP file its tags belong to, kept in
the network's database.  Edits check their ids against it (a warning naming
the ids it does not define, a refusal with --strict), and summary and map
read it when they are given no model.  The model reader is loaded only
when a model is read, so that the edits that read none start without it."""

import os

from api import database

from .output import DATA_ERROR, Failure, note, out, plural, quoted, say, shown

NAMED = 20          # unknown ids named one by one; the rest are counted


def model_path(network, given=None):
    """The model a command reads: the one given, else the linked one, else None."""
    return given if given is not None else database.linked_model(network)


def load_model(network, path, parts=None, write=True, columns=None):
    """The Model of the INP file ``path``: from the network's cache when it
    is the linked model (holding ``parts`` at least; all by default), which
    is written, with ``write``, when the file changed since.  With
    ``columns`` ((kind, attribute) pairs), read with its attributes: it
    holds those columns, read in their order, and the file's options."""
    from .model import read_columns, read_model
    from .modelcache import PARTS, cached_model

    linked = database.linked_model(network)
    if linked is None or os.path.realpath(path) != os.path.realpath(linked):
        return read_model(path) if columns is None else read_columns(path, columns)
    return cached_model(network, path, parts or PARTS, write, columns)


def link(network, path, model=None):
    """Record ``path`` (read as a model first, unless ``model`` is its Model
    already, so that a bad file is refused before it is linked) as the model
    of ``network``, and cache what it holds; the Model read.  Its warnings
    (an encoding other than UTF-8) are given here, once."""
    from .model import read_model
    from .modelcache import keep

    try:
        info = os.stat(path)        # before the file is read: a change meanwhile is seen
    except OSError:
        info = None
    model = model or read_model(path)
    database.set_linked_model(network, os.path.abspath(path))
    keep(network, path, model, info)
    return model


def register(command):
    sub = command("link", cmd_link, "net1 model.inp",
                  "Record the INP file that the network's tags belong to. Then set, import, "
                  "zones and the other edits warn about ids the model does not define (and "
                  "refuse them with --strict), and summary and map read it when they are given "
                  "no model. Without MODEL, print the linked model.")
    sub.add_argument("model", metavar="MODEL", nargs="?", help="the INP file")
    sub.add_argument("--unlink", action="store_true", help="forget the linked model")


def cmd_link(args):
    if args.unlink:
        if args.model is not None:
            args.parser.error("give MODEL or --unlink, not both")
        database.set_linked_model(args.network, None)
        out(f"{args.network}: no linked model")
        return
    if args.model is None:
        path = database.linked_model(args.network)
        out(path if path is not None else f"{args.network}: no linked model")
        return
    model = link(args.network, args.model)
    say(f"linked {args.network} to {os.path.abspath(args.model)}: "
        f"{plural(len(model.nodes), 'node')}, {plural(len(model.links), 'link')}")


def unknown_ids(model, keys):
    """The (type, id) of ``keys`` that ``model`` does not define, sorted."""
    return sorted(key for key in keys if key[1] not in model.elements(key[0]))


def unknown_in_model(network, keys, strict=False, model=None, write=True):
    """The (type, id) of ``keys`` that the network's linked model (or
    ``model``, a Model already read) does not define, sorted, and the
    Model; ([], None) without a linked model.  A linked model that cannot
    be read is warned about (nothing checked), or refused with ``strict``;
    a model read again is cached with ``write``."""
    if model is None:
        path = database.linked_model(network) if keys else None
        if path is None:
            return [], None
        try:
            from .modelcache import cached_ids

            model = cached_ids(network, path, keys, write)
        except Failure as e:
            if strict:
                raise Failure(f"--strict: cannot read the linked model: {e}; nothing written",
                              e.status) from None
            note(f"warning: ids not checked: cannot read the linked model: {e}")
            return [], None
    return unknown_ids(model, keys), model


def check_ids(network, keys, strict, model=None, write=True):
    """Warn about the ids of ``keys`` ((type, id) pairs) that the network's
    linked model (or ``model``, a Model already read) does not define,
    naming them; with ``strict`` refuse instead.  Without a linked model
    nothing is checked; a model read again is cached with ``write``."""
    unknown, model = unknown_in_model(network, keys, strict, model, write)
    if not unknown:
        return
    names = ", ".join(f"{t} {shown(id)}" for t, id in unknown[:NAMED])
    more = f" and {len(unknown) - NAMED} more" if len(unknown) > NAMED else ""
    what = f"{plural(len(unknown), 'id')} not in the linked model {quoted(model.path)}: {names}{more}"
    if strict:
        raise Failure(f"--strict: {what}; nothing written", DATA_ERROR)
    note(f"warning: {what}")
