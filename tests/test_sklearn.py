"""The scikit-learn estimator: scikit-learn's own checks, and the shell over kvro.fit."""

import doctest
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

import kvro
import kvro.sklearn
from kvro.sklearn import PolynomialRegressor

# At degree 2 these checks fit 10 to 56 rows with 4 to 10 columns, fewer rows than
# the model's 15 to 66 coefficients, which kvro.fit refuses; degree 1 passes them.
TOO_FEW_ROWS = "fewer rows than coefficients at degree 2"
DEG2_FAILS = {
    "check_estimators_dtypes": TOO_FEW_ROWS,
    "check_dtype_object": TOO_FEW_ROWS,
    "check_regressors_no_decision_function": TOO_FEW_ROWS,
    "check_regressors_int": TOO_FEW_ROWS,
}


@parametrize_with_checks(
    [PolynomialRegressor(deg=1), PolynomialRegressor()],
    expected_failed_checks=lambda est: DEG2_FAILS if est.deg == 2 else {},
)
def test_scikit_learn_checks(estimator, check):
    check(estimator)


def test_planted_outliers_are_caught_and_predictions_are_kvro_fit():
    rng = np.random.default_rng(3)
    X = rng.uniform(-2.0, 2.0, (300, 2))
    y = 1.0 + X[:, 0] ** 2 - X[:, 1] + rng.normal(0.0, 0.05, 300)
    bad = rng.permutation(300)[:60]
    y[bad] += rng.choice([-1.0, 1.0], 60) * rng.uniform(3.0, 10.0, 60)
    model = PolynomialRegressor(deg=2, random_state=7).fit(X, y)
    assert not model.inlier_mask_[bad].any()
    assert model.inlier_mask_.sum() >= 230
    ref = kvro.fit(X, y, 2, seed=7)
    Xt = rng.uniform(-2.0, 2.0, (50, 2))
    np.testing.assert_array_equal(model.predict(Xt), ref.predict(Xt))
    np.testing.assert_array_equal(model.coef_, ref.coef)
    np.testing.assert_array_equal(model.powers_, ref.powers)
    assert model.residual_scale_ == ref.residual_scale


@pytest.mark.parametrize(
    "settings",
    [
        dict(method="mcmc", n_chains=3, n_warmup=20, n_deep=30, n_elite=1, step_size=0.1, H=7),
        dict(method="penalised", basis="tensor", gamma1=0.5, gamma2=0.01),
        dict(deg="auto", max_deg=3, classifier_rows=40),
    ],
)
def test_settings_reach_kvro_fit(settings):
    rng = np.random.default_rng(5)
    X = rng.uniform(0.0, 3.0, (80, 2))
    y = np.sin(X[:, 0]) * X[:, 1] + rng.normal(0.0, 0.1, 80)
    settings = {"deg": 3, **settings}
    model = PolynomialRegressor(**settings, random_state=11).fit(X, y)
    ref = kvro.fit(X, y, settings.pop("deg"), seed=11, **settings)
    assert model.fit_.to_dict() == ref.to_dict()
    np.testing.assert_array_equal(model.inlier_mask_, ref.inliers)


def test_grid_search_in_a_pipeline_chooses_the_degree():
    rng = np.random.default_rng(0)
    x = rng.uniform(-1.0, 1.0, 200)
    y = x**3 - x + rng.normal(0.0, 0.02, 200)
    y[::8] += 4.0
    pipe = make_pipeline(StandardScaler(), PolynomialRegressor())
    search = GridSearchCV(pipe, {"polynomialregressor__deg": [1, 2, 3]}, cv=3)
    search.fit(x[:, None], y)
    assert search.best_params_ == {"polynomialregressor__deg": 3}


def test_import_kvro_leaves_sklearn_out_and_a_missing_extra_is_named(tmp_path):
    script = textwrap.dedent(
        """
        import sys
        import kvro
        assert not [m for m in sys.modules if m.split(".")[0] == "sklearn"], "kvro imported sklearn"
        sys.modules["sklearn"] = None
        try:
            import kvro.sklearn
        except ImportError as exc:
            print(exc)
        """
    )
    # Away from the source tree, whose kvro folder would shadow the installed one.
    run = [sys.executable, "-c", script]
    out = subprocess.run(run, capture_output=True, text=True, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "pip install 'kvro[sklearn]'" in out.stdout


def test_docstring_examples():
    result = doctest.testmod(kvro.sklearn, optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0
