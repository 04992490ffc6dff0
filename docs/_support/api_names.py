"""The public names of pelmora and where the API reference documents them.

Shared by the site's build hook (which fails the build on a public name without a docstring or
missing from the reference) and by the test that reads the built reference in a browser.
"""

from __future__ import annotations

import importlib
import re
import types
from pathlib import Path
from typing import Any

REFERENCE = Path(__file__).resolve().parent.parent / "reference"
NATIVE = ("pelmora.core.runvane", "pelmora.core.swaylen", "pelmora.core.journal")
"""The native modules: without an ``__all__``, their public names are every name without a
leading underscore that is not a module they hold (``org_np``, ``datetime``)."""


def public_names() -> list[str]:
    """Every public dotted name: the package face's (``dir(pelmora)``), the names of each public
    submodule's ``__all__``, and the native modules' entries."""
    import pelmora

    names = set()
    for name in dir(pelmora):
        if name.startswith("_") or name == "core":
            continue
        names.add(f"pelmora.{name}")
        value = getattr(pelmora, name)
        if isinstance(value, types.ModuleType) and not value.__name__.startswith("pelmora.core"):
            names.update(f"pelmora.{name}.{n}" for n in getattr(value, "__all__", ()))
    for module in NATIVE:
        native = importlib.import_module(module)
        names.add(module)
        names.update(f"{module}.{n}" for n in dir(native)
                     if not n.startswith("_") and not isinstance(getattr(native, n), types.ModuleType))
    return sorted(names)


def face_names() -> list[str]:
    """``pelmora.__all__`` as dotted names: what the reference must list by name."""
    import pelmora

    return [f"pelmora.{n}" for n in pelmora.__all__]


def face() -> list[str]:
    """The names of the package face a user types after ``pelmora.``: ``pelmora.__all__`` and the
    classes and functions loaded on first use (``BacktestResult``, ``plot_heatmap``, ...); the
    submodules other than the native ones of ``__all__`` are left out."""
    import pelmora

    return [
        f"pelmora.{n}" for n in dir(pelmora)
        if not n.startswith("_") and n != "core"
        and (n in pelmora.__all__ or not isinstance(getattr(pelmora, n), types.ModuleType))
    ]


def face_table(reference: Path = REFERENCE) -> str:
    """A Markdown table of :func:`face`'s names, each linked to its entry in the reference."""
    package = _load()
    pages = {}
    for page in sorted(reference.glob("*.md")):
        for name in documented_on(page):
            pages.setdefault(_target(package, name).path, (page.name, name))
    lines = ["| name | what it is | page |", "|---|---|---|"]
    for name in face():
        target = _target(package, name)
        page, anchor = pages.get(target.path, (None, None))
        if page is None:  # a member of a documented object: its page is its parent's
            parent = target.parent
            while page is None and parent is not None:
                page, _ = pages.get(parent.path, (None, None))
                parent = parent.parent
            anchor = target.path
        first = target.docstring.value.strip().splitlines()[0] if target.docstring else ""
        title = page.removesuffix(".md").capitalize()
        # An autorefs link: resolved to the entry's final address when the site is written
        # (a relative .md link in an executed block's output is not rewritten by mkdocs).
        lines.append(f"| [`{name}`][{anchor}] | {first.replace('|', '/')} | {title} |")
    return "\n".join(lines)


def documented_on(page: Path) -> list[str]:
    """The identifiers of one reference page's ``::: name`` directives."""
    return re.findall(r"^:::\s+(\S+)", page.read_text(encoding="utf-8"), flags=re.M)


def documented(reference: Path = REFERENCE) -> list[str]:
    """The identifiers of the reference pages' ``::: name`` directives, in page order."""
    return [name for page in sorted(reference.glob("*.md")) for name in documented_on(page)]


def _load() -> Any:
    import griffe
    from runtime_docs import RuntimeDocstrings

    source = Path(__file__).resolve().parents[2] / "src"
    return griffe.load("pelmora", search_paths=[str(source)], docstring_parser="numpy",
                       resolve_aliases=True, resolve_external=False,
                       extensions=griffe.load_extensions(RuntimeDocstrings()))


def _target(package: Any, dotted: str) -> Any:
    obj = package[dotted.removeprefix("pelmora").lstrip(".")] if dotted != "pelmora" else package
    return obj.final_target if obj.is_alias else obj


def problems(reference: Path = REFERENCE) -> list[str]:
    """What keeps the reference from covering the public API, one line per fault (empty: none).

    A public name fails when neither it nor the object it names is documented in the reference,
    or when that object (or a public method or property of a documented class) has no docstring.
    """
    package = _load()
    shown = documented(reference)
    faults = [f"{n}: in the reference twice" for n in sorted({n for n in shown if shown.count(n) > 1})]
    covered = set()
    face = set(face_names())
    for name in shown:
        try:
            covered.add(_target(package, name).path)
        except Exception as exc:  # noqa: BLE001 - a directive naming nothing is a fault to list
            faults.append(f"{name}: named in the reference but not found ({exc})")
    for name in public_names():
        try:
            target = _target(package, name)
        except Exception as exc:  # noqa: BLE001
            faults.append(f"{name}: public but not found by griffe ({exc})")
            continue
        # A submodule is documented by its names (each checked here); a module of pelmora.__all__
        # (the native runvane and swaylen) has an entry of its own.
        exempt = target.is_module and name not in face
        if (not exempt and name not in shown and target.path not in covered
                and not _within(target, covered)):
            faults.append(f"{name}: public but not in the API reference")
        if not (target.docstring and target.docstring.value.strip()):
            faults.append(f"{name}: public but has no docstring")
        if target.is_class:
            for member_name, member in target.members.items():
                if member_name.startswith("_") or member.is_alias:
                    continue
                if (member.is_function or "property" in member.labels) and not member.docstring:
                    faults.append(f"{name}.{member_name}: public but has no docstring")
    return faults


def _within(target: Any, covered: set[str]) -> bool:
    # A member of a documented module or class is documented with it.
    parent = target.parent
    while parent is not None:
        if parent.path in covered and not parent.is_module:
            return True
        parent = parent.parent
    return False


def import_all() -> None:
    """Import every public name, so that a name griffe sees but Python cannot is a fault too."""
    for name in public_names():
        module, _, attr = name.rpartition(".")
        try:
            getattr(importlib.import_module(module), attr)
        except ModuleNotFoundError:
            importlib.import_module(name)
