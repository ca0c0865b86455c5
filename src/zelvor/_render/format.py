"""How each figure of `Report.stats` and of a sweep's table is labelled and written.

One entry per figure: its label on a page and its kind, which decides how a value is written.
Every page, table and text of the package reads figures' labels and formats here.
"""

from __future__ import annotations

import math
from typing import Any

import pandas as pd

from zelvor._stats import STATISTICS, Statistic

__all__ = ["SIGNED_TONE", "figure_label", "figure_text"]

# Figures written as a percentage with its sign (the others of unit "fraction" without it).
_SIGNED = frozenset({"total_return", "cagr", "avg_win", "avg_loss", "alpha", "best_trade", "worst_trade", "expectancy"})


def _kind(s: Statistic) -> str:
    """How a value of `s` is written: "signed" (a percentage with its sign), "percent", "money"
    (units of the starting 1.0), "count" (a whole number held as a float), "date", or "number"."""
    if s.unit in ("date", "money", "count"):
        return s.unit
    if s.unit == "fraction":
        return "signed" if s.name in _SIGNED else "percent"
    return "number"


# Label and kind of every figure, from the one table of statistics.
_FIGURES: dict[str, tuple[str, str]] = {s.name: (s.label, _kind(s)) for s in STATISTICS}

# Figures whose sign is shown in colour (green up, red down).
SIGNED_TONE = frozenset({"total_return", "cagr", "alpha"})


def figure_label(name: str) -> str:
    """The label of figure `name` on a page (the name itself for a figure without one)."""
    entry = _FIGURES.get(name)
    return entry[0] if entry else name


def figure_text(name: str, value: Any) -> str:
    """`value` of figure `name` as written on a page: percentages with two decimals (signed for
    returns), money with four, counts whole, "–" for NaN."""
    if isinstance(value, pd.Timestamp):
        return str(value.date()) if value is not pd.NaT else "–"
    if not isinstance(value, int | float) or isinstance(value, bool):
        return str(value)
    if isinstance(value, float) and math.isnan(value):
        return "–"
    kind = _FIGURES.get(name, ("", "number"))[1]
    if kind == "signed":
        return f"{value:+.2%}"
    if kind == "percent":
        return f"{value:.2%}"
    if kind == "money":
        return f"{value:.4f}"
    if kind == "count" and math.isfinite(value):
        return f"{int(value):,}"
    return f"{value:,}" if isinstance(value, int) else f"{value:.2f}"
