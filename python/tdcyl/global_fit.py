"""Global fit of many TCSPC curves (distances x wavelengths) sharing the layer parameters.

Three separate pieces, the optimiser behind them:
- the channels (_Channel): one histogram each, with its own IRF, distance,
  wavelength and fit range; its expected counts are scale * (model (x) IRF)(t - shift)
  + background;
- the parameter set (ParameterSet): names, values, bounds, and how they make the
  layers of the model at each wavelength (plain, per-wavelength or spectral);
- the result (GlobalFitResult): values, errors, intervals, derived quantities,
  per-channel fits; plotting reads results and is imported only when asked.

The objective is the Poisson deviance summed over the channels (maximum likelihood
for counts), minimised by scipy.optimize.least_squares on the signed square roots
of the deviance; its Jacobian comes from one model call per wavelength and
parameter (the distances of a wavelength share a call) and, for the per-channel
shift, scale and background, from the cached curves without any model call.
"""
from __future__ import annotations

import math
import re
import time
import warnings
from dataclasses import dataclass, field

import numpy as np
import scipy.optimize
import scipy.stats

from .fitting import fit_range_slice
from .irf import convolve_irf, uniform_bin_width
from .model import _engine, _integer, _layers_array, reflectance
from .spectra import CHROMOPHORES, specific_absorption

__all__ = ["fit_global", "GlobalFitResult", "ParameterSet"]

_PLAIN = re.compile(r"^(musp|mua|n|l)([1-9][0-9]*)$")
_AT = re.compile(r"^(musp|mua)([1-9][0-9]*)@([0-9]+(?:\.[0-9]+)?)$")
_SPECTRAL = re.compile(r"^(HbO2|HHb|water|lipid|a|b|l|n)_([1-9][0-9]*)$")
_COLUMN = {"musp": 0, "mua": 1, "n": 2, "l": 3}
_BOUNDS = {"musp": (0.01, 20.0), "mua": (1e-6, 1.0), "n": (1.0, 3.0), "l": (0.01, 500.0),
           "HbO2": (0.0, 1000.0), "HHb": (0.0, 1000.0), "water": (0.0, 1.0), "lipid": (0.0, 1.0),
           "a": (0.01, 20.0), "b": (-1.0, 5.0)}
_UNITS = {"musp": "1/mm", "mua": "1/mm", "n": "", "l": "mm", "HbO2": "uM", "HHb": "uM", "water": "",
          "lipid": "", "a": "1/mm", "b": "", "tHb": "uM", "StO2": "", "shift": "ps", "scale": "", "background": ""}
_SHIFT_BOUNDS = (-1000.0, 1000.0)
_SAME_WAVELENGTH_NM = 0.5
_AT_BEST = 0.05  # deviance units: starts ending this close to the best reached it


def _kind(name: str) -> tuple[str, int, float | None]:
    """(quantity, layer index from 0, wavelength or None) of a layer parameter name."""
    for pattern in (_PLAIN, _SPECTRAL):
        m = pattern.match(name)
        if m:
            return m.group(1), int(m.group(2)) - 1, None
    m = _AT.match(name)
    if m:
        return m.group(1), int(m.group(2)) - 1, float(m.group(3))
    raise ValueError(f"unknown parameter {name!r} (use muaI, muspI, nI, lI, muaI@<nm>, muspI@<nm>, or "
                     f"HbO2_I, HHb_I, water_I, lipid_I, a_I, b_I, l_I for layer I)")


class ParameterSet:
    """The layer parameters of a global fit: start or fixed values, the free ones, their bounds,
    and the layers of the model they make at a wavelength.

    Layer I takes its mu_a from muaI@<nm> for the channels at that wavelength when given,
    else from the chromophores when any of HbO2_I, HHb_I, water_I, lipid_I is given,
    else from muaI; likewise mu_s' from muspI@<nm>, else a_I (lambda / lambda0)^-b_I,
    else muspI. Thickness and index: lI or l_I, nI or n_I.
    """

    def __init__(self, layers, values: dict, free, bounds: dict, wavelengths: list, lambda0_nm: float):
        self.layers0 = layers
        self.lambda0_nm = float(lambda0_nm)
        n_layers = layers.shape[0]
        self.values = {}
        for i in range(n_layers):
            for q, j in _COLUMN.items():
                self.values[f"{q}{i + 1}"] = float(layers[i, j])
        for name, v in values.items():
            q, i, _ = _kind(name)
            if i >= n_layers:
                raise ValueError(f"spectral: {name!r} names layer {i + 1} of a model with {n_layers} layers")
            self.values[name] = float(v)
        for q in ("l", "n"):
            for i in range(n_layers):
                if f"{q}_{i + 1}" in self.values and f"{q}{i + 1}" in values:
                    raise ValueError(f"spectral: {q}{i + 1} and {q}_{i + 1} name the same quantity")
        self.spectral_layers = {i for name in self.values for q, i, w in [_kind(name)] if q in CHROMOPHORES}
        self.power_layers = {i for name in self.values for q, i, w in [_kind(name)] if q == "a"}
        for i in self.power_layers:
            if f"b_{i + 1}" not in self.values:
                raise ValueError(f"spectral: a_{i + 1} needs b_{i + 1} (mu_s' = a (lambda/lambda0)^-b)")
        known = [w for w in wavelengths if w is not None]
        if (self.spectral_layers or self.power_layers) and len(known) < len(wavelengths):
            raise ValueError("channels: a spectral model needs the wavelength_nm of every channel")
        self.eps = {}

        if isinstance(free, str):
            free = (free,)
        free = tuple(free)
        if len(set(free)) != len(free):
            raise ValueError(f"free: a parameter is named twice in {free}")
        n_wl = len(set(known))
        for name in free:
            q, i, w = _kind(name) if isinstance(name, str) else ("", 0, None)
            if not q:
                raise ValueError(f"free: parameter names are strings, got {name!r}")
            if i >= n_layers:
                raise ValueError(f"free: {name!r} names layer {i + 1} of a model with {n_layers} layers")
            if w is not None and not any(abs(w - x) <= _SAME_WAVELENGTH_NM for x in known):
                raise ValueError(f"free: {name!r}: no channel has the wavelength {w:g} nm")
            if name in ("mua%d" % (i + 1), "musp%d" % (i + 1)):
                if (q == "mua" and i in self.spectral_layers) or (q == "musp" and i in self.power_layers):
                    raise ValueError(f"free: {name!r} is given by the spectral parameters of layer {i + 1}")
                if n_wl > 1:
                    raise ValueError(f"free: {name!r} would be one value at {n_wl} wavelengths; fit the "
                                     f"chromophores (HbO2_{i + 1}, ...) or {name}@<nm> instead")
            if name not in self.values and q in ("l", "n"):
                self.values[name] = self.values[f"{q}{i + 1}"]
            if name not in self.values:
                if w is None:
                    raise ValueError(f"free: {name!r} has no start value (give it in spectral=)")
                self.values[name] = float(self._layers(self.values, w, skip_at=True)[i, _COLUMN[q]])
        self.free = free
        user = {k: v for k, v in dict(bounds or {}).items() if k != "shift"}
        for key in user:
            if key not in free:
                raise ValueError(f"bounds: {key!r} is not a fitted layer parameter ({list(free)})")
        self.bounds = []
        for name in free:
            b = user.get(name, _BOUNDS[_kind(name)[0]])
            if len(b) != 2 or not b[0] < b[1]:
                raise ValueError(f"bounds[{name!r}] must be (low, high) with low < high, got {b}")
            if not b[0] <= self.values[name] <= b[1]:
                raise ValueError(f"the start value of {name} ({self.values[name]}) is outside its bounds {tuple(b)}")
            self.bounds.append((float(b[0]), float(b[1])))
        self.user_bounds = set(user)

    def with_free(self, x) -> dict:
        v = dict(self.values)
        v.update(zip(self.free, (float(t) for t in x)))
        return v

    def layers(self, x, wavelength) -> np.ndarray:
        """The (N, 4) layers at a wavelength (None: a channel without one) for free values x."""
        return self._layers(self.with_free(x), wavelength)

    def _layers(self, v: dict, wavelength, skip_at=False) -> np.ndarray:
        out = self.layers0.copy()
        for i in range(out.shape[0]):
            k = i + 1
            out[i, 3] = v.get(f"l_{k}", v[f"l{k}"])
            out[i, 2] = v.get(f"n_{k}", v[f"n{k}"])
            if i in self.spectral_layers:
                eps = self.eps.get(wavelength)
                if eps is None:
                    eps = self.eps[wavelength] = specific_absorption(wavelength)
                out[i, 1] = sum(float(eps[c]) * v.get(f"{c}_{k}", 0.0) for c in CHROMOPHORES)
            else:
                out[i, 1] = v[f"mua{k}"]
            if i in self.power_layers:
                out[i, 0] = v[f"a_{k}"] * (wavelength / self.lambda0_nm) ** (-v[f"b_{k}"])
            else:
                out[i, 0] = v[f"musp{k}"]
            if not skip_at and wavelength is not None:
                for q in ("musp", "mua"):
                    for name, value in v.items():
                        m = _AT.match(name)
                        if m and m.group(1) == q and int(m.group(2)) == k and \
                                abs(float(m.group(3)) - wavelength) <= _SAME_WAVELENGTH_NM:
                            out[i, _COLUMN[q]] = value
        return out


@dataclass
class _Channel:
    t: np.ndarray
    y: np.ndarray
    irf: np.ndarray
    rho: float
    wavelength: float | None
    window: slice
    width: float
    label: str


def _get(obj, *keys, default=None):
    for k in keys:
        if isinstance(obj, dict):
            if k in obj:
                return obj[k]
        elif hasattr(obj, k):
            return getattr(obj, k)
    return default


def _channels(channels, irf, fit_range) -> list[_Channel]:
    """Channels from a sequence of dicts (or objects with those attributes) or from a
    measurement-like object (t_ps, counts of shape (channels, bins), rho_mm, wavelength_nm)."""
    if _get(channels, "t_ps") is not None and _get(channels, "counts") is not None and not isinstance(channels, dict):
        counts = np.atleast_2d(np.asarray(channels.counts, dtype=float))
        n = counts.shape[0]
        rho = np.broadcast_to(np.asarray(_get(channels, "rho_mm", "rho"), dtype=float), (n,))
        wl = _get(channels, "wavelength_nm")
        wl = [None] * n if wl is None else list(np.broadcast_to(np.asarray(wl, dtype=float), (n,)))
        own_irf = irf if irf is not None else _get(channels, "irf")
        per_channel = isinstance(own_irf, list) and len(own_irf) == n and all(
            isinstance(e, (tuple, list)) and len(e) == 2 for e in own_irf)
        items = [dict(t_ps=channels.t_ps, counts=counts[k], rho=rho[k], wavelength_nm=wl[k],
                      irf=own_irf[k] if per_channel else own_irf) for k in range(n)]
        irf = None
    else:
        try:
            items = list(channels)
        except TypeError:
            raise TypeError("channels must be a sequence of channels (dicts with t_ps, counts, irf, rho) "
                            "or a measurement with t_ps, counts, rho_mm, wavelength_nm") from None
    if not items:
        raise ValueError("channels: at least one channel is needed")
    out = []
    for k, c in enumerate(items):
        where = f"channels[{k}]"
        t = np.asarray(_get(c, "t_ps"), dtype=float)
        width = uniform_bin_width(f"{where}.t_ps", t)
        y = np.asarray(_get(c, "counts"), dtype=float)
        if y.shape != t.shape:
            raise ValueError(f"{where}: counts must have the shape of t_ps {t.shape}, got {y.shape}")
        if not np.all(np.isfinite(y)) or np.any(y < 0):
            raise ValueError(f"{where}: counts must be finite and >= 0")
        pair = _get(c, "irf", default=irf)
        if not isinstance(pair, (tuple, list)) or len(pair) != 2:
            raise TypeError(f"{where}: irf must be a pair (irf_t_ps, irf_counts)")
        it, ic = (np.asarray(p, dtype=float) for p in pair)
        if it.shape != t.shape or not np.allclose(it, t, rtol=0, atol=1e-6 * width):
            raise ValueError(f"{where}: the IRF's bins must be those of the measurement (irf_t_ps equal to t_ps)")
        if ic.shape != t.shape or not np.all(np.isfinite(ic)) or np.any(ic < 0) or not np.sum(ic) > 0:
            raise ValueError(f"{where}: irf_counts must have the shape of t_ps, be finite, >= 0 and not all zero")
        rho = _get(c, "rho", "rho_mm")
        try:
            rho = float(rho)
        except (TypeError, ValueError):
            raise TypeError(f"{where}: rho must be a distance in mm, not {rho!r}") from None
        if not rho > 0:
            raise ValueError(f"{where}: rho must be > 0, got {rho}")
        wl = _get(c, "wavelength_nm")
        wl = None if wl is None else float(wl)
        window = fit_range_slice(y, _get(c, "fit_range", default=fit_range))
        label = f"ρ = {rho:g} mm" + (f", {wl:g} nm" if wl is not None else "")
        out.append(_Channel(t, y, ic, rho, wl, window, width, label))
    return out


def _deviance_residuals(m, y):
    """sign(m - y) sqrt(2 (m - y + y ln(y/m))) and its derivative in m, (1 - y/m) / r (-> 1/sqrt(m) at r = 0).
    Expected counts are floored at 1e-8 (a model far off the data), keeping both finite."""
    m = np.maximum(m, 1e-8)
    with np.errstate(divide="ignore", invalid="ignore"):
        log_term = np.where(y > 0, y * np.log(y / m), 0.0)
    r = np.sign(m - y) * np.sqrt(np.maximum(2.0 * (m - y + log_term), 0.0))
    with np.errstate(divide="ignore", invalid="ignore"):
        d = np.where(np.abs(r) > 1e-6, (1.0 - y / m) / r, 1.0 / np.sqrt(m))
    return r, d


@dataclass
class GlobalFitResult:
    """Outcome of tdcyl.fit_global().

    names: fitted parameters (layer parameters, then per channel k "shift[k]" in ps,
    "scale[k]" (or one "scale") and "background[k]" in counts per bin); values,
    stderr, intervals ({name: (low, high)} at `level`, linearised or profile, see
    interval_kind): by name; derived: {"tHb_I"/"StO2_I": (value, stderr)};
    chi2: the summed Poisson deviance; channels: per channel a dict with label,
    rho, wavelength_nm, t_ps, counts, fitted, fit_slice, residuals; starts and
    starts_at_best: how many starts ran and how many ended at the best deviance.
    """

    names: tuple
    values: dict
    stderr: dict
    covariance: np.ndarray
    intervals: dict
    interval_kind: str
    level: float
    derived: dict
    chi2: float
    dof: int
    chi2_red: float
    channels: list
    starts: int
    starts_at_best: int
    model_calls: int
    wall_time_s: float
    success: bool
    message: str
    warnings: list = field(default_factory=list)
    parameters: ParameterSet | None = field(default=None, repr=False)

    @property
    def residuals(self) -> list:
        return [c["residuals"] for c in self.channels]

    def correlation(self) -> np.ndarray:
        s = np.sqrt(np.clip(np.diag(self.covariance), 1e-300, None))
        return self.covariance / np.outer(s, s)

    def layers(self, wavelength_nm=None) -> np.ndarray:
        """The fitted (N, 4) layers (musp, mua, n, thickness) at a wavelength."""
        p = self.parameters
        x = [self.values[n] for n in p.free]
        return p.layers(x, wavelength_nm)

    def optical(self, wavelength_nm=None) -> dict:
        """{"muaI"/"muspI": (value, stderr)} of every layer at a wavelength, the errors
        propagated from the covariance of the layer parameters."""
        p = self.parameters
        x = np.array([self.values[n] for n in p.free])
        base = p.layers(x, wavelength_nm)
        grad = np.zeros((base.shape[0], 2, x.size))
        for j in range(x.size):
            step = 1e-6 * max(abs(x[j]), 1e-3)
            xp = x.copy()
            xp[j] += step
            grad[:, :, j] = (p.layers(xp, wavelength_nm)[:, :2] - base[:, :2]) / step
        cov = self.covariance[:x.size, :x.size]
        out = {}
        for i in range(base.shape[0]):
            for col, q in ((1, "mua"), (0, "musp")):
                g = grad[i, col]
                out[f"{q}{i + 1}"] = (float(base[i, col]), float(math.sqrt(max(g @ cov @ g, 0.0))))
        return out

    def table(self, true_values: dict | None = None, *, nuisance=False) -> str:
        """Text table: value, standard error, interval (and the true value when given), then derived quantities."""
        tv = true_values or {}
        head = f"{'parameter':<12}" + (f"{'true':>11}" if tv else "") + f"{'fitted':>11}{'sigma':>10}" + \
            f"   {int(round(100 * self.level))} % interval ({self.interval_kind})"
        rows = [head]
        for name in self.names:
            if not nuisance and "[" in name:
                continue
            lo, hi = self.intervals[name]
            true = (f"{tv[name]:>11.4g}" if name in tv else f"{'':>11}") if tv else ""
            rows.append(f"{name:<12}{true}{self.values[name]:>11.4g}{self.stderr[name]:>10.2g}   "
                        f"[{lo:.4g}, {hi:.4g}]")
        for name, (v, e) in self.derived.items():
            true = (f"{tv[name]:>11.4g}" if name in tv else f"{'':>11}") if tv else ""
            rows.append(f"{name:<12}{true}{v:>11.4g}{e:>10.2g}")
        rows.append(f"deviance/dof = {self.chi2_red:.3f} ({self.dof} dof); {self.starts_at_best} of "
                    f"{self.starts} starts reached the best")
        return "\n".join(rows)

    def plot(self, path=None, *, title=None):
        """Every channel's counts, fitted model and deviance residuals; a PNG when path is given."""
        from .global_plot import plot_global
        return plot_global(self, path, title=title)


class _Problem:
    """The summed deviance of the channels as a function of one parameter vector:
    [layer parameters, per channel shift, scale factor, background]."""

    def __init__(self, channels, params: ParameterSet, base: dict, shift, scale, efficiency, background,
                 engine, threads):
        self.ch = channels
        self.p = params
        self.base = base
        self.engine, self.threads = engine, threads
        self.shift, self.shared_scale, self.background = shift, scale == "shared", background
        self.eff = efficiency
        self.groups = {}  # wavelength -> list of channel indices
        for k, c in enumerate(channels):
            self.groups.setdefault(c.wavelength, []).append(k)
        self.calls = 0
        self.cache = {}
        K = len(channels)
        nl = len(params.free)
        self.i_shift = list(range(nl, nl + K)) if shift else []
        o = nl + len(self.i_shift)
        self.i_scale = [o] * K if self.shared_scale else list(range(o, o + K))
        o = self.i_scale[-1] + 1
        self.i_bg = list(range(o, o + K)) if background else []
        self.size = o + len(self.i_bg)
        names = list(params.free) + [f"shift[{k}]" for k in range(K)] * bool(shift)
        names += ["scale"] if self.shared_scale else [f"scale[{k}]" for k in range(K)]
        names += [f"background[{k}]" for k in range(K)] * bool(background)
        self.names = names
        self.ref = np.ones(K)  # counts per unit of the scale factor, set from the start
        self.n_bins = sum(c.window.stop - c.window.start for c in channels)

    def curves(self, x, wavelength):
        layers = self.p.layers(x[:len(self.p.free)], wavelength)
        key = (wavelength, layers.tobytes())
        if key not in self.cache:
            ks = self.groups[wavelength]
            rhos = sorted({self.ch[k].rho for k in ks})
            c = reflectance(layers, rho=rhos, engine=self.engine, threads=self.threads, all_samples=True,
                            **self.base)
            self.calls += 1
            if len(self.cache) > 256:
                self.cache.clear()
            self.cache[key] = {r: (c[i].t_ps, c[i].reflectance) for i, r in enumerate(rhos)}
        return self.cache[key]

    def shapes(self, x, ks=None, shifts=None):
        """Model (x) IRF of the channels ks (default all), unit scale, no background."""
        out = {}
        ks = range(len(self.ch)) if ks is None else ks
        for k in ks:
            c = self.ch[k]
            tm, rm = self.curves(x, c.wavelength)[c.rho]
            s = shifts[k] if shifts is not None else (x[self.i_shift[k]] if self.shift else 0.0)
            out[k] = convolve_irf(tm, rm, c.t, c.irf, shift_ps=float(s))
        return out

    def scale_of(self, x, k):
        return x[self.i_scale[k]] * self.ref[k] * (self.eff[k] if self.shared_scale else 1.0)

    def predicted(self, x, h=None):
        h = self.shapes(x) if h is None else h
        return [self.scale_of(x, k) * h[k] + (x[self.i_bg[k]] if self.background else 0.0)
                for k in range(len(self.ch))]

    def residuals(self, x, with_derivative=False):
        pred = self.predicted(x)
        rs, ds = [], []
        for k, c in enumerate(self.ch):
            r, d = _deviance_residuals(pred[k][c.window], c.y[c.window])
            rs.append(r)
            ds.append(d)
        return (np.concatenate(rs), ds) if with_derivative else np.concatenate(rs)

    def jacobian(self, x, lo, hi, fixed=()):
        _, ds = self.residuals(x, with_derivative=True)
        h0 = self.shapes(x)
        J = np.zeros((self.n_bins, self.size))
        rows, o = [], 0
        for c in self.ch:
            n = c.window.stop - c.window.start
            rows.append(slice(o, o + n))
            o += n
        for j in range(len(self.p.free)):
            if j in fixed:
                continue
            # Steps that move the optical coefficients by ~1e-4: large against the model's
            # round-off (the series is cut adaptively), small against its curvature.
            step = 1e-3 if self.p.free[j].startswith("b_") else 1e-4 * max(abs(x[j]), 1e-3)
            if x[j] + step > hi[j]:
                step = -step
            xp = x.copy()
            xp[j] += step
            for wl, ks in self.groups.items():
                if np.array_equal(self.p.layers(xp[:len(self.p.free)], wl), self.p.layers(x[:len(self.p.free)], wl)):
                    continue
                hp = self.shapes(xp, ks)
                for k in ks:
                    w = self.ch[k].window
                    J[rows[k], j] = ds[k] * self.scale_of(x, k) * (hp[k][w] - h0[k][w]) / step
        for k, c in enumerate(self.ch):
            w = c.window
            if self.shift:
                dt = 0.05 * c.width
                s = x[self.i_shift[k]]
                up = self.shapes(x, [k], {k: s + dt})[k][w]
                down = self.shapes(x, [k], {k: s - dt})[k][w]
                J[rows[k], self.i_shift[k]] = ds[k] * self.scale_of(x, k) * (up - down) / (2 * dt)
            unit = self.ref[k] * (self.eff[k] if self.shared_scale else 1.0)
            J[rows[k], self.i_scale[k]] += ds[k] * unit * h0[k][w]
            if self.background:
                J[rows[k], self.i_bg[k]] = ds[k]
        return J

    def solve(self, x0, lo, hi, fixed=(), max_nfev=100, ftol=1e-6):
        """Least squares over the parameters not in `fixed` (indices), from x0."""
        active = np.array([i not in fixed for i in range(self.size)])
        xa = x0.copy()

        def full(z):
            xa[active] = z
            return xa.copy()

        scale = np.array([max(abs(v), 1e-3) for v in x0])
        for k, c in enumerate(self.ch):
            if self.shift:
                scale[self.i_shift[k]] = c.width
            if self.background:
                scale[self.i_bg[k]] = max(1.0, 1e-3 * float(c.y.max()))
        res = scipy.optimize.least_squares(
            lambda z: self.residuals(full(z)), x0[active],
            jac=lambda z: self.jacobian(full(z), lo, hi, fixed)[:, active],
            bounds=(lo[active], hi[active]), x_scale=scale[active], method="trf", max_nfev=max_nfev,
            ftol=ftol, xtol=1e-8)
        x = full(res.x)
        return x, float(res.fun @ res.fun), res

    def start_vector(self, layer_values, shift=0.0):
        """Full start vector for layer values: the given shift, area scale, background 0."""
        x = np.zeros(self.size)
        x[:len(layer_values)] = layer_values
        x[self.i_shift] = shift
        x[self.i_scale] = 1.0
        h = self.shapes(x)
        if self.shared_scale:
            total = sum(float(np.sum(c.y[c.window])) for c in self.ch)
            model = sum(self.eff[k] * float(np.sum(h[k][c.window])) for k, c in enumerate(self.ch))
            self.ref[:] = total / model
        else:
            self.ref = np.array([float(np.sum(c.y[c.window])) / float(np.sum(h[k][c.window]))
                                 for k, c in enumerate(self.ch)])
        # A start that shifts the model out of the fit range: scale by the whole curve instead.
        for k, c in enumerate(self.ch):
            if not (np.isfinite(self.ref[k]) and self.ref[k] > 0):
                total = float(np.sum(h[k]))
                self.ref[k] = float(np.sum(c.y[c.window])) / total if total > 0 else 1.0
        return x

    def bounds(self, shift_bounds=_SHIFT_BOUNDS):
        lo = np.full(self.size, -np.inf)
        hi = np.full(self.size, np.inf)
        for j, b in enumerate(self.p.bounds):
            lo[j], hi[j] = b
        for i in self.i_shift:
            lo[i], hi[i] = shift_bounds
        lo[self.i_scale] = 0.0
        for i in self.i_bg:
            lo[i] = 0.0
        return lo, hi


def _covariance(J):
    """(J^T J)^-1 in column-scaled form (scales differ by many orders of magnitude)."""
    norms = np.linalg.norm(J, axis=0)
    norms[norms == 0] = 1.0
    Js = J / norms
    return np.linalg.pinv(Js.T @ Js) / np.outer(norms, norms)


def _spread_starts(params: ParameterSet, n: int, seed, shift_bounds) -> list:
    """The given start (shift 0), then n - 1 starts drawn over the bounds (log-uniform for
    positive bounds spanning more than a factor 10; within a factor 3 of the start where the
    bounds are the wide defaults) with, when shift bounds are given, one common shift of the
    channels drawn between them (an IRF recorded with another delay)."""
    x0 = np.array([params.values[n_] for n_ in params.free])
    rng = np.random.default_rng(seed)
    starts = [(x0, 0.0)]
    for _ in range(n - 1):
        shift = rng.uniform(*shift_bounds) if shift_bounds is not None else 0.0
        x = x0.copy()
        for j, name in enumerate(params.free):
            lo, hi = params.bounds[j]
            if name not in params.user_bounds and x0[j] > 0:
                lo, hi = max(lo, x0[j] / 3), min(hi, x0[j] * 3)
            if lo > 0 and hi / lo > 10:
                x[j] = math.exp(rng.uniform(math.log(lo), math.log(hi)))
            else:
                x[j] = rng.uniform(lo, hi)
        starts.append((x, shift))
    return starts


def fit_global(channels, model, free, *, spectral=None, irf=None, bounds=None, fit_range=(0.8, 0.01),
               shift=True, scale="channel", efficiency=None, background=False, lambda0_nm=800.0,
               intervals="linear", level=0.95, starts=3, seed=0, engine=None, threads=0, max_nfev=100,
               ftol=1e-6) -> GlobalFitResult:
    """Fits shared layer parameters to many histograms at once (distances and wavelengths).

    Parameters
    ----------
    channels : sequence of dicts, or a measurement
        Each channel: t_ps, counts, irf (a pair (irf_t_ps, irf_counts) on the same
        bins), rho (mm), optional wavelength_nm and fit_range; objects with these
        attributes serve too. A measurement object with t_ps, counts of shape
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
    background : bool
        Fit a constant background (counts per bin) of each channel.
    intervals : "linear" or "profile"
        Intervals at `level` from the standard errors, or from the profile of the
        deviance (each layer parameter fixed in turn, the rest refitted); where the
        profile differs from the linearised interval by more than a third, a
        warning names the parameter.
    starts, seed : int
        Starts of the optimiser: the given values, then starts-1 drawn over the
        bounds with the seed; the best deviance is kept.
    engine, threads, max_nfev, ftol : as for tdcyl.fit.
    """
    started = time.perf_counter()
    eng = _engine(engine)
    threads = _integer("threads", threads, 0, 1024)
    starts = _integer("starts", starts, 1, 1000)
    if not isinstance(model, dict):
        raise TypeError("model must be a dict of tdcyl.reflectance arguments without rho (layers, radius, ...)")
    unknown = set(model) - {"layers", "radius", "rho0", "phi", "M", "mmax"}
    if unknown:
        raise ValueError(f"model: unknown keys {sorted(unknown)} (rho comes from the channels)")
    for key in ("layers", "radius"):
        if key not in model:
            raise ValueError(f"model: {key!r} is missing")
    base = {k: v for k, v in model.items() if k != "layers"}
    layers0 = _layers_array(model["layers"])
    if scale not in ("channel", "shared"):
        raise ValueError(f"scale must be 'channel' or 'shared', not {scale!r}")
    if intervals not in ("linear", "profile"):
        raise ValueError(f"intervals must be 'linear' or 'profile', not {intervals!r}")
    if not 0 < level < 1:
        raise ValueError(f"level must be in (0, 1), got {level}")
    for name, flag in (("shift", shift), ("background", background)):
        if not isinstance(flag, (bool, np.bool_)):
            raise TypeError(f"{name} must be True or False")
    chans = _channels(channels, irf, fit_range)
    K = len(chans)
    if efficiency is None:
        eff = np.ones(K)
    else:
        if scale != "shared":
            raise ValueError("efficiency: relative efficiencies need scale='shared'")
        eff = np.asarray(efficiency, dtype=float)
        if eff.shape != (K,) or not np.all(np.isfinite(eff)) or not np.all(eff > 0):
            raise ValueError(f"efficiency must hold {K} finite values > 0, one per channel")
    if spectral is not None and not isinstance(spectral, dict):
        raise TypeError("spectral must be a dict {name: value}")
    params = ParameterSet(layers0, spectral or {}, free, bounds, [c.wavelength for c in chans], lambda0_nm)
    problem = _Problem(chans, params, base, shift, scale, eff, background, eng, threads)
    dof = problem.n_bins - problem.size
    if dof < 1:
        raise ValueError(f"the fit ranges hold {problem.n_bins} bins, too few for {problem.size} parameters")
    shift_bounds = dict(bounds or {}).get("shift")
    if shift_bounds is not None:
        if not shift or len(shift_bounds) != 2 or not shift_bounds[0] <= 0 <= shift_bounds[1] or \
                not shift_bounds[0] < shift_bounds[1]:
            raise ValueError(f"bounds['shift'] must be (low, high) in ps with low <= 0 <= high and a fitted "
                             f"shift, got {shift_bounds}")
        shift_bounds = (float(shift_bounds[0]), float(shift_bounds[1]))
    lo, hi = problem.bounds(shift_bounds or _SHIFT_BOUNDS)

    best = None
    outcomes = []
    for layer_start, shift_start in _spread_starts(params, starts, seed, shift_bounds):
        x0 = problem.start_vector(layer_start, shift_start)
        ref = problem.ref.copy()
        x, dev, res = problem.solve(x0, lo, hi, max_nfev=max_nfev, ftol=ftol)
        outcomes.append(dev)
        if best is None or dev < best[1]:
            best = (x, dev, res, ref)
    x, dev, res, problem.ref = best
    at_best = sum(d - dev <= _AT_BEST for d in outcomes)

    J = problem.jacobian(x, lo, hi)
    cov = _covariance(J)
    err = np.sqrt(np.clip(np.diag(cov), 0, None))
    names = problem.names
    z = float(scipy.stats.norm.ppf(0.5 + level / 2))
    values = {n: float(v) for n, v in zip(names, x)}
    stderr = {n: float(e) for n, e in zip(names, err)}
    # The scale parameters are reported in counts per unit model (not the internal factor).
    for k in range(K):
        n = "scale" if problem.shared_scale else f"scale[{k}]"
        values[n] = float(x[problem.i_scale[k]] * problem.ref[k])
        stderr[n] = float(err[problem.i_scale[k]] * problem.ref[k])
    ivals = {n: (values[n] - z * stderr[n], values[n] + z * stderr[n]) for n in names}
    notes = []
    n_free = len(params.free)
    corr = cov[:n_free, :n_free] / np.outer(np.maximum(err[:n_free], 1e-300), np.maximum(err[:n_free], 1e-300))
    for i in range(n_free):
        for j in range(i + 1, n_free):
            if abs(corr[i, j]) > 0.95:
                notes.append(f"{names[i]} and {names[j]} correlate ({corr[i, j]:+.3f}): not separable with "
                             f"these data: fix one or add distances/wavelengths")
    if intervals == "profile":
        target = float(scipy.stats.chi2.ppf(level, 1))
        for j in range(n_free):
            ivals[names[j]] = _profile(problem, x, dev, j, err[j], z, target, lo, hi, max_nfev, ftol)
            lin = z * err[j]
            a, b = ivals[names[j]]
            if lin > 0 and max(abs((x[j] - a) - lin), abs((b - x[j]) - lin)) > lin / 3:
                notes.append(f"{names[j]}: the linearised error is off by more than a third "
                             f"(profile interval [{a:.4g}, {b:.4g}], linearised ±{lin:.3g})")
    for note in notes:
        warnings.warn(note, RuntimeWarning, stacklevel=2)

    derived = _derived(params, names, x, cov)
    pred = problem.predicted(x)
    out_channels = []
    r_all, o = problem.residuals(x), 0
    for k, c in enumerate(chans):
        n = c.window.stop - c.window.start
        out_channels.append(dict(label=c.label, rho=c.rho, wavelength_nm=c.wavelength, t_ps=c.t, counts=c.y,
                                 fitted=pred[k], fit_slice=c.window, residuals=r_all[o:o + n]))
        o += n
    return GlobalFitResult(
        names=tuple(names), values=values, stderr=stderr, covariance=cov, intervals=ivals,
        interval_kind=intervals, level=level, derived=derived, chi2=dev, dof=dof, chi2_red=dev / dof,
        channels=out_channels, starts=starts, starts_at_best=int(at_best), model_calls=problem.calls,
        wall_time_s=time.perf_counter() - started, success=bool(res.success), message=str(res.message),
        warnings=notes, parameters=params)


def _profile(problem, x, dev, j, sigma, z, target, lo, hi, max_nfev, ftol):
    """Where the deviance, minimised over the other parameters, rises by `target` on either side of x[j]."""
    def rise(p, warm):
        xs = warm.copy()
        xs[j] = p
        # A looser stop than the best fit's: the rise is wanted to ~0.01, not the deviance to 1e-4.
        xf, d, _ = problem.solve(xs, lo, hi, fixed=(j,), max_nfev=max_nfev, ftol=max(ftol, 3e-5))
        return d - dev, xf

    ends = []
    for side in (-1.0, 1.0):
        bound = lo[j] if side < 0 else hi[j]
        # First probe at the linearised end, but at most half way to the bound.
        step = min(z * sigma if sigma > 0 else 0.1 * max(abs(x[j]), 1e-3), 0.5 * abs(bound - x[j]))
        inner, d_inner, warm = x[j], 0.0, x
        outer = None
        for _ in range(8):  # widen until the profile has risen past the target
            p = x[j] + side * step
            if (p - bound) * side >= 0:
                p = bound
            d, xf = rise(p, warm)
            if d >= target:
                outer, d_outer = p, d
                break
            inner, d_inner, warm = p, d, xf
            if p == bound:
                break
            step *= 2
        if outer is None:  # below the target up to the bound (or far out): the interval reaches it
            ends.append(inner)
            continue
        estimate = outer
        for _ in range(10):  # bracketed: sqrt(rise) is nearly linear in the parameter; bisect when not
            si, so = math.sqrt(max(d_inner, 0.0)), math.sqrt(d_outer)
            estimate = inner + (outer - inner) * (math.sqrt(target) - si) / (so - si)
            if not 0.1 < (estimate - inner) / (outer - inner) < 0.9:
                estimate = 0.5 * (inner + outer)
            d, xf = rise(estimate, warm)
            if abs(d - target) < 0.1:
                break
            if d < target:
                inner, d_inner, warm = estimate, d, xf
            else:
                outer, d_outer = estimate, d
        ends.append(estimate)
    return (min(ends), max(ends))


def _derived(params: ParameterSet, names, x, cov) -> dict:
    """Total haemoglobin and saturation per layer, errors propagated through the covariance."""
    out = {}
    index = {n: i for i, n in enumerate(names)}
    n_layers = params.layers0.shape[0]
    v = params.with_free(x[:len(params.free)])
    for k in range(1, n_layers + 1):
        o, d = f"HbO2_{k}", f"HHb_{k}"
        if o not in v or d not in v:
            continue
        total = v[o] + v[d]
        g_t = np.zeros(len(names))
        g_s = np.zeros(len(names))
        for name, dt, ds in ((o, 1.0, v[d] / total ** 2 if total > 0 else 0.0),
                             (d, 1.0, -v[o] / total ** 2 if total > 0 else 0.0)):
            if name in index:
                g_t[index[name]] = dt
                g_s[index[name]] = ds
        out[f"tHb_{k}"] = (total, float(math.sqrt(max(g_t @ cov @ g_t, 0.0))))
        out[f"StO2_{k}"] = (v[o] / total if total > 0 else float("nan"), float(math.sqrt(max(g_s @ cov @ g_s, 0.0))))
    return out
