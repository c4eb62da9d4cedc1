"""Randomised checks that hold for every input and every batch size."""

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import chopwiseCXX as cw
from conftest import configure, drain

ALPHABET = "ab yzАяЁё09-‐–—.,!?«»\n\t\r_ é€😀\x00\u00a0"
mixed_text = st.text(alphabet=ALPHABET, max_size=400) | st.text(max_size=100)
batch_size = st.integers(min_value=1, max_value=9)

FAST = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


def flat(batches):
    return [t for b in batches for t in b]


@FAST
@given(mixed_text, batch_size)
def test_batches_concatenate_to_the_single_batch(text, size):
    whole = drain(cw.FTTokenizer(text))
    assert len(whole) <= 1
    batches = drain(configure(cw.FTTokenizer(text), batch_size=size))
    assert all(1 <= len(b) <= size for b in batches)
    assert flat(batches) == flat(whole)


@FAST
@given(mixed_text)
def test_tokens_give_back_the_text(text):
    tokens = [t for t, _ in flat(drain(cw.FTTokenizer(text)))]
    assert "".join(tokens) == text
    assert all(1 <= len(t) <= 128 for t in tokens)


@FAST
@given(mixed_text)
def test_str_bytes_and_bytearray_agree(text):
    data = text.encode()
    results = [flat(drain(cw.FTTokenizer(x))) for x in (text, data, bytearray(data))]
    assert results[0] == results[1] == results[2]


def outcomes(tok, limit=10_000):
    """Each call's result, with a failed strict decoding as its raw bytes."""
    out = []
    for _ in range(limit):
        try:
            batch = tok.get_batch()
        except UnicodeDecodeError as err:
            out.append(("undecodable", err.object))
            continue
        if not batch:
            return out
        out.append((batch["text"], batch["types"].tolist()))
    raise AssertionError("tokenizer never ran dry")


@FAST
@given(st.binary(max_size=300), batch_size)
def test_text_and_file_agree_on_any_bytes(tmp_path, data, size):
    path = tmp_path / "input.bin"
    path.write_bytes(data)
    from_text = outcomes(configure(cw.FTTokenizer(data), batch_size=size))
    from_file = outcomes(configure(cw.FFTokenizer(str(path)), batch_size=size))
    assert from_text == from_file
    assert all(len(types) <= size for kind, types in from_text if kind != "undecodable")
