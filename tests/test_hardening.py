"""Nothing a caller passes may crash the interpreter, hang or corrupt memory.

Random arguments of every kind reach every function in a child process; each call
must return a result of the right kind and shape or raise an ordinary Python error.
"""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from sandbox import Crash, Sandbox

from kvro import kvro_core

EXAMPLES = 150
ALLOWED = {"TypeError", "ValueError", "MemoryError", "RuntimeError"}

fuzz = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@pytest.fixture(scope="module")
def box():
    sandbox = Sandbox()
    yield sandbox
    sandbox.close()


dtypes = st.sampled_from(["f8", "f4", "i8", "i4", "u1", "?", "c16", "O"])
floats = st.floats(allow_nan=True, allow_infinity=True, width=64)


@st.composite
def arrays(draw, dims=(1, 2), max_side=8):
    """Array-likes of any dtype and layout: C, Fortran, strided, or a nested list."""
    ndim = draw(st.sampled_from(dims))
    shape = tuple(draw(st.integers(0, max_side)) for _ in range(ndim))
    dtype = np.dtype(draw(dtypes))
    if dtype.kind == "O":
        a = draw(hnp.arrays("f8", shape)).astype(object)
    else:
        a = draw(hnp.arrays(dtype, shape))
    layout = draw(st.sampled_from(["C", "F", "strided", "list"]))
    if layout == "F":
        return np.asfortranarray(a)
    if layout == "strided" and a.size:
        return np.repeat(a, 2, axis=0)[::2]
    if layout == "list":
        return a.tolist()
    return a


vectors = arrays(dims=(1, 1, 2))
matrices = arrays(dims=(2, 2, 1))
ints = st.one_of(
    st.integers(-3, 12),
    st.sampled_from([2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**64, 3.0, "2", None]),
)
# Degrees and grid sizes stay small enough that a valid call allocates little; the huge
# values are those that no call can accept.
small_ints = st.one_of(
    st.integers(-3, 9), st.sampled_from([-(2**31), 2**31, -(2**31) - 1, 2.0, "3", None])
)
doubles = st.one_of(floats, st.sampled_from([0, 1, True, "x", None, 1j]))
anything = st.one_of(vectors, matrices, st.none(), st.just("R"), st.just([[1.0], [1.0, 2.0]]))


def expect(outcome, kind, shape=None):
    if outcome[0] == "raise":
        assert outcome[1] in ALLOWED, outcome
        return
    summary = outcome[1]
    assert summary[0] == kind, outcome
    if shape is not None:
        assert summary[1] == shape, outcome
    if kind == "array":
        assert summary[2] == "<f8", outcome


def columns(a):
    shape = np.shape(a)
    return shape[1] if len(shape) == 2 else 1


@fuzz
@given(vectors)
def test_mad(box, y):
    expect(box.call(kvro_core.mad, y), "float")


@fuzz
@given(vectors, vectors, doubles)
def test_compute_sr(box, yp, yt, eps):
    expect(box.call(kvro_core.compute_sr, yp, yt, eps), "float")


@fuzz
@given(vectors, vectors, ints, ints)
def test_mdl_score(box, yp, yt, k, H):
    expect(box.call(kvro_core.mdl_score, yp, yt, k, H), "float")


@fuzz
@given(vectors, vectors, ints, ints, vectors, matrices, matrices, doubles, doubles)
def test_mdl_score_reg(box, yp, yt, k, H, beta, R1, R2, g1, g2):
    expect(box.call(kvro_core.mdl_score_reg, yp, yt, k, H, beta, R1, R2, g1, g2), "float")


@fuzz
@given(small_ints, vectors)
def test_design_matrix_1d(box, deg, x):
    outcome = box.call(kvro_core.design_matrix_1d, deg, x)
    expect(outcome, "array", (np.shape(x)[0], deg + 1) if outcome[0] == "ok" else None)


@fuzz
@given(st.one_of(small_ints, st.just(2**31 - 1)), doubles, doubles, small_ints)
def test_smoothness_penalty_matrices_1d(box, deg, lo, hi, n_grid):
    outcome = box.call(kvro_core.smoothness_penalty_matrices_1d, deg, lo, hi, n_grid)
    if outcome[0] == "ok":
        assert outcome[1] == ("tuple", [("array", (deg + 1, deg + 1), "<f8", True)] * 2)
    expect(outcome, "tuple")


@fuzz
@given(st.one_of(small_ints, st.just(2**31 - 1)), doubles, doubles)
def test_boundary_reduce_1d(box, deg, lo, hi):
    outcome = box.call(kvro_core.boundary_reduce_1d, deg, lo, hi)
    expect(outcome, "array", (deg + 1, deg + 1) if outcome[0] == "ok" else None)


multi_indices = st.one_of(
    st.lists(st.lists(st.integers(-3, 6), max_size=4), max_size=6),
    st.just([[1, 2], "ab"]),
    st.just([[2**31]]),
)


@fuzz
@given(multi_indices, st.lists(vectors, max_size=4))
def test_design_matrix_nd(box, mi, X_cols):
    outcome = box.call(kvro_core.design_matrix_nd, mi, X_cols)
    expect(outcome, "array", (np.shape(X_cols[0])[0], len(mi)) if outcome[0] == "ok" else None)


degree_lists = st.lists(st.one_of(st.integers(-3, 4), st.just(2**31 - 1)), max_size=3)
bound_lists = st.lists(
    st.one_of(st.tuples(floats, floats), st.just((1.0,)), st.just("ab")), max_size=3
)


@fuzz
@given(degree_lists, bound_lists, small_ints)
def test_build_penalty_matrices_nd(box, degrees, bounds, n):
    outcome = box.call(kvro_core.build_penalty_matrices_nd, degrees, bounds, n)
    if outcome[0] == "ok":
        R1, R2, mi = outcome[1][1]
        M = int(np.prod([d + 1 for d in degrees])) if min(degrees, default=0) >= 0 else 0
        assert R1 == R2 == ("array", (M, M), "<f8", True)
        assert mi == ("list", [("list", [("int",)] * len(degrees))] * M)
    expect(outcome, "tuple")


@fuzz
@given(matrices, vectors)
def test_ols(box, X, y):
    outcome = box.call(kvro_core.ols, X, y)
    expect(outcome, "array", (columns(X),) if outcome[0] == "ok" else None)


@fuzz
@given(matrices, vectors, anything, anything, doubles, doubles, doubles)
def test_fit_regularized_linear(box, Phi, y, R1, R2, g1, g2, ridge):
    outcome = box.call(kvro_core.fit_regularized_linear, Phi, y, R1, R2, g1, g2, ridge)
    expect(outcome, "array", (columns(Phi),) if outcome[0] == "ok" else None)


@fuzz
@given(vectors, doubles)
def test_gibbs_entropy(box, energies, T):
    expect(box.call(kvro_core.gibbs_entropy, energies, T), "GibbsResult")


def small_fit(*args):
    return kvro_core.TournamentMCMC(3, 4, 4, 2).fit(*args)


@fuzz
@given(matrices, vectors, anything, anything, doubles, doubles)
def test_tournament_fit(box, X, y, R1, R2, g1, g2):
    expect(box.call(small_fit, X, y, R1, R2, g1, g2), "MCMCResult")


config_ints = st.one_of(st.integers(-3, 6), st.sampled_from([-(2**31), 2**31, 2.5, None]))
seeds = st.one_of(st.integers(0, 2**64 - 1), st.sampled_from([-1, 2**64, 1.5, "1"]))
X_small = np.random.default_rng(1).normal(size=(6, 2))


def configured_fit(*config):
    return kvro_core.TournamentMCMC(*config).fit(X_small, X_small @ [1.0, -1.0])


@fuzz
@given(config_ints, config_ints, config_ints, config_ints, doubles, small_ints, seeds)
def test_tournament_configuration(box, n_chains, n_warmup, n_deep, n_elite, step, H, seed):
    outcome = box.call(configured_fit, n_chains, n_warmup, n_deep, n_elite, step, H, seed)
    expect(outcome, "MCMCResult")
    if outcome[0] == "ok":
        assert outcome[1][1]["beta_mcmc"] == ("array", (2,), "<f8", False)


def test_sandbox_reports_a_crash(box):
    import os

    with pytest.raises(Crash, match="killed"):
        box.call(os.abort)
    assert box.call(kvro_core.mad, [1.0, 2.0]) == ("ok", ("float",))
