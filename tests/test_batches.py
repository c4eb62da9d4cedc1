"""Batches, settings and the result dict of both tokenizers."""

import gc
import sys

import numpy as np
import pytest

import chopwiseCXX as cw
from conftest import D, E, P, R, W, configure, drain, tokenize


def texts_of(tok):
    return [b["text"] for b in iter(tok.get_batch, {})]


@pytest.mark.parametrize(
    "text, size, expected",
    [
        ("a b cd", 3, [[("a", E), (" ", W), ("b", E)], [(" ", W), ("cd", E)]]),
        # The end of input hands over two tokens; neither is lost at any batch size.
        ("a b", 1, [[("a", E)], [(" ", W)], [("b", E)]]),
        ("a b", 2, [[("a", E), (" ", W)], [("b", E)]]),
        ("ab", 1, [[("ab", E)]]),
        ("кто-то", 1, [[("кто-то", R)]]),
        ("a b c", 5, [[("a", E), (" ", W), ("b", E), (" ", W), ("c", E)]]),
        ("", 1, []),
    ],
)
def test_batch_boundaries(text, size, expected):
    assert drain(configure(cw.FTTokenizer(text), batch_size=size)) == expected


def test_result_dict_shape():
    tok = cw.FTTokenizer("Hello world")
    batch = tok.get_batch()
    assert list(batch) == ["text", "types"]
    assert batch["text"] == "Hello\0 \0world\0"
    types = batch["types"]
    assert types.dtype == np.uint64 and types.shape == (3,) and types.strides == (8,)
    assert types.flags.writeable and not types.flags.owndata
    assert types.base is tok
    assert types.tolist() == [E, W, E]
    assert tok.get_batch() == {} and tok.get_batch() == {}


def test_types_array_keeps_its_tokenizer_alive():
    tok = cw.FTTokenizer("abc def")
    types = tok.get_batch()["types"]
    del tok
    gc.collect()
    assert types.tolist() == [E, W, E]
    assert types.base.get_batch() == {}


def test_types_arrays_share_one_buffer():
    tok = configure(cw.FTTokenizer("aa 11 --"), batch_size=2)
    first = tok.get_batch()["types"]
    assert first.tolist() == [E, W]
    tok.get_batch()
    assert first.tolist() == [D, W]  # the second batch wrote over the same memory
    first[0] = 99
    assert tok.get_batch()["types"].tolist() == [P, P]


def test_resizing_never_frees_a_viewed_buffer():
    tok = cw.FTTokenizer("one two three four " * 40)
    views, left = [], set()
    # Growing retires the viewed block, shrinking keeps using it; a freed block of the same
    # size would come straight back from the allocator at the next resize to that size.
    for size in [4, 8, 4, 8, 16, 4, 2, 32, 4, 8]:
        tok.set_batch_size(size)
        batch = tok.get_batch()
        base = batch["types"].__array_interface__["data"][0]
        assert base not in left, "a block an array still views was freed and handed out again"
        if views and views[-1][0].__array_interface__["data"][0] != base:
            left.add(views[-1][0].__array_interface__["data"][0])
        views.append((batch["types"], batch["types"].copy()))
    # A retired block is never written again: its views read what their batch held.
    for view, snapshot in views:
        if view.__array_interface__["data"][0] in left:
            assert np.array_equal(view, snapshot)


def test_failed_resize_raises_memory_error_and_keeps_the_old_batch(write_file):
    # A file's length is not known in advance, so its batch buffers are sized by batch_size.
    tok = configure(cw.FFTokenizer(write_file("a b c")), batch_size=2)
    with pytest.raises(MemoryError):
        tok.set_batch_size(2**32 - 1)  # over 2 TB of text buffer
    assert list(texts_of(tok)) == ["a\0 \0", "b\0 \0", "c\0"]


@pytest.mark.parametrize("text", ["", "a", "ab cd", "ё" * 200, "\U0001f50e-x " * 50])
@pytest.mark.parametrize("size", [1, 3, 65536, 2**32 - 1])
def test_text_buffers_sized_by_the_text_give_the_same_batches(text, size):
    # A text can fill no more than its own length: a batch size beyond it costs nothing, and
    # the buffers sized by the text hold every batch, down to the last byte.
    batches = drain(configure(cw.FTTokenizer(text), batch_size=size))
    expected = tokenize(text, batch_size=1)
    assert [pair for batch in batches for pair in batch] == expected
    assert [len(batch) for batch in batches[:-1]] == [size] * (len(batches) - 1)
    assert len(batches) == -(-len(expected) // size)


def test_large_batch_sizes_do_not_wrap():
    tok = configure(cw.FTTokenizer("x y"), batch_size=8_400_000)  # 513 * n > 2**32
    assert tok.get_batch()["text"] == "x\0 \0y\0"


def test_batch_size_zero_reads_nothing():
    tok = configure(cw.FTTokenizer("ab cd"), batch_size=0)
    assert tok.get_batch() == {} and tok.get_batch() == {}
    tok.set_batch_size(1)
    assert texts_of(tok) == ["ab\0", " \0", "cd\0"]


def test_batch_size_zero_holds_back_carried_tokens():
    tok = configure(cw.FTTokenizer("a b"), batch_size=1)
    assert tok.get_batch()["text"] == "a\0"
    assert tok.get_batch()["text"] == " \0"  # the input is read to its end here
    tok.set_batch_size(0)
    assert tok.get_batch() == {}
    tok.set_batch_size(5)
    assert texts_of(tok) == ["b\0"]


@pytest.mark.parametrize(
    "settings, expected",
    [
        (dict(filter=E | R), ["Hello", "мир"]),
        (dict(filter=cw.PNCTTN), [","]),
        (dict(filter=0), []),
        (dict(filter=2**64 - 1), ["Hello", ",", " ", "мир"]),
        (dict(filter=E | R, min_len=4), ["Hello"]),
        (dict(min_len=3, max_len=3), ["мир"]),  # characters, not bytes
        (dict(min_len=5, max_len=5), ["Hello"]),
        (dict(min_len=2), ["Hello", "мир"]),
        (dict(max_len=1), [",", " "]),
        (dict(min_len=5, max_len=3), []),
        (dict(max_len=0), []),
    ],
)
def test_filters(settings, expected):
    assert [t for t, _ in tokenize("Hello, мир", **settings)] == expected


def test_filtered_input_is_read_to_its_end_by_one_call():
    tok = configure(cw.FTTokenizer("a b c " * 1000), filter=cw.NUMBER, batch_size=1)
    assert tok.get_batch() == {}
    tok.set_filter(2**64 - 1)
    assert tok.get_batch() == {}  # nothing was left


def test_settings_apply_to_pending_tokens():
    tok = configure(cw.FTTokenizer("alpha beta gamma"), batch_size=1)
    assert tok.get_batch()["text"] == "alpha\0"  # 'beta' is read up to its first letter
    tok.set_filter(cw.ENWORD)
    tok.set_token_min_len(5)
    assert texts_of(tok) == ["gamma\0"]


def test_carried_end_tokens_are_filtered_when_delivered():
    tok = configure(cw.FTTokenizer("a b"), batch_size=1)
    assert tok.get_batch()["text"] == "a\0"
    tok.set_filter(cw.ENWORD)
    assert texts_of(tok) == ["b\0"]


@pytest.mark.parametrize("make", [str, lambda t: t.encode(), lambda t: bytearray(t.encode())])
def test_input_kinds_agree(make):
    text = "Ёлки-палки, 2-й e-mail!"
    assert tokenize(make(text)) == tokenize(text)


def all_texts(tok):
    return "".join(b["text"] for b in tok.stream)


# A str stores 1, 2 or 4 bytes per character by its widest one; each width is encoded on its
# own, short and long (a long text gets a block of its own kind).
@pytest.mark.parametrize("text", ["plain ascii, 42", "café à 255\xff", "Ёлки-палки ‒ 2-й", "🔎 e-mail ё"])
@pytest.mark.parametrize("repeat", [1, 3, 100_000])
def test_str_of_every_width_reads_as_its_utf8(text, repeat):
    text = (text + "\n") * repeat
    assert all_texts(cw.FTTokenizer(text)) == all_texts(cw.FTTokenizer(text.encode()))


HUGE_PAGE = 2 << 20


# A large str's block is had in whole 2 MiB pages for the most UTF-8 its width allows (2, 3 or
# 4 bytes per character); a str of characters that wide fills that bound to the last byte.
@pytest.mark.parametrize("char, width", [("é", 2), ("€", 3), ("😀", 4)])
@pytest.mark.parametrize("pages, delta", [(1, -1), (1, 0), (1, 1), (2, 1), (3, -1)])
def test_large_str_fills_its_block_at_the_huge_page_boundary(char, width, pages, delta):
    n = pages * HUGE_PAGE // width + delta
    tok = cw.FTTokenizer(char * n)
    tok.set_token_min_len(2)  # every token is one character: read to the end, keep nothing
    assert tok.get_batch() == {}
    tok = cw.FTTokenizer(char * n + "ab")
    tok.set_filter(cw.ENWORD)
    assert tok.get_batch()["text"] == "ab\0"


@pytest.mark.parametrize("text", ["a\ud800b", "\udfff", "ё\udbff", "🔎\udc00", "x" * 5000 + "\ud800"])
def test_str_with_a_lone_surrogate_is_refused(text):
    with pytest.raises(TypeError, match=r"text: str"):
        cw.FTTokenizer(text)


def test_text_is_copied_at_construction():
    data = bytearray(b"abc def")
    tok = cw.FTTokenizer(data)
    data[:] = b"xyz uvw"
    assert tok.get_batch()["text"] == "abc\0 \0def\0"


class Str(str):
    pass


def test_str_subclass_is_taken_as_its_text():
    assert tokenize(Str("кто-то e-mail")) == tokenize("кто-то e-mail")


@pytest.mark.parametrize("text", ["ascii only", "кириллица", "mixed ё and 🔎"])
def test_caller_str_gains_no_utf8_copy_and_may_die_first(text):
    # The encoding the tokenizer reads is its own: the caller's str does not grow by a cached
    # UTF-8 copy, and the tokenizer reads on after the str is gone.
    s = text * 1000
    size = sys.getsizeof(s)
    tok = cw.FTTokenizer(s)
    assert sys.getsizeof(s) == size
    del s
    assert "".join(texts_of(tok)).replace("\0", "") == text * 1000


def test_constructor_keyword():
    assert cw.FTTokenizer(text="a").get_batch()["text"] == "a\0"


SETTERS = ["set_batch_size", "set_filter", "set_token_min_len", "set_token_max_len"]


@pytest.mark.parametrize(
    "call",
    [
        lambda: cw.FTTokenizer(123),
        lambda: cw.FTTokenizer("a\ud800b"),  # no UTF-8 encoding
        lambda: cw.FTTokenizer(None),
        lambda: cw.FTTokenizer(),
        lambda: cw.FTTokenizer(fpath="a"),
        lambda: cw.FFTokenizer(123),
        lambda: cw.FFTokenizer(text="a"),
    ],
)
def test_constructor_refuses(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    "setter, value",
    [
        ("set_filter", -1),
        ("set_filter", 2**64),
        ("set_filter", 1.0),
        ("set_filter", "x"),
        ("set_batch_size", -1),
        ("set_batch_size", 2**32),
        ("set_token_min_len", 2**32),
        ("set_token_max_len", -1),
        ("set_token_max_len", 2.0),
    ],
)
def test_setters_refuse_values_and_change_nothing(setter, value):
    tok = configure(cw.FTTokenizer("ab, cd"), batch_size=2, filter=E)
    with pytest.raises(TypeError):
        getattr(tok, setter)(value)
    assert texts_of(tok) == ["ab\0cd\0"]


@pytest.mark.parametrize("setter", SETTERS)
def test_setters_take_no_keywords(setter):
    with pytest.raises(TypeError):
        getattr(cw.FTTokenizer("a"), setter)(arg=5)


def test_setters_take_token_types_and_masks():
    tok = cw.FTTokenizer("a, 1")
    tok.set_filter(cw.PNCTTN)
    assert texts_of(tok) == [",\0"]
    tok = cw.FTTokenizer("a, 1")
    tok.set_filter((cw.ENWORD | cw.NUMBER) | int(cw.WRDSPC))
    assert texts_of(tok) == ["a\0 \0001\0"]


def test_exhausted_tokenizer_keeps_returning_new_empty_dicts():
    tok = cw.FTTokenizer("x")
    tok.get_batch()
    results = [tok.get_batch() for _ in range(100)]
    assert all(r == {} for r in results)
    assert len({id(r) for r in results[:2]}) == 2


@pytest.mark.parametrize("size", [None, 1, 300, 65536])
def test_released_buffers_reused_by_the_next_tokenizer_show_nothing_of_the_last(write_file, size):
    # Large batch blocks are kept for reuse once a tokenizer dies: the next tokenizer must see
    # only its own tokens, whatever the one before left in them.
    long_words = write_file(("ы" * 128 + " ") * 400, "long.txt")
    short = write_file("a b", "short.txt")
    for _ in range(3):
        first = configure(cw.FFTokenizer(long_words), batch_size=size)
        assert len(first.get_batch()["types"]) > 0
        del first
        gc.collect()
        tok = configure(cw.FFTokenizer(short), batch_size=size)
        assert [pair for batch in drain(tok) for pair in batch] == [("a", E), (" ", W), ("b", E)]
