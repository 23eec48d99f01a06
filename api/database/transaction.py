"""Running SQL on a network: every write in one transaction of the backend
in force, every read one statement; the command scope, in which a thread's
reads and writes of one network share one write transaction."""

import _thread

from . import store
from .connections import lock
from .records import DatabaseUnavailableError
from .store import check_name, check_text, named

_scope = _thread._local()      # this thread's open command scope: .scope


def _raise(fault, error):
    """Raise ``fault``, the module's error for the driver's ``error``."""
    if fault is error:
        raise error
    raise fault from error


def _commit(backend, name, tx, result):
    """Commit ``tx`` and return ``result``.  A commit cut off with the
    connection is looked for in the journal by the transaction's own
    identifier: found, it was applied; else nothing was written and the
    error says so (``applied`` False)."""
    try:
        tx.commit()
        return result
    except BaseException as e:
        tx.rollback()
        fault = backend.fault(e)
        if fault is None:
            backend.failed(name, e)
            raise
        if fault.lost:
            fault.applied = backend.committed(name, tx)
            if fault.applied:
                return result
            if fault.applied is None:
                fault.args = (f"{fault.args[0]}; whether the write was applied cannot be known: "
                              "read what is stored",)
        _raise(fault, e)


class command:
    """``with command(name):`` holds network ``name``'s write lock from the
    first read to the last write of the block: ``try_read`` and ``read_all``
    of this thread on that network read inside the write transaction, and
    ``execute_command``, ``execute_import``, ``execute_batch``, ``undo`` and
    ``redo`` join it, so that no other writer can change what the block read
    before it writes.  All of it is committed when the block ends, or none of
    it when the block raises; a write that fails inside the block is taken
    back alone.  Other threads and processes wait for the block's end to
    write; readers do not wait."""

    def __init__(self, name):
        self.name = named(name)
        self.tx = None

    def __enter__(self):
        open_scope = getattr(_scope, "scope", None)
        if open_scope is not None:
            raise RuntimeError(f"a command of network {open_scope.name!r} is open in this thread: "
                               "command scopes do not nest")
        lock.acquire()
        try:
            self.backend = store.backend()
            self.tx = _begin(self.backend, self.name, hold=True)
        except BaseException:
            lock.release()
            raise
        _scope.scope = self
        return self

    def __exit__(self, kind, error, traceback):
        _scope.scope = None
        try:
            if kind is None:
                _commit(self.backend, self.name, self.tx, None)
            else:
                self.tx.rollback()
                fault = self.backend.fault(error)
                if fault is not None:
                    _raise(fault, error)
        finally:
            lock.release()


def _begin(backend, name, hold=False):
    """A write transaction on network ``name``; with ``hold``, its lock
    already taken.  A connection found cut is replaced once."""
    for attempt in (1, 2):
        tx = None
        try:
            tx = backend.begin(name)
            if hold:
                tx.hold()
            return tx
        except BaseException as e:
            if tx is not None:
                tx.rollback()
            fault = backend.fault(e)
            if fault is None:
                backend.failed(name, e)
                raise
            if attempt == 2 or not fault.lost:
                _raise(fault, e)


def _joined(name):
    """The transaction of this thread's open command scope on network
    ``name``, or None outside one."""
    scope = getattr(_scope, "scope", None)
    if scope is None:
        return None
    if scope.name != name:
        raise RuntimeError(f"network {name!r} used inside the command of network {scope.name!r}: "
                           "a command scope works on its own network alone")
    return scope.tx


def write(name, work):
    """Run ``work(tx)`` in one write transaction on network ``name`` and
    return its result; on any failure roll back and raise.  Inside a command
    scope on ``name`` it runs in the scope's transaction, from a savepoint
    that a failure goes back to."""
    name = named(name)
    tx = _joined(name)
    if tx is not None:
        tx.savepoint()
        try:
            result = work(tx)
        except BaseException:
            tx.back_to_savepoint()
            raise
        tx.release_savepoint()
        return result
    with lock:
        backend = store.backend()
        for attempt in (1, 2):
            tx = _begin(backend, name)
            try:
                result = work(tx)
            except BaseException as e:
                tx.rollback()
                fault = backend.fault(e)
                if fault is None:
                    backend.failed(name, e)
                    raise
                if attempt == 2 or not fault.lost or not getattr(work, "again", True):
                    _raise(fault, e)
                continue        # cut off before its commit: nothing was written
            try:
                return _commit(backend, name, tx, result)
            except DatabaseUnavailableError as fault:
                # Cut off at the commit, and not found in the journal.
                if attempt == 2 or not fault.lost or fault.applied is not False \
                        or not getattr(work, "again", True):
                    raise


def query(name, sql, limit=None):
    """The rows of the one read statement ``sql`` (at most ``limit`` of them)
    as dicts keyed by column name; a statement that writes is refused."""
    name = named(name)
    check_text(sql, "sql")
    tx = _joined(name)
    if tx is not None:
        return tx.read(sql, limit)
    backend = store.backend()
    if backend.THREADED_READS:
        return _read(backend, name, sql, limit)
    with lock:
        return _read(backend, name, sql, limit)


def _read(backend, name, sql, limit):
    """Read, once more on a new connection when the first was found cut."""
    for attempt in (1, 2):
        try:
            return backend.read(name, sql, limit)
        except Exception as e:
            fault = backend.fault(e)
            if fault is None:
                raise
            if attempt == 2 or not fault.lost:
                _raise(fault, e)


def read_all(name, sql):
    """All rows of the query ``sql`` on network ``name``, as dicts keyed by
    column name."""
    return query(name, sql)


def try_read(name, sql):
    """The first row of the query ``sql`` as a dict, or None when it has none."""
    rows = query(name, sql, 1)
    return rows[0] if rows else None


def execute_batch(name, statements):
    """Run ``statements`` (one SQL text or an iterable of them) on network
    ``name`` in one transaction; return how many texts ran.  A batch is not
    journaled: it cannot be undone, and an undo or redo that would overwrite
    a row it changed refuses with ConflictError."""
    texts = [statements] if isinstance(statements, str) else list(statements)
    for i, text in enumerate(texts):
        check_text(text, f"statement {i}")

    def work(tx):
        for text in texts:
            tx.script(text)
        return len(texts)
    return write(name, work)


# Networks

def _catalogue(action, *args):
    """Run ``action(backend, *args)`` on the backend in force; a connection
    found cut is replaced once."""
    with lock:
        backend = store.backend()
        for attempt in (1, 2):
            try:
                return action(backend, *args)
            except Exception as e:
                fault = backend.fault(e)
                if fault is None:
                    raise
                if attempt == 2 or not fault.lost:
                    _raise(fault, e)


def create_network(name):
    """Create network ``name`` with its tables, whole or not at all, under
    its name in Unicode NFC.  True when it made the network (or completed
    one that a create cut off left half-made); False when it was there
    already, which is kept (gaining the side tables that older networks
    lack), also under the name as given when one was made so before names
    were kept in NFC.  A name whose NFC form another network has under
    another spelling is refused."""
    from unicodedata import normalize

    check_name(name)

    def create(backend):
        if backend.exists(name):
            return backend.create(name)
        nfc = normalize("NFC", name)
        other = None if name.isascii() else next(
            (n for n in backend.names() if n != nfc and normalize("NFC", n) == nfc), None)
        if other is not None:
            raise ValueError(f"invalid network name {name!r}: network {ascii(other)} has "
                             "the same name in another Unicode spelling: use that one")
        return backend.create(nfc)
    return _catalogue(create)


def network_exists(name):
    """Whether network ``name`` is there, whole."""
    name = named(name)
    return _catalogue(lambda backend: backend.exists(name))


def list_networks():
    """The names of the networks in the data folder or database, sorted."""
    return sorted(_catalogue(lambda backend: backend.names()))


def delete_network(name):
    """Remove network ``name`` and its database for good."""
    name = named(name)
    _catalogue(lambda backend: backend.delete(name))


def connect(name, create=False):
    """The connection that serves network ``name`` (with ``create``, made when
    needed).  Caller holds the connections' lock."""
    backend = store.backend()
    name = named(name)
    if create:
        backend.create(name)
    return backend.connect(name)
