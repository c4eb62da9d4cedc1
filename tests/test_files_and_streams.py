"""The file tokenizer, and iterating over batches with `stream`."""

import gc
import os
import subprocess
import sys
import textwrap

import pytest

import chopwiseCXX as cw
from conftest import E, R, configure, drain


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def texts(tok):
    return [b["text"] for b in iter(tok.get_batch, {})]


def test_missing_file_is_no_error(tmp_path):
    tok = cw.FFTokenizer(str(tmp_path / "missing.txt"))
    assert tok.is_fopen() is False
    assert [tok.get_batch() for _ in range(3)] == [{}, {}, {}]
    assert list(tok.stream) == []


def test_empty_file_has_no_batches(write_file):
    tok = cw.FFTokenizer(write_file(b""))
    assert tok.is_fopen() is True
    assert tok.get_batch() == {} and tok.get_batch() == {}


@pytest.mark.parametrize(
    "path, error",
    [(None, IsADirectoryError), ("/proc/self/mem", OSError)],  # the latter fails with EIO
    ids=["directory", "unreadable"],
)
def test_failed_read_raises_instead_of_ending_the_input(tmp_path, path, error):
    # Taking a failed read for the end of the file would pass a cut text off as whole.
    path = path or str(tmp_path)
    tok = cw.FFTokenizer(path)
    assert tok.is_fopen() is True
    for _ in range(2):  # the input stays unreadable
        with pytest.raises(error) as err:
            tok.get_batch()
        assert err.value.errno and err.value.filename == path
    with pytest.raises(error):
        list(tok.stream)


def test_path_with_nul_byte_opens_nothing(write_file):
    path = write_file("real text", name="abc")
    assert cw.FFTokenizer(path).is_fopen()
    tok = cw.FFTokenizer(path.encode() + b"\0ignored")
    assert tok.is_fopen() is False and tok.get_batch() == {}


@pytest.mark.parametrize(
    "content, mask, expected",
    [
        ("aaa bbb", E, ["aaa\0", "bbb\0"]),
        ("мир да нет", R, ["мир\0", "да\0", "нет\0"]),
        ("a b", None, ["a\0", " \0", "b\0"]),
    ],
)
def test_one_token_batches_lose_nothing(write_file, content, mask, expected):
    tok = configure(cw.FFTokenizer(write_file(content)), batch_size=1, filter=mask)
    assert texts(tok) == expected
    assert tok.is_fopen() and tok.get_batch() == {}
    tok.set_filter(2**64 - 1)
    tok.set_batch_size(10)
    assert tok.get_batch() == {}


def test_batch_size_zero_takes_no_byte(write_file):
    tok = configure(cw.FFTokenizer(write_file("ab cd")), batch_size=0)
    assert tok.get_batch() == {}
    tok.set_batch_size(2)
    assert texts(tok) == ["ab\0 \0", "cd\0"]


def test_file_path_forms(write_file):
    path = write_file("x")
    for tok in [cw.FFTokenizer(fpath=path), cw.FFTokenizer(path.encode())]:
        assert tok.get_batch()["text"] == "x\0"


def test_file_before_its_end_is_open_exactly_as_long_as_the_tokenizer(write_file):
    path = write_file("one two")
    gc.collect()  # files of tokenizers that earlier tests left in reference cycles
    before = open_fds()
    tok = configure(cw.FFTokenizer(path), batch_size=1)
    assert open_fds() == before + 1
    types = tok.get_batch()["types"]
    del tok
    gc.collect()
    assert open_fds() == before + 1  # the array keeps the tokenizer, and its file
    del types
    gc.collect()
    assert open_fds() == before


MIXED = (
    "Ёлки-палки, e-mail 2-й раз: 3.14 % — «цитата» a--b x- y\n\tend "
    + "a" * 300
    + " "
    + "-".join("абвгдежзи")
    + " "
    + "b" * 100
    + "-"
    + "c" * 100
)


@pytest.mark.parametrize("size", [1, 2, 3, 5, 7, 64, 65536])
@pytest.mark.parametrize("data", [MIXED.encode(), b"a b", b"x", b"ab\xd0", b"\xc3\xa9-\xc3\xa9 -"])
def test_text_and_file_agree_at_every_batch_size(write_file, data, size):
    whole = [t for b in drain(cw.FTTokenizer(data)) for t in b]
    for tok in [cw.FTTokenizer(data), cw.FFTokenizer(write_file(data))]:
        batches = drain(configure(tok, batch_size=size))
        assert all(len(b) <= size for b in batches)
        assert [t for b in batches for t in b] == whole


# The file is read in blocks: a read may end inside a character, a piece or a hyphen group,
# and a pipe may hand over a few bytes at a time.
@pytest.mark.parametrize("shift", [0, 1, 2, 3])
def test_files_of_many_reads_give_the_tokens_of_the_text(batches_by, shift):
    data = ("x" * shift + MIXED * 500).encode()  # about 300 KB, several reads
    expected = batches_by("byte path", data, 4096)
    assert batches_by("file", data, 4096) == expected
    assert batches_by("file byte path", data, 4096) == expected


def test_a_pipe_written_a_few_bytes_at_a_time(tmp_path):
    data = MIXED.encode()
    (tmp_path / "data").write_bytes(data)
    writer = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent("""
        import sys, time
        data = open(sys.argv[1], "rb").read()
        for i in range(0, len(data), 7):
            sys.stdout.buffer.write(data[i:i + 7]); sys.stdout.flush(); time.sleep(0.001)
        """),
            str(tmp_path / "data"),
        ],
        stdout=subprocess.PIPE,
    )
    try:
        tok = cw.FFTokenizer(f"/proc/self/fd/{writer.stdout.fileno()}")
        assert drain(configure(tok, batch_size=3)) == drain(configure(cw.FTTokenizer(data), batch_size=3))
    finally:
        writer.stdout.close()
        writer.wait()


# Streams


@pytest.fixture(params=["text", "file"])
def make_tok(request, write_file):
    def make(text, batch_size=None):
        tok = cw.FTTokenizer(text) if request.param == "text" else cw.FFTokenizer(write_file(text))
        return configure(tok, batch_size=batch_size)

    return make


def test_stream_yields_every_batch(make_tok):
    tok = make_tok("a b c d", batch_size=3)
    batches = list(tok.stream)
    assert [len(b["types"]) for b in batches] == [3, 3, 1]
    assert all(list(b) == ["text", "types"] for b in batches)
    assert "".join(b["text"] for b in batches) == "a\0 \0b\0 \0c\0 \0d\0"
    assert list(tok.stream) == []


def test_streams_share_their_tokenizer(make_tok):
    tok = make_tok("a b c d e", batch_size=1)
    s = tok.stream
    it = iter(s)
    assert it is not s and type(it) is type(s)
    assert tok.stream is not tok.stream
    assert next(s)["text"] == "a\0"
    assert next(it)["text"] == " \0"
    assert tok.get_batch()["text"] == "b\0"
    seen = []
    for batch in tok.stream:
        seen.append(batch["text"])
        tok.get_batch()  # consumes a batch the loop never sees
    assert seen == [" \0"] * 3  # c, d and e went to the calls in the body
    with pytest.raises(StopIteration):
        next(s)
    with pytest.raises(StopIteration):
        next(s)


@pytest.mark.parametrize("size", [0, None])
def test_empty_streams(make_tok, size):
    tok = make_tok("" if size is None else "abc", batch_size=size)
    for _ in tok.stream:
        pytest.fail("the loop body ran")


def test_stream_property_rules():
    tok = cw.FTTokenizer("a")
    assert type(tok.stream) is cw.fts_stream
    with pytest.raises(TypeError):
        tok.stream()
    with pytest.raises(AttributeError):
        tok.stream = None


def test_streams_keep_their_tokenizer_alive(write_file):
    path = write_file("a b c")
    assert [b["text"] for b in configure(cw.FFTokenizer(path), batch_size=2).stream] == [
        "a\0 \0",
        "b\0 \0",
        "c\0",
    ]
    s = cw.FTTokenizer("x y").stream
    it = iter(iter(s))
    del s
    gc.collect()
    assert next(it)["text"] == "x\0 \0y\0"
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_stream_errors_pass_through_and_iteration_goes_on():
    tok = configure(cw.FTTokenizer(b"a \xc3\xff b"), batch_size=2)
    s = tok.stream
    assert next(s)["text"] == "a\0 \0"
    with pytest.raises(UnicodeDecodeError):
        next(s)
    assert [b["text"] for b in s] == ["b\0"]
