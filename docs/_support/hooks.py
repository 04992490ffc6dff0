"""Build hooks of the documentation site.

- The executed examples find ``show`` (docs/_support/show.py) on the import path and draw with
  matplotlib's non-interactive Agg canvas; SVG ids are salted with a fixed text, so a page built
  twice from the same code is the same page.
- The reports the examples write are copied into the site beside their pages.
- The build fails when a public name of pelmora has no docstring or is missing from the API
  reference (docs/reference/*.md): the reference cannot fall behind the package.
"""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Any

from mkdocs.exceptions import PluginError

SUPPORT = Path(__file__).resolve().parent


def on_config(config: Any) -> Any:
    import matplotlib

    # mkdocs puts a hook's folder on the path only while it loads the hook.
    if str(SUPPORT) not in sys.path:
        sys.path.insert(0, str(SUPPORT))

    matplotlib.use("Agg")
    matplotlib.rcParams["svg.hashsalt"] = "pelmora-docs"
    import show

    show.DIRECTORY_URLS = bool(config["use_directory_urls"])
    # Printed tables as wide as a page's code block.
    import pandas as pd

    pd.set_option("display.width", 88)
    pd.set_option("display.max_columns", 10)
    return config


def on_pre_build(config: Any) -> None:
    import api_names

    api_names.import_all()
    faults = api_names.problems()
    if faults:
        raise PluginError("the API reference does not cover the public API:\n  " + "\n  ".join(faults))


def on_post_build(config: Any) -> None:
    # The reports the examples wrote, beside the pages that show them.
    import show

    show.copy_published(config["site_dir"])
    show.PUBLISHED.clear()
