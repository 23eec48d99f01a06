// The function type that every callable of the module is made of, in the
// order of the host's own function type: the object, its making, clearing,
// traversal and deallocation, binding as a method, the call (the binder that
// applies the calling rules to a call's arguments, with the texts of the
// argument errors), the attributes, and the type's slots.

#include "orvane.hpp"

namespace orvane {

namespace {

PyTypeObject *g_function_type = nullptr;  // made by the first exec step

constexpr const char *kSourceName = "<api.orvane>";

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

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames);

// ---------------------------------------------------------------------------
// New functions: the code object, annotations and local names of a callable,
// made from its entry.

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

}  // namespace

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

namespace {

// ---------------------------------------------------------------------------
// Clearing, traversal and deallocation.

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

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled and copied by reference: the qualified name, found again in the
// module named by __module__.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(as_function(self)->qualname);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// ---------------------------------------------------------------------------
// Calls: the binder, with the texts of the argument errors (cold: they only
// format), and the fast call itself.


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

// ---------------------------------------------------------------------------
// Attributes.

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

// ---------------------------------------------------------------------------
// The type.

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

}  // namespace

int make_function_type() {
    if (g_function_type) return 0;
    g_function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
    return g_function_type ? 0 : -1;
}

PyObject *function_name(PyObject *function) { return as_function(function)->name; }

}  // namespace orvane
