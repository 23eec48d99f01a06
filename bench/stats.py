"""Seconds of `tagtool stats` and of `set --where`, end to end, each beside
what it is held to, in turns on a generated grid model of about NODES
junctions (twice as many pipes, 100 zones, three hourly report times):

- stats beside summary of the same network and model (target: within 2x);
- stats --simulate beside a bare hydraulic run by owa-epanet's toolkit in a
  process of its own: open, solve, read the pressures and flows at the
  report times, close (target: within 1.3x);
- set --where choosing every pipe by an attribute beside set --kind pipe,
  each into a fresh network (target: within 1.5x).

    python bench/stats.py [NODES]       (default 100000)

Printed and recorded in bench/results.json (section "stats")."""

import os
import sys
import tempfile
from pathlib import Path

import harness
import report

ROOT = Path(__file__).resolve().parents[1]
ZONE = 32               # junctions along the side of a zone
RUNS = 3
BARE = """
import sys, epanet.toolkit as en
p = en.createproject()
en.open(p, sys.argv[1], sys.argv[2], "")
nodes, links = en.getcount(p, en.NODECOUNT), en.getcount(p, en.LINKCOUNT)
pressure, flow = en.doubleArray(nodes), en.doubleArray(links)
start, step = en.gettimeparam(p, en.REPORTSTART), en.gettimeparam(p, en.REPORTSTEP)
en.openH(p); en.initH(p, 0)
while True:
    t = en.runH(p)
    if t >= start and (t - start) % step == 0:
        en.getnodevalues(p, en.PRESSURE, pressure); en.getlinkvalues(p, en.FLOW, flow)
    if en.nextH(p) <= 0:
        break
en.closeH(p); en.close(p)
"""


def grid(side, model, tags):
    """Junctions J<row>_<col> on a side x side grid fed by a reservoir at
    each corner, pipes to the right and below (diameters alternating), each
    junction tagged with its square zone."""
    with open(model, "w") as m, open(tags, "w") as t:
        m.write("[JUNCTIONS]\n")
        m.writelines(f"J{r}_{c} {(r + c) % 7} 0.002 D\n" for r in range(side) for c in range(side))
        m.write("[RESERVOIRS]\n")
        corners = [(0, 0), (0, side - 1), (side - 1, 0), (side - 1, side - 1)]
        m.writelines(f"R{i} 120\n" for i in range(4))
        m.write("[PIPES]\n")
        for i, (r, c) in enumerate(corners):
            m.write(f"PR{i} R{i} J{r}_{c} 10 1000 130\n")
        for r in range(side):
            for c in range(side):
                for name, (r2, c2) in ((f"P{r}_{c}r", (r, c + 1)), (f"P{r}_{c}d", (r + 1, c))):
                    if r2 < side and c2 < side:
                        m.write(f"{name} J{r}_{c} J{r2}_{c2} 50 {300 if (r + c) % 2 else 150} 130\n")
        m.write("[PATTERNS]\nD 0.6 1.0 1.4\n"
                "[TIMES]\nDuration 2:00\nHydraulic Timestep 1:00\nReport Timestep 1:00\n"
                "[OPTIONS]\nUnits LPS\n[END]\n")
        t.write("type,id,tag\n")
        t.writelines(f"NODE,J{r}_{c},Z{r // ZONE}-{c // ZONE}\n" for r in range(side) for c in range(side))


def main():
    nodes = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    side = int(nodes ** 0.5) + 1
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "data")
        model, tags = Path(folder) / "grid.inp", Path(folder) / "tags.csv"
        grid(side, model, tags)

        def tagtool(*args):
            return harness.seconds([sys.executable, "-m", "tagtool", "-q", "--data-dir", data,
                                    *map(str, args)], "bench/stats.py")

        tagtool("create", "grid", "--model", model)
        tagtool("import", "grid", tags)
        bare = [sys.executable, "-c", BARE, str(model), os.path.join(folder, "bare.rpt")]
        times = {name: [] for name in ("summary", "stats", "bare run", "stats --simulate",
                                       "set --kind", "set --where")}
        for run in range(RUNS):     # in turns, so that a busy machine weighs on both alike
            times["summary"].append(tagtool("summary", "grid"))
            times["stats"].append(tagtool("stats", "grid"))
            times["bare run"].append(harness.seconds(bare, "bench/stats.py"))
            times["stats --simulate"].append(tagtool("stats", "grid", "--simulate"))
            for how, chosen in (("set --kind", ("--kind", "pipe")),
                                ("set --where", ("--where", "kind = pipe and diameter >= 0"))):
                name = f"{how[6:]}{run}"
                tagtool("create", name, "--model", model)
                times[how].append(tagtool("set", name, "LINK", *chosen, "Main"))
    best = {name: min(seconds) for name, seconds in times.items()}
    for a, b in (("stats", "summary"), ("stats --simulate", "bare run"), ("set --where", "set --kind")):
        print(f"{a}: {best[a]:.2f} s, {b}: {best[b]:.2f} s ({best[a] / best[b]:.2f}x), best of {RUNS}")
    report.record("stats", {"nodes": side * side, "pipes": 2 * side * (side - 1) + 4,
                            "zones": -(-side // ZONE) ** 2, "seconds": best})


if __name__ == "__main__":
    main()
