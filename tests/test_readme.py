"""Runs every ```python block of README.md: `>>>` blocks as doctests, the others as scripts."""

import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def python_blocks() -> list[tuple[int, str]]:
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 2, m.group(1)) for m in BLOCK.finditer(text)]


BLOCKS = python_blocks()


@pytest.mark.parametrize(("line", "code"), BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_readme_block(line, code, tmp_path, monkeypatch):
    # Examples that write files do so in a scratch directory.
    monkeypatch.chdir(tmp_path)
    if ">>>" not in code:
        exec(compile("\n" * (line - 1) + code, str(README), "exec"), {"__name__": "readme"})
        return
    test = doctest.DocTestParser().get_doctest(code, {}, f"README.md:{line}", str(README), line - 1)
    report: list[str] = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


def test_readme_has_examples():
    # Guards against the block pattern silently matching nothing.
    assert len(BLOCKS) >= 6
