"""Helpers shared by the examples: reading batches and splitting them into tokens."""

from collections.abc import Iterator
from typing import TYPE_CHECKING, Callable

import chopwiseCXX
from chopwiseCXX import TokenType

if TYPE_CHECKING:
    from chopwiseCXX import Batch

WORDS = TokenType.ENWORD | TokenType.RUWORD


def read_batches(
    tok: chopwiseCXX.FTTokenizer | chopwiseCXX.FFTokenizer,
    on_bad_batch: Callable[[UnicodeDecodeError], None] | None = None,
) -> Iterator["Batch"]:
    """Yields every batch of `tok`.

    A batch that holds malformed UTF-8 cannot become a str: get_batch raises and
    the tokenizer moves on, so that batch is skipped and reported to on_bad_batch.
    """
    while True:
        try:
            batch = tok.get_batch()
        except UnicodeDecodeError as err:
            if on_bad_batch is not None:
                on_bad_batch(err)
            continue
        if not batch:
            return
        yield batch


def split_tokens(batch: "Batch") -> list[str]:
    """The batch's tokens, in the order of batch["types"]."""
    text, count = batch["text"], len(batch["types"])
    parts = text.split("\0")
    if len(parts) == count + 1:
        return parts[:-1]
    # The input held U+0000 itself: such a character is a token of its own
    # ("\0" followed by its terminator), so walk the text token by token.
    tokens, i = [], 0
    while i < len(text):
        if text[i] == "\0":
            tokens.append("\0")
            i += 2
        else:
            end = text.index("\0", i)
            tokens.append(text[i:end])
            i = end + 1
    return tokens
