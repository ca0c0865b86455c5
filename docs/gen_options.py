"""Writes the options page at build time from the options table, src/zelvor/_options.py.

Run by the mkdocs-gen-files plugin (see mkdocs.yml). The table's module imports nothing of the
package, so it is loaded from its file and the site builds without compiling the extensions.
"""

import pathlib
import sys
import types

import mkdocs_gen_files

SOURCE = pathlib.Path(__file__).parents[1] / "src" / "zelvor" / "_options.py"


def load(path: pathlib.Path):
    module = types.ModuleType("_zelvor_options")
    module.__file__ = str(path)
    sys.modules[module.__name__] = module  # the dataclasses look their module up while being made
    exec(compile(path.read_text(encoding="utf-8"), str(path), "exec"), module.__dict__)
    return module


def cell(text: str) -> str:
    return text.replace("|", "\\|")


options = load(SOURCE)


def shown(value) -> str:
    return "—" if value is options.NO_OFF else f"`{value!r}`"


lines = [
    "# Options",
    "",
    "Every option of [`backtest`](reference/backtest.md) after the weights and the market, in the",
    "order of its signature. The scalar ones (from `fee_ratio` to `window_step`) are also the options",
    "of `Prepared.run` and `Prepared.stats`, checked at every run; the others are taken once by",
    "[`prepare`](reference/prepare.md). A [sweep](sweeps.md) takes any of them as a grid key.",
    "",
    "| option | default | off | accepts | unit | what it does |",
    "| --- | --- | --- | --- | --- | --- |",
]
for option in options.TABLE:
    lines.append(
        f"| `{option.name}` | {shown(option.default)} | {shown(option.off)} | {cell(option.accepted)} "
        f"| {cell(option.unit) or '—'} | {cell(option.summary)} |"
    )
lines += [
    "",
    "Off: the value that turns the option off (— for an option without one). A stop level given as",
    "None is passed to the engine as the engine's own default, a level never reached. Types and",
    "details: the parameters of [`backtest`](reference/backtest.md).",
    "",
]
with mkdocs_gen_files.open("options.md", "w") as page:
    page.write("\n".join(lines))
mkdocs_gen_files.set_edit_path("options.md", "src/zelvor/_options.py")
