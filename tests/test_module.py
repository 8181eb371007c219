"""The module frame: import check, registration, argument conversion rules."""

import glob
import os
import subprocess

import numpy as np
import pytest

from kvro import kvro_core

API = [
    "mad",
    "compute_sr",
    "mdl_score",
    "mdl_score_reg",
    "design_matrix_1d",
    "smoothness_penalty_matrices_1d",
    "boundary_reduce_1d",
    "design_matrix_nd",
    "build_penalty_matrices_nd",
    "ols",
    "fit_regularized_linear",
    "GibbsResult",
    "gibbs_entropy",
    "MCMCResult",
    "TournamentMCMC",
]


def test_docstring_and_registration_order():
    assert kvro_core.__doc__ == "KVRO-P performans-kritik cekirdegi (C++/Eigen)."
    public = [name for name in vars(kvro_core) if not name.startswith("_")]
    assert public == API


def other_interpreters():
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = []
    for minor in ("3.11", "3.13"):
        found += sorted(glob.glob(os.path.join(root, "versions", minor + ".*", "bin", "python3")))[
            :1
        ]
    return found


@pytest.mark.parametrize("python", other_interpreters() or [None])
def test_import_under_other_interpreter_is_refused(python):
    if python is None:
        pytest.skip("no Python 3.11 or 3.13 under pyenv")
    # Lazy binding lets the entry point run even where a newer interpreter lacks a
    # symbol the module refers to; the version check must refuse it first.
    code = (
        "import importlib.machinery as m, importlib.util as u, os, sys\n"
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        "path = sys.argv[1]\n"
        "spec = u.spec_from_file_location('kvro_core', path, "
        "loader=m.ExtensionFileLoader('kvro_core', path))\n"
        "try:\n"
        "    u.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run(
        [python, "-c", code, kvro_core.__file__], capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 0, out.stderr
    version = subprocess.run(
        [python, "-c", "import sys; print(sys.version)"], capture_output=True, text=True
    ).stdout.strip()
    assert out.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.12, but the interpreter "
        f"version is incompatible: {version}."
    )


yt4 = [0.0, 1.0, 2.0, 3.0]


@pytest.mark.parametrize(
    "y",
    [
        [0, 1, 2, 3],
        np.array([0, 1, 2, 3], dtype=np.int32),
        np.array([[0.0], [1.0], [2.0], [3.0]]),
        np.array([0.0, 9.0, 1.0, 9.0, 2.0, 9.0, 3.0])[::2],
        np.array([3.0, 2.0, 1.0, 0.0])[::-1],
        (0.0, 1.0, 2.0, 3.0),
    ],
    ids=["list", "int32", "n_by_1", "strided", "reversed", "tuple"],
)
def test_vector_arguments_accept_array_likes(y):
    assert kvro_core.mad(y) == 1.0
    assert kvro_core.compute_sr(y, yt4, 0.5) == 1.0


@pytest.mark.parametrize(
    "call",
    [
        lambda: kvro_core.mad(np.ones((3, 2))),
        lambda: kvro_core.mad(np.ones((2, 2, 2))),
        lambda: kvro_core.mad(["a", "b"]),
        lambda: kvro_core.mad(),
        lambda: kvro_core.mdl_score(yt4, yt4, 2.0),
        lambda: kvro_core.mdl_score(yt4, yt4, 2, 20.5),
        lambda: kvro_core.mdl_score(yt4, yt4, 2**31),
        lambda: kvro_core.mdl_score(yt4, yt4, -(2**31) - 1),
        lambda: kvro_core.mdl_score(yt4, yt4, 2, h=20),
        lambda: kvro_core.compute_sr(yt4, yt4, "0.5"),
        lambda: kvro_core.mdl_score_reg(yt4, yt4, 2, 20, [0.0], None, [[1.0]]),
        lambda: kvro_core.mdl_score_reg(yt4, yt4, 2, [0.0], [[1.0]], [[1.0]]),
    ],
    ids=[
        "n_by_2",
        "3d",
        "strings",
        "missing",
        "float_for_int",
        "float_for_H",
        "int_too_big",
        "int_too_small",
        "unknown_keyword",
        "string_for_float",
        "none_matrix",
        "H_required",
    ],
)
def test_unconvertible_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_numpy_integers_and_keywords():
    yp = [0.0, 1.0, 2.0, 3.5]
    expected = kvro_core.mdl_score(yp, yt4, 2, 20)
    assert kvro_core.mdl_score(yp=yp, yt=yt4, k=np.int64(2)) == expected
    assert kvro_core.mdl_score(yp, yt4, k=2, H=np.int16(20)) == expected
    assert kvro_core.compute_sr(yp=yp, yt=yt4, eps=1) == 1.0
    assert (
        kvro_core.mdl_score_reg(
            yp=yp, yt=yt4, k=2, H=20, beta=[1.0], R1=[[1.0]], R2=[[1.0]], gamma1=0.0, gamma2=0.0
        )
        == expected
    )


def test_arguments_are_not_modified():
    y = np.array([5.0, 1.0, 4.0, 2.0, 3.0])
    yp = y + 0.1
    keep_y, keep_yp = y.copy(), yp.copy()
    beta = np.array([1.0, -2.0])
    R = np.array([[2.0, 1.0], [1.0, 2.0]])
    keep_R = R.copy()
    kvro_core.mad(y)
    kvro_core.compute_sr(yp, y, 0.2)
    kvro_core.mdl_score(yp, y, 3)
    kvro_core.mdl_score_reg(yp, y, 3, 20, beta, R, R, 1.0, 1.0)
    np.testing.assert_array_equal(y, keep_y)
    np.testing.assert_array_equal(yp, keep_yp)
    np.testing.assert_array_equal(R, keep_R)


def test_read_only_arrays_are_accepted():
    y = np.array([1.0, 2.0, 3.0, 4.0, 100.0])
    y.flags.writeable = False
    assert kvro_core.mad(y) == 1.0
