"""The text rules of api.orvane in plain Python: the quoted form, the insert
statement of an INP tag line, and the statement that puts one row in place.
The property tests and the fuzzer check the module against them."""


def q(s):
    """The quoted form of a text: between single quotes, quotes doubled."""
    return "'" + s.replace("'", "''") + "'"


def ref_inp_in_tag(line):
    tokens = line.split()
    t_type, id, tag = tokens[0].upper(), tokens[1], tokens[2]
    for word, table in (("NODE", "tags_node"), ("LINK", "tags_link")):
        if t_type == word:
            return f"insert into {table} (id, tag) values ({q(id)}, {q(tag)});"
    return ""


def ref_statement(table, id, tag):
    """The delete of the row, then the insert when there is a tag."""
    sql = f"delete from {table} where id = {q(id)};"
    return sql if tag is None else sql + f"\ninsert into {table} (id, tag) values ({q(id)}, {q(tag)});"
