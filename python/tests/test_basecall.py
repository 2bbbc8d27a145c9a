"""tools/vyr-basecall end to end on a short planted read, and its answer to bad input: exit status 1, one line
on stderr, no output file."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "vyr-basecall"
MODEL = ROOT / "tools" / "basecall" / "model.npz"
sys.path.insert(0, str(ROOT / "tools" / "basecall"))
import make_synthetic  # noqa: E402


def basecall(*args):
    return subprocess.run([sys.executable, str(TOOL), *map(str, args)], capture_output=True, text=True,
                          env=dict(os.environ), timeout=300)


@pytest.mark.parametrize("projection", ["linear", "window"])
def test_planted_read_across_chunks(tmp_path, projection):
    rng = np.random.default_rng(3)
    model = tmp_path / "m.npz"
    np.savez(model, config=np.array(json.dumps(make_synthetic.make_config(projection))),
             **make_synthetic.make_model(rng, projection))
    signal, bases = make_synthetic.make_signal(rng, 60)
    np.save(tmp_path / "r.npy", signal)
    (tmp_path / "ref.fasta").write_text(f">r\n{bases}\n")
    out = tmp_path / "reads.fastq"
    # 40-step chunks over ~100 steps: three chunks whose overlaps are stitched
    p = basecall(tmp_path / "r.npy", "--model", model, "--chunk", 40, "--overlap", 6, "-o", out, "--reference",
                 tmp_path / "ref.fasta")
    assert p.returncode == 0, p.stderr
    lines = out.read_text().splitlines()
    assert lines[0] == "@r" and lines[1] == bases and len(lines[3]) == len(bases)
    assert "1/1 reads exact" in p.stderr


def model_without(tmp_path, drop=None, reshape=None):
    with np.load(MODEL) as z:
        arrays = {k: z[k] for k in z.files}
    if drop:
        del arrays[drop]
    if reshape:
        arrays[reshape] = arrays[reshape][:-1]
    path = tmp_path / "m.npz"
    np.savez(path, **arrays)
    return path


@pytest.mark.parametrize(
    "case, text",
    [
        ("missing weight", "has no weight 'lstm2.bias'"),
        ("wrong shape", "weight 'conv1.bias' has shape (15,)"),
        ("no model", "does not exist"),
        ("truncated signal", "not a readable .npy"),
        ("2-D signal", "expected a 1-D numeric signal"),
    ],
)
def test_bad_input_gives_one_line(tmp_path, case, text):
    signal = tmp_path / "s.npy"
    np.save(signal, np.zeros(200, np.float16))
    model = MODEL
    if case == "missing weight":
        model = model_without(tmp_path, drop="lstm2.bias")
    elif case == "wrong shape":
        model = model_without(tmp_path, reshape="conv1.bias")
    elif case == "no model":
        model = tmp_path / "absent.npz"
    elif case == "truncated signal":
        signal.write_bytes(signal.read_bytes()[:-50])
    else:
        np.save(signal, np.zeros((2, 100), np.float16))
    out = tmp_path / "out.fastq"
    p = basecall(signal, "--model", model, "-o", out)
    assert p.returncode == 1
    assert p.stderr.count("\n") == 1 and text in p.stderr, p.stderr
    assert not out.exists() and not list(tmp_path.glob(".vyr-basecall-*"))
