"""Gibbs entropy and the tournament MCMC sampler.

The sampler's results are checked against a pure-Python re-implementation of its
random streams and phases, run on problems whose energies Python reproduces to
the last bit: every row of X has at most one non-zero entry (so X*b needs no
summation) and the penalty is diagonal.
"""

import gc
import math
import os
import subprocess
import sys
import textwrap
from fractions import Fraction

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from kvro import kvro_core as kc

MASK64 = (1 << 64) - 1


class MT64:
    """MT19937-64 with its published parameters and seeding."""

    def __init__(self, seed):
        self.mt = [seed & MASK64]
        for i in range(1, 312):
            prev = self.mt[-1]
            self.mt.append((6364136223846793005 * (prev ^ (prev >> 62)) + i) & MASK64)
        self.i = 312

    def __call__(self):
        if self.i == 312:
            mt = self.mt
            for j in range(312):
                x = (mt[j] & 0xFFFFFFFF80000000) | (mt[(j + 1) % 312] & 0x7FFFFFFF)
                mt[j] = mt[(j + 156) % 312] ^ (x >> 1) ^ (0xB5026F5AA96619E9 if x & 1 else 0)
            self.i = 0
        x = self.mt[self.i]
        self.i += 1
        x ^= (x >> 29) & 0x5555555555555555
        x ^= (x << 17) & 0x71D67FFFEDA60000
        x ^= (x << 37) & 0xFFF7EEE000000000
        x ^= x >> 43
        return x & MASK64


def uniform(rng):
    u = float(rng()) * 2.0**-64  # float() of an int rounds to nearest
    return u if u < 1.0 else 1.0 - 2.0**-53


class Normal:
    def __init__(self, mean, sd):
        self.mean, self.sd, self.cached = mean, sd, None

    def __call__(self, rng):
        if self.cached is not None:
            z, self.cached = self.cached, None
            return self.mean + self.sd * z
        while True:
            v1 = 2.0 * uniform(rng) - 1.0
            v2 = 2.0 * uniform(rng) - 1.0
            s = v1 * v1 + v2 * v2
            if 0.0 < s <= 1.0:
                break
        f = math.sqrt(-2.0 * math.log(s) / s)
        self.cached = v1 * f
        return self.mean + self.sd * (v2 * f)


def fma(a, b, c):
    if all(math.isfinite(v) for v in (a, b, c)):
        return float(Fraction(a) * Fraction(b) + Fraction(c))
    return a * b + c  # no rounding question with infinities or NaN


def median(v):
    s = sorted(v)
    n = len(s)
    return s[n // 2] if n % 2 else (s[n // 2] + s[n // 2 - 1]) * 0.5


class Problem:
    """Energy of the sampler for X with at most one non-zero per row and diagonal R1, R2."""

    def __init__(self, X, y, R1=None, R2=None, gamma1=0.0, gamma2=0.0, H=20):
        X = np.asarray(X, dtype=float)
        assert np.all(np.count_nonzero(X, axis=1) <= 1)
        self.X, self.y = X, [float(v) for v in y]
        self.pens = [
            (np.diag(R), g) for R, g in ((R1, gamma1), (R2, gamma2)) if R is not None and g != 0.0
        ]
        for R, _ in ((R1, gamma1), (R2, gamma2)):
            assert R is None or np.count_nonzero(R - np.diag(np.diag(R))) == 0
        self.args = dict(R1=R1, R2=R2, gamma1=gamma1, gamma2=gamma2)
        self.H = H
        m = median([abs(v - median(self.y)) for v in self.y]) if self.y else 0.0
        self.eps = 0.4 * m if m > 0 else 0.4

    def energy(self, b):
        n, k = self.X.shape
        hit = 0
        for i in range(n):
            j = np.flatnonzero(self.X[i])
            yp = float(self.X[i, j[0]]) * b[j[0]] if len(j) else 0.0
            hit += abs(yp - self.y[i]) < self.eps
        sr = max(hit / n, 1 / (2 * n))
        logHk = k * math.log(2.0 * self.H) if k > 0 else 0.0
        L = fma(-math.log(sr), float(n), (logHk / n) * k)
        for r, g in self.pens:
            q = 0.0
            for i in range(k):
                q += b[i] * (float(r[i]) * b[i])
            L = fma(g, q, L)
        return L


def ref_gibbs(E, T):
    emin = min(E)
    w = [math.exp(-(e - emin) / (T + 1e-300)) for e in E]
    wsum = sum(w)
    H = 0.0
    for wi in w:
        p = wi / wsum
        H = fma(-math.log(p + 1e-300), p, H)
    Hmax = math.log(max(len(E), 2))
    He = H / (Hmax + 1e-300)
    return dict(H=H, Hmax=Hmax, He=He, r_heat=fma(0.99, He, 0.01))


def lower(a, b):
    return a < b or (not math.isnan(a) and math.isnan(b))


def step(b, e, prop, rng, T, energy):
    bc = [v + prop(rng) for v in b]
    ec = energy(bc)
    accept = ec < e
    if not accept:
        u = uniform(rng)
        x = (e - ec) / T
        accept = u < math.exp(x if x < 0 else 0.0)
    return (bc, ec) if accept else (b, e)


def ref_fit(prob, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05, seed=42):
    """Returns (beta, energy, elite positions in the sorted population)."""
    k = prob.X.shape[1]
    chains = []
    for c in range(n_chains):
        rng = MT64((seed + 1000 * c) & MASK64)
        init, prop = Normal(0.0, 0.5), Normal(0.0, step_size)
        b = [init(rng) for _ in range(k)]
        e = prob.energy(b)
        T = 2.0
        for _ in range(n_warmup):
            b, e = step(b, e, prop, rng, T, prob.energy)
            T *= 0.995
        chains.append((b, e))
    gb = ref_gibbs([e for _, e in chains], 1.0)
    # Insertion sort: stable, and needs no key for NaN
    order = []
    for c in range(n_chains):
        pos = len(order)
        while pos > 0 and lower(chains[c][1], chains[order[pos - 1]][1]):
            pos -= 1
        order.insert(pos, c)
    ranked = [chains[c] for c in order]
    elite = [0]
    i = 1
    while i < n_chains and len(elite) < n_elite:
        if all(
            math.dist(ranked[i][0], ranked[j][0]) > 0.1
            or math.isnan(math.dist(ranked[i][0], ranked[j][0]))
            for j in elite
        ):
            elite.append(i)
        i += 1
    i = len(elite)
    while len(elite) < n_elite and i < n_chains:
        elite.append(i)
        i += 1
    best_b, best_e = ranked[0]
    T = 0.5 * gb["r_heat"]
    for ei, pos in enumerate(elite):
        rng = MT64((seed + 7777 + 13 * ei) & MASK64)
        prop = Normal(0.0, 0.3 * step_size)
        b, e = ranked[pos]
        for _ in range(n_deep):
            b, e = step(b, e, prop, rng, T, prob.energy)
            if lower(e, best_e):
                best_b, best_e = b, e
            T *= 0.9997
    return best_b, best_e, elite


def run_both(prob, **cfg):
    res = kc.TournamentMCMC(**cfg).fit(prob.X, prob.y, **prob.args)
    return res, ref_fit(prob, **cfg)


def test_engine_reference_is_mt19937_64():
    rng = MT64(5489)
    for _ in range(9999):
        rng()
    assert rng() == 9981545732273789042


@pytest.mark.parametrize("seed", [0, 42, 2**64 - 1])
def test_random_start_is_the_init_stream(seed):
    # No warm-up or deep step: the result is chain 0's starting point, 8 deviates of
    # sd 0.5, which makes the uniform and both halves of the polar pairs visible.
    X = np.zeros((3, 8))
    res = kc.TournamentMCMC(n_chains=1, n_warmup=0, n_deep=0, seed=seed).fit(X, [1.0, 2.0, 3.0])
    rng, init = MT64(seed), Normal(0.0, 0.5)
    assert_array_equal(res.beta_mcmc, [init(rng) for _ in range(8)])


# Two windows of hits, (-0.14, -0.06) and (0.06, 0.14), and a steep penalty r*b^2:
# chains settle against the inner wall of either window, two tight clusters 0.12 apart.
TWO_WELLS = Problem(np.ones((10, 1)), [-0.1] * 5 + [0.1] * 5, R2=[[600.0]], gamma2=1.0)
# One steep well at 0 in three dimensions: every chain ends within 0.1 of the best.
ONE_WELL = Problem(
    np.zeros((4, 3)), [0.0, 1.0, 2.0, 3.0], R1=np.diag([300.0, 500.0, 800.0]), gamma1=1.0
)


@pytest.mark.parametrize(
    "prob, cfg, elites",
    [
        # c1, c3, c4 near c0, c2 in the other cluster: the fill pass starts at position 2;
        # long deep runs make the temperature carried across elites tell
        (TWO_WELLS, dict(n_chains=5, n_warmup=60, n_deep=1000, n_elite=3, seed=0), [0, 2, 2]),
        # everything near the best: the fill pass starts at position 1
        (ONE_WELL, dict(n_chains=5, n_warmup=60, n_deep=30, n_elite=3, seed=2), [0, 1, 2]),
        # more elites wanted than chains: exactly n_chains, the repeat included
        (TWO_WELLS, dict(n_chains=3, n_warmup=60, n_deep=30, n_elite=9, seed=15), [0, 2, 2]),
        # n_elite <= 1 and a single chain: only the best chain is refined
        (TWO_WELLS, dict(n_chains=4, n_warmup=40, n_deep=30, n_elite=-2, seed=3), [0]),
        (ONE_WELL, dict(n_chains=1, n_warmup=20, n_deep=40, n_elite=4, seed=9), [0]),
        # no deep phase: the lowest warm-up chain with its stored energy; chain seeds wrap
        (TWO_WELLS, dict(n_chains=6, n_warmup=30, n_deep=0, n_elite=5, seed=2**64 - 2500), None),
    ],
)
def test_matches_reference_sampler(prob, cfg, elites):
    res, (beta, energy, ref_elites) = run_both(prob, **cfg)
    if elites is not None:
        assert ref_elites == elites  # the seed gives the intended case
    assert_array_equal(res.beta_mcmc, beta)
    assert res.energy == energy
    assert (res.n_chains, res.n_elite) == (cfg["n_chains"], cfg["n_elite"])
    assert res.gibbs.T == 1.0


def test_single_chain_summary():
    res = kc.TournamentMCMC(n_chains=1, n_warmup=5, n_deep=5).fit(ONE_WELL.X, ONE_WELL.y)
    assert (res.gibbs.H, res.gibbs.He, res.gibbs.r_heat) == (0.0, 0.0, 0.01)


def test_gibbs_describes_all_warmup_chains():
    cfg = dict(n_chains=4, n_warmup=3, n_deep=0, seed=1)
    res = kc.TournamentMCMC(**cfg).fit(ONE_WELL.X, ONE_WELL.y, **ONE_WELL.args)
    energies = []
    for c in range(4):
        rng = MT64(1 + 1000 * c)
        init, prop = Normal(0.0, 0.5), Normal(0.0, 0.05)
        b = [init(rng) for _ in range(3)]
        e = ONE_WELL.energy(b)
        T = 2.0
        for _ in range(3):
            b, e = step(b, e, prop, rng, T, ONE_WELL.energy)
            T *= 0.995
        energies.append(e)
    expect = kc.gibbs_entropy(energies, 1.0)
    assert [getattr(res.gibbs, a) for a in ("H", "Hmax", "He", "r_heat", "var_E", "T")] == [
        getattr(expect, a) for a in ("H", "Hmax", "He", "r_heat", "var_E", "T")
    ]


def test_nan_energies_are_accepted_and_never_become_best():
    # A NaN weight makes every energy NaN: each proposal is accepted (a pure random
    # walk that still draws its acceptance uniform), and the answer stays the best
    # warm-up chain because no NaN state replaces it.
    prob = Problem(np.zeros((3, 2)), [0.0, 1.0, 2.0], R2=np.eye(2), gamma2=float("nan"))
    res, (beta, energy, _) = run_both(prob, n_chains=3, n_warmup=25, n_deep=25, n_elite=2)
    assert math.isnan(res.energy) and math.isnan(energy)
    assert_array_equal(res.beta_mcmc, beta)


def test_a_number_replaces_a_nan_best_state():
    # R1 = [[0, inf], [0, 0]] gives b^T R1 b = inf * sign(b0 * b1); the +inf of R2 then
    # makes the energy NaN where b0 * b1 > 0 and +inf where b0 * b1 < 0. Every move is
    # accepted; the first +inf state reached after a NaN start becomes the answer.
    inf = float("inf")
    R1 = np.array([[0.0, inf], [0.0, 0.0]])
    R2 = np.array([[inf, 0.0], [0.0, 0.0]])
    cfg = dict(n_chains=1, n_warmup=0, n_deep=400, step_size=0.5)
    seed = next(s for s in range(100) if _start(s, 2)[0] * _start(s, 2)[1] > 0)
    res = kc.TournamentMCMC(seed=seed, **cfg).fit(np.zeros((2, 2)), [0.0, 1.0], R1, R2, -1.0, 1.0)
    b = _start(seed, 2)
    rng, prop = MT64(seed + 7777), Normal(0.0, 0.15)
    while b[0] * b[1] > 0:
        b = [v + prop(rng) for v in b]
        uniform(rng)
    assert res.energy == inf
    assert_array_equal(res.beta_mcmc, b)


def _start(seed, k):
    rng, init = MT64(seed), Normal(0.0, 0.5)
    return [init(rng) for _ in range(k)]


def test_inactive_penalty_changes_nothing():
    rng = np.random.default_rng(2)
    X, y = rng.normal(size=(30, 3)), rng.normal(size=30)
    sampler = kc.TournamentMCMC(n_chains=4, n_warmup=20, n_deep=50)
    plain = sampler.fit(X, y)
    # wrong shapes too: a penalty with weight 0 is never read
    again = sampler.fit(X, y, np.full((5, 5), np.inf), np.eye(3), 0.0, 0.0)
    assert_array_equal(plain.beta_mcmc, again.beta_mcmc)
    assert plain.energy == again.energy


def _fused_row(x, b, block):
    # Eigen's column-major product: a chain of fused multiply-adds per block of columns
    t = 0.0
    for j2 in range(0, len(b), block):
        a = 0.0
        for j in range(j2, min(j2 + block, len(b))):
            a = float(Fraction(float(x[j])) * Fraction(float(b[j])) + Fraction(a))
        t += a
    return t


def _plain_row(x, b, block):
    # ... and its row without a packet: products rounded on their own
    t = 0.0
    for j2 in range(0, len(b), block):
        a = 0.0
        for j in range(j2, min(j2 + block, len(b))):
            a += float(x[j]) * float(b[j])
        t += a
    return t


@pytest.mark.parametrize("n, k", [(1, 130), (41, 3), (40, 130), (4001, 130)])
def test_energy_rounds_x_b_as_the_matrix_vector_product(n, k):
    # The energy is defined on X*b as Eigen rounds it: fused chains, restarted every 16
    # (or, from 4000 rows, 4) columns once k >= 128, and plain products on the last row
    # of an odd n (and for n = 1, a dot product). Rows whose target lies at the edge of
    # the tolerance make the hit count tell the roundings apart.
    cfg = dict(n_chains=1, n_warmup=0, n_deep=0, seed=3)
    b = kc.TournamentMCMC(**cfg).fit(np.zeros((n, k)), np.zeros(n)).beta_mcmc  # the start
    block = k if k < 128 else (16 if n < 4000 else 4)
    rng = np.random.default_rng(n)
    X, y = np.zeros((n, k)), np.linspace(-1.0, 1.0, n)
    edge = sorted({n - 1, *rng.choice(n, min(8, n // 4), replace=False)})
    rules = {
        i: (_plain_row, _fused_row) if n % 2 and i == n - 1 else (_fused_row, _plain_row)
        for i in edge
    }
    # Far positive predictions, so that the median and the tolerance do not depend on them.
    y[edge] = 50.0
    eps = 0.4 * kc.mad(y) if kc.mad(y) > 0 else 0.4
    yp, other = np.zeros(n), np.zeros(n)
    for i in edge:
        rule, alt = rules[i]
        while True:
            x = rng.uniform(-1.0, 1.0, k)
            x *= 50.0 / abs(rule(x, b, block if n > 1 else k))
            f, g = rule(x, b, block if n > 1 else k), alt(x, b, block if n > 1 else k)
            if f > 0 and f != g:
                # a target within eps of f but not of g
                t = g + math.copysign(eps, f - g)
                for _ in range(4):
                    if abs(f - t) < eps and not abs(g - t) < eps:
                        break
                    t = math.nextafter(t, 2 * t - g)  # away from g
                else:
                    continue
                X[i], y[i], yp[i], other[i] = x, t, f, g
                break
    assert (0.4 * kc.mad(y) if kc.mad(y) > 0 else 0.4) == eps
    res = kc.TournamentMCMC(**cfg).fit(X, y)
    assert res.energy == kc.mdl_score(yp, y, k)
    assert res.energy != kc.mdl_score(other, y, k)


FIT_SCRIPT = """
import numpy as np
from kvro import kvro_core as kc
x = np.linspace(-1, 1, 300)
X = np.vander(x, 6, increasing=True)
y = np.sin(3 * x) + 0.2 * np.cos(17 * x)
R = np.diag(np.arange(6.0))
s = kc.TournamentMCMC(n_chains=9, n_warmup=60, n_deep=200, n_elite=3)
r1, r2 = s.fit(X, y, None, R, 0.0, 0.01), s.fit(X, y, None, R, 0.0, 0.01)
assert r1.beta_mcmc.tobytes() == r2.beta_mcmc.tobytes() and r1.energy == r2.energy
print(r1.beta_mcmc.tobytes().hex(), r1.energy.hex(), r1.gibbs.H.hex())
"""


def test_same_result_for_any_thread_count(tmp_path):
    # Run away from the source tree, so that the installed package is the one imported.
    outs = set()
    for threads in ("1", "2", "4", "8"):
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        proc = subprocess.run(
            [sys.executable, "-c", FIT_SCRIPT],
            env=env,
            cwd=tmp_path,
            capture_output=True,
            text=True,
            check=True,
        )
        outs.add(proc.stdout)
    assert len(outs) == 1


@pytest.mark.parametrize(
    "cfg, X, y, kw",
    [
        (dict(n_chains=0), np.eye(2), [1.0, 2.0], {}),
        (dict(n_chains=-1), np.eye(2), [1.0, 2.0], {}),
        ({}, np.eye(2), [1.0, 2.0, 3.0], {}),
        ({}, np.ones((3, 2)), [1.0], {}),
        ({}, np.eye(2), [1.0, 2.0], dict(R1=np.eye(3), gamma1=1.0)),
        ({}, np.eye(2), [1.0, 2.0], dict(R2=np.ones((2, 1)), gamma2=float("nan"))),
    ],
)
def test_fit_rejects_inconsistent_input(cfg, X, y, kw):
    with pytest.raises(ValueError):
        kc.TournamentMCMC(**cfg).fit(X, y, **kw)


@pytest.mark.skipif(
    bool(os.environ.get("KVRO_SANITIZED")),
    reason="the sanitizer's shadow memory needs more address space than the limit",
)
def test_memory_exhaustion_in_a_chain_raises_memory_error(tmp_path):
    # Under a 6 GiB address-space limit, a chain's 16 GiB coefficient vector cannot be
    # allocated; X has no rows, so nothing before the parallel region is that large.
    script = textwrap.dedent("""
        import resource
        import numpy as np
        from kvro import kvro_core as kc
        resource.setrlimit(resource.RLIMIT_AS, (6 << 30, 6 << 30))
        X = np.empty((0, 2**31 - 1))
        try:
            kc.TournamentMCMC(n_chains=3).fit(X, np.empty(0))
        except MemoryError:
            print("MemoryError")
        print(kc.TournamentMCMC(n_chains=2, n_deep=3).fit(np.eye(2), [1.0, 2.0]).n_chains)
    """)
    proc = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True
    )
    assert proc.stdout.split() == ["MemoryError", "2"], proc.stderr


def test_argument_conversion():
    assert kc.TournamentMCMC(seed=2**64 - 1).fit(np.eye(2), [1, 2]).n_elite == 5
    with pytest.raises(TypeError):
        kc.TournamentMCMC(seed=-1)
    with pytest.raises(TypeError):
        kc.TournamentMCMC(n_chains=2.0)
    with pytest.raises(RuntimeError):
        kc.TournamentMCMC().fit(np.eye(2), [1.0, 2.0], R1="abc")


def test_result_objects_are_read_only_views():
    res = kc.TournamentMCMC(n_chains=2, n_deep=5).fit(np.eye(3), [1.0, 2.0, 3.0])
    beta = res.beta_mcmc
    assert not beta.flags.writeable and not beta.flags.owndata
    with pytest.raises(ValueError):
        beta[0] = 1.0
    assert beta.__array_interface__["data"][0] == res.beta_mcmc.__array_interface__["data"][0]
    for obj, attr in [(res, "energy"), (res, "beta_mcmc"), (res, "gibbs"), (res.gibbs, "H")]:
        with pytest.raises(AttributeError):
            setattr(obj, attr, 0.0)
    for cls in (kc.GibbsResult, kc.MCMCResult):
        with pytest.raises(TypeError, match="No constructor defined"):
            cls()
    expect, H = beta.copy(), res.gibbs.H
    gibbs = res.gibbs
    del res
    gc.collect()
    np.zeros((1000, 3))  # reuse freed memory if the views did not keep it
    assert_array_equal(beta, expect)
    assert gibbs.H == H


LN2 = math.log(2.0)


@pytest.mark.parametrize(
    "energies, T, expect",
    [
        ([3.7], 0.5, dict(H=0.0, Hmax=LN2, He=0.0, r_heat=0.01, var_E=0.0)),
        ([2.0] * 4, 1.0, dict(H=math.log(4), He=1.0, r_heat=1.0, var_E=0.0)),
        ([0.0, 1.0], 1.0, dict(H=0.582203, Hmax=LN2, He=0.839942, r_heat=0.841542, var_E=0.25)),
        ([1.0, 0.0], 1.0, dict(H=0.582203, He=0.839942)),
        # T = 0: uniform over the two minima among five energies
        ([1.0, 0.0, 5.0, 0.0, 1e-290], 0.0, dict(H=LN2, He=LN2 / math.log(5))),
        ([0.0, 3.0, 9.0], 1e12, dict(He=1.0)),
    ],
)
def test_gibbs_entropy(energies, T, expect):
    g = kc.gibbs_entropy(energies, T)
    assert g.T == T
    for name, value in expect.items():
        assert_allclose(getattr(g, name), value, rtol=1e-6, atol=1e-12, err_msg=name)


def test_gibbs_entropy_default_temperature_and_empty_input():
    assert kc.gibbs_entropy(np.array([0.0, 2.0])).T == 1.0
    with pytest.raises(ValueError):
        kc.gibbs_entropy([])
