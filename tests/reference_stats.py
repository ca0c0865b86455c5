"""The run statistics as the layer computed them in NumPy before the native core took them over.

The reference of the differential test in test_native_stats.py: the native figures must equal
these bit for bit. Plain NumPy and Python floats, every sum NumPy's pairwise `add.reduce`. The
Sharpe ratio's moments and the CAGR are the layer's own plain-Python functions (`sharpe_moments`,
whose skewness and kurtosis are IEEE quotients, inf or NaN, on extreme returns; `annual_growth`):
they run no native code, so the core stays checked against an independent formulation. One change
from the NumPy code this was: the holding period's nanoseconds are summed as Python ints, where an
int64 sum wrapped past 2**63 (about 290 years of holding in all). The period (``start``, ``end``)
is left out: the layer adds it.
"""

from __future__ import annotations

import math
from statistics import NormalDist
from typing import Any

import numpy as np

# Plain Python and NumPy, no native code: what these figures check is the numeric core's.
from zelvor._figures import annual_growth
from zelvor._sharpe import sharpe_moments

_ROUNDING = 64 * float(np.finfo(np.float64).eps)
_DAY_NS = 86_400e9
_NORMAL = NormalDist()
TRADE_COLUMNS = ("pnl", "basis", "entry_row", "exit_row")
FILL_COLUMNS = ("value_before", "value_after", "fee", "tax")


def track_record_figures(excess: np.ndarray) -> dict[str, float]:
    n, sr, skew, kurt = sharpe_moments(excess)
    var = 1.0 - skew * sr + (kurt - 1.0) / 4.0 * sr * sr
    with np.errstate(all="ignore"):
        z = (sr - 0.0) * math.sqrt(n - 1) / np.sqrt(np.float64(var)) if var > 0 and n > 1 else math.nan
        rows = 1.0 + var * np.float64(_NORMAL.inv_cdf(0.95) / np.float64(sr - 0.0)) ** 2 if sr > 0.0 else math.inf
    if math.isnan(sr) or math.isnan(var):
        rows = math.nan
    return {"psr": _NORMAL.cdf(float(z)), "min_track_record": float(rows) if math.isfinite(rows) else math.nan}


def _drawdown(equity: np.ndarray) -> np.ndarray:
    """Equity over its running maximum, minus 1; a dip within rounding of the peak is 0."""
    dd = equity / np.maximum.accumulate(equity) - 1.0
    dd[(dd < 0.0) & (dd >= -_ROUNDING)] = 0.0
    return dd


def _underwater_spans(under: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(first row, row after the last) of each run of consecutive True values of `under`."""
    padded = np.zeros(len(under) + 2, dtype=bool)
    padded[1:-1] = under
    edges = np.flatnonzero(padded[1:] != padded[:-1])
    return edges[::2], edges[1::2]


def _is_flat(lo: float, hi: float) -> bool:
    """True when values from `lo` to `hi` spread no wider than rounding of their magnitude."""
    return hi - lo <= _ROUNDING * max(1.0, abs(lo), abs(hi))


def _spread(values: np.ndarray) -> tuple[float, float]:
    return float(np.minimum.reduce(values)), float(np.maximum.reduce(values))


def _sum(values: np.ndarray) -> float:
    # Pairwise summation in a fixed order: no BLAS, so the result is the same whatever the
    # thread count (a threaded dot product is not).
    return float(np.add.reduce(values))


def compute_stats(equity, dates, start_row, trades, fills, benchmark, risk_free, periods_per_year) -> dict[str, Any]:
    """The figures of `Report.stats` but the period, from the arguments of the layer's
    `compute_stats` but its time zone, every one given (the defaults are the layer's to state).
    Never raises on odd values: a figure that cannot be formed is NaN, one that passes the largest
    float (the CAGR of a very short period) is inf.
    """
    n = len(equity)
    out: dict[str, Any] = {}
    active = equity[start_row:]
    n_active = len(active)
    ppy = periods_per_year
    days = (int(dates[-1]) - int(dates[start_row])) / _DAY_NS if n else 0.0
    final = float(active[-1]) if n_active else 1.0
    out["total_return"] = final - 1.0
    out["cagr"] = cagr = annual_growth(final, days)

    excess = active[1:] / active[:-1] - 1.0
    if risk_free:
        excess -= risk_free / ppy
    root = math.sqrt(ppy)
    m = len(excess)
    flat = True
    total = 0.0
    if m >= 2:
        total = _sum(excess)
        mean = total / m
        lo, hi = _spread(excess)
        flat = _is_flat(lo, hi)
        if flat:  # no dispersion beyond rounding: no volatility, no ratio to form
            out["annual_volatility"] = 0.0
            out["sharpe"] = out["sortino"] = math.nan
        else:
            centred = excess - mean
            sd = math.sqrt(_sum(centred * centred) / (m - 1))
            out["annual_volatility"] = sd * root
            out["sharpe"] = mean / sd * root
            negative = np.minimum(excess, 0.0)
            downside = math.sqrt(_sum(negative * negative) / m)
            out["sortino"] = mean / downside * root if downside > _ROUNDING * max(1.0, -lo) else math.nan
    else:
        out["annual_volatility"] = out["sharpe"] = out["sortino"] = math.nan
    figures = track_record_figures(excess)
    out.update(dict.fromkeys(figures, math.nan) if flat else figures)  # no dispersion: no Sharpe to test

    dd = _drawdown(active)
    mdd = float(np.minimum.reduce(dd)) if n_active else 0.0
    out["max_drawdown"] = mdd
    out["calmar"] = cagr / -mdd if mdd < 0 else math.nan
    if mdd < 0:
        first, after = _underwater_spans(dd < 0.0)
        out["max_drawdown_duration"] = int((after - first).max())
        # From the peak (the row before the stretch) to the first row back at it, or the last row.
        span = dates[start_row + np.minimum(after, n_active - 1)] - dates[start_row + first - 1]
        out["max_drawdown_days"] = float(span.max()) / _DAY_NS
    else:
        out["max_drawdown_duration"] = 0
        out["max_drawdown_days"] = 0.0

    pnl = trades["pnl"]
    exit_row = trades["exit_row"]
    entry_row = trades["entry_row"]
    closed = exit_row >= 0
    all_closed = bool(closed.all())
    closed_pnl = pnl if all_closed else pnl[closed]
    basis = np.abs(trades["basis"] if all_closed else trades["basis"][closed])
    n_closed = len(closed_pnl)
    # A pnl within rounding of the money involved is break-even: neither a win nor a loss.
    tolerance = _ROUNDING * (basis + np.abs(closed_pnl))
    wins = closed_pnl > tolerance
    losses = closed_pnl < -tolerance
    out["trades"] = len(pnl)
    n_wins = int(np.count_nonzero(wins))
    n_losses = int(np.count_nonzero(losses))
    out["win_rate"] = n_wins / (n_wins + n_losses) if n_wins + n_losses else math.nan
    gross_loss = -_sum(closed_pnl[losses])
    out["profit_factor"] = _sum(closed_pnl[wins]) / gross_loss if gross_loss > 0 else math.nan
    with np.errstate(invalid="ignore", divide="ignore"):
        closed_ret = closed_pnl / basis
    out["avg_win"] = _sum(closed_ret[wins]) / n_wins if n_wins else math.nan
    out["avg_loss"] = _sum(closed_ret[losses]) / n_losses if n_losses else math.nan
    if n_closed:
        entries = entry_row if all_closed else entry_row[closed]
        exits = exit_row if all_closed else exit_row[closed]
        out["avg_holding_rows"] = float(np.add.reduce(exits - entries)) / n_closed
        held = sum(dates[exits].tolist()) - sum(dates[entries].tolist())  # exact: no int64 wrap
        out["avg_holding_days"] = float(held) / n_closed / _DAY_NS
    else:
        out["avg_holding_rows"] = out["avg_holding_days"] = math.nan

    # Rows on which some trade was open: [entry_row, exit_row) for closed trades, to the end for open ones.
    if n_active > 0 and len(pnl):
        marks = np.bincount(entry_row, minlength=n + 1)[: n + 1]
        marks -= np.bincount(exit_row if all_closed else np.where(closed, exit_row, n), minlength=n + 1)[: n + 1]
        out["exposure"] = float(np.count_nonzero(np.cumsum(marks[:n])[start_row:])) / n_active
    else:
        out["exposure"] = 0.0
    traded = _sum(np.abs(fills["value_after"] - fills["value_before"]))
    years = days / 365.25
    mean_equity = _sum(active) / n_active if n_active else math.nan
    out["turnover"] = traded / 2.0 / mean_equity / years if years > 0 and mean_equity > 0 else math.nan
    out["fees"] = _sum(fills["fee"])
    out["taxes"] = _sum(fills["tax"])

    if benchmark is not None:
        out["alpha"] = out["beta"] = math.nan
        bench = benchmark[start_row:]
        b = bench[1:] / bench[:-1] - 1.0
        b -= risk_free / ppy
        x, y = excess, b
        b_total = _sum(b)
        if not (math.isfinite(total) and math.isfinite(b_total)):  # a finite sum: every term finite
            ok = np.isfinite(b) & np.isfinite(excess)
            x, y = excess[ok], b[ok]
        k = len(x)
        if k >= 2:
            mx = total / k if x is excess else _sum(x) / k
            my = b_total / k if y is b else _sum(y) / k
            if not _is_flat(*_spread(y)):
                cy = y - my
                # A strategy without dispersion does not move with the benchmark: beta 0.
                x_flat = flat if x is excess else _is_flat(*_spread(x))
                beta = 0.0 if x_flat else _sum((x - mx) * cy) / _sum(cy * cy)
                out["alpha"] = (mx - beta * my) * ppy
                out["beta"] = beta
    return out
