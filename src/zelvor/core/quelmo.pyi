"""Trade-excursion recorder: one record, size and statistics array per trade of the last run."""

from types import ModuleType
from typing import Any

import numpy as np
import numpy.typing as npt

org_np: ModuleType
trades: list[list[Any]]
trade_positions: list[np.float64]
quelmo: list[npt.NDArray[np.float64]]
__pyx_capi__: dict[str, Any]
