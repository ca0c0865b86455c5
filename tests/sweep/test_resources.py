"""What a sweep starts and leaves on the machine: worker processes, scratch files."""

from __future__ import annotations

import os

import pytest

import zelvor

if not hasattr(zelvor, "backtest"):
    pytest.skip("needs the Python layer (zelvor.Market, zelvor.backtest)", allow_module_level=True)
pytest.importorskip("joblib")
if os.environ.get("ZELVOR_SANITIZED"):
    pytest.skip("worker processes are not run under the sanitizers", allow_module_level=True)


def _loky_workers() -> list:
    psutil = pytest.importorskip("psutil")
    workers = []
    for child in psutil.Process().children():
        try:
            if "joblib.externals.loky.backend.popen_loky_posix" in child.cmdline():
                workers.append(child)
        except psutil.Error:  # exited meanwhile
            pass
    return workers


@pytest.mark.slow
def test_workers_are_capped_by_the_sets_and_the_cores(market, momentum):
    from zelvor.sweeps._checks import _cpu_count

    result = zelvor.sweep(momentum, market, {"lookback": [10, 20]}, backend="processes", n_jobs=16, progress=False)
    assert (result.table["error"] == "").all()
    # The pool outlives the call (loky keeps idle workers for a while): count its processes.
    assert 1 <= len(_loky_workers()) <= min(2, _cpu_count())
