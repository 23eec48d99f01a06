// INP tag lines: one line of a [TAGS] section into the statement that
// inserts its tag, and both tag tables out as tag lines.

#include "orvane.hpp"

#include <string.h>

namespace orvane {

namespace {

// ---------------------------------------------------------------------------
// inp_in_tag(line)

struct Span {
    Py_ssize_t start, end;
};

// The characters below 256 that the host counts as whitespace: the same
// answers as Py_UNICODE_ISSPACE, without a call for the Latin-1 ones.
struct Latin1Spaces {
    bool is[256] = {};
    constexpr Latin1Spaces() {
        const unsigned char spaces[] = {0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x1c,
                                        0x1d, 0x1e, 0x1f, 0x20, 0x85, 0xa0};
        for (unsigned char c : spaces) is[c] = true;
    }
};
constexpr Latin1Spaces kLatin1Spaces;

inline bool is_space(Py_UCS1 c) { return kLatin1Spaces.is[c]; }
inline bool is_space(Py_UCS2 c) { return Py_UNICODE_ISSPACE(c); }
inline bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }

template <class Char>
int scan_tokens(const Char *s, Py_ssize_t len, Span *spans, int want) {
    int found = 0;
    Py_ssize_t i = 0;
    while (found < want) {
        while (i < len && is_space(s[i])) i++;
        if (i == len) break;
        const Py_ssize_t start = i;
        while (i < len && !is_space(s[i])) i++;
        spans[found++] = Span{start, i};
    }
    return found;
}

// Finds the first `want` tokens of the line, cut at runs of whitespace as
// str.split() cuts them. Returns how many there are, at most `want`.
int first_tokens(PyObject *line, Span *spans, int want) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(line);
    switch (PyUnicode_KIND(line)) {
    case PyUnicode_1BYTE_KIND:
        return scan_tokens(PyUnicode_1BYTE_DATA(line), len, spans, want);
    case PyUnicode_2BYTE_KIND:
        return scan_tokens(PyUnicode_2BYTE_DATA(line), len, spans, want);
    default:
        return scan_tokens(PyUnicode_4BYTE_DATA(line), len, spans, want);
    }
}

bool is_ascii(PyObject *line, Span word) {
    if (PyUnicode_IS_ASCII(line)) return true;
    const int kind = PyUnicode_KIND(line);
    const void *data = PyUnicode_DATA(line);
    for (Py_ssize_t i = word.start; i < word.end; i++)
        if (PyUnicode_READ(kind, data, i) >= 0x80) return false;
    return true;
}

// Does an ASCII word, upper-cased, equal the text of a str? Needs no
// upper-cased copy: for ASCII, str.upper() changes a to z alone.
bool ascii_upper_equals(PyObject *line, Span word, PyObject *wanted) {
    const Py_ssize_t n = word.end - word.start;
    if (PyUnicode_GET_LENGTH(wanted) != n) return false;
    const int lkind = PyUnicode_KIND(line);
    const void *ldata = PyUnicode_DATA(line);
    const int kind = PyUnicode_KIND(wanted);
    const void *data = PyUnicode_DATA(wanted);
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS4 c = PyUnicode_READ(lkind, ldata, word.start + i);
        if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
        if (c != PyUnicode_READ(kind, data, i)) return false;
    }
    return true;
}

Ref upper_word(PyObject *line, Span word) {
    Ref w = steal(PyUnicode_Substring(line, word.start, word.end));
    if (!w) return Ref();
    return call_method(w.get(), T.upper);
}

// Writes the quoted form of an ASCII range: its quotes doubled.
Py_UCS1 *put_quoted(Py_UCS1 *out, const Py_UCS1 *from, Span span, Py_ssize_t quotes) {
    *out++ = '\'';
    out = copy_doubled(out, from + span.start, span.end - span.start, quotes);
    *out++ = '\'';
    return out;
}

// insert + 'id' + ", " + 'tag' + ");". A line of ASCII, the usual one, is
// copied straight in; anything else is joined by the general rule.
Ref insert_statement(PyObject *insert, PyObject *line, Span id, Span tag) {
    if (!PyUnicode_IS_ASCII(line) || !PyUnicode_IS_ASCII(insert))
        return join({{insert}, quoted(line, id.start, id.end), {T.comma},
                     quoted(line, tag.start, tag.end), {T.close_statement}});
    const Py_UCS1 *s = PyUnicode_1BYTE_DATA(line);
    const Py_ssize_t id_quotes = quotes_in(s + id.start, id.end - id.start);
    const Py_ssize_t tag_quotes = quotes_in(s + tag.start, tag.end - tag.start);
    const Py_ssize_t prefix = PyUnicode_GET_LENGTH(insert);
    const Py_ssize_t length = prefix + (id.end - id.start) + id_quotes + (tag.end - tag.start) +
                              tag_quotes + 4 + 2 + 2;  // four quotes, ", ", ");"
    Ref result = steal(PyUnicode_New(length, 0x7f));
    if (!result) return Ref();
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(result.get());
    memcpy(out, PyUnicode_1BYTE_DATA(insert), static_cast<size_t>(prefix));
    out = put_quoted(out + prefix, s, id, id_quotes);
    *out++ = ',';
    *out++ = ' ';
    out = put_quoted(out, s, tag, tag_quotes);
    *out++ = ')';
    *out++ = ';';
    return result;
}

ORVANE_COLD PyObject *too_few_tokens() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return nullptr;
}

PyObject *inp_in_tag(PyObject *globals, PyObject *const *args) {
    PyObject *line = args[0];
    Span t[3];
    if (first_tokens(line, t, 3) < 3) return too_few_tokens();

    // The type word is upper-cased by str.upper() where a comparison needs
    // the text: a word that is not ASCII, or a type constant that is no
    // plain str (its own == decides).
    const bool ascii = is_ascii(line, t[0]);
    Ref upper;
    bool failed;
    const Element *e = find_element(globals, &failed, [&](PyObject *wanted) {
        if (ascii && PyUnicode_CheckExact(wanted))
            return ascii_upper_equals(line, t[0], wanted) ? 1 : 0;
        if (!upper && !(upper = upper_word(line, t[0]))) return -1;
        return equal(upper.get(), wanted);
    });
    if (e) return insert_statement(T.*e->insert, line, t[1], t[2]).release();
    return failed ? nullptr : Py_NewRef(T.empty);
}

// ---------------------------------------------------------------------------
// inp_out_tag(name)

// format(value, ""): a str is its own, None (whose type keeps object's
// __format__) is "None", anything else asks the value.
Ref formatted(PyObject *value) {
    if (PyUnicode_CheckExact(value)) return borrow(value);
    if (value == Py_None) return borrow(T.None_text);
    return steal(PyObject_Format(value, T.empty));
}

// a + " " + b + " " + c. Three ASCII texts, the usual line, are copied
// straight in; anything else is joined by the general rule.
Ref spaced_line(PyObject *a, PyObject *b, PyObject *c) {
    PyObject *const parts[] = {a, b, c};
    Py_ssize_t length = 2;
    for (PyObject *p : parts) {
        if (!PyUnicode_Check(p) || !PyUnicode_IS_ASCII(p))
            return join({{a}, {T.space}, {b}, {T.space}, {c}});
        length += PyUnicode_GET_LENGTH(p);
    }
    Ref line = steal(PyUnicode_New(length, 0x7f));
    if (!line) return Ref();
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(line.get());
    for (int i = 0; i < 3; i++) {
        if (i) *out++ = ' ';
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(parts[i]));
        memcpy(out, PyUnicode_1BYTE_DATA(parts[i]), n);
        out += n;
    }
    return line;
}

// Appends the tag line of one row: type, id and tag, each as format(value,
// ""), one space between them.
int append_line(PyObject *globals, PyObject *lines, PyObject *row, const Global &type_name) {
    Ref t_type = global(globals, type_name);
    if (!t_type) return -1;
    Ref id = item(row, T.id);
    if (!id) return -1;
    Ref tag = item(row, T.tag);
    if (!tag) return -1;
    PyObject *const values[] = {t_type.get(), id.get(), tag.get()};
    Ref texts[3];
    for (int i = 0; i < 3; i++) {
        texts[i] = formatted(values[i]);
        if (!texts[i]) return -1;
    }
    Ref line = spaced_line(texts[0].get(), texts[1].get(), texts[2].get());
    if (!line) return -1;
    return PyList_Append(lines, line.get());
}

PyObject *inp_out_tag(PyObject *globals, PyObject *const *args) {
    return read_tables(globals, args[0], append_line);
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
    .name = "inp_in_tag", .qualname = "inp_in_tag",
    .params = line_param, .nparams = count(line_param), .returns = "str",
    .locals = in_locals, .nlocals = count(in_locals),
    .first_line = 96, .returns_str = true, .body = inp_in_tag,
};
const FunctionDef def_inp_out_tag = {
    .name = "inp_out_tag", .qualname = "inp_out_tag",
    .params = name_param, .nparams = count(name_param), .returns = "list[str]",
    .locals = out_locals, .nlocals = count(out_locals),
    .first_line = 114, .body = inp_out_tag,
};

}  // namespace orvane
