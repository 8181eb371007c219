"""Tables in and out: CSV dialects, compression, missing cells, Parquet, round trips."""

import bz2
import gzip
import lzma
import sys

import numpy as np
import pandas as pd
import pytest

from kvro import cli, tables
from kvro.tables import InputError, read_columns, read_table, write_points, write_table

COMMA = "site,x,y\nA,1,0.5\nB,2,1.5\n"


@pytest.mark.parametrize(
    "content",
    [
        COMMA.encode(),
        b"\xef\xbb\xbf# logger 7\n# units: mV\nsite;x;y\nA;1;0.5\n\n# pause\nB;2;1.5",
        b"site\tx\ty\r\nA\t1\t0.5\r\n   \r\nB\t2\t1.5\r\n",
        b' site | x | y \n"A"|1|0.5\nB|2|1.5\n',
        gzip.compress(COMMA.encode()),  # found by its first bytes: the name says .csv
        bz2.compress(COMMA.encode()),
        lzma.compress(COMMA.encode()),
    ],
    ids=["comma", "semicolon, comments, BOM", "tab, CRLF", "pipe, spaces", "gzip", "bz2", "xz"],
)
def test_each_dialect_reads_to_the_same_table(content, tmp_path):
    path = tmp_path / "d.csv"
    path.write_bytes(content)
    got = read_table(path)
    expected = pd.DataFrame({"site": ["A", "B"], "x": [1, 2], "y": [0.5, 1.5]})
    pd.testing.assert_frame_equal(got, expected)  # the key column stays text, x int
    pd.testing.assert_frame_equal(read_table(path, ["y", "site"]), expected[["y", "site"]])


def test_missing_cells_are_missing_and_text_stays_text(tmp_path):
    path = tmp_path / "d.csv"
    path.write_text("k,v,w,day,none\na,1,,2024-01-01,\nNA,NaN,2,2024-01-02,\nnull,N/A,3,,NA\n")
    got = read_table(path)
    expected = pd.DataFrame(
        {
            "k": ["a", None, None],
            "v": [1.0, np.nan, np.nan],
            "w": [np.nan, 2.0, 3.0],
            "day": ["2024-01-01", "2024-01-02", None],  # pyarrow alone would make dates
            "none": [np.nan] * 3,
        }
    )
    pd.testing.assert_frame_equal(got, expected)


@pytest.mark.parametrize("block", [1, 2, 3, 7, 1 << 20])
def test_comment_lines_are_cut_wherever_the_blocks_end(block, tmp_path, monkeypatch):
    monkeypatch.setattr(tables, "_BLOCK", block)
    path = tmp_path / "d.csv"
    path.write_text("#a\n#b,c\nn,s\n1,x#y\n#c\n#d\n2,#z\n3,w\n# last, no newline")
    got = read_table(path)
    pd.testing.assert_frame_equal(got, pd.DataFrame({"n": [1, 2, 3], "s": ["x#y", "#z", "w"]}))


def example_table():
    return pd.DataFrame(
        {
            "key": ["a", 'b, "quoted"', None],
            "n": [1, 2, 3],
            "f": [0.1 + 0.2, 2.0, np.nan],
            "extreme": [5e-324, -1.7976931348623157e308, -0.0],
            "ok": [True, False, True],
        }
    )


@pytest.mark.parametrize("name", ["t.csv", "t.CSV.gz", "t.parquet", "t.pq"])
def test_round_trip_keeps_every_value(name, tmp_path):
    table = example_table()
    write_table(table, tmp_path / name)
    got = read_table(tmp_path / name)
    if name.lower().endswith("gz"):
        assert (tmp_path / name).read_bytes()[:2] == b"\x1f\x8b"
    if ".csv" in name.lower():
        # CSV has no booleans: 1 and 0; floats that are whole numbers stay floats.
        table["ok"] = table["ok"].astype("int64")
    pd.testing.assert_frame_equal(got, table)
    assert np.signbit(got["extreme"].iloc[2])


def test_points_table_to_parquet_and_unknown_formats(tmp_path, capsys):
    t = np.linspace(0.0, 1.0, 20)
    data = tmp_path / "d.csv"
    write_table(pd.DataFrame({"t": t, "y": 1 + 2 * t}), data)
    out = tmp_path / "points.pq"
    argv = ["fit", str(data), "--x", "t", "--y", "y", "--deg", "1", "--method", "ols"]
    assert cli.main([*argv, "--out", str(out)]) == 0
    got = read_table(out)
    assert list(got.columns) == ["t", "y", "fitted", "residual", "inlier"]
    assert got["inlier"].dtype == bool and got["inlier"].all()
    np.testing.assert_allclose(got["fitted"], 1 + 2 * t, atol=1e-12)
    capsys.readouterr()
    assert cli.main([*argv, "--out", str(tmp_path / "points.xlsx")]) == 1
    err = capsys.readouterr().err
    assert err.startswith("kvro: error: cannot write") and ".csv.gz, .csv, .parquet or .pq" in err
    with pytest.raises(InputError, match="rename it"):
        write_points(str(out), {"fitted": t}, t, {"": (t, t > 0)})


@pytest.mark.parametrize(
    "name, content, columns, message",
    [
        ("d.csv", COMMA, ["site", "z"], r"d.csv has no column 'z' \(columns: site, x, y\)"),
        ("d.csv", "a, a ,b\n1,2,3\n", ["a"], "more than one column named 'a'"),
        ("d.csv", "a,b\n1,2\n\n# c\n3,4,5\n", None, "d.csv, line 5: 3 fields where the header"),
        ("d.csv", "x,name\n1,M\xfcller\n".encode("latin-1"), None, "name' is not UTF-8 text"),
        ("d.csv.gz", gzip.compress(("x\n" + "1.5\n" * 5000).encode())[:-12], None, "cannot read"),
        ("d.parquet", COMMA, None, "cannot read .*d.parquet: "),
        ("none.csv", None, None, "cannot read .*none.csv: No such file or directory"),
    ],
    ids=["no column", "twice", "fields", "not UTF-8", "truncated gzip", "not Parquet", "no file"],
)
def test_unreadable_tables_say_why(name, content, columns, message, tmp_path):
    path = tmp_path / name
    if isinstance(content, str):
        path.write_text(content)
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(InputError, match=message):
        read_table(path, columns)


@pytest.mark.parametrize(
    "name, message",
    [
        ("d.csv", "d.csv, line 5, column 'y': 'NA' marks a missing value"),
        ("d.parquet", "d.parquet, row 2, column 'y': missing value"),
    ],
)
def test_read_columns_names_the_row_of_a_missing_value(name, message, tmp_path):
    path = tmp_path / name
    if name.endswith(".csv"):
        path.write_text("x,y\n# c\n1,2\n\n2,NA\n")  # the comment and blank line count
    else:
        write_table(pd.DataFrame({"x": [1.0, 2.0], "y": [2.0, np.nan]}), path)
    with pytest.raises(InputError, match=message):
        read_columns(str(path), ["x", "y"])


def test_without_pandas_or_pyarrow_the_message_names_the_extra(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # import pyarrow fails
    with pytest.raises(InputError, match=r"pip install 'kvro\[tables\]'"):
        read_table(tmp_path / "d.csv")
    with pytest.raises(InputError, match=r"pip install 'kvro\[tables\]'"):
        write_table(pd.DataFrame({"x": [1.0]}), tmp_path / "d.csv")
