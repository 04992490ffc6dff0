"""A griffe extension: the docstrings as ``help()`` shows them, in the site's markup.

pelmora writes a few docstrings at import time: the options' descriptions replace ``{parameters}``
(``BacktestOptions``, ``backtest``, ``prepare_inputs``), and a method that hands its work to a
function takes that function's text (``BacktestResult.order_ticket``). Read from the source they
are incomplete; this extension puts the imported object's ``__doc__`` in their place, so the
reference shows what ``help()`` shows.

A section numpydoc does not know (``Columns`` of a table) is a list of names, each with its
description indented below it; it becomes a Markdown list, which the reference renders as one.

The docstrings cross-reference in Sphinx's roles (``:func:`pelmora.sweep` ``); the site has no
Sphinx, so a role becomes its name in code: the target, its last part with a leading ``~``, or the
title of ``title <target>``.
"""

from __future__ import annotations

import importlib
import inspect
import re
from typing import Any

import griffe

_PLACEHOLDER = "{parameters}"
_ROLE = re.compile(r":(?:py:)?(?:func|class|meth|attr|data|mod|obj|exc|const):`([^`]+)`")


_KNOWN = {
    "Parameters", "Other Parameters", "Returns", "Yields", "Receives", "Raises", "Warns",
    "Warnings", "See Also", "Notes", "References", "Examples", "Attributes", "Methods",
}


def _sections_as_lists(text: str) -> str:
    """Each unknown section's ``name`` / indented description pairs as a Markdown list."""
    lines = text.split("\n")
    out: list[str] = []
    i, inside = 0, False
    while i < len(lines):
        line = lines[i]
        underline = i + 1 < len(lines) and re.fullmatch(r"-{3,}", lines[i + 1].strip() or "x")
        if underline and line.strip() and not line.startswith(" "):
            inside = line.strip() not in _KNOWN
            if inside:  # the section's title, bold, and a blank line before its list
                out += [f"**{line.strip()}**", ""]
                i += 2
                continue
        if inside and line and not line.startswith(" "):
            names = ", ".join(f"`{n.strip()}`" for n in line.split(","))
            body = []
            while i + 1 < len(lines) and (lines[i + 1].startswith(" ") or not lines[i + 1]):
                if not lines[i + 1] and (i + 2 >= len(lines) or not lines[i + 2].startswith(" ")):
                    break
                body.append(lines[i + 1].strip())
                i += 1
            out.append(f"- {names}: {' '.join(b for b in body if b)}")
        else:
            out.append(line)
        i += 1
    return "\n".join(out)


def _role_text(match: re.Match[str]) -> str:
    text = match.group(1)
    titled = re.fullmatch(r"(.*?)\s*<([^>]+)>", text)
    if titled:
        return f"`{titled.group(1)}`"
    if text.startswith("~"):
        return f"`{text[1:].rsplit('.', 1)[-1]}`"
    return f"`{text}`"


def _runtime(obj: Any) -> Any:
    """The imported object at ``obj``'s path, or None."""
    parts = obj.path.split(".")
    for cut in range(len(parts), 0, -1):
        try:
            value: Any = importlib.import_module(".".join(parts[:cut]))
        except ImportError:
            continue
        try:
            for name in parts[cut:]:
                value = getattr(value, name)
        except AttributeError:
            return None
        return value
    return None


class RuntimeDocstrings(griffe.Extension):
    """Take the imported ``__doc__`` where the source's docstring is missing or a template."""

    def on_package(self, *, pkg: Any, **kwargs: Any) -> None:
        self._roles(pkg)
        self._walk(pkg)

    # griffe before 1.14 names the same event so; running both is harmless (the work is done once).
    on_package_loaded = on_package

    def _walk(self, obj: Any) -> None:
        for member in list(obj.members.values()):
            if member.is_alias:
                continue
            if not member.is_attribute:
                self._fix(member)
            self._roles(member)
            if member.is_class or member.is_module:
                self._walk(member)

    @staticmethod
    def _roles(obj: Any) -> None:
        if obj.docstring:
            text = _ROLE.sub(_role_text, obj.docstring.value)
            obj.docstring.value = _sections_as_lists(text) if "---" in text else text

    def _fix(self, obj: Any) -> None:
        text = obj.docstring.value if obj.docstring else ""
        if text and _PLACEHOLDER not in text:
            return
        value = _runtime(obj)
        doc = inspect.cleandoc(value.__doc__) if value is not None and value.__doc__ else ""
        if doc and _PLACEHOLDER not in doc:
            # Parsed as mkdocs.yml parses the others: the options are documented under
            # **options, so the parameters that are not in the signature are expected.
            obj.docstring = griffe.Docstring(
                _sections_as_lists(_ROLE.sub(_role_text, doc)), parent=obj, parser="numpy",
                parser_options={"warn_unknown_params": False},
            )
