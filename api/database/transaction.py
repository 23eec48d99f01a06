"""Running SQL on a network: every write in one transaction of the backend
in force, every read one statement."""

from . import store
from .store import _check_name, _check_text


def _write(name, work):
    """Run ``work(tx)`` in one write transaction on network ``name`` and
    return its result; on any failure roll back and raise."""
    _check_name(name)
    with store._lock:
        backend = store._backend()
        tx = backend.begin(name)
        try:
            result = work(tx)
            tx.commit()
        except BaseException as e:
            tx.rollback()
            backend.failed(name, e)
            raise
        return result


def _query(name, sql, limit=None):
    """The rows of the one read statement ``sql`` (at most ``limit`` of them)
    as dicts keyed by column name; a statement that writes is refused."""
    _check_name(name)
    _check_text(sql, "sql")
    with store._lock:
        return store._backend().read(name, sql, limit)


def read_all(name, sql):
    """All rows of the query ``sql`` on network ``name``, as dicts keyed by
    column name."""
    return _query(name, sql)


def try_read(name, sql):
    """The first row of the query ``sql`` as a dict, or None when it has none."""
    rows = _query(name, sql, 1)
    return rows[0] if rows else None


def execute_batch(name, statements):
    """Run ``statements`` (one SQL text or an iterable of them) on network
    ``name`` in one transaction; return how many texts ran.  A batch is not
    journaled: it cannot be undone, and an undo or redo that would overwrite
    a row it changed refuses with ConflictError."""
    texts = [statements] if isinstance(statements, str) else list(statements)
    for i, text in enumerate(texts):
        _check_text(text, f"statement {i}")

    def work(tx):
        for text in texts:
            tx.script(text)
        return len(texts)
    return _write(name, work)


# Networks

def create_network(name):
    """Create network ``name`` with its tables; an existing one is kept."""
    with store._lock:
        store._backend().create(_check_name(name))


def network_exists(name):
    """Whether network ``name`` has a database."""
    _check_name(name)
    with store._lock:
        return store._backend().exists(name)


def list_networks():
    """The names of the networks in the data folder or database, sorted."""
    with store._lock:
        return sorted(store._backend().names())


def delete_network(name):
    """Remove network ``name`` and its database for good."""
    with store._lock:
        store._backend().delete(_check_name(name))


def _connect(name, create=False):
    """The connection that serves network ``name`` (with ``create``, made when
    needed).  Caller holds ``_lock``."""
    backend = store._backend()
    if create:
        backend.create(_check_name(name))
    return backend.connect(_check_name(name))
