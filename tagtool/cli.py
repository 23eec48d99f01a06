"""The tag tool's command line: the parser, and the dispatch of one command.

Each command works on a network only through ``api.orvane`` (tags read,
changed, deleted, turned into and out of INP tag lines) and ``api.database``
(networks, batches, undo and redo), as the application does.  A bad input
ends the command with a one-line message on standard error and an exit
status that tells its kind (EXIT_STATUSES), before anything is written.
"""

import argparse
import errno
import importlib
import os
import signal
import sqlite3
import sys

from api import database

from .elements import KIND_TYPES
from .formats import add_format
from . import output
from .output import (CANT_CREATE, NO_INPUT, NO_PERMISSION, PROG, REFUSED, TRY_AGAIN, Failure,
                     first_line, warn, write_status)
from .rollback import settle_leftovers

VERSION = "0.1.0"

# Every refusal is told in one line on standard error and writes nothing.
EXIT_STATUSES = """\
exit status:
  0    done as asked
  1    any other refusal (a network that does not exist or exists already,
       an element without a tag, nothing to undo or redo)
  2    a bad command line
  3    a conflict between the network and the file that a three-way merge
       cannot resolve
  65   bad input data: bad lines, tags the engines would not read back
  66   an input file missing or unreadable
  69   a part of the tool that is not installed: pip install 'orvane[EXTRA]'
  73   an output that cannot be written
  75   try again: another writer got there first, a lock was not freed in
       time, or the database server is unavailable
  77   read-only storage, or a file the user may not write
  130  interrupted (Ctrl-C); 129 and 143 hung up and terminated
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


class Completion(argparse.Action):
    """--print-completion SHELL: the completion script of the whole command
    line, made by shtab (loaded only here)."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=None, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, shell, option_string=None):
        import shtab

        for action in actions(parser):
            if action.metavar in PATHS:
                action.complete = shtab.DIRECTORY if action.metavar == "DIR" else shtab.FILE
        sys.stdout.write(shtab.complete(parser, shell=shell))
        parser.exit(0)


PATHS = ("FILE", "INP", "MODEL", "DIR")     # the arguments that name files and folders


def actions(parser):
    """Every argument of a parser and of its commands."""
    for action in parser._actions:
        yield action
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                yield from actions(sub)


def add_element(parser):
    parser.add_argument("type", metavar="NODE|LINK", help="the kind of element")
    parser.add_argument("id", metavar="ID", help="the id of the node or link")


def add_encoding(parser):
    parser.add_argument("--encoding", metavar="NAME",
                        help="read the file in this encoding (a Python codec name: cp1252 "
                             "or cp1250 for a table Excel saved) instead of finding it out; "
                             "the file is written back in it")


def add_dry_run(parser):
    parser.add_argument("--dry-run", action="store_true",
                        help="tell what would change and write nothing")


def add_strict(parser):
    parser.add_argument("--strict", action="store_true",
                        help="refuse, writing nothing, when an id is not in the network's "
                             "linked model (else a warning names them)")


def add_table_options(parser):
    parser.add_argument("--format", choices=("inp", "csv", "json", "geojson"),
                        help="how to read FILE: inp, a table in csv or json, or a GIS layer in "
                             "geojson (default: by its extension: .csv, .tsv, .json, .geojson)")
    add_columns(parser)
    parser.add_argument("--skip-unknown", action="store_true",
                        help="leave out the rows of ids the network's linked model does not "
                             "define (else they are refused, named, and nothing is imported)")


def add_columns(parser):
    """The columns of a table or layer from elsewhere (a GIS attribute table)."""
    parser.add_argument("--id-column", metavar="NAME",
                        help="a table from elsewhere (a GIS attribute table): the column that "
                             "holds the ids")
    parser.add_argument("--tag-column", metavar="NAME",
                        help="with --id-column: the column that holds the tags (an empty value "
                             "is no tag)")
    parser.add_argument("--type", type=str.upper, choices=("NODE", "LINK"),
                        help="with --id-column: the type of every row (default: from a 'type' "
                             "column, else NODE; in GeoJSON a point is a node, a line a link)")


def add_where(parser, model=False):
    """--where EXPR (and, for a command that reads no model otherwise,
    --model INP to choose from)."""
    parser.add_argument("--where", metavar="EXPR",
                        help="only the elements whose attributes EXPR holds true of: "
                             "comparisons (= != < <= > >=) of kind, id, tag and the model's "
                             "columns (diameter, elevation, ...: numbers in the file's units) "
                             "joined by and, or, not and parentheses, e.g. "
                             "\"kind = pipe and diameter >= 12\"")
    if model:
        parser.add_argument("--model", metavar="INP",
                            help="with --where: the model to choose from (default: the linked "
                                 "model)")


def add_exchange(parser, replace):
    """The options of an exchange with an INP file (import, export --into);
    ``replace`` tells what --replace does."""
    parser.add_argument("--replace", action="store_true", help=replace)
    parser.add_argument("--ours", action="store_true",
                        help="settle each conflict with the network's tag")
    parser.add_argument("--theirs", action="store_true",
                        help="settle each conflict with the file's tag")
    parser.add_argument("--dry-run", action="store_true",
                        help="write nothing, anywhere: print what would be added, changed, "
                             "removed and kept, and exit as the real run would")


def build_parser():
    parser = Parser(
        prog=PROG, tail=EXIT_STATUSES,
        description="Read and change the tags of a network's nodes and links, move "
                    "them in and out of the [TAGS] section of INP files, and show them "
                    "as a summary or a map.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {VERSION}")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="write only the output asked for and the errors: no reports of "
                             "what was done, no warnings")
    parser.add_argument("--print-completion", choices=("bash", "zsh"), action=Completion,
                        help="print the shell completion script for bash or zsh and exit "
                             "(bash: eval \"$(tagtool --print-completion bash)\")")
    parser.add_argument("--data-dir", metavar="DIR",
                        help="the folder that holds the networks (default: $ORVANE_DATA_DIR, "
                             "else a ./data that holds networks, else the user's data folder: "
                             "~/.local/share/orvane on Linux, %%LOCALAPPDATA%%\\orvane on "
                             "Windows)")
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
    sub = command("create", "networks.cmd_create", "create an empty network",
                  "net1 --model model.inp")
    sub.add_argument("--model", metavar="INP",
                     help="link the network to this INP file (see link)")
    sub = command("link", "linked.cmd_link", "link a network to its INP model, or show it",
                  "net1 model.inp",
                  "Record the INP file that the network's tags belong to. Then set, import, "
                  "zones and the other edits warn about ids the model does not define (and "
                  "refuse them with --strict), and summary and map read it when they are given "
                  "no model. Without MODEL, print the linked model.")
    sub.add_argument("model", metavar="MODEL", nargs="?", help="the INP file")
    sub.add_argument("--unlink", action="store_true", help="forget the linked model")
    sub = command("drop", "networks.cmd_drop", "remove a network for good", "net1 --yes",
                  "Remove the network, its tags and its history; this cannot be undone.")
    sub.add_argument("--yes", action="store_true", help="yes, remove it")

    sub = command("import", "transfer.cmd_import", "import the [TAGS] section of an INP file",
                  "net1 dma.csv --id-column NODE_ID --tag-column DMA",
                  "Import the tag lines of the [TAGS] section(s) of an INP file in one "
                  "transaction, reading them as EPANET does: the text from a ';' on is a "
                  "comment, words after the tag are not read, and a line that EPANET would "
                  "read otherwise (quoted text, a no-break space, a tag over 255 bytes) is a "
                  "bad line. The file is read as UTF-8 (with or without a byte-order mark), "
                  "UTF-16 with a byte-order mark, else Latin-1. A bad line or an id tagged "
                  "twice is reported and nothing is imported, unless --skip-bad. The file's "
                  "tags are merged with the network's, three ways against the exchange the "
                  "file is a later state of (at its path, else found by its content, and "
                  "named): only what the file changed since is taken, and a tag changed on "
                  "both sides is a conflict (exit status 3, nothing imported) unless --ours "
                  "or --theirs. A file of no known origin adds the tags the network lacks "
                  "and never changes or removes one: differing tags are conflicts (before, "
                  "the first import changed them). With --replace the network's tags become "
                  "the file's. Either way the import is one undoable command.")
    sub.add_argument("file", metavar="FILE",
                     help="the INP file (a regular file, or '-' for standard input)")
    sub.add_argument("--skip-bad", action="store_true",
                     help="import the good lines and report the bad ones")
    add_exchange(sub, "make the network's tags equal to the file's: add, change and remove "
                      "tags, and tell how many")
    add_encoding(sub)
    add_table_options(sub)
    add_strict(sub)

    sub = command("export", "transfer.cmd_export", "write the tags as a [TAGS] section",
                  "net1 --into model.inp",
                  "Write the tags as a [TAGS] section to FILE (a regular file, written "
                  "atomically, or a FIFO or character device) or standard output, or with "
                  "--into into an existing INP file, whose other lines stay as they were: "
                  "an unchanged tag line keeps every byte, a changed one its place and "
                  "layout, a cleared one goes, and new ones close the last [TAGS] section. "
                  "The network's tags are merged into the file's, three ways against the "
                  "exchange the file is a later state of: tags changed in the file since are "
                  "kept, and a tag changed on both sides is a conflict (exit status 3, "
                  "nothing written) unless --ours or --theirs; a file of no known origin "
                  "keeps its tags on elements the network has none for, and differing tags "
                  "are conflicts. A file the user may not write is refused; one with other "
                  "names (hard links) is rewritten in place. "
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
    add_exchange(sub, "with --into: make the file's [TAGS] lines exactly the network's tags, "
                      "removing the file's others")
    add_encoding(sub)
    add_columns(sub)
    add_geojson(sub)

    sub = command("list", "edit.cmd_list",
                  "list every tag: type, id and tag (tab-separated text, JSON or CSV)",
                  "net1 --format csv > tags.csv")
    add_format(sub)
    add_where(sub, model=True)
    sub = command("get", "edit.cmd_get", "print the tag of a node or link", "net1 NODE J1")
    add_element(sub)
    add_format(sub)
    sub = command("set", "edit.cmd_set", "set the tag of a node or link (undoable)",
                  "net1 NODE --match 'J1*' North",
                  "Set the tag of one node or link; with --match, --kind or --where (give the "
                  "type and the tag, no id), of every element of the model that matches, as "
                  "one undoable command.")
    sub.add_argument("type", metavar="NODE|LINK", help="the kind of element")
    sub.add_argument("id", metavar="ID", help="the id of the node or link (with --match or "
                                              "--kind: the tag)")
    sub.add_argument("tag", metavar="TAG", nargs="?", help="the new tag")
    sub.add_argument("--match", metavar="GLOB",
                     help="every element of the model whose id matches GLOB (*, ?, [seq])")
    sub.add_argument("--kind", choices=KIND_TYPES,
                     help="every element of this kind in the model (with --match: of both)")
    sub.add_argument("--model", metavar="INP",
                     help="with --match, --kind or --where: the model to choose from "
                          "(default: the linked model)")
    add_where(sub)
    add_dry_run(sub)
    add_strict(sub)
    sub = command("clear", "edit.cmd_clear", "clear the tag of a node or link (undoable)",
                  "net1 LINK --where 'diameter < 6'",
                  "Clear the tag of one node or link; with --where (give the type, no id), "
                  "of every element of the model that matches, as one undoable command.")
    sub.add_argument("type", metavar="NODE|LINK", help="the kind of element")
    sub.add_argument("id", metavar="ID", nargs="?", help="the id of the node or link")
    add_where(sub, model=True)
    sub = command("delete", "edit.cmd_delete",
                  "delete the tag of a node or link, as deleting the element does (undoable)",
                  "net1 NODE J1")
    add_element(sub)
    for name, help in (("undo", "undo the latest command (with -n, the latest N)"),
                       ("redo", "redo the command undone last (with -n, the last N)")):
        sub = command(name, f"edit.cmd_{name}", help, "net1 -n 3")
        sub.add_argument("-n", type=int, default=1, metavar="N",
                         help="how many commands (default 1), one after another")
    sub = command("history", "history.cmd_history",
                  "the network's commands, newest first, and whether they are undone",
                  "net1 --limit 10")
    sub.add_argument("--limit", type=int, metavar="N", help="show the newest N commands only")

    sub = command("zones", "zones.cmd_zones", "tag the elements inside the polygons of a "
                  "GeoJSON file (one undoable command)", "net1 model.inp zones.geojson",
                  "Tag every node of MODEL whose coordinates lie inside (or on the boundary "
                  "of) a polygon or multipolygon of ZONES with that feature's property, and "
                  "every link whose two end nodes lie in the same zone. Elements in no zone, "
                  "and links between zones, keep their tags (lose them with --replace). A "
                  "node in two polygons is a conflict: they are listed and nothing is "
                  "written, unless --first. The "
                  "file's coordinates are the model's (no polygon over the model's extent is "
                  "refused).")
    sub.add_argument("model", metavar="MODEL", help="the INP file that places the elements")
    sub.add_argument("zones", metavar="ZONES", help="the GeoJSON file of the polygons")
    sub.add_argument("--property", default="name", metavar="NAME",
                     help="the feature property that gives the tag (default: name)")
    sub.add_argument("--type", type=str.upper, choices=("NODE", "LINK"),
                     help="tag only nodes or only links")
    sub.add_argument("--kind", choices=KIND_TYPES,
                     help="tag only the elements of this kind (junctions, say)")
    sub.add_argument("--first", action="store_true",
                     help="a node in several polygons takes the first feature's zone")
    sub.add_argument("--replace", action="store_true",
                     help="every placed element chosen ends with exactly the zoning: one in no "
                          "zone, or a link between zones, loses its tag (elements without "
                          "coordinates and ids the model lacks keep theirs)")
    add_dry_run(sub)
    add_strict(sub)

    sub = command("summary", "views.cmd_summary", "count the tags of nodes and of links",
                  "net1 --model model.inp",
                  "Print, for nodes and for links, each tag with the number of elements "
                  "that carry it, most frequent first; with --model, how many of the "
                  "model's elements have no tag.")
    sub.add_argument("--model", metavar="INP", help="count the untagged elements of this model "
                                                    "(default: the linked model)")
    add_format(sub)

    sub = command("stats", "stats.cmd_stats", "what each tag holds: counts, pipe length, "
                  "demand, boundary; pressure and inflow from an EPANET run",
                  "net1 --simulate --format json",
                  "Per tag, and for the untagged: nodes and links by kind (a link belongs to "
                  "its tag or, without one, to the tag of both its end nodes), pipe length, "
                  "the junctions' base demand, elevation min and max, and the boundary (links "
                  "with one end node carrying the tag). --simulate runs EPANET (pip install "
                  "'orvane[sim]') and adds the pressure over the tag's junctions at the report "
                  "times (min, mean, max, the time of the min in seconds) and the net inflow "
                  "through its boundary (min, mean, max over the report times). Figures are "
                  "in the model's units, which every output names.")
    sub.add_argument("--model", metavar="INP", help="the model (default: the linked model)")
    sub.add_argument("--simulate", action="store_true",
                     help="add pressure and inflow from a hydraulic run of EPANET")
    sub.add_argument("-o", "--output", metavar="FILE", help="write to FILE (default: standard "
                                                            "output)")
    add_format(sub)
    add_where(sub)

    sub = command("map", "maps.cmd_map", "draw the network coloured by tag",
                  "net1 model.inp -o zones.png",
                  "Draw the network from the model's [COORDINATES] and [VERTICES]: links as "
                  "lines (pumps dashed with a triangle, valves with a cross) and nodes as "
                  "points (tanks squares, reservoirs hexagons), each coloured by its tag (40 "
                  "tags a colour each, kept by the network so that every map draws a tag "
                  "alike; the rest 'other', untagged elements light grey), with a legend of "
                  "nodes and of links with their counts and a scale bar in the unit of "
                  "[BACKDROP] UNITS. A .html output is a page to pan, zoom and "
                  "hover, whose legend shows and hides each tag. Elements without "
                  "coordinates are counted and not drawn.")
    sub.add_argument("model", metavar="MODEL", nargs="?",
                     help="the INP file that places the elements (default: the linked model)")
    sub.add_argument("-o", "--output", metavar="FILE", required=True,
                     help="the map to write: a picture (.png, .svg, .pdf) or a page to pan, "
                          "zoom and hover in a browser (.html, one file that works offline)")
    sub.add_argument("--type", type=str.upper, choices=("NODE", "LINK"),
                     help="map only nodes or only links (the other kind drawn thin and grey)")
    sub.add_argument("--title", help="the title (default: the network, what is drawn, the model)")
    sub.add_argument("--size", metavar="WxH", type=picture_size, default=(10.0, 7.5),
                     help="a picture's size in inches (default: 10x7.5)")
    sub.add_argument("--dpi", type=positive, default=100,
                     help="a picture's dots per inch (default: 100)")
    sub.add_argument("--style", metavar="FILE", help="colours of tags (CSV or JSON: tag, colour), "
                                                    "before those the network keeps")
    sub.add_argument("--labels", action="store_true", help="write each zone's (node tag's) name on it")
    add_where(sub)
    return parser


def add_geojson(parser):
    """The export's options for GIS: a GeoJSON file of the model's elements
    with their tags."""
    group = parser.add_argument_group(
        "GeoJSON", "--format geojson writes, for GIS, a FeatureCollection of the model's nodes "
        "(Point) and links (LineString through their vertices), each with its id, type, kind "
        "and tag (null: none); elements without coordinates are counted and left out. "
        "Example: export net1 --format geojson --model model.inp -o zones.geojson")
    group.add_argument("--format", choices=("inp", "csv", "json", "geojson"), default=None,
                       help="inp: a [TAGS] section (the default, or by the extension of "
                            "FILE); csv or json: the tool's own table, as list writes it; "
                            "geojson: the model's nodes and links with their tags")
    group.add_argument("-o", "--output", metavar="FILE", help="the file to write, as FILE")
    group.add_argument("--model", metavar="INP", help="the INP file that places the elements")
    group.add_argument("--crs", metavar="EPSG:N",
                       help="the coordinate system of the model's coordinates, named in the "
                            "file (they are not converted)")
    add_where(group)
    parser.set_defaults(run=export_writer)


def export_writer(args):
    """The export's writer: GeoJSON for --format geojson, else the [TAGS]
    section, which --model and --crs do not concern."""
    if args.output is not None:
        if args.file is not None:
            args.parser.error("give FILE or -o FILE, not both")
        args.file = args.output
    if args.format is None:
        from .exchange_files import file_format

        args.format = file_format(args.into if args.into is not None else args.file, None,
                                  args.id_column)
    if args.format == "geojson" and args.into is None:
        return run("geojson.cmd_export")(args)
    for option in ("model", "crs", "where"):
        if getattr(args, option) is not None:
            args.parser.error(f"--{option} goes with --format geojson")
    return run("transfer.cmd_export")(args)


def picture_size(text):
    """WxH in inches, each a positive number."""
    try:
        width, height = (float(v) for v in text.lower().split("x"))
    except ValueError:
        width = height = 0.0
    if not (0 < width <= 200 and 0 < height <= 200):
        raise argparse.ArgumentTypeError(f"{text!r} is not WxH in inches (e.g. 8x6)")
    return width, height


def positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 0 < value <= 1200:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number from 1 to 1200")
    return value


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
    output.QUIET["on"] = args.quiet
    chosen = False
    try:
        from .places import choose

        surprise, chosen = choose(args.data_dir, args.database)
        if surprise is not None:
            output.note(surprise)
        command = run(args.run) if isinstance(args.run, str) else args.run
        settle_leftovers()          # rewrites of files in closed folders that were cut off
        return command(args) or 0
    except SystemExit as e:
        return e.code or 0
    except Failure as e:
        warn(str(e))
        return e.status
    except database.NetworkNotFoundError as e:
        warn(str(e))
    except UnicodeEncodeError as e:
        warn(f"cannot write {e.object[e.start:e.end]!r} to the output ({e.encoding})")
        return CANT_CREATE
    except database.ConflictError as e:
        warn(first_line(e))
        return TRY_AGAIN
    except database.DatabaseUnavailableError as e:
        # A server that went away comes back; a file's own fault is told as
        # the driver's error would be.
        warn(first_line(e))
        cause = e.__cause__
        return database_status(cause) if isinstance(cause, sqlite3.Error) else TRY_AGAIN
    except database.ReadOnlyError as e:
        warn(first_line(e))
        return NO_PERMISSION
    except (ValueError, database.UnsuitableDatabaseError, *database.Error) as e:
        warn(first_line(e))
        return database_status(e)
    except BrokenPipeError:
        raise
    except ImportError as e:
        from .extras import missing

        if (failure := missing(e)) is None:
            raise
        warn(str(failure))
        return failure.status
    except OSError as e:
        warn(f"{e.filename + ': ' if e.filename else ''}{e.strerror or e}")
        return os_status(e)
    finally:
        output.QUIET["on"] = False
        database.close_all()
        if chosen:
            database.set_data_dir(None)
    return REFUSED


# The database's refusals that pass if tried again: SQLite's busy and
# locked; PostgreSQL's lock not available, serialization failure, deadlock.
BUSY_SQLITE = (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED)
BUSY_POSTGRES = ("55P03", "40001", "40P01")


def database_status(error):
    """The exit status of a driver's error: TRY_AGAIN for a lock not freed
    in time, NO_PERMISSION for read-only storage, else REFUSED."""
    code = getattr(error, "sqlite_errorcode", None)
    primary = None if code is None else code & 0xFF     # without the extended part
    if primary in BUSY_SQLITE or str(error).startswith("database is locked"):
        return TRY_AGAIN
    if primary == sqlite3.SQLITE_READONLY:
        return NO_PERMISSION
    if getattr(error, "sqlstate", None) in BUSY_POSTGRES:
        return TRY_AGAIN
    return REFUSED


# A full disk or quota, a file grown too large: no output can be made.
FULL = tuple(getattr(errno, name) for name in ("ENOSPC", "EDQUOT", "EFBIG") if hasattr(errno, name))


def os_status(error):
    """The exit status of an OSError no command turned into a refusal of its
    own (the data folder, the database's files)."""
    if isinstance(error, (FileNotFoundError, NotADirectoryError)):
        return NO_INPUT
    status = write_status(error)
    if status == NO_PERMISSION or error.errno in FULL:
        return status
    return REFUSED


def stop(signum, frame):
    # A termination unwinds like an interrupt, so that a write in progress
    # removes its temporary file.
    raise SystemExit(128 + signum)


def console_main(argv=None):
    """The ``tagtool`` command, and ``python -m tagtool``: one command run as
    a process, whose exit status it returns.  SIGTERM and SIGHUP unwind as
    an interrupt does (exit status 128 + the signal's number), Ctrl-C ends
    with 130, and a reader that goes away (a pager, head) ends the output
    without a traceback."""
    signal.signal(signal.SIGTERM, stop)
    if hasattr(signal, "SIGHUP"):
        signal.signal(signal.SIGHUP, stop)
    try:
        status = main(argv)
        sys.stdout.flush()
    except KeyboardInterrupt:
        status = 130
    except BrokenPipeError:
        # The reader went away: say nothing more to it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 1
    return status
