"""The tag tool in everyday use: a history that tells when, who and which
file; zones --replace on a real network; list in natural order; the linked
model read from its cache, its encoding told once; a core install without
the extras, whose commands say which extra they need."""

import json
import os
import re
import subprocess
import sys
from datetime import datetime, timezone
from pathlib import Path

import pytest

from api import database as db
from api import orvane
from tagtool import modelcache
from tagtool.model import read_model
from test_tagtool import EXAMPLE, net, tags, write  # noqa: F401 (fixtures)

pytestmark = pytest.mark.filterwarnings("error")

ROOT = Path(__file__).resolve().parents[1]
DTOWN = next((p / "shared" / "data" / "inp" / "dtown.inp" for p in ROOT.parents
              if (p / "shared" / "data" / "inp" / "dtown.inp").exists()), None)
LINE = re.compile(r"(?P<seq> *\d+)  (?P<when>\d{4}-\d\d-\d\d \d\d:\d\d|- {15})  (?P<who>\S+) +"
                  r"(?P<what>.*?)(?P<undone>  \(undone\))?")


def history(tool, network):
    """The history's lines as (when, who, what, undone) tuples."""
    status, out, err = tool("history", network)
    assert (status, err) == (0, ""), err
    return [LINE.fullmatch(line).group("when", "who", "what", "undone") for line in out.splitlines()]


def test_history_tells_when_who_and_which_file(tool, net, tmp_path):
    inp = write(tmp_path / "model.inp", "[TAGS]\nNODE J1 a\nNODE J2 b\n")
    table = write(tmp_path / "dma.csv", "type,id,tag\nNODE,J3,c\n")
    role = db.read_all(net, "select current_user as who")[0]["who"] if db.backend_name() == "postgresql" \
        else None
    # An entry written before entries had a time and a user.
    tool("set", net, "NODE", "J9", "old")
    db.execute_batch(net, ["alter table undo_journal drop column made_at",
                           "alter table undo_journal drop column made_by"])
    start = datetime.now(timezone.utc).replace(second=0, microsecond=0)
    for argv in (("set", net, "NODE", "J1", "x"), ("import", net, "--theirs", inp),
                 ("import", net, table),
                 ("clear", net, "NODE", "J1")):
        assert tool(*argv)[0] == 0
    assert tool("undo", net)[0] == 0
    end = datetime.now(timezone.utc)
    from api.database.sqlite_files import _os_user

    user = role or _os_user()
    rows = history(tool, net)
    for when, *_ in rows[:4]:
        local = datetime.strptime(when, "%Y-%m-%d %H:%M").astimezone()
        assert start <= local.astimezone(timezone.utc) <= end
    assert [row[1:] for row in rows] == [
        (user, "clear NODE J1 (was 'a')", "  (undone)"),
        (user, f"import {table}: 1 added, 0 changed, 0 removed", None),
        (user, f"import {inp}: 1 added, 1 changed, 0 removed", None),
        (user, "set NODE J1 'x' (was no tag)", None),
        ("-", "set NODE J9 'old' (was no tag)", None)]
    assert rows[4][0] == "-" + " " * 15
    # The journal keeps the time in UTC.
    stamps = [entry["made_at"] for entry in db.journal(net)]
    assert stamps[0] is None and all(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", s)
                                     for s in stamps[1:])


@pytest.mark.parametrize("ids", [
    ["10", "2", "1", "J10", "J2", "J02", "J1a", "a", "A", "0", "J2b10", "J2b9"],
])
@pytest.mark.parametrize("fmt", ["text", "json", "csv"])
def test_list_is_in_natural_order(tool, net, fmt, ids):
    order = ["0", "1", "2", "10", "A", "J1a", "J2", "J02", "J2b9", "J2b10", "J10", "a"]
    for i, id in enumerate(ids):
        tool("set", net, "LINK", f"P{i * 7 % 12}", "t")
        tool("set", net, "NODE", id, "t" if i % 3 else "with space")
    out = tool("list", net, "--format", fmt)[1]
    if fmt == "json":
        listed = [(row["type"], row["id"]) for row in json.loads(out)]
    else:
        lines = out.splitlines()[fmt == "csv":]
        listed = [tuple(re.split("[\t,]", line)[:2]) for line in lines]
    assert listed == [("NODE", id) for id in order] + [("LINK", f"P{i}") for i in range(12)]


def grid_zones(model, columns, rows, shrink=0.0):
    """Rectangles tiling the model's extent (less ``shrink`` of it on the
    right), named by their place, as GeoJSON; and the zone of a point."""
    xs = [x for x, _ in model.coordinates.values()]
    ys = [y for _, y in model.coordinates.values()]
    x0, y0 = min(xs), min(ys)
    width = (max(xs) - x0) * (1 - shrink) / columns
    height = (max(ys) - y0) / rows
    features = [{"type": "Feature", "properties": {"name": f"Z{i}-{j}"}, "geometry": {
        "type": "Polygon", "coordinates": [[
            [x0 + i * width, y0 + j * height], [x0 + (i + 1) * width, y0 + j * height],
            [x0 + (i + 1) * width, y0 + (j + 1) * height], [x0 + i * width, y0 + (j + 1) * height],
            [x0 + i * width, y0 + j * height]]]}} for i in range(columns) for j in range(rows)]

    def zone(point):
        # Half-open cells with the far edges closed, as the polygons'
        # boundaries are inside: the first feature wins on a shared edge.
        x, y = point
        for i in range(columns):
            for j in range(rows):
                if (x0 + i * width <= x <= x0 + (i + 1) * width
                        and y0 + j * height <= y <= y0 + (j + 1) * height):
                    return f"Z{i}-{j}"
        return None
    return {"type": "FeatureCollection", "features": features}, zone


@pytest.mark.skipif(DTOWN is None, reason="no shared dtown.inp")
def test_zones_replace_ends_with_exactly_the_zoning(tool, net, tmp_path):
    # D-Town with one node's coordinates taken out.
    text = DTOWN.read_text(encoding="latin-1")
    at = text.index("[COORDINATES]")
    line = re.compile(r"^ *(\S+)[ \t]+-?\d.*\n", re.M).search(text, at)
    unplaced = line[1]
    path = tmp_path / "dtown.inp"
    path.write_text(text[:line.start()] + text[line.end():], encoding="latin-1")
    model = read_model(path)
    assert unplaced in model.nodes and unplaced not in model.coordinates
    first, _ = grid_zones(model, 4, 3)
    moved, zone_of = grid_zones(model, 3, 2, shrink=0.3)
    (tmp_path / "a.geojson").write_text(json.dumps(first))
    (tmp_path / "b.geojson").write_text(json.dumps(moved))
    assert tool("zones", net, path, tmp_path / "a.geojson", "--first")[0] == 0
    tool("set", net, "NODE", unplaced, "kept")
    tool("set", net, "NODE", "ghost", "kept too")
    before = sorted(tags(tool))

    dry = tool("zones", net, path, tmp_path / "b.geojson", "--first", "--replace", "--dry-run")
    assert dry[0] == 0 and sorted(tags(tool)) == before
    status, out, err = tool("zones", net, path, tmp_path / "b.geojson", "--first", "--replace")
    assert status == 0, err
    counts = re.compile(r"\d+ (?:added|changed|unchanged|removed)").findall
    assert counts(out.splitlines()[-1]) == counts(dry[1].splitlines()[-1])
    assert dry[1].splitlines()[:-1] == out.splitlines()[:-1]

    stored = {(t["t_type"], t["id"]): t["tag"] for t in orvane.get_tags(net)}
    where = {n: zone_of(p) for n, p in model.coordinates.items()}
    for node in model.nodes:
        if node in model.coordinates:
            assert stored.get(("NODE", node)) == where[node], node
    for link, (a, b) in model.links.items():
        if a in where and b in where:
            expected = where[a] if where[a] == where[b] else None
            assert stored.get(("LINK", link)) == expected, link
    assert (stored["NODE", unplaced], stored["NODE", "ghost"]) == ("kept", "kept too")
    removed = int(re.search(r"(\d+) removed", out.splitlines()[-1])[1])
    assert removed > 0 and "without coordinates, tags kept: 1 tag\n" in out
    assert "not in the model, tags kept: 1 tag\n" in out
    assert tool("undo", net)[0] == 0 and sorted(tags(tool)) == before


def test_the_linked_model_is_read_once(tool, tmp_path, monkeypatch):
    """The model is read at link time; later commands take what they need
    from the cache until the file changes (a file touched only keeps it),
    and its encoding is told once, at link time."""
    model = tmp_path / "latin.inp"
    text = EXAMPLE.read_text().replace("[TITLE]", "[TITLE]\nR\u00e9seau")
    model.write_bytes(text.encode("latin-1"))
    reads = []
    real = modelcache.read_model
    monkeypatch.setattr(modelcache, "read_model", lambda path: reads.append(path) or real(path))
    status, out, err = tool("create", "net", "--model", model)
    assert status == 0 and "not UTF-8" in err and err.count("\n") == 1
    for argv, read in [(("set", "net", "NODE", "J1", "a"), 0),
                       (("set", "net", "NODE", "--kind", "tank", "T"), 0),
                       (("summary", "net"), 0),
                       (("touch",), 0), (("set", "net", "LINK", "P1", "b"), 0),
                       (("change",), 0), (("set", "net", "NODE", "J2", "c"), 1),
                       (("summary", "net"), 0)]:
        if argv == ("touch",):
            os.utime(model, (1, 1))
            continue
        if argv == ("change",):
            model.write_bytes(text.replace("J5", "J6").encode("latin-1"))
            continue
        reads.clear()
        status, out, err = tool(*argv)
        assert (status, err, len(reads)) == (0, "", read), argv
    assert tool("summary", "net")[1].startswith("nodes: 3 tagged")
    assert "J6" in modelcache.cached_model("net", str(model)).nodes
    # Many ids are checked through a set of the cached ids, few in their text.
    for extra in (0, 66):
        ids = ["J1", "J6", "J", "J5"] + [f"X{i}" for i in range(extra)]
        table = write(tmp_path / "t.csv", "type,id,tag\n" + "".join(f"NODE,{id},x\n" for id in ids))
        reads.clear()
        status, out, err = tool("import", "net", table, "--dry-run", "--skip-unknown",
                                "--theirs")
        assert (status, len(reads)) == (0, 0), err
        assert err.startswith(f"tagtool: warning: {table}: left out {2 + extra} ids not in the "
                              f"linked model '{model}': NODE J, NODE J5")
    # Where the cache cannot be written, the file is read each time.
    def refuse(*args):
        raise db.ReadOnlyError("read-only")
    monkeypatch.setattr(db, "write_model_cache", refuse)
    os.utime(model, (2, 2))
    model.write_bytes(text.encode("latin-1"))
    for _ in range(2):
        reads.clear()
        assert tool("set", "net", "NODE", "J5", "d") == (0, "NODE J5: tag 'd'\n", "")
        assert len(reads) == 1



LIBRARY = Path(sys.prefix) / "lib" / "python3.12" / "site-packages" / "wntr" / "library" / "networks"
CACHED = [p for p in [*(DTOWN.parent.glob("*.inp") if DTOWN else ()), *LIBRARY.glob("*.inp")]
          if p.name in ("dtown.inp", "wadi-run55.inp", "Net3.inp")]
ASKED = [("stats", "--format", "json"),
         ("stats", "--format", "csv", "--where", "diameter > 8 or elevation > 100"),
         ("list", "--where", "demand > 0 and not roughness < 100"),
         ("set", "LINK", "--where", "kind = pipe and length > 0", "--dry-run", "Long")]


@pytest.mark.parametrize("encoding", ["utf-8", "latin-1"])
@pytest.mark.parametrize("source", CACHED, ids=lambda p: p.name)
def test_attributes_come_from_the_cache_as_from_the_file(tool, tmp_path, monkeypatch, source,
                                                         encoding):
    """The columns that stats and --where compare come from the linked
    model's cache once a command has read them, giving what the file read
    gives a network without the link; a changed file is read again (a
    touched one is not), and a file whose read warns is read, and warns,
    every time."""
    model = tmp_path / "model.inp"
    text = source.read_text()
    model.write_bytes(text.replace("[TITLE]", "[TITLE]\nR\u00e9seau", 1).encode(encoding))
    ids = list(read_model(str(model)).nodes)
    table = write(tmp_path / "t.csv", "type,id,tag\n" + "".join(
        f"NODE,{id},{('North', 'South', 'East')[i % 3]}\n" for i, id in enumerate(ids)))
    for network, linked in (("linked", ("--model", model)), ("plain", ())):
        assert tool("create", network, *linked)[0] == 0
        assert tool("import", network, table)[0] == 0
    reads = []
    real = modelcache.read_columns
    monkeypatch.setattr(modelcache, "read_columns",
                        lambda path, columns: reads.append(path) or real(path, columns))

    def both(argv):
        """The command on the linked network, on the other with --model,
        the reads it made of the linked model; its report."""
        reads.clear()
        cached = tool(argv[0], "linked", *argv[1:])
        read = tool(argv[0], "plain", *argv[1:], "--model", model)
        if argv[0] == "stats" and "json" in argv:
            cached, read = ((s, {**json.loads(out), "network": None}, err)
                            for s, out, err in (cached, read))
        assert cached == read and cached[0] == 0, argv
        return len(reads), cached[1]

    warns = encoding != "utf-8"
    assert [both(argv)[0] for argv in ASKED] == [1, 1, 1, int(warns)]
    assert [both(argv)[0] for argv in ASKED] == [int(warns)] * 4
    before = both(ASKED[0])[1]
    # One pipe's length changed, the file's size kept: the hash tells.
    lines = model.read_bytes().split(b"\n")
    at = lines.index(next(line for line in lines if line.strip().upper() == b"[PIPES]")) + 1
    while not lines[at].strip() or lines[at].lstrip().startswith(b";"):
        at += 1
    words = lines[at].split()
    longer = (b"9" if words[3][:1] != b"9" else b"1") + words[3][1:]
    lines[at] = lines[at].replace(words[3], longer, 1)
    model.write_bytes(b"\n".join(lines))
    os.utime(model, (1, 1))
    count, after = both(ASKED[0])
    assert count == 1 and after != before
    os.utime(model, (2, 2))         # touched only
    assert both(ASKED[0]) == (int(warns), after)

BLOCKER = """
import sys
from importlib.abc import MetaPathFinder
BLOCKED = {"matplotlib", "plotly", "shapely", "numpy", "psycopg", "epanet", "mpl_toolkits"}
class Blocker(MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in BLOCKED:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, Blocker())
sys.path.insert(0, sys.argv.pop(1))
from tagtool.cli import console_main
sys.exit(console_main(sys.argv[1:]))
"""


def test_the_core_alone_keeps_tags_and_names_the_extras(tmp_path):
    """Without the extras' packages (as after `pip install orvane`): a tag
    session works, and map, zones and PostgreSQL each say which extra to
    install, in one line with exit status 69."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("ORVANE_")}
    env["XDG_DATA_HOME"] = str(tmp_path / "xdg")

    def core(*argv):
        done = subprocess.run([sys.executable, "-c", BLOCKER, str(ROOT), *map(str, argv)],
                              capture_output=True, text=True, cwd=tmp_path, env=env)
        return done.returncode, done.stdout, done.stderr
    zones = tmp_path / "z.geojson"
    zones.write_text("{}")
    for argv, status in [(("create", "n"), 0), (("import", "n", EXAMPLE), 0),
                         (("set", "n", "NODE", "J1", "x"), 0), (("undo", "n"), 0),
                         (("list", "n", "--format", "csv"), 0), (("history", "n"), 0),
                         (("export", "n", "--format", "geojson", "--model", EXAMPLE), 0),
                         (("export", "n", "-o", tmp_path / "tags.inp"), 0)]:
        assert core(*argv)[0] == status, core(*argv)
    for argv, extra, module in [
            (("map", "n", EXAMPLE, "-o", tmp_path / "m.png"), "maps", "matplotlib"),
            (("map", "n", EXAMPLE, "-o", tmp_path / "m.html"), "maps", "plotly"),
            (("zones", "n", EXAMPLE, zones), "gis", "shapely"),
            (("--database", "postgresql://u@127.0.0.1:1/d", "list", "n"), "pg", "psycopg")]:
        status, out, err = core(*argv)
        assert (status, out, err.count("\n")) == (69, "", 1), err
        assert err.startswith(f"tagtool: {module} is not installed") and \
            err.endswith(f": pip install 'orvane[{extra}]'\n")
    assert not (tmp_path / "m.png").exists()
