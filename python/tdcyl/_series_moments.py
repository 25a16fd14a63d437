"""The moments method of fit_series: per frame and channel the changes of ln N, <t> and V
against the baseline, mapped to the free parameters with the model's exact moment derivatives
(weighted least squares with the delta-method Poisson covariance of the data moments)."""
from __future__ import annotations

import numpy as np

from ._global_params import ParameterSet
from ._moments import _raw_moments, moments

_CELL = ("musp", "mua", "n", "l")


class MomentModel:
    """Model moments of every channel as functions of the free parameters: values
    (ln N, <t>, V) per channel and their Jacobian by the free parameters."""

    def __init__(self, params: ParameterSet, base: dict, rhos, wavelengths):
        self.p = params
        self.geo = dict(radius=base["radius"], rho0=base.get("rho0", 0.0), phi=base.get("phi", 0.0),
                        mmax=base.get("mmax", 0) if base.get("rho0", 0.0) > 0 else None)
        self.groups = {}
        for k, wl in enumerate(wavelengths):
            self.groups.setdefault(wl, []).append(k)
        self.rhos = np.asarray(rhos, dtype=float)
        self.calls = 0

    def __call__(self, x):
        """(K, 3) values and (K, 3, P) derivatives at the free values x."""
        K, P = self.rhos.size, len(self.p.free)
        values, jac = np.zeros((K, 3)), np.zeros((K, 3, P))
        for wl, ks in self.groups.items():
            layers, dlayers = self.p.layers_with_derivatives(x, wl)
            cells = [(i, j) for i in range(layers.shape[0]) for j in (0, 1, 3) if np.any(dlayers[:, i, j])]
            m = moments(layers, rho=self.rhos[ks], derivatives=[f"{_CELL[j]}{i + 1}" for i, j in cells],
                        **self.geo)
            self.calls += 1
            values[ks] = np.column_stack([np.log(m.N), m.mean_ps, m.variance_ps2])
            for i, j in cells:
                d = m.derivatives[f"{_CELL[j]}{i + 1}"]
                per = np.column_stack([d[0] / m.N, d[1], d[2]])  # d ln N = dN / N
                jac[ks] += per[:, :, None] * dlayers[:, i, j][None, None, :]
        return values, jac


def data_changes(t, frames, base_counts, n_base, background):
    """Per frame and channel the changes of (ln N, <t>, V) against the baseline and their
    covariance (F, K, 3) and (F, K, 3, 3): Poisson noise of the frame and of the baseline.

    t (K, bins) bin centres; frames (K, F, bins); base_counts (K, bins), the sum of n_base
    frames; background (K,) counts per bin of one frame."""
    n_f, mean_f, var_f, cov_f = _raw_moments(t[:, None, :], frames, background[:, None, None])
    n_b, mean_b, var_b, cov_b = _raw_moments(t, base_counts, n_base * background[:, None])
    if np.any(~(n_f > 0)):
        raise ValueError("channels: a frame has no counts above the background; the moments need some")
    y = np.stack([np.log(n_f / (n_b[:, None] / n_base)), mean_f - mean_b[:, None], var_f - var_b[:, None]], -1)
    # ln N: the first row and column of each covariance divided by N.
    sf = np.stack([1 / n_f, np.ones_like(n_f), np.ones_like(n_f)], -1)
    sb = np.stack([1 / n_b, np.ones_like(n_b), np.ones_like(n_b)], -1)
    cov = cov_f * sf[..., :, None] * sf[..., None, :] + (cov_b * sb[:, :, None] * sb[:, None, :])[:, None]
    return np.moveaxis(y, 0, 1), np.moveaxis(cov, 0, 1)


def solve_frames(model: MomentModel, x0, y, cov, lo, hi, rel_change=0.02, iterations=4):
    """Free values and their covariance per frame by weighted Gauss-Newton steps on the moments.

    The model is linearised about anchors on a grid of cells rel_change * |x0| wide around the
    baseline x0: every frame's step starts from the anchor of the cell its estimate lies in, and
    the anchors' moments and derivatives are computed once however many frames share them (a
    recording's frames visit few cells), until no frame changes cell. Returns values (F, P),
    covariances (F, P, P) and whether each frame's cell settled."""
    F, P = y.shape[0], len(x0)
    h = rel_change * np.maximum(np.abs(x0), 1e-12)
    white = np.linalg.inv(np.linalg.cholesky(cov))  # (F, K, 3, 3): L^-1, so that L^-1 r is white
    anchors = {}

    def at(cell):
        if cell not in anchors:
            a = np.clip(x0 + np.array(cell) * h, lo, hi)
            anchors[cell] = (a,) + model(a)
        return anchors[cell]

    g0 = at((0,) * P)[1]
    x, A = np.zeros((F, P)), np.zeros((F, P, P))
    cells = np.zeros((F, P), dtype=np.int64)
    settled = np.zeros(F, dtype=bool)
    for it in range(iterations + 1):
        for cell in {tuple(c) for c in cells[~settled]}:
            which = np.flatnonzero(~settled & np.all(cells == cell, axis=1))
            a, g, J = at(cell)
            w = white[which]
            # x = a + (J^T W J)^-1 J^T W (y - (g(a) - g(x0))), W = cov^-1.
            r = np.einsum("fkij,fkj->fki", w, y[which] - (g - g0))
            Jw = np.einsum("fkij,kjp->fkip", w, J)
            A[which] = np.einsum("fkip,fkiq->fpq", Jw, Jw)
            x[which] = a + np.linalg.solve(A[which], np.einsum("fkip,fki->fp", Jw, r)[..., None])[..., 0]
        new = np.rint((x - x0) / h).astype(np.int64)
        settled |= np.all(new == cells, axis=1)
        if it == iterations or np.all(settled):
            break
        cells = np.where(settled[:, None], cells, new)
    return x, np.linalg.inv(A), settled
