"""The report's further figures, as plain functions over NumPy arrays.

Everything here works on the active period of a run: `equity` (portfolio values, one per price
row), its row-to-row `returns` (one fewer) and the closed trades' ``pnl`` and ``return``. Each
function says its convention and which published formula it follows; where the usual
libraries of this field disagree with each other, the one followed is named.

None of this is on the parameter sweep's path: `Report.stats()` adds these figures to the
sweep's own, computed once per report.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from zelvor import _stats


def _dot(a: np.ndarray, b: np.ndarray) -> float:
    """Sum of a * b in NumPy's pairwise order: not a BLAS dot, whose rounding depends on its threads."""
    return float(np.add.reduce(a * b))


def annual_growth(final: float, days: float) -> float:
    """`final` (growth of 1.0 over `days` calendar days) compounded to 365.25 days, minus 1.

    NaN when `final` <= 0 or `days` <= 0; inf where the result passes the largest float (a short
    period, such as hours of minute bars, extrapolated to a year). Never raises.
    """
    if not (days > 0 and final > 0):
        return math.nan
    try:
        return final ** (365.25 / days) - 1.0
    except OverflowError:
        return math.inf


__all__ = [
    "DRAWDOWN_COLUMNS",
    "RETURN_KEYS",
    "TRADE_KEYS",
    "drawdown_periods",
    "kurtosis",
    "return_figures",
    "rolling_figures",
    "skew",
    "trade_figures",
]

_DAY_NS = 86_400 * 10**9

# The keys `return_figures` adds to `Report.stats()` (the others are the sweep's own figures).
RETURN_KEYS = ("avg_drawdown", "skew", "kurtosis", "var_95", "cvar_95", "omega", "tail_ratio", "stability")
TRADE_KEYS = ("best_trade", "worst_trade", "expectancy", "sqn", "kelly")
DRAWDOWN_COLUMNS = ("start", "valley", "recovery", "depth", "rows", "days")


def period_returns(equity: np.ndarray) -> np.ndarray:
    """Row-to-row change of `equity` (one fewer value); non-finite changes are dropped."""
    equity = np.asarray(equity, dtype=np.float64)
    if len(equity) < 2:
        return np.empty(0)
    with np.errstate(invalid="ignore", divide="ignore"):
        r = equity[1:] / equity[:-1] - 1.0
    return r[np.isfinite(r)]


def _centred(r: np.ndarray, least: int) -> tuple[int, np.ndarray, float]:
    """(n, the deviations from the mean, their mean square) of `r`; n is 0 below `least` values
    and for a series without dispersion (a mean square within 1e-28 of 0)."""
    n = len(r)
    if n < least:
        return 0, r, math.nan
    d = r - r.mean()
    m2 = _dot(d, d) / n
    return (n, d, m2) if m2 > 1e-28 else (0, d, m2)


def skew(r: np.ndarray) -> float:
    """Sample skewness, bias-corrected (the adjusted Fisher-Pearson G1 of pandas' ``skew``).

    G1 = sqrt(n (n - 1)) / (n - 2) x m3 / m2 ** 1.5 with m2, m3 the central moments over n.
    NaN below 3 values and for a constant series (pandas says 0 there: a constant has no skew
    to speak of, so NaN is the honest answer).
    """
    n, d, m2 = _centred(r, 3)
    if not n:
        return math.nan
    m3 = float(np.sum(d**3)) / n
    return math.sqrt(n * (n - 1)) / (n - 2) * m3 / m2**1.5


def kurtosis(r: np.ndarray) -> float:
    """Excess kurtosis, bias-corrected (pandas' ``kurt``; 0 for a normal distribution).

    G2 = ((n + 1) g2 + 6) (n - 1) / ((n - 2) (n - 3)) with g2 = m4 / m2 ** 2 - 3. NaN below 4
    values and for a constant series (pandas says 0 there).
    """
    n, d, m2 = _centred(r, 4)
    if not n:
        return math.nan
    g2 = float(np.sum(d**4)) / n / m2**2 - 3.0
    return ((n + 1) * g2 + 6.0) * (n - 1) / ((n - 2) * (n - 3))


def _underwater_runs(equity: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The drawdown series and the first and last row of each run of rows below a previous peak."""
    dd = _stats.drawdown(equity)
    under = np.concatenate(([False], dd < 0.0, [False]))
    edges = np.flatnonzero(under[1:] != under[:-1])
    return dd, edges[::2], edges[1::2] - 1


def drawdown_periods(equity: np.ndarray, dates_ns: np.ndarray) -> dict[str, np.ndarray]:
    """Every period spent below a previous high, in date order.

    A period starts on the first row below the running maximum of `equity` and lasts to the
    last row below it, by the drawdown rule of `zelvor._stats.drawdown` (a dip within rounding of
    the peak is none), so the periods agree with ``max_drawdown`` and its duration. Returned
    arrays, one value per period: ``start``, ``valley`` (the first row of the period's lowest
    point), ``end`` (its last row), ``recovery`` (the first row back at the previous high:
    ``end + 1``, or -1 when the data ends under water), all rows of `equity`; ``depth`` (the
    lowest equity / previous high - 1, negative); ``rows`` (rows under water, end - start + 1);
    ``days`` (calendar days from start to end, plus 1).

    These are quantstats' ``drawdown_details`` on the same drawdown series (its ``end`` is our
    ``end``, its ``days`` ours, its ``max drawdown`` is ``depth`` in percent).
    """
    equity = np.asarray(equity, dtype=np.float64)
    if not len(equity):
        empty = np.empty(0, dtype=np.int64)
        return {"start": empty, "valley": empty, "end": empty, "recovery": empty, "depth": np.empty(0),
                "rows": empty, "days": empty}  # fmt: skip
    dd, starts, ends = _underwater_runs(equity)
    valleys = np.array([s + int(np.argmin(dd[s : e + 1])) for s, e in zip(starts, ends, strict=True)], dtype=np.int64)
    dates_ns = np.asarray(dates_ns, dtype=np.int64)
    return {
        "start": starts.astype(np.int64),
        "valley": valleys,
        "end": ends.astype(np.int64),
        "recovery": np.where(ends + 1 < len(equity), ends + 1, -1).astype(np.int64),
        "depth": dd[valleys] if len(valleys) else np.empty(0),
        "rows": (ends - starts + 1).astype(np.int64),
        "days": ((dates_ns[ends] - dates_ns[starts]) // _DAY_NS + 1).astype(np.int64),
    }


def return_figures(
    equity: np.ndarray, dates_ns: np.ndarray, risk_free: float = 0.0, periods_per_year: int = 252
) -> dict[str, float]:
    """The figures of a value series over its rows (a strategy's equity or a benchmark's prices).

    The headline figures follow `Report.stats` exactly (see there; computed by the same code):
    ``total_return``, ``cagr``, ``annual_volatility``, ``sharpe``, ``sortino``, ``max_drawdown``,
    ``max_drawdown_duration``, ``calmar``. Non-finite values of `equity` (a benchmark without
    a price) are left out; the series is measured from its first to its last finite value.

    The others are measured on the plain returns (``risk_free`` not subtracted):

    - ``avg_drawdown``: mean ``depth`` of all `drawdown_periods` (0 without any), as
      quantstats' "Avg. Drawdown".
    - ``skew``, ``kurtosis``: see `skew` and `kurtosis` (excess kurtosis).
    - ``var_95``: historical value at risk, the 5th percentile of the returns with linear
      interpolation (empyrical's ``value_at_risk``; a loss is negative). ``cvar_95``: the mean
      of the lowest ``int((n - 1) x 0.05) + 1`` returns (empyrical's
      ``conditional_value_at_risk``).
    - ``omega``: sum of the positive returns over minus the sum of the negative ones (threshold 0;
      empyrical's ``omega_ratio``); NaN without a losing period.
    - ``tail_ratio``: |95th percentile| / |5th percentile| (empyrical's ``tail_ratio``).
    - ``stability``: R squared of a least-squares line through the log of equity against the row
      number (empyrical's ``stability_of_timeseries``); NaN when the log equity is constant.
    """
    equity = np.asarray(equity, dtype=np.float64)
    dates_ns = np.asarray(dates_ns, dtype=np.int64)
    known = np.isfinite(equity)
    equity, dates_ns = equity[known], dates_ns[known]
    out: dict[str, float] = {}
    n = len(equity)
    base = float(equity[0]) if n else math.nan
    final = float(equity[-1]) / base if n else math.nan
    out["total_return"] = final - 1.0 if n else math.nan
    days = (int(dates_ns[-1]) - int(dates_ns[0])) / _DAY_NS if n else 0.0
    out["cagr"] = annual_growth(final, days)
    # The headline figures are the run statistics' own (their zero-dispersion and drawdown rules).
    headline = _stats.series_figures(equity, dates_ns, risk_free, periods_per_year)
    for key in ("annual_volatility", "sharpe", "sortino", "max_drawdown", "max_drawdown_duration"):
        out[key] = headline[key]
    out["calmar"] = out["cagr"] / -out["max_drawdown"] if out["max_drawdown"] < 0 else math.nan
    r = equity[1:] / equity[:-1] - 1.0 if n >= 2 else np.empty(0)
    periods = drawdown_periods(equity, dates_ns)
    depth = periods["depth"]
    out["avg_drawdown"] = float(depth.mean()) if len(depth) else 0.0
    out["skew"] = skew(r)
    out["kurtosis"] = kurtosis(r)
    if len(r):
        out["var_95"] = float(np.percentile(r, 5.0))
        cut = int((len(r) - 1) * 0.05)
        out["cvar_95"] = float(np.mean(np.partition(r, cut)[: cut + 1]))
        low = abs(out["var_95"])
        out["tail_ratio"] = abs(float(np.percentile(r, 95.0))) / low if low > 0 else math.nan
    else:
        out["var_95"] = out["cvar_95"] = out["tail_ratio"] = math.nan
    loss = -float(r[r < 0.0].sum())
    out["omega"] = float(r[r > 0.0].sum()) / loss if len(r) >= 2 and loss > 0 else math.nan
    out["stability"] = _stability(r)
    return out


def _stability(r: np.ndarray) -> float:
    if len(r) < 2:
        return math.nan
    y = np.cumsum(np.log1p(r))
    x = np.arange(len(y), dtype=np.float64)
    dx, dy = x - x.mean(), y - y.mean()
    syy = _dot(dy, dy)
    if not syy > 0:
        return math.nan
    return _dot(dx, dy) ** 2 / (_dot(dx, dx) * syy)


def trade_figures(pnl: np.ndarray, returns: np.ndarray) -> dict[str, float]:
    """Figures of the closed trades, from their ``pnl`` (money, start value 1.0) and ``return``.

    - ``best_trade``, ``worst_trade``: the highest and lowest trade ``return``.
    - ``expectancy``: the mean trade ``return`` (win rate x average win + loss rate x average
      loss): what a trade made on average, per unit of money put in.
    - ``sqn``: the system quality number, sqrt(n) x mean ``pnl`` / its sample standard deviation
      (ddof 1), over all closed trades; NaN below two trades or when all ``pnl`` are equal.
    - ``kelly``: the Kelly fraction W - (1 - W) / R on the trade returns, W the share of winners
      among trades that won or lost (break-even trades left out) and R the mean win over the
      mean loss's size; quantstats' ``kelly_criterion`` applied to the trades' returns. NaN
      without a winner or without a loser.

    NaN marks a figure without a closed trade.
    """
    pnl = np.asarray(pnl, dtype=np.float64)
    returns = np.asarray(returns, dtype=np.float64)
    ret = returns[np.isfinite(returns)]
    out: dict[str, float] = {}
    out["best_trade"] = float(ret.max()) if len(ret) else math.nan
    out["worst_trade"] = float(ret.min()) if len(ret) else math.nan
    out["expectancy"] = float(ret.mean()) if len(ret) else math.nan
    n = len(pnl)
    sd = float(np.std(pnl, ddof=1)) if n >= 2 else 0.0
    out["sqn"] = math.sqrt(n) * float(pnl.mean()) / sd if sd > 0 else math.nan
    wins, losses = ret[ret > 0.0], ret[ret < 0.0]
    if len(wins) and len(losses):
        w = len(wins) / (len(wins) + len(losses))
        payoff = float(wins.mean()) / abs(float(losses.mean()))
        out["kelly"] = w - (1.0 - w) / payoff
    else:
        out["kelly"] = math.nan
    return out


def rolling_figures(
    returns: np.ndarray,
    window: int,
    benchmark: np.ndarray | None = None,
    risk_free: float = 0.0,
    periods_per_year: int = 252,
) -> dict[str, np.ndarray]:
    """Figures over the last `window` returns at each row (NaN until a full window).

    - ``return``: the compounded return of the window, prod(1 + r) - 1.
    - ``volatility``: sample standard deviation (ddof 1) x sqrt(periods_per_year), as quantstats'
      ``rolling_volatility``.
    - ``sharpe``: mean excess return / its sample standard deviation x sqrt(periods_per_year),
      as quantstats' ``rolling_sharpe`` (excess: minus ``risk_free / periods_per_year``).
    - ``beta`` (with `benchmark`, its returns on the same rows): sample covariance with the
      benchmark over the benchmark's sample variance; NaN when the window holds a
      non-finite value of either.

    A window holding a non-finite return gives NaN. Each window is summed on its own (no running
    sums), so the figures match a direct computation to rounding.
    """
    from numpy.lib.stride_tricks import sliding_window_view

    r = np.asarray(returns, dtype=np.float64)
    n = len(r)
    out: dict[str, np.ndarray] = {}
    names = ["return", "volatility", "sharpe"] + (["beta"] if benchmark is not None else [])
    for name in names:
        out[name] = np.full(n, np.nan)
    if n < window:
        return out
    views = sliding_window_view(r, window)
    tail = slice(window - 1, None)
    with np.errstate(invalid="ignore", divide="ignore"):
        out["return"][tail] = np.prod(1.0 + views, axis=1) - 1.0
        excess = views - risk_free / periods_per_year if risk_free else views
        mean = excess.mean(axis=1)
        centred = excess - mean[:, None]
        sd = np.sqrt(np.einsum("ij,ij->i", centred, centred) / (window - 1))
        out["volatility"][tail] = sd * math.sqrt(periods_per_year)
        out["sharpe"][tail] = np.where(sd > 0, mean / sd, np.nan) * math.sqrt(periods_per_year)
        if benchmark is not None:
            b = sliding_window_view(np.asarray(benchmark, dtype=np.float64), window)
            bc = b - b.mean(axis=1)[:, None]
            rc = views - views.mean(axis=1)[:, None]
            var = np.einsum("ij,ij->i", bc, bc)
            out["beta"][tail] = np.where(var > 0, np.einsum("ij,ij->i", rc, bc) / var, np.nan)
    return out


def plain(value: Any) -> Any:
    """A JSON-ready copy of a figure: NaN and NaT become None, timestamps ISO text."""
    import pandas as pd

    if value is None or value is pd.NaT:
        return None
    if isinstance(value, pd.Timestamp):
        return value.isoformat()
    if isinstance(value, np.generic):
        return plain(value.item())
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value
