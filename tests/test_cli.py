"""The kvro command: the demo, fits of CSV files, and clean failures on bad input."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from kvro import cli


def run(argv, capsys):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def write_csv(path, header, rows):
    lines = [",".join(header)] + [",".join(str(c) for c in r) for r in rows]
    path.write_text("\n".join(lines) + "\n")
    return path


def is_png(path):
    return Path(path).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_prints_its_table_and_draws(tmp_path, capsys):
    png = tmp_path / "demo.png"
    code, out, err = run(["demo", "--plot", png], capsys)
    assert (code, err) == (0, "")
    for method in ("ols", "penalised", "mcmc"):
        assert any(line.startswith(method + " ") for line in out.splitlines())
    assert is_png(png)


def test_demo_sampler_ignores_the_outliers(capsys):
    code, out, _ = run(["demo", "--no-plot", "--json"], capsys)
    assert code == 0
    fits = {f["method"]: f for f in json.loads(out)["fits"]}
    # 30 of the 200 points are outliers: a fit through the rest hits about 85 %.
    assert fits["mcmc"]["hit_rate"] > 0.8 > fits["ols"]["hit_rate"]
    assert fits["mcmc"]["rms_to_true_curve"] < 0.5 * fits["ols"]["rms_to_true_curve"]
    # The sampler minimises the penalised score, so no other fit may score lower.
    assert min(f["mdl_penalised"] for f in fits.values()) == fits["mcmc"]["mdl_penalised"]


def test_no_command_prints_help_and_fails(capsys):
    code, out, err = run([], capsys)
    assert code == 2 and out == ""
    assert err.startswith("usage: kvro")


def test_fit_recovers_a_polynomial_in_original_units(tmp_path, capsys):
    # Off-centre x, so the map back from the scaled variable is exercised.
    t = np.linspace(2.0, 6.0, 25)
    csv = write_csv(tmp_path / "d.csv", ["t", "y"], zip(t, 1 + 2 * t - 3 * t**2, strict=True))
    png = tmp_path / "fit.png"
    argv = ["fit", csv, "--x", "t", "--y", "y", "--deg", 2, "--gamma2", 0, "--json", "--plot", png]
    code, out, _ = run(argv, capsys)
    assert code == 0
    result = json.loads(out)
    assert result["terms"] == ["1", "t", "t^2"]
    fits = {f["method"]: f for f in result["fits"]}
    np.testing.assert_allclose(fits["ols"]["coef"], [1, 2, -3], rtol=0, atol=1e-9)
    np.testing.assert_allclose(fits["penalised"]["coef"], [1, 2, -3], rtol=0, atol=1e-6)
    assert fits["ols"]["hit_rate"] == 1.0
    assert is_png(png)


def test_coefficients_that_overflow_are_null_in_json(tmp_path, capsys):
    # Monomials of degree 60 around 1e6: the original-unit coefficients pass 1e308.
    t = np.linspace(1e6, 1e6 + 10, 80)
    csv = write_csv(tmp_path / "d.csv", ["t", "y"], zip(t, np.sin(t - 1e6), strict=True))
    argv = ["fit", csv, "--x", "t", "--y", "y", "--deg", 60, "--method", "ols", "--json"]
    code, out, _ = run(argv, capsys)
    assert code == 0
    fit = json.loads(out)["fits"][0]
    assert None in fit["coef"] and all(np.isfinite(fit["coef_scaled"]))


def test_fit_in_two_variables(tmp_path, capsys):
    a, b = np.meshgrid(np.linspace(10, 20, 5), np.linspace(-3, 1, 4))
    a, b = a.ravel(), b.ravel()
    csv = write_csv(
        tmp_path / "d.csv", ["a", "b", "y"], zip(a, b, 1 + a + 2 * b + 0.5 * a * b, strict=True)
    )
    png = tmp_path / "nd.png"
    argv = ["fit", csv, "--x", "a", "--x", "b", "--y", "y", "--deg", 1, "--method", "ols"]
    code, out, _ = run([*argv, "--json", "--plot", png], capsys)
    assert code == 0
    result = json.loads(out)
    # Basis order: the last variable's exponent varies fastest.
    assert result["terms"] == ["1", "b", "a", "a*b"]
    np.testing.assert_allclose(result["fits"][0]["coef"], [1, 2, 1, 0.5], rtol=0, atol=1e-9)
    assert is_png(png)
    code, out, _ = run(argv, capsys)
    assert code == 0 and "a*b" in out


def test_header_with_byte_order_mark(tmp_path, capsys):
    # Spreadsheet programs start UTF-8 files with a byte order mark.
    path = tmp_path / "bom.csv"
    path.write_bytes(b"\xef\xbb\xbfx,y\n0,1\n1,3\n")
    code, out, _ = run(
        ["fit", path, "--x", "x", "--y", "y", "--deg", 1, "--method", "ols", "--json"], capsys
    )
    assert code == 0
    np.testing.assert_allclose(json.loads(out)["fits"][0]["coef"], [1, 2], rtol=0, atol=1e-12)


@pytest.fixture
def data(tmp_path):
    return write_csv(tmp_path / "d.csv", ["x", "y", "c"], [(i, i * i, 7) for i in range(6)])


@pytest.mark.parametrize(
    "argv, code, phrase",
    [
        (["fit", "{dir}/none.csv", "--x", "x", "--y", "y", "--deg", 1], 1, "No such file"),
        (["fit", "{data}", "--x", "z", "--y", "y", "--deg", 1], 1, "no column 'z'"),
        (["fit", "{data}", "--x", "x", "--y", "y", "--deg", 6], 1, "6 rows are too few"),
        (["fit", "{data}", "--x", "x", "--y", "y", "--deg", -1], 2, "must not be negative"),
        (["fit", "{data}", "--x", "x", "--x", "c", "--y", "y", "--deg", 50], 1, "2601 coeff"),
        (["fit", "{data}", "--x", "c", "--y", "y", "--deg", 1], 1, "'c' is constant"),
        (["fit", "{data}", "--x", "x", "--x", "x", "--y", "y", "--deg", 1], 2, "only once"),
        (["fit", "{data}", "--x", "x", "--deg", 1], 2, "--y"),
        (["fit", "{data}", "--x", "x", "--y", "y", "--deg", 1, "--gamma2", -1], 2, ">= 0"),
        (
            ["fit", "{data}", "--x", "x", "--y", "y", "--deg", 1, "--plot", "{dir}/no/p.png"],
            1,
            "cannot write",
        ),
        (
            ["fit", "{data}", "--x", "x", "--y", "y", "--deg", 1, "--plot", "{dir}/p.xyz"],
            1,
            "cannot write",
        ),
        (["demo", "--seed", -1], 2, "--seed"),
    ],
)
def test_command_line_mistakes_fail_in_one_line(argv, code, phrase, data, tmp_path, capsys):
    argv = [str(a).format(dir=tmp_path, data=data) for a in argv]
    got, out, err = run(argv, capsys)
    assert got == code and out == ""
    assert err.count("\n") == 1 and err.startswith("kvro: error: ")
    assert phrase in err


@pytest.mark.parametrize(
    "content, phrase",
    [
        ("x,y\n1,2\n2,abc\n", "line 3, column 'y': 'abc' is not a number"),
        ("x,y\n1,2\n2,\n", "line 3, column 'y': '' is not a number"),
        ("x,y\n1,2\n2,nan\n", "'nan' is not a finite number"),
        ("x,y\n1,2\n2\n", "line 3: 1 fields where the header has 2"),
        ("", "is empty"),
        ("x,y\n", "0 rows are too few"),
        ("x,y,y\n1,2,3\n", "more than one column named 'y'"),
        (b"x,y\n\xff,1\n", "cannot read"),
    ],
)
def test_bad_files_fail_in_one_line(content, phrase, tmp_path, capsys):
    path = tmp_path / "bad.csv"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    code, out, err = run(["fit", path, "--x", "x", "--y", "y", "--deg", 0], capsys)
    assert code == 1 and out == ""
    assert err.count("\n") == 1 and err.startswith("kvro: error: ")
    assert phrase in err


def test_without_matplotlib(monkeypatch, data, tmp_path, capsys):
    real = cli.importlib.util.find_spec
    monkeypatch.setattr(
        cli.importlib.util,
        "find_spec",
        lambda name, *a: None if name == "matplotlib" else real(name, *a),
    )
    png = tmp_path / "p.png"
    code, _, err = run(["fit", data, "--x", "x", "--y", "y", "--deg", 1, "--plot", png], capsys)
    assert code == 1 and "kvro[plot]" in err and not png.exists()
    # The demo still prints its table and says why there is no picture.
    code, out, err = run(["demo", "--plot", png, "--method", "ols"], capsys)
    assert code == 0 and "ols" in out and "matplotlib" in err and not png.exists()


@pytest.mark.parametrize(
    "command",
    [
        [sys.executable, "-m", "kvro", "fit", "missing.csv", "--x", "x", "--y", "y", "--deg", "1"],
        [
            str(Path(sys.executable).with_name("kvro")),
            "fit",
            "missing.csv",
            "--x",
            "x",
            "--y",
            "y",
            "--deg",
            "1",
        ],
    ],
    ids=["python -m kvro", "console script"],
)
def test_installed_command_fails_without_traceback(command, tmp_path):
    # Run outside the source tree, so the installed package is the one imported.
    out = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert out.returncode == 1 and out.stdout == ""
    assert out.stderr == "kvro: error: cannot read missing.csv: No such file or directory\n"


def test_closed_output_pipe_ends_quietly(tmp_path):
    # `kvro demo | head`: the reader has closed the pipe before kvro writes.
    read_end, write_end = os.pipe()
    os.close(read_end)
    with os.fdopen(write_end, "wb") as stdout:
        out = subprocess.run(
            [sys.executable, "-m", "kvro", "demo", "--no-plot"],
            cwd=tmp_path,
            stdout=stdout,
            stderr=subprocess.PIPE,
            text=True,
            timeout=60,
        )
    assert out.returncode == 1
    assert out.stderr == ""
