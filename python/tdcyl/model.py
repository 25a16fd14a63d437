"""Forward model: time-resolved, frequency-domain and continuous-wave reflectance.

Units: lengths in mm, coefficients in 1/mm, times in ps, modulation frequencies
in Hz, reflectance in mm^-2 ps^-1 (time domain) or mm^-2 (frequency domain and
continuous wave: the time integral of the curve).
"""
from __future__ import annotations

import math
import numbers
import warnings
from dataclasses import dataclass
from typing import Iterator, NamedTuple, Sequence

import numpy as np

from . import _core

__all__ = [
    "Layer", "Curve", "CurveSet", "reflectance", "frequency_domain", "continuous_wave",
    "ENGINES", "DEFAULT_ENGINE",
]

ENGINES = ("faithful", "fast")
# The engine used when none is given.
DEFAULT_ENGINE = "fast"


class Layer(NamedTuple):
    """One plane-parallel layer: musp and mua in 1/mm, refractive index n, thickness in mm."""

    musp: float
    mua: float
    n: float
    thickness: float


@dataclass(frozen=True)
class Curve:
    """A time-resolved reflectance curve of one source-detector distance.

    t_ps: sample times in ps (10, 20, ... ps); reflectance: mm^-2 ps^-1, signed
    (the transform can leave tiny negative values far from the peak).
    """

    t_ps: np.ndarray
    reflectance: np.ndarray
    rho: float
    warnings: tuple[str, ...] = ()

    def __len__(self) -> int:
        return len(self.t_ps)


class CurveSet(Sequence[Curve]):
    """Curves for several detector distances of one geometry, in the order of `rho`."""

    def __init__(self, curves: list[Curve]):
        self._curves = list(curves)

    def __len__(self) -> int:
        return len(self._curves)

    def __getitem__(self, i):
        return self._curves[i]

    def __iter__(self) -> Iterator[Curve]:
        return iter(self._curves)

    @property
    def rho(self) -> np.ndarray:
        return np.array([c.rho for c in self._curves])

    def _common_grid(self) -> np.ndarray:
        t = self._curves[0].t_ps
        if any(len(c.t_ps) != len(t) or not np.array_equal(c.t_ps, t) for c in self._curves):
            raise ValueError("the curves have different time samples (each keeps the samples within six decades "
                             "of its own peak); call with all_samples=True for a common grid, or use each curve")
        return t

    @property
    def t_ps(self) -> np.ndarray:
        """The common time grid in ps (needs all_samples=True unless the curves happen to share it)."""
        return self._common_grid()

    @property
    def reflectance(self) -> np.ndarray:
        """Array (len(rho), len(t_ps)) of reflectance in mm^-2 ps^-1."""
        self._common_grid()
        return np.stack([c.reflectance for c in self._curves])


# --- argument checks ---------------------------------------------------------

def _real(name: str, value, *, minimum=None, strict=False, maximum=None, unit="") -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.floating, np.integer)):
        if isinstance(value, np.ndarray) and value.ndim == 0:
            return _real(name, value.item(), minimum=minimum, strict=strict, maximum=maximum, unit=unit)
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    v = float(value)
    suffix = f" {unit}" if unit else ""
    if not math.isfinite(v):
        raise ValueError(f"{name} must be finite, got {v}")
    if minimum is not None and (v <= minimum if strict else v < minimum):
        raise ValueError(f"{name} must be {'>' if strict else '>='} {minimum}{suffix}, got {v}")
    if maximum is not None and v > maximum:
        raise ValueError(f"{name} must be <= {maximum}{suffix}, got {v}")
    return v


def _integer(name: str, value, lo: int, hi: int) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Integral, np.integer)):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    v = int(value)
    if not lo <= v <= hi:
        raise ValueError(f"{name} must be in {lo} ... {hi}, got {v}")
    return v


def _layers_array(layers) -> np.ndarray:
    """(N, 4) float array of musp, mua, n, thickness, checked."""
    if isinstance(layers, Layer):
        layers = [layers]
    if isinstance(layers, (str, bytes)):
        raise TypeError("layers must be a sequence of tdcyl.Layer or an (N, 4) array, not a string")
    try:
        arr = np.asarray(layers)
    except Exception as exc:  # ragged nested sequences
        raise ValueError(f"layers must be a sequence of tdcyl.Layer or an (N, 4) array: {exc}") from None
    if arr.dtype == object or not (np.issubdtype(arr.dtype, np.number) or arr.size == 0):
        raise TypeError("layers must hold real numbers: a sequence of tdcyl.Layer(musp, mua, n, thickness) "
                        "or an (N, 4) array")
    if np.iscomplexobj(arr):
        raise TypeError("layers must hold real numbers, not complex ones")
    arr = arr.astype(float)
    if arr.ndim == 1 and arr.size == 4:
        arr = arr.reshape(1, 4)
    if arr.ndim != 2 or arr.shape[1] != 4 or arr.shape[0] == 0:
        raise ValueError(f"layers must have shape (N, 4) with N >= 1 (musp, mua, n, thickness per layer), "
                         f"got shape {arr.shape}")
    if arr.shape[0] > _core.MAX_LAYERS:
        raise ValueError(f"layers: at most {_core.MAX_LAYERS} layers, got {arr.shape[0]}")
    names = ("musp", "mua", "n", "thickness")
    for i, row in enumerate(arr):
        for j, name in enumerate(names):
            if not math.isfinite(row[j]):
                raise ValueError(f"layers[{i}].{name} must be finite, got {row[j]}")
        if not row[0] > 0:
            raise ValueError(f"layers[{i}].musp must be > 0 1/mm, got {row[0]}")
        if not row[1] >= 0:
            raise ValueError(f"layers[{i}].mua must be >= 0 1/mm, got {row[1]}")
        if not row[2] > 0:
            raise ValueError(f"layers[{i}].n must be > 0, got {row[2]}")
        if not row[3] > 0:
            raise ValueError(f"layers[{i}].thickness must be > 0 mm, got {row[3]}")
    if arr.shape[0] == 1 and arr[0, 1] == 0:
        raise ValueError("layers[0].mua must be > 0 for a single layer (mua = 0 makes its boundary correction "
                         "singular at zero frequency); use a small value such as 1e-6")
    return arr


def _rho_array(rho, radius: float) -> tuple[np.ndarray, bool]:
    scalar = np.ndim(rho) == 0
    try:
        arr = np.atleast_1d(np.asarray(rho))
    except Exception as exc:
        raise ValueError(f"rho must be a number or a 1-d array of distances in mm: {exc}") from None
    if arr.dtype == object or not np.issubdtype(arr.dtype, np.number) or np.iscomplexobj(arr):
        raise TypeError("rho must be a real number or a 1-d array of real distances in mm")
    arr = arr.astype(float)
    if arr.ndim != 1 or arr.size == 0:
        raise ValueError(f"rho must be a number or a non-empty 1-d array, got shape {np.shape(rho)}")
    for i, r in enumerate(arr):
        name = "rho" if scalar else f"rho[{i}]"
        if not math.isfinite(r):
            raise ValueError(f"{name} must be finite, got {r}")
        if not 0 <= r <= radius:
            raise ValueError(f"{name} must be in 0 ... radius = {radius} mm, got {r}")
    return arr, scalar


def _engine(engine) -> str:
    if engine is None:
        engine = DEFAULT_ENGINE
    if not isinstance(engine, str):
        raise TypeError(f"engine must be a string ('faithful' or 'fast'), not {type(engine).__name__}")
    if engine not in ENGINES:
        raise ValueError(f"engine must be 'faithful' or 'fast', not {engine!r}")
    return engine


def _geometry(layers, radius, rho0, phi, mmax):
    arr = _layers_array(layers)
    a = _real("radius", radius, minimum=0, strict=True, unit="mm")
    r0 = _real("rho0", rho0, minimum=0, maximum=a, unit="mm")
    ph = _real("phi", phi)
    mm = _integer("mmax", mmax, 0, 500)
    if arr.shape[0] >= 2:
        # The layered series sums round(20 a) Bessel zeros per order, from a table of 5000.
        nz = round(20 * a)  # ties to even, as the core rounds
        limit = 4985 if r0 > 0 else 5000
        if not 1 <= nz <= limit:
            raise ValueError(f"radius = {a} mm gives {nz} Bessel zeros per order (20 per mm); layered "
                             f"geometries need 1 ... {limit} (radius <= {limit / 20} mm"
                             f"{' with the source off the axis' if r0 > 0 else ''})")
    return arr, a, r0, ph, mm


def _options(engine, tolerance, wraparound, threads):
    eng = _engine(engine)
    if tolerance is None:
        tol = 0.0
    else:
        tol = _real("tolerance", tolerance, minimum=0, strict=True)
        if eng == "faithful":
            raise ValueError("tolerance applies to the fast engine only (the faithful engine sums a fixed series)")
    if wraparound is None:
        wrap = eng == "faithful"
    else:
        if not isinstance(wraparound, (bool, np.bool_)):
            raise TypeError(f"wraparound must be True or False, not {type(wraparound).__name__}")
        wrap = bool(wraparound)
        if eng == "faithful" and not wrap:
            raise ValueError("wraparound=False (the alias-free transform) needs engine='fast'; the faithful "
                             "engine always computes the plain transform")
    thr = _integer("threads", threads, 0, 1024)
    return eng, tol, wrap, thr


# --- public functions ----------------------------------------------------------

def reflectance(layers, radius, rho, rho0=0.0, phi=0.0, M=1, mmax=0, *, engine=None, tolerance=None,
                wraparound=None, threads=0, all_samples=False):
    """Time-resolved diffuse reflectance of a layered cylinder.

    Parameters
    ----------
    layers : sequence of Layer(musp, mua, n, thickness) or array (N, 4)
        Top layer first; musp and mua in 1/mm, thickness in mm.
    radius : float
        Cylinder radius a in mm.
    rho : float or 1-d array
        Radial distance(s) of the detector from the axis in mm (0 ... radius).
        An array gives one curve per distance.
    rho0 : float
        Radial distance of the source from the axis in mm (0: on the axis).
    phi : float
        Azimuth between source and detector in rad.
    M : int
        Time-sampling factor, 1 ... 512: the transform samples every 10/M ps and
        the output holds 512/M samples at 10, 20, ... ps.
    mmax : int
        Highest angular order of the layered series with the source off the axis.
    engine : 'faithful' or 'fast'
        'faithful' gives exactly the values tdcyl-cli writes. Default: DEFAULT_ENGINE.
    tolerance : float, optional
        Relative tolerance of the fast engine (None: its default).
    wraparound : bool, optional
        Fast engine only: False (its default) removes the wrap-around of the
        1024-point transform, True gives the plain transform. The faithful engine
        always computes the plain transform.
    threads : int
        Threads of the computation, 0 for all cores. The result does not depend on it.
    all_samples : bool
        True: every sample of the output grid, zeros included (a fixed grid, as a
        fit needs); False: only the samples within six decades of the peak.

    Returns
    -------
    Curve for a scalar rho, CurveSet (one Curve per distance) for an array.

    Every argument is checked before anything is computed (ValueError for a bad
    value, TypeError for a wrong type). The GIL is released while the core computes.
    Python floats are taken as the decimal numbers they print as, the way the
    parameter file is read, so a call equals tdcyl-cli on a file with those numbers.
    """
    arr, a, r0, ph, mm = _geometry(layers, radius, rho0, phi, mmax)
    rhos, scalar = _rho_array(rho, a)
    m = _integer("M", M, 1, 512)
    eng, tol, wrap, thr = _options(engine, tolerance, wraparound, threads)
    if not isinstance(all_samples, (bool, np.bool_)):
        raise TypeError(f"all_samples must be True or False, not {type(all_samples).__name__}")
    out = _core.compute(list(arr[:, 0]), list(arr[:, 1]), list(arr[:, 2]), list(arr[:, 3]), a, list(rhos),
                        r0, ph, m, mm, eng, tol, wrap, thr, bool(all_samples))
    curves = []
    for r, (t, refl, warns) in zip(rhos, out):
        for w in warns:
            warnings.warn(w, RuntimeWarning, stacklevel=2)
        curves.append(Curve(t_ps=t, reflectance=refl, rho=float(r), warnings=tuple(warns)))
    return curves[0] if scalar else CurveSet(curves)


def frequency_domain(layers, radius, rho, frequencies_hz, rho0=0.0, phi=0.0, mmax=0, *, engine=None,
                     tolerance=None, threads=0):
    """Complex reflectance R~(w) = integral of R(t) exp(-i w t) dt in mm^-2, w = 2 pi f.

    frequencies_hz: modulation frequencies (>= 0, Hz), any number. The amplitude
    is abs(), the phase np.angle() (negative: the detected wave lags). Returns an
    array shaped like frequencies_hz, with a leading axis over rho when rho is an
    array. Needs the fast engine (its spectral sum). Other arguments as for
    reflectance().
    """
    arr, a, r0, ph, mm = _geometry(layers, radius, rho0, phi, mmax)
    rhos, scalar = _rho_array(rho, a)
    try:
        f = np.asarray(frequencies_hz)
    except Exception as exc:
        raise ValueError(f"frequencies_hz must be an array of frequencies in Hz: {exc}") from None
    if f.dtype == object or not np.issubdtype(f.dtype, np.number) or np.iscomplexobj(f):
        raise TypeError("frequencies_hz must hold real frequencies in Hz")
    f = f.astype(float)
    if f.size == 0:
        raise ValueError("frequencies_hz must hold at least one frequency")
    if not np.all(np.isfinite(f)):
        raise ValueError("frequencies_hz must be finite")
    if np.any(f < 0):
        raise ValueError(f"frequencies_hz must be >= 0 Hz, got {f[f < 0][0]}")
    eng = _engine("fast" if engine is None else engine)
    if eng != "fast":
        raise ValueError("frequency_domain needs engine='fast' (the faithful engine computes the 513 "
                         "frequencies of its transform only)")
    _, tol, _, thr = _options(eng, tolerance, None, threads)
    omega = list((2 * np.pi * f).ravel())
    rows = []
    for r in rhos:
        v = _core.frequency_domain(list(arr[:, 0]), list(arr[:, 1]), list(arr[:, 2]), list(arr[:, 3]), a,
                                   float(r), r0, ph, mm, omega, eng, tol, thr)
        rows.append(np.asarray(v).reshape(f.shape))
    return rows[0] if scalar else np.stack(rows)


def continuous_wave(layers, radius, rho, rho0=0.0, phi=0.0, mmax=0, *, engine=None, tolerance=None, threads=0):
    """Steady-state reflectance in mm^-2 (the time integral of the curve, frequency 0).

    A float for a scalar rho, an array over rho otherwise. Arguments as for
    frequency_domain().
    """
    v = frequency_domain(layers, radius, rho, np.zeros(1), rho0, phi, mmax, engine=engine, tolerance=tolerance,
                         threads=threads)
    v = np.real(v)[..., 0]
    return float(v) if np.ndim(v) == 0 else v
