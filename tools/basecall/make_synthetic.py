#!/usr/bin/env python3
"""Writes the tiny synthetic model and signal that ship with the repository (tools/basecall/model.npz,
tools/basecall/signal/*.npy and the planted reads in tools/basecall/signal/reference.fasta).

The signal: each base is an event of 1 to 3 steps of 5 samples at the base's level (-1.5, -0.5, 0.5, 1.5 for
A, C, G, T), whose first sample jumps 3 above the level; Gaussian noise on top. The model's weights are set by
hand so that the network reads it: the first convolution measures, per step, the jump and the level against
three thresholds; the second combines them into "a base b starts here" (one channel per base); the LSTM
layers carry those four channels through their cell input (input and output gates open, forget gate closed,
small random recurrent weights); the output convolution turns them into CRF scores with 4 states, a step
into base b scoring high where b starts. Deterministic for a seed.

usage: make_synthetic.py [--out DIR] [--reads N] [--seed S] [--projection window|linear]"""

from __future__ import annotations

import argparse
import json
from pathlib import Path

import numpy as np

LEVELS = np.array([-1.5, -0.5, 0.5, 1.5])
JUMP = 3.0
SAMPLES_PER_STEP = 5
H = 96
TANH = 3


def make_signal(rng, num_bases: int, noise: float = 0.1) -> tuple[np.ndarray, str]:
    bases = rng.integers(0, 4, num_bases)
    samples = []
    for b in bases:
        for step in range(int(rng.choice([1, 2, 3], p=[0.5, 0.3, 0.2]))):
            s = np.full(SAMPLES_PER_STEP, LEVELS[b])
            if step == 0:
                s[0] += JUMP
            samples.append(s)
    signal = np.concatenate(samples) + rng.normal(0, noise, len(samples) * SAMPLES_PER_STEP)
    return signal.astype(np.float16), "".join("ACGT"[b] for b in bases)


def make_model(rng, projection: str) -> dict[str, np.ndarray]:
    w: dict[str, np.ndarray] = {}
    # conv1 (1 -> 16, width 5, stride 5): channel 0 the jump of the first sample over the other four, channels
    # 1-3 the level of the last four against the thresholds -1, 0, 1; saturated by tanh.
    c1, b1 = np.zeros((5, 1, 16)), np.zeros(16)
    c1[0, 0, 0], c1[1:, 0, 0], b1[0] = 2.0, -0.5, -2.0 * JUMP / 2
    for j, theta in enumerate((-1.0, 0.0, 1.0), start=1):
        c1[1:, 0, j], b1[j] = 6.0 / 4, -6.0 * theta
    w["conv1.weight"], w["conv1.bias"] = c1, b1
    # conv2 (16 -> 16, width 5, centre tap): channel b = [jump] and [level pattern of b], a sum of four +-1
    # values that reaches 4 only when all agree.
    patterns = np.array([[-1, -1, -1], [1, -1, -1], [1, 1, -1], [1, 1, 1]])
    c2, b2 = np.zeros((5, 16, 16)), np.zeros(16)
    for b in range(4):
        c2[2, 0, b] = 3.0
        c2[2, 1:4, b] = 3.0 * patterns[b]
        b2[b] = -3.0 * 3
    w["conv2.weight"], w["conv2.bias"] = c2, b2
    # LSTMs: input and output gates open (+6), forget gate closed (-6), the cell input carries the channels.
    feeds = {"lstm1": 16, "lstm2": H, "lstm3": H}
    for name, c_in in feeds.items():
        bias = np.zeros(4 * H)
        bias[:H], bias[H : 2 * H], bias[3 * H :] = 6.0, -6.0, 6.0
        w[f"{name}.bias"] = bias
        # on a grid of 2^-8, so that the shipped file compresses well
        w[f"{name}.recurrent"] = np.round(rng.normal(0, 0.01, (H, 4 * H)) * 256) / 256
        if projection == "linear":
            proj = np.zeros((4 * H, c_in))
            proj[2 * H : 2 * H + 4, :4] = 2.0 * np.eye(4)  # cell input of units 0-3 from channels 0-3
            w[f"{name}.proj"], w[f"{name}.proj_bias"] = proj, np.zeros(4 * H)
    # output: score of the step into state b (from any state) = tanh(4 h_b), later 5 * tanh(.) by the decoder's
    # post-processing; stays score 0.
    if projection == "linear":
        out = np.zeros((16, H))
        for b in range(4):
            out[4 * b : 4 * b + 4, b] = 4.0
        w["out.proj"], w["out.proj_bias"] = out, np.zeros(16)
    else:
        out = np.zeros((5, 16, 16))
        for b in range(4):
            out[2, b, 4 * b : 4 * b + 4] = 4.0
        w["out.weight"], w["out.bias"] = out, np.zeros(16)
    return {k: v.astype(np.float16) for k, v in w.items()}


def make_config(projection: str) -> dict:
    def lstm_proj(width: int) -> dict:
        return {"kind": "linear"} if projection == "linear" else {"kind": "window", "width": width}

    # A window over 16 channels covers the 4H = 384 gate inputs with 24 steps, the cell-input block (the third)
    # starting at the step itself; over H = 96 channels with 4 steps, likewise.
    return {
        "num_states": 4,
        "layers": [
            {"name": "conv1", "type": "conv", "width": 5, "channels": 16, "stride": 5, "padding": 0, "activation": TANH},
            {"name": "conv2", "type": "conv", "width": 5, "channels": 16, "stride": 1, "padding": 2, "activation": TANH},
            {"name": "lstm1", "type": "lstm", "direction": 1, "projection": lstm_proj(24)},
            {"name": "lstm2", "type": "lstm", "direction": -1, "projection": lstm_proj(4)},
            {"name": "lstm3", "type": "lstm", "direction": 1, "projection": lstm_proj(4)},
            {"name": "out", "type": "scores", "projection": {"kind": "linear"} if projection == "linear"
             else {"kind": "conv", "channels_in": 16, "width": 5, "activation": TANH}},
        ],
        "decoder": {"scale": 5.0, "stay_score": 0.0, "beam_width": 32},
    }


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = Path(__file__).resolve().parent
    p.add_argument("--out", type=Path, default=here)
    p.add_argument("--reads", type=int, default=6)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--projection", choices=["window", "linear"], default="linear")
    a = p.parse_args()
    rng = np.random.default_rng(a.seed)
    (a.out / "signal").mkdir(parents=True, exist_ok=True)
    weights = make_model(rng, a.projection)
    np.savez_compressed(a.out / "model.npz", config=np.array(json.dumps(make_config(a.projection))), **weights)
    fasta = []
    for i in range(a.reads):
        signal, bases = make_signal(rng, int(rng.integers(150, 400)))
        np.save(a.out / "signal" / f"read{i}.npy", signal)
        fasta.append(f">read{i}\n{bases}\n")
    (a.out / "signal" / "reference.fasta").write_text("".join(fasta))


if __name__ == "__main__":
    main()
