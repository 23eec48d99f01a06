"""The module frame: loading and registration (in fresh interpreters over a
package folder with a stand-in database module), the function objects, the
calling rules every callable shares, and the lookup of module globals."""

import builtins
import collections
import copy
import ctypes
import functools
import glob
import inspect
import os
import pickle
import pydoc
import re
import shutil
import subprocess
import sys
import textwrap
import types
import typing
import weakref

import pytest

import api.orvane as orvane
from helpers import IMPLS

SO = orvane.__file__

# name, parameters, type rule per parameter (S: exactly str, D: exactly dict,
# A: anything), annotations in order, other local names, first line.
Fn = collections.namedtuple("Fn", "qualname params kinds annotations local_names first_line")
FUNCTIONS = [
    Fn("get_tag_schema", ("name",), "S", {"name": "str", "return": "dict[str, dict[str, Any]]"}, (), 7),
    Fn("get_tags", ("name",), "S", {"name": "str", "return": "list[dict[str, Any]]"},
       ("results", "rows", "row", "tag"), 13),
    Fn("get_tag", ("name", "t_type", "id"), "SSS",
       {"name": "str", "t_type": "str", "id": "str", "return": "dict[str, Any]"}, ("t", "d"), 26),
    Fn("Tag.__init__", ("self", "input"), "AD", {"input": "dict[str, Any]", "return": "None"}, (), 42),
    Fn("Tag.as_dict", ("self",), "A", {"return": "dict[str, Any]"}, (), 53),
    Fn("_set_tag", ("name", "cs"), "SA", {"name": "str", "cs": "ChangeSet", "return": "DbChangeSet"},
       ("old", "raw_new", "new_dict", "schema", "key", "value", "new", "table", "redo_sql",
        "undo_sql", "redo_cs", "undo_cs"), 57),
    Fn("set_tag", ("name", "cs"), "SA", {"name": "str", "cs": "ChangeSet", "return": "ChangeSet"}, (), 90),
    Fn("inp_in_tag", ("line",), "S", {"line": "str", "return": "str"},
       ("tokens", "num", "has_desc", "num_without_desc", "t_type", "id", "tag"), 96),
    Fn("inp_out_tag", ("name",), "S", {"name": "str", "return": "list[str]"},
       ("lines", "objs", "obj", "t_type", "id", "tag"), 114),
    Fn("delete_tag_by_node", ("name", "node"), "SS", {"name": "str", "node": "str", "return": "ChangeSet"},
       ("row",), 131),
    Fn("delete_tag_by_link", ("name", "link"), "SS", {"name": "str", "link": "str", "return": "ChangeSet"},
       ("row",), 138),
]
IDS = [f.qualname for f in FUNCTIONS]
GOOD = {"S": "net", "D": {"t_type": "NODE", "id": "J1"}, "A": object()}
BAD = {"S": [(None, "NoneType"), (5, "int"), (b"x", "bytes")],
       "D": [(None, "NoneType"), ([], "list"), (collections.OrderedDict(), "collections.OrderedDict")]}
GLOBALS = ["Any", "ChangeSet", "execute_command", "try_read", "read_all", "DbChangeSet", "g_update_prefix",
           "TAG_TYPE_NODE", "TAG_TYPE_LINK", "get_tag_schema", "get_tags", "get_tag", "Tag", "_set_tag",
           "set_tag", "inp_in_tag", "inp_out_tag", "delete_tag_by_node", "delete_tag_by_link"]
INTERPRETER = "Interpreter change detected - this module can only be loaded into one interpreter per process."


class Text(str):
    pass


def function(fn):
    obj = orvane
    for part in fn.qualname.split("."):
        obj = getattr(obj, part)
    return obj


def count_error(fn, given):
    n = len(fn.params)
    name = fn.qualname.split(".")[-1]
    return f"{name}() takes exactly {n} positional argument{'s' * (n != 1)} ({given} given)"


def raises(message, call, exc=TypeError):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Fresh interpreters over a package folder: api/ holds the built module, an
# empty __init__.py and a stand-in for the database module.

DOUBLE = """
class ChangeSet:
    def __init__(self, *records): self.operations = list(records)
class DbChangeSet:
    def __init__(self, *parts): self.parts = parts
def execute_command(name, cs): return cs
def try_read(name, sql): return None
def read_all(name, sql): return []
g_update_prefix = {"operation": "update"}
"""
# Seen by the module while its exec step runs: the module object at that moment.
SEEN = "import builtins, sys; builtins.seen = sys.modules.get('api.orvane')\n"


def package(root, database=DOUBLE, so_name=os.path.basename(SO), **files):
    (root / "api").mkdir(exist_ok=True)
    (root / "api" / "__init__.py").write_text("")
    (root / "api" / "database.py").write_text(textwrap.dedent(database))
    if not (root / "api" / so_name).exists():
        (root / "api" / so_name).symlink_to(SO)
    for name, text in files.items():
        (root / name).write_text(textwrap.dedent(text))
    return root


def run(root, code, python=sys.executable, flags=("-W", "error")):
    env = dict(os.environ, PYTHONPATH=str(root))
    code = textwrap.dedent(code) + "\nprint('done')"
    done = subprocess.run([python, "-B", *flags, "-c", code], cwd=root, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().endswith("done"), done.stdout + done.stderr


def python313():
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    except OSError:
        root = os.path.expanduser("~/.pyenv")
    found = glob.glob(f"{root}/versions/3.13.*/bin/python3.13") + [shutil.which("python3.13")]
    if not any(found):
        pytest.skip("no Python 3.13 to load the module into")
    return next(filter(None, found))


class TestLoading:
    def test_globals_after_a_fresh_import(self, tmp_path):
        run(package(tmp_path), f"""
            import api.orvane as m, api.database as db, typing
            names = list(vars(m))
            first = names.index("Any")
            assert all(k.startswith("__") for k in names[:first]), names
            assert names[first:] == {GLOBALS!r}, names
            assert m.__name__ == "api.orvane" and m.__package__ == "api" and m.__doc__ is None
            assert m.__file__ == m.__spec__.origin and not hasattr(m, "__path__")
            assert not hasattr(m, "__all__")
            assert m.Any is typing.Any
            for k in {GLOBALS[1:7]!r}:
                assert getattr(m, k) is getattr(db, k), k
            assert (m.TAG_TYPE_NODE, m.TAG_TYPE_LINK) == ("NODE", "LINK")
            Tag = m.Tag
            assert type(Tag) is type and Tag.__bases__ == (object,) and Tag.__doc__ is None
            assert (Tag.__module__, Tag.__qualname__) == ("api.orvane", "Tag")
            assert list(vars(Tag)) == ["__module__", "__init__", "as_dict", "__dict__", "__weakref__",
                                       "__doc__"]
        """)

    def test_second_import_and_reload_run_nothing_again(self, tmp_path):
        run(package(tmp_path), """
            import importlib, sys
            import api.orvane as m
            m.TAG_TYPE_NODE = "rebound"
            del m.get_tags
            del sys.modules["api.orvane"], sys.modules["api.database"]
            import api.orvane as again
            assert again is m and sys.modules["api.orvane"] is m
            assert importlib.reload(m) is m
            assert m.TAG_TYPE_NODE == "rebound" and not hasattr(m, "get_tags")
            assert "api.database" not in sys.modules   # the imports did not run again
        """)

    def test_a_missing_attribute_is_taken_from_the_submodule(self, tmp_path):
        database = DOUBLE.replace("g_update_prefix =", "_prefix =") + textwrap.dedent("""
            import sys, types
            sys.modules[__name__ + ".g_update_prefix"] = types.ModuleType(__name__ + ".g_update_prefix")
        """)
        run(package(tmp_path, database), """
            import sys, api.orvane as m
            assert m.g_update_prefix is sys.modules["api.database.g_update_prefix"]
        """)

    # Each name is taken in order and bound before the next is asked for.
    LOGGING = SEEN + textwrap.dedent("""
        log = []
        def __getattr__(name):
            if name.startswith("__"):
                raise AttributeError(name)
            log.append((name, [k for k in vars(sys.modules["api.orvane"]) if not k.startswith("__")]))
            if name == "g_update_prefix":
                raise AttributeError(name)
            return name.upper()
    """)
    ORDER = [(k, GLOBALS[:i + 1]) for i, k in enumerate(GLOBALS[1:7])]
    FAILURES = {
        "database lacks g_update_prefix": (LOGGING, {}, "ImportError", "cannot import name g_update_prefix",
                                           f"assert sys.modules['api.database'].log == {ORDER!r}"),
        "typing lacks Any": (DOUBLE, {"typing.py": SEEN}, "ImportError", "cannot import name Any", ""),
        "database fails to import": (SEEN + "raise LookupError('no network here')", {},
                                     "LookupError", "no network here", ""),
    }

    @pytest.mark.parametrize("database, files, exc, message, check", FAILURES.values(), ids=FAILURES.keys())
    def test_failed_exec_forgets_the_module_and_the_next_import_starts_over(self, tmp_path, database,
                                                                            files, exc, message, check):
        root = package(tmp_path, database, **files)
        run(root, f"""
            import builtins, os, sys
            try:
                import api.orvane
            except {exc} as e:
                assert str(e) == {message!r}, repr(e)
            else:
                raise AssertionError("imported")
            {check}
            assert "api.orvane" not in sys.modules and builtins.seen is not None
            failed = builtins.seen
            with open("api/database.py", "w") as f:
                f.write({DOUBLE!r})
            if os.path.exists("typing.py"):
                os.remove("typing.py")
            for k in ("api.database", "typing"):
                sys.modules.pop(k, None)
            import api.orvane as m
            assert m is not failed and callable(m.get_tag) and m.g_update_prefix == {{"operation": "update"}}
            assert not hasattr(failed, "TAG_TYPE_NODE")
        """)

    def test_without_a_parent_package_the_relative_import_fails(self, tmp_path):
        package(tmp_path)
        (tmp_path / os.path.basename(SO)).symlink_to(SO)
        run(tmp_path, """
            import sys
            try:
                import orvane
            except ImportError as e:
                assert str(e) == "attempted relative import with no known parent package", e
            assert "orvane" not in sys.modules and "api.orvane" not in sys.modules
            import api.orvane                      # the next import starts over
        """)


class TestInterpreters:
    SCENARIOS = {
        "after a load": (DOUBLE, """
            import api.orvane
            refused(lambda: si.run_string(si.create(isolated=False), "import api.orvane"))
        """),
        "after a failed load": (DOUBLE.replace("g_update_prefix", "prefix"), """
            try:
                import api.orvane
            except ImportError:
                pass
            refused(lambda: si.run_string(si.create(isolated=False), "import api.orvane"))
        """),
        "the main one after another": (DOUBLE, """
            si.run_string(si.create(isolated=False), "import api.orvane")
            try:
                import api.orvane
            except ImportError as e:
                assert str(e) == MESSAGE, e
            assert "api.orvane" not in sys.modules
        """),
    }

    @pytest.mark.parametrize("database, code", SCENARIOS.values(), ids=SCENARIOS.keys())
    def test_only_one_interpreter_loads_the_module(self, tmp_path, database, code):
        run(package(tmp_path, database), textwrap.dedent(f"""
            import sys, _xxsubinterpreters as si
            MESSAGE = {INTERPRETER!r}
            def refused(call):
                try:
                    call()
                except si.RunFailedError as e:
                    assert "ImportError" in str(e) and MESSAGE in str(e), e
                else:
                    raise AssertionError("loaded twice")
        """) + textwrap.dedent(code))


class TestVersion:
    MESSAGE = "compile time Python version 3.12 of module 'api.orvane' does not match runtime version 3.13"

    def test_another_minor_version_warns_and_goes_on(self, tmp_path):
        root = package(tmp_path, so_name="orvane.cpython-313-x86_64-linux-gnu.so")
        run(root, f"""
            import sys, warnings
            try:
                import api.orvane
            except RuntimeWarning as e:
                assert str(e) == {self.MESSAGE!r}, e
            else:
                raise AssertionError("no warning")
            assert "api.orvane" not in sys.modules
            warnings.resetwarnings()
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                import api.orvane as m
            assert [(w.category, str(w.message)) for w in seen] == [(RuntimeWarning, {self.MESSAGE!r})]
            assert m.TAG_TYPE_LINK == "LINK"
        """, python=python313(), flags=("-W", "error::RuntimeWarning"))

    def test_the_built_version_does_not_warn(self, tmp_path):
        run(package(tmp_path), "import api.orvane", flags=("-W", "error"))


def test_a_second_exec_with_another_module_is_refused():
    # The exec step itself, run over a module object it did not make.
    definition = ctypes.PyDLL(SO).PyInit_orvane
    definition.restype = ctypes.c_void_p
    exec_def = ctypes.PyDLL(None).PyModule_ExecDef
    exec_def.argtypes, exec_def.restype = [ctypes.py_object, ctypes.c_void_p], ctypes.c_int
    raises("Module 'orvane' has already been imported. Re-initialisation is not supported.",
           lambda: exec_def(types.ModuleType("other"), definition()), RuntimeError)


# ---------------------------------------------------------------------------
# Function objects.

@pytest.mark.parametrize("fn", FUNCTIONS, ids=IDS)
class TestFunctionObjects:
    def test_attributes(self, fn):
        f = function(fn)
        assert (f.__name__, f.__qualname__, f.__module__) == (fn.qualname.split(".")[-1], fn.qualname, "api.orvane")
        assert f.__doc__ is None and f.__defaults__ is None and f.__kwdefaults__ is None
        assert f.__globals__ is vars(orvane)
        assert list(f.__annotations__.items()) == list(fn.annotations.items())
        assert repr(f) == f"<function {fn.qualname} at {hex(id(f))}>"
        flags = (1 << 11) | (1 << 17)   # vectorcall, method descriptor: as host functions have
        assert type(f).__flags__ & flags == types.FunctionType.__flags__ & flags == flags

    def test_code(self, fn):
        code = function(fn).__code__
        assert code.co_argcount == len(fn.params)
        assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
        assert code.co_varnames == fn.params + fn.local_names
        assert code.co_nlocals == len(code.co_varnames)
        assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == 0
        assert (code.co_name, code.co_firstlineno) == (fn.qualname.split(".")[-1], fn.first_line)

    def test_signature_and_type_hints(self, fn):
        f = function(fn)
        p = inspect.Parameter
        expected = inspect.Signature(
            [p(n, p.POSITIONAL_OR_KEYWORD, annotation=fn.annotations.get(n, p.empty)) for n in fn.params],
            return_annotation=fn.annotations["return"])
        assert inspect.signature(f) == expected
        hints = {k: eval(v, vars(orvane)) for k, v in fn.annotations.items()}
        assert typing.get_type_hints(f) == {k: type(None) if v is None else v for k, v in hints.items()}

    def test_behaves_like_a_host_function(self, fn):
        f = function(fn)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(f, protocol)) is f
        assert copy.copy(f) is f and copy.deepcopy(f) is f
        assert weakref.ref(f)() is f
        try:
            f.note = 1
            assert f.note == 1 and vars(f)["note"] == 1
        finally:
            vars(f).pop("note", None)

        @functools.wraps(f)
        def wrapper(*args):
            return f(*args)
        for attribute in ("__name__", "__qualname__", "__module__", "__doc__", "__annotations__"):
            assert getattr(wrapper, attribute) == getattr(f, attribute)
        assert wrapper.__wrapped__ is f
        assert inspect.signature(wrapper) == inspect.signature(f)


class TestBinding:
    def test_through_the_class_and_through_an_instance(self):
        Tag = orvane.Tag
        assert Tag.as_dict is vars(Tag)["as_dict"] and Tag.__init__ is vars(Tag)["__init__"]
        t = Tag({"t_type": "NODE", "id": "J1"})
        bound = t.as_dict
        assert isinstance(bound, types.MethodType) and bound.__func__ is Tag.as_dict and bound.__self__ is t
        assert bound() == Tag.as_dict(t) == {"type": "tag", "t_type": "NODE", "id": "J1", "tag": None}

    def test_introspection_of_the_class(self):
        class Tag:
            def __init__(self, input: "dict[str, Any]") -> "None":
                pass
        assert inspect.signature(orvane.Tag) == inspect.signature(Tag)
        assert inspect.signature(orvane.Tag({"t_type": "NODE", "id": "J1"}).as_dict) == inspect.Signature(
            return_annotation="dict[str, Any]")
        doc = pydoc.render_doc(orvane, renderer=pydoc.plaintext)
        assert "get_tag(name: 'str', t_type: 'str', id: 'str') -> 'dict[str, Any]'" in doc

    def test_any_class_binds_them(self):
        class Holder:
            schema = orvane.get_tag_schema
        raises("Argument 'name' has incorrect type (expected str, got Holder)", lambda: Holder().schema())
        assert Holder.schema("net") == orvane.get_tag_schema("net")


# ---------------------------------------------------------------------------
# Calling rules.

@pytest.fixture
def database_calls(monkeypatch):
    """Every name of the database module replaced by a recorder."""
    calls = []
    for name in ("ChangeSet", "DbChangeSet", "execute_command", "try_read", "read_all"):
        monkeypatch.setattr(orvane, name, lambda *args, _name=name: calls.append((_name, args)))
    return calls


def argument_errors(fn):
    """(args, kwargs, message) of calls that the binder refuses."""
    name, first, n = fn.qualname.split(".")[-1], fn.params[0], len(fn.params)
    good = [GOOD[k] for k in fn.kinds]
    unexpected = f"{name}() got an unexpected keyword argument 'zz'"
    yield (), {}, count_error(fn, 0)
    yield good + [1], {}, count_error(fn, n + 1)
    yield good + [1], {"zz": 1}, count_error(fn, n + 1)
    yield good[:-1], {}, count_error(fn, n - 1)
    yield good, {"zz": 1, first: 1}, unexpected             # the first offending keyword decides
    yield good, {first: 1, "zz": 1}, f"{name}() got multiple values for keyword argument '{first}'"
    yield [], {"zz": 1}, count_error(fn, 0)                 # a missing parameter is reported first
    yield good[:1], {"zz": 1}, count_error(fn, 1) if n > 1 else unexpected
    typed = [i for i, k in enumerate(fn.kinds) if k in BAD]
    for i in typed:
        subclass = (Text("x"), "Text") if fn.kinds[i] == "S" else (Dict(), "Dict")
        for bad, type_name in BAD[fn.kinds[i]] + [subclass]:
            message = wrong_type(fn, i, type_name)
            yield good[:i] + [bad] + good[i + 1:], {}, message
            yield good[:i], dict(zip(fn.params[i:], [bad] + good[i + 1:])), message
    if typed:   # only the first wrong argument is named
        yield [None if k in BAD else GOOD[k] for k in fn.kinds], {}, wrong_type(fn, typed[0], "NoneType")


def wrong_type(fn, i, type_name):
    expected = "str" if fn.kinds[i] == "S" else "dict"
    return f"Argument '{fn.params[i]}' has incorrect type (expected {expected}, got {type_name})"


class Dict(dict):
    pass


ERRORS = [pytest.param(fn, *case, id=f"{fn.qualname}-{i}")
          for fn in FUNCTIONS for i, case in enumerate(argument_errors(fn))]


class TestCallingRules:
    @pytest.mark.parametrize("fn, args, kwargs, message", ERRORS)
    def test_refused_before_any_work(self, database_calls, fn, args, kwargs, message):
        raises(message, lambda: function(fn)(*args, **kwargs))
        assert database_calls == []

    @pytest.mark.parametrize("fn, args, kwargs, message", ERRORS[::5])
    def test_refusals_keep_no_reference(self, fn, args, kwargs, message):
        f, values = function(fn), list(args) + list(kwargs.values())
        before = [sys.getrefcount(v) for v in values]
        for _ in range(200):
            with pytest.raises(TypeError):
                f(*args, **kwargs)
        assert [sys.getrefcount(v) for v in values] == before

    @pytest.mark.parametrize("call, message", [
        (lambda: orvane.Tag(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: orvane.Tag({}, {}), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda: orvane.Tag(None), "Argument 'input' has incorrect type (expected dict, got NoneType)"),
        (lambda: orvane.Tag(inpt={}), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: orvane.Tag({}, input={}), "__init__() got multiple values for keyword argument 'input'"),
        (lambda: orvane.Tag({"t_type": "NODE", "id": "J1"}).as_dict(1),
         "as_dict() takes exactly 1 positional argument (2 given)"),
        (lambda: orvane.get_tag("net", id="J1"), "get_tag() takes exactly 3 positional arguments (1 given)"),
    ])
    def test_through_the_class_and_an_instance_the_instance_counts(self, call, message):
        raises(message, call)

    def test_keywords_bind_by_text_in_any_order(self, database_calls):
        name, t_type, id = (Text("name"), "".join(["t_", "type"]), "".join(["i", "d"]))
        orvane.get_tag(**{id: "J1", name: "net", t_type: "NODE"})
        orvane.get_tag("net", **{id: "J1", t_type: "NODE"})
        sql = "select * from tags_node where id = 'J1'"
        assert database_calls == [("try_read", ("net", sql))] * 2
        assert orvane.Tag(input={"t_type": "NODE", "id": "J1"}).f_id == "'J1'"

    @pytest.mark.parametrize("cs", [None, 5, Text("cs"), Dict(), collections.OrderedDict()])
    @pytest.mark.parametrize("name", ["_set_tag", "set_tag"])
    def test_cs_takes_anything(self, name, cs):
        with pytest.raises(AttributeError, match=re.escape("object has no attribute 'operations'")):
            getattr(orvane, name)("net", cs)

    @pytest.mark.parametrize("name, args, keywords, message", [
        ("get_tag_schema", ("net",), [(1, "x")], "get_tag_schema() keywords must be strings"),
        ("get_tag_schema", (), [("name", "net"), (2, "x")], "get_tag_schema() keywords must be strings"),
        ("get_tag_schema", (), [(1, "x")], "get_tag_schema() takes exactly 1 positional argument (0 given)"),
        ("get_tag", ("net",), [("t_type", "NODE"), ("id", "J1"), ("zz", 1), (2, "x")],
         "get_tag() got an unexpected keyword argument 'zz'"),
        ("get_tag_schema", (), [("name", "net"), ("name", "net")],
         "get_tag_schema() got multiple values for keyword argument 'name'"),
    ])
    def test_keyword_names_the_interpreter_never_sends(self, name, args, keywords, message):
        vectorcall = ctypes.PyDLL(None).PyObject_Vectorcall
        vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
        vectorcall.restype = ctypes.py_object
        stack = (ctypes.py_object * 8)(*args, *(v for _, v in keywords))
        kwnames = tuple(k for k, _ in keywords)
        raises(message, lambda: vectorcall(getattr(orvane, name), stack, len(args), kwnames))


# ---------------------------------------------------------------------------
# Module globals are looked up at each use.

class TestGlobalLookups:
    def test_a_rebound_name_is_used_by_the_next_call(self, monkeypatch):
        monkeypatch.setattr(orvane, "read_all", lambda name, sql: [{"id": "J1", "tag": "a"}])
        assert orvane.get_tags("net")[0] == {"t_type": "NODE", "id": "J1", "tag": "a"}
        monkeypatch.setattr(orvane, "read_all", lambda name, sql: [])
        assert orvane.get_tags("net") == []

    def test_builtins_are_the_fallback(self, monkeypatch):
        monkeypatch.delattr(orvane, "read_all")
        monkeypatch.setattr(builtins, "read_all", lambda name, sql: [], raising=False)
        assert orvane.get_tags("net") == []

    @pytest.mark.parametrize("impl", IMPLS)
    @pytest.mark.parametrize("call, name, error", [
        (lambda m: m.get_tags("net"), "read_all", None),
        (lambda m: m.inp_out_tag("net"), "read_all", None),
        (lambda m: m.get_tag("net", "NODE", "J1"), "try_read", None),
        (lambda m: m.get_tag("net", "LINK", "P1"), "try_read", None),
        (lambda m: m.get_tag("net", "LINK", "P1"), "TAG_TYPE_NODE", None),
        (lambda m: m.get_tag("net", "LINK", "P1"), "TAG_TYPE_LINK", None),
        (lambda m: m.delete_tag_by_node("net", "J1"), "try_read", None),
        (lambda m: m.inp_in_tag("LINK P1 x"), "TAG_TYPE_NODE", None),
        # Too few words is found before any name is looked up.
        (lambda m: m.inp_in_tag("LINK P1"), "TAG_TYPE_NODE", "list index out of range"),
    ])
    def test_a_deleted_name_is_a_name_error(self, monkeypatch, impl, call, name, error):
        mod = IMPLS[impl]
        monkeypatch.setattr(mod, "read_all", lambda name, sql: [])
        monkeypatch.setattr(mod, "try_read", lambda name, sql: None)
        monkeypatch.delattr(mod, name)
        raises(error or f"name '{name}' is not defined", lambda: call(mod),
               IndexError if error else NameError)

    @pytest.mark.parametrize("change", [
        lambda g: g.update(TAG_TYPE_NODE="TANK"),
        lambda g: g.__setitem__("TAG_TYPE_NODE", "TANK"),
        lambda g: g.pop("TAG_TYPE_NODE") and g.setdefault("TAG_TYPE_NODE", "TANK"),
        lambda g: exec("TAG_TYPE_NODE = 'TANK'", g),
    ])
    def test_every_way_of_changing_the_globals_is_seen(self, monkeypatch, change):
        # A lookup made before the change must not be served after it.
        monkeypatch.setattr(orvane, "TAG_TYPE_NODE", "NODE")
        assert orvane.inp_in_tag("tank J1 a") == ""
        change(vars(orvane))
        assert orvane.inp_in_tag("tank J1 a") == "insert into tags_node (id, tag) values ('J1', 'a');"
        monkeypatch.setattr(orvane, "TAG_TYPE_NODE", "NODE")
        assert orvane.inp_in_tag("tank J1 a") == ""
