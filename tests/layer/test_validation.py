"""Each bad input of `zelvor.backtest` is refused before the engine runs, with a message naming it."""

import numpy as np
import pandas as pd
import pytest
from layer_fixtures import random_market, random_weights

import zelvor
from zelvor._validate import OPTIONS, check_options

MARKET = random_market(30, 4, seed=1, gaps=0.0)
WEIGHTS = random_weights(MARKET, 3, seed=2)


def reindexed(frame, index):
    return pd.DataFrame(frame.to_numpy(), index=index, columns=frame.columns)


BAD_OPTIONS = [
    ({"fee_ratio": -0.001}, ValueError, r"fee_ratio must be a real number >= 0 and < 1, got -0.001"),
    ({"tax_ratio": 1.0}, ValueError, r"tax_ratio must be a real number >= 0 and < 1, got 1.0"),
    ({"fee_ratio": 0.6, "tax_ratio": 0.5}, ValueError, r"fee_ratio \+ tax_ratio must be below 1"),
    ({"fee_ratio": "0.1"}, TypeError, r"fee_ratio must be a real number"),
    ({"fee_ratio": float("nan")}, ValueError, r"fee_ratio must be .* got nan"),
    ({"stop_loss": 0.0}, ValueError, r"stop_loss must be a real number > 0 \(or None for off\), got 0.0"),
    ({"take_profit": -0.1}, ValueError, r"take_profit must be a real number > 0"),
    ({"trail_stop": 0}, ValueError, r"trail_stop must be a real number > 0"),
    ({"trail_stop_activation": -0.01}, ValueError, r"trail_stop_activation must be a real number >= 0"),
    ({"position_limit": 0.0}, ValueError, r"position_limit must be a real number > 0, got 0.0"),
    ({"position_limit": None}, TypeError, r"position_limit must be a real number > 0, got None"),
    ({"window": -1}, ValueError, r"window must be an integer >= 0"),
    ({"window": 2.5}, TypeError, r"window must be an integer"),
    ({"window_step": 0}, ValueError, r"window_step must be an integer >= 1"),
    ({"touched_exit": "yes"}, TypeError, r"touched_exit must be True or False, got 'yes'"),
    ({"trade_at": "vwap"}, ValueError, r"trade_at must be one of close, open, high, low or a DataFrame"),
    ({"trade_at": 3}, TypeError, r"trade_at must be one of"),
    ({"resample": "fortnightly"}, ValueError, r"resample: unknown frequency 'fortnightly'"),
    ({"resample": 5}, TypeError, r"resample: expected None, a pandas offset alias or a sequence of dates"),
    ({"delisting": "sometimes"}, ValueError, r"delisting must be None, 'auto' or a Series"),
    ({"delisting": pd.Series({"NOPE": "2021-01-10"})}, ValueError, r"delisting: stock\(s\) not in the market: NOPE"),
    ({"benchmark": "NOPE"}, ValueError, r"benchmark must be None, a price Series or a stock of the market"),
]


@pytest.mark.parametrize(("options", "error", "message"), BAD_OPTIONS)
def test_bad_option(options, error, message):
    with pytest.raises(error, match=message):
        zelvor.backtest(WEIGHTS, MARKET, **options)


def bad_weights():
    w = WEIGHTS
    unsorted = w.iloc[::-1]
    dup = pd.concat([w, w.iloc[:1]]).sort_index()
    not_dates = w.reset_index(drop=True)
    text = w.astype(object)
    text.iloc[0, 0] = "a lot"
    unknown = w.assign(ZZZ=0.0)
    unknown.iloc[1, -1] = 0.2
    return [
        (unsorted, ValueError, r"weights: the dates are not sorted in ascending order"),
        (dup, ValueError, r"weights: duplicate dates in the index: "),
        (not_dates, TypeError, r"weights: the index must be a DatetimeIndex of dates, got RangeIndex"),
        (text, TypeError, r"weights: non-numeric weights in column\(s\) S0"),
        (unknown, ValueError, r"weights: no prices in the market for stock\(s\) given a non-zero weight: ZZZ"),
        (w.iloc[:0], ValueError, r"weights: no dates"),
        (w.to_numpy(), TypeError, r"weights: expected a DataFrame"),
        (w.assign(S0=np.inf), ValueError, r"weights: infinite weight for S0"),
    ]


@pytest.mark.parametrize(("weights", "error", "message"), bad_weights())
def test_bad_weights(weights, error, message):
    with pytest.raises(error, match=message):
        zelvor.backtest(weights, MARKET)


def test_unpriced_columns_with_zero_weight_are_dropped_and_nan_counts_as_zero():
    w = WEIGHTS.assign(ZZZ=0.0)
    with_nan = WEIGHTS.copy()
    with_nan.iloc[0, 0] = np.nan
    zeroed = WEIGHTS.copy()
    zeroed.iloc[0, 0] = 0.0
    base = zelvor.backtest(WEIGHTS, MARKET).equity
    assert zelvor.backtest(w, MARKET).equity.equals(base)
    assert zelvor.backtest(with_nan, MARKET).equity.equals(zelvor.backtest(zeroed, MARKET).equity)


def test_bool_weights_mean_equal_weights():
    picks = WEIGHTS > 0.2
    counts = picks.sum(axis=1).replace(0, 1)
    equal = picks.astype(float).div(counts, axis=0)
    assert zelvor.backtest(picks, MARKET).equity.equals(zelvor.backtest(equal, MARKET).equity)


def test_bad_market_frames():
    close = MARKET.close
    with pytest.raises(TypeError, match=r"close: expected a DataFrame of prices"):
        zelvor.Market(close.to_numpy())
    with pytest.raises(ValueError, match=r"close: the dates are not sorted"):
        zelvor.Market(close.iloc[::-1])
    with pytest.raises(ValueError, match=r"open: the dates and stocks must be those of close"):
        zelvor.Market(close, open=close.iloc[:, :2])
    aware = reindexed(close, close.index.tz_localize("UTC"))
    with pytest.raises(ValueError, match=r"high: timezone-aware and timezone-naive dates mixed"):
        zelvor.Market(close, high=aware)
    text = close.astype(object)
    text.iloc[0, 1] = "x"
    with pytest.raises(TypeError, match=r"close: prices must be numeric; non-numeric columns: S0, S1"):
        zelvor.Market(text)
    with pytest.raises(TypeError, match=r"market: expected a zelvor.Market"):
        zelvor.backtest(WEIGHTS, close)


def test_a_zero_trading_price_of_a_weighted_stock_is_refused_up_front():
    close = MARKET.close.copy()
    close.iloc[10, 2] = 0.0
    market = zelvor.Market(close)
    weights = WEIGHTS.copy()
    weights["S2"] = 0.3
    # The message names the field as the price rule now covers every field a run reads.
    with pytest.raises(ValueError, match=r"market: the close price of S2 on 2021-01-18 is 0.0, not a usable price"):
        zelvor.backtest(weights, market)
    weights["S2"] = 0.0  # not traded: the bad price does not matter
    zelvor.backtest(weights, market)


def test_the_table_covers_every_scalar_option_with_its_default():
    import inspect

    params = inspect.signature(zelvor.backtest).parameters
    defaults = {k: p.default for k, p in params.items() if k in OPTIONS}
    assert set(defaults) == set(OPTIONS)
    # The defaults pass the table, and None stop levels become the engine's "off" values.
    checked = check_options(defaults)
    assert (checked["stop_loss"], checked["take_profit"], checked["trail_stop"]) == (1.0, np.inf, np.inf)
