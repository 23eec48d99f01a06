"""Seconds of `python -m tagtool map` to a PNG and to an HTML page (with
the page's size) and of `tagtool export --format geojson`, end to end
(start-up, reading the tags and the model, drawing, writing the file; PNG,
SVG, PDF and HTML, and PNG and HTML with the zones' names): on a
generated grid network of about ELEMENTS nodes and links, each tagged with
its square zone, and on the largest of the shared real INP files, when they
are there.  Targets at 10^5 elements: PNG 3 s, HTML 5 s and 30 MB, GeoJSON 2 s.

    python bench/map.py [ELEMENTS]      (default 100000)

The times are printed and recorded in bench/results.json (section "map").
"""

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import report

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared" / "data" / "inp"
ZONE = 25           # nodes along the side of a zone (64 zones at 10^5 elements)
LABELS = os.environ.get("BENCH_MAP_LABELS", "1") == "1"    # 0: a tool without map --labels


def grid(side, model, tags):
    """A side x side grid: nodes J<row>_<col>, links to the right and below,
    each node and each link tagged with the zone of its first node."""
    with open(model, "w") as m, open(tags, "w") as t:
        m.write("[JUNCTIONS]\n")
        m.writelines(f"J{r}_{c} 0\n" for r in range(side) for c in range(side))
        m.write("[PIPES]\n")
        t.write("[TAGS]\n")
        for r in range(side):
            for c in range(side):
                zone = f"Z{r // ZONE}-{c // ZONE}"
                t.write(f"NODE J{r}_{c} {zone}\n")
                for name, end in ((f"P{r}_{c}r", (r, c + 1)), (f"P{r}_{c}d", (r + 1, c))):
                    if end[0] < side and end[1] < side:
                        m.write(f"{name} J{r}_{c} J{end[0]}_{end[1]} 100 200 100\n")
                        t.write(f"LINK {name} {zone}\n")
        m.write("[COORDINATES]\n")
        m.writelines(f"J{r}_{c} {c * 10} {-r * 10}\n" for r in range(side) for c in range(side))
        m.write("[END]\n")


def tagtool(data, *args):
    return subprocess.run([sys.executable, "-m", "tagtool", "--data-dir", data, *map(str, args)],
                          cwd=ROOT, check=True, capture_output=True, text=True).stdout


def timed(data, *args):
    start = time.perf_counter()
    said = tagtool(data, *args)
    return time.perf_counter() - start, said.strip()


def timed_outputs(data, name, model, tags, folder):
    """(what, seconds, bytes written, what the tool said) of each output."""
    tagtool(data, "create", name)
    tagtool(data, "import", name, tags)
    for what, args, suffix, extra in (
            ("map PNG", ("map", name, model, "-o"), "png", ()),
            ("map SVG", ("map", name, model, "-o"), "svg", ()),
            ("map PDF", ("map", name, model, "-o"), "pdf", ()),
            ("map HTML", ("map", name, model, "-o"), "html", ()),
            ("map PNG --labels", ("map", name, model, "-o"), "png", ("--labels",)),
            ("map HTML --labels", ("map", name, model, "-o"), "html", ("--labels",)),
            ("export GeoJSON", ("export", name, "--format", "geojson", "--model", model, "-o"),
             "geojson", ())):
        if extra and not LABELS:
            continue
        path = Path(folder) / f"{name}.{suffix}"
        seconds, said = timed(data, *args, path, *extra)
        yield what, seconds, path.stat().st_size, said


def main():
    elements = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    side = int((elements / 3) ** 0.5) + 1     # a grid of n nodes has about 2n links
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "data")
        model, tags = Path(folder) / "grid.inp", Path(folder) / "tags.inp"
        grid(side, model, tags)
        cases = [("grid", model, tags)]
        real = sorted(SHARED.glob("*.inp"), key=lambda p: p.stat().st_size)
        if real:
            cases.append(("largest", real[-1], real[-1]))
        maps = []
        for name, model, tags in cases:
            for what, seconds, size, said in timed_outputs(data, name, model, tags, folder):
                said = said.split(": ", 1)[-1]
                print(f"tagtool {what}, {model.name}: {seconds:.2f} s, {size / 1e6:.1f} MB ({said})")
                maps.append((f"{what}, {model.name}", seconds, size, said))
    report.record("map", {"elements": elements, "maps": maps})


if __name__ == "__main__":
    main()
