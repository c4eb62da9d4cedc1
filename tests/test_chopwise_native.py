"""The library's native engine against one FTTokenizer per text: tokens, offsets, lists and
counts, over every Arrow string layout and thread count, with bad input and interrupts."""

import itertools
import os
import subprocess
import sys
import textwrap
from collections import Counter

import numpy as np
import pyarrow as pa
import pytest

import chopwiseCXX as cw
from chopwise import _native as nat
from conftest import split_tokens

ALL = (1 << 64) - 1
W, N, E, D, R, P, U = 1, 2, 4, 8, 16, 32, 64

TEXTS = [
    "Hello, мир! кто-то e-mail 2-й web-сайт",
    "",
    None,
    "a\0b\0\0c",
    "emoji 😀 and 𝔘 astral",
    "crlf\r\nline\r\n",
    "-".join("ab" for _ in range(8)) + "-",  # 16 pieces: the joiner's limit
    "-".join("ab" for _ in range(9)),  # one piece too many
    "x" * 128 + " " + "y" * 129 + " " + "z" * 300,
    "я" * 127 + "-" + "ё" * 3,
    "Ёж ЁЛКА ёлка Tree TREE",
    "a--b -a x- y",
    "\n\n  \t\x0b\xa0",
]

FILTERS = [(ALL, 0, 512), (E | R, 0, 512), (ALL, 2, 5), (D | P, 1, 1), (0, 0, 512), (ALL, 5, 3)]


def reference(texts, mask=ALL, min_len=0, max_len=512):
    """(token, type, doc, start, end) of one FTTokenizer per text, filtered afterwards."""
    out = []
    for doc, text in enumerate(texts):
        if text is None:
            continue
        pos = 0
        tok = cw.FTTokenizer(text)
        for batch in tok.stream:
            for token, t in zip(split_tokens(batch["text"]), batch["types"].tolist(), strict=False):
                if t & mask and min_len <= len(token) <= max_len:
                    out.append((token, t, doc, pos, pos + len(token)))
                pos += len(token)
    return out


def rows_of(table):
    return list(
        zip(
            table.strings(),
            table.types.tolist(),
            table.doc.tolist(),
            table.start.tolist(),
            table.end.tolist(),
            strict=False,
        )
    )


# Enough rows that every thread count really runs on threads.
MANY = TEXTS * 4000


@pytest.mark.parametrize("threads", [1, 2, 3, 4])
@pytest.mark.parametrize("mask,min_len,max_len", FILTERS)
def test_tokens_equal_one_tokenizer_per_text(threads, mask, min_len, max_len):
    table = nat.tokenize(MANY, mask, min_len, max_len, "strict", threads)
    assert rows_of(table) == reference(MANY, mask, min_len, max_len)
    assert table.rows == len(MANY)


def layouts(texts):
    yield pa.array(texts, pa.string())
    yield pa.array(texts, pa.large_string())
    yield pa.array(texts, pa.string_view())
    yield pa.chunked_array([pa.array(texts[:5]), pa.array(texts[5:], pa.string())])
    yield pa.array([None, "skip"] + texts, pa.string()).slice(2)  # an offset into the buffers
    yield texts


@pytest.mark.parametrize("layout", range(6))
def test_every_string_layout_and_its_lists(layout):
    texts = list(layouts(TEXTS))[layout]
    table = nat.tokenize(texts, ALL, 0, 512, "strict", 2)
    assert rows_of(table) == reference(TEXTS)
    arrow = pa.table(table)
    assert arrow.column_names == ["token", "type", "doc", "start", "end"]
    assert arrow.column("token").to_pylist() == table.strings()
    assert pa.record_batch(table).num_rows == len(table)
    lists = pa.array(table.lists())
    expected = [None if t is None else [r[0] for r in reference([t])] for t in TEXTS]
    assert lists.to_pylist() == expected


def test_polars_and_duckdb_take_the_tables():
    pl = pytest.importorskip("polars")
    series = pl.Series(TEXTS)  # polars hands out string_view
    table = nat.tokenize(series, E | R, 0, 512, "strict", 1)
    assert rows_of(table) == reference(TEXTS, E | R)
    frame = pl.DataFrame(pa.table(table))
    assert frame["token"].to_list() == table.strings()
    df = pl.DataFrame({"text": TEXTS}).with_columns(
        tokens=pl.Series(pa.array(nat.tokenize(pl.Series(TEXTS), E | R, 0, 512, "strict", 1).lists()))
    )
    expected = [None if t is None else [r[0] for r in reference([t], E | R)] for t in TEXTS]
    assert df["tokens"].to_list() == expected


def test_views_keep_the_table_alive_and_are_read_only():
    table = nat.tokenize(["a b c"], ALL, 0, 512, "strict", 1)
    types, start = table.types, table.start
    arrow = pa.table(table)
    del table
    assert types.tolist() == [E, W, E, W, E] and start.tolist() == [0, 1, 2, 3, 4]
    assert arrow.column("token").to_pylist() == ["a", " ", "b", " ", "c"]
    with pytest.raises(ValueError):  # noqa: PT011 (a read-only view refuses in its own words)
        types[0] = 1


@pytest.mark.parametrize(
    "bad,name",
    [
        (pa.array([1, 2]), "int64"),
        (pa.array([b"x"]), "binary"),
        (pa.table({"t": ["x"]}), "struct"),
        (42, "int"),
        (["ok", 3], "int"),
    ],
)
def test_other_types_raise_type_error_naming_them(bad, name):
    with pytest.raises(TypeError, match=name):
        nat.tokenize(bad, ALL, 0, 512, "strict", 1)
    with pytest.raises(TypeError, match=name):
        nat.WordCounter(ALL, 0, 512, False, "strict").add_texts(bad, 1)


def unchecked_strings(rows):
    """A string array holding the given bytes, valid UTF-8 or not."""
    offsets = np.cumsum([0] + [len(r) for r in rows]).astype(np.int32)
    return pa.Array.from_buffers(
        pa.string(), len(rows), [None, pa.py_buffer(offsets.tobytes()), pa.py_buffer(b"".join(rows))]
    )


BAD_ROWS = [b"ok", b"a\xffb", b"\xe2\x82x \xf0\x9f\x98", b"\xed\xa0\x80 \xc0\x80 z", b"\xe0\x80 tail\xc3"]


@pytest.mark.parametrize("errors", ["replace", "ignore", "backslashreplace"])
def test_invalid_utf8_follows_the_handler(errors):
    texts = [r.decode("utf-8", errors) for r in BAD_ROWS]
    table = nat.tokenize(unchecked_strings(BAD_ROWS), ALL, 0, 512, errors, 1)
    assert rows_of(table) == reference(texts)
    counter = nat.WordCounter(ALL, 0, 512, False, errors)
    counter.add_texts(unchecked_strings(BAD_ROWS), 2)
    assert dict(counter.items()) == Counter(r[0] for r in reference(texts))


def test_strict_names_the_row_and_the_offset_of_the_first_bad_byte():
    for use in ("tokenize", "count"):
        with pytest.raises(UnicodeDecodeError) as caught:  # noqa: PT012 (the error may come from either statement)
            if use == "tokenize":
                nat.tokenize(unchecked_strings(BAD_ROWS), ALL, 0, 512, "strict", 1)
            else:
                nat.WordCounter(ALL, 0, 512, False, "strict").add_texts(unchecked_strings(BAD_ROWS), 1)
        assert (caught.value.row, caught.value.offset) == (1, 1)
        assert caught.value.object[caught.value.start : caught.value.end] == b"\xff"
    with pytest.raises(ValueError, match="backslashreplace"):
        nat.tokenize(["x"], ALL, 0, 512, "surrogateescape", 1)


def repeated(rows, times):
    """The reference of `rows` as if the rows came `times` times over, one after another."""
    one = reference(rows)
    return [(t, ty, doc + k * len(rows), a, b) for k in range(times) for (t, ty, doc, a, b) in one]


# Over a MiB of input, so the work runs on threads; each row is more tokens than it has bytes
# (one-character tokens, or bytes that the handler writes as four characters), so the blocks
# that the column is first given must grow, and more than once.
GROWING = [
    (["a b,c d.e f;g h-i"], "strict"),
    ([b"\xff\xfe x"], "backslashreplace"),
    ([b"\xff\xfe x"], "replace"),
]


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("case", range(len(GROWING)))
def test_tables_that_outgrow_their_first_blocks(threads, case):
    rows, errors = GROWING[case]
    times = (1 << 20) // len(rows[0]) + 1000
    column = unchecked_strings(rows * times) if isinstance(rows[0], bytes) else rows * times
    decoded = [r.decode("utf-8", errors) if isinstance(r, bytes) else r for r in rows]
    table = nat.tokenize(column, ALL, 0, 512, errors, threads)
    want = repeated(decoded, times)
    assert len(table) == len(want) and rows_of(table) == want
    assert pa.array(table.lists()).to_pylist() == [[r[0] for r in reference(decoded)]] * times


@pytest.mark.parametrize("gap", [65534, 65535, 65536, 200_000])
def test_long_runs_of_dropped_tokens_keep_the_offsets(gap):
    texts = ["x" + " " * gap + "y" + " " * 3 + "z", " " * gap + "w", "q" + "." * gap]
    table = nat.tokenize(texts * 3, E, 0, 512, "strict", 2)
    assert rows_of(table) == reference(texts * 3, E)


# Rows cut inside a character: the bytes of the rows together are well-formed, each row is not.
SPLIT_ROWS = [b"ab\xd0", b"\x90cd", b"ok", b"\xe2\x82", b"\xac", b"\x80"]


@pytest.mark.parametrize("errors", ["strict", "replace", "ignore", "backslashreplace"])
def test_rows_cut_inside_a_character_are_each_malformed(errors):
    assert b"".join(SPLIT_ROWS[:2]).decode() == "abАcd"
    column = unchecked_strings(SPLIT_ROWS)
    if errors == "strict":
        with pytest.raises(UnicodeDecodeError) as caught:
            nat.tokenize(column, ALL, 0, 512, errors, 1)
        assert (caught.value.row, caught.value.offset) == (0, 2)
        return
    texts = [r.decode("utf-8", errors) for r in SPLIT_ROWS]
    assert rows_of(nat.tokenize(column, ALL, 0, 512, errors, 1)) == reference(texts)


def test_fields_made_on_first_use_agree_whatever_is_asked_first():
    texts = TEXTS * 50
    want = reference(texts, E | R | D)
    lists_first = nat.tokenize(texts, E | R | D, 0, 512, "strict", 2)
    expected_lists = [None if t is None else [r[0] for r in reference([t], E | R | D)] for t in texts]
    assert pa.array(lists_first.lists()).to_pylist() == expected_lists
    assert rows_of(lists_first) == want
    table_first = nat.tokenize(texts, E | R | D, 0, 512, "strict", 2)
    arrow = pa.table(table_first)
    assert list(zip(*(arrow.column(c).to_pylist() for c in arrow.column_names), strict=True)) == want
    assert pa.array(table_first.lists()).to_pylist() == expected_lists


# Pieces of long rows for the UTF-8 check: its block-wide path takes ASCII and two-byte
# sequences, anything else goes to the byte-wise check, and a fault may sit at any offset.
PIECES = [
    b"ab c",
    b"\xd0\xbf\xd1\x80\xd0\xb8",
    b"\xc2\xa0",
    b" \xe2\x80\x94 ",
    b"\xf0\x9f\x98\x80",
    b"\xd0",
    b"\xbf",
    b"\xc0\xaf",
    b"\xed\xa0\x80",
    b"\xff",
    b"x" * 20,
    b"\xd1\x8f" * 9,
]


@pytest.mark.parametrize("seed", range(6))
def test_utf8_faults_anywhere_in_long_rows(seed):
    rng = np.random.default_rng(seed)
    rows = [
        b"".join(PIECES[k] for k in rng.integers(0, len(PIECES), rng.integers(1, 40))) for _ in range(300)
    ]
    rows += [b"\xd1\x8f" * 8 + b"\xd1", b"a" * 15 + b"\xd0", b"a" * 16 + b"\xd0\xbf" * 8 + b"\x80"]
    for errors in ("replace", "backslashreplace"):
        want = reference([r.decode("utf-8", errors) for r in rows])
        assert rows_of(nat.tokenize(unchecked_strings(rows), ALL, 0, 512, errors, 1)) == want
    for r, row in enumerate(rows):
        want_fault = decode_fault(row)
        if want_fault is None:
            assert rows_of(nat.tokenize(unchecked_strings([row]), ALL, 0, 512, "strict", 1)) == reference(
                [row.decode()]
            )
            continue
        with pytest.raises(UnicodeDecodeError) as caught:
            nat.tokenize(unchecked_strings([row]), ALL, 0, 512, "strict", 1)
        assert (caught.value.offset, caught.value.reason) == want_fault, r


def decode_fault(row):
    """Offset and reason of the first fault that Python's decoder finds, or None."""
    try:
        row.decode("utf-8")
    except UnicodeDecodeError as err:
        return err.start, err.reason
    return None


def counts_of(texts, mask=ALL, min_len=0, max_len=512, lower=False):
    low = str.maketrans(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZЁАБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ",
        "abcdefghijklmnopqrstuvwxyzёабвгдежзийклмнопрстуфхцчшщъыьэюя",
    )
    return Counter(r[0].translate(low) if lower else r[0] for r in reference(texts, mask, min_len, max_len))


def ordered(counts):
    return sorted(counts.items(), key=lambda kv: (-kv[1], [ord(c) for c in kv[0]]))


@pytest.mark.parametrize("lower", [False, True])
@pytest.mark.parametrize("mask,min_len,max_len", FILTERS[:4])
def test_counts_are_exact_and_independent_of_threads(lower, mask, min_len, max_len):
    expected = ordered(counts_of(TEXTS, mask, min_len, max_len, lower))
    for threads in (1, 2, 3, 4, 5, 8):
        counter = nat.WordCounter(mask, min_len, max_len, lower, "strict")
        counter.add_texts(MANY, threads)
        assert counter.items() == [(t, n * 4000) for t, n in expected]
        assert counter.total() == 4000 * sum(n for _, n in expected)
    arrow = pa.array(counter)
    assert arrow.field("token").to_pylist() == [t for t, _ in expected]


def test_file_and_stream_count_as_the_lines_do(tmp_path):
    lines = [t for t in TEXTS if t is not None and "\n" not in t] * 30000
    data = ("\n".join(lines) + "\n").encode()
    path = tmp_path / "in.txt"
    path.write_bytes(data)
    expected = nat.WordCounter(ALL, 0, 512, True, "strict")
    expected.add_texts(["\n".join(lines) + "\n"], 1)
    for threads in (1, 2, 4):
        c = nat.WordCounter(ALL, 0, 512, True, "strict")
        c.add_file(path, threads)
        assert c.items() == expected.items()
    stream = nat.WordCounter(ALL, 0, 512, True, "strict")
    cuts = [0, 1, 2, 3, 100, 4096, 777_777, len(data) // 2 + 1, len(data)]
    for a, b in itertools.pairwise(cuts):
        stream.add_bytes(data[a:b], b == len(data))
    assert stream.items() == expected.items()
    merged = nat.WordCounter(ALL, 0, 512, True, "strict")
    merged.merge(stream)
    merged.merge(merged)
    assert merged.total() == 2 * expected.total()


def test_file_errors(tmp_path):
    c = nat.WordCounter(ALL, 0, 512, False, "strict")
    with pytest.raises(FileNotFoundError):
        c.add_file(tmp_path / "missing.txt", 2)
    with pytest.raises(IsADirectoryError):
        c.add_file(tmp_path, 2)
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"line one\n" * 1000 + b"bad \xff here\n")
    with pytest.raises(UnicodeDecodeError) as caught:
        c.add_file(bad, 2)
    assert caught.value.row is None and caught.value.offset == 9000 + 4
    with pytest.raises(UnicodeDecodeError) as caught:  # noqa: PT012 (the error may come from either statement)
        c.add_bytes(b"ok \xe2\x82", False)
        c.add_bytes(b"x", True)
    assert caught.value.offset == 3
    # The failed block changed nothing: the stream goes on from the unfinished character.
    c.add_bytes(b"\xac end", True)
    assert sorted(c.items()) == sorted([("ok", 1), (" ", 2), ("€", 1), ("end", 1)])


def test_a_file_of_many_slices_counts_as_its_text_and_tells_its_progress(tmp_path):
    # Lines of every length up to one far longer than a slice, so slices start inside lines.
    lines = [t for t in TEXTS if t is not None and "\n" not in t]
    lines = [lines[i % len(lines)] * (1 + i % 7) for i in range(60000)]
    lines[30000] = "долгая-строка " * 200_000
    text = "\n".join(lines)  # no final line feed
    path = tmp_path / "many.txt"
    path.write_text(text, encoding="utf-8")
    size = path.stat().st_size
    expected = nat.WordCounter(ALL, 0, 512, False, "strict")
    expected.add_texts([text], 1)
    for threads in (1, 2, 3):
        told: list[int] = []
        c = nat.WordCounter(ALL, 0, 512, False, "strict")
        c.add_file(path, threads, told.append)
        assert c.items() == expected.items()
        assert sum(told) == size and all(n > 0 for n in told)
    assert len(told) > 1, "the bytes were told only at the end"


def test_a_progress_that_raises_stops_the_count_and_counts_nothing(tmp_path):
    path = tmp_path / "big.txt"
    path.write_bytes(b"word " * (8 << 20))

    def stop(_: int) -> None:
        raise RuntimeError("stop")

    c = nat.WordCounter(ALL, 0, 512, False, "strict")
    with pytest.raises(RuntimeError, match="stop"):
        c.add_file(path, 2, stop)
    assert len(c) == 0 and c.total() == 0


def test_a_file_name_that_is_not_utf8(tmp_path):
    folder = os.fsencode(tmp_path)
    path = folder + b"/\xff-name.txt"
    with open(path, "wb") as f:
        f.write(b"one two two\n" * 1000)
    c = nat.WordCounter(E, 0, 512, False, "strict")
    c.add_file(path, 2)
    c.add_file(os.fsdecode(path), 1)  # the same file by its surrogate-escaped str
    assert c.items() == [("two", 4000), ("one", 2000)]
    with pytest.raises(FileNotFoundError) as caught:
        c.add_file(folder + b"/\xfe-missing.txt", 1)
    assert caught.value.filename == os.fsdecode(folder + b"/\xfe-missing.txt")


def test_fill_sets_the_counts_most_common_first():
    c = nat.WordCounter(ALL, 0, 512, False, "strict")
    c.add_texts(TEXTS[:1] * 3 + ["b a b ё ё ё"], 1)
    for into in (Counter(), {}):
        c.fill(into)
        assert list(into.items()) == c.items()
    old = {"stale": 5, "a": 100}
    c.fill(old)
    assert old["stale"] == 5 and old["a"] == dict(c.items())["a"]


# Characters at each edge of the widths a str is stored in, alone and inside words.
WIDTH_EDGES = ["\x7f", "\x80", "\xff", "Ā", "\u07ff", "\u0800", "\uffff", "\U00010000", "\U0010ffff"]


def test_strings_are_made_in_the_width_the_interpreter_gives_them():
    texts = [" ".join(WIDTH_EDGES), " ".join("a" + c + "я" for c in WIDTH_EDGES), "\0 é ñ"]
    table = nat.tokenize(texts, ALL, 0, 512, "strict", 1)
    expected = [t for t, *_ in reference(texts)]
    assert table.strings() == expected
    c = nat.WordCounter(ALL, 0, 512, False, "strict")
    c.add_texts(texts, 1)
    want = Counter(expected)
    got = dict(c.items())
    # A str of a wider form than its characters need equals no str of the right one.
    assert got == want
    assert all(hash(k) == hash(k.encode().decode()) for k in got)


def test_a_big_fill_on_threads_is_in_order():
    # Enough keys for the sort to run beside the filling, counts from 1 to past a thousand.
    def name(i: int, letters: str) -> str:
        out = ""
        while True:
            i, r = divmod(i, len(letters))
            out += letters[r]
            if i == 0:
                return out

    words = [name(i, "abcxyz" if i % 3 else "абвёюя") for i in range(60000)]
    times = [1 + (i % 1300 if i % 5 == 0 else 0) + i % 3 for i in range(len(words))]
    text = " ".join(w for w, n in zip(words, times, strict=True) for _ in range(n))
    c = nat.WordCounter(ALL, 0, 512, False, "strict")
    c.add_texts([text], 2)
    into: Counter[str] = Counter()
    c.fill(into)
    want = Counter(dict(zip(words, times, strict=True)))
    want[" "] = sum(times) - 1
    assert into == want
    assert list(into.items()) == sorted(want.items(), key=lambda kv: (-kv[1], kv[0]))


MERGE_WITHOUT_MEMORY = textwrap.dedent("""
    import resource
    from chopwise import _native as nat
    a = nat.WordCounter((1 << 64) - 1, 0, 512, False, "strict")
    a.add_texts(["kept words kept"], 1)
    b = nat.WordCounter((1 << 64) - 1, 0, 512, False, "strict")
    b.add_texts([" ".join(f"w{i}" for i in range(2_000_000))], 1)
    before, total = a.items(), a.total()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (16 << 20), hard))
    try:
        a.merge(b)
        print("merged")
    except MemoryError:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print("MemoryError", a.items() == before, a.total() == total)
        a.add_texts(["kept"], 1)  # and the counter still counts
        print(dict(a.items())["kept"] == 3)
""")


def test_a_merge_without_memory_changes_nothing():
    if os.environ.get("ASAN_OPTIONS"):
        pytest.skip("the sanitizer's runtime reserves more address space than the limit")
    run = subprocess.run(
        [sys.executable, "-c", MERGE_WITHOUT_MEMORY], capture_output=True, text=True, timeout=120
    )
    assert run.stdout.split() == ["MemoryError", "True", "True", "True"], run.stdout + run.stderr


# The counter is full to the last entry its table has room for (2^21 keys: "w", " " and the
# numbers), so the first new key of a block asks for a table twice that size, which the limit
# refuses: the block's own counts fit, their merge does not. "ga" is a token the block leaves
# unfinished for the next one.
STREAM_MERGE_WITHOUT_MEMORY = textwrap.dedent("""
    import resource
    from chopwise import _native as nat
    a = nat.WordCounter((1 << 64) - 1, 0, 512, False, "strict")
    a.add_texts([" ".join(f"w{i}" for i in range((1 << 21) - 2))], 1)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (16 << 20), hard))
    try:
        a.add_bytes(b"alpha beta ga", False)
        print("added")
    except MemoryError:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print("MemoryError", len(a) == 1 << 21)
        a.add_bytes(b"alpha beta ga", False)  # the same block again, then the rest
    a.add_bytes(b"mma alpha", True)
    counts = dict(a.items())
    print(counts["alpha"], counts["beta"], counts["gamma"], "gaalpha" in counts)
""")


def test_a_stream_block_whose_merge_fails_is_not_skipped():
    if os.environ.get("ASAN_OPTIONS"):
        pytest.skip("the sanitizer's runtime reserves more address space than the limit")
    run = subprocess.run(
        [sys.executable, "-c", STREAM_MERGE_WITHOUT_MEMORY], capture_output=True, text=True, timeout=120
    )
    assert run.stdout.split() == ["MemoryError", "True", "2", "1", "1", "False"], run.stdout + run.stderr


INTERRUPTED = textwrap.dedent("""
    import os, signal, threading, time
    from chopwise import _native as nat
    texts = ["Привет, мир! hello world " * 40] * 100000
    c = nat.WordCounter((1 << 64) - 1, 0, 512, False, "strict")
    c.add_texts(texts[:10], 2)
    before = c.items()
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    calls = 0  # that ended before the interrupt: each adds 10000 times the first counts
    try:
        for _ in range(100):
            c.add_texts(texts, 2)
            calls += 1
    except KeyboardInterrupt:
        late = time.monotonic() - start - 0.3
        # The call the interrupt reached counted nothing. One that it reached after its last
        # look at the signals ran to its end, and the interrupt came as it returned.
        whole = [[(t, n * (1 + 10000 * k)) for t, n in before] for k in (calls, calls + 1)]
        assert c.items() in whole
        c.add_texts(["x"], 1)
        print("interrupted", round(late, 3))
""")


def test_ctrl_c_raises_keyboard_interrupt_and_changes_nothing():
    run = subprocess.run([sys.executable, "-c", INTERRUPTED], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("interrupted"), run.stdout
    assert float(run.stdout.split()[1]) < 1.0


def test_a_huge_allocation_raises_memory_error():
    counter = nat.WordCounter(ALL, 0, 512, False, "strict")
    limit = "import resource; resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))"
    script = limit + textwrap.dedent("""
        from chopwise import _native as nat
        try:
            nat.tokenize(["ab " * (1 << 27)], (1 << 64) - 1, 0, 512, "strict", 1)
        except MemoryError:
            print("MemoryError")
    """)
    if os.environ.get("ASAN_OPTIONS"):
        pytest.skip("the sanitizer's runtime reserves more address space than the limit")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.stdout.strip() == "MemoryError", run.stderr
    assert len(counter) == 0
