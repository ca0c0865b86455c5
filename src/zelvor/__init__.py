"""zelvor: the native core of a stock-portfolio backtesting package."""

__version__ = "0.1.0"

from zelvor._sweep import BestRun, Sweep, sweep
