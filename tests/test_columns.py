"""The column road: tokenize_many, Tokens and count_texts over real pyarrow, polars, pandas and
duckdb objects, at several thread counts, against one FTTokenizer per text."""

import os
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import chopwise
import chopwiseCXX as cw
from conftest import tokenize as module_tokens

pa = pytest.importorskip("pyarrow")

# Both alphabets, digits, hyphens, other dashes, spaces, CR LF, U+0000, other letters,
# characters past U+FFFF; and runs long enough to be cut at 128 characters or 16 pieces.
ALPHABET = "aZк Ёё9-–\n\r\0.,é🔎\u00a0\t"
text = st.text(ALPHABET, max_size=200) | st.builds(
    lambda c, n, tail: c * n + tail,
    st.sampled_from(["x", "я", "7", "-", "a-", "к-"]),
    st.integers(60, 300),
    st.text(ALPHABET, max_size=5),
)
rows = st.lists(text | st.none(), max_size=10)
ALL = (1 << 64) - 1


def model(texts, types=None, min_len=0, max_len=512):
    """(doc, token, type, start, end) of one unfiltered FTTokenizer per text, offsets from the
    token lengths, then the filters; checked against the module's own filters."""
    mask = ALL if types is None else types
    out = []
    for doc, text in enumerate(texts):
        if text is None:
            continue
        start, kept = 0, []
        for token, kind in module_tokens(text):
            if kind & mask and min_len <= len(token) <= max_len:
                kept.append((doc, token, kind, start, start + len(token)))
            start += len(token)
        assert [(t, k) for _, t, k, _, _ in kept] == module_tokens(
            text, filter=mask, min_len=min(min_len, 2**32 - 1), max_len=min(max_len, 2**32 - 1)
        )
        out += kept
    return out


def rows_of(tokens):
    return list(
        zip(
            tokens.doc.tolist(),
            tokens.text,
            tokens.types.tolist(),
            tokens.start.tolist(),
            tokens.end.tolist(),
            strict=False,
        )
    )


def arrow_forms(texts):
    """The same column as every Arrow string type, and in several chunks."""
    forms = {kind: pa.array(texts, kind) for kind in ("string", "large_string", "string_view")}
    half = len(texts) // 2
    forms["chunked"] = pa.chunked_array(
        [pa.array(texts[:half], pa.string()), pa.array(texts[half:], pa.string())]
    )
    return forms


@settings(max_examples=150, deadline=None)
@given(
    rows,
    st.none() | st.integers(0, 127),
    st.integers(0, 140),
    st.integers(0, 140),
    st.sampled_from([1, 2, 3]),
)
def test_every_form_and_thread_count_is_one_tokenizer_per_text(texts, types, min_len, max_len, threads):
    want = model(texts, types, min_len, max_len)
    options = {"types": types, "min_len": min_len, "max_len": max_len, "threads": threads}
    if None not in texts:
        assert rows_of(chopwise.tokenize_many(texts, **options)) == want
        assert rows_of(chopwise.tokenize_many(iter(texts), **options)) == want
    for kind, column in arrow_forms(texts).items():
        assert rows_of(chopwise.tokenize_many(column, **options)) == want, kind
    lists = pa.array(chopwise.tokenize_many(pa.array(texts, pa.string()), **options).lists()).to_pylist()
    per_row = [None if t is None else [tok for d, tok, *_ in want if d == i] for i, t in enumerate(texts)]
    assert lists == per_row
    counted = chopwise.count_texts(
        pa.array(texts, pa.string()), types=types, min_len=min_len, max_len=max_len, threads=threads
    )
    assert counted == Counter(tok for _, tok, *_ in want)


@pytest.mark.parametrize("threads", [1, 2, 4, None])
def test_many_rows_on_threads(threads):
    lines = [f"строка {i}, line-{i}\r\n🔎{'я' * (i % 200)}" for i in range(20000)]
    lines[7] = None
    got = chopwise.tokenize_many(pa.array(lines), types=["ru", "en"], threads=threads)
    assert rows_of(got) == model(lines, int(cw.RUWORD | cw.ENWORD))


@pytest.mark.parametrize("threads", [2, 3])
def test_ranges_done_before_a_slow_one_before_them_keep_their_rows(threads):
    # The first range is far slower than the many after it, so the other threads finish ranges
    # whose place is not known yet; a long row later is a range that is not held beside others.
    lines = ["кто-то e-mail " * 40000] + [f"w{i} я-{i % 7}" for i in range(60000)]
    lines[30000] = "x y " * 600000
    want = chopwise.tokenize_many(pa.array(lines), threads=1)
    got = chopwise.tokenize_many(pa.array(lines), threads=threads)
    assert pa.array(got.lists()).equals(pa.array(want.lists()))
    assert got.to_arrow().equals(want.to_arrow())


def test_real_dataframe_objects():
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    duckdb = pytest.importorskip("duckdb")
    texts = ["Ёж и ёж", None, "e-mail кто-то", ""]
    want = model(texts, int(cw.RUWORD | cw.ENWORD))
    forms = {
        "polars": pl.Series(texts),
        "pandas": pd.Series(texts, dtype=pd.ArrowDtype(pa.string())),
        "pandas string[pyarrow]": pd.Series(texts, dtype="string[pyarrow]"),
        "duckdb": duckdb.sql("SELECT * FROM (VALUES ('Ёж и ёж'), (NULL), ('e-mail кто-то'), ('')) t(x)")
        .arrow()
        .read_all()["x"],
    }
    for name, column in forms.items():
        assert rows_of(chopwise.tokenize_many(column, types=["ru", "en"])) == want, name
        assert chopwise.count_texts(column, lower=True) == Counter(
            {"ёж": 2, "и": 1, "e-mail": 1, "кто-то": 1}
        ), name


def test_tokens_go_to_arrow_consumers():
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    tokens = chopwise.tokenize_many(pa.array(["Ёж и", None, "e-mail"]), types=["ru", "en"])
    want = {
        "token": ["Ёж", "и", "e-mail"],
        "type": [16, 16, 4],
        "doc": [0, 0, 2],
        "start": [0, 3, 0],
        "end": [2, 4, 6],
    }
    assert pa.table(tokens).to_pydict() == want
    assert tokens.to_arrow().to_pydict() == want
    assert pa.table(tokens).schema == pa.schema(
        [
            ("token", pa.string()),
            ("type", pa.uint64()),
            ("doc", pa.int64()),
            ("start", pa.int64()),
            ("end", pa.int64()),
        ]
    )
    assert pl.DataFrame(tokens).to_dict(as_series=False) == want
    found = pa.table(tokens)
    assert duckdb.sql('SELECT sum("end" - start) FROM found').fetchall() == [(9,)], found.num_rows
    assert pl.Series(tokens.lists()).to_list() == [["Ёж", "и"], None, ["e-mail"]]


def test_count_table_is_most_common_first_without_a_counter():
    table = chopwise.count_texts(pa.array(["b a b", "A a c", None]), types=None, table=True)
    assert table.column_names == ["token", "count"]
    assert table.to_pylist()[:4] == [
        {"token": " ", "count": 4},
        {"token": "a", "count": 2},
        {"token": "b", "count": 2},
        {"token": "A", "count": 1},
    ]
    lowered = chopwise.count_texts(["Ёж ЁЖ ёж Ab AB"], lower=True, table=True).to_pylist()
    assert lowered == [{"token": "ёж", "count": 3}, {"token": "ab", "count": 2}]


@pytest.mark.parametrize("kind", ["string", "large_string"])
def test_malformed_rows_follow_errors(kind):
    raw = [b"good words", None, b"bad \xff here \xed\xa0\x80 end"]
    column = pa.array(raw, pa.binary() if kind == "string" else pa.large_binary()).view(getattr(pa, kind)())
    for call in (
        lambda: chopwise.tokenize_many(column),
        lambda: chopwise.count_texts(column, threads=2),
    ):
        with pytest.raises(chopwise.DecodeError) as caught:
            call()
        assert (caught.value.source, caught.value.offset) == ("row 2", 4)
    for handler in ("replace", "ignore", "backslashreplace"):
        texts = [None if r is None else r.decode("utf-8", handler) for r in raw]
        assert rows_of(chopwise.tokenize_many(column, errors=handler, threads=2)) == model(texts)


@pytest.mark.parametrize(
    ("texts", "error"),
    [
        (pa.array([1, 2]), TypeError),
        (pa.array([b"x"], pa.binary()), TypeError),
        ("one text", TypeError),
        (["x", b"y"], TypeError),
    ],
)
def test_refused_columns(texts, error):
    with pytest.raises(error):
        chopwise.tokenize_many(texts)


@pytest.mark.parametrize(
    "call",
    [
        lambda: chopwise.tokenize_many(["x"], threads=0),
        lambda: chopwise.tokenize_many(["x"], errors="surrogateescape"),
        lambda: chopwise.count_texts(["x"], threads=True),
        lambda: chopwise.count_words([], errors="mend"),
    ],
)
def test_refused_settings(call):
    with pytest.raises(ValueError):  # noqa: PT011 (each case refuses in its own words)
        call()


def test_threads_none_is_every_cpu_this_process_may_use():
    from chopwise._types import thread_count

    assert thread_count(None) == len(os.sched_getaffinity(0))


def test_lengths_past_32_bits_filter_as_the_largest():
    texts = ["x yy " + "z" * 128]
    assert rows_of(chopwise.tokenize_many(texts, max_len=2**40)) == model(texts)
    assert len(chopwise.tokenize_many(texts, min_len=2**63)) == 0
    assert chopwise.count_texts(texts, types=None, max_len=2**64) == Counter(
        tok for _, tok, *_ in model(texts)
    )
    assert [t.text for t in chopwise.tokenize("a bb", min_len=2)] == ["bb"]


def test_a_table_of_one_column_is_that_column():
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    duckdb = pytest.importorskip("duckdb")
    texts = ["Ёж и ёж", None, "e-mail"]
    want = model(texts)
    tables = {
        "duckdb": duckdb.sql("SELECT * FROM (VALUES ('Ёж и ёж'), (NULL), ('e-mail')) t(x)"),
        "polars": pl.DataFrame({"x": texts}),
        "pandas": pd.DataFrame({"x": pd.Series(texts, dtype=pd.ArrowDtype(pa.string()))}),
        "pyarrow": pa.table({"x": texts}),
    }
    for name, table in tables.items():
        assert rows_of(chopwise.tokenize_many(table)) == want, name
        assert chopwise.count_texts(table, types=None) == Counter(t for _, t, *_ in want), name
    with pytest.raises(TypeError, match="one column, not 2"):
        chopwise.tokenize_many(pa.table({"x": texts, "y": texts}))
    with pytest.raises(TypeError, match="int64"):
        chopwise.tokenize_many(pa.table({"x": [1, 2]}))


def test_token_text_past_2_gib_is_large_string():
    """Past 2 GiB of kept token text the token column, and the lists' values, switch to 64-bit
    offsets; the tokens on either side of the switch stay whole and in place."""
    if os.environ.get("ASAN_OPTIONS"):
        pytest.skip("gigabytes under the sanitizer take too long")
    np = pytest.importorskip("numpy")
    word = "x" * 100
    line = " ".join([word] * 10_000) + " "
    rows = (1 << 31) // (100 * 10_000) + 2
    data = pa.py_buffer(line.encode() * rows)
    offsets = pa.py_buffer(np.arange(rows + 1, dtype=np.int64) * len(line.encode()))
    column = pa.LargeStringArray.from_buffers(rows, offsets, data)
    del data, offsets
    tokens = chopwise.tokenize_many(column, types=["ru", "en"], threads=2)
    assert len(tokens) == rows * 10_000
    table = pa.table(tokens)
    assert table.schema.field("token").type == pa.large_string()
    first_past = (1 << 31) // 100  # the first token whose end is past 2 GiB of text
    for i in (0, first_past - 1, first_past, len(tokens) - 1):
        assert table["token"][i].as_py() == word
        assert table["doc"][i].as_py() == i // 10_000
        assert table["start"][i].as_py() == i % 10_000 * 101
    lists = pa.array(tokens.lists())
    assert lists.type.value_type == pa.large_string()
    assert len(lists) == rows and lists[rows - 1].values[-1].as_py() == word
