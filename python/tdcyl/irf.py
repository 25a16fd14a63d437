"""The measurement model: a curve integrated over the detector's time bins and
convolved with the instrument response function (IRF).

A TCSPC histogram counts photons per time bin. Its expected value is the
reflectance integrated over each bin, convolved with the IRF (the histogram of
photons with zero time of flight: the pulse, the detector's jitter and the
electronics), times the number of photons. The model's own 10 ps samples are
therefore integrated onto the measurement's bins, not interpolated, so that the
area (the number of photons) is kept whatever the bin width.
"""
from __future__ import annotations

import math

import numpy as np
import scipy.fft

from ._checks import real

__all__ = ["bin_integrals", "convolve_irf", "uniform_bin_width"]


def _curve(name_t: str, t_ps, name_y: str, y) -> tuple[np.ndarray, np.ndarray]:
    t = np.asarray(t_ps, dtype=float)
    v = np.asarray(y, dtype=float)
    if t.ndim != 1 or t.size == 0:
        raise ValueError(f"{name_t} must be a non-empty 1-d array, got shape {t.shape}")
    if v.shape != t.shape:
        raise ValueError(f"{name_y} must have the shape of {name_t} {t.shape}, got {v.shape}")
    if np.any(np.isnan(v)) and np.all(np.isfinite(t)):  # what reflectance(times_ps=...) could not hold
        raise ValueError(f"{name_y} is NaN at {name_t} = {t[np.isnan(v)][:3].tolist()} ps: a curve of "
                         f"reflectance(times_ps=...) has NaN where no value holds its tolerance; pass a larger "
                         f"tolerance= or all_samples=True for the values as computed")
    if not (np.all(np.isfinite(t)) and np.all(np.isfinite(v))):
        raise ValueError(f"{name_t} and {name_y} must be finite")
    if np.any(np.diff(t) <= 0):
        raise ValueError(f"{name_t} must be strictly increasing")
    return t, v


def uniform_bin_width(name: str, t_ps) -> float:
    """The width of equally spaced bins given by their centres (ValueError otherwise)."""
    t = np.asarray(t_ps, dtype=float)
    if t.ndim != 1 or t.size < 2:
        raise ValueError(f"{name} must hold at least two bin centres, got shape {t.shape}")
    if not np.all(np.isfinite(t)):
        raise ValueError(f"{name} must be finite")
    steps = np.diff(t)
    width = (t[-1] - t[0]) / (t.size - 1)
    if not width > 0 or np.max(np.abs(steps - width)) > 1e-6 * width:
        raise ValueError(f"{name} must be equally spaced increasing bin centres")
    return float(width)


def bin_integrals(t_ps, model, edges_ps) -> np.ndarray:
    """Integral of the model curve over each bin [edges[j], edges[j+1]].

    The curve is the straight-line interpolation of its samples, starting from 0
    at t = 0 (the pulse leaves the source at t = 0, nothing arrives earlier) and
    0 after its last sample. The integrals of adjacent bins add up exactly to the
    integral over their union, so the area is kept for any bin width and offset.
    """
    t, y = _curve("t_ps", t_ps, "model", model)
    if t[0] < 0:
        raise ValueError("t_ps must be >= 0 (time after the pulse)")
    if t[0] > 0:
        t = np.concatenate(([0.0], t))
        y = np.concatenate(([0.0], y))
    e = np.asarray(edges_ps, dtype=float)
    if e.ndim != 1 or e.size < 2 or not np.all(np.isfinite(e)) or np.any(np.diff(e) < 0):
        raise ValueError("edges_ps must be a non-decreasing 1-d array of at least two finite values")
    if t.size < 2:  # one sample at t = 0: a curve of no duration
        return np.zeros(e.size - 1)
    # Cumulative integral at the samples (trapezoids: exact for the straight lines).
    F = np.concatenate(([0.0], np.cumsum(0.5 * (y[1:] + y[:-1]) * np.diff(t))))
    x = np.clip(e, t[0], t[-1])
    k = np.clip(np.searchsorted(t, x, side="right") - 1, 0, t.size - 2)
    h = t[k + 1] - t[k]
    d = x - t[k]
    G = F[k] + y[k] * d + 0.5 * (y[k + 1] - y[k]) / h * d * d
    return np.diff(G)


def convolve_irf(t_ps, model, irf_t_ps, irf_counts, shift_ps: float = 0.0) -> np.ndarray:
    """The model as a histogram on the IRF's time bins.

    Parameters
    ----------
    t_ps, model : 1-d arrays
        The curve (e.g. Curve.t_ps and Curve.reflectance in mm^-2 ps^-1), time
        after the pulse in ps.
    irf_t_ps, irf_counts : 1-d arrays
        The IRF: centres of equally spaced bins (ps, on the clock of the
        measurement) and counts. Normalised here to unit area.
    shift_ps : float
        Delay of the curve relative to the IRF in ps, any real value (sub-bin
        shifts included): the result for the curve R(t - shift_ps).

    Returns
    -------
    Array like irf_counts: per bin, the integral of the curve over the bin
    convolved with the unit-area IRF (mm^-2 per bin for a reflectance). Its sum
    equals the curve's area when the bins cover the curve.
    """
    ti, ci = _curve("irf_t_ps", irf_t_ps, "irf_counts", irf_counts)
    width = uniform_bin_width("irf_t_ps", ti)
    if np.any(ci < 0):
        raise ValueError("irf_counts must be >= 0")
    peak = float(np.max(ci))
    if not peak > 0:
        raise ValueError("irf_counts must have a positive sum (the IRF is empty)")
    ci = ci / peak  # before the sum: counts near the largest double would make it overflow
    s = real("shift_ps", shift_ps, unit="ps")
    n = ti.size
    # A photon launched in IRF bin k and detected after a flight of d bins lands
    # in bin k + d: the curve is binned on centres 0, w, 2w, ... of flight time,
    # with p bins before 0 for what an earlier shift moves there. Flights of
    # more than n bins either way leave the window, so p <= n whatever the shift.
    p = min(int(math.ceil(max(0.0, -s) / width)) + 1, n)
    edges = (np.arange(-p, n + 1) - 0.5) * width - s
    binned = bin_integrals(t_ps, model, edges)
    return np.convolve(ci / np.sum(ci), binned)[p:p + n]


class _IrfConvolution:
    """convolve_irf of many curves on one time grid with one IRF on fixed bins:
    a fit's model evaluations. The IRF's transform is computed once, the places
    of the bin edges among the curve's samples once per shift; the convolution
    is a product of transforms (equal to convolve_irf up to rounding).

    The arguments are those convolve_irf has accepted (fit checks them)."""

    def __init__(self, irf_t_ps, irf_counts):
        ti = np.asarray(irf_t_ps, dtype=float)
        ci = np.asarray(irf_counts, dtype=float)
        ci = ci / np.max(ci)
        self.n = n = ti.size
        self.width = (ti[-1] - ti[0]) / (n - 1)
        # Flights of up to n bins either way and p <= n bins before t = 0: a
        # period of 2n holds the n wanted bins clear of the wrapped-around ones.
        self.period = scipy.fft.next_fast_len(2 * n, real=True)
        self.irf_transform = scipy.fft.rfft(ci / np.sum(ci), self.period)
        self.grid = None
        self.places = {}

    def _places(self, t_ps: np.ndarray, shift_ps: float):
        """For the edges of bins -p ... n (the curve moved by shift_ps): the sample before each
        edge, the weights of the straight-line integral from it and of the interpolated value."""
        if self.grid is None or self.grid.shape != t_ps.shape or not np.array_equal(self.grid, t_ps):
            self.grid = t_ps.copy()
            self.places = {}
        if shift_ps not in self.places:
            t = np.concatenate(([0.0], t_ps)) if t_ps[0] > 0 else t_ps
            w, n = self.width, self.n
            p = min(int(math.ceil(max(0.0, -shift_ps) / w)) + 1, n)
            e = (np.arange(-p, n + 1) - 0.5) * w - shift_ps
            x = np.clip(e, t[0], t[-1])
            k = np.clip(np.searchsorted(t, x, side="right") - 1, 0, t.size - 2)
            h = t[k + 1] - t[k]
            d = x - t[k]
            half = 0.5 * d * d / h  # the integral from t[k] to x is y[k] (d - half) + y[k+1] half
            inside = (e >= t[0]) & (e <= t[-1])
            up = np.where(inside, d / h, 0.0)  # the interpolated value is y[k] (1 - up) + y[k+1] up
            if len(self.places) > 8:
                self.places.clear()
            self.places[shift_ps] = (p, k, k + 1, d - half, half, np.where(inside, 1.0, 0.0) - up, up,
                                     0.5 * np.diff(t), int(t_ps[0] > 0))
        return self.places[shift_ps]

    def __call__(self, t_ps, columns, shift_ps: float = 0.0, with_shift: bool = False) -> np.ndarray:
        """The columns of `columns` (samples x k) through convolve_irf: bins x k, and with_shift
        one more, the derivative by shift_ps of the last column's histogram (moving the curve by
        ds moves each bin integral by -(y(right edge) - y(left edge)) ds, y the interpolated curve)."""
        t = np.asarray(t_ps, dtype=float)
        p, k, k1, a, b, lo, up, half_dt, lead = self._places(t, float(shift_ps))
        cols = np.asarray(columns, dtype=float).reshape(t.size, -1).T  # one row per curve: contiguous transforms
        y = np.zeros((cols.shape[0], t.size + lead))
        y[:, lead:] = cols  # the curve is 0 at t = 0
        F = np.zeros_like(y)  # the integral up to each sample (trapezoids: exact for the straight lines)
        np.cumsum((y[:, 1:] + y[:, :-1]) * half_dt, axis=1, out=F[:, 1:])
        G = F.take(k, axis=1)
        G += y.take(k, axis=1) * a
        G += y.take(k1, axis=1) * b
        binned = np.zeros((y.shape[0] + with_shift, self.period))
        np.subtract(G[:, 1:], G[:, :-1], out=binned[:y.shape[0], :G.shape[1] - 1])
        if with_shift:
            v = y[-1].take(k) * lo + y[-1].take(k1) * up
            np.subtract(v[:-1], v[1:], out=binned[-1, :v.size - 1])
        out = scipy.fft.irfft(self.irf_transform * scipy.fft.rfft(binned, axis=1), self.period, axis=1)
        return out[:, p:p + self.n].T


def _irf_channel(irf, m, ch) -> int:
    """The IRF channel of a curve: the only one; the channel of the same name where the IRF has the
    measurement's channels (one per detector); else the one of its wavelength."""
    if irf.channels == 1:
        return 0
    if list(irf.channel_names) == list(m.channel_names) and irf.channels == m.channels:
        return ch
    wl = m.wavelength_nm[ch]
    match = np.flatnonzero(np.isclose(irf.wavelength_nm, wl, rtol=0, atol=0.5)) if math.isfinite(wl) else []
    if len(match) != 1:
        raise ValueError(f"the IRF has {irf.channels} channels, not one per channel of the file (named as its "
                         f"channels), and {'none' if len(match) == 0 else 'several'} at {wl:g} nm")
    return int(match[0])
