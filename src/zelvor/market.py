"""Market data for backtests: the `Market` of wide DataFrames, a seeded synthetic market, a
momentum strategy and a CSV loader.

`Market` is the public container (pandas). Underneath it, and in the loaders, `MarketArrays`
holds plain NumPy arrays in the layout the engine takes: rows are dates (int64 nanoseconds since
the epoch, midnight UTC of the trading day), columns are stocks (one-dimensional object arrays of
``str``), prices are float64 with NaN for a missing price.
"""

from __future__ import annotations

import codecs
import csv
import datetime as _dt
import gzip
import io
import os
import warnings
import zlib
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

__all__ = [
    "DataError",
    "DataWarning",
    "Market",
    "MarketArrays",
    "Strategy",
    "load_csv",
    "month_end_rows",
    "momentum_strategy",
    "read_csv",
    "synthetic_market",
]

NS_PER_DAY = 86_400 * 10**9
_EPOCH = _dt.datetime(1970, 1, 1)


# --------------------------------------------------------------------------------------------
# Containers


@dataclass(frozen=True, eq=False)
class MarketArrays:
    """Daily OHLC prices of a set of stocks, one row per trading day, as the engine's arrays."""

    dates: np.ndarray  # int64 ns, ascending
    columns: np.ndarray  # object array of str, one label per stock
    open: np.ndarray  # float64 (days, stocks)
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    # Per stock, the row of its last price when it stops trading before the last day
    # (usable as the engine's `delisting_bars`); -1 for stocks that trade to the end.
    delisting_rows: np.ndarray

    @property
    def shape(self) -> tuple[int, int]:
        return self.close.shape

    def trading_prices(self, trade_at: str = "close") -> np.ndarray:
        """The matrix trades are filled at: the day's close or its open."""
        if trade_at == "close":
            return self.close
        if trade_at == "open":
            return self.open
        raise ValueError(f"trade_at must be 'close' or 'open', not {trade_at!r}")

    def backtest_arrays(self, trade_at: str = "close") -> dict:
        """The price-side keyword arguments of `backtest_` (no copies are made)."""
        return {
            "price_values": self.trading_prices(trade_at),
            "close_values": self.close,
            "high_values": self.high,
            "low_values": self.low,
            "open_values": self.open,
            "price_index": self.dates,
            "price_columns": self.columns,
        }


@dataclass(frozen=True, eq=False)
class Strategy:
    """Target weights per signal date, and the dates on which they may be traded."""

    pos_values: np.ndarray  # float64 (signal dates, stocks)
    pos_index: np.ndarray  # int64 ns
    pos_columns: np.ndarray  # object array of str
    resample: np.ndarray  # int64 ns

    def backtest_arrays(self) -> dict:
        return {
            "pos_values": self.pos_values,
            "pos_index": self.pos_index,
            "pos_columns": self.pos_columns,
            "resample": self.resample,
        }


# --------------------------------------------------------------------------------------------
# Synthetic market


def _business_days(start: str, n_days: int) -> np.ndarray:
    first = np.busday_offset(np.datetime64(start, "D"), 0, roll="forward")
    days = np.busday_offset(first, np.arange(n_days), roll="forward")
    return days.astype("datetime64[ns]").astype(np.int64)


def synthetic_market(
    n_stocks: int = 500,
    n_days: int = 2610,
    *,
    seed: int = 0,
    start: str = "2010-01-04",
    volatility: float = 0.02,
    missing: float = 0.005,
    late_listed: float = 0.1,
    delisted: float = 0.03,
) -> MarketArrays:
    """A reproducible random market on weekdays from `start`.

    Daily log-returns are a common market factor plus stock-specific noise, about `volatility`
    in total, with a small positive drift that differs per stock (so momentum has something to
    find). The open gaps from the previous close, the high and low bracket open and close.
    A fraction `late_listed` of the stocks start trading part-way (NaN before), a fraction
    `delisted` stop trading part-way (NaN after; their last row is in `delisting_rows`), and a
    fraction `missing` of the remaining days have no prices at all (all four fields NaN).
    """
    if n_stocks < 1 or n_days < 2:
        raise ValueError("a synthetic market needs at least 1 stock and 2 days")
    rng = np.random.default_rng(seed)
    shape = (n_days, n_stocks)

    market_vol = volatility * 0.5
    stock_vol = volatility * rng.uniform(0.75, 1.25, n_stocks)
    idio_vol = np.sqrt(np.maximum(stock_vol**2 - market_vol**2, 0.0))
    drift = rng.normal(0.0002, 0.0004, n_stocks)

    log_ret = rng.standard_normal(shape)
    log_ret *= idio_vol
    log_ret += rng.normal(0.0, market_vol, (n_days, 1))
    log_ret += drift
    log_ret[0] = 0.0
    start_price = np.exp(rng.normal(np.log(50.0), 0.8, n_stocks))
    close = np.exp(np.cumsum(log_ret, axis=0, out=log_ret), out=log_ret)
    close *= start_price
    del log_ret

    # Open: yesterday's close with an overnight gap; high/low: beyond the body by a random
    # intraday range, so low <= min(open, close) <= max(open, close) <= high.
    gap = np.exp(rng.normal(0.0, volatility * 0.3, shape))
    open_ = np.empty(shape)
    open_[0] = close[0] * gap[0]
    np.multiply(close[:-1], gap[1:], out=open_[1:])
    del gap
    high = np.maximum(open_, close)
    high *= np.exp(np.abs(rng.normal(0.0, volatility * 0.5, shape)))
    low = np.minimum(open_, close)
    low *= np.exp(-np.abs(rng.normal(0.0, volatility * 0.5, shape)))

    # Listing span of every stock: [first_row, last_row].
    first_row = np.zeros(n_stocks, dtype=np.int64)
    last_row = np.full(n_stocks, n_days - 1, dtype=np.int64)
    n_late = int(round(late_listed * n_stocks))
    n_gone = int(round(delisted * n_stocks))
    if n_late and n_days >= 4:
        late = rng.choice(n_stocks, n_late, replace=False)
        first_row[late] = rng.integers(1, max(2, n_days // 2), n_late)
    if n_gone and n_days >= 4:
        gone = rng.choice(n_stocks, n_gone, replace=False)
        last_row[gone] = np.maximum(first_row[gone] + 1, rng.integers(n_days // 4, n_days - 1, n_gone))
        last_row = np.minimum(last_row, n_days - 1)

    rows = np.arange(n_days)[:, None]
    absent = (rows < first_row) | (rows > last_row)
    if missing > 0:
        gaps = rng.random(shape) < missing
        # The first and last day of a listing always have prices.
        gaps &= (rows > first_row) & (rows < last_row)
        absent |= gaps
    for matrix in (open_, high, low, close):
        matrix[absent] = np.nan

    delisting_rows = np.where(last_row < n_days - 1, last_row, -1).astype(np.int64)
    width = len(str(n_stocks - 1))
    columns = np.array([f"S{j:0{width}d}" for j in range(n_stocks)], dtype=object)
    return MarketArrays(
        dates=_business_days(start, n_days),
        columns=columns,
        open=open_,
        high=high,
        low=low,
        close=close,
        delisting_rows=delisting_rows,
    )


# --------------------------------------------------------------------------------------------
# Momentum strategy


def month_end_rows(dates: np.ndarray) -> np.ndarray:
    """Rows that are the last trading day of their month in `dates`; the last row always is."""
    months = np.asarray(dates, dtype=np.int64).astype("datetime64[ns]").astype("datetime64[M]")
    if len(months) == 0:
        return np.zeros(0, dtype=np.int64)
    last = np.ones(len(months), dtype=bool)
    last[:-1] = months[1:] != months[:-1]
    return np.flatnonzero(last)


def _forward_filled(close: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each cell's last valid close (NaN before the first one) and the row it comes from."""
    n_days, n_stocks = close.shape
    source = np.where(np.isnan(close), -1, np.arange(n_days)[:, None])
    np.maximum.accumulate(source, axis=0, out=source)
    filled = close[np.maximum(source, 0), np.arange(n_stocks)]
    filled[source < 0] = np.nan
    return filled, source


def momentum_strategy(
    market: MarketArrays,
    *,
    top: int = 20,
    lookback: int = 60,
    rebalance: str = "monthly",
    stale_rows: int = 5,
) -> Strategy:
    """Equal-weight the `top` stocks with the best trailing `lookback`-row return.

    Signals are taken at the close of each month end (``rebalance="monthly"``; the last row of
    the data counts as one, so the report shows the orders for the next session) or of every
    row (``"daily"``), from the first row with a full look-back. A stock qualifies when it has
    a close `lookback` rows earlier and a close within the last `stale_rows` rows; each
    selected stock gets weight 1/`top`, so fewer qualifying stocks leave the rest in cash.
    The trades are allowed on the signal dates themselves (`resample` = the signal dates):
    the engine fills them on the next row.
    """
    if top < 1 or lookback < 1:
        raise ValueError("top and lookback must be at least 1")
    n_days, n_stocks = market.shape
    if rebalance == "monthly":
        rows = month_end_rows(market.dates)
    elif rebalance == "daily":
        rows = np.arange(n_days)
    else:
        raise ValueError(f"rebalance must be 'monthly' or 'daily', not {rebalance!r}")
    rows = rows[rows >= lookback]
    if len(rows) == 0:
        raise ValueError(f"the data has {n_days} rows: too few for a {lookback}-row momentum look-back")

    filled, source = _forward_filled(market.close)
    now, then = filled[rows], filled[rows - lookback]
    with np.errstate(divide="ignore", invalid="ignore"):
        score = now / then - 1.0
    eligible = np.isfinite(score) & (source[rows] >= rows[:, None] - stale_rows)
    score = np.where(eligible, score, -np.inf)

    k = min(top, n_stocks)
    chosen = np.argpartition(-score, k - 1, axis=1)[:, :k]
    weights = np.zeros((len(rows), n_stocks))
    picked = np.take_along_axis(eligible, chosen, axis=1)
    np.put_along_axis(weights, chosen, np.where(picked, 1.0 / top, 0.0), axis=1)

    signal_dates = market.dates[rows].copy()
    return Strategy(
        pos_values=weights,
        pos_index=signal_dates,
        pos_columns=market.columns,
        resample=signal_dates.copy(),
    )


# --------------------------------------------------------------------------------------------
# The price rule

# A price is NaN (missing) or lies in [PRICE_MIN, PRICE_MAX]. Every real price does: the cheapest
# traded tokens quote near 1e-10, and prices in the smallest unit of a hyperinflated currency stay
# below 1e15. The bounds keep the engine's arithmetic finite and exact to rounding: the ratio of any
# two prices (a row's return, a trade's gain) lies within 1e-27..1e27, so its square (variances) and
# a run of ten such extreme moves stay far below the float maximum of 1.8e308, and no price or
# ratio of prices is ever subnormal (below 2.2e-308), where floats lose their precision. Zero,
# negative, infinite, subnormal and absurdly large values (1e308) are all outside.
PRICE_MIN, PRICE_MAX = 1e-12, 1e15
PRICE_RULE = "positive and finite, between 1e-12 and 1e15, or NaN for a missing price"


def bad_prices(values: np.ndarray) -> np.ndarray:
    """Mask of the cells that are neither NaN (a missing price) nor within [PRICE_MIN, PRICE_MAX]."""
    with np.errstate(invalid="ignore"):
        return ~np.isnan(values) & ~((values >= PRICE_MIN) & (values <= PRICE_MAX))


def first_bad_rows(values: np.ndarray) -> np.ndarray:
    """Per column of a price matrix, the first row of a price `bad_prices` marks, or -1."""
    bad = bad_prices(values)
    if bad.shape[0] == 0:
        return np.full(bad.shape[1], -1, dtype=np.int64)
    return np.where(bad.any(axis=0), np.argmax(bad, axis=0), -1)


# --------------------------------------------------------------------------------------------
# CSV loader
#
# Two passes apply one set of rules. The fast pass hands the bytes to a columnar CSV reader
# (pyarrow's when it is installed, pandas' C reader otherwise) and checks the columns it gets
# back; it reports nothing itself. When anything is off, or it cannot vouch for the file, the
# file is read again record by record with the csv module, which applies the same checks and
# names the line and column of the first problem (a file that pass accepts is loaded from it).

_NAME_COLUMNS = ("name", "ticker", "symbol", "stock", "stock_id", "code", "asset")
_PRICE_COLUMNS = ("open", "high", "low", "close")
_MISSING = frozenset(("", "na", "n/a", "nan", "null", "none"))
# The spellings of a missing price the columnar readers match (exactly); other casings and
# surrounding blanks are left to the record-by-record pass.
_PANDAS_MAJOR = int(pd.__version__.split(".")[0])
_MISSING_SPELLINGS = sorted({s for m in _MISSING for s in (m, m.upper(), m.title(), m.capitalize())} | {"NaN"})
# The calendar days whose midnight fits int64 nanoseconds (the engine's and pandas' range).
_FIRST_DAY = _dt.date(1677, 9, 22)
_LAST_DAY = _dt.date(2262, 4, 11)


class DataError(ValueError):
    """A malformed input file. The message names the file, the line and the column."""

    def __init__(self, message: str, *, path=None, line=None, column=None):
        self.path, self.line, self.column, self.reason = path, line, column, message
        where = []
        if path is not None:
            where.append(os.fspath(path))
        if line is not None:
            where.append(f"line {line}")
        if column is not None:
            where.append(f"column '{column}'")
        super().__init__(f"{', '.join(where)}: {message}" if where else message)


class _Doubt(Exception):
    """The fast pass cannot vouch for the file: it is read again record by record."""


class _DateOutOfRange(ValueError):
    pass


def _read_bytes(path) -> bytes:
    """The whole file, gunzipped when its content (not its name) is gzip."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (EOFError, gzip.BadGzipFile, zlib.error) as exc:
            raise DataError(f"damaged gzip data ({exc})", path=path) from None
    return data[len(codecs.BOM_UTF8) :] if data.startswith(codecs.BOM_UTF8) else data


def _sniff_delimiter(header_line: str) -> str:
    for delimiter in (",", ";", "\t"):
        if delimiter in header_line:
            return delimiter
    return ","


def _header(data: bytes, path) -> tuple[list[str], str]:
    """The header line's fields and the delimiter."""
    end = min((i for i in (data.find(b"\n"), data.find(b"\r")) if i >= 0), default=len(data))
    try:
        line = data[:end].decode("utf-8")
    except UnicodeDecodeError as exc:
        raise DataError(f"not UTF-8 text (byte 0x{data[exc.start]:02x} in the header)", path=path, line=1) from None
    if not line.strip():
        raise DataError("the file is empty (expected a header line)", path=path, line=1)
    delimiter = _sniff_delimiter(line)
    return next(csv.reader([line], delimiter=delimiter)), delimiter


def _header_layout(header: list[str], path) -> dict[str, int]:
    """Field positions of date, open, high, low, close and the stock name (by header name)."""
    names = [h.strip().lower() for h in header]
    seen: dict[str, int] = {}
    for i, name in enumerate(names):
        if name in seen and name:
            raise DataError(f"column '{header[i].strip()}' appears twice in the header", path=path, line=1)
        seen[name] = i
    layout = {}
    for column in ("date", *_PRICE_COLUMNS):
        if column not in seen:
            raise DataError(
                f"missing column '{column}' in the header (found: {', '.join(header)}); "
                "expected date, open, high, low, close and a stock-name column",
                path=path,
                line=1,
            )
        layout[column] = seen[column]
    name_column = next((c for c in _NAME_COLUMNS if c in seen), None)
    if name_column is None:
        raise DataError(
            f"missing stock-name column in the header (one of {', '.join(_NAME_COLUMNS)}; found: {', '.join(header)})",
            path=path,
            line=1,
        )
    layout["name"] = seen[name_column]
    return layout


def _parse_date(text: str) -> int:
    """Nanoseconds since the epoch of an ISO date (optionally with a time) or ``YYYYMMDD``.

    A date with a UTC offset keeps its own calendar day and time: the offset is dropped.
    ValueError for text that is no date, `_DateOutOfRange` for a date int64 cannot hold.
    """
    value = text.strip()
    if len(value) == 8 and value.isdigit():
        value = f"{value[:4]}-{value[4:6]}-{value[6:]}"
    moment = _dt.datetime.fromisoformat(value.replace("/", "-")).replace(tzinfo=None)
    if not _FIRST_DAY <= moment.date() <= _LAST_DAY:
        raise _DateOutOfRange(text)
    return (moment - _EPOCH) // _dt.timedelta(microseconds=1) * 1000


def _parse_prices(strings: list[str]) -> tuple[np.ndarray, int | None]:
    """Float values (NaN for an empty or missing field) and the index of the first bad field.

    A field is a plain decimal or exponent number in ASCII; Python's digit separators
    (``1_000``) and non-ASCII digits, which `float` would take, are refused.
    """
    cleaned = ["nan" if s.strip().lower() in _MISSING else s for s in strings]
    for index, text in enumerate(cleaned):
        if "_" in text or not text.isascii():
            return np.empty(0), index
        try:
            float(text)
        except ValueError:
            return np.empty(0), index
    return np.fromiter(map(float, cleaned), dtype=np.float64, count=len(cleaned)), None


def _quoted_spans_clean(bytes_: np.ndarray) -> bool:
    """Whether every quoted span closes on its own line (no line break inside quotes)."""
    quotes = np.flatnonzero(bytes_ == ord('"'))
    if len(quotes) == 0:
        return True
    if len(quotes) % 2:
        return False
    breaks = np.flatnonzero((bytes_ == ord("\n")) | (bytes_ == ord("\r")))
    return bool(np.array_equal(np.searchsorted(breaks, quotes[0::2]), np.searchsorted(breaks, quotes[1::2])))


def _fast_columns(data: bytes, header: list[str], delimiter: str, layout: dict[str, int], engine: str):
    """(date strings, stock names, {field: float64 prices}) of the columnar reader, or `_Doubt`."""
    if not data.isascii():
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:
            raise _Doubt from None
    raw = np.frombuffer(data, dtype=np.uint8)
    if not _quoted_spans_clean(raw):
        raise _Doubt
    names = [f"f{i}" for i in range(len(header))]
    wanted = {key: names[i] for key, i in layout.items()}
    try:
        if engine == "pyarrow":
            columns = _read_pyarrow(data, names, delimiter, wanted)
        else:
            columns = _read_pandas_c(data, raw, names, delimiter, wanted)
    except _Doubt:
        raise
    except Exception:  # any complaint of the reader: the record-by-record pass names it
        raise _Doubt from None
    return columns


def _read_pyarrow(data: bytes, names: list[str], delimiter: str, wanted: dict[str, str]):
    import pyarrow as pa
    import pyarrow.csv as pacsv

    text = pa.dictionary(pa.int32(), pa.string())
    table = pacsv.read_csv(
        io.BytesIO(data),
        read_options=pacsv.ReadOptions(column_names=names, skip_rows=1),
        parse_options=pacsv.ParseOptions(delimiter=delimiter),
        convert_options=pacsv.ConvertOptions(
            include_columns=list(wanted.values()),
            column_types={
                wanted["date"]: text,
                wanted["name"]: text,
                **{wanted[k]: pa.float64() for k in _PRICE_COLUMNS},
            },
            null_values=_MISSING_SPELLINGS,
            strings_can_be_null=False,
            quoted_strings_can_be_null=False,
        ),
    )
    table = table.unify_dictionaries().combine_chunks()

    def coded(key: str) -> tuple[np.ndarray, list[str]]:
        column = table.column(wanted[key])
        if column.num_chunks == 0:
            return np.zeros(0, dtype=np.int64), []
        chunk = column.chunk(0)
        return chunk.indices.to_numpy().astype(np.int64), chunk.dictionary.to_pylist()

    prices = {k: table.column(wanted[k]).to_numpy().astype(np.float64, copy=False) for k in _PRICE_COLUMNS}
    return coded("date"), coded("name"), prices


def _read_pandas_c(data: bytes, raw: np.ndarray, names: list[str], delimiter: str, wanted: dict[str, str]):
    options: dict[str, Any] = {
        "engine": "c",
        "sep": delimiter,
        "header": None,
        "skiprows": 1,
        "names": names,
        "usecols": list(wanted.values()),
        "index_col": False,
        "dtype": {wanted["date"]: object, wanted["name"]: object, **{wanted[k]: np.float64 for k in _PRICE_COLUMNS}},
        "keep_default_na": False,
        "na_values": {wanted[k]: _MISSING_SPELLINGS for k in _PRICE_COLUMNS},
        "encoding": "utf-8",
    }
    if _PANDAS_MAJOR < 3:
        # pandas 2's default converter may miss the nearest double by an ulp; its round-trip one
        # does not (pandas 3's default is exact and the option deprecated).
        options["float_precision"] = "round_trip"
    frame = pd.read_csv(io.BytesIO(data), **options)
    # The C reader pads a short record with empty fields and drops the surplus of a long one
    # (the names are given), so the fields are counted here: every record that is not blank
    # has one delimiter fewer than the header has fields, outside quotes.
    line_ends = (raw == ord("\n")) | (raw == ord("\r"))
    if b"\r\n" in data:
        line_ends[:-1] &= raw[1:] != ord("\n")
    ends = np.flatnonzero(line_ends)
    delimiters = np.flatnonzero(raw == ord(delimiter))
    quotes = np.flatnonzero(raw == ord('"'))
    if len(quotes):
        delimiters = delimiters[np.searchsorted(quotes, delimiters) % 2 == 0]
    starts = np.concatenate(([0], ends + 1))
    per_line = np.diff(np.searchsorted(delimiters, np.concatenate((starts, [len(raw) + 1]))))[1:]
    if len(per_line) and starts[-1] >= len(raw):
        per_line = per_line[:-1]  # the empty "line" after a final line break
    records = per_line == len(names) - 1
    if not records.all():
        lines = np.flatnonzero(~records) + 1
        if (per_line[lines - 1] != 0).any() or any(
            data[starts[i] : (ends[i] if i < len(ends) else len(data))].strip() for i in lines
        ):
            raise _Doubt
    if int(records.sum()) != len(frame):
        raise _Doubt

    def coded(key: str) -> tuple[np.ndarray, list[str]]:
        codes, uniques = pd.factorize(frame[wanted[key]].to_numpy(dtype=object))
        return codes.astype(np.int64, copy=False), list(uniques)

    prices = {k: frame[wanted[k]].to_numpy(dtype=np.float64) for k in _PRICE_COLUMNS}
    return coded("date"), coded("name"), prices


def _slow_columns(data: bytes, header: list[str], delimiter: str, layout: dict[str, int], path):
    """The csv module's reading: (record lines, (codes, dates), (codes, names), {field: strings}),
    or the DataError of the first malformed record."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line_start = max(data.rfind(b"\n", 0, exc.start), data.rfind(b"\r", 0, exc.start)) + 1
        line = data.count(b"\n", 0, line_start) + 1
        if b"\n" not in data:
            line = data.count(b"\r", 0, line_start) + 1
        before = data[line_start : exc.start].decode("utf-8", errors="replace")
        field = next(csv.reader([before + "x"], delimiter=delimiter))
        column = header[len(field) - 1].strip() if len(field) <= len(header) else None
        raise DataError(
            f"not UTF-8 text (byte 0x{data[exc.start]:02x} {exc.reason}); save the file as UTF-8",
            path=path,
            line=line,
            column=column,
        ) from None
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
    keys = ("date", "name", *_PRICE_COLUMNS)
    positions = [layout[k] for k in keys]
    fields: list[list[str]] = [[] for _ in keys]
    lines: list[int] = []
    n_fields = len(header)
    try:
        next(reader)
        previous = reader.line_num
        for row in reader:
            start, previous = previous + 1, reader.line_num
            if not row or (len(row) == 1 and not row[0].strip()):
                continue
            if previous != start:
                j = next((j for j, f in enumerate(row) if "\n" in f or "\r" in f), None)
                raise DataError(
                    "a quoted field runs over a line break (unbalanced quote?)",
                    path=path,
                    line=start,
                    column=header[j].strip() if j is not None and j < n_fields else None,
                )
            if len(row) != n_fields:
                raise DataError(f"expected {n_fields} fields as in the header, found {len(row)}", path=path, line=start)
            lines.append(start)
            for out, position in zip(fields, positions, strict=True):
                out.append(row[position])
    except csv.Error as exc:
        raise DataError(f"unreadable CSV: {exc}", path=path, line=reader.line_num + 1) from None

    def coded(strings: list[str]) -> tuple[np.ndarray, list[str]]:
        index: dict[str, int] = {}
        codes = np.fromiter((index.setdefault(s, len(index)) for s in strings), dtype=np.int64, count=len(strings))
        return codes, list(index)

    return (
        np.array(lines, dtype=np.int64),
        coded(fields[0]),
        coded(fields[1]),
        dict(zip(_PRICE_COLUMNS, fields[2:], strict=True)),
    )


def _assemble(dates_coded, names_coded, prices, fail) -> MarketArrays:
    """The wide matrices of long-format columns (codes and distinct texts for dates and names,
    floats or strings per price field); `fail(record, key, message, earlier=None)` raises."""
    name_codes, name_texts = names_coded
    date_codes, date_texts = dates_coded
    n_records = len(name_codes)
    if n_records == 0:
        fail(None, None, "no data rows after the header")

    def first(codes: np.ndarray, bad: list[int]) -> int:
        return int(np.flatnonzero(np.isin(codes, bad))[0])

    # Stocks, in name order.
    stripped = [s.strip() for s in name_texts]
    blank = [code for code, s in enumerate(stripped) if not s]
    if blank:
        fail(first(name_codes, blank), "name", "empty stock name")
    labels = sorted(set(stripped))
    label_index = {label: j for j, label in enumerate(labels)}
    stock = np.array([label_index[s] for s in stripped], dtype=np.int64)[name_codes]

    # Dates, ascending.
    stamps = np.empty(len(date_texts), dtype=np.int64)
    for code, date_text in enumerate(date_texts):
        try:
            stamps[code] = _parse_date(date_text)
        except _DateOutOfRange:
            fail(
                first(date_codes, [code]),
                "date",
                f"date {date_text.strip()!r} is out of range (dates must lie between {_FIRST_DAY} and {_LAST_DAY})",
            )
        except (ValueError, OverflowError):
            fail(first(date_codes, [code]), "date", f"cannot read {date_text!r} as a date (expected YYYY-MM-DD)")
    dates, date_map = np.unique(stamps, return_inverse=True)
    day: np.ndarray = date_map.reshape(-1)[date_codes]

    # One row per stock and date.
    cell = day * len(labels) + stock
    order = np.argsort(cell, kind="stable")
    repeated = np.flatnonzero(cell[order][1:] == cell[order][:-1])
    if len(repeated):
        later = order[repeated + 1]
        worst = int(np.argmin(later))
        first_record, second_record = int(order[repeated[worst]]), int(later[worst])
        when = _dt.datetime.fromtimestamp(int(dates[day[second_record]]) / 1e9, _dt.UTC).date().isoformat()
        fail(
            second_record,
            "name",
            f"second row for stock {labels[stock[second_record]]!r} on {when}",
            first_record,
        )

    matrices = {}
    for column in _PRICE_COLUMNS:
        values = prices[column]
        if isinstance(values, list):
            values, bad = _parse_prices(values)
            if bad is not None:
                fail(bad, column, "not a number (expected a price such as 12.34, or empty)")
        invalid = bad_prices(values)
        if invalid.any():
            where = int(np.argmax(invalid))
            fail(
                where,
                column,
                f"price must lie between 1e-12 and 1e15: positive and finite, got {float(values[where])!r}",
            )
        matrix = np.full((len(dates), len(labels)), np.nan)
        matrix[day, stock] = values
        matrices[column] = matrix

    close = matrices["close"]
    has_close = ~np.isnan(close)
    last_close = len(dates) - 1 - np.argmax(has_close[::-1], axis=0)
    delisting_rows = np.where(has_close.any(axis=0) & (last_close < len(dates) - 1), last_close, -1).astype(np.int64)
    return MarketArrays(
        dates=dates,
        columns=np.array(labels, dtype=object),
        open=matrices["open"],
        high=matrices["high"],
        low=matrices["low"],
        close=close,
        delisting_rows=delisting_rows,
    )


def _columnar_engine() -> str:
    """The fast pass's reader: pyarrow's when it is installed, else pandas' C reader."""
    try:
        import pyarrow.csv  # noqa: F401
    except ImportError:
        return "c"
    return "pyarrow"


def load_csv(path: str | os.PathLike[str]) -> MarketArrays:
    """Load daily prices in long format (one row per date and stock) into wide matrices.

    The header names the columns: ``date``, ``open``, ``high``, ``low``, ``close`` and the stock
    (``Name``, ``ticker``, ``symbol``, ...), in any order and case, separated by commas,
    semicolons or tabs; other columns (volume, adjusted close) are ignored. The file is UTF-8
    text; gzip-compressed files are recognised by their content. Dates are ISO
    (``2018-02-07``, optionally with a time) or ``YYYYMMDD``, from 1677-09-22 to 2262-04-11;
    an empty price field (or NA, null, nan) is a missing price. Rows may come in any order.
    Stocks are sorted by name and dates ascending; a stock without a row for a date has NaN
    prices there. A stock whose prices stop before the last date is taken as delisted on its
    last row with a close.

    The file is parsed by pyarrow's CSV reader when pyarrow is installed (``zelvor[fast]``),
    by pandas' C reader otherwise; the result is the same.

    Parameters
    ----------
    path : str or os.PathLike
        The file, plain or gzip-compressed.

    Returns
    -------
    MarketArrays
        float64 matrices [dates, stocks], int64 nanosecond dates, the stock labels.

    Raises
    ------
    DataError
        A `ValueError` whose one-line message names the file, the line and the column: a
        missing header column, a wrong number of fields, a quote left open over a line break,
        bytes that are not UTF-8, an unreadable or out-of-range date, a price that is not a
        plain number (``1_000`` is not) or not between 1e-12 and 1e15, an empty stock name, or
        two rows for the same stock and date.

    Examples
    --------
    >>> arrays = load_csv("prices.csv.gz")  # doctest: +SKIP
    >>> arrays.close.shape  # doctest: +SKIP
    (1259, 505)
    """
    return _load_csv(path, _columnar_engine())


def _load_csv(path, engine: str | None) -> MarketArrays:
    """`load_csv` with a given fast-pass reader (None: the record-by-record pass alone)."""
    data = _read_bytes(path)
    header, delimiter = _header(data, path)
    layout = _header_layout(header, path)
    label_of = {key: header[i].strip() for key, i in layout.items()}

    def doubt(record, key, message, earlier=None):
        raise _Doubt

    try:
        if engine is None:
            raise _Doubt
        date_col, name_col, prices = _fast_columns(data, header, delimiter, layout, engine)
        return _assemble(date_col, name_col, prices, doubt)
    except _Doubt:
        pass
    # Read record by record: the first problem is raised with its line; a file this pass accepts
    # (one the columnar reader refused for a reason of its own) is loaded from its reading.
    lines, date_col, name_col, texts = _slow_columns(data, header, delimiter, layout, path)

    def fail(record, key, message, earlier=None):
        if record is None:
            raise DataError(message, path=path, line=2)
        if earlier is not None:
            message += f" (the first is on line {lines[earlier]})"
        raise DataError(message, path=path, line=int(lines[record]), column=label_of.get(key))

    return _assemble(date_col, name_col, texts, fail)


# --------------------------------------------------------------------------------------------
# The public market: wide DataFrames

_FIELDS = ("close", "open", "high", "low")
# One-day close ratios at or beyond these look like an unadjusted split (or a share dividend).
_SPLIT_DOWN, _SPLIT_UP = 0.55, 1.8


def _type_name(obj: object) -> str:
    """``polars.DataFrame``, ``pyarrow.Table``, ``numpy.ndarray``, ``dict``: the library and the type."""
    kind = type(obj)
    library = kind.__module__.split(".")[0]
    return kind.__qualname__ if library == "builtins" else f"{library}.{kind.__qualname__}"


def _as_pandas_frame(
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
    >>> _as_pandas_frame(frame, "close").index  # doctest: +SKIP
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


def _date_index(index: object, name: str, *, ordered: bool = True) -> pd.DatetimeIndex:
    """`index` as a unique DatetimeIndex within the engine's date range, sorted unless not
    `ordered`, or a ValueError/TypeError naming `name`."""
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(f"{name}: the index must be a DatetimeIndex of dates, got {type(index).__name__}")
    if index.hasnans:
        raise ValueError(f"{name}: the index has missing dates (NaT)")
    if ordered and not index.is_monotonic_increasing:
        raise ValueError(f"{name}: the dates are not sorted in ascending order")
    if not index.is_unique:
        dupes = index[index.duplicated()].unique()[:5]
        raise ValueError(f"{name}: duplicate dates in the index: {', '.join(str(d.date()) for d in dupes)}")
    if len(index) and index.unit != "ns":
        try:
            index.as_unit("ns")
        except (OverflowError, ValueError):  # pandas' OutOfBoundsDatetime is a ValueError
            raise ValueError(
                f"{name}: dates from {index.min().date()} to {index.max().date()} reach beyond "
                f"{_FIRST_DAY} .. {_LAST_DAY}, the range of the engine's nanosecond dates"
            ) from None
    return index


def _ns(index: pd.DatetimeIndex) -> np.ndarray:
    """Int64 nanoseconds since the epoch (UTC for a timezone-aware index)."""
    return np.asarray(index.as_unit("ns").asi8, dtype=np.int64)


def _is_real_dtype(dtype: Any) -> bool:
    """Integers and floats (NumPy's or pandas' nullable ones), not booleans or complex numbers."""
    return (
        pd.api.types.is_numeric_dtype(dtype)
        and not pd.api.types.is_bool_dtype(dtype)
        and not pd.api.types.is_complex_dtype(dtype)
    )


def _float_matrix(frame: pd.DataFrame, name: str) -> np.ndarray:
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


def _zone(index: pd.DatetimeIndex) -> str:
    return "timezone-naive" if index.tz is None else f"in {index.tz}"


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
                raise ValueError(f"{where}: {_row(values, unread)} reaches beyond {_FIRST_DAY} .. {_LAST_DAY}")
            raise ValueError(f"{where}: cannot read {_row(values, unread)} as a date (expected YYYY-MM-DD)")
        values = parsed
    try:
        return values.dt.as_unit("ns")
    except (OverflowError, ValueError):
        raise ValueError(
            f"{where}: dates from {values.min().date()} to {values.max().date()} reach beyond "
            f"{_FIRST_DAY} .. {_LAST_DAY}, the range of the engine's nanosecond dates"
        ) from None


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


class Market:
    """Daily prices of a set of stocks, as aligned wide DataFrames (dates x stocks).

    `close` is required: a DataFrame with a sorted, unique ``DatetimeIndex`` (one row per trading
    day, timezone-naive or -aware, within 1677-09-22 .. 2262-04-11) and one column per stock, NaN
    for a missing price. `open`, `high` and `low` are optional; a missing one is filled from
    `close` (so intraday exits then see the close as the whole day's range). A given one must
    have the dates and stocks of `close`, in the same time zone, in any order: it is aligned to
    `close`'s. Prices are real numbers (integer or float dtypes; booleans, complex numbers, text
    and dates are refused), converted to float64 once, here; frames that are float64 already are
    handed to the engine without a copy, so do not modify them afterwards. A polars DataFrame or
    a pyarrow Table (any frame with ``to_pandas()`` or ``__dataframe__``) is converted to pandas,
    its column named ``date`` (or its one datetime column) becoming the index.

    ``market.dates`` is the DatetimeIndex, ``market.stocks`` the column Index; ``market.close``
    (and ``open``, ``high``, ``low``) the frames. ``market.check()`` lists suspicious data.

    Parameters
    ----------
    close : pandas.DataFrame
        Closing prices, dates x stocks.
    open, high, low : pandas.DataFrame, optional
        The other prices of the day; default: `close`.

    Raises
    ------
    TypeError, ValueError
        A message naming the argument: not a frame, an index that is not dates, unsorted (close)
        or repeated dates, dates out of range, other dates, stocks or zone than close's, prices
        that are not real numbers.

    Examples
    --------
    >>> dates = pd.bdate_range("2024-01-02", periods=3)
    >>> close = pd.DataFrame({"AAA": [10.0, 10.5, 10.2], "BBB": [20.0, 19.5, 19.9]}, index=dates)
    >>> Market(close, open=close.shift(1).fillna(close))
    <Market: 2 stocks x 3 days, 2024-01-02 .. 2024-01-04>
    """

    __slots__ = (
        "_frames",
        "_arrays",
        "_dates",
        "_stocks",
        "_labels",
        "_label_pos",
        "_delisting",
        "_cache",
        "__weakref__",
    )

    def __init__(
        self,
        close: pd.DataFrame,
        open: pd.DataFrame | None = None,  # noqa: A002 - the field's name
        high: pd.DataFrame | None = None,
        low: pd.DataFrame | None = None,
    ) -> None:
        close = _as_pandas_frame(close, "close", what="a DataFrame of prices (dates x stocks)")
        dates = _date_index(close.index, "close")
        stocks = close.columns
        if not stocks.is_unique:
            dupes = stocks[stocks.duplicated()].unique()[:5]
            raise ValueError(f"close: duplicate stock columns: {', '.join(map(str, dupes))}")
        labels = np.array([str(c) for c in stocks], dtype=object)
        if len(set(labels)) != len(labels):
            raise ValueError("close: two stock columns have the same text label")
        frames = {"close": close}
        arrays = {"close": _float_matrix(close, "close")}
        for name, given in (("open", open), ("high", high), ("low", low)):
            if given is None:
                frames[name], arrays[name] = close, arrays["close"]
                continue
            frame = _as_pandas_frame(given, name, what="a DataFrame of prices or None")
            index = _date_index(frame.index, name, ordered=False)
            if (index.tz is None) != (dates.tz is None):
                raise ValueError(f"{name}: timezone-aware and timezone-naive dates mixed with close")
            if index.tz != dates.tz:
                raise ValueError(f"{name}: dates {_zone(index)}, close's {_zone(dates)}: give both in one zone")
            if not (index.equals(dates) and frame.columns.equals(stocks)):
                if set(frame.columns) != set(stocks) or len(index) != len(dates) or not index.isin(dates).all():
                    raise ValueError(f"{name}: the dates and stocks must be those of close")
                frame = frame.reindex(index=dates, columns=stocks)
            frames[name] = frame
            arrays[name] = _float_matrix(frame, name)
        self._frames = frames
        self._dates = dates
        self._stocks = stocks
        self._labels = labels
        self._label_pos = {label: j for j, label in enumerate(labels)}
        self._arrays = MarketArrays(
            dates=_ns(dates),
            columns=labels,
            open=arrays["open"],
            high=arrays["high"],
            low=arrays["low"],
            close=arrays["close"],
            delisting_rows=np.empty(0, dtype=np.int64),  # computed on demand: delisting_rows()
        )
        self._delisting: np.ndarray | None = None
        self._cache: dict[str, Any] = {}

    # ---- constructors

    @classmethod
    def from_arrays(cls, arrays: MarketArrays, tz: str | None = None) -> Market:
        """Wrap the engine-layout arrays of a loader (no copy of the price matrices)."""
        dates = pd.DatetimeIndex(arrays.dates.astype("datetime64[ns]"))
        if tz is not None:
            dates = dates.tz_localize("UTC").tz_convert(tz)
        stocks = pd.Index(list(arrays.columns), dtype=object)

        def frame(values: np.ndarray) -> pd.DataFrame:
            return pd.DataFrame(values, index=dates, columns=stocks, copy=False)

        close = frame(arrays.close)
        market = cls(
            close,
            open=close if arrays.open is arrays.close else frame(arrays.open),
            high=close if arrays.high is arrays.close else frame(arrays.high),
            low=close if arrays.low is arrays.close else frame(arrays.low),
        )
        if len(arrays.delisting_rows) == len(arrays.columns):
            market._delisting = arrays.delisting_rows
        return market

    @classmethod
    def from_long(cls, frame: pd.DataFrame, *, warn: bool = True) -> Market:
        """A market from one row per date and stock.

        Columns (any case): ``date``, ``close``, optionally ``open``, ``high``, ``low``, and the
        stock (the first of ``name``, ``ticker``, ``symbol``, ``stock``, ``stock_id``, ``code``,
        ``asset`` present); others are ignored. Two columns that differ only in case (``Close``
        and ``close``) are refused as ambiguous. A stock without a row on a date has NaN prices
        there. A polars DataFrame or pyarrow Table is converted to pandas first.

        Parameters
        ----------
        frame : pandas.DataFrame
            The rows. Dates are datetimes or text such as ``2024-01-02`` (numbers are refused:
            they would read as nanoseconds since 1970); every row names its stock, all names of
            one type; prices are real numbers or numeric text (NaN or None for a missing one).
        warn : bool, default True
            Warn (`DataWarning`, once, with their count) when `Market.check` finds suspicious
            prices.

        Returns
        -------
        Market
            Dates ascending, stocks sorted.

        Raises
        ------
        TypeError, ValueError
            A message naming the frame's column and, for a bad value, its row: a missing or
            ambiguous column, a missing, unreadable or out-of-range date, a missing stock name,
            names of mixed types, a price that is not a real number, two rows for one stock and
            date.

        Examples
        --------
        >>> rows = pd.DataFrame({"date": ["2024-01-02", "2024-01-02", "2024-01-03"],
        ...                      "symbol": ["AAA", "BBB", "AAA"], "close": [10.0, 20.0, 10.5]})
        >>> Market.from_long(rows).close
                     AAA   BBB
        2024-01-02  10.0  20.0
        2024-01-03  10.5   NaN
        """
        frame = _as_pandas_frame(frame, "frame", index_dates=False)
        columns = {key: _long_column(frame, key) for key in ("date", *_FIELDS)}
        missing = [c for c in ("date", "close") if columns[c] is None]
        if missing:
            raise ValueError(
                f"frame: missing column(s) {', '.join(missing)} (found: {', '.join(map(str, frame.columns))})"
            )
        name_key = next((c for c in _NAME_COLUMNS if _long_column(frame, c) is not None), None)
        if name_key is None:
            raise ValueError(f"frame: missing the stock column (one of {', '.join(_NAME_COLUMNS)})")
        name_col = _long_column(frame, name_key)
        dates = _long_dates(frame[columns["date"]], str(columns["date"]))
        names = _long_names(frame[name_col], str(name_col))
        keys = pd.MultiIndex.from_arrays([dates, names])
        if keys.has_duplicates:
            d, s = keys[keys.duplicated()][0]
            raise ValueError(f"frame: two rows for stock {s!r} on {d}")
        fields = {}
        for name in _FIELDS:
            if columns[name] is not None:
                values = _long_prices(frame[columns[name]], str(columns[name]))
                wide = pd.Series(values, index=keys).unstack()
                wide.index.name = None
                wide.columns.name = None
                fields[name] = wide.sort_index().sort_index(axis=1)
        market = cls(**fields)
        if warn:
            market._warn_problems()
        return market

    @classmethod
    def synthetic(cls, stocks: int = 500, years: float = 10, seed: int = 0) -> Market:
        """The seeded synthetic market of the demo: `years` of weekdays (261 a year) from 2010-01-04.

        Prices follow a common factor plus stock noise (about 2 % daily volatility); some stocks
        list late, some stop trading (delisted), a few days have no prices.
        """
        n_days = max(2, round(years * 261))
        return cls.from_arrays(synthetic_market(int(stocks), n_days, seed=seed))

    # ---- views

    @property
    def dates(self) -> pd.DatetimeIndex:
        """The trading days (the index of every price frame)."""
        return self._dates

    @property
    def stocks(self) -> pd.Index:
        """The stock labels (the columns of every price frame)."""
        return self._stocks

    @property
    def close(self) -> pd.DataFrame:
        return self._frames["close"]

    @property
    def open(self) -> pd.DataFrame:
        return self._frames["open"]

    @property
    def high(self) -> pd.DataFrame:
        return self._frames["high"]

    @property
    def low(self) -> pd.DataFrame:
        return self._frames["low"]

    @property
    def shape(self) -> tuple[int, int]:
        """(trading days, stocks)."""
        return self._arrays.close.shape

    @property
    def arrays(self) -> MarketArrays:
        """The engine-layout arrays (shared with the frames; read them, do not write them)."""
        return self._arrays

    def delisting_rows(self) -> np.ndarray:
        """Per stock, the row of its last close when its prices end before the last date, else -1."""
        if self._delisting is None:
            close = self._arrays.close
            n = close.shape[0]
            has = ~np.isnan(close)
            last = n - 1 - np.argmax(has[::-1], axis=0)
            self._delisting = np.where(has.any(axis=0) & (last < n - 1), last, -1).astype(np.int64)
        return self._delisting

    def _priced_columns(self) -> np.ndarray:
        """Per stock, whether it has at least one close (cached)."""
        if "priced" not in self._cache:
            self._cache["priced"] = ~np.isnan(self._arrays.close).all(axis=0)
        return self._cache["priced"]

    def _columns_of(self, columns: pd.Index) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(text labels, column here or -1, has prices here) for a weights frame's columns; the
        last answer is kept, since a sweep hands the same columns again and again."""
        cached = self._cache.get("columns")
        if cached is not None and cached[0] is columns:
            return cached[1], cached[2], cached[3]
        labels = np.array([str(c) for c in columns], dtype=object)
        position = self._label_pos
        where = np.fromiter((position.get(label, -1) for label in labels), dtype=np.int64, count=len(labels))
        usable = (where >= 0) & self._priced_columns()[np.maximum(where, 0)] if len(labels) else where >= 0
        self._cache["columns"] = (columns, labels, where, usable)
        return labels, where, usable

    def _bad_trading_rows(self, field: str) -> np.ndarray:
        """Per stock, the first row of a `field` price outside the price rule (`bad_prices`), or -1 (cached)."""
        key = "bad_" + field
        if key not in self._cache:
            self._cache[key] = first_bad_rows(getattr(self._arrays, field))
        return self._cache[key]

    def __repr__(self) -> str:
        n, p = self.shape
        if n == 0:
            return f"<Market: {p} stocks, no dates>"
        return f"<Market: {p} stocks x {n} days, {self._dates[0].date()} .. {self._dates[-1].date()}>"

    # ---- data checks

    def check(self) -> pd.DataFrame:
        """Suspicious prices, one row each: ``date, stock, field, value, problem``.

        Problems: a price that is not NaN and not between 1e-12 and 1e15 (zero, negative,
        infinite, subnormal or absurdly large: `zelvor.backtest` refuses these for the stocks
        it trades); a high below the low; a one-day
        close ratio of 0.55 or less, or 1.8 or more (a split, reverse split or share dividend
        that the prices were not adjusted for). An empty frame means nothing was found.
        """
        a = self._arrays
        found: list[tuple[np.ndarray, np.ndarray, str, np.ndarray, str]] = []
        seen: set[int] = set()
        for name in _FIELDS:
            values = getattr(a, name)
            if id(values) in seen:
                continue
            seen.add(id(values))
            r, c = np.nonzero(bad_prices(values))
            found.append((r, c, name, values[r, c], f"not a usable price ({PRICE_RULE})"))
        if a.high is not a.low:
            with np.errstate(invalid="ignore"):
                r, c = np.nonzero(a.high < a.low)
            found.append((r, c, "high", a.high[r, c], "high below low"))
        filled, _ = _forward_filled(a.close)
        with np.errstate(invalid="ignore", divide="ignore"):
            ratio = a.close[1:] / filled[:-1]
            r, c = np.nonzero((ratio <= _SPLIT_DOWN) | (ratio >= _SPLIT_UP))
        found.append(
            (r + 1, c, "close", ratio[r, c], "one-day move that looks like an unadjusted split (value: the ratio)")
        )
        rows = np.concatenate([f[0] for f in found])
        cols = np.concatenate([f[1] for f in found])
        out = pd.DataFrame(
            {
                "date": self._dates[rows],
                "stock": self._stocks[cols],
                "field": np.concatenate([np.full(len(f[0]), f[2], dtype=object) for f in found]),
                "value": np.concatenate([f[3] for f in found]).astype(np.float64),
                "problem": np.concatenate([np.full(len(f[0]), f[4], dtype=object) for f in found]),
            }
        )
        return out.sort_values(["date", "stock"], kind="stable").reset_index(drop=True)

    def _warn_problems(self) -> None:
        problems = self.check()
        if len(problems):
            warnings.warn(
                f"{len(problems)} suspicious price(s) in the data: see Market.check()", DataWarning, stacklevel=3
            )


class DataWarning(UserWarning):
    """Prices that look wrong (see `Market.check`)."""


def read_csv(path: str | os.PathLike[str], *, warn: bool = True) -> Market:
    """Load daily prices in long format into a `Market`.

    The format and the checks are those of `load_csv`: one row per date and stock, a header
    naming ``date``, ``open``, ``high``, ``low``, ``close`` and the stock, any other columns
    ignored, plain or gzip-compressed UTF-8 text.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    warn : bool, default True
        Warn (`DataWarning`, once, with their count) when `Market.check` finds suspicious
        prices; False skips the check.

    Returns
    -------
    Market
        Dates ascending (timezone-naive), stocks sorted by name, NaN where a stock has no row.

    Raises
    ------
    DataError
        Malformed input, in one line naming the file, the line and the column.

    Examples
    --------
    >>> market = zelvor.read_csv("prices.csv.gz")  # doctest: +SKIP
    >>> market  # doctest: +SKIP
    <Market: 505 stocks x 1259 days, 2013-02-08 .. 2018-02-07>
    """
    market = Market.from_arrays(load_csv(path))
    if warn:
        market._warn_problems()
    return market
