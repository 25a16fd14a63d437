"""Least-squares fit of the model, convolved with a measured IRF, to a TCSPC histogram.

The pieces: the histogram's fit range, background and residuals (_fit_channel),
the parameters and their bounds (_fit_params), the result (_fit_result); the
optimiser and the statistics are here.
"""
from __future__ import annotations

import math
import time
import warnings

import numpy as np
import scipy.optimize
import scipy.stats

from . import _checks as chk
from ._fit_channel import (EXACT_TOLERANCE, PRE_PULSE_MARGIN_PS, _background, unheld_notes,  # noqa: F401
                           _poisson_deviance_residuals, _pre_pulse, _runs_p_value, fit_range_slice, jacobian_mode,
                           no_pulse, pre_pulse_background)
from ._fit_params import _bounds, _free_names, _model_dict, _time_warnings, _tissue_warnings, measurement_args
from ._fit_result import FitResult
from .irf import _IrfConvolution, convolve_irf, uniform_bin_width
from .model import Layer, _checked, _computed

__all__ = ["fit", "FitResult", "fit_range_slice", "pre_pulse_background"]

# Singular values of the column-normalised Jacobian below this fraction of the
# largest: a combination of parameters the data do not constrain.
_RANK_CUT = 1e-7
def fit(t_ps, counts=None, irf=None, model=None, free=("mua1", "musp1"), *, bounds=None, fit_range=(0.8, 0.01),
        weights="poisson", shift=True, scale="area", background=None, engine=None, threads=0, max_nfev=100,
        ftol=1e-6, min_p_value=1e-4, jac=None) -> FitResult:
    """Fits layer parameters to a measured histogram.

    Parameters
    ----------
    t_ps, counts : 1-d arrays, or a tdcyl.io.Measurement and a channel
        Centres of the measurement's equally spaced time bins (ps) and counts;
        or a Measurement and the channel to fit (None: its only one), whose
        distance rho_mm is the model's rho when the model gives none.
    irf : (irf_t_ps, irf_counts) or Measurement
        The instrument response on the same bins (same centres); a Measurement
        of one channel or of the measurement's channels (default with a
        Measurement: its own IRF block).
    model : dict or InputParams
        Arguments of tdcyl.reflectance (layers, radius, rho, rho0, phi, M, mmax):
        the start values of the free parameters and the values of the others.
    free : str or sequence of str
        Parameters to fit, by name: "muspI", "muaI", "nI", "lI" for layer I
        (1 = top), e.g. ("mua1", "musp1", "mua2", "musp2").
    bounds : dict, optional
        {name: (low, high)} overriding the default limits.
    fit_range : (rise, tail)
        Fit from the first bin at rise x peak on the rising edge to the last bin
        at tail x peak on the tail (default 80 % and 1 %).
    weights : "poisson", None, float or array
        "poisson": maximum likelihood for Poisson counts, the residuals being the
        signed square roots of the Poisson deviance (chi2 is then the deviance;
        weighting by the counts instead would bias the tail, where counts are
        few); an array (or one number): the absolute sigma of each bin; None:
        unweighted, the standard errors then scaled by the residual variance
        chi2/dof (the sigma estimated from the scatter).
    shift : bool
        Fit a time shift (ps) between the model and the IRF.
    scale : "area" or "free"
        "area": the model is scaled to the data's counts in the fit range (a
        parameter estimated from the data: it counts in the degrees of freedom);
        "free": the scale is a fitted parameter.
    background : None, "free", "pre-pulse" or float
        A constant count level per bin added to the model (dark counts,
        afterpulsing): "free" fits it as the parameter "background" (counts per
        bin, one more degree of freedom used); "pre-pulse" takes the mean of the
        bins before the pulse (see pre_pulse_background: the bins ending 200 ps
        before the rise reaches 10 % of the peak); a number gives it. None: no
        background. A real background that the model leaves out lifts the tail
        and biases the fit, mostly mu_a (too low): use "free" or "pre-pulse" for
        measured data.
    engine, threads : as for tdcyl.reflectance (the model is computed with all_samples=True).
    jac : None, "exact" or "numeric"
        The Jacobian of the residuals: "exact" from the fast engine's
        derivatives of the curve (computed with it, through the same IRF
        convolution; shift, scale and background columns analytic), "numeric"
        by forward differences (one model call per layer parameter). None:
        "exact" where the engine is fast and every free layer parameter is a
        mu_a, mu_s' or thickness, "numeric" otherwise.
    max_nfev : int
        Limit of residual evaluations of the optimiser.
    ftol : float
        Relative change of chi^2 at which the optimiser stops; the default stops
        once chi^2 moves by well under 0.01, far below its statistical spread.
    min_p_value : float
        The goodness-of-fit test's threshold: with Poisson weights or sigma, the
        chi^2 test (P(chi^2_dof >= chi2) >= min_p_value); unweighted, the runs
        test on the residuals' signs (as few runs as observed or fewer). 0 turns
        the test off.

    Returns a FitResult. `success` is True only where the optimiser converged
    and the test passed; otherwise `message` says why. A parameter the data do
    not determine gets an infinite standard error; it, a parameter ending on a
    bound, times that look like ns or s and optical properties far outside
    tissue each give a RuntimeWarning naming them (kept in `warnings`).
    Every argument is checked first (ValueError/TypeError naming it).
    """
    started = time.perf_counter()
    t_ps, counts, irf, model = measurement_args(t_ps, counts, irf, model)
    t = chk.real_array("t_ps", t_ps, min_size=2)
    width = uniform_bin_width("t_ps", t)
    if np.shape(counts) != t.shape:
        raise ValueError(f"counts must have the shape of t_ps {t.shape}, got {np.shape(counts)}")
    y = chk.real_array("counts", counts)
    if np.any(y < 0):
        raise ValueError("counts must be >= 0")
    if not np.any(y > 0):
        raise ValueError("counts: the histogram holds no counts")
    if not isinstance(irf, (tuple, list)) or len(irf) != 2:
        raise TypeError("irf must be a pair (irf_t_ps, irf_counts)")
    irf_t = chk.real_array("irf_t_ps", irf[0], min_size=0)
    irf_c = chk.real_array("irf_counts", irf[1], min_size=0)
    if irf_t.shape != t.shape or not np.allclose(irf_t, t, rtol=0, atol=1e-6 * width):
        raise ValueError("irf: its bins must be those of the measurement (irf_t_ps equal to t_ps)")
    if irf_c.shape != t.shape:
        raise ValueError(f"irf: irf_counts must have the shape of t_ps {t.shape}, got {irf_c.shape}")
    if np.any(irf_c < 0) or not np.any(irf_c > 0):
        raise ValueError("irf: irf_counts must be finite, >= 0 and not all zero")
    if not isinstance(scale, str) or scale not in ("area", "free"):
        raise ValueError(f"scale must be 'area' or 'free', not {scale!r}")
    shift = chk.boolean("shift", shift)
    free_background, given_background = _background(background)
    eng = chk.engine(engine)
    threads = chk.integer("threads", threads, 0, 1024)
    max_nfev = chk.integer("max_nfev", max_nfev, 1, 100000)
    ftol = chk.real("ftol", ftol, minimum=1e-15, maximum=0.5)
    min_p = chk.real("min_p_value", min_p_value, minimum=0.0, maximum=0.5)
    base = _model_dict(model)
    layers0 = base["layers"]

    free = _free_names(free)
    if not free and not shift and scale == "area" and not free_background:
        raise ValueError("free: nothing to fit")
    if len(set(free)) != len(free):
        raise ValueError(f"free: a parameter is named twice in {free}")
    slots = []
    for name in free:
        m = chk.LAYER_PARAM.match(name)
        if not m:
            raise ValueError(f"free: unknown parameter {name!r} (use muspI, muaI, nI or lI with the layer number I)")
        layer = int(m.group(2))
        if layer > layers0.shape[0]:
            raise ValueError(f"free: {name!r} names layer {layer} of a model with {layers0.shape[0]} layers")
        slots.append((layer - 1, chk.LAYER_COLUMN[m.group(1)]))
    names = list(free) + (["shift"] if shift else []) + (["scale"] if scale == "free" else []) + (
        ["background"] if free_background else [])
    i_shift = len(free) if shift else None
    i_scale = len(free) + shift if scale == "free" else None
    i_bg = len(names) - 1 if free_background else None
    lo, hi = _bounds(names, bounds)
    exact = jacobian_mode(jac, eng, any(chk.LAYER_PARAM.match(n).group(1) == "n" for n in free)) == "exact"

    window = fit_range_slice(y, fit_range)
    bg_stderr = math.nan
    if background == "pre-pulse":
        given_background, bg_stderr = _pre_pulse(t, y)
    # The fit runs on counts divided by their peak c (and sigma by its median): the
    # residuals the optimiser sees are k times the true ones, whatever the data's units.
    c = float(np.max(y))
    yn = y / c
    yw = yn[window]
    bg_n = given_background / c if given_background is not None else 0.0
    if weights is None:
        mode, sigma, k = "none", np.ones_like(yw), 1.0 / c
    elif isinstance(weights, str):
        if weights != "poisson":
            raise ValueError(f"weights must be 'poisson', None or sigma (an array or one number), not {weights!r}")
        mode, sigma, k = "poisson", None, 1.0 / math.sqrt(c)
    else:
        s = np.asarray(weights)
        if s.dtype == object or not np.issubdtype(s.dtype, np.number) or np.iscomplexobj(s):
            raise TypeError("weights: sigma must be real numbers")
        if s.shape not in ((), y.shape):
            raise ValueError(f"weights: sigma must be one number or have the shape of counts {y.shape}, "
                             f"got {s.shape}")
        s = np.broadcast_to(s.astype(float), y.shape)
        if not (np.all(np.isfinite(s)) and np.all(s > 0)):
            raise ValueError("weights: sigma must be finite and > 0")
        med = float(np.median(s[window]))
        mode, sigma, k = "sigma", s[window] / med, med / c
    n_params = len(names) + (1 if scale == "area" else 0)
    dof = int(yw.size - n_params)
    if dof < 1:
        raise ValueError(f"fit_range holds {yw.size} bins, too few for {n_params} parameters")

    irf_n = irf_c / np.max(irf_c)
    convolution = _IrfConvolution(t, irf_n)  # the checks above are those of convolve_irf
    calls = 0
    cache: dict = {}
    kwargs = {key: v for key, v in base.items() if key != "layers"}
    # With derivatives the curve is held to EXACT_TOLERANCE (forward differences
    # need the engine's default). The call is checked once; each curve's layers by themselves.
    grid = {"times_ps": 10.0 * np.arange(1, 512 // kwargs.get("M", 1) + 1), "derivatives": free,
            "tolerance": EXACT_TOLERANCE} if exact else {}
    call = _checked(layers0, engine=eng, threads=threads, all_samples=True, **grid, **kwargs)[1]

    def curve(optical: tuple):
        nonlocal calls
        if optical not in cache:
            layers = layers0.copy()
            for (i, j), v in zip(slots, optical):
                layers[i, j] = v
            cv = _computed(chk.layers_array(layers), call)[0]
            calls += 1
            if len(cache) > 64:
                cache.clear()
            cache[optical] = (cv.t_ps, cv.reflectance, tuple(dict.fromkeys(cv.warnings)), cv.derivatives,
                              cv.unheld_error)
        return cache[optical]

    histograms: dict = {}
    value = -2 if exact and shift else -1  # the column of the curve itself

    def histogram(x):
        """convolve_irf of the curve at x; exact: its derivatives before it, and d/dshift after it if
        the shift is free."""
        optical = tuple(x[:len(free)].tolist())
        s = float(x[i_shift]) if shift else 0.0
        if optical + (s,) not in histograms:
            tm, rm, _, dr, _ = curve(optical)
            if not np.all(np.isfinite(rm)):
                raise ValueError(f"the model's curve is not finite at {dict(zip(free, optical))}")
            columns = rm if not exact or dr is None else np.column_stack([dr, rm])
            if len(histograms) > 8:
                histograms.clear()
            histograms[optical + (s,)] = convolution(tm, columns, s, with_shift=exact and shift)
        return histograms[optical + (s,)]

    def predicted(x, area=scale == "area", h=None):
        """The model in units of the data's peak over all bins, and its scale."""
        if h is None:
            h = histogram(x)[:, value]
        b = float(x[i_bg]) if free_background else bg_n
        if area:  # the data's area above the background in the fit range, never outside it
            hw = float(np.sum(h[window]))
            a = max(float(np.sum(yw)) - b * yw.size, 0.0) / hw if hw > 0 else 0.0
        else:
            a = float(x[i_scale])
        return a * h + b, a

    def residuals(x):
        m = predicted(x)[0][window]
        if mode == "poisson":
            return _poisson_deviance_residuals(m, yw)
        return (m - yw) / sigma

    x0 = [layers0[i, j] for (i, j) in slots] + ([0.0] if shift else []) + ([1.0] if scale == "free" else [])
    if free_background:  # from the pre-pulse level when there are bins before the pulse
        try:
            x0.append(_pre_pulse(t, y)[0] / c)
        except ValueError:
            x0.append(0.0)
    x0 = np.array(x0, dtype=float)
    # Scale and background in counts outside, in units of the peak inside.
    units_of = np.where(np.isin(np.arange(len(names)), [i for i in (i_scale, i_bg) if i is not None]), c, 1.0)
    lo, hi = list(np.array(lo) / units_of), list(np.array(hi) / units_of)
    if free_background:
        x0[i_bg] = min(max(x0[i_bg], lo[i_bg]), hi[i_bg])
    if scale == "free":  # start from the area scale
        x0[i_scale] = predicted(x0, area=True)[1]
    for i, name in enumerate(names):
        if not lo[i] <= x0[i] <= hi[i]:
            raise ValueError(f"the start value of {name} ({x0[i]}) is outside its bounds ({lo[i]}, {hi[i]})")
    x_scale = np.maximum(np.abs(x0), 1e-3)
    if shift:
        x_scale[i_shift] = width
    if scale == "free":
        x_scale[i_scale] = max(abs(x0[i_scale]), 1e-300)
    if free_background:  # a background of a few counts per bin is ~1e-3 of a peak of thousands
        x_scale[i_bg] = max(abs(x0[i_bg]), 1e-3)

    def exact_jacobian(x):
        # The model's derivatives through the (linear) IRF convolution, then the
        # area scale's and the residuals' own dependence on the model.
        H = histogram(x)[window]
        h = H[:, value]
        H = np.delete(H, value, axis=1)
        b = float(x[i_bg]) if free_background else bg_n
        J = np.zeros((h.size, len(names)))
        hw, rest = float(np.sum(h)), float(np.sum(yw)) - b * yw.size
        if scale == "area":
            a = max(rest, 0.0) / hw if hw > 0 else 0.0
            if rest > 0 and hw > 0:  # a = rest / sum(h): d(a h) = a (dh - h sum(dh) / sum(h))
                J[:, :H.shape[1]] = a * (H - np.outer(h, H.sum(axis=0)) / hw)
        else:
            a = float(x[i_scale])
            J[:, :H.shape[1]] = a * H
            J[:, i_scale] = h
        if free_background:
            J[:, i_bg] = 1.0 - (h * yw.size / hw if scale == "area" and rest > 0 and hw > 0 else 0.0)
        m = a * h + b
        if mode == "poisson":  # d r / d m = |m - y| / (m sqrt(deviance)) -> 1/sqrt(m) as m -> y
            m = np.maximum(m, 1e-300)
            r = _poisson_deviance_residuals(m, yw)
            gap = np.abs(m - yw)
            with np.errstate(divide="ignore", invalid="ignore"):
                slope = np.where(gap > 1e-6 * m, gap / (m * np.abs(r)), 1.0 / np.sqrt(m))
            return J * slope[:, None]
        return J / sigma[:, None]

    def jacobian(x):
        # Forward differences; shift and scale reuse the cached curve (no model call).
        r0 = residuals(x)
        J = np.empty((r0.size, x.size))
        for i in range(x.size):
            step = 1e-5 * max(abs(x[i]), 1.0 if i == i_shift else x_scale[i] if i in (i_scale, i_bg) else 1e-4)
            if x[i] + step > hi[i]:
                step = -step
            xp = x.copy()
            xp[i] += step
            J[:, i] = (residuals(xp) - r0) / step
        return J

    start = dict(zip(names, x0 * units_of))
    res = scipy.optimize.least_squares(residuals, x0, jac=exact_jacobian if exact else jacobian, bounds=(lo, hi),
                                       x_scale=x_scale,
                                       method="trf", max_nfev=max_nfev, ftol=ftol, xtol=1e-7, gtol=1e-15)
    x = res.x
    r_opt = res.fun
    with np.errstate(over="ignore"):  # absurd sigma: chi2 beyond the doubles fails the test below
        chi2 = float(np.sum((r_opt / k) ** 2)) if k > 0 else math.inf

    # Covariance (J^T J)^-1 from the SVD of the column-normalised Jacobian: the
    # columns differ by orders of magnitude, and a rank below the number of
    # parameters leaves a combination the data do not constrain.
    J = res.jac
    norms = np.linalg.norm(J, axis=0)
    Js = J / np.where(norms > 0, norms, 1.0)
    _, sv, vt = np.linalg.svd(Js, full_matrices=False)
    keep = sv > _RANK_CUT * sv.max() if sv.size and sv.max() > 0 else np.zeros(sv.size, bool)
    nz = np.where(norms > 0, norms, 1.0)
    cov = (vt[keep].T / sv[keep] ** 2) @ vt[keep] / np.outer(nz, nz)
    # The optimiser's residuals are k times the true ones: J^T J is k^2 times too large.
    cov = cov * k**2 if mode != "none" else cov * float(r_opt @ r_opt) / dof
    stderr_in = np.sqrt(np.clip(np.diag(cov), 0, None))
    stderr = stderr_in * units_of  # scale and background back in counts (the square of 1e300 counts overflows)
    with np.errstate(over="ignore", invalid="ignore"):
        cov = cov * np.outer(units_of, units_of)
    span = np.array(hi) - np.array(lo)
    loose = (norms == 0) | np.any(np.abs(vt[~keep]) > 1e-3, axis=0) | (stderr_in > span)
    stderr[loose] = np.inf
    cov[loose, :] = np.nan
    cov[:, loose] = np.nan
    tol = 1e-6 * x_scale
    at_bound = tuple(n for n, v, a, b, e in zip(names, x, lo, hi, tol) if v - a <= e or b - v <= e)
    undetermined = tuple(n for n, flag in zip(names, loose) if flag)

    # Goodness of fit.
    if mode == "none":
        gof, p = "runs test", _runs_p_value(r_opt)
    else:
        gof, p = "chi2 test", float(scipy.stats.chi2.sf(chi2, dof)) if math.isfinite(chi2) else 0.0
    converged = bool(res.status > 0)
    acceptable = p >= min_p
    flat = no_pulse(y[window], chi2, n_params, min_p) if mode == "poisson" and min_p > 0 else ""
    parts = [str(res.message).rstrip(".") if converged else f"the optimiser did not converge: {res.message}"]
    if not acceptable:
        parts.append(f"the model does not describe the data: chi2/dof = {chi2 / dof:.4g} over {dof} degrees of "
                     f"freedom, {gof} p = {p:.2g} < {min_p:g}")
    message = "; ".join(parts + [flat] * bool(flat))
    acceptable = acceptable and not flat

    optical = tuple(float(v) for v in x[:len(free)])
    tm, rm, *_ = curve(optical)  # the fitted curve by the direct sum (no transform's rounding in its tail)
    pred, a_n = predicted(x, h=convolve_irf(tm, rm, t, irf_n, shift_ps=float(x[i_shift]) if shift else 0.0))
    level = float(x[i_bg]) * c if free_background else given_background
    fitted_layers = layers0.copy()
    for (i, j), v in zip(slots, optical):
        fitted_layers[i, j] = v
    fitted_model = dict(base)
    fitted_model["layers"] = [Layer(*row) for row in fitted_layers]
    values = x * units_of

    # The final model's own warnings, once; those about samples beyond the engine's tolerance
    # only where they can move the fit (the least noise of a bin in the fit range: Poisson's,
    # the given sigma, or unweighted the residuals' own).
    if mode == "poisson":
        noise = math.sqrt(max(float(np.min(pred[window])) * c, 1.0))
    elif mode == "sigma":
        noise = float(np.min(sigma)) * k * c
    else:
        noise = float(np.sqrt(np.mean((r_opt / k) ** 2))) if k > 0 else math.inf
    unheld = curve(optical)[4] * float(np.max(np.abs(rm))) * width * a_n * c
    notes = unheld_notes(curve(optical)[2], unheld, noise, yw.size)
    notes += _time_warnings(width, t.size) + _tissue_warnings(fitted_layers, free)
    for n in at_bound:
        i = names.index(n)
        end = lo[i] if x[i] - lo[i] <= tol[i] else hi[i]
        if n == "background" and end == 0.0:
            why = "the data show no background above the noise; its standard error does not hold"
        else:
            why = "its standard error does not hold; widen the bound or check the start values"
        notes.append(f"{n} = {values[i]:.6g} ended at its bound {end * units_of[i]:g} {chk.unit(n)}: {why}")
    notes += [f"{n} is not determined by the data (standard error inf): fix it or fit other data" for n in undetermined]
    if not (converged and acceptable):
        notes.append(f"fit not trusted: {message}")
    for w in notes:
        warnings.warn(w, RuntimeWarning, stacklevel=2)
    return FitResult(
        names=tuple(names), values={n: float(v) for n, v in zip(names, values)},
        stderr={n: float(e) for n, e in zip(names, stderr)}, covariance=cov, chi2=chi2, dof=dof,
        chi2_red=chi2 / dof, residuals=r_opt / k, fit_slice=window, t_ps=t, counts=y, fitted=pred * c,
        scale=a_n * c, shift_ps=float(x[i_shift]) if shift else 0.0, model=fitted_model, model_calls=calls,
        nfev=int(res.nfev), wall_time_s=time.perf_counter() - started, success=converged and acceptable,
        message=message, converged=converged, p_value=p, gof_test=gof, start=start,
        bounds={n: (a * u, b * u) for n, a, b, u in zip(names, lo, hi, units_of)}, at_bound=at_bound,
        undetermined=undetermined, irf=irf_n, units={n: chk.unit(n) for n in names + ["scale"]},
        warnings=tuple(notes), extra={"background": level, "background_stderr": float(
            stderr[i_bg]) if free_background else bg_stderr, "background_source": "fitted" if free_background else
            "pre-pulse mean" if background == "pre-pulse" else "given"})
