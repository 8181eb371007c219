"""kvro: robust polynomial fits for data with gross outliers.

Start with :func:`kvro.fit`, which fits a polynomial in one or several variables
and returns a :class:`kvro.PolyFit`: the coefficients, the inlier mask, the residual
scale, the covariance, and ``predict``::

    >>> import numpy as np, kvro
    >>> x = np.linspace(0.0, 10.0, 100)
    >>> y = 2.0 + 0.5 * x
    >>> y[::10] += 50.0                     # gross outliers
    >>> f = kvro.fit(x, y, 1)
    >>> np.round(f.coef, 6).tolist(), int((~f.inliers).sum())
    ([2.0, 0.5], 10)

For many series at once, :func:`kvro.fit_groups` fits one polynomial per group of
a pandas DataFrame, a pyarrow Table or a Dask DataFrame, on all cores or a cluster.

The default method is robust; ``method="ols"``, ``"penalised"`` and ``"mcmc"`` give
least squares, penalised least squares and the sampler's own state. The numerical
core, :mod:`kvro.kvro_core`, offers the building blocks (design matrices,
penalties, least squares, the MDL score and the tournament sampler).
"""

from kvro.basis import DataError
from kvro.groups import fit_groups
from kvro.polyfit import METHODS, FitWarning, PolyFit, fit

__version__ = "0.1.0"

__all__ = ["METHODS", "DataError", "FitWarning", "PolyFit", "fit", "fit_groups", "__version__"]
