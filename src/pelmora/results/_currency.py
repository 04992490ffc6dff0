"""A run's money in the account's currency: :attr:`pelmora.result.BacktestResult.currency`.

The engine counts money in portfolio units (the run starts with 1.0 of cash); an account of a
given capital holds ``capital`` times as much. Multiplying is all the conversion there is, so the
view scales the result's own tables and leaves shares, prices, weights, returns, dates and counts
as they are.
"""

from __future__ import annotations

from functools import cached_property
from typing import TYPE_CHECKING

from pelmora.results._tables import exposure_table, positions_table

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

    from pelmora.results.result import BacktestResult

__all__ = ["MONEY_COLUMNS", "CurrencyView"]

MONEY_COLUMNS: dict[str, tuple[str, ...]] = {
    "fills": ("value", "fee", "tax", "slippage", "impact", "written_off", "before", "after"),
    "trades": ("entry_value", "exit_value", "costs", "pnl"),
    "financing": ("balance", "interest", "short_value", "short_fee"),
}
"""The columns in portfolio units of each table that has other columns as well."""


class CurrencyView:
    """The money tables of a run in currency: its portfolio units times its ``capital``.

    ``fills`` (value, fee, tax, slippage, impact, written off, before, after), ``trades``
    (entry and exit value, costs, pnl), ``financing`` (balance, interest, short value, short
    fee), ``equity`` and ``cash`` are the result's own, scaled; ``positions`` is each holding's value and ``exposure`` the long,
    short, gross, net and cash amounts (the result's are fractions of the equity). Shares,
    prices, weights, returns, days and counts are not money and stay as they are.

    Attributes
    ----------
    capital : float
        The account's value in currency at the start, as the run was given it.
    """

    def __init__(self, result: BacktestResult) -> None:
        capital = result.inputs.options.capital
        if capital is None:
            raise ValueError(
                "currency needs the run's capital: this run was made without one (run it with "
                "capital=..., the account's value in currency at the start)"
            )
        self.capital: float = capital
        self._result = result

    def __repr__(self) -> str:
        return f"<CurrencyView of {self._result!r}, capital {self.capital:,.2f}>"

    def _scaled(self, name: str) -> pd.DataFrame:
        frame = getattr(self._result, name).copy()
        columns = list(MONEY_COLUMNS[name])
        frame[columns] = frame[columns] * self.capital
        return frame

    @cached_property
    def equity(self) -> pd.Series:
        """The account's value after each trading day, from ``capital``."""
        return self._result.equity * self.capital

    @cached_property
    def cash(self) -> pd.Series:
        """The account's cash after each trading day."""
        return self._result.cash * self.capital

    @cached_property
    def fills(self) -> pd.DataFrame:
        """:attr:`BacktestResult.fills` with its money in currency."""
        return self._scaled("fills")

    @cached_property
    def trades(self) -> pd.DataFrame:
        """:attr:`BacktestResult.trades` with its values, costs and pnl in currency."""
        return self._scaled("trades")

    @cached_property
    def financing(self) -> pd.DataFrame:
        """:attr:`BacktestResult.financing` in currency (``days`` stays days)."""
        return self._scaled("financing")

    @cached_property
    def positions(self) -> pd.DataFrame:
        """The value of every holding at every close, in currency (negative for a short)."""
        result = self._result
        return positions_table(result.inputs, result.record, result.equity.index, self.capital)

    @cached_property
    def exposure(self) -> pd.DataFrame:
        """Long, short, gross, net and cash in currency at every close, and ``n_holdings``."""
        return exposure_table(self._result.record, self._result.equity.index, self.capital)
