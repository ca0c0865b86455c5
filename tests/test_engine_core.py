"""Builds the engine core's standalone checks (tests/cpp/engine_check.cpp, a fake host, no Python)
with the system C++ compiler and runs them; any failed check fails this test."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CXX = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
SOURCES = [ROOT / "src" / "cpp" / "trevane" / "engine.cpp", ROOT / "tests" / "cpp" / "engine_check.cpp"]
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer"]


def _sanitizers_work(tmp_path):
    probe = tmp_path / "probe.cpp"
    probe.write_text("int main() { return 0; }\n")
    exe = tmp_path / "probe"
    built = subprocess.run([CXX, *SANITIZE, str(probe), "-o", str(exe)], capture_output=True)
    return built.returncode == 0 and subprocess.run([str(exe)], capture_output=True).returncode == 0


@pytest.mark.skipif(CXX is None, reason="no C++ compiler")
def test_engine_core_checks(tmp_path):
    # Under the sanitizers where the toolchain has them, so an out-of-bounds read fails loudly.
    flags = SANITIZE if _sanitizers_work(tmp_path) else []
    exe = tmp_path / "engine_check"
    cmd = [
        CXX,
        "-std=c++20",
        "-Wall",
        "-Wextra",
        "-Werror",
        "-g",
        *flags,
        "-I",
        str(ROOT / "src" / "cpp"),
        *map(str, SOURCES),
        "-o",
        str(exe),
    ]
    built = subprocess.run(cmd, capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    ran = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60, env=env)
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert "all engine checks passed" in ran.stdout
