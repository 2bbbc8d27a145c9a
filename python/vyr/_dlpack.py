"""Reading a tensor through the DLPack protocol: data pointer, device, dtype, shape and strides of any object
with ``__dlpack__`` (NumPy arrays, PyTorch tensors, CuPy arrays), without copying.

The capsule is not consumed: it stays alive in the :class:`View` for the length of a call and its own
destructor releases the producer's tensor afterwards, as the protocol allows for unconsumed capsules."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any

# Device types of the DLPack header.
CPU = 1
CUDA = 2
CUDA_HOST = 3
CUDA_MANAGED = 13

_READ_ONLY = 1  # DLManagedTensorVersioned flag bit


class _Device(ctypes.Structure):
    _fields_ = [("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32)]


class _DataType(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class _Tensor(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("device", _Device),
        ("ndim", ctypes.c_int32),
        ("dtype", _DataType),
        ("shape", ctypes.POINTER(ctypes.c_int64)),
        ("strides", ctypes.POINTER(ctypes.c_int64)),
        ("byte_offset", ctypes.c_uint64),
    ]


class _Managed(ctypes.Structure):
    _fields_ = [("dl_tensor", _Tensor), ("manager_ctx", ctypes.c_void_p), ("deleter", ctypes.c_void_p)]


class _Version(ctypes.Structure):
    _fields_ = [("major", ctypes.c_uint32), ("minor", ctypes.c_uint32)]


class _ManagedVersioned(ctypes.Structure):
    _fields_ = [
        ("version", _Version),
        ("manager_ctx", ctypes.c_void_p),
        ("deleter", ctypes.c_void_p),
        ("flags", ctypes.c_uint64),
        ("dl_tensor", _Tensor),
    ]


_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]

# (type code, bits) -> the names used in signatures and messages.
_DTYPES = {
    (0, 8): "int8",
    (0, 16): "int16",
    (0, 32): "int32",
    (0, 64): "int64",
    (1, 8): "uint8",
    (1, 16): "uint16",
    (1, 32): "uint32",
    (1, 64): "uint64",
    (2, 16): "float16",
    (2, 32): "float32",
    (2, 64): "float64",
    (4, 16): "bfloat16",
    (6, 8): "bool",
}


@dataclass
class View:
    """What a DLPack producer says about one tensor. ``strides`` are in elements; ``ptr`` already includes
    the byte offset."""

    ptr: int
    device_type: int
    device_id: int
    dtype: str
    itemsize: int
    shape: tuple[int, ...]
    strides: tuple[int, ...]
    read_only: bool
    owner: Any  # the producer's object
    capsule: Any  # kept alive while the pointer is in use

    @property
    def size(self) -> int:
        n = 1
        for d in self.shape:
            n *= d
        return n

    def span(self) -> tuple[int, int]:
        """Byte range [lo, hi) relative to ``ptr`` that holds every element (0, 0 for an empty tensor)."""
        if self.size == 0:
            return 0, 0
        lo = hi = 0
        for d, s in zip(self.shape, self.strides):
            if s >= 0:
                hi += (d - 1) * s
            else:
                lo += (d - 1) * s
        return lo * self.itemsize, (hi + 1) * self.itemsize

    def is_contiguous(self, trailing: int | None = None) -> bool:
        """True when the last ``trailing`` dimensions (all when None) are dense in C order."""
        n = len(self.shape) if trailing is None else trailing
        expect = 1
        for d, s in list(zip(self.shape, self.strides))[len(self.shape) - n :][::-1]:
            if d != 1 and s != expect:
                return False
            expect *= d
        return True


def _stream_argument(obj: Any, device_type: int) -> dict:
    """The stream a CUDA producer should make the data ready on: PyTorch's current stream, which is the one
    the calls are enqueued on (1 stands for the legacy default stream in the protocol)."""
    if device_type != CUDA:
        return {}
    from . import _torch

    handle = _torch.current_stream_handle(obj)
    if handle is None:
        return {}
    return {"stream": handle if handle != 0 else 1}


def view(obj: Any, name: str) -> View:
    """Reads `obj` through ``__dlpack__``; `name` is the argument's name, for messages."""
    if not hasattr(obj, "__dlpack__"):
        raise TypeError(f"{name}: expected an array or tensor with __dlpack__ (NumPy, PyTorch), got {type(obj).__name__}")
    device_type, device_id = obj.__dlpack_device__()
    kwargs = _stream_argument(obj, int(device_type))
    try:
        try:
            capsule = obj.__dlpack__(max_version=(1, 0), **kwargs)
        except TypeError:  # a producer that predates versioned capsules
            capsule = obj.__dlpack__(**kwargs)
    except BufferError as e:
        raise ValueError(f"{name}: cannot be exported through DLPack ({e})") from None
    cname = _get_name(capsule)
    flags = 0
    if cname == b"dltensor_versioned":
        managed = _ManagedVersioned.from_address(_get_pointer(capsule, cname))
        flags = managed.flags
    elif cname == b"dltensor":
        managed = _Managed.from_address(_get_pointer(capsule, cname))
    else:
        raise ValueError(f"{name}: unexpected DLPack capsule {cname!r}")
    t = managed.dl_tensor
    if t.dtype.lanes != 1:
        raise TypeError(f"{name}: vector element types are not supported")
    dtype = _DTYPES.get((t.dtype.code, t.dtype.bits), f"dlpack({t.dtype.code},{t.dtype.bits})")
    ndim = t.ndim
    shape = tuple(t.shape[i] for i in range(ndim))
    if t.strides:
        strides = tuple(t.strides[i] for i in range(ndim))
    else:  # no strides: dense C order
        strides, acc = [], 1
        for d in reversed(shape):
            strides.append(acc)
            acc *= d
        strides = tuple(reversed(strides))
    ptr = (t.data or 0) + t.byte_offset
    return View(
        ptr=ptr,
        device_type=int(t.device.device_type),
        device_id=int(t.device.device_id),
        dtype=dtype,
        itemsize=(t.dtype.bits + 7) // 8,
        shape=shape,
        strides=strides,
        read_only=bool(flags & _READ_ONLY),
        owner=obj,
        capsule=capsule,
    )
