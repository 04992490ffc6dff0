"""Fuzzing the native interface and the engine's small entries.

The excursion module's native entry points (start_analysis, record_date,
record_entry, record_exit, end_analysis), the engine's set_position, rebalance,
map_columns and validate_trade_price are reached through the private
test-support module; normalize_weight, get_trade_stocks, get_stock_operations
and ioft are called directly. Every call must end in a return or a Python
exception (never a crash, never SystemError), and the cases that must not
change anything on failure are checked for that.

Run with `pytest -m fuzz`; PELMORA_FUZZ_SCALE multiplies the example counts.
"""

from __future__ import annotations

import gc
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from pelmora.core import _testsupport as ts
from pelmora.core import runvane, swaylen
from support import INT_MAX, INT_MIN, EncodeRaises, EncodeToStr, Hostile, fuzz_settings, outcome

pytestmark = [pytest.mark.fuzz, pytest.mark.filterwarnings("ignore::RuntimeWarning")]


def failed(r) -> bool:
    return isinstance(r, BaseException)


_NAMES = (("trades", "trade_positions", "swaylen"),
          ("RETAIN_COST_WHEN_REBALANCE", "RESAMPLE", "swaylen"))
_MISSING = object()


class ModuleState:
    def __enter__(self):
        self.saved = [(m, n, getattr(m, n, _MISSING))
                      for m, names in zip((swaylen, runvane), _NAMES) for n in names]
        return self

    def __exit__(self, *exc):
        for m, n, v in self.saved:
            if v is _MISSING:
                if hasattr(m, n):
                    delattr(m, n)
            else:
                setattr(m, n, v)
        # Leave the excursion module in a small, valid state for the next test.
        ts.start_analysis(None, None, {}, 0, 0.0, 0.0, 0, 1)
        assert gc.isenabled()
        return False


# --- values ------------------------------------------------------------------------------

WEIRD_FLOATS = [math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 5e-324, 1e300, -1e300]
INTS = st.one_of(st.integers(-8, 8), st.integers(-8, 8),
                 st.sampled_from([INT_MAX, INT_MIN, 2**31, -(2**31) - 1, 2**63, 10**30]))
small_ints = st.integers(-4, 10)
FLOATS = st.one_of(st.floats(-2.0, 2.0), st.floats(allow_nan=True, allow_infinity=True),
                   st.sampled_from(WEIRD_FLOATS))


class FloatRaises:
    def __float__(self):
        raise Hostile("float")


class IndexRaises:
    def __index__(self):
        raise Hostile("index")


ODD_OBJECTS = st.sampled_from(["1", None, b"x", [], FloatRaises(), IndexRaises(), object(),
                               np.float32(1.5), np.int64(3), True, 1.5, 10**40])
any_float = st.one_of(FLOATS, FLOATS, FLOATS, ODD_OBJECTS)
any_int = st.one_of(INTS, INTS, INTS, ODD_OBJECTS)


class Sub(np.ndarray):
    pass


@st.composite
def matrices(draw, ndim=2, dtype=np.float64):
    """Mostly float64 matrices of any layout, sometimes something else entirely."""
    shape = tuple(draw(st.integers(0, 5)) for _ in range(ndim))
    a = draw(hnp.arrays(dtype, shape, elements=st.one_of(
        st.floats(0.5, 30.0), st.floats(0.5, 30.0), st.sampled_from(WEIRD_FLOATS))))
    how = draw(st.sampled_from(["plain"] * 6 + [
        "fortran", "negstride", "noncontig", "readonly", "subclass", "broadcast", "float32",
        "int64", "1d", "3d", "none", "list", "object", "byteswap", "scalar"]))
    if how == "plain":
        return a
    if how == "fortran":
        return np.asfortranarray(a)
    if how == "negstride":
        return a[::-1].copy()[::-1]
    if how == "noncontig":
        return np.repeat(a, 2, axis=-1)[..., ::2]
    if how == "readonly":
        a.setflags(write=False)
        return a
    if how == "subclass":
        return a.view(Sub)
    if how == "broadcast":
        return np.broadcast_to(a[:1], a.shape) if a.shape[0] else a
    if how == "float32":
        return a.astype(np.float32)
    if how == "int64":
        return np.nan_to_num(a).astype(np.int64)
    if how == "1d":
        return a.reshape(-1)
    if how == "3d":
        return a[None]
    if how == "none":
        return None
    if how == "list":
        return a.tolist()
    if how == "object":
        return a.astype(object)
    if how == "byteswap":
        return a.astype(">f8")
    if how == "scalar":
        return np.array(1.0)
    raise AssertionError(how)


def books(keys=st.one_of(small_ints, INTS), values=FLOATS):
    return st.dictionaries(keys, values, max_size=6)


hostile_books = st.one_of(
    books(), books(), books(),
    books(keys=st.one_of(small_ints, ODD_OBJECTS.filter(lambda o: o.__hash__ is not None))),
    books(values=any_float),
    st.sampled_from([None, [], (1, 2), "book"]),
)


# --- the excursion module's native interface ---------------------------------------------------


class Recorder:
    """A stand-in result list whose append fails or reaches back into the module."""

    def __init__(self, at, action):
        self.items, self.at, self.action = [], at, action

    def append(self, item):
        self.items.append(item)
        if len(self.items) == self.at:
            if self.action == "raise":
                raise Hostile("append")
            if self.action == "restart":
                ts.start_analysis(np.ones((3, 2)), np.ones((3, 2)), {0: 1}, 1, 0.0, 0.0, 2, 1)
            elif self.action == "exit_again":
                ts.record_exit(0, 1)
            elif self.action == "end":
                ts.end_analysis({0: 1.0})
            elif self.action == "reenter":
                runvane.backtest_(*_canary())
            elif self.action == "collect":
                gc.collect()

    def clear(self):
        self.items.clear()


def _canary():
    p = np.array([[10.0], [11.0], [12.0]])
    d = np.arange(3, dtype=np.int64)
    n = np.array(["A"], dtype=object)
    return (p, p, p, p, p, d, n, np.array([[1.0]]), d[:1], n, d[:1])


@st.composite
def excursion_calls(draw):
    kind = draw(st.sampled_from(["start", "date", "date", "entry", "entry", "exit", "exit",
                                 "end", "state", "lists"]))
    if kind == "start":
        price = draw(matrices())
        close = price if draw(st.booleans()) else draw(matrices())
        pos2price = draw(st.one_of(
            st.dictionaries(small_ints, small_ints, max_size=5),
            st.dictionaries(INTS, INTS, max_size=3),
            st.sampled_from([None, [], {"a": 1}, {1: "b"}, {1.5: 2}])))
        window, step = draw(st.one_of(
            st.tuples(st.integers(-6, 12), st.integers(-4, 5)),
            st.sampled_from([(INT_MAX, INT_MAX), (INT_MIN, INT_MIN), (INT_MIN, 1),
                             (INT_MAX, -1), (-1, INT_MIN), (0, 0), (INT_MIN, INT_MAX),
                             (5, 2**31), ("3", 1), (None, 1), (1.5, 1)])))
        args = (price, close, pos2price, draw(st.one_of(st.integers(-3, 8), ODD_OBJECTS)),
                draw(any_float), draw(any_float), window, step)
        return ts.start_analysis, args
    if kind == "date":
        return ts.record_date, (draw(st.one_of(st.integers(-8, 8), any_int)),)
    if kind == "entry":
        return ts.record_entry, (draw(any_int), draw(any_float), draw(any_int))
    if kind == "exit":
        return ts.record_exit, (draw(any_int), draw(any_int))
    if kind == "end":
        return ts.end_analysis, (draw(hostile_books),)
    if kind == "state":
        return ts.excursion_state, ()
    which = draw(st.sampled_from(["trades", "trade_positions", "swaylen"]))
    repl = draw(st.one_of(
        st.builds(Recorder, st.integers(1, 3),
                  st.sampled_from(["raise", "restart", "exit_again", "end", "reenter",
                                   "collect", "none"])),
        st.sampled_from([None, "text", ()]),
        st.builds(list)))

    def replace():
        setattr(swaylen, which, repl)
    return replace, ()


def excursion_bytes(window, step) -> float:
    try:
        w, s = int(window), int(step)
    except Exception:  # noqa: BLE001
        return 0.0
    if s == 0 or not (INT_MIN <= w <= INT_MAX and INT_MIN <= s <= INT_MAX):
        return 0.0
    return ((w - 1) // s * 6 + 12) * 8


def lengths():
    out = [getattr(swaylen, n, None) for n in _NAMES[0]]
    return [len(o) if type(o) is list else None for o in out]


@fuzz_settings(2000)
@given(st.lists(excursion_calls(), min_size=1, max_size=14))
def test_excursion_entry_points_survive_any_call_sequence(calls):
    """Random programs over the excursion module's entry points: entries and
    exits of sids outside the arrays, rows outside the matrices, negative and
    huge windows, matrices of any layout or none, result lists swapped for
    objects that fail or reach back into the module."""
    with ModuleState():
        for fn, args in calls:
            if fn is ts.start_analysis:
                # A legitimately huge window asks for a huge excursion array;
                # keep what this test can ask for small (see the engine fuzz).
                if excursion_bytes(args[6], args[7]) > 1e7:
                    continue
            before = lengths()
            r = outcome(fn, *args)
            if fn is ts.record_exit and not failed(r):
                after = lengths()
                assert all(a is None or b is None or a == b + 1 for a, b in zip(after, before))
                arrays = getattr(swaylen, "swaylen", None)
                if type(arrays) is list and arrays:
                    assert arrays[-1].dtype == np.float64
            if fn is ts.excursion_state:
                assert isinstance(r, tuple) and len(r) == 2
                assert r[0].dtype == np.int64 and r[1].dtype == np.float64


# --- set_position and rebalance --------------------------------------------------------------


class FlagTruth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if self.value == "raise":
            raise Hostile("flag")
        return bool(self.value)


flags = st.one_of(st.booleans(), st.none(), st.builds(FlagTruth, st.sampled_from(
    ["raise", 0, 1])), st.just("missing"))


def set_flags(retain, resample):
    for name, value in (("RETAIN_COST_WHEN_REBALANCE", retain), ("RESAMPLE", resample)):
        if isinstance(value, str) and value == "missing":
            if hasattr(runvane, name):
                delattr(runvane, name)
        else:
            setattr(runvane, name, value)


def as_floats(book):
    return {k: float(v) for k, v in book.items()}


def same_book(a, b) -> bool:
    return a.keys() == b.keys() and all(
        (math.isnan(a[k]) and math.isnan(b[k])) or a[k] == b[k] for k in a)


@st.composite
def analysis_state(draw):
    """An excursion state for the recorder calls that set_position makes."""
    n = draw(st.integers(0, 5))
    price = draw(hnp.arrays(np.float64, (draw(st.integers(1, 5)), 3),
                            elements=st.floats(0.5, 20.0)))
    return (price, price, {0: 0, 1: 1, 2: 2}, n, 0.001, 0.003,
            draw(st.integers(-2, 6)), draw(st.integers(-2, 3)))


def _convertible(book) -> bool:
    if not isinstance(book, dict):
        return False
    try:
        return all(INT_MIN <= int(k) <= INT_MAX and type(k) in (int, bool)
                   for k in book) and all(isinstance(v, (int, float)) for v in book.values())
    except Exception:  # noqa: BLE001
        return False


@fuzz_settings(1500)
@given(analysis_state(), hostile_books, any_int, any_float, any_float, any_float, any_float,
       st.one_of(st.booleans(), ODD_OBJECTS), st.one_of(st.booleans(), ODD_OBJECTS),
       st.one_of(any_float, st.sampled_from([0, 0.0, -0.0])), flags, flags)
def test_set_position_survives_and_fails_cleanly(state, book, sid, position, cash, fee, tax,
                                                 check_null, set_null, balance, retain,
                                                 resample):
    with ModuleState():
        if failed(outcome(ts.start_analysis, *state)):
            return
        set_flags(retain, resample)
        original = dict(book) if isinstance(book, dict) else book
        r = outcome(ts.set_position, book, sid, position, cash, fee, tax, check_null, set_null,
                    balance)
        if failed(r):
            # A failure changes neither the book nor anything else the caller holds.
            if _convertible(original):
                assert same_book(as_floats(book), as_floats(original))
        else:
            assert isinstance(r, float)


@fuzz_settings(1000)
@given(analysis_state(), hostile_books, matrices(ndim=1), any_float, any_float, any_float,
       any_float, flags, flags)
def test_rebalance_survives(state, book, newp, cash, fee, tax, limit, retain, resample):
    with ModuleState():
        if failed(outcome(ts.start_analysis, *state)):
            return
        set_flags(retain, resample)
        r = outcome(ts.rebalance, book, newp, cash, fee, tax, limit)
        if not failed(r):
            assert isinstance(r, float)
            assert all(type(k) is int for k in book)


# --- map_columns and validate_trade_price -------------------------------------------------------


class FormatRaises:
    def __format__(self, format_spec):
        raise Hostile("format")


class FormatToBytes:
    def __format__(self, format_spec):
        return b"bytes"


def _breaking_iter(items, at):
    for i, x in enumerate(items):
        if i == at:
            raise Hostile("iteration")
        yield x


column_names = st.one_of(st.sampled_from(["A", "B", "C", "\u00e9", "", "A "]),
                         st.text(max_size=3),
                         st.sampled_from([1, None, b"A", EncodeRaises("A"), EncodeToStr("A"),
                                          "A\udcff", float("nan")]))


@st.composite
def column_lists(draw):
    items = draw(st.lists(column_names, max_size=6))
    how = draw(st.sampled_from(["list", "list", "array", "tuple", "generator", "breaking",
                                "text", "none", "int"]))
    if how == "array":
        a = np.empty(len(items), dtype=object)
        a[:] = items
        return a
    if how == "tuple":
        return tuple(items)
    if how == "generator":
        return (x for x in items)
    if how == "breaking":
        return _breaking_iter(items, draw(st.integers(0, 6)))
    if how == "text":
        return "ABA"
    if how == "none":
        return None
    if how == "int":
        return 7
    return items


def _expected_map(price_columns, pos_columns):
    by_name = {}
    for i, n in enumerate(price_columns):
        by_name[n.encode("UTF-8")] = i
    out = {}
    for i, n in enumerate(pos_columns):
        key = n.encode("UTF-8")
        if key in by_name:
            out[i] = by_name[key]
    return out


def _plain_names(cols) -> bool:
    if not isinstance(cols, (list, tuple, np.ndarray)):
        return False
    try:
        for n in cols:
            if type(n) is not str:
                return False
            n.encode("UTF-8")
    except UnicodeError:
        return False
    return True


@fuzz_settings(1500)
@given(column_lists(), column_lists())
def test_map_columns_survives_and_matches_names(price_columns, pos_columns):
    plain = _plain_names(price_columns) and _plain_names(pos_columns)
    r = outcome(ts.map_columns, price_columns, pos_columns)
    if plain:
        assert r == _expected_map(price_columns, pos_columns)


@fuzz_settings(1500)
@given(any_float, st.one_of(column_names, st.sampled_from([FormatRaises(), FormatToBytes(),
                                                           2.5, 10**30, object()])),
       any_int)
def test_validate_trade_price_survives_and_judges_prices(value, symbol, row):
    r = outcome(ts.validate_trade_price, value, symbol, row)
    if isinstance(value, float) and isinstance(row, int) and INT_MIN <= row <= INT_MAX:
        bad = not math.isnan(value) and (value <= 0 or math.isinf(value))
        assert failed(r) == bad
        if bad and type(symbol) is str and not failed(outcome(symbol.encode)):
            assert str(r) == (f"Invalid trading price for {symbol} at price row {int(row)}: "
                              f"{value!r}. Expected a positive finite price; check the "
                              "trading-price dataset.")


# --- the engine's small entries -------------------------------------------------------------------


class ItemsMapping:
    """A mapping whose items() yields whatever it was given."""

    def __init__(self, pairs, keys):
        self.pairs, self.keys_ = pairs, keys

    def items(self):
        return self.pairs

    def __iter__(self):
        return iter(self.keys_)

    def __getitem__(self, k):
        raise Hostile("getitem")

    def __setitem__(self, k, v):
        pass


class AbsMutates:
    """A weight whose abs() empties the dict it sits in."""

    def __init__(self, target):
        self.target = target

    def __abs__(self):
        self.target.clear()
        return 0.5


weight_values = st.one_of(FLOATS, FLOATS, st.integers(-3, 3),
                          st.sampled_from(["w", None, np.float64(0.7), np.int64(2), [1],
                                           complex(1, 1)]))


@st.composite
def weight_maps(draw):
    d = draw(st.dictionaries(st.one_of(small_ints, st.text(max_size=2)), weight_values,
                             max_size=6))
    how = draw(st.sampled_from(["dict", "dict", "dict", "mutating", "mapping", "badpairs",
                                "none", "list"]))
    if how == "mutating" and d:
        d[next(iter(d))] = AbsMutates(d)
    if how == "mapping":
        return ItemsMapping(list(d.items()), list(d))
    if how == "badpairs":
        return ItemsMapping(draw(st.sampled_from([[(1,)], [(1, 2, 3)], [5], None, [("a", 1)]])),
                            [1])
    if how == "none":
        return None
    if how == "list":
        return list(d.items())
    return d


@fuzz_settings(1500)
@given(weight_maps(), st.one_of(FLOATS, ODD_OBJECTS))
def test_normalize_weight_survives(weights, limit):
    r = outcome(runvane.normalize_weight, weights, limit)
    if not failed(r):
        assert r is weights


@st.composite
def trade_records(draw):
    record = draw(st.lists(st.one_of(st.integers(-6, 8), st.sampled_from(
        [2**63, -(2**63) - 1, 1.5, None, "x", np.int64(2), np.int64(-1)])), min_size=0,
        max_size=4))
    return draw(st.sampled_from([list, tuple])) (record) if draw(st.booleans()) else draw(
        st.sampled_from([None, 5, "abc", np.arange(3)]))


@fuzz_settings(1000)
@given(st.lists(trade_records(), max_size=5),
       st.lists(st.one_of(FLOATS, ODD_OBJECTS), max_size=6),
       matrices(ndim=1, dtype=np.float64), st.integers(0, 8),
       st.one_of(st.booleans(), ODD_OBJECTS), st.booleans())
def test_get_trade_stocks_survives_any_trade_list(trades, positions, cols, n_dates, touched,
                                                  columns_as_objects):
    pos_columns = np.array(["A", "B", "C"][: n_dates % 4], dtype=object) if columns_as_objects \
        else cols
    price_index = np.arange(n_dates, dtype=np.int64)[::-1] if touched is True else \
        np.arange(n_dates, dtype=np.int64)
    with ModuleState():
        swaylen.trades = trades
        swaylen.trade_positions = positions
        r = outcome(runvane.get_trade_stocks, pos_columns, price_index, touched)
        if not failed(r):
            rows, ops = r
            assert len(rows) == len(trades)
            assert all(isinstance(row, list) and len(row) == 9 for row in rows)
            assert isinstance(runvane.get_stock_operations(), dict)


@fuzz_settings(800)
@given(st.one_of(st.integers(), st.integers(-(10**18), 10**18), FLOATS, ODD_OBJECTS,
                 st.sampled_from([np.int64(2**62), np.float64(1e300), 2**200])))
def test_ioft_survives(v):
    r = outcome(runvane.ioft, v)
    if not failed(r):
        assert r.tzinfo is None


def test_invalid_price_message_keeps_a_label_with_a_nul():
    """Found by the fuzz run: a stock label containing U+0000 once cut the message."""
    with pytest.raises(ValueError) as info:
        ts.validate_trade_price(0.0, "A\0B", 3)
    assert str(info.value) == ("Invalid trading price for A\0B at price row 3: 0.0. Expected a "
                               "positive finite price; check the trading-price dataset.")
