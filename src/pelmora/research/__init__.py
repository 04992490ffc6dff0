"""Research: many runs of one strategy, and what they say about it.

- :mod:`~pelmora.research.sweeps` (also ``pelmora.sweeps``) runs a grid of options, on threads,
  processes or a Dask cluster, into a table and a store on disk.
- :mod:`~pelmora.research.walkforward` (also ``pelmora.walkforward``) chooses the options on one
  span and tests them on the next; ``_purged`` does the same by purged, embargoed
  cross-validation.
- ``_overfitting`` applies the statistics of choosing among many trials to a sweep's table
  (:func:`pelmora.overfitting`), with the sentence that reads them in ``_verdict``.
- ``_capacity`` runs one strategy at many capitals (:func:`pelmora.capacity`).
"""
