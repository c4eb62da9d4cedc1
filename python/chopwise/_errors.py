"""The error a malformed byte raises under errors="strict", naming where it is."""

from collections.abc import Iterator
from contextlib import contextmanager


class DecodeError(UnicodeDecodeError):
    """Input that is not valid UTF-8: `source` names it as a user knows it (a path, "standard
    input", "text" or "row N"), `offset` is the byte offset of the first bad byte within it."""

    def __init__(self, source: str, offset: int, err: UnicodeDecodeError) -> None:
        super().__init__(err.encoding, err.object, err.start, err.end, err.reason)
        self.source = source
        self.offset = offset

    def __reduce__(self) -> tuple[object, ...]:
        inner = UnicodeDecodeError(self.encoding, self.object, self.start, self.end, self.reason)
        return (type(self), (self.source, self.offset, inner))

    def __str__(self) -> str:
        return f"{self.source}: not valid UTF-8 at byte {self.offset} ({self.reason})"


@contextmanager
def decode_errors(source: str | None, base: int = 0) -> Iterator[None]:
    """Turns the native engine's decode error into a DecodeError: of `source` at `base` plus
    the error's offset, or, where `source` is None (many texts), of the row it names."""
    try:
        yield
    except DecodeError:
        raise
    except UnicodeDecodeError as err:
        row = getattr(err, "row", None)
        offset = getattr(err, "offset", err.start)
        name = f"row {row}" if source is None and row is not None else (source or "text")
        raise DecodeError(name, base + offset, err) from None
