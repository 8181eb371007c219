"""Bases and penalties: the 1-D design matrix against polyvander, and the N-D penalty
builder against the direct construction over the whole grid."""

import itertools

import numpy as np
from run import Case

from kvro import kvro_core


def direct_penalties_nd(degrees, bounds, n):
    """R1, R2 from one G-by-M work matrix per derivative pattern, G = n^D grid points."""
    D = len(degrees)
    axes = [np.linspace(lo, hi, n) for lo, hi in bounds]
    dV = np.prod([(hi - lo) / (n - 1) for lo, hi in bounds])
    # tabs[d][o][k, p]: o-th derivative of x^p at point k of axis d.
    tabs = []
    for d in range(D):
        p = np.arange(degrees[d] + 1)
        x = axes[d][:, None]
        t0 = x**p
        t1 = np.where(p >= 1, p * x ** np.maximum(p - 1, 0), 0.0)
        t2 = np.where(p >= 2, p * (p - 1) * x ** np.maximum(p - 2, 0), 0.0)
        tabs.append((t0, t1, t2))
    letters = "abcdefgh"[:D]
    subscripts = ",".join(f"{k}{a}" for k, a in zip(letters.upper(), letters, strict=True))
    subscripts += "->" + letters.upper() + letters

    def gram(orders):
        W = np.einsum(subscripts, *[tabs[d][orders[d]] for d in range(D)]).reshape(n**D, -1)
        return dV * (W.T @ W)

    R1 = sum(gram([int(d == i) for d in range(D)]) for i in range(D))
    R2 = sum(
        gram([int(d == i) + int(d == j) for d in range(D)])
        for i, j in itertools.product(range(D), repeat=2)
    )
    return R1, R2


def cases() -> list[Case]:
    x = np.random.default_rng(0).uniform(-1.0, 1.0, 1_000_000)
    v = kvro_core.design_matrix_1d(8, x)
    pv = np.polynomial.polynomial.polyvander(x, 8)
    vander_note = f"max abs diff {np.max(np.abs(v - pv)):.1e}"

    degrees, bounds = [3, 3, 3], [(-1.0, 1.0), (0.0, 2.0), (-0.5, 1.5)]
    R1, R2, _ = kvro_core.build_penalty_matrices_nd(degrees, bounds, 30)
    E1, E2 = direct_penalties_nd(degrees, bounds, 30)
    rel = max(
        np.max(np.abs(R1 - E1)) / np.max(np.abs(E1)), np.max(np.abs(R2 - E2)) / np.max(np.abs(E2))
    )
    M5 = 3**5
    big_note = (
        f"M = {M5}; the direct route needs a {30**5:,} x {M5} work matrix "
        f"({30**5 * M5 * 8 / 2**30:.0f} GiB)"
    )

    return [
        Case(
            "design_matrix_1d, n = 1e6, deg = 8",
            lambda: kvro_core.design_matrix_1d(8, x),
            lambda: np.polynomial.polynomial.polyvander(x, 8),
            reference_name="polyvander",
            note=vander_note,
        ),
        Case(
            "build_penalty_matrices_nd [3,3,3], n = 30",
            lambda: kvro_core.build_penalty_matrices_nd(degrees, bounds, 30),
            lambda: direct_penalties_nd(degrees, bounds, 30),
            reference_name="direct grid",
            note=f"max relative diff {rel:.1e}",
            repeat=3,
        ),
        Case(
            "build_penalty_matrices_nd [2]*5, n = 30",
            lambda: kvro_core.build_penalty_matrices_nd([2] * 5, [(0.0, 1.0)] * 5, 30),
            note=big_note,
        ),
    ]
