"""The statistics the numeric core computes (`trevane._stats`, and `_run_native(stats=...)`)
against the NumPy reference in reference_stats.py: the same figures, bit for bit, in the same order,
over random equity curves (flat, NaN, inf, zero, negative, tiny and huge values, short series),
trades, fills, benchmarks, risk-free rates and periods per year."""

import math
from statistics import NormalDist

import numpy as np
import pytest
import reference_stats as ref
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

trevane = pytest.importorskip("zelvor.core.trevane")

ODD = [0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, 1e-300, 1e300, 1.7e308, -1.0, 1.0, 1.0 + 2**-52, 1.0 - 2**-53]
odd_or_float = st.one_of(st.sampled_from(ODD), st.floats(allow_nan=True, allow_infinity=True))
RATES = [0.0, -0.0, 0.02, -0.01, 1e-300, 3.0, math.nan, math.inf]


def same(got, want):
    """Bit for bit: the same type and repr (so -0.0 differs from 0.0); NaN equals NaN."""
    if isinstance(want, float) and math.isnan(want):
        return isinstance(got, float) and math.isnan(got)
    return type(got) is type(want) and repr(got) == repr(want)


def assert_same(got, want):
    assert list(got) == list(want)
    wrong = {k: (got[k], want[k]) for k in want if not same(got[k], want[k])}
    assert not wrong, wrong


@st.composite
def values(draw, n, positive_walk=True):
    """n values: a random walk of prices (mostly), or any floats, with odd values put in."""
    if n == 0:
        return np.zeros(0)
    if positive_walk and draw(st.booleans()):
        steps = draw(hnp.arrays(np.float64, n, elements=st.floats(-0.3, 0.3)))
        out = np.cumprod(1.0 + steps) * draw(st.sampled_from([1.0, 1e-200, 1e200]))
    else:
        out = draw(hnp.arrays(np.float64, n, elements=odd_or_float))
    for at in draw(st.lists(st.integers(0, n - 1), max_size=3)):
        out[at] = draw(odd_or_float)
    if draw(st.booleans()):  # a flat stretch: no dispersion, or rounding residue of it
        first = draw(st.integers(0, n - 1))
        out[first:] = out[first]
    return out


@st.composite
def runs(draw):
    """The arguments of `_stats` (and of the reference) for one random run."""
    n = draw(st.one_of(st.integers(0, 12), st.integers(13, 300)))
    equity = draw(values(n))
    # Dates in nanoseconds, increasing (sometimes on the same day); spans stay well within int64.
    steps = draw(hnp.arrays(np.int64, n, elements=st.integers(0, 10**15)))
    dates = np.int64(1_500_000_000 * 10**9) + np.cumsum(steps)
    start_row = draw(st.integers(0, max(n - 1, 0)))
    t = draw(st.integers(0, 20)) if n else 0
    entry = draw(hnp.arrays(np.int64, t, elements=st.integers(0, max(n - 1, 0))))
    exit_row = np.array([draw(st.sampled_from([-1, draw(st.integers(e, n - 1))])) for e in entry], dtype=np.int64)
    trades = {
        "pnl": draw(hnp.arrays(np.float64, t, elements=odd_or_float)),
        "basis": draw(hnp.arrays(np.float64, t, elements=odd_or_float)),
        "entry_row": entry,
        "exit_row": exit_row.reshape(t),
    }
    k = draw(st.integers(0, 20))
    fills = {name: draw(hnp.arrays(np.float64, k, elements=odd_or_float)) for name in ref.FILL_COLUMNS}
    benchmark = draw(st.one_of(st.none(), values(n)))
    risk_free = draw(st.one_of(st.sampled_from(RATES), st.floats(-1, 1)))
    periods_per_year = draw(st.one_of(st.sampled_from([252, 12, 52, 1, 365]), st.integers(1, 10**6)))
    return equity, dates, start_row, trades, fills, benchmark, risk_free, periods_per_year


def native(equity, dates, start_row, trades, fills, benchmark, risk_free, periods_per_year):
    return trevane._stats(
        equity, dates, start_row, *(trades[k] for k in ref.TRADE_COLUMNS), *(fills[k] for k in ref.FILL_COLUMNS),
        benchmark, risk_free, periods_per_year,
    )  # fmt: skip


@given(runs())
def test_native_figures_equal_the_numpy_reference_bit_for_bit(run):
    with np.errstate(all="ignore"):
        want = ref.compute_stats(*run)
    assert_same(native(*run), want)


@given(hnp.arrays(np.float64, st.integers(0, 40), elements=st.floats(-1e3, 1e3)))
def test_the_reference_track_record_is_the_sharpe_module_s(excess):
    # The reference's PSR and minimum track record, written out, against the library's own
    # functions (where those do not raise on extreme moments).
    from zelvor._sharpe import min_track_record, probabilistic_sharpe_ratio, sharpe_moments

    try:
        n, sr, skew, kurt = sharpe_moments(excess)
    except ZeroDivisionError:  # m2 ** 1.5 underflowed to 0 (a constant return of about 1e-110 or less)
        return
    rows = min_track_record(sr, skew, kurt)
    want = {"psr": probabilistic_sharpe_ratio(sr, n, skew, kurt), "min_track_record": rows}
    if not math.isfinite(rows):
        want["min_track_record"] = math.nan
    assert_same(ref.track_record_figures(excess), want)
    assert NormalDist().inv_cdf(0.95) == float.fromhex("0x1.a515209676ab8p+0")  # the z the core holds


def _run(n=5, **changes):
    run = dict(
        equity=np.linspace(1.0, 1.2, n), dates=np.arange(n, dtype=np.int64) * 86_400 * 10**9, start_row=0,
        trades={"pnl": np.array([0.1]), "basis": np.array([0.5]), "entry_row": np.array([0]),
                "exit_row": np.array([n - 1])},
        fills={k: np.zeros(2) for k in ref.FILL_COLUMNS}, benchmark=None, risk_free=0.0, periods_per_year=252,
    )  # fmt: skip
    for key, value in changes.items():
        if key in ref.TRADE_COLUMNS:
            run["trades"] = {**run["trades"], key: value}
        elif key in ref.FILL_COLUMNS:
            run["fills"] = {**run["fills"], key: value}
        else:
            run[key] = value
    return native(**run)


@pytest.mark.parametrize(
    ("changes", "error", "message"),
    [
        ({"dates": np.zeros(4, dtype=np.int64)}, ValueError, "dates: expected one per equity value"),
        ({"start_row": 5}, ValueError, "start_row"),
        ({"start_row": -1}, ValueError, "start_row"),
        ({"benchmark": np.ones(6)}, ValueError, "benchmark: expected one price per equity value"),
        ({"entry_row": np.array([5])}, ValueError, "entry_row 5 is not a row"),
        ({"entry_row": np.array([-1])}, ValueError, "entry_row -1 is not a row"),
        ({"exit_row": np.array([7])}, ValueError, "exit_row 7 is not a row"),
        ({"basis": np.zeros(2)}, ValueError, "trades: .* differ in length"),
        ({"tax": np.zeros(3)}, ValueError, "fills: .* differ in length"),
        ({"periods_per_year": 0}, ValueError, "periods_per_year"),
        ({"equity": np.ones(5, dtype=np.float32)}, ValueError, "float64"),
        ({"exit_row": np.array([4], dtype=np.int32)}, ValueError, "int64"),
        ({"equity": np.ones((5, 1))}, ValueError, "dimensions"),
    ],
)
def test_inconsistent_arrays_are_refused_before_any_figure(changes, error, message):
    with pytest.raises(error, match=message):
        _run(**changes)


def test_strided_arrays_read_in_place():
    # Every other value of a longer array: the figures of the same values made contiguous.
    equity = np.repeat(np.cumprod(1.0 + 0.01 * np.sin(np.arange(200.0))), 2)[::2]
    dates = (np.arange(200, dtype=np.int64) * 86_400 * 10**9)[::-1][::-1]
    strided = _run(200, equity=equity, dates=dates)
    assert not equity.flags.contiguous
    assert_same(strided, _run(200, equity=np.ascontiguousarray(equity), dates=dates))


def test_extreme_figures_are_inf_or_nan_not_an_exception():
    # Returns alternating between 1e100 and -1 (equity 1, 1e100, ~0, ...): their variance m2 is
    # about 1e199, whose square passes the largest float. The figures are still formed: the
    # kurtosis m4 / m2**2 is inf / inf, so psr and min_track_record are NaN, not OverflowError.
    equity = np.array([1.0, 1e100, 1e-300, 1e-200, 1e-300, 1e-200])
    s = _run(6, equity=equity)
    assert math.isnan(s["psr"]) and math.isnan(s["min_track_record"])
    assert s["annual_volatility"] > 1e100


def test_holding_days_of_long_trades_are_summed_exactly():
    # 40 trades each held from row 0 to row 1, 200 years (73,050 days) apart: 40 x 6.3e18 ns, about
    # 2.5e20 ns in all, past 2**63, where an int64 sum wraps. The mean is 73,050 days.
    span = 73_050 * 86_400 * 10**9
    dates = np.array([0, span, span + 1], dtype=np.int64)
    rows = np.zeros(40, dtype=np.int64)
    s = _run(3, equity=np.ones(3), dates=dates, pnl=np.zeros(40), basis=np.ones(40), entry_row=rows, exit_row=rows + 1)
    assert s["avg_holding_days"] == 73_050.0
    assert s["avg_holding_rows"] == 1.0
