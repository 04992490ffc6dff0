"""The peer run: vectorbt's ``Portfolio.from_orders`` doing exactly the work of a plain pelmora run.

A plain run (no stops, no fees or tax, no missing prices, long-only, position limit 1) is a pure
target-weight rebalancer, and vectorbt can express it:

* pelmora flags a rebalance at the end of a schedule row and executes it on the next price row,
  after marking the book to that row's trade price.  `execution_plan` replays the engine's
  scheduling (rebalance-row marking from ``resample``, the active position row, "a new position row
  on a schedule row") so that the target weights land on exactly the rows where pelmora trades;
  every other row is NaN, which vectorbt reads as "no order".
* pelmora's targets are ``weight x (cash + holdings at the trade price)`` with the gross weight
  scaled down to 1 when it exceeds 1 and each target capped at the position limit.  vectorbt's
  ``size_type='targetpercent'`` takes ``size x group value``; with ``cash_sharing=True`` and
  ``group_by=True`` the group value is the shared cash plus every position at its valuation price,
  and ``val_price=np.inf`` makes the valuation price the order price.  Orders are filled at
  ``price=`` pelmora's trade price, so both take the target value at the trade price.
* pelmora values the book at the close (holding x close / trade price); vectorbt's ``value()`` is
  cash plus shares x close.  Between rebalances both let the holdings drift with prices.
* pelmora trades in ascending stock order and lets cash go negative in between; vectorbt refuses a
  buy that cash cannot cover (it fills it partially).  ``call_seq='auto'`` sorts each row's orders
  by value, sells first, so by the time the buys run the sales have freed the cash and both reach
  the same holdings.  The total target never exceeds the portfolio value, so no buy is cut by more
  than the last bits of rounding.
* ``min_size=0`` so no small adjustment of a kept stock is dropped (vectorbt's default drops
  orders below 1e-8 shares), ``fees=0``, ``init_cash=1.0`` (pelmora starts from one unit of cash;
  the equity curves then compare value for value).

The remaining differences are rounding (pelmora multiplies the held value by each row's price
ratio, vectorbt multiplies a share count by the close), far below the 1e-9 relative agreement that
`check_agreement` demands before anything is timed.
"""

from __future__ import annotations

import numpy as np

AGREEMENT_RTOL = 1e-9


class AgreementError(AssertionError):
    """The peer's equity curve is not pelmora's: the comparison would time different work."""


def execution_plan(price_index: np.ndarray, pos_index: np.ndarray, resample: np.ndarray) -> list[tuple[int, int]]:
    """(price row, position row) of every rebalance a pelmora run executes, in row order."""
    n = len(price_index)
    marked = np.zeros(n, dtype=bool)
    ptr = 0
    for date in resample:
        while ptr + 1 < n and price_index[ptr + 1] <= date:
            ptr += 1
        if n:
            marked[ptr] = True
    plan: list[tuple[int, int]] = []
    if n == 0 or len(pos_index) == 0:
        return plan
    pos_id, current, due = 0, -1, False
    for d in range(n):
        if price_index[d] < pos_index[0]:
            continue
        if due:
            plan.append((d, pos_id))
            current = pos_id
        next_bar = price_index[d + 1] if d < n - 1 else None
        while pos_id < len(pos_index) - 1 and (next_bar is None or pos_index[pos_id + 1] < next_bar):
            pos_id += 1
        due = pos_id != current and bool(marked[d])
    return plan


def _require_plain(workload) -> None:
    a, o = workload.arrays, workload.options
    problems = []
    if o.get("fee_ratio", 0.001425) != 0.0 or o.get("tax_ratio", 0.003) != 0.0:
        problems.append("fees or tax are not 0")
    for key, neutral in (("stop_loss", 1.0), ("take_profit", np.inf), ("trail_stop", np.inf)):
        if key in o and abs(o[key]) != neutral:
            problems.append(f"{key} is set")
    if o.get("touched_exit", False) or o.get("delisting_bars") is not None:
        problems.append("intraday exits or delistings")
    if o.get("retain_cost_when_rebalance", False):
        problems.append("retain_cost_when_rebalance")
    if np.isnan(a["price"]).any() or np.isnan(a["close"]).any():
        problems.append("missing prices")
    if (a["pos_values"] < 0).any() or np.isnan(a["pos_values"]).any():
        problems.append("short or NaN weights")
    if problems:
        raise ValueError("vectorbt cannot do the same work: " + ", ".join(problems))


def target_percent(workload) -> tuple[np.ndarray, list[tuple[int, int]]]:
    """The size matrix for ``size_type='targetpercent'``: each executed rebalance's effective
    weights on its execution row, NaN elsewhere."""
    _require_plain(workload)
    a = workload.arrays
    limit = float(workload.options.get("position_limit", 1.0))
    plan = execution_plan(a["price_index"], a["pos_index"], a["resample"])
    size = np.full(a["close"].shape, np.nan)
    for row, pos_row in plan:
        w = a["pos_values"][pos_row]
        gross = np.abs(w).sum()
        eff = w / gross if gross > 1 else w.copy()
        size[row] = np.clip(eff, -limit, limit)
    return size, plan


def sells_first_call_seq(workload, size: np.ndarray, plan: list[tuple[int, int]]) -> np.ndarray:
    """The order vectorbt's ``call_seq='auto'`` would choose, computed up front: on each rebalance
    row the stocks sorted by order value, sales first.  The holdings going into a rebalance are
    known without simulating vectorbt: between rebalances the share counts stay fixed, so the value
    of each holding is its share count times the row's trade price (no fees in a plain run)."""
    price = workload.arrays["price"]
    n_rows, n_cols = size.shape
    seq = np.tile(np.arange(n_cols, dtype=np.int64), (n_rows, 1))
    shares = np.zeros(n_cols)
    cash = 1.0
    for row, _ in plan:
        held = shares * price[row]
        target = size[row] * (cash + held.sum())
        delta = target - held
        seq[row] = np.argsort(delta, kind="stable")
        cash -= delta.sum()
        shares = target / price[row]
    return seq


def from_orders(workload, size: np.ndarray, call_seq="auto", engine: str = "numba"):
    """vectorbt's equivalent of a plain pelmora run; returns the Portfolio."""
    import vectorbt as vbt

    a = workload.arrays
    return vbt.Portfolio.from_orders(
        a["close"], size,
        size_type="targetpercent", direction="longonly",
        price=a["price"], val_price=np.inf,
        init_cash=1.0, fees=0.0, fixed_fees=0.0, slippage=0.0,
        min_size=0.0, size_granularity=np.nan, allow_partial=True, lock_cash=False,
        group_by=True, cash_sharing=True, call_seq=call_seq,
        engine=engine,
    )


def equity(portfolio) -> np.ndarray:
    return np.asarray(portfolio.value(), dtype=np.float64).reshape(-1)


def check_agreement(ours: np.ndarray, theirs: np.ndarray, what: str, rtol: float = AGREEMENT_RTOL) -> float:
    """Largest relative difference of two equity curves; AgreementError beyond `rtol`."""
    ours = np.asarray(ours, dtype=np.float64)
    theirs = np.asarray(theirs, dtype=np.float64)
    if ours.shape != theirs.shape:
        raise AgreementError(f"{what}: equity curves of different lengths {ours.shape} and {theirs.shape}")
    rel = np.abs(theirs - ours) / np.abs(ours)
    bad = ~(rel <= rtol)
    if bad.any():
        d = int(np.flatnonzero(bad)[0])
        raise AgreementError(
            f"{what}: equity differs from pelmora's beyond {rtol:g} relative "
            f"(first at row {d}: pelmora {ours[d]!r}, peer {theirs[d]!r}; "
            f"{int(bad.sum())} rows differ, worst {np.nanmax(rel):.3g})")
    return float(rel.max()) if len(rel) else 0.0
