"""The optimiser's side of a global fit: the channels, the summed Poisson deviance with its
Jacobian, the starts spread over the bounds, and the profile of the deviance."""
from __future__ import annotations

import math
import warnings
from dataclasses import dataclass

import numpy as np
import scipy.optimize

from ._fit_channel import EXACT_TOLERANCE, fit_range_slice
from ._global_params import ParameterSet
from .irf import _IrfConvolution, convolve_irf, uniform_bin_width
from .model import reflectance

_SHIFT_BOUNDS = (-1000.0, 1000.0)
_CELL = ("musp", "mua", "n", "l")  # the layers' columns, as the engine names its derivatives


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
    # Added to the shift: 0 with an IRF; -t_ps[0] for deconvolved gates, whose "IRF" is a
    # delta in the first bin, so that each gate integrates the flight times it spans.
    offset: float = 0.0


def _get(obj, *keys, default=None):
    for k in keys:
        if isinstance(obj, dict):
            if k in obj:
                return obj[k]
        elif hasattr(obj, k):
            return getattr(obj, k)
    return default


def channel_list(channels, form: str) -> list:
    """The channels as a list: TypeError naming the form expected for what is no sequence, ValueError
    for none."""
    try:
        items = list(channels)
    except TypeError:
        raise TypeError(f"channels must be {form}") from None
    if not items:
        raise ValueError("channels: at least one channel is needed")
    return items


def irf_per_channel(irf, n: int) -> list:
    """The IRF of each of n channels: a list of n pairs (t, counts) as it is, anything else for all."""
    if isinstance(irf, list) and len(irf) == n and all(isinstance(e, (tuple, list)) and len(e) == 2 for e in irf):
        return irf
    return [irf] * n


def _channels(channels, irf, fit_range) -> list[_Channel]:
    """Channels from a sequence of dicts (or objects with those attributes) or from a
    measurement-like object (t_ps, counts of shape (channels, bins), rho_mm, wavelength_nm)."""
    if _get(channels, "t_ps") is not None and _get(channels, "counts") is not None and not isinstance(channels, dict):
        counts = np.atleast_2d(np.asarray(channels.counts, dtype=float))
        n = counts.shape[0]
        rho = np.broadcast_to(np.asarray(_get(channels, "rho_mm", "rho"), dtype=float), (n,))
        wl = _get(channels, "wavelength_nm")
        wl = [None] * n if wl is None else list(np.broadcast_to(np.asarray(wl, dtype=float), (n,)))
        pairs = irf_per_channel(irf if irf is not None else _get(channels, "irf"), n)
        channels = [dict(t_ps=channels.t_ps, counts=counts[k], rho=rho[k], wavelength_nm=wl[k], irf=pairs[k])
                    for k in range(n)]
        irf = None
    items = channel_list(channels, "a sequence of channels (dicts with t_ps, counts, irf, rho) or a measurement "
                                   "with t_ps, counts, rho_mm, wavelength_nm")
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
        offset = 0.0
        if pair is None:  # deconvolved gates: the model integrated over each gate
            ic, offset = np.zeros(t.size), -float(t[0])
            ic[0] = 1.0
        elif not isinstance(pair, (tuple, list)) or len(pair) != 2:
            raise TypeError(f"{where}: irf must be a pair (irf_t_ps, irf_counts), or None for deconvolved gates")
        else:
            it, ic = (np.asarray(p, dtype=float) for p in pair)
            if it.shape != t.shape or not np.allclose(it, t, rtol=0, atol=1e-6 * width):
                raise ValueError(f"{where}: the IRF's bins must be those of the measurement (irf_t_ps equal to t_ps)")
            if ic.shape != t.shape or not np.all(np.isfinite(ic)) or np.any(ic < 0) or not np.sum(ic) > 0:
                raise ValueError(f"{where}: irf_counts must have the shape of t_ps, be finite, >= 0 and not all "
                                 "zero")
        rho = _get(c, "rho", "rho_mm")
        try:
            rho = float(rho)
        except (TypeError, ValueError):
            raise TypeError(f"{where}: rho must be a distance in mm, not {rho!r}") from None
        if not rho > 0:
            raise ValueError(f"{where}: rho must be > 0, got {rho}")
        wl = _get(c, "wavelength_nm")
        wl = None if wl is None or not math.isfinite(float(wl)) else float(wl)  # NaN: the file does not say
        window = fit_range_slice(y, _get(c, "fit_range", default=fit_range))
        label = f"ρ = {rho:g} mm" + (f", {wl:g} nm" if wl is not None else "")
        out.append(_Channel(t, y, ic, rho, wl, window, width, label, offset))
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


class _Curves:
    """The model's curves of the channels' distances at one wavelength, from one engine call
    per set of layers (cached), with the engine's warnings and the errors of its samples
    beyond the tolerance kept for the result."""

    def __init__(self, channels, params: ParameterSet, base: dict, engine, threads, exact):
        self.ch, self.p, self.base = channels, params, base
        self.engine, self.threads, self.exact = engine, threads, exact
        self.groups = {}  # wavelength -> list of channel indices
        for k, c in enumerate(channels):
            self.groups.setdefault(c.wavelength, []).append(k)
        self.calls = 0
        self.cache = {}
        self.notes = {}  # the engine's warnings per cached model, reported once for the result
        self.unheld = {}  # per cached model {rho: (error of samples beyond the tolerance, peak)}

    def key(self, x, wavelength):
        layers, _ = self.p.layers_with_derivatives(x[:len(self.p.free)], wavelength)
        return wavelength, layers.tobytes()

    def __call__(self, x, wavelength):
        """{rho: (t, R, dR)} of the channels at a wavelength: dR the derivatives by the free
        parameters (samples x parameters) with the exact Jacobian, else None."""
        layers, dlayers = self.p.layers_with_derivatives(x[:len(self.p.free)], wavelength)
        # The layer cells the free parameters move: the engine's derivatives by them, in one pass.
        cells = [(i, j) for i in range(layers.shape[0]) for j in (0, 1, 3) if np.any(dlayers[:, i, j])]
        key = (wavelength, layers.tobytes())
        if key not in self.cache:
            self._compute(key, layers, cells)
        if not self.exact:
            return self.cache[key]
        # Chain rule from the cells to the free parameters (spectra, power law), outside the cache:
        # the same layers may come from other spectral parameters.
        chain = np.array([dlayers[:, i, j] for i, j in cells]).reshape(len(cells), dlayers.shape[0])
        return {r: (t, R, (np.zeros((t.size, 0)) if dR is None else dR) @ chain)
                for r, (t, R, dR) in self.cache[key].items()}

    def _compute(self, key, layers, cells):
        wavelength = key[0]
        rhos = sorted({self.ch[k].rho for k in self.groups[wavelength]})
        grid = {}
        if self.exact:  # the fit's fixed grid, held to the tolerance its Jacobian needs
            grid = {"times_ps": 10.0 * np.arange(1, 512 // self.base.get("M", 1) + 1),
                    "tolerance": EXACT_TOLERANCE, "derivatives": [f"{_CELL[j]}{i + 1}" for i, j in cells]}
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            c = reflectance(layers, rho=rhos, engine=self.engine, threads=self.threads, all_samples=True,
                            **grid, **self.base)
        self.calls += 1
        if len(self.cache) > 256:
            self.cache.clear()
            self.notes.clear()
            self.unheld.clear()
        self.notes[key] = tuple(dict.fromkeys(str(w.message) for w in caught))
        self.unheld[key] = {r: (c[i].unheld_error, float(np.max(np.abs(c[i].reflectance))))
                            for i, r in enumerate(rhos)}
        self.cache[key] = {r: (c[i].t_ps, c[i].reflectance, c[i].derivatives) for i, r in enumerate(rhos)}

    def warnings_at(self, x):
        """The engine's distinct warnings about the curves of every wavelength at x."""
        out = {}
        for wavelength in self.groups:
            self(x, wavelength)
            out.update(dict.fromkeys(self.notes.get(self.key(x, wavelength), ())))
        return list(out)


class _Jacobians:
    """The Jacobian of _Problem's deviance residuals (rows: the channels' fit ranges in turn)."""

    def jacobian(self, x, lo, hi, fixed=()):
        """Of the deviance residuals: exact from the engine's derivatives, or by differences."""
        return self.exact_jacobian(x) if self.exact else self.numeric_jacobian(x, lo, hi, fixed)

    def rows(self):
        out, o = [], 0
        for c in self.ch:
            n = c.window.stop - c.window.start
            out.append(slice(o, o + n))
            o += n
        return out

    def _linear_columns(self, J, rows, k, d, h):
        """Scale and background enter channel k's model a h + b linearly; d: dr/dm, h: the shape."""
        J[rows, self.i_scale[k]] += d * self.unit_of(k) * h
        if self.background:
            J[rows, self.i_bg[k]] = d

    def exact_jacobian(self, x):
        # Per channel the curve's derivatives by the free parameters and the curve itself, by the
        # shift, through the (linear) IRF convolution; scale and background enter linearly.
        _, ds = self.residuals(x, with_derivative=True)
        J = np.zeros((self.n_bins, self.size))
        nf = len(self.p.free)
        for k, (c, rows) in enumerate(zip(self.ch, self.rows())):
            tm, rm, dr = self.curves(x, c.wavelength)[c.rho]
            s = float(x[self.i_shift[k]]) if self.shift else 0.0
            if k not in self.convolutions:  # the IRF's transform once per channel and fit
                self.convolutions[k] = _IrfConvolution(c.t, c.irf)
            H = self.convolutions[k](tm, np.column_stack([dr, rm]), s + c.offset, with_shift=True)[c.window]
            a = self.scale_of(x, k)
            J[rows, :nf] = ds[k][:, None] * a * H[:, :nf]
            if self.shift:
                J[rows, self.i_shift[k]] = ds[k] * a * H[:, -1]
            self._linear_columns(J, rows, k, ds[k], H[:, -2])
        return J

    def numeric_jacobian(self, x, lo, hi, fixed=()):
        _, ds = self.residuals(x, with_derivative=True)
        h0 = self.shapes(x)
        J = np.zeros((self.n_bins, self.size))
        rows = self.rows()
        for j in range(len(self.p.free)):
            if j not in fixed:
                self._layer_difference(J, j, x, hi, ds, h0, rows)
        for k, c in enumerate(self.ch):
            w = c.window
            if self.shift:  # central differences: the shift costs no model call
                dt = 0.05 * c.width
                s = x[self.i_shift[k]]
                up = self.shapes(x, [k], {k: s + dt})[k][w]
                down = self.shapes(x, [k], {k: s - dt})[k][w]
                J[rows[k], self.i_shift[k]] = ds[k] * self.scale_of(x, k) * (up - down) / (2 * dt)
            self._linear_columns(J, rows[k], k, ds[k], h0[k][w])
        return J

    def _layer_difference(self, J, j, x, hi, ds, h0, rows):
        """Column j (a layer parameter) by a forward difference, over the wavelengths it moves."""
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


class _Problem(_Jacobians):
    """The summed deviance of the channels as a function of one parameter vector:
    [layer parameters, per channel shift, scale factor, background].

    Its parts: the model's curves (_Curves), the channels' models and residuals (shapes,
    predicted, residuals), their Jacobian (_Jacobians), and the optimiser's side (start_vector,
    bounds, solve)."""

    def __init__(self, channels, params: ParameterSet, base: dict, shift, scale, efficiency, background,
                 engine, threads, exact=False):
        self.ch = channels
        self.exact = exact
        self.p = params
        self.curves = _Curves(channels, params, base, engine, threads, exact)
        self.groups = self.curves.groups
        self.shift, self.shared_scale, self.background = shift, scale == "shared", background
        self.eff = efficiency
        self.convolutions = {}  # per channel
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

    @property
    def calls(self):
        """Model calls so far."""
        return self.curves.calls

    def warnings_at(self, x):
        """The engine's distinct warnings about the curves of every wavelength at x."""
        return self.curves.warnings_at(x)

    def unheld_bound(self, x):
        """(bound, noise) in counts of the channel where the model's samples beyond the engine's
        tolerance weigh most at x: bound, the most they move a bin (their error times the
        curve's peak, the bin width and the channel's scale); noise, the least Poisson noise of
        a bin in the channel's fit range."""
        pred = self.predicted(x)
        worst = (0.0, 1.0)
        for k, c in enumerate(self.ch):
            error, peak = self.curves.unheld.get(self.curves.key(x, c.wavelength), {}).get(c.rho, (0.0, 0.0))
            bound = error * peak * c.width * abs(self.scale_of(x, k))
            noise = np.sqrt(max(float(np.min(pred[k][c.window])), 1.0))
            if bound / noise > worst[0] / worst[1]:
                worst = (bound, noise)
        return worst

    # The channels' models and residuals.

    def shapes(self, x, ks=None, shifts=None):
        """Model (x) IRF of the channels ks (default all), unit scale, no background."""
        out = {}
        ks = range(len(self.ch)) if ks is None else ks
        for k in ks:
            c = self.ch[k]
            tm, rm, _ = self.curves(x, c.wavelength)[c.rho]
            s = shifts[k] if shifts is not None else (x[self.i_shift[k]] if self.shift else 0.0)
            out[k] = convolve_irf(tm, rm, c.t, c.irf, shift_ps=float(s) + c.offset)
        return out

    def unit_of(self, k):
        """Counts of channel k per unit of its scale parameter."""
        return self.ref[k] * (self.eff[k] if self.shared_scale else 1.0)

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

    # The optimiser's side.

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
