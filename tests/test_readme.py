"""Runs the examples of README.md and of every page under docs/: ```python blocks with `>>>` as
doctests, the others as scripts; ```console blocks through the installed `chopwise` command, each
`$` line in a shell, its output (standard output and error) compared with the lines under it.
```sh blocks are only shown."""

import doctest
import fnmatch
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = sorted((ROOT / "docs").glob("*.md"))
# Pages that describe the tree and the build: their blocks are shell lines to read, not to run.
WITHOUT_EXAMPLES = {"architecture.md", "building.md"}
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)
CONSOLE = re.compile(r"^```console\n(.*?)^```$", re.S | re.M)
# Where the installed command is: beside this interpreter, as pip puts it.
BIN = Path(sys.executable).parent


def python_blocks(path: Path = README) -> list[tuple[int, str]]:
    text = path.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 2, m.group(1)) for m in BLOCK.finditer(text)]


def console_blocks(path: Path) -> list[tuple[int, list[tuple[str, str]]]]:
    """Each console block at its first line, as (command, expected output) pairs."""
    text = path.read_text(encoding="utf-8")
    blocks = []
    for m in CONSOLE.finditer(text):
        steps: list[tuple[str, list[str]]] = []
        for line in m.group(1).splitlines():
            if line.startswith("$ "):
                steps.append((line[2:], []))
            else:
                assert steps, f"{path.name}: output before any command in a console block"
                steps[-1][1].append(line + "\n")
        blocks.append((text.count("\n", 0, m.start()) + 2, [(cmd, "".join(out)) for cmd, out in steps]))
    return blocks


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


def run_console(steps: list[tuple[str, str]], where: Path) -> None:
    """Runs the commands in order in `where`, which sees the repository's examples/ as its own."""
    (where / "examples").symlink_to(ROOT / "examples")
    env = dict(os.environ, PATH=f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}")
    for command, expected in steps:
        done = subprocess.run(
            ["sh", "-c", command],
            cwd=where,
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            timeout=120,
            check=False,
        )
        assert done.stdout.decode("utf-8") == expected, f"$ {command}"


BLOCKS = python_blocks()
README_CONSOLE = console_blocks(README)


@pytest.mark.parametrize(("line", "code"), BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_readme_block(line, code, tmp_path, monkeypatch):
    # Examples that write files do so in a scratch directory.
    monkeypatch.chdir(tmp_path)
    run_block(README, line, code)


@pytest.mark.parametrize(("line", "steps"), README_CONSOLE, ids=[f"line{line}" for line, _ in README_CONSOLE])
def test_readme_console_block(line, steps, tmp_path):
    run_console(steps, tmp_path)


def test_readme_has_examples():
    # Guards against the block patterns silently matching nothing: one example of the module and
    # one of the library, one of the command.
    assert len(BLOCKS) >= 2 and len(README_CONSOLE) >= 1


PAGE_BLOCKS = [(page, line, code) for page in PAGES for line, code in python_blocks(page)]
PAGE_CONSOLE = [(page, line, steps) for page in PAGES for line, steps in console_blocks(page)]


@pytest.mark.parametrize(
    ("page", "line", "code"), PAGE_BLOCKS, ids=[f"{page.stem}-line{line}" for page, line, _ in PAGE_BLOCKS]
)
def test_docs_block(page, line, code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    run_block(page, line, code)


@pytest.mark.parametrize(
    ("page", "line", "steps"),
    PAGE_CONSOLE,
    ids=[f"{page.stem}-line{line}" for page, line, _ in PAGE_CONSOLE],
)
def test_docs_console_block(page, line, steps, tmp_path):
    run_console(steps, tmp_path)


def test_docs_have_examples():
    # Every page but the ones that describe the tree has examples that run; a new page must
    # bring its own, or be named here.
    with_examples = {page.name for page, _, _ in PAGE_BLOCKS} | {page.name for page, _, _ in PAGE_CONSOLE}
    assert with_examples == {page.name for page in PAGES} - WITHOUT_EXAMPLES
    assert {page.name for page in PAGES} >= WITHOUT_EXAMPLES
    assert {"command.md"} <= {page.name for page, _, _ in PAGE_CONSOLE}


def test_console_blocks_run_the_command():
    # A console block is there to show the command; one that never runs it checks nothing of it.
    for _, _, steps in PAGE_CONSOLE:
        assert any("chopwise" in command for command, _ in steps)
    for _, steps in README_CONSOLE:
        assert any("chopwise" in command for command, _ in steps)


@pytest.mark.parametrize(
    ("block", "wrong"),
    [
        ("$ echo one\none\n", None),
        ("$ echo one\ntwo\n", "$ echo one"),
        ("$ printf 'x\\n' > f.txt\n$ cat f.txt\nx\n", None),
        ('$ chopwise count missing.txt; echo "exit $?"\nexit 0\n', "$ chopwise count missing.txt"),
    ],
    ids=["same-output", "other-output", "a-file-between-commands", "error-and-status"],
)
def test_console_runner_compares_every_line(tmp_path, block, wrong):
    # The runner itself: a block whose output differs from what it shows fails at that command.
    page = tmp_path / "page.md"
    page.write_text(f"```console\n{block}```\n", encoding="utf-8")
    ((_, steps),) = console_blocks(page)
    where = tmp_path / "run"
    where.mkdir()
    if wrong is None:
        run_console(steps, where)
        return
    with pytest.raises(AssertionError, match=re.escape(wrong)):
        run_console(steps, where)


# --- the pages that describe the tree must describe the tree there is

TREE_PAGES = [ROOT / "docs" / name for name in sorted(WITHOUT_EXAMPLES)]
TRACKED = (
    "src",
    "python",
    "tests",
    "bench",
    "tools",
    "cmake",
    "examples",
    "chopwiseCXX-stubs",
    "docs",
    ".ci",
)
TOP_FILES = ("Makefile", "CMakeLists.txt", "pyproject.toml", "README.md")
# Places that builds and runs make, never files of the tree.
MADE = ("build/", "dist/", ".venv", "bench/data/")


def tree_files() -> set[str]:
    found = {p.relative_to(ROOT).as_posix() for top in TRACKED for p in (ROOT / top).rglob("*")}
    return found | set(TRACKED) | set(TOP_FILES)


def missing_paths(text: str, files: set[str]) -> tuple[list[str], list[str]]:
    """The paths a page names in backquotes that the tree lacks: those with a folder (globs
    allowed), and bare file names, which some folder must hold."""
    quoted = re.findall(r"`([\w.*/-]+)`", text)
    with_folder = {q.rstrip("/") for q in quoted if "/" in q and not q.startswith(MADE)}
    bare = {q for q in quoted if "/" not in q and re.fullmatch(r"[\w-]+\.(hpp|cpp|py|cmake|txt)", q)}
    names = {f.rsplit("/", 1)[-1] for f in files}
    lacking = [p for p in sorted(with_folder) if not any(fnmatch.fnmatchcase(f, p) for f in files)]
    return lacking, sorted(b for b in bare if b not in names)


@pytest.mark.parametrize("page", TREE_PAGES, ids=[p.stem for p in TREE_PAGES])
def test_tree_pages_name_only_what_exists(page):
    text = page.read_text(encoding="utf-8")
    assert re.search(r"`(src|tests|bench|tools)/\w", text), page.name  # the pattern sees its paths
    assert missing_paths(text, tree_files()) == ([], [])


def test_architecture_names_every_source_folder():
    text = (ROOT / "docs" / "architecture.md").read_text(encoding="utf-8")
    folders = {p.parent.relative_to(ROOT).as_posix() for p in (ROOT / "src").rglob("*.[ch]pp")}
    folders |= {p.parent.relative_to(ROOT).as_posix() for p in (ROOT / "python").rglob("*.py")}
    assert sorted(f for f in folders if f + "/" not in text) == []


@pytest.mark.parametrize(
    ("text", "missing"),
    [
        ("`src/tokens/joiner.hpp` and `grouper.hpp`, `src/columns/utf8_check.*`", ([], [])),
        (
            "`src/tokens/no_such.hpp` and `src/nothing/*.cpp`",
            (["src/nothing/*.cpp", "src/tokens/no_such.hpp"], []),
        ),
        ("`src/charlayer/` and `gone.hpp`, built in `build/native`", ([], ["gone.hpp"])),
    ],
)
def test_named_paths_are_looked_up(text, missing):
    assert missing_paths(text, tree_files()) == missing
