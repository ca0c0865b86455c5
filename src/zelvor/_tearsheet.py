"""The figures and tables a `Report` adds to its statistics: benchmark side by side, drawdown
periods, rolling figures.

The arithmetic lives in `zelvor._figures`; this module finds the report's active period, calls
it and labels the result.
"""

from __future__ import annotations

import math
import numbers
import warnings
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from zelvor import _figures
from zelvor._dates import as_ns

if TYPE_CHECKING:
    from zelvor.report import Report

__all__ = ["compare_frame", "drawdown_table", "extra_stats", "rolling_table"]


def _first_row(report: Report) -> int:
    index = report.equity.index
    return int(index.searchsorted(report.start)) if len(index) else 0


def _active(series: pd.Series, report: Report) -> pd.Series:
    return series.iloc[_first_row(report) :]


def _closed_trades(report: Report) -> pd.DataFrame:
    t = report.trades
    return t[t["exit_reason"] != "open"]


def extra_stats(report: Report, risk_free: float, periods_per_year: int) -> dict[str, float]:
    """The figures `Report.stats()` adds to the sweep's: trade figures, then return figures."""
    closed = _closed_trades(report)
    out = _figures.trade_figures(closed["pnl"].to_numpy(dtype=float), closed["return"].to_numpy(dtype=float))
    equity = _active(report.equity, report)
    figures = _figures.return_figures(equity.to_numpy(dtype=float), as_ns(pd.DatetimeIndex(equity.index)),
                                      risk_free, periods_per_year)  # fmt: skip
    out.update({k: figures[k] for k in _figures.RETURN_KEYS})
    return out


def benchmark_stats(report: Report, risk_free: float, periods_per_year: int) -> dict[str, float]:
    bench = report.benchmark
    if bench is None:
        raise ValueError("compare=True needs a run with a benchmark: pass benchmark= to zelvor.backtest")
    active = _active(bench, report)
    return _figures.return_figures(
        active.to_numpy(dtype=float), as_ns(pd.DatetimeIndex(active.index)), risk_free, periods_per_year
    )


def compare_frame(report: Report, values: dict[str, Any], risk_free: float, periods_per_year: int) -> pd.DataFrame:
    """The strategy's figures beside the benchmark's (the benchmark's start and end are the run's;
    figures of trades, costs and exposure have no benchmark value)."""
    bench: dict[str, Any] = {**benchmark_stats(report, risk_free, periods_per_year)}
    bench.update(start=values.get("start"), end=values.get("end"))
    name = str(report.benchmark.name) if report.benchmark is not None else "benchmark"
    column = [bench.get(k, math.nan) for k in values]
    frame = pd.DataFrame({"strategy": pd.Series(list(values.values()), dtype=object),
                          "benchmark": pd.Series(column, dtype=object)})  # fmt: skip
    frame.index = pd.Index(list(values), name="figure")
    frame.attrs["benchmark_name"] = name
    return frame


def drawdown_table(report: Report, top: int | None) -> pd.DataFrame:
    """`Report.drawdowns`: the `top` deepest drawdown periods of the active period."""
    if top is not None and (isinstance(top, bool) or not isinstance(top, numbers.Integral)):
        raise TypeError(f"top must be a whole number or None, got {type(top).__name__}")
    if top is not None and top < 1:
        raise ValueError(f"top must be at least 1 (None: every period), got {top}")
    equity = _active(report.equity, report)
    dates = pd.DatetimeIndex(equity.index)
    p = _figures.drawdown_periods(equity.to_numpy(dtype=float), as_ns(dates))
    order = np.argsort(p["depth"], kind="stable")[: None if top is None else int(top)]
    recovery = p["recovery"][order]
    frame = pd.DataFrame(
        {
            "start": dates[p["start"][order]],
            "valley": dates[p["valley"][order]],
            "recovery": dates[np.maximum(recovery, 0)].where(recovery >= 0),
            "depth": p["depth"][order],
            "rows": p["rows"][order],
            "days": p["days"][order],
        }
    )
    frame.index.name = "rank"
    return frame


def rolling_table(report: Report, window: int, risk_free: float, periods_per_year: int) -> pd.DataFrame:
    """`Report.rolling`: figures over the trailing `window` returns at each active row."""
    if isinstance(window, bool) or not isinstance(window, numbers.Integral):
        raise TypeError(f"window must be a whole number of rows, got {type(window).__name__}")
    if window < 2:
        raise ValueError(f"window must be at least 2 rows (a standard deviation needs two returns), got {window}")
    equity = _active(report.equity, report)
    if window > len(equity) - 1:
        warnings.warn(
            f"window={window} is longer than the {max(len(equity) - 1, 0)} returns of the run: every value is NaN;"
            " a shorter window (e.g. 21 or 63 rows) was probably meant",
            UserWarning,
            stacklevel=3,
        )
    e = equity.to_numpy(dtype=float)
    r = e[1:] / e[:-1] - 1.0 if len(e) >= 2 else np.empty(0)
    b = None
    if report.benchmark is not None:
        bp = _active(report.benchmark, report).to_numpy(dtype=float)
        with np.errstate(invalid="ignore", divide="ignore"):
            b = bp[1:] / bp[:-1] - 1.0 if len(bp) >= 2 else np.empty(0)
    figures = _figures.rolling_figures(r, int(window), b, risk_free, periods_per_year)
    return pd.DataFrame(figures, index=pd.DatetimeIndex(equity.index[1:], name="date"))
