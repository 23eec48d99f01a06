"""Round trips of the [TAGS] sections of real INP files written by others:
import with the tag tool (on SQLite and on PostgreSQL), export, and compare
with the file's own tag lines.

The files live beside the project's clone, in shared/data/inp; they are read
there and never copied into the project."""

import shutil
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
    # The export writes node lines before link lines; each kind keeps its order.
    wanted = sorted(map(tokens, original), key=lambda t: t[0] != "NODE")
    assert [line.split() for line in exported[1:]] == wanted
    assert all(line == " ".join(t) for line, t in zip(exported[1:], wanted))


@pytest.mark.parametrize("path", CASES, ids=lambda p: p and p.name)
def test_into_keeps_the_rest_of_the_file(tool, path, tmp_path):
    copy = tmp_path / path.name
    shutil.copyfile(path, copy)
    tool("create", "net")
    tool("import", "net", path)
    tool("set", "net", "NODE", "NEW-1", "added")
    tool("export", "net", "--into", copy)

    before, _ = split_sections(path.read_bytes())
    after, tags = split_sections(copy.read_bytes())
    assert after == before
    tool("create", "again")
    tool("import", "again", copy)
    assert tool("list", "again") == tool("list", "net")
    # New lines end as the section's header does.
    cr = next(line for line in after if line.upper().startswith("[TAGS]")).endswith("\r")
    assert all(line.endswith("\r") == cr for line in tags)
    assert "NODE NEW-1 added" in (line.rstrip("\r") for line in tags)
