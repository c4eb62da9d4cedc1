"""Exercises every way to make and drop tokenizers, streams and batches, for a leak checker.

Run under valgrind by `make test-leaks`; it asserts only that the module still works, the
checker judges the memory.
"""

import contextlib
import gc
import os
import sys
import tempfile

import chopwiseCXX as cw

TEXT = "Привет, мир! e-mail кто-то 123-456 " * 20 + "x" * 300


def text_tokenizers():
    for size in (0, 1, 7, 1000):
        tok = cw.FTTokenizer(TEXT)
        tok.set_batch_size(size)
        batches = list(tok.stream)
        assert (size == 0) == (not batches)


def streams_dropped_mid_way(path):
    for make in (lambda: cw.FTTokenizer(TEXT), lambda: cw.FFTokenizer(path)):
        tok = make()
        tok.set_batch_size(3)
        it = iter(tok.stream)
        next(it)
        del tok  # the stream keeps the tokenizer alive
        next(it)
        del it
        # A stream over a tokenizer that nobody else holds.
        s = make().stream
        next(s)
        del s


def arrays_outlive_tokenizers():
    tok = cw.FTTokenizer(TEXT)
    tok.set_batch_size(5)
    kept = []
    for n in (5, 9, 2, 9):
        kept.append(tok.get_batch()["types"])
        tok.set_batch_size(n)  # retires the viewed block
    del tok
    assert all(len(a) for a in kept)


def failures(path):
    missing = cw.FFTokenizer(os.path.join(os.path.dirname(path), "missing"))
    assert not missing.is_fopen() and missing.get_batch() == {}
    with contextlib.suppress(IsADirectoryError):
        cw.FFTokenizer(os.path.dirname(path)).get_batch()
    bad = cw.FTTokenizer(b"ok \xc3\xff ok")
    try:
        while bad.get_batch():
            pass
    except UnicodeDecodeError:
        pass
    tok = cw.FTTokenizer("abc")
    with contextlib.suppress(MemoryError):
        tok.set_batch_size(2**32 - 1)
    for refused in (123, "x\ud800", "x" * 600_000 + "\udfff"):  # the last after a large block
        with contextlib.suppress(TypeError):
            cw.FTTokenizer(refused)


def str_widths():
    # Each width of str is encoded into a block of the tokenizer's own; large ones differently.
    def count(text):
        return sum(len(b["types"]) for b in cw.FTTokenizer(text).stream)

    for text in ("abc ", "café ", "ёж ", "🔎 "):
        assert count(text * 200_000) == 200_000 * count(text) > 0


def main():
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "in.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write(TEXT)
        for _ in range(3):
            text_tokenizers()
            streams_dropped_mid_way(path)
            arrays_outlive_tokenizers()
            failures(path)
            str_widths()
            file_tok = cw.FFTokenizer(path)
            assert sum(len(b["types"]) for b in file_tok.stream) > 0
            del file_tok
    gc.collect()
    print("leak script done", file=sys.stderr)


if __name__ == "__main__":
    main()
