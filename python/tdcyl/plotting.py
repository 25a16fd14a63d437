"""Plots with matplotlib (the Agg backend: files, no display needed).

Depends on no other module of the package: plot() tells a fit result from a
curve by what it carries (a fit result has counts, a fitted model and a fit
range; a curve has t_ps, reflectance and one rho).
"""
from __future__ import annotations

import os

import numpy as np

__all__ = ["plot", "plot_fit"]


def _pyplot():
    import matplotlib
    if not os.environ.get("MPLBACKEND"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def _is_fit(obj) -> bool:
    return all(hasattr(obj, a) for a in ("fit_slice", "fitted", "counts", "residuals", "names"))


def _is_curve(obj) -> bool:
    # rho first: a set of curves on different grids has no single reflectance array.
    return hasattr(obj, "rho") and np.ndim(obj.rho) == 0 and hasattr(obj, "t_ps") and hasattr(obj, "reflectance")


def plot_fit(result, path=None, *, title=None):
    """Counts, fitted model and the IRF scaled to the counts' peak on a log axis, weighted
    residuals below, the parameters with their units in a box beside the axes."""
    plt = _pyplot()
    fig, (ax, axr) = plt.subplots(2, 1, sharex=True, figsize=(9.5, 5.5), gridspec_kw={"height_ratios": [3, 1]})
    w = result.fit_slice
    t = result.t_ps
    peak = float(np.max(result.counts))
    ax.semilogy(t, np.maximum(result.counts, 0.5), ".", ms=2.5, color="0.45", label="measurement")
    irf = getattr(result, "irf", None)
    if irf is not None:
        ax.semilogy(t, np.maximum(irf * peak / np.max(irf), 0.5), "-", color="tab:green", lw=0.8,
                    label="IRF (scaled to the peak)")
    ax.semilogy(t[w], result.fitted[w], "-", color="tab:red", lw=1.5, label="fitted model")
    ax.axvspan(t[w][0], t[w][-1], color="tab:blue", alpha=0.06, label="fit range")
    ax.set_ylim(max(0.5, peak * 1e-4), peak * 2)
    ax.set_ylabel("counts per bin")
    ax.legend(loc="upper right", fontsize=8)
    units = getattr(result, "units", {}) or {}
    lines = []
    for n in result.names:
        u = units.get(n, "")
        lines.append(f"{n} = {result.values[n]:.4g} ± {result.stderr[n]:.2g} {'' if u == '1' else u}".rstrip())
    lines.append(f"χ²/dof = {result.chi2_red:.3f} ({result.dof} dof)")
    if not getattr(result, "success", True):
        lines.append("NOT trusted: see report()")
    # Beside the axes, never over the data.
    ax.text(1.02, 1.0, "\n".join(lines), transform=ax.transAxes, fontsize=8, family="monospace", va="top",
            ha="left", bbox=dict(boxstyle="round", facecolor="white", edgecolor="0.7"))
    axr.plot(t[w], result.residuals, ".", ms=2.5, color="tab:red")
    axr.axhline(0, color="0.3", lw=0.8)
    axr.set_ylabel("weighted\nresidual")
    axr.set_xlabel("t [ps]")
    return _finish(fig, ax, title, path)


def plot(obj, path=None, *, title=None, labels=None):
    """Plots a fit result, a curve or several curves (reflectance on a log scale); saves a PNG
    when path is given. labels: one per curve. Returns the matplotlib figure."""
    if _is_fit(obj):
        return plot_fit(obj, path, title=title)
    if _is_curve(obj):
        curves = [obj]
    else:
        try:
            curves = list(obj)
        except TypeError:
            curves = None
        if not curves or not all(_is_curve(c) for c in curves):
            raise TypeError(f"plot needs a FitResult, Curve or CurveSet, not {type(obj).__name__}")
    if labels is not None:
        labels = [labels] if isinstance(labels, str) else list(labels)
        if len(labels) != len(curves):
            raise ValueError(f"labels: {len(labels)} label(s) for {len(curves)} curve(s)")
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for k, c in enumerate(curves):
        label = str(labels[k]) if labels is not None else f"ρ = {c.rho:g} mm"
        keep = c.reflectance > 0
        ax.semilogy(c.t_ps[keep], c.reflectance[keep], label=label)
    ax.set_xlabel("t [ps]")
    ax.set_ylabel("reflectance [mm⁻² ps⁻¹]")
    ax.legend(fontsize=8)
    return _finish(fig, ax, title, path)


def _finish(fig, ax, title, path):
    """Titles, lays out and (when path is given) saves the figure as PNG."""
    if title:
        ax.set_title(title)
    fig.tight_layout()
    if path is not None:
        fig.savefig(os.fspath(path), dpi=110)
    return fig
