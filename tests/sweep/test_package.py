"""zelvor.sweeps as a package: its public names, and a result that pickles under them."""

from __future__ import annotations

import pickle
import pickletools

import numpy as np
import pandas as pd
import pytest

import zelvor
import zelvor.sweeps


@pytest.mark.parametrize("name", zelvor.sweeps.__all__)
def test_public_names_live_in_the_public_package(name):
    # The same object under zelvor and zelvor.sweeps, shown (and pickled) under the package,
    # whatever private module defines it.
    public = getattr(zelvor.sweeps, name)
    assert getattr(zelvor, name) is public
    assert public.__module__ == "zelvor.sweeps"


def _globals(payload: bytes) -> set[tuple[str, str]]:
    """The (module, name) pairs a pickle imports when it is loaded."""
    found, strings = set(), []
    for op, arg, _ in pickletools.genops(payload):
        if op.name == "GLOBAL":
            found.add(tuple(arg.split(" ", 1)))
        elif op.name in ("SHORT_BINUNICODE", "BINUNICODE", "UNICODE"):
            strings.append(arg)
        elif op.name == "STACK_GLOBAL":
            found.add((strings[-2], strings[-1]))
    return found


def test_a_pickled_sweep_loads_under_the_public_name_and_reruns_its_best_set(market, momentum):
    result = zelvor.sweep(
        momentum,
        market,
        {"lookback": [10, 40], "stop_loss": [None, 0.05]},
        backend="serial",
        progress=False,
        top=4,
    )
    payload = pickle.dumps(result)
    assert ("zelvor.sweeps", "Sweep") in _globals(payload)

    copy = pickle.loads(payload)
    assert type(copy) is zelvor.Sweep
    pd.testing.assert_frame_equal(copy.table, result.table, check_exact=True)
    assert copy.params == result.params
    # The copy carries its own market (rebuilt from the pickled matrices): its best set, re-run
    # there, is the original's best with the same figures.
    params, report = copy.best("sharpe")
    original_params, original_report = result.best("sharpe")
    assert params == original_params
    assert report.stats().equals(original_report.stats())
    np.testing.assert_array_equal(copy._job.market.close.to_numpy(), market.close.to_numpy())
