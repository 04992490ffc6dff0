"""The layout of the Python package: no module imports the package face, no circle among the
modules at import time, no module over 500 lines. Read from the source, so that a fault is found
without running the import that would show it."""

from __future__ import annotations

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[1] / "src" / "pelmora"
MAX_LINES = 500


def _name(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


MODULES = {_name(p): p for p in PACKAGE.rglob("*.py")}
TREES = {name: ast.parse(path.read_text(encoding="utf-8")) for name, path in MODULES.items()}
def _imports(module: str, body: list[ast.stmt], top_level: bool) -> list[tuple[str, str, int]]:
    """(imported module, name, line) of the imports in ``body``: with ``top_level``, only those
    that run when the module is imported (not in functions, nor under TYPE_CHECKING)."""
    out = []
    for node in body:
        if isinstance(node, ast.Import):
            out += [(alias.name, "", node.lineno) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            package = module if MODULES[module].name == "__init__.py" else module.rpartition(".")[0]
            for _ in range(node.level - 1):
                package = package.rpartition(".")[0]
            source = ".".join(filter(None, [package if node.level else "", node.module or ""]))
            out += [(source, alias.name, node.lineno) for alias in node.names]
        elif top_level and isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            continue
        elif top_level and isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            out += _imports(module, node.orelse, top_level)
        else:
            for field in ("body", "orelse", "finalbody", "handlers"):
                inner = getattr(node, field, [])
                if inner and isinstance(inner[0], (ast.stmt, ast.excepthandler)):
                    out += _imports(module, inner, top_level)
    return out


def test_no_module_imports_the_package_face():
    upward = [
        f"{module}:{line} imports {name or 'pelmora'} from the package face"
        for module, tree in TREES.items() if module != "pelmora"
        for source, name, line in _imports(module, tree.body, top_level=False)
        # From the package itself, only its submodules: any other name is the face's.
        if source == "pelmora" and f"pelmora.{name}" not in MODULES
    ]
    assert upward == []


def test_no_import_circle():
    graph: dict[str, set[str]] = {}
    for module, tree in TREES.items():
        targets = set()
        for source, name, _ in _imports(module, tree.body, top_level=True):
            submodule = f"{source}.{name}"
            targets.add(submodule if submodule in MODULES else source)
        graph[module] = {t for t in targets if t in MODULES}
    circles = []
    state: dict[str, int] = {}  # 1: on the current path, 2: done
    path: list[str] = []

    def visit(module: str) -> None:
        state[module] = 1
        path.append(module)
        for target in sorted(graph[module]):
            if state.get(target) == 1:
                circles.append(" -> ".join(path[path.index(target):] + [target]))
            elif target not in state:
                visit(target)
        path.pop()
        state[module] = 2

    for module in sorted(graph):
        if module not in state:
            visit(module)
    assert circles == []


def test_no_module_over_500_lines():
    sizes = {name: len(p.read_text(encoding="utf-8").splitlines()) for name, p in MODULES.items()}
    assert {name: n for name, n in sizes.items() if n > MAX_LINES} == {}
