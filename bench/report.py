"""The one report writer: bench/results.json holds the report's sections,
each as last measured, {"sections": {id: {"title", "level" (default 2),
"blocks", "targets", "chart"}}}, and every section is written alike.

A block is a paragraph or a table {"columns", "formats", "rows", "key": how
many leading cells name a row}.  A cell is a string, a number (written by
its column's format; "ns" for nanoseconds), null, or a ratio {"x", "least"
or "most": its target, "text": words after it, "show": the target beside
it, "unit": the target alone, with its unit}; a target missed is marked ✗
and listed under Targets, with each of the section's "targets" ({"what",
"holds"}) that does not hold.  A chart is one panel of bars in results.png:
{"title", "xlabel", "log", "labels", "series": [[name, colour, values]]}.

    python bench/report.py      # writes results.md and results.png again
"""

import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def read(out=HERE):
    try:
        with open(os.path.join(out, "results.json"), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return {"sections": {}}


def record(sections, out=HERE):
    """Puts sections ({id: section}) in the results file, each in place of
    its last figures, then writes the report afresh."""
    results = read(out)
    results["sections"].update(sections)
    write_file(os.path.join(out, "results.json"),
               json.dumps(results, indent=1, ensure_ascii=False) + "\n")
    write(results, out)


def write_file(path, text):
    """Writes a whole file or, on failure, leaves the one there alone."""
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def number(v, fmt):
    if fmt == "ns":
        return f"{v:,.0f}" if v >= 100 else f"{v:.1f}"
    return format(v, fmt or "")


def bound(c):
    """'≥1.5' or '≤2', and whether the ratio misses it; ('', False) without one."""
    if "least" in c:
        return f"≥{c['least']:g}", c["x"] < c["least"]
    if "most" in c:
        return f"≤{c['most']:g}", c["x"] > c["most"]
    return "", False


def cell(c, fmt=None):
    if c is None:
        return ""
    if isinstance(c, str):
        return c
    if not isinstance(c, dict):
        return number(c, fmt)
    limit, missed = bound(c)
    mark = " ✗" if missed else ""
    if "unit" in c:
        return f"{limit}{c['unit']}{mark}"
    return (f"{c['x']:.2f}x{mark}" + (f" {c['text']}" if c.get("text") else "")
            + (f" ({limit}x)" if c.get("show") else ""))


def formats(t):
    return [*t.get("formats", []), *[None] * len(t["columns"])][:len(t["columns"])]


def table(t):
    lines = ["| " + " | ".join(t["columns"]) + " |", "|" + "---|" * len(t["columns"])]
    pad = [None] * len(t["columns"])     # a row that says why it has no figures is shorter
    lines += ["| " + " | ".join(cell(c, f) for c, f in zip([*row, *pad], formats(t))) + " |"
              for row in t["rows"]]
    return lines


def missed(section):
    """What a section's targets missed, in words; None when it has none."""
    found, seen = {}, bool(section.get("targets"))
    for t in (b for b in section["blocks"] if isinstance(b, dict)):
        for row in t["rows"]:
            name = " ".join(cell(c, f) for c, f in zip(row[:t.get("key", 1)], formats(t)))
            for column, c in zip(t["columns"], row):
                limit, miss = bound(c) if isinstance(c, dict) else ("", False)
                seen |= bool(limit)
                if miss:
                    what = re.sub(r" \(.*\)$", "", column)
                    found.setdefault(f"{what} {limit}{c.get('unit', 'x')}", []).append(name)
    words = [f"{what} ({'; '.join(names)})" for what, names in found.items()]
    words += [t["what"] for t in section.get("targets", []) if not t["holds"]]
    if not seen:
        return None
    return "missed " + "; ".join(words) + "." if words else "every target holds."


def markdown(results):
    lines = []
    for s in results["sections"].values():
        lines += ["#" * s.get("level", 2) + " " + s["title"], ""]
        for block in s["blocks"]:
            lines += [*(table(block) if isinstance(block, dict) else [block]), ""]
    verdicts = [(s["title"], missed(s)) for s in results["sections"].values()]
    lines += ["## Targets", ""] + [f"{title}: {v}" for title, v in verdicts if v]
    return "\n".join(lines) + "\n"


def chart(panels, path):
    """One panel of horizontal bars per chart, one bar per series and label."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    heights = [0.5 * len(p["labels"]) + 1.5 for p in panels]
    fig, axes = plt.subplots(len(panels), 1, squeeze=False, figsize=(9, sum(heights)),
                             gridspec_kw={"height_ratios": heights})
    for ax, p in zip(axes[:, 0], panels):
        height = 0.8 / len(p["series"])
        for k, (name, colour, values) in enumerate(p["series"]):
            offset = (k - (len(p["series"]) - 1) / 2) * height
            bars = [(i + offset, v) for i, v in enumerate(values) if v is not None]
            ax.barh([y for y, _ in bars], [v for _, v in bars], height=height, label=name,
                    color=colour)
        ax.set_yticks(range(len(p["labels"])), p["labels"])
        ax.invert_yaxis()
        if p.get("log"):
            ax.set_xscale("log")
        ax.set_xlabel(p["xlabel"], labelpad=2)
        ax.grid(axis="x", which="both", alpha=0.3)
        ax.legend(loc="lower right", ncol=2, frameon=False)
        ax.set_title(p["title"])
    fig.tight_layout()
    fig.savefig(path + ".tmp.png", dpi=100, metadata={"Software": None})
    plt.close(fig)
    os.replace(path + ".tmp.png", path)


def write(results=None, out=HERE):
    """Writes results.md and results.png from the results file."""
    results = read(out) if results is None else results
    write_file(os.path.join(out, "results.md"), markdown(results))
    panels = [s["chart"] for s in results["sections"].values() if s.get("chart")]
    if panels:
        chart(panels, os.path.join(out, "results.png"))
    print(f"wrote {os.path.join(out, 'results.md')} and results.png", file=sys.stderr)


if __name__ == "__main__":
    write()
