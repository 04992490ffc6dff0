"""Inputs resized while a run reads them: NumPy lets any code resize an array with
refcheck=False, and a run calls Python code (a label's encode or formatting, a flag's truth test,
the excursion lists' append) and shares its arrays with other threads. Every entry must refuse
the resize or the run, never read freed memory."""

from __future__ import annotations

import threading

import numpy as np
import pytest

from pelmora.core import _testsupport as ts
from pelmora.core import journal, runvane, swaylen
from run_helpers import build
from support import outcome


def test_inputs_are_pinned_before_any_python_code_of_the_call_runs():
    # The truth test of stop_trading_next_period runs Python code after the
    # views are taken: a resize there must be refused, not move the memory.
    inp = build([[10.0, 11.0]] * 4, [[0.5, 0.25]])
    refused = []

    class Resizes:
        def __bool__(self):
            for a in (inp.pos_columns, inp.price_values):
                try:
                    a.resize(100, refcheck=False)
                except ValueError:
                    refused.append(a)
            return True

    out = journal.run(*inp.args(), stop_trading_next_period=Resizes())
    assert len(refused) == 2 and inp.pos_columns.shape == (2,) and inp.price_values.shape == (4, 2)
    assert np.array_equal(out["creturn"], journal.run(*inp.args())["creturn"])


def test_a_label_resizing_an_input_while_the_run_fails_is_refused():
    """The only Python code a journal run calls is a label's formatting when
    it fails; the inputs are still pinned then."""
    price = np.array([[10.0], [10.0], [0.0]])
    refused = []

    class Label:
        def __format__(self, format_spec):
            try:
                price.resize(1, refcheck=False)
            except ValueError as e:
                refused.append(e)
            return "L"

        def encode(self, codec):
            return b"L"

    names = np.empty(1, dtype=object)
    names[0] = Label()
    dates = np.arange(3, dtype=np.int64)
    with pytest.raises(ValueError, match="^Invalid trading price for L at price row 2"):
        journal.run(price, price, price, price, price, dates, names, np.ones((1, 1)), dates[:1],
                    names, dates[:1])
    assert refused and price.shape == (3, 1)


@pytest.mark.parametrize("entry, error, match", [
    (runvane.backtest_, RuntimeError, "an input array was resized while it was in use"),
    (ts.backtest_floor, RuntimeError, "an input array was resized while it was in use"),
    # The journal pins its inputs before any Python code of the call runs.
    (journal.run, ValueError, "cannot resize"),
])
@pytest.mark.parametrize("target", ["price", "pos_values", "price_index"])
def test_an_input_resized_by_a_label_while_the_columns_are_mapped_stops_the_run(
        entry, error, match, target):
    """Mapping the columns calls each label's encode after the views are taken;
    a resize there must be caught before the run reads freed memory."""
    n = 40
    arrays = {"price": np.linspace(10.0, 20.0, n)[:, None] * np.ones((1, 2)),
              "pos_values": np.array([[0.5, 0.5], [0.2, 0.8]]),
              "price_index": np.arange(n, dtype=np.int64)}
    victim = arrays[target]

    class Label(str):
        def encode(self, *args):
            if victim.shape[0] < 4096:
                victim.resize((victim.shape[0] + 4096,) + victim.shape[1:], refcheck=False)
            return str.encode(self, *args)

    cols = np.array([Label("A"), Label("B")], dtype=object)
    pidx = np.array([0, 5], dtype=np.int64)
    price = arrays["price"]
    with pytest.raises(error, match=match):
        entry(price, price.copy(), price.copy(), price.copy(), price.copy(), arrays["price_index"],
              cols, arrays["pos_values"], pidx, cols, pidx, fee_ratio=0.0, tax_ratio=0.0)


@pytest.mark.parametrize("target", ["price", "close", "pos_values", "price_index"])
def test_an_input_resized_from_a_callback_stops_the_run(target):
    """NumPy lets a caller resize an array with refcheck=False even while a
    run reads it; the run must notice before it reads freed memory."""
    n = 40
    price = np.linspace(10.0, 20.0, n)[:, None] * np.ones((1, 2))
    arrays = {"price": price, "close": price.copy(), "pos_values": np.array([[0.5, 0.5], [0.2, 0.8]]),
              "price_index": np.arange(n, dtype=np.int64)}
    cols = np.array(["A", "B"], dtype=object)
    pidx = np.array([0, 5], dtype=np.int64)
    victim = arrays[target]

    class Resizing(list):
        def append(self, item):
            victim.resize((victim.shape[0] + 4096,) + victim.shape[1:], refcheck=False)
            super().append(item)

    saved = swaylen.trades
    swaylen.trades = Resizing()
    try:
        with pytest.raises(RuntimeError, match="an input array was resized while it was in use"):
            runvane.backtest_(arrays["price"], arrays["close"], price.copy(), price.copy(),
                              price.copy(), arrays["price_index"], cols, arrays["pos_values"], pidx,
                              cols, pidx, fee_ratio=0.0, tax_ratio=0.0)
    finally:
        swaylen.trades = saved


def test_an_input_resized_during_a_run_is_refused():
    """Another thread may resize an input while a journal run reads it without
    the lock: while the run is going the resize fails; between runs it
    succeeds, and the next run refuses the array. Never a crash."""

    rng = np.random.default_rng(0)
    price = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, (3000, 300)), axis=0))
    price[-1, 0] = -1.0  # the run fails on its last row, formatting the label of stock 0
    dates = np.arange(3000, dtype=np.int64)
    weights = (rng.random((150, 300)) < 0.1).astype(float)
    weights[:, 0] = 0.1
    pos_index = dates[::20].copy()
    inputs = {"weights": weights, "dates": dates, "price": price}
    during: dict = {}

    def resize_all(into: dict) -> None:
        for name, a in inputs.items():
            try:
                a.resize(1, refcheck=False)
                into[name] = "resized"
            except ValueError as e:
                into[name] = str(e)

    class Label(str):
        # Called by the run in the middle of its work: another thread tries the resizes
        # meanwhile, while this one waits for it (and so lets go of the lock).
        def __format__(self, fmt):
            other = threading.Thread(target=resize_all, args=(during,))
            other.start()
            other.join()
            return "S0"

    names = np.array([Label("S0")] + [f"S{i}" for i in range(1, 300)], dtype=object)
    args = (price, price, price, price, price, dates, names, weights, pos_index, names, pos_index)
    with pytest.raises(ValueError, match="^Invalid trading price for S0 at price row 2999: -1.0"):
        journal.run(*args, stop_loss=0.9, swaylen_window=20)
    assert sorted(during) == sorted(inputs)
    assert all(text.startswith("cannot resize an array") for text in during.values()), during
    assert (price.shape, dates.shape, weights.shape) == ((3000, 300), (3000,), (150, 300))
    after: dict = {}
    resize_all(after)  # between runs nothing holds them
    assert after == dict.fromkeys(inputs, "resized")
    with pytest.raises(ValueError, match=r"^Buffer has wrong number of dimensions \(expected 2, "
                                         r"got 1\)$"):
        journal.run(*args, stop_loss=0.9, swaylen_window=20)


@pytest.mark.parametrize("key", ["capital", "slippage", "cash_rate", "impact"])
def test_an_account_option_resizing_the_inputs_or_the_volume_is_refused(key):
    # The account's options are converted after the inputs are viewed, and their conversion
    # runs Python code: resizing an input or the volume there must be refused, never read.
    inp = build([[10.0, 11.0]] * 4, [[0.5, 0.25]])
    volume = np.full((4, 2), 1e6)
    refused = []

    class Resizes(float):
        def __float__(self):
            for a in (inp.price_values, inp.pos_values, volume):
                try:
                    a.resize(100, refcheck=False)
                except ValueError:
                    refused.append(a)
            return 0.01

    kw = {"capital": 1e5, "volume": volume, "max_participation": 0.5, key: Resizes(0.01)}
    if key == "capital":
        kw[key] = Resizes(1e5)
    got = outcome(journal.run, *inp.args(), **kw)
    assert inp.price_values.shape == (4, 2) and inp.pos_values.shape == (1, 2)
    assert isinstance(got, (dict, ValueError, TypeError))
    assert volume.shape == (4, 2) or not isinstance(got, dict)
