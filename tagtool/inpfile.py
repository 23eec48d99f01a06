"""INP files as the tag tool reads and rewrites them.

A file is kept as its decoded text, together with its encoding and
byte-order mark, so that a rewrite changes the tag lines it must and no
other byte.  A line ends at "\\r\\n", "\\n" or a lone "\\r"; a line whose
first word starts with "[" opens a section (the text from a ";" on is a
comment), and nothing after [END] belongs to the network.

Only regular files (or standard input, "-") are read, up to MAX_BYTES,
once a rewrite of the file that was cut off has been put right; they are
written as safewrite.py writes files.
"""

import codecs
import os
import re
import stat
import sys

from .elements import ELEMENTS     # the sections that define the elements a tag may name
from .output import DATA_ERROR, NO_INPUT, USAGE, Failure, bad_line, note, plural, shown
from .progress import progress
from .rollback import settle
from .safewrite import kind_of
from .taglines import BadLine, fields, read_tag_line, retag, tag_line

MAX_BYTES = 256 << 20
STDIN = "-"
STDIN_NAME = "<stdin>"
TAGS = "[TAGS]"
END = "[END]"
UTF16 = ((codecs.BOM_UTF16_LE, "utf-16-le"), (codecs.BOM_UTF16_BE, "utf-16-be"))
LINE = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+\Z")
LINE_END = re.compile(r"\r\n|\r|\n")
# A lone carriage return with more of the line after it: EPANET reads on.
LONE_CR = re.compile(r"\r[ \t]*[^\s]")


class InpError(Failure):
    """A file that cannot serve: its message names the file."""
    status = DATA_ERROR


def split_ending(line):
    """``line`` as its content and its line ending."""
    content = line.rstrip("\r\n")
    return content, line[len(content):]


def section_word(line):
    """The section a header line opens, upper-cased ("[TAGS]"), or None for a
    line that is not a header."""
    words = fields(line, 1)
    if words and words[0].startswith("["):
        return words[0].upper()
    return None


def walk(text):
    """(line number, line with its ending, section, is a header) of every
    line of ``text``; the section of a line after [END] is [END]."""
    section = ""
    for number, match in enumerate(LINE.finditer(text), 1):
        line = match.group()
        word = section_word(line) if "[" in line else None
        if word is not None and section != END:
            section = word
        yield number, line, section, word is not None


def place(data, pos):
    """(line, column) of position ``pos`` of a text or of bytes, both from 1."""
    nl, cr = ("\n", "\r") if isinstance(data, str) else (b"\n", b"\r")
    head = data[:pos]
    line = head.count(nl) + head.count(cr) - head.count(cr + nl) + 1
    return line, pos - max(head.rfind(nl), head.rfind(cr))


def byte_at(data, pos):
    line, column = place(data, pos)
    return f"line {line}, byte {column} (0x{data[pos]:02x})"


def read_bytes(path):
    """The bytes of the regular file ``path``; anything else is refused
    before a byte is read, so that a FIFO or a device cannot hang the tool;
    "-" is standard input."""
    if path == STDIN:
        data = sys.stdin.buffer.read(MAX_BYTES + 1)
        path = STDIN_NAME
    else:
        data = read_regular(path)
    if len(data) > MAX_BYTES:
        raise InpError(f"{path}: larger than {MAX_BYTES:,} bytes, the most tagtool reads of "
                       "an INP file")
    return data


def read_regular(path):
    try:
        settle(path)
    except FileNotFoundError:
        pass
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise InpError(f"{path}: cannot read: {e.strerror or e}", NO_INPUT) from None
    mode = os.fstat(fd).st_mode
    if not stat.S_ISREG(mode):
        os.close(fd)
        raise InpError(f"{path}: cannot read: {kind_of(mode)}, not a regular file", NO_INPUT)
    with open(fd, "rb") as f:
        return f.read(MAX_BYTES + 1)


class FileTags:
    """The tags of a file's [TAGS] sections, as ``InpFile.read_tags`` finds
    them: ``tags`` {(type, id): tag} in the order of the lines, ``bad`` the
    number of bad lines, ``named`` the elements those name, ``more`` the
    number of lines with words after the tag and ``more_first`` the first of
    them (number, line)."""

    def __init__(self):
        self.tags, self.bad, self.named, self.more, self.more_first = {}, 0, set(), 0, None


class InpFile:
    def __init__(self, path, text, encoding, bom):
        self.path, self.text, self.encoding, self.bom = path, text, encoding, bom
        self.sections = set()
        self._first = self._parsed = None

    @classmethod
    def read(cls, path, encoding=None):
        data = read_bytes(path)
        path = STDIN_NAME if path == STDIN else path
        inp = cls(path, *decode(path, data, encoding))
        del data
        lone = LONE_CR.search(inp.text)
        if lone:
            note(f"warning: {path}: line {place(inp.text, lone.start())[0]} ends in a lone "
                 "carriage return, which EPANET does not take for a line end")
        if inp.encoding.startswith("utf-16"):
            note(f"warning: {path}: EPANET and WNTR do not read UTF-16 files")
        return inp

    def lines(self):
        """Every line as ``walk`` gives it; notes the sections seen."""
        for number, line, section, header in progress(walk(self.text), self.line_count()):
            if header:
                self.sections.add(section)
            yield number, line, section, header

    def blocks(self, wanted):
        """(section, number of its first line, its lines without their
        endings) of the lines after each header of a section in ``wanted``,
        up to the next header; notes the sections seen.  The walk of
        ``walk`` in one split of the text and one test a line, for the
        large sections of a model."""
        lines = LINE_END.split(self.text)
        if not lines[-1]:
            lines.pop()             # the text ends with a line ending
        heads = [i for i, line in enumerate(lines) if "[" in line and section_word(line)]
        section = ""
        for head, stop in zip(heads, heads[1:] + [len(lines)]):
            if section != END:
                section = section_word(lines[head])
            self.sections.add(section)
            if section in wanted:
                yield section, head + 2, lines[head + 1:stop]

    def line_count(self):
        return self.text.count("\n") + self.text.count("\r") - self.text.count("\r\n")

    def tag_lines(self):
        """(line number, line without its ending) of the lines of the [TAGS]
        sections that are not blank; notes the sections seen.  The walk of
        ``walk`` in one loop: it runs for every line of a large file."""
        section, sections = "", self.sections
        for number, match in enumerate(progress(LINE.finditer(self.text), self.line_count()), 1):
            line = match.group()
            word = section_word(line) if "[" in line else None
            if word is not None:
                if section != END:
                    section = word
                sections.add(section)
            elif section == TAGS and not line.isspace():
                yield number, line.rstrip("\r\n")

    def read_tags(self, repeats_bad=True, keep=False):
        """The FileTags of the [TAGS] lines, each line read once; a bad line
        is reported as it is met.  A second line of an element is a bad line
        with ``repeats_bad``, else left to ``merge_tags``, which drops it.
        With ``keep`` the lines as read are kept for ``merge_tags``."""
        found = FileTags()
        tags, named, parsed = found.tags, found.named, []
        texts = {}          # each tag text held once, however many lines give it
        encoding = self.encoding
        for number, line in self.tag_lines():
            try:
                read = read_tag_line(line, encoding)
            except BadLine as e:
                bad_line(self.path, number, str(e), line)
                found.bad += 1
                if e.key:
                    named.add(e.key)
                continue
            if keep:
                parsed.append(read)
            if read is None:
                continue
            key, tag, more = read
            if key in tags:
                if repeats_bad:
                    first = self.first_line(*key)
                    bad_line(self.path, number,
                             f"{key[0]} {shown(key[1])} tagged twice (first on line {first})", line)
                    found.bad += 1
                    named.add(key)
                continue
            tags[key] = texts.setdefault(tag, tag)
            if more:
                found.more += 1
                if found.more_first is None:
                    found.more_first = (number, line)
        self._parsed = parsed if keep else None
        return found

    def first_line(self, t_type, id):
        """The number of the first good tag line of the element, for a
        report of a second one; the lines are read again, once, on the
        first such report."""
        if self._first is None:
            self._first = {}
            for number, line in self.tag_lines():
                try:
                    read = read_tag_line(line, self.encoding)
                except BadLine:
                    continue
                if read is not None:
                    self._first.setdefault(read[0], number)
        return self._first[t_type, id]

    def release(self):
        """Let go of the text once its lines have been read."""
        self.text = self._first = self._parsed = None

    def check_sections(self):
        """After a walk: InpError for a file without any section header."""
        if not self.sections:
            raise InpError(f"{self.path}: not an INP file: no section header such as "
                           f"[JUNCTIONS] or {TAGS}")

    def element_ids(self):
        """The (type, id) of every element the file defines."""
        ids = set()
        for _, line, section, header in self.lines():
            t_type = ELEMENTS.get(section)
            if t_type and not header:
                words = fields(line, 1)
                if words:
                    ids.add((t_type, words[0]))
        return ids

    def merge_tags(self, tags, keep):
        """Make the tag lines give ``tags`` ({(type, id): tag}, in the order
        new lines get), leaving the lines of the elements in ``keep`` as they
        are.  A line whose tag is unchanged keeps every byte, a changed one
        its layout; a line of an element without a tag (or a repeated one)
        goes; new lines close the last [TAGS] section, or a new section
        before [END].  Returns the counts of tags added, changed, removed."""
        out, done, bad = [], set(), 0
        counts = {"added": 0, "changed": 0, "removed": 0}
        # The lines as read_tags read them, when it did.
        parsed = iter(self._parsed) if self._parsed is not None else None
        close = end = None  # where the last [TAGS] section's lines end; the [END] line
        for number, line, section, header in self.lines():
            if header or section != TAGS:
                if header and section == TAGS:
                    close = len(out) + 1
                elif header and section == END and end is None:
                    end = len(out)
                out.append(line)
                continue
            content, eol = split_ending(line)
            try:
                if parsed is None:
                    read = read_tag_line(content, self.encoding)
                else:
                    read = None if line.isspace() else next(parsed)
            except BadLine as e:
                bad_line(self.path, number, str(e), content)
                bad += 1
                continue
            if read is not None:
                key, tag, _ = read
                if key not in keep:
                    if key in done or key not in tags:
                        counts["removed"] += key not in done
                        done.add(key)
                        continue
                    if tags[key] != tag:
                        line = retag(content, tags[key]) + eol
                        counts["changed"] += 1
                done.add(key)
            out.append(line)
            if content.strip():
                close = len(out)
        if bad:
            raise InpError(f"{self.path}: nothing written: {plural(bad, 'bad line')} in its "
                           f"{TAGS} section")
        new = [tag_line(*key, tag) for key, tag in tags.items()
               if key not in done and key not in keep]
        counts["added"] = len(new)
        if new:
            self._place(out, new, close, end)
        self.text = "".join(out)
        return counts

    def _place(self, out, new, close, end):
        if close is not None:
            eol = split_ending(out[close - 1])[1] or self.line_ending()
            out[close - 1] = split_ending(out[close - 1])[0] + eol
            out[close:close] = [line + eol for line in new]
            return
        eol = self.line_ending()
        section = [TAGS + eol] + [line + eol for line in new]
        if end is not None:
            out[end:end] = section + [eol]
            return
        if out and not split_ending(out[-1])[1]:
            out[-1] += eol
        if out and out[-1].strip():
            section.insert(0, eol)
        out.extend(section)

    def line_ending(self):
        """The ending most lines have, "\\n" when there is none."""
        crlf = self.text.count("\r\n")
        counts = {"\n": self.text.count("\n") - crlf, "\r\n": crlf,
                  "\r": self.text.count("\r") - crlf}
        return max(counts, key=counts.get) if any(counts.values()) else "\n"

    def encode(self):
        """The file's bytes: its text in its own encoding, with its mark."""
        try:
            data = self.text.encode(self.encoding)
        except UnicodeEncodeError as e:
            raise InpError(
                f"{self.path}: {self.text[e.start:e.end]!r} cannot be written in the file's "
                f"encoding {self.encoding}") from None
        return self.bom + data


def decode(path, data, encoding=None):
    """(text, encoding, byte-order mark) of a file's bytes: UTF-16 with a
    byte-order mark, else UTF-8 with or without one, else Latin-1 with a
    warning; ``encoding`` names another.  Refused: NUL bytes, a mark that
    the rest belies, and UTF-8 tags in a file that is not UTF-8."""
    if encoding is not None:
        return decode_as(path, data, encoding)
    for mark, name in UTF16:
        if data.startswith(mark):
            return decode_as(path, data, name, mark)
    if b"\0" in data:
        raise InpError(f"{path}: holds NUL bytes ({byte_at(data, data.index(b'\0'))}), so it "
                       "is not text; UTF-16 without a byte-order mark? (--encoding utf-16-le "
                       "reads it)")
    bom = codecs.BOM_UTF8 if data.startswith(codecs.BOM_UTF8) else b""
    try:
        return data[len(bom):].decode("utf-8"), "utf-8", bom
    except UnicodeDecodeError as e:
        bad = byte_at(data, len(bom) + e.start)
    if bom:
        raise InpError(f"{path}: starts with a UTF-8 byte-order mark (line 1, byte 1) but "
                       f"{bad} is not UTF-8; --encoding NAME reads it in another encoding")
    text = data.decode("latin-1")
    for number, line in InpFile(path, text, "latin-1", b"").tag_lines():
        if not line.isascii():
            try:
                line.encode("latin-1").decode("utf-8")
            except UnicodeDecodeError:
                continue
            raise InpError(f"{path}: mixes encodings: [TAGS] line {number} holds UTF-8 text, "
                           f"but {bad} is not UTF-8; --encoding NAME says how to read it")
    note(f"warning: {path}: not UTF-8 ({bad}); read as Latin-1")
    return text, "latin-1", b""


def decode_as(path, data, encoding, bom=b""):
    try:
        encoding = codecs.lookup(encoding).name
    except LookupError:
        raise InpError(f"unknown encoding {encoding!r}", USAGE) from None
    if not bom and encoding == "utf-8" and data.startswith(codecs.BOM_UTF8):
        bom = codecs.BOM_UTF8
    try:
        return data[len(bom):].decode(encoding), encoding, bom
    except UnicodeDecodeError as e:
        raise InpError(f"{path}: not {encoding}: {byte_at(data, len(bom) + e.start)}") from None
