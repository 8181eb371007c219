"""Many small robust fits: `kvro.fit_groups` against a pandas groupby-apply of
statsmodels RLM (Tukey), the usual route, on the same groups.

Usage: ``python benchmarks/groups.py [--groups 10000 100000] [--peer-groups N]``

Each group: 200 points, x uniform on [0, 10], a cubic with noise sd 0.1 and 10 %
gross outliers (U(5, 30) noise sd with a random sign). Both methods fit the cubic in
x mapped onto [-1, 1]; RLM's fit is the monomial polynomial of that.

Every configuration runs in a fresh process with OpenMP and BLAS on one thread, so
that one worker is one core; the machine may be shared, so the comparisons are
ratios of runs made one after another in this one invocation. Printed per number of
groups: seconds per 1000 groups (RLM, kvro with 1 and 2 workers), the per-core speed
ratio, the 1-to-2-worker speed-up, the median RMS error to the true curve (and
kvro's ratio to RLM's), breakdowns (error above 3 noise sd), and memory: the peak
resident size of the calling process beyond its input and result, and of each
worker. ``--peer-groups`` times RLM on the first N groups only (its time per group
does not depend on their number). Then the CSV reading benchmark of ``read_csv.py``.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import threading
import time
import warnings

import numpy as np

NOISE = 0.1
POINTS = 200
DEG = 3


def make(groups: int, seed: int = 0) -> tuple[object, np.ndarray]:
    """The table and the true coefficients of each group (in the unit variable)."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0.0, 10.0, (groups, POINTS)), axis=1)
    true = rng.normal(0.0, 1.0, (groups, DEG + 1))
    u = x / 5.0 - 1.0
    y = np.polynomial.polynomial.polyval(u.T, true.T, tensor=False).T  # (groups, POINTS)
    y = y + rng.normal(0.0, NOISE, y.shape)
    bad = rng.random(y.shape) < 0.1
    y[bad] += rng.choice([-1.0, 1.0], bad.sum()) * rng.uniform(5, 30, bad.sum()) * NOISE
    frame = pd.DataFrame(
        {"g": np.repeat(np.arange(groups), POINTS), "x": x.ravel(), "y": y.ravel()}
    )
    return frame, true


def errors(coef_unit: np.ndarray, true: np.ndarray) -> np.ndarray:
    """RMS distance of each group's curve from the truth on a grid of the x range."""
    grid = np.linspace(-1.0, 1.0, 101)
    V = np.vander(grid, DEG + 1, increasing=True)
    return np.sqrt(np.mean((V @ (coef_unit - true).T) ** 2, axis=0))


def run_kvro(groups: int, workers: int) -> dict[str, float]:
    import kvro

    frame, true = make(groups)
    base = _rss()
    peak = _Peak()
    t0 = time.perf_counter()
    with peak:
        res = kvro.fit_groups(frame, "g", "x", "y", DEG, workers=workers)
    seconds = time.perf_counter() - t0
    assert len(res) == groups and res["error"].isna().all()
    # The coefficients are in x; map them to the unit variable u = x / 5 - 1.
    coef = np.array([_in_unit(c) for c in res[[f"c{k}" for k in range(DEG + 1)]].to_numpy()])
    err = errors(coef, true)
    result_mb = res.memory_usage(deep=True).sum() / 2**20
    return {
        "seconds": seconds,
        "median_error": float(np.median(err)),
        "breakdowns": float(np.mean(err > 3 * NOISE)),
        "caller_mb": max(peak.mb - base, 0.0) - result_mb,
        "worker_mb": peak.child_mb,
    }


def _in_unit(c: np.ndarray) -> np.ndarray:
    """Coefficients in x of a cubic, as coefficients in u, where x = 5 (u + 1)."""
    P = np.polynomial.polynomial
    out = np.zeros(DEG + 1)
    for k, ck in enumerate(c):
        out[: k + 1] += ck * P.polypow([5.0, 5.0], k)
    return out


def run_rlm(groups: int) -> dict[str, float]:
    import statsmodels.api as sm

    frame, true = make(groups)
    norm = sm.robust.norms.TukeyBiweight()

    def one(g: object) -> np.ndarray:
        X = np.vander(g["x"].to_numpy() / 5.0 - 1.0, DEG + 1, increasing=True)
        return sm.RLM(g["y"].to_numpy(), X, M=norm).fit().params

    t0 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = frame.groupby("g")[["x", "y"]].apply(one)
    seconds = time.perf_counter() - t0
    err = errors(np.stack(res.to_numpy()), true)
    return {
        "seconds": seconds,
        "median_error": float(np.median(err)),
        "breakdowns": float(np.mean(err > 3 * NOISE)),
    }


class _Peak:
    """Peak resident sizes while the block runs, sampled: of this process (`mb`) and
    of the largest of its child processes (`child_mb`)."""

    def __enter__(self) -> _Peak:
        self.mb, self.child_mb, self._stop = _rss(), 0.0, threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()
        return self

    def _watch(self) -> None:
        while not self._stop.wait(0.02):
            self.mb = max(self.mb, _rss())
            for pid in _children():
                try:
                    # Only once it runs the worker: a child caught between fork and
                    # exec still counts the pages it shares with this process.
                    with open(f"/proc/{pid}/cmdline", "rb") as f:
                        if b"_serve" in f.read():
                            self.child_mb = max(self.child_mb, _rss(pid))
                except OSError:
                    pass  # it ended meanwhile

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()
        self.mb = max(self.mb, _rss())


def _rss(pid: int | str = "self") -> float:
    with open(f"/proc/{pid}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def _children() -> list[int]:
    pids = []
    for task in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{task}/children") as f:
            pids += [int(p) for p in f.read().split()]
    return pids


def in_fresh_process(what: str, groups: int, workers: int = 1) -> dict[str, float]:
    env = os.environ | {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}
    out = subprocess.run(
        [sys.executable, __file__, "--one", what, str(groups), str(workers)],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout.splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--groups", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--peer-groups", type=int, default=None)
    parser.add_argument("--one", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        what, groups, workers = args.one[0], int(args.one[1]), int(args.one[2])
        result = run_rlm(groups) if what == "rlm" else run_kvro(groups, workers)
        print(json.dumps(result))
        return
    print(f"# group fits: {POINTS} points per group, degree {DEG}, 10 % outliers\n")
    print(
        "| groups | RLM s/1000 | kvro 1 worker s/1000 | kvro 2 workers s/1000 | per core vs RLM "
        "| 1 -> 2 workers | median error RLM / kvro (ratio) | breakdowns RLM / kvro "
        "| memory: caller beyond data, worker |"
    )
    print("|---|---|---|---|---|---|---|---|---|")
    for groups in args.groups:
        peer_groups = min(groups, args.peer_groups or groups)
        rlm = in_fresh_process("rlm", peer_groups)
        one = in_fresh_process("kvro", groups, 1)
        two = in_fresh_process("kvro", groups, 2)
        per = [
            1000 * r["seconds"] / n for r, n in ((rlm, peer_groups), (one, groups), (two, groups))
        ]
        print(
            f"| {groups:,} | {per[0]:.2f} | {per[1]:.2f} | {per[2]:.2f} "
            f"| {per[0] / per[1]:.2f}x (goal 5x) | {per[1] / per[2]:.2f}x (goal 1.8x) "
            f"| {rlm['median_error']:.4f} / {one['median_error']:.4f} "
            f"({one['median_error'] / rlm['median_error']:.2f}) "
            f"| {rlm['breakdowns']:.1%} / {one['breakdowns']:.1%} "
            f"| {two['caller_mb']:.0f} MB, {two['worker_mb']:.0f} MB |",
            flush=True,
        )
    print()
    subprocess.run(
        [sys.executable, os.path.join(os.path.dirname(__file__), "read_csv.py")], check=True
    )


if __name__ == "__main__":
    main()
