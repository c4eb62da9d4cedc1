"""The `chopwise` command: word counts, tokens and tokenizer statistics of files.

Exit status: 0 on success, 1 when an input cannot be read, 2 on a usage error.
"""

from __future__ import annotations

import argparse
import io
import json
import lzma
import os
import signal
import sys
import time
import zlib
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import BinaryIO, TextIO, cast

import numpy as np

import chopwise
from chopwise._errors import DecodeError, shown_name
from chopwise._sources import chunks, decoded, name_of, open_source, plain_file_size
from chopwiseCXX import ENWORD, RUWORD, FTTokenizer, TokenType

PROG = "chopwise"
# Inputs smaller than this are done before a progress bar would be of use.
PROGRESS_MIN_BYTES = 4 << 20
TOKEN_LINES_PER_WRITE = 4096
TYPE_NAMES = {int(t): t.name for t in TokenType.__members__.values() if int(t)}
# Characters that would break a line-per-token format, and the backslash that escapes them.
_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r", "\0": "\\0"})


class InputError(Exception):
    """An input that cannot be read: the command ends with status 1."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{name_of(path)}: {reason}")


class OutputError(Exception):
    """Standard output cannot be written (a full disk): the command ends with status 1. Not an
    OSError, so that it is never taken for a failure to read the input being written out."""


def main(argv: Sequence[str] | None = None) -> int:
    # A reader that goes away (`| head`) ends the command quietly, as it ends any other tool.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    args = build_parser().parse_args(argv)
    if sys.stdout is None:  # started with standard output closed
        print(f"{PROG}: standard output: it is closed", file=sys.stderr)
        return 1
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(line_buffering=True)
    run: Callable[[argparse.Namespace], None] = args.run
    try:
        run(args)
    except InputError as err:
        print(f"{PROG}: {err}", file=sys.stderr)
        return 1
    except OutputError as err:
        print(f"{PROG}: standard output: {err}", file=sys.stderr)
        # What could not be written would be tried again at exit, and fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


# --- options -------------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Tokenize Russian and English text: word counts, tokens, statistics.",
        epilog="FILE may be '-' for standard input, or a .gz, .bz2, .xz or .zst file. "
        "Exit status: 0 success, 1 an input cannot be read, 2 usage error.",
    )
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    count = commands.add_parser(
        "count",
        help="word frequencies, most frequent first",
        description="Word frequencies over all FILEs, most frequent first; "
        "words of equal count in code point order.",
    )
    _add_inputs(count)
    count.add_argument(
        "-j",
        "--jobs",
        type=_positive,
        default=None,
        metavar="N",
        help="threads; a large file is shared among them (default: every CPU)",
    )
    count.add_argument("--top", type=_positive, metavar="K", help="only the K most frequent words")
    count.add_argument("--lower", action="store_true", help="count words lower-cased")
    _add_types(count, ENWORD | RUWORD, "en,ru")
    count.add_argument(
        "--min-len",
        type=_non_negative,
        default=0,
        metavar="N",
        help="only words of at least N characters (default 0)",
    )
    count.add_argument(
        "--max-len",
        type=_non_negative,
        default=512,
        metavar="N",
        help="only words of at most N characters (default 512)",
    )
    count.add_argument(
        "--format",
        choices=("table", "tsv", "json"),
        default="table",
        help="table: aligned columns; tsv: WORD<TAB>COUNT lines; "
        "json: one object from word to count (default table)",
    )
    count.set_defaults(run=run_count)

    tokens = commands.add_parser(
        "tokens",
        help="every token with its type",
        description="Every token of each FILE with its type name, in order.",
    )
    _add_inputs(tokens)
    _add_types(tokens, None, "all")
    tokens.add_argument(
        "--offsets",
        action="store_true",
        help="add each token's start and end: character offsets into its file's text",
    )
    tokens.add_argument(
        "--format",
        choices=("tsv", "jsonl"),
        default="tsv",
        help="tsv: TOKEN<TAB>TYPE[<TAB>START<TAB>END] lines, with backslash, tab, "
        "line feed, carriage return and NUL in tokens written \\\\ \\t \\n \\r \\0; "
        "jsonl: one JSON object a line (default tsv)",
    )
    tokens.set_defaults(run=run_tokens)

    stats = commands.add_parser(
        "stats",
        help="tokens per type, bytes, tokenizer speed",
        description="Tokens per type, bytes and the speed of the tokenizer "
        "alone (not reading or decompressing) for each FILE.",
    )
    _add_inputs(stats)
    stats.set_defaults(run=run_stats)
    return parser


def _add_inputs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="input file; '-' is standard input")
    parser.add_argument(
        "--errors",
        choices=("strict", "replace"),
        default="strict",
        help="malformed UTF-8: stop with an error (strict, the default) or read it as U+FFFD (replace)",
    )


def _add_types(parser: argparse.ArgumentParser, default: int | None, shown: str) -> None:
    parser.add_argument(
        "--types",
        type=_types,
        default=default,
        metavar="TYPES",
        help="comma-separated token types to keep: en, ru, num, punct, space, "
        f"newline, other, or type names such as RUWORD (default {shown})",
    )


def _types(value: str) -> int:
    try:
        return chopwise.mask(*(name.strip() for name in value.split(",")))
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def _non_negative(value: str) -> int:
    n = int(value) if value.strip().isdigit() else -1
    if n < 0:
        raise argparse.ArgumentTypeError(f"not a whole number of 0 or more: {value!r}")
    return n


def _positive(value: str) -> int:
    n = _non_negative(value)
    if n < 1:
        raise argparse.ArgumentTypeError(f"not a whole number of 1 or more: {value!r}")
    return n


# --- reading, errors, progress ---------------------------------------------------------------


@contextmanager
def reading(path: str | None = None) -> Iterator[None]:
    """Turns the failure to read an input into an InputError naming it (`path`, or the input
    the error names) and the reason."""
    try:
        yield
    except DecodeError as err:
        name = path if path is not None else err.source
        raise InputError(
            name, f"not valid UTF-8 at byte {err.offset}; --errors replace reads it anyway"
        ) from None
    except OSError as err:
        name = path if path is not None else os.fsdecode(err.filename) if err.filename else "input"
        raise InputError(name, err.strerror or str(err)) from None
    except UnicodeDecodeError as err:
        raise InputError(
            path or "input", f"not valid UTF-8 ({err.reason}); --errors replace reads it anyway"
        ) from None
    except ImportError as err:  # a .zst file without the zstandard package
        raise InputError(path or "input", str(err)) from None
    except Exception as err:
        if not isinstance(err, _broken_file_errors()):
            raise
        raise InputError(path or "input", f"{err or type(err).__name__}") from None


def _broken_file_errors() -> tuple[type[Exception], ...]:
    """What a decompressor raises for a file that is cut short or corrupt."""
    errors: tuple[type[Exception], ...] = (EOFError, zlib.error, lzma.LZMAError)
    zstandard = sys.modules.get("zstandard")
    return errors + (zstandard.ZstdError,) if zstandard is not None else errors


def input_size(paths: Sequence[str]) -> int | None:
    """The bytes all inputs hold, or None when one of them cannot tell (compressed, a pipe)."""
    sizes = [plain_file_size(p) for p in paths]
    return None if None in sizes else sum(s for s in sizes if s is not None)


class Progress:
    """A progress bar on standard error for a large input, drawn only on a terminal. With an
    unknown total it shows the bytes read so far, once they pass the threshold."""

    def __init__(self, total: int | None, err: TextIO | None = None) -> None:
        self.err = err if err is not None else sys.stderr
        self.total = total
        self.done = 0
        self.drawn_at = 0.0
        self.active = self.err.isatty() and (total is None or total >= PROGRESS_MIN_BYTES)

    def advance(self, n: int) -> None:
        self.done += n
        now = time.monotonic()
        if self.active and now - self.drawn_at >= 0.1:
            self.drawn_at = now
            self._draw()

    def close(self) -> None:
        if self.active and self.drawn_at:
            self._draw()
            self.err.write("\n")
            self.err.flush()

    def _draw(self) -> None:
        if self.total is None:
            if self.done < PROGRESS_MIN_BYTES:
                return
            line = f"{self.done / 1e6:,.1f} MB read"
        else:
            share = min(self.done / max(self.total, 1), 1.0)
            fill = int(share * 40)
            line = f"[{'#' * fill}{'.' * (40 - fill)}] {share * 100:3.0f}%"
        self.err.write(f"\r{line}")
        self.err.flush()


@contextmanager
def progress_for(paths: Sequence[str]) -> Iterator[Progress]:
    bar = Progress(input_size(paths))
    try:
        yield bar
    finally:
        bar.close()


class _Tracked:
    """A binary file whose reads move a progress bar."""

    def __init__(self, f: BinaryIO, bar: Progress) -> None:
        self.f, self.bar = f, bar

    def read(self, size: int = -1) -> bytes:
        data = self.f.read(size)
        self.bar.advance(len(data))
        return data


@contextmanager
def opened(path: str, bar: Progress) -> Iterator[BinaryIO]:
    with reading(path), open_source(path) as f:
        yield cast(BinaryIO, _Tracked(f, bar))


# --- count -----------------------------------------------------------------------------------


def run_count(args: argparse.Namespace) -> None:
    options = {"types": args.types, "lower": args.lower, "min_len": args.min_len, "max_len": args.max_len}
    counts: Counter[str] = Counter()
    with progress_for(args.files) as bar:
        # One file a call, so that a failure is told with the file it met.
        for path in args.files:
            with reading(path):
                found = chopwise.count_words(
                    path, threads=args.jobs, errors=args.errors, progress=bar.advance, **options
                )
            counts.update(found)
    # One file's counts come most frequent first, ties in code point order; a sum is sorted so.
    ranked = list(counts.items()) if len(args.files) == 1 else sorted(counts.items(), key=_rank)
    write_counts(ranked[: args.top], args.format, sys.stdout)


def _rank(item: tuple[str, int]) -> tuple[int, str]:
    return -item[1], item[0]


def write_counts(ranked: list[tuple[str, int]], fmt: str, out: TextIO) -> None:
    if fmt == "json":
        emit(out, json.dumps(dict(ranked), ensure_ascii=False) + "\n")
        return
    words = [word.translate(_ESCAPES) for word, _ in ranked]
    if fmt == "tsv":
        _write_lines((f"{w}\t{n}\n" for w, (_, n) in zip(words, ranked, strict=False)), out)
        return
    width = max(map(len, words), default=0)
    digits = max((len(f"{n:,}") for _, n in ranked), default=0)
    _write_lines((f"{w:<{width}}  {n:>{digits},}\n" for w, (_, n) in zip(words, ranked, strict=False)), out)


def emit(out: TextIO, text: str) -> None:
    try:
        out.write(text)
    except OSError as err:
        raise OutputError(err.strerror or str(err)) from None
    except UnicodeEncodeError as err:
        raise OutputError(f"cannot write {text[err.start : err.end]!r} in {err.encoding}") from None


def _write_lines(lines: Iterator[str], out: TextIO) -> None:
    """Writes lines a few thousand at a time: one write (and one flush) per group, not per line."""
    group: list[str] = []
    for line in lines:
        group.append(line)
        if len(group) == TOKEN_LINES_PER_WRITE:
            emit(out, "".join(group))
            group.clear()
    emit(out, "".join(group))


# --- tokens ----------------------------------------------------------------------------------


def run_tokens(args: argparse.Namespace) -> None:
    line = _jsonl_line if args.format == "jsonl" else _tsv_line
    with progress_for(args.files) as bar:
        for path in args.files:
            with opened(path, bar) as f:
                tokens = chopwise.tokenize_file(f, types=args.types, errors=args.errors)
                _write_lines((line(t, args.offsets) for t in tokens), sys.stdout)


# Tabs, line feeds, carriage returns, NULs and backslashes are never part of a longer token (they
# are not letters, digits or hyphens), so escaping a token is a lookup of the whole token.
_ESCAPED_TOKENS = {chr(c): str(escaped) for c, escaped in _ESCAPES.items()}
# Token types by the identity of their member: hashing a member costs a call into the binding.
_NAMES_BY_ID = {id(t): t.name for t in TokenType.__members__.values()}


def _type_name(token: chopwise.Token) -> str:
    return _NAMES_BY_ID.get(id(token.type)) or token.type.name


def _tsv_line(token: chopwise.Token, offsets: bool) -> str:
    text = _ESCAPED_TOKENS.get(token.text, token.text)
    if offsets:
        return f"{text}\t{_type_name(token)}\t{token.start}\t{token.end}\n"
    return f"{text}\t{_type_name(token)}\n"


def _jsonl_line(token: chopwise.Token, offsets: bool) -> str:
    text = json.dumps(token.text, ensure_ascii=False)
    if offsets:
        where = f'"start": {token.start}, "end": {token.end}'
        return f'{{"token": {text}, "type": "{_type_name(token)}", {where}}}\n'
    return f'{{"token": {text}, "type": "{_type_name(token)}"}}\n'


# --- stats -----------------------------------------------------------------------------------


class Stats:
    def __init__(self) -> None:
        self.bytes = 0
        self.seconds = 0.0
        self.per_type = np.zeros(max(TYPE_NAMES) + 1, dtype=np.int64)

    def add(self, other: Stats) -> None:
        self.bytes += other.bytes
        self.seconds += other.seconds
        self.per_type += other.per_type


def run_stats(args: argparse.Namespace) -> None:
    # The first batch of a process sets up the binding's NumPy support: not the tokenizer's time.
    FTTokenizer(" ").get_batch()
    total = Stats()
    with progress_for(args.files) as bar:
        for path in args.files:
            stats = file_stats(path, args.errors, bar)
            write_stats(shown_name(path), stats, sys.stdout)
            total.add(stats)
    if len(args.files) > 1:
        write_stats("all files", total, sys.stdout)


def file_stats(path: str, errors: str, bar: Progress) -> Stats:
    """Counts tokens per type; only the tokenizer's own calls are timed."""
    stats = Stats()
    with opened(path, bar) as f:
        for chunk in chunks(f, errors=errors):
            text = decoded(chunk, errors, name_of(path), stats.bytes)
            stats.bytes += len(chunk)
            start = time.perf_counter()
            tok = FTTokenizer(text)
            while batch := tok.get_batch():
                stats.seconds += time.perf_counter() - start
                stats.per_type += np.bincount(batch["types"].astype(np.intp), minlength=len(stats.per_type))
                start = time.perf_counter()
            stats.seconds += time.perf_counter() - start
    return stats


def write_stats(name: str, stats: Stats, out: TextIO) -> None:
    speed = stats.bytes / 1e6 / stats.seconds if stats.seconds > 0 else 0.0
    lines = [f"{name}:", f"  {'bytes':<8} {stats.bytes:>15,}"]
    lines += [f"  {TYPE_NAMES[v]:<8} {int(stats.per_type[v]):>15,}" for v in TYPE_NAMES if stats.per_type[v]]
    lines += [
        f"  {'tokens':<8} {int(stats.per_type.sum()):>15,}",
        f"  {'speed':<8} {speed:>15,.1f} MB/s (tokenizer alone, {stats.seconds:.3f} s)",
    ]
    emit(out, "\n".join(lines) + "\n")
