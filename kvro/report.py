"""The report of one or several fits of the same data: text, JSON and the picture.

Several fits share a column each in the text tables, so methods can be compared at a
glance. The picture needs matplotlib (the ``plot`` extra), imported only when drawing.
"""

from __future__ import annotations

import json
import math
import time
from collections.abc import Mapping, Sequence
from typing import Any, TextIO

import numpy as np
from numpy.typing import NDArray

import kvro
from kvro.result import PolyFit, term_name
from kvro.tables import InputError

Array = NDArray[np.float64]

MISSING_MATPLOTLIB = "drawing needs matplotlib: pip install 'kvro[plot]'"
COLORS = {"robust": "tab:blue", "ols": "tab:orange", "penalised": "tab:green", "mcmc": "tab:purple"}


def text_report(
    fits: Sequence[PolyFit],
    x_names: Sequence[str],
    y_name: str,
    title: str,
    extra: Mapping[str, Sequence[float]] | None = None,
) -> str:
    """A table of the fits' scores and a table of their coefficients, as text.

    Parameters
    ----------
    fits : sequence of PolyFit
        Fits of the same data, one column each.
    x_names, y_name : str
        Names of the x variables and of y, used in the terms and the heading.
    title : str
        The first line.
    extra : mapping of str to sequence of float, optional
        More columns of the score table, one value per fit.

    Examples
    --------
    >>> import numpy as np, kvro
    >>> from kvro.report import text_report
    >>> t = np.arange(6.0)
    >>> f = kvro.fit(t, [1.1, 2.9, 5.1, 6.9, 9.1, 10.9], 1, method="ols")
    >>> print(text_report([f], ["t"], "y", "a line"))
    a line
    method  deg  inliers  residual scale  hit rate   MDL  MDL+pen
    ols       1      6/6           0.166     1.000  2.46     2.46
    <BLANKLINE>
    coefficients in the original units of t and y (+/- standard error)
    term                ols
    1     1.04286 +/- 0.085
    t     1.98286 +/- 0.028
    """
    header = ["method", "deg", "inliers", "residual scale", "hit rate", "MDL", "MDL+pen"]
    header += list(extra or {})
    rows = [
        [
            f.method,
            str(f.deg),
            f"{int(f.inliers.sum())}/{f.inliers.size}",
            _number(f.residual_scale, ".4g"),
            _number(f.hit_rate, ".3f"),
            _number(f.mdl, ".2f"),
            _number(f.mdl_penalised, ".2f"),
        ]
        + [_number(col[i], ".4f") for col in (extra or {}).values()]
        for i, f in enumerate(fits)
    ]
    lines = [title, *_table(header, rows)]
    for f in fits:
        if f.degree_scores is not None:
            scores = ", ".join(f"{d}: {s:.4f}" for d, s in f.degree_scores.items())
            lines.append(
                f"{f.method}: degree {f.deg} chosen by cross-validation (lower is better; {scores})"
            )
    # Degrees may differ between fits (deg="auto"): the rows are the union of their
    # terms, in the common order of the bases (lexicographic in the exponents).
    powers = sorted({tuple(int(p) for p in row) for f in fits for row in f.powers})
    cells = []
    for p in powers:
        row = [term_name(p, x_names)]
        for f in fits:
            where = [i for i, q in enumerate(f.powers.tolist()) if tuple(q) == p]
            row.append(_coef_cell(f.coef[where[0]], f.stderr[where[0]]) if where else "")
        cells.append(row)
    lines += [
        "",
        f"coefficients in the original units of {', '.join(x_names)} and {y_name} "
        "(+/- standard error)",
        *_table(["term", *(f.method for f in fits)], cells),
    ]
    if any(not np.isfinite(f.coef).all() for f in fits):
        lines.append(
            "overflow: the coefficient exceeds double precision in the original units "
            "(x far from 0); the fit is exact in its scaled form (coef_unit and scaling in JSON)"
        )
    return "\n".join(lines)


def json_report(
    fits: Sequence[PolyFit],
    x_names: Sequence[str],
    fields: Mapping[str, Any],
    fit_fields: Mapping[str, Sequence[float]] | None = None,
) -> str:
    """The fits as one JSON object: `fields`, the kvro version, and each fit's `to_dict()`.

    Each fit also gets ``terms``, the names of its coefficients' monomials in
    `x_names`, and one value of each entry of `fit_fields`. Strict JSON: a number that
    is not finite is null.

    Parameters
    ----------
    fits : sequence of PolyFit
        Fits of the same data.
    x_names : sequence of str
        Names of the x variables.
    fields : mapping
        JSON-ready entries of the object (where the data came from, and so on).
    fit_fields : mapping of str to sequence of float, optional
        More entries of each fit, one value per fit.

    Examples
    --------
    >>> import json, numpy as np, kvro
    >>> from kvro.report import json_report
    >>> f = kvro.fit(np.arange(6.0), np.arange(6.0), 1, method="ols")
    >>> d = json.loads(json_report([f], ["t"], {"command": "fit"}))
    >>> d["command"], d["version"] == kvro.__version__, d["fits"][0]["terms"]
    ('fit', True, ['1', 't'])
    """
    out = {
        **fields,
        "version": kvro.__version__,
        "fits": [
            {
                **f.to_dict(),
                "terms": [term_name(p, x_names) for p in f.powers.tolist()],
                **{key: _finite(col[i]) for key, col in (fit_fields or {}).items()},
            }
            for i, f in enumerate(fits)
        ],
    }
    return json.dumps(out, indent=2, allow_nan=False)


def group_summary(groups: Any, title: str) -> str:
    """A few lines on a table of group fits: how many fitted, failed and warned.

    Examples
    --------
    >>> import pandas as pd
    >>> from kvro.report import group_summary
    >>> res = pd.DataFrame({"n": [50, 2], "n_inliers": [45, None],
    ...                     "error": [None, "2 rows are too few"], "warning": [None, None]})
    >>> print(group_summary(res, "kvro fit d.csv"))
    kvro fit d.csv: 2 groups, 52 rows
      fitted 1 (inliers 45 of 50 rows), failed 1, warned 0
      failed: 2 rows are too few (1 group)
    """
    failed, warned = groups["error"].notna(), groups["warning"].notna()
    inliers = int(groups.loc[~failed, "n_inliers"].sum())
    fitted_rows = int(groups.loc[~failed, "n"].sum())
    lines = [
        f"{title}: {len(groups)} groups, {int(groups['n'].sum())} rows",
        f"  fitted {int((~failed).sum())} (inliers {inliers} of {fitted_rows} rows), "
        f"failed {int(failed.sum())}, warned {int(warned.sum())}",
    ]
    # The commonest messages, each once: thousands of groups often fail alike.
    for what, column in (("failed", "error"), ("warned", "warning")):
        counts = groups[column].dropna().value_counts()
        for message, count in counts.head(3).items():
            lines.append(f"  {what}: {message} ({count} group{'s' if count > 1 else ''})")
        if len(counts) > 3:
            lines.append(f"  {what}: {len(counts) - 3} other messages")
    return "\n".join(lines)


class ProgressBar:
    """``progress(done, total)`` drawn as one self-erasing line on a terminal.

    Nothing is drawn when `stream` is not a terminal, so logs and pipes stay clean;
    the line is redrawn at most ten times a second.

    Examples
    --------
    >>> import io
    >>> from kvro.report import ProgressBar
    >>> bar = ProgressBar(io.StringIO())       # not a terminal: draws nothing
    >>> bar(5, 10); bar.close()
    """

    def __init__(self, stream: TextIO, what: str = "groups") -> None:
        self.stream, self.what = stream, what
        self.on = stream.isatty()
        self.start = self.last = time.monotonic()
        self.drawn = False

    def __call__(self, done: int, total: int) -> None:
        now = time.monotonic()
        if not self.on or (now - self.last < 0.1 and done < total):
            return
        self.last = now
        width = 30
        filled = width * done // max(total, 1)
        rate = done / max(now - self.start, 1e-9)
        left = f", {(total - done) / rate:.0f} s left" if 0 < done < total else ""
        self.stream.write(
            f"\r[{'#' * filled}{'.' * (width - filled)}] {done:,} of {total:,} {self.what}{left}  "
        )
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        """End the line, if one was drawn."""
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()


def has_matplotlib() -> bool:
    """Whether matplotlib, which `plot` needs, can be imported.

    Examples
    --------
    >>> from kvro.report import has_matplotlib
    >>> isinstance(has_matplotlib(), bool)
    True
    """
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def plot(
    path: str,
    fits: Sequence[PolyFit],
    x: Sequence[Array],
    y: Array,
    x_names: Sequence[str],
    y_name: str,
    title: str,
    outliers: NDArray[np.bool_] | None = None,
    truth: Any = None,
) -> None:
    """Draw the data and the fits into the picture file `path` (PNG, SVG, PDF, ...).

    For one x column: the points, the outliers marked, and each fit's curve. The
    outliers are `outliers` when given (planted ones), else the points left out by
    the first fit that leaves any out. `truth`, a function of x, adds the true curve.
    For several x columns: observed against fitted y for each fit.

    Parameters
    ----------
    path : str
        The picture file; its extension chooses the format.
    fits : sequence of PolyFit
        Fits of the data, one curve each.
    x : sequence of ndarray
        The x columns the fits were made from.
    y : ndarray
        The data fitted.
    x_names, y_name : str
        Axis labels.
    title : str
        Title of the picture.
    outliers : ndarray of bool, optional
        Points to mark as outliers.
    truth : callable, optional
        The true curve, drawn dashed.

    Raises
    ------
    InputError
        Without matplotlib, or if the file cannot be written.

    Examples
    --------
    >>> import pathlib, tempfile, numpy as np, kvro
    >>> from kvro.report import plot
    >>> x = np.linspace(0.0, 1.0, 20)
    >>> f = kvro.fit(x, x**2, 2, method="ols")
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "fit.png"
    >>> plot(str(path), [f], [x], x**2, ["x"], "y", "a parabola")
    >>> path.read_bytes()[:4]
    b'\\x89PNG'
    """
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise InputError(MISSING_MATPLOTLIB) from None

    fig = Figure(figsize=(8, 5), layout="constrained")
    ax = fig.subplots()
    ax.set_title(title)
    if len(x) == 1:
        x0 = x[0]
        label = "planted outliers"
        if outliers is None:
            left_out = [f for f in fits if not f.inliers.all()]
            label = f"outliers of the {left_out[0].method} fit" if left_out else ""
            outliers = ~left_out[0].inliers if left_out else np.zeros(len(y), dtype=bool)
        ax.scatter(x0[~outliers], y[~outliers], s=12, color="0.45", label="data")
        if outliers.any():
            ax.scatter(x0[outliers], y[outliers], s=30, marker="x", color="tab:red", label=label)
        grid = np.linspace(x0.min(), x0.max(), 400)
        if truth is not None:
            ax.plot(grid, truth(grid), "k--", lw=1, label="true curve", zorder=10)
        for i, f in enumerate(fits):
            # The first fit (robust, when there) is drawn on top of the others.
            z = 2.5 + len(fits) - i
            ax.plot(grid, f(grid), lw=2, color=COLORS[f.method], label=f.method, zorder=z)
        ax.set_xlabel(x_names[0])
        ax.set_ylabel(y_name)
    else:
        columns = np.column_stack(x)
        for f in fits:
            ax.scatter(f(columns), y, s=12, color=COLORS[f.method], alpha=0.6, label=f.method)
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


def _table(header: list[str], rows: list[list[str]]) -> list[str]:
    """Rows of text columns: the first left-aligned, the others right-aligned."""
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    return [
        "  ".join(
            [r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:], widths[1:], strict=True)]
        )
        for r in [header, *rows]
    ]


def _number(value: float, spec: str) -> str:
    return format(value, spec) if math.isfinite(value) else "-"


def _coef_cell(c: float, se: float) -> str:
    if not math.isfinite(c):
        return "overflow"
    return f"{c:.6g} +/- {_number(se, '.2g')}"


def _finite(value: float) -> float | None:
    return float(value) if math.isfinite(value) else None
