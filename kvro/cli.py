"""The kvro command: ``kvro demo`` and ``kvro fit FILE.csv ...`` (also ``python -m kvro``).

Mistakes in the command line exit with code 2, input that cannot be read or fitted
with code 1; either way with one line on stderr and no traceback.
"""

from __future__ import annotations

import argparse
import csv
import importlib.util
import json
import math
import os
import sys
from collections.abc import Sequence
from typing import Any

import numpy as np

from kvro import kvro_core, polyfit
from kvro.polyfit import METHODS, DataError, Fit, Problem

DEFAULT_GAMMA1 = 0.0
DEFAULT_GAMMA2 = 1e-3
DEFAULT_SEED = 42
DEMO_DEGREE = 5
DEMO_PLOT = "kvro-demo.png"
COLORS = {"ols": "tab:orange", "penalised": "tab:green", "mcmc": "tab:blue"}


class UsageError(Exception):
    """A malformed command line."""


class InputError(Exception):
    """A file that cannot be read or written, or a column that is not there."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:
        # argparse would print the usage block and exit; one line is enough here.
        raise UsageError(message)


def degree(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative (got {value})")
    return value


def seed(text: str) -> int:
    value = int(text)
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"must lie in 0 ... 2**64 - 1 (got {value})")
    return value


def weight(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0 (got {text})")
    return value


def build_parser() -> Parser:
    common = Parser(add_help=False)
    common.add_argument(
        "--method",
        choices=[*METHODS, "all"],
        default="all",
        help="fitting method (default: all three)",
    )
    common.add_argument(
        "--gamma1",
        type=weight,
        default=DEFAULT_GAMMA1,
        metavar="G",
        help=f"weight of the first-derivative penalty, in scaled units (default {DEFAULT_GAMMA1})",
    )
    common.add_argument(
        "--gamma2",
        type=weight,
        default=DEFAULT_GAMMA2,
        metavar="G",
        help=f"weight of the second-derivative penalty, in scaled units (default {DEFAULT_GAMMA2})",
    )
    common.add_argument(
        "--seed",
        type=seed,
        default=DEFAULT_SEED,
        metavar="S",
        help=f"seed of the sampler (default {DEFAULT_SEED})",
    )
    common.add_argument("--json", action="store_true", help="print the results as JSON")

    parser = Parser(
        prog="kvro",
        description="Robust polynomial fits: least squares, penalised least squares and "
        "an MDL-minimising sampler, compared side by side.",
        epilog="Without a command, kvro prints this help and exits with code 2.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    demo = commands.add_parser(
        "demo",
        parents=[common],
        help="fit synthetic data with gross outliers and draw the fits",
        description="Fit a smooth curve with noise and 15% gross outliers with every "
        "method, print the comparison and draw the picture.",
    )
    demo.add_argument(
        "--plot",
        default=DEMO_PLOT,
        metavar="OUT.png",
        help=f"where to write the picture (default {DEMO_PLOT})",
    )
    demo.add_argument("--no-plot", action="store_true", help="do not draw the picture")
    demo.set_defaults(run=run_demo)

    fit = commands.add_parser(
        "fit",
        parents=[common],
        help="fit a polynomial to columns of a CSV file",
        description="Fit y as a polynomial of one or more x columns of a CSV file with a "
        "header row. Several --x columns give a tensor-product polynomial of degree "
        "--deg in each.",
    )
    fit.add_argument("file", metavar="FILE.csv")
    fit.add_argument("--x", action="append", required=True, metavar="COL", help="input column")
    fit.add_argument("--y", required=True, metavar="COL", help="output column")
    fit.add_argument("--deg", type=degree, required=True, metavar="N", help="degree in each x")
    fit.add_argument("--plot", metavar="OUT.png", help="draw the data and the fits")
    fit.set_defaults(run=run_fit)
    return parser


def read_columns(path: str, names: list[str]) -> list[np.ndarray]:
    """The named columns of a CSV file with a header row, as float arrays."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            reader = csv.reader(f)
            header = None
            where: list[int] = []
            cols: list[list[float]] = [[] for _ in names]
            for row in reader:
                if not any(cell.strip() for cell in row):
                    continue
                if header is None:
                    header = [cell.strip() for cell in row]
                    where = [column_index(path, header, name) for name in names]
                    continue
                line = reader.line_num
                if len(row) < len(header):
                    raise InputError(
                        f"{path}, line {line}: {len(row)} fields where the header has {len(header)}"
                    )
                for col, i, name in zip(cols, where, names, strict=True):
                    col.append(number(path, line, name, row[i]))
    except OSError as e:
        raise InputError(f"cannot read {path}: {e.strerror or e}") from None
    except (UnicodeDecodeError, csv.Error) as e:
        raise InputError(f"cannot read {path}: {e}") from None
    if header is None:
        raise InputError(f"{path} is empty")
    return [np.array(col, dtype=np.float64) for col in cols]


def column_index(path: str, header: list[str], name: str) -> int:
    found = [i for i, h in enumerate(header) if h == name]
    if not found:
        raise InputError(f"{path} has no column {name!r} (columns: {', '.join(header)})")
    if len(found) > 1:
        raise InputError(f"{path} has more than one column named {name!r}")
    return found[0]


def number(path: str, line: int, name: str, cell: str) -> float:
    try:
        value = float(cell)
    except ValueError:
        raise InputError(
            f"{path}, line {line}, column {name!r}: {cell!r} is not a number"
        ) from None
    if not math.isfinite(value):
        raise InputError(f"{path}, line {line}, column {name!r}: {cell!r} is not a finite number")
    return value


def term_names(multi_indices: list[list[int]], x_names: list[str]) -> list[str]:
    def term(alpha: list[int]) -> str:
        parts = [n if p == 1 else f"{n}^{p}" for n, p in zip(x_names, alpha, strict=True) if p > 0]
        return "*".join(parts) or "1"

    return [term(alpha) for alpha in multi_indices]


def fmt_time(s: float) -> str:
    return f"{s * 1e3:.2f} ms" if s < 1 else f"{s:.2f} s"


def print_table(header: list[str], rows: list[list[str]]) -> None:
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    for r in [header, *rows]:
        cells = [r[0].ljust(widths[0])] + [
            c.rjust(w) for c, w in zip(r[1:], widths[1:], strict=True)
        ]
        print("  ".join(cells))


def print_report(
    intro: list[str],
    problem: Problem,
    fits: list[Fit],
    x_names: list[str],
    y_name: str,
    extra: dict[str, list[float]] | None = None,
    notes: Sequence[str] = (),
) -> None:
    s = problem.scaling
    k = len(problem.basis.multi_indices)
    for line in intro:
        print(line)
    maps = [
        f"{n} -> ({n} - {c:.6g}) / {h:.6g}"
        for n, c, h in zip(x_names, s.x_center, s.x_half_width, strict=True)
    ]
    maps.append(f"{y_name} -> ({y_name} - {s.y_center:.6g}) / {s.y_scale:.6g}")
    print(f"scaled units: {'; '.join(maps)}")
    tol = problem.hit_tolerance
    rule = f"0.4 * mad({y_name})" if kvro_core.mad(problem.y) > 0 else "0.4 in scaled units"
    print(f"a hit is |{y_name} - fit| < {tol:.4g}, that is {rule}")
    print()
    header = ["method", "hit rate", "MDL", "MDL+pen", "time", *(extra or {})]
    rows = [
        [
            f.method,
            f"{f.hit_rate:.3f}",
            f"{f.mdl:.2f}",
            f"{f.mdl_penalised:.2f}",
            fmt_time(f.seconds),
        ]
        + [f"{col[i]:.4f}" for col in (extra or {}).values()]
        for i, f in enumerate(fits)
    ]
    print_table(header, rows)
    print(
        f"MDL: mdl_score with k = {k}, H = {polyfit.MDL_H}; MDL+pen adds the penalties "
        "(the sampler's energy). Lower is better."
    )
    for line in notes:
        print(line)
    print()
    print(
        f"coefficients of the polynomial in the original units of {', '.join(x_names)} and {y_name}"
    )
    terms = term_names(problem.basis.multi_indices, x_names)
    print_table(
        ["term", *(f.method for f in fits)],
        [[t, *(f"{f.coef[i]:.6g}" for f in fits)] for i, t in enumerate(terms)],
    )


def report_json(
    problem: Problem,
    fits: list[Fit],
    x_names: list[str],
    args: argparse.Namespace,
    extra: dict[str, Any],
    fit_extra: dict[str, list[float]] | None = None,
) -> str:
    s = problem.scaling
    out = {
        **extra,
        "rows": len(problem.y),
        "deg": problem.basis.deg,
        "terms": term_names(problem.basis.multi_indices, x_names),
        "multi_indices": problem.basis.multi_indices,
        "scaling": {
            "x_center": s.x_center,
            "x_half_width": s.x_half_width,
            "y_center": s.y_center,
            "y_scale": s.y_scale,
        },
        "penalty_grid_per_axis": problem.basis.grid_per_axis,
        "gamma1": args.gamma1,
        "gamma2": args.gamma2,
        "seed": args.seed,
        "hit_tolerance": problem.hit_tolerance,
        "fits": [
            {
                "method": f.method,
                # Strict JSON has no inf or nan: a coefficient that overflows is null.
                "coef": [c if math.isfinite(c) else None for c in f.coef.tolist()],
                "coef_scaled": f.coef_unit.tolist(),
                "hit_rate": f.hit_rate,
                "mdl": f.mdl,
                "mdl_penalised": f.mdl_penalised,
                "seconds": f.seconds,
                **{key: col[i] for key, col in (fit_extra or {}).items()},
            }
            for i, f in enumerate(fits)
        ],
    }
    return json.dumps(out, indent=2)


def has_matplotlib() -> bool:
    return importlib.util.find_spec("matplotlib") is not None


def check_matplotlib() -> None:
    if not has_matplotlib():
        raise InputError("drawing needs matplotlib: pip install 'kvro[plot]'")


def write_plot(
    path: str,
    problem: Problem,
    fits: list[Fit],
    title: str,
    x_names: list[str],
    y_name: str,
    outlier: np.ndarray | None = None,
    truth: Any = None,
) -> None:
    from matplotlib.figure import Figure  # optional dependency, needed only here

    fig = Figure(figsize=(8, 5), layout="constrained")
    ax = fig.subplots()
    ax.set_title(title)
    y = problem.y
    if problem.basis.dims == 1:
        x = problem.x_cols[0]
        label = "planted outliers"
        if outlier is None:
            # On real data the outliers are not known; mark the points the sampler's
            # fit leaves outside its hit tolerance, when it was run.
            label = "outside the mcmc fit's tolerance"
            outlier = np.zeros(len(y), dtype=bool)
            for f in fits:
                if f.method == "mcmc":
                    outlier = np.abs(problem.fitted(f.coef_unit) - y) >= problem.hit_tolerance
        ax.scatter(x[~outlier], y[~outlier], s=12, color="0.45", label="data")
        if outlier.any():
            ax.scatter(x[outlier], y[outlier], s=30, marker="x", color="tab:red", label=label)
        grid = np.linspace(x.min(), x.max(), 400)
        if truth is not None:
            ax.plot(grid, truth(grid), "k--", lw=1, label="true curve")
        for f in fits:
            ax.plot(
                grid,
                problem.predict(f.coef_unit, [grid]),
                lw=2,
                color=COLORS[f.method],
                label=f.method,
            )
        ax.set_xlabel(x_names[0])
        ax.set_ylabel(y_name)
    else:
        for f in fits:
            ax.scatter(
                problem.fitted(f.coef_unit),
                y,
                s=12,
                color=COLORS[f.method],
                alpha=0.6,
                label=f.method,
            )
        lo, hi = float(y.min()), float(y.max())
        ax.plot([lo, hi], [lo, hi], "k--", lw=1, label="fitted = observed")
        ax.set_xlabel(f"fitted {y_name}")
        ax.set_ylabel(f"observed {y_name}")
    ax.legend()
    try:
        fig.savefig(path, dpi=120)
    except OSError as e:
        raise InputError(f"cannot write {path}: {e.strerror or e}") from None
    except ValueError as e:  # a file name extension matplotlib has no format for
        raise InputError(f"cannot write {path}: {e}") from None


def methods_of(args: argparse.Namespace) -> list[str]:
    return list(METHODS) if args.method == "all" else [args.method]


def run_demo(args: argparse.Namespace) -> int:
    plot = None if args.no_plot else args.plot
    if plot is not None and not has_matplotlib():
        print("kvro: no picture: matplotlib is missing (pip install 'kvro[plot]')", file=sys.stderr)
        plot = None
    x, y, outlier = polyfit.demo_data()
    problem = polyfit.prepare([x], y, DEMO_DEGREE, ["x"])
    fits = polyfit.fit(problem, methods_of(args), args.gamma1, args.gamma2, args.seed)
    # Distance of each fit from the curve the data were drawn around, over the interval.
    grid = np.linspace(-1.0, 1.0, 1001)
    truth = polyfit.demo_curve(grid)
    rms = [
        float(np.sqrt(np.mean((problem.predict(f.coef_unit, [grid]) - truth) ** 2))) for f in fits
    ]
    title = f"kvro demo: {len(y)} points, {int(outlier.sum())} gross outliers, degree {DEMO_DEGREE}"
    if plot is not None:
        write_plot(plot, problem, fits, title, ["x"], "y", outlier, polyfit.demo_curve)
    if args.json:
        extra = {
            "command": "demo",
            "x": ["x"],
            "y": "y",
            "outliers": int(outlier.sum()),
            "plot": plot,
        }
        print(report_json(problem, fits, ["x"], args, extra, {"rms_to_true_curve": rms}))
        return 0
    intro = [
        title,
        f"y = sin(2.5 x) + 0.5 x^2 + noise of sd {polyfit.DEMO_NOISE}, "
        "outliers 1.5 to 3.5 above it; "
        f"gamma1 = {args.gamma1:g}, gamma2 = {args.gamma2:g}, sampler seed {args.seed}",
    ]
    note = "rms to truth: root mean square distance from the true curve over [-1, 1]."
    print_report(intro, problem, fits, ["x"], "y", {"rms to truth": rms}, [note])
    if plot is not None:
        print(f"\npicture: {plot}")
    return 0


def run_fit(args: argparse.Namespace) -> int:
    names = [*args.x, args.y]
    if len(set(names)) < len(names):
        raise UsageError("each column may appear only once among --x and --y")
    if args.plot is not None:
        check_matplotlib()
    *x_cols, y = read_columns(args.file, names)
    problem = polyfit.prepare(x_cols, y, args.deg, args.x)
    fits = polyfit.fit(problem, methods_of(args), args.gamma1, args.gamma2, args.seed)
    title = f"kvro fit {args.file}: {args.y} on {', '.join(args.x)}, degree {args.deg}"
    if args.plot is not None:
        write_plot(args.plot, problem, fits, title, args.x, args.y)
    if args.json:
        extra = {"command": "fit", "file": args.file, "x": args.x, "y": args.y, "plot": args.plot}
        print(report_json(problem, fits, args.x, args, extra))
        return 0
    k = len(problem.basis.multi_indices)
    intro = [
        f"{title} ({k} coefficients), {len(y)} rows",
        f"gamma1 = {args.gamma1:g}, gamma2 = {args.gamma2:g}, sampler seed {args.seed}",
    ]
    print_report(intro, problem, fits, args.x, args.y)
    if args.plot is not None:
        print(f"\npicture: {args.plot}")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.command is None:
            parser.print_help(sys.stderr)
            return 2
        return int(args.run(args))
    except UsageError as e:
        print(f"kvro: error: {e}", file=sys.stderr)
        return 2
    except (InputError, DataError) as e:
        print(f"kvro: error: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`kvro demo | head`): stop quietly, and point stdout at
        # /dev/null so the interpreter's final flush does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
