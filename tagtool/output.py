"""How the tag tool speaks: results on standard output, warnings and
refusals on standard error, each value escaped so that it stays on its line.
With --quiet only the results asked for and the errors are written: the
reports of what was done (``say``) and the warnings (``note``) are not."""

import errno
import sys

PROG = "tagtool"
LIMIT = 120         # characters of a value or line shown in a message


# Exit statuses a script can tell apart (the values of BSD's sysexits.h).
DONE = 0
REFUSED = 1         # any other refusal
USAGE = 2           # a bad command line
MERGE_CONFLICT = 3  # a three-way merge conflict: nothing written; --ours/--theirs decide
DATA_ERROR = 65     # bad input data: bad lines, unwritable tags
NO_INPUT = 66       # an input file missing or unreadable
UNAVAILABLE = 69    # a part of the tool that is not installed (an extra)
CANT_CREATE = 73    # an output that cannot be written
TRY_AGAIN = 75      # a conflict, a lock not freed in time
NO_PERMISSION = 77  # read-only storage, a file the user may not write

# "on": set by --quiet for one command; "hushed": notes given once already;
# "noted": how many notes came, shown or not.
QUIET = {"on": False}


class Failure(Exception):
    """A refusal, told in one line; ``status`` is the tool's exit status
    (the class's own unless given)."""

    status = REFUSED

    def __init__(self, message, status=None):
        super().__init__(message)
        if status is not None:
            self.status = status


def write_status(error):
    """The exit status of an OSError met while writing: the user may not
    write there (NO_PERMISSION), or the output cannot be made (CANT_CREATE)."""
    if isinstance(error, PermissionError) or error.errno == errno.EROFS:
        return NO_PERMISSION
    return CANT_CREATE


def shown(text, keep_tabs=False):
    """``text`` as it can stand on one line and be read back: the backslash
    and the characters that would break the line or hide in it are escaped
    as in a Python string ("\\\\", "\\n", "\\xa0")."""
    if text.isprintable() and "\\" not in text:
        return text
    return "".join(c if c.isprintable() and c != "\\" or (keep_tabs and c == "\t")
                   else repr(c)[1:-1] for c in text)


def cut(text, keep_tabs=False, limit=LIMIT):
    """``text`` shown, cut to ``limit`` characters with its size in bytes
    when it is longer."""
    if len(text) <= limit:
        return shown(text, keep_tabs)
    size = len(text.encode("utf-8", "surrogatepass"))
    return f"{shown(text[:limit], keep_tabs)}... ({size} bytes)"


def quoted(text):
    return "'" + cut(text) + "'"


def first_line(error):
    """The first line of an error's text (a server adds detail lines)."""
    return (str(error).splitlines() or [""])[0]


def out(text=""):
    sys.stdout.write(text + "\n")


def say(text):
    """A report of what a command did, on standard output."""
    if not QUIET["on"]:
        out(text)


def warn(text):
    """An error or a refusal, on standard error."""
    sys.stderr.write(f"{PROG}: {text}\n")


def note(text):
    """A warning about work that went on, on standard error."""
    QUIET["noted"] = QUIET.get("noted", 0) + 1
    if not QUIET["on"] and not QUIET.get("hushed"):
        warn(text)


def bad_line(path, number, reason, line):
    """Report a bad line of a file as FILE:LINE: reason: line."""
    sys.stderr.write(f"{path}:{number}: {reason}: {cut(line.strip(), keep_tabs=True)}\n")


def plural(n, noun):
    return f"{n} {noun}{'' if n == 1 else 's'}"


def describe(record, label=None):
    """One line for a change record of a tag, or the summary of an import
    (named by its ``label`` in the history, when it has one)."""
    if record.get("type") == "import":
        return (f"{label or 'import'}: {record.get('added')} added, {record.get('changed')} "
                f"changed, {record.get('removed')} removed")
    tag = record.get("tag")
    what = "no tag" if tag is None else f"tag {quoted(str(tag))}"
    return f"{record.get('t_type')} {shown(str(record.get('id')))}: {what}"
