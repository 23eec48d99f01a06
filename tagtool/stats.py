"""stats: what each tag holds in the model, the questions zones are drawn
for.  Per tag, and for the untagged: its nodes and links by kind, its pipe
length, its junctions' demand, its elevations, the links across its
boundary; with --simulate, from a run of EPANET, the pressure over its
junctions and the net inflow through its boundary at the report times.

A node belongs to the tag it carries; a link to its own tag or, carrying
none, to the tag both its end nodes carry, so that zones drawn on nodes
alone still have their pipes.  A tag's boundary: the links with exactly one
end node carrying it.  Figures are in the file's own units (Model.units)."""

import csv
import io
import math

from api import orvane

from .formats import as_json
from .linked import model_path
from .maps import save
from .model import read_model
from .options import add_format, add_where
from .output import out, plural, say, shown
from .taglines import TYPES
from .where import select

NODE_KINDS = ("junction", "tank", "reservoir")
LINK_KINDS = ("pipe", "pump", "valve")


def register(command):
    sub = command("stats", cmd_stats, "net1 --simulate --format json",
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


def cmd_stats(args):
    path = model_path(args.network, args.model)
    if path is None:
        args.parser.error(f"give --model INP: network {args.network!r} has no linked model")
    write_stats(tag_stats(args.network, path, args.where, args.simulate), args.format,
                args.output)


def tag_stats(network, path, where=None, simulate=False):
    """The report of stats: the figures of each tag of ``network`` in the
    model ``path`` (of the elements the expression ``where`` chooses), with
    ``simulate`` those of a run of EPANET too."""
    tags = orvane.get_tags(network)
    model = read_model(path, attributes=True)
    chosen = None if where is None else select(where, model, lambda: tags, TYPES)
    zones = members(model, tags, chosen)
    rows = [figures(model, tag, zone) for tag, zone in zones.items()]
    if simulate:
        from . import simulate as simulation

        simulation.simulate(path, zones, rows)
    return {"network": network, "model": path, "units": model.units(), "tags": rows}


def write_stats(report, fmt="text", output=None):
    """Write the report in ``fmt`` (text, json, csv) to the file ``output``
    (None or "-": standard output)."""
    text = {"json": lambda r: as_json(r) + "\n", "csv": csv_text}.get(fmt, table)(report)
    if output in (None, "-"):
        out(text.rstrip("\n"))
    else:
        rows = report["tags"]
        save(output, text.encode("utf-8"))
        say(f"wrote {output}: {plural(len(rows), 'row')} ({len(rows) - 1} tags and the "
            "untagged)")


class Zone:
    """The elements of one tag (None: the untagged) by type, and its boundary
    links with the sign of a flow into it (+1: the link ends in the zone)."""

    def __init__(self):
        self.nodes, self.links, self.boundary = [], [], []


def members(model, tags, chosen=None):
    """{tag: Zone} of the model's elements (those ``chosen``, {type: ids},
    when given), the tags in text order and the untagged last."""
    stored = {t: {} for t in TYPES}
    for tag in tags:
        if tag["tag"] is not None:
            stored[tag["t_type"]][tag["id"]] = tag["tag"]
    node_tag, link_tag = stored["NODE"], stored["LINK"]
    nodes = model.nodes if chosen is None else chosen["NODE"]
    links = model.links if chosen is None else chosen["LINK"]
    zones = {}

    def zone(tag):
        found = zones.get(tag)
        return found if found is not None else zones.setdefault(tag, Zone())

    for id in nodes:
        zone(node_tag.get(id)).nodes.append(id)
    ends = model.links
    for id in links:
        start, end = ends[id]
        a, b = node_tag.get(start), node_tag.get(end)
        tag = link_tag.get(id, a if a == b else None)
        zone(tag).links.append(id)
        if a != b:
            for side, sign in ((a, -1), (b, 1)):
                if side is not None:
                    zone(side).boundary.append((id, sign))
    zones.setdefault(None, Zone())
    return {tag: zones[tag] for tag in sorted(zones, key=lambda t: (t is None, t or ""))}


def figures(model, tag, zone):
    """The model's figures of one zone, as the JSON gives them."""
    kinds, columns = model.nodes, model.columns
    link_kinds = model.link_kinds
    nodes = dict.fromkeys(NODE_KINDS, 0)
    for id in zone.nodes:
        nodes[kinds[id]] += 1
    links = dict.fromkeys(LINK_KINDS, 0)
    for id in zone.links:
        links[link_kinds[id]] += 1
    length = columns["pipe"]["length"]
    demand = columns["junction"]["demand"]
    heights = [h for column in (columns["junction"]["elevation"], columns["tank"]["elevation"])
               for h in map(column.get, zone.nodes) if h is not None]
    return {"tag": tag, "nodes": nodes, "links": links,
            "pipe_length": math.fsum(length.get(id, 0.0) for id in zone.links),
            "demand": math.fsum(demand.get(id, 0.0) for id in zone.nodes),
            "elevation": {"min": min(heights, default=None), "max": max(heights, default=None)},
            "boundary": [id for id, _ in zone.boundary]}


# ---------------------------------------------------------------------------
# the outputs

def rounded(value):
    if value is None:
        return "-"
    return f"{value:,.2f}" if abs(value) < 1e15 else f"{value:.6g}"


def clock(seconds):
    if seconds is None:
        return "-"
    return f"{seconds // 3600}:{seconds % 3600 // 60:02d}:{seconds % 60:02d}"


def columns(units, simulated):
    """(heading, unit, value of a row) of each column of the table and of
    the CSV."""
    cols = [(kind + "s", "", lambda r, k=kind, g=group: r[g][k])
            for group, kinds in (("nodes", NODE_KINDS), ("links", LINK_KINDS)) for kind in kinds]
    cols += [("pipe length", units["length"], lambda r: r["pipe_length"]),
             ("demand", units["flow"], lambda r: r["demand"]),
             ("elevation min", units["elevation"], lambda r: r["elevation"]["min"]),
             ("elevation max", units["elevation"], lambda r: r["elevation"]["max"]),
             ("boundary links", "", lambda r: len(r["boundary"]))]
    if simulated:
        for part in ("pressure", "inflow"):
            for key in ("min", "mean", "max"):
                cols.append((f"{part} {key}", units["pressure" if part == "pressure" else "flow"],
                             lambda r, p=part, k=key: r[p] and r[p][k]))
            if part == "pressure":
                cols.append(("pressure min time", "s", lambda r: r["pressure"] and
                             r["pressure"]["min_time"]))
    return cols


def csv_text(report):
    buffer = io.StringIO()
    writer = csv.writer(buffer)
    cols = columns(report["units"], "pressure" in report["tags"][0])
    writer.writerow(["tag", *(f"{h} {u}".strip().replace(" ", "_") for h, u, _ in cols),
                     "boundary"])
    for row in report["tags"]:
        writer.writerow([row["tag"] if row["tag"] is not None else "",
                         *(value(row) for _, _, value in cols), " ".join(row["boundary"])])
    return buffer.getvalue()


def table(report):
    """The figures as a table to read at a glance: a column per tag (tags
    run long, so they head the columns), then each tag's boundary links."""
    rows = report["tags"]
    units = report["units"]
    cols = columns(units, "pressure" in rows[0])
    names = [shown(r["tag"]) if r["tag"] is not None else "(untagged)" for r in rows]
    lines = []
    for heading, unit, value in cols:
        cells = []
        for r in rows:
            v = value(r)
            cells.append(clock(v) if unit == "s" else str(v) if isinstance(v, int)
                         else rounded(v))
        lines.append((f"{heading} ({unit})" if unit and unit != "s" else heading, cells))
    first = max(len(label) for label, _ in lines)
    widths = [max(len(name), *(len(cells[i]) for _, cells in lines)) for i, name in
              enumerate(names)]
    text = [f"{report['network']}: {report['model']}; units: length {units['length']}, "
            f"diameter {units['diameter']}, flow {units['flow']}, pressure {units['pressure']}",
            " " * first + "".join(f"  {n:>{w}}" for n, w in zip(names, widths))]
    text += [f"{label:<{first}}" + "".join(f"  {c:>{w}}" for c, w in zip(cells, widths))
             for label, cells in lines]
    for name, r in zip(names, rows):
        if r["boundary"]:
            text.append(f"boundary of {name}: {' '.join(map(shown, r['boundary']))}")
    return "\n".join(text) + "\n"
