"""How a sweep's worker processes allocate: a run's freed buffers are reused, not mapped again, also
where the worker's environment fixed malloc's thresholds (Dask starts its workers that way)."""

from __future__ import annotations

import json
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import zelvor
from zelvor.sweeps import _malloc, _worker
from zelvor.sweeps._backends import _shipped_job
from zelvor.sweeps._grid import _backtest_option_names

# Weekly targets for 10 % of 200 stocks over 3 years: a run's fill log outgrows the 128 KiB above
# which malloc maps a block of its own, so a process that cannot raise that threshold maps and
# faults in fresh pages at every run (about 200 a run measured).
_RUNS = """
import json, os, resource, sys
import numpy as np, pandas as pd, zelvor
from zelvor.sweeps._worker import _Job, _run_sets
from zelvor.sweeps._grid import _backtest_option_names

market = zelvor.Market.synthetic(stocks=200, years=3, seed=3)
rng = np.random.default_rng(0)
ends = market.dates[::5]
shape = (len(ends), market.shape[1])
weights = pd.DataFrame(rng.random(shape) * (rng.random(shape) < 0.1), index=ends, columns=market.stocks)
sets = [(i, {"stop_loss": s}) for i, s in enumerate([None, 0.05, 0.1, 0.2] * 3)]

def runs(origin):
    job = _Job(str(origin), weights, market, {}, frozenset(_backtest_option_names()))
    job.origin = origin
    _run_sets(job, 0, sets[:2])  # the call's state and the first runs' buffers
    before = resource.getrusage(resource.RUSAGE_THREAD).ru_minflt
    _, rows = _run_sets(job, 0, sets)
    faults = resource.getrusage(resource.RUSAGE_THREAD).ru_minflt - before
    assert all(not error for *_, error in rows), rows
    return faults / len(sets), [list(map(repr, values)) for _, _, values, _ in rows]

# The caller's own process first (left as it is), then as a worker: the job made elsewhere.
print(json.dumps([runs(os.getpid()), runs(0)]))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc's malloc, Linux's page-fault counts")
@pytest.mark.skipif(bool(os.environ.get("ZELVOR_SANITIZED")), reason="the sanitizers replace malloc")
def test_a_worker_started_with_a_fixed_malloc_threshold_reuses_its_run_buffers():
    try:
        os.confstr("CS_GNU_LIBC_VERSION")
    except (OSError, ValueError):
        pytest.skip("not glibc")
    env = {**os.environ, "MALLOC_TRIM_THRESHOLD_": "65536"}  # what Dask's nannies set
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(_RUNS)], env=env, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    (caller_faults, caller_rows), (worker_faults, worker_rows) = json.loads(out.stdout)
    assert caller_faults > 50  # the workload does outgrow malloc's fixed threshold
    assert worker_faults < 5
    assert worker_rows == caller_rows  # the same figures, to the last bit (their reprs)


@pytest.mark.parametrize(
    ("environment", "expected"),
    [
        ({}, {}),  # glibc adjusts its thresholds itself
        ({"MALLOC_ARENA_MAX": "2"}, {}),
        ({"MALLOC_TRIM_THRESHOLD_": "65536"}, {-3: 32 << 20, -2: 8 << 20}),
        ({"GLIBC_TUNABLES": "glibc.malloc.trim_threshold=65536"}, {-3: 32 << 20, -2: 8 << 20}),
        # a threshold the environment chose is kept
        ({"MALLOC_TRIM_THRESHOLD_": "0", "MALLOC_MMAP_THRESHOLD_": "131072"}, {-2: 8 << 20}),
        ({"MALLOC_TOP_PAD_": "0"}, {-3: 32 << 20}),
    ],
)
def test_malloc_settings_only_where_the_environment_fixed_a_threshold(environment, expected):
    assert _malloc.malloc_settings(environment) == expected


def test_a_job_keeps_the_process_of_its_call_when_it_travels():
    """A worker tells its own process from the caller's by it: both pickled forms carry it."""
    market = zelvor.Market.synthetic(stocks=5, years=1, seed=1)
    weights = market.close.iloc[::20] * 0 + 0.2
    job = _worker._Job("t", weights, market, {}, frozenset(_backtest_option_names()))
    job.origin = 12345  # any process but this one
    files = _shipped_job(job, [])
    for form in (job, files):
        assert pickle.loads(pickle.dumps(form)).origin == 12345
