"""How the tag tool speaks: results on standard output, warnings and
refusals on standard error, each value escaped so that it stays on its line."""

import sys

PROG = "tagtool"


class Failure(Exception):
    """A bad input, told in one line."""


def shown(text, keep_tabs=False):
    """``text`` as it can stand in a one-line message: characters that would
    break the line or hide in it are escaped."""
    return "".join(c if c.isprintable() or (keep_tabs and c == "\t") else repr(c)[1:-1]
                   for c in text)


def quoted(text):
    return "'" + shown(text) + "'"


def first_line(error):
    """The first line of an error's text (a server adds detail lines)."""
    return (str(error).splitlines() or [""])[0]


def out(text=""):
    sys.stdout.write(text + "\n")


def warn(text):
    sys.stderr.write(f"{PROG}: {text}\n")


def plural(n, noun):
    return f"{n} {noun}{'' if n == 1 else 's'}"


def describe(record):
    """One line for a change record of a tag."""
    tag = record.get("tag")
    what = "no tag" if tag is None else f"tag {quoted(str(tag))}"
    return f"{record.get('t_type')} {shown(str(record.get('id')))}: {what}"
