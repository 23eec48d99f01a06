"""The network an INP model describes, as the map, the GeoJSON export and
the summary need it: its nodes and links, the kind of each (junction, tank,
reservoir; pipe, pump, valve), the two ends of each link, and where they lie.

The file is read as the import reads it (its encoding, line ends, comments
and sections), and only what is kept is held: ids, the ends of links, and
coordinates.  The commands that ask for them (stats, --where) also get the
elements' attributes as EPANET reads them, and the file's units."""

import contextlib
import gc
import itertools
import math
from dataclasses import dataclass, field
from operator import itemgetter

from .elements import ELEMENTS, KIND_TYPES, KINDS
from .inpfile import InpError, InpFile
from .output import DATA_ERROR, NO_INPUT, quoted
from .taglines import uncommented

SECTIONS = {*ELEMENTS, "[COORDINATES]", "[VERTICES]", "[BACKDROP]"}
WORDS = {"NODE": 1, "LINK": 3}      # the words of a line kept, beyond the first
MORE = {"[DEMANDS]", "[STATUS]", "[OPTIONS]"}   # read too for the attributes

# The attributes of each kind, in the order of its line's columns after the
# id (a link's: after its two nodes); a pump's come as keyword pairs.
COLUMNS = {"junction": ("elevation", "demand", "pattern"),
           "reservoir": ("head", "pattern"),
           "tank": ("elevation", "initlevel", "minlevel", "maxlevel", "diameter", "minvol"),
           "pipe": ("length", "diameter", "roughness", "minorloss", "status"),
           "valve": ("diameter", "type", "setting", "minorloss"),
           "pump": ("curve", "power", "speed")}
TEXTS = {"pattern", "status", "type", "curve"}      # the rest are numbers
PUMP_WORDS = {"HEAD": "curve", "POWER": "power", "SPEED": "speed"}
# What EPANET takes when a line leaves a column out.
DEFAULTS = {"junction": {"demand": 0.0}, "tank": {"minvol": 0.0},
            "pipe": {"minorloss": 0.0, "status": "OPEN"}, "valve": {"minorloss": 0.0}}
PIPE_STATUS = ("CV", "CLOSED", "OPEN")      # EPANET's words, matched by their start
# The Units option: US units (feet, inches, psi) or metric (metres, millimetres).
US_FLOWS = ("CFS", "GPM", "MGD", "IMGD", "AFD")
SI_FLOWS = ("LPS", "LPM", "MLD", "CMH", "CMD", "CMS")
OPTIONS = {"UNIT": "UNITS", "PRES": "PRESSURE"}
PRESSURES = {"PSI": "psi", "KPA": "kPa", "METERS": "m", "BAR": "bar", "FEET": "ft"}


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
    backdrop_units: str = None  # the coordinates' unit, as [BACKDROP] UNITS gives it (FEET, ...)
    columns: dict = None        # kind: {attribute: {id: value}}, when read
    options: dict = field(default_factory=dict)       # "UNITS", "PRESSURE": the file's word

    def elements(self, t_type):
        return self.nodes.keys() if t_type == "NODE" else self.links.keys()

    def kind(self, t_type, id):
        return self.nodes[id] if t_type == "NODE" else self.link_kinds[id]

    def of_kind(self, kind):
        """The ids of the elements of ``kind`` ("tank"), in the file's order."""
        kinds = self.nodes if KIND_TYPES[kind] == "NODE" else self.link_kinds
        return list(itertools.compress(kinds, map(kind.__eq__, kinds.values())))

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

    def units(self):
        """The units of the file's figures: {length, diameter, flow,
        pressure, elevation}, as EPANET takes them from its options."""
        flow = next((f for f in SI_FLOWS + US_FLOWS
                     if self.options.get("UNITS", "GPM").startswith(f)), "GPM")
        metric = flow in SI_FLOWS
        pressure = next((p for p in PRESSURES if self.options.get("PRESSURE", "").startswith(p)),
                        "METERS" if metric else "PSI")
        length = "m" if metric else "ft"
        return {"length": length, "diameter": "mm" if metric else "in", "flow": flow,
                "pressure": PRESSURES[pressure], "elevation": length}


@contextlib.contextmanager
def acyclic():
    """Holds the cyclic collector off while a great many objects are made
    that make no cycles (lists, dicts and tuples of texts and numbers): it
    would wake hundreds of times to find nothing."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()


def read_model(path, attributes=False):
    """The Model of the INP file at ``path``, read as the import reads it;
    InpError names the file, the line and the value of anything that cannot
    be read (exit status NO_INPUT for the file, DATA_ERROR for a line).
    With ``attributes``, the elements' attributes and the options too."""
    try:
        inp = InpFile.read(path)
    except InpError as e:
        raise InpError(str(e), NO_INPUT) from None
    model = Model(path)
    extra = Attributes(model) if attributes else None
    with acyclic():
        read_sections(path, inp, model, extra)     # its words gone before the collector wakes
    try:
        inp.check_sections()
    except InpError as e:
        raise InpError(str(e), DATA_ERROR) from None
    return model


def read_sections(path, inp, model, extra):
    """Read the sections of ``inp`` into ``model``, and with ``extra`` (not
    None) their attributes: the words of every line, a blank or comment
    line's none, a section at a time, as most of a large model is a few
    long sections."""
    for section, first, lines in inp.blocks(SECTIONS | MORE if extra else SECTIONS):
        where = lambda i, first=first: f"{path}:{first + i}"
        most = WORDS.get(ELEMENTS.get(section), 3) if extra is None else -1
        # A block without a comment, as most of a large model's are, is
        # split as it stands.
        bare = lines if ";" not in "".join(lines) else map(uncommented, lines)
        rows = [line.split(None, most) for line in bare]
        if extra is not None:
            extra.read(section, rows, where)
        if section not in MORE:
            read_rows(model, section, rows, where)


def read_columns(path, columns):
    """The Model of the INP file at ``path`` read with its attributes,
    holding of them the options and the ``columns`` ((kind, attribute)
    pairs) only, each read in its turn: a bad value is named in that order."""
    with acyclic():         # the lines' words go with the columns not asked for
        model = read_model(path, attributes=True)
        found = {}
        for kind, name in columns:
            found.setdefault(kind, {})[name] = model.columns[kind][name]
        model.columns = found
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
        model.backdrop_units = next((words[1].upper() for words in rows
                                     if len(words) > 1 and words[0].upper() == "UNITS"),
                                    model.backdrop_units)
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


def number(text, name, where):
    """A figure of the file as EPANET reads it; InpError names the line."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or "_" in text:
        raise InpError(f"{where}: bad {name} {quoted(text)}: not a number", DATA_ERROR)
    return value


class Columns(dict):
    """The columns of one kind, {attribute: {id: value}}, each read from the
    section's lines when first asked for: a command reads the few it uses."""

    def __init__(self, attributes, kind):
        super().__init__()
        self.attributes, self.kind = attributes, kind

    def __missing__(self, name):
        if name not in COLUMNS[self.kind]:
            raise KeyError(name)
        column = self[name] = self.attributes.column(self.kind, name)
        return column


class Attributes:
    """Reads the attributes of a model's elements into ``model.columns``:
    each kind's columns, with EPANET's defaults for those a line leaves out;
    a junction listed in [DEMANDS] takes the sum of its demands there
    instead of its own, and [STATUS] opens or closes a pipe."""

    def __init__(self, model):
        self.model = model
        model.columns = {kind: Columns(self, kind) for kind in COLUMNS}
        self.sections = {kind: [] for kind in COLUMNS}  # (rows, words before the columns, where)
        self.demands, self.first_pattern, self.status = {}, {}, {}

    def read(self, section, rows, where):
        kind = KINDS.get(section)
        if kind == "pump":
            self.pumps(rows, where)
        elif kind is not None:
            if kind == "pipe":
                for words in rows:
                    if len(words) == 7 and words[6].upper().startswith(PIPE_STATUS):
                        words.insert(6, "0")        # a status in the loss's place
            self.sections[kind].append((rows, 1 if ELEMENTS[section] == "NODE" else 3, where))
        elif section == "[DEMANDS]":
            for i, words in enumerate(rows):
                if len(words) >= 2:
                    id = words[0]
                    if id not in self.demands and len(words) > 2:
                        self.first_pattern[id] = words[2]
                    self.demands[id] = self.demands.get(id, 0.0) + number(words[1], "demand",
                                                                          where(i))
        elif section == "[STATUS]":
            self.status.update((w[0], next((s for s in ("OPEN", "CLOSED")
                                            if w[1].upper().startswith(s)), None))
                               for w in rows if len(w) >= 2)
        elif section == "[OPTIONS]":
            # EPANET matches an option's keyword by its first letters.
            self.model.options.update((OPTIONS[w[0].upper()[:4]], w[1].upper()) for w in rows
                                      if len(w) >= 2 and w[0].upper()[:4] in OPTIONS)

    def column(self, kind, name):
        """{id: value} of one attribute of the elements of ``kind``."""
        column, default = {}, DEFAULTS.get(kind, {}).get(name)
        for rows, skip, where in self.sections[kind]:
            at = COLUMNS[kind].index(name) + skip
            lines = list(filter(None, rows))
            given = lines
            if min(map(len, lines), default=at + 1) <= at:      # a line leaves the column out
                given = [words for words in lines if len(words) > at]
                if default is not None:
                    column.update((words[0], default) for words in lines if len(words) <= at)
            texts = list(map(itemgetter(at), given))
            column.update(zip(map(itemgetter(0), given),
                              self.values(name, texts, rows, at, where)))
        if kind == "junction" and name in ("demand", "pattern"):
            for id, demand in self.demands.items():
                if self.model.nodes.get(id) != "junction":
                    continue
                if name == "demand":
                    column[id] = demand
                elif id in self.first_pattern:
                    column[id] = self.first_pattern[id]
                else:
                    column.pop(id, None)
        elif kind == "pipe" and name == "status":
            for id, word in self.status.items():
                if word is not None and column.get(id, "CV") != "CV":
                    column[id] = word
        return column

    @staticmethod
    def values(name, texts, rows, at, where):
        """The values of a column's ``texts``; a bad number is named by its
        line, found again in ``rows`` only then."""
        if name in ("status", "type"):
            words = PIPE_STATUS if name == "status" else ()
            read = {text: next((w for w in words if text.upper().startswith(w)), text.upper())
                    for text in set(texts)}
            return map(read.__getitem__, texts)
        if name in TEXTS:
            return texts
        try:
            values = list(map(float, texts))
            # A sum that is finite has finite terms; one that overflowed says nothing.
            finite = math.isfinite(sum(values)) or all(map(math.isfinite, values))
            if finite and "_" not in "".join(texts):
                return values
        except ValueError:
            pass
        if name == "setting":           # a general valve's is its curve
            return [v if isinstance(v, float) and math.isfinite(v) else t
                    for t, v in zip(texts, map(Attributes.setting, texts))]
        for i, words in enumerate(rows):
            if len(words) > at:
                number(words[at], name, where(i))
        return values

    @staticmethod
    def setting(text):
        try:
            return float(text) if "_" not in text else None
        except ValueError:
            return None

    def pumps(self, rows, where):
        columns = self.model.columns["pump"]
        for i, words in enumerate(rows):
            if words:
                columns["speed"][words[0]] = 1.0
            pairs = iter(words[3:])
            for word, value in zip(pairs, pairs):
                name = PUMP_WORDS.get(word.upper())
                if name is not None:
                    columns[name][words[0]] = value if name == "curve" else number(
                        value, name, where(i))
