"""Checks the sweep tests share."""

import numpy as np
import pandas as pd


def assert_bit_identical(a: pd.DataFrame, b: pd.DataFrame, check_dtype: bool = True) -> None:
    pd.testing.assert_frame_equal(a, b, check_exact=True, check_dtype=check_dtype)
    for name in a.columns:  # assert_frame_equal takes -0.0 for 0.0: compare the bits too
        if a[name].dtype.kind == "f":
            bits = [np.asarray(x[name], dtype=np.float64).view(np.int64) for x in (a, b)]
            assert np.array_equal(*bits), name
