"""The database backends that tests run on.

``backend`` runs a test once on SQLite (a fresh data folder) and once on
PostgreSQL (a database of its own for the test session, on the server named by
ORVANE_TEST_DATABASE_URL; ``tools/pg.sh run CMD`` starts a throwaway one).  With
no server the PostgreSQL runs are skipped, saying why, or fail when
ORVANE_REQUIRE_POSTGRES=1, as in CI.
"""

import os
import urllib.parse
import uuid

import pytest

from api import database as db

URL_VARIABLE = "ORVANE_TEST_DATABASE_URL"


def no_postgres(reason):
    if os.environ.get("ORVANE_REQUIRE_POSTGRES") == "1":
        pytest.fail(f"{reason} (ORVANE_REQUIRE_POSTGRES=1 requires the PostgreSQL tests)", pytrace=False)
    pytest.skip(reason)


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


@pytest.fixture(params=["sqlite", "postgres"])
def backend(request, tmp_path):
    """api.database set to a backend that holds no network yet."""
    if request.param == "sqlite":
        db.set_database_url("sqlite:")
        db.set_data_dir(tmp_path / "data")
    else:
        url = request.getfixturevalue("postgres_url")
        db.set_database_url(url)
    yield db
    if request.param == "postgres":
        db.set_database_url(url)
        for name in db.list_networks():
            db.delete_network(name)
    db.set_database_url(None)
    db.set_data_dir(None)
