"""A `Report` as JSON-ready data: the typed form that `Report.read_json` turns back into pandas
objects with the same dtypes, and the records form (one object per row) for other readers."""

from __future__ import annotations

import json
import math
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from zelvor import _figures

if TYPE_CHECKING:
    from zelvor.report import Report

__all__ = ["FORMAT", "RECORDS_FORMAT", "from_dict", "sweep_records", "to_dict", "write_json", "write_sweep_json"]

FORMAT = "zelvor.report/1"
RECORDS_FORMAT = "zelvor.report.records/1"


def _frame_to_dict(frame: pd.DataFrame) -> dict[str, Any]:
    """A frame as plain data that `_frame_from_dict` rebuilds with the same dtypes."""

    def column(values: pd.Series | pd.Index) -> dict[str, Any]:
        dtype = values.dtype
        keep = _tagged if pd.api.types.is_float_dtype(dtype) else _figures.plain
        out: dict[str, Any] = {"dtype": str(dtype), "values": [keep(v) for v in values]}
        if isinstance(dtype, pd.CategoricalDtype):
            out["categories"] = [_figures.plain(c) for c in dtype.categories]
            out["values"] = [None if v is None or (isinstance(v, float) and math.isnan(v)) else str(v)
                             for v in values.astype(object)]  # fmt: skip
        return out

    return {
        "columns": {"name": _figures.plain(frame.columns.name), **column(frame.columns)},
        "index": {"name": frame.index.name, **column(frame.index)},
        "data": [column(frame[c]) for c in frame.columns],
        "attrs": {str(k): _tagged(v) for k, v in frame.attrs.items()},
    }


def _tagged(value: Any) -> Any:
    """`plain`, keeping what JSON cannot say: timestamps and infinities are tagged."""
    if isinstance(value, pd.Timestamp) or value is pd.NaT:
        return {"timestamp": _figures.plain(value)}
    if isinstance(value, float | np.floating) and math.isinf(value):
        return {"float": "inf" if value > 0 else "-inf"}
    return _figures.plain(value)


def _untagged(value: Any) -> Any:
    if isinstance(value, dict) and set(value) == {"timestamp"}:
        return pd.NaT if value["timestamp"] is None else pd.Timestamp(value["timestamp"])
    if isinstance(value, dict) and set(value) == {"float"}:
        return float(value["float"])
    return value


def _rebuild(encoded: dict[str, Any]) -> pd.Series:
    dtype, values = encoded["dtype"], encoded["values"]
    if "categories" in encoded:
        return pd.Series(pd.Categorical(values, categories=encoded["categories"]))
    if dtype.startswith("datetime64"):
        tz = dtype[dtype.index(",") + 1 : -1].strip() if "," in dtype else None
        parsed = pd.to_datetime(pd.Series(values, dtype=object), utc=tz is not None, format="ISO8601")
        if tz is not None:
            parsed = parsed.dt.tz_convert(tz)
        return parsed.astype(dtype)
    if dtype.startswith(("float", "int", "uint", "bool")):
        return pd.Series([math.nan if v is None else _untagged(v) for v in values], dtype=object).astype(dtype)
    return pd.Series(values, dtype=object).astype(dtype)


def _frame_from_dict(encoded: dict[str, Any]) -> pd.DataFrame:
    index = pd.Index(_rebuild(encoded["index"]), name=encoded["index"]["name"])
    columns = [_rebuild(col).set_axis(index) for col in encoded["data"]]
    frame = pd.concat(columns, axis=1) if columns else pd.DataFrame(index=index)
    frame.columns = pd.Index(_rebuild(encoded["columns"]), name=encoded["columns"]["name"])
    frame.attrs.update({k: _untagged(v) for k, v in encoded["attrs"].items()})
    return frame


def _tables(report: Report) -> dict[str, pd.DataFrame]:
    equity = report.equity.to_frame().assign(drawdown=report.drawdown)
    if report.benchmark is not None:
        equity["benchmark"] = report.benchmark.to_numpy()
    return {
        "equity": equity,
        "trades": report.trades,
        "drawdowns": report.drawdowns(top=None),
        "monthly_returns": report.monthly_returns(),
        "actions": report.actions,
    }


# What the records form calls each table's index ("" for a table whose rows are only numbered).
_RECORD_INDEX = {"equity": "date", "trades": "", "drawdowns": "rank", "monthly_returns": "year", "actions": "stock"}


def _records(frame: pd.DataFrame, index: str) -> list[dict[str, Any]]:
    """One object per row (the index first, as `index`), values as `plain` makes them."""
    columns = [str(c) for c in frame.columns]
    if index in columns:  # the monthly table's yearly column shares the index's name
        columns[columns.index(index)] = f"whole_{index}"
    rows = []
    for label, row in zip(frame.index, frame.itertuples(index=False), strict=True):
        record = {index: _figures.plain(label)} if index else {}
        record.update({c: _figures.plain(v) for c, v in zip(columns, row, strict=True)})
        rows.append(record)
    return rows


def to_dict(
    report: Report, orient: str = "table", risk_free: float = 0.0, periods_per_year: int = 252
) -> dict[str, Any]:
    """`Report.to_dict`: figures, tables and actions as plain data, in the `orient` form."""
    if orient not in ("table", "records"):
        raise ValueError(f"orient must be 'table' (read back by Report.read_json) or 'records', got {orient!r:.40}")
    values = report.stats(risk_free=risk_free, periods_per_year=periods_per_year)
    keep = _tagged if orient == "table" else _figures.plain
    bench = None
    if report.benchmark is not None:
        frame = report.stats(risk_free=risk_free, periods_per_year=periods_per_year, compare=True)
        bench = {str(k): keep(v) for k, v in frame["benchmark"].items()}
    out: dict[str, Any] = {
        "format": FORMAT if orient == "table" else RECORDS_FORMAT,
        "stats": {str(k): keep(v) for k, v in values.items()},
        "benchmark_stats": bench,
        "benchmark_name": str(report.benchmark.name) if report.benchmark is not None else None,
        "options": {str(k): _figures.plain(v) for k, v in report.options.items()},
    }
    tables = _tables(report)
    if orient == "table":
        out["tables"] = {name: _frame_to_dict(frame) for name, frame in tables.items()}
        return out
    out["period"] = {"start": _figures.plain(report.start), "end": _figures.plain(report.end)}
    out.update({name: _records(frame, _RECORD_INDEX[name]) for name, frame in tables.items()})
    out["next_period"] = {str(k): _figures.plain(v) for k, v in report.actions.attrs.items()}
    return out


def sweep_records(sweep: Any) -> list[dict[str, Any]]:
    """A sweep's table as one object per run, its parameters as given (None: an option that is off)."""
    rows = _records(sweep.table, "")
    for row, params in zip(rows, sweep.params, strict=True):
        row.update({str(k): _figures.plain(v) for k, v in params.items()})
    return rows


def write_sweep_json(sweep: Any, path: Any = None, *, indent: int | None = None) -> str:
    """`Sweep.to_json`: `sweep_records` as JSON text, written to `path` if given."""
    text = json.dumps(sweep_records(sweep), indent=indent, allow_nan=False)
    if path is not None:
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)
    return text


def write_json(report: Report, path: Any = None, *, indent: int | None = None, orient: str = "table") -> str:
    """`Report.to_json`: `to_dict` as JSON text, written to `path` if given."""
    text = json.dumps(to_dict(report, orient), indent=indent, allow_nan=False)
    if path is not None:
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)
    return text


def from_dict(data: dict[str, Any] | str) -> dict[str, Any]:
    """`Report.read_json`: what `to_dict` (or `to_json`'s text) holds, with pandas objects again."""
    if isinstance(data, str):
        data = json.loads(data)
    if isinstance(data, dict) and data.get("format") == RECORDS_FORMAT:
        raise ValueError("data was written with orient='records', which is not read back: write it with the default")
    if not isinstance(data, dict) or data.get("format") != FORMAT:
        raise ValueError(f"data is not a report written by Report.to_dict/to_json (format {FORMAT!r})")
    out = dict(data)
    out["stats"] = pd.Series({k: _untagged(v) for k, v in data["stats"].items()}, dtype=object, name="stats")
    if data.get("benchmark_stats") is not None:
        out["benchmark_stats"] = pd.Series({k: _untagged(v) for k, v in data["benchmark_stats"].items()},
                                           dtype=object, name="benchmark")  # fmt: skip
    out["tables"] = {name: _frame_from_dict(encoded) for name, encoded in data["tables"].items()}
    return out
