"""The version is written once, in meson.build, and everything else reads it from there."""

import importlib.metadata
import pathlib
import re
import tomllib

import zelvor

ROOT = pathlib.Path(__file__).resolve().parents[2]


def meson_version() -> str:
    """The `version:` of meson.build's `project(...)` call."""
    text = (ROOT / "meson.build").read_text(encoding="utf-8")
    project = re.search(r"^project\((.*?)^\)", text, re.M | re.S)
    assert project, "meson.build has no project() call"
    versions = re.findall(r"\bversion\s*:\s*'([^']+)'", project.group(1))
    assert len(versions) == 1, f"meson.build's project() should give one version, gives {versions}"
    return versions[0]


def test_the_version_is_meson_builds_everywhere():
    with open(ROOT / "pyproject.toml", "rb") as f:
        project = tomllib.load(f)["project"]
    # A second copy in pyproject.toml is how the places drift apart: it must stay dynamic.
    assert "version" not in project
    assert "version" in project.get("dynamic", [])
    assert zelvor.__version__ == importlib.metadata.version("zelvor") == meson_version()


def test_the_changelog_has_an_entry_for_the_version():
    headings = re.findall(r"^## \[([^\]]+)\]", (ROOT / "CHANGELOG.md").read_text(encoding="utf-8"), re.M)
    assert headings[:1] == ["Unreleased"]
    assert meson_version() in headings[1:]
