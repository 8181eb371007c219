"""Monomial bases in fitting units, their smoothness penalties, and the maps onto [-1, 1].

A fit works on x mapped column by column onto [-1, 1], where monomials are well
conditioned. Its basis is either the tensor product of one degree per variable
(``"tensor"``) or the monomials of total degree at most ``deg`` (``"total"``, the
usual meaning of a polynomial of degree ``deg`` in several variables). Both list
their exponents in the order of the core's multi-indices, last variable fastest, so
a total-degree basis is a subset of the tensor basis of the same degree and its
penalties are the matching rows and columns of the tensor penalties.
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kvro import kvro_core

BASES = ("total", "tensor")

# The penalty matrices grow with the square of the basis (2000 terms: 32 MB each).
MAX_TERMS = 2000

# Grid points per axis of the penalties in several variables. The tensor builder
# works through a grid-by-basis matrix, so its grid is made coarser when that would
# exceed MAX_GRID_ENTRIES; the total-degree penalties factor over the axes and keep
# the full grid.
GRID_PER_AXIS = 30
MAX_GRID_ENTRIES = 20_000_000

# Grid of the one-variable penalties, the core's default.
GRID_1D = 600

Array = NDArray[np.float64]


class DataError(ValueError):
    """Input that cannot be fitted; the message is meant for the user as it stands."""


def n_terms(deg: int, dims: int, basis: str) -> int:
    """Number of monomials of the basis, without building it."""
    if basis == "tensor":
        return int((deg + 1) ** dims)
    return math.comb(deg + dims, dims)


def monomial_powers(deg: int, dims: int, basis: str) -> NDArray[np.int64]:
    """Exponents of each basis monomial, shape (terms, dims), last variable fastest."""
    if basis not in BASES:
        raise ValueError(f"unknown basis {basis!r}; the bases are {', '.join(BASES)}")
    if dims == 1 or basis == "tensor":
        rows = list(itertools.product(range(deg + 1), repeat=dims))
    else:
        rows = [a for a in itertools.product(range(deg + 1), repeat=dims) if sum(a) <= deg]
    return np.array(rows, dtype=np.int64).reshape(len(rows), dims)


@dataclass(frozen=True)
class AxisMap:
    """The affine map of each x column onto [-1, 1]: u = (x - center) / half_width."""

    center: Array
    half_width: Array

    @classmethod
    def of(cls, x: Array, names: list[str]) -> AxisMap:
        lo, hi = x.min(axis=0), x.max(axis=0)
        with np.errstate(over="ignore"):
            half = (hi - lo) / 2
        for j, name in enumerate(names):
            if not half[j] > 0:
                raise DataError(f"{name} is constant: it cannot be mapped onto [-1, 1]")
            if not math.isfinite(half[j]):
                raise DataError(f"the spread of {name} overflows double precision")
        return cls(lo + half, half)

    def to_unit(self, x: Array) -> Array:
        return (x - self.center) / self.half_width


def as_columns(x: ArrayLike, dims: int | None, name: str) -> Array:
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


def design(u: Array, powers: NDArray[np.int64]) -> Array:
    """Design matrix of the monomials `powers` at the rows of `u` (shape (n, dims))."""
    if u.shape[1] == 1:
        return kvro_core.design_matrix_1d(int(powers[-1, 0]), u[:, 0])
    return kvro_core.design_matrix_nd(powers.tolist(), list(u.T))


def penalties(deg: int, powers: NDArray[np.int64], basis: str) -> tuple[Array, Array]:
    """Gradient and Hessian penalties (R1, R2) of the basis on [-1, 1]^dims."""
    dims = powers.shape[1]
    if dims == 1:
        return kvro_core.smoothness_penalty_matrices_1d(deg, -1.0, 1.0, GRID_1D)
    if basis == "tensor":
        grid = GRID_PER_AXIS
        while grid > 2 and grid**dims * len(powers) > MAX_GRID_ENTRIES:
            grid -= 1
        R1, R2, _ = kvro_core.build_penalty_matrices_nd([deg] * dims, [(-1.0, 1.0)] * dims, grid)
        return R1, R2
    return total_degree_penalties(deg, powers, GRID_PER_AXIS)


def total_degree_penalties(deg: int, powers: NDArray[np.int64], grid: int) -> tuple[Array, Array]:
    """The tensor-product grid penalties restricted to the monomials `powers`.

    On a product grid the sum over grid points of a product of per-axis factors is the
    product of per-axis sums, so entry (a, b) of a derivative's Gram matrix is a
    product of small per-axis Gram matrices: no grid-sized array is formed, and a
    basis of many variables (whose tensor basis would be astronomically large) costs
    O(terms^2 * dims^3).
    """
    dims = powers.shape[1]
    t = np.linspace(-1.0, 1.0, grid)
    step = 2.0 / (grid - 1)
    p = np.arange(deg + 1)
    # tables[o][k, j]: the o-th derivative of t^j at grid point k.
    tables = []
    for order in range(3):
        coeff = np.ones(deg + 1)
        for i in range(order):
            coeff *= np.maximum(p - i, 0)
        with np.errstate(divide="ignore"):
            tables.append(coeff * t[:, None] ** np.maximum(p - order, 0))
    # gram[o][d]: per-axis Gram matrix of order o picked at the exponents of each term.
    gram = [
        [(tab.T @ tab)[np.ix_(powers[:, d], powers[:, d])] for d in range(dims)] for tab in tables
    ]

    def term(orders: list[int]) -> Array:
        out = np.ones((len(powers), len(powers)))
        for d, o in enumerate(orders):
            out *= gram[o][d]
        return out

    dV = step**dims
    R1 = sum(term([int(d == i) for d in range(dims)]) for i in range(dims))
    R2 = sum(
        term([int(d == i) + int(d == j) for d in range(dims)])
        for i in range(dims)
        for j in range(dims)
    )
    return dV * R1, dV * R2


def to_original_units(powers: NDArray[np.int64], axes: AxisMap) -> Array:
    """Matrix A with coef = A @ coef_unit for monomials of x instead of u = (x - c) / h.

    Entry (b, a) is the coefficient of x^b in prod_d ((x_d - c_d) / h_d)^a_d, that is
    prod_d binom(a_d, b_d) (-c_d)^(a_d - b_d) / h_d^a_d. Far from zero these overflow
    to inf, which is the truth about monomials there; predictions never use them.
    """
    deg = int(powers.max(initial=0))
    m = len(powers)
    A = np.ones((m, m))
    below = np.ones((m, m), dtype=bool)  # b <= a in every variable
    # Per-axis factors T[a, b] = binom(a, b) (-c)^(a - b) / h^a, by the recurrence
    # row a = row (a - 1) times (x / h - c / h), which never forms a huge power first.
    with np.errstate(over="ignore", invalid="ignore"):
        for d, (c, h) in enumerate(
            zip(axes.center.tolist(), axes.half_width.tolist(), strict=True)
        ):
            T = np.zeros((deg + 1, deg + 1))
            T[0, 0] = 1.0
            for a in range(1, deg + 1):
                T[a, 1:] = T[a - 1, :-1] / h
                T[a] -= T[a - 1] * (c / h)
            a_d, b_d = powers[None, :, d], powers[:, None, d]
            A *= T[a_d, b_d]
            below &= b_d <= a_d
    # Outside the triangle a factor is exactly 0 and another may be inf.
    A[~below] = 0.0
    return A
