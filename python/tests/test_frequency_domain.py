"""Frequency-domain and continuous-wave reflectance."""
import math

import numpy as np
import pytest

import tdcyl

LAYERS = [tdcyl.Layer(1.0, 0.02, 1.4, 8.0), tdcyl.Layer(1.3, 0.03, 1.4, 40.0)]


def semi_infinite_cw(musp, mua, rho, reff=0.493477582093524):
    """Steady-state flux at the surface of a half space (extrapolated boundary,
    source at z0 and its image at -(z0 + 2 zb)), mm^-2."""
    z0 = 1 / (musp + mua)
    zb = 2 * (1 + reff) / (1 - reff) / (3 * musp)
    mueff = math.sqrt(3 * mua * musp)
    r1 = math.hypot(rho, z0)
    r2 = math.hypot(rho, z0 + 2 * zb)
    return (z0 * (mueff + 1 / r1) * math.exp(-mueff * r1) / r1**2
            + (z0 + 2 * zb) * (mueff + 1 / r2) * math.exp(-mueff * r2) / r2**2) / (4 * math.pi)


@pytest.mark.parametrize("layers", [[tdcyl.Layer(1.0, 0.02, 1.4, 100.0)],
                                    [tdcyl.Layer(1.0, 0.02, 1.4, 30.0), tdcyl.Layer(1.0, 0.02, 1.4, 70.0)]],
                         ids=["one layer", "two equal layers"])
def test_continuous_wave_of_a_large_cylinder_is_the_half_space(layers):
    rhos = np.array([5.0, 15.0, 25.0])
    got = tdcyl.continuous_wave(layers, 60.0, rhos)
    expected = [semi_infinite_cw(1.0, 0.02, r) for r in rhos]
    np.testing.assert_allclose(got, expected, rtol=1e-4)


def test_low_frequencies_are_the_area_and_mean_time_of_flight_of_the_curve():
    curve = tdcyl.reflectance(LAYERS, 20.0, 10.0, engine="fast", wraparound=False, all_samples=True)
    area = np.sum(curve.reflectance) * 10.0  # mm^-2 ps^-1 x ps
    assert tdcyl.continuous_wave(LAYERS, 20.0, 10.0) == pytest.approx(area, rel=1e-3)
    mean_ps = np.sum(curve.t_ps * curve.reflectance) / np.sum(curve.reflectance)
    f = np.array([1e6, 2e6])
    v = tdcyl.frequency_domain(LAYERS, 20.0, 10.0, f)
    np.testing.assert_allclose(-np.angle(v) / (2 * np.pi * f), mean_ps * 1e-12, rtol=1e-3)
    np.testing.assert_allclose(np.abs(v), tdcyl.continuous_wave(LAYERS, 20.0, 10.0), rtol=1e-3)
    both = tdcyl.frequency_domain(LAYERS, 20.0, [10.0, 10.0], f)
    assert both.shape == (2, 2)
    np.testing.assert_array_equal(both[0], v)


@pytest.mark.parametrize("freqs, engine, message", [
    ([-1.0], None, "frequencies_hz must lie in 0"),
    ([1e300], None, "frequencies_hz must lie in 0"),
    ([np.nan], None, "frequencies_hz must be finite"),
    ([], None, "frequencies_hz must hold at least one frequency"),
    ([1e8], "faithful", "needs engine='fast'"),
], ids=["negative", "huge", "nan", "empty", "faithful"])
def test_bad_frequency_domain_arguments(freqs, engine, message):
    with pytest.raises(ValueError, match=message):
        tdcyl.frequency_domain(LAYERS, 20.0, 10.0, freqs, engine=engine)
