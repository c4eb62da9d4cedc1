"""chopwise's tokens, offsets, masks and many-text batches, checked against the module's own
tokenizer loop."""

import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import chopwise
import chopwiseCXX as cw
from chopwise import Token, mask
from conftest import split_tokens
from conftest import tokenize as module_tokens

# Characters that exercise every rule: both alphabets, digits, the hyphen, other dashes,
# spaces, line feeds, CR, U+0000, non-Russian letters, characters past U+FFFF.
ALPHABET = "aZк Ёё9-–\n\r\0.,é🔎\u00a0\t"
texts = st.text(alphabet=ALPHABET, max_size=300) | st.builds(
    lambda c, n, tail: c * n + tail,
    st.sampled_from("xя7-"),
    st.integers(100, 400),
    st.text(ALPHABET, max_size=5),
)
type_sets = st.none() | st.integers(0, 127)
lengths = st.integers(0, 140)


def module_pairs(text, types, min_len, max_len):
    """(token, type) pairs of one FTTokenizer with the module's own filters."""
    return module_tokens(
        text, filter=(1 << 64) - 1 if types is None else types, min_len=min_len, max_len=max_len
    )


@settings(max_examples=300, deadline=None)
@given(texts, type_sets, lengths, lengths)
def test_tokenize_is_the_module_with_exact_offsets(text, types, min_len, max_len):
    found = list(chopwise.tokenize(text, types=types, min_len=min_len, max_len=max_len))
    assert [(t.text, int(t.type)) for t in found] == module_pairs(text, types, min_len, max_len)
    assert all(text[t.start : t.end] == t.text and isinstance(t.type, cw.TokenType) for t in found)
    assert list(chopwise.tokenize(text.encode(), types=types, min_len=min_len, max_len=max_len)) == found


# Tokens of 1, 2, 127 and 128 characters, each after a one-character space.
EDGES = "a bb " + "x" * 127 + " " + "y" * 128


@pytest.mark.parametrize("types", [None, 127, (1 << 64) - 1 - int(cw.WRDSPC)])
@pytest.mark.parametrize(("min_len", "max_len"), [(0, 512), (1, 128), (2, 512), (0, 127), (2, 127)])
def test_tokenize_filters_at_the_edges_of_keeping_everything(types, min_len, max_len):
    found = list(chopwise.tokenize(EDGES, types=types, min_len=min_len, max_len=max_len))
    assert [(t.text, int(t.type)) for t in found] == module_pairs(EDGES, types, min_len, max_len)
    assert all(EDGES[t.start : t.end] == t.text for t in found)


def test_tokenize_min_len_2_drops_single_characters():
    assert [t.text for t in chopwise.tokenize("a bb", min_len=2)] == ["bb"]


def test_tokenize_offsets_across_batches():
    text = "Ёж, hello!\n" * 20000  # 100000 tokens: two batches of the module
    found = list(chopwise.tokenize(text, types="ru"))
    assert len(found) == 20000 and found[-1] == Token("Ёж", cw.RUWORD, len(text) - 11, len(text) - 9)


@settings(max_examples=200, deadline=None)
@given(texts)
def test_tokens_of_a_batch(text):
    tok = cw.FTTokenizer(text)
    tok.set_batch_size(7)
    for batch in tok.stream:
        assert chopwise.tokens(batch) == split_tokens(batch["text"])
        assert len(chopwise.tokens(batch)) == len(batch["types"])
    assert chopwise.tokens(tok.get_batch()) == []


@pytest.mark.parametrize(
    ("args", "value"),
    [
        ((), 0),
        (("en", "ru"), 20),
        ((cw.ENWORD, "NUMBER", "punct"), 44),
        (("space", "newline", "other", "NOTTKN"), 67),
        ((cw.ENWORD | cw.RUWORD, cw.NUMBER), 28),
        ((2**64 - 1,), 2**64 - 1),
    ],
)
def test_mask(args, value):
    assert mask(*args) == value and type(mask(*args)) is int


@pytest.mark.parametrize(
    ("arg", "error", "message"),
    [
        (
            "words",
            ValueError,
            r"'words'.*valid names: space, newline, en, num, ru, punct, other, NOTTKN, WRDSPC",
        ),
        ("EN", ValueError, "'EN'"),
        (-1, ValueError, "-1"),
        (2**64, ValueError, "2\\*\\*64"),
        (1.0, TypeError, "float"),
        (True, TypeError, "bool"),
    ],
)
def test_mask_refuses(arg, error, message):
    with pytest.raises(error, match=message):
        mask(arg)


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: chopwise.tokenize(1), TypeError),
        (lambda: chopwise.tokenize("x", min_len=-1), ValueError),
        (lambda: chopwise.tokenize("x", max_len=1.5), TypeError),
        (lambda: chopwise.tokenize("x", types="word"), ValueError),
        (lambda: chopwise.tokenize_many(["x", b"y"]), TypeError),
        (lambda: list(chopwise.tokenize("a\ud800b")), UnicodeEncodeError),
        (lambda: chopwise.tokenize_many(["a", "\udfff"]), UnicodeEncodeError),
        (lambda: chopwise.tokenize(b"ok \xff"), UnicodeDecodeError),
        (lambda: chopwise.tokenize("x", errors="mend"), ValueError),
        (lambda: chopwise.count_words([], errors="mend"), ValueError),
        (lambda: chopwise.count_words([], workers=0), ValueError),
    ],
)
def test_bad_arguments(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize(
    "data", [b"caf\xc3 \x80ok", b"good \xed\xa0\x80 words", b"cut \xe2\x82", b"\xf8\xff x-\xd0\nend"]
)
def test_tokenize_bytes_replace(data):
    text = data.decode("utf-8", "replace")
    found = list(chopwise.tokenize(bytearray(data), errors="replace"))
    assert found == list(chopwise.tokenize(text))
    assert "".join(t.text for t in found) == text


@settings(max_examples=150, deadline=None)
@given(st.lists(texts, max_size=12), type_sets, lengths, lengths)
def test_tokenize_many_is_one_tokenizer_per_text(many, types, min_len, max_len):
    got = chopwise.tokenize_many(iter(many), types=types, min_len=min_len, max_len=max_len)
    want = [
        (i, tok, kind)
        for i, text in enumerate(many)
        for tok, kind in module_pairs(text, types, min_len, max_len)
    ]
    assert list(zip(got.doc.tolist(), got.text, got.types.tolist(), strict=True)) == want
    assert len(got) == len(want)
    assert got.types.dtype == np.uint64 and got.doc.dtype == got.start.dtype == got.end.dtype == np.int64
    for doc, text, start, end in zip(got.doc, got.text, got.start, got.end, strict=True):
        assert many[doc][start:end] == text


def test_tokenize_many_across_batches():
    lines = [f"строка {i}, line-{i}" for i in range(30000)]  # 270000 tokens
    got = chopwise.tokenize_many(lines, types=mask("ru", "en"))
    assert len(got) == 60000 and got.text[-2:] == ["строка", "line-29999"]
    assert got.doc[-1] == 29999 and (got.start[-1], got.end[-1]) == (14, 24)
    assert len(chopwise.tokenize_many([])) == 0


def test_token_is_a_named_tuple():
    token = next(chopwise.tokenize("Ёж"))
    assert token == ("Ёж", cw.RUWORD, 0, 2) and token._fields == ("text", "type", "start", "end")


def test_to_arrow_of_a_batch_is_a_copy():
    pa = pytest.importorskip("pyarrow")
    tok = cw.FTTokenizer("Ёж\0 и ёж, hedgehog")
    tok.set_batch_size(4)
    first = chopwise.to_arrow(tok.get_batch())
    tok.get_batch()  # overwrites the first batch's types array
    assert first.schema == pa.schema([("token", pa.string()), ("type", pa.uint64())])
    assert first.to_pydict() == {"token": ["Ёж", "\0", " ", "и"], "type": [16, 64, 1, 16]}
    assert chopwise.to_arrow({}).num_rows == 0


def test_tokens_to_arrow():
    pa = pytest.importorskip("pyarrow")
    table = chopwise.tokenize_many(["Ёж и", "e-mail"], types=["ru", "en"]).to_arrow()
    assert table.to_pydict() == {
        "token": ["Ёж", "и", "e-mail"],
        "type": [16, 16, 4],
        "doc": [0, 0, 1],
        "start": [0, 3, 0],
        "end": [2, 4, 6],
    }
    assert table.schema.field("type").type == pa.uint64()


@pytest.mark.parametrize(
    "call",
    [
        lambda: chopwise.to_arrow(cw.FTTokenizer("x").get_batch()),
        lambda: chopwise.tokenize_many(["x"]).to_arrow(),
    ],
)
def test_arrow_missing(call, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r'pip install pyarrow, or the "arrow" extra'):
        call()
