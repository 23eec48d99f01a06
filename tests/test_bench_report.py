"""The benchmarks' report writer and process measurement: every section of
bench/results.json is written alike from its own structure, targets missed
are marked and listed, a re-measured section takes its old one's place, and
a child's peak memory is its own rather than the benchmark's."""

import json
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import harness  # noqa: E402
import report  # noqa: E402

TABLE = {"columns": ["case", "ns", "vs Python (≥1.5x)", "limit", "note"],
         "formats": [None, "ns", None, None], "key": 1,
         "rows": [["fast", 57.8, {"x": 1.62, "least": 1.5}, {"x": 2.0, "most": 3, "unit": " s"},
                   {"x": 0.53, "most": 1.3, "text": "the INP's", "show": True}],
                  ["slow", 2449.4, {"x": 0.77, "least": 1.3, "show": True},
                   {"x": 3.5, "most": 3, "unit": " s"}, None],
                  ["failed", "not measured: no server"]]}


@pytest.mark.parametrize("cell, fmt, text", [
    (57.8, "ns", "57.8"), (2449.4, "ns", "2,449"), (3, "+d", "+3"), (100000, ",", "100,000"),
    (None, ".2f", ""), ("text", ".2f", "text"), ({"x": 1.234}, None, "1.23x"),
    ({"x": 1.6, "least": 1.5}, None, "1.60x"), ({"x": 1.4, "least": 1.5}, None, "1.40x ✗"),
    ({"x": 4.69, "most": 2, "show": True}, None, "4.69x ✗ (≤2x)"),
    ({"x": 1.95, "text": "import sqlite3"}, None, "1.95x import sqlite3"),
    ({"x": 0.09, "most": 0.3, "unit": " s"}, None, "≤0.3 s"),
    ({"x": 3.1, "most": 3, "unit": " s"}, None, "≤3 s ✗")])
def test_cells(cell, fmt, text):
    assert report.cell(cell, fmt) == text


def test_section_tables_and_targets():
    results = {"sections": {
        "a": {"title": "Benchmarks", "level": 1, "blocks": ["Prose."]},
        "b": {"title": "Calls", "blocks": ["Intro.", TABLE, "After."],
              "targets": [{"what": "no growth", "holds": False}]},
        "c": {"title": "Held", "blocks": [{"columns": ["x", "r"], "rows": [["y", {"x": 1, "most": 2}]]}]},
        "d": {"title": "No targets", "blocks": [{"columns": ["x"], "rows": [["y"]]}]}}}
    text = report.markdown(results)
    assert text.startswith("# Benchmarks\n\nProse.\n\n## Calls\n\nIntro.\n\n")
    assert ("| case | ns | vs Python (≥1.5x) | limit | note |\n|---|---|---|---|---|\n"
            "| fast | 57.8 | 1.62x | ≤3 s | 0.53x the INP's (≤1.3x) |\n"
            "| slow | 2,449 | 0.77x ✗ (≥1.3x) | ≤3 s ✗ |  |\n"
            "| failed | not measured: no server |  |  |  |\n\nAfter.\n") in text
    assert text.endswith(
        "## Targets\n\nCalls: missed vs Python ≥1.3x (slow); limit ≤3 s (slow); no growth.\n"
        "Held: every target holds.\n")


def test_record_replaces_a_section_in_place(tmp_path):
    first = {"title": "One", "blocks": ["first"]}
    report.record({"one": first, "two": {"title": "Two", "blocks": ["second"]}}, out=tmp_path)
    report.record({"one": dict(first, blocks=["again"])}, out=tmp_path)
    results = json.loads((tmp_path / "results.json").read_text())
    assert list(results["sections"]) == ["one", "two"]
    assert (tmp_path / "results.md").read_text().startswith("## One\n\nagain\n\n## Two\n")
    assert not list(tmp_path.glob("*.tmp*"))


def test_a_childs_peak_is_its_own():
    """The benchmark holds 200 MB more than the child ever does; a child
    started from it directly would report them as its own peak."""
    ballast = bytearray(200 << 20)
    ballast[::4096] = b"x" * len(ballast[::4096])
    used = harness.usage([sys.executable, "-c", "x = bytearray(30 << 20); x[::4096] = b'y' * len(x[::4096])"])
    assert 30 << 20 < used["rss"] < 100 << 20
    assert 0 < used["cpu"] < 5
    del ballast


def test_a_failing_command_ends_the_benchmark_with_its_message():
    with pytest.raises(SystemExit, match="failed: ValueError: bad value"):
        harness.usage([sys.executable, "-c", "raise ValueError('bad value')"])


def test_runner_refuses_an_unknown_section():
    proc = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "run.py"), "--only", "maps"],
                          capture_output=True, text=True)
    assert proc.returncode == 2 and "unknown section maps" in proc.stderr
