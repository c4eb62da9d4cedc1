"""chopwise on files: every path form and compression, chunking, counting on one thread and on
several, in shards, and the errors a reader must see."""

import bz2
import gzip
import io
import lzma
import os
import random
import shutil
import subprocess
import sys
import time
from collections import Counter
from itertools import pairwise
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import chopwise
import chopwiseCXX as cw
from chopwise import _count, _shards, _sources
from chopwise._types import Settings

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


# What the engine lowers: Latin and Russian capitals, Ё among them.
LOWER = str.maketrans(
    "ABCDEFGHIJKLMNOPQRSTUVWXYZАБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯЁ",
    "abcdefghijklmnopqrstuvwxyzабвгдежзийклмнопрстуфхцчшщъыьэюяё",
)


def lowered(counts):
    out = Counter()
    for token, n in counts.items():
        out[token.translate(LOWER)] += n
    return out


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
        monkeypatch.setattr(_count, "BLOCK_SIZE", 13)
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
    parts = chunks_of(data, size)
    # Bytes that are not UTF-8 never reach the tokenizer: every road checks its chunks first.
    if _decodes(data):
        assert [pair for part in parts for pair in module_pairs(part)] == module_pairs(data)


def chunks_of(data, size, errors="strict"):
    """The chunks of `data` with blocks of `size` bytes; together they are the data."""
    _sources.CHUNK_SIZE, saved = size, _sources.CHUNK_SIZE
    try:
        parts = list(_sources.chunks(io.BytesIO(data), errors=errors))
    finally:
        _sources.CHUNK_SIZE = saved
    assert all(parts) and (errors != "strict" or b"".join(parts) == data)
    return parts


def _decodes(data):
    try:
        data.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


@settings(max_examples=300, deadline=None)
@given(
    st.lists(
        st.sampled_from(["a", "Z", "7", "-", "--", "ё", "Ж", "a" * 127, "b" * 129, "x-" * 20]), max_size=80
    ),
    st.integers(1, 600),
)
def test_runs_without_a_safe_byte_are_cut_where_their_tokens_say(pieces, size):
    """Letters, digits and hyphens only, among them groups that reach the length limits."""
    data = "".join(pieces).encode()
    parts = chunks_of(data, size)
    assert [pair for part in parts for pair in module_pairs(part)] == module_pairs(data)
    assert max(map(len, parts), default=0) <= 2 * size + 3 * 513


@settings(max_examples=200, deadline=None)
@given(
    st.lists(
        st.sampled_from([b"a", b"1", b"-", b"\xff", b"\xd0", b"\xd0\xb6", b"\xe2\x80", b"a" * 130]),
        max_size=300,
    ),
    st.integers(1, 200),
    st.sampled_from(["replace", "ignore", "backslashreplace"]),
)
def test_chunks_under_a_lenient_handler_read_as_the_decoded_whole(pieces, size, errors):
    data = b"".join(pieces)
    parts = chunks_of(data, size, errors)
    tokens = [pair for part in parts for pair in module_pairs(part.decode("utf-8", errors).encode())]
    assert tokens == module_pairs(data.decode("utf-8", errors).encode())


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
    parts = [data[a:b] for a, b in zip([0, *cuts], [*cuts, len(data)], strict=False)]
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


def test_split_at_newlines_cuts_at_the_first_line_feed_it_may(tmp_path):
    path = tmp_path / "abc.txt"
    path.write_bytes(b"ab\ncd\nef\n")
    assert _shards.split_at_newlines(path, 3) == [(0, 3), (3, 6), (6, 9)]


def test_shards_count_as_the_whole_file(tmp_path):
    path = _plain(tmp_path)
    shards = _shards.shards_of(path, 1000)
    assert len(shards) > 10 and shards[0].start == 0 and shards[-1].end == path.stat().st_size
    settings = Settings.of(WORDS, 2, 9)
    total = Counter()
    for shard in shards:
        total += _count.count_shard(shard, settings, lower=True)
    assert total == lowered(module_file_counts(path, min_len=2, max_len=9))
    packed = compress(tmp_path / "t.gz", TEXT.encode())
    assert _shards.shards_of(packed, 1000) == [_shards.Shard(str(packed))]
    assert _count.count_shard(_shards.Shard(str(packed)), settings, lower=True) == total
    with pytest.raises(ValueError):  # noqa: PT011 (each case refuses in its own words)
        _shards.split_at_newlines(path, 0)


def test_shard_size_shares_among_threads():
    assert _shards.shard_size(100 << 20, 5, 64 << 20) == 10 << 20
    assert _shards.shard_size(100 << 20, 1, 16 << 20) == 16 << 20
    assert _shards.shard_size(1000, 4, 64 << 20) == _shards.MIN_SHARD_SIZE


@pytest.mark.parametrize(
    ("kwargs", "types", "min_len", "max_len"),
    [
        ({}, WORDS, 0, 512),
        ({"types": "other", "max_len": 1}, int(cw.UNKNWN), 0, 1),
        ({"types": None, "min_len": 3, "max_len": 128}, 2**64 - 1, 3, 128),
        ({"types": [cw.NUMBER, "ru"], "min_len": 128}, int(cw.NUMBER | cw.RUWORD), 128, 512),
    ],
)
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_count_words_is_the_module_count(tmp_path, kwargs, types, min_len, max_len, threads):
    path = _plain(tmp_path)
    want = module_file_counts(path, types, min_len, max_len)
    assert want and chopwise.count_words(path, threads=threads, **kwargs) == want
    twice = chopwise.count_words([path, path], lower=True, threads=threads, **kwargs)
    assert twice == lowered(want + want)
    table = chopwise.count_words([path, path], lower=True, threads=threads, table=True, **kwargs)
    assert table.column_names == ["token", "count"]
    rows = list(zip(*table.to_pydict().values(), strict=True))
    assert rows == sorted(twice.items(), key=lambda kv: (-kv[1], kv[0]))


@settings(max_examples=100, deadline=None)
@given(st.lists(st.text(ALPHABET, max_size=60) | st.none(), max_size=12), st.sampled_from([1, 2, 4]))
def test_count_texts_is_the_count_of_one_tokenizer_per_text(texts, threads):
    pa = pytest.importorskip("pyarrow")
    want = Counter(token for text in texts if text is not None for token, _ in module_tokens(text))
    column = pa.array(texts, pa.string())
    assert chopwise.count_texts(column, types=None, threads=threads) == want
    assert chopwise.count_texts(column, types=None, lower=True, threads=threads) == lowered(want)
    plain = [t for t in texts if t is not None]
    assert chopwise.count_texts(plain, types=None, threads=threads) == want


def mixed_lengths_text(distinct=6000, lines=900, seed=7):
    """Lines of words of every byte length from 1 to past 64 (Latin and Cyrillic, upper and
    lower case, some cut at 128 characters), common and rare ones, with one-word lines among
    them: enough distinct words to outgrow the count table several times."""
    rng = random.Random(seed)
    latin, cyrillic = (
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ",
        "абвгдеёжзийклмнопрстуфхцчшщъыьэюяАБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ",
    )
    words = []
    for i in range(distinct):
        size = 1 + i % 41 if i % 97 else 120 + i % 20
        words.append("".join(rng.choice(cyrillic if i % 2 else latin) for _ in range(size)))
    weights = [1 / (i + 1) for i in range(distinct)]
    out = []
    for n in range(lines):
        count = 1 if n % 5 == 0 else rng.randint(2, 300)
        out.append(" ".join(rng.choices(words, weights, k=count)))
    return "\n".join(out) + "\n"


@pytest.mark.parametrize("lower", [False, True])
def test_counts_of_words_long_and_short_common_and_rare(tmp_path, lower):
    text = mixed_lengths_text()
    path = tmp_path / "mixed.txt"
    path.write_text(text, encoding="utf-8")
    want = module_file_counts(path)
    if lower:
        want = lowered(want)
    assert len(want) > 4000
    for threads in (1, 2):
        assert chopwise.count_words(path, lower=lower, threads=threads) == want
        assert chopwise.count_texts(text.splitlines(), lower=lower, threads=threads) == want


def module_tokens(text):
    tok = cw.FTTokenizer(text)
    return [(t, None) for batch in tok.stream for t in chopwise.tokens(batch)]


def test_count_words_on_threads(tmp_path):
    big = _plain(tmp_path)
    gz = compress(tmp_path / "t.gz", TEXT.encode())
    small = tmp_path / "small.txt"
    small.write_text("Ёж ёж, ЁЖ\n", encoding="utf-8")
    sources = [big, gz, small, io.BytesIO(TEXT.encode())]
    want = chopwise.count_words(sources[:3] + [io.BytesIO(TEXT.encode())], lower=True, threads=1)
    assert chopwise.count_words(sources, lower=True, workers=3) == want
    once = module_file_counts(big)
    assert want == lowered(once + once + once + Counter(["Ёж", "ёж", "ЁЖ"]))
    with pytest.raises(ValueError, match="workers and threads"):
        chopwise.count_words(big, workers=2, threads=3)
    for bad in (0, -1, 1.5, True):
        with pytest.raises(ValueError):  # noqa: PT011 (each case refuses in its own words)
            chopwise.count_words(big, threads=bad)


def test_count_words_with_workers_needs_no_main_guard(tmp_path):
    path = _plain(tmp_path)
    script = tmp_path / "script.py"
    script.write_text(
        f"import chopwise\nprint(sum(chopwise.count_words({str(path)!r}, workers=2).values()))\n"
    )
    out = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, check=True, cwd=tmp_path
    )
    assert int(out.stdout) == sum(module_file_counts(path).values())


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


@pytest.mark.parametrize("threads", [1, 2])
def test_invalid_utf8(tmp_path, threads):
    path = tmp_path / "bad.txt"
    path.write_bytes(BAD * 3)
    replaced = (BAD * 3).decode("utf-8", "replace")
    for types in ("en", None):
        want = Counter(t.text for t in chopwise.tokenize(replaced, types=types))
        assert chopwise.count_words(path, types=types, errors="replace", threads=threads) == want
    for handler in ("ignore", "backslashreplace"):
        text = (BAD * 3).decode("utf-8", handler)
        assert chopwise.count_words(path, types=None, errors=handler, threads=threads) == Counter(
            t.text for t in chopwise.tokenize(text)
        )
    # Under "strict" the first bad byte stops every road, whatever tokens are kept.
    for call in (
        lambda: chopwise.count_words(path, types="en", threads=threads),
        lambda: list(chopwise.tokenize_file(path)),
    ):
        with pytest.raises(chopwise.DecodeError) as caught:
            call()
        assert (caught.value.source, caught.value.offset) == (str(path), 2)
        assert isinstance(caught.value, UnicodeDecodeError)
    assert [t.text for t in chopwise.tokenize_file(path, errors="replace")] == [
        t.text for t in chopwise.tokenize(replaced)
    ]


@pytest.mark.parametrize("suffix", [".txt", ".gz"])
def test_decode_error_offset_is_within_the_source(tmp_path, suffix, monkeypatch):
    """A bad byte far past the first chunk or block is reported at its offset in the file."""
    monkeypatch.setattr(_sources, "CHUNK_SIZE", 16)
    monkeypatch.setattr(_count, "BLOCK_SIZE", 16)
    data = b"good words\n" * 50 + b"and \xff here\n"
    path = compress(tmp_path / f"t{suffix}", data)
    for call in (lambda: chopwise.count_words(path), lambda: list(chopwise.tokenize_file(path))):
        with pytest.raises(chopwise.DecodeError) as caught:
            call()
        assert (caught.value.source, caught.value.offset) == (str(path), 554)
    if suffix == ".txt":  # a shard that starts past the bad byte's chunk
        last = _shards.shards_of(path, 100)[-1]
        assert 0 < last.start <= 554
        with pytest.raises(chopwise.DecodeError) as caught:
            _count.count_shard(last, Settings.of(None, 0, 512), False)
        assert (caught.value.source, caught.value.offset) == (str(path), 554)


def test_many_small_files_count_side_by_side(tmp_path):
    """Small files are counted each by one thread, in a batch between the larger ones: the
    counts are the files' own, whatever the threads, and progress adds up to every byte."""
    paths = []
    for i in range(40):
        paths.append(tmp_path / f"{i}.txt")
        paths[-1].write_text(f"Ёж{i % 3} кто-то e-mail\r\n" * (i + 1) + "без конца", encoding="utf-8")
    big = _plain(tmp_path)  # its text is also the stream's
    files = [*paths, big, paths[0]]
    want = sum((module_file_counts(p) for p in [*files, big]), Counter())
    for threads in (1, 2, 5):
        seen = []
        sources = [*paths[:20], io.BytesIO(TEXT.encode()), *paths[20:], big, paths[0]]
        got = chopwise.count_words(sources, threads=threads, progress=seen.append)
        assert got == want
        assert list(got) == [k for k, _ in sorted(got.items(), key=lambda kv: (-kv[1], kv[0]))]
        assert sum(seen) == sum(p.stat().st_size for p in files) + len(TEXT.encode())


@pytest.mark.parametrize(
    ("order", "raised"),
    [
        (["bad", "missing", "folder"], chopwise.DecodeError),
        (["missing", "bad"], FileNotFoundError),
        (["folder", "missing"], IsADirectoryError),
    ],
)
def test_many_small_files_raise_the_first_failure_in_order(tmp_path, order, raised):
    good = []
    for i in range(30):
        good.append(tmp_path / f"{i}.txt")
        good[-1].write_text("слово word\n" * 50, encoding="utf-8")
    (tmp_path / "bad").write_bytes(b"fine words \xff then")
    (tmp_path / "folder").mkdir()
    sources = [*good[:10], *(tmp_path / name for name in order), *good[10:]]
    with pytest.raises(raised) as caught:
        chopwise.count_words(sources, threads=2)
    if raised is chopwise.DecodeError:
        assert caught.value.source == str(tmp_path / "bad") and caught.value.offset == 11
    else:
        assert caught.value.filename == str(tmp_path / order[0])


def test_strict_count_stops_at_stray_bytes(tmp_path):
    path = tmp_path / "stray.txt"
    path.write_bytes(b"stray \x80\x80 words \xe2\x82\nend")
    with pytest.raises(chopwise.DecodeError) as caught:
        chopwise.count_words(path)
    assert caught.value.offset == 6
    assert chopwise.count_words(path, errors="ignore") == Counter(["stray", "words", "end"])


NEIGHBOURS = ["a", "Z", "я", "Ё", "7", "-", " ", "\n", "\r", ".", "\0", "🔎", "a-", "я-b", "1-"]


def test_chunk_cut_points_are_the_module_rule():
    """The bytes after which a chunk may end are exactly the ASCII bytes after which the module
    never joins what follows."""
    for b in range(128):
        c = chr(b)
        cuts_clean = all(
            module_tokens(before + c) + module_tokens(after) == module_tokens(before + c + after)
            for before in NEIGHBOURS
            for after in NEIGHBOURS
        )
        assert cuts_clean == (b in _sources._SAFE_ENDS), repr(c)


# Under "strict" every road stops at the first bad byte and names the source and its offset,
# whatever tokens the byte would have been part of.
def _tokens_of_file_object(path):
    # The caller's file stays open after an error; the caller closes it.
    with open(path, "rb") as f:
        return list(chopwise.tokenize_file(f))


STRICT_ROADS = {
    "count_words": lambda p: chopwise.count_words(p),
    "count_words workers=2": lambda p: chopwise.count_words(p, workers=2),
    "count_words of no type": lambda p: chopwise.count_words(p, types=0),
    "tokenize_file": lambda p: list(chopwise.tokenize_file(p)),
    "tokenize_file of a file object": lambda p: _tokens_of_file_object(p),
}


@pytest.mark.parametrize("road", STRICT_ROADS)
@pytest.mark.parametrize(
    ("data", "offset"),
    [(b"ca\xfft dog\n", 2), (b"dog\nstray \x80\x80 words", 10), (b"x" * 5_000_000 + b" \xe2\x82", 5_000_001)],
    ids=["inside a word", "stray bytes", "cut character at the end"],
)
def test_strict_stops_at_the_first_bad_byte_on_every_road(tmp_path, road, data, offset):
    path = tmp_path / "bad.txt"
    path.write_bytes(data)
    with pytest.raises(chopwise.DecodeError) as caught:
        STRICT_ROADS[road](path)
    err = caught.value
    want = "bad.txt" if "object" not in road else str(path)
    assert (err.offset, isinstance(err, UnicodeDecodeError)) == (offset, True)
    assert err.source.endswith(want) and str(err).startswith(
        f"{err.source}: not valid UTF-8 at byte {offset}"
    )


def test_strict_tokenize_of_bytes_names_the_text():
    with pytest.raises(chopwise.DecodeError) as caught:
        list(chopwise.tokenize(b"ab \xff"))
    assert (caught.value.source, caught.value.offset) == ("text", 3)


def test_a_decode_error_survives_pickling_with_its_message():
    import pickle

    err = chopwise.DecodeError("f.txt", 7, "utf-8", b"ab\xff", 2, 3, "invalid start byte")
    back = pickle.loads(pickle.dumps(err))
    assert (type(back), back.source, back.offset, str(back)) == (chopwise.DecodeError, "f.txt", 7, str(err))


@pytest.mark.parametrize("handler", ["replace", "ignore", "backslashreplace"])
def test_every_accepted_handler_reads_as_the_decoded_text(tmp_path, handler):
    path = tmp_path / "bad.txt"
    path.write_bytes(BAD * 3)
    text = (BAD * 3).decode("utf-8", handler)
    want = [t.text for t in chopwise.tokenize(text)]
    assert [t.text for t in chopwise.tokenize_file(path, errors=handler)] == want
    assert [t.text for t in chopwise.tokenize(BAD * 3, errors=handler)] == want
    assert chopwise.count_words(path, types=None, errors=handler) == Counter(want)


@pytest.mark.parametrize(
    "handler", ["surrogateescape", "xmlcharrefreplace", "namereplace", "surrogatepass", "mend"]
)
def test_other_error_handlers_are_refused_at_the_call(tmp_path, handler):
    path = tmp_path / "good.txt"
    path.write_bytes(b"good")
    calls = [
        lambda: chopwise.tokenize("x", errors=handler),
        lambda: chopwise.tokenize_file(path, errors=handler),
        lambda: chopwise.count_words(path, errors=handler),
    ]
    for call in calls:
        with pytest.raises(
            ValueError, match="errors must be one of 'strict', 'replace', 'ignore', 'backslashreplace'"
        ):
            call()


def test_progress_is_told_every_byte(tmp_path, monkeypatch):
    monkeypatch.setattr(_count, "BLOCK_SIZE", 1000)
    plain = _plain(tmp_path)
    packed = compress(tmp_path / "t.gz", TEXT.encode())
    seen: list[int] = []
    counts = chopwise.count_words([plain, packed, io.BytesIO(b"one more\n")], threads=2, progress=seen.append)
    size = len(TEXT.encode())
    assert sum(seen) == 2 * size + 9 and len(seen) > size // 1000
    assert counts == chopwise.count_words([plain, plain]) + Counter(["one", "more"])


@pytest.mark.parametrize("call", ["count_words([path] * 100, threads=2)", "count_texts(column, threads=2)"])
def test_ctrl_c_stops_a_long_count(tmp_path, call):
    """A long native call answers SIGINT with KeyboardInterrupt instead of running to its end."""
    import signal

    path = tmp_path / "big.txt"
    path.write_bytes(SAMPLE.encode() * (10_000_000 // len(SAMPLE.encode())))
    script = (
        "import sys, chopwise, pyarrow\n"
        "path = sys.argv[1]\n"
        "row = pyarrow.array([open(path, encoding='utf-8').read()])\n"
        "column = pyarrow.chunked_array([row] * 100)  # one buffer, shared\n"
        "print('go', flush=True)\n"
        f"chopwise.{call}\n"
        "print('finished', flush=True)\n"
    )
    proc = subprocess.Popen(
        [sys.executable, "-c", script, str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    assert proc.stdout.readline() == "go\n"
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert "finished" not in out and "KeyboardInterrupt" in err, err
