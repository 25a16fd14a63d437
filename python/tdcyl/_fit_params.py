"""The parameters of tdcyl.fit(): the model dict, the free names, their bounds, and the
plausibility checks of times and optical properties."""
from __future__ import annotations

import numpy as np

from . import _checks as chk
from .files import InputParams

# Wide limits that keep the model defined; narrow them through `bounds`.
_DEFAULT_BOUNDS = {"musp": (0.01, 20.0), "mua": (1e-6, 1.0), "n": (1.0, 3.0), "l": (0.01, 500.0)}
_SHIFT_BOUNDS = (-1000.0, 1000.0)
# Tissue in the near infrared: musp about 0.5 ... 3 1/mm, mua about 0.002 ... 0.05 1/mm.
# Values beyond these limits are off by more than an order of magnitude: most often a unit.
_TISSUE = {"musp": (0.02, 50.0), "mua": (1e-4, 1.0)}


def _is_measurement(obj) -> bool:
    return all(hasattr(obj, a) for a in ("t_ps", "counts", "channels", "rho_mm"))


def measurement_args(t_ps, counts, irf, model):
    """fit's (t_ps, counts, irf, model) when t_ps is a tdcyl.io.Measurement: counts is then the channel
    (None: the only one), irf may be a Measurement (one channel, or the measurement's channels) and
    the channel's distance, when the file gives it, is the model's rho unless the model has one."""
    if not _is_measurement(t_ps):
        if irf is None or model is None:
            raise TypeError("fit needs t_ps, counts, irf and model (or a Measurement, irf and model)")
        return t_ps, counts, irf, model
    m = t_ps
    if counts is None:
        if m.channels != 1:
            raise ValueError(f"counts: the measurement has {m.channels} channels; give the channel to fit")
        counts = 0
    ch = chk.integer("counts (the channel)", counts, 0, m.channels - 1)
    if irf is None:
        irf = getattr(m, "irf", None)
        if irf is None:
            raise TypeError("irf is missing (the measurement holds none)")
    if _is_measurement(irf):
        if irf.channels not in (1, m.channels):
            raise ValueError(f"irf: {irf.channels} channels for a measurement of {m.channels}")
        irf = (irf.t_ps, irf.counts[0 if irf.channels == 1 else ch])
    if model is None:
        raise TypeError("model is missing")
    model = model.kwargs() if isinstance(model, InputParams) else model
    if isinstance(model, dict) and "rho" not in model and np.isfinite(m.rho_mm[ch]):
        model = dict(model, rho=float(m.rho_mm[ch]))
    return m.t_ps, m.counts[ch], irf, model


def _model_dict(model) -> dict:
    if isinstance(model, InputParams):
        model = model.kwargs()
    if not isinstance(model, dict):
        raise TypeError("model must be a dict of tdcyl.reflectance arguments (layers, radius, rho, ...) or "
                        "the InputParams of tdcyl.read_input")
    unknown = set(model) - {"layers", "radius", "rho", "rho0", "phi", "M", "mmax"}
    if unknown:
        raise ValueError(f"model: unknown keys {sorted(unknown)}")
    for key in ("layers", "radius", "rho"):
        if key not in model:
            raise ValueError(f"model: {key!r} is missing")
    if np.ndim(model["rho"]) != 0:
        raise ValueError("model: rho must be one distance (fit one curve at a time)")
    d = dict(model)
    d["layers"], a, *_ = chk.geometry(model["layers"], model["radius"], model.get("rho0", 0.0),
                                      model.get("phi", 0.0), model.get("mmax", 0))
    chk.rho_array(model["rho"], a)
    chk.integer("M", model.get("M", 1), 1, 512)
    return d


def _free_names(free) -> tuple:
    return chk.names("free", free)


def _bounds(names, bounds) -> tuple[list, list]:
    if bounds is None:
        bounds = {}
    if not isinstance(bounds, dict):
        raise TypeError(f"bounds must be a dict {{name: (low, high)}}, not {type(bounds).__name__}")
    for key in bounds:
        if key not in names:
            raise ValueError(f"bounds: {key!r} is not a fitted parameter ({list(names)})")
    lo, hi = [], []
    for name in names:
        m = chk.LAYER_PARAM.match(name)
        default = _SHIFT_BOUNDS if name == "shift" else (0.0, np.inf) if name in ("scale", "background") else \
            _DEFAULT_BOUNDS[m.group(1)]
        b = bounds.get(name, default)
        if isinstance(b, (str, bytes)) or np.ndim(b) != 1 or len(b) != 2:
            raise ValueError(f"bounds[{name!r}] must be a pair (low, high), got {b!r}")
        try:
            low, high = float(b[0]), float(b[1])
        except (TypeError, ValueError):
            raise TypeError(f"bounds[{name!r}] must hold two numbers, got {b!r}") from None
        if not low < high:
            raise ValueError(f"bounds[{name!r}] must be (low, high) with low < high, got {b!r}")
        lo.append(low)
        hi.append(high)
    return lo, hi


def _time_warnings(width: float, n: int) -> list:
    span = width * n
    if span >= 100.0:
        return []
    guess = "s" if span < 1e-6 else "ns"
    return [f"t_ps: {n} bins of {width:.3g} ps span only {span:.3g} ps: are the times in {guess}? "
            "(tdcyl takes ps; a curve lasts nanoseconds)"]


def _tissue_warnings(layers: np.ndarray, free: tuple) -> list:
    out = []
    for i, row in enumerate(layers):
        for q, (low, high) in _TISSUE.items():
            v = row[chk.LAYER_COLUMN[q]]
            name = f"{q}{i + 1}"
            if not low <= v <= high:
                what = "fitted" if name in free else "given"
                out.append(f"{name} = {v:.3g} 1/mm ({what}) is far outside tissue ({low:g} ... {high:g} 1/mm): "
                           "is its unit 1/mm?")
    return out
