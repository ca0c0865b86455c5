"""zelvor.walk_forward: no look-ahead, stitched returns, a one-set grid, folds and errors."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import zelvor


@pytest.fixture(scope="module")
def market():
    return zelvor.Market.synthetic(stocks=30, years=4, seed=21)


GRID = {"lookback": [10, 40, 80], "top": [3, 8]}


@pytest.fixture(scope="module")
def result(market, momentum):
    return zelvor.walk_forward(momentum, market, GRID, train="2Y", test="6M")


def test_folds_cover_the_test_windows_back_to_back(result, market):
    folds = result.folds
    # 4 years of data, 2 of training, 6-month test windows: 4 folds.
    assert len(folds) == 4
    assert (
        folds["test_start"].iloc[0] == market.dates[market.dates.searchsorted(market.dates[0] + pd.DateOffset(years=2))]
    )
    for a, b in zip(folds.itertuples(), folds.iloc[1:].itertuples(), strict=False):
        assert b.test_start > a.test_end and market.dates.get_loc(b.test_start) == market.dates.get_loc(a.test_end) + 1
        assert b.train_start > a.train_start  # rolling
    assert (folds["train_end"] < folds["test_start"]).all()
    assert result.returns.index.equals(market.dates[market.dates.get_loc(folds["test_start"].iloc[0]) :])
    assert set(folds.columns) >= {"lookback", "top", "is_sharpe", "oos_sharpe", "params"}


def test_stitched_returns_are_the_fold_runs_returns(result):
    for fold, report in zip(result.folds.itertuples(), result.reports, strict=True):
        window = report.returns.loc[fold.test_start : fold.test_end]
        pd.testing.assert_series_equal(
            result.returns.loc[fold.test_start : fold.test_end], window.rename("returns"), check_exact=True
        )
        # The chosen set is the training sweep's best.
        params = fold.params
        assert {k: getattr(fold, k) for k in params} == params


def test_a_grid_of_one_set_is_the_plain_backtest_over_the_test_windows(market, momentum):
    one = zelvor.walk_forward(momentum, market, {"lookback": [40]}, train="2Y", test="6M", top=5)
    plain = zelvor.backtest(momentum(market, top=5, lookback=40), market)
    expected = plain.returns.loc[one.returns.index].rename("returns")
    pd.testing.assert_series_equal(one.returns, expected, check_exact=True)


def test_no_training_window_sees_a_price_after_its_end():
    # Stock X only rises after 2022-01-01; before that it drifts down, while Y rises gently.
    # Holding X has by far the best Sharpe ratio over the whole period, so a training window
    # that could see past its end would choose X for the first test window.
    dates = pd.bdate_range("2019-01-01", "2022-12-30")
    later = dates >= "2022-01-01"
    x = np.where(later, 0.004, -0.0003) + np.where(np.arange(len(dates)) % 2, 0.001, -0.001)
    y = np.full(len(dates), 0.0004) + np.where(np.arange(len(dates)) % 2, 0.002, -0.002)
    close = pd.DataFrame({"X": 100 * np.cumprod(1 + x), "Y": 100 * np.cumprod(1 + y)}, index=dates)
    market = zelvor.Market(close)
    seen = []

    def hold(market, stock="X"):
        seen.append(market.dates[-1])
        return pd.DataFrame({stock: 1.0}, index=market.dates[:1])

    wf = zelvor.walk_forward(hold, market, {"stock": ["X", "Y"]}, train="2Y", test="1Y", fee_ratio=0, tax_ratio=0)
    full = zelvor.sweep(hold, market, {"stock": ["X", "Y"]}, backend="serial", progress=False, fee_ratio=0, tax_ratio=0)
    assert full.table.loc[full.table["sharpe"].idxmax(), "stock"] == "X"  # the future favours X
    assert list(wf.folds["stock"]) == ["Y", "Y"]  # trained on 2019-2020, then on 2020-2021
    assert wf.folds["oos_sharpe"].iloc[0] > 0
    # Every weights call of a training sweep got a market ending at its window's end (or, for
    # the test runs, at the test window's end).
    ends = set(wf.folds["train_end"]) | set(wf.folds["test_end"])
    assert set(seen) <= ends | {market.dates[-1]}
    assert min(seen) == wf.folds["train_end"].iloc[0]


def test_anchored_rows_and_a_weights_frame(market, momentum):
    weights = momentum(market, top=5, lookback=40)
    wf = zelvor.walk_forward(
        weights, market, {"stop_loss": [None, 0.05]}, train=300, test=200, anchored=True, metric="cagr"
    )
    folds = wf.folds
    assert (folds["train_start"] == market.dates[0]).all()
    assert [market.dates.get_loc(d) for d in folds["test_start"]] == list(range(300, len(market.dates), 200))
    stats = wf.stats()
    assert set(stats.index) >= {"sharpe", "cagr", "max_drawdown", "efficiency"}
    assert stats["total_return"] == pytest.approx(wf.equity.iloc[-1] - 1.0, rel=1e-12)
    ins, outs = folds["is_cagr"].to_numpy(), folds["oos_cagr"].to_numpy()
    assert wf.efficiency == pytest.approx(outs.mean() / ins.mean())


def test_plot(result):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = result.plot()
    assert len(fig.axes) == 2 and len(fig.axes[1].patches) == 2 * len(result.folds)
    plt.close("all")


@pytest.mark.parametrize(
    ("kwargs", "error", "match"),
    [
        ({"train": "3X"}, ValueError, "train must look like"),
        ({"test": 1}, ValueError, "test must be at least 2 rows"),
        ({"train": 300, "test": "6M"}, ValueError, "both"),
        ({"metric": "trades"}, ValueError, "metric must be one of"),
        ({"train": "20Y"}, ValueError, "no fold fits"),
        ({"train": True}, TypeError, "train must be"),
    ],
)
def test_bad_arguments(market, kwargs, error, match, momentum):
    with pytest.raises(error, match=match):
        zelvor.walk_forward(momentum, market, GRID, **kwargs)
