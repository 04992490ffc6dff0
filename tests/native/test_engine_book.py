"""The engine's position book: set_position, rebalance and the gross-weight sum.

The book functions are native-only; `pelmora.core._testsupport` runs them on a
real book (a dict written back after the call, also after a failure) and with
the excursion module bound exactly as the engine binds it, so every entry,
exit and split they report shows up in `pelmora.core.swaylen`'s lists.

Expected cash and holdings are computed here with the same operations in the
same order as the engine, so the comparisons are exact.
"""

import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pelmora.core import _testsupport as ts
from pelmora.core import runvane as rv
from pelmora.core import swaylen as sw
from support import frame_names, python_error

FEE = 0.001425
TAX = 0.003
NSTOCKS = 4
# Constant prices: every daily step of a trade's path is exactly 1.0, so the
# last element of an excursion array (the trade's return - 1) shows only the
# fee and tax factors of its entry and exit transactions.
PRICE = np.full((8, NSTOCKS), 10.0)


class Truth:
    """A flag value that counts how often its truth is asked."""

    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __bool__(self):
        self.calls += 1
        return self.value


class BadTruth:
    def __bool__(self):
        raise RuntimeError("no truth")


def entry_state(sid):
    entry, position = ts.excursion_state()
    return int(entry[sid]), float(position[sid])


def trade_return(k):
    """The return (minus one) of trade k as the excursion module summarised it."""
    return float(sw.swaylen[k][-1])


@pytest.fixture
def flags(monkeypatch):
    # backtest_ rewrites both flags at every call; start each test from the
    # import-time values whatever ran before.
    monkeypatch.setattr(rv, "RETAIN_COST_WHEN_REBALANCE", False)
    monkeypatch.setattr(rv, "RESAMPLE", None)


@pytest.fixture
def analysis(flags):
    ts.start_analysis(PRICE, PRICE, {i: i for i in range(NSTOCKS)}, NSTOCKS, FEE, TAX, 0, 1)
    ts.record_date(2)


def set_position(book, sid, position, cash, *args, **kwargs):
    return ts.set_position(book, sid, position, cash, FEE, TAX, *args, **kwargs)


# --- set_position: closing -------------------------------------------------------------


@pytest.mark.usefixtures("analysis")
class TestClose:
    def test_absent_sid_with_lookup_changes_nothing(self):
        book = {}
        assert set_position(book, 1, 0.0, 123.25, True, False) == 123.25
        assert book == {}
        assert sw.trades == [] and sw.trade_positions == [] and sw.swaylen == []

    @pytest.mark.parametrize(("set_null", "expected_book"), [(False, {1: 0.0}), (True, {})])
    def test_absent_sid_without_lookup(self, set_null, expected_book):
        book = {}
        cash = set_position(book, 1, 0.0, 123.25, False, set_null)
        assert cash == 123.25
        assert book == expected_book
        assert sw.trades == []

    @pytest.mark.parametrize(
        ("held", "cash_change"),
        [(100.0, 100 - 100 * (FEE + TAX)), (-100.0, -100 - 100 * (FEE + TAX))],
        ids=["long", "short"],
    )
    def test_close_charges_fee_and_tax_on_the_whole_holding(self, held, cash_change):
        book = {1: held}
        cash = set_position(book, 1, 0.0, 500.0, False, True)
        assert cash == 500.0 + (held - abs(held) * (FEE + TAX))
        assert cash == pytest.approx(500.0 + cash_change)
        assert book == {}
        # The close is a real exit: one trade record, exit on the current row.
        assert sw.trades == [[1, 0, 2]]
        assert len(sw.trade_positions) == len(sw.swaylen) == 1

    def test_documented_close_amounts(self):
        book = {0: 100.0, 1: -100.0}
        assert set_position(book, 0, 0.0, 0.0, False, True) == pytest.approx(99.5575, abs=1e-12)
        assert set_position(book, 1, 0.0, 0.0, False, True) == pytest.approx(-100.4425, abs=1e-12)

    def test_close_keeping_the_key(self):
        book = {1: 40.0, 3: 7.0}
        cash = set_position(book, 1, 0.0, 10.0, False, False)
        assert cash == 10.0 + (40.0 - 40.0 * (FEE + TAX))
        assert book == {1: 0.0, 3: 7.0}
        assert len(sw.trades) == 1

    def test_zero_holding_is_closed_without_a_record(self):
        book = {1: 0.0}
        assert set_position(book, 1, 0.0, 10.0, True, True) == 10.0 + (0.0 - 0.0)
        assert book == {}
        assert sw.trades == []

    def test_nan_holding_counts_as_a_position(self):
        book = {1: math.nan}
        cash = set_position(book, 1, 0.0, 10.0, False, True)
        assert math.isnan(cash)
        assert book == {}
        assert sw.trades == [[1, 0, 2]]

    def test_exit_is_recorded_with_an_exit_transaction(self):
        book = {}
        ts.record_date(1)
        set_position(book, 0, 100.0, 1000.0, True, True, 1000.0)
        ts.record_date(3)
        set_position(book, 0, 0.0, 900.0, False, True)
        assert sw.trades == [[0, 1, 3]]
        assert sw.trade_positions == [100.0 / 1000.0]
        # Entry fee on the way in, fee and tax on the way out.
        assert trade_return(0) == (1 - FEE - TAX) * ((1 - FEE) * 1.0) - 1


# --- set_position: trading to a nonzero target -----------------------------------------


def trade(held, position, cash, fee=FEE, tax=TAX):
    """Cash and holding after moving `held` to `position`, in the engine's order."""
    amount = position - held
    buy = amount > 0
    is_entry = (amount > 0 and position >= 0) or (amount < 0 and position <= 0)
    cost = abs(amount) * fee if is_entry else abs(amount) * (fee + tax)
    if buy:
        return cash - amount, held + (amount - cost)
    return cash + (-amount - cost), held + amount


@pytest.mark.usefixtures("analysis")
class TestTrade:
    def test_open_from_nothing(self):
        book = {}
        cash = set_position(book, 2, 100.0, 1000.0, True, True, 1000.0)
        assert cash == 1000.0 - 100.0
        assert book == {2: 0.0 + (100.0 - 100.0 * FEE)}
        assert book[2] == pytest.approx(99.8575, abs=1e-12)
        # record_entry(sid, position / balance, 1) on the current row.
        assert entry_state(2) == (2, 100.0 / 1000.0)
        assert sw.trades == []

    @pytest.mark.parametrize(
        ("held", "position", "case"),
        [
            (100.0, 40.0, "reduce a long: exit, fee and tax"),
            (-100.0, -40.0, "cover part of a short: exit, fee and tax"),
            (100.0, -50.0, "flip long to short: entry, fee only on 150"),
            (-50.0, 100.0, "flip short to long: entry, fee only on 150"),
            (100.0, 150.0, "add to a long: entry"),
            (-100.0, -150.0, "add to a short: entry"),
            (100.0, 100.0, "same value: no cash change"),
            (0.3, 0.1, "small values"),
            (1e-300, 7e-301, "tiny values"),
        ],
    )
    def test_resize(self, held, position, case):
        book = {1: held, 3: 5.0}
        cash = set_position(book, 1, position, 250.0, True, True, 1000.0)
        expected_cash, expected_held = trade(held, position, 250.0)
        assert cash == expected_cash
        assert book == {1: expected_held, 3: 5.0}
        # Flags at their import values: a resize records nothing.
        assert sw.trades == []
        assert entry_state(1) == (0, 0.0)

    @pytest.mark.parametrize(
        ("held", "position", "cash_change", "holding"),
        [
            (100.0, 40.0, 60 - 60 * (FEE + TAX), 40.0),
            (-100.0, -40.0, -60.0, -40 - 60 * (FEE + TAX)),
            (100.0, -50.0, 150 - 150 * FEE, -50.0),
        ],
    )
    def test_documented_amounts(self, held, position, cash_change, holding):
        book = {1: held}
        cash = set_position(book, 1, position, 0.0, True, True, 1.0)
        assert cash == pytest.approx(cash_change, abs=1e-12)
        assert book[1] == pytest.approx(holding, abs=1e-12)

    def test_reduce_long_leaves_the_exact_target(self):
        book = {1: 100.0}
        set_position(book, 1, 40.0, 0.0, True, True, 1.0)
        assert book == {1: 40.0}

    @pytest.mark.parametrize("check_null", [True, False])
    @pytest.mark.parametrize("set_null", [True, False])
    def test_open_absent_sid_with_either_lookup(self, check_null, set_null):
        book = {}
        cash = set_position(book, 0, -30.0, 10.0, check_null, set_null, 100.0)
        expected_cash, expected_held = trade(0.0, -30.0, 10.0)
        assert cash == expected_cash
        assert book == {0: expected_held}
        assert entry_state(0) == (2, -30.0 / 100.0)

    @pytest.mark.parametrize(("set_null", "expected_book"), [(True, {}), (False, {1: 0.0})])
    def test_target_that_rounds_the_holding_to_zero(self, set_null, expected_book):
        # 1e-17 - 1.0 rounds to -1.0, so the holding ends at exactly 0.0.
        book = {1: 1.0}
        cash = set_position(book, 1, 1e-17, 0.0, True, set_null, 1.0)
        assert cash == 0.0 + (1.0 - 1.0 * (FEE + TAX))
        assert book == expected_book

    def test_zero_holding_key_then_opened_is_an_entry(self):
        book = {1: 0.0}
        set_position(book, 1, 20.0, 0.0, True, True, 40.0)
        assert entry_state(1) == (2, 0.5)

    def test_nan_target_is_an_entry_and_propagates(self):
        book = {}
        cash = set_position(book, 1, math.nan, 10.0, True, True, 1.0)
        assert math.isnan(cash)
        assert list(book) == [1] and math.isnan(book[1])
        entry, position = ts.excursion_state()
        assert entry[1] == 2 and math.isnan(position[1])

    def test_infinite_target_propagates(self):
        book = {}
        cash = set_position(book, 1, math.inf, 10.0, True, True, 1.0)
        assert cash == -math.inf
        assert math.isnan(book[1])  # inf - inf * fee

    def test_default_balance_reports_the_position_itself(self):
        book = {}
        ts.set_position(book, 3, 0.75, 1.0, 0.0, 0.0)
        assert entry_state(3) == (2, 0.75)
        # Defaults: check_null true, set_null false.
        assert book == {3: 0.75}

    def test_keyword_arguments(self):
        book = {}
        cash = ts.set_position(
            p=book, sid=0, position=10.0, cash=20.0, fee_ratio=0.0, tax_ratio=0.0,
            check_null=True, set_null=True, balance=40.0,
        )
        assert (cash, book) == (10.0, {0: 10.0})
        assert entry_state(0) == (2, 0.25)


# --- set_position: splits on a resize and the two module flags ----------------------------


@pytest.mark.usefixtures("analysis")
class TestSplit:
    @pytest.mark.parametrize(
        ("retain", "resample", "splits"),
        [
            (False, None, False),
            (False, True, True),
            (False, False, False),
            (False, 1, True),
            (0, "yes", True),
            ([], [0], True),
            (None, 0.0, False),
            (True, True, False),
            (1, None, False),
            ("retain", True, False),
        ],
    )
    def test_truth_of_the_flags(self, monkeypatch, retain, resample, splits):
        monkeypatch.setattr(rv, "RETAIN_COST_WHEN_REBALANCE", retain)
        monkeypatch.setattr(rv, "RESAMPLE", resample)
        book = {1: 100.0}
        ts.record_date(5)
        cash = set_position(book, 1, 60.0, 0.0, True, True, 200.0)
        assert (cash, book[1]) == trade(100.0, 60.0, 0.0)
        if splits:
            assert sw.trades == [[1, 0, 5]]
            assert entry_state(1) == (5, 60.0 / 200.0)
        else:
            assert sw.trades == []
            assert entry_state(1) == (0, 0.0)

    def test_same_value_still_splits(self, monkeypatch):
        monkeypatch.setattr(rv, "RESAMPLE", True)
        book = {}
        ts.record_date(1)
        set_position(book, 2, 100.0, 1000.0, True, True, 1000.0)
        held = book[2]
        ts.record_date(4)
        cash = set_position(book, 2, held, 900.0, True, True, 500.0)
        assert cash == 900.0 + (-0.0 - 0.0)
        assert book == {2: held}
        assert sw.trades == [[2, 1, 4]]
        assert sw.trade_positions == [0.1]
        assert entry_state(2) == (4, held / 500.0)

    def test_split_records_carry_no_transaction(self, monkeypatch):
        monkeypatch.setattr(rv, "RESAMPLE", True)
        book = {}
        ts.record_date(1)
        set_position(book, 0, 100.0, 1000.0, True, True, 1000.0)
        ts.record_date(3)
        set_position(book, 0, 50.0, 900.0, True, True, 1000.0)
        ts.record_date(5)
        set_position(book, 0, 0.0, 950.0, False, True)
        assert sw.trades == [[0, 1, 3], [0, 3, 5]]
        assert sw.trade_positions == [0.1, 0.05]
        # First record: real entry, split exit. Second: split entry, real exit.
        assert trade_return(0) == (1 - FEE) * 1.0 - 1
        assert trade_return(1) == (1 - FEE - TAX) * 1.0 - 1

    def test_flags_are_read_at_every_resize(self, monkeypatch):
        retain = Truth(False)
        resample = Truth(True)
        monkeypatch.setattr(rv, "RETAIN_COST_WHEN_REBALANCE", retain)
        monkeypatch.setattr(rv, "RESAMPLE", resample)
        book = {1: 10.0}
        set_position(book, 1, 20.0, 0.0, True, True, 1.0)
        set_position(book, 1, 30.0, 0.0, True, True, 1.0)
        assert (retain.calls, resample.calls) == (2, 2)
        assert len(sw.trades) == 2
        # Replacing the module attribute between calls takes effect at once.
        monkeypatch.setattr(rv, "RESAMPLE", False)
        set_position(book, 1, 40.0, 0.0, True, True, 1.0)
        assert len(sw.trades) == 2

    def test_resample_is_not_read_when_cost_is_retained(self, monkeypatch):
        resample = Truth(True)
        monkeypatch.setattr(rv, "RETAIN_COST_WHEN_REBALANCE", True)
        monkeypatch.setattr(rv, "RESAMPLE", resample)
        book = {1: 10.0}
        set_position(book, 1, 20.0, 0.0, True, True, 1.0)
        assert resample.calls == 0

    def test_flags_are_not_read_on_entry_or_exit(self, monkeypatch):
        retain = Truth(False)
        resample = Truth(True)
        monkeypatch.setattr(rv, "RETAIN_COST_WHEN_REBALANCE", retain)
        monkeypatch.setattr(rv, "RESAMPLE", resample)
        book = {}
        set_position(book, 1, 20.0, 0.0, True, True, 1.0)
        set_position(book, 1, 0.0, 0.0, False, True)
        set_position(book, 1, 0.0, 0.0, True, True)
        assert (retain.calls, resample.calls) == (0, 0)

    @pytest.mark.parametrize("name", ["RETAIN_COST_WHEN_REBALANCE", "RESAMPLE"])
    def test_missing_flag_fails_and_leaves_the_book(self, monkeypatch, name):
        monkeypatch.setattr(rv, "RESAMPLE", True)
        monkeypatch.delattr(rv, name)
        book = {1: 10.0}
        with pytest.raises(NameError, match=f"name '{name}' is not defined") as info:
            set_position(book, 1, 20.0, 0.0, True, True, 1.0)
        assert book == {1: 10.0}
        assert sw.trades == []
        assert "pelmora.core.runvane.set_position" in frame_names(info.value)

    @pytest.mark.parametrize("name", ["RETAIN_COST_WHEN_REBALANCE", "RESAMPLE"])
    def test_failing_truth_test_fails_and_leaves_the_book(self, monkeypatch, name):
        monkeypatch.setattr(rv, "RESAMPLE", True)
        monkeypatch.setattr(rv, name, BadTruth())
        book = {1: 10.0}
        with pytest.raises(RuntimeError, match="no truth"):
            set_position(book, 1, 20.0, 0.0, True, True, 1.0)
        assert book == {1: 10.0}


# --- set_position: failures ----------------------------------------------------------------


@pytest.mark.usefixtures("analysis")
class TestFailure:
    @pytest.mark.parametrize("balance", [0, 0.0, -0.0])
    def test_zero_balance_on_entry(self, balance):
        book = {3: 1.0}
        expected = python_error(lambda: float(100.0) / balance)
        with pytest.raises(ZeroDivisionError) as info:
            set_position(book, 1, 100.0, 1000.0, True, True, balance)
        assert (type(info.value), str(info.value)) == expected
        assert book == {3: 1.0}
        assert entry_state(1) == (0, 0.0)
        assert "pelmora.core.runvane.set_position" in frame_names(info.value)

    def test_zero_balance_is_not_used_when_nothing_is_entered(self):
        book = {1: 100.0}
        assert set_position(book, 1, 0.0, 0.0, True, True, 0) == 100.0 - 100.0 * (FEE + TAX)
        book = {1: 100.0}
        assert set_position(book, 1, 50.0, 0.0, True, True, 0.0) == trade(100.0, 50.0, 0.0)[0]

    def test_zero_balance_in_a_split_keeps_the_exit_record(self, monkeypatch):
        monkeypatch.setattr(rv, "RESAMPLE", True)
        book = {1: 100.0}
        with pytest.raises(ZeroDivisionError):
            set_position(book, 1, 50.0, 0.0, True, True, 0.0)
        assert book == {1: 100.0}
        assert sw.trades == [[1, 0, 2]]
        assert entry_state(1) == (0, 0.0)

    @pytest.mark.parametrize(
        ("book", "sid", "position"),
        [({}, NSTOCKS, 10.0), ({NSTOCKS + 1: 10.0}, NSTOCKS + 1, 0.0), ({}, -9, 5.0)],
        ids=["entry", "exit", "negative-entry"],
    )
    def test_recorder_failure_leaves_the_book(self, book, sid, position):
        before = dict(book)
        with pytest.raises(IndexError) as info:
            set_position(book, sid, position, 10.0, False, True, 100.0)
        assert book == before
        names = frame_names(info.value)
        assert "pelmora.core.runvane.set_position" in names

    def test_negative_sid_counts_from_the_end_of_the_recorder(self):
        book = {}
        set_position(book, -1, 10.0, 10.0, True, True, 100.0)
        assert book == {-1: 10.0 - 10.0 * FEE}
        assert entry_state(NSTOCKS - 1) == (2, 0.1)

    def test_recorder_before_start_of_a_run(self, flags):
        # nstocks 0: every sid is out of range, the book stays as it was.
        ts.start_analysis(PRICE, PRICE, {}, 0, FEE, TAX, 0, 1)
        book = {0: 5.0}
        with pytest.raises(IndexError):
            set_position(book, 0, 0.0, 1.0, False, True)
        assert book == {0: 5.0}


# --- rebalance ---------------------------------------------------------------------------


def rebalance(book, weights, cash, limit=1.0, fee=0.0, tax=0.0):
    return ts.rebalance(book, np.asarray(weights, dtype=np.float64), cash, fee, tax, limit)


@pytest.mark.usefixtures("analysis")
class TestRebalance:
    def test_two_halves_from_cash(self):
        book = {}
        assert rebalance(book, [0.5, 0.5], 1000.0) == 0.0
        assert book == {0: 500.0, 1: 500.0}
        assert entry_state(0) == (2, 0.5) and entry_state(1) == (2, 0.5)

    @pytest.mark.parametrize(
        ("limit", "targets"), [(1.0, [250.0, 250.0, 500.0]), (0.4, [250.0, 250.0, 400.0])]
    )
    def test_gross_weight_above_one_is_scaled_then_capped(self, limit, targets):
        book = {}
        cash = rebalance(book, [1.0, 1.0, 2.0], 1000.0, limit)
        assert book == dict(enumerate(targets))
        assert cash == 1000.0 - sum(targets)

    def test_gross_weight_below_one_keeps_cash(self):
        book = {}
        cash = rebalance(book, [0.1, 0.2], 1000.0)
        assert book == {0: 0.1 * 1000.0, 1: 0.2 * 1000.0}
        assert cash == (1000.0 - 0.1 * 1000.0) - 0.2 * 1000.0
        assert cash == pytest.approx(700.0)

    @pytest.mark.parametrize(
        ("weights", "limit", "expected"),
        [
            ([-0.9, 0.05], 0.5, {0: -500.0, 1: 0.05 * 1000.0}),
            ([0.9, -0.05], 0.5, {0: 500.0, 1: -0.05 * 1000.0}),
            ([0.5, -0.5], 0.5, {0: 500.0, 1: -500.0}),
            ([0.5, -0.5], 0.25, {0: 250.0, 1: -250.0}),
        ],
    )
    def test_caps_keep_the_sign(self, weights, limit, expected):
        book = {}
        rebalance(book, weights, 1000.0, limit)
        assert book == expected

    def test_fees_reduce_bought_holdings_not_later_targets(self):
        book = {}
        cash = rebalance(book, [0.25, 0.5, -0.25], 800.0, 1.0, FEE, TAX)
        expected_cash, expected = 800.0, {}
        for sid, w in enumerate([0.25, 0.5, -0.25]):
            v2 = float(np.float64(w) * 800.0)
            expected_cash, expected[sid] = trade(0.0, v2, expected_cash)
        assert cash == expected_cash
        assert book == expected
        assert [entry_state(s)[1] for s in range(3)] == [0.25, 0.5, -0.25]

    def test_all_zero_weights_close_everything_in_range(self):
        book = {0: 300.0, 2: -200.0, 6: 50.0}
        cash = rebalance(book, [0.0, 0.0, 0.0], 500.0, 1.0, FEE, TAX)
        held0, held2 = 300.0, -200.0
        expected = 500.0 + (held0 - abs(held0) * (FEE + TAX))
        expected = expected + (held2 - abs(held2) * (FEE + TAX))
        assert cash == expected
        assert book == {6: 50.0}  # keys past the weight vector are not touched
        assert sw.trades == [[0, 0, 2], [2, 0, 2]]

    def test_balance_is_summed_from_cash_in_key_order(self):
        cash = 3.0
        book = {2: 1.0, 1: -1e16, 0: 1e16}
        balance = cash
        for k in sorted(book):
            balance += book[k]
        # Insertion order, or cash added last, would give another value.
        assert balance == 5.0
        assert cash + 1.0 + -1e16 + 1e16 == 4.0
        assert 1e16 + -1e16 + 1.0 + cash == 4.0
        weights = [0.0, 0.0, 0.0, 1.0]
        rebalance(book, weights, cash)
        assert book[3] == np.float64(1.0) * (balance / 1)

    def test_ratio_agrees_with_numpy_to_the_last_bit(self):
        weights = np.array([0.7, 0.9, 0.3, -0.1])
        book = {}
        rebalance(book, weights, 1000.0)
        ratio = 1000.0 / np.abs(weights).sum()
        assert book == {sid: float(w * ratio) for sid, w in enumerate(weights)}

    def test_ratio_for_a_long_weight_vector_agrees_with_numpy(self, flags):
        n = 9000
        ts.start_analysis(PRICE, PRICE, {}, n, 0.0, 0.0, 0, 1)
        weights = np.random.default_rng(7).random(n) * 1e-3 + 1e-3
        book = {}
        rebalance(book, weights, 1.0)
        ratio = 1.0 / np.abs(weights).sum()
        assert [book[i] for i in range(n)] == [float(w * ratio) for w in weights]

    def test_nan_weight_sets_ratio_to_one(self):
        book = {}
        cash = rebalance(book, [math.nan, 0.5, -0.25], 1000.0, 0.4)
        assert math.isnan(cash)
        assert math.isnan(book[0])
        # The raw weights as money; the cap (0.4 * 1000) does not bite.
        assert (book[1], book[2]) == (0.5, -0.25)
        assert entry_state(1) == (2, 0.5 / 1000.0)

    def test_nan_holding_sets_ratio_to_one_and_nothing_is_capped(self):
        book = {3: math.nan}
        rebalance(book, [2.0, 0.0], 10.0, 0.1)
        assert book[0] == 2.0 * 1.0
        assert math.isnan(book[3])

    def test_interleaved_trades_in_ascending_order(self):
        # The buy of sid 0 comes before the sale that funds it; cash goes
        # through -1000 and is not checked.
        book = {1: 1000.0}
        cash = rebalance(book, [0.3, 0.0, 0.7], 0.0, 1.0, FEE, TAX)
        expected, held0 = trade(0.0, 0.3 * 1000.0, 0.0)
        expected = expected + (1000.0 - 1000.0 * (FEE + TAX))
        expected, held2 = trade(0.0, 0.7 * 1000.0, expected)
        assert cash == expected
        assert book == {0: held0, 2: held2}

    def test_resize_inside_rebalance_splits_with_resample(self, monkeypatch):
        monkeypatch.setattr(rv, "RESAMPLE", True)
        book = {0: 400.0, 1: 600.0}
        rebalance(book, [0.5, 0.5], 0.0)
        assert sw.trades == [[0, 0, 2], [1, 0, 2]]
        assert entry_state(0) == (2, 0.5) and entry_state(1) == (2, 0.5)

    def test_failure_in_the_third_call_keeps_the_first_two(self, flags):
        ts.start_analysis(PRICE, PRICE, {}, 2, 0.0, 0.0, 0, 1)
        ts.record_date(1)
        book = {1: 100.0, 3: 50.0}
        with pytest.raises(IndexError) as info:
            rebalance(book, [0.25, 0.0, 0.25, 0.0], 150.0)
        assert book == {0: 75.0, 3: 50.0}
        assert sw.trades == [[1, 0, 1]]
        names = frame_names(info.value)
        assert "pelmora.core.runvane.rebalance" in names
        assert "pelmora.core.runvane.set_position" in names

    def test_zero_balance_and_infinite_weight(self):
        # ratio 0 / inf = 0, target inf * 0 = nan: an entry reported as nan / 0.0.
        book = {}
        with pytest.raises(ZeroDivisionError):
            rebalance(book, [math.inf], 0.0)
        assert book == {}

    @pytest.mark.parametrize(
        "newp",
        [
            np.zeros(2, dtype=np.float32),
            np.zeros(2, dtype=np.int64),
            np.zeros((2, 1)),
            np.zeros((), dtype=np.float64),
        ],
        ids=["float32", "int64", "2-D", "0-D"],
    )
    def test_wrong_buffer_is_rejected_before_trading(self, newp):
        book = {0: 10.0}
        with pytest.raises(ValueError, match="^Buffer (dtype mismatch|has wrong number)") as info:
            ts.rebalance(book, newp, 0.0, 0.0, 0.0, 1.0)
        assert "pelmora.core.runvane.rebalance" in frame_names(info.value)
        assert book == {0: 10.0}
        assert sw.trades == []

    def test_object_without_a_buffer_is_rejected(self):
        book = {0: 10.0}
        with pytest.raises(TypeError):
            ts.rebalance(book, [0.0], 0.0, 0.0, 0.0, 1.0)
        assert book == {0: 10.0}

    def test_strided_weights(self):
        book = {}
        weights = np.array([0.5, 9.0, 0.25, 9.0])[::2]
        rebalance(book, weights, 100.0)
        assert book == {0: 50.0, 1: 25.0}

    def test_empty_weights(self):
        book = {4: 3.0}
        assert rebalance(book, [], 2.0) == 2.0
        assert book == {4: 3.0}


# --- the gross-weight sum ------------------------------------------------------------------


def bits(x):
    return struct.pack("<d", float(x))


def assert_same_sum(x):
    got = ts.numpy_abs_sum(x)
    with np.errstate(over="ignore"):
        expected = np.abs(x).sum()
    if math.isnan(expected):
        assert math.isnan(got)
    else:
        assert bits(got) == bits(expected), (len(x), got, float(expected))


@pytest.mark.parametrize(
    "n", [0, 1, 2, 7, 8, 9, 15, 16, 17, 127, 128, 129, 130, 1000, 8191, 8192, 8193, 9000,
          16384, 16385, 20000],
)
def test_abs_sum_matches_numpy_for_fixed_lengths(n):
    for seed in range(3):
        rng = np.random.default_rng(seed + 1000 * n)
        assert_same_sum(rng.random(n) - 0.5)
        assert_same_sum(rng.standard_normal(n) * 10.0 ** rng.integers(-8, 8, n))


@settings(max_examples=60)
@given(n=st.integers(0, 20000), seed=st.integers(0, 2**32 - 1), step=st.sampled_from([1, 2, -1]))
def test_abs_sum_matches_numpy_for_any_length(n, seed, step):
    x = np.random.default_rng(seed).standard_normal(n * abs(step))[::step]
    assert_same_sum(x)


@settings(max_examples=100)
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=300))
def test_abs_sum_matches_numpy_for_any_values(values):
    assert_same_sum(np.array(values, dtype=np.float64))


@pytest.mark.parametrize(
    "x",
    [np.zeros(3, dtype=np.float32), np.zeros((2, 2)), [1.0], None],
    ids=["float32", "2-D", "list", "None"],
)
def test_abs_sum_rejects_other_buffers(x):
    with pytest.raises((ValueError, TypeError)):
        ts.numpy_abs_sum(x)
