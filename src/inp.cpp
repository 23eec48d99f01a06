// INP tag lines: one line of a [TAGS] section into the statement that
// inserts its tag, and both tag tables out as tag lines.

#include "orvane.hpp"

namespace orvane {

namespace {

// ---------------------------------------------------------------------------
// inp_in_tag(line)

struct Span {
    Py_ssize_t start, end;
};

// Finds the first `want` tokens of the line, cut at runs of whitespace as
// str.split() cuts them. Returns how many there are, at most `want`.
int first_tokens(PyObject *line, Span *spans, int want) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(line);
    const int kind = PyUnicode_KIND(line);
    const void *data = PyUnicode_DATA(line);
    int found = 0;
    Py_ssize_t i = 0;
    while (found < want) {
        while (i < len && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) i++;
        if (i == len) break;
        const Py_ssize_t start = i;
        while (i < len && !Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) i++;
        spans[found++] = Span{start, i};
    }
    return found;
}

// Does the type word, upper-cased, equal the text of a type constant? For
// an ASCII word and a constant that is exactly str the answer needs no
// upper-cased copy; otherwise the word is upper-cased by str.upper() and
// compared with ==.
int type_word_is(PyObject *line, Span word, PyObject *upper, PyObject *wanted) {
    if (!upper && PyUnicode_CheckExact(wanted) && PyUnicode_IS_ASCII(line)) {
        const Py_ssize_t n = word.end - word.start;
        if (PyUnicode_GET_LENGTH(wanted) != n) return 0;
        const Py_UCS1 *w = PyUnicode_1BYTE_DATA(line) + word.start;
        const int kind = PyUnicode_KIND(wanted);
        const void *data = PyUnicode_DATA(wanted);
        for (Py_ssize_t i = 0; i < n; i++) {
            Py_UCS4 c = w[i];
            if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
            if (c != PyUnicode_READ(kind, data, i)) return 0;
        }
        return 1;
    }
    return equal(upper, wanted);
}

ORVANE_COLD PyObject *too_few_tokens() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return nullptr;
}

PyObject *inp_in_tag(PyObject *globals, PyObject *const *args) {
    PyObject *line = args[0];
    Span spans[3];
    if (first_tokens(line, spans, 3) < 3) return too_few_tokens();

    // The upper-cased type word is made only where a comparison needs it.
    Ref upper;
    if (!PyUnicode_IS_ASCII(line)) {
        Ref word = steal(PyUnicode_Substring(line, spans[0].start, spans[0].end));
        if (!word) return nullptr;
        upper = call_method(word.get(), T.upper);
        if (!upper) return nullptr;
    }
    PyObject *const types[] = {T.TAG_TYPE_NODE, T.TAG_TYPE_LINK};
    PyObject *const inserts[] = {T.insert_node, T.insert_link};
    for (int i = 0; i < 2; i++) {
        Ref wanted = global(globals, types[i]);
        if (!wanted) return nullptr;
        if (!upper && !PyUnicode_CheckExact(wanted.get())) {
            Ref word = steal(PyUnicode_Substring(line, spans[0].start, spans[0].end));
            if (!word) return nullptr;
            upper = call_method(word.get(), T.upper);
            if (!upper) return nullptr;
        }
        int eq = type_word_is(line, spans[0], upper.get(), wanted.get());
        if (eq < 0) return nullptr;
        if (!eq) continue;
        Ref id = steal(PyUnicode_Substring(line, spans[1].start, spans[1].end));
        if (!id) return nullptr;
        Ref tag = steal(PyUnicode_Substring(line, spans[2].start, spans[2].end));
        if (!tag) return nullptr;
        return join({{inserts[i]}, quoted(id.get()), {T.comma}, quoted(tag.get()),
                     {T.close_statement}})
            .release();
    }
    return Py_NewRef(T.empty);
}

// ---------------------------------------------------------------------------
// inp_out_tag(name)

// Appends the tag line of one row: type, id and tag, each as format(value,
// ""), one space between them.
int append_line(PyObject *globals, PyObject *lines, PyObject *row, PyObject *type_name) {
    Ref t_type = global(globals, type_name);
    if (!t_type) return -1;
    Ref id = item(row, T.id);
    if (!id) return -1;
    Ref tag = item(row, T.tag);
    if (!tag) return -1;
    PyObject *const values[] = {t_type.get(), id.get(), tag.get()};
    Ref texts[3];
    for (int i = 0; i < 3; i++) {
        texts[i] = steal(PyObject_Format(values[i], T.empty));
        if (!texts[i]) return -1;
    }
    Ref line = join({{texts[0].get()}, {T.space}, {texts[1].get()}, {T.space},
                     {texts[2].get()}});
    if (!line) return -1;
    return PyList_Append(lines, line.get());
}

int append_lines(PyObject *globals, PyObject *name, PyObject *lines, PyObject *sql,
                 PyObject *type_name) {
    Ref objs = call_global(globals, T.read_all, name, sql);
    if (!objs) return -1;
    return for_each(objs.get(), [&](PyObject *obj) {
        return append_line(globals, lines, obj, type_name);
    });
}

PyObject *inp_out_tag(PyObject *globals, PyObject *const *args) {
    PyObject *name = args[0];
    Ref lines = steal(PyList_New(0));
    if (!lines) return nullptr;
    if (append_lines(globals, name, lines.get(), T.select_node, T.TAG_TYPE_NODE) < 0 ||
        append_lines(globals, name, lines.get(), T.select_link, T.TAG_TYPE_LINK) < 0)
        return nullptr;
    return lines.release();
}

// ---------------------------------------------------------------------------
// The table entries.

const Param line_param[] = {{"line", Kind::Str, "str"}};
const Param name_param[] = {{"name", Kind::Str, "str"}};

const char *const in_locals[] = {"tokens", "num", "has_desc", "num_without_desc",
                                 "t_type", "id",  "tag"};
const char *const out_locals[] = {"lines", "objs", "obj", "t_type", "id", "tag"};

}  // namespace

const FunctionDef def_inp_in_tag = {
    "inp_in_tag", "inp_in_tag", line_param, count(line_param), "str", in_locals,
    count(in_locals), 96, true, inp_in_tag};
const FunctionDef def_inp_out_tag = {
    "inp_out_tag", "inp_out_tag", name_param, count(name_param), "list[str]", out_locals,
    count(out_locals), 114, false, inp_out_tag};

}  // namespace orvane
