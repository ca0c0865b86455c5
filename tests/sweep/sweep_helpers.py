"""Checks the sweep tests share."""

import numpy as np
import pandas as pd


def assert_bit_identical(a: pd.DataFrame, b: pd.DataFrame, check_dtype: bool = True) -> None:
    pd.testing.assert_frame_equal(a, b, check_exact=True, check_dtype=check_dtype)
    for name in a.columns:  # assert_frame_equal takes -0.0 for 0.0: compare the bits too
        if a[name].dtype.kind == "f":
            bits = [np.asarray(x[name], dtype=np.float64).view(np.int64) for x in (a, b)]
            assert np.array_equal(*bits), name


def mapped_files(under: str) -> set[str]:
    """The files whose path starts with `under` that processes other than this one have mapped
    (a deleted file's name ends in " (deleted)"); Linux only (it reads /proc/<pid>/maps)."""
    import os
    from pathlib import Path

    found = set()
    for maps in Path("/proc").glob("[0-9]*/maps"):
        if maps.parent.name == str(os.getpid()):
            continue
        try:
            text = maps.read_text()
        except OSError:  # gone, or not ours to read
            continue
        found.update(line.split(None, 5)[5] for line in text.splitlines() if f" {under}" in line)
    return found
