"""fit_global's argument checks and its verdict on the fit (convergence, goodness of fit, parameters
on a bound or not determined by the data), by the rules tdcyl.fit applies to one curve."""
from __future__ import annotations

import math
import warnings

import numpy as np
import scipy.stats

from . import _checks as chk
from ._fit_channel import no_pulse

# Singular values of the column-normalised Jacobian below this fraction of the largest: a
# combination of parameters the data do not constrain (as in fit).
_RANK_CUT = 1e-7


def background_option(background):
    """None or "free"; the former True/False still work, with a DeprecationWarning."""
    if isinstance(background, (bool, np.bool_)):
        warnings.warn("fit_global(background=True/False) is deprecated: write background='free' or None, as "
                      "for tdcyl.fit", DeprecationWarning, stacklevel=3)
        return "free" if background else None
    if background is not None and (not isinstance(background, str) or background != "free"):
        raise ValueError(f"background must be 'free' (one fitted per channel) or None, not {background!r}")
    return background


def check_arguments(seed, max_nfev, ftol, level, min_p_value, bounds):
    """The numeric arguments, each checked by name; returns them normalised."""
    seed = chk.integer("seed", seed, 0, 2**63 - 1)
    max_nfev = chk.integer("max_nfev", max_nfev, 1, 100000)
    ftol = chk.real("ftol", ftol, minimum=1e-15, maximum=0.5)
    level = chk.real("level", level, minimum=0.0, strict=True, maximum=1.0)
    if not level < 1:
        raise ValueError(f"level must be in (0, 1), got {level}")
    min_p = chk.real("min_p_value", min_p_value, minimum=0.0, maximum=0.5)
    if bounds is not None:
        if not isinstance(bounds, dict):
            raise TypeError(f"bounds must be a dict {{name: (low, high)}}, not {type(bounds).__name__}")
        for name, b in bounds.items():
            lo, hi = chk.real_pair(f"bounds[{name!r}]", b)
            if not lo < hi:
                raise ValueError(f"bounds[{name!r}] must be (low, high) with low < high, got {b!r}")
    return seed, max_nfev, ftol, level, min_p


def model_parts(model) -> tuple[dict, np.ndarray]:
    """(the geometry, the (N, 4) layers) of fit_global's model dict, checked."""
    if not isinstance(model, dict):
        raise TypeError("model must be a dict of tdcyl.reflectance arguments without rho (layers, radius, ...)")
    unknown = set(model) - {"layers", "radius", "rho0", "phi", "M", "mmax"}
    if unknown:
        raise ValueError(f"model: unknown keys {sorted(unknown)} (rho comes from the channels)")
    for key in ("layers", "radius"):
        if key not in model:
            raise ValueError(f"model: {key!r} is missing")
    return {k: v for k, v in model.items() if k != "layers"}, chk.layers_array(model["layers"])


def errors(J, lo, hi, names, n_free):
    """(covariance, standard errors, which are undetermined, notes on pairs correlating beyond 0.95).
    An undetermined parameter's error is inf and its covariance NaN, as in fit; the correlations come
    from the pseudo-inverse before that, so they still name the pair the data cannot separate."""
    from ._global_problem import _covariance
    cov = _covariance(J)
    err = np.sqrt(np.clip(np.diag(cov), 0, None))
    loose = undetermined(J, err, lo, hi)
    s = np.maximum(err[:n_free], 1e-300)
    corr = cov[:n_free, :n_free] / np.outer(s, s)
    notes = [f"{names[i]} and {names[j]} correlate ({corr[i, j]:+.3f}): not separable with these data: fix one "
             "or add distances/wavelengths" for i in range(n_free) for j in range(i + 1, n_free)
             if abs(corr[i, j]) > 0.95]
    err[loose] = np.inf
    cov[loose, :] = np.nan
    cov[:, loose] = np.nan
    return cov, err, loose, notes


def undetermined(J, err, lo, hi) -> np.ndarray:
    """Which parameters the data do not determine: a zero column of the Jacobian, a part in a
    direction of (nearly) zero singular value, or a standard error wider than the bounds."""
    norms = np.linalg.norm(J, axis=0)
    Js = J / np.where(norms > 0, norms, 1.0)
    _, sv, vt = np.linalg.svd(Js, full_matrices=False)
    keep = sv > _RANK_CUT * sv.max() if sv.size and sv.max() > 0 else np.zeros(sv.size, bool)
    return (norms == 0) | np.any(np.abs(vt[~keep]) > 1e-3, axis=0) | (err > np.asarray(hi) - np.asarray(lo))


def verdict(res, dev, dof, min_p, names, x, lo, hi, loose, channels, residuals, k_params) -> tuple[dict, list]:
    """success, converged, p_value, message, at_bound, undetermined and the warnings, as fit gives them."""
    converged = bool(res.status > 0)
    p = float(scipy.stats.chi2.sf(dev, dof)) if math.isfinite(dev) else 0.0
    parts = [str(res.message).rstrip(".") if converged else f"the optimiser did not converge: {res.message}"]
    if p < min_p:
        parts.append(f"the model does not describe the data: deviance/dof = {dev / dof:.4g} over {dof} degrees of "
                     f"freedom, chi2 test p = {p:.2g} < {min_p:g}")
    o = 0
    for c in channels:  # a channel without a pulse: the summed deviance can hide it among good ones
        n = c.window.stop - c.window.start
        flat = no_pulse(c.y[c.window], float(np.sum(residuals[o:o + n] ** 2)), k_params, min_p) if min_p > 0 else ""
        o += n
        if flat:
            parts.append(f"{c.label}: {flat}")
    acceptable = len(parts) == 1
    tol = 1e-6 * np.maximum(np.abs(x), 1e-3)
    at_bound = tuple(n for n, v, a, b, e in zip(names, x, lo, hi, tol) if (v - a <= e or b - v <= e)
                     and not n.startswith(("scale", "background")))
    undet = tuple(n for n, flag in zip(names, loose) if flag)
    notes = [f"{n} = {x[names.index(n)]:.6g} ended at its bound: its standard error does not hold; widen the bound "
             "or check the start values" for n in at_bound]
    notes += [f"{n} is not determined by the data (standard error inf): fix it or fit other data" for n in undet]
    message = "; ".join(parts)
    if not (converged and acceptable):
        notes.append(f"fit not trusted: {message}")
    return dict(success=converged and acceptable, converged=converged, p_value=p, message=message,
                at_bound=at_bound, undetermined=undet), notes
