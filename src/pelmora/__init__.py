"""pelmora: portfolio backtesting with a native engine and per-trade excursion analysis."""

from pelmora.core import runvane, swaylen

__all__ = ["runvane", "swaylen"]
__version__ = "0.1.0"
