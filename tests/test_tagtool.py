"""The tag tool: its commands, its messages and exit statuses, the import of
[TAGS] sections and the export into INP files, on SQLite and on PostgreSQL."""

import errno
import os
import sqlite3
import stat
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from api import database as db
from api import orvane
from tagtool import edit, exchange, inpfile, taglines

pytestmark = pytest.mark.filterwarnings("error")

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "network.inp"
COMMANDS = ["networks", "create", "import", "export", "list", "get", "set", "clear",
            "delete", "undo", "redo"]
TOO_FEW = "too few fields (a tag line gives a type, an id and a tag)"


@pytest.fixture
def net(tool):
    assert tool("create", "net")[0] == 0
    return "net"


def tags(tool, network="net"):
    return tool("list", network)[1].splitlines()


def write(path, text, encoding="utf-8", newline="\n", bom=b""):
    path.write_bytes(bom + text.replace("\n", newline).encode(encoding))
    return path


class TestCommands:
    def test_session(self, tool, net):
        assert tool("networks")[:2] == (0, "net\n")
        assert tool("set", net, "NODE", "J1", "North zone") == (
            0, "NODE J1: tag 'North zone'\n",
            "tagtool: warning: NODE J1: the tag holds whitespace; export will refuse it\n")
        assert tool("set", net, "link", "P1", "Main")[0] == 0
        assert tool("get", net, "node", "J1") == (0, "North zone\n", "")
        assert tags(tool) == ["NODE\tJ1\tNorth zone", "LINK\tP1\tMain"]
        assert tool("undo", net) == (0, "undone: LINK P1: no tag\n", "")
        assert tool("redo", net) == (0, "redone: LINK P1: tag 'Main'\n", "")
        assert tool("redo", net) == (1, "", "tagtool: nothing to redo in network 'net'\n")

    def test_quiet_writes_only_results_and_errors(self, tool, net):
        assert tool("-q", "set", net, "NODE", "J1", "North zone") == (0, "", "")
        assert tool("-q", "get", net, "NODE", "J1") == (0, "North zone\n", "")
        status, out, err = tool("-q", "export", net)
        assert (status, out) == (65, "") and err.endswith("to leave them out)\n")
        assert tool("-q", "export", net, "--skip-unwritable") == (0, "[TAGS]\n", "")
        assert tool("-q", "undo", net) == (0, "", "")
        assert tool("-q", "undo", net) == (1, "", "tagtool: nothing to undo in network 'net'\n")
        assert tool("undo", net)[0] == 1 and tool("create", "m")[1] == "created network m\n"

    def test_clear_and_delete(self, tool, net):
        tool("set", net, "NODE", "J1", "a")
        tool("set", net, "LINK", "P1", "b")
        assert tool("clear", net, "NODE", "J1") == (0, "NODE J1: no tag\n", "")
        assert tool("clear", net, "NODE", "J1") == (0, "NODE J1: no tag to clear\n", "")
        assert tool("delete", net, "LINK", "P1") == (0, "LINK P1: no tag\n", "")
        assert tool("delete", net, "LINK", "P1") == (0, "LINK P1: no tag to delete\n", "")
        assert tool("get", net, "LINK", "P1") == (
            1, "", "tagtool: LINK P1 has no tag in network 'net'\n")
        assert tool("undo", net)[1] == "undone: LINK P1: tag 'b'\n"
        assert tool("undo", net)[1] == "undone: NODE J1: tag 'a'\n"
        assert tags(tool) == ["NODE\tJ1\ta", "LINK\tP1\tb"]
        assert [r["redo_cs"][0]["operation"] for r in db.journal(net)] == ["update"] * 4

    def test_list_tells_a_line_break_from_a_backslash(self, tool, net):
        tool("set", net, "NODE", "J1", "a\\nb")
        tool("set", net, "NODE", "J2", "a\nb")
        assert tags(tool) == ["NODE\tJ1\ta\\\\nb", "NODE\tJ2\ta\\nb"]

    # The exit statuses: a command (in a folder holding bad.inp, with bad
    # lines, and empty.inp), its status and the start of its one-line message.
    @pytest.mark.parametrize("argv, status, message", [
        (["get", "nowhere", "NODE", "J1"], 1, "tagtool: no network named 'nowhere' in "),
        (["undo", "nowhere"], 1, "tagtool: no network named 'nowhere' in "),
        (["create", "a/b"], 1, "tagtool: invalid network name 'a/b': "),
        (["create", "net"], 1, "tagtool: network 'net' already exists"),
        (["get", "net", "NODE", "J1"], 1, "tagtool: NODE J1 has no tag in network 'net'"),
        (["undo", "net"], 1, "tagtool: nothing to undo in network 'net'"),
        (["set", "net", "TANK", "T1", "x"], 1, "tagtool: bad type word 'TANK': expected NODE or"),
        (["set", "net", "NODE", "J 1", "x"], 1, "tagtool: bad id 'J 1': an id is one word "),
        (["set", "net", "NODE", "J\x1b", "x"], 1, "tagtool: bad id 'J\\x1b': an id is one word "),
        (["get", "net", "NODE", ""], 1, "tagtool: bad id '': an id is never empty"),
        (["import", "--replace", "net", "empty.inp"], 1, "tagtool: empty.inp: no [TAGS] section: "),
        (["frobnicate"], 2, "tagtool: error: argument COMMAND: invalid choice: 'frobnicate' "),
        (["set", "net", "NODE"], 2, "tagtool set: error: the following arguments are required: "),
        (["export", "net", "x.inp", "--into", "y.inp"], 2, "tagtool export: error: give FILE or "),
        (["export", "net", "--encoding", "cp1252"], 2, "tagtool export: error: --encoding tells "),
        (["import", "net", EXAMPLE, "--encoding", "nope"], 2, "tagtool: unknown encoding 'nope'"),
        (["import", "net", "bad.inp"], 65, "bad.inp:2: bad type word 'TANK' (expected NODE or "),
        (["import", "net", "bad.inp", "--encoding", "ascii"], 65, "tagtool: bad.inp: not ascii: "),
        (["summary", "net", "--model", os.devnull], 66, f"tagtool: {os.devnull}: cannot read: "),
        (["import", "net", "missing.inp"], 66, "tagtool: missing.inp: cannot read: No such file"),
        (["import", "net", "."], 66, "tagtool: .: cannot read: a directory, not a regular file"),
        (["import", "net", os.devnull], 66,
         f"tagtool: {os.devnull}: cannot read: a character device, not a regular file"),
        (["export", "net", "--into", "missing.inp"], 66, "tagtool: missing.inp: cannot read: "),
        (["export", "net", "no/such/folder/x.inp"], 73, "tagtool: no/such/folder/x.inp: cannot "),
        (["export", "net", "."], 73, "tagtool: .: cannot write: a directory, not a regular file"),
        (["map", "net", EXAMPLE, "-o", "no/such/folder/x.png"], 73, "tagtool: no/such/folder/"),
        (["export", "net", "/sys/x.inp"], 77, "tagtool: /sys/x.inp: cannot write: Permission "),
    ])
    def test_bad_input(self, tool, net, tmp_path, monkeypatch, argv, status, message):
        monkeypatch.chdir(tmp_path)
        write(tmp_path / "bad.inp", "[TAGS]\nTANK T1 x\nNODE J1 \xe9\n")
        write(tmp_path / "empty.inp", "[JUNCTIONS]\n")
        done, out, err = tool(*argv)
        assert (done, out) == (status, "")
        assert err.startswith(message)
        assert err.count("\n") == (2 if message.startswith("bad.inp:") else 1)

    # What the database may raise in a write, and the exit status it gives.
    @pytest.mark.parametrize("error, status", [
        (lambda: db.ConflictError("net", "NODE", "J1", "other", None), 75),
        (lambda: sqlite3.OperationalError("database is locked: another writer held network 'net'"),
         75),
        (lambda: pytest.importorskip("psycopg").errors.LockNotAvailable("lock timeout"), 75),
        (lambda: db.ReadOnlyError("the data folder /mnt/nets is read-only: nothing was written"),
         77),
        (lambda: sqlite3.OperationalError("disk I/O error"), 1),
        (lambda: OSError(errno.ENOSPC, "No space left on device"), 73),
    ])
    def test_database_refusals(self, tool, net, monkeypatch, error, status):
        error = error()

        def refuse(*args, **kwargs):
            raise error
        monkeypatch.setattr(db, "execute_import", refuse)
        done, out, err = tool("import", net, EXAMPLE)
        assert (done, out) == (status, "")
        assert err.startswith("tagtool: ") and err.count("\n") == 1

    @pytest.mark.parametrize("command", COMMANDS)
    def test_help(self, tool, command):
        status, out, err = tool(command, "--help")
        assert (status, err) == (0, "")
        assert out.startswith(f"usage: tagtool {command} ")


class TestImport:
    def test_example(self, tool, net):
        assert tool("import", net, EXAMPLE) == (0, "imported 7 tags into net\n", "")
        assert tags(tool)[3:6] == ["NODE\tJ5\tHilltop", "NODE\tT1\tStorage", "LINK\tP1\tTrunk"]

    def test_sections_headers_and_skipped_lines(self, tool, net, tmp_path):
        path = write(tmp_path / "x.inp", "[JUNCTIONS]\nNODE J0 no\n[tags]\t\t\n;NODE J9 c\n"
                     "\n \t\nnode J1 a ;desc\n[PIPES]\nLINK P0 no\n [Tags]\nLINK P1 b\n"
                     "[END]\n[TAGS]\nNODE J2 after-the-end\n")
        assert tool("import", net, path)[0] == 0
        assert tags(tool) == ["NODE\tJ1\ta", "LINK\tP1\tb"]

    def test_bad_lines_write_nothing(self, tool, net, tmp_path):
        tool("set", net, "NODE", "J5", "old")
        path = write(tmp_path / "x.inp", "[TAGS]\nNODE J1 a\n  NODE\tJ2 \nTANK T1 x\n"
                     "NODE J1 b\nLINK J1 c\nNODE J5 new\n")
        status, out, err = tool("import", net, path)
        assert (status, out) == (65, "")
        assert err.splitlines() == [
            f"{path}:3: {TOO_FEW}: NODE\tJ2",
            f"{path}:4: bad type word 'TANK' (expected NODE or LINK): TANK T1 x",
            f"{path}:5: NODE J1 tagged twice (first on line 2): NODE J1 b",
            f"tagtool: {path}: nothing imported: 3 bad lines (--skip-bad imports the rest)"]
        assert tags(tool) == ["NODE\tJ5\told"]

        # The lines of an element tagged twice leave its tag alone.  The
        # network never exchanged with the file: J5, tagged on both sides,
        # is a conflict until --theirs settles it.
        assert tool("import", net, path, "--skip-bad")[0] == 3
        status, out, err = tool("import", net, path, "--skip-bad", "--theirs")
        assert (status, out.splitlines()[-1]) == (
            0, "imported 3 tags into net: 1 added, 1 changed, 0 removed, 0 unchanged, "
               "1 conflict settled")
        assert err.splitlines()[-1] == (f"tagtool: {path}: skipped 3 bad lines; no tag removed "
                                        "for lines the file no longer holds")
        assert tags(tool) == ["NODE\tJ5\tnew", "LINK\tJ1\tc"]

    def test_repeats_name_the_first_good_line(self, tool, net, tmp_path):
        # The first good line of an element, past bad lines that name it.
        path = write(tmp_path / "x.inp", '[TAGS]\nNODE J1 "a"\nLINK J1 a\nNODE J1 b\n'
                     "NODE J1 c\nLINK J1 d\n[END]\n")
        status, _, err = tool("import", net, path)
        assert status == 65
        assert err.splitlines()[1:4] == [
            f"{path}:5: NODE J1 tagged twice (first on line 4): NODE J1 c",
            f"{path}:6: LINK J1 tagged twice (first on line 3): LINK J1 d",
            f"tagtool: {path}: nothing imported: 3 bad lines (--skip-bad imports the rest)"]

    def test_refused_batch_writes_nothing(self, tool, net, tmp_path, monkeypatch):
        # Another writer tags J2 between the check and the batch.
        tool("set", net, "NODE", "J2", "theirs")
        monkeypatch.setattr(exchange, "network_tags", lambda name: {})
        path = write(tmp_path / "x.inp", "[TAGS]\nNODE J1 a\nNODE J2 b\n")
        status, out, err = tool("import", net, path)
        assert (status, out) == (75, "")
        assert err == (f"tagtool: {path}: nothing imported: network 'net': NODE J2 changed since "
                       "this import was read (it holds 'theirs', the import expected no tag); "
                       "nothing was written\n")
        monkeypatch.undo()
        assert tags(tool) == ["NODE\tJ2\ttheirs"]

    @pytest.mark.parametrize("encoding, bom, newline", [
        ("utf-8", b"", "\n"), ("utf-8", b"\xef\xbb\xbf", "\r\n"), ("latin-1", b"", "\r\n")])
    def test_encodings(self, tool, net, tmp_path, encoding, bom, newline):
        path = write(tmp_path / "x.inp", "[TAGS]\nNODE Zürich Straße\n", encoding, newline, bom)
        assert tool("import", net, path)[0] == 0
        assert tags(tool) == ["NODE\tZürich\tStraße"]

    def test_empty_section(self, tool, net, tmp_path):
        path = write(tmp_path / "x.inp", "[TAGS]\n\n[END]\n")
        assert tool("import", net, path) == (0, "imported 0 tags into net\n", "")


READ = "[JUNCTIONS]\nJ1\n[TAGS]\n"


class TestReadAsTheEngines:
    # A file (after READ unless it opens a section itself or is not UTF-8),
    # extra arguments, then the exit status, the tags listed after and a
    # piece of the output.
    @pytest.mark.parametrize("data, extra, status, listed, message", [
        (b"NODE J1 DMA1;logger\n", [], 0, ["NODE\tJ1\tDMA1"], "imported 1 tag into net\n"),
        (b"NODE J1 ;comment\n", [], 65, [], f":4: {TOO_FEW}: NODE J1 ;comment"),
        (b'NODE J1 "Zone 1"\n', [], 65, [], ":4: a word starts with '\"': EPANET reads quoted"),
        ("NODE J1 a\xa0b\n".encode(), [], 65, [], ":4: holds a no-break space (U+00A0), which"),
        (b"NODE J1 a\x0bb\n", [], 65, [], ":4: holds the whitespace character U+000B, which"),
        (b"NODE J1 " + b"x" * 256, [], 65, [], ":4: the tag is 256 bytes long; EPANET keeps only"),
        (b"NODE J1 " + b"x" * 255 + b" " * 800, [], 0, ["NODE\tJ1\t" + "x" * 255], "1 tag"),
        (b"NODE J1 a ;" + b"c" * 1013, [], 65, [], ":4: the line is 1024 bytes long; EPANET"),
        (b"NODE J1 " + b"x" * 50_000, [], 65, [], "xxx... (50008 bytes)\n"),
        (b"[TAGS]\rNODE J1 a\rLINK P1 b\r", [], 0, ["NODE\tJ1\ta", "LINK\tP1\tb"],
         "line 1 ends in a lone carriage return, which EPANET does not take for a line end"),
        (b"NODE J1 a\r\nNODE J2 b\rNODE J3 c", [], 0,
         ["NODE\tJ1\ta", "NODE\tJ2\tb", "NODE\tJ3\tc"], "line 5 ends in a lone carriage"),
        (b"[TITLE]\nZ\xfcrich\n" + "[TAGS]\nNODE J1 Zürich\n".encode(), [], 65, [],
         ": mixes encodings: [TAGS] line 4 holds UTF-8 text, but line 2, byte 2 (0xfc) is not"),
        (b"[TITLE]\nZ\xfcrich\n" + "[TAGS]\nNODE J1 Zürich\n".encode(), ["--encoding", "latin-1"],
         0, ["NODE\tJ1\tZÃ¼rich"], "1 tag"),
        (b"[TITLE]\nZ\xfcrich\n[TAGS]\nNODE J1 Stra\xdfe\n", [], 0, ["NODE\tJ1\tStraße"],
         ": not UTF-8 (line 2, byte 2 (0xfc)); read as Latin-1"),
        (b"\xef\xbb\xbf[TAGS]\nNODE J1 Stra\xdfe\n", [], 65, [],
         ": starts with a UTF-8 byte-order mark (line 1, byte 1) but line 2, byte 13 (0xdf)"),
        ("[TAGS]\r\nNODE J1 Zürich\r\n".encode("utf-16"), [], 0, ["NODE\tJ1\tZürich"],
         ": EPANET and WNTR do not read UTF-16 files"),
        ("[TAGS]\nNODE J1 a\n".encode("utf-16-le"), [], 65, [],
         ": holds NUL bytes (line 1, byte 2 (0x00)), so it is not text; UTF-16 without a "),
        (b"[JUNCTIONS]\nJ1\n", [], 0, [], "0 tags into net (the file has no [TAGS] section)"),
        (b"", [], 65, [], ": not an INP file: no section header"),
        (b"\x89PNG garbage\n", [], 65, [], ": not an INP file: no section header"),
    ])
    def test_edge_lines(self, tool, net, tmp_path, data, extra, status, listed, message):
        path = tmp_path / "x.inp"
        path.write_bytes(data if data[:1] in (b"", b"[", b"\xef", b"\xff", b"\x89")
                         or data[1:2] == b"\0" else READ.encode() + data)
        done = tool("import", net, path, *extra)
        assert done[0] == status and message in done[1] + done[2]
        assert tags(tool) == listed

    def test_special_files_are_refused_at_once(self, tool, net, tmp_path, monkeypatch):
        os.mkfifo(tmp_path / "fifo")
        for path, kind in ((tmp_path / "fifo", "a FIFO"), ("/dev/zero", "a character device")):
            assert tool("import", net, path) == (
                66, "", f"tagtool: {path}: cannot read: {kind}, not a regular file\n")
        monkeypatch.setattr(inpfile, "MAX_BYTES", 10)
        assert tool("import", net, write(tmp_path / "x.inp", READ))[2].endswith(
            ": larger than 10 bytes, the most tagtool reads of an INP file\n")


class TestReplace:
    def test_the_network_gets_the_files_tags(self, tool, net, tmp_path):
        for t_type, id, tag in [("NODE", "J1", "a"), ("NODE", "J2", "b"), ("LINK", "P1", "c"),
                                ("LINK", "P2", "d"), ("LINK", "P3", "e")]:
            tool("set", net, t_type, id, tag)
        path = write(tmp_path / "x.inp", "[TAGS]\nNODE J1 a\nNODE J2 B\nNODE J3 new\n"
                                         "LINK P2 x y\nLINK \"P3\" z\n")
        assert tool("import", net, "--replace", path)[0] == 65
        # A skipped line that names an element leaves its tag alone.
        assert tool("import", net, "--replace", "--skip-bad", path)[1] == (
            f"updated the tags of {net} from {path}: 1 added, 2 changed, 1 removed\n")
        assert sorted(tags(tool)) == ["LINK\tP2\tx", "LINK\tP3\te", "NODE\tJ1\ta",
                                      "NODE\tJ2\tB", "NODE\tJ3\tnew"]
        # No [TAGS] section: not a reason to remove every tag.
        assert tool("import", net, "--replace", write(path, "[JUNCTIONS]\n"))[2].endswith(
            ": no [TAGS] section: --replace would remove every tag; nothing changed\n")

    def test_undo_and_redo(self, tool, net, tmp_path):
        tool("set", net, "NODE", "J1", "old")
        tool("set", net, "NODE", "J2", "b")
        path = write(tmp_path / "x.inp", "[TAGS]\nNODE J1 a\nNODE J3 c\n")
        tool("import", net, "--replace", path)
        after = tags(tool)
        assert tool("undo", net) == (0, f"undone: import {path}: 1 added, 1 changed, 1 removed\n",
                                     "")
        assert sorted(tags(tool)) == ["NODE\tJ1\told", "NODE\tJ2\tb"]
        assert tool("redo", net)[0] == 0
        assert tags(tool) == after


INP = ("[TITLE]\nZürich\n\n[JUNCTIONS]\n J1\n J2\n\n[TAGS]\n;Type ID Tag\n NODE \tJ1\told\n\n\n[PIPES]\n"
       " P1\tJ1\tJ2\t;x\n[END]\n")


class TestExport:
    @pytest.mark.parametrize("text", [
        "J1", "x" * 63, "x" * 64, "x" * 255, "x" * 256, "é" * 63, "é" * 64, "a;b", '"a', 'a"b', "!",
        "~" * 63, "a b", " a", "a ", "a\tb", "é", "\x7f", "a\x1f", "a\x85", "a\u2028b", "a\xa0",
        "\ud800", ";", "#", "[TAGS]", "a\nb", "a\r", "a\\b", "", "None", None])
    def test_plain_texts_need_no_closer_look(self, text):
        # What export and list write without a closer look, the closer look
        # writes too.
        if isinstance(text, str) and taglines.PLAIN.fullmatch(text):
            assert taglines.unwritable("NODE", text, text, "latin-1") is None
        for id, tag in (("J1", text), (text, "t")):
            # The lines as the module writes them: None as "None".
            lines = ["LINK P1 a", f"NODE {id} {tag}"]
            section = taglines.plain_section(lines)
            if section is not None:
                assert taglines.unwritable("NODE", id, tag) is None
                assert section == "\n".join(lines)
            listed = edit.plain_lines(lines)
            if listed is not None:
                assert listed.splitlines()[1] == edit.text_row({"t_type": "NODE", "id": id, "tag": tag})

    def test_missing_and_awkward_values_are_looked_into(self, tool, net):
        # Rows the tool never writes, as another program may leave them.
        db.execute_batch(net, ["insert into tags_node (id, tag) values ('J1', null)",
                               "insert into tags_node (id, tag) values ('J2', 'None')",
                               "insert into tags_node (id, tag) values ('J3', 'a\\b')",
                               "insert into tags_link (id, tag) values ('P1', 'x')"])
        assert tags(tool) == ["NODE\tJ1\t", "NODE\tJ2\tNone", "NODE\tJ3\ta\\\\b", "LINK\tP1\tx"]
        status, out, err = tool("export", net, "--skip-unwritable")
        assert (status, out) == (0, "[TAGS]\nNODE J2 None\nNODE J3 a\\b\nLINK P1 x\n")
        assert err == "tagtool: left out: NODE J1: the tag is NULL\n"

    def test_to_stdout_and_file(self, tool, net, tmp_path):
        tool("set", net, "LINK", "P1", "Main")
        tool("set", net, "NODE", "J1", "O'Hare")
        assert tool("export", net) == (0, "[TAGS]\nNODE J1 O'Hare\nLINK P1 Main\n", "")
        assert tool("export", net, tmp_path / "t.inp")[0] == 0
        assert (tmp_path / "t.inp").read_text() == "[TAGS]\nNODE J1 O'Hare\nLINK P1 Main\n"

    @pytest.mark.parametrize("key, tag, reason", [
        ("J1", "x\n[PIPES]\nP99 J1 J2 100 12 100 0 Open\n[TAGS]", "the tag holds a line break"),
        ("J1", "DMA2\r", "the tag holds a line break"),
        ("J1", "", "the tag is empty"),
        ("J1", "North zone", "the tag holds whitespace"),
        ("J1", "a\xa0b", "the tag holds whitespace (a no-break space (U+00A0))"),
        ("J1", "DMA1;logger", "the tag holds ';', which starts a comment"),
        ("J1", '"Zone', "the tag starts with '\"', which EPANET reads as a quote"),
        ("J1", "a\x1bb", "the tag holds a control character ('\\x1b')"),
        ("J1", "é" * 128, "the tag is 256 bytes long; EPANET keeps only the first 255"),
        ("NOPE", "x", "the file defines no node 'NOPE'"),
        ("LINK J1", "x", "the file defines no link 'J1'"),
        ("J1", "x" * 255, None),
        ("J1", 'Zo"ne\\', None),
    ])
    def test_unwritable_tags(self, tool, net, tmp_path, key, tag, reason):
        path = write(tmp_path / "x.inp", INP)
        before = path.read_bytes()
        t_type, id = key.split() if " " in key else ("NODE", key)
        tool("set", net, t_type, id, tag)
        status, out, err = tool("export", net, "--into", path, "--ours")
        if reason is None:
            assert path.read_bytes() == before.replace(b"\told", b"\t" + tag.encode())
            return
        option = "--skip-unknown" if "defines" in reason else "--skip-unwritable"
        assert (status, out, path.read_bytes()) == (65, "", before)
        assert err == (f"tagtool: {t_type} {id}: {reason}\ntagtool: nothing written: 1 tag the "
                       f"engines would not read back as stored (give {option} to leave them out)\n")
        assert tool("export", net, "--into", path, option)[::2] == (
            0, f"tagtool: left out: {t_type} {id}: {reason}\n")

    @pytest.mark.parametrize("line, tag, after", [
        (" NODE \tJ1              \tDMA2", "DMA10", " NODE \tJ1              \tDMA10"),
        ("\tNODE\tJ1\tDMA2\t\t\t", "D", "\tNODE\tJ1\tD\t\t\t"),
        ("NODE J1 a      ;from the survey", "abc", "NODE J1 abc    ;from the survey"),
        ("NODE J1 a ;note", "abcdef", "NODE J1 abcdef ;note"),
        ("node J1 a;note", "b", "node J1 b;note"),
    ])
    def test_into_rewrites_a_changed_line_in_place(self, tool, net, tmp_path, line, tag, after):
        path = write(tmp_path / "x.inp", f"[JUNCTIONS]\nJ1\n[TAGS]\n;c\n{line}\n\n[END]\n")
        tool("set", net, "NODE", "J1", tag)
        assert tool("export", net, "--into", path, "--ours")[0] == 0
        assert path.read_text() == f"[JUNCTIONS]\nJ1\n[TAGS]\n;c\n{after}\n\n[END]\n"

    def test_to_special_files(self, tool, net, tmp_path, monkeypatch):
        tool("set", net, "NODE", "J1", "a")
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        # The export waits for its reader: a write that no one reads is lost.
        with ThreadPoolExecutor(1) as pool:
            export = pool.submit(tool, "export", net, fifo)
            with pytest.raises(TimeoutError):
                export.result(timeout=1)
            assert fifo.read_bytes() == b"[TAGS]\nNODE J1 a\n"
            assert export.result(timeout=10) == (0, "", f"tagtool: exported 1 tag to {fifo}\n")
        assert tool("export", net, tmp_path)[2].endswith(": cannot write: a directory, not a "
                                                         "regular file, FIFO or character device\n")

        def interrupt(fd):
            raise KeyboardInterrupt
        monkeypatch.setattr(os, "fsync", interrupt)
        with pytest.raises(KeyboardInterrupt):
            tool("export", net, write(tmp_path / "x.inp", "old"))
        # The FIFO stays one, and the interrupted write took its temporary file away.
        assert stat.S_ISFIFO(fifo.stat().st_mode) and (tmp_path / "x.inp").read_text() == "old"
        assert sorted(set(os.listdir(tmp_path)) - {"data"}) == ["fifo", "x.inp"]

    @pytest.mark.parametrize("encoding, bom, newline", [
        ("utf-8", b"", "\n"), ("utf-8", b"\xef\xbb\xbf", "\r\n"), ("latin-1", b"", "\r\n")])
    def test_into_keeps_every_other_byte(self, tool, net, tmp_path, encoding, bom, newline):
        tool("set", net, "NODE", "J2", "ß")
        tool("set", net, "LINK", "P1", "b")
        path = write(tmp_path / "x.inp", INP, encoding, newline, bom)
        assert tool("export", net, "--into", path, "--replace")[0] == 0
        expected = INP.replace(" NODE \tJ1\told\n", "NODE J2 ß\nLINK P1 b\n")
        assert path.read_bytes() == bom + expected.replace("\n", newline).encode(encoding)

    @pytest.mark.parametrize("before, after", [
        ("[TAGS]\nNODE J0 x\n\n[TAGS]\t\nNODE J1 a\n[END]\n",
         "[TAGS]\n\n[TAGS]\t\nNODE J1 t\n[END]\n"),
        ("[PIPES]\r\n\r\n[END]\r\nafter", "[PIPES]\r\n\r\n[TAGS]\r\nNODE J1 t\r\n\r\n[END]\r\nafter"),
        ("[PIPES]\n P1", "[PIPES]\n P1\n\n[TAGS]\nNODE J1 t\n"),
        ("[TAGS]", "[TAGS]\nNODE J1 t\n"),
    ])
    def test_into_places_the_section(self, tool, net, tmp_path, before, after):
        tool("set", net, "NODE", "J1", "t")
        path = tmp_path / "x.inp"
        path.write_bytes(("[JUNCTIONS]\nJ1\n" + before).encode())
        assert tool("export", net, "--into", path, "--replace")[0] == 0
        assert path.read_bytes() == ("[JUNCTIONS]\nJ1\n" + after).encode()

    def test_into_round_trip(self, tool, net, tmp_path):
        tool("import", net, EXAMPLE)
        tool("set", net, "NODE", "J4", "Uptown")
        path = write(tmp_path / "x.inp", EXAMPLE.read_text())
        tool("export", net, "--into", path)
        tool("create", "copy")
        tool("import", "copy", path)
        assert sorted(tags(tool, "copy")) == sorted(tags(tool))

    def test_into_failure_leaves_the_file_whole(self, tool, net, tmp_path, monkeypatch):
        tool("set", net, "NODE", "J1", "水")
        path = write(tmp_path / "x.inp", INP, "latin-1")
        before = path.read_bytes()
        status, out, err = tool("export", net, "--into", path)
        assert status == 65
        assert "tagtool: NODE J1: the tag holds '水', which latin-1 cannot write" in err.splitlines()

        tool("set", net, "NODE", "J1", "a")

        def fail(*args):
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(os, "replace", fail)
        status, out, err = tool("export", net, "--into", path, "--ours")
        assert (status, out) == (73, "")
        assert err.endswith(f"tagtool: {path}: cannot write: No space left on device\n")
        assert path.read_bytes() == before
        assert sorted(set(os.listdir(tmp_path)) - {"data"}) == ["x.inp"]

    def test_into_through_a_link(self, tool, net, tmp_path):
        tool("set", net, "NODE", "J1", "a")
        target = write(tmp_path / "x.inp", "[JUNCTIONS]\nJ1\n[TAGS]\n")
        (tmp_path / "link.inp").symlink_to(target)
        assert tool("export", net, "--into", tmp_path / "link.inp")[0] == 0
        assert (tmp_path / "link.inp").is_symlink()
        assert target.read_text() == "[JUNCTIONS]\nJ1\n[TAGS]\nNODE J1 a\n"


def run_process(*argv, cwd, env=None):
    env = dict(os.environ, PYTHONPATH=str(ROOT), **(env or {}))
    env.pop("ORVANE_DATABASE_URL", None)
    env.pop("ORVANE_DATA_DIR", None)
    return subprocess.run([sys.executable, "-m", "tagtool", *map(str, argv)],
                          capture_output=True, text=True, env=env, cwd=cwd)


class TestProcess:
    @pytest.fixture
    def run(self, backend_url, tmp_path):
        return lambda *argv: run_process("--database", backend_url, *argv, cwd=tmp_path)

    def test_import_and_export(self, run):
        assert run("create", "n").returncode == 0
        assert run("import", "n", EXAMPLE).returncode == 0
        done = run("export", "n")
        assert (done.returncode, done.stderr) == (0, "")
        assert done.stdout.splitlines()[:2] == ["[TAGS]", "NODE J1 Pumped"]

    def test_error_without_traceback(self, run):
        done = run("list", "nowhere")
        assert done.returncode == 1
        assert done.stderr.startswith("tagtool: no network named 'nowhere'")
        assert done.stderr.count("\n") == 1 and done.stdout == ""

    def test_a_short_command_loads_only_what_it_needs(self, tmp_path):
        # The network commands start without the module, JSON, CSV, temporary
        # files or threads, which only other commands use.
        code = ("import sys; from tagtool import main; main(['--data-dir', 'd', 'networks']);"
                "print(sorted({'api.orvane', 'json', 'csv', 'tempfile', 'threading', 'typing',"
                " 'hashlib', 'dataclasses'} & set(sys.modules)))")
        env = dict(os.environ, PYTHONPATH=str(ROOT))
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                              cwd=tmp_path)
        assert (done.stdout, done.stderr) == ("[]\n", f"tagtool: 0 networks in {tmp_path / 'd'}\n")

    # SQLite only: the folder of the network files.
    def test_networks_are_found_from_any_folder(self, tmp_path):
        # With no option, the user's data folder from every folder, and a
        # ./data that holds networks (as the tool kept them before) where it is.
        home, one, two = tmp_path / "home", tmp_path / "one", tmp_path / "two"
        for folder in (one, two / "data"):
            folder.mkdir(parents=True)
        mine = home / ".local" / "share" / "orvane"

        def run(*argv, cwd=one, **env):
            done = run_process(*argv, cwd=cwd, env={"HOME": str(home), "XDG_DATA_HOME": "", **env})
            return done.returncode, done.stdout, done.stderr
        assert run("--data-dir", "nets", "create", "n") == (0, "created network n\n", "")
        assert run("create", "m") == (0, "created network m\n", "")
        assert run("set", "m", "NODE", "J1", "a", cwd=two)[0] == 0
        assert run("networks", cwd=two) == (0, "m\n", f"tagtool: 1 network in {mine}\n")
        assert run("get", "m", "NODE", "J1", cwd=tmp_path) == (0, "a\n", "")
        assert run("list", "m", cwd=tmp_path, XDG_DATA_HOME=str(tmp_path / "xdg"))[2] == (
            f"tagtool: no network named 'm' in {tmp_path / 'xdg' / 'orvane'}\n")
        (two / "data" / "old.db").write_bytes((mine / "m.db").read_bytes())
        assert run("networks", cwd=two) == (0, "old\n", (
            f"tagtool: using the networks in {two / 'data'}, the current folder's data folder "
            f"(the user's is {mine})\ntagtool: 1 network in {two / 'data'}\n"))
        assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*.db")) == [
            "home/.local/share/orvane/m.db", "one/nets/n.db", "two/data/old.db"]

    def test_the_user_data_folder_is_platformdirs(self, monkeypatch):
        import platformdirs

        from tagtool.places import user_data_dir

        for value in ("", "/elsewhere/share"):
            monkeypatch.setenv("XDG_DATA_HOME", value)
            assert user_data_dir() == platformdirs.user_data_dir("orvane", appauthor=False)


class TestConcurrentWriters:
    def test_shells_setting_one_element_leave_a_true_history(self, backend_url, tmp_path, monkeypatch):
        # Eight shells, five sets each, all on J1: every command that another
        # overtook is built again, so each journal entry's old tag is the one
        # the entry before it left, and undoing them all gives the start back.
        run = lambda *argv: run_process("--database", backend_url, *argv, cwd=tmp_path)
        assert run("create", "n").returncode == 0
        assert run("set", "n", "NODE", "J1", "init").returncode == 0
        script = "; ".join(f"{sys.executable} -m tagtool --database {backend_url} set n NODE J1 s$i.{k}"
                           for k in range(5))
        shells = [subprocess.Popen(["bash", "-c", script], env={**os.environ, "i": str(i),
                                   "PYTHONPATH": str(ROOT)}, cwd=tmp_path,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                  for i in range(8)]
        errors = [shell.communicate(timeout=60)[1] for shell in shells]
        assert ([shell.returncode for shell in shells], errors) == ([0] * 8, [b""] * 8)
        monkeypatch.delenv("ORVANE_DATABASE_URL", raising=False)
        db.set_database_url(backend_url)
        entries = db.journal("n")
        assert len(entries) == 41
        for before, entry in zip(entries, entries[1:]):
            assert entry["undo_cs"][0]["tag"] == before["redo_cs"][0]["tag"]
        for _ in entries:
            db.undo("n")
        assert orvane.get_tag("n", "NODE", "J1")["tag"] is None

    def test_a_command_always_overtaken_is_refused(self, tool, net, monkeypatch):
        def overtaken(name, command):
            raise db.ConflictError(name, "NODE", "J1", "other", None)
        monkeypatch.setattr(db, "execute_command", overtaken)
        monkeypatch.setattr(orvane, "execute_command", overtaken)
        status, out, err = tool("set", net, "NODE", "J1", "a")
        assert (status, out) == (75, "")
        assert err.startswith("tagtool: network 'net': NODE J1 changed since this command was read")
        assert err.endswith("nothing was written (tried 5 times)\n")
        assert tags(tool) == []
