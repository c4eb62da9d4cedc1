"""Runs the native checks of the core, which need no Python, through ctest."""

import subprocess

import pytest

from conftest import ROOT, native_env, tool


@pytest.mark.parametrize(
    "check",
    [
        "test_core",
        "test_window_scan",
        "test_wide_kernels.*",
        "test_utf8_text",
        "test_polls",
        "test_columns",
        "test_count_table",
    ],
)
def test_native_checks(native_build, check):
    run = subprocess.run(
        [tool("ctest"), "--test-dir", str(native_build), "--output-on-failure", "-R", f"^{check}$"],
        capture_output=True,
        text=True,
        env=native_env(),
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert "100% tests passed" in run.stdout


def check_core_includes(tree):
    return subprocess.run(
        [
            tool("cmake"),
            "-DCXX=c++",
            f"-DSOURCE_DIR={tree}",
            "-P",
            str(ROOT / "cmake" / "check_core_includes.cmake"),
        ],
        capture_output=True,
        text=True,
        env=native_env(),
    )


def test_the_core_reaches_no_python_header():
    run = check_core_includes(ROOT)
    assert run.returncode == 0, run.stderr


# A core file that reaches a Python header in any of these ways fails the build's check.
@pytest.mark.parametrize(
    "core_file, other_file",
    [
        ("#include <Python.h>\n", None),
        ('#include "pybind11/numpy.h"\n', None),
        ("#include <python3.13/Python.h>\n", None),
        ('#include "../python/module/glue.hpp"\n', "#include <pybind11/pybind11.h>\n"),
        ("#ifdef WITH_PYTHON\n#  include <Python.h>\n#endif\n", None),
    ],
)
@pytest.mark.parametrize("folder", ["charlayer", "tokens", "tokenizers", "columns"])
def test_a_python_header_in_the_core_fails_the_check(tmp_path, folder, core_file, other_file):
    (tmp_path / "src" / folder).mkdir(parents=True)
    (tmp_path / "src" / folder / "plain.hpp").write_text("#include <cstdint>\n")
    (tmp_path / "src" / folder / "leaky.hpp").write_text(core_file)
    if other_file:
        (tmp_path / "src" / "python" / "module").mkdir(parents=True)
        (tmp_path / "src" / "python" / "module" / "glue.hpp").write_text(other_file)
    run = check_core_includes(tmp_path)
    assert run.returncode != 0
    assert "leaky.hpp" in run.stderr and "plain.hpp" not in run.stderr
