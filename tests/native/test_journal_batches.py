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


def same_figures(columns: dict, figures: dict) -> bool:
    """The statistics' figures the Python layer makes of a run's columns and of its figures."""
    from pelmora.engine._vocabulary import RunRecord
    from pelmora.results._orders import fill_rate
    from pelmora.results._tables import start_figures

    a, b = RunRecord.from_journal(columns), RunRecord.from_journal(figures)
    mine, theirs = start_figures(a)(), start_figures(b)()
    rows = a.fills["row"]
    first = int(np.min(rows)) if len(rows) else len(a.creturn)
    return (same(mine.turnover, theirs.turnover) and same(mine.trades, theirs.trades)
            and same(mine.costs, theirs.costs) and first == figures["figures"]["window_start"]
            and same(fill_rate(a), fill_rate(b)))


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@settings(max_examples=120, deadline=None)
@given(variant_grid(), st.sampled_from([1, 2]))
def test_the_figures_a_run_hands_over_are_those_of_its_columns(grid, threads):
    # A sweep that keeps no fills reads its statistics from the figures the run makes of its
    # columns before it lets them go: they must be what the columns give, bit for bit, and the
    # rest of the output that of the run with its columns.
    inp, variants, _ = grid
    switches = dict(threads=threads, positions=False, excursions="summary")
    with_columns = journal.run_many(inp.kwargs(), variants, **switches)
    with_figures = journal.run_many(inp.kwargs(), variants, figures=True, **switches)
    for full, made in zip(with_columns, with_figures):
        if isinstance(full, BaseException):
            assert same(full, made)
            continue
        if "figures" not in made:  # orders left open with a capital: the columns come instead
            assert len(full["pending"]["row"]) and not np.isnan(full["fills"]["requested"]).any()
            assert list(full) == list(made)
            assert all(same(full[k], made[k]) for k in full)
            continue
        assert all(made[k] is None for k in ("fills", "trades", "excursions", "excursion_summary"))
        assert all(same(full[k], made[k]) for k in full if k not in made or made[k] is not None)
        assert same_figures(full, made)


@pytest.mark.parametrize("options", [
    {}, {"stop_loss": 0.03, "take_profit": 0.05}, {"periodically_rebalance": False},
    {"capital": 1e6, "lot_size": 100.0}, {"fee_ratio": 0.0, "tax_ratio": 0.0, "short_fee": 0.01},
])
def test_the_figures_of_a_long_run_of_split_records(options):
    # Hundreds of holdings kept through rebalances, each split into records that the trade
    # figures join back into positions.
    inp = big_market(1500, 120, seed=4, hold=10)
    switches = dict(positions=False, excursions="summary", threads=1)
    full, = journal.run_many(inp.kwargs(), [options], **switches)
    made, = journal.run_many(inp.kwargs(), [options], figures=True, **switches)
    assert len(full["trades"]["pnl"]) > 1000 and "figures" in made
    joined = made["figures"]["positions"] < len(full["trades"]["pnl"])
    assert joined == options.get("periodically_rebalance", True)
    assert same_figures(full, made)
