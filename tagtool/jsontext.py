"""JSON texts as the tool reads and edits them: read strictly (no NaN or
Infinity, no number too large for a float), and edited where they stand,
member by member, leaving every other character of the text as it was."""

import json
import re

from .output import DATA_ERROR, Failure


class NotJson(ValueError):
    pass


def non_finite(token):
    raise NotJson(f"{token} is not a number JSON allows")


WS = re.compile(r"[ \t\n\r]*")
def finite(text):
    """A JSON number with a fraction or an exponent, as a float, which must
    hold it: 1e999 is refused, not read as infinity."""
    value = float(text)
    if value - value:
        raise NotJson(f"{cut_number(text)} is too large for a number")
    return value


DECODER = json.JSONDecoder(parse_constant=non_finite, parse_float=finite)


def load_json(path, text):
    """The value of a JSON text; refused in one line: not JSON, NaN or
    Infinity, a number too large for a float, nesting too deep."""
    try:
        return DECODER.decode(text)
    except json.JSONDecodeError as e:
        raise Failure(f"{path}:{e.lineno}: not JSON: {e.msg} (column {e.colno})",
                      DATA_ERROR) from None
    except NotJson as e:
        raise Failure(f"{path}: not JSON: {e}", DATA_ERROR) from None
    except RecursionError:
        raise Failure(f"{path}: not JSON the tool reads: arrays or objects nested too deeply",
                      DATA_ERROR) from None


def cut_number(text):
    return text if len(text) <= 40 else text[:20] + "..." + text[-10:]


SCAN = json.JSONDecoder().scan_once        # for texts already read: no checks


def object_members(text, pos, wanted=None):
    """(name, start, end) of each member of the JSON object at ``pos``; with
    ``wanted``, up to the first member of that name, whose end is None
    (its value is not walked)."""
    scan, found = SCAN, []
    pos = WS.match(text, pos + 1).end()
    if text[pos] == "}":
        return found
    while True:
        name, pos = json.decoder.scanstring(text, pos + 1)
        pos = WS.match(text, WS.match(text, pos).end() + 1).end()
        if name == wanted:
            found.append((name, pos, None))
            return found
        end = scan(text, pos)[1]
        found.append((name, pos, end))
        pos = WS.match(text, end).end()
        if text[pos] == "}":
            return found
        pos = WS.match(text, pos + 1).end()


def array_items(text, pos):
    """(start, end) of each item of the JSON array at ``pos``, and the
    position of its closing bracket."""
    scan, found = SCAN, []
    pos = WS.match(text, pos + 1).end()
    if text[pos] == "]":
        return found, pos
    while True:
        end = scan(text, pos)[1]
        found.append((pos, end))
        pos = WS.match(text, end).end()
        if text[pos] == "]":
            return found, pos
        pos = WS.match(text, pos + 1).end()


NEWLINE = re.compile(r"\n")
LINE_TAIL = re.compile(r"[ \t\r]*,?[ \t\r]*\Z")


def items_on_lines(text, open_at, wanted, check):
    """{index: (start, end)} of the items ``wanted`` of the JSON array whose
    bracket opens at ``open_at``, found without walking the others: when
    the items stand one a line from the next line on (as the tool and GDAL
    write them) and ``check(index, item)`` holds for each one found.
    None when they do not, for the caller to walk the array."""
    first = text.find("\n", open_at)
    if first < 0 or text[open_at + 1:first].strip():
        return None
    starts = [first + 1]
    starts += [match.end() for match in NEWLINE.finditer(text, first + 1)]
    found = {}
    for index in wanted:
        if index + 1 >= len(starts):
            return None
        start, stop = starts[index], starts[index + 1] - 1
        try:
            item, end = SCAN(text, WS.match(text, start, stop).end())
        except (StopIteration, ValueError):
            return None
        if not LINE_TAIL.match(text, end, stop) or not check(index, item):
            return None
        found[index] = (WS.match(text, start, stop).end(), end)
    return found


def item_spans(text, open_at, wanted, check):
    """{index: (start, end)} of the items ``wanted`` of the JSON array whose
    bracket opens at ``open_at``: found on their lines when they stand one
    a line, else by walking the array."""
    found = items_on_lines(text, open_at, wanted, check)
    if found is None:
        spans = array_items(text, open_at)[0]
        found = {index: spans[index] for index in wanted}
    return found


def set_members(text, spans, changes):
    """``text`` with, for each (index, path of names, value) of ``changes``,
    the member at that path of the item at ``spans[index]`` set to the JSON
    of the value; every other character as it was."""
    parts, done = [], 0
    for index, names, value in sorted(changes, key=lambda change: change[0]):
        first, end = spans[index]
        parts += [text[done:first], with_member(text[first:end], names, dumps(value))]
        done = end
    parts.append(text[done:])
    return "".join(parts)


def dumps(value):
    return json.dumps(value, ensure_ascii=False)


def with_member(obj, names, value):
    """The JSON object text ``obj`` with the member at the path ``names``
    set to the JSON text ``value`` (objects on the path made where they
    are missing or null); the rest of the text as it was."""
    found = object_members(obj, 0)
    name = names[0]
    inner = value
    for member, start, end in reversed(found):      # the last one given counts
        if member == name:
            if len(names) > 1:
                inner = (with_member(obj[start:end], names[1:], value) if obj[start] == "{"
                         else nested(names[1:], value))
            return obj[:start] + inner + obj[end:]
    if len(names) > 1:
        inner = nested(names[1:], value)
    if not found:
        return "{" + dumps(name) + ": " + inner + obj[1:]
    last = found[-1][2]
    return obj[:last] + ", " + dumps(name) + ": " + inner + obj[last:]


def nested(names, value):
    for name in reversed(names):
        value = "{" + dumps(name) + ": " + value + "}"
    return value
