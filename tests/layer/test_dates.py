"""One rule on time zones for every argument: Market's other price frames and backtest's weights
are matched with the market's dates when their zones are one zone, however it is spelled."""

import datetime as dt
import zoneinfo

import dateutil.tz
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, reject
from hypothesis import strategies as st
from layer_fixtures import random_market

import zelvor

# Spellings of two zones (UTC four ways, New York three) and no zone at all.
ZONES = {
    "naive": None,
    "UTC": "UTC",
    "Etc/UTC": "Etc/UTC",
    "datetime UTC": dt.UTC,
    "dateutil UTC": dateutil.tz.tzutc(),
    "New York": "America/New_York",
    "zoneinfo New York": zoneinfo.ZoneInfo("America/New_York"),
    "dateutil New York": dateutil.tz.gettz("America/New_York"),
}
CITY = {"naive": None, "New York": "NY"}


def zone_of(name):
    """The zone a spelling names: None, "UTC" or "NY"."""
    return CITY.get(name.replace("zoneinfo ", "").replace("dateutil ", ""), "UTC")


def on(frame, zone):
    if zone is None:
        return frame
    try:
        return frame.set_axis(frame.index.tz_localize(zone))
    except AttributeError:
        # pandas 2.2 cannot localize to some dateutil zone files (its offset lookup gets None):
        # a spelling this pandas does not take is no case of the rule.
        if isinstance(zone, dateutil.tz.tzfile):
            reject()
        raise


@given(st.sampled_from(sorted(ZONES)), st.sampled_from(sorted(ZONES)))
def test_market_and_backtest_match_dates_of_one_zone_in_any_spelling(close_zone, other_zone):
    base = random_market(12, 2, seed=3, gaps=0.0)
    close, other = on(base.close, ZONES[close_zone]), on(base.high, ZONES[other_zone])
    same = zone_of(close_zone) == zone_of(other_zone)
    try:
        market = zelvor.Market(close, high=other)
    except ValueError as exc:
        assert not same, exc
        assert str(exc).startswith("high: "), exc
    else:
        assert same
        np.testing.assert_array_equal(market.arrays.high, base.arrays.high)
        assert market.high.index.equals(market.dates)
    # backtest's arguments follow the same rule against the market's dates.
    market = zelvor.Market(close)
    weights = on(pd.DataFrame(0.5, index=base.dates[[2, 6]], columns=base.stocks), ZONES[other_zone])
    try:
        zelvor.backtest(weights, market)
    except ValueError as exc:
        assert not same, exc
        assert str(exc).startswith("weights: "), exc
    else:
        assert same


@pytest.mark.parametrize("n_stocks", [0, 3])
def test_a_market_without_dates_has_no_delisting(n_stocks):
    close = pd.DataFrame(
        np.empty((0, n_stocks)), index=pd.DatetimeIndex([]), columns=[f"S{j}" for j in range(n_stocks)]
    )
    market = zelvor.Market(close)
    assert market.delisting_rows().tolist() == [-1] * n_stocks
    assert repr(market) == f"<Market: {n_stocks} stocks, no dates>"
