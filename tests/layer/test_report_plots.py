"""The report's further pictures, drawn with Agg: what each puts on its axes."""

import numpy as np
import pytest
from layer_fixtures import random_market, random_weights

import zelvor

try:
    import matplotlib
    import matplotlib.pyplot as plt
except Exception as exc:  # a matplotlib too new for the installed NumPy fails here
    pytest.skip(f"matplotlib unusable here: {exc}", allow_module_level=True)
matplotlib.use("Agg")

from matplotlib.collections import PathCollection, PolyCollection  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402


@pytest.fixture(scope="module")
def run():
    market = random_market(300, 5, 21, gaps=0.0)
    weights = random_weights(market, 12, 22, shorts=False)
    weights = weights.div(weights.abs().sum(axis=1).clip(lower=1.0), axis=0)  # no leverage to scale down
    report = zelvor.backtest(weights, market, stop_loss=0.05, take_profit=0.15, benchmark="S0")
    return report, market


@pytest.mark.parametrize("name", ["plot_rolling", "plot_distribution", "plot_drawdowns"])
def test_plots_return_their_figure_and_draw_into_a_given_axes(run, name):
    report, _ = run
    fig = getattr(report, name)()
    assert isinstance(fig, Figure) and fig.axes
    plt.close(fig)
    own, ax = plt.subplots()
    assert getattr(report, name)(ax=ax) is own and len(own.axes) == 1 and ax.lines
    plt.close(own)


def test_rolling_panels_follow_the_benchmark(run):
    report, _ = run
    fig = report.plot_rolling(window=21)
    assert [a.get_ylabel() for a in fig.axes] == ["Sharpe", "volatility", "beta"]
    drawn = fig.axes[0].lines[0].get_ydata()
    np.testing.assert_array_equal(drawn, report.rolling(21)["sharpe"].to_numpy())
    plt.close(fig)


def test_distribution_marks_the_var_of_the_stats(run):
    report, _ = run
    fig = report.plot_distribution()
    s = report.stats()
    marks = [line.get_xdata()[0] for line in fig.axes[0].lines if line.get_label().startswith(("VaR", "CVaR"))]
    assert marks == [s["var_95"], s["cvar_95"]]
    plt.close(fig)


def test_drawdowns_shade_the_top_periods(run):
    report, _ = run
    fig = report.plot_drawdowns(top=3)
    shaded = [p for p in fig.axes[0].patches if p.get_alpha() == pytest.approx(0.10)]
    assert len(shaded) == min(3, len(report.drawdowns(top=None)))
    plt.close(fig)


def test_stock_shows_each_trade(run):
    report, market = run
    stock = "S1"
    trades = report.trades[report.trades["stock"] == stock]
    fig = report.plot_stock(stock, market)
    points = [c for c in fig.axes[0].collections if isinstance(c, PathCollection)]
    # One entry per trade, one exit per closed trade; none where the fill had no price (S1 is
    # listed late, so its first trades were entered before it had a price).
    priced = trades.dropna(subset=["entry_price"])
    closed = int(((trades["exit_reason"] != "open") & trades["exit_price"].notna()).sum())
    assert stock == "S1" and 0 < len(priced) < len(trades)
    assert len(points) == len(priced) + closed
    trades = priced
    # A stop-loss and a take-profit level per priced trade, 5 % below and 15 % above its entry.
    levels = sorted(
        float(s.get_segments()[0][0][1])
        for s in fig.axes[0].collections
        if not isinstance(s, (PathCollection, PolyCollection))
    )
    expected = sorted([p * 0.95 for p in trades["entry_price"]] + [p * 1.15 for p in trades["entry_price"]])
    assert levels == pytest.approx(expected)
    plt.close(fig)
    with pytest.raises(ValueError, match="stock"):
        report.plot_stock("nope", market)
    with pytest.raises(TypeError, match="prices"):
        report.plot_stock(stock, [1.0, 2.0])
