"""Plots with matplotlib (the Agg backend: files, no display needed)."""
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


def plot_fit(result, path=None, *, title=None):
    """Counts and fitted model on a log scale, weighted residuals below."""
    plt = _pyplot()
    fig, (ax, axr) = plt.subplots(2, 1, sharex=True, figsize=(7, 5.5), gridspec_kw={"height_ratios": [3, 1]})
    w = result.fit_slice
    t = result.t_ps
    ax.semilogy(t, np.maximum(result.counts, 0.5), ".", ms=2.5, color="0.45", label="measurement")
    ax.semilogy(t[w], result.fitted[w], "-", color="tab:red", lw=1.5, label="fitted model")
    ax.axvspan(t[w][0], t[w][-1], color="tab:blue", alpha=0.06, label="fit range")
    peak = float(np.max(result.counts))
    ax.set_ylim(max(0.5, peak * 1e-4), peak * 2)
    ax.set_ylabel("counts per bin")
    ax.legend(loc="upper right", fontsize=8)
    text = "\n".join(f"{n} = {result.values[n]:.4g} ± {result.stderr[n]:.2g}" for n in result.names)
    text += f"\nχ²/dof = {result.chi2_red:.3f}"
    ax.text(0.02, 0.03, text, transform=ax.transAxes, fontsize=8, family="monospace", va="bottom")
    axr.plot(t[w], result.residuals, ".", ms=2.5, color="tab:red")
    axr.axhline(0, color="0.3", lw=0.8)
    axr.set_ylabel("weighted\nresidual")
    axr.set_xlabel("t [ps]")
    return _finish(fig, ax, title, path)


def plot(obj, path=None, *, title=None, labels=None):
    """Plots a FitResult, a Curve or a CurveSet (reflectance on a log scale); saves a PNG when path is given.

    Returns the matplotlib figure.
    """
    from .fitting import FitResult
    from .model import Curve, CurveSet
    if isinstance(obj, FitResult):
        return plot_fit(obj, path, title=title)
    if isinstance(obj, Curve):
        curves = [obj]
    elif isinstance(obj, CurveSet):
        curves = list(obj)
    else:
        raise TypeError(f"plot needs a FitResult, Curve or CurveSet, not {type(obj).__name__}")
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for k, c in enumerate(curves):
        label = labels[k] if labels else f"ρ = {c.rho:g} mm"
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
