"""Placeholder database module; the SQLite one replaces it."""


class ChangeSet:
    def __init__(self, *records):
        self.operations = list(records)


class DbChangeSet:
    def __init__(self, redo_sql, undo_sql, redo_cs, undo_cs):
        self.redo_sql, self.undo_sql = redo_sql, undo_sql
        self.redo_cs, self.undo_cs = redo_cs, undo_cs


g_update_prefix = {"operation": "update"}


def read_all(name, sql):
    return []


def try_read(name, sql):
    return None


def execute_command(name, db_cs):
    return ChangeSet(*db_cs.redo_cs)
