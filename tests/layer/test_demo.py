"""The demo command, the synthetic market, the momentum strategy and the CSV loader."""

import gzip
import json
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import zelvor
from zelvor import demo
from zelvor._arrays import NS_PER_DAY, MarketArrays
from zelvor.datasets import momentum_strategy, month_end_rows, synthetic_market
from zelvor.io import DataError, load_csv

REAL_DATA = Path(__file__).resolve().parents[2] / ".." / "shared" / "data" / "all_stocks_5yr.csv.gz"


def ns(*days: str) -> np.ndarray:
    return np.array(days, dtype="datetime64[D]").astype("datetime64[ns]").astype(np.int64)


def run_demo(*args, env_extra=None):
    env = dict(os.environ, **(env_extra or {}))
    return subprocess.run(
        [sys.executable, "-m", "zelvor.demo", *args], capture_output=True, text=True, env=env, timeout=600
    )


# --------------------------------------------------------------------------------------------
# Synthetic market


@pytest.fixture(scope="module")
def market():
    return synthetic_market(200, 1000, seed=7)


def test_synthetic_market_layout(market):
    assert market.shape == (1000, 200)
    for matrix in (market.open, market.high, market.low, market.close):
        assert matrix.dtype == np.float64 and matrix.shape == (1000, 200)
    assert market.dates.dtype == np.int64 and np.all(np.diff(market.dates) > 0)
    days = market.dates.astype("datetime64[ns]").astype("datetime64[D]")
    assert np.all(np.is_busday(days))
    assert np.all(market.dates % NS_PER_DAY == 0)
    assert market.columns.dtype == object and len(set(market.columns)) == 200
    assert all(isinstance(c, str) for c in market.columns)


def test_synthetic_prices_are_consistent(market):
    o, h, lo, c = market.open, market.high, market.low, market.close
    missing = np.isnan(c)
    # A day is missing as a whole: all four fields together.
    for matrix in (o, h, lo):
        assert np.array_equal(np.isnan(matrix), missing)
    ok = ~missing
    assert np.all(lo[ok] <= np.minimum(o[ok], c[ok]))
    assert np.all(h[ok] >= np.maximum(o[ok], c[ok]))
    assert np.all(lo[ok] > 0)
    # About 2 % daily volatility of the log-returns between consecutive valid closes.
    log_ret = np.diff(np.log(c), axis=0)
    assert 0.018 < np.nanstd(log_ret) < 0.022


def test_synthetic_listings_and_gaps(market):
    c = market.close
    n_days, n_stocks = c.shape
    valid = ~np.isnan(c)
    first = np.argmax(valid, axis=0)
    last = n_days - 1 - np.argmax(valid[::-1], axis=0)
    late = first > 0
    assert 10 <= late.sum() <= 30  # 10 % of 200
    # Delisting rows: the last day with prices, NaN from the next day on; -1 for the others.
    gone = market.delisting_rows >= 0
    assert 3 <= gone.sum() <= 9  # 3 % of 200
    assert np.array_equal(market.delisting_rows[gone], last[gone])
    assert np.all(last[~gone] == n_days - 1)
    # Inside the listing span about 0.5 % of the days are missing, never the first or last.
    rows = np.arange(n_days)[:, None]
    inside = (rows > first) & (rows < last)
    fraction = (~valid & inside).sum() / inside.sum()
    assert 0.0035 < fraction < 0.0065
    assert np.all(valid[first, np.arange(n_stocks)]) and np.all(valid[last, np.arange(n_stocks)])
    assert not np.any(valid & ((rows < first) | (rows > last)))


def test_synthetic_market_is_seeded():
    a, b, c = (synthetic_market(30, 100, seed=s) for s in (1, 1, 2))
    assert np.array_equal(a.close, b.close, equal_nan=True)
    assert np.array_equal(a.delisting_rows, b.delisting_rows)
    assert not np.array_equal(a.close, c.close, equal_nan=True)


# --------------------------------------------------------------------------------------------
# Momentum strategy


def test_month_end_rows():
    dates = ns("2020-01-30", "2020-01-31", "2020-02-03", "2020-02-28", "2020-03-02")
    assert month_end_rows(dates).tolist() == [1, 3, 4]


def tiny_market(close: list[list[float]]) -> MarketArrays:
    close = np.array(close, dtype=np.float64).T  # given per stock, stored per day
    dates = ns("2021-01-26", "2021-01-27", "2021-01-28", "2021-01-29", "2021-02-01", "2021-02-02")
    return MarketArrays(
        dates=dates,
        columns=np.array(list("ABCDE"), dtype=object),
        open=close,
        high=close,
        low=close,
        close=close,
        delisting_rows=np.full(close.shape[1], -1, dtype=np.int64),
    )


NAN = math.nan
# Month ends are rows 3 (Jan 29) and 5 (the last row). With a 2-row look-back:
#   row 3: A 12/10 = +20 %, B +10 %, C -10 %, D no close on row 1 (not listed), E +30 %
#   row 5: A 12/12 = 0, B 15/11 = +36 %, C 8/9 = -11 %, D 21/20 = +5 %,
#          E last close on row 3: stale when more than 1 row old
TINY = [
    [10, 10, 10, 12, 12, 12],
    [10, 10, 10, 11, 11, 15],
    [10, 10, 10, 9, 9, 8],
    [NAN, NAN, 10, 20, 20, 21],
    [10, 10, 10, 13, NAN, NAN],
]


@pytest.mark.parametrize(
    "top, expected",
    [
        (2, [[0.5, 0, 0, 0, 0.5], [0, 0.5, 0, 0.5, 0]]),
        # More room than qualifying stocks: 1/top each, the rest stays in cash.
        (10, [[0.1, 0.1, 0.1, 0, 0.1], [0.1, 0.1, 0.1, 0.1, 0]]),
    ],
)
def test_momentum_picks_top_stocks(top, expected):
    m = tiny_market(TINY)
    s = momentum_strategy(m, top=top, lookback=2, stale_rows=1)
    assert s.pos_index.tolist() == m.dates[[3, 5]].tolist()
    assert s.resample.tolist() == s.pos_index.tolist()
    assert s.pos_columns is m.columns
    np.testing.assert_array_equal(s.pos_values, np.array(expected))


def test_momentum_daily_and_errors():
    m = tiny_market(TINY)
    daily = momentum_strategy(m, top=1, lookback=2, rebalance="daily", stale_rows=1)
    # Rows 2..5: all flat on row 2 (ties); row 3 E (+30 %); row 4 D (20/10, ahead of E's
    # 13/10 from its close carried one row); row 5 B (E is stale by then).
    assert daily.pos_index.tolist() == m.dates[2:].tolist()
    assert daily.pos_values[1:].argmax(axis=1).tolist() == [4, 3, 1]
    assert np.all(daily.pos_values.sum(axis=1) == 1.0)
    with pytest.raises(ValueError, match="too few"):
        momentum_strategy(m, lookback=6)
    with pytest.raises(ValueError, match="monthly"):
        momentum_strategy(m, rebalance="weekly")


# --------------------------------------------------------------------------------------------
# CSV loader

GOOD_CSV = """\
Date,Open,High,Low,Close,Volume,ticker
2020-01-03,11,12,10,11.5,100,BBB
2020-01-02,10,11,9,10.5,200,BBB
2020-01-02,,21,19,20.5,300,AAA
2020-01-06,12,13,11,12.5,100,BBB

"""


@pytest.mark.parametrize("compressed", [False, True])
def test_load_csv_long_to_wide(tmp_path, compressed):
    path = tmp_path / ("prices.csv.gz" if compressed else "prices.csv")
    data = GOOD_CSV.encode()
    path.write_bytes(gzip.compress(data) if compressed else data)
    m = load_csv(path)
    assert m.columns.tolist() == ["AAA", "BBB"]
    assert m.dates.tolist() == ns("2020-01-02", "2020-01-03", "2020-01-06").tolist()
    np.testing.assert_array_equal(m.close, [[20.5, 10.5], [NAN, 11.5], [NAN, 12.5]])
    np.testing.assert_array_equal(m.open, [[NAN, 10], [NAN, 11], [NAN, 12]])
    np.testing.assert_array_equal(m.high, [[21, 11], [NAN, 12], [NAN, 13]])
    np.testing.assert_array_equal(m.low, [[19, 9], [NAN, 10], [NAN, 11]])
    # AAA has no close after the first day: delisted there.
    assert m.delisting_rows.tolist() == [0, -1]


H = "date,open,high,low,close,volume,Name\n"
R = "2020-01-02,10,11,9,10.5,200,AAA\n"


@pytest.mark.parametrize(
    "text, line, column, message",
    [
        (H + R + "2020-13-45,10,11,9,10.5,200,BBB\n", 3, "date", "cannot read '2020-13-45' as a date"),
        (H + R + R.replace("AAA", "BBB") + "2020-01-03,10,11,9,abc,1,AAA\n", 4, "close", "not a number"),
        (H + R + "2020-01-03,10,-1,9,10.5,200,AAA\n", 3, "high", "positive and finite, got -1.0"),
        (H + R + "2020-01-03,inf,11,9,10.5,200,AAA\n", 3, "open", "positive and finite, got inf"),
        (H + R + "2020-01-03,10,11,9,10.5,AAA\n", 3, None, "expected 7 fields as in the header, found 6"),
        (H + R + "\n\n2020-01-03,10,11,9,10.5,200,AAA,x\n", 5, None, "found 8"),
        (H + R + "2020-01-03,10,11,9,10.5,200, \n", 3, "Name", "empty stock name"),
        (
            H + R + "2020-01-03,10,11,9,10.5,200,AAA\n" + R,
            4,
            "Name",
            "second row for stock 'AAA' on 2020-01-02 (the first is on line 2)",
        ),
        ("date,open,high,close,volume,Name\n" + R, 1, None, "missing column 'low'"),
        ("date,open,high,low,close,volume\n" + R, 1, None, "missing stock-name column"),
        ("date,open,high,low,close,close,Name\n" + R, 1, None, "'close' appears twice"),
        ("", 1, None, "the file is empty"),
        (H, 2, None, "no data rows"),
    ],
)
def test_load_csv_errors_name_line_and_column(tmp_path, text, line, column, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(DataError) as info:
        load_csv(path)
    err = info.value
    assert isinstance(err, ValueError)
    assert (err.line, err.column) == (line, column)
    assert message in str(err)
    where = f"{path}, line {line}" + (f", column '{column}'" if column else "") + ": "
    assert str(err).startswith(where)


def test_load_csv_damaged_gzip(tmp_path):
    path = tmp_path / "cut.csv.gz"
    path.write_bytes(gzip.compress((H + R * 50).encode())[:60])
    with pytest.raises(DataError, match="damaged gzip data"):
        load_csv(path)


@pytest.mark.skipif(not REAL_DATA.exists(), reason="shared data set not present")
def test_load_real_data_set():
    m = load_csv(REAL_DATA)
    # Figures from the data set's own description.
    assert m.shape == (1259, 505)
    assert [int(np.isnan(x).sum()) for x in (m.close, m.open, m.high, m.low)] == [16755, 16766, 16763, 16763]
    assert m.close[-1, m.columns.tolist().index("AAPL")] == 159.54
    assert m.dates[0] == ns("2013-02-08")[0] and m.dates[-1] == ns("2018-02-07")[0]


@pytest.mark.slow
def test_demo_reports_bad_csv_in_one_line(tmp_path):
    path = tmp_path / "bad.csv"
    path.write_text(H + R + "2020-01-03,10,11,9,ten,200,AAA\n")
    result = run_demo("--csv", str(path))
    assert result.returncode == 2
    assert result.stdout == ""
    assert (
        result.stderr == f"zelvor.demo: error: {path}, line 3, column 'close': not a number"
        " (expected a price such as 12.34, or empty)\n"
    )
    missing = run_demo("--csv", str(tmp_path / "absent.csv"))
    assert missing.returncode == 2 and "Traceback" not in missing.stderr
    assert missing.stderr.count("\n") == 1 and "absent.csv" in missing.stderr


# --------------------------------------------------------------------------------------------
# End to end, with the engine


def _number(pattern: str, text: str) -> float:
    found = re.search(pattern, text, re.MULTILINE)
    assert found, f"{pattern!r} not in output:\n{text}"
    return float(found.group(1))


@pytest.mark.slow
@pytest.mark.parametrize("touched", [False, True])
def test_demo_figures_match_the_report(touched, tmp_path):
    trevane = pytest.importorskip("zelvor.core.trevane")
    args = ["--stocks", "80", "--years", "2", "--seed", "5", "--json", str(tmp_path / "r.json")]
    args += ["--touched-exit"] if touched else []
    # A zone away from UTC: the printed dates must still be the market's calendar days.
    result = run_demo(*args, env_extra={"TZ": "America/New_York"})
    assert result.returncode == 0, result.stderr
    out = result.stdout

    # The same run in this process, straight through the engine, gives the same curve.
    arrays = synthetic_market(80, 2 * demo.WEEKDAYS_PER_YEAR, seed=5)
    strategy = momentum_strategy(arrays, top=20, lookback=60)
    engine_options = dict(demo.STRATEGY_OPTIONS)
    engine_options["quelmo_window"] = engine_options.pop("window")
    engine_options["quelmo_window_step"] = engine_options.pop("window_step")
    value = trevane.backtest_(
        **arrays.backtest_arrays(),
        **strategy.backtest_arrays(),
        touched_exit=touched,
        delisting_bars=arrays.delisting_rows,
        **engine_options,
    )
    market = zelvor.Market.from_arrays(arrays)
    report = demo.run(market, touched_exit=touched)
    assert report.equity.to_numpy().tobytes() == value.tobytes()
    s = report.stats()

    assert _number(r"Final value\s+(\S+)", out) == pytest.approx(value[-1], abs=5e-7)
    assert _number(r"Maximum drawdown\s+(\S+)%", out) == pytest.approx(s["max_drawdown"] * 100, abs=0.006)
    assert _number(r"^Trades\s+(\d+)", out) == len(report.trades)
    assert _number(r"\((\d+) still open", out) == (report.trades["exit_reason"] == "open").sum()
    assert _number(r"Win rate\s+(\S+)%", out) == pytest.approx(100 * s["win_rate"], abs=0.006)

    # The worst-MAE table: the five lowest exit MAEs, with their stocks and dates.
    worst = report.trades.dropna(subset=["mae"]).sort_values("mae", kind="stable").head(5)
    table = out.split("worst MAE")[1].splitlines()[2 : 2 + len(worst)]
    for line, (_, row) in zip(table, worst.iterrows(), strict=True):
        stock, entry, exit_, mae_text = line.split()[:4]
        assert stock == row["stock"] and entry == str(row["entry_date"].date())
        assert exit_ == ("open" if pd.isna(row["exit_date"]) else str(row["exit_date"].date()))
        assert float(mae_text.rstrip("%")) == pytest.approx(row["mae"] * 100, abs=0.006)

    # Period: from the first signal date to the last market date, as calendar days.
    start, end = re.search(r"^Period\s+(\S+) \.\. (\S+)", out, re.MULTILINE).groups()
    first = market.dates[market.dates >= strategy.pos_index[0].astype("datetime64[ns]")][0]
    assert (start, end) == (str(first.date()), str(market.dates[-1].date()))

    # Next-period actions: every action the engine reports is counted, by its readable name.
    counted = re.search(r"^  Actions\s+(.*)$", out, re.MULTILINE).group(1)
    names = report.actions["action"].dropna()
    if len(names):
        listed = dict((k, int(v)) for k, v in (p.split() for p in counted.split(", ")))
        assert listed == names.value_counts().to_dict()
    else:
        assert counted.startswith("none")

    data = json.loads((tmp_path / "r.json").read_text())
    assert data["stats"]["trades"] == len(report.trades) == len(data["trades"])
    assert data["trades"][0]["pnl"] == pytest.approx(report.trades["pnl"].iloc[0])
    assert sum(t["pnl"] for t in data["trades"]) == pytest.approx(value[-1] - 1.0, rel=1e-9)


def test_next_period_explains_stopped_out_names():
    # Intraday stops on a short history: names stopped out after the last rebalance are listed
    # with the reason in words.
    market = zelvor.Market.synthetic(stocks=60, years=1.2, seed=3)
    report = demo.run(market, touched_exit=True)
    text = demo.format_report(report, max_orders=1000)
    a = report.actions
    stopped = a.index[a["action"] == "stopped_out"]
    assert len(stopped) > 0
    for stock in stopped:
        line = next(x for x in text.splitlines() if x.strip().startswith(f"{stock} "))
        assert "stopped_out" in line and "stopped out (stop loss) since the last rebalance" in line


@pytest.mark.slow
def test_demo_runs_on_csv(tmp_path):
    pytest.importorskip("zelvor.core.trevane")
    m = synthetic_market(30, 300, seed=2)
    lines = ["date,open,high,low,close,volume,symbol"]
    for j, name in enumerate(m.columns):
        for i, day in enumerate(m.dates.astype("datetime64[ns]").astype("datetime64[D]")):
            if not np.isnan(m.close[i, j]):
                o, h, lo, c = (repr(float(x[i, j])) for x in (m.open, m.high, m.low, m.close))
                lines.append(f"{day},{o},{h},{lo},{c},1000,{name}")
    path = tmp_path / "prices.csv.gz"
    path.write_bytes(gzip.compress("\n".join(lines).encode()))
    loaded = load_csv(path)
    np.testing.assert_array_equal(loaded.close, m.close)
    np.testing.assert_array_equal(loaded.delisting_rows, m.delisting_rows)
    html_path = tmp_path / "report.html"
    result = run_demo("--csv", str(path), "--top", "5", "--html", str(html_path))
    assert result.returncode == 0, result.stderr
    assert html_path.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    assert "30 stocks, 300 days" in result.stdout
    via_synthetic = run_demo("--stocks", "30", "--years", str(300 / 261), "--seed", "2", "--top", "5")
    # Same prices, same strategy: the same final value.
    assert re.search(r"Final value\s+(\S+)", result.stdout).group(1) == re.search(
        r"Final value\s+(\S+)", via_synthetic.stdout
    ).group(1)
