"""Machine-readable output: the rows of a command as text, JSON or CSV.

JSON holds each value exactly as stored (a missing tag is null); CSV is the
csv module's own dialect, with a header row.  Both are written as the rows
come, so that a long list is never held as one text."""

import csv
import json
import sys

FORMATS = ("text", "json", "csv")


def add_format(parser):
    parser.add_argument("--format", choices=FORMATS, default="text",
                        help="text for people (the default), json or csv for programs")


def as_json(value):
    return json.dumps(value, ensure_ascii=False)


def write_rows(fmt, fields, rows, text):
    """Write ``rows`` (tuples in the order of ``fields``) to standard output:
    a JSON array of objects, CSV under a header row, or ``text(row)`` per
    line."""
    write = sys.stdout.write
    if fmt == "csv":
        writer = csv.writer(sys.stdout)
        writer.writerow(fields)
        writer.writerows(rows)
    elif fmt == "json":
        opening = "["
        for row in rows:
            write(opening + "\n" + as_json(dict(zip(fields, row))))
            opening = ","
        write("[]\n" if opening == "[" else "\n]\n")
    else:
        for row in rows:
            write(text(row) + "\n")


def write_object(value):
    sys.stdout.write(as_json(value) + "\n")
