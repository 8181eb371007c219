"""Repeated calls leak nothing, keep argument reference counts, and agree across threads."""

import os
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from kvro import kvro_core

CALLS_PER_CHECK = 100_000
rng = np.random.default_rng(3)
X = rng.normal(size=(12, 3))
y = rng.normal(size=12)
R = np.eye(3)

# One typical call of every function, by name.
CALLS = {
    "mad": (kvro_core.mad, (y,)),
    "compute_sr": (kvro_core.compute_sr, (y + 0.1, y, 0.3)),
    "mdl_score": (kvro_core.mdl_score, (y + 0.1, y, 3)),
    "mdl_score_reg": (kvro_core.mdl_score_reg, (y, y, 3, 20, y[:3], R, R, 0.5, 0.5)),
    "design_matrix_1d": (kvro_core.design_matrix_1d, (3, y)),
    "smoothness_penalty_matrices_1d": (
        kvro_core.smoothness_penalty_matrices_1d,
        (3, -1.0, 2.0, 20),
    ),
    "boundary_reduce_1d": (kvro_core.boundary_reduce_1d, (4, -1.0, 2.0)),
    "design_matrix_nd": (kvro_core.design_matrix_nd, ([[0, 1], [2, 1], [1, 3]], [y, 2 * y])),
    "build_penalty_matrices_nd": (
        kvro_core.build_penalty_matrices_nd,
        ([2, 1], [(0, 1), (-1, 1)], 5),
    ),
    "ols": (kvro_core.ols, (X, y)),
    "fit_regularized_linear": (kvro_core.fit_regularized_linear, (X, y, R, R, 0.1, 0.2)),
    "gibbs_entropy": (kvro_core.gibbs_entropy, (y, 0.7)),
    "TournamentMCMC.fit": (kvro_core.TournamentMCMC(2, 3, 3, 2).fit, (X, y, R, None, 0.1, 0.0)),
}


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def plain(result):
    """A comparable form of any result."""
    if isinstance(result, np.ndarray):
        return result.tobytes(), result.shape
    if isinstance(result, (tuple, list)):
        return tuple(plain(r) for r in result)
    if isinstance(result, float):
        return np.float64(result).tobytes()
    if hasattr(result, "beta_mcmc"):
        return plain(result.beta_mcmc), plain(result.energy), plain(result.gibbs)
    if hasattr(result, "r_heat"):
        return tuple(plain(getattr(result, f)) for f in ("H", "Hmax", "He", "r_heat", "var_E", "T"))
    return result


@pytest.mark.parametrize("name", CALLS)
def test_repeated_calls_leak_nothing(name):
    fn, args = CALLS[name]
    for _ in range(1000):
        fn(*args)
    refs = [sys.getrefcount(a) for a in args]
    before = rss_bytes()
    for _ in range(CALLS_PER_CHECK):
        fn(*args)
    growth = rss_bytes() - before
    assert [sys.getrefcount(a) for a in args] == refs
    # The sanitizer's allocator holds freed memory in quarantine, so RSS means nothing there.
    if not os.environ.get("KVRO_SANITIZED"):
        assert growth < 1 << 20, f"{name}: RSS grew by {growth} bytes over {CALLS_PER_CHECK} calls"


def test_calls_from_many_threads_match_serial_calls():
    jobs = [CALLS[name] for name in CALLS for _ in range(8)]
    serial = [plain(fn(*args)) for fn, args in jobs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        threaded = list(pool.map(lambda job: plain(job[0](*job[1])), jobs))
    assert threaded == serial
