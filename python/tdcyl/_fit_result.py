"""The result of tdcyl.fit(): values, errors, statistics and flags, as text, a table or a plot."""
from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from . import _checks as chk

__all__ = ["FitResult"]


@dataclass(repr=False)
class FitResult:
    """Outcome of tdcyl.fit().

    names: fitted parameters in order (layer parameters, then "shift" in ps,
    "scale" and "background" in counts per bin when fitted); values/stderr/
    start: by name (stderr inf for a parameter the data do not determine);
    covariance: in the order of names;
    chi2: sum of the squared residuals, chi2_red = chi2/dof; p_value: of the
    goodness-of-fit test (gof_test); residuals: (model - data)/sigma over the
    fit range (signed square roots of the Poisson deviance for Poisson
    weights); success: the optimiser converged AND the fit passed the test;
    at_bound, undetermined: names flagged; model_calls: evaluations of the
    forward model (the cost of the fit); extra["background"]: the constant
    count level per bin in the model (0 without one). report() gives all of it as text.
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
    converged: bool = True
    p_value: float = math.nan
    gof_test: str = ""
    start: dict = field(default_factory=dict)
    bounds: dict = field(default_factory=dict)
    at_bound: tuple = ()
    undetermined: tuple = ()
    irf: np.ndarray | None = None
    units: dict = field(default_factory=dict)
    warnings: tuple = ()
    extra: dict = field(default_factory=dict)

    @property
    def correlation(self) -> np.ndarray:
        """Correlation matrix of the parameters (NaN where one is undetermined)."""
        s = np.sqrt(np.diag(self.covariance))
        with np.errstate(divide="ignore", invalid="ignore"):
            return self.covariance / np.outer(s, s)

    def _value(self, name: str) -> str:
        v, e, u = self.values[name], self.stderr[name], self.units.get(name, "")
        return f"{v:.6g} ± {e:.2g} {'' if u == '1' else u}".rstrip()

    def __repr__(self) -> str:
        state = "success" if self.success else "NOT trusted"
        head = f"<FitResult {state}: chi2/dof = {self.chi2_red:.4g} ({self.dof} dof, p = {self.p_value:.2g})"
        params = "\n".join(f"  {n} = {self._value(n)}" for n in self.names)
        return f"{head}\n{params}>"

    def report(self, min_correlation: float = 0.1) -> str:
        """The fit as text: statistics, values ± standard errors with start values and units,
        correlations above min_correlation (in magnitude), and flags."""
        lines = [f"Fit: {'success' if self.success else 'NOT trusted'}: {self.message}"]
        t = self.t_ps[self.fit_slice]
        n_free = len(self.names) + (0 if "scale" in self.names else 1)
        lines.append(f"  {t.size} bins from {t[0]:g} to {t[-1]:g} ps, {n_free} parameters"
                     f"{'' if 'scale' in self.names else ' (the area scale included)'}, {self.dof} degrees of freedom")
        lines.append(f"  chi2 = {self.chi2:.6g}, chi2/dof = {self.chi2_red:.4g}, {self.gof_test} p = {self.p_value:.3g}")
        lines.append(f"  {self.nfev} evaluations, {self.model_calls} model calls, {self.wall_time_s:.2f} s")
        width = max([len(n) for n in self.names] + [5])
        lines.append(f"  {'':<{width}} {'value':>12}   {'std. error':<9} {'rel.':>7}  {'unit':<12} {'start':>10}")
        for n in self.names:
            v, e, u = self.values[n], self.stderr[n], self.units.get(n, "")
            rel = f"{100 * e / abs(v):.2g} %" if math.isfinite(e) and v != 0 else ""
            flag = (" AT BOUND" if n in self.at_bound else "") + (" UNDETERMINED" if n in self.undetermined else "")
            lines.append(f"  {n:<{width}} {v:>12.6g} ± {e:<9.2g} {rel:>7}  {u:<12} {self.start.get(n, math.nan):>10.6g}"
                         f"{flag}")
        if "scale" not in self.names:
            lines.append(f"  {'scale':<{width}} {self.scale:>12.6g}   {'':<9} {'':>7}  {self.units.get('scale', ''):<12}"
                         " (the data's area in the fit range)")
        bg = self.extra.get("background", 0.0)
        if "background" not in self.names and bg:
            e = self.extra.get("background_stderr", math.nan)
            src = self.extra.get("background_source", "given")
            err = f"± {e:<9.2g}" if math.isfinite(e) else " " * 11
            lines.append(f"  {'background':<{width}} {bg:>12.6g} {err} {'':>7}  {chk.unit('background'):<12} "
                         f"({src}, not fitted)")
        corr = self.correlation
        pairs = [(abs(corr[i, j]), self.names[i], self.names[j], corr[i, j]) for i in range(len(self.names))
                 for j in range(i + 1, len(self.names)) if abs(corr[i, j]) >= min_correlation]
        if pairs:
            lines.append(f"Correlations (|r| >= {min_correlation:g}):")
            lines += [f"  {a:<{width}} {b:<{width}} {r:+.3f}" for _, a, b, r in sorted(pairs, reverse=True)]
        lines += [f"Flag: {w}" for w in self.warnings if not w.startswith("fit not trusted")]
        return "\n".join(lines)

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
        """Data, fitted model and scaled IRF on a log axis, residuals below, the parameters beside;
        saved as PNG when path is given. Returns the figure."""
        from .plotting import plot_fit
        return plot_fit(self, path, title=title)
