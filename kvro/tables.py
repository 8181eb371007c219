"""Reading and writing tables: CSV files (any common delimiter, compressed or not) and Parquet.

`read_table` parses CSV with pyarrow's multithreaded reader and returns a pandas
DataFrame; `read_columns` takes float columns from it for ``kvro fit`` and names the
line and column of the first cell that is not a finite number. `write_table` writes
CSV or Parquet, as the file's name says. pandas and pyarrow are imported when first
needed (``pip install 'kvro[tables]'``), so ``import kvro`` needs NumPy alone.
"""

from __future__ import annotations

import bz2
import contextlib
import csv
import gzip
import io
import itertools
import lzma
import os
import zlib
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import IO, Any

import numpy as np
from numpy.typing import NDArray

Array = NDArray[np.float64]

MISSING_TABLES = "reading and writing tables needs pandas and pyarrow: pip install 'kvro[tables]'"

# Cells that mean "no value": pandas.read_csv's list.
NA_VALUES = ["", "#N/A", "#N/A N/A", "#NA", "-1.#IND", "-1.#QNAN", "-NaN", "-nan",
             "1.#IND", "1.#QNAN", "<NA>", "N/A", "NA", "NULL", "NaN", "None", "n/a", "nan",
             "null"]  # fmt: skip

# The delimiters `read_table` recognises, in order of preference when the header row
# does not decide.
DELIMITERS = ",;\t|"

PARQUET = (".parquet", ".pq")

# What `write_table` writes, by the end of the file's name.
OUTPUT_FORMATS = {".csv.gz": "csv.gz", ".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}

# Compressed input is recognised by its first bytes, whatever the file is called.
_DECOMPRESS: dict[bytes, Callable[..., Any]] = {
    b"\x1f\x8b": gzip.open,
    b"BZh": bz2.open,
    b"\xfd7zXZ\x00": lzma.open,
}

_BOM = b"\xef\xbb\xbf"
_BLOCK = 1 << 20


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


def read_table(path: str | os.PathLike[str], columns: Sequence[str] | None = None) -> Any:
    """A CSV or Parquet file as a pandas DataFrame.

    A name ending in ``.parquet`` or ``.pq`` is read as Parquet, anything else as CSV
    with a header row. The CSV delimiter (comma, semicolon, tab or pipe) is found from
    the header row and the lines after it; a file compressed with gzip, bzip2 or xz is
    recognised by its first bytes. Lines starting with ``#`` and blank lines are
    skipped, a UTF-8 byte order mark is ignored, spaces around column names do not
    count, and the cells pandas takes for missing (empty, ``NA``, ``NaN``, ``null``,
    ``N/A``, ...) are missing values: a numeric column with some is float. Column
    types are inferred as `pandas.read_csv` does: text (dates too) stays text, whole
    numbers stay integers.

    Parameters
    ----------
    path : str or path-like
        The file.
    columns : sequence of str, optional
        The columns to read, in this order (the others are not parsed). Default: all.

    Returns
    -------
    pandas.DataFrame
        One row per data row of the file, with a default index.

    Raises
    ------
    InputError
        For a file that cannot be read or is empty, a row with more or fewer fields
        than the header, text that is not UTF-8, a missing column (naming the ones
        there are), a column name the file has twice, or when pandas or pyarrow is not
        installed.
    ValueError
        If `columns` is a string or empty.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> from kvro.tables import read_table
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "d.csv"
    >>> _ = path.write_text("# station log\\nsite;t;y\\nA;0;1.5\\n\\nB;1;NA\\n")
    >>> read_table(path, ["site", "y"])
      site    y
    0    A  1.5
    1    B  NaN
    """
    if isinstance(columns, str) or (columns is not None and len(columns) == 0):
        raise ValueError(f"columns must be a non-empty sequence of names (got {columns!r})")
    pd, pa = _libraries()
    path = os.fspath(path)
    try:
        if path.lower().endswith(PARQUET):
            return _read_parquet(pd, pa, path, columns)
        return _read_csv(pa, path, columns)
    except (OSError, EOFError, zlib.error, lzma.LZMAError) as e:
        raise InputError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from None
    except pa.ArrowException as e:
        raise InputError(f"cannot read {path}: {e}") from None


def read_columns(path: str, names: Sequence[str]) -> list[Array]:
    """The named columns of a table (as `read_table` reads it) as float arrays.

    Every cell of the named columns must be a finite number.

    Parameters
    ----------
    path : str
        The CSV or Parquet file.
    names : sequence of str
        Column names, as in the header row (surrounding spaces do not count).

    Returns
    -------
    list of ndarray
        One float64 array per name, in the order of `names`, one value per data row.

    Raises
    ------
    InputError
        As `read_table`, and for a file without data rows or a cell that is missing
        or not a finite number: the message names its line in a CSV file (its row in
        a Parquet file) and its column.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> from kvro.tables import read_columns
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "d.csv"
    >>> _ = path.write_text("t,y,note\\n0,1.5,a\\n\\n2,3.5,b\\n")
    >>> t, y = read_columns(str(path), ["t", "y"])
    >>> t.tolist(), y.tolist()
    ([0.0, 2.0], [1.5, 3.5])
    >>> _ = path.write_text("t,y\\n0,1.5\\n2,inf\\n")
    >>> read_columns(str(path), ["t", "y"])  # doctest: +ELLIPSIS
    Traceback (most recent call last):
    ...
    kvro.tables.InputError: .../d.csv, line 3, column 'y': 'inf' is not a finite number
    """
    pd, _ = _libraries()
    table = read_table(path, names)
    if len(table) == 0:
        raise InputError(f"{path} has a header row but no data")
    arrays = []
    for name in names:
        column = table[name]
        if column.dtype.kind in "iuf":
            values = column.to_numpy(np.float64, na_value=np.nan, copy=True)
        elif pd.api.types.is_string_dtype(column.dtype):
            numbers = pd.to_numeric(column, errors="coerce")
            values = numbers.to_numpy(np.float64, na_value=np.nan, copy=True)
        else:  # booleans, dates read from Parquet, ...: not numbers
            values = np.full(len(column), np.nan)
        bad = ~np.isfinite(values)
        if bad.any():
            row = int(np.argmax(bad))
            raise InputError(_bad_cell(path, name, column, row, values[row]))
        arrays.append(values)
    return arrays


def output_format(path: str | os.PathLike[str]) -> str:
    """The format `write_table` writes to `path`, by the end of its name.

    Parameters
    ----------
    path : str or path-like
        The file to write.

    Returns
    -------
    str
        ``"csv"`` for ``.csv``, ``"csv.gz"`` for ``.csv.gz``, ``"parquet"`` for
        ``.parquet`` and ``.pq`` (in any case).

    Raises
    ------
    InputError
        For any other name.

    Examples
    --------
    >>> from kvro.tables import output_format
    >>> output_format("fits.CSV.gz"), output_format("fits.pq")
    ('csv.gz', 'parquet')
    >>> output_format("fits.xlsx")
    Traceback (most recent call last):
    ...
    kvro.tables.InputError: cannot write fits.xlsx: the name must end in .csv.gz, .csv, ...
    """
    name = os.fspath(path)
    for ending, kind in OUTPUT_FORMATS.items():
        if name.lower().endswith(ending):
            return kind
    raise InputError(
        f"cannot write {name}: the name must end in "
        f"{', '.join(list(OUTPUT_FORMATS)[:-1])} or {list(OUTPUT_FORMATS)[-1]}"
    )


def write_table(table: Any, path: str | os.PathLike[str]) -> None:
    """Write a pandas DataFrame as CSV or Parquet, as `output_format` says.

    CSV has a header row, no index column, commas, quotes only where a cell needs
    them, an empty cell for a missing value and 1 and 0 for booleans; floats are
    written in the shortest form that reads back to the same value, with a ``.0``
    on whole numbers so they read back as floats. Parquet keeps the column types.

    Parameters
    ----------
    table : pandas.DataFrame
        The table; its index is not written.
    path : str or path-like
        The file to write (replaced if it exists).

    Raises
    ------
    InputError
        For a name `output_format` refuses, a file that cannot be written or a column
        that cannot be stored, or when pandas or pyarrow is not installed.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> import pandas as pd
    >>> from kvro.tables import read_table, write_table
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> table = pd.DataFrame({"site": ["A", "B"], "y": [0.1 + 0.2, 2.0], "ok": [True, False]})
    >>> write_table(table, folder / "t.csv")
    >>> print((folder / "t.csv").read_text(), end="")
    site,y,ok
    A,0.30000000000000004,1
    B,2.0,0
    >>> write_table(table, folder / "t.parquet")
    >>> read_table(folder / "t.parquet").equals(table)
    True
    """
    kind = output_format(path)
    _, pa = _libraries()
    path = os.fspath(path)
    try:
        arrow = pa.Table.from_pandas(table, preserve_index=False)
        if kind != "parquet":
            arrow, quoting = _csv_cells(pa, arrow)
    except pa.ArrowException as e:
        raise InputError(f"cannot write {path}: {e}") from None
    try:
        with open(path, "wb") as f:
            if kind == "parquet":
                pa.parquet.write_table(arrow, f)
                return
            # pyarrow would quote every name in the header row.
            header = io.StringIO()
            csv.writer(header, lineterminator="\n").writerow(arrow.column_names)
            options = pa.csv.WriteOptions(include_header=False, quoting_style=quoting)
            with (
                gzip.GzipFile(fileobj=f, mode="wb", compresslevel=6, mtime=0)
                if kind == "csv.gz"
                else contextlib.nullcontext(f)
            ) as out:
                out.write(header.getvalue().encode())
                pa.csv.write_csv(arrow, out, options)
    except OSError as e:
        raise InputError(f"cannot write {path}: {e.strerror or e}") from None
    except pa.ArrowException as e:
        raise InputError(f"cannot write {path}: {e}") from None


def write_points(
    path: str,
    inputs: Mapping[str, Array],
    y: Array,
    fits: Mapping[str, tuple[Array, NDArray[np.bool_]]],
) -> None:
    """Write one row per input point: its columns, then each fit's view of it.

    The columns are `inputs`, then for each fit its fitted value, residual
    (y - fitted) and inlier flag, named ``fitted``, ``residual`` and ``inlier``
    after the fit's label: ``fitted_robust`` for the label ``"robust"``, plain
    ``fitted`` for the label ``""``. The file is written by `write_table`: CSV
    (inlier 1 or 0), gzip-compressed CSV or Parquet, by the end of its name.

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
        If an input column has the name of an output column, or as `write_table`.

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
    check_point_names(inputs, fits)
    columns: dict[str, NDArray[np.generic]] = dict(inputs)
    for label, (fitted, inliers) in fits.items():
        suffix = f"_{label}" if label else ""
        for name, col in (("fitted", fitted), ("residual", y - fitted), ("inlier", inliers)):
            columns[name + suffix] = col
    pd, _ = _libraries()
    write_table(pd.DataFrame(columns), path)


def check_point_names(inputs: Iterable[str], labels: Iterable[str]) -> None:
    """Refuse input columns named like the columns `write_points` adds for `labels`,
    so that a caller can say so before the fits rather than after.

    Examples
    --------
    >>> from kvro.tables import check_point_names
    >>> check_point_names(["t", "fitted"], ["robust"])
    >>> check_point_names(["t", "fitted"], [""])
    Traceback (most recent call last):
    ...
    kvro.tables.InputError: the input column 'fitted' has the name of an output column; rename it
    """
    taken = set(inputs)
    for label in labels:
        suffix = f"_{label}" if label else ""
        for name in ("fitted", "residual", "inlier"):
            if name + suffix in taken:
                raise InputError(
                    f"the input column {name + suffix!r} has the name of an output column; "
                    "rename it"
                )


def _libraries() -> tuple[Any, Any]:
    """pandas, and pyarrow with its csv, parquet and compute modules loaded."""
    try:
        import pandas  # type: ignore[import-untyped]
        import pyarrow  # type: ignore[import-untyped]
        import pyarrow.compute  # type: ignore[import-untyped]
        import pyarrow.csv  # type: ignore[import-untyped]
        import pyarrow.parquet  # type: ignore[import-untyped]
    except ImportError:
        raise InputError(MISSING_TABLES) from None
    return pandas, pyarrow


def _read_parquet(pd: Any, pa: Any, path: str, columns: Sequence[str] | None) -> Any:
    with open(path, "rb") as f:
        source = pa.parquet.ParquetFile(f)
        # pandas stores an unnamed index as a column of its own; it is no data.
        names = [n for n in source.schema_arrow.names if not n.startswith("__index_level_")]
        wanted = [names[i] for i in _positions(path, names, columns)]
        table = source.read(columns=wanted).to_pandas()
    # A named index that pandas stored comes back as a column, like the others.
    table = table.reset_index(drop=isinstance(table.index, pd.RangeIndex))
    return table[wanted]


def _read_csv(pa: Any, path: str, columns: Sequence[str] | None) -> Any:
    delimiter, header = _sniff(path)
    names = [h.strip() for h in header]
    wanted = _positions(path, names, columns)
    bad_rows: list[Any] = []

    def blank_or_bad(row: Any) -> str:
        # Lines of nothing but spaces and delimiters are skipped like empty ones.
        if not row.text.replace(delimiter, "").strip():
            return "skip"
        bad_rows.append(row)
        return "error"

    text_columns: list[str] = []
    while True:
        try:
            with _open(path) as f:
                table = pa.csv.read_csv(
                    _Uncommented(f),
                    parse_options=pa.csv.ParseOptions(
                        delimiter=delimiter, invalid_row_handler=blank_or_bad
                    ),
                    convert_options=pa.csv.ConvertOptions(
                        include_columns=[header[i] for i in wanted],
                        null_values=NA_VALUES,
                        strings_can_be_null=True,
                        column_types=dict.fromkeys(text_columns, pa.string()),
                    ),
                )
        except pa.ArrowInvalid:
            if bad_rows:
                for line, fields in _data_rows(path, delimiter, len(header)):
                    if len(fields) != len(header):
                        raise InputError(
                            f"{path}, line {line}: {len(fields)} fields "
                            f"where the header has {len(header)}"
                        ) from None
            raise
        # pyarrow takes dates and times for what they look like; pandas, and so
        # kvro, keep them as text.
        temporal = [f.name for f in table.schema if pa.types.is_temporal(f.type)]
        if not temporal:
            break
        text_columns += temporal
    for field in table.schema:
        if pa.types.is_binary(field.type):  # what pyarrow makes of text that is not UTF-8
            raise InputError(f"cannot read {path}: column {field.name.strip()!r} is not UTF-8 text")
    # A column with no value at all is float, as in pandas.
    for i, field in enumerate(table.schema):
        if pa.types.is_null(field.type):
            table = table.set_column(i, field.name, table.column(i).cast(pa.float64()))
    return table.rename_columns([names[i] for i in wanted]).to_pandas()


def _positions(path: str, names: Sequence[str], columns: Sequence[str] | None) -> list[int]:
    """Where each of `columns` (default: all) is among the file's column `names`."""
    where: dict[str, list[int]] = {}
    for i, name in enumerate(names):
        where.setdefault(name, []).append(i)
    positions = []
    for name in dict.fromkeys(names if columns is None else columns):
        if name not in where:
            raise InputError(f"{path} has no column {name!r} (columns: {', '.join(names)})")
        if len(where[name]) > 1:
            raise InputError(f"{path} has more than one column named {name!r}")
        positions.append(where[name][0])
    return positions


@contextlib.contextmanager
def _open(path: str) -> Iterator[IO[bytes]]:
    """The bytes of a file, decompressed if its first bytes say it is compressed."""
    with open(path, "rb") as f:
        start = f.peek(8)[:8]
        for magic, decompress in _DECOMPRESS.items():
            if start.startswith(magic):
                with decompress(f) as plain:
                    yield plain
                return
        yield f


class _Uncommented(io.RawIOBase):
    """A CSV byte stream without its comment lines (those that start with '#').

    Blocks without a comment pass through untouched; a block with one is cut after
    its last whole line before the comments are cut out. Reads return as many bytes
    as asked for until the end, as pyarrow needs the header row in the first one.
    """

    def __init__(self, source: IO[bytes]) -> None:
        super().__init__()
        self._source = source
        self._pending = b""
        self._carry = b""  # the start of a line cut off from a block with comments
        self._line_start = True  # whether the next block starts a line
        self._first = True

    def readable(self) -> bool:
        return True

    def read(self, size: int | None = -1) -> bytes:
        if size is None or size < 0:
            return b"".join(iter(lambda: self.read(_BLOCK), b""))
        while len(self._pending) < size and (block := self._next_block()):
            self._pending += block
        out, self._pending = self._pending[:size], self._pending[size:]
        return out

    def _next_block(self) -> bytes:
        """The next block of the source without its comment lines; empty at the end."""
        while block := self._carry + self._source.read(_BLOCK):
            self._carry = b""
            if self._first:
                block, self._first = block.removeprefix(_BOM), False
            # The one-byte search runs at memory speed; most blocks stop at it.
            if b"#" in block and ((self._line_start and block.startswith(b"#")) or b"\n#" in block):
                while b"\n" not in block and (more := self._source.read(_BLOCK)):
                    block += more
                if not block.endswith(b"\n"):
                    cut = block.rfind(b"\n") + 1
                    if cut:
                        block, self._carry = block[:cut], block[cut:]
                block = _without_comments(block, self._line_start)
            if block:
                self._line_start = block.endswith(b"\n")
                return block
        return b""


def _without_comments(block: bytes, line_start: bool) -> bytes:
    """`block`, which ends a line, without its lines that start with '#'."""
    # A newline in front makes a comment on the first line look like any other.
    lead = b"\n" if line_start else b""
    text = lead + block
    kept = []
    start = 0
    while (hit := text.find(b"\n#", start)) >= 0:
        kept.append(text[start:hit])
        end = text.find(b"\n", hit + 1)
        start = len(text) if end < 0 else end
    kept.append(text[start:])
    return b"".join(kept)[len(lead) :]


def _sniff(path: str) -> tuple[str, list[str]]:
    """The delimiter and the header row's fields of a CSV file.

    The delimiter is the one of `DELIMITERS` that splits the header row and the
    lines after it into the same number of fields, the most fields if several do;
    failing that, the one that splits the header row most.
    """
    with _open(path) as f:
        source = _Uncommented(f)
        head = b""
        while head.count(b"\n") <= 20 and (block := source.read(1 << 16)):
            head += block
        complete = not source.read(1)
    lines = [line.rstrip("\r") for line in head.decode("utf-8", errors="replace").split("\n")]
    if not complete:
        lines = lines[:-1]  # perhaps cut short
    lines = [line for line in lines if line.strip()]
    if not lines:
        raise InputError(f"{path} is empty")
    # Delimiters inside quotes do not count.
    unquoted = [line.split('"')[::2] for line in lines]

    def fit(delimiter: str) -> tuple[bool, int]:
        counts = [sum(part.count(delimiter) for part in parts) for parts in unquoted]
        return counts[0] > 0 and all(c == counts[0] for c in counts), counts[0]

    best = max(DELIMITERS, key=fit)
    delimiter = best if fit(best)[1] > 0 else DELIMITERS[0]
    return delimiter, next(csv.reader([lines[0]], delimiter=delimiter))


def _data_rows(path: str, delimiter: str, width: int) -> Iterator[tuple[int, list[str]]]:
    """Each data row of a CSV file with the number of its first line, as `read_table`
    counts the rows.

    Python's csv module is slow beside pyarrow: this only serves to say where a bad
    row is.
    """
    first = 0

    def lines(text: IO[str]) -> Iterator[str]:
        nonlocal first
        for number, line in enumerate(text, 1):
            if not line.startswith("#"):
                first = first or number
                yield line

    with (
        _open(path) as f,
        io.TextIOWrapper(f, encoding="utf-8-sig", errors="replace", newline="") as text,
    ):
        header = True
        rows = csv.reader(lines(text), delimiter=delimiter)
        with contextlib.suppress(csv.Error):  # a field beyond the csv module's size limit
            for fields in rows:
                line, first = first, 0
                if not fields or (len(fields) != width and not "".join(fields).strip()):
                    continue
                if not header:
                    yield line, fields
                header = False


def _bad_cell(path: str, name: str, column: Any, row: int, value: float) -> str:
    """Say where the cell in `row` of `column` is and why it is no finite number."""
    missing = bool(column.isna().iloc[row])
    where, cell = f"{path}, row {row + 1}", None if missing else str(column.iloc[row])
    if not path.lower().endswith(PARQUET):
        with contextlib.suppress(OSError):  # then the row number must do
            delimiter, header = _sniff(path)
            position = [h.strip() for h in header].index(name)
            rows = _data_rows(path, delimiter, len(header))
            line, fields = next(itertools.islice(rows, row, None), (0, []))
            if position < len(fields):
                where, cell = f"{path}, line {line}", fields[position]
    if cell is None:
        problem = "missing value"
    elif missing:
        problem = f"{cell!r} marks a missing value" if cell.strip() else "empty cell"
    elif np.isinf(value):
        problem = f"{cell!r} is not a finite number"
    else:
        problem = f"{cell!r} is not a number"
    return f"{where}, column {name!r}: {problem}"


def _csv_cells(pa: Any, table: Any) -> tuple[Any, str]:
    """`table` with booleans as 1 and 0 and floats as text that reads back as floats,
    and the quoting its cells need: none, unless some text has a comma, quote or newline.
    """
    pc = pa.compute
    quoting = "none"
    columns = []
    for column in table.columns:
        if pa.types.is_boolean(column.type):
            column = column.cast(pa.int8())
        elif pa.types.is_floating(column.type):
            # pyarrow writes the shortest text that reads back to the same value, but
            # 2.0 as "2", which would read back as an integer.
            text = column.cast(pa.string())
            whole = pc.match_substring_regex(text, r"^-?[0-9]+$")
            column = pc.if_else(whole, pc.binary_join_element_wise(text, ".0", ""), text)
        elif not pa.types.is_integer(column.type):
            text = column.cast(pa.string())
            if pc.any(pc.match_substring_regex(text, r'[,"\r\n]')).as_py():
                quoting = "needed"  # which quotes all text, floats included
        columns.append(column)
    return pa.Table.from_arrays(columns, names=table.column_names), quoting
