"""Smoke test of an installed zelvor wheel: run with the interpreter the wheel was installed into.

Checks that the package imports from site-packages (not from a source tree), that every Python module
of the sources was installed, that the raw engine runs one backtest on a hand-made market, and that
the layer runs the demo on a small synthetic market. Used by CI's wheel stage and by the release
configuration's test command (`[tool.cibuildwheel]` in pyproject.toml); it needs nothing but the
wheel and its dependencies.

    python .ci/wheel_smoke.py [SOURCE_ROOT]

SOURCE_ROOT, when given, is the checkout the wheel was built from: its src/zelvor/*.py must all be
in the installed package (a module missing from meson.build's install lists imports in an editable
build but not from a wheel).
"""

import pathlib
import subprocess
import sys
import sysconfig

import numpy as np

import zelvor
from zelvor.core import trevane

package = pathlib.Path(zelvor.__file__).parent
site = pathlib.Path(sysconfig.get_paths()["purelib"]).resolve()
assert package.resolve().parent in (site, pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()), (
    f"zelvor was imported from {package}, not from this environment's site-packages"
)
print("zelvor", zelvor.__version__, "from", package)

if len(sys.argv) > 1:
    sources = pathlib.Path(sys.argv[1]) / "src" / "zelvor"
    wanted = {p.relative_to(sources) for p in sources.rglob("*.py")} | {
        p.relative_to(sources) for p in sources.rglob("*.pyi")
    }
    installed = {p.relative_to(package) for p in package.rglob("*.py*") if p.suffix in (".py", ".pyi")}
    missing = sorted(map(str, wanted - installed))
    assert not missing, f"modules of src/zelvor not in the wheel (add them to meson.build): {missing}"

# The raw engine: two stocks over four days, all in the first, decided on the first date and
# bought at the next row's close (11) without costs. The portfolio starts at 1.0 and then follows
# the first stock from 11: 11 -> 12.1 -> 11 gives 1.0, 1.0, 1.1, 1.0.
dates = np.array(["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"], dtype="datetime64[ns]").astype(np.int64)
close = np.array([[10.0, 20.0], [11.0, 20.0], [12.1, 20.0], [11.0, 20.0]])
stocks = np.array(["AAA", "BBB"], dtype=object)
weights = np.array([[1.0, 0.0]])
value = trevane.backtest_(
    close,
    close,
    close,
    close,
    close,
    dates,
    stocks,
    weights,
    dates[:1],
    stocks,
    dates[:1],
    fee_ratio=0.0,
    tax_ratio=0.0,
)
np.testing.assert_allclose(np.asarray(value), [1.0, 1.0, 1.1, 1.0], rtol=1e-12)
print("backtest_:", np.asarray(value).round(4).tolist())

# The layer: the demo end to end on a small market, in a child process as a user runs it.
demo = subprocess.run(
    [sys.executable, "-m", "zelvor.demo", "--stocks", "40", "--years", "2", "--top", "5"],
    capture_output=True,
    text=True,
    timeout=300,
)
print(demo.stdout[-2000:], demo.stderr[-2000:], sep="\n")
assert demo.returncode == 0, f"the demo exited with {demo.returncode}"
print("wheel smoke test: ok")
