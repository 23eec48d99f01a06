"""Crash safety: files rewritten in place keep a rollback copy that the next
command uses, temporary files of dead writers go, a network is made whole or
not at all whatever interrupts ``create``, and names that look alike are one
name."""

import glob
import os
import random
import signal
import subprocess
import sys
import time
import unicodedata
from pathlib import Path

import pytest

from api import database as db
from tagtool import rollback as rollbacks, safewrite

pytestmark = pytest.mark.filterwarnings("error")

ROOT = Path(__file__).resolve().parents[1]


def spawn(url, *argv, env=None):
    """A tag tool process on the database ``url``."""
    env = dict(os.environ, PYTHONPATH=str(ROOT), **(env or {}))
    env.pop("ORVANE_DATABASE_URL", None)
    return subprocess.Popen([sys.executable, "-m", "tagtool", "--database", url, *map(str, argv)],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(process):
    out, err = process.communicate(timeout=120)
    return process.returncode, out, err


def model(tags, n):
    """An INP model of ``n`` junctions, each tagged ``tags`` and its number."""
    return ("[JUNCTIONS]\n" + "".join(f"J{i}\t0\n" for i in range(n)) + "[TAGS]\n"
            + "".join(f"NODE J{i} {tags}{i % 97}\n" for i in range(n)) + "[END]\n").encode()


def leftovers(folder):
    return sorted(p.name for p in Path(folder).iterdir() if rollbacks.writer_of(p.name) is not None
                  or p.name.endswith(rollbacks.KEPT))


# The file tests need a network, on one backend: the files are the same on both.
files_only = pytest.mark.parametrize("backend", ["sqlite"], indirect=True)


@pytest.fixture
def state(tmp_path, monkeypatch):
    folder = tmp_path / "state"
    monkeypatch.setenv("XDG_STATE_HOME", str(folder))
    return folder / "orvane"


OLD, NEW = model("a", 3000), model("zone-", 3000)
CUT = 8192                  # where the write stopped, a page boundary as on Linux
EDITED = NEW[:CUT] + b"; edited\n" + OLD[CUT + 9:]


# (what the file holds when the next command comes, what it holds after, the
# word of the message)
SETTLED = [
    (OLD, OLD, "found whole"),
    (NEW, NEW, "found whole"),
    (NEW[:CUT] + OLD[CUT:] + bytes(len(NEW) - len(OLD)), OLD, "restored"),
    (OLD + bytes(len(NEW) - len(OLD)), OLD, "restored"),          # room claimed, nothing written
    (NEW[:CUT] + bytes(len(NEW) - CUT), OLD, "restored"),
    (bytes(len(NEW)), OLD, "restored"),
    (EDITED, EDITED, "left as it is"),
    (NEW[:CUT], NEW[:CUT], "left as it is"),        # a size no rewrite leaves
]


@files_only
@pytest.mark.parametrize("closed", [False, True], ids=["beside", "state-folder"])
@pytest.mark.parametrize("content, after, said", SETTLED)
def test_a_cut_off_rewrite_is_put_right(tool, tmp_path, state, monkeypatch, closed, content, after,
                                        said):
    path = tmp_path / "model.inp"
    path.write_bytes(OLD)
    if closed:
        monkeypatch.setattr(rollbacks, "open_folder", lambda folder: False)
    info = os.stat(path)
    rollback = rollbacks.Rollback.keep(str(path), info, OLD, NEW)
    assert Path(rollback.path).parent == (state if closed else tmp_path)
    monkeypatch.setattr(rollbacks, "writer_gone", lambda pid: True)     # as after a kill
    path.write_bytes(content)
    # Any command settles the state folder; the one that touches the file, its folder.
    status, _, err = tool("networks") if closed else tool("import", "net", path, "--dry-run")
    assert path.read_bytes() == after
    assert said in err and str(path) in err
    left = leftovers(rollback.path.rsplit("/", 1)[0])
    if said == "left as it is":
        kept = Path(rollback.path).parent / left[0]
        assert len(left) == 1 and kept.read_bytes() == OLD and str(kept) in err
    else:
        assert left == []


@files_only
def test_a_user_who_may_not_write_the_file_leaves_it_to_those_who_may(tool, tmp_path, monkeypatch):
    path = tmp_path / "model.inp"
    path.write_bytes(OLD)
    rollback = rollbacks.Rollback.keep(str(path), os.stat(path), OLD, NEW)
    monkeypatch.setattr(rollbacks, "writer_gone", lambda pid: True)

    def opened(file, mode="r", *args, **kwargs):
        if mode == "r+b":
            raise PermissionError(13, "Permission denied", file)
        return open(file, mode, *args, **kwargs)
    monkeypatch.setattr(rollbacks, "open", opened, raising=False)
    path.write_bytes(NEW[:CUT] + OLD[CUT:] + bytes(len(NEW) - len(OLD)))
    assert tool("import", "net", path, "--dry-run") == (
        77, "", f"tagtool: {path}: half-written by a tagtool rewrite that was cut off, which only a "
                f"user who may write the file can put right (its content before is in "
                f"{rollback.record['copy']})\n")
    path.write_bytes(NEW)                   # whole: read as it is
    assert tool("import", "net", path, "--dry-run")[2].startswith("tagtool: no network named")
    assert len(leftovers(tmp_path)) == 2    # the record and the copy, for those who may


def test_a_rewrite_stopped_by_an_error_puts_the_old_content_back(tmp_path, monkeypatch):
    path, other = tmp_path / "model.inp", tmp_path / "other.inp"
    path.write_bytes(OLD)
    os.link(path, other)
    real_fsync, inode, calls = os.fsync, path.stat().st_ino, []

    def fsync(fd):
        # The file's first sync, once the new content is written, fails.
        if os.fstat(fd).st_ino == inode and not calls:
            calls.append(fd)
            raise OSError(28, "No space left on device")
        real_fsync(fd)
    monkeypatch.setattr(os, "fsync", fsync)
    with pytest.raises(OSError):
        safewrite.write_file(str(path), NEW)
    assert other.read_bytes() == OLD and leftovers(tmp_path) == []


N_RUNS = 4


@files_only
def test_kill_an_in_place_export_at_any_moment(tool, backend_url, tmp_path):
    # An export of 10^5 tags into a hard-linked file, killed at a random
    # moment (every other run just after its rollback record appears, when
    # the rewrite begins): after the next command every name holds the old
    # or the new content, byte for byte, and nothing is left beside them.
    # The first run is not killed: it gives the new content.
    n = 100_000
    path, other = tmp_path / "model.inp", tmp_path / "other-name.inp"
    old, source = model("a", n), tmp_path / "source.inp"
    source.write_bytes(model("zone-north-", n))
    path.write_bytes(old)
    os.link(path, other)
    assert tool("create", "net")[0] == 0
    assert tool("import", "net", "--replace", source)[0] == 0
    new, seen = None, set()
    for run in range(N_RUNS + 1):
        with open(path, "r+b") as f:
            f.write(old)
            f.truncate()
        process = spawn(backend_url, "export", "net", "--into", path, "--replace")
        if new is None:
            assert finish(process)[0] == 0
            new = path.read_bytes()
            continue
        if run % 2:
            while process.poll() is None and not glob.glob(str(tmp_path / ".model.inp.*.rec")):
                time.sleep(0.0002)
            time.sleep(random.uniform(0, 0.015))
        else:
            time.sleep(random.uniform(0.2, 1.5))
        process.kill()
        finish(process)
        content = path.read_bytes()
        seen.add("old" if content == old else "new" if content == new else "cut")
        assert finish(spawn(backend_url, "import", "net", path, "--dry-run"))[0] == 0
        assert path.read_bytes() in (old, new)
        assert os.path.samefile(path, other) and leftovers(tmp_path) == []
    print("what the kills left:", sorted(seen))


@files_only
def test_temporary_files_of_dead_writers_go(tool, tmp_path):
    path = tmp_path / "model.inp"
    path.write_bytes(OLD)
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True).stdout.strip()
    names = {f".model.inp.orvane-tmp.{dead}.0badf00d", f".model.inp.orvane-tmp.{dead}.0badf00d.old",
             f".model.inp.orvane-tmp.{os.getppid()}.0badf00d",      # its writer runs
             f".else.inp.orvane-tmp.{dead}.0badf00d"}                # another file's
    for name in names:
        (tmp_path / name).write_bytes(b"x" * 100)
    tool("create", "net")
    assert tool("export", "net", "--into", path)[0] == 0
    assert set(leftovers(tmp_path)) == {f".model.inp.orvane-tmp.{os.getppid()}.0badf00d",
                                        f".else.inp.orvane-tmp.{dead}.0badf00d"}


def test_the_state_folder_is_platformdirs_one(monkeypatch):
    import platformdirs

    for value in (None, "/somewhere/state"):
        if value is None:
            monkeypatch.delenv("XDG_STATE_HOME", raising=False)
        else:
            monkeypatch.setenv("XDG_STATE_HOME", value)
        assert rollbacks.state_folder() == platformdirs.user_state_dir("orvane", appauthor=False)


# Networks

SIGNALS = [signal.SIGKILL, signal.SIGINT, signal.SIGTERM]


def data_folder(url):
    return url[len("sqlite:"):] if url.startswith("sqlite:") else None


@pytest.mark.parametrize("sig", SIGNALS, ids=lambda s: s.name)
def test_an_interrupted_create_leaves_no_network_or_a_usable_one(backend_url, tmp_path, sig):
    folder = data_folder(backend_url)
    states = []
    for run in range(3):
        name = f"n{run}"
        process = spawn(backend_url, "create", name)
        if folder and run == 1:
            # Just after its file appears under a temporary name.
            while process.poll() is None and not glob.glob(os.path.join(folder, f".{name}.db.*")):
                time.sleep(0.0002)
            time.sleep(random.uniform(0, 0.003))
        else:
            time.sleep(random.uniform(0.05, 1.0))
        process.send_signal(sig)
        finish(process)
        status, out, err = finish(spawn(backend_url, "list", name))
        listed = finish(spawn(backend_url, "networks"))[1].split()
        if status == 0:
            states.append("usable")
            assert name in listed
            assert finish(spawn(backend_url, "set", name, "NODE", "J1", "x"))[0] == 0
            assert finish(spawn(backend_url, "create", name))[2] == \
                f"tagtool: network '{name}' already exists\n"
        else:
            states.append("absent")
            assert err.startswith(f"tagtool: no network named '{name}' in ")
            assert name not in listed
            assert finish(spawn(backend_url, "create", name))[0] == 0
        if folder:
            assert leftovers(folder) == []
    print(sig.name, states)


def test_two_creates_at_once_make_one_network(backend_url):
    for round in range(4):
        runs = [spawn(backend_url, "create", f"r{round}") for _ in range(2)]
        done = sorted(finish(run)[:3:2] for run in runs)
        assert done == [(0, ""), (1, f"tagtool: network 'r{round}' already exists\n")]


# A PostgreSQL network is made in one transaction: it is never half-made.
@files_only
def test_a_half_made_network_is_refused_then_completed(tool, backend_url, tmp_path):
    folder = data_folder(backend_url)
    os.makedirs(folder, exist_ok=True)
    location = os.path.join(folder, "half.db")
    open(location, "wb").close()            # as a create cut off before this version left it
    refused = (f"tagtool: network 'half' is half-made: its file {location} lacks its tag tables "
               "or its journal (a create cut off): create it again to complete it, or drop it\n")
    for command in (("list", "half"), ("set", "half", "NODE", "J1", "x"), ("undo", "half")):
        assert tool(*command) == (1, "", refused)
    assert tool("networks")[1] == "half\n"
    assert tool("create", "half") == (0, "created network half\n", "")
    assert tool("set", "half", "NODE", "J1", "x")[0] == 0
    assert tool("list", "half")[1] == "NODE\tJ1\tx\n"


NFC, NFD = "caf\u00e9", "cafe\u0301"


def test_names_are_kept_in_nfc(backend):
    assert db.create_network(NFD) is True
    assert db.list_networks() == [NFC]
    assert db.create_network(NFC) is False and db.network_exists(NFD)
    db.execute_batch(NFD, "insert into tags_node (id, tag) values ('J1', 'x')")
    assert db.read_all(NFC, "select id, tag from tags_node") == [{"id": "J1", "tag": "x"}]


def test_a_network_made_under_another_spelling_stays_reachable(backend):
    db.backend().create(NFD)            # as before names were kept in NFC
    db.close_all()
    assert db.list_networks() == [NFD]
    assert db.create_network(NFD) is False
    db.execute_batch(NFD, "insert into tags_node (id, tag) values ('J1', 'x')")
    assert db.read_all(NFD, "select tag from tags_node") == [{"tag": "x"}]
    with pytest.raises(ValueError, match=r"invalid network name 'café': network 'cafe\\u0301' "
                                         "has the same name in another Unicode spelling"):
        db.create_network(NFC)
    assert db.list_networks() == [NFD]
    assert unicodedata.normalize("NFC", db.list_networks()[0]) == NFC
