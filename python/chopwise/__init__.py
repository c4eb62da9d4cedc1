"""Word tokenizing of Russian and English text, built on the chopwiseCXX module: tokens with
their offsets, many texts at once (Arrow columns in and out, on every core), files of any size
and compression, and word counts."""

from chopwise._arrow import to_arrow
from chopwise._batch import tokens
from chopwise._count import count_texts, count_words
from chopwise._errors import DecodeError
from chopwise._tokenize import Tokens, tokenize, tokenize_file, tokenize_many
from chopwise._types import Token, mask

__all__ = [
    "DecodeError",
    "Token",
    "Tokens",
    "count_texts",
    "count_words",
    "mask",
    "to_arrow",
    "tokenize",
    "tokenize_file",
    "tokenize_many",
    "tokens",
]
