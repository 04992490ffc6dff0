"""The checks that keep the site honest, each on a small case: a public name missing from the API
reference fails the build's hook, and an example that raises fails a strict build."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SUPPORT = ROOT / "docs" / "_support"
MISSING = [p for p in ("mkdocs", "material", "mkdocstrings_handlers", "markdown_exec", "griffe")
           if importlib.util.find_spec(p) is None]
pytestmark = pytest.mark.skipif(
    bool(MISSING) or not SUPPORT.exists(),
    reason=f"the docs extra is not installed (missing {', '.join(MISSING)}): pip install '.[docs]'",
)


@pytest.fixture(scope="module")
def api_names():
    sys.path.insert(0, str(SUPPORT))
    try:
        import api_names

        yield api_names
    finally:
        sys.path.remove(str(SUPPORT))


def test_the_reference_covers_every_public_name(api_names):
    assert api_names.problems() == []


def test_a_name_left_out_of_the_reference_is_named(api_names, tmp_path):
    pages = tmp_path / "reference"
    shutil.copytree(api_names.REFERENCE, pages)
    research = pages / "research.md"
    research.write_text(research.read_text().replace("::: pelmora.capacity\n", ""))
    inputs = pages / "inputs.md"
    inputs.write_text(inputs.read_text() + "\n::: pelmora.from_long\n")
    assert api_names.problems(pages) == [
        "pelmora.from_long: in the reference twice",
        "pelmora.capacity: public but not in the API reference",
    ]


@pytest.mark.heavy
def test_an_example_that_raises_fails_the_strict_build(tmp_path):
    docs = tmp_path / "docs"
    docs.mkdir()
    (docs / "index.md").write_text(
        '# Broken\n\n```python exec="on" result="text"\nimport pelmora\n'
        'pelmora.backtest(None, None)\n```\n'
    )
    config = tmp_path / "mkdocs.yml"
    config.write_text(
        f"INHERIT: {ROOT / 'mkdocs.yml'}\ndocs_dir: {docs}\nnav: [index.md]\nextra_css: []\n"
        f"hooks: [{SUPPORT / 'hooks.py'}]\n"
    )
    built = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "-f", str(config),
         "-d", str(tmp_path / "site")],
        cwd=ROOT, capture_output=True, text=True, timeout=300,
        env={**os.environ, "NO_MKDOCS_2_WARNING": "1"},
    )
    said = built.stdout + built.stderr
    assert built.returncode != 0
    assert "Execution of python code block exited with errors" in said
    assert "TypeError: weights must be a DataFrame, got NoneType" in said
    assert "Aborted with 1 warnings in strict mode!" in said
