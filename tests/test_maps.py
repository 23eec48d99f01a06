"""The map and the GeoJSON export as their readers meet them: each output
format written from a real model, the page opened in headless Chromium and
read through its own script, the GeoJSON read back with shapely."""

import collections
import html
import importlib.util
import io
import json
import os
import select
import shutil
import struct
import subprocess
import tempfile
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from matplotlib.text import Text

import pytest

from api import orvane
from tagtool import main
from tagtool.colours import CONTEXT, OTHER, PALETTE, TOL, UNTAGGED, assign
from tagtool.maps import PICTURES, Scene, label
from tagtool.picture import draw
from tagtool.model import read_model

pytestmark = pytest.mark.filterwarnings("error")

ROOT = Path(__file__).resolve().parents[1]
DTOWN = ROOT.parent / "shared" / "data" / "inp" / "dtown.inp"
real_file = pytest.mark.skipif(not DTOWN.exists(), reason=f"no {DTOWN}")
CHROMIUM = shutil.which("chromium")
WAIT = 60           # seconds the browser may take to answer
# A few of D-Town's pipes and a pump tagged, so that links carry tags too.
LINK_TAGS = {"P1": "Main", "P2": "Main", "P3": "Spur", "PU1": "Main"}


@pytest.fixture
def dtown(sqlite_backend, capsys):
    """D-Town's node tags (its own [TAGS]) and LINK_TAGS, in network "d"."""
    assert main(["create", "d"]) == 0 and main(["import", "d", str(DTOWN)]) == 0
    for id, tag in LINK_TAGS.items():
        assert main(["set", "d", "LINK", id, tag]) == 0
    capsys.readouterr()
    return orvane.get_tags("d")


def per_tag(tags, model):
    """{(type, tag or None): number of the model's placed elements}."""
    stored = {(t["t_type"], t["id"]): t["tag"] for t in tags}
    counts = collections.Counter()
    for t_type in ("NODE", "LINK"):
        for id in model.elements(t_type):
            if model.place(t_type, id) is not None:
                counts[t_type, stored.get((t_type, id))] += 1
    return counts


@real_file
@pytest.mark.parametrize("name, argv, check", [
    ("m.png", ["--title", "D-Town zones", "--size", "6x4", "--dpi", "50"],
     lambda data: struct.unpack(">II", data[16:24]) == (300, 200)),
    ("m.svg", ["--type", "node"], lambda data: ElementTree.fromstring(data).tag.endswith("svg")),
    ("m.pdf", ["--type", "link"], lambda data: data.startswith(b"%PDF-")),
    ("m.html", ["--title", "D-Town zones"],
     lambda data: b"D-Town zones" in data and b"scattergl" in data and b'<script src="http' not in data),
])
def test_each_output_format(dtown, tmp_path, capsys, name, argv, check):
    """Each format is written whole, says what it drew, and holds what was
    asked (a PNG of 6x4 inches at 50 dpi is 300 x 200 pixels)."""
    output = tmp_path / name
    assert main(["map", "d", str(DTOWN), "-o", str(output), *argv]) == 0
    out, err = capsys.readouterr()
    assert err == ""
    kinds = {"--type": None}
    kinds.update(zip(argv[::2], argv[1::2]))
    drawn = {"node": "407 nodes", "link": "459 links", None: "407 nodes and 459 links"}
    colours = {"node": "5 colours", "link": "2 colours", None: "7 colours"}[kinds["--type"]]
    assert out == f"wrote {output}: {drawn[kinds['--type']]}, {colours}\n"
    assert check(output.read_bytes())


@real_file
def test_geojson_reads_back_as_listed(dtown, tmp_path, capsys):
    """Every feature read back with shapely lies where the model places it
    and carries the tag that `list` gives; nothing else is in the file."""
    shapely = pytest.importorskip("shapely")
    from shapely.geometry import shape

    path = tmp_path / "d.geojson"
    assert main(["export", "d", "--format", "geojson", "--model", str(DTOWN),
                 "--crs", "epsg:32633", "-o", str(path)]) == 0
    assert capsys.readouterr() == (f"exported 407 nodes and 459 links to {path}\n", "")
    assert main(["list", "d", "--format", "json"]) == 0
    listed = {(t["type"], t["id"]): t["tag"] for t in json.loads(capsys.readouterr().out)}
    data = json.loads(path.read_text())
    assert data["crs"]["properties"]["name"] == "urn:ogc:def:crs:EPSG::32633"
    model = read_model(str(DTOWN))
    seen = set()
    for feature in data["features"]:
        p = feature["properties"]
        key = (p["type"], p["id"])
        seen.add(key)
        assert p["tag"] == listed.get(key)
        assert p["kind"] == model.kind(*key)
        geometry = shape(feature["geometry"])
        assert geometry.is_valid and not geometry.is_empty
        assert geometry.equals(shapely.geometry.shape(
            {"type": "Point" if key[0] == "NODE" else "LineString",
             "coordinates": model.place(*key)}))
    assert len(seen) == len(data["features"]) == 407 + 459
    assert {k for k in listed if k in seen} == set(listed)
    assert collections.Counter(k[0] for k in seen) == {"NODE": 407, "LINK": 459}


@real_file
def test_legend_colours_lie_on_their_nodes(dtown, tmp_path):
    """Each tag's colour is drawn at its nodes, in the PNG as read back."""
    from matplotlib.image import imread

    picture = draw(Scene(read_model(str(DTOWN)), dtown, ("NODE", "LINK")), "d")
    assert [c for _, c in picture.legend[:5]] == PALETTE[:5]
    png = tmp_path / "d.png"
    picture.figure.savefig(png)
    image = imread(png)[:, :, :3]
    height = image.shape[0]
    to_pixels = picture.axes.transData.transform
    by_tag = collections.defaultdict(list)
    for t in dtown:
        if t["t_type"] == "NODE":
            by_tag[t["tag"]].append(picture.places["NODE"][t["id"]])
    assert sorted(by_tag) == ["DMA1", "DMA2", "DMA3", "DMA4", "DMA5"]
    for tag in by_tag:
        colour = picture.colours[tag]
        rgb = [int(colour[i:i + 2], 16) / 255 for i in (1, 3, 5)]
        found = 0
        for x, y in to_pixels(by_tag[tag]):
            row, col = int(round(height - y)), int(round(x))
            near = image[row - 2:row + 3, col - 2:col + 3]
            found += bool((abs(near - rgb).max(axis=2) < 0.02).any())
        assert found >= len(by_tag[tag]) * 0.9, tag


# ---------------------------------------------------------------------------
# colours

def lab(rgb):
    """CIELAB (D65) of sRGB rows (r, g, b) in 0..1."""
    import numpy as np

    c = np.asarray(rgb, float)
    c = np.where(c > 0.04045, ((c + 0.055) / 1.055) ** 2.4, c / 12.92)
    xyz = c @ np.array([[0.4124, 0.2126, 0.0193], [0.3576, 0.7152, 0.1192],
                        [0.1805, 0.0722, 0.9505]]) / [0.95047, 1.0, 1.08883]
    f = np.where(xyz > 0.008856, np.cbrt(xyz), 7.787 * xyz + 16 / 116)
    return np.stack([116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]),
                     200 * (f[..., 1] - f[..., 2])], -1)


def test_palette_is_tol_then_glasbey_apart():
    """The palette, derived again: Tol's colours, then colorcet's Glasbey
    colours in order, each 20 apart in CIELAB from those before it and from
    the colours of other, untagged, context and the background."""
    colorcet = pytest.importorskip("colorcet")
    import numpy as np
    from matplotlib.colors import to_hex, to_rgb

    chosen = [to_rgb(c) for c in TOL]
    avoided = lab([to_rgb(c) for c in (OTHER, UNTAGGED, CONTEXT, "#ffffff")])
    for rgb in colorcet.glasbey_bw_minc_20_maxl_70:
        if len(chosen) < len(PALETTE) and np.linalg.norm(
                np.vstack([lab(chosen), avoided]) - lab([rgb]), axis=1).min() >= 20:
            chosen.append(tuple(rgb))
    assert [to_hex(c) for c in chosen] == PALETTE and len(PALETTE) >= 30


P = PALETTE


@pytest.mark.parametrize("counts, kept, style, colours, add, drop", [
    # New tags take free colours, most frequent first.
    ({"a": 3, "b": 1}, {}, {}, {"a": P[0], "b": P[1]}, {"a": P[0], "b": P[1]}, []),
    # Kept colours stay whatever the counts; a gone tag's colour is free again.
    ({"a": 1, "c": 5}, {"a": P[1], "b": P[0]}, {}, {"a": P[1], "c": P[0]}, {"c": P[0]}, ["b"]),
    # The style first: a kept colour it gives another tag is given up for
    # this map only; styled tags are not kept.
    ({"a": 2, "b": 1, "n": 1}, {"a": P[0], "b": P[1]}, {"b": P[0], "n": "#123456"},
     {"b": P[0], "n": "#123456", "a": P[2]}, {}, []),
    # Beyond the palette: "other" (no colour), nothing kept for them.
    ({f"t{i:02}": 1 for i in range(len(P) + 2)}, {}, {},
     {f"t{i:02}": P[i] for i in range(len(P))}, {f"t{i:02}": P[i] for i in range(len(P))}, []),
])
def test_assign(counts, kept, style, colours, add, drop):
    assert assign(collections.Counter(counts), kept, style) == (colours, add, drop)


@pytest.fixture
def drawn(monkeypatch):
    """The {tag: colour} of each map drawn, in order, as the picture or the
    page got them."""
    import tagtool.page
    import tagtool.picture

    maps = []
    for module, name in ((tagtool.picture, "draw"), (tagtool.page, "page")):
        def spy(scene, *args, real=getattr(module, name), **kwargs):
            maps.append(dict(scene.shown))
            return real(scene, *args, **kwargs)
        monkeypatch.setattr(module, name, spy)
    return maps


@real_file
def test_a_tag_keeps_its_colour_on_every_map(dtown, drawn, tmp_path, capsys):
    """Every map of one network, in every format, of nodes, links or both,
    draws a tag in one colour, although the links' tag Main outnumbers the
    zones on the whole network and not among the nodes; a tag gone gives its
    colour back to the next new tag; a style goes first, in CSV as in JSON,
    and is kept by no map."""
    assert main(["set", "d", "LINK", "--kind", "pipe", "--model", str(DTOWN), "Main"]) == 0

    def draw_all(*extra):
        for name, argv in (("a.png", []), ("b.svg", ["--type", "node"]),
                           ("c.pdf", ["--type", "link"]), ("d.html", [])):
            assert main(["map", "d", str(DTOWN), "-o", str(tmp_path / name), *argv, *extra]) == 0
        capsys.readouterr()
        maps, drawn[:] = list(drawn), []
        colours = {}
        for shown in maps:
            for tag, colour in shown.items():
                assert colours.setdefault(tag, colour) == colour, tag
        return colours

    first = draw_all()
    assert set(first) == {"DMA1", "DMA2", "DMA3", "DMA4", "DMA5", "Main"}
    assert sorted(first.values()) == sorted(PALETTE[:6])
    assert first["Main"] == PALETTE[0]
    # DMA3 gone, DMA9 new: DMA9 takes DMA3's colour, the others keep theirs.
    moved = tmp_path / "moved.inp"
    moved.write_text("[TAGS]\n" + "".join(f"NODE {t['id']} DMA9\n" for t in orvane.get_tags("d")
                                          if t["tag"] == "DMA3"))
    assert main(["import", "d", "--theirs", str(moved)]) == 0
    again = draw_all()
    assert again == {**{k: v for k, v in first.items() if k != "DMA3"}, "DMA9": first["DMA3"]}
    first = again
    styles = {"s.csv": "tag,colour\nDMA1,teal\nMain,#123456\n",
              "s.json": json.dumps({"DMA1": "teal", "Main": "#123456"})}
    for name, text in styles.items():
        (tmp_path / name).write_text(text)
        styled = draw_all("--style", str(tmp_path / name))
        assert styled == {**first, "DMA1": "#008080", "Main": "#123456"}, name
    assert draw_all() == first


@real_file
@pytest.mark.parametrize("tags, other", [(30, 0), (40, 0), (45, 5)])
def test_many_tags_drawn_distinct(tags, other):
    """Up to 40 tags each in a colour of its own; "other" counts the rest."""
    model = read_model(str(DTOWN))
    rows = [{"t_type": "NODE", "id": id, "tag": f"Z{i % tags:02}"} for i, id in enumerate(model.nodes)]
    legend = draw(Scene(model, rows, ("NODE",)), "many").legend
    colours = [c for text, c in legend if not text.startswith(("other", "untagged"))]
    assert len(colours) == len(set(colours)) == tags - other and set(colours) <= set(PALETTE)
    rest = sum(1 for i, _ in enumerate(model.nodes) if i % tags >= 40)
    assert [t for t, _ in legend if t.startswith("other")] == (
        [f"other: {other} tags ({rest})"] if other else [])


@real_file
def test_read_only_network_draws_alike_and_keeps_nothing(dtown, drawn, tmp_path, monkeypatch,
                                                         capsys):
    """Where the network cannot be written the map draws by the same rule
    and keeps nothing; the next writable map keeps those colours."""
    from api import database
    from api.database import side_tables

    real = side_tables.write

    def refuse(name, work):
        raise database.ReadOnlyError("the data folder /x is read-only: nothing was written")
    monkeypatch.setattr(side_tables, "write", refuse)
    assert main(["map", "d", str(DTOWN), "-o", str(tmp_path / "r.png")]) == 0
    assert database.map_colours("d") == {}
    monkeypatch.setattr(side_tables, "write", real)
    assert main(["map", "d", str(DTOWN), "-o", str(tmp_path / "w.png")]) == 0
    assert drawn[0] == drawn[1] == database.map_colours("d")
    assert capsys.readouterr().err == ""


@real_file
@pytest.mark.parametrize("name, text, said", [
    ("s.csv", "tag,colour\nDMA1,nocolour\n",
     "s.csv:2: bad colour 'nocolour' (a name such as 'teal', or '#RRGGBB')"),
    ("s.csv", "tag,colour\nDMA1,red\nDMA1,blue\n", "s.csv:3: tag 'DMA1' given twice (first at 2)"),
    ("s.csv", "name,value\nDMA1,red\n", "s.csv:1: a style's columns are tag and colour: 'name, value'"),
    ("s.json", "[1]", "s.json:item 0: not an object with tag and colour: 1"),
    ("s.json", "{\"DMA1\": 7}", "s.json:item 'DMA1': tag and colour are texts: [\"DMA1\", 7]"),
])
def test_bad_style_is_refused(dtown, tmp_path, capsys, name, text, said):
    (tmp_path / name).write_text(text)
    output = tmp_path / "m.png"
    assert main(["map", "d", str(DTOWN), "-o", str(output), "--style", str(tmp_path / name)]) == 65
    assert capsys.readouterr().err == f"tagtool: {tmp_path / said}\n"
    assert not output.exists()


WNTR = importlib.util.find_spec("wntr")      # found, not imported: its networks are files
NETWORKS = Path(WNTR.origin).parent / "library" / "networks" if WNTR else None


@pytest.mark.skipif(NETWORKS is None, reason="no wntr, whose Net3 this draws")
def test_zone_names_on_their_zones_apart():
    """--labels on Net3 in 16 grid zones: one name per zone, at a node of
    that zone, no two names overlapping in the PNG."""
    from matplotlib.transforms import Bbox

    from tagtool.picture import ZoneNames

    model = read_model(str(NETWORKS / "Net3.inp"))
    xs, ys = zip(*model.coordinates.values())
    cell = lambda x, y: f"Z{int((x - min(xs)) / (max(xs) - min(xs) + 1e-9) * 4)}" \
                        f"{int((y - min(ys)) / (max(ys) - min(ys) + 1e-9) * 4)}"
    rows = [{"t_type": "NODE", "id": id, "tag": cell(*at)} for id, at in model.coordinates.items()]
    scene = Scene(model, rows, ("NODE", "LINK"), labels=True)
    tags = {row["tag"] for row in rows}
    assert sorted(tag for tag, _ in scene.labels) == sorted(tags)
    for tag, point in scene.labels:
        assert cell(*point) == tag and point in model.coordinates.values()
    picture = draw(scene, "Net3", size=(6, 4), dpi=80)
    picture.figure.savefig(io.BytesIO(), format="png")
    boxes = next(a for a in picture.axes.artists if isinstance(a, ZoneNames)).boxes
    assert len(boxes) == len(tags)
    assert not any(Bbox.intersection(a, b) for i, a in enumerate(boxes) for b in boxes[:i])


def two_nodes(folder, backdrop=""):
    path = folder / "m.inp"
    path.write_text(f"[JUNCTIONS]\nJ1 0\nJ2 0\n[COORDINATES]\nJ1 0 0\nJ2 10 5\n"
                    f"[BACKDROP]\n{backdrop}\n[END]\n")
    return read_model(str(path))


def test_picture_reads_no_mathtext(tmp_path):
    """Tags and a title that mathtext would read (and refuse: an unclosed
    brace) are drawn as written in every picture format."""
    rows = [{"t_type": "NODE", "id": "J1", "tag": "$x^{2$"},
            {"t_type": "NODE", "id": "J2", "tag": "a$b$c"}]
    picture = draw(Scene(two_nodes(tmp_path), rows, ("NODE",), labels=True), "$\\sqrt{$")
    for fmt in PICTURES:
        picture.figure.savefig(io.BytesIO(), format=fmt)
    assert [text for text, _ in picture.legend] == ["$x^{2$ (1)", "a$b$c (1)"]


@pytest.mark.parametrize("backdrop, unit", [
    ("UNITS Meters", "m"), (" UNITS\tFEET", "ft"), ("UNITS degrees", "degrees"),
    ("UNITS None", "model units"), ("DIMENSIONS 0 0 1 1", "model units"),
])
def test_scale_bar_in_backdrop_units(tmp_path, backdrop, unit):
    """The scale bar in the unit of [BACKDROP] UNITS, else in model units."""
    picture = draw(Scene(two_nodes(tmp_path, backdrop), [], ("NODE",)), "m")
    said = [t.get_text() for bar in picture.axes.artists for t in bar.findobj(Text)]
    assert any(text.endswith("(model units)" if unit == "model units" else f" {unit}")
               for text in said), said


# ---------------------------------------------------------------------------
# the page in a browser

# Tags that plotly would read as a link, styles, an entity, a line break
# and mathematics.
MARKUP = ['<a href="//host/x">L</a>', "<b>B</b> <i>I</i> &lt; $x^2$",
          '<span style="color:red">S</span><br>&amp;']

# Run in the page: what each plotly trace draws, by its meta, once drawn;
# the hover text of a trace's first point; whether a click on a legend
# entry hides its trace.
READ_PAGE = """
new Promise(done => setTimeout(done, 500)).then(async () => {
  const map = document.getElementById("map");
  const pause = () => new Promise(done => setTimeout(done, 300));
  const shown = {
    canvases: map.querySelectorAll("canvas").length,
    traces: map.data.map(t => ({meta: t.meta, name: t.name, points: t.x.filter(v => v !== null).length,
                                breaks: t.x.filter(v => v === null).length})),
    hovers: [],
    // Every text the page shows from the tags and the title, as the reader sees it.
    legend: [...map.querySelectorAll(".legendtext, .legend2text")].map(t => t.textContent),
    title: map.querySelector(".gtitle").textContent,
    names: [...map.querySelectorAll(".annotation-text")].map(t => t.textContent),
    links: map.querySelectorAll("svg a").length,
  };
  // The mouse over the first node and the first link marker of a tag.
  const xaxis = map._fullLayout.xaxis, yaxis = map._fullLayout.yaxis;
  const box = map.getBoundingClientRect();
  for (const type of ["NODE", "LINK"]) {
    const trace = map.data.find(t => t.meta.type === type && t.meta.role === "tag");
    map.querySelector(".nsewdrag").dispatchEvent(new MouseEvent("mousemove", {
      bubbles: true, clientX: box.left + xaxis._offset + xaxis.l2p(trace.x[0]),
      clientY: box.top + yaxis._offset + yaxis.l2p(trace.y[0])}));
    await pause();
    const text = map.querySelector(".hovertext");
    shown.hovers.push([trace.text[0], text ? text.textContent : null]);
  }
  // A click on the links' first legend entry.
  const toggle = map.querySelector(".legend2 .traces .legend2toggle");
  for (const kind of ["mousedown", "mouseup"]) {
    toggle.dispatchEvent(new MouseEvent(kind, {bubbles: true}));
  }
  await pause();
  shown.clicked = toggle.parentNode.querySelector("text").textContent;
  shown.hidden = map.data.map(t => t.visible === "legendonly");
  return shown;
})
"""


class DevTools:
    """Headless Chromium driven through the DevTools protocol on a pipe
    (file descriptors 3 and 4; messages end in a NUL byte)."""

    def __init__(self, profile):
        self.commands, theirs_in = os.pipe()
        theirs_out, self.replies = os.pipe()
        # Chromium reads fd 3 and writes fd 4; it runs without the sanitizers
        # that a sanitized test run preloads into this process.
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "PYTHONMALLOC") and not k.endswith("SAN_OPTIONS")}
        self.child = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--remote-debugging-pipe",
             "--enable-unsafe-swiftshader", "--no-first-run", f"--user-data-dir={profile}",
             "about:blank"],
            pass_fds=(3, 4), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
            preexec_fn=lambda: (os.dup2(self.commands, 3), os.dup2(self.replies, 4)))
        os.close(self.commands)
        os.close(self.replies)
        self.write, self.read = os.fdopen(theirs_in, "wb"), os.fdopen(theirs_out, "rb")
        self.next, self.events, self.buffer = 0, [], b""

    def call(self, method, session=None, **params):
        self.next += 1
        message = {"id": self.next, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self.write.write(json.dumps(message).encode() + b"\0")
        self.write.flush()
        while True:
            reply = self.receive()
            if reply.get("id") == self.next:
                assert "error" not in reply, reply
                return reply["result"]
            self.events.append(reply)

    def wait_for(self, method):
        while not any(e.get("method") == method for e in self.events):
            self.events.append(self.receive())

    def receive(self):
        while b"\0" not in self.buffer:
            ready, _, _ = select.select([self.read], [], [], WAIT)
            assert ready, f"Chromium said nothing for {WAIT} s"
            chunk = os.read(self.read.fileno(), 1 << 16)
            assert chunk, "Chromium closed the pipe"
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def close(self):
        try:
            self.call("Browser.close")
        finally:
            try:
                self.child.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.child.kill()
                self.child.wait()
            self.write.close()
            self.read.close()


def console_errors(events):
    """The errors the page told: exceptions, console.error, log entries."""
    errors = []
    for e in events:
        method, params = e.get("method"), e.get("params", {})
        if method == "Runtime.exceptionThrown":
            errors.append(params["exceptionDetails"].get("text"))
        elif method == "Runtime.consoleAPICalled" and params["type"] == "error":
            errors.append(params["args"])
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
            errors.append(params["entry"]["text"])
    return errors


@real_file
@pytest.mark.skipif(CHROMIUM is None, reason="no Chromium browser (Debian's chromium) installed")
def test_page_in_chromium_draws_every_element(dtown, tmp_path, capsys):
    """Opened offline in headless Chromium, the page draws with WebGL every
    placed node and link under its tag, as many as the network has, and
    tells no error; tags and titles written in plotly's markup show as
    they are written, in the legend, the zones' names, hovers and title."""
    model = read_model(str(DTOWN))
    junctions = model.of_kind("junction")
    for t_type, id, tag in (("NODE", junctions[0], MARKUP[0]), ("NODE", junctions[1], MARKUP[1]),
                            ("LINK", model.of_kind("pipe")[-1], MARKUP[2])):
        assert main(["set", "d", t_type, id, tag]) == 0
    dtown = orvane.get_tags("d")
    page = tmp_path / "d.html"
    assert main(["map", "d", str(DTOWN), "-o", str(page), "--labels", "--title", MARKUP[1]]) == 0
    capsys.readouterr()
    with tempfile.TemporaryDirectory() as profile:
        browser = DevTools(profile)
        try:
            target = browser.call("Target.createTarget", url="about:blank")["targetId"]
            session = browser.call("Target.attachToTarget", targetId=target,
                                   flatten=True)["sessionId"]
            for domain in ("Runtime", "Log", "Page"):
                browser.call(f"{domain}.enable", session)
            browser.call("Page.navigate", session, url=page.as_uri())
            browser.wait_for("Page.loadEventFired")
            read = browser.call("Runtime.evaluate", session, expression=READ_PAGE,
                                awaitPromise=True, returnByValue=True)
        finally:
            browser.close()
    assert "exceptionDetails" not in read, read
    shown = read["result"]["value"]
    assert shown["canvases"] > 0
    drawn, paths = collections.Counter(), collections.Counter()
    for trace in shown["traces"]:
        meta = trace["meta"]
        if meta["role"] == "path":
            paths[meta["type"], meta["tag"]] += trace["breaks"]
        else:
            drawn[meta["type"], meta["tag"]] += trace["points"]
    assert drawn == per_tag(dtown, read_model(str(DTOWN)))
    assert paths == {key: n for key, n in drawn.items() if key[0] == "LINK"}
    for text, told in shown["hovers"]:
        assert told == html.unescape(text.replace("<br>", "")), (text, told)
    # The links' first entry is their most frequent tag; a click on it hides
    # the lines and the markers of its links, nothing else.
    assert shown["clicked"] == f"Main ({sum(v == 'Main' for v in LINK_TAGS.values())})"
    hidden = [t["meta"] for t, gone in zip(shown["traces"], shown["hidden"]) if gone]
    assert hidden == [{"type": "LINK", "tag": "Main", "role": "path"},
                      {"type": "LINK", "tag": "Main", "role": "tag"}]
    assert console_errors(browser.events) == []
    assert {f"{label(tag)} (1)" for tag in MARKUP} - set(shown["legend"]) == set(), repr(shown["legend"])
    assert {label(MARKUP[0]), label(MARKUP[1])} <= set(shown["names"])
    assert (shown["title"], shown["links"]) == (MARKUP[1], 0)
