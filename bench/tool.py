"""The sections on the tag tool's commands, each `python -m tagtool` on
SQLite in a process of its own: map, exchanges, bulk edits, everyday use,
statistics.  Each function measures its section and returns it."""

import json
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import e2e
import harness
from harness import ROOT, say, seconds, tagtool

PROBES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "probes.py")
SPACING = 10        # between neighbouring nodes of a grid


HYDRAULIC = ("[PATTERNS]\nD 0.6 1.0 1.4\n[TIMES]\nDuration 2:00\nHydraulic Timestep 1:00\n"
             "Report Timestep 1:00\n[OPTIONS]\nUnits LPS\n")


def grid(side, path, hydraulic=False):
    """Junctions J<row>_<col>, pipes P<row>_<col>r to the right and ..d
    below; a hydraulic one is fed from each corner, with demands, three
    report times and no coordinates."""
    cells = [(r, c) for r in range(side) for c in range(side)]
    corners = ((0, 0), (0, side - 1), (side - 1, 0), (side - 1, side - 1)) if hydraulic else ()
    with open(path, "w") as m:
        m.write("[JUNCTIONS]\n")
        m.writelines(f"J{r}_{c} {(r + c) % 7} 0.002 D\n" if hydraulic else f"J{r}_{c} 0\n" for r, c in cells)
        m.write("[RESERVOIRS]\n" + "".join(f"R{i} 120\n" for i in range(4)) if hydraulic else "")
        m.write("[PIPES]\n")
        m.writelines(f"PR{i} R{i} J{r}_{c} 10 1000 130\n" for i, (r, c) in enumerate(corners))
        m.writelines(f"P{r}_{c}{d} J{r}_{c} J{r2}_{c2} " + (f"50 {300 if (r + c) % 2 else 150} 130\n"
                                                         if hydraulic else "100 200 100\n")
                     for r, c in cells for d, r2, c2 in (("r", r, c + 1), ("d", r + 1, c))
                     if r2 < side and c2 < side)
        m.write(HYDRAULIC if hydraulic else "[COORDINATES]\n" + "".join(
            f"J{r}_{c} {c * SPACING} {r * SPACING}\n" for r, c in cells))
        m.write("[END]\n")


def zone_tags(side, path, zone, links):
    """Each node (and link) of the grid tagged with its square zone."""
    with open(path, "w") as t:
        t.write("[TAGS]\n")
        for r, c in ((r, c) for r in range(side) for c in range(side)):
            t.write(f"NODE J{r}_{c} Z{r // zone}-{c // zone}\n")
            t.writelines(f"LINK P{r}_{c}{end} Z{r // zone}-{c // zone}\n" for end, ok in
                         (("r", c + 1 < side), ("d", r + 1 < side)) if ok and links)


def table(columns, formats, rows):
    return {"columns": columns, "formats": formats, "rows": rows}


# tagtool map

MAPS = (("map PNG", "png", ()), ("map SVG", "svg", ()), ("map PDF", "pdf", ()),
        ("map HTML", "html", ()), ("map PNG --labels", "png", ("--labels",)),
        ("map HTML --labels", "html", ("--labels",)), ("export GeoJSON", "geojson", ()))


def map_section(elements):
    side = int((elements / 3) ** 0.5) + 1     # a grid of n nodes has about 2n links
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        data, model, tags = (Path(folder) / name for name in ("data", "grid.inp", "tags.inp"))
        grid(side, model)
        zone_tags(side, tags, 25, links=True)
        real = sorted((Path(ROOT).parent / "shared" / "data" / "inp").glob("*.inp"), key=os.path.getsize)
        for name, model, tags in [("grid", model, tags)] + [("largest", real[-1], real[-1])] * bool(real):
            harness.run(tagtool(data, "create", name))
            harness.run(tagtool(data, "import", name, tags))
            for what, suffix, extra in MAPS:
                out = Path(folder) / f"{name}.{suffix}"
                args = (("map", name, model) if suffix != "geojson" else
                        ("export", name, "--format", "geojson", "--model", model))
                start = time.perf_counter()
                said = harness.run(tagtool(data, *args, "-o", out, *extra)).stdout
                rows.append([f"{what}, {model.name}", time.perf_counter() - start,
                             out.stat().st_size / 1e6, said.strip().split(": ", 1)[-1]])
                say(f"  tagtool {rows[-1][0]}: {rows[-1][1]:.2f} s")
    return {"title": "tagtool map", "blocks": [
        "`tagtool map` (PNG, SVG, PDF, HTML; PNG and HTML with `--labels`) and `export --format "
        f"geojson` of a grid of about {elements:,} elements tagged by square zones, and of the "
        "largest shared INP file: seconds from start to written file, and its size.",
        table(["output, network", "seconds", "MB", "drawn"], [None, ".2f", ".1f"], rows)]}


# Exchanges with a file

# The import and the export of 10^5 tags in bench/results.md before the
# exchanges merged (commit f60cd78): CPU s, peak resident MB.
EXCHANGE_BEFORE = {"import": (0.88, 35), "export": (0.16, 41)}
EXCHANGE_TARGET = 1.5


def exchange_model(path, count, changed=()):
    """count/2 junctions and pipes, each tagged; those `changed` otherwise."""
    half = count // 2
    with open(path, "w") as f:
        f.write("[TITLE]\nexchange benchmark\n\n[JUNCTIONS]\n")
        f.writelines(f" J{i}\t10\t0.1\n" for i in range(half))
        f.write("\n[PIPES]\n")
        f.writelines(f" P{i}\tJ{i}\tJ{(i + 1) % half}\t100\t150\t100\t0\tOpen\n" for i in range(half))
        f.write("\n[TAGS]\n")
        for t_type, word in (("NODE", "J"), ("LINK", "P")):
            f.writelines(f" {t_type}\t{word}{i}\t{'moved' if (t_type, i) in changed else f'DMA{i % 40}'}\n"
                         for i in range(half))
        f.write("\n[END]\n")


def exchange_section(count, reps=3):
    """CPU and peak memory of import and export --into without a baseline
    (the first exchange with the file) and with one, medians of `reps` runs."""
    changed = {(t, i) for t in ("NODE", "LINK") for i in range(0, count // 2, 100)}
    jobs = {}
    env = {k: v for k, v in os.environ.items() if k != "ORVANE_DATABASE_URL"}

    def timed(job, baseline, data, command, *argv):
        jobs.setdefault((job, command, baseline), []).append(
            harness.usage(tagtool(data, command, "net", *argv), env=env))

    for _ in range(reps):
        with tempfile.TemporaryDirectory() as tmp:
            data, inp, copy = (os.path.join(tmp, name) for name in ("data", "model.inp", "copy.inp"))
            exchange_model(inp, count)
            harness.run(tagtool(data, "create", "net"), env=env)
            timed("import, no baseline", False, data, "import", inp)
            shutil.copyfile(inp, copy)
            timed("export --into, no baseline", False, data, "export", "--into", copy)
            exchange_model(inp, count, changed)         # 1% of the file's tags changed
            timed("import, with baseline", True, data, "import", inp)
            timed("export --into, with baseline", True, data, "export", "--into", copy)
        with tempfile.TemporaryDirectory() as tmp:
            data, inp = os.path.join(tmp, "data"), os.path.join(tmp, "tags.inp")
            e2e.write_inp(inp, count)                   # the end-to-end table's file
            harness.run(tagtool(data, "create", "net"), env=env)
            timed("import of results.md's file, no baseline", False, data, "import", inp)
            timed("import of results.md's file again, with baseline", True, data, "import", inp)
    rows = []
    for (job, command, baseline), used in jobs.items():
        cpu, mb = statistics.median(u["cpu"] for u in used), statistics.median(u["rss"] for u in used) / 1e6
        # Against figures of 10^5 tags only at 10^5 tags.
        rows.append([job, cpu, mb, *(None if count != 100_000 else
                                     {"x": v / was, **({"most": EXCHANGE_TARGET} if baseline else {})}
                                     for v, was in zip((cpu, mb), EXCHANGE_BEFORE[command]))])
    before, most = EXCHANGE_BEFORE, f"≤{EXCHANGE_TARGET:g}x with a baseline"
    return {"title": "Exchanges with a file", "blocks": [
        f"`import` and `export --into` of {count:,} tags of a model, and `import` of the end-to-end "
        "table's file: without a baseline (the first exchange with the file) and with one (the "
        "next, after 1% of the tags changed on the other side: a three-way merge). CPU seconds and "
        f"peak memory, median of {reps}, against the import ({before['import'][0]:g} s, "
        f"{before['import'][1]:g} MB) and export ({before['export'][0]:g} s, {before['export'][1]:g} "
        "MB) of 10^5 tags before the exchanges merged.",
        table(["exchange", "CPU s", "peak RSS MB", f"CPU / before ({most})", f"RSS / before ({most})"],
              [None, ".2f", ".0f"], rows)]}


# Bulk edits

COLUMNS, ROWS = 20, 10          # the zones: 200 rectangles over the grid
JOURNAL = 10_000                # entries of the journal of a network named journal
ZONES_TARGET, HISTORY_TARGET = 3.0, 0.3
# Each format's name, and how much its exchanges may cost against the INP file's.
FORMATS = {"inp": ("INP", None), "csv": ("CSV", 1.3), "json": ("JSON", 1.3), "geojson": ("GeoJSON", 2.0)}


def zones(side, path):
    """COLUMNS x ROWS rectangles that tile the grid, their edges between nodes."""
    width, height = -(-side // COLUMNS) * SPACING, -(-side // ROWS) * SPACING
    features = []
    for i in range(COLUMNS):
        for j in range(ROWS):
            x0, y0 = i * width - SPACING / 2, j * height - SPACING / 2
            ring = [[x0, y0], [x0 + width, y0], [x0 + width, y0 + height], [x0, y0 + height], [x0, y0]]
            features.append({"type": "Feature", "properties": {"name": f"DMA-{i}-{j}"},
                             "geometry": {"type": "Polygon", "coordinates": [ring]}})
    Path(path).write_text(json.dumps({"type": "FeatureCollection", "features": features}))


def tables(n, folder):
    """{format: path} of the same n tags in each format's file."""
    from tagtool.exchange_files import new_side

    tags = {("NODE", f"J{i}"): f"Zone-{i % 50}" for i in range(n)}
    paths = {fmt: Path(folder) / f"tags.{fmt}" for fmt in FORMATS}
    for fmt in ("inp", "csv", "json"):
        paths[fmt].write_bytes(new_side(paths[fmt], fmt).render(tags))
    with open(paths["geojson"], "w") as f:
        f.write('{"type":"FeatureCollection","features":[\n')
        f.write(",\n".join(
            '{"type":"Feature","geometry":{"type":"Point","coordinates":[%d.5,%d.25]},'
            '"properties":{"id":"J%d","type":"NODE","kind":"junction","tag":"Zone-%d"}}'
            % (i % 1000, i // 1000, i, i % 50) for i in range(n)))
        f.write("\n]}\n")
    return paths


def bulk_section(nodes, runs=3):
    side = int(nodes ** 0.5) + 1
    with tempfile.TemporaryDirectory() as folder:
        data, model, polygons = (Path(folder) / name for name in ("data", "grid.inp", "zones.geojson"))
        grid(side, model)
        zones(side, polygons)
        turn = iter(range(10 ** 6))

        def fresh(prefix):
            harness.run(tagtool(data, "create", name := f"{prefix}{next(turn)}"))
            return name

        def exchange(fmt):
            name = fresh(fmt)
            took = seconds(tagtool(data, "import", name, paths[fmt]))
            harness.run(tagtool(data, "set", name, "NODE", "J7", name))
            exports[fmt].append(seconds(tagtool(data, "export", name, "--into", paths[fmt])))
            return took
        zoning = harness.in_turns({
            "nodes and links": lambda: seconds(tagtool(data, "zones", fresh("grid"), model, polygons)),
            "nodes only": lambda: seconds(tagtool(data, "zones", fresh("grid"), model, polygons,
                                                  "--type", "node"))}, runs)
        paths, exports = tables(nodes, folder), {fmt: [] for fmt in FORMATS}
        imports = harness.in_turns({fmt: lambda fmt=fmt: exchange(fmt) for fmt in FORMATS}, runs)
        harness.run([sys.executable, PROBES, "journal", data, JOURNAL])
        history = harness.in_turns({what: lambda args=args: seconds(tagtool(data, "history", "journal", *args))
                                    for what, args in (("whole", ()), ("--limit 20", ("--limit", 20)))}, runs)
    rows = [[f"zones, {what}", s, {"x": s, "most": ZONES_TARGET, "unit": " s"}] for what, s in zoning.items()]
    for what, figures in (("import", imports), ("export --into", {f: min(v) for f, v in exports.items()})):
        rows += [[f"{what}, {FORMATS[fmt][0]}", s, None if fmt == "inp" else {
            "x": s / figures["inp"], "most": FORMATS[fmt][1], "text": "the INP's", "show": True}]
            for fmt, s in figures.items()]
    rows += [[f"history, {what}", s, {"x": s, "most": HISTORY_TARGET, "unit": " s"}
              if what == "whole" else None] for what, s in history.items()]
    return {"title": "Bulk edits", "blocks": [
        f"Seconds, best of {runs}: `zones` of a grid of {side * side:,} nodes and "
        f"{2 * side * (side - 1):,} links against {COLUMNS * ROWS} rectangles; `import` of {nodes:,} "
        "node tags from INP, CSV, JSON and GeoJSON files into an empty network, then `export --into` "
        f"the file after one tag changed; `history` of a journal of {JOURNAL:,} entries.",
        table(["command", "seconds", "target"], [None, ".2f"], rows)]}


# Everyday use

LINKED_SET_TARGET, SORTED_LIST_TARGET = 1.5, 2.0


def tag_lines(count, path):
    """`count` tags: 60% ids J1..., 20% bare numbers, 20% links, shuffled."""
    rng = random.Random(1)
    nodes = [f"J{i}" for i in range(1, count * 3 // 5 + 1)] + [str(i) for i in range(1, count // 5 + 1)]
    links = [f"P-{i}a" for i in range(1, count - len(nodes) + 1)]
    rng.shuffle(nodes)
    rng.shuffle(links)
    with open(path, "w") as f:
        f.write("[TAGS]\n")
        f.writelines(f"NODE {id} Z{rng.randint(1, 30)}\n" for id in nodes)
        f.writelines(f"LINK {id} Z{rng.randint(1, 30)}\n" for id in links)


def everyday_section(nodes, runs=7, before=None):
    """Best seconds of set, of the start and of list; `before`: another
    checkout whose networks and list are timed beside this one's."""
    trees = {"now": ROOT} | ({"before": os.path.abspath(before)} if before else {})
    side = int(nodes ** 0.5) + 1
    with tempfile.TemporaryDirectory() as folder:
        # As installed code runs: compiled once, its bytecode kept (in a
        # folder of the benchmark's, so that no tree is written to).
        env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
        env["PYTHONPYCACHEPREFIX"] = os.path.join(folder, "pycache")
        data, model, tags = (os.path.join(folder, name) for name in ("data", "grid.inp", "tags.inp"))
        grid(side, model)
        tag_lines(nodes, tags)

        def tool(*args, tree=ROOT):
            return seconds(tagtool(data, "-q", *args), env=env, cwd=tree)
        for args in (("plain",), ("linked", "--model", model), ("big",)):
            tool("create", *args)
        tool("import", "big", tags)
        turn = iter(range(10 ** 6))
        sets = harness.in_turns({name: lambda name=name: tool("set", name, "NODE", "J5_5", next(turn))
                                 for name in ("plain", "linked")}, runs)
        start = harness.in_turns({'python -c "import sqlite3"': lambda: seconds(
            [sys.executable, "-c", "import sqlite3"], env=env), **{
            f"networks, {when}": lambda tree=tree: tool("networks", tree=tree) for when, tree in trees.items()}},
            runs)
        lists = harness.in_turns({f"list --format {fmt}, {when}": lambda tree=tree, fmt=fmt: tool(
            "list", "big", "--format", fmt, tree=tree) for fmt in ("text", "json", "csv")
            for when, tree in trees.items()}, runs)
    sqlite3 = start.pop('python -c "import sqlite3"')
    rows = [["set, no model", sets["plain"], None],
            ["set, linked model", sets["linked"], {"x": sets["linked"] / sets["plain"],
                                                   "most": LINKED_SET_TARGET, "show": True}],
            ['python -c "import sqlite3"', sqlite3, None]]
    rows += [[what, s, {"x": s / sqlite3, "text": "import sqlite3"}] for what, s in start.items()]
    rows += [[what, s, {"x": s / was, "most": SORTED_LIST_TARGET, "text": "before", "show": True}
              if (was := lists.get(what.replace(", now", ", before"))) and what.endswith("now") else None]
             for what, s in lists.items()]
    return {"title": "Everyday use", "blocks": [
        f"Seconds, best of {runs} in turns: `set` of one tag on a network linked to a model of "
        f"{side * side:,} nodes and on one with none; the start of `tagtool networks`; `list` of "
        f"{nodes:,} tags in natural order (\"before\": another checkout's, `--before TREE`).",
        table(["command", "seconds", "against"], [None, ".3f"], rows)]}


# Statistics per tag and selection by attribute

STATS_ZONE = 32         # junctions along the side of a zone
# Each command beside what it is held to, and by how much.
STATS_TARGETS = (("stats", "summary", 2.0), ("stats --simulate", "bare run", 1.3),
                 ("set --where", "set --kind", 1.5))


def stats_section(nodes, runs=3):
    side = int(nodes ** 0.5) + 1
    with tempfile.TemporaryDirectory() as folder:
        data, model, tags = (os.path.join(folder, name) for name in ("data", "grid.inp", "tags.inp"))
        grid(side, model, hydraulic=True)
        zone_tags(side, tags, STATS_ZONE, links=False)

        def tool(*args):
            return seconds(tagtool(data, "-q", *args))
        tool("create", "grid", "--model", model)
        tool("import", "grid", tags)
        turn = iter(range(10 ** 6))

        def chosen(*how):
            tool("create", name := f"set{next(turn)}", "--model", model)
            return tool("set", name, "LINK", *how, "Main")
        best = harness.in_turns({
            "summary": lambda: tool("summary", "grid"), "stats": lambda: tool("stats", "grid"),
            "bare run": lambda: seconds([sys.executable, PROBES, "bare", model,
                                         os.path.join(folder, "bare.rpt")]),
            "stats --simulate": lambda: tool("stats", "grid", "--simulate"),
            "set --kind": lambda: chosen("--kind", "pipe"),
            "set --where": lambda: chosen("--where", "kind = pipe and diameter >= 0")}, runs)
    return {"title": "Statistics per tag and selection by attribute", "blocks": [
        f"Seconds, best of {runs} in turns, on a grid of {side * side:,} junctions and "
        f"{2 * side * (side - 1) + 4:,} pipes in {(-(-side // STATS_ZONE)) ** 2} zones (three report "
        "times); the bare run is owa-epanet's toolkit alone (open, solve, read the results, close).",
        table(["command", "seconds", "beside", "seconds", "ratio (target)"], [None, ".2f", None, ".2f"],
              [[a, best[a], b, best[b], {"x": best[a] / best[b], "most": most, "show": True}]
               for a, b, most in STATS_TARGETS])]}
