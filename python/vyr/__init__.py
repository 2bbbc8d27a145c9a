"""libvyr from Python: the library's exported functions on NumPy arrays (simulator build) or PyTorch CUDA
tensors (GPU build), exchanged through DLPack, plus whole jobs built from them.

Every exported function is available under its C name with the tensors first (in C order), then the scalars
as keywords; sizes are taken from the tensors' shapes, and shapes, dtypes, strides and devices are checked
before anything is launched. ``help(vyr.host_convolution_f16)`` shows one.

    import numpy as np, vyr
    reads = vyr.decode(scores)            # scores: float16 [T, num_scores]
    print(reads.sequences[0], reads.qualities[0])
"""

from __future__ import annotations

from typing import Any, Callable

from ._call import make_function
from ._helpers import (CHUNK_RESULT_DTYPE, CrfTables, CtcTables, Reads, chunk_results_view, crf_tables, ctc_tables,
                       decode, decode_workspace_floats, transpose_index)
from ._runtime import VyrError, library_path, runtime
from ._signatures import FUNCTIONS

ACTIVATION_IDENTITY, ACTIVATION_SWISH, ACTIVATION_SWISH_CLAMP, ACTIVATION_TANH, ACTIVATION_TANH_X5 = range(5)
TYPE_INT8, TYPE_HALF, TYPE_FLOAT = 1, 2, 3

_functions: dict[str, Callable[..., Any]] = {
    f.name: make_function(f) for f in FUNCTIONS if hasattr(runtime().lib, f.name)
}
globals().update(_functions)


def backend() -> str:
    """"sim" (CPU simulator, host arrays) or "cuda" (GPU, CUDA tensors and host arrays)."""
    return library_path()[1]


def functions() -> list[str]:
    """Names of the wrapped exported functions."""
    return sorted(_functions)


__all__ = [
    "CHUNK_RESULT_DTYPE", "CrfTables", "CtcTables", "Reads", "VyrError", "backend", "chunk_results_view",
    "crf_tables", "ctc_tables", "decode", "decode_workspace_floats", "functions", "transpose_index",
    *_functions,
]
