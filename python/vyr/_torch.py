"""PyTorch, when it is installed: the current CUDA stream of a tensor's device (calls are enqueued there) and
allocation of result tensors next to the inputs. Nothing here imports torch unless a torch tensor is seen."""

from __future__ import annotations

import sys
from typing import Any


def is_tensor(obj: Any) -> bool:
    torch = sys.modules.get("torch")
    return torch is not None and isinstance(obj, torch.Tensor)


def current_stream_handle(obj: Any) -> int | None:
    """The raw cudaStream_t of PyTorch's current stream on the tensor's device, or None for other objects."""
    if not is_tensor(obj) or not obj.is_cuda:
        return None
    import torch

    return int(torch.cuda.current_stream(obj.device).cuda_stream)


def empty_like_device(like: Any, shape: tuple[int, ...], dtype: str) -> Any:
    """An uninitialised tensor of `dtype` (a NumPy dtype name) on the device of the tensor `like`."""
    import torch

    return torch.empty(shape, dtype=getattr(torch, dtype), device=like.device)


def to_numpy(obj: Any) -> Any:
    return obj.detach().cpu().numpy()
