"""INP files as the tag tool reads and rewrites them.

A file is kept as its decoded lines, each with its own line ending, together
with its encoding and byte-order mark, so that a rewrite changes the bytes of
the [TAGS] section and nothing else.  Lines end at "\\n" only, as the
application's reader cuts them; a carriage return before it is part of the
ending, one anywhere else is part of the line.
"""

import os
import stat
import tempfile
from dataclasses import dataclass

BOM = b"\xef\xbb\xbf"
TAGS = "[TAGS]"
END = "[END]"


class InpError(Exception):
    """A file that cannot serve: its message names the file."""


def ending(line):
    """The line ending of ``line``: "\\r\\n", "\\n" or ""."""
    if line.endswith("\r\n"):
        return "\r\n"
    return "\n" if line.endswith("\n") else ""


def content(line):
    """``line`` without its line ending."""
    return line[:len(line) - len(ending(line))]


def section_word(line):
    """The section a header line opens, upper-cased ("[TAGS]"), or None for a
    line that is not a header."""
    words = line.split()
    if words and words[0].startswith("["):
        return words[0].upper()
    return None


def is_skipped(line):
    """Blank lines and comment lines carry no tag."""
    text = line.strip()
    return not text or text.startswith(";")


@dataclass
class InpFile:
    path: str
    lines: list
    encoding: str     # "utf-8" or "latin-1"
    bom: bool

    @classmethod
    def read(cls, path):
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            raise InpError(f"{path}: cannot read: {e.strerror or e}") from None
        return cls.decode(path, data)

    @classmethod
    def decode(cls, path, data):
        bom = data.startswith(BOM)
        body = data[len(BOM):] if bom else data
        try:
            text, encoding = body.decode("utf-8"), "utf-8"
        except UnicodeDecodeError:
            text, encoding, bom = data.decode("latin-1"), "latin-1", False
        parts = text.split("\n")
        lines = [part + "\n" for part in parts[:-1]]
        if parts[-1]:
            lines.append(parts[-1])
        return cls(path, lines, encoding, bom)

    def encode(self):
        """The file's bytes: its lines in its own encoding, with its mark."""
        text = "".join(self.lines)
        try:
            data = text.encode(self.encoding)
        except UnicodeEncodeError as e:
            raise InpError(
                f"{self.path}: {text[e.start:e.end]!r} cannot be written in the file's "
                f"encoding {self.encoding}") from None
        return BOM + data if self.bom else data

    def tag_sections(self):
        """(header, end) index pairs of the [TAGS] sections: the header line
        and the index just past the section's last line.  Nothing after [END]
        belongs to the network."""
        sections, start = [], None
        for i, line in enumerate(self.lines):
            word = section_word(line)
            if word is None:
                continue
            if start is not None:
                sections.append((start, i))
                start = None
            if word == END:
                break
            if word == TAGS:
                start = i
        if start is not None:
            sections.append((start, len(self.lines)))
        return sections

    def tag_lines(self):
        """(line number, line) of every tag line of every [TAGS] section, the
        line without its ending.  InpError when the file has no such section."""
        sections = self.tag_sections()
        if not sections:
            raise InpError(f"{self.path}: no {TAGS} section")
        return [(i + 1, content(self.lines[i]))
                for header, end in sections
                for i in range(header + 1, end)
                if not is_skipped(self.lines[i])]

    def line_ending(self):
        """The ending new lines get: that of the first [TAGS] header, else
        the one most lines have, else "\\n"."""
        sections = self.tag_sections()
        if sections and ending(self.lines[sections[0][0]]):
            return ending(self.lines[sections[0][0]])
        crlf = sum(line.endswith("\r\n") for line in self.lines)
        lf = sum(line.endswith("\n") for line in self.lines) - crlf
        return "\r\n" if crlf > lf else "\n"

    def replace_tags(self, tag_lines):
        """Put ``tag_lines`` into the first [TAGS] section in place of its tag
        lines, and empty any later [TAGS] section.  A section keeps its header,
        the comment lines that open it and the blank lines that close it.  A
        file without the section gets one before [END], or at its end."""
        eol = self.line_ending()
        new = [line + eol for line in tag_lines]
        sections = self.tag_sections()
        if not sections:
            self._add_section(new, eol)
            return
        # Later sections first, so that the indices of earlier ones hold.
        for n, (header, end) in reversed(list(enumerate(sections))):
            body = self.lines[header + 1:end]
            lead = 0
            while lead < len(body) and content(body[lead]).strip().startswith(";"):
                lead += 1
            trail = len(body)
            while trail > lead and not body[trail - 1].strip():
                trail -= 1
            head = [self.lines[header]]
            if not ending(head[0]):
                head[0] += eol
            kept = body[:lead]
            if kept and not ending(kept[-1]):
                kept[-1] += eol
            self.lines[header:end] = head + kept + (new if n == 0 else []) + body[trail:]

    def _add_section(self, new, eol):
        section = [TAGS + eol] + new + [eol]
        for i, line in enumerate(self.lines):
            if section_word(line) == END:
                self.lines[i:i] = section
                return
        if self.lines and not ending(self.lines[-1]):
            self.lines[-1] += eol
        if self.lines and self.lines[-1].strip():
            section.insert(0, eol)
        self.lines.extend(section[:-1])


def write_atomic(path, data):
    """Write ``data`` to the file ``path`` (through a symbolic link, to its
    target) so that a reader sees the old file or the new one, never a part:
    a temporary file in the same folder, renamed over the old one.  On any
    failure the old file stays as it was."""
    path = os.path.realpath(path)
    folder = os.path.dirname(path)
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        mask = os.umask(0)
        os.umask(mask)
        mode = 0o666 & ~mask
    fd, temp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".",
                                suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, mode)
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise
