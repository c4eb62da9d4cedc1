"""The type of every code point, seen through one-character tokens."""

import numpy as np
import pytest

import chopwiseCXX as cw
from conftest import D, E, N, P, R, U, W

# Written out from the character classes, independently of the native table.
RANGES = [
    (0x0A, 0x0A, N),
    (0x0B, 0x0B, W),
    (0x20, 0x20, W),
    (0x21, 0x2F, P),
    (0x30, 0x39, D),
    (0x3A, 0x40, P),
    (0x41, 0x5A, E),
    (0x5B, 0x60, P),
    (0x61, 0x7A, E),
    (0x7B, 0x7E, P),
    (0xA0, 0xA0, W),
    (0xAB, 0xAB, P),
    (0xB7, 0xB7, P),
    (0xBB, 0xBB, P),
    (0x401, 0x401, R),
    (0x410, 0x44F, R),
    (0x451, 0x451, R),
    (0x2010, 0x201F, P),
    (0x2024, 0x2027, P),
    (0x2116, 0x2116, P),
]


def expected_types(limit=0x110000):
    table = np.full(limit, U, dtype=np.uint64)
    for first, last, t in RANGES:
        table[first : last + 1] = t
    return table


def lenient_utf8(cp):
    """UTF-8 bytes of any value up to 0x1FFFFF, surrogates included."""
    if cp < 0x80:
        return bytes([cp])
    if cp < 0x800:
        return bytes([0xC0 | cp >> 6, 0x80 | cp & 0x3F])
    if cp < 0x10000:
        return bytes([0xE0 | cp >> 12, 0x80 | cp >> 6 & 0x3F, 0x80 | cp & 0x3F])
    return bytes([0xF0 | cp >> 18, 0x80 | cp >> 12 & 0x3F, 0x80 | cp >> 6 & 0x3F, 0x80 | cp & 0x3F])


def types_of(code_points, filter=None):
    """Types of the tokens of the code points, each followed by a line feed."""
    data = b"".join(lenient_utf8(cp) + b"\n" for cp in code_points)
    tok = cw.FTTokenizer(data)
    if filter is not None:
        tok.set_filter(filter)
    out = []
    while batch := tok.get_batch():
        out.append(batch["types"].copy())
    return np.concatenate(out) if out else np.zeros(0, dtype=np.uint64)


def boundaries():
    points = {
        0,
        0x7F,
        0x10FFFF,
        0x9,
        0xC,
        0xD,
        0x2028,
        0x2029,
        0x2020,
        0x2023,
        0x400,
        0x402,
        0x40F,
        0x450,
        0x452,
        0xC0,
        0xE9,
        0xFF,
    }
    for first, last, _ in RANGES:
        points.update({first - 1, first, last, last + 1})
    return sorted(points)


@pytest.mark.parametrize("cp", boundaries(), ids=lambda cp: f"U+{cp:04X}")
def test_range_boundaries(cp):
    got = types_of([cp])
    expected = [int(expected_types()[cp]), N]
    if cp == 0x0A:
        expected = [N, N]
    assert got.tolist() == expected


def test_every_code_point_outside_the_surrogates():
    points = [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF]
    got = types_of(points)
    want = np.empty(2 * len(points), dtype=np.uint64)
    want[0::2] = expected_types()[points]
    want[1::2] = N
    mismatches = np.nonzero(got != want)[0]
    assert got.shape == want.shape
    assert mismatches.size == 0, [hex(points[i // 2]) for i in mismatches[:10]]


@pytest.mark.parametrize(
    "points",
    [range(0xD800, 0xE000), range(0x110000, 0x200000, 37), [0x1FFFFF]],
    ids=["surrogates", "beyond U+10FFFF", "largest decodable"],
)
def test_unlisted_values_are_unknown(points):
    # Their bytes are no valid UTF-8, so only their types can be looked at: keeping every
    # type but UNKNWN and the separating line feeds must keep nothing.
    assert types_of(points, filter=0x7F & ~U & ~N).size == 0
    assert types_of(points, filter=N).size == len(points)
