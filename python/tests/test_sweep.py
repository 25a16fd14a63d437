"""Sweeps and batch fits on Dask: direct calls' bits, every row, exclusive resumable stores, bad input, the command."""
import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest
import xarray as xr
import zarr

import tdcyl

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    # In-process workers over TCP: cheap to start, and the command line can connect to them.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, protocol="tcp://",
                                  dashboard_address=":0", silence_logs=50) as cluster, \
            distributed.Client(cluster, set_as_default=False) as c:
        yield c


@pytest.fixture
def no_cluster(monkeypatch):
    monkeypatch.setattr(distributed, "LocalCluster", None)  # starting one would fail: TypeError, not ValueError


def assert_direct(ds, table, **options):
    """Every row's curve is that of a direct call of the model, NaN past its own grid."""
    for i, row in table.iterrows():
        layers = [[row[f"{q}{k}"] for q in ("musp", "mua", "n", "l")] for k in range(1, int(row["N"]) + 1)]
        expected = tdcyl.reflectance(layers, row["radius"], row["rho"], row.get("rho0", 0.0), row.get("phi", 0.0),
                                     int(row.get("M", 1)), int(row.get("mmax", 0)), all_samples=True,
                                     **options).reflectance
        np.testing.assert_array_equal(ds.reflectance.values[i, :len(expected)], expected, err_msg=f"case {i}")
        assert np.all(np.isnan(ds.reflectance.values[i, len(expected):]))


def cases(count: int, layers: int = 1, **fixed) -> pd.DataFrame:
    g = dict(N=layers, musp1=np.linspace(0.8, 1.6, count), mua1=0.01, n1=1.4, l1=4.0, radius=3.0, rho=1.0)
    if layers == 2:
        g.update(musp2=1.1, mua2=0.02, n2=1.4, l2=20.0, radius=2.0)
    return tdcyl.grid(**{**g, **fixed})


def files(path) -> dict:
    return {p.relative_to(path).as_posix(): p.read_bytes() for p in sorted(path.rglob("*")) if p.is_file()}


def test_sweep_equals_direct_calls_bit_for_bit(client, tmp_path):
    # One to three layers (the columns past N stay, as in a CSV of mixed rows), source on and off the axis, M = 1, 2.
    k, u = np.arange(20), np.random.default_rng(7).uniform
    off = k % 2 == 1
    table = pd.DataFrame({"N": 1 + k % 3, "radius": np.where(k % 3, 1.0, 3.0), "rho": 0.5, "rho0": 0.3 * off,
                          "phi": 0.7 * off, "M": 1 + k // 10, "mmax": 2 * off,
                          **{f"{q}{i}": v for i in (1, 2, 3) for q, v in [
                              ("musp", u(0.8, 1.5, 20).round(3)), ("mua", u(0.005, 0.03, 20).round(4)),
                              ("n", 1.4), ("l", 20.0 if i == 3 else 3.0)]}})
    tdcyl.sweep(table, client=client, store=tmp_path / "s.zarr", chunk=3, progress=False)
    ds = xr.open_zarr(tmp_path / "s.zarr")  # read back from disk, as a user does
    np.testing.assert_array_equal(ds.time.values, 10.0 * np.arange(1, 513))
    assert_direct(ds, table)
    for column in table.columns:
        np.testing.assert_array_equal(ds[column].values, table[column].to_numpy(), err_msg=column)
    # the fast engine's default tolerance, not a placeholder
    assert (ds.attrs["engine"], ds.attrs["tolerance"], ds.attrs["chunk"]) == ("fast", 1e-11, 3)
    assert list(ds.error.values) == [""] * len(table)


@pytest.mark.parametrize("rows, chunk", [(9, 9), (65, 32)])  # fast curves: 32 rows a task at least; a short last chunk
def test_every_row_computed_with_default_chunks(client, rows, chunk):
    ds = tdcyl.sweep(cases(rows), client=client, progress=False)
    assert ds.attrs["chunk"] == chunk
    assert_direct(ds, cases(rows))


def test_grid_order_and_every_combination_once():
    g = tdcyl.grid({"musp1": [1, 2, 3]}, mua1=[4, 5], l1=[6, 7, 8, 9])
    assert len(g.drop_duplicates()) == 24 and g.iloc[13].tolist() == [2, 5, 7]  # 13 = 8 + 4 + 1: last axis fastest
    with pytest.raises(ValueError, match="mua1.*0.01.*twice"):
        tdcyl.grid(mua1=[0.01, 0.02, 0.01])


def bad_table() -> pd.DataFrame:
    t = cases(8).astype({"mua1": object})
    t.loc[2, "mua1"] = -0.01
    t.loc[5, "rho"] = 4.0  # outside the radius
    t.loc[6, "mua1"] = "0.0x1"
    return t


def csv_file(path, table, extra=""):
    lines = table.to_csv(index=False).splitlines()
    path.write_text("\n".join(lines[:2] + [lines[2] + extra] + lines[3:]) + "\n")  # extra: on the second row
    return path


T = np.arange(3.0)


@pytest.mark.parametrize("call, error, message", [
    (lambda d: bad_table(), ValueError, "3 invalid rows.*\nrow 2, column mua1.*\nrow 5, column rho.*\nrow 6, "),
    (lambda d: cases(3, N=2), ValueError, "row 0, column N: 2 layers.*no columns for layer 2"),
    (lambda d: cases(3, M=1.5), ValueError, "row 0, column M: must be an integer"),
    (lambda d: cases(3).assign(tau1=1.0), ValueError, "'tau1' is not a parameter"),
    (lambda d: csv_file(d / "t.csv", cases(3).astype({"N": float}).assign(N=[1, np.inf, 1])), ValueError,
     "row 1, column N: must be a finite"),
    (lambda d: csv_file(d / "t.csv", cases(3), extra=",7"), ValueError, "line 3: 8 fields where the header has 7"),
    (lambda d: tdcyl.sweep(cases(1), chunk=10**12), ValueError, "chunk must be in 1 ... 4096"),
    (lambda d: tdcyl.sweep(cases(1), client="tcp://host:8786"), TypeError, "client must be a dask"),
    (lambda d: tdcyl.sweep(cases(1), workers=0), ValueError, "workers"),
    (lambda d: tdcyl.sweep(cases(1), progress=3), TypeError, "progress"),
    (lambda d: tdcyl.sweep(cases(1), tolerance=1e-9, engine="faithful"), ValueError, "tolerance"),
    (lambda d: tdcyl.fit_many((T, np.ones((2, 3))), (T, np.ones(3)), {}, fitrange=(0.5, 0.1)), TypeError,
     "unknown option 'fitrange'"),
    (lambda d: tdcyl.fit_many((T, np.ones((2, 3))), (T, np.ones((3, 3))), {}), ValueError, "irf: 3 curves"),
])
def test_bad_input_named_before_a_cluster_starts(tmp_path, no_cluster, call, error, message):
    with pytest.raises(error, match=message):
        tdcyl.sweep(call(tmp_path), store=tmp_path / "s.zarr", progress=False)  # a table, or the call raises
    assert not (tmp_path / "s.zarr").exists()


def test_only_a_sweep_store_is_written_to(tmp_path, monkeypatch, no_cluster):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "time").mkdir()
    (tmp_path / "time" / "keep.txt").write_text("mine")
    xr.Dataset({"counts": ("t", np.arange(5.0))}).to_zarr(tmp_path / "measured.zarr")
    (tmp_path / "file.txt").write_text("mine")
    before = files(tmp_path)
    for store, message in [("", "empty path"), ("measured.zarr", "something else"), ("time", "neither empty nor"),
                           ("file.txt/s.zarr", "is not a folder"), ("file.txt", "not a folder")]:
        with pytest.raises(ValueError, match=message):
            tdcyl.sweep(cases(2), store=store, progress=False)
    assert files(tmp_path) == before


def test_two_writers_of_one_new_store(client, tmp_path):
    together, tables = threading.Barrier(2), [cases(6), cases(6, rho=0.5)]

    def write(table):
        together.wait()
        try:
            tdcyl.sweep(table, client=client, store=tmp_path / "s.zarr", progress=False)
        except ValueError as exc:
            return str(exc)

    with ThreadPoolExecutor(2) as pool:
        refused = [r for r in pool.map(write, tables) if r is not None]
    assert len(refused) == 1 and "holds another sweep" in refused[0]
    ds = xr.open_zarr(tmp_path / "s.zarr")
    assert_direct(ds, tables[int(ds.rho.values[0] == 0.5)])


def test_interrupted_sweep_resumes_with_missing_chunks_only(client, tmp_path):
    table = cases(9)  # 5 chunks of 2, the last of 1

    def stop(done, total):
        if done >= 4:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        tdcyl.sweep(table, client=client, store=tmp_path / "part.zarr", chunk=2, progress=stop)
    finished = int(np.isfinite(xr.open_zarr(tmp_path / "part.zarr").reflectance.values[:, 0]).sum())
    with distributed.get_task_stream(client) as stream:
        tdcyl.sweep(table, client=client, store=tmp_path / "part.zarr", progress=False)
    assert len([t for t in stream.data if "tdcyl-sweep-" in str(t["key"])]) == -(-(9 - finished) // 2)
    tdcyl.sweep(table, client=client, store=tmp_path / "whole.zarr", chunk=2, progress=False)
    assert files(tmp_path / "part.zarr") == files(tmp_path / "whole.zarr")
    # A store that lost only its first chunk: progress counts its rows, the short last chunk by its one row.
    zarr.open_group(str(tmp_path / "whole.zarr"))["progress/done"][0] = 0
    shown = []
    tdcyl.sweep(table, client=client, store=tmp_path / "whole.zarr", progress=lambda *a: shown.append(a))
    assert shown == [(9, 9)]


def test_worker_killed_mid_sweep():
    table = cases(16, layers=2)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0", silence_logs=50) as cl, \
            distributed.Client(cl, set_as_default=False) as c:
        address, victim = min(c.run(os.getpid).items(), key=lambda item: item[1])
        busy = []

        def kill_one(done, total):  # after the first chunk; the faithful engine keeps others in flight
            if not busy:
                busy.append(c.processing()[address])
                os.kill(victim, signal.SIGKILL)

        ds = tdcyl.sweep(table, engine="faithful", client=c, chunk=2, progress=kill_one)
        assert busy[0] and victim not in c.run(os.getpid).values()
    assert_direct(ds, table, engine="faithful")


def command(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=100, cwd=cwd,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


def test_command_line(client, tmp_path):
    cases(4).to_csv(tmp_path / "cases.csv", index=False)
    store = str(tmp_path / "out.zarr")
    sweep = ["tdcyl", "sweep", str(tmp_path / "cases.csv"), "--scheduler", client.scheduler.address]
    run = command(*sweep, "--store", store, "--tolerance", "1e-9", "--no-wraparound", "--chunk", "3")
    assert run.returncode == 0 and run.stderr == ""
    assert run.stdout.startswith(f"4 cases: 4 computed, 0 skipped (already stored), 0 failed; store {store}; ")
    ds = xr.open_zarr(store)
    assert (ds.attrs["tolerance"], ds.attrs["wraparound"]) == (1e-9, False)
    assert_direct(ds, cases(4), tolerance=1e-9, wraparound=False)
    run = command("tdcyl.sweep", *sweep[2:], "--store", store, "--tolerance", "1e-9", "--no-wraparound")
    assert run.returncode == 0 and run.stdout.startswith("4 cases: 0 computed, 4 skipped")

    bad_table().to_csv(tmp_path / "bad.csv", index=False)
    for args, message in [(["bad.csv", "--store", "b.zarr"], "row 2, column mua1"),
                          (["cases.csv", "--store", ""], "empty path"),
                          (["cases.csv", "--store", "b.zarr", "--scheduler", "nonsense://foo"], "nonsense")]:
        run = command("tdcyl", "sweep", *args, cwd=tmp_path)
        assert run.returncode == 1 and run.stdout == "" and message in run.stderr, run.stderr
        assert "Traceback" not in run.stderr and "Exception ignored" not in run.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.csv", "cases.csv", "out.zarr"]


def test_command_line_interrupted_ends_with_one_line(tmp_path):
    cases(400, layers=2).to_csv(tmp_path / "cases.csv", index=False)
    run = subprocess.Popen([sys.executable, "-m", "tdcyl", "sweep", "cases.csv", "--store", "s.zarr", "--chunk", "1",
                            "--workers", "1", "--engine", "faithful"], cwd=tmp_path, start_new_session=True,
                           env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    while not list(tmp_path.glob("s.zarr/progress/done/[0-9]*")) and run.poll() is None:
        time.sleep(0.1)
    os.killpg(run.pid, signal.SIGINT)  # Ctrl-C on a terminal: the whole process group
    out, err = run.communicate(timeout=100)
    assert run.returncode == 130 and out == ""
    assert err == "interrupted: run the same command again to compute the missing chunks\n"


def test_fit_many_equals_single_fits_with_their_own_irf(client):
    t = 12.2 * np.arange(0.5, 300)
    irfs = np.stack([np.exp(-0.5 * ((t - centre) / 64.0) ** 2) for centre in (450.0, 500.0, 560.0)])
    model = dict(layers=[tdcyl.Layer(1.0, 0.01, 1.4, 10.0)], radius=5.0, rho=2.0)
    curve = tdcyl.reflectance(**model, all_samples=True)
    expected = [np.clip(tdcyl.convolve_irf(curve.t_ps, curve.reflectance, t, irf), 0, None) for irf in irfs]
    counts = np.random.default_rng(3).poisson([1e5 * e / e.sum() for e in expected]).astype(float)
    counts[1, 40] = np.nan  # a corrupted recording
    counts[2] += 100  # a background the model leaves out: the fit converges, the chi2 test rejects it
    start = dict(model, layers=[tdcyl.Layer(1.2, 0.015, 1.4, 10.0)])
    table, curves = tdcyl.fit_many((t, counts), (t, irfs), start, client=client, chunk=2, progress=False,
                                   max_nfev=30, return_curves=True)
    assert list(table["status"]) == ["ok", "failed", "rejected"]  # the last, lone chunk fitted too
    assert "counts must be finite" in table.loc[1, "message"] and np.isnan(curves[1].fitted).all()
    for i in (0, 2):
        single = tdcyl.fit(t, counts[i], (t, irfs[i]), start, max_nfev=30)
        assert [table.loc[i, n] for n in single.names] == [single.values[n] for n in single.names]
        assert [table.loc[i, f"{n}_sigma"] for n in single.names] == [single.stderr[n] for n in single.names]
        np.testing.assert_array_equal(curves[i].fitted, single.fitted)
        np.testing.assert_array_equal(curves[i].residuals[single.fit_slice], single.residuals)
        assert i == 2 or abs(table.loc[i, "mua1"] - 0.01) < 4 * table.loc[i, "mua1_sigma"]
