"""The floor of the end-to-end table: the tag tool's main jobs done the
plainest way with Python's sqlite3 alone, on a network database that
`tagtool create` made (the same two tables, the same WAL journal).

    python sqlfloor.py import DB INP    the [TAGS] lines, executemany in one transaction
    python sqlfloor.py export DB OUT    both tables read back, written as a [TAGS] section
    python sqlfloor.py list DB          the same, printed tab-separated

A tag line is read as the tool reads it: the text from a ";" on is a
comment, the first three words of the rest are the type, the id and the
tag.  It trusts its input, as nothing else happens here.
"""

import sqlite3
import sys

TABLES = (("NODE", "tags_node"), ("LINK", "tags_link"))


def connect(db):
    conn = sqlite3.connect(db, isolation_level=None)
    conn.execute("pragma journal_mode = wal")
    return conn


def import_tags(db, path):
    rows, inside = {"NODE": [], "LINK": []}, False
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = line.split(";", 1)[0].split()
            if words and words[0].startswith("["):
                inside = words[0].upper() == "[TAGS]"
            elif words and inside:
                rows[words[0].upper()].append((words[1], words[2]))
    conn = connect(db)
    conn.execute("begin immediate")
    for t_type, table in TABLES:
        conn.executemany(f"insert into {table} (id, tag) values (?, ?)", rows[t_type])
    conn.execute("commit")
    return len(rows["NODE"]) + len(rows["LINK"])


def read_back(db):
    """(type, id, tag) of every stored tag, node tags first."""
    conn = connect(db)
    for t_type, table in TABLES:
        for id, tag in conn.execute(f"select id, tag from {table}"):
            yield t_type, id, tag


def main(argv):
    if len(argv) == 4 and argv[1] == "import":
        import_tags(argv[2], argv[3])
    elif len(argv) == 4 and argv[1] == "export":
        with open(argv[3], "w", encoding="utf-8") as f:
            f.write("[TAGS]\n")
            f.writelines(f"{t_type} {id} {tag}\n" for t_type, id, tag in read_back(argv[2]))
    elif len(argv) == 3 and argv[1] == "list":
        sys.stdout.writelines(f"{t_type}\t{id}\t{'' if tag is None else tag}\n"
                              for t_type, id, tag in read_back(argv[2]))
    else:
        print("usage: sqlfloor.py import DB INP | export DB OUT | list DB", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
