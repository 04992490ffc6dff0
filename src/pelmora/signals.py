"""Target weights from entry and exit signals, by the path they had before the package was grouped
by purpose: this path is the module :mod:`pelmora.inputs.signals` itself.

Importing ``pelmora.signals`` gives that module, not a copy: its names, private ones included, and
anything set on it are the same by either path.
"""

import sys

from pelmora.inputs.signals import *  # noqa: F403 - the names a type checker reads here

sys.modules[__name__] = sys.modules["pelmora.inputs.signals"]
