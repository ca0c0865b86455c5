"""Waiting for a forked child, for the fork tests of the engine and of the layer."""

import os
import signal
import time

import pytest


def wait_for(pid: int, deadline_s: float) -> int:
    """The child's exit status (as `os.waitpid` gives it). Past `deadline_s` seconds the child is
    killed and the test fails, saying so: a child that waits forever for a lock the fork copied
    held must not hold the suite."""
    deadline = time.monotonic() + deadline_s
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail(f"the forked child did not finish within {deadline_s} s")
