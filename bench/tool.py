"""The sections on the tag tool's commands, each `python -m tagtool` on
SQLite in a process of its own: map, exchanges, bulk edits, everyday use,
statistics.  measure_X returns the figures that X_section writes."""

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

HERE = os.path.dirname(os.path.abspath(__file__))
SPACING = 10        # between neighbouring nodes of a grid


def grid(side, path, hydraulic=False):
    """Junctions J<row>_<col>, pipes P<row>_<col>r to the right and ..d
    below; a hydraulic one is fed from each corner, with demands, three
    report times and no coordinates."""
    with open(path, "w") as m:
        m.write("[JUNCTIONS]\n")
        m.writelines(f"J{r}_{c} {(r + c) % 7} 0.002 D\n" if hydraulic else f"J{r}_{c} 0\n"
                     for r in range(side) for c in range(side))
        if hydraulic:
            m.write("[RESERVOIRS]\n" + "".join(f"R{i} 120\n" for i in range(4)))
        m.write("[PIPES]\n")
        if hydraulic:
            corners = [(0, 0), (0, side - 1), (side - 1, 0), (side - 1, side - 1)]
            m.writelines(f"PR{i} R{i} J{r}_{c} 10 1000 130\n" for i, (r, c) in enumerate(corners))
        for r in range(side):
            for c in range(side):
                for name, (r2, c2) in ((f"P{r}_{c}r", (r, c + 1)), (f"P{r}_{c}d", (r + 1, c))):
                    if r2 < side and c2 < side:
                        m.write(f"{name} J{r}_{c} J{r2}_{c2} "
                                + (f"50 {300 if (r + c) % 2 else 150} 130\n" if hydraulic
                                   else "100 200 100\n"))
        if hydraulic:
            m.write("[PATTERNS]\nD 0.6 1.0 1.4\n[TIMES]\nDuration 2:00\nHydraulic Timestep 1:00\n"
                    "Report Timestep 1:00\n[OPTIONS]\nUnits LPS\n")
        else:
            m.write("[COORDINATES]\n")
            m.writelines(f"J{r}_{c} {c * SPACING} {r * SPACING}\n"
                         for r in range(side) for c in range(side))
        m.write("[END]\n")


def zone_tags(side, path, zone, links):
    """Each node (and link) of the grid tagged with its square zone."""
    with open(path, "w") as t:
        t.write("[TAGS]\n")
        for r in range(side):
            for c in range(side):
                name = f"Z{r // zone}-{c // zone}"
                t.write(f"NODE J{r}_{c} {name}\n")
                if links:
                    t.writelines(f"LINK P{r}_{c}{end} {name}\n" for end, ok in
                                 (("r", c + 1 < side), ("d", r + 1 < side)) if ok)


# tagtool map

MAPS = (("map PNG", "png", ()), ("map SVG", "svg", ()), ("map PDF", "pdf", ()),
        ("map HTML", "html", ()), ("map PNG --labels", "png", ("--labels",)),
        ("map HTML --labels", "html", ("--labels",)), ("export GeoJSON", "geojson", ()))


def measure_map(elements):
    """[output and network, seconds, MB, what the tool said] of each output."""
    side = int((elements / 3) ** 0.5) + 1     # a grid of n nodes has about 2n links
    maps = []
    with tempfile.TemporaryDirectory() as folder:
        data, model, tags = (Path(folder) / name for name in ("data", "grid.inp", "tags.inp"))
        grid(side, model)
        zone_tags(side, tags, 25, links=True)
        cases = [("grid", model, tags)]
        real = sorted((Path(ROOT).parent / "shared" / "data" / "inp").glob("*.inp"), key=os.path.getsize)
        cases += [("largest", real[-1], real[-1])] if real else []
        for name, model, tags in cases:
            harness.run(tagtool(data, "create", name))
            harness.run(tagtool(data, "import", name, tags))
            for what, suffix, extra in MAPS:
                out = Path(folder) / f"{name}.{suffix}"
                args = (("map", name, model) if suffix != "geojson" else
                        ("export", name, "--format", "geojson", "--model", model))
                start = time.perf_counter()
                said = harness.run(tagtool(data, *args, "-o", out, *extra)).stdout
                took = time.perf_counter() - start
                maps.append([f"{what}, {model.name}", took, out.stat().st_size / 1e6,
                             said.strip().split(": ", 1)[-1]])
                say(f"  tagtool {maps[-1][0]}: {took:.2f} s")
    return {"elements": elements, "maps": maps}


def map_section(r):
    return {"title": "tagtool map", "blocks": [
        "`tagtool map` (PNG, SVG, PDF, HTML; PNG and HTML with `--labels`) and `export --format "
        f"geojson` of a grid of about {r['elements']:,} elements tagged by square zones, and of the "
        "largest shared INP file: seconds from start to written file, and its size.",
        {"columns": ["output, network", "seconds", "MB", "drawn"], "formats": [None, ".2f", ".1f"],
         "rows": r["maps"]}]}


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


def measure_exchange(count, reps=3):
    """[job, command, with a baseline, CPU s, peak MB] of each exchange,
    medians of `reps` runs, each in a fresh folder."""
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
    return {"tags": count, "runs": reps, "jobs": [
        [job, command, baseline, statistics.median(u["cpu"] for u in used),
         statistics.median(u["rss"] for u in used) / 1e6]
        for (job, command, baseline), used in jobs.items()]}


def exchange_section(r):
    rows = []
    for job, command, baseline, cpu, mb in r["jobs"]:
        # Against figures of 10^5 tags only at 10^5 tags.
        ratios = [None if r["tags"] != 100_000 else
                  {"x": v / was, **({"most": EXCHANGE_TARGET} if baseline else {})}
                  for v, was in zip((cpu, mb), EXCHANGE_BEFORE[command])]
        rows.append([job, cpu, mb, *ratios])
    before, most = EXCHANGE_BEFORE, f"≤{EXCHANGE_TARGET:g}x with a baseline"
    return {"title": "Exchanges with a file", "blocks": [
        f"`import` and `export --into` of {r['tags']:,} tags of a model, and `import` of the "
        "end-to-end table's file: without a baseline (the first exchange with the file) and with "
        "one (the next, after 1% of the tags changed on the other side: a three-way merge). CPU "
        f"seconds and peak memory, median of {r['runs']}, against the import ({before['import'][0]:g}"
        f" s, {before['import'][1]:g} MB) and export ({before['export'][0]:g} s, "
        f"{before['export'][1]:g} MB) of 10^5 tags before the exchanges merged.",
        {"columns": ["exchange", "CPU s", "peak RSS MB", f"CPU / before ({most})",
                     f"RSS / before ({most})"], "formats": [None, ".2f", ".0f"], "rows": rows}]}


# Bulk edits

COLUMNS, ROWS = 20, 10          # the zones: 200 rectangles over the grid
FORMATS = ("inp", "csv", "json", "geojson")
JOURNAL = 10_000                # entries of the journal of a network named journal
ZONES_TARGET, HISTORY_TARGET = 3.0, 0.3
# The exchanges of the tool's CSV and JSON, and of a GeoJSON layer, against the INP file's.
FORMAT_TARGETS = {"csv": 1.3, "json": 1.3, "geojson": 2.0}
FORMAT_NAMES = {"inp": "INP", "csv": "CSV", "json": "JSON", "geojson": "GeoJSON"}


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


def measure_bulk(nodes, runs=3):
    """Best seconds of zones, of import and export --into in each format,
    and of history."""
    side = int(nodes ** 0.5) + 1
    with tempfile.TemporaryDirectory() as folder:
        data, model, polygons = (Path(folder) / name for name in ("data", "grid.inp", "zones.geojson"))
        grid(side, model)
        zones(side, polygons)
        turn = iter(range(10 ** 6))

        def zoned(*extra):
            name = f"grid{next(turn)}"
            harness.run(tagtool(data, "create", name))
            return seconds(tagtool(data, "zones", name, model, polygons, *extra))
        zoning = harness.in_turns({"nodes and links": zoned,
                                   "nodes only": lambda: zoned("--type", "node")}, runs)
        paths, exports = tables(nodes, folder), {fmt: [] for fmt in FORMATS}

        def exchange(fmt):
            name = f"{fmt}{next(turn)}"
            harness.run(tagtool(data, "create", name))
            took = seconds(tagtool(data, "import", name, paths[fmt]))
            harness.run(tagtool(data, "set", name, "NODE", "J7", name))
            exports[fmt].append(seconds(tagtool(data, "export", name, "--into", paths[fmt])))
            return took
        imports = harness.in_turns({fmt: lambda fmt=fmt: exchange(fmt) for fmt in FORMATS}, runs)
        harness.run([sys.executable, os.path.join(HERE, "probes.py"), "journal", data, JOURNAL])
        history = harness.in_turns({"whole": lambda: seconds(tagtool(data, "history", "journal")),
                                    "--limit 20": lambda: seconds(tagtool(data, "history", "journal",
                                                                          "--limit", "20"))}, runs)
    return {"nodes": side * side, "links": 2 * side * (side - 1), "polygons": COLUMNS * ROWS,
            "zones": zoning, "tags": nodes, "imports": imports, "runs": runs,
            "exports": {fmt: min(v) for fmt, v in exports.items()}, "journal": JOURNAL,
            "history": history}


def bulk_section(r):
    rows = [[f"zones, {what}", s, {"x": s, "most": ZONES_TARGET, "unit": " s"}]
            for what, s in r["zones"].items()]
    for what, figures in (("import", r["imports"]), ("export --into", r.get("exports", {}))):
        rows += [[f"{what}, {FORMAT_NAMES[fmt]}", s, None if fmt == "inp" else {
            "x": s / figures["inp"], "most": FORMAT_TARGETS[fmt], "text": "the INP's", "show": True}]
            for fmt, s in figures.items()]
    rows += [[f"history, {what}", s, {"x": s, "most": HISTORY_TARGET, "unit": " s"}
              if what == "whole" else None]
             for what, s in r["history"].items()]
    return {"title": "Bulk edits", "blocks": [
        f"Seconds, best of {r.get('runs', 3)}: `zones` of a grid of {r['nodes']:,} nodes and "
        f"{r['links']:,} links against {r['polygons']} rectangles; `import` of {r['tags']:,} node "
        "tags from INP, CSV, JSON and GeoJSON files into an empty network, then `export --into` "
        f"the file after one tag changed; `history` of a journal of {r['journal']:,} entries.",
        {"columns": ["command", "seconds", "target"], "formats": [None, ".2f"], "rows": rows}]}


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


def measure_everyday(nodes, runs=7, before=None):
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

        def tool(*args, tree=ROOT):
            return seconds(tagtool(data, "-q", *args), env=env, cwd=tree)
        grid(side, model)
        tag_lines(nodes, tags)
        for args in (("plain",), ("linked", "--model", model), ("big",)):
            tool("create", *args)
        tool("import", "big", tags)
        turn = iter(range(10 ** 6))
        sets = harness.in_turns({"no model": lambda: tool("set", "plain", "NODE", "J5_5", next(turn)),
                                 "linked model": lambda: tool("set", "linked", "NODE", "J5_5", next(turn))},
                                runs)
        start = harness.in_turns({"sqlite3": lambda: seconds([sys.executable, "-c", "import sqlite3"],
                                                             env=env),
                                  **{f"networks, {when}": lambda tree=tree: tool("networks", tree=tree)
                                     for when, tree in trees.items()}}, runs)
        lists = harness.in_turns({f"{fmt}, {when}": lambda tree=tree, fmt=fmt: tool(
            "list", "big", "--format", fmt, tree=tree) for fmt in ("text", "json", "csv")
            for when, tree in trees.items()}, runs)
    return {"nodes": side * side, "tags": nodes, "runs": runs, "set": sets, "start": start, "list": lists}


def everyday_section(r):
    sets, start, lists = r["set"], r["start"], r["list"]
    rows = [["set, no model", sets["no model"], None],
            ["set, linked model", sets["linked model"], {"x": sets["linked model"] / sets["no model"],
                                                         "most": LINKED_SET_TARGET, "show": True}]]
    rows += [['python -c "import sqlite3"' if what == "sqlite3" else what, s, None if what == "sqlite3"
              else {"x": s / start["sqlite3"], "text": "import sqlite3"}] for what, s in start.items()]
    for what, s in lists.items():
        fmt, when = what.split(", ")
        was = lists.get(f"{fmt}, before") if when == "now" else None
        rows.append([f"list --format {fmt}, {when}", s, was and {
            "x": s / was, "most": SORTED_LIST_TARGET, "text": "before", "show": True}])
    return {"title": "Everyday use", "blocks": [
        f"Seconds, best of {r['runs']} in turns: `set` of one tag on a network linked to a model "
        f"of {r['nodes']:,} nodes and on one with none; the start of `tagtool networks`; `list` of "
        f"{r['tags']:,} tags in natural order (\"before\": another checkout's, `--before TREE`).",
        {"columns": ["command", "seconds", "against"], "formats": [None, ".3f"], "rows": rows}]}


# Statistics per tag and selection by attribute

STATS_ZONE = 32         # junctions along the side of a zone
# Each command beside what it is held to, and by how much.
STATS_TARGETS = (("stats", "summary", 2.0), ("stats --simulate", "bare run", 1.3),
                 ("set --where", "set --kind", 1.5))


def measure_stats(nodes, runs=3):
    """Best seconds of each command and what it is held to, in turns."""
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
            name = f"set{next(turn)}"
            tool("create", name, "--model", model)
            return tool("set", name, "LINK", *how, "Main")
        best = harness.in_turns({
            "summary": lambda: tool("summary", "grid"), "stats": lambda: tool("stats", "grid"),
            "bare run": lambda: seconds([sys.executable, os.path.join(HERE, "probes.py"), "bare",
                                         model, os.path.join(folder, "bare.rpt")]),
            "stats --simulate": lambda: tool("stats", "grid", "--simulate"),
            "set --kind": lambda: chosen("--kind", "pipe"),
            "set --where": lambda: chosen("--where", "kind = pipe and diameter >= 0")}, runs)
    return {"nodes": side * side, "pipes": 2 * side * (side - 1) + 4, "runs": runs,
            "zones": (-(-side // STATS_ZONE)) ** 2, "seconds": best}


def stats_section(r):
    best = r["seconds"]
    return {"title": "Statistics per tag and selection by attribute", "blocks": [
        f"Seconds, best of {r.get('runs', 3)} in turns, on a grid of {r['nodes']:,} junctions and "
        f"{r['pipes']:,} pipes in {r['zones']} zones (three report times); the bare run is "
        "owa-epanet's toolkit alone (open, solve, read the results, close).",
        {"columns": ["command", "seconds", "beside", "seconds", "ratio (target)"],
         "formats": [None, ".2f", None, ".2f"],
         "rows": [[a, best[a], b, best[b], {"x": best[a] / best[b], "most": target, "show": True}]
                  for a, b, target in STATS_TARGETS]}]}
