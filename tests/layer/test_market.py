"""zelvor.Market: construction from wide and long frames and from files, and its data checks."""

import gzip
import math
import warnings

import numpy as np
import pandas as pd
import pytest

import zelvor
from zelvor.datasets import synthetic_market
from zelvor.market import DataWarning

DATES = pd.bdate_range("2023-01-02", periods=5)


def long_frame():
    rows = []
    for j, name in enumerate(["BBB", "AAA"]):
        for i, day in enumerate(DATES):
            c = 10.0 + i + 10 * j
            rows.append({"Date": day.strftime("%Y-%m-%d"), "Open": c - 0.5, "High": c + 1, "Low": c - 1,
                         "Close": c, "Volume": 100, "Symbol": name})  # fmt: skip
    return pd.DataFrame(rows[:-1])  # AAA has no row on the last day


def test_from_long_pivots_to_sorted_wide_frames():
    m = zelvor.Market.from_long(long_frame())
    assert list(m.stocks) == ["AAA", "BBB"]
    assert m.dates.equals(DATES)
    assert m.close.loc[DATES[0], "BBB"] == 10.0 and m.close.loc[DATES[0], "AAA"] == 20.0
    assert math.isnan(m.close.loc[DATES[-1], "AAA"])
    assert m.high.loc[DATES[1], "BBB"] == 12.0
    # AAA's prices end a day early: "auto" delisting closes it on its last row.
    assert m.delisting_rows().tolist() == [3, -1]


def test_from_long_refuses_duplicates_and_missing_columns():
    frame = long_frame()
    with pytest.raises(ValueError, match=r"frame: two rows for stock 'BBB' on 2023-01-02"):
        zelvor.Market.from_long(pd.concat([frame, frame.iloc[:1]]))
    with pytest.raises(ValueError, match=r"frame: missing column\(s\) close"):
        zelvor.Market.from_long(frame.drop(columns="Close"))
    with pytest.raises(ValueError, match=r"frame: missing the stock column"):
        zelvor.Market.from_long(frame.drop(columns="Symbol"))


def test_missing_fields_are_filled_from_close():
    close = pd.DataFrame({"A": [1.0, 2.0]}, index=DATES[:2])
    m = zelvor.Market(close)
    assert m.open is close and m.high is close and m.low is close
    assert m.arrays.open is m.arrays.close
    assert m.shape == (2, 1) and "1 stocks x 2 days" in repr(m)


def test_check_lists_suspicious_prices():
    close = pd.DataFrame({"A": [10.0, 10.2, 5.0, 5.1, 5.2], "B": [3.0, -1.0, 3.1, 3.2, 3.3]}, index=DATES)
    high = close + 0.5
    low = close - 0.5
    high.iloc[3, 1] = 2.0  # below the low 2.7
    problems = zelvor.Market(close, high=high, low=low).check()
    found = {
        (d, s, f, p.split(" ")[0])
        for d, s, f, p in problems[["date", "stock", "field", "problem"]].itertuples(index=False)
    }
    assert (DATES[1], "B", "close", "not") in found  # -1.0 is not a positive price
    assert (DATES[3], "B", "high", "high") in found
    assert (DATES[2], "A", "close", "one-day") in found  # 10.2 -> 5.0: an unadjusted 2:1 split?
    ratio = problems.loc[(problems["stock"] == "A") & (problems["field"] == "close"), "value"].iloc[0]
    assert ratio == pytest.approx(5.0 / 10.2)
    clean = pd.DataFrame({"A": [10.0, 10.5, 11.0, 10.8, 11.2]}, index=DATES)
    assert zelvor.Market(clean, high=clean + 0.5, low=clean - 0.5).check().empty


def test_read_csv_returns_a_market_and_warns_once(tmp_path):
    text = "date,open,high,low,close,volume,Name\n" + "".join(
        f"{d.date()},10,11,9,{c},100,ZZZ\n" for d, c in zip(DATES, [10, 10.5, 30, 30.5, 31], strict=True)
    )
    path = tmp_path / "p.csv.gz"
    path.write_bytes(gzip.compress(text.encode()))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        m = zelvor.read_csv(path)
    assert isinstance(m, zelvor.Market) and m.close["ZZZ"].tolist() == [10, 10.5, 30, 30.5, 31]
    messages = [str(w.message) for w in caught if issubclass(w.category, DataWarning)]
    assert len(messages) == 1 and messages[0].startswith("1 suspicious price(s)")


def test_synthetic_market_matches_the_loader_arrays():
    m = zelvor.Market.synthetic(stocks=30, years=1, seed=4)
    arrays = synthetic_market(30, 261, seed=4)
    np.testing.assert_array_equal(m.close.to_numpy(), arrays.close)
    assert np.array_equal(m.delisting_rows(), arrays.delisting_rows)
    assert m.dates[0] == pd.Timestamp("2010-01-04")
