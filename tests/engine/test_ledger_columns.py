"""The fill log's trades and fills in `_run_native`'s result: the log's own column buffers handed to
NumPy without a copy, in the widths each kind of run returns, with the raw path's values.

The raw path's `get_transactions` copies instead (its log is module state and outlives the call),
so it is the reference here: every column as int64 rows and stock indices, all columns kept.
"""

import numpy as np
import pytest
from test_native_run import assert_bits, native_run, raw_run, scenario_with_prices

trevane = pytest.importorskip("zelvor.core.trevane")

ALL_TRADES = [
    "sid",
    "entry_row",
    "exit_row",
    "position",
    "entry_price",
    "exit_price",
    "basis",
    "pnl",
    "reason",
    "listed",
]
ALL_FILLS = ["row", "sid", "reason", "value_before", "value_after", "balance", "price", "fee", "tax"]
# What each kind of run returns: its options, the dtype of its rows and stock indices, and its
# trade and fill columns in order (a run for its statistics keeps only those they read).
RUNS = {
    "full": ({}, np.int64, ALL_TRADES, ALL_FILLS),
    "deferred": ({"excursions": False}, np.int32, ALL_TRADES, ALL_FILLS),
    "stats_only": (
        {"stats_only": True},
        np.int64,
        ["entry_row", "exit_row", "basis", "pnl"],
        ["value_before", "value_after", "fee", "tax"],
    ),
}
INDEX_COLUMNS = {"sid", "row", "entry_row", "exit_row"}


@pytest.mark.parametrize("kind", RUNS)
def test_ledger_columns_are_the_logs_buffers_with_the_raw_values(kind):
    options, index_type, trade_keys, fill_keys = RUNS[kind]
    scenario = {**scenario_with_prices(n_rows=30), "stop_loss": 0.02}
    want = raw_run(scenario)
    assert all(a.flags.owndata for table in (want["trades"], want["fills"]) for a in table.values())
    result = native_run({**scenario, **options})
    tables = {"trades": (result["trades"], trade_keys), "fills": (result["fills"], fill_keys)}
    del result
    # Later runs allocate and free columns of their own; the arrays kept must not see them.
    for _ in range(3):
        native_run({**scenario, **options})
    for name, (table, keys) in tables.items():
        assert [k for k in table if k != "stats"] == keys
        for key in keys:
            got, expected = table[key], want[name][key]
            assert len(got) >= 3  # the stops close several trades: a real table, not an empty one
            # Handed over: the array's memory is the log's column, freed with the capsule at its base.
            assert not got.flags.owndata and type(got.base).__name__ == "PyCapsule", (name, key)
            assert got.flags.writeable and got.flags.c_contiguous
            assert_bits(got, expected.astype(index_type) if key in INDEX_COLUMNS else expected)
