"""The result of a sweep: `Sweep` (the table, the kept returns, the best set re-run in full,
the heatmap and the page) and `BestRun`.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, NamedTuple, Unpack

import numpy as np
import pandas as pd

from zelvor._overfitting import Overfitting, probability_of_overfitting
from zelvor._render import data as render_data
from zelvor._render import page, plots
from zelvor._render import text as render_text
from zelvor._spa import Benchmark, SPAOptions, SPAResult, superior_predictive_ability
from zelvor.report import Report
from zelvor.sweeps._grid import Params
from zelvor.sweeps._table import _LOWER_IS_BETTER
from zelvor.sweeps._worker import _Job, _WorkerState

if TYPE_CHECKING:  # pragma: no cover - names for the annotations only
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


class BestRun(NamedTuple):
    """The best parameter set of a sweep and its full report (`params, report = sweep.best(...)`)."""

    params: Params
    report: Report


@dataclass(eq=False)
class Sweep:
    """The result of `zelvor.sweep`: one table row per parameter set, in the grid's order.

    `table` has the parameters as columns, then every field of `Report.stats()`, then ``dsr``
    (the deflated Sharpe ratio: the set's ``psr`` against the Sharpe ratio the best of this
    many sets would reach by luck, given the spread of their Sharpe ratios; Bailey and López de
    Prado 2014), then `error` (empty for a run that succeeded; otherwise the exception's type
    and message, and the stats columns hold NaN). The original parameter values, e.g. `None`
    for a stop that is off (shown as NaN in a float column), are in `params`.
    """

    table: pd.DataFrame
    params: list[Params] = field(repr=False)
    parameter_names: list[str]
    seconds: float
    _job: _Job = field(repr=False)
    returns: pd.DataFrame | None = field(default=None, repr=False)
    """Each set's daily returns: market dates x sets (the table's index), NaN before a set's
    first active row and in the column of a failed set; None when the sweep did not keep them."""

    def __len__(self) -> int:
        return len(self.table)

    def _metric(self, metric: str) -> pd.Series:
        if not isinstance(metric, str):
            raise TypeError(f"metric must be the name of a column of the table, got {type(metric).__name__}")
        if metric not in self.table.columns or metric == "error":
            stats = [c for c in self.table.columns if c not in self.parameter_names and c != "error"]
            failed = (self.table["error"] != "").to_numpy()
            if not stats and len(failed) and failed.all():
                first = self.table["error"].iloc[0]
                raise ValueError(
                    f"every set of the sweep failed, so it has no figure {metric!r} to rank; "
                    f"the first set's error: {first}"
                )
            raise ValueError(f"metric {metric!r} is not a figure of the table; one of: {', '.join(stats)}")
        values = self.table[metric]
        if values.dtype.kind not in "biuf":
            raise ValueError(f"metric {metric!r} is not numeric (dtype {values.dtype})")
        return values

    def best(self, metric: str = "sharpe", *, minimize: bool | None = None) -> BestRun:
        """The parameter set with the best `metric` and its full `Report`, re-run here.

        Largest value wins, except for annual_volatility, min_track_record, max_drawdown_duration,
        max_drawdown_days, turnover, fees and taxes, where the smallest does (the figures whose
        `zelvor._stats.STATISTICS` entry says lower is better; `minimize` overrides). Failed runs and NaN values are
        skipped; of equal values the first in grid order wins.
        """
        values = self._metric(metric)
        if minimize is None:
            minimize = metric in _LOWER_IS_BETTER
        valid = np.flatnonzero((self.table["error"] == "").to_numpy() & values.notna().to_numpy())
        if not len(valid):
            raise ValueError(f"no run of the sweep has a value for {metric!r}")
        figures = values.to_numpy(dtype=np.float64)[valid]
        row = int(valid[np.argmin(figures) if minimize else np.argmax(figures)])  # ties: the first set
        params = dict(self.params[row])
        return BestRun(params, self.rerun(params))

    def rerun(self, params: Mapping[str, Any]) -> Report:
        """The full `Report` of one parameter set, with the sweep's weights, market and fixed options."""
        return _WorkerState.of(self._job).report(params)

    def overfitting(self, n_splits: int = 16, metric: str = "sharpe") -> Overfitting:
        """The probability that choosing the best set by `metric` overfits (PBO, by CSCV).

        The kept daily returns are cut into `n_splits` blocks of rows; for each of the
        C(n_splits, n_splits / 2) ways of taking half of them as in-sample, the set best in
        sample is ranked out of sample. Failed sets are left out. See
        `zelvor.probability_of_overfitting` for the details and the result's figures (Bailey,
        Borwein, López de Prado and Zhu, "The Probability of Backtest Overfitting", 2017).

        >>> sweep.overfitting().pbo    # doctest: +SKIP
        0.31
        """
        return probability_of_overfitting(self._kept_returns("overfitting"), n_splits, metric)

    def spa(self, benchmark: Benchmark = None, **options: Unpack[SPAOptions]) -> SPAResult:
        """Is the best set better than `benchmark` once the search over all sets is accounted for?

        Hansen's test of superior predictive ability (2005; its upper p-value is White's 2000
        reality check) on the sets' daily returns, with p-values from a stationary bootstrap
        (Politis and Romano 1994), and Romano and Wolf's StepM (2005): the sets that beat the
        benchmark at level `size`. Both from the `arch` package (``pip install
        'zelvor[research]'``).

        benchmark: None (cash: a return of 0), a set of the sweep (its row in the table), or a
            Series of daily returns on the market's dates (e.g. an index's ``pct_change()``).
        size: StepM's family-wise error rate (0.05).
        reps: bootstrap replications (1000). Their cost grows with the sets: 10,000 sets over
            5 years take minutes.
        block_size: mean block length of the bootstrap in rows (None: the square root of the rows).
        seed: makes the p-values reproducible.

        >>> sweep.spa(seed=0).pvalues["consistent"]   # doctest: +SKIP
        0.41
        """
        return superior_predictive_ability(self._kept_returns("spa"), benchmark, **options)

    def _kept_returns(self, what: str) -> pd.DataFrame:
        if self.returns is None:
            raise ValueError(
                f"{what} needs the sets' daily returns: run the sweep with returns='float64' (the default)"
            )
        return self.returns

    def plot_heatmap(
        self, x: str, y: str, metric: str = "sharpe", *, agg: str = "mean", ax: Axes | None = None
    ) -> Figure:
        """Heatmap of `metric` over two parameters (x across, y down), values written in the cells.

        Where other parameters vary too, each cell aggregates their runs with `agg` ("mean",
        "max", "min", "median"); failed runs are left out, and a cell with none is blank. Returns
        the Figure; draws into `ax` when given. Needs matplotlib (`pip install 'zelvor[plot]'`).
        """
        for name, value in (("x", x), ("y", y)):
            if value not in self.parameter_names:
                raise ValueError(f"{name}={value!r} is not a parameter of the sweep; one of: {self.parameter_names}")
        if x == y:
            raise ValueError(f"x and y must be two different parameters, got {x!r} twice")
        values = self._metric(metric)
        if agg not in ("mean", "max", "min", "median"):
            raise ValueError(f"agg must be 'mean', 'max', 'min' or 'median', got {agg!r}")
        grid, x_values, y_values = self._cells(x, y, values, agg)
        varying = [p for p in self.parameter_names if p not in (x, y)]
        title = metric if not varying else f"{metric} ({agg} over {', '.join(varying)})"
        return plots.heatmap(grid, x_values, y_values, (x, y, title, metric), ax)

    def _cells(self, x: str, y: str, values: pd.Series, agg: str) -> tuple[np.ndarray, pd.Index, pd.Index]:
        """`values` aggregated by `agg` per pair of values of `x` and `y` (y down, x across), NaN
        where no run succeeded; the values of x and of y in grid order."""
        # Parameter values in grid order; None (an option that is off) is a value of its own.
        x_codes, x_values = pd.factorize(
            pd.Series([p.get(x) for p in self.params], dtype=object), use_na_sentinel=False
        )
        y_codes, y_values = pd.factorize(
            pd.Series([p.get(y) for p in self.params], dtype=object), use_na_sentinel=False
        )
        ok = (self.table["error"] == "").to_numpy() & values.notna().to_numpy()
        frame = pd.DataFrame({"x": x_codes[ok], "y": y_codes[ok], "v": values.to_numpy(dtype=float)[ok]})
        cells = frame.groupby(["y", "x"])["v"].agg(agg)
        grid = np.full((len(y_values), len(x_values)), np.nan)
        grid[cells.index.get_level_values("y"), cells.index.get_level_values("x")] = cells.to_numpy()
        return grid, x_values, y_values

    def to_html(self, path: str | os.PathLike[str], *, title: str = "Parameter sweep", metric: str = "sharpe") -> None:
        """Write one self-contained page: the heatmap of `metric` over the first two parameters and
        every run ranked by it (the best three highlighted, sortable by any column), formatted as
        the report page. Nothing is fetched when it opens; without matplotlib it has no heatmap.

        >>> sweep.to_html("sweep.html", metric="calmar")  # doctest: +SKIP
        """
        page.write_sweep(self, path, title=title, metric=metric)

    def to_text(self, rows: int = 10, *, title: str = "") -> str:
        """The sweep as printed text: the run count and time, the `rows` best runs by Sharpe ratio
        (their parameters, total return, CAGR, Sharpe ratio, maximum drawdown, trades and win
        rate; NaN for an option that is off), the best run's deflated Sharpe ratio and the
        sweep's probability of backtest overfitting. `title`: lines printed first.

        >>> print(sweep.to_text(rows=5))  # doctest: +SKIP
        """
        return render_text.sweep_text(self, title, rows)

    def to_json(self, path: str | os.PathLike[str] | None = None, *, indent: int | None = None) -> str:
        """The table as JSON text, one object per run: its parameters as given (null for an option
        that is off), its figures (NaN and NaT as null, dates as ISO 8601) and ``error``;
        written to `path` if given.

        >>> sweep.to_json("sweep.json", indent=1)  # doctest: +SKIP
        """
        return render_data.write_sweep_json(self, path, indent=indent)

    def _repr_html_(self) -> str:
        return page.sweep_summary_html(self)

    def __repr__(self) -> str:
        return render_text.sweep_repr(self)
