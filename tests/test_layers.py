"""The Python package's layers: its modules import one another without a cycle, and none grows
past the length one reader can hold. Read from the source tree, not the installed package, so
that the check runs on what is committed."""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "src" / "velmora"
MAX_LINES = 600


def module_paths(root: Path) -> dict[str, Path]:
    """Each module's dotted name inside the package (a package by its own name) and its file."""
    found = {}
    for path in sorted(root.rglob("*.py")):
        name = ".".join(path.relative_to(root).with_suffix("").parts)
        found[name.removesuffix(".__init__") if name != "__init__" else name] = path
    return found


def _run_time_tree(source: str) -> ast.Module:
    """The module's syntax tree without the bodies of ``if TYPE_CHECKING:``, which import nothing at run time."""
    tree = ast.parse(source)
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and (
            (isinstance(node.test, ast.Name) and node.test.id == "TYPE_CHECKING")
            or (isinstance(node.test, ast.Attribute) and node.test.attr == "TYPE_CHECKING")
        ):
            node.body = [ast.Pass()]
    return tree


def imports_of(name: str, path: Path, modules: dict[str, Path], package: str) -> set[str]:
    """The package's modules that module ``name`` imports at run time, wherever in it the import stands."""
    is_package = path.name == "__init__.py"
    found: set[str] = set()
    for node in ast.walk(_run_time_tree(path.read_text(encoding="utf-8"))):
        targets: list[str] = []
        if isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parts = [] if name == "__init__" else name.split(".")
                keep = len(parts) - node.level + (1 if is_package else 0)
                base = ".".join(parts[:keep] + ([base] if base else []))
            elif base == package or base.startswith(package + "."):
                base = base[len(package) + 1 :]
            else:
                continue
            for alias in node.names:
                full = f"{base}.{alias.name}".strip(".")
                targets.append(full if full in modules else base)
        elif isinstance(node, ast.Import):
            targets = [a.name[len(package) + 1 :] for a in node.names if a.name.startswith(package + ".")]
        found |= {t for t in targets if t in modules and t not in (name, "__init__")}
    return found


def import_graph(root: Path) -> dict[str, set[str]]:
    modules = module_paths(root)
    return {name: imports_of(name, path, modules, root.name) for name, path in modules.items()}


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """One cycle through each back edge a depth-first walk meets (none where the graph is layered)."""
    found: list[list[str]] = []
    state: dict[str, int] = {}
    stack: list[str] = []

    def visit(node: str) -> None:
        state[node] = 1
        stack.append(node)
        for target in sorted(graph[node]):
            if state.get(target) == 1:
                found.append(stack[stack.index(target) :] + [target])
            elif target not in state:
                visit(target)
        stack.pop()
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return found


# Small packages written out, each with the cycles the check must report: a check that always
# passes, or that misses an import form, fails here before it is trusted on velmora itself.
CASES = {
    "layered": ({"a.py": "from pkg import b\n", "b.py": "import pkg.c\n", "c.py": ""}, 0),
    "absolute": ({"a.py": "from pkg.b import x\n", "b.py": "import pkg.a\n"}, 1),
    "relative": ({"a.py": "from .b import x\n", "b.py": "from . import a\n"}, 1),
    "inside a function": ({"a.py": "def f():\n    from pkg import b\n", "b.py": "from pkg import a\n"}, 1),
    "type checking only": (
        {
            "a.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from pkg import b\n",
            "b.py": "from pkg import a\n",
        },
        0,
    ),
    "subpackage": (
        {"a.py": "from pkg.sub.c import x\n", "sub/__init__.py": "", "sub/c.py": "from ..a import y\n"},
        1,
    ),
    "three long": ({"a.py": "from pkg import b\n", "b.py": "from pkg import c\n", "c.py": "from pkg import a\n"}, 1),
}


@pytest.mark.parametrize("files, expected", CASES.values(), ids=list(CASES))
def test_the_check_finds_each_kind_of_cycle(tmp_path, files, expected):
    root = tmp_path / "pkg"
    for name, text in {"__init__.py": "", **files}.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    assert len(cycles(import_graph(root))) == expected


def test_no_cycle_among_the_modules():
    assert cycles(import_graph(PACKAGE)) == []


@pytest.mark.parametrize("name", sorted(module_paths(PACKAGE)))
def test_module_length(name):
    path = module_paths(PACKAGE)[name]
    with path.open(encoding="utf-8") as text:
        lines = sum(1 for _ in text)
    assert lines <= MAX_LINES, f"{path.relative_to(PACKAGE.parent)}: {lines} lines (at most {MAX_LINES})"
