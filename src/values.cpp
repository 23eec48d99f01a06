// Operations on the values the bodies are given, as the host evaluates
// them: item access and comparisons.

#include "orvane.hpp"

namespace orvane {

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

}  // namespace orvane
