"""One engine run under the lock, and everything the `Report` needs copied out of module state.

The engine keeps its results (trades, statistics, next-period operations, the fill ledger) in
module state that the next run replaces; `run` holds a process-wide lock for the run and the
reading, so a `RawRun` is complete and independent of any later run.
"""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass
from typing import Any

import numpy as np

__all__ = ["ACTIONS", "REASONS", "RawRun", "run"]

# Codes of the ledger's `reason` arrays, in code order.
REASONS = ("rebalance", "stop_loss", "take_profit", "trail_stop", "delisted", "open")
# The engine's next-period action names, in the order of the native result's action codes.
ACTIONS = ("enter", "exit", "hold", "sl", "tp", "sl_enter", "tp_enter", "sl_", "tp_")

_LOCK = threading.Lock()
_lock_owner: int | None = None  # the thread inside `run`, if any


def _new_lock_in_child() -> None:
    """After a fork the child has only the forking thread: a run another thread had under way never
    ends there, and its hold on the lock would make every run of the child wait forever. The child
    gets a fresh lock; a run of the forking thread itself (a fork from one of its callbacks) goes on
    and keeps its own until it ends."""
    global _LOCK, _lock_owner
    if _lock_owner != threading.get_ident():
        _LOCK = threading.Lock()
        _lock_owner = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_new_lock_in_child)


@dataclass(frozen=True, slots=True)
class RawRun:
    """The engine's results of one run, as plain arrays (nothing here refers to module state).

    equity: the array `backtest_` returned (the portfolio value at each price row's close).
    trades: per trade in the recorder's order: ``sid`` (position column), ``entry_row``,
        ``exit_row`` (-1 open), ``position`` (size at entry, a fraction of the portfolio),
        ``entry_price``, ``exit_price`` (the fills; the last row's trading price for an open
        trade), ``basis`` (money put in before fees: the value at entry plus later additions),
        ``pnl`` (contribution to the portfolio value, costs included; open trades marked at the
        last close), ``reason`` (exit reason code, see `REASONS`), ``listed`` (False for a
        holding an intraday exit filled at exactly 0: a trade the recorder does not list, which
        has no statistics).
    fills: per change of a holding, in the engine's order: ``row``, ``sid``, ``reason``,
        ``value_before``, ``value_after`` (money), ``balance`` (portfolio value the weights
        refer to), ``price`` (the fill price), ``fee``, ``tax`` (money).
    stats: the recorder's statistics array per listed trade (same order as `trades`).
    operations: the next-period operations dictionary (copied).
    """

    equity: np.ndarray
    trades: dict[str, np.ndarray]
    fills: dict[str, np.ndarray]
    stats: list[np.ndarray]
    operations: dict[str, Any]


def run(arrays: dict[str, Any], options: dict[str, Any]) -> RawRun:
    """Run `backtest_` with the engine's arguments and copy out its results."""
    from zelvor.core import quelmo, trevane

    global _lock_owner
    with _LOCK:
        _lock_owner = threading.get_ident()
        try:
            equity = trevane.backtest_(**arrays, **options)
            trades, fills = trevane.get_transactions()
            stats = list(quelmo.quelmo)
            ops = trevane.get_stock_operations()
        finally:
            _lock_owner = None
    # The nested dictionaries are replaced (not changed) by the next run, but a caller of
    # get_stock_operations could still change them: keep copies.
    operations = {k: dict(v) if isinstance(v, dict) else v for k, v in ops.items()}
    return RawRun(equity=equity, trades=trades, fills=fills, stats=stats, operations=operations)
