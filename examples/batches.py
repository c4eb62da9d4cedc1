"""Reading batches while skipping those that hold malformed UTF-8 (chopwise.tokens splits them)."""

from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING

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
