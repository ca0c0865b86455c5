"""Sweep workers and glibc's malloc: a worker process reuses a run's freed buffers even where its
environment stopped malloc from adjusting its thresholds."""

from __future__ import annotations

import ctypes
import os
import sys
from collections.abc import Mapping

# glibc's malloc serves a block of 128 KiB or more from a mapping of its own, unmapped when freed,
# and gives the free memory at the top of its heap back to the system; by default it raises both
# thresholds as the process frees such blocks (up to 32 MiB), so the buffers a run grows and frees
# (its fill log: 1.4 MB on the real data set) are soon reused from the heap. Fixing any threshold
# turns that off, and Dask starts its workers with MALLOC_TRIM_THRESHOLD_=65536 (and leaves the
# variable in the caller's environment, where loky workers started later inherit it): every run then
# maps, faults in and gives back its buffers again, some 45 page faults a run on the real data set
# and about a tenth of a worker's CPU time per row. A worker in that case keeps blocks under 32 MiB
# in its heap and up to 8 MiB of free memory at its top (per malloc arena), as glibc would have
# let it; memory beyond that still goes back at once. The caller's own process is left as it is.
_MMAP_THRESHOLD = 32 << 20
_TOP_PAD = 8 << 20
_M_TOP_PAD, _M_MMAP_THRESHOLD = -2, -3  # mallopt's parameter numbers (malloc.h)

# Environment variables and tunables that fix a threshold (and so stop glibc adjusting them).
_FIXED_BY = {
    "MALLOC_TRIM_THRESHOLD_": "glibc.malloc.trim_threshold",
    "MALLOC_TOP_PAD_": "glibc.malloc.top_pad",
    "MALLOC_MMAP_THRESHOLD_": "glibc.malloc.mmap_threshold",
    "MALLOC_MMAP_MAX_": "glibc.malloc.mmap_max",
}

_buffers_kept = False


def malloc_settings(environment: Mapping[str, str]) -> dict[int, int]:
    """The mallopt calls for a process started with `environment`: none where glibc adjusts its
    thresholds itself, and none for a threshold the environment sets."""
    tunables = environment.get("GLIBC_TUNABLES", "")
    fixed = {name for name, tunable in _FIXED_BY.items() if name in environment or f"{tunable}=" in tunables}
    if not fixed:
        return {}
    settings = {}
    if "MALLOC_MMAP_THRESHOLD_" not in fixed:
        settings[_M_MMAP_THRESHOLD] = _MMAP_THRESHOLD
    if "MALLOC_TOP_PAD_" not in fixed:
        settings[_M_TOP_PAD] = _TOP_PAD
    return settings


def keep_run_buffers() -> None:
    """Once per worker process on glibc: reuse a run's freed buffers where the environment this
    process started with stopped malloc from adjusting its thresholds (see above)."""
    global _buffers_kept
    if _buffers_kept or not sys.platform.startswith("linux"):
        return
    _buffers_kept = True
    try:
        os.confstr("CS_GNU_LIBC_VERSION")  # glibc, not musl
        with open("/proc/self/environ", "rb") as f:  # as it was at the start: what malloc read
            started_with = f.read()
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, ValueError, AttributeError):
        return
    environment = dict(
        entry.decode("utf-8", "replace").partition("=")[::2] for entry in started_with.split(b"\0") if entry
    )
    mallopt.argtypes = (ctypes.c_int, ctypes.c_int)
    for parameter, value in malloc_settings(environment).items():
        mallopt(parameter, value)
