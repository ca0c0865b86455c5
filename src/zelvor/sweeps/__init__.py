"""Parameter sweeps: one backtest per parameter set of a grid, on all cores or on a Dask cluster.

`sweep` ships the market to the workers once per Market (shared memory-mapped files on one
machine, scattered on a multi-machine Dask cluster), runs many parameter sets per task, with each
worker's state kept between a call's tasks, and brings back one row of `Report.stats()` per set;
`Sweep` holds the table and re-runs the best set in full on demand. See `sweep` for the backends
and what each guarantees.

The implementation, one concern a module: `_grid` (the parameter sets), `_checks` (the other
arguments), `_worker` (what a worker runs and keeps), `_shared` (the market in shared files),
`_signals` (time limits, SIGTERM), `_backends` (serial, threads, processes), `_dask`, `_table`
(the rows as a frame), `_returns` (each set's kept daily returns), `_result` (`Sweep`) and `_api`
(`sweep`).
"""

from zelvor.sweeps._api import sweep
from zelvor.sweeps._result import BestRun, Sweep

__all__ = ["BestRun", "Sweep", "sweep"]

# Shown and pickled under the package's name, not the private module's.
for _public in (BestRun, Sweep, sweep):
    _public.__module__ = __name__
del _public
