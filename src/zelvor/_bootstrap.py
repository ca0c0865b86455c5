"""How much of a report's figures is luck: a stationary bootstrap of its daily returns.

The active period's daily returns are resampled in blocks of random length (geometric, mean
`block`), wrapping around the end (Politis and Romano, "The Stationary Bootstrap", Journal of
the American Statistical Association 89(428), 1994), with the `arch` package; each resampled
path gives a CAGR, a Sharpe ratio and a maximum drawdown. The default block length is the one
of Politis and White (2004, corrected by Patton, Politis and White 2009), from `arch`.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import pandas as pd

from zelvor._render.plots import pyplot
from zelvor._stats import drawdown

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["Bootstrap", "bootstrap_report"]

FIGURES = ("total_return", "cagr", "sharpe", "max_drawdown")
PERCENTILES = (5, 25, 50, 75, 95)


@dataclass(frozen=True, eq=False)
class Bootstrap:
    """The result of `Report.bootstrap`.

    Attributes
    ----------
    samples : DataFrame
        One row per resampled path: ``total_return``, ``cagr``, ``sharpe`` (annualised),
        ``max_drawdown``.
    actual : Series
        The same figures of the report's own returns.
    equity : DataFrame
        The resampled equity paths (dates x paths, 1.0 at the start of the active period).
    block : float
        Mean block length used, in rows.
    seed : int or None
    """

    samples: pd.DataFrame
    actual: pd.Series
    equity: pd.DataFrame = field(repr=False)
    block: float
    seed: int | None

    def percentiles(self, q: tuple[float, ...] = PERCENTILES) -> pd.DataFrame:
        """Percentiles of each figure over the paths: figures x `q` (default 5, 25, 50, 75, 95)."""
        values = np.nanpercentile(self.samples.to_numpy(), list(q), axis=0)
        return pd.DataFrame(values.T, index=self.samples.columns, columns=[f"p{p:g}" for p in q])

    def summary(self) -> pd.DataFrame:
        """Per figure: the report's own value, the paths' mean, and the percentiles."""
        frame = self.percentiles()
        frame.insert(0, "mean", self.samples.mean())
        frame.insert(0, "actual", self.actual)
        return frame

    def plot(self, ax: Axes | None = None, q: tuple[float, float, float, float] = (5, 25, 75, 95)) -> Figure:
        """Fan chart: the bands between percentiles of the paths' equity on each date (5-95 and
        25-75 by default), their median, and the report's own equity. Needs matplotlib."""
        plt = pyplot("Bootstrap.plot")
        if ax is None:
            fig, ax = plt.subplots(figsize=(10, 4.5), layout="constrained")
        else:
            fig = cast("Figure", ax.figure)
        paths = self.equity.to_numpy()
        index = self.equity.index
        lo_out, lo_in, hi_in, hi_out = np.percentile(paths, list(q), axis=1)
        ax.fill_between(index, lo_out, hi_out, color="#4c72b0", alpha=0.18, lw=0, label=f"p{q[0]:g}-p{q[3]:g}")
        ax.fill_between(index, lo_in, hi_in, color="#4c72b0", alpha=0.35, lw=0, label=f"p{q[1]:g}-p{q[2]:g}")
        ax.plot(index, np.median(paths, axis=1), color="#4c72b0", lw=1.0, label="median")
        own = np.r_[1.0, np.cumprod(1.0 + self._returns)]
        ax.plot(index, own, color="#c44e52", lw=1.2, label="report")
        ax.set_yscale("log")
        ax.set_ylabel("equity")
        ax.set_title(f"{self.samples.shape[0]} stationary-bootstrap paths (mean block {self.block:.1f} rows)")
        ax.legend(fontsize=8, loc="upper left")
        return fig

    @property
    def _returns(self) -> np.ndarray:
        return self.equity.attrs["returns"]

    def __repr__(self) -> str:
        p = self.percentiles((5, 50, 95))
        c5, c50, c95 = p.loc["cagr"].to_numpy(dtype=np.float64)
        s5, _, s95 = p.loc["sharpe"].to_numpy(dtype=np.float64)
        return (
            f"Bootstrap({self.samples.shape[0]} paths, block {self.block:.1f}: CAGR p5 {c5:+.2%} p50 {c50:+.2%} "
            f"p95 {c95:+.2%}; Sharpe p5 {s5:.2f} p95 {s95:.2f})"
        )


def _figures(paths: np.ndarray, days: float, periods_per_year: int) -> pd.DataFrame:
    """Figures of each column of returns (rows: days, columns: paths)."""
    growth = np.cumprod(1.0 + paths, axis=0)
    final = growth[-1]
    with np.errstate(invalid="ignore", divide="ignore"):
        if days > 0:
            cagr = np.where(final > 0, np.maximum(final, 0.0) ** (365.25 / days) - 1.0, np.nan)
        else:
            cagr = np.full(paths.shape[1], np.nan)
        sd = paths.std(axis=0, ddof=1)
        sharpe = np.where(sd > 0, paths.mean(axis=0) / sd * math.sqrt(periods_per_year), np.nan)
    deepest = drawdown(np.vstack([np.ones(paths.shape[1]), growth])).min(axis=0)
    return pd.DataFrame({"total_return": final - 1.0, "cagr": cagr, "sharpe": sharpe, "max_drawdown": deepest})


def bootstrap_report(
    report: Any, n: int = 1000, block: float | None = None, seed: int | None = None, periods_per_year: int = 252
) -> Bootstrap:
    """See `Report.bootstrap`."""
    if isinstance(n, bool) or not isinstance(n, int | np.integer) or n < 2:
        raise ValueError(f"n must be an int of at least 2 paths, got {n!r}")
    if block is not None and (isinstance(block, bool) or not isinstance(block, int | float) or not block >= 1):
        raise ValueError(
            f"block must be None (chosen from the data) or a mean block length of at least 1 row, got {block!r}"
        )
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int | np.integer)):
        raise TypeError(f"seed must be None or an int, got {type(seed).__name__}")
    try:
        from arch.bootstrap import StationaryBootstrap, optimal_block_length
    except ImportError as exc:
        raise ImportError("Report.bootstrap needs the arch package: pip install 'zelvor[research]'") from exc

    start = report.start_row
    equity = report.equity
    returns = report.returns.to_numpy(dtype=np.float64)[start + 1 :]
    if len(returns) < 10:
        raise ValueError(f"the report has {len(returns)} daily returns in its active period: too few to resample")
    dates = equity.index[start:]
    days = (dates[-1] - dates[0]) / pd.Timedelta(days=1)
    if block is None:
        chosen = float(optimal_block_length(returns)["stationary"].iloc[0])
        block = max(1.0, chosen) if math.isfinite(chosen) else 1.0
    # arch takes the mean block length as a float (its annotation says int)
    sampler = StationaryBootstrap(block, returns, seed=np.random.default_rng(seed))  # type: ignore[arg-type]
    paths = np.empty((len(returns), int(n)))
    for k, (data, _) in enumerate(sampler.bootstrap(int(n))):
        paths[:, k] = data[0]
    samples = _figures(paths, float(days), periods_per_year)
    actual = _figures(returns[:, None], float(days), periods_per_year).iloc[0].rename("actual")
    curves = pd.DataFrame(np.vstack([np.ones(int(n)), np.cumprod(1.0 + paths, axis=0)]), index=dates)
    curves.attrs["returns"] = returns
    return Bootstrap(samples=samples, actual=actual, equity=curves, block=float(block), seed=seed)
