"""stats: what each tag holds in the model, the questions zones are drawn
for.  Per tag, and for the untagged: its nodes and links by kind, its pipe
length, its junctions' demand, its elevations, the links across its
boundary; with --simulate, from a run of EPANET, the pressure over its
junctions and the net inflow through its boundary at the report times.

A node belongs to the tag it carries; a link to its own tag or, carrying
none, to the tag both its end nodes carry, so that zones drawn on nodes
alone still have their pipes.  A tag's boundary: the links with exactly one
end node carrying it.  Figures are in the file's own units (Model.units)."""

import collections
import csv
import io
import itertools
import math

from api import orvane

from .formats import as_json
from .linked import load_model, model_path
from .maps import save
from .options import add_format, add_where
from .output import out, plural, say, shown
from .taglines import TYPES
from .where import compared, select

NODE_KINDS = ("junction", "tank", "reservoir")
LINK_KINDS = ("pipe", "pump", "valve")
# The columns the figures read, in the order they are first read.
READ = (("pipe", "length"), ("junction", "demand"), ("junction", "elevation"), ("tank", "elevation"))


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
    # The columns of the expression are read first, as select reads them;
    # a refused one is refused before any is read.
    columns = () if where is None else compared(where, TYPES)
    model = load_model(network, path, ("nodes", "links", "link_kinds"),
                       columns=() if columns is None else list(dict.fromkeys([*columns, *READ])))
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
    links = list(model.links) if chosen is None else chosen["LINK"]
    zones = collections.defaultdict(Zone)
    # Grouped a zone at a time: each element looked up once, in the model's order.
    for tag, ids in grouped(nodes, map(node_tag.get, nodes)).items():
        zones[tag].nodes = ids
    # The tags of each link's ends; a link whose ends differ crosses.
    get = node_tag.get
    ends = [(get(a), get(b)) for a, b in (model.links.values() if chosen is None else
                                          map(model.links.__getitem__, links))]
    sides = [a if a == b else None for a, b in ends]
    for tag, ids in grouped(links, map(link_tag.get, links, sides) if link_tag else sides).items():
        zones[tag].links = ids
    for id, (a, b) in zip(links, ends):
        if a != b:
            if a is not None:
                zones[a].boundary.append((id, -1))
            if b is not None:
                zones[b].boundary.append((id, 1))
    zones[None]
    return {tag: zones[tag] for tag in sorted(zones, key=lambda t: (t is None, t or ""))}


def grouped(ids, tags):
    """{tag: its ids of ``ids``, in their order}, ``tags`` giving each id's."""
    groups = collections.defaultdict(list)
    for id, tag in zip(ids, tags):
        groups[tag].append(id)
    return groups


def figures(model, tag, zone):
    """The model's figures of one zone, as the JSON gives them."""
    columns = model.columns
    length, demand, junctions, tanks = (columns[kind][name] for kind, name in READ)
    kinds = list(map(model.nodes.__getitem__, zone.nodes))
    nodes = {kind: kinds.count(kind) for kind in NODE_KINDS}
    kinds = list(map(model.link_kinds.__getitem__, zone.links))
    links = {kind: kinds.count(kind) for kind in LINK_KINDS}
    found = [h for column in (junctions, tanks)
             for h in map(column.get, zone.nodes) if h is not None]
    return {"tag": tag, "nodes": nodes, "links": links,
            "pipe_length": math.fsum(map(length.get, zone.links, itertools.repeat(0.0))),
            "demand": math.fsum(map(demand.get, zone.nodes, itertools.repeat(0.0))),
            "elevation": {"min": min(found, default=None), "max": max(found, default=None)},
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
