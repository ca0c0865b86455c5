"""The scalar options of `zelvor.backtest`: one table of constraints and one checker.

Every option is checked before the engine runs; a bad value is a TypeError (wrong kind) or a
ValueError (out of range) whose message names the option, what it must be and what it got.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any

__all__ = ["OPTIONS", "Constraint", "check_options"]


@dataclass(frozen=True)
class Constraint:
    """What one option accepts.

    kind: "real" (a real number), "int" (an integral number) or "bool" (True/False).
    low/high: bounds (None: unbounded); low_open/high_open: the bound itself is excluded.
    off: None is accepted and means "off" (the engine's own default is then passed).
    engine: the value the engine receives for None.
    """

    kind: str
    low: float | None = None
    low_open: bool = False
    high: float | None = None
    high_open: bool = False
    off: bool = False
    engine: Any = None

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


# The engine's exit levels are ratios to the cost basis: "off" is a level never reached.
_INF = math.inf

OPTIONS: dict[str, Constraint] = {
    "fee_ratio": Constraint("real", low=0.0, high=1.0, high_open=True),
    "tax_ratio": Constraint("real", low=0.0, high=1.0, high_open=True),
    "stop_loss": Constraint("real", low=0.0, low_open=True, off=True, engine=1.0),
    "take_profit": Constraint("real", low=0.0, low_open=True, off=True, engine=_INF),
    "trail_stop": Constraint("real", low=0.0, low_open=True, off=True, engine=_INF),
    "trail_stop_activation": Constraint("real", low=0.0),
    "touched_exit": Constraint("bool"),
    "position_limit": Constraint("real", low=0.0, low_open=True),
    "retain_cost_when_rebalance": Constraint("bool"),
    "stop_trading_next_period": Constraint("bool"),
    "periodically_rebalance": Constraint("bool"),
    "window": Constraint("int", low=0, high=2**31 - 1),
    "window_step": Constraint("int", low=1, high=2**31 - 1),
}


def _fail(name: str, rule: Constraint, value: object, error: type[Exception]) -> Exception:
    return error(f"{name} must be {rule.describe()}, got {value!r}")


def _check_one(name: str, rule: Constraint, value: object) -> Any:
    if value is None:
        if rule.off:
            return rule.engine
        raise _fail(name, rule, value, TypeError)
    if rule.kind == "bool":
        # numpy.bool_ is not a numbers.Integral; 0/1 ints are accepted as truth values.
        if isinstance(value, bool) or type(value).__name__ == "bool_" or value in (0, 1):
            return bool(value)
        raise _fail(name, rule, value, TypeError)
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise _fail(name, rule, value, TypeError)
    if rule.kind == "int":
        if isinstance(value, numbers.Integral):
            number: float = int(value)
        elif math.isfinite(value) and float(value).is_integer():
            number = int(float(value))
        else:
            raise _fail(name, rule, value, TypeError)
    else:
        number = float(value)
        if math.isnan(number):
            raise _fail(name, rule, value, ValueError)
    if rule.low is not None and (number < rule.low or (rule.low_open and number == rule.low)):
        raise _fail(name, rule, value, ValueError)
    if rule.high is not None and (number > rule.high or (rule.high_open and number == rule.high)):
        raise _fail(name, rule, value, ValueError)
    return number


def check_options(values: dict[str, Any]) -> dict[str, Any]:
    """The options converted for the engine (None stop levels become the engine's "off" values).

    Raises TypeError or ValueError naming the first bad option, in the table's order.
    """
    out = {}
    for name, rule in OPTIONS.items():
        if name in values:
            out[name] = _check_one(name, rule, values[name])
    if out.get("fee_ratio", 0.0) + out.get("tax_ratio", 0.0) >= 1.0:
        raise ValueError(
            f"fee_ratio + tax_ratio must be below 1 (a sale would return nothing), "
            f"got {values.get('fee_ratio')!r} + {values.get('tax_ratio')!r}"
        )
    return out
