"""The tables of a `Report`, built from the arrays of its run: trades, transactions, the window
statistics and the next period's actions.

Each function takes the run's arrays and the labels it needs and returns a new DataFrame; the
`Report` properties that call them document the columns.
"""

from __future__ import annotations

import functools
import math
from typing import Any, cast

import numpy as np
import pandas as pd

from zelvor import _engine
from zelvor._dates import as_ns
from zelvor._inputs import ALIASES

__all__ = [
    "STAT_COLUMNS",
    "action_names",
    "actions_frame",
    "listed_rows",
    "trades_frame",
    "transactions_frame",
    "window_stats_frame",
]

# What the report calls each of the engine's next-period actions, and why the action is there,
# in the order of the engine's action codes (its own table, `zelvor._engine.ACTIONS`).
_ACTION_WORDS = (
    ("enter", "buy: the pending rebalance gives it a weight"),
    ("exit", "sell: the pending rebalance drops it"),
    ("hold", "keep, re-weighted at the pending rebalance"),
    ("stop_loss", "stop-loss exit due at the next session"),
    ("take_profit", "take-profit exit due at the next session"),
    ("stop_loss_reenter", "stop-loss exit due; the next weights hold it again"),
    ("take_profit_reenter", "take-profit exit due; the next weights hold it again"),
    ("stopped_out", "stopped out (stop loss) since the last rebalance"),
    ("took_profit", "took profit since the last rebalance"),
)


@functools.cache
def action_names() -> dict[str, tuple[str, str]]:
    """The engine's action name -> (the report's name, why), in code order; read from the engine
    at the first use, so importing the package does not load it."""
    return dict(zip(_engine.ACTIONS, _ACTION_WORDS, strict=True))


# The recorder's six figures per trade (and per window group), in its order.
STAT_COLUMNS = ("mae", "mfe", "bmfe", "mdd", "profit_rows", "trade_return")


def listed_rows(trades: dict[str, np.ndarray]) -> np.ndarray:
    """The rows of the trades the recorder lists (its statistics belong to these, in order)."""
    listed = trades.get("listed")
    return np.flatnonzero(listed) if listed is not None else np.arange(len(trades["sid"]))


def _dates_at(dates: pd.DatetimeIndex, dates_ns: np.ndarray, rows: np.ndarray, valid: np.ndarray) -> pd.DatetimeIndex:
    """The dates of `rows`, NaT where not `valid`."""
    if not len(rows):
        return dates[:0]
    ns = dates_ns[np.where(valid, rows, 0)]
    ns[~valid] = np.iinfo(np.int64).min  # NaT
    index = pd.DatetimeIndex(ns.view("datetime64[ns]"))
    return index.tz_localize("UTC").tz_convert(dates.tz) if dates.tz is not None else index


def trades_frame(
    trades: dict[str, np.ndarray],
    stats: np.ndarray,
    listed: np.ndarray,
    dates: pd.DatetimeIndex,
    stocks: pd.Index,
    touched_exit: bool,
) -> pd.DataFrame:
    """`Report.trades` from the run's ledger `trades`, the recorder's `stats` of the `listed`
    rows, the market's `dates` and the weights' `stocks`."""
    t = trades
    # Kept as int32; the table's row counts are int64.
    entry = t["entry_row"].astype(np.int64)
    exit_ = t["exit_row"].astype(np.int64)
    closed = exit_ >= 0
    dates_ns = as_ns(dates)
    signal_exit = exit_ if touched_exit else exit_ - 1
    figures = np.full((len(entry), len(STAT_COLUMNS)), np.nan)
    if len(stats):
        figures[listed] = stats[:, -6:]
    with np.errstate(invalid="ignore", divide="ignore"):
        ret = t["pnl"] / np.abs(t["basis"])
    frame = pd.DataFrame(
        {
            "stock": stocks[t["sid"]],
            "entry_date": _dates_at(dates, dates_ns, entry, np.ones(len(entry), dtype=bool)),
            "exit_date": _dates_at(dates, dates_ns, exit_, closed),
            "entry_signal_date": _dates_at(dates, dates_ns, entry - 1, entry >= 1),
            "exit_signal_date": _dates_at(dates, dates_ns, signal_exit, closed & (signal_exit >= 0)),
            "weight": t["position"],
            "rows": np.where(closed, exit_, len(dates)) - entry,
            "entry_price": t["entry_price"],
            "exit_price": t["exit_price"],
            "pnl": t["pnl"],
            "return": ret,
            "exit_reason": pd.Categorical.from_codes(
                t["reason"].astype(np.int64), categories=pd.Index(_engine.REASONS)
            ),
            **{name: figures[:, k] for k, name in enumerate(STAT_COLUMNS)},
        }
    )
    rows_in_profit = frame["profit_rows"].to_numpy()
    if np.isfinite(rows_in_profit).all():  # a count of rows: whole numbers
        frame["profit_rows"] = rows_in_profit.astype(np.int64)
    return frame


def transactions_frame(fills: dict[str, np.ndarray], dates: pd.DatetimeIndex, stocks: pd.Index) -> pd.DataFrame:
    """`Report.transactions` from the run's `fills`."""
    f = fills
    with np.errstate(invalid="ignore", divide="ignore"):
        before = f["value_before"] / f["balance"]
        after = f["value_after"] / f["balance"]
    return pd.DataFrame(
        {
            "date": dates[f["row"]] if len(f["row"]) else dates[:0],
            "stock": stocks[f["sid"]],
            "weight_before": before,
            "weight_after": after,
            "price": f["price"],
            "fee": f["fee"],
            "tax": f["tax"],
            "reason": pd.Categorical.from_codes(
                f["reason"].astype(np.int64), categories=pd.Index(_engine.FILL_REASONS)
            ),
        }
    )


def window_stats_frame(stats: np.ndarray, listed: np.ndarray, window: int, window_step: int) -> pd.DataFrame | None:
    """`Report.window_stats` from the recorder's `stats` of the `listed` trades (None without a window)."""
    if window <= 0:
        return None
    groups = (window - 1) // window_step + 1
    n = len(stats)
    values = stats[:, : 6 * groups].reshape(n * groups, 6) if n else np.empty((0, 6))
    values = np.where(np.all(values == -1.0, axis=1, keepdims=True), np.nan, values)
    index = pd.MultiIndex.from_product([listed[:n], np.arange(groups) * window_step], names=["trade", "offset"])
    return pd.DataFrame(values, index=index, columns=list(STAT_COLUMNS))


def actions_frame(
    operations: dict[str, Any],
    stocks: pd.Index,
    signal_dates: pd.DatetimeIndex,
    dates: pd.DatetimeIndex,
    resample: object,
) -> pd.DataFrame:
    """`Report.actions` from the run's end-of-run `operations`; `resample` as given to the run."""
    ops = operations
    actions = ops.get("actions", {})
    weights = ops.get("weights", {})
    next_weights = ops.get("next_weights", {})
    sids = sorted(set(actions) | set(weights) | set(next_weights))
    names = action_names()
    frame = pd.DataFrame(
        {
            "action": [names.get(actions[s], (actions[s], ""))[0] if s in actions else None for s in sids],
            "why": [names.get(actions[s], ("", actions[s]))[1] if s in actions else "" for s in sids],
            "weight": [float(weights.get(s, math.nan)) for s in sids],
            "next_weight": [float(next_weights.get(s, math.nan)) for s in sids],
        },
        index=pd.Index(stocks[sids] if sids else stocks[:0], name="stock"),
    )

    def signal(key: str) -> pd.Timestamp:
        row = ops.get(key, -1)
        if row is not None and 0 <= row < len(signal_dates):
            return signal_dates[row]
        return cast(pd.Timestamp, pd.NaT)

    frame.attrs["weight_date"] = signal("weight_time")
    frame.attrs["next_weight_date"] = signal("next_weight_time")
    end = period_end(resample, dates)
    frame.attrs["partial_period"] = end is not pd.NaT and end > dates[-1].normalize()
    frame.attrs["period_end"] = end
    return frame


def period_end(resample: object, dates: pd.DatetimeIndex) -> pd.Timestamp:
    """The calendar end of the `resample` period holding the last of `dates` (NaT: no alias)."""
    if not isinstance(resample, str) or not len(dates):
        return cast(pd.Timestamp, pd.NaT)
    try:
        offset = pd.tseries.frequencies.to_offset(ALIASES.get(resample, resample))
        last = dates[-1].normalize()
        end = offset.rollforward(last)
    except (ValueError, TypeError, AttributeError):  # an offset without calendar periods
        return cast(pd.Timestamp, pd.NaT)
    return cast(pd.Timestamp, end) if end > last else cast(pd.Timestamp, last)
