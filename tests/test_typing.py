"""The installed stubs: mypy accepts typed use, reports misuse, and the stub names match the module."""

import ast
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import chopwiseCXX

STUB = Path(sysconfig.get_paths()["purelib"]) / "chopwiseCXX-stubs" / "__init__.pyi"
# Names that exist only for type checkers.
TYPE_ONLY = {"Batch"}
# pybind11 gives the stream classes an __init__ that refuses every call; the stubs leave it out.
RUNTIME_ONLY = {("fts_stream", "__init__"), ("ffs_stream", "__init__")}

GOOD = """
import pathlib
from typing import TYPE_CHECKING, assert_type

import numpy as np
import numpy.typing as npt

import chopwiseCXX
from chopwiseCXX import ENWORD, NUMBER, RUWORD, FFTokenizer, FTTokenizer, TokenType

if TYPE_CHECKING:
    from chopwiseCXX import Batch

def words(tok: FTTokenizer | FFTokenizer) -> list[tuple[str, TokenType]]:
    tok.set_batch_size(1024)
    tok.set_filter((ENWORD | RUWORD) | int(NUMBER))
    tok.set_filter(TokenType.PNCTTN)
    tok.set_token_min_len(2)
    tok.set_token_max_len(64)
    out: list[tuple[str, TokenType]] = []
    for batch in tok.stream:
        assert_type(batch, Batch)
        types = batch["types"]
        assert_type(types, npt.NDArray[np.uint64])
        out += zip(batch["text"].split("\\0")[:-1], map(TokenType, types.tolist()))
    return out

first = FTTokenizer("Кто-то").get_batch()
if first:
    kept: npt.NDArray[np.uint64] = first["types"].copy()
assert_type(chopwiseCXX.TokenType.ENWORD | chopwiseCXX.RUWORD, int)
assert_type(TokenType.__members__, dict[str, TokenType])
assert_type(FFTokenizer(b"/tmp/x").is_fopen(), bool)
assert_type(FFTokenizer(pathlib.Path("/tmp/x")).is_fopen(), bool)
assert_type(iter(FTTokenizer(bytearray(b"x")).stream), chopwiseCXX.fts_stream)
assert_type(next(FFTokenizer("x").stream), Batch)
assert_type(int(TokenType(4)), int)
print(words(FTTokenizer("a b")), words(FFTokenizer("/dev/null")), TokenType.ENWORD.name)
"""

# The chopwise library: typed use of every function.
LIBRARY = """
import io
from collections import Counter
from pathlib import Path
from typing import assert_type
from collections.abc import Iterator

import numpy as np
import numpy.typing as npt

import chopwise
from chopwise import Token, Tokens
from chopwiseCXX import ENWORD, RUWORD, FTTokenizer, TokenType

mask: int = chopwise.mask("en", TokenType.RUWORD, "NUMBER", ENWORD | RUWORD)
batch = FTTokenizer("Ёж, hello!").get_batch()
assert_type(chopwise.tokens(batch), list[str])
found = chopwise.tokenize("Ёж", types=mask, min_len=1, max_len=64)
assert_type(found, Iterator[Token])
for token in chopwise.tokenize(b"x y", types=["en", ENWORD]):
    assert_type(token.type, TokenType)
    assert_type(token.start, int)
    text: str = token.text
files: list[Iterator[Token]] = [
    chopwise.tokenize_file(Path("a.txt"), errors="replace"),
    chopwise.tokenize_file("a.gz"),
    chopwise.tokenize_file(b"a.xz"),
    chopwise.tokenize_file(io.BytesIO(b"x")),
]
many = chopwise.tokenize_many(["a", "b"], types="ru")
assert_type(many, Tokens)
assert_type(many.types, npt.NDArray[np.uint64])
assert_type(many.doc, npt.NDArray[np.int64])
assert_type(many.text, list[str])
size: int = len(many)
counts = chopwise.count_words([Path("a.txt"), "b.txt.zst"], lower=True, min_len=2, workers=2)
assert_type(counts, Counter[str])
one: Counter[str] = chopwise.count_words("-", types=None, errors="replace", threads=None)
seen: list[int] = []
chopwise.count_words("a.txt", threads=2, progress=seen.append)
arrow_batch = chopwise.to_arrow(batch)
arrow_tokens = many.to_arrow()

import pyarrow as pa  # type: ignore[import-untyped]
import polars as pl
column = pa.array(["Ёж", None])
columns = chopwise.tokenize_many(column, threads=2, errors="replace", min_len=1)
assert_type(columns, Tokens)
assert_type(chopwise.tokenize_many(pl.Series(["x"])), Tokens)
assert_type(chopwise.tokenize_many(iter(["x"])), Tokens)
table = pa.table(columns)
lists = pa.array(columns.lists())
assert_type(chopwise.count_texts(column, lower=True, threads=2), Counter[str])
assert_type(chopwise.count_texts(["a b"]), Counter[str])
word_table = chopwise.count_texts(column, table=True)
file_table = chopwise.count_words("a.txt", table=True)
try:
    chopwise.count_texts(column)
except chopwise.DecodeError as err:
    where: tuple[str, int] = (err.source, err.offset)
"""

LIBRARY_BAD = [
    "chopwise.tokenize(1)",
    "chopwise.tokenize('x', min_len='1')",
    "chopwise.tokenize_many('x', 2)",
    "chopwise.count_words(['a'], workers='2')",
    "chopwise.count_words(['a'], threads='2')",
    "chopwise.tokenize_many(['x'], threads=1.5)",
    "chopwise.count_texts([1, 2])",
    "chopwise.count_texts(['x'], table=1)",
    "chopwise.tokenize_many([b'x'])",
    "chopwise.mask(1.5)",
    "chopwise.tokens('text')",
    "chopwise.Token('x', 4, 0, 1)",
]


# Each line is one misuse that mypy must report.
BAD = [
    'tok.set_filter("x")',
    "FTTokenizer(1)",
    "FFTokenizer(None)",
    "FFTokenizer(123)",
    "tok.set_batch_size(1.5)",
    "tok.set_token_min_len(n=3)",
    "TokenType.ENWORD | 4",
    "4 | TokenType.ENWORD",
    "(TokenType.ENWORD | TokenType.RUWORD) | TokenType.NUMBER",
    "tok.stream = tok.stream",
    "tok.is_fopen()",
    'tok.get_batch()["tokens"]',
]


def mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    script = tmp_path / "script.py"
    script.write_text(source, encoding="utf-8")
    cmd = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(script)]
    # Run outside the checkout, so only the installed module and stubs can be found.
    return subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True, timeout=300)


def test_stubs_are_installed_beside_the_module():
    assert STUB.is_file()
    assert (STUB.parent / "py.typed").is_file()


def test_mypy_accepts_typed_use(tmp_path):
    result = mypy(tmp_path, GOOD)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_reports_each_misuse(tmp_path):
    header = "from chopwiseCXX import FTTokenizer, FFTokenizer, TokenType\ntok = FTTokenizer('a')\n"
    result = mypy(tmp_path, header + "\n".join(BAD) + "\n")
    assert result.returncode == 1, result.stdout + result.stderr
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    missed = [code for n, code in enumerate(BAD, start=3) if n not in flagged]
    assert not missed, result.stdout


def stub_names() -> dict[str | None, set[str]]:
    """Top-level names (key None) and each class's names, as the stub declares them."""
    names: dict[str | None, set[str]] = {None: set()}
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.ClassDef):
            names[None].add(node.name)
            names[node.name] = {
                item.name if isinstance(item, ast.FunctionDef) else item.target.id
                for item in node.body
                if isinstance(item, ast.FunctionDef)
                or (isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name))
            }
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[None].add(node.target.id)
    return names


def runtime_names(cls: type) -> set[str]:
    # Public names, and the special methods the class defines itself (not those of `object`).
    public = {n for n in dir(cls) if not n.startswith("_")}
    special = {n for n in vars(cls) if n.startswith("__") and n.endswith("__")}
    return public | special - {"__doc__", "__module__"}


def test_stub_declares_exactly_the_module_names():
    declared = stub_names()
    assert declared[None] - TYPE_ONLY == {n for n in dir(chopwiseCXX) if not n.startswith("_")}
    assert not any(hasattr(chopwiseCXX, n) for n in TYPE_ONLY)


@pytest.mark.parametrize("cls", ["TokenType", "FTTokenizer", "FFTokenizer", "fts_stream", "ffs_stream"])
def test_stub_declares_exactly_the_class_names(cls):
    declared = stub_names()[cls]
    runtime = runtime_names(getattr(chopwiseCXX, cls)) - {n for c, n in RUNTIME_ONLY if c == cls}
    assert declared == runtime


def test_mypy_accepts_typed_use_of_the_library(tmp_path):
    result = mypy(tmp_path, LIBRARY)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_reports_misuse_of_the_library(tmp_path):
    result = mypy(tmp_path, "import chopwise\n" + "\n".join(LIBRARY_BAD) + "\n")
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    missed = [code for n, code in enumerate(LIBRARY_BAD, start=2) if n not in flagged]
    assert result.returncode == 1 and not missed, result.stdout


def test_library_is_typed():
    import chopwise

    assert (Path(chopwise.__file__).parent / "py.typed").is_file()
