// Lookups of module-level names, their cache and the watchers that keep it
// true: a dict watcher over the module's globals, and a type watcher over the
// module's Tag class.
//
// The statics below are written only by the exec step and the watchers.

#include "orvane.hpp"

#include <string.h>

namespace orvane {

namespace {

PyObject *g_cached[kGlobals];   // borrowed: the value of each global, once looked up
PyObject *g_watched = nullptr;  // the globals dict whose lookups are cached
int g_watcher = -1;

PyTypeObject *g_tag_type = nullptr;  // the Tag class the module made
bool g_tag_type_plain = false;       // and not changed since
int g_type_watcher = -1;

ORVANE_COLD void name_error(PyObject *name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
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

// Any change to the Tag class (an attribute set or deleted, its bases
// replaced) ends the short cuts for its instances.
int on_type_event(PyTypeObject *type) {
    if (type == g_tag_type) g_tag_type_plain = false;
    return 0;
}

}  // namespace

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

}  // namespace orvane
