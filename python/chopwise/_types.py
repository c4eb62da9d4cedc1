"""Token types by name, filter masks, the Token record, and the settings of a call."""

import os
from collections.abc import Iterable
from dataclasses import dataclass
from typing import NamedTuple

from chopwise import _native
from chopwise._sources import check_errors
from chopwiseCXX import TokenType

# Short names for the types, beside the members' own names.
_SHORT = {
    "space": TokenType.WRDSPC,
    "newline": TokenType.NWLINE,
    "en": TokenType.ENWORD,
    "num": TokenType.NUMBER,
    "ru": TokenType.RUWORD,
    "punct": TokenType.PNCTTN,
    "other": TokenType.UNKNWN,
}
_NAMES: dict[str, TokenType] = {**_SHORT, **TokenType.__members__}
_U64 = (1 << 64) - 1
ALL = _U64

# A member for each value the module gives a token, without a call into the binding per token.
MEMBER = {int(t): t for t in TokenType.__members__.values()}

TypeName = TokenType | str | int
TypeSpec = TypeName | Iterable[TypeName]


class Token(NamedTuple):
    """One token with its place in the source: source_text[start:end] == text."""

    text: str
    type: TokenType
    start: int
    end: int


def mask(*types: TypeName) -> int:
    """A filter mask (an int) from any number of TokenType members, their names ("ENWORD"), the
    short names "en", "ru", "num", "punct", "space", "newline", "other", or masks (ints)."""
    value = 0
    for t in types:
        value |= _one(t)
    return value


def _one(t: TypeName) -> int:
    if isinstance(t, TokenType):
        return int(t)
    if isinstance(t, str):
        if t not in _NAMES:
            raise ValueError(f"unknown token type {t!r}; valid names: {', '.join(_NAMES)}")
        return int(_NAMES[t])
    if isinstance(t, int) and not isinstance(t, bool):
        if not 0 <= t <= _U64:
            raise ValueError(f"a mask must be between 0 and 2**64-1, not {t}")
        return t
    raise TypeError(f"a token type is a TokenType, a name or an int mask, not {type(t).__name__}")


def type_mask(types: TypeSpec | None) -> int:
    """The mask of a `types=` argument: None keeps every type, an iterable joins its items."""
    if types is None:
        return ALL
    if isinstance(types, (TokenType, str, int)):
        return mask(types)
    return mask(*types)


def check_lengths(min_len: int, max_len: int) -> None:
    for name, value in (("min_len", min_len), ("max_len", max_len)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if value < 0:
            raise ValueError(f"{name} must not be negative, not {value}")


def thread_count(threads: int | None) -> int:
    """The threads a call runs on: None is every CPU this process may use."""
    if threads is None:
        return len(os.sched_getaffinity(0))
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be an int of at least 1 or None, not {threads!r}")
    return threads


# The engines take lengths as 32-bit numbers. Tokens are far shorter, so any larger bound keeps
# exactly what this one keeps.
_LENGTH_LIMIT = (1 << 32) - 1


@dataclass(frozen=True)
class Settings:
    """Which tokens a call keeps, and how bytes that are not UTF-8 are read."""

    mask: int
    min_len: int
    max_len: int
    errors: str = "strict"

    @classmethod
    def of(cls, types: TypeSpec | None, min_len: int, max_len: int, errors: str = "strict") -> "Settings":
        check_lengths(min_len, max_len)
        check_errors(errors)
        return cls(type_mask(types), min(min_len, _LENGTH_LIMIT), min(max_len, _LENGTH_LIMIT), errors)

    def counter(self, lower: bool) -> _native.WordCounter:
        return _native.WordCounter(self.mask, self.min_len, self.max_len, lower, self.errors)
