"""Files written by ``export --into`` as EPANET 2.3 (its C library, whose
Python wrapper does not return a tag's text) and WNTR read them: each loads
a written file exactly when it loads the original, reads every tag as
``tagtool list`` shows it, and EPANET's hydraulic results stay those of the
original, to the bit."""

import ctypes
import warnings
from pathlib import Path

import epanet
import pytest
import wntr

from tagtool import main
from tagtool.inpfile import InpFile
from tagtool.model import read_model
from test_real_files import CASES, FILES, imported

EN = ctypes.CDLL(str(Path(epanet.__file__).with_name("libepanet2.so")))
# (object of EN_gettag, count code, type word, id getter, value getter, value code)
KINDS = ((0, 0, "NODE", EN.EN_getnodeid, EN.EN_getnodevalue, 11),    # pressure
         (1, 2, "LINK", EN.EN_getlinkid, EN.EN_getlinkvalue, 8))      # flow

pytestmark = pytest.mark.filterwarnings("error")


def epanet_read(path, report):
    """(error code or None, {(type, id): tag}, pressures and flows after a
    run); the engine's report goes to the file ``report``."""
    project, count, value = ctypes.c_void_p(), ctypes.c_int(), ctypes.c_double()
    text = ctypes.create_string_buffer(1024)
    EN.EN_createproject(ctypes.byref(project))
    error = EN.EN_open(project, str(path).encode(), str(report).encode(), b"")
    tags, results = {}, []
    for obj, counter, t_type, get_id, get, code in KINDS if error < 100 else ():
        EN.EN_getcount(project, counter, ctypes.byref(count))
        for i in range(1, count.value + 1):
            EN.EN_gettag(project, obj, i, text)
            tag = text.value.decode()
            get_id(project, i, text)
            if tag:
                tags[t_type, text.value.decode()] = tag
    if error < 100 and EN.EN_solveH(project) < 100:
        for _, counter, _, _, get, code in KINDS:
            EN.EN_getcount(project, counter, ctypes.byref(count))
            for i in range(1, count.value + 1):
                get(project, i, code, ctypes.byref(value))
                results.append(value.value)
    EN.EN_close(project)
    EN.EN_deleteproject(project)
    return error if error > 100 else None, tags, results


def wntr_read(path, report=None):
    """(the error WNTR raises, or None; {(type, id): tag})."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            model = wntr.network.WaterNetworkModel(str(path))
        except Exception as e:
            return type(e).__name__, {}
    elements = [("NODE", model.nodes()), ("LINK", model.links())]
    return None, {(t_type, name): e.tag for t_type, items in elements
                  for name, e in items if e.tag is not None}


@pytest.fixture
def tool(sqlite_backend, capsys):
    def run(*argv):
        assert main(["--database", "sqlite:" + sqlite_backend.data_dir(), *map(str, argv)]) == 0
        return capsys.readouterr().out
    return run


def check_engines(tool, original, written):
    report = written.with_name("engine.rpt")
    tags = dict(((t, id), tag) for t, id, tag in
                (line.split("\t") for line in tool("list", "net").splitlines()))
    for read in (epanet_read, wntr_read):
        before, after = read(original, report), read(written, report)
        assert after[0] == before[0]
        assert after[1] == ({} if after[0] else tags)
        assert after[2:] == before[2:]


@pytest.mark.parametrize("path", CASES, ids=lambda p: p and p.name)
def test_real_files(tool, path, tmp_path):
    copy = imported(tool, path, tmp_path)
    tagged = [line.split("\t")[:2] for line in tool("list", "net").splitlines()]
    for key, tag in zip(tagged, ["changed-1", None]):
        tool(*(("set", "net", *key, tag) if tag else ("clear", "net", *key)))
    free = sorted(key for key in InpFile.read(path).element_ids() if list(key) not in tagged)
    tool("set", "net", *free[0], "added-1")
    tool("export", "net", "--into", copy)
    check_engines(tool, path, copy)


def test_generated_network(tool, tmp_path):
    """A grid of 4,200 junctions and 8,300 pipes, every junction tagged:
    import, import --replace of a file with a ninth of the tags changed and
    a ninth gone, export into the first file."""
    ids = [f"J{r}_{c}" for r in range(60) for c in range(70)]
    pipes = [(f"J{r}_{c}", f"J{r}_{c + 1}") for r in range(60) for c in range(69)]
    pipes += [(f"J{r}_{c}", f"J{r + 1}_{c}") for r in range(59) for c in range(70)]
    lines = ["[JUNCTIONS]", *(f" {id}\t10\t0.1" for id in ids), "[RESERVOIRS]", " R1\t120",
             "[PIPES]", " P0\tR1\tJ0_0\t100\t300\t100\t0\tOpen",
             *(f" {a}-{b}\t{a}\t{b}\t100\t150\t100\t0\tOpen" for a, b in pipes)]

    def write(name, tag):
        tags = [f" NODE \t{id:<16}\t{tag(i)}" + " ;survey" * (i % 5 == 0)
                for i, id in enumerate(ids) if tag(i)]
        path = tmp_path / name
        path.write_bytes("\r\n".join([*lines, "[TAGS]", *tags, "[OPTIONS]", " Units\tLPS",
                                       "[END]", ""]).encode())
        return path
    original = write("grid.inp", lambda i: f"DMA{i % 9}")
    edited = write("edited.inp", lambda i: {3: "DMA3-b", 5: None}.get(i % 9, f"DMA{i % 9}"))
    tool("create", "net")
    assert tool("import", "net", original) == f"imported {len(ids)} tags into net\n"
    assert tool("import", "--replace", "net", edited).endswith(
        ": 0 added, 467 changed, 467 removed\n")
    tool("export", "net", "--into", original)
    check_engines(tool, edited, original)


WNTR_FILES = sorted(Path(wntr.__file__).parent.glob("**/*.inp"))


@pytest.mark.parametrize("path, tight", [(p, False) for p in FILES + WNTR_FILES]
                         + [(p, True) for p in WNTR_FILES if p.name == "Net3.inp"],
                         ids=lambda p: p.name if isinstance(p, Path) else "tight" * p)
def test_model_is_what_wntr_reads(path, tight, tmp_path):
    """The map's and zones' model of a real file: WNTR's elements, their kinds
    and ends, and the coordinates the file gives; ``tight``, the file without
    blank or comment lines, its lines ended by CR LF, the last by nothing."""
    if tight:
        lines = [line for line in path.read_text().splitlines()
                 if line.strip() and not line.lstrip().startswith(";")]
        path = tmp_path / path.name
        path.write_bytes("\r\n".join(lines).encode())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            network = wntr.network.WaterNetworkModel(str(path))
        except Exception as e:
            pytest.skip(f"WNTR does not read it: {type(e).__name__}")
    model = read_model(str(path))
    assert model.nodes == {id: node.node_type.lower() for id, node in network.nodes()}
    assert model.links == {id: (link.start_node_name, link.end_node_name)
                           for id, link in network.links()}
    assert model.link_kinds == {id: link.link_type.lower() for id, link in network.links()}
    assert {id: tuple(network.get_node(id).coordinates) for id in model.coordinates} == \
        model.coordinates
