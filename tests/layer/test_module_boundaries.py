"""No module of the package reads or writes another module's underscored attributes.

A module may use the underscored names it defines itself (its functions and classes, the
attributes its classes set or list in ``__slots__``) and a module object's private functions
(``trevane._run_native``); `x._name` on anything else reaches into another module's internals.
"""

import ast
import functools
import importlib.util
from pathlib import Path

import pytest

import zelvor

SOURCE = Path(zelvor.__file__).parent


def _private(name: str) -> bool:
    return name.startswith("_") and not name.startswith("__")


def _own_names(tree: ast.Module) -> set[str]:
    """The underscored names a module defines: its defs and classes, module and class-body
    assignments, attributes set on self/cls or on an instance made from `cls`, slots."""
    own: set[str] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef):
            own.add(node.name)
        elif isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store):
            own.add(node.id)
        elif isinstance(node, ast.Attribute) and isinstance(node.ctx, ast.Store):
            if isinstance(node.value, ast.Name) and node.value.id in ("self", "cls"):
                own.add(node.attr)
        elif isinstance(node, ast.Assign) and any(
            isinstance(t, ast.Name) and t.id == "__slots__" for t in node.targets
        ):
            own.update(
                c.value for c in ast.walk(node.value) if isinstance(c, ast.Constant) and isinstance(c.value, str)
            )
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            own.add(node.target.id)
    return {name for name in own if _private(name)}


def _module_names(tree: ast.Module) -> set[str]:
    """The names a module binds to module objects by its imports."""
    names: set[str] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            names.update((a.asname or a.name).split(".")[0] for a in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            for a in node.names:
                if importlib.util.find_spec(node.module) and _is_module(f"{node.module}.{a.name}"):
                    names.add(a.asname or a.name)
    return names


@functools.cache
def _is_module(name: str) -> bool:
    try:
        return importlib.util.find_spec(name) is not None
    except ModuleNotFoundError:  # a name inside a module that is not a package
        return False


def _root(node: ast.expr) -> ast.expr:
    while isinstance(node, ast.Attribute):
        node = node.value
    return node


def _reaches(path: Path) -> list[str]:
    tree = ast.parse(path.read_text(), str(path))
    own, modules = _own_names(tree), _module_names(tree) | {"self", "cls"}
    found = []
    for node in ast.walk(tree):
        if not (isinstance(node, ast.Attribute) and _private(node.attr)) or node.attr in own:
            continue
        root = _root(node.value)
        if isinstance(root, ast.Name) and root.id in modules:
            continue
        found.append(f"{path.relative_to(SOURCE.parent)}:{node.lineno}: {ast.unparse(node)}")
    return found


@pytest.mark.parametrize("path", sorted(SOURCE.rglob("*.py")), ids=lambda p: str(p.relative_to(SOURCE)))
def test_no_module_reaches_into_anothers_private_attributes(path):
    assert _reaches(path) == []
