"""Sampling: TournamentMCMC.fit with its defaults on a degree-7 polynomial design.

Three figures: the speed against the same sampler written with NumPy (vectorised
over chains in the warm-up), the rate of energy evaluations on one thread with the
flop rate of their X*b products as a share of the practical peak (single-thread
NumPy 1000 x 1000 matrix product, measured in the same run), and the speed-up of
the warm-up from one thread to two. Thread counts are fixed by running those
measurements in subprocesses with OMP_NUM_THREADS / OPENBLAS_NUM_THREADS set.
"""

import json
import os
import subprocess
import sys

import numpy as np
from run import Case, best_time

from kvro import kvro_core

N, DEG, GAMMA2 = 2000, 7, 1e-4
DEFAULTS = dict(
    n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05, H_piH=20, seed=42
)


def problem():
    """Monomial design on [-1, 1], noisy targets with outliers, and the grid
    penalty of the squared second derivative."""
    rng = np.random.default_rng(7)
    x = np.linspace(-1.0, 1.0, N)
    X = kvro_core.design_matrix_1d(DEG, x)
    y = np.sin(2.5 * x) + 0.3 * x**3 + 0.05 * rng.normal(size=N)
    y[rng.choice(N, N // 20, replace=False)] += rng.normal(scale=3.0, size=N // 20)
    _, R2 = kvro_core.smoothness_penalty_matrices_1d(DEG, -1.0, 1.0)
    return X, y, R2


def numpy_fit(X, y, R2, gamma2, n_chains, n_warmup, n_deep, n_elite, step_size, H_piH, seed):
    """The same three phases with NumPy; chains advance together in the warm-up."""
    n, k = X.shape
    dev = np.abs(y - np.median(y))
    m = np.median(dev)
    eps = 0.4 * m if m > 0 else 0.4
    model = (k * np.log(2.0 * H_piH) / n) * k

    def energies(B):  # B: k x chains
        hits = np.count_nonzero(np.abs(X @ B - y[:, None]) < eps, axis=0)
        sr = np.maximum(hits / n, 1 / (2 * n))
        return -n * np.log(sr) + model + gamma2 * np.einsum("ic,ij,jc->c", B, R2, B)

    def energy(b):
        hits = np.count_nonzero(np.abs(X @ b - y) < eps)
        return -n * np.log(max(hits / n, 1 / (2 * n))) + model + gamma2 * (b @ R2 @ b)

    rng = np.random.default_rng(seed)
    B = rng.normal(0.0, 0.5, size=(k, n_chains))
    E = energies(B)
    T = 2.0
    for _ in range(n_warmup):
        Bc = B + rng.normal(0.0, step_size, size=B.shape)
        Ec = energies(Bc)
        u = rng.random(n_chains)
        with np.errstate(invalid="ignore", over="ignore"):
            acc = (Ec < E) | (u < np.exp(np.minimum((E - Ec) / T, 0.0)))
        B[:, acc], E[acc] = Bc[:, acc], Ec[acc]
        T *= 0.995

    w = np.exp(-(E - E.min()))
    p = w / w.sum()
    He = -(p * np.log(p + 1e-300)).sum() / np.log(max(n_chains, 2))
    order = np.argsort(E, kind="stable")
    elite = [order[0]]
    for c in order[1:]:
        if len(elite) >= n_elite:
            break
        if all(np.linalg.norm(B[:, c] - B[:, e]) > 0.1 for e in elite):
            elite.append(c)
    elite += list(order[len(elite) : len(elite) + max(n_elite - len(elite), 0)])

    best_b, best_e = B[:, elite[0]].copy(), E[elite[0]]
    T = 0.5 * (0.01 + 0.99 * He)
    for c in elite:
        b, e = B[:, c].copy(), E[c]
        steps = rng.normal(0.0, 0.3 * step_size, size=(n_deep, k))
        for s in range(n_deep):
            bc = b + steps[s]
            ec = energy(bc)
            if ec < e or rng.random() < np.exp(min((e - ec) / T, 0.0)):
                b, e = bc, ec
            if e < best_e:
                best_b, best_e = b.copy(), e
            T *= 0.9997
    return best_b, best_e


def measure():
    """Run in a subprocess whose thread counts the caller sets; prints JSON timings."""
    X, y, R2 = problem()
    full = kvro_core.TournamentMCMC(**DEFAULTS)
    warm = kvro_core.TournamentMCMC(**dict(DEFAULTS, n_deep=0))
    A = np.random.default_rng(0).random((1000, 1000))
    print(
        json.dumps(
            {
                "fit": best_time(lambda: full.fit(X, y, None, R2, 0.0, GAMMA2), 5),
                "warmup": best_time(lambda: warm.fit(X, y, None, R2, 0.0, GAMMA2), 7),
                "matmul": best_time(lambda: A @ A, 5),
            }
        )
    )


def measure_in_subprocess(threads):
    env = dict(
        os.environ,
        OMP_NUM_THREADS=str(threads),
        OPENBLAS_NUM_THREADS=str(threads),
        MKL_NUM_THREADS=str(threads),
    )
    out = subprocess.run(
        [sys.executable, __file__], env=env, capture_output=True, text=True, check=True
    ).stdout
    return json.loads(out)


def cases() -> list[Case]:
    X, y, R2 = problem()
    n, k = X.shape
    sampler = kvro_core.TournamentMCMC(**DEFAULTS)

    one, two = measure_in_subprocess(1), measure_in_subprocess(2)
    c = DEFAULTS
    evals = c["n_chains"] * (c["n_warmup"] + 1) + c["n_elite"] * c["n_deep"]
    rate = evals / one["fit"]
    flops = rate * 2 * n * k
    peak = 2e9 / one["matmul"]
    speedup = one["warmup"] / two["warmup"]
    return [
        Case(
            "TournamentMCMC.fit, defaults, deg 7, n = 2000, R2",
            lambda: sampler.fit(X, y, None, R2, 0.0, GAMMA2),
            lambda: numpy_fit(X, y, R2, GAMMA2, **c),
            note="target >= 10x",
            repeat=2,
        ),
        Case(
            "  same, 1 thread: energy evaluations",
            None,
            kvro_s=one["fit"],
            note=(
                f"1 thread: {evals} evals in {one['fit'] * 1e3:.1f} ms = {rate / 1e6:.2f} M/s; "
                f"X*b {flops / 1e9:.1f} GFLOP/s = {100 * flops / peak:.0f}% of practical peak "
                f"({peak / 1e9:.1f} GFLOP/s, NumPy 1000^3 matmul, 1 thread); target >= 30%"
            ),
        ),
        Case(
            "  warm-up only (n_deep = 0), 1 -> 2 threads",
            None,
            kvro_s=two["warmup"],
            note=(
                f"{one['warmup'] * 1e3:.2f} ms -> {two['warmup'] * 1e3:.2f} ms: "
                f"speed-up {speedup:.2f}x; target >= 1.8x"
            ),
        ),
    ]


if __name__ == "__main__":
    measure()
