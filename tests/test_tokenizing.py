"""What tokens a text becomes: grouping, joining, decoding and the limits."""

import sys

import pytest

import chopwiseCXX as cw
from conftest import ROADS, D, E, N, P, R, U, W

GROUPING = [
    ("abc def", [("abc", E), (" ", W), ("def", E)]),
    ("Привет, мир!", [("Привет", R), (",", P), (" ", W), ("мир", R), ("!", P)]),
    ("abc123", [("abc", E), ("123", D)]),
    ("abc123def", [("abc", E), ("123", D), ("def", E)]),
    ("мирworld", [("мир", R), ("world", E)]),
    ("...", [(".", P)] * 3),
    ("  \n\n", [(" ", W), (" ", W), ("\n", N), ("\n", N)]),
    ("a\tb", [("a", E), ("\t", U), ("b", E)]),
    ("x\r\n", [("x", E), ("\r", U), ("\n", N)]),
    ("café", [("caf", E), ("é", U)]),
    ("ёлка Ёж", [("ёлка", R), (" ", W), ("Ёж", R)]),
    ("hello", [("hello", E)]),
    ("ё", [("ё", R)]),
    ("a b", [("a", E), (" ", W), ("b", E)]),
    ("Hello world", [("Hello", E), (" ", W), ("world", E)]),
    ("hello, world", [("hello", E), (",", P), (" ", W), ("world", E)]),
    ("snake_case", [("snake", E), ("_", P), ("case", E)]),
]


HYPHENS = [
    ("кто-то", [("кто-то", R)]),
    ("e-mail", [("e-mail", E)]),
    ("123-456", [("123-456", D)]),
    ("a-", [("a-", E)]),
    ("-a", [("-", P), ("a", E)]),
    ("1.5", [("1", D), (".", P), ("5", D)]),
    ("mother-in-law", [("mother-in-law", E)]),
    ("a--b", [("a-", E), ("-", P), ("b", E)]),
    ("a - b", [("a", E), (" ", W), ("-", P), (" ", W), ("b", E)]),
    ("web-сайт", [("web-сайт", E)]),
    ("2-й", [("2-й", D)]),
    ("a–b", [("a", E), ("–", P), ("b", E)]),
    ("a‐b", [("a", E), ("‐", P), ("b", E)]),  # U+2010 is a dash, not the hyphen
    ("x- y", [("x-", E), (" ", W), ("y", E)]),
    ("a-,", [("a-", E), (",", P)]),
    ("-", [("-", P)]),
    ("--", [("-", P), ("-", P)]),
    ("a-b-", [("a-b-", E)]),
]


LIMITS = [
    # Runs longer than a piece holds are split, never cut short.
    ("a" * 128, ["a" * 128]),
    ("a" * 300, ["a" * 128, "a" * 128, "a" * 44]),
    ("я" * 129 + " 1", ["я" * 128, "я", " ", "1"]),
    ("7" * 256, ["7" * 128] * 2),
    # Groups stop at 16 pieces or 128 characters; the next piece starts a new group.
    ("a-b-c-d-e-f-g-h-", ["a-b-c-d-e-f-g-h-"]),
    ("a-b-c-d-e-f-g-h-i", ["a-b-c-d-e-f-g-h-", "i"]),
    ("a-b-c-d-e-f-g-h-i-j", ["a-b-c-d-e-f-g-h-", "i-j"]),
    ("a" * 64 + "-" + "b" * 63, ["a" * 64 + "-" + "b" * 63]),
    ("a" * 100 + "-" + "b" * 100, ["a" * 100 + "-", "b" * 100]),
    ("a" * 127 + "-" + "b", ["a" * 127 + "-", "b"]),
    ("a" * 128 + "-b", ["a" * 128, "-", "b"]),
    ("a" * 130 + "-b", ["a" * 128, "aa-b"]),
]


DECODING = [
    (b"A", ["A"]),
    (b"\xc3\xa9\xd0\x81\xe2\x80\x94\xe2\x82\xac\xf0\x9f\x98\x80", ["é", "Ё", "—", "€", "😀"]),
    (b"\xe2\x82A", ["A"]),  # an interrupted character is dropped
    (b"\x80\x80A", ["A"]),  # continuation bytes before any lead byte
    (b"A\x80\x80\x80\x80\x80B", ["AB"]),  # stray bytes after a complete character
    (b"ab\xd0", ["ab"]),  # an unfinished character at the end
    (b"\xd0", []),
]


@pytest.mark.parametrize("text, expected", GROUPING)
@pytest.mark.parametrize("road", ROADS)
def test_grouping(tokenize_by, road, text, expected):
    assert tokenize_by(road, text) == expected


@pytest.mark.parametrize("text, expected", HYPHENS)
@pytest.mark.parametrize("road", ROADS)
def test_hyphen_joining(tokenize_by, road, text, expected):
    assert tokenize_by(road, text) == expected


@pytest.mark.parametrize(
    "text, expected",
    LIMITS,
    ids=lambda v: v if isinstance(v, str) and len(v) < 24 else None,
)
@pytest.mark.parametrize("road", ROADS)
def test_capacity_limits(tokenize_by, road, text, expected):
    assert [t for t, _ in tokenize_by(road, text)] == expected


@pytest.mark.parametrize("data, expected", DECODING)
@pytest.mark.parametrize("road", ROADS[1:])
def test_lenient_decoding(tokenize_by, road, data, expected):
    assert [t for t, _ in tokenize_by(road, data)] == expected


SPLIT_TEXTS = [
    "Привет, мир! e-mail кто-то 2024-12-08 — well- known",
    "a-b-c-d-e-f-g-h-i-j " + "x" * 130 + "-y " + "я" * 129 + " 1\n\n",
    "a" * 127 + "-" + "b" + " ab-" + "7" * 128 + ". Ёж-ёлка, --a-- -b",
]


@pytest.mark.parametrize("batch_size", [1, 2, 3, 7])
@pytest.mark.parametrize("road", [r for r in ROADS if r != "byte path"])
@pytest.mark.parametrize("data", SPLIT_TEXTS + [b"ok \xd0\xb6\x80-x \xe2\x80 a-\x80-b ab\xd0"])
def test_every_road_splits_batches_as_the_byte_path(batches_by, road, data, batch_size):
    # The window scan must not only find the same tokens but hand them over in the same calls.
    if road == "str" and isinstance(data, bytes):
        pytest.skip("a str holds no malformed bytes")
    expected = batches_by("byte path", data, batch_size)
    assert max(len(batch) for batch in expected) == batch_size
    assert batches_by(road, data, batch_size) == expected


@pytest.mark.parametrize(
    "data",
    [b"\xc3\xff", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf7\xbf\xbf\xbf", b"\xc0\x80"],
    ids=["high continuation", "surrogate", "beyond U+10FFFF", "largest", "overlong"],
)
def test_malformed_characters_pass_through_and_fail_strict_decoding(data):
    tok = cw.FTTokenizer(b"ok " + data + b" go")
    tok.set_batch_size(2)
    assert tok.get_batch()["text"] == "ok\0 \0"
    with pytest.raises(UnicodeDecodeError) as err:
        tok.get_batch()
    # The very error the interpreter's own strict decoding gives for the batch's bytes.
    assert err.value.object == data + b"\0 \0"
    with pytest.raises(UnicodeDecodeError) as same:
        err.value.object.decode("utf-8")
    assert str(err.value) == str(same.value)
    # The failed call's bytes stay consumed; reading goes on after them.
    assert tok.get_batch()["text"] == "go\0"
    assert tok.get_batch() == {}


def test_malformed_characters_are_unknown_single_tokens():
    tok = cw.FTTokenizer(b"a\xc3\xffb\xed\xa0\x80")
    tok.set_filter(cw.ENWORD)
    assert tok.get_batch()["text"] == "a\0b\0"
    tok = cw.FTTokenizer(b"a\xc3\xffb\xed\xa0\x80")
    tok.set_filter(cw.UNKNWN)
    with pytest.raises(UnicodeDecodeError) as err:
        tok.get_batch()
    assert err.value.object == b"\xc3\xff\x00\xed\xa0\x80\x00"


WIDTH_EDGES = ["a", "\x7f", "\x80", "\xff", "\u0100", "ё", "\uffff", "\U00010000", "\U0010ffff"]


@pytest.mark.parametrize("order", [WIDTH_EDGES, WIDTH_EDGES[::-1]], ids=["widening", "narrowing"])
def test_each_batch_text_is_a_str_of_its_own_narrowest_width(order):
    # One character per batch, so no batch may take the width of the one before it: a wider
    # str holding the same characters would compare unequal to the one a script writes.
    tok = cw.FTTokenizer(" ".join(order))
    tok.set_batch_size(1)
    tok.set_filter(~W & (2**64 - 1))
    for c in order:
        text = tok.get_batch()["text"]
        assert text == c + "\0"
        assert sys.getsizeof(text) == sys.getsizeof(c + "\0")


def test_nul_characters_are_unknown_tokens():
    tok = cw.FTTokenizer("a\0\0b")
    batch = tok.get_batch()
    assert batch["text"] == "a\0\0\0\0\0b\0"
    assert batch["types"].tolist() == [E, U, U, E]


# Long enough on both sides for the wide stage of the window scan, which starts only between
# tokens and takes stretches of ASCII and Russian letters many bytes at a time.
PADDING = "Съешь же ещё этих мягких французских булок, да выпей чаю: e-mail 12-34 ab-cd\n" * 2


@pytest.mark.parametrize("road", [r for r in ROADS if r != "byte path"])
@pytest.mark.parametrize("data", [t for t, _ in GROUPING + HYPHENS + LIMITS + DECODING])
def test_table_texts_inside_long_text_give_the_byte_paths_tokens(tokenize_by, road, data):
    pad = PADDING if isinstance(data, str) else PADDING.encode()
    if road == "str" and isinstance(data, bytes):
        pytest.skip("a str holds no malformed bytes")
    for text in (pad + data + pad, data + pad, pad + data, pad + data + data + pad):
        assert tokenize_by(road, text) == tokenize_by("byte path", text)
