"""The tag tool as its users see a whole network: list, get and summary in
text, JSON and CSV, the map drawn from a real model, the progress bar on a
terminal, the version and the help."""

import collections
import csv
import io
import json
import os
import subprocess
import sys
import termios
from pathlib import Path

import pytest

from api import orvane
from tagtool import main
from tagtool.formats import unguarded
from tagtool.model import read_model

pytestmark = pytest.mark.filterwarnings("error")

ROOT = Path(__file__).resolve().parents[1]
DTOWN = ROOT.parent / "shared" / "data" / "inp" / "dtown.inp"
real_file = pytest.mark.skipif(not DTOWN.exists(), reason=f"no {DTOWN}")

# Values that a format could bend: separators, quotes, line breaks, escapes.
ODD = ["North zone", 'say "hi"', "a,b", "two\nlines", "tab\there", "back\\slash",
       "Süd", "\r", " ", "", "'O''Neil'"]


@pytest.fixture
def odd(tool):
    """A network whose nodes and links carry the odd values, some twice."""
    assert tool("create", "net")[0] == 0
    for i, tag in enumerate(ODD):
        tool("set", "net", "NODE", f"J{i}", tag)
        tool("set", "net", "LINK", f"P{i}", ODD[i % 3])
    return orvane.get_tags("net")


def csv_rows(out):
    """The rows of the tool's CSV, as its own reader takes them: after the
    byte-order mark, each cell without the apostrophe that guards a formula."""
    assert out.startswith("\ufeff")
    return [list(map(unguarded, row)) for row in csv.reader(io.StringIO(out[1:], newline=""))]


class TestFormats:
    def test_list_and_get_round_trip(self, tool, odd):
        rows = [(t["t_type"], t["id"], t["tag"]) for t in odd]
        status, out, err = tool("list", "net", "--format", "json")
        assert (status, err) == (0, "")
        assert json.loads(out) == [dict(zip(("type", "id", "tag"), row)) for row in rows]
        out = tool("list", "net", "--format", "csv")[1]
        assert csv_rows(out) == [["type", "id", "tag"], *map(list, rows)]
        for t_type, id, tag in rows:
            assert json.loads(tool("get", "net", t_type, id, "--format", "json")[1]) == {
                "type": t_type, "id": id, "tag": tag}
            out = tool("get", "net", t_type, id, "--format", "csv")[1]
            assert csv_rows(out)[1] == [t_type, id, tag]
        tool("create", "empty")
        assert tool("list", "empty", "--format", "json") == (0, "[]\n", "")
        assert tool("list", "empty", "--format", "csv") == (0, "\ufefftype,id,tag\r\n", "")
        # --raw: the cells as stored, the one a spreadsheet would run too.
        assert "\r\nNODE,J7,\"\r\"\r\n" in tool("list", "net", "--format", "csv", "--raw")[1]

    def test_summary_round_trips(self, tool, odd, tmp_path):
        model = tmp_path / "m.inp"
        model.write_text("[JUNCTIONS]\n" + "".join(f"J{i} 0\n" for i in range(len(ODD) + 4))
                         + "[PIPES]\nP0 J0 J1 1 1 1\n[END]\n")
        status, out, err = tool("summary", "net", "--model", model, "--format", "json")
        assert (status, err) == (0, "")
        summary = json.loads(out)
        for t_type in ("NODE", "LINK"):
            counts = collections.Counter(t["tag"] for t in odd if t["t_type"] == t_type)
            got = summary[t_type]["tags"]
            assert {e["tag"]: e["count"] for e in got} == counts
            assert [e["count"] for e in got] == sorted(counts.values(), reverse=True)
        assert (summary["NODE"]["untagged"], summary["NODE"]["not_in_model"]) == (4, 0)
        assert (summary["LINK"]["in_model"], summary["LINK"]["untagged"],
                summary["LINK"]["not_in_model"]) == (1, 0, len(ODD) - 1)

        rows = csv_rows(tool("summary", "net", "--model", model, "--format", "csv")[1])
        assert rows[0] == ["type", "status", "tag", "count"]
        assert [r[2:] for r in rows if r[:2] == ["LINK", "tagged"]] == [
            [e["tag"], str(e["count"])] for e in summary["LINK"]["tags"]]
        assert ["NODE", "untagged", "", "4"] in rows

        text = tool("summary", "net", "--model", model)[1].splitlines()
        assert text[0] == f"nodes: {len(ODD)} tagged, {len(ODD)} tags; {model}: 15 nodes, 4 untagged"
        assert r"  1  two\nlines" in text


@real_file
class TestMap:
    def test_command_reports_what_it_cannot_place(self, tool, tmp_path):
        # D-Town with three nodes' coordinates taken out.
        lines = DTOWN.read_bytes().split(b"\n")
        start = lines.index(b"[COORDINATES]\r")
        gone = [lines[i].split()[0].decode() for i in range(start + 2, start + 5)]
        del lines[start + 2:start + 5]
        model = tmp_path / "dtown.inp"
        model.write_bytes(b"\n".join(lines))
        links = read_model(str(model)).links
        cut = sum(1 for ends in links.values() if set(ends) & set(gone))

        tool("create", "d")
        tool("import", "d", DTOWN)
        status, out, err = tool("map", "d", model, "-o", tmp_path / "d.png")
        assert status == 0, err
        assert err == f"tagtool: {model}: 3 nodes without coordinates, not drawn\n" \
                      f"tagtool: {model}: {cut} links without coordinates, not drawn\n"
        assert out == f"wrote {tmp_path / 'd.png'}: 404 nodes and {459 - cut} links, 5 colours\n"
        assert (tmp_path / "d.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

        status, out, err = tool("map", "d", model, "--type", "link", "-o", tmp_path / "l.svg")
        assert (status, out) == (0, f"wrote {tmp_path / 'l.svg'}: {459 - cut} links, 0 colours\n")


class TestRefusals:
    @pytest.mark.parametrize("text, message", [
        ("[COORDINATES]\nJ1 1 north\n", ":2: bad point '1' 'north': x and y are finite numbers"),
        ("[COORDINATES]\nJ1 1 nan\n", ":2: bad point '1' 'nan': x and y are finite numbers"),
        ("[VERTICES]\nP1 1\n", ":2: a point gives an id, x and y: 'P1 1'"),
        ("[JUNCTIONS]\nJ1\n[PIPES]\nP1 J1 ;J2\n", ":4: a link line gives an id and two nodes: 'P1 J1'"),
        ("[JUNCTIONS]\r\nJ1\r\n\r\n[COORDINATES]\r\nJ1 1 2\r\nJ2 3\r\n",
         ":6: a point gives an id, x and y: 'J2 3'"),
    ])
    def test_bad_model(self, tool, tmp_path, text, message):
        tool("create", "net")
        model = tmp_path / "m.inp"
        model.write_text(text)
        for argv in (["map", "net", model, "-o", tmp_path / "m.png"],
                     ["map", "net", model, "-o", tmp_path / "m.html"],
                     ["export", "net", "--format", "geojson", "--model", model,
                      "-o", tmp_path / "m.geojson"],
                     ["summary", "net", "--model", model]):
            assert tool(*argv) == (65, "", f"tagtool: {model}{message}\n")
        gone = tmp_path / "gone.inp"
        assert tool("map", "net", gone, "-o", tmp_path / "m.png") == (
            66, "", f"tagtool: {gone}: cannot read: No such file or directory\n")
        assert not [p.name for p in tmp_path.iterdir() if p.name.startswith("m.") and p != model]

    def test_bad_picture_name(self, tool, tmp_path):
        tool("create", "net")
        status, out, err = tool("map", "net", DTOWN, "-o", tmp_path / "m.jpg")
        assert (status, out) == (2, "")
        assert err.startswith("tagtool map: error: argument -o/--output: ")
        assert not (tmp_path / "m.jpg").exists()


class TestCommandLine:
    def test_version_and_exit_statuses(self, capsys):
        assert main(["--version"]) == 0
        assert capsys.readouterr().out == "tagtool 0.1.0\n"
        assert main(["--help"]) == 0
        statuses = capsys.readouterr().out.split("\n\nexit status:\n")[1]
        assert [line.split()[0] for line in statuses.splitlines() if not line.startswith("   ")] == [
            "0", "1", "2", "3", "65", "66", "69", "73", "75", "77", "130"]

    @pytest.mark.parametrize("command", ["networks", "create", "import", "export", "list", "get",
                                         "set", "clear", "delete", "undo", "redo", "summary",
                                         "map"])
    def test_help_ends_with_an_example(self, capsys, command):
        assert main([command, "--help"]) == 0
        help, example = capsys.readouterr().out.split("\n\nexample:\n  ")
        assert example.startswith(f"tagtool {command}") and example.count("\n") == 1


def run_list(data_dir, stderr_terminal):
    """``tagtool list`` in a child process, standard output to a pipe and
    standard error to a terminal or a pipe: (stdout, stderr)."""
    env = {**os.environ, "ORVANE_DATA_DIR": str(data_dir), "COLUMNS": "100"}
    env.pop("ORVANE_DATABASE_URL", None)
    argv = [sys.executable, "-m", "tagtool", "list", "big"]
    if not stderr_terminal:
        done = subprocess.run(argv, cwd=ROOT, env=env, capture_output=True, text=True)
        return done.stdout, done.stderr
    master, slave = os.openpty()
    termios.tcsetwinsize(slave, (24, 100))  # a new terminal has no size yet
    with subprocess.Popen(argv, cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=slave) as child:
        os.close(slave)
        stdout = child.stdout.read().decode()
        err = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:     # the terminal closes with the child
                break
            if not chunk:
                break
            err += chunk
    os.close(master)
    return stdout, err.decode(errors="replace")


def test_progress_on_a_terminal_only(tmp_path, monkeypatch):
    n = 30_000
    tags = tmp_path / "tags.inp"
    tags.write_text("[TAGS]\n" + "".join(f"NODE J{i} z{i % 7}\n" for i in range(n)))
    monkeypatch.delenv("ORVANE_DATABASE_URL", raising=False)
    for argv in (["create", "big"], ["import", "big", str(tags)]):
        assert main(["--data-dir", str(tmp_path / "data"), *argv]) == 0
    for terminal in (True, False):
        out, err = run_list(tmp_path / "data", terminal)
        # list gives ids in their natural order.
        assert out.splitlines() == [f"NODE\tJ{i}\tz{i % 7}" for i in range(n)]
        if terminal:
            assert "/30.0k" in err and " tags/s]" in err
        else:
            assert err == ""
