"""The package as a whole: every documented name is reachable where the documentation says and the
package face shows nothing else; the optional extras are loaded only when used, and a missing one
is named; the layout holds (the package grouped by purpose, every old path the module at its new
home, no module importing a face or an old path, imports pointing down the data's way, no circle
among the modules at import time, no module over 500 lines), read from the source, so that a
fault is found without running the import that would show it."""

from __future__ import annotations

import ast
import importlib
import re
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import pelmora

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
# The API table at the head of the docs' reference.
API_TABLE = (ROOT / "docs" / "reference" / "index.md").read_text(encoding="utf-8")
DOCUMENTED = sorted(set(
    re.findall(r"\bpelmora(?:\.\w+)+", README + API_TABLE + (pelmora.__doc__ or ""))
))
# The API table names the result's attributes as `result.x` (or `.x` after the first).
RESULT_ATTRIBUTES = sorted({
    name
    for row in API_TABLE.splitlines() if row.startswith("| `result.")
    for name in re.findall(r"`(?:result)?\.(\w+)", row.split("|")[1])
})
# The public modules of the package before it was grouped by purpose: each old path's home now
# (the old path is that module itself) and its public names, which keep working.
PUBLIC = {
    "api": ("api", "OPTION_NAMES PRICE_FIELDS BacktestOptions EngineInputs backtest prepare_inputs "
                   "rebalance_dates sweep"),
    "calendars": ("calendars", "period_end_rows resolve_calendar"),
    "datasets": ("datasets", "Market synthetic_market"),
    "frames": ("inputs.frames",
               "YAHOO_FIELDS as_pandas_inputs from_long price_mapping to_pandas_frame"),
    "inputs": ("inputs", "ARRAY_NAMES ARRAY_OPTIONS PRICE_FIELDS EngineInputs check_equity "
                         "engine_options prepare_inputs rebalance_dates"),
    "options": ("inputs.options", "OPTION_NAMES BacktestOptions make_options"),
    "plotting": ("plotting", "HEXBIN_THRESHOLD equity_figure excursion_figure plot_heatmap"),
    "report": ("report", "ROLLING_WINDOW backtest_report sweep_report worst_drawdowns"),
    "result": ("results.result", "EXCURSION_FIELDS REASONS BacktestResult RunRecord"),
    "runner": ("engine.runner", "backtest"),
    "schedule": ("inputs.schedule", "period_end_rows rebalance_dates resolve_calendar"),
    "selection": ("statistics.selection",
                  "PBO_METRICS EULER_GAMMA PBOResult deflated_sharpe_ratio effective_trials "
                  "expected_max_sharpe min_backtest_length min_track_record_length pbo "
                  "probabilistic_sharpe_ratio"),
    "signals": ("inputs.signals", "SIGNAL_NAMES SIGNAL_TEXTS weights_from_signals"),
    "stats": ("statistics.performance",
              "BENCHMARK_STAT_NAMES DAYS_PER_YEAR MONTH_NAMES STAT_NAMES VAR_LEVEL drawdown "
              "monthly_returns performance_stats"),
    "strategies": ("strategies", "momentum_weights"),
    "sweeps": ("research.sweeps", "FINGERPRINT_COLUMN KEEP WEIGHTS_COLUMN read_sweep sweep"),
    "walkforward": ("research.walkforward", "WalkForwardResult walk_forward"),
}


def _resolve(dotted: str) -> object:
    parts = dotted.split(".")
    obj: object = importlib.import_module(parts[0])
    for i, part in enumerate(parts[1:], start=2):
        try:
            obj = getattr(obj, part)
        except AttributeError:  # a submodule not imported yet (pelmora.core.journal)
            obj = importlib.import_module(".".join(parts[:i]))
    return obj


@pytest.mark.parametrize("dotted", DOCUMENTED + [f"pelmora.{n}" for n in pelmora.__all__])
def test_documented_name_resolves(dotted):
    assert _resolve(dotted) is not None


@pytest.mark.parametrize("module, home, names", [(m, *PUBLIC[m]) for m in sorted(PUBLIC)])
def test_an_old_path_is_the_module_at_its_home_with_every_name(module, home, names):
    mod = importlib.import_module(f"pelmora.{module}")
    # The same object, not a copy: private names and anything set on it are shared too.
    assert mod is importlib.import_module(f"pelmora.{home}") is getattr(pelmora, module)
    assert mod.__name__ == f"pelmora.{home}"
    assert [n for n in [*names.split(), *mod.__all__] if not hasattr(mod, n)] == []


def test_result_attributes_of_the_readme_exist():
    from pelmora.result import BacktestResult

    assert len(RESULT_ATTRIBUTES) > 10  # the table was read
    assert [n for n in RESULT_ATTRIBUTES if not hasattr(BacktestResult, n)] == []


def test_dir_shows_the_api_only():
    shown = set(dir(pelmora))
    assert {"__version__", "core", "runvane", "swaylen", *pelmora.__all__} <= shown
    names = {n for n in shown if not (n.startswith("__") and n.endswith("__"))}
    documented = {d.split(".")[1] for d in DOCUMENTED} | set(pelmora.__all__)
    own_modules = {
        n for n in names
        if isinstance(getattr(pelmora, n), types.ModuleType)
        and getattr(pelmora, n).__name__ == f"pelmora.{PUBLIC.get(n, (n,))[0]}"
    }
    # No helper of the face (typing names, importlib, the optional-import helper) and no private
    # module that importing a part of the package attaches to it.
    assert sorted(names - documented - own_modules) == []
    assert sorted(n for n in names if n.startswith("_")) == []


# --------------------------------------------------------------------------------- optional extras


@pytest.mark.parametrize(
    "blocked, code, message",
    [
        ("pandas", "pelmora.backtest(None, None)",
         "pelmora.backtest needs pandas: pip install 'pelmora[pandas]'"),
        ("pandas", "import pelmora.datasets",
         "pelmora.datasets needs pandas: pip install 'pelmora[pandas]'"),
        ("matplotlib", "r.plot()",
         "BacktestResult.plot needs matplotlib: pip install 'pelmora[plot]'"),
        ("distributed", "pelmora.sweep({'fee': [0.0]}, w, p, backend='dask')",
         "pelmora.sweep(backend='dask') needs dask[distributed]: pip install 'pelmora[sweep]'"),
        ("exchange_calendars", "pelmora.backtest(w, p, rebalance='ME', calendar='XNYS')",
         "calendar='XNYS' needs exchange-calendars: pip install 'pelmora[calendar]'"),
    ],
)
def test_a_missing_extra_is_named_in_the_import_error(blocked, code, message):
    script = textwrap.dedent(
        f"""
        import sys
        import numpy as np
        w = p = r = None
        if {blocked!r} != "pandas":
            import pandas as pd
            import pelmora
            p = pd.DataFrame(np.full((3, 1), 10.0), index=pd.bdate_range("2024-01-01", periods=3),
                             columns=["A"])
            w = p * 0 + 1.0
            r = pelmora.backtest(w, p)
        sys.modules[{blocked!r}] = None
        import pelmora
        try:
            {code}
        except ImportError as exc:
            print(exc)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == message, out.stderr


def test_importing_pelmora_loads_no_optional_dependency():
    script = (
        "import sys, pelmora; from pelmora import *; pelmora.runvane; pelmora.swaylen;"
        "print(sorted(m for m in ('pandas', 'matplotlib', 'dask', 'distributed', 'tqdm')"
        " if m in sys.modules))"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "[]", out.stderr


# ------------------------------------------------------------------------------------------ layout


PACKAGE = Path(__file__).resolve().parents[2] / "src" / "pelmora"
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


ALIASES = {f"pelmora.{old}": f"pelmora.{home}" for old, (home, _) in PUBLIC.items() if old != home}
# The top level reads as the data's way through: the face, its shared helpers, the thin faces and
# the old paths beside a package per stage. A module imports, when it is imported, only from its
# own layer or the ones before it; inputs and engine meet in one layer (the last step of the
# inputs hands them over in the engine's vocabulary, which reads the options).
LAYERS = [
    {"_checks", "_optional", "_suggest", "_version", "core"},
    {"inputs", "engine"},
    {"statistics"},
    {"results"},
    {"research"},
    {"plotting"},
    {"report"},
    {"pelmora", "api", "calendars", "datasets", "strategies", *(a.split(".")[1] for a in ALIASES)},
]
# Faces that load their names on first use: importing a name from one inside the package would
# hide an import the circle test cannot see.
LAZY_FACES = {
    module for module, tree in TREES.items()
    if any(isinstance(n, ast.FunctionDef) and n.name == "__getattr__" for n in tree.body)
}


def _layer(module: str) -> int:
    part = module.split(".")[1] if "." in module else module
    return next(i for i, layer in enumerate(LAYERS) if part in layer)


def test_the_top_level_is_the_face_its_helpers_and_a_package_per_stage():
    top = {m.split(".")[1] for m in MODULES if "." in m}
    assert sorted(top) == sorted(set().union(*LAYERS) - {"pelmora"})
    assert {m for m in MODULES if m.count(".") == 1 and MODULES[m].name == "__init__.py"} == {
        f"pelmora.{p}" for p in ("core", "inputs", "engine", "statistics", "results", "research",
                                 "plotting", "report")
    }


def test_an_old_path_is_an_alias_of_a_public_module_and_nothing_else_is():
    for alias, home in ALIASES.items():
        assert not any(part.startswith("_") for part in home.split(".")), alias
        assert f'sys.modules[__name__] = sys.modules["{home}"]' in MODULES[alias].read_text()
    aliased = [m for m in MODULES if "sys.modules[__name__]" in MODULES[m].read_text()]
    assert sorted(aliased) == sorted(ALIASES)


def test_importing_every_module_loads_each_file_once():
    script = (
        "import importlib, sys\n"
        f"for name in {sorted(MODULES)!r}:\n"
        "    importlib.import_module(name)\n"
        "loaded = {n: m for n, m in sys.modules.items() if n.split('.')[0] == 'pelmora'}\n"
        "print(sorted((n, m.__name__) for n, m in loaded.items() if n != m.__name__))\n"
        "files = [m.__file__ for m in {id(m): m for m in loaded.values()}.values()]\n"
        "print(len(files) - len(set(files)))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120)
    assert out.stdout.split("\n")[:2] == [str(sorted(ALIASES.items())), "0"], out.stderr


def test_every_import_of_pelmora_names_a_module_that_exists():
    # Old paths of private modules (pelmora._prices, pelmora.sweeps._store) are gone: a stale
    # one would fail, or load a second copy of a module through a package's old path.
    native = {_name(p) for p in PACKAGE.rglob("*.pyi")}  # the extension modules' stubs
    folders = ("src", "tests", "benchmarks", "scripts", "docs", "examples")
    pattern = re.compile(r"^\s*(?:from\s+(pelmora[\w.]*)\s+import|import\s+(pelmora[\w.]*))", re.M)
    stale = [
        f"{path.relative_to(ROOT)}: {dotted}"
        for folder in folders for path in sorted((ROOT / folder).rglob("*"))
        if path.suffix in (".py", ".md")
        for match in pattern.finditer(path.read_text(encoding="utf-8"))
        for dotted in [match.group(1) or match.group(2)]
        if dotted not in MODULES and dotted not in native
    ]
    assert stale == []


def test_the_package_imports_each_module_from_its_home():
    wrong = [
        f"{module}:{line} imports {f'{source}.{name}'.strip('.')}"
        for module, tree in TREES.items() if module != "pelmora" and module not in ALIASES
        for source, name, line in _imports(module, tree.body, top_level=False)
        if source in ALIASES or f"{source}.{name}" in ALIASES
        # From a face that loads on first use, only its submodules.
        or (source in LAZY_FACES and f"{source}.{name}" not in MODULES)
    ]
    assert wrong == []


def test_imports_point_down_the_data_s_way():
    upward = [
        f"{module}:{line} imports {target}"
        for module, tree in TREES.items()
        for source, name, line in _imports(module, tree.body, top_level=True)
        for target in [f"{source}.{name}" if f"{source}.{name}" in MODULES else source]
        if target in MODULES and _layer(target) > _layer(module)
    ]
    assert upward == []


def test_no_import_circle():
    graph: dict[str, set[str]] = {}
    for module, tree in TREES.items():
        targets = set()
        for source, name, _ in _imports(module, tree.body, top_level=True):
            submodule = f"{source}.{name}"
            target = submodule if submodule in MODULES else source
            # Importing a.b.c runs a.b's __init__ first, unless the importer is inside a.b.
            parts = target.split(".")
            targets |= {target} | {
                ".".join(parts[:i]) for i in range(1, len(parts))
                if not (module + ".").startswith(".".join(parts[:i]) + ".")
            }
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
