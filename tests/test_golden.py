"""Results that must not change by a single bit: the sampler's, on 1, 2 and 4 threads,
and those of the scoring, basis and entropy functions.

golden.json holds a digest of each result, recorded from a reference build with
`python tests/test_golden.py --record`; a faster kernel, another thread count or
another instruction set must reproduce them exactly. The inputs are built from
NumPy's uniform stream and arithmetic only (no transcendental function, whose last
bit may differ between libraries), so they are the same on every machine.
"""

import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

from kvro import kvro_core as kc

GOLDEN = Path(__file__).with_name("golden.json")
THREADS = ("1", "2", "4")


def digest(*parts) -> str:
    h = hashlib.sha256()
    for p in parts:
        a = np.asarray(p, dtype=np.float64)
        h.update(repr(a.shape).encode())
        h.update(np.ascontiguousarray(a).tobytes())
    return h.hexdigest()[:16]


def data(n, k, seed, design="poly"):
    """X (n x k), y with outliers, R1 and R2 (k x k, symmetric)."""
    rng = np.random.default_rng(seed)
    x = 2.0 * rng.random(n) - 1.0
    if design == "poly":
        X = kc.design_matrix_1d(k - 1, x) if k > 0 else np.empty((n, 0))
    else:
        X = 2.0 * rng.random((n, k)) - 1.0
    y = 0.5 * x - 1.5 * x * x * x + 0.1 * (rng.random(n) - 0.5)
    out = rng.random(n) < 0.05
    y[out] += 6.0 * (rng.random(np.count_nonzero(out)) - 0.5)
    A = rng.random((k, k)) - 0.5
    R1 = A + A.T + np.diag(np.full(k, float(k)))  # no BLAS: its bits vary by machine
    R2 = np.diag(np.arange(k, dtype=float) ** 2)
    return X, y, R1, R2


def fit(X, y, cfg, pen):
    R1, R2, g1, g2 = pen
    r = kc.TournamentMCMC(**cfg).fit(X, y, R1, R2, g1, g2)
    g = r.gibbs
    return digest(r.beta_mcmc, r.energy, [g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T])


def sampler_cases():
    """name -> thunk giving the digest of one fit."""
    base = dict(n_chains=6, n_warmup=30, n_deep=40, n_elite=3, step_size=0.05, H_piH=20, seed=42)
    shapes = [  # (n, k, design): odd and even n, n = 1, k = 0, k beyond 128 (blocked columns)
        (1, 3, "poly"),
        (1, 130, "rand"),
        (2, 1, "poly"),
        (5, 0, "poly"),
        (7, 3, "poly"),
        (64, 4, "rand"),
        (101, 5, "poly"),
        (257, 6, "rand"),
        (1000, 8, "poly"),
        (2001, 8, "poly"),
        (333, 12, "rand"),
        (63, 130, "rand"),
        (4001, 130, "rand"),
    ]
    settings = [
        {},
        dict(n_chains=25, n_warmup=20, n_deep=30, n_elite=5, seed=7),
        dict(n_chains=13, n_elite=1, seed=2**64 - 5000),
        dict(n_chains=3, n_elite=9, seed=11, step_size=0.3),
        dict(n_chains=4, n_warmup=0, n_deep=25, n_elite=4, seed=5),
        dict(n_chains=5, n_deep=0, seed=6),
        dict(n_chains=1, n_elite=3, seed=8, H_piH=3),
        dict(n_chains=9, n_elite=-1, step_size=0.01, seed=9),
        dict(n_chains=8, n_warmup=15, n_deep=15, n_elite=8, step_size=1.0, seed=10),
    ]
    cases = {}
    for si, (n, k, design) in enumerate(shapes):
        X, y, R1, R2 = data(n, k, 100 + si, design)
        pens = {
            "none": (None, None, 0.0, 0.0),
            "R2": (None, R2, 0.0, 1e-3),
            "R1R2": (R1, R2, 0.01, 1e-4),
            "inactive": (R1, R2, 0.0, 0.0),
        }
        for ci, extra in enumerate(settings):
            cfg = dict(base, **extra)
            if n * max(k, 1) > 100_000 and ci > 1:
                continue
            pname = list(pens)[(si + ci) % len(pens)]
            cases[f"n{n}_k{k}_{design}_cfg{ci}_{pname}"] = (
                lambda X=X, y=y, cfg=cfg, pen=pens[pname]: fit(X, y, cfg, pen)
            )
    # NaN energies (a NaN weight), NaN and infinite data
    X, y, R1, R2 = data(50, 4, 1, "rand")
    cases["nan_gamma"] = lambda: fit(X, y, base, (None, R2, 0.0, float("nan")))
    Xn = X.copy()
    Xn[::7, 2] = np.nan
    Xn[3, 1] = np.inf
    yn = y.copy()
    yn[::11] = np.nan
    cases["nan_data"] = lambda: fit(Xn, yn, base, (R1, None, 0.5, 0.0))
    cases["inf_R1"] = lambda: fit(X, y, base, (np.full((4, 4), np.inf), None, -1.0, 0.0))
    return cases


def function_cases():
    """name -> digest of the scoring, basis and entropy functions (not the fits).

    The N-dimensional design matrix and penalties enter only on a few elements: on
    longer inputs their last bits follow Eigen's vectorised pow and dot products, whose
    packet width and fused multiply-adds change with the instruction set.
    """
    out = {}
    for n, k, seed in [(1, 2, 1), (10, 3, 2), (501, 6, 3), (2000, 9, 4)]:
        X, y, R1, R2 = data(n, k, seed, "rand")
        yp = y + 0.3 * X[:, 0] - 0.05
        beta = np.linspace(0.5, -0.5, k)
        out[f"mad_{n}"] = digest(kc.mad(y))
        out[f"compute_sr_{n}"] = digest([kc.compute_sr(yp, y, e) for e in (0.0, 0.1, 0.5, 2.0)])
        out[f"mdl_score_{n}"] = digest(
            [kc.mdl_score(yp, y, kk, H) for kk in (0, 1, k) for H in (1, 20)]
        )
        out[f"mdl_score_reg_{n}"] = digest(
            [
                kc.mdl_score_reg(yp, y, k, 20, beta, R1, R2, g1, g2)
                for g1, g2 in ((0.0, 0.0), (0.3, 0.0), (0.0, 2.0), (1e-3, 1e-2))
            ]
        )
        x = X[:, 0]
        out[f"design_matrix_1d_{n}"] = digest(*[kc.design_matrix_1d(d, x) for d in (0, 1, 5, 17)])
        mi = kc.build_penalty_matrices_nd([2, 1, 3], [(-1, 1)] * 3, 2)[2]
        cols = [X[:, 0], 3.0 * X[:, -1], np.abs(X[:, 1]) + 0.5]
        if n <= 10:
            out[f"design_matrix_nd_{n}"] = digest(kc.design_matrix_nd(mi, cols))
        out[f"gibbs_entropy_{n}"] = digest(
            *[
                [getattr(g, a) for a in ("H", "Hmax", "He", "r_heat", "var_E", "T")]
                for g in (kc.gibbs_entropy(y * 30.0, T) for T in (0.0, 0.5, 1.0, 7.0))
            ]
        )
    for deg, lo, hi, ng in [
        (0, 0.0, 1.0, 2),
        (3, -1.0, 2.0, 5),
        (7, -1.0, 1.0, 600),
        (12, -3.5, 0.25, 97),
    ]:
        out[f"smoothness_1d_{deg}_{ng}"] = digest(
            *kc.smoothness_penalty_matrices_1d(deg, lo, hi, ng)
        )
        out[f"boundary_1d_{deg}"] = digest(kc.boundary_reduce_1d(deg, lo, hi))
    for degrees, bounds, ng in [
        ([], [], 30),
        ([3], [(-1.0, 2.0)], 5),
        ([2, 1], [(0.0, 1.0), (0.0, 2.0)], 3),
    ]:
        R1, R2, mi = kc.build_penalty_matrices_nd(degrees, bounds, ng)
        out[f"penalty_nd_{len(degrees)}_{ng}"] = digest(R1, R2, mi)
    return out


def sampler_digests():
    return {name: thunk() for name, thunk in sampler_cases().items()}


def sampler_digests_on(threads, cwd):
    # A child per thread count; run away from the source tree, so that the installed
    # package is the one imported.
    env = dict(os.environ, OMP_NUM_THREADS=threads)
    proc = subprocess.run(
        [sys.executable, __file__, "--sampler"],
        env=env,
        cwd=cwd,
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(proc.stdout)


def test_sampler_bits_on_every_thread_count(tmp_path):
    golden = json.loads(GOLDEN.read_text())["sampler"]
    for threads in THREADS:
        got = sampler_digests_on(threads, tmp_path)
        changed = sorted(k for k in golden if got.get(k) != golden[k])
        assert got.keys() == golden.keys() and not changed, f"{threads} threads: {changed}"


def test_function_bits():
    golden = json.loads(GOLDEN.read_text())["functions"]
    got = function_cases()
    changed = sorted(k for k in golden if got.get(k) != golden[k])
    assert got.keys() == golden.keys() and not changed, changed


if __name__ == "__main__":
    if sys.argv[1:] == ["--sampler"]:
        print(json.dumps(sampler_digests()))
    elif sys.argv[1:] == ["--record"]:
        runs = [sampler_digests_on(t, Path(__file__).parent.parent / "build") for t in THREADS]
        assert all(r == runs[0] for r in runs), "thread counts disagree"
        record = {"sampler": runs[0], "functions": function_cases()}
        GOLDEN.write_text(json.dumps(record, indent=1, sort_keys=True) + "\n")
    else:
        sys.exit("usage: test_golden.py --record | --sampler")
