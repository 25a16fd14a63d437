"""Tracking a synthetic two-layer recording with known deep and superficial changes, by both methods."""
import warnings

import numpy as np
import pytest

import tdcyl

T = 6.25 + 12.5 * np.arange(400)
IRF = np.exp(-0.5 * ((T - 500) / (150 / 2.355)) ** 2)
RHOS = (10.0, 30.0)
MODEL = dict(layers=[(1.0, 0.010, 1.4, 12.0), (1.0, 0.015, 1.4, 50.0)], radius=60.0)


@pytest.fixture(scope="module")
def recording():
    """40 frames of 1e6 counts per DTOF: rest (frames 0-9, the baseline), then blocks of 10 frames with
    mua2 up by 0.002 (frames 10-19 and 30-39) and a sinusoid of mua1 (amplitude 0.001) from frame 10."""
    f = np.arange(40)
    truth = dict(mua2=0.015 + 0.002 * ((f // 10) % 2),
                 mua1=0.010 + 0.001 * np.sin(2 * np.pi * (f - 10) / 17) * (f >= 10))
    grid = 10.0 * np.arange(1, 513)
    rng = np.random.default_rng(7)

    def shape(mua1, mua2, rho):
        layers = [(1.0, mua1, 1.4, 12.0), (1.0, mua2, 1.4, 50.0)]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            c = tdcyl.reflectance(layers, 60.0, rho, times_ps=grid, all_samples=True, tolerance=1e-8)
        return np.clip(tdcyl.convolve_irf(grid, c.reflectance, T, IRF), 0, None)

    counts = np.zeros((2, f.size, T.size))
    for k, rho in enumerate(RHOS):
        scale = 1e6 / shape(0.010, 0.015, rho).sum()
        for i in f:
            counts[k, i] = rng.poisson(scale * shape(truth["mua1"][i], truth["mua2"][i], rho))
    channels = [dict(t_ps=T, counts=counts[k], irf=(T, IRF), rho=rho) for k, rho in enumerate(RHOS)]
    return channels, truth, 0.1 * f


@pytest.mark.parametrize("method", ["moments", "nonlinear"])
def test_fit_series_recovers_deep_and_superficial_changes_with_honest_errors(recording, method, tmp_path):
    channels, truth, times = recording
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # frames stopped at the iteration limit
        res = tdcyl.fit_series(channels, MODEL, ("mua1", "mua2"), method=method, baseline=slice(0, 10),
                               frame_times_s=times)
    assert list(res.values.columns) == ["mua1", "mua2"] and np.allclose(res.values.index, times)
    for name, least in (("mua2", 0.9), ("mua1", 0.8)):
        assert np.corrcoef(res.values[name], truth[name])[0, 1] >= least, name
        change = truth[name] - truth[name][:10].mean()
        z = (res.changes[name].to_numpy() - change) / res.stderr[name].to_numpy()
        assert abs(z.mean()) < 0.7 and 0.6 < z.std() < 1.6, (name, z.mean(), z.std())
    if method == "nonlinear":
        res.plot(tmp_path / "course.png", truth=truth)
        assert (tmp_path / "course.png").stat().st_size > 10000


def test_fit_series_refuses_bad_recordings(recording):
    channels, _, _ = recording
    with pytest.raises(ValueError, match="method must be"):
        tdcyl.fit_series(channels, MODEL, ("mua1",), method="gates")
    flat = [dict(c, counts=c["counts"][0]) for c in channels]
    with pytest.raises(ValueError, match="2-d array"):
        tdcyl.fit_series(flat, MODEL, ("mua1",))
    with pytest.raises(ValueError, match="frame indices"):
        tdcyl.fit_series(channels, MODEL, ("mua1",), baseline=[99])


def test_chunks_on_a_cluster_give_the_result_of_this_process(recording):
    # The chunks come back in completion order: misplaced ones would move frames.
    distributed = pytest.importorskip("distributed")
    channels, _, _ = recording
    kw = dict(method="moments", baseline=slice(0, 10), chunk=7)
    here = tdcyl.fit_series(channels, MODEL, ("mua1", "mua2"), **kw)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0",
                                  silence_logs=50) as cl, distributed.Client(cl, set_as_default=False) as c:
        there = tdcyl.fit_series(channels, MODEL, ("mua1", "mua2"), client=c, **kw)
    np.testing.assert_array_equal(here.values.to_numpy(), there.values.to_numpy())
    np.testing.assert_array_equal(here.stderr.to_numpy(), there.stderr.to_numpy())


def test_spectral_changes_of_the_deep_layer_by_moments():
    # HbO2 and HHb of the deep layer through two wavelengths: the chain rule from mua(lambda) to the
    # concentrations (eps) inside the moments' derivatives; a wrong or missing factor moves the changes.
    grid, rng = 10.0 * np.arange(1, 513), np.random.default_rng(2)
    hbo2, hhb = np.repeat([50.0, 55.0, 50.0], 8), np.repeat([25.0, 23.0, 25.0], 8)
    channels = []
    for wl in (760.0, 830.0):
        mua1 = float(tdcyl.spectra.absorption(wl, HbO2=30, HHb=15))
        for rho in (10.0, 30.0):
            shapes = {}
            for state in set(zip(hbo2, hhb)):
                layers = [(1.0, mua1, 1.4, 12.0), (1.0, float(tdcyl.spectra.absorption(wl, HbO2=state[0],
                                                                                       HHb=state[1])), 1.4, 50.0)]
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    c = tdcyl.reflectance(layers, 60.0, rho, times_ps=grid, all_samples=True, tolerance=1e-8)
                shapes[state] = np.clip(tdcyl.convolve_irf(grid, c.reflectance, T, IRF), 0, None)
            scale = 1e6 / shapes[(50.0, 25.0)].sum()
            counts = rng.poisson([scale * shapes[s] for s in zip(hbo2, hhb)]).astype(float)
            channels.append(dict(t_ps=T, counts=counts, irf=(T, IRF), rho=rho, wavelength_nm=wl))
    res = tdcyl.fit_series(channels, MODEL, ("HbO2_2", "HHb_2"), method="moments", baseline=slice(0, 8),
                           spectral=dict(HbO2_1=30, HHb_1=15, HbO2_2=50, HHb_2=25))
    for name, truth in (("HbO2_2", hbo2 - 50), ("HHb_2", hhb - 25)):
        z = (res.changes[name].to_numpy() - truth) / res.stderr[name].to_numpy()
        assert np.all(np.abs(z) < 4) and abs(z.mean()) < 1, (name, z)
    assert {"tHb_2", "StO2_2_err"} <= set(res.derived.columns)


def test_snirf_recording_files_round_trip_through_fit_series(recording, tmp_path):
    # A recording with its IRF block, and one of deconvolved 100-ps gates without an IRF (the model
    # integrated over each gate), written as SNIRF, read back with its frames and tracked.
    import pandas as pd
    import xarray as xr
    import tdcyl.io as tio
    channels, truth, times = recording
    counts = np.stack([c["counts"] for c in channels], axis=1)  # frames x channels x bins
    tio.write_snirf(tmp_path / "irf.snirf", tio.Measurement(T, counts, 12.5, 760.0, RHOS, frame_times_s=times),
                    tio.Measurement(T, [IRF, IRF], 12.5, 760.0, RHOS))
    edges = 100.0 * np.arange(61)
    gates, rng = np.zeros((40, 2, 60)), np.random.default_rng(3)
    for f in range(40):
        layers = [(1.0, truth["mua1"][f], 1.4, 12.0), (1.0, truth["mua2"][f], 1.4, 50.0)]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            c = tdcyl.reflectance(layers, 60.0, list(RHOS), all_samples=True, tolerance=1e-8)
        gates[f] = [np.clip(tdcyl.bin_integrals(c.t_ps, r, edges), 0, None) for r in c.reflectance]
    gates = rng.poisson(gates * (1e6 / gates[0].sum(axis=1))[:, None]).astype(float)
    tio.write_snirf(tmp_path / "gates.snirf", tio.Measurement(edges[:-1] + 50, gates, 100.0, 760.0, RHOS,
                                                              frame_times_s=times))
    direct = tdcyl.fit_series(channels, MODEL, ("mua1", "mua2"), method="moments", baseline=slice(0, 10))
    for name, method in (("irf", "moments"), ("gates", "nonlinear")):
        m = tio.read_snirf(tmp_path / f"{name}.snirf", frames=True)
        assert (m.irf is None) == (name == "gates")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            res = tdcyl.fit_series(m, MODEL, ("mua1", "mua2"), method=method, baseline=slice(0, 10))
        assert np.allclose(res.values.index, times)
        if name == "irf":  # the file gives what the arrays gave (its times rounded to 1e-6 ps: a few ulp)
            np.testing.assert_allclose(res.values.to_numpy(), direct.values.to_numpy(), rtol=1e-12, atol=0)
        for p, least in (("mua2", 0.9), ("mua1", 0.8)):
            assert np.corrcoef(res.values[p], truth[p])[0, 1] >= least, (name, p)
            z = (res.changes[p].to_numpy() - (truth[p] - truth[p][:10].mean())) / res.stderr[p].to_numpy()
            assert abs(z.mean()) < 0.7 and 0.6 < z.std() < 1.6, (name, p, z.mean(), z.std())
    res.to_csv(tmp_path / "r.csv")
    res.to_zarr(tmp_path / "r.zarr")
    res.to_zarr(tmp_path / "r.zarr")  # its own store is replaced
    table = pd.read_csv(tmp_path / "r.csv", float_precision="round_trip")  # pandas' fast parser is off by an ulp
    store = xr.open_zarr(tmp_path / "r.zarr")
    np.testing.assert_array_equal(table["mua2_sigma"], res.stderr["mua2"])
    np.testing.assert_array_equal(store["values"].sel(parameter="mua1"), res.values["mua1"])
    for target in ("gates.snirf", "."):  # nothing else is replaced
        with pytest.raises(ValueError, match="left as it is|not a regular file"):
            (res.to_zarr if target == "gates.snirf" else res.to_csv)(tmp_path / target)
    assert tio.read_snirf(tmp_path / "gates.snirf", frames=True).counts.sum() == gates.sum()
