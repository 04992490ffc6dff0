"""The optional dependencies: which extra installs each one, and the one way to import them.

``import pelmora`` needs only NumPy. Everything else is imported where a feature first needs it,
through :func:`import_optional`, so that a missing package fails with an ImportError that says
which extra to install instead of a bare ``ModuleNotFoundError`` from deep inside a call.
"""

from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["EXTRAS", "import_optional"]

EXTRAS: dict[str, tuple[str, str]] = {
    "pandas": ("pandas", "pandas"),
    "matplotlib": ("matplotlib", "plot"),
    "tqdm": ("tqdm", "progress"),
    "dask": ("dask", "sweep"),
    "distributed": ("dask[distributed]", "sweep"),
    "pyarrow": ("pyarrow", "sweep"),
    "pyarrow.parquet": ("pyarrow", "sweep"),
    "polars": ("polars", "polars"),
    "exchange_calendars": ("exchange-calendars", "calendar"),
    "arch": ("arch", "inference"),
    "arch.bootstrap": ("arch", "inference"),
    "scipy": ("scipy", "inference"),
    "scipy.stats": ("scipy", "inference"),
    "plotly": ("plotly", "interactive"),
    "plotly.graph_objects": ("plotly", "interactive"),
    "plotly.subplots": ("plotly", "interactive"),
    "plotly.io": ("plotly", "interactive"),
    "plotly.offline": ("plotly", "interactive"),
}
"""Module name -> (distribution to install, extra of pelmora that installs it)."""


def import_optional(name: str, extra: str | None = None, caller: str = "pelmora") -> ModuleType:
    """Import an optional dependency, or fail with an ImportError that names the extra to install.

    Parameters
    ----------
    name : str
        Module name, one of the keys of :data:`EXTRAS` ("pandas", "matplotlib", ...).
    extra : str, optional
        The extra that installs it; by default the one :data:`EXTRAS` gives.
    caller : str, default "pelmora"
        What needs it, as the user calls it (for example "pelmora.backtest").

    Returns
    -------
    types.ModuleType
        The imported module.

    Raises
    ------
    ImportError
        When the module cannot be imported: "<caller> needs <distribution>: pip install
        'pelmora[<extra>]'".
    """
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        dist, default_extra = EXTRAS.get(name, (name, name))
        raise ImportError(
            f"{caller} needs {dist}: pip install 'pelmora[{extra or default_extra}]'"
        ) from exc
