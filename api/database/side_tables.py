"""Tables the tag tool keeps beside the tags of a network: the model the
network is linked to, the labels of journal entries, and the baseline of
each INP file the network exchanged tags with.

Each is made by the first write that needs it: networks made before them
lack them, and a read that finds one missing answers as if it were empty,
writing nothing.  Values are written as quoted texts, as the tags' own
statements are.
"""

from .store import _check_text, backend_name
from .transaction import _query, _write


# The linked model and the labels of commands
#
#   linked_model (path): at most one row, the INP file the network's tags
#     belong to, so that a tool can check ids and draw without being told.
#   command_labels (seq, label): what a journal entry did, in the words of
#     the tool that wrote it, where its records do not say it (an import of a
#     table and a placing by zones are both imports to the journal).

_LINKED_MODEL = "create table if not exists linked_model (path text not null)"
_COMMAND_LABELS = "create table if not exists command_labels (seq bigint primary key, label text not null)"


def _literal(text):
    return "'" + _check_text(text, "text").replace("'", "''") + "'"


def _has_table(name, table):
    """Whether network ``name`` holds the table ``table`` (read only)."""
    if backend_name() == "postgresql":
        sql = ("select count(*) as n from pg_catalog.pg_tables"
               f" where schemaname = current_schema() and tablename = '{table}'")
    else:
        sql = f"select count(*) as n from sqlite_master where type = 'table' and name = '{table}'"
    return _query(name, sql)[0]["n"] > 0


def set_linked_model(name, path):
    """Record ``path`` as the model of network ``name`` (None: no model)."""
    value = None if path is None else _literal(path)

    def work(tx):
        tx.run(_LINKED_MODEL)
        tx.run("delete from linked_model")
        if value is not None:
            tx.run(f"insert into linked_model (path) values ({value})")
    _write(name, work)


def linked_model(name):
    """The model recorded for network ``name``, or None."""
    if not _has_table(name, "linked_model"):
        return None
    rows = _query(name, "select path from linked_model")
    return rows[0]["path"] if rows else None


def label_newest(name, label, records):
    """Label the newest applied journal entry of network ``name`` with
    ``label`` when its redo records are ``records`` (the entry the caller
    just wrote, not another writer's since); whether it was labelled."""
    import json

    text = _literal(label)

    def work(tx):
        rows = tx.rows("select seq, redo_cs from undo_journal where not undone order by seq desc limit 1")
        if not rows or json.loads(rows[0]["redo_cs"]) != list(records):
            return False
        tx.run(_COMMAND_LABELS)
        tx.run(f"delete from command_labels where seq = {int(rows[0]['seq'])}")
        tx.run(f"insert into command_labels (seq, label) values ({int(rows[0]['seq'])}, {text})")
        return True
    return _write(name, work)


def command_labels(name):
    """{seq: label} of the labelled journal entries of network ``name``."""
    if not _has_table(name, "command_labels"):
        return {}
    return {row["seq"]: row["label"] for row in _query(name, "select seq, label from command_labels")}


# Baselines: the tags last exchanged with each INP file
#
# A network remembers, for every file it imported from or exported into, the
# tags the two held in common after that exchange, so that the next exchange
# can tell who changed what since (a three-way merge).  A file is named by its
# real path (os.path.realpath: absolute, symbolic links resolved).  Its tags
# are kept as one compressed blob in the table file_baselines: one entry a
# line, "N" or "L", the id and the tag joined by NUL (the tags of tag lines
# hold no line break).

BASELINE_TABLE = "file_baselines"
_BASELINE_TYPES = {"NODE": "N", "LINK": "L"}
_BASELINE_NAMES = {"N": "NODE", "L": "LINK"}


def _pack_baseline(tags):
    import zlib
    from itertools import islice

    letter, entries = _BASELINE_TYPES, iter(tags.items())
    packer, parts, count = zlib.compressobj(1), [], 0
    # Joined and compressed a slice at a time, so that the entries are
    # never all held as texts.
    while True:
        chunk = "\n".join(f"{letter[t_type]}\0{id}\0{tag}" for (t_type, id), tag in islice(entries, 8192))
        if not chunk:
            break
        lines = chunk.count("\n") + 1
        if chunk.count("\0") != 2 * lines:
            raise ValueError("the ids and tags of a baseline hold neither a line break nor NUL")
        parts.append(packer.compress((("\n" if count else "") + chunk).encode("utf-8", "surrogatepass")))
        count += lines
    parts.append(packer.flush())
    return b"".join(parts)


def _unpack_baseline(blob, keys):
    import zlib

    text = zlib.decompress(bytes(blob)).decode("utf-8", "surrogatepass")
    names, found = _BASELINE_NAMES, {}
    for line in text.split("\n") if text else ():
        t, id, tag = line.split("\0")
        key = (names[t], id)
        if keys is None or key in keys:
            found[key] = tag
    return found


def _put_baseline(tx, path, tags):
    """Store ``tags`` as the baseline of ``path`` within the transaction ``tx``."""
    postgres = backend_name() == "postgresql"
    tx.script(f"create table if not exists {BASELINE_TABLE}"
              f" (path text primary key, tags {'bytea' if postgres else 'blob'} not null)")
    tx.run(f"insert into {BASELINE_TABLE} (path, tags) values ({_literal(path)}, {'%s' if postgres else '?'})"
           " on conflict (path) do update set tags = excluded.tags", (_pack_baseline(tags),))


def read_baseline(name, path, keys=None):
    """The baseline of the file at the real path ``path`` in network ``name``,
    {(t_type, id): tag} (only the elements of ``keys`` when given), or None
    when the network never exchanged tags with it.  Writes nothing."""
    _check_text(path, "path")
    if not _has_table(name, BASELINE_TABLE):
        return None
    rows = _query(name, f"select tags from {BASELINE_TABLE} where path = {_literal(path)}", 1)
    return _unpack_baseline(rows[0]["tags"], keys) if rows else None


def write_baseline(name, path, tags):
    """Make ``tags`` ({(t_type, id): tag}) the baseline of the file at the
    real path ``path`` in network ``name``."""
    _check_text(path, "path")
    _write(name, lambda tx: _put_baseline(tx, path, tags))


# ---- The linked model's cache -------------------------------------------
#
# What the tool reads of a network's linked model, kept beside the network so
# that a command on a large model does not read the file again: the table
# model_cache (part, stamp, data), one row for each part of what was read,
# every row with the same stamp (a text that names the file, its size and
# modification time, a hash of it and the version of what the rows hold).
# The tool packs, stamps and checks them; here they are only kept.  It is
# not part of the undo history.

MODEL_CACHE = "model_cache"


def read_model_cache(name, parts):
    """{part: (stamp, data)} of the cached ``parts`` of network ``name``'s
    linked model ({} when there is no cache).  Writes nothing."""
    if not parts or not _has_table(name, MODEL_CACHE):
        return {}
    wanted = ", ".join(_literal(part) for part in parts)
    rows = _query(name, f"select part, stamp, data from {MODEL_CACHE} where part in ({wanted})")
    return {row["part"]: (row["stamp"], bytes(row["data"])) for row in rows}


def write_model_cache(name, stamp, parts=None):
    """Make ``parts`` ({part: bytes}), stamped ``stamp``, the cache of
    network ``name``'s linked model, in place of what it held; with no
    ``parts``, give the parts it holds the stamp ``stamp``."""
    postgres = backend_name() == "postgresql"
    mark = "%s" if postgres else "?"

    def work(tx):
        if parts is None:
            tx.run(f"update {MODEL_CACHE} set stamp = {_literal(stamp)}")
            return
        tx.script(f"create table if not exists {MODEL_CACHE}"
                  f" (part text primary key, stamp text not null, data {'bytea' if postgres else 'blob'} not null)")
        tx.run(f"delete from {MODEL_CACHE}")
        for part, data in parts.items():
            tx.run(f"insert into {MODEL_CACHE} (part, stamp, data) values ({_literal(part)}, {_literal(stamp)}, {mark})",
                   (data,))
    _write(name, work)

# ---- end of the linked model's cache -------------------------------------


# Map colours: the colour each tag is drawn in
#
#   map_colours (tag, colour): the colour a map gave a tag the first time it
#     drew it, so that every later map of the network draws it alike.  Kept
#     outside the journal: undo and redo leave colours alone.  Written only
#     where the storage can be written; elsewhere a map draws by the same
#     rule and keeps nothing.

_MAP_COLOURS = "create table if not exists map_colours (tag text primary key, colour text not null)"
# PostgreSQL's "insufficient privilege" and "read-only transaction".
_READ_ONLY_STATES = ("42501", "25006")


def map_colours(name):
    """{tag: colour} kept for network ``name`` (read only)."""
    if not _has_table(name, "map_colours"):
        return {}
    return {row["tag"]: row["colour"] for row in _query(name, "select tag, colour from map_colours")}


def keep_map_colours(name, choose):
    """Call ``choose(kept)`` with the colours kept for network ``name`` as
    its write transaction reads them ({tag: colour}); it returns ({tag:
    colour} to add, [tag] to drop), which are stored.  Whether they were:
    False where the storage is read-only, and nothing was written."""
    from .records import ReadOnlyError

    def work(tx):
        tx.run(_MAP_COLOURS)
        kept = {row["tag"]: row["colour"] for row in tx.rows("select tag, colour from map_colours")}
        add, drop = choose(kept)
        for tag in drop:
            tx.run(f"delete from map_colours where tag = {_literal(tag)}")
        for tag, colour in add.items():
            tx.run(f"insert into map_colours (tag, colour) values ({_literal(tag)}, {_literal(colour)})")
        return True
    try:
        return _write(name, work)
    except ReadOnlyError:
        return False
    except Exception as e:
        if getattr(e, "sqlstate", None) in _READ_ONLY_STATES:
            return False
        raise
