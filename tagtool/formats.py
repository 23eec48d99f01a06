"""Machine-readable output: the rows of a command as text, JSON or CSV.

JSON holds each value exactly as stored (a missing tag is null); CSV is the
csv module's own dialect, with a header row.  Both are written as the rows
come, so that a long list is never held as one text."""

import sys
from itertools import batched

FORMATS = ("text", "json", "csv")


def add_format(parser):
    parser.add_argument("--format", choices=FORMATS, default="text",
                        help="text for people (the default), json or csv for programs")


def as_json(value):
    import json

    return json.dumps(value, ensure_ascii=False)


def write_rows(fmt, fields, rows, text):
    """Write ``rows`` (tuples in the order of ``fields``; for text, whatever
    ``text`` makes a line of) to standard output: a JSON array of objects,
    CSV under a header row, or ``text(row)`` per line."""
    write = sys.stdout.write
    if fmt == "csv":
        import csv

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
        # A few thousand lines a write: standard output may be unbuffered.
        for lines in batched(map(text, rows), 4096):
            write("\n".join(lines) + "\n")


def write_object(value):
    sys.stdout.write(as_json(value) + "\n")
