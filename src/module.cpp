// The module frame of api.orvane: the entry point and the create and exec
// steps.
//
// The module lives in one interpreter per process and, once loaded, until the
// process ends; the statics below are written only by the create and exec
// steps.

#include "orvane.hpp"

namespace orvane {

namespace {

int64_t g_interpreter = -1;      // the interpreter that first loaded the module
PyObject *g_module = nullptr;    // the module its exec step is running or ran
void *g_state = nullptr;         // that module's state block, as the host made it

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
        if (PyObject_SetItem(ns.get(), function_name(f.get()), f.get()) < 0) return -1;
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

int exec_steps(PyObject *module, bool *entered) {
    if (check_version() < 0 || make_texts() < 0 || make_function_type() < 0) return -1;
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

}  // namespace orvane

PyMODINIT_FUNC PyInit_orvane(void) { return PyModuleDef_Init(&orvane::module_def); }
