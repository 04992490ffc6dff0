"""The documentation site, built as CI builds it and read as a reader's browser shows it.

The build is strict and executes every example, so a failing example, a broken link or anchor, or
a public name without a docstring or a reference entry fails here. Two pages are then opened in
headless Chromium: the API reference's index must list every name of ``pelmora.__all__`` with a
link to an entry that exists, and a guide page's figures must be pictures the browser drew at a
real size. No page may ask for anything from another address: the site is read offline.
"""

from __future__ import annotations

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import pelmora

ROOT = Path(__file__).resolve().parents[2]
CONFIG = ROOT / "mkdocs.yml"
DOCS_PACKAGES = ("mkdocs", "material", "mkdocstrings_handlers.python", "markdown_exec")
MISSING = [p for p in DOCS_PACKAGES if importlib.util.find_spec(p.split(".")[0]) is None]
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

pytestmark = [
    pytest.mark.heavy,
    pytest.mark.skipif(
        bool(MISSING),
        reason=f"the docs extra is not installed (missing {', '.join(MISSING)}): "
               f"pip install '.[docs]'",
    ),
    pytest.mark.skipif(not CONFIG.exists(), reason="mkdocs.yml is not beside the tests"),
]
needs_browser = pytest.mark.skipif(
    CHROMIUM is None, reason="chromium is not on PATH (.ci/run installs it from Debian's packages)"
)


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    out = tmp_path_factory.mktemp("site")
    built = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "--config-file", str(CONFIG),
         "--site-dir", str(out)],
        cwd=ROOT, capture_output=True, text=True, timeout=900,
        env={**os.environ, "NO_MKDOCS_2_WARNING": "1"},
    )
    assert built.returncode == 0, built.stderr[-6000:]
    return out


def built(site: Path, page: str) -> Path:
    """The file a page of the navigation became: page.html, or page/index.html with mkdocs'
    directory URLs."""
    flat = site / Path(page).with_suffix(".html")
    if flat.exists():
        return flat
    return site / (Path(page).parent if Path(page).name == "index.md" else Path(page).with_suffix("")) / "index.html"


def test_every_page_of_the_navigation_is_built(site):
    nav = re.findall(r":\s*(\S+\.md)\s*$|^\s*-\s*(\S+\.md)\s*$", CONFIG.read_text(), flags=re.M)
    pages = [a or b for a, b in nav]
    assert len(pages) >= 30
    for page in pages:
        html = built(site, page).read_text()
        assert "Traceback (most recent call last)" not in html, page  # an example's failure
        # A link into the docs' sources that mkdocs did not turn into a page's address.
        assert re.findall(r'href="[^"#]*\.md(?:#[^"]*)?"', html) == [], page


def test_the_options_are_parameters_of_every_function_that_takes_them(site):
    # Their descriptions are written into the docstrings when pelmora is imported; read from the
    # source alone the reference would show a "{parameters}" template, or a block of plain text.
    from pelmora.options import OPTION_NAMES

    for page, name in (("engine", "pelmora.backtest"), ("inputs", "pelmora.inputs.prepare_inputs"),
                       ("inputs", "pelmora.BacktestOptions")):
        html = built(site, f"reference/{page}.md").read_text()
        start = html.index(f'id="{name}"')
        entry = html[start:html.index('<div class="doc doc-object', start + 1)]
        assert "{parameters}" not in entry
        rows = re.findall(r"<tr[^>]*>\s*<td[^>]*>\s*<code>(\w+)</code>", entry)
        assert set(OPTION_NAMES) <= set(rows), (name, sorted(set(OPTION_NAMES) - set(rows)))


def test_no_page_asks_another_address_for_a_script_a_style_or_a_font(site):
    asked = []
    for path in site.rglob("*"):
        if path.suffix == ".html":
            text = path.read_text(errors="replace")
            asked += [(path.name, m) for m in re.findall(
                r"<(?:script|link|img|iframe)\b[^>]*?(?:src|href)=[\"']?((?:https?:)?//[^\"' >]+)",
                text, flags=re.I)]
        elif path.suffix == ".css":
            asked += [(path.name, m) for m in re.findall(
                r"(?:url\(|@import)\s*[\"']?((?:https?:)?//[^\"')]+)", path.read_text())]
    assert asked == []


@pytest.fixture(scope="module")
def served(site):
    """The site on a static file server on the loopback, as a reader's browser gets it."""
    import functools
    import http.server
    import threading

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=str(site))
    )
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()
    thread.join(10)


def rendered(site: Path, base: str, page: Path, probe: str, tmp_path: Path) -> dict:
    """Open ``page`` of the served site in headless Chromium with ``probe`` (a script body) run
    once it has loaded; what the probe returns comes back, with the console's errors and the
    page's requests for anything outside the site."""
    copy = page.with_name(f"probe-{page.name}")
    script = (f"<script>window.addEventListener('load', () => {{ const out = (() => {{{probe}}})();"
              "const pre = document.createElement('pre'); pre.id = 'probe-result';"
              "pre.textContent = JSON.stringify(out); document.body.appendChild(pre); });</script>")
    copy.write_text(page.read_text().replace("</body>", script + "</body>"))
    try:
        out = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update",
             # Every name resolves to nothing: only the loopback server answers.
             "--disable-extensions", "--disable-sync",
             "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
             f"--user-data-dir={tmp_path / 'profile'}", "--enable-logging=stderr", "--v=1",
             "--window-size=1280,2000", "--virtual-time-budget=10000", "--dump-dom",
             f"{base}/{copy.relative_to(site).as_posix()}"],
            capture_output=True, text=True, timeout=120,
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
        )
    finally:
        copy.unlink()
    found = re.search(r'<pre id="probe-result">(.*?)</pre>', out.stdout, flags=re.S)
    assert found, out.stderr[-3000:]
    faults = [line for line in out.stderr.splitlines()
              if "Uncaught" in line or "Failed to load resource" in line
              or ("CONSOLE" in line and "error" in line.lower())]
    for line in out.stderr.splitlines():
        asked = re.search(r"NotifyBeforeURLRequest: (\S+)", line)
        # The browser's own update, clock and sign-in services are not the page's requests.
        own = asked and re.match(r"https?://[^/]*\.(google|googleapis)\.com/", asked.group(1))
        if asked and not own and not asked.group(1).startswith((base + "/", "data:")):
            faults.append(line)
    import html

    return {"result": json.loads(html.unescape(found.group(1))), "faults": faults}


@needs_browser
def test_the_reference_lists_every_public_name_with_an_entry(site, served, tmp_path):
    probe = """
        return [...document.querySelectorAll('article a')].map(a => {
            const box = a.getBoundingClientRect();
            return {text: a.textContent.trim(), href: a.getAttribute('href'),
                    shown: box.width > 0 && box.height > 0};
        });"""
    page = built(site, "reference/index.md")
    seen = rendered(site, served, page, probe, tmp_path)
    assert seen["faults"] == []
    links = {a["text"]: a for a in seen["result"]}
    for name in pelmora.__all__:
        link = links.get(f"pelmora.{name}")
        assert link is not None and link["shown"], name
        target, anchor = link["href"].split("#")
        entry = (page.parent / target).read_text() if target.endswith(".html") else \
            (page.parent / target / "index.html").read_text()
        assert f'id="{anchor}"' in entry, (name, link["href"])


@needs_browser
def test_the_figures_are_pictures_the_browser_drew(site, served, tmp_path):
    probe = """
        return [...document.querySelectorAll('article img, article svg')]
            .filter(e => !e.closest('.md-clipboard, .headerlink, button, .md-icon'))
            .map(e => {
                const box = e.getBoundingClientRect();
                return {tag: e.tagName.toLowerCase(), figure: e.classList.contains('pelmora-figure'),
                        natural: e.naturalWidth || 0, width: box.width, height: box.height};
            });"""
    seen = rendered(site, served, built(site, "guide/walk-forward.md"), probe, tmp_path)
    assert seen["faults"] == []
    figures = [e for e in seen["result"] if e["figure"]]
    assert len(figures) == 2  # the walk-forward's figure and the purged paths'
    for figure in figures:
        assert figure["natural"] > 300 and figure["width"] > 300 and figure["height"] > 150
