"""Oracle: the excursion module against its plain-Python model, bit for bit, on random prices,
trades and hostile call sequences (the model is tests/oracles/excursion_oracle.py)."""

import math

import numpy as np
import pytest
from hypothesis import event, example, given, settings
from hypothesis import strategies as st

import pelmora.core._testsupport as ts
import pelmora.core.swaylen as sw
from excursion_oracle import ExcursionModel, compute_excursion

INT_MIN, INT_MAX = -(2**31), 2**31 - 1
RESULT_NAMES = ("trades", "trade_positions", "swaylen")
NAN = float("nan")


def examples(n):
    """At least n examples; more when a longer profile (fuzz) is loaded."""
    return max(n, settings.default.max_examples)


@pytest.fixture(autouse=True, params=["at exit", "ahead"])
def restore_result_lists(request):
    """Every test twice: arrays computed at the exits, and walked ahead on the helper thread
    (every run long enough for it)."""
    saved = {name: getattr(sw, name) for name in RESULT_NAMES}
    if request.param == "ahead":
        sw._lookahead_rows = 0
    yield
    vars(sw).pop("_lookahead_rows", None)
    for name, value in saved.items():
        setattr(sw, name, value)


def outcome(call, *args):
    """None for a normal return, else (exception type, message)."""
    try:
        result = call(*args)
    except Exception as exc:  # noqa: BLE001 - every failure is compared
        return type(exc), str(exc)
    assert result is None
    return None


def _bits(a):
    # Every bit, the sign of zero included; but any NaN is the same NaN: which NaN operand's sign
    # survives an operation on two NaNs depends on the operand order the compiler picks for a
    # commutative operation, and IEEE 754 leaves it unspecified.
    a = np.asarray(a, dtype=np.float64)
    return np.where(np.isnan(a), np.nan, a).tobytes()


def same_value(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and _bits(a) == _bits(b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, (float, np.floating)):
        return _bits(a) == _bits(b)
    return a == b


def assert_lists_match(model):
    for name in RESULT_NAMES:
        got, want = getattr(sw, name), getattr(model, name)
        assert len(got) == len(want), name
        for k, (g, w) in enumerate(zip(got, want)):
            assert same_value(g, w), (name, k, g, w)


# --- random prices and trades against the model ----------------------------------------

SPECIAL_VALUES = np.array([NAN, 0.0, -0.0, np.inf, -np.inf, -3.0, 1e-300, 1e300, 5e-324])


@st.composite
def matrices(draw, n_rows=st.integers(1, 10)):
    """Trade-price and close matrices: random walks with holes and odd values.

    The values come from a seeded generator rather than element by element,
    which keeps example generation cheap; the seed and the rates of the
    special values are what Hypothesis varies and shrinks.
    """
    rows = draw(n_rows)
    cols = draw(st.integers(1, 3))
    seed = draw(st.integers(0, 2**32 - 1))
    nan_rate = draw(st.sampled_from([0.0, 0.0, 0.1, 0.3]))
    odd_rate = draw(st.sampled_from([0.0, 0.0, 0.0, 0.02, 0.1]))
    rng = np.random.default_rng(seed)

    def walk():
        steps = rng.normal(0.0, 0.05, size=(rows, cols))
        m = 10.0 * np.exp(np.cumsum(steps, axis=0))
        m[rng.random((rows, cols)) < nan_rate] = NAN
        odd = rng.random((rows, cols)) < odd_rate
        m[odd] = rng.choice(SPECIAL_VALUES, size=int(odd.sum()))
        return m

    return walk(), walk()


def array_size(window, step):
    return ((window - 1) // step) * 6 + 12 if step else 0


def mostly(common, rare, weight=4):
    """`common` `weight` times as often as `rare`."""
    return st.one_of(*[common] * weight, rare)


windows = st.tuples(mostly(st.integers(0, 12), st.integers(-4, 12)),
                    mostly(st.integers(1, 5), st.integers(-3, 0))).filter(
    lambda ws: array_size(*ws) <= 200)
rates = st.one_of(st.sampled_from([0.0, 0.001425, 0.003, 0.01]),
                  st.floats(min_value=0.0, max_value=0.2))


@st.composite
def runs(draw):
    price, close = draw(matrices())
    rows, cols = price.shape
    nstocks = draw(mostly(st.integers(1, 4), st.just(0), weight=9))
    columns = mostly(st.integers(0, cols - 1), st.integers(-cols - 1, cols))
    pos2price = draw(st.dictionaries(mostly(st.integers(0, nstocks), st.integers(-2, 5)),
                                     columns, max_size=nstocks + 1))
    window, step = draw(windows)
    start = ("start", price, close, pos2price, nstocks, draw(rates), draw(rates), window, step)
    sids = mostly(st.integers(0, max(nstocks - 1, 0)), st.integers(-nstocks - 1, nstocks))
    rows_ = mostly(st.integers(0, rows - 1), st.integers(-rows - 1, rows + 1))
    exits = st.tuples(st.just("exit"), sids, st.sampled_from([0, 1]))
    op = st.one_of(
        st.tuples(st.just("date"), rows_),
        st.tuples(st.just("entry"), sids,
                  st.one_of(st.floats(-5, 5), st.sampled_from([0.0, NAN, 1.0, -1.0])),
                  st.sampled_from([0, 1, -1])),
        exits,
        exits,  # twice as likely: exits are where the results come from
    )
    ops = draw(st.lists(op, min_size=2, max_size=10))
    pos = draw(st.dictionaries(sids, st.sampled_from([0.0, 1.0, -2.0, NAN]), max_size=4))
    return [start, *ops, ("end", pos)]


def apply(op, model):
    kind, *args = op
    native = {"start": ts.start_analysis, "date": ts.record_date, "entry": ts.record_entry,
              "exit": ts.record_exit, "end": ts.end_analysis}[kind]
    reference = {"start": model.start_analysis, "date": model.record_date,
                 "entry": model.record_entry, "exit": model.record_exit,
                 "end": model.end_analysis}[kind]
    return outcome(native, *args), outcome(reference, *args)


@settings(max_examples=examples(120))
@given(runs())
# An exit row before the entry row: the exit price is read on the entry row, the last one walked.
@example([("start", np.array([[10.06306313], [9.99681319]]),
           np.array([[10.6737248], [11.19132745]]), {}, 2, 0.0, 0.0, -1, 2),
          ("date", -1), ("entry", 0, 0.0, 0), ("exit", 1, 1), ("end", {})])
# A NaN from 0 x inf meets the NaN of a missing price: the two NaNs' signs differ.
@example([("start", np.array([[9.75442283, 9.64060537], [10.2943839, 9.30057719],
                              [11.1813188, -np.inf], [NAN, 9.17273283], [5e-324, NAN],
                              [11.7352588, 8.94137265]]),
           np.array([[np.inf, 9.71803511], [np.inf, NAN], [9.25035386, 10.11437932],
                     [8.56796448, 10.04455083], [8.60735249, 10.24952578],
                     [8.74718852, 9.60053892]]), {}, 3, 0.14287225011574686, 0.0, 3, 4),
          ("date", 3), ("entry", 2, 2.220446049250313e-16, 1), ("date", 4), ("exit", 2, 1),
          ("date", 3), ("exit", 1, 0), ("exit", 1, 1)])
def test_random_runs_match_the_model_bit_for_bit(run):
    model = ExcursionModel()
    ts.record_date(0)  # a new run does not reset the row; the model starts at 0
    for op in run:
        got, want = apply(op, model)
        assert got == want, op[0]
        if op[0] in ("exit", "end"):
            event(f"{op[0]}: {got[0].__name__ if got else 'ok'}")
        assert_lists_match(model)
    entry, position = ts.excursion_state()
    assert entry.tobytes() == model.entry.tobytes()
    assert position.tobytes() == model.position.tobytes()


@settings(max_examples=examples(150))
@given(st.one_of(matrices(), matrices(st.integers(100, 400))), st.data())
def test_single_trades_match_the_model_bit_for_bit(mats, data):
    """One well-formed trade at random rows, mapped to a random column (long ones walk their
    rows a chunk at a time)."""
    price, close = mats
    rows, cols = price.shape
    pid = data.draw(st.integers(0, cols - 1))
    i_entry = data.draw(st.integers(0, rows - 1))
    i_exit = data.draw(st.integers(i_entry, rows + 2))
    position = data.draw(st.sampled_from([1.0, -1.0]))
    entry_tx, exit_tx = data.draw(st.tuples(st.booleans(), st.booleans()))
    fee, tax = data.draw(rates), data.draw(rates)
    window, step = data.draw(st.tuples(st.integers(0, 12), st.integers(1, 5)))
    ts.start_analysis(price, close, {0: pid}, 1, fee, tax, window, step)
    ts.record_date(i_entry)
    ts.record_entry(0, position, int(entry_tx))
    ts.record_date(i_exit)
    try:
        want = compute_excursion(price, close, pid, i_entry, i_exit, position > 0,
                                 entry_tx, exit_tx, fee, tax, window, step)
    except ZeroDivisionError as exc:
        assert str(exc) == "float division"
        with pytest.raises(ZeroDivisionError, match="^float division$"):
            ts.record_exit(0, int(exit_tx))
        return
    ts.record_exit(0, int(exit_tx))
    got = sw.swaylen[0]
    assert len(got) == ((window - 1) // step) * 6 + 12
    assert _bits(got) == _bits(want)


# --- hostile call sequences --------------------------------------------------------------


class Recorder:
    def __init__(self):
        self.calls = []

    def append(self, item):
        self.calls.append(item)

    def clear(self):
        self.calls.clear()


class Exploding(list):
    def append(self, item):
        raise RuntimeError("append refused")

    def clear(self):
        raise RuntimeError("clear refused")


good = np.array([[10.0, 20.0], [11.0, 19.0], [12.0, 0.0], [9.0, NAN]])
ODD_MATRICES = ([
    good, good.T, good[::-1], np.asfortranarray(good), None, np.zeros((0, 0)),
    np.zeros((3, 0)), np.zeros((0, 2)), np.ones(4), np.ones((2, 2), np.float32),
    np.ones((2, 2), np.int64), np.ones((2, 2), object), np.ones((1, 1, 1)),
    memoryview(np.ones((2, 2))), [[1.0]], "prices", b"\x00" * 16, 3.5, object(),
])
# drawn by index: some of these objects cannot be hashed
odd_matrices = st.integers(0, len(ODD_MATRICES) - 1).map(ODD_MATRICES.__getitem__)
odd_ints = st.one_of(
    st.integers(-6, 6), st.sampled_from([INT_MIN, INT_MAX, INT_MAX + 1, -(2**63), 2**70]),
    st.sampled_from([None, 1.5, "3", True, np.int64(2), np.float64(1.0)]),
)
odd_floats = st.one_of(st.floats(), st.sampled_from([None, "0.1", 1, 2**2000, np.float32(0.5)]))
odd_windows = st.tuples(
    st.one_of(st.integers(-8, 8), st.sampled_from([INT_MIN + 1, INT_MAX, INT_MIN])),
    st.one_of(st.integers(-3, 3), st.sampled_from([INT_MIN, INT_MAX, -1])),
).filter(lambda ws: array_size(*ws) <= 10_000)
odd_maps = st.one_of(
    st.dictionaries(st.integers(-3, 3), st.integers(-3, 3), max_size=4),
    st.sampled_from([None, [], {"a": 1}, {2**40: 0}, {0: 2**40}, {0: 1.5}, {1.0: 1}]),
)
odd_books = st.one_of(
    st.dictionaries(st.integers(-4, 4), st.sampled_from([0.0, 1.0, -1.0, NAN, math.inf]),
                    max_size=5),
    st.sampled_from([None, [(0, 1.0)], {0: "x"}, {2**40: 1.0}, {0: None}]),
)


def mutate_state(kind, value):
    entry, position = ts.excursion_state()
    target = entry if kind.startswith("entry") else position
    if kind.endswith("resize"):
        target.resize(value % 6, refcheck=False)
    elif kind.endswith("dtype"):
        target.dtype = np.float64 if target.dtype == np.int64 else np.int64
    elif kind.endswith("shape"):
        target.shape = (1, target.size)
    elif kind.endswith("readonly"):
        target.flags.writeable = False
    elif target.size:
        target[value % target.size] = value


hostile_ops = st.one_of(
    st.tuples(st.just("start"), odd_matrices, odd_matrices, odd_maps, odd_ints, odd_floats,
              odd_floats, odd_windows),
    st.tuples(st.just("date"), odd_ints),
    st.tuples(st.just("entry"), odd_ints, odd_floats, odd_ints),
    st.tuples(st.just("exit"), odd_ints, odd_ints),
    st.tuples(st.just("end"), odd_books),
    st.tuples(st.just("rebind"), st.sampled_from(RESULT_NAMES),
              st.sampled_from(["list", "recorder", "exploding", "none", "int", "delete"])),
    st.tuples(st.just("mutate"),
              st.sampled_from(["entry", "position", "entry-resize", "position-resize",
                               "entry-dtype", "position-dtype", "entry-shape",
                               "position-shape", "entry-readonly", "position-readonly"]),
              st.sampled_from([0, 3, -7, 2**31, 2**62, 5])),
)


def run_hostile(op):
    """Performs one hostile step; returns what the module call returned."""
    kind, *args = op
    if kind == "start":
        price, close, mapping, nstocks, fee, tax, (window, step) = args
        if isinstance(nstocks, int) and 10 < nstocks <= INT_MAX:
            nstocks = 3  # keep the per-stock arrays small
        return ts.start_analysis(price, close, mapping, nstocks, fee, tax, window, step)
    if kind in ("date", "entry", "exit", "end"):
        call = {"date": ts.record_date, "entry": ts.record_entry, "exit": ts.record_exit,
                "end": ts.end_analysis}[kind]
        return call(*args)
    if kind == "rebind":
        name, what = args
        if what == "delete":
            if hasattr(sw, name):
                delattr(sw, name)
        else:
            setattr(sw, name, {"list": list, "recorder": Recorder, "exploding": Exploding,
                               "none": lambda: None, "int": lambda: 7}[what]())
    else:
        mutate_state(*args)
    return None


@settings(max_examples=examples(120))
@given(st.lists(hostile_ops, max_size=20))
def test_hostile_call_sequences_only_ever_raise_python_exceptions(ops):
    for op in ops:
        try:
            result = run_hostile(op)
        except SystemError:
            raise  # a native function broke the calling convention
        except Exception:  # noqa: BLE001 - any ordinary Python exception is fine
            continue
        assert result is None
    # The module is still fully usable afterwards.
    for name in RESULT_NAMES:
        setattr(sw, name, [])
    model = ExcursionModel()
    run = [("start", good, good * 1.01, {0: 0, 1: 1}, 2, 0.001, 0.003, 2, 1),
           ("date", 0), ("entry", 0, 1.0, 1), ("entry", 1, -1.0, 1), ("date", 2),
           ("exit", 0, 1), ("date", 3), ("end", {1: -1.0})]
    for op in run:
        got, want = apply(op, model)
        assert got == want
    assert_lists_match(model)


@st.composite
def long_trades(draw):
    """A long trade on a gentle trending walk, so that most of its rows are walked in blocks, with
    a few special closes dropped at random rows (block edges included) to break blocks."""
    rows = draw(st.integers(80, 700))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    drift, vol = draw(st.sampled_from([(0.0, 0.01), (0.002, 0.005), (-0.002, 0.005), (0.0, 0.3)]))
    price, close = (np.exp(np.cumsum(rng.normal(drift, vol, (rows, 2)), axis=0)) for _ in "pc")
    for at in draw(st.lists(st.integers(0, rows - 1), max_size=3)):
        close[at, 1] = draw(st.sampled_from(list(SPECIAL_VALUES) + [1e200, 1e-200]))
    if draw(st.booleans()):
        close[[rows // 3, rows // 3 + 1], 1] = NAN  # a run of missing closes
    # The same values laid out by rows, by columns, or as a view walking memory backwards.
    layout = draw(st.sampled_from([np.ascontiguousarray, np.asfortranarray,
                                   lambda m: np.ascontiguousarray(m[::-1])[::-1]]))
    return (layout(price), layout(close), draw(st.integers(0, rows // 4)),
            draw(st.integers(rows // 2, rows + 2)))


def _ramp_with(rows, row, value):
    price = np.exp(np.cumsum(np.full((rows, 2), 0.001), axis=0))
    close = price * 1.01
    close[row, 1] = value
    return price, close, 0, rows


@settings(max_examples=examples(300))
# A block refused a few rows before the end of the walk: the rows left are fewer than a chunk.
@example(_ramp_with(134, 132, -np.inf), 1.0, (4, 4), (True, True))
@given(long_trades(), st.sampled_from([1.0, -1.0]), st.tuples(st.integers(1, 25), st.integers(1, 4)),
       st.tuples(st.booleans(), st.booleans()))
def test_long_trades_walked_in_blocks_match_the_model(trade, position, window_step, txs):
    price, close, i_entry, i_exit = trade
    window, step = window_step
    ts.start_analysis(price, close, {0: 1}, 1, 0.001, 0.003, window, step)
    ts.record_date(i_entry)
    ts.record_entry(0, position, int(txs[0]))
    ts.record_date(i_exit)
    try:
        want = compute_excursion(price, close, 1, i_entry, i_exit, position > 0, txs[0], txs[1],
                                 0.001, 0.003, window, step)
    except ZeroDivisionError:
        with pytest.raises(ZeroDivisionError, match="^float division$"):
            ts.record_exit(0, int(txs[1]))
        return
    ts.record_exit(0, int(txs[1]))
    assert _bits(sw.swaylen[0]) == _bits(want)
