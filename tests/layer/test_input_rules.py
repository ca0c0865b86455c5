"""What `zelvor.backtest` and `zelvor.prepare` accept: the price rule, time zones, owned weights,
malformed arguments, and the warnings for legal values that are almost surely slips."""

import datetime as dt
import gzip
import re
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from layer_fixtures import random_market, random_weights

import zelvor
from zelvor import _engine
from zelvor._validate import RunWarning, UnitWarning

DATES = pd.bdate_range("2021-01-04", periods=6)


def frames(**cells):
    """Open, high, low and close of stocks A and B (A rising 10, 11, ..., B flat 20), with
    `cells` = {"open": (row, value), ...} replaced in A."""
    a = np.arange(10.0, 16.0)
    base = {
        "open": np.c_[a - 0.2, np.full(6, 20.0)],
        "high": np.c_[a + 0.5, np.full(6, 20.5)],
        "low": np.c_[a - 0.5, np.full(6, 19.5)],
        "close": np.c_[a, np.full(6, 20.0)],
    }
    for name, (row, value) in cells.items():
        base[name][row, 0] = value
    return {k: pd.DataFrame(v, index=DATES, columns=["A", "B"]) for k, v in base.items()}


def market_with(**cells):
    return zelvor.Market(**frames(**cells))


HOLD_A = pd.DataFrame({"A": [0.5], "B": [0.0]}, index=DATES[:1])


@pytest.fixture
def no_engine(monkeypatch):
    """Fails a test whose inputs reach the engine."""

    def refuse(*args, **kwargs):
        raise AssertionError("the engine ran")

    monkeypatch.setattr(_engine, "run", refuse)


# Recipes of wrong numbers: each price was accepted and gave a wrong or non-finite run.
BAD_PRICES = [
    ({"open": (3, 0.0)}, {"touched_exit": True, "stop_loss": 0.05}, "touched_exit: the open price", "0.0"),
    ({"low": (3, 0.0)}, {"touched_exit": True, "stop_loss": 0.05}, "touched_exit: the low price", "0.0"),
    ({"open": (3, np.inf)}, {"touched_exit": True}, "touched_exit: the open price", "inf"),
    ({"open": (3, 1e308)}, {"touched_exit": True}, "touched_exit: the open price", "1e+308"),
    ({"high": (3, -1.0)}, {"touched_exit": True}, "touched_exit: the high price", "-1.0"),
    ({"close": (3, 1e-310)}, {}, "market: the close price", "1e-310"),
    ({"close": (3, 0.0)}, {"trade_at": "open"}, "market: the close price", "0.0"),
    ({"open": (3, 0.0)}, {"trade_at": "open"}, "trade_at: the open price", "0.0"),
    ({"close": (3, 2e15)}, {}, "market: the close price", "2000000000000000.0"),
]


@pytest.mark.parametrize(("cells", "options", "field", "value"), BAD_PRICES)
def test_bad_prices_of_held_stocks_are_refused_before_the_engine(cells, options, field, value, monkeypatch, no_engine):
    market = market_with(**cells)
    with pytest.raises(
        ValueError, match=rf"{field} of A on 2021-01-07 is {re.escape(value)}, not a usable price"
    ) as info:
        zelvor.backtest(HOLD_A, market, **options)
    assert "set it to NaN to mark the price missing" in str(info.value)
    # Market.check() flags the same cell.
    problems = market.check()
    name = field.split(" ")[-2]
    assert ((problems.stock == "A") & (problems.field == name) & (problems.date == DATES[3])).any()
    # The same price marked missing runs, and a stock the weights never hold is not checked.
    monkeypatch.undo()
    report = zelvor.backtest(HOLD_A, market_with(**{name: (3, np.nan)}), **options)
    assert np.isfinite(report.equity.to_numpy()).all()
    only_b = pd.DataFrame({"A": [0.0], "B": [0.5]}, index=DATES[:1])
    assert np.isfinite(zelvor.backtest(only_b, market, **options).equity.to_numpy()).all()


def test_touched_fields_are_checked_only_for_touched_exits_and_once_per_prepared(monkeypatch):
    prepared = zelvor.prepare(HOLD_A, market_with(open=(3, 0.0)))
    prepared.run()  # the open is not read without touched exits
    with pytest.raises(ValueError, match="touched_exit: the open price of A"):
        prepared.run(touched_exit=True)
    # The check scans a whole price matrix, counted here: prepare scans the close (one scan), a run
    # without touched exits nothing more, the first touched run the open, high and low (three
    # more), and no later run, nor another prepared backtest on the same market, scans again.
    real, calls = zelvor.market.first_bad_rows, []
    monkeypatch.setattr(zelvor.market, "first_bad_rows", lambda values: calls.append(1) or real(values))
    market = market_with()
    good = zelvor.prepare(HOLD_A, market)
    good.run()
    assert len(calls) == 1
    good.run(touched_exit=True)
    assert len(calls) == 4
    good.run(touched_exit=True)
    good.run(touched_exit=True, stop_loss=0.1)
    zelvor.prepare(HOLD_A, market).run(touched_exit=True)
    assert len(calls) == 4  # the check is not repeated


@settings(max_examples=60, deadline=None)
@given(
    price=st.one_of(
        st.floats(allow_nan=False),
        st.floats(1e-12, 1e15),
        st.sampled_from([1e-12, 1e15, 5e-324, 2.2e-308, 1e-13, 1.0000001e15, -0.0]),
    )
)
def test_one_rule_for_the_loader_the_market_check_and_backtest(price, tmp_path_factory):
    """Any float as a held stock's low: backtest (touched exits) refuses it exactly when
    Market.check() and read_csv do; an admitted one gives a finite equity curve."""
    market = market_with(low=(2, price))
    flagged = ((market.check().field == "low") & (market.check().stock == "A")).any()
    path = tmp_path_factory.mktemp("csv") / "p.csv.gz"
    rows = "".join(f"{d.date()},10,11,{price!r},10.5,A\n" for d in DATES[:2])
    path.write_bytes(gzip.compress(("date,open,high,low,close,Name\n" + rows).encode()))
    try:
        zelvor.read_csv(path, warn=False)
        loader_refused = False
    except zelvor.DataError:
        loader_refused = True
    try:
        report = zelvor.backtest(HOLD_A, market, touched_exit=True, fee_ratio=0.0, tax_ratio=0.0)
    except ValueError:
        refused = True
    else:
        refused = False
        assert np.isfinite(report.equity.to_numpy()).all()
    assert refused == flagged == loader_refused == (not 1e-12 <= price <= 1e15)


def test_a_bad_trade_at_frame_or_benchmark_price_is_refused(no_engine):
    market = market_with()
    prices = market.close.copy()
    prices.iloc[2, 0] = -3.0
    with pytest.raises(ValueError, match=r"trade_at: the trading price of A on 2021-01-06 is -3.0"):
        zelvor.backtest(HOLD_A, market, trade_at=prices)
    bench = pd.Series([100.0, 0.0, 101.0], index=DATES[:3])
    with pytest.raises(ValueError, match=r"benchmark: the price on 2021-01-05 is 0.0, not a usable price"):
        zelvor.backtest(HOLD_A, market, benchmark=bench)
    with pytest.raises(ValueError, match=r"benchmark: the close price of B on 2021-01-07 is 0.0"):
        zelvor.backtest(HOLD_A, zelvor.Market(frames()["close"].assign(B=[20.0, 20, 20, 0, 20, 20])), benchmark="B")


# ---- time zones


def test_inputs_in_another_time_zone_are_refused_naming_both_zones():
    market = random_market(30, 3, seed=1, gaps=0.0, tz="America/New_York")
    weights = random_weights(market, 3, seed=2, shorts=False) / 4
    utc = weights.tz_convert("UTC")
    cases = {
        "weights": (utc, {}),
        "benchmark": (weights, {"benchmark": market.close["S0"].tz_convert("America/Los_Angeles")}),
        "trade_at": (weights, {"trade_at": market.open.tz_convert("UTC")}),
        "resample": (weights, {"resample": market.dates[::5].tz_convert("Europe/London")}),
        "delisting": (weights, {"delisting": pd.Series({"S1": market.dates[20].tz_convert("UTC")})}),
    }
    for name, (w, options) in cases.items():
        with pytest.raises(ValueError, match=rf"^{name}: dates in time zone \S+, the market's in America/New_York"):
            zelvor.backtest(w, market, **options)
    # The same zone spelled another way is the same zone.
    market_utc = random_market(30, 3, seed=1, gaps=0.0, tz=dt.UTC)
    zelvor.backtest(random_weights(market_utc, 3, seed=2).tz_convert("UTC") / 4, market_utc)


# ---- prepare owns its inputs


def test_changing_the_callers_frames_after_prepare_changes_nothing():
    market = random_market(30, 3, seed=1, gaps=0.0)
    weights = random_weights(market, 3, seed=2, shorts=False) / 4
    prices = market.open.copy()
    prepared = zelvor.prepare(weights, market, trade_at=prices)
    before = prepared.run().equity
    weights.iloc[:, :] = np.inf  # backtest would refuse these
    prices.iloc[:, :] = 0.0
    assert prepared.run().equity.equals(before)


# ---- malformed arguments

W = random_weights(random_market(30, 3, seed=1, gaps=0.0), 3, seed=2, shorts=False) / 4
M = random_market(30, 3, seed=1, gaps=0.0)
# Second-resolution dates 300 years on (numpy arithmetic: pandas 2.2 keeps Timedelta in nanoseconds).
LATE = W.set_axis(pd.DatetimeIndex(W.index.to_numpy().astype("datetime64[s]") + np.timedelta64(365 * 300, "D")))
BAD_ARGUMENTS = [
    ({"resample": b"ME"}, TypeError, r"resample: expected a str alias"),
    ({"resample": [20, 40]}, TypeError, r"resample: expected dates, got the number 20"),
    ({"resample": np.array([20, 40])}, TypeError, r"resample: expected dates, got numbers"),
    ({"resample": "0D"}, ValueError, r"resample: the period must be positive, got '0D'"),
    ({"resample": "-1W"}, ValueError, r"resample: the period must be positive"),
    ({"trade_at": M.close > 20}, TypeError, r"trade_at: prices must be real numbers, got True/False"),
    ({"trade_at": M.close.astype(complex)}, TypeError, r"trade_at: prices must be real numbers, got complex"),
    ({"benchmark": M.close["S0"] > 20}, TypeError, r"benchmark: prices must be real numbers, got True/False"),
    ({"benchmark": True}, TypeError, r"benchmark must be None, a price Series or a stock"),
    ({"fee_ratio": 10**400}, ValueError, r"fee_ratio must be a real number >= 0 and < 1, got 1000"),
    ({"window": 10**5000}, ValueError, r"window must be an integer .* got <int too large to show>"),
    ({"delisting": pd.Series(["2021-01-20", "2021-01-25"], index=["S0", "S0"])}, ValueError, r"named more than once"),
    ({"delisting": pd.Series({"S0": 20})}, TypeError, r"delisting: the Series' values must be dates, got numbers"),
    ({"weights": W.astype(complex)}, TypeError, r"weights: column\(s\) S0, S1, S2 hold complex numbers"),
    ({"weights": LATE}, ValueError, r"weights: dates from 2320-.* 2262-04-11"),
]


@pytest.mark.parametrize(("options", "error", "message"), BAD_ARGUMENTS)
def test_malformed_arguments_are_refused_by_name(options, error, message):
    options = dict(options)
    weights = options.pop("weights", W)
    with pytest.raises(error, match=message):
        zelvor.backtest(weights, M, **options)


def test_bool_options_take_bools_and_zero_or_one_only():
    base = zelvor.backtest(W, M, touched_exit=True, stop_loss=0.02).equity
    for value in (1, np.int64(1), np.True_):
        assert zelvor.backtest(W, M, touched_exit=value, stop_loss=0.02).equity.equals(base)
    for value in (1 + 0j, 1.0, np.float64(0.0)):
        with pytest.raises(TypeError, match=rf"touched_exit must be True or False, got {re.escape(repr(value))}"):
            zelvor.backtest(W, M, touched_exit=value)


# ---- legal values that are almost surely slips

SHORTS = -W
MIXED = W.assign(S2=-W["S2"])


def caught(call):
    with warnings.catch_warnings(record=True) as found:
        warnings.simplefilter("always")
        call()
    return [w for w in found if issubclass(w.category, UnitWarning | RunWarning)]


@pytest.mark.parametrize(
    ("weights", "options", "message"),
    [
        (W, {"stop_loss": 8}, r"stop_loss=8 means 800 % .*long holding can never reach.*0.08 = 8 %.*0.08 was"),
        (W, {"stop_loss": 1.0}, r"stop_loss=1.0 means 100 %"),
        (SHORTS, {"take_profit": 2}, r"take_profit=2 means 200 % .*short holding can never reach"),
        (SHORTS, {"trail_stop": 0.05, "trail_stop_activation": 1.5}, r"trail_stop_activation=1.5 means 150 %"),
    ],
)
def test_levels_that_can_never_act_on_the_weights_are_refused(weights, options, message, no_engine):
    with pytest.raises(ValueError, match=message):
        zelvor.backtest(weights, M, **options)


@pytest.mark.parametrize(
    ("weights", "options", "message"),
    [
        (MIXED, {"stop_loss": 8}, r"stop_loss=8 means 800 % .*never act on the long holdings.*0.08 was probably"),
        (SHORTS, {"stop_loss": 2}, r"stop_loss=2 means 200 %"),
        (W, {"take_profit": 50}, r"take_profit=50 means 5,000 % .*0.5 was probably meant"),
        (W, {"trail_stop": 3}, r"trail_stop=3 means 300 % .*0.03 was probably meant"),
        (W, {"trail_stop": 0.1, "trail_stop_activation": 12}, r"trail_stop_activation=12 means 1,200 %"),
        (W, {"fee_ratio": 0.1425}, r"fee_ratio=0.1425 means 14.25 % \(the fee on every traded amount\).*0.001425"),
        (W, {"tax_ratio": 0.3}, r"tax_ratio=0.3 means 30 % \(the tax on every sale\)"),
    ],
)
def test_unit_slips_warn_once_per_prepared(weights, options, message):
    prepared = zelvor.prepare(weights, M)
    found = caught(lambda: [prepared.stats_dict(**options) for _ in range(3)])
    assert len(found) == 1 and found[0].category is UnitWarning
    assert re.search(message, str(found[0].message)), str(found[0].message)
    assert found[0].filename == __file__  # attributed to the caller, not to the package


def test_slip_checks_ignore_values_that_are_off_or_plausible():
    # activation without a trailing stop does nothing; 0.5 take-profit and 1 % fees are plausible
    options = {"trail_stop_activation": 50, "take_profit": 0.5, "fee_ratio": 0.01, "stop_loss": 0.99}
    assert caught(lambda: zelvor.backtest(W, M, **options)) == []
    assert len(caught(lambda: zelvor.backtest(W, M, **{**options, "trail_stop": 0.1}))) == 1  # now it acts


def test_gross_exposure_above_one_warns_once_with_the_count_and_the_largest():
    # rows: gross 0.75, 1.5 (scaled), 1.0 exactly (bool-like thirds: not scaled), 3.0 (scaled)
    weights = pd.DataFrame(
        [[0.25, 0.25, 0.25], [0.5, 0.5, 0.5], [1 / 3, 1 / 3, 1 / 3], [1.0, -1.0, 1.0]],
        index=M.dates[[0, 5, 10, 15]],
        columns=M.stocks,
    )
    found = caught(lambda: zelvor.backtest(weights, M))
    assert [str(w.message)[:100] for w in found] == [
        "weights: the gross exposure (sum of absolute weights) exceeds 1 on 2 of 4 dates (largest 3); the eng"
    ]
    assert "does not lever" in str(found[0].message)
    assert caught(lambda: zelvor.backtest(M.close.notna() & (M.close > 0), M)) == []  # bool: gross 1


@pytest.mark.parametrize(
    ("weights", "why"),
    [
        (W * 0.0, "every weight is zero, NaN or False"),
        (W * np.nan, "every weight is zero, NaN or False"),
        (W > 5, "every weight is zero, NaN or False"),
        (W.set_axis(W.index + pd.Timedelta(days=400)), "first non-zero weights are dated 2022-02-"),
        (W.iloc[-1:].set_axis(M.dates[-1:]), "on or after the market's last date 2021-02-12"),
    ],
)
def test_a_run_that_never_holds_anything_says_why(weights, why):
    found = caught(lambda: zelvor.backtest(weights, M))
    assert len(found) == 1 and "the run never holds anything" in str(found[0].message)
    assert why in str(found[0].message)


def test_touched_exits_on_closes_alone_warn():
    close_only = zelvor.Market(M.close)
    found = caught(lambda: zelvor.backtest(W, close_only, touched_exit=True, stop_loss=0.05))
    assert len(found) == 1 and "no highs and lows" in str(found[0].message)
    assert caught(lambda: zelvor.backtest(W, M, touched_exit=True, stop_loss=0.05)) == []
    assert caught(lambda: zelvor.backtest(W, close_only, stop_loss=0.05)) == []


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: zelvor.backtest(W, M, stoploss=0.1), r"backtest\(\) got an unexpected keyword .*'stop_loss'\?"),
        (lambda: zelvor.backtest(W, M, TakeProfit=0.1), r"did you mean 'take_profit'\?"),
        (lambda: zelvor.prepare(W, M, resampel="ME"), r"prepare\(\) got .*'resampel' \(did you mean 'resample'\?"),
        (lambda: zelvor.prepare(W, M, stop_loss=0.1), r"'stop_loss' \(an option of Prepared.run"),
        (
            lambda: zelvor.prepare(W, M).run(trailstop=0.1),
            r"unknown option\(s\): trailstop \(did you mean 'trail_stop'",
        ),
        (lambda: zelvor.prepare(W, M).stats(riskfree=0.02), r"riskfree \(did you mean 'risk_free'\?\)"),
        (lambda: zelvor.backtest(W, M, zzz=1), r"unexpected keyword argument 'zzz'$"),
    ],
)
def test_unknown_keywords_suggest_the_closest_option(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_the_sweeps_unknown_keys_get_the_same_suggestions():
    def weights_of(market, lookback=20):
        return W

    with pytest.raises(ValueError, match=r"'stoploss' \(did you mean 'stop_loss'\?\) not an option"):
        zelvor.sweep(W, M, {"stoploss": [0.1]}, backend="serial", progress=False)
    with pytest.raises(ValueError, match=r"'lookbak' \(did you mean 'lookback'\?\) is neither an option"):
        zelvor.sweep(weights_of, M, {"lookbak": [10]}, backend="serial", progress=False)


@settings(max_examples=80, deadline=None)
@given(
    n_rows=st.integers(2, 25),
    picks=st.lists(st.tuples(st.integers(-5, 40), st.booleans()), min_size=1, max_size=5, unique_by=lambda t: t[0]),
    resample=st.one_of(st.none(), st.sampled_from(["W", "ME"]), st.lists(st.integers(-10, 45), min_size=1, max_size=4)),
)
def test_the_never_holds_warning_fires_exactly_when_the_run_holds_nothing(n_rows, picks, resample):
    """Weights on days (some before or after the market, some all zero) and any schedule: the
    warning fires if and only if the run has no trade at all."""
    market = random_market(n_rows, 2, seed=n_rows, gaps=0.0)
    start = market.dates[0]
    picks = sorted(picks)
    weights = pd.DataFrame(
        [[0.4, 0.3] if on else [0.0, 0.0] for _, on in picks],
        index=pd.DatetimeIndex([start + pd.Timedelta(days=d) for d, _ in picks]),
        columns=market.stocks,
    )
    if isinstance(resample, list):
        resample = [start + pd.Timedelta(days=d) for d in resample]
    found = caught(lambda: zelvor.backtest(weights, market, resample=resample))
    report = zelvor.backtest(weights, market, resample=resample)
    never = [w for w in found if "never holds anything" in str(w.message)]
    assert len(never) == (len(report.trades) == 0)
