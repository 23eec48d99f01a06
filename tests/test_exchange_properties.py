"""What every exchange must keep true, checked by a state machine: two
networks and the files between them (INP [TAGS] sections, the tool's CSV
and JSON, GeoJSON layers), edited on either side, exported (-o, --into),
imported, renamed, copied, rows, lines and features deleted, cells blanked,
bad rows added and mended, conflicts settled with --ours and --theirs, in
any order.

The model gives every value a version: an edit makes a new one whose
parent is the version it replaced, an exchange copies versions, and a
settled conflict makes one whose parents are both sides'.  After each
command it checks:
- no lost edit: an exchange replaces a version only by one descending from
  it (a file of unknown origin may add a tag the other side lacks, as the
  rule for such files says; against an origin found by content, by one
  made from a state that held the replaced tag), unless --ours or --theirs
  settled it;
- a refused exchange (exit 3) wrote nothing, and there was a conflict;
- a merged exchange (known origin) takes every edit of the source that
  descends from the target's version, removals of rows the file held
  included;
- convergence: after an import and an export of a file (either order)
  that changed nothing in between, both sides agree on what it speaks for.
ORVANE_EXCHANGE_EXAMPLES sets the number of examples (default 200)."""

import csv
import io
import json
import os
import shutil

from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from api import database as db
from api import orvane
from tagtool import main
from tagtool.exchange_files import read_side

KEYS = [("NODE", "n1"), ("NODE", "n2"), ("NODE", "n3"), ("LINK", "l1"), ("LINK", "l2")]
VALUES = ["x", "y", "z"]
FORMATS = ["inp", "csv", "json", "geojson"]
# The model a GeoJSON layer is written from: every element placed.
MODEL = """[JUNCTIONS]\nn1 0\nn2 0\nn3 0\n[PIPES]\nl1 n1 n2 1 1 1 0 Open\nl2 n2 n3 1 1 1 0 Open
[COORDINATES]\nn1 0 0\nn2 1 0\nn3 2 0\n[END]\n"""
PLACES = {("NODE", "n1"): [0, 0], ("NODE", "n2"): [1, 0], ("NODE", "n3"): [2, 0],
          ("LINK", "l1"): [[0, 0], [1, 0]], ("LINK", "l2"): [[1, 0], [2, 0]]}
JUNK = {"inp": "NODE onlyid\n", "csv": "TANK,t1,x\n", "json": {"type": "TANK", "id": "t1", "tag": "x"},
        "geojson": {"type": "Feature", "geometry": None, "properties": {"tag": "x"}}}
NETS = ["A", "B"]
EXAMPLES = int(os.environ.get("ORVANE_EXCHANGE_EXAMPLES", "200"))
ROOT = 0                            # the version of "no tag" that everything starts from


class Versions:
    """Values with their history: ``value[v]``, the parents and every
    ancestor of v.  Two sides that hold the same tag by different edits
    agree: the version that joins them (``equal``) is superseded by any
    edit made after either."""

    def __init__(self):
        self.value, self.parents, self.ancestors = [None], [()], [frozenset()]
        self.equal = set()

    def new(self, value, *parents):
        above = frozenset(parents).union(*(self.ancestors[p] for p in parents))
        self.value.append(value)
        self.parents.append(parents)
        self.ancestors.append(above)
        return len(self.value) - 1

    def descends(self, a, b):
        """Whether version a is b or comes after it."""
        if a == b or b in self.ancestors[a]:
            return True
        return b in self.equal and any(self.descends(a, p) for p in self.parents[b])

    def saw(self, a, b):
        """Whether version a is b, comes after it, or was made from a state
        holding b's tag: what a merge against a record found by content (a
        state, not a history) can know."""
        return self.descends(a, b) or any(self.value[c] == self.value[b]
                                          for c in self.ancestors[a])

    def merged(self, a, b, value):
        if self.descends(a, b) and self.value[a] == value:
            return a
        if self.descends(b, a) and self.value[b] == value:
            return b
        joined = self.new(value, a, b)
        if self.value[a] == self.value[b] == value:
            self.equal.add(joined)
        return joined


def write_file(path, fmt, rows, junk=False):
    """The file as a person saves it: ``rows`` {key: tag or None (a blank
    cell, a null)}; an INP file has no line for None; ``junk`` adds a bad
    row."""
    if fmt == "inp":
        text = "[TAGS]\n" + "".join(f"{t} {id} {tag}\n" for (t, id), tag in rows.items()
                                    if tag is not None) + (JUNK[fmt] if junk else "")
    elif fmt == "csv":
        buffer = io.StringIO()
        writer = csv.writer(buffer)
        writer.writerow(["type", "id", "tag"])
        writer.writerows((t, id, tag or "") for (t, id), tag in rows.items())
        text = buffer.getvalue() + (JUNK[fmt] if junk else "")
    elif fmt == "json":
        text = json.dumps([{"type": t, "id": id, "tag": tag} for (t, id), tag in rows.items()]
                          + ([JUNK[fmt]] if junk else []))
    else:
        text = json.dumps({"type": "FeatureCollection", "features": [
            {"type": "Feature",
             "geometry": {"type": "Point" if t == "NODE" else "LineString",
                          "coordinates": PLACES[t, id]},
             "properties": {"id": id, "type": t, "kind": "x", "tag": tag}}
            for (t, id), tag in rows.items()] + ([JUNK[fmt]] if junk else [])}, indent=1)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def file_rows(path, fmt):
    """{key: tag or None} of the rows the file holds."""
    side = read_side(path, fmt)
    return {key: side.tags.get(key) for key in sorted(side.rows)} if fmt != "inp" else dict(side.tags)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def tool(*argv):
    import contextlib

    err = io.StringIO()
    with contextlib.redirect_stdout(io.StringIO()) as out, contextlib.redirect_stderr(err):
        status = main([*map(str, argv)])
    return status, out.getvalue(), err.getvalue()


class Exchanges(RuleBasedStateMachine):

    @initialize(folder=st.just(None))
    def start(self, folder):
        import tempfile

        self.dir = tempfile.mkdtemp(prefix="exchanges-")
        self.model = os.path.join(self.dir, "model.inp")
        with open(self.model, "w") as f:
            f.write(MODEL)
        db.set_database_url(None)
        db.set_data_dir(os.path.join(self.dir, "data"))
        self.v = Versions()
        self.net = {}
        for name in NETS:
            assert tool("create", name)[0] == 0
            self.net[name] = dict.fromkeys(KEYS, ROOT)
        # Each file: its format, the version of each key it holds a row for
        # (``rows``), and of each key the last it saw (``seen``: a row
        # deleted keeps its deletion; a key never held, what it was
        # written from).
        self.files = {}
        self.names = 0
        self.exchanged = set()      # (network, path) that exchanged
        self.quiet = {}             # (network, path): the last exchange, while nothing changed since

    def teardown(self):
        db.set_data_dir(None)
        shutil.rmtree(self.dir, ignore_errors=True)

    # Helpers

    def path(self, index):
        paths = sorted(self.files)
        return paths[index % len(paths)]

    def new_path(self, fmt):
        self.names += 1
        return os.path.join(self.dir, f"f{self.names}.{fmt}")

    def values(self, versions):
        return {key: self.v.value[version] for key, version in versions.items()}

    def stored(self, name):
        return {(t["t_type"], t["id"]): t["tag"] for t in orvane.get_tags(name)}

    def file_view(self, path):
        """{key: version} as the file speaks: its rows, or for the others
        the version it last saw."""
        f = self.files[path]
        return {key: f["rows"].get(key, f["seen"][key]) for key in KEYS}

    def touched(self, name=None, path=None):
        for key in list(self.quiet):
            if key[0] == name or key[1] == path:
                del self.quiet[key]

    def sync_file(self, path):
        """The model's rows of a file after the tool wrote it: a changed
        row takes the network's version, told by the caller."""
        f = self.files[path]
        return file_rows(path, f["fmt"])

    # Edits

    @rule(name=st.sampled_from(NETS), key=st.sampled_from(KEYS),
          value=st.sampled_from(VALUES + [None]))
    def edit_network(self, name, key, value):
        old = self.net[name][key]
        if self.v.value[old] == value:
            return
        argv = ("set", name, *key, value) if value is not None else ("clear", name, *key)
        assert tool(*argv)[0] == 0
        self.net[name][key] = self.v.new(value, old)
        self.touched(name=name)

    @precondition(lambda self: self.files)
    @rule(index=st.integers(0, 9), key=st.sampled_from(KEYS),
          value=st.sampled_from(VALUES + [None, "delete"]))
    def edit_file(self, index, key, value):
        path = self.path(index)
        f = self.files[path]
        if f["fmt"] == "inp" and value is None:
            value = "delete"        # an INP file has no blank line
        old = f["rows"].get(key)
        if value == "delete":
            if old is None:
                return
            f["seen"][key] = self.v.new(None, old)
            del f["rows"][key]
        else:
            base = old if old is not None else f["seen"][key]
            if old is not None and self.v.value[old] == value:
                return
            f["rows"][key] = self.v.new(value, base)
        write_file(path, f["fmt"], self.values(f["rows"]), f["junk"])
        self.touched(path=path)

    @precondition(lambda self: self.files)
    @rule(index=st.integers(0, 9))
    def spoil_or_mend(self, index):
        """A bad row added to the file, or taken out again."""
        path = self.path(index)
        f = self.files[path]
        f["junk"] = not f["junk"]
        write_file(path, f["fmt"], self.values(f["rows"]), f["junk"])
        self.touched(path=path)

    @precondition(lambda self: self.files)
    @rule(index=st.integers(0, 9), copy=st.booleans())
    def move_file(self, index, copy):
        path = self.path(index)
        f = self.files[path]
        new = self.new_path(f["fmt"])
        shutil.copyfile(path, new)
        self.files[new] = {"fmt": f["fmt"], "rows": dict(f["rows"]), "seen": dict(f["seen"]),
                           "junk": f["junk"]}
        if not copy:
            os.unlink(path)
            del self.files[path]
            self.touched(path=path)

    # Exchanges

    @rule(name=st.sampled_from(NETS), fmt=st.sampled_from(FORMATS))
    def export_new(self, name, fmt):
        path = self.new_path(fmt)
        model = ("--model", self.model) if fmt == "geojson" else ()
        status, out, err = tool("export", name, "-o", path, *model)
        assert status == 0, err
        net = self.net[name]
        # A layer has a feature for every element placed, tagged or not.
        rows = {key: version for key, version in net.items()
                if fmt == "geojson" or self.v.value[version] is not None}
        self.files[path] = {"fmt": fmt, "rows": rows, "seen": dict(net), "junk": False}
        assert file_rows(path, fmt) == self.values(rows)
        self.exchanged.add((name, path))
        self.quiet[name, path] = "export"

    @precondition(lambda self: self.files)
    @rule(name=st.sampled_from(NETS), index=st.integers(0, 9),
          command=st.sampled_from(["import", "export"]),
          settle=st.sampled_from([None, None, "--ours", "--theirs"]))
    def exchange(self, name, index, command, settle):
        path = self.path(index)
        f = self.files[path]
        known = (name, path) in self.exchanged
        before_bytes = read_bytes(path)
        before_net = self.stored(name)
        argv = (("import", name, path, "--skip-bad") if command == "import" else
                ("export", name, "--into", path)) + ((settle,) if settle else ())
        status, out, err = tool(*argv)
        if f["junk"] and command == "export":
            # A file with a bad row is not written into.
            assert status == 65 and read_bytes(path) == before_bytes, (out, err)
            return
        # Found by its content, a file's origin may be another file's
        # exchange: what it infers is then checked for lost edits only.
        found = "merged against" in out
        known = known or found
        net, view = self.net[name], self.file_view(path)
        if status == 3:
            assert read_bytes(path) == before_bytes and self.stored(name) == before_net
            # There was a conflict: an element both sides changed, or, with
            # no origin, one both tag differently.
            assert any(self.v.value[net[k]] != self.v.value[view[k]]
                       and (not known or not (self.v.descends(net[k], view[k])
                                              or self.v.descends(view[k], net[k])))
                       for k in KEYS), (out, err)
            return
        assert status == 0, (argv, out, err)
        rows_before = dict(f["rows"])
        if command == "import":
            self.check_import(name, path, known, settle, rows_before, found)
        else:
            self.check_export(name, path, known, settle, rows_before, found)
        self.exchanged.add((name, path))
        last = self.quiet.get((name, path))
        if last is not None and last != command and not settle:
            self.converged(name, path)
        self.quiet = {key: value for key, value in self.quiet.items()
                      if key[0] != name and key[1] != path}
        self.quiet[name, path] = command

    def check_import(self, name, path, known, settle, rows, found):
        f, net = self.files[path], self.net[name]
        after = self.stored(name)
        view = self.file_view(path)
        for key in KEYS:
            old, incoming = net[key], view[key]
            was, now, theirs = self.v.value[old], after.get(key), self.v.value[incoming]
            if now != was:
                assert now == theirs, (key, was, now, theirs)
                one_sided = not known and was is None
                after_it = self.v.saw if found else self.v.descends
                assert settle or one_sided or after_it(incoming, old), (
                    "lost edit", key, was, theirs)
                net[key] = incoming if not settle or self.v.descends(incoming, old) else \
                    self.v.merged(incoming, old, now)
            elif theirs != was:
                speaks = any(self.v.value[v] is not None for v in rows.values())
                # Absent rows say nothing when bad rows were skipped.
                held = () if f["junk"] else f.get("held", {}).get(name, ())
                if known and not found and not settle and speaks and self.v.descends(incoming, old) and (
                        key in rows or key in held):
                    raise AssertionError(("edit not taken", key, was, theirs))
                if settle == "--ours" and not self.v.descends(old, incoming) \
                        and not self.v.descends(incoming, old):
                    net[key] = self.v.merged(old, incoming, was)
            else:
                net[key] = self.v.merged(old, incoming, was)
        f.setdefault("held", {})[name] = set(rows)

    def check_export(self, name, path, known, settle, rows, found):
        f, net = self.files[path], self.net[name]
        after = file_rows(path, f["fmt"])
        view = self.file_view(path)
        for key in KEYS:
            old, mine = view[key], net[key]
            was, ours = self.v.value[old], self.v.value[mine]
            now = after.get(key)
            if now != was:
                assert now == ours, (key, was, now, ours)
                one_sided = not known and was is None
                after_it = self.v.saw if found else self.v.descends
                assert settle or one_sided or after_it(mine, old), (
                    "lost edit", key, was, ours)
                version = mine if not settle or self.v.descends(mine, old) else \
                    self.v.merged(mine, old, now)
                net[key] = version
                self.put(f, key, version, after)
            elif ours != was:
                placed = f["fmt"] != "geojson" or key in rows      # a layer adds no feature
                if known and not found and not settle and placed and self.v.descends(mine, old):
                    raise AssertionError(("edit not written", key, was, ours))
                if settle == "--theirs" and not self.v.descends(old, mine) \
                        and not self.v.descends(mine, old):
                    self.put(f, key, self.v.merged(old, mine, was), after)
            else:
                version = self.v.merged(old, mine, was)
                net[key] = version
                self.put(f, key, version, after)
        f.setdefault("held", {})[name] = set(after)
        assert self.values(f["rows"]) == after or f["fmt"] == "inp" and {
            k: t for k, t in self.values(f["rows"]).items() if t is not None} == after

    def put(self, f, key, version, after):
        if key in after:
            f["rows"][key] = version
        else:
            f["rows"].pop(key, None)
            f["seen"][key] = version

    def converged(self, name, path):
        """A round trip with nothing changed in between: both agree on every
        element the file speaks for."""
        f = self.files[path]
        after = file_rows(path, f["fmt"])
        stored = self.stored(name)
        if not any(tag is not None for tag in after.values()):
            return                  # a file without tags speaks for nothing
        for key in KEYS:
            if key in after or stored.get(key) is not None and f["fmt"] != "geojson":
                assert after.get(key) == stored.get(key), ("no convergence", key, after, stored)

    @invariant()
    def networks_as_modelled(self):
        if not hasattr(self, "net"):
            return
        for name in NETS:
            assert self.stored(name) == {k: self.v.value[v] for k, v in self.net[name].items()
                                         if self.v.value[v] is not None}


Exchanges.TestCase.settings = settings(max_examples=EXAMPLES, stateful_step_count=20,
                                       deadline=None,
                                       suppress_health_check=[HealthCheck.too_slow,
                                                              HealthCheck.filter_too_much])
test_exchanges = Exchanges.TestCase
