"""The engine boundary: checked inputs in, the native journal's record of one run out.

- ``_vocabulary`` is the only module that speaks the engine's language: the options as its
  scalar arguments, the journal's record (``RunRecord``), the reasons of the fills, one run and
  the check of its equity.
- :mod:`~pelmora.engine.runner` (also ``pelmora.runner``) runs one backtest
  (:func:`pelmora.backtest`) and warns of what the run did that its user should know.
- ``_signal_run`` runs entry and exit signals, feeding the run's stops and delistings back as
  exits until the weights and the run agree.
"""
