"""The fit recovers synthetic measurements within their errors (with a background too), its statistics
hold, and untrusted fits say so."""
import math
import re
import sys
import warnings

import numpy as np
import pytest

import tdcyl

BIN = 12.2
T = (np.arange(512) + 0.5) * BIN
IRF = np.exp(-0.5 * ((T - 800.0) / (150.0 / (2 * math.sqrt(2 * math.log(2))))) ** 2)


def expected(model, shift=0.0):
    curve = tdcyl.reflectance(**model, all_samples=True)
    return np.clip(tdcyl.convolve_irf(curve.t_ps, curve.reflectance, T, IRF, shift_ps=shift), 0, None)


def measurement(model, seed, counts=1e6, shift=0.0):
    e = expected(model, shift)
    return np.random.default_rng(seed).poisson(e * counts / e.sum()).astype(float), counts / e.sum()


def single(musp, mua, n_layers=1):
    layers = [tdcyl.Layer(musp, mua, 1.4, 40.0)] if n_layers == 1 else \
        [tdcyl.Layer(musp, mua, 1.4, 10.0), tdcyl.Layer(1.2, 0.02, 1.4, 40.0)]
    return dict(layers=layers, radius=40.0, rho=20.0)


def fit(counts, start=single(0.9, 0.016), free=("mua1", "musp1"), t=T, **kw):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r = tdcyl.fit(t, counts, irf=(t, IRF), model=start, free=free, **kw)
    return r, " | ".join(str(w.message) for w in caught)


def deviance(m, y):
    """The Poisson deviance, written out: 2 sum(m - y + y ln(y/m))."""
    return 2 * np.sum(m - y + np.where(y > 0, y * np.log(np.where(y > 0, y, 1) / m), 0))


@pytest.mark.parametrize("shift, scale", [(True, "free"), (False, "free"), (True, "area")])
def test_fit_recovers_the_truth_within_its_errors(shift, scale):
    true = {"mua1": 0.012, "musp1": 1.1, "shift": 17.3 if shift else 0.0}
    counts, true["scale"] = measurement(single(1.1, 0.012), 3, shift=true["shift"])
    r, _ = fit(counts, shift=shift, scale=scale)
    assert r.success and r.names == ("mua1", "musp1") + ("shift",) * shift + ("scale",) * (scale == "free")
    for name in r.names:
        assert abs(r.values[name] - true[name]) < 3 * r.stderr[name], name
    # Errors of the size 10^6 counts give (a broken covariance would make any value pass).
    assert r.stderr["mua1"] < 0.03 * true["mua1"] and r.stderr["musp1"] < 0.05 * true["musp1"]
    # Degrees of freedom: bins less every parameter estimated from them, the area scale included.
    w = r.fit_slice
    assert r.dof == w.stop - w.start - 2 - shift - 1
    assert 0.6 < r.chi2_red < 1.4 and r.p_value > 1e-3
    # The fit range: from 80 % of the peak on the rise to 1 % on the tail.
    assert counts[w.start] >= 0.8 * counts.max() > counts[w.start - 1]
    assert counts[w.stop - 1] >= 0.01 * counts.max() > counts[w.stop]


def test_the_shift_alone_is_fitted():  # nothing left beside it once it is projected out
    counts, _ = measurement(single(1.1, 0.012), 3, shift=17.3)
    r, _ = fit(counts, start=single(1.1, 0.012), free=())
    assert r.success and r.names == ("shift",) and abs(r.values["shift"] - 17.3) < 3 * r.stderr["shift"] < 3


def test_chi2_covariance_and_residuals_are_those_of_the_poisson_likelihood():
    counts, _ = measurement(single(1.1, 0.012), 5)
    counts[420:470] += 150  # an artefact beyond the fit range's end (under 1 % of the peak): never fitted
    r, _ = fit(counts, shift=False)
    w = r.fit_slice
    assert w.stop < 420

    def chi2(mua, musp):
        h = expected(single(musp, mua))[w]
        return deviance(h * counts[w].sum() / h.sum(), counts[w])  # the area scale from the fit range only

    assert chi2(r.values["mua1"], r.values["musp1"]) == pytest.approx(r.chi2, rel=1e-6)
    # The residuals' signs: model above the data is positive.
    assert np.all(np.sign(r.residuals) == np.sign(r.fitted[w] - counts[w]))
    # One standard deviation along each axis of the covariance's ellipse raises chi2 by 1.
    eigval, eigvec = np.linalg.eigh(r.covariance)
    for lam, v in zip(eigval, eigvec.T):
        step = math.sqrt(lam) * v
        assert chi2(r.values["mua1"] + step[0], r.values["musp1"] + step[1]) - r.chi2 == pytest.approx(1, abs=0.25)


def test_other_weights_give_errors_of_the_same_size():
    counts, _ = measurement(single(1.1, 0.012), 7)
    sigma = np.sqrt(np.maximum(counts, 1))
    poisson, unweighted, weighted, scaled = (
        fit(c, shift=False, weights=w)[0] for c, w in [(counts, "poisson"), (counts, None), (counts, sigma),
                                                        (counts * 1e300, sigma * 1e300)])
    for name in poisson.names:
        for r in (unweighted, weighted):  # unweighted: errors from the residuals' scatter
            assert r.success and abs(r.values[name] - poisson.values[name]) < 2 * poisson.stderr[name]
            assert 0.7 < r.stderr[name] / poisson.stderr[name] < 1.4
        # The same measurement in other units: the same fit.
        assert scaled.values[name] == pytest.approx(weighted.values[name], rel=1e-6)
        assert scaled.stderr[name] == pytest.approx(weighted.stderr[name], rel=1e-4)


@pytest.mark.parametrize("n_layers, kw, warned", [
    (1, dict(counts=np.random.default_rng(1).poisson(100.0, T.size).astype(float)), "does not describe the data"),
    (1, dict(counts=np.random.default_rng(1).poisson(100.0, T.size).astype(float), background="free"),
     "no pulse in the counts"),  # dark counts: a free background passes the chi2 test
    (1, dict(t=T / 1000), "are the times in ns"),
    (1, dict(bounds={"mua1": (0.014, 0.1)}), "mua1 = 0.014 ended at its bound 0.014 1/mm"),
    (2, dict(start=single(1.1, 0.01, 2), free=("mua1", "l2"), bounds={"l2": (30.0, 100.0)}),
     "l2 is not determined by the data"),
    # the bottom layer's mu_s' in 1/m (on the top layer the engine would need 10^5 Bessel zeros)
    (2, dict(start=dict(single(1.1, 0.01, 2), layers=[tdcyl.Layer(1.1, 0.01, 1.4, 10.0),
                                                       tdcyl.Layer(300.0, 0.02, 1.4, 40.0)]), free=("mua1",)),
     r"musp2 = 300 1/mm \(given\) is far outside tissue"),
], ids=["flat", "dark", "ns", "at bound", "undetermined", "not tissue"])
def test_a_fit_that_cannot_be_trusted_says_so(n_layers, kw, warned):
    kw = dict(kw)
    r, message = fit(kw.pop("counts", measurement(single(1.1, 0.012, n_layers), 9)[0]), **kw)
    assert re.search(warned, message) and re.search(warned, r.report())
    assert r.success == ("l2" in r.names)  # the others fail the chi2 test
    if "l2" in r.names:
        assert r.stderr["l2"] == math.inf and math.isfinite(r.stderr["mua1"])


def test_samples_beyond_the_engine_tolerance_are_named_only_where_they_can_move_the_fit():
    # 1 mm inside the rim the samples before the light arrives do not hold the numeric fit's 1e-11
    # of the peak: far below the noise of 10^6 counts, not below a sigma of 1e-4 counts.
    model = dict(layers=[tdcyl.Layer(1.1, 0.012, 1.4, 40.0)], radius=30.0, rho=29.0)
    y = measurement(model, 4)[0]
    for weights, named in (("poisson", False), (1e-4, True)):
        r, message = fit(y, start=dict(model, layers=[tdcyl.Layer(1.0, 0.014, 1.4, 40.0)]), jac="numeric",
                         weights=weights)
        line = re.search(r"cannot be held within the tolerance .* in this fit they move a bin by up to (\S+) counts, "
                         r"(\S+) of the least noise of a bin", message)
        assert bool(line) == named == ("cannot be held" in message), message
        if named:  # the bound against that noise, not against one count
            assert float(line.group(2)) == pytest.approx(float(line.group(1)) / 1e-4, rel=0.05)


def test_background_free_or_pre_pulse_removes_the_bias():
    e = expected(single(1.1, 0.012))
    e *= 1e6 / e.sum()
    y = np.random.default_rng(2).poisson(e + 0.005 * e.max()).astype(float)
    r = {b: fit(y, background=b)[0] for b in ("free", "pre-pulse", None)}
    for b in ("free", "pre-pulse"):
        for name, true in (("mua1", 0.012), ("musp1", 1.1)):
            assert abs(r[b].values[name] - true) < 3 * r[b].stderr[name], (b, name)
    assert abs(r["free"].values["background"] - 0.005 * e.max()) < 3 * r["free"].stderr["background"]
    assert r["free"].dof == r["pre-pulse"].dof - 1 and r["free"].success and not r[None].success
    assert re.search(r"background +1\d\d\.\d* ± \d.* counts/bin", r["free"].report())
    assert r[None].values["mua1"] < 0.012 - 10 * r[None].stderr["mua1"]  # the tail lifted: mu_a far too low


def test_report_and_plot_show_values_starts_flags_units_and_the_irf(tmp_path):
    r, _ = fit(measurement(single(1.1, 0.012), 9)[0], bounds={"mua1": (0.014, 0.1)})
    text = r.report()
    assert re.search(r"mua1 +0.014 ± .* 1/mm +0.016 AT BOUND", text) and re.search(r"musp1 +1\.\d+ ± .* +0.9\n", text)
    assert f"{r.dof} degrees of freedom" in text and re.search(r"mua1 +musp1 +\+0\.9", text)
    assert len(repr(r).splitlines()) <= len(r.names) + 1
    fig = r.plot(tmp_path / "fit.png")
    assert (tmp_path / "fit.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    ax = fig.axes[0]
    box = [t for t in ax.texts if "mua1" in t.get_text()][0]
    assert "1/mm" in box.get_text() and "ps" in box.get_text()
    renderer = fig.canvas.get_renderer()
    assert box.get_window_extent(renderer).x0 > ax.get_window_extent(renderer).x1  # beside the data
    assert any("IRF" in line.get_label() for line in ax.get_lines())


@pytest.mark.parametrize("seed, kw", [(1, dict(shift=False)), (2, dict(shift=True, background="free"))])
def test_fit_with_exact_jacobian_reaches_the_numeric_minimum_in_fewer_calls(seed, kw, source_dir):
    # The README's example: four parameters of two layers.
    sys.path.insert(0, str(source_dir / "examples"))
    import fit_two_layers as ex
    assert (ex.N_BINS, ex.BIN_PS, ex.IRF_CENTRE_PS, ex.IRF_FWHM_PS) == (T.size, BIN, 800.0, 150.0)  # T and IRF
    e = expected(ex.geometry(ex.TRUE))
    counts = np.random.default_rng(seed).poisson(e * ex.COUNTS / e.sum() + 2.0).astype(float)
    numeric, exact = (fit(counts, ex.geometry(ex.START), ex.FREE, fit_range=ex.FIT_RANGE, jac=jac, **kw)[0]
                      for jac in ("numeric", "exact"))
    assert exact.success and exact.names == numeric.names
    for name in exact.names:
        assert abs(exact.values[name] - numeric.values[name]) < 0.01 * numeric.stderr[name], name
        assert exact.stderr[name] == pytest.approx(numeric.stderr[name], rel=0.1), name  # forward differences: a few %
    assert exact.model_calls * 3 < numeric.model_calls
    if not kw["shift"]:  # on the logarithms of mua and musp the trust region does not creep (15 calls on themselves)
        assert exact.model_calls <= 12, exact.model_calls


BAD = [  # by argument
    (dict(free=("mua3",)), ValueError, "names layer 3 of a model with 1 layers"),
    (dict(free=("g1",)), ValueError, "unknown parameter 'g1'"),
    (dict(free=("mua1", "mua1")), ValueError, "named twice"),
    (dict(free=None), TypeError, "free must be a parameter name or a sequence"),
    (dict(irf=(T, np.zeros_like(T))), ValueError, "irf: irf_counts must be finite, >= 0 and not all zero"),
    (dict(irf=(T[:-1], IRF[:-1])), ValueError, "irf: its bins must be those of the measurement"),
    (dict(irf=IRF), TypeError, "irf must be a pair"),
    (dict(counts=np.ones(10)), ValueError, "counts must have the shape of t_ps"),
    (dict(counts=np.zeros_like(T)), ValueError, "counts: the histogram holds no counts"),
    (dict(t_ps=T + 0.01 * BIN * (np.arange(T.size) % 2)), ValueError, "t_ps must be equally spaced"),  # 1 % uneven
    (dict(scale="peak"), ValueError, "scale must be 'area' or 'free'"),
    (dict(weights="neyman"), ValueError, "weights must be 'poisson'"),
    (dict(weights=np.ones(5)), ValueError, "weights: sigma must be one number or have the shape of counts"),
    (dict(bounds={"mua1": (0.1, 0.2)}), ValueError, "start value of mua1"),
    (dict(bounds={"mua1": 0.05}), ValueError, r"bounds\['mua1'\] must be a pair"),
    (dict(bounds={"musp1": (0.1, 2.0)}), ValueError, "bounds: 'musp1' is not a fitted parameter"),
    (dict(fit_range=(0.8, 2.0)), ValueError, "fit_range"),
    (dict(fit_range=(0.8,)), ValueError, "fit_range must be a pair"),
    (dict(max_nfev=2.5), TypeError, "max_nfev must be an integer"), (dict(engine="slow"), ValueError, "engine must be"),
    (dict(jac="analytic"), ValueError, "jac must be 'exact', 'numeric' or None"),
    (dict(jac="exact", free=("n1",)), ValueError, "jac: 'exact' needs engine='fast'"),
    (dict(background="dark"), ValueError, "background must be 'free', 'pre-pulse', a number or None"),
    (dict(background=-1.0), ValueError, "background must be >= 0"),
    (dict(background=[1.0]), TypeError, "background must be"),
    (dict(background="pre-pulse", counts=np.roll(IRF, -50) * 100), ValueError, "background: 'pre-pulse' needs"),
    (dict(model=dict(single(1.0, 0.01), rho=50.0)), ValueError, "rho must be in 0 ... radius"),
]


@pytest.mark.parametrize("change, error, message", BAD, ids=[m for _, _, m in BAD])
def test_bad_fit_arguments(change, error, message):
    with pytest.raises(error, match=message):
        tdcyl.fit(**{**dict(t_ps=T, counts=IRF * 100, irf=(T, IRF), model=single(1.0, 0.01), free=("mua1",)), **change})
