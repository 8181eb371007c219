"""`kvro.fit`: one call from data to a polynomial, robust by default.

The data are brought into canonical units first: every x column mapped onto
[-1, 1], where monomials are well conditioned, and y centred on its median and
divided by its median absolute deviation. Every method fits there, and the scores
(`hit_rate`, `mdl`, `mdl_penalised`) are those of the core's MDL score in these
units, whatever the method; the result maps back to the original units.
"""

from __future__ import annotations

import dataclasses
import inspect
import math
import numbers
import warnings
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kvro import basis as _basis
from kvro import kvro_core
from kvro.basis import AxisMap, DataError
from kvro.result import PolyFit, frozen, term_name
from kvro.robust import CLASSIFIER_ROWS, FitWarning, Problem, inlier_sigma, robust_fit

__all__ = [
    "METHODS",
    "SAMPLER_DEFAULTS",
    "FitWarning",
    "PolyFit",
    "check_options",
    "fit",
    "term_name",
]

METHODS = ("robust", "ols", "penalised", "mcmc")

# Resolution of the MDL model term; the sampler's default H_piH.
MDL_H = 20

# The sampler's settings per method. The robust method needs only a classifier: a
# deep phase of 300 steps per elite gave the same refits as 2000 (and as 500) in
# well under half the time, while fewer chains, a shorter warm-up or a single elite
# lost more edge clusters and half-contaminated samples.
SAMPLER_DEFAULTS = {
    "mcmc": dict(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05),
    "robust": dict(n_chains=25, n_warmup=200, n_deep=300, n_elite=5, step_size=0.05),
}

# Candidate degrees of deg="auto", and the folds of its cross-validation.
AUTO_MAX_DEG = 10
AUTO_FOLDS = 5

Array = NDArray[np.float64]


def fit(
    x: ArrayLike,
    y: ArrayLike,
    deg: int | Literal["auto"],
    *,
    method: str = "robust",
    basis: str = "total",
    gamma1: float = 0.0,
    gamma2: float = 1e-3,
    seed: int = 42,
    n_chains: int | None = None,
    n_warmup: int | None = None,
    n_deep: int | None = None,
    n_elite: int | None = None,
    step_size: float | None = None,
    H: int = MDL_H,
    classifier_rows: int | None = CLASSIFIER_ROWS,
    max_deg: int = AUTO_MAX_DEG,
) -> PolyFit:
    """Fit a polynomial of degree `deg` in x to y, robustly by default.

    Parameters
    ----------
    x : array_like, shape (n,) or (n, d)
        One variable, or d variables as columns.
    y : array_like, shape (n,)
        The data to fit. x and y must be finite.
    deg : int or "auto"
        Degree of the polynomial; ``"auto"`` chooses it from 0 to `max_deg` by
        five-fold cross-validation of the inlier fit (see `PolyFit.degree_scores`).
    method : {"robust", "ols", "penalised", "mcmc"}
        ``"robust"``: the sampler classifies inliers and outliers, least squares on the
        inliers is repeated until they stop changing, and a second run of refits from
        plain least squares guards against a failed search; the better by the
        sampler's energy wins. ``"ols"``: least squares. ``"penalised"``: least
        squares with the smoothness penalties. ``"mcmc"``: the sampler's own best state.
    basis : {"total", "tensor"}
        For several variables: monomials of total degree at most `deg`, or the tensor
        product of degree `deg` in each variable.
    gamma1, gamma2 : float
        Weights of the first- and second-derivative penalties (canonical units) in the
        penalised fit, the sampler's energy and `mdl_penalised`.
    seed : int
        Seed of the sampler (0 to 2**64 - 1); the same seed gives the same bits.
    n_chains, n_warmup, n_deep, n_elite, step_size : optional
        The sampler's settings; None takes the method's defaults
        (``kvro.polyfit.SAMPLER_DEFAULTS``).
    H : int
        Resolution of the MDL model term.
    classifier_rows : int or None
        The robust method classifies a seeded random subsample of this many rows
        when there are more, then refits on all rows; None classifies all rows.
    max_deg : int
        Highest degree that ``deg="auto"`` tries.

    Returns
    -------
    PolyFit

    Raises
    ------
    DataError
        For data that cannot be fitted (shapes, non-finite values, a constant x,
        too few rows, a spread that overflows); it is a ValueError.

    Warns
    -----
    FitWarning
        When the robust result scores worse on the sampler's energy than plain least
        squares.

    Examples
    --------
    >>> import numpy as np, kvro
    >>> rng = np.random.default_rng(0)
    >>> x = np.linspace(-1.0, 1.0, 200)
    >>> y = np.sin(2.5 * x) + rng.normal(0.0, 0.1, x.size)
    >>> y[::10] += 3.0                      # 10 % gross outliers
    >>> f = kvro.fit(x, y, 5)
    >>> int((~f.inliers).sum()), bool(f.inliers[::10].any())
    (20, False)
    """
    opts = _check_options(method, basis, gamma1, gamma2, seed, H, classifier_rows)
    sampler = _sampler_settings(method, n_chains, n_warmup, n_deep, n_elite, step_size)
    xa = _basis.as_columns(x, None, "x")
    ya = np.asarray(y, dtype=np.float64)
    if ya.ndim != 1 or ya.shape[0] != xa.shape[0]:
        raise DataError(
            "y must be one-dimensional with one value per row of x "
            f"(x has {xa.shape[0]} rows, y has shape {ya.shape})"
        )
    if not (np.isfinite(xa).all() and np.isfinite(ya).all()):
        raise DataError("x and y must hold finite numbers only")
    names = ["x"] if xa.shape[1] == 1 else [f"column {j} of x" for j in range(xa.shape[1])]
    x_map = AxisMap.of(xa, names)
    y_center, y_scale = _y_scaling(ya)
    u = x_map.to_unit(xa)
    v = (ya - y_center) / y_scale
    if _checked_degree(deg, max_deg) == "auto":
        return _fit_auto(u, v, x_map, y_center, y_scale, max_deg, opts, sampler)
    return _fit_degree(u, v, int(deg), x_map, y_center, y_scale, opts, sampler)


def check_options(deg: int | Literal["auto"], **options: Any) -> None:
    """Raise what `fit` would raise for these settings, whatever the data.

    For callers that fit many data sets with one set of options and want a
    mistake in them reported once, before any work.

    Examples
    --------
    >>> from kvro.polyfit import check_options
    >>> check_options(3, method="robust", n_chains=10)
    >>> check_options(3, method="lasso")
    Traceback (most recent call last):
    ...
    ValueError: unknown method 'lasso'; the methods are robust, ols, penalised, mcmc
    """
    bound = inspect.signature(fit).bind(None, None, deg, **options)
    bound.apply_defaults()
    a = bound.arguments
    _check_options(
        a["method"], a["basis"], a["gamma1"], a["gamma2"], a["seed"], a["H"], a["classifier_rows"]
    )
    _sampler_settings(
        a["method"], a["n_chains"], a["n_warmup"], a["n_deep"], a["n_elite"], a["step_size"]
    )
    _checked_degree(deg, a["max_deg"])


def _checked_degree(deg: Any, max_deg: Any) -> int | str:
    if deg == "auto":
        if isinstance(max_deg, bool) or not isinstance(max_deg, numbers.Integral) or max_deg < 0:
            raise ValueError(f"max_deg must be a non-negative int (got {max_deg!r})")
        return "auto"
    if isinstance(deg, bool) or not isinstance(deg, numbers.Integral) or deg < 0:
        raise ValueError(f"deg must be a non-negative int or 'auto' (got {deg!r})")
    return int(deg)


@dataclass(frozen=True)
class _Options:
    method: str
    basis: str
    gamma1: float
    gamma2: float
    seed: int
    H: int
    classifier_rows: int | None


def _check_options(
    method: str,
    basis: str,
    gamma1: float,
    gamma2: float,
    seed: int,
    H: int,
    classifier_rows: int | None,
) -> _Options:
    if method not in METHODS:
        raise ValueError(f"unknown method {method!r}; the methods are {', '.join(METHODS)}")
    if basis not in _basis.BASES:
        raise ValueError(f"unknown basis {basis!r}; the bases are {', '.join(_basis.BASES)}")
    for name, g in (("gamma1", gamma1), ("gamma2", gamma2)):
        if not (isinstance(g, numbers.Real) and math.isfinite(g) and g >= 0):
            raise ValueError(f"{name} must be a finite number >= 0 (got {g!r})")
    if not (isinstance(seed, numbers.Integral) and 0 <= seed < 2**64):
        raise ValueError(f"seed must be an int from 0 to 2**64 - 1 (got {seed!r})")
    if not (isinstance(H, numbers.Integral) and 1 <= H < 2**31):
        raise ValueError(f"H must be a positive int (got {H!r})")
    if classifier_rows is not None and not (
        isinstance(classifier_rows, numbers.Integral) and classifier_rows >= 1
    ):
        raise ValueError(
            f"classifier_rows must be a positive int or None (got {classifier_rows!r})"
        )
    return _Options(method, basis, float(gamma1), float(gamma2), int(seed), int(H), classifier_rows)


def _sampler_settings(method: str, *values: int | float | None) -> dict[str, Any]:
    names = ("n_chains", "n_warmup", "n_deep", "n_elite", "step_size")
    settings = dict(SAMPLER_DEFAULTS.get(method, SAMPLER_DEFAULTS["robust"]))
    for name, value in zip(names, values, strict=True):
        if value is None:
            continue
        if name == "step_size":
            if not (isinstance(value, numbers.Real) and math.isfinite(value) and value > 0):
                raise ValueError(f"step_size must be a finite number > 0 (got {value!r})")
        elif not (isinstance(value, numbers.Integral) and 0 <= value < 2**31):
            raise ValueError(f"{name} must be an int from 0 to 2**31 - 1 (got {value!r})")
        settings[name] = value
    if settings["n_chains"] < 1:
        raise ValueError("n_chains must be at least 1")
    return settings


def _y_scaling(y: Array) -> tuple[float, float]:
    center = float(np.median(y))
    with np.errstate(over="ignore", invalid="ignore"):
        scale = kvro_core.mad(y)
        if not scale > 0:
            # More than half of y is one value: the standard deviation still measures it.
            scale = float(np.std(y)) or 1.0
        spread = np.max(y) - np.min(y)
    if not (math.isfinite(scale) and math.isfinite(spread)):
        raise DataError("the spread of y overflows double precision")
    return center, scale


def _problem(u: Array, v: Array, deg: int, opts: _Options) -> tuple[Problem, NDArray[np.int64]]:
    dims = u.shape[1]
    m = _basis.n_terms(deg, dims, opts.basis)
    if m > _basis.MAX_TERMS:
        raise DataError(
            f"degree {deg} in {dims} variable(s) gives {m} coefficients, "
            f"more than the {_basis.MAX_TERMS} kvro fits"
        )
    if len(v) < m:
        raise DataError(
            f"{len(v)} rows are too few for degree {deg} in {dims} variable(s): "
            f"the model has {m} coefficients"
        )
    powers = _basis.monomial_powers(deg, dims, opts.basis)
    R1, R2 = _basis.penalties(deg, powers, opts.basis)
    X = _basis.design(u, powers)
    return Problem(X, v, R1, R2, opts.gamma1, opts.gamma2, opts.H), powers


def _fit_degree(
    u: Array,
    v: Array,
    deg: int,
    x_map: AxisMap,
    y_center: float,
    y_scale: float,
    opts: _Options,
    sampler: dict[str, Any],
) -> PolyFit:
    p, powers = _problem(u, v, deg, opts)
    b, inliers, n_refits, clip = _solve(p, opts, sampler)
    hit_rate, mdl, mdl_pen = p.scores(b)
    r = p.v - p.X @ b
    cov_unit = _inlier_cov(p.X[inliers], r[inliers])
    A = _basis.to_original_units(powers, x_map) * y_scale
    coef = A @ b
    coef[0] += y_center
    with np.errstate(over="ignore", invalid="ignore"):
        cov = A @ cov_unit @ A.T
    return PolyFit(
        coef=frozen(coef),
        powers=frozen(powers),
        inliers=frozen(inliers),
        residual_scale=inlier_sigma(r[inliers], len(b)) * y_scale,
        cov=frozen(cov),
        hit_rate=hit_rate,
        mdl=mdl,
        mdl_penalised=mdl_pen,
        method=opts.method,
        deg=deg,
        basis=opts.basis if u.shape[1] > 1 else "total",
        seed=opts.seed,
        n_refits=n_refits,
        clip=clip,
        degree_scores=None,
        coef_unit=frozen(b),
        x_map=x_map,
        y_center=y_center,
        y_scale=y_scale,
    )


def _solve(
    p: Problem, opts: _Options, sampler: dict[str, Any]
) -> tuple[Array, NDArray[np.bool_], int, float | None]:
    """Coefficients in canonical units, the inlier mask, the refits and their clip."""
    everyone = np.ones(len(p.v), dtype=bool)
    if opts.method == "ols":
        return kvro_core.ols(p.X, p.v), everyone, 0, None
    if opts.method == "penalised":
        b = kvro_core.fit_regularized_linear(p.X, p.v, p.R1, p.R2, opts.gamma1, opts.gamma2)
        return b, everyone, 0, None
    if opts.method == "mcmc":
        b = p.sample(p.X, p.v, sampler, opts.seed)
        return b, np.abs(p.X @ b - p.v) < p.eps, 0, None
    return robust_fit(p, sampler, opts.seed, opts.classifier_rows)


def _inlier_cov(X: Array, r: Array) -> Array:
    """Least-squares covariance sigma^2 (X^T X)^+ with sigma^2 from the residuals."""
    n, m = X.shape
    dof = n - m
    s2 = float(r @ r) / dof if dof > 0 else float("nan")
    return s2 * np.linalg.pinv(X.T @ X)


def _fit_auto(
    u: Array,
    v: Array,
    x_map: AxisMap,
    y_center: float,
    y_scale: float,
    max_deg: int,
    opts: _Options,
    sampler: dict[str, Any],
) -> PolyFit:
    """The degree whose inlier fit predicts held-out rows best.

    Each candidate degree gets its robust fit; its inlier mask is then refitted on
    four fifths of the rows and scored on the rest with Tukey's bounded loss at a
    common scale, so outliers weigh the same for every degree and cannot favour one.
    """
    n, dims = u.shape
    candidates = [
        d
        for d in range(max_deg + 1)
        if _basis.n_terms(d, dims, opts.basis) <= min(_basis.MAX_TERMS, n // 2)
    ]
    if not candidates:
        raise DataError(f"{n} rows are too few to choose a degree")
    fits = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FitWarning)
        for d in candidates:
            fits[d] = _fit_degree(u, v, d, x_map, y_center, y_scale, opts, sampler)
    # The common scale: the median over the candidates, so that neither underfitting
    # degrees (large scales) nor a broken fit (a tiny one) sets it.
    scale = max(float(np.median([f.residual_scale for f in fits.values()])) / y_scale, 1e-12)
    folds = np.random.default_rng(opts.seed).permutation(n) % AUTO_FOLDS
    losses = {}
    for d, f in fits.items():
        X = _basis.design(u, f.powers)
        loss = np.empty(n)
        for k in range(AUTO_FOLDS):
            train, test = f.inliers & (folds != k), folds == k
            b = kvro_core.ols(X[train], v[train])
            r = (v[test] - X[test] @ b) / (4.685 * scale)
            loss[test] = np.where(np.abs(r) < 1, 1 - (1 - r**2) ** 3, 1.0)
        losses[d] = loss
    scores = {d: float(loss.mean()) for d, loss in losses.items()}
    # The lowest degree within one standard error of the best score: a higher degree
    # that wins by less than the noise of cross-validation is not worth its terms.
    # The standard error is that of the paired differences, point by point.
    best = min(scores, key=lambda d: (scores[d], d))

    def close(d: int) -> bool:
        diff = losses[d] - losses[best]
        return float(diff.mean()) <= float(diff.std()) / math.sqrt(n)

    chosen = min(d for d in scores if close(d))
    return dataclasses.replace(fits[chosen], degree_scores=scores)
