"""The map: a network drawn from a model's coordinates and coloured by tag,
as a picture for reports (PNG, SVG, PDF through matplotlib) or as one
self-contained page to pan, zoom and hover (HTML through plotly, WebGL).

Both are made from one Scene: which elements are drawn, in which colour,
and what the legend says about them."""

import collections
import io
import os

from api import orvane

from .inpfile import write_file
from .linked import model_path
from .where import read_selected
from .taglines import NOUNS, TYPES
from .output import Failure, note, plural, say, shown, write_status


# Paul Tol's "bright" scheme (colour-blind safe, and its colours differ in
# lightness too, so that they stay apart on thin lines), then black; the
# most frequent tags take them in this order, the rest share "other".
PALETTE = ["#4477AA", "#EE6677", "#228833", "#CCBB44", "#66CCEE", "#AA3377", "#000000"]
OTHER = "#8C6D31"
UNTAGGED = "#CCCCCC"
CONTEXT = "#B0B0B0"     # the kind not mapped, drawn behind as context
PICTURES = ("png", "svg", "pdf")
PAGES = ("html",)
LABEL = 40              # characters of a tag shown in the legend

# How each kind is drawn: a matplotlib marker, a plotly symbol, a size
# factor; links also a line style.
MARKERS = {"junction": ("o", "circle", 1.0), "tank": ("s", "square", 3.0),
           "reservoir": ("h", "hexagon", 3.5), "pipe": (None, "circle", 0.0),
           "pump": (">", "triangle-right", 3.0), "valve": ("X", "x", 3.0)}
LINE_STYLES = {"pipe": "solid", "pump": (0, (4, 1.5)), "valve": "solid"}


def output_kind(path):
    """The kind of map a file name asks for ("png", ..., "html"), or None."""
    kind = os.path.splitext(path)[1][1:].lower()
    return kind if kind in PICTURES + PAGES else None


def cmd_map(args):
    kind = output_kind(args.output)
    if kind is None:
        args.parser.error(f"argument -o/--output: {args.output!r} does not end in "
                          ".png, .svg, .pdf or .html")
    args.model = model_path(args.network, args.model)
    if args.model is None:
        args.parser.error(f"give MODEL: network {args.network!r} has no linked model")
    tags = orvane.get_tags(args.network)
    model, tags = read_selected(args.model, args.where, tags)
    kinds = (args.type,) if args.type else TYPES
    title = args.title or default_title(args.network, kinds, model)
    scene = Scene(model, tags, kinds)
    if kind == "html":
        data = page(scene, title).encode("utf-8")
    else:
        picture = draw(scene, title, args.size, args.dpi)
        buffer = io.BytesIO()
        picture.figure.savefig(buffer, format=kind)
        data = buffer.getvalue()
    save(args.output, data)
    report_unplaced(args.model, model, tags, kinds, scene.unplaced)
    drawn = " and ".join(plural(scene.drawn[t], NOUNS[t]) for t in kinds)
    say(f"wrote {args.output}: {drawn}, {plural(len(scene.colours) + scene.has_other, 'colour')}")


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


def ranked(counter):
    """(tag, count) pairs, most frequent first, then in text order."""
    return sorted(counter.items(), key=lambda pair: (-pair[1], pair[0]))


def label(tag):
    text = shown(tag)
    return text if len(text) <= LABEL else text[:LABEL - 1] + "…"


class Scene:
    """What a map shows.  ``elements[type]``: (id, kind, tag, colour, place)
    of each drawn element, in the model's order;
    ``context[type]``: the places of the kind not mapped; ``colours``: the
    colour of each tag that has one (one colour per tag for nodes and links
    alike); ``counts[type]``: Counter of the tags of the model's elements,
    ``kinds[type]``: Counter of their kinds; ``unplaced[type]``: how many
    have no coordinates."""

    def __init__(self, model, tags, kinds):
        stored = {(t["t_type"], t["id"]): t["tag"] for t in tags if t["tag"] is not None}
        self.counts, self.kinds, self.elements, self.unplaced = {}, {}, {}, {}
        for t_type in kinds:
            ids = model.elements(t_type)
            self.counts[t_type] = collections.Counter(
                tag for tag in (stored.get((t_type, id)) for id in ids) if tag is not None)
            self.kinds[t_type] = collections.Counter(model.kind(t_type, id) for id in ids)
        total = sum(self.counts.values(), collections.Counter())
        self.colours = dict(zip((tag for tag, _ in ranked(total)), PALETTE))
        self.has_other = len(total) > len(self.colours)
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

    def colour(self, tag):
        return UNTAGGED if tag is None else self.colours.get(tag, OTHER)

    def legend(self, t_type):
        """(label, colour, tag or None for "untagged" and ... for "other") of
        each entry of a type's group of the legend."""
        counts = self.counts[t_type]
        entries = [(f"{label(tag)} ({counts[tag]})", colour, tag)
                   for tag, colour in self.colours.items() if counts[tag]]
        rest = {tag: n for tag, n in counts.items() if tag not in self.colours}
        if rest:
            entries.append((f"other: {plural(len(rest), 'tag')} ({sum(rest.values())})",
                            OTHER, ...))
        untagged = sum(self.kinds[t_type].values()) - sum(counts.values())
        if untagged:
            entries.append((f"untagged ({untagged})", UNTAGGED, None))
        return entries

    def group_title(self, t_type):
        return f"{NOUNS[t_type]}s ({sum(self.kinds[t_type].values())})"


# ---------------------------------------------------------------------------
# the picture

class Picture:
    """The figure of one map, with what a caller checks: the legend (label,
    colour) pairs, the colour of each tag that has one, and where each drawn
    element is ({type: {id: point or path}})."""

    def __init__(self, figure, axes, legend, scene):
        self.figure, self.axes, self.legend, self.colours = figure, axes, legend, scene.colours
        self.places = {t: {e[0]: e[4] for e in drawn} for t, drawn in scene.elements.items()}
        self.unplaced, self.drawn = scene.unplaced, scene.drawn


def draw(scene, title, size=(10.0, 7.5), dpi=100):
    """A Picture of the scene: links as lines styled by kind, nodes as
    markers by kind, the kind not mapped thin and grey behind them, a legend
    in a group per type with counts, and a scale bar in model units."""
    from matplotlib.figure import Figure

    figure = Figure(figsize=size, dpi=dpi, layout="constrained")
    axes = figure.add_subplot()
    # Thinner lines and smaller points as the network grows; tagged elements
    # stand out from untagged ones at any size.
    n = sum(scene.drawn.values()) + sum(map(len, scene.context.values()))
    width = 1.4 if n < 1_000 else 0.8 if n < 5_000 else 0.5
    area = max(1.5, min(14.0, 10_000 / max(n, 1)))
    if "LINK" in scene.context:
        draw_lines(axes, scene.context["LINK"], CONTEXT, width * 0.5, "solid", 0)
    if "NODE" in scene.context and scene.context["NODE"]:
        # Small dots over the links, so that the nodes show where they are.
        xs, ys = zip(*scene.context["NODE"])
        axes.scatter(xs, ys, c=CONTEXT, s=area * 0.4, linewidths=0, zorder=2)
    if "LINK" in scene.elements:
        draw_links(axes, scene.elements["LINK"], width, area)
    if "NODE" in scene.elements:
        draw_nodes(axes, scene.elements["NODE"], area)
    axes.autoscale_view()
    axes.set_aspect("equal", adjustable="datalim")
    axes.set_axis_off()
    legend = draw_legend(axes, scene)
    axes.set_title(title)
    scale_bar(axes)
    unplaced = {t: n for t, n in scene.unplaced.items() if n}
    if unplaced:
        figure.text(0.01, 0.01, "not drawn, no coordinates: " + ", ".join(
            plural(n, NOUNS[t]) for t, n in unplaced.items()), fontsize=8)
    return Picture(figure, axes, legend, scene)


def groups(elements):
    """{(kind, colour): [element, ...]}, untagged groups first."""
    found = {}
    for element in elements:
        found.setdefault((element[1], element[3]), []).append(element)
    return dict(sorted(found.items(), key=lambda item: item[0][1] != UNTAGGED))


def draw_lines(axes, paths, colour, width, style, zorder):
    """Paths of one colour as one path of the figure: a collection of a
    path per link costs seconds at 10^5 links."""
    import numpy as np
    from matplotlib.patches import PathPatch
    from matplotlib.path import Path

    if not paths:
        return
    vertices = np.array([point for path in paths for point in path], float)
    codes = np.full(len(vertices), Path.LINETO, np.uint8)
    codes[np.cumsum([0] + [len(path) for path in paths[:-1]])] = Path.MOVETO
    axes.add_artist(PathPatch(Path(vertices, codes), fill=False, edgecolor=colour,
                              linewidth=width, linestyle=style, zorder=zorder,
                              capstyle="round", joinstyle="round"))
    axes.update_datalim(vertices)


def draw_links(axes, links, width, area):
    for (kind, colour), of_kind in groups(links).items():
        tagged = colour != UNTAGGED
        draw_lines(axes, [e[4] for e in of_kind], colour, width * (2 if tagged else 1),
                   LINE_STYLES[kind], 1.5 if tagged else 1)
        marker, _, scale = MARKERS[kind]
        if marker:
            xs, ys = zip(*(middle(e[4])[1] for e in of_kind))
            axes.scatter(xs, ys, c=colour, marker=marker, s=area * scale * 2,
                         edgecolors="black", linewidths=0.4, zorder=3)


def draw_nodes(axes, nodes, area):
    import numpy as np

    for (kind, colour), of_kind in groups(nodes).items():
        marker, _, scale = MARKERS[kind]
        points = np.array([e[4] for e in of_kind], float)
        junction = kind == "junction"
        axes.scatter(points[:, 0], points[:, 1], c=colour, marker=marker,
                     s=area * scale * (1 if colour == UNTAGGED else 2),
                     edgecolors="none" if junction else "black",
                     linewidths=0 if junction else 0.5, zorder=2 if junction else 4)


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


def draw_legend(axes, scene):
    """One legend, a group per type: its title with the number of elements,
    an entry per tag colour with its count, then its kinds with theirs; the
    kind drawn as context has its title only.  Returns the (label, colour)
    pairs of the tag entries."""
    from matplotlib.lines import Line2D

    handles, labels, titles, tags = [], [], [], []
    for t_type in TYPES:
        if t_type in scene.context:
            handles.append(Line2D([], [], color=CONTEXT, marker="o" if t_type == "NODE" else "",
                                  linestyle="" if t_type == "NODE" else "-", markersize=3))
            labels.append(f"{NOUNS[t_type]}s (context)")
            continue
        if t_type not in scene.elements:
            continue
        titles.append(len(labels))
        handles.append(Line2D([], [], linestyle=""))
        labels.append(scene.group_title(t_type))
        line = t_type == "LINK"
        for text, colour, _ in scene.legend(t_type):
            handles.append(Line2D([], [], color=colour, linestyle="-" if line else "",
                                  linewidth=3, marker="" if line else "o"))
            labels.append(text)
            tags.append((text, colour))
        for kind, n in scene.kinds[t_type].items():
            marker = MARKERS[kind][0]
            handles.append(Line2D([], [], color="black", marker=marker or "",
                                  markerfacecolor="white", linestyle=LINE_STYLES.get(kind, "")
                                  if line else "", linewidth=1))
            labels.append(f"{kind} ({n})")
    legend = axes.legend(handles, labels, loc="upper left", bbox_to_anchor=(1.0, 1.0),
                         frameon=False, fontsize="small", handlelength=2.2)
    for i in titles:
        legend.get_texts()[i].set_fontweight("bold")
    return tags


def scale_bar(axes):
    """A bar of a round length, about a fifth of the width, in the model's
    own units (INP coordinates carry none)."""
    import math

    from mpl_toolkits.axes_grid1.anchored_artists import AnchoredSizeBar

    left, right = axes.get_xlim()
    span = (right - left) / 5
    if not span > 0:
        return
    step = 10 ** math.floor(math.log10(span))
    length = max(m * step for m in (1, 2, 5) if m * step <= span)
    axes.add_artist(AnchoredSizeBar(axes.transData, length, f"{length:g} (model units)",
                                    "lower right", frameon=False, size_vertical=0,
                                    fontproperties={"size": 8}))


# ---------------------------------------------------------------------------
# the page

def page(scene, title):
    """One HTML page holding plotly's script and the scene, drawn with
    WebGL: a legend per type (nodes, links) titled with its count, an entry
    per tag that shows and hides its elements; hover tells the kind, id and
    tag of a node, or of a link at the marker in its middle."""
    import plotly.io

    traces = []
    for t_type, places in scene.context.items():
        traces.append(context_trace(t_type, places))
    for t_type, elements in scene.elements.items():
        by_entry = collections.defaultdict(list)
        for element in elements:
            tag = element[2]
            by_entry[... if tag is not None and tag not in scene.colours else tag].append(element)
        # Untagged first, so that tagged elements are drawn over them; the
        # legends list them the other way round.
        for text, colour, key in reversed(scene.legend(t_type)):
            if by_entry[key]:
                make = node_traces if t_type == "NODE" else link_traces
                traces.extend(make(by_entry[key], text, colour, key))
    legends = {}
    for t_type in TYPES:
        name = LEGENDS[t_type]
        title_text = (f"{NOUNS[t_type]}s (context)" if t_type in scene.context
                      else scene.group_title(t_type) if t_type in scene.elements else None)
        if title_text:
            legends[name] = {"title": {"text": f"<b>{title_text}</b>"}, "x": 1.02,
                             "y": 1 if t_type == "NODE" else 0.5, "yanchor": "top",
                             "itemsizing": "constant", "tracegroupgap": 0,
                             "traceorder": "reversed"}
    layout = {
        "title": {"text": escaped(title)}, "hovermode": "closest", "dragmode": "pan",
        "xaxis": {"visible": False}, "yaxis": {"visible": False, "scaleanchor": "x"},
        "plot_bgcolor": "white", "margin": {"l": 10, "r": 10, "t": 50, "b": 10}, **legends,
    }
    return plotly.io.to_html({"data": traces, "layout": layout}, include_plotlyjs=True,
                             full_html=True, validate=False, div_id="map",
                             default_width="100%", default_height="95vh",
                             config={"scrollZoom": True, "displaylogo": False})


LEGENDS = {"NODE": "legend", "LINK": "legend2"}


def meta(t_type, key, role=None):
    """What a trace shows, for a script that reads the page: the type, the
    tag ("other": the tags without a colour; None: untagged) and its role
    ("tag", "untagged", "path": the lines of links whose markers are the
    "tag" or "untagged" trace beside it, or "context")."""
    return {"type": t_type, "tag": "other" if key is ... else key,
            "role": role or ("untagged" if key is None else "tag")}


def hover(kind, id, tag):
    return f"{kind} {escaped(id)}<br>tag: {'none' if tag is None else escaped(tag)}"


def escaped(text):
    return shown(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def markers(t_type, key, name, colour, points, elements, show):
    """A WebGL trace of a marker per element, each by its kind, hovered."""
    return {
        "type": "scattergl", "mode": "markers", "name": name, "legend": LEGENDS[t_type],
        "legendgroup": f"{t_type} {name}", "showlegend": show, "meta": meta(t_type, key),
        "x": [p[0] for p in points], "y": [p[1] for p in points],
        "text": [hover(e[1], e[0], e[2]) for e in elements],
        "hovertemplate": "%{text}<extra></extra>",
        "marker": {"color": colour, "line": {"width": 0},
                   "symbol": [MARKERS[e[1]][1] for e in elements],
                   "size": [(5 if t_type == "NODE" else 3) * MARKERS[e[1]][2] ** 0.5 or 3
                            for e in elements]},
    }


def node_traces(nodes, name, colour, key):
    return [markers("NODE", key, name, colour, [e[4] for e in nodes], nodes, True)]


def link_traces(links, name, colour, key):
    """The links of one legend entry: their lines as one path broken
    between links (not hovered), and a marker in the middle of each."""
    xs, ys = lines(e[4] for e in links)
    path = {
        "type": "scattergl", "mode": "lines", "name": name, "legend": LEGENDS["LINK"],
        "legendgroup": f"LINK {name}", "meta": meta("LINK", key, "path"),
        "x": xs, "y": ys, "hoverinfo": "skip",
        "line": {"color": colour, "width": 1 if key is None else 2},
    }
    return [path, markers("LINK", key, name, colour, [middle(e[4])[1] for e in links],
                          links, False)]


def lines(paths):
    """The x and y of paths drawn as one line, None between two paths."""
    xs, ys = [], []
    for path in paths:
        for x, y in path:
            xs.append(x)
            ys.append(y)
        xs.append(None)
        ys.append(None)
    return xs, ys


def context_trace(t_type, places):
    if t_type == "LINK":
        xs, ys = lines(places)
    else:
        xs, ys = [p[0] for p in places], [p[1] for p in places]
    return {"type": "scattergl", "mode": "lines" if t_type == "LINK" else "markers",
            "name": "drawn as context", "legend": LEGENDS[t_type],
            "meta": meta(t_type, None, "context"), "x": xs, "y": ys,
            "hoverinfo": "skip", "line": {"color": CONTEXT, "width": 0.7},
            "marker": {"color": CONTEXT, "size": 3}}
