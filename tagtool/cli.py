"""The tag tool's command line: the global options, the dispatch of one
command, its exit status, completion and the handling of signals.  Each
command's module declares the command's arguments (its ``register``).

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

        commands = commands_of(parser)
        for module, _ in COMMANDS.values():
            commands.load(module)
        for action in actions(parser):
            if action.metavar in PATHS:
                action.complete = shtab.DIRECTORY if action.metavar == "DIR" else shtab.FILE
        sys.stdout.write(shtab.complete(parser, shell=shell))
        parser.exit(0)


PATHS = ("FILE", "INP", "MODEL", "ZONES", "DIR")    # the arguments that name files and folders


def actions(parser):
    """Every argument of a parser and of its commands."""
    for action in parser._actions:
        yield action
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                yield from actions(sub)


# The commands in the order of --help: the module that declares and runs
# each (its ``register(command)``), and the line that --help lists it with.
COMMANDS = {
    "networks": ("networks", "list the networks"),
    "create": ("networks", "create an empty network"),
    "link": ("linked", "link a network to its INP model, or show it"),
    "drop": ("networks", "remove a network for good"),
    "import": ("transfer", "import the [TAGS] section of an INP file"),
    "export": ("transfer", "write the tags as a [TAGS] section"),
    "list": ("edit", "list every tag: type, id and tag (tab-separated text, JSON or CSV)"),
    "get": ("edit", "print the tag of a node or link"),
    "set": ("edit", "set the tag of a node or link (undoable)"),
    "clear": ("edit", "clear the tag of a node or link (undoable)"),
    "delete": ("edit", "delete the tag of a node or link, as deleting the element does "
                       "(undoable)"),
    "undo": ("edit", "undo the latest command (with -n, the latest N)"),
    "redo": ("edit", "redo the command undone last (with -n, the last N)"),
    "history": ("history", "the network's commands, newest first, and whether they are undone"),
    "zones": ("zones", "tag the elements inside the polygons of a GeoJSON file (one undoable "
                       "command)"),
    "summary": ("views", "count the tags of nodes and of links"),
    "stats": ("stats", "what each tag holds: counts, pipe length, demand, boundary; pressure "
                       "and inflow from an EPANET run"),
    "map": ("maps", "draw the network coloured by tag"),
}


class Commands(argparse._SubParsersAction):
    """The commands: a bare parser each, which the module of the command
    chosen fills in with its arguments (its ``register``) just before it
    parses the rest of the line; so a short command does not load what the
    others need."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.loaded = set()

    def __call__(self, parser, namespace, values, option_string=None):
        if values[0] in COMMANDS:
            self.load(COMMANDS[values[0]][0])
        super().__call__(parser, namespace, values, option_string)

    def load(self, module):
        """Let ``module`` declare the arguments of its commands, once."""
        if module not in self.loaded:
            self.loaded.add(module)
            importlib.import_module("." + module, __package__).register(self.command)

    def command(self, name, run, example, description=None):
        """The parser of the command ``name``, run by ``run(args)``, with its
        description (by default its line in --help) and an example; every
        command but networks takes a NETWORK first."""
        sub = self.choices[name]
        sub.description = description or COMMANDS[name][1]
        sub.tail = f"example:\n  {PROG} {name} {example}".rstrip() + "\n"
        sub.set_defaults(run=run, parser=sub)
        if name != "networks":
            sub.add_argument("network", metavar="NETWORK")
        return sub


def build_parser():
    """The parser of the global options, with a bare parser for each command
    (see Commands)."""
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
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True, prog=PROG,
                                     action=Commands)
    for name, (_, help) in COMMANDS.items():
        commands.add_parser(name, help=help)
    return parser


def commands_of(parser):
    """The Commands of the tool's parser."""
    return next(action for action in parser._actions if isinstance(action, Commands))


def main(argv=None):
    """Run one command; return its exit status."""
    chosen = False
    try:
        # The command's module is loaded here, as its arguments are parsed.
        args = build_parser().parse_args(argv)
        output.QUIET["on"] = args.quiet
        from .places import choose

        surprise, chosen = choose(args.data_dir, args.database)
        if surprise is not None:
            output.note(surprise)
        settle_leftovers()          # rewrites of files in closed folders that were cut off
        return args.run(args) or 0
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
