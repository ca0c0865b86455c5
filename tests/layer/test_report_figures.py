"""The report's further figures: trade and tail figures, drawdown periods, rolling figures, the
benchmark beside the strategy and the JSON round trip.

Small cases are worked out by hand in the comments. The peers' own values were obtained once
with empyrical-reloaded 0.7.1 and quantstats 0.0.86 (``pip install empyrical-reloaded
quantstats``) on the series `DET`, and are recorded below; when those libraries are installed,
`test_equal_to_the_peers` checks more series against them directly.
"""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from layer_fixtures import random_market, random_weights

import zelvor
from zelvor import _figures as F
from zelvor._dates import as_ns
from zelvor._engine import RawRun
from zelvor.report import Report, report_of_run


def equity_of(returns):
    return np.concatenate(([1.0], np.cumprod(1.0 + np.asarray(returns))))


def ns_days(n, start="2020-01-01"):
    return as_ns(pd.date_range(start, periods=n, freq="D"))


def test_trade_figures_by_hand():
    ret = np.array([0.05, -0.02, 0.08, 0.0, -0.04, 0.03])
    pnl = ret / 2  # half the portfolio in each trade
    f = F.trade_figures(pnl, ret)
    assert (f["best_trade"], f["worst_trade"]) == (0.08, -0.04)
    assert f["expectancy"] == pytest.approx(0.10 / 6)
    # sqrt(6) x mean / sample sd of the pnl; the scale cancels, so it is the returns' own ratio.
    assert f["sqn"] == pytest.approx(math.sqrt(6) * ret.mean() / ret.std(ddof=1))
    # Break-even left out: W = 3 / 5; R = (0.16 / 3) / (0.06 / 2); W - (1 - W) / R = 0.6 - 0.225.
    assert f["kelly"] == pytest.approx(0.375)
    none = F.trade_figures(np.empty(0), np.empty(0))
    assert all(math.isnan(v) for v in none.values())
    winners_only = F.trade_figures(np.array([0.1, 0.2]), np.array([0.1, 0.2]))
    assert math.isnan(winners_only["kelly"]) and winners_only["sqn"] == pytest.approx(
        math.sqrt(2) * 0.15 / 0.0707107, rel=1e-5
    )


def test_tail_figures_by_hand():
    f = F.return_figures(equity_of([0.1, -0.1, 0.05, -0.05, 0.2]), ns_days(6))
    # Sorted -0.1, -0.05, 0.05, 0.1, 0.2: the 5th percentile sits 0.2 of the way from -0.1 to
    # -0.05, the 95th 0.8 of the way from 0.1 to 0.2; int(4 x 0.05) = 0, so CVaR is the lowest.
    assert f["var_95"] == pytest.approx(-0.09)
    assert f["cvar_95"] == pytest.approx(-0.1)
    assert f["tail_ratio"] == pytest.approx(0.18 / 0.09)
    assert f["omega"] == pytest.approx(0.35 / 0.15)
    # A straight line in log equity has R squared 1; a flat one has none.
    assert F.return_figures(equity_of([0.01] * 10), ns_days(11))["stability"] == pytest.approx(1.0)
    flat = F.return_figures(np.ones(30), ns_days(30))
    assert flat["max_drawdown"] == 0.0 and flat["avg_drawdown"] == 0.0
    assert all(math.isnan(flat[k]) for k in ("skew", "kurtosis", "omega", "stability", "sharpe", "tail_ratio"))


# A deterministic series and what the peers said of it (see the module's docstring).
DET = np.array([0.01 * math.sin(i * 1.3) + 0.004 * math.cos(i * 0.7) - 0.001 for i in range(40)])
PEERS_ON_DET = {
    "skew": -0.14465798509404298,  # quantstats skew
    "kurtosis": -1.1174213650050155,  # quantstats kurtosis
    "var_95": -0.013627370450675764,  # empyrical value_at_risk
    "cvar_95": -0.014381804021399406,  # empyrical conditional_value_at_risk
    "omega": 0.7856081549026754,  # empyrical omega_ratio
    "tail_ratio": 0.7038703395666881,  # empyrical tail_ratio
    "stability": 0.741789657638081,  # empyrical stability_of_timeseries
    "sharpe": -1.626316819091415,  # empyrical sharpe_ratio
    "sortino": -2.090043217531485,  # empyrical sortino_ratio
    "annual_volatility": 0.12347465130158133,  # empyrical annual_volatility
    "max_drawdown": -0.05749296004079601,  # empyrical max_drawdown
    "avg_drawdown": -0.057492960040795967,  # quantstats drawdown_details, mean max drawdown / 100
}


def test_recorded_peer_values():
    f = F.return_figures(equity_of(DET), ns_days(41))
    for key, want in PEERS_ON_DET.items():
        assert f[key] == pytest.approx(want, abs=1e-9, rel=0), key


def _peer_series():
    rng = np.random.default_rng(3)
    losing = np.concatenate([rng.normal(0.001, 0.01, 100), -np.abs(rng.normal(0.003, 0.004, 120)),
                             rng.normal(0.001, 0.01, 80)])  # fmt: skip
    return {
        "random": rng.normal(0.0004, 0.012, 700),
        "long losing streak": losing,
        "30 days": rng.normal(0.0, 0.02, 30),
        "deterministic": DET,
    }


@pytest.mark.parametrize("name", list(_peer_series()))
def test_equal_to_the_peers(name):
    ep = pytest.importorskip("empyrical")
    qs = pytest.importorskip("quantstats")
    warnings.simplefilter("ignore")
    r = _peer_series()[name]
    dates = pd.bdate_range("2019-12-31", periods=len(r) + 1)
    rs = pd.Series(r, index=dates[1:])
    f = F.return_figures(equity_of(r), as_ns(dates))
    peer = {"skew": qs.stats.skew(rs), "kurtosis": qs.stats.kurtosis(rs), "var_95": ep.value_at_risk(rs),
            "cvar_95": ep.conditional_value_at_risk(rs), "omega": ep.omega_ratio(rs), "tail_ratio": ep.tail_ratio(rs),
            "stability": ep.stability_of_timeseries(rs), "sharpe": ep.sharpe_ratio(rs),
            "sortino": ep.sortino_ratio(rs), "max_drawdown": ep.max_drawdown(rs)}  # fmt: skip
    for key, want in peer.items():
        assert f[key] == pytest.approx(want, abs=1e-9, rel=0), key
    equity = pd.Series(equity_of(r), index=dates)
    details = qs.stats.drawdown_details(equity / equity.cummax() - 1)
    p = F.drawdown_periods(equity.to_numpy(), as_ns(dates))
    for ours, theirs in (("start", "start"), ("valley", "valley"), ("end", "end")):
        assert list(dates[p[ours]].strftime("%Y-%m-%d")) == list(details[theirs]), ours
    assert list(p["days"]) == list(details["days"])
    np.testing.assert_allclose(p["depth"] * 100, details["max drawdown"], rtol=0, atol=1e-9)
    assert f["avg_drawdown"] == pytest.approx(details["max drawdown"].mean() / 100, abs=1e-9, rel=0)
    bench = r[::-1].copy()
    rolled = F.rolling_figures(r, 20, bench)
    b = pd.Series(bench, index=rs.index)
    expected = {"sharpe": qs.stats.rolling_sharpe(rs, rolling_period=20),
                "volatility": qs.stats.rolling_volatility(rs, rolling_period=20),
                "beta": rs.rolling(20).cov(b) / b.rolling(20).var(),
                "return": (1 + rs).rolling(20).apply(np.prod, raw=True) - 1}  # fmt: skip
    for key, want in expected.items():
        np.testing.assert_allclose(rolled[key], want.to_numpy(), rtol=0, atol=1e-9, err_msg=key)
    trades = pd.Series(r[:50])
    assert F.trade_figures(r[:50], r[:50])["kelly"] == pytest.approx(qs.stats.kelly_criterion(trades), abs=1e-9)


def test_drawdown_periods_by_hand():
    # Highs 1.2 (row 1) and 1.3 (row 4): under water on rows 2-3 (low 0.9 on row 2, back at 1.2
    # on row 4) and on rows 5-6 (low 1.17 on row 5, never back).
    equity = np.array([1.0, 1.2, 0.9, 1.0, 1.3, 1.17, 1.25])
    p = F.drawdown_periods(equity, ns_days(7))
    assert list(p["start"]) == [2, 5] and list(p["valley"]) == [2, 5] and list(p["end"]) == [3, 6]
    assert list(p["recovery"]) == [4, -1] and list(p["rows"]) == [2, 2] and list(p["days"]) == [2, 2]
    np.testing.assert_allclose(p["depth"], [0.9 / 1.2 - 1, 1.17 / 1.3 - 1])


def make_report(equity, benchmark=None, dates=None):
    n = len(equity)
    dates = dates if dates is not None else pd.date_range("2020-01-01", periods=n, freq="D")
    empty_i, empty_f = np.empty(0, dtype=np.int64), np.empty(0)
    trades = {
        "sid": empty_i,
        "entry_row": empty_i,
        "exit_row": empty_i,
        "position": empty_f,
        "entry_price": empty_f,
        "exit_price": empty_f,
        "basis": empty_f,
        "pnl": empty_f,
        "reason": np.empty(0, dtype=np.uint8),
    }
    fills = {
        "row": empty_i,
        "sid": empty_i,
        "reason": np.empty(0, dtype=np.uint8),
        "value_before": empty_f,
        "value_after": empty_f,
        "balance": empty_f,
        "price": empty_f,
        "fee": empty_f,
        "tax": empty_f,
    }
    raw = RawRun(equity=np.asarray(equity, dtype=float), trades=trades, fills=fills, stats=[], operations={})
    return report_of_run(raw, dates=dates, stocks=pd.Index(["A"]), signal_dates=dates, start_row=0,
                            touched_exit=False, window=0, window_step=1, benchmark=benchmark, benchmark_name="bench",
                            options={})  # fmt: skip


def test_report_drawdowns_deepest_first():
    equity = np.array([1.0, 1.2, 0.9, 1.0, 1.3, 1.17, 1.25])
    table = make_report(equity).drawdowns()
    assert list(table.columns) == ["start", "valley", "recovery", "depth", "rows", "days"]
    assert list(table["depth"]) == pytest.approx([-0.25, -0.1])
    assert table["recovery"].iloc[0] == pd.Timestamp("2020-01-05") and table["recovery"].isna().iloc[1]
    assert len(make_report(equity).drawdowns(top=1)) == 1
    with pytest.raises(ValueError, match="top"):
        make_report(equity).drawdowns(top=0)
    with pytest.raises(TypeError, match="top"):
        make_report(equity).drawdowns(top=1.5)


def test_benchmark_column_follows_the_strategy_conventions():
    # A benchmark equal to the strategy's own equity must give the strategy's figures: the
    # benchmark column is computed apart from the sweep's figures, so this pins their agreement.
    rng = np.random.default_rng(5)
    equity = equity_of(rng.normal(0.0005, 0.01, 299))
    frame = make_report(equity, benchmark=equity * 3.0).stats(risk_free=0.01, compare=True)
    shared = ["total_return", "cagr", "annual_volatility", "sharpe", "sortino", "max_drawdown", "calmar",
              "max_drawdown_duration", *F.RETURN_KEYS]  # fmt: skip
    for key in shared:
        assert frame.loc[key, "benchmark"] == pytest.approx(frame.loc[key, "strategy"], rel=1e-12), key
    assert math.isnan(frame.loc["trades", "benchmark"]) and frame.attrs["benchmark_name"] == "bench"
    with pytest.raises(ValueError, match="benchmark"):
        make_report(equity).stats(compare=True)


def test_rolling_by_hand_and_its_window_checks():
    # Returns +10 %, -10 %, +10 %: windows of two give 1.1 x 0.9 - 1 = -0.01 and 0.9 x 1.1 - 1.
    equity = np.array([1.0, 1.1, 0.99, 1.089])
    bench = np.array([1.0, 1.05, 0.9975, 1.047375])  # +5 %, -5 %, +5 %: half the moves, beta 2
    table = make_report(equity, benchmark=bench).rolling(2)
    assert list(table.columns) == ["return", "volatility", "sharpe", "beta"]
    assert math.isnan(table["return"].iloc[0])
    assert list(table["return"].iloc[1:]) == pytest.approx([-0.01, -0.01])
    # Mean 0 over each window: Sharpe 0; sd of (0.1, -0.1) is sqrt(0.02).
    assert list(table["sharpe"].iloc[1:]) == pytest.approx([0.0, 0.0], abs=1e-12)
    assert list(table["volatility"].iloc[1:]) == pytest.approx([math.sqrt(0.02 * 252)] * 2)
    assert list(table["beta"].iloc[1:]) == pytest.approx([2.0, 2.0])
    with pytest.raises(ValueError, match="window"):
        make_report(equity).rolling(1)
    with pytest.raises(TypeError, match="window"):
        make_report(equity).rolling(2.5)
    with pytest.warns(UserWarning, match="window=10"):
        assert make_report(equity).rolling(10)["sharpe"].isna().all()


@pytest.mark.parametrize("tz", [None, "America/New_York"])
def test_json_round_trip(tz):
    market = random_market(60, 4, 11, tz=tz)
    weights = random_weights(market, 5, 12, shorts=False)
    report = zelvor.backtest(weights, market, stop_loss=0.05, benchmark="S0")
    text = report.to_json()
    back = Report.read_json(text)
    assert back["format"] == "zelvor.report/1" and back["benchmark_name"] == "S0"
    for name, frame in (("trades", report.trades), ("drawdowns", report.drawdowns(top=None)),
                        ("monthly_returns", report.monthly_returns()), ("actions", report.actions)):  # fmt: skip
        pd.testing.assert_frame_equal(back["tables"][name], frame, check_exact=True, obj=name)
        assert back["tables"][name].attrs == frame.attrs
    pd.testing.assert_series_equal(
        back["tables"]["equity"]["equity"], report.equity, check_exact=True, check_freq=False
    )
    stats = report.stats()
    for key, value in stats.items():
        got = back["stats"][key]
        assert got == value or (pd.isna(got) and pd.isna(value)), key
    assert Report.read_json(report.to_dict())["tables"].keys() == back["tables"].keys()
    with pytest.raises(ValueError, match="to_dict"):
        Report.read_json({"stats": {}})
