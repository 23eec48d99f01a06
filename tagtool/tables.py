"""Tables of tags as an exchange reads and writes them: the tool's own CSV
and JSON (columns type, id and tag, as ``list`` writes them), and attribute
tables from GIS, where one column gives the id of an element and another
its tag (--id-column, --tag-column, one --type for every row).

A spreadsheet is read as it was saved: UTF-8 with or without its mark (or
--encoding), the delimiter found from the header (comma, semicolon or tab),
any line ends, column names matched whatever their case and surrounding
spaces, columns added beside the tool's.  A blank tag cell or a JSON null
is no tag.  The tool's own cells lose the apostrophe its writer put before
a formula; a GIS table's cells are taken as they stand.

A table is written back as it came, with only its tag cells changed: every
other row, cell, quote, delimiter, line end, mark and encoding as read; a
row whose tag goes is left out of the tool's own table and keeps an empty
tag cell in a GIS one, whose rows carry other data."""

import codecs
import hashlib
import csv
import io
import json
import re

from .exchange_files import DROP, KEEP, Side, split_ending
from .formats import csv_text, guarded, unguarded
from .inpfile import LINE, UTF16, byte_at, read_bytes
from .jsontext import WS, array_items, dumps, item_spans, load_json, set_members, with_member
from .output import DATA_ERROR, NO_INPUT, USAGE, Failure, quoted, shown

OWN = ("type", "id", "tag")         # the columns of the tool's own list
DELIMITERS = (",", ";", "\t")       # the first of the most found in the header wins
MARKS = {"utf-8": codecs.BOM_UTF8, **{name: mark for mark, name in UTF16}}


def read_text(path, encoding=None):
    """(text, encoding, mark, SHA-256 of the bytes) of a table file: UTF-8
    with or without its byte-order mark, UTF-16 with its mark, or
    ``encoding``.  Anything else is refused naming its first byte that is
    not UTF-8, never guessed: a wrong guess would change tags without a
    word."""
    try:
        data = read_bytes(path)
    except Failure as e:
        raise Failure(str(e), NO_INPUT) from None
    name = encoding or "utf-8"
    try:
        name = codecs.lookup(name).name
    except LookupError:
        raise Failure(f"unknown encoding {name!r}", USAGE) from None
    for mark, utf16 in UTF16:
        if encoding is None and data.startswith(mark):
            name = utf16                    # Excel's "Unicode text"
    mark = MARKS.get(name, b"")
    bom = mark if mark and data.startswith(mark) else b""
    try:
        return data[len(bom):].decode(name), name, bom, hashlib.sha256(data).hexdigest()
    except UnicodeDecodeError as e:
        where = byte_at(data, len(bom) + e.start)
        hint = ("--encoding cp1252 reads it as Western Excel saves it, cp1250 as Central "
                "European Excel does" if encoding is None else "--encoding NAME names another")
        what = encoding or ("UTF-8" if name == "utf-8" else name)
        raise Failure(f"{path}: not {what}: {where}; {hint}", DATA_ERROR) from None


def name_key(name):
    return name.strip().lower()


def find_column(path, header, name, required=True):
    """The index of the column ``name`` in ``header``: its exact name, else
    the one name that differs from it only in case and surrounding spaces."""
    if name in header:
        return header.index(name)
    matches = [i for i, given in enumerate(header) if name_key(given) == name_key(name)]
    if len(matches) == 1:
        return matches[0]
    if matches:
        raise Failure(f"{path}: columns {', '.join(quoted(header[i]) for i in matches)} "
                      f"both read as {quoted(name)}: rename one", DATA_ERROR)
    if required:
        raise Failure(f"{path}: no column {quoted(name)}: its columns are "
                      f"{shown(', '.join(header)) or 'none'}", DATA_ERROR)
    return None


def columns(path, header, id_column, tag_column):
    """The indexes of the type (or None), id and tag columns of a header."""
    if id_column is None:
        if not all(find_column(path, header, name, False) is not None for name in OWN):
            raise Failure(f"{path}: not a table of the tool's own (columns type, id, tag): "
                          f"its columns are {shown(', '.join(header)) or 'none'}; give "
                          "--id-column and --tag-column to read another", DATA_ERROR)
        return tuple(find_column(path, header, name) for name in OWN)
    # A GIS table's own "Type" may mean something else: only "type" gives the
    # element's, as the tool's GeoJSON export names it.
    return (header.index("type") if "type" in header else None,
            find_column(path, header, id_column), find_column(path, header, tag_column))


def gis_value(value):
    """An attribute value of a GIS table as an id or a tag: a number as the
    file writes it, an empty text as none."""
    if type(value) in (int, float):
        return json.dumps(value)
    return value


# CSV

def sniff(line):
    """The delimiter of a CSV file, from its header line."""
    counts = [line.count(d) for d in DELIMITERS]
    return DELIMITERS[counts.index(max(counts))]


def needs_quotes(cell, delimiter):
    return any(c in cell for c in (delimiter, '"', "\r", "\n"))


def quote(cell):
    return '"' + cell.replace('"', '""') + '"'


class TextTable(Side):
    """A table read from its text: the text as decoded, its encoding,
    byte-order mark and digest, and whether it is a GIS table (its id
    column named), to which an export adds no rows."""

    def __init__(self, path, unit, text, encoding, bom, digest, id_column):
        super().__init__(path, unit)
        self.text, self.encoding, self.bom, self.digest = text, encoding, bom, digest
        self.table = id_column is not None
        self.can_add = not self.table


class CsvTable(TextTable):
    """A CSV table: its tags, and what rewriting it needs: the text, the
    delimiter, and for each row its lines and its element."""

    fmt = "csv"

    def __init__(self, path, text, encoding, bom, digest, id_column=None, tag_column=None,
                 t_type=None):
        super().__init__(path, "line", text, encoding, bom, digest, id_column)
        first = LINE.match(text)
        self.eol = split_ending(first.group())[1] if first else ""
        self.delimiter = sniff(first.group() if first else "")
        self.records = []           # (first line, line after, key or None) of each row
        csv.field_size_limit(len(text) + 1)     # a tag as long as the file allows
        reader = csv.reader(io.StringIO(text, newline=""), delimiter=self.delimiter)
        try:
            self.header = next(reader, [])
            self.at = columns(path, self.header, id_column, tag_column)
            self.head_lines = reader.line_num
            self.read_rows(reader, t_type)
        except csv.Error as e:
            raise Failure(f"{path}:{reader.line_num}: not CSV: {e}", DATA_ERROR) from None

    def show(self, fields):
        return self.delimiter.join(fields)

    def read_rows(self, reader, t_type):
        kind_at, id_at, tag_at = self.at
        own, records, row = not self.table, self.records, self.row
        start = reader.line_num
        for fields in reader:
            number, start = start + 1, reader.line_num
            key = None
            if any(fields):                 # not a blank line, nor one of empty cells
                width = len(fields)
                kind = t_type or (fields[kind_at] if kind_at is not None and kind_at < width
                                  else "NODE")
                id = fields[id_at] if id_at < width else ""
                tag = fields[tag_at] if tag_at < width else ""     # trailing cells left out
                if own:
                    id, tag = unguarded(id), unguarded(tag)
                key = row(number, kind, id, tag or None, fields)
            records.append((number - 1, start, key))

    def render(self, new_tags, keep=()):
        edits, added = self.row_edits(new_tags, keep)
        if not edits and not added:
            return self.encoded(self.text)
        lines = LINE.findall(self.text)
        out = lines[:self.head_lines]
        for first, after, key in self.records:
            edit = edits.get(key, KEEP)
            if edit is KEEP:
                out.extend(lines[first:after])
            elif edit is not DROP:
                out.append(self.with_tag("".join(lines[first:after]), edit))
        if added:
            rows = []
            for row in added:
                cells = [""] * max(len(self.header), max(self.at) + 1)
                for at, value in zip(self.at, row):
                    cells[at] = value
                rows.append(cells)
            if out and not split_ending(out[-1])[1]:
                out[-1] += self.eol or "\r\n"
            out.append(csv_text(None, rows, delimiter=self.delimiter,
                                lineterminator=self.eol or "\r\n"))
        return self.encoded("".join(out))

    def with_tag(self, record, tag):
        """A row's text with its tag cell holding ``tag`` (None: empty); the
        other cells as written."""
        content, eol = split_ending(record)
        tag = "" if tag is None else tag if self.table else guarded(tag)
        cells = raw_cells(content, self.delimiter)
        at = self.at[2]
        if cells is None:
            # A row the csv module reads more leniently: written as it writes.
            fields = next(csv.reader([content], delimiter=self.delimiter))
            fields += [""] * (at + 1 - len(fields))
            fields[at] = tag
            return csv_text(None, [fields], raw=True, delimiter=self.delimiter,
                            lineterminator=eol)
        cells += [""] * (at + 1 - len(cells))
        quoted_before = cells[at].startswith('"')
        cells[at] = quote(tag) if quoted_before or needs_quotes(tag, self.delimiter) else tag
        return self.delimiter.join(cells) + eol


FIELDS = {}


def raw_cells(content, delimiter):
    """The cells of one CSV row as written (quotes and all), or None when the
    row is not plain CSV."""
    field = FIELDS.get(delimiter)
    if field is None:
        d = re.escape(delimiter)
        field = FIELDS[delimiter] = re.compile(rf'"(?:[^"]|"")*"(?={d}|\Z)|(?!")[^{d}\r\n]*')
    cells, pos, end = [], 0, len(content)
    while True:
        match = field.match(content, pos)
        if match is None:
            return None
        cells.append(match.group())
        pos = match.end()
        if pos == end:
            return cells
        if content[pos] != delimiter:
            return None
        pos += 1


# JSON

def names_element(item, key, id_name):
    """Whether the JSON object ``item`` is the element ``key``: its id
    property, and its type where it gives NODE or LINK."""
    if type(item) is not dict:
        return False
    kind = item.get("type")
    return (gis_value(item.get(id_name)) == key[1]
            and (type(kind) is not str or kind.upper() not in ("NODE", "LINK")
                 or kind.upper() == key[0]))


class JsonTable(TextTable):
    """A JSON table: an array of objects, each an element with its tag."""

    fmt = "json"

    def __init__(self, path, text, encoding, bom, digest, id_column=None, tag_column=None,
                 t_type=None):
        super().__init__(path, "item", text, encoding, bom, digest, id_column)
        items = load_json(path, text)
        if not isinstance(items, list):
            raise Failure(f"{path}: not a table: JSON {type(items).__name__} where the tool's "
                          "list gives an array of objects", DATA_ERROR)
        self.tag_name = "tag" if id_column is None else tag_column
        self.id_name = id_column
        self.keys = None if id_column is not None else self.plain_items(items)
        if self.keys is None:
            self.keys = [self.read_item(number, item, id_column, t_type)
                         for number, item in enumerate(items)]

    def plain_items(self, items):
        """The elements of the tool's own items read as columns, or None
        for a table to read item by item."""
        try:
            columns = [[item[name] for item in items] for name in OWN]
        except (KeyError, TypeError):
            return None
        return self.take_columns(*columns)

    show = staticmethod(dumps)

    def read_item(self, number, item, id_column, t_type):
        try:
            if id_column is None:
                kind, id, tag = item["type"], item["id"], item["tag"]
            else:
                id, tag = gis_value(item[id_column]), gis_value(item[self.tag_name])
                kind = t_type or item.get("type", "NODE")
        except (KeyError, TypeError, AttributeError):
            needed = OWN if id_column is None else (id_column, self.tag_name)
            return self.refuse(number, f"not an object with {', '.join(needed)}", item)
        return self.row(number, kind, id, tag, item)

    def in_place(self, text, start, edits):
        """The text with the tags of ``edits`` {element: tag} written into
        their items."""
        at = {self.where[key]: tag for key, tag in edits.items()}
        id_name = "id" if not self.table else self.id_name
        spans = item_spans(text, start, at,
                           lambda index, item: names_element(item, self.keys[index], id_name))
        return set_members(text, spans, [(index, [self.tag_name], tag)
                                         for index, tag in at.items()])

    def render(self, new_tags, keep=()):
        text = self.text
        edits, added = self.row_edits(new_tags, keep)
        if not edits and not added:
            return self.encoded(text)
        start = WS.match(text).end()
        if not added and DROP not in edits.values():
            return self.encoded(self.in_place(text, start, edits))
        spans, close = array_items(text, start)
        items = [text[first:end] for first, end in spans]
        for key, edit in edits.items():
            at = self.where[key]
            items[at] = DROP if edit is DROP else with_member(items[at], [self.tag_name],
                                                               dumps(edit))
        if DROP in edits.values():
            items = [item for item in items if item is not DROP]
        items += [dumps(dict(zip(OWN, row))) for row in added]
        eol = "\r\n" if "\r\n" in text[:close] else "\n"
        between = (text[spans[0][1]:spans[1][0]] if len(spans) > 1 else "," + eol)
        head = text[:spans[0][0]] if spans else text[:start + 1] + eol
        tail = text[spans[-1][1]:] if spans else eol + text[close:]
        return self.encoded(head + between.join(items) + tail if items
                            else text[:start + 1] + text[close:])
