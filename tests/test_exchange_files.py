"""The files of an exchange in every format: the tool's CSV as Excel saves
it again, GeoJSON as QGIS saves it, GIS tables and JSON, each read into the
same mapping and written back with only its tags changed; formula cells;
the door; broken inputs refused in one line."""

import codecs
import csv
import io
import json
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from api import database as db
from api import orvane
from tagtool.exchange_files import door, new_side, read_side
from tagtool.inpfile import InpFile
from tagtool.output import Failure
from test_tagtool import EXAMPLE, net, tags  # noqa: F401 (fixtures)

pytestmark = pytest.mark.filterwarnings("error")

ROOT = Path(__file__).resolve().parents[1]
DTOWN = next((p / "shared" / "data" / "inp" / "dtown.inp" for p in ROOT.parents
              if (p / "shared" / "data" / "inp" / "dtown.inp").exists()), None)
real_file = pytest.mark.skipif(DTOWN is None, reason="no shared dtown.inp")

# Tags a spreadsheet would run, or that look like what the guard adds.
FORMULAS = ["=HYPERLINK(\"http://x\")", "+1", "-x", "@SUM(A1)", "\tlead", "\rcr", "'=x", "''@y",
            "'", "''", "-5", "+1.5e3", "North, zone", 'say "hi"', "two\nlines", "Süd"]


def real_tags():
    """The tags of D-Town's [TAGS] section, with the formulas on its first
    nodes: {(type, id): tag}."""
    found = dict(InpFile.read(str(DTOWN)).read_tags().tags)
    for key, tag in zip(list(found), FORMULAS):
        found[key] = tag
    return found


def written(fmt, found, tmp_path, name=None):
    """The file ``export -o`` writes of ``found``, and its path."""
    path = tmp_path / (name or f"tags.{fmt}")
    path.write_bytes(new_side(path, fmt).render(found))
    return path


def excel(text, delimiter=";", encoding="cp1252", bom=b"", eol="\r\n", header=None,
          added=False, order=(0, 1, 2)):
    """The tool's CSV ``text`` as a spreadsheet saves it again: another
    delimiter, encoding, mark and line end, the header renamed, a column
    added at the front, the columns in another ``order``."""
    rows = [[row[i] for i in order]
            for row in csv.reader(io.StringIO(text.lstrip("\ufeff"), newline=""))]
    if header:
        rows[0] = header
    if added:
        rows = [["Note", *rows[0]]] + [[f"n{i}", *row] for i, row in enumerate(rows[1:])]
    # Quoted as Excel quotes: a cell with the delimiter, a quote or a line break.
    cell = lambda c: ('"' + c.replace('"', '""') + '"'
                      if any(s in c for s in (delimiter, '"', "\r", "\n")) else c)
    return bom + "".join(delimiter.join(map(cell, row)) + eol for row in rows).encode(encoding)


@real_file
@pytest.mark.parametrize("how", [
    dict(),                                                     # German Excel: ; cp1252 CRLF
    dict(delimiter="\t", encoding="utf-8", bom=codecs.BOM_UTF8, eol="\n"),
    dict(delimiter=",", encoding="utf-8", header=["ID ", "Type", "TAG"], order=(1, 0, 2),
         added=True),
    dict(delimiter=";", encoding="cp1250", eol="\r", added=True),
    dict(delimiter="\t", encoding="utf-16-le", bom=codecs.BOM_UTF16_LE),   # "Unicode text"
])
def test_the_tools_csv_as_excel_saves_it_reads_back_exactly(tmp_path, how):
    found = real_tags()
    text = written("csv", found, tmp_path).read_bytes().decode("utf-8")
    assert text.startswith("\ufefftype,id,tag\r\n")
    rows = list(csv.reader(io.StringIO(text[1:], newline="")))
    # No cell a spreadsheet would run, and every number as it was.
    assert not [cell for row in rows for cell in row if cell[:1] in "=+-@\t\r"
                and cell not in ("-5", "+1.5e3", "+1")]
    path = tmp_path / "saved.csv"
    path.write_bytes(excel(text, **how))
    encoding = how.get("encoding", "cp1252")
    found_out = encoding in ("utf-8", "utf-16-le")     # found without --encoding
    side = read_side(path, encoding=None if found_out else encoding)
    assert side.tags == found and side.skipped == 0
    if not found_out:
        with pytest.raises(Failure, match=rf"saved.csv: not UTF-8: line \d+, byte \d+ \(0x..\); "
                                          "--encoding cp1252 .* cp1250"):
            read_side(path)
    # Written back: only the changed rows differ, in the file's own dialect.
    new = dict(found)
    changed, gone = list(found)[20], list(found)[21]
    new[changed], added = "Ost", ("NODE", "=new")
    del new[gone]
    new[added] = "@x"
    data = side.render(new)
    assert side.counts == {"added": 1, "changed": 1, "removed": 1}
    before, after = path.read_bytes(), data
    assert after.startswith(how.get("bom", b""))
    assert read_side_bytes(tmp_path, after, side).tags == new
    bom, eol = how.get("bom", b""), how.get("eol", "\r\n")
    lines = lambda data: set(data[len(bom):].decode(encoding).split(eol))
    lost = lines(before) - lines(after)
    assert len(lost) == 2          # the changed row and the removed one, nothing else


def read_side_bytes(tmp_path, data, like):
    path = tmp_path / f"again.{like.fmt}"
    path.write_bytes(data)
    return read_side(path, like.fmt, encoding=like.encoding)


texts = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"),
                min_size=1, max_size=12)
ids = st.text(st.characters(blacklist_categories=("Cs", "Zs", "Zl", "Zp", "Cc"),
                            blacklist_characters=";\x85\x1c\x1d\x1e\x1f"), min_size=1, max_size=8)


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(st.tuples(st.sampled_from(["NODE", "LINK"]),
                                 ids | st.sampled_from(FORMULAS[:8])),
                       texts | st.sampled_from(FORMULAS), max_size=12),
       st.sampled_from(["csv", "json"]))
def test_every_tag_round_trips_through_the_tools_tables(tmp_path_factory, found, fmt):
    found = {key: tag for key, tag in found.items() if not any(c.isspace() for c in key[1])}
    path = written(fmt, found, tmp_path_factory.mktemp("t"))
    side = read_side(path)
    assert side.tags == found and side.skipped == 0


keys = st.tuples(st.sampled_from(["NODE", "LINK"]), ids | st.sampled_from(["=1", "-x", "'@"]))
tag_maps = st.dictionaries(keys, texts | st.sampled_from(FORMULAS), max_size=8)


def gis_layer(found, one_a_line):
    """A GeoJSON layer of ``found`` as a GIS might hold it: indented, or one
    feature a line as GDAL writes it."""
    features = [{"type": "Feature", "properties": {"fid": i, "id": id, "type": t, "tag": tag},
                 "geometry": {"type": "Point", "coordinates": [i, i, 0]}}
                for i, ((t, id), tag) in enumerate(found.items())]
    if not one_a_line:
        return json.dumps({"type": "FeatureCollection", "name": "x", "features": features},
                          indent=1)
    return ('{\n"type": "FeatureCollection",\n"features": [\n'
            + ",\n".join(map(json.dumps, features)) + "\n]\n}\n")


@settings(max_examples=150, deadline=None)
@given(tag_maps, tag_maps, st.sampled_from(["csv", "json", "geojson"]), st.booleans(),
       st.booleans())
def test_a_render_reads_back_as_the_tags_it_was_given(tmp_path_factory, old, new, fmt, crlf,
                                                      one_a_line):
    """Whatever the tags before and after, the file rendered reads back with
    the new tags of its rows (and, for the tool's own tables, the rows
    added), and a second render of the same tags changes nothing."""
    plain = lambda found: {k: v for k, v in found.items() if not any(c.isspace() for c in k[1])}
    old, new = plain(old), plain(new)
    path = tmp_path_factory.mktemp("r") / f"t.{fmt}"
    if fmt == "geojson":
        path.write_bytes(gis_layer(old, one_a_line).replace("\n", "\r\n" if crlf else "\n")
                         .encode())
    else:
        path.write_bytes(new_side(path, fmt).render(old))
    side = read_side(path)
    data = side.render(new)
    path.write_bytes(data)
    again = read_side(path)
    wanted = new if side.can_add else {k: v for k, v in new.items() if k in side.rows}
    assert again.tags == wanted and again.rows >= set(wanted)
    assert again.render(new) == data and again.counts == {"added": 0, "changed": 0, "removed": 0}


QGIS = """{
"type": "FeatureCollection",
"name": "net3",
"crs": { "type": "name", "properties": { "name": "urn:ogc:def:crs:EPSG::32633" } },
"features": [
{ "type": "Feature", "properties": { "fid": 1, "id": "10", "type": "NODE", "kind": "junction", "tag": "A", "name": "pump house" }, "geometry": { "type": "Point", "coordinates": [ 20.0, 70.5, 3.25 ] } },
{ "type": "Feature", "properties": { "fid": 2, "id": "P1", "type": "LINK", "kind": "pipe", "tag": null, "name": null }, "geometry": { "type": "LineString", "coordinates": [ [ 20.0, 70.5 ], [ 1e2, 7.50 ] ] } },
{ "type": "Feature", "properties": { "fid": 3, "id": 20, "Tag": "B" }, "geometry": { "type": "Point", "coordinates": [ 1, 2 ] } },
{ "type": "Feature", "properties": { "fid": 4, "id": "30", "type": "NODE", "tag": "" }, "geometry": null }
]
}
"""


def test_geojson_as_qgis_saves_it_merges_back_exactly(tmp_path):
    path = tmp_path / "net3.geojson"
    path.write_bytes(codecs.BOM_UTF8 + QGIS.replace("\n", "\r\n").encode())
    side = read_side(path)
    assert side.tags == {("NODE", "10"): "A", ("NODE", "20"): "B"}
    assert side.rows == {("NODE", "10"), ("LINK", "P1"), ("NODE", "20"), ("NODE", "30")}
    assert side.known == side.rows and not side.can_add
    new = {("NODE", "10"): None, ("LINK", "P1"): "Main", ("NODE", "20"): "B",
           ("NODE", "30"): "=x", ("NODE", "99"): "nowhere"}
    data = side.render(new)
    assert side.counts == {"added": 2, "removed": 1, "changed": 0}
    assert data.startswith(codecs.BOM_UTF8) and b"\r\n" in data
    before, after = json.loads(QGIS), json.loads(data.decode("utf-8-sig"))
    for feature, key in zip(before["features"], [("NODE", "10"), ("LINK", "P1"), ("NODE", "20"),
                                                 ("NODE", "30")]):
        name = "Tag" if "Tag" in feature["properties"] else "tag"
        feature["properties"][name] = new[key]
    assert after == before      # geometry, crs, name and every other property kept
    # Unchanged features keep every byte, 3D coordinates and number forms included.
    assert data.decode("utf-8-sig").split("\r\n")[7] == QGIS.split("\n")[7]
    assert b"[ 1e2, 7.50 ]" in data


@pytest.mark.parametrize("fmt, text, tags", [
    ("csv", 'FID,NODE_ID,dma\r\n1,"0012",North\r\n2,J2,\r\n3,J3,"=A1"\r\n',
     {("NODE", "0012"): "North", ("NODE", "J3"): "=A1"}),
    ("json", '[{"NODE_ID": 12, "DMA": 3.5, "x": [1, {"y": 2}]},\n {"NODE_ID": "J2", "DMA": null}]',
     {("NODE", "12"): "3.5"}),
])
def test_a_gis_table_is_read_and_written_as_it_stands(tmp_path, fmt, text, tags):
    path = tmp_path / f"dma.{fmt}"
    path.write_text(text, newline="")
    side = read_side(path, id_column="NODE_ID", tag_column="DMA")
    assert side.tags == tags and ("NODE", "J2") in side.scope and not side.can_add
    key = next(iter(tags))
    data = side.render({**tags, key: None, ("NODE", "J2"): "-South",
                        ("NODE", "new"): "x"}).decode()
    assert side.counts["added"] == 1 and side.counts["removed"] == 1
    if fmt == "csv":
        assert data == 'FID,NODE_ID,dma\r\n1,"0012",\r\n2,J2,-South\r\n3,J3,"=A1"\r\n'
    else:
        assert json.loads(data)[0]["x"] == [1, {"y": 2}]
    path.write_text(data, newline="")
    again = read_side(path, id_column="NODE_ID", tag_column="DMA")
    assert again.tags == {**{k: v for k, v in tags.items() if k != key}, ("NODE", "J2"): "-South"}


DEEP = "[" * 100_000 + "]" * 100_000


@pytest.mark.parametrize("name, data, message", [
    ("t.json", DEEP, "t.json: not JSON the tool reads: arrays or objects nested too deeply"),
    ("t.geojson", '{"type": "FeatureCollection", "features": ' + DEEP + "}",
     "t.geojson: not JSON the tool reads: arrays or objects nested too deeply"),
    ("t.json", '[{"type": "NODE", "id": "J1", "tag": NaN}]', "t.json: not JSON: NaN is not a "
                                                              "number JSON allows"),
    ("t.geojson", '{"type": "FeatureCollection", "features": [{"type": "Feature", "geometry": '
                  '{"type": "Point", "coordinates": [-Infinity, 1]}, "properties": {}}]}',
     "t.geojson: not JSON: -Infinity is not a number JSON allows"),
    ("t.json", '[{"type": "NODE", "id": "J1", "tag": "a", "z": 1e999}]',
     "t.json: not JSON: 1e999 is too large for a number"),
    ("t.csv", "type;id;tag\nNODE;J1;Stra\xdfe\n".encode("cp1252"),
     "t.csv: not UTF-8: line 2, byte 13 (0xdf); --encoding cp1252 reads it as Western Excel "
     "saves it, cp1250 as Central European Excel does"),
    ("t.csv", "type,id,tag\nNODE,J 1,a\nNODE,J;2,b\n",
     "t.csv:2: the id 'J 1' holds whitespace, which no import can carry: NODE,J 1,a\n"
     "t.csv:3: the id 'J;2' holds ';', which no import can carry: NODE,J;2,b\n"
     "tagtool: t.csv: nothing imported: 2 bad lines (--skip-bad imports the rest)"),
])
def test_broken_inputs_are_refused_in_one_line(tool, net, tmp_path, monkeypatch, name, data,
                                               message):
    monkeypatch.chdir(tmp_path)
    Path(name).write_bytes(data if isinstance(data, bytes) else data.encode())
    tool("set", net, "NODE", "J1", "before")
    status, out, err = tool("import", net, name)
    assert (status, out) == (65, "") and err.endswith(message + "\n"), err
    assert "Traceback" not in err and len(err.splitlines()) == message.count("\n") + 1
    assert tags(tool) == ["NODE\tJ1\tbefore"] and len(db.journal(net)) == 1


def test_the_door(tool, backend_url, tmp_path, capsys):
    """Ids the linked model lacks are refused by name unless --skip-unknown;
    tags an INP export would refuse are warned about per row, or refused
    with --strict."""
    assert tool("create", "net", "--model", EXAMPLE)[0] == 0
    path = tmp_path / "t.csv"
    path.write_text("Type;ID;Tag\nNODE;J1;North zone\nNODE;J01;a\nLINK;P1;ok\nLINK;1-2;b\n"
                    "NODE;J2;\n")
    side = read_side(path)
    db.set_database_url(backend_url)
    try:
        with pytest.raises(Failure, match=r"t.csv: nothing imported: 2 ids not in the linked "
                                          r"model '.*network.inp': LINK 1-2, NODE J01 "
                                          r"\(--skip-unknown leaves them out\)"):
            door(side, "net")
        capsys.readouterr()
        assert door(side, "net", skip_unknown=True) == {("NODE", "J01"), ("LINK", "1-2")}
        err = capsys.readouterr().err.splitlines()
        assert err[1] == (f"tagtool: warning: {path}:2: NODE J1: the tag holds whitespace; "
                          "an INP export will refuse it")
        with pytest.raises(Failure, match="--strict: 1 tag an INP export would refuse"):
            door(side, "net", strict=True, skip_unknown=True)
    finally:
        db.close_all()


def edited(fmt, how, path, changed, blanked, deleted, added):
    """The file ``path`` as someone saves it after editing it in a
    spreadsheet or a GIS: one tag changed, one blanked, one row or feature
    deleted, one element tagged with a formula-like tag."""
    if fmt == "geojson":
        layer = json.loads(path.read_text())
        features = []
        for feature in layer["features"]:
            props = feature["properties"]
            key = (props["type"], props["id"])
            props["note"] = "checked"                   # a column added in the GIS
            props["tag"] = {changed: "Ost", blanked: None, added: "=x"}.get(key, props["tag"])
            if key != deleted:
                features.append(feature)
        layer["features"], layer["name"] = features, "tags"
        path.write_text(json.dumps(layer, indent=2))
        return
    side = read_side(path)
    rows = [(*key, {changed: "Ost", blanked: ""}.get(key, tag)) for key, tag in side.tags.items()
            if key != deleted] + [(*added, "=x")]
    if fmt == "json":
        path.write_text(json.dumps([dict(zip(("type", "id", "tag"), row)) for row in rows]))
        return
    out = io.StringIO(newline="")
    csv.writer(out, lineterminator="\r\n").writerows([("type", "id", "tag"), *rows])
    path.write_bytes(excel(out.getvalue(), **how) if how is not None else out.getvalue().encode())


@real_file
@pytest.mark.parametrize("fmt, how, encoding", [
    ("csv", None, None),
    ("csv", dict(added=True), "cp1252"),        # Excel in much of Europe: ; cp1252 CRLF
    ("json", None, None),
    ("geojson", None, None),                    # as QGIS saves it: indents, properties added
])
def test_a_file_edited_elsewhere_merges_back_exactly(tool, tmp_path, fmt, how, encoding):
    assert tool("create", "net", "--model", DTOWN)[0] == 0
    assert tool("import", "net", DTOWN)[0] == 0
    path = tmp_path / f"tags.{fmt}"
    assert tool("export", "net", "-o", path)[0] == 0
    before = dict(InpFile.read(str(DTOWN)).read_tags().tags)
    keys = list(before)
    changed, blanked, deleted = keys[3], keys[40], keys[70]
    added = next(("NODE", line.split()[0]) for line in DTOWN.read_text().split("[JUNCTIONS]")[1]
                 .splitlines()[1:] if line.split() and not line.startswith(";")
                 and ("NODE", line.split()[0]) not in before)
    edited(fmt, how, path, changed, blanked, deleted, added)
    options = ("--encoding", encoding) if encoding else ()
    status, out, err = tool("import", "net", path, *options)
    assert status == 0, err
    expected = {**before, changed: "Ost", added: "=x"}
    del expected[blanked], expected[deleted]
    network = {(t["t_type"], t["id"]): t["tag"] for t in orvane.get_tags("net")}
    assert network == expected
    # The network's next edit goes back into the file, in the file's own dialect.
    assert tool("set", "net", *keys[5], "Fresh")[0] == 0
    assert tool("export", "net", "--into", path, *options)[0] == 0
    again = read_side(path, encoding=encoding)
    assert again.tags == {key: tag for key, tag in {**expected, keys[5]: "Fresh"}.items()
                          if fmt != "geojson" or key in again.rows}
    if how is not None:
        assert path.read_bytes().decode("cp1252").startswith("Note;type;id;tag\r\n")
    if fmt == "geojson":
        assert json.loads(path.read_text())["name"] == "tags" and "\n  " in path.read_text()
    assert tool("import", "net", path, *options)[0] == 0
    assert {(t["t_type"], t["id"]): t["tag"] for t in orvane.get_tags("net")} == {
        **expected, keys[5]: "Fresh"}


def test_a_gis_table_exchanged_both_ways_keeps_its_dialect(tool, net, tmp_path):
    """An attribute table saved by a GIS in cp1252 with semicolons: imported,
    then the network's edits written back into its tag cells only."""
    path = tmp_path / "dma.csv"
    text = 'FID;NODE_ID;DMA;Straße\r\n1;J1;North;a\r\n2;"J2";;b\r\n3;J3;Süd;"c;d"\r\n'
    path.write_bytes(text.encode("cp1252"))
    tool("set", net, "NODE", "J5", "Elsewhere")
    columns = ("--id-column", "NODE_ID", "--tag-column", "DMA", "--encoding", "cp1252")
    status, out, err = tool("import", net, path, *columns)
    assert status == 0, err
    assert sorted(tags(tool)) == ["NODE\tJ1\tNorth", "NODE\tJ3\tSüd", "NODE\tJ5\tElsewhere"]
    tool("set", net, "NODE", "J2", "Ost")
    tool("clear", net, "NODE", "J1")
    status, out, err = tool("export", net, "--into", path, *columns)
    assert status == 0, err
    # J5 has no row: a GIS table speaks for its rows only.
    assert path.read_bytes().decode("cp1252") == (
        'FID;NODE_ID;DMA;Straße\r\n1;J1;;a\r\n2;"J2";Ost;b\r\n3;J3;Süd;"c;d"\r\n')
