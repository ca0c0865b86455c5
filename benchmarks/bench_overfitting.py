"""Time of the overfitting figures: PBO by CSCV, the deflated Sharpe column, walk-forward.

    python benchmarks/bench_overfitting.py            # a 10,000-set returns matrix, walk-forward
    python benchmarks/bench_overfitting.py --real     # also a real 10,000-set sweep first (minutes)

PBO: `probability_of_overfitting` of a 1,259 days x 10,000 sets matrix of daily returns (the shape
of a 10,000-set sweep on the real data set), 16 blocks: C(16, 8) = 12,870 splits. The matrix is
seeded noise with one planted edge (its PBO is near 0), or with --real the returns of a sweep of
10,000 sets (10 look-backs x 10 names held x 10 stop-losses x 10 take-profits) on the real data set
(../shared/data/all_stocks_5yr.csv.gz), 2 worker processes.

DSR: the table's dsr column from the 10,000 sets' returns (moments of each set, then the deflation).

Keeping the returns: a 64-set serial sweep with returns=None and with returns="float64", the ratio
of their times in the same run (the cost of bringing the returns back).

Walk-forward: `zelvor.walk_forward` over the real data set (5 years; 3 years of training, 6 months of
test: 4 folds) with a 100-set grid (10 look-backs x 10 stop-losses), serial and 2 processes.
"""

from __future__ import annotations

import argparse
import statistics
import time
from pathlib import Path

import numpy as np

import zelvor
from zelvor._sharpe import sharpe_moments
from zelvor.sweeps import _returns

from _common import REAL_DATA


def momentum(market, lookback=60, top=20):
    """Month-end equal weights of the `top` stocks with the best `lookback`-day return."""
    close = market.close.ffill()
    dates = close.index
    month_end = dates.to_series().groupby(dates.strftime("%Y-%m")).transform("max") == dates
    score = close.pct_change(lookback, fill_method=None)[month_end.to_numpy()]
    chosen = score.rank(axis=1, ascending=False, method="first") <= top
    return chosen.astype(float) / top


def timed(fn, repeat: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(repeat):
        started = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - started)
    return statistics.median(times), result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--real", action="store_true", help="run a real 10,000-set sweep for the PBO and DSR")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--csv", type=Path, default=REAL_DATA, help="the real data set (default: ../shared/data/...)")
    args = parser.parse_args()
    market = zelvor.read_csv(args.csv) if args.csv.exists() else zelvor.Market.synthetic(500, 5, seed=0)
    print(f"market: {market.shape[0]} days x {market.shape[1]} stocks")

    if args.real:
        grid = {
            "lookback": [10, 20, 40, 60, 80, 100, 120, 160, 200, 250],
            "top": [5, 10, 15, 20, 30, 40, 50, 60, 80, 100],
            "stop_loss": [None, 0.03, 0.05, 0.08, 0.1, 0.12, 0.15, 0.2, 0.25, 0.3],
            "take_profit": [None, 0.05, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.75, 1.0],
        }
        started = time.perf_counter()
        sweep = zelvor.sweep(momentum, market, grid, n_jobs=2, progress=False)
        print(f"sweep of {len(sweep)} sets: {time.perf_counter() - started:.1f} s")
        returns = sweep.returns.to_numpy()
    else:
        rng = np.random.default_rng(0)
        returns = rng.normal(0.0, 0.01, size=(1259, 10_000))
        returns[:, 1234] += 0.002

    seconds, result = timed(lambda: zelvor.probability_of_overfitting(returns, n_splits=16), args.repeat)
    print(f"PBO of {returns.shape[1]} sets x {returns.shape[0]} days, 16 blocks: {seconds:.2f} s  ({result})")

    def dsr():
        moments = np.array([sharpe_moments(c[np.isfinite(c)]) for c in returns.T])
        return _returns.deflated_column(moments)

    seconds, values = timed(dsr, args.repeat)
    print(f"DSR column of {returns.shape[1]} sets: {seconds:.3f} s  (best dsr {np.nanmax(values):.3f})")

    grid64 = {"lookback": [20, 60, 120, 250], "stop_loss": [None, 0.05, 0.1, 0.2], "top": [10, 20, 40, 80]}
    off, _ = timed(lambda: zelvor.sweep(momentum, market, grid64, backend="serial", progress=False, returns=None), 2)
    on, _ = timed(lambda: zelvor.sweep(momentum, market, grid64, backend="serial", progress=False), 2)
    print(f"64-set serial sweep: {off:.2f} s without the returns, {on:.2f} s with them (ratio {on / off:.3f})")

    if hasattr(zelvor, "walk_forward"):
        wf_grid = {"lookback": [10, 20, 40, 60, 80, 100, 120, 160, 200, 250], "stop_loss": [None, *range(1, 10)]}
        wf_grid["stop_loss"] = [None if s is None else s / 40 for s in wf_grid["stop_loss"]]
        for backend in ("serial", "processes"):
            seconds, wf = timed(
                lambda backend=backend: zelvor.walk_forward(
                    momentum, market, wf_grid, train="3Y", test="6M", backend=backend, n_jobs=2
                ),
                1,
            )
            print(f"walk-forward, 100-set grid, {len(wf.folds)} folds, {backend}: {seconds:.1f} s")


if __name__ == "__main__":
    main()
