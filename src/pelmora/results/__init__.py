"""Results: one run's record, labelled in the user's dates and stocks.

- :mod:`~pelmora.results.result` (also ``pelmora.result``) is :class:`~pelmora.BacktestResult`,
  which labels the journal's columns and builds its tables on first use: the trades, fills,
  positions and exposure in ``_tables``, the open orders and the fill rate in ``_orders``, the
  values in a currency in ``_currency``, the order ticket for a broker in ``_ticket``.
"""
