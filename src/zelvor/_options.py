"""The options of `zelvor.backtest`, described once.

`TABLE` lists every option after ``weights`` and ``market`` in the order of `backtest`'s
signature: its name, default, "off" value, accepted values, type, unit and a one-line summary.
What is derived from it: the checks of the scalar options (`zelvor._validate.OPTIONS`), the
engine's keyword for each (`ENGINE_NAMES`), the defaults of `Prepared.run` (`DEFAULTS`), the
option names of `prepare` and of the sweeps, and the options page of the documentation. A test
holds `backtest`'s signature and docstring, and the engine's own parameter table, to it.

This module imports nothing of the package, so the documentation build can read it without
compiling the engine.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

__all__ = [
    "DEFAULTS",
    "ENGINE_NAMES",
    "NAMES",
    "PREPARE_NAMES",
    "RUN_NAMES",
    "TABLE",
    "NO_OFF",
    "Constraint",
    "Option",
]


class _NoOff:
    """The "off" of an option that has none (None is an "off" of its own: stop levels, delistings)."""

    def __repr__(self) -> str:
        return "NO_OFF"


NO_OFF: Any = _NoOff()


@dataclass(frozen=True)
class Constraint:
    """What one scalar option accepts.

    kind: "real" (a real number), "int" (an integral number) or "bool" (True/False).
    low/high: bounds (None: unbounded); low_open/high_open: the bound itself is excluded.
    off: None is accepted and means "off" (the engine's own default is then passed).
    slip: a value at or above this is legal but almost surely a unit slip (a `UnitWarning`).
    dead: "long" or "short": a value at or above 1 (100 %) can never act on a holding of this
        side, so it is refused when the weights hold only that side.
    needs: the option that must be on for this one to act (the slip checks skip it otherwise).
    meaning: what the value measures, for the messages ("a loss of").
    """

    kind: str
    low: float | None = None
    low_open: bool = False
    high: float | None = None
    high_open: bool = False
    off: bool = False
    slip: float | None = None
    dead: str | None = None
    needs: str | None = None
    meaning: str = ""

    def describe(self) -> str:
        what = {"real": "a real number", "int": "an integer", "bool": "True or False"}[self.kind]
        bounds = []
        if self.low is not None:
            bounds.append(f"{'>' if self.low_open else '>='} {self.low:g}")
        if self.high is not None:
            bounds.append(f"{'<' if self.high_open else '<='} {self.high:g}")
        if bounds:
            what += " " + " and ".join(bounds)
        if self.off:
            what += " (or None for off)"
        return what


@dataclass(frozen=True)
class Option:
    """One option of `backtest`.

    name: the keyword. engine: the engine's (`zelvor.core.trevane.backtest_`) keyword for it, ""
        for an option `prepare` turns into arrays.
    default: what an omitted option is. off: the value that turns it off (`NO_OFF` for an option
        without one).
    rule: the accepted values of a scalar option (checked at every run); None for the options
        `prepare` checks.
    annotation: the signature's type hint; doc_type: the type as the docstring writes it.
    unit: what a number counts ("" for none). summary: one line of what it does.
    """

    name: str
    engine: str
    default: Any
    off: Any
    rule: Constraint | None
    annotation: str
    doc_type: str
    unit: str
    summary: str

    @property
    def accepted(self) -> str:
        """The accepted values in words (the scalar options' from their rule)."""
        return self.rule.describe() if self.rule is not None else self.doc_type


_FRACTION = "fraction (0.01 = 1 %)"
_OF_BASIS = "fraction of the cost basis (0.08 = 8 %)"
_INT31 = 2**31 - 1  # the engine holds the window as a 32-bit signed int


def _cost(name: str, default: float, meaning: str, summary: str) -> Option:
    """A cost ratio: a fraction of the traded amount below 1; 0 is off."""
    rule = Constraint("real", low=0.0, high=1.0, high_open=True, slip=0.02, meaning=meaning)
    return Option(name, name, default, 0.0, rule, "float", "float", _FRACTION, summary)


def _level(name: str, slip: float, dead: str | None, meaning: str, unit: str, summary: str) -> Option:
    """An exit level: a positive fraction, None (the default) for off."""
    rule = Constraint("real", low=0.0, low_open=True, off=True, slip=slip, dead=dead, meaning=meaning)
    return Option(name, name, None, None, rule, "float | None", "float or None", unit, summary)


def _flag(name: str, default: bool, summary: str) -> Option:
    return Option(name, name, default, False, Constraint("bool"), "bool", "bool", "", summary)


def _data(name: str, default: Any, off: Any, annotation: str, doc_type: str, summary: str) -> Option:
    """An input `prepare` checks and turns into arrays once for many runs."""
    return Option(name, "", default, off, None, annotation, doc_type, "", summary)


# Slips: costs of 2 % or more per trade are plausible only as percent given for a fraction
# (fee_ratio=0.1425 for 0.1425 %). A stop-loss of 100 % or more never fires on a long holding (it
# can lose at most everything), nor a take-profit or a trailing activation of 100 % or more on a
# short one (it can gain at most everything); a trailing distance of 100 % of the entry price, or
# a profit target of 1,000 %, is legal but almost surely 8 meant as 8 %.
TABLE: tuple[Option, ...] = (
    _data(
        "resample", None, NO_OFF, "str | Sequence[DateLike] | pd.DatetimeIndex | None",
        "str, sequence of dates or None",
        "When the portfolio may rebalance: None on every weights date, a pandas offset alias, or dates.",
    ),
    _data(
        "trade_at", "close", NO_OFF, "str | pd.DataFrame", '{"close", "open", "high", "low"} or DataFrame',
        "The price every trade is filled at: a field of the market or a DataFrame of prices.",
    ),
    _cost("fee_ratio", 0.001425, "the fee on every traded amount", "Fee on every traded amount."),
    _cost(
        "tax_ratio", 0.003, "the tax on every sale",
        "Tax on every amount that reduces a holding; fee_ratio + tax_ratio stays below 1.",
    ),
    _level(
        "stop_loss", 1.0, "long", "the loss at which a holding is sold", _OF_BASIS,
        "Exit a holding that has lost this fraction since its cost basis.",
    ),
    _level(
        "take_profit", 10.0, "short", "the gain at which a holding is sold", _OF_BASIS,
        "Exit a holding that has gained this fraction since its cost basis.",
    ),
    _level(
        "trail_stop", 1.0, None, "the fall from the best level, in parts of the entry price",
        "fraction of the entry price", "Exit a holding that falls this far below its best level since entry.",
    ),
    Option(
        "trail_stop_activation", "trail_stop_activation", 0.0, 0.0,
        Constraint(
            "real", low=0.0, slip=10.0, dead="short", needs="trail_stop",
            meaning="the gain after which the trailing stop starts",
        ),
        "float", "float", _OF_BASIS, "The gain after which the trailing stop starts (0: at once).",
    ),
    _flag(
        "touched_exit", False,
        "Exits fill within the day at the touched level (True) or at the next day's trading price (False).",
    ),
    Option(
        "position_limit", "position_limit", 1.0, 1.0, Constraint("real", low=0.0, low_open=True), "float", "float",
        "fraction of the portfolio", "Largest absolute weight of one stock (1.0: no limit beyond the portfolio).",
    ),
    _flag(
        "retain_cost_when_rebalance", False,
        "A holding kept through a rebalance keeps its cost basis, stops and trade record.",
    ),
    _flag("stop_trading_next_period", True, "Stocks stopped out since the last rebalance stay out of the next one."),
    _flag("periodically_rebalance", True, "With False, holdings kept through a rebalance continue their trade record."),
    Option(
        "window", "quelmo_window", 0, 0, Constraint("int", low=0, high=_INT31), "int", "int", "rows",
        "Also record each trade's excursion statistics over its first `window` rows.",
    ),
    Option(
        "window_step", "quelmo_window_step", 1, NO_OFF, Constraint("int", low=1, high=_INT31), "int", "int", "rows",
        "The spacing of those records.",
    ),
    _data(
        "delisting", None, None, "str | pd.Series | None", 'None, "auto" or Series',
        'Sell delisted stocks: "auto" after their last price, or a Series stock -> date.',
    ),
    _data(
        "benchmark", None, None, "pd.Series | str | None", "None, Series or str",
        "A price Series or a stock of the market; adds alpha and beta to the statistics.",
    ),
)  # fmt: skip

NAMES: tuple[str, ...] = tuple(o.name for o in TABLE)
# The options `prepare` turns into arrays once, and the scalar ones every run checks.
PREPARE_NAMES: tuple[str, ...] = tuple(o.name for o in TABLE if o.rule is None)
RUN_NAMES: tuple[str, ...] = tuple(o.name for o in TABLE if o.rule is not None)
DEFAULTS: dict[str, Any] = {o.name: o.default for o in TABLE if o.rule is not None}
ENGINE_NAMES: dict[str, str] = {o.name: o.engine for o in TABLE if o.rule is not None}
