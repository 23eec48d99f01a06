"""Tag lines as the engines (EPANET, WNTR) read them: what the tool hands to
``orvane.inp_in_tag`` when it reads a file, and which tags it can write so
that the engines read them back as they are stored.

The module's reader cuts a line at every whitespace character and gives ";"
no meaning.  The engines end a line at its first ";" (a comment), read a
word that starts with '"' as quoted text, cut at spaces and tabs only, keep
at most 255 bytes of a tag and refuse a line of 1024 bytes or more.  A line
on which the two readings differ is refused with its reason.
"""

import re

from api import orvane

from .output import quoted, shown

TYPES = ("NODE", "LINK")
NOUNS = {"NODE": "node", "LINK": "link"}
TAG_BYTES = 255         # EPANET keeps no more of a tag
LINE_BYTES = 1024       # EPANET refuses a line this long (spaces at its end aside)
TOO_FEW = "too few fields (a tag line gives a type, an id and a tag)"

# Whitespace that Python cuts at and EPANET does not: all but space and tab.
ODD_SPACE = re.compile(r"[^\S \t\r\n]")
# What a written id or tag must not hold: whitespace, a comment, a control
# character, or a quote that opens it.
UNWRITABLE = re.compile(r'[\s;\x00-\x1f\x7f-\x9f]|^"')
# An id or a tag that stands in a tag line as it is, in any encoding:
# printable ASCII without ';', not opening with '"', short enough that neither
# the tag nor the line grows too long.
PLAIN = re.compile(r'[!#-:<-~][!-:<-~]{0,62}')
# The tag, the third word, of a line cut at its comment.
TAG_FIELD = re.compile(r"([ \t]*[^\s;]+[ \t]+[^\s;]+[ \t]+)([^\s;]+)")


class BadLine(Exception):
    """A tag line the engines would read otherwise than the module; ``key``
    is the element the line names, when it names one."""

    def __init__(self, reason, key=None):
        super().__init__(reason)
        self.key = key


def size(text, encoding):
    """The bytes ``text`` takes in the file (UTF-8 for a UTF-16 file, which
    the engines do not read as such)."""
    if text.isascii():
        return len(text)
    codec = "utf-8" if encoding.startswith("utf-16") else encoding
    return len(text.encode(codec, "replace"))


def space_name(char):
    if char == "\xa0":
        return "a no-break space (U+00A0)"
    return f"the whitespace character U+{ord(char):04X}"


def uncommented(line):
    """An INP line without its comment: the text from its first ';' on."""
    return line.split(";", 1)[0]


def fields(line, most=-1):
    """The words of an INP line as the engines read them: cut at its first
    ';' (a comment), then at whitespace, into at most ``most`` + 1 words."""
    return uncommented(line).split(None, most)


def too_long(tag, line, encoding, verb="is"):
    """Why a tag or its line is longer than the engines read, or None."""
    if len(tag) > TAG_BYTES // 4 and size(tag, encoding) > TAG_BYTES:
        return (f"the tag is {size(tag, encoding)} bytes long; EPANET keeps only the "
                f"first {TAG_BYTES}")
    if len(line) >= LINE_BYTES // 4 and size(line, encoding) >= LINE_BYTES:
        return (f"the line {verb} {size(line, encoding)} bytes long; EPANET refuses lines "
                f"of {LINE_BYTES} bytes or more")
    return None


def read_tag_line(content, encoding="utf-8"):
    """``(key, tag, more)`` of a tag line without its line ending: key is
    ``(type word, id)``, tag its third word, more whether words follow the
    tag (which the engines do not read either).  None for a line that holds
    no tag (blank, or a comment); BadLine for one the engines would read
    otherwise than the module."""
    text = uncommented(content)
    words = text.split(None, 3)
    if not words:
        return None
    word = words[0].upper()
    key = (word, words[1]) if len(words) > 1 and word in TYPES else None
    odd = ODD_SPACE.search(text)
    if odd:
        raise BadLine(f"holds {space_name(odd.group())}, which EPANET does not read as a "
                      "separator", key)
    if '"' in text and any(word.startswith('"') for word in words[:3]):
        # The element as EPANET reads it, for a caller that keeps its tag.
        key = key and (key[0], key[1].strip('"'))
        raise BadLine("a word starts with '\"': EPANET reads quoted text as one word", key)
    try:
        statement = orvane.inp_in_tag(text)
    except IndexError:
        raise BadLine(TOO_FEW, key) from None
    if not statement:
        raise BadLine(f"bad type word {quoted(words[0])} (expected NODE or LINK)")
    tag = words[2]
    problem = too_long(tag, content.rstrip() if len(content) >= LINE_BYTES // 4 else "", encoding)
    if problem:
        raise BadLine(problem, key)
    return key, tag, len(words) > 3


def text_problem(text, encoding):
    """Why an id or a tag cannot stand in a tag line, or None."""
    if not text:
        return "is empty"
    if "\n" in text or "\r" in text:
        return "holds a line break"
    bad = UNWRITABLE.search(text)
    if bad:
        char = bad.group()
        if char == '"':
            return "starts with '\"', which EPANET reads as a quote"
        if char == ";":
            return "holds ';', which starts a comment"
        if char.isspace():
            return "holds whitespace" + ("" if char == " " else f" ({space_name(char)})")
        return f"holds a control character ('{shown(char)}')"
    if not text.isascii():
        try:
            text.encode(encoding)
        except UnicodeEncodeError as e:
            return f"holds {quoted(text[e.start:e.end])}, which {encoding} cannot write"
    return None


def unwritable(t_type, id, tag, encoding="utf-8"):
    """Why the tag line of a tag cannot be written so that the engines read
    it back as stored, or None when it can."""
    for what, text in (("id", id), ("tag", tag)):
        if text is None:
            return f"the {what} is NULL"
        problem = text_problem(str(text), encoding)
        if problem:
            return f"the {what} {problem}"
    tag = str(tag)
    return too_long(tag, tag_line(t_type, id, tag), encoding, "would be")


def three_words(text, count):
    """Whether ``text``, ``count`` tag lines of ``orvane.inp_out_tag`` joined
    by line feeds, gives three words on each line, one space apart, none of
    them empty or None (which may stand for a missing id or tag)."""
    # Every line holds two spaces at least, around its id: exactly two each,
    # none doubled or at an end, and no line feed inside a word.
    return (text.count(" ") == 2 * count and "  " not in text and " \n" not in text
            and not text.endswith(" ") and text.count("\n") == max(count - 1, 0)
            and " None " not in text and " None\n" not in text and not text.endswith(" None"))


def plain_section(lines):
    """The tag lines ``lines`` of ``orvane.inp_out_tag`` as one text, when
    each of them is written as stored: three words of printable text without
    ';', none opening with '"', on lines short enough that no tag can be
    over TAG_BYTES bytes in UTF-8; else None.  The lines are tested
    together, in C, so that the common case costs no Python per tag.
    (Whitespace other than the space is never printable.)"""
    text = "\n".join(lines)
    # A type word, an id of one character, and the longest tag of one byte
    # a character, or of four.
    longest = len("NODE x ") + (TAG_BYTES if text.isascii() else TAG_BYTES // 4)
    if lines and max(map(len, lines)) > longest:
        return None
    if (three_words(text, len(lines)) and ";" not in text and ' "' not in text
            and text.replace("\n", "").isprintable()):
        return text
    return None


def tag_line(t_type, id, tag):
    """The line the module's export writes for a tag."""
    return f"{t_type} {id} {tag}"


def retag(content, tag):
    """A tag line with another tag, its layout kept: the leading whitespace,
    the columns before the tag and, where the new tag fits, the column of
    what follows it (a comment, say)."""
    field = TAG_FIELD.match(content)
    rest = content[field.end():]
    pad = len(rest) - len(rest.lstrip(" "))
    if 0 < pad < len(rest):
        rest = " " * max(1, pad - len(tag) + len(field.group(2))) + rest[pad:]
    return field.group(1) + tag + rest
