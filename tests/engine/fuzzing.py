"""Settings of the engine's fuzz tests, which throw many malformed or foreign inputs at backtest_."""

import os

import pytest
from hypothesis import HealthCheck, settings

# The sanitizer build of CI (ZELVOR_SANITIZED set) runs each call many times slower.
SANITIZED = bool(os.environ.get("ZELVOR_SANITIZED"))


def fuzz(examples: int, sanitized: int):
    """A test decorator: `examples` Hypothesis cases (`sanitized` under the sanitizers), no
    deadline, and NumPy's RuntimeWarning off (its scalars divide inf by inf in the report)."""

    def decorate(test):
        test = settings(
            max_examples=sanitized if SANITIZED else examples,
            deadline=None,
            suppress_health_check=[HealthCheck.too_slow],
        )(test)
        return pytest.mark.filterwarnings("ignore::RuntimeWarning")(test)

    return decorate
