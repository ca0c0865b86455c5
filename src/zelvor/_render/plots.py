"""The matplotlib pictures of a `Report` and the helpers of every plot of the package.

matplotlib is imported only when a picture is asked for (it is the 'plot' extra). Each function
returns the Figure it drew on and takes an `ax` to draw into a caller's figure.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import pandas as pd

from zelvor._stats import drawdown

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from zelvor.report import Report

_GREEN, _RED, _BLUE, _GREY = "#1a9850", "#d73027", "#2166ac", "#7f7f7f"


def pyplot(who: str = "plotting") -> Any:
    """matplotlib's pyplot, or an ImportError naming `who` and the extra that installs it."""
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError(f"{who} needs matplotlib: install the 'plot' extra (pip install 'zelvor[plot]')") from exc
    return plt


def figure_axes(
    who: str, ax: Sequence[Axes] | None, rows: int, cols: int, what: str, **kwargs: Any
) -> tuple[Any, list[Axes]]:
    """(figure, its rows x cols Axes, row by row): new ones (`kwargs` to ``subplots``), or the
    caller's `ax`, which must hold as many Axes (`what` names them in the error)."""
    plt = pyplot(who)
    if ax is None:
        fig, axes = plt.subplots(rows, cols, squeeze=False, **kwargs)
        return fig, list(axes.ravel())
    given = list(ax)
    if len(given) != rows * cols:
        raise ValueError(f"ax must be {rows * cols} Axes ({what}), got {len(given)}")
    return given[0].figure, given


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
    plt = pyplot()
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
        dd = pd.Series(drawdown(equity.to_numpy(dtype=float)), index=equity.index)
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
    plt = pyplot()
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
    plt = pyplot()
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


def plot_rolling(
    report: Report, window: int = 126, ax: Axes | None = None, *, figsize: tuple[float, float] = (10, 6)
) -> Figure:
    """`Report.rolling` figures over time: Sharpe, volatility and, with a benchmark, beta (one
    panel each; the strategy's full-period value dashed). With `ax`, the rolling Sharpe only."""
    plt = pyplot()
    table = report.rolling(window)
    columns = [c for c in ("sharpe", "volatility", "beta") if c in table.columns]
    if ax is None:
        fig, axes = plt.subplots(len(columns), 1, sharex=True, figsize=figsize, squeeze=False)
        panels = list(axes[:, 0])
    else:
        fig, panels, columns = ax.figure, [ax], ["sharpe"]
    s = report.stats()
    whole = {"sharpe": s.get("sharpe"), "volatility": s.get("annual_volatility"), "beta": s.get("beta")}
    labels = {"sharpe": "Sharpe", "volatility": "volatility", "beta": "beta"}
    for panel, column in zip(panels, columns, strict=True):
        values = table[column]
        panel.plot(values.index, values.to_numpy(), color=_BLUE, lw=1.1)
        level = whole.get(column)
        if isinstance(level, float) and np.isfinite(level):
            panel.axhline(level, color=_GREY, lw=0.9, ls="--", label=f"whole period {level:.2f}")
            panel.legend(loc="upper left", frameon=False, fontsize=8)
        if column == "sharpe":
            panel.axhline(0.0, color="black", lw=0.6, alpha=0.5)
        if column == "volatility":
            _percent(panel)
        panel.set_ylabel(labels[column])
        panel.grid(alpha=0.3)
    panels[0].set_title(f"Rolling figures over {window} rows (annualised)", loc="left", fontsize=10)
    if ax is None:
        fig.align_ylabels(panels)
        fig.tight_layout()
    return fig


def plot_distribution(report: Report, ax: Axes | None = None, *, figsize: tuple[float, float] = (10, 3.8)) -> Figure:
    """Histograms of the daily returns (95 % VaR and CVaR marked) and of the monthly returns.
    With `ax`, the daily returns only."""
    plt = pyplot()
    returns = report.returns.loc[report.start :].dropna() if len(report.returns) else report.returns
    monthly = report.monthly_returns().drop(columns="year").stack().dropna()
    s = report.stats()
    if ax is None:
        fig, (ax_d, ax_m) = plt.subplots(1, 2, figsize=figsize, gridspec_kw={"width_ratios": [3, 2]})
    else:
        fig, ax_d, ax_m = ax.figure, ax, None
    daily = returns.to_numpy()
    ax_d.hist(daily, bins=min(max(len(daily) // 8, 10), 80), color=_BLUE, alpha=0.75)
    for key, style, name in (("var_95", "--", "VaR 95 %"), ("cvar_95", ":", "CVaR 95 %")):
        value = s.get(key)
        if isinstance(value, float) and np.isfinite(value):
            ax_d.axvline(value, color=_RED, ls=style, lw=1.3, label=f"{name} {value:+.2%}")
    ax_d.axvline(0.0, color="black", lw=0.6, alpha=0.5)
    _percent(ax_d, "x")
    ax_d.set_title(
        f"Daily returns  ·  skew {s.get('skew', np.nan):.2f}  ·  excess kurtosis {s.get('kurtosis', np.nan):.2f}",
        loc="left",
        fontsize=10,
    )
    ax_d.set_ylabel("days")
    ax_d.legend(loc="upper left", frameon=False, fontsize=8)
    ax_d.grid(alpha=0.3)
    if ax_m is not None:
        values = monthly.to_numpy(dtype=float)
        bins = np.linspace(min(values.min(), 0.0), max(values.max(), 0.0), 16) if len(values) else 10
        _, edges, patches = ax_m.hist(values, bins=bins, color=_GREY, alpha=0.85)
        for left, patch in zip(edges[:-1], patches, strict=False):
            patch.set_facecolor(_GREEN if left >= 0 else _RED)
        ax_m.axvline(0.0, color="black", lw=0.6, alpha=0.5)
        _percent(ax_m, "x")
        ax_m.set_title(f"Monthly returns ({len(values)} months)", loc="left", fontsize=10)
        ax_m.set_ylabel("months")
        ax_m.grid(alpha=0.3)
        fig.tight_layout()
    return fig


def plot_drawdowns(
    report: Report, top: int = 5, ax: Axes | None = None, *, figsize: tuple[float, float] = (10, 3.2)
) -> Figure:
    """The underwater curve (equity below its running high) with the `top` deepest drawdown
    periods of `Report.drawdowns` shaded and numbered, from start to recovery (or the end)."""
    plt = pyplot()
    start = report.start
    equity = report.equity.loc[start:] if len(report.equity) else report.equity
    dd = pd.Series(drawdown(equity.to_numpy(dtype=float)), index=equity.index)
    own = ax is None
    if ax is None:
        fig, ax = plt.subplots(figsize=figsize)
    else:
        fig = ax.figure
    ax.fill_between(dd.index, dd.to_numpy(), 0.0, color=_RED, alpha=0.3, lw=0)
    ax.plot(dd.index, dd.to_numpy(), color=_RED, lw=0.8)
    periods = report.drawdowns(top=top)
    last = dd.index[-1] if len(dd) else None
    for rank, row in enumerate(periods.to_dict("records"), start=1):
        end: Any = last if pd.isna(row["recovery"]) else row["recovery"]
        ax.axvspan(row["start"], end, color=_BLUE, alpha=0.10, lw=0)
        ax.annotate(f"{rank}", (row["valley"], row["depth"]), textcoords="offset points", xytext=(0, -10),
                    ha="center", fontsize=8, color=_BLUE)  # fmt: skip
    _percent(ax)
    ax.set_ylabel("drawdown")
    ax.set_title(f"Underwater curve, the {len(periods)} deepest periods shaded", loc="left", fontsize=10)
    ax.grid(alpha=0.3)
    ax.set_ylim(top=0.0)
    if len(dd):
        ax.set_ylim(bottom=min(float(dd.min()) * 1.12, -0.01))
    if own:
        fig.tight_layout()
    return fig


_REASON_COLORS = {
    "rebalance": _GREY,
    "stop_loss": _RED,
    "take_profit": _GREEN,
    "trail_stop": "#e08214",
    "delisted": "#762a83",
    "open": "black",
}


def plot_stock(
    report: Report,
    stock: Any,
    prices: Any,
    ax: Axes | None = None,
    *,
    figsize: tuple[float, float] = (10, 4.5),
) -> Figure:
    """One stock's closing price with its trades: entries (triangles), exits coloured by exit
    reason, and the stop-loss and take-profit levels of each trade over its life (measured from
    the entry fill; a trailing stop moves with the price and is not drawn).

    `prices`: the `zelvor.Market` of the run (its ``close`` is used) or a Series of prices on the
    market's dates.
    """
    plt = pyplot()
    if hasattr(prices, "close"):
        if stock not in prices.close.columns:
            raise ValueError(f"stock: {stock!r} is not a stock of the market")
        series = prices.close[stock]
    elif isinstance(prices, pd.Series):
        series = prices
    else:
        raise TypeError(f"prices must be the run's Market or a Series of prices, got {type(prices).__name__}")
    trades = report.trades[report.trades["stock"] == stock]
    if ax is None:
        fig, ax = plt.subplots(figsize=figsize)
    else:
        fig = ax.figure
    start = report.start
    shown = series.loc[start:] if len(series) else series
    ax.plot(shown.index, shown.to_numpy(dtype=float), color=_BLUE, lw=1.0, label=str(stock))
    stop_loss = report.options.get("stop_loss")
    take_profit = report.options.get("take_profit")
    last: Any = shown.index[-1] if len(shown) else None
    for t in trades.itertuples(index=False):
        side = 1.0 if t.weight >= 0 else -1.0
        until = t.exit_date if not pd.isna(t.exit_date) else last
        if np.isfinite(t.entry_price):
            ax.scatter([t.entry_date], [t.entry_price], marker="^" if side > 0 else "v", s=36, color=_GREEN,
                       edgecolor="black", linewidth=0.4, zorder=3)  # fmt: skip
            for level, colour in ((stop_loss, _RED), (take_profit, _GREEN)):
                if level:
                    sign = -1.0 if colour == _RED else 1.0
                    y = t.entry_price * (1.0 + sign * side * float(level))
                    ax.hlines(y, t.entry_date, until, colors=colour, linestyles="dotted", lw=1.0, alpha=0.8)
        reason = str(t.exit_reason)
        if reason != "open" and np.isfinite(t.exit_price):
            ax.scatter([t.exit_date], [t.exit_price], marker="o", s=30, color=_REASON_COLORS.get(reason, _GREY),
                       edgecolor="black", linewidth=0.4, zorder=3)  # fmt: skip
    from matplotlib.lines import Line2D

    handles = [Line2D([], [], color=_BLUE, lw=1.0, label=f"{stock} close"),
               Line2D([], [], marker="^", ls="", color=_GREEN, markeredgecolor="black", label="entry")]  # fmt: skip
    seen = sorted({str(r) for r in trades["exit_reason"]} - {"open"})
    handles += [Line2D([], [], marker="o", ls="", color=_REASON_COLORS.get(r, _GREY), markeredgecolor="black",
                       label=f"exit: {r.replace('_', ' ')}") for r in seen]  # fmt: skip
    if stop_loss:
        handles.append(Line2D([], [], color=_RED, ls="dotted", label=f"stop-loss level ({float(stop_loss):.0%})"))
    if take_profit:
        handles.append(Line2D([], [], color=_GREEN, ls="dotted", label=f"take-profit level ({float(take_profit):.0%})"))
    ax.legend(handles=handles, loc="upper left", frameon=False, fontsize=8, ncol=2)
    ax.set_title(f"{stock}: {len(trades)} trades", loc="left", fontsize=10)
    ax.set_ylabel("price")
    ax.grid(alpha=0.3)
    return fig


def _label(value: object) -> str:
    # None (an option that is off) comes back from pandas' factorize as NaN.
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "off"
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def heatmap(
    grid: np.ndarray,
    x_values: pd.Index,
    y_values: pd.Index,
    names: tuple[str, str, str, str],
    ax: Axes | None,
) -> Figure:
    """`Sweep.plot_heatmap`'s picture: `grid` (y down, x across; rows and columns for the
    parameter values `y_values` and `x_values`, None for an option that is off) with its values
    in the cells (up to 400 of them); `names` are the x and y axis labels, the title and the
    colour bar's label."""
    plt = pyplot("plot_heatmap")
    x_labels, y_labels = [_label(v) for v in x_values], [_label(v) for v in y_values]
    x, y, title, metric = names
    if ax is None:
        fig, ax = plt.subplots(figsize=(1.0 + 0.9 * len(x_labels), 1.0 + 0.6 * len(y_labels)), layout="constrained")
    else:
        fig = cast("Figure", ax.figure)  # a subfigure's axes draw into their figure too
    image = ax.imshow(np.ma.masked_invalid(grid), cmap="viridis", aspect="auto", origin="lower")
    ax.set_xticks(range(len(x_labels)), x_labels)
    ax.set_yticks(range(len(y_labels)), y_labels)
    ax.set_xlabel(x)
    ax.set_ylabel(y)
    ax.set_title(title)
    if grid.size <= 400:
        finite = grid[np.isfinite(grid)]
        middle = (finite.min() + finite.max()) / 2 if finite.size else 0.0
        annotate_cells(ax, grid, ".3g", fontsize=8, dark=lambda v: v <= middle)
    fig.colorbar(image, ax=ax, label=metric)
    return fig
