"""Robust statistics and the MDL score."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from kvro import kvro_core

finite = st.floats(-1e6, 1e6, allow_nan=False)


@pytest.mark.parametrize(
    "y, expected",
    [
        ([3, 1, 2], 1.0),  # median 2, deviations 1, 1, 0
        ([1, 2, 3, 4, 100], 1.0),
        ([0, 1, 2, 3], 1.0),  # even count: median 1.5, deviations 1.5, 0.5, 0.5, 1.5
        ([7.5] * 6, 0.0),
        ([], 0.0),
        ([-4.0], 0.0),
        ([2.0, -2.0], 2.0),
    ],
)
def test_mad_examples(y, expected):
    assert kvro_core.mad(y) == expected


@settings(deadline=None, max_examples=200)
@given(arrays(np.float64, st.integers(1, 60), elements=finite))
def test_mad_matches_numpy(y):
    expected = np.median(np.abs(y - np.median(y)))
    assert kvro_core.mad(y) == pytest.approx(expected, rel=1e-12, abs=1e-12)


@pytest.mark.parametrize(
    "yp, yt, eps, expected",
    [
        ([0, 0, 0, 0], [0, 0.5, 1, 2], 0.5, 0.25),  # a difference of exactly eps is no hit
        ([9, 9, 9, 9], [0, 1, 2, 3], 0.5, 0.125),  # no hit: floor 1/(2n)
        ([0, 1, 2, 3], [0, 1, 2, 3], 0.0, 0.125),  # eps 0 hits nothing
        ([0, 1, 2, 3], [0, 1, 2, 3], -1.0, 0.125),
        ([0, 1, 2, 3, 50, 60], [0, 1, 2, 3], 0.1, 1.0),  # extra predictions ignored
        ([math.nan, 1.0], [0.0, 1.0], 0.5, 0.5),  # NaN is never a hit
        ([0.0, 1.0], [0.0, 1.0], math.inf, 1.0),
    ],
)
def test_compute_sr_examples(yp, yt, eps, expected):
    assert kvro_core.compute_sr(yp, yt, eps) == expected


def test_compute_sr_of_empty_vectors_is_nan():
    assert math.isnan(kvro_core.compute_sr([], [], 0.5))
    assert math.isnan(kvro_core.compute_sr([1.0, 2.0], [], 0.5))


@settings(deadline=None, max_examples=200)
@given(
    arrays(np.float64, st.integers(1, 300), elements=finite),
    st.floats(0, 10),
    st.integers(0, 2**32 - 1),
)
def test_compute_sr_matches_numpy(yt, eps, seed):
    yp = yt + np.random.default_rng(seed).normal(scale=2.0, size=yt.size)
    n = yt.size
    expected = max(np.count_nonzero(np.abs(yp - yt) < eps) / n, 1 / (2 * n))
    assert kvro_core.compute_sr(yp, yt, eps) == expected


yt = [0.0, 1.0, 2.0, 3.0]  # mad 1.0, so the tolerance is 0.4
model = 2 * math.log(40) / 4 * 2  # k = 2, H = 20, n = 4


@pytest.mark.parametrize(
    "yp, k, H, expected",
    [
        (yt, 2, 20, model),
        ([0, 1, 2, 3.5], 2, 20, -4 * math.log(0.75) + model),
        ([10] * 4, 2, 20, 4 * math.log(8) + model),
        ([0, 1, 2, 3.39], 2, 20, model),  # 0.39 < 0.4: a hit
        ([0, 1, 2, 3.41], 2, 20, -4 * math.log(0.75) + model),
        (yt, 0, 20, 0.0),
        (yt, -3, 20, 0.0),
        (yt, 3, 5, 3 * math.log(10) / 4 * 3),
        (yt, 2, 0, -math.inf),
    ],
)
def test_mdl_score_examples(yp, k, H, expected):
    assert kvro_core.mdl_score(yp, yt, k, H) == pytest.approx(expected, rel=1e-14)


def test_mdl_score_default_H_and_degenerate_inputs():
    yp = [0, 1, 2, 3.5]
    assert kvro_core.mdl_score(yp, yt, 2) == kvro_core.mdl_score(yp, yt, 2, 20)
    assert math.isnan(kvro_core.mdl_score(yt, yt, 2, -1))
    assert math.isnan(kvro_core.mdl_score([], [], 2))
    # A constant target has mad 0 and falls back to the tolerance 0.4.
    const = [5.0, 5.0, 5.0, 5.0]
    assert kvro_core.mdl_score([5.3, 5.3, 5.5, 5.5], const, 0) == pytest.approx(-4 * math.log(0.5))


def test_mdl_score_reg_penalties():
    yp = [0, 1, 2, 3.5]
    base = kvro_core.mdl_score(yp, yt, 2, 7)
    beta = np.array([1.0, -2.0, 0.5])
    eye = np.eye(3)
    junk = np.full((3, 3), np.inf)
    sq = float(beta @ beta)

    def reg(R1, R2, g1=0.0, g2=0.0):
        return kvro_core.mdl_score_reg(yp, yt, 2, 7, beta, R1, R2, g1, g2)

    assert reg(junk, junk) == base
    assert reg(eye, junk, 1.0) == pytest.approx(base + sq)
    assert reg(eye, junk, 2.0) == pytest.approx(base + 2 * sq)
    assert reg(junk, eye, 0.0, 3.0) == pytest.approx(base + 3 * sq)
    R = np.array([[2.0, 1.0, 0.0], [0.0, 1.0, 0.0], [4.0, 0.0, 3.0]])
    assert reg(R, eye, 0.5, 1.0) == pytest.approx(base + 0.5 * beta @ R @ beta + sq)
    assert math.isnan(reg(eye, junk, math.nan))  # a NaN weight counts as active


def test_mdl_score_reg_zero_weight_never_reads_the_matrix():
    yp = [0, 1, 2, 3.5]
    base = kvro_core.mdl_score(yp, yt, 2, 20)
    wrong = np.ones((2, 5))
    assert kvro_core.mdl_score_reg(yp, yt, 2, 20, [1.0, 2.0, 3.0], wrong, wrong) == base
    empty = np.zeros((0, 0))
    assert kvro_core.mdl_score_reg(yp, yt, 2, 20, [], empty, empty, 1.0, 1.0) == base


@pytest.mark.parametrize(
    "call",
    [
        lambda: kvro_core.compute_sr([0.0, 1.0], yt, 0.5),
        lambda: kvro_core.compute_sr([], [1.0], 0.5),
        lambda: kvro_core.mdl_score([0.0], yt, 2),
        lambda: kvro_core.mdl_score_reg([0.0], yt, 2, 20, [1.0], [[1.0]], [[1.0]]),
    ],
)
def test_short_predictions_raise_value_error(call):
    with pytest.raises(ValueError, match="fewer"):
        call()


@pytest.mark.parametrize(
    "R1, R2, g1, g2, name",
    [
        (np.eye(2), np.eye(3), 1.0, 0.0, "R1"),
        (np.eye(3), np.ones((3, 2)), 0.0, 1.0, "R2"),
        (np.eye(3), np.eye(4), 1.0, 1.0, "R2"),
        (np.zeros((0, 0)), np.eye(3), math.nan, 0.0, "R1"),
    ],
)
def test_active_penalty_of_wrong_shape_raises_value_error(R1, R2, g1, g2, name):
    with pytest.raises(ValueError, match=f"{name} must be 3 by 3"):
        kvro_core.mdl_score_reg(yt, yt, 2, 20, [1.0, 2.0, 3.0], R1, R2, g1, g2)
