"""Linear fitting: ols against LAPACK least squares, fit_regularized_linear against a
NumPy/SciPy solve of the same penalised normal equations.

Design matrices are column-major, as the basis functions return them; the binding then
copies them with a plain memcpy. One C-ordered case shows the cost of the transposing copy.
"""

import numpy as np
from run import Case

from kvro import kvro_core

try:
    import scipy.linalg
except ImportError:  # SciPy is optional here
    scipy = None

# Why Eigen's SVD route is slower than LAPACK's gelsd (printed with the ols cases).
WHY = (
    "where below 1x: BDCSVD bidiagonalises all of X and forms the thin U (m by k) and V "
    "explicitly, while gelsd QR-reduces a tall X first, applies its reflections to y only "
    "and spreads its blocked updates over BLAS threads"
)
FEW_REFLECTORS = "; with k = 20 < 48 Eigen applies the reflectors to U one at a time (memory-bound)"


def max_diff(a, b) -> str:
    return f"max |d beta| {np.max(np.abs(a - b)):.1e} (max |beta| {np.max(np.abs(b)):.1e})"


def ols_cases(label, X, y, why="") -> list[Case]:
    beta = kvro_core.ols(X, y)
    refs = [("NumPy lstsq", lambda: np.linalg.lstsq(X, y, rcond=None)[0])]
    if scipy is not None:
        refs.append(("SciPy lstsq", lambda: scipy.linalg.lstsq(X, y)[0]))
    cases = []
    for ref_name, ref in refs:
        note = "; ".join(s for s in (max_diff(beta, ref()), why) if s)
        cases.append(Case(f"ols, {label}", lambda: kvro_core.ols(X, y), ref, ref_name, note))
    return cases


def cases() -> list[Case]:
    rng = np.random.default_rng(0)

    m, p = 100_000, 20
    X_tall = np.asfortranarray(rng.normal(size=(m, p)))
    y_tall = X_tall @ rng.normal(size=p) + rng.normal(size=m)

    X_sq = np.asfortranarray(rng.normal(size=(500, 500)))
    y_sq = rng.normal(size=500)

    # 20000 by 60 of rank 30: half of the singular values are rounding noise.
    X_def = np.asfortranarray(rng.normal(size=(20_000, 30)) @ rng.normal(size=(30, 60)))
    y_def = rng.normal(size=20_000)

    out = ols_cases("tall 1e5 x 20", X_tall, y_tall, WHY + FEW_REFLECTORS)
    out += ols_cases("square 500 x 500", X_sq, y_sq, WHY)
    out += ols_cases("rank 30 of 2e4 x 60", X_def, y_def, WHY)

    m, p = 100_000, 50
    Phi = np.asfortranarray(rng.normal(size=(m, p)))
    y = Phi @ rng.normal(size=p) + rng.normal(size=m)
    G1, G2 = rng.normal(size=(p, p)), rng.normal(size=(p, p))
    R1, R2 = G1 @ G1.T / p, G2 @ G2.T / p
    g1, g2, ridge = 1e-3, 1e-4, 1e-10

    def reference(Phi=Phi):
        A = Phi.T @ Phi
        A += ridge * np.eye(p) + (m * g1) * R1 + (m * g2) * R2
        b = Phi.T @ y
        if scipy is not None:
            return scipy.linalg.solve(A, b, assume_a="pos")
        return np.linalg.solve(A, b)

    ref_name = "NumPy+SciPy solve" if scipy is not None else "NumPy solve"
    beta = kvro_core.fit_regularized_linear(Phi, y, R1, R2, g1, g2, ridge)
    Phi_c = np.ascontiguousarray(Phi)
    out += [
        Case(
            "fit_regularized_linear, 1e5 x 50",
            lambda: kvro_core.fit_regularized_linear(Phi, y, R1, R2, g1, g2, ridge),
            reference,
            ref_name,
            max_diff(beta, reference())
            + "; where below 1x: kvro's time includes the copy of Phi (40 MB) into fresh memory,"
            " whose page faults can cost as much as the rank update and the solve together",
        ),
        Case(
            "fit_regularized_linear, 1e5 x 50, C order",
            lambda: kvro_core.fit_regularized_linear(Phi_c, y, R1, R2, g1, g2, ridge),
            lambda: reference(Phi_c),
            ref_name,
            "the binding's copy into column-major order (40 MB) is part of the kvro time",
        ),
    ]
    return out
