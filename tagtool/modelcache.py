"""The linked model as the network keeps it, so that a command on a large
model does not read the INP file again: each attribute of the Model read
(its nodes, links, kinds, coordinates...) is one part of the network's
model cache, pickled and compressed, and every part carries the stamp of
the file it was read from: its real path, size, modification time and hash,
and the version of what a Model holds (MODEL_VERSION, with the names of its
attributes).  A command loads only the parts it needs.  The file is read
again when it changed (a file touched but unchanged keeps its cache: same
size and hash), and the cache is written only where the network's storage
can be written; a cache that cannot be written is simply not kept."""

import dataclasses
import gc
import json
import os
import zlib

from api import database

from .model import MODEL_VERSION, Model, read_model
from .output import QUIET

PARTS = tuple(f.name for f in dataclasses.fields(Model) if f.name != "path")
IDS = "ids:"        # beside them, each type's ids as one text ("ids:NODE"), for the checks of ids
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

    # Dicts of texts and tuples make no cycles: the cyclic collector, which
    # their many objects would wake, waits.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return Plain(io.BytesIO(zlib.decompress(data))).load()
    finally:
        if collecting:
            gc.enable()


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
    """{part: data} of the cached ``parts`` of the network's linked model
    ``path`` when the file is unchanged since they were cached, else None."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    found = database.read_model_cache(network, parts)
    stamps = {stamp for stamp, _ in found.values()}
    if len(found) != len(parts) or len(stamps) != 1:
        return None
    kept = stamps.pop()
    stamp = still_fits(kept, path, info)
    if stamp is not None and stamp != kept and write:
        store(lambda: database.write_model_cache(network, stamp))     # touched, not changed
    return None if stamp is None else {part: data for part, (_, data) in found.items()}


def cached_model(network, path, parts=PARTS, write=True):
    """The Model of ``path``, the network's linked model, holding ``parts``
    at least: from the cache when the file is unchanged, else read (its
    warnings left out: link gave them) and cached when ``write``."""
    found = cached_parts(network, path, parts, write)
    if found is not None:
        return Model(path, **{part: unpack(data) for part, data in found.items()})
    try:
        info = os.stat(path)
    except OSError:
        info = None
    hushed, QUIET["hushed"] = QUIET.get("hushed"), True
    try:
        model = read_model(path)
    finally:
        QUIET["hushed"] = hushed
    if write and info is not None:
        keep(network, path, model, info)
    return model


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
    found = cached_parts(network, path, [IDS + t for t in types], write)
    if found is None:
        return cached_model(network, path, write=write)
    texts = {t: zlib.decompress(found[IDS + t]).decode("utf-8", "surrogatepass") for t in types}
    return Ids(path, texts, len(keys) > Ids.FEW)


def keep(network, path, model, info=None):
    """Cache ``model``, read from ``path`` (whose stat was ``info`` before
    it was read), where the network's storage can be written."""
    info = info or os.stat(path)
    stamp = stamp_of(path, info, file_hash(path))
    parts = {part: pack(getattr(model, part)) for part in PARTS}
    for t_type in ("NODE", "LINK"):
        text = "\n" + "\n".join(model.elements(t_type)) + "\n"
        parts[IDS + t_type] = zlib.compress(text.encode("utf-8", "surrogatepass"), 1)
    store(lambda: database.write_model_cache(network, stamp, parts))


def store(write):
    try:
        write()
    except (database.ReadOnlyError, *database.Error):
        pass        # read-only storage, or a role that may not write: read the file next time
