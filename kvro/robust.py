"""The robust method: the sampler classifies, least squares refits.

The tournament sampler is used as a classifier of inliers and outliers, not as a
curve fitter: its energy counts points inside a tolerance band and is blind to where
in the band they lie, so its own curve is rough, but the points it keeps are the
right ones. Least squares on them, repeated until the inlier set stops changing,
gives the precise curve. A second chain of refits starts from plain least squares,
and the better of the two by the sampler's own energy is the answer, so that a
search that failed cannot make the result much worse than least squares. The
inliers of each round are the points within a few robust sigmas of the current
curve: four, or fewer where that clearly lowers the energy (skewed or
heteroscedastic noise).

Everything here works in canonical units (x on [-1, 1], y by median and median
absolute deviation), in which the energy is that of the core's MDL score.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from kvro import kvro_core

# Rows the classifier sees at most; the refits use every row.
CLASSIFIER_ROWS = 2000

# Inliers of a refit: |residual| < clip * robust sigma of the current inliers'
# residuals, for each clip in turn. A tighter clip is taken only when its energy is
# lower by CLIP_MARGIN (relative) plus CLIP_MARGIN_HITS: one more hit lowers the
# energy by about n / hits, so the absolute part asks for a few hits more than
# chance gives on clean data.
CLIPS = (4.0, 3.0, 2.0)
CLIP_MARGIN = 0.05
CLIP_MARGIN_HITS = 3.0
MAX_REFITS = 30

# Relative margin by which the robust fit's energy must exceed least squares' to warn.
WARN_MARGIN = 0.05

# Median absolute deviation of a normal sample, divided by its standard deviation.
MAD_TO_SIGMA = 1.482602218505602

Array = NDArray[np.float64]
Mask = NDArray[np.bool_]


class FitWarning(UserWarning):
    """A fit that ran but whose result deserves a second look."""


@dataclass
class Problem:
    """A design, the data and the energy's settings, all in canonical units."""

    X: Array
    v: Array
    R1: Array
    R2: Array
    gamma1: float
    gamma2: float
    H: int

    @property
    def eps(self) -> float:
        """The hit tolerance of the MDL score: 0.4 mad(v), or 0.4 when that is 0."""
        mad = kvro_core.mad(self.v)
        return 0.4 * mad if mad > 0 else 0.4

    def energy(self, b: Array, X: Array | None = None, v: Array | None = None) -> float:
        """The sampler's energy (penalised MDL score) of b, on the given rows or all."""
        X = self.X if X is None else X
        v = self.v if v is None else v
        return kvro_core.mdl_score_reg(
            X @ b, v, len(b), self.H, b, self.R1, self.R2, self.gamma1, self.gamma2
        )

    def scores(self, b: Array) -> tuple[float, float, float]:
        """Hit rate, MDL score and penalised MDL score of b."""
        vp = self.X @ b
        return (
            kvro_core.compute_sr(vp, self.v, self.eps),
            kvro_core.mdl_score(vp, self.v, len(b), self.H),
            self.energy(b),
        )

    def sample(
        self, X: Array, v: Array, sampler: dict[str, Any], seed: int, scale: float = 1.0
    ) -> Array:
        """The sampler's best state for the rows (X, v / scale), in the units of v.

        Dividing y by `scale` divides every coefficient by it and leaves the hit term
        of the energy unchanged (its tolerance scales with y); multiplying the penalty
        weights by scale**2 keeps the penalty term, so the sampler minimises the
        same energy.
        """
        mcmc = kvro_core.TournamentMCMC(**sampler, H_piH=self.H, seed=seed)
        g1, g2 = self.gamma1 * scale**2, self.gamma2 * scale**2
        res = mcmc.fit(X, v / scale, self.R1, self.R2, g1, g2)
        return np.array(res.beta_mcmc) * scale


def robust_fit(
    p: Problem, sampler: dict[str, Any], seed: int, classifier_rows: int | None
) -> tuple[Array, Mask, int, float]:
    """Coefficients, inlier mask, rounds of least squares and the clip of the inliers."""
    X, v = p.X, p.v
    n = len(v)
    # On many rows the classifier and the choice of start and clip run on a seeded
    # subsample; one chain of refits on all rows then starts from the winner.
    rows: slice | NDArray[np.int64] = slice(None)
    if classifier_rows is not None and n > classifier_rows:
        rng = np.random.default_rng(seed)
        rows = np.sort(rng.choice(n, size=classifier_rows, replace=False))
    Xs, vs = X[rows], v[rows]
    b_ols = kvro_core.ols(Xs, vs)
    # The chains start near zero with steps of fixed size; dividing y by the size of the
    # least-squares coefficients puts the answer at a distance of about one.
    scale = max(float(np.max(np.abs(b_ols))), 1e-3)
    b_mcmc = p.sample(Xs, vs, sampler, seed, scale)
    # The widest clip from both starts, the better by energy; each tighter clip then
    # continues from the previous one's fit. A tighter clip must beat the chosen one
    # clearly, since on clean data it only throws good points away.
    wide = CLIPS[0]
    candidates = [
        refit(Xs, vs, b_mcmc, np.abs(Xs @ b_mcmc - vs) < p.eps, wide),
        refit(Xs, vs, b_ols, np.ones(len(vs), dtype=bool), wide),
    ]
    e, b, inliers, k = min(
        ((p.energy(b, Xs, vs), b, inliers, k) for b, inliers, k in candidates),
        key=lambda c: c[0],
    )
    m = X.shape[1]
    best = chain = (e, b, inliers, k, wide)
    for clip in CLIPS[1:]:
        r = vs - Xs @ chain[1]
        start = np.abs(r) < clip * inlier_sigma(r[chain[2]], m)
        b, inliers, k = refit(Xs, vs, chain[1], start, clip)
        chain = (p.energy(b, Xs, vs), b, inliers, k, clip)
        if chain[0] < best[0] - CLIP_MARGIN * abs(best[0]) - CLIP_MARGIN_HITS:
            best = chain
    _, b, inliers, k, clip = best
    if isinstance(rows, np.ndarray):
        r = v - X @ b
        start = np.abs(r) < clip * inlier_sigma(r[rows][inliers], m)
        b, inliers, k_all = refit(X, v, b, start, clip)
        k += k_all
    e, e_ols = p.energy(b), p.energy(kvro_core.ols(X, v))
    # A point or two more or fewer inside the band is noise, not a failed fit.
    if e > e_ols + WARN_MARGIN * (1.0 + abs(e_ols)):
        warnings.warn(
            f"the robust fit scores {e:.4g} on the sampler's energy, worse than least "
            f"squares ({e_ols:.4g}): the data may have no clear inlier set at this degree",
            FitWarning,
            stacklevel=5,
        )
    return b, inliers, k, clip


def refit(X: Array, v: Array, b: Array, inliers: Mask, clip: float) -> tuple[Array, Mask, int]:
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
        new = np.abs(r) < clip * max(inlier_sigma(r[inliers], m), 1e-12)
        if np.array_equal(new, inliers) or (previous is not None and np.array_equal(new, previous)):
            return b, inliers, k
        previous, inliers = inliers, new
    return b, inliers, MAX_REFITS


def inlier_sigma(r: Array, m: int) -> float:
    """Robust sigma of the residuals of a least-squares fit of m coefficients.

    Least squares pulls its residuals towards zero by the m degrees of freedom it
    spends; without the correction a small inlier set would shrink itself.
    """
    n = r.size
    return robust_sigma(r) * math.sqrt(n / (n - m)) if n > m else math.inf


def robust_sigma(r: Array) -> float:
    """1.4826 times the median absolute deviation: sigma for normal residuals."""
    if r.size == 0:
        return float("nan")
    return MAD_TO_SIGMA * kvro_core.mad(r)
