"""Seconds of the tag tool's bulk edits, end to end (`python -m tagtool`,
start-up to commit), on SQLite:

- zones: a generated grid model of about NODES nodes (and twice as many
  links) against 200 rectangular zones from one GeoJSON file, nodes and
  links, then nodes only;
- the exchanges of NODES tags in every format beside the INP one: an
  import of the tool's CSV, its JSON and a GeoJSON layer of the same tags,
  each into an empty network, then an export --into the same file after one
  tag changed, and their ratios to the INP file's;
- history of a journal of 10^4 entries (sets and imports), whole and with
  --limit 20.

    python bench/bulk.py [NODES]        (default 100000)

The times are printed and recorded in bench/results.json (section "bulk").
"""

import json
import os
import sys
import tempfile
from pathlib import Path

import harness
import report

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
COLUMNS, ROWS = 20, 10          # the zones: 200 rectangles over the grid
SPACING = 10                    # between neighbouring nodes
JOURNAL = 10_000


def tagtool(data, *args):
    """Run one command; its seconds from start to exit."""
    return harness.seconds([sys.executable, "-m", "tagtool", "--data-dir", data, *map(str, args)],
                           "bench/bulk.py", cwd=ROOT)


def grid(side, path):
    with open(path, "w") as m:
        m.write("[JUNCTIONS]\n")
        m.writelines(f"J{r}_{c} 0\n" for r in range(side) for c in range(side))
        m.write("[PIPES]\n")
        for r in range(side):
            for c in range(side):
                if c + 1 < side:
                    m.write(f"P{r}_{c}r J{r}_{c} J{r}_{c + 1} 100 200 100\n")
                if r + 1 < side:
                    m.write(f"P{r}_{c}d J{r}_{c} J{r + 1}_{c} 100 200 100\n")
        m.write("[COORDINATES]\n")
        m.writelines(f"J{r}_{c} {c * SPACING} {r * SPACING}\n" for r in range(side) for c in range(side))
        m.write("[END]\n")


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


FORMATS = ("inp", "csv", "json", "geojson")


def tables(n, folder):
    """The same n tags as each format's file, as the tool writes it; the
    GeoJSON one places each node on a grid.  {format: path}."""
    from tagtool.exchange_files import new_side  # noqa: E402 (the clone on sys.path)

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


def journal(data, name):
    """A network with a journal of JOURNAL entries: real sets and imports,
    copied within the database to reach the count."""
    os.environ["ORVANE_DATA_DIR"] = data
    from api import database, orvane

    database.create_network(name)
    for i in range(10):
        orvane.set_tag(name, database.ChangeSet({"t_type": "NODE", "id": f"J{i}", "tag": f"Z{i}"}))
    database.execute_import(name, ["insert into tags_link (id, tag) values ('P1', 'x');"],
                            [("LINK", "P1", None, "x")])
    copies = JOURNAL - 11
    database.execute_batch(name, (
        "insert into undo_journal (redo_sql, undo_sql, redo_cs, undo_cs)"
        " select j.redo_sql, j.undo_sql, j.redo_cs, j.undo_cs from undo_journal j,"
        f" (with recursive n(k) as (select 1 union all select k + 1 from n where k < {copies // 11 + 1})"
        f" select k from n) as n order by n.k, j.seq limit {copies}"))
    assert len(database.journal(name)) == JOURNAL
    database.close_all()


def main():
    nodes = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    side = int(nodes ** 0.5) + 1
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "data")
        model, polygons = Path(folder) / "grid.inp", Path(folder) / "zones.geojson"
        grid(side, model)
        zones(side, polygons)
        both, only = [], []
        for run in range(3):
            tagtool(data, "create", f"grid{run}")
            both.append(tagtool(data, "zones", f"grid{run}", model, polygons))
            tagtool(data, "create", f"nodes{run}")
            only.append(tagtool(data, "zones", f"nodes{run}", model, polygons, "--type", "node"))
        both, only = min(both), min(only)
        links = 2 * side * (side - 1)
        print(f"zones, {side * side:,} nodes and {links:,} links, "
              f"{COLUMNS * ROWS} polygons: {both:.2f} s (nodes only: {only:.2f} s), best of 3")

        paths = tables(nodes, folder)
        # The formats in turn, so that a busy machine weighs on all alike.
        times = {fmt: [] for fmt in FORMATS}
        exports = {fmt: [] for fmt in FORMATS}
        for run in range(3):
            for fmt, path in paths.items():
                name = f"{fmt}{run}"
                tagtool(data, "create", name)
                times[fmt].append(tagtool(data, "import", name, path))
                tagtool(data, "set", name, "NODE", "J7", f"Changed-{run}")
                exports[fmt].append(tagtool(data, "export", name, "--into", path))
        best = {fmt: min(runs) for fmt, runs in times.items()}
        into = {fmt: min(runs) for fmt, runs in exports.items()}
        for what, figures in (("import", best), ("export --into", into)):
            print(f"{what} of {nodes:,} tags: " + ", ".join(
                f"{fmt} {figures[fmt]:.2f} s ({figures[fmt] / figures['inp']:.2f}x)"
                for fmt in FORMATS) + ", best of 3")

        journal(data, "journal")
        whole = min(tagtool(data, "history", "journal") for _ in range(3))
        newest = min(tagtool(data, "history", "journal", "--limit", "20") for _ in range(3))
        print(f"history of {JOURNAL:,} entries: {whole:.2f} s (--limit 20: {newest:.2f} s), best of 3")
    report.record("bulk", {"nodes": side * side, "links": links, "polygons": COLUMNS * ROWS,
                           "zones": {"nodes and links": both, "nodes only": only},
                           "tags": nodes, "imports": best, "exports": into,
                           "journal": JOURNAL, "history": {"whole": whole, "--limit 20": newest}})


if __name__ == "__main__":
    main()
