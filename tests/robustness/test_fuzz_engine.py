"""Fuzzing backtest_ (and the numeric floor runner) with hostile inputs.

Whatever a caller passes, a run must end in a return value or a Python
exception: never a crash, never a SystemError (a native function that broke the
C-API contract), never the module left unusable. The inputs here are the ones a
careless or malicious caller can produce: wrong dtypes, non-contiguous and
negative-stride views, read-only and zero-size arrays, shapes that disagree
across the eleven arrays, position tables narrower or wider than their
columns, labels that are not str, NaN/inf/huge/negative options, a
stop_trading_next_period whose truth test raises or re-enters, and result lists
of the excursion module replaced by objects whose append raises or re-enters.

After every example a small reference run must still give its known result bit
for bit, and the interpreter's cyclic collector must be enabled again.

Run with `pytest -m fuzz`; PELMORA_FUZZ_SCALE multiplies the example counts.
"""

from __future__ import annotations

import gc
import math
import threading
import time

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from pelmora.core import _testsupport as ts
from pelmora.core import journal, runvane, swaylen
from support import INT_MAX, INT_MIN, EncodeRaises, EncodeToStr, Hostile, fuzz_settings, outcome

pytestmark = [pytest.mark.fuzz, pytest.mark.filterwarnings("ignore::RuntimeWarning")]

# --- the reference run ----------------------------------------------------------


def _canary_args() -> tuple:
    price = np.array([[10.0, 20.0], [11.0, 19.0], [12.0, 21.0], [9.0, 22.0], [13.0, 23.0]])
    dates = np.arange(5, dtype=np.int64)
    names = np.array(["AAA", "BBB"], dtype=object)
    weights = np.array([[0.5, 0.5], [0.7, -0.3]])
    return (price, price, price * 1.05, price * 0.95, price, dates, names, weights,
            dates[[0, 2]], names, dates[[0, 2]])


CANARY = _canary_args()
CANARY_OPTS = dict(stop_loss=0.2, swaylen_window=3)


def _canary_result():
    creturn = runvane.backtest_(*CANARY, **CANARY_OPTS)
    return (creturn.tobytes(), [list(map(int, t)) for t in swaylen.trades],
            [float(p) for p in swaylen.trade_positions], [a.tobytes() for a in swaylen.swaylen],
            runvane.get_stock_operations())


CANARY_RESULT = _canary_result()


def check_module_still_works() -> None:
    assert gc.isenabled(), "a run left the cyclic collector disabled"
    assert _canary_result() == CANARY_RESULT


# --- saving and restoring module state -------------------------------------------------

_SWAYLEN_NAMES = ("trades", "trade_positions", "swaylen")
_RUNVANE_NAMES = ("RETAIN_COST_WHEN_REBALANCE", "RESAMPLE", "normalize_weight", "swaylen")
_MISSING = object()


class ModuleState:
    """Everything a hostile example may rebind or delete, put back afterwards."""

    def __enter__(self):
        self.saved = [(m, n, getattr(m, n, _MISSING))
                      for m, names in ((swaylen, _SWAYLEN_NAMES), (runvane, _RUNVANE_NAMES))
                      for n in names]
        return self

    def __exit__(self, *exc):
        for m, n, v in self.saved:
            if v is _MISSING:
                if hasattr(m, n):
                    delattr(m, n)
            else:
                setattr(m, n, v)
        return False


# --- hostile objects ---------------------------------------------------------------------


class Actions:
    """What a hostile hook does when its moment comes. Each returns normally
    or raises; the run must cope with both."""

    def __init__(self, market: dict):
        self.market = market

    def run(self, name: str):
        getattr(self, "do_" + name)()

    def do_raise(self):
        raise Hostile("hook failed")

    def do_reenter(self):
        runvane.backtest_(*CANARY)  # RuntimeError: a run is already going on

    def do_reenter_swallow(self):
        try:
            runvane.backtest_(*CANARY)
        except RuntimeError:
            pass

    def do_floor(self):
        ts.backtest_floor(*CANARY)

    def do_restart_analysis(self):
        ts.start_analysis(np.ones((2, 2)), np.ones((2, 2)), {0: 0, 1: 1}, 2, 0.0, 0.0, 1, 1)

    def do_end_analysis(self):
        ts.end_analysis({0: 1.0, 1: -2.0})

    def do_collect(self):
        gc.collect()

    def do_drop_lists(self):
        for n in _SWAYLEN_NAMES:
            if hasattr(swaylen, n):
                delattr(swaylen, n)

    def do_clear_lists(self):
        for n in _SWAYLEN_NAMES:
            lst = getattr(swaylen, n, None)
            if isinstance(lst, list):
                lst.clear()

    def do_trade_stocks(self):
        outcome(runvane.get_trade_stocks, np.array(["x"], dtype=object),
                np.arange(3, dtype=np.int64), False)

    def do_resize_inputs(self):
        # The run holds views of its inputs; NumPy must refuse to move their memory.
        for a in self.market.values():
            if isinstance(a, np.ndarray) and a.ndim > 0:
                try:
                    a.resize((a.shape[0] + 50,) + a.shape[1:], refcheck=False)
                except (ValueError, TypeError):
                    pass

    def do_scribble_inputs(self):
        # Writing into the inputs during the run is allowed; it only changes numbers.
        for a in self.market.values():
            if isinstance(a, np.ndarray) and a.flags.writeable and a.size:
                if a.dtype == np.float64:
                    a.flat[0] = -1.0
                elif a.dtype == np.int64:
                    a.flat[0] = INT_MAX
                elif a.dtype == object:
                    a.flat[0] = object()

    def do_flags(self):
        runvane.RESAMPLE = HostileTruth(0, "raise", self)
        runvane.RETAIN_COST_WHEN_REBALANCE = None

    def do_delete_flags(self):
        for n in ("RESAMPLE", "RETAIN_COST_WHEN_REBALANCE"):
            if hasattr(runvane, n):
                delattr(runvane, n)

    def do_bad_normalizer(self):
        runvane.normalize_weight = lambda w, limit: (_ for _ in ()).throw(Hostile("normalize"))

    def do_odd_normalizer(self):
        runvane.normalize_weight = lambda w, limit: 42


ACTIONS = [n[3:] for n in dir(Actions) if n.startswith("do_")]


class HostileTruth:
    """A truth value that answers `ok` times and then performs its action."""

    def __init__(self, ok: int, action: str, actions: Actions, value: bool = True):
        self.ok, self.action, self.actions, self.value = ok, action, actions, value

    def __bool__(self):
        if self.ok > 0:
            self.ok -= 1
            return self.value
        self.actions.run(self.action)
        return self.value


class Recorder:
    """Stands in for one of the excursion module's result lists."""

    def __init__(self, at: int, action: str, actions: Actions, has_clear: bool = True):
        self.items: list = []
        self.at, self.action, self.actions = at, action, actions
        if not has_clear:
            self.clear = None  # start_analysis calls clear(): TypeError

    def append(self, item):
        self.items.append(item)
        if len(self.items) == self.at:
            self.actions.run(self.action)

    def clear(self):  # noqa: F811 - shadowed per instance above
        self.items.clear()


class RecordingList(list):
    """A list subclass: not an exact list, so appends go through the method."""

    def append(self, item):
        super().append(item)


# --- labels ----------------------------------------------------------------------------------


class FormatRaises:
    def __format__(self, format_spec):
        raise Hostile("format")

    def encode(self, *a, **k):
        return b"A"


class FormatToBytes:
    def __format__(self, format_spec):
        return b"not text"

    def encode(self, *a, **k):
        return b"B"


NAMES = ["A", "B", "C", "D", "\u00e9", ""]
hostile_labels = st.sampled_from([
    1, 2.5, None, b"A", EncodeRaises("A"), EncodeToStr("B"), FormatRaises(), FormatToBytes(),
    float("nan"), "A\udcff",  # a lone surrogate cannot be encoded
])
labels = st.one_of(st.sampled_from(NAMES), st.sampled_from(NAMES), hostile_labels)


# --- arrays ------------------------------------------------------------------------------------

WEIRD_FLOATS = [math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 5e-324, 1e-300, 1e300,
                -1e300, 1.7976931348623157e308]
prices = st.one_of(st.floats(1.0, 40.0), st.floats(1.0, 40.0), st.floats(1.0, 40.0),
                   st.sampled_from(WEIRD_FLOATS))
weights = st.one_of(st.floats(-1.0, 1.0), st.sampled_from([0.0, 0.0, 1.0, -1.0] + WEIRD_FLOATS))
INT64_EXTREMES = [0, 1, -1, 2**63 - 1, -(2**63), INT_MAX, INT_MIN, 2**32]


def float_matrix(rows, cols, elements):
    return hnp.arrays(np.float64, (rows, cols), elements=elements)


@st.composite
def dates(draw, n):
    kind = draw(st.sampled_from(["ascending", "ascending", "any", "extreme"]))
    if kind == "ascending":
        start = draw(st.integers(-5, 5))
        steps = draw(st.lists(st.integers(0, 3), min_size=n, max_size=n))
        return np.cumsum(np.array(steps, dtype=np.int64)) + start
    if kind == "any":
        return np.array(draw(st.lists(st.integers(-3, 12), min_size=n, max_size=n)),
                        dtype=np.int64)
    return np.array(draw(st.lists(st.sampled_from(INT64_EXTREMES), min_size=n, max_size=n)),
                    dtype=np.int64)


def object_array(items):
    a = np.empty(len(items), dtype=object)
    a[:] = items
    return a


@st.composite
def markets(draw, hostile: bool = True):
    """Eleven arrays that mostly fit together, with hostile values inside. With
    `hostile` false the labels are plain str and the tables are never empty,
    so most runs get deep into the row loop."""
    low = 0 if hostile else 1
    n_rows = draw(st.integers(low, 7))
    n_price_cols = draw(st.integers(low, 4))
    n_pos_cols = draw(st.integers(low, 4))
    n_pos_rows = draw(st.integers(low, 4))
    label = labels if hostile else st.sampled_from(NAMES[:4])
    price = draw(float_matrix(n_rows, n_price_cols, prices))
    spread = draw(st.sampled_from([1.0, 1.0, 1.1, 0.9]))
    m = {
        "price_values": price,
        "close_values": draw(st.one_of(st.just(price.copy()),
                                       float_matrix(n_rows, n_price_cols, prices))),
        "high_values": price * spread,
        "low_values": price / spread,
        "open_values": draw(st.one_of(st.just(price.copy()),
                                      float_matrix(n_rows, n_price_cols, prices))),
        "price_index": draw(dates(n_rows)),
        "price_columns": object_array(draw(st.lists(label, min_size=n_price_cols,
                                                    max_size=n_price_cols))),
        "pos_values": draw(float_matrix(n_pos_rows, n_pos_cols, weights)),
        "pos_index": draw(dates(n_pos_rows)),
        "pos_columns": object_array(draw(st.lists(label, min_size=n_pos_cols,
                                                  max_size=n_pos_cols))),
        "resample": draw(dates(draw(st.integers(0, 5)))),
    }
    return m


ARRAY_NAMES = ("price_values", "close_values", "high_values", "low_values", "open_values",
               "price_index", "price_columns", "pos_values", "pos_index", "pos_columns",
               "resample")

MUTATIONS = ["noncontig", "negstride", "readonly", "fortran", "dtype", "none", "list",
             "zerosize", "flatten", "add_dim", "scalar", "fewer", "more", "subclass",
             "byteswap", "memoryview", "transpose", "broadcast"]


class Sub(np.ndarray):
    pass


def mutate(draw, a: np.ndarray, how: str):
    """`a` changed in one hostile way (values kept where the way allows)."""
    if how == "noncontig":
        return np.repeat(a, 2, axis=-1)[..., ::2] if a.ndim else a
    if how == "negstride":
        return a[::-1].copy()[::-1] if a.ndim else a
    if how == "readonly":
        b = a.copy()
        b.setflags(write=False)
        return b
    if how == "fortran":
        return np.asfortranarray(a)
    if how == "dtype":
        dtype = draw(st.sampled_from([np.float32, np.int32, np.int64, np.float64, object, bool,
                                      np.complex128, ">f8", ">i8", "U3", np.uint64]))
        try:
            return a.astype(dtype)
        except (TypeError, ValueError, OverflowError):
            return a.astype(object)
    if how == "none":
        return None
    if how == "list":
        return a.tolist()
    if how == "zerosize":
        return a[:0] if a.ndim < 2 or draw(st.booleans()) else a[:, :0]
    if how == "flatten":
        return a.reshape(-1)
    if how == "add_dim":
        return a[None]
    if how == "scalar":
        return np.array(a.flat[0] if a.size else 0, dtype=a.dtype)
    if how == "fewer":
        return a[:-1] if a.ndim < 2 or draw(st.booleans()) else a[:, :-1]
    if how == "more":
        extra = np.zeros((2,) + a.shape[1:], dtype=a.dtype)
        if a.dtype == np.float64:
            extra[...] = draw(st.sampled_from([1.0, math.nan, -3.0]))
        elif a.dtype == object:
            extra[...] = draw(labels)
        else:
            extra[...] = draw(st.sampled_from(INT64_EXTREMES))
        if a.ndim == 2 and draw(st.booleans()):
            wider = np.empty((a.shape[0], 2), dtype=a.dtype)
            wider[...] = extra.flat[0] if extra.size else 0
            return np.concatenate([a, wider], axis=1)
        return np.concatenate([a, extra], axis=0) if a.ndim else a
    if how == "subclass":
        return a.view(Sub)
    if how == "byteswap":
        return a.astype(a.dtype.newbyteorder(">")) if a.dtype != object else a
    if how == "memoryview":
        return memoryview(a) if a.dtype != object else a
    if how == "transpose":
        return a.T
    if how == "broadcast":
        # A view with zero strides: every row (or element) is the same memory.
        if a.ndim == 0 or a.shape[0] == 0:
            return a
        return np.broadcast_to(a[:1], a.shape)
    raise AssertionError(how)


@st.composite
def hostile_markets(draw, hostile: bool):
    m = draw(markets(hostile))
    for name in ARRAY_NAMES:
        if draw(st.integers(0, 9 if hostile else 30)) == 0:
            m[name] = mutate(draw, m[name], draw(st.sampled_from(MUTATIONS)))
    return m


# --- options ---------------------------------------------------------------------------------


class FloatRaises:
    def __float__(self):
        raise Hostile("float")


class IntRaises:
    def __int__(self):
        raise Hostile("int")


class IntReturnsStr:
    def __int__(self):
        return "7"


float_options = st.one_of(
    st.floats(-0.5, 0.5), st.floats(-0.5, 0.5),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(WEIRD_FLOATS + [10**400, -(10**400), "0.1", None, FloatRaises(), True,
                                    np.float32(0.25), np.int64(3)]),
)
plain_floats = st.one_of(st.floats(-0.5, 0.5), st.floats(-0.5, 0.5), st.floats(-0.5, 0.5),
                         st.sampled_from(WEIRD_FLOATS))
bool_options = st.one_of(st.booleans(), st.sampled_from([0, 1, "", "x", [], [0], None, np.bool_(True)]))
plain_ints = st.one_of(st.integers(-3, 12), st.sampled_from([INT_MAX, INT_MIN, 0, 1]))
int_values = st.one_of(
    st.integers(-6, 24),
    st.sampled_from([INT_MAX, INT_MIN, 2**31, -(2**31) - 1, 2**63, 10**30, 2.7, -2.7, math.nan,
                     math.inf, None, "3", IntRaises(), IntReturnsStr(), np.int64(5),
                     np.float64(3.9), True]),
)


def excursion_bytes(window, step) -> float:
    """Size of one excursion array for int-like window/step, or 0 when it is
    no array at all (an error or a negative size)."""
    try:
        w, s = int(window), int(step)
    except Exception:  # noqa: BLE001 - the run fails on it before any array is made
        return 0.0
    if s == 0 or not (INT_MIN <= w <= INT_MAX and INT_MIN <= s <= INT_MAX):
        return 0.0
    return max(0, ((w - 1) // s * 6 + 12) * 8)


@st.composite
def options(draw, actions: Actions, hostile: bool = True):
    """Options of any type (`hostile`), or of the right types with any values."""
    opts = {}
    for name in ("fee_ratio", "tax_ratio", "stop_loss", "take_profit", "trail_stop",
                 "trail_stop_activation", "position_limit"):
        if draw(st.booleans()):
            opts[name] = draw(float_options if hostile else plain_floats)
    for name in ("touched_exit", "retain_cost_when_rebalance", "periodically_rebalance"):
        if draw(st.booleans()):
            opts[name] = draw(bool_options if hostile else st.booleans())
    for name in ("swaylen_window", "swaylen_window_step"):
        if draw(st.booleans()):
            opts[name] = draw(int_values if hostile else plain_ints)
    # A legitimately huge window asks for an excursion array of that size; that
    # is the caller's choice, not a fault, and on a shared machine it is not
    # ours to make. Keep every array this test can ask for small.
    assume(excursion_bytes(opts.get("swaylen_window", 0), opts.get("swaylen_window_step", 1))
           < 1e7)
    if draw(st.booleans()):
        opts["stop_trading_next_period"] = draw(st.one_of(
            bool_options if hostile else st.booleans(),
            st.builds(HostileTruth, st.integers(0, 6), st.sampled_from(ACTIONS),
                      st.just(actions), st.booleans()),
        ))
    if draw(st.booleans()) and (hostile or draw(st.booleans())):
        opts["delisting_bars"] = draw(st.one_of(
            st.none(),
            hnp.arrays(np.int64, st.integers(0, 5),
                       elements=st.one_of(st.integers(-2, 8), st.sampled_from(INT64_EXTREMES))),
            st.sampled_from([np.zeros((2, 2), dtype=np.int64), np.zeros(3, dtype=np.int32),
                             np.zeros(3), [0, 1], 5, np.arange(6, dtype=np.int64)[::-2]]),
        ))
    return opts


@st.composite
def result_lists(draw, actions: Actions):
    """Replacements for the excursion module's result lists (or none)."""
    out = {}
    for name in _SWAYLEN_NAMES:
        kind = draw(st.sampled_from(["keep"] * 6 + ["recorder", "recorder", "subclass", "nolist"]))
        if kind == "recorder":
            out[name] = Recorder(draw(st.integers(1, 4)), draw(st.sampled_from(ACTIONS)),
                                 actions, has_clear=draw(st.integers(0, 5)) > 0)
        elif kind == "subclass":
            out[name] = RecordingList()
        elif kind == "nolist":
            out[name] = draw(st.sampled_from([None, (), "text"]))
    return out


# --- the tests -----------------------------------------------------------------------------


def run_hostile(data, runner):
    hostile = data.draw(st.booleans(), label="hostile types")
    m = data.draw(hostile_markets(hostile), label="market")
    actions = Actions(m)
    opts = data.draw(options(actions, hostile), label="options")
    lists = data.draw(result_lists(actions), label="result lists")
    args = [m[name] for name in ARRAY_NAMES]
    # Sometimes pass everything by keyword, in a random order.
    as_keywords = data.draw(st.booleans(), label="by keyword")
    with ModuleState():
        for name, obj in lists.items():
            setattr(swaylen, name, obj)
        if as_keywords:
            kw = dict(zip(ARRAY_NAMES, args), **opts)
            order = data.draw(st.permutations(list(kw)), label="keyword order")
            result = outcome(runner, **{k: kw[k] for k in order})
        else:
            result = outcome(runner, *args, **opts)
        if isinstance(result, dict):  # the journal: the equity and its companions
            assert len(result["cash"]) == len(result["creturn"])
            result = result["creturn"]
        if not isinstance(result, BaseException):
            assert isinstance(result, np.ndarray) and result.dtype == np.float64
            n_rows = 0 if m["price_index"] is None else len(m["price_index"])
            assert result.shape == (n_rows,)
            outputs = [getattr(swaylen, n, None) for n in _SWAYLEN_NAMES]
            if runner is runvane.backtest_ and not lists and all(
                    type(o) is list for o in outputs):
                assert len(outputs[0]) == len(outputs[1]) == len(outputs[2])
    check_module_still_works()
    return m, opts, lists, result


@fuzz_settings(2500)
@given(st.data())
def test_backtest_survives_hostile_inputs(data):
    run_hostile(data, runvane.backtest_)


@fuzz_settings(1200)
@given(st.data())
def test_floor_runner_survives_hostile_inputs(data):
    run_hostile(data, ts.backtest_floor)


@fuzz_settings(1200)
@given(st.data())
def test_journal_survives_hostile_inputs(data):
    run_hostile(data, journal.run)


@fuzz_settings(300)
@given(st.data())
def test_run_many_survives_hostile_variants(data):
    m = data.draw(hostile_markets(data.draw(st.booleans())), label="market")
    actions = Actions(m)
    arrays = {name: m[name] for name in ARRAY_NAMES}
    odd = st.one_of(st.just({"bogus": 1}), st.just({"pos_values": np.zeros((1, 1))}),
                    st.just({"pos_values": "x"}), st.just([]), st.just(None))
    variants = data.draw(st.lists(st.one_of(options(actions, True), odd), max_size=4),
                         label="variants")
    threads = data.draw(st.integers(1, 3))
    with ModuleState():  # a hostile option's actions may rebind the engine's names
        results = outcome(journal.run_many, arrays, variants, threads=threads)
    if not isinstance(results, BaseException):
        assert len(results) == len(variants)
        assert all(isinstance(r, (dict, Exception)) for r in results)
    check_module_still_works()


# --- run_many while its dicts change under it ---------------------------------------------------


class Edits:
    """An option whose conversion edits the dicts run_many was given, then answers `value`."""

    def __init__(self, value, edit: str, dicts: list):
        self.value, self.edit, self.dicts = value, edit, dicts

    def _edit(self):
        for d in self.dicts:
            if self.edit == "clear":
                d.clear()
            elif self.edit == "pop" and d:
                d.popitem()
            elif self.edit == "replace":
                for key in list(d):
                    d[key] = np.full((1, 1), np.nan)
        if self.edit == "yield":
            time.sleep(0.0005)  # lets another thread take the lock
        return self.value


class FloatEdits(Edits):
    def __float__(self):
        return float(self._edit())


class IndexEdits(Edits):  # a float option without __float__ is read through __index__
    def __index__(self):
        return int(self._edit())


class BoolEdits(Edits):
    def __bool__(self):
        return bool(self._edit())


def fresh(arrays: dict) -> dict:
    """Copies owned by the new dict alone, so that taking one out of it frees it."""
    return {k: v.copy() for k, v in arrays.items()}


@st.composite
def editing_variants(draw, arrays: dict):
    """Plain variants, and the same ones with some options behind hooks that edit the dicts."""
    plain, hooked = [], []
    for _ in range(draw(st.integers(1, 4))):
        opts = {"fee_ratio": draw(st.sampled_from([0, 0.001425])),
                "stop_loss": draw(st.sampled_from([1, 0.05])),
                "touched_exit": draw(st.booleans()),
                "stop_trading_next_period": draw(st.booleans()),
                "swaylen_window": draw(st.integers(0, 3))}
        variant: dict = {}
        for name, value in opts.items():
            kinds = ([BoolEdits] if isinstance(value, bool) else
                     [] if name == "swaylen_window" else
                     [FloatEdits, IndexEdits] if isinstance(value, int) else [FloatEdits])
            kind = draw(st.sampled_from([None, *kinds]))
            if kind is None:
                variant[name] = value
            else:
                edit = draw(st.sampled_from(["clear", "pop", "replace", "yield"]))
                variant[name] = kind(value, edit, [arrays, variant])
        plain.append(opts)
        hooked.append(variant)
    return plain, hooked


def same_outcome(a, b) -> bool:
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return type(a) is type(b) and str(a) == str(b)
    return a["creturn"].tobytes() == b["creturn"].tobytes() and all(
        np.array_equal(a["fills"][k], b["fills"][k], equal_nan=True) for k in a["fills"])


@fuzz_settings(300)
@given(st.data())
def test_run_many_reads_its_dicts_once_whatever_the_hooks_do_to_them(data):
    """Hooks that clear, pop or replace the entries of `arrays` and of the variants change
    nothing: the call runs on what it was given (and never reads freed memory)."""
    m = data.draw(markets(hostile=False), label="market")
    arrays = fresh({name: m[name] for name in ARRAY_NAMES})
    plain, hooked = data.draw(editing_variants(arrays), label="variants")
    expected = journal.run_many(fresh(arrays), plain, threads=1)
    got = outcome(journal.run_many, arrays, hooked, threads=data.draw(st.integers(1, 3)))
    assert len(got) == len(expected)
    assert all(same_outcome(g, e) for g, e in zip(got, expected))
    check_module_still_works()


@fuzz_settings(40)
@given(st.data())
def test_run_many_survives_a_thread_emptying_its_dicts(data):
    m = data.draw(markets(hostile=False), label="market")
    arrays = fresh({name: m[name] for name in ARRAY_NAMES})
    plain = [{"stop_loss": s, "swaylen_window": 2, "fee_ratio": 0.001425}
             for s in (1.0, 0.05, 0.1, 0.02)]
    expected = journal.run_many(fresh(arrays), plain, threads=1)
    started, stop = threading.Event(), threading.Event()

    class Yields(FloatEdits):
        def __float__(self):
            started.set()
            return super().__float__()

    # Each conversion gives the lock away for a moment, and the thread takes it to pop.
    variants = [dict(v, fee_ratio=Yields(0.001425, "yield", [])) for v in plain]

    def pop():
        started.wait(5)
        while not stop.is_set():
            for d in [arrays, *variants]:
                try:
                    d.popitem()
                except KeyError:
                    pass
            time.sleep(0)

    th = threading.Thread(target=pop)
    th.start()
    try:
        got = journal.run_many(arrays, variants, threads=2)
    finally:
        stop.set()
        th.join()
    assert all(same_outcome(g, e) for g, e in zip(got, expected))


def _plain(opts) -> bool:
    stop = opts.get("stop_trading_next_period", True)
    return stop is True or stop is False


@fuzz_settings(1200)
@given(st.data())
def test_a_successful_run_matches_the_floor_runner(data):
    """Where backtest_ succeeds, the floor runner (same arithmetic, no Python
    outputs) gives the same equity curve to the last bit."""
    m = data.draw(markets(hostile=False), label="market")
    opts = data.draw(options(Actions(m), hostile=False), label="options")
    assume(_plain(opts))
    args = [m[name] for name in ARRAY_NAMES]
    creturn = outcome(runvane.backtest_, *args, **opts)
    if isinstance(creturn, BaseException):
        return
    floor = ts.backtest_floor(*args, **opts)
    assert floor.tobytes() == creturn.tobytes()
    check_module_still_works()


@fuzz_settings(400)
@given(st.data())
def test_small_entries_after_a_hostile_run(data):
    """Whatever state a hostile run left, the small entries answer or raise."""
    m, _, _, _ = run_hostile(data, runvane.backtest_)
    for cols in (m["pos_columns"], CANARY[9]):
        for idx in (m["price_index"], CANARY[5]):
            r = outcome(runvane.get_trade_stocks, cols, idx, data.draw(bool_options))
            if not isinstance(r, BaseException):
                rows, ops = r
                assert isinstance(rows, list) and len(rows) == len(swaylen.trades)
                assert all(len(row) == 9 for row in rows)
    ops = runvane.get_stock_operations()
    assert isinstance(ops, dict)
