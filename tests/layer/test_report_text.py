"""What a report says in words: costs, the period, a partial last period, Prepared and the demo's help."""

import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import zelvor


def _month_end_run(days: int, **options):
    dates = pd.bdate_range("2021-01-04", periods=days)
    close = pd.DataFrame({"A": np.linspace(10, 12, days), "B": np.linspace(20, 19, days)}, index=dates)
    market = zelvor.Market(close=close)
    weights = pd.DataFrame({"A": [0.5, 0.2], "B": [0.5, 0.8]}, index=dates[[0, 30]])
    return zelvor.prepare(weights, market, resample="ME"), options


@pytest.mark.slow
def test_a_partial_last_period_is_said_plainly(tmp_path):
    # 2021-01-04 + 40 weekdays ends on Friday 2021-02-26, before February's end (the 28th).
    prepared, _ = _month_end_run(40)
    report = prepared.run()
    assert report.end == pd.Timestamp("2021-02-26")
    actions = report.actions
    assert actions.attrs["partial_period"] is True
    assert actions.attrs["period_end"] == pd.Timestamp("2021-02-28")
    report.to_html(tmp_path / "r.html")
    assert "Partial period: the data end on 2021-02-26, before the period ends on 2021-02-28" in (
        tmp_path / "r.html"
    ).read_text(encoding="utf-8")
    # Data ending on a month's last weekday (2021-03-31, 63 weekdays in): the period is whole.
    whole = _month_end_run(63)[0].run().actions
    assert whole.attrs["partial_period"] is False


@pytest.mark.slow
def test_costs_and_period_are_in_the_repr_and_the_page(tmp_path):
    prepared, _ = _month_end_run(40)
    plain = repr(prepared.run())
    assert plain.startswith("<Report 2021-01-04 .. 2021-02-26:")
    assert "fee 0.1425 % per trade (buys and sells), tax 0.3 % on sales" in plain
    assert "no fees, no tax>" in repr(prepared.run(fee_ratio=0, tax_ratio=0))
    report = prepared.run(fee_ratio=0.001, tax_ratio=0.0)
    report.to_html(tmp_path / "r.html", title="t")
    head = (tmp_path / "r.html").read_text(encoding="utf-8").split("<h2>")[0]
    assert "2021-01-04 .. 2021-02-26; fee 0.1 % per trade (buys and sells), tax 0 % on sales" in head


def test_prepared_stats_is_a_float_series_and_its_repr_says_what_it_holds():
    prepared, _ = _month_end_run(40)
    s = prepared.stats()
    assert s.dtype == np.float64 and "start" not in s.index
    # The same figures as the report's, which adds further ones of its own after them.
    pd.testing.assert_series_equal(s, prepared.run().stats()[s.index], check_exact=True)
    text = repr(prepared)
    assert text.startswith("<Prepared: 2 stocks weighted on 2 dates (2021-01-04 .. 2021-02-15) of <Market")
    assert "resample='ME'" in text


def test_trades_count_rows_in_profit_as_whole_numbers():
    prepared, _ = _month_end_run(40)
    trades = prepared.run().trades
    assert len(trades) and trades["profit_rows"].dtype == np.int64


@pytest.mark.slow
def test_demo_help_prints_plain_percent_signs():
    out = subprocess.run([sys.executable, "-m", "zelvor.demo", "--help"], capture_output=True, text=True, check=True)
    assert "8% stop-loss" in " ".join(out.stdout.split()) and "%%" not in out.stdout
