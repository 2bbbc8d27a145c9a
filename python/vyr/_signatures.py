"""Every exported function of the library, described once: parameters in C order, tensors with dtypes and
symbolic shapes, the sizes that follow from them. A new family is added by appending its entries to
``FUNCTIONS`` (see the convolution and LSTM entries for tensors with strides and derived sizes)."""

from __future__ import annotations

import ctypes

from ._call import (
    AVAILABLE,
    CUDA_ERROR,
    DEFAULT_STREAM,
    NOTHING,
    STATUS,
    STATUS_OR_CUDA,
    SYNCHRONOUS,
    Fn,
    Null,
    Scalar,
    Size,
    Stream,
    StrideOf,
    Tensor,
    TypeCode,
    as_view_shape,
)

F16, F32, I32, I8 = ("float16",), ("float32",), ("int32",), ("int8",)
CHARS = ("uint8", "int8")
F16_OR_I8 = ("float16", "int8")
flt = ctypes.c_float


def _activation(default=None):
    kw = {} if default is None else {"default": default}
    return Scalar("activation", doc="VyrActivation: 0 identity, 1 swish, 2 swish_clamp, 3 tanh, 4 tanh_x5", **kw)


# ---- availability ------------------------------------------------------------------------------------------

AVAILABILITY = [
    Fn("sanity_test", [], result=AVAILABLE, doc="True when the library loads and links (always True)."),
    Fn("vyr_tc_is_available", [], result=AVAILABLE, doc="True on compute capability 8.0 or later."),
    Fn("vyr_volta_tc_is_available", [], result=AVAILABLE, doc="True on compute capability 7.0 exactly."),
    Fn(
        "host_cublas_gemm_f16",
        [Stream(), Size("M"), Size("N"), Size("K"), Tensor("a", F16, "M K"), Tensor("b", F16, "N K"),
         Tensor("c", F16, "M N", out=True)],
        doc="Not provided by this library: always raises VyrError (VyrUnsupported).",
    ),
]

# ---- decoding ----------------------------------------------------------------------------------------------


def _decode_workspace_floats(end: int, chunks: int, num_scores: int, beam_width: int) -> int:
    return (end + chunks) * (num_scores // 4 + beam_width)


def _validate_chunks(sym: dict, read) -> None:
    """Chunk descriptors must lie on the timestep axis in order, and the workspace must hold their rows: the
    decoder kernels index with them unchecked."""
    chunks = read("chunks")
    axis, end, prev_end = sym["axis"], 0, 0
    for c, (offset, t) in enumerate(chunks[:, :2].tolist()):
        if t < 0 or offset < prev_end:
            raise ValueError(
                f"chunk {c} (timestep_offset {offset}, num_timesteps {t}) overlaps the previous chunk "
                "or has a negative length"
            )
        prev_end = end = offset + t
    if end > axis:
        raise ValueError(f"the chunks end at timestep {end}, beyond the {axis} rows of scores")
    need = _decode_workspace_floats(end, sym["num_chunks"], sym["num_scores"], sym["beam_width"])
    if sym["ws"] < need:
        raise ValueError(f"workspace holds {sym['ws']} floats, the chunks need {need}")


def _decoder_step(name: str, doc: str, aligned: bool = False) -> Fn:
    args = [
        Stream(),
        Tensor("chunks", I32, "num_chunks 4", doc="ChunkDesc records: timestep_offset, num_timesteps, unused x2"),
        Tensor("chunk_results", I32, "num_chunks 8", out=True, doc="ChunkResult records (see chunk_results_view)"),
        Size("num_chunks"),
        Tensor("scores", F16, "axis num_scores", out=True, doc="scores; posteriors are written over them"),
        Scalar("score_clamp", flt, 0.0, "scores are clamped to +-score_clamp when read; 0: no clamp"),
        Size("num_scores"),
        Tensor("workspace", F32, "ws", out=True, doc="at least decode_workspace_floats(...) floats"),
        Tensor("states", I32, "axis", out=True),
        Tensor("moves", I8, "axis", out=True),
        Null("reserved"),
        Tensor("sequence", CHARS, "axis", out=True),
        Tensor("qstring", CHARS, "axis", out=True),
        Scalar("q_scale", flt, 1.0, "quality = clamp(q_scale * Phred + q_shift, 1, 50)"),
        Scalar("q_shift", flt, 0.0),
        Scalar("beam_width", ctypes.c_int, 32, "1 to 256"),
        Scalar("beam_cut", flt, 100.0, "candidates below best - ln(beam_cut) are dropped"),
        Scalar("fixed_stay_score", flt, 2.0, "log score of a stay"),
    ]
    if aligned:
        args.append(Scalar("timestep_aligned", ctypes.c_int, 0, "1: each base at the first timestep of its run"))
    return Fn(name, args, result=CUDA_ERROR, validate=_validate_chunks, doc=doc)


DECODING = [
    Fn(
        "host_post_gemm_no_modbase",
        [Tensor("bias", F16, "num_scores"), Tensor("scores", F16, "total_timesteps num_scores", out=True),
         Size("num_scores"), Size("total_timesteps"), Scalar("scale", flt, 1.0)],
        launch=DEFAULT_STREAM,
        doc="scores = scale * tanh(scores + bias), in place (on the default stream).",
    ),
    _decoder_step("host_back_guide_step", "Decoder step 1: backward guides into the workspace."),
    _decoder_step("host_beam_search_step", "Decoder step 2: beam search; beam rows and scores."),
    _decoder_step("host_compute_posts_step", "Decoder step 3: posteriors written over the scores."),
    _decoder_step("host_run_decode", "Decoder step 4: states, moves, bases, qualities, summaries.", aligned=True),
]

# ---- training scores ---------------------------------------------------------------------------------------


def _index_range(table: str, limit) -> callable:
    def validate(sym: dict, read) -> None:
        values = read(table)
        hi = limit(sym)
        if values.size and (values.min() < 0 or values.max() >= hi):
            raise ValueError(f"{table} holds {values.min()}..{values.max()}, outside 0..{hi - 1}")

    return validate


_BLOCK_LIMIT = (lambda s, v: s["C"] <= 1024, "C = {C} states exceeds the 1024 threads of one block")


def _sparse_crf(family: str, nz: int) -> list[Fn]:
    ms = f"T N C {nz}"
    t1 = {"T1": lambda s: s["T"] + 1}
    idx_ok = _index_range("idx", lambda s: s["C"])
    idx_t_ok = _index_range("idx_T", lambda s: s["C"] * nz)
    return [
        Fn(
            f"logZ_fwd_host_{family}",
            [Size("T"), Size("N"), Size("C"), Null("ignored"), Tensor("Z", F32, "N C", out=True),
             Tensor("Ms_out", F32, ms, out=True), Tensor("Ms", F32, ms), Tensor("init_scores", F32, "N C"),
             Tensor("final_scores", F32, "N C"), Tensor("idx", I32, f"C {nz}")],
            result=CUDA_ERROR, launch=SYNCHRONOUS, checks=[_BLOCK_LIMIT], validate=idx_ok,
            doc=f"Sparse CRF log-partition ({family}): Z = alpha_T + final, Ms_out = Ms + alpha_t[idx].",
        ),
        Fn(
            f"fwd_scores_host_sparse_{family}",
            [Tensor("alpha", F32, "T1 N C", out=True), Tensor("Ms", F32, ms), Tensor("init_scores", F32, "N C"),
             Tensor("idx", I32, f"C {nz}"), Size("T"), Size("N"), Size("C")],
            result=CUDA_ERROR, launch=SYNCHRONOUS, derive=t1, checks=[_BLOCK_LIMIT], validate=idx_ok,
            doc=f"Sparse CRF forward table ({family}).",
        ),
        Fn(
            f"bwd_scores_host_sparse_{family}",
            [Tensor("beta", F32, "T1 N C", out=True), Tensor("Ms", F32, ms), Tensor("final_scores", F32, "N C"),
             Tensor("idx_T", I32, f"C {nz}"), Size("T"), Size("N"), Size("C")],
            result=CUDA_ERROR, launch=SYNCHRONOUS, derive=t1, checks=[_BLOCK_LIMIT], validate=idx_t_ok,
            doc=f"Sparse CRF backward table ({family}).",
        ),
    ]


def _ctc(name: str, beta_shape: str, doc: str, checks=()) -> Fn:
    return Fn(
        name,
        [Size("T"), Size("N"), Size("S"), Tensor("alpha", F32, "T1 N S", out=True, doc="step 0 supplied"),
         Tensor("beta", F32, beta_shape, out="T1" in beta_shape), Tensor("beta_stay", F32, "T N S", out=True),
         Tensor("beta_move", F32, "T N S", out=True), Tensor("stay_scores", F32, "T N S"),
         Tensor("move_scores", F32, "T N Sm1")],
        result=CUDA_ERROR, launch=SYNCHRONOUS,
        derive={"T1": lambda s: s["T"] + 1, "Sm1": lambda s: s["S"] - 1},
        checks=[(lambda s, v: s["S"] >= 1, "S must be at least 1"), *checks],
        doc=doc,
    )


TRAINING = [
    *_sparse_crf("max", 5),
    *_sparse_crf("log_NZ5", 5),
    *_sparse_crf("log_NZ3", 3),
    _ctc("fwd_bwd_logspace_host", "N S", "CTC forward-backward, S <= 1024 (beta: final scores).",
         [(lambda s, v: s["S"] <= 1024, "S = {S} exceeds the 1024 threads of one block; use the loop variant")]),
    _ctc("fwd_bwd_logspace_loop_host", "T1 N S", "CTC forward-backward, any S (beta step T: final scores)."),
]

# ---- convolution, bias/activation, conversion, layout ------------------------------------------------------


def _interleaved_4d(views: dict) -> None:
    """A plain (N, T, C) tensor is the interleaving with chunk C, i.e. (N, 1, T, C)."""
    for name in ("in", "out"):
        v = views.get(name)
        if v is not None and len(v.shape) == 3:
            n, t, c = v.shape
            s0, s1, s2 = v.strides
            views[name] = as_view_shape(v, (n, 1, t, c), (s0, t * c, s1, s2))


LAYERS = [
    Fn(
        "host_convolution_f16",
        [Stream(), Size("N"), Size("C_in"), Size("C_out"), Size("T_in"), Size("W"),
         Scalar("stride", ctypes.c_int, 1), Scalar("padding", ctypes.c_int, 0), StrideOf("out", 0),
         Tensor("in", F16, "N T_in C_in"), Tensor("out", F16, "N T_out C_out", out=True, dense=2,
                                                  doc="T_out = T_in // stride; sequences may be strided"),
         Tensor("weights", F16, "W C_in C_out"), Tensor("bias", F16, "C_out"), _activation()],
        derive={"T_out": lambda s: s["T_in"] // s["stride"]},
        checks=[(lambda s, v: s["stride"] >= 1, "stride must be at least 1")],
        doc="One-dimensional convolution over time with bias and activation (compiled shapes only).",
    ),
    Fn(
        "host_bias_activation_f16_inplace",
        [Stream(), Size("rows"), Size("cols"), StrideOf("matrix", 0), Tensor("matrix", F16, "rows cols", out=True, dense=1),
         Tensor("bias", F16, "cols", optional=True), _activation()],
        doc="matrix = activation(matrix + bias), in place; rows may be strided.",
    ),
    Fn(
        "host_bias_activation_interleave_convert",
        [Stream(), Size("N"), Size("T"), Size("C"), Tensor("in", F16_OR_I8, "N Gi T ki"), Size("ki"), TypeCode("in"),
         Tensor("out", F16_OR_I8, "N Go T ko", out=True), Size("ko"), TypeCode("out"),
         Tensor("bias", F16, "C", optional=True), _activation()],
        normalize=_interleaved_4d,
        derive={"C": lambda s: s["Gi"] * s["ki"]},
        checks=[(lambda s, v: s["Go"] * s["ko"] == s["C"], "out holds {Go} x {ko} channels, in holds {C}")],
        doc="out = encode(activation(decode(in) + bias)), changing the channel interleaving. A tensor with "
        "chunk width k is passed in its memory layout (N, C // k, T, k); a plain (N, T, C) tensor is chunk C.",
    ),
    Fn(
        "host_convert",
        [Stream(), Tensor("in", F16_OR_I8, "d0 d1 d2", dense=0), StrideOf("in", 0), StrideOf("in", 1),
         StrideOf("in", 2), TypeCode("in"), Tensor("out", F16_OR_I8, "d0 d1 d2", out=True, dense=0),
         StrideOf("out", 0), StrideOf("out", 1), StrideOf("out", 2), TypeCode("out"), Size("d0"), Size("d1"),
         Size("d2")],
        doc="Strided copy of a 3-D tensor: int8 <-> half conversion, or a half layout change (transpose); "
        "the strides are the tensors' own.",
    ),
    Fn(
        "host_window_ntwc_f16",
        [Stream(), Size("N"), Size("T"), Size("C"), Size("W"), Scalar("stride", ctypes.c_int, 1), StrideOf("out", 0),
         StrideOf("out", 1), Tensor("in", F16, "N T C"), Tensor("out", F16, "N T_out W C", out=True, dense=2)],
        result=STATUS_OR_CUDA,
        derive={"T_out": lambda s: s["T"] // s["stride"]},
        checks=[(lambda s, v: s["stride"] >= 1, "stride must be at least 1")],
        doc="Unfolds (N, T, C) over time into windows of W steps centred at t * stride: (N, T // stride, W, C).",
    ),
]

# ---- recurrent layers --------------------------------------------------------------------------------------


def _lstm_scale_matches(s: dict, v: dict) -> bool:
    return ("scale" in v) == (v["weights"].dtype == "int8")


RECURRENT = [
    Fn(
        "host_small_lstm",
        [Stream(), Size("N"), Size("T"), Size("H"), Scalar("direction", ctypes.c_int, 1, "+1 forward, -1 reverse"),
         Tensor("in", F16, "N T G", doc="input projections, gate blocks i, f, g, o"),
         Tensor("weights", F16_OR_I8, "H G", doc="recurrent weights; int8 with scale"), Tensor("bias", F16, "G"),
         Tensor("scale", F32, "G", optional=True), Tensor("out", F16, "N T H", out=True)],
        result=STATUS_OR_CUDA,
        derive={"G": lambda s: 4 * s["H"]},
        checks=[(_lstm_scale_matches, "scale must be given exactly when the weights are int8")],
        doc="A whole LSTM layer (H = 96, or 128 with int8 weights; N a multiple of 4) over T steps.",
    ),
    Fn(
        "host_lstm_step_f16",
        [Stream(), Size("N"), Size("H"), Tensor("bias", F16, "G"), Tensor("gates", F16, "N G"),
         Tensor("state", F16, "N H", out=True), Tensor("out", F16, "N H", out=True, dense=1,
                                                      doc="rows 2H apart, e.g. buf[:, :H] of an (N, 2H) buffer")],
        result=NOTHING,
        derive={"G": lambda s: 4 * s["H"]},
        checks=[(lambda s, v: s["N"] <= 1 or v["out"].strides[0] == 2 * s["H"], "out rows must be 2H = {G2} apart")],
        doc="The pointwise part of one LSTM step: new cell state and hidden state from the gate pre-activations.",
    ),
]
RECURRENT[1].derive["G2"] = lambda s: 2 * s["H"]

# ---- tensor-core linear layers -----------------------------------------------------------------------------


def _batched(views: dict) -> None:
    """A plain (M, K) operand is a batch of one."""
    for name in ("a", "d"):
        v = views.get(name)
        if v is not None and len(v.shape) == 2:
            views[name] = as_view_shape(v, (1, *v.shape), (v.shape[0] * v.strides[0], *v.strides))


LINEAR = [
    Fn(
        "host_linear",
        [Stream(), TypeCode("a"), _activation(0), TypeCode("d"), Size("batch"), Size("M"), Size("K"), Size("N"),
         StrideOf("a", 0), StrideOf("a", 1), StrideOf("d", 0), StrideOf("d", 1),
         Tensor("a", F16_OR_I8, "batch M K", dense=1, doc="inputs, (M, K) or (batch, M, K)"),
         Tensor("b", F16_OR_I8, "N K", doc="weights, one row per output"),
         Tensor("d", F16_OR_I8, "batch M N", out=True, dense=1), Tensor("scale", F16, "N", optional=True),
         Tensor("bias", F16, "N", optional=True)],
        normalize=_batched,
        checks=[(lambda s, v: v["a"].dtype == v["b"].dtype, "a and b must have one element type"),
                (lambda s, v: ("scale" in v) or v["a"].dtype != "int8", "int8 operands need a scale")],
        doc="d = activation(a @ b.T + bias) on tensor cores (compute capability 8.0 and later).",
    ),
    Fn(
        "host_linear_swiglu_f16",
        [Stream(), Size("M"), Size("N"), Size("K"), Tensor("a", F16, "M K"), Tensor("w", F16, "N K"),
         Tensor("d", F16, "M Nh", out=True)],
        derive={"Nh": lambda s: s["N"] // 2},
        doc="d[:, p] = P[:, 2p] * silu(P[:, 2p + 1]) with P = a @ w.T (compute capability 8.0 and later).",
    ),
]

# Entries whose function the loaded library does not export (a family not built yet) are left out.
FUNCTIONS: list[Fn] = [*AVAILABILITY, *DECODING, *TRAINING, *LAYERS, *RECURRENT, *LINEAR]
