"""GeoJSON for GIS: the network's nodes (Point) and links (LineString
through their vertices) as one FeatureCollection, each feature with its
id, kind and tag (null: untagged), coordinates as the model gives them;
and such a layer read back for an exchange, as the tool wrote it or as a
GIS saved it after edits (properties added, a "name", a "crs", printed
with indents, coordinates in 3D), and written back with only its tags
changed."""

import json
import re

from .exchange_files import Side
from .jsontext import WS, dumps, item_spans, load_json, object_members, set_members
from .output import DATA_ERROR, Failure, out, plural, say
from .tables import gis_value, names_element
from .taglines import TYPES

CRS = re.compile(r"EPSG:([0-9]+)", re.IGNORECASE)


def epsg_code(text):
    """The N of EPSG:N, or None when ``text`` is not one."""
    match = CRS.fullmatch(text)
    return int(match[1]) if match else None


def cmd_export_layer(args):
    """export NET --format geojson --model MODEL [--crs EPSG:N] [-o FILE]: the
    options as plain values, then export_layer."""
    from .linked import model_path

    if args.into is not None:
        args.parser.error("--format geojson writes a file of its own, not --into an INP file")
    args.model = model_path(args.network, args.model)
    if args.model is None:
        args.parser.error("--format geojson needs --model INP, the model that places the "
                          f"elements: network {args.network!r} has no linked model")
    epsg = None if args.crs is None else epsg_code(args.crs)
    if args.crs is not None and epsg is None:
        args.parser.error(f"argument --crs: {args.crs!r} is not EPSG:N (e.g. EPSG:32633)")
    export_layer(args.network, args.model, epsg, args.file if args.file != "-" else None, args.where)


def export_layer(network, model_path, epsg=None, path=None, where=None):
    """Write the network's tags on the elements of the model ``model_path``
    as a GeoJSON layer to ``path`` (None: standard output); a file written
    is an exchange, recorded as such.  ``where``: an EXPR choosing the
    elements written."""
    from api import orvane

    from .exchange_files import new_side
    from .safewrite import write_file
    from .maps import NOUNS, report_unplaced
    from .linked import load_model
    from .output import write_status
    from .where import read_selected

    model, tags = read_selected(model_path, where, orvane.get_tags(network),
                                lambda path: load_model(network, path))
    layer = new_side(path, "geojson", model, epsg)
    data = layer.render({(t["t_type"], t["id"]): t["tag"] for t in tags})
    if path is None:
        out(data.decode("utf-8").rstrip("\n"))
    else:
        try:
            direct = write_file(path, data)
        except OSError as e:
            raise Failure(f"{path}: cannot write: {e.strerror or e}", write_status(e)) from None
        if not direct:
            from .exchange import record_written

            record_written(network, path, "geojson", layer.tags, data)
    report_unplaced(model_path, model, tags, TYPES, layer.unplaced)
    if path is not None:
        written = " and ".join(plural(layer.placed[t], NOUNS[t]) for t in TYPES)
        say(f"exported {written} to {path}")


def collection(model, stored, epsg=None):
    """The FeatureCollection of the model's elements with the tags
    ``stored`` {(type, id): tag} as text, how many features of each type it
    holds, how many elements were left out for want of coordinates, and
    the elements it holds."""
    encode = json.JSONEncoder(ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode
    head = {"type": "FeatureCollection"}
    if epsg is not None:
        # The old "crs" member (RFC 7946 drops it, GIS programs still read it):
        # coordinates stay as the model gives them, in the system named.
        head["crs"] = {"type": "name", "properties": {"name": f"urn:ogc:def:crs:EPSG::{epsg}"}}
    features, counts, unplaced = [], dict.fromkeys(TYPES, 0), dict.fromkeys(TYPES, 0)
    placed = set()
    for t_type in TYPES:
        shape = "Point" if t_type == "NODE" else "LineString"
        for id in model.elements(t_type):
            at = model.place(t_type, id)
            if at is None:
                unplaced[t_type] += 1
                continue
            counts[t_type] += 1
            placed.add((t_type, id))
            features.append(encode({
                "type": "Feature", "geometry": {"type": shape, "coordinates": at},
                "properties": {"id": id, "type": t_type, "kind": model.kind(t_type, id),
                               "tag": stored.get((t_type, id))}}))
    text = encode(head)[:-1] + ',"features":[\n' + ",\n".join(features) + "\n]}"
    return text, counts, unplaced, placed


# An element's type from its geometry, when no property gives it.
SHAPES = {"Point": "NODE", "MultiPoint": "NODE", "LineString": "LINK", "MultiLineString": "LINK"}


def prop(props, name):
    """The property ``name`` (or the one that differs from it only in case
    and surrounding spaces) of a feature: (its name as written, value)."""
    if name in props:
        return name, props[name]
    wanted = name.strip().lower()
    for given, value in props.items():
        if given.strip().lower() == wanted:
            return given, value
    return name, None


class GeoJsonSide(Side):
    """A GeoJSON FeatureCollection read for an exchange: each feature is an
    element (its properties ``id`` and ``type``, or --id-column and --type;
    without a type, a point is a node and a line a link) and its tag the
    property ``tag`` (or --tag-column; null or missing: no tag).  It speaks
    for its features only: elements without one are outside the exchange."""

    fmt = "geojson"
    can_add = False
    show = staticmethod(dumps)

    def __init__(self, path, text, encoding, bom, digest, id_column=None, tag_column=None,
                 t_type=None):
        super().__init__(path, "feature")
        self.text, self.encoding, self.bom, self.digest = text, encoding, bom, digest
        self.table = id_column is not None
        document = load_json(path, text)
        if not (isinstance(document, dict) and document.get("type") == "FeatureCollection"
                and isinstance(document.get("features"), list)):
            raise Failure(f"{path}: not a GeoJSON FeatureCollection (an object of type "
                          "\"FeatureCollection\" with a list of features)", DATA_ERROR)
        self.id_name, self.tag_name = id_column or "id", tag_column or "tag"
        features = document["features"]
        self.keys = self.plain_features(features, t_type)
        if self.keys is None:
            self.names = []         # the tag property of each feature, as written
            self.keys = [self.feature(number, feature, t_type)
                         for number, feature in enumerate(features)]

    def plain_features(self, features, t_type):
        """The elements of features that all give the properties by their
        names, read as columns; None for a layer to read one by one."""
        id_name, tag_name = self.id_name, self.tag_name
        try:
            props = [feature["properties"] for feature in features]
            ids = [p[id_name] for p in props]
            tags = [p[tag_name] for p in props]
            kinds = [t_type] * len(props) if t_type else [p["type"] for p in props]
        except (KeyError, TypeError):
            return None
        self.names = [tag_name] * len(props)
        return self.take_columns(kinds, ids, tags)

    def feature(self, number, feature, t_type):
        props = feature.get("properties") if type(feature) is dict else None
        props = props if type(props) is dict else {}
        # The properties by their names as given, else as a GIS may have
        # renamed them (case, spaces).
        tag_name, tag = ((self.tag_name, props[self.tag_name]) if self.tag_name in props
                         else prop(props, self.tag_name))
        self.names.append(tag_name)
        id = props[self.id_name] if self.id_name in props else prop(props, self.id_name)[1]
        if type(id) is not str:
            id = gis_value(id)
            if id is None:
                return self.refuse(number, f"no property {self.id_name!r} to name its element",
                                   props)
        kind = t_type or (props["type"] if "type" in props else prop(props, "type")[1])
        if kind not in TYPES and (type(kind) is not str or kind.upper() not in TYPES):
            geometry = feature.get("geometry")
            kind = SHAPES.get(geometry.get("type")) if type(geometry) is dict else None
            if kind is None:
                return self.refuse(number, "no type NODE or LINK, and no point or line to tell "
                                           "it", props)
        return self.row(number, kind, id, tag if type(tag) is str else gis_value(tag), props)

    def render(self, new_tags, keep=()):
        text = self.text
        edits, _ = self.row_edits(new_tags, keep)
        if not edits:
            return self.encoded(text)
        features = object_members(text, WS.match(text).end(), "features")[-1][1]
        at = {self.where[key]: tag for key, tag in edits.items()}
        spans = item_spans(text, features, at, self.names_feature)
        return self.encoded(set_members(text, spans, [
            (index, ["properties", self.names[index]], tag) for index, tag in at.items()]))

    def names_feature(self, index, feature):
        """Whether ``feature`` is the one read as feature ``index``."""
        props = feature.get("properties") if type(feature) is dict else None
        return type(props) is dict and names_element(
            {name.strip().lower(): value for name, value in props.items()},
            self.keys[index], self.id_name.strip().lower())
