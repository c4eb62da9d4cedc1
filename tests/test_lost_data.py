"""Inputs that used to be read in part and reported as a success, interruptions, and the
command's errors: each road either reads all of an input or says what stopped it."""

import bz2
import gzip
import lzma
import os
import random
import signal
import subprocess
import sys
import textwrap
import time
from collections import Counter
from pathlib import Path

import pytest

import chopwise
from chopwise import _count, _shards
from chopwise._types import Settings

zstandard = pytest.importorskip("zstandard")

CHOPWISE = str(Path(sys.executable).with_name("chopwise"))
TEXT = "Кто-то прислал e-mail: tree-top и из-за того.\nThe end, the END\n" * 4000
COMPRESS = {
    ".gz": gzip.compress,
    ".bz2": bz2.compress,
    ".xz": lzma.compress,
    ".zst": lambda data: zstandard.ZstdCompressor().compress(data),
}


def run(*args, env=None, **kwargs):
    return subprocess.run(
        [CHOPWISE, *map(os.fsdecode, args)], capture_output=True, timeout=120, check=False, env=env, **kwargs
    )


def one_error_line(done, path_shown):
    """The command's message for a failed input: one line, no traceback, exit 1."""
    err = done.stderr.decode()
    assert done.returncode == 1, err
    assert err.startswith(f"chopwise: {path_shown}: ") and err.count("\n") == 1, err
    return err


# Compressed files cut short or broken: every road raises, the command exits 1.

ROADS = {
    "tokenize_file": lambda p: list(chopwise.tokenize_file(p)),
    "count_words": lambda p: chopwise.count_words(p),
    "count_words workers=2": lambda p: chopwise.count_words([p, p], workers=2),
}


def broken(tmp_path, suffix, how):
    data = COMPRESS[suffix](TEXT.encode())
    blob = {
        "cut": data[: len(data) * 2 // 3],
        "cut at the end": data[:-1],
        "garbage": b"\x00not compressed" * 9,
    }
    path = tmp_path / f"t{suffix}"
    path.write_bytes(blob[how])
    return path


@pytest.mark.parametrize("how", ["cut", "cut at the end", "garbage"])
@pytest.mark.parametrize("suffix", COMPRESS)
@pytest.mark.parametrize("road", ROADS)
def test_a_broken_compressed_file_raises_on_every_road(tmp_path, road, suffix, how):
    path = broken(tmp_path, suffix, how)
    with pytest.raises((EOFError, OSError, lzma.LZMAError, zstandard.ZstdError)):
        ROADS[road](path)


@pytest.mark.parametrize("how", ["cut", "garbage"])
@pytest.mark.parametrize("suffix", COMPRESS)
@pytest.mark.parametrize("command", [["count"], ["count", "-j", "2"], ["tokens"], ["stats"]])
def test_the_command_names_a_broken_compressed_file(tmp_path, command, suffix, how):
    path = broken(tmp_path, suffix, how)
    one_error_line(run(*command, path, path), path)


@pytest.mark.parametrize("cut", [1, 3, 4, 5, 9, 100, 0.5, 0.99, -1])
def test_a_zst_file_cut_anywhere_raises(tmp_path, cut):
    words = random.Random(1).randbytes(60000).hex(" ", 4).encode()  # blocks of every kind
    data = COMPRESS[".zst"](words)
    path = tmp_path / "t.zst"
    path.write_bytes(data[: cut if isinstance(cut, int) else int(len(data) * cut)])
    with pytest.raises(EOFError):
        list(chopwise.tokenize_file(path))


def test_a_zst_file_of_several_frames_is_read_whole(tmp_path):
    path = tmp_path / "t.zst"
    path.write_bytes(COMPRESS[".zst"](b"first words\n") + COMPRESS[".zst"](b"second frame\n"))
    assert chopwise.count_words(path) == Counter(["first", "words", "second", "frame"])


def test_an_empty_compressed_file_is_an_empty_input_or_an_error(tmp_path):
    for suffix in COMPRESS:
        path = tmp_path / f"empty{suffix}"
        path.write_bytes(b"")
        done = run("count", path)
        assert (done.returncode == 1 and done.stderr.startswith(b"chopwise: ")) or (
            done.returncode,
            done.stdout,
        ) == (0, b"")


# Regular files whose size reads as 0 but that have content.


def test_a_file_whose_size_reads_as_zero_is_read_to_its_end():
    path = "/proc/version"
    text = Path(path).read_text()
    assert os.path.getsize(path) == 0 and text
    want = Counter(t.text for t in chopwise.tokenize(text, types=["en", "ru"]))
    assert chopwise.count_words(path) == chopwise.count_words(path, workers=2) == want
    done = run("count", "-j", "2", "--format", "tsv", path)
    assert (
        done.returncode == 0
        and Counter({w: int(n) for w, n in (line.split("\t") for line in done.stdout.decode().splitlines())})
        == want
    )


def test_count_with_jobs_over_only_empty_files(tmp_path):
    (tmp_path / "a.txt").write_bytes(b"")
    (tmp_path / "b.txt").write_bytes(b"")
    done = run("count", "-j", "2", tmp_path / "a.txt", tmp_path / "b.txt")
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")


# A file that changes while its parts are counted.


def test_a_file_cut_short_after_it_was_planned_raises(tmp_path):
    path = tmp_path / "big.txt"
    path.write_bytes(b"a be\n" * 3_000_000)
    shards = _shards.shards_of(path, 5_000_000)
    os.truncate(path, 7_000_001)
    settings = Settings.of(["en", "ru"], 0, 512)
    with pytest.raises(EOFError, match="changed while it was read"):  # noqa: PT012 (the error may come from either statement)
        for shard in shards:
            _count.count_shard(shard, settings, False)


# Ctrl-C, sent as a terminal sends it: to the whole process group.


def sparse_file(tmp_path, pieces=20):
    """Many pieces of NUL bytes (slow to count when NULs are kept), taking no disk space."""
    path = tmp_path / "nul.txt"
    with open(path, "wb") as f:
        for k in range(1, pieces + 1):
            f.seek(k * (16 << 20))
            f.write(b"\n")
    return path


def interrupt(argv, wait=1.5):
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    time.sleep(wait)
    assert proc.poll() is None, proc.communicate()
    sent = time.monotonic()
    os.killpg(proc.pid, signal.SIGINT)
    _out, err = proc.communicate(timeout=60)
    took = time.monotonic() - sent
    # Nothing of the group is left behind (workers, a fork server).
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            os.killpg(proc.pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.05)
    else:
        os.killpg(proc.pid, signal.SIGKILL)
        pytest.fail("a process of the group outlived the interrupted command")
    return proc.returncode, took, err.decode()


def test_ctrl_c_ends_count_with_jobs_and_its_workers(tmp_path):
    code, took, err = interrupt(
        [CHOPWISE, "count", "-j", "2", "--types", "other", str(sparse_file(tmp_path))]
    )
    # Counting all of it takes some 30 s.
    assert code == 130 and "Traceback" not in err, err
    assert took < 5


def test_ctrl_c_ends_a_library_count_with_workers(tmp_path):
    script = (
        f"import chopwise; chopwise.count_words({str(sparse_file(tmp_path))!r}, types='other', workers=2)"
    )
    code, took, err = interrupt([sys.executable, "-c", script])
    assert code != 0 and "KeyboardInterrupt" in err
    assert took < 5


# The library page's example as a script without a main guard, from a file and from standard input.


def test_count_words_with_workers_needs_no_main_guard(tmp_path):
    data = tmp_path / "words.txt"
    data.write_text("one two two\n" * 2_000_000)
    script = textwrap.dedent(f"""
        import chopwise
        counts = chopwise.count_words({str(data)!r}, workers=2)
        print(counts["one"], counts["two"])
    """)
    (tmp_path / "script.py").write_text(script)
    by_file = subprocess.run(
        [sys.executable, tmp_path / "script.py"], capture_output=True, text=True, timeout=120
    )
    by_stdin = subprocess.run(
        [sys.executable, "-"], input=script, capture_output=True, text=True, timeout=120
    )
    for done in (by_file, by_stdin):
        assert (done.returncode, done.stdout) == (0, "2000000 4000000\n"), done.stderr


# The command's errors: one line naming the input as the shell shows it, exit 1.


def test_a_closed_standard_input_or_output(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text("some words")
    one_error_line(
        run("count", "-", stdin=subprocess.DEVNULL, preexec_fn=lambda: os.close(0)), "standard input"
    )
    done = subprocess.run(
        [CHOPWISE, "count", str(path)],
        stdin=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        preexec_fn=lambda: os.close(1),
        timeout=60,
        check=False,
    )
    assert done.returncode == 1 and done.stderr.decode().startswith("chopwise: standard output: "), (
        done.stderr
    )


def test_names_that_are_not_utf8_are_shown_escaped(tmp_path):
    odd = os.path.join(os.fsencode(tmp_path), b"mis\xffsing.txt")
    shown = f"{tmp_path}/mis\\xffsing.txt"
    one_error_line(run("count", odd), shown)
    with open(odd, "wb") as f:
        f.write(b"ca\xfft\n")
    assert "not valid UTF-8 at byte 2" in one_error_line(run("count", odd), shown)
    with open(odd, "wb") as f:
        f.write(b"words")
    env = dict(os.environ, PYTHONIOENCODING="utf-8:strict")
    done = run("stats", odd, env=env)
    assert done.returncode == 0 and done.stdout.decode().startswith(f"{shown}:"), done.stderr


def test_output_that_the_terminal_encoding_cannot_hold_is_an_error(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text("ёлка")
    done = run("count", path, env=dict(os.environ, PYTHONIOENCODING="ascii:strict"))
    assert done.returncode == 1 and done.stderr.decode().startswith("chopwise: standard output: cannot write")


# A long line of letters and digits (a hex dump): memory stays within a few blocks.


@pytest.mark.parametrize("road", ["count_words", "tokenize_file"])
def test_a_single_line_without_a_safe_byte_is_read_in_bounded_memory(tmp_path, monkeypatch, road):
    import collections
    import tracemalloc

    from chopwise import _count, _sources

    block = 1 << 20
    monkeypatch.setattr(_sources, "CHUNK_SIZE", block)
    monkeypatch.setattr(_count, "BLOCK_SIZE", block)
    path = tmp_path / "hex.txt"
    path.write_bytes(b"deadbeef0123cafe-4567-89ab" * (32 * block // 26))
    calls = {
        "count_words": lambda: chopwise.count_words(path, types=None),
        "tokenize_file": lambda: collections.deque(chopwise.tokenize_file(path), maxlen=0),
    }
    tracemalloc.start()
    try:
        calls[road]()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 16 * block, peak  # the file is 32 blocks
