"""Loading pelmora.core.runvane: its binding to the excursion module, its state
right after import, and the import errors.

The import state is checked in a fresh interpreter: within the test session
other tests run backtests that rewrite the module flags and the report.
"""

import importlib.util
import json
import subprocess
import sys
import textwrap

import pytest

from pelmora.core import runvane as rv


def run_python(code):
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


FRESH_STATE = r"""
    import datetime, json, inspect
    import numpy
    import pelmora.core.runvane as rv
    import pelmora.core.swaylen as sw
    names = [k for k in vars(rv) if not k.startswith("__")]
    functions = ["get_stock_operations", "normalize_weight", "ioft", "backtest_",
                 "get_trade_stocks"]
    params = inspect.signature(rv.backtest_).parameters.values()
    print(json.dumps({
        "retain": repr(rv.RETAIN_COST_WHEN_REBALANCE),
        "resample": repr(rv.RESAMPLE),
        "operations": repr(rv.get_stock_operations()),
        "trade_rows": repr(rv.get_trade_stocks(numpy.array([], dtype=object),
                                               numpy.array([], dtype=numpy.int64), False)),
        "names": names,
        "modules": [getattr(rv, f).__module__ for f in functions],
        "org_np": rv.org_np is numpy,
        "swaylen": rv.swaylen is sw,
        "datetime": rv.datetime is datetime,
        "lists": [sw.trades, sw.trade_positions, sw.swaylen],
        "defaults": [repr(p.default) for p in params if p.default is not p.empty],
    }))
"""


@pytest.fixture(scope="module")
def fresh_state():
    return run_python(FRESH_STATE)


def test_flags_right_after_import(fresh_state):
    assert fresh_state["retain"] == "False"
    assert fresh_state["resample"] == "None"


def test_report_right_after_import(fresh_state):
    assert fresh_state["operations"] == "{}"
    assert fresh_state["trade_rows"] == "([], {})"
    assert fresh_state["lists"] == [[], [], []]


def test_module_names_in_creation_order(fresh_state):
    assert fresh_state["names"] == [
        "org_np", "swaylen", "datetime", "RETAIN_COST_WHEN_REBALANCE", "RESAMPLE",
        "get_stock_operations", "normalize_weight", "ioft", "backtest_", "get_trade_stocks",
    ]


def test_imported_modules(fresh_state):
    assert fresh_state["org_np"] and fresh_state["swaylen"] and fresh_state["datetime"]


def test_functions_belong_to_the_engine_module(fresh_state):
    assert fresh_state["modules"] == ["pelmora.core.runvane"] * 5


def test_backtest_defaults(fresh_state):
    assert fresh_state["defaults"] == [
        "0.001425", "0.003", "1.0", "inf", "inf", "0.0", "False", "1.0", "False", "True", "0",
        "1", "True", "None",
    ]


def test_stock_operations_is_not_a_module_attribute():
    assert not hasattr(rv, "stock_operations")
    assert type(rv.get_stock_operations()) is dict


# The engine is imported while the excursion module's capsule table has been
# tampered with. The package's __init__ would import the engine first, so the
# script loads `pelmora` as a bare namespace and imports the two modules itself.
TAMPER = r"""
    import ctypes, importlib.util, json, sys, types

    found = importlib.util.find_spec("pelmora")
    package = types.ModuleType("pelmora")
    package.__path__ = list(found.submodule_search_locations)
    package.__spec__ = found
    sys.modules["pelmora"] = package

    import numpy
    import pelmora.core.swaylen as sw

    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    keep = []  # a capsule keeps a pointer to its name, not a copy

    def capsule(name):
        raw = name.encode()
        keep.append(raw)
        return new_capsule(1, raw, None)

    table = sw.__native_api__
    pristine = dict(table)
    results = {}
    for case, (name, replacement, block_datetime) in CASES.items():
        table.clear()
        table.update(pristine)
        if replacement is None:
            del table[name]
        elif replacement != "keep":
            table[name] = capsule(replacement)
        saved_datetime = sys.modules.get("datetime")
        if block_datetime:
            sys.modules["datetime"] = None
        try:
            import pelmora.core.runvane
            results[case] = ["ok"]
        except BaseException as e:
            results[case] = [type(e).__name__, str(e)]
        finally:
            sys.modules.pop("pelmora.core.runvane", None)
            sys.modules["datetime"] = saved_datetime
    table.clear()
    table.update(pristine)
    import pelmora.core.runvane as rv
    results["after"] = [repr(rv.RESAMPLE), repr(rv.get_stock_operations())]
    print(json.dumps(results))
"""

START_SIG = ("void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, "
             "int, int)")

CASES = {
    "missing function": ("record_exit", None, False),
    "missing variable": ("entry", None, False),
    "wrong function signature": ("record_exit", "void (int)", False),
    "wrong variable signature": ("position", "PyObject *", False),
    "one blank less": ("start_analysis", START_SIG.replace("> ,", ">,"), False),
    "two blanks before the ampersand": (
        "end_analysis", "PyObject *(std::map<int,double> &)", False),
    "empty signature": ("record_date", "", False),
    "binding comes before the imports": ("end_analysis", None, True),
    "datetime import fails": ("entry", "keep", True),
}

EXPECTED = {
    "missing function": [
        "ImportError", "pelmora.core.swaylen does not export expected C function record_exit"],
    "missing variable": [
        "ImportError", "pelmora.core.swaylen does not export expected C variable entry"],
    "wrong function signature": [
        "TypeError",
        "C function pelmora.core.swaylen.record_exit has wrong signature "
        "(expected void (int, int), got void (int))"],
    "wrong variable signature": [
        "TypeError",
        "C variable pelmora.core.swaylen.position has wrong signature "
        "(expected PyArrayObject *, got PyObject *)"],
    "one blank less": [
        "TypeError",
        f"C function pelmora.core.swaylen.start_analysis has wrong signature (expected "
        f"{START_SIG}, got {START_SIG.replace('> ,', '>,')})"],
    "two blanks before the ampersand": [
        "TypeError",
        "C function pelmora.core.swaylen.end_analysis has wrong signature (expected "
        "PyObject *(std::map<int,double>  &), got PyObject *(std::map<int,double> &))"],
    "empty signature": [
        "TypeError",
        "C function pelmora.core.swaylen.record_date has wrong signature "
        "(expected void (int), got )"],
    "binding comes before the imports": [
        "ImportError", "pelmora.core.swaylen does not export expected C function end_analysis"],
    "datetime import fails": [
        "ModuleNotFoundError", "import of datetime halted; None in sys.modules"],
}


@pytest.fixture(scope="module")
def tampered():
    return run_python(f"CASES = {CASES!r}\n" + textwrap.dedent(TAMPER))


@pytest.mark.parametrize("case", sorted(CASES))
def test_import_errors(tampered, case):
    assert tampered[case] == EXPECTED[case]


def test_import_succeeds_once_the_table_is_restored(tampered):
    assert tampered["after"] == ["None", "{}"]


@pytest.mark.skipif(importlib.util.find_spec("_xxsubinterpreters") is None,
                    reason="needs the interpreter's private sub-interpreter module")
def test_second_interpreter_is_refused():
    result = run_python(r"""
        import json
        import pelmora.core.runvane
        import _xxsubinterpreters as interpreters
        messages = []
        interp = interpreters.create()
        for module in ["pelmora.core.runvane", "pelmora.core.swaylen"]:
            try:
                interpreters.run_string(interp, "import " + module)
                messages.append("imported")
            except interpreters.RunFailedError as e:
                messages.append(str(e))
        interpreters.destroy(interp)
        print(json.dumps(messages))
    """)
    text = ("ImportError: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.")
    assert [m.replace("<class 'ImportError'>", "ImportError") for m in result] == [text, text]
