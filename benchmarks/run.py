"""Benchmarks of kvro against the NumPy/SciPy route, measured side by side in one run.

Usage: ``python benchmarks/run.py [--markdown]``.

Every ``bench_*.py`` module beside this script defines ``cases()``, which returns a
list of ``Case`` records; this script times each pair and prints one table of ratios
(reference time / kvro time, so a ratio above 1 means kvro is faster).
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import os
import platform
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path


@dataclass
class Case:
    name: str
    # None for a figure measured elsewhere (in a subprocess), given as kvro_s.
    kvro: Callable[[], object] | None
    reference: Callable[[], object] | None = None
    reference_name: str = "NumPy"
    note: str = ""
    repeat: int = 5
    # Best wall time over the repeats, in seconds, filled in by the run.
    kvro_s: float = field(default=float("nan"))
    reference_s: float = field(default=float("nan"))


def best_time(fn: Callable[[], object], repeat: int) -> float:
    """Best of `repeat` wall-clock timings, after one warm-up call."""
    fn()
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}"


def fmt_time(s: float) -> str:
    if s != s:
        return "-"
    return f"{s * 1e3:.3f} ms" if s < 1 else f"{s:.2f} s"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()

    here = Path(__file__).resolve().parent
    sys.path.insert(0, str(here))
    modules = sorted(p.stem for p in here.glob("bench_*.py"))

    print(f"kvro benchmarks, {datetime.date.today().isoformat()}, {machine()}")
    print("ratio = reference time / kvro time (above 1: kvro is faster)\n")
    header = ("case", "kvro", "reference", "ratio", "note")
    rows = []
    for mod_name in modules:
        for case in importlib.import_module(mod_name).cases():
            if case.kvro is not None:
                case.kvro_s = best_time(case.kvro, case.repeat)
            ref = "-"
            ratio = "-"
            if case.reference is not None:
                case.reference_s = best_time(case.reference, case.repeat)
                ref = f"{case.reference_name} {fmt_time(case.reference_s)}"
                ratio = f"{case.reference_s / case.kvro_s:.2f}x"
            rows.append((case.name, fmt_time(case.kvro_s), ref, ratio, case.note))
            print("  done:", case.name, file=sys.stderr)

    if args.markdown:
        print("| " + " | ".join(header) + " |")
        print("|" + "---|" * len(header))
        for r in rows:
            # A bar inside a cell (|d beta|) would end the cell.
            print("| " + " | ".join(c.replace("|", "\\|") for c in r) + " |")
    else:
        widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
        for r in [header, *rows]:
            print("  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip())


if __name__ == "__main__":
    main()
