"""The fast pass of the CSV reader: the bytes handed to a columnar reader (pyarrow's when it is
installed, pandas' C reader otherwise), whose columns are checked by the caller. It reports
nothing itself: whenever it cannot vouch for the file it raises `Doubt`, and the file is read
again record by record (see `zelvor.io._csv`).
"""

from __future__ import annotations

import io
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["MISSING", "PRICE_COLUMNS", "Doubt", "columnar_engine", "fast_columns"]

PRICE_COLUMNS = ("open", "high", "low", "close")
MISSING = frozenset(("", "na", "n/a", "nan", "null", "none"))
# The spellings of a missing price the columnar readers match (exactly); other casings and
# surrounding blanks are left to the record-by-record pass.
_PANDAS_MAJOR = int(pd.__version__.split(".")[0])
_MISSING_SPELLINGS = sorted({s for m in MISSING for s in (m, m.upper(), m.title(), m.capitalize())} | {"NaN"})


class Doubt(Exception):
    """The fast pass cannot vouch for the file: it is read again record by record."""


def columnar_engine() -> str:
    """The fast pass's reader: pyarrow's when it is installed, else pandas' C reader."""
    try:
        import pyarrow.csv  # noqa: F401
    except ImportError:
        return "c"
    return "pyarrow"


def _quoted_spans_clean(bytes_: np.ndarray) -> bool:
    """Whether every quoted span closes on its own line (no line break inside quotes)."""
    quotes = np.flatnonzero(bytes_ == ord('"'))
    if len(quotes) == 0:
        return True
    if len(quotes) % 2:
        return False
    breaks = np.flatnonzero((bytes_ == ord("\n")) | (bytes_ == ord("\r")))
    return bool(np.array_equal(np.searchsorted(breaks, quotes[0::2]), np.searchsorted(breaks, quotes[1::2])))


def fast_columns(data: bytes, header: list[str], delimiter: str, layout: dict[str, int], engine: str):
    """(date strings, stock names, {field: float64 prices}) of the columnar reader, or `Doubt`."""
    if not data.isascii():
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:
            raise Doubt from None
    raw = np.frombuffer(data, dtype=np.uint8)
    if not _quoted_spans_clean(raw):
        raise Doubt
    names = [f"f{i}" for i in range(len(header))]
    wanted = {key: names[i] for key, i in layout.items()}
    try:
        if engine == "pyarrow":
            columns = _read_pyarrow(data, names, delimiter, wanted)
        else:
            columns = _read_pandas_c(data, raw, names, delimiter, wanted)
    except Doubt:
        raise
    except Exception:  # any complaint of the reader: the record-by-record pass names it
        raise Doubt from None
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
                **{wanted[k]: pa.float64() for k in PRICE_COLUMNS},
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

    prices = {k: table.column(wanted[k]).to_numpy().astype(np.float64, copy=False) for k in PRICE_COLUMNS}
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
        "dtype": {wanted["date"]: object, wanted["name"]: object, **{wanted[k]: np.float64 for k in PRICE_COLUMNS}},
        "keep_default_na": False,
        "na_values": {wanted[k]: _MISSING_SPELLINGS for k in PRICE_COLUMNS},
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
            raise Doubt
    if int(records.sum()) != len(frame):
        raise Doubt

    def coded(key: str) -> tuple[np.ndarray, list[str]]:
        codes, uniques = pd.factorize(frame[wanted[key]].to_numpy(dtype=object))
        return codes.astype(np.int64, copy=False), list(uniques)

    prices = {k: frame[wanted[k]].to_numpy(dtype=np.float64) for k in PRICE_COLUMNS}
    return coded("date"), coded("name"), prices
