import chopwiseCXX as cw
import pytest


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
    return list(zip(tokens, (int(t) for t in batch["types"])))


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
