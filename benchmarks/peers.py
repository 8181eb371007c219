"""The robust fitters kvro is compared with, all on kvro's canonical design.

The canonical design maps each x column onto [-1, 1] by the data's own range and
takes the monomials of total degree at most ``deg`` of the mapped columns, in the
order of the core's multi-indices. Every peer fits y on that design, so all methods
fit the same model and differ only in how they weigh the points.

`run_peer` returns a `PeerFit`: coefficients on the canonical design (y in its
original units) and an inlier mask: the fitter's own where it has one (RANSAC, sigma
clipping), IRLS weight > 0.5 for statsmodels RLM, else |residual| < 3 robust sigma of
the fitter's own residuals.
"""

from __future__ import annotations

import itertools
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import statsmodels.api as sm
from numpy.typing import NDArray
from scipy.optimize import least_squares
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import (
    HuberRegressor,
    LinearRegression,
    RANSACRegressor,
    TheilSenRegressor,
)

from kvro import kvro_core

Array = NDArray[np.float64]
Mask = NDArray[np.bool_]

MAD_TO_SIGMA = 1.482602218505602
CLIP = 3.0
MAX_CLIP_ROUNDS = 100
MDL_H = 20
GRID_PER_AXIS = 30


def robust_sigma(r: Array) -> float:
    """Normal-consistent median absolute deviation of residuals about their median."""
    return MAD_TO_SIGMA * float(np.median(np.abs(r - np.median(r))))


@dataclass(frozen=True)
class Design:
    """The map of x onto [-1, 1] per column and the total-degree monomials."""

    lo: Array
    hi: Array
    powers: NDArray[np.int64]  # (m, d), last variable fastest

    @classmethod
    def of(cls, x: Array, deg: int) -> Design:
        x = as_columns(x)
        d = x.shape[1]
        rows = [a for a in itertools.product(range(deg + 1), repeat=d) if sum(a) <= deg]
        return cls(x.min(axis=0), x.max(axis=0), np.array(rows, dtype=np.int64))

    @property
    def deg(self) -> int:
        return int(self.powers.sum(axis=1).max())

    def unit(self, x: Array) -> Array:
        x = as_columns(x)
        return (x - (self.lo + self.hi) / 2) / ((self.hi - self.lo) / 2)

    def matrix(self, x: Array) -> Array:
        u = self.unit(x)
        return np.prod(u[:, None, :] ** self.powers[None, :, :], axis=2)

    def penalties(self) -> tuple[Array, Array]:
        """R1, R2 on [-1, 1]^d for these monomials, as the fit's energy defines them."""
        d = self.powers.shape[1]
        if d == 1:
            return kvro_core.smoothness_penalty_matrices_1d(self.deg, -1.0, 1.0)
        R1, R2, tensor = kvro_core.build_penalty_matrices_nd(
            [self.deg] * d, [(-1.0, 1.0)] * d, GRID_PER_AXIS
        )
        index = {tuple(p): i for i, p in enumerate(tensor)}
        keep = [index[tuple(p)] for p in self.powers.tolist()]
        return R1[np.ix_(keep, keep)], R2[np.ix_(keep, keep)]


def as_columns(x: Array) -> Array:
    x = np.asarray(x, dtype=np.float64)
    return x[:, None] if x.ndim == 1 else x


def energy(design: Design, x: Array, y: Array, fitted: Array, gamma2: float = 1e-3) -> float:
    """The sampler's penalised energy of the polynomial through `fitted` (at x).

    In canonical units: v = (y - median) / mad(y); the polynomial's coefficients on
    the canonical design come from least squares of its scaled values at x, which is
    exact since they lie in the span of the design.
    """
    mad = kvro_core.mad(y)
    scale = mad if mad > 0 else (float(np.std(y)) or 1.0)
    center = float(np.median(y))
    v = (y - center) / scale
    X = design.matrix(x)
    b = np.linalg.lstsq(X, (fitted - center) / scale, rcond=None)[0]
    R1, R2 = design.penalties()
    return kvro_core.mdl_score_reg(X @ b, v, X.shape[1], MDL_H, b, R1, R2, 0.0, gamma2)


@dataclass
class PeerFit:
    coef: Array  # on the canonical design, y in original units
    inliers: Mask
    seconds: float


def _residual_mask(r: Array) -> Mask:
    """Inliers of a fit without a mask of its own: |r| < 3 robust sigma of its residuals."""
    s = robust_sigma(r)
    return np.abs(r) < CLIP * s if s > 0 else np.ones(r.shape, dtype=bool)


def ols(X: Array, y: Array, seed: int) -> tuple[Array, Mask]:
    b = np.linalg.lstsq(X, y, rcond=None)[0]
    return b, _residual_mask(y - X @ b)


def _rlm(norm: sm.robust.norms.RobustNorm) -> Callable[[Array, Array, int], tuple[Array, Mask]]:
    def fit(X: Array, y: Array, seed: int) -> tuple[Array, Mask]:
        res = sm.RLM(y, X, M=norm).fit()
        # The IRLS weight is 0.5 at |r| = 2.69 s (Huber) and 2.54 s (Tukey).
        return np.asarray(res.params), np.asarray(res.weights) > 0.5

    return fit


def sk_huber(X: Array, y: Array, seed: int) -> tuple[Array, Mask]:
    est = HuberRegressor(fit_intercept=True, max_iter=1000).fit(X[:, 1:], y)
    b = np.concatenate([[est.intercept_], est.coef_])
    return b, _residual_mask(y - X @ b)


def ransac(X: Array, y: Array, seed: int) -> tuple[Array, Mask]:
    # scikit-learn's defaults: m points per trial, 100 trials, threshold mad(y).
    est = RANSACRegressor(LinearRegression(fit_intercept=True), random_state=seed)
    est.fit(X[:, 1:], y)
    inner = est.estimator_
    return np.concatenate([[inner.intercept_], inner.coef_]), est.inlier_mask_.copy()


def theil_sen(X: Array, y: Array, seed: int) -> tuple[Array, Mask]:
    est = TheilSenRegressor(fit_intercept=True, random_state=seed).fit(X[:, 1:], y)
    b = np.concatenate([[est.intercept_], est.coef_])
    return b, _residual_mask(y - X @ b)


def _least_squares(loss: str) -> Callable[[Array, Array, int], tuple[Array, Mask]]:
    def fit(X: Array, y: Array, seed: int) -> tuple[Array, Mask]:
        # Start from least squares; f_scale is the robust sigma of its residuals, the
        # scale at which the loss turns from quadratic to robust.
        b0 = np.linalg.lstsq(X, y, rcond=None)[0]
        f_scale = robust_sigma(y - X @ b0) or 1.0
        res = least_squares(lambda b: X @ b - y, b0, jac=lambda b: X, loss=loss, f_scale=f_scale)
        return res.x, _residual_mask(y - X @ res.x)

    return fit


def sigma_clip(X: Array, y: Array, seed: int) -> tuple[Array, Mask]:
    """Least squares on the kept points, keep |r| <= 3 robust sigma, to a fixed point."""
    keep = np.ones(len(y), dtype=bool)
    b = np.linalg.lstsq(X, y, rcond=None)[0]
    for _ in range(MAX_CLIP_ROUNDS):
        r = y - X @ b
        s = MAD_TO_SIGMA * float(np.median(np.abs(r[keep])))
        new = np.abs(r) <= CLIP * s
        if new.sum() < X.shape[1] or np.array_equal(new, keep):
            break
        keep = new
        b = np.linalg.lstsq(X[keep], y[keep], rcond=None)[0]
    return b, keep


PEERS: dict[str, Callable[[Array, Array, int], tuple[Array, Mask]]] = {
    "RLM Huber": _rlm(sm.robust.norms.HuberT()),
    "RLM Tukey": _rlm(sm.robust.norms.TukeyBiweight()),
    "sk Huber": sk_huber,
    "RANSAC": ransac,
    "Theil-Sen": theil_sen,
    "lsq soft_l1": _least_squares("soft_l1"),
    "lsq cauchy": _least_squares("cauchy"),
    "3-sigma clip": sigma_clip,
}
REFERENCE = {"least squares": ols}


def run_peer(name: str, X: Array, y: Array, seed: int) -> PeerFit | None:
    """Fit by the named peer and time it; None when the peer gives up with an error."""
    fitter = PEERS.get(name) or REFERENCE[name]
    t0 = time.perf_counter()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            warnings.simplefilter("ignore", RuntimeWarning)
            b, mask = fitter(X, y, seed)
    except (ValueError, np.linalg.LinAlgError):
        return None
    return PeerFit(np.asarray(b, dtype=np.float64), mask, time.perf_counter() - t0)
