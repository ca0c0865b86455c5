"""The scalar options of `zelvor.backtest` checked against their table (`zelvor._options`).

Every option is checked before the engine runs; a bad value is a TypeError (wrong kind) or a
ValueError (out of range) whose message names the option, what it must be and what it got. A
legal value that is almost surely a unit slip (a stop of 8 meant as 8 %) gets a `UnitWarning`
saying what was probably meant (`unit_slips`); one that can never act on the weights' holdings
(a stop-loss at 100 % or more on long-only weights) is refused.
"""

from __future__ import annotations

import difflib
import functools
import math
import numbers
import os
import sys
import warnings
from collections.abc import Hashable, Iterable
from typing import Any

from zelvor._options import ENGINE_NAMES, TABLE, Constraint

__all__ = [
    "OPTIONS",
    "Constraint",
    "OptionChecks",
    "RunWarning",
    "UnitWarning",
    "check_options",
    "closest",
    "shown",
    "unit_slips",
    "warn",
]


class UnitWarning(UserWarning):
    """An option whose value is legal but almost surely a unit slip (8 meant as 8 %)."""


class RunWarning(UserWarning):
    """A run that will not do what was probably meant: weights scaled down because their gross
    exceeds 1, weights that never hold anything, intraday exits without highs and lows."""


_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def warn(message: str, category: type[Warning]) -> None:
    """`warnings.warn`, attributed to the first caller outside this package (whatever the path
    through `backtest`, `Prepared.run` or a sweep)."""
    level = 2  # 1 would be this function
    frame = sys._getframe(1)
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame = frame.f_back  # type: ignore[assignment]
        level += 1
    warnings.warn(message, category, stacklevel=level)


def closest(name: str, choices: Iterable[str]) -> str:
    """The suffix ` (did you mean 'x'?)` naming the choice closest to a mistyped `name`, or "".

    Used for every unknown keyword of the layer: `backtest`, `prepare`, `Prepared.run` and the
    sweep's grid keys."""
    choices = list(choices)
    match = difflib.get_close_matches(name, choices, n=1, cutoff=0.6)
    if not match:  # "stoploss", "StopLoss": compare without case and underscores too
        folded = {c.replace("_", "").lower(): c for c in choices}
        hit = difflib.get_close_matches(name.replace("_", "").lower(), list(folded), n=1, cutoff=0.6)
        match = [folded[hit[0]]] if hit else []
    return f" (did you mean {match[0]!r}?)" if match else ""


def shown(value: object, width: int = 60) -> str:
    """`repr(value)`, cut to `width` characters (an int of 10**5000 digits has no repr at all)."""
    try:
        text = repr(value)
    except ValueError:
        return f"<{type(value).__name__} too large to show>"
    return text if len(text) <= width else text[: width - 3] + "..."


OPTIONS: dict[str, Constraint] = {o.name: o.rule for o in TABLE if o.rule is not None}


@functools.cache
def _engine_defaults() -> dict[str, Any]:
    """backtest_'s defaults by parameter name, read from the engine at the first use (importing
    the package does not load the engine)."""
    from zelvor.core import trevane

    return {name: default for name, _, default in trevane._PARAMETERS}


def _fail(name: str, rule: Constraint, value: object, error: type[Exception]) -> Exception:
    return error(f"{name} must be {rule.describe()}, got {shown(value)}")


def _check_one(name: str, rule: Constraint, value: object) -> Any:
    if value is None:
        if rule.off:  # the engine's own default of the parameter is its "off"
            return _engine_defaults()[ENGINE_NAMES[name]]
        raise _fail(name, rule, value, TypeError)
    if rule.kind == "bool":
        # numpy.bool_ is not a numbers.Integral; 0/1 ints are accepted as truth values, but not
        # 1.0, 1+0j or other things that merely compare equal to 1.
        if (
            isinstance(value, bool)
            or type(value).__name__ in ("bool_", "bool")
            or (isinstance(value, numbers.Integral) and value in (0, 1))
        ):
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
        try:
            number = float(value)
        except OverflowError:  # an int beyond the float range, such as 10**400
            raise _fail(name, rule, value, ValueError) from None
        if math.isnan(number):
            raise _fail(name, rule, value, ValueError)
    if rule.low is not None and (number < rule.low or (rule.low_open and number == rule.low)):
        raise _fail(name, rule, value, ValueError)
    if rule.high is not None and (number > rule.high or (rule.high_open and number == rule.high)):
        raise _fail(name, rule, value, ValueError)
    return number


def _memo_key(name: str, value: object) -> tuple[str, Hashable] | None:
    """The key of an option's value in a memo of checks (None: unhashable, never remembered)."""
    try:
        return name, _value_key(value)
    except TypeError:
        return None


def check_options(values: dict[str, Any], memo: dict[Any, Any] | None = None) -> dict[str, Any]:
    """The options converted for the engine (None stop levels become the engine's "off" values).

    Raises TypeError or ValueError naming the first bad option, in the table's order. `memo`
    (see `OptionChecks`) keeps the result of each legal value checked, and gives it back for the
    same value later; a bad value is checked, and raises, every time.
    """
    out = {}
    for name, rule in OPTIONS.items():
        if name not in values:
            continue
        value = values[name]
        key = _memo_key(name, value) if memo is not None else None
        if memo is None or key is None:
            out[name] = _check_one(name, rule, value)
        elif key in memo:
            out[name] = memo[key]
        else:
            out[name] = memo[key] = _check_one(name, rule, value)
    if out.get("fee_ratio", 0.0) + out.get("tax_ratio", 0.0) >= 1.0:
        raise ValueError(
            f"fee_ratio + tax_ratio must be below 1 (a sale would return nothing), "
            f"got {shown(values.get('fee_ratio'))} + {shown(values.get('tax_ratio'))}"
        )
    return out


def _percent(value: float) -> str:
    return f"{value * 100:,.6g} %"


def _slip(
    name: str, rule: Constraint, value: object, number: float, has_long: bool, has_short: bool
) -> tuple[str | None, str | None]:
    """(refusal, warning) of one option's legal value: the message of the ValueError for a value
    that can never act on the weights' holdings, the `UnitWarning`'s for an almost sure slip."""
    meant = f"options are fractions (0.08 = 8 %): {number / 100:g} was probably meant"
    if rule.dead and number >= 1.0:
        only = (has_long and not has_short) if rule.dead == "long" else (has_short and not has_long)
        if only:
            return (
                f"{name}={shown(value)} means {_percent(number)} ({rule.meaning}), which a {rule.dead} "
                f"holding can never reach, and the weights hold only {rule.dead} positions: it would never "
                f"act; {meant}"
            ), None
    if rule.slip is not None and number >= rule.slip:
        where = ""
        if rule.dead and number >= 1.0 and (has_long if rule.dead == "long" else has_short):
            where = f" (it can never act on the {rule.dead} holdings)"
        return None, f"{name}={shown(value)} means {_percent(number)} ({rule.meaning}){where}; {meant}"
    return None, None


def unit_slips(
    given: dict[str, Any], checked: dict[str, Any], has_long: bool, has_short: bool, memo: dict[Any, Any] | None = None
) -> list[tuple[str, str]]:
    """(option, message) for each legal option value that is almost surely a unit slip.

    `given` are the options as passed (None: off), `checked` those of `check_options`;
    `has_long` / `has_short`: whether the weights ever hold a long / short position. Raises
    ValueError for a value that can never act because the weights hold only the side it cannot
    act on (a stop-loss of 100 % or more on long-only weights). `memo` (see `OptionChecks`)
    keeps each value's verdict for these sides.
    """
    found = []
    for name, rule in OPTIONS.items():
        value = given.get(name)
        if rule.slip is None or value is None or (rule.needs and given.get(rule.needs) is None):
            continue
        key = _memo_key(name, value) if memo is not None else None
        if memo is None or key is None:
            verdict = _slip(name, rule, value, float(checked[name]), has_long, has_short)
        elif (key, has_long, has_short) in memo:
            verdict = memo[key, has_long, has_short]
        else:
            verdict = memo[key, has_long, has_short] = _slip(
                name, rule, value, float(checked[name]), has_long, has_short
            )
        refusal, message = verdict
        if refusal is not None:
            raise ValueError(refusal)
        if message is not None:
            found.append((name, message))
    return found


def _value_key(value: object) -> Hashable:
    """A dict key telling apart values that check differently: by type, and 0.0 from -0.0.
    Raises TypeError for an unhashable value."""
    if isinstance(value, float) and value == 0.0:
        return type(value), value, math.copysign(1.0, value)
    hash(value)  # NaN keys never match (NaN != NaN): a NaN is checked again, and refused
    return type(value), value


class OptionChecks:
    """`check_options` and `unit_slips` for many runs, each distinct value of an option checked
    once: the sets of a sweep share most of their values (a grid of 8 stop-losses x 8
    take-profits has 16 distinct values in 64 sets), and so do the runs of one `Prepared`. The
    results, errors and warnings are those of the two functions, in the same order. At most
    `limit` values are remembered: past that the memo starts again (runs given ever new values
    must not grow it without end)."""

    def __init__(self, limit: int = 4096) -> None:
        self._checked: dict[Any, Any] = {}
        self._slips: dict[Any, Any] = {}
        self._limit = limit

    def check(self, values: dict[str, Any]) -> dict[str, Any]:
        """`check_options(values)`."""
        if len(self._checked) > self._limit:
            self._checked.clear()
        return check_options(values, self._checked)

    def slips(
        self, given: dict[str, Any], checked: dict[str, Any], has_long: bool, has_short: bool
    ) -> list[tuple[str, str]]:
        """`unit_slips(given, checked, has_long, has_short)`."""
        if len(self._slips) > self._limit:
            self._slips.clear()
        return unit_slips(given, checked, has_long, has_short, self._slips)
