"""chopwise.dask.count_words on a real cluster: a scheduler and two one-thread workers started as
separate processes on 127.0.0.1, as a user starts them by hand, and stopped by the fixture."""

import bz2
import gzip
import re
import signal
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")

import chopwise  # noqa: E402
import chopwise.dask  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
from dask_processes import dask_cluster  # noqa: E402

TIME_LIMIT = 120  # seconds for the whole module, cluster start and stop included
SHARD = 1 << 15

LINES = [
    "Кто-то прислал e-mail: 123-456, ёлка и Ёж! ЁЛКА ёлка.",
    "The e-mail, the E-MAIL; tree-top и из-за того,",
    "co-op\tитем\r",
    "слово-" + "ы" * 150 + " " + "x" * 300,
    "",
]


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    def expired(signum, frame):
        raise TimeoutError(f"the cluster tests took more than {TIME_LIMIT} s")

    old = signal.signal(signal.SIGALRM, expired)
    signal.alarm(TIME_LIMIT)
    try:
        with dask_cluster(tmp_path_factory.mktemp("cluster"), workers=2, timeout=60) as client:
            yield client
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("corpus")
    text = "\n".join(LINES) + "\n"
    big = (text * 700).encode()  # about 40 shards
    paths = {
        "big.txt": big,
        "small.txt": text.encode(),
        "no-final-newline.txt": b"last line \xd1\x91\xd0\xb6 without newline",
        "one-long-line.txt": ("word-" * 20000).encode(),
        "empty.txt": b"",
        "big.txt.gz": gzip.compress(big[:100_000]),
        "small.txt.bz2": bz2.compress(text.encode()),
    }
    for name, data in paths.items():
        (root / name).write_bytes(data)
    assert len(big) > 10 * SHARD
    return [str(root / name) for name in paths]


@pytest.mark.parametrize(
    "options",
    [
        {},
        {"lower": True},
        {"types": chopwise.mask("en", "ru", "num"), "min_len": 2, "max_len": 5},
        {"types": chopwise.mask("punct", "space", "newline", "other")},
    ],
    ids=["default", "lower", "lengths", "not-words"],
)
def test_counts_equal_the_serial_count(client, files, options):
    counted = chopwise.dask.count_words(files, client=client, shard_size=SHARD, **options)
    assert counted == chopwise.count_words(files, **options)
    assert counted.total() > 5000


def test_one_large_file_uses_both_workers(client, files):
    with distributed.get_task_stream(client) as stream:
        counted = chopwise.dask.count_words(files[:1], client=client, shard_size=SHARD)
    assert counted == chopwise.count_words(files[:1])
    counting = [t for t in stream.data if t["key"].startswith("count_shard")]
    assert len(counting) > 10
    assert len({t["worker"] for t in counting}) == 2


def test_deep_tree_and_relative_paths(client, files, monkeypatch):
    # The workers run elsewhere: relative paths must reach them made absolute.
    monkeypatch.chdir(Path(files[0]).parent)
    names = [Path(f).name for f in files]
    counted = chopwise.dask.count_words(names, client=client, shard_size=SHARD, split_every=2)
    assert counted == chopwise.count_words(files)


def test_nothing_is_left_on_the_cluster(client, files):
    chopwise.dask.count_words(files, client=client, shard_size=SHARD)
    deadline = time.monotonic() + 10
    while (left := client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))) and (
        time.monotonic() < deadline
    ):
        time.sleep(0.05)
    assert left == 0


@pytest.mark.parametrize(
    ("name", "error"),
    [("missing.txt", FileNotFoundError), ("missing.txt.gz", FileNotFoundError), (".", IsADirectoryError)],
)
def test_a_worker_read_error_is_raised_as_it_was(client, files, name, error):
    path = Path(files[0]).parent / name
    with pytest.raises(error):
        chopwise.dask.count_words([files[1], path], client=client, shard_size=SHARD)


def test_malformed_utf8_strict_and_replace(client, tmp_path):
    path = tmp_path / "bad.txt"
    path.write_bytes(b"good words\n" * 5000 + b"x \xed\xa0\x80 y\n" + b"more words\n" * 5000)
    with pytest.raises(chopwise.DecodeError) as caught:
        chopwise.dask.count_words([path], client=client, shard_size=SHARD, types=None)
    assert (caught.value.source, caught.value.offset) == (str(path), 55002)
    counted = chopwise.dask.count_words([path], client=client, shard_size=SHARD, types=None, errors="replace")
    assert counted == chopwise.count_words([path], types=None, errors="replace")
    assert counted["words"] == 10000 and counted["\ufffd"] == 3


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"paths": ["-"]}, "standard input"),
        ({"paths": [], "shard_size": 0}, "shard_size"),
        ({"paths": [], "split_every": 1}, "split_every"),
    ],
)
def test_refused_arguments(client, kwargs, message):
    with pytest.raises(ValueError, match=message):
        chopwise.dask.count_words(client=client, **kwargs)


def test_no_files(client):
    assert chopwise.dask.count_words([], client=client) == Counter()


def test_the_dask_page_example_on_the_cluster(client, files):
    page = (Path(__file__).resolve().parent.parent / "docs" / "dask.md").read_text(encoding="utf-8")
    block = next(
        b
        for b in re.findall(r"^```python\n(.*?)^```$", page, re.DOTALL | re.MULTILINE)
        if "def cluster_counts" in b
    )
    namespace: dict = {}
    exec(block, namespace)
    assert namespace["cluster_counts"](client.scheduler.address, files) == chopwise.count_words(
        files, lower=True
    )


def test_the_example_script_on_the_cluster(client, files):
    # Its helper module once had to be importable on the workers; now they need only chopwise.
    example = Path(__file__).resolve().parent.parent / "examples" / "word_freq_dask.py"
    folder = str(Path(files[0]).parent)
    done = subprocess.run(
        [sys.executable, str(example), folder, client.scheduler.address],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    serial = chopwise.count_words(files, lower=True)
    rows = [line.split() for line in done.stdout.splitlines()]
    # Words of equal count may come in any order.
    assert [int(n) for n, _ in rows] == [n for _, n in serial.most_common(20)]
    assert all(serial[w] == int(n) for n, w in rows)


def test_one_path_is_one_file_not_its_characters(client, files):
    assert chopwise.dask.count_words(files[1], client=client, shard_size=SHARD) == chopwise.count_words(
        files[1]
    )


def test_paths_that_mean_another_file_in_each_process(client, files):
    with open(files[1], "rb") as f:
        done = subprocess.run(
            [sys.executable, "-c", "import chopwise.dask, sys; print(chopwise.dask._absolute('/dev/stdin'))"],
            stdin=f,
            capture_output=True,
            text=True,
            check=True,
        )
    assert done.stdout.strip() == str(Path(files[1]).resolve())
    with pytest.raises(ValueError, match="not a regular file"):
        chopwise.dask.count_words(["/dev/null"], client=client)


def test_a_decode_error_on_a_worker_reaches_the_client_with_its_source_and_offset(client, tmp_path):
    path = tmp_path / "bad.txt"
    path.write_bytes(b"good words\n" * 5000 + b"ca\xfft\n")
    with pytest.raises(chopwise.DecodeError) as caught:
        chopwise.dask.count_words([path], client=client, shard_size=SHARD)
    assert (caught.value.source, caught.value.offset) == (str(path), 55002)
    assert str(caught.value) == f"{path}: not valid UTF-8 at byte 55002 (invalid start byte)"


@pytest.mark.parametrize("suffix", [".zst", ".gz"])
def test_a_cut_compressed_file_raises_on_the_cluster(client, tmp_path, suffix):
    zstandard = pytest.importorskip("zstandard")
    data = ("some words\n" * 1000 + str(list(range(20000)))).encode()
    blob = zstandard.ZstdCompressor().compress(data) if suffix == ".zst" else gzip.compress(data)
    path = tmp_path / f"cut{suffix}"
    path.write_bytes(blob[: len(blob) // 2])
    with pytest.raises(EOFError):
        chopwise.dask.count_words([path], client=client)
