"""stats --simulate: a hydraulic run of the model by EPANET's own toolkit
(the library of PyPI's owa-epanet, the optional extra ``sim``), and per
tag the pressure over its junctions and the net inflow through its
boundary at the report times (REPORT START and REPORT TIMESTEP, as EPANET's
report has them: the hydraulic steps between them are not reported).

The library is called through ctypes rather than owa-epanet's SWIG module,
which turns EPANET's warnings into a Python warning without their code."""

import ctypes
import os
import tempfile

from .output import DATA_ERROR, Failure, warn

UNAVAILABLE = 69
EXTRA = "pip install 'orvane[sim]'"
# EPANET's codes: counts, node and link values, time parameters.
NODECOUNT, TANKCOUNT, LINKCOUNT = 0, 1, 2
PRESSURE, FLOW = 11, 8
REPORTSTEP, REPORTSTART = 5, 6
UNBALANCED = 1          # the warning that leaves no solution to report


def library():
    """EPANET's toolkit of owa-epanet, or a refusal naming the extra."""
    try:
        import epanet
    except ImportError:
        raise Failure(f"--simulate needs EPANET's toolkit: {EXTRA}", UNAVAILABLE) from None
    path = os.path.join(os.path.dirname(epanet.__file__), "libepanet2.so")
    try:
        return ctypes.CDLL(path)
    except OSError as e:
        raise Failure(f"--simulate cannot load EPANET's toolkit {path}: {e} ({EXTRA})",
                      UNAVAILABLE) from None


class Stop(Exception):
    """EPANET's error, or the warning that leaves no solution: its code and text."""

    def __init__(self, code, text):
        super().__init__(code, text)
        self.code, self.text = code, text


class Run:
    """One EPANET project: opened on the model, closed whatever happens."""

    def __init__(self, en, path, folder):
        self.en, self.path, self.report = en, path, os.path.join(folder, "epanet.rpt")
        self.project = ctypes.c_void_p()
        en.EN_createproject(ctypes.byref(self.project))
        self.warnings = {}

    def check(self, code):
        """Stop at an error or at warning 1, with EPANET's code and text;
        keep the other warnings."""
        if code == 0:
            return
        text = ctypes.create_string_buffer(256)
        self.en.EN_geterror(code, text, 255)
        said = text.value.decode("latin-1")
        if code > 100 or code == UNBALANCED:
            raise Stop(code, said)
        self.warnings[code] = said

    def detail(self):
        """The first error line EPANET's report gives, which names the line."""
        try:
            with open(self.report, encoding="latin-1") as f:
                found = next((line.strip() for line in f if line.strip().startswith("Error")),
                             None)
        except OSError:
            found = None
        return f" ({found})" if found else ""

    def ids(self, count, getter):
        text = ctypes.create_string_buffer(64)
        names = []
        for i in range(1, count + 1):
            getter(self.project, i, text)
            names.append(text.value.decode("utf-8", "surrogateescape"))
        return names

    def value(self, getter, code, kind=ctypes.c_int):
        result = kind()
        self.check(getter(self.project, code, ctypes.byref(result)))
        return result.value


def simulate(path, zones, rows):
    """Add "pressure" and "inflow" to each row of ``rows`` (one per zone of
    ``zones``, {tag: stats.Zone}); the warnings EPANET gave besides."""
    import numpy as np

    en = library()
    with tempfile.TemporaryDirectory() as folder:
        run = Run(en, path, folder)
        try:
            try:
                run.check(en.EN_open(run.project, os.fsencode(path), os.fsencode(run.report),
                                     b""))
                results = hydraulics(run, zones, np)
            finally:
                en.EN_close(run.project)        # writes the report that details an error
                en.EN_deleteproject(run.project)
        except Stop as e:
            raise Failure(f"{path}: EPANET {e.code}: {e.text}{run.detail()}; no figures",
                          DATA_ERROR) from None
    for row, (pressure, inflow) in zip(rows, results):
        row["pressure"], row["inflow"] = pressure, inflow
    for code, text in sorted(run.warnings.items()):
        warn(f"{path}: EPANET {code}: {text}")


def hydraulics(run, zones, np):
    en, project = run.en, run.project
    nodes = run.ids(run.value(en.EN_getcount, NODECOUNT), en.EN_getnodeid)
    links = run.ids(run.value(en.EN_getcount, LINKCOUNT), en.EN_getlinkid)
    # EPANET numbers the junctions first, then the tanks and reservoirs.
    junctions = len(nodes) - run.value(en.EN_getcount, TANKCOUNT)
    node_index = {id: i for i, id in enumerate(nodes[:junctions])}
    link_index = {id: i for i, id in enumerate(links)}
    # Each zone's junctions and boundary links as index arrays.
    members = [np.array([i for i in map(node_index.get, zone.nodes) if i is not None],
                        dtype=np.intp) for zone in zones.values()]
    crossing = [(np.array([link_index[id] for id, _ in zone.boundary], dtype=np.intp),
                 np.array([sign for _, sign in zone.boundary], dtype=float))
                for zone in zones.values()]
    start = run.value(en.EN_gettimeparam, REPORTSTART, ctypes.c_long)
    step = run.value(en.EN_gettimeparam, REPORTSTEP, ctypes.c_long)
    pressure = (ctypes.c_double * len(nodes))()
    flow = (ctypes.c_double * len(links))()
    p, q = np.ctypeslib.as_array(pressure), np.ctypeslib.as_array(flow)
    low = [None] * len(members)
    high, total, count = [-np.inf] * len(members), [0.0] * len(members), 0
    when = [None] * len(members)
    inflows = []
    now, left = ctypes.c_long(), ctypes.c_long()
    run.check(en.EN_openH(project))
    run.check(en.EN_initH(project, 0))
    while True:
        run.check(en.EN_runH(project, ctypes.byref(now)))
        t = now.value
        if t >= start and (t - start) % max(step, 1) == 0:
            run.check(en.EN_getnodevalues(project, PRESSURE, pressure))
            run.check(en.EN_getlinkvalues(project, FLOW, flow))
            count += 1
            for z, index in enumerate(members):
                if index.size:
                    values = p[index]
                    lowest = float(values.min())
                    if low[z] is None or lowest < low[z]:
                        low[z], when[z] = lowest, t
                    high[z] = max(high[z], float(values.max()))
                    total[z] += float(values.sum())
            inflows.append([float(q[index] @ signs) for index, signs in crossing])
        run.check(en.EN_nextH(project, ctypes.byref(left)))
        if left.value <= 0:
            break
    en.EN_closeH(project)
    results = []
    for z, (tag, zone) in enumerate(zones.items()):
        pressure = None
        if low[z] is not None:
            pressure = {"min": low[z], "mean": total[z] / (count * members[z].size),
                        "max": high[z], "min_time": when[z]}
        inflow = None
        if tag is not None and zone.nodes and inflows:
            series = [at[z] for at in inflows]
            inflow = {"min": min(series), "mean": sum(series) / len(series), "max": max(series)}
        results.append((pressure, inflow))
    return results
