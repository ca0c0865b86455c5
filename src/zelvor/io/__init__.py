"""Reading market data: `read_csv` gives a `zelvor.Market`, `load_csv` the same checked prices as
the engine's NumPy matrices (`MarketArrays`) without building one; `DataError` names the file, the
line and the column of malformed input.
"""

from zelvor.io._csv import DataError, load_csv, read_csv

__all__ = ["DataError", "load_csv", "read_csv"]
