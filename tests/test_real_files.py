"""Round trips of the [TAGS] sections of real INP files written by others:
import with the tag tool (on SQLite and on PostgreSQL), export, and compare
with the file's own tag lines; an export into the file changes the lines of
the changed tags and no other byte.

The files live beside the project's clone, in shared/data/inp; they are read
there and never copied into the project."""

import shutil
from collections import Counter
from pathlib import Path

import pytest

from tagtool import main

DATA = Path(__file__).resolve().parents[2] / "shared" / "data" / "inp"
FILES = sorted(DATA.glob("*.inp"))
CASES = FILES or [pytest.param(None, marks=pytest.mark.skip(reason=f"no INP files in {DATA}"))]

pytestmark = pytest.mark.filterwarnings("error")


def split_sections(data):
    """(lines outside [TAGS] bodies, tag lines inside them), cut at "\\n" so
    that a line keeps its carriage return: header lines stay outside, and a
    tag line is a [TAGS] line that is neither blank nor a comment."""
    outside, tags, in_tags = [], [], False
    for line in data.decode("latin-1").split("\n"):
        words = line.split()
        if words and words[0].startswith("["):
            in_tags = words[0].upper() == "[TAGS]"
            outside.append(line)
        elif not in_tags:
            outside.append(line)
        elif words and not line.strip().startswith(";"):
            tags.append(line)
    return outside, tags


def tokens(line):
    """The three fields of a tag line: type word upper-cased, comment dropped."""
    words = line.split(";")[0].split()
    return [words[0].upper(), *words[1:3]]


@pytest.fixture
def tool(backend_url, capsys, monkeypatch):
    monkeypatch.delenv("ORVANE_DATABASE_URL", raising=False)

    def run(*argv):
        status = main(["--database", backend_url, *map(str, argv)])
        out, err = capsys.readouterr()
        assert (status, err) == (0, ""), err
        return out
    return run


@pytest.mark.parametrize("path", CASES, ids=lambda p: p and p.name)
def test_every_tag_survives(tool, path):
    _, original = split_sections(path.read_bytes())
    tool("create", "net")
    assert tool("import", "net", path).startswith(f"imported {len(original)} tag")
    exported = tool("export", "net").splitlines()
    assert exported[0] == "[TAGS]"
    # The export writes node lines before link lines, one plain line a tag
    # (an import stores a kind's tags in the order of their ids).
    wanted = sorted(map(tokens, original), key=lambda t: (t[0] != "NODE", t[1]))
    assert sorted(exported[1:], key=lambda line: (not line.startswith("NODE "),
                                                  line.split()[1])) == [" ".join(t) for t in wanted]
    assert exported[1:] == sorted(exported[1:], key=lambda line: not line.startswith("NODE "))


@pytest.mark.parametrize("path", CASES, ids=lambda p: p and p.name)
def test_unchanged_export_writes_the_same_bytes(tool, path, tmp_path):
    copy = imported(tool, path, tmp_path)
    assert tool("export", "net", "--into", copy).endswith(": 0 added, 0 changed, 0 removed\n")
    assert copy.read_bytes() == path.read_bytes()


@pytest.mark.parametrize("path", CASES, ids=lambda p: p and p.name)
def test_into_changes_only_the_lines_it_must(tool, path, tmp_path):
    copy = imported(tool, path, tmp_path)
    tagged = [line.split("\t")[:2] for line in tool("list", "net").splitlines()]
    free = next(id for id in defined(path.read_bytes(), "[JUNCTIONS]") if ["NODE", id] not in tagged)
    tool("set", "net", "NODE", free, "added")
    for key in tagged[:1]:
        tool("set", "net", *key, "changed")
    tool("export", "net", "--into", copy)

    before, after = path.read_bytes().split(b"\n"), copy.read_bytes().split(b"\n")
    gone, new = Counter(before) - Counter(after), Counter(after) - Counter(before)
    # New lines end as the section's header does; a changed one keeps its layout.
    cr = b"\r" * next(line for line in after if line.startswith(b"[TAGS]")).endswith(b"\r")
    assert new == Counter([f"NODE {free} added".encode() + cr,
                           *(old.replace(old.split()[2], b"changed") for old in gone)])
    assert len(gone) == len(tagged[:1])


def imported(tool, path, folder):
    """A copy of ``path`` in ``folder``, and the network "net" holding the
    file's tags."""
    copy = folder / path.name
    shutil.copyfile(path, copy)
    tool("create", "net")
    tool("import", "net", copy)
    return copy


def defined(data, section):
    """The ids a section of a file defines, in order."""
    ids, inside = [], False
    for line in data.decode("latin-1").splitlines():
        words = line.split(";")[0].split()
        if words and words[0].startswith("["):
            inside = words[0].upper() == section
        elif inside and words:
            ids.append(words[0])
    return ids
