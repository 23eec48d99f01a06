"""Tables the tag tool keeps beside the tags of a network: the model the
network is linked to, the labels of journal entries, and the records of
the exchanges of tags with files.

Each is made by the first write that needs it: networks made before them
lack them, and a read that finds one missing answers as if it were empty,
writing nothing.  Values are written as quoted texts, as the tags' own
statements are.
"""

from .store import backend_name, check_text
from .transaction import query, write


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
    return "'" + check_text(text, "text").replace("'", "''") + "'"


def _has_table(name, table):
    """Whether network ``name`` holds the table ``table`` (read only)."""
    if backend_name() == "postgresql":
        sql = ("select count(*) as n from pg_catalog.pg_tables"
               f" where schemaname = current_schema() and tablename = '{table}'")
    else:
        sql = f"select count(*) as n from sqlite_master where type = 'table' and name = '{table}'"
    return query(name, sql)[0]["n"] > 0


def set_linked_model(name, path):
    """Record ``path`` as the model of network ``name`` (None: no model)."""
    value = None if path is None else _literal(path)

    def work(tx):
        tx.run(_LINKED_MODEL)
        tx.run("delete from linked_model")
        if value is not None:
            tx.run(f"insert into linked_model (path) values ({value})")
    write(name, work)


def linked_model(name):
    """The model recorded for network ``name``, or None."""
    if not _has_table(name, "linked_model"):
        return None
    rows = query(name, "select path from linked_model")
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
    return write(name, work)


def command_labels(name):
    """{seq: label} of the labelled journal entries of network ``name``."""
    if not _has_table(name, "command_labels"):
        return {}
    return {row["seq"]: row["label"] for row in query(name, "select seq, label from command_labels")}


# Exchanges: what a network and a file agreed on, each time they exchanged tags
#
# A network keeps a history of its exchanges with files (imports, exports
# into a file or to a named one), so that the next exchange of a file, at its
# path or wherever it travelled, merges three ways (tagtool/exchange.py).  A
# record holds, for the elements the file spoke for, the tag both sides
# agreed on (None: no tag) and, where the file held another one at that
# moment, the file's; elements on which both were None are left out.  Beside
# it: the file's real path, the time (UTC), the direction and format, a
# digest of the file's content, the number of tagged pairs the file held and
# a small sample of their hashes (the fingerprint a copy's origin is found
# by), so that looking for an origin reads no record whole.
#
# The entries are one text, every field of every element joined by NUL (no
# id or tag holds one): the type letter, the id, the agreed tag and the
# file's, each "=" + tag or "" for none; a file field of "." is "as agreed".
# Networks made before kept one baseline a path (file_baselines): it is still
# read, as the record of its path that is older than any other.

RECORD_TABLE = "exchange_records"
KEEP_PER_PATH = 16          # the newest records of each path are kept
BASELINE_TABLE = "file_baselines"
_LETTERS = {"NODE": "N", "LINK": "L"}
_TYPES = {"N": "NODE", "L": "LINK"}
_AS_AGREED = "."


class CorruptRecord(ValueError):
    """An exchange record that cannot be read back; its message says which."""


def _records_table(postgres):
    blob = "bytea" if postgres else "blob"
    key = "bigserial primary key" if postgres else "integer primary key"
    return (f"create table if not exists {RECORD_TABLE} (seq {key}, path text not null,"
            " at text not null, direction text not null, format text not null,"
            f" digest text not null, pairs bigint not null, sample {blob} not null,"
            f" entries {blob} not null);\n"
            f"create index if not exists {RECORD_TABLE}_path on {RECORD_TABLE} (path, seq)")


def _field(tag):
    return "" if tag is None else "=" + tag


def _pack_entries(agreed, file):
    """The compressed text of a record's entries: ``agreed`` {key: tag or
    None} and ``file`` {key: tag or None} where the file held another tag."""
    import zlib

    letter = _LETTERS
    # One text an element: the agreed tag and "as agreed", or the file's own.
    parts = [f"{letter[t]}\0{id}\0={tag}\0{_AS_AGREED}" for (t, id), tag in agreed.items()
             if tag is not None and (t, id) not in file]
    get = agreed.get
    parts += [f"{letter[key[0]]}\0{key[1]}\0{_field(get(key))}\0{_field(tag)}"
              for key, tag in file.items() if tag is not None or get(key) is not None]
    text = "\0".join(parts)
    return zlib.compress(text.encode("utf-8", "surrogatepass"), 1)


def _unpack_entries(blob, what):
    """(agreed, file) of a record's entries, as ``_pack_entries`` took them;
    CorruptRecord when they are not what it wrote."""
    import zlib

    try:
        text = zlib.decompress(bytes(blob)).decode("utf-8", "surrogatepass")
    except (zlib.error, UnicodeDecodeError, TypeError) as e:
        raise CorruptRecord(f"{what} is corrupt ({e})") from None
    parts = text.split("\0") if text else []
    if len(parts) % 4:
        raise CorruptRecord(f"{what} is corrupt ({len(parts)} fields, not a multiple of 4)")
    try:
        keys = list(zip(map(_TYPES.__getitem__, parts[0::4]), parts[1::4]))
        agreed = {key: a[1:] for key, a in zip(keys, parts[2::4]) if a}
        file = {key: f[1:] if f else None for key, f in zip(keys, parts[3::4])
                if f != _AS_AGREED}
    except KeyError as e:
        raise CorruptRecord(f"{what} is corrupt (a bad type {str(e)[:40]})") from None
    return agreed, file


def put_exchange(tx, record):
    """Store ``record`` (see write_exchange) within the transaction ``tx``
    and drop the records of its path beyond the newest KEEP_PER_PATH."""
    postgres = backend_name() == "postgresql"
    mark = "%s" if postgres else "?"
    path = check_text(record["path"], "path")
    tx.script(_records_table(postgres))
    tx.run(f"insert into {RECORD_TABLE} (path, at, direction, format, digest, pairs, sample, entries)"
           f" values ({', '.join([mark] * 8)})",
           (path, record["at"], record["direction"], record["format"], record["digest"],
            int(record["pairs"]), bytes(record["sample"]),
            _pack_entries(record["agreed"], record.get("file") or {})))
    tx.run(f"delete from {RECORD_TABLE} where path = {_literal(path)} and seq not in"
           f" (select seq from {RECORD_TABLE} where path = {_literal(path)}"
           f" order by seq desc limit {KEEP_PER_PATH})")


def write_exchange(name, record):
    """Record an exchange of network ``name`` with a file.  ``record`` is a
    dict: ``path`` (the file's real path), ``at`` (UTC, ISO 8601),
    ``direction`` ("import" or "export"), ``format``, ``digest`` (of the
    file's content), ``pairs`` (its number of tags) and ``sample`` (bytes:
    the fingerprint of its tags), ``agreed`` {(t_type, id): tag or None}
    and ``file`` {(t_type, id): tag or None}, the file's tags where they
    were not the agreed ones."""
    write(name, lambda tx: put_exchange(tx, record))


def exchange_records(name):
    """The records of network ``name``, newest first, without their entries:
    dicts with ``seq``, ``path``, ``at``, ``direction``, ``format``,
    ``digest``, ``pairs`` and ``sample`` (bytes).  A baseline kept by a
    network made before records comes last, with ``seq`` None, ``at`` and
    ``digest`` None and no sample.  Writes nothing."""
    rows = []
    if _has_table(name, RECORD_TABLE):
        rows = query(name, f"select seq, path, at, direction, format, digest, pairs, sample"
                            f" from {RECORD_TABLE} order by seq desc")
        for row in rows:
            row["sample"] = bytes(row["sample"])
    if _has_table(name, BASELINE_TABLE):
        rows += [{"seq": None, "path": row["path"], "at": None, "direction": "import",
                  "format": "inp", "digest": None, "pairs": None, "sample": b""}
                 for row in query(name, f"select path from {BASELINE_TABLE}")]
    return rows


def read_exchange(name, seq, path=None):
    """(agreed, file) of the record ``seq`` of network ``name`` (see
    write_exchange); with ``seq`` None, the old baseline of ``path``, whose
    tags were the agreed ones.  CorruptRecord when it cannot be read."""
    if seq is None:
        check_text(path, "path")
        rows = query(name, f"select tags from {BASELINE_TABLE} where path = {_literal(path)}", 1)
        if not rows:
            raise CorruptRecord(f"the baseline of {path} is gone")
        return _unpack_baseline(rows[0]["tags"], f"the baseline of {path}"), {}
    rows = query(name, f"select entries from {RECORD_TABLE} where seq = {int(seq)}", 1)
    if not rows:
        raise CorruptRecord(f"exchange record {int(seq)} is gone")
    return _unpack_entries(rows[0]["entries"], f"exchange record {int(seq)}")


def _unpack_baseline(blob, what):
    """The tags of a baseline of a network made before records: one entry a
    line, "N" or "L", the id and the tag joined by NUL, compressed."""
    import zlib

    try:
        text = zlib.decompress(bytes(blob)).decode("utf-8", "surrogatepass")
        found = {}
        for line in text.split("\n") if text else ():
            t, id, tag = line.split("\0")
            found[_TYPES[t], id] = tag
    except (zlib.error, UnicodeDecodeError, TypeError, ValueError, KeyError) as e:
        raise CorruptRecord(f"{what} is corrupt ({type(e).__name__})") from None
    return found


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
    rows = query(name, f"select part, stamp, data from {MODEL_CACHE} where part in ({wanted})")
    return {row["part"]: (row["stamp"], bytes(row["data"])) for row in rows}


def write_model_cache(name, stamp, parts=None, add=False):
    """Make ``parts`` ({part: bytes}), stamped ``stamp``, the cache of
    network ``name``'s linked model, in place of what it held; with ``add``,
    put them beside the parts it holds stamped ``stamp`` (those stamped
    otherwise go); with no ``parts``, give the parts it holds the stamp
    ``stamp``."""
    postgres = backend_name() == "postgresql"
    mark = "%s" if postgres else "?"

    def work(tx):
        if parts is None:
            tx.run(f"update {MODEL_CACHE} set stamp = {_literal(stamp)}")
            return
        tx.script(f"create table if not exists {MODEL_CACHE}"
                  f" (part text primary key, stamp text not null, data {'bytea' if postgres else 'blob'} not null)")
        if not add:
            tx.run(f"delete from {MODEL_CACHE}")
        elif parts:
            named = ", ".join(_literal(part) for part in parts)
            tx.run(f"delete from {MODEL_CACHE} where stamp <> {_literal(stamp)} or part in ({named})")
        for part, data in parts.items():
            tx.run(f"insert into {MODEL_CACHE} (part, stamp, data) values ({_literal(part)}, {_literal(stamp)}, {mark})",
                   (data,))
    write(name, work)

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
    return {row["tag"]: row["colour"] for row in query(name, "select tag, colour from map_colours")}


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
        return write(name, work)
    except ReadOnlyError:
        return False
    except Exception as e:
        if getattr(e, "sqlstate", None) in _READ_ONLY_STATES:
            return False
        raise
