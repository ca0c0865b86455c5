"""One engine run on the native result path: inputs prepared once, every result of a run as arrays.

`prepare_inputs` hands the engine's arrays to `trevane._prepare_native` (labels matched, gross
weights computed, once); `run` calls `trevane._run_native`, which simulates without the interpreter
lock and returns its results in one dict, so runs on several threads go on at once and share
nothing mutable. No lock, no module state.
"""

from __future__ import annotations

import threading
from typing import Any

import numpy as np

__all__ = ["RawRun", "excursion_arguments", "prepare_inputs", "run", "run_for_stats"]


def __getattr__(name: str) -> tuple[str, ...]:
    """`REASONS`: the names of the ledger's `reason` codes, in code order (a trade still held at
    the end is "open"); `FILL_REASONS`: those a fill can have (all but "open"); `ACTIONS`: the
    engine's next-period action names, in the order of the native result's action codes. All are
    the engine's own, read at the first use (importing the package does not load the engine)."""
    if name in ("REASONS", "ACTIONS"):
        from zelvor.core import trevane

        return getattr(trevane, "_" + name)
    if name == "FILL_REASONS":
        reasons: tuple[str, ...] = __getattr__("REASONS")
        return reasons[: reasons.index("open")]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class RawRun:
    """The engine's results of one run, as plain arrays (nothing here refers to module state).

    equity: the portfolio value at each price row's close.
    trades: per trade in the engine's order: ``sid`` (position column), ``entry_row``,
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
        Rows and stock indices are int32 in a run made by `run` (int64 in the engine's other
        results), reasons uint8.
    stats: float64 of shape (listed trades, L): the recorder's statistics of each listed trade
        (the window groups, then the six figures at the exit), in the order of `trades`. A run
        made by `run` follows the trades' excursions only when this is first read, in one native
        call without the interpreter lock (bit for bit what following them during the run
        gives, and the same exception where that fails), and keeps the result.
    figures: the run's statistics when the run was asked for them (see `run`), else None.
    operations: the next-period operations dictionary ("actions", "weights", "next_weights",
        "weight_time", "next_weight_time"), made from the engine's arrays on first use.
    """

    __slots__ = (
        "equity",
        "trades",
        "fills",
        "figures",
        "_stats",
        "_followups",
        "_follow_lock",
        "_operations",
        "_native_operations",
    )

    def __init__(
        self,
        equity: np.ndarray,
        trades: dict[str, np.ndarray],
        fills: dict[str, np.ndarray],
        stats: np.ndarray | list[np.ndarray] | None,
        operations: dict[str, Any],
        figures: dict[str, Any] | None = None,
        followups: dict[str, Any] | None = None,
    ) -> None:
        """`stats` as the engine gave them, or None with `followups` (what ``_run_native`` with
        ``excursions=False`` returns under that name) to follow the trades at the first read."""
        self.equity = equity
        self.figures = figures
        self.trades = trades
        self.fills = fills
        if isinstance(stats, list):
            stats = np.stack(stats) if stats else np.empty((0, 6))
        self._stats: np.ndarray | None = stats
        self._followups = followups
        self._follow_lock = threading.Lock() if stats is None else None
        native = "action_sid" in operations
        self._native_operations = operations if native else None
        self._operations: dict[str, Any] | None = None if native else operations

    @property
    def stats(self) -> np.ndarray:
        stats = self._stats
        if stats is None:
            assert self._follow_lock is not None and self._followups is not None
            with self._follow_lock:  # one follow-up, however many threads ask at once
                if self._stats is None:
                    from zelvor.core import trevane

                    self._stats = trevane._excursions(**excursion_arguments(self.trades, self._followups))
                    self._followups = None  # the prices are no longer needed
                stats = self._stats
        return stats

    @property
    def operations(self) -> dict[str, Any]:
        if self._operations is None:
            from zelvor.core import trevane

            ops = self._native_operations or {}
            self._operations = {
                "actions": dict(
                    zip(ops["action_sid"].tolist(), (trevane._ACTIONS[c] for c in ops["action"]), strict=True)
                ),
                "weights": dict(zip(ops["weight_sid"].tolist(), ops["weight"].tolist(), strict=True)),
                "next_weights": dict(zip(ops["next_weight_sid"].tolist(), ops["next_weight"].tolist(), strict=True)),
                "weight_time": ops["weight_time"],
                "next_weight_time": ops["next_weight_time"],
            }
        return self._operations


def excursion_arguments(trades: dict[str, np.ndarray], followups: dict[str, Any]) -> dict[str, Any]:
    """`trevane._excursions`' arguments for a run's ``followups`` (see ``_run_native`` with
    ``excursions=False``) and its ledger `trades`. Where the run found the trades' rows and
    columns implied by the ledger, it kept only ``implied_by`` (each stock's price column and
    the run's last row): the listed trades' entry rows, their exit rows (the last row for a
    trade still open) and their stocks' price columns are made here, as int32."""
    implied = followups.get("implied_by")
    if implied is None:
        return followups
    listed = trades["listed"]
    exit_row = trades["exit_row"][listed]
    arguments = {k: v for k, v in followups.items() if k != "implied_by"}
    arguments["price_column"] = implied["price_column"][trades["sid"][listed]]
    arguments["entry_row"] = trades["entry_row"][listed]
    arguments["exit_row"] = np.where(exit_row >= 0, exit_row, np.int32(implied["last_row"])).astype(np.int32)
    return arguments


def prepare_inputs(arrays: dict[str, Any]) -> Any:
    """The engine's prepared inputs for many runs over `arrays` (backtest_'s array arguments and
    ``delisting_bars``); the arrays must not change afterwards."""
    from zelvor.core import trevane

    return trevane._prepare_native(**arrays)


def run(inputs: Any, options: dict[str, Any], stats: tuple | None = None) -> RawRun:
    """One run over `inputs` (made by `prepare_inputs`, or the arrays themselves, prepared for this
    run alone) with backtest_'s scalar `options`. With `stats` (made by `zelvor._stats.request`)
    the run's statistics are computed in the run, without the interpreter lock, as
    ``RawRun.figures``. The trades' excursions are followed when ``RawRun.stats`` is first read
    (a failure of theirs, such as a zero close after an entry, is raised there)."""
    from zelvor.core import trevane

    if isinstance(inputs, dict):
        inputs = prepare_inputs(inputs)

    result = trevane._run_native(inputs, **options, stats=stats, excursions=False)
    return RawRun(
        result["equity"],
        result["trades"],
        result["fills"],
        None,
        result["operations"],
        result.get("stats"),
        followups=result["followups"],
    )


def run_for_stats(inputs: Any, options: dict[str, Any], stats: tuple) -> dict[str, Any]:
    """The run's equity and its statistics (`stats` made by `zelvor._stats.request`), computed in
    the run without the interpreter lock, bit for bit those of `run`: `_run_native`'s dict
    (``equity``, ``stats``, and ``moments`` and ``returns`` when asked for). Cheaper: the engine
    neither follows the trades' excursions nor builds the end-of-run operations. `inputs` as for
    `run`."""
    from zelvor.core import trevane

    if isinstance(inputs, dict):
        inputs = prepare_inputs(inputs)
    result: dict[str, Any] = trevane._run_native(inputs, **options, stats=stats, stats_only=True)
    return result
