/* The floor: the result objects of get_tags, inp_out_tag and inp_in_tag
 * built in a plain C loop, with no argument checks, no global lookups and no
 * calls back into Python. What it costs is what the interpreter's objects
 * cost; the tag module can only come near it. The dicts of get_tag_schema,
 * get_tag and Tag.as_dict are here too, one per call, to show what a single
 * call can cost at the least.
 *
 * It trusts its input: rows are dicts whose "id" is a str and whose "tag" is
 * a str or None, lines are str with at least three tokens and an ASCII type
 * word. Anything else is undefined here, as it never happens in the
 * benchmark.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

static PyObject *s_id, *s_tag, *s_t_type, *s_NODE, *s_LINK, *s_None, *s_empty, *s_type,
    *s_optional, *s_readonly, *s_str;

static PyObject *
dict_of(PyObject *const *keys, PyObject *const *values, int n)
{
    PyObject *d = PyDict_New();
    for (int i = 0; d != NULL && i < n; i++)
        if (PyDict_SetItem(d, keys[i], values[i]) < 0) Py_CLEAR(d);
    return d;
}

/* get_tag_schema(name): the three field descriptors. */
static PyObject *
get_tag_schema(PyObject *self, PyObject *name)
{
    PyObject *const fields[] = {s_t_type, s_id, s_tag};
    PyObject *const keys[] = {s_type, s_optional, s_readonly};
    PyObject *descriptors[3] = {NULL, NULL, NULL};
    for (int i = 0; i < 3; i++) {
        PyObject *values[] = {s_str, i == 2 ? Py_True : Py_False, Py_False};
        descriptors[i] = dict_of(keys, values, 3);
    }
    PyObject *schema = NULL;
    if (descriptors[0] && descriptors[1] && descriptors[2])
        schema = dict_of(fields, descriptors, 3);
    for (int i = 0; i < 3; i++) Py_XDECREF(descriptors[i]);
    return schema;
}

/* tag_dict(t_type, id, tag): the dict of get_tag; tag_dict(type, t_type,
 * id, tag): the dict of Tag.as_dict. */
static PyObject *
tag_dict(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    PyObject *const keys[] = {s_type, s_t_type, s_id, s_tag};
    return dict_of(keys + 4 - nargs, args, (int)nargs);
}

/* get_tags(node_rows, link_rows): the list of tag dicts. */
static int
append_tag_dicts(PyObject *out, Py_ssize_t at, PyObject *rows, PyObject *t_type)
{
    Py_ssize_t n = PyList_GET_SIZE(rows);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *row = PyList_GET_ITEM(rows, i);
        PyObject *id = PyDict_GetItem(row, s_id);
        PyObject *tag = PyDict_GetItem(row, s_tag);
        PyObject *const keys[] = {s_t_type, s_id, s_tag};
        PyObject *const values[] = {t_type, id, tag};
        PyObject *d = dict_of(keys, values, 3);
        if (d == NULL) return -1;
        PyList_SET_ITEM(out, at + i, d);
    }
    return 0;
}

/* The results of both tables, node rows first, in one list of their size. */
typedef int (*Append)(PyObject *out, Py_ssize_t at, PyObject *rows, PyObject *t_type);

static PyObject *
both_tables(PyObject *const *args, Append append)
{
    PyObject *nodes = args[0], *links = args[1];
    PyObject *out = PyList_New(PyList_GET_SIZE(nodes) + PyList_GET_SIZE(links));
    if (out == NULL) return NULL;
    if (append(out, 0, nodes, s_NODE) < 0 ||
        append(out, PyList_GET_SIZE(nodes), links, s_LINK) < 0) {
        Py_DECREF(out);
        return NULL;
    }
    return out;
}

static PyObject *
get_tags(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return both_tables(args, append_tag_dicts);
}

/* Copies `text` into `out` at `at`; returns the new position. */
static Py_ssize_t
put(PyObject *out, Py_ssize_t at, PyObject *text)
{
    Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_KIND(out) == PyUnicode_KIND(text))
        memcpy((char *)PyUnicode_DATA(out) + at * PyUnicode_KIND(out), PyUnicode_DATA(text),
               len * PyUnicode_KIND(out));
    else
        PyUnicode_CopyCharacters(out, at, text, 0, len);
    return at + len;
}

/* inp_out_tag(node_rows, link_rows): "TYPE id tag" per row. */
static int
append_tag_lines(PyObject *out, Py_ssize_t at, PyObject *rows, PyObject *t_type)
{
    Py_ssize_t n = PyList_GET_SIZE(rows);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *row = PyList_GET_ITEM(rows, i);
        PyObject *id = PyDict_GetItem(row, s_id);
        PyObject *tag = PyDict_GetItem(row, s_tag);
        if (tag == Py_None) tag = s_None;
        Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(id);
        if (PyUnicode_MAX_CHAR_VALUE(tag) > widest) widest = PyUnicode_MAX_CHAR_VALUE(tag);
        PyObject *line = PyUnicode_New(PyUnicode_GET_LENGTH(t_type) + PyUnicode_GET_LENGTH(id) +
                                       PyUnicode_GET_LENGTH(tag) + 2, widest);
        if (line == NULL) return -1;
        int kind = PyUnicode_KIND(line);
        void *data = PyUnicode_DATA(line);
        Py_ssize_t k = put(line, 0, t_type);
        PyUnicode_WRITE(kind, data, k++, ' ');
        k = put(line, k, id);
        PyUnicode_WRITE(kind, data, k++, ' ');
        put(line, k, tag);
        PyList_SET_ITEM(out, at + i, line);
    }
    return 0;
}

static PyObject *
inp_out_tag(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return both_tables(args, append_tag_lines);
}

/* inp_in_tag(lines): the insert statement of each line, or "". */
static const char insert_node[] = "insert into tags_node (id, tag) values ('";
static const char insert_link[] = "insert into tags_link (id, tag) values ('";
#define INSERT_LEN ((Py_ssize_t)sizeof insert_node - 1)

static Py_ssize_t
quoted_extra(int kind, const void *data, Py_ssize_t start, Py_ssize_t end, Py_UCS4 *widest)
{
    Py_ssize_t quotes = 0;
    for (Py_ssize_t i = start; i < end; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        quotes += c == '\'';
        if (c > *widest) *widest = c;
    }
    return quotes;
}

static Py_ssize_t
put_doubled(int okind, void *odata, Py_ssize_t at, int kind, const void *data, Py_ssize_t start,
            Py_ssize_t end)
{
    for (Py_ssize_t i = start; i < end; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        PyUnicode_WRITE(okind, odata, at++, c);
        if (c == '\'') PyUnicode_WRITE(okind, odata, at++, c);
    }
    return at;
}

static PyObject *
statement(PyObject *line)
{
    Py_ssize_t len = PyUnicode_GET_LENGTH(line);
    int kind = PyUnicode_KIND(line);
    const void *data = PyUnicode_DATA(line);
    Py_ssize_t start[3], end[3], i = 0;
    for (int t = 0; t < 3; t++) {
        while (i < len && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) i++;
        start[t] = i;
        while (i < len && !Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) i++;
        end[t] = i;
    }
    const char *insert;
    char word[5] = {0};
    if (end[0] - start[0] != 4) return Py_NewRef(s_empty);
    for (int k = 0; k < 4; k++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, start[0] + k);
        word[k] = (char)(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
    }
    if (memcmp(word, "NODE", 4) == 0) insert = insert_node;
    else if (memcmp(word, "LINK", 4) == 0) insert = insert_link;
    else return Py_NewRef(s_empty);

    Py_UCS4 widest = 0x7f;
    Py_ssize_t extra = quoted_extra(kind, data, start[1], end[1], &widest) +
                       quoted_extra(kind, data, start[2], end[2], &widest);
    PyObject *out = PyUnicode_New(INSERT_LEN + (end[1] - start[1]) + 4 + (end[2] - start[2]) +
                                      3 + extra, widest);
    if (out == NULL) return NULL;
    int okind = PyUnicode_KIND(out);
    void *odata = PyUnicode_DATA(out);
    if (okind == PyUnicode_1BYTE_KIND && kind == PyUnicode_1BYTE_KIND && extra == 0) {
        /* The common line: every piece is copied whole. */
        char *o = odata;
        const char *d = data;
        memcpy(o, insert, INSERT_LEN);
        o += INSERT_LEN;
        memcpy(o, d + start[1], end[1] - start[1]);
        o += end[1] - start[1];
        memcpy(o, "', '", 4);
        o += 4;
        memcpy(o, d + start[2], end[2] - start[2]);
        o += end[2] - start[2];
        memcpy(o, "');", 3);
        return out;
    }
    Py_ssize_t at = 0;
    for (Py_ssize_t k = 0; k < INSERT_LEN; k++) PyUnicode_WRITE(okind, odata, at++, insert[k]);
    at = put_doubled(okind, odata, at, kind, data, start[1], end[1]);
    for (const char *p = "', '"; *p; p++) PyUnicode_WRITE(okind, odata, at++, *p);
    at = put_doubled(okind, odata, at, kind, data, start[2], end[2]);
    for (const char *p = "');"; *p; p++) PyUnicode_WRITE(okind, odata, at++, *p);
    return out;
}

static PyObject *
inp_in_tag(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    PyObject *lines = args[0];
    Py_ssize_t n = PyList_GET_SIZE(lines);
    PyObject *out = PyList_New(n);
    if (out == NULL) return NULL;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *s = statement(PyList_GET_ITEM(lines, i));
        if (s == NULL) {
            Py_DECREF(out);
            return NULL;
        }
        PyList_SET_ITEM(out, i, s);
    }
    return out;
}

static PyMethodDef floor_methods[] = {
    {"get_tag_schema", get_tag_schema, METH_O, NULL},
    {"tag_dict", (PyCFunction)(void (*)(void))tag_dict, METH_FASTCALL, NULL},
    {"get_tags", (PyCFunction)(void (*)(void))get_tags, METH_FASTCALL, NULL},
    {"inp_out_tag", (PyCFunction)(void (*)(void))inp_out_tag, METH_FASTCALL, NULL},
    {"inp_in_tag", (PyCFunction)(void (*)(void))inp_in_tag, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static int
floor_exec(PyObject *module)
{
    struct { PyObject **slot; const char *text; } texts[] = {
        {&s_id, "id"}, {&s_tag, "tag"}, {&s_t_type, "t_type"}, {&s_NODE, "NODE"},
        {&s_LINK, "LINK"}, {&s_None, "None"}, {&s_empty, ""}, {&s_type, "type"},
        {&s_optional, "optional"}, {&s_readonly, "readonly"}, {&s_str, "str"},
    };
    for (size_t i = 0; i < sizeof texts / sizeof texts[0]; i++)
        if (*texts[i].slot == NULL && (*texts[i].slot = PyUnicode_InternFromString(texts[i].text)) == NULL)
            return -1;
    return 0;
}

static PyModuleDef_Slot floor_slots[] = {{Py_mod_exec, floor_exec}, {0, NULL}};

static PyModuleDef floor_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "floor",
    .m_size = 0,
    .m_methods = floor_methods,
    .m_slots = floor_slots,
};

PyMODINIT_FUNC PyInit_floor(void) { return PyModuleDef_Init(&floor_def); }
