"""The errors the library raises for its inputs."""

import os
from collections.abc import Iterator
from contextlib import contextmanager

from chopwise._native import ERRORS

# The error handlers a call may name, those the native engine reads. Others fail only at the
# first bad byte, or make text that the tokenizer cannot take (surrogateescape), so they are
# refused at the call.
ERROR_HANDLERS: tuple[str, ...] = ERRORS


class DecodeError(UnicodeDecodeError):
    """Malformed UTF-8 under errors="strict". `source` names the input as its user knows it (a
    path as the shell shows it, "standard input", "text", "row N"); `offset` is the byte offset
    of the first bad byte within that source."""

    def __init__(
        self, source: str, offset: int, encoding: str, obj: bytes, start: int, end: int, reason: str
    ) -> None:
        super().__init__(encoding, obj, start, end, reason)
        self.source = source
        self.offset = offset

    @classmethod
    def of(cls, err: UnicodeDecodeError, source: str, base: int) -> "DecodeError":
        """`err`, met in bytes that begin at byte `base` of `source`."""
        return cls(source, base + err.start, err.encoding, err.object, err.start, err.end, err.reason)

    def __str__(self) -> str:
        return f"{self.source}: not valid UTF-8 at byte {self.offset} ({self.reason})"

    def __reduce__(self) -> tuple[type, tuple[str, int, str, bytes, int, int, str]]:
        # Sent whole from a worker process, with its message.
        return (
            type(self),
            (self.source, self.offset, self.encoding, self.object, self.start, self.end, self.reason),
        )


def shown_name(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> str:
    """A file name as a user reads it: bytes that are not UTF-8 as \\xNN escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


@contextmanager
def decode_errors(source: str | None, base: int = 0) -> Iterator[None]:
    """Turns the native engine's decode error (with its `row` and `offset`) into a DecodeError:
    of `source` at `base` plus its offset, or where `source` is None (many texts), of its row."""
    try:
        yield
    except DecodeError:
        raise
    except UnicodeDecodeError as err:
        row = getattr(err, "row", None)
        offset = getattr(err, "offset", err.start)
        name = f"row {row}" if source is None and row is not None else (source or "text")
        raise DecodeError(
            name, base + offset, err.encoding, err.object, err.start, err.end, err.reason
        ) from None
