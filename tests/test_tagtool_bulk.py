"""The tag tool's bulk edits: tables imported back exactly, zones from
GeoJSON polygons on a real network, patterns and kinds, the linked model,
history, undo and redo of many commands, drop; on SQLite and PostgreSQL."""

import json
import re
from pathlib import Path

import pytest

from api import database as db
from api import orvane
from tagtool.model import read_model
from tagtool.taglines import unwritable
from test_tagtool import EXAMPLE, net, tags  # noqa: F401 (fixtures)

pytestmark = pytest.mark.filterwarnings("error")

ROOT = Path(__file__).resolve().parents[1]
DTOWN = next((p / "shared" / "data" / "inp" / "dtown.inp" for p in ROOT.parents
              if (p / "shared" / "data" / "inp" / "dtown.inp").exists()), None)
real_file = pytest.mark.skipif(DTOWN is None, reason="no shared dtown.inp")

# Tags a table could bend: separators, quotes, line breaks of each kind,
# escapes, spaces at the ends, text beyond ASCII, the empty text.
HOSTILE = ["North zone", 'say "hi"', "a,b", "two\nlines", "cr\r\nlf", "\r", "tab\there",
           "back\\slash", "Süd ⅋ 日本", " lead", "trail ", "", "'O''Neil'", ";no comment",
           '"quoted"', "[TAGS]", "long, " * 40_000]


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_list_imports_back_exactly(tool, net, tmp_path, fmt):
    for i, tag in enumerate(HOSTILE):
        assert tool("set", net, "NODE", f"J{i}", tag)[0] == 0
    for id in ('J"q', "J,c", "Ü1"):
        tool("set", net, "LINK", id, "x,y\n")
    original = stored(net)
    status, listed, _ = tool("list", net, "--format", fmt)
    path = tmp_path / f"tags.{fmt}"
    path.write_bytes(listed.encode())
    tool("create", "copy")
    status, out, err = tool("import", "copy", path)
    # Every tag as stored, but the empty text: a blank cell is no tag.
    assert status == 0 and stored("copy") == [row for row in original if row[2] != ""]
    # Each tag an INP export would refuse is named, on the row that holds it.
    assert ": NODE J0: the tag holds whitespace; an INP export will refuse it\n" in err
    assert err.count("an INP export will refuse it") == sum(
        1 for row in original if row[2] and unwritable(*row))
    entries = len(db.journal("copy"))
    assert tool("import", "copy", path)[0] == 0 and len(db.journal("copy")) == entries
    assert tool("undo", "copy")[0] == 0 and tags(tool, "copy") == []
    assert tool("redo", "copy")[0] == 0 and stored("copy") == [r for r in original if r[2] != ""]


STAMP = re.compile(r"^( *\d+)  (?:\d{4}-\d\d-\d\d \d\d:\d\d|-) {2,}\S+ +", re.M)


def history(tool, network, *argv):
    """The history's lines without their time and user."""
    return STAMP.sub(r"\1  ", tool("history", network, *argv)[1])


def stored(network):
    """The network's tags, in no particular order."""
    return sorted((t["t_type"], t["id"], t["tag"]) for t in orvane.get_tags(network))


def test_a_gis_table_is_merged_as_one_command(tool, net, tmp_path):
    tool("set", net, "NODE", "J1", "Old")
    tool("set", net, "NODE", "J2", "Same")
    gis = tmp_path / "dma.csv"
    gis.write_text("FID;NODE_ID;DMA\n1;J1;North\n2;J2;Same\n3;J3;\n4;J4;South\n")
    argv = ["import", net, gis, "--id-column", "node_id ", "--tag-column", "Dma"]
    # A table of unknown origin overwrites no tag: J1 is a conflict.
    status, out, err = tool(*argv)
    assert status == 3 and "NODE J1" in err
    assert tags(tool) == ["NODE\tJ1\tOld", "NODE\tJ2\tSame"]
    assert tool(*argv, "--theirs")[0] == 0
    assert sorted(tags(tool)) == ["NODE\tJ1\tNorth", "NODE\tJ2\tSame", "NODE\tJ4\tSouth"]
    assert tool("undo", net)[0] == 0
    assert sorted(tags(tool)) == ["NODE\tJ1\tOld", "NODE\tJ2\tSame"]
    # --replace makes the table the network's tags, undone as exactly.
    assert tool(*argv, "--replace", "--type", "link")[0] == 0
    assert sorted(tags(tool)) == ["LINK\tJ1\tNorth", "LINK\tJ2\tSame", "LINK\tJ4\tSouth"]
    tool("undo", net)
    assert sorted(tags(tool)) == ["NODE\tJ1\tOld", "NODE\tJ2\tSame"]


GOOD = {"type": "Feature", "properties": {"name": "A"},
        "geometry": {"type": "Polygon", "coordinates": [[[0, 0], [100, 0], [100, 100], [0, 0]]]}}


@pytest.mark.parametrize("name, text, argv, status, message", [
    ("t.csv", "type,id,tag\nNODE,J1,a\nTANK,T1,b\n", [], 65, "t.csv:3: bad type 'TANK' "),
    ("t.csv", 'type,id,tag\nNODE,J1,a\nNODE,J2,"b\nc"\nNODE,J1,d\n', [], 65,
     "t.csv:5: NODE J1 given twice (first on line 2): NODE,J1,d"),
    ("t.csv", "id,tag\nJ1,a\n", [], 65, "t.csv: not a table of the tool's own"),
    ("t.csv", "FID,ID\n1,J1\n", ["--id-column", "ID", "--tag-column", "ZONE"], 65,
     "t.csv: no column 'ZONE': its columns are FID, ID"),
    ("t.json", '{"type": "NODE"}', [], 65, "t.json: not a table: JSON dict"),
    ("t.json", '[{"type": "NODE", "id": "J1", "tag": 7}]', [], 65,
     "t.json:item 0: the tag is not a text: 7"),
    ("t.json", '[{"type": "NODE",\n', [], 65, "t.json:2: not JSON: "),
    ("t.csv", b"type,id,tag\nNODE,J1,\xff\n", [], 65, "t.csv: not UTF-8: line 2, byte 9 (0xff)"),
    ("z.geojson", {"type": "FeatureCollection", "features": [
        GOOD, {**GOOD, "geometry": {"type": "Point", "coordinates": [1, 2]}}]}, [], 65,
     "z.geojson:feature 1: its geometry is \"Point\", not a Polygon or MultiPolygon"),
    ("z.geojson", {"type": "FeatureCollection", "features": [{**GOOD, "properties": {}}]},
     [], 65, "z.geojson:feature 0: no property 'name' to name its zone (it has null)"),
    ("z.geojson", {"type": "FeatureCollection", "features": [{**GOOD, "geometry": {
        "type": "Polygon", "coordinates": [[[0, 0], [1, 1], [1, 0], [0, 1], [0, 0]]]}}]},
     [], 65, "z.geojson:feature 0: not a valid polygon: Self-intersection"),
    ("z.geojson", {"type": "FeatureCollection", "features": [{**GOOD, "geometry": {
        "type": "Polygon", "coordinates": [[[1e6, 0], [2e6, 0], [2e6, 1e6], [1e6, 0]]]}}]}, [], 65,
     "tagtool: z.geojson: no polygon overlaps the model's extent (x 10 to 70, y 40 to 90): "
     "different coordinate systems?"),
    ("missing.csv", None, [], 66, "tagtool: missing.csv: cannot read: No such file"),
])
def test_bad_input_writes_nothing(tool, net, tmp_path, monkeypatch, name, text, argv, status,
                                  message):
    monkeypatch.chdir(tmp_path)
    if isinstance(text, dict):
        text = json.dumps(text)
    if text is not None:
        (tmp_path / name).write_bytes(text if isinstance(text, bytes) else text.encode())
    tool("set", net, "NODE", "J1", "before")
    if name.endswith(".geojson"):
        command = ["zones", net, EXAMPLE, name, *argv]
    else:
        command = ["import", net, name, *argv]
    code, out, err = tool(*command)
    assert (code, out) == (status, "") and message in err, err
    assert tags(tool) == ["NODE\tJ1\tbefore"] and len(db.journal(net)) == 1


def box(x, y, half, left=None):
    """A square ring around (x, y), or with its left edge at ``left``."""
    x0 = x - half if left is None else left
    return [[x0, y - half], [x0 + 2 * half, y - half], [x0 + 2 * half, y + half],
            [x0, y + half], [x0, y - half]]


def inside(ring, point, strict=False):
    (x0, y0), (x1, y1) = ring[0], ring[2]
    x, y = point
    if strict:
        return x0 < x < x1 and y0 < y < y1
    return x0 <= x <= x1 and y0 <= y <= y1


@real_file
def test_zones_on_a_real_network(tool, net, tmp_path):
    """Hand-made squares on D-Town: inside, on a boundary, in a hole, in a
    multipolygon, over a link, in two polygons, outside; checked against
    plain comparisons of the coordinates."""
    model = read_model(DTOWN)
    nodes = sorted(model.coordinates)
    at = model.coordinates
    a, b, c, d, e, f, kept = nodes[0], nodes[50], nodes[100], nodes[150], nodes[200], nodes[250], nodes[300]
    link = next(l for l, ends in sorted(model.links.items()) if all(n in at for n in ends)
                and not {a, b, c, d, e, f, kept} & set(ends))
    ends = [at[n] for n in model.links[link]]
    link_ring = box(sum(p[0] for p in ends) / 2, sum(p[1] for p in ends) / 2,
                    max(abs(ends[0][0] - ends[1][0]), abs(ends[0][1] - ends[1][1])) / 2 + 1)
    # (name, [(outer ring, [hole rings])]), in the file's order.
    zones = [("Inside", [(box(*at[a], 1), [])]),
             ("Edge", [(box(*at[b], 1, left=at[b][0]), [])]),
             ("Holed", [(box(*at[c], 40), [box(*at[c], 10)])]),
             ("Multi", [(box(*at[d], 1), []), (box(*at[e], 1), [])]),
             ("Link", [(link_ring, [])]),
             ("Over A", [(box(*at[f], 2), [])]),
             ("Over B", [(box(*at[f], 1), [])])]
    features = [{"type": "Feature", "properties": {"name": name}, "geometry": (
        {"type": "Polygon", "coordinates": [parts[0][0], *parts[0][1]]} if len(parts) == 1 else
        {"type": "MultiPolygon", "coordinates": [[outer, *holes] for outer, holes in parts]})}
        for name, parts in zones]
    path = tmp_path / "zones.geojson"
    path.write_text(json.dumps({"type": "FeatureCollection", "features": features}))

    def zone_of(point):
        return next((name for name, parts in zones for outer, holes in parts
                     if inside(outer, point) and not any(inside(h, point, True) for h in holes)),
                    None)
    where = {n: zone_of(p) for n, p in at.items()}
    expected = {("NODE", n): z for n, z in where.items() if z}
    expected |= {("LINK", l): where[s] for l, (s, t) in model.links.items()
                 if where.get(s) and where.get(s) == where.get(t)}
    assert (expected["NODE", a], expected["NODE", b], expected["LINK", link]) == (
        "Inside", "Edge", "Link")
    assert ("NODE", c) not in expected and expected["NODE", e] == "Multi"

    tool("set", net, "NODE", kept, "keep")
    tool("set", net, "NODE", d, "Multi")
    before = sorted(tags(tool))
    status, out, err = tool("zones", net, DTOWN, path)
    assert status == 65 and out == ""
    assert f"NODE {f} lies in 'Over A' (feature 5) and 'Over B' (feature 6)" in err
    assert sorted(tags(tool)) == before
    status, out, err = tool("zones", net, DTOWN, path, "--first")
    assert status == 0, err
    assert "zone 'Multi': 2 elements: 1 added, 0 changed, 1 unchanged\n" in out
    assert stored(net) == sorted((*key, tag) for key, tag in
                                 ({("NODE", kept): "keep"} | expected).items())
    after = sorted(tags(tool))
    assert tool("undo", net)[0] == 0 and sorted(tags(tool)) == before
    assert tool("redo", net)[0] == 0 and sorted(tags(tool)) == after
    assert history(tool, net, "--limit", "1") == (
        f"3  zones zones.geojson (name): {len(expected) - 1} added, 0 changed, 0 removed\n"
        "... 2 older (--limit 3 shows all)\n")


def test_a_linked_model(tool, tmp_path):
    """Ids the linked model lacks are named (refused with --strict; an
    import refuses them unless --skip-unknown); summary reads the model;
    kinds and patterns pick from it; history tells it all."""
    assert tool("create", "net", "--model", EXAMPLE)[0] == 0
    assert tool("link", "net") == (0, f"{EXAMPLE}\n", "")
    status, out, err = tool("set", "net", "NODE", "J9", "x")
    assert status == 0 and err == (f"tagtool: warning: 1 id not in the linked model "
                                   f"'{EXAMPLE}': NODE J9\n")
    assert tool("set", "net", "NODE", "J8", "y", "--strict")[0] == 65
    table = tmp_path / "t.csv"
    table.write_text("type,id,tag\nLINK,P9,a\nLINK,P1,b\nLINK,P2,\n")
    # Spreadsheets mangle ids: one the model lacks is refused by name.
    assert tool("import", "net", table) == (
        65, "", f"tagtool: {table}: nothing imported: 1 id not in the linked model "
                f"'{EXAMPLE}': LINK P9 (--skip-unknown leaves them out)\n")
    assert tool("import", "net", table, "--skip-unknown")[0] == 0
    tool("set", "net", "LINK", "P9", "a")
    assert tool("set", "net", "NODE", "--kind", "junction", "Zone")[1] == (
        "tag 'Zone' on 5 nodes (--kind junction): 5 added, 0 changed, 0 unchanged\n")
    assert tool("set", "net", "LINK", "--match", "P[13]", "Main", "--dry-run")[1].endswith(
        "would give 1 added, 1 changed, 0 unchanged\n")
    area = tmp_path / "all.geojson"
    area.write_text(json.dumps({"type": "Feature", "properties": {"name": "Zone"}, "geometry": {
        "type": "Polygon", "coordinates": [[[0, 0], [100, 0], [100, 100], [0, 100], [0, 0]]]}}))
    assert tool("zones", "net", EXAMPLE, area, "--kind", "tank")[1].endswith(
        "1 added, 0 changed, 0 unchanged\n")
    # Undo and redo of a bulk edit name it as the history does.
    assert tool("undo", "net")[1] == \
        "undone: zones all.geojson (name, tanks): 0 added, 0 changed, 1 removed\n"
    tool("delete", "net", "NODE", "J9")
    summary = tool("summary", "net")[1]
    assert f"; {EXAMPLE}: 7 nodes, 2 untagged" in summary
    assert "links: 2 tagged, 2 tags" in summary and "  not in the model: P9\n" in summary
    assert history(tool, "net") == (
        "6  delete NODE J9 (was 'x')\n"
        "4  set NODE --kind junction 'Zone': 5 added, 0 changed, 0 removed\n"
        "3  set LINK P9 'a' (was no tag)\n"
        f"2  import {table}: 1 added, 0 changed, 0 removed\n"
        "1  set NODE J9 'x' (was no tag)\n")
    assert tool("undo", "net", "-n", "3") == (
        0, "undone: NODE J9: tag 'x'\nundone: set NODE --kind junction 'Zone': 0 added, 0 changed, "
           "5 removed\nundone: LINK P9: no tag\n", "")
    assert tags(tool) == ["NODE\tJ9\tx", "LINK\tP1\tb"]
    assert history(tool, "net", "--limit", "2").startswith(
        "6  delete NODE J9 (was 'x')  (undone)\n4  set NODE --kind")
    assert tool("redo", "net", "-n", "9") == (
        1, "redone: LINK P9: tag 'a'\n"
           "redone: set NODE --kind junction 'Zone': 5 added, 0 changed, 0 removed\n"
           "redone: NODE J9: no tag\n",
        "tagtool: nothing more to redo in network 'net' after 3 commands\n")
    assert tool("drop", "net")[0] == 1 and tool("networks")[1] == "net\n"
    assert tool("drop", "net", "--yes") == (0, "dropped network net\n", "")
    assert tool("networks")[1] == ""


def test_the_layers_below_the_commands_take_plain_values(tool, backend_url, capsys):
    # set --match, clear --where, undo and list called from Python with
    # plain values leave a network as the commands leave another.
    from tagtool import edit

    model = str(EXAMPLE)
    for network in ("cli", "py"):
        assert tool("create", network)[0] == 0
    assert tool("set", "cli", "NODE", "North", "--match", "J*", "--model", model)[0] == 0
    assert tool("set", "cli", "LINK", "Main", "--kind", "pipe", "--model", model)[0] == 0
    assert tool("clear", "cli", "NODE", "--where", "elevation >= 700", "--model", model)[0] == 0
    assert tool("undo", "cli", "-n", "2")[0] == 0
    assert tool("set", "cli", "NODE", "T", "--where", "kind = tank", "--model", model)[0] == 0
    db.set_database_url(backend_url)
    try:
        edit.set_many("py", "NODE", "North", match="J*", model=model)
        edit.set_many("py", "LINK", "Main", kind="pipe", model=model)
        edit.clear_many("py", "NODE", "elevation >= 700", model)
        assert edit.step("py", 2, db.undo, db.NEWEST_APPLIED, "undo", "undone") is None
        edit.set_many("py", "NODE", "T", where="kind = tank", model=model)
        assert edit.step("py", 9, db.redo, db.OLDEST_UNDONE, "redo", "redone") == 1
        capsys.readouterr()
        edit.list_tags("py", "json")
        listed = capsys.readouterr().out
    finally:
        db.set_database_url(None)
    assert listed == tool("list", "cli", "--format", "json")[1]
    assert [(row["id"], row["tag"]) for row in json.loads(listed)] == [
        ("J1", "North"), ("J2", "North"), ("J3", "North"), ("J4", "North"), ("J5", "North"),
        ("T1", "T")]
