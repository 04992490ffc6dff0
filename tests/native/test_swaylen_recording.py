"""Recording entries and exits, the end of a run, and the state every call leaves behind."""

import gc
import traceback
import weakref

import numpy as np
import pytest

import pelmora.core._testsupport as ts
import pelmora.core.swaylen as sw
from excursion_oracle import compute_excursion

NAN = float("nan")
RESULT_NAMES = ("trades", "trade_positions", "swaylen")

# Six rows, three price columns.
PRICE = np.array(
    [[10.0, 20.0, 5.0], [10.5, 19.0, 5.5], [11.0, 18.0, 5.0], [10.0, 21.0, 4.5],
     [9.5, 22.0, 4.0], [10.0, 20.0, 4.2]]
)
CLOSE = np.array(
    [[10.2, 19.5, 5.1], [10.8, 18.5, 5.6], [10.9, 18.2, 4.9], [9.8, 21.5, 4.4],
     [9.7, 22.5, 4.1], [10.1, 20.5, 4.3]]
)
POS2PRICE = {0: 0, 1: 1, 2: 2, 3: 0, 4: 1, 5: 2, 6: 0, 7: 1}


@pytest.fixture(autouse=True)
def restore_result_lists():
    saved = {name: getattr(sw, name) for name in RESULT_NAMES}
    yield
    for name, value in saved.items():
        setattr(sw, name, value)


def start(nstocks=8, fee=0.0, tax=0.0, window=2, step=1, price=PRICE, close=CLOSE,
          pos2price=POS2PRICE):
    ts.start_analysis(price, close, pos2price, nstocks, fee, tax, window, step)


def expected(sid, i_entry, i_exit, position, entry_tx=0, exit_tx=0, fee=0.0, tax=0.0,
             window=2, step=1):
    return compute_excursion(PRICE, CLOSE, POS2PRICE.get(sid, 0), i_entry, i_exit,
                             position > 0, entry_tx, exit_tx, fee, tax, window, step)


def assert_bits(got, want):
    assert isinstance(got, np.ndarray) and got.dtype == np.float64
    assert got.tobytes() == np.asarray(want, dtype=np.float64).tobytes()


def assert_parallel():
    assert len(sw.trades) == len(sw.trade_positions) == len(sw.swaylen)


def enter(d, sid, position, tx=1):
    ts.record_date(d)
    ts.record_entry(sid, position, tx)


def leave(d, sid, tx=1):
    ts.record_date(d)
    ts.record_exit(sid, tx)
    assert_parallel()


class Recorder:
    """Stands in for a result list and records the calls it receives."""

    def __init__(self, name, log):
        self.name = name
        self.log = log

    def append(self, item):
        self.log.append((self.name, "append", item))

    def clear(self):
        self.log.append((self.name, "clear"))


# --- the trade records -------------------------------------------------------------------


def test_closed_trade_record_layout_and_element_types():
    start(fee=0.001, tax=0.003)
    enter(1, 2, 3.5)
    leave(4, 2)
    [record] = sw.trades
    assert record == [2, 1, 4]
    assert [type(x) for x in record] == [int, np.int64, int]
    [position] = sw.trade_positions
    assert type(position) is np.float64 and position == 3.5
    assert_bits(sw.swaylen[0], expected(2, 1, 4, 3.5, 1, 1, 0.001, 0.003))


def test_open_trade_record_layout_and_element_types():
    start()
    enter(1, 2, -3.5)
    ts.record_date(4)
    assert ts.end_analysis({2: 100.0}) is None
    [record] = sw.trades
    assert record == [2, 1, -1]
    assert [type(x) for x in record] == [int, np.int64, int]
    assert type(sw.trade_positions[0]) is np.float64 and sw.trade_positions[0] == -3.5
    assert_bits(sw.swaylen[0], expected(2, 1, 4, -3.5, 1, 0))


def test_trades_appear_in_closing_order_then_open_trades_by_ascending_sid():
    start()
    enter(0, 5, 1.0)
    enter(0, 3, -2.0)
    enter(1, 7, 3.0)
    enter(1, 2, 4.0)
    enter(1, 0, 5.0)
    leave(2, 3)
    leave(3, 5)
    ts.record_date(5)
    # the holdings' sizes are today's values; the recorded entry sizes are reported
    ts.end_analysis({7: 1.5, 0: 0.0, 2: -0.25})
    assert_parallel()
    assert sw.trades == [[3, 0, 2], [5, 0, 3], [2, 1, -1], [7, 1, -1]]
    assert sw.trade_positions == [-2.0, 1.0, 4.0, 3.0]
    want = [expected(3, 0, 2, -2.0, 1, 1), expected(5, 0, 3, 1.0, 1, 1),
            expected(2, 1, 5, 4.0, 1, 0), expected(7, 1, 5, 3.0, 1, 0)]
    for got, w in zip(sw.swaylen, want):
        assert_bits(got, w)


def test_exit_on_the_entry_row_summarises_the_entry_row():
    start(window=3)
    enter(2, 1, 1.0)
    leave(2, 1, tx=0)
    record = sw.trades[0]
    assert record[1] == record[2] == 2
    got = sw.swaylen[0]
    r0 = CLOSE[2, 1] / PRICE[2, 1]
    cmax = 1.0 if 1 > r0 else r0
    cmin = 1.0 if r0 > 1 else r0
    summary = [cmin - 1, cmax - 1, cmax - 1, r0 - 1 if r0 - 1 < 0 else 0.0,
               1.0 if r0 > 1 else 0.0, r0 - 1]
    assert_bits(got[-6:], summary)
    assert_bits(got[:6], summary)  # the first sample block is the same position


def test_exit_without_entry_is_a_short_trade_from_row_zero():
    start()
    leave(3, 4, tx=0)
    assert sw.trades == [[4, 0, 3]]
    assert type(sw.trades[0][1]) is np.int64
    assert sw.trade_positions == [0.0]
    assert_bits(sw.swaylen[0], expected(4, 0, 3, -1.0))


def test_two_exits_without_entry_report_the_same_entry_row():
    start()
    leave(2, 4, tx=0)
    leave(5, 4, tx=1)
    assert sw.trades == [[4, 0, 2], [4, 0, 5]]
    assert sw.trade_positions == [0.0, 0.0]
    assert_bits(sw.swaylen[1], expected(4, 0, 5, -1.0, 0, 1))


def test_exit_leaves_the_entry_in_place_for_a_later_exit():
    start()
    enter(1, 6, 2.5, tx=1)
    leave(3, 6)
    leave(4, 6)
    assert sw.trades == [[6, 1, 3], [6, 1, 4]]
    assert sw.trade_positions == [2.5, 2.5]
    assert_bits(sw.swaylen[1], expected(6, 1, 4, 2.5, 1, 1))
    entry, position = ts.excursion_state()
    assert entry[6] == 1 and position[6] == 2.5


def test_a_new_entry_overwrites_the_previous_one():
    start()
    enter(1, 6, 2.5, tx=1)
    enter(3, 6, -1.5, tx=0)
    leave(5, 6, tx=0)
    assert sw.trades == [[6, 3, 5]]
    assert sw.trade_positions == [-1.5]
    assert_bits(sw.swaylen[0], expected(6, 3, 5, -1.5, 0, 0))


@pytest.mark.parametrize("recorded", [0.0, -0.0, -2.0, NAN])
def test_positions_that_are_not_above_zero_are_analysed_as_short(recorded):
    start()
    enter(1, 0, recorded)
    leave(4, 0)
    assert_bits(sw.swaylen[0], expected(0, 1, 4, -1.0, 1, 1))
    assert np.float64(recorded).tobytes() == sw.trade_positions[0].tobytes()


@pytest.mark.parametrize("has_tx", [1, -1, 7, 2**31 - 1])
def test_any_nonzero_transaction_flag_charges(has_tx):
    start(fee=0.01, tax=0.02)
    enter(0, 1, 1.0, tx=has_tx)
    leave(3, 1, tx=has_tx)
    assert_bits(sw.swaylen[0], expected(1, 0, 3, 1.0, 1, 1, 0.01, 0.02))


# --- end of run ----------------------------------------------------------------------


@pytest.mark.parametrize("pos", [{}, {0: 0.0}, {1: 0.0, 3: -0.0, 5: 0.0}])
def test_end_without_holdings_appends_nothing(pos):
    start()
    enter(0, 1, 1.0)
    leave(2, 1)
    assert ts.end_analysis(pos) is None
    assert len(sw.trades) == len(sw.trade_positions) == len(sw.swaylen) == 1


def test_nan_holding_counts_as_held():
    start()
    enter(1, 3, 2.0)
    ts.record_date(4)
    ts.end_analysis({3: NAN})
    assert sw.trades == [[3, 1, -1]]


@pytest.mark.parametrize(
    ("last_row", "window"),
    [(4, 0), (4, 10), (9, 0), (2, 1)],
    ids=["at-last-recorded-row", "window-past-data", "date-past-data", "window-past-date"],
)
def test_open_trade_summary_and_no_exit_charges(last_row, window):
    fee, tax = 0.01, 0.02
    start(fee=fee, tax=tax, window=window)
    enter(1, 2, 3.0, tx=1)
    ts.record_date(last_row)
    ts.end_analysis({2: 3.0})
    want = expected(2, 1, last_row, 3.0, 1, 0, fee, tax, window)
    assert_bits(sw.swaylen[0], want)
    # The summary is taken at the last recorded row, or at the end of the data,
    # and its return carries the entry fee only.
    summary_row = min(5, last_row)
    r = (1 - fee) * (CLOSE[1, 2] / PRICE[1, 2])
    for row in range(2, summary_row + 1):
        r = (CLOSE[row, 2] / CLOSE[row - 1, 2]) * r
    assert sw.swaylen[0][-1] == r - 1


def test_open_short_holding_is_analysed_as_short():
    start()
    enter(0, 1, -4.0)
    ts.record_date(5)
    ts.end_analysis({1: -4.0})
    assert_bits(sw.swaylen[0], expected(1, 0, 5, -4.0, 1, 0))


def test_end_analysis_leaves_the_per_stock_state_unchanged():
    start()
    enter(2, 1, 4.0)
    entry, position = ts.excursion_state()
    before = entry.copy(), position.copy()
    ts.record_date(3)
    ts.end_analysis({1: 4.0})
    ts.end_analysis({1: 4.0})
    assert sw.trades == [[1, 2, -1], [1, 2, -1]]
    after = ts.excursion_state()
    assert after[0] is entry and after[1] is position
    assert (entry == before[0]).all() and (position == before[1]).all()


# --- the result lists -------------------------------------------------------------------


def test_next_run_empties_the_result_lists_in_place():
    start()
    enter(0, 1, 1.0)
    leave(3, 1)
    first = (sw.trades, sw.trade_positions, sw.swaylen)
    kept = [list(x) for x in first]
    start()
    assert (sw.trades, sw.trade_positions, sw.swaylen) == ([], [], [])
    # the very same list objects were emptied in place
    assert all(a is b for a, b in zip(first, (sw.trades, sw.trade_positions, sw.swaylen)))
    assert all(x == [] for x in first)
    assert len(kept[0]) == 1


def test_appends_go_to_whatever_the_globals_name_at_the_time():
    start()
    log = []
    for name in RESULT_NAMES:
        setattr(sw, name, Recorder(name, log))
    enter(1, 2, 1.5)
    ts.record_date(3)
    ts.record_exit(2, 1)
    ts.record_date(4)
    ts.end_analysis({5: 2.0})
    ts.record_date(5)
    start()
    assert [entry[:2] for entry in log] == [
        ("trades", "append"), ("trade_positions", "append"), ("swaylen", "append"),
        ("trades", "append"), ("trade_positions", "append"), ("swaylen", "append"),
        ("trades", "clear"), ("trade_positions", "clear"), ("swaylen", "clear"),
    ]
    assert log[0][2] == [2, 1, 3] and log[3][2] == [5, 0, -1]
    assert log[1][2] == 1.5 and log[4][2] == 0.0
    assert_bits(log[2][2], expected(2, 1, 3, 1.5, 1, 1))


def test_rebinding_a_list_redirects_later_appends():
    start()
    old = sw.trades
    sw.trades = new = []
    leave(2, 1)
    assert old == [] and new == [[1, 0, 2]]


@pytest.mark.parametrize("missing", RESULT_NAMES)
def test_a_deleted_result_list_raises_name_error(missing):
    start()
    delattr(sw, missing)
    with pytest.raises(NameError, match=missing):
        leave(2, 1)


def test_date_is_not_reset_by_a_new_run():
    start()
    ts.record_date(4)
    start()
    ts.record_exit(1, 0)
    assert sw.trades == [[1, 0, 4]]


# --- errors and the state they leave -------------------------------------------------------------


@pytest.mark.parametrize("nstocks", [0, 3])
@pytest.mark.parametrize("call", ["record_entry", "record_exit", "end_analysis"])
def test_sid_past_the_per_stock_arrays_raises_index_error(nstocks, call):
    start(nstocks=nstocks)
    sid = nstocks
    message = f"^index {sid} is out of bounds for axis 0 with size {nstocks}$"
    with pytest.raises(IndexError, match=message):
        if call == "record_entry":
            ts.record_entry(sid, 1.0, 1)
        elif call == "record_exit":
            ts.record_exit(sid, 1)
        else:
            ts.end_analysis({sid: 1.0})
    assert (sw.trades, sw.trade_positions, sw.swaylen) == ([], [], [])


def test_negative_sids_count_from_the_end_of_the_per_stock_arrays():
    start(nstocks=4)
    enter(2, -1, 6.0)
    entry, position = ts.excursion_state()
    assert entry.tolist() == [0, 0, 0, 2] and position.tolist() == [0.0, 0.0, 0.0, 6.0]
    leave(3, -1)
    # the record carries the sid as given; the analysis maps it as given too
    assert sw.trades == [[-1, 2, 3]]
    assert sw.trade_positions == [6.0]
    with pytest.raises(IndexError, match="^index -5 is out of bounds for axis 0 with size 4$"):
        ts.record_entry(-5, 1.0, 0)


@pytest.mark.parametrize("bad_row", [2**31, -(2**31) - 1, 2**62])
def test_entry_row_outside_int_range_overflows_after_the_record_is_appended(bad_row):
    start(nstocks=3)
    enter(1, 2, 1.0)
    ts.excursion_state()[0][2] = bad_row
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        ts.record_exit(2, 1)
    assert sw.trades == [[2, bad_row, 1]]
    assert sw.trade_positions == [1.0]
    assert sw.swaylen == []


def test_end_analysis_stops_at_the_first_failure():
    start(nstocks=5)
    enter(1, 0, 1.0)
    enter(1, 2, 1.0)
    enter(1, 4, 1.0)
    ts.excursion_state()[0][2] = 2**40
    ts.record_date(3)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        ts.end_analysis({0: 1.0, 2: 1.0, 4: 1.0})
    # sid 0 complete, sid 2 without its excursion array, sid 4 never reached
    assert sw.trades == [[0, 1, -1], [2, 2**40, -1]]
    assert sw.trade_positions == [1.0, 1.0]
    assert len(sw.swaylen) == 1


def test_analysis_failure_leaves_trades_and_positions_without_an_excursion_array():
    close = CLOSE.copy()
    close[2, 0] = 0.0
    start(close=close)
    enter(0, 0, 1.0)
    enter(0, 1, 1.0)
    leave(1, 1)
    ts.record_date(4)
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        ts.record_exit(0, 1)
    assert sw.trades == [[1, 0, 1], [0, 0, 4]]
    assert sw.trade_positions == [1.0, 1.0]
    assert len(sw.swaylen) == 1


def test_failures_carry_the_qualified_names_of_the_failing_functions():
    start(window=2, step=0)
    with pytest.raises(ZeroDivisionError) as info:
        leave(2, 1)
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-3:] == ["pelmora.core._testsupport.record_exit",
                          "pelmora.core.swaylen.record_exit",
                          "pelmora.core.swaylen.swaylen_analysis"]
    with pytest.raises(IndexError) as info:
        ts.end_analysis({99: 1.0})
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "pelmora.core.swaylen.end_analysis" in names


# --- start_analysis: the matrices ----------------------------------------------------------


BAD_MATRICES = [
    (np.ones(6), "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (np.ones((2, 3, 1)), "Buffer has wrong number of dimensions (expected 2, got 3)"),
    (np.float64(1.0), "Buffer has wrong number of dimensions (expected 2, got 0)"),
] + [
    (np.ones((6, 3), dtype=dt), f"Buffer dtype mismatch, expected 'double' but got '{name}'")
    for dt, name in [
        (np.float32, "float"), (np.longdouble, "long double"), (np.int8, "signed char"),
        (np.int16, "short"), (np.int32, "int"), (np.int64, "long"), (np.longlong, "long long"),
        (np.uint8, "unsigned char"), (np.uint16, "unsigned short"), (np.uint32, "unsigned int"),
        (np.uint64, "unsigned long"), (np.ulonglong, "unsigned long long"), (np.bool_, "bool"),
        (np.complex64, "complex float"), (np.complex128, "complex double"),
        (object, "Python object"),
    ]
]


@pytest.mark.parametrize(("bad", "message"), BAD_MATRICES,
                         ids=[m for _, m in BAD_MATRICES])
@pytest.mark.parametrize("which", ["price", "close"])
def test_rejected_matrix_changes_nothing(bad, message, which):
    start(nstocks=4, window=1)
    enter(1, 1, 2.0)
    leave(3, 1)
    before = [list(x) for x in (sw.trades, sw.trade_positions, sw.swaylen)]
    state = ts.excursion_state()
    args = {"price": PRICE[::-1].copy(), "close": CLOSE[::-1].copy()}
    args[which] = bad
    with pytest.raises(ValueError) as info:
        ts.start_analysis(args["price"], args["close"], {}, 2, 0.5, 0.5, 3, 1)
    assert str(info.value) == message
    assert [list(x) for x in (sw.trades, sw.trade_positions, sw.swaylen)] == before
    after = ts.excursion_state()
    assert after[0] is state[0] and after[1] is state[1]
    # the old matrices, map, window and rates are still in force
    leave(4, 1)
    assert_bits(sw.swaylen[-1], expected(1, 1, 4, 2.0, 1, 1, window=1))


def test_float32_price_is_named_exactly():
    with pytest.raises(ValueError) as info:
        ts.start_analysis(PRICE.astype(np.float32), CLOSE, {}, 1, 0.0, 0.0, 0, 1)
    assert str(info.value) == "Buffer dtype mismatch, expected 'double' but got 'float'"


def test_matrices_are_kept_by_reference_not_copied():
    price, close = PRICE.copy(), CLOSE.copy()
    start(price=price, close=close, window=0)
    close[3, 1] = 99.0
    price[0, 1] = 1.0
    enter(0, 1, 1.0, tx=0)
    leave(3, 1, tx=0)
    assert sw.swaylen[0][-1] == (99.0 / close[2, 1]) * (
        (close[2, 1] / close[1, 1]) * ((close[1, 1] / close[0, 1]) * (close[0, 1] / 1.0))) - 1


def test_matrices_live_until_the_next_run_replaces_them():
    price, close = PRICE.copy(), CLOSE.copy()
    refs = weakref.ref(price), weakref.ref(close)
    start(price=price, close=close)
    del price, close
    gc.collect()
    assert all(r() is not None for r in refs)
    start()
    gc.collect()
    assert all(r() is None for r in refs)


@pytest.mark.parametrize(
    "view",
    [lambda m: np.asfortranarray(m), lambda m: m[::-1][::-1],
     lambda m: np.repeat(m, 2, axis=1)[:, ::2], lambda m: np.repeat(m, 3, axis=0)[::3]],
    ids=["fortran", "negative-strides", "column-stride", "row-stride"],
)
def test_strided_matrices_give_the_same_results(view):
    price, close = view(PRICE), view(CLOSE)
    assert np.array_equal(price, PRICE) and np.array_equal(close, CLOSE)
    start(price=price, close=close, window=3, fee=0.01, tax=0.02)
    enter(1, 0, 1.0)
    enter(2, 1, -1.0)
    leave(4, 0)
    ts.end_analysis({1: -1.0})
    assert_bits(sw.swaylen[0], expected(0, 1, 4, 1.0, 1, 1, 0.01, 0.02, window=3))
    assert_bits(sw.swaylen[1], expected(1, 2, 4, -1.0, 1, 0, 0.01, 0.02, window=3))


@pytest.mark.parametrize(
    ("price", "close", "exc", "message"),
    [
        (None, CLOSE, AttributeError, "'NoneType' object has no attribute 'shape'"),
        (None, None, AttributeError, "'NoneType' object has no attribute 'shape'"),
        (PRICE, None, TypeError, "'NoneType' object is not subscriptable"),
    ],
)
def test_missing_matrices_are_accepted_but_fail_the_analysis(price, close, exc, message):
    start(price=price, close=close)
    enter(1, 0, 1.0)
    with pytest.raises(exc) as info:
        leave(3, 0)
    assert str(info.value) == message
    assert len(sw.trades) == 1 and sw.swaylen == []


def test_failure_in_the_middle_of_start_analysis_keeps_the_steps_done():
    start(nstocks=3, window=0, fee=0.25)
    enter(1, 1, 2.0)
    state = ts.excursion_state()
    sw.trades = object()  # has no clear()
    new_close = CLOSE.copy()
    new_close[2, 2] = 40.0
    with pytest.raises(AttributeError):
        ts.start_analysis(PRICE, new_close, {1: 2}, 8, 0.0, 0.0, 1, 1)
    # the per-stock arrays and the rates are those of the earlier run ...
    after = ts.excursion_state()
    assert after[0] is state[0] and after[1] is state[1]
    sw.trades = []
    leave(2, 1)
    got = sw.swaylen[0]
    # ... but the matrices, the column map and the window are the new ones
    # (window 1: one sample block); the fee is still the old 0.25.
    assert len(got) == 12
    r1 = (40.0 / new_close[1, 2]) * ((1 - 0.25) * (new_close[1, 2] / PRICE[1, 2]))
    r1 = (1 - 0.25 - 0.0) * ((PRICE[2, 2] / new_close[2, 2]) * r1)
    assert got[-1] == r1 - 1


def test_negative_stock_count_fails_after_the_lists_are_emptied():
    start(nstocks=3, window=0, fee=0.25)
    enter(1, 1, 2.0)
    leave(2, 1)
    held = sw.trades
    state = ts.excursion_state()
    with pytest.raises(ValueError):
        ts.start_analysis(PRICE, CLOSE, POS2PRICE, -1, 0.0, 0.0, 0, 1)
    # the lists were emptied before the per-stock arrays were to be replaced
    assert held is sw.trades and sw.trades == [] and sw.swaylen == []
    after = ts.excursion_state()
    assert after[0] is state[0] and after[1] is state[1]
    leave(2, 1)
    # the old rates are still in force
    assert_bits(sw.swaylen[0], expected(1, 1, 2, 2.0, 1, 1, fee=0.25, window=0))
