"""The map as a picture (PNG, SVG, PDF) through matplotlib: links as lines
styled by kind over the nodes' markers, a legend in a group per type, a
scale bar, and the zones' names.  Every text from the user is shown as it
is: none is read as mathtext."""

import io
import math

import numpy as np
from matplotlib.artist import Artist
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import PathPatch
from matplotlib.path import Path
from matplotlib.patheffects import withStroke
from matplotlib.text import Text
from matplotlib.transforms import IdentityTransform
from mpl_toolkits.axes_grid1.anchored_artists import AnchoredSizeBar

from .colours import CONTEXT, UNTAGGED
from .maps import LINE_STYLES, MARKERS, label, middle, place_labels
from .output import plural
from .taglines import NOUNS, TYPES

# The order things are drawn in: context behind, nodes, then links over
# them, so that a short link under a tank's marker still shows.
# Inches above the map for its title.
TITLE = 0.45
Z_CONTEXT, Z_JUNCTIONS, Z_NODES, Z_UNTAGGED_LINKS, Z_LINKS, Z_LINK_MARKERS, Z_LABELS = range(7)


class Picture:
    """The figure of one map, with what a caller checks: the legend (label,
    colour) pairs, the colour of each tag that has one, and where each drawn
    element is ({type: {id: point or path}})."""

    def __init__(self, figure, axes, legend, scene):
        self.figure, self.axes, self.legend, self.colours = figure, axes, legend, scene.colours
        self.places = {t: {e[0]: e[4] for e in drawn} for t, drawn in scene.elements.items()}
        self.unplaced, self.drawn = scene.unplaced, scene.drawn


def picture_bytes(scene, title, size, dpi, fmt):
    buffer = io.BytesIO()
    draw(scene, title, size, dpi).figure.savefig(buffer, format=fmt)
    return buffer.getvalue()


def draw(scene, title, size=(10.0, 7.5), dpi=100):
    """A Picture of the scene: links as lines styled by kind, nodes as
    markers by kind, the kind not mapped thin and grey behind them, a legend
    in a group per type with counts, a scale bar in the coordinates' unit
    and the zones' names where the scene has them."""
    figure = Figure(figsize=size, dpi=dpi)
    axes = figure.add_axes((0.0, 0.0, 1.0, 1.0))
    # Thinner lines and smaller points as the network grows; tagged elements
    # stand out from untagged ones at any size.
    n = sum(scene.drawn.values()) + sum(map(len, scene.context.values()))
    width = 1.4 if n < 1_000 else 0.8 if n < 5_000 else 0.5
    area = max(1.5, min(14.0, 10_000 / max(n, 1)))
    if "LINK" in scene.context:
        draw_lines(axes, scene.context["LINK"], CONTEXT, width * 0.5, "solid", Z_CONTEXT)
    if "NODE" in scene.context and scene.context["NODE"]:
        # Small dots over the links, so that the nodes show where they are.
        xs, ys = zip(*scene.context["NODE"])
        axes.scatter(xs, ys, c=CONTEXT, s=area * 0.4, linewidths=0, zorder=Z_CONTEXT)
    if "LINK" in scene.elements:
        draw_links(axes, scene.elements["LINK"], width, area)
    if "NODE" in scene.elements:
        draw_nodes(axes, scene.elements["NODE"], area)
    axes.autoscale_view()
    axes.set_aspect("equal", adjustable="datalim")
    axes.set_axis_off()
    axes.set_title(title, parse_math=False)
    legend = draw_legend(axes, scene)
    scale_bar(axes, scene.unit)
    if scene.labels:
        axes.add_artist(ZoneNames(scene.labels))
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
                   LINE_STYLES[kind], Z_LINKS if tagged else Z_UNTAGGED_LINKS)
        marker, _, scale = MARKERS[kind]
        if marker:
            xs, ys = zip(*(middle(e[4])[1] for e in of_kind))
            axes.scatter(xs, ys, c=colour, marker=marker, s=area * scale * 2,
                         edgecolors="black", linewidths=0.4, zorder=Z_LINK_MARKERS)


def draw_nodes(axes, nodes, area):
    for (kind, colour), of_kind in groups(nodes).items():
        marker, _, scale = MARKERS[kind]
        points = np.array([e[4] for e in of_kind], float)
        junction = kind == "junction"
        axes.scatter(points[:, 0], points[:, 1], c=colour, marker=marker,
                     s=area * scale * (1 if colour == UNTAGGED else 2),
                     edgecolors="none" if junction else "black",
                     linewidths=0 if junction else 0.5, zorder=Z_JUNCTIONS if junction else Z_NODES)


def draw_legend(axes, scene):
    """One legend, a group per type: its title with the number of elements,
    an entry per tag colour with its count, then its kinds with theirs; the
    kind drawn as context has its title only.  Returns the (label, colour)
    pairs of the tag entries."""
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
    # As many columns as the entries need to fit the figure's height (an
    # entry of the "small" font takes about 13.5 points).
    rows = max(1, int(axes.figure.get_figheight() * 72 / 13.5) - 2)
    figure = axes.figure
    top = 1 - TITLE / figure.get_figheight()
    legend = figure.legend(handles, labels, loc="upper right", bbox_to_anchor=(1.0, top),
                           frameon=False, fontsize="small", handlelength=2.2,
                           ncols=-(-len(labels) // rows))
    for i, text in enumerate(legend.get_texts()):
        text.set_parse_math(False)
        if i in titles:
            text.set_fontweight("bold")
    # The map takes the width the legend leaves, measured once (a layout
    # engine measures every text of a long legend again on each pass).
    width = legend.get_window_extent(FigureCanvasAgg(figure).get_renderer()).width / figure.bbox.width
    margin = 0.1 / figure.get_figwidth()
    axes.set_position((margin, margin, max(0.2, 1 - width - 3 * margin), top - margin))
    return tags


def scale_bar(axes, unit):
    """A bar of a round length, about a fifth of the width, in the
    coordinates' unit."""
    left, right = axes.get_xlim()
    span = (right - left) / 5
    if not span > 0:
        return
    step = 10 ** math.floor(math.log10(span))
    length = max(m * step for m in (1, 2, 5) if m * step <= span)
    text = f"{length:g} ({unit})" if unit == "model units" else f"{length:g} {unit}"
    axes.add_artist(AnchoredSizeBar(axes.transData, length, text, "lower right", frameon=False,
                                    size_vertical=0, fontproperties={"size": 8}))


class ZoneNames(Artist):
    """The zones' names, placed as they are drawn, once the axes have their
    final size in this format: each name near its point, none over another,
    with a thin line to its point when moved off it."""

    zorder = Z_LABELS

    def __init__(self, labels):
        super().__init__()
        self.labels = labels

    def draw(self, renderer):
        pixels = IdentityTransform()
        anchors = self.axes.transData.transform([point for _, point in self.labels])
        texts = [Text(0, 0, label(tag), ha="center", va="center", fontsize=9, fontweight="bold",
                      parse_math=False, transform=pixels, figure=self.figure,
                      path_effects=[withStroke(linewidth=3, foreground="white")])
                 for tag, _ in self.labels]
        sizes = [text.get_window_extent(renderer).size for text in texts]
        offsets = place_labels(anchors, sizes, self.axes.bbox.extents)
        self.boxes = []         # where each name was drawn, in pixels
        for text, (x, y), (dx, dy) in zip(texts, anchors, offsets):
            if dx or dy:
                Line2D([x, x + dx], [y, y + dy], transform=pixels, color="#333333",
                       linewidth=0.7, figure=self.figure).draw(renderer)
            text.set_position((x + dx, y + dy))
            text.draw(renderer)
            self.boxes.append(text.get_window_extent(renderer))
