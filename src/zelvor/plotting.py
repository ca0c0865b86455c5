"""Pictures of a `Report` (matplotlib, imported only when a plot is asked for).

Each function returns the Figure it drew on and takes an `ax` to draw into a caller's figure;
`Report.plot`, `Report.plot_trades` and the other ``plot_*`` methods call them.

Examples
--------
>>> from zelvor.plotting import plot_equity
>>> fig = plot_equity(report, log=True)  # doctest: +SKIP
"""

from __future__ import annotations

from zelvor._render.plots import (
    plot_distribution,
    plot_drawdowns,
    plot_equity,
    plot_monthly,
    plot_rolling,
    plot_stock,
    plot_trades,
)

__all__ = [
    "plot_distribution",
    "plot_drawdowns",
    "plot_equity",
    "plot_monthly",
    "plot_rolling",
    "plot_stock",
    "plot_trades",
]
