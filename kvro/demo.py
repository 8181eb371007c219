"""``kvro demo``: a built-in data set with gross outliers, fitted by every method.

The data are 200 points of a smooth curve on [-1, 1] with normal noise, of which 15 %
are gross outliers above the curve, as a contaminating process would put them. The
demo fits each method, prints how far each curve lies from the true one, and draws
the picture.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

import kvro
from kvro import report

Array = NDArray[np.float64]

SEED = 2024
POINTS = 200
OUTLIER_SHARE = 0.15
NOISE = 0.1
DEGREE = 5
PLOT = "kvro-demo.png"


def curve(x: Array) -> Array:
    """The true curve of the demo data, sin(2.5 x) + 0.5 x^2.

    Examples
    --------
    >>> from kvro.demo import curve
    >>> float(curve(0.0))
    0.0
    """
    return np.sin(2.5 * x) + 0.5 * x**2


def data() -> tuple[Array, Array, NDArray[np.bool_]]:
    """x, y and the mask of the planted outliers; the same on every run.

    Examples
    --------
    >>> from kvro.demo import data
    >>> x, y, outlier = data()
    >>> x.shape, int(outlier.sum())
    ((200,), 30)
    """
    rng = np.random.default_rng(SEED)
    x = np.linspace(-1.0, 1.0, POINTS)
    y = curve(x) + rng.normal(0.0, NOISE, POINTS)
    n_out = round(OUTLIER_SHARE * POINTS)
    idx = rng.choice(POINTS, size=n_out, replace=False)
    y[idx] += rng.uniform(1.5, 3.5, n_out)
    outlier = np.zeros(POINTS, dtype=bool)
    outlier[idx] = True
    return x, y, outlier


def run(
    methods: Sequence[str] = kvro.METHODS,
    *,
    plot: str | None = PLOT,
    as_json: bool = False,
    **options: Any,
) -> str:
    """Fit the demo data with each method; the report as text (or JSON), and the picture.

    Parameters
    ----------
    methods : sequence of str
        Methods of `kvro.fit` to compare.
    plot : str or None
        Where to draw the picture; None draws none.
    as_json : bool
        Return the report as JSON instead of text.
    **options
        Passed on to `kvro.fit` (``seed``, ``gamma1``, ``n_chains``, ...).

    Examples
    --------
    >>> from kvro.demo import run
    >>> print(run(["robust"], plot=None).splitlines()[0])
    kvro demo: 200 points, 30 gross outliers, degree 5
    """
    x, y, outlier = data()
    fits = [kvro.fit(x, y, DEGREE, method=m, **options) for m in methods]
    # Distance of each fit from the curve the data were drawn around, over the interval.
    grid = np.linspace(-1.0, 1.0, 1001)
    rms = [float(np.sqrt(np.mean((f(grid) - curve(grid)) ** 2))) for f in fits]
    title = f"kvro demo: {POINTS} points, {int(outlier.sum())} gross outliers, degree {DEGREE}"
    if plot is not None:
        report.plot(plot, fits, [x], y, ["x"], "y", title, outlier, curve)
    if as_json:
        fields = {"command": "demo", "x": ["x"], "y": "y", "rows": POINTS}
        fields |= {"outliers": int(outlier.sum()), "plot": plot}
        return report.json_report(fits, ["x"], fields, {"rms_to_true_curve": rms})
    lines = [
        report.text_report(fits, ["x"], "y", title, {"rms to truth": rms}),
        "",
        f"y = sin(2.5 x) + 0.5 x^2 + noise of sd {NOISE}; outliers 1.5 to 3.5 above it.",
        "rms to truth: root mean square distance from the true curve over [-1, 1].",
    ]
    if plot is not None:
        lines.append(f"picture: {plot}")
    return "\n".join(lines)
