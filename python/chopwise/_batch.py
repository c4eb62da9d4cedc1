"""Splitting a batch's text into its tokens."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from chopwiseCXX import Batch


def tokens(batch: "Batch") -> list[str]:
    """The batch's tokens, one for each entry of batch["types"] (none for an empty batch)."""
    if not batch:
        return []
    parts = batch["text"].split("\0")
    parts.pop()  # after the last terminator
    if "" not in parts:
        return parts
    # The input held U+0000: each is a one-character token of its own, written as "\0\0". Tokens
    # are never empty, so an empty part followed by another is that token's character and its
    # terminator.
    out: list[str] = []
    it = iter(parts)
    for part in it:
        if part:
            out.append(part)
        else:
            next(it)
            out.append("\0")
    return out
