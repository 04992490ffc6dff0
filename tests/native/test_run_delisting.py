"""Delisting exits, the closing valuation and its price checks, end to end."""

import math

import numpy as np
import pytest

from run_helpers import build, operations, trade_records

FEE = 0.001425
TAX = 0.003
NAN = math.nan


def bars(*values):
    return np.array(values, dtype=np.int64)


def test_a_delisted_stock_is_sold_at_its_book_value_before_the_close():
    price = [[10.0, 20.0], [10.0, 20.0], [11.0, 22.0], [12.0, 21.0], [12.0, NAN]]
    inp = build(price, [0.5, 0.5])
    creturn = inp.run(fee_ratio=FEE, tax_ratio=TAX, delisting_bars=bars(-1, 3))

    cash = 1.0 - 0.5
    h0 = 0.0 + (0.5 - abs(0.5) * FEE)
    cash = cash - 0.5
    h1 = 0.0 + (0.5 - abs(0.5) * FEE)
    expected = [1.0, cash + h0 * 10.0 / 10.0 + h1 * 20.0 / 20.0]
    h0, h1 = h0 * (11.0 / 10.0), h1 * (22.0 / 20.0)
    expected.append(cash + h0 * 11.0 / 11.0 + h1 * 22.0 / 22.0)
    h0, h1 = h0 * (12.0 / 11.0), h1 * (21.0 / 22.0)
    cash = cash + (h1 - abs(h1) * (FEE + TAX))
    expected.append(cash + h0 * 12.0 / 12.0)
    h0 = h0 * (12.0 / 12.0)
    expected.append(cash + h0 * 12.0 / 12.0)
    assert creturn.tolist() == expected
    assert trade_records() == [[1, 1, 3], [0, 1, -1]]


def test_a_delisting_is_not_a_stop_out():
    price = [[10.0, 20.0], [10.0, 20.0], [11.0, 22.0], [12.0, 21.0], [12.0, NAN]]
    build(price, [0.5, 0.5]).run(delisting_bars=bars(-1, 3))
    # No "tp_"/"sl_" label, and it is not left out of the next weights; its
    # held weight is reported as 0 (it left the book).
    assert operations() == {"actions": {}, "weights": {0: 0.5, 1: 0.0},
                            "next_weights": {0: 0.5, 1: 0.5}, "weight_time": 0,
                            "next_weight_time": 0}


def test_a_short_is_covered_on_its_delisting_row():
    inp = build([10.0, 10.0, 8.0, 8.0], [-1.0])
    creturn = inp.run(fee_ratio=FEE, tax_ratio=TAX, delisting_bars=bars(2))
    cash = 1.0 + (-(-1.0) - abs(-1.0) * FEE)
    held = -1.0 * (8.0 / 10.0)
    cash = cash + (held - abs(held) * (FEE + TAX))
    assert creturn.tolist() == [1.0, (1.0 + (1.0 - FEE)) + -1.0 * 10.0 / 10.0, cash, cash]
    assert trade_records() == [[0, 1, 2]]


def test_a_stock_bought_on_its_delisting_row_is_sold_on_the_same_row():
    creturn = build([10.0, 10.0, 10.0], [1.0]).run(fee_ratio=FEE, tax_ratio=TAX,
                                                   delisting_bars=bars(1))
    held = 0.0 + (1.0 - abs(1.0) * FEE)
    cash = (1.0 - 1.0) + (held - abs(held) * (FEE + TAX))
    assert creturn.tolist() == [1.0, cash, cash]
    assert trade_records() == [[0, 1, 1]]


def test_a_delisting_leaves_an_empty_holding_alone():
    # Stopped intraday on row 2 (key kept at 0.0), "delisted" on row 3: the
    # key is not touched, so the report still counts it as held.
    price = [[10.0, 10.0], [10.0, 10.0], [10.0, 9.0], [10.0, 9.0], [10.0, 9.0]]
    low = [row[:] for row in price]
    low[2][1] = 8.5
    build(price, [0.0, 1.0], low=low).run(touched_exit=True, stop_loss=0.1,
                                          delisting_bars=bars(-1, 3))
    assert trade_records() == [[1, 1, 2]]
    assert operations()["weights"] == {1: 1.0}


@pytest.mark.parametrize("delisting", [bars(-1), bars(), bars(-1, -7, -1000)])
def test_delisting_bars_without_a_row_is_never_read(delisting):
    # Shorter than the position columns, but all negative: no delisting at
    # all, so nothing is indexed.
    price = [[10.0, 20.0, 30.0]] * 4
    inp = build(price, [0.2, 0.3, 0.5])
    assert inp.run(delisting_bars=delisting).tolist() == inp.run().tolist()


def test_delisting_bars_too_short_for_a_held_stock():
    inp = build([[10.0, 20.0, 30.0]] * 4, [0.2, 0.3, 0.5])
    with pytest.raises(IndexError) as e:
        inp.run(delisting_bars=bars(100, -1))
    assert str(e.value) == "Out of bounds on buffer access (axis 0)"


def test_a_delisting_row_that_never_comes():
    inp = build([[10.0, 20.0]] * 4, [0.5, 0.5])
    assert inp.run(delisting_bars=bars(4, 99)).tolist() == inp.run().tolist()
    assert trade_records() == [[0, 1, -1], [1, 1, -1]]


def test_the_excursion_analysis_is_closed_even_with_an_empty_book():
    build([10.0, 10.0, 10.0], [1.0]).run(delisting_bars=bars(2))
    assert trade_records() == [[0, 1, 2]]
    build([10.0, 10.0, 10.0], [0.0]).run()
    assert trade_records() == []


# --- stock names: matching columns, missing price columns ---------------------------------------


def test_position_columns_find_their_prices_by_name():
    price = [[10.0, 20.0], [10.0, 20.0], [11.0, 30.0]]
    creturn = build(price, [0.0, 1.0], price_columns=["A", "B"], pos_columns=["B", "A"]).run()
    # Position column 1 is "A": price column 0.
    assert creturn.tolist() == [1.0, 1.0, 0.0 + (1.0 * (11.0 / 10.0)) * 11.0 / 11.0]


def test_a_stock_without_prices_may_be_listed_if_never_held():
    price = [[10.0, 20.0]] * 3
    inp = build(price, [1.0, 0.0, 0.0], price_columns=["A", "B"], pos_columns=["A", "X", "Y"])
    assert inp.run().tolist() == [1.0, 1.0, 1.0]


def test_a_held_stock_without_a_price_column_is_an_error():
    price = [[10.0, 20.0]] * 3
    inp = build(price, [0.0, 1.0], price_columns=["S0", "S1"], pos_columns=["S0", "ZZZ"])
    with pytest.raises(ValueError) as e:
        inp.run()
    assert str(e.value) == "No price column for stock ZZZ; it is held at price row 1."


class Symbol:
    """A stock identifier that is not a str: matched through its encoding,
    named in messages through format()."""

    def __init__(self, code):
        self.code = code

    def encode(self, encoding):
        return self.code.encode(encoding)

    def __format__(self, fmt):
        return f"<{self.code}>"


def test_a_missing_price_column_names_the_stock_like_the_price_check():
    inp = build([[10.0]] * 4, [0.0, 1.0], price_columns=["A"],
                pos_columns=[Symbol("A"), Symbol("Q")], pos_index=[1], resample=[2])
    with pytest.raises(ValueError) as e:
        inp.run()
    assert str(e.value) == "No price column for stock <Q>; it is held at price row 3."


def test_the_price_check_names_a_non_str_stock_through_format():
    inp = build([10.0, 10.0, 0.0], [1.0], price_columns=["A"], pos_columns=[Symbol("A")])
    with pytest.raises(ValueError) as e:
        inp.run()
    assert str(e.value) == ("Invalid trading price for <A> at price row 2: 0.0. Expected a "
                            "positive finite price; check the trading-price dataset.")


# --- trade price checks of held stocks ----------------------------------------------------------


@pytest.mark.parametrize("bad, text", [(0.0, "0.0"), (-0.0, "-0.0"), (-1.5, "-1.5"),
                                       (math.inf, "inf"), (-math.inf, "-inf")])
@pytest.mark.parametrize("row", [1, 2])
def test_an_invalid_trade_price_of_a_held_stock_ends_the_run(bad, text, row):
    # Row 1 is the buying row (checked by the closing valuation), row 2 a
    # later one (checked when the holding is marked).
    price = [[5.0, 10.0], [5.0, 10.0], [5.0, 10.0], [5.0, 10.0]]
    price[row][1] = bad
    inp = build(price, [0.0, 1.0], price_columns=["AAA", "BBB"])
    with pytest.raises(ValueError) as e:
        inp.run()
    assert str(e.value) == (f"Invalid trading price for BBB at price row {row}: {text}. Expected "
                            "a positive finite price; check the trading-price dataset.")


def test_prices_of_stocks_not_held_are_not_checked():
    price = [[5.0, 10.0], [0.0, 10.0], [-1.0, 10.0], [math.inf, 10.0]]
    creturn = build(price, [0.0, 1.0]).run()
    assert creturn.tolist() == [1.0, 1.0, 1.0, 1.0]


@pytest.mark.parametrize("tiny_or_huge", [1e-9, 1e308])
def test_extreme_but_valid_prices_pass(tiny_or_huge):
    creturn = build([tiny_or_huge] * 3, [1.0]).run()
    assert creturn.tolist() == [1.0, 0.0 + 1.0 * tiny_or_huge / tiny_or_huge,
                                0.0 + (1.0 * (tiny_or_huge / tiny_or_huge)) * tiny_or_huge
                                / tiny_or_huge]
