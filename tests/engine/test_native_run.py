"""The interpreter-free result path (`_prepare_native` / `_run_native`) against `backtest_`.

Over the random markets and options of the engine's differential tests, one `_run_native` call must
give bit for bit what `backtest_` and its queries give: the equity, the recorder's trade records,
sizes and statistics (window groups included), the fill ledger, the end-of-run weights and the
actions; and an input `backtest_` refuses must be refused with the same exception type and message.
Threads: runs on four threads at once, each with its own market and options, equal their serial runs.
"""

import os
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from market_fixtures import ARRAY_NAMES
from outcomes import assert_same_outcome, outcome
from test_differential import scenarios

trevane = pytest.importorskip("zelvor.core.trevane")
from zelvor._engine import ACTIONS  # noqa: E402
from zelvor.core import quelmo  # noqa: E402

SANITIZED = bool(os.environ.get("ZELVOR_SANITIZED"))


def bits(a):
    """An array's exact bits, so that -0.0 differs from 0.0 and NaN equals the same NaN."""
    a = np.ascontiguousarray(a)
    return a.view(np.uint8) if a.dtype != object else a


def assert_bits(got, want):
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == want.dtype and got.shape == want.shape
    assert np.array_equal(bits(got), bits(want))


def raw_run(kw):
    """backtest_ and everything its queries report, copied out of module state."""
    equity = trevane.backtest_(**kw)
    trades, fills = trevane.get_transactions()
    return {
        "equity": equity,
        "trades": trades,
        "fills": fills,
        "records": [[int(x) for x in t] for t in quelmo.trades],
        "positions": np.array(quelmo.trade_positions, dtype=np.float64),
        "stats": [s.copy() for s in quelmo.quelmo],
        "operations": trevane.get_stock_operations(),
    }


def native_run(kw, inputs=None):
    if inputs is None:
        inputs = trevane._prepare_native(**{k: kw[k] for k in ARRAY_NAMES}, delisting_bars=kw.get("delisting_bars"))
    options = {k: v for k, v in kw.items() if k not in ARRAY_NAMES and k != "delisting_bars"}
    return trevane._run_native(inputs, **options)


def assert_same_weights(sids, values, want):
    assert sids.tolist() == list(want)
    assert_bits(values, np.array([float(v) for v in want.values()], dtype=np.float64))


def assert_native_matches_raw(native, raw):
    assert_bits(native["equity"], raw["equity"])
    for key, column in raw["trades"].items():
        assert_bits(native["trades"][key], column)
    for key, column in raw["fills"].items():
        assert_bits(native["fills"][key], column)

    recorded = native["recorded"]
    got_records = np.column_stack([recorded["sid"], recorded["entry_row"], recorded["exit_row"]]).tolist()
    assert got_records == raw["records"]
    assert_bits(recorded["position"], raw["positions"])
    stats = native["trades"]["stats"]
    assert stats.shape[0] == len(raw["stats"]) == len(raw["records"])
    if raw["stats"]:
        assert_bits(stats, np.stack(raw["stats"]))

    ops, want = native["operations"], raw["operations"]
    actions = dict(zip(ops["action_sid"].tolist(), (ACTIONS[c] for c in ops["action"]), strict=True))
    assert list(actions.items()) == list(want["actions"].items())
    assert_same_weights(ops["weight_sid"], ops["weight"], want["weights"])
    assert_same_weights(ops["next_weight_sid"], ops["next_weight"], want["next_weights"])
    assert ops["weight_time"] == want["weight_time"]
    assert ops["next_weight_time"] == want["next_weight_time"]


def assert_same(kw):
    assert_same_outcome(
        outcome(raw_run, kw), outcome(native_run, kw), assert_native_matches_raw, names=("backtest_", "native")
    )


@st.composite
def with_bad_windows(draw):
    """Scenarios, some with a window setting the recorder refuses (a zero step, a negative window)."""
    kw = draw(scenarios())
    if draw(st.integers(0, 9)) == 0:
        kw["quelmo_window_step"] = 0
    elif draw(st.integers(0, 9)) == 0:
        kw["quelmo_window"] = draw(st.sampled_from([-1, -7]))
    return kw


@pytest.mark.slow
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(kw=with_bad_windows())
def test_native_equals_backtest(kw):
    assert_same(kw)


@st.composite
def wide_stopped_markets(draw):
    """Many stocks, tight stops and stop_trading_next_period: the rebalances after a stop trade a
    weights row with the stopped stocks zeroed, made during the run, whose gross weight must be the
    sum NumPy would give it, on rows long enough for every branch of NumPy's pairwise summation."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n_stocks = draw(st.sampled_from([7, 9, 16, 130, 300, 1100]))
    n_rows = 30
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.05, (n_rows, n_stocks)), axis=0))
    pos_rows = np.arange(0, n_rows, 5)
    weights = rng.uniform(0, 1, (len(pos_rows), n_stocks)) * 10.0 ** rng.uniform(-6, 0, (len(pos_rows), n_stocks))
    return dict(
        closes_only(close, [f"S{k}" for k in range(n_stocks)], weights, pos_rows),
        stop_loss=draw(st.sampled_from([0.02, 0.05])),
        take_profit=draw(st.sampled_from([0.03, np.inf])),
        stop_trading_next_period=True,
        touched_exit=draw(st.booleans()),
    )


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(kw=wide_stopped_markets())
def test_rows_made_during_the_run_sum_as_numpy_sums_them(kw):
    assert_same(kw)


def test_label_errors_are_raised_after_the_run_with_the_label():
    # A zero trading price for a held stock: backtest_ names the stock by its label, and so must
    # the native run, which can only look the label up once it has the interpreter lock back.
    kw = scenario_with_prices()
    kw["price_values"][3, 1] = 0.0
    raw, raw_exc = outcome(raw_run, kw)
    native, native_exc = outcome(native_run, kw)
    assert isinstance(raw_exc, ValueError) and "Invalid trading price for B at price row 3: 0.0." in str(raw_exc)
    assert type(native_exc) is ValueError and str(native_exc) == str(raw_exc)


def scenario_with_prices(n_rows=8, seed=3):
    rng = np.random.default_rng(seed)
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.03, (n_rows, 3)), axis=0))
    return closes_only(close, ["A", "B", "C"], np.array([[0.3, 0.3, 0.3]]), [0])


def closes_only(close, labels, weights, pos_rows):
    """backtest_'s arrays for a market whose every price is its close (a copy as the trading price,
    which tests may change alone), on days 10, 11, ...; the weights are decided and traded on
    `pos_rows`."""
    dates = (np.arange(len(close), dtype=np.int64) + 10) * 86_400 * 10**9
    labels = np.array(labels, dtype=object)
    return dict(
        price_values=close.copy(),
        close_values=close,
        high_values=close,
        low_values=close,
        open_values=close,
        price_index=dates,
        price_columns=labels,
        pos_values=weights,
        pos_index=dates[pos_rows],
        pos_columns=labels.copy(),
        resample=dates[pos_rows],
    )


def test_inputs_are_checked_once_and_refused_like_backtest():
    kw = scenario_with_prices()
    kw["price_index"] = list(kw["price_index"])
    raw_exc = outcome(raw_run, kw)[1]
    native_exc = outcome(native_run, kw)[1]
    assert type(native_exc) is type(raw_exc) is TypeError and str(native_exc) == str(raw_exc)
    with pytest.raises(ValueError, match=r"pos_values has shape \(1, 2\)"):
        trevane._prepare_native(**{**scenario_with_prices(), "pos_values": np.zeros((1, 2))})


def test_runs_share_nothing():
    # Two results of one prepared input are independent objects; a later run changes no earlier one.
    kw = scenario_with_prices()
    inputs = trevane._prepare_native(**{k: kw[k] for k in ARRAY_NAMES})
    first = trevane._run_native(inputs, stop_loss=0.01)
    kept = first["equity"].copy()
    second = trevane._run_native(inputs, fee_ratio=0.0)
    assert first["equity"] is not second["equity"]
    assert_bits(first["equity"], kept)
    assert not np.array_equal(first["equity"], second["equity"])


# ---- threads ------------------------------------------------------------------------------------

THREAD_ROUNDS = 4 if SANITIZED else 20


def thread_cases():
    """Four markets with their own options; each rebalances on every row, stops often."""
    cases = []
    for k, options in enumerate(
        [
            {"stop_loss": 0.03, "quelmo_window": 4, "quelmo_window_step": 2},
            {"take_profit": 0.02, "touched_exit": True},
            {"trail_stop": 0.02, "retain_cost_when_rebalance": True, "stop_trading_next_period": False},
            {"periodically_rebalance": False, "position_limit": 0.2, "quelmo_window": 3},
        ]
    ):
        rng = np.random.default_rng(100 + k)
        n_rows, n_stocks = 120 + 10 * k, 12 + k
        close = 10 * np.exp(np.cumsum(rng.normal(0, 0.03, (n_rows, n_stocks)), axis=0))
        price = close * np.exp(rng.normal(0, 0.01, close.shape))
        dates = (np.arange(n_rows, dtype=np.int64) + 10) * 86_400 * 10**9
        labels = np.array([f"S{j}" for j in range(n_stocks)], dtype=object)
        arrays = dict(
            price_values=price,
            close_values=close,
            high_values=np.maximum(price, close) * 1.01,
            low_values=np.minimum(price, close) * 0.99,
            open_values=price,
            price_index=dates,
            price_columns=labels,
            pos_values=rng.uniform(-0.2, 0.6, (n_rows, n_stocks)),
            pos_index=dates,
            pos_columns=labels.copy(),
            resample=dates,
        )
        cases.append((arrays, options))
    return cases


def test_threads_run_at_once_and_each_equals_its_serial_run():
    cases = thread_cases()
    prepared = [trevane._prepare_native(**arrays) for arrays, _ in cases]
    serial = [trevane._run_native(inputs, **options) for inputs, (_, options) in zip(prepared, cases, strict=True)]
    for (arrays, options), result in zip(cases, serial, strict=True):
        assert_native_matches_raw(result, raw_run({**arrays, **options}))

    failures = []
    start = threading.Barrier(len(cases))

    def work(k):
        try:
            start.wait()
            for _ in range(THREAD_ROUNDS):
                got = trevane._run_native(prepared[k], **cases[k][1])
                assert_bits(got["equity"], serial[k]["equity"])
                assert_bits(got["trades"]["stats"], serial[k]["trades"]["stats"])
                for key, column in serial[k]["trades"].items():
                    assert_bits(got["trades"][key], column)
                for key, column in serial[k]["fills"].items():
                    assert_bits(got["fills"][key], column)
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append((k, exc))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(cases))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures


# ---- the layer on the native path ---------------------------------------------------------------


def test_layer_runs_leave_the_raw_modules_state_alone():
    import pandas as pd

    import zelvor

    kw = scenario_with_prices()
    before = raw_run({**kw, "stop_loss": 0.01})
    index = pd.DatetimeIndex(kw["price_index"])
    market = zelvor.Market(close=pd.DataFrame(kw["close_values"][:, :2] * 3, index=index, columns=["X", "Y"]))
    report = zelvor.backtest(pd.DataFrame({"X": [0.5], "Y": [-0.5]}, index=index[:1]), market, stop_loss=0.05)
    assert len(report.trades) > 0
    # The recorder's lists and the operations record are still those of the raw run.
    assert [[int(x) for x in t] for t in quelmo.trades] == before["records"]
    assert trevane.get_stock_operations() == before["operations"]
    assert_bits(trevane.get_transactions()[0]["pnl"], before["trades"]["pnl"])


def test_report_is_made_by_the_layer_only():
    import inspect

    import zelvor

    assert "raw" not in inspect.signature(zelvor.Report).parameters
    with pytest.raises(TypeError, match="made by zelvor.backtest"):
        zelvor.Report(None)
