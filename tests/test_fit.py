"""kvro.fit and PolyFit: the contract, the robust method's inliers and fixed point, bases."""

import json
import math
import pickle

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import kvro
import kvro.robust
from kvro import basis
from kvro import kvro_core as kc


def curve_with_outliers(n=300, share=0.3, seed=0, noise=0.05):
    rng = np.random.default_rng(seed)
    x = rng.uniform(2.0, 6.0, n)  # off-centre, so the map onto [-1, 1] matters
    y = 1.0 + 0.5 * x - 0.2 * x**2 + 0.01 * x**3 + rng.normal(0.0, noise, n)
    bad = rng.random(n) < share
    y[bad] += rng.uniform(1.0, 4.0, bad.sum())  # one-sided, as contamination often is
    return x, y, bad


def test_contract_of_the_result():
    x, y, _ = curve_with_outliers()
    f = kvro.fit(x, y, 3, seed=7)
    assert (f.method, f.deg, f.basis, f.seed, f.n_features) == ("robust", 3, "total", 7, 1)
    assert f.coef.shape == (4,) and f.powers.tolist() == [[0], [1], [2], [3]]
    assert f.inliers.dtype == bool and f.inliers.shape == x.shape
    assert f.cov.shape == (4, 4) and np.allclose(f.cov, f.cov.T)
    assert_allclose(f.stderr, np.sqrt(np.diag(f.cov)))
    # predict keeps the shape of x, __call__ is predict, and the monomial coefficients
    # and numpy's Polynomial describe the same curve.
    grid = np.linspace(2.0, 6.0, 7)
    assert_array_equal(f(grid), f.predict(grid))
    assert f.predict(3.0).shape == () and f.predict(grid.reshape(7, 1)).shape == (7, 1)
    assert_allclose(f.predict(grid), np.polynomial.polynomial.polyval(grid, f.coef), rtol=1e-9)
    assert_allclose(f.predict(grid), f.polynomial()(grid), rtol=1e-12, atol=1e-12)
    # Frozen: neither the fields nor the arrays can change under the caller.
    with pytest.raises(AttributeError):
        f.deg = 4
    with pytest.raises(ValueError):
        f.coef[0] = 0.0
    with pytest.raises(ValueError):
        f.inliers[0] = False
    d = json.loads(json.dumps(f.to_dict(), allow_nan=False))
    assert d["inliers"] == int(f.inliers.sum()) and d["rows"] == len(x)
    assert d["coef"] == pytest.approx(f.coef.tolist())
    assert "robust" in repr(f) and f"inliers {int(f.inliers.sum())} of {len(x)}" in repr(f)
    assert pickle.loads(pickle.dumps(f)).coef.tolist() == f.coef.tolist()


def test_inliers_are_the_planted_clean_points_and_the_curve_is_precise():
    x, y, bad = curve_with_outliers(share=0.3)
    f = kvro.fit(x, y, 3)
    assert (f.inliers & bad).sum() <= 2  # outliers within noise of the curve may pass
    assert (~f.inliers & ~bad).sum() <= 3
    grid = np.linspace(2.0, 6.0, 200)
    truth = 1.0 + 0.5 * grid - 0.2 * grid**2 + 0.01 * grid**3
    assert np.sqrt(np.mean((f(grid) - truth) ** 2)) < 0.02
    assert f.residual_scale == pytest.approx(0.05, rel=0.25)
    # Least squares is dragged up by the one-sided outliers.
    ols = kvro.fit(x, y, 3, method="ols")
    assert np.sqrt(np.mean((ols(grid) - truth) ** 2)) > 0.2 and ols.inliers.all()


def test_half_of_the_points_one_sided_outliers_and_a_cluster_at_the_edge():
    rng = np.random.default_rng(3)
    x = np.linspace(-1.0, 1.0, 400)
    y = np.cos(2 * x) + rng.normal(0.0, 0.05, x.size)
    bad = rng.random(x.size) < 0.5
    y[bad] += rng.uniform(0.5, 2.0, bad.sum())
    edge = x > 0.8
    y[edge] = 3.0 + rng.normal(0.0, 0.05, edge.sum())  # a bad cluster at the end
    f = kvro.fit(x, y, 4)
    clean = ~bad & ~edge
    assert (f.inliers == clean).mean() > 0.97
    inner = np.linspace(-1.0, 0.75, 100)
    assert np.max(np.abs(f(inner) - np.cos(2 * inner))) < 0.1


def test_refit_ends_at_its_fixed_point():
    x, y, _ = curve_with_outliers(share=0.2, seed=5)
    f = kvro.fit(x, y, 3)
    # The coefficients are least squares on the inliers, in the original units ...
    V = np.vander(x[f.inliers], 4, increasing=True)
    assert_allclose(f.coef, np.linalg.lstsq(V, y[f.inliers], rcond=None)[0], rtol=1e-7)
    # ... and the inliers are exactly the points within `clip` robust sigmas of that curve.
    r = y - f(x)
    assert f.clip in (2.0, 3.0, 4.0)
    assert_array_equal(f.inliers, np.abs(r) < f.clip * f.residual_scale)
    # The robust sigma, corrected for the 4 degrees of freedom least squares spent.
    n_in = f.inliers.sum()
    s = 1.482602218505602 * np.median(np.abs(r[f.inliers] - np.median(r[f.inliers])))
    assert f.residual_scale == pytest.approx(s * np.sqrt(n_in / (n_in - 4)))
    # Covariance of least squares on the inliers.
    s2 = np.sum(r[f.inliers] ** 2) / (f.inliers.sum() - 4)
    assert_allclose(f.cov, s2 * np.linalg.inv(V.T @ V), rtol=1e-6)


def test_classifying_a_subsample_still_refits_on_every_row():
    x, y, bad = curve_with_outliers(n=3000, share=0.2, seed=2)
    f = kvro.fit(x, y, 3, classifier_rows=300)
    assert (f.inliers == ~bad).mean() > 0.99
    V = np.vander(x[f.inliers], 4, increasing=True)
    assert_allclose(f.coef, np.linalg.lstsq(V, y[f.inliers], rcond=None)[0], rtol=1e-7)


def test_seed_reproducibility_and_the_sampler_settings_reach_the_sampler():
    x, y, _ = curve_with_outliers(n=150)
    a = kvro.fit(x, y, 3, method="mcmc", seed=1)
    assert a.coef.tobytes() == kvro.fit(x, y, 3, method="mcmc", seed=1).coef.tobytes()
    assert a.coef.tobytes() != kvro.fit(x, y, 3, method="mcmc", seed=2).coef.tobytes()
    assert a.coef.tobytes() != kvro.fit(x, y, 3, method="mcmc", seed=1, n_deep=10).coef.tobytes()
    # The sampler's own state is the minimiser of its energy: better than least squares.
    assert a.mdl_penalised < kvro.fit(x, y, 3, method="ols").mdl_penalised


def canonical(x, y, deg):
    """The canonical units written out: x onto [-1, 1], y by median and mad."""
    u = (x - (x.min() + x.max()) / 2) / ((x.max() - x.min()) / 2)
    c, s = np.median(y), kc.mad(y)
    return np.vander(u, deg + 1, increasing=True), (y - c) / s, c, s


def test_penalised_fit_and_scores_use_each_weight_on_its_own_penalty():
    x, y, _ = curve_with_outliers(n=80, share=0.0)
    X, v, c, s = canonical(x, y, 4)
    R1, R2 = kc.smoothness_penalty_matrices_1d(4, -1.0, 1.0)
    for g1, g2 in [(0.5, 0.0), (0.0, 0.5)]:
        f = kvro.fit(x, y, 4, method="penalised", gamma1=g1, gamma2=g2)
        b = kc.fit_regularized_linear(X, v, R1, R2, g1, g2)
        assert_allclose(f(x), c + s * (X @ b), rtol=1e-10)
        assert f.mdl_penalised == pytest.approx(
            kc.mdl_score_reg(X @ b, v, 5, 20, b, R1, R2, g1, g2)
        )
        assert f.mdl == pytest.approx(kc.mdl_score(X @ b, v, 5))


def test_units_do_not_change_the_fit():
    # Mostly-constant y has no median absolute deviation; the scale falls back.
    x = np.linspace(0.0, 1.0, 60)
    y = np.where(np.arange(60) % 3 == 0, x**2, 0.0)
    a, b = kvro.fit(x, y, 2), kvro.fit(x, 1e6 * y - 3e4, 2)
    assert_allclose(1e6 * a(x) - 3e4, b(x), rtol=1e-9, atol=1e-6)
    assert_array_equal(a.inliers, b.inliers)
    assert (a.hit_rate, a.mdl_penalised) == pytest.approx((b.hit_rate, b.mdl_penalised))
    assert math.isfinite(a.mdl) and 0 < a.hit_rate <= 1


def test_without_outliers_the_robust_fit_is_as_good_as_least_squares():
    rng = np.random.default_rng(11)
    # Ten variables at degree 2 (66 coefficients) on 200 rows defeat the classifier;
    # the refits from least squares must then win.
    X = rng.normal(size=(200, 10))
    y = X @ rng.normal(size=10) + 0.3 * X[:, 0] ** 2 + rng.normal(0.0, 0.5, 200)
    ols = kvro.fit(X, y, 2, method="ols")
    f = kvro.fit(X, y, 2)
    assert f.coef.shape == (66,)
    resid = np.sum((y - ols(X)) ** 2)
    assert np.sum((y - f(X)) ** 2) < 1.3 * resid
    # Few rows per coefficient and noise larger than the signal: least squares on a
    # subset fits it too well, and an uncorrected scale would shrink the subset further.
    kept = []
    for seed in range(8):
        rng = np.random.default_rng(seed)
        X = rng.uniform(-1.0, 1.0, (50, 10))
        kept.append(kvro.fit(X, X[:, 0] + rng.normal(size=50), 1, seed=seed).inliers.mean())
    assert np.mean(kept) > 0.85


def test_total_degree_basis_and_its_penalties():
    assert basis.monomial_powers(2, 2, "total").tolist() == [
        [0, 0], [0, 1], [0, 2], [1, 0], [1, 1], [2, 0],
    ]  # fmt: skip
    # The rows and columns of the tensor penalties that belong to the total-degree terms,
    # computed here by the core's grid builder.
    for deg, dims in [(2, 2), (3, 3), (1, 4)]:
        powers = basis.monomial_powers(deg, dims, "total")
        tensor = basis.monomial_powers(deg, dims, "tensor").tolist()
        keep = [tensor.index(p) for p in powers.tolist()]
        T1, T2, mi = kc.build_penalty_matrices_nd([deg] * dims, [(-1.0, 1.0)] * dims, 12)
        assert mi == tensor
        R1, R2 = basis.total_degree_penalties(deg, powers, 12)
        assert_allclose(R1, T1[np.ix_(keep, keep)], rtol=1e-12, atol=1e-12)
        assert_allclose(R2, T2[np.ix_(keep, keep)], rtol=1e-12, atol=1e-12)
    # Many variables stay cheap: the tensor basis of this one has 3^12 terms.
    assert basis.total_degree_penalties(2, basis.monomial_powers(2, 12, "total"), 30)[0].shape == (
        91,
        91,
    )


def test_several_variables_total_and_tensor():
    rng = np.random.default_rng(4)
    X = rng.uniform(-2.0, 3.0, (400, 2))
    truth = 1.0 + X[:, 0] - 0.5 * X[:, 1] ** 2 + 0.3 * X[:, 0] * X[:, 1]
    y = truth + rng.normal(0.0, 0.02, 400)
    bad = rng.random(400) < 0.25
    y[bad] -= 3.0
    f = kvro.fit(X, y, 2)
    assert f.powers.tolist() == basis.monomial_powers(2, 2, "total").tolist()
    by_term = dict(zip(map(tuple, f.powers.tolist()), f.coef, strict=True))
    expected = {(0, 0): 1.0, (1, 0): 1.0, (0, 2): -0.5, (1, 1): 0.3, (0, 1): 0.0, (2, 0): 0.0}
    assert by_term == pytest.approx(expected, abs=0.02)
    assert (f.inliers != ~bad).sum() <= 2  # clean points beyond 3 sigma may go
    t = kvro.fit(X, y, 2, basis="tensor")
    assert t.coef.shape == (9,) and t.basis == "tensor"
    assert_allclose(t(X[~bad]), truth[~bad], atol=0.02)
    with pytest.raises(kvro.DataError, match="columns"):
        f.predict(X[:, :1])
    with pytest.raises(ValueError, match="one variable"):
        f.polynomial()


def test_auto_degree_reports_every_candidate_and_picks_a_fitting_one():
    x, y, _ = curve_with_outliers(n=300, share=0.2, seed=9)
    f = kvro.fit(x, y, "auto", max_deg=6)
    assert set(f.degree_scores) == set(range(7))
    assert f.deg == min(f.degree_scores, key=f.degree_scores.get)
    assert f.deg >= 3  # the curve is a cubic
    assert kvro.fit(x, y, 3).degree_scores is None


@pytest.mark.parametrize(
    ("x", "y", "deg", "kw", "message"),
    [
        ([1.0, 2.0, np.nan], [1.0, 2.0, 3.0], 1, {}, "finite"),
        ([1.0, 1.0, 1.0], [1.0, 2.0, 3.0], 1, {}, "constant"),
        ([1.0, 2.0, 3.0], [1.0, 2.0], 1, {}, "one value per row"),
        ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], 3, {}, "too few"),
        ([], [], 1, {}, "empty"),
        ([0.0, 1.0, 2.0], [-1.7e308, 1.7e308, 0.0], 1, {}, "y overflows"),
        ([-1.7e308, 1.7e308, 0.0], [0.0, 1.0, 2.0], 1, {}, "x overflows"),
        (np.ones((5, 2, 2)), np.ones(5), 1, {}, "two-dimensional"),
        (np.random.default_rng(0).random((3000, 8)), np.ones(3000), 6, {}, "more than the 2000"),
    ],
)
def test_data_that_cannot_be_fitted(x, y, deg, kw, message):
    with pytest.raises(kvro.DataError, match=message):
        kvro.fit(x, y, deg, **kw)


@pytest.mark.parametrize(
    "kw",
    [
        {"method": "lsq"},
        {"basis": "full"},
        {"gamma2": -1.0},
        {"gamma1": float("inf")},
        {"seed": -1},
        {"seed": 2**64},
        {"n_chains": 0},
        {"step_size": 0.0},
        {"deg": -1},
        {"deg": 2.5},
        {"deg": "high"},
    ],
)
def test_bad_options(kw):
    x, y, _ = curve_with_outliers(n=50)
    with pytest.raises(ValueError):
        kvro.fit(x, y, **{"deg": 2, **kw})


def test_a_result_worse_than_least_squares_is_not_silent(monkeypatch):
    # Every refit made to end far from the data, as a failed search would.
    def lost(X, v, b, inliers, clip):
        return np.full(X.shape[1], 50.0), inliers, 1

    monkeypatch.setattr(kvro.robust, "refit", lost)
    x, y, _ = curve_with_outliers(n=100)
    with pytest.warns(kvro.FitWarning, match="worse than least squares"):
        kvro.fit(x, y, 2)
