"""tdcyl.monte_carlo against the diffusion model where it holds, re-weighting
against direct runs, its standard errors against the spread over seeds, and
the Zarr store and Dask tasks against a local run. Isotropic scattering
(g = 0) keeps the runs short: the diffusion regime needs mu_s' only."""
import numpy as np
import pytest

import tdcyl

V = 0.299792458 / 1.4  # mm/ps in n = 1.4


def test_late_slope_and_amplitude_agree_with_diffusion():
    mua = 0.02
    layers = [tdcyl.Layer(1.0, mua, 1.4, 60.0, g=0.0)]
    edges = np.arange(200.0, 1281.0, 40.0)
    mc = tdcyl.monte_carlo(layers, radius=60, rho=20, photons=200000, seed=3, width=4.0, bins_ps=edges,
                           source="isotropic")
    # The diffusion curve averaged over the ring 18 ... 22 mm (R is convex in rho: +7 % over R(20 mm)).
    rhos = np.linspace(18, 22, 9)
    curves = tdcyl.reflectance(layers, radius=60, rho=rhos, times_ps=mc.t_ps)
    weights = rhos * np.array([1, 4, 2, 4, 2, 4, 2, 4, 1]) / 3 * 0.5 / 80  # Simpson over 2 pi rho drho / area
    dif = type("Ring", (), {"reflectance": weights @ curves.reflectance})
    late = mc.t_ps > 450  # past the peak (360 ps)
    # The slope of ln(R_mc / R_diffusion) is the error of mu_a the diffusion shape would see.
    slope, cov = np.polyfit(mc.t_ps[late], np.log(mc.reflectance[late] / dif.reflectance[late]), 1,
                            w=mc.reflectance[late] / mc.stderr[late], cov="unscaled")
    error, sigma = -slope[0] / V, np.sqrt(cov[0, 0]) / V
    assert sigma < 0.1 * mua and abs(error) < 4 * sigma + 0.03 * mua
    total_mc, total_dif = mc.reflectance.sum(), dif.reflectance.sum()
    assert abs(total_mc / total_dif - 1) < 0.1


def two_layers(mua_top, mua_bottom):
    return [tdcyl.Layer(1.2, mua_top, 1.4, 6.0, g=0.0), tdcyl.Layer(0.8, mua_bottom, 1.33, 40.0, g=0.0)]


def test_reweighting_equals_a_direct_run_and_gives_the_derivatives():
    kw = dict(radius=40, rho=10, photons=60000, width=2.0, bins_ps=np.arange(0.0, 1001.0, 50.0))
    base = tdcyl.monte_carlo(two_layers(0.01, 0.01), seed=1, **kw)
    moved = base.reweight([0.02, 0.004], derivatives=True)
    direct = tdcyl.monte_carlo(two_layers(0.02, 0.004), seed=2, **kw)
    ok = direct.reflectance > 5 * direct.stderr
    z = (moved.reflectance - direct.reflectance)[ok] / np.hypot(moved.stderr, direct.stderr)[ok]
    assert ok.sum() > 10 and np.mean(z**2) < 2 and np.max(np.abs(z)) < 5
    h = 1e-5
    for i, step in enumerate(np.eye(2) * h):
        fd = (base.reweight(moved.mua + step).reflectance - base.reweight(moved.mua - step).reflectance) / (2 * h)
        np.testing.assert_allclose(moved.derivatives[:, i], fd, rtol=1e-5, atol=1e-12 * np.max(np.abs(fd)))


def test_standard_errors_match_the_spread_over_seeds():
    kw = dict(radius=30, rho=5, photons=8000, width=2.0, M=8)
    runs = [tdcyl.monte_carlo(two_layers(0.01, 0.02), seed=s, threads=1 + s % 2, **kw) for s in range(12)]
    curves = np.array([r.reflectance for r in runs])
    errors = np.array([r.stderr for r in runs])
    ok = curves.mean(0) > 5 * errors.mean(0)
    ratio = curves.std(0, ddof=1)[ok] / errors.mean(0)[ok]
    assert ok.sum() > 10 and 0.8 < np.median(ratio) < 1.25


def test_store_and_dask_tasks_give_the_local_run(tmp_path):
    distributed = pytest.importorskip("distributed")
    kw = dict(radius=30, rho=[5, 8], photons=3 * 4096 + 7, seed=9, width=2.0, M=8)
    local = tdcyl.monte_carlo(two_layers(0.01, 0.02), threads=2, **kw)
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=None) as client:
        remote = tdcyl.monte_carlo(two_layers(0.01, 0.02), client=client, tasks=3, **kw)
    assert remote.totals == local.totals
    np.testing.assert_array_equal(remote.reflectance, local.reflectance)
    local.save(tmp_path / "run.zarr")
    back = tdcyl.MonteCarloResult.load(tmp_path / "run.zarr")
    np.testing.assert_array_equal(back.reweight([0.03, 0.01]).reflectance, local.reweight([0.03, 0.01]).reflectance)


@pytest.mark.parametrize("kwargs, word", [(dict(g=1.0), "g"), (dict(rho0=1.0, detector="ring"), "ring"),
                                          (dict(source="beam"), "source"), (dict(photons=0), "photons"),
                                          (dict(width=-1.0), "width"), (dict(bins_ps=[5, 5]), "bins_ps")])
def test_bad_arguments_are_named(kwargs, word):
    args = dict(layers=two_layers(0.01, 0.01), radius=30, rho=5, photons=10) | kwargs
    with pytest.raises(ValueError, match=word):
        tdcyl.monte_carlo(**args)


def test_splitting_is_unbiased_and_its_errors_honest():
    kw = dict(radius=30, rho=[4, 10], width=2.0, bins_ps=np.arange(0.0, 1001.0, 50.0))
    split = [tdcyl.monte_carlo(two_layers(0.01, 0.02), photons=3000, seed=s, splitting=3.0, **kw) for s in range(12)]
    plain = tdcyl.monte_carlo(two_layers(0.01, 0.02), photons=40000, seed=99, **kw)
    curves = np.array([r.reflectance[1] for r in split])
    errors = np.array([r.stderr[1] for r in split])
    ok = curves.mean(0) > 5 * errors.mean(0)
    ratio = curves.std(0, ddof=1)[ok] / errors.mean(0)[ok]
    assert ok.sum() > 6 and 0.75 < np.median(ratio) < 1.3
    z = (curves.mean(0) - plain.reflectance[1])[ok] / np.hypot(errors.mean(0) / np.sqrt(12), plain.stderr[1])[ok]
    assert np.mean(z**2) < 2 and np.max(np.abs(z)) < 5
