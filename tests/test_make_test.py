"""`make test`'s runner (tools/test.sh) on a machine with and without
PostgreSQL: it starts a throwaway cluster where the server is installed,
and where it is not, it names the skipped group and what installs it just
before the test runner's closing line."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
# One test that runs on each backend.
ONE = "tests/test_tagtool.py::TestCommands::test_session"


def run_tests(**env):
    """tools/test.sh on ONE alone, with no group run before it: (exit
    status, output lines)."""
    # Neither this run's settings nor a sanitizer preloaded into it.
    env = {**{k: v for k, v in os.environ.items()
              if not k.startswith(("ORVANE_TEST_", "ORVANE_REQUIRE_", "ORVANE_SKIPPED_",
                                   "ORVANE_NO_", "PG_BINDIR", "LD_PRELOAD", "PYTHONMALLOC",
                                   "ASAN_", "LSAN_", "UBSAN_"))},
           "ORVANE_TEST_GROUPS": "", **env}
    done = subprocess.run(["tools/test.sh", sys.executable, "-q", "-p", "no:cacheprovider", ONE],
                          cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    return done.returncode, done.stdout.splitlines()


def test_without_postgresql():
    status, lines = run_tests(PG_BINDIR="/nonexistent")
    assert status == 0
    assert re.fullmatch(r"1 passed, 1 skipped in .*", lines[-1])
    assert lines[-3:-1] == [
        "postgresql: skipped 1 test (PostgreSQL cannot start here: no initdb or pg_ctl in "
        "/nonexistent)",
        "make test-deps installs what each of them needs"]


def test_without_postgresql_when_all_are_required():
    status, lines = run_tests(PG_BINDIR="/nonexistent", ORVANE_REQUIRE_ALL="1")
    assert status == 1
    assert re.fullmatch(r"1 passed, 1 error in .*", lines[-1])


def test_with_postgresql():
    if subprocess.run(["tools/pg.sh", "check"], cwd=ROOT, capture_output=True).returncode:
        if os.environ.get("ORVANE_REQUIRE_ALL") == "1":
            pytest.fail("no PostgreSQL server programs (ORVANE_REQUIRE_ALL=1)")
        pytest.skip("no PostgreSQL server programs here")
    status, lines = run_tests()
    assert status == 0
    assert re.fullmatch(r"2 passed in .*", lines[-1])
    assert not any("skipped" in line for line in lines)

