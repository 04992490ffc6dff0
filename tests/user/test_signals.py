"""Signals as a user writes them: entries and exits in, the weights and the run that follow.

The rules are pinned on small tables worked by hand (each row a date, each cell the stocks whose
signal is True); the run with its prices feeds its stops and delistings back as exits; and the
equity equals vectorbt's ``from_signals`` where the two conventions agree.
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora.runner import BOTH_WEIGHTS_AND_SIGNALS
from pelmora.signals import SIGNAL_TEXTS

DATES = pd.bdate_range("2024-01-01", periods=12)


def flags(*rows: str, stocks: str = "ABC") -> pd.DataFrame:
    """A signal frame from one string per row: the stocks whose signal is True ("AC")."""
    cells = [[s in row for s in stocks] for row in rows]
    return pd.DataFrame(cells, index=DATES[: len(rows)], columns=list(stocks))


def weights(rows: dict[int, dict[str, float]], stocks: str = "ABC") -> pd.DataFrame:
    """The expected weight frame: {row: {stock: weight}}, zeros elsewhere."""
    frame = pd.DataFrame(0.0, index=DATES[sorted(rows)], columns=list(stocks))
    for row, cells in rows.items():
        for stock, value in cells.items():
            frame.loc[DATES[row], stock] = value
    return frame


def cells(frame: pd.DataFrame) -> list[list[object]]:
    """A frame's rows as plain values: dates as text, missing values as None."""
    return [[None if pd.isna(v) else v.strftime("%Y-%m-%d") if hasattr(v, "strftime") else v
             for v in row] for row in frame.astype(object).values.tolist()]


def check(got: pd.DataFrame, expected: pd.DataFrame) -> None:
    pd.testing.assert_frame_equal(got, expected, check_freq=False, check_names=False)


# ----------------------------------------------------------------------------- worked by hand


@pytest.mark.parametrize("case", [
    # Overlapping entries: a held stock's entry changes nothing; the book is shared equally.
    dict(entries=("A", "A", "AB", "", ""), exits=("", "", "", "A", ""),
         expected={0: {"A": 1.0}, 2: {"A": 0.5, "B": 0.5}, 3: {"B": 1.0}}),
    # An exit and an entry of one stock on one row keep it held (no row); another's exit and
    # entry on one row move the book at once.
    dict(entries=("AB", "A", "C"), exits=("", "A", "B"),
         expected={0: {"A": 0.5, "B": 0.5}, 2: {"A": 0.5, "C": 0.5}}),
    # An exit with nothing held, and an entry on the stock's exit row after it left, do nothing.
    dict(entries=("", "B", ""), exits=("A", "", "B"), expected={1: {"B": 1.0}, 2: {}}),
])
def test_worked_tables_of_entries_and_exits(case):
    got = pelmora.weights_from_signals(flags(*case["entries"]), flags(*case["exits"]))
    check(got, weights(case["expected"]))


def test_an_exit_frees_its_slot_for_an_entry_on_the_same_row():
    # A is held (max one position); on row 2 A exits and B enters: B takes the slot at once.
    got = pelmora.weights_from_signals(flags("A", "", "B"), flags("", "", "A"), max_positions=1)
    check(got, weights({0: {"A": 1.0}, 2: {"B": 1.0}}))


@pytest.mark.parametrize("rank, expected", [
    (None, {0: {"A": 0.5, "B": 0.5}}),                        # no rank: column order
    ([[1.0, 2.0, 2.0]], {0: {"B": 0.5, "C": 0.5}}),            # higher first
    ([[3.0, 3.0, 3.0]], {0: {"A": 0.5, "B": 0.5}}),            # ties: column order
    ([[np.nan, 1.0, -5.0]], {0: {"B": 0.5, "C": 0.5}}),        # NaN last
    ([[2.0, np.nan, 2.0]], {0: {"A": 0.5, "C": 0.5}}),
])
def test_max_positions_keeps_the_best_ranked_entries(rank, expected):
    scores = None if rank is None else pd.DataFrame(rank, index=DATES[:1], columns=list("ABC"))
    got = pelmora.weights_from_signals(flags("ABC"), max_positions=2, rank=scores)
    check(got, weights(expected))


def test_entries_left_out_by_max_positions_are_dropped_not_queued():
    # C does not fit on row 0 and is not held when a slot frees on row 1; its new entry on row 2
    # takes it.
    got = pelmora.weights_from_signals(flags("ABC", "", "C"), flags("", "A", ""), max_positions=2)
    check(got, weights({0: {"A": 0.5, "B": 0.5}, 1: {"B": 1.0}, 2: {"B": 0.5, "C": 0.5}}))


def test_hold_closes_after_n_rows_and_an_exit_entry_row_counts_anew():
    entries = flags("A", "", "B", "", "", "", "")
    got = pelmora.weights_from_signals(entries, hold=2)
    check(got, weights({0: {"A": 1.0}, 2: {"B": 1.0}, 4: {}}))
    # A exits and enters again on row 1: its two rows count from there.
    renewed = pelmora.weights_from_signals(flags("A", "A", ""), flags("", "A", ""), hold=2)
    assert list(renewed.index) == [DATES[0]]
    assert list(pelmora.weights_from_signals(flags("A", "A", "", ""), flags("", "A", "", ""),
                                             hold=2).index) == [DATES[0], DATES[3]]


def test_short_signals_and_flips():
    got = pelmora.weights_from_signals(
        flags("A", "", "B", ""), flags("", "", "", "A"),
        short_entries=flags("B", "A", "", ""), short_exits=flags("", "", "", ""),
    )
    # Row 1: A's short entry closes the long and opens the short; row 2: B's long entry flips B.
    check(got, weights({0: {"A": 0.5, "B": -0.5}, 1: {"A": -0.5, "B": -0.5},
                        2: {"A": -0.5, "B": 0.5}}))


def test_size_holds_a_fixed_weight_each_and_keeps_the_rest_in_cash():
    got = pelmora.weights_from_signals(flags("A", "B", ""), flags("", "", "A"), size=0.25)
    check(got, weights({0: {"A": 0.25}, 1: {"A": 0.25, "B": 0.25}, 2: {"B": 0.25}}))


def test_no_entry_at_all_is_one_row_of_zeros():
    check(pelmora.weights_from_signals(flags("", "")), weights({0: {}}))


# ------------------------------------------------------------------------------- with the run


def prices(**columns: list[float]) -> pd.DataFrame:
    return pd.DataFrame(columns, index=DATES[: len(next(iter(columns.values())))], dtype=float)


MARKET = prices(A=[10, 10, 10, 8, 8, 9, 10, 11, 12, 12], B=[10, 11, 12, 13, 14, 15, 16, 17, 18, 19])


def test_a_stop_closes_the_position_and_a_later_entry_opens_it_again():
    entries = pd.DataFrame(False, index=MARKET.index, columns=["A", "B"])
    entries.iloc[0] = True
    entries.loc[DATES[3], "A"] = True  # on the stop's own row: no effect
    entries.loc[DATES[5], "A"] = True
    result = pelmora.backtest(entries=entries, prices=MARKET, stop_loss=0.1, fee=0.0, tax=0.0)
    trades = result.trades[["stock", "entry_date", "exit_date", "exit_reason"]]
    assert cells(trades) == [
        ["A", "2024-01-02", "2024-01-05", "stop_loss"],  # stopped at the close of the 4th
        ["A", "2024-01-09", None, None],                  # the entry of the 8th buys on the 9th
        ["B", "2024-01-02", None, None],                  # one record while A comes and goes
    ]
    # From the stop's fill B holds the whole book; from A's new entry the two share it.
    positions = result.positions
    assert np.allclose(positions.loc[DATES[4]:DATES[5], "B"], 1.0, rtol=0, atol=1e-15)
    assert np.allclose(positions.loc[DATES[6]], [0.5, 0.5], rtol=0, atol=1e-15)


def test_a_delisted_stock_leaves_for_good():
    entries = pd.DataFrame(True, index=MARKET.index, columns=["A", "B"])
    result = pelmora.backtest(entries=entries, prices=MARKET, fee=0.0, tax=0.0,
                              delistings={"A": DATES[4]})
    assert cells(result.trades[["stock", "exit_reason"]]) == [["A", "delisting"], ["B", None]]
    # A is sold on its last day, the 5th; B takes the book on the next one.
    assert np.allclose(result.positions.loc[DATES[5]:, "B"], 1.0, rtol=0, atol=1e-15)


def test_without_stops_the_shorthand_is_the_run_of_the_weights():
    from markets import make_market

    market = make_market(seed=4, n_days=60)
    close = market["close"]
    fast, slow = close.rolling(3).mean(), close.rolling(8).mean()
    entries, exits = fast > slow, fast < slow
    options = dict(fee=0.001, tax=0.003, retain_cost=True)
    direct = pelmora.backtest(pelmora.weights_from_signals(entries, exits, max_positions=3),
                              market, **options)
    short = pelmora.backtest(entries=entries, exits=exits, max_positions=3, prices=market,
                             **options)
    assert np.array_equal(short.equity.to_numpy(), direct.equity.to_numpy())
    assert len(direct.trades) > 5


# ------------------------------------------------------------------------------------- refused


@pytest.mark.parametrize("call, error, message", [
    (lambda: pelmora.backtest(weights(({0: {"A": 1.0}})), MARKET, entries=flags("A")),
     TypeError, BOTH_WEIGHTS_AND_SIGNALS),
    (lambda: pelmora.weights_from_signals(flags("A").astype(float)), TypeError,
     SIGNAL_TEXTS["flags"].format(name="entries", column="A", dtype="float64")),
    (lambda: pelmora.weights_from_signals([[True]]), TypeError,
     SIGNAL_TEXTS["frame"].format(name="entries", kind="list")),
    (lambda: pelmora.weights_from_signals(None), TypeError, SIGNAL_TEXTS["no_entries"]),
    (lambda: pelmora.weights_from_signals(pd.Series([True], index=DATES[:1])), ValueError,
     SIGNAL_TEXTS["unnamed"].format(name="entries")),
    (lambda: pelmora.weights_from_signals(flags("A"), short_entries=flags("A")), ValueError,
     SIGNAL_TEXTS["both_sides"].format(stock="A", date="2024-01-01")),
    (lambda: pelmora.weights_from_signals(flags("A"), rank=flags("A")), ValueError,
     SIGNAL_TEXTS["rank_alone"]),
    (lambda: pelmora.weights_from_signals(flags("A"), max_positions=1, rank=flags("A")),
     TypeError, SIGNAL_TEXTS["rank"].format(kind="a frame with other columns")),
    (lambda: pelmora.weights_from_signals(flags("A"), hold=0), ValueError,
     SIGNAL_TEXTS["count"].format(name="hold", value=0)),
    (lambda: pelmora.weights_from_signals(flags("A"), max_positions=True), ValueError,
     SIGNAL_TEXTS["count"].format(name="max_positions", value=True)),
    (lambda: pelmora.weights_from_signals(flags("A"), size=float("nan")), ValueError,
     SIGNAL_TEXTS["size"].format(value=float("nan"))),
    (lambda: pelmora.weights_from_signals(pd.concat([flags("A"), flags("A")])), ValueError,
     SIGNAL_TEXTS["duplicate"].format(name="entries", what="date", label=DATES[0])),
])
def test_wrong_signals_are_refused_by_name(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


def test_signals_read_missing_as_false_and_align_on_the_entries():
    entries = flags("A", "", "").astype(object)
    entries.iloc[1, 0] = None
    exits = pd.DataFrame({"A": pd.array([None, None, True], dtype="boolean"),
                          "Z": [True, True, True]}, index=DATES[:3])  # Z: no entries, ignored
    got = pelmora.weights_from_signals(entries, exits)
    check(got, weights({0: {"A": 1.0}, 2: {}}))


# --------------------------------------------------------------------------------- vectorbt

# Where the conventions agree: no costs (pelmora takes the fee out of the position, 1 - fee,
# where vectorbt buys with cash / (1 + fee)); a signal of row t trades at the close of row t + 1
# in pelmora and at the close of row t in vectorbt, so vectorbt gets the signals one row later;
# and every position opens and closes with the others of its row (pelmora re-weights the held
# stocks on every row where one opens or closes, vectorbt leaves them as they drifted).


def _vectorbt_value(close, entries, exits, size):
    vbt = pytest.importorskip("vectorbt")
    shift = lambda f: f.shift(1, fill_value=False).astype(bool)  # noqa: E731
    # Each entry spends its share of the cash left ("percent"): 1/4, 1/3, 1/2 and all of it buy
    # four equal parts; the sales of a row go first ("auto").
    portfolio = vbt.Portfolio.from_signals(
        close, shift(entries), shift(exits), size=size, size_type="percent",
        init_cash=1.0, fees=0.0, cash_sharing=True, group_by=True, call_seq="auto", freq="1D",
    )
    return portfolio.value()


@pytest.mark.slow
@pytest.mark.parametrize("layout", ["rotation", "basket"])
def test_equity_equals_vectorbt_where_the_conventions_agree(layout):
    from pelmora.datasets import synthetic_market

    close = synthetic_market(n_stocks=4, n_days=250, seed=11).close.ffill().bfill()
    rng = np.random.default_rng(5)
    if layout == "rotation":  # one stock at a time, switching every 5 to 20 days
        held = np.repeat(rng.integers(0, 4, 30), rng.integers(5, 20, 30))[: len(close)]
        inside = pd.DataFrame(held[:, None] == np.arange(4), index=close.index,
                              columns=close.columns)
        size = 1.0
    else:  # all four in or all four out, together
        spells = np.repeat(rng.integers(0, 2, 30), rng.integers(5, 20, 30))[: len(close)]
        inside = pd.DataFrame(np.repeat(spells[:, None] == 1, 4, axis=1), index=close.index,
                              columns=close.columns)
        size = np.array([[1 / 4, 1 / 3, 1 / 2, 1.0]])
    entries = inside & ~inside.shift(1, fill_value=False)
    exits = ~inside & inside.shift(1, fill_value=False)
    expected = _vectorbt_value(close, entries, exits, size)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = pelmora.backtest(entries=entries, exits=exits, prices=close, fee=0.0, tax=0.0)
    assert len(result.trades) > 10
    np.testing.assert_allclose(result.equity.to_numpy(), expected.to_numpy(), rtol=1e-12)
