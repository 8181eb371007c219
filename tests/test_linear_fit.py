import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from kvro import kvro_core as kc

RTOL = 1e-13  # a few units in the last place for these small, well-conditioned examples


@pytest.mark.parametrize(
    "X, y, expected",
    [
        ([[2, 0], [0, 4]], [2, 8], [1, 2]),
        ([[1], [1], [1]], [1, 2, 3], [2]),
        ([[1, 1], [1, 1]], [2, 2], [1, 1]),  # minimum norm among exact fits
        ([[1, 1]], [2], [1, 1]),  # under-determined
        (np.diag([1, 1e-17]), [1, 1], [1, 0]),  # below 2 * 2^-52: dropped
        (np.diag([1, 1e-15]), [1, 1], [1, 1e15]),  # above the cut-off: kept
    ],
)
def test_ols_examples(X, y, expected):
    assert_allclose(kc.ols(X, y), expected, rtol=RTOL, atol=0)


@pytest.mark.parametrize("shape", [(3, 2), (1, 4), (5, 1), (0, 3), (3, 0), (0, 0)])
def test_ols_rank_zero_gives_zero_vector(shape):
    beta = kc.ols(np.zeros(shape), np.ones(shape[0]))
    assert_array_equal(beta, np.zeros(shape[1]))


@pytest.mark.parametrize("shape, rank", [((200, 7), 7), ((6, 15), 6), ((40, 9), 4), ((9, 30), 3)])
def test_ols_matches_numpy_minimum_norm(shape, rank):
    rng = np.random.default_rng(sum(shape) + rank)
    m, p = shape
    X = rng.normal(size=(m, rank)) @ rng.normal(size=(rank, p))
    y = rng.normal(size=m)
    # The dependent directions have singular values near 1e-15 relative, far below 1e-10.
    expected = np.linalg.lstsq(X, y, rcond=1e-10)[0]
    assert_allclose(kc.ols(X, y), expected, rtol=1e-9, atol=1e-11)


@pytest.mark.parametrize(
    "X, y",
    [
        (np.eye(2), [1.0, 2.0, 3.0]),
        (np.eye(2), [1.0]),
        (np.zeros((0, 2)), [1.0]),
        (np.array([[1.0, np.nan], [0, 1]]), [1.0, 1.0]),
        (np.array([[1.0, 0], [0, -np.inf]]), [1.0, 1.0]),
        (np.eye(2), [np.inf, 1.0]),
        (np.eye(2), [1.0, np.nan]),
    ],
)
def test_ols_rejects_bad_input(X, y):
    with pytest.raises(ValueError):
        kc.ols(X, y)


I2 = np.eye(2)


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((I2, [1, 2]), {}, [1 / (1 + 1e-10), 2 / (1 + 1e-10)]),
        (([[1], [1]], [1, 1]), dict(R1=[[1]], gamma1=1, ridge=0), [0.5]),  # A = 2 + 2*1*1
        (([[1], [1]], [1, 1]), dict(R2=[[1]], gamma2=1, ridge=0), [0.5]),
        (([[1], [1]], [1, 1]), dict(ridge=1), [2 / 3]),  # ridge is not scaled by n
        ((I2, [1, 1]), dict(R1=[[0, 5], [0, 0]], gamma1=1, ridge=0), [1, 1]),
        ((I2, [1, 1]), dict(R1=[[0, 0], [5, 0]], gamma1=1, ridge=0), [1 / 11, 1 / 11]),
        (([[1, 1]], [1]), dict(ridge=0), [1, 0]),  # zero second pivot, not minimum norm
        ((I2, [1, 1]), dict(R1=np.ones((3, 5)), R2=np.ones(7), ridge=0), [1, 1]),  # weights 0
        ((I2, [1, 1]), dict(gamma1=np.nan, gamma2=3.0, ridge=0), [1, 1]),  # weights, no matrix
        ((I2, [1, 3]), dict(ridge=-0.5), [2, 6]),
        ((np.zeros((0, 3)), []), dict(R1=np.ones((3, 3)), gamma1=2.0), [0, 0, 0]),
        ((np.zeros((3, 0)), [1, 2, 3]), dict(R1=np.ones((0, 0)), gamma1=1.0), []),
    ],
)
def test_fit_regularized_linear_examples(args, kwargs, expected):
    beta = kc.fit_regularized_linear(*args, **kwargs)
    assert beta.shape == (len(expected),)
    assert_allclose(beta, expected, rtol=RTOL, atol=0)


@pytest.mark.parametrize("symmetric", [True, False])
def test_fit_regularized_linear_matches_direct_solve(symmetric):
    rng = np.random.default_rng(7 + symmetric)
    m, p = 300, 12
    Phi, y = rng.normal(size=(m, p)), rng.normal(size=m)
    G1, G2 = rng.normal(size=(p, p)), rng.normal(size=(p, p))
    R1, R2 = (G1 @ G1.T, G2 @ G2.T) if symmetric else (G1, G2)
    g1, g2, ridge = 0.03, 0.007, 0.5
    A = Phi.T @ Phi + ridge * np.eye(p) + m * g1 * R1 + m * g2 * R2
    # The factorisation reads the lower triangle only and mirrors it.
    A = np.tril(A) + np.tril(A, -1).T
    expected = np.linalg.solve(A, Phi.T @ y)
    beta = kc.fit_regularized_linear(Phi, y, R1, R2, g1, g2, ridge)
    assert_allclose(beta, expected, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(y=[1.0, 1.0, 1.0]),
        dict(R1=np.ones((2, 3)), gamma1=1.0),
        dict(R1=np.ones((3, 3)), gamma1=np.nan),
        dict(R1=[], gamma1=1.0),  # an empty array is present, not absent
        dict(R2=np.ones(2), gamma2=-1.0),
    ],
)
def test_fit_regularized_linear_rejects_mismatched_sizes(kwargs):
    kwargs = {"Phi": I2, "y": [1.0, 1.0], **kwargs}
    with pytest.raises(ValueError):
        kc.fit_regularized_linear(**kwargs)


def test_unconvertible_R1_raises_before_R2_is_read():
    seen = []

    class Spy:
        def __array__(self, dtype=None, copy=None):
            seen.append(True)
            return np.eye(2)

    with pytest.raises(RuntimeError, match="str"):
        kc.fit_regularized_linear(I2, [1.0, 1.0], R1="not a matrix", R2=Spy())
    assert seen == []
    with pytest.raises(RuntimeError):
        kc.fit_regularized_linear(I2, [1.0, 1.0], R1=np.ones((2, 2, 2)))
    # Converted even with a zero weight: only None leaves a penalty out.
    with pytest.raises(RuntimeError):
        kc.fit_regularized_linear(I2, [1.0, 1.0], R2="not a matrix")
