"""The map: a network drawn from a model's coordinates and coloured by tag,
as a picture for reports (PNG, SVG, PDF through matplotlib: picture.py) or
as one self-contained page to pan, zoom and hover (HTML through plotly,
WebGL: page.py).

Both are made from one Scene: which elements are drawn, in which colour
(colours.py: the same on every map of a network), what the legend says
about them, and where each zone's name goes."""

import collections
import os

from api import orvane

from .colours import OTHER, UNTAGGED, assign, ranked, read_style, tag_colours
from .extras import need
from .safewrite import write_file
from .linked import load_model, model_path
from .where import read_selected
from .taglines import NOUNS, TYPES
from .options import add_where, picture_size, positive
from .output import Failure, note, plural, say, shown, write_status

PICTURES = ("png", "svg", "pdf")
PAGES = ("html",)
LABEL = 40              # characters of a tag shown in the legend and on the map

# How each kind is drawn: a matplotlib marker, a plotly symbol, a size
# factor; links also a line style.
MARKERS = {"junction": ("o", "circle", 1.0), "tank": ("s", "square", 3.0),
           "reservoir": ("h", "hexagon", 3.5), "pipe": (None, "circle", 0.0),
           "pump": (">", "triangle-right", 3.0), "valve": ("X", "x", 3.0)}
LINE_STYLES = {"pipe": "solid", "pump": (0, (4, 1.5)), "valve": "solid"}
# The scale bar's unit, from the model's [BACKDROP] UNITS.
UNITS = {"FEET": "ft", "METERS": "m", "DEGREES": "degrees"}


def output_kind(path):
    """The kind of map a file name asks for ("png", ..., "html"), or None."""
    kind = os.path.splitext(path)[1][1:].lower()
    return kind if kind in PICTURES + PAGES else None


def register(command):
    sub = command("map", cmd_map, "net1 model.inp -o zones.png",
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


def cmd_map(args):
    kind = output_kind(args.output)
    if kind is None:
        args.parser.error(f"argument -o/--output: {args.output!r} does not end in "
                          ".png, .svg, .pdf or .html")
    need("plotly" if kind == "html" else "matplotlib")
    model = model_path(args.network, args.model)
    if model is None:
        args.parser.error(f"give MODEL: network {args.network!r} has no linked model")
    write_map(
        args.network, model, args.output,
        kinds=(args.type,) if args.type else TYPES,
        title=args.title,
        size=args.size,
        dpi=args.dpi,
        style=args.style,
        labels=args.labels,
        where=args.where,
    )


def write_map(network, path, output, kinds=TYPES, title=None, size=(10.0, 7.5), dpi=100,
              style=None, labels=False, where=None):
    """Draw ``network`` on the model at ``path`` into the file ``output``
    (its suffix gives the format); ``style``: a style file's path;
    ``where``: an EXPR choosing the elements drawn.  Colours are given over
    the whole network, so that a tag keeps its colour on every map."""
    style = read_style(style) if style is not None else {}
    every = orvane.get_tags(network)
    model, tags = read_selected(path, where, every, lambda path: load_model(network, path))
    title = title or default_title(network, kinds, model)
    scene = Scene(model, tags, kinds, tag_colours(network, every, style), labels)
    if output_kind(output) == "html":
        from .page import page

        data = page(scene, title).encode("utf-8")
    else:
        from .picture import picture_bytes

        data = picture_bytes(scene, title, size, dpi, output_kind(output))
    save(output, data)
    report_unplaced(path, model, tags, kinds, scene.unplaced)
    drawn = " and ".join(plural(scene.drawn[t], NOUNS[t]) for t in kinds)
    say(f"wrote {output}: {drawn}, {plural(len(scene.shown) + scene.has_other, 'colour')}")


def default_title(network, kinds, model):
    what = " and ".join(NOUNS[t] + "s" for t in kinds)
    return f"{network}: tags of {what} ({os.path.basename(model.path)})"


def report_unplaced(path, model, tags, kinds, unplaced):
    """Warn of the elements left out: without coordinates, or tagged in the
    network but not in the model."""
    for t_type, n in unplaced.items():
        if n:
            note(f"{path}: {plural(n, NOUNS[t_type])} without coordinates, not drawn")
    for t_type in kinds:
        ids = model.elements(t_type)
        missing = sum(1 for t in tags if t["t_type"] == t_type and t["id"] not in ids)
        if missing:
            note(f"{path}: {plural(missing, 'tagged ' + NOUNS[t_type])} not in the model, "
                 "not drawn")


def save(path, data):
    try:
        write_file(path, data)
    except OSError as e:
        raise Failure(f"{path}: cannot write: {e.strerror or e}", write_status(e)) from None


def label(tag):
    text = shown(tag)
    return text if len(text) <= LABEL else text[:LABEL - 1] + "…"


def scale_unit(model):
    return UNITS.get(model.backdrop_units, "model units")


class Scene:
    """What a map shows.  ``elements[type]``: (id, kind, tag, colour, place)
    of each drawn element, in the model's order;
    ``context[type]``: the places of the kind not mapped; ``colours``: the
    colour of each tag of the network that has one (nodes and links alike,
    every map of the network alike); ``shown``: those of the tags drawn;
    ``counts[type]``: Counter of the tags of the model's elements,
    ``kinds[type]``: Counter of their kinds; ``unplaced[type]``: how many
    have no coordinates; ``labels``: (tag, (x, y)) of each zone's name, when
    asked for; ``unit``: the coordinates' unit; ``bounds``: (x0, y0, x1, y1)
    around the nodes."""

    def __init__(self, model, tags, kinds, colours=None, labels=False):
        stored = {(t["t_type"], t["id"]): t["tag"] for t in tags if t["tag"] is not None}
        if colours is None:
            colours = assign(collections.Counter(stored.values()), {}, {})[0]
        self.colours, self.unit = colours, scale_unit(model)
        self.counts, self.kinds, self.elements, self.unplaced = {}, {}, {}, {}
        for t_type in kinds:
            ids = model.elements(t_type)
            self.counts[t_type] = collections.Counter(
                tag for tag in (stored.get((t_type, id)) for id in ids) if tag is not None)
            self.kinds[t_type] = collections.Counter(model.kind(t_type, id) for id in ids)
        total = sum(self.counts.values(), collections.Counter())
        self.shown = {tag: colours[tag] for tag, _ in ranked(total) if tag in colours}
        self.has_other = len(total) > len(self.shown)
        for t_type in kinds:
            drawn = []
            for id in model.elements(t_type):
                at = model.place(t_type, id)
                if at is not None:
                    tag = stored.get((t_type, id))
                    drawn.append((id, model.kind(t_type, id), tag, self.colour(tag), at))
            self.elements[t_type] = drawn
            self.unplaced[t_type] = len(model.elements(t_type)) - len(drawn)
        self.context = {}
        for t_type in TYPES:
            if t_type not in kinds:
                places = (model.place(t_type, id) for id in model.elements(t_type))
                self.context[t_type] = [at for at in places if at is not None]
        self.drawn = {t: len(e) for t, e in self.elements.items()}
        self.labels = zone_labels(self) if labels else []
        self.bounds = bounds(model.coordinates.values())

    def colour(self, tag):
        return UNTAGGED if tag is None else self.colours.get(tag, OTHER)

    def legend(self, t_type):
        """(label, colour, tag or None for "untagged" and ... for "other") of
        each entry of a type's group of the legend."""
        counts = self.counts[t_type]
        entries = [(f"{label(tag)} ({counts[tag]})", colour, tag)
                   for tag, colour in self.shown.items() if counts[tag]]
        rest = {tag: n for tag, n in counts.items() if tag not in self.shown}
        if rest:
            entries.append((f"other: {plural(len(rest), 'tag')} ({sum(rest.values())})",
                            OTHER, ...))
        untagged = sum(self.kinds[t_type].values()) - sum(counts.values())
        if untagged:
            entries.append((f"untagged ({untagged})", UNTAGGED, None))
        return entries

    def group_title(self, t_type):
        return f"{NOUNS[t_type]}s ({sum(self.kinds[t_type].values())})"


def zone_labels(scene):
    """(tag, point) of each tag drawn in a colour of its own: the node of
    the tag nearest the middle of its nodes (the middle of the link nearest
    the middle of its links on a map of links), so that a zone in two parts
    is named on itself."""
    import numpy as np

    t_type = "NODE" if "NODE" in scene.elements else "LINK"
    at = (lambda e: e[4]) if t_type == "NODE" else (lambda e: middle(e[4])[1])
    code = {tag: i for i, tag in enumerate(scene.shown)}
    picked = [(code[e[2]], at(e)) for e in scene.elements[t_type] if e[2] in code]
    if not picked:
        return []
    codes = np.array([c for c, _ in picked])
    points = np.array([p for _, p in picked], float)
    n = np.bincount(codes, minlength=len(code))
    centre = np.stack([np.bincount(codes, points[:, i], len(code)) for i in (0, 1)], 1)
    centre /= np.maximum(n, 1)[:, None]
    distance = np.hypot(*(points - centre[codes]).T)
    order = np.lexsort((distance, codes))
    first = order[np.r_[True, codes[order][1:] != codes[order][:-1]]]
    tags = list(code)
    return [(tags[codes[i]], (float(points[i, 0]), float(points[i, 1]))) for i in first]


def bounds(points):
    """(x0, y0, x1, y1) around ``points``, (0, 0, 1, 1) around none."""
    import numpy as np

    array = np.array(list(points), float).reshape(-1, 2)
    if not len(array):
        return 0.0, 0.0, 1.0, 1.0
    return (*array.min(axis=0), *array.max(axis=0))


def middle(path):
    """The point halfway along a path, and the index of the point of the
    path it comes before."""
    import math

    lengths = [math.dist(a, b) for a, b in zip(path, path[1:])]
    half = sum(lengths) / 2
    for i, length in enumerate(lengths):
        if half <= length and length:
            (ax, ay), (bx, by), f = path[i], path[i + 1], half / length
            return i + 1, (ax + (bx - ax) * f, ay + (by - ay) * f)
        half -= length
    return 1, path[0]


def place_labels(anchors, sizes, bounds, gap=4.0):
    """Offsets (dx, dy), in the units of ``anchors`` and ``sizes`` (pixels),
    that put boxes of ``sizes`` (width, height) centred near their
    ``anchors`` without overlapping one another, inside ``bounds`` (x0, y0,
    x1, y1) where they fit: each, in turn, at the first free place on rings
    around its anchor, else on its anchor."""
    import numpy as np

    def box(x, y, w, h):
        return np.array([x - (w + gap) / 2, y - (h + gap) / 2, x + (w + gap) / 2, y + (h + gap) / 2])

    placed, offsets = np.empty((0, 4)), []
    for (x, y), (w, h) in zip(anchors, sizes):
        step = h + gap
        rings = [(0.0, 0.0)] + [(r * step * np.cos(a) * max(1.0, w / h / 2), r * step * np.sin(a))
                                for r in range(1, 7) for a in np.arange(16) * np.pi / 8]
        chosen = (0.0, 0.0)
        for dx, dy in rings:
            b = box(x + dx, y + dy, w, h)
            inside = b[0] >= bounds[0] and b[1] >= bounds[1] and b[2] <= bounds[2] and b[3] <= bounds[3]
            if inside and not np.any((placed[:, 0] < b[2]) & (b[0] < placed[:, 2])
                                     & (placed[:, 1] < b[3]) & (b[1] < placed[:, 3])):
                chosen = (dx, dy)
                break
        placed = np.vstack([placed, box(x + chosen[0], y + chosen[1], w, h)])
        offsets.append(chosen)
    return offsets
