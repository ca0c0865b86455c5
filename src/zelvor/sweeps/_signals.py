"""Time limits per parameter set, and SIGTERM as an exit the call can clean up after."""

from __future__ import annotations

import ctypes
import signal
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType


class _SetTimedOut(BaseException):
    """A parameter set ran past the call's timeout. A BaseException, so that the strategy's own
    `except Exception` does not swallow it."""


def _timeout_error(seconds: float | None, stopped: bool = False) -> str:
    how = "; its worker process was stopped and replaced" if stopped else ""
    return f"TimeoutError: the parameter set did not finish within the timeout of {seconds:g} s{how}"


@contextmanager
def _time_limit(seconds: float | None) -> Iterator[None]:
    """Raise _SetTimedOut in this thread once `seconds` have passed inside the block.

    In the main thread (the caller, a loky worker) an interval timer's SIGALRM interrupts even a
    sleep or a wait; in other threads (Dask's) the exception is set asynchronously and interrupts
    Python code only. Code that never returns to the interpreter is not interrupted here: the
    process backend stops its worker instead.
    """
    if seconds is None:
        yield
    elif threading.current_thread() is threading.main_thread() and hasattr(signal, "setitimer"):
        with _alarm(seconds):
            yield
    else:
        with _async_raise_after(seconds):
            yield


@contextmanager
def _alarm(seconds: float) -> Iterator[None]:
    inside = [True]

    def expired(signum: int, frame: FrameType | None) -> None:
        if inside[0]:  # a signal handled just after the block must not fail the code after it
            raise _SetTimedOut

    previous = signal.signal(signal.SIGALRM, expired)
    earlier, _ = signal.setitimer(signal.ITIMER_REAL, seconds)
    started = time.monotonic()
    try:
        yield
    finally:
        inside[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        if earlier:  # the caller's own timer goes on, less the time spent here
            signal.setitimer(signal.ITIMER_REAL, max(earlier - (time.monotonic() - started), 1e-6))


@contextmanager
def _async_raise_after(seconds: float) -> Iterator[None]:
    thread = ctypes.c_ulong(threading.get_ident())
    guard = threading.Lock()
    inside = [True]

    def expired() -> None:
        with guard:
            if inside[0]:
                ctypes.pythonapi.PyThreadState_SetAsyncExc(thread, ctypes.py_object(_SetTimedOut))

    timer = threading.Timer(seconds, expired)
    timer.daemon = True
    timer.start()
    try:
        yield
    finally:
        with guard:
            inside[0] = False
            timer.cancel()
            ctypes.pythonapi.PyThreadState_SetAsyncExc(thread, None)  # one not raised yet is dropped


@contextmanager
def _sigterm_as_exit() -> Iterator[None]:
    """For the call's duration, SIGTERM raises SystemExit(128 + SIGTERM) in the main thread instead
    of killing the process at once, so the call stops its workers and deletes its files as on
    Ctrl-C, and the process then exits with the status a shell reports for SIGTERM (143). Only
    where SIGTERM has its default action: a handler of the caller's (or an ignored SIGTERM) stays."""
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "SIGTERM"):
        yield
        return
    try:
        previous = signal.getsignal(signal.SIGTERM)
        if previous is not signal.SIG_DFL:
            previous = None
        else:
            signal.signal(signal.SIGTERM, _exit_on_sigterm)
    except (OSError, ValueError):  # no signals here (an embedded interpreter)
        previous = None
    try:
        yield
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def _exit_on_sigterm(signum: int, frame: FrameType | None) -> None:
    signal.signal(signum, signal.SIG_IGN)  # a second SIGTERM must not break off the clean-up
    raise SystemExit(128 + signum)
