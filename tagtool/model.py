"""The network an INP model describes, as the map, the GeoJSON export and
the summary need it: its nodes and links, the kind of each (junction, tank,
reservoir; pipe, pump, valve), the two ends of each link, and where they lie.

The file is read as the import reads it (its encoding, line ends, comments
and sections), and only what is kept is held: ids, the ends of links, and
coordinates."""

import math
from dataclasses import dataclass, field

from .inpfile import ELEMENTS, InpError, InpFile
from .output import DATA_ERROR, NO_INPUT, quoted
from .taglines import fields

SECTIONS = {*ELEMENTS, "[COORDINATES]", "[VERTICES]"}
# The kind of element each section defines, as the map and GIS name it.
KINDS = {"[JUNCTIONS]": "junction", "[TANKS]": "tank", "[RESERVOIRS]": "reservoir",
         "[PIPES]": "pipe", "[PUMPS]": "pump", "[VALVES]": "valve"}
NODE_KINDS = ("junction", "tank", "reservoir")
LINK_KINDS = ("pipe", "pump", "valve")


@dataclass
class Model:
    path: str
    nodes: dict = field(default_factory=dict)         # id: kind
    links: dict = field(default_factory=dict)         # id: (start node, end node)
    coordinates: dict = field(default_factory=dict)   # node id: (x, y)
    vertices: dict = field(default_factory=dict)      # link id: [(x, y), ...]
    link_kinds: dict = field(default_factory=dict)    # link id: kind
    sections: dict = field(default_factory=dict)      # (type, id): its section ("[TANKS]")

    def elements(self, t_type):
        return self.nodes.keys() if t_type == "NODE" else self.links.keys()

    def kind(self, t_type, id):
        return self.nodes[id] if t_type == "NODE" else self.link_kinds[id]

    def place(self, t_type, id):
        """Where an element is drawn: a node's point, a link's path, or None
        when it has no coordinates."""
        return self.coordinates.get(id) if t_type == "NODE" else self.link_path(id)

    def link_path(self, link):
        """The points a link is drawn through, or None when an end has no
        coordinates."""
        start, end = self.links[link]
        a, b = self.coordinates.get(start), self.coordinates.get(end)
        if a is None or b is None:
            return None
        return [a, *self.vertices.get(link, ()), b]


def read_model(path):
    """The Model of the INP file at ``path``, read as the import reads it;
    InpError names the file, the line and the value of anything that cannot
    be read (exit status NO_INPUT for the file, DATA_ERROR for a line)."""
    try:
        inp = InpFile.read(path)
    except InpError as e:
        raise InpError(str(e), NO_INPUT) from None
    model = Model(path)
    for number, line, section, header in inp.lines():
        if not header and section in SECTIONS:
            words = fields(line)
            if words:
                read_line(model, section, words, f"{path}:{number}")
    try:
        inp.check_sections()
    except InpError as e:
        raise InpError(str(e), DATA_ERROR) from None
    return model


def read_line(model, section, words, where):
    kind = ELEMENTS.get(section)
    if kind is not None:
        model.sections[kind, words[0]] = section
    if kind == "NODE":
        model.nodes[words[0]] = KINDS[section]
    elif kind == "LINK":
        if len(words) < 3:
            raise InpError(f"{where}: a link line gives an id and two nodes: "
                           f"{quoted(' '.join(words))}", DATA_ERROR)
        model.links[words[0]] = (words[1], words[2])
        model.link_kinds[words[0]] = KINDS[section]
    elif section == "[COORDINATES]":
        model.coordinates[words[0]] = point(words, where)
    elif section == "[VERTICES]":
        model.vertices.setdefault(words[0], []).append(point(words, where))


def point(words, where):
    """The (x, y) of a coordinate or vertex line."""
    if len(words) < 3:
        raise InpError(f"{where}: a point gives an id, x and y: {quoted(' '.join(words))}",
                       DATA_ERROR)
    try:
        x, y = float(words[1]), float(words[2])
    except ValueError:
        x = y = math.nan
    if not (math.isfinite(x) and math.isfinite(y)):
        raise InpError(f"{where}: bad point {quoted(words[1])} {quoted(words[2])}: "
                       "x and y are finite numbers", DATA_ERROR)
    return x, y
