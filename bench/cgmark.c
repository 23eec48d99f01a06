/* Marks for callgrind: zero() starts a measured stretch and dump(label)
 * writes what it counted since, as one part of the profile named by the
 * label. Outside valgrind both do nothing.
 *
 * repeat(n, calls) makes each call of `calls`, a tuple of (callable, args)
 * pairs, n times from C, as a C module calls the database names: what the
 * doubles cost on their own, which the benchmarks take off each figure.
 * Like the floor, it trusts its input: workload.py makes the pairs.
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
repeat(PyObject *self, PyObject *args)
{
    Py_ssize_t n;
    PyObject *calls;
    if (!PyArg_ParseTuple(args, "nO!:repeat", &n, &PyTuple_Type, &calls)) return NULL;
    Py_ssize_t count = PyTuple_GET_SIZE(calls);
    for (Py_ssize_t k = 0; k < n; k++) {
        for (Py_ssize_t i = 0; i < count; i++) {
            PyObject *pair = PyTuple_GET_ITEM(calls, i);
            PyObject *f = PyTuple_GET_ITEM(pair, 0), *a = PyTuple_GET_ITEM(pair, 1);
            PyObject *r = PyObject_Vectorcall(f, &PyTuple_GET_ITEM(a, 0), PyTuple_GET_SIZE(a), NULL);
            if (r == NULL) return NULL;
            Py_DECREF(r);
        }
    }
    Py_RETURN_NONE;
}

static PyMethodDef cgmark_methods[] = {
    {"zero", zero, METH_NOARGS, NULL},
    {"dump", dump, METH_O, NULL},
    {"repeat", repeat, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef cgmark_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "cgmark",
    .m_size = 0,
    .m_methods = cgmark_methods,
};

PyMODINIT_FUNC PyInit_cgmark(void) { return PyModuleDef_Init(&cgmark_def); }
