"""Robust polynomial fits of y on one or more x columns, built on kvro_core.

The fits work in scaled units: every x column is mapped onto [-1, 1] and y is centred
on its median and divided by its median absolute deviation. The monomial basis is
then well conditioned, and coefficients of order one suit the sampler, whose chains
start from normal deviates of standard deviation 0.5 and move in steps of 0.05.
Coefficients are reported in both the scaled and the original units.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from kvro import kvro_core

METHODS = ("ols", "penalised", "mcmc")

# Resolution of the MDL model term; the sampler's default H_piH, so the score reported
# for every method is the energy the sampler minimises.
MDL_H = 20

# Largest work matrix (grid points times basis functions) of the N-dimensional
# penalty builder; beyond it the grid per axis is made coarser.
MAX_GRID_ENTRIES = 20_000_000

# Largest basis: the two penalty matrices grow with its square (2000 terms: 32 MB each).
MAX_TERMS = 2000
DEFAULT_GRID_PER_AXIS = 30

Vector = NDArray[np.float64]


class DataError(ValueError):
    """Input that cannot be fitted: the message is meant for the user as it stands."""


@dataclass(frozen=True)
class Scaling:
    """The affine maps between the original units and the fitting units."""

    x_center: list[float]
    x_half_width: list[float]
    y_center: float
    y_scale: float

    def x_to_unit(self, x_cols: list[Vector]) -> list[Vector]:
        return [
            (x - c) / h for x, c, h in zip(x_cols, self.x_center, self.x_half_width, strict=True)
        ]

    def y_from_unit(self, v: Vector) -> Vector:
        return v * self.y_scale + self.y_center


@dataclass(frozen=True)
class Basis:
    """Tensor-product monomials of one degree per axis on [-1, 1]^D, with penalties."""

    deg: int
    multi_indices: list[list[int]]
    R1: NDArray[np.float64]
    R2: NDArray[np.float64]
    grid_per_axis: int

    @property
    def dims(self) -> int:
        return len(self.multi_indices[0])

    def design(self, u_cols: list[Vector]) -> NDArray[np.float64]:
        if self.dims == 1:
            return kvro_core.design_matrix_1d(self.deg, u_cols[0])
        return kvro_core.design_matrix_nd(self.multi_indices, u_cols)


@dataclass
class Fit:
    method: str
    coef_unit: Vector  # coefficients of the basis on the scaled variables
    coef: Vector  # the same polynomial as coefficients of monomials in the original units
    hit_rate: float
    mdl: float
    mdl_penalised: float
    seconds: float


@dataclass
class Problem:
    x_cols: list[Vector]
    y: Vector
    scaling: Scaling
    basis: Basis
    X: NDArray[np.float64]  # design matrix on the scaled x
    v: Vector  # scaled y

    @property
    def hit_tolerance_unit(self) -> float:
        # The rule of the MDL score: 0.4 mad, or 0.4 when the mad is not positive.
        m = kvro_core.mad(self.v)
        return 0.4 * m if m > 0 else 0.4

    @property
    def hit_tolerance(self) -> float:
        """The hit tolerance in the original units of y."""
        return self.hit_tolerance_unit * self.scaling.y_scale

    def fitted(self, coef_unit: Vector) -> Vector:
        """The fit at the data's own x, in the original units of y."""
        return self.scaling.y_from_unit(self.X @ coef_unit)

    def predict(self, coef_unit: Vector, x_cols: list[Vector]) -> Vector:
        u = self.scaling.x_to_unit([np.asarray(x, dtype=np.float64) for x in x_cols])
        return self.scaling.y_from_unit(self.basis.design(u) @ coef_unit)


def make_basis(deg: int, dims: int) -> Basis:
    if dims == 1:
        R1, R2 = kvro_core.smoothness_penalty_matrices_1d(deg, -1.0, 1.0)
        return Basis(deg, [[p] for p in range(deg + 1)], R1, R2, 600)
    n_terms = (deg + 1) ** dims
    n = DEFAULT_GRID_PER_AXIS
    while n > 2 and n**dims * n_terms > MAX_GRID_ENTRIES:
        n -= 1
    R1, R2, multi_indices = kvro_core.build_penalty_matrices_nd(
        [deg] * dims, [(-1.0, 1.0)] * dims, n
    )
    return Basis(deg, multi_indices, R1, R2, n)


def prepare(x_cols: list[Vector], y: Vector, deg: int, x_names: list[str]) -> Problem:
    """Check the data against the model, scale it and build the design and penalties."""
    if deg < 0:
        raise DataError(f"the degree must not be negative (got {deg})")
    if not all(np.isfinite(a).all() for a in [y, *x_cols]):
        raise DataError("x and y must hold finite numbers only")
    n = len(y)
    n_terms = (deg + 1) ** len(x_cols)
    if n_terms > MAX_TERMS:
        raise DataError(
            f"degree {deg} in {len(x_cols)} variable(s) gives {n_terms} coefficients, "
            f"more than the {MAX_TERMS} kvro fits"
        )
    if n < n_terms:
        raise DataError(
            f"{n} rows are too few for degree {deg} in {len(x_cols)} variable(s): "
            f"the model has {n_terms} coefficients"
        )
    centers, halves = [], []
    for x, name in zip(x_cols, x_names, strict=True):
        lo, hi = float(np.min(x)), float(np.max(x))
        half = (hi - lo) / 2
        if not half > 0 or not math.isfinite(half):
            raise DataError(f"column {name!r} is constant or too wide to scale onto [-1, 1]")
        centers.append(lo + half)
        halves.append(half)
    y_scale = kvro_core.mad(y)
    if not y_scale > 0:
        # More than half of y is one value: fall back to the standard deviation.
        y_scale = float(np.std(y)) or 1.0
    scaling = Scaling(centers, halves, float(np.median(y)), y_scale)
    basis = make_basis(deg, len(x_cols))
    u_cols = scaling.x_to_unit(x_cols)
    v = (y - scaling.y_center) / scaling.y_scale
    return Problem(x_cols, y, scaling, basis, basis.design(u_cols), v)


def original_units(problem: Problem, coef_unit: Vector) -> Vector:
    """Coefficients of the same polynomial as monomials in the original x and y."""
    s = problem.scaling
    deg, dims = problem.basis.deg, problem.basis.dims
    tensor = np.zeros((deg + 1,) * dims)
    for b, alpha in zip(coef_unit, problem.basis.multi_indices, strict=True):
        tensor[tuple(alpha)] = b
    # Row i of T holds the monomial coefficients of ((x - c)/h)^i, from row i - 1 times
    # (x/h - c/h). Far from zero they may overflow to inf, which is the truth about
    # monomials there; the scaled coefficients stay usable.
    with np.errstate(over="ignore", invalid="ignore"):
        for d in range(dims):
            c, h = s.x_center[d], s.x_half_width[d]
            T = np.zeros((deg + 1, deg + 1))
            T[0, 0] = 1.0
            for i in range(1, deg + 1):
                T[i, 1:] = T[i - 1, :-1] / h
                T[i] -= T[i - 1] * (c / h)
            tensor = np.moveaxis(np.tensordot(tensor, T, axes=([d], [0])), -1, d)
        coef = np.array([tensor[tuple(a)] for a in problem.basis.multi_indices]) * s.y_scale
    coef[0] += s.y_center
    return coef


def _fit_one(
    problem: Problem, method: str, gamma1: float, gamma2: float, seed: int
) -> tuple[Vector, float]:
    X, v, R1, R2 = problem.X, problem.v, problem.basis.R1, problem.basis.R2
    t0 = time.perf_counter()
    if method == "ols":
        coef = kvro_core.ols(X, v)
    elif method == "penalised":
        coef = kvro_core.fit_regularized_linear(X, v, R1, R2, gamma1, gamma2)
    elif method == "mcmc":
        coef = np.array(
            kvro_core.TournamentMCMC(seed=seed).fit(X, v, R1, R2, gamma1, gamma2).beta_mcmc
        )
    else:
        raise ValueError(f"unknown method {method!r}; the methods are {', '.join(METHODS)}")
    return coef, time.perf_counter() - t0


def fit(problem: Problem, methods: list[str], gamma1: float, gamma2: float, seed: int) -> list[Fit]:
    """Fit with each method and score every fit the same way, in the scaled units."""
    k = len(problem.basis.multi_indices)
    eps = problem.hit_tolerance_unit
    fits = []
    for method in methods:
        coef, seconds = _fit_one(problem, method, gamma1, gamma2, seed)
        vp = problem.X @ coef
        fits.append(
            Fit(
                method,
                coef,
                original_units(problem, coef),
                kvro_core.compute_sr(vp, problem.v, eps),
                kvro_core.mdl_score(vp, problem.v, k, MDL_H),
                kvro_core.mdl_score_reg(
                    vp,
                    problem.v,
                    k,
                    MDL_H,
                    coef,
                    problem.basis.R1,
                    problem.basis.R2,
                    gamma1,
                    gamma2,
                ),
                seconds,
            )
        )
    return fits


# The demo's data: a smooth curve on [-1, 1], normal noise, and a share of gross
# outliers, all above the curve, as a contaminating process would put them.
DEMO_SEED = 2024
DEMO_POINTS = 200
DEMO_OUTLIER_SHARE = 0.15
DEMO_NOISE = 0.1


def demo_curve(x: Vector) -> Vector:
    return np.sin(2.5 * x) + 0.5 * x**2


def demo_data() -> tuple[Vector, Vector, NDArray[np.bool_]]:
    """x, y and the mask of planted outliers, the same on every run."""
    rng = np.random.default_rng(DEMO_SEED)
    x = np.linspace(-1.0, 1.0, DEMO_POINTS)
    y = demo_curve(x) + rng.normal(0.0, DEMO_NOISE, DEMO_POINTS)
    n_out = round(DEMO_OUTLIER_SHARE * DEMO_POINTS)
    idx = rng.choice(DEMO_POINTS, size=n_out, replace=False)
    y[idx] += rng.uniform(1.5, 3.5, n_out)
    outlier = np.zeros(DEMO_POINTS, dtype=bool)
    outlier[idx] = True
    return x, y, outlier
