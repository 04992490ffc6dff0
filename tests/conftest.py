"""Shared test setup.

The tests mirror the code: ``native/`` (the engine, the excursion module, the journal),
``user/`` (one file per module of the Python package, with the shared markets in
``user/markets.py``), ``robustness/`` (fuzzing, hostile inputs, memory) and ``oracles/`` (the
independent Python models the native results are compared with bit for bit). The helpers beside
this file (``support``, ``run_helpers``) and the models in ``oracles/`` are importable from every
folder.
"""

import os
import sys
from pathlib import Path

from hypothesis import HealthCheck, settings

_HERE = Path(__file__).resolve().parent
for _folder in (_HERE, _HERE / "oracles", _HERE / "native"):
    if str(_folder) not in sys.path:
        sys.path.insert(0, str(_folder))

settings.register_profile(
    "default", deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "fuzz", deadline=None, max_examples=2000, suppress_health_check=list(HealthCheck)
)
settings.load_profile(os.environ.get("PELMORA_HYPOTHESIS_PROFILE", "default"))
