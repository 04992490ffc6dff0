"""The memory order the engine reads the trade price and the close in.

pandas stores a frame by column, so the engine gets column-major matrices, and it walks them
row by row. A run that holds a few stocks for weeks reads each held column down its own cache
lines, eight rows to a line: column-major suits it, and copying would only cost time and memory.
A run that trades many stocks on most rows reads, for every stock it buys, a cell of a column it
has not touched lately: one cache miss per fill. A row-major matrix hands such a run each row as
one run of memory, which the processor streams in ahead of use. For that kind of run (and only
for matrices small enough that the copy costs less than it saves) the trade price and the close
are copied row-major once, after every check; the values are the same, so is every result.
"""

from __future__ import annotations

import numpy as np

from pelmora.core.journal import _row_major

__all__ = ["engine_prices"]

# The largest matrix worth copying: past a few tens of megabytes the transposition itself
# leaves the cache and costs more than the run saves.
_MOST_CELLS = 1 << 21
# At most this many pairs of consecutive weight rows are looked at to tell the turnover.
_SAMPLES = 256


def _trades_many_stocks_on_most_rows(pos_values: np.ndarray, n_price_rows: int) -> bool:
    """Whether new weights come on at least every other price row and, on average, bring in
    at least a sixteenth of the stocks (a cache line of a row-major row holds eight)."""
    n_rows, n_stocks = pos_values.shape
    if n_rows < 2 or n_stocks == 0 or 2 * n_rows < n_price_rows:
        return False
    step = max(1, (n_rows - 1) // _SAMPLES)
    before = np.arange(0, n_rows - 1, step)
    entering = np.count_nonzero((pos_values[before + 1] != 0) & (pos_values[before] == 0))
    return bool(16 * entering >= n_stocks * len(before))


def engine_prices(
    trade: np.ndarray, close: np.ndarray, pos_values: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """The trade price and close matrices as the engine should read them (see the module's
    note): row-major copies of column-major ones for a run that trades many stocks on most
    rows, else the matrices as they are. A matrix standing in for both is copied once."""
    column_major = all(m.flags.f_contiguous and not m.flags.c_contiguous for m in (trade, close))
    if not (column_major and max(trade.size, close.size) <= _MOST_CELLS
            and _trades_many_stocks_on_most_rows(pos_values, close.shape[0])):
        return trade, close
    # Copied side by side without the interpreter lock, into memory the next run's copies reuse.
    if trade is close:
        (close_rows,) = _row_major(close)
        return close_rows, close_rows
    trade_rows, close_rows = _row_major(trade, close)
    return trade_rows, close_rows
