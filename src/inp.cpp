#include "orvane.hpp"
namespace orvane {
namespace {
PyObject *todo(PyObject *, PyObject *const *) { PyErr_SetString(PyExc_NotImplementedError, "todo"); return nullptr; }
const Param pline[] = {{"line", Kind::Str, "str"}};
const Param pname[] = {{"name", Kind::Str, "str"}};
const char *const in_locals[] = {"tokens", "num", "has_desc", "num_without_desc", "t_type", "id", "tag"};
const char *const out_locals[] = {"lines", "objs", "obj", "t_type", "id", "tag"};
}
const FunctionDef def_inp_in_tag = {"inp_in_tag", "inp_in_tag", pline, 1, "str", in_locals, count(in_locals), 96, true, todo};
const FunctionDef def_inp_out_tag = {"inp_out_tag", "inp_out_tag", pname, 1, "list[str]", out_locals, count(out_locals), 114, false, todo};
}
