"""Differential tests: the native engine against the pure-Python reference model.

Random small markets (random walks with gaps, late listings, delistings and
missing prices; OHLC around the trading price), random position dates (before
the first price date, on non-trading days, after the last), random weights
(zeros, shorts, gross sums above 1, occasionally NaN), random resample dates
and random options.  Everything the engine reports after a run must equal the
model exactly: the arithmetic is the same IEEE double arithmetic in the same
order, so no tolerance is used.  When the model raises, the engine must raise
the same exception type with the same message.

The model-only tests at the end run whenever the engine is missing too.
"""

import numpy as np
import pytest
import reference_model as rm
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from market_fixtures import ARRAY_NAMES
from outcomes import assert_same_outcome, outcome

DAY = 86_400 * 10**9
INF = float("inf")
LABELS = ["AAA", "BBB", "CCC", "DDD", "EEE", "FFF", "Ñu"]
ABSENT = "ZZZ"  # a position label that no price column carries
OPS_KEYS = ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
ACTIONS = {"enter", "exit", "hold", "sl", "tp", "sl_enter", "tp_enter", "sl_", "tp_"}

SETTINGS = settings(
    max_examples=200,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


# ---------------------------------------------------------------------------
# random scenarios
# ---------------------------------------------------------------------------


def _walk(rng, n, vol):
    p0 = rng.uniform(5, 80)
    steps = rng.normal(0.0, vol, size=n)
    steps[0] = 0.0
    return p0 * np.exp(np.cumsum(steps))


@st.composite
def scenarios(draw):
    """Keyword arguments of one ``backtest_`` call."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n_rows = draw(st.integers(1, 2)) if draw(st.integers(0, 19)) == 0 else draw(st.integers(3, 40))

    # labels: price columns in a random order, position columns a permutation
    # of them, sometimes with a repeated or an absent label
    n_price = draw(st.integers(1, 6))
    price_labels = list(draw(st.permutations(LABELS)))[:n_price]
    if n_price >= 2 and draw(st.integers(0, 9)) == 0:
        price_labels[-1] = price_labels[0]  # repeated price label: last column wins
    pool = list(dict.fromkeys(price_labels))
    n_pos = draw(st.integers(1, 6))
    order = list(draw(st.permutations(pool)))
    pos_labels = [order[k % len(order)] for k in range(n_pos)]
    if n_pos >= 2 and draw(st.integers(0, 7)) == 0:
        pos_labels[draw(st.integers(0, n_pos - 1))] = pos_labels[0]  # shared price column
    absent_col = None
    if draw(st.integers(0, 7)) == 0:
        absent_col = draw(st.integers(0, n_pos - 1))
        pos_labels[absent_col] = ABSENT

    # dates: trading days with gaps; position dates anywhere around them
    days = 10 + np.cumsum(rng.choice([1, 1, 1, 2, 3], size=n_rows))
    price_index = (days * DAY).astype(np.int64)
    lo, hi = int(days[0]) - 4, int(days[-1]) + 3
    n_pos_rows = draw(st.integers(1, 6))
    # the first position date mostly falls early, so that most runs trade
    first = int(rng.integers(lo, int(days[min(3, n_rows - 1)]) + 1))
    if draw(st.integers(0, 5)) == 0:
        first = int(rng.integers(lo, hi + 1))
    later = rng.choice(np.arange(first, hi + 2), size=n_pos_rows - 1)
    pos_days = np.unique(np.concatenate([[first], later]))
    pos_index = (pos_days * DAY).astype(np.int64)

    mode = draw(st.sampled_from(["every"] * 3 + ["subset"] * 3 + ["days"] * 2 + ["empty", "unsorted"]))
    if mode == "every":
        res_days = days
    elif mode == "subset":
        res_days = days[rng.random(n_rows) < 0.4]
    elif mode == "empty":
        res_days = np.array([], dtype=np.int64)
    else:
        res_days = np.sort(rng.choice(np.arange(lo, hi + 1), size=rng.integers(1, 9)))
        if mode == "unsorted":
            rng.shuffle(res_days)
    resample = (np.asarray(res_days, dtype=np.int64) * DAY).astype(np.int64)

    # weights
    wmode = draw(st.sampled_from(["long", "mixed", "gross"]))
    shape = (len(pos_index), n_pos)
    if wmode == "long":
        w = rng.uniform(0, 1, size=shape)
    elif wmode == "mixed":
        w = rng.uniform(-1, 1, size=shape)
    else:
        w = rng.uniform(-0.5, 2, size=shape)
    w[rng.random(shape) < 0.3] = 0.0
    if draw(st.integers(0, 4)) == 0:
        w[rng.random(shape) < 0.05] = np.nan
    if absent_col is not None and draw(st.integers(0, 4)) != 0:
        w[:, absent_col] = 0.0  # mostly a harmless, never-traded column

    # prices: trading price, close, open, high and low of each column
    vol = draw(st.sampled_from([0.01, 0.04, 0.1]))
    price = np.column_stack([_walk(rng, n_rows, vol) for _ in range(n_price)])
    noise = lambda: np.exp(rng.normal(0.0, vol / 3, size=price.shape))  # noqa: E731
    close = price * noise()
    opens = price * noise()
    high = np.maximum(np.maximum(price, close), opens) * np.exp(np.abs(rng.normal(0, vol / 3, price.shape)))
    low = np.minimum(np.minimum(price, close), opens) * np.exp(-np.abs(rng.normal(0, vol / 3, price.shape)))
    mats = [price, close, high, low, opens]
    p_nan = draw(st.sampled_from([0.0, 0.03, 0.1]))
    for m in mats:
        m[rng.random(m.shape) < p_nan] = np.nan
    for c in range(n_price):
        if rng.random() < 0.15:  # listed late
            k = rng.integers(0, n_rows)
            for m in mats:
                m[:k, c] = np.nan
        if rng.random() < 0.15:  # data ends early
            k = rng.integers(0, n_rows)
            for m in mats:
                m[k:, c] = np.nan
    if draw(st.integers(0, 14)) == 0:
        bad = draw(st.sampled_from([0.0, -0.0, -2.0, INF, -INF]))
        price[rng.integers(0, n_rows), rng.integers(0, n_price)] = bad
    if draw(st.integers(0, 19)) == 0:
        close[rng.integers(0, n_rows), rng.integers(0, n_price)] = 0.0

    pos_values = w
    if draw(st.integers(0, 4)) == 0:
        # strided and Fortran-ordered inputs are read in place
        price, close = np.asfortranarray(price), np.asfortranarray(close)
        wide = np.zeros((w.shape[0], 2 * n_pos))
        wide[:, ::2] = w
        pos_values = wide[:, ::2]

    if draw(st.booleans()):
        delisting_bars = None
    else:
        bars = np.where(rng.random(n_pos) < 0.6, -1, rng.integers(0, n_rows, size=n_pos)).astype(np.int64)
        if draw(st.booleans()):
            bars.setflags(write=False)
        delisting_bars = bars

    window = draw(st.integers(0, 6))
    return dict(
        price_values=price,
        close_values=close,
        high_values=high,
        low_values=low,
        open_values=opens,
        price_index=price_index,
        price_columns=np.array(price_labels, dtype=object),
        pos_values=pos_values,
        pos_index=pos_index,
        pos_columns=np.array(pos_labels, dtype=object),
        resample=resample,
        fee_ratio=draw(st.sampled_from([0.0, 0.001425, 0.01])),
        tax_ratio=draw(st.sampled_from([0.0, 0.003])),
        stop_loss=draw(st.sampled_from([1.0, 0.03, 0.08, -0.1, 0.5])),
        take_profit=draw(st.sampled_from([INF, 0.05, 0.15, -0.1])),
        trail_stop=draw(st.sampled_from([INF, 0.03, 0.1])),
        trail_stop_activation=draw(st.sampled_from([0.0, 0.02, -0.05, 0.1])),
        touched_exit=draw(st.booleans()),
        position_limit=draw(st.sampled_from([1.0, 0.5, 0.3, 0.2])),
        retain_cost_when_rebalance=draw(st.booleans()),
        stop_trading_next_period=draw(st.sampled_from([True, False, None, 1, 0])),
        quelmo_window=window,
        quelmo_window_step=draw(st.integers(1, 3)),
        periodically_rebalance=draw(st.booleans()),
        delisting_bars=delisting_bars,
    )


# ---------------------------------------------------------------------------
# comparison
# ---------------------------------------------------------------------------


def _assert_same_weights(got, want):
    assert list(got) == list(want)
    np.testing.assert_array_equal(
        np.array([float(v) for v in got.values()]), np.array([float(v) for v in want.values()])
    )


def assert_engine_matches_model(kw):
    assert_same_outcome(
        outcome(rm.run_backtest, **kw),
        outcome(rm.run_engine, **kw),
        lambda engine, model: _assert_same_run(engine, model, kw),
        names=("model", "engine"),
    )


def _assert_same_run(engine, model, kw):
    pv = engine.portfolio_value
    assert isinstance(pv, np.ndarray) and pv.dtype == np.float64 and pv.ndim == 1
    np.testing.assert_array_equal(pv, model.portfolio_value)
    assert engine.trades == model.trades
    np.testing.assert_array_equal(
        np.array(engine.trade_positions, dtype=float), np.array(model.trade_positions, dtype=float)
    )
    assert len(engine.stats) == len(model.stats)
    for got, want in zip(engine.stats, model.stats, strict=True):
        assert got.dtype == np.float64 and got.ndim == 1
        np.testing.assert_array_equal(got, want)

    ops, want = engine.stock_operations, model.stock_operations
    assert list(ops) == OPS_KEYS
    assert list(ops["actions"].items()) == list(want["actions"].items())
    _assert_same_weights(ops["weights"], want["weights"])
    _assert_same_weights(ops["next_weights"], want["next_weights"])
    assert ops["weight_time"] == want["weight_time"]
    assert ops["next_weight_time"] == want["next_weight_time"]

    touched = bool(kw["touched_exit"])
    got_rows = engine.trade_stock_rows(kw["pos_columns"], kw["price_index"], touched)
    want_rows = model.trade_stock_rows(kw["pos_columns"], kw["price_index"], touched)
    assert len(got_rows) == len(want_rows)
    for g, w in zip(got_rows, want_rows, strict=True):
        assert len(g) == 9
        assert g[0] == w[0]
        assert [int(x) for x in g[1:5]] == [int(x) for x in w[1:5]]
        np.testing.assert_array_equal(float(g[5]), float(w[5]))
        assert [int(x) for x in g[6:]] == [int(x) for x in w[6:]]


@pytest.fixture(scope="module")
def engine():
    return pytest.importorskip("zelvor.core.trevane")


@pytest.mark.slow
@SETTINGS
@given(kw=scenarios())
def test_engine_matches_model(engine, kw):
    assert_engine_matches_model(kw)


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(kw=scenarios(), flags=st.tuples(st.booleans(), st.booleans(), st.booleans()))
def test_engine_matches_model_after_another_run(engine, kw, flags):
    # module flags, stock_operations and the recorder lists are replaced by
    # every run: a run that follows another with other flags is unaffected
    first = dict(kw, retain_cost_when_rebalance=flags[0], periodically_rebalance=flags[1])
    first["touched_exit"] = flags[2]
    outcome(rm.run_engine, **first)
    assert_engine_matches_model(kw)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(kw=scenarios())
def test_default_arguments_equal_explicit_defaults(engine, kw):
    # the 11 arrays alone run exactly the run with every default spelled out
    arrays = {k: kw[k] for k in ARRAY_NAMES}
    defaults = dict(
        fee_ratio=0.001425,
        tax_ratio=0.003,
        stop_loss=1.0,
        take_profit=INF,
        trail_stop=INF,
        trail_stop_activation=0.0,
        touched_exit=False,
        position_limit=1.0,
        retain_cost_when_rebalance=False,
        stop_trading_next_period=True,
        quelmo_window=0,
        quelmo_window_step=1,
        periodically_rebalance=True,
        delisting_bars=None,
    )
    assert_engine_matches_model(dict(arrays, **defaults))
    short, short_exc = outcome(rm.run_engine, **arrays)
    full, full_exc = outcome(rm.run_engine, **arrays, **defaults)
    assert (short_exc is None) == (full_exc is None)
    if short_exc is None:
        np.testing.assert_array_equal(short.portfolio_value, full.portfolio_value)
        assert short.trades == full.trades


# ---------------------------------------------------------------------------
# the model on its own (runs without the engine)
# ---------------------------------------------------------------------------

KNOWN_ERRORS = (
    (ValueError, "Invalid trading price for "),
    (ValueError, "No price column for stock " + ABSENT),
    (ZeroDivisionError, "float division"),
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(kw=scenarios())
def test_model_run_is_consistent(kw):
    res, exc = outcome(rm.run_backtest, **kw)
    if exc is not None:
        # only the failures a run is allowed to have
        assert any(isinstance(exc, t) and str(exc).startswith(p) for t, p in KNOWN_ERRORS), exc
        return
    n = len(kw["price_index"])
    pv = res.portfolio_value
    assert pv.shape == (n,)
    before_first = kw["price_index"] < kw["pos_index"][0]
    assert np.all(pv[before_first] == 1.0)

    assert len(res.trades) == len(res.trade_positions) == len(res.stats)
    window, step = kw["quelmo_window"], kw["quelmo_window_step"]
    length = 6 * ((window - 1) // step) + 12
    open_sids = []
    for (sid, entry, exit_row), stats in zip(res.trades, res.stats, strict=True):
        assert len(stats) == length
        # a trade is entered on a row after a scheduling row
        assert 1 <= entry < n and not before_first[entry]
        assert exit_row == -1 or entry <= exit_row < n
        if exit_row == -1:
            open_sids.append(sid)
        else:
            assert not open_sids, "open trades are recorded after all closed ones"
        # profit rows are counts: group 0 (the entry row) is always written
        # when there is a window, and the exit group always
        if window >= 1:
            assert stats[4] in (0.0, 1.0)
        assert stats[-2] >= 0 and stats[-2] == int(stats[-2])
    assert open_sids == sorted(set(open_sids))

    ops = res.stock_operations
    assert list(ops) == OPS_KEYS
    assert set(ops["actions"].values()) <= ACTIONS
    limit = kw["position_limit"]
    for key in ("weights", "next_weights"):
        values = np.array([float(v) for v in ops[key].values()])
        values = values[~np.isnan(values)]
        assert np.all(np.abs(values) <= limit)
    assert -1 <= ops["weight_time"] <= ops["next_weight_time"] < len(kw["pos_index"])
    rows = res.trade_stock_rows(kw["pos_columns"], kw["price_index"], kw["touched_exit"])
    for row, (sid, entry, exit_row) in zip(rows, res.trades, strict=True):
        assert row[0] == kw["pos_columns"][sid]
        assert row[6] == (exit_row - entry if exit_row != -1 else n - entry)


@st.composite
def buy_and_hold(draw):
    """One long-only position row traded once, no costs and no stops."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = draw(st.integers(2, 30))
    k = draw(st.integers(1, 6))
    price = np.column_stack([_walk(rng, n, 0.05) for _ in range(k)])
    close = price * np.exp(rng.normal(0, 0.01, size=price.shape))
    price[rng.random(price.shape) < 0.1] = np.nan
    close[rng.random(close.shape) < 0.1] = np.nan
    w = rng.uniform(0, 1, size=k)
    w[rng.random(k) < 0.3] = 0.0
    w = w / max(1.0, w.sum())  # a gross weight of at most 1: no scaling
    flagged = draw(st.integers(0, n - 2))  # the trade happens on flagged + 1
    labels = np.array(LABELS[:k], dtype=object)
    index = (np.arange(1, n + 1) * DAY).astype(np.int64)
    kw = dict(
        price_values=price,
        close_values=close,
        high_values=price,
        low_values=price,
        open_values=price,
        price_index=index,
        price_columns=labels,
        pos_values=w.reshape(1, k),
        pos_index=index[:1],
        pos_columns=labels,
        resample=index[flagged : flagged + 1],
        fee_ratio=0.0,
        tax_ratio=0.0,
    )
    return kw, flagged + 1


def _buy_and_hold_value(price, close, w, trade_row):
    # money in a stock grows with the trading price from its first valid price
    # on or after the trade row; the day's value is taken at the close
    n, k = price.shape
    cash = 1.0 - w.sum()
    pv = np.ones(n)
    for i in range(trade_row, n):
        total = cash
        for j in range(k):
            seen = price[trade_row : i + 1, j]
            seen = seen[~np.isnan(seen)]
            v = w[j] * (seen[-1] / seen[0] if len(seen) else 1.0)
            if not np.isnan(price[i, j]) and not np.isnan(close[i, j]):
                v *= close[i, j] / price[i, j]
            total += v
        pv[i] = total
    return pv


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(case=buy_and_hold())
def test_buy_and_hold_closed_form(run, case):
    kw, trade_row = case
    res = run(**kw)
    expected = _buy_and_hold_value(kw["price_values"], kw["close_values"], kw["pos_values"][0], trade_row)
    # the run compounds row ratios, the closed form divides once: rounding only
    np.testing.assert_allclose(res.portfolio_value, expected, rtol=1e-10)
    held = [j for j, x in enumerate(kw["pos_values"][0]) if x != 0]
    assert res.trades == [[j, trade_row, -1] for j in held]
    np.testing.assert_allclose(res.trade_positions, kw["pos_values"][0][held], rtol=1e-15)
