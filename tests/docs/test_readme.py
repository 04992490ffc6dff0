"""README is the front door: short, its links alive, and every number and picture in it the
output of code that runs here, so none of it can go stale."""

from __future__ import annotations

import contextlib
import importlib.util
import io
import re
import warnings
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")


def _examples() -> list[tuple[str, str]]:
    """Each python block of README that is followed by a text block: (code, its output)."""
    blocks = re.findall(r"```(\w+)\n(.*?)```", README, flags=re.S)
    return [(code, out) for (lang, code), (next_lang, out) in zip(blocks, blocks[1:])
            if lang == "python" and next_lang == "text"]


def _figures_script():
    found = importlib.util.spec_from_file_location("readme_figures",
                                                   ROOT / "scripts" / "readme_figures.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_readme_is_short_and_its_links_lead_somewhere():
    assert len(README.split()) <= 1500
    links = re.findall(r"\]\(([^)#]+)(?:#[^)]*)?\)", README)
    local = [link for link in links if not link.startswith(("http://", "https://"))]
    assert local and [link for link in local if not (ROOT / link).exists()] == []


def test_the_printed_output_is_what_the_code_prints():
    pytest.importorskip("pandas")
    pytest.importorskip("arch", reason="the verdict's SPA p-value needs the inference extra")
    examples = _examples()
    assert len(examples) >= 2
    namespace: dict = {}
    for code, expected in examples:
        printed = io.StringIO()
        with warnings.catch_warnings(), contextlib.redirect_stdout(printed):
            warnings.simplefilter("ignore")
            exec(compile(code, "README.md", "exec"), namespace)  # noqa: S102
        assert printed.getvalue() == expected, code


def test_the_pictures_are_drawn_from_todays_numbers():
    pytest.importorskip("matplotlib")
    script = _figures_script()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        table = script.capacity_table()
    picture = (script.OUT / "capacity.svg").read_text(encoding="utf-8")
    drawn = re.search(re.escape(script.DIGEST_KEY) + r"([0-9a-f]+)", picture)
    assert drawn, "the picture carries no digest: redraw it with scripts/readme_figures.py"
    assert drawn.group(1) == script.digest(table), (
        "README's capacity curve was drawn from other numbers than today's code gives: run "
        "python scripts/readme_figures.py and commit the picture"
    )
    assert "docs/assets/readme/capacity.svg" in README
