"""The figures and tables a `Report` adds to its statistics: benchmark side by side, drawdown
periods, rolling figures, and the whole report as JSON-ready data (and back).

The arithmetic lives in `zelvor._figures`; this module finds the report's active period, calls
it and labels the result.
"""

from __future__ import annotations

import json
import math
import numbers
import warnings
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from zelvor import _figures
from zelvor._dates import as_ns

if TYPE_CHECKING:
    from zelvor.report import Report

__all__ = ["compare_frame", "drawdown_table", "extra_stats", "from_dict", "rolling_table", "to_dict"]

FORMAT = "zelvor.report/1"


def _first_row(report: Report) -> int:
    index = report.equity.index
    return int(index.searchsorted(report.start)) if len(index) else 0


def _active(series: pd.Series, report: Report) -> pd.Series:
    return series.iloc[_first_row(report) :]


def _closed_trades(report: Report) -> pd.DataFrame:
    t = report.trades
    return t[t["exit_reason"] != "open"]


def extra_stats(report: Report, risk_free: float, periods_per_year: int) -> dict[str, float]:
    """The figures `Report.stats()` adds to the sweep's: trade figures, then return figures."""
    closed = _closed_trades(report)
    out = _figures.trade_figures(closed["pnl"].to_numpy(dtype=float), closed["return"].to_numpy(dtype=float))
    equity = _active(report.equity, report)
    figures = _figures.return_figures(equity.to_numpy(dtype=float), as_ns(pd.DatetimeIndex(equity.index)),
                                      risk_free, periods_per_year)  # fmt: skip
    out.update({k: figures[k] for k in _figures.RETURN_KEYS})
    return out


def benchmark_stats(report: Report, risk_free: float, periods_per_year: int) -> dict[str, float]:
    bench = report.benchmark
    if bench is None:
        raise ValueError("compare=True needs a run with a benchmark: pass benchmark= to zelvor.backtest")
    active = _active(bench, report)
    return _figures.return_figures(
        active.to_numpy(dtype=float), as_ns(pd.DatetimeIndex(active.index)), risk_free, periods_per_year
    )


def compare_frame(report: Report, values: dict[str, Any], risk_free: float, periods_per_year: int) -> pd.DataFrame:
    """The strategy's figures beside the benchmark's (the benchmark's start and end are the run's;
    figures of trades, costs and exposure have no benchmark value)."""
    bench: dict[str, Any] = {**benchmark_stats(report, risk_free, periods_per_year)}
    bench.update(start=values.get("start"), end=values.get("end"))
    name = str(report.benchmark.name) if report.benchmark is not None else "benchmark"
    column = [bench.get(k, math.nan) for k in values]
    frame = pd.DataFrame({"strategy": pd.Series(list(values.values()), dtype=object),
                          "benchmark": pd.Series(column, dtype=object)})  # fmt: skip
    frame.index = pd.Index(list(values), name="figure")
    frame.attrs["benchmark_name"] = name
    return frame


def drawdown_table(report: Report, top: int | None) -> pd.DataFrame:
    """`Report.drawdowns`: the `top` deepest drawdown periods of the active period."""
    if top is not None and (isinstance(top, bool) or not isinstance(top, numbers.Integral)):
        raise TypeError(f"top must be a whole number or None, got {type(top).__name__}")
    if top is not None and top < 1:
        raise ValueError(f"top must be at least 1 (None: every period), got {top}")
    equity = _active(report.equity, report)
    dates = pd.DatetimeIndex(equity.index)
    p = _figures.drawdown_periods(equity.to_numpy(dtype=float), as_ns(dates))
    order = np.argsort(p["depth"], kind="stable")[: None if top is None else int(top)]
    recovery = p["recovery"][order]
    frame = pd.DataFrame(
        {
            "start": dates[p["start"][order]],
            "valley": dates[p["valley"][order]],
            "recovery": dates[np.maximum(recovery, 0)].where(recovery >= 0),
            "depth": p["depth"][order],
            "rows": p["rows"][order],
            "days": p["days"][order],
        }
    )
    frame.index.name = "rank"
    return frame


def rolling_table(report: Report, window: int, risk_free: float, periods_per_year: int) -> pd.DataFrame:
    """`Report.rolling`: figures over the trailing `window` returns at each active row."""
    if isinstance(window, bool) or not isinstance(window, numbers.Integral):
        raise TypeError(f"window must be a whole number of rows, got {type(window).__name__}")
    if window < 2:
        raise ValueError(f"window must be at least 2 rows (a standard deviation needs two returns), got {window}")
    equity = _active(report.equity, report)
    if window > len(equity) - 1:
        warnings.warn(
            f"window={window} is longer than the {max(len(equity) - 1, 0)} returns of the run: every value is NaN;"
            " a shorter window (e.g. 21 or 63 rows) was probably meant",
            UserWarning,
            stacklevel=3,
        )
    e = equity.to_numpy(dtype=float)
    r = e[1:] / e[:-1] - 1.0 if len(e) >= 2 else np.empty(0)
    b = None
    if report.benchmark is not None:
        bp = _active(report.benchmark, report).to_numpy(dtype=float)
        with np.errstate(invalid="ignore", divide="ignore"):
            b = bp[1:] / bp[:-1] - 1.0 if len(bp) >= 2 else np.empty(0)
    figures = _figures.rolling_figures(r, int(window), b, risk_free, periods_per_year)
    return pd.DataFrame(figures, index=pd.DatetimeIndex(equity.index[1:], name="date"))


# ---- JSON


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


def to_dict(report: Report, risk_free: float = 0.0, periods_per_year: int = 252) -> dict[str, Any]:
    """`Report.to_dict`: figures, tables and actions as plain data."""
    values = report.stats(risk_free=risk_free, periods_per_year=periods_per_year)
    tables: dict[str, pd.DataFrame] = {
        "equity": report.equity.to_frame().assign(drawdown=report.drawdown),
        "trades": report.trades,
        "drawdowns": report.drawdowns(top=None),
        "monthly_returns": report.monthly_returns(),
        "actions": report.actions,
    }
    if report.benchmark is not None:
        tables["equity"]["benchmark"] = report.benchmark.to_numpy()
        bench = report.stats(risk_free=risk_free, periods_per_year=periods_per_year, compare=True)["benchmark"]
    out: dict[str, Any] = {
        "format": FORMAT,
        "stats": {str(k): _tagged(v) for k, v in values.items()},
        "benchmark_stats": {str(k): _tagged(v) for k, v in bench.items()} if report.benchmark is not None else None,
        "benchmark_name": str(report.benchmark.name) if report.benchmark is not None else None,
        "options": {str(k): _figures.plain(v) for k, v in report.options.items()},
        "tables": {name: _frame_to_dict(frame) for name, frame in tables.items()},
    }
    return out


def from_dict(data: dict[str, Any] | str) -> dict[str, Any]:
    """`Report.read_json`: what `to_dict` (or `to_json`'s text) holds, with pandas objects again."""
    if isinstance(data, str):
        data = json.loads(data)
    if not isinstance(data, dict) or data.get("format") != FORMAT:
        raise ValueError(f"data is not a report written by Report.to_dict/to_json (format {FORMAT!r})")
    out = dict(data)
    out["stats"] = pd.Series({k: _untagged(v) for k, v in data["stats"].items()}, dtype=object, name="stats")
    if data.get("benchmark_stats") is not None:
        out["benchmark_stats"] = pd.Series({k: _untagged(v) for k, v in data["benchmark_stats"].items()},
                                           dtype=object, name="benchmark")  # fmt: skip
    out["tables"] = {name: _frame_from_dict(encoded) for name, encoded in data["tables"].items()}
    return out
