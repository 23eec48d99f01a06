"""Files written by the tag tool, as the water-network engines read them:
EPANET 2.3 (its C library through ctypes, since its Python wrapper does not
return a tag's text) and WNTR.  A file that ``export --into`` writes loads in
an engine exactly when the file it was written into does, every tag reads
back as ``tagtool list`` shows it, and EPANET's hydraulic results are those
of the original file, to the bit."""

import ctypes
import shutil
import warnings
from pathlib import Path

import epanet
import pytest
import wntr

from tagtool import main
from tagtool.inpfile import InpFile
from test_real_files import CASES, imported

EN = ctypes.CDLL(str(Path(epanet.__file__).with_name("libepanet2.so")))
EN_NODE, EN_LINK = 0, 1             # object codes of EN_gettag
EN_NODECOUNT, EN_LINKCOUNT = 0, 2
EN_PRESSURE, EN_FLOW = 11, 8

pytestmark = pytest.mark.filterwarnings("error")


def epanet_read(path, hydraulics=False):
    """(error code, {(type, id): tag}, hydraulic results) as EPANET reads
    the file; results are the pressures and flows after a full run."""
    project = ctypes.c_void_p()
    EN.EN_createproject(ctypes.byref(project))
    try:
        error = EN.EN_open(project, str(path).encode(), str(path.with_suffix(".rpt")).encode(), b"")
        if error > 100:
            return error, None, None
        tags, count, text = {}, ctypes.c_int(), ctypes.create_string_buffer(1024)
        for obj, counter, t_type, get_id in ((EN_NODE, EN_NODECOUNT, "NODE", EN.EN_getnodeid),
                                             (EN_LINK, EN_LINKCOUNT, "LINK", EN.EN_getlinkid)):
            EN.EN_getcount(project, counter, ctypes.byref(count))
            for i in range(1, count.value + 1):
                EN.EN_gettag(project, obj, i, text)
                if text.value:
                    tag = text.value.decode()
                    get_id(project, i, text)
                    tags[t_type, text.value.decode()] = tag
        results = None
        if hydraulics:
            EN.EN_solveH(project)
            value, results = ctypes.c_double(), []
            for get, counter, what in ((EN.EN_getnodevalue, EN_NODECOUNT, EN_PRESSURE),
                                       (EN.EN_getlinkvalue, EN_LINKCOUNT, EN_FLOW)):
                EN.EN_getcount(project, counter, ctypes.byref(count))
                for i in range(1, count.value + 1):
                    get(project, i, what, ctypes.byref(value))
                    results.append(value.value)
        return error, tags, results
    finally:
        EN.EN_close(project)
        EN.EN_deleteproject(project)


def wntr_read(path):
    """(name of the error it raises or None, {(type, id): tag}) as WNTR
    reads the file."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            model = wntr.network.WaterNetworkModel(str(path))
        except Exception as e:
            return type(e).__name__, None
    tags = {("NODE", name): node.tag for name, node in model.nodes()}
    tags.update((("LINK", name), link.tag) for name, link in model.links())
    return None, {key: tag for key, tag in tags.items() if tag is not None}


@pytest.fixture
def tool(sqlite_backend, capsys):
    url = "sqlite:" + sqlite_backend.data_dir()

    def run(*argv):
        status = main(["--database", url, *map(str, argv)])
        out, err = capsys.readouterr()
        assert status == 0, err
        return out
    return run


def listed(tool, network):
    return {(t_type, id): tag for t_type, id, tag in
            (line.split("\t") for line in tool("list", network).splitlines())}


def check_engines(tool, network, original, written):
    """``written`` loads in each engine as ``original`` does, with the
    network's tags and the original's hydraulic results."""
    tags = listed(tool, network)
    error, read, results = epanet_read(written, hydraulics=True)
    before = epanet_read(original, hydraulics=True)
    assert error == before[0]
    if read is not None:
        assert read == tags
        assert results == before[2]
    error, read = wntr_read(written)
    assert error == wntr_read(original)[0]
    if read is not None:
        assert read == tags


def edit(tool, network, path):
    """Change one tag, clear another and tag an element that had none."""
    tags = list(listed(tool, network))
    if tags:
        tool("set", network, *tags[0], "changed-1")
    if len(tags) > 1:
        tool("clear", network, *tags[1])
    free = sorted(key for key in InpFile.read(path).element_ids() if key not in tags)
    tool("set", network, *free[0], "added-1")


@pytest.mark.parametrize("path", CASES, ids=lambda p: p and p.name)
def test_real_files(tool, path, tmp_path):
    copy = imported(tool, path, tmp_path)
    edit(tool, "net", path)
    tool("export", "net", "--into", copy)
    check_engines(tool, "net", path, copy)


def grid(rows, columns, tags):
    """An INP file of a grid of junctions fed by a reservoir, with ``tags``
    ({(type, id): tag}) laid out in columns, with comments."""
    lines = ["[TITLE]", "A generated grid", "", "[JUNCTIONS]"]
    lines += [f" J{r}_{c}\t{10 + r % 7}\t{0.1 + c % 3 / 10}" for r in range(rows)
              for c in range(columns)]
    lines += ["", "[RESERVOIRS]", " R1\t120", "", "[PIPES]", " P0\tR1\tJ0_0\t100\t300\t100\t0\tOpen"]
    for r in range(rows):
        for c in range(columns):
            if c + 1 < columns:
                lines.append(f" H{r}_{c}\tJ{r}_{c}\tJ{r}_{c + 1}\t100\t150\t100\t0\tOpen")
            if r + 1 < rows:
                lines.append(f" V{r}_{c}\tJ{r}_{c}\tJ{r + 1}_{c}\t100\t150\t100\t0\tOpen")
    lines += ["", "[TAGS]", ";Type\tId\tTag"]
    lines += [f" {t_type} \t{id:<16}\t{tag}" + (" ;from the survey" if i % 5 == 0 else "")
              for i, ((t_type, id), tag) in enumerate(tags.items())]
    lines += ["", "[OPTIONS]", " Units\tLPS", "", "[END]", ""]
    return "\r\n".join(lines)


def test_generated_network(tool, tmp_path):
    """10,000 and more elements: tags from one file replace those of another
    (import --replace), and the export into the first gives the second's."""
    rows, columns = 60, 70
    first = {("NODE", f"J{r}_{c}"): f"DMA{(r * c) % 9}" for r in range(rows) for c in range(columns)}
    first.update((("LINK", f"H{r}_0"), f"main-{r}") for r in range(rows))
    second = {key: tag for i, (key, tag) in enumerate(first.items()) if i % 7}
    second.update((key, tag + "-b") for i, (key, tag) in enumerate(first.items()) if i % 5 == 1)
    second.update((("LINK", f"V{r}_1"), "new") for r in range(rows - 1))
    original, edited = tmp_path / "grid.inp", tmp_path / "edited.inp"
    original.write_text(grid(rows, columns, first), newline="")
    edited.write_text(grid(rows, columns, second), newline="")

    tool("create", "grid")
    assert tool("import", "grid", original) == f"imported {len(first)} tags into grid\n"
    removed = len(first.keys() - second.keys())
    changed = sum(first[key] != second[key] for key in first.keys() & second.keys())
    assert tool("import", "--replace", "grid", edited) == (
        f"updated the tags of grid from {edited}: {len(second.keys() - first.keys())} added, "
        f"{changed} changed, {removed} removed\n")
    assert listed(tool, "grid") == second
    written = tmp_path / "written.inp"
    shutil.copyfile(original, written)
    tool("export", "grid", "--into", written)
    check_engines(tool, "grid", original, written)


def test_left_out_tags_leave_a_loadable_file(tool, tmp_path):
    """What cannot be written is left out with --skip-unwritable and
    --skip-unknown, and the rest loads as the network holds it."""
    text = (Path(__file__).resolve().parents[1] / "examples" / "network.inp").read_text()
    path = tmp_path / "small.inp"
    path.write_text(text[:text.index("[TAGS]")] + text[text.index("[OPTIONS]"):])
    tool("create", "net")
    nasty = ["x\n[PIPES]\nP99 J1 J2 100 12 100 0 Open\n[TAGS]", "DMA2\n[END]", "", ";x",
             '"Zone 1"', "a\xa0b", "x" * 300, "tab\there"]
    *elements, last = sorted(InpFile.read(path).element_ids())
    for key, tag in zip(elements, nasty, strict=False):
        tool("set", "net", *key, tag)
    tool("set", "net", "NODE", "NOPE", "x")
    tool("set", "net", "LINK", last[1], "link-on-a-node")
    tool("set", "net", *last, "fine")
    tool("export", "net", "--into", path, "--skip-unwritable", "--skip-unknown")
    assert epanet_read(path)[1] == wntr_read(path)[1] == {last: "fine"}
