"""Statistics: the figures of one run's returns, and of choosing the best of many runs.

- :mod:`~pelmora.statistics.performance` (also ``pelmora.stats``): every figure of
  ``result.stats()`` with the one drawdown and benchmark-level rule; its arithmetic on arrays in
  ``_figures``, the benchmark's alignment in ``_benchmark``, the intervals of ``stats(ci=...)`` in
  ``_intervals`` over the bootstrap of ``_bootstrap``.
- :mod:`~pelmora.statistics.selection` (also ``pelmora.selection``): PSR, DSR, the minimum track
  record and backtest length, with PBO in ``_pbo``, the effective number of trials in ``_trials``
  and the trials' returns as one matrix in ``_returns``.
- The tests over a sweep's kept returns (``_kept``): the reality check and its kin in
  ``_reality``, the haircut and the false discovery rate in ``_haircut``.
- Curves side by side: any result or Series as a curve (``_curves``), ``pelmora.compare``
  (``_compare``) and ``pelmora.tearsheet`` (``_tearsheet``).

Importing any of them needs only NumPy; pandas, SciPy and arch are imported on first use.
"""
