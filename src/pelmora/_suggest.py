"""The closest known name to a misspelt one, for messages that say what was meant."""

from __future__ import annotations

import difflib
from collections.abc import Iterable
from typing import Any

__all__ = ["did_you_mean", "unknown_keyword"]


def did_you_mean(name: Any, known: Iterable[str]) -> str:
    """" (did you mean X?)" for the known name closest to a misspelt ``name``, else ""."""
    close = difflib.get_close_matches(str(name), list(known), n=1, cutoff=0.75)
    return f" (did you mean {close[0]}?)" if close else ""


def unknown_keyword(caller: str, name: str, known: Iterable[str]) -> str:
    """The message for a keyword ``caller`` does not take, with the closest known name if any.

    The text starts as Python's own, so code matching Python's message keeps matching; a near
    miss ("stop_los") adds the name the user most likely meant.
    """
    return f"{caller}() got an unexpected keyword argument {name!r}{did_you_mean(name, known)}"
