"""Sweeps over a grid of options and their store, by the path they had before the package was
grouped by purpose: this path is the module :mod:`pelmora.research.sweeps` itself.

Importing ``pelmora.sweeps`` gives that module, not a copy: its names, private ones included, and
anything set on it are the same by either path.
"""

import sys

from pelmora.research.sweeps import *  # noqa: F403 - the names a type checker reads here

sys.modules[__name__] = sys.modules["pelmora.research.sweeps"]
