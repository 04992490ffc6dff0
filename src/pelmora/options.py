"""The options of a run, by the path they had before the package was grouped by purpose: this path
is the module :mod:`pelmora.inputs.options` itself.

Importing ``pelmora.options`` gives that module, not a copy: its names, private ones included, and
anything set on it are the same by either path.
"""

import sys

from pelmora.inputs.options import *  # noqa: F403 - the names a type checker reads here

sys.modules[__name__] = sys.modules["pelmora.inputs.options"]
