"""Forward model: time-resolved, frequency-domain and continuous-wave reflectance.

Units: lengths in mm, coefficients in 1/mm, times in ps, modulation frequencies
in Hz, reflectance in mm^-2 ps^-1 (time domain) or mm^-2 (frequency domain and
continuous wave: the time integral of the curve).
"""
from __future__ import annotations

import re
import warnings
from dataclasses import dataclass
from typing import Iterator, NamedTuple, Sequence

import numpy as np

from . import _checks as _chk
from . import _core
# The checks live in ._checks; their old names stay importable from here (batch, files).
from ._checks import (DEFAULT_ENGINE, ENGINES, boolean as _boolean, engine as _engine, geometry as _geometry,  # noqa: F401
                      integer as _integer, layers_array as _layers_array, options as _options,
                      real as _real, real_array as _real_array, rho_array as _rho_array)

LATEST_TIME_PS = 1e6  # the latest time times_ps may ask for

__all__ = [
    "Layer", "Curve", "CurveSet", "reflectance", "frequency_domain", "continuous_wave",
    "ENGINES", "DEFAULT_ENGINE",
]


class _LayerFields(NamedTuple):
    musp: float
    mua: float
    n: float
    thickness: float


class Layer(_LayerFields):
    """One plane-parallel layer: musp and mua in 1/mm, refractive index n, thickness in mm.

    g, optional and keyword only, is the anisotropy of the layer's scattering
    for tdcyl.monte_carlo (None: 0.9 there); the diffusion model ignores it.
    A Layer stays a 4-tuple (musp, mua, n, thickness), so it unpacks and
    converts to an array as before, and compares equal whatever its g.

    Examples
    --------
    >>> Layer(1.0, 0.01, 1.4, 10.0, g=0.8).g
    0.8
    """

    g = None  # the class default, for instances built by namedtuple's own _make

    def __new__(cls, musp, mua, n, thickness, g=None):
        self = super().__new__(cls, musp, mua, n, thickness)
        if g is not None:
            self.__dict__["g"] = g
        return self

    def __setattr__(self, name, value):
        raise AttributeError(f"Layer is immutable (cannot set {name})")

    def _replace(self, **changes):
        g = changes.pop("g", self.g)
        return Layer(*super()._replace(**changes), g=g)

    def __getnewargs__(self):  # pickling (Dask) keeps g
        return (*self, self.g)

    def __repr__(self) -> str:
        base = super().__repr__()
        return base if self.g is None else f"{base[:-1]}, g={self.g!r})"


@dataclass(frozen=True)
class Curve:
    """A time-resolved reflectance curve of one source-detector distance.

    t_ps: sample times in ps (10, 20, ... ps, or the times_ps asked for, in their
    order); reflectance: mm^-2 ps^-1, signed (rounding can leave tiny negative
    values far from the peak), NaN at a requested time that cannot be held
    within the tolerance.
    """

    t_ps: np.ndarray
    reflectance: np.ndarray
    rho: float
    warnings: tuple[str, ...] = ()
    # With derivatives=names: d reflectance / d parameter, array (samples, names)
    # in mm^-2 ps^-1 per unit of the parameter (1/mm or mm).
    derivatives: np.ndarray | None = None
    derivative_names: tuple[str, ...] = ()
    # Fast engine: the largest estimated error, relative to the peak, of a sample
    # that cannot be held within the tolerance (0.0: every sample holds).
    unheld_error: float = 0.0

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


# The run core words its remedies for the parameter file and the programs that
# read it; a Python caller changes arguments instead.
_PYTHON_WORDS = (
    ("set MMAX, the parameter file's last value, above 0", "pass mmax > 0"),
    ("raise MMAX, the parameter file's last value", "raise mmax="),
    ("raise MMAX.", "raise mmax= or pass a larger tolerance=."),
    ("(--engine fast, or the engine box of the window)", "(engine='fast', the default)"),
    ("use a smaller tolerance", "pass a smaller tolerance="),
    ("M = 1 gives", "M=1 gives"),
)


def _python_warning(text: str, rho: float) -> str:
    """A warning of the run core for a Python caller: the distance it is about, and remedies as arguments."""
    for file_words, python_words in _PYTHON_WORDS:
        text = text.replace(file_words, python_words)
    text = re.sub(r"\bMMAX = (\d+)", r"mmax=\1", text)
    where = f"rho = {rho:g} mm"
    return text if where in text else f"{where}: {text}"


# --- public functions ----------------------------------------------------------

def reflectance(layers, radius, rho, rho0=0.0, phi=0.0, M=1, mmax=0, *, engine=None, tolerance=None,
                wraparound=None, threads=0, all_samples=False, times_ps=None, derivatives=()):
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
        Highest angular order of the layered series with the source off the axis,
        0 ... 500 (0: the on-axis form, which ignores rho0 and phi; warned).
    engine : 'faithful' or 'fast'
        'faithful' gives exactly the values tdcyl-cli writes. Default: DEFAULT_ENGINE.
    tolerance : float, optional
        Fast engine: the largest error of any returned sample relative to the
        curve's peak, ``|R - R_exact| <= tolerance * peak``, 1e-15 ... 1e-2 (None:
        1e-11). A sample that cannot be held within it (where the terms of the
        series cancel: far from the source, near the rim) is left out (NaN at
        times_ps), or kept with all_samples, and named in a warning; when no
        sample can be held, ValueError (a RuntimeError too) naming the
        tolerance that would.
    wraparound : bool, optional
        Accepted for the calls and stores that name it; without effect on the
        fast engine's curve, whose samples come from the inverse Laplace
        transform at their own times (no period to wrap around, no band limit).
        The faithful engine always computes the plain 1024-point transform,
        ringing and wrap-around included (wraparound=False is refused there).
    threads : int
        Threads of the computation, 0 for all cores. The result does not depend on it.
    all_samples : bool
        True: every sample of the output grid, zeros included (a fixed grid, as a
        fit needs); False: only the samples within six decades of the peak.
    times_ps : 1-d array, optional
        Fast engine: the curve at these times (ps, > 0, any order and spacing,
        e.g. a measurement's bin centres) by the inverse Laplace transform
        alone; M is then ignored. One value per time, in the order given: a
        time whose value cannot be held within the tolerance is NaN (its
        derivatives too) and named in a warning (all_samples=True returns the
        computed value instead); when none can, ValueError naming the tolerance
        that would hold. Times before the light can reach the detector, where
        the model is 0 to every digit of a double (t << z0^2 / (4 D v)), are 0.
    derivatives : sequence of str, optional
        Fast engine: names of layer parameters ("muaI", "muspI", "lI", I the
        layer from 1 at the top) whose derivatives dR/dtheta the curve also
        carries (Curve.derivatives, samples x names, mm^-2 ps^-1 per unit),
        computed in the same pass by forward differentiation through the series
        and the same contour inversion (the source depth and the extrapolated
        boundaries and radius move with mua1 and musp1 as the model says).

    Returns
    -------
    Curve for a scalar rho, CurveSet (one Curve per distance) for an array.

    Every argument is checked before anything is computed (ValueError for a bad
    value, TypeError for a wrong type). The GIL is released while the core computes.
    Python floats are taken as the decimal numbers they print as, the way the
    parameter file is read, so a call equals tdcyl-cli on a file with those
    numbers: engine='faithful' its default run, the default engine and transform
    `tdcyl-cli --engine fast`. Warnings start with the distance
    they are about ("rho = 20 mm: ...").
    """
    arr, call = _checked(layers, radius, rho, rho0, phi, M, mmax, engine=engine, tolerance=tolerance,
                         wraparound=wraparound, threads=threads, all_samples=all_samples, times_ps=times_ps,
                         derivatives=derivatives)
    out = _computed(arr, call)
    for c in out:
        for w in c.warnings:
            warnings.warn(w, RuntimeWarning, stacklevel=2)
    return out[0] if call.scalar else CurveSet(out)


class _Call(NamedTuple):
    """reflectance's checked arguments other than the layers, as the run core takes them."""

    args: tuple
    rhos: np.ndarray
    scalar: bool
    names: tuple


def _checked(layers, radius, rho, rho0=0.0, phi=0.0, M=1, mmax=0, *, engine=None, tolerance=None, wraparound=None,
             threads=0, all_samples=False, times_ps=None, derivatives=()) -> tuple[np.ndarray, _Call]:
    """Every check of reflectance's arguments (the same, with its defaults): the layers array and the rest.

    A caller computing many curves that differ in their layers only (a fit)
    checks the call once and each layers array with _chk.layers_array."""
    eng, tol, wrap, thr = _options(engine, tolerance, wraparound, threads)
    arr, a, r0, ph, mm = _geometry(layers, radius, rho0, phi, mmax, fast=eng == "fast")
    rhos, scalar = _rho_array(rho, a)
    m = _integer("M", M, 1, 512)
    all_samples = _boolean("all_samples", all_samples)
    times = []
    if times_ps is not None:
        if eng != "fast":
            raise ValueError("times_ps needs engine='fast' (the faithful engine samples its transform's grid)")
        times = _real_array("times_ps", times_ps)
        if times.ndim != 1 or not np.all(times > 0) or not np.all(times <= LATEST_TIME_PS):
            raise ValueError(f"times_ps must be a 1-d array of times in (0, {LATEST_TIME_PS:g}] ps")
        times = times.tolist()
    names = _derivative_names(derivatives, arr.shape[0], eng)
    # One value per requested time: NaN where it cannot be held (all_samples keeps what was computed).
    args = (a, rhos.tolist(), r0, ph, m, mm, eng, tol, wrap, thr, all_samples, times, list(names), bool(times))
    return arr, _Call(args, rhos, scalar, names)


def _computed(arr: np.ndarray, call: _Call) -> list:
    """The curves of checked layers and call, one per distance (their warnings kept, not issued)."""
    out = _core.compute(arr[:, 0].tolist(), arr[:, 1].tolist(), arr[:, 2].tolist(), arr[:, 3].tolist(),
                        *call.args)
    curves = []
    for r, (t, refl, warns, jac, unheld) in zip(call.rhos, out):
        curves.append(Curve(t_ps=t, reflectance=refl, rho=float(r),
                            warnings=tuple(_python_warning(w, float(r)) for w in warns), derivatives=jac,
                            derivative_names=call.names, unheld_error=float(unheld)))
    return curves


def _derivative_names(derivatives, n_layers: int, eng: str) -> tuple:
    if derivatives is None:
        return ()
    names = _chk.names("derivatives", derivatives)
    for name in names:
        m = _chk.LAYER_PARAM.match(name)
        if not m or m.group(1) == "n":
            raise ValueError(f"derivatives: no derivative by {name!r} (muaI, muspI or lI with the layer number I)")
        if int(m.group(2)) > n_layers:
            raise ValueError(f"derivatives: {name!r} names layer {m.group(2)} of a model with {n_layers} layers")
    if len(set(names)) != len(names):
        raise ValueError(f"derivatives: a parameter is named twice in {names}")
    if names and eng != "fast":
        raise ValueError("derivatives need engine='fast'")
    return names


def frequency_domain(layers, radius, rho, frequencies_hz, rho0=0.0, phi=0.0, mmax=0, *, engine=None,
                     tolerance=None, threads=0):
    """Complex reflectance R~(w) = integral of R(t) exp(-i w t) dt in mm^-2, w = 2 pi f.

    frequencies_hz: modulation frequencies (>= 0, Hz), any number. The amplitude
    is abs(), the phase np.angle() (negative: the detected wave lags). Returns an
    array shaped like frequencies_hz, with a leading axis over rho when rho is an
    array. Needs the fast engine (its spectral sum). Other arguments as for
    reflectance().
    """
    arr, a, r0, ph, mm = _geometry(layers, radius, rho0, phi, mmax, fast=True)
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
    if np.any(f < 0) or np.any(f > _chk.LARGEST_FREQUENCY_HZ):
        bad = f[(f < 0) | (f > _chk.LARGEST_FREQUENCY_HZ)][0]
        raise ValueError(f"frequencies_hz must lie in 0 ... {_chk.LARGEST_FREQUENCY_HZ:.3g} Hz, got {bad}")
    eng = _engine("fast" if engine is None else engine)
    if eng != "fast":
        raise ValueError("frequency_domain needs engine='fast' (the faithful engine computes the 513 "
                         "frequencies of its transform only)")
    _, tol, _, thr = _options(eng, tolerance, None, threads)
    omega = list((2 * np.pi * f).ravel())
    rows = []
    for r in rhos:
        v, warns = _core.frequency_domain(list(arr[:, 0]), list(arr[:, 1]), list(arr[:, 2]), list(arr[:, 3]), a,
                                          float(r), r0, ph, mm, omega, eng, tol, thr)
        for w in warns:
            warnings.warn(_python_warning(w, float(r)), RuntimeWarning, stacklevel=2)
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
