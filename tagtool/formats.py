"""Machine-readable output: the rows of a command as text, JSON or CSV.

JSON holds each value exactly as stored (a missing tag is null).  CSV is the
csv module's own dialect with a header row, as UTF-8 with a byte-order mark
so that a spreadsheet opens it as UTF-8; a text cell that a spreadsheet
would run as a formula gets one more leading apostrophe (``guarded``),
which the tool's reader of its own CSV takes off again (``unguarded``), so
every value comes back exactly; ``--raw`` writes the cells as they are.
Both are written as the rows come, so that a long list is never held as
one text."""

import re
import sys
from itertools import batched

FORMATS = ("text", "json", "csv")
BOM = "\ufeff"

# A cell a spreadsheet would run: any apostrophes, then = + - @, a tab or a
# carriage return.  A number ("-5", "+1.5e3") is shown as a number, not run.
FORMULA = re.compile(r"'*[=+\-@\t\r]")
GUARDED = re.compile(r"'+[=+\-@\t\r]")
NUMBER = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
# Whether any of texts joined by line feeds starts as a formula does.
ANY_FORMULA = re.compile(r"(?m)^'*[=+\-@\t\r]")


def guarded(cell):
    """A text cell as the tool's CSV writes it: with one more leading
    apostrophe when a spreadsheet would run it as a formula."""
    if type(cell) is str and FORMULA.match(cell) and not NUMBER.fullmatch(cell):
        return "'" + cell
    return cell


def unguarded(cell):
    """A cell of the tool's own CSV as it was before ``guarded``."""
    return cell[1:] if cell[:1] == "'" and GUARDED.match(cell) else cell


def guard_rows(rows, texts):
    """``rows`` (lists of cells) with their text cells guarded; ``texts``
    (the indexes of the cells that may hold text) are tested in one pass
    first, so that rows without such a cell cost nothing more."""
    rows = rows if isinstance(rows, list) else list(rows)
    if not any(ANY_FORMULA.search("\n".join(str(row[i]) for row in rows)) for i in texts):
        return rows
    return [[guarded(cell) for cell in row] for row in rows]


def as_json(value):
    import json

    return json.dumps(value, ensure_ascii=False)


def csv_text(fields, rows, raw=False, delimiter=",", lineterminator="\r\n"):
    """The CSV of ``rows`` under the header ``fields`` (None: none), without
    the mark."""
    import csv
    import io

    buffer = io.StringIO(newline="")
    writer = csv.writer(buffer, delimiter=delimiter, lineterminator=lineterminator)
    if fields is not None:
        writer.writerow(fields)
    rows = rows if isinstance(rows, list) else list(rows)
    writer.writerows(rows if raw or not rows else guard_rows(rows, range(len(rows[0]))))
    return buffer.getvalue()


def json_text(fields, rows):
    """A JSON array of one object a row, one a line."""
    items = [as_json(dict(zip(fields, row))) for row in rows]
    return "[\n" + ",\n".join(items) + "\n]\n" if items else "[]\n"


def write_rows(fmt, fields, rows, text, raw=False):
    """Write ``rows`` (tuples in the order of ``fields``; for text, whatever
    ``text`` makes a line of) to standard output: a JSON array of objects,
    CSV under a header row, or ``text(row)`` per line."""
    write = sys.stdout.write
    if fmt == "csv":
        if (sys.stdout.encoding or "").lower().replace("-", "") in ("utf8", "utf8sig"):
            write(BOM)
        write(csv_text(fields, [], raw))
        # A few thousand rows a write: standard output may be unbuffered.
        for part in batched(rows, 4096):
            write(csv_text(None, list(part), raw))
    elif fmt == "json":
        opening = "["
        for row in rows:
            write(opening + "\n" + as_json(dict(zip(fields, row))))
            opening = ","
        write("[]\n" if opening == "[" else "\n]\n")
    else:
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
