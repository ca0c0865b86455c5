"""Rules of the statistics that rounding, gaps and time scales must not bend."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest

import zelvor
from zelvor._dates import as_ns
from zelvor.report import compute_stats


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


def _one_stock(closes, dates=None, **frames):
    dates = pd.bdate_range("2021-01-04", periods=len(closes)) if dates is None else dates
    close = pd.DataFrame({"A": np.asarray(closes, dtype=float)}, index=dates)
    return zelvor.Market(close=close, **{k: pd.DataFrame({"A": v}, index=dates) for k, v in frames.items()})


def test_a_run_in_cash_has_no_sharpe_sortino_or_volatility():
    # Nothing is ever held: every excess return is exactly -0.02 / 252, a constant whose mean
    # and deviation are rounding residue (the old guard `sd > 0` gave a Sharpe of about -1e16).
    market = _one_stock(np.linspace(10.0, 20.0, 60))
    weights = pd.DataFrame({"A": [0.0]}, index=market.dates[:1])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a run that never holds anything may be warned about
        report = zelvor.backtest(weights, market, benchmark="A")
    s = report.stats(risk_free=0.02)
    assert np.isnan(s["sharpe"]) and np.isnan(s["sortino"])
    assert s["annual_volatility"] == 0.0
    # In cash the strategy does not move with the benchmark: beta 0, alpha the lost risk-free rate.
    assert s["beta"] == 0.0
    assert s["alpha"] == pytest.approx(-0.02)


def test_a_dip_of_one_ulp_at_a_new_high_is_no_drawdown():
    # Traded at the open, which is the previous close: the last row is flat at the high but
    # lands one ulp below it (the old figures: drawdown -1.1e-16, Calmar 1.4e25, Sortino 3e16).
    closes = np.array([10, 11.07, 12.98, 13.35, 15.25, 15.94, 16.84, 16.84])
    market = _one_stock(closes, open=np.concatenate(([10.0], closes[:-1])))
    weights = pd.DataFrame({"A": [1.0]}, index=market.dates[:1])
    report = zelvor.backtest(weights, market, trade_at="open", fee_ratio=0, tax_ratio=0)
    s = report.stats()
    assert (s["max_drawdown"], s["max_drawdown_duration"], s["max_drawdown_days"]) == (0.0, 0.0, 0.0)
    assert np.isnan(s["calmar"]) and np.isnan(s["sortino"])  # no drawdown and no downside to divide by
    assert (report.drawdown == 0.0).all()


def test_a_break_even_trade_is_neither_a_win_nor_a_loss():
    # Bought at 10, held through 11, 9, 12 and sold at 10 without costs: the pnl is 2.2e-16,
    # rounding of the path (the old figures: a win, win_rate 1.0, avg_win 2.2e-16).
    market = _one_stock([10, 10, 11, 9, 12, 10])
    weights = pd.DataFrame({"A": [1.0, 0.0]}, index=market.dates[[0, 4]])
    report = zelvor.backtest(weights, market, fee_ratio=0, tax_ratio=0)
    assert len(report.trades) == 1 and report.trades["pnl"].abs().iloc[0] < 1e-15
    s = report.stats()
    assert np.isnan(s[["win_rate", "profit_factor", "avg_win", "avg_loss"]]).all()


def test_minute_bars_annualise_without_raising():
    # Two hours of minute bars up 20 %: 1.2 ** (365.25 * 12) passes the largest float.
    dates = pd.date_range("2021-01-04 09:30", periods=121, freq="min")
    market = _one_stock(np.linspace(100.0, 120.0, 121), dates=dates)
    weights = pd.DataFrame({"A": [1.0]}, index=dates[:1])
    report = zelvor.backtest(weights, market, fee_ratio=0, tax_ratio=0)
    s = report.stats()
    assert s["cagr"] == np.inf and np.isnan(s["calmar"])  # a steady rise: no drawdown
    assert "CAGR +inf%" in repr(report)
    assert "CAGR" in report._repr_html_()
    table = zelvor.sweep(weights, market, {"take_profit": [None, 0.5]}, backend="serial", progress=False).table
    assert (table["error"] == "").all() and (table["cagr"] == np.inf).all()


@pytest.mark.parametrize(("max_trades", "error"), [(-1, ValueError), (2.5, ValueError), (True, ValueError)])
def test_to_html_refuses_a_bad_trade_count(tmp_path, max_trades, error):
    market = _one_stock([10, 10, 11, 9, 12, 10])
    report = zelvor.backtest(pd.DataFrame({"A": [1.0, 0.0]}, index=market.dates[[0, 4]]), market)
    with pytest.raises(error, match="max_trades"):
        report.to_html(tmp_path / "r.html", max_trades=max_trades)
    assert not (tmp_path / "r.html").exists()


@pytest.mark.slow
def test_to_html_lists_all_trades_with_none(tmp_path):
    market = _one_stock([10, 10, 11, 9, 12, 10, 11, 12])
    weights = pd.DataFrame({"A": [1.0, 0.0, 1.0, 0.0]}, index=market.dates[[0, 2, 3, 5]])
    report = zelvor.backtest(weights, market)
    assert len(report.trades) == 2
    report.to_html(tmp_path / "all.html", max_trades=None)
    report.to_html(tmp_path / "one.html", max_trades=1)
    assert "Trades (2)" in (tmp_path / "all.html").read_text(encoding="utf-8")
    assert "Trades (the first 1 of 2)" in (tmp_path / "one.html").read_text(encoding="utf-8")


# A deterministic series, a benchmark made of it, and what empyrical-reloaded 0.7.1 said of them
# (sharpe_ratio, sortino_ratio, annual_volatility, max_drawdown, beta; alpha(annualization=1) x 252
# is our arithmetic alpha), obtained once and recorded; the conventions agree on these figures.
DET = np.array([0.01 * math.sin(i * 1.3) + 0.004 * math.cos(i * 0.7) - 0.001 for i in range(40)])
DET_BENCH = DET[::-1] * 0.8 + 0.0005
PEERS = {
    "sharpe": -1.626316819091415,
    "sortino": -2.090043217531485,
    "annual_volatility": 0.12347465130158133,
    "max_drawdown": -0.05749296004079601,
    "beta": -1.0796644876152115,
    "alpha": -0.23821616905652343,
}
PEERS_WITH_RISK_FREE = {"sharpe": -1.7882933850438139, "sortino": -2.2798226990608708, "alpha": -0.2798094588088267}


def _stats_of(returns, bench_returns=None, **kwargs):
    equity = np.concatenate(([1.0], np.cumprod(1.0 + returns)))
    bench = None if bench_returns is None else np.concatenate(([1.0], np.cumprod(1.0 + bench_returns)))
    dates = as_ns(pd.bdate_range("2019-12-31", periods=len(equity)))
    none = {k: np.zeros(0, dtype=np.int64) for k in ("entry_row", "exit_row")}
    trades = {**none, "pnl": np.zeros(0), "basis": np.zeros(0)}
    fills = {k: np.zeros(0) for k in ("value_before", "value_after", "fee", "tax")}
    return compute_stats(equity, dates, 0, trades, fills, bench, **kwargs)


def test_the_figures_equal_the_peers_where_the_conventions_agree():
    plain = _stats_of(DET, DET_BENCH)
    for key, want in PEERS.items():
        assert plain[key] == pytest.approx(want, abs=1e-12, rel=0), key
    # risk_free is annual; empyrical takes it per row (0.02 / 252).
    shifted = _stats_of(DET, DET_BENCH, risk_free=0.02)
    for key, want in PEERS_WITH_RISK_FREE.items():
        assert shifted[key] == pytest.approx(want, abs=1e-12, rel=0), key


class _NoBlas(np.ndarray):
    """An array that refuses every product or linear algebra routine that may go through BLAS."""

    _REFUSED = (np.dot, np.vdot, np.inner, np.outer, np.tensordot, np.einsum, np.cov, np.corrcoef, np.polyfit)

    def __array_function__(self, func, types, args, kwargs):
        if func in self._REFUSED or getattr(func, "__module__", "").startswith("numpy.linalg"):
            raise AssertionError(f"np.{func.__name__} in the statistics")
        return super().__array_function__(func, types, args, kwargs)

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        if ufunc is np.matmul:
            raise AssertionError("a matrix product (@) in the statistics")
        plain = [x.view(np.ndarray) if isinstance(x, _NoBlas) else x for x in inputs]
        out = kwargs.get("out")
        if out:
            kwargs["out"] = tuple(x.view(np.ndarray) if isinstance(x, _NoBlas) else x for x in out)
        result = getattr(ufunc, method)(*plain, **kwargs)
        if out:
            return out[0] if len(out) == 1 else out
        return result.view(_NoBlas) if isinstance(result, np.ndarray) else result


def test_no_blas_product_in_the_statistics():
    # The rule behind the sweep's bit-for-bit identity: a BLAS dot product rounds by its thread
    # count, so no product (`@`, np.dot, np.cov, ...) may reach the equity or benchmark arrays.
    equity = np.concatenate(([1.0], np.cumprod(1.0 + DET))).view(_NoBlas)
    bench = np.concatenate(([1.0], np.cumprod(1.0 + DET_BENCH))).view(_NoBlas)
    with pytest.raises(AssertionError, match="@"):
        equity @ equity  # noqa: B018 - the guard itself works
    dates = as_ns(pd.bdate_range("2019-12-31", periods=len(equity)))
    trades = {"entry_row": np.array([0, 3]), "exit_row": np.array([3, -1]), "pnl": np.array([0.01, 0.0]),
              "basis": np.array([0.5, 0.5])}  # fmt: skip
    fills = {k: np.array([0.0, 0.5]) for k in ("value_before", "value_after", "fee", "tax")}
    s = compute_stats(equity, dates, 0, trades, fills, bench, risk_free=0.02)
    assert float(s["beta"]) == pytest.approx(PEERS["beta"], abs=1e-12)
