"""Argument checks and units shared by the package's modules (private).

Every check raises a short ValueError (bad value) or TypeError (wrong type)
that names the argument, before anything is computed, the way numpy and scipy
do. Lengths in mm, coefficients in 1/mm, times in ps.
"""
from __future__ import annotations

import math
import numbers
import re

import numpy as np

from . import _core

ENGINES = ("faithful", "fast")
# The engine used when none is given.
DEFAULT_ENGINE = "fast"

# Layer I's parameters are named muspI, muaI, nI, lI (I = 1 for the top layer),
# in fits and in the columns of sweep tables alike.
LAYER_PARAM = re.compile(r"^(musp|mua|n|l)([1-9][0-9]*)$")
LAYER_COLUMN = {"musp": 0, "mua": 1, "n": 2, "l": 3}

# The one table of units: of the layer quantities, the geometry, the sampling
# and the fit's own parameters (the scale turns mm^-2 per bin into counts).
UNITS = {"musp": "1/mm", "mua": "1/mm", "n": "1", "l": "mm", "radius": "mm", "rho": "mm", "rho0": "mm",
         "phi": "rad", "M": "1", "mmax": "1", "N": "1", "shift": "ps", "scale": "counts mm^2",
         "background": "counts/bin"}


def unit(name: str) -> str:
    """The unit of a parameter or column name (muspI, shift, radius, ...); "" when unknown."""
    m = LAYER_PARAM.match(name)
    return UNITS.get(m.group(1) if m else name, "")


def _is_real_scalar(value) -> bool:
    return not isinstance(value, (bool, np.bool_)) and isinstance(value, (numbers.Real, np.floating, np.integer))


def real(name: str, value, *, minimum=None, strict=False, maximum=None, unit="") -> float:
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = value.item()
    if not _is_real_scalar(value):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    try:
        v = float(value)
    except OverflowError:  # an int beyond the doubles
        raise ValueError(f"{name} must be finite, got an integer beyond the doubles' range") from None
    suffix = f" {unit}" if unit else ""
    if not math.isfinite(v):
        raise ValueError(f"{name} must be finite, got {v}")
    if minimum is not None and (v <= minimum if strict else v < minimum):
        raise ValueError(f"{name} must be {'>' if strict else '>='} {minimum}{suffix}, got {v}")
    if maximum is not None and v > maximum:
        raise ValueError(f"{name} must be <= {maximum}{suffix}, got {v}")
    return v


def integer(name: str, value, lo: int, hi: int) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Integral, np.integer)):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    v = int(value)
    if not lo <= v <= hi:
        raise ValueError(f"{name} must be in {lo} ... {hi}, got {v}")
    return v


def boolean(name: str, value) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return bool(value)


def real_pair(name: str, value) -> tuple[float, float]:
    """Two real numbers (low, high), e.g. a range or a pair of bounds."""
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or np.ndim(value) != 1:
        raise TypeError(f"{name} must be a pair of numbers, not {type(value).__name__}")
    if len(value) != 2:
        raise ValueError(f"{name} must be a pair of numbers, got {len(value)} values")
    return real(f"{name}[0]", value[0]), real(f"{name}[1]", value[1])


def real_array(name: str, value, *, min_size=1) -> np.ndarray:
    """A finite 1-d float array of at least min_size values."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be an array of numbers, not a string")
    try:
        arr = np.asarray(value)
    except Exception as exc:  # ragged nested sequences
        raise ValueError(f"{name} must be a 1-d array of numbers: {exc}") from None
    if arr.dtype == object or not (np.issubdtype(arr.dtype, np.number) or arr.size == 0) or np.iscomplexobj(arr):
        raise TypeError(f"{name} must hold real numbers")
    arr = arr.astype(float)
    if arr.ndim != 1 or arr.size < min_size:
        raise ValueError(f"{name} must be a 1-d array of at least {min_size} values, got shape {arr.shape}")
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"{name} must be finite")
    return arr


def layers_array(layers) -> np.ndarray:
    """(N, 4) float array of musp, mua, n, thickness, checked (a Layer, a sequence of them, or an array)."""
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


def rho_array(rho, radius: float) -> tuple[np.ndarray, bool]:
    """The detector distances as a 1-d array, and whether rho was a scalar."""
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


def engine(value) -> str:
    if value is None:
        value = DEFAULT_ENGINE
    if not isinstance(value, str):
        raise TypeError(f"engine must be a string ('faithful' or 'fast'), not {type(value).__name__}")
    if value not in ENGINES:
        raise ValueError(f"engine must be 'faithful' or 'fast', not {value!r}")
    return value


FAST_LARGEST_RADIUS = 1000.0  # mm; the fast engine chooses its own series lengths
TOLERANCE_RANGE = (1e-15, 1e-2)
LARGEST_FREQUENCY_HZ = 1e14 / (2 * np.pi)  # far beyond where diffusion holds


def names(name: str, value) -> tuple:
    """A parameter name or a sequence of names, as a tuple of strings."""
    if isinstance(value, str):
        return (value,)
    try:
        out = tuple(value)
    except TypeError:
        raise TypeError(f"{name} must be a parameter name or a sequence of names, not {type(value).__name__}") from None
    for item in out:
        if not isinstance(item, str):
            raise TypeError(f"{name}: parameter names are strings, not {type(item).__name__}")
    return out


def geometry(layers, radius, rho0, phi, mmax, *, fast=False):
    """Checked layers, radius, rho0, phi and mmax of a call of the model.

    fast: the fast engine, which takes radii up to FAST_LARGEST_RADIUS; the
    faithful engine's layered series reads 20 Bessel zeros per mm of radius
    from a table of 5000."""
    arr = layers_array(layers)
    a = real("radius", radius, minimum=0, strict=True, unit="mm",
             maximum=FAST_LARGEST_RADIUS if fast else None)
    r0 = real("rho0", rho0, minimum=0, maximum=a, unit="mm")
    ph = real("phi", phi)
    mm = integer("mmax", mmax, 0, 500)
    if arr.shape[0] >= 2 and not fast:
        # The layered series sums round(20 a) Bessel zeros per order, from a table of 5000.
        nz = round(20 * a)  # ties to even, as the core rounds
        limit = 4985 if r0 > 0 else 5000
        if not 1 <= nz <= limit:
            raise ValueError(f"radius = {a} mm gives {nz} Bessel zeros per order (20 per mm); layered "
                             f"geometries need 1 ... {limit} (radius <= {limit / 20} mm"
                             f"{' with the source off the axis' if r0 > 0 else ''})")
    return arr, a, r0, ph, mm


def options(engine_name, tolerance, wraparound, threads):
    """Checked engine, tolerance (0: the engine's default), wrap-around and threads."""
    eng = engine(engine_name)
    if tolerance is None:
        tol = 0.0
    else:
        tol = real("tolerance", tolerance, minimum=TOLERANCE_RANGE[0], maximum=TOLERANCE_RANGE[1])
        if eng == "faithful":
            raise ValueError("tolerance applies to the fast engine only (the faithful engine sums a fixed series)")
    if wraparound is None:
        wrap = eng == "faithful"
    else:
        wrap = boolean("wraparound", wraparound)
        if eng == "faithful" and not wrap:
            raise ValueError("wraparound=False (the alias-free transform) needs engine='fast'; the faithful "
                             "engine always computes the plain transform")
    thr = integer("threads", threads, 0, 1024)
    return eng, tol, wrap, thr
