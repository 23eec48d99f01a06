"""What the database module hands out and takes in: change sets, commands
and its errors."""

g_update_prefix = {"operation": "update"}


class NetworkNotFoundError(LookupError):
    """The named network has no database."""


class UnsuitableDatabaseError(RuntimeError):
    """The database server would not store SQL texts exactly as written."""


class ConflictError(RuntimeError):
    """A tag that a command, an undo or a redo expected no longer holds the
    value expected: another writer changed it in between.  Nothing was written;
    build the command again from what is stored now.

    ``network`` names the network; ``t_type`` and ``id`` the first element that
    differs, ``stored`` its tag now and ``expected`` the tag expected (None: no
    tag); ``count`` how many elements differ."""

    def __init__(self, network, t_type, id, stored, expected, count=1, since="this command was read",
                 who="the command"):
        self.network, self.t_type, self.id = network, t_type, id
        self.stored, self.expected, self.count = stored, expected, count
        more = "" if count == 1 else f", and {count - 1} more element{'s differ' if count > 2 else ' differs'}"
        super().__init__(
            f"network {network!r}: {t_type} {id} changed since {since} (it holds {_tag_text(stored)}, "
            f"{who} expected {_tag_text(expected)}{more}); nothing was written")


class DatabaseUnavailableError(RuntimeError):
    """The database server or file failed, or the connection to it was lost;
    the driver's exception is the ``__cause__``.  ``applied`` tells what
    became of the write that failed: False when nothing was written, None
    when it cannot be known (a batch whose commit was cut off, or a command
    whose commit was cut off while the server went away: read what is
    stored once it is back).  A command found in the journal after its
    commit was cut off raises nothing: it was applied."""

    def __init__(self, message, applied=False):
        super().__init__(message)
        self.applied = applied
        self.lost = False       # the connection is gone: a new one may work


class ReadOnlyError(PermissionError):
    """A write to a network whose folder or file is read-only; reads work."""


def _tag_text(tag):
    return "no tag" if tag is None else repr(tag)


class ChangeSet:
    """An ordered list of change records (dicts), kept in ``operations``."""

    __hash__ = None

    def __init__(self, *records):
        self.operations = list(records)

    def __len__(self):
        return len(self.operations)

    def __iter__(self):
        return iter(self.operations)

    def __getitem__(self, index):
        return self.operations[index]

    def __eq__(self, other):
        if not isinstance(other, ChangeSet):
            return NotImplemented
        return self.operations == other.operations

    def __repr__(self):
        return f"ChangeSet({', '.join(map(repr, self.operations))})"

    def append(self, record):
        """Add one change record at the end."""
        self.operations.append(record)

    def merge(self, other):
        """Append the records of change set ``other``; return self."""
        self.operations.extend(_change_set(other).operations)
        return self

    def __add__(self, other):
        if not isinstance(other, ChangeSet):
            return NotImplemented
        return ChangeSet(*self.operations, *other.operations)

    def __iadd__(self, other):
        if not isinstance(other, ChangeSet):
            return NotImplemented
        return self.merge(other)


def _change_set(value):
    if not isinstance(value, ChangeSet):
        raise TypeError(f"expected a ChangeSet, not {type(value).__name__}")
    return value


class DbChangeSet:
    """One undoable command: the SQL that applies it and the SQL that reverts
    it, with the change records of each direction.  Two are equal when their
    four fields are."""

    __match_args__ = ("redo_sql", "undo_sql", "redo_cs", "undo_cs")
    __hash__ = None

    def __init__(self, redo_sql, undo_sql, redo_cs, undo_cs):
        self.redo_sql, self.undo_sql, self.redo_cs, self.undo_cs = redo_sql, undo_sql, redo_cs, undo_cs

    def _fields(self):
        return self.redo_sql, self.undo_sql, self.redo_cs, self.undo_cs

    def __eq__(self, other):
        if other.__class__ is not self.__class__:
            return NotImplemented
        return self._fields() == other._fields()

    def __repr__(self):
        return (f"DbChangeSet(redo_sql={self.redo_sql!r}, undo_sql={self.undo_sql!r}, "
                f"redo_cs={self.redo_cs!r}, undo_cs={self.undo_cs!r})")


def not_found(name, where):
    """The error for network ``name``, which ``where`` (a folder, "memory" or
    a server) does not hold."""
    return NetworkNotFoundError(f"no network named {name!r} in {where}")
