"""The basecalling network, assembled from libvyr calls only: convolutions over the raw signal, LSTM layers of
alternating direction, an output layer producing CRF scores, and the decoder.

The model is a .npz file: a JSON "config" entry describing the layers, and one array per weight. Each LSTM
layer and the output layer take their input through one projection step, `project`, whose kind the config
names: "linear" (the library's linear layer, host_linear, with a weight matrix) or "window" (the library's
time unfolding, host_window_ntwc_f16, whose W x C values feed the layer's 4H gate inputs directly). The output
layer is a convolution over the first C_in channels of the last LSTM (host_convert gathers them)."""

from __future__ import annotations

import functools
import json
from dataclasses import dataclass
from typing import Any

import numpy as np

import vyr

LSTM_SIZE = 96  # the small LSTM's half-precision layer size


class ModelError(ValueError):
    """The model file is missing, truncated, or does not describe a network the library can run."""


@dataclass
class Model:
    config: dict
    weights: dict[str, np.ndarray]

    @property
    def samples_per_step(self) -> int:
        stride = 1
        for layer in self.config["layers"]:
            if layer["type"] == "conv":
                stride *= layer["stride"]
        return stride

    @property
    def num_scores(self) -> int:
        return 4 * self.config["num_states"]


def _expect(weights: dict, name: str, shape: tuple[int, ...]) -> np.ndarray:
    if name not in weights:
        raise ModelError(f"the model has no weight '{name}'")
    w = weights[name]
    if tuple(w.shape) != shape:
        raise ModelError(f"weight '{name}' has shape {tuple(w.shape)}, the network needs {shape}")
    if not np.isfinite(w.astype(np.float32)).all():
        raise ModelError(f"weight '{name}' holds non-finite values")
    return np.ascontiguousarray(w, dtype=np.float16)


def load_model(path: str) -> Model:
    """Reads and checks a model: every weight the config needs must be present with its shape."""
    try:
        with np.load(path, allow_pickle=False) as z:
            arrays = {k: z[k] for k in z.files}
    except FileNotFoundError:
        raise ModelError(f"model file {path} does not exist") from None
    except Exception as e:  # zip and npy errors of a damaged file
        raise ModelError(f"model file {path} cannot be read ({type(e).__name__}: {e})") from None
    if "config" not in arrays:
        raise ModelError(f"model file {path} has no 'config' entry")
    try:
        config = json.loads(str(arrays.pop("config")))
    except ValueError as e:
        raise ModelError(f"the model's config is not JSON ({e})") from None
    try:
        if config.get("num_states") not in (4, 16, 64, 256, 1024, 4096):
            raise ModelError(f"num_states must be a power of four from 4 to 4096, got {config.get('num_states')}")
        weights: dict[str, np.ndarray] = {}
        channels = 1
        for layer in config.get("layers", []):
            name, kind = layer.get("name"), layer.get("type")
            if kind == "conv":
                w = layer["width"]
                weights[f"{name}.weight"] = _expect(arrays, f"{name}.weight", (w, channels, layer["channels"]))
                weights[f"{name}.bias"] = _expect(arrays, f"{name}.bias", (layer["channels"],))
                channels = layer["channels"]
                if int(layer["stride"]) < 1 or int(layer["padding"]) < 0 or int(layer["activation"]) not in range(5):
                    raise ModelError(f"layer {name}: stride, padding or activation out of range")
            elif kind == "lstm":
                H = LSTM_SIZE
                _check_projection(arrays, weights, name, layer["projection"], channels, 4 * H)
                weights[f"{name}.recurrent"] = _expect(arrays, f"{name}.recurrent", (H, 4 * H))
                weights[f"{name}.bias"] = _expect(arrays, f"{name}.bias", (4 * H,))
                if layer.get("direction") not in (1, -1):
                    raise ModelError(f"layer {name}: direction must be 1 or -1")
                channels = H
            elif kind == "scores":
                _check_projection(arrays, weights, name, layer["projection"], channels, 4 * config["num_states"])
                channels = 4 * config["num_states"]
            else:
                raise ModelError(f"layer {name}: unknown type {kind!r}")
        if not config.get("layers") or config["layers"][-1]["type"] != "scores":
            raise ModelError("the last layer must be the 'scores' layer")
        float(config["decoder"]["scale"]), float(config["decoder"]["stay_score"])
    except (KeyError, TypeError, AttributeError) as e:
        raise ModelError(f"the model's config is incomplete ({type(e).__name__}: {e})") from None
    return Model(config, weights)


def _check_projection(arrays, weights, name, proj, c_in, c_out) -> None:
    kind = proj.get("kind")
    if kind == "linear":
        weights[f"{name}.proj"] = _expect(arrays, f"{name}.proj", (c_out, c_in))
        weights[f"{name}.proj_bias"] = _expect(arrays, f"{name}.proj_bias", (c_out,))
    elif kind == "window":
        if proj["width"] * c_in != c_out:
            raise ModelError(f"layer {name}: a window of {proj['width']} x {c_in} channels cannot feed {c_out} inputs")
    elif kind == "conv":
        k = proj["channels_in"]
        if k > c_in:
            raise ModelError(f"layer {name}: takes {k} channels of {c_in}")
        weights[f"{name}.weight"] = _expect(arrays, f"{name}.weight", (proj["width"], k, c_out))
        weights[f"{name}.bias"] = _expect(arrays, f"{name}.bias", (c_out,))
    else:
        raise ModelError(f"layer {name}: unknown projection {kind!r}")


# ---- running it -------------------------------------------------------------------------------------------


@functools.lru_cache(maxsize=None)
def _on_gpu() -> bool:
    """On the GPU build with PyTorch present, activations stay on the device as CUDA tensors; otherwise they
    are NumPy arrays (copied to the device around each call)."""
    if vyr.backend() != "cuda":
        return False
    try:
        import torch
    except ImportError:
        return False
    return torch.cuda.is_available()


def _empty(shape) -> Any:
    if _on_gpu():
        import torch

        return torch.empty(tuple(shape), dtype=torch.float16, device="cuda")
    return np.empty(shape, np.float16)


def _to_device(x: np.ndarray) -> Any:
    if _on_gpu():
        import torch

        return torch.from_numpy(x).cuda()
    return x


def _w(model: Model, name: str) -> Any:
    """A weight where the activations are (on the GPU, uploaded once)."""
    w = model.weights[name]
    if _on_gpu() and isinstance(w, np.ndarray):
        w = model.weights[name] = _to_device(w)
    return w


def project(x: Any, model: Model, name: str, proj: dict, c_out: int) -> Any:
    """The one projection step of the network: (N, T, C) -> (N, T, c_out)."""
    N, T, C = (int(d) for d in x.shape)
    kind = proj["kind"]
    if kind == "linear":
        out = _empty((N, T, c_out))
        vyr.host_linear(x.reshape(N * T, C), _w(model, f"{name}.proj"), out.reshape(N * T, c_out),
                        bias=_w(model, f"{name}.proj_bias"), activation=vyr.ACTIVATION_IDENTITY)
        return out
    if kind == "window":
        out = _empty((N, T, proj["width"], C))
        vyr.host_window_ntwc_f16(x, out)
        return out.reshape(N, T, c_out)
    # "conv": a convolution over the first channels_in channels (gathered by a strided copy)
    k = proj["channels_in"]
    part = _empty((N, T, k))
    vyr.host_convert(x[:, :, :k], part)
    out = _empty((N, T, c_out))
    vyr.host_convolution_f16(part, out, _w(model, f"{name}.weight"), _w(model, f"{name}.bias"),
                             padding=proj["width"] // 2, activation=proj.get("activation", vyr.ACTIVATION_TANH))
    return out


def run_network(model: Model, signal: np.ndarray) -> Any:
    """Raw signal chunks (N, samples), N a multiple of 4, to raw CRF scores (N, T, num_scores)."""
    x = _to_device(np.ascontiguousarray(signal, dtype=np.float16)[:, :, None])
    for layer in model.config["layers"]:
        name = layer["name"]
        if layer["type"] == "conv":
            out = _empty((x.shape[0], x.shape[1] // layer["stride"], layer["channels"]))
            vyr.host_convolution_f16(x, out, _w(model, f"{name}.weight"), _w(model, f"{name}.bias"),
                                     stride=layer["stride"], padding=layer["padding"], activation=layer["activation"])
            x = out
        elif layer["type"] == "lstm":
            gates = project(x, model, name, layer["projection"], 4 * LSTM_SIZE)
            out = _empty((x.shape[0], x.shape[1], LSTM_SIZE))
            vyr.host_small_lstm(gates, _w(model, f"{name}.recurrent"), _w(model, f"{name}.bias"), out,
                                direction=layer["direction"])
            x = out
        else:
            x = project(x, model, name, layer["projection"], model.num_scores)
    return x


def decode_scores(model: Model, scores: Any) -> Any:
    """CRF scores (N, T, num_scores) to reads: the model's post-processing (scale * tanh(x)), then the decoder."""
    d = model.config["decoder"]
    N, T, S = scores.shape
    return vyr.decode(scores.reshape(N * T, S), [T] * N, bias=_to_device(np.zeros(S, np.float16)), scale=d["scale"],
                      stay_score=d["stay_score"], beam_width=d.get("beam_width", 32))
