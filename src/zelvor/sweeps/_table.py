"""The sweep table: the statistics columns it has (and which are better smaller), and the
frame built from the rows the workers send back.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence

import numpy as np
import pandas as pd

from zelvor._stats import STATISTICS

# One table row as it travels back from a worker: (set index, stats fields, their values, error or "").
_Row = tuple[int, tuple[str, ...], tuple[object, ...], str]

# The figures a sweep row has (the period, each run's figures, the deflated Sharpe ratio) and the
# error column: a grid key of one of these names would give the table two columns of that name.
_TABLE_COLUMNS = frozenset([*(s.name for s in STATISTICS if s.source != "report"), "error"])

# Figures where the best row has the smallest value; every other figure is maximised
# (max_drawdown and avg_loss are negative, so their largest value is the mildest).
_LOWER_IS_BETTER = frozenset(s.name for s in STATISTICS if s.higher_is_better is False)


def _build_table(keys: list[str], sets: Sequence[Mapping[str, object]], rows: Mapping[int, _Row]) -> pd.DataFrame:
    """The parameters, then every field some row has (NaN where a row lacks it), then `error`."""
    fields: list[str] = []
    seen: set[tuple[str, ...]] = set()
    for index in range(len(sets)):
        names = rows[index][1]
        if names and names not in seen:
            seen.add(names)
            fields.extend(name for name in names if name not in fields)
    columns: dict[str, list[object]] = {key: [params.get(key) for params in sets] for key in keys}
    for name in fields:
        columns[name] = [np.nan] * len(sets)
    for index in range(len(sets)):
        _, names, values, _ = rows[index]
        for name, value in zip(names, values, strict=True):
            columns[name][index] = value
    table = pd.DataFrame({name: _column(values) for name, values in columns.items()}, index=pd.RangeIndex(len(sets)))
    table["error"] = pd.Series([rows[i][3] for i in range(len(sets))], dtype=object)
    return table


def _column(values: list[object]) -> pd.Series:
    """A column with pandas' usual inference, but all-NaN timestamps stay datetimes."""
    series = pd.Series(values)
    if series.dtype == object:
        series = series.infer_objects()
    return series
