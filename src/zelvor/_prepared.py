"""`Prepared`: the checked, converted inputs of many backtests over one set of weights, and
one run of them with a set of options (`run`, `stats`, `stats_dict`, `stats_and_equity`)."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, TypeVar

import numpy as np
import pandas as pd

from zelvor import _engine, _stats
from zelvor._inputs import refuse_bad_prices
from zelvor._options import DEFAULTS, ENGINE_NAMES
from zelvor._validate import OptionChecks, RunWarning, UnitWarning, closest, warn
from zelvor.market import Market, bad_trading_rows
from zelvor.report import Report, report_of_run, stats_series

__all__ = ["Checks", "Prepared", "stats_run"]


@dataclass
class Checks:
    """What a `Prepared` checks at its runs beyond the scalar options' own table.

    held: per market column, whether the weights ever give it a non-zero weight.
    has_long, has_short: whether the weights ever go long / short.
    touched_ok: the open, high and low of the held stocks passed the price rule (checked at
        the first run with touched_exit=True).
    warned: the causes already warned about (one warning per cause, however many runs).
    """

    held: np.ndarray
    has_long: bool = False
    has_short: bool = False
    touched_ok: bool = False
    warned: set[str] = field(default_factory=set)

    def warn_once(self, cause: str, message: str, category: type[Warning]) -> None:
        if cause not in self.warned:
            self.warned.add(cause)
            warn(message, category)


def _check_run(prepared: Prepared, given: dict[str, Any], checked: dict[str, Any], memo: OptionChecks) -> None:
    """The checks of one run's options that depend on the weights and the market: unit slips of
    the stop levels and costs, and the price rule for the fields touched exits read."""
    checks = prepared._checks
    for name, message in memo.slips(given, checked, checks.has_long, checks.has_short):
        checks.warn_once(name, message, UnitWarning)
    if checked["touched_exit"]:
        market = prepared.market
        a = market.arrays
        if not checks.touched_ok:
            fields = [("touched_exit", f, getattr(a, f), bad_trading_rows(market, f)) for f in ("open", "high", "low")]
            refuse_bad_prices(fields, market, checks.held)
            checks.touched_ok = True
        if a.high is a.close and a.low is a.close:  # the Market filled them from close
            checks.warn_once(
                "touched_exit",
                "touched_exit=True on a market with no highs and lows to touch (Market(close=...) alone): the "
                "close stands in for the day's open, high and low, so exits see only the close; give the "
                "market open=, high= and low= frames for intraday exits",
                RunWarning,
            )


_T = TypeVar("_T")  # what an engine call returns


class Prepared:
    """Validated, converted inputs of backtests over one set of weights and one market.

    Made by `prepare`; `run(**options)` and `stats(**options)` take the scalar options of
    `backtest` (fees, stops, limits, window) and check only those.
    """

    __slots__ = (
        "market",
        "_arrays",
        "_columns",
        "_signal_dates",
        "_start_row",
        "_benchmark",
        "_benchmark_name",
        "_given",
        "_checks",
        "_inputs",
        "_requests",
        "_memo",
    )

    def __init__(
        self,
        market: Market,
        arrays: dict[str, Any],
        columns: pd.Index,
        signal_dates: pd.DatetimeIndex,
        benchmark: np.ndarray | None,
        benchmark_name: str | None,
        given: dict[str, Any],
        checks: Checks | None = None,
    ) -> None:
        self.market = market
        self._arrays = arrays
        self._columns = columns
        self._signal_dates = signal_dates
        dates = market.arrays.dates
        self._start_row = min(int(np.searchsorted(dates, arrays["pos_index"][0], side="left")), max(len(dates) - 1, 0))
        self._benchmark = benchmark
        self._benchmark_name = benchmark_name
        self._given = given
        # Without the weights' own checks: every stock may be held, long and short.
        self._checks = (
            checks
            if checks is not None
            else Checks(held=np.ones(market.shape[1], dtype=bool), has_long=True, has_short=True)
        )
        self._inputs: Any = None  # the engine's prepared inputs, made at the first run
        self._requests: dict[tuple, tuple[tuple, dict[str, Any]]] = {}  # see stats_run
        self._memo = OptionChecks()  # the checks of the option values its runs were given

    @property
    def start_row(self) -> int:
        """The first market row the runs simulate: the first date on or after the first weights date."""
        return self._start_row

    def __repr__(self) -> str:
        dates = self._signal_dates
        span = f"{dates[0].date()} .. {dates[-1].date()}" if len(dates) else "no dates"
        given = ", ".join(f"{k}={v!r}" for k, v in self._given.items() if v is not None)
        return (
            f"<Prepared: {len(self._columns)} stocks weighted on {len(dates)} dates ({span}) "
            f"of {self.market!r}{'; ' + given if given else ''}>"
        )

    def _options(
        self, options: dict[str, Any], memo: OptionChecks | None = None
    ) -> tuple[dict[str, Any], dict[str, Any]]:
        """The options merged with the defaults, and checked for the engine. `memo` (a sweep
        call's, else this object's own) remembers the checks of the values already seen, with the
        same results."""
        if not options.keys() <= DEFAULTS.keys():
            unknown = set(options) - set(DEFAULTS)
            names = [*DEFAULTS, "risk_free", "periods_per_year"]
            raise TypeError("unknown option(s): " + ", ".join(f"{k}{closest(k, names)}" for k in sorted(unknown)))
        merged = {**DEFAULTS, **options}
        memo = self._memo if memo is None else memo
        checked = memo.check(merged)
        _check_run(self, merged, checked, memo)
        engine = {ENGINE_NAMES[k]: v for k, v in checked.items()}
        return merged, engine

    def _raw(self, engine: dict[str, Any], stats: tuple | None = None) -> _engine.RawRun:
        return self._engine_call(lambda inputs, checked: _engine.run(inputs, checked, stats), engine)

    def _engine_call(self, call: Callable[[Any, dict[str, Any]], _T], engine: dict[str, Any]) -> _T:
        inputs = self._inputs
        if inputs is None:
            # Made once (labels matched, gross weights summed); concurrent first runs may each
            # make one, which is harmless. Runs share it read-only.
            inputs = self._inputs = _engine.prepare_inputs(self._arrays)
        try:
            return call(inputs, engine)
        except ValueError as exc:
            # The trading prices were checked for the weighted stocks; say which input is at fault.
            if str(exc).startswith("Invalid trading price"):
                raise ValueError(f"trade_at: {exc}") from exc
            raise

    def run(self, **options: Any) -> Report:
        """Run one backtest with these options (see `backtest`) and return its `Report`."""
        merged, engine = self._options(options)
        raw = self._raw(engine)
        return report_of_run(
            raw,
            dates=self.market.dates,
            stocks=self._columns,
            signal_dates=self._signal_dates,
            start_row=self._start_row,
            touched_exit=engine["touched_exit"],
            window=engine["quelmo_window"],
            window_step=engine["quelmo_window_step"],
            benchmark=self._benchmark,
            benchmark_name=self._benchmark_name,
            options={**self._given, **merged},
        )

    def stats(self, risk_free: float = 0.0, periods_per_year: int = 252, **options: Any) -> pd.Series:
        """`Report.stats` of one run with these options, without building the report's tables."""
        return stats_series(self.stats_dict(risk_free, periods_per_year, **options))

    def stats_dict(self, risk_free: float = 0.0, periods_per_year: int = 252, **options: Any) -> dict[str, Any]:
        """The same figures as a plain dict (cheapest: for sweeps that collect rows)."""
        return self.stats_and_equity(risk_free, periods_per_year, **options)[0]

    def stats_and_equity(
        self, risk_free: float = 0.0, periods_per_year: int = 252, **options: Any
    ) -> tuple[dict[str, Any], np.ndarray]:
        """`stats_dict` and the run's equity (one value per market date), for sweeps that keep
        each run's daily returns."""
        values, result = stats_run(self, options, risk_free, periods_per_year)
        return values, result["equity"]


def stats_run(
    prepared: Prepared,
    options: dict[str, Any],
    risk_free: float = 0.0,
    periods_per_year: float = 252,
    memo: OptionChecks | None = None,
    moments: bool = False,
    returns: str | None = None,
) -> tuple[dict[str, Any], dict[str, Any]]:
    """`Prepared.stats_dict` of a run with these options and the engine's result: ``equity``, and
    with `moments` the Sharpe ratio's moments of the daily returns after the start row, with
    `returns` ("float64" or "float32") those returns, NaN before (see `zelvor._stats.request`).
    `memo` (a sweep call's) remembers the option checks of the values already seen."""
    _, engine = prepared._options(options, memo)
    key = (risk_free, periods_per_year, moments, returns)
    made = prepared._requests.get(key)
    if made is None:
        dates = prepared.market.arrays.dates
        start = prepared._start_row
        request = _stats.request(dates, start, prepared._benchmark, risk_free, periods_per_year, moments, returns)
        made = prepared._requests[key] = (request, _stats.period(dates, start, prepared.market.dates.tz))
    request, period = made
    # Only what the figures read (no excursions, no end-of-run operations), and the figures
    # computed in the run itself: the whole row runs without the interpreter lock.
    result = prepared._engine_call(lambda inputs, checked: _engine.run_for_stats(inputs, checked, request), engine)
    values = dict(period)
    values.update(result["stats"])
    return values, result
