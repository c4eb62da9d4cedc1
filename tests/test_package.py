"""The package page (docs/package.md) and the installed distribution's metadata: the page's
examples run, its type table is the module's (and its page's), it works off this repository, and
the installed metadata carries that page and the licence."""

import re
from importlib.metadata import distribution
from pathlib import Path

import pytest
from packaging.specifiers import SpecifierSet

import chopwiseCXX
from test_readme import python_blocks, run_block

ROOT = Path(__file__).resolve().parent.parent
PAGE = ROOT / "docs" / "package.md"
BLOCKS = python_blocks(PAGE)


@pytest.mark.parametrize(("line", "code"), BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_page_block(line, code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    run_block(PAGE, line, code)


def test_page_examples_found():
    # A first example as a doctest and a script: the block pattern must see both.
    assert len(BLOCKS) >= 2 and any(">>>" in code for _, code in BLOCKS)


def test_page_type_table_is_the_modules():
    text = PAGE.read_text(encoding="utf-8")
    rows = re.findall(r"^\| `([A-Z]{6})` \|\s+(\d+) \|", text, re.M)
    assert rows == [(name, str(int(member))) for name, member in chopwiseCXX.TokenType.__members__.items()]


def type_rows(path):
    rows = re.findall(r"^\| `([A-Z]{6})` \|(.*)\|$", path.read_text(encoding="utf-8"), re.M)
    return [(name, [cell.strip() for cell in rest.split("|")]) for name, rest in rows]


def test_page_type_table_is_the_module_pages():
    # The index page stands alone, so it repeats the table of the module's page; the two must say
    # the same.
    assert type_rows(PAGE) == type_rows(ROOT / "docs" / "module.md") != []


def test_page_links_work_off_this_repository():
    # An index shows the page without the repository: a relative link or image is broken there.
    text = PAGE.read_text(encoding="utf-8")
    targets = re.findall(r"\]\(([^)]*)\)", text) + re.findall(r"<img[^>]*src=\"([^\"]*)\"", text)
    assert [t for t in targets if not t.startswith("https://")] == []


def test_installed_metadata_carries_the_page_and_the_licence():
    dist = distribution("chopwiseCXX")
    assert dist.metadata["Description-Content-Type"].startswith("text/markdown")
    assert dist.metadata.json["description"].strip() == PAGE.read_text(encoding="utf-8").strip()
    assert dist.metadata["License-Expression"] == "MIT"
    licence = [f for f in dist.files or [] if f.name == "LICENSE"]
    assert len(licence) == 1
    assert licence[0].read_text(encoding="utf-8") == (ROOT / "LICENSE").read_text(encoding="utf-8")


def test_installed_metadata_allows_only_the_interpreter_the_module_imports_on():
    # The module refuses any interpreter but 3.13 at import; pip must not offer it to others.
    python = SpecifierSet(distribution("chopwiseCXX").metadata["Requires-Python"])
    assert [v for v in ("3.12.9", "3.13.0", "3.13.11", "3.14.0", "3.130.0") if v in python] == [
        "3.13.0",
        "3.13.11",
    ]
