"""The files of an exchange, in every format, as one kind of value: a Side.

``read_side`` reads an INP file's [TAGS] sections, the tool's own CSV or
JSON, a GIS attribute table (--id-column, --tag-column) or a GeoJSON layer
into the same mapping {(type, id): tag}, with what the file speaks for
(``scope``), the rows it left out as bad, and ``render``, which writes the
same file back with its tags replaced and every other byte as it was.
``new_side`` is the file an ``export -o FILE`` makes.  ``door`` is what
every import passes first: bad rows, ids the linked model lacks, tags an
INP export would refuse.  The merge, the plan and the store do not know
which format a side came from."""

import hashlib
import os
import re

from .inpfile import STDIN, STDIN_NAME, TAGS, InpError, InpFile, split_ending
from .output import DATA_ERROR, Failure, bad_line, note, plural, quoted, shown, warn
from .taglines import PLAIN, TYPES, tag_line, unwritable

FORMATS = ("inp", "csv", "json", "geojson")
EXTENSIONS = {"csv": "csv", "tsv": "csv", "json": "json", "geojson": "geojson"}

KEEP, DROP = object(), object()   # a row as it is; a row left out (never a tag)
# Texts that each stand in a tag line as they are, one a line.
PLAIN_LINES = re.compile(rf"(?:{PLAIN.pattern}\n)*")
# What an id must not hold for the import's statements to carry it.
UNCARRIED = re.compile(r"[\s;]")

__all__ = ["DROP", "FORMATS", "KEEP", "Side", "door", "file_format", "new_side", "read_side",
           "split_ending"]


def file_format(path, given=None, id_column=None):
    """The format of the file ``path``: ``given``, else its extension's
    (.csv, .tsv, .json, .geojson), else CSV for a table read with
    ``id_column``, else INP ("-" too)."""
    if given is not None:
        return given
    ext = "" if path in (None, STDIN) else os.path.splitext(str(path))[1].lower()[1:]
    return EXTENSIONS.get(ext, "inp" if id_column is None else "csv")


class Side:
    """One file of an exchange, as read.

    ``tags`` {(type, id): tag}: the tags the file holds (a blank cell, a
    JSON null, a missing or null GeoJSON tag is no tag, never the empty
    text); ``rows`` the elements it has a row, item, feature or tag line
    for, blank ones included; ``where`` the line or item of each;
    ``named`` the elements named on bad rows and ``skipped`` how many rows
    were bad (reported as read).  ``can_add``: whether ``render`` writes
    tags for elements the file has no row for (INP and the tool's own
    tables); a GIS layer speaks only for its rows.  ``digest``: the SHA-256
    of the file's bytes as read; ``known``: the elements a render may write
    a tag for, or None when it may add any."""

    fmt = None
    table = False           # a GIS table or layer, read with --id-column
    can_add = True
    encoding = "utf-8"
    bom = b""
    more = None             # INP: (count, (line number, line)) of lines with words after the tag
    sections = None         # INP: the section headers met

    def __init__(self, path, unit):
        self.path = STDIN_NAME if path == STDIN else str(path)
        self.unit = unit    # "line", "item" or "feature"
        self.tags, self.where, self.rows = {}, {}, set()
        self.named, self.skipped, self.blank = set(), 0, 0
        self.counts = None  # added, changed, removed by the last render
        self.digest = None

    @property
    def known(self):
        return None if self.can_add else self.rows

    @property
    def scope(self):
        """The elements the file speaks for: its rows, or none at all when
        it holds no tag (then clearing every tag takes --replace)."""
        return self.rows if self.tags else set()

    def place(self, number):
        return number if self.unit == "line" else f"{self.unit} {number}"

    def show(self, raw):
        """A row as a report of it shows it: ``raw`` as the reader has it."""
        return str(raw)

    def row(self, number, t_type, id, tag, raw):
        """Take one row's element and tag (None: no tag); the element, or
        None for a bad row, which is reported showing ``raw``."""
        if type(t_type) is not str or t_type.upper() not in TYPES:
            return self.refuse(number, f"bad type {quoted(str(t_type))} (expected NODE or LINK)",
                               raw)
        t_type = t_type.upper()
        if type(id) is not str or not id:
            return self.refuse(number, "no id", raw)
        key = (t_type, id)
        bad = UNCARRIED.search(id)
        if bad:
            what = "';'" if bad.group() == ";" else "whitespace"
            return self.refuse(number, f"the id {quoted(id)} holds {what}, which no import can "
                                       "carry", raw, key)
        if tag is not None and type(tag) is not str:
            return self.refuse(number, f"the tag is not a text: {shown(str(tag))}", raw, key)
        if "\x00" in id or (tag is not None and "\x00" in tag):
            return self.refuse(number, "holds a NUL character, which no database stores",
                               raw, key)
        if key in self.where:
            return self.refuse(number, f"{t_type} {shown(id)} given twice (first on "
                                       f"{self.unit} {self.where[key]})", raw, key)
        self.where[key] = number
        self.rows.add(key)
        if tag:
            self.tags[key] = tag
        else:
            self.blank += 1
        return key

    def take_columns(self, kinds, ids, tags):
        """Take rows 0, 1, ... given as columns (types, ids, tags) at once
        when every one is plain: types NODE or LINK, ids texts that an import
        can carry, each given once, tags texts or None; their elements, or
        None when one is not, for the caller to take them row by row."""
        if not (all(kind in TYPES for kind in kinds) and all(type(id) is str and id for id in ids)
                and all(tag is None or type(tag) is str for tag in tags)):
            return None
        keys, joined = list(zip(kinds, ids)), "".join(ids)
        given = [tag for tag in tags if tag]
        if (len(set(keys)) < len(keys) or UNCARRIED.search(joined) or "\x00" in joined
                or "\x00" in "".join(given)):
            return None
        self.where = dict(zip(keys, range(len(keys))))
        self.rows = set(keys)
        self.tags = {key: tag for key, tag in zip(keys, tags) if tag}
        self.blank = len(keys) - len(given)
        return keys

    def refuse(self, number, reason, raw, key=None):
        bad_line(self.path, self.place(number), reason, self.show(raw))
        self.skipped += 1
        if key is not None:
            self.named.add(key)
        return None

    def unfit(self, key, tag):
        """Why this file cannot hold the tag of ``key``, or None."""
        for text in (key[1], tag):
            if not text.isascii():
                try:
                    text.encode(self.encoding)
                except UnicodeEncodeError as e:
                    return (f"{quoted(text[e.start:e.end])} cannot be written in the file's "
                            f"encoding {self.encoding}")
        return None

    def encoded(self, text):
        """The file's bytes: ``text`` in its own encoding, with its mark."""
        try:
            return self.bom + text.encode(self.encoding)
        except UnicodeEncodeError as e:
            raise Failure(f"{self.path}: nothing written: {quoted(text[e.start:e.end])} cannot "
                          f"be written in the file's encoding {self.encoding}",
                          DATA_ERROR) from None

    def render(self, new_tags, keep=()):
        raise NotImplementedError

    def row_edits(self, new_tags, keep):
        """What a render changes to give ``new_tags``, leaving the elements
        of ``keep``: {element of a row: DROP (a tag gone from a table of the
        tool's own) or the tag to write (None: a blank)}, and the rows
        (type, id, tag) to add.  Tallies ``counts``.  The elements whose
        tags differ are found by comparing the two mappings' items in C."""
        counts = self.counts = {"added": 0, "changed": 0, "removed": 0}
        old_tags, rows, keep = self.tags, self.rows, set(keep)
        edits = {}
        for key, _ in old_tags.items() ^ new_tags.items():
            if key in edits or key not in rows or key in keep:
                continue
            old, new = old_tags.get(key), new_tags.get(key)
            if new != old:
                counts["added" if old is None else "removed" if new is None else "changed"] += 1
                edits[key] = DROP if new is None and self.can_add else new
        added = []
        fresh = new_tags.keys() - rows - keep if self.can_add else ()
        if fresh:
            added = [(*key, tag) for key, tag in new_tags.items()
                     if tag is not None and key in fresh]
            counts["added"] += len(added)
        return edits, added


class InpSide(Side):
    """An INP file's [TAGS] sections.  It speaks for the elements it defines
    and those it tags, when it holds a tag."""

    fmt = "inp"

    def __init__(self, path, encoding=None, writing=False):
        super().__init__(path, "line")
        inp = self.inp = InpFile.read(path, encoding)
        self.encoding, self.bom = inp.encoding, inp.bom
        found = inp.read_tags(repeats_bad=not writing, keep=writing)
        self.defined = defined_elements(inp) if found.tags or writing else set()
        inp.check_sections()
        self.sections = inp.sections
        self.tags, self.named, self.skipped = found.tags, found.named, found.bad
        self.rows = self.defined | self.tags.keys() if self.tags else self.tags.keys()
        if found.more:
            self.more = (found.more, found.more_first)
        self.digest = hashlib.sha256(inp.bom + inp.text.encode(inp.encoding)).hexdigest()
        if not writing:
            inp.release()

    @property
    def known(self):
        return self.defined or None

    def unfit(self, key, tag):
        return unwritable(*key, tag, self.encoding)

    def render(self, new_tags, keep=()):
        self.counts = self.inp.merge_tags(new_tags, keep)
        return self.inp.encode()

    def release(self):
        self.inp.release()


# The first word of each line of an element section that is not a comment.
FIRST_WORD = re.compile(r"^[ \t]*([^\s;]+)", re.MULTILINE)


def defined_elements(inp):
    """The (type, id) of every element the file defines, each section read
    in one pass of a regular expression."""
    from .elements import ELEMENTS

    ids = set()
    for section, _, lines in inp.blocks(ELEMENTS):
        t_type = ELEMENTS[section]
        ids.update((t_type, id) for id in FIRST_WORD.findall("\n".join(lines)))
    return ids


def read_side(path, fmt=None, id_column=None, tag_column=None, t_type=None, encoding=None,
              writing=False):
    """The Side of the file ``path`` in ``fmt`` (FORMATS; None: by its
    extension).  ``writing``: the file is to be rendered back (export
    --into), so its text is kept and a bad row refuses it."""
    fmt = file_format(path, fmt)
    if fmt == "inp":
        if id_column is not None or t_type is not None:
            raise Failure("--id-column, --tag-column and --type read a table (csv, json or "
                          "geojson), not an INP file", 2)
        side = InpSide(path, encoding, writing)
    else:
        if (id_column is None) != (tag_column is None):
            raise Failure("--id-column and --tag-column go together", 2)
        from .tables import read_text

        kind = reader(fmt)
        side = kind(path, *read_text(path, encoding), id_column, tag_column, t_type)
    if writing and side.skipped:
        raise InpError(f"{side.path}: nothing written: {plural(side.skipped, 'bad ' + side.unit)}"
                       f"{' in its ' + TAGS + ' section' if fmt == 'inp' else ''}", DATA_ERROR)
    return side


def reader(fmt):
    from .geojson import GeoJsonSide
    from .tables import CsvTable, JsonTable

    return {"csv": CsvTable, "json": JsonTable, "geojson": GeoJsonSide}[fmt]


class NewSide(Side):
    """The file an export writes from nothing (``export -o FILE``): the
    tool's own CSV (UTF-8 with its mark, formulas guarded) or JSON, a
    GeoJSON layer of the model's elements, or a [TAGS] section."""

    def __init__(self, path, fmt, model=None, epsg=None):
        super().__init__(path, "line")
        self.fmt, self.model, self.epsg = fmt, model, epsg
        self.can_add = fmt != "geojson"
        self.placed = self.unplaced = None

    def unfit(self, key, tag):
        return unwritable(*key, tag) if self.fmt == "inp" else None

    def render(self, new_tags, keep=()):
        from .formats import BOM, csv_text, json_text
        from .tables import OWN

        rows = [(*key, tag) for key, tag in new_tags.items() if tag is not None]
        self.rows = {row[:2] for row in rows}
        self.tags = {row[:2]: row[2] for row in rows}
        self.counts = {"added": len(rows), "changed": 0, "removed": 0}
        if self.fmt == "csv":
            return (BOM + csv_text(OWN, rows)).encode("utf-8")
        if self.fmt == "json":
            return json_text(OWN, rows).encode("utf-8")
        if self.fmt == "geojson":
            from .geojson import collection

            text, self.placed, self.unplaced, self.rows = collection(self.model, new_tags,
                                                                     self.epsg)
            self.tags = {key: tag for key, tag in self.tags.items() if key in self.rows}
            self.counts["added"] = len(self.tags)
            return (text + "\n").encode("utf-8")
        lines = "\n".join(tag_line(*row) for row in rows)
        return (f"{TAGS}\n{lines}\n" if rows else f"{TAGS}\n").encode("utf-8")


def new_side(path, fmt, model=None, epsg=None):
    return NewSide(path, fmt, model, epsg)


def door(side, network, strict=False, skip_unknown=False, skip_bad=False, model=None, write=True):
    """What an import of ``side`` must pass before anything is merged; the
    elements it leaves out of the exchange (ids the linked model lacks,
    with ``skip_unknown``).  Refused (DATA_ERROR, nothing written): bad rows
    unless ``skip_bad``; ids the network's linked model (or ``model``, a
    Model read) does not define unless ``skip_unknown``; with ``strict``,
    tags an INP export would refuse, which are otherwise warned about one
    row at a time.  A model read again is cached with ``write``."""
    from .linked import NAMED, unknown_in_model

    if side.skipped and not skip_bad:
        raise Failure(f"{side.path}: nothing imported: {plural(side.skipped, 'bad ' + side.unit)}"
                      " (--skip-bad imports the rest)", DATA_ERROR)
    left = set()
    # An INP file's own elements need not be the linked model's: only its
    # tags are checked.  A table's rows are, blank ones too: a mangled id
    # with a blanked cell would clear nothing without a word.
    keys = side.tags.keys() if side.fmt == "inp" else side.rows
    unknown, model = unknown_in_model(network, keys, strict, model, write)
    if unknown:
        names = ", ".join(f"{t} {shown(id)}" for t, id in unknown[:NAMED])
        more = f" and {len(unknown) - NAMED} more" if len(unknown) > NAMED else ""
        what = (f"{plural(len(unknown), 'id')} not in the linked model {quoted(model.path)}: "
                f"{names}{more}")
        if not skip_unknown:
            raise Failure(f"{side.path}: nothing imported: {what} (--skip-unknown leaves them "
                          "out)", DATA_ERROR)
        note(f"warning: {side.path}: left out {what}")
        left.update(unknown)
    if side.fmt != "inp":
        problems = unwritable_rows(side, left)
        if problems and strict:
            for number, key, problem in problems:
                warn(f"{side.path}:{side.place(number)}: {key[0]} {shown(key[1])}: {problem}")
            raise Failure(f"{side.path}: nothing imported: --strict: "
                          f"{plural(len(problems), 'tag')} an INP export would refuse",
                          DATA_ERROR)
        for number, key, problem in problems:
            note(f"warning: {side.path}:{side.place(number)}: {key[0]} {shown(key[1])}: "
                 f"{problem}; an INP export will refuse it")
    return left


def unwritable_rows(side, left=()):
    """(row, element, why) of each tag of ``side`` that an INP export would
    refuse, in the file's order."""
    plain, where, found = PLAIN.fullmatch, side.where, []
    # Most files hold plain tags and ids only: told in one pass of each.
    if (PLAIN_LINES.fullmatch("\n".join(side.tags.values()) + "\n")
            and PLAIN_LINES.fullmatch("\n".join(id for _, id in side.tags) + "\n")):
        return found
    for key, tag in side.tags.items():
        if plain(tag) and plain(key[1]) or key in left:
            continue
        problem = unwritable(*key, tag)
        if problem:
            found.append((where[key], key, problem))
    return found
