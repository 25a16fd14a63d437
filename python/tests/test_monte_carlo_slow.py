"""tdcyl.monte_carlo against the diffusion model to a few per cent (10^6 photons, about 10 s of CPU)."""
import numpy as np

import tdcyl

V = 0.299792458 / 1.4  # mm/ps in n = 1.4


def test_late_slope_gives_mua_within_three_percent_at_two_absorptions():
    layers = lambda mua: [tdcyl.Layer(1.0, mua, 1.4, 60.0, g=0.0)]  # noqa: E731
    mc = tdcyl.monte_carlo(layers(0.02), radius=60, rho=20, photons=1_000_000, seed=5, width=4.0,
                           bins_ps=np.arange(200.0, 1281.0, 40.0), source="isotropic")
    rhos = np.linspace(18, 22, 9)
    ring = rhos * np.array([1, 4, 2, 4, 2, 4, 2, 4, 1]) / 3 * 0.5 / 80  # Simpson over the 4-mm ring
    late = mc.t_ps > 450  # past the peak
    for mua in (0.02, 0.04):  # the run's, and re-weighted
        r = mc.reweight([mua])
        dif = ring @ tdcyl.reflectance(layers(mua), radius=60, rho=rhos, times_ps=mc.t_ps).reflectance
        slope, cov = np.polyfit(mc.t_ps[late], np.log(r.reflectance[late] / dif[late]), 1,
                                w=r.reflectance[late] / r.stderr[late], cov="unscaled")
        error, sigma = -slope[0] / V / mua, np.sqrt(cov[0, 0]) / V / mua
        assert abs(error) < 0.03 and abs(error) < 4 * sigma + 0.01, (mua, error, sigma)
        assert abs(r.reflectance.sum() / dif.sum() - 1) < 0.06
