"""Variants of run_many walked together: a batch's runs take the rows a block at a time, and every
variant's outputs stay those of its own run, bit for bit, whatever the batch and the block."""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pelmora.core import journal
from run_helpers import build
from test_journal import REASON, big_market, bits, market_run
from test_journal_account import account_run


def same(a, b) -> bool:
    """Equal outputs: floats bit for bit, exceptions by type and text."""
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return type(a) is type(b) and str(a) == str(b)
    if isinstance(a, dict):
        return type(a) is type(b) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, np.ndarray):
        if not isinstance(b, np.ndarray) or a.shape != b.shape or a.dtype != b.dtype:
            return False
        if a.dtype == np.float64:
            return np.array_equal(bits(a), bits(b))
        return np.array_equal(a, b)
    if isinstance(a, float) and isinstance(b, float):
        return bits(a).tobytes() == bits(b).tobytes()
    return type(a) is type(b) and a == b


def unbatched(arrays, variants, **kw):
    return journal.run_many(arrays, variants, threads=1, batch=1, **kw)


@st.composite
def variant_grid(draw):
    """A market, and 2 to 6 variants over it: stops, costs, exits, weights, account, liquidity."""
    inp, opts = draw(st.one_of(market_run(), account_run()))
    variants = []
    for _ in range(draw(st.integers(2, 6))):
        v = dict(opts)
        v["stop_loss"] = draw(st.sampled_from([0.02, 0.05, 0.1, math.inf]))
        v["take_profit"] = draw(st.sampled_from([0.05, 0.2, math.inf]))
        v["touched_exit"] = draw(st.booleans())
        v["fee_ratio"] = draw(st.sampled_from([0.0, 0.001425]))
        if draw(st.booleans()):
            rows = draw(st.permutations(range(len(inp.pos_values))))
            v["pos_values"] = np.ascontiguousarray(inp.pos_values[list(rows)])
        if "capital" in v and draw(st.booleans()):
            v["capital"] = draw(st.sampled_from([1e3, 1e7]))
        variants.append(v)
    rows = draw(st.integers(1, 5))
    return inp, variants, (len(variants), rows)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@settings(max_examples=150, deadline=None)
@given(variant_grid(), st.sampled_from([1, 2]))
def test_a_batch_gives_every_variant_its_own_run(grid, threads):
    inp, variants, batch = grid
    arrays = inp.kwargs()
    alone = unbatched(arrays, variants)
    together = journal.run_many(arrays, variants, threads=threads, batch=batch)
    assert len(together) == len(alone)
    for k, (a, b) in enumerate(zip(alone, together)):
        assert same(a, b), f"variant {k} of batch {batch}"


@pytest.mark.parametrize("batch", [None, 3, (8, 1), (8, 7), (2, 64)])
def test_stretches_cut_at_the_blocks_end_change_nothing(batch):
    # Long quiet stretches (monthly weights, no stops on most variants) cut at every block.
    inp = big_market(700, 40, hold=30)
    variants = [dict(stop_loss=s) for s in (1.0, 0.05, 1.0)]
    variants.append(dict(pos_values=inp.pos_values[::-1].copy()))
    variants.append(dict(swaylen_window=7, take_profit=0.3))
    alone = unbatched(inp.kwargs(), variants)
    together = journal.run_many(inp.kwargs(), variants, threads=2, batch=batch)
    assert all(same(a, b) for a, b in zip(alone, together))
    assert all(not isinstance(r, BaseException) for r in together)


def failing_batch():
    """Four variants over one market: one raises, one is wiped out, one waits on a volume cap,
    one runs through."""
    n = 40
    rising = np.r_[[10.0] * 3, np.linspace(21.0, 40.0, n - 3)]   # a short of the book is wiped out
    flat = 10.0 + 0.5 * np.sin(np.arange(n))
    falling = np.linspace(20.0, 8.0, n)
    price = np.c_[rising, flat, falling]
    inp = build(price, [[0.3, 0.4, 0.3], [0.0, 0.5, 0.5], [0.5, 0.5, 0.0]], pos_index=[0, 10, 20])
    variants = [
        dict(swaylen_window=5, swaylen_window_step=0),                     # raises at its first exit
        dict(pos_values=np.array([[-1.0, 0.0, 0.0]] * 3)),                 # wiped out
        dict(capital=1e6, volume=np.full(price.shape, 1_000.0), max_participation=0.1,
             fee_ratio=0.0, tax_ratio=0.0),                               # capped
        dict(stop_loss=0.05),
    ]
    return inp, variants


@pytest.mark.parametrize("batch", [(4, 1), (4, 3), (2, 16)])
@pytest.mark.parametrize("threads", [1, 2])
def test_variants_that_fail_differently_in_one_batch(batch, threads):
    inp, variants = failing_batch()
    alone = unbatched(inp.kwargs(), variants)
    raised, wiped, capped, plain = journal.run_many(inp.kwargs(), variants, threads=threads,
                                                    batch=batch)
    assert isinstance(raised, ZeroDivisionError) and same(raised, alone[0])
    assert wiped["stopped"]["reason"] == REASON["wiped_out"]
    assert wiped["fills"]["reason"][-1] == REASON["wiped_out"]
    assert len(capped["pending"]["row"]) > 0
    assert plain["stopped"] is None
    for k in (1, 2, 3):
        assert same(alone[k], [raised, wiped, capped, plain][k])
        # and each is its own journal.run, bit for bit
        v = dict(variants[k])
        args = dict(inp.kwargs(), **({"pos_values": v.pop("pos_values")} if "pos_values" in v else {}))
        assert same(journal.run(**args, **v), alone[k])


@pytest.mark.parametrize("batch, error, text", [
    (0, ValueError, "batch must be at least 1, got 0"),
    ((4, 0), ValueError, "batch must be at least 1, got 0"),
    (1.5, TypeError, "batch must be None, an int or a pair of ints (variants, rows), not float"),
    ((1, 2, 3), TypeError, "batch must be None, an int or a pair of ints (variants, rows), not tuple"),
    (True, TypeError, "batch must be None, an int or a pair of ints (variants, rows), not bool"),
])
def test_batch_must_be_positive_counts(batch, error, text):
    with pytest.raises(error) as raised:
        journal.run_many(build([[10.0]] * 3, [[1.0]]).kwargs(), [{}], batch=batch)
    assert str(raised.value) == text
