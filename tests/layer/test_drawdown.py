"""The drawdown rule: the numeric core's figures, the drawdown periods and the plotted series agree."""

import numpy as np
import pandas as pd
from hypothesis import given
from hypothesis import strategies as st

import zelvor
from zelvor import _figures
from zelvor._dates import as_ns
from zelvor._stats import drawdown, series_figures

_DAY_NS = 86_400 * 10**9

# One row's move: a factor, and whether the value then lands one ulp below it (the residue of a
# row that is flat at its high).
_steps = st.lists(st.tuples(st.sampled_from([1.0, 1.0, 1.03, 0.97, 1.25, 0.8]), st.booleans()), min_size=1, max_size=60)


def _equity(steps):
    values = [1.0]
    for factor, ulp_below in steps:
        value = values[-1] * factor
        values.append(float(np.nextafter(value, 0.0)) if ulp_below else value)
    return np.array(values)


@given(_steps, st.lists(st.integers(1, 4), min_size=61, max_size=61))
def test_the_cores_drawdown_figures_are_those_of_the_periods(steps, gaps):
    equity = _equity(steps)
    dates = np.cumsum(np.array(gaps[: len(equity)], dtype=np.int64)) * _DAY_NS
    figures = series_figures(equity, dates)
    periods = _figures.drawdown_periods(equity, dates)
    assert figures["max_drawdown"] == min(float(drawdown(equity).min()), 0.0)
    assert figures["max_drawdown"] == (periods["depth"].min() if len(periods["depth"]) else 0.0)
    assert figures["max_drawdown_duration"] == (periods["rows"].max() if len(periods["rows"]) else 0)
    # The longest calendar time runs from the peak (the row before a period) to the recovery, or
    # to the last row when the data ends under water.
    back = np.where(periods["recovery"] >= 0, periods["recovery"], len(equity) - 1)
    spans = (dates[back] - dates[periods["start"] - 1]) / _DAY_NS
    assert figures["max_drawdown_days"] == (spans.max() if len(spans) else 0.0)
    # Every period is a real one: deeper than rounding of its peak.
    assert (periods["depth"] < -1e-14).all()


def test_a_dip_of_one_ulp_at_a_new_high_opens_no_drawdown_period():
    # The run of test_stats_rules' one-ulp case: the last row lands 1.1e-16 below the high.
    # Its periods used the raw ratio and listed a period of depth -1.1e-16 that the figures,
    # the plotted series and max_drawdown all call no drawdown.
    closes = np.array([10, 11.07, 12.98, 13.35, 15.25, 15.94, 16.84, 16.84])
    dates = pd.bdate_range("2021-01-04", periods=len(closes))
    market = zelvor.Market(
        close=pd.DataFrame({"A": closes}, index=dates),
        open=pd.DataFrame({"A": np.concatenate(([10.0], closes[:-1]))}, index=dates),
    )
    weights = pd.DataFrame({"A": [1.0]}, index=dates[:1])
    report = zelvor.backtest(weights, market, trade_at="open", fee_ratio=0, tax_ratio=0)
    assert report.equity.iloc[-1] < report.equity.max()  # the residue is there
    assert report.drawdowns().empty
    assert report.stats()["avg_drawdown"] == 0.0
    assert len(_figures.drawdown_periods(report.equity.to_numpy(), as_ns(dates))["start"]) == 0
