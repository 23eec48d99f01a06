"""The tables of a network, described once and rendered for each backend,
the journal's statements on them, and what every write transaction offers
the commands: ``run``, ``rows``, ``script``, ``tags``, ``statements``."""

TABLES = {"NODE": "tags_node", "LINK": "tags_link"}
WHOLE = (*TABLES.values(), "undo_journal")     # the tables a network is whole with

# Each table: its columns, then its primary key when it is not a column's.
# "SERIAL" and "FLAG" are the words that differ between the backends.
_TABLES = {
    "tags_node": ("id text primary key", "tag text"),
    "tags_link": ("id text primary key", "tag text"),
    "undo_journal": ("seq SERIAL", "redo_sql text not null", "undo_sql text not null",
                     "redo_cs text not null", "undo_cs text not null", "undone FLAG", "command COMMAND",
                     "made_at STAMP", "made_by WHO"),
    "journal_changes": ("seq bigint not null", "t_type text not null", "id text not null",
                        "old_tag text", "new_tag text", "primary key (seq, t_type, id)"),
}

# Every journal entry names the command that wrote it: a random text on
# SQLite, the identifier that the writer gives its transaction on PostgreSQL,
# so that a writer whose commit was cut off can look for it.
SQLITE = {"SERIAL": "integer primary key autoincrement", "FLAG": "integer not null default 0",
          "COMMAND": "text default (lower(hex(randomblob(16))))", "journal_changes": " without rowid"}
POSTGRES = {"SERIAL": "bigint generated always as identity primary key",
            "FLAG": "boolean not null default false",
            "COMMAND": "text default current_setting('orvane.command', true)"}
COMMAND_LOOKUP = "select 1 as found from undo_journal where command = {} limit 1"

# Every journal entry says when it was written (UTC, as ISO 8601 text) and by
# whom: the operating system's user on SQLite, which the writer names in the
# entry, the database role on PostgreSQL, which the server fills in.  Entries
# of networks made before have neither (NULL); such a network gains the
# columns at its next write.
_UTC_NOW_POSTGRES = "to_char(now() at time zone 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')"
SQLITE |= {"STAMP": "text", "WHO": "text"}
POSTGRES |= {"STAMP": f"text default {_UTC_NOW_POSTGRES}", "WHO": "text default current_user"}
STAMPED = ("select 1 from pg_attribute where attrelid = 'undo_journal'::regclass"
           " and attname = 'made_by' and not attisdropped")
# A role that may not alter the journal writes on without them.
ADD_STAMPS_POSTGRES = (
    f"do $$ begin if not exists ({STAMPED}) then"
    " alter table undo_journal add column made_at text, add column made_by text;"
    f" alter table undo_journal alter column made_at set default {_UTC_NOW_POSTGRES},"
    " alter column made_by set default current_user;"
    " end if; exception when insufficient_privilege then null; end $$")
ADD_STAMPS_SQLITE = ("alter table undo_journal add column made_at text",
                     "alter table undo_journal add column made_by text")



def create_table(table, words):
    """The ``create table if not exists`` statement of ``table`` in the words
    of a backend (SQLITE or POSTGRES)."""
    columns = ", ".join(" ".join(words.get(w, w) for w in column.split(" ")) for column in _TABLES[table])
    return f"create table if not exists {table} ({columns}){words.get(table, '')}"


def schema(words):
    """The statements that make a network's tables on a backend."""
    return tuple(create_table(table, words) for table in _TABLES)


def journal_statements(p, distinct, stamps=("", "")):
    """The journal's parameterised statements, with the placeholder ``p``,
    the null-safe comparison ``distinct`` of the backend and the columns and
    values ``stamps`` that an entry names beyond its own (its time and user,
    where the server does not fill them in)."""
    sql = {
        "add": f"insert into undo_journal (redo_sql, undo_sql, redo_cs, undo_cs{stamps[0]})"
               f" values ({p}, {p}, {p}, {p}{stamps[1]}) returning seq",
        "mark": f"update undo_journal set undone = {p} where seq = {p}",
        "summary": f"update undo_journal set redo_cs = {p}, undo_cs = {p} where seq = {p}",
        "add_change": f"insert into journal_changes (seq, t_type, id, old_tag, new_tag) values ({p}, {p}, {p}, {p}, {p})",
    }
    # The changes of an import entry, by table: how many rows differ from the
    # column expected, the first of them, the removal of the rows of every
    # element the entry names and the insertion of the tags of a column.
    for t_type, table in TABLES.items():
        differ = (f"from journal_changes c left join {table} t on t.id = c.id"
                  f" where c.seq = {p} and c.t_type = '{t_type}' and t.tag {distinct} c.{{expect}}")
        sql[t_type] = {
            "count": f"select count(*) as n {differ}",
            "first": f"select c.id, t.tag as stored, c.{{expect}} as expected {differ} order by c.id limit 1",
            "clear": f"delete from {table} where id in"
                     f" (select id from journal_changes where seq = {p} and t_type = '{t_type}')",
            "restore": f"insert into {table} (id, tag) select id, {{put}} from journal_changes"
                       f" where seq = {p} and t_type = '{t_type}' and {{put}} is not null",
            "tags": f"select id, tag from {table} where id in ({{marks}})",
        }
    return sql


_NEWEST_APPLIED_SEQ = "coalesce((select seq from undo_journal where not undone order by seq desc limit 1), 0)"
DROP_UNDONE = (f"delete from journal_changes where seq > {_NEWEST_APPLIED_SEQ}",
               f"delete from undo_journal where seq > {_NEWEST_APPLIED_SEQ}")
# Undone entries are always the newest ones: undo marks the newest applied
# entry, redo the oldest undone one, and a new command drops every undone one.
NEWEST_APPLIED = ("select seq, undo_sql as sql, redo_cs as expect, undo_cs as cs from undo_journal"
                  " where not undone order by seq desc limit 1")
OLDEST_UNDONE = ("select seq, redo_sql as sql, undo_cs as expect, redo_cs as cs from undo_journal"
                 f" where undone and seq > {_NEWEST_APPLIED_SEQ} order by seq limit 1")


class Transaction:
    """One write transaction on a network.  A backend gives ``sql`` (the
    journal's statements in its dialect), ``P`` (its placeholder), ``run``,
    ``rows``, ``script``, ``statements``, ``add_changes``, ``commit`` and
    ``rollback``."""

    BATCH = 500         # ids in one lookup of stored tags

    def tags(self, keys):
        """The stored tags of the elements ``keys`` ((t_type, id) pairs) that
        have a row."""
        found = {}
        for t_type in TABLES:
            ids = [id for t, id in keys if t == t_type]
            for start in range(0, len(ids), self.BATCH):
                some = ids[start:start + self.BATCH]
                sql = self.sql[t_type]["tags"].format(marks=", ".join([self.P] * len(some)))
                for row in self.rows(sql, some):
                    found[t_type, row["id"]] = row["tag"]
        return found
