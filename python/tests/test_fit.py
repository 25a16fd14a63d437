"""The fit recovers the parameters of synthetic measurements within their errors."""
import math

import numpy as np
import pytest

import tdcyl

BIN = 12.2
T = (np.arange(512) + 0.5) * BIN
IRF = np.exp(-0.5 * ((T - 800.0) / (150.0 / (2 * math.sqrt(2 * math.log(2))))) ** 2)


def measurement(model, seed, counts=1e6, shift=0.0):
    curve = tdcyl.reflectance(**model, all_samples=True)
    expected = tdcyl.convolve_irf(curve.t_ps, curve.reflectance, T, IRF, shift_ps=shift)
    scale = counts / expected.sum()
    rng = np.random.default_rng(seed)
    return rng.poisson(np.clip(expected * scale, 0, None)).astype(float), scale


def single(musp, mua):
    return dict(layers=[tdcyl.Layer(musp, mua, 1.4, 40.0)], radius=40.0, rho=20.0)


@pytest.mark.parametrize("seed", [3, 5])
def test_single_layer_fit_with_shift_and_free_scale(seed, tmp_path):
    true = {"mua1": 0.012, "musp1": 1.1, "shift": 17.3}
    counts, scale = measurement(single(1.1, 0.012), seed, shift=true["shift"])
    true["scale"] = scale
    r = tdcyl.fit(T, counts, irf=(T, IRF), model=single(0.9, 0.016), free=("mua1", "musp1"), shift=True,
                  scale="free")
    assert r.success and r.names == ("mua1", "musp1", "shift", "scale")
    for name, value in true.items():
        assert abs(r.values[name] - value) < 3 * r.stderr[name], (name, r.values[name], r.stderr[name])
    # Errors of the size 10^6 counts give (a broken covariance would make any value pass).
    assert r.stderr["mua1"] < 0.03 * true["mua1"] and r.stderr["musp1"] < 0.05 * true["musp1"]
    assert r.stderr["shift"] < BIN
    assert 0.6 < r.chi2_red < 1.4
    assert r.dof == r.fit_slice.stop - r.fit_slice.start - 4
    np.testing.assert_allclose(r.residuals @ r.residuals, r.chi2)
    assert r.model_calls >= 3 and r.covariance.shape == (4, 4)
    # The fit range: from 80 % of the peak on the rise to 1 % on the tail.
    peak = counts.max()
    w = r.fit_slice
    assert counts[w.start] >= 0.8 * peak > counts[w.start - 1]
    assert counts[w.stop - 1] >= 0.01 * peak > counts[w.stop]
    r.plot(tmp_path / "fit.png")
    assert (tmp_path / "fit.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_two_layer_fit_with_area_scale():
    def model(mua1, mua2):
        return dict(layers=[tdcyl.Layer(1.0, mua1, 1.4, 4.0), tdcyl.Layer(1.2, mua2, 1.4, 30.0)], radius=8.0,
                    rho=6.0)
    counts, _ = measurement(model(0.01, 0.03), seed=11)
    r = tdcyl.fit(T, counts, irf=(T, IRF), model=model(0.015, 0.02), free=("mua1", "mua2"), shift=False)
    assert r.names == ("mua1", "mua2")
    assert abs(r.values["mua1"] - 0.01) < 3 * r.stderr["mua1"]
    assert abs(r.values["mua2"] - 0.03) < 3 * r.stderr["mua2"]
    assert r.stderr["mua2"] < 0.1 * 0.03
    assert 0.6 < r.chi2_red < 1.4
    assert r.model["layers"][1].mua == r.values["mua2"]


BAD = [
    (dict(free=("mua3",)), ValueError, "names layer 3 of a model with 1 layers"),
    (dict(free=("g1",)), ValueError, "unknown parameter 'g1'"),
    (dict(free=("mua1", "mua1")), ValueError, "named twice"),
    (dict(irf=(T, np.zeros_like(T))), ValueError, "irf: irf_counts must be finite, >= 0 and not all zero"),
    (dict(irf=(T[:-1], IRF[:-1])), ValueError, "irf: its bins must be those of the measurement"),
    (dict(irf=IRF), TypeError, "irf must be a pair"),
    (dict(counts=np.ones(10)), ValueError, "counts must have the shape of t_ps"),
    (dict(scale="peak"), ValueError, "scale must be 'area' or 'free'"),
    (dict(weights="neyman"), ValueError, "weights must be 'poisson'"),
    (dict(bounds={"mua1": (0.1, 0.2)}), ValueError, "start value of mua1"),
    (dict(bounds={"musp1": (0.1, 2.0)}), ValueError, "bounds: 'musp1' is not a fitted parameter"),
    (dict(fit_range=(0.8, 2.0)), ValueError, "fit_range"),
    (dict(engine="slow"), ValueError, "engine must be"),
]


@pytest.mark.parametrize("change, error, message", BAD, ids=[m for _, _, m in BAD])
def test_bad_fit_arguments(change, error, message):
    kwargs = dict(t_ps=T, counts=IRF * 100, irf=(T, IRF), model=single(1.0, 0.01), free=("mua1",))
    kwargs.update(change)
    with pytest.raises(error, match=message):
        tdcyl.fit(**kwargs)
