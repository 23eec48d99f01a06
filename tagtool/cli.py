"""The tag tool's command line: the parser, and the dispatch of one command.

Each command works on a network only through ``api.orvane`` (tags read,
changed, deleted, turned into and out of INP tag lines) and ``api.database``
(networks, batches, undo and redo), as the application does.  A bad input
ends the command with a one-line message on standard error and exit status
1 (2 for a bad command line), before anything is written.
"""

import argparse
import importlib

from api import database

from .formats import add_format
from .output import PROG, Failure, first_line, warn

VERSION = "0.1.0"

EXIT_STATUSES = """\
exit status:
  0    done as asked
  1    a bad input or a refusal (told on standard error; nothing is written),
       or nothing to undo or redo
  2    a bad command line
  130  interrupted
"""


class Parser(argparse.ArgumentParser):
    """Reports a bad command line in one line, with exit status 2.  Its help
    ends with ``tail``, kept as written (examples, the exit statuses)."""

    def __init__(self, *args, tail="", **kwargs):
        super().__init__(*args, **kwargs)
        self.tail = tail

    def format_help(self):
        return super().format_help() + ("\n" + self.tail if self.tail else "")

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def add_element(parser):
    parser.add_argument("type", metavar="NODE|LINK", help="the kind of element")
    parser.add_argument("id", metavar="ID", help="the id of the node or link")


def add_encoding(parser):
    parser.add_argument("--encoding", metavar="NAME",
                        help="read the INP file in this encoding (a Python codec name) "
                             "instead of finding it out")


def build_parser():
    parser = Parser(
        prog=PROG, tail=EXIT_STATUSES,
        description="Read and change the tags of a network's nodes and links, move "
                    "them in and out of the [TAGS] section of INP files, and show them "
                    "as a summary or a map.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {VERSION}")
    parser.add_argument("--data-dir", metavar="DIR",
                        help="the folder that holds the networks (default: $ORVANE_DATA_DIR, "
                             "else ./data)")
    parser.add_argument("--database", metavar="URL",
                        help="the database that holds the networks: postgresql://... for a "
                             "PostgreSQL server, sqlite:[FOLDER] for SQLite files "
                             "(default: $ORVANE_DATABASE_URL, else SQLite)")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True, prog=PROG)

    def command(name, run, help, example, description=None):
        sub = commands.add_parser(name, help=help, description=description or help,
                                  tail=f"example:\n  {PROG} {name} {example}".rstrip() + "\n")
        sub.set_defaults(run=run, parser=sub)
        if name != "networks":
            sub.add_argument("network", metavar="NETWORK")
        return sub

    command("networks", "networks.cmd_networks", "list the networks", "")
    command("create", "networks.cmd_create", "create an empty network", "net1")

    sub = command("import", "transfer.cmd_import", "import the [TAGS] section of an INP file",
                  "net1 model.inp",
                  "Import the tag lines of the [TAGS] section(s) of an INP file in one "
                  "transaction, reading them as EPANET does: the text from a ';' on is a "
                  "comment, and a line that EPANET would read otherwise (quoted text, a "
                  "no-break space, a tag over 255 bytes) is a bad line. The file is read as "
                  "UTF-8 (with or without a byte-order mark), UTF-16 with a byte-order mark, "
                  "else Latin-1. A bad line, an id tagged twice or an element that already "
                  "has a tag is reported and nothing is imported, unless --skip-bad. With "
                  "--replace the network's tags become the file's. Either way the import is "
                  "one undoable command.")
    sub.add_argument("file", metavar="FILE", help="the INP file (a regular file)")
    sub.add_argument("--skip-bad", action="store_true",
                     help="import the good lines and report the bad ones")
    sub.add_argument("--replace", action="store_true",
                     help="make the network's tags equal to the file's: add, change and "
                          "remove tags, and tell how many")
    add_encoding(sub)

    sub = command("export", "transfer.cmd_export", "write the tags as a [TAGS] section",
                  "net1 --into model.inp",
                  "Write the tags as a [TAGS] section to FILE (a regular file, written "
                  "atomically, or a FIFO or character device) or standard output, or with "
                  "--into into an existing INP file, whose other lines stay as they were: "
                  "an unchanged tag line keeps every byte, a changed one its place and "
                  "layout, a cleared one goes, and new ones close the last [TAGS] section. "
                  "A tag that EPANET or WNTR would not read back as stored (empty, with "
                  "whitespace, ';', a leading '\"' or a control character, over 255 bytes), "
                  "and with --into one on an element the file does not define, is reported "
                  "and nothing is written, unless the --skip options leave them out.")
    sub.add_argument("file", metavar="FILE", nargs="?",
                     help="the file to write ('-' or none: standard output)")
    sub.add_argument("--into", metavar="INP",
                     help="rewrite the tag lines of this INP file (a new [TAGS] section goes "
                          "before [END])")
    sub.add_argument("--skip-unwritable", action="store_true",
                     help="write the other tags and list those left out")
    sub.add_argument("--skip-unknown", action="store_true",
                     help="with --into: leave out the tags of elements the file does not "
                          "define")
    add_encoding(sub)

    sub = command("list", "edit.cmd_list",
                  "list every tag: type, id and tag (tab-separated text, JSON or CSV)",
                  "net1 --format csv > tags.csv")
    add_format(sub)
    sub = command("get", "edit.cmd_get", "print the tag of a node or link", "net1 NODE J1")
    add_element(sub)
    add_format(sub)
    sub = command("set", "edit.cmd_set", "set the tag of a node or link (undoable)",
                  "net1 NODE J1 'North zone'")
    add_element(sub)
    sub.add_argument("tag", metavar="TAG", help="the new tag")
    sub = command("clear", "edit.cmd_clear", "clear the tag of a node or link (undoable)",
                  "net1 LINK P1")
    add_element(sub)
    sub = command("delete", "edit.cmd_delete",
                  "delete the tag of a node or link, as deleting the element does (undoable)",
                  "net1 NODE J1")
    add_element(sub)
    command("undo", "edit.cmd_undo", "undo the latest change", "net1")
    command("redo", "edit.cmd_redo", "redo the change undone last", "net1")

    sub = command("summary", "views.cmd_summary", "count the tags of nodes and of links",
                  "net1 --model model.inp",
                  "Print, for nodes and for links, each tag with the number of elements "
                  "that carry it, most frequent first; with --model, how many of the "
                  "model's elements have no tag.")
    sub.add_argument("--model", metavar="INP", help="count the untagged elements of this model")
    add_format(sub)

    sub = command("map", "views.cmd_map", "draw the network coloured by tag",
                  "net1 model.inp -o zones.png",
                  "Draw the network from the model's [COORDINATES] and [VERTICES]: links as "
                  "lines and nodes as points, each coloured by its tag (the most frequent "
                  "tags a colour each, the rest 'other', untagged elements light grey), with "
                  "a legend of the tags and their counts. Elements without coordinates are "
                  "counted and not drawn.")
    sub.add_argument("model", metavar="MODEL", help="the INP file that places the elements")
    sub.add_argument("-o", "--output", metavar="FILE", required=True,
                     help="the picture to write: .png, .svg or .pdf")
    sub.add_argument("--type", type=str.upper, choices=("NODE", "LINK"),
                     help="draw only nodes or only links")
    return parser


def run(command):
    """The function of a command ("module.function"): its module is loaded
    only when the command runs, so that a short command does not wait for
    what the others need."""
    module, function = command.split(".")
    return getattr(importlib.import_module("." + module, __package__), function)


def main(argv=None):
    """Run one command; return its exit status."""
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as e:
        return e.code or 0
    try:
        if args.database is not None:
            database.set_database_url(args.database)
        if args.data_dir is not None:
            database.set_data_dir(args.data_dir)
        return run(args.run)(args) or 0
    except SystemExit as e:
        return e.code or 0
    except Failure as e:
        warn(str(e))
        return e.status
    except database.NetworkNotFoundError as e:
        warn(str(e))
    except UnicodeEncodeError as e:
        warn(f"cannot write {e.object[e.start:e.end]!r} to the output ({e.encoding})")
    except (ValueError, database.UnsuitableDatabaseError, database.ConflictError,
            database.DatabaseUnavailableError, *database.Error) as e:
        warn(first_line(e))
    except BrokenPipeError:
        raise
    except OSError as e:
        warn(f"{e.filename + ': ' if e.filename else ''}{e.strerror or e}")
    finally:
        database.close_all()
    return 1
