"""Which database is in force (its URL and the data folder) and the backend
that serves it, and the checks of names and texts."""

import os

from . import connections
from .connections import MEMORY, redact

MAX_NAME_LENGTH = 200

_url = None               # None: ORVANE_DATABASE_URL, else SQLite
_data_dir = None          # None: the URL's folder, else ORVANE_DATA_DIR, else ./data


def _scheme(url, source):
    """"postgresql" or "sqlite" for the URL ``url``; ValueError for any other."""
    if not isinstance(url, str):
        raise ValueError(f"database URL must be a str, not {type(url).__name__}")
    if url.startswith(("postgresql://", "postgres://")) and "\x00" not in url:
        return "postgresql"
    if url.startswith("sqlite:") and "\x00" not in url:
        return "sqlite"
    raise ValueError(f"unsupported database URL {redact(url)!r} ({source}): it must begin "
                     "with postgresql://, postgres:// or sqlite:")


def _sqlite_folder(url):
    """The folder of ``sqlite:FOLDER`` or ``sqlite://FOLDER``, or None."""
    folder = url[len("sqlite:"):]
    return (folder[2:] if folder.startswith("//") else folder) or None


def set_database_url(url):
    """Use the database named by ``url`` from now on: ``postgresql://...`` for
    PostgreSQL, ``sqlite:`` or ``sqlite:FOLDER`` for SQLite; None for the
    default.  Closes this process's connections to network files and servers."""
    global _url
    if url is not None:
        _scheme(url, "set_database_url")
    with connections.lock:
        connections.close(memory_too=False)
        _url = url


def database_url():
    """The database URL in force, or None for SQLite in the data folder."""
    return _url if _url is not None else os.environ.get("ORVANE_DATABASE_URL") or None


def _source():
    return "set_database_url" if _url is not None else "ORVANE_DATABASE_URL"


def backend_name():
    """"sqlite" or "postgresql": the kind of database in force."""
    url = database_url()
    return "sqlite" if url is None else _scheme(url, _source())


def set_data_dir(path):
    """Keep SQLite networks in the folder ``path`` (":memory:" for memory; None
    for the default).  Closes this process's connections."""
    global _data_dir
    if path is not None and path != MEMORY:
        path = os.fspath(path)
        if not isinstance(path, str) or not path or "\x00" in path:
            raise ValueError(f"data folder must be a non-empty text path, not {path!r}")
    with connections.lock:
        connections.close(memory_too=True)
        _data_dir = path


def given_data_dir():
    """The folder given to ``set_data_dir``, or None."""
    return _data_dir


def data_dir():
    """The SQLite data folder in force as an absolute path, or ":memory:"."""
    url = database_url()
    from_url = _sqlite_folder(url) if url and url.startswith("sqlite:") else None
    path = _data_dir or from_url or os.environ.get("ORVANE_DATA_DIR") or "data"
    return path if path == MEMORY else os.path.abspath(path)


REFUSED_CATEGORIES = ("Cc", "Cf", "Zl", "Zp")     # controls, format characters, line and paragraph separators


def check_name(name):
    if not isinstance(name, str):
        raise ValueError(f"network name must be a str, not {type(name).__name__}")
    if (not name or name in (".", "..") or len(name) > MAX_NAME_LENGTH or "/" in name or "\\" in name
            or not name.isprintable() and _refused(name)):
        raise ValueError(
            f"invalid network name {name!r}: it must be a plain file name of 1 to "
            f"{MAX_NAME_LENGTH} characters without path separators, control, format or "
            "line separator characters")
    return name


def named(name):
    """The name network ``name`` is kept under: as given when that is in
    Unicode NFC or a network has that spelling (one made before names were
    kept in NFC), else its NFC form, the one new networks get."""
    check_name(name)
    if name.isascii():
        return name
    from unicodedata import is_normalized, normalize

    if is_normalized("NFC", name):
        return name
    with connections.lock:
        return name if backend().exists(name) else normalize("NFC", name)


def _refused(name):
    """Whether ``name``, which is not all printable, holds a character of a
    refused category (a space of another kind, or a private one, is kept)."""
    from unicodedata import category

    return any(category(c) in REFUSED_CATEGORIES for c in name)


def check_text(text, what):
    if not isinstance(text, str):
        raise TypeError(f"{what} must be a str, not {type(text).__name__}")
    if "\x00" in text:
        store = "PostgreSQL" if backend_name() == "postgresql" else "SQLite"
        raise ValueError(f"{what} holds a NUL character, which {store} cannot store: {text[:80]!r}")
    return text


def close_all():
    """Close this process's connections to network files and servers; the
    next use opens them again.  In-memory networks are kept."""
    with connections.lock:
        connections.close(memory_too=False)


def backend():
    """The backend that serves the database in force."""
    url = database_url()
    if url is not None and _scheme(url, _source()) == "postgresql":
        from .postgres import Postgres
        return Postgres(url)
    folder = data_dir()
    if folder == MEMORY:
        from .sqlite_memory import Memory
        return Memory(folder)
    from .sqlite_files import SQLite
    return SQLite(folder)
