"""The kvro command: the demo, fits of CSV files, their outputs, and clean failures."""

import csv
import json
import os
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import kvro
from kvro import cli, report


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
    for method in kvro.METHODS:
        assert any(line.startswith(method + " ") for line in out.splitlines())
    assert is_png(png)


def test_demo_robust_fit_is_near_the_true_curve(capsys):
    code, out, _ = run(["demo", "--no-plot", "--json"], capsys)
    assert code == 0
    fits = {f["method"]: f for f in json.loads(out)["fits"]}
    assert list(fits) == list(kvro.METHODS)
    # 30 of the 200 points are outliers: robust and sampler keep the other 170.
    assert fits["robust"]["inliers"] == fits["mcmc"]["inliers"] == 170
    assert fits["mcmc"]["hit_rate"] > 0.8 > fits["ols"]["hit_rate"]
    # Noise of sd 0.1 on 170 points: least squares on them lands within about 0.02.
    rms = {m: f["rms_to_true_curve"] for m, f in fits.items()}
    assert rms["robust"] < 0.03 and rms["robust"] < 0.2 * min(rms["ols"], rms["mcmc"])


def test_no_command_prints_help_and_version_prints_version(capsys):
    code, out, err = run([], capsys)
    assert code == 2 and out == ""
    assert err.startswith("usage: kvro")
    assert run(["--version"], capsys) == (0, f"kvro {kvro.__version__}\n", "")


def test_fit_recovers_a_polynomial_in_original_units(tmp_path, capsys):
    # Off-centre x, so the map back from the scaled variable is exercised.
    t = np.linspace(2.0, 6.0, 25)
    path = write_csv(tmp_path / "d.csv", ["t", "y"], zip(t, 1 + 2 * t - 3 * t**2, strict=True))
    png = tmp_path / "fit.png"
    argv = ["fit", path, "--x", "t", "--y", "y", "--deg", 2, "--gamma2", 0, "--json"]
    code, out, _ = run([*argv, "--method", "all", "--plot", png], capsys)
    assert code == 0 and is_png(png)
    result = json.loads(out)
    fits = {f["method"]: f for f in result["fits"]}
    assert fits["ols"]["terms"] == ["1", "t", "t^2"]
    for method in ("robust", "ols", "penalised"):
        np.testing.assert_allclose(fits[method]["coef"], [1, 2, -3], rtol=0, atol=1e-6)
    # Without --method, the robust fit alone.
    code, out, _ = run(argv, capsys)
    assert [f["method"] for f in json.loads(out)["fits"]] == ["robust"]


def test_json_carries_the_fit_and_where_it_came_from(tmp_path, capsys):
    rng = np.random.default_rng(1)
    t = np.linspace(0.0, 10.0, 200)
    y = 3.0 - 0.5 * t + rng.normal(0.0, 0.2, t.size)
    path = write_csv(tmp_path / "d.csv", ["t", "y"], zip(t, y, strict=True))
    argv = ["fit", path, "--x", "t", "--y", "y", "--deg", 1, "--seed", 5, "--json"]
    code, out, _ = run(argv, capsys)
    assert code == 0
    result = json.loads(out)
    assert (result["command"], result["file"], result["x"], result["y"]) == (
        "fit",
        str(path),
        ["t"],
        "y",
    )
    assert (result["version"], result["rows"]) == (kvro.__version__, 200)
    f = result["fits"][0]
    ref = kvro.fit(t, y, 1, seed=5)
    assert (f["method"], f["seed"], f["inliers"]) == ("robust", 5, int(ref.inliers.sum()))
    np.testing.assert_allclose(f["stderr"], ref.stderr, rtol=1e-12)
    assert f["residual_scale"] == pytest.approx(ref.residual_scale, rel=1e-12)
    assert f["residual_scale"] == pytest.approx(0.2, rel=0.25)


def test_out_has_one_row_per_input_point_and_flags_the_outliers(tmp_path, capsys):
    rng = np.random.default_rng(2)
    t = rng.permutation(np.linspace(-5.0, 5.0, 120))  # unsorted: rows must keep their order
    y = 1.0 + 0.3 * t - 0.1 * t**2 + rng.normal(0.0, 0.05, t.size)
    bad = np.zeros(t.size, dtype=bool)
    bad[rng.choice(t.size, 15, replace=False)] = True
    y[bad] += rng.uniform(2.0, 5.0, bad.sum())
    path = write_csv(
        tmp_path / "d.csv", ["y", "note", "t"], [(b, "x", a) for a, b in zip(t, y, strict=True)]
    )
    out_path = tmp_path / "out.csv"
    argv = ["fit", path, "--x", "t", "--y", "y", "--deg", 2, "--out", out_path]
    code, out, _ = run(argv, capsys)
    assert code == 0 and f"per-point table: {out_path}" in out
    with open(out_path, newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["t", "y", "fitted", "residual", "inlier"]
    table = np.array(rows[1:], dtype=float)
    np.testing.assert_array_equal(table[:, 0], t)
    np.testing.assert_array_equal(table[:, 1], y)
    np.testing.assert_allclose(table[:, 1] - table[:, 2], table[:, 3], atol=1e-12)
    truth = 1.0 + 0.3 * t - 0.1 * t**2
    np.testing.assert_allclose(table[:, 2], truth, atol=0.05)
    np.testing.assert_array_equal(table[:, 4] == 0, bad)
    # Several methods: one set of output columns per method.
    code, _, _ = run([*argv, "--method", "all"], capsys)
    with open(out_path, newline="") as f:
        header = next(csv.reader(f))
    assert code == 0 and header[2:5] == ["fitted_robust", "residual_robust", "inlier_robust"]
    assert len(header) == 2 + 3 * len(kvro.METHODS)


def test_coefficients_that_overflow_are_null_in_json_and_warned(tmp_path, capsys):
    # Monomials of degree 60 around 1e6: the original-unit coefficients pass 1e308.
    t = np.linspace(1e6, 1e6 + 10, 80)
    path = write_csv(tmp_path / "d.csv", ["t", "y"], zip(t, np.sin(t - 1e6), strict=True))
    argv = ["fit", path, "--x", "t", "--y", "y", "--deg", 60, "--method", "ols"]
    code, out, err = run([*argv, "--json"], capsys)
    assert code == 0
    fit = json.loads(out)["fits"][0]
    assert None in fit["coef"] and all(np.isfinite(fit["coef_unit"]))
    assert err.startswith("kvro: warning: some coefficients overflow")
    code, out, _ = run(argv, capsys)
    assert code == 0 and "overflow" in out and "inf" not in out


def test_fit_in_two_variables(tmp_path, capsys):
    a, b = np.meshgrid(np.linspace(10, 20, 5), np.linspace(-3, 1, 4))
    a, b = a.ravel(), b.ravel()
    path = write_csv(
        tmp_path / "d.csv", ["a", "b", "y"], zip(a, b, 1 + a + 2 * b + 0.5 * a * b, strict=True)
    )
    png = tmp_path / "nd.png"
    argv = ["fit", path, "--x", "a", "--x", "b", "--y", "y", "--method", "ols", "--json"]
    # Total degree by default: degree 2 holds a*b; the last variable varies fastest.
    code, out, _ = run([*argv, "--deg", 2, "--plot", png], capsys)
    assert code == 0 and is_png(png)
    fit = json.loads(out)["fits"][0]
    assert fit["terms"] == ["1", "b", "b^2", "a", "a*b", "a^2"]
    np.testing.assert_allclose(fit["coef"], [1, 2, 0, 1, 0.5, 0], rtol=0, atol=1e-9)
    code, out, _ = run([*argv, "--deg", 1, "--basis", "tensor"], capsys)
    fit = json.loads(out)["fits"][0]
    assert code == 0 and fit["terms"] == ["1", "b", "a", "a*b"]
    np.testing.assert_allclose(fit["coef"], [1, 2, 1, 0.5], rtol=0, atol=1e-9)


def test_text_report_puts_each_coefficient_in_its_row():
    # Fits of different degrees (as deg="auto" may give) share the table of terms.
    t = np.linspace(1.0, 3.0, 20)
    line = kvro.fit(t, 5 - t, 1, method="ols")
    parabola = kvro.fit(t, 2 + 3 * t - 4 * t**2, 2, method="penalised", gamma2=0)
    text = report.text_report([parabola, line], ["t"], "y", "title")
    rows = {r.split()[0]: r.split()[1:] for r in text.splitlines()[-3:]}
    assert [c for c in rows["1"] if c != "+/-"][::2] == ["2", "5"]
    assert [c for c in rows["t"] if c != "+/-"][::2] == ["3", "-1"]
    assert rows["t^2"][0] == "-4" and len(rows["t^2"]) == 3


def test_sampler_options_reach_the_fit(tmp_path, capsys, monkeypatch):
    t = np.linspace(0.0, 1.0, 30)
    path = write_csv(tmp_path / "d.csv", ["t", "y"], zip(t, t**2, strict=True))
    seen = {}
    real = kvro.fit

    def spy(*args, **kwargs):
        seen.update(kwargs)
        return real(*args, **kwargs)

    monkeypatch.setattr(kvro, "fit", spy)
    argv = ["fit", path, "--x", "t", "--y", "y", "--deg", "auto", "--method", "mcmc"]
    argv += ["--chains", 3, "--warmup", 4, "--deep", 5, "--elites", 2, "--step", 0.1]
    argv += ["--seed", 9, "--gamma1", 0.5, "--gamma2", 0.25]
    code, _, _ = run(argv, capsys)
    assert code == 0
    assert seen == dict(method="mcmc", basis="total", gamma1=0.5, gamma2=0.25, seed=9,
                        n_chains=3, n_warmup=4, n_deep=5, n_elite=2, step_size=0.1)  # fmt: skip


def test_a_fit_warning_is_one_line_on_stderr(tmp_path, capsys, monkeypatch):
    t = np.linspace(0.0, 1.0, 30)
    path = write_csv(tmp_path / "d.csv", ["t", "y"], zip(t, t, strict=True))
    real = kvro.fit

    def warning_fit(*args, **kwargs):
        warnings.warn("worse than least squares:\nlook again", kvro.FitWarning, stacklevel=2)
        return real(*args, **kwargs)

    monkeypatch.setattr(kvro, "fit", warning_fit)
    code, out, err = run(["fit", path, "--x", "t", "--y", "y", "--deg", 1], capsys)
    assert code == 0 and "robust" in out
    assert err == "kvro: warning: worse than least squares: look again\n"


@pytest.fixture
def data(tmp_path):
    rows = [(i, i * i, 7, i % 3, 1.7e308 * (-1) ** i) for i in range(6)]
    return write_csv(tmp_path / "d.csv", ["x", "y", "c", "fitted", "huge"], rows)


@pytest.mark.parametrize(
    "argv, code, phrase",
    [
        (["fit", "{dir}/none.csv", "--x", "x", "--y", "y", "--deg", 1], 1, "No such file"),
        (["fit", "{data}", "--x", "z", "--y", "y", "--deg", 1], 1, "no column 'z'"),
        (["fit", "{data}", "--x", "x", "--y", "y", "--deg", 6], 1, "6 rows are too few"),
        (["fit", "{data}", "--x", "x", "--y", "y", "--deg", -1], 2, "'auto' or an int >= 0"),
        (["fit", "{data}", "--x", "x", "--y", "y", "--deg", "two"], 2, "--deg"),
        (["fit", "{data}", "--x", "x", "--x", "c", "--y", "y", "--deg", 1], 1, "'c' is constant"),
        (["fit", "{data}", "--x", "x", "--x", "x", "--y", "y", "--deg", 1], 2, "only once"),
        (["fit", "{data}", "--x", "x", "--deg", 1], 2, "--y"),
        (["fit", "{data}", "--x", "x", "--y", "y", "--deg", 1, "--gamma2", -1], 2, ">= 0"),
        (["fit", "{data}", "--x", "x", "--y", "y", "--deg", 1, "--chains", 0], 2, "--chains"),
        (["fit", "{data}", "--x", "x", "--y", "y", "--deg", 1, "--step", "nan"], 2, "--step"),
        (["fit", "{data}", "--x", "x", "--y", "y", "--deg", 1, "--basis", "x"], 2, "--basis"),
        (["fit", "{data}", "--x", "x", "--y", "y", "--deg", 1, "--method", "x"], 2, "--method"),
        # A finite y whose spread overflows must not become a fit of inf and NaN.
        (["fit", "{data}", "--x", "x", "--y", "huge", "--deg", 1], 1, "'huge' overflows"),
        (["fit", "{data}", "--x", "huge", "--y", "y", "--deg", 1], 1, "'huge' overflows"),
        (
            ["fit", "{data}", "--x", "fitted", "--y", "y", "--deg", 1, "--out", "{dir}/o.csv"],
            1,
            "rename it",
        ),
        (
            ["fit", "{data}", "--x", "x", "--y", "y", "--deg", 1, "--out", "{dir}/no/o.csv"],
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
        ("x,y\n1,2\n2,\n", "line 3, column 'y': empty cell"),
        ("x,y\n1,2\n2,nan\n", "line 3, column 'y': 'nan' marks a missing value"),
        ("x,y\n1,2\n2,-inf\n", "line 3, column 'y': '-inf' is not a finite number"),
        ("x,y\n1,2\n2\n", "line 3: 1 fields where the header has 2"),
        ("", "is empty"),
        ("x,y\n", "no data"),
        ("x,y,y\n1,2,3\n", "more than one column named 'y'"),
        (b"x,y\n\xff,1\n", "cannot read"),
        (b"\xef\xbb\xbfx,y\n0,1\n1,3\n", None),  # a spreadsheet's byte order mark is fine
    ],
)
def test_bad_files_fail_in_one_line(content, phrase, tmp_path, capsys):
    path = tmp_path / "bad.csv"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    code, out, err = run(["fit", path, "--x", "x", "--y", "y", "--deg", 0], capsys)
    if phrase is None:
        assert (code, err) == (0, "")
        return
    assert code == 1 and out == ""
    assert err.count("\n") == 1 and err.startswith("kvro: error: ")
    assert phrase in err


def test_without_matplotlib(monkeypatch, data, tmp_path, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib fails
    png = tmp_path / "p.png"
    code, _, err = run(["fit", data, "--x", "x", "--y", "y", "--deg", 1, "--plot", png], capsys)
    assert code == 1 and "kvro[plot]" in err and not png.exists()
    # The demo still prints its table and says why there is no picture.
    code, out, err = run(["demo", "--plot", png, "--method", "ols"], capsys)
    assert code == 0 and "ols" in out and not png.exists()
    assert err.startswith("kvro: warning: no picture") and "kvro[plot]" in err


def test_interrupt_ends_in_one_line(monkeypatch, data, capsys):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(kvro, "fit", interrupted)
    code, out, err = run(["fit", data, "--x", "x", "--y", "y", "--deg", 1], capsys)
    assert (code, out, err) == (130, "", "kvro: interrupted\n")


MISSING = ["fit", "missing.csv", "--x", "x", "--y", "y", "--deg", "1"]


@pytest.mark.parametrize(
    "command",
    [
        [sys.executable, "-m", "kvro", *MISSING],
        [str(Path(sys.executable).with_name("kvro")), *MISSING],
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
