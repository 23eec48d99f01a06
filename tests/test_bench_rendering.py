"""The plain-Python reference that the benchmarks measure api.orvane against
(reference/pyorvane.py, and its Cython build when bench/build.py has made it)
does what the module does: same results, same calls into the database
names, same argument errors.  Otherwise the baseline would not be fair."""

import collections
import os
import subprocess
import sys

import pytest

from api import database, orvane

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")
sys.path += [BENCH, os.path.join(BENCH, "build")]

import workload  # noqa: E402
from helpers import Database, pyorvane  # noqa: E402

try:
    import cyorvane
except ImportError:
    cyorvane = None

TABLES = {
    "tags_node": [{"id": "J1", "tag": "a"}, {"id": "O'Neil", "tag": None}, {"id": 7, "tag": 0}],
    "tags_link": [{"id": "P1", "tag": "Süd it's"}],
}


@pytest.fixture(params=["python", "cython"])
def pair(request, monkeypatch):
    """(api.orvane, the rendering), each with doubles of its own."""
    other = pyorvane if request.param == "python" else cyorvane
    if other is None:
        pytest.skip("the Cython build is not there (python bench/build.py makes it)")
    dbs = []
    for mod in (orvane, other):
        db = Database(TABLES["tags_node"], TABLES["tags_link"], look_up=True, record=True)
        dbs.append(db.bind(mod, monkeypatch=monkeypatch,
                           names=("read_all", "try_read", "execute_command", "g_update_prefix")))
    return (orvane, dbs[0]), (other, dbs[1])


def same(pair, call):
    """Runs call(module) on both; the results (or exceptions) and the calls
    into the database must be alike."""
    outcomes = []
    for mod, db in pair:
        try:
            outcomes.append(("ok", call(mod), db.calls))
        except Exception as e:
            outcomes.append((type(e), str(e), db.calls))
    assert outcomes[0] == outcomes[1]
    return outcomes[0]


class TestSameResults:
    def test_reads(self, pair):
        same(pair, lambda m: m.get_tag_schema(""))
        same(pair, lambda m: m.get_tags("net"))
        same(pair, lambda m: m.inp_out_tag("net"))
        for t_type, id in [("NODE", "J1"), ("NODE", "O'Neil"), ("NODE", "7"), ("LINK", "P1"),
                           ("LINK", "none"), ("node", "J1")]:
            same(pair, lambda m: m.get_tag("net", t_type, id))

    @pytest.mark.parametrize("data", [
        {"t_type": "NODE", "id": 12}, {"t_type": "LINK", "id": "P'1", "tag": " it's "},
        {"t_type": None, "id": "J1", "tag": 0}, {"t_type": "NODE", "id": "J1", "tag": None},
        {"t_type": "NODE"}])
    def test_tag(self, pair, data):
        same(pair, lambda m: (vars(t := m.Tag(data)), t.as_dict()))

    @pytest.mark.parametrize("op", [
        {"t_type": "NODE", "id": "J1", "tag": "b'c"}, {"t_type": "LINK", "id": "P9", "tag": "x"},
        {"t_type": "NODE", "id": "O'Neil", "tag": None}, {"t_type": "node", "id": "J1", "tag": "x"},
        {"t_type": "NODE", "id": "J1"}])
    def test_changes(self, pair, op):
        cs = database.ChangeSet(op)
        same(pair, lambda m: m._set_tag("net", cs))
        same(pair, lambda m: m.set_tag("net", cs))

    @pytest.mark.parametrize("id", ["J1", "O'Neil", "gone"])
    def test_deletes(self, pair, id):
        same(pair, lambda m: m.delete_tag_by_node("net", id))
        same(pair, lambda m: m.delete_tag_by_link("net", id))

    @pytest.mark.parametrize("line", [*workload.LINES_OF_EVERY_SHAPE, "", " NODE ", "NODE J1"])
    def test_inp_in_tag(self, pair, line):
        same(pair, lambda m: m.inp_in_tag(line))


class MyStr(str):
    pass


class TestSameArgumentErrors:
    @pytest.mark.parametrize("call", [
        lambda m: m.get_tag_schema(None), lambda m: m.get_tags(MyStr("net")),
        lambda m: m.get_tag("net", "NODE", 5), lambda m: m.get_tag(1, 2, 3),
        lambda m: m.Tag(collections.OrderedDict(t_type="NODE", id="J1")),
        lambda m: m.inp_in_tag(b"NODE J1 a"), lambda m: m.inp_out_tag(None),
        lambda m: m.delete_tag_by_link("net", 5), lambda m: m.set_tag(5, None)])
    def test_type_errors(self, pair, call):
        kind, message, calls = same(pair, call)
        assert kind is TypeError and message.startswith("Argument '") and calls == []


class TestEndToEndFloor:
    """The floor of the end-to-end table (bench/sqlfloor.py) stores what the
    tag tool stores from the same generated file, and reads back the same
    tags, so that the two do the same job."""

    def test_same_rows_and_lines(self, tmp_path, monkeypatch):
        import e2e
        import sqlfloor
        inp = tmp_path / "tags.inp"
        e2e.write_inp(inp, 500)
        monkeypatch.setenv("ORVANE_DATA_DIR", str(tmp_path / "unused"))
        monkeypatch.delenv("ORVANE_DATABASE_URL", raising=False)
        stored = {}
        for who in ("tagtool", "floor"):
            data = tmp_path / who
            tool = [sys.executable, "-m", "tagtool", "--data-dir", str(data)]
            subprocess.run([*tool, "create", "net"], check=True, cwd=ROOT)
            if who == "tagtool":
                subprocess.run([*tool, "import", "net", str(inp)], check=True, cwd=ROOT,
                               capture_output=True)
            else:
                assert sqlfloor.import_tags(str(data / "net.db"), str(inp)) == 500
            stored[who] = sorted(sqlfloor.read_back(str(data / "net.db")))
        assert len(stored["floor"]) == 500
        assert stored["tagtool"] == stored["floor"]
        assert {("NODE", "J6", "Zone6"), ("LINK", "P9", "Valve9"),
                ("LINK", "P4", "O'Neil")} <= set(stored["floor"])
