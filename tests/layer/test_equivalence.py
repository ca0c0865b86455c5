"""The DataFrame layer gives exactly what the raw engine gives for the same inputs."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from layer_fixtures import random_market, random_weights, run_shapes

import zelvor
from zelvor import _figures

trevane = pytest.importorskip("zelvor.core.trevane")
quelmo = pytest.importorskip("zelvor.core.quelmo")


def raw_run(market, weights, options):
    """The same run through backtest_ directly, with arrays built here independently of the layer."""
    dates = market.dates.as_unit("ns").asi8
    close = market.close.to_numpy(dtype=float)
    price = {"close": close, "open": market.open.to_numpy(dtype=float)}[options["trade_at"]]
    pos_index = weights.index.as_unit("ns").asi8
    resample = options["resample"]
    if resample is None:
        resample_dates = pos_index
    else:
        alias = {"ME": "ME", "W": "W"}[resample]
        resample_dates = market.dates.to_series().resample(alias).max().dropna().to_numpy().astype("datetime64[ns]")
        resample_dates = resample_dates.astype(np.int64)
    bars = None
    if options["delisting"] == "auto":
        has = ~np.isnan(close)
        last = len(dates) - 1 - np.argmax(has[::-1], axis=0)
        bars = np.where(has.any(axis=0) & (last < len(dates) - 1), last, -1).astype(np.int64)
    none_is = {"stop_loss": 1.0, "take_profit": np.inf, "trail_stop": np.inf}
    scalars = {
        k: (none_is[k] if options[k] is None and k in none_is else options[k])
        for k in ("fee_ratio", "tax_ratio", "stop_loss", "take_profit", "trail_stop", "trail_stop_activation",
                  "touched_exit", "position_limit", "retain_cost_when_rebalance", "stop_trading_next_period",
                  "periodically_rebalance")
    }  # fmt: skip
    labels = np.array(list(market.stocks), dtype=object)
    value = trevane.backtest_(
        price, close, market.high.to_numpy(dtype=float), market.low.to_numpy(dtype=float),
        market.open.to_numpy(dtype=float), dates, labels, weights.to_numpy(dtype=float), pos_index,
        np.array(list(weights.columns), dtype=object), resample_dates,
        quelmo_window=options["window"], quelmo_window_step=options["window_step"], delisting_bars=bars, **scalars,
    )  # fmt: skip
    rows, operations = trevane.get_trade_stocks(
        np.array(list(weights.columns), dtype=object), dates, options["touched_exit"]
    )
    return value, rows, [np.array(s) for s in quelmo.quelmo], list(quelmo.trade_positions), operations


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(run_shapes())
def test_report_matches_the_raw_engine(shape):
    market, weights, options = shape
    report = zelvor.backtest(weights, market, **options)
    value, rows, stats, positions, operations = raw_run(market, weights, options)

    assert report.equity.to_numpy().tobytes() == value.tobytes()  # bit for bit
    t = report.trades
    assert len(t) == len(rows) == len(stats)
    dates = market.dates
    for k, row in enumerate(rows):
        stock, entry, exit_, entry_signal, exit_signal, position, period, entry_row, exit_row = row
        assert t["stock"].iat[k] == stock
        assert t["entry_date"].iat[k] == dates[entry_row]
        assert t["entry_signal_date"].iat[k] == dates[entry_row - 1]
        if exit_row == -1:
            assert t["exit_date"].isna().iat[k] and t["exit_signal_date"].isna().iat[k]
        else:
            assert t["exit_date"].iat[k] == dates[exit_row]
            assert t["exit_signal_date"].iat[k].value == exit_signal
        assert t["weight"].iat[k] == position == positions[k]
        assert t["rows"].iat[k] == period
        np.testing.assert_array_equal(t.iloc[k][["mae", "mfe", "bmfe", "mdd", "profit_rows", "trade_return"]]
                                      .to_numpy(dtype=float), stats[k][-6:])  # fmt: skip
    if options["window"]:
        ws = report.window_stats
        groups = (options["window"] - 1) // options["window_step"] + 1
        for k, s in enumerate(stats):
            expected = s[: 6 * groups].reshape(groups, 6)
            expected = np.where((expected == -1.0).all(axis=1, keepdims=True), np.nan, expected)
            np.testing.assert_array_equal(ws.loc[k].to_numpy(), expected)
    # The next-period report: the engine's weights and actions, by stock label.
    a = report.actions
    labels = list(weights.columns)
    for sid, weight in operations["weights"].items():
        assert a.loc[labels[sid], "weight"] == weight
    for sid, weight in operations["next_weights"].items():
        assert a.loc[labels[sid], "next_weight"] == weight
    assert len(a.dropna(subset=["action"])) == len(operations["actions"])


def test_float64_frames_reach_the_engine_without_a_copy():
    market = random_market(30, 4, seed=3, gaps=0.0)
    arrays = market.arrays
    for name in ("close", "open", "high", "low"):
        assert np.shares_memory(getattr(arrays, name), getattr(market, name).to_numpy())
    weights = random_weights(market, 3, seed=4)
    prepared = zelvor.prepare(weights, market)
    assert np.shares_memory(prepared._arrays["price_values"], market.close.to_numpy())
    # The weights are the exception: a Prepared owns a copy, so later changes to the caller's frame
    # cannot change what its runs trade (see test_input_rules.py).
    assert not np.shares_memory(prepared._arrays["pos_values"], weights.to_numpy())


def test_a_later_run_does_not_change_an_earlier_report():
    market = random_market(40, 4, seed=5)
    first = zelvor.backtest(random_weights(market, 4, seed=6), market, stop_loss=0.05)
    equity, actions = first.equity.copy(), first._raw.operations
    snapshot = {k: v.copy() for k, v in first._raw.trades.items()}
    zelvor.backtest(random_weights(market, 6, seed=7), market, take_profit=0.1)
    # Nothing of the first report was built before the second run: build it now.
    assert first.equity.equals(equity)
    assert all(np.array_equal(first._raw.trades[k], v, equal_nan=True) for k, v in snapshot.items())
    assert first._raw.operations is actions
    assert len(first.trades) == len(snapshot["pnl"])


def test_timezone_aware_inputs_give_aware_outputs():
    market = random_market(25, 3, seed=8, tz="America/New_York")
    weights = random_weights(market, 3, seed=9)
    report = zelvor.backtest(weights, market)
    assert str(report.equity.index.tz) == "America/New_York"
    assert str(report.trades["entry_date"].dt.tz) == "America/New_York"
    naive = pd.DataFrame(weights.to_numpy(), index=weights.index.tz_localize(None), columns=weights.columns)
    with pytest.raises(ValueError, match="weights: timezone-aware and timezone-naive dates mixed"):
        zelvor.backtest(naive, market)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(run_shapes())
def test_the_sweep_path_gives_the_reports_figures(shape):
    market, weights, options = shape
    data = {k: options.pop(k) for k in ("resample", "trade_at", "delisting")}
    report = zelvor.backtest(weights, market, benchmark="S0", **data, **options)
    fast = zelvor.run_stats(zelvor.prepare(weights, market, benchmark="S0", **data), risk_free=0.01, **options)
    expected = report.stats(risk_free=0.01)
    # The report adds its own figures after the sweep's (computed once per report, not per run),
    # and the sweep's rows also carry the period, which the float Series leaves to `report.period`.
    assert (fast.pop("start"), fast.pop("end")) == report.period
    assert list(fast) == list(expected.index[: len(fast)])
    assert set(expected.index[len(fast) :]) <= set(_figures.TRADE_KEYS + _figures.RETURN_KEYS)
    for key, value in fast.items():
        assert value == expected[key] or (value != value and expected[key] != expected[key]), key
    # The benchmark is rebased to 1.0 at its first price of the active period.
    bench = report.benchmark.loc[report.start :].dropna()
    assert len(bench) == 0 or bench.iloc[0] == 1.0
