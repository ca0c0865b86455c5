"""How each figure of `Report.stats` and of a sweep's table is labelled and written.

One entry per figure: its label on a page and its kind, which decides how a value is written.
Every page, table and text of the package reads figures' labels and formats here.
"""

from __future__ import annotations

import math
from typing import Any

import pandas as pd

__all__ = ["SIGNED_TONE", "figure_label", "figure_text"]

# kind: "signed" (a percentage with its sign), "percent", "money" (units of the starting 1.0),
# "count" (a whole number held as a float), "date", or "number".
_FIGURES: dict[str, tuple[str, str]] = {
    "start": ("Start", "date"),
    "end": ("End", "date"),
    "total_return": ("Total return", "signed"),
    "cagr": ("CAGR", "signed"),
    "annual_volatility": ("Volatility (annual)", "percent"),
    "sharpe": ("Sharpe", "number"),
    "sortino": ("Sortino", "number"),
    "calmar": ("Calmar", "number"),
    "max_drawdown": ("Max drawdown", "percent"),
    "max_drawdown_duration": ("Longest drawdown (rows)", "count"),
    "max_drawdown_days": ("Longest drawdown (days)", "number"),
    "trades": ("Trades", "count"),
    "win_rate": ("Win rate", "percent"),
    "profit_factor": ("Profit factor", "number"),
    "avg_win": ("Average win", "signed"),
    "avg_loss": ("Average loss", "signed"),
    "avg_holding_rows": ("Average holding (rows)", "number"),
    "avg_holding_days": ("Average holding (days)", "number"),
    "exposure": ("Exposure", "percent"),
    "turnover": ("Turnover (per year)", "number"),
    "fees": ("Fees", "money"),
    "taxes": ("Taxes", "money"),
    "alpha": ("Alpha (annual)", "signed"),
    "beta": ("Beta", "number"),
    "psr": ("Probabilistic Sharpe", "number"),
    "dsr": ("Deflated Sharpe", "number"),
    "min_track_record": ("Minimum track record (rows)", "number"),
    "best_trade": ("Best trade", "signed"),
    "worst_trade": ("Worst trade", "signed"),
    "expectancy": ("Expectancy (per trade)", "signed"),
    "sqn": ("SQN", "number"),
    "kelly": ("Kelly fraction", "number"),
    "avg_drawdown": ("Average drawdown", "percent"),
    "skew": ("Skew", "number"),
    "kurtosis": ("Excess kurtosis", "number"),
    "var_95": ("Daily VaR (95 %)", "percent"),
    "cvar_95": ("Daily CVaR (95 %)", "percent"),
    "omega": ("Omega", "number"),
    "tail_ratio": ("Tail ratio", "number"),
    "stability": ("Stability (R²)", "number"),
}

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
