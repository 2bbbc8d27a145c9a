"""Layer functions on NumPy arrays against plain NumPy references. Tolerances: results are stored as half, so
one half rounding (relative 2^-11) of the result, plus the fast-math exponential's error, below 1e-3
absolute for the magnitudes used here."""

import numpy as np
import pytest
import vyr
from conftest import half

TOL = 2e-3


def swish(x):
    return x / (1 + np.exp(-x))


def sigmoid(x):
    return 1 / (1 + np.exp(-x))


def test_convolution_with_strided_output_leaves_gaps(rng):
    N, T, W = 3, 23, 5
    x, w, b = half(rng, N, T, 1), half(rng, W, 1, 16, scale=0.5), half(rng, 16, scale=0.1)
    buf = np.full((N, T // 2 + 3, 16), 7, np.float16)
    vyr.host_convolution_f16(x, buf[:, : T // 2], w, b, stride=2, padding=2, activation=vyr.ACTIVATION_SWISH)
    xp = np.pad(x.astype(np.float64), ((0, 0), (2, 2), (0, 0)))
    acc = sum(xp[:, k : k + 2 * (T // 2) : 2] @ w[k].astype(np.float64) for k in range(W)) + b
    np.testing.assert_allclose(buf[:, : T // 2].astype(np.float64), swish(acc), atol=TOL, rtol=2**-10)
    assert (buf[:, T // 2 :] == 7).all()


def test_bias_activation_inplace_on_strided_rows(rng):
    m = half(rng, 5, 200)
    view = m[:, :130]
    ref = np.tanh(view.astype(np.float64))
    vyr.host_bias_activation_f16_inplace(view, activation=vyr.ACTIVATION_TANH)
    np.testing.assert_allclose(view.astype(np.float64), ref, atol=TOL)


def test_convert_transposes_and_quantises_exactly(rng):
    x = half(rng, 2, 37, 45)
    out = np.zeros((2, 45, 37), np.float16)
    vyr.host_convert(x, out.transpose(0, 2, 1))
    assert np.array_equal(out, x.transpose(0, 2, 1))
    q = np.zeros((2, 37, 45), np.int8)
    vyr.host_convert(x, q)
    # symmetric fixed point with scale 127, clamped, ties to even
    assert np.array_equal(q, np.rint(np.clip(x.astype(np.float32), -1, 1) * np.float32(127)).astype(np.int8))


def test_interleave_convert_reads_the_memory_layout(rng):
    N, T, C, k = 2, 9, 32, 16
    x = half(rng, N, T, C)
    out = np.zeros((N, C // k, T, k), np.float16)
    vyr.host_bias_activation_interleave_convert(x, out, activation=vyr.ACTIVATION_TANH)
    ref = np.tanh(x.astype(np.float64)).reshape(N, T, C // k, k).transpose(0, 2, 1, 3)
    np.testing.assert_allclose(out.astype(np.float64), ref, atol=TOL)


def test_window_unfolds_with_zero_padding(rng):
    x = half(rng, 2, 11, 8)
    out = np.ones((2, 11, 5, 8), np.float16)
    vyr.host_window_ntwc_f16(x, out)
    xp = np.pad(x, ((0, 0), (2, 2), (0, 0)))
    assert np.array_equal(out, np.stack([xp[:, t : t + 5] for t in range(11)], 1))


def lstm_reference(inp, w, bias, direction):
    N, T, G = inp.shape
    H = G // 4
    h, c, out = np.zeros((N, H)), np.zeros((N, H)), np.zeros((N, T, H))
    for t in range(T) if direction == 1 else reversed(range(T)):
        z = inp[:, t] + h @ w + bias
        i, f, g, o = (z[:, j * H : (j + 1) * H] for j in range(4))
        c = c * sigmoid(f) + sigmoid(i) * np.tanh(g)
        h = np.tanh(c) * sigmoid(o)
        out[:, t] = h
    return out


@pytest.mark.parametrize("direction", [1, -1])
def test_small_lstm_both_directions(rng, direction):
    N, T, H = 4, 6, 96
    inp, w, b = half(rng, N, T, 4 * H), half(rng, H, 4 * H, scale=0.05), half(rng, 4 * H, scale=0.1)
    out = np.zeros((N, T, H), np.float16)
    vyr.host_small_lstm(inp, w, b, out, direction=direction)
    ref = lstm_reference(inp.astype(np.float64), w.astype(np.float64), b.astype(np.float64), direction)
    # recurrent sums accumulate in half precision over 48 products per lane: 1e-2 covers their rounding
    np.testing.assert_allclose(out.astype(np.float64), ref, atol=1e-2)


def test_lstm_step_writes_half_rows(rng):
    N, H = 3, 40
    gates, bias, state = half(rng, N, 4 * H), half(rng, 4 * H, scale=0.1), half(rng, N, H)
    buf = np.full((N, 2 * H), 5, np.float16)
    c0 = state.astype(np.float64)
    vyr.host_lstm_step_f16(bias, gates, state, buf[:, :H])
    z = (gates + bias).astype(np.float64)  # the step adds the bias in half precision
    i, f, g, o = (z[:, j * H : (j + 1) * H] for j in range(4))
    c = sigmoid(f) * c0 + sigmoid(i) * np.tanh(g)
    np.testing.assert_allclose(state.astype(np.float64), c, atol=TOL)
    np.testing.assert_allclose(buf[:, :H].astype(np.float64), sigmoid(o) * np.tanh(c), atol=TOL)
    assert (buf[:, H:] == 5).all()


def test_linear_batched_with_bias(rng):
    a, w, bias = half(rng, 2, 50, 32, scale=0.25), half(rng, 64, 32, scale=0.25), half(rng, 64, scale=0.1)
    d = np.zeros((2, 50, 64), np.float16)
    vyr.host_linear(a, w, d, bias=bias, activation=vyr.ACTIVATION_TANH)
    ref = np.tanh(a.astype(np.float64) @ w.astype(np.float64).T + bias)
    # the products accumulate in half precision over K = 32: a few half ulps of sums below 2
    np.testing.assert_allclose(d.astype(np.float64), ref, atol=1e-2)
