"""The result of `zelvor.backtest`: the equity curve, the trades, the fills and the statistics.

A `Report` owns copies of everything the engine produced for its run, so a later run never
changes it. The secondary tables (trades, transactions, window statistics, actions) are built
on first access, by `zelvor._report_tables`; `stats()` works on the raw arrays without building
them. The trades' excursion statistics are computed at the first access to `trades` or
`window_stats`, from the market's prices (which, as `Market` says, must not be modified).
Further figures come from `zelvor._tearsheet`, pictures and pages from `zelvor._render`.
"""

from __future__ import annotations

from functools import cached_property
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import pandas as pd

from zelvor import _report_tables as _tables
from zelvor import _tearsheet
from zelvor._bootstrap import Bootstrap, bootstrap_report
from zelvor._dates import as_ns
from zelvor._engine import RawRun
from zelvor._render import data as render_data
from zelvor._render import page, plots
from zelvor._render import text as render_text
from zelvor._stats import compute_stats, stats_series
from zelvor._stats import drawdown as _drawdown

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["ACTION_NAMES", "Report", "compute_stats", "stats_series"]

ACTION_NAMES: dict[str, tuple[str, str]]  # made at the first use: see __getattr__ below


def __getattr__(name: str) -> dict[str, tuple[str, str]]:
    """`ACTION_NAMES`: the engine's next-period action names -> (the name `Report.actions` gives,
    why the action is there), made from the engine's table of action codes at the first use."""
    if name == "ACTION_NAMES":
        return _tables.action_names()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class Report:
    """The result of one backtest. Everything here is a copy: later runs never change it.

    Series on the market's dates: `equity` (the portfolio value at each close, starting from a
    cash balance of 1.0; bit-identical to what the engine returned), `returns` (its row-to-row
    change, NaN on the first row) and `drawdown` (equity over its running maximum, minus 1).

    Tables, built on first access: `trades`, `transactions`, `window_stats`, `actions`. The
    excursion figures of `trades` and `window_stats` are computed then too (in one native call
    over all trades, about a tenth of a microsecond a trade), not during the run.
    Figures: `stats()`, `monthly_returns()`, `drawdowns()`, `rolling()`. Output, drawn by the
    package's rendering modules: `plot()` and the other ``plot_*`` pictures, `to_html(path)`,
    `to_text()`, `to_dict()` and `to_json()`.
    """

    _raw: RawRun
    _dates: pd.DatetimeIndex
    _stocks: pd.Index
    _signal_dates: pd.DatetimeIndex
    _start_row: int
    _touched_exit: bool
    _window: int
    _window_step: int
    _benchmark: np.ndarray | None
    _benchmark_name: str | None
    options: dict[str, Any]
    """The options of the run, as given to `zelvor.backtest`."""

    def __init__(self, *args: object, **kwargs: object) -> None:
        raise TypeError("a Report is made by zelvor.backtest or Prepared.run, not constructed directly")

    # ---- series

    @cached_property
    def equity(self) -> pd.Series:
        """Portfolio value at each close (1.0 = the starting cash)."""
        return pd.Series(self._raw.equity, index=self._dates, name="equity", copy=False)

    @cached_property
    def returns(self) -> pd.Series:
        """Row-to-row change of `equity` (NaN on the first row)."""
        e = self._raw.equity
        r = np.full(len(e), np.nan)
        r[1:] = e[1:] / e[:-1] - 1.0
        return pd.Series(r, index=self._dates, name="returns", copy=False)

    @cached_property
    def drawdown(self) -> pd.Series:
        """`equity` over its running maximum, minus 1 (0 at a new high, negative below it)."""
        return pd.Series(_drawdown(self._raw.equity), index=self._dates, name="drawdown", copy=False)

    @cached_property
    def benchmark(self) -> pd.Series | None:
        """The benchmark's prices rebased to 1.0 at its first price in the active period, or None."""
        if self._benchmark is None:
            return None
        b = self._benchmark
        known = np.flatnonzero(np.isfinite(b[self._start_row :]))
        base = b[self._start_row + known[0]] if len(known) else np.nan
        return pd.Series(b / base, index=self._dates, name=self._benchmark_name or "benchmark", copy=False)

    @property
    def start(self) -> pd.Timestamp:
        """The first date the engine simulated (the first market date on or after the first weights date)."""
        return self._dates[self._start_row] if len(self._dates) else cast(pd.Timestamp, pd.NaT)

    @property
    def start_row(self) -> int:
        """The row of `start` in the market's dates (0 without dates): the series' rows before it
        are the cash the run starts with."""
        return self._start_row

    @property
    def end(self) -> pd.Timestamp:
        """The last market date (the end of the period `stats` covers); NaT without dates."""
        return self._dates[-1] if len(self._dates) else cast(pd.Timestamp, pd.NaT)

    @property
    def period(self) -> tuple[pd.Timestamp, pd.Timestamp]:
        """``(start, end)``: the dates `stats` covers, first simulated date to last market date."""
        return self.start, self.end

    # ---- tables

    @cached_property
    def trades(self) -> pd.DataFrame:
        """One row per trade, in the engine recorder's order.

        A holding that an intraday exit fills at a value of exactly 0 (a zero open, high or low
        through the raw engine) is a trade the recorder does not list: it is closed at that fill
        like any other (the row of its exit), with NaN statistics.

        Columns: ``stock``; ``entry_date`` and ``exit_date`` (the fill dates; NaT while open);
        ``entry_signal_date`` (the row before the entry) and ``exit_signal_date`` (the row that
        triggered the exit: the exit row itself for intraday exits, the row before otherwise);
        ``weight`` (size at entry, a fraction of the portfolio; negative for a short); ``rows``
        (price rows held; to the end for an open trade); ``entry_price`` and ``exit_price``
        (the fills the engine used: for an intraday exit, the touched level; NaN while open, and
        NaN on a row without a trading price, where the holding keeps its money value until the
        next price);
        ``pnl`` (the trade's contribution to the portfolio value, starting value 1.0, fees and
        tax included; an open trade is marked at the last close); ``return`` (``pnl`` over the
        money put in, before fees: the value it was opened at plus later additions to the same
        trade); ``exit_reason`` (rebalance, stop_loss,
        take_profit, trail_stop, delisted or open); then the recorder's statistics at the exit,
        measured on closes for one unit of the trade (its value relative to the entry price, the
        entry fee included): ``mae`` and ``mfe`` (its lowest and highest value - 1: the maximum
        adverse and favourable excursions), ``bmfe`` (the highest value before the MAE's low -
        1), ``mdd`` (the unit's own maximum drawdown), ``profit_rows`` (an int: rows on which the
        unit was worth more than at entry) and ``trade_return`` (the unit's return from the
        entry fill to the exit fill, less the fee rate at entry and the fee and tax rates at
        exit). ``return`` is money and ``trade_return`` a unit: they agree for a trade bought
        and sold whole, and differ where the trade started from a holding kept through a
        rebalance (costs paid only on the amount traded there), was added to or cut.

        A holding kept through a rebalance is closed and re-opened at that row (``exit_reason``
        rebalance), unless the run retains costs; the fee and tax of cutting it at that rebalance
        are the closed trade's, the fee of adding to it the new one's. The ``pnl`` column adds up
        to ``equity.iloc[-1] - 1`` up to rounding (about 1e-16: the same money summed in another
        order).
        """
        return _tables.trades_frame(
            self._raw.trades, self._raw.stats, self._listed, self._dates, self._stocks, self._touched_exit
        )

    @cached_property
    def transactions(self) -> pd.DataFrame:
        """One row per change of a holding, in the order the engine made them.

        Columns: ``date``, ``stock``, ``weight_before`` and ``weight_after`` (the holding's value
        as a fraction of the portfolio value at the moment of the trade), ``price`` (the fill
        price: the row's trading price, or the touched level of an intraday exit), ``fee`` and
        ``tax`` (money, in units of the starting value 1.0) and ``reason`` (rebalance, stop_loss,
        take_profit, trail_stop or delisted).
        """
        return _tables.transactions_frame(self._raw.fills, self._dates, self._stocks)

    @cached_property
    def _listed(self) -> np.ndarray:
        """The rows of `trades` the recorder lists (its statistics belong to these, in order)."""
        return _tables.listed_rows(self._raw.trades)

    @cached_property
    def window_stats(self) -> pd.DataFrame | None:
        """The recorder's statistics over the first rows of each trade (None when ``window`` is 0).

        Indexed by (``trade``: the row of `trades`, ``offset``: rows after the entry, every
        ``window_step``); columns ``mae, mfe, bmfe, mdd, profit_rows, trade_return``. Offsets
        past the end of the data are NaN; a trade the recorder does not list has no rows.
        """
        return _tables.window_stats_frame(self._raw.stats, self._listed, self._window, self._window_step)

    @cached_property
    def actions(self) -> pd.DataFrame:
        """The next period, one row per stock named in the engine's operations report.

        Index: stock. Columns: ``action`` (enter, exit, hold, stop_loss, take_profit,
        stop_loss_reenter, take_profit_reenter, stopped_out, took_profit; None when the stock
        only carries a weight), ``why`` (the action in words), ``weight`` (weight after the last
        rebalance) and ``next_weight`` (the weights of the next period). The attributes
        ``weight_date`` and ``next_weight_date`` hold the weights dates both refer to (NaT: none).

        With ``resample`` a period alias ("ME", "W-FRI", ...), the last market date closes the
        period it falls in, even when the data end before the period does (a month's data
        ending on the 7th): the last rebalance and these actions then rest on a partial period.
        The attribute ``partial_period`` says so (True / False), and ``period_end`` holds the
        calendar date that period would end on (NaT when ``resample`` is not an alias).
        """
        return _tables.actions_frame(
            self._raw.operations, self._stocks, self._signal_dates, self._dates, self.options.get("resample")
        )

    # ---- figures

    def stats(self, risk_free: float = 0.0, periods_per_year: int = 252, *, compare: bool = False) -> Any:
        """Performance and trade figures over the active period, as a float Series.

        The active period runs from `start` (the first simulated date) to `end` (the last
        market date); both are in `period`, not in the Series, so that it holds numbers only
        (``report.stats().round(3)`` works). Money is in units of the starting value 1.0.

        Parameters
        ----------
        risk_free : float, default 0.0
            Annual risk-free rate (0.02 = 2 %). Each row's excess return is its return minus
            ``risk_free / periods_per_year`` (simple, not compounded); 0 means plain returns.
        periods_per_year : int, default 252
            Rows per year, for annualising the per-row figures (volatility, Sharpe, Sortino,
            alpha) and for the risk-free rate per row. 252 suits daily bars; give the right
            count for other bars (52 weekly, 12 monthly).

        Returns
        -------
        pandas.Series
            float64, indexed by figure name, in the order of `zelvor._stats.STATISTICS` (which also
            gives each figure's label, unit and which way is better):

            - ``total_return``: final equity - 1.
            - ``cagr``: (final equity) ** (365.25 / calendar days from `start` to `end`) - 1,
              over calendar days whatever the bars (not over 252 rows). NaN when the final value
              is <= 0 or the period has no length. Over a short period, and so for sub-daily
              bars, this extrapolates the period's growth to a whole year and says little (two
              hours up 1 % compound to 1.01 ** 4383, a CAGR near 9e18); inf where it passes the
              largest float. It never raises.
            - ``annual_volatility``: sample standard deviation (ddof 1) of the excess returns x
              sqrt(periods_per_year); 0 when they have no dispersion beyond rounding (their
              range is within about 1.4e-14 of max(1, |return|)).
            - ``sharpe``: mean excess return over that deviation x sqrt(periods_per_year).
              ``sortino``: mean excess return over the downside deviation (root mean square of
              the negative excess returns, divided by all rows) x sqrt(periods_per_year). Both
              NaN when the excess returns have no dispersion beyond rounding (a run in cash),
              and Sortino also when the downside deviation is within rounding of 0.
            - ``max_drawdown``: the lowest equity / running maximum - 1 (<= 0). A dip within
              rounding of the peak (about 1.4e-14) is no drawdown.
              ``max_drawdown_duration``: the longest stretch of rows below a previous peak, in
              rows. ``max_drawdown_days``: the longest calendar time, in days, from a peak to
              the first close back at it (or to `end`, when not recovered).
              ``calmar``: cagr / -max_drawdown; NaN without a drawdown.
            - ``trades``: all trades, open ones included. Of the closed trades, a win has a pnl
              above 0 and a loss below 0 by more than rounding of the money involved (about
              1.4e-14 of it); a break-even trade is neither. ``win_rate``: wins / (wins +
              losses). ``profit_factor``: total pnl of the wins / -total pnl of the losses.
              ``avg_win``, ``avg_loss``: mean ``return`` (see `trades`) of the wins and of the
              losses. ``avg_holding_rows``: mean rows held by closed trades;
              ``avg_holding_days``: the same in calendar days, entry fill to exit fill.
            - ``exposure``: the share of active rows on which at least one trade was open (a
              trade is open from its entry row up to, not including, its exit row; an open
              trade to the end).
            - ``turnover``: money traded (buys and sells) / 2 / mean equity, per 365.25
              calendar days. ``fees``, ``taxes``: totals paid.
            - With a benchmark: ``beta``, the covariance of the excess returns with the
              benchmark's over the benchmark's variance (rows where either is missing left
              out; 0 for a strategy without dispersion, NaN for a benchmark without), and
              ``alpha``, (mean excess return - beta x the benchmark's) x periods_per_year:
              arithmetic, not compounded.
            - ``psr``: probabilistic Sharpe ratio, the probability that the true Sharpe ratio
              is above 0 given this one, the number of returns, their skewness and kurtosis
              (Bailey and López de Prado 2012; 0.95 and above: significant at 5 %).
              ``min_track_record``: how many rows of returns that Sharpe ratio, skewness and
              kurtosis need for a psr of 0.95 (NaN when the Sharpe ratio is not positive:
              none do).
            - Then the report's further figures (conventions in `zelvor._figures`):
              ``best_trade``, ``worst_trade``, ``expectancy``, ``sqn``, ``kelly`` over the
              closed trades, and ``avg_drawdown``, ``skew``, ``kurtosis``, ``var_95``,
              ``cvar_95`` (historical, daily), ``omega``, ``tail_ratio``, ``stability`` over
              the returns.

            NaN marks a figure without enough data (for example no losing trade for the
            profit factor). Every sum is an ordered pairwise sum: the figures are the same,
            bit for bit, whatever the thread count or the sweep backend.

            With ``compare=True`` (needs a benchmark): a DataFrame, one row per figure (the
            period's ``start`` and ``end`` first), with the ``strategy`` column and the
            ``benchmark`` column (its own return, CAGR, volatility, Sharpe, drawdowns and
            return figures on the same dates; NaN for trade figures).

        Examples
        --------
        >>> report.stats(risk_free=0.02)[["cagr", "sharpe", "max_drawdown"]].round(3)  # doctest: +SKIP
        >>> report.stats(compare=True).loc[["cagr", "sharpe", "max_drawdown"]]  # doctest: +SKIP
        """
        values = compute_stats(
            self._raw.equity,
            as_ns(self._dates),
            self._start_row,
            self._raw.trades,
            self._raw.fills,
            self._benchmark,
            risk_free,
            periods_per_year,
            self._dates.tz,
        )
        values.update(_tearsheet.extra_stats(self, risk_free, periods_per_year))
        if compare:
            return _tearsheet.compare_frame(self, values, risk_free, periods_per_year)
        return stats_series(values)

    def bootstrap(
        self, n: int = 1000, block: float | None = None, seed: int | None = None, periods_per_year: int = 252
    ) -> Bootstrap:
        """How much of this report's CAGR, Sharpe ratio and drawdown is luck: a stationary
        bootstrap (Politis and Romano 1994, from the `arch` package) of its daily returns.

        n: resampled paths (1000). block: their mean block length in rows (None: chosen from
        the returns' autocorrelation, Politis and White 2004). seed: makes the paths reproducible.
        Returns a `Bootstrap`: ``samples`` (one row of figures per path), ``percentiles()``,
        ``summary()``, ``plot()`` (a fan chart of the paths' equity). Needs ``pip install
        'zelvor[research]'``.

        >>> report.bootstrap(seed=0).percentiles().loc["cagr"]  # doctest: +SKIP
        """
        return bootstrap_report(self, n, block, seed, periods_per_year)

    def monthly_returns(self) -> pd.DataFrame:
        """Returns by calendar month over the active period: one row per year, columns 1..12
        (January..December) and ``year`` (the year's compounded return). Months outside the
        period are NaN."""
        e = self.equity.iloc[self._start_row :] if len(self._dates) else self.equity
        if self._dates.tz is not None:
            e = e.tz_localize(None)  # calendar months of the market's own zone
        index = pd.DatetimeIndex(e.index)
        month_end = e.groupby([index.year, index.month]).last()
        previous = month_end.shift(1)
        if len(previous):
            previous.iloc[0] = e.iloc[0]
        monthly = month_end / previous - 1.0
        table = monthly.unstack()
        table = table.reindex(columns=range(1, 13))
        table.index.name = "year"
        table.columns.name = "month"
        yearly = e.groupby(index.year).last()
        start_of_year = yearly.shift(1)
        if len(start_of_year):
            start_of_year.iloc[0] = e.iloc[0]
        table["year"] = (yearly / start_of_year - 1.0).to_numpy()
        return table

    def drawdowns(self, top: int | None = 5) -> pd.DataFrame:
        """The `top` deepest periods below a previous high (None: all), deepest first.

        Columns: ``start`` (first date under water), ``valley`` (date of the low), ``recovery``
        (first date back at the previous high; NaT while still under water), ``depth`` (the
        low / previous high - 1), ``rows`` (rows under water) and ``days`` (calendar days from
        start to the last date under water, plus one). Over the active period, as `stats`.

        >>> report.drawdowns(top=3)  # doctest: +SKIP
        """
        return _tearsheet.drawdown_table(self, top)

    def rolling(self, window: int = 126, *, risk_free: float = 0.0, periods_per_year: int = 252) -> pd.DataFrame:
        """Figures over the trailing `window` rows (126: about six months), one row per date.

        Columns: ``return`` (compounded over the window), ``volatility`` (annualised),
        ``sharpe`` (annualised, of returns minus ``risk_free / periods_per_year``) and, with a
        benchmark, ``beta`` to it. NaN until a full window. Conventions in `zelvor._figures`.

        >>> report.rolling(63)["sharpe"].plot()  # doctest: +SKIP
        """
        return _tearsheet.rolling_table(self, window, risk_free, periods_per_year)

    # ---- output: every form is drawn by zelvor._render

    def to_dict(self, orient: str = "table") -> dict[str, Any]:
        """The statistics (and the benchmark's), the options and the tables (equity, trades,
        drawdowns, monthly returns, actions) as plain JSON-ready data.

        Parameters
        ----------
        orient : {"table", "records"}, default "table"
            "table": each table under ``tables`` with its dtypes, infinities and timestamps
            tagged, which `Report.read_json` turns back into a Series and DataFrames with the same
            values and dtypes. "records": for readers other than pandas, each table at the top
            level as a list of objects, one per row (its index first: ``date``, ``rank``,
            ``year``, ``stock``; the monthly table's yearly return as ``whole_year``), NaN, NaT
            and infinities as None, dates as ISO 8601 text, and ``period`` (start, end) and
            ``next_period`` (the dates and flags of `actions`); `read_json` does not read it.

        Examples
        --------
        >>> report.to_dict(orient="records")["trades"][0]["pnl"]  # doctest: +SKIP
        """
        return render_data.to_dict(self, orient)

    def to_json(self, path: str | Any | None = None, *, indent: int | None = None, orient: str = "table") -> str:
        """`to_dict` (in the `orient` form) as JSON text (NaN and NaT as null, dates as ISO 8601),
        written to `path` if given."""
        return render_data.write_json(self, path, indent=indent, orient=orient)

    @staticmethod
    def read_json(data: str | dict[str, Any]) -> dict[str, Any]:
        """What `to_json` wrote (its text, or `to_dict`'s result): ``stats`` as a Series and each
        of ``tables`` as the DataFrame it was.

        Examples
        --------
        >>> Report.read_json(report.to_json())["tables"]["trades"]  # doctest: +SKIP
        """
        return render_data.from_dict(data)

    def to_text(self, *, title: str = "", max_orders: int = 15) -> str:
        """The report as printed text: the period; final value, annualised return, maximum
        drawdown, volatility, Sharpe and Sortino ratios, costs; the trade count, win rate,
        profit factor and exit reasons; the five trades with the worst MAE; and the next
        period's weights and orders (the first `max_orders`, exits first), each with its reason.

        `title`: lines printed first (none by default).

        Examples
        --------
        >>> print(report.to_text(title="Monthly momentum"))  # doctest: +SKIP
        """
        return render_text.report_text(self, title, max_orders)

    # ---- pictures

    def plot(self, ax: Axes | None = None, **kwargs: Any) -> Figure:
        """Equity (and the benchmark, rebased to 1.0) above the drawdown. With `ax`, only the
        equity is drawn there. Needs matplotlib (``pip install 'zelvor[plot]'``)."""
        return plots.plot_equity(self, ax=ax, **kwargs)

    def plot_trades(self, ax: Axes | None = None) -> Figure:
        """MAE and MFE of each closed trade against its return, winners and losers apart."""
        return plots.plot_trades(self, ax=ax)

    def plot_monthly(self, ax: Axes | None = None) -> Figure:
        """Heatmap of `monthly_returns()`."""
        return plots.plot_monthly(self, ax=ax)

    def plot_rolling(self, window: int = 126, ax: Axes | None = None) -> Figure:
        """Rolling Sharpe, volatility and beta (`rolling`) over time; with `ax`, the Sharpe only."""
        return plots.plot_rolling(self, window, ax=ax)

    def plot_distribution(self, ax: Axes | None = None) -> Figure:
        """Histograms of daily returns (VaR and CVaR marked) and monthly returns; with `ax`, daily only."""
        return plots.plot_distribution(self, ax=ax)

    def plot_drawdowns(self, top: int = 5, ax: Axes | None = None) -> Figure:
        """The underwater curve with the `top` deepest periods of `drawdowns` shaded."""
        return plots.plot_drawdowns(self, top, ax=ax)

    def plot_stock(self, stock: Any, market: Any, ax: Axes | None = None) -> Figure:
        """`stock`'s close in `market` (the run's Market, or a price Series) with its trades' entries,
        exits coloured by exit reason, and stop-loss and take-profit levels."""
        return plots.plot_stock(self, stock, market, ax=ax)

    def to_html(
        self,
        path: str | Any,
        *,
        title: str = "Backtest report",
        max_trades: int | None = 500,
        interactive: bool = False,
    ) -> None:
        """Write one self-contained HTML file: statistics (beside the benchmark's), the plots
        (inline PNG images), the deepest drawdowns, the trades (the first `max_trades`; sorted
        by a click on a heading, filtered by text and exit reason) and the next-period actions.
        Nothing is fetched when it opens. The plots need matplotlib; without it the file says so.

        With ``interactive=True`` the page adds equity, drawdown and trades charts that zoom and
        show values on hover (bokeh, inlined: about 1.3 MB more; ``pip install 'zelvor[interactive]'``,
        otherwise ImportError).

        `max_trades` is a whole number >= 0 (0: no trades listed) or None (all of them).

        >>> report.to_html("report.html", interactive=True)  # doctest: +SKIP
        """
        page.write_report(self, path, title=title, max_trades=max_trades, interactive=interactive)

    def _repr_html_(self) -> str:
        return page.summary_html(self)

    def __repr__(self) -> str:
        return render_text.report_repr(self)


def report_of_run(
    raw: RawRun,
    *,
    dates: pd.DatetimeIndex,
    stocks: pd.Index,
    signal_dates: pd.DatetimeIndex,
    start_row: int,
    touched_exit: bool,
    window: int,
    window_step: int,
    benchmark: np.ndarray | None,
    benchmark_name: str | None,
    options: dict[str, Any],
) -> Report:
    """The `Report` of one engine run: how the layer makes one (`Report()` refuses)."""
    report = Report.__new__(Report)
    report._raw = raw
    report._dates = dates
    report._stocks = stocks  # label of each position column
    report._signal_dates = signal_dates
    report._start_row = start_row
    report._touched_exit = touched_exit
    report._window = window
    report._window_step = window_step
    report._benchmark = benchmark
    report._benchmark_name = benchmark_name
    report.options = dict(options)
    return report
