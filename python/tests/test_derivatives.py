"""Derivatives of the fast engine's curve against central differences of the curve itself."""
import re
import warnings

import numpy as np
import pytest

import tdcyl

ONE = [(1.0, 0.01, 1.4, 20.0)]
TWO = [(1.0, 0.01, 1.4, 8.0), (1.5, 0.03, 1.4, 40.0)]
THREE = [(1.0, 0.01, 1.33, 5.0), (1.2, 0.02, 1.4, 6.0), (1.5, 0.03, 1.45, 20.0)]
COLUMN = {"musp": 0, "mua": 1, "l": 3}


def curve(layers, names=(), **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # cancelling terms far out; the comparison below is its own judge
        return tdcyl.reflectance(layers, radius=30.0, engine="fast", tolerance=1e-13, all_samples=True,
                                 derivatives=names, **kw)


# The bottom thickness of THREE is left out: its derivative is below what a difference of curves resolves.
@pytest.mark.parametrize("layers, names, kw", [
    (ONE, ("mua1", "musp1", "l1"), dict(rho=10.0)),
    (ONE, ("mua1", "musp1", "l1"), dict(rho=10.0, rho0=5.0, times_ps=np.arange(40.0, 3000.0, 37.0))),
    (TWO, ("mua1", "musp1", "mua2", "musp2", "l1"), dict(rho=25.0)),
    (TWO, ("musp1", "mua2", "l1"), dict(rho=10.0, rho0=5.0, mmax=8)),
    (THREE, ("mua1", "musp1", "l1", "mua2", "musp2", "l2", "mua3", "musp3"), dict(rho=15.0)),
], ids=["one layer", "one layer off axis, times", "two layers", "two layers off axis", "three layers"])
def test_derivatives_equal_central_differences(layers, names, kw):
    c = curve(layers, names, **kw)
    assert c.derivatives.shape == (len(c.t_ps), len(names)) and c.derivative_names == names
    # The values are those of the value-only call, bit for bit.
    np.testing.assert_array_equal(c.reflectance, curve(layers, **kw).reflectance)
    live = np.abs(c.reflectance) > 1e-3 * np.abs(c.reflectance).max()
    arr = np.array(layers, float)
    for k, name in enumerate(names):
        kind, layer = re.match(r"([a-z]+)(\d)", name).groups()
        i, j = int(layer) - 1, COLUMN[kind]
        h = 1e-4 * arr[i, j]
        up, down = arr.copy(), arr.copy()
        up[i, j] += h
        down[i, j] -= h
        fd = (curve(up, **kw).reflectance - curve(down, **kw).reflectance) / (2 * h)
        d = c.derivatives[live, k]
        assert np.max(np.abs(d - fd[live])) <= 1e-6 * np.max(np.abs(d)), name


def test_split_layer_derivatives_add_up():
    # Layer 2 cut into two identical halves: the model is the same, and moving a property of
    # both halves moves it in the whole (the middle-layer recursion against the bottom's).
    split = [TWO[0], TWO[1][:3] + (20.0,), TWO[1][:3] + (20.0,)]
    whole = curve(TWO, ("mua2", "musp2"), rho=20.0).derivatives
    halves = curve(split, ("mua2", "mua3", "musp2", "musp3"), rho=20.0).derivatives
    np.testing.assert_allclose(halves[:, ::2] + halves[:, 1::2], whole, rtol=0, atol=1e-9 * np.abs(whole).max())


@pytest.mark.parametrize("kw, error", [
    (dict(derivatives=("n1",)), ValueError), (dict(derivatives=("mua3",)), ValueError),
    (dict(derivatives=("mua1",), engine="faithful"), ValueError), (dict(derivatives=(1,)), TypeError)])
def test_bad_derivatives(kw, error):
    with pytest.raises(error, match="derivatives"):
        tdcyl.reflectance(TWO, radius=30.0, rho=10.0, **kw)


@pytest.mark.parametrize("seed, kw", [(1, dict(shift=False)), (2, dict(shift=True, background="free"))])
def test_fit_with_exact_jacobian_reaches_the_numeric_minimum_in_fewer_calls(seed, kw, source_dir):
    # The README's example: four parameters of two layers.
    import sys
    sys.path.insert(0, str(source_dir / "examples"))
    import fit_two_layers as ex
    t = (np.arange(ex.N_BINS) + 0.5) * ex.BIN_PS
    irf = np.exp(-0.5 * ((t - ex.IRF_CENTRE_PS) * 2.3548 / ex.IRF_FWHM_PS) ** 2)
    truth = tdcyl.reflectance(**ex.geometry(ex.TRUE), all_samples=True)
    e = tdcyl.convolve_irf(truth.t_ps, truth.reflectance, t, irf)
    counts = np.random.default_rng(seed).poisson(e * ex.COUNTS / e.sum() + 2.0).astype(float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fits = [tdcyl.fit(t, counts, irf=(t, irf), model=ex.geometry(ex.START), free=ex.FREE,
                          fit_range=ex.FIT_RANGE, jac=jac, **kw) for jac in ("numeric", "exact")]
    numeric, exact = fits
    assert exact.success and exact.names == numeric.names
    for name in exact.names:
        assert abs(exact.values[name] - numeric.values[name]) < 0.01 * numeric.stderr[name], name
        assert exact.stderr[name] == pytest.approx(numeric.stderr[name], rel=0.1), name  # forward differences: a few %
    assert exact.model_calls * 3 < numeric.model_calls
