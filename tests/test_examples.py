"""The scripts under examples/, run on small inputs."""

import ast
import io
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

from chopwiseCXX import FTTokenizer

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

import chopwise  # noqa: E402
import summary  # noqa: E402
import word_freq_parallel as wf  # noqa: E402
from batches import read_batches  # noqa: E402

# Two lines of text with the counts a reader can check by eye.
TEXT = "Кто-то и КТО-ТО, ёж и Ёж.\nThe e-mail, the E-MAIL: 123-456 the\n"
TEXT_WORDS = Counter({"кто-то": 2, "и": 2, "ёж": 2, "the": 3, "e-mail": 2})


def test_sample_listing_covers_the_whole_text():
    out = subprocess.run(
        [sys.executable, str(EXAMPLES / "summary.py")], capture_output=True, text=True, check=True
    ).stdout
    listing, _, totals = out.partition("\ntokens per type:\n")
    pairs = [line.rsplit(" ", 1) for line in listing.splitlines()]
    tokens = [ast.literal_eval(tok.strip()) for tok, _ in pairs]
    assert "".join(tokens) == (EXAMPLES / "sample.txt").read_text(encoding="utf-8")
    listed = {ast.literal_eval(tok.strip()): name for tok, name in pairs}
    for token, name in [
        ("кто-то", "RUWORD"),
        ("e-mail", "ENWORD"),
        ("555-0199", "NUMBER"),
        ("Ёжик", "RUWORD"),
        ("ёлкой", "RUWORD"),
        ("«", "PNCTTN"),
        ("\n", "NWLINE"),
    ]:
        assert listed[token] == name
    counts = dict(line.split() for line in totals.splitlines())
    assert int(counts.pop("total")) == len(tokens)
    assert {k: int(v) for k, v in counts.items()} == Counter(name for _, name in pairs)


def summarise(path: Path, **kwargs) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    code = summary.summarise_file(str(path), out, err, **kwargs)
    return code, out.getvalue(), err.getvalue()


def test_file_summary_counts_types_and_words(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text(TEXT * 50, encoding="utf-8")
    code, out, err = summarise(path, top=2)
    assert code == 0 and err == ""
    table = out.split("tokens per type:\n")[1].split("most frequent")[0]
    counts = {name: int(n.replace(",", "")) for name, n in map(str.split, table.splitlines())}
    assert counts == {
        "WRDSPC": 500,
        "NWLINE": 100,
        "ENWORD": 250,
        "NUMBER": 50,
        "RUWORD": 300,
        "PNCTTN": 200,
        "total": 1400,
    }
    top = out.split("most frequent words:\n")[1].split()
    assert top == ["the", "150", "кто-то", "100"]


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("terminal", [True, False])
def test_file_summary_progress_and_bad_batches(tmp_path, terminal):
    path = tmp_path / "t.txt"
    # An encoded surrogate passes the tokenizer but cannot be decoded: that one batch is skipped.
    path.write_bytes(TEXT.encode() * 1000 + b"x \xed\xa0\x80 y\n")
    out, err = io.StringIO(), Terminal() if terminal else io.StringIO()
    assert summary.summarise_file(str(path), out, err, progress_min_bytes=0) == 0
    assert "skipped 1 batch(es)" in out.getvalue()
    assert "MB/s (tokenizing and counting)" in out.getvalue()
    # The bar only on a terminal: in a log file every frame would stay.
    if terminal:
        assert err.getvalue().rstrip().endswith("100%") and "\r" in err.getvalue()
    else:
        assert err.getvalue() == ""


def test_file_summary_missing_file(tmp_path):
    code, _out, err = summarise(tmp_path / "missing.txt")
    assert code == 1 and "cannot open" in err


@pytest.mark.parametrize(
    ("text", "tokens"),
    [
        ("a\0b", ["a", "\0", "b"]),
        ("\0\0 x", ["\0", "\0", " ", "x"]),
        ("кто-то\0", ["кто-то", "\0"]),
        ("plain text", ["plain", " ", "text"]),
    ],
)
def test_tokens_keeps_nul_tokens_aligned(text, tokens):
    batch = FTTokenizer(text).get_batch()
    assert chopwise.tokens(batch) == tokens
    assert len(tokens) == len(batch["types"])


def test_read_batches_skips_only_the_bad_batch():
    tok = FTTokenizer(b"good words \xed\xa0\x80 more words")
    tok.set_batch_size(3)
    errors = []
    texts = [chopwise.tokens(b) for b in read_batches(tok, errors.append)]
    assert texts == [["good", " ", "words"], ["more", " ", "words"]]
    assert len(errors) == 1 and isinstance(errors[0], UnicodeDecodeError)


@pytest.fixture
def corpus(tmp_path):
    (tmp_path / "sub").mkdir()
    files = {
        "a.txt": TEXT * 3,
        "b.txt": (EXAMPLES / "sample.txt").read_text(encoding="utf-8"),
        "sub/c.txt": "Ёлка ёлка ЁЛКА, tree-top " * 5000,
        "empty.txt": "",
    }
    for name, text in files.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    return tmp_path


def test_count_file_counts_lowercased_words(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text(TEXT, encoding="utf-8")
    assert wf.count_file(str(path)) == TEXT_WORDS
    with pytest.raises(FileNotFoundError):
        wf.count_file(str(tmp_path / "missing.txt"))


def test_count_file_across_chunks(tmp_path, monkeypatch):
    # Chunk boundaries inside a hyphenated word must not split it.
    path = tmp_path / "t.txt"
    path.write_text(TEXT * 40, encoding="utf-8")
    monkeypatch.setattr(chopwise._sources, "CHUNK_SIZE", 5)
    assert wf.count_file(str(path)) == Counter({w: n * 40 for w, n in TEXT_WORDS.items()})


def test_parallel_equals_serial(corpus):
    paths = wf.list_files(str(corpus))
    assert len(paths) == 4
    serial = wf.count_serial(paths)
    assert serial["ёлка"] == 15000 + 1 and serial["tree-top"] == 5000  # one Ёлка in the sample
    assert wf.count_parallel(paths, workers=2) == serial


def test_dask_equals_serial(corpus):
    import chopwise
    import word_freq_dask

    paths = word_freq_dask.list_files(str(corpus))
    assert len(paths) == 4
    assert word_freq_dask.count_folder(str(corpus)) == chopwise.count_words(paths, lower=True)
