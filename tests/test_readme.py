"""Runs every example of the README and of the pages under docs/: ```python blocks with `>>>` as
doctests, other ```python blocks as scripts, and each `$ command` of a ```console block, whose
standard output must be the lines the page shows after it. ```sh blocks show what to type (an
install, a cluster started by hand) and are not run."""

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
# The package page's blocks run in test_package.py, with the checks of that page.
PAGES = [README, *sorted(p for p in (ROOT / "docs").glob("*.md") if p.name != "package.md")]
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)
CONSOLE = re.compile(r"^```console\n(.*?)^```$", re.S | re.M)
COMMAND = re.compile(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", re.M)


def python_blocks(path: Path = README) -> list[tuple[int, str]]:
    text = path.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 2, m.group(1)) for m in BLOCK.finditer(text)]


def console_blocks(path: Path) -> list[tuple[int, str]]:
    text = path.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 2, m.group(1)) for m in CONSOLE.finditer(text)]


def run_block(path: Path, line: int, code: str) -> None:
    """Runs one block, reporting failures at their line in the Markdown file."""
    if ">>>" not in code:
        exec(compile("\n" * (line - 1) + code, str(path), "exec"), {"__name__": "readme"})
        return
    test = doctest.DocTestParser().get_doctest(code, {}, f"{path.name}:{line}", str(path), line - 1)
    report: list[str] = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


def run_console(path: Path, line: int, block: str) -> None:
    """Runs each command in the repository's root with this environment's `chopwise` first on
    the PATH, as a user of the installed package runs it."""
    env = {**os.environ, "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}
    commands = COMMAND.findall(block)
    assert commands, f"{path.name}:{line}: a console block without a `$ ` line"
    for command, expected in commands:
        done = subprocess.run(
            ["sh", "-c", command], cwd=ROOT, env=env, capture_output=True, text=True, timeout=60, check=False
        )
        assert (done.returncode, done.stdout) == (0, expected), f"{path.name}:{line}: {command}"


def _cases(find):
    cases = [(page, line, code) for page in PAGES for line, code in find(page)]
    return pytest.mark.parametrize(
        ("page", "line", "code"), cases, ids=[f"{page.name}:{line}" for page, line, _ in cases]
    )


@_cases(python_blocks)
def test_python_block(page, line, code, tmp_path, monkeypatch):
    # Examples that write files do so in a scratch directory.
    monkeypatch.chdir(tmp_path)
    run_block(page, line, code)


@_cases(console_blocks)
def test_console_block(page, line, code):
    run_console(page, line, code)


@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_every_page_has_examples(page):
    # Guards against the block patterns silently matching nothing.
    assert python_blocks(page) or console_blocks(page)


def test_readme_has_examples_of_the_module_the_library_and_the_command():
    code = "".join(code for _, code in python_blocks())
    assert "chopwiseCXX" in code and "chopwise." in code and console_blocks(README)
