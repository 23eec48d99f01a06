"""The tag model and queries of api.orvane.

The model: the field schema and the Tag record with its text and quoted
forms. Each Tag case runs against the module and against a plain Python
rendering of the same record."""

import re
import sys

import pytest

import api.orvane as orvane
from helpers import pyorvane

SCHEMA = {
    "t_type": {"type": "str", "optional": False, "readonly": False},
    "id": {"type": "str", "optional": False, "readonly": False},
    "tag": {"type": "str", "optional": True, "readonly": False},
}
ATTRIBUTES = ["type", "t_type", "id", "tag", "f_type", "f_t_type", "f_id", "f_tag"]


class Equal:
    """Equal to everything, so `!= None` is false although it is not None."""
    def __ne__(self, other):
        return False


class Raises:
    """Raises the given error from the named special method."""
    def __init__(self, method, error):
        self.error = error
        self.method = method

    def __str__(self):
        if self.method == "__str__":
            raise self.error
        return "raises"

    def __ne__(self, other):
        if self.method == "__ne__":
            raise self.error
        return Raises("__bool__", self.error) if self.method == "__ne__ result" else True

    def __bool__(self):
        raise self.error


# ---------------------------------------------------------------------------
# The tag model: get_tag_schema and Tag.

@pytest.fixture(params=[orvane.Tag, pyorvane.Tag], ids=["module", "python"])
def Tag(request):
    return request.param


class TestSchema:
    @pytest.mark.parametrize("name", ["net", "", "Żółw 水", "a\x00b", "\ud800"])
    def test_the_same_for_every_network(self, name):
        schema = orvane.get_tag_schema(name)
        assert schema == SCHEMA and list(schema) == list(SCHEMA)
        for field in schema.values():
            assert list(field) == ["type", "optional", "readonly"]
            assert type(field["type"]) is str and type(field["optional"]) is bool
            assert field["readonly"] is False

    def test_each_call_builds_a_new_one(self):
        first = orvane.get_tag_schema("net")
        first["tag"]["optional"] = False
        first["id"].clear()
        del first["t_type"]
        second = orvane.get_tag_schema("net")
        assert second == SCHEMA and second is not first and second["tag"] is not first["tag"]

    def test_keeps_no_reference(self):
        name = "".join(["ne", "t"])
        before = sys.getrefcount(name)
        for _ in range(1000):
            orvane.get_tag_schema(name)
        assert sys.getrefcount(name) == before


class TestTag:
    CASES = {   # input, then t_type, id, tag, f_t_type, f_id, f_tag
        "no tag key": ({"t_type": "NODE", "id": 12}, "NODE", "12", None, "'NODE'", "'12'", "null"),
        "tag None": ({"t_type": "LINK", "id": "P1", "tag": None}, "LINK", "P1", None, "'LINK'", "'P1'", "null"),
        "tag empty": ({"t_type": "NODE", "id": "", "tag": ""}, "NODE", "", "", "'NODE'", "''", "''"),
        "tag 0": ({"t_type": "NODE", "id": "J1", "tag": 0}, "NODE", "J1", "0", "'NODE'", "'J1'", "'0'"),
        "text forms": ({"t_type": None, "id": 2.5, "tag": True}, "None", "2.5", "True", "'None'", "'2.5'", "'True'"),
        "equal to None": ({"t_type": "NODE", "id": "J1", "tag": Equal()}, "NODE", "J1", None, "'NODE'", "'J1'",
                          "null"),
        "quotes doubled": ({"t_type": "it's", "id": "O'Neil", "tag": "''; drop table tags_node; --"},
                           "it's", "O'Neil", "''; drop table tags_node; --",
                           "'it''s'", "'O''Neil'", "'''''; drop table tags_node; --'"),
        "wide characters": ({"t_type": "é'", "id": "水'", "tag": "'\U0001f600"},
                            "é'", "水'", "'\U0001f600", "'é'''", "'水'''", "'''\U0001f600'"),
        "surrogates and NUL": ({"t_type": "\x00", "id": "\ud800'", "tag": "a\x00\udfff"},
                               "\x00", "\ud800'", "a\x00\udfff", "'\x00'", "'\ud800'''", "'a\x00\udfff'"),
        "other keys ignored": ({"type": "zone", "f_tag": "x", "t_type": "NODE", "extra": 1, "id": "J1"},
                               "NODE", "J1", None, "'NODE'", "'J1'", "null"),
    }

    @pytest.mark.parametrize("input, t_type, id, tag, f_t_type, f_id, f_tag", CASES.values(), ids=CASES.keys())
    def test_attributes(self, Tag, input, t_type, id, tag, f_t_type, f_id, f_tag):
        before = dict(input)
        t = Tag(input)
        expected = ["tag", t_type, id, tag, "'tag'", f_t_type, f_id, f_tag]
        assert list(vars(t).items()) == list(zip(ATTRIBUTES, expected))
        assert all(type(v) is str for k, v in vars(t).items() if k != "tag")
        assert list(t.as_dict().items()) == list(zip(ATTRIBUTES[:4], expected[:4]))
        assert input == before

    def test_as_dict_reads_the_attributes_at_the_time(self, Tag):
        t = Tag({"t_type": "NODE", "id": "J1", "tag": "a"})
        first = t.as_dict()
        t.tag, t.id = None, 7
        assert t.as_dict() == {"type": "tag", "t_type": "NODE", "id": 7, "tag": None} and t.as_dict() is not first
        assert (t.f_tag, t.f_id, first["tag"]) == ("'a'", "'J1'", "a")

    def test_quoted_forms_come_from_the_attributes_as_set(self, Tag):
        class Upper(Tag):
            def __setattr__(self, key, value):
                super().__setattr__(key, value.upper() if isinstance(value, str) else value)
        t = Upper({"t_type": "node", "id": "j1", "tag": "x"})
        assert (t.f_type, t.f_t_type, t.f_id, t.f_tag) == ("'TAG'", "'NODE'", "'J1'", "'X'")

    @pytest.mark.parametrize("input, key", [
        ({}, "t_type"), ({"id": "J1", "tag": "a"}, "t_type"), ({"t_type": "NODE", "tag": "a"}, "id"),
    ])
    def test_missing_key(self, Tag, input, key):
        with pytest.raises(KeyError) as info:
            Tag(input)
        assert type(info.value) is KeyError and info.value.args == (key,)

    @pytest.mark.parametrize("key, method", [
        ("t_type", "__str__"), ("id", "__str__"), ("tag", "__str__"), ("tag", "__ne__"),
        ("tag", "__ne__ result"),
    ])
    def test_errors_of_values_propagate_unchanged(self, Tag, key, method):
        error = ZeroDivisionError("from the value")
        input = {"t_type": "NODE", "id": "J1", key: Raises(method, error)}
        with pytest.raises(ZeroDivisionError) as info:
            Tag(input)
        assert info.value is error

    def test_wrong_input_sets_nothing(self):
        t = orvane.Tag.__new__(orvane.Tag)
        message = "Argument 'input' has incorrect type (expected dict, got list)"
        with pytest.raises(TypeError, match=re.escape(message)):
            orvane.Tag.__init__(t, [("t_type", "NODE"), ("id", "J1")])
        assert vars(t) == {}

    @pytest.mark.parametrize("tag", ["a", None, "missing", "raises"])
    @pytest.mark.parametrize("has_id", [True, False])
    def test_keeps_no_reference(self, tag, has_id):
        t_type, id = "".join(["NO", "DE"]), "".join(["J", "1"])
        input = {"t_type": t_type}
        if has_id:
            input["id"] = id
        if tag != "missing":
            input["tag"] = Raises("__str__", ValueError) if tag == "raises" else tag
        values = [input, t_type, id, *input.values()]
        before = [sys.getrefcount(v) for v in values]
        for _ in range(300):
            try:
                orvane.Tag(input).as_dict()
            except (KeyError, ValueError):
                pass
        assert [sys.getrefcount(v) for v in values] == before

    @pytest.mark.parametrize("make", [
        lambda: type("Sub", (orvane.Tag,), {"id": property(lambda self: "X", lambda self, v: None)}),
        lambda: orvane.Tag,
    ])
    def test_quoted_forms_read_the_attributes_back(self, monkeypatch, make):
        # A class that stores or reads an attribute its own way is obeyed,
        # whether it is a subclass or the Tag class changed after the fact.
        if make() is orvane.Tag:
            monkeypatch.setattr(orvane.Tag, "id", property(lambda self: "X", lambda self, v: None),
                                raising=False)
        t = make()({"t_type": "NODE", "id": "J1", "tag": "a"})
        assert (t.id, t.f_id, t.f_tag) == ("X", "'X'", "'a'")

    @pytest.mark.parametrize("when", ["before", "during", "after"])
    @pytest.mark.parametrize("name, value", [
        ("__setattr__", lambda self, k, v: object.__setattr__(self, k, v.upper() if isinstance(v, str) else v)),
        ("__getattribute__", lambda self, k: "G" if k in ("tag", "f_id") else object.__getattribute__(self, k)),
        ("tag", property(lambda self: "P", lambda self, v: None)),
    ])
    def test_a_change_of_the_class_is_obeyed_at_once(self, monkeypatch, when, name, value):
        # Before the instance is made, in the middle of __init__ (a value's
        # text conversion changes the class) or after it: the module does
        # what the plain Python class does.
        def outcome(Tag):
            class Id:
                def __str__(self):
                    if when == "during":
                        monkeypatch.setattr(Tag, name, value, raising=False)
                    return "j1"
            if when == "before":
                monkeypatch.setattr(Tag, name, value, raising=False)
            t = Tag({"t_type": "node", "id": Id(), "tag": "x"})
            if when == "after":
                monkeypatch.setattr(Tag, name, value, raising=False)
            return dict(vars(t)), [getattr(t, k) for k in ("tag", "f_id", "f_tag")], t.as_dict()
        assert outcome(orvane.Tag) == outcome(pyorvane.Tag)
