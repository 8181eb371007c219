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

    # Each call copies its arguments into fresh storage. At n = 1e6 that storage may
    # come straight from the kernel (glibc returns large blocks on free), and its
    # first-touch page faults can then outweigh the arithmetic; n = 1e4 shows the
    # arithmetic alone.
    small_t, small_p = yt[:10_000], yp[:10_000]

    def np_sr_small():
        return max(np.count_nonzero(np.abs(small_p - small_t) < 0.4) / 10_000, 1 / 20_000)

    return [
        Case("mad, n = 1e6", lambda: kvro_core.mad(yt), np_mad, note="includes copying y"),
        Case(
            "compute_sr, n = 1e6",
            lambda: kvro_core.compute_sr(yp, yt, 0.4),
            np_sr,
            note="includes copying yp and yt",
        ),
        Case(
            "compute_sr, n = 1e4",
            lambda: kvro_core.compute_sr(small_p, small_t, 0.4),
            np_sr_small,
            repeat=200,
        ),
    ]
