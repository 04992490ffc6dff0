"""The public face as a type checker reads it: a user's script passes ``mypy --strict``, and a
script that takes one result type for another is refused (the overloads carry real types)."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is in the test extra; .ci/run installs it")

HERE = Path(__file__).parent


def mypy(path: Path, tmp_path: Path) -> subprocess.CompletedProcess:
    # The installed package, as a user's checker sees it (its own py.typed marker and types;
    # errors inside the package are not the user's script's and are not reported).
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         f"--cache-dir={tmp_path / 'cache'}", str(path)],
        capture_output=True, text=True, timeout=600, env=env, cwd=tmp_path, check=False,
    )


@pytest.mark.slow
def test_a_users_script_passes_strict_type_checking(tmp_path):
    out = mypy(HERE / "user_script.py", tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


@pytest.mark.slow
def test_the_wrong_result_type_is_caught(tmp_path):
    script = tmp_path / "wrong.py"
    script.write_text(
        "import pandas as pd\n"
        "import pelmora\n"
        "from pelmora.walkforward import PurgedResult\n"
        "def f(w: pd.DataFrame, p: pd.DataFrame) -> None:\n"
        "    r: PurgedResult = pelmora.walk_forward({'fee': [0.0]}, w, p)\n"
        "    o: dict[str, float] = pelmora.backtest(w, p).options\n"
        "    x: dict[str, pd.DataFrame] = pelmora.from_long(w, value='close')\n"
    )
    out = mypy(script, tmp_path)
    errors = [line for line in out.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["5", "6", "7"], out.stdout
