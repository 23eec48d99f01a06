"""The zones command: tag the elements of a model by the polygons of a
GeoJSON file (pressure zones, district metered areas drawn in GIS).

A node lies in a zone when its coordinates lie inside the feature's polygon
or multipolygon or on its boundary (a hole is outside); a link lies in a
zone when both its end nodes do.  The points are found with an STRtree of
the polygons, so a hundred thousand nodes against hundreds of polygons is a
matter of a second.  The file's coordinates must be the model's: no polygon
over the model's extent means another coordinate system, and is refused."""

import json
import os

from .bulk import apply_tags, report
from .elements import KIND_TYPES
from .extras import need
from .inpfile import read_bytes
from .linked import load_model
from .jsontext import load_json
from .options import add_dry_run, add_strict
from .taglines import NOUNS
from .output import DATA_ERROR, NO_INPUT, Failure, bad_line, plural, quoted, say, shown, warn

AREAS = ("Polygon", "MultiPolygon")
LISTED = 20         # conflicts listed one by one


class Zones:
    """The zones of a GeoJSON file: the name and the geometry of each
    feature, in the file's order."""

    def __init__(self, path, names, shapes):
        self.path, self.names, self.shapes = path, names, shapes


def read_zones(path, prop):
    """The Zones of the GeoJSON file ``path``, each named by its property
    ``prop``; a feature that is not a polygon or multipolygon with that
    property is refused, naming its index and value."""
    import shapely
    from shapely.geometry import shape

    try:
        data = read_bytes(path)
    except Failure as e:
        raise Failure(str(e), NO_INPUT) from None
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise Failure(f"{path}: not GeoJSON: {e}", DATA_ERROR) from None
    document = load_json(path, text)
    if isinstance(document, dict) and document.get("type") == "Feature":
        features = [document]
    elif isinstance(document, dict) and isinstance(document.get("features"), list):
        features = document["features"]
    else:
        raise Failure(f"{path}: not GeoJSON: a FeatureCollection or a Feature holds the "
                      "polygons", DATA_ERROR)
    names, shapes, bad = [], [], 0
    for index, feature in enumerate(features):
        problem, name, geometry = feature_problem(feature, prop)
        if problem is None:
            try:
                geometry = shape(geometry)
            except Exception as e:
                problem = f"bad {feature['geometry'].get('type')} coordinates ({e})"
            else:
                if not geometry.is_valid:
                    problem = f"not a valid polygon: {shapely.is_valid_reason(geometry)}"
        if problem is not None:
            bad_line(path, f"feature {index}", problem,
                     json.dumps(feature, ensure_ascii=False)[:200])
            bad += 1
            continue
        names.append(name)
        shapes.append(geometry)
    if bad:
        raise Failure(f"{path}: nothing written: {plural(bad, 'bad feature')}", DATA_ERROR)
    if not shapes:
        raise Failure(f"{path}: no polygon to place elements in", DATA_ERROR)
    return Zones(path, names, shapes)


def feature_problem(feature, prop):
    """(problem or None, zone name, geometry) of one GeoJSON feature."""
    if not isinstance(feature, dict) or feature.get("type") != "Feature":
        return "not a GeoJSON Feature", None, None
    geometry, properties = feature.get("geometry"), feature.get("properties")
    if not isinstance(geometry, dict) or geometry.get("type") not in AREAS:
        kind = geometry.get("type") if isinstance(geometry, dict) else geometry
        return f"its geometry is {shown(json.dumps(kind))}, not a Polygon or MultiPolygon", None, None
    name = properties.get(prop) if isinstance(properties, dict) else None
    if type(name) in (int, float):
        name = json.dumps(name)
    if type(name) is not str or not name:
        return (f"no property {quoted(prop)} to name its zone (it has "
                f"{shown(json.dumps(name))})", None, None)
    if "\x00" in name:
        return f"its property {quoted(prop)} holds a NUL character", None, None
    return None, name, geometry


def node_zones(model, zones, first):
    """({node: zone index}, conflicts [(node, [zone indices])]) of the
    model's nodes with coordinates; with ``first`` a node in several zones
    takes the first, and no conflict is kept."""
    import numpy
    import shapely

    ids = list(model.coordinates)
    if not ids:
        raise Failure(f"{model.path}: no [COORDINATES]: no node can be placed in a zone",
                      DATA_ERROR)
    xy = numpy.array([model.coordinates[id] for id in ids], dtype=float)
    extent = shapely.box(*xy.min(axis=0), *xy.max(axis=0))
    tree = shapely.STRtree(zones.shapes)
    if not len(tree.query(extent, predicate="intersects")):
        lo, hi = xy.min(axis=0), xy.max(axis=0)
        raise Failure(f"{zones.path}: no polygon overlaps the model's extent (x {lo[0]:g} to "
                      f"{hi[0]:g}, y {lo[1]:g} to {hi[1]:g}): different coordinate systems? "
                      "nothing written", DATA_ERROR)
    points, hits = tree.query(shapely.points(xy), predicate="intersects")
    order = numpy.lexsort((hits, points))        # by node, then by feature
    points, hits = points[order], hits[order]
    starts = numpy.flatnonzero(numpy.r_[True, points[1:] != points[:-1]])
    where = dict(zip((ids[i] for i in points[starts].tolist()), hits[starts].tolist()))
    conflicts = []
    if not first:
        counts = numpy.diff(numpy.r_[starts, len(points)])
        for start, n in zip(starts[counts > 1].tolist(), counts[counts > 1].tolist()):
            inside = hits[start:start + n].tolist()
            if len({zones.names[i] for i in inside}) > 1:    # one zone drawn in parts is one
                conflicts.append((ids[points[start]], inside))
    return where, conflicts


def register(command):
    sub = command("zones", cmd_zones, "net1 model.inp zones.geojson",
                  "Tag every node of MODEL whose coordinates lie inside (or on the boundary "
                  "of) a polygon or multipolygon of ZONES with that feature's property, and "
                  "every link whose two end nodes lie in the same zone. Elements in no zone, "
                  "and links between zones, keep their tags (lose them with --replace). A "
                  "node in two polygons is a conflict: they are listed and nothing is "
                  "written, unless --first. The "
                  "file's coordinates are the model's (no polygon over the model's extent is "
                  "refused).")
    sub.add_argument("model", metavar="MODEL", help="the INP file that places the elements")
    sub.add_argument("zones", metavar="ZONES", help="the GeoJSON file of the polygons")
    sub.add_argument("--property", default="name", metavar="NAME",
                     help="the feature property that gives the tag (default: name)")
    sub.add_argument("--type", type=str.upper, choices=("NODE", "LINK"),
                     help="tag only nodes or only links")
    sub.add_argument("--kind", choices=KIND_TYPES,
                     help="tag only the elements of this kind (junctions, say)")
    sub.add_argument("--first", action="store_true",
                     help="a node in several polygons takes the first feature's zone")
    sub.add_argument("--replace", action="store_true",
                     help="every placed element chosen ends with exactly the zoning: one in no "
                          "zone, or a link between zones, loses its tag (elements without "
                          "coordinates and ids the model lacks keep theirs)")
    add_dry_run(sub)
    add_strict(sub)


def cmd_zones(args):
    tag_zones(args.network, args.model, args.zones, args.property, t_type=args.type,
              kind=args.kind, first=args.first, replace=args.replace, dry_run=args.dry_run,
              strict=args.strict)


def tag_zones(network, model_path, zones_path, prop="name", t_type=None, kind=None, first=False,
              replace=False, dry_run=False, strict=False):
    """Tag the elements of the model ``model_path`` inside the zones of the
    GeoJSON file ``zones_path`` (named by their property ``prop``) in
    ``network``, as one undoable command: only ``t_type``'s or ``kind``'s
    elements when given; ``first`` settles a node in several zones, and
    with ``replace`` the placed elements in no zone lose their tags."""
    need("shapely", "numpy")
    zones = read_zones(zones_path, prop)
    model = load_model(network, model_path, write=not dry_run)
    where, conflicts = node_zones(model, zones, first)
    if conflicts:
        for node, hits in conflicts[:LISTED]:
            inside = " and ".join(f"{quoted(zones.names[i])} (feature {i})" for i in hits)
            warn(f"NODE {shown(node)} lies in {inside}")
        if len(conflicts) > LISTED:
            warn(f"... and {plural(len(conflicts) - LISTED, 'more node')} in more than one zone")
        raise Failure(f"{zones_path}: nothing written: {plural(len(conflicts), 'node')} in more "
                      "than one zone (--first takes the first feature)", DATA_ERROR)
    kinds = (t_type,) if t_type else ("NODE", "LINK")
    if kind is not None:
        if t_type is not None and t_type != KIND_TYPES[kind]:
            raise Failure(f"a {kind} is a {KIND_TYPES[kind]}, not a {t_type}")
        kinds = (KIND_TYPES[kind],)

    def chosen(ids):
        return ids if kind is None else model.of_kind(kind)
    # Placed: a node with coordinates, a link whose ends have them.  With
    # --replace the elements in no zone are counted among the placed only:
    # the others keep their tags.
    wanted, group, outside, between, placed = {}, {}, {"NODE": 0, "LINK": 0}, 0, set()
    placed_at = model.coordinates
    if "NODE" in kinds:
        for node in chosen(model.nodes):
            if node in placed_at:
                placed.add(("NODE", node))
            zone = where.get(node)
            if zone is None:
                outside["NODE"] += not replace or node in placed_at
                continue
            wanted["NODE", node] = zones.names[zone]
            group["NODE", node] = zone
    if "LINK" in kinds:
        for link in chosen(model.links):
            start, end = model.links[link]
            if start in placed_at and end in placed_at:
                placed.add(("LINK", link))
            a, b = where.get(start), where.get(end)
            if a is None or b is None:
                outside["LINK"] += not replace or ("LINK", link) in placed
            elif zones.names[a] != zones.names[b]:
                between += 1
            else:
                wanted["LINK", link] = zones.names[a]
                group["LINK", link] = a
    # Features of one name make one zone in the counts.
    group = {key: zones.names[zone] for key, zone in group.items()}
    label = (f"zones {os.path.basename(zones_path)} ({prop}"
             f"{'' if kind is None else ', ' + kind + 's'}"
             f"{', replace' if replace else ''})")

    def left(key):
        """Why --replace keeps a stored tag that the zoning does not place."""
        if key[0] not in kinds:
            return None
        if key[1] not in model.elements(key[0]):
            return "not in the model"
        if kind is None or model.kind(*key) == kind:
            return "without coordinates"
        return None
    counts, by_zone = apply_tags(network, wanted, label, dry_run,
                                 replace and placed, strict=strict, group=group,
                                 left=left)
    for name in dict.fromkeys(zones.names):
        zone = by_zone.get(name)
        if zone is None:
            say(f"zone {quoted(name)}: no element")
        else:
            members = zone["added"] + zone["changed"] + zone["unchanged"]
            say(f"zone {quoted(name)}: {plural(members, 'element')}: {zone['added']} added, "
                f"{zone['changed']} changed, {zone['unchanged']} unchanged")
    fate = "no tag" if replace else "tags kept"
    rest = [plural(outside[t], NOUNS[t]) for t in kinds if outside[t]]
    if rest:
        say(f"in no zone, {fate}: {' and '.join(rest)}")
    if between:
        say(f"between two zones, {fate}: {plural(between, 'link')}")
    for why in ("without coordinates", "not in the model"):
        if counts.get(why):
            say(f"{why}, tags kept: {plural(counts[why], 'tag')}")
    report(f"zones {zones_path} on {network}", counts, dry_run, replace)
