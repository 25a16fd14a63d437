"""The result of tdcyl.fit_global(): values, errors, intervals, derived quantities and the channels' fits."""
from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from ._global_params import ParameterSet

__all__ = ["GlobalFitResult"]


@dataclass
class GlobalFitResult:
    """Outcome of tdcyl.fit_global().

    names: fitted parameters (layer parameters, then per channel k "shift[k]" in ps,
    "scale[k]" (or one "scale") and "background[k]" in counts per bin); values,
    stderr, intervals ({name: (low, high)} at `level`, linearised or profile, see
    interval_kind): by name; derived: {"tHb_I"/"StO2_I": (value, stderr)};
    chi2: the summed Poisson deviance; channels: per channel a dict with label,
    rho, wavelength_nm, t_ps, counts, fitted, fit_slice, residuals; starts and
    starts_at_best: how many starts ran and how many ended at the best deviance;
    success, converged, p_value (chi2 test of the deviance), message, at_bound
    and undetermined (parameter names) as in FitResult.
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
    converged: bool = True
    p_value: float = math.nan
    at_bound: tuple = ()
    undetermined: tuple = ()

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
        base, d = p.layers_with_derivatives(x, wavelength_nm)
        grad = np.moveaxis(d[:, :, :2], 0, -1)  # (layers, musp/mua, parameters)
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
