"""Moments of time-resolved reflectance: of the model (exact, from the Laplace
transform at p = 0, no time inversion) and of measured DTOFs (with Poisson
standard errors).

N is the time integral (mm^-2 for the model, counts for data), <t> the mean
time of flight (ps) and V the variance (ps^2). Under convolution with an IRF
the mean and the variance add (they are cumulants), so a measured DTOF's
moments minus its IRF's are the medium's.
"""
from __future__ import annotations

import warnings
from dataclasses import dataclass, field

import numpy as np

from . import _checks as _chk
from . import _core
from .irf import uniform_bin_width
from .model import _derivative_names, _python_warning

__all__ = ["moments", "dtof_moments", "ModelMoments", "DtofMoments"]


@dataclass(frozen=True)
class ModelMoments:
    """Moments of the model's curve at one or more distances.

    N : mm^-2; mean_ps : ps; variance_ps2 : ps^2 (floats for a scalar rho,
    arrays over rho otherwise). derivatives[name] = (dN, dmean_ps,
    dvariance_ps2) per unit of the parameter (1/mm or mm), shaped like N.
    """

    N: float | np.ndarray
    mean_ps: float | np.ndarray
    variance_ps2: float | np.ndarray
    rho: float | np.ndarray
    derivatives: dict = field(default_factory=dict)
    orders: int = 1
    warnings: tuple = ()


def moments(layers, radius, rho, rho0=0.0, phi=0.0, *, derivatives=(), mmax=None, tolerance=None):
    """Moments of the time-resolved reflectance: N, mean time and variance.

    From the layered series' Laplace transform R^(p) and its first two
    derivatives at p = 0 (N = R^(0), <t> = -R^'(0)/N, V = R^''(0)/N - <t>^2),
    summed in one pass with the exact derivatives by layer parameters; no
    time inversion, so a fraction of the cost of one curve.

    Parameters
    ----------
    layers, radius, rho, rho0, phi
        As for `reflectance` (rho a number or a 1-d array of distances).
    derivatives : sequence of str, optional
        Layer parameters "muaI", "muspI", "lI" (I = 1 at the top) whose
        derivatives of (N, mean, variance) are returned.
    mmax : int, optional
        Highest angular order with the source off the axis. None (default):
        orders are added until the last three change nothing at the
        tolerance; 0 the on-axis form (ignores rho0 and phi, as in
        `reflectance`); k > 0 sums orders 0 ... k (the curve's mmax).
    tolerance : float, optional
        Relative accuracy of N, mean and variance, 1e-15 ... 1e-2 (None: 1e-11).

    Returns
    -------
    ModelMoments

    Examples
    --------
    >>> import tdcyl
    >>> layers = [tdcyl.Layer(1.0, 0.01, 1.4, 10), tdcyl.Layer(1.2, 0.02, 1.4, 40)]
    >>> m = tdcyl.moments(layers, 30, rho=[10, 20], derivatives=("mua2",))
    >>> m.mean_ps.round(1), m.derivatives["mua2"][1].round()   # ps, ps mm
    (array([279.7, 596.4]), array([ -691., -3042.]))
    """
    arr, a, r0, ph, _ = _chk.geometry(layers, radius, rho0, phi, 0, fast=True)
    rhos, scalar = _chk.rho_array(rho, a)
    mm = -1 if mmax is None else _chk.integer("mmax", mmax, 0, 500)
    tol = 1e-11 if tolerance is None else _chk.real("tolerance", tolerance, minimum=_chk.TOLERANCE_RANGE[0],
                                                     maximum=_chk.TOLERANCE_RANGE[1])
    names = _derivative_names(derivatives, arr.shape[0], "fast")
    out = _core.moments(arr[:, 0].tolist(), arr[:, 1].tolist(), arr[:, 2].tolist(), arr[:, 3].tolist(), a,
                        rhos.tolist(), r0, ph, mm, tol, list(names))
    shaped = (lambda v: float(v[0])) if scalar else np.asarray
    warns = tuple(_python_warning(w, float(r)) for r, o in zip(rhos, out) for w in o[4])
    for w in warns:
        warnings.warn(w, RuntimeWarning, stacklevel=2)
    derivs = {}
    for k, name in enumerate(names):
        d = np.array([o[3][k] for o in out])  # distances x 3
        derivs[name] = tuple(shaped(d[:, i]) for i in range(3))
    return ModelMoments(N=shaped([o[0] for o in out]), mean_ps=shaped([o[1] for o in out]),
                        variance_ps2=shaped([o[2] for o in out]), rho=shaped(rhos), derivatives=derivs,
                        orders=max(o[5] for o in out), warnings=warns)


@dataclass(frozen=True)
class DtofMoments:
    """Moments of measured DTOFs with their Poisson standard errors.

    Arrays shaped like the curves' leading axes (floats for one curve).
    covariance (..., 3, 3): of (N, mean_ps, variance_ps2), by the delta method.
    """

    N: np.ndarray
    mean_ps: np.ndarray
    variance_ps2: np.ndarray
    N_err: np.ndarray
    mean_err_ps: np.ndarray
    variance_err_ps2: np.ndarray
    covariance: np.ndarray


def _raw_moments(t, counts, background):
    """N, mean, variance of counts - background over the last axis, and the
    delta-method covariance with Var(counts_i) = counts_i (Poisson)."""
    net = counts - background
    n = net.sum(axis=-1)
    safe = np.where(n > 0, n, np.nan)
    mean = (net * t).sum(axis=-1) / safe
    dt = t - mean[..., None]
    var = (net * dt ** 2).sum(axis=-1) / safe
    # Sensitivities of (N, mean, V) to one bin's counts: 1, (t - m)/N, ((t - m)^2 - V)/N.
    g = np.stack([np.ones_like(dt), dt / safe[..., None], (dt ** 2 - var[..., None]) / safe[..., None]], axis=-2)
    w = np.clip(counts, 0, None)[..., None, :]
    cov = np.einsum("...ik,...jk->...ij", g * w, g)
    return n, mean, var, cov


def dtof_moments(t_ps, counts, irf=None, *, background=0.0):
    """Moments of measured DTOFs (histograms of photon arrival times) with Poisson errors.

    Parameters
    ----------
    t_ps : 1-d array
        Bin centres in ps (equally spaced).
    counts : array (..., bins)
        One histogram per row; any leading shape (channels, frames x channels, ...).
    irf : (t_ps, counts), optional
        The instrument response on bins of the same width. Its mean and
        variance are subtracted (they add under convolution); it is taken as
        exact (its noise is common to every curve measured with it). Without
        it the variance loses the w^2/12 a histogram of bin width w adds
        (Sheppard's correction; with an IRF the two histograms' terms cancel).
    background : float or array (...)
        Counts per bin to subtract (constant in time), per curve if an array.

    Returns
    -------
    DtofMoments
        N (counts), mean_ps, variance_ps2 and their standard errors N_err,
        mean_err_ps, variance_err_ps2 from the delta method with
        Var(counts_i) = counts_i: Var(<t>) = sum c_i (t_i - <t>)^2 / N^2,
        Var(V) = sum c_i ((t_i - <t>)^2 - V)^2 / N^2 (without background,
        mu2/N and (mu4 - mu2^2)/N; the covariance of <t> and V is mu3/N).

    Examples
    --------
    >>> import numpy as np, tdcyl
    >>> t = np.arange(0, 5000, 10.0) + 5
    >>> counts = 1e6 * np.exp(-0.5 * ((t - 1000) / 100) ** 2)
    >>> m = tdcyl.dtof_moments(t, counts)
    >>> round(m.mean_ps, 3), round(m.variance_ps2, 1), round(m.mean_err_ps, 4)  # a sampled Gaussian, less w^2/12
    (1000.0, 9991.7, 0.02)
    """
    t = _chk.real_array("t_ps", t_ps)
    width = uniform_bin_width("t_ps", t)
    c = np.asarray(counts, dtype=float)
    if c.ndim < 1 or c.shape[-1] != t.size:
        raise ValueError(f"counts must have shape (..., {t.size}) (bins on the last axis), got {c.shape}")
    if not np.all(np.isfinite(c)):
        raise ValueError("counts must be finite")  # negative bins (background-subtracted data) count with variance 0
    bg = np.asarray(background, dtype=float)
    if not np.all(np.isfinite(bg)) or np.any(bg < 0):
        raise ValueError("background must be finite and >= 0")
    try:
        bg = np.broadcast_to(bg, c.shape[:-1])[..., None]
    except ValueError:
        raise ValueError(f"background must be a number or shaped like the curves {c.shape[:-1]}, "
                         f"got {bg.shape}") from None
    n, mean, var, cov = _raw_moments(t, c, bg)
    if np.any(~(n > 0)):
        raise ValueError("counts: a curve has no counts above the background (N <= 0)")
    if irf is None:
        var = var - width ** 2 / 12
    else:
        try:
            ti, ci = irf
        except (TypeError, ValueError):
            raise ValueError("irf must be a pair (t_ps, counts)") from None
        ti = _chk.real_array("irf[0]", ti)
        ci = np.asarray(ci, dtype=float)
        if ci.shape != ti.shape or np.any(ci < 0) or not np.all(np.isfinite(ci)) or not ci.sum() > 0:
            raise ValueError("irf counts must be finite, >= 0, with a positive sum, and shaped like its times")
        if abs(uniform_bin_width("irf[0]", ti) - width) > 1e-6 * width:
            raise ValueError("irf must be on bins of the width of t_ps")
        _, irf_mean, irf_var, _ = _raw_moments(ti, ci, 0.0)
        mean = mean - irf_mean
        var = var - irf_var
    err = np.sqrt(np.diagonal(cov, axis1=-2, axis2=-1))
    one = (lambda v: float(v)) if c.ndim == 1 else (lambda v: v)
    return DtofMoments(N=one(n), mean_ps=one(mean), variance_ps2=one(var), N_err=one(err[..., 0]),
                       mean_err_ps=one(err[..., 1]), variance_err_ps2=one(err[..., 2]), covariance=cov)

