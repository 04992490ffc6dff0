"""The tables as they come (yfinance frames, polars and pyarrow tables, long tables), by the path
they had before the package was grouped by purpose: this path is the module
:mod:`pelmora.inputs.frames` itself.

Importing ``pelmora.frames`` gives that module, not a copy: its names, private ones included, and
anything set on it are the same by either path.
"""

import sys

from pelmora.inputs.frames import *  # noqa: F403 - the names a type checker reads here

sys.modules[__name__] = sys.modules["pelmora.inputs.frames"]
