"""Least-squares fit of the model, convolved with a measured IRF, to a TCSPC histogram."""
from __future__ import annotations

import re
import time
from dataclasses import dataclass, field

import numpy as np
import scipy.optimize

from .files import InputParams
from .irf import convolve_irf, uniform_bin_width
from .model import Layer, _engine, _integer, _layers_array, reflectance

__all__ = ["fit", "FitResult", "fit_range_slice", "pre_pulse_background"]

_LAYER_PARAM = re.compile(r"^(musp|mua|n|l)([1-9][0-9]*)$")
_COLUMN = {"musp": 0, "mua": 1, "n": 2, "l": 3}
_UNITS = {"musp": "1/mm", "mua": "1/mm", "n": "", "l": "mm", "shift": "ps", "scale": "counts mm^2",
          "background": "counts/bin"}
# Wide limits that keep the model defined; narrow them through `bounds`.
_DEFAULT_BOUNDS = {"musp": (0.01, 20.0), "mua": (1e-6, 1.0), "n": (1.0, 3.0), "l": (0.01, 500.0)}
_SHIFT_BOUNDS = (-1000.0, 1000.0)
PRE_PULSE_MARGIN_PS = 200.0  # the pre-pulse window ends this long before the rise reaches 10 % of the peak


def pre_pulse_background(t_ps, counts) -> float:
    """Mean counts per bin before the pulse: the bins that end at least
    PRE_PULSE_MARGIN_PS before the first bin of the rise at 10 % of the peak
    (dark counts and afterpulsing alone arrive there). ValueError with fewer than 5 such bins."""
    t = np.asarray(t_ps, dtype=float)
    c = np.asarray(counts, dtype=float)
    rise = int(np.argmax(c >= 0.1 * np.max(c)))
    width = t[1] - t[0]
    before = (t + 0.5 * width) <= t[rise] - 0.5 * width - PRE_PULSE_MARGIN_PS
    if np.count_nonzero(before) < 5:
        raise ValueError(f"background: 'pre-pulse' needs at least 5 bins ending {PRE_PULSE_MARGIN_PS:g} ps "
                         f"before the rise, the measurement has {np.count_nonzero(before)}")
    return float(np.mean(c[before]))


@dataclass
class FitResult:
    """Outcome of tdcyl.fit().

    names: fitted parameters in order (layer parameters, then "shift" in ps and
    "scale" when fitted); values/stderr: by name; covariance: in the order of
    names; chi2_red: chi^2 per degree of freedom (near 1 for a good fit with
    Poisson weights); residuals: weighted, over the fit range; model_calls:
    evaluations of the forward model (the cost of the fit).
    """

    names: tuple[str, ...]
    values: dict
    stderr: dict
    covariance: np.ndarray
    chi2: float
    dof: int
    chi2_red: float
    residuals: np.ndarray
    fit_slice: slice
    t_ps: np.ndarray
    counts: np.ndarray
    fitted: np.ndarray
    scale: float
    shift_ps: float
    model: dict
    model_calls: int
    nfev: int
    wall_time_s: float
    success: bool
    message: str
    extra: dict = field(default_factory=dict, repr=False)

    def table(self, true_values: dict | None = None) -> str:
        """A text table of the parameters: fitted value, standard error (and true value when given)."""
        head = f"{'parameter':<10}" + (f"{'true':>12}" if true_values else "") + f"{'fitted':>12}{'sigma':>12}"
        rows = [head]
        for name in self.names:
            true = f"{true_values[name]:>12.5g}" if true_values and name in true_values else (
                f"{'':>12}" if true_values else "")
            rows.append(f"{name:<10}{true}{self.values[name]:>12.5g}{self.stderr[name]:>12.3g}")
        return "\n".join(rows)

    def plot(self, path=None, *, title=None):
        """Data, fitted model and weighted residuals; saved as PNG when path is given. Returns the figure."""
        from .plotting import plot_fit
        return plot_fit(self, path, title=title)


def _poisson_deviance_residuals(m, y):
    """sign(m - y) sqrt(2 (m - y + y ln(y / m))): squares sum to the Poisson deviance,
    whose minimum is the maximum-likelihood estimate; about (m - y)/sqrt(m) near m = y."""
    m = np.maximum(m, 1e-300)
    with np.errstate(divide="ignore", invalid="ignore"):
        log_term = np.where(y > 0, y * np.log(y / m), 0.0)
    d = 2.0 * (m - y + log_term)
    return np.sign(m - y) * np.sqrt(np.maximum(d, 0.0))


def fit_range_slice(counts, fit_range=(0.8, 0.01)) -> slice:
    """The bins from the rise's first bin at or above fit_range[0] of the peak to
    the tail's last bin at or above fit_range[1] of the peak."""
    c = np.asarray(counts, dtype=float)
    rise, tail = fit_range
    if not (0 < tail < 1 and 0 < rise <= 1):
        raise ValueError(f"fit_range must be two fractions of the peak (rise, tail) in (0, 1], got {fit_range}")
    p = int(np.argmax(c))
    peak = c[p]
    start = p
    while start > 0 and c[start - 1] >= rise * peak:
        start -= 1
    stop = p
    while stop + 1 < c.size and c[stop + 1] >= tail * peak:
        stop += 1
    return slice(start, stop + 1)


def _model_dict(model) -> dict:
    if isinstance(model, InputParams):
        model = model.kwargs()
    if not isinstance(model, dict):
        raise TypeError("model must be a dict of tdcyl.reflectance arguments (layers, radius, rho, ...) or "
                        "the InputParams of tdcyl.read_input")
    unknown = set(model) - {"layers", "radius", "rho", "rho0", "phi", "M", "mmax"}
    if unknown:
        raise ValueError(f"model: unknown keys {sorted(unknown)}")
    for key in ("layers", "radius", "rho"):
        if key not in model:
            raise ValueError(f"model: {key!r} is missing")
    if np.ndim(model["rho"]) != 0:
        raise ValueError("model: rho must be one distance (fit one curve at a time)")
    d = dict(model)
    d["layers"] = _layers_array(model["layers"])
    return d


def fit(t_ps, counts, irf, model, free=("mua1", "musp1"), *, bounds=None, fit_range=(0.8, 0.01),
        weights="poisson", shift=True, scale="area", background=None, engine=None, threads=0, max_nfev=100,
        ftol=1e-6) -> FitResult:
    """Fits layer parameters to a measured histogram.

    Parameters
    ----------
    t_ps, counts : 1-d arrays
        Centres of the measurement's equally spaced time bins (ps) and counts.
    irf : (irf_t_ps, irf_counts)
        The instrument response on the same bins (same centres).
    model : dict or InputParams
        Arguments of tdcyl.reflectance (layers, radius, rho, rho0, phi, M, mmax):
        the start values of the free parameters and the values of the others.
    free : sequence of str
        Parameters to fit, by name: "muspI", "muaI", "nI", "lI" for layer I
        (1 = top), e.g. ("mua1", "musp1", "mua2", "musp2").
    bounds : dict, optional
        {name: (low, high)} overriding the default limits.
    fit_range : (rise, tail)
        Fit from the first bin at rise x peak on the rising edge to the last bin
        at tail x peak on the tail (default 80 % and 1 %).
    weights : "poisson", None or array
        "poisson": maximum likelihood for Poisson counts, the residuals being the
        signed square roots of the Poisson deviance (chi2 is then the deviance;
        weighting by the counts instead would bias the tail, where counts are
        few); None: unweighted; an array: sigma per bin.
    shift : bool
        Fit a time shift (ps) between the model and the IRF.
    scale : "area" or "free"
        "area": the model is scaled to the data's counts in the fit range;
        "free": the scale is a fitted parameter.
    background : None, "free", "pre-pulse" or float
        A constant count level per bin added to the model (dark counts,
        afterpulsing): "free" fits it as the parameter "background" (counts per
        bin); "pre-pulse" takes the mean of the bins before the pulse (see
        pre_pulse_background: the bins ending 200 ps before the rise reaches
        10 % of the peak); a number gives it. None: no background. A real
        background that the model leaves out lifts the tail and biases the
        fit, mostly mu_a (too low): use "free" or "pre-pulse" for measured data.
    engine, threads : as for tdcyl.reflectance (the model is computed with all_samples=True).
    max_nfev : int
        Limit of residual evaluations of the optimiser.
    ftol : float
        Relative change of chi^2 at which the optimiser stops; the default stops
        once chi^2 moves by well under 0.01, far below its statistical spread.
    """
    started = time.perf_counter()
    t = np.asarray(t_ps, dtype=float)
    width = uniform_bin_width("t_ps", t)
    y = np.asarray(counts, dtype=float)
    if y.shape != t.shape:
        raise ValueError(f"counts must have the shape of t_ps {t.shape}, got {y.shape}")
    if not np.all(np.isfinite(y)) or np.any(y < 0):
        raise ValueError("counts must be finite and >= 0")
    if not isinstance(irf, (tuple, list)) or len(irf) != 2:
        raise TypeError("irf must be a pair (irf_t_ps, irf_counts)")
    irf_t = np.asarray(irf[0], dtype=float)
    irf_c = np.asarray(irf[1], dtype=float)
    if irf_t.shape != t.shape or not np.allclose(irf_t, t, rtol=0, atol=1e-6 * width):
        raise ValueError("irf: its bins must be those of the measurement (irf_t_ps equal to t_ps)")
    if irf_c.shape != t.shape:
        raise ValueError(f"irf: irf_counts must have the shape of t_ps {t.shape}, got {irf_c.shape}")
    if irf_c.size == 0 or not np.all(np.isfinite(irf_c)) or np.any(irf_c < 0) or not np.sum(irf_c) > 0:
        raise ValueError("irf: irf_counts must be finite, >= 0 and not all zero")
    if scale not in ("area", "free"):
        raise ValueError(f"scale must be 'area' or 'free', not {scale!r}")
    if not isinstance(shift, (bool, np.bool_)):
        raise TypeError("shift must be True or False")
    fixed_background = 0.0
    if isinstance(background, str):
        if background == "pre-pulse":
            fixed_background = pre_pulse_background(t, y)
        elif background != "free":
            raise ValueError(f"background must be 'free', 'pre-pulse', a number or None, not {background!r}")
    elif background is not None:
        if isinstance(background, (bool, np.bool_)) or not isinstance(background, (int, float, np.number)):
            raise TypeError(f"background must be 'free', 'pre-pulse', a number or None, not "
                            f"{type(background).__name__}")
        fixed_background = float(background)
        if not (np.isfinite(fixed_background) and fixed_background >= 0):
            raise ValueError(f"background must be finite and >= 0 counts per bin, got {background}")
    free_background = background == "free"
    eng = _engine(engine)
    threads = _integer("threads", threads, 0, 1024)
    base = _model_dict(model)
    layers0 = base["layers"]

    if isinstance(free, str):
        free = (free,)
    free = tuple(free)
    if not free and not shift and scale == "area":
        raise ValueError("free: nothing to fit")
    if len(set(free)) != len(free):
        raise ValueError(f"free: a parameter is named twice in {free}")
    slots = []
    for name in free:
        m = _LAYER_PARAM.match(name) if isinstance(name, str) else None
        if not m:
            raise ValueError(f"free: unknown parameter {name!r} (use muspI, muaI, nI or lI with the layer number I)")
        layer = int(m.group(2))
        if layer > layers0.shape[0]:
            raise ValueError(f"free: {name!r} names layer {layer} of a model with {layers0.shape[0]} layers")
        slots.append((layer - 1, _COLUMN[m.group(1)], m.group(1)))

    names = list(free) + (["shift"] if shift else []) + (["scale"] if scale == "free" else []) + (
        ["background"] if free_background else [])
    user_bounds = dict(bounds or {})
    for key in user_bounds:
        if key not in names:
            raise ValueError(f"bounds: {key!r} is not a fitted parameter ({names})")
    lo, hi = [], []
    for name in names:
        kind = name if name in ("shift", "scale", "background") else _LAYER_PARAM.match(name).group(1)
        default = _SHIFT_BOUNDS if kind == "shift" else (0.0, np.inf) if kind in ("scale", "background") else \
            _DEFAULT_BOUNDS[kind]
        b = user_bounds.get(name, default)
        if len(b) != 2 or not b[0] < b[1]:
            raise ValueError(f"bounds[{name!r}] must be (low, high) with low < high, got {b}")
        lo.append(float(b[0]))
        hi.append(float(b[1]))

    window = fit_range_slice(y, fit_range)
    yw = y[window]
    deviance = False
    sigma = np.ones_like(yw)
    if weights is None:
        pass
    elif isinstance(weights, str):
        if weights != "poisson":
            raise ValueError(f"weights must be 'poisson', None or an array of sigma, not {weights!r}")
        deviance = True
    else:
        s = np.asarray(weights, dtype=float)
        if s.shape != y.shape or not np.all(s > 0) or not np.all(np.isfinite(s)):
            raise ValueError("weights: an array of sigma must have the shape of counts, finite and > 0")
        sigma = s[window]
    n_free_total = len(names) + (1 if scale == "area" else 0)
    dof = int(yw.size - n_free_total)
    if dof < 1:
        raise ValueError(f"fit_range holds {yw.size} bins, too few for {n_free_total} parameters")

    calls = 0
    cache: dict = {}

    def curve(optical: tuple) -> tuple[np.ndarray, np.ndarray]:
        nonlocal calls
        if optical not in cache:
            layers = layers0.copy()
            for (i, j, _), v in zip(slots, optical):
                layers[i, j] = v
            kwargs = {k: v for k, v in base.items() if k != "layers"}
            c = reflectance(layers, engine=eng, threads=threads, all_samples=True, **kwargs)
            calls += 1
            if len(cache) > 64:
                cache.clear()
            cache[optical] = (c.t_ps, c.reflectance)
        return cache[optical]

    def unpack(x):
        optical = tuple(float(v) for v in x[:len(free)])
        k = len(free)
        s = float(x[k]) if shift else 0.0
        a = float(x[k + shift]) if scale == "free" else None
        return optical, s, a

    def predicted(x):
        optical, s, a = unpack(x)
        b = float(x[-1]) if free_background else fixed_background
        tm, rm = curve(optical)
        h = convolve_irf(tm, rm, t, irf_c, shift_ps=s)
        if a is None:
            a = float((np.sum(yw) - b * yw.size) / np.sum(h[window]))
        return a * h + b, a

    def residuals(x):
        m = predicted(x)[0][window]
        if deviance:
            return _poisson_deviance_residuals(m, yw)
        return (m - yw) / sigma

    def jacobian(x):
        # Forward differences; shift and scale reuse the cached curve (no model call).
        r0 = residuals(x)
        J = np.empty((r0.size, x.size))
        for i in range(x.size):
            step = 1e-5 * max(abs(x[i]), 1.0) if names[i] in ("shift", "scale", "background") else \
                1e-5 * max(abs(x[i]), 1e-4)
            if x[i] + step > hi[i]:
                step = -step
            xp = x.copy()
            xp[i] += step
            J[:, i] = (residuals(xp) - r0) / step
        return J

    x0 = [layers0[i, j] for (i, j, _) in slots]
    if shift:
        x0.append(0.0)
    if scale == "free":
        x0.append(1.0)
    if free_background:  # start from the pre-pulse level when there are bins before the pulse
        try:
            x0.append(pre_pulse_background(t, y))
        except ValueError:
            x0.append(0.0)
    x0 = np.array(x0, dtype=float)
    for i, name in enumerate(names):
        if not lo[i] <= x0[i] <= hi[i]:
            raise ValueError(f"the start value of {name} ({x0[i]}) is outside its bounds ({lo[i]}, {hi[i]})")
    if scale == "free":  # start from the area scale
        optical, s, _ = unpack(x0)
        tm, rm = curve(optical)
        h = convolve_irf(tm, rm, t, irf_c, shift_ps=s)
        x0[len(free) + shift] = float(np.sum(yw) / np.sum(h[window]))
    x_scale = np.array([max(abs(v), 1e-3) for v in x0])
    if shift:
        x_scale[len(free)] = width
    if free_background:
        x_scale[-1] = max(abs(x0[-1]), 1.0)

    res = scipy.optimize.least_squares(residuals, x0, jac=jacobian, bounds=(lo, hi), x_scale=x_scale,
                                       method="trf", max_nfev=max_nfev,
                                       ftol=ftol, xtol=1e-7)
    # Covariance (J^T J)^-1 in column-scaled form: the scale (~1e11) and the
    # coefficients (~1e-2) would otherwise leave J^T J too ill-conditioned to invert.
    J = res.jac
    norms = np.linalg.norm(J, axis=0)
    norms[norms == 0] = 1.0
    Js = J / norms
    cov = np.linalg.pinv(Js.T @ Js) / np.outer(norms, norms)
    stderr = np.sqrt(np.clip(np.diag(cov), 0, None))
    pred, a = predicted(res.x)
    r = res.fun
    chi2 = float(r @ r)
    optical, s, _ = unpack(res.x)
    fitted_layers = layers0.copy()
    for (i, j, _), v in zip(slots, optical):
        fitted_layers[i, j] = v
    fitted_model = dict(base)
    fitted_model["layers"] = [Layer(*row) for row in fitted_layers]
    return FitResult(
        names=tuple(names), values={n: float(v) for n, v in zip(names, res.x)},
        stderr={n: float(e) for n, e in zip(names, stderr)}, covariance=cov, chi2=chi2, dof=dof,
        chi2_red=chi2 / dof, residuals=r, fit_slice=window, t_ps=t, counts=y, fitted=pred, scale=a, shift_ps=s,
        model=fitted_model, model_calls=calls, nfev=int(res.nfev), wall_time_s=time.perf_counter() - started,
        success=bool(res.success), message=str(res.message),
        extra={"background": float(res.x[-1]) if free_background else fixed_background})
