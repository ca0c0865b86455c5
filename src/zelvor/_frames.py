"""Frames of other shapes and libraries as the wide pandas frames `Market` takes.

A polars DataFrame or a pyarrow Table (any frame with ``to_pandas()`` or ``__dataframe__``) is
converted to pandas; a long frame (one row per date and stock) is checked column by column and
pivoted to one wide frame per price field. Every problem is a TypeError or ValueError naming the
argument, the column and, for a bad value, its row.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from zelvor._arrays import FIELDS
from zelvor._dates import FIRST_DAY, LAST_DAY, range_error

__all__ = ["NAME_COLUMNS", "as_pandas_frame", "float_matrix", "long_to_wide"]

# The names a stock column may have in long data (any case), the first present one taken.
NAME_COLUMNS = ("name", "ticker", "symbol", "stock", "stock_id", "code", "asset")


def _type_name(obj: object) -> str:
    """``polars.DataFrame``, ``pyarrow.Table``, ``numpy.ndarray``, ``dict``: the library and the type."""
    kind = type(obj)
    library = kind.__module__.split(".")[0]
    return kind.__qualname__ if library == "builtins" else f"{library}.{kind.__qualname__}"


def as_pandas_frame(
    obj: object, name: str, *, index_dates: bool = True, what: str = "a DataFrame (dates x stocks)"
) -> pd.DataFrame:
    """`obj` as a pandas DataFrame, or a TypeError/ValueError naming `name`.

    A pandas DataFrame is returned as it is. A frame of another library (a polars DataFrame, a
    pyarrow Table, ...) is converted with its ``to_pandas()`` or through the dataframe
    interchange protocol (``__dataframe__``); such frames have no row index, so with
    `index_dates` their date column (the one named ``date`` in any case, else their one
    datetime column) becomes the index. Anything else is a TypeError that names the type.

    Parameters
    ----------
    obj : object
        The caller's argument.
    name : str
        The argument's name, for the messages.
    index_dates : bool, default True
        Index a converted frame by its date column (False: keep its columns, as for long data).
    what : str, default "a DataFrame (dates x stocks)"
        What the argument should be, for the message.

    Returns
    -------
    pandas.DataFrame

    Examples
    --------
    >>> import polars as pl  # doctest: +SKIP
    >>> frame = pl.DataFrame({"date": [date(2024, 1, 2)], "AAA": [10.0]})  # doctest: +SKIP
    >>> as_pandas_frame(frame, "close").index  # doctest: +SKIP
    DatetimeIndex(['2024-01-02'], dtype='datetime64[ms]', freq=None)
    """
    if isinstance(obj, pd.DataFrame):
        return obj
    kind = _type_name(obj)
    expected = f"{name}: expected {what}, got {kind}"
    if isinstance(obj, (pd.Series, np.ndarray, str, bytes, dict, list, tuple)) or obj is None:
        raise TypeError(expected)
    frame: object = None
    try:
        to_pandas = getattr(obj, "to_pandas", None)
        if callable(to_pandas):
            try:
                frame = to_pandas()
            except ImportError:  # polars without pyarrow: the interchange protocol may still do
                if not hasattr(obj, "__dataframe__"):
                    raise
        if frame is None and hasattr(obj, "__dataframe__"):
            frame = pd.api.interchange.from_dataframe(obj)
    except Exception as exc:
        raise TypeError(f"{name}: cannot convert the {kind} to a pandas DataFrame ({exc})") from exc
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(expected)
    return _indexed_by_dates(frame, name, kind) if index_dates else frame


def _indexed_by_dates(frame: pd.DataFrame, name: str, kind: str) -> pd.DataFrame:
    """A converted frame indexed by its date column (it came without a row index)."""
    if not isinstance(frame.index, pd.DatetimeIndex):
        dated: list[Any] = [c for c in frame.columns if str(c).strip().lower() == "date"] or [
            c for c, t in frame.dtypes.items() if pd.api.types.is_datetime64_any_dtype(t)
        ]
        if len(dated) != 1:
            raise ValueError(
                f"{name}: the {kind} has no row index; give it one column named 'date' (or one datetime "
                f"column) to index the rows by (found: {', '.join(map(str, frame.columns))})"
            )
        dates = frame[dated[0]]
        if not pd.api.types.is_datetime64_any_dtype(dates):
            try:
                dates = pd.to_datetime(dates)
            except (ValueError, TypeError) as exc:
                raise ValueError(f"{name}: cannot read column {dated[0]!r} of the {kind} as dates ({exc})") from None
        frame = frame.drop(columns=dated[0]).set_axis(pd.DatetimeIndex(dates, name=None), axis=0)
    return frame


def _is_real_dtype(dtype: Any) -> bool:
    """Integers and floats (NumPy's or pandas' nullable ones), not booleans or complex numbers."""
    return (
        pd.api.types.is_numeric_dtype(dtype)
        and not pd.api.types.is_bool_dtype(dtype)
        and not pd.api.types.is_complex_dtype(dtype)
    )


def float_matrix(frame: pd.DataFrame, name: str) -> np.ndarray:
    """The frame's values as float64 [dates, stocks]; a float64 frame is returned without a copy."""
    if frame.shape[1] and not all(_is_real_dtype(t) for t in frame.dtypes.unique()):
        bad = [(str(c), str(t)) for c, t in frame.dtypes.items() if not _is_real_dtype(t)]
        kinds = ", ".join(sorted({t for _, t in bad}))
        shown = ", ".join(c for c, _ in bad[:5]) + (f" and {len(bad) - 5} more" if len(bad) > 5 else "")
        raise TypeError(
            f"{name}: prices must be numeric; non-numeric columns: {shown} "
            f"(dtype {kinds}; prices are real numbers, not booleans, complex numbers, text or dates)"
        )
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def long_to_wide(frame: object) -> dict[str, pd.DataFrame]:
    """The wide frames (dates x stocks, dates ascending, stocks sorted) of a long frame, one per
    price field it has: the checks and the format of `Market.from_long`."""
    frame = as_pandas_frame(frame, "frame", index_dates=False)
    columns = {key: _long_column(frame, key) for key in ("date", *FIELDS)}
    missing = [c for c in ("date", "close") if columns[c] is None]
    if missing:
        raise ValueError(f"frame: missing column(s) {', '.join(missing)} (found: {', '.join(map(str, frame.columns))})")
    name_key = next((c for c in NAME_COLUMNS if _long_column(frame, c) is not None), None)
    if name_key is None:
        raise ValueError(f"frame: missing the stock column (one of {', '.join(NAME_COLUMNS)})")
    name_col = _long_column(frame, name_key)
    dates = _long_dates(frame[columns["date"]], str(columns["date"]))
    names = _long_names(frame[name_col], str(name_col))
    keys = pd.MultiIndex.from_arrays([dates, names])
    if keys.has_duplicates:
        d, s = keys[keys.duplicated()][0]
        raise ValueError(f"frame: two rows for stock {s!r} on {d}")
    fields = {}
    for name in FIELDS:
        if columns[name] is not None:
            values = _long_prices(frame[columns[name]], str(columns[name]))
            wide = pd.Series(values, index=keys).unstack()
            wide.index.name = None
            wide.columns.name = None
            fields[name] = wide.sort_index().sort_index(axis=1)
    return fields


def _long_column(frame: pd.DataFrame, key: str) -> object:
    """The one column whose name is `key` in any case and spacing, None when there is none."""
    found = [c for c in frame.columns if str(c).strip().lower() == key]
    if len(found) > 1:
        raise ValueError(
            f"frame: columns {' and '.join(repr(str(c)) for c in found)} both name the {key}: ambiguous, keep one"
        )
    return found[0] if found else None


def _row(values: pd.Series, mask: np.ndarray) -> str:
    """'row LABEL (VALUE)' of the first True in `mask`."""
    i = int(np.argmax(mask))
    return f"row {values.index[i]!r} ({values.iloc[i]!r})"


def _long_dates(values: pd.Series, column: str) -> pd.Series:
    """The date column of a long frame as datetime64[ns] (naive or aware), or a ValueError or
    TypeError naming the column: numbers are refused (they would be read as nanoseconds
    since 1970), as are missing and unreadable dates and dates the engine cannot hold."""
    where = f"frame: column {column!r}"
    missing = values.isna().to_numpy()
    if missing.any():
        raise ValueError(f"{where}: a missing date on row {values.index[int(np.argmax(missing))]!r}")
    if not pd.api.types.is_datetime64_any_dtype(values):
        kind = pd.api.types.infer_dtype(values, skipna=True)
        if kind in ("integer", "floating", "mixed-integer", "mixed-integer-float", "boolean", "decimal", "complex"):
            raise TypeError(
                f"{where}: dates must be dates or text, not numbers ({values.dtype}; {kind}), which would be "
                f"read as nanoseconds since 1970; convert them first, e.g. "
                f"pd.to_datetime(frame[{column!r}].astype(str), format='%Y%m%d')"
            )
        parsed = pd.to_datetime(values, errors="coerce")
        unread = parsed.isna().to_numpy()
        if unread.any():
            try:  # a date after all, only beyond nanoseconds (pandas 2 reads none of those)
                pd.Timestamp(values.iloc[int(np.argmax(unread))])
            except (ValueError, TypeError, OverflowError):
                pass
            else:
                raise ValueError(f"{where}: {_row(values, unread)} reaches beyond {FIRST_DAY} .. {LAST_DAY}")
            raise ValueError(f"{where}: cannot read {_row(values, unread)} as a date (expected YYYY-MM-DD)")
        values = parsed
    try:
        return values.dt.as_unit("ns")
    except (OverflowError, ValueError):
        raise range_error(where, values.min(), values.max()) from None


def _long_names(values: pd.Series, column: str) -> pd.Series:
    """The stock column of a long frame, or a ValueError/TypeError naming it: every row has a
    name, and the names are all text or all numbers."""
    where = f"frame: column {column!r}"
    missing = values.isna().to_numpy()
    if values.dtype == object or pd.api.types.is_string_dtype(values):
        missing = missing | values.astype(str).str.strip().eq("").to_numpy()
    if missing.any():
        raise ValueError(f"{where}: no stock name on {_row(values, missing)}")
    kind = pd.api.types.infer_dtype(values, skipna=True)
    if kind.startswith("mixed"):
        types = sorted({type(v).__name__ for v in values})
        raise TypeError(
            f"{where}: stock names of several types ({', '.join(types)}); make them one, "
            f"e.g. frame[{column!r}].astype(str)"
        )
    return values


def _long_prices(values: pd.Series, column: str) -> np.ndarray:
    """A price column of a long frame as float64, or a TypeError/ValueError naming it."""
    where = f"frame: column {column!r}"
    if _is_real_dtype(values.dtype):
        return values.to_numpy(dtype=np.float64, na_value=np.nan)
    kind = pd.api.types.infer_dtype(values, skipna=True)
    if (
        pd.api.types.is_bool_dtype(values.dtype)
        or pd.api.types.is_complex_dtype(values.dtype)
        or kind
        in (
            "boolean",
            "complex",
            "datetime",
            "datetime64",
            "date",
            "timedelta",
            "timedelta64",
            "period",
        )
    ):
        raise TypeError(f"{where}: prices must be real numbers, not {kind} ({values.dtype})")
    odd = np.fromiter((isinstance(v, (bool, np.bool_, complex, np.complexfloating)) for v in values), bool, len(values))
    if odd.any():
        raise TypeError(f"{where}: prices must be real numbers, not {_row(values, odd)}")
    converted = pd.to_numeric(values, errors="coerce")
    unread = (converted.isna() & values.notna()).to_numpy()
    if unread.any():
        raise ValueError(f"{where}: {_row(values, unread)} is not a number")
    return converted.to_numpy(dtype=np.float64, na_value=np.nan)
