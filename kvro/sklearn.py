"""`PolynomialRegressor`: `kvro.fit` as a scikit-learn estimator.

The estimator is a thin shell: it validates X and y with scikit-learn's helpers,
calls `kvro.fit` with its settings and keeps the resulting `kvro.PolyFit` as
``fit_``. It needs scikit-learn (``pip install 'kvro[sklearn]'``); ``import kvro``
alone never imports it.

Examples
--------
>>> import numpy as np
>>> from kvro.sklearn import PolynomialRegressor
>>> X = np.linspace(0.0, 1.0, 50).reshape(-1, 1)
>>> y = 1.0 + 2.0 * X[:, 0] ** 2
>>> (PolynomialRegressor(deg=2).fit(X, y).coef_.round(6) + 0.0).tolist()  # + 0.0: no -0.0
[1.0, 0.0, 2.0]
"""

from __future__ import annotations

import numbers
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

try:
    from sklearn.base import BaseEstimator, RegressorMixin  # type: ignore[import-untyped]
    from sklearn.utils import check_random_state  # type: ignore[import-untyped]
    from sklearn.utils.validation import (  # type: ignore[import-untyped]
        check_is_fitted,
        validate_data,
    )
except ImportError as exc:  # scikit-learn missing, or older than 1.6 (no validate_data)
    raise ImportError(
        "kvro.sklearn needs scikit-learn 1.6 or newer: pip install 'kvro[sklearn]'"
    ) from exc

import kvro

__all__ = ["PolynomialRegressor"]


class PolynomialRegressor(RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """A polynomial in the columns of X, fitted robustly by `kvro.fit`.

    Every parameter is passed to `kvro.fit` unchanged except `random_state`, which
    becomes its `seed`. ``fit`` does not take `sample_weight`: the robust fit has no
    weighted form.

    Parameters
    ----------
    deg : int or "auto", default=2
        Degree of the polynomial; ``"auto"`` chooses it by cross-validation.
    method : {"robust", "ols", "penalised", "mcmc"}, default="robust"
        How to fit; see `kvro.fit`.
    basis : {"total", "tensor"}, default="total"
        Monomials of total degree at most `deg`, or the tensor product of degree
        `deg` in each column.
    gamma1, gamma2 : float, default=0.0 and 1e-3
        Weights of the smoothness penalties.
    random_state : int, numpy.random.RandomState or None, default=42
        An int is `kvro.fit`'s seed itself, so ``random_state=s`` gives the same fit
        as ``kvro.fit(..., seed=s)``; the default is `kvro.fit`'s default seed. None
        or a RandomState draws the seed from that generator (None: NumPy's global
        one), as scikit-learn does.
    n_chains, n_warmup, n_deep, n_elite, step_size : optional
        The sampler's settings; None takes the method's defaults.
    H : int, default=20
        Resolution of the MDL model term.
    classifier_rows : int or None, default=2000
        Rows the robust method's classifier sees at most; None for all.
    max_deg : int, default=10
        Highest degree that ``deg="auto"`` tries.

    Attributes
    ----------
    fit_ : kvro.PolyFit
        The fit itself: covariance, scores, ``to_dict()`` and more.
    coef_ : ndarray, shape (m,)
        Monomial coefficients in the units of X and y, the constant term first; there
        is no separate ``intercept_``.
    powers_ : ndarray of int, shape (m, n_features_in_)
        Exponents of each coefficient's monomial.
    inlier_mask_ : ndarray of bool, shape (n_samples,)
        True for the rows of the training data that the final fit used.
    residual_scale_ : float
        Robust standard deviation of the inlier residuals, in units of y.
    n_features_in_ : int
        Number of columns of X.
    feature_names_in_ : ndarray of str
        Column names of X, when it was given with string column names.

    Warns
    -----
    kvro.FitWarning
        Passed on from `kvro.fit` when the robust fit scores worse than least
        squares on the sampler's energy.

    Examples
    --------
    >>> import numpy as np
    >>> from kvro.sklearn import PolynomialRegressor
    >>> rng = np.random.default_rng(1)
    >>> X = rng.uniform(-1.0, 1.0, (200, 2))
    >>> y = 1.0 + X[:, 0] - 2.0 * X[:, 0] * X[:, 1] + rng.normal(0.0, 0.01, 200)
    >>> y[:20] += 5.0                       # 10 % gross outliers
    >>> model = PolynomialRegressor(deg=2).fit(X, y)
    >>> int((~model.inlier_mask_).sum()), bool(model.inlier_mask_[:20].any())
    (20, False)
    >>> model.predict([[0.5, 0.5]]).round(2).tolist()
    [1.0]
    """

    def __init__(
        self,
        deg: int | Literal["auto"] = 2,
        *,
        method: str = "robust",
        basis: str = "total",
        gamma1: float = 0.0,
        gamma2: float = 1e-3,
        random_state: int | np.random.RandomState | None = 42,
        n_chains: int | None = None,
        n_warmup: int | None = None,
        n_deep: int | None = None,
        n_elite: int | None = None,
        step_size: float | None = None,
        H: int = 20,
        classifier_rows: int | None = 2000,
        max_deg: int = 10,
    ) -> None:
        self.deg = deg
        self.method = method
        self.basis = basis
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.random_state = random_state
        self.n_chains = n_chains
        self.n_warmup = n_warmup
        self.n_deep = n_deep
        self.n_elite = n_elite
        self.step_size = step_size
        self.H = H
        self.classifier_rows = classifier_rows
        self.max_deg = max_deg

    def fit(self, X: ArrayLike, y: ArrayLike) -> PolynomialRegressor:
        """Fit the polynomial to the rows of X and y.

        Parameters
        ----------
        X : array_like, shape (n_samples, n_features)
        y : array_like, shape (n_samples,)

        Returns
        -------
        self

        Raises
        ------
        ValueError
            For data that cannot be fitted (`kvro.DataError` among them: a constant
            column, fewer rows than coefficients) or invalid settings.

        Examples
        --------
        >>> from kvro.sklearn import PolynomialRegressor
        >>> PolynomialRegressor(deg=1).fit([[0.0], [1.0], [2.0]], [1.0, 3.0, 5.0]).coef_
        array([1., 2.])
        """
        # Two rows at least, so that one row is refused with scikit-learn's message.
        X, y = validate_data(self, X, y, y_numeric=True, ensure_min_samples=2)
        self.fit_ = kvro.fit(
            X,
            y,
            self.deg,
            method=self.method,
            basis=self.basis,
            gamma1=self.gamma1,
            gamma2=self.gamma2,
            seed=self._seed(),
            n_chains=self.n_chains,
            n_warmup=self.n_warmup,
            n_deep=self.n_deep,
            n_elite=self.n_elite,
            step_size=self.step_size,
            H=self.H,
            classifier_rows=self.classifier_rows,
            max_deg=self.max_deg,
        )
        self.coef_ = self.fit_.coef
        self.powers_ = self.fit_.powers
        self.inlier_mask_ = self.fit_.inliers
        self.residual_scale_ = self.fit_.residual_scale
        return self

    def predict(self, X: ArrayLike) -> NDArray[np.float64]:
        """The fitted polynomial at the rows of X.

        Parameters
        ----------
        X : array_like, shape (n_samples, n_features_in_)

        Returns
        -------
        ndarray, shape (n_samples,)

        Examples
        --------
        >>> from kvro.sklearn import PolynomialRegressor
        >>> model = PolynomialRegressor(deg=1).fit([[0.0], [1.0], [2.0]], [1.0, 3.0, 5.0])
        >>> model.predict([[10.0]]).round(6).tolist()
        [21.0]
        """
        check_is_fitted(self)
        Xa = validate_data(self, X, reset=False)
        # One column: the fit gives back the shape of X, (n, 1); scikit-learn wants (n,).
        return self.fit_.predict(Xa).reshape(Xa.shape[0])

    def _seed(self) -> int:
        rs = self.random_state
        if isinstance(rs, numbers.Integral) and not isinstance(rs, bool):
            return int(rs)
        return int(check_random_state(rs).randint(np.iinfo(np.int32).max))

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        # A fixed int seed makes the fit deterministic; None draws a new one.
        tags.non_deterministic = self.random_state is None
        return tags
