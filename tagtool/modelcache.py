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
import hashlib
import io
import json
import os
import pickle
import zlib

from api import database

from .model import MODEL_VERSION, Model, read_model
from .output import QUIET

PARTS = tuple(f.name for f in dataclasses.fields(Model) if f.name != "path")
VERSION = f"{MODEL_VERSION}:{','.join(PARTS)}"


class Plain(pickle.Unpickler):
    """Reads back dicts, lists, tuples, texts and numbers, and nothing that
    names a class or a function: a network shared with others cannot make
    this process run code."""

    def find_class(self, module, name):
        raise pickle.UnpicklingError(f"the model cache holds {module}.{name}, not plain data")


def pack(value):
    return zlib.compress(pickle.dumps(value, protocol=5), 1)


def unpack(data):
    return Plain(io.BytesIO(zlib.decompress(data))).load()


def file_hash(path):
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


def cached_model(network, path, parts=PARTS, write=True):
    """The Model of ``path``, the network's linked model, holding ``parts``
    at least: from the cache when the file is unchanged, else read (its
    warnings left out: link gave them) and cached when ``write``."""
    try:
        info = os.stat(path)
    except OSError:
        info = None
    if info is not None:
        found = database.read_model_cache(network, parts)
        stamps = {stamp for stamp, _ in found.values()}
        if len(found) == len(parts) and len(stamps) == 1:
            kept = stamps.pop()
            stamp = still_fits(kept, path, info)
            if stamp is not None and stamp != kept and write:
                store(lambda: database.write_model_cache(network, stamp))     # touched, not changed
            if stamp is not None:
                return Model(path, **{part: unpack(data) for part, (_, data) in found.items()})
    hushed, QUIET["hushed"] = QUIET.get("hushed"), True
    try:
        model = read_model(path)
    finally:
        QUIET["hushed"] = hushed
    if write and info is not None:
        keep(network, path, model, info)
    return model


def keep(network, path, model, info=None):
    """Cache ``model``, read from ``path`` (whose stat was ``info`` before
    it was read), where the network's storage can be written."""
    info = info or os.stat(path)
    stamp = stamp_of(path, info, file_hash(path))
    parts = {part: pack(getattr(model, part)) for part in PARTS}
    store(lambda: database.write_model_cache(network, stamp, parts))


def store(write):
    try:
        write()
    except (database.ReadOnlyError, *database.Error):
        pass        # read-only storage, or a role that may not write: read the file next time
