"""Rules of the statistics that rounding, gaps and time scales must not bend."""

import numpy as np
import pandas as pd

import zelvor


def test_a_benchmark_label_and_its_close_series_give_the_same_alpha_and_beta():
    # ES has gaps in its close; both ways of naming it carry the last price forward.
    rng = np.random.default_rng(3)
    dates = pd.bdate_range("2021-01-04", periods=120)
    close = pd.DataFrame(
        100 * np.exp(np.cumsum(rng.normal(0, 0.01, (120, 3)), axis=0)), index=dates, columns=["A", "B", "ES"]
    )
    close.iloc[[10, 11, 40, 77], 2] = np.nan
    market = zelvor.Market(close=close)
    weights = pd.DataFrame({"A": [0.5, 0.2], "B": [0.5, 0.8]}, index=dates[[0, 60]])
    by_label = zelvor.backtest(weights, market, benchmark="ES").stats()
    by_series = zelvor.backtest(weights, market, benchmark=market.close["ES"]).stats()
    assert by_label[["alpha", "beta"]].tolist() == by_series[["alpha", "beta"]].tolist()
    assert np.isfinite(by_label["beta"])
