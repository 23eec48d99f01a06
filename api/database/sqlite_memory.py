"""SQLite in memory, for tests: a network is one connection of this process,
which it lasts as long as, and its reads go through that same connection,
made read-only for the statement."""

import os
import sqlite3

from .records import not_found
from .connections import MEMORY, cache
from .sqlite_files import Connection, SQLite, dict_rows


class Memory(SQLite):
    """Networks as in-memory databases of this process."""

    THREADED_READS = False

    def location(self, name):
        return (MEMORY, name)

    def where(self, name):
        return "memory"

    def open_writer(self, name, location, create):
        if not create:
            raise not_found(name, "memory")
        return sqlite3.connect(MEMORY, isolation_level=None, check_same_thread=False, factory=Connection)

    reader = SQLite.connect
    create = SQLite.complete

    @staticmethod
    def prepare(conn):
        pass

    def exists(self, name):
        return (os.getpid(), self.location(name)) in cache

    def names(self):
        pid = os.getpid()
        return [k[1][1] for k in cache if k[0] == pid and isinstance(k[1], tuple)]

    def delete(self, name):
        if self.forget(name) is None:
            raise not_found(name, "memory")

    def failed(self, name, error):
        pass

    def read(self, name, sql, limit):
        conn = self.connect(name)
        conn.execute("pragma query_only = on")
        try:
            return dict_rows(conn.execute(sql), limit)
        finally:
            conn.execute("pragma query_only = off")
