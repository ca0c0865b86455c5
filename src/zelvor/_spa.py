"""Is the best set better than a benchmark after searching them all? White's reality check as
refined by Hansen's test of superior predictive ability (SPA), and Romano and Wolf's stepwise
multiple testing (StepM) for the sets that beat the benchmark. Both from the `arch` package
(stationary bootstrap of Politis and Romano), imported when used.

Sources: H. White, "A Reality Check for Data Snooping", Econometrica 68(5), 2000; P. R. Hansen,
"A Test for Superior Predictive Ability", Journal of Business & Economic Statistics 23(4), 2005;
J. P. Romano and M. Wolf, "Stepwise Multiple Testing as Formalized Data Snooping",
Econometrica 73(4), 2005; D. N. Politis and J. P. Romano, "The Stationary Bootstrap", Journal of
the American Statistical Association 89(428), 1994.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, TypedDict

import numpy as np
import pandas as pd

__all__ = ["Benchmark", "SPAOptions", "SPAResult", "superior_predictive_ability"]

# What the sets are compared with: None (cash), a set of the sweep (its row), or daily returns.
Benchmark = int | np.integer | pd.Series | None


class SPAOptions(TypedDict, total=False):
    """The keyword options of `superior_predictive_ability` (their defaults are there), passed on
    by `Sweep.spa`."""

    size: float
    reps: int
    block_size: int | None
    seed: int | None


_RESEARCH_EXTRA = "pip install 'zelvor[research]'"


def _arch_bootstrap() -> Any:
    try:
        import arch.bootstrap
    except ImportError as exc:
        raise ImportError(f"the SPA test needs the arch package: {_RESEARCH_EXTRA}") from exc
    return arch.bootstrap


@dataclass(frozen=True, eq=False)
class SPAResult:
    """The result of `Sweep.spa`.

    Attributes
    ----------
    pvalues : Series
        Hansen's SPA p-values, ``lower``, ``consistent`` and ``upper`` (the upper one is White's
        reality check). Small (below 0.05): the best set beats the benchmark even after the
        search over all sets; large: its edge is what searching that many sets gives by luck.
    best : int
        The set (a row of the sweep's table) with the highest mean daily return over the benchmark.
    superior : list of int
        StepM's sets (rows of the table) that beat the benchmark at level `size`, controlling the
        family-wise error rate over all sets.
    size : float
        StepM's level.
    block_size : int
        Mean length of the bootstrap's blocks, in rows.
    reps : int
        Bootstrap replications.
    benchmark : str
        What the sets were compared with.
    mean_excess : Series
        Per set, its mean daily return over the benchmark's.
    """

    pvalues: pd.Series
    best: int
    superior: list[int]
    size: float
    block_size: int
    reps: int
    benchmark: str
    mean_excess: pd.Series = field(repr=False)

    def __repr__(self) -> str:
        p = self.pvalues
        return (
            f"SPAResult(consistent p={p['consistent']:.3f}, lower={p['lower']:.3f}, upper={p['upper']:.3f}; "
            f"best set {self.best}; {len(self.superior)} set(s) beat {self.benchmark} at {self.size:g})"
        )


def superior_predictive_ability(
    returns: pd.DataFrame,
    benchmark: Benchmark = None,
    *,
    size: float = 0.05,
    reps: int = 1000,
    block_size: int | None = None,
    seed: int | None = None,
) -> SPAResult:
    """SPA p-values for the best column of `returns` against `benchmark`, and StepM's columns
    that beat it (see `Sweep.spa`).

    `returns` is dates x sets (a sweep's kept returns); all-NaN columns (failed sets) are left
    out, leading rows where no set is active are dropped, other NaN count as 0 (cash).
    """
    if not isinstance(returns, pd.DataFrame):
        raise TypeError(f"returns must be a DataFrame of daily returns (dates x sets), got {type(returns).__name__}")
    if isinstance(size, bool) or not isinstance(size, float | int) or not 0.0 < size < 1.0:
        raise ValueError(f"size must be a level in (0, 1), got {size!r}")
    if isinstance(reps, bool) or not isinstance(reps, int | np.integer) or reps < 10:
        raise ValueError(f"reps must be an int of at least 10, got {reps!r}")
    if block_size is not None and (
        isinstance(block_size, bool) or not isinstance(block_size, int | np.integer) or block_size < 1
    ):
        raise ValueError(f"block_size must be None (the square root of the rows) or a positive int, got {block_size!r}")
    values = returns.to_numpy(dtype=np.float64)
    ran = np.isfinite(values).any(axis=0)
    if not ran.any():
        raise ValueError("no set of the sweep has returns")
    active = np.flatnonzero(np.isfinite(values[:, ran]).any(axis=1))
    first = int(active[0])
    columns = returns.columns[ran]
    models = pd.DataFrame(np.nan_to_num(values[first:, ran]), index=returns.index[first:], columns=columns)
    bench, name = _benchmark(benchmark, returns, first)
    if len(models) < 10:
        raise ValueError(f"{len(models)} rows of returns are too few for a bootstrap test")
    block = int(block_size) if block_size is not None else max(1, int(round(np.sqrt(len(models)))))

    bootstrap = _arch_bootstrap()
    # arch works on losses (lower is better): the negative returns.
    losses = -models
    bench_losses = -bench
    rng = np.random.default_rng(seed)
    spa = bootstrap.SPA(bench_losses, losses, block_size=block, reps=int(reps), bootstrap="stationary", seed=rng)
    spa.compute()
    stepm = bootstrap.StepM(
        bench_losses, losses, size=float(size), block_size=block, reps=int(reps), bootstrap="stationary", seed=rng
    )
    stepm.compute()
    excess = models.sub(bench, axis=0).mean()
    superior = sorted(int(c) for c in stepm.superior_models)
    pvalues = pd.Series(spa.pvalues, name="pvalue").reindex(["lower", "consistent", "upper"])
    return SPAResult(
        pvalues=pvalues,
        best=int(columns[int(np.argmax(excess.to_numpy()))]),
        superior=superior,
        size=float(size),
        block_size=block,
        reps=int(reps),
        benchmark=name,
        mean_excess=excess.rename("mean_excess"),
    )


def _benchmark(benchmark: object, returns: pd.DataFrame, first: int) -> tuple[pd.Series, str]:
    """The benchmark's daily returns on the models' rows, and its name."""
    index = returns.index[first:]
    if benchmark is None:
        return pd.Series(0.0, index=index), "cash"
    if isinstance(benchmark, int | np.integer) and not isinstance(benchmark, bool):
        if not 0 <= benchmark < returns.shape[1]:
            raise ValueError(f"benchmark set {benchmark} is not a row of the sweep (0..{returns.shape[1] - 1})")
        column = returns.iloc[first:, int(benchmark)]
        if not np.isfinite(column.to_numpy()).any():
            raise ValueError(f"benchmark set {benchmark} failed: it has no returns")
        return column.fillna(0.0), f"set {int(benchmark)}"
    if isinstance(benchmark, pd.Series):
        if not pd.api.types.is_numeric_dtype(benchmark.dtype):
            raise TypeError("benchmark: daily returns must be numeric")
        aligned = benchmark.reindex(index)
        missing = int(aligned.isna().sum())
        if missing == len(index):
            raise ValueError("benchmark: no return on any date of the sweep (index it by the market's dates)")
        if missing:
            raise ValueError(
                f"benchmark: no return on {missing} of the sweep's {len(index)} active dates "
                f"(the first: {aligned.index[aligned.isna().to_numpy()][0]}); give one per market date"
            )
        values = aligned.to_numpy(dtype=np.float64)
        if np.nanmax(np.abs(values)) > 0.5 and (values > 0).all():
            import warnings

            warnings.warn(
                "benchmark looks like prices, not daily returns (all positive, some above 0.5): "
                "pass prices.pct_change() instead",
                UserWarning,
                stacklevel=4,
            )
        return aligned.astype(np.float64), str(benchmark.name) if benchmark.name is not None else "benchmark"
    raise TypeError(
        f"benchmark must be None (cash), a set of the sweep (int) or a Series of daily returns, "
        f"got {type(benchmark).__name__}"
    )
