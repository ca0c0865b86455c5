"""A pickled Market: rebuilt equal, without its checks, carrying each price matrix once."""

import dataclasses
import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st
from layer_fixtures import random_market

import zelvor
from zelvor.market import MarketParts

FIELDS = ("close", "open", "high", "low")


@st.composite
def markets(draw):
    """Markets with and without open/high/low (a missing one is close's own frame), naive or zoned
    dates, integer or float closes, delisting rows known (a loader's) or left to compute."""
    n_rows, n_stocks = draw(st.integers(2, 30)), draw(st.integers(1, 6))
    base = random_market(n_rows, n_stocks, draw(st.integers(0, 2**31)), tz=draw(st.sampled_from([None, "Asia/Tokyo"])))
    close = base.close.round().fillna(1.0).astype(np.int64) if draw(st.booleans()) else base.close
    given_fields = draw(st.sets(st.sampled_from(FIELDS[1:])))
    market = zelvor.Market(close, **{name: getattr(base, name) for name in given_fields})
    if draw(st.booleans()):
        market.delisting_rows()  # computed before pickling: carried along
    return market


def pickled_size_bound(market):
    # Each distinct price matrix is rows x stocks float64 cells (8 bytes); an int64 close as given
    # is as large. The dates, labels and frame headers add a few kilobytes at most.
    distinct = {id(getattr(market, name)): getattr(market, name) for name in FIELDS}
    return sum(frame.shape[0] * frame.shape[1] * 8 for frame in distinct.values()) + 16_000


@given(markets())
def test_round_trip_gives_the_same_market(market):
    copy = pickle.loads(pickle.dumps(market))
    assert len(pickle.dumps(market)) <= pickled_size_bound(market)
    pd.testing.assert_index_equal(copy.dates, market.dates, exact=True)
    assert copy.dates.tz == market.dates.tz
    for name in FIELDS:
        pd.testing.assert_frame_equal(getattr(copy, name), getattr(market, name))
        np.testing.assert_array_equal(getattr(copy.arrays, name), getattr(market.arrays, name))
        # A field filled from close stays close's frame and matrix, as in the original.
        assert (getattr(copy, name) is copy.close) == (getattr(market, name) is market.close)
        assert (getattr(copy.arrays, name) is copy.arrays.close) == (
            getattr(market.arrays, name) is market.arrays.close
        )
        frame = getattr(copy, name)
        if (frame.dtypes == np.float64).all():  # the engine reads float64 frames without a copy
            assert np.shares_memory(getattr(copy.arrays, name), frame.to_numpy())
    np.testing.assert_array_equal(copy.delisting_rows(), market.delisting_rows())
    assert repr(copy) == repr(market)


def test_a_loaders_delisting_rows_survive_and_nothing_is_checked_again(monkeypatch):
    # The loader says stock 0 stops after row 1 although it has closes to the end: the market
    # keeps the loader's rows, and so must its copy (computing them would give -1).
    arrays = zelvor.Market.synthetic(stocks=2, years=0.05).arrays
    rows = np.array([1, -1], dtype=np.int64)
    market = zelvor.Market.from_arrays(dataclasses.replace(arrays, delisting_rows=rows), tz="Europe/Paris")
    data = pickle.dumps(market)

    def refuse(*args, **kwargs):
        raise AssertionError("the checking constructor ran")

    monkeypatch.setattr(zelvor.Market, "__init__", refuse)
    copy = pickle.loads(data)
    assert copy.delisting_rows().tolist() == [1, -1]
    assert str(copy.dates.tz) == "Europe/Paris"
    # Frames replaced by copies of the same values (as a worker's memory maps are) are taken as given.
    parts = market.parts()
    rebuilt = zelvor.Market.from_parts(MarketParts({k: v.copy() for k, v in parts.frames.items()}, None))
    pd.testing.assert_frame_equal(rebuilt.high, market.high)
    assert rebuilt.delisting_rows().tolist() == [-1, -1]
    with pytest.raises(AssertionError, match="checking constructor"):
        zelvor.Market(market.close)
