"""The kvro command: ``kvro demo`` and ``kvro fit FILE.csv ...`` (also ``python -m kvro``).

Argument parsing and dispatch only; the work is done by `kvro.fit`, `kvro.tables`,
`kvro.report` and `kvro.demo`. Mistakes in the command line exit with code 2, input
that cannot be read or fitted with code 1, an interrupt with 130; each with one line
on stderr and no traceback. Warnings of the fit are one line each on stderr.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
import warnings
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

import kvro
import kvro.groups
from kvro import demo, report, tables
from kvro.basis import BASES
from kvro.tables import InputError


class _UsageError(Exception):
    """A malformed command line."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:
        # argparse would print the usage block and exit; one line is enough here.
        raise _UsageError(message)


def _checked[T](
    convert: Callable[[str], T], ok: Callable[[T], bool], rule: str
) -> Callable[[str], T]:
    """An argparse type: `convert`, then refuse values that are not `ok`."""

    def parse(text: str) -> T:
        value = convert(text)
        if not ok(value):
            raise argparse.ArgumentTypeError(f"must be {rule} (got {text})")
        return value

    return parse


def _degree(text: str) -> int | str:
    if text == "auto":
        return text
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 'auto' or an int >= 0 (got {text})")
    return value


_count = _checked(int, lambda v: 0 <= v < 2**31, "an int from 0 to 2**31 - 1")
_weight = _checked(float, lambda v: math.isfinite(v) and v >= 0, "a finite number >= 0")

# The settings of the sampler: option, parameter of kvro.fit, type, help.
_SAMPLER_OPTIONS = [
    ("--chains", "n_chains", _checked(int, lambda v: 1 <= v < 2**31, "an int >= 1"), "chains"),
    ("--warmup", "n_warmup", _count, "warm-up steps per chain"),
    ("--deep", "n_deep", _count, "deep steps per elite"),
    ("--elites", "n_elite", _count, "elites kept from the tournament"),
    (
        "--step",
        "step_size",
        _checked(float, lambda v: math.isfinite(v) and v > 0, "a finite number > 0"),
        "step size",
    ),
]


def _add_fit_options(parser: _Parser, default_method: str) -> None:
    """The options that `kvro demo` and `kvro fit` share: method, penalties, sampler."""
    parser.add_argument(
        "--method",
        choices=[*kvro.METHODS, "all"],
        default=default_method,
        help=f"fitting method, or all of them side by side (default {default_method})",
    )
    parser.add_argument(
        "--gamma1",
        type=_weight,
        default=0.0,
        metavar="G",
        help="weight of the first-derivative penalty, in scaled units (default 0)",
    )
    parser.add_argument(
        "--gamma2",
        type=_weight,
        default=1e-3,
        metavar="G",
        help="weight of the second-derivative penalty, in scaled units (default 0.001)",
    )
    parser.add_argument(
        "--seed",
        type=_checked(int, lambda v: 0 <= v < 2**64, "an int from 0 to 2**64 - 1"),
        default=42,
        metavar="S",
        help="seed of the sampler (default 42)",
    )
    for option, name, kind, text in _SAMPLER_OPTIONS:
        parser.add_argument(
            option,
            dest=name,
            type=kind,
            metavar="N" if kind is _count else "V",
            help=f"sampler: {text} ({name} of kvro.fit; default: the method's own)",
        )
    parser.add_argument("--json", action="store_true", help="print the report as JSON")


def _build_parser() -> _Parser:
    parser = _Parser(
        prog="kvro",
        description="Robust polynomial fits of data with gross outliers: an inlier mask, "
        "standard errors, and least squares, penalised least squares and the sampler "
        "beside it.",
        epilog="Without a command, kvro prints this help and exits with code 2.",
    )
    parser.add_argument("--version", action="store_true", help="print kvro's version")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    demo_cmd = commands.add_parser(
        "demo",
        help="fit synthetic data with gross outliers by every method and draw the fits",
        description="Fit a smooth curve with noise and 15%% gross outliers by every "
        "method, print how far each lies from the true curve and draw the picture.",
    )
    _add_fit_options(demo_cmd, "all")
    demo_cmd.add_argument(
        "--plot",
        default=demo.PLOT,
        metavar="OUT.png",
        help=f"where to draw the picture (default {demo.PLOT})",
    )
    demo_cmd.add_argument("--no-plot", action="store_true", help="draw no picture")
    demo_cmd.set_defaults(run=_run_demo)

    fit_cmd = commands.add_parser(
        "fit",
        help="fit a polynomial to columns of a table (CSV or Parquet)",
        description="Fit y as a polynomial of one or more x columns of a table (CSV with "
        "a header row, possibly compressed, or Parquet); robust to gross outliers by "
        "default. With --by, one fit per group of rows.",
    )
    fit_cmd.add_argument("file", metavar="FILE")
    fit_cmd.add_argument("--x", action="append", required=True, metavar="COL", help="x column")
    fit_cmd.add_argument("--y", required=True, metavar="COL", help="y column")
    fit_cmd.add_argument(
        "--deg",
        type=_degree,
        required=True,
        metavar="N|auto",
        help="degree, or auto to choose it by cross-validation",
    )
    fit_cmd.add_argument(
        "--basis",
        choices=BASES,
        default="total",
        help="several x: monomials of total degree <= N, or degree <= N in each (default total)",
    )
    _add_fit_options(fit_cmd, "robust")
    fit_cmd.add_argument(
        "--out",
        metavar="OUT.csv",
        help="write each input row's columns, fitted value, residual and inlier flag",
    )
    fit_cmd.add_argument("--plot", metavar="OUT.png", help="draw the data and the fits")
    groups = fit_cmd.add_argument_group(
        "group fits",
        "With --by, one fit per distinct key; --out then receives one row per group "
        "(keys, counts, coefficients, scores, error) as CSV or Parquet.",
    )
    groups.add_argument(
        "--by", action="append", metavar="COL", help="key column; repeat for several"
    )
    groups.add_argument(
        "--points",
        metavar="OUT",
        help="with --by: write each input row's fitted value, residual and inlier flag",
    )
    groups.add_argument(
        "--workers",
        type=_checked(int, lambda v: v >= 1, "an int >= 1"),
        metavar="N",
        help="with --by: local worker processes (default: one per core)",
    )
    groups.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="with --by: fit on the Dask cluster of this scheduler (needs kvro[dask])",
    )
    fit_cmd.set_defaults(run=_run_fit)
    return parser


def _fit_options(args: argparse.Namespace) -> dict[str, Any]:
    names = ["gamma1", "gamma2", "seed", *(name for _, name, _, _ in _SAMPLER_OPTIONS)]
    return {name: getattr(args, name) for name in names}


def _methods_of(args: argparse.Namespace) -> list[str]:
    return list(kvro.METHODS) if args.method == "all" else [args.method]


def _warn(message: str) -> None:
    print(f"kvro: warning: {' '.join(message.split())}", file=sys.stderr)


def _run_demo(args: argparse.Namespace) -> int:
    plot = None if args.no_plot else args.plot
    if plot is not None and not report.has_matplotlib():
        _warn(f"no picture: {report.MISSING_MATPLOTLIB}")
        plot = None
    print(demo.run(_methods_of(args), plot=plot, as_json=args.json, **_fit_options(args)))
    return 0


def _run_fit(args: argparse.Namespace) -> int:
    if args.by is not None:
        return _run_groups(args)
    for option in ("points", "workers", "scheduler"):
        if getattr(args, option) is not None:
            raise _UsageError(f"--{option} goes with --by")
    names = [*args.x, args.y]
    if len(set(names)) < len(names):
        raise _UsageError("each column may appear only once among --x and --y")
    if args.plot is not None and not report.has_matplotlib():
        raise InputError(report.MISSING_MATPLOTLIB)
    if args.out is not None:
        tables.output_format(args.out)  # refuse an unknown format before the fit
    *x, y = tables.read_columns(args.file, names)
    _check_columns(args.x, x, args.y, y)
    xs = x[0] if len(x) == 1 else np.column_stack(x)
    fits = [
        kvro.fit(xs, y, args.deg, method=m, basis=args.basis, **_fit_options(args))
        for m in _methods_of(args)
    ]
    fitted = [f(xs) for f in fits]
    with np.errstate(over="ignore", invalid="ignore"):
        if not all(np.isfinite(y - v).all() for v in fitted):
            raise InputError("the fitted values or residuals overflow double precision")
    if any(not np.isfinite(f.coef).all() for f in fits):
        _warn(
            "some coefficients overflow double precision in the original units "
            "(x far from 0); the fitted values are exact"
        )
    if args.out is not None:
        inputs = {**dict(zip(args.x, x, strict=True)), args.y: y}
        labels = [f.method if len(fits) > 1 else "" for f in fits]
        points = {k: (v, f.inliers) for k, v, f in zip(labels, fitted, fits, strict=True)}
        tables.write_points(args.out, inputs, y, points)
    deg = "chosen by cross-validation" if args.deg == "auto" else args.deg
    title = f"kvro fit {args.file}: {args.y} on {', '.join(args.x)}, degree {deg}"
    if len(args.x) > 1:
        title += f", {args.basis} basis"
    if args.plot is not None:
        report.plot(args.plot, fits, x, y, args.x, args.y, title)
    if args.json:
        fields = {"command": "fit", "file": args.file, "x": args.x, "y": args.y}
        fields |= {"rows": len(y), "gamma1": args.gamma1, "gamma2": args.gamma2}
        fields |= {"out": args.out, "plot": args.plot}
        print(report.json_report(fits, args.x, fields))
        return 0
    print(report.text_report(fits, args.x, args.y, f"{title}, {len(y)} rows"))
    for path, what in ((args.out, "per-point table"), (args.plot, "picture")):
        if path is not None:
            print(f"{what}: {path}")
    return 0


def _run_groups(args: argparse.Namespace) -> int:
    """``kvro fit FILE --by COL ... --out RESULTS``: one fit per group."""
    if args.out is None:
        raise _UsageError("--by needs --out RESULTS (.csv, .csv.gz, .parquet or .pq)")
    if args.method == "all" or args.plot is not None:
        raise _UsageError("--by fits one method per group and draws nothing")
    if args.workers is not None and args.scheduler is not None:
        raise _UsageError("--workers is for local work; the cluster of --scheduler has its own")
    names = [*args.by, *args.x, args.y]
    if len(set(names)) < len(names):
        raise _UsageError("each column may appear only once among --by, --x and --y")
    if args.points is not None:
        tables.check_point_names(names, [""])
    for path in (args.out, args.points):
        if path is not None:
            tables.output_format(path)  # refuse an unknown format before the fits
    frame = tables.read_table(args.file, names)
    options = {"method": args.method, "basis": args.basis, **_fit_options(args)}

    def fit_groups(data: Any, **local: Any) -> Any:
        return kvro.fit_groups(
            data, args.by, args.x, args.y, args.deg, points=args.points is not None,
            **options, **local,
        )  # fmt: skip

    start = time.perf_counter()
    try:
        if args.scheduler is not None:
            result = _fit_on_cluster(args.scheduler, frame, fit_groups)
        else:
            bar = report.ProgressBar(sys.stderr)
            try:
                result = fit_groups(frame, workers=args.workers, progress=bar)
            finally:
                bar.close()
    except (ValueError, ImportError) as e:
        raise InputError(str(e)) from None
    seconds = time.perf_counter() - start
    groups, points = result if args.points is not None else (result, None)
    tables.write_table(groups, args.out)
    if points is not None:
        inputs = {name: frame[name].to_numpy() for name in names}
        fitted = {"": (points["fitted"].to_numpy(), points["inlier"].to_numpy())}
        tables.write_points(args.points, inputs, inputs[args.y], fitted)
    title = f"kvro fit {args.file}: {args.y} on {', '.join(args.x)} by {', '.join(args.by)}"
    if args.json:
        failed = groups["error"].notna()
        fields = {"command": "fit", "file": args.file, "by": args.by, "x": args.x, "y": args.y}
        fields |= {"deg": args.deg, "method": args.method, "rows": len(frame)}
        fields |= {"groups": len(groups), "failed": int(failed.sum())}
        fields |= {"warned": int(groups["warning"].notna().sum()), "seconds": seconds}
        fields |= {"out": args.out, "points": args.points, "version": kvro.__version__}
        print(json.dumps(fields))
        return 0
    print(report.group_summary(groups, title))
    print(f"{seconds:.1f} s; per-group table: {args.out}")
    if args.points is not None:
        print(f"per-point table: {args.points}")
    return 0


def _fit_on_cluster(scheduler: str, frame: Any, fit_groups: Callable[..., Any]) -> Any:
    """`fit_groups` of `frame` as a Dask computation on the cluster at `scheduler`;
    the per-point table, if any, back in the input's order."""
    try:
        import dask.dataframe as dd
        from distributed import Client
    except ImportError:
        raise InputError(kvro.groups.MISSING_DASK) from None
    # Dask's functions are untyped; the results are tables all the same.
    connect: Any = Client
    try:
        client = connect(scheduler, timeout=30)
    except OSError as e:
        raise InputError(f"cannot reach the Dask scheduler at {scheduler}: {e}") from None
    with client:
        partitions = max(1, 2 * sum(client.nthreads().values()))
        lazy = fit_groups(dd.from_pandas(frame, npartitions=partitions))  # type: ignore[no-untyped-call]
        if not isinstance(lazy, tuple):
            return client.compute(lazy).result()
        groups, points = client.compute(list(lazy), sync=True)
        return groups, points.sort_index()


def _check_columns(x_names: list[str], x: list[np.ndarray], y_name: str, y: np.ndarray) -> None:
    """Refuse, naming the column, what kvro.fit would refuse about x or y alone."""
    with np.errstate(over="ignore"):
        spreads = [float(np.max(c) - np.min(c)) for c in [*x, y]]
    for name, spread in zip([*x_names, y_name], spreads, strict=True):
        if not math.isfinite(spread):
            raise InputError(f"the spread of column {name!r} overflows double precision")
    for name, spread in zip(x_names, spreads, strict=False):
        if spread == 0:
            raise InputError(f"column {name!r} is constant: there is no curve in it to fit")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the kvro command with the arguments `argv` (default: ``sys.argv[1:]``).

    Returns
    -------
    int
        The exit code: 0 on success, 1 for input that cannot be read or fitted, 2 for
        a malformed command line, 130 after Ctrl-C.

    Examples
    --------
    >>> from kvro.cli import main
    >>> main(["--version"])  # doctest: +ELLIPSIS
    kvro ...
    0
    >>> main(["demo", "--no-plot", "--method", "ols"])  # doctest: +ELLIPSIS
    kvro demo: 200 points, 30 gross outliers, degree 5
    ...
    0
    """
    parser = _build_parser()
    try:
        args = parser.parse_args(argv)
        if args.version:
            print(f"kvro {kvro.__version__}")
            return 0
        if args.command is None:
            parser.print_help(sys.stderr)
            return 2
        with warnings.catch_warnings():
            warnings.simplefilter("default")
            warnings.showwarning = lambda message, *_: _warn(str(message))
            return int(args.run(args))
    except _UsageError as e:
        print(f"kvro: error: {e}", file=sys.stderr)
        return 2
    except (InputError, kvro.DataError) as e:
        print(f"kvro: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("kvro: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`kvro demo | head`): stop quietly, and point stdout at
        # /dev/null so the interpreter's final flush does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
