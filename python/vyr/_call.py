"""The generic binding: one declarative description per exported function (its C parameters, which of them are
tensors with which dtypes and symbolic shapes, which sizes follow from the tensors) becomes a Python function
that checks every tensor before anything is launched and then calls the library through ctypes.

Tensors arrive through DLPack. Host arrays (NumPy, CPU tensors) are staged: each tensor's byte span is copied
to device memory, the call runs and completes, and only on success are the outputs' spans copied back, so a
refused or failed call leaves the caller's arrays untouched. Device tensors (PyTorch CUDA) are passed as they
are and the call is enqueued on PyTorch's current stream (or the ``stream`` given)."""

from __future__ import annotations

import ctypes
import inspect
import keyword
import operator
from dataclasses import dataclass, field, replace
from typing import Any, Callable, Optional, Sequence

from . import _dlpack, _torch
from ._runtime import D2H, H2D, VyrError, runtime

TYPE_CODES = {"int8": 1, "float16": 2, "float32": 3}
STATUS_NAMES = {0: "VyrSuccess", 1: "VyrUnsupported", 2: "VyrNoKernel", 3: "VyrKernelFailed"}
INT32_MAX = 2**31 - 1

# ---- the description language ---------------------------------------------------------------------------


@dataclass
class Tensor:
    """A pointer parameter. `shape` names each dimension: a symbol ("N", "T"), or an integer literal.
    `dense`: how many trailing dimensions must be contiguous (None: all; 0: any strides)."""

    name: str
    dtypes: tuple[str, ...]
    shape: str
    out: bool = False
    optional: bool = False
    dense: Optional[int] = None
    doc: str = ""

    @property
    def py(self) -> str:
        return self.name + "_" if keyword.iskeyword(self.name) else self.name


@dataclass
class Scalar:
    """A number the caller passes (keyword, with a default unless `default` is required). It also becomes a
    symbol that shapes and checks may use."""

    name: str
    ctype: Any = ctypes.c_int
    default: Any = inspect.Parameter.empty
    doc: str = ""

    py = property(lambda self: self.name)


@dataclass
class Size:
    """An int parameter whose value is a shape symbol."""

    symbol: str


@dataclass
class StrideOf:
    """An int parameter: the element stride of dimension `dim` of a tensor."""

    tensor: str
    dim: int


@dataclass
class TypeCode:
    """An int parameter: the element-type code of a tensor's dtype (1 int8, 2 half, 3 float)."""

    tensor: str


@dataclass
class Null:
    """A pointer parameter that the function does not use: NULL."""

    name: str


@dataclass
class Stream:
    """The cudaStream_t parameter."""


Arg = Any  # Tensor | Scalar | Size | StrideOf | TypeCode | Null | Stream

# Results: VyrStatus, cudaError_t, nothing, or an availability answer.
# STATUS_OR_CUDA: VyrUnsupported (1) for sizes that are not served, else the runtime's error code.
STATUS, CUDA_ERROR, STATUS_OR_CUDA, NOTHING, AVAILABLE = "status", "cuda", "status_or_cuda", "none", "available"
# Where the work goes: the stream argument, the default stream (asynchronous), or the default stream followed
# by a device-wide synchronisation inside the call.
ON_STREAM, DEFAULT_STREAM, SYNCHRONOUS = "stream", "default", "synchronous"


@dataclass
class Fn:
    name: str
    args: Sequence[Arg]
    result: str = STATUS
    launch: str = ON_STREAM
    derive: dict[str, Callable[[dict], int]] = field(default_factory=dict)
    # (predicate over symbols and views, message with {symbol} fields), checked before launching.
    checks: Sequence[tuple[Callable[[dict, dict], bool], str]] = ()
    # Views rewritten before checking (e.g. a 3-D tensor read as its 4-D layout).
    normalize: Optional[Callable[[dict], None]] = None
    # Checks that read tensor contents (index tables, chunk descriptors): fn(symbols, host_reader).
    validate: Optional[Callable[[dict, Callable[[str], Any]], None]] = None
    doc: str = ""


# ---- checking ---------------------------------------------------------------------------------------------


def _tokens(shape: str) -> list[str]:
    return shape.split()


def _bind_shapes(fn: Fn, views: dict, sym: dict) -> None:
    """Binds shape symbols from the tensors (first pass: symbols not derived), then computes the derived ones,
    then checks every dimension."""
    tensors = [a for a in fn.args if isinstance(a, Tensor) and a.name in views]
    for a in tensors:
        v, toks = views[a.name], _tokens(a.shape)
        if len(v.shape) != len(toks):
            raise ValueError(
                f"{fn.name}: {a.py} must have {len(toks)} dimensions ({', '.join(toks)}), got shape {v.shape}"
            )
        for tok, d in zip(toks, v.shape):
            if tok.lstrip("-").isdigit() or tok in fn.derive:
                continue
            sym.setdefault(tok, d)
    for name, f in fn.derive.items():
        try:
            sym[name] = f(sym)
        except KeyError as e:  # a derived size whose inputs are all optional and absent
            raise ValueError(f"{fn.name}: cannot infer {name} without {e.args[0]}") from None
    for pred, message in fn.checks:
        if not pred(sym, views):
            raise ValueError(f"{fn.name}: " + message.format(**sym))
    for a in tensors:
        v = views[a.name]
        for i, (tok, d) in enumerate(zip(_tokens(a.shape), v.shape)):
            want = int(tok) if tok.lstrip("-").isdigit() else sym[tok]
            if d != want:
                desc = ", ".join(f"{t}={int(t) if t.lstrip('-').isdigit() else sym.get(t)}" for t in _tokens(a.shape))
                raise ValueError(
                    f"{fn.name}: {a.py} has shape {v.shape}, expected ({desc}); dimension {i} is {d}, not {want}"
                )


def _check_tensor(fn: Fn, a: Tensor, v: _dlpack.View) -> None:
    if v.dtype not in a.dtypes:
        raise TypeError(f"{fn.name}: {a.py} must be {' or '.join(a.dtypes)}, got {v.dtype}")
    if a.dense != 0 and not v.is_contiguous(a.dense):
        what = "contiguous" if a.dense is None else f"contiguous in its last {a.dense} dimension(s)"
        raise ValueError(f"{fn.name}: {a.py} must be {what} (C order), got strides {v.strides} for shape {v.shape}")
    if a.out and v.read_only:
        raise ValueError(f"{fn.name}: {a.py} is written but is read-only")
    if v.size and not v.ptr:
        raise ValueError(f"{fn.name}: {a.py} has no data pointer")


def _check_overlap(fn: Fn, tensors: list[Tensor], views: dict) -> None:
    """Outputs may not share memory with any other argument: staging would silently separate them, and the
    kernels read their inputs through the read-only path."""
    spans = []
    for a in tensors:
        v = views[a.name]
        lo, hi = v.span()
        if hi > lo:
            spans.append((a, v.ptr + lo, v.ptr + hi))
    for i, (a, lo, hi) in enumerate(spans):
        for b, lo2, hi2 in spans[i + 1 :]:
            if (a.out or b.out) and lo < hi2 and lo2 < hi:
                raise ValueError(f"{fn.name}: {a.py} and {b.py} overlap in memory")


def _device_of(fn: Fn, views: dict) -> tuple[str, int]:
    kinds = set()
    for name, v in views.items():
        if v.device_type in (_dlpack.CPU, _dlpack.CUDA_HOST):
            kinds.add(("host", 0))
        elif v.device_type == _dlpack.CUDA:
            kinds.add(("cuda", v.device_id))
        else:
            raise ValueError(f"{fn.name}: {name} is on DLPack device type {v.device_type}; use host or CUDA memory")
    if len(kinds) > 1:
        raise ValueError(f"{fn.name}: all tensors must be on one device (host arrays or one CUDA device), got {sorted(kinds)}")
    return kinds.pop() if kinds else ("host", 0)


# ---- calling ----------------------------------------------------------------------------------------------


class _Staging:
    """Device copies of host tensors for one call."""

    def __init__(self, rt):
        self.rt = rt
        self.blocks: list[tuple[int, Any, int, int, bool]] = []  # device ptr, view, lo, nbytes, is output

    def stage(self, v: _dlpack.View, out: bool) -> int:
        lo, hi = v.span()
        if hi == lo:
            return 0
        dev = self.rt.malloc(hi - lo)
        self.blocks.append((dev, v, lo, hi - lo, out))
        self.rt.copy(dev, v.ptr + lo, hi - lo, H2D)
        return dev - lo

    def copy_back(self) -> None:
        for dev, v, lo, n, out in self.blocks:
            if out:
                self.rt.copy(v.ptr + lo, dev, n, D2H)

    def release(self) -> None:
        for dev, *_ in self.blocks:
            self.rt.free(dev)
        self.blocks.clear()


def host_reader(fn: Fn, views: dict, where: str):
    """fn(name) -> a NumPy copy of a tensor's contents, for checks that look at values."""
    import numpy as np

    def read(name: str):
        v = views[name]
        if where == "host":
            return np.array(np.from_dlpack(v.owner), copy=True)
        if _torch.is_tensor(v.owner):
            return _torch.to_numpy(v.owner)
        lo, hi = v.span()  # any other CUDA producer: copy the span and view it
        buf = np.empty(hi - lo, dtype=np.uint8)
        runtime().copy(buf.ctypes.data, v.ptr + lo, hi - lo, D2H)
        return np.lib.stride_tricks.as_strided(
            buf[-lo:].view(v.dtype), shape=v.shape, strides=[s * v.itemsize for s in v.strides]
        ).copy()

    return read


def _stream_handle(stream: Any, views: dict) -> int:
    if stream is not None:
        return int(getattr(stream, "cuda_stream", stream))
    for v in views.values():
        h = _torch.current_stream_handle(v.owner)
        if h is not None:
            return h
    return 0


def _check_int_range(fn: Fn, views: dict, sym: dict) -> None:
    """Sizes, strides and integer scalars cross as 32-bit ints: refuse what would wrap."""
    for a in fn.args:
        if isinstance(a, Size) and not 0 <= sym[a.symbol] <= INT32_MAX:
            raise ValueError(f"{fn.name}: {a.symbol} = {sym[a.symbol]} does not fit the library's 32-bit sizes")
        if isinstance(a, StrideOf) and a.tensor in views and abs(views[a.tensor].strides[a.dim]) > INT32_MAX:
            raise ValueError(f"{fn.name}: a stride of {a.tensor} does not fit 32 bits")
        if isinstance(a, Scalar) and a.ctype is ctypes.c_int:
            try:
                v = sym[a.name] = operator.index(sym[a.name])  # ints and NumPy integers, not floats
            except TypeError:
                raise TypeError(f"{fn.name}: {a.name} must be an integer, got {sym[a.name]!r}") from None
            if not -INT32_MAX - 1 <= v <= INT32_MAX:
                raise ValueError(f"{fn.name}: {a.name} = {v} does not fit 32 bits")


def invoke(fn: Fn, bound: dict[str, Any]) -> Any:
    rt = runtime()
    tensors = [a for a in fn.args if isinstance(a, Tensor)]
    views: dict[str, _dlpack.View] = {}
    for a in tensors:
        obj = bound[a.py]
        if obj is None:
            if not a.optional:
                raise TypeError(f"{fn.name}: {a.py} is required")
            continue
        views[a.name] = _dlpack.view(obj, f"{fn.name}: {a.py}")
    where, _ = _device_of(fn, views)
    if where == "cuda" and rt.backend != "cuda":
        raise ValueError(
            f"{fn.name}: CUDA tensors need the GPU build of vyr (VYR_BACKEND=cuda pip install .); "
            "this one runs on the CPU simulator and takes host arrays"
        )
    sym = {a.name: bound[a.py] for a in fn.args if isinstance(a, Scalar)}
    if fn.normalize:
        fn.normalize(views)
    for a in tensors:
        if a.name in views:
            _check_tensor(fn, a, views[a.name])
    _bind_shapes(fn, views, sym)
    _check_overlap(fn, [a for a in tensors if a.name in views], views)
    if fn.validate:
        try:
            fn.validate(sym, host_reader(fn, views, where))
        except ValueError as e:
            raise ValueError(f"{fn.name}: {e}") from None

    _check_int_range(fn, views, sym)

    staging = _Staging(rt) if where == "host" else None
    stream = 0 if where == "host" else _stream_handle(bound.get("stream"), views)
    cargs: list[Any] = []
    try:
        for a in fn.args:
            if isinstance(a, Tensor):
                v = views.get(a.name)
                ptr = 0 if v is None else (staging.stage(v, a.out) if staging else v.ptr)
                cargs.append(ctypes.c_void_p(ptr))
            elif isinstance(a, Scalar):
                cargs.append(a.ctype(sym[a.name]))
            elif isinstance(a, Size):
                cargs.append(ctypes.c_int(sym[a.symbol]))
            elif isinstance(a, StrideOf):
                cargs.append(ctypes.c_int(views[a.tensor].strides[a.dim] if a.tensor in views else 0))
            elif isinstance(a, TypeCode):
                cargs.append(ctypes.c_int(TYPE_CODES[views[a.tensor].dtype]))
            elif isinstance(a, Null):
                cargs.append(ctypes.c_void_p(0))
            elif isinstance(a, Stream):
                cargs.append(ctypes.c_void_p(stream))
        if where == "cuda" and fn.launch != ON_STREAM:
            rt.synchronize(stream)  # the default stream may not wait for PyTorch's streams by itself
        cfun = getattr(rt.lib, fn.name)
        cfun.restype = None if fn.result == NOTHING else ctypes.c_int
        code = cfun(*cargs)
        if fn.result == AVAILABLE:
            return code == 0
        if where == "host":
            rt.synchronize()
        elif fn.launch == DEFAULT_STREAM:
            rt.synchronize(0)
        if fn.result == NOTHING:
            code = rt.lib.cudaGetLastError()
            if code:
                raise VyrError(fn.name, code, rt.error_name(code))
        elif fn.result == STATUS and code != 0:
            raise VyrError(fn.name, code, _status_message(fn, code, sym))
        elif fn.result == STATUS_OR_CUDA and code == 1:
            raise VyrError(fn.name, code, _status_message(fn, code, sym))
        elif fn.result in (CUDA_ERROR, STATUS_OR_CUDA) and code != 0:
            raise VyrError(fn.name, code, rt.error_name(code))
        if where == "host":
            code = rt.lib.cudaGetLastError()
            if code:
                raise VyrError(fn.name, code, rt.error_name(code))
            staging.copy_back()
    finally:
        if staging:
            staging.release()
    return None


def _status_message(fn: Fn, code: int, sym: dict) -> str:
    name = STATUS_NAMES.get(code, f"status {code}")
    sizes = ", ".join(f"{k}={v}" for k, v in sym.items() if isinstance(v, (int, float)))
    return f"{name} (nothing was launched; {sizes})" if code == 1 else name


# ---- building the Python function -------------------------------------------------------------------------


def make_function(fn: Fn) -> Callable[..., Any]:
    # Tensors first, required ones in C order, then the optional ones; scalars are keywords.
    params = []
    tensors = [a for a in fn.args if isinstance(a, Tensor)]
    for a in [t for t in tensors if not t.optional] + [t for t in tensors if t.optional]:
        default = None if a.optional else inspect.Parameter.empty
        params.append(inspect.Parameter(a.py, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=default, annotation="ArrayLike"))
    for a in fn.args:
        if isinstance(a, Scalar):
            ann = "float" if a.ctype is ctypes.c_float else "int"
            params.append(inspect.Parameter(a.py, inspect.Parameter.KEYWORD_ONLY, default=a.default, annotation=ann))
    if any(isinstance(a, Stream) for a in fn.args):
        params.append(inspect.Parameter("stream", inspect.Parameter.KEYWORD_ONLY, default=None, annotation="Any"))
    ret = "bool" if fn.result == AVAILABLE else "None"
    sig = inspect.Signature(params, return_annotation=ret)

    def call(*args: Any, **kwargs: Any) -> Any:
        b = sig.bind(*args, **kwargs)
        b.apply_defaults()
        return invoke(fn, b.arguments)

    call.__name__ = call.__qualname__ = fn.name
    call.__module__ = "vyr"
    call.__signature__ = sig  # type: ignore[attr-defined]
    call.__doc__ = _docstring(fn)
    return call


def _docstring(fn: Fn) -> str:
    lines = [fn.doc.strip(), ""]
    tensors = [a for a in fn.args if isinstance(a, Tensor)]
    if tensors:
        lines.append("Tensors (DLPack: NumPy arrays on the simulator build, PyTorch CUDA tensors on the GPU build):")
        for a in tensors:
            flags = ", written" if a.out else ""
            flags += ", optional" if a.optional else ""
            lines.append(f"    {a.py}: {'|'.join(a.dtypes)} [{', '.join(_tokens(a.shape))}]{flags}. {a.doc}".rstrip())
    scalars = [a for a in fn.args if isinstance(a, Scalar)]
    if scalars:
        lines.append("Scalars:")
        for a in scalars:
            d = "" if a.default is inspect.Parameter.empty else f" (default {a.default})"
            lines.append(f"    {a.py}{d}: {a.doc}".rstrip())
    lines.append(
        "Raises ValueError or TypeError on a shape, dtype, stride or device mismatch (nothing is launched), "
        "VyrError when the library refuses or fails."
    )
    return "\n".join(lines)


def as_view_shape(v: _dlpack.View, shape: tuple[int, ...], strides: tuple[int, ...]) -> _dlpack.View:
    return replace(v, shape=shape, strides=strides)
