"""Exchanges of tags between networks and shared INP files: the three-way
merge of import and export --into with the file's baseline, the colleague's
copy that keeps its tags, files the user may not write, hard links, and
writers of one file at once."""

import io
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from api import database as db
from api import orvane
from tagtool.inpfile import InpFile

pytestmark = pytest.mark.filterwarnings("error")

ROOT = Path(__file__).resolve().parents[1]
DTOWN = next((p / "shared" / "data" / "inp" / "dtown.inp" for p in ROOT.parents
              if (p / "shared" / "data" / "inp" / "dtown.inp").exists()), ROOT / "dtown.inp")
NET3 = next(Path(sys.prefix).glob("lib/python3.12/site-packages/wntr/library/networks/Net3.inp"),
            None)
TAGGED, FREE = ("NODE", "J511"), ("LINK", "P1")    # tagged 'DMA2' in dtown.inp; untagged


def file_tags(path):
    return InpFile.read(str(path)).read_tags().tags


def edit_file(path, key, tag):
    """Give ``key`` the tag ``tag`` (None: no tag line) in the file, as
    someone with a text editor would."""
    text = path.read_text(encoding="latin-1")
    line = re.compile(rf"^[ \t]*{key[0]}[ \t]+{key[1]}[ \t]+\S+[^\n]*\n", re.M)
    if line.search(text):
        text = line.sub("" if tag is None else f"{key[0]} {key[1]} {tag}\n", text)
    elif tag is not None:
        text = text.replace("[TAGS]\n", f"[TAGS]\n{key[0]} {key[1]} {tag}\n", 1)
    path.write_text(text, encoding="latin-1")


def set_tag(tool, key, tag, name="net"):
    assert tool(*(("set", name, *key, tag) if tag else ("clear", name, *key)))[0] == 0


def stored(key):
    return orvane.get_tag("net", *key)["tag"]


# (element, the network's change, the file's change, command and options,
# exit status, the file's tag and the network's tag after).  "=" is no
# change since the exchange; None no tag.
KEEP = "="
CASES = [
    (TAGGED, "X", KEEP, "export", 0, "X", "X"),
    (TAGGED, KEEP, "Y", "export", 0, "Y", "DMA2"),
    (TAGGED, None, KEEP, "export", 0, None, None),
    (TAGGED, KEEP, None, "export", 0, None, "DMA2"),
    (TAGGED, "X", "X", "export", 0, "X", "X"),
    (TAGGED, "X", "Y", "export", 3, "Y", "X"),
    (TAGGED, None, "Y", "export", 3, "Y", None),
    (TAGGED, "X", "Y", "export --ours", 0, "X", "X"),
    (TAGGED, "X", "Y", "export --theirs", 0, "Y", "X"),
    (TAGGED, "X", "Y", "export --replace", 0, "X", "X"),
    (FREE, "X", KEEP, "export", 0, "X", "X"),
    (FREE, KEEP, "Y", "export", 0, "Y", None),
    (FREE, "X", "Y", "export", 3, "Y", "X"),
    (FREE, KEEP, "Y", "export --replace", 0, None, None),
    (TAGGED, "X", KEEP, "import", 0, "DMA2", "X"),
    (TAGGED, KEEP, "Y", "import", 0, "Y", "Y"),
    (TAGGED, None, KEEP, "import", 0, "DMA2", None),
    (TAGGED, KEEP, None, "import", 0, None, None),
    (TAGGED, "X", "Y", "import", 3, "Y", "X"),
    (TAGGED, "X", None, "import", 3, None, "X"),
    (TAGGED, "X", "Y", "import --ours", 0, "Y", "X"),
    (TAGGED, "X", "Y", "import --theirs", 0, "Y", "Y"),
    (TAGGED, "X", KEEP, "import --replace", 0, "DMA2", "DMA2"),
    (FREE, "X", KEEP, "import", 0, None, "X"),
    (FREE, KEEP, "Y", "import", 0, "Y", "Y"),
    (FREE, "X", "Y", "import", 3, "Y", "X"),
]


@pytest.mark.skipif(not DTOWN.exists(), reason=f"no shared INP file {DTOWN}")
@pytest.mark.parametrize("key, ours, theirs, command, status, in_file, in_network", CASES)
def test_three_way(tool, tmp_path, key, ours, theirs, command, status, in_file, in_network):
    shared = tmp_path / "shared.inp"
    shutil.copyfile(DTOWN, shared)
    tool("create", "net")
    assert tool("import", "net", shared)[0] == 0           # the exchange: the baseline
    if ours != KEEP:
        set_tag(tool, key, ours)
    if theirs != KEEP:
        edit_file(shared, key, theirs)
    before, journal = shared.read_bytes(), len(db.journal("net"))
    name, *options = command.split()
    argv = (name, "net", shared, *options) if name == "import" else (name, "net", "--into", shared,
                                                                        *options)
    # A dry run writes nothing, anywhere, and exits as the real run does.
    dry = tool(*argv, "--dry-run")
    assert dry[0] == status, dry
    assert (shared.read_bytes(), len(db.journal("net"))) == (before, journal)
    done = tool(*argv)
    assert done[0] == status, done
    if status == 3:
        assert f"conflict: {key[0]} {key[1]}: base " in done[2] and "nothing written" in done[2]
        assert (shared.read_bytes(), len(db.journal("net"))) == (before, journal)
    assert (file_tags(shared).get(key), stored(key)) == (in_file, in_network)
    others = {k: t for k, t in file_tags(DTOWN).items() if k != key}
    assert {k: t for k, t in file_tags(shared).items() if k != key} == others
    if status == 0:
        # A second run finds nothing more to do.
        again = tool(*argv)
        assert again[0] == 0 and (" 0 added, 0 changed, 0 removed" in again[1]
                                  or "unchanged" not in again[1])
        assert (file_tags(shared).get(key), stored(key)) == (in_file, in_network)


@pytest.mark.skipif(NET3 is None, reason="WNTR's Net3.inp is not installed")
def test_a_colleagues_copy_keeps_its_tags(tool, tmp_path):
    # The colleague tagged 92 nodes of their copy of Net3; I tag one of them
    # in my own network and export into their copy.
    copy = tmp_path / "colleague.inp"
    shutil.copyfile(NET3, copy)
    nodes = sorted(k for k in InpFile.read(str(copy)).element_ids() if k[0] == "NODE")[:92]
    assert ("NODE", "10") in nodes
    section = "[TAGS]\n" + "".join(f"NODE {id} Zone{i % 4}\n" for i, (_, id) in enumerate(nodes))
    (tmp_path / "zones.inp").write_text(section)
    tool("create", "theirs")
    tool("import", "theirs", tmp_path / "zones.inp")
    assert tool("export", "theirs", "--into", copy)[1].endswith(": 92 added, 0 changed, 0 removed\n")
    theirs = file_tags(copy)

    tool("create", "mine")
    tool("set", "mine", "NODE", "10", "Pumped")
    # Mine never exchanged with this copy: where both tag an element
    # differently, neither overwrites the other.
    assert tool("export", "mine", "--into", copy) == (
        3, "", f"tagtool: conflict: NODE 10: base no tag, network 'Pumped', file "
               f"{theirs['NODE', '10']!r}\n"
               f"tagtool: {copy}: nothing written: 1 conflict: tags changed both in network "
               "'mine' and in the file since their last exchange (--ours keeps the network's, "
               "--theirs the file's)\n")
    assert tool("export", "mine", "--into", copy, "--ours", "--dry-run")[1].splitlines() == [
        f"{copy}: no earlier exchange of this file found: tags both sides hold differently are "
        "conflicts, and none is removed",
        f"would change NODE 10 {theirs['NODE', '10']!r} -> 'Pumped'",
        f"dry run: export mine into {copy}: 0 added, 1 changed, 0 removed, 91 kept; nothing written"]
    assert tool("export", "mine", "--into", copy, "--ours")[1].splitlines()[-1] == (
        f"exported 1 tag into {copy}: 0 added, 1 changed, 0 removed, 1 conflict settled; kept "
        "91 tags of the file on elements the network has no tag for (--replace removes them)")
    assert file_tags(copy) == theirs | {("NODE", "10"): "Pumped"}

    # The colleague imports my change, and nothing else changes on either side.
    entries = len(db.journal("theirs"))
    assert tool("import", "theirs", copy)[1].splitlines()[-1] == (
        "imported 92 tags into theirs: 0 added, 1 changed, 0 removed, 91 unchanged")
    assert tool("import", "theirs", copy)[1].endswith(": 0 added, 0 changed, 0 removed, 92 unchanged\n")
    assert len(db.journal("theirs")) == entries + 1
    assert tool("export", "mine", "--into", copy)[1].endswith(": 0 added, 0 changed, 0 removed; "
                                                             "kept 91 tags that the file changed or "
                                                             "added since the last exchange (import "
                                                             "takes them)\n")


def test_words_after_the_tag_and_standard_input(tool, monkeypatch):
    tool("create", "net")
    text = b"[TAGS]\nNODE J1 North zone\nNODE J2 a b c ;x\nNODE J3 c\n"
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(text)))
    status, out, err = tool("import", "net", "-")
    assert (status, out) == (0, "imported 3 tags into net\n")
    assert err == ("tagtool: warning: <stdin>: 2 tag lines with words after the tag, which the "
                   "engines do not read: the tag is the first word (first on line 2: NODE J1 "
                   "North zone)\n")
    assert [t["tag"] for t in orvane.get_tags("net")] == ["North", "a", "c"]


def run_tool(url, *argv, prefix=()):
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    env.pop("ORVANE_DATABASE_URL", None)
    return subprocess.Popen([*prefix, sys.executable, "-m", "tagtool", "--database", url,
                             *map(str, argv)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finish(process):
    out, err = process.communicate(timeout=120)
    return process.returncode, out, err


SHARED = "[JUNCTIONS]\nJ1\nJ2\nJ3\n[TAGS]\nNODE J1 old ;kept\n[END]\n"


def test_a_file_the_user_may_not_write(tool, backend_url, tmp_path):
    path = tmp_path / "shared.inp"
    path.write_text(SHARED)
    path.chmod(0o444)
    tool("create", "net")
    tool("set", "net", "NODE", "J2", "new")
    if os.geteuid() == 0:
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            pytest.skip("root cannot drop its override capabilities here: no setpriv")
        prefix = (setpriv, "--bounding-set=-dac_override,-dac_read_search,-fowner",
                  "--inh-caps=-all")
        done = finish(run_tool(backend_url, "export", "net", "--into", path, prefix=prefix))
    else:
        done = tool("export", "net", "--into", path)
    assert done == (77, "", f"tagtool: {path}: you may not write this file (mode 0444); "
                            "nothing written\n")
    assert (path.read_text(), path.stat().st_mode & 0o777) == (SHARED, 0o444)
    assert tool("export", "net", "--into", path, "--dry-run")[0] == (0 if os.geteuid() == 0 else 77)


def test_hard_links_keep_seeing_the_file(tool, tmp_path):
    path, other = tmp_path / "shared.inp", tmp_path / "other-name.inp"
    path.write_text(SHARED)
    path.chmod(0o640)
    os.link(path, other)
    tool("create", "net")
    tool("set", "net", "NODE", "J2", "new")
    assert tool("export", "net", "--into", path)[0] == 0
    assert other.read_text() == SHARED.replace(";kept\n", ";kept\nNODE J2 new\n")
    assert os.path.samefile(path, other) and path.stat().st_mode & 0o777 == 0o640


def test_two_exports_into_one_file_take_turns(backend_url, tmp_path):
    # Each round, networks a and b export into a new copy at once; the
    # result is one of the two serial orders, never a mix that lost one.
    db.set_database_url(backend_url)
    for name, tags in (("a", {"J1": "a1", "J2": "a2"}), ("b", {"J2": "b2", "J3": "b3"})):
        db.create_network(name)
        db.execute_import(name, [orvane.inp_in_tag(f"NODE {id} {t}") for id, t in tags.items()],
                          [("NODE", id, None, t) for id, t in tags.items()])
    db.close_all()
    # Each round's file holds a tag of its own, so that no round's file is
    # taken for a later state of another one's.
    serial = set()
    for first, second in (("a", "b"), ("b", "a")):
        path = tmp_path / f"{first}{second}.inp"
        path.write_text(SHARED.replace(" old ", f" {first}{second} "))
        for name in (first, second):
            assert finish(run_tool(backend_url, "export", name, "--into", path, "--ours"))[0] == 0
        serial.add(frozenset(file_tags(path).items()))
    assert len(serial) == 2
    for round in range(20):
        path = tmp_path / f"round{round}.inp"
        path.write_text(SHARED.replace(" old ", f" round{round} "))
        runs = [run_tool(backend_url, "export", name, "--into", path, "--ours") for name in ("a", "b")]
        assert [finish(run)[0] for run in runs] == [0, 0]
        assert frozenset(file_tags(path).items()) in serial


def test_a_writer_waits_for_the_lock_then_gives_up(tool, tmp_path, monkeypatch):
    import fcntl

    from tagtool import filelock

    path = tmp_path / "shared.inp"
    path.write_text(SHARED)
    tool("create", "net")
    tool("set", "net", "NODE", "J2", "new")
    monkeypatch.setattr(filelock, "WAIT", 0.2)
    with open(path) as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        assert tool("export", "net", "--into", path) == (
            75, "", f"tagtool: {path}: file is locked by another tagtool (waited 0.2 s); nothing "
                    "written, try again\n")
        assert tool("import", "net", path)[0] == 75
    assert path.read_text() == SHARED
    assert tool("export", "net", "--into", path)[0] == 0


# The exchanges of the first paragraph, over every format the tool
# writes: a file exported to me/, copied to downloads/ and edited there.

def edit_any(path, fmt, changes):
    """Change the tags of ``changes`` ({key: tag, None: no tag}) as someone
    would in that format: a tag line edited or deleted, a cell changed or
    blanked, a JSON value or GeoJSON property set or nulled."""
    if fmt == "inp":
        for key, tag in changes.items():
            edit_file(path, key, tag)
        return
    if fmt == "csv":
        import csv

        text = path.read_text(encoding="utf-8-sig")
        rows = list(csv.reader(io.StringIO(text, newline="")))
        for row in rows[1:]:
            key = (row[0], row[1])
            if key in changes:
                row[2] = changes[key] or ""
        out = io.StringIO()
        csv.writer(out).writerows(rows)
        path.write_text("\ufeff" + out.getvalue(), encoding="utf-8")
        return
    import json

    items = json.loads(path.read_text(encoding="utf-8"))
    for item in items["features"] if fmt == "geojson" else items:
        props = item["properties"] if fmt == "geojson" else item
        key = (props["type"], props["id"])
        if key in changes:
            props["tag"] = changes[key]
    path.write_text(json.dumps(items), encoding="utf-8")


def net3_tags():
    """A tag on each of Net3's first 40 nodes and 20 links."""
    ids = InpFile.read(str(NET3)).element_ids()
    nodes = sorted(id for t, id in ids if t == "NODE")[:40]
    links = sorted(id for t, id in ids if t == "LINK")[:20]
    return {**{("NODE", id): f"Zone{i % 5}" for i, id in enumerate(nodes)},
            **{("LINK", id): f"Main{i % 3}" for i, id in enumerate(links)}}


def exported(tool, fmt, tmp_path):
    """The network "mine" with Net3's tags, exported to me/ in ``fmt``."""
    (tmp_path / "me").mkdir()
    (tmp_path / "downloads").mkdir()
    tags = net3_tags()
    (tmp_path / "tags.inp").write_text("[TAGS]\n" + "".join(
        f"{t} {id} {tag}\n" for (t, id), tag in tags.items()))
    tool("create", "mine", "--model", NET3)
    assert tool("import", "mine", tmp_path / "tags.inp")[0] == 0
    path = tmp_path / "me" / f"Net3.{fmt}"
    if fmt == "inp":
        shutil.copyfile(NET3, path)
        assert tool("export", "mine", "--into", path)[0] == 0
    else:
        assert tool("export", "mine", "-o", path, "--format", fmt)[0] == 0
    return tags, path


FORMATS = ["inp", "csv", "json", "geojson"]


@pytest.mark.skipif(NET3 is None, reason="WNTR's Net3.inp is not installed")
@pytest.mark.parametrize("fmt", FORMATS)
def test_a_file_that_travelled_keeps_both_peoples_edits(tool, tmp_path, monkeypatch, fmt):
    monkeypatch.chdir(tmp_path)
    tags, mine = exported(tool, fmt, tmp_path)
    (a, b, c, d, e) = list(tags)[:5]
    theirs = tmp_path / "downloads" / f"Net3-colleague.{fmt}"
    shutil.copyfile(mine, theirs)
    edit_any(theirs, fmt, {a: "Edited", b: None})           # the colleague's edits
    set_tag(tool, c, "Mine1", "mine")                                 # and mine meanwhile
    set_tag(tool, d, None, "mine")
    status, out, err = tool("import", "mine", theirs)
    assert status == 0, err
    assert f"merged against the exchange with me/Net3.{fmt} of " in out
    now = {(t["t_type"], t["id"]): t["tag"] for t in orvane.get_tags("mine")}
    assert now == {**{k: v for k, v in tags.items() if k not in (b, d)}, a: "Edited", c: "Mine1"}
    # The round trip: my edits go into the colleague's file, theirs stay.
    assert tool("export", "mine", "--into", theirs)[0] == 0
    assert tool("import", "mine", theirs)[0] == 0
    assert {(t["t_type"], t["id"]): t["tag"] for t in orvane.get_tags("mine")} == now
    back = read_any(theirs, fmt)
    assert {k: v for k, v in back.items() if v is not None} == now


def read_any(path, fmt):
    from tagtool.exchange_files import read_side

    return read_side(str(path), fmt).tags


@pytest.mark.skipif(NET3 is None, reason="WNTR's Net3.inp is not installed")
@pytest.mark.parametrize("fmt", FORMATS)
def test_settled_stays_settled_and_a_removal_stays(tool, tmp_path, fmt):
    tags, path = exported(tool, fmt, tmp_path)
    a, b, c = list(tags)[:3]
    edit_any(path, fmt, {a: "Theirs", b: None})
    set_tag(tool, a, "Ours", "mine")
    set_tag(tool, c, "Mine", "mine")
    assert tool("export", "mine", "--into", path)[0] == 3      # a: both changed
    assert tool("import", "mine", path, "--ours")[0] == 0      # settled: ours
    assert stored_in("mine", b) is None                        # the removal applied
    # Not raised again, in either direction; the settled tag reaches the file.
    assert tool("export", "mine", "--into", path)[0] == 0
    assert tool("import", "mine", path)[0] == 0
    assert read_any(path, fmt).get(a) == "Ours" and read_any(path, fmt).get(c) == "Mine"
    # A removal made in the file stays through an export until imported.
    edit_any(path, fmt, {c: None})
    set_tag(tool, a, "Ours2", "mine")
    assert tool("export", "mine", "--into", path)[0] == 0
    assert read_any(path, fmt).get(c) is None and read_any(path, fmt).get(a) == "Ours2"
    assert tool("import", "mine", path)[0] == 0
    assert stored_in("mine", c) is None


def stored_in(name, key):
    return orvane.get_tag(name, *key)["tag"]


@pytest.mark.skipif(NET3 is None, reason="WNTR's Net3.inp is not installed")
@pytest.mark.parametrize("fmt", FORMATS)
def test_a_file_without_tags_speaks_for_nothing(tool, tmp_path, fmt):
    tags, path = exported(tool, fmt, tmp_path)
    edit_any(path, fmt, dict.fromkeys(tags))                   # every tag gone
    status, out, err = tool("import", "mine", path)
    assert status == 0 and "speaks for no element (--replace clears every tag)" in out
    assert len(orvane.get_tags("mine")) == len(tags)


def test_two_people_on_both_backends(tool, tmp_path):
    # The renamed copy, on SQLite and PostgreSQL: my edit and the
    # colleague's both survive, and a first exchange with a stranger's file
    # overwrites nothing.
    shared = tmp_path / "shared.inp"
    shared.write_text("[TAGS]\n" + "".join(f"NODE J{i} t{i}\n" for i in range(1, 9)))
    tool("create", "net")
    assert tool("import", "net", shared)[0] == 0
    copy = tmp_path / "copy.inp"
    shutil.copyfile(shared, copy)
    edit_file(copy, ("NODE", "J2"), "B")
    edit_file(copy, ("NODE", "J3"), None)
    tool("set", "net", "NODE", "J1", "A")
    assert tool("import", "net", copy)[0] == 0
    assert {t["id"]: t["tag"] for t in orvane.get_tags("net")} == {
        "J1": "A", "J2": "B", **{f"J{i}": f"t{i}" for i in range(4, 9)}}
    stranger = tmp_path / "stranger.inp"
    stranger.write_text("[TAGS]\nNODE J1 x\nNODE J9 y\n")
    status, out, err = tool("import", "net", stranger)
    assert status == 3 and "conflict: NODE J1: base no tag, network 'A', file 'x'" in err
    assert tool("import", "net", stranger, "--ours")[0] == 0
    assert {t["id"]: t["tag"] for t in orvane.get_tags("net")} == {
        "J1": "A", "J2": "B", "J9": "y", **{f"J{i}": f"t{i}" for i in range(4, 9)}}


# Sequences the state machine of test_exchange_properties.py found.

def test_a_file_sharing_one_tag_with_an_exchange_is_not_its_later_state(tool, tmp_path):
    # A file that holds one tag of a recorded file of three was taken for
    # what was left of it, and its other two tags for removals.
    tool("create", "net")
    for key, tag in ((("NODE", "J2"), "b2"), (("NODE", "J3"), "b3")):
        set_tag(tool, key, tag)
    first = tmp_path / "first.inp"
    first.write_text(SHARED)
    assert tool("export", "net", "--into", first)[0] == 0      # J1 old, J2 b2, J3 b3
    other = tmp_path / "other.inp"
    other.write_text(SHARED)                                    # J1 old alone
    assert tool("export", "net", "--into", other)[0] == 0
    assert file_tags(other) == {("NODE", "J1"): "old", ("NODE", "J2"): "b2", ("NODE", "J3"): "b3"}


def test_a_record_with_a_tag_the_file_never_had_infers_no_removal(tool, tmp_path):
    # B's tag exported into one file; another network's older file sharing
    # a tag with it was merged against that record, so B's tag counted as
    # removed there.
    tool("create", "net")
    set_tag(tool, ("NODE", "J1"), "x")
    older = tmp_path / "older.inp"
    assert tool("export", "net", "-o", older)[0] == 0           # J1 x
    set_tag(tool, ("LINK", "L1"), "x")
    newer = tmp_path / "newer.inp"
    assert tool("export", "net", "-o", newer)[0] == 0           # J1 x, L1 x
    copy = tmp_path / "copy.inp"
    shutil.copyfile(older, copy)
    assert tool("export", "net", "--into", copy)[0] == 0
    assert file_tags(copy) == {("NODE", "J1"): "x", ("LINK", "L1"): "x"}


def test_a_corrupt_record_is_set_aside(tool, backend_url, tmp_path):
    shared = tmp_path / "shared.inp"
    shared.write_text(SHARED)
    tool("create", "net")
    assert tool("import", "net", shared)[0] == 0
    tool("set", "net", "NODE", "J1", "mine")
    db.set_database_url(backend_url)
    db.execute_batch("net", ["update exchange_records set entries = sample"])
    db.close_all()
    # The file's origin is unknown then: J1 differs on both sides.
    status, out, err = tool("import", "net", shared)
    assert status == 3 and "Traceback" not in err
    assert err.splitlines()[0].startswith("tagtool: warning: network 'net': exchange record 1 is "
                                          "corrupt (")
    assert err.splitlines()[0].endswith("): set aside, so the file's origin is not known from it")


def test_a_baseline_of_an_older_tagtool_is_still_read(tool, backend_url, tmp_path):
    import zlib

    shared = tmp_path / "shared.inp"
    shared.write_text(SHARED)
    tool("create", "net")
    tool("set", "net", "NODE", "J1", "mine")
    db.set_database_url(backend_url)
    blob = zlib.compress("N\0J1\0old".encode())
    postgres = db.backend_name() == "postgresql"
    literal = ("'\\x" if postgres else "x'") + blob.hex() + "'"
    db.execute_batch("net", [
        f"create table file_baselines (path text primary key, tags {'bytea' if postgres else 'blob'} not null)",
        f"insert into file_baselines (path, tags) values ('{os.path.realpath(shared)}', {literal})"])
    db.close_all()
    # J1 changed in the network only, since that exchange: kept.
    assert tool("import", "net", shared)[0] == 0
    assert stored_in("net", ("NODE", "J1")) == "mine"


@pytest.mark.parametrize("argv", [("--into", "{path}"), ("-o", "{path}")])
def test_a_record_that_fails_after_the_file_is_written(tool, tmp_path, monkeypatch, argv):
    path = tmp_path / "shared.inp"
    path.write_text(SHARED)
    tool("create", "net")
    tool("set", "net", "NODE", "J2", "new")

    def fail(*args):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(db, "write_exchange", fail)
    status, out, err = tool("export", "net", *(a.format(path=path) for a in argv))
    assert (status, err) == (1, f"tagtool: {path}: written, but the exchange could not be "
                                f"recorded in network 'net': [Errno 28] No space left on device\n")
    assert file_tags(path)[("NODE", "J2")] == "new"


def test_a_layer_without_tags_takes_the_networks_tags(tool, tmp_path):
    # A GeoJSON layer exported before any tag was set holds no tag, so it
    # speaks for nothing; an export into it still writes into its features.
    from test_exchange_properties import MODEL

    model = tmp_path / "model.inp"
    model.write_text(MODEL)
    layer = tmp_path / "zones.geojson"
    tool("create", "net")
    assert tool("export", "net", "-o", layer, "--model", model)[0] == 0
    tool("set", "net", "NODE", "n1", "x")
    assert tool("export", "net", "--into", layer)[0] == 0
    assert read_any(layer, "geojson") == {("NODE", "n1"): "x"}


def test_a_file_the_same_as_an_exchanged_one_is_merged_against_it(tool, tmp_path):
    # Another's file that holds what mine held when I exported it: my later
    # edit is no conflict with it.
    tool("create", "net")
    tool("set", "net", "NODE", "n2", "y")
    mine, theirs = tmp_path / "mine.inp", tmp_path / "theirs.inp"
    assert tool("export", "net", "-o", mine)[0] == 0
    theirs.write_bytes(mine.read_bytes())
    tool("set", "net", "NODE", "n2", "x")
    status, out, err = tool("export", "net", "--into", theirs)
    assert status == 0 and "merged against the exchange with " in out
    assert file_tags(theirs) == {("NODE", "n2"): "x"}
