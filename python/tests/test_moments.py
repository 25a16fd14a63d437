"""Moments of the model against the curve's own numerical moments and central differences; moments of
DTOFs against the model's and their Poisson errors against the spread over draws."""
import numpy as np
import pytest

import tdcyl

L3 = [(1.0, 0.015, 1.4, 6.0), (1.3, 0.02, 1.33, 8.0), (0.9, 0.018, 1.45, 30.0)]


def curve_moments(layers, radius, rho, **kw):
    """N, mean, variance of the fast engine's curve by the trapezoid rule on a fine, long grid."""
    t = np.arange(0.25, 14000, 0.5)
    c = tdcyl.reflectance(layers, radius, rho=[rho], times_ps=t, all_samples=True, tolerance=1e-12, **kw)
    R = c.reflectance[0]
    n = np.trapz(R, t)
    mean = np.trapz(R * t, t) / n
    return np.array([n, mean, np.trapz(R * (t - mean) ** 2, t) / n])


@pytest.mark.parametrize("layers, radius, rho, off", [
    (L3[:1], 40.0, 15.0, {}),                                       # one layer on the axis
    (L3[:1], 25.0, 8.0, dict(rho0=6.0, phi=2.0)),                   # one layer, both off the axis
    (L3[:2], 30.0, 20.0, {}),                                       # two layers
    (L3, 30.0, 12.0, dict(rho0=5.0, phi=0.7, mmax=40)),            # three layers off the axis
])
@pytest.mark.filterwarnings("ignore:.*cannot be held")
def test_model_moments_equal_the_curves_numerical_moments(layers, radius, rho, off):
    # A planted fault in the p^2 coefficient, the units of <t> or the off-axis weights moves these by far more.
    m = tdcyl.moments(layers, radius, rho, **{k: v for k, v in off.items() if k != "mmax"}, tolerance=1e-12)
    got = np.array([m.N, m.mean_ps, m.variance_ps2])
    np.testing.assert_allclose(got, curve_moments(layers, radius, rho, **off), rtol=1e-8)


def test_model_moment_derivatives_equal_central_differences():
    names = [f"{k}{i}" for i in (1, 2, 3) for k in ("mua", "musp", "l")]
    geo = dict(radius=30.0, rho=[12.0, 20.0], rho0=5.0, phi=0.7, tolerance=1e-12)
    m = tdcyl.moments(L3, **geo, derivatives=names)
    column = {"musp": 0, "mua": 1, "l": 3}
    for name in names:
        layer, kind = int(name[-1]) - 1, column[name[:-1]]
        h = 1e-4 * L3[layer][kind]
        ends = []
        for sign in (1, -1):
            moved = np.array(L3)
            moved[layer, kind] += sign * h
            mo = tdcyl.moments(moved, **geo)
            ends.append(np.array([mo.N, mo.mean_ps, mo.variance_ps2]))
        cd = (ends[0] - ends[1]) / (2 * h)
        exact = np.array(m.derivatives[name])
        # The change over h against the moment itself: a floor for the tiny ones (N by l3).
        size = np.abs(np.array([m.N, m.mean_ps, m.variance_ps2]))
        assert np.all(np.abs(exact - cd) * h <= 2e-5 * np.abs(cd) * h + 1e-10 * size), name


def synthetic_dtof(layers, radius, rho):
    """A noiseless DTOF: the curve on a 1 ps grid, binned at 12.5 ps and convolved with a 150-ps IRF."""
    t_bins = 6.25 + 12.5 * np.arange(1200)
    irf = np.exp(-0.5 * ((t_bins - 700) / 64.0) ** 2)
    t = np.arange(1.0, 15000, 1.0)
    curve = tdcyl.reflectance(layers, radius, rho, times_ps=t, all_samples=True)
    return t_bins, irf, tdcyl.convolve_irf(t, curve.reflectance, t_bins, irf)


@pytest.mark.filterwarnings("ignore:.*cannot be held")
def test_dtof_moments_of_a_convolved_curve_and_their_poisson_errors():
    layers = L3[:2]
    t_bins, irf, model = synthetic_dtof(layers, 30.0, 20.0)
    exact = tdcyl.moments(layers, 30.0, 20.0)
    got = tdcyl.dtof_moments(t_bins, model, irf=(t_bins, irf))
    # convolve_irf treats the IRF as samples, not a histogram: its convolution adds the bin's w^2/12.
    assert got.N == pytest.approx(exact.N, rel=1e-6)
    assert got.mean_ps == pytest.approx(exact.mean_ps, abs=1e-3)
    assert got.variance_ps2 - 12.5 ** 2 / 12 == pytest.approx(exact.variance_ps2, rel=1e-5)

    # 400 Poisson draws of 1e5 counts on a background of 2 counts/bin: the estimates scatter as reported.
    rng = np.random.default_rng(3)
    expected = 1e5 * model / model.sum() + 2.0
    draws = rng.poisson(expected, size=(400, expected.size)).astype(float)
    m = tdcyl.dtof_moments(t_bins, draws, irf=(t_bins, irf), background=2.0)
    truth = tdcyl.dtof_moments(t_bins, expected, irf=(t_bins, irf), background=2.0)
    for value, err, true in ((m.N, m.N_err, truth.N), (m.mean_ps, m.mean_err_ps, truth.mean_ps),
                             (m.variance_ps2, m.variance_err_ps2, truth.variance_ps2)):
        z = (value - true) / err
        assert abs(z.mean()) < 0.2 and 0.85 < z.std() < 1.15
    # The reported covariance of mean and variance (mu3/N) matches the draws' correlation.
    r = np.corrcoef(m.mean_ps, m.variance_ps2)[0, 1]
    c = truth.covariance
    assert r == pytest.approx(c[1, 2] / np.sqrt(c[1, 1] * c[2, 2]), abs=0.12)
    with pytest.raises(ValueError, match="counts must have shape"):
        tdcyl.dtof_moments(t_bins, draws[:, :-1])
    with pytest.raises(ValueError, match="no counts above the background"):
        tdcyl.dtof_moments(t_bins, draws[:2], background=1e9)
