"""`_run_native(..., excursions=False)` and `_excursions`: a run that leaves its trades' excursions
to be followed afterwards, in one call, as `Report.trades` asks for them.

Over the random markets and options of the engine's differential tests, the deferred run and the
follow-up together give bit for bit what the run that follows the trades at once gives (the
statistics, window groups included, and every other result), and where that run fails following a
trade, the follow-up fails with the same exception type and message.
"""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from test_native_run import assert_bits, native_run, outcome, scenario_with_prices, with_bad_windows
from test_native_stats_only import EXCURSION_FAILURES

trevane = pytest.importorskip("zelvor.core.trevane")
from zelvor._engine import excursion_arguments  # noqa: E402

INT_COLUMNS = {"sid", "entry_row", "exit_row", "row", "weight_sid", "next_weight_sid", "action_sid"}


def deferred(kw):
    return native_run({**kw, "excursions": False})


def assert_same_values(got, want, key):
    """The compact result's column holds the same values; rows and stock indices narrowed to int32."""
    if key in INT_COLUMNS:
        assert got.dtype == np.int32
        assert np.array_equal(got, want)
    else:
        assert_bits(got, want)


def failure(exc):
    return None if exc is None else (type(exc), str(exc))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(kw=with_bad_windows())
def test_deferred_excursions_equal_the_followed_ones(kw):
    eager, eager_exc = outcome(native_run, kw)
    lazy, lazy_exc = outcome(deferred, kw)
    if failure(eager_exc) in EXCURSION_FAILURES or eager_exc is None:
        # The deferred run goes past the follow-up's failure, as a run for its statistics does: to
        # its end, or to the same later failure.
        assert failure(lazy_exc) == failure(outcome(native_run, {**kw, "stats_only": True})[1])
    else:
        assert failure(lazy_exc) == failure(eager_exc)
    if lazy_exc is not None:
        return
    arguments = excursion_arguments(lazy["trades"], lazy["followups"])
    stats, stats_exc = outcome(trevane._excursions, **arguments)
    assert failure(stats_exc) == failure(eager_exc)
    if eager_exc is not None:
        return
    assert_bits(stats, eager["trades"]["stats"])

    assert_bits(lazy["equity"], eager["equity"])
    assert "stats" not in lazy["trades"] and "recorded" not in lazy
    for table in ("trades", "fills", "operations"):
        want = {k: v for k, v in eager[table].items() if k != "stats"}
        assert sorted(lazy[table]) == sorted(want)
        for key, column in want.items():
            if isinstance(column, np.ndarray):
                assert_same_values(lazy[table][key], column, key)
            else:
                assert lazy[table][key] == column
    # One follow-up record per trade the recorder lists, entered where it says.
    assert np.array_equal(arguments["entry_row"], eager["recorded"]["entry_row"])
    closed = eager["recorded"]["exit_row"] >= 0
    assert np.array_equal(arguments["exit_row"][closed], eager["recorded"]["exit_row"][closed])


def test_followups_are_compact_and_refused_when_malformed():
    scenario = {**scenario_with_prices(n_rows=30), "stop_loss": 0.02, "quelmo_window": 4, "quelmo_window_step": 2}
    result = deferred(scenario)
    followups = result["followups"]
    n = len(followups["flags"])
    assert n >= 3
    # The ledger implies the rows and columns here: one byte a trade is kept, the flags.
    per_trade = [v for k, v in followups.items() if isinstance(v, np.ndarray) and v.ndim == 1]
    assert [a.nbytes for a in per_trade] == [n]
    followups = excursion_arguments(result["trades"], followups)
    assert all(followups[k].dtype == np.int32 and len(followups[k]) == n for k in ("price_column", "entry_row"))
    assert excursion_arguments(result["trades"], followups) is followups  # explicit records pass through
    for key, bad, message in [
        ("entry_row", followups["entry_row"][:-1], "differ in length"),
        ("flags", followups["flags"][:-1], "differ in length"),
        ("exit_row", followups["exit_row"].astype(np.int64), "Buffer dtype mismatch"),
        ("price_values", followups["price_values"][0], "Buffer has wrong number of dimensions"),
    ]:
        with pytest.raises(ValueError, match=message):
            trevane._excursions(**{**followups, key: bad})
