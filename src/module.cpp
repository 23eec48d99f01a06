// The module frame of api.orvane: the entry point, the create and exec steps,
// the function type that every callable is made of, the binder that applies
// the calling rules, and the helpers the bodies share.
//
// The module lives in one interpreter per process and, once loaded, until the
// process ends; the statics below are written only by the create and exec
// steps.

#include "orvane.hpp"

#include <string.h>

namespace orvane {

Texts T;
Globals G;

namespace {

int64_t g_interpreter = -1;      // the interpreter that first loaded the module
PyObject *g_module = nullptr;    // the module its exec step is running or ran
void *g_state = nullptr;         // that module's state block, as the host made it
PyTypeObject *g_function_type = nullptr;

PyObject *g_cached[kGlobals];    // borrowed: the value of each global, once looked up
PyObject *g_watched = nullptr;  // the globals dict whose lookups are cached
int g_watcher = -1;

PyTypeObject *g_tag_type = nullptr;  // the Tag class the module made
bool g_tag_type_plain = false;       // and not changed since
int g_type_watcher = -1;

constexpr const char *kModuleName = "api.orvane";
constexpr const char *kSourceName = "<api.orvane>";

// ---------------------------------------------------------------------------
// Texts

struct TextDef {
    PyObject **slot;
    const char *text;
};

struct GlobalDef {
    Global *global;
    const char *text;
};

// Each global's slot is its place in this table.
const GlobalDef kGlobalNames[] = {
    {&G.Any, "Any"},
    {&G.ChangeSet, "ChangeSet"},
    {&G.execute_command, "execute_command"},
    {&G.try_read, "try_read"},
    {&G.read_all, "read_all"},
    {&G.DbChangeSet, "DbChangeSet"},
    {&G.g_update_prefix, "g_update_prefix"},
    {&G.TAG_TYPE_NODE, "TAG_TYPE_NODE"},
    {&G.TAG_TYPE_LINK, "TAG_TYPE_LINK"},
    {&G.get_tag_schema, "get_tag_schema"},
    {&G.get_tags, "get_tags"},
    {&G.get_tag, "get_tag"},
    {&G.Tag, "Tag"},
    {&G._set_tag, "_set_tag"},
    {&G.set_tag, "set_tag"},
    {&G.inp_in_tag, "inp_in_tag"},
    {&G.inp_out_tag, "inp_out_tag"},
    {&G.delete_tag_by_node, "delete_tag_by_node"},
    {&G.delete_tag_by_link, "delete_tag_by_link"},
};
static_assert(sizeof(kGlobalNames) / sizeof(kGlobalNames[0]) == kGlobals,
              "every global has its entry");

const TextDef kTexts[] = {
    {&T.type, "type"},
    {&T.t_type, "t_type"},
    {&T.id, "id"},
    {&T.tag, "tag"},
    {&T.optional, "optional"},
    {&T.readonly, "readonly"},
    {&T.f_type, "f_type"},
    {&T.f_t_type, "f_t_type"},
    {&T.f_id, "f_id"},
    {&T.f_tag, "f_tag"},
    {&T.operations, "operations"},
    {&T.as_dict, "as_dict"},
    {&T.items, "items"},
    {&T.upper, "upper"},
    {&T.NODE, "NODE"},
    {&T.LINK, "LINK"},
    {&T.str, "str"},
    {&T.null, "null"},
    {&T.None_text, "None"},
    {&T.quoted_tag, "'tag'"},
    {&T.empty, ""},
    {&T.space, " "},
    {&T.tags_node, "tags_node"},
    {&T.tags_link, "tags_link"},
    {&T.select_node, "select * from tags_node"},
    {&T.select_link, "select * from tags_link"},
    {&T.lookup_node, "select * from tags_node where id = "},
    {&T.lookup_link, "select * from tags_link where id = "},
    {&T.delete_from, "delete from "},
    {&T.where_id, " where id = "},
    {&T.semicolon, ";"},
    {&T.newline_insert_into, "\ninsert into "},
    {&T.id_tag_values, " (id, tag) values ("},
    {&T.comma, ", "},
    {&T.close_statement, ");"},
    {&T.insert_node, "insert into tags_node (id, tag) values ("},
    {&T.insert_link, "insert into tags_link (id, tag) values ("},
};
static_assert(sizeof(kTexts) / sizeof(kTexts[0]) == sizeof(Texts) / sizeof(PyObject *),
              "every text has its entry");

int make_texts() {
    for (int i = 0; i < kGlobals; i++) {
        Global &g = *kGlobalNames[i].global;
        if (g.name) continue;  // made by an earlier exec step
        g.name = PyUnicode_InternFromString(kGlobalNames[i].text);
        if (!g.name) return -1;
        g.slot = i;
    }
    for (const TextDef &d : kTexts) {
        if (*d.slot) continue;
        *d.slot = PyUnicode_InternFromString(d.text);
        if (!*d.slot) return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Argument errors. Cold: they only format.

ORVANE_COLD PyObject *count_error(const FunctionDef &d, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 d.name, "exactly", static_cast<Py_ssize_t>(d.nparams),
                 d.nparams == 1 ? "" : "s", given);
    return nullptr;
}

ORVANE_COLD PyObject *keyword_error(const FunctionDef &d, PyObject *key,
                                                     bool multiple) {
    if (multiple)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     d.name, key);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", d.name,
                     key);
    return nullptr;
}

ORVANE_COLD PyObject *keyword_type_error(const FunctionDef &d) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", d.name);
    return nullptr;
}

ORVANE_COLD PyObject *argument_type_error(const Param &p, PyObject *arg) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                 p.kind == Kind::Str ? "str" : "dict", Py_TYPE(arg)->tp_name);
    return nullptr;
}

ORVANE_COLD PyObject *result_type_error(PyObject *result) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return nullptr;
}

ORVANE_COLD void name_error(PyObject *name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

// ---------------------------------------------------------------------------
// The function type. Instances behave like the host's functions: the same
// attributes, binding as methods, fast calls.

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
    PyObject *varnames;     // tuple: the parameters first, interned
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *globals;
    PyObject *annotations;  // nullptr until asked for again after a delete
    PyObject *code;
    PyObject *dict;
    PyObject *weakrefs;
};

Function *as_function(PyObject *op) { return reinterpret_cast<Function *>(op); }

// Does the keyword name `key` name the parameter `param`? By pointer first,
// then by text.
inline bool same_name(PyObject *key, PyObject *param) {
    if (key == param) return true;
    return PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(param) &&
           PyUnicode_Compare(key, param) == 0;
}

Py_ssize_t param_index(PyObject *varnames, int nparams, PyObject *key) {
    for (int i = 0; i < nparams; i++)
        if (same_name(key, PyTuple_GET_ITEM(varnames, i))) return i;
    return -1;
}

// Binds the arguments of one call into `slots` (borrowed references) and
// checks their types. Returns 0, or -1 with the TypeError set.
int bind(const Function *f, PyObject *const *args, Py_ssize_t n, PyObject *kwnames,
         PyObject **slots) {
    const FunctionDef &d = *f->def;
    const int N = d.nparams;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    // 1. Positional only: the count must match.
    // 2. With keywords: the positional ones first, then each later parameter
    //    from the keyword of its name; the first one missing is a count error.
    // 3. Keywords left over: the first that names a positional parameter, no
    //    parameter, or is no text decides the error.
    // 4. Types, in parameter order.
    if (nkw == 0) {
        if (n != N) {
            count_error(d, n);
            return -1;
        }
        for (int i = 0; i < N; i++) slots[i] = args[i];
    } else {
        if (n > N) {
            count_error(d, n);
            return -1;
        }
        for (Py_ssize_t i = 0; i < n; i++) slots[i] = args[i];
        for (Py_ssize_t i = n; i < N; i++) {
            PyObject *param = PyTuple_GET_ITEM(f->varnames, i);
            Py_ssize_t k = 0;
            while (k < nkw && !same_name(PyTuple_GET_ITEM(kwnames, k), param)) k++;
            if (k == nkw) {
                count_error(d, i);
                return -1;
            }
            slots[i] = args[n + k];
        }
        if (nkw > N - n) {
            bool seen[kMaxParams] = {};
            for (Py_ssize_t k = 0; k < nkw; k++) {
                PyObject *key = PyTuple_GET_ITEM(kwnames, k);
                if (!PyUnicode_Check(key)) {
                    keyword_type_error(d);
                    return -1;
                }
                Py_ssize_t i = param_index(f->varnames, N, key);
                if (i < 0) {
                    keyword_error(d, key, false);
                    return -1;
                }
                // A name given twice among the keywords counts as given twice.
                if (i < n || seen[i]) {
                    keyword_error(d, key, true);
                    return -1;
                }
                seen[i] = true;
            }
        }
    }
    for (int i = 0; i < N; i++) {
        const Param &p = d.params[i];
        PyObject *a = slots[i];
        if ((p.kind == Kind::Str && !PyUnicode_CheckExact(a)) ||
            (p.kind == Kind::Dict && !PyDict_CheckExact(a))) {
            argument_type_error(p, a);
            return -1;
        }
    }
    return 0;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    Function *f = as_function(self);
    PyObject *slots[kMaxParams];
    if (bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, slots) < 0) return nullptr;
    PyObject *result = f->def->body(f->globals, slots);
    if (result && f->def->returns_str && !PyUnicode_CheckExact(result))
        return result_type_error(result);
    return result;
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Function *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

// Keeps the globals: a function the collector has cleared may still be
// called from a finalizer of its cycle, and the cycle through the module's
// dict breaks when that dict is cleared.
int function_clear(PyObject *self) {
    Function *f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    Function *f = as_function(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled and copied by reference: the qualified name, found again in the
// module named by __module__.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(as_function(self)->qualname);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }

int set_text(PyObject **slot, PyObject *value, const char *message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject *self, PyObject *value, void *) {
    return set_text(&as_function(self)->name, value, "__name__ must be set to a string object");
}

int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_text(&as_function(self)->qualname, value,
                    "__qualname__ must be set to a string object");
}

PyObject *get_annotations(PyObject *self, void *) {
    Function *f = as_function(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// __module__ and __doc__ take any value; deleted, they read as None. The
// closure is the offset of the field in the function.
PyObject **field_at(PyObject *self, void *offset) {
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) +
                                         reinterpret_cast<size_t>(offset));
}
PyObject *get_any(PyObject *self, void *offset) {
    PyObject *value = *field_at(self, offset);
    return Py_NewRef(value ? value : Py_None);
}
int set_any(PyObject *self, PyObject *value, void *offset) {
    Py_XSETREF(*field_at(self, offset), Py_XNewRef(value));
    return 0;
}

PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_builtins(PyObject *, void *) { return Py_NewRef(PyEval_GetBuiltins()); }
PyObject *get_code(PyObject *self, void *) { return Py_NewRef(as_function(self)->code); }
PyObject *get_type_params(PyObject *, void *) { return PyTuple_New(0); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_any, set_any, nullptr,
     reinterpret_cast<void *>(offsetof(Function, module))},
    {"__doc__", get_any, set_any, nullptr, reinterpret_cast<void *>(offsetof(Function, doc))},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "api.orvane.function",
    .basicsize = sizeof(Function),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = function_slots,
};

// The code object of a callable: its argument count, its local names (the
// parameters first), its names and first line, for signature introspection.
Ref make_code(const FunctionDef &d, PyObject *varnames, PyObject *qualname) {
    Ref empty = steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(kSourceName, d.name, d.first_line)));
    if (!empty) return Ref();
    Ref replace = steal(PyObject_GetAttrString(empty.get(), "replace"));
    Ref argcount = steal(PyLong_FromLong(d.nparams));
    Ref nlocals = steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames)));
    Ref flags = steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    Ref kwnames = steal(Py_BuildValue("(sssss)", "co_argcount", "co_nlocals", "co_varnames",
                                      "co_flags", "co_qualname"));
    if (!replace || !argcount || !nlocals || !flags || !kwnames) return Ref();
    PyObject *args[] = {argcount.get(), nlocals.get(), varnames, flags.get(), qualname};
    return steal(PyObject_Vectorcall(replace.get(), args, 0, kwnames.get()));
}

Ref make_annotations(const FunctionDef &d) {
    Ref ann = steal(PyDict_New());
    if (!ann) return Ref();
    for (int i = 0; i < d.nparams; i++) {
        const Param &p = d.params[i];
        if (!p.annotation) continue;
        Ref value = steal(PyUnicode_FromString(p.annotation));
        if (!value || PyDict_SetItemString(ann.get(), p.name, value.get()) < 0) return Ref();
    }
    Ref value = steal(PyUnicode_FromString(d.returns));
    if (!value || PyDict_SetItemString(ann.get(), "return", value.get()) < 0) return Ref();
    return ann;
}

Ref make_varnames(const FunctionDef &d) {
    Ref names = steal(PyTuple_New(d.nparams + d.nlocals));
    if (!names) return Ref();
    for (int i = 0; i < d.nparams + d.nlocals; i++) {
        const char *text = i < d.nparams ? d.params[i].name : d.locals[i - d.nparams];
        PyObject *name = PyUnicode_InternFromString(text);
        if (!name) return Ref();
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    return names;
}

Ref make_function(const FunctionDef &d, PyObject *globals) {
    Ref varnames = make_varnames(d);
    if (!varnames) return Ref();
    Ref name = steal(PyUnicode_InternFromString(d.name));
    Ref qualname = steal(PyUnicode_InternFromString(d.qualname));
    Ref module = steal(PyUnicode_InternFromString(kModuleName));
    if (!name || !qualname || !module) return Ref();
    Ref annotations = make_annotations(d);
    if (!annotations) return Ref();
    Ref code = make_code(d, varnames.get(), qualname.get());
    if (!code) return Ref();
    Function *f = PyObject_GC_New(Function, g_function_type);
    if (!f) return Ref();
    Py_INCREF(g_function_type);  // heap type: each instance holds its type
    f->vectorcall = function_vectorcall;
    f->def = &d;
    f->varnames = varnames.release();
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = Py_NewRef(Py_None);
    f->globals = Py_NewRef(globals);
    f->annotations = annotations.release();
    f->code = code.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return steal(reinterpret_cast<PyObject *>(f));
}

// ---------------------------------------------------------------------------
// Create and exec steps.

// Takes the attribute `name` of an imported module, falling back to the
// submodule of that name in sys.modules, as `from m import name` does.
Ref take_name(PyObject *module, PyObject *name) {
    Ref value = steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref module_name = steal(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) return Ref();
    Ref full = steal(PyUnicode_FromFormat("%S.%S", module_name.get(), name));
    if (!full) return Ref();
    PyObject *modules = PyImport_GetModuleDict();
    Ref found = borrow(PyDict_GetItemWithError(modules, full.get()));
    if (!found && !PyErr_Occurred())
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return found;
}

int bind_global(PyObject *globals, PyObject *name, PyObject *value) {
    return PyDict_SetItem(globals, name, value);
}

// `from <package>.<what> import names...` at `level`, binding each name.
int import_from(PyObject *globals, const char *what, int level, PyObject *const *names,
                int nnames) {
    Ref module_name = steal(PyUnicode_FromString(what));
    Ref locals = steal(PyDict_New());
    Ref fromlist = steal(PyTuple_New(nnames));
    if (!module_name || !locals || !fromlist) return -1;
    for (int i = 0; i < nnames; i++) PyTuple_SET_ITEM(fromlist.get(), i, Py_NewRef(names[i]));
    Ref module = steal(PyImport_ImportModuleLevelObject(module_name.get(), globals, locals.get(),
                                                        fromlist.get(), level));
    if (!module) return -1;
    for (int i = 0; i < nnames; i++) {
        Ref value = take_name(module.get(), names[i]);
        if (!value || bind_global(globals, names[i], value.get()) < 0) return -1;
    }
    return 0;
}

int bind_function(PyObject *globals, const Global &name, const FunctionDef &d) {
    Ref f = make_function(d, globals);
    if (!f) return -1;
    return bind_global(globals, name.name, f.get());
}

// Any change to the Tag class (an attribute set or deleted, its bases
// replaced) ends the short cuts for its instances.
int on_type_event(PyTypeObject *type) {
    if (type == g_tag_type) g_tag_type_plain = false;
    return 0;
}

int watch_tag_class(PyObject *cls) {
    Py_XSETREF(g_tag_type, reinterpret_cast<PyTypeObject *>(Py_NewRef(cls)));
    g_tag_type_plain = false;
    if (g_type_watcher < 0) {
        g_type_watcher = PyType_AddWatcher(on_type_event);
        if (g_type_watcher < 0) {
            PyErr_Clear();  // all watchers taken: no short cuts
            return 0;
        }
    }
    if (PyType_Watch(g_type_watcher, cls) < 0) return -1;
    g_tag_type_plain = true;
    return 0;
}

// class Tag: its namespace holds __module__, __qualname__, __init__, as_dict.
int make_tag_class(PyObject *globals) {
    PyObject *meta = reinterpret_cast<PyObject *>(&PyType_Type);
    Ref name = steal(PyUnicode_FromString("Tag"));
    Ref bases = steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (!name || !bases) return -1;
    Ref prepare = steal(PyObject_GetAttrString(meta, "__prepare__"));
    if (!prepare) return -1;
    Ref ns = call(prepare.get(), name.get(), bases.get());
    if (!ns) return -1;
    Ref module = steal(PyUnicode_FromString(kModuleName));
    Ref module_key = steal(PyUnicode_InternFromString("__module__"));
    Ref qualname_key = steal(PyUnicode_InternFromString("__qualname__"));
    if (!module || !module_key || !qualname_key ||
        PyObject_SetItem(ns.get(), module_key.get(), module.get()) < 0 ||
        PyObject_SetItem(ns.get(), qualname_key.get(), name.get()) < 0)
        return -1;
    const FunctionDef *methods[] = {&def_tag_init, &def_tag_as_dict};
    for (const FunctionDef *d : methods) {
        Ref f = make_function(*d, globals);
        if (!f) return -1;
        if (PyObject_SetItem(ns.get(), as_function(f.get())->name, f.get()) < 0) return -1;
    }
    Ref cls = call(meta, name.get(), bases.get(), ns.get());
    if (!cls || watch_tag_class(cls.get()) < 0) return -1;
    return bind_global(globals, G.Tag.name, cls.get());
}

int check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major,
                  minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// The module's statements, in order.
int run_statements(PyObject *globals) {
    if (import_from(globals, "typing", 0, &G.Any.name, 1) < 0) return -1;
    PyObject *const database_names[] = {G.ChangeSet.name,   G.execute_command.name,
                                        G.try_read.name,    G.read_all.name,
                                        G.DbChangeSet.name, G.g_update_prefix.name};
    if (import_from(globals, "database", 1, database_names, 6) < 0) return -1;
    if (bind_global(globals, G.TAG_TYPE_NODE.name, T.NODE) < 0 ||
        bind_global(globals, G.TAG_TYPE_LINK.name, T.LINK) < 0)
        return -1;
    if (bind_function(globals, G.get_tag_schema, def_get_tag_schema) < 0 ||
        bind_function(globals, G.get_tags, def_get_tags) < 0 ||
        bind_function(globals, G.get_tag, def_get_tag) < 0)
        return -1;
    if (make_tag_class(globals) < 0) return -1;
    if (bind_function(globals, G._set_tag, def_set_tag_impl) < 0 ||
        bind_function(globals, G.set_tag, def_set_tag) < 0 ||
        bind_function(globals, G.inp_in_tag, def_inp_in_tag) < 0 ||
        bind_function(globals, G.inp_out_tag, def_inp_out_tag) < 0 ||
        bind_function(globals, G.delete_tag_by_node, def_delete_tag_by_node) < 0 ||
        bind_function(globals, G.delete_tag_by_link, def_delete_tag_by_link) < 0)
        return -1;
    return 0;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    // 1. One interpreter per process.
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g_interpreter == -1) {
        g_interpreter = id;
    } else if (g_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    // 2. A module already made is handed out again.
    if (g_module) return Py_NewRef(g_module);
    // 3. A new module, with the spec's attributes copied into its globals.
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *globals = PyModule_GetDict(module.get());
    static const struct {
        const char *from, *to;
        bool none_too;
    } copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const auto &c : copies) {
        Ref value = steal(PyObject_GetAttrString(spec, c.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (!c.none_too && value.get() == Py_None) continue;
        if (PyDict_SetItemString(globals, c.to, value.get()) < 0) return nullptr;
    }
    return module.release();
}

// Enters the module in sys.modules as api.orvane unless that name is taken.
// Returns 1 when it entered it, 0 when not, -1 on error.
int enter_module(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();
    Ref key = steal(PyUnicode_FromString(kModuleName));
    if (!key) return -1;
    int has = PyDict_Contains(modules, key.get());
    if (has != 0) return has < 0 ? -1 : 0;
    return PyDict_SetItem(modules, key.get(), module) < 0 ? -1 : 1;
}

// Undoes enter_module after a failed exec step, so that nothing of the
// failed module stays reachable. Keeps the exception that is set.
void leave_module(PyObject *module) {
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *entry = PyDict_GetItemString(modules, kModuleName);
    if (entry == module) PyDict_DelItemString(modules, kModuleName);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

// The values of the module's globals that the bodies look up are kept in a
// cache of one slot per name, emptied by a watcher before any change of the
// globals dict, so a lookup still sees the value bound at that moment.
// Entries are borrowed: the dict holds each value until the watcher has
// emptied them.
int on_globals_event(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) {
    if (dict != g_watched) return 0;
    memset(g_cached, 0, sizeof g_cached);
    if (event == PyDict_EVENT_DEALLOCATED) g_watched = nullptr;
    return 0;
}

// Starts caching the lookups in these globals. Without a free watcher the
// module works the same, only uncached.
int watch_globals(PyObject *globals) {
    memset(g_cached, 0, sizeof g_cached);
    g_watched = nullptr;
    if (g_watcher < 0) {
        g_watcher = PyDict_AddWatcher(on_globals_event);
        if (g_watcher < 0) {
            PyErr_Clear();  // all watchers taken
            return 0;
        }
    }
    if (PyDict_Watch(g_watcher, globals) < 0) return -1;
    g_watched = globals;
    return 0;
}

int exec_steps(PyObject *module, bool *entered) {
    if (check_version() < 0 || make_texts() < 0) return -1;
    if (!g_function_type) {
        g_function_type =
            reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
        if (!g_function_type) return -1;
    }
    int e = enter_module(module);
    if (e < 0) return -1;
    *entered = e == 1;
    PyObject *globals = PyModule_GetDict(module);
    if (watch_globals(globals) < 0) return -1;
    return run_statements(globals);
}

int module_exec(PyObject *module) {
    if (g_module) {
        if (g_module == module) {
            // Handing the module out again, the host gave it a new state
            // block; the one it had before is referenced nowhere else.
            void *state = PyModule_GetState(module);
            if (state != g_state) {
                PyMem_Free(g_state);
                g_state = state;
            }
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'orvane' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    g_state = PyModule_GetState(module);
    bool entered = false;
    if (exec_steps(module, &entered) == 0) return 0;
    if (entered) leave_module(module);
    Py_CLEAR(g_module);
    g_state = nullptr;  // freed with the module
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "orvane",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = no_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

// ---------------------------------------------------------------------------
// Helpers shared by the bodies.

Ref global(PyObject *globals, const Global &g) {
    const bool cached = globals == g_watched;
    if (cached && g_cached[g.slot]) return borrow(g_cached[g.slot]);
    PyObject *value = PyDict_GetItemWithError(globals, g.name);
    if (value) {
        if (cached) g_cached[g.slot] = value;
        return borrow(value);
    }
    if (PyErr_Occurred()) return Ref();
    // A name found among the builtins is looked up again each time.
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), g.name);
    if (!value && !PyErr_Occurred()) name_error(g.name);
    return borrow(value);
}

bool is_plain_tag(PyObject *obj) {
    return g_tag_type_plain && Py_TYPE(obj) == g_tag_type;
}

Ref item(PyObject *obj, PyObject *key) {
    if (!PyDict_CheckExact(obj)) return steal(PyObject_GetItem(obj, key));
    PyObject *value = PyDict_GetItemWithError(obj, key);
    if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return borrow(value);
}

int equal(PyObject *a, PyObject *b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b))
        return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) &&
                          PyUnicode_Compare(a, b) == 0);
    Ref r = steal(PyObject_RichCompare(a, b, Py_EQ));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

int not_none(PyObject *v) {
    // The answer of the common cases is known without asking the value.
    if (v == Py_None) return 0;
    if (PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v)) return 1;
    Ref r = steal(PyObject_RichCompare(v, Py_None, Py_NE));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

namespace {

Py_ssize_t count_quotes(PyObject *text, Py_ssize_t start, Py_ssize_t len) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t n = 0;
    if (kind == PyUnicode_1BYTE_KIND)
        return quotes_in(static_cast<const Py_UCS1 *>(data) + start, len);
    for (Py_ssize_t i = start; i < start + len; i++) n += PyUnicode_READ(kind, data, i) == '\'';
    return n;
}

// The widest character of a range. A whole text tells it without a look; a
// range is measured, so that the result keeps the narrowest form the host
// requires of its texts.
Py_UCS4 widest_of(PyObject *t, Py_ssize_t start, Py_ssize_t len) {
    if (PyUnicode_IS_ASCII(t)) return 0x7f;
    if (start == 0 && len == PyUnicode_GET_LENGTH(t)) return PyUnicode_MAX_CHAR_VALUE(t);
    const int kind = PyUnicode_KIND(t);
    const void *data = PyUnicode_DATA(t);
    Py_UCS4 m = 0x7f;
    for (Py_ssize_t i = start; i < start + len; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c > m) m = c;
    }
    return m;
}

template <class To, class From>
void convert(void *to, const void *from, Py_ssize_t n) {
    To *d = static_cast<To *>(to);
    const From *s = static_cast<const From *>(from);
    for (Py_ssize_t i = 0; i < n; i++) d[i] = static_cast<To>(s[i]);
}

template <class To>
void convert_from(int from_kind, void *to, const void *from, Py_ssize_t n) {
    if (from_kind == PyUnicode_1BYTE_KIND)
        convert<To, Py_UCS1>(to, from, n);
    else if (from_kind == PyUnicode_2BYTE_KIND)
        convert<To, Py_UCS2>(to, from, n);
    else
        convert<To, Py_UCS4>(to, from, n);
}

// Copies len characters of t from start into the result at `at`. The
// result is as wide as the widest character copied, which a range of a
// wider text may leave narrower than the text.
void copy_in(int kind, void *data, Py_ssize_t at, PyObject *t, Py_ssize_t start,
             Py_ssize_t len) {
    const int tkind = PyUnicode_KIND(t);
    const char *from = static_cast<const char *>(PyUnicode_DATA(t)) + start * tkind;
    char *to = static_cast<char *>(data) + at * kind;
    if (tkind == kind)
        memcpy(to, from, static_cast<size_t>(len) * kind);
    else if (kind == PyUnicode_1BYTE_KIND)
        convert_from<Py_UCS1>(tkind, to, from, len);
    else if (kind == PyUnicode_2BYTE_KIND)
        convert_from<Py_UCS2>(tkind, to, from, len);
    else
        convert_from<Py_UCS4>(tkind, to, from, len);
}

ORVANE_COLD void concat_error(PyObject *piece) {
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                 Py_TYPE(piece)->tp_name);
}

}  // namespace

// Joins pieces that are all ASCII: bytes copied straight into an ASCII text.
Ref join_ascii(const Piece *pieces, size_t n, const Py_ssize_t *lens,
               const Py_ssize_t *quotes, Py_ssize_t length) {
    Ref result = steal(PyUnicode_New(length, 0x7f));
    if (!result) return Ref();
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(result.get());
    for (size_t i = 0; i < n; i++) {
        const Piece &p = pieces[i];
        const Py_UCS1 *from = PyUnicode_1BYTE_DATA(p.text) + p.start;
        if (p.quoted) *out++ = '\'';
        if (quotes[i] == 0) {
            memcpy(out, from, static_cast<size_t>(lens[i]));
            out += lens[i];
        } else {
            for (Py_ssize_t j = 0; j < lens[i]; j++) {
                *out++ = from[j];
                if (from[j] == '\'') *out++ = '\'';
            }
        }
        if (p.quoted) *out++ = '\'';
    }
    return result;
}

Ref join(const Piece *pieces, size_t n) {
    // 1. Measure: the length of the result, and whether all of it is ASCII.
    // 2. Copy each piece in; a quoted one between quotes, its quotes doubled.
    //    Texts that are not all ASCII are copied character by character into
    //    a result as wide as its widest character.
    Py_ssize_t lens[kMaxPieces], quotes[kMaxPieces];
    if (n > kMaxPieces) {
        PyErr_BadInternalCall();
        return Ref();
    }
    Py_ssize_t length = 0;
    bool ascii = true;
    for (size_t i = 0; i < n; i++) {
        const Piece &p = pieces[i];
        if (!PyUnicode_Check(p.text)) {
            concat_error(p.text);
            return Ref();
        }
        lens[i] = (p.end < 0 ? PyUnicode_GET_LENGTH(p.text) : p.end) - p.start;
        quotes[i] = p.quoted ? count_quotes(p.text, p.start, lens[i]) : 0;
        length += lens[i] + quotes[i] + (p.quoted ? 2 : 0);
        ascii = ascii && PyUnicode_IS_ASCII(p.text);
    }
    if (ascii) return join_ascii(pieces, n, lens, quotes, length);

    Py_UCS4 widest = 0x7f;
    for (size_t i = 0; i < n; i++) {
        Py_UCS4 m = widest_of(pieces[i].text, pieces[i].start, lens[i]);
        if (m > widest) widest = m;
    }
    Ref result = steal(PyUnicode_New(length, widest));
    if (!result) return Ref();
    const int kind = PyUnicode_KIND(result.get());
    void *data = PyUnicode_DATA(result.get());
    Py_ssize_t at = 0;
    for (size_t i = 0; i < n; i++) {
        const Piece &p = pieces[i];
        if (p.quoted) PyUnicode_WRITE(kind, data, at++, '\'');
        if (quotes[i] == 0) {
            copy_in(kind, data, at, p.text, p.start, lens[i]);
            at += lens[i];
        } else {
            const int tkind = PyUnicode_KIND(p.text);
            const void *tdata = PyUnicode_DATA(p.text);
            for (Py_ssize_t j = p.start; j < p.start + lens[i]; j++) {
                Py_UCS4 c = PyUnicode_READ(tkind, tdata, j);
                PyUnicode_WRITE(kind, data, at++, c);
                if (c == '\'') PyUnicode_WRITE(kind, data, at++, c);
            }
        }
        if (p.quoted) PyUnicode_WRITE(kind, data, at++, '\'');
    }
    return result;
}

Ref lookup_statement(PyObject *prefix, PyObject *id) {
    if (!PyUnicode_Check(id) || !PyUnicode_IS_ASCII(id) || !PyUnicode_IS_ASCII(prefix))
        return join({{prefix}, quoted(id)});
    const Py_UCS1 *s = PyUnicode_1BYTE_DATA(id);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(id), quotes = quotes_in(s, n);
    const Py_ssize_t before = PyUnicode_GET_LENGTH(prefix);
    Ref result = steal(PyUnicode_New(before + n + quotes + 2, 0x7f));
    if (!result) return Ref();
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(result.get());
    memcpy(out, PyUnicode_1BYTE_DATA(prefix), static_cast<size_t>(before));
    out += before;
    *out++ = '\'';
    if (quotes == 0) {
        memcpy(out, s, static_cast<size_t>(n));
        out += n;
    } else {
        for (Py_ssize_t i = 0; i < n; i++) {
            *out++ = s[i];
            if (s[i] == '\'') *out++ = '\'';
        }
    }
    *out = '\'';
    return result;
}

Ref quote(PyObject *text) {
    if (text == Py_None) return borrow(T.null);
    const Piece p[] = {quoted(text)};
    return join(p);
}

}  // namespace orvane

PyMODINIT_FUNC PyInit_orvane(void) { return PyModuleDef_Init(&orvane::module_def); }
