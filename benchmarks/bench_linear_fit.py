"""Linear fitting: ols against LAPACK least squares, fit_regularized_linear against a
NumPy/SciPy solve of the same penalised normal equations, in C and Fortran order.

Both functions read a float64 matrix of either order where it lies; the tall cases take
the QR-first route of ols.
"""

import numpy as np
from run import Case

from kvro import kvro_core

try:
    import scipy.linalg
except ImportError:  # SciPy is optional here
    scipy = None

# Why the square case is slower than LAPACK's gelsd (printed with it).
WHY_SQUARE = (
    "where below 1x: no QR step helps a square X; Eigen's divide-and-conquer SVD forms U and "
    "V explicitly, while gelsd applies its reflections to y only, with BLAS-3 blocked updates"
)


def max_diff(a, b) -> str:
    return f"max |d beta| {np.max(np.abs(a - b)):.1e} (max |beta| {np.max(np.abs(b)):.1e})"


def orders(X):
    return [("F", np.asfortranarray(X)), ("C", np.ascontiguousarray(X))]


def ols_cases(label, X, y, why="", scipy_too=False) -> list[Case]:
    cases = []
    for order, A in orders(X):
        beta = kvro_core.ols(A, y)
        refs = [("NumPy lstsq", lambda A=A: np.linalg.lstsq(A, y, rcond=None)[0])]
        if scipy is not None and scipy_too:
            refs.append(("SciPy lstsq", lambda A=A: scipy.linalg.lstsq(A, y)[0]))
        for ref_name, ref in refs:
            note = "; ".join(s for s in (max_diff(beta, ref()), why) if s)
            cases.append(
                Case(f"ols, {label}, {order}", lambda A=A: kvro_core.ols(A, y), ref, ref_name, note)
            )
    return cases


def fit_cases(label, m, p, rng) -> list[Case]:
    Phi = rng.normal(size=(m, p))
    y = Phi @ rng.normal(size=p) + rng.normal(size=m)
    G1, G2 = rng.normal(size=(p, p)), rng.normal(size=(p, p))
    R1, R2 = G1 @ G1.T / p, G2 @ G2.T / p
    g1, g2, ridge = 1e-3, 1e-4, 1e-10

    def reference(Phi):
        # NumPy forms Phi^T Phi by a symmetric rank update (syrk) when it sees A.T @ A.
        A = Phi.T @ Phi
        A += ridge * np.eye(p) + (m * g1) * R1 + (m * g2) * R2
        b = Phi.T @ y
        if scipy is not None:
            return scipy.linalg.solve(A, b, assume_a="pos")
        return np.linalg.solve(A, b)

    ref_name = "NumPy+SciPy solve" if scipy is not None else "NumPy solve"
    cases = []
    for order, A in orders(Phi):
        beta = kvro_core.fit_regularized_linear(A, y, R1, R2, g1, g2, ridge)
        cases.append(
            Case(
                f"fit_regularized_linear, {label}, {order}",
                lambda A=A: kvro_core.fit_regularized_linear(A, y, R1, R2, g1, g2, ridge),
                lambda A=A: reference(A),
                ref_name,
                max_diff(beta, reference(A)),
            )
        )
    return cases


def cases() -> list[Case]:
    rng = np.random.default_rng(0)

    def tall(m, p):
        X = rng.normal(size=(m, p))
        return X, X @ rng.normal(size=p) + rng.normal(size=m)

    out = ols_cases("tall 1e5 x 20", *tall(100_000, 20), scipy_too=True)
    out += ols_cases("tall 1e6 x 8", *tall(1_000_000, 8))
    X_sq, y_sq = rng.normal(size=(500, 500)), rng.normal(size=500)
    out += ols_cases("square 500 x 500", X_sq, y_sq, WHY_SQUARE)[:1]
    # 20000 by 60 of rank 30: half of the singular values are rounding noise.
    X_def = rng.normal(size=(20_000, 30)) @ rng.normal(size=(30, 60))
    out += ols_cases("rank 30 of 2e4 x 60", X_def, rng.normal(size=20_000))[:1]

    out += fit_cases("1e5 x 50", 100_000, 50, rng)
    out += fit_cases("1e6 x 8", 1_000_000, 8, rng)
    return out
