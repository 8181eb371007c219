"""`PolyFit`, the result of `kvro.fit`: a fitted polynomial that you call like a function."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kvro import basis as _basis
from kvro.basis import AxisMap

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
        Robust standard deviation of the inlier residuals, in units of y: 1.4826 times
        their median absolute deviation, times sqrt(n / (n - m)) for the m degrees of
        freedom the fit spent on n inliers.
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
        # A covariance that overflowed in the original units gives nan, not a warning.
        with np.errstate(invalid="ignore"):
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
        xa = _basis.as_columns(x, self.n_features, "x")
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
        >>> d = json.loads(json.dumps(f.to_dict()))
        >>> d["method"], d["rows"], d["inliers"], d["powers"]
        ('ols', 10, 10, [[0], [1]])
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


def frozen(a: np.ndarray) -> Any:
    """The array, made read-only, so that a frozen result stays frozen."""
    a.setflags(write=False)
    return a


def _finite(value: float) -> float | None:
    return float(value) if math.isfinite(value) else None


def _finite_list(a: Array) -> list[float | None]:
    return [_finite(c) for c in a.tolist()]
