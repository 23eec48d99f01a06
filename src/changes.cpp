// The change sets of tags: the update (_set_tag builds it, set_tag has the
// database execute it) and the removal of a node's or link's tag.

#include "orvane.hpp"

namespace orvane {

namespace {

// cs.operations[0], read afresh at every use.
Ref operation(PyObject *cs) {
    Ref ops = steal(PyObject_GetAttr(cs, T.operations));
    if (!ops) return Ref();
    Ref zero = steal(PyLong_FromLong(0));  // a cached small int: no allocation
    if (!zero) return Ref();
    return steal(PyObject_GetItem(ops.get(), zero.get()));
}

// cs.operations[0][key]
Ref operation_field(PyObject *cs, PyObject *key) {
    Ref op = operation(cs);
    if (!op) return Ref();
    return item(op.get(), key);
}

// get_tag(name, op['t_type'], op['id']), the stored tag of the operation's
// node or link as a tag dict.
Ref read_stored(PyObject *globals, PyObject *name, PyObject *cs) {
    Ref get_tag = global(globals, G.get_tag);
    if (!get_tag) return Ref();
    Ref t_type = operation_field(cs, T.t_type);
    if (!t_type) return Ref();
    Ref id = operation_field(cs, T.id);
    if (!id) return Ref();
    return call(get_tag.get(), name, t_type.get(), id.get());
}

// `key, value = pair`, with the host's messages for a wrong count.
int unpack_pair(PyObject *pair, Ref *key, Ref *value) {
    Ref seq;
    if (PyTuple_CheckExact(pair)) {
        seq = borrow(pair);
    } else {
        if (!Py_TYPE(pair)->tp_iter && !PySequence_Check(pair)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(pair)->tp_name);
            return -1;
        }
        seq = steal(PySequence_Tuple(pair));
        if (!seq) return -1;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n != 2) {
        if (n > 2)
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        else
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        return -1;
    }
    *key = borrow(PyTuple_GET_ITEM(seq.get(), 0));
    *value = borrow(PyTuple_GET_ITEM(seq.get(), 1));
    return 0;
}

// Takes over into raw_new every field of the schema that the operation
// carries and the schema does not mark read-only.
int take_over(PyObject *globals, PyObject *name, PyObject *raw_new, PyObject *new_dict) {
    Ref schema = call_global(globals, G.get_tag_schema, name);
    if (!schema) return -1;
    Ref items = call_method(schema.get(), T.items);
    if (!items) return -1;
    return for_each(items.get(), [&](PyObject *pair) {
        Ref key, value;
        if (unpack_pair(pair, &key, &value) < 0) return -1;
        int carried = PySequence_Contains(new_dict, key.get());
        if (carried <= 0) return carried;
        Ref readonly = item(value.get(), T.readonly);
        if (!readonly) return -1;
        int ro = PyObject_IsTrue(readonly.get());
        if (ro != 0) return ro < 0 ? -1 : 0;
        Ref v = item(new_dict, key.get());
        if (!v) return -1;
        return PyObject_SetItem(raw_new, key.get(), v.get());
    });
}

// The table of the operation's tag type: compared with ==, the operation's
// value on the left; anything but NODE and LINK is refused.
PyObject *table_of(PyObject *globals, PyObject *new_dict) {
    // The operation's type is read again for each constant, before it.
    for (const Element &e : kElements) {
        Ref t_type = item(new_dict, T.t_type);
        if (!t_type) return nullptr;
        Ref wanted = global(globals, G.*e.type);
        if (!wanted) return nullptr;
        int eq = equal(t_type.get(), wanted.get());
        if (eq < 0) return nullptr;
        if (eq) return T.*e.table;
    }
    PyErr_SetString(PyExc_Exception, "Only support NODE and Link");
    return nullptr;
}

// The statement that puts the record's row in place: the delete, then the
// insert when the record has a tag.
Ref statement(PyObject *record, PyObject *table) {
    Ref f_id = get_attribute(record, T.f_id);
    if (!f_id) return Ref();
    Ref tag = get_attribute(record, T.tag);
    if (!tag) return Ref();
    if (tag.get() == Py_None)
        return join({{T.delete_from}, {table}, {T.where_id}, {f_id.get()}, {T.semicolon}});
    Ref f_tag = get_attribute(record, T.f_tag);
    if (!f_tag) return Ref();
    return join({{T.delete_from}, {table}, {T.where_id}, {f_id.get()}, {T.semicolon},
                 {T.newline_insert_into}, {table}, {T.id_tag_values}, {f_id.get()}, {T.comma},
                 {f_tag.get()}, {T.close_statement}});
}

// g_update_prefix | record.as_dict()
Ref change_record(PyObject *globals, PyObject *record) {
    Ref prefix = global(globals, G.g_update_prefix);
    if (!prefix) return Ref();
    Ref d = call_method(record, T.as_dict);
    if (!d) return Ref();
    return steal(PyNumber_Or(prefix.get(), d.get()));
}

Ref one_item_list(PyObject *x) {
    Ref list = steal(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(x));
    return list;
}

PyObject *set_tag_impl(PyObject *globals, PyObject *const *args) {
    PyObject *name = args[0];
    PyObject *cs = args[1];

    // 1. old: the stored tag as a Tag. raw_new: a second read, as a dict.
    Ref tag_class = global(globals, G.Tag);
    if (!tag_class) return nullptr;
    Ref stored = read_stored(globals, name, cs);
    if (!stored) return nullptr;
    Ref old = call(tag_class.get(), stored.get());
    if (!old) return nullptr;
    Ref raw_new = read_stored(globals, name, cs);
    if (!raw_new) return nullptr;

    // 2. new: the stored tag with the operation's fields taken over.
    Ref new_dict = operation(cs);
    if (!new_dict) return nullptr;
    if (take_over(globals, name, raw_new.get(), new_dict.get()) < 0) return nullptr;
    Ref new_tag = call_global(globals, G.Tag, raw_new.get());
    if (!new_tag) return nullptr;

    // 3. The statements and records of both directions.
    PyObject *table = table_of(globals, new_dict.get());
    if (!table) return nullptr;
    Ref redo_sql = statement(new_tag.get(), table);
    if (!redo_sql) return nullptr;
    Ref undo_sql = statement(old.get(), table);
    if (!undo_sql) return nullptr;
    Ref redo_cs = change_record(globals, new_tag.get());
    if (!redo_cs) return nullptr;
    Ref undo_cs = change_record(globals, old.get());
    if (!undo_cs) return nullptr;

    Ref db_change_set = global(globals, G.DbChangeSet);
    if (!db_change_set) return nullptr;
    Ref redo_list = one_item_list(redo_cs.get());
    Ref undo_list = one_item_list(undo_cs.get());
    if (!redo_list || !undo_list) return nullptr;
    return call(db_change_set.get(), redo_sql.get(), undo_sql.get(), redo_list.get(),
                undo_list.get())
        .release();
}

PyObject *set_tag(PyObject *globals, PyObject *const *args) {
    PyObject *name = args[0];
    PyObject *cs = args[1];
    // An operation that lacks a field changes nothing.
    PyObject *const keys[] = {T.t_type, T.id, T.tag};
    for (PyObject *key : keys) {
        Ref op = operation(cs);
        if (!op) return nullptr;
        int has = PySequence_Contains(op.get(), key);
        if (has < 0) return nullptr;
        if (!has) return call_global(globals, G.ChangeSet).release();
    }
    Ref execute = global(globals, G.execute_command);
    if (!execute) return nullptr;
    Ref db_cs = call_global(globals, G._set_tag, name, cs);
    if (!db_cs) return nullptr;
    return call(execute.get(), name, db_cs.get()).release();
}

// The removal of the tag of one node or link: a change record with the tag
// None when the element has a row, else an empty change set.
PyObject *delete_tag(PyObject *globals, PyObject *name, PyObject *id, const Element &e) {
    Ref try_read = global(globals, G.try_read);
    if (!try_read) return nullptr;
    Ref sql = lookup_statement(T.*e.lookup, id);
    if (!sql) return nullptr;
    Ref row = call(try_read.get(), name, sql.get());
    if (!row) return nullptr;
    if (row.get() == Py_None) return call_global(globals, G.ChangeSet).release();

    Ref t_type = global(globals, G.*e.type);
    if (!t_type) return nullptr;
    PyObject *const keys[] = {T.type, T.t_type, T.id, T.tag};
    PyObject *const values[] = {T.tag, t_type.get(), id, Py_None};
    Ref prefix = global(globals, G.g_update_prefix);
    if (!prefix) return nullptr;
    // For a plain dict prefix, `prefix | record` is a copy of the prefix
    // updated with the record's entries in order: made so, the record dict
    // itself is never needed. Any other prefix gets the operator.
    Ref record;
    if (PyDict_CheckExact(prefix.get())) {
        record = steal(PyDict_Copy(prefix.get()));
        if (!record) return nullptr;
        for (int i = 0; i < 4; i++)
            if (PyDict_SetItem(record.get(), keys[i], values[i]) < 0) return nullptr;
    } else {
        Ref d = steal(PyDict_New());
        if (!d) return nullptr;
        for (int i = 0; i < 4; i++)
            if (PyDict_SetItem(d.get(), keys[i], values[i]) < 0) return nullptr;
        record = steal(PyNumber_Or(prefix.get(), d.get()));
        if (!record) return nullptr;
    }
    return call_global(globals, G.ChangeSet, record.get()).release();
}

PyObject *delete_tag_by_node(PyObject *globals, PyObject *const *args) {
    return delete_tag(globals, args[0], args[1], kElements[0]);
}

PyObject *delete_tag_by_link(PyObject *globals, PyObject *const *args) {
    return delete_tag(globals, args[0], args[1], kElements[1]);
}

// ---------------------------------------------------------------------------
// The table entries.

const Param change_params[] = {{"name", Kind::Str, "str"}, {"cs", Kind::Any, "ChangeSet"}};
const Param node_params[] = {{"name", Kind::Str, "str"}, {"node", Kind::Str, "str"}};
const Param link_params[] = {{"name", Kind::Str, "str"}, {"link", Kind::Str, "str"}};

const char *const set_tag_impl_locals[] = {"old",    "raw_new", "new_dict", "schema",
                                           "key",    "value",   "new",      "table",
                                           "redo_sql", "undo_sql", "redo_cs", "undo_cs"};
const char *const delete_locals[] = {"row"};

}  // namespace

const FunctionDef def_set_tag_impl = {
    .name = "_set_tag", .qualname = "_set_tag",
    .params = change_params, .nparams = count(change_params), .returns = "DbChangeSet",
    .locals = set_tag_impl_locals, .nlocals = count(set_tag_impl_locals),
    .first_line = 57, .body = set_tag_impl,
};
const FunctionDef def_set_tag = {
    .name = "set_tag", .qualname = "set_tag",
    .params = change_params, .nparams = count(change_params), .returns = "ChangeSet",
    .first_line = 90, .body = set_tag,
};
const FunctionDef def_delete_tag_by_node = {
    .name = "delete_tag_by_node", .qualname = "delete_tag_by_node",
    .params = node_params, .nparams = count(node_params), .returns = "ChangeSet",
    .locals = delete_locals, .nlocals = count(delete_locals),
    .first_line = 131, .body = delete_tag_by_node,
};
const FunctionDef def_delete_tag_by_link = {
    .name = "delete_tag_by_link", .qualname = "delete_tag_by_link",
    .params = link_params, .nparams = count(link_params), .returns = "ChangeSet",
    .locals = delete_locals, .nlocals = count(delete_locals),
    .first_line = 138, .body = delete_tag_by_link,
};

}  // namespace orvane
