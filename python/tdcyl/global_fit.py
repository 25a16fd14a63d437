"""Global fit of many TCSPC curves (distances x wavelengths) sharing the layer parameters.

Three separate pieces, the optimiser behind them (_global_problem):
- the channels (_Channel): one histogram each, with its own IRF, distance,
  wavelength and fit range; its expected counts are scale * (model (x) IRF)(t - shift)
  + background;
- the parameter set (ParameterSet, _global_params): names, values, bounds, and how they make the
  layers of the model at each wavelength (plain, per-wavelength or spectral);
- the result (GlobalFitResult, _global_result): values, errors, intervals, derived quantities,
  per-channel fits; plotting reads results and is imported only when asked.

The objective is the Poisson deviance summed over the channels (maximum likelihood
for counts), minimised by scipy.optimize.least_squares on the signed square roots
of the deviance. Its Jacobian is exact on the fast engine: one model call per
wavelength (the distances of a wavelength share it) gives the curves with their
derivatives by the layers' mu_a, mu_s' and thickness, the chain rule takes them
to the spectral parameters, the IRF convolution to the bins, and the per-channel
shift, scale and background enter analytically; jac="numeric" takes forward
differences instead (one model call per wavelength and parameter).
"""
from __future__ import annotations

import time
import warnings

import numpy as np
import scipy.stats

from ._checks import engine as _engine, integer as _integer
from ._fit_channel import jacobian_mode, unheld_notes
from ._global_checks import background_option, check_arguments, errors, model_parts, verdict
from ._global_params import ParameterSet
from ._global_problem import _SHIFT_BOUNDS, _channels, _Problem, _profile, _spread_starts
from ._global_result import GlobalFitResult, _derived

__all__ = ["fit_global", "GlobalFitResult", "ParameterSet"]

_AT_BEST = 0.05  # deviance units: starts ending this close to the best reached it


def fit_global(channels, model, free, *, spectral=None, irf=None, bounds=None, fit_range=(0.8, 0.01),
               shift=True, scale="channel", efficiency=None, background=None, lambda0_nm=800.0,
               intervals="linear", level=0.95, starts=3, seed=0, engine=None, threads=0, max_nfev=100,
               ftol=1e-6, jac=None, min_p_value=1e-4, progress=None) -> GlobalFitResult:
    """Fits shared layer parameters to many histograms at once (distances and wavelengths).

    Parameters
    ----------
    channels : sequence of dicts, or a measurement
        Each channel: t_ps, counts, irf (a pair (irf_t_ps, irf_counts) on the same
        bins; None for deconvolved gates, as some instruments export them: the
        model integrated over each gate, t_ps its centre in flight time), rho (mm), optional wavelength_nm (None or NaN: not given) and
        fit_range; objects with these attributes serve too. A measurement object with t_ps, counts of shape
        (channels, bins), rho_mm and wavelength_nm per channel is split into its
        channels (give the IRF through irf=: one pair for all or one per channel).
    model : dict
        Arguments of tdcyl.reflectance without rho: layers (start and fixed values
        of muspI, muaI, nI, lI), radius, rho0, phi, M, mmax.
    free : sequence of str
        Parameters to fit: muaI, muspI, nI, lI (one value for every channel; for
        channels of one wavelength), muaI@<nm>, muspI@<nm> (the channels of that
        wavelength), or the spectral HbO2_I, HHb_I (uM), water_I, lipid_I (volume
        fractions), a_I (1/mm at lambda0_nm), b_I, l_I.
    spectral : dict, optional
        Start (free) or fixed values of spectral and per-wavelength parameters. A
        layer named here by a chromophore takes mu_a = sum_c eps_c C_c (absent
        chromophores 0); by a_I (with b_I), mu_s' = a (lambda / lambda0)^-b.
    bounds : dict, optional
        {name: (low, high)} of layer parameters, overriding wide defaults; "shift":
        (low, high) in ps bounds every channel's shift, and the extra starts then
        draw a common shift between them.
    shift : bool
        Fit a time shift (ps) of each channel.
    scale : "channel" or "shared"
        One scale per channel, or one scale for all times `efficiency` (the
        relative detector efficiencies, default all 1).
    background : None or "free"
        "free": fit a constant background (counts per bin) of each channel, as
        tdcyl.fit(background="free") does for one curve (True/False: deprecated
        spellings of "free"/None).
    intervals : "linear" or "profile"
        Intervals at `level` from the standard errors, or from the profile of the
        deviance (each layer parameter fixed in turn, the rest refitted); where the
        profile differs from the linearised interval by more than a third, a
        warning names the parameter.
    starts, seed : int
        Starts of the optimiser: the given values, then starts-1 drawn over the
        bounds with the seed; the best deviance is kept.
    progress : callable(start, starts, deviance), optional
        Called as each start of the optimiser ends (a long fit's sign of life).
    engine, threads, max_nfev, ftol, jac, min_p_value : as for tdcyl.fit. jac=None is "exact" on the fast
        engine unless a refractive index is free; "exact" holds every curve to 1e-9 of its
        peak, as the single-curve fit does.

    Returns
    -------
    GlobalFitResult. `success` is True only where the optimiser converged, the
    chi2 test of the summed deviance passed (p >= min_p_value) and every
    channel shows a pulse (a constant level does not describe it as well);
    otherwise `message` says why. As in tdcyl.fit, a parameter the data do not
    determine gets an infinite standard error, and it and a parameter ending on
    a bound are named in a RuntimeWarning (`at_bound`, `undetermined`).

    Examples
    --------
    >>> r = tdcyl.fit_global(channels, {"layers": layers, "radius": 60.0},
    ...                      ["HbO2_1", "HHb_1", "a_1", "b_1"], spectral=start)  # doctest: +SKIP
    >>> r.success, r.values["HbO2_1"], r.stderr["HbO2_1"]  # doctest: +SKIP
    """
    started = time.perf_counter()
    eng = _engine(engine)
    threads = _integer("threads", threads, 0, 1024)
    starts = _integer("starts", starts, 1, 1000)
    seed, max_nfev, ftol, level, min_p = check_arguments(seed, max_nfev, ftol, level, min_p_value, bounds)
    background = background_option(background) == "free"
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be a callable(start, starts, deviance), not {type(progress).__name__}")
    base, layers0 = model_parts(model)
    _check_choices(scale, intervals, shift, background)
    chans = _channels(channels, irf, fit_range)
    eff = _efficiencies(efficiency, scale, len(chans))
    if spectral is not None and not isinstance(spectral, dict):
        raise TypeError("spectral must be a dict {name: value}")
    params = ParameterSet(layers0, spectral or {}, free, bounds, [c.wavelength for c in chans], lambda0_nm)
    exact = jacobian_mode(jac, eng, params.index_free()) == "exact"
    problem = _Problem(chans, params, base, shift, scale, eff, background, eng, threads, exact)
    dof = problem.n_bins - problem.size
    if dof < 1:
        raise ValueError(f"the fit ranges hold {problem.n_bins} bins, too few for {problem.size} parameters")
    shift_bounds = _shift_bounds(bounds, shift)
    lo, hi = problem.bounds(shift_bounds or _SHIFT_BOUNDS)
    x, dev, res, at_best = _best_start(problem, params, starts, seed, shift_bounds, lo, hi, max_nfev, ftol, progress)

    names, n_free = problem.names, len(params.free)
    cov, err, loose, pairs = errors(problem.jacobian(x, lo, hi), lo, hi, names, n_free)
    z = float(scipy.stats.norm.ppf(0.5 + level / 2))
    values, stderr = _reported(problem, names, x, err, len(chans))
    ivals = {n: (values[n] - z * stderr[n], values[n] + z * stderr[n]) for n in names}
    # The model's own doubts at the result, once; samples beyond the engine's tolerance only
    # where they can move the fit.
    notes = unheld_notes(problem.warnings_at(x), *problem.unheld_bound(x), problem.n_bins)
    outcome, more = verdict(res, dev, dof, min_p, names, x, lo, hi, loose, chans, problem.residuals(x),
                            len(params.free) + bool(shift) + 1 + bool(background))
    notes += more + pairs
    if intervals == "profile":
        notes += _profile_intervals(problem, x, dev, err, z, level, lo, hi, max_nfev, ftol, n_free, ivals)
    for note in notes:
        warnings.warn(note, RuntimeWarning, stacklevel=2)

    derived = _derived(params, names, x, cov)
    out_channels = _channel_fits(problem, chans, x)
    return GlobalFitResult(
        names=tuple(names), values=values, stderr=stderr, covariance=cov, intervals=ivals,
        interval_kind=intervals, level=level, derived=derived, chi2=dev, dof=dof, chi2_red=dev / dof,
        channels=out_channels, starts=starts, starts_at_best=int(at_best), model_calls=problem.calls,
        wall_time_s=time.perf_counter() - started, warnings=notes, parameters=params, **outcome)


def _check_choices(scale, intervals, shift, background) -> None:
    if scale not in ("channel", "shared"):
        raise ValueError(f"scale must be 'channel' or 'shared', not {scale!r}")
    if intervals not in ("linear", "profile"):
        raise ValueError(f"intervals must be 'linear' or 'profile', not {intervals!r}")
    for name, flag in (("shift", shift), ("background", background)):
        if not isinstance(flag, (bool, np.bool_)):
            raise TypeError(f"{name} must be True or False")


def _efficiencies(efficiency, scale, K: int) -> np.ndarray:
    """The relative detector efficiencies of the K channels (all 1 when none are given)."""
    if efficiency is None:
        return np.ones(K)
    if scale != "shared":
        raise ValueError("efficiency: relative efficiencies need scale='shared'")
    eff = np.asarray(efficiency, dtype=float)
    if eff.shape != (K,) or not np.all(np.isfinite(eff)) or not np.all(eff > 0):
        raise ValueError(f"efficiency must hold {K} finite values > 0, one per channel")
    return eff


def _shift_bounds(bounds, shift):
    """bounds["shift"] as (low, high) in ps, checked; None when not given."""
    shift_bounds = dict(bounds or {}).get("shift")
    if shift_bounds is None:
        return None
    if not shift or len(shift_bounds) != 2 or not shift_bounds[0] <= 0 <= shift_bounds[1] or \
            not shift_bounds[0] < shift_bounds[1]:
        raise ValueError(f"bounds['shift'] must be (low, high) in ps with low <= 0 <= high and a fitted "
                         f"shift, got {shift_bounds}")
    return (float(shift_bounds[0]), float(shift_bounds[1]))


def _best_start(problem, params, starts, seed, shift_bounds, lo, hi, max_nfev, ftol, progress):
    """(x, deviance, solver result, starts that reached the best) of the best of the starts; the problem
    keeps the reference scales of that start."""
    best = None
    outcomes = []
    for layer_start, shift_start in _spread_starts(params, starts, seed, shift_bounds):
        x0 = problem.start_vector(layer_start, shift_start)
        ref = problem.ref.copy()
        x, dev, res = problem.solve(x0, lo, hi, max_nfev=max_nfev, ftol=ftol)
        outcomes.append(dev)
        if progress is not None:
            progress(len(outcomes), starts, dev)
        if best is None or dev < best[1]:
            best = (x, dev, res, ref)
    x, dev, res, problem.ref = best
    return x, dev, res, sum(d - dev <= _AT_BEST for d in outcomes)


def _reported(problem, names, x, err, K: int) -> tuple[dict, dict]:
    """Values and standard errors by name; the scales in counts per unit model (not the internal factor)."""
    values = {n: float(v) for n, v in zip(names, x)}
    stderr = {n: float(e) for n, e in zip(names, err)}
    for k in range(K):
        n = "scale" if problem.shared_scale else f"scale[{k}]"
        values[n] = float(x[problem.i_scale[k]] * problem.ref[k])
        stderr[n] = float(err[problem.i_scale[k]] * problem.ref[k])
    return values, stderr


def _profile_intervals(problem, x, dev, err, z, level, lo, hi, max_nfev, ftol, n_free, ivals) -> list:
    """Replaces the layer parameters' intervals in ivals by those of the deviance's profile; the notes on
    those that differ from the linearised ones by more than a third."""
    names, notes = problem.names, []
    target = float(scipy.stats.chi2.ppf(level, 1))
    for j in range(n_free):
        ivals[names[j]] = _profile(problem, x, dev, j, err[j], z, target, lo, hi, max_nfev, ftol)
        lin = z * err[j]
        a, b = ivals[names[j]]
        if lin > 0 and max(abs((x[j] - a) - lin), abs((b - x[j]) - lin)) > lin / 3:
            notes.append(f"{names[j]}: the linearised error is off by more than a third "
                         f"(profile interval [{a:.4g}, {b:.4g}], linearised ±{lin:.3g})")
    return notes


def _channel_fits(problem, chans, x) -> list:
    """Per channel: its data, the fitted counts and the residuals of its fit range."""
    pred = problem.predicted(x)
    out_channels = []
    r_all, o = problem.residuals(x), 0
    for k, c in enumerate(chans):
        n = c.window.stop - c.window.start
        out_channels.append(dict(label=c.label, rho=c.rho, wavelength_nm=c.wavelength, t_ps=c.t, counts=c.y,
                                 fitted=pred[k], fit_slice=c.window, residuals=r_all[o:o + n]))
        o += n
    return out_channels
