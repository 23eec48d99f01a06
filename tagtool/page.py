"""The map as one HTML page through plotly, drawn with WebGL: a legend per
type (nodes, links) with an entry per tag that shows and hides its
elements and one per kind with the picture's symbol, hover texts, and the
zones' names.  plotly reads its texts as markup (tags, entities, $...$):
every text from the user goes through ``escaped`` and shows as it is."""

import collections

import plotly.io

from .colours import CONTEXT
from .maps import MARKERS, label, middle, place_labels
from .output import shown
from .taglines import NOUNS, TYPES

LEGENDS = {"NODE": "legend", "LINK": "legend2"}
# The plot's size in pixels that the zones' names are placed for (a small
# window's): a page shown larger only moves them further apart.
PLOT = (700.0, 450.0)
FONT = 12               # the names' font size in pixels
# Characters plotly reads as markup, and the entities it shows as the
# character itself ("$" would start mathematics); "&" first.
MARKUP = (("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ("$", "&#36;"))


def escaped(text):
    """A text from the user as plotly shows it literally."""
    return markup(shown(text))


def markup(text):
    """A text already shown (``shown``, ``label``) as plotly shows it
    literally; str.replace, ten times faster than str.translate here: it
    runs for every id and tag of the page."""
    for char, entity in MARKUP:
        text = text.replace(char, entity)
    return text


def page(scene, title):
    """One HTML page holding plotly's script and the scene; hover tells the
    kind, id and tag of a node, or of a link at the marker in its middle."""
    traces = []
    for t_type, places in scene.context.items():
        traces.append(context_trace(t_type, places))
    for t_type, elements in scene.elements.items():
        # The kinds last in the legend (which lists the traces in reverse).
        traces.extend(kind_trace(t_type, kind, n) for kind, n in reversed(scene.kinds[t_type].items()))
        by_entry = collections.defaultdict(list)
        for element in elements:
            tag = element[2]
            by_entry[... if tag is not None and tag not in scene.shown else tag].append(element)
        # Untagged first, so that tagged elements are drawn over them; the
        # legends list them the other way round.
        for text, colour, key in reversed(scene.legend(t_type)):
            if by_entry[key]:
                make = node_traces if t_type == "NODE" else link_traces
                traces.extend(make(by_entry[key], markup(text), colour, key))
    legends = {}
    for t_type in TYPES:
        name = LEGENDS[t_type]
        title_text = (f"{NOUNS[t_type]}s (context)" if t_type in scene.context
                      else scene.group_title(t_type) if t_type in scene.elements else None)
        if title_text:
            top = 1 if t_type == "NODE" else links_top(scene)
            height = 1 - links_top(scene) - 0.03 if t_type == "NODE" else top
            legends[name] = {"title": {"text": f"<b>{title_text}</b>"}, "x": 1.02,
                             "y": top, "yanchor": "top", "maxheight": height,
                             "itemsizing": "constant", "tracegroupgap": 0,
                             "traceorder": "reversed"}
    layout = {
        "title": {"text": escaped(title)}, "hovermode": "closest", "dragmode": "pan",
        "xaxis": {"visible": False}, "yaxis": {"visible": False, "scaleanchor": "x"},
        "plot_bgcolor": "white", "margin": {"l": 10, "r": 10, "t": 50, "b": 10}, **legends,
        "annotations": zone_names(scene),
    }
    return plotly.io.to_html({"data": traces, "layout": layout}, include_plotlyjs=True,
                             full_html=True, validate=False, div_id="map",
                             default_width="100%", default_height="95vh",
                             config={"scrollZoom": True, "displaylogo": False})


def links_top(scene):
    """Where the links' legend begins, below the nodes' one: its entries
    (tags, kinds and title) at about 1/30 of a page's height each; each
    legend scrolls within its half when both are long."""
    if "NODE" not in scene.elements:
        return 0.9
    entries = len(scene.legend("NODE")) + len(scene.kinds["NODE"]) + 2
    return min(0.9, max(0.5, 1 - entries / 30))


def meta(t_type, key, role=None):
    """What a trace shows, for a script that reads the page: the type, the
    tag ("other": the tags without a colour; None: untagged) and its role
    ("tag", "untagged", "path": the lines of links whose markers are the
    "tag" or "untagged" trace beside it, "context", or "kind": a legend
    entry of a kind, drawing nothing)."""
    return {"type": t_type, "tag": "other" if key is ... else key,
            "role": role or ("untagged" if key is None else "tag")}


def hover(kind, id, tag):
    return f"{kind} {escaped(id)}<br>tag: {'none' if tag is None else escaped(tag)}"


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
    # Junctions first: the legend shows the first marker's symbol, a circle
    # as in the picture's legend wherever the tag has a junction.
    nodes = sorted(nodes, key=lambda e: e[1] != "junction")
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


def kind_trace(t_type, kind, n):
    """A legend entry of a kind with the picture's symbol (white, outlined
    black; a pump's line dashed), drawing nothing."""
    symbol, size = MARKERS[kind][1], MARKERS[kind][2]
    link = t_type == "LINK"
    return {
        "type": "scatter", "mode": ("lines+markers" if size else "lines") if link else "markers",
        "name": f"{kind} ({n})", "legend": LEGENDS[t_type], "meta": meta(t_type, None, "kind"),
        "x": [None], "y": [None], "hoverinfo": "skip",
        "line": {"color": "black", "width": 1, "dash": "dash" if kind == "pump" else "solid"},
        "marker": {"symbol": symbol, "color": "white", "size": 8 if size else 0,
                   "line": {"color": "black", "width": 1}},
    }


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


def zone_names(scene):
    """An annotation per zone's name: at its point, or moved off it by a
    few pixels with a line to it, so that no two overlap on a plot of PLOT
    pixels (zooming in only moves them further apart)."""
    if not scene.labels:
        return []
    x0, y0, x1, y1 = scene.bounds
    scale = min(PLOT[0] / ((x1 - x0) or 1), PLOT[1] / ((y1 - y0) or 1))
    anchors = [((x - x0) * scale, (y - y0) * scale) for _, (x, y) in scene.labels]
    sizes = [(0.62 * FONT * len(label(tag)) + 6, FONT * 1.4) for tag, _ in scene.labels]
    offsets = place_labels(anchors, sizes, (-FONT, -FONT, PLOT[0] + FONT, PLOT[1] + FONT))
    return [{"x": x, "y": y, "text": f"<b>{markup(label(tag))}</b>", "showarrow": bool(dx or dy),
             "ax": dx, "ay": -dy, "arrowhead": 0, "arrowwidth": 0.8, "arrowcolor": "#333333",
             "font": {"size": FONT, "color": "black"}, "bgcolor": "rgba(255, 255, 255, 0.75)"}
            for (tag, (x, y)), (dx, dy) in zip(scene.labels, offsets)]
