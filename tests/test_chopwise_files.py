"""chopwise on files: every path form and compression, chunking, counting in one process and in
several, and the errors a reader must see."""

import bz2
import gzip
import io
import lzma
import os
import re
import shutil
import subprocess
import sys
from collections import Counter
from itertools import pairwise
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import chopwise
import chopwiseCXX as cw
from chopwise import _count, _shards, _sources

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
# Real text, with lines long and short, then the awkward cases: U+0000, characters past U+FFFF,
# CR LF, hyphens at line ends, a run longer than a token, no line feed at the end.
SAMPLE = (EXAMPLES / "sample.txt").read_text(encoding="utf-8")
TEXT = SAMPLE * 40 + "a\0b 🔎 x-\r\nКто-\n" + "я" * 300 + " e-mail-"
WORDS = int(cw.ENWORD | cw.RUWORD)
ALPHABET = "aZк Ёё9-–\n\r\0.,é🔎\t"


def compress(path: Path, data: bytes) -> Path:
    if path.suffix == ".zst":
        zstandard = pytest.importorskip("zstandard")
        data = zstandard.ZstdCompressor().compress(data)
    else:
        data = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}.get(path.suffix, bytes)(
            data
        )
    path.write_bytes(data)
    return path


def module_file_counts(path, types=WORDS, min_len=0, max_len=512):
    """The count of the tokens of FFTokenizer over the file."""
    tok = cw.FFTokenizer(str(path))
    assert tok.is_fopen()
    tok.set_filter(types)
    tok.set_token_min_len(min_len)
    tok.set_token_max_len(max_len)
    counts = Counter()
    for batch in tok.stream:
        counts.update(chopwise.tokens(batch))
    return counts


@pytest.fixture
def small_chunks(monkeypatch):
    """Chunks of a few bytes, so that every way of cutting them is taken."""
    monkeypatch.setattr(_sources, "CHUNK_SIZE", 13)


@pytest.mark.parametrize("suffix", [".txt", ".gz", ".bz2", ".xz", ".zst"])
@pytest.mark.parametrize("chunked", [False, True])
def test_tokenize_file_every_compression(tmp_path, suffix, chunked, monkeypatch):
    if chunked:
        monkeypatch.setattr(_sources, "CHUNK_SIZE", 13)
    path = compress(tmp_path / f"t{suffix}", TEXT.encode())
    want = list(chopwise.tokenize(TEXT, types=["en", "ru", "other"], min_len=2))
    assert list(chopwise.tokenize_file(path, types=["en", "ru", "other"], min_len=2)) == want
    assert chopwise.count_words(str(path)) == module_file_counts(
        tmp_path / "t.txt" if False else _plain(tmp_path)
    )


def _plain(tmp_path):
    path = tmp_path / "plain.txt"
    path.write_text(TEXT, encoding="utf-8")
    return path


def test_path_forms_give_the_same_tokens(tmp_path):
    path = _plain(tmp_path)
    want = list(chopwise.tokenize(TEXT))
    for form in (path, str(path), os.fsencode(path)):
        assert list(chopwise.tokenize_file(form)) == want
    with open(path, "rb") as f:
        assert list(chopwise.tokenize_file(f)) == want
        assert not f.closed
    assert list(chopwise.tokenize_file(io.BytesIO(TEXT.encode()))) == want


def test_standard_input_in_a_real_process(tmp_path):
    path = compress(tmp_path / "t.gz", TEXT.encode())
    script = (
        "import sys, chopwise\n"
        "print(sum(chopwise.count_words('-').values()), len(list(chopwise.tokenize_file('-'))))\n"
    )
    with gzip.open(path, "rb") as f:
        data = f.read()
    out = subprocess.run(
        [sys.executable, "-c", script], input=data + b"\n" + data, capture_output=True, check=True
    )
    # The count reads all of standard input (the line feed keeps the copies apart), so
    # tokenize_file finds it at its end.
    assert out.stdout.split() == [str(sum(module_file_counts(_plain(tmp_path)).values()) * 2).encode(), b"0"]


@settings(max_examples=300, deadline=None)
@given(st.text(ALPHABET, max_size=200).map(str.encode) | st.binary(max_size=200), st.integers(1, 40))
def test_chunks_cut_where_no_token_continues(data, size):
    _sources.CHUNK_SIZE, saved = size, _sources.CHUNK_SIZE
    try:
        parts = list(_sources.chunks(io.BytesIO(data)))
    finally:
        _sources.CHUNK_SIZE = saved
    assert b"".join(parts) == data and all(parts)
    assert [pair for part in parts for pair in module_pairs(part)] == module_pairs(data)


def test_chunks_stay_small(monkeypatch):
    """Constant memory: with a cut point at least every CHUNK_SIZE bytes, no chunk is more than
    twice that, however large the file."""
    monkeypatch.setattr(_sources, "CHUNK_SIZE", 64)
    data = SAMPLE.encode() * 20
    parts = list(_sources.chunks(io.BytesIO(data)))
    assert b"".join(parts) == data and max(map(len, parts)) <= 128 and len(parts) > len(data) // 128


def module_pairs(data: bytes):
    """The module's (token, type) pairs of some bytes, one token a batch so that a batch that
    is not UTF-8 loses only its own token (marked None)."""
    tok = cw.FTTokenizer(data)
    tok.set_batch_size(1)
    pairs = []
    while True:
        try:
            batch = tok.get_batch()
        except UnicodeDecodeError:
            pairs.append(None)
            continue
        if not batch:
            return pairs
        pairs.append((batch["text"], int(batch["types"][0])))


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=120) | st.text(ALPHABET, max_size=120).map(str.encode), st.data())
def test_no_token_spans_a_line_feed(data, draw):
    """The claim splitting rests on: the tokens of the parts cut after line feeds are those of
    the whole, whatever the bytes (invalid UTF-8 included)."""
    feeds = [i + 1 for i, b in enumerate(data) if b == 10]
    cuts = sorted(draw.draw(st.sets(st.sampled_from(feeds))) if feeds else [])
    parts = [data[a:b] for a, b in pairwise([0, *cuts, len(data)])]
    assert [pair for part in parts for pair in module_pairs(part)] == module_pairs(data)


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=300).map(lambda b: b.replace(b"\x00", b"\n")), st.integers(1, 50))
def test_split_at_newlines_covers_the_file(tmp_path_factory, data, shard_size):
    path = tmp_path_factory.mktemp("shards") / "f"
    path.write_bytes(data)
    ranges = _shards.split_at_newlines(path, shard_size)
    bounds = [0, *(end for _, end in ranges)]
    assert ranges == list(pairwise(bounds)) and bounds[-1] == len(data)
    for start, end in ranges[:-1]:
        assert end - start >= shard_size and data[end - 1] == 10
    for start, end in ranges:
        assert b"\n" not in data[start + shard_size - 1 : end - 1] or end - start < shard_size


@pytest.mark.parametrize(
    ("data", "shard_size", "ranges"),
    [
        # A range ends at the first line feed that makes it shard_size long, not the one after.
        (b"ab\ncd\nef\n", 3, [(0, 3), (3, 6), (6, 9)]),
        (b"ab\ncd\nef\n", 1, [(0, 3), (3, 6), (6, 9)]),
        (b"ab\ncd\nef\n", 4, [(0, 6), (6, 9)]),
        (b"ab\ncd\nef", 3, [(0, 3), (3, 6), (6, 8)]),
        (b"\n\n\n", 1, [(0, 1), (1, 2), (2, 3)]),
        (b"abcdef", 2, [(0, 6)]),
        (b"", 3, []),
    ],
)
def test_split_at_newlines_cuts_at_the_first_line_feed_it_may(tmp_path, data, shard_size, ranges):
    path = tmp_path / "f"
    path.write_bytes(data)
    assert _shards.split_at_newlines(path, shard_size) == ranges


def test_count_range_of_the_parts_is_the_count_of_the_file(tmp_path):
    path = _plain(tmp_path)
    ranges = _shards.split_at_newlines(path, 1000)
    assert len(ranges) > 10
    total = Counter()
    for start, end in ranges:
        total += _count.count_range(path, start, end, types=WORDS, lower=True, min_len=2, max_len=9)
    assert total == _count.lowered(module_file_counts(path, min_len=2, max_len=9))
    with pytest.raises(ValueError, match="shard_size must be at least 1"):
        _shards.split_at_newlines(path, 0)


@pytest.mark.parametrize(
    ("kwargs", "types", "min_len", "max_len"),
    [
        ({}, WORDS, 0, 512),
        ({"types": "other", "max_len": 1}, int(cw.UNKNWN), 0, 1),
        ({"types": None, "min_len": 3, "max_len": 128}, 2**64 - 1, 3, 128),
        ({"types": [cw.NUMBER, "ru"], "min_len": 128}, int(cw.NUMBER | cw.RUWORD), 128, 512),
    ],
)
@pytest.mark.parametrize("tally", ["arrow", "counter"])
def test_count_words_is_the_module_count(tmp_path, kwargs, types, min_len, max_len, tally, monkeypatch):
    if tally == "counter":
        monkeypatch.setitem(sys.modules, "pyarrow", None)
    else:
        pytest.importorskip("pyarrow")
    path = _plain(tmp_path)
    want = module_file_counts(path, types, min_len, max_len)
    assert want and chopwise.count_words(path, **kwargs) == want
    assert chopwise.count_words([path, path], lower=True, **kwargs) == _count.lowered(want + want)


@settings(max_examples=100, deadline=None)
@given(st.text(ALPHABET, max_size=300))
def test_both_tallies_count_alike(text):
    tok = cw.FTTokenizer(text)
    tok.set_batch_size(5)
    texts = [batch["text"] for batch in tok.stream]
    counter, arrow = _count.CounterTally(), _count.ArrowTally()
    for t in texts:
        counter.add(t)
        arrow.add(t)
    assert counter.counts() == arrow.counts() == Counter(token for token, _ in module_tokens(text))


def module_tokens(text):
    tok = cw.FTTokenizer(text)
    return [(t, None) for batch in tok.stream for t in chopwise.tokens(batch)]


def test_count_words_in_worker_processes(tmp_path, monkeypatch):
    monkeypatch.setattr(_count, "_MIN_SHARD", 1000)  # the large file goes out in parts
    big = _plain(tmp_path)
    gz = compress(tmp_path / "t.gz", TEXT.encode())
    small = tmp_path / "small.txt"
    small.write_text("Ёж ёж, ЁЖ\n", encoding="utf-8")
    sources = [big, gz, small, io.BytesIO(TEXT.encode())]
    want = chopwise.count_words(sources[:3] + [io.BytesIO(TEXT.encode())], lower=True)
    assert len(_shards.split_at_newlines(big, -(-big.stat().st_size // 3))) == 3
    assert chopwise.count_words(sources, lower=True, workers=3) == want
    once = module_file_counts(big)
    assert want == _count.lowered(once + once + once + Counter(["Ёж", "ёж", "ЁЖ"]))


@pytest.mark.parametrize("workers", [1, 2])
def test_unreadable_paths_raise_what_open_raised(tmp_path, workers):
    calls = [
        lambda p: chopwise.count_words([p], workers=workers),
        lambda p: chopwise.tokenize_file(p),
    ]
    for call in calls:
        with pytest.raises(FileNotFoundError):
            call(tmp_path / "missing.txt")
        with pytest.raises(IsADirectoryError):
            call(tmp_path)
        with pytest.raises(FileNotFoundError):
            call(tmp_path / "missing.gz")


def test_permission_denied_is_raised(tmp_path):
    path = tmp_path / "closed.txt"
    path.write_text("words\n", encoding="utf-8")
    path.chmod(0)
    script = "import chopwise, sys\nchopwise.count_words(sys.argv[1])\n"
    command = [sys.executable, "-c", script, str(path)]
    if os.geteuid() == 0:
        # root reads any file: run the check without the capabilities that let it
        setpriv = shutil.which("setpriv") or pytest.skip("setpriv is needed to drop root's file capabilities")
        command = [setpriv, "--bounding-set", "-dac_override,-dac_read_search", *command]
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    assert "PermissionError: [Errno 13] Permission denied" in result.stderr, result.stderr


def test_zstandard_missing(tmp_path, monkeypatch):
    path = tmp_path / "t.zst"
    path.write_bytes(b"(\xb5/\xfd")
    monkeypatch.setitem(sys.modules, "zstandard", None)
    for call in (chopwise.tokenize_file, chopwise.count_words):
        with pytest.raises(ImportError, match=r"t\.zst.*needs the zstandard package.*zstd"):
            call(path)


BAD = b"x \xed\xa0\x80 y \xc3\x80 z\nstray \x80\x80 words \xe2\x82\n"


@pytest.mark.parametrize("workers", [1, 2])
def test_invalid_utf8(tmp_path, workers):
    path = tmp_path / "bad.txt"
    path.write_bytes(BAD * 3)
    replaced = (BAD * 3).decode("utf-8", "replace")
    want = Counter(t.text for t in chopwise.tokenize(replaced, types="en"))
    assert chopwise.count_words(path, types="en", errors="replace", workers=workers) == want
    # A strict count raises where the module does: when a kept token is not UTF-8.
    assert chopwise.count_words(path, types="en", workers=workers) == want
    with pytest.raises(UnicodeDecodeError) as caught:
        chopwise.count_words(path, types=None, workers=workers)
    assert workers > 1 or any("bad.txt" in note for note in caught.value.__notes__)
    # Offsets need a decoding: tokenize_file refuses any byte that is not UTF-8.
    assert [t.text for t in chopwise.tokenize_file(path, errors="replace")] == [
        t.text for t in chopwise.tokenize(replaced)
    ]
    with pytest.raises(UnicodeDecodeError) as caught:
        list(chopwise.tokenize_file(path))
    assert "at byte 2" in caught.value.__notes__[0]


def test_strict_count_follows_the_module(tmp_path):
    """Stray bytes the module drops do not stop a strict count, as they do not stop the module."""
    path = tmp_path / "stray.txt"
    path.write_bytes(b"stray \x80\x80 words \xe2\x82\nend")
    assert chopwise.count_words(path) == module_file_counts(path) == Counter(["stray", "words", "end"])


def bad_byte_offset(err):
    """Where a decode error says the bad byte is, counted from the start of its source."""
    if hasattr(err, "offset"):
        return err.offset
    (note,) = err.__notes__
    return int(re.fullmatch(r"in .* at byte (\d+)", note)[1])


@pytest.mark.parametrize("kind", ["plain", "gz", "file object"])
def test_a_bad_byte_past_the_first_chunk_is_placed_in_the_source(tmp_path, kind, small_chunks):
    data = b"good words\n" * 5 + b"x \xff y\n"
    path = compress(tmp_path / ("t.gz" if kind == "gz" else "t.txt"), data)
    source = io.BytesIO(data) if kind == "file object" else path
    with pytest.raises(UnicodeDecodeError) as caught:
        list(chopwise.tokenize_file(source))
    assert bad_byte_offset(caught.value) == data.index(b"\xff") == 57
