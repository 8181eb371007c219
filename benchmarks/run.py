"""Benchmarks of kvro against the NumPy/SciPy route, measured side by side in one run.

Usage: ``python benchmarks/run.py [--markdown] [--threads 1 2]``.

Every ``bench_*.py`` module beside this script defines ``cases()``, which returns a
list of ``Case`` records; this script times each pair and prints one table of ratios
(reference time / kvro time, so a ratio above 1 means kvro is faster). Each thread
count runs all cases in a child process with OMP_NUM_THREADS and the BLAS thread
counts set, so kvro and NumPy/SciPy get the same number of threads.
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import json
import os
import platform
import subprocess
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


def run_cases() -> list[dict]:
    """Times every case of every bench_*.py module in this process."""
    here = Path(__file__).resolve().parent
    sys.path.insert(0, str(here))
    rows = []
    for mod_name in sorted(p.stem for p in here.glob("bench_*.py")):
        for case in importlib.import_module(mod_name).cases():
            if case.kvro is not None:
                case.kvro_s = best_time(case.kvro, case.repeat)
            if case.reference is not None:
                case.reference_s = best_time(case.reference, case.repeat)
            rows.append(
                dict(
                    name=case.name,
                    kvro_s=case.kvro_s,
                    reference=case.reference is not None,
                    reference_name=case.reference_name,
                    reference_s=case.reference_s,
                    note=case.note,
                )
            )
            print("  done:", case.name, file=sys.stderr)
    return rows


def run_with_threads(threads: int) -> list[dict]:
    """run_cases() in a child process whose OpenMP and BLAS thread counts are `threads`."""
    env = dict(os.environ)
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        env[var] = str(threads)
    print(f"-- {threads} thread(s)", file=sys.stderr)
    out = subprocess.run(
        [sys.executable, __file__, "--worker"], env=env, stdout=subprocess.PIPE, check=True
    ).stdout
    return json.loads(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    parser.add_argument(
        "--threads", type=int, nargs="+", default=[1, 2], help="thread counts (default: 1 2)"
    )
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(run_cases()))
        return

    runs = {t: run_with_threads(t) for t in args.threads}
    first = runs[args.threads[0]]
    t0 = args.threads[0]
    print(f"kvro benchmarks, {datetime.date.today().isoformat()}, {machine()}")
    print(
        "ratio = reference time / kvro time (above 1: kvro is faster), with the OpenMP and BLAS "
        "thread counts shown; times and notes from the first thread count\n"
    )
    header = (
        "case",
        f"kvro, {t0} thr",
        f"reference, {t0} thr",
        *(f"ratio, {t} thr" for t in args.threads),
        "note",
    )
    rows = []
    for i, r in enumerate(first):
        ratios = []
        for t in args.threads:
            other = runs[t][i]
            ratios.append(
                f"{other['reference_s'] / other['kvro_s']:.2f}x" if other["reference"] else "-"
            )
        ref = f"{r['reference_name']} {fmt_time(r['reference_s'])}" if r["reference"] else "-"
        rows.append((r["name"], fmt_time(r["kvro_s"]), ref, *ratios, r["note"]))

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
