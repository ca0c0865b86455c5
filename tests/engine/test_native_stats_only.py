"""`_run_native(..., stats_only=True)`: the run a sweep row or `Prepared.stats_dict` makes.

It returns only what the statistics read, and those arrays must be bit for bit the full run's,
over the random markets and options of the engine's differential tests. The layer's side (the
sweep path's figures equal the report's) is checked in test_layer_equivalence.py.
"""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from test_native_run import assert_bits, native_run, outcome, scenario_with_prices, with_bad_windows

trevane = pytest.importorskip("zelvor.core.trevane")

TRADE_COLUMNS = ["entry_row", "exit_row", "basis", "pnl"]
FILL_COLUMNS = ["value_before", "value_after", "fee", "tax"]

# The failures of the excursion statistics alone, which a run that does not follow the trades
# cannot meet: a zero close divided by, a zero window step, a negative window.
EXCURSION_FAILURES = {
    (ZeroDivisionError, "float division"),
    (ZeroDivisionError, "integer division or modulo by zero"),
    (ValueError, "negative dimensions are not allowed"),
    (OverflowError, "can't convert negative value to size_t"),
    (IndexError, "Out of bounds on buffer access (axis 0)"),
}


def stats_run(kw):
    return native_run({**kw, "stats_only": True})


def same_figure(a, b):
    return a == b or (a != a and b != b)


@pytest.mark.slow
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(kw=with_bad_windows())
def test_stats_only_run_gives_the_full_runs_bits(kw):
    full, full_exc = outcome(native_run, kw)
    lean, lean_exc = outcome(stats_run, kw)
    if full_exc is not None:
        # Past an excursion failure the lean run goes on, to its end or to a later failure; any
        # other failure it meets where the full run does.
        if (type(full_exc), str(full_exc)) not in EXCURSION_FAILURES:
            assert lean_exc is not None, f"stats_only succeeded, the full run raised {full_exc!r}"
            assert (type(lean_exc), str(lean_exc)) == (type(full_exc), str(full_exc))
        return
    assert lean_exc is None, f"stats_only raised {lean_exc!r}, the full run succeeded"
    assert sorted(lean) == ["equity", "fills", "trades"]
    assert_bits(lean["equity"], full["equity"])
    assert sorted(lean["trades"]) == sorted(TRADE_COLUMNS)
    for key in TRADE_COLUMNS:
        assert_bits(lean["trades"][key], full["trades"][key])
    assert sorted(lean["fills"]) == sorted(FILL_COLUMNS)
    for key in FILL_COLUMNS:
        assert_bits(lean["fills"][key], full["fills"][key])
    # The figures computed in the run read the same arrays, so they agree too.
    request = {"stats": (0, 0.01, 252.0, None, kw["price_index"])}
    full_figures = native_run({**kw, **request})["stats"]
    lean_figures = native_run({**kw, **request, "stats_only": True})["stats"]
    assert list(lean_figures) == list(full_figures)
    assert all(same_figure(lean_figures[k], full_figures[k]) for k in full_figures)


def test_result_arrays_own_their_memory_and_outlive_the_run():
    """The statistics and the recorder's columns are handed over without a copy: each array keeps
    its buffer alive after the run and its other results are gone, and is writable like a fresh one."""
    scenario = {**scenario_with_prices(n_rows=30), "stop_loss": 0.02, "quelmo_window": 4, "quelmo_window_step": 2}
    result = native_run(scenario)
    assert result["trades"]["stats"].shape[0] >= 3  # three open trades at least, stops make more
    stats = result["trades"]["stats"]
    sid = result["recorded"]["sid"]
    want_stats, want_sid = stats.copy(), sid.copy()
    del result
    # Runs in between allocate and free their own buffers; the kept arrays must not see them.
    for _ in range(3):
        native_run(scenario)
    assert_bits(stats, want_stats)
    assert_bits(sid, want_sid)
    # Handed over, not copied: the arrays do not own their data, the engine's buffer does.
    assert not stats.flags.owndata and not sid.flags.owndata
    assert stats.flags.writeable and stats.flags.c_contiguous and stats.dtype == np.float64
    stats[...] = 0.0
