import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import chopwiseCXX as cw

ROOT = pathlib.Path(__file__).resolve().parent.parent

# TokenType values by their initials: WRDSPC NWLINE ENWORD NUMBER (digits) RUWORD PNCTTN UNKNWN.
W, N, E, D, R, P, U = 1, 2, 4, 8, 16, 32, 64


def split_tokens(text):
    """The NUL-terminated tokens of a batch's text. Tokens are never empty, so a token that
    starts with NUL is the one-character token of an input NUL."""
    tokens, pos = [], 0
    while pos < len(text):
        end = pos + 1 if text[pos] == "\0" else text.index("\0", pos)
        assert text[end] == "\0"
        tokens.append(text[pos:end])
        pos = end + 1
    return tokens


def batch_pairs(batch):
    """A batch as a list of (token, type) pairs."""
    if not batch:
        return []
    tokens = split_tokens(batch["text"])
    assert len(tokens) == len(batch["types"])
    return list(zip(tokens, (int(t) for t in batch["types"]), strict=True))


def drain(tok, limit=1_000_000):
    """Every batch a tokenizer still has, as lists of (token, type) pairs."""
    batches = []
    for _ in range(limit):
        batch = tok.get_batch()
        if not batch:
            return batches
        batches.append(batch_pairs(batch))
    raise AssertionError("tokenizer never ran dry")


def configure(tok, batch_size=None, filter=None, min_len=None, max_len=None):
    if batch_size is not None:
        tok.set_batch_size(batch_size)
    if filter is not None:
        tok.set_filter(filter)
    if min_len is not None:
        tok.set_token_min_len(min_len)
    if max_len is not None:
        tok.set_token_max_len(max_len)
    return tok


def tokenize(text, **settings):
    """All tokens of a text, as (token, type) pairs across every batch."""
    tok = configure(cw.FTTokenizer(text), **settings)
    return [pair for batch in drain(tok) for pair in batch]


@pytest.fixture
def write_file(tmp_path):
    def write(data, name="input.txt"):
        path = tmp_path / name
        path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
        return str(path)

    return write


def native_env():
    """The environment for building and running native programs: under `make test-asan` the
    interpreter runs with a preloaded runtime, which the compiler and the programs must not get."""
    env = dict(os.environ)
    for key in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        env.pop(key, None)
    return env


def tool(name):
    """A build tool from the interpreter's own environment, where the dev tools are installed."""
    beside = pathlib.Path(sys.executable).parent / name
    return str(beside) if beside.exists() else shutil.which(name)


@pytest.fixture(scope="session")
def native_build():
    """The native checks, the fuzz replay and the byte-path tokenizer, built by CMake from the
    core's one source list into build/native."""
    build = ROOT / "build" / "native"
    env = native_env()
    subprocess.run(
        [
            tool("cmake"),
            "-S",
            str(ROOT),
            "-B",
            str(build),
            "-G",
            "Ninja",
            f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}",
            "-DCHOPWISE_NATIVE=ON",
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
        ],
        check=True,
        env=env,
        capture_output=True,
    )
    subprocess.run([tool("cmake"), "--build", str(build)], check=True, env=env)
    return build


@pytest.fixture(scope="session")
def byte_path_tokenizer(native_build):
    return native_build / "tokenize_main"


# The byte path is the native byte-at-a-time path with the window scan off, over a text in
# memory or through the file source.
ROADS = ["str", "bytes", "file", "byte path", "file byte path"]


def parse_byte_path(out):
    """The batches `tokenize_main` printed, as lists of (token, type) pairs."""
    batches, batch = [], []
    for line in out.splitlines():
        if line == "--":
            batches.append(batch)
            batch = []
        else:
            kind, token = line.split(" ")
            batch.append((bytes.fromhex(token).decode(), int(kind)))
    assert batch == [], "tokens after the last batch"
    return batches


@pytest.fixture
def batches_by(tmp_path, byte_path_tokenizer):
    """Every batch of `data` read one road, as lists of (token, type) pairs, with default
    settings or the given batch size."""

    def run(road, data, batch_size=None):
        raw = data.encode() if isinstance(data, str) else data
        if road in ("str", "bytes"):
            return drain(configure(cw.FTTokenizer(data if road == "str" else raw), batch_size=batch_size))
        path = tmp_path / "input.txt"
        path.write_bytes(raw)
        if road == "file":
            return drain(configure(cw.FFTokenizer(str(path)), batch_size=batch_size))
        args = [str(byte_path_tokenizer)]
        if road == "file byte path":
            args.append("--file")
        if batch_size is not None:
            args += ["--batch-size", str(batch_size)]
        out = subprocess.run(
            args + [str(path)], check=True, capture_output=True, text=True, env=native_env()
        ).stdout
        return parse_byte_path(out)

    return run


@pytest.fixture
def tokenize_by(batches_by):
    """All (token, type) pairs of `data` with default settings, read one road."""

    def run(road, data):
        return [pair for batch in batches_by(road, data) for pair in batch]

    return run
