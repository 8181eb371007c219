"""Bases and penalties: the design matrices against polyvander and NumPy powers, the
penalty builders against the direct construction over the whole grid, the boundary
matrix against NumPy outer products."""

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


def numpy_boundary(deg, lo, hi):
    p = np.arange(deg + 1.0)

    def rows(x):
        d1 = np.where(p >= 1, p * x ** np.maximum(p - 1, 0), 0.0)
        d2 = np.where(p >= 2, p * (p - 1) * x ** np.maximum(p - 2, 0), 0.0)
        return d1, d2

    (a1, a2), (b1, b2) = rows(lo), rows(hi)
    U = np.outer(b2, b1) - np.outer(a2, a1)
    return 0.5 * (U + U.T)


def numpy_design_nd(A, cols):
    """Column j is the product over d of cols[d] ** A[j, d]."""
    return np.prod([c[:, None] ** A[:, d] for d, c in enumerate(cols)], axis=0)


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

    R1_1, R2_1 = kvro_core.smoothness_penalty_matrices_1d(8, -1.0, 2.0, 600)
    E1_1, E2_1 = direct_penalties_nd([8], [(-1.0, 2.0)], 600)
    rel_1d = max(
        np.max(np.abs(R1_1 - E1_1)) / np.max(np.abs(E1_1)),
        np.max(np.abs(R2_1 - E2_1)) / np.max(np.abs(E2_1)),
    )
    Rb = kvro_core.boundary_reduce_1d(8, -1.0, 2.0)
    rel_b = np.max(np.abs(Rb - numpy_boundary(8, -1.0, 2.0))) / np.max(np.abs(Rb))

    mi = kvro_core.build_penalty_matrices_nd([4, 4], [(-1.0, 1.0)] * 2, 2)[2]
    cols = [x[:100_000], x[100_000:200_000]]
    A = np.array(mi)
    Vnd = kvro_core.design_matrix_nd(mi, cols)
    rel_nd = np.max(np.abs(Vnd - numpy_design_nd(A, cols)))

    return [
        Case(
            "smoothness_penalty_matrices_1d, deg = 8, n = 600",
            lambda: kvro_core.smoothness_penalty_matrices_1d(8, -1.0, 2.0, 600),
            lambda: direct_penalties_nd([8], [(-1.0, 2.0)], 600),
            reference_name="direct grid",
            note=f"max relative diff {rel_1d:.1e}",
            repeat=50,
        ),
        Case(
            "boundary_reduce_1d, deg = 8",
            lambda: kvro_core.boundary_reduce_1d(8, -1.0, 2.0),
            lambda: numpy_boundary(8, -1.0, 2.0),
            note=f"max relative diff {rel_b:.1e}",
            repeat=200,
        ),
        Case(
            "design_matrix_nd, 2 x deg 4, n = 1e5",
            lambda: kvro_core.design_matrix_nd(mi, cols),
            lambda: numpy_design_nd(A, cols),
            note=f"max abs diff {rel_nd:.1e}",
        ),
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
