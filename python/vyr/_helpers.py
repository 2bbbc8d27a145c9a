"""Whole jobs built from the exported functions: decoding a scores tensor into reads, and the training tables of
the sparse CRF and the CTC lattice. Buffers are allocated next to the inputs: NumPy arrays for host input,
PyTorch tensors on the same device for CUDA input."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional, Sequence

import numpy as np

from . import _torch

ArrayLike = Any  # NumPy array, PyTorch tensor, or another DLPack producer

CHUNK_RESULT_DTYPE = np.dtype(
    [("timestep_offset", "<i4"), ("num_timesteps", "<i4"), ("num_bases", "<i4"), ("score", "<f4"),
     ("stay_fraction", "<f4"), ("move_fraction", "<f4"), ("reserved", "<i4"), ("mean_error", "<f4")]
)


def chunk_results_view(raw: ArrayLike) -> np.ndarray:
    """The [num_chunks, 8] int32 ChunkResult records as a structured NumPy array (a host copy for tensors)."""
    a = _torch.to_numpy(raw) if _torch.is_tensor(raw) else np.asarray(raw)
    return np.ascontiguousarray(a, dtype=np.int32).view(CHUNK_RESULT_DTYPE).reshape(-1)


def decode_workspace_floats(end_of_axis: int, num_chunks: int, num_scores: int, beam_width: int) -> int:
    """Floats of decoder workspace for chunks ending at `end_of_axis` (see vyr_decode_workspace_bytes)."""
    return (end_of_axis + num_chunks) * (num_scores // 4 + beam_width)


def _new(like: Any, shape: Sequence[int], dtype: str, fill: Optional[float] = None) -> Any:
    if _torch.is_tensor(like):
        t = _torch.empty_like_device(like, tuple(shape), dtype)
        return t if fill is None else t.fill_(fill)
    return np.empty(shape, dtype=dtype) if fill is None else np.full(shape, fill, dtype=dtype)


def _host(x: Any) -> np.ndarray:
    return _torch.to_numpy(x) if _torch.is_tensor(x) else np.asarray(x)


@dataclass
class Reads:
    """Decoded chunks: one base string and one Phred+33 quality string per chunk, the per-timestep moves
    (1 where a base starts) and the ChunkResult summaries."""

    sequences: list[str]
    qualities: list[str]
    moves: list[np.ndarray]
    results: np.ndarray  # CHUNK_RESULT_DTYPE records


def decode(
    scores: ArrayLike,
    lengths: Optional[Sequence[int]] = None,
    *,
    bias: Optional[ArrayLike] = None,
    scale: float = 1.0,
    beam_width: int = 32,
    beam_cut: float = 100.0,
    stay_score: float = 2.0,
    clamp: float = 0.0,
    q_scale: float = 1.0,
    q_shift: float = 0.0,
    stream: Any = None,
) -> Reads:
    """Decodes CRF scores into reads with the library's decoding steps.

    scores: float16 or float32 [T, num_scores] (one chunk), [N, T, num_scores] (N chunks of T timesteps) or
    [total, num_scores] with `lengths` (chunk lengths summing to total); num_scores = 4 * 4^k, 4^k from 4 to
    4096. The input is not modified. bias: [num_scores]; when given, scores first become
    scale * tanh(scores + bias). The other options are those of the decoding functions."""
    from . import (host_back_guide_step, host_beam_search_step, host_compute_posts_step, host_post_gemm_no_modbase,
                   host_run_decode)

    shape = tuple(scores.shape)
    if len(shape) not in (2, 3) or shape[-1] == 0:
        raise ValueError(f"decode: scores must be [T, num_scores] or [N, T, num_scores], got shape {shape}")
    num_scores = shape[-1]
    total = shape[0] * (shape[1] if len(shape) == 3 else 1)
    if lengths is None:
        lengths = [shape[1]] * shape[0] if len(shape) == 3 else [shape[0]]
    lengths = [int(t) for t in lengths]
    if any(t < 1 for t in lengths) or sum(lengths) != total:
        raise ValueError(f"decode: chunk lengths must be positive and sum to the {total} timesteps of scores")
    if _torch.is_tensor(scores):
        import torch

        work = scores.detach().to(torch.float16).reshape(total, num_scores).contiguous().clone()
    else:
        work = np.array(np.asarray(scores), dtype=np.float16, copy=True).reshape(total, num_scores)
    offsets = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(np.int32)
    desc = np.zeros((len(lengths), 4), dtype=np.int32)
    desc[:, 0], desc[:, 1] = offsets, lengths
    if _torch.is_tensor(work):
        import torch

        chunks = torch.from_numpy(desc).to(work.device)
    else:
        chunks = desc
    n = len(lengths)
    bufs = dict(
        chunks=chunks,
        chunk_results=_new(work, (n, 8), "int32", 0),
        scores=work,
        workspace=_new(work, (decode_workspace_floats(total, n, num_scores, beam_width),), "float32"),
        states=_new(work, (total,), "int32", 0),
        moves=_new(work, (total,), "int8", 0),
        sequence=_new(work, (total,), "uint8", 0),
        qstring=_new(work, (total,), "uint8", 0),
    )
    opts: dict[str, Any] = dict(score_clamp=clamp, q_scale=q_scale, q_shift=q_shift, beam_width=beam_width, beam_cut=beam_cut,
                fixed_stay_score=stay_score)
    if bias is not None:
        host_post_gemm_no_modbase(bias, work, scale=scale)
    for step in (host_back_guide_step, host_beam_search_step, host_compute_posts_step):
        step(**bufs, **opts, stream=stream)
    host_run_decode(**bufs, **opts, timestep_aligned=0, stream=stream)

    results = chunk_results_view(bufs["chunk_results"])
    seq, qual, moves = (_host(bufs[k]) for k in ("sequence", "qstring", "moves"))
    sequences, qualities, move_list = [], [], []
    for c in range(n):
        o, t, nb = int(offsets[c]), lengths[c], int(results["num_bases"][c])
        sequences.append(seq[o : o + nb].tobytes().decode("ascii"))
        qualities.append(qual[o : o + nb].tobytes().decode("ascii"))
        move_list.append(moves[o : o + t].copy())
    return Reads(sequences, qualities, move_list, results)


# ---- training tables ---------------------------------------------------------------------------------------


@dataclass
class CrfTables:
    """Sparse CRF tables: alpha and beta [T + 1, N, C], Z [N, C], Ms_out [T, N, C, NZ] and the per-chunk
    log-partition (or best score, max semiring) [N], a NumPy array."""

    alpha: Any
    beta: Any
    Z: Any
    Ms_out: Any
    log_partition: np.ndarray


def transpose_index(idx: ArrayLike) -> np.ndarray:
    """idx_T of a forward index table idx [C, NZ]: for each state, the positions s * NZ + k of the NZ transitions
    leaving it. Every state must be the source of exactly NZ transitions."""
    idx = _host(idx).astype(np.int64)
    C, nz = idx.shape
    if idx.size and (idx.min() < 0 or idx.max() >= C):
        raise ValueError(f"idx holds states outside 0..{C - 1}")
    order = np.argsort(idx.reshape(-1), kind="stable")
    counts = np.bincount(idx.reshape(-1), minlength=C)
    if (counts != nz).any():
        s = int(np.nonzero(counts != nz)[0][0])
        raise ValueError(f"state {s} is the source of {counts[s]} transitions, every state needs exactly {nz}")
    return order.reshape(C, nz).astype(np.int32)


def crf_tables(Ms: ArrayLike, idx: ArrayLike, init_scores: ArrayLike, final_scores: ArrayLike, *,
               semiring: str = "log", idx_T: Optional[ArrayLike] = None) -> CrfTables:
    """Forward, backward and log-partition tables of a sparse CRF. Ms: float32 [T, N, C, NZ]; idx: int32 [C, NZ]
    source state of each transition; init_scores, final_scores: float32 [N, C]. semiring "log" (NZ 5 or 3) or
    "max" (NZ 5). idx_T is derived from idx when not given."""
    import vyr

    nz = int(idx.shape[1]) if len(idx.shape) == 2 else -1
    family = {("log", 5): "log_NZ5", ("log", 3): "log_NZ3", ("max", 5): "max"}.get((semiring, nz))
    if family is None:
        raise ValueError(f"crf_tables: no {semiring} semiring kernels for NZ = {nz} (log: 5 or 3, max: 5)")
    if idx_T is None:
        idx_T = transpose_index(idx)
        if _torch.is_tensor(Ms):
            import torch

            idx_T = torch.from_numpy(idx_T).to(Ms.device)
    T, N, C = (int(d) for d in Ms.shape[:3])
    alpha = _new(Ms, (T + 1, N, C), "float32")
    beta = _new(Ms, (T + 1, N, C), "float32")
    Z = _new(Ms, (N, C), "float32")
    Ms_out = _new(Ms, tuple(Ms.shape), "float32")
    getattr(vyr, f"fwd_scores_host_sparse_{family}")(alpha, Ms, init_scores, idx)
    getattr(vyr, f"bwd_scores_host_sparse_{family}")(beta, Ms, final_scores, idx_T)
    getattr(vyr, f"logZ_fwd_host_{family}")(Z, Ms_out, Ms, init_scores, final_scores, idx)
    z = _host(Z).astype(np.float64)
    if semiring == "max":
        log_partition = z.max(axis=1)
    else:
        m = z.max(axis=1, keepdims=True)
        log_partition = (m + np.log(np.exp(z - m).sum(axis=1, keepdims=True)))[:, 0]
    return CrfTables(alpha, beta, Z, Ms_out, log_partition.astype(np.float32))


@dataclass
class CtcTables:
    """CTC lattice tables: alpha and beta [T + 1, N, S], beta_stay and beta_move [T, N, S] (beta_move's last
    position is not written: it is -1e38 here), and the per-chunk log-likelihood [N], a NumPy array."""

    alpha: Any
    beta: Any
    beta_stay: Any
    beta_move: Any
    log_likelihood: np.ndarray


def ctc_tables(stay_scores: ArrayLike, move_scores: ArrayLike, initial: ArrayLike, final: ArrayLike) -> CtcTables:
    """Forward-backward over the left-to-right lattice. stay_scores: float32 [T, N, S]; move_scores: float32
    [T, N, S - 1]; initial (alpha at step 0) and final (beta at step T): float32 [N, S]."""
    from . import fwd_bwd_logspace_loop_host

    T, N, S = (int(d) for d in stay_scores.shape)
    alpha = _new(stay_scores, (T + 1, N, S), "float32")
    beta = _new(stay_scores, (T + 1, N, S), "float32")
    alpha[0] = initial
    beta[T] = final
    beta_stay = _new(stay_scores, (T, N, S), "float32")
    beta_move = _new(stay_scores, (T, N, S), "float32", -1.0e38)
    fwd_bwd_logspace_loop_host(alpha, beta, beta_stay, beta_move, stay_scores, move_scores)
    x = _host(alpha)[0].astype(np.float64) + _host(beta)[0].astype(np.float64)
    m = x.max(axis=1, keepdims=True)
    ll = (m + np.log(np.exp(x - m).sum(axis=1, keepdims=True)))[:, 0]
    return CtcTables(alpha, beta, beta_stay, beta_move, ll.astype(np.float32))
