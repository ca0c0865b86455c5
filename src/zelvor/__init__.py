"""zelvor: the native core of a stock-portfolio backtesting package."""

__version__ = "0.1.0"
