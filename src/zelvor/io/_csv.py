"""The CSV reader: daily prices in long format (one row per date and stock) into wide matrices.

Two passes apply one set of rules. The fast pass hands the bytes to a columnar CSV reader
(`zelvor.io._columnar`) and checks the columns it gets back; it reports nothing itself. When
anything is off, or it cannot vouch for the file, the file is read again record by record with the
csv module, which applies the same checks and names the line and column of the first problem (a
file that pass accepts is loaded from it).
"""

from __future__ import annotations

import codecs
import csv
import datetime as _dt
import gzip
import io
import os
import zlib

import numpy as np

from zelvor._arrays import MarketArrays, bad_prices, delisting_rows
from zelvor._dates import FIRST_DAY, LAST_DAY
from zelvor._frames import NAME_COLUMNS
from zelvor.io._columnar import MISSING, PRICE_COLUMNS, Doubt, columnar_engine, fast_columns
from zelvor.market import Market, warn_problems

__all__ = ["DataError", "load_csv", "read_csv"]

_EPOCH = _dt.datetime(1970, 1, 1)


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
    for column in ("date", *PRICE_COLUMNS):
        if column not in seen:
            raise DataError(
                f"missing column '{column}' in the header (found: {', '.join(header)}); "
                "expected date, open, high, low, close and a stock-name column",
                path=path,
                line=1,
            )
        layout[column] = seen[column]
    name_column = next((c for c in NAME_COLUMNS if c in seen), None)
    if name_column is None:
        raise DataError(
            f"missing stock-name column in the header (one of {', '.join(NAME_COLUMNS)}; found: {', '.join(header)})",
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
    if not FIRST_DAY <= moment.date() <= LAST_DAY:
        raise _DateOutOfRange(text)
    return (moment - _EPOCH) // _dt.timedelta(microseconds=1) * 1000


def _parse_prices(strings: list[str]) -> tuple[np.ndarray, int | None]:
    """Float values (NaN for an empty or missing field) and the index of the first bad field.

    A field is a plain decimal or exponent number in ASCII; Python's digit separators
    (``1_000``) and non-ASCII digits, which `float` would take, are refused.
    """
    cleaned = ["nan" if s.strip().lower() in MISSING else s for s in strings]
    for index, text in enumerate(cleaned):
        if "_" in text or not text.isascii():
            return np.empty(0), index
        try:
            float(text)
        except ValueError:
            return np.empty(0), index
    return np.fromiter(map(float, cleaned), dtype=np.float64, count=len(cleaned)), None


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
    keys = ("date", "name", *PRICE_COLUMNS)
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
        dict(zip(PRICE_COLUMNS, fields[2:], strict=True)),
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
                f"date {date_text.strip()!r} is out of range (dates must lie between {FIRST_DAY} and {LAST_DAY})",
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
    for column in PRICE_COLUMNS:
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

    return MarketArrays(
        dates=dates,
        columns=np.array(labels, dtype=object),
        open=matrices["open"],
        high=matrices["high"],
        low=matrices["low"],
        close=matrices["close"],
        delisting_rows=delisting_rows(matrices["close"]),
    )


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
    return _load_csv(path, columnar_engine())


def _load_csv(path, engine: str | None) -> MarketArrays:
    """`load_csv` with a given fast-pass reader (None: the record-by-record pass alone)."""
    data = _read_bytes(path)
    header, delimiter = _header(data, path)
    layout = _header_layout(header, path)
    label_of = {key: header[i].strip() for key, i in layout.items()}

    def doubt(record, key, message, earlier=None):
        raise Doubt

    try:
        if engine is None:
            raise Doubt
        date_col, name_col, prices = fast_columns(data, header, delimiter, layout, engine)
        return _assemble(date_col, name_col, prices, doubt)
    except Doubt:
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
        warn_problems(market)
    return market
