"""The commands that move tags between a network and files: import and
export, in every format (INP [TAGS] sections, the tool's own CSV and JSON,
GIS tables and GeoJSON).  They declare their arguments, check how the
options go together, and turn them into plain values for the steps of an
exchange (tagtool/exchange.py) or, for a GeoJSON layer, tagtool/geojson.py."""

from .exchange import export_into, export_to, import_file
from .exchange_files import file_format
from .merge import FILE, NETWORK
from .options import (add_columns, add_encoding, add_exchange, add_strict, add_table_options,
                      add_where)


def register(command):
    sub = command("import", cmd_import, "net1 dma.csv --id-column NODE_ID --tag-column DMA",
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

    sub = command("export", cmd_export, "net1 --into model.inp",
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


def winner(ours, theirs, parser):
    """The side that settles every conflict: --ours, --theirs, or neither."""
    if ours and theirs:
        parser.error("give --ours or --theirs, not both")
    return NETWORK if ours else FILE if theirs else None


def cmd_import(args):
    """import NETWORK FILE: the options as plain values, then import_file."""
    if (args.id_column is None) != (args.tag_column is None):
        args.parser.error("--id-column and --tag-column go together")
    if args.type is not None and args.id_column is None:
        args.parser.error("--type goes with --id-column")
    fmt = file_format(args.file, args.format)
    if fmt == "inp" and args.id_column is not None:
        args.parser.error("--id-column, --tag-column and --type read a table (--format csv or json)")
    import_file(args.network, args.file, fmt, side=winner(args.ours, args.theirs, args.parser),
                replace=args.replace, dry_run=args.dry_run, skip_bad=args.skip_bad,
                strict=args.strict, skip_unknown=args.skip_unknown, encoding=args.encoding,
                id_column=args.id_column, tag_column=args.tag_column, t_type=args.type)


def cmd_export(args):
    """export NETWORK [FILE | -o FILE | --into FILE]: a GeoJSON layer for
    --format geojson (geojson.py), else the tags in a [TAGS] section or a
    table, which --model, --crs and --where do not concern."""
    if args.output is not None:
        if args.file is not None:
            args.parser.error("give FILE or -o FILE, not both")
        args.file = args.output
    if args.format is None:
        args.format = file_format(args.into if args.into is not None else args.file, None,
                                  args.id_column)
    if args.format == "geojson" and args.into is None:
        from .geojson import cmd_export_layer

        return cmd_export_layer(args)
    for option in ("model", "crs", "where"):
        if getattr(args, option) is not None:
            args.parser.error(f"--{option} goes with --format geojson")
    return cmd_export_tags(args)


def cmd_export_tags(args):
    """The export of tags: the options as plain values, then export_to (a
    new file or standard output) or export_into (an existing file, merged)."""
    if args.file is not None and args.into is not None:
        args.parser.error("give FILE or --into INP, not both")
    options = dict(skip_unwritable=args.skip_unwritable, dry_run=args.dry_run)
    columns = dict(id_column=args.id_column, tag_column=args.tag_column, t_type=args.type)
    if args.into is None:
        if any(value is not None for value in columns.values()):
            args.parser.error("--id-column, --tag-column and --type go with --into FILE")
        if args.encoding is not None:
            args.parser.error("--encoding tells how to read the file of --into INP")
        for option in ("ours", "theirs", "replace"):
            if getattr(args, option):
                args.parser.error(f"--{option} works with --into INP")
        path = args.file
        fmt = "inp" if path in (None, "-") else file_format(path, args.format)
        export_to(args.network, path, fmt, **options)
    else:
        fmt = args.format or file_format(args.into, None, columns["id_column"])
        export_into(args.network, args.into, fmt, side=winner(args.ours, args.theirs, args.parser),
                    replace=args.replace, skip_unknown=args.skip_unknown, encoding=args.encoding,
                    **columns, **options)
