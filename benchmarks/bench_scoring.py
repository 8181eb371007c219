"""Scoring and the Gibbs entropy against the NumPy expressions a user would write."""

import numpy as np
from run import Case

from kvro import kvro_core


def cases() -> list[Case]:
    rng = np.random.default_rng(0)
    n = 1_000_000
    yt = rng.normal(size=n)
    yp = yt + rng.normal(scale=0.5, size=n)
    k, H = 8, 20
    beta = rng.normal(size=k)
    G = rng.normal(size=(k, k))
    R1, R2 = G @ G.T, np.eye(k)

    def np_mad(y=yt):
        return np.median(np.abs(y - np.median(y)))

    def np_sr():
        return max(np.count_nonzero(np.abs(yp - yt) < 0.4) / n, 1 / (2 * n))

    def np_mdl(penalised=False):
        m = np_mad()
        eps = 0.4 * m if m > 0 else 0.4
        sr = max(np.count_nonzero(np.abs(yp - yt) < eps) / n, 1 / (2 * n))
        score = -n * np.log(sr) + k * k * np.log(2 * H) / n
        if penalised:
            score += 0.1 * (beta @ R1 @ beta) + 0.2 * (beta @ R2 @ beta)
        return score

    # The arithmetic alone, without the cost of first touching large arrays.
    small_t, small_p = yt[:10_000], yp[:10_000]

    def np_sr_small():
        return max(np.count_nonzero(np.abs(small_p - small_t) < 0.4) / 10_000, 1 / 20_000)

    energies = rng.normal(loc=50.0, scale=5.0, size=10_000)

    def np_gibbs(T=1.0):
        w = np.exp(-(energies - energies.min()) / (T + 1e-300))
        p = w / w.sum()
        H = -(np.log(p + 1e-300) * p).sum()
        Hmax = np.log(max(energies.size, 2))
        He = H / (Hmax + 1e-300)
        return H, Hmax, He, 0.99 * He + 0.01, energies.var(), T

    return [
        Case("mad, n = 1e6", lambda: kvro_core.mad(yt), np_mad),
        Case("compute_sr, n = 1e6", lambda: kvro_core.compute_sr(yp, yt, 0.4), np_sr),
        Case(
            "compute_sr, n = 1e4",
            lambda: kvro_core.compute_sr(small_p, small_t, 0.4),
            np_sr_small,
            repeat=200,
        ),
        Case("mdl_score, n = 1e6", lambda: kvro_core.mdl_score(yp, yt, k, H), np_mdl),
        Case(
            "mdl_score_reg, n = 1e6, k = 8",
            lambda: kvro_core.mdl_score_reg(yp, yt, k, H, beta, R1, R2, 0.1, 0.2),
            lambda: np_mdl(penalised=True),
        ),
        Case(
            "gibbs_entropy, 1e4 energies",
            lambda: kvro_core.gibbs_entropy(energies, 1.0),
            np_gibbs,
            repeat=50,
        ),
    ]
