"""Reading the named columns of a CSV file, and writing one output row per input point.

The reader checks every cell it uses and names the file, line and column of the first
one that is not a finite number, so a user can find it in the file.
"""

from __future__ import annotations

import csv
import math
from collections.abc import Mapping, Sequence

import numpy as np
from numpy.typing import NDArray

Array = NDArray[np.float64]


class InputError(Exception):
    """A file that cannot be read or written, or a column that is not there.

    The message is meant for the user as it stands.

    Examples
    --------
    >>> from kvro.tables import InputError, read_columns
    >>> try:
    ...     read_columns("no/such/file.csv", ["x"])
    ... except InputError as e:
    ...     print(e)
    cannot read no/such/file.csv: No such file or directory
    """


def read_columns(path: str, names: Sequence[str]) -> list[Array]:
    """The named columns of a CSV file with a header row, as float arrays.

    Blank lines are skipped; a UTF-8 byte order mark (as spreadsheet programs
    write it) is ignored. Every cell of the named columns must be a finite number.

    Parameters
    ----------
    path : str
        The CSV file.
    names : sequence of str
        Column names, as in the header row (surrounding spaces do not count).

    Returns
    -------
    list of ndarray
        One float64 array per name, in the order of `names`, one value per data row.

    Raises
    ------
    InputError
        For a file that cannot be read, a file without data rows, a missing or
        repeated column, a row with too few fields, or a cell that is not a finite
        number.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> from kvro.tables import read_columns
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "d.csv"
    >>> _ = path.write_text("t,y,note\\n0,1.5,a\\n\\n2,3.5,b\\n")
    >>> t, y = read_columns(str(path), ["t", "y"])
    >>> t.tolist(), y.tolist()
    ([0.0, 2.0], [1.5, 3.5])
    """
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            reader = csv.reader(f)
            header = None
            where: list[int] = []
            cols: list[list[float]] = [[] for _ in names]
            for row in reader:
                if not any(cell.strip() for cell in row):
                    continue
                if header is None:
                    header = [cell.strip() for cell in row]
                    where = [_column_index(path, header, name) for name in names]
                    continue
                line = reader.line_num
                if len(row) < len(header):
                    raise InputError(
                        f"{path}, line {line}: {len(row)} fields where the header has {len(header)}"
                    )
                for col, i, name in zip(cols, where, names, strict=True):
                    col.append(_number(path, line, name, row[i]))
    except OSError as e:
        raise InputError(f"cannot read {path}: {e.strerror or e}") from None
    except (UnicodeDecodeError, csv.Error) as e:
        raise InputError(f"cannot read {path}: {e}") from None
    if header is None:
        raise InputError(f"{path} is empty")
    if names and not cols[0]:
        raise InputError(f"{path} has a header row but no data")
    return [np.array(col, dtype=np.float64) for col in cols]


def write_points(
    path: str,
    inputs: Mapping[str, Array],
    y: Array,
    fits: Mapping[str, tuple[Array, NDArray[np.bool_]]],
) -> None:
    """Write one CSV row per input point: its columns, then each fit's view of it.

    The columns are `inputs`, then for each fit its fitted value, residual
    (y - fitted) and inlier flag (1 or 0), named ``fitted``, ``residual`` and
    ``inlier`` after the fit's label: ``fitted_robust`` for the label ``"robust"``,
    plain ``fitted`` for the label ``""``. Floats are written in their shortest form
    that reads back to the same value.

    Parameters
    ----------
    path : str
        The file to write (replaced if it exists).
    inputs : mapping of str to ndarray
        The input columns by name, in order.
    y : ndarray
        The fitted data, one value per row.
    fits : mapping of str to (ndarray, ndarray of bool)
        Each fit's fitted values and inlier mask, by label.

    Raises
    ------
    InputError
        If an input column has the name of an output column, or the file cannot be
        written.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> import numpy as np
    >>> from kvro.tables import write_points
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "out.csv"
    >>> t, y = np.array([0.0, 1.0]), np.array([0.5, 9.0])
    >>> write_points(str(path), {"t": t, "y": y}, y, {"": (np.array([0.5, 1.5]), y < 5)})
    >>> print(path.read_text(), end="")
    t,y,fitted,residual,inlier
    0.0,0.5,0.5,0.0,1
    1.0,9.0,1.5,7.5,0
    """
    columns: dict[str, NDArray[np.generic]] = dict(inputs)
    for label, (fitted, inliers) in fits.items():
        suffix = f"_{label}" if label else ""
        for name, col in (("fitted", fitted), ("residual", y - fitted), ("inlier", inliers)):
            if name + suffix in columns:
                raise InputError(
                    f"the input column {name + suffix!r} has the name of an output column; "
                    "rename it"
                )
            columns[name + suffix] = col
    cells = [
        [str(int(v)) for v in col.tolist()]
        if col.dtype == np.bool_
        else [repr(v) for v in col.tolist()]
        for col in columns.values()
    ]
    try:
        with open(path, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f, lineterminator="\n")
            writer.writerow(columns.keys())
            writer.writerows(zip(*cells, strict=True))
    except OSError as e:
        raise InputError(f"cannot write {path}: {e.strerror or e}") from None


def _column_index(path: str, header: list[str], name: str) -> int:
    found = [i for i, h in enumerate(header) if h == name]
    if not found:
        raise InputError(f"{path} has no column {name!r} (columns: {', '.join(header)})")
    if len(found) > 1:
        raise InputError(f"{path} has more than one column named {name!r}")
    return found[0]


def _number(path: str, line: int, name: str, cell: str) -> float:
    try:
        value = float(cell)
    except ValueError:
        raise InputError(
            f"{path}, line {line}, column {name!r}: {cell!r} is not a number"
        ) from None
    if not math.isfinite(value):
        raise InputError(f"{path}, line {line}, column {name!r}: {cell!r} is not a finite number")
    return value
