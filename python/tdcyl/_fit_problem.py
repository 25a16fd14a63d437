"""The optimiser's side of `fit`: the checked arguments, the layout of the parameter
vector, the histogram as the optimiser sees it, and the problem (curves, residuals,
Jacobians, start) that the solver runs on."""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from . import _checks as chk
from . import _fit_solver
from ._fit_channel import EXACT_TOLERANCE, _poisson_deviance_residuals, _pre_pulse, fit_range_slice
from .irf import _IrfConvolution
from .model import _checked, _computed


@dataclass
class FitArgs:
    """The checked arguments of `fit`: the histogram, the IRF and the options."""
    t: np.ndarray
    width: float
    y: np.ndarray
    irf_c: np.ndarray
    scale: str
    shift: bool
    background: object  # as given ("pre-pulse" is told apart from a number in the result)
    free_background: bool
    given_background: float | None
    eng: str
    threads: int
    max_nfev: int
    ftol: float
    min_p: float
    base: dict
    layers0: np.ndarray


@dataclass
class Layout:
    """The parameter vector: the layer parameters (their cells of the layers array), then
    shift, scale and background where fitted; bounds in counts."""
    free: tuple
    slots: list
    names: list
    i_shift: int | None
    i_scale: int | None
    i_bg: int | None
    lo: list
    hi: list


@dataclass
class FitData:
    """The histogram in units of its peak c: the fit range, the background, the weighting
    ("poisson", "sigma" or "none"; sigma relative to its median) and the factor k by which
    the optimiser's residuals exceed the true ones."""
    window: slice
    c: float
    yw: np.ndarray
    given_background: float | None
    bg_stderr: float
    bg_n: float
    mode: str
    sigma: np.ndarray | None
    k: float
    n_params: int
    dof: int


class FitProblem:
    """Residuals and Jacobians of one histogram as functions of the parameter vector.

    The model's curves are cached by their layer parameters and their convolutions with the
    IRF by those and the shift: the shift and scale columns of a Jacobian cost no model call.
    It is built with its start (x0, checked against the bounds) ready for `solve`.
    """

    def __init__(self, args: FitArgs, layout: Layout, data: FitData, exact: bool):
        self.a, self.p, self.d, self.exact = args, layout, data, exact
        self.irf_n = args.irf_c / np.max(args.irf_c)
        self.convolution = _IrfConvolution(args.t, self.irf_n)  # the checks of fit are those of convolve_irf
        self.calls = 0
        self.cache: dict = {}
        self.histograms: dict = {}
        kwargs = {key: v for key, v in args.base.items() if key != "layers"}
        # With derivatives the curve is held to EXACT_TOLERANCE (forward differences
        # need the engine's default). The call is checked once; each curve's layers by themselves.
        grid = {"times_ps": 10.0 * np.arange(1, 512 // kwargs.get("M", 1) + 1), "derivatives": layout.free,
                "tolerance": EXACT_TOLERANCE} if exact else {}
        self.call = _checked(args.layers0, engine=args.eng, threads=args.threads, all_samples=True, **grid,
                             **kwargs)[1]
        self.value = -2 if exact and args.shift else -1  # the column of the curve itself
        self._start()

    def layers(self, optical: tuple) -> np.ndarray:
        """The model's layers with the free layer parameters set to `optical`."""
        layers = self.a.layers0.copy()
        for (i, j), v in zip(self.p.slots, optical):
            layers[i, j] = v
        return layers

    def curve(self, optical: tuple):
        """(t, R, warnings, dR, unheld error) of the model at the layer parameters `optical`."""
        if optical not in self.cache:
            cv = _computed(chk.layers_array(self.layers(optical)), self.call)[0]
            self.calls += 1
            if len(self.cache) > 64:
                self.cache.clear()
            self.cache[optical] = (cv.t_ps, cv.reflectance, tuple(dict.fromkeys(cv.warnings)), cv.derivatives,
                                   cv.unheld_error)
        return self.cache[optical]

    def histogram(self, x):
        """convolve_irf of the curve at x; exact: its derivatives before it, and d/dshift after it if
        the shift is free."""
        free, shift = self.p.free, self.a.shift
        optical = tuple(x[:len(free)].tolist())
        s = float(x[self.p.i_shift]) if shift else 0.0
        if optical + (s,) not in self.histograms:
            tm, rm, _, dr, _ = self.curve(optical)
            if not np.all(np.isfinite(rm)):
                raise ValueError(f"the model's curve is not finite at {dict(zip(free, optical))}")
            columns = rm if not self.exact or dr is None else np.column_stack([dr, rm])
            if len(self.histograms) > 8:
                self.histograms.clear()
            self.histograms[optical + (s,)] = self.convolution(tm, columns, s, with_shift=self.exact and shift)
        return self.histograms[optical + (s,)]

    def background_at(self, x) -> float:
        return float(x[self.p.i_bg]) if self.a.free_background else self.d.bg_n

    def predicted(self, x, area=None, h=None):
        """The model in units of the data's peak over all bins, and its scale."""
        area = self.a.scale == "area" if area is None else area
        if h is None:
            h = self.histogram(x)[:, self.value]
        b = self.background_at(x)
        window, yw = self.d.window, self.d.yw
        if area:  # the data's area above the background in the fit range, never outside it
            hw = float(np.sum(h[window]))
            a = max(float(np.sum(yw)) - b * yw.size, 0.0) / hw if hw > 0 else 0.0
        else:
            a = float(x[self.p.i_scale])
        return a * h + b, a

    def residuals(self, x):
        m = self.predicted(x)[0][self.d.window]
        if self.d.mode == "poisson":
            return _poisson_deviance_residuals(m, self.d.yw)
        return (m - self.d.yw) / self.d.sigma

    def exact_jacobian(self, x):
        # The model's derivatives through the (linear) IRF convolution, then the
        # area scale's and the residuals' own dependence on the model.
        d, p = self.d, self.p
        H = self.histogram(x)[d.window]
        h = H[:, self.value]
        H = np.delete(H, self.value, axis=1)
        b = self.background_at(x)
        J = np.zeros((h.size, len(p.names)))
        hw, rest = float(np.sum(h)), float(np.sum(d.yw)) - b * d.yw.size
        if self.a.scale == "area":
            a = max(rest, 0.0) / hw if hw > 0 else 0.0
            if rest > 0 and hw > 0:  # a = rest / sum(h): d(a h) = a (dh - h sum(dh) / sum(h))
                J[:, :H.shape[1]] = a * (H - np.outer(h, H.sum(axis=0)) / hw)
        else:
            a = float(x[p.i_scale])
            J[:, :H.shape[1]] = a * H
            J[:, p.i_scale] = h
        if self.a.free_background:
            J[:, p.i_bg] = 1.0 - (h * d.yw.size / hw if self.a.scale == "area" and rest > 0 and hw > 0 else 0.0)
        m = a * h + b
        if d.mode == "poisson":  # d r / d m = |m - y| / (m sqrt(deviance)) -> 1/sqrt(m) as m -> y
            m = np.maximum(m, 1e-300)
            r = _poisson_deviance_residuals(m, d.yw)
            gap = np.abs(m - d.yw)
            with np.errstate(divide="ignore", invalid="ignore"):
                slope = np.where(gap > 1e-6 * m, gap / (m * np.abs(r)), 1.0 / np.sqrt(m))
            return J * slope[:, None]
        return J / d.sigma[:, None]

    def numeric_jacobian(self, x, columns=None):
        # Forward differences; shift and scale reuse the cached curve (no model call).
        p = self.p
        r0 = self.residuals(x)
        J = np.empty((r0.size, x.size))
        for i in range(x.size) if columns is None else columns:
            step = 1e-5 * max(abs(x[i]), 1.0 if i == p.i_shift else self.x_scale[i] if i in (p.i_scale, p.i_bg)
                              else 1e-4)
            if x[i] + step > self.hi[i]:
                step = -step
            xp = x.copy()
            xp[i] += step
            J[:, i] = (self.residuals(xp) - r0) / step
        return J

    def shift_column(self, x):  # no model call either way
        i = self.p.i_shift
        return self.exact_jacobian(x)[:, i] if self.exact else self.numeric_jacobian(x, columns=(i,))[:, i]

    def _start(self):
        """Sets the start x0 (checked against the bounds), the bounds and scales of the optimiser
        (scale and background in units of the peak) and the start by name (in counts)."""
        a, p, d = self.a, self.p, self.d
        x0 = [a.layers0[i, j] for (i, j) in p.slots] + ([0.0] if a.shift else []) + (
            [1.0] if a.scale == "free" else [])
        if a.free_background:  # from the pre-pulse level when there are bins before the pulse
            try:
                x0.append(_pre_pulse(a.t, a.y)[0] / d.c)
            except ValueError:
                x0.append(0.0)
        x0 = np.array(x0, dtype=float)
        # Scale and background in counts outside, in units of the peak inside.
        self.units_of = np.where(np.isin(np.arange(len(p.names)), [i for i in (p.i_scale, p.i_bg) if i is not None]),
                                 d.c, 1.0)
        lo, hi = list(np.array(p.lo) / self.units_of), list(np.array(p.hi) / self.units_of)
        self.lo, self.hi = lo, hi
        if a.free_background:
            x0[p.i_bg] = min(max(x0[p.i_bg], lo[p.i_bg]), hi[p.i_bg])
        if a.scale == "free":  # start from the area scale
            x0[p.i_scale] = self.predicted(x0, area=True)[1]
        for i, name in enumerate(p.names):
            if not lo[i] <= x0[i] <= hi[i]:
                raise ValueError(f"the start value of {name} ({x0[i]}) is outside its bounds ({lo[i]}, {hi[i]})")
        self.x_scale = _scales(x0, p, a.width)
        self.x0 = x0
        self.start_values = dict(zip(p.names, x0 * self.units_of))

    def solve(self):
        """The optimiser's result from the start (see _fit_solver.least_squares)."""
        p = self.p
        # The layer parameters with a lower bound above 0 (all, by default) as logarithms.
        positive = (np.arange(len(p.names)) < len(p.free)) & (np.array(self.lo) > 0)
        return _fit_solver.least_squares(
            self.residuals, self.exact_jacobian if self.exact else self.numeric_jacobian, self.x0, self.lo, self.hi,
            self.x_scale, positive, eliminate=(p.i_shift, self.shift_column) if self.a.shift else None,
            max_nfev=self.a.max_nfev, ftol=self.a.ftol, xtol=1e-7, gtol=1e-15)


def _scales(x0, p: Layout, width: float) -> np.ndarray:
    """The optimiser's scale of each parameter."""
    x_scale = np.maximum(np.abs(x0), 1e-3)
    if p.i_shift is not None:
        x_scale[p.i_shift] = width
    if p.i_scale is not None:
        x_scale[p.i_scale] = max(abs(x0[p.i_scale]), 1e-300)
    if p.i_bg is not None:  # a background of a few counts per bin is ~1e-3 of a peak of thousands
        x_scale[p.i_bg] = max(abs(x0[p.i_bg]), 1e-3)
    return x_scale


def fit_data(args: FitArgs, layout: Layout, fit_range, weights) -> FitData:
    """The histogram as the optimiser sees it, with the degrees of freedom checked."""
    y, t = args.y, args.t
    window = fit_range_slice(y, fit_range)
    given_background, bg_stderr = args.given_background, math.nan
    if args.background == "pre-pulse":
        given_background, bg_stderr = _pre_pulse(t, y)
    # The fit runs on counts divided by their peak c (and sigma by its median): the
    # residuals the optimiser sees are k times the true ones, whatever the data's units.
    c = float(np.max(y))
    yw = (y / c)[window]
    bg_n = given_background / c if given_background is not None else 0.0
    mode, sigma, k = _weighting(weights, y, window, yw, c)
    n_params = len(layout.names) + (1 if args.scale == "area" else 0)
    dof = int(yw.size - n_params)
    if dof < 1:
        raise ValueError(f"fit_range holds {yw.size} bins, too few for {n_params} parameters")
    return FitData(window, c, yw, given_background, bg_stderr, bg_n, mode, sigma, k, n_params, dof)


def _weighting(weights, y, window, yw, c):
    """(mode, sigma in the fit range relative to its median, k) of the `weights` argument."""
    if weights is None:
        return "none", np.ones_like(yw), 1.0 / c
    if isinstance(weights, str):
        if weights != "poisson":
            raise ValueError(f"weights must be 'poisson', None or sigma (an array or one number), not {weights!r}")
        return "poisson", None, 1.0 / math.sqrt(c)
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
    return "sigma", s[window] / med, med / c
