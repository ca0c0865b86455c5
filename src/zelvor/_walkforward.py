"""Walk-forward analysis: choose the best parameter set on each training window, trade it on the
window that follows, and join those out-of-sample windows into one track record.

Each training window is swept on a `Market` cut to the window's rows (and a weights frame cut
likewise), so nothing computed for it can see a price after its end. Each test run uses the
market up to the test window's end only.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from zelvor._render.plots import figure_axes
from zelvor._stats import drawdown

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from zelvor.market import Market

__all__ = ["METRICS", "WalkForward", "walk_forward"]

# The figures a test window's returns alone determine; the smallest value wins for volatility.
METRICS = ("sharpe", "sortino", "cagr", "total_return", "calmar", "max_drawdown", "annual_volatility", "psr")
_LOWER_IS_BETTER = ("annual_volatility",)
_SPAN = re.compile(r"^\s*(\d+)\s*([DWMY])\s*$", re.IGNORECASE)


def _window_length(value: Any, name: str) -> pd.DateOffset | int:
    """A window length: "3Y", "6M", "4W", "90D" (calendar) or an int of rows."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a length such as '3Y', '6M', '4W', '90D' or an int of rows, got {value!r}")
    if isinstance(value, int | np.integer):
        if value < 2:
            raise ValueError(f"{name} must be at least 2 rows, got {value}")
        return int(value)
    if isinstance(value, str):
        match = _SPAN.match(value)
        if match is None or int(match.group(1)) < 1:
            raise ValueError(f"{name} must look like '3Y', '6M', '4W' or '90D' (or be an int of rows), got {value!r}")
        count, unit = int(match.group(1)), match.group(2).upper()
        if unit == "D":
            return pd.DateOffset(days=count)
        if unit == "W":
            return pd.DateOffset(weeks=count)
        return pd.DateOffset(months=count) if unit == "M" else pd.DateOffset(years=count)
    if isinstance(value, pd.DateOffset):
        return value
    raise TypeError(f"{name} must be a length such as '3Y', '6M' or an int of rows, got {type(value).__name__}")


def _folds(dates: pd.DatetimeIndex, train: Any, test: Any, anchored: bool) -> list[tuple[int, int, int, int]]:
    """(train start, train end, test start, test end) rows, ends exclusive; test start = train end.

    Calendar lengths count from the first date: the k-th test window starts at first date +
    train + k x test, the training window before it ends there and begins at the first date
    (anchored) or `train` earlier. The last test window may be shorter (the data end).
    """
    n = len(dates)
    folds = []
    if isinstance(train, int) and isinstance(test, int):
        k = 0
        while True:
            test_start = train + k * test
            if test_start >= n:
                break
            folds.append((0 if anchored else test_start - train, test_start, test_start, min(n, test_start + test)))
            k += 1
        return folds
    if isinstance(train, int) or isinstance(test, int):
        raise ValueError("train and test must both be calendar lengths ('3Y', '6M') or both ints of rows")
    first = dates[0]
    k = 0
    while True:
        boundary = first + train
        for _ in range(k):
            boundary = boundary + test
        start = first if anchored else boundary - train
        end = boundary + test
        rows = dates.searchsorted([start, boundary, end])
        test_start, test_end = int(rows[1]), int(rows[2])
        if test_start >= n:
            break
        folds.append((int(rows[0]), test_start, test_start, test_end))
        k += 1
    return folds


def _window_market(market: Market, start: int, end: int) -> Market:
    """The market's rows start..end-1 as a Market of its own (views of the price matrices)."""
    import zelvor

    frames = market.parts().frames
    close = frames["close"].iloc[start:end]
    others = {
        name: None if frames[name] is frames["close"] else frames[name].iloc[start:end]
        for name in ("open", "high", "low")
    }
    return zelvor.Market(close, **others)


def _window_weights(weights: Any, first: pd.Timestamp, last: pd.Timestamp) -> Any:
    """A weights frame's rows dated within [first, last]; a callable as it is."""
    if isinstance(weights, pd.DataFrame):
        index = weights.index
        return weights[(index >= first) & (index <= last)]
    return weights


def _figures(returns: np.ndarray, days: float, periods_per_year: int = 252) -> dict[str, float]:
    """The return figures of `Report.stats` for a window's returns (`days`: its calendar span)."""
    from zelvor._sharpe import probabilistic_sharpe_ratio, sharpe_moments

    r = returns[np.isfinite(returns)]
    equity = np.cumprod(1.0 + r)
    final = float(equity[-1]) if len(r) else 1.0
    out = {"total_return": final - 1.0}
    out["cagr"] = final ** (365.25 / days) - 1.0 if days > 0 and final > 0 else math.nan
    n, sr, skew, kurt = sharpe_moments(r)
    out["sharpe"] = sr * math.sqrt(periods_per_year)
    out["annual_volatility"] = float(np.std(r, ddof=1)) * math.sqrt(periods_per_year) if n >= 2 else math.nan
    downside = math.sqrt(float(np.mean(np.minimum(r, 0.0) ** 2))) if n else 0.0
    out["sortino"] = float(np.mean(r)) / downside * math.sqrt(periods_per_year) if downside > 0 else math.nan
    out["max_drawdown"] = float(np.min(drawdown(np.r_[1.0, equity])))
    out["calmar"] = out["cagr"] / -out["max_drawdown"] if out["max_drawdown"] < 0 else math.nan
    out["psr"] = probabilistic_sharpe_ratio(sr, n, skew, kurt)
    return out


@dataclass(eq=False)
class WalkForward:
    """The result of `zelvor.walk_forward`.

    Attributes
    ----------
    returns : Series
        The stitched out-of-sample daily returns: each test window's returns of the set chosen on
        the training window before it, over the test windows' dates.
    equity : Series
        Their compounded value, starting from 1.0 the day before the first test window.
    folds : DataFrame
        One row per fold: ``train_start``, ``train_end``, ``test_start``, ``test_end`` (first and
        last dates of each window), ``params`` (the chosen set), one column per parameter,
        ``is_<metric>`` (the chosen set's figure on its training window) and ``oos_<metric>``
        (on its test window), ``sets_failed`` (of the training sweep).
    reports : list of Report
        Per fold, the chosen set's run over the market up to its test window's end.
    metric : str
    """

    returns: pd.Series
    folds: pd.DataFrame
    metric: str
    reports: list[Any] = field(repr=False)
    anchored: bool = False

    @property
    def equity(self) -> pd.Series:
        """The stitched returns compounded (1.0 before the first test window)."""
        return (1.0 + self.returns.fillna(0.0)).cumprod().rename("equity")

    @property
    def drawdown(self) -> pd.Series:
        """`equity` over its running maximum (from 1.0), minus 1."""
        e = self.equity
        values = drawdown(np.r_[1.0, e.to_numpy()])[1:]
        return pd.Series(values, index=e.index, name="drawdown")

    @property
    def efficiency(self) -> float:
        """Walk-forward efficiency: the mean out-of-sample figure over the mean in-sample one
        (both annualised). Near 1: the chosen sets did out of sample what they promised in
        sample; near 0 or negative: the choice did not carry over."""
        ins = self.folds[f"is_{self.metric}"].to_numpy(dtype=float)
        outs = self.folds[f"oos_{self.metric}"].to_numpy(dtype=float)
        ok = np.isfinite(ins) & np.isfinite(outs)
        mean_in = float(np.mean(ins[ok])) if ok.any() else math.nan
        return float(np.mean(outs[ok])) / mean_in if ok.any() and mean_in != 0 else math.nan

    def stats(self, periods_per_year: int = 252) -> pd.Series:
        """The return figures of the stitched track record: total_return, cagr, sharpe,
        annual_volatility, sortino, max_drawdown, calmar, psr (as in `Report.stats`), and
        ``efficiency``."""
        r = self.returns.to_numpy(dtype=np.float64)
        dates = self.returns.index
        # The record starts at the close before the first test day (the previous training day).
        start = self.folds["train_end"].iloc[0] if len(self.folds) else dates[0]
        days = (dates[-1] - start) / pd.Timedelta(days=1) if len(dates) else 0.0
        figures = _figures(r, float(days), periods_per_year)
        order = [*METRICS[:-1], "psr"]
        series = pd.Series({name: figures[name] for name in order}, dtype=np.float64, name="walk_forward")
        series["efficiency"] = self.efficiency
        return series

    def plot(self, ax: Sequence[Axes] | None = None) -> Figure:
        """The stitched equity (fold boundaries marked) above the in-sample and out-of-sample
        figure of each fold. `ax`: two Axes to draw into. Needs matplotlib."""
        fig, (top, bottom) = figure_axes("WalkForward.plot", ax, 2, 1, "equity, folds", figsize=(10, 6),
                                         layout="constrained", height_ratios=[2, 1])  # fmt: skip
        top.plot(self.equity.index, self.equity.to_numpy(), color="#4c72b0", lw=1.2)
        for start in self.folds["test_start"].iloc[1:]:
            top.axvline(start, color="0.7", lw=0.8, ls="--")
        top.set_ylabel("out-of-sample equity")
        top.set_title(f"walk-forward by {self.metric}: {len(self.folds)} folds, efficiency {self.efficiency:.2f}")
        x = np.arange(len(self.folds))
        bottom.bar(x - 0.2, self.folds[f"is_{self.metric}"], width=0.4, label="in sample", color="#8da0cb")
        bottom.bar(x + 0.2, self.folds[f"oos_{self.metric}"], width=0.4, label="out of sample", color="#fc8d62")
        bottom.axhline(0.0, color="0.5", lw=0.8)
        bottom.set_xticks(x, [str(d.date()) for d in self.folds["test_start"]], rotation=30, fontsize=8)
        bottom.set_ylabel(self.metric)
        bottom.legend(fontsize=8)
        return fig

    def __repr__(self) -> str:
        if not len(self.returns):
            return "WalkForward(no folds)"
        s = self.stats()
        return (
            f"WalkForward({len(self.folds)} folds, {self.returns.index[0].date()} .. {self.returns.index[-1].date()}: "
            f"CAGR {s['cagr']:+.2%}, Sharpe {s['sharpe']:.2f}, max drawdown {s['max_drawdown']:.2%}, "
            f"efficiency {s['efficiency']:.2f})"
        )


def walk_forward(
    weights: Any,
    market: Market,
    grid: Mapping[str, Iterable[Any]] | Sequence[Mapping[str, Any]],
    train: str | int = "3Y",
    test: str | int = "6M",
    anchored: bool = False,
    metric: str = "sharpe",
    *,
    backend: str = "serial",
    n_jobs: int = -1,
    **fixed: Any,
) -> WalkForward:
    """Walk-forward analysis of a parameter grid: the out-of-sample record of choosing the best set.

    The dates are cut into folds: a training window of length `train`, then a test window of
    length `test` right after it; the next fold's test window follows, its training window
    moved forward by `test` (or, with `anchored`, still starting at the first date). On each
    training window the grid is swept (`zelvor.sweep`, with `backend` and `n_jobs`) on a
    `Market` cut to that window's rows, with a weights frame cut likewise or the weights callable
    called on that cut market, so no choice can see a price after the window's end; the set
    with the best `metric` there (failed sets skipped, ties to the first in grid order) is
    then run on the market up to the test window's end, and its returns over the test window
    are kept. The test windows joined give one out-of-sample track record.

    At a fold boundary the newly chosen set takes over with the holdings its own run had at the
    close before the test window, as if it had traded all along: the switch from the previous
    fold's set books no trade and no cost. A grid of one set therefore gives the plain
    backtest's returns over the test windows.

    Parameters
    ----------
    weights : callable or DataFrame
        As for `zelvor.sweep`: a callable ``weights(market, **params)`` or a weights frame.
    market : Market
    grid : dict of lists or list of dicts
        The parameter sets, as for `zelvor.sweep`.
    train, test : str or int
        Window lengths: "3Y", "6M", "4W", "90D" (calendar, counted from the first date) or ints
        (rows). Defaults: 3 years of training, 6 months of test.
    anchored : bool
        Every training window starts at the first date (growing) instead of rolling.
    metric : str
        The figure the best set is chosen by and the folds report: one of "sharpe", "sortino",
        "cagr", "total_return", "calmar", "max_drawdown", "annual_volatility" (smallest wins),
        "psr". Annualised as in `Report.stats`.
    backend, n_jobs : as for `zelvor.sweep` (default "serial": each training sweep is small).
    **fixed : options of `zelvor.backtest` or parameters of `weights` that every run gets.

    Returns
    -------
    WalkForward
        ``.returns``, ``.equity``, ``.folds``, ``.efficiency``, ``.stats()``, ``.plot()``.

    Examples
    --------
    >>> wf = zelvor.walk_forward(momentum, market, {"lookback": [20, 60, 120]}, train="2Y", test="6M")
    >>> wf.folds[["test_start", "lookback", "is_sharpe", "oos_sharpe"]]  # doctest: +SKIP
    >>> wf.stats()["sharpe"], wf.efficiency  # doctest: +SKIP
    """
    import zelvor
    from zelvor.sweeps import _grid, _worker

    if not isinstance(market, zelvor.Market):
        raise TypeError(f"market must be a zelvor.Market, got {type(market).__name__}")
    if not isinstance(metric, str) or metric not in METRICS:
        raise ValueError(f"metric must be one of {', '.join(map(repr, METRICS))}, got {metric!r}")
    if not isinstance(anchored, bool | np.bool_):
        raise TypeError(f"anchored must be True or False, got {type(anchored).__name__}")
    train_len = _window_length(train, "train")
    test_len = _window_length(test, "test")
    keys, sets = _grid._expand_grid(grid)
    folds = _folds(market.dates, train_len, test_len, bool(anchored))
    if not folds:
        raise ValueError(
            f"no fold fits: the market's {len(market.dates)} dates ({market.dates[0].date()} .. "
            f"{market.dates[-1].date()}) end before the first training window of {train!r} does"
        )
    short = [f for f in folds if f[1] - f[0] < 2]
    if short:
        raise ValueError(f"train={train!r} gives a training window of fewer than 2 rows")
    option_names = frozenset(_grid._backtest_option_names())
    minimize = metric in _LOWER_IS_BETTER
    dates = market.dates

    rows: list[dict[str, Any]] = []
    pieces: list[pd.Series] = []
    reports: list[Any] = []
    for train_start, train_end, test_start, test_end in folds:
        window = _window_market(market, train_start, train_end)
        swept = zelvor.sweep(
            _window_weights(weights, dates[train_start], dates[train_end - 1]),
            window,
            sets,
            n_jobs=n_jobs,
            backend=backend,  # type: ignore[arg-type]
            progress=False,
            returns=None,
            **fixed,
        )
        table = swept.table
        failed = int((table["error"] != "").sum())
        if metric not in table.columns:
            raise ValueError(
                f"every set failed on the training window ending {dates[train_end - 1].date()}: "
                f"{table['error'].iloc[0]}"
            )
        values = table[metric].to_numpy(dtype=np.float64)
        valid = np.flatnonzero((table["error"] == "").to_numpy() & np.isfinite(values))
        if not len(valid):
            raise ValueError(
                f"no set has a {metric} on the training window {dates[train_start].date()} .. "
                f"{dates[train_end - 1].date()}"
            )
        best = int(valid[np.argmin(values[valid]) if minimize else np.argmax(values[valid])])
        params = dict(sets[best])

        # The chosen set on the market up to the test window's end.
        history = _window_market(market, 0, test_end)
        window_weights = _window_weights(weights, dates[0], dates[test_end - 1])
        report = _worker._WorkerState(history, window_weights, fixed, option_names).report(params)
        piece = report.returns.iloc[test_start:test_end]  # 0 on days before the set's first trade
        days = (dates[test_end - 1] - dates[test_start - 1]) / pd.Timedelta(days=1) if test_start > 0 else 0.0
        outside = _figures(piece.to_numpy(dtype=np.float64), float(days))[metric]
        rows.append(
            {
                "train_start": dates[train_start],
                "train_end": dates[train_end - 1],
                "test_start": dates[test_start],
                "test_end": dates[test_end - 1],
                "params": params,
                **{key: params.get(key) for key in keys},
                f"is_{metric}": float(values[best]),
                f"oos_{metric}": outside,
                "sets_failed": failed,
            }
        )
        pieces.append(piece)
        reports.append(report)
    returns = pd.concat(pieces).rename("returns")
    return WalkForward(
        returns=returns, folds=pd.DataFrame(rows), metric=metric, reports=reports, anchored=bool(anchored)
    )
