"""Least-squares fit of the model, convolved with a measured IRF, to a TCSPC histogram.

The pieces: the histogram's fit range, background and residuals (_fit_channel),
the parameters and their bounds (_fit_params), the residuals and Jacobians the
optimiser runs on (_fit_problem, _fit_solver), the result (_fit_result); the
checks, the statistics and the verdict are here.
"""
from __future__ import annotations

import math
import time
import warnings
from dataclasses import dataclass

import numpy as np
import scipy.stats

from . import _checks as chk
from ._fit_channel import (PRE_PULSE_MARGIN_PS, _background, _runs_p_value, fit_range_slice,  # noqa: F401
                           jacobian_mode, no_pulse, pre_pulse_background, unheld_notes)
from ._fit_params import _bounds, _free_names, _model_dict, _time_warnings, _tissue_warnings, measurement_args
from ._fit_problem import FitArgs, FitData, FitProblem, Layout, fit_data
from ._fit_result import FitResult
from .irf import convolve_irf, uniform_bin_width
from .model import Layer

__all__ = ["fit", "FitResult", "fit_range_slice", "pre_pulse_background"]

# Singular values of the column-normalised Jacobian below this fraction of the
# largest: a combination of parameters the data do not constrain.
_RANK_CUT = 1e-7


@dataclass
class _Statistics:
    """chi2, covariance and standard errors (scale and background in counts), the tolerance of
    the bound test, and the parameters at a bound or not determined by the data."""
    chi2: float
    cov: np.ndarray
    stderr: np.ndarray
    tol: np.ndarray
    at_bound: tuple
    undetermined: tuple


@dataclass
class _Verdict:
    """The goodness-of-fit test and its p-value, whether the optimiser converged and the fit is
    trusted (success), and the message saying why not."""
    gof: str
    p: float
    converged: bool
    success: bool
    message: str


@dataclass
class _Final:
    """The fitted curve (rm, its warnings and unheld error), the prediction in units of the
    peak and its scale a_n, and the fitted layers."""
    rm: np.ndarray
    notes: tuple
    unheld: float
    pred: np.ndarray
    a_n: float
    layers: np.ndarray


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
    args = _fit_args(t_ps, counts, irf, model, scale, shift, background, engine, threads, max_nfev, ftol,
                     min_p_value)
    layout = _layout(free, args, bounds)
    exact = jacobian_mode(jac, args.eng, any(chk.LAYER_PARAM.match(n).group(1) == "n" for n in layout.free)) == "exact"
    data = fit_data(args, layout, fit_range, weights)
    problem = FitProblem(args, layout, data, exact)
    res = problem.solve()
    stats = _statistics(res, problem)
    verdict = _verdict(res, stats.chi2, data, args.min_p, args.y)
    final = _final(problem, res.x)
    notes = _notes(problem, res, stats, verdict, final)
    for w in notes:
        warnings.warn(w, RuntimeWarning, stacklevel=2)
    return _result(problem, res, stats, verdict, final, notes, time.perf_counter() - started)


def _fit_args(t_ps, counts, irf, model, scale, shift, background, engine, threads, max_nfev, ftol,
              min_p_value) -> FitArgs:
    """The arguments of `fit` checked, in the order its docstring gives them."""
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
    return FitArgs(t, width, y, irf_c, scale, shift, background, free_background, given_background, eng, threads,
                   max_nfev, ftol, min_p, base, base["layers"])


def _layout(free, args: FitArgs, bounds) -> Layout:
    """The parameter vector of the fit: names, the layers' cells of the free layer parameters, the
    indices of shift, scale and background (None where not fitted) and the bounds."""
    layers0 = args.layers0
    free = _free_names(free)
    if not free and not args.shift and args.scale == "area" and not args.free_background:
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
    shift, free_scale = args.shift, args.scale == "free"
    names = list(free) + (["shift"] if shift else []) + (["scale"] if free_scale else []) + (
        ["background"] if args.free_background else [])
    i_shift = len(free) if shift else None
    i_scale = len(free) + shift if free_scale else None
    i_bg = len(names) - 1 if args.free_background else None
    lo, hi = _bounds(names, bounds)
    return Layout(free, slots, names, i_shift, i_scale, i_bg, lo, hi)


def _statistics(res, problem: FitProblem) -> _Statistics:
    """chi2, the covariance and standard errors (in counts for scale and background), and the
    parameters the data do not determine or that ended on a bound."""
    d, names, units_of = problem.d, problem.p.names, problem.units_of
    k, r_opt = d.k, res.fun
    with np.errstate(over="ignore"):  # absurd sigma: chi2 beyond the doubles fails the test below
        chi2 = float(np.sum((r_opt / k) ** 2)) if k > 0 else math.inf

    # Covariance (J^T J)^-1 from the SVD of the column-normalised Jacobian: the
    # columns differ by orders of magnitude, and a rank below the number of
    # parameters leaves a combination the data do not constrain.
    J = res.jac
    with np.errstate(over="ignore"):  # a column whose square overflows is undetermined (below)
        norms = np.linalg.norm(J, axis=0)
    Js = J / np.where(norms > 0, norms, 1.0)
    _, sv, vt = np.linalg.svd(Js, full_matrices=False)
    keep = sv > _RANK_CUT * sv.max() if sv.size and sv.max() > 0 else np.zeros(sv.size, bool)
    nz = np.where(norms > 0, norms, 1.0)
    cov = (vt[keep].T / sv[keep] ** 2) @ vt[keep] / np.outer(nz, nz)
    # The optimiser's residuals are k times the true ones: J^T J is k^2 times too large.
    cov = cov * k**2 if d.mode != "none" else cov * float(r_opt @ r_opt) / d.dof
    stderr_in = np.sqrt(np.clip(np.diag(cov), 0, None))
    stderr = stderr_in * units_of  # scale and background back in counts (the square of 1e300 counts overflows)
    with np.errstate(over="ignore", invalid="ignore"):
        cov = cov * np.outer(units_of, units_of)
    lo, hi, x = problem.lo, problem.hi, res.x
    span = np.array(hi) - np.array(lo)
    loose = (norms == 0) | ~np.isfinite(norms) | np.any(np.abs(vt[~keep]) > 1e-3, axis=0) | (stderr_in > span)
    stderr[loose] = np.inf
    cov[loose, :] = np.nan
    cov[:, loose] = np.nan
    tol = 1e-6 * problem.x_scale
    at_bound = tuple(n for n, v, a, b, e in zip(names, x, lo, hi, tol) if v - a <= e or b - v <= e)
    undetermined = tuple(n for n, flag in zip(names, loose) if flag)
    return _Statistics(chi2, cov, stderr, tol, at_bound, undetermined)


def _verdict(res, chi2: float, d: FitData, min_p: float, y) -> _Verdict:
    """The goodness-of-fit test, whether the fit converged and is acceptable, and the message."""
    if d.mode == "none":
        gof, p = "runs test", _runs_p_value(res.fun)
    else:
        gof, p = "chi2 test", float(scipy.stats.chi2.sf(chi2, d.dof)) if math.isfinite(chi2) else 0.0
    converged = bool(res.status > 0)
    acceptable = p >= min_p
    flat = no_pulse(y[d.window], chi2, d.n_params, min_p) if d.mode == "poisson" and min_p > 0 else ""
    parts = [str(res.message).rstrip(".") if converged else f"the optimiser did not converge: {res.message}"]
    if not acceptable:
        parts.append(f"the model does not describe the data: chi2/dof = {chi2 / d.dof:.4g} over {d.dof} degrees of "
                     f"freedom, {gof} p = {p:.2g} < {min_p:g}")
    message = "; ".join(parts + [flat] * bool(flat))
    acceptable = acceptable and not flat
    return _Verdict(gof, p, converged, converged and acceptable, message)


def _final(problem: FitProblem, x) -> _Final:
    """The fitted curve (by the direct sum: no transform's rounding in its tail), the prediction
    in units of the peak, its scale, and the fitted layers."""
    a, p = problem.a, problem.p
    optical = tuple(float(v) for v in x[:len(p.free)])
    tm, rm, notes, _, unheld = problem.curve(optical)
    pred, a_n = problem.predicted(x, h=convolve_irf(tm, rm, a.t, problem.irf_n,
                                                      shift_ps=float(x[p.i_shift]) if a.shift else 0.0))
    return _Final(rm, notes, unheld, pred, a_n, problem.layers(optical))


def _notes(problem: FitProblem, res, stats: _Statistics, verdict: _Verdict, final: _Final) -> list:
    """The warnings of the fit: the final model's own, once; those about samples beyond the
    engine's tolerance only where they can move the fit (the least noise of a bin in the fit
    range: Poisson's, the given sigma, or unweighted the residuals' own); times, tissue, bounds,
    undetermined parameters and an untrusted fit."""
    a, p, d = problem.a, problem.p, problem.d
    x, lo, hi, units_of, tol = res.x, problem.lo, problem.hi, problem.units_of, stats.tol
    if d.mode == "poisson":
        noise = math.sqrt(max(float(np.min(final.pred[d.window])) * d.c, 1.0))
    elif d.mode == "sigma":
        noise = float(np.min(d.sigma)) * d.k * d.c
    else:
        noise = float(np.sqrt(np.mean((res.fun / d.k) ** 2))) if d.k > 0 else math.inf
    unheld = final.unheld * float(np.max(np.abs(final.rm))) * a.width * final.a_n * d.c
    notes = unheld_notes(final.notes, unheld, noise, d.yw.size)
    notes += _time_warnings(a.width, a.t.size) + _tissue_warnings(final.layers, p.free)
    for n in stats.at_bound:
        i = p.names.index(n)
        end = lo[i] if x[i] - lo[i] <= tol[i] else hi[i]
        if n == "background" and end == 0.0:
            why = "the data show no background above the noise; its standard error does not hold"
        else:
            why = "its standard error does not hold; widen the bound or check the start values"
        notes.append(f"{n} = {x[i] * units_of[i]:.6g} ended at its bound {end * units_of[i]:g} {chk.unit(n)}: {why}")
    notes += [f"{n} is not determined by the data (standard error inf): fix it or fit other data"
              for n in stats.undetermined]
    if not verdict.success:
        notes.append(f"fit not trusted: {verdict.message}")
    return notes


def _result(problem: FitProblem, res, stats: _Statistics, verdict: _Verdict, final: _Final, notes: list,
            wall_time_s: float) -> FitResult:
    """The FitResult, scale and background in counts."""
    a, p, d = problem.a, problem.p, problem.d
    x, names, units_of, free_bg = res.x, p.names, problem.units_of, a.free_background
    values = x * units_of
    fitted_model = dict(a.base)
    fitted_model["layers"] = [Layer(*row) for row in final.layers]
    level = float(x[p.i_bg]) * d.c if free_bg else d.given_background
    return FitResult(
        names=tuple(names), values={n: float(v) for n, v in zip(names, values)},
        stderr={n: float(e) for n, e in zip(names, stats.stderr)}, covariance=stats.cov, chi2=stats.chi2,
        dof=d.dof, chi2_red=stats.chi2 / d.dof, residuals=res.fun / d.k, fit_slice=d.window, t_ps=a.t,
        counts=a.y, fitted=final.pred * d.c, scale=final.a_n * d.c,
        shift_ps=float(x[p.i_shift]) if a.shift else 0.0, model=fitted_model, model_calls=problem.calls,
        nfev=int(res.nfev), wall_time_s=wall_time_s, success=verdict.success, message=verdict.message,
        converged=verdict.converged, p_value=verdict.p, gof_test=verdict.gof, start=problem.start_values,
        bounds={n: (lo * u, hi * u) for n, lo, hi, u in zip(names, problem.lo, problem.hi, units_of)},
        at_bound=stats.at_bound, undetermined=stats.undetermined, irf=problem.irf_n,
        units={n: chk.unit(n) for n in names + ["scale"]}, warnings=tuple(notes),
        extra={"background": level, "background_stderr": float(stats.stderr[p.i_bg]) if free_bg else d.bg_stderr,
               "background_source": "fitted" if free_bg else "pre-pulse mean" if a.background == "pre-pulse" else
               "given"})
