"""Tables of tags, read for an import: the tool's own ``list --format csv``
and ``--format json`` output (columns type, id and tag), and attribute
tables from GIS, where one column gives the id of an element and another
its tag (--id-column, --tag-column, one --type for every row).

A reader gives the file's tags as {(type, id): tag} with the line (CSV) or
the item (JSON) each came from; a bad row is reported as FILE:LINE: reason:
value, and the caller refuses the file or, with --skip-bad, leaves the row
out.  Values are taken exactly as the file holds them: the csv and json
modules read the quotes, commas and line breaks of the tool's own output
back as they were written."""

import codecs
import csv
import io
import json
import os

from .inpfile import byte_at, read_bytes
from .taglines import TYPES
from .output import DATA_ERROR, NO_INPUT, Failure, bad_line, quoted, shown

TABLES = ("csv", "json")
OWN = ("type", "id", "tag")       # the columns of the tool's own list


def import_format(args):
    """"inp", "csv" or "json": how the import reads its file."""
    if (args.id_column is None) != (args.tag_column is None):
        args.parser.error("--id-column and --tag-column go together")
    fmt = args.format
    if fmt is None:
        ext = os.path.splitext(args.file)[1].lower()[1:]
        fmt = ext if ext in TABLES else "inp"
    if fmt == "inp" and (args.id_column is not None or args.type is not None):
        args.parser.error("--id-column, --tag-column and --type read a table (--format csv or json)")
    if args.type is not None and args.id_column is None:
        args.parser.error("--type goes with --id-column")
    return fmt


class Table:
    """The tags of a table file: ``tags`` {(type, id): tag}, ``where``
    {(type, id): line or item}, and the counts of rows left out: ``bad``
    rows (reported) and ``empty`` ones (no tag)."""

    def __init__(self, path, unit):
        self.path, self.unit = path, unit
        self.tags, self.where = {}, {}
        self.bad = self.empty = 0

    def row(self, number, t_type, id, tag, shown_row):
        """Take one row's tag, or report it as bad."""
        if type(t_type) is not str or t_type.upper() not in TYPES:
            return self.refuse(number, f"bad type {quoted(str(t_type))} (expected NODE or LINK)",
                               shown_row)
        t_type = t_type.upper()
        if type(id) is not str or not id:
            return self.refuse(number, "no id", shown_row)
        if tag is None:
            self.empty += 1
            return
        if type(tag) is not str:
            return self.refuse(number, f"the tag is not a text: {shown(json.dumps(tag))}", shown_row)
        for what, text in (("id", id), ("tag", tag)):
            if "\x00" in text:
                return self.refuse(number, f"the {what} holds a NUL character, which no "
                                           "database stores", shown_row)
        key = (t_type, id)
        if key in self.tags:
            return self.refuse(number, f"{t_type} {shown(id)} given twice (first on "
                                       f"{self.unit} {self.where[key]})", shown_row)
        self.tags[key] = tag
        self.where[key] = number

    def refuse(self, number, reason, shown_row):
        bad_line(self.path, f"{self.unit} {number}" if self.unit != "line" else number,
                 reason, shown_row)
        self.bad += 1


def read_text(path, encoding=None):
    """The text of a table file: UTF-8 with or without its byte-order
    mark, or ``encoding``."""
    try:
        data = read_bytes(path)
    except Failure as e:
        raise Failure(str(e), NO_INPUT) from None
    name = encoding or "utf-8-sig"
    try:
        codecs.lookup(name)
    except LookupError:
        raise Failure(f"unknown encoding {name!r}") from None
    try:
        return data.decode(name)
    except UnicodeDecodeError as e:
        raise Failure(f"{path}: not {encoding or 'UTF-8'}: {byte_at(data, e.start)}; "
                      "--encoding NAME reads it in another encoding", DATA_ERROR) from None


def read_table(path, fmt, id_column=None, tag_column=None, t_type=None, encoding=None):
    """The Table of the file ``path`` in ``fmt`` ("csv" or "json")."""
    text = read_text(path, encoding)
    if fmt == "csv":
        return read_csv(path, text, id_column, tag_column, t_type)
    return read_json(path, text, id_column, tag_column, t_type)


def columns(path, header, id_column, tag_column):
    """The names of the type, id and tag columns of a table's header."""
    if id_column is None:
        if [name.strip().lower() for name in header[:3]] != list(OWN):
            raise Failure(f"{path}: not a table of the tool's own (columns type, id, tag): "
                          f"its columns are {shown(', '.join(header)) or 'none'}; give "
                          "--id-column and --tag-column to read another", DATA_ERROR)
        return header[:3]
    missing = [name for name in (id_column, tag_column) if name not in header]
    if missing:
        raise Failure(f"{path}: no column {quoted(missing[0])}: its columns are "
                      f"{shown(', '.join(header)) or 'none'}", DATA_ERROR)
    return ("type" if "type" in header else None), id_column, tag_column


def read_csv(path, text, id_column, tag_column, t_type):
    csv.field_size_limit(len(text) + 1)     # a tag as long as the file allows
    reader = csv.reader(io.StringIO(text, newline=""))
    table = Table(path, "line")
    try:
        header = next(reader, [])
        names = columns(path, header, id_column, tag_column)
        at = [None if name is None else header.index(name) for name in names]
        width = max(i for i in at if i is not None) + 1
        own = id_column is None
        start = reader.line_num + 1
        for fields in reader:
            number, start = start, reader.line_num + 1
            if not fields:
                continue                    # a blank line
            if len(fields) < width:
                table.refuse(number, f"{len(fields)} fields, fewer than the {width} the "
                                     "columns need", ",".join(fields))
                continue
            kind = fields[at[0]] if at[0] is not None else (t_type or "NODE")
            tag = fields[at[2]]
            if not own and not tag:
                tag = None                  # an empty attribute: no tag
            table.row(number, t_type or kind, fields[at[1]], tag, ",".join(fields))
    except csv.Error as e:
        raise Failure(f"{path}:{reader.line_num}: not CSV: {e}", DATA_ERROR) from None
    return table


def read_json(path, text, id_column, tag_column, t_type):
    try:
        items = json.loads(text)
    except json.JSONDecodeError as e:
        raise Failure(f"{path}:{e.lineno}: not JSON: {e.msg} (column {e.colno})",
                      DATA_ERROR) from None
    if not isinstance(items, list):
        raise Failure(f"{path}: not a table: JSON {type(items).__name__} where the tool's "
                      "list gives an array of objects", DATA_ERROR)
    table = Table(path, "item")
    own = id_column is None
    needed = OWN if own else (id_column, tag_column)
    for number, item in enumerate(items):
        if not isinstance(item, dict) or not all(name in item for name in needed):
            table.refuse(number, f"not an object with {', '.join(needed)}",
                         json.dumps(item, ensure_ascii=False))
            continue
        if own:
            kind, id, tag = item["type"], item["id"], item["tag"]
        else:
            # Attribute values from GIS: a number is an id or a tag as written.
            id, tag = (str(v) if type(v) in (int, float) else v
                       for v in (item[id_column], item[tag_column]))
            kind, tag = t_type or item.get("type", "NODE"), tag or None
        table.row(number, kind, id, tag, json.dumps(item, ensure_ascii=False))
    return table
