"""stats and --where against the engines: the model reader's attributes
and units as WNTR reads every real file, each tag's counts, pipe length,
demand and boundary as WNTR's model gives them, and with --simulate each
tag's pressure and inflow as WNTR's EpanetSimulator finds them; then one
table of --where expressions, the elements they select and those refused."""

import json
import math
import sys
import warnings
from pathlib import Path

import pytest
import wntr
from wntr.epanet.util import FlowUnits, HydParam, from_si

from tagtool.model import read_model
from test_real_files import FILES

LIBRARY = sorted(Path(sys.prefix).glob("lib/python3.12/site-packages/wntr/library/networks/*.inp"))
NET3 = next((p for p in LIBRARY if p.name == "Net3.inp"), None)
REAL = [*FILES, *LIBRARY]


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
