// The tag model and the reads: the field schema, the Tag record with its
// text and quoted forms, and the queries get_tags and get_tag.

#include "orvane.hpp"

namespace orvane {

namespace {

// ---------------------------------------------------------------------------
// get_tag_schema(name)

// The descriptor of a field, made once and copied for each schema: a copy
// of a small dict is cheaper than building it again, and the caller may
// change its copy freely.
PyObject *g_field_templates[2];  // optional False, optional True

Ref field(bool optional) {
    PyObject *&t = g_field_templates[optional];
    if (!t) {
        Ref d = steal(PyDict_New());
        if (!d || PyDict_SetItem(d.get(), T.type, T.str) < 0 ||
            PyDict_SetItem(d.get(), T.optional, optional ? Py_True : Py_False) < 0 ||
            PyDict_SetItem(d.get(), T.readonly, Py_False) < 0)
            return Ref();
        t = d.release();
    }
    return steal(PyDict_Copy(t));
}

PyObject *get_tag_schema(PyObject *, PyObject *const *) {
    Ref schema = steal(PyDict_New());
    if (!schema) return nullptr;
    PyObject *const names[] = {T.t_type, T.id, T.tag};
    for (int i = 0; i < 3; i++) {
        Ref f = field(i == 2);
        if (!f || PyDict_SetItem(schema.get(), names[i], f.get()) < 0) return nullptr;
    }
    return schema.release();
}

// ---------------------------------------------------------------------------
// Tag.__init__(self, input) and Tag.as_dict(self)

// The quoted form of a value; with `none_is_null`, a value that is not
// != None gives null.
Ref quoted_form(PyObject *value, bool none_is_null) {
    if (none_is_null) {
        int nn = not_none(value);
        if (nn < 0) return Ref();
        if (!nn) return borrow(T.null);
    }
    return join({quoted(value)});
}

// Sets the attribute `to` to the quoted form of the attribute `from` as it
// reads back now: a class of the caller's may store or read attributes its
// own way.
int set_quoted(PyObject *self, PyObject *to, PyObject *from, bool none_is_null) {
    Ref value = get_attribute(self, from);
    if (!value) return -1;
    Ref q = quoted_form(value.get(), none_is_null);
    if (!q) return -1;
    return set_attribute(self, to, q.get());
}

int set_quoted_of(PyObject *self, PyObject *to, PyObject *value, bool none_is_null) {
    Ref q = quoted_form(value, none_is_null);
    if (!q) return -1;
    return set_attribute(self, to, q.get());
}

Ref text_of(PyObject *input, PyObject *key) {
    Ref value = item(input, key);
    if (!value) return Ref();
    return text_form(value.get());
}

PyObject *tag_init(PyObject *, PyObject *const *args) {
    PyObject *self = args[0];
    PyObject *input = args[1];
    if (set_attribute(self, T.type, T.tag) < 0) return nullptr;
    Ref t_type = text_of(input, T.t_type);
    if (!t_type || set_attribute(self, T.t_type, t_type.get()) < 0) return nullptr;
    Ref id = text_of(input, T.id);
    if (!id || set_attribute(self, T.id, id.get()) < 0) return nullptr;

    // A missing tag and a tag that is not != None both give None.
    Ref tag = borrow(Py_None);
    int has = PyDict_Contains(input, T.tag);
    if (has < 0) return nullptr;
    if (has) {
        Ref value = item(input, T.tag);
        if (!value) return nullptr;
        int nn = not_none(value.get());
        if (nn < 0) return nullptr;
        if (nn) {
            tag = text_form(value.get());
            if (!tag) return nullptr;
        }
    }
    if (set_attribute(self, T.tag, tag.get()) < 0) return nullptr;

    // An instance of the module's own Tag class, unchanged since it was
    // made, reads back what was just stored: its quoted forms come from the
    // values in hand.
    if (is_plain_tag(self)) {
        if (set_attribute(self, T.f_type, T.quoted_tag) < 0 ||
            set_quoted_of(self, T.f_t_type, t_type.get(), false) < 0 ||
            set_quoted_of(self, T.f_id, id.get(), false) < 0 ||
            set_quoted_of(self, T.f_tag, tag.get(), true) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    if (set_quoted(self, T.f_type, T.type, false) < 0 ||
        set_quoted(self, T.f_t_type, T.t_type, false) < 0 ||
        set_quoted(self, T.f_id, T.id, false) < 0 || set_quoted(self, T.f_tag, T.tag, true) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *tag_as_dict(PyObject *, PyObject *const *args) {
    PyObject *self = args[0];
    Ref d = steal(PyDict_New());
    if (!d) return nullptr;
    PyObject *const keys[] = {T.type, T.t_type, T.id, T.tag};
    for (PyObject *key : keys) {
        Ref value = get_attribute(self, key);
        if (!value || PyDict_SetItem(d.get(), key, value.get()) < 0) return nullptr;
    }
    return d.release();
}

// ---------------------------------------------------------------------------
// get_tags(name)

// Appends the tag dict of one row: the tag is tested with != None, the id
// always turned into text.
int append_row(PyObject *globals, PyObject *results, PyObject *row, const Global &type_name) {
    Ref raw = item(row, T.tag);
    if (!raw) return -1;
    Ref tag = borrow(Py_None);
    int nn = not_none(raw.get());
    if (nn < 0) return -1;
    if (nn) {
        tag = text_form(raw.get());
        if (!tag) return -1;
    }
    Ref t_type = global(globals, type_name);
    if (!t_type) return -1;
    Ref raw_id = item(row, T.id);
    if (!raw_id) return -1;
    Ref id = text_form(raw_id.get());
    if (!id) return -1;
    Ref d = steal(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), T.t_type, t_type.get()) < 0 ||
        PyDict_SetItem(d.get(), T.id, id.get()) < 0 ||
        PyDict_SetItem(d.get(), T.tag, tag.get()) < 0)
        return -1;
    return PyList_Append(results, d.get());
}

PyObject *get_tags(PyObject *globals, PyObject *const *args) {
    return read_tables(globals, args[0], append_row);
}

// ---------------------------------------------------------------------------
// get_tag(name, t_type, id)

PyObject *get_tag(PyObject *globals, PyObject *const *args) {
    PyObject *name = args[0];
    PyObject *t_type = args[1];
    PyObject *id = args[2];

    // Only NODE and LINK reach the database; any other type reads as no row.
    bool failed;
    const Element *e =
        find_element(globals, &failed, [&](PyObject *wanted) { return equal(t_type, wanted); });
    if (failed) return nullptr;
    Ref row;
    if (e) {
        Ref try_read = global(globals, G.try_read);
        if (!try_read) return nullptr;
        Ref sql = lookup_statement(T.*e->lookup, id);
        if (!sql) return nullptr;
        row = call(try_read.get(), name, sql.get());
        if (!row) return nullptr;
    }

    Ref result_id = borrow(id);
    Ref tag = borrow(Py_None);
    if (row && row.get() != Py_None) {
        Ref raw_id = item(row.get(), T.id);
        if (!raw_id) return nullptr;
        result_id = text_form(raw_id.get());
        if (!result_id) return nullptr;
        Ref raw_tag = item(row.get(), T.tag);
        if (!raw_tag) return nullptr;
        if (raw_tag.get() != Py_None) {
            tag = text_form(raw_tag.get());
            if (!tag) return nullptr;
        }
    }
    Ref d = steal(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), T.t_type, t_type) < 0 ||
        PyDict_SetItem(d.get(), T.id, result_id.get()) < 0 ||
        PyDict_SetItem(d.get(), T.tag, tag.get()) < 0)
        return nullptr;
    return d.release();
}

// ---------------------------------------------------------------------------
// The table entries.

const Param name_param[] = {{"name", Kind::Str, "str"}};
const Param get_tag_params[] = {
    {"name", Kind::Str, "str"}, {"t_type", Kind::Str, "str"}, {"id", Kind::Str, "str"}};
const Param init_params[] = {{"self", Kind::Any, nullptr},
                             {"input", Kind::Dict, "dict[str, Any]"}};
const Param self_param[] = {{"self", Kind::Any, nullptr}};

const char *const get_tags_locals[] = {"results", "rows", "row", "tag"};
const char *const get_tag_locals[] = {"t", "d"};

}  // namespace

PyObject *read_tables(PyObject *globals, PyObject *name, RowVisitor visit) {
    Ref results = steal(PyList_New(0));
    if (!results) return nullptr;
    for (const Element &e : kElements) {
        Ref rows = call_global(globals, G.read_all, name, T.*e.select);
        if (!rows) return nullptr;
        int r = for_each(rows.get(), [&](PyObject *row) {
            return visit(globals, results.get(), row, G.*e.type);
        });
        if (r < 0) return nullptr;
    }
    return results.release();
}

const FunctionDef def_get_tag_schema = {
    .name = "get_tag_schema", .qualname = "get_tag_schema",
    .params = name_param, .nparams = count(name_param), .returns = "dict[str, dict[str, Any]]",
    .first_line = 7, .body = get_tag_schema,
};
const FunctionDef def_get_tags = {
    .name = "get_tags", .qualname = "get_tags",
    .params = name_param, .nparams = count(name_param), .returns = "list[dict[str, Any]]",
    .locals = get_tags_locals, .nlocals = count(get_tags_locals),
    .first_line = 13, .body = get_tags,
};
const FunctionDef def_get_tag = {
    .name = "get_tag", .qualname = "get_tag",
    .params = get_tag_params, .nparams = count(get_tag_params), .returns = "dict[str, Any]",
    .locals = get_tag_locals, .nlocals = count(get_tag_locals),
    .first_line = 26, .body = get_tag,
};
const FunctionDef def_tag_init = {
    .name = "__init__", .qualname = "Tag.__init__",
    .params = init_params, .nparams = count(init_params), .returns = "None",
    .first_line = 42, .body = tag_init,
};
const FunctionDef def_tag_as_dict = {
    .name = "as_dict", .qualname = "Tag.as_dict",
    .params = self_param, .nparams = count(self_param), .returns = "dict[str, Any]",
    .first_line = 53, .body = tag_as_dict,
};

}  // namespace orvane
