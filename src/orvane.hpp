// Shared declarations of the orvane module, one section per file: the texts
// made at load and the text builder (text.cpp), the table that describes
// each callable and the function type (function.cpp), the operations on
// values (values.cpp), the lookups of module-level names (globals.cpp), and
// what the bodies share among themselves.
#pragma once

#include "ref.hpp"

#include <stddef.h>
#include <string.h>

// Error builders stay out of the hot paths.
#if defined(_MSC_VER) && !defined(__clang__)
#define ORVANE_COLD __declspec(noinline)
#else
#define ORVANE_COLD [[gnu::cold, gnu::noinline]]
#endif

namespace orvane {

// ---------------------------------------------------------------------------
// Texts (text.cpp), made once, the first time the module executes, and kept
// for the life of the process (the module refuses a second interpreter, so
// they never serve two): the names of the module's globals (G), and every
// other name and fixed SQL piece a body uses (T).

// The module's own globals, the names a body looks up: a fixed set, each
// with its text and its own slot in the cache of lookups (globals.cpp), given
// in the order of the exec step's statements.
struct Global {
    PyObject *name;
    int slot;
};

struct Globals {
    Global Any, ChangeSet, execute_command, try_read, read_all, DbChangeSet, g_update_prefix,
        TAG_TYPE_NODE, TAG_TYPE_LINK, get_tag_schema, get_tags, get_tag, Tag, _set_tag, set_tag,
        inp_in_tag, inp_out_tag, delete_tag_by_node, delete_tag_by_link;
};
inline constexpr int kGlobals = sizeof(Globals) / sizeof(Global);
extern Globals G;

struct Texts {
    // Field names, keys and attribute names.
    PyObject *type, *t_type, *id, *tag, *optional, *readonly, *f_type, *f_t_type, *f_id,
        *f_tag, *operations, *as_dict, *items, *upper;
    // Values.
    PyObject *NODE, *LINK, *str, *null, *None_text, *quoted_tag, *empty, *space;
    // Tables and SQL pieces. A lookup statement carries no semicolon.
    PyObject *tags_node, *tags_link, *select_node, *select_link, *lookup_node, *lookup_link,
        *delete_from, *where_id, *semicolon, *newline_insert_into, *id_tag_values, *comma,
        *close_statement, *insert_node, *insert_link;
};
extern Texts T;

// Makes the texts not made yet. Returns 0, or -1 with an exception set.
int make_texts();

// ---------------------------------------------------------------------------
// The text builder (text.cpp).

// A piece of a text being built. A quoted piece is written in its quoted
// form: between single quotes, every single quote inside it doubled, so that
// any text stands in SQL as one literal and is stored unchanged.
struct Piece {
    PyObject *text;
    bool quoted = false;
    Py_ssize_t start = 0, end = -1;  // a range of the text; end -1: to its end
};
inline Piece quoted(PyObject *text) { return Piece{text, true}; }
inline Piece quoted(PyObject *text, Py_ssize_t start, Py_ssize_t end) {
    return Piece{text, true, start, end};
}

// The single quotes among n one-byte characters. A short text is scanned in
// place; a long one by memchr.
inline Py_ssize_t quotes_in(const Py_UCS1 *s, Py_ssize_t n) {
    Py_ssize_t count = 0;
    if (n < 32) {
        for (Py_ssize_t i = 0; i < n; i++) count += s[i] == '\'';
        return count;
    }
    const Py_UCS1 *end = s + n;
    for (const Py_UCS1 *p = s; p < end; p++) {
        p = static_cast<const Py_UCS1 *>(memchr(p, '\'', static_cast<size_t>(end - p)));
        if (!p) break;
        count++;
    }
    return count;
}

// Copies n one-byte characters that hold `quotes` single quotes, each
// quote doubled: the inside of a quoted form. Returns the end of the copy.
inline Py_UCS1 *copy_doubled(Py_UCS1 *out, const Py_UCS1 *from, Py_ssize_t n,
                             Py_ssize_t quotes) {
    if (quotes == 0) {
        memcpy(out, from, static_cast<size_t>(n));
        return out + n;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        *out++ = from[i];
        if (from[i] == '\'') *out++ = '\'';
    }
    return out;
}

// Joins the pieces into one new str. A piece that is not a str raises the
// TypeError that `+` between texts raises.
inline constexpr size_t kMaxPieces = 16;
[[nodiscard]] Ref join(const Piece *pieces, size_t n);
template <size_t N>
[[nodiscard]] inline Ref join(const Piece (&pieces)[N]) {
    static_assert(N <= kMaxPieces);
    return join(pieces, N);
}

// A lookup statement: the prefix, then the quoted form of the id.
[[nodiscard]] Ref lookup_statement(PyObject *prefix, PyObject *id);

// The quoted form of a text; of None, the bare word null.
[[nodiscard]] Ref quote(PyObject *text);

// ---------------------------------------------------------------------------
// The table that describes each callable. One binder (function.cpp) turns
// (args, nargsf, kwnames) into a slot array by these rules and writes every
// argument error; a body gets its arguments already checked.

enum class Kind : unsigned char {
    Any,   // any object
    Str,   // exactly str
    Dict,  // exactly dict
};

struct Param {
    const char *name;
    Kind kind;
    const char *annotation;  // nullptr: not annotated
};

// A body: the module's globals dict (borrowed) and the bound arguments
// (borrowed, in parameter order). Returns a new reference, or nullptr with an
// exception set.
using Body = PyObject *(*)(PyObject *globals, PyObject *const *args);

inline constexpr int kMaxParams = 3;

struct FunctionDef {
    const char *name;       // __name__, and the name in error messages
    const char *qualname;   // __qualname__
    const Param *params;
    int nparams;
    const char *returns;    // return annotation
    const char *const *locals;  // local names after the parameters, for __code__ (none: nullptr)
    int nlocals;
    int first_line;
    bool returns_str;       // the result must be exactly str
    Body body;
};

template <size_t N>
constexpr int count(const Param (&)[N]) { return static_cast<int>(N); }
template <size_t N>
constexpr int count(const char *const (&)[N]) { return static_cast<int>(N); }

// The module's name: the __module__ of its callables and of Tag, and its
// entry in sys.modules.
inline constexpr const char *kModuleName = "api.orvane";

// Makes the type of the module's functions, the first time. Returns 0, or -1
// with an exception set.
int make_function_type();

// A new function of the module for this callable, run in these globals.
[[nodiscard]] Ref make_function(const FunctionDef &d, PyObject *globals);

// The __name__ of a function that make_function made (borrowed).
PyObject *function_name(PyObject *function);

// ---------------------------------------------------------------------------
// Operations on values (values.cpp, and inline here).

// obj[key]: a dict lookup for an exact dict (KeyError carrying the key when
// missing), the general subscription for anything else.
[[nodiscard]] Ref item(PyObject *obj, PyObject *key);

// `a == b` and `a != b` as the host evaluates them, then the truth of the
// result: 1, 0, or -1 with an exception set.
int equal(PyObject *a, PyObject *b);
int not_none(PyObject *v);

// Calls with positional arguments only.
template <class... A>
[[nodiscard]] inline Ref call(PyObject *callable, A... args) {
    PyObject *stack[] = {nullptr, args...};
    return steal(PyObject_Vectorcall(callable, stack + 1,
                                     sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.method() with no arguments.
[[nodiscard]] inline Ref call_method(PyObject *obj, PyObject *method) {
    return steal(PyObject_VectorcallMethod(method, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

// Calls visit(item) for each item of an iterable, in order, until it returns
// -1. A list or tuple is walked by position, its length read again at every
// step, since the visitor's own calls may change it; anything else through
// the iteration protocol.
template <class Visit>
int for_each(PyObject *iterable, Visit &&visit) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); i++) {
            Ref x = borrow(PyList_GET_ITEM(iterable, i));
            if (visit(x.get()) < 0) return -1;
        }
        return 0;
    }
    if (PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); i++)
            if (visit(PyTuple_GET_ITEM(iterable, i)) < 0) return -1;
        return 0;
    }
    Ref it = steal(PyObject_GetIter(iterable));
    if (!it) return -1;
    while (Ref x = steal(PyIter_Next(it.get())))
        if (visit(x.get()) < 0) return -1;
    return PyErr_Occurred() ? -1 : 0;
}

// The text form of a value: str(value); a str is its own.
[[nodiscard]] inline Ref text_form(PyObject *v) {
    if (PyUnicode_CheckExact(v)) return borrow(v);
    return steal(PyObject_Str(v));
}

// ---------------------------------------------------------------------------
// Lookups of module-level names (globals.cpp).

// Starts caching the lookups in these globals, and the short cuts for the
// instances of this Tag class. Each returns 0, or -1 with an exception set.
int watch_globals(PyObject *globals);
int watch_tag_class(PyObject *cls);

// The value of a module-level name: the module's globals, then the builtins;
// NameError when neither has it.
[[nodiscard]] Ref global(PyObject *globals, const Global &name);

// Looks the name up among the globals at this moment, then calls it. The
// callable is found before the arguments are used, as `f(a, b)` does.
template <class... A>
[[nodiscard]] inline Ref call_global(PyObject *globals, const Global &name, A... args) {
    Ref f = global(globals, name);
    if (!f) return Ref();
    return call(f.get(), args...);
}

// Is this an instance of the module's own Tag class, as the module made it
// (no attribute of the class set or deleted since)? Such an instance stores
// and reads its attributes in the ordinary way.
bool is_plain_tag(PyObject *obj);

// obj.name, and obj.name = value, as the host does them. A plain Tag
// instance goes straight to the generic getter and setter, which is all its
// class does; the test is made at each access, since a text conversion
// between two of them may change the class.
[[nodiscard]] inline Ref get_attribute(PyObject *obj, PyObject *name) {
    return steal(is_plain_tag(obj) ? PyObject_GenericGetAttr(obj, name)
                                   : PyObject_GetAttr(obj, name));
}
inline int set_attribute(PyObject *obj, PyObject *name, PyObject *value) {
    return is_plain_tag(obj) ? PyObject_GenericSetAttr(obj, name, value)
                             : PyObject_SetAttr(obj, name, value);
}

// ---------------------------------------------------------------------------
// The two kinds of element that carry tags, in the order the module treats
// them: the node first. Each names its type constant among the globals and
// its table's texts.

struct Element {
    Global Globals::*type;                 // TAG_TYPE_NODE or TAG_TYPE_LINK
    PyObject *Texts::*table, *Texts::*select, *Texts::*lookup, *Texts::*insert;
};
inline constexpr Element kElements[] = {
    {&Globals::TAG_TYPE_NODE, &Texts::tags_node, &Texts::select_node, &Texts::lookup_node,
     &Texts::insert_node},
    {&Globals::TAG_TYPE_LINK, &Texts::tags_link, &Texts::select_link, &Texts::lookup_link,
     &Texts::insert_link},
};

// The first element whose type constant, looked up afresh, `matches`
// (1 yes, 0 no, -1 error): the element, nullptr when none does (*failed
// false) or on an error (*failed true, an exception set).
template <class Match>
const Element *find_element(PyObject *globals, bool *failed, Match &&matches) {
    *failed = true;
    for (const Element &e : kElements) {
        Ref wanted = global(globals, G.*e.type);
        if (!wanted) return nullptr;
        int m = matches(wanted.get());
        if (m < 0) return nullptr;
        if (m) {
            *failed = false;
            return &e;
        }
    }
    *failed = false;
    return nullptr;
}

// ---------------------------------------------------------------------------
// The bodies (tags.cpp, changes.cpp, inp.cpp).

// Reads both tag tables through read_all, the node table first and the
// link table only after its rows are done, and calls visit for each row with
// the name of the row's type constant; returns the new list visit fills.
using RowVisitor = int (*)(PyObject *globals, PyObject *list, PyObject *row,
                           const Global &type_name);
PyObject *read_tables(PyObject *globals, PyObject *name, RowVisitor visit);  // tags.cpp

// The callables.
extern const FunctionDef def_get_tag_schema, def_get_tags, def_get_tag, def_tag_init,
    def_tag_as_dict;                                              // tags.cpp
extern const FunctionDef def_set_tag_impl, def_set_tag, def_delete_tag_by_node,
    def_delete_tag_by_link;                                       // changes.cpp
extern const FunctionDef def_inp_in_tag, def_inp_out_tag;         // inp.cpp

}  // namespace orvane
