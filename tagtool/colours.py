"""The colour of each tag on a map, the same on every map of a network.

A tag keeps the colour it was first drawn in: the network keeps the
assignment in a side table (outside the undo history), written where the
storage is writable; a read-only network is drawn by the same rule without
keeping it.  A style file (``--style``: tag, colour, as CSV or JSON) goes
before what is kept; the colour of a tag that no longer exists is free
again.  Tags beyond the palette share "other"."""

import collections
import csv
import io
import json

from api import database

from .jsontext import load_json
from .output import DATA_ERROR, Failure, quoted, shown
from .tables import read_text

# Paul Tol's "bright" scheme (colour-blind safe, and its colours differ in
# lightness too, so that they stay apart on thin lines) and black first,
# then Glasbey's categorical colours (colorcet's glasbey_bw_minc_20_maxl_70:
# no light colours, no greys), in their order, each at least 20 apart in
# CIELAB from those before it and from OTHER, UNTAGGED, CONTEXT and white.
# Written out, since colorcet takes a tenth of a second to import;
# tests/test_maps.py derives the list again from colorcet.
TOL = ["#4477aa", "#ee6677", "#228833", "#ccbb44", "#66ccee", "#aa3377", "#000000"]
GLASBEY = [
    "#d70000", "#8c3cff", "#e7a500", "#ff7fd1", "#6c004f", "#583b00", "#005759", "#15e18d",
    "#0000dd", "#a2766a", "#bcb7ff", "#c004b9", "#645473", "#790000", "#0774d8", "#739b7d",
    "#ff7852", "#004b00", "#8f7b01", "#f3007b", "#8fba00", "#a67bb8", "#5a02a3", "#e3afaf",
    "#a03a52", "#9e4b00", "#546745", "#bbc389", "#5f7b88", "#60383c", "#8388ff", "#390000",
    "#e353ff",
]
PALETTE = TOL + GLASBEY     # 40 tags drawn in a colour of their own
OTHER = "#8c6d31"
UNTAGGED = "#cccccc"
CONTEXT = "#b0b0b0"     # the kind not mapped, drawn behind as context


def ranked(counter):
    """(tag, count) pairs, most frequent first, then in text order."""
    return sorted(counter.items(), key=lambda pair: (-pair[1], pair[0]))


def assign(counts, kept, style):
    """The colours of a network's tags (``counts``: Counter of every tag of
    the network) as {tag: colour}, and what to keep: ({tag: colour} to add,
    [tag] to drop).  The style's colours first, then the kept ones (a kept
    colour the style gives another tag is given up for this map, not
    forgotten), then free palette colours to the other tags, most frequent
    first; tags no longer in the network give their colours back."""
    colours = {tag: colour for tag, colour in style.items() if tag in counts}
    styled = set(colours.values())
    live = {tag: colour for tag, colour in kept.items() if tag in counts}
    taken = styled | set(live.values())
    colours.update((tag, colour) for tag, colour in live.items()
                   if tag not in colours and colour not in styled)
    free = (colour for colour in PALETTE if colour not in taken)
    waiting = [tag for tag, _ in ranked(counts) if tag not in colours]
    add = {}
    for tag, colour in zip(waiting, free):
        colours[tag] = colour
        if tag not in live and tag not in style:
            add[tag] = colour
    return colours, add, [tag for tag in kept if tag not in counts]


def tag_colours(network, tags, style=None):
    """{tag: colour} of the tags of ``network`` (``tags``: its rows), kept
    in the network where its storage can be written."""
    style = style or {}
    counts = collections.Counter(t["tag"] for t in tags if t["tag"] is not None)
    colours, add, drop = assign(counts, database.map_colours(network), style)
    if add or drop:
        # Chosen again from what is kept when the write begins, so that two
        # maps drawn at once keep one colour per tag.
        def choose(kept):
            nonlocal colours
            colours, add, drop = assign(counts, kept, style)
            return add, drop
        database.keep_map_colours(network, choose)
    return colours


# ---------------------------------------------------------------------------
# style files

def read_style(path):
    """{tag: colour} of a style file: CSV with the columns tag and colour
    (or color), or JSON, an object {tag: colour} or an array of objects
    with tag and colour.  A bad row or colour names its line or item."""
    text = read_text(path)[0]
    if path.lower().endswith(".json"):
        rows = json_rows(path, text)
    else:
        rows = csv_rows(path, text)
    style, where = {}, {}
    for at, tag, colour in rows:
        if type(tag) is not str or type(colour) is not str:
            raise Failure(f"{path}:{at}: tag and colour are texts: "
                          f"{shown(json.dumps([tag, colour], ensure_ascii=False))}", DATA_ERROR)
        if tag in style:
            raise Failure(f"{path}:{at}: tag {quoted(tag)} given twice (first at {where[tag]})",
                          DATA_ERROR)
        style[tag], where[tag] = hex_colour(path, at, colour), at
    return style


def hex_colour(path, at, colour):
    from matplotlib.colors import is_color_like, to_hex

    if not is_color_like(colour.strip()) or colour.strip().isdigit():
        raise Failure(f"{path}:{at}: bad colour {quoted(colour)} (a name such as 'teal', "
                      "or '#RRGGBB')", DATA_ERROR)
    return to_hex(colour.strip())


def csv_rows(path, text):
    reader = csv.reader(io.StringIO(text, newline=""))
    try:
        header = [name.strip().lower() for name in next(reader, [])]
        if header[:2] not in (["tag", "colour"], ["tag", "color"]):
            raise Failure(f"{path}:1: a style's columns are tag and colour: "
                          f"{quoted(', '.join(header))}", DATA_ERROR)
        rows = []
        for fields in reader:
            if fields:
                if len(fields) < 2:
                    raise Failure(f"{path}:{reader.line_num}: a row gives a tag and a colour: "
                                  f"{quoted(','.join(fields))}", DATA_ERROR)
                rows.append((reader.line_num, fields[0], fields[1]))
    except csv.Error as e:
        raise Failure(f"{path}:{reader.line_num}: not CSV: {e}", DATA_ERROR) from None
    return rows


def json_rows(path, text):
    data = load_json(path, text)
    if isinstance(data, dict):
        return [(f"item {quoted(tag)}", tag, colour) for tag, colour in data.items()]
    if not isinstance(data, list):
        raise Failure(f"{path}: a style is an object {{tag: colour}} or an array of objects "
                      f"with tag and colour, not {type(data).__name__}", DATA_ERROR)
    rows = []
    for number, item in enumerate(data):
        if not isinstance(item, dict) or "tag" not in item or not {"colour", "color"} & item.keys():
            raise Failure(f"{path}:item {number}: not an object with tag and colour: "
                          f"{shown(json.dumps(item, ensure_ascii=False))}", DATA_ERROR)
        rows.append((f"item {number}", item["tag"], item.get("colour", item.get("color"))))
    return rows
