"""The network an INP model describes, as the map, the GeoJSON export and
the summary need it: its nodes and links, the kind of each (junction, tank,
reservoir; pipe, pump, valve), the two ends of each link, and where they lie.

The file is read as the import reads it (its encoding, line ends, comments
and sections), and only what is kept is held: ids, the ends of links, and
coordinates."""

import gc
import math
from dataclasses import dataclass, field

from .elements import ELEMENTS, KIND_TYPES, KINDS
from .inpfile import InpError, InpFile
from .output import DATA_ERROR, NO_INPUT, quoted
from .taglines import uncommented

SECTIONS = {*ELEMENTS, "[COORDINATES]", "[VERTICES]", "[BACKDROP]"}
WORDS = {"NODE": 1, "LINK": 3}      # the words of a line kept, beyond the first


# The version of what a Model holds, part of the stamp of the linked model's
# cache (modelcache.py): a change to what an attribute holds bumps it, and
# every network's cache is read again from its file.  (A new attribute is
# seen without it.)
MODEL_VERSION = 1


@dataclass
class Model:
    path: str
    nodes: dict = field(default_factory=dict)         # id: kind
    links: dict = field(default_factory=dict)         # id: (start node, end node)
    coordinates: dict = field(default_factory=dict)   # node id: (x, y)
    vertices: dict = field(default_factory=dict)      # link id: [(x, y), ...]
    link_kinds: dict = field(default_factory=dict)    # link id: kind
    units: str = None       # the coordinates' unit, as [BACKDROP] UNITS gives it (FEET, ...)

    def elements(self, t_type):
        return self.nodes.keys() if t_type == "NODE" else self.links.keys()

    def kind(self, t_type, id):
        return self.nodes[id] if t_type == "NODE" else self.link_kinds[id]

    def of_kind(self, kind):
        """The ids of the elements of ``kind`` ("tank"), in the file's order."""
        kinds = self.nodes if KIND_TYPES[kind] == "NODE" else self.link_kinds
        return [id for id, k in kinds.items() if k == kind]

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
    # The words of every line, a blank or comment line's none, a section at
    # a time: most of a large model is a few long sections.  Their lists make
    # no cycles, so the cyclic collector, which they would wake hundreds of
    # times for nothing, waits.
    collecting = gc.isenabled()
    gc.disable()
    try:
        for section, first, lines in inp.blocks(SECTIONS):
            most = WORDS.get(ELEMENTS.get(section), 3)
            rows = [uncommented(line).split(None, most) for line in lines]
            read_rows(model, section, rows, lambda i: f"{path}:{first + i}")
    finally:
        if collecting:
            gc.enable()
    try:
        inp.check_sections()
    except InpError as e:
        raise InpError(str(e), DATA_ERROR) from None
    return model


def read_rows(model, section, rows, where):
    """Add the lines of one section (their words ``rows``) to the model;
    ``where(i)`` names the file and line of row ``i``."""
    kind, t_type = KINDS.get(section), ELEMENTS.get(section)
    if t_type == "NODE":
        model.nodes.update(dict.fromkeys([words[0] for words in rows if words], kind))
    elif t_type == "LINK":
        for i, words in enumerate(rows):
            if words and len(words) < 3:
                raise InpError(f"{where(i)}: a link line gives an id and two nodes: "
                               f"{quoted(' '.join(words))}", DATA_ERROR)
        model.links.update({words[0]: (words[1], words[2]) for words in rows if words})
        model.link_kinds.update(dict.fromkeys([words[0] for words in rows if words], kind))
    elif section == "[COORDINATES]":
        model.coordinates.update(points(rows, where))
    elif section == "[BACKDROP]":
        model.units = next((words[1].upper() for words in rows
                            if len(words) > 1 and words[0].upper() == "UNITS"), model.units)
    else:
        for i, words in enumerate(rows):
            if words:
                model.vertices.setdefault(words[0], []).append(point(words, where(i)))


def points(rows, where):
    """The (id, (x, y)) of the coordinate lines ``rows``: converted all at
    once, and line by line, to name the bad one, when that fails."""
    try:
        found = [(words[0], (float(words[1]), float(words[2]))) for words in rows if words]
        if all(math.isfinite(x) and math.isfinite(y) for _, (x, y) in found):
            return found
    except (IndexError, ValueError):
        pass
    return [(words[0], point(words, where(i))) for i, words in enumerate(rows) if words]


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
