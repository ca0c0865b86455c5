"""Pictures of a `Report` (matplotlib, imported only when a plot is asked for).

Each function returns the Figure it drew on and takes an `ax` to draw into a caller's figure.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from zelvor.report import Report

__all__ = ["plot_equity", "plot_monthly", "plot_trades"]

_GREEN, _RED, _BLUE, _GREY = "#1a9850", "#d73027", "#2166ac", "#7f7f7f"


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError("plotting needs matplotlib: install the 'plot' extra (pip install 'zelvor[plot]')") from exc
    return plt


def _percent(ax: Axes, axis: str = "y") -> None:
    from matplotlib.ticker import PercentFormatter

    (ax.yaxis if axis == "y" else ax.xaxis).set_major_formatter(PercentFormatter(1.0, decimals=0))


def annotate_cells(ax: Axes, grid: np.ndarray, fmt: str, *, fontsize: float, dark: Callable[[float], bool]) -> None:
    """Writes each finite cell's value (formatted with `fmt`) over a heatmap drawn with `imshow`;
    `dark(value)` says the cell's colour is dark, so its text is white."""
    for (row, col), value in np.ndenumerate(grid):
        if np.isfinite(value):
            color = "white" if dark(value) else "black"
            ax.text(col, row, format(value, fmt), ha="center", va="center", fontsize=fontsize, color=color)


def plot_equity(
    report: Report, ax: Axes | None = None, *, log: bool = False, figsize: tuple[float, float] = (10, 6)
) -> Figure:
    """Equity (and the benchmark, rebased to 1.0) above the drawdown; with `ax`, equity only."""
    plt = _pyplot()
    start = report.start
    equity = report.equity.loc[start:] if len(report.equity) else report.equity
    bench = report.benchmark
    if ax is None:
        fig, (ax_eq, ax_dd) = plt.subplots(
            2, 1, sharex=True, figsize=figsize, gridspec_kw={"height_ratios": [3, 1], "hspace": 0.05}
        )
    else:
        fig, ax_eq, ax_dd = ax.figure, ax, None
    ax_eq.plot(equity.index, equity.to_numpy(), color=_BLUE, lw=1.3, label="strategy")
    if bench is not None:
        b = bench.loc[start:]
        ax_eq.plot(b.index, b.to_numpy(), color=_GREY, lw=1.0, label=str(bench.name))
        ax_eq.legend(loc="upper left", frameon=False)
    ax_eq.axhline(1.0, color="black", lw=0.6, alpha=0.4)
    if log:
        ax_eq.set_yscale("log")
    ax_eq.set_ylabel("value (start = 1.0)")
    s = report.stats()
    ax_eq.set_title(
        f"Equity  ·  total {s['total_return']:+.1%}  ·  CAGR {s['cagr']:+.1%}  ·  "
        f"Sharpe {s['sharpe']:.2f}  ·  max drawdown {s['max_drawdown']:.1%}",
        loc="left",
        fontsize=10,
    )
    ax_eq.grid(alpha=0.3)
    if ax_dd is not None:
        dd = equity / equity.cummax() - 1.0
        ax_dd.fill_between(dd.index, dd.to_numpy(), 0.0, color=_RED, alpha=0.35, lw=0)
        ax_dd.plot(dd.index, dd.to_numpy(), color=_RED, lw=0.8)
        ax_dd.set_ylabel("drawdown")
        _percent(ax_dd)
        ax_dd.grid(alpha=0.3)
        fig.align_ylabels([ax_eq, ax_dd])
    return fig


def plot_trades(report: Report, ax: Axes | None = None, *, figsize: tuple[float, float] = (10, 4.5)) -> Figure:
    """Per closed trade: MAE and MFE (on closes, since entry) against its realised return.

    Two panels (or two series on `ax`): the adverse excursion (MAE, how far the trade went
    against it) and the favourable one (MFE), each against the trade's ``return``; winners in
    green, losers in red. A trade on the diagonal of the MFE panel kept all it ever gained.
    """
    plt = _pyplot()
    t = report.trades
    t = t[t["exit_reason"] != "open"]
    ret = t["return"].to_numpy()
    win = ret > 0
    if ax is None:
        fig, axes = plt.subplots(1, 2, figsize=figsize, sharey=True)
    else:
        fig, axes = ax.figure, [ax, ax]
    for panel, column, label in ((axes[0], "mae", "MAE"), (axes[1], "mfe", "MFE")):
        x = t[column].to_numpy()
        for mask, color, name in ((win, _GREEN, "winners"), (~win, _RED, "losers")):
            panel.scatter(
                np.abs(x[mask]) if column == "mae" else x[mask],
                ret[mask],
                s=9,
                alpha=0.55,
                color=color,
                label=f"{name} ({int(mask.sum())})" if panel is axes[0] else None,
                marker="o" if column == "mae" or ax is None else "^",
            )
        panel.axhline(0.0, color="black", lw=0.6, alpha=0.5)
        panel.set_xlabel(f"{label} ({'adverse, shown positive' if column == 'mae' else 'favourable'})")
        _percent(panel, "x")
        _percent(panel)
        panel.grid(alpha=0.3)
    axes[0].set_ylabel("trade return (after costs)")
    if ax is None:
        lim = max(float(np.nanmax(np.abs(t["mfe"]))) if len(t) else 0.1, 0.01)
        axes[1].plot([0, lim], [0, lim], color=_GREY, lw=0.8, ls="--")
        axes[0].set_title("Adverse excursion vs return", loc="left", fontsize=10)
        axes[1].set_title("Favourable excursion vs return", loc="left", fontsize=10)
    axes[0].legend(loc="upper right", frameon=False, fontsize=8)
    fig.tight_layout() if ax is None else None
    return fig


def plot_monthly(report: Report, ax: Axes | None = None, *, figsize: tuple[float, float] | None = None) -> Figure:
    """Heatmap of monthly returns (years down, months across), with the year's return at right."""
    plt = _pyplot()
    from matplotlib.colors import TwoSlopeNorm

    table = report.monthly_returns()
    values = table.to_numpy(dtype=float)
    if ax is None:
        fig, ax = plt.subplots(figsize=figsize or (10, 0.45 * max(len(table), 2) + 1.2))
    else:
        fig = ax.figure
    finite = values[np.isfinite(values)]
    span = max(float(np.max(np.abs(finite))) if len(finite) else 0.01, 1e-4)
    norm = TwoSlopeNorm(vmin=-span, vcenter=0.0, vmax=span)
    ax.imshow(np.ma.masked_invalid(values), cmap="RdYlGn", norm=norm, aspect="auto")
    labels = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec", "Year"]
    ax.set_xticks(range(values.shape[1]), labels[: values.shape[1]])
    ax.set_yticks(range(len(table)), [str(y) for y in table.index])
    ax.axvline(11.5, color="white", lw=3)
    annotate_cells(ax, values, "+.1%", fontsize=7, dark=lambda v: abs(v) >= 0.6 * span)
    ax.set_title("Monthly returns", loc="left", fontsize=10)
    ax.tick_params(length=0)
    for side in ax.spines.values():
        side.set_visible(False)
    return fig
