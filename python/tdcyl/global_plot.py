"""Plot of a global fit: one column per wavelength, every distance's counts and model, residuals below."""
from __future__ import annotations

import os

import numpy as np

__all__ = ["plot_global"]


def plot_global(result, path=None, *, title=None):
    """Counts (dots) and fitted model (lines) of every channel on a log scale, one panel per
    wavelength, the deviance residuals below; saved as PNG when path is given. Returns the figure."""
    import matplotlib
    if not os.environ.get("MPLBACKEND"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    wavelengths = sorted({c["wavelength_nm"] for c in result.channels}, key=lambda w: (w is None, w or 0))
    fig, axes = plt.subplots(2, len(wavelengths), sharex="col", squeeze=False,
                             figsize=(4.2 * len(wavelengths) + 0.8, 5.5), gridspec_kw={"height_ratios": [3, 1]})
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for col, wl in enumerate(wavelengths):
        ax, axr = axes[0, col], axes[1, col]
        chans = sorted((c for c in result.channels if c["wavelength_nm"] == wl), key=lambda c: c["rho"])
        peak = 1.0
        for i, c in enumerate(chans):
            colour = colours[i % len(colours)]
            w, t = c["fit_slice"], c["t_ps"]
            ax.semilogy(t, np.maximum(c["counts"], 0.5), ".", ms=2, color=colour, alpha=0.45)
            ax.semilogy(t[w], c["fitted"][w], "-", lw=1.3, color=colour, label=f"ρ = {c['rho']:g} mm")
            axr.plot(t[w], c["residuals"], ".", ms=2, color=colour)
            peak = max(peak, float(np.max(c["counts"])))
        ax.set_ylim(max(0.5, peak * 1e-4), peak * 2)
        ax.set_title(f"{wl:g} nm" if wl is not None else "all channels", fontsize=9)
        ax.legend(fontsize=7, loc="upper right")
        axr.axhline(0, color="0.3", lw=0.8)
        axr.set_xlabel("t [ps]")
        if col == 0:
            ax.set_ylabel("counts per bin")
            axr.set_ylabel("deviance\nresidual")
    fig.suptitle(title or f"global fit: deviance/dof = {result.chi2_red:.3f}", fontsize=10)
    fig.tight_layout()
    if path is not None:
        fig.savefig(os.fspath(path), dpi=110)
    return fig
