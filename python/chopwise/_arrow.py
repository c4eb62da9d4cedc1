"""pyarrow, an optional dependency, and the batch as an Arrow record batch."""

from typing import TYPE_CHECKING, Any

import numpy as np

from chopwise._batch import tokens

if TYPE_CHECKING:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    from chopwiseCXX import Batch


def require_pyarrow(what: str) -> Any:
    """The pyarrow module, or an ImportError that says how to install it."""
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError(
            f"{what} needs pyarrow: pip install pyarrow, "
            'or the "arrow" extra: pip install "chopwiseCXX[arrow]"'
        ) from None
    return pyarrow


def to_arrow(batch: "Batch") -> "pa.RecordBatch":
    """The batch as a pyarrow RecordBatch with columns token (string) and type (uint64). The
    types are copied: the batch's array is a view that the tokenizer's next batch overwrites."""
    pa = require_pyarrow("to_arrow")
    words = tokens(batch)
    types = batch["types"].copy() if batch else np.zeros(0, np.uint64)
    return pa.record_batch(
        [pa.array(words, pa.string()), pa.array(types, pa.uint64())], names=["token", "type"]
    )
