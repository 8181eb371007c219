"""Scoring: mad and compute_sr against the NumPy expressions a user would write."""

import numpy as np
from run import Case

from kvro import kvro_core


def cases() -> list[Case]:
    rng = np.random.default_rng(0)
    n = 1_000_000
    yt = rng.normal(size=n)
    yp = yt + rng.normal(scale=0.5, size=n)

    def np_mad():
        return np.median(np.abs(yt - np.median(yt)))

    def np_sr():
        return max(np.count_nonzero(np.abs(yp - yt) < 0.4) / n, 1 / (2 * n))

    return [
        Case("mad, n = 1e6", lambda: kvro_core.mad(yt), np_mad),
        Case("compute_sr, n = 1e6", lambda: kvro_core.compute_sr(yp, yt, 0.4), np_sr),
    ]
