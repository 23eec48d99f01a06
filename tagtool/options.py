"""The options that several commands share, each declared once: a command's
module adds them to its parser in its ``register``.  It imports argparse and
the names of the output formats only, so that declaring a command loads
nothing the command does not run."""

import argparse

from .formats import FORMATS


def add_element(parser):
    parser.add_argument("type", metavar="NODE|LINK", help="the kind of element")
    parser.add_argument("id", metavar="ID", help="the id of the node or link")


def add_format(parser):
    parser.add_argument("--format", choices=FORMATS, default="text",
                        help="text for people (the default), json or csv for programs")
    parser.add_argument("--raw", action="store_true",
                        help="with --format csv: write every cell as it is, without the "
                             "apostrophe that keeps a spreadsheet from running a cell that "
                             "starts with = + - @")


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
