"""Runs every ```python block of README.md and of the pages under docs/: `>>>` blocks as doctests,
the others as scripts."""

import doctest
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = [ROOT / "docs" / "columns.md"]
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def python_blocks(path: Path = README) -> list[tuple[int, str]]:
    text = path.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 2, m.group(1)) for m in BLOCK.finditer(text)]


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


BLOCKS = python_blocks()


@pytest.mark.parametrize(("line", "code"), BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_readme_block(line, code, tmp_path, monkeypatch):
    # Examples that write files do so in a scratch directory.
    monkeypatch.chdir(tmp_path)
    run_block(README, line, code)


def test_readme_has_examples():
    # Guards against the block pattern silently matching nothing.
    assert len(BLOCKS) >= 6


PAGE_BLOCKS = [(page, line, code) for page in PAGES for line, code in python_blocks(page)]


@pytest.mark.parametrize(
    ("page", "line", "code"), PAGE_BLOCKS, ids=[f"{page.stem}-line{line}" for page, line, _ in PAGE_BLOCKS]
)
def test_docs_block(page, line, code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    run_block(page, line, code)


def test_docs_have_examples():
    assert {page for page, _, _ in PAGE_BLOCKS} == set(PAGES)
