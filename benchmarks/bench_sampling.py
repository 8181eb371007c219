"""Sampling: TournamentMCMC.fit with its defaults on a degree-7 polynomial design.

Figures, each against its goal: the speed against the same sampler written with
NumPy (vectorised over chains in the warm-up), both on one thread; the flop rate of
the X*b products on one thread as a share of the practical peak (single-thread NumPy
1000 x 1000 matrix product, measured in the same run), for n = 2000 and 20000; and
the speed-up of the fit (and of the warm-up alone) from one thread to two; and the
time from SIGINT to KeyboardInterrupt during a long fit. Thread
counts are fixed by running those measurements in subprocesses with OMP_NUM_THREADS /
OPENBLAS_NUM_THREADS set.
"""

import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
from run import Case, best_time

from kvro import kvro_core

N, BIG_N, DEG, GAMMA2 = 2000, 20000, 7, 1e-4
DEFAULTS = dict(
    n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05, H_piH=20, seed=42
)


def problem(n=N):
    """Monomial design on [-1, 1], noisy targets with outliers, and the grid
    penalty of the squared second derivative."""
    rng = np.random.default_rng(7)
    x = np.linspace(-1.0, 1.0, n)
    X = kvro_core.design_matrix_1d(DEG, x)
    y = np.sin(2.5 * x) + 0.3 * x**3 + 0.05 * rng.normal(size=n)
    y[rng.choice(n, n // 20, replace=False)] += rng.normal(scale=3.0, size=n // 20)
    _, R2 = kvro_core.smoothness_penalty_matrices_1d(DEG, -1.0, 1.0)
    return X, y, R2


def numpy_fit(X, y, R2, gamma2, n_chains, n_warmup, n_deep, n_elite, step_size, H_piH, seed):
    """The same three phases with NumPy; chains advance together in the warm-up."""
    n, k = X.shape
    dev = np.abs(y - np.median(y))
    m = np.median(dev)
    eps = 0.4 * m if m > 0 else 0.4
    model = (k * np.log(2.0 * H_piH) / n) * k

    def energies(B):  # B: k x chains
        hits = np.count_nonzero(np.abs(X @ B - y[:, None]) < eps, axis=0)
        sr = np.maximum(hits / n, 1 / (2 * n))
        return -n * np.log(sr) + model + gamma2 * np.einsum("ic,ij,jc->c", B, R2, B)

    def energy(b):
        hits = np.count_nonzero(np.abs(X @ b - y) < eps)
        return -n * np.log(max(hits / n, 1 / (2 * n))) + model + gamma2 * (b @ R2 @ b)

    rng = np.random.default_rng(seed)
    B = rng.normal(0.0, 0.5, size=(k, n_chains))
    E = energies(B)
    T = 2.0
    for _ in range(n_warmup):
        Bc = B + rng.normal(0.0, step_size, size=B.shape)
        Ec = energies(Bc)
        u = rng.random(n_chains)
        with np.errstate(invalid="ignore", over="ignore"):
            acc = (Ec < E) | (u < np.exp(np.minimum((E - Ec) / T, 0.0)))
        B[:, acc], E[acc] = Bc[:, acc], Ec[acc]
        T *= 0.995

    w = np.exp(-(E - E.min()))
    p = w / w.sum()
    He = -(p * np.log(p + 1e-300)).sum() / np.log(max(n_chains, 2))
    order = np.argsort(E, kind="stable")
    elite = [order[0]]
    for c in order[1:]:
        if len(elite) >= n_elite:
            break
        if all(np.linalg.norm(B[:, c] - B[:, e]) > 0.1 for e in elite):
            elite.append(c)
    elite += list(order[len(elite) : len(elite) + max(n_elite - len(elite), 0)])

    best_b, best_e = B[:, elite[0]].copy(), E[elite[0]]
    T = 0.5 * (0.01 + 0.99 * He)
    for c in elite:
        b, e = B[:, c].copy(), E[c]
        steps = rng.normal(0.0, 0.3 * step_size, size=(n_deep, k))
        for s in range(n_deep):
            bc = b + steps[s]
            ec = energy(bc)
            if ec < e or rng.random() < np.exp(min((e - ec) / T, 0.0)):
                b, e = bc, ec
            if e < best_e:
                best_b, best_e = b.copy(), e
            T *= 0.9997
    return best_b, best_e


def measure(with_numpy):
    """Run in a subprocess whose thread counts the caller sets; prints JSON timings."""
    X, y, R2 = problem()
    Xb, yb, _ = problem(BIG_N)
    full = kvro_core.TournamentMCMC(**DEFAULTS)
    warm = kvro_core.TournamentMCMC(**dict(DEFAULTS, n_deep=0))
    A = np.random.default_rng(0).random((1000, 1000))
    times = {
        "fit": best_time(lambda: full.fit(X, y, None, R2, 0.0, GAMMA2), 7),
        "fit_big": best_time(lambda: full.fit(Xb, yb, None, R2, 0.0, GAMMA2), 3),
        "warmup": best_time(lambda: warm.fit(X, y, None, R2, 0.0, GAMMA2), 7),
        "matmul": best_time(lambda: A @ A, 7),
    }
    if with_numpy:
        times["numpy"] = best_time(lambda: numpy_fit(X, y, R2, GAMMA2, **DEFAULTS), 2)
    print(json.dumps(times))


def measure_in_subprocess(threads, with_numpy=False):
    env = dict(
        os.environ,
        OMP_NUM_THREADS=str(threads),
        OPENBLAS_NUM_THREADS=str(threads),
        MKL_NUM_THREADS=str(threads),
    )
    args = [sys.executable, __file__] + (["--numpy"] if with_numpy else [])
    out = subprocess.run(args, env=env, capture_output=True, text=True, check=True).stdout
    return json.loads(out)


INTERRUPTED_FIT = """
import sys, time
import numpy as np
from kvro import kvro_core
x = np.linspace(-1.0, 1.0, 2000)
X, y = kvro_core.design_matrix_1d(7, x), np.sin(3.0 * x)
print("ready", flush=True)
try:
    kvro_core.TournamentMCMC(n_warmup=10**7, n_deep=10**7).fit(X, y)
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
"""


def interrupt_latency(trials=5):
    """Worst time from SIGINT to KeyboardInterrupt in a long fit on two threads; the
    monotonic clock is the same in both processes."""
    env = dict(os.environ, OMP_NUM_THREADS="2")
    worst = 0.0
    for _ in range(trials):
        proc = subprocess.Popen(
            [sys.executable, "-c", INTERRUPTED_FIT], env=env, stdout=subprocess.PIPE, text=True
        )
        proc.stdout.readline()
        time.sleep(0.3)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        worst = max(worst, float(proc.stdout.readline()) - sent)
        proc.wait()
    return worst


def goal(value, target, unit="x"):
    return f"goal >= {target}{unit}: {'met' if value >= target else 'MISSED'}"


def cases() -> list[Case]:
    X, y, R2 = problem()
    n, k = X.shape
    sampler = kvro_core.TournamentMCMC(**DEFAULTS)

    one, two = measure_in_subprocess(1, with_numpy=True), measure_in_subprocess(2)
    c = DEFAULTS
    evals = c["n_chains"] * (c["n_warmup"] + 1) + c["n_elite"] * c["n_deep"]
    peak = 2e9 / one["matmul"]

    def share(seconds, rows):
        """X*b flop rate of a fit as a percentage of the peak."""
        return 100 * evals * 2 * rows * k / seconds / peak

    vs_numpy = one["numpy"] / one["fit"]
    fit_up, warm_up = one["fit"] / two["fit"], one["warmup"] / two["warmup"]
    # The most two threads can give: they share the warm-up's chains, then refine the
    # five elites as three and two. A busy machine may lend the process no second core.
    warm_evals = c["n_chains"] * (c["n_warmup"] + 1)
    bound = evals / (warm_evals / 2 + -(-c["n_elite"] // 2) * c["n_deep"])
    small, big = share(one["fit"], n), share(one["fit_big"], BIG_N)
    latency = interrupt_latency()
    return [
        Case(
            "TournamentMCMC.fit, defaults, deg 7, n = 2000, R2",
            lambda: sampler.fit(X, y, None, R2, 0.0, GAMMA2),
            lambda: numpy_fit(X, y, R2, GAMMA2, **c),
            note="all threads",
            repeat=2,
        ),
        Case(
            "  same, 1 thread, against NumPy on 1 thread",
            None,
            kvro_s=one["fit"],
            note=f"NumPy {one['numpy'] * 1e3:.0f} ms: {vs_numpy:.1f}x; {goal(vs_numpy, 25)}",
        ),
        Case(
            "  same, 1 thread: X*b flop rate, n = 2000 and 20000",
            None,
            kvro_s=one["fit"],
            note=(
                f"{evals} evals; {small:.0f}% and {big:.0f}% of the peak "
                f"({peak / 1e9:.1f} GFLOP/s, NumPy 1000^3 matmul, 1 thread); "
                f"{goal(min(small, big), 50, '%')}"
            ),
        ),
        Case(
            "  same, 1 -> 2 threads",
            None,
            kvro_s=two["fit"],
            note=(
                f"{one['fit'] * 1e3:.2f} ms -> {two['fit'] * 1e3:.2f} ms: {fit_up:.2f}x "
                f"(warm-up alone {warm_up:.2f}x; the split of the work allows {bound:.2f}x); "
                f"{goal(fit_up, 1.7)}"
            ),
        ),
        Case(
            "  Ctrl-C during a long fit, 2 threads",
            None,
            kvro_s=latency,
            note=(
                f"KeyboardInterrupt {latency * 1e3:.0f} ms after SIGINT (worst of 5); "
                f"goal <= 200 ms: {'met' if latency <= 0.2 else 'MISSED'}"
            ),
        ),
    ]


if __name__ == "__main__":
    measure("--numpy" in sys.argv[1:])
