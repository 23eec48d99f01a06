// The texts of the module: the ones made once, the first time the module
// executes, and the builder that joins pieces into one new str, writing a
// quoted piece in its quoted form.

#include "orvane.hpp"

#include <string.h>

namespace orvane {

// ---------------------------------------------------------------------------
// Texts made at load.

Texts T;
Globals G;

namespace {

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

}  // namespace

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
// The text builder.

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
        out = copy_doubled(out, from, lens[i], quotes[i]);
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
    out = copy_doubled(out, s, n, quotes);
    *out = '\'';
    return result;
}

Ref quote(PyObject *text) {
    if (text == Py_None) return borrow(T.null);
    const Piece p[] = {quoted(text)};
    return join(p);
}

}  // namespace orvane
