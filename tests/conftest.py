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
