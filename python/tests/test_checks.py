"""Arguments are checked before anything is launched: every refusal leaves the outputs as they were."""

import numpy as np
import pytest
import vyr
from conftest import half


@pytest.fixture
def conv(rng):
    x, w, b = half(rng, 2, 10, 1), half(rng, 5, 1, 16), half(rng, 16)
    out = np.full((2, 10, 16), 3, np.float16)
    return x, out, w, b


@pytest.mark.parametrize(
    "change, error, text",
    [
        (lambda a: dict(a, in_=a["in_"].astype(np.float32)), TypeError, "in_ must be float16"),
        (lambda a: dict(a, weights=a["weights"][:, :, :8].copy()), ValueError, "weights has shape"),
        (lambda a: dict(a, in_=np.repeat(a["in_"], 2, axis=1)[:, ::2]), ValueError, "in_ must be contiguous"),
        (lambda a: dict(a, bias=np.zeros(8, np.float16)), ValueError, "bias has shape"),
        (lambda a: dict(a, in_=a["out"][:, :, :1]), ValueError, "in_ must be contiguous"),
        (lambda a: dict(a, in_=[[1.0]]), TypeError, "__dlpack__"),
        (lambda a: dict(a, activation=4), vyr.VyrError, "VyrUnsupported"),  # not a compiled shape
    ],
)
def test_refused_calls_write_nothing(conv, change, error, text):
    x, out, w, b = conv
    args = change(dict(in_=x, out=out, weights=w, bias=b, activation=1))
    with pytest.raises(error, match=text):
        vyr.host_convolution_f16(**args)
    assert (out == 3).all()


def test_outputs_that_overlap_or_cannot_be_written(rng):
    m = half(rng, 4, 64)
    with pytest.raises(ValueError, match="overlap"):
        vyr.host_convert(m[:, :32].reshape(4, 1, 32), m[:, 16:48].reshape(4, 1, 32))
    ro = np.zeros((4, 1, 32), np.float16)
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        vyr.host_convert(m[:, :32].reshape(4, 1, 32), ro)


def test_lstm_weight_type_and_scale_agree(rng):
    N, T, H = 4, 2, 96
    inp, b, out = half(rng, N, T, 4 * H), half(rng, 4 * H), np.zeros((N, T, H), np.float16)
    with pytest.raises(ValueError, match="scale"):
        vyr.host_small_lstm(inp, np.zeros((H, 4 * H), np.int8), b, out)
    with pytest.raises(vyr.VyrError, match="VyrUnsupported"):
        vyr.host_small_lstm(inp[:2], half(rng, H, 4 * H), b, out[:2])  # N not a multiple of 4


def test_training_index_tables_are_range_checked(rng):
    T, N, C = 2, 1, 4
    Ms = np.zeros((T, N, C, 5), np.float32)
    idx = np.full((C, 5), C, np.int32)  # one past the last state
    alpha = np.zeros((T + 1, N, C), np.float32)
    with pytest.raises(ValueError, match="outside 0..3"):
        vyr.fwd_scores_host_sparse_log_NZ5(alpha, Ms, np.zeros((N, C), np.float32), idx)
    assert (alpha == 0).all()


@pytest.mark.skipif(__import__("importlib").util.find_spec("torch") is None, reason="PyTorch is not installed")
def test_torch_tensors_match_numpy(rng):
    """On the GPU build the tensors are CUDA tensors and the calls run on PyTorch's stream; elsewhere CPU
    tensors take the host path. Either way the results equal those of NumPy arrays."""
    import torch

    on_gpu = vyr.backend() == "cuda" and torch.cuda.is_available()
    dev = "cuda" if on_gpu else "cpu"
    x, w, b = half(rng, 2, 10, 1), half(rng, 5, 1, 16), half(rng, 16)
    out = torch.zeros(2, 10, 16, dtype=torch.float16, device=dev)
    vyr.host_convolution_f16(torch.from_numpy(x).to(dev), out, torch.from_numpy(w).to(dev),
                             torch.from_numpy(b).to(dev), padding=2, activation=1)
    ref = np.zeros((2, 10, 16), np.float16)
    vyr.host_convolution_f16(x, ref, w, b, padding=2, activation=1)
    assert np.array_equal(out.cpu().numpy(), ref)

    scores = half(rng, 120, 64)
    got, want = vyr.decode(torch.from_numpy(scores).to(dev), [50, 70]), vyr.decode(scores, [50, 70])
    assert got.sequences == want.sequences and got.qualities == want.qualities

    Ms = rng.standard_normal((4, 2, 8, 5)).astype(np.float32)
    idx = np.array([[(s + k) % 8 for k in range(5)] for s in range(8)], np.int32)
    init, final = rng.standard_normal((2, 2, 8)).astype(np.float32)
    t = vyr.crf_tables(*(torch.from_numpy(a).to(dev) for a in (Ms, idx, init, final)))
    n = vyr.crf_tables(Ms, idx, init, final)
    assert np.array_equal(t.alpha.cpu().numpy(), n.alpha) and np.array_equal(t.log_partition, n.log_partition)
    if vyr.backend() == "sim" and torch.cuda.is_available():
        with pytest.raises(ValueError, match="GPU build"):
            vyr.host_convolution_f16(out.cuda(), out.cuda(), out.cuda(), out.cuda(), activation=1)


def test_type_stub_matches_the_signature_table():
    from pathlib import Path

    from vyr import _stubs

    assert (Path(vyr.__file__).with_name("__init__.pyi")).read_text() == _stubs.stub()
