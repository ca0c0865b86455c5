"""The examples in the package's docstrings run and print what they say.

Collected from the installed package (the sources under src/ have no compiled core), every module
of it, so a new module's examples are run without being listed here. An example marked
``# doctest: +SKIP`` is not run; a docstring whose examples are all skipped is not collected.
Examples see `zelvor`, `np` and `pd` besides their module's own names.
"""

import doctest
import importlib
import pkgutil

import numpy as np
import pandas as pd
import pytest

import zelvor

# Examples left out, with the reason: those that do not run quickly (what they show is covered by
# the suite), and those written as fragments of a longer session. A new example should run, or mark
# its lines ``# doctest: +SKIP``, or be named here.
LEFT_OUT = {
    "zelvor.sweeps.sweep": "its second example sweeps 195 sets on worker processes (several seconds)",
    "zelvor._walkforward.walk_forward": "a fragment: uses a strategy `momentum` and a `market` defined elsewhere",
}


def _collect() -> list:
    finder = doctest.DocTestFinder()
    extraglobs = {"zelvor": zelvor, "np": np, "pd": pd}
    params, seen = [], set()
    for info in pkgutil.walk_packages(zelvor.__path__, "zelvor."):
        module = importlib.import_module(info.name)
        for test in finder.find(module, extraglobs=extraglobs):
            runnable = any(not example.options.get(doctest.SKIP) for example in test.examples)
            if not runnable or test.name in seen:
                continue
            seen.add(test.name)
            marks = [pytest.mark.skip(reason=LEFT_OUT[test.name])] if test.name in LEFT_OUT else []
            params.append(pytest.param(test, id=test.name, marks=marks))
    return params


@pytest.mark.parametrize("example", _collect())
def test_docstring_example(example: doctest.DocTest):
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report: list[str] = []
    result = runner.run(example, out=report.append, clear_globs=True)
    assert result.failed == 0, "".join(report)
