"""`kvro.fit`: one call from data to a robust polynomial, and its result `PolyFit`.

The robust method uses the tournament sampler as a classifier of inliers and
outliers, not as a curve fitter: the sampler's energy counts points inside a
tolerance band and is blind to where in the band they lie, so its own curve is
rough, but the points it keeps are the right ones. Least squares on them, repeated
until the inlier set stops changing, gives the precise curve. A second chain of
refits starts from plain least squares, and the better of the two by the sampler's
own energy is the answer, so that a search that failed cannot make the result much
worse than least squares.

All fitting happens in canonical units: every x column mapped onto [-1, 1] and y
centred on its median and divided by its median absolute deviation. Scores
(`hit_rate`, `mdl`, `mdl_penalised`) are those of the core's MDL score in these units,
whatever the method.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kvro import basis as _basis
from kvro import kvro_core
from kvro.basis import AxisMap, DataError

METHODS = ("robust", "ols", "penalised", "mcmc")

# Resolution of the MDL model term; the sampler's default H_piH.
MDL_H = 20

# The sampler's settings per method. The robust method needs only a classifier: a
# deep phase of 500 steps per elite gave the same refit as 2000 in about half the
# time, while fewer chains or smaller steps lost the outliers.
SAMPLER_DEFAULTS = {
    "mcmc": dict(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05),
    "robust": dict(n_chains=25, n_warmup=200, n_deep=500, n_elite=5, step_size=0.05),
}

# Rows the robust method's classifier sees at most; the refits use every row.
CLASSIFIER_ROWS = 2000

# Inliers of a refit: |residual| < clip * robust sigma of the current inliers' residuals,
# for each clip in turn; a tighter clip is taken only when its energy is lower by
# CLIP_MARGIN (relative) plus CLIP_MARGIN_HITS, as on skewed or heteroscedastic data;
# one more hit lowers the energy by about n / hits, so the absolute part asks for a
# few hits more than chance would give on clean data.
CLIPS = (4.0, 3.0, 2.0)
CLIP_MARGIN = 0.05
CLIP_MARGIN_HITS = 3.0
MAX_REFITS = 30

# Relative margin by which the robust fit's energy must exceed least squares' to warn.
WARN_MARGIN = 0.05

# Median absolute deviation of a normal sample, divided by its standard deviation.
MAD_TO_SIGMA = 1.482602218505602

# Candidate degrees of deg="auto", and the folds of its cross-validation.
AUTO_MAX_DEG = 10
AUTO_FOLDS = 5


class FitWarning(UserWarning):
    """A fit that ran but whose result deserves a second look."""


Array = NDArray[np.float64]


@dataclass(frozen=True, repr=False, eq=False)
class PolyFit:
    """A fitted polynomial, its inliers and its uncertainty (the result of `kvro.fit`).

    Attributes
    ----------
    coef : ndarray, shape (m,)
        Coefficients of the monomials ``prod_d x_d ** powers[i, d]`` in the original
        units of x and y. Far from x = 0 they are large and cancel; `predict` does
        not use them.
    powers : ndarray of int, shape (m, d)
        Exponents of each coefficient's monomial.
    inliers : ndarray of bool, shape (n,)
        True for the rows the final least-squares fit used (all rows for ``"ols"``
        and ``"penalised"``, the hits of the sampler's state for ``"mcmc"``).
    residual_scale : float
        Robust standard deviation (1.4826 times the median absolute deviation) of the
        inlier residuals, in units of y.
    cov : ndarray, shape (m, m)
        Covariance of `coef` from least squares on the inliers (for ``"mcmc"``, of
        least squares on its hits).
    hit_rate, mdl, mdl_penalised : float
        The core's hit rate, MDL score and penalised MDL score (the sampler's energy)
        of the polynomial in canonical units; lower MDL is better.
    method, deg, basis, seed :
        The settings the fit ran with (`deg` resolved when ``"auto"`` was asked).
    n_refits, clip :
        For ``"robust"``: the rounds of least squares, and the threshold of the final
        inliers in robust sigmas (their residuals are below ``clip * residual_scale``);
        `clip` is None for the other methods.
    degree_scores : dict or None
        For ``deg="auto"``, the cross-validation score of each candidate degree
        (lower is better).

    Examples
    --------
    >>> import numpy as np, kvro
    >>> x = np.linspace(0.0, 2.0, 50)
    >>> f = kvro.fit(x, 1.0 + 2.0 * x - x**2, 2, method="ols")
    >>> np.round(f.coef, 6).tolist()
    [1.0, 2.0, -1.0]
    >>> float(np.round(f(1.5), 6))
    1.75
    """

    coef: Array
    powers: NDArray[np.int64]
    inliers: NDArray[np.bool_]
    residual_scale: float
    cov: Array
    hit_rate: float
    mdl: float
    mdl_penalised: float
    method: str
    deg: int
    basis: str
    seed: int
    n_refits: int
    clip: float | None
    degree_scores: dict[int, float] | None
    coef_unit: Array = field(repr=False)
    x_map: AxisMap = field(repr=False)
    y_center: float = field(repr=False)
    y_scale: float = field(repr=False)

    @property
    def n_features(self) -> int:
        """Number of x variables."""
        return int(self.powers.shape[1])

    @property
    def stderr(self) -> Array:
        """Standard errors of `coef`: the square roots of the diagonal of `cov`."""
        return np.sqrt(np.diag(self.cov))

    def predict(self, x: ArrayLike) -> Array:
        """The fitted polynomial at `x` (shaped like the `x` of the fit), in units of y.

        Evaluated through the fit's own map onto [-1, 1], so it stays accurate where
        the monomial coefficients `coef` would cancel catastrophically.

        Examples
        --------
        >>> import numpy as np, kvro
        >>> f = kvro.fit([0.0, 1.0, 2.0, 3.0], [1.0, 3.0, 5.0, 7.0], 1, method="ols")
        >>> f.predict([10.0]).round(6).tolist()
        [21.0]
        """
        xa = _as_x(x, self.n_features, "x")
        u = self.x_map.to_unit(xa)
        yp = self.y_center + self.y_scale * (_basis.design(u, self.powers) @ self.coef_unit)
        # One variable: shaped like x, so a scalar in gives a scalar array out.
        return yp.reshape(np.shape(x)) if self.n_features == 1 else yp

    def __call__(self, x: ArrayLike) -> Array:
        return self.predict(x)

    def polynomial(self) -> np.polynomial.Polynomial:
        """The fit of one variable as a `numpy.polynomial.Polynomial`.

        Its `domain` is the x range of the data and its `window` [-1, 1], so it is
        evaluated as accurately as `predict`; ``.convert()`` gives plain coefficients.

        Examples
        --------
        >>> import numpy as np, kvro
        >>> x = np.linspace(10.0, 12.0, 20)
        >>> p = kvro.fit(x, 3.0 * x, 1, method="ols").polynomial()
        >>> np.round(p.convert().coef, 6).tolist()
        [0.0, 3.0]
        """
        if self.n_features != 1:
            raise ValueError("polynomial() needs a fit of one variable")
        c, h = float(self.x_map.center[0]), float(self.x_map.half_width[0])
        coef = self.y_scale * self.coef_unit
        coef[0] += self.y_center
        return np.polynomial.Polynomial(coef, domain=[c - h, c + h], window=[-1.0, 1.0])

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready summary: every float finite or None, every array a list.

        Examples
        --------
        >>> import json, numpy as np, kvro
        >>> f = kvro.fit(np.arange(10.0), np.arange(10.0), 1, method="ols")
        >>> sorted(json.loads(json.dumps(f.to_dict())))[:4]
        ['basis', 'coef', 'coef_unit', 'cov']
        """
        return {
            "method": self.method,
            "deg": self.deg,
            "basis": self.basis,
            "seed": self.seed,
            "n_features": self.n_features,
            "powers": self.powers.tolist(),
            "coef": _finite_list(self.coef),
            "stderr": _finite_list(self.stderr),
            "cov": [_finite_list(row) for row in self.cov],
            "rows": int(self.inliers.size),
            "inliers": int(self.inliers.sum()),
            "residual_scale": _finite(self.residual_scale),
            "hit_rate": _finite(self.hit_rate),
            "mdl": _finite(self.mdl),
            "mdl_penalised": _finite(self.mdl_penalised),
            "n_refits": self.n_refits,
            "clip": self.clip,
            "degree_scores": None
            if self.degree_scores is None
            else {str(d): _finite(s) for d, s in self.degree_scores.items()},
            "coef_unit": _finite_list(self.coef_unit),
            "scaling": {
                "x_center": self.x_map.center.tolist(),
                "x_half_width": self.x_map.half_width.tolist(),
                "y_center": self.y_center,
                "y_scale": self.y_scale,
            },
        }

    def __repr__(self) -> str:
        n = self.inliers.size
        lines = [
            f"PolyFit(method={self.method!r}, deg={self.deg}, basis={self.basis!r}, "
            f"n_features={self.n_features}, seed={self.seed})",
            f"  inliers {int(self.inliers.sum())} of {n}, residual scale "
            f"{self.residual_scale:.4g}, hit rate {self.hit_rate:.3f}, "
            f"MDL {self.mdl:.2f} (penalised {self.mdl_penalised:.2f})",
        ]
        names = [f"x{d}" for d in range(self.n_features)] if self.n_features > 1 else ["x"]
        shown = min(len(self.coef), 12)
        for i in range(shown):
            lines.append(
                f"  {term_name(self.powers[i], names):>12s}  {self.coef[i]: .6g}"
                f"  +/- {self.stderr[i]:.2g}"
            )
        if shown < len(self.coef):
            lines.append(f"  ... {len(self.coef) - shown} more terms")
        return "\n".join(lines)


def term_name(powers: Sequence[int], names: Sequence[str]) -> str:
    """``"x^2*z"`` for the exponents (2, 1) of the variables x and z; ``"1"`` for none."""
    parts = [n if p == 1 else f"{n}^{p}" for n, p in zip(names, powers, strict=True) if p > 0]
    return "*".join(parts) or "1"


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
    xa = _as_x(x, None, "x")
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
    if deg == "auto":
        return _fit_auto(u, v, x_map, y_center, y_scale, max_deg, opts, sampler)
    if isinstance(deg, bool) or not isinstance(deg, numbers.Integral) or deg < 0:
        raise ValueError(f"deg must be a non-negative int or 'auto' (got {deg!r})")
    return _fit_degree(u, v, int(deg), x_map, y_center, y_scale, opts, sampler)


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


def _as_x(x: ArrayLike, dims: int | None, name: str) -> Array:
    """x as an (n, d) float array; one-dimensional input is one variable."""
    try:
        a = np.asarray(x, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise DataError(f"{name} must be numeric: {e}") from None
    if a.ndim == 0 and dims == 1:
        a = a.reshape(1)
    if a.ndim == 1:
        a = a[:, None]
    if a.ndim != 2:
        raise DataError(f"{name} must be one- or two-dimensional (got shape {np.shape(x)})")
    if dims is not None and a.shape[1] != dims:
        raise DataError(f"{name} has {a.shape[1]} columns; the fit has {dims} variables")
    if dims is None and (a.shape[0] == 0 or a.shape[1] == 0):
        raise DataError(f"{name} is empty (shape {a.shape})")
    return a


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


@dataclass
class _Problem:
    """Everything of one fit in canonical units."""

    X: Array
    v: Array
    R1: Array
    R2: Array
    powers: NDArray[np.int64]
    deg: int
    eps: float  # the hit tolerance of the MDL score

    def energy(self, b: Array, opts: _Options) -> tuple[float, float, float]:
        """Hit rate, MDL score and penalised MDL score of the coefficients b."""
        vp = self.X @ b
        k = len(b)
        return (
            kvro_core.compute_sr(vp, self.v, self.eps),
            kvro_core.mdl_score(vp, self.v, k, opts.H),
            kvro_core.mdl_score_reg(
                vp, self.v, k, opts.H, b, self.R1, self.R2, opts.gamma1, opts.gamma2
            ),
        )


def _problem(u: Array, v: Array, deg: int, basis: str) -> _Problem:
    dims = u.shape[1]
    m = _basis.n_terms(deg, dims, basis)
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
    powers = _basis.monomial_powers(deg, dims, basis)
    R1, R2 = _basis.penalties(deg, powers, basis)
    mad = kvro_core.mad(v)
    eps = 0.4 * mad if mad > 0 else 0.4
    return _Problem(_basis.design(u, powers), v, R1, R2, powers, deg, eps)


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
    p = _problem(u, v, deg, opts.basis)
    b, inliers, n_refits, clip = _solve(p, opts, sampler)
    hit_rate, mdl, mdl_pen = p.energy(b, opts)
    r = p.v - p.X @ b
    cov_unit = _inlier_cov(p.X[inliers], r[inliers])
    A = _basis.to_original_units(p.powers, x_map) * y_scale
    coef = A @ b
    coef[0] += y_center
    with np.errstate(over="ignore", invalid="ignore"):
        cov = A @ cov_unit @ A.T
    return PolyFit(
        coef=_frozen(coef),
        powers=_frozen(p.powers),
        inliers=_frozen(inliers),
        residual_scale=_robust_sigma(r[inliers]) * y_scale,
        cov=_frozen(cov),
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
        coef_unit=_frozen(b),
        x_map=x_map,
        y_center=y_center,
        y_scale=y_scale,
    )


def _solve(
    p: _Problem, opts: _Options, sampler: dict[str, Any]
) -> tuple[Array, NDArray[np.bool_], int, float | None]:
    """Coefficients in canonical units, the inlier mask, the refits and their clip."""
    X, v = p.X, p.v
    everyone = np.ones(len(v), dtype=bool)
    if opts.method == "ols":
        return kvro_core.ols(X, v), everyone, 0, None
    if opts.method == "penalised":
        b = kvro_core.fit_regularized_linear(X, v, p.R1, p.R2, opts.gamma1, opts.gamma2)
        return b, everyone, 0, None
    if opts.method == "mcmc":
        b = _sample(X, v, p, opts, sampler, scale=1.0)
        return b, np.abs(X @ b - v) < p.eps, 0, None
    return _robust(p, opts, sampler)


def _sample(
    X: Array, v: Array, p: _Problem, opts: _Options, sampler: dict[str, Any], scale: float
) -> Array:
    """The sampler's best state for v / scale, returned in the units of v.

    Dividing y by `scale` divides every coefficient by it and leaves the hit term of
    the energy unchanged (its tolerance scales with y); multiplying the penalty weights
    by scale**2 keeps the penalty term too, so the sampler minimises the same energy.
    """
    mcmc = kvro_core.TournamentMCMC(**sampler, H_piH=opts.H, seed=opts.seed)
    g1, g2 = opts.gamma1 * scale**2, opts.gamma2 * scale**2
    res = mcmc.fit(X, v / scale, p.R1, p.R2, g1, g2)
    return np.array(res.beta_mcmc) * scale


def _robust(
    p: _Problem, opts: _Options, sampler: dict[str, Any]
) -> tuple[Array, NDArray[np.bool_], int, float]:
    X, v = p.X, p.v
    n = len(v)
    # On many rows the classifier and the choice between the two starts run on a seeded
    # subsample; one chain of refits on all rows then starts from the winner.
    rows: slice | NDArray[np.int64] = slice(None)
    if opts.classifier_rows is not None and n > opts.classifier_rows:
        rng = np.random.default_rng(opts.seed)
        rows = np.sort(rng.choice(n, size=opts.classifier_rows, replace=False))
    Xs, vs = X[rows], v[rows]
    b_ols = kvro_core.ols(Xs, vs)
    # The chains start near zero with steps of fixed size; dividing y by the size of the
    # least-squares coefficients puts the answer at a distance of about one.
    scale = max(float(np.max(np.abs(b_ols))), 1e-3)
    b_mcmc = _sample(Xs, vs, p, opts, sampler, scale)
    # The widest clip from both starts, the better by energy; each tighter clip then
    # continues from the previous one's fit. A tighter clip must beat the chosen one
    # clearly, since on clean data it only throws good points away.
    wide = CLIPS[0]
    e, b, inliers, k = min(
        (
            (_energy(Xs, vs, b, p, opts), b, inliers, k)
            for b, inliers, k in (
                _refit(Xs, vs, b_mcmc, np.abs(Xs @ b_mcmc - vs) < p.eps, wide),
                _refit(Xs, vs, b_ols, np.ones(len(vs), dtype=bool), wide),
            )
        ),
        key=lambda c: c[0],
    )
    best = chain = (e, b, inliers, k, wide)
    for clip in CLIPS[1:]:
        r = vs - Xs @ chain[1]
        start = np.abs(r) < clip * _robust_sigma(r[chain[2]])
        b, inliers, k = _refit(Xs, vs, chain[1], start, clip)
        chain = (_energy(Xs, vs, b, p, opts), b, inliers, k, clip)
        if chain[0] < best[0] - CLIP_MARGIN * abs(best[0]) - CLIP_MARGIN_HITS:
            best = chain
    _, b, inliers, k, clip = best
    if isinstance(rows, np.ndarray):
        r = v - X @ b
        start = np.abs(r) < clip * _robust_sigma(r[rows][inliers])
        b, inliers, k_all = _refit(X, v, b, start, clip)
        k += k_all
    e, e_ols = _energy(X, v, b, p, opts), _energy(X, v, kvro_core.ols(X, v), p, opts)
    # A point or two more or fewer inside the band is noise, not a failed fit.
    if e > e_ols + WARN_MARGIN * (1.0 + abs(e_ols)):
        warnings.warn(
            f"the robust fit scores {e:.4g} on the sampler's energy, worse than least "
            f"squares ({e_ols:.4g}): the data may have no clear inlier set at this degree",
            FitWarning,
            stacklevel=5,
        )
    return b, inliers, k, clip


def _energy(X: Array, v: Array, b: Array, p: _Problem, opts: _Options) -> float:
    return kvro_core.mdl_score_reg(
        X @ b, v, len(b), opts.H, b, p.R1, p.R2, opts.gamma1, opts.gamma2
    )


def _refit(
    X: Array, v: Array, b: Array, inliers: NDArray[np.bool_], clip: float
) -> tuple[Array, NDArray[np.bool_], int]:
    """Least squares on the inliers, repeated until they stop changing.

    The inliers of the next round are the points within `clip` robust sigmas of the
    current fit, the sigma measured on the current inliers' residuals. Never fewer
    than twice the coefficients (or all rows) take part, so that each least squares
    is well determined: short of that, the points nearest the curve b join.
    A set that alternates between two states ends the loop too.
    """
    n, m = X.shape
    floor = min(n, 2 * m)
    previous = None
    for k in range(1, MAX_REFITS + 1):
        if inliers.sum() < floor:
            nearest = np.argsort(np.abs(X @ b - v), kind="stable")[:floor]
            inliers = np.zeros(n, dtype=bool)
            inliers[nearest] = True
        b = kvro_core.ols(X[inliers], v[inliers])
        r = v - X @ b
        sigma = max(_robust_sigma(r[inliers]), 1e-12)
        new = np.abs(r) < clip * sigma
        if np.array_equal(new, inliers) or (previous is not None and np.array_equal(new, previous)):
            return b, inliers, k
        previous, inliers = inliers, new
    return b, inliers, MAX_REFITS


def _robust_sigma(r: Array) -> float:
    if r.size == 0:
        return float("nan")
    return MAD_TO_SIGMA * float(np.median(np.abs(r - np.median(r))))


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
    if isinstance(max_deg, bool) or not isinstance(max_deg, numbers.Integral) or max_deg < 0:
        raise ValueError(f"max_deg must be a non-negative int (got {max_deg!r})")
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


def _frozen(a: np.ndarray) -> Any:
    a.setflags(write=False)
    return a


def _finite(value: float) -> float | None:
    return float(value) if math.isfinite(value) else None


def _finite_list(a: Array) -> list[float | None]:
    return [_finite(c) for c in a.tolist()]
