"""The native interface of pelmora.core.swaylen, its module globals and its import state."""

import ctypes
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import pelmora.core._testsupport as ts
import pelmora.core.swaylen as sw

EXPORTS = [
    ("entry", "PyArrayObject *"),
    ("position", "PyArrayObject *"),
    (
        "start_analysis",
        "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)",
    ),
    ("record_date", "void (int)"),
    ("record_entry", "void (int, double, int)"),
    ("record_exit", "void (int, int)"),
    ("end_analysis", "PyObject *(std::map<int,double>  &)"),
]

_capsule_get_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_get_name.restype = ctypes.c_char_p
_capsule_get_name.argtypes = [ctypes.py_object]
_capsule_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_get_pointer.restype = ctypes.c_void_p
_capsule_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_capsule_is_valid = ctypes.pythonapi.PyCapsule_IsValid
_capsule_is_valid.restype = ctypes.c_int
_capsule_is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]


def capsule_name(cap) -> str:
    return _capsule_get_name(cap).decode()


def variable_target(name: str) -> int:
    """Address of the object the published variable currently points to."""
    cap = sw.__native_api__[name]
    address = _capsule_get_pointer(cap, capsule_name(cap).encode())
    return ctypes.c_void_p.from_address(address).value


def run_python(code: str) -> str:
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# --- the capsule table ---------------------------------------------------------------


def test_capsule_table_lists_the_seven_exports_in_publication_order():
    table = sw.__native_api__
    assert isinstance(table, dict)
    assert list(table) == [name for name, _ in EXPORTS]


@pytest.mark.parametrize(("name", "signature"), EXPORTS)
def test_capsule_name_is_the_exact_signature_string(name, signature):
    cap = sw.__native_api__[name]
    assert type(cap).__name__ == "PyCapsule"
    assert capsule_name(cap) == signature
    assert _capsule_is_valid(cap, signature.encode()) == 1
    assert _capsule_get_pointer(cap, signature.encode())


@pytest.mark.parametrize(
    ("name", "near_miss"),
    [
        # The blanks are part of the signature: a binder that drops them must not match.
        ("start_analysis",
         "void (PyArrayObject *, PyArrayObject *, std::map<int,int>, int, double, double, int, int)"),
        ("end_analysis", "PyObject *(std::map<int,double> &)"),
        ("entry", "PyArrayObject*"),
        ("record_exit", "void (int,int)"),
    ],
)
def test_signature_comparison_is_character_exact(name, near_miss):
    assert _capsule_is_valid(sw.__native_api__[name], near_miss.encode()) == 0


def test_variable_capsules_follow_every_reassignment_of_the_arrays():
    price = np.ones((3, 2))
    ts.start_analysis(price, price, {}, 2, 0.0, 0.0, 1, 1)
    entry, position = ts.excursion_state()
    assert variable_target("entry") == id(entry)
    assert variable_target("position") == id(position)

    ts.start_analysis(price, price, {}, 5, 0.0, 0.0, 1, 1)
    new_entry, new_position = ts.excursion_state()
    assert new_entry is not entry and new_position is not position
    assert variable_target("entry") == id(new_entry)
    assert variable_target("position") == id(new_position)
    assert new_entry.shape == (5,) and new_position.shape == (5,)


def test_published_arrays_are_the_ones_record_entry_writes():
    ts.start_analysis(np.ones((4, 1)), np.ones((4, 1)), {0: 0}, 3, 0.0, 0.0, 1, 1)
    ts.record_date(2)
    ts.record_entry(1, -4.5, 1)
    entry, position = ts.excursion_state()
    assert entry.tolist() == [0, 2, 0]
    assert position.tolist() == [0.0, -4.5, 0.0]


# --- module globals ------------------------------------------------------------------


def test_org_np_is_numpy():
    assert sw.org_np is np


def test_module_globals_are_created_in_import_order():
    names = [n for n in vars(sw) if not (n.startswith("__") and n != "__native_api__")]
    assert names == ["__native_api__", "org_np", "trades", "trade_positions", "swaylen"]


@pytest.mark.parametrize("name", ["trades", "trade_positions", "swaylen"])
def test_result_globals_are_plain_lists(name):
    assert type(getattr(sw, name)) is list


def test_analysis_internals_are_not_python_attributes():
    for name in ("swaylen_analysis", "start_analysis", "record_exit", "price", "close",
                 "entry", "position", "entry_trasnaction", "pos2price", "window", "date"):
        assert not hasattr(sw, name), name


# --- import state (fresh interpreters) ---------------------------------------------------


def test_import_state_before_any_run():
    out = run_python(
        """
        import pelmora.core.swaylen as sw
        import pelmora.core._testsupport as ts
        entry, position = ts.excursion_state()
        print(sw.trades, sw.trade_positions, sw.swaylen)
        print(entry.shape, entry.dtype, position.shape, position.dtype)
        print(ts.end_analysis({}))
        for call in (lambda: ts.record_exit(0, 0), lambda: ts.record_entry(0, 1.0, 0)):
            try:
                call()
            except IndexError as e:
                print("IndexError", e)
        print(sw.trades, sw.trade_positions, sw.swaylen)
        """
    )
    assert out.splitlines() == [
        "[] [] []",
        "(0,) int64 (0,) float64",
        "None",
        "IndexError index 0 is out of bounds for axis 0 with size 0",
        "IndexError index 0 is out of bounds for axis 0 with size 0",
        "[] [] []",
    ]


def test_import_state_matrices_are_empty_two_dimensional():
    # Before the first start_analysis the matrices have no rows: a trade that
    # enters on row 0 already reads past the data. The per-stock arrays are
    # grown in place so that the read is reached at all.
    out = run_python(
        """
        import numpy as np
        import pelmora.core.swaylen as sw
        import pelmora.core._testsupport as ts
        entry, position = ts.excursion_state()
        entry.resize(1, refcheck=False)
        position.resize(1, refcheck=False)
        try:
            ts.record_exit(0, 0)
        except IndexError as e:
            print("IndexError", e)
        print(len(sw.trades), len(sw.trade_positions), len(sw.swaylen))
        """
    )
    assert out.splitlines() == [
        "IndexError index 0 is out of bounds for axis 0 with size 0",
        "1 1 0",
    ]


def test_second_interpreter_import_is_refused(tmp_path):
    pytest.importorskip("_testcapi")
    result = tmp_path / "result.txt"
    out = run_python(
        f"""
        import _testcapi
        import pelmora.core.swaylen
        code = '''
        try:
            import pelmora.core.swaylen
            r = "imported"
        except ImportError as e:
            r = "ImportError: " + str(e)
        open({str(result)!r}, "w").write(r)
        '''
        import textwrap
        print(_testcapi.run_in_subinterp(textwrap.dedent(code)))
        """
    )
    assert out.strip() == "0"
    assert result.read_text() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )
