"""Pieces of inputs and the adding-up of their counts, as chopwise.dask and the command use them:
Arrow tallies where pyarrow is installed, Counters elsewhere, and mixes of both (a cluster whose
workers differ)."""

import gzip

import pytest

import chopwise
from chopwise._count import Settings, add_partials, count_piece, final_counts
from chopwise._shards import Piece, pieces_of

pytest.importorskip("pyarrow")

TEXT = "Ёж ёж e-mail E-MAIL кто-то\nслово Word word\n"
WORDS = Settings(int(chopwise.mask("en", "ru")), 0, 512, "strict")


@pytest.fixture
def path(tmp_path):
    p = tmp_path / "t.txt"
    p.write_text(TEXT * 500, encoding="utf-8")
    return p


def test_pieces_cover_a_plain_file_at_line_feeds_and_others_whole(path):
    pieces = pieces_of(path, 1000)
    data = path.read_bytes()
    assert [p.start for p in pieces[1:]] == [p.end for p in pieces[:-1]]
    assert (pieces[0].start, pieces[-1].end) == (0, len(data))
    assert all(data[p.end - 1 : p.end] == b"\n" for p in pieces)
    packed = path.with_suffix(".txt.gz")
    packed.write_bytes(gzip.compress(data))
    assert pieces_of(packed, 1000) == [Piece(str(packed))]
    assert pieces_of("-", 1000) == [Piece("-")]


@pytest.mark.parametrize("as_counter", [(), (0,), (1,), (0, 1, 2)], ids=["arrow", "first", "second", "mixed"])
@pytest.mark.parametrize("lower", [False, True])
def test_partials_of_either_kind_add_up_to_the_whole(path, as_counter, lower):
    parts = [count_piece(p, WORDS) for p in pieces_of(path, 2000)]
    assert len(parts) > 3
    parts = [final_counts(p, False) if i in as_counter else p for i, p in enumerate(parts)]
    before = [final_counts(p, False) for p in parts]
    assert final_counts(add_partials(*parts), lower) == chopwise.count_words([path], lower=lower)
    assert [final_counts(p, False) for p in parts] == before  # the inputs are left as they were
