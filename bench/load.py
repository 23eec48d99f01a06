"""Writers under load, and a journaled import of a million tags, on SQLite and
on the PostgreSQL server of ORVANE_TEST_DATABASE_URL."""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import harness
from harness import say

HERE = os.path.dirname(os.path.abspath(__file__))
PROBES = os.path.join(HERE, "probes.py")
NO_SERVER = "not measured: no PostgreSQL server (tools/pg.sh check says why)"
MODES = [(1, "own", "1"), (8, "own", "8"), (8, "shared", "8 on one element"),
         (8, "scoped", "8 on one element, in a scope")]


def writers(url, count, seconds, mode):
    """[commands/s, p50 ms, p99 ms, "tries p50 / p99 / max"] of `count`
    writer processes in `mode` (see probes.writer)."""
    from api import database as db
    db.set_database_url(url)
    if "load" in db.list_networks():
        db.delete_network("load")
    db.create_network("load")
    with tempfile.TemporaryDirectory() as tmp:
        go = os.path.join(tmp, "go")
        procs = [subprocess.Popen([sys.executable, PROBES, "writer", url, f"w{n}.", go, str(seconds),
                                   mode], stdout=subprocess.PIPE, text=True) for n in range(count)]
        time.sleep(1.0)
        start = time.perf_counter()
        open(go, "w").close()
        outputs = [p.communicate()[0] for p in procs]
        wall = time.perf_counter() - start
    if any(p.returncode for p in procs):
        raise SystemExit(f"bench: a writer failed on {url}")
    results = [json.loads(out) for out in outputs]
    times = sorted(t for run, _ in results for t in run)
    tries = sorted(n for _, run in results for n in run)
    stored = len(db.read_all("load", "select id from tags_node"))
    assert stored == (len(times) if mode == "own" else 1) and len(times) == len(db.journal("load"))
    db.delete_network("load")
    db.set_database_url(None)
    return [len(times) / wall, statistics.median(times) * 1e3, times[int(len(times) * 0.99)] * 1e3,
            f"{statistics.median_low(tries)} / {tries[int(len(tries) * 0.99)]} / {tries[-1]}"]


def section(seconds, tags):
    # make bench runs under tools/pg.sh run, which sets the variable.
    pg_url = os.environ.get("ORVANE_TEST_DATABASE_URL")
    writer_rows, import_rows = [], []
    with tempfile.TemporaryDirectory() as data:
        for backend, url in [("SQLite", "sqlite:" + data), ("PostgreSQL", pg_url)]:
            for n, mode, what in MODES:
                say(f"  {backend}, {what} writer(s)")
                writer_rows.append([backend, what, *(writers(url, n, seconds, mode) if url else [NO_SERVER])])
            say(f"  {backend}, import of {tags:,} tags")
            if url:
                f = json.loads(harness.run([sys.executable, PROBES, "importer", url, str(tags)]).stdout)
                steps = ("import", "undo", "redo")
                import_rows.append([backend, *(f[step][0] for step in steps),
                                    " / ".join(f"{f[step][1]:.0f}" for step in steps)])
            else:
                import_rows.append([backend, NO_SERVER])
    return {"title": "Writers under load", "blocks": [
        f"`orvane.set_tag` on a tag of its own element by each of 1 and 8 writer processes on one "
        f"network, {seconds:g} s each: commands per second over the run, and the median and 99th "
        "percentile of one call's time (two reads and the command with its conflict check). Then 8 "
        "writers all setting one element: building a command again on each ConflictError, or "
        "reading and writing it in one `database.command` scope; tries per command (median, 99th "
        "percentile, most). PostgreSQL over loopback, on the throwaway cluster of tools/pg.sh.",
        {"columns": ["backend", "writers", "commands/s", "p50 ms", "p99 ms", "tries p50 / p99 / max"],
         "formats": [None, None, ",.0f", ".2f", ".2f"], "rows": writer_rows},
        f"`database.execute_import` of {tags:,} new node tags into an empty network, then `undo` and "
        "`redo` of it: seconds, and growth of the process's peak resident memory over what the "
        "import's input already took.",
        {"columns": ["backend", "import s", "undo s", "redo s", "peak growth MiB (import / undo / redo)"],
         "formats": [None, ".1f", ".1f", ".1f"], "rows": import_rows}]}
