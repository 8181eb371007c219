import os
import subprocess
import sys

import numpy as np
import pytest
import scipy.linalg
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


def tall(m, p, rank, seed):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(m, rank)) @ rng.normal(size=(rank, p))
    return X, X @ rng.normal(size=p) + rng.normal(size=m)


# Tall matrices take the QR-first route; 70000 rows of 3 columns span several row groups.
@pytest.mark.parametrize(
    "m, p, rank", [(6, 3, 3), (70_000, 3, 3), (5000, 40, 40), (3000, 30, 12), (20_000, 6, 1)]
)
def test_ols_tall_matches_lapack(m, p, rank):
    X, y = tall(m, p, rank, m + p + rank)
    # The dependent directions have singular values near 1e-15 relative, far below 1e-10.
    expected = scipy.linalg.lstsq(X, y, cond=1e-10, lapack_driver="gelsd")[0]
    scale = np.max(np.abs(expected))
    for layout in (np.asfortranarray(X), np.ascontiguousarray(X)):
        assert_allclose(kc.ols(layout, y), expected, rtol=0, atol=1e-9 * scale)


@pytest.mark.parametrize("sigma2, kept", [(5e-15, True), (1e-17, False)])
def test_ols_tall_keeps_the_rank_rule(sigma2, kept):
    # The cut-off is 2 * 2^-52 * sigma_1 = 4.4e-16 (columns, not rows, times epsilon):
    # 5e-15 stays although 400 * 2^-52 would drop it, 1e-17 goes.
    rng = np.random.default_rng(5)
    U = np.linalg.qr(rng.normal(size=(400, 2)))[0]
    V = np.array([[0.6, -0.8], [0.8, 0.6]])
    X = U @ np.diag([1.0, sigma2]) @ V.T
    beta = kc.ols(X, U[:, 0] + U[:, 1])
    if kept:
        assert_allclose(beta, V[:, 0] + V[:, 1] / sigma2, rtol=0.1)
    else:
        assert_allclose(beta, V[:, 0], rtol=1e-12)


@pytest.mark.parametrize("sx, sy", [(1e200, 1e200), (1e-200, 1e-200), (1e200, 1.0), (1e-300, 1e-8)])
def test_ols_tall_scales_without_overflow(sx, sy):
    # The squared norms of the reflectors would overflow or underflow unscaled.
    X, y = tall(50, 3, 3, 1)
    assert_allclose(kc.ols(X * sx, y * sy), kc.ols(X, y) * (sy / sx), rtol=1e-13)


def layouts(A):
    """A in every layout: read in place (C, F, row or column strides) or converted first
    (byte-swapped, misaligned, negative strides, nested lists)."""
    m, p = A.shape
    misaligned = np.frombuffer(b"\0" + np.asfortranarray(A).tobytes("F"), "f8", offset=1)
    return {
        "F": np.asfortranarray(A),
        "C": np.ascontiguousarray(A),
        "column stride": np.asfortranarray(np.repeat(A, 2, axis=1))[:, ::2],
        "row stride": np.repeat(A, 3, axis=0)[::3],
        "big-endian": A.astype(">f8"),
        "misaligned": misaligned.reshape((m, p), order="F"),
        "negative strides": np.ascontiguousarray(A[::-1, ::-1])[::-1, ::-1],
        "list": A.tolist(),
    }


@pytest.mark.parametrize("shape", [(300, 4), (3, 5), (1, 3), (4, 1)])
def test_linear_fits_read_every_layout(shape):
    rng = np.random.default_rng(shape[0])
    A, y, R = rng.normal(size=shape), rng.normal(size=shape[0]), np.eye(shape[1])
    beta = kc.ols(np.asfortranarray(A), y)
    pen = kc.fit_regularized_linear(np.asfortranarray(A), y, R, None, 0.1)
    for name, X in layouts(A).items():
        kept = np.array(X, copy=True)
        # One reflection sequence whatever the layout, so ols agrees to the bit.
        assert_array_equal(kc.ols(X, y), beta, err_msg=name)
        assert_allclose(kc.fit_regularized_linear(X, y, R, None, 0.1), pen, rtol=1e-12)
        assert_array_equal(np.asarray(X), kept)
    vectors = {
        "strided": np.repeat(y, 2)[::2],
        "negative stride": y[::-1].copy()[::-1],
        "big-endian": y.astype(">f8"),
        "misaligned": np.frombuffer(b"\0" + y.tobytes(), "f8", offset=1),
        "column": y[:, None],
        "list": y.tolist(),
    }
    for name, v in vectors.items():
        assert_array_equal(kc.ols(A, v), beta, err_msg=name)
        assert kc.mad(v) == kc.mad(y)


THREADS_SCRIPT = """
import numpy as np
from kvro import kvro_core as kc
rng = np.random.default_rng(1)
X = rng.normal(size=(100_000, 5))
y = rng.normal(size=100_000)
for A in (X, np.asfortranarray(X)):
    print(kc.ols(A, y).tobytes().hex(), kc.fit_regularized_linear(A, y).tobytes().hex())
"""


def test_linear_fits_do_not_depend_on_the_thread_count(tmp_path):
    # Many row groups shared out over the team; run away from the source tree.
    outs = {
        subprocess.run(
            [sys.executable, "-c", THREADS_SCRIPT],
            env=dict(os.environ, OMP_NUM_THREADS=threads),
            cwd=tmp_path,
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        for threads in ("1", "2", "3")
    }
    assert len(outs) == 1
