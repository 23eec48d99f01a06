"""The tag module written in plain Python: the one reference of api.orvane's
rules. The tests run their comparisons against it and api.orvane alike, the
property tests and the fuzzer take it as their oracle, and the benchmarks
measure the module against it (what a user could write instead) and against
this same file compiled by Cython.

Every module-level name is looked up at each use, as in api.orvane, so the
benchmarks swap in-memory doubles for the database names by rebinding them
on this module.  Text arguments must be exactly str and Tag's input exactly
dict; the error texts are api.orvane's.  Quoted values have every single
quote doubled.
"""

from typing import Any

from api.database import ChangeSet, execute_command, try_read, read_all, DbChangeSet, g_update_prefix

TAG_TYPE_NODE = "NODE"
TAG_TYPE_LINK = "LINK"


def _type_error(param, expected, value):
    t = type(value)
    # A static type reports its dotted name (collections.OrderedDict), a
    # class made by a class statement its bare one.
    if t.__module__ == "builtins" or t.__flags__ & (1 << 9):
        type_name = t.__name__
    else:
        type_name = t.__module__ + "." + t.__name__
    return TypeError(f"Argument '{param}' has incorrect type (expected {expected}, got {type_name})")


def get_tag_schema(name: str) -> dict[str, dict[str, Any]]:
    if type(name) is not str:
        raise _type_error("name", "str", name)
    return {
        "t_type": {"type": "str", "optional": False, "readonly": False},
        "id": {"type": "str", "optional": False, "readonly": False},
        "tag": {"type": "str", "optional": True, "readonly": False},
    }


def get_tags(name: str) -> list[dict[str, Any]]:
    if type(name) is not str:
        raise _type_error("name", "str", name)
    results = []
    rows = read_all(name, "select * from tags_node")
    for row in rows:
        tag = row["tag"]
        tag = str(tag) if tag != None else None
        results.append({"t_type": TAG_TYPE_NODE, "id": str(row["id"]), "tag": tag})
    rows = read_all(name, "select * from tags_link")
    for row in rows:
        tag = row["tag"]
        tag = str(tag) if tag != None else None
        results.append({"t_type": TAG_TYPE_LINK, "id": str(row["id"]), "tag": tag})
    return results


def get_tag(name: str, t_type: str, id: str) -> dict[str, Any]:
    if type(name) is not str:
        raise _type_error("name", "str", name)
    if type(t_type) is not str:
        raise _type_error("t_type", "str", t_type)
    if type(id) is not str:
        raise _type_error("id", "str", id)
    t = None
    if t_type == TAG_TYPE_NODE:
        t = try_read(name, "select * from tags_node where id = '" + id.replace("'", "''") + "'")
    elif t_type == TAG_TYPE_LINK:
        t = try_read(name, "select * from tags_link where id = '" + id.replace("'", "''") + "'")
    if t is None:
        return {"t_type": t_type, "id": id, "tag": None}
    d = {"t_type": t_type, "id": str(t["id"]), "tag": None}
    tag = t["tag"]
    if tag is not None:
        d["tag"] = str(tag)
    return d


class Tag:
    def __init__(self, input: dict[str, Any]) -> None:
        if type(input) is not dict:
            raise _type_error("input", "dict", input)
        self.type = "tag"
        self.t_type = str(input["t_type"])
        self.id = str(input["id"])
        self.tag = str(input["tag"]) if "tag" in input and input["tag"] != None else None
        self.f_type = "'" + self.type.replace("'", "''") + "'"
        self.f_t_type = "'" + self.t_type.replace("'", "''") + "'"
        self.f_id = "'" + self.id.replace("'", "''") + "'"
        self.f_tag = "'" + self.tag.replace("'", "''") + "'" if self.tag != None else "null"

    def as_dict(self) -> dict[str, Any]:
        return {"type": self.type, "t_type": self.t_type, "id": self.id, "tag": self.tag}


def _set_tag(name: str, cs: ChangeSet) -> DbChangeSet:
    if type(name) is not str:
        raise _type_error("name", "str", name)
    old = Tag(get_tag(name, cs.operations[0]["t_type"], cs.operations[0]["id"]))
    raw_new = get_tag(name, cs.operations[0]["t_type"], cs.operations[0]["id"])
    new_dict = cs.operations[0]
    schema = get_tag_schema(name)
    for key, value in schema.items():
        if key in new_dict and not value["readonly"]:
            raw_new[key] = new_dict[key]
    new = Tag(raw_new)

    if new_dict["t_type"] == TAG_TYPE_NODE:
        table = "tags_node"
    elif new_dict["t_type"] == TAG_TYPE_LINK:
        table = "tags_link"
    else:
        raise Exception("Only support NODE and Link")

    redo_sql = "delete from " + table + " where id = " + new.f_id + ";"
    if new.tag is not None:
        redo_sql += "\ninsert into " + table + " (id, tag) values (" + new.f_id + ", " + new.f_tag + ");"
    undo_sql = "delete from " + table + " where id = " + old.f_id + ";"
    if old.tag is not None:
        undo_sql += "\ninsert into " + table + " (id, tag) values (" + old.f_id + ", " + old.f_tag + ");"

    redo_cs = g_update_prefix | new.as_dict()
    undo_cs = g_update_prefix | old.as_dict()
    return DbChangeSet(redo_sql, undo_sql, [redo_cs], [undo_cs])


def set_tag(name: str, cs: ChangeSet) -> ChangeSet:
    if type(name) is not str:
        raise _type_error("name", "str", name)
    if "t_type" not in cs.operations[0] or "id" not in cs.operations[0] or "tag" not in cs.operations[0]:
        return ChangeSet()
    return execute_command(name, _set_tag(name, cs))


def inp_in_tag(line: str) -> str:
    if type(line) is not str:
        raise _type_error("line", "str", line)
    tokens = line.split()
    t_type = tokens[0].upper()
    id = tokens[1]
    tag = tokens[2]
    if t_type == TAG_TYPE_NODE:
        return "insert into tags_node (id, tag) values ('" + id.replace("'", "''") + "', '" + tag.replace("'", "''") + "');"
    elif t_type == TAG_TYPE_LINK:
        return "insert into tags_link (id, tag) values ('" + id.replace("'", "''") + "', '" + tag.replace("'", "''") + "');"
    return ""


def inp_out_tag(name: str) -> list[str]:
    if type(name) is not str:
        raise _type_error("name", "str", name)
    lines = []
    objs = read_all(name, "select * from tags_node")
    for obj in objs:
        t_type = TAG_TYPE_NODE
        id = obj["id"]
        tag = obj["tag"]
        lines.append(f"{t_type} {id} {tag}")
    objs = read_all(name, "select * from tags_link")
    for obj in objs:
        t_type = TAG_TYPE_LINK
        id = obj["id"]
        tag = obj["tag"]
        lines.append(f"{t_type} {id} {tag}")
    return lines


def delete_tag_by_node(name: str, node: str) -> ChangeSet:
    if type(name) is not str:
        raise _type_error("name", "str", name)
    if type(node) is not str:
        raise _type_error("node", "str", node)
    row = try_read(name, "select * from tags_node where id = '" + node.replace("'", "''") + "'")
    if row is None:
        return ChangeSet()
    return ChangeSet(g_update_prefix | {"type": "tag", "t_type": TAG_TYPE_NODE, "id": node, "tag": None})


def delete_tag_by_link(name: str, link: str) -> ChangeSet:
    if type(name) is not str:
        raise _type_error("name", "str", name)
    if type(link) is not str:
        raise _type_error("link", "str", link)
    row = try_read(name, "select * from tags_link where id = '" + link.replace("'", "''") + "'")
    if row is None:
        return ChangeSet()
    return ChangeSet(g_update_prefix | {"type": "tag", "t_type": TAG_TYPE_LINK, "id": link, "tag": None})
