"""The whole jobs: decoding planted reads, and the consistency of the training tables."""

import numpy as np
import pytest
import vyr


def planted(rng, lengths, num_states, stay=2.0):
    """Scores whose best path is one random read: planted steps lead the stay by 4, every other step trails
    it by 6, each +-0.5 of noise (without it, equal guides at the beam's initial threshold could fill the beam
    before the planted start state), so a correct decoder recovers the read and its moves exactly."""
    rows, reads, moves = [], [], []
    for T in lengths:
        s, read, mv = int(rng.integers(num_states)), "", []
        for t in range(T):
            row = stay - 6.0 + rng.uniform(-0.5, 0.5, 4 * num_states)
            step = rng.random() < 0.6
            if step:
                top, s = s * 4 // num_states, (s * 4) % num_states + int(rng.integers(4))
                row[4 * s + top] = stay + 4.0 + rng.uniform(-0.5, 0.5)
            if t == 0 or step:
                read += "ACGT"[s % 4]
            mv.append(1 if t == 0 or step else 0)
            rows.append(row)
        reads.append(read)
        moves.append(np.array(mv, np.int8))
    return np.array(rows, np.float16), reads, moves


def test_decode_recovers_planted_reads(rng):
    lengths = [40, 1, 75]
    scores, reads, moves = planted(rng, lengths, 64)
    original = scores.copy()
    r = vyr.decode(scores, lengths)
    assert r.sequences == reads
    for got, want in zip(r.moves, moves):
        assert np.array_equal(got, want)
    assert all(len(q) == len(s) for q, s in zip(r.qualities, r.sequences))
    assert list(r.results["num_bases"]) == [len(s) for s in reads]
    assert np.array_equal(scores, original)  # the caller's scores are not overwritten


def test_decoder_step_refuses_chunks_beyond_the_scores(rng):
    scores, _, _ = planted(rng, [10], 4)
    chunks = np.array([[0, 11, 0, 0]], np.int32)  # one timestep past the end
    bufs = dict(chunks=chunks, chunk_results=np.zeros((1, 8), np.int32), scores=scores,
                workspace=np.zeros(vyr.decode_workspace_floats(11, 1, 16, 32), np.float32),
                states=np.zeros(10, np.int32), moves=np.zeros(10, np.int8), sequence=np.zeros(10, np.uint8),
                qstring=np.zeros(10, np.uint8))
    with pytest.raises(ValueError, match="beyond the 10 rows"):
        vyr.host_back_guide_step(**bufs)
    bufs["chunks"] = np.array([[0, 10, 0, 0]], np.int32)
    bufs["workspace"] = bufs["workspace"][:100]
    with pytest.raises(ValueError, match="workspace holds 100 floats"):
        vyr.host_back_guide_step(**bufs)


def ring_crf(C, nz, rng, T, N):
    idx = np.array([[(s + k) % C for k in range(nz)] for s in range(C)], np.int32)
    Ms = rng.standard_normal((T, N, C, nz)).astype(np.float32)
    init, final = rng.standard_normal((2, N, C)).astype(np.float32)
    return Ms, idx, init, final


@pytest.mark.parametrize("semiring, nz", [("log", 5), ("log", 3), ("max", 5)])
def test_crf_tables_agree_at_every_step(rng, semiring, nz):
    T, N, C = 6, 2, 8
    Ms, idx, init, final = ring_crf(C, nz, rng, T, N)
    tab = vyr.crf_tables(Ms, idx, init, final, semiring=semiring)
    s = tab.alpha.astype(np.float64) + tab.beta
    per_step = s.max(axis=2) if semiring == "max" else np.log(np.exp(s).sum(axis=2))
    # fast exp/log: a few float ulps per step over six steps
    np.testing.assert_allclose(per_step, np.broadcast_to(tab.log_partition, (T + 1, N)), atol=1e-4)
    a = init.astype(np.float64)  # the forward recursion in plain NumPy
    for t in range(T):
        x = Ms[t] + a[:, idx]
        a = x.max(axis=2) if semiring == "max" else np.log(np.exp(x).sum(axis=2))
    np.testing.assert_allclose(tab.alpha[T], a, atol=1e-4)


def test_ctc_tables_give_one_likelihood(rng):
    T, N, S = 7, 2, 5
    stay = rng.standard_normal((T, N, S)).astype(np.float32)
    move = rng.standard_normal((T, N, S - 1)).astype(np.float32)
    init = np.full((N, S), -1e38, np.float32)
    init[:, 0] = 0
    final = np.full((N, S), -1e38, np.float32)
    final[:, -1] = 0
    tab = vyr.ctc_tables(stay, move, init, final)
    ll = [np.log(np.exp(tab.alpha[t].astype(np.float64) + tab.beta[t]).sum(axis=1)) for t in range(T + 1)]
    np.testing.assert_allclose(ll, np.broadcast_to(tab.log_likelihood, (T + 1, N)), atol=1e-4)
    np.testing.assert_allclose(tab.beta_stay, tab.beta[1:] + stay, atol=1e-6)
