"""A report's trade excursions are followed at the first access to its trades, not in the run.

`Prepared.run` keeps what the follow-up needs; `Report.trades` and `Report.window_stats` then
follow every trade in one native call, once, and must show what a run that follows the trades at
once shows, bit for bit.
"""

import threading

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from layer_fixtures import random_market, random_weights, run_shapes

import zelvor
from zelvor import _engine
from zelvor.report import report_of_run

trevane = pytest.importorskip("zelvor.core.trevane")

RUN_OPTIONS = {"window", "window_step"}  # given to run(); the rest to prepare()


@pytest.fixture
def follow_ups(monkeypatch):
    """Counts the native follow-up calls."""
    calls = []
    follow = trevane._excursions

    def counted(**kw):
        calls.append(len(kw["flags"]))
        return follow(**kw)

    monkeypatch.setattr(trevane, "_excursions", counted)
    return calls


def eager_report(prepared, report, run_options):
    """The same run followed in the run itself (the native call's default), made into a report."""
    engine = prepared._options(run_options)[1]
    result = trevane._run_native(prepared._inputs, **engine)
    trades = result["trades"]
    raw = _engine.RawRun(result["equity"], trades, result["fills"], trades.pop("stats"), result["operations"])
    return report_of_run(
        raw, dates=report._dates, stocks=report._stocks, signal_dates=report._signal_dates,
        start_row=report._start_row, touched_exit=report._touched_exit, window=report._window,
        window_step=report._window_step, benchmark=None, benchmark_name=None, options=report.options,
    )  # fmt: skip


@pytest.mark.filterwarnings("ignore::zelvor._validate.RunWarning")
@settings(
    max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture]
)
@given(run_shapes())
def test_trades_followed_at_first_access_equal_those_followed_in_the_run(follow_ups, shape):
    market, weights, options = shape
    given = {k: v for k, v in options.items() if k not in RUN_OPTIONS}
    prepared = zelvor.prepare(weights, market, **{k: given.pop(k) for k in ("trade_at", "delisting", "resample")})
    run_options = {**given, "window": options["window"], "window_step": options["window_step"]}
    report = prepared.run(**run_options)
    follow_ups.clear()
    _ = report.equity, report.transactions, report.actions
    assert follow_ups == []  # the run and the tables without excursions follow nothing

    eager = eager_report(prepared, report, run_options)
    pd.testing.assert_frame_equal(report.trades, eager.trades, check_exact=True)
    if options["window"]:
        pd.testing.assert_frame_equal(report.window_stats, eager.window_stats, check_exact=True)
    else:
        assert report.window_stats is None
    assert follow_ups == [int(report._raw.trades["listed"].sum())]  # one call for all trades, kept


def test_compact_storage_keeps_public_dtypes():
    market = random_market(40, 4, seed=3)
    report = zelvor.backtest(random_weights(market, 6, seed=4), market, stop_loss=0.05, window=4, window_step=2)
    raw = report._raw
    # Rows and stock indices kept as int32, reasons as one byte ...
    for table, key in [("trades", "entry_row"), ("trades", "exit_row"), ("trades", "sid"), ("fills", "row")]:
        assert getattr(raw, table)[key].dtype == np.int32
    assert raw.trades["reason"].itemsize == raw.fills["reason"].itemsize == 1
    # ... and widened where a table shows them.
    trades = report.trades
    assert len(trades) > 0
    assert trades["rows"].dtype == np.int64
    assert trades["profit_rows"].dtype == np.int64
    assert trades["exit_reason"].dtype == "category"


def test_concurrent_first_accesses_follow_the_trades_once(follow_ups):
    market = random_market(60, 5, seed=7)
    report = zelvor.backtest(random_weights(market, 12, seed=8), market, stop_loss=0.03, window=6, window_step=3)
    frames = [None] * 4
    barrier = threading.Barrier(4)

    def read(k):
        barrier.wait()
        frames[k] = report._raw.stats

    threads = [threading.Thread(target=read, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(follow_ups) == 1
    assert all(f is frames[0] for f in frames)
