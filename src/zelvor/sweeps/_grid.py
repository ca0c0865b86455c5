"""The parameter grid: a dict of lists or a list of dicts expanded to parameter sets, and which
keys go to `zelvor.backtest` and which to a weights callable.
"""

from __future__ import annotations

import inspect
import itertools
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

from zelvor._options import NAMES
from zelvor._validate import closest
from zelvor.sweeps._table import _TABLE_COLUMNS

# One parameter set: parameter name -> value (any value the option or the weights callable takes).
Params = dict[str, Any]
# What `sweep` takes as its grid: a dict of lists (every combination) or a list of dicts.
Grid = Mapping[str, Iterable[Any]] | Sequence[Mapping[str, Any]]


def _backtest_option_names() -> tuple[str, ...]:
    """The options of `zelvor.backtest`: the grid keys and fixed options that go to it."""
    return NAMES


def _expand_grid(grid: object) -> tuple[list[str], list[Params]]:
    """The parameter names (first-seen order) and the parameter sets, in the grid's order."""
    if isinstance(grid, Mapping):
        if not grid:
            raise ValueError("grid is empty: give at least one parameter and one value")
        keys = list(grid)
        values = []
        for key in keys:
            _check_key(key)
            choices = grid[key]
            if isinstance(choices, str | bytes) or not isinstance(choices, Iterable):
                raise TypeError(
                    f"grid[{key!r}] must be a list of values to try, got {type(choices).__name__} {choices!r}"
                )
            choices = list(choices)
            if not choices:
                raise ValueError(f"grid[{key!r}] is empty: give at least one value")
            values.append(choices)
        # Cartesian product, the last key varying fastest.
        return keys, [dict(zip(keys, combo, strict=True)) for combo in itertools.product(*values)]
    if isinstance(grid, Sequence) and not isinstance(grid, str | bytes):
        if not grid:
            raise ValueError("grid is empty: give at least one parameter set")
        names: list[str] = []
        sets: list[Params] = []
        for i, entry in enumerate(grid):
            if not isinstance(entry, Mapping):
                raise TypeError(f"grid[{i}] must be a dict of parameter values, got {type(entry).__name__}")
            for key in entry:
                _check_key(key)
                if key not in names:
                    names.append(key)
            sets.append(dict(entry))
        return names, sets
    raise TypeError(f"grid must be a dict of lists or a list of dicts, got {type(grid).__name__}")


def _check_key(key: object) -> None:
    if not isinstance(key, str):
        raise TypeError(f"grid keys must be parameter names (str), got {key!r}")
    if key in _TABLE_COLUMNS:
        raise ValueError(f"grid key {key!r} is the name of a column of the sweep table; rename the parameter")


def _check_names(
    keys: list[str],
    sets: list[Params],
    fixed_options: Mapping[str, object],
    weights: object,
    option_names: frozenset[str],
) -> None:
    """Every grid key and fixed option goes somewhere: to `zelvor.backtest` when it is one of its
    options, else to a weights callable that accepts it; a parameter the callable requires is given."""
    clash = sorted(set(keys) & set(fixed_options))
    if clash:
        raise ValueError(f"{', '.join(clash)} given both in grid and as a fixed option")
    strategy_keys = [k for k in (*keys, *fixed_options) if k not in option_names]
    if not callable(weights):
        if strategy_keys:
            raise ValueError(
                f"{', '.join(repr(k) + closest(k, option_names) for k in strategy_keys)} not an option of "
                f"zelvor.backtest (options: "
                f"{', '.join(sorted(option_names))}); strategy parameters need weights to be a callable"
            )
        return
    accepted, required = _weights_parameters(weights)
    if accepted is not None:
        unknown = [k for k in strategy_keys if k not in accepted]
        if unknown:
            raise ValueError(
                f"{', '.join(repr(k) + closest(k, [*option_names, *accepted]) for k in unknown)} is neither "
                f"an option of zelvor.backtest nor a parameter of weights {getattr(weights, '__name__', weights)!r}"
            )
    given = set(fixed_options) | {k for k in keys if all(k in s for s in sets)}
    missing = sorted(required - given)
    if missing:
        raise ValueError(f"weights needs {', '.join(map(repr, missing))}: add it to grid or pass it as an option")


def _weights_parameters(weights: Callable[..., object]) -> tuple[set[str] | None, set[str]]:
    """Keyword names `weights(market, **params)` accepts (None: any) and those it requires."""
    try:
        signature = inspect.signature(weights)
    except (TypeError, ValueError):  # a builtin without a signature: take its word for it
        return None, set()
    parameters = list(signature.parameters.values())
    if not parameters or parameters[0].kind not in (
        inspect.Parameter.POSITIONAL_ONLY,
        inspect.Parameter.POSITIONAL_OR_KEYWORD,
        inspect.Parameter.VAR_POSITIONAL,
    ):
        raise TypeError("weights must be a callable weights(market, **params) taking the market first")
    rest = parameters[1:] if parameters[0].kind != inspect.Parameter.VAR_POSITIONAL else parameters
    accepts_any = any(p.kind == inspect.Parameter.VAR_KEYWORD for p in rest)
    named = {
        p.name for p in rest if p.kind in (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)
    }
    required = {p.name for p in rest if p.name in named and p.default is inspect.Parameter.empty}
    return (None if accepts_any else named), required
