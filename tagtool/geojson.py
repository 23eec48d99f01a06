"""GeoJSON for GIS: the network's nodes (Point) and links (LineString
through their vertices) as one FeatureCollection, each feature with its
id, kind and tag (null: untagged), coordinates as the model gives them."""

import json
import re

from api import orvane

from .linked import model_path
from .maps import NOUNS, TYPES, report_unplaced, save
from .where import read_selected
from .output import out, plural, say

CRS = re.compile(r"EPSG:([0-9]+)", re.IGNORECASE)


def epsg_code(text):
    """The N of EPSG:N, or None when ``text`` is not one."""
    match = CRS.fullmatch(text)
    return int(match[1]) if match else None


def cmd_export(args):
    """export NET --format geojson --model MODEL [--crs EPSG:N] [-o FILE]."""
    if args.into is not None:
        args.parser.error("--format geojson writes a file of its own, not --into an INP file")
    args.model = model_path(args.network, args.model)
    if args.model is None:
        args.parser.error("--format geojson needs --model INP, the model that places the "
                          f"elements: network {args.network!r} has no linked model")
    epsg = None if args.crs is None else epsg_code(args.crs)
    if args.crs is not None and epsg is None:
        args.parser.error(f"argument --crs: {args.crs!r} is not EPSG:N (e.g. EPSG:32633)")
    path = args.file if args.file not in (None, "-") else None
    tags = orvane.get_tags(args.network)
    model, tags = read_selected(args.model, args.where, tags)
    text, counts, unplaced = collection(model, tags, epsg)
    if path is None:
        out(text)
    else:
        save(path, (text + "\n").encode("utf-8"))
    report_unplaced(args.model, model, tags, TYPES, unplaced)
    if path is not None:
        written = " and ".join(plural(counts[t], NOUNS[t]) for t in TYPES)
        say(f"exported {written} to {path}")


def collection(model, tags, epsg=None):
    """The FeatureCollection as text, how many features of each type it
    holds, and how many elements were left out for want of coordinates."""
    stored = {(t["t_type"], t["id"]): t["tag"] for t in tags}
    encode = json.JSONEncoder(ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode
    head = {"type": "FeatureCollection"}
    if epsg is not None:
        # The old "crs" member (RFC 7946 drops it, GIS programs still read it):
        # coordinates stay as the model gives them, in the system named.
        head["crs"] = {"type": "name", "properties": {"name": f"urn:ogc:def:crs:EPSG::{epsg}"}}
    features, counts, unplaced = [], dict.fromkeys(TYPES, 0), dict.fromkeys(TYPES, 0)
    for t_type in TYPES:
        shape = "Point" if t_type == "NODE" else "LineString"
        for id in model.elements(t_type):
            at = model.place(t_type, id)
            if at is None:
                unplaced[t_type] += 1
                continue
            counts[t_type] += 1
            features.append(encode({
                "type": "Feature", "geometry": {"type": shape, "coordinates": at},
                "properties": {"id": id, "type": t_type, "kind": model.kind(t_type, id),
                               "tag": stored.get((t_type, id))}}))
    text = encode(head)[:-1] + ',"features":[\n' + ",\n".join(features) + "\n]}"
    return text, counts, unplaced
