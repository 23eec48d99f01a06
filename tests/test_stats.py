"""stats and --where against the engines: the model reader's attributes
and units as WNTR reads every real file, each tag's counts, pipe length,
demand and boundary as WNTR's model gives them, and with --simulate each
tag's pressure and inflow as WNTR's EpanetSimulator finds them; then one
table of --where expressions, the elements they select and those refused."""

import json
import math
import re
import sys
import warnings
from pathlib import Path

import pytest
import wntr
from wntr.epanet.util import FlowUnits, HydParam, from_si

from tagtool import main
from tagtool.model import read_model
from test_real_files import FILES

LIBRARY = sorted(Path(sys.prefix).glob("lib/python3.12/site-packages/wntr/library/networks/*.inp"))
NET3 = next((p for p in LIBRARY if p.name == "Net3.inp"), None)
REAL = [*FILES, *LIBRARY]


@pytest.fixture
def tool(sqlite_backend, capsys):
    """One command in-process on SQLite: (exit status, stdout, stderr)."""
    def run(*argv):
        status = main(["--database", "sqlite:" + sqlite_backend.data_dir(), *map(str, argv)])
        return (status, *capsys.readouterr())
    return run


def wntr_model(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return wntr.network.WaterNetworkModel(str(path))
        except Exception:
            return None


def wntr_columns(wn):
    """{kind: {attribute: {id: value}}} of WNTR's model, in the file's units."""
    units = FlowUnits[wn.options.hydraulic.inpfile_units]
    dw = wn.options.hydraulic.headloss == "D-W"

    def conv(value, param, **kw):
        return None if value is None else from_si(units, value, param, **kw)

    c = {}
    for name, j in wn.junctions():
        demands = j.demand_timeseries_list
        c.setdefault("junction", {}).setdefault("elevation", {})[name] = conv(j.elevation, HydParam.Elevation)
        c["junction"].setdefault("demand", {})[name] = conv(sum(d.base_value for d in demands), HydParam.Demand)
    for name, r in wn.reservoirs():
        c.setdefault("reservoir", {}).setdefault("head", {})[name] = conv(r.base_head, HydParam.HydraulicHead)
    for name, t in wn.tanks():
        for ours, value, param in (("elevation", t.elevation, HydParam.Elevation),
                                   ("initlevel", t.init_level, HydParam.Length),
                                   ("minlevel", t.min_level, HydParam.Length),
                                   ("maxlevel", t.max_level, HydParam.Length),
                                   ("diameter", t.diameter, HydParam.TankDiameter),
                                   ("minvol", t.min_vol, HydParam.Volume)):
            c.setdefault("tank", {}).setdefault(ours, {})[name] = conv(value, param)
    for name, p in wn.pipes():
        pipe = c.setdefault("pipe", {})
        pipe.setdefault("length", {})[name] = conv(p.length, HydParam.Length)
        pipe.setdefault("diameter", {})[name] = conv(p.diameter, HydParam.PipeDiameter)
        pipe.setdefault("roughness", {})[name] = (
            conv(p.roughness, HydParam.RoughnessCoeff, darcy_weisbach=True) if dw else p.roughness)
        pipe.setdefault("minorloss", {})[name] = p.minor_loss
        pipe.setdefault("status", {})[name] = "CV" if p.check_valve else p.initial_status.name.upper()
    for name, v in wn.valves():
        valve = c.setdefault("valve", {})
        valve.setdefault("diameter", {})[name] = conv(v.diameter, HydParam.PipeDiameter)
        valve.setdefault("type", {})[name] = v.valve_type
        valve.setdefault("minorloss", {})[name] = v.minor_loss
    for name, p in wn.pumps():
        pump = c.setdefault("pump", {})
        if p.pump_type == "HEAD":
            pump.setdefault("curve", {})[name] = p.pump_curve_name
        else:
            pump.setdefault("power", {})[name] = conv(p.power, HydParam.Power)
        pump.setdefault("speed", {})[name] = p.base_speed
    return c


def close(a, b):
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    return math.isclose(a, b, rel_tol=1e-6, abs_tol=1e-9)


@pytest.mark.parametrize("path", REAL, ids=lambda p: p.name)
def test_attributes_as_wntr_reads_them(path):
    wn = wntr_model(path)
    if wn is None:
        pytest.skip("WNTR does not read this file")
    model = read_model(str(path), attributes=True)
    assert model.units()["flow"] == wn.options.hydraulic.inpfile_units.upper()
    for kind, columns in wntr_columns(wn).items():
        for name, expected in columns.items():
            ours = model.columns[kind][name]
            wrong = [(id, ours.get(id), value) for id, value in expected.items()
                     if not close(ours.get(id, math.nan), value)]
            assert not wrong, (kind, name, len(wrong), wrong[:3])


# ---------------------------------------------------------------------------
# stats against WNTR's model and its EpanetSimulator

ZONES = ("North", "South", "East")


def zoned(tool, tmp_path, path, wn, zones=3):
    """A network linked to ``path`` whose nodes are tagged with one of
    ``zones`` zones by the x of their coordinates (thirds of the extent),
    a few links tagged on their own; {node: zone}, {link: own tag}."""
    xs = [n.coordinates[0] for _, n in wn.nodes()]
    low, high = min(xs), max(xs) + 1e-9
    nodes = {name: ZONES[int((n.coordinates[0] - low) / (high - low) * zones)]
             for name, n in wn.nodes()}
    links = {name: "Trunk" for name in wn.link_name_list[::17]}
    table = tmp_path / "tags.csv"
    table.write_text("type,id,tag\n" + "".join(f"NODE,{n},{z}\n" for n, z in nodes.items())
                     + "".join(f"LINK,{n},{z}\n" for n, z in links.items()))
    for argv in (("create", "net", "--model", path), ("import", "net", table)):
        assert tool(*argv)[0] == 0
    return nodes, links


def expected_zones(wn, nodes, links):
    """{tag: figures} as WNTR's model gives them, in the file's units."""
    units = FlowUnits[wn.options.hydraulic.inpfile_units]
    zones = {}
    for name, node in wn.nodes():
        z = zones.setdefault(nodes.get(name), {"nodes": [], "links": [], "boundary": []})
        z["nodes"].append(name)
    for name, link in wn.links():
        a, b = nodes.get(link.start_node_name), nodes.get(link.end_node_name)
        tag = links.get(name, a if a == b else None)
        zones.setdefault(tag, {"nodes": [], "links": [], "boundary": []})["links"].append(name)
        if a != b:
            for side, sign in ((a, -1), (b, 1)):
                if side is not None:
                    zones.setdefault(side, {"nodes": [], "links": [], "boundary": []})[
                        "boundary"].append((name, sign))
    figures = {}
    for tag, z in zones.items():
        kinds = [wn.get_node(n).node_type.lower() for n in z["nodes"]]
        link_kinds = [wn.get_link(n).link_type.lower() for n in z["links"]]
        junctions = [wn.get_node(n) for n in z["nodes"] if wn.get_node(n).node_type == "Junction"]
        pipes = [wn.get_link(n) for n in z["links"] if wn.get_link(n).link_type == "Pipe"]
        figures[tag] = {
            "nodes": {k: kinds.count(k) for k in ("junction", "tank", "reservoir")},
            "links": {k: link_kinds.count(k) for k in ("pipe", "pump", "valve")},
            "pipe_length": from_si(units, sum(p.length for p in pipes), HydParam.Length),
            "demand": from_si(units, sum(d.base_value for j in junctions
                                         for d in j.demand_timeseries_list), HydParam.Demand),
            "boundary": sorted(n for n, _ in z["boundary"]), "crossing": z["boundary"],
            "junctions": [j.name for j in junctions]}
    return figures


def check_figures(ours, theirs):
    assert set(ours) == set(theirs)
    for tag, row in ours.items():
        want = theirs[tag]
        assert (row["nodes"], row["links"]) == (want["nodes"], want["links"]), tag
        assert math.isclose(row["pipe_length"], want["pipe_length"], rel_tol=1e-9, abs_tol=1e-6)
        assert math.isclose(row["demand"], want["demand"], rel_tol=1e-9, abs_tol=1e-9), tag
        assert sorted(row["boundary"]) == want["boundary"], tag


@pytest.mark.parametrize("path", REAL, ids=lambda p: p.name)
def test_stats_as_wntr_counts(tool, tmp_path, path):
    wn = wntr_model(path)
    if wn is None:
        pytest.skip("WNTR does not read this file")
    nodes, links = zoned(tool, tmp_path, path, wn)
    status, out, err = tool("stats", "net", "--format", "json")
    assert (status, err) == (0, ""), err
    report = json.loads(out)
    assert report["units"]["flow"] == wn.options.hydraulic.inpfile_units.upper()
    check_figures({row["tag"]: row for row in report["tags"]}, expected_zones(wn, nodes, links))


@pytest.mark.skipif(NET3 is None, reason="WNTR's Net3.inp is not installed")
@pytest.mark.parametrize("name", ["Net3.inp", "Net1.inp"])
def test_simulate_as_epanet_simulator(tool, tmp_path, name):
    """Each tag's pressure and inflow at the report times, as WNTR's
    EpanetSimulator reports them (REPORT TIMESTEP 2 hours, REPORT START 6
    hour: the hydraulic steps between are not reported)."""
    text = NET3.with_name(name).read_text()
    path = tmp_path / name
    text = re.sub(r"(?im)^\s*report\s+(timestep|start).*$", "", text)
    path.write_text(text.replace("[TIMES]", "[TIMES]\n Report Timestep 2:00\n Report Start 6:00", 1))
    wn = wntr_model(path)
    nodes, links = zoned(tool, tmp_path, path, wn)
    status, out, err = tool("stats", "net", "--simulate", "--format", "json")
    assert status == 0, err
    ours = {row["tag"]: row for row in json.loads(out)["tags"]}
    expected = expected_zones(wn, nodes, links)
    check_figures(ours, expected)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        results = wntr.sim.EpanetSimulator(wn).run_sim(str(tmp_path / "wntr"))
    units = FlowUnits[wn.options.hydraulic.inpfile_units]
    pressure = from_si(units, results.node["pressure"], HydParam.Pressure)
    flow = from_si(units, results.link["flowrate"], HydParam.Flow)
    assert list(pressure.index) == list(range(6 * 3600, int(wn.options.time.duration) + 1, 7200))
    for tag, want in expected.items():
        if want["junctions"]:
            p = pressure[want["junctions"]]
            low = p.min(axis=1)
            got = ours[tag]["pressure"]
            assert got["min_time"] == low.idxmin(), tag
            for key, value in (("min", low.min()), ("mean", p.values.mean()),
                               ("max", p.values.max())):
                assert math.isclose(got[key], value, rel_tol=1e-3, abs_tol=0.02), (tag, key)
        if tag is None or not any(want["nodes"].values()):
            assert ours[tag]["inflow"] is None       # no boundary: no inflow
            continue
        series = sum(sign * flow[link] for link, sign in want["crossing"]) if want["crossing"] \
            else 0 * flow.iloc[:, 0]
        for key, value in (("min", series.min()), ("mean", series.mean()),
                           ("max", series.max())):
            assert math.isclose(ours[tag]["inflow"][key], value, rel_tol=1e-3, abs_tol=0.05), \
                (tag, key)


def test_pressure_units_as_epanet_takes_them(tmp_path):
    """The Units and Pressure options give the units EPANET reports in."""
    import epanet.toolkit as en

    names = {0: "psi", 1: "kPa", 2: "m", 3: "bar", 4: "ft"}
    for units in ("GPM", "CMH"):
        for pressure in ("", "psi", "Kpa", "METERS", "bar", "feet", "exponent 0.5"):
            path = tmp_path / "units.inp"
            path.write_text(f"[JUNCTIONS]\nJ1 0 1\n[RESERVOIRS]\nR1 100\n[PIPES]\nP1 R1 J1 100 100 "
                            f"100\n[OPTIONS]\nUnits {units}\nPressure {pressure}\n[END]\n")
            project = en.createproject()
            en.open(project, str(path), str(tmp_path / "units.rpt"), "")
            theirs = names[int(en.getoption(project, en.PRESS_UNITS))]
            en.close(project)
            assert read_model(str(path), attributes=True).units()["pressure"] == theirs, pressure


def test_epanet_refusals(tool, tmp_path, monkeypatch):
    """EPANET's error, with its code and its text, and nothing claimed; a
    figure that is no number, named by its line; no toolkit: the extra to
    install."""
    path = tmp_path / "bad.inp"
    path.write_text("[JUNCTIONS]\nJ1 0 1\n[PIPES]\nP1 J1 J9 100 10 100\n[END]\n")
    tool("create", "net", "--model", path)
    status, out, err = tool("stats", "net", "--simulate")
    assert (status, out) == (65, "")
    assert err == (f"tagtool: {path}: EPANET 200: Error 200: one or more errors in input file "
                   "(Error 203: undefined node J9 in [PIPES] section:); no figures\n")
    monkeypatch.setitem(sys.modules, "epanet", None)
    assert tool("stats", "net", "--simulate") == (
        69, "", "tagtool: --simulate needs EPANET's toolkit: pip install 'orvane[sim]'\n")
    path.write_text("[JUNCTIONS]\nJ1 10 5\nJ2 1e400 1\n[PIPES]\nP1 J1 J2 100 12 100\n[END]\n")
    assert tool("stats", "net") == (65, "", f"tagtool: {path}:3: bad elevation '1e400': not a "
                                            "number\n")


# ---------------------------------------------------------------------------
# --where

MODEL = """\
[JUNCTIONS]
J1 10 5 P1
J2 20 0
J3 30 2
[RESERVOIRS]
R1 100
[TANKS]
T1 50 5 0 10 20
[PIPES]
P1 R1 J1 100 12 100
P2 J1 J2 200 8 100 0 CV
P3 J2 J3 300 16 120 0.5 Closed
P4 J3 T1 50 12 100 CLOSED
[PUMPS]
PU1 J1 J3 HEAD C1
[VALVES]
V1 J2 T1 6 PRV 40 0
V2 J3 J1 10 GPV C1
[DEMANDS]
J3 1
J3 2.5 P1
[STATUS]
P1 Closed
P3 Open
[CURVES]
C1 100 100
[PATTERNS]
P1 1
[COORDINATES]
J1 0 0
J2 1 0
[END]
"""
TAGS = [{"t_type": "LINK", "id": "P1", "tag": "Trunk"}, {"t_type": "NODE", "id": "J1", "tag": "North"}]


@pytest.mark.parametrize("t_type, expr, ids", [
    ("LINK", "kind = pipe and diameter >= 12", "P1 P3 P4"),
    ("LINK", "status = closed", "P1 P4"),             # [STATUS] closes P1 and opens P3
    ("LINK", "status = CV", "P2"),
    ("NODE", "demand > 2", "J1 J3"),                  # [DEMANDS] replaces J3's 2 with 1 + 2.5
    ("NODE", "demand = 3.5", "J3"),
    ("NODE", "pattern = P1", "J1"),                   # J3's first demand has no pattern
    ("LINK", "id = P1", "P1"),
    ("LINK", "setting >= 0", "V1"),                   # a general valve's curve compares false
    ("LINK", "not setting >= 0", "P1 P2 P3 P4 PU1 V2"),
    ("LINK", "curve = C1", "PU1"),
    ("NODE", "elevation > 25 and not kind = tank", "J3"),
    ("NODE", "head = 100 or (kind = tank and maxlevel <= 10)", "R1 T1"),
    ("NODE", "KIND = Junction AND Elevation < 25", "J1 J2"),
    ("LINK", "tag = Trunk", "P1"),
    ("LINK", "tag != Trunk", ""),                     # untagged: no tag to compare
    ("NODE", "tag = 'North' or id = \"J2\"", "J1 J2"),
    ("LINK", "type = prv or minorloss = 0.5", "P3 V1"),
    ("LINK", "not (kind = pipe or kind = valve) and speed = 1", "PU1"),
    ("NODE", "id = 10", ""),                          # ids are texts: no number compared
])
def test_where_selects(tmp_path, t_type, expr, ids):
    from tagtool.where import select

    path = tmp_path / "m.inp"
    path.write_text(MODEL)
    model = read_model(str(path), attributes=True)
    assert select(expr, model, lambda: TAGS, (t_type,)) == {t_type: ids.split()}


@pytest.mark.parametrize("t_type, expr, why", [
    ("LINK", "diam >= 12", "unknown attribute 'diam'; the attributes are kind, id, tag and by "
                           "kind pipe: length, diameter, roughness, minorloss, status; pump: "
                           "curve, power, speed; valve: diameter, type, setting, minorloss"),
    ("NODE", "length > 1", "unknown attribute 'length'; the attributes are kind, id, tag and by "
                           "kind junction: elevation, demand, pattern; tank: elevation, "
                           "initlevel, minlevel, maxlevel, diameter, minvol; reservoir: head, "
                           "pattern"),
    ("LINK", "id < 3", "id is a text: it takes = or !=, not <"),
    ("LINK", "status >= OPEN", "status is a text: it takes = or !=, not >="),
    ("LINK", "diameter = '12'", "diameter is a number, not '12'"),
    ("LINK", "diameter >= twelve", "diameter is a number, not 'twelve'"),
    ("LINK", "(kind = pipe", "a '(' is not closed"),
    ("LINK", "kind = pipe and", "expected an attribute, found the end"),
    ("LINK", "kind = pipe)", "unexpected ')' after a whole expression"),
    ("LINK", "kind == pipe", "expected a value after kind ="),
    ("LINK", "kind pipe", "expected =, !=, <, <=, > or >= after kind"),
    ("LINK", "kind = 'pipe", "a text in quotes is not closed (character 8)"),
    ("LINK", "kind = pipe drop", "unexpected 'drop' after a whole expression"),
    ("LINK", "kind = pipe & 1", "unexpected '&' after a whole expression"),
    ("LINK", "__import__('os') = 1", "unknown attribute '__import__'"),
    ("LINK", "  ", "empty expression"),
])
def test_where_refuses(tool, tmp_path, t_type, expr, why):
    path = tmp_path / "m.inp"
    path.write_text(MODEL)
    tool("create", "net", "--model", path)
    status, out, err = tool("set", "net", t_type, "--where", expr, "X")
    assert (status, out) == (2, "")
    assert err.startswith(f"tagtool: --where '{expr}': {why}") and err.count("\n") == 1, err
    assert tool("list", "net") == (0, "", "")


def test_where_edits_are_one_command(tool, tmp_path):
    path = tmp_path / "m.inp"
    path.write_text(MODEL)
    tool("create", "net", "--model", path)
    assert tool("set", "net", "LINK", "--where", "kind = pipe and diameter >= 12", "Trunk")[0] == 0
    assert tool("set", "net", "NODE", "J1", "North")[0] == 0
    def listed():
        status, out, err = tool("list", "net", "--where", "kind = pipe")
        assert (status, err) == (0, "")
        return sorted(out.splitlines())

    pipes = ["LINK\tP1\tTrunk", "LINK\tP3\tTrunk", "LINK\tP4\tTrunk"]
    assert listed() == pipes
    status, out, _ = tool("clear", "net", "LINK", "--where", "length < 150")
    assert (status, out) == (0, "cleared 2 tags of 2 links (--where length < 150)\n")
    assert listed() == ["LINK\tP3\tTrunk"]
    tool("undo", "net")
    assert listed() == pipes
    tool("undo", "net")
    tool("undo", "net")
    assert tool("list", "net") == (0, "", "")
    tool("set", "net", "NODE", "J1", "North")
    status, out, err = tool("export", "net", "--format", "geojson", "--where", "tag = North")
    assert status == 0, err
    assert [f["properties"]["id"] for f in json.loads(out)["features"]] == ["J1"]
