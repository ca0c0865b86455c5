"""Building a Market from frames: what Market() and Market.from_long accept, convert and refuse,
and that every refusal is a TypeError or ValueError naming the argument (or the column)."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import zelvor

DATES = pd.bdate_range("2023-01-02", periods=3)


def long_frame(**changes):
    """Two stocks over three days (AAA's close 10, 11, 12; BBB's 20, 21, 22), with `changes`
    as {column: new values}."""
    frame = pd.DataFrame(
        {
            "Date": [d.strftime("%Y-%m-%d") for d in DATES] * 2,
            "Symbol": ["AAA"] * 3 + ["BBB"] * 3,
            "Close": [10.0, 11.0, 12.0, 20.0, 21.0, 22.0],
        }
    )
    for column, values in changes.items():
        frame[column] = pd.Series(values, dtype=object) if isinstance(values, list) else values
    return frame


@pytest.mark.parametrize(
    "frame, error, message",
    [
        (long_frame(Close=[10.0, "$2.0", 12.0, 20.0, 21.0, 22.0]), ValueError,
         r"frame: column 'Close': row 1 \('\$2.0'\) is not a number"),
        (long_frame(Date=np.array([20230102, 20230103, 20230104] * 2)), TypeError,
         r"frame: column 'Date': dates must be dates or text, not numbers \(int64"),
        (long_frame(Date=pd.Series([20230102, 20230103, 20230104] * 2, dtype=object)), TypeError,
         r"column 'Date': dates must be dates or text, not numbers"),
        (long_frame(Date=["2023-01-02", None, "2023-01-04"] * 2), ValueError,
         r"frame: column 'Date': a missing date on row 1"),
        (long_frame(Date=["2023-01-02", "2023-13-45", "2023-01-04"] * 2), ValueError,
         r"frame: column 'Date': cannot read row 1 \('2023-13-45'\) as a date"),
        (long_frame(Date=["2023-01-02", "2023-01-03", "3000-01-04"] * 2), ValueError,
         r"frame: column 'Date': .*3000-01-04.* reach(es)? beyond 1677-09-22 .. 2262-04-11"),
        (long_frame(Symbol=["AAA", None, "AAA", "BBB", "BBB", "BBB"]), ValueError,
         r"frame: column 'Symbol': no stock name on row 1"),
        (long_frame(Symbol=["AAA", " ", "AAA", "BBB", "BBB", "BBB"]), ValueError,
         r"frame: column 'Symbol': no stock name on row 1"),
        (long_frame(Symbol=[1, 1, 1, "BBB", "BBB", "BBB"]), TypeError,
         r"frame: column 'Symbol': stock names of several types \(int, str\)"),
        (long_frame(close=[1.0] * 6), ValueError, r"frame: columns 'Close' and 'close' both name the close"),
        (long_frame(Close=[True, False, True, True, True, True]), TypeError,
         r"frame: column 'Close': prices must be real numbers, not boolean"),
        (long_frame(Close=[10.0, True, 12.0, 20.0, 21.0, 22.0]), TypeError,
         r"frame: column 'Close': prices must be real numbers, not row 1 \(True\)"),
        (long_frame(Close=np.array([10, 11, 12, 20, 21, 22], dtype=complex)), TypeError,
         r"frame: column 'Close': prices must be real numbers, not complex"),
    ],
)  # fmt: skip
def test_from_long_refuses_naming_the_column(frame, error, message):
    with pytest.raises(error, match=message):
        zelvor.Market.from_long(frame)


def test_market_names_the_columns_and_dtypes_it_refuses():
    good = pd.DataFrame({"A": [1.0, 2.0, 3.0], "B": [1.0, 2.0, 3.0], "C": [1, 2, 3]}, index=DATES)
    flags = good.astype({"A": bool, "B": bool})
    # Before: "close: prices must be numeric; non-numeric columns: " and nothing after it.
    with pytest.raises(TypeError, match=r"close: prices must be numeric; non-numeric columns: A, B \(dtype bool;"):
        zelvor.Market(flags)
    with pytest.raises(TypeError, match=r"open: .*non-numeric columns: B \(dtype complex128;"):
        zelvor.Market(good, open=good.astype({"B": complex}))
    with pytest.raises(TypeError, match=r"close: expected a DataFrame of prices \(dates x stocks\), got numpy.ndarray"):
        zelvor.Market(good.to_numpy())
    with pytest.raises(TypeError, match=r"high: expected a DataFrame of prices or None, got pandas.Series"):
        zelvor.Market(good, high=good["A"])


def test_dates_the_engine_cannot_hold_are_refused_by_name():
    # Second-resolution dates reach past 2262; nanoseconds, the engine's dates, cannot.
    far = pd.DatetimeIndex(np.array(["2262-04-10", "2262-04-11", "2262-04-14", "2400-01-03"], "datetime64[s]"))
    close = pd.DataFrame({"A": [1.0, 2.0, 3.0, 4.0]}, index=far)
    with pytest.raises(ValueError, match=r"close: dates from 2262-04-10 to 2400-01-03 reach beyond"):
        zelvor.Market(close)
    assert zelvor.Market(close.iloc[:2]).dates.equals(far[:2])  # within range: accepted


def test_other_frames_may_come_in_any_order_of_close_dates_and_stocks():
    close = pd.DataFrame({"A": [10.0, 11.0, 12.0], "B": [20.0, 21.0, 22.0]}, index=DATES)
    open_ = close - 0.5
    shuffled = open_.iloc[[2, 0, 1], ::-1]  # dates and stocks in another order
    m = zelvor.Market(close, open=shuffled)
    np.testing.assert_array_equal(m.arrays.open, open_.to_numpy())
    assert m.open.index.equals(DATES)
    with pytest.raises(ValueError, match=r"close: the dates are not sorted"):  # close sets the calendar
        zelvor.Market(close.iloc[::-1])
    eastern = close.tz_localize("America/New_York")
    with pytest.raises(ValueError, match=r"low: dates in UTC, close's in America/New_York"):
        zelvor.Market(eastern, low=eastern.tz_convert("UTC"))


@pytest.mark.parametrize("library", ["polars", "pyarrow"])
def test_frames_of_other_libraries_are_converted(library):
    lib = pytest.importorskip(library)
    days = [dt.date(2023, 1, 2), dt.date(2023, 1, 3)]
    columns = {"date": days, "AAA": [10.0, 11.0], "BBB": [20.0, None]}
    wide = lib.DataFrame(columns) if library == "polars" else lib.table(columns)
    m = zelvor.Market(wide, high=wide)
    assert list(m.stocks) == ["AAA", "BBB"] and list(m.dates) == list(pd.to_datetime(days))
    np.testing.assert_array_equal(m.arrays.close, [[10, 20], [11, np.nan]])
    rows = {"date": days * 2, "ticker": ["AAA", "AAA", "BBB", "BBB"], "close": [10.0, 11.0, 20.0, None]}
    long = lib.DataFrame(rows) if library == "polars" else lib.table(rows)
    np.testing.assert_array_equal(zelvor.Market.from_long(long).arrays.close, m.arrays.close)
    undated = {"AAA": [10.0, 11.0]}
    with pytest.raises(ValueError, match=r"close: the .* has no row index; give it one column named 'date'"):
        zelvor.Market(lib.DataFrame(undated) if library == "polars" else lib.table(undated))


# Every dtype a price frame may arrive in; the first ones are real numbers, which Market takes.
REAL = ["float64", "float32", "int64", "int32", "uint16", "Int64", "Float64"]
OTHER = ["bool", "boolean", "object", "complex128", "datetime64[ns]", "str", "category"]
NULLABLE = {"float64", "float32", "Int64", "Float64"}


@st.composite
def price_frame(draw):
    rows, cols = draw(st.integers(0, 5)), draw(st.integers(0, 3))
    dtype = draw(st.sampled_from(REAL + OTHER))
    # Whole numbers up to 2**15 are exact in every real dtype: float64 of them is the value.
    values = np.array(draw(st.lists(st.integers(1, 2**15), min_size=rows * cols, max_size=rows * cols)), float)
    values = values.reshape(rows, cols)
    if dtype in NULLABLE and values.size:
        values[draw(st.integers(0, rows - 1)), draw(st.integers(0, cols - 1))] = np.nan
    if dtype == "datetime64[ns]":
        data = values.astype("datetime64[D]").astype(dtype)
    elif dtype in ("str", "object"):
        data = values.astype(str).astype(object)
    elif dtype == "boolean":
        data = values % 2 == 0
    elif dtype in ("Int64", "Float64", "category"):
        data = values
    else:
        data = values.astype(dtype)
    # Second-resolution dates, which may reach past the engine's last day, 2262-04-11.
    start = np.datetime64(draw(st.sampled_from(["2000-01-03", "2262-04-08", "2300-01-02"])), "s")
    index = pd.DatetimeIndex(start + np.arange(rows) * np.timedelta64(1, "D"))
    zone = draw(st.sampled_from([None, "UTC", "Asia/Tokyo"]))
    if zone:
        index = index.tz_localize(zone)
    frame = pd.DataFrame(data, index=index, columns=[f"S{j}" for j in range(cols)])
    if dtype in ("Int64", "Float64", "boolean", "category"):
        frame = frame.astype(dtype)
    if draw(st.booleans()):
        frame.index = index.as_unit("ns") if index.max() < pd.Timestamp("2262-04-11", tz=zone) else index
    return frame, dtype, values


@given(close=price_frame(), other=st.sampled_from([None, "open", "high", "low"]))
def test_market_builds_from_real_frames_and_names_the_argument_otherwise(close, other):
    frame, dtype, values = close
    kwargs = {} if other is None else {other: frame.iloc[::-1, ::-1]}  # the same frame, reordered
    # The engine's dates are int64 nanoseconds: the last instant they hold is pandas' Timestamp.max.
    limit = pd.Timestamp.max if frame.index.tz is None else pd.Timestamp.max.tz_localize("UTC")
    in_range = frame.index.max() <= limit if len(frame) else True
    buildable = (dtype in REAL or frame.shape[1] == 0) and in_range
    try:
        m = zelvor.Market(frame, **kwargs)
    except (TypeError, ValueError) as exc:
        assert not buildable, exc
        assert str(exc).startswith(("close: ", f"{other}: ")), exc
        return
    assert buildable
    for array in (m.arrays.close, getattr(m.arrays, other or "close")):
        assert array.dtype == np.float64 and array.shape == values.shape
        np.testing.assert_array_equal(array, values)
    assert np.array_equal(m.arrays.dates, frame.index.as_unit("ns").asi8)
