/* Marks for callgrind: zero() starts a measured stretch and dump(label)
 * writes what it counted since, as one part of the profile named by the
 * label. Outside valgrind both do nothing, and running() says whether
 * valgrind is there.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define HAVE_CALLGRIND 1
#endif
#endif

static PyObject *
zero(PyObject *self, PyObject *unused)
{
#ifdef HAVE_CALLGRIND
    CALLGRIND_ZERO_STATS;
#endif
    Py_RETURN_NONE;
}

static PyObject *
dump(PyObject *self, PyObject *label)
{
    const char *text = PyUnicode_AsUTF8(label);
    if (text == NULL) return NULL;
#ifdef HAVE_CALLGRIND
    CALLGRIND_DUMP_STATS_AT(text);
#endif
    Py_RETURN_NONE;
}

static PyObject *
running(PyObject *self, PyObject *unused)
{
#ifdef HAVE_CALLGRIND
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
#else
    Py_RETURN_FALSE;
#endif
}

static PyMethodDef cgmark_methods[] = {
    {"zero", zero, METH_NOARGS, NULL},
    {"dump", dump, METH_O, NULL},
    {"running", running, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef cgmark_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "cgmark",
    .m_size = 0,
    .m_methods = cgmark_methods,
};

PyMODINIT_FUNC PyInit_cgmark(void) { return PyModuleDef_Init(&cgmark_def); }
