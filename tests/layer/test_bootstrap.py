"""Report.bootstrap: the stationary bootstrap of a report's daily returns."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

import zelvor

pytest.importorskip("arch.bootstrap")


@pytest.fixture(scope="module")
def report():
    market = zelvor.Market.synthetic(stocks=30, years=3, seed=8)
    return zelvor.backtest(market.close.iloc[::21].notna(), market)


def test_seeded_paths_are_reproducible(report):
    a = report.bootstrap(n=200, seed=3)
    b = report.bootstrap(n=200, seed=3)
    pd.testing.assert_frame_equal(a.samples, b.samples, check_exact=True)
    c = report.bootstrap(n=200, seed=4)
    assert not a.samples.equals(c.samples)


def test_mean_cagr_and_figures_near_the_samples(report):
    result = report.bootstrap(n=2000, seed=0)
    stats = report.stats()
    # The actual figures are the report's own.
    for name in ("total_return", "cagr", "sharpe", "max_drawdown"):
        assert result.actual[name] == pytest.approx(stats[name], rel=1e-9, abs=1e-12), name
    # Resampling keeps the mean daily return, so the paths' CAGR centres near the report's: within
    # a fifth of the paths' spread (their standard deviation).
    spread = result.samples["cagr"].std()
    assert abs(result.samples["cagr"].mean() - stats["cagr"]) < 0.2 * spread
    assert abs(result.samples["sharpe"].median() - stats["sharpe"]) < 0.2 * result.samples["sharpe"].std()
    p = result.percentiles()
    assert (np.diff(p.to_numpy(), axis=1) >= 0).all()  # percentiles in order
    assert (result.samples["max_drawdown"] <= 0).all()
    assert result.block >= 1


def test_constant_returns_give_one_path():
    # A stock growing 0.01 % a day, held from the first close on: every daily return is 0.0001
    # but the entry day's 0. A path draws its days from those, so its growth is 1.0001 to a
    # whole power (the days it drew that were not the entry day), and it never draws down.
    dates = pd.bdate_range("2020-01-01", periods=300)
    close = pd.DataFrame({"A": 100 * 1.0001 ** np.arange(300)}, index=dates)
    market = zelvor.Market(close)
    report = zelvor.backtest(pd.DataFrame({"A": [1.0]}, index=dates[:1]), market, fee_ratio=0, tax_ratio=0)
    result = report.bootstrap(n=50, block=5, seed=1)
    returns = report.returns.to_numpy()[report.start_row + 1 :]
    assert np.allclose(returns[returns != 0], 1e-4, rtol=1e-9) and (returns == 0).sum() <= 1
    powers = np.log1p(result.samples["total_return"].to_numpy()) / math.log1p(1e-4)
    np.testing.assert_allclose(powers, np.round(powers), atol=1e-6)
    assert (np.round(powers) <= len(returns)).all() and (result.samples["max_drawdown"] == 0).all()
    assert result.equity.shape == (len(returns) + 1, 50)  # the active dates, 1.0 on the first


def test_fan_chart(report):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = report.bootstrap(n=50, seed=0).plot()
    assert len(fig.axes[0].collections) == 2 and len(fig.axes[0].lines) == 2
    plt.close("all")


@pytest.mark.parametrize(
    ("kwargs", "error", "match"),
    [({"n": 1}, ValueError, "n must be"), ({"block": 0.5}, ValueError, "block"), ({"seed": "x"}, TypeError, "seed")],
)
def test_bad_arguments(report, kwargs, error, match):
    with pytest.raises(error, match=match):
        report.bootstrap(**kwargs)


def test_summary_columns(report):
    summary = report.bootstrap(n=100, seed=2).summary()
    assert list(summary.columns) == ["actual", "mean", "p5", "p25", "p50", "p75", "p95"]
    assert list(summary.index) == ["total_return", "cagr", "sharpe", "max_drawdown"]
    assert not math.isnan(summary.loc["cagr", "mean"])
