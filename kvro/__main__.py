"""Score a small prediction: the ``kvro`` command (also ``python -m kvro``)."""

import numpy as np

from kvro import kvro_core


def main() -> None:
    yt = np.array([0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 40.0])
    yp = np.array([0.1, 0.9, 2.2, 3.0, 3.8, 5.1, 6.3, 7.0])
    eps = 0.4 * kvro_core.mad(yt)
    print(f"mad(yt)              = {kvro_core.mad(yt):.6f}")
    print(f"hit rate (eps={eps:.3f}) = {kvro_core.compute_sr(yp, yt, eps):.6f}")
    print(f"MDL score (k=2, H=20) = {kvro_core.mdl_score(yp, yt, 2):.6f}")


if __name__ == "__main__":
    main()
