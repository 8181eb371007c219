"""Write examples/drift.csv: three days of a drifting sensor with gross outliers.

A strain-gauge bridge logged every 10 minutes: its zero drifts slowly as the glue
ages (a cubic in time), it reads 0.06 mV more per degree of the room's daily
temperature cycle, and its noise is 0.02 mV. The log has the faults of real logs:
spikes from a nearby motor (about 5 % of rows, either sign), a dropout where the
cable came loose (the logger read 0), and a few readings stuck at the amplifier's
limit. Run once; the output is committed: python examples/make_drift.py
"""

from pathlib import Path

import numpy as np

rng = np.random.default_rng(20261210)
hours = np.arange(432) / 6.0  # 72 h every 10 min
temp_c = 21.0 + 2.0 * np.sin(2 * np.pi * (hours - 9.0) / 24.0) + rng.normal(0.0, 0.1, hours.size)
drift = 2.0 + 0.045 * hours - 4.2e-4 * hours**2 + 1.6e-6 * hours**3
signal_mv = drift + 0.06 * (temp_c - 21.0) + rng.normal(0.0, 0.02, hours.size)

spikes = rng.random(hours.size) < 0.05
signal_mv[spikes] += rng.choice([-1.0, 1.0], spikes.sum()) * rng.uniform(0.5, 3.0, spikes.sum())
signal_mv[300:312] = rng.normal(0.0, 0.005, 12)  # cable loose: the logger reads 0
stuck = rng.choice(hours.size, 4, replace=False)
signal_mv[stuck] = 5.0  # the amplifier's limit

out = Path(__file__).with_name("drift.csv")
with out.open("w") as f:
    f.write("hours,temp_c,signal_mv\n")
    for row in zip(hours, temp_c, signal_mv, strict=True):
        f.write("{:.4f},{:.2f},{:.4f}\n".format(*row))
