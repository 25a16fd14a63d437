"""IRF convolution against the exponentially modified Gaussian, and area conservation."""
import math

import numpy as np
import pytest
from scipy.special import erfc

import tdcyl
from tdcyl.irf import _IrfConvolution

TAU = 300.0     # ps, decay of the model curve
SIGMA = 63.7    # ps, Gaussian IRF (150 ps FWHM)
MU = 700.0      # ps, IRF centre


def emg(t, mu, sigma, tau):
    """Unit-area Gaussian (mu, sigma) convolved with exp(-t/tau) for t >= 0."""
    return 0.5 * np.exp(sigma**2 / (2 * tau**2) - (t - mu) / tau) * erfc((sigma / tau - (t - mu) / sigma) / math.sqrt(2))


@pytest.mark.parametrize("width", [12.2, 4.0])
@pytest.mark.parametrize("shift", [0.0, 3.7, -41.3, -5000.0])  # -5000 ps: more than the whole window of 4-ps bins
@pytest.mark.parametrize("irf_scale", [1e5, 1e308])  # any scale, up to the largest doubles: normalised to unit area
def test_gaussian_irf_with_exponential_is_the_emg(width, shift, irf_scale):
    t_model = np.arange(0.0, 20000.0, 0.5)  # fine samples: the straight lines are close to the exponential
    model = np.exp(-t_model / TAU)
    t = (np.arange(600) + 0.5) * width
    irf = np.exp(-0.5 * ((t - MU) / SIGMA) ** 2) * irf_scale
    got = tdcyl.convolve_irf(t_model, model, t, irf, shift_ps=shift)
    # Per bin: width x the density at the bin centre, up to the midpoint-rule error (w/sigma)^2/24.
    expected = width * emg(t, MU + shift, SIGMA, TAU)
    assert np.max(np.abs(got - expected)) < 0.1 * (width / SIGMA) ** 2 * np.max(expected) + 1e-6 * np.max(expected)
    # The fit's convolution (by transforms: rounding of the curve's peak bin, whether or not
    # the shift keeps it in the window) and its derivative by the shift, against the direct sums.
    fit_h, fit_dh = _IrfConvolution(t, irf)(t_model, model, shift, with_shift=True).T
    np.testing.assert_allclose(fit_h, got, rtol=0, atol=1e-12 * width)
    d = np.subtract(*[tdcyl.convolve_irf(t_model, model, t, irf, shift_ps=shift + ds) for ds in (1e-3, -1e-3)]) / 2e-3
    np.testing.assert_allclose(fit_dh, d, rtol=0, atol=1e-9)


def test_a_shift_beyond_the_window_leaves_nothing():
    t = (np.arange(600) + 0.5) * 12.2
    for shift in (-1e12, 1e12):  # in O(bins) memory and time, whatever the shift
        assert not np.any(tdcyl.convolve_irf([10.0, 20.0], [1.0, 1.0], t, np.ones(600), shift_ps=shift))


@pytest.mark.parametrize("width, start", [(12.2, -30.0), (7.0, 0.0), (25.0, -5.0), (3.3, -1.1)])
def test_bin_integrals_keep_the_area_for_any_bins(width, start):
    t = 10.0 * np.arange(1, 513)
    y = t * np.exp(-t / 400.0) * (1 + 0.3 * np.sin(t / 37.0))
    # Straight lines from (0, 0) through the samples: the trapezoid sum is the exact area.
    area = np.trapz(np.concatenate(([0.0], y)), np.concatenate(([0.0], t)))
    bins = tdcyl.bin_integrals(t, y, start + width * np.arange(int(6000 / width)))
    assert bins.sum() == pytest.approx(area, rel=1e-12)


@pytest.mark.parametrize("t, y, edges, integrals", [
    ([10.0, 20.0], [1.0, 3.0], [12.0, 15.0], [3 * (1.4 + 2.0) / 2]),  # a bin that splits a segment
    ([10.0], [2.0], [0.0, 5.0, 10.0, 20.0], [2.5, 7.5, 0.0]),  # one sample: the line from (0, 0) to it
    ([0.0], [2.0], [0.0, 5.0], [0.0]),  # one sample at t = 0: a curve of no duration
])
def test_bin_integrals_of_straight_lines(t, y, edges, integrals):
    np.testing.assert_allclose(tdcyl.bin_integrals(t, y, edges), integrals, rtol=1e-14)


BAD = [
    (dict(irf_counts=np.zeros(50)), ValueError, "irf_counts must have a positive sum"),
    (dict(irf_t_ps=np.array([]), irf_counts=np.array([])), ValueError, "irf_t_ps must be a non-empty"),
    (dict(irf_counts=-np.ones(50)), ValueError, "irf_counts must be >= 0"),
    (dict(irf_counts=np.ones(49)), ValueError, "irf_counts must have the shape of irf_t_ps"),
    (dict(irf_t_ps=np.arange(50.0) + 0.01 * (np.arange(50) % 2)), ValueError, "equally spaced"),  # 1 % uneven
    (dict(model=np.full(10, np.inf)), ValueError, "must be finite"),
    (dict(model=np.where(np.arange(10) % 4, 1.0, np.nan)), ValueError, r"model is NaN at t_ps = \[10.0, 50.0, 90.0\]"),
    (dict(shift_ps=float("nan")), ValueError, "shift_ps must be finite"),
    (dict(shift_ps="3"), TypeError, "shift_ps must be a real number"),
]


@pytest.mark.parametrize("change, error, message", BAD, ids=[m for _, _, m in BAD])
def test_bad_irf_arguments(change, error, message):
    kwargs = dict(t_ps=10.0 * np.arange(1, 11), model=np.ones(10), irf_t_ps=np.arange(50.0), irf_counts=np.ones(50))
    with pytest.raises(error, match=message):
        tdcyl.convolve_irf(**{**kwargs, **change})
