"""Loading the shared library and the runtime calls the bindings need: device memory for host arrays, copies,
stream and device synchronisation, error names.

The simulator build (libvyr_sim.so) exports the runtime subset itself; the GPU build (libvyr.so) links the
CUDA runtime, whose symbols are found through the library's handle."""

from __future__ import annotations

import ctypes
import os
from pathlib import Path

try:  # written at build time: which backend the installed library was built for
    from ._config import BACKEND, LIBRARY
except ImportError:  # a source tree, run with $VYR_LIBRARY
    BACKEND, LIBRARY = "sim", "libvyr_sim.so"

H2D, D2H = 1, 2  # cudaMemcpyKind


class VyrError(RuntimeError):
    """A library call refused its arguments or failed: ``function`` is the exported function's name,
    ``code`` its status or runtime error code."""

    def __init__(self, function: str, code: int, message: str):
        super().__init__(f"{function}: {message}")
        self.function = function
        self.code = code


class Runtime:
    def __init__(self, path: str, backend: str):
        self.path = path
        self.backend = backend
        self.lib = ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL)
        L = self.lib
        vp, sz = ctypes.c_void_p, ctypes.c_size_t
        for name, args in {
            "cudaMalloc": [ctypes.POINTER(vp), sz],
            "cudaFree": [vp],
            "cudaMemcpy": [vp, vp, sz, ctypes.c_int],
            "cudaDeviceSynchronize": [],
            "cudaStreamSynchronize": [vp],
            "cudaGetLastError": [],
            "cudaPeekAtLastError": [],
            "cudaGetErrorName": [ctypes.c_int],
        }.items():
            f = getattr(L, name)
            f.argtypes = args
            f.restype = ctypes.c_char_p if name == "cudaGetErrorName" else ctypes.c_int

    def error_name(self, code: int) -> str:
        name = self.lib.cudaGetErrorName(code)
        return name.decode() if name else f"cudaError {code}"

    def check(self, what: str, code: int) -> None:
        if code != 0:
            raise VyrError(what, code, self.error_name(code))

    def malloc(self, nbytes: int) -> int:
        p = ctypes.c_void_p()
        self.check("cudaMalloc", self.lib.cudaMalloc(ctypes.byref(p), max(nbytes, 1)))
        return p.value or 0

    def free(self, ptr: int) -> None:
        self.lib.cudaFree(ctypes.c_void_p(ptr))

    def copy(self, dst: int, src: int, nbytes: int, kind: int) -> None:
        if nbytes:
            self.check("cudaMemcpy", self.lib.cudaMemcpy(dst, src, nbytes, kind))

    def synchronize(self, stream: int | None = None) -> None:
        code = self.lib.cudaDeviceSynchronize() if stream is None else self.lib.cudaStreamSynchronize(stream)
        self.check("synchronize", code)


_runtime: Runtime | None = None


def library_path() -> tuple[str, str]:
    """The library to load and its backend: $VYR_LIBRARY (a build tree's library, for development) or the
    one installed with the package."""
    env = os.environ.get("VYR_LIBRARY")
    if env:
        return env, "sim" if "vyr_sim" in Path(env).name else "cuda"
    return str(Path(__file__).with_name(LIBRARY)), BACKEND


def runtime() -> Runtime:
    global _runtime
    if _runtime is None:
        path, backend = library_path()
        if not Path(path).exists():
            raise ImportError(f"vyr: the library {path} is missing; reinstall the package (pip install .)")
        _runtime = Runtime(path, backend)
    return _runtime
