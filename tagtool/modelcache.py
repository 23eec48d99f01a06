"""The linked model as the network keeps it, so that a command on a large
model does not read the INP file again: each attribute of the Model read
(its nodes, links, kinds, coordinates...) is one part of the network's
model cache, pickled and compressed, and every part carries the stamp of
the file it was read from: its real path, size, modification time and hash,
and the version of what a Model holds (MODEL_VERSION, with the names of its
attributes).  The attribute columns that stats and --where compare are
parts too, each kept once a command has read it.  A command loads only the
parts it needs.  The file is read again when it changed (a file touched
but unchanged keeps its cache: same size and hash), and the cache is
written only where the network's storage can be written; a cache that
cannot be written is simply not kept."""

import dataclasses
import json
import os
import zlib

from api import database

from .model import MODEL_VERSION, Model, acyclic, read_columns, read_model
from .output import QUIET

PARTS = tuple(f.name for f in dataclasses.fields(Model) if f.name not in ("path", "columns",
                                                                            "options"))
# Beside them: each type's ids as one text ("ids:NODE"), for the checks of
# ids; and once the file was read with its attributes, its options and each
# column read ("column:pipe:diameter").
IDS = "ids:"
ATTRIBUTES = "attributes"
COLUMN = "column:"
VERSION = f"{MODEL_VERSION}:{','.join(PARTS)}"


def pack(value):
    import pickle

    return zlib.compress(pickle.dumps(value, protocol=5), 1)


def unpack(data):
    """The value of ``data`` as ``pack`` made it: dicts, lists, tuples,
    texts and numbers only, never anything that names a class or a function,
    so that a network shared with others cannot make this process run code."""
    import io
    import pickle

    class Plain(pickle.Unpickler):
        def find_class(self, module, name):
            raise pickle.UnpicklingError(f"the model cache holds {module}.{name}, not plain data")

    with acyclic():
        return Plain(io.BytesIO(zlib.decompress(data))).load()


def file_hash(path):
    import hashlib

    digest = hashlib.blake2b(digest_size=16)
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


def stamp_of(path, info, digest):
    return json.dumps({"version": VERSION, "path": os.path.realpath(path), "size": info.st_size,
                       "mtime_ns": info.st_mtime_ns, "hash": digest}, sort_keys=True)


def still_fits(stamp, path, info):
    """Whether the cache stamped ``stamp`` holds the file at ``path`` as it
    is now (``info``: its stat); with a changed modification time only, the
    hash says.  The stamp to keep (a new one when only the time changed),
    or None when the file changed."""
    try:
        kept = json.loads(stamp)
    except ValueError:
        return None
    if (kept.get("version"), kept.get("path"), kept.get("size")) != (
            VERSION, os.path.realpath(path), info.st_size):
        return None
    if kept.get("mtime_ns") == info.st_mtime_ns:
        return stamp
    digest = file_hash(path)
    return stamp_of(path, info, digest) if kept.get("hash") == digest else None


def cached_parts(network, path, parts, write):
    """({part: data}, stamp, stat) of those of ``parts`` cached from the
    network's linked model ``path`` as the file is now: none and no stamp
    when it changed; and no stat when it cannot be had."""
    try:
        info = os.stat(path)
    except OSError:
        return {}, None, None
    found = database.read_model_cache(network, parts)
    stamps = {stamp for stamp, _ in found.values()}
    if len(stamps) != 1:
        return {}, None, info
    kept = stamps.pop()
    stamp = still_fits(kept, path, info)
    if stamp is not None and stamp != kept and write:
        store(lambda: database.write_model_cache(network, stamp))     # touched, not changed
    if stamp is None:
        return {}, None, info
    return {part: data for part, (_, data) in found.items()}, stamp, info


def cached_model(network, path, parts=PARTS, write=True, columns=None):
    """The Model of ``path``, the network's linked model, holding ``parts``
    at least, and with ``columns`` ((kind, attribute) pairs) those columns
    and the file's options too: from the cache when the file is unchanged,
    else read and cached when ``write``.  Read for its parts alone, the file
    gives no warnings (link gave them); read for its attributes it gives
    them, as each such read does, so attributes are cached only from a read
    that gave none."""
    extra = [] if columns is None else [ATTRIBUTES, *map(column_part, columns)]
    found, stamp, info = cached_parts(network, path, [*parts, *extra], write)
    if all(part in found for part in (*parts, *extra)):
        model = Model(path, **{part: unpack(found[part]) for part in parts})
        if columns is not None:
            model.options = unpack(found[ATTRIBUTES])
            model.columns = {}
            for (kind, name), part in zip(columns, extra[1:]):
                model.columns.setdefault(kind, {})[name] = unpack(found[part])
        return model
    noted, hushed = QUIET.get("noted"), QUIET.get("hushed")
    QUIET["hushed"] = hushed or columns is None
    try:
        model = read_model(path) if columns is None else read_columns(path, columns)
    finally:
        QUIET["hushed"] = hushed
    if not write or info is None:
        return model
    clean = columns is not None and QUIET.get("noted") == noted
    if not all(part in found for part in parts):
        keep(network, path, model, info, columns if clean else None)
    elif clean and unchanged(path, info):
        store(lambda: database.write_model_cache(network, stamp, attribute_parts(model, columns),
                                                 add=True))
    return model


def unchanged(path, info):
    """Whether the file at ``path`` still has the size and time of ``info``."""
    try:
        now = os.stat(path)
    except OSError:
        return False
    return (now.st_size, now.st_mtime_ns) == (info.st_size, info.st_mtime_ns)


class Ids:
    """The ids of the linked model's nodes and links, for the check of the
    ids a command names: each type's ids as one text, an id a line, looked
    up in the text for a few ids and through a set of them for many."""

    FEW = 64

    def __init__(self, path, texts, many):
        self.path, self.made = path, {}
        self.texts, self.many = texts, many

    def elements(self, t_type):
        if t_type not in self.made:
            text = self.texts[t_type]
            self.made[t_type] = set(text.split("\n")) if self.many else Lines(text)
        return self.made[t_type]


class Lines:
    def __init__(self, text):
        self.text = text

    def __contains__(self, id):
        return "\n" not in id and f"\n{id}\n" in self.text     # a model's ids are words


def cached_ids(network, path, keys, write=True):
    """What the check of ``keys`` ((type, id) pairs) needs of the network's
    linked model ``path``: an Ids from the cache, else the Model read."""
    types = sorted({key[0] for key in keys})
    found = cached_parts(network, path, [IDS + t for t in types], write)[0]
    if len(found) != len(types):
        return cached_model(network, path, write=write)
    texts = {t: zlib.decompress(found[IDS + t]).decode("utf-8", "surrogatepass") for t in types}
    return Ids(path, texts, len(keys) > Ids.FEW)


def keep(network, path, model, info=None, columns=None):
    """Cache ``model``, read from ``path`` (whose stat was ``info`` before
    it was read), where the network's storage can be written; with
    ``columns``, the model read with its attributes, those columns too."""
    info = info or os.stat(path)
    stamp = stamp_of(path, info, file_hash(path))
    parts = {part: pack(getattr(model, part)) for part in PARTS}
    for t_type in ("NODE", "LINK"):
        text = "\n" + "\n".join(model.elements(t_type)) + "\n"
        parts[IDS + t_type] = zlib.compress(text.encode("utf-8", "surrogatepass"), 1)
    if columns is not None:
        parts.update(attribute_parts(model, columns))
    store(lambda: database.write_model_cache(network, stamp, parts))


def attribute_parts(model, columns):
    """The parts of what a Model read with its attributes holds: its
    options and the ``columns`` ((kind, attribute) pairs) asked for."""
    parts = {ATTRIBUTES: pack(model.options)}
    parts.update((column_part((kind, name)), pack(model.columns[kind][name]))
                 for kind, name in columns)
    return parts


def column_part(pair):
    return COLUMN + ":".join(pair)


def store(write):
    try:
        write()
    except (database.ReadOnlyError, *database.Error):
        pass        # read-only storage, or a role that may not write: read the file next time
