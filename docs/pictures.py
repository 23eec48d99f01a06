"""Make the pictures of docs/ and the README from WNTR's Net3 and ky10:
each tagged with zones (the cell of a coarse grid its place falls in, for
want of real zones: 13 on Net3, 32 on ky10), drawn with the zones' names as
a PNG and as the HTML page in headless Chromium, ky10's nodes alone in the
same colours, and as GeoJSON read back with shapely and drawn as a GIS
would.

    .venv/bin/python docs/pictures.py
"""

import json
import subprocess
import sys
import tempfile
from pathlib import Path

import wntr

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from tagtool.model import read_model  # noqa: E402

NETWORKS = Path(wntr.__file__).parent / "library" / "networks"
CASES = {"net3": ("Net3.inp", 4), "ky10": ("ky10.inp", 7)}


def zones(model, cells):
    """A [TAGS] section: each placed node, and each link by its start node,
    in the zone of its cell on a cells x cells grid."""
    xs, ys = zip(*model.coordinates.values())
    width, height = max(xs) - min(xs) or 1, max(ys) - min(ys) or 1

    def zone(point):
        i = min(cells - 1, int((point[0] - min(xs)) / width * cells))
        j = min(cells - 1, int((point[1] - min(ys)) / height * cells))
        return f"Zone-{j * cells + i + 1}"
    lines = ["[TAGS]"]
    lines += [f"NODE {n} {zone(model.coordinates[n])}" for n in model.nodes
              if n in model.coordinates]
    lines += [f"LINK {id} {zone(model.coordinates[a])}" for id, (a, _) in model.links.items()
              if a in model.coordinates and model.link_kinds[id] == "pipe"]
    return "\n".join(lines) + "\n"


def tagtool(data, *args):
    subprocess.run([sys.executable, "-m", "tagtool", "--data-dir", data, *map(str, args)],
                   cwd=ROOT, check=True, stdout=subprocess.DEVNULL)


def geojson_picture(path, png, title):
    from matplotlib.figure import Figure
    from shapely.geometry import shape

    figure = Figure(figsize=(6, 4.5), dpi=90, layout="constrained")
    axes = figure.add_subplot()
    colours = {}
    for feature in json.loads(path.read_text())["features"]:
        tag = feature["properties"]["tag"]
        colour = colours.setdefault(tag, f"C{len(colours) % 10}") if tag else "#CCCCCC"
        geometry = shape(feature["geometry"])
        if geometry.geom_type == "Point":
            axes.plot(geometry.x, geometry.y, "o", color=colour, markersize=2)
        else:
            axes.plot(*geometry.xy, color=colour, linewidth=0.8)
    axes.set_aspect("equal")
    axes.set_title(title, fontsize=10)
    axes.tick_params(labelsize=7)
    figure.savefig(png)


def main():
    docs = ROOT / "docs"
    with tempfile.TemporaryDirectory() as folder:
        folder, data = Path(folder), Path(folder) / "data"
        for name, (file, cells) in CASES.items():
            model = NETWORKS / file
            tags = folder / f"{name}-tags.inp"
            tags.write_text(zones(read_model(str(model)), cells))
            tagtool(data, "create", name)
            tagtool(data, "import", name, tags)
            tagtool(data, "map", name, model, "-o", docs / f"{name}-map.png", "--labels",
                    "--title", f"{file}: zones", "--size", "9x6", "--dpi", "90")
            if name == "ky10":
                tagtool(data, "map", name, model, "-o", docs / f"{name}-nodes.png", "--type", "node",
                        "--title", f"{file}: the nodes' zones", "--size", "9x6", "--dpi", "90")
            page = folder / f"{name}.html"
            tagtool(data, "map", name, model, "-o", page, "--labels", "--title", f"{file}: zones")
            subprocess.run(["chromium", "--headless", "--no-sandbox", "--enable-unsafe-swiftshader",
                            "--hide-scrollbars", "--window-size=1100,700",
                            f"--screenshot={docs / f'{name}-page.png'}", page.as_uri()],
                           check=True, capture_output=True)
            geojson = folder / f"{name}.geojson"
            tagtool(data, "export", name, "--format", "geojson", "--model", model, "-o", geojson)
            geojson_picture(geojson, docs / f"{name}-geojson.png",
                            f"{name}.geojson read back with shapely")


if __name__ == "__main__":
    main()
