"""Shards of inputs and the adding-up of their counts, as chopwise.dask uses them."""

import gzip

import pytest

import chopwise
from chopwise._count import count_shard
from chopwise._shards import Shard, shards_of
from chopwise._types import Settings

TEXT = "Ёж ёж e-mail E-MAIL кто-то\nслово Word word\n"
WORDS = Settings.of(["en", "ru"], 0, 512)


@pytest.fixture
def path(tmp_path):
    p = tmp_path / "t.txt"
    p.write_text(TEXT * 500, encoding="utf-8")
    return p


def test_shards_cover_a_plain_file_at_line_feeds_and_others_whole(path):
    shards = shards_of(path, 1000)
    data = path.read_bytes()
    assert [p.start for p in shards[1:]] == [p.end for p in shards[:-1]]
    assert (shards[0].start, shards[-1].end) == (0, len(data))
    assert all(data[p.end - 1 : p.end] == b"\n" for p in shards)
    packed = path.with_suffix(".txt.gz")
    packed.write_bytes(gzip.compress(data))
    assert shards_of(packed, 1000) == [Shard(str(packed))]
    assert shards_of("-", 1000) == [Shard("-")]


@pytest.mark.parametrize("lower", [False, True])
def test_shard_counts_add_up_to_the_whole(path, lower):
    pytest.importorskip("distributed")
    from chopwise.dask import add_counts

    parts = [count_shard(p, WORDS, lower) for p in shards_of(path, 2000)]
    assert len(parts) > 3
    before = [dict(p) for p in parts]
    assert add_counts(*parts) == chopwise.count_words([path], lower=lower)
    assert [dict(p) for p in parts] == before  # the inputs are left as they were
