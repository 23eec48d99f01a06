"""The shape of the tree, checked: the database package without a circle,
the tag tool's files within 400 lines and its command lines parsed at the
commands, and a benchmark suite no larger than the module it measures."""

import ast
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DATABASE = ROOT / "api" / "database"
TAGTOOL = ROOT / "tagtool"
MAX_LINES = 400

CODE_SUFFIXES = {".py", ".c", ".h", ".cpp", ".hpp", ".mk"}
HASH_COMMENTS = {".py", ".mk"}
SKIPPED = {"build", "__pycache__"}


def lines_of_code(folder):
    """The lines of code of ``folder``'s sources (.py, .c, .h, .cpp, .hpp, .mk,
    recursively, without build/ and __pycache__/): every line that is neither
    blank nor only a comment (``#`` in Python and make, ``//`` and the lines of
    ``/* ... */`` blocks in C and C++).  Docstrings are code."""
    total = 0
    for path in folder.rglob("*"):
        if path.suffix not in CODE_SUFFIXES or SKIPPED.intersection(path.relative_to(folder).parts):
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        if path.suffix in HASH_COMMENTS:
            total += sum(1 for line in text.splitlines() if line.strip() and not line.lstrip().startswith("#"))
        else:
            total += _c_lines(text)
    return total


def _c_lines(text):
    count, in_block = 0, False
    for line in text.splitlines():
        rest = line.strip()
        while rest:
            if in_block:
                end = rest.find("*/")
                if end < 0:
                    rest = ""
                else:
                    in_block, rest = False, rest[end + 2:].strip()
            elif rest.startswith("//"):
                rest = ""
            elif rest.startswith("/*"):
                in_block, rest = True, rest[2:]
            else:
                count += 1
                in_block = _opens_block(rest)
                break
    return count


def _opens_block(code):
    """Whether a line of code leaves a ``/*`` comment open at its end."""
    opened = code.rfind("/*")
    return opened >= 0 and code.find("*/", opened) < 0 and "//" not in code[:opened]


def package_imports(sources):
    """For modules of one package, given as {module: source}: which sibling
    modules each imports (anywhere, also inside functions), and every
    underscored name one takes from another, as "module: text" lines."""
    graph, private = {}, []
    package = "api.database"
    for module, source in sources.items():
        graph[module] = set()
        siblings = {}      # local name -> sibling module it stands for
        for node in ast.walk(ast.parse(source)):
            if isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level == 0 and base.startswith(package + "."):
                    base = base[len(package) + 1:]
                elif node.level == 0 and base == package:
                    base = ""
                elif node.level != 1:
                    continue
                if base:
                    graph[module].add(base.split(".")[0])
                    private += [f"{module}: from {base} import {a.name}" for a in node.names
                                if a.name.startswith("_")]
                    continue
                for alias in node.names:
                    if alias.name in sources:
                        graph[module].add(alias.name)
                        siblings[alias.asname or alias.name] = alias.name
                    else:
                        graph[module].add("__init__")
                        if alias.name.startswith("_"):
                            private.append(f"{module}: from . import {alias.name}")
            elif isinstance(node, ast.Import):
                for alias in node.names:
                    if alias.name.startswith(package + "."):
                        graph[module].add(alias.name.split(".")[2])
        for node in ast.walk(ast.parse(source)):
            if (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
                    and node.value.id in siblings and node.attr.startswith("_")
                    and not node.attr.startswith("__")):
                private.append(f"{module}: {node.value.id}.{node.attr}")
        graph[module].discard(module)
    return graph, private


def circles(graph):
    """The import circles of ``graph``, each as "a -> b -> a"."""
    found, done = [], set()

    def visit(module, path):
        if module in path:
            found.append(" -> ".join(path[path.index(module):] + [module]))
            return
        if module in done:
            return
        for other in sorted(graph.get(module, ())):
            visit(other, path + [module])
        done.add(module)
    for module in sorted(graph):
        visit(module, [])
    return found


def test_the_import_checker_sees_a_lazy_circle_and_private_names():
    graph, private = package_imports({
        "store": "from .sqlite import Files\n",
        "sqlite": "from . import store\ndef f():\n    from .store import _cache\n    return store._lock\n",
        "journal": "from api.database.store import check\n",
    })
    assert circles(graph) == ["store -> sqlite -> store"]
    assert private == ["sqlite: from store import _cache", "sqlite: store._lock"]


def test_the_database_package_has_no_circle_and_no_private_import():
    sources = {path.stem: path.read_text(encoding="utf-8") for path in DATABASE.glob("*.py")}
    assert {"__init__", "store", "connections", "sqlite_files", "postgres"} <= set(sources)
    graph, private = package_imports(sources)
    assert not private, "underscored names taken from another module: " + "; ".join(private)
    assert not circles(graph), "import circles: " + "; ".join(circles(graph))


def test_no_file_of_the_tag_tool_is_over_400_lines():
    lengths = {path.relative_to(ROOT).as_posix(): len(path.read_bytes().splitlines())
               for path in TAGTOOL.rglob("*.py")}
    long = [f"{path} ({n})" for path, n in sorted(lengths.items()) if n > MAX_LINES]
    assert not long, f"over {MAX_LINES} lines: " + ", ".join(long)


@pytest.mark.parametrize("source, expected", [
    ("x = 1\n\n# note\n    # indented note\n'''doc\n\n# in a docstring\n'''\n", 3),
    ("int a;\n// note\n/* one\n   two */\nint b; /* tail\n  more */\n/* a */ int c;\n", 3),
])
def test_the_line_counter(tmp_path, source, expected):
    (tmp_path / ("a.py" if source.startswith("x") else "a.cpp")).write_text(source)
    (tmp_path / "build").mkdir()
    (tmp_path / "build" / "skipped.py").write_text("x = 1\n")
    (tmp_path / "notes.txt").write_text("words\n")
    assert lines_of_code(tmp_path) == expected


def test_the_benchmarks_hold_no_more_code_than_the_module():
    bench, src = lines_of_code(ROOT / "bench"), lines_of_code(ROOT / "src")
    assert bench <= src, f"bench/ holds {bench} lines of code, src/ {src}"


def test_the_command_line_namespace_stays_at_the_commands():
    # A parameter named ``args`` is an argparse namespace here: only the
    # commands (cmd_*) and cli.py take one; the layers under them take values.
    found = []
    for path in sorted(TAGTOOL.rglob("*.py")):
        if path.name == "cli.py":
            continue
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and not node.name.startswith("cmd_"):
                params = node.args.posonlyargs + node.args.args + node.args.kwonlyargs
                if any(p.arg == "args" for p in params):
                    found.append(f"{path.name}:{node.lineno} {node.name}")
    assert not found, "functions taking the namespace below the commands: " + ", ".join(found)
