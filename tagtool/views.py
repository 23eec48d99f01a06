"""The commands that show a network's tags as a whole: summary (each tag
and its count) and map (the network drawn from a model's coordinates,
coloured by tag)."""

import collections
import io
import os

from api import orvane

from .formats import write_object, write_rows
from .model import read_model
from .output import out, plural, shown, warn
from .taglines import TYPES
from .transfer import save

NOUNS = {"NODE": "node", "LINK": "link"}

# Okabe and Ito's colour-blind-safe palette, in the order the most frequent
# tags take it; the rest share "other", and untagged elements stay faint.
PALETTE = ["#E69F00", "#0072B2", "#009E73", "#D55E00", "#56B4E9", "#CC79A7", "#F0E442"]
OTHER = "#555555"
UNTAGGED = "#CCCCCC"
PICTURES = ("png", "svg", "pdf")
LABEL = 40          # characters of a tag shown in the legend


def tag_counts(tags):
    """{type: Counter of tag values} of the stored tags (a missing tag is
    no tag), and {type: set of tagged ids}."""
    counts = {t: collections.Counter() for t in TYPES}
    tagged = {t: set() for t in TYPES}
    for tag in tags:
        if tag["tag"] is not None:
            counts[tag["t_type"]][tag["tag"]] += 1
            tagged[tag["t_type"]].add(tag["id"])
    return counts, tagged


def ranked(counter):
    """(tag, count) pairs, most frequent first, then in text order."""
    return sorted(counter.items(), key=lambda pair: (-pair[1], pair[0]))


# ---------------------------------------------------------------------------
# summary

def cmd_summary(args):
    counts, tagged = tag_counts(orvane.get_tags(args.network))
    model = read_model(args.model) if args.model is not None else None
    kinds = {}
    for t_type in TYPES:
        kind = {"tagged": len(tagged[t_type]),
                "tags": [{"tag": tag, "count": n} for tag, n in ranked(counts[t_type])]}
        if model is not None:
            ids = model.elements(t_type)
            kind["in_model"] = len(ids)
            kind["untagged"] = sum(1 for id in ids if id not in tagged[t_type])
            kind["not_in_model"] = sum(1 for id in tagged[t_type] if id not in ids)
        kinds[t_type] = kind
    if args.format == "json":
        write_object({"network": args.network, "model": args.model, **kinds})
    elif args.format == "csv":
        write_rows("csv", ("type", "status", "tag", "count"), summary_rows(kinds), None)
    else:
        for t_type, kind in kinds.items():
            summary_text(t_type, kind, args.model)


def summary_rows(kinds):
    for t_type, kind in kinds.items():
        for entry in kind["tags"]:
            yield t_type, "tagged", entry["tag"], entry["count"]
        if "untagged" in kind:
            yield t_type, "untagged", "", kind["untagged"]
            yield t_type, "not in model", "", kind["not_in_model"]


def summary_text(t_type, kind, model):
    noun = NOUNS[t_type]
    line = f"{noun}s: {kind['tagged']} tagged, {plural(len(kind['tags']), 'tag')}"
    if model is not None:
        line += (f"; {model}: {plural(kind['in_model'], noun)}, {kind['untagged']} untagged")
        if kind["not_in_model"]:
            line += f", {kind['not_in_model']} tagged {noun}s not in it"
    out(line)
    width = len(str(kind["tags"][0]["count"])) if kind["tags"] else 1
    for entry in kind["tags"]:
        out(f"  {entry['count']:>{width}}  {shown(entry['tag'])}")


# ---------------------------------------------------------------------------
# map

def cmd_map(args):
    kind = os.path.splitext(args.output)[1][1:].lower()
    if kind not in PICTURES:
        args.parser.error(f"argument -o/--output: {args.output!r} does not end in "
                          ".png, .svg or .pdf")
    tags = orvane.get_tags(args.network)
    model = read_model(args.model)
    kinds = (args.type.upper(),) if args.type else TYPES
    picture = draw(model, tags, kinds, args.network)
    data = io.BytesIO()
    picture.figure.savefig(data, format=kind)
    save(args.output, data.getvalue())
    for t_type, n in picture.unplaced.items():
        if n:
            warn(f"{args.model}: {plural(n, NOUNS[t_type])} without coordinates, not drawn")
    for t_type in kinds:
        ids = model.elements(t_type)
        missing = sum(1 for t in tags if t["t_type"] == t_type and t["id"] not in ids)
        if missing:
            warn(f"{args.model}: {plural(missing, 'tagged ' + NOUNS[t_type])} not in the model, "
                 "not drawn")
    drawn = " and ".join(plural(picture.drawn[t], NOUNS[t]) for t in kinds)
    out(f"wrote {args.output}: {drawn}, {plural(len(picture.legend), 'colour')}")


class Picture:
    """The figure of one map, with what a caller checks: the legend (label,
    colour) pairs, the colour of each tag that has one, where each drawn
    element is ({type: {id: point or path}}), and how many of each type
    were not drawn."""

    def __init__(self, figure, axes, legend, colours, places, unplaced):
        self.figure, self.axes, self.legend, self.colours = figure, axes, legend, colours
        self.places, self.unplaced = places, unplaced
        self.drawn = {t: len(p) for t, p in places.items()}


def draw(model, tags, kinds, title):
    """A Picture of ``model``'s elements of ``kinds``, each coloured by its
    tag in ``tags`` (the network's tags)."""
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    stored = {(t["t_type"], t["id"]): t["tag"] for t in tags if t["tag"] is not None}
    # Untagged elements first, so that tagged ones are drawn over them.
    elements = sorted(((t_type, id, stored.get((t_type, id)))
                       for t_type in kinds for id in model.elements(t_type)),
                      key=lambda e: (e[2] is not None, e[0], e[1]))
    counts = collections.Counter(tag for _, _, tag in elements if tag is not None)
    colours = dict(zip((tag for tag, _ in ranked(counts)), PALETTE))
    places, lines, points = place(model, elements, colours)

    figure = Figure(figsize=(10, 7.5), dpi=100, layout="constrained")
    axes = figure.add_subplot()
    # Thinner lines and smaller points as the network grows; tagged elements
    # stand out from untagged ones at any size.
    size = len(lines[0]) + len(points[0])
    width, area = (1.5 if size < 5_000 else 0.5), max(2.0, min(14.0, 20_000 / size))
    if lines[0]:
        axes.add_collection(LineCollection(
            lines[0], colors=lines[1], zorder=1,
            linewidths=[width * (1 if c == UNTAGGED else 2) for c in lines[1]]))
    if points[0]:
        xs, ys = zip(*points[0])
        axes.scatter(xs, ys, c=points[1], s=[area * (1 if c == UNTAGGED else 2) for c in points[1]],
                     linewidths=0, zorder=2)
    axes.autoscale_view()
    axes.set_aspect("equal", adjustable="datalim")
    axes.set_axis_off()

    legend = legend_entries(elements, counts, colours, kinds)
    style = "-" if "LINK" in kinds else ""
    axes.legend([Line2D([], [], color=c, marker="o", linestyle=style) for _, c in legend],
                [text for text, _ in legend], loc="upper left", bbox_to_anchor=(1.0, 1.0),
                frameon=False, title="tag (elements)")
    what = " and ".join(NOUNS[t] + "s" for t in kinds)
    axes.set_title(f"{title}: tags of {what} ({os.path.basename(model.path)})")
    unplaced = {t: len(model.elements(t)) - len(places[t]) for t in kinds}
    if any(unplaced.values()):
        figure.text(0.01, 0.01, "not drawn, no coordinates: " + ", ".join(
            plural(n, NOUNS[t]) for t, n in unplaced.items() if n), fontsize=8)
    return Picture(figure, axes, legend, colours, places, unplaced)


def place(model, elements, colours):
    """Where each element is drawn and in which colour: ({type: {id: point
    or path}}, (link paths, their colours), (node points, their colours)).
    Elements without coordinates are left out."""
    places = {t_type: {} for t_type, _, _ in elements}
    lines, points = ([], []), ([], [])
    for t_type, id, tag in elements:
        at = model.coordinates.get(id) if t_type == "NODE" else model.link_path(id)
        if at is None:
            continue
        places[t_type][id] = at
        drawn = points if t_type == "NODE" else lines
        drawn[0].append(at)
        drawn[1].append(UNTAGGED if tag is None else colours.get(tag, OTHER))
    return places, lines, points


def legend_entries(elements, counts, colours, kinds):
    """(label, colour) of each coloured tag, of "other" and of "untagged"."""
    legend = [(f"{label(tag)} ({counts[tag]})", colour) for tag, colour in colours.items()]
    if len(counts) > len(colours):
        rest = sum(counts.values()) - sum(counts[tag] for tag in colours)
        legend.append((f"other: {plural(len(counts) - len(colours), 'tag')} ({rest})", OTHER))
    untagged = collections.Counter(t_type for t_type, _, tag in elements if tag is None)
    if untagged:
        legend.append(("untagged (" + ", ".join(plural(untagged[t], NOUNS[t]) for t in kinds
                                                 if untagged[t]) + ")", UNTAGGED))
    return legend


def label(tag):
    text = shown(tag)
    return text if len(text) <= LABEL else text[:LABEL - 1] + "…"
