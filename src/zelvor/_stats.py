"""The statistics of a run: the one table of figures, and the figures of one run computed by the
numeric core.

`STATISTICS` lists every figure `Report.stats` gives, in its order, with its label, unit, which
way is better and a one-line description; the sweep's table columns, the HTML labels and the
statistics page of the documentation are made from it. The figures of one run (``source``
"run") are computed by the numeric core (`zelvor.core.trevane._stats`, or inside the run itself
for a sweep row) without the interpreter lock; the report's further figures ("report") by
`zelvor._figures`.
"""

from __future__ import annotations

from functools import lru_cache
from typing import Any, Literal, NamedTuple

import numpy as np
import pandas as pd

__all__ = [
    "RUN_KEYS",
    "STATISTICS",
    "Statistic",
    "compute_stats",
    "drawdown",
    "period",
    "series_figures",
    "stats_series",
]


class Statistic(NamedTuple):
    """One figure of `Report.stats`."""

    name: str
    label: str
    # "fraction": of 1 (shown as a percentage); "count": a whole number (of trades, of rows).
    unit: Literal["fraction", "ratio", "count", "rows", "days", "money", "date"]
    # True: the largest value is the best (what a sweep's best row maximises); False: the smallest;
    # None: neither (a date, a count of trades, a beta).
    higher_is_better: bool | None
    # "period": the dates covered; "run": computed per run (sweep rows have them); "report": added
    # by Report.stats only; "sweep": added by the sweep's table only.
    source: Literal["period", "run", "report", "sweep"]
    doc: str


_S = Statistic
STATISTICS: tuple[Statistic, ...] = (
    _S("start", "Start", "date", None, "period", "first simulated date"),
    _S("end", "End", "date", None, "period", "last market date"),
    _S("total_return", "Total return", "fraction", True, "run", "final equity - 1"),
    _S("cagr", "CAGR", "fraction", True, "run", "growth compounded to 365.25 calendar days"),
    _S("annual_volatility", "Volatility (annual)", "fraction", False, "run",
       "sample deviation of the excess returns x sqrt(periods_per_year)"),
    _S("sharpe", "Sharpe", "ratio", True, "run", "mean excess return / its deviation, annualised"),
    _S("sortino", "Sortino", "ratio", True, "run", "mean excess return / downside deviation, annualised"),
    _S("psr", "Probabilistic Sharpe", "ratio", True, "run", "probability that the true Sharpe ratio is above 0"),
    _S("min_track_record", "Minimum track record (rows)", "rows", False, "run",
       "rows of returns the Sharpe ratio needs for a psr of 0.95"),
    _S("max_drawdown", "Max drawdown", "fraction", True, "run", "lowest equity / running maximum - 1"),
    _S("calmar", "Calmar", "ratio", True, "run", "cagr / -max_drawdown"),
    _S("max_drawdown_duration", "Longest drawdown (rows)", "count", False, "run",
       "longest stretch of rows below a previous peak"),
    _S("max_drawdown_days", "Longest drawdown (days)", "days", False, "run",
       "longest calendar time from a peak back to it"),
    _S("trades", "Trades", "count", None, "run", "all trades, open ones included"),
    _S("win_rate", "Win rate", "fraction", True, "run", "wins / (wins + losses) of the closed trades"),
    _S("profit_factor", "Profit factor", "ratio", True, "run", "pnl of the wins / -pnl of the losses"),
    _S("avg_win", "Average win", "fraction", True, "run", "mean return of the winning trades"),
    _S("avg_loss", "Average loss", "fraction", True, "run", "mean return of the losing trades"),
    _S("avg_holding_rows", "Average holding (rows)", "rows", None, "run", "mean rows held by closed trades"),
    _S("avg_holding_days", "Average holding (days)", "days", None, "run", "mean calendar days held by closed trades"),
    _S("exposure", "Exposure", "fraction", None, "run", "share of active rows with a trade open"),
    _S("turnover", "Turnover (per year)", "ratio", False, "run", "money traded / 2 / mean equity, per year"),
    _S("fees", "Fees", "money", False, "run", "fees paid"),
    _S("taxes", "Taxes", "money", False, "run", "taxes paid"),
    _S("alpha", "Alpha (annual)", "fraction", True, "run",
       "mean excess return - beta x the benchmark's, annualised (with a benchmark)"),
    _S("beta", "Beta", "ratio", None, "run", "covariance with the benchmark / its variance (with a benchmark)"),
    _S("best_trade", "Best trade", "fraction", True, "report", "highest return of a closed trade"),
    _S("worst_trade", "Worst trade", "fraction", True, "report", "lowest return of a closed trade"),
    _S("expectancy", "Expectancy (per trade)", "fraction", True, "report", "mean return of the closed trades"),
    _S("sqn", "SQN", "ratio", True, "report", "sqrt(n) x mean pnl / its deviation"),
    _S("kelly", "Kelly fraction", "ratio", True, "report", "W - (1 - W) / R over the trade returns"),
    _S("avg_drawdown", "Average drawdown", "fraction", True, "report", "mean depth of the drawdown periods"),
    _S("skew", "Skew", "ratio", True, "report", "bias-corrected skewness of the returns"),
    _S("kurtosis", "Excess kurtosis", "ratio", False, "report", "bias-corrected excess kurtosis of the returns"),
    _S("var_95", "Daily VaR (95 %)", "fraction", True, "report", "5th percentile of the returns"),
    _S("cvar_95", "Daily CVaR (95 %)", "fraction", True, "report", "mean of the lowest 5 % of the returns"),
    _S("omega", "Omega", "ratio", True, "report", "gains over losses of the returns"),
    _S("tail_ratio", "Tail ratio", "ratio", True, "report", "|95th percentile| / |5th percentile|"),
    _S("stability", "Stability (R²)", "ratio", True, "report", "R squared of a line through log equity"),
    _S("dsr", "Deflated Sharpe", "ratio", True, "sweep", "psr against the best Sharpe ratio of the sweep's luck"),
)  # fmt: skip

RUN_KEYS = tuple(s.name for s in STATISTICS if s.source == "run")
"""The figures of one run, in order: what the numeric core gives (alpha and beta only with a benchmark)."""

# Relative size below which a drawdown is rounding residue, not a figure: 64 units of rounding
# (about 1.4e-14) of the magnitude involved, as the numeric core's statistics take it.
_ROUNDING = 64 * float(np.finfo(np.float64).eps)


def drawdown(equity: np.ndarray) -> np.ndarray:
    """Equity over its running maximum, minus 1; a dip within rounding of the peak is 0.

    The one drawdown rule of the package: the numeric core's statistics apply the same, and the
    drawdown periods, plots and walk-forward and bootstrap figures are made from this. `equity`
    is a float array of values along its first axis (a 2-D array holds one series per column);
    the result is a new array of its shape, <= 0 where `equity` is finite and positive. A dip of
    at most 64 units of rounding (about 1.4e-14) below the peak is no drawdown.

    Examples
    --------
    >>> drawdown(np.array([1.0, 1.2, 0.9, 1.2 * (1 - 1e-16), 1.5])).round(3).tolist()
    [0.0, 0.0, -0.25, 0.0, 0.0]
    """
    equity = np.asarray(equity, dtype=np.float64)
    dd = equity / np.maximum.accumulate(equity, axis=0) - 1.0
    dd[(dd < 0.0) & (dd >= -_ROUNDING)] = 0.0
    return dd


@lru_cache(maxsize=256)
def _timestamp(ns: int, tz: Any) -> pd.Timestamp:
    stamp = pd.Timestamp(ns, unit="ns")
    return stamp.tz_localize("UTC").tz_convert(tz) if tz is not None else stamp


def period(dates: np.ndarray, start_row: int, tz: Any = None) -> dict[str, Any]:
    """``start`` and ``end`` of a run over `dates` (int64 nanoseconds, UTC when `tz` is given) from
    `start_row`, as Timestamps; NaT without dates."""
    if not len(dates):
        return {"start": pd.NaT, "end": pd.NaT}
    return {"start": _timestamp(int(dates[start_row]), tz), "end": _timestamp(int(dates[-1]), tz)}


def request(
    dates: np.ndarray,
    start_row: int,
    benchmark: np.ndarray | None,
    risk_free: float,
    periods_per_year: float,
    moments: bool = False,
    returns: str | None = None,
) -> tuple:
    """The ``stats`` argument of `trevane._run_native`: the run's figures computed in the run.

    With `moments`, the result also has ``moments``: (n, per-period Sharpe ratio, skewness,
    kurtosis) of the daily returns after `start_row`, as `zelvor._sharpe.sharpe_moments` gives
    them; with `returns` ("float64" or "float32"), ``returns``: the daily returns of every row in
    that type, NaN up to `start_row`."""
    if moments or returns is not None:
        return (start_row, risk_free, periods_per_year, benchmark, dates, moments, returns)
    return (start_row, risk_free, periods_per_year, benchmark, dates)


def compute_stats(
    equity: np.ndarray,
    dates: np.ndarray,
    start_row: int,
    trades: dict[str, np.ndarray],
    fills: dict[str, np.ndarray],
    benchmark: np.ndarray | None = None,
    risk_free: float = 0.0,
    periods_per_year: float = 252,
    tz: Any = None,
) -> dict[str, Any]:
    """The figures of `Report.stats` from the raw arrays, after ``start`` and ``end`` (the
    period, as Timestamps; NaT without dates). See `Report.stats` for the conventions.

    `dates` are the market's dates as int64 nanoseconds (UTC when `tz` is given); `trades` holds
    ``pnl``, ``basis`` (float64), ``entry_row`` and ``exit_row`` (integers, -1 while open), `fills`
    ``value_before``, ``value_after``, ``fee`` and ``tax`` (float64). Computed by the numeric
    core without the interpreter lock; every sum is NumPy's pairwise order, so the figures do
    not depend on the thread count. Never raises on odd values: a figure that cannot be formed
    is NaN, one that passes the largest float (the CAGR of a very short period) is inf. Arrays
    that do not agree with each other are a ValueError.
    """
    from zelvor.core import trevane

    out = period(dates, start_row, tz)
    out.update(
        trevane._stats(
            equity, dates, start_row, trades["pnl"], trades["basis"], _rows(trades["entry_row"]),
            _rows(trades["exit_row"]),
            fills["value_before"], fills["value_after"], fills["fee"], fills["tax"], benchmark, risk_free,
            periods_per_year,
        )
    )  # fmt: skip
    return out


def _rows(rows: np.ndarray) -> np.ndarray:
    """Row numbers as the int64 the native statistics read (a report keeps them as int32)."""
    return rows.astype(np.int64, copy=False)


_NO_TRADES = {
    "pnl": np.empty(0),
    "basis": np.empty(0),
    "entry_row": np.empty(0, np.int64),
    "exit_row": np.empty(0, np.int64),
}
_NO_FILLS = {"value_before": np.empty(0), "value_after": np.empty(0), "fee": np.empty(0), "tax": np.empty(0)}


def series_figures(
    values: np.ndarray, dates: np.ndarray, risk_free: float = 0.0, periods_per_year: float = 252
) -> dict[str, Any]:
    """The figures of `compute_stats` for a value series alone (no trades, no fills) from its first row."""
    values = np.ascontiguousarray(values, dtype=np.float64)
    dates = np.ascontiguousarray(dates, dtype=np.int64)
    return compute_stats(values, dates, 0, _NO_TRADES, _NO_FILLS, None, risk_free, periods_per_year)


def stats_series(values: dict[str, Any]) -> pd.Series:
    """The figures of `compute_stats` as `Report.stats` gives them: a float Series, no period."""
    return pd.Series({k: v for k, v in values.items() if k not in ("start", "end")}, dtype=np.float64, name="stats")
