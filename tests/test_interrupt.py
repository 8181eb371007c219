"""Ctrl-C stops long calls: a child process starts a call that would run for minutes,
the test sends it SIGINT, and the call must end in KeyboardInterrupt soon after,
leaving the interpreter (and the OpenMP team) fit for the next call.
"""

import os
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# Far above the 10 ms polling period, for a loaded machine or a sanitizer build.
BOUND_S = 2.0

PRELUDE = """
import sys, time
import numpy as np
from kvro import kvro_core as kc
"""

CALLS = {
    # 10^6 warm-up steps of 8 chains on two threads: the workers must stop too.
    "sampler": """
        X = kc.design_matrix_1d(7, np.linspace(-1, 1, 2000))
        y = np.sin(3 * np.linspace(-1, 1, 2000))
        call = lambda: kc.TournamentMCMC(n_chains=8, n_warmup=10**6).fit(X, y)
    """,
    # 10^5 x 200 entries of 200 powers each
    "design_matrix_nd": """
        cols = [np.linspace(0.5, 1.5, 10**5)] * 200
        call = lambda: kc.design_matrix_nd([[2] * 200] * 200, cols)
    """,
    "smoothness_penalty_matrices_1d": """
        call = lambda: kc.smoothness_penalty_matrices_1d(3, 0.0, 1.0, 2**31 - 1)
    """,
    # 2^19 pairs of basis functions, each a sum of about 100 products over 1000 axes
    "build_penalty_matrices_nd": """
        call = lambda: kc.build_penalty_matrices_nd([1] * 10 + [0] * 990, [(0.0, 1.0)] * 1000, 2)
    """,
}

AFTER = """
print("ready", flush=True)
try:
    call()
    print("returned", flush=True)
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
r = kc.TournamentMCMC(n_chains=4, n_warmup=5, n_deep=5).fit(np.eye(3), [1.0, 2.0, 3.0])
print("fit after", r.n_chains, flush=True)
"""


@pytest.mark.parametrize("name", CALLS)
def test_sigint_stops_a_long_call(name, tmp_path):
    script = PRELUDE + textwrap.dedent(CALLS[name]) + AFTER
    env = dict(os.environ, OMP_NUM_THREADS="2")
    proc = subprocess.Popen(
        [sys.executable, "-c", script],
        cwd=tmp_path,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert proc.stdout.readline() == "ready\n", proc.stderr.read()
        time.sleep(0.5)  # well inside the call
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        ready, _, _ = select.select([proc.stdout], [], [], BOUND_S)
        assert ready, f"still running {BOUND_S} s after SIGINT"
        assert proc.stdout.readline() == "KeyboardInterrupt\n", proc.stderr.read()
        assert time.monotonic() - sent < BOUND_S
        out, err = proc.communicate(timeout=60)
        assert out == "fit after 4\n" and proc.returncode == 0, err
    finally:
        proc.kill()
        proc.wait()


def test_any_number_of_dimensions(tmp_path):
    # A recursion per dimension used to overflow the stack here.
    script = PRELUDE + textwrap.dedent("""
        R1, R2, mi = kc.build_penalty_matrices_nd([0] * 300000, [(0.0, 1.0)] * 300000, 2)
        print(R1.shape, R2.shape, len(mi), len(mi[0]))
    """)
    proc = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=300
    )
    assert proc.stdout == "(1, 1) (1, 1) 1 300000\n", proc.stderr
