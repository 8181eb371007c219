"""kvro: robust polynomial fitting with a C++/Eigen core.

The numerical work lives in the extension module :mod:`kvro.kvro_core`.
"""

__version__ = "0.1.0"
