"""Backtest engine."""

import datetime as _datetime
from collections.abc import MutableMapping
from types import ModuleType
from typing import Any, NotRequired, TypedDict, TypeVar, Unpack

import numpy as np
import numpy.typing as npt

_Weights = TypeVar("_Weights", bound=MutableMapping[Any, Any])

org_np: ModuleType
quelmo: ModuleType
datetime: ModuleType
RETAIN_COST_WHEN_REBALANCE: bool
RESAMPLE: bool | None
# Private: backtest_'s parameters in order as (name, kind, default); the names of the exit and fill
# reason codes and of the next-period action codes, in code order.
_PARAMETERS: tuple[tuple[str, str, Any], ...]
_REASONS: tuple[str, ...]
_ACTIONS: tuple[str, ...]

def backtest_(
    price_values: npt.NDArray[np.float64],
    close_values: npt.NDArray[np.float64],
    high_values: npt.NDArray[np.float64],
    low_values: npt.NDArray[np.float64],
    open_values: npt.NDArray[np.float64],
    price_index: npt.NDArray[np.int64],
    price_columns: npt.NDArray[np.object_],
    pos_values: npt.NDArray[np.float64],
    pos_index: npt.NDArray[np.int64],
    pos_columns: npt.NDArray[np.object_],
    resample: npt.NDArray[np.int64],
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: float = 1.0,
    take_profit: float = ...,
    trail_stop: float = ...,
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: object = True,
    quelmo_window: int = 0,
    quelmo_window_step: int = 1,
    periodically_rebalance: bool = True,
    delisting_bars: npt.ArrayLike | None = None,
) -> npt.NDArray[np.float64]:
    """Simulate a portfolio day by day and return its value at the close of every price row.

    Trades, their excursion statistics and the next-period report stay in module state: read them
    with get_trade_stocks(), get_stock_operations() and zelvor.core.quelmo.quelmo.

    Threads: one backtest_ runs at a time in the process; a call from another thread waits, without
    holding the interpreter lock, until the running one has finished. A call made from inside a
    running backtest on the same thread (from a label's or a truth value's method) raises
    RuntimeError. Reading the results afterwards is a separate step that another thread's run can
    overwrite in between; the Python layer's zelvor.backtest holds its own lock over the run and the
    reading of its results.

    Money is counted in units of the starting cash (1.0). Every trade of a row is filled at the
    row's trading price (a touched exit at its level), and the portfolio is valued at the row's close.

    Parameters
    ----------
    price_values : ndarray of float64, 2-D
        Trading prices, one row per price date and one column per stock (NaN: missing). Holdings are
        carried, revalued and traded at these prices; a missing price keeps a holding's value.
    close_values : ndarray of float64, 2-D
        Closing prices, same shape. The portfolio is valued at the close, and without touched_exit
        the close is what the exit levels are compared with.
    high_values : ndarray of float64, 2-D
        Daily highs, same shape; read only when touched_exit is true.
    low_values : ndarray of float64, 2-D
        Daily lows, same shape; read only when touched_exit is true.
    open_values : ndarray of float64, 2-D
        Daily opens, same shape; read only when touched_exit is true.
    price_index : ndarray of int64, 1-D
        The date of each price row, in nanoseconds since the epoch, ascending.
    price_columns : ndarray of object (str labels), 1-D
        The stock label (str) of each price column.
    pos_values : ndarray of float64, 2-D
        Target weights, one row per position date and one column per stock: signed fractions of the
        portfolio's value (negative: short). A row's gross weight is scaled down to 1, never up.
        Weights dated on price row i (or between rows i and i + 1) are traded on row i + 1, at its
        trading price, when row i is a rebalance row (see resample); otherwise on the row after the
        next rebalance row, unless later weights replace them.
    pos_index : ndarray of int64, 1-D
        The date of each weights row, in nanoseconds since the epoch, ascending. Before the first
        one the portfolio is cash worth 1.0.
    pos_columns : ndarray of object (str labels), 1-D
        The stock label of each weights column, matched to price_columns by its UTF-8 text.
    resample : ndarray of int64, 1-D
        Rebalance dates in nanoseconds, ascending. Each makes the last price row not later than it a
        rebalance row: a weights row not yet traded is traded on the row after it. Empty: never
        rebalance (the portfolio stays in cash).
    fee_ratio : float, default 0.001425
        Fee paid on every traded amount, as a fraction of it (0.001425 is 0.1425%). 0: no fee.
    tax_ratio : float, default 0.003
        Tax paid in addition on every amount that reduces or closes a holding, as a fraction of it.
        0: no tax.
    stop_loss : float, default 1.0
        Stop-loss level as a fraction of the holding's cost basis (0.08: a long is closed once it
        has lost 8%, a short once its price has risen 8%); the sign is ignored. 1.0: off for longs
        (a short is still closed when its price doubles).
    take_profit : float, default inf
        Take-profit level as a fraction of the cost basis (0.3: a long is closed once it has gained
        30%, a short once its price has fallen 30%); the sign is ignored. inf: off.
    trail_stop : float, default inf
        Trailing stop: a long is closed once its price ratio to the cost basis falls this far below
        its highest since the basis (0.1: a long that rose to 1.3 times its basis is closed at 1.2);
        a short once the ratio rises this far above its lowest. The sign is ignored. inf: off.
    trail_stop_activation : float, default 0.0
        The trailing stop applies once the holding has gained this fraction since its basis (0.05:
        5%); the sign is ignored. 0.0: from the start.
    touched_exit : bool, default False
        True: an exit fires within the row whose high, low or open reaches an exit level, filled at
        that level (or at the open beyond it). False: the close is compared with the levels and the
        exit is traded on the next row at its trading price. Pass the same flag to
        get_trade_stocks().
    position_limit : float, default 1.0
        Largest absolute holding of one stock at a rebalance, as a fraction of the portfolio's
        value. 1.0: no limit below the whole portfolio.
    retain_cost_when_rebalance : bool, default False
        True: a holding kept through a rebalance keeps its trade record and, unless its direction
        flips, its cost basis (its stop levels and trailing high carry on). False: every rebalance
        starts all holdings from a new basis. Stored in the module flag RETAIN_COST_WHEN_REBALANCE.
    stop_trading_next_period : object, default True
        Taken by its truth value wherever it is used. True: a stock stopped out since the last
        rebalance gets weight 0 at the next one, and a stop due on a rebalance row is carried out.
        False: the next rebalance may buy the stock back, and a stop due on a rebalance row whose
        weights keep the stock is skipped. Also shapes the next-period report.
    quelmo_window : int, default 0
        Rows after each trade's entry over which its excursion statistics are also reported, every
        quelmo_window_step rows (zelvor.core.quelmo.quelmo). 0: only the statistics at the exit.
    quelmo_window_step : int, default 1
        Spacing in rows of those reports.
    periodically_rebalance : bool, default True
        True: unless retain_cost_when_rebalance, a rebalance closes the trade record of every
        holding it keeps (at any non-zero weight) and opens a new one without costs, so trades are
        cut at rebalances. False: a kept holding's record runs on until it is closed. Stored in the
        module flag RESAMPLE; when rebalances happen is set by resample.
    delisting_bars : int64 buffer, 1-D, or None, default None
        None: no delistings. Otherwise int64 per weights column: the price row on which a holding in
        that stock is closed as delisted, at that row's trading price with fee and tax; a negative
        entry: never.

    Returns
    -------
    ndarray of float64, 1-D
        The portfolio's value at the close of each price row (1.0 on the rows before the first
        weights date).
    """

def get_trade_stocks(
    pos_columns: npt.NDArray[np.object_] | None,
    price_index: npt.NDArray[np.int64] | None,
    touched_exit: bool,
) -> tuple[list[list[Any]], dict[str, Any]]: ...
def get_stock_operations() -> dict[str, Any]: ...
def get_transactions() -> tuple[dict[str, npt.NDArray[Any]], dict[str, npt.NDArray[Any]]]: ...
def normalize_weight(weights: _Weights, position_limit: float) -> _Weights: ...
def ioft(v: float) -> _datetime.datetime: ...

class _NativeInputs:
    """The capsule `_prepare_native` returns (opaque)."""

class _Arrays(TypedDict):
    """backtest_'s arrays, and its delisting rows."""

    price_values: npt.NDArray[np.float64]
    close_values: npt.NDArray[np.float64]
    high_values: npt.NDArray[np.float64]
    low_values: npt.NDArray[np.float64]
    open_values: npt.NDArray[np.float64]
    price_index: npt.NDArray[np.int64]
    price_columns: npt.NDArray[np.object_]
    pos_values: npt.NDArray[np.float64]
    pos_index: npt.NDArray[np.int64]
    pos_columns: npt.NDArray[np.object_]
    resample: npt.NDArray[np.int64]
    delisting_bars: NotRequired[npt.ArrayLike | None]

def _prepare_native(
    **arrays: Unpack[_Arrays],
) -> _NativeInputs:
    """Private: check and hold backtest_'s arrays for `_run_native`.

    The arrays are checked as backtest_ checks them, the labels matched and the gross weight of
    every weights row (``org_np.abs(row).sum()``) computed once. pos_values must have
    len(pos_index) rows and len(pos_columns) columns (ValueError otherwise). The arrays are held,
    not copied: they must not change while the result is in use.
    """

class _RunOptions(TypedDict, total=False):
    """backtest_'s options after its arrays but delisting_bars (with backtest_'s defaults), the
    statistics to compute inside the run, and whether to keep only what the statistics read."""

    fee_ratio: float
    tax_ratio: float
    stop_loss: float
    take_profit: float
    trail_stop: float
    trail_stop_activation: float
    touched_exit: bool
    position_limit: float
    retain_cost_when_rebalance: bool
    stop_trading_next_period: object
    quelmo_window: int
    quelmo_window_step: int
    periodically_rebalance: bool
    stats: tuple[int, float, float, npt.NDArray[np.float64] | None, npt.NDArray[np.int64]] | None
    stats_only: bool
    excursions: bool

def _run_native(
    inputs: _NativeInputs,
    **options: Unpack[_RunOptions],
) -> dict[str, Any]:
    """Private: one backtest over `_prepare_native`'s inputs, bit for bit the run backtest_ makes.

    The simulation runs without the interpreter lock (calls from several threads run at once) and
    leaves nothing in module state: the flags are taken as values, stop_trading_next_period by its
    truth value once. Errors are those of backtest_ (same type and message).

    Returns a dict:

    - ``equity``: float64 per price row (what backtest_ returns).
    - ``trades``: the ledger of get_transactions() (sid, entry_row, exit_row, position,
      entry_price, exit_price, basis, pnl, reason, listed) and ``stats``, float64 of shape
      (listed trades, L): per trade the recorder lists, in order, its statistics array (window
      groups, then the six exit figures).
    - ``recorded``: the recorder's records: sid, entry_row, exit_row (-1 open), position.
    - ``fills``: the fills of get_transactions().
    - ``operations``: weight_sid/weight and next_weight_sid/next_weight (the "weights" and
      "next_weights" of get_stock_operations(), in their order), action_sid/action (uint8 codes
      of zelvor._engine.ACTIONS, in the actions' order), weight_time, next_weight_time.
    - ``stats``, with ``stats=(start_row, risk_free, periods_per_year, benchmark or None, dates)``:
      the run's statistics as `_stats` gives them for its equity, trades and fills, computed in
      the run without the interpreter lock (the request is checked before the run).

    With ``stats_only=True`` only what a run's statistics read: ``equity``, ``trades``
    (entry_row, exit_row, basis, pnl) and ``fills`` (value_before, value_after, fee, tax), the same
    bits as the full run's (and ``stats`` when asked). The excursions are not followed, so their own
    failures (a zero close after an entry, window_step 0) are not raised.

    With ``excursions=False`` the trades are not followed either but kept for `_excursions`:
    ``trades`` has no ``stats``, and ``recorded`` gives way to ``followups``, `_excursions`'
    keyword arguments for them: the run's ``price_values`` and ``close_values``; per listed
    trade, in the recorder's order, ``price_column``, ``entry_row``, ``exit_row`` (int32) and
    ``flags`` (uint8: 1 long, 2 entry transaction, 4 exit transaction); the run's ``window``,
    ``window_step``, ``fee_ratio`` and ``tax_ratio``. The stock indices and rows of trades,
    fills and operations are then int32. The failures of following the trades are raised by
    `_excursions` instead.
    """

class _Followups(TypedDict):
    """The ``followups`` of `_run_native(..., excursions=False)`."""

    flags: npt.NDArray[np.uint8]
    price_column: npt.NDArray[np.int32]
    entry_row: npt.NDArray[np.int32]
    exit_row: npt.NDArray[np.int32]
    window: int
    window_step: int
    fee_ratio: float
    tax_ratio: float
    price_values: npt.NDArray[np.float64]
    close_values: npt.NDArray[np.float64]

def _excursions(
    **followups: Unpack[_Followups],
) -> npt.NDArray[np.float64]:
    """Private: the excursion statistics of the trades a `_run_native` call with
    ``excursions=False`` left to follow (called with its ``followups`` as keyword arguments).

    float64 of shape (trades, L), each row the window groups then the six exit figures: bit for
    bit the ``trades["stats"]`` of the run with ``excursions=True``, and where that run fails
    following a trade, the same exception (type and message). Runs without the interpreter lock.
    """

def _stats(
    equity: npt.NDArray[np.float64],
    dates: npt.NDArray[np.int64],
    start_row: int,
    pnl: npt.NDArray[np.float64],
    basis: npt.NDArray[np.float64],
    entry_row: npt.NDArray[np.int64],
    exit_row: npt.NDArray[np.int64],
    value_before: npt.NDArray[np.float64],
    value_after: npt.NDArray[np.float64],
    fee: npt.NDArray[np.float64],
    tax: npt.NDArray[np.float64],
    benchmark: npt.NDArray[np.float64] | None = None,
    risk_free: float = 0.0,
    periods_per_year: float = 252,
) -> dict[str, float | int]:
    """Private: the statistics of one run from its arrays, computed without the interpreter lock.

    One equity value, date (int64 nanoseconds) and benchmark price per market row; per trade its
    pnl, basis, entry_row and exit_row (-1: open); per fill value_before, value_after, fee and tax.
    Returns the figures of `zelvor.Report.stats` but the period and the report's further figures,
    in their order: floats, ints for ``trades`` and ``max_drawdown_duration``; ``alpha`` and
    ``beta`` only with a benchmark. Arrays that do not agree (lengths, start_row, trade rows
    outside the equity, periods_per_year <= 0) are a ValueError before any figure is computed.
    """
