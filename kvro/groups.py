"""Many fits at once: `fit_groups` fits one polynomial per group of a table.

The rows of each group are put in a canonical order (by x, then y) and each group's
seed is derived from the base seed and the group's key, so a group's fit depends on
its rows and key alone: not on the order of the table, the number of workers, how
the groups are split into chunks, or which machine of a Dask cluster fits it.

Local work runs on worker processes, one per core by default, each on one thread and
with one chunk of groups at a time, so memory beyond the input and the result does
not grow with the number of groups.
"""

from __future__ import annotations

import hashlib
import inspect
import math
import multiprocessing.connection as mpc
import os
import signal
import subprocess
import sys
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

from kvro import basis as _basis
from kvro.polyfit import check_options, fit

__all__ = ["fit_groups"]

MISSING_TABLES = "group fits need pandas and pyarrow: pip install 'kvro[tables]'"
MISSING_DASK = "group fits on a Dask DataFrame need dask and distributed: pip install 'kvro[dask]'"

# The columns of the result after the keys and before the coefficients; then come
# the coefficients, then SCORE_COLUMNS.
COUNT_COLUMNS = ("n", "n_inliers", "deg")
SCORE_COLUMNS = ("residual_scale", "hit_rate", "mdl", "mdl_penalised", "seconds")
TEXT_COLUMNS = ("error", "warning")

# A chunk of groups, the unit of work sent to a worker: big enough that sending it
# costs little beside fitting it, small enough to keep the workers evenly loaded.
CHUNK_ROWS = 20_000

Progress = Callable[[int, int], None]


def fit_groups(
    data: Any,
    by: str | Sequence[str],
    x: str | Sequence[str],
    y: str,
    deg: int | Literal["auto"],
    *,
    points: bool = False,
    workers: int | None = None,
    progress: Progress | None = None,
    **fit_options: Any,
) -> Any:
    """Fit one polynomial per group of rows: y in x, grouped by the key columns `by`.

    Each group gets its own `kvro.fit` with `fit_options`. A group that cannot be
    fitted (too few rows, a constant x, missing or non-finite values) gets its
    message in the ``error`` column and does not stop the others; every distinct
    key, missing keys included, has exactly one row.

    Parameters
    ----------
    data : pandas.DataFrame, pyarrow.Table or dask.dataframe.DataFrame
        The table. A Dask DataFrame is fitted as a Dask computation, on whatever
        cluster the current ``dask.distributed`` client connects to (or Dask's
        default scheduler), and the result is a Dask DataFrame.
    by : str or sequence of str
        The key column(s) that define the groups.
    x : str or sequence of str
        The x column, or several for a polynomial in several variables.
    y : str
        The y column.
    deg : int or "auto"
        As in `kvro.fit`.
    points : bool
        Also return the per-point table: for every input row its ``fitted`` value,
        ``residual`` (y - fitted) and ``inlier`` flag, with the input's row order
        and index (NaN and False in the rows of failed groups). For a Dask
        DataFrame its rows keep the input's index but come grouped by partition.
    workers : int, optional
        Local worker processes, each running one fit at a time on one thread;
        default: one per core available to this process. ``workers=1`` fits in
        this process, with its own thread settings. Ignored for a Dask DataFrame,
        whose cluster sets the workers. The results do not depend on it.
    progress : callable, optional
        Called as ``progress(done, total)`` with counts of groups as chunks of
        them finish (not for a Dask DataFrame, which has its own dashboards).
    **fit_options
        Options of `kvro.fit` (``method``, ``basis``, ``seed``, sampler settings,
        ...), checked once before any fit. Each group's seed is derived from
        ``seed`` (default 42) and the group's key values.

    Returns
    -------
    groups : table of the input's kind
        One row per group: the key columns; ``n`` (rows), ``n_inliers``, ``deg``
        (the degree fitted, as chosen by ``deg="auto"``); one column per monomial,
        named ``c`` and its powers (``c0``, ``c1``, ... for one x; ``c2_1`` for
        x0**2 * x1 with several); ``residual_scale``, ``hit_rate``, ``mdl``,
        ``mdl_penalised``, ``seconds`` (the fit's wall time); ``error`` and
        ``warning`` (strings, missing when there is none). Coefficients are in the original
        units; those of monomials above a group's chosen degree are 0, and all are
        NaN in a failed group. Local results are sorted by key; a Dask result comes
        in the order of its partitions.
    points : table of the input's kind
        Only with ``points=True``; then the function returns ``(groups, points)``.

    Raises
    ------
    ValueError
        For a missing or repeated column, a column of the result that would clash
        with a key column, non-numeric x or y, or options that `kvro.fit` refuses.
    ImportError
        When the extra the input needs is not installed; the message names it.

    Examples
    --------
    >>> import numpy as np, pandas as pd, kvro
    >>> rng = np.random.default_rng(0)
    >>> t = np.tile(np.linspace(0.0, 1.0, 50), 3)
    >>> sensor = np.repeat(["a", "b", "c"], 50)
    >>> drift = 1.0 + np.repeat([0.5, 1.0, 2.0], 50) * t + rng.normal(0.0, 0.01, 150)
    >>> drift[::10] += 5.0                  # gross outliers
    >>> df = pd.DataFrame({"sensor": sensor, "t": t, "v": drift})
    >>> res = kvro.fit_groups(df, "sensor", "t", "v", 1, workers=1)
    >>> res[["sensor", "n", "n_inliers"]].to_string(index=False)
    'sensor  n  n_inliers\\n     a 50         45\\n     b 50         45\\n     c 50         45'
    >>> np.round(res["c1"].to_numpy(), 1).tolist()
    [0.5, 1.0, 2.0]
    """
    keys = [by] if isinstance(by, str) else list(by)
    xs = [x] if isinstance(x, str) else list(x)
    if not keys or not xs:
        raise ValueError("by and x must each name at least one column")
    check_options(deg, **fit_options)
    spec = _Spec.of(keys, xs, y, deg, fit_options)
    kind = _kind(data)
    if kind == "dask":
        return _dask_fit(data, spec, points)
    _pandas()
    frame = data.select([*keys, *xs, y]).to_pandas() if kind == "arrow" else data
    _check_columns(list(frame.columns), spec)
    nworkers = _default_workers() if workers is None else workers
    if isinstance(nworkers, bool) or not isinstance(nworkers, int) or nworkers < 1:
        raise ValueError(f"workers must be a positive int (got {workers!r})")
    result, point_table = _fit_frame(frame, spec, points, nworkers, progress)
    if kind == "arrow":
        import pyarrow as pa  # type: ignore[import-untyped]

        result = pa.Table.from_pandas(result, preserve_index=False)
        if points:
            point_table = pa.Table.from_pandas(point_table, preserve_index=False)
    return (result, point_table) if points else result


@dataclass(frozen=True)
class _Spec:
    """What to fit: the columns, the degree, the options and the coefficient columns."""

    keys: list[str]
    xs: list[str]
    y: str
    deg: int | str
    options: dict[str, Any]
    powers: list[tuple[int, ...]]
    seed: int  # the base seed of the groups' seeds

    @classmethod
    def of(
        cls, keys: list[str], xs: list[str], y: str, deg: int | str, options: dict[str, Any]
    ) -> _Spec:
        given = {**{k: p.default for k, p in inspect.signature(fit).parameters.items()}, **options}
        top = given["max_deg"] if deg == "auto" else deg
        powers = _basis.monomial_powers(int(top), len(xs), given["basis"])
        seed = int(given["seed"])
        return cls(keys, xs, y, deg, dict(options), [tuple(p) for p in powers.tolist()], seed)

    @property
    def coef_columns(self) -> list[str]:
        return ["c" + "_".join(map(str, p)) for p in self.powers]


def _kind(data: Any) -> str:
    # Only a library already imported can have made `data`: look there, import nothing.
    for kind, module, name in (
        ("pandas", "pandas", "DataFrame"),
        ("arrow", "pyarrow", "Table"),
        ("dask", "dask.dataframe", "DataFrame"),
    ):
        cls = getattr(sys.modules.get(module), name, None)
        if isinstance(cls, type) and isinstance(data, cls):
            return kind
    raise TypeError(
        "data must be a pandas DataFrame, a pyarrow Table or a Dask DataFrame "
        f"(got {type(data).__name__})"
    )


def _pandas() -> Any:
    try:
        import pandas  # type: ignore[import-untyped]
    except ImportError:
        raise ImportError(MISSING_TABLES) from None
    return pandas


def _default_workers() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def _check_columns(columns: list[Any], spec: _Spec) -> None:
    needed = [*spec.keys, *spec.xs, spec.y]
    for name in needed:
        if name not in columns:
            raise ValueError(f"the table has no column {name!r}")
    if len(set(needed)) < len(needed):
        raise ValueError("each column may appear only once among by, x and y")
    produced = {*COUNT_COLUMNS, *spec.coef_columns, *SCORE_COLUMNS, *TEXT_COLUMNS}
    clash = sorted(produced.intersection(spec.keys))
    if clash:
        raise ValueError(f"the key column {clash[0]!r} has the name of a result column; rename it")


def _numbers(frame: Any, names: list[str]) -> list[NDArray[np.float64]]:
    """The named columns as float64, without a copy where they are so already;
    missing cells become NaN (their group then fails)."""
    out = []
    for name in names:
        col = frame[name]
        try:
            if col.dtype == np.float64:
                out.append(col.to_numpy())
            else:
                out.append(col.to_numpy(dtype=np.float64, na_value=np.nan))
        except (TypeError, ValueError):
            raise ValueError(f"column {name!r} is not numeric") from None
    return out


def _group_codes(frame: Any, keys: list[str]) -> tuple[NDArray[np.intp], Any]:
    """A group number per row, and the keys of each group, sorted by key where possible.

    Missing keys form groups of their own (pandas' groupby would drop them).
    """
    pd = _pandas()
    codes, uniques = [], []
    for name in keys:
        col = frame[name]
        try:
            c, u = pd.factorize(col, sort=True, use_na_sentinel=False)
        except TypeError:  # keys of mixed types have no order
            c, u = pd.factorize(col, sort=False, use_na_sentinel=False)
        codes.append(c)
        uniques.append(u)
    if len(keys) == 1:
        table = pd.DataFrame({keys[0]: uniques[0]})
        return codes[0].astype(np.intp, copy=False), table
    rows, inverse = np.unique(np.stack(codes, axis=1), axis=0, return_inverse=True)
    table = pd.DataFrame(
        {k: u.take(rows[:, j]) for j, (k, u) in enumerate(zip(keys, uniques, strict=True))}
    )
    return inverse.reshape(-1).astype(np.intp, copy=False), table


def _seed(base: int, key: tuple[Any, ...]) -> int:
    """The group's seed: a hash of the base seed and the key values, not of any position."""
    text = repr((base, tuple(_plain(v) for v in key)))
    return int.from_bytes(hashlib.blake2b(text.encode(), digest_size=8).digest(), "little")


def _plain(value: Any) -> Any:
    """A key value in one spelling, whichever library held it."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return None
    if type(value).__name__ in ("NAType", "NaTType"):
        return None
    if hasattr(value, "isoformat"):
        return value.isoformat()
    return value.item() if isinstance(value, np.generic) else value


@dataclass
class _Chunk:
    """Consecutive groups: their rows (canonically ordered) and each group's seed."""

    rows: NDArray[np.intp]
    bounds: NDArray[np.intp]
    seeds: list[int]
    first: int

    def values(self, columns: list[NDArray[np.float64]]) -> NDArray[np.float64]:
        """The chunk's rows of the x columns and y, side by side."""
        return np.column_stack([c[self.rows] for c in columns])


def _chunks(
    codes: NDArray[np.intp], columns: list[NDArray[np.float64]], seeds: list[int], target: int
) -> Iterator[_Chunk]:
    order = np.argsort(codes, kind="stable")
    starts = np.zeros(len(seeds) + 1, dtype=np.intp)
    np.cumsum(np.bincount(codes, minlength=len(seeds)), out=starts[1:])
    g = 0
    while g < len(seeds):
        end = g + 1
        while end < len(seeds) and starts[end + 1] - starts[g] <= target:
            end += 1
        rows = order[starts[g] : starts[end]]
        # Canonical order inside each group: by x, then y (last key of lexsort first).
        keys = [c[rows] for c in reversed(columns)]
        rows = rows[np.lexsort((*keys, codes[rows]))]
        yield _Chunk(rows, starts[g : end + 1] - starts[g], seeds[g:end], g)
        g = end


def _no_results(ngroups: int, ncoef: int, rows: int | None) -> dict[str, Any]:
    """Room for the results of `ngroups` fits, as if each had failed; and of their
    `rows` points when they are asked for."""
    out: dict[str, Any] = {
        "counts": np.zeros((ngroups, len(COUNT_COLUMNS)), dtype=np.int64),
        "coef": np.full((ngroups, ncoef), np.nan),
        "scores": np.full((ngroups, len(SCORE_COLUMNS)), np.nan),
        "error": [None] * ngroups,
        "warning": [None] * ngroups,
    }
    if rows is not None:
        out["fitted"] = np.full(rows, np.nan)
        out["inlier"] = np.zeros(rows, dtype=bool)
    return out


def _fit_chunk(
    values: NDArray[np.float64],
    bounds: NDArray[np.intp],
    seeds: list[int],
    spec: _Spec,
    points: bool,
) -> dict[str, Any]:
    """Fit each group of a chunk; `values` holds x columns then y, group after group."""
    where = {p: i for i, p in enumerate(spec.powers)}
    out = _no_results(len(seeds), len(spec.powers), len(values) if points else None)
    for i, seed in enumerate(seeds):
        a, b = bounds[i], bounds[i + 1]
        xg, yg = values[a:b, :-1], values[a:b, -1]
        xg = xg[:, 0] if xg.shape[1] == 1 else xg
        out["counts"][i, 0] = b - a
        start = time.perf_counter()
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                f = fit(xg, yg, spec.deg, **{**spec.options, "seed": seed})  # type: ignore[arg-type]
        except MemoryError:
            raise
        except Exception as e:  # noqa: BLE001 - a group's failure is its row's error
            out["error"][i] = str(e) if isinstance(e, ValueError) else f"{type(e).__name__}: {e}"
            continue
        seconds = time.perf_counter() - start
        out["counts"][i, 1:] = int(f.inliers.sum()), f.deg
        out["coef"][i] = 0.0
        out["coef"][i, [where[tuple(p)] for p in f.powers.tolist()]] = f.coef
        out["scores"][i] = f.residual_scale, f.hit_rate, f.mdl, f.mdl_penalised, seconds
        if caught:
            out["warning"][i] = "; ".join(" ".join(str(w.message).split()) for w in caught)
        if points:
            out["fitted"][a:b] = f.predict(xg)
            out["inlier"][a:b] = f.inliers
    return out


def _fit_frame(
    frame: Any, spec: _Spec, points: bool, workers: int, progress: Progress | None
) -> tuple[Any, Any]:
    """Group fits of a pandas DataFrame in this process or on a local pool."""
    pd = _pandas()
    codes, key_table = _group_codes(frame, spec.keys)
    columns = _numbers(frame, [*spec.xs, spec.y])
    key_rows = key_table.itertuples(index=False, name=None)
    seeds = [_seed(spec.seed, key) for key in key_rows]
    ngroups = len(seeds)
    target = max(1, min(CHUNK_ROWS, len(frame) // (4 * workers)))
    results = _no_results(ngroups, len(spec.powers), len(frame) if points else None)
    done = 0

    def collect(chunk: _Chunk, out: dict[str, Any]) -> None:
        nonlocal done
        span = slice(chunk.first, chunk.first + len(chunk.seeds))
        for name in ("counts", "coef", "scores", "error", "warning"):
            results[name][span] = out[name]
        if points:
            results["fitted"][chunk.rows] = out["fitted"]
            results["inlier"][chunk.rows] = out["inlier"]
        done += len(chunk.seeds)
        if progress is not None:
            progress(done, ngroups)

    chunks = _chunks(codes, columns, seeds, target)
    if workers == 1 or ngroups <= 1:
        for chunk in chunks:
            collect(
                chunk, _fit_chunk(chunk.values(columns), chunk.bounds, chunk.seeds, spec, points)
            )
    else:
        _run_pool(chunks, columns, spec, points, workers, collect)
    table = _result_table(pd, key_table, spec, results)
    point_table = None
    if points:
        fitted = results["fitted"]
        point_table = pd.DataFrame(
            {"fitted": fitted, "residual": columns[-1] - fitted, "inlier": results["inlier"]},
            index=frame.index,
        )
    return table, point_table


def _run_pool(
    chunks: Iterator[_Chunk],
    columns: list[NDArray[np.float64]],
    spec: _Spec,
    points: bool,
    workers: int,
    collect: Callable[[_Chunk, dict[str, Any]], None],
) -> None:
    """Fit the chunks on `workers` processes, one chunk per process at a time."""
    pool = [_Worker() for _ in range(workers)]
    busy: dict[Any, tuple[_Worker, _Chunk]] = {}
    try:
        idle = list(pool)
        for chunk in chunks:
            while not idle:
                idle += _finished(busy, collect)
            worker = idle.pop()
            worker.send((chunk.values(columns), chunk.bounds, chunk.seeds, spec, points))
            busy[worker.results] = (worker, chunk)
        while busy:
            _finished(busy, collect)
    finally:
        for worker in pool:
            worker.close(kill=bool(busy))


def _finished(
    busy: dict[Any, tuple[_Worker, _Chunk]], collect: Callable[[_Chunk, dict[str, Any]], None]
) -> list[_Worker]:
    """Wait for at least one busy worker, collect what it sent; the workers now idle."""
    idle = []
    for results in mpc.wait(list(busy)):
        worker, chunk = busy.pop(results)
        collect(chunk, worker.receive())
        idle.append(worker)
    return idle


class _Worker:
    """A fresh interpreter that fits chunks sent through a pipe, on one thread.

    Not multiprocessing's pool: its workers import the caller's main script (which
    fails in a script without a ``__main__`` guard), and forking a process whose
    OpenMP runtime has started threads can deadlock the child. The environment
    keeps OpenMP and BLAS on one thread from the start; the processes are the
    parallelism.
    """

    def __init__(self) -> None:
        jobs_r, jobs_w = os.pipe()
        results_r, results_w = os.pipe()
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        code = (
            f"import sys; sys.path.insert(0, {root!r}); "
            f"from kvro.groups import _serve; _serve({jobs_r}, {results_w})"
        )
        threads = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")
        env = os.environ | dict.fromkeys(threads, "1")
        self.process = subprocess.Popen(
            [sys.executable, "-c", code], pass_fds=(jobs_r, results_w), env=env
        )
        os.close(jobs_r)
        os.close(results_w)
        self.jobs = mpc.Connection(jobs_w, readable=False)
        self.results = mpc.Connection(results_r, writable=False)

    def send(self, job: tuple[Any, ...]) -> None:
        self.jobs.send(job)

    def receive(self) -> dict[str, Any]:
        try:
            status, payload = self.results.recv()
        except EOFError:
            code = self.process.wait()
            raise RuntimeError(f"a group-fit worker process died (exit code {code})") from None
        if status == "error":
            raise payload
        return payload  # type: ignore[no-any-return]

    def close(self, kill: bool) -> None:
        if kill:
            self.process.kill()
        self.jobs.close()  # the worker ends when its job pipe closes
        self.results.close()
        self.process.wait()


def _serve(jobs_fd: int, results_fd: int) -> None:
    """A worker's loop: fit each chunk received until the job pipe closes."""
    # Ctrl-C is the caller's to handle; it stops the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    jobs = mpc.Connection(jobs_fd, writable=False)
    results = mpc.Connection(results_fd, readable=False)
    while True:
        try:
            job = jobs.recv()
        except EOFError:
            return
        try:
            results.send(("ok", _fit_chunk(*job)))
        except Exception as e:  # noqa: BLE001 - the caller raises it
            results.send(("error", e))


def _result_table(pd: Any, key_table: Any, spec: _Spec, results: dict[str, Any]) -> Any:
    counts = results["counts"]
    failed = np.array([e is not None for e in results["error"]], dtype=bool)
    columns: dict[str, Any] = {k: key_table[k].array for k in spec.keys}
    columns["n"] = counts[:, 0]
    for j, name in enumerate(COUNT_COLUMNS[1:], start=1):
        columns[name] = pd.array(np.where(failed, 0, counts[:, j]), dtype="Int64")
        columns[name][failed] = pd.NA
    columns |= dict(zip(spec.coef_columns, results["coef"].T, strict=True))
    columns |= dict(zip(SCORE_COLUMNS, results["scores"].T, strict=True))
    for name in TEXT_COLUMNS:
        columns[name] = pd.array(results[name], dtype="string")
    return pd.DataFrame(columns)


def _dask_fit(ddf: Any, spec: _Spec, points: bool) -> Any:
    """Shuffle so that each group lies in one partition, then fit partition by partition."""
    try:
        import dask.dataframe as dd
        from dask.delayed import delayed
    except ImportError:
        raise ImportError(MISSING_DASK) from None
    _check_columns(list(ddf.columns), spec)
    columns = [*spec.keys, *spec.xs, spec.y]
    meta_groups, meta_points = _fit_frame(ddf._meta[columns], spec, points, 1, None)
    shuffled = ddf[columns].shuffle(on=spec.keys)
    parts = [
        delayed(_fit_frame, nout=2, pure=True)(part, spec, points, 1, None)
        for part in shuffled.to_delayed()
    ]
    groups = dd.from_delayed([g for g, _ in parts], meta=meta_groups, verify_meta=False)
    if not points:
        return groups
    return groups, dd.from_delayed([p for _, p in parts], meta=meta_points, verify_meta=False)
