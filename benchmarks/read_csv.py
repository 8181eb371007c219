"""Reading CSV: `kvro.tables.read_table` against `pandas.read_csv` on the same file.

Usage: ``python benchmarks/read_csv.py [--rows 1000000] [--repeats 9]``

The file has a group key column of strings and three float columns, written three
ways to a temporary folder: plain CSV, the same gzip-compressed, and with semicolons
and a comment line every 1000 rows (read by pandas with ``sep=";", comment="#"``).
The machine may be shared and busy, so the two readers take turns on each file and
each turn gives a ratio; printed per file are the median times and the median ratio
(kvro time / pandas time: below 1.5 meets the goal).
"""

from __future__ import annotations

import argparse
import gzip
import os
import statistics
import tempfile
import time

import numpy as np
import pandas as pd

from kvro.tables import read_table


def write_files(folder: str, rows: int) -> dict[str, tuple[str, dict[str, str]]]:
    """The files by label, each with the arguments pandas needs to read it."""
    rng = np.random.default_rng(0)
    keys = np.array([f"station-{i:05d}" for i in range(5000)])
    table = pd.DataFrame(
        {
            "key": keys[rng.integers(0, keys.size, rows)],
            "x": rng.uniform(0.0, 10.0, rows),
            "y": rng.normal(0.0, 1e3, rows),
            "z": rng.standard_exponential(rows),
        }
    )
    plain = os.path.join(folder, "plain.csv")
    table.to_csv(plain, index=False)
    with open(plain, "rb") as f:
        text = f.read()
    with gzip.open(plain + ".gz", "wb", compresslevel=6) as f:
        f.write(text)
    lines = text.decode().replace(",", ";").splitlines()
    semicolon = os.path.join(folder, "semicolon.csv")
    with open(semicolon, "w") as f:
        f.write("# exported by the logger\n# units: x in h, y in mV\n")
        for i, line in enumerate(lines):
            if i and i % 1000 == 0:
                f.write(f"# row {i}\n")
            f.write(line + "\n")
    return {
        "comma": (plain, {}),
        "gzip": (plain + ".gz", {}),
        "semicolon, comments": (semicolon, {"sep": ";", "comment": "#"}),
    }


def seconds(read: object, *args: object, **kwargs: object) -> tuple[float, pd.DataFrame]:
    start = time.perf_counter()
    result = read(*args, **kwargs)  # type: ignore[operator]
    return time.perf_counter() - start, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()
    print(f"CSV reading, {args.rows} rows (a string key and 3 float columns), "
          f"{args.repeats} turns each; ratio = kvro / pandas")  # fmt: skip
    print(f"{'file':20s} {'MB':>6s} {'kvro s':>8s} {'pandas s':>9s} {'ratio':>6s}")
    with tempfile.TemporaryDirectory() as folder:
        for label, (path, pandas_args) in write_files(folder, args.rows).items():
            ours, theirs, ratios = [], [], []
            read_table(path)  # a first read warms the page cache and pyarrow's memory pool
            for turn in range(args.repeats):
                # Alternate who goes first, so that neither always finds a warm cache.
                if turn % 2:
                    t_theirs, expected = seconds(pd.read_csv, path, **pandas_args)
                    t_ours, got = seconds(read_table, path)
                else:
                    t_ours, got = seconds(read_table, path)
                    t_theirs, expected = seconds(pd.read_csv, path, **pandas_args)
                ours.append(t_ours)
                theirs.append(t_theirs)
                ratios.append(t_ours / t_theirs)
            pd.testing.assert_frame_equal(got, expected)
            size = os.path.getsize(path) / 1e6
            print(
                f"{label:20s} {size:6.1f} {statistics.median(ours):8.3f} "
                f"{statistics.median(theirs):9.3f} {statistics.median(ratios):6.2f}"
            )


if __name__ == "__main__":
    main()
