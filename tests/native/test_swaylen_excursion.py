"""Excursion arrays of single trades: worked examples, sampling edge cases and errors.

Every trade is driven through the native entry points (record_date /
record_entry / record_exit) exactly as the engine reports it. Expected values
are computed here with the same floating-point operations in the same order,
so the comparisons are bit for bit.
"""

import math
from dataclasses import dataclass

import numpy as np
import pytest

import pelmora.core._testsupport as ts
import pelmora.core.swaylen as sw

INT_MIN = -(2**31)
NAN = float("nan")


def column(*values):
    return np.array(values, dtype=np.float64).reshape(-1, 1)


def run_trade(price, close, *, entry_row=0, exit_row, position=1.0, entry_tx=0, exit_tx=0,
              fee=0.0, tax=0.0, window=0, step=1, sid=0, pos2price=None, nstocks=None):
    """Opens and closes one trade; returns its excursion array."""
    if pos2price is None:
        pos2price = {sid: 0}
    ts.start_analysis(price, close, pos2price, nstocks or sid + 1, fee, tax, window, step)
    ts.record_date(entry_row)
    ts.record_entry(sid, position, entry_tx)
    ts.record_date(exit_row)
    ts.record_exit(sid, exit_tx)
    assert len(sw.trades) == len(sw.trade_positions) == len(sw.swaylen) == 1
    return sw.swaylen[0]


def assert_bits(got, expected):
    expected = np.asarray(expected, dtype=np.float64)
    assert isinstance(got, np.ndarray)
    assert got.dtype == np.float64 and got.ndim == 1
    np.testing.assert_array_equal(got, expected)
    assert got.tobytes() == expected.tobytes()


@dataclass
class Series:
    """Hand-derived per-position series of a trade."""

    returns: list
    cummax: list
    cummin: list
    cummin_i: list
    mdd: list
    profit_period: list

    def block(self, n):
        return [self.cummin[n] - 1, self.cummax[n] - 1, self.cummax[self.cummin_i[n]] - 1,
                self.mdd[n], self.profit_period[n], self.returns[n] - 1]


def layout(series, sampled, empty_blocks, e):
    """Sample blocks at `sampled`, `empty_blocks` untouched blocks, then the summary at e."""
    out = []
    for w in sampled:
        out += series.block(w)
    out += [-1.0] * (6 * empty_blocks)
    out += series.block(e)
    return out


# The worked example: entry trade price 10, closes 11, 12, 9, 10 along the path.
PRICE = column(10, 10, 10, 10)
CLOSE = column(11, 12, 9, 10)


def long_series():
    r0 = 11 / 10
    r1 = (12 / 11) * r0
    r2 = (9 / 12) * r1
    r3 = (10 / 9) * r2
    return Series(
        returns=[r0, r1, r2, r3],
        cummax=[r0, r1, r1, r1],
        cummin=[1.0, 1.0, r2, r2],
        cummin_i=[0, 0, 1, 1],
        mdd=[0.0, 0.0, r2 / r1 - 1, r2 / r1 - 1],
        profit_period=[1.0, 2.0, 2.0, 2.0],
    )


def short_series():
    s0 = 2 - 11 / 10
    s1 = 2 - (12 / 11) * (2 - s0)
    s2 = 2 - (9 / 12) * (2 - s1)
    s3 = 2 - (10 / 9) * (2 - s2)
    return Series(
        returns=[s0, s1, s2, s3],
        cummax=[1.0, 1.0, s2, s2],
        cummin=[s0, s1, s1, s1],
        cummin_i=[0, 0, 0, 0],
        mdd=[s0 - 1, s1 / 1.0 - 1, s1 / 1.0 - 1, s1 / 1.0 - 1],
        profit_period=[0.0, 0.0, 1.0, 1.0],
    )


# --- the worked examples ---------------------------------------------------------------


def test_long_worked_example():
    got = run_trade(PRICE, CLOSE, exit_row=3, position=1.0, window=3, step=1)
    s = long_series()
    assert len(got) == 24
    assert_bits(got, layout(s, [0, 1, 2], 0, 3))
    # The documented nominal values, up to rounding.
    assert s.returns == pytest.approx([1.1, 1.2, 0.9, 1.0])
    assert got[-6:].tolist() == pytest.approx([-0.1, 0.2, 0.2, -0.25, 2.0, 0.0])


def test_short_worked_example():
    got = run_trade(PRICE, CLOSE, exit_row=3, position=-1.0, window=3, step=1)
    s = short_series()
    assert_bits(got, layout(s, [0, 1, 2], 0, 3))
    assert s.returns == pytest.approx([0.9, 0.8, 1.1, 1.0])
    assert got[-6:].tolist() == pytest.approx([-0.2, 0.1, 0.0, -0.2, 1.0, 0.0])


@pytest.mark.parametrize(("position", "series"), [(1.0, long_series), (-1.0, short_series)])
def test_window_zero_holds_only_the_summary_block(position, series):
    got = run_trade(PRICE, CLOSE, exit_row=3, position=position, window=0, step=1)
    assert len(got) == 6
    assert_bits(got, series().block(3))


@pytest.mark.parametrize(("window", "step"), [(3, 5), (2, 7), (1, 1000), (1, 1)])
def test_step_not_below_the_window_samples_only_the_entry(window, step):
    got = run_trade(PRICE, CLOSE, exit_row=3, window=window, step=step)
    assert len(got) == 12
    assert_bits(got, layout(long_series(), [0], 0, 3))


def test_sampled_positions_are_multiples_of_the_step():
    # window 4, step 3: positions 0 and 3, (4 - 1) // 3 + 1 = 2 sample blocks.
    got = run_trade(PRICE, CLOSE, exit_row=2, window=4, step=3)
    assert len(got) == 18
    assert_bits(got, layout(long_series(), [0, 3], 0, 2))


@pytest.mark.parametrize(
    ("window", "step", "sampled", "empty"),
    [(6, 1, [0, 1, 2, 3], 2), (6, 2, [0, 2], 1), (9, 4, [0], 2)],
)
def test_path_shorter_than_window_leaves_trailing_blocks_at_minus_one(window, step, sampled,
                                                                      empty):
    # Four rows of data: the path ends on the last row, before the window does.
    got = run_trade(PRICE, CLOSE, exit_row=3, window=window, step=step)
    assert len(got) == ((window - 1) // step) * 6 + 12
    assert_bits(got, layout(long_series(), sampled, empty, 3))


@pytest.mark.parametrize("position", [2.0, -2.0])
def test_entry_on_the_last_row_gets_only_the_fee_and_tax_factor(position):
    fee, tax = 0.001425, 0.003
    price = column(10, 10, 10, 8)
    close = column(11, 12, 9, 9)
    got = run_trade(price, close, entry_row=3, exit_row=3, position=position, entry_tx=1,
                    exit_tx=1, fee=fee, tax=tax, window=3, step=1)
    r0 = 9 / 8 if position > 0 else 2 - 9 / 8
    r0 = (1 - fee) * r0
    r = (1 - fee - tax) * r0
    cmax = 1.0 if 1 > r0 else r0
    cmin = 1.0 if r0 > 1 else r0
    mdd = r0 - 1 if r0 - 1 < 0 else 0.0
    pp = 1.0 if r0 > 1 else 0.0
    # The running extremes and the rows in profit were taken before the exit
    # transaction; only the return carries the fee and tax.
    block = [cmin - 1, cmax - 1, cmax - 1, mdd, pp, r - 1]
    assert_bits(got, block + [-1.0] * 12 + block)


def test_exit_transaction_replaces_the_last_close_by_the_trade_price():
    fee, tax = 0.002, 0.003
    price = column(10, 10, 10, 10.5)
    got_long = run_trade(price, CLOSE, exit_row=3, position=1.0, exit_tx=1, fee=fee, tax=tax,
                         window=0)
    r3 = long_series().returns[3]
    assert got_long[5] == (1 - fee - tax) * ((10.5 / 10) * r3) - 1

    got_short = run_trade(price, CLOSE, exit_row=3, position=-1.0, exit_tx=1, fee=fee, tax=tax,
                          window=0)
    s3 = short_series().returns[3]
    assert got_short[5] == (1 - fee - tax) * (2 - ((2 - s3) * 10.5) / 10) - 1
    # Only the return moves; the extremes stay those of the close path.
    assert_bits(got_long[:5], long_series().block(3)[:5])
    assert_bits(got_short[:5], short_series().block(3)[:5])


def test_entry_transaction_charges_the_fee_on_the_starting_ratio():
    fee = 0.01
    got = run_trade(PRICE, CLOSE, exit_row=1, entry_tx=1, fee=fee, window=0)
    r0 = (1 - fee) * (11 / 10)
    r1 = (12 / 11) * r0
    assert got[5] == r1 - 1
    assert got[1] == r1 - 1


def test_exit_transaction_before_the_window_end_leaves_the_exit_row_unadjusted():
    # The window carries the path past the exit, so the fee, tax and trade-price
    # adjustment fall on the window's last row, not on the exit row.
    price = column(10, 10, 10, 10, 10)
    close = column(11, 12, 9, 10, 10)
    plain = run_trade(price, close, exit_row=1, window=4, step=1).copy()
    charged = run_trade(price, close, exit_row=1, exit_tx=1, fee=0.1, tax=0.1, window=4, step=1)
    assert_bits(charged, plain)
    assert plain[-1] == (12 / 11) * (11 / 10) - 1


def test_bmfe_is_the_favourable_excursion_before_the_adverse_extreme():
    price = column(10, 10, 10, 10, 10)
    close = column(10, 12, 9, 15, 8)
    got = run_trade(price, close, exit_row=4, window=5, step=1)
    r = [10 / 10]
    for prev, cur in zip([10, 12, 9, 15], [12, 9, 15, 8]):
        r.append((cur / prev) * r[-1])
    s = Series(
        returns=r,
        cummax=[1.0, r[1], r[1], r[3], r[3]],
        cummin=[1.0, 1.0, r[2], r[2], r[4]],
        # the position before each new low
        cummin_i=[0, 0, 1, 1, 3],
        mdd=[0.0, 0.0, r[2] / r[1] - 1, r[2] / r[1] - 1, r[4] / r[3] - 1],
        profit_period=[0.0, 1.0, 1.0, 2.0, 2.0],
    )
    assert_bits(got, layout(s, [0, 1, 2, 3, 4], 0, 4))
    assert got[-4] == pytest.approx(0.5)  # high of 15 before the low of 8


def test_nan_close_repeats_the_return_and_does_not_count_as_in_profit():
    price = column(10, 10, 10, 10)
    close = column(11, NAN, 12, 13)
    got = run_trade(price, close, exit_row=3, window=4, step=1)
    r0 = 11 / 10
    r2 = (12 / 11) * r0  # compared with the last valid close
    r3 = (13 / 12) * r2
    s = Series(
        returns=[r0, r0, r2, r3],
        cummax=[r0, r0, r2, r3],
        cummin=[1.0, 1.0, 1.0, 1.0],
        cummin_i=[0, 0, 0, 0],
        mdd=[0.0, 0.0, 0.0, 0.0],
        profit_period=[1.0, 1.0, 2.0, 3.0],
    )
    assert_bits(got, layout(s, [0, 1, 2, 3], 0, 3))


@pytest.mark.parametrize("close_at_exit", [NAN, 0.0])
def test_nan_or_zero_close_on_the_last_row_of_an_exit_without_transaction(close_at_exit):
    close = column(11, 12, close_at_exit)
    got = run_trade(column(10, 10, 10), close, exit_row=2, window=0)
    r1 = (12 / 11) * (11 / 10)
    expected_last = r1 if math.isnan(close_at_exit) else (0.0 / 12) * r1
    assert got[5] == expected_last - 1


@pytest.mark.parametrize(
    ("price", "close", "exit_row", "exit_tx", "window"),
    [
        # a zero close followed by a valid close fails on the valid close's row
        (column(10, 10, 10), column(11, 0, 12), 2, 0, 0),
        # ... even with a NaN close in between
        (column(10, 10, 10, 10), column(11, 0, NAN, 12), 3, 0, 0),
        # ... and when the row is reached through the window, past the exit
        (column(10, 10, 10), column(11, 0, 12), 0, 0, 2),
        # a zero close at the entry is the base of the first step
        (column(10, 10), column(0, 12), 1, 0, 0),
        # a zero entry trade price
        (column(0, 10), column(11, 12), 1, 0, 0),
        (column(-0.0, 10), column(11, 12), 0, 1, 0),
        # the exit transaction divides by the last close
        (column(10, 10), column(11, 0), 1, 1, 0),
    ],
)
@pytest.mark.parametrize("position", [1.0, -1.0])
def test_zero_divisions_raise_float_division(price, close, exit_row, exit_tx, window, position):
    with pytest.raises(ZeroDivisionError, match=r"^float division$"):
        run_trade(price, close, exit_row=exit_row, exit_tx=exit_tx, window=window,
                  position=position)


def test_zero_entry_close_is_a_valid_start_when_nothing_follows():
    got = run_trade(column(10, 10), column(0, 12), exit_row=0, window=0)
    assert_bits(got, [0.0 / 10 - 1, 0.0, 0.0, 0.0 / 10 - 1, 0.0, 0.0 / 10 - 1])


def test_sid_missing_from_the_column_map_uses_column_zero():
    price = np.hstack([PRICE, column(20, 20, 20, 20)])
    close = np.hstack([CLOSE, column(21, 19, 25, 30)])
    mapped = run_trade(price, close, sid=1, exit_row=3, window=3, pos2price={1: 1}).copy()
    unmapped = run_trade(price, close, sid=1, exit_row=3, window=3, pos2price={})
    assert_bits(unmapped, layout(long_series(), [0, 1, 2], 0, 3))
    assert not np.array_equal(mapped, unmapped)
    # Later exits of the sid in the same run keep using column 0.
    ts.record_exit(1, 0)
    assert_bits(sw.swaylen[1], unmapped)


def test_column_map_selects_the_price_column():
    price = np.hstack([column(20, 20, 20, 20), PRICE])
    close = np.hstack([column(21, 19, 25, 30), CLOSE])
    got = run_trade(price, close, sid=4, exit_row=3, window=3, pos2price={4: 1, 0: 0})
    assert_bits(got, layout(long_series(), [0, 1, 2], 0, 3))


def test_exit_recorded_before_the_entry_row_takes_the_summary_at_the_path_end():
    price = column(10, 10, 10, 10, 10)
    close = column(10, 11, 12, 9, 10)
    # Entry on row 1, exit reported on row 0: the span is negative, so the
    # summary is taken at the last position of the path (window 2: rows 1..3,
    # whose closes 11, 12, 9 are those of the worked example).
    ts.start_analysis(price, close, {0: 0}, 1, 0.0, 0.0, 2, 1)
    ts.record_date(1)
    ts.record_entry(0, 1.0, 0)
    ts.record_date(0)
    ts.record_exit(0, 0)
    assert sw.trades == [[0, 1, 0]]
    assert_bits(sw.swaylen[0], layout(long_series(), [0, 1], 0, 2))


@pytest.mark.parametrize("entry_row", [-1, -4])
def test_negative_rows_count_from_the_end_of_the_data(entry_row):
    got = run_trade(PRICE, CLOSE, entry_row=entry_row, exit_row=entry_row, window=0)
    row = entry_row % 4
    r0 = CLOSE[row, 0] / PRICE[row, 0]
    assert_bits(got, [(1.0 if r0 > 1 else r0) - 1, (1.0 if 1 > r0 else r0) - 1,
                      (1.0 if 1 > r0 else r0) - 1, r0 - 1 if r0 - 1 < 0 else 0.0,
                      1.0 if r0 > 1 else 0.0, r0 - 1])


# --- array size and sampling of unusual windows --------------------------------------


@pytest.mark.parametrize(
    ("window", "step", "size"),
    [(0, 1, 6), (1, 1, 12), (3, 1, 24), (3, 2, 18), (10, 3, 30), (0, -1, 18), (-1, -1, 24),
     (-3, -2, 24), (0, 5, 6), (2, -1, 6)],
)
def test_array_size_uses_floor_division(window, step, size):
    got = run_trade(PRICE, CLOSE, exit_row=3, window=window, step=step)
    assert len(got) == size
    # negative windows and steps sample nothing; the summary is always written
    assert_bits(got[-6:], long_series().block(3))
    if window <= 0 or step < 0:
        assert (got[:-6] == -1).all()


@pytest.mark.parametrize(
    ("window", "step", "exc", "message"),
    [
        (3, 0, ZeroDivisionError, r"^integer division or modulo by zero$"),
        (INT_MIN + 1, -1, OverflowError, r"^value too large to perform division$"),
        (-2, 1, ValueError, None),  # negative array size
        (-8, 3, ValueError, None),
        (-1, 1, IndexError, r"^Out of bounds on buffer access \(axis 0\)$"),  # size 0
    ],
)
def test_impossible_windows_raise_and_append_no_excursion_array(window, step, exc, message):
    ts.start_analysis(PRICE, CLOSE, {0: 0}, 1, 0.0, 0.0, window, step)
    ts.record_date(0)
    ts.record_entry(0, 1.0, 0)
    ts.record_date(3)
    with pytest.raises(exc, match=message):
        ts.record_exit(0, 0)
    assert sw.trades == [[0, 0, 3]]
    assert sw.trade_positions == [1.0]
    assert sw.swaylen == []


def test_path_errors_come_before_window_errors():
    # window_step 0 would fail too, but only once the path is complete.
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        run_trade(PRICE, column(11, 0, 12, 10), exit_row=3, window=3, step=0)


@pytest.mark.parametrize(
    ("entry_row", "exc", "message"),
    [
        (4, IndexError, r"^index 4 is out of bounds for axis 0 with size 4$"),
        (5, OverflowError, r"^can't convert negative value to size_t$"),
        (400, OverflowError, r"^can't convert negative value to size_t$"),
        (-5, IndexError, r"^index -5 is out of bounds for axis 0 with size 4$"),
    ],
)
def test_entry_row_outside_the_data(entry_row, exc, message):
    with pytest.raises(exc, match=message):
        run_trade(PRICE, CLOSE, entry_row=entry_row, exit_row=entry_row, window=0)
    assert len(sw.trades) == len(sw.trade_positions) == 1 and sw.swaylen == []


@pytest.mark.parametrize(("pid", "message"), [(1, "index 1 is out of bounds for axis 0 with size 1"),
                                               (-2, "index -2 is out of bounds for axis 0 with size 1")])
def test_price_column_outside_the_data(pid, message):
    with pytest.raises(IndexError, match=f"^{message}$"):
        run_trade(PRICE, CLOSE, exit_row=3, pos2price={0: pid})


def test_negative_price_column_counts_from_the_end():
    price = np.hstack([PRICE, column(20, 20, 20, 20)])
    close = np.hstack([CLOSE, column(21, 19, 25, 30)])
    got = run_trade(price, close, exit_row=3, window=3, pos2price={0: -2})
    assert_bits(got, layout(long_series(), [0, 1, 2], 0, 3))
