"""Monomial bases and smoothness penalties, checked against sums written out here."""

import itertools

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from kvro import kvro_core as kc


def deriv(x, p, order):
    """order-th derivative (0, 1, 2) of x**p, element-wise."""
    x = np.asarray(x, dtype=float)
    coef = [1, p, p * (p - 1)][order]
    if p < order:
        return np.zeros_like(x)
    return coef * x ** (p - order)


def direct_penalties(degrees, bounds, n):
    """R1, R2 as the dV-weighted sum over the full n^D grid of squared gradients/Hessians."""
    D = len(degrees)
    mi = list(itertools.product(*[range(d + 1) for d in degrees]))
    axes = [np.linspace(lo, hi, n) for lo, hi in bounds]
    dV = np.prod([(hi - lo) / (n - 1) for lo, hi in bounds])
    pts = [g.ravel() for g in np.meshgrid(*axes, indexing="ij")]

    def work(orders):
        return np.column_stack(
            [np.prod([deriv(pts[d], a[d], orders[d]) for d in range(D)], axis=0) for a in mi]
        )

    R1 = sum(dV * (W.T @ W) for W in (work([int(d == i) for d in range(D)]) for i in range(D)))
    R2 = sum(
        dV * (W.T @ W)
        for W in (
            work([int(d == i) + int(d == j) for d in range(D)]) for i in range(D) for j in range(D)
        )
    )
    return R1, R2, [list(a) for a in mi]


def close(a, b, rtol=1e-11):
    assert_allclose(a, b, rtol=rtol, atol=rtol * max(np.abs(b).max(initial=0.0), 1.0))


# ---------------------------------------------------------------- design_matrix_1d


@pytest.mark.parametrize(
    "deg, x, expected",
    [
        (3, [2.0], [[1, 2, 4, 8]]),
        (0, [0.0, -3.0, 5.0], [[1], [1], [1]]),
        (2, [0.0, -1.5], [[1, 0, 0], [1, -1.5, 2.25]]),
    ],
)
def test_design_matrix_1d_examples(deg, x, expected):
    assert_array_equal(kc.design_matrix_1d(deg, x), expected)


def test_design_matrix_1d_is_repeated_product():
    x = np.random.default_rng(1).normal(size=257) * 3
    V = kc.design_matrix_1d(7, x)
    expected = np.cumprod(np.column_stack([np.ones_like(x)] + [x] * 7), axis=1)
    assert_array_equal(V, expected)
    assert V.flags.f_contiguous and V.flags.writeable


def test_design_matrix_1d_empty_and_negative_degree():
    assert kc.design_matrix_1d(2, []).shape == (0, 3)
    with pytest.raises(ValueError, match=r"^deg < 0$"):
        kc.design_matrix_1d(-1, [1.0, 2.0])


# ---------------------------------------------------- smoothness_penalty_matrices_1d


@pytest.mark.parametrize(
    "args, R1, R2",
    [
        (
            (2, 0.0, 1.0, 3),
            [[0, 0, 0], [0, 1.5, 1.5], [0, 1.5, 2.5]],
            [[0, 0, 0], [0, 0, 0], [0, 0, 6]],
        ),
        ((1, 0.0, 1.0, 2), [[0, 0], [0, 2]], [[0, 0], [0, 0]]),
        ((0, -4.0, 9.0), [[0]], [[0]]),
    ],
)
def test_penalties_1d_examples(args, R1, R2):
    r1, r2 = kc.smoothness_penalty_matrices_1d(*args)
    assert_allclose(r1, R1, rtol=1e-14, atol=1e-14)
    assert_allclose(r2, R2, rtol=1e-14, atol=1e-14)


@pytest.mark.parametrize("seed", range(4))
def test_penalties_1d_quadratic_forms_are_grid_sums(seed):
    rng = np.random.default_rng(seed)
    deg, n = int(rng.integers(2, 7)), int(rng.integers(2, 40))
    lo, hi = sorted(rng.uniform(-2, 2, 2))
    R1, R2 = kc.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    beta = rng.normal(size=deg + 1)
    xg = lo + np.arange(n) * ((hi - lo) / (n - 1))
    f1 = sum(beta[p] * deriv(xg, p, 1) for p in range(deg + 1))
    f2 = sum(beta[p] * deriv(xg, p, 2) for p in range(deg + 1))
    dx = (hi - lo) / (n - 1)
    assert_allclose(beta @ R1 @ beta, dx * np.sum(f1**2), rtol=1e-11)
    assert_allclose(beta @ R2 @ beta, dx * np.sum(f2**2), rtol=1e-11)
    assert_array_equal(R1, R1.T)
    assert_array_equal(R2, R2.T)
    assert not R1[0].any() and not R2[:2].any()
    # Reversed interval: the same grid walked backwards with a negative step.
    S1, S2 = kc.smoothness_penalty_matrices_1d(deg, hi, lo, n)
    close(S1, -R1, 1e-10)
    close(S2, -R2, 1e-10)


@pytest.mark.parametrize(
    "deg, n_grid, message", [(-1, 600, "deg < 0"), (2, 1, "n_grid < 2"), (-1, 1, "deg < 0")]
)
def test_penalties_1d_checks_in_order(deg, n_grid, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        kc.smoothness_penalty_matrices_1d(deg, 0.0, 1.0, n_grid)


# ------------------------------------------------------------- boundary_reduce_1d


@pytest.mark.parametrize(
    "args, expected",
    [
        ((2, 0.0, 1.0), [[0, 0, 0], [0, 0, 0], [0, 0, 4]]),
        ((3, 0.0, 1.0), [[0, 0, 0, 0], [0, 0, 0, 3], [0, 0, 4, 9], [0, 3, 9, 18]]),
        ((3, 1.0, 0.0), [[0, 0, 0, 0], [0, 0, 0, -3], [0, 0, -4, -9], [0, -3, -9, -18]]),
        ((1, -2.0, 5.0), np.zeros((2, 2))),
        ((2, 1.0, 1.0), np.zeros((3, 3))),
    ],
)
def test_boundary_examples(args, expected):
    assert_allclose(kc.boundary_reduce_1d(*args), expected, rtol=1e-14, atol=1e-14)


@pytest.mark.parametrize("seed", range(3))
def test_boundary_quadratic_form_is_boundary_term(seed):
    rng = np.random.default_rng(seed)
    deg = int(rng.integers(2, 7))
    a, b = rng.uniform(-2, 2, 2)
    Rb = kc.boundary_reduce_1d(deg, a, b)
    beta = rng.normal(size=deg + 1)

    def f(x, order):
        return sum(beta[p] * deriv(x, p, order) for p in range(deg + 1))

    expected = f(b, 1) * f(b, 2) - f(a, 1) * f(a, 2)
    assert_allclose(beta @ Rb @ beta, expected, rtol=1e-10, atol=1e-12)
    assert_array_equal(Rb, Rb.T)


def test_boundary_degenerate_degrees():
    assert kc.boundary_reduce_1d(-1, 0.0, 1.0).shape == (0, 0)
    for deg in (-2, -7):
        with pytest.raises(MemoryError):
            kc.boundary_reduce_1d(deg, 0.0, 1.0)


# --------------------------------------------------------------- design_matrix_nd


@pytest.mark.parametrize(
    "mi, cols, expected",
    [
        ([[0, 0], [1, 0], [0, 1], [1, 1]], [[1, 2], [3, 4]], [[1, 1, 3, 3], [1, 2, 4, 8]]),
        ([[2]], [[-3]], [[9]]),
        ([[3]], [[0]], [[0]]),
        ([[0]], [[0]], [[1]]),
        ([[0, 5]], [[7]], [[1]]),
        ([[-2]], [[7]], [[1]]),
    ],
)
def test_design_matrix_nd_examples(mi, cols, expected):
    assert_array_equal(kc.design_matrix_nd(mi, cols), expected)


def test_design_matrix_nd_products_of_powers():
    rng = np.random.default_rng(5)
    cols = [rng.uniform(-2, 2, 50) for _ in range(3)]
    mi = [list(a) for a in itertools.product(range(3), range(2), range(4))]
    expected = np.column_stack([cols[0] ** a * cols[1] ** b * cols[2] ** c for a, b, c in mi])
    assert_allclose(kc.design_matrix_nd(mi, cols), expected, rtol=1e-14)
    assert kc.design_matrix_nd([], [[1.0, 2.0, 3.0]]).shape == (3, 0)


@pytest.mark.parametrize(
    "mi, cols, match",
    [
        ([[1]], [], "X_cols is empty"),
        ([[1, 1]], [[1.0, 2.0], [3.0]], r"X_cols\[1\] has 1 values"),
        ([[1, 1], [2]], [[1.0], [2.0]], r"multi_indices\[1\] has 1 entries"),
    ],
)
def test_design_matrix_nd_rejects_broken_contract(mi, cols, match):
    with pytest.raises(ValueError, match=match):
        kc.design_matrix_nd(mi, cols)


# ------------------------------------------------------ build_penalty_matrices_nd


@pytest.mark.parametrize("D, seed", [(1, 0), (1, 1), (2, 2), (2, 3), (2, 4), (3, 5), (3, 6)])
def test_penalties_nd_match_direct_grid_sum(D, seed):
    rng = np.random.default_rng(seed)
    degrees = [int(d) for d in rng.integers(0, 4, D)]
    bounds = [tuple(rng.uniform(-2, 2, 2)) for _ in range(D)]  # some axes reversed
    n = int(rng.integers(2, 7))
    R1, R2, mi = kc.build_penalty_matrices_nd(degrees, bounds, n)
    E1, E2, emi = direct_penalties(degrees, bounds, n)
    assert mi == emi
    close(R1, E1, 1e-10)
    close(R2, E2, 1e-10)
    assert_array_equal(R1, R1.T)
    assert_array_equal(R2, R2.T)


def test_penalties_nd_one_axis_equals_1d_builder():
    R1, R2, mi = kc.build_penalty_matrices_nd([3], [(-1, 2)], 5)
    S1, S2 = kc.smoothness_penalty_matrices_1d(3, -1, 2, 5)
    close(R1, S1)
    close(R2, S2)
    assert mi == [[0], [1], [2], [3]]


def test_penalties_nd_reversed_axis_flips_sign_once_per_axis():
    degrees, n = [2, 3], 4
    base = kc.build_penalty_matrices_nd(degrees, [(0, 1), (-1, 2)], n)
    one = kc.build_penalty_matrices_nd(degrees, [(1, 0), (-1, 2)], n)
    both = kc.build_penalty_matrices_nd(degrees, [(1, 0), (2, -1)], n)
    for k in (0, 1):
        close(one[k], -base[k], 1e-10)
        close(both[k], base[k], 1e-10)


def test_penalties_nd_degenerate_cases():
    assert_array_equal(kc.build_penalty_matrices_nd([], [])[0], [[0]])
    assert kc.build_penalty_matrices_nd([], [])[2] == [[]]
    R1, R2, mi = kc.build_penalty_matrices_nd([2, -1], [(0, 1), (0, 1)])
    assert R1.shape == R2.shape == (0, 0) and mi == []
    R1, R2, _ = kc.build_penalty_matrices_nd([2], [(0.0, 1.0)], 0)
    assert_array_equal(R1, np.zeros((3, 3)))
    assert_array_equal(R2, np.zeros((3, 3)))
    R1, R2, _ = kc.build_penalty_matrices_nd([2], [(0.0, 1.0)], 1)
    assert not np.isfinite(R1).all() and not np.isfinite(R2).all()
    # A degree below -1 has no derivative table on a non-empty grid; an empty grid needs none.
    with pytest.raises(MemoryError):
        kc.build_penalty_matrices_nd([2, -2], [(0, 1), (0, 1)], 3)
    assert kc.build_penalty_matrices_nd([2, -2], [(0, 1), (0, 1)], 0)[2] == []


@pytest.mark.parametrize(
    "degrees, bounds, n, exc, match",
    [
        ([2], [(0, 1), (0, 1)], 30, ValueError, r"^Dimension mismatch\.$"),
        ([-2], [], 30, ValueError, r"^Dimension mismatch\.$"),
        ([2], [(0, 1)], -1, ValueError, "n_grid_per_dim"),
        ([2**31 - 1, 2], [(0, 1), (0, 1)], 2, MemoryError, None),
    ],
)
def test_penalties_nd_bad_input(degrees, bounds, n, exc, match):
    with pytest.raises(exc, match=match):
        kc.build_penalty_matrices_nd(degrees, bounds, n)


@pytest.mark.parametrize(
    "short, full",
    [
        (
            lambda: kc.smoothness_penalty_matrices_1d(3, -1.0, 2.0),
            lambda: kc.smoothness_penalty_matrices_1d(3, -1.0, 2.0, 600),
        ),
        (
            lambda: kc.build_penalty_matrices_nd([2, 1], [(0, 1), (-1, 1)]),
            lambda: kc.build_penalty_matrices_nd([2, 1], [(0, 1), (-1, 1)], 30),
        ),
    ],
)
def test_default_grid_sizes(short, full):
    for a, b in zip(short()[:2], full()[:2], strict=True):
        assert_array_equal(a, b)
