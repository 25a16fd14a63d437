"""Sweeps on a Dask cluster: same bits as direct calls, grid order, table checks, resumable store, lost workers."""
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import xarray as xr

import tdcyl

distributed = pytest.importorskip("distributed")


@pytest.fixture(autouse=True)
def time_limit():
    """No test may hang: SIGALRM interrupts the waiting main thread."""
    def expired(signum, frame):
        raise TimeoutError("the test took longer than 120 s")
    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(120)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def local_cluster():
    return distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                    silence_logs=50)


@pytest.fixture(scope="module")
def client():
    signal.alarm(120)
    with local_cluster() as cluster, distributed.Client(cluster, set_as_default=False) as c:
        yield c


def direct(row: pd.Series, engine=None) -> np.ndarray:
    """The curve of one table row by a direct call of the model."""
    row = pd.concat([pd.Series({"rho0": 0.0, "phi": 0.0, "M": 1, "mmax": 0}), row])
    row = row[~row.index.duplicated(keep="last")]
    n = int(row["N"])
    layers = [tdcyl.Layer(row[f"musp{i}"], row[f"mua{i}"], row[f"n{i}"], row[f"l{i}"]) for i in range(1, n + 1)]
    return tdcyl.reflectance(layers, row["radius"], row["rho"], rho0=row["rho0"], phi=row["phi"], M=int(row["M"]),
                             mmax=int(row["mmax"]), all_samples=True, engine=engine).reflectance


def mixed_cases() -> pd.DataFrame:
    """20 cases: one to three layers, source on and off the axis, two time samplings (M = 1, 2)."""
    rng = np.random.default_rng(7)
    rows = []
    for k in range(20):
        n = 1 + k % 3
        off = k % 2 == 1
        row = {"N": n, "radius": 1.0 if n > 1 else 3.0, "rho": 0.5, "rho0": 0.3 if off else 0.0,
               "phi": 0.7 if off else 0.0, "M": 1 + (k // 10), "mmax": 2 if off else 0}
        for i in range(1, 4):  # layers past N stay in the table, as in a CSV of mixed rows
            row.update({f"musp{i}": round(rng.uniform(0.8, 1.5), 3), f"mua{i}": round(rng.uniform(0.005, 0.03), 4),
                        f"n{i}": 1.4, f"l{i}": 3.0 if i < 3 else 20.0})
        rows.append(row)
    return pd.DataFrame(rows)


def cheap_cases(count: int, layers: int = 1) -> pd.DataFrame:
    """Single-layer or two-layer small-radius cases (about 0.1 s each for two layers with the faithful engine)."""
    g = dict(N=layers, musp1=np.linspace(0.8, 1.6, count), mua1=0.01, n1=1.4, l1=4.0)
    if layers == 2:
        g.update(musp2=1.1, mua2=0.02, n2=1.4, l2=20.0)
    return tdcyl.grid(**g, radius=2.0, rho=1.0)


def store_files(path: Path) -> dict:
    return {p.relative_to(path).as_posix(): p.read_bytes() for p in sorted(path.rglob("*")) if p.is_file()}


def test_sweep_equals_direct_calls_bit_for_bit(client, tmp_path):
    table = mixed_cases()
    ds = tdcyl.sweep(table, client=client, store=tmp_path / "s.zarr", chunk=3, progress=False)
    ds = xr.open_zarr(tmp_path / "s.zarr")  # read back from disk, as a user does
    assert ds.reflectance.dims == ("case", "time")
    np.testing.assert_array_equal(ds.time.values, 10.0 * np.arange(1, 513))
    values = ds.reflectance.values
    for i, row in table.iterrows():
        expected = direct(row)
        assert len(expected) == 512 // int(row["M"])
        np.testing.assert_array_equal(values[i, :len(expected)], expected, err_msg=f"case {i}")
        assert np.all(np.isnan(values[i, len(expected):]))
    # the coordinates are the table, row for row
    for column in table.columns:
        np.testing.assert_array_equal(ds[column].values, table[column].to_numpy(), err_msg=column)
    assert ds.attrs["engine"] == tdcyl.DEFAULT_ENGINE
    assert ds.attrs["chunk"] == 3 and "version" in ds.attrs
    assert list(ds.error.values) == [""] * len(table)


def test_grid_order_and_every_combination_once():
    g = tdcyl.grid(mua1=[0.01, 0.02], rho=[5.0, 10.0, 15.0], N=1)
    expected = pd.DataFrame({"mua1": [0.01, 0.01, 0.01, 0.02, 0.02, 0.02],
                             "rho": [5.0, 10.0, 15.0, 5.0, 10.0, 15.0], "N": [1] * 6})
    pd.testing.assert_frame_equal(g, expected)
    big = tdcyl.grid({"musp1": [1, 2, 3]}, mua1=[4, 5], l1=[6, 7, 8, 9])
    assert len(big) == 24 and len(big.drop_duplicates()) == 24
    assert big.iloc[13].tolist() == [2, 5, 7]  # 13 = 1*8 + 1*4 + 1: last axis fastest
    with pytest.raises(ValueError, match="mua1.*0.01.*twice"):
        tdcyl.grid(mua1=[0.01, 0.02, 0.01])
    with pytest.raises(ValueError, match="empty"):
        tdcyl.grid(rho=[])


def bad_table() -> pd.DataFrame:
    t = cheap_cases(8)
    t["mua1"] = t["mua1"].astype(object)
    t.loc[2, "mua1"] = -0.01
    t.loc[5, "rho"] = 3.0  # outside the radius
    t.loc[6, "mua1"] = "0.0x1"
    return t


def test_invalid_rows_named_before_anything_runs(tmp_path):
    store = tmp_path / "bad.zarr"

    class NoClient:  # any use of the cluster would fail
        def __getattr__(self, name):
            raise AssertionError("the cluster was used before the table was checked")

    with pytest.raises(ValueError) as info:
        tdcyl.sweep(bad_table(), client=NoClient(), store=store, progress=False)
    text = str(info.value)
    assert "row 2, column mua1" in text and "row 5, column rho" in text and "row 6, column mua1" in text
    assert text.index("row 2") < text.index("row 5") < text.index("row 6")
    assert not store.exists()
    for change, where in [({"N": [2] * 8}, "row 0, column N: 2 layers.*no columns for layer 2"),
                          ({"tau1": [1.0] * 8}, "'tau1'"), ({"M": [1.5] * 8}, "row 0, column M: must be an integer")]:
        with pytest.raises(ValueError, match=where):
            tdcyl.sweep(cheap_cases(8).assign(**change), client=NoClient(), progress=False)
    # a directory that is not a sweep store is left alone
    (tmp_path / "notes").mkdir()
    (tmp_path / "notes" / "keep.txt").write_text("mine")
    with pytest.raises(ValueError, match="not a Zarr store"):
        tdcyl.sweep(cheap_cases(8), client=NoClient(), store=tmp_path / "notes", progress=False)
    assert [p.name for p in (tmp_path / "notes").iterdir()] == ["keep.txt"]


def test_invalid_rows_recorded_and_skipped(client, tmp_path):
    table = bad_table()
    ds = tdcyl.sweep(table, client=client, store=tmp_path / "rec.zarr", chunk=3, on_error="record",
                     progress=False)
    errors = ds.error.values
    for i in range(len(table)):
        curve = ds.reflectance.values[i]
        if i in (2, 5, 6):
            assert errors[i].startswith(f"row {i}, column ") and np.all(np.isnan(curve))
        else:
            assert errors[i] == ""
            np.testing.assert_array_equal(curve, direct(cheap_cases(8).iloc[i]))


def test_interrupted_sweep_resumes_with_missing_chunks_only(client, tmp_path):
    table = cheap_cases(10)  # 5 chunks of 2

    def stop_after_two(done, total):
        if done >= 4:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        tdcyl.sweep(table, client=client, store=tmp_path / "part.zarr", chunk=2, progress=stop_after_two)
    stored = xr.open_zarr(tmp_path / "part.zarr")
    finished = int(np.sum(np.all(np.isfinite(stored.reflectance.values), axis=1)))
    assert finished in (4, 6)  # two chunks, or three when one more landed with the interrupt

    with distributed.get_task_stream(client) as stream:
        tdcyl.sweep(table, client=client, store=tmp_path / "part.zarr", progress=False)
    computed = [t for t in stream.data if str(t["key"]).startswith("tdcyl-sweep-")]
    assert len(computed) == (10 - finished) // 2

    tdcyl.sweep(table, client=client, store=tmp_path / "whole.zarr", chunk=2, progress=False)
    assert store_files(tmp_path / "part.zarr") == store_files(tmp_path / "whole.zarr")

    with pytest.raises(ValueError, match="another sweep"):
        tdcyl.sweep(cheap_cases(10).assign(rho=0.9), client=client, store=tmp_path / "whole.zarr", progress=False)


def test_worker_killed_mid_sweep():
    table = cheap_cases(16, layers=2)
    with local_cluster() as cluster, distributed.Client(cluster, set_as_default=False) as c:
        pids = c.run(os.getpid)
        killed = []

        def kill_one(done, total):
            if not killed:
                address, victim = min(pids.items(), key=lambda item: item[1])
                killed.append((victim, c.processing()[address]))
                os.kill(victim, signal.SIGKILL)

        # The faithful engine keeps chunks in flight long enough for the kill to land mid-sweep.
        ds = tdcyl.sweep(table, engine="faithful", client=c, chunk=2, progress=kill_one)
        victim, chunks_on_it = killed[0]
        assert chunks_on_it  # it died with chunks of the sweep
        assert victim not in c.run(os.getpid).values()
    values = ds.reflectance.values
    assert values.shape == (16, 512)
    for i, row in table.iterrows():
        np.testing.assert_array_equal(values[i], direct(row, "faithful"), err_msg=f"case {i}")


def test_command_line_on_its_own_local_cluster(tmp_path):
    env = dict(os.environ)
    cheap_cases(4).to_csv(tmp_path / "cases.csv", index=False)
    run = subprocess.run([sys.executable, "-m", "tdcyl.sweep", str(tmp_path / "cases.csv"), "--store",
                          str(tmp_path / "out.zarr"), "--workers", "1", "--chunk", "3"],
                         env=env, capture_output=True, text=True, timeout=100)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "" and run.stderr == ""  # quiet when not on a terminal
    ds = xr.open_zarr(tmp_path / "out.zarr")
    for i, row in cheap_cases(4).iterrows():
        np.testing.assert_array_equal(ds.reflectance.values[i], direct(row))

    bad_table().to_csv(tmp_path / "bad.csv", index=False)
    run = subprocess.run([sys.executable, "-m", "tdcyl.sweep", str(tmp_path / "bad.csv"), "--store",
                          str(tmp_path / "bad.zarr")], env=env, capture_output=True, text=True, timeout=100)
    assert run.returncode == 1 and "row 2, column mua1" in run.stderr
    assert not (tmp_path / "bad.zarr").exists()


def test_fit_many_equals_single_fits_and_survives_a_failed_one(client):
    t = 12.2 * np.arange(0.5, 300)
    irf = np.exp(-0.5 * ((t - 500.0) / 64.0) ** 2)
    model = dict(layers=[tdcyl.Layer(1.0, 0.01, 1.4, 10.0)], radius=5.0, rho=2.0)
    curve = tdcyl.reflectance(**model, all_samples=True)
    expected = np.clip(tdcyl.convolve_irf(curve.t_ps, curve.reflectance, t, irf), 0, None)  # transform ripple
    rng = np.random.default_rng(3)
    counts = np.stack([rng.poisson(1e5 * expected / expected.sum()) for _ in range(3)]).astype(float)
    counts[1, 40] = np.nan  # a corrupted recording
    start = dict(model, layers=[tdcyl.Layer(1.2, 0.015, 1.4, 10.0)])
    table = tdcyl.fit_many((t, counts), (t, irf), start, ("mua1", "musp1"), client=client, progress=False,
                           max_nfev=30)
    assert list(table["curve"]) == [0, 1, 2]
    assert list(table["status"]) == ["ok", "failed", "ok"]
    assert "counts must be finite" in table.loc[1, "message"] and np.isnan(table.loc[1, "mua1"])
    for i in (0, 2):
        single = tdcyl.fit(t, counts[i], (t, irf), start, ("mua1", "musp1"), max_nfev=30)
        for name in single.names:
            assert table.loc[i, name] == single.values[name] and table.loc[i, f"{name}_sigma"] == single.stderr[name]
        assert table.loc[i, "chi2_red"] == single.chi2_red
        assert abs(table.loc[i, "mua1"] - 0.01) < 4 * table.loc[i, "mua1_sigma"]
