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


def write_columns(path: str, columns: Mapping[str, NDArray[np.generic]]) -> None:
    """Write equally long columns as a CSV file with a header row.

    Floats are written in their shortest form that reads back to the same value;
    booleans as 1 and 0.

    Parameters
    ----------
    path : str
        The file to write (replaced if it exists).
    columns : mapping of str to ndarray
        Header name and values of each column, in order.

    Raises
    ------
    InputError
        If the file cannot be written.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> import numpy as np
    >>> from kvro.tables import write_columns
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "out.csv"
    >>> write_columns(str(path), {"x": np.array([0.1, 2.0]), "inlier": np.array([True, False])})
    >>> print(path.read_text(), end="")
    x,inlier
    0.1,1
    2.0,0
    """
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
