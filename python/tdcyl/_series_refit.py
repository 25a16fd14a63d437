"""The nonlinear method of fit_series: every frame refitted by Gauss-Newton steps on the Poisson
deviance with the exact Jacobian, warm-started from the previous frame. The model and its
derivatives at the point the previous frame ended serve the first step of the next one, so a
recording that changes little from frame to frame costs about one model call per frame."""
from __future__ import annotations

import warnings

import numpy as np

from ._global_params import ParameterSet
from ._global_problem import _covariance, _deviance_residuals
from .irf import _IrfConvolution
from .model import reflectance

_CELL = ("musp", "mua", "n", "l")
# The model's promise per frame: far below the Poisson noise of any bin that counts.
MODEL_TOLERANCE = 1e-7
# A step smaller than this share of every parameter's standard error ends a frame.
SETTLED = 0.05


class FrameFitter:
    """Refits of one recording's frames: the free layer parameters per frame, each channel's
    shift, scale and background held at the given values (those of one frame)."""

    def __init__(self, params: ParameterSet, base: dict, chans, shifts, scales, backgrounds, engine, threads,
                 M=1):
        self.p, self.base, self.ch = params, base, chans
        self.shifts, self.scales, self.bgs = shifts, scales, backgrounds
        self.engine, self.threads = engine, threads
        self.grid = 10.0 * np.arange(1, 512 // M + 1)
        self.conv = [_IrfConvolution(c.t, c.irf) for c in chans]
        self.groups = {}
        for k, c in enumerate(chans):
            self.groups.setdefault(c.wavelength, []).append(k)
        self.lo, self.hi = (np.array(b) for b in zip(*params.bounds))
        self.calls = 0

    def shapes(self, x):
        """Per channel the fit window's model (x) IRF at unit scale and its derivatives: bins x (P + 1)."""
        out = [None] * len(self.ch)
        for wl, ks in self.groups.items():
            layers, dlayers = self.p.layers_with_derivatives(x, wl)
            cells = [(i, j) for i in range(layers.shape[0]) for j in (0, 1, 3) if np.any(dlayers[:, i, j])]
            rhos = sorted({self.ch[k].rho for k in ks})
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # the baseline fit has reported the model's doubts
                c = reflectance(layers, rho=rhos, times_ps=self.grid, all_samples=True, tolerance=MODEL_TOLERANCE,
                                derivatives=[f"{_CELL[j]}{i + 1}" for i, j in cells], engine=self.engine,
                                threads=self.threads, **self.base)
            self.calls += 1
            chain = np.array([dlayers[:, i, j] for i, j in cells]).reshape(len(cells), dlayers.shape[0])
            for k in ks:
                curve = c[rhos.index(self.ch[k].rho)]
                cols = np.column_stack([curve.derivatives @ chain, curve.reflectance])
                out[k] = self.conv[k](self.grid, cols, self.shifts[k] + self.ch[k].offset)[self.ch[k].window]
        return out

    def step(self, x, H, y):
        """One Gauss-Newton step on the deviance residuals from x (H the shapes at x): the new
        point and the Jacobian at x."""
        rs, Js = [], []
        for k, h in enumerate(H):
            m = self.scales[k] * h[:, -1] + self.bgs[k]
            r, d = _deviance_residuals(m, y[k])
            rs.append(r)
            Js.append(d[:, None] * self.scales[k] * h[:, :-1])
        r, J = np.concatenate(rs), np.vstack(Js)
        delta = np.linalg.lstsq(J, -r, rcond=None)[0]
        return np.clip(x + delta, self.lo, self.hi), J

    def run(self, counts, x0, iterations):
        """Values (F, P), covariances (F, P, P) and whether each frame settled within
        `iterations` model calls."""
        K, F = counts.shape[:2]
        P = len(x0)
        xs, covs, ok = np.zeros((F, P)), np.zeros((F, P, P)), np.zeros(F, dtype=bool)
        anchor, H = np.array(x0, dtype=float), self.shapes(x0)
        for f in range(F):
            y = [counts[k, f][self.ch[k].window] for k in range(K)]
            x, J = self.step(anchor, H, y)
            for call in range(iterations + 1):
                sigma = np.sqrt(np.clip(np.diag(_covariance(J)), 1e-300, None))
                ok[f] = bool(np.all(np.abs(x - anchor) <= SETTLED * sigma))
                if ok[f] or call == iterations:
                    break
                anchor, H = x, self.shapes(x)
                x, J = self.step(anchor, H, y)
            xs[f], covs[f] = x, _covariance(J)
        return xs, covs, ok
