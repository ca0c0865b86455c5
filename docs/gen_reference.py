"""Writes the API reference pages at build time: one page per public name of `zelvor.__all__`.

Run by the mkdocs-gen-files plugin (see mkdocs.yml). The names are read from src/zelvor/__init__.py
without importing the package, so the site builds without compiling the extensions, and a name
added to `__all__` gets its page at the next build.
"""

import ast
import pathlib

import mkdocs_gen_files

INIT = pathlib.Path(__file__).parents[1] / "src" / "zelvor" / "__init__.py"
STATS = pathlib.Path(__file__).parents[1] / "src" / "zelvor" / "_stats.py"


def public_names(init: pathlib.Path) -> list[str]:
    """The strings of the module-level `__all__ = [...]` of `init`, in their order."""
    for node in ast.parse(init.read_text(encoding="utf-8")).body:
        targets = node.targets if isinstance(node, ast.Assign) else []
        if any(isinstance(t, ast.Name) and t.id == "__all__" for t in targets):
            return list(ast.literal_eval(node.value))
    raise SystemExit(f"{init}: no __all__ list")


def definitions(init: pathlib.Path) -> dict[str, str]:
    """Where each name imported by `init` is defined: ``backtest`` -> ``zelvor.backtest.backtest``.

    The reference points at the definition, since a name may also be a submodule's (the function
    `zelvor.backtest` of the module `zelvor.backtest`), which the static reader would show instead.
    """
    found = {}
    for node in ast.parse(init.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            for alias in node.names:
                if alias.name == (alias.asname or alias.name):
                    found[alias.asname or alias.name] = f"{node.module}.{alias.name}"
    return found


def statistics_rows(path: pathlib.Path) -> list[list]:
    """The entries of the table `STATISTICS` in `path`, read without importing the package."""
    for node in ast.parse(path.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.target.id == "STATISTICS":
            assert isinstance(node.value, ast.Tuple)
            return [
                [ast.literal_eval(arg) for arg in call.args] for call in node.value.elts if isinstance(call, ast.Call)
            ]
    raise SystemExit(f"{path}: no STATISTICS table")


def statistics_page(rows: list[list]) -> str:
    """The statistics table as a page: one row per figure, in the order `Report.stats` gives them."""
    better = {True: "higher", False: "lower", None: ""}
    where = {"period": "every run", "run": "every run", "report": "`Report.stats`", "sweep": "a sweep's table"}
    lines = [
        "# The statistics",
        "",
        "Every figure of `Report.stats` and of a sweep's table, in their order, generated from the one table",
        "of them (`zelvor._stats.STATISTICS`). The conventions are [Statistics](../statistics.md)'; "
        '"better" is which way a sweep\'s `best` looks.',
        "",
        "| name | label | unit | better | in | description |",
        "| --- | --- | --- | --- | --- | --- |",
    ]
    for name, label, unit, higher, source, doc in rows:
        lines.append(f"| `{name}` | {label} | {unit} | {better[higher]} | {where[source]} | {doc} |")
    return "\n".join(lines) + "\n"


def kind(name: str) -> str:
    """Classes (and exceptions and warnings) start with a capital letter in this package."""
    return "Classes" if name[:1].isupper() else "Functions"


names = public_names(INIT)
where = definitions(INIT)
summary = ["# API reference", "", "Every public name of `zelvor` (its `__all__`), generated from the docstrings.", ""]
for group in ("Functions", "Classes"):
    members = sorted((n for n in names if kind(n) == group), key=str.lower)
    summary += [f"## {group}", ""]
    for name in members:
        with mkdocs_gen_files.open(f"reference/{name}.md", "w") as page:
            page.write(f"# zelvor.{name}\n\n::: {where.get(name, f'zelvor.{name}')}\n")
        mkdocs_gen_files.set_edit_path(f"reference/{name}.md", "src/zelvor/__init__.py")
        summary.append(f"- [`zelvor.{name}`]({name}.md)")
    summary.append("")
summary += [
    "## The engine modules",
    "",
    "- [`zelvor.core.trevane`](trevane.md), [`zelvor.core.quelmo`](quelmo.md) and"
    " [`zelvor.core.tamsil`](tamsil.md), from their type stubs.",
    "",
]
for module in ("trevane", "quelmo", "tamsil"):
    with mkdocs_gen_files.open(f"reference/{module}.md", "w") as page:
        page.write(f"# zelvor.core.{module}\n\n::: zelvor.core.{module}\n")
summary += [
    "## The statistics",
    "",
    "- [Every figure of `Report.stats`](statistics.md), from the one table of them.",
    "",
]
with mkdocs_gen_files.open("reference/statistics.md", "w") as page:
    page.write(statistics_page(statistics_rows(STATS)))
mkdocs_gen_files.set_edit_path("reference/statistics.md", "src/zelvor/_stats.py")
with mkdocs_gen_files.open("reference/index.md", "w") as page:
    page.write("\n".join(summary))

# The section's navigation (mkdocs-literate-nav): the overview, then the same groups.
nav = ["- [Overview](index.md)"]
for group in ("Functions", "Classes"):
    nav.append(f"- {group}")
    nav += [f"    - [{n}]({n}.md)" for n in sorted((n for n in names if kind(n) == group), key=str.lower)]
nav.append("- Engine modules")
nav += [f"    - [core.{m}]({m}.md)" for m in ("trevane", "quelmo", "tamsil")]
nav.append("- [Statistics table](statistics.md)")
with mkdocs_gen_files.open("reference/SUMMARY.md", "w") as page:
    page.write("\n".join(nav) + "\n")
