#include "orvane.hpp"
namespace orvane {
namespace {
PyObject *todo(PyObject *, PyObject *const *) { PyErr_SetString(PyExc_NotImplementedError, "todo"); return nullptr; }
const Param p2[] = {{"name", Kind::Str, "str"}, {"cs", Kind::Any, "ChangeSet"}};
const Param pn[] = {{"name", Kind::Str, "str"}, {"node", Kind::Str, "str"}};
const Param pl[] = {{"name", Kind::Str, "str"}, {"link", Kind::Str, "str"}};
const char *const set_tag_locals[] = {"old", "raw_new", "new_dict", "schema", "key", "value", "new", "table", "redo_sql", "undo_sql", "redo_cs", "undo_cs"};
const char *const row_locals[] = {"row"};
const char *const none[] = {nullptr};
}
const FunctionDef def_set_tag_impl = {"_set_tag", "_set_tag", p2, 2, "DbChangeSet", set_tag_locals, count(set_tag_locals), 57, false, todo};
const FunctionDef def_set_tag = {"set_tag", "set_tag", p2, 2, "ChangeSet", none, 0, 90, false, todo};
const FunctionDef def_delete_tag_by_node = {"delete_tag_by_node", "delete_tag_by_node", pn, 2, "ChangeSet", row_locals, 1, 131, false, todo};
const FunctionDef def_delete_tag_by_link = {"delete_tag_by_link", "delete_tag_by_link", pl, 2, "ChangeSet", row_locals, 1, 138, false, todo};
}
