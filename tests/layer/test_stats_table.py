"""The one table of statistics (zelvor._stats.STATISTICS) against what the library gives: the
figures the numeric core computes, `Report.stats()`, a sweep row, the sweep table's columns and
the HTML labels name the same figures in the table's order. And the figures computed inside a run
(`_run_native(stats=...)`, a sweep row's path) equal those computed afterwards from the run's arrays."""

import numpy as np
import pytest
from layer_fixtures import random_market, random_weights

import zelvor
from zelvor._render import format as render_format
from zelvor._stats import RUN_KEYS, STATISTICS, compute_stats
from zelvor.sweeps._table import _LOWER_IS_BETTER, _TABLE_COLUMNS

NAMES = [s.name for s in STATISTICS]
WITHOUT_BENCHMARK = [k for k in RUN_KEYS if k not in ("alpha", "beta")]


@pytest.fixture(scope="module")
def prepared():
    market = random_market(150, 6, seed=4)
    weights = random_weights(market, 8, seed=5)
    weights = weights.div(weights.abs().sum(axis=1).clip(lower=1.0), axis=0)  # no leverage warning
    return {
        bench: zelvor.prepare(weights, market, benchmark=bench and str(market.stocks[0])) for bench in (None, "with")
    }


def test_names_are_unique_and_every_figure_is_described():
    assert len(set(NAMES)) == len(NAMES)
    assert all(s.label and s.doc and s.unit for s in STATISTICS)


@pytest.mark.parametrize("bench", [None, "with"])
def test_report_stats_and_a_sweep_row_follow_the_table(prepared, bench):
    run_keys = RUN_KEYS if bench else WITHOUT_BENCHMARK
    report = prepared[bench].run(stop_loss=0.05)
    assert list(report.stats().index) == [s.name for s in STATISTICS if s.source == "report" or s.name in run_keys]
    assert list(prepared[bench].stats_dict(stop_loss=0.05)) == ["start", "end", *run_keys]


def test_the_sweep_table_and_the_page_labels_come_from_the_table():
    assert {"start", "end", *RUN_KEYS, "dsr", "error"} == _TABLE_COLUMNS
    assert {"annual_volatility", "fees", "taxes", "turnover", "max_drawdown_days"} <= _LOWER_IS_BETTER
    assert "sharpe" not in _LOWER_IS_BETTER and "max_drawdown" not in _LOWER_IS_BETTER
    assert [render_format.figure_label(name) for name in NAMES] == [s.label for s in STATISTICS]


@pytest.mark.parametrize("risk_free", [0.0, 0.03])
@pytest.mark.parametrize("bench", [None, "with"])
def test_figures_of_the_run_equal_those_from_its_arrays(prepared, bench, risk_free):
    p = prepared[bench]
    in_run = p.stats_dict(risk_free, 12, stop_loss=0.05, take_profit=0.1)
    raw = p._raw(p._options({"stop_loss": 0.05, "take_profit": 0.1})[1])
    after = compute_stats(raw.equity, p.market.arrays.dates, p.start_row, raw.trades, raw.fills, p._benchmark,
                          risk_free, 12, p.market.dates.tz)  # fmt: skip
    assert list(in_run) == list(after)
    assert np.array_equal(np.array(list(in_run.values())[2:], dtype=float),
                          np.array(list(after.values())[2:], dtype=float), equal_nan=True)  # fmt: skip
    assert (in_run["start"], in_run["end"]) == (after["start"], after["end"])
    assert in_run["trades"] == len(raw.trades["pnl"]) > 0
