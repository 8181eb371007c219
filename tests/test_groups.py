"""kvro.fit_groups: one row per key, errors in their rows, results independent of
row order, workers, chunking and cluster; pandas, pyarrow and Dask in and out."""

import json

import numpy as np
import pytest

import kvro
import kvro.groups
from kvro.cli import main

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")


def survey(groups=12, n=60, seed=0):
    """Drifting sensors with 10 % gross outliers, keyed by name and channel, plus
    groups that cannot be fitted: too few rows, a constant x, a missing y, and a
    missing key (which pandas' own groupby would drop)."""
    rng = np.random.default_rng(seed)
    t = np.tile(np.linspace(0.0, 10.0, n), groups)
    slope = np.repeat(np.linspace(0.1, 1.0, groups), n)
    y = 2.0 + slope * t - 0.01 * t**2 + rng.normal(0.0, 0.05, t.size)
    y[rng.random(t.size) < 0.1] += 5.0
    frame = pd.DataFrame(
        {
            "name": np.repeat([f"s{i % 4}" for i in range(groups)], n),
            "channel": np.repeat(np.arange(groups) // 4, n),
            "t": t,
            "y": y,
        }
    )
    bad = pd.DataFrame(
        {
            "name": ["few", "few", "flat", "flat", "flat", "flat", None, None, None, None, "gap"],
            "channel": [0] * 11,
            "t": [0.0, 1.0, 3.0, 3.0, 3.0, 3.0, 0.0, 1.0, 2.0, 3.0, 1.0],
            "y": [1.0, 2.0, 1.0, 2.0, 3.0, 4.0, 1.0, 2.0, 3.0, 4.0, np.nan],
        }
    )
    frame = pd.concat([frame, bad], ignore_index=True)
    return frame.sample(frac=1.0, random_state=seed)  # groups interleaved, as in a log


def assert_same_fits(a, b):
    """Equal to the bit in every column but the fits' wall times."""
    a, b = a.drop(columns="seconds"), b.drop(columns="seconds")
    pd.testing.assert_frame_equal(
        a.reset_index(drop=True), b.reset_index(drop=True), check_dtype=False, check_exact=True
    )


def test_every_key_has_one_row_and_failures_stay_in_theirs(monkeypatch):
    data = survey()
    # Chunks of a few groups each, so that the work crosses many chunk boundaries.
    monkeypatch.setattr(kvro.groups, "CHUNK_ROWS", 100)
    seen = []
    res, points = kvro.fit_groups(
        data,
        ["name", "channel"],
        "t",
        "y",
        2,
        points=True,
        workers=2,
        progress=lambda done, total: seen.append((done, total)),
    )
    keys = data[["name", "channel"]].drop_duplicates()
    assert len(res) == len(keys) == 16
    assert not res.duplicated(["name", "channel"]).any()
    assert res["n"].sum() == len(data)
    assert seen[-1] == (16, 16) and [d for d, _ in seen] == sorted(d for d, _ in seen)
    errors = dict(zip(res["name"].fillna("<missing>"), res["error"], strict=True))
    assert "too few" in errors["few"] and "constant" in errors["flat"]
    assert "finite" in errors["gap"]
    assert pd.isna(errors["<missing>"])  # a missing key is a group like any other
    good = res[res["error"].isna()]
    assert len(good) == 13 and good["warning"].isna().all()
    sensors = good[good["n"] == 60]
    assert sensors["n_inliers"].between(45, 58).all()
    index = 4 * sensors["channel"] + sensors["name"].str[1:].astype(int)
    assert np.allclose(sensors["c1"], np.linspace(0.1, 1.0, 12)[index], atol=0.05)
    assert res.loc[res["error"].notna(), ["c0", "c1", "c2", "n_inliers"]].isna().all().all()
    # The per-point table follows the input's rows and index, group by group.
    assert points.index.equals(data.index)
    assert np.array_equal(points["residual"], data["y"] - points["fitted"], equal_nan=True)
    per_group = points["inlier"].groupby([data["name"], data["channel"]], dropna=False).sum()
    by_key = res.set_index(["name", "channel"])["n_inliers"].fillna(0)
    assert (per_group.sort_index() == by_key.sort_index().to_numpy()).all()


def test_results_do_not_depend_on_order_workers_or_input_kind():
    # The sampler's own state depends on every bit of its seed and its rows' order.
    data = survey(groups=6)
    opts = {"method": "mcmc", "n_deep": 100, "seed": 3}
    base = kvro.fit_groups(data, "name", "t", "y", 2, workers=1, **opts)
    shuffled = data.sample(frac=1.0, random_state=9)
    assert_same_fits(base, kvro.fit_groups(shuffled, "name", "t", "y", 2, workers=2, **opts))
    table = kvro.fit_groups(pa.Table.from_pandas(data), "name", "t", "y", 2, workers=1, **opts)
    assert isinstance(table, pa.Table)
    assert_same_fits(base, table.to_pandas())
    # The seed matters, and the same key gets the same fit in any company.
    other = kvro.fit_groups(data, "name", "t", "y", 2, workers=1, **(opts | {"seed": 4}))
    assert not np.array_equal(base["c1"], other["c1"], equal_nan=True)
    alone = kvro.fit_groups(data[data["name"] == "s1"], "name", "t", "y", 2, workers=1, **opts)
    assert_same_fits(base[base["name"] == "s1"], alone)


def test_several_variables_and_chosen_degrees_share_one_column_layout():
    rng = np.random.default_rng(1)
    u, w = rng.uniform(-1, 1, (2, 400))
    data = pd.DataFrame(
        {
            "k": np.repeat([1, 2], 200),
            "u": u,
            "w": w,
            "y": 1 + u - 2 * u * w + 0.01 * rng.normal(size=400),
        }
    )
    res = kvro.fit_groups(data, "k", ["u", "w"], "y", 2, workers=1)
    assert [c for c in res.columns if c.startswith("c")] == [
        "c0_0",
        "c0_1",
        "c0_2",
        "c1_0",
        "c1_1",
        "c2_0",
    ]
    assert np.allclose(res[["c0_0", "c1_0", "c1_1"]], [[1, 1, -2]] * 2, atol=0.01)
    # A chosen degree below the top one leaves its higher coefficients at exactly 0.
    line = data.assign(y=1 + 2 * data["u"])
    auto = kvro.fit_groups(line, "k", "u", "y", "auto", workers=1, max_deg=4)
    assert auto["deg"].tolist() == [1, 1]
    assert (auto[["c2", "c3", "c4"]] == 0).all().all()


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"by": "nope"}, "no column 'nope'"),
        ({"by": "channel", "x": "name"}, "column 'name' is not numeric"),
        ({"by": "t"}, "only once"),
        ({"method": "lasso"}, "unknown method"),
        ({"workers": 0}, "workers must be"),
        ({"deg": -1}, "deg must be"),
    ],
)
def test_mistakes_are_refused_before_any_fit(kwargs, message):
    args = {"by": "name", "x": "t", "y": "y", "deg": 2, "workers": 1} | kwargs
    with pytest.raises(ValueError, match=message):
        kvro.fit_groups(survey(groups=2), **args)


def test_a_key_named_like_a_result_column_is_refused():
    data = survey(groups=2).rename(columns={"name": "error"})
    with pytest.raises(ValueError, match="'error' has the name of a result column"):
        kvro.fit_groups(data, "error", "t", "y", 1, workers=1)
    with pytest.raises(TypeError, match="pandas DataFrame, a pyarrow Table or a Dask"):
        kvro.fit_groups({"k": [1]}, "k", "t", "y", 1)


def test_a_dask_cluster_gives_the_local_results_to_the_bit(tmp_path):
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    data = survey(groups=8, n=40)
    local, local_points = kvro.fit_groups(data, ["name", "channel"], "t", "y", 2, points=True)
    data.to_csv(tmp_path / "d.csv", index=False)
    command = ["fit", str(tmp_path / "d.csv"), "--by", "name", "--x", "t", "--y", "y"]
    command += ["--deg", "2", "--points", str(tmp_path / "p.csv")]
    assert main([*command, "--out", str(tmp_path / "local.csv")]) == 0
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, dashboard_address=None, silence_logs=50
        ) as cluster,
        distributed.Client(cluster),
    ):
        lazy = kvro.fit_groups(
            dd.from_pandas(data, npartitions=3), ["name", "channel"], "t", "y", 2, points=True
        )
        groups, points = (part.compute() for part in lazy)
        remote = ["--out", str(tmp_path / "remote.csv"), "--scheduler", cluster.scheduler_address]
        assert main([*command, *remote]) == 0
    groups = groups.sort_values(["name", "channel"], na_position="last")
    assert_same_fits(local, groups)
    pd.testing.assert_frame_equal(points.sort_index(), local_points.sort_index())
    by_cli = [pd.read_csv(tmp_path / f).sort_values("name") for f in ("local.csv", "remote.csv")]
    assert_same_fits(*by_cli)


def test_the_command_line_writes_both_tables_and_refuses_mistakes(tmp_path, capsys):
    data = survey(groups=4)
    data.to_csv(tmp_path / "d.csv", index=False, sep=";")
    command = ["fit", str(tmp_path / "d.csv"), "--by", "name", "--x", "t", "--y", "y"]
    command += ["--deg", "2", "--workers", "1", "--json"]
    out = ["--out", str(tmp_path / "r.parquet"), "--points", str(tmp_path / "p.csv.gz")]
    assert main([*command, *out]) == 0
    report = json.loads(capsys.readouterr().out)
    assert (report["groups"], report["failed"], report["rows"]) == (8, 3, len(data))
    groups = pd.read_parquet(tmp_path / "r.parquet")
    assert_same_fits(groups, kvro.fit_groups(data, "name", "t", "y", 2, workers=1))
    points = pd.read_csv(tmp_path / "p.csv.gz")
    assert points[["name", "t"]].equals(data[["name", "t"]].reset_index(drop=True))
    assert points["inlier"].sum() == groups["n_inliers"].sum()
    for extra, message in [
        ([], "--by needs --out"),
        (["--out", "r.csv", "--method", "all"], "one method"),
        (["--out", "r.txt"], "r.txt"),
    ]:
        assert main([*command, *extra]) in (1, 2)
        assert message in capsys.readouterr().err
    assert (
        main(
            ["fit", str(tmp_path / "d.csv"), "--x", "t", "--y", "y", "--deg", "1", "--workers", "2"]
        )
        == 2
    )
    assert "--workers goes with --by" in capsys.readouterr().err
