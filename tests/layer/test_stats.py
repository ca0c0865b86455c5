"""Report.stats and monthly_returns, hand-computed on a small equity curve."""

import math

import numpy as np
import pandas as pd
import pytest

from zelvor._engine import RawRun
from zelvor.report import report_of_run

START = pd.Timestamp("2020-01-01")
# Four rows over exactly two 365.25-day years.
DATES = pd.DatetimeIndex([START, START + pd.Timedelta(days=150), START + pd.Timedelta(days=366),
                          START + pd.Timedelta(days=730.5)])  # fmt: skip
EQUITY = np.array([1.0, 1.1, 0.99, 1.21])


def make_report(equity=EQUITY, dates=DATES, benchmark=None, start_row=0):
    trades = {
        "sid": np.array([0, 1, 0, 1]),
        "entry_row": np.array([0, 0, 1, 2]),
        "exit_row": np.array([1, 2, 3, -1]),
        "position": np.array([0.5, 0.4, 0.5, 0.3]),
        "entry_price": np.ones(4),
        "exit_price": np.array([1.0, 1.0, 1.0, np.nan]),
        "basis": np.array([0.5, 0.4, 0.5, 0.3]),
        "pnl": np.array([0.05, -0.02, 0.08, 0.01]),
        "reason": np.array([0, 1, 2, 5], dtype=np.uint8),
    }
    fills = {
        "row": np.array([0, 0, 1]),
        "sid": np.array([0, 1, 0]),
        "reason": np.zeros(3, dtype=np.uint8),
        "value_before": np.array([0.0, 0.0, 0.5]),
        "value_after": np.array([0.5, 0.4, 0.0]),
        "balance": np.ones(3),
        "price": np.ones(3),
        "fee": np.array([0.001, 0.002, 0.003]),
        "tax": np.array([0.0, 0.0, 0.004]),
    }
    raw = RawRun(equity=equity, trades=trades, fills=fills, stats=[np.zeros(6)] * 4, operations={})
    return report_of_run(raw, dates=dates, stocks=pd.Index(["A", "B"]), signal_dates=dates, start_row=start_row,
                  touched_exit=False, window=0, window_step=1, benchmark=benchmark, benchmark_name=None,
                  options={})  # fmt: skip


def test_performance_figures_by_hand():
    s = make_report().stats()
    assert make_report().period == (DATES[0], DATES[-1])
    assert s["total_return"] == pytest.approx(0.21)
    assert s["cagr"] == pytest.approx(0.1)  # 1.21 ** (365.25 / 730.5) - 1
    # Returns +10 %, -10 %, +2/9: mean 2/27; deviations 7/270, -47/270, 40/270, so the sample
    # variance is (49 + 2209 + 1600) / 270**2 / 2.
    mean = 2 / 27
    sd = math.sqrt((49 + 2209 + 1600) / 270**2 / 2)
    assert s["annual_volatility"] == pytest.approx(sd * math.sqrt(252))
    assert s["sharpe"] == pytest.approx(mean / sd * math.sqrt(252))
    # Downside deviation: only -10 % is negative: sqrt(0.01 / 3) over the three periods.
    assert s["sortino"] == pytest.approx(mean / math.sqrt(0.01 / 3) * math.sqrt(252))
    assert s["max_drawdown"] == pytest.approx(0.99 / 1.1 - 1)
    assert s["max_drawdown_duration"] == 1
    assert s["calmar"] == pytest.approx(0.1 / 0.1)
    # A risk-free rate of 2.52 % a year takes 0.0001 off each period's return.
    shifted = make_report().stats(risk_free=0.0252)
    assert shifted["sharpe"] == pytest.approx((mean - 0.0001) / sd * math.sqrt(252))


def test_calendar_day_figures_beside_the_row_counts():
    s = make_report().stats()
    # Below the peak of row 1 (day 150) on row 2, back above it on row 3 (day 730.5).
    assert s["max_drawdown_duration"] == 1 and s["max_drawdown_days"] == 730.5 - 150
    # Closed trades held rows 0-1, 0-2 and 1-3: 150, 366 and 580.5 days.
    assert s["avg_holding_days"] == pytest.approx((150 + 366 + 580.5) / 3)
    # Numbers only, so that rounding the Series works; the period is beside it.
    assert s.dtype == np.float64 and s.round(3)["total_return"] == 0.21


def test_trade_figures_by_hand():
    s = make_report().stats()
    assert s["trades"] == 4
    assert s["win_rate"] == pytest.approx(2 / 3)  # closed pnl 0.05, -0.02, 0.08
    assert s["profit_factor"] == pytest.approx(0.13 / 0.02)
    assert s["avg_win"] == pytest.approx((0.05 / 0.5 + 0.08 / 0.5) / 2)
    assert s["avg_loss"] == pytest.approx(-0.02 / 0.4)
    assert s["avg_holding_rows"] == pytest.approx((1 + 2 + 2) / 3)
    assert s["exposure"] == 1.0  # rows 0..3 are each inside some trade
    # Traded 0.5 + 0.4 + 0.5 = 1.4; half of it over the mean equity 1.075, per year (2 years).
    assert s["turnover"] == pytest.approx(1.4 / 2 / 1.075 / 2)
    assert (s["fees"], s["taxes"]) == (pytest.approx(0.006), pytest.approx(0.004))


def test_alpha_and_beta_against_a_benchmark():
    bench = np.array([1.0, 1.05, 1.0, 1.1])
    s = make_report(benchmark=bench).stats()
    r = [0.1, -0.1, 1.21 / 0.99 - 1]
    b = [0.05, 1.0 / 1.05 - 1, 0.1]
    mr, mb = sum(r) / 3, sum(b) / 3
    cov = sum((x - mr) * (y - mb) for x, y in zip(r, b, strict=True)) / 2
    var = sum((y - mb) ** 2 for y in b) / 2
    assert s["beta"] == pytest.approx(cov / var)
    assert s["alpha"] == pytest.approx((mr - cov / var * mb) * 252)
    assert "alpha" not in make_report().stats()


def test_the_warm_up_rows_before_the_first_signal_are_left_out():
    dates = DATES.insert(0, START - pd.Timedelta(days=30))
    report = make_report(np.concatenate(([1.0], EQUITY)), dates, start_row=1)
    assert report.period[0] == DATES[0] and report.stats()["cagr"] == pytest.approx(0.1)


def test_monthly_returns_table():
    dates = pd.DatetimeIndex(["2021-01-04", "2021-01-29", "2021-02-26", "2021-03-31", "2022-01-31"])
    equity = np.array([1.0, 1.1, 0.99, 1.089, 1.2])
    table = make_report(equity, dates).monthly_returns()
    assert list(table.columns) == [*range(1, 13), "year"]
    assert table.loc[2021, 1] == pytest.approx(0.1)
    assert table.loc[2021, 2] == pytest.approx(-0.1)
    assert table.loc[2021, 3] == pytest.approx(0.1)
    assert math.isnan(table.loc[2021, 4])
    assert table.loc[2021, "year"] == pytest.approx(0.089)
    assert table.loc[2022, 1] == pytest.approx(1.2 / 1.089 - 1)
    assert table.loc[2022, "year"] == pytest.approx(1.2 / 1.089 - 1)
