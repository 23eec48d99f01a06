"""The database backends that tests run on.

``backend`` runs a test once on SQLite (a fresh data folder) and once on
PostgreSQL (a database of its own for the test session, on the server named by
ORVANE_TEST_DATABASE_URL; ``tools/pg.sh run CMD`` starts a throwaway one).  With
no server the PostgreSQL runs are skipped, saying why, or fail when
ORVANE_REQUIRE_POSTGRES=1 or ORVANE_REQUIRE_ALL=1, as in CI.

Skipped tests are counted by group (PostgreSQL, the Cython rendering, the
wheels, the browser, the rest), and the groups that ``make test`` skipped before the suite
ran come in ORVANE_SKIPPED_GROUPS; all of them are named, each with what installs what it
needs, just before the test runner's closing line.  ORVANE_REQUIRE_ALL=1 turns a skip of
the PostgreSQL, the Cython, the wheels or the browser group into a failure.
"""

import collections
import os
import urllib.parse
import uuid

import pytest

from api import database as db

URL_VARIABLE = "ORVANE_TEST_DATABASE_URL"
INSTALL = "make test-deps"

# A group: the words that mark its skip reasons, and the variable that
# makes it required besides ORVANE_REQUIRE_ALL.
GROUPS = {
    "postgresql": (("PostgreSQL", "psycopg"), "ORVANE_REQUIRE_POSTGRES"),
    "cython": (("Cython",), None),
    "wheels": (("make wheels", "wine"), None),
    "browser": (("Chromium",), None),
}


def required(group):
    variable = GROUPS[group][1]
    return os.environ.get("ORVANE_REQUIRE_ALL") == "1" or (
        variable is not None and os.environ.get(variable) == "1")


def group_of(reason):
    return next((name for name, (words, _) in GROUPS.items()
                 if any(word in reason for word in words)), None)


def no_postgres(reason):
    reason = os.environ.get("ORVANE_NO_POSTGRES") or reason
    if required("postgresql"):
        pytest.fail(f"{reason} (ORVANE_REQUIRE_POSTGRES=1 or ORVANE_REQUIRE_ALL=1 requires "
                    "the PostgreSQL tests)", pytrace=False)
    pytest.skip(reason)


def tests(n):
    return f"{n} test{'' if n == 1 else 's'}"


def skip_reason(report):
    """The reason a skipped report gives, without pytest's "Skipped: "."""
    reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
    return reason.removeprefix("Skipped: ")


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    """A skip of a required group fails the test."""
    report = yield
    if report.skipped and not hasattr(report, "wasxfail"):
        reason = skip_reason(report)
        group = group_of(reason)
        if group is not None and required(group):
            report.outcome = "failed"
            report.longrepr = f"{reason} (ORVANE_REQUIRE_ALL=1 requires the {group} tests)"
    return report


@pytest.hookimpl(wrapper=True, tryfirst=True)
def pytest_terminal_summary(terminalreporter):
    """After pytest's own accounts: one line for each skipped group."""
    yield
    counts, reasons = collections.Counter(), {}
    for report in terminalreporter.stats.get("skipped", []):
        reason = skip_reason(report)
        group = group_of(reason) or "other"
        counts[group] += 1
        reasons.setdefault(group, reason)
    lines = [line for line in os.environ.get("ORVANE_SKIPPED_GROUPS", "").splitlines() if line]
    named = {line.split(":")[0] for line in lines}  # a group make skipped is named once
    for group in GROUPS:
        if counts[group] and group not in named:
            lines.append(f"{group}: skipped {tests(counts[group])} ({reasons[group]})")
    if lines:
        terminalreporter.write_sep("=", "groups skipped")
        for line in lines:
            terminalreporter.write_line(line)
        terminalreporter.write_line(f"{INSTALL} installs what each of them needs")
    if counts["other"]:
        terminalreporter.write_line(f"other: skipped {tests(counts['other'])} ({reasons['other']})")
    return None


@pytest.fixture(scope="session", autouse=True)
def user_data_folder(tmp_path_factory):
    """The tag tool's default data folder, for the tools that the tests run
    with no data folder or database named, and its state folder (rollback
    copies): folders of the session's, never the user's own."""
    os.environ["XDG_DATA_HOME"] = str(tmp_path_factory.mktemp("xdg-data"))
    os.environ["XDG_STATE_HOME"] = str(tmp_path_factory.mktemp("xdg-state"))


@pytest.fixture(scope="session")
def postgres_url():
    """The URL of a new, empty database for this session, dropped at its end."""
    url = os.environ.get(URL_VARIABLE)
    if not url:
        no_postgres(f"no PostgreSQL server: {URL_VARIABLE} is unset (tools/pg.sh run CMD starts one)")
    try:
        import psycopg
    except ImportError:
        no_postgres("psycopg is not installed (pip install -r requirements-pg.txt)")
    name = f"orvane_test_{os.getpid()}_{uuid.uuid4().hex[:8]}"
    with psycopg.connect(url, autocommit=True) as admin:
        admin.execute(f'create database "{name}"')
    yield urllib.parse.urlsplit(url)._replace(path="/" + name).geturl()
    db.close_all()
    with psycopg.connect(url, autocommit=True) as admin:
        admin.execute(f'drop database "{name}" with (force)')


@pytest.fixture
def sqlite_backend(tmp_path):
    """api.database on SQLite, in a new data folder."""
    db.set_database_url("sqlite:")
    db.set_data_dir(tmp_path / "data")
    yield db
    db.set_database_url(None)
    db.set_data_dir(None)


@pytest.fixture
def postgres_backend(postgres_url):
    """api.database on PostgreSQL, in this session's database, with no network."""
    db.set_database_url(postgres_url)
    yield db
    db.set_database_url(postgres_url)
    for name in db.list_networks():
        db.delete_network(name)
    db.set_database_url(None)


@pytest.fixture(params=["sqlite", "postgres"])
def backend(request):
    """api.database on each backend in turn, holding no network yet."""
    return request.getfixturevalue(f"{request.param}_backend")


@pytest.fixture
def backend_url(backend):
    """The URL that names ``backend``'s database, for the tag tool and child
    processes; in-process settings are reset, so that the URL alone finds it."""
    url = db.database_url() if db.backend_name() == "postgresql" else "sqlite:" + db.data_dir()
    db.set_database_url(None)
    db.set_data_dir(None)
    return url


@pytest.fixture
def tool(backend_url, capsys, monkeypatch):
    """Runs one tag tool command in-process on this test's database: (exit
    status, stdout, stderr)."""
    from tagtool import main

    monkeypatch.delenv("ORVANE_DATABASE_URL", raising=False)

    def run(*argv):
        status = main(["--database", backend_url, *map(str, argv)])
        out, err = capsys.readouterr()
        return status, out, err
    return run
