"""The result of one run, by the path they had before the package was grouped by purpose: this path
is the module :mod:`pelmora.results.result` itself.

Importing ``pelmora.result`` gives that module, not a copy: its names, private ones included, and
anything set on it are the same by either path.
"""

import sys

from pelmora.results.result import *  # noqa: F403 - the names a type checker reads here

sys.modules[__name__] = sys.modules["pelmora.results.result"]
