"""Machine-readable output: the rows of a command as text, JSON or CSV.

JSON holds each value exactly as stored (a missing tag is null); CSV is the
csv module's own dialect, with a header row.  Both are written as the rows
come, so that a long list is never held as one text."""

import re
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


# The order of a list: nodes first, then the ids in natural order ("J2"
# before "J10").  Each run of digits becomes its length (one character) and
# its digits without leading zeros, then how many zeros it had, so that one
# comparison of texts orders the numbers by value.
DIGITS = re.compile(r"[0-9]+")


def natural_digits(match):
    digits = match[0]
    if digits[0] != "0":
        return chr(len(digits)) + digits
    number = digits.lstrip("0") or "0"
    zeros = len(digits) - len(number)
    return chr(len(number)) + number + (chr(zeros) if zeros else "")


def natural_keys(ids):
    """The texts that sort ``ids`` in natural order (ids hold no NUL)."""
    return DIGITS.sub(natural_digits, "\0".join(ids)).split("\0") if ids else []


def in_order(rows, ids, nodes):
    """``rows`` (whose ids are ``ids``, the first ``nodes`` of them nodes'
    and the rest links') in the order of a list."""
    key = natural_keys(ids).__getitem__
    order = sorted(range(nodes), key=key) + sorted(range(nodes, len(ids)), key=key)
    return list(map(rows.__getitem__, order))


def write_object(value):
    sys.stdout.write(as_json(value) + "\n")
