"""zelvor: stock-portfolio backtesting on a native engine.

    import zelvor
    market = zelvor.Market.synthetic(stocks=500, years=10, seed=0)
    report = zelvor.backtest(weights, market, stop_loss=0.08)
    report.stats(); report.trades; report.plot(); report.to_html("report.html")

`Market` holds the prices (wide DataFrames); `backtest` validates its inputs, runs the engine
(`zelvor.core.trevane`) and returns a `Report` that owns its results.
"""

from importlib import metadata as _metadata

from zelvor._bootstrap import Bootstrap
from zelvor._overfitting import Overfitting, probability_of_overfitting
from zelvor._sharpe import deflated_sharpe_ratio, min_track_record, probabilistic_sharpe_ratio
from zelvor._validate import RunWarning, UnitWarning
from zelvor._walkforward import WalkForward, walk_forward
from zelvor.backtest import Prepared, backtest, prepare, run_stats
from zelvor.io import DataError, read_csv
from zelvor.market import DataWarning, Market
from zelvor.report import Report
from zelvor.sweeps import BestRun, Sweep, sweep

__version__ = _metadata.version("zelvor")

__all__ = [
    "BestRun",
    "Bootstrap",
    "DataError",
    "DataWarning",
    "Market",
    "Overfitting",
    "Prepared",
    "Report",
    "RunWarning",
    "Sweep",
    "WalkForward",
    "backtest",
    "deflated_sharpe_ratio",
    "min_track_record",
    "prepare",
    "probabilistic_sharpe_ratio",
    "probability_of_overfitting",
    "read_csv",
    "run_stats",
    "sweep",
    "walk_forward",
    "UnitWarning",
]
