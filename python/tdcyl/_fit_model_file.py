"""tdcyl-fit's MODEL.toml: the geometry, the layers' start values and the [fit] defaults,
every value checked when the file is read (a bad one stops the command before any curve
is read or any worker started, with one line naming the file and the key)."""
from __future__ import annotations

import math
import re

from . import _checks as chk
from ._regular import kind, open_regular

GEOMETRY = ("radius", "rho", "rho0", "phi", "M", "mmax")
FIT_KEYS = ("free", "range", "background", "bounds", "spectral", "starts", "irf")
_SPECTRAL = re.compile(r"^(HbO2|HHb|water|lipid|a|b|l|n)_([1-9][0-9]*)$")
_AT = re.compile(r"^(musp|mua)([1-9][0-9]*)@([0-9]+(?:\.[0-9]+)?)$")


class UsageError(Exception):
    """A bad argument, model file or IRF: exit status 2, one line."""


def _number(where, key, value, **limits) -> float:
    try:
        return chk.real(key, value, **limits)
    except (TypeError, ValueError) as exc:
        raise UsageError(f"{where}: {exc}" + (" (write it without quotes)" if isinstance(value, str) else "")) \
            from None


def _layers(path, layers):
    from .model import Layer
    if not isinstance(layers, list) or not layers or not all(isinstance(x, dict) for x in layers):
        raise UsageError(f"{path}: [[layers]] tables (musp, mua, n, thickness) are missing")
    out = []
    for i, layer in enumerate(layers, start=1):
        keys = {"musp", "mua", "n", "thickness"}
        if set(layer) != keys:
            odd = sorted(set(layer) ^ keys)
            raise UsageError(f"{path}: layer {i}: keys {odd} (each layer has exactly musp, mua, n, thickness)")
        v = {k: _number(f"{path}: layer {i}", k, layer[k]) for k in keys}
        out.append(Layer(v["musp"], v["mua"], v["n"], v["thickness"]))
    return out


def load_model(path) -> tuple[dict, dict]:
    """(model dict for tdcyl.fit, the checked [fit] section) of a MODEL.toml; UsageError naming file and key."""
    import tomllib
    from .model import _checked
    def refuse(mode):
        raise UsageError(f"{path}: is {kind(mode)}, not a model file")
    try:
        f, _ = open_regular(path, refuse)  # a FIFO would block the read forever
        with f:
            doc = tomllib.load(f)
    except (OSError, tomllib.TOMLDecodeError) as exc:
        raise UsageError(f"{path}: {exc}") from None
    unknown = set(doc) - set(GEOMETRY) - {"layers", "fit"}
    if unknown:
        raise UsageError(f"{path}: unknown keys {sorted(unknown)} (known: layers, fit, {', '.join(GEOMETRY)})")
    model = {}
    for key in GEOMETRY:
        if key not in doc:
            continue
        if key in ("M", "mmax"):
            try:
                model[key] = chk.integer(key, doc[key], 0, 512)
            except (TypeError, ValueError) as exc:
                raise UsageError(f"{path}: {exc}") from None
        else:
            model[key] = _number(path, key, doc[key])
    if "radius" not in model:
        raise UsageError(f"{path}: radius (mm) is missing")
    model["layers"] = _layers(path, doc.get("layers"))
    try:  # every check of the model call, with a distance inside the cylinder where the files give it
        geometry = {k: v for k, v in model.items() if k != "layers"}
        _checked(model["layers"], **dict(geometry, rho=model.get("rho", 0.5 * model["radius"])))
    except (TypeError, ValueError) as exc:
        raise UsageError(f"{path}: {exc}") from None
    fit = doc.get("fit", {})
    if not isinstance(fit, dict):
        raise UsageError(f"{path}: fit must be a table [fit]")
    odd = set(fit) - set(FIT_KEYS)
    if odd:
        raise UsageError(f"{path}: [fit]: unknown keys {sorted(odd)} (known: {', '.join(FIT_KEYS)})")
    return model, _fit_section(path, fit, len(model["layers"]))


def parameter_name(name: str, layers: int, spectral: bool) -> bool:
    """Whether name is a layer parameter of this stack (or, for global fits, a per-wavelength or spectral one)."""
    m = chk.LAYER_PARAM.match(name) or (spectral and (_SPECTRAL.match(name) or _AT.match(name)))
    return bool(m) and int(m.group(2)) <= layers


def _fit_section(path, fit, layers) -> dict:
    out = dict(fit)
    where = f"{path}: [fit]"
    if "free" in fit:
        free = fit["free"]
        if not isinstance(free, list) or not free or not all(isinstance(s, str) for s in free):
            raise UsageError(f"{where} free must be a list of parameter names such as [\"mua1\", \"musp1\"], "
                             f"got {free!r}")
        for s in free:
            if not parameter_name(s, layers, True):
                raise UsageError(f"{where} free: unknown parameter {s!r} (muaI, muspI, nI, lI of the {layers} "
                                 "layers; for --global also HbO2_I, HHb_I, water_I, lipid_I, a_I, b_I)")
    if "range" in fit:
        rng = fit["range"]
        if not isinstance(rng, list) or len(rng) != 2:
            raise UsageError(f"{where} range must be two fractions [rise, tail], got {rng!r}")
        out["range"] = [_number(f"{where} range", "range", v, minimum=0.0, strict=True, maximum=1.0) for v in rng]
    if "background" in fit and not isinstance(fit["background"], str):
        _number(where, "background", fit["background"], minimum=0.0)
    if "bounds" in fit:
        bounds = fit["bounds"]
        if not isinstance(bounds, dict):
            raise UsageError(f"{where} bounds must be a table of name = [low, high], got {bounds!r}")
        out["bounds"] = {}
        for name, b in bounds.items():
            if not (parameter_name(name, layers, True) or name in ("shift", "scale", "background")):
                raise UsageError(f"{where} bounds: unknown parameter {name!r}")
            if not isinstance(b, list) or len(b) != 2:
                raise UsageError(f"{where} bounds.{name} must be [low, high], got {b!r}")
            lo, hi = (_number(f"{where} bounds", name, v) for v in b)
            if not lo < hi:
                raise UsageError(f"{where} bounds.{name} must have low < high, got {b!r}")
            out["bounds"][name] = (lo, hi)
    if "starts" in fit:
        try:
            out["starts"] = chk.integer("starts", fit["starts"], 1, 1000)
        except (TypeError, ValueError) as exc:
            raise UsageError(f"{where} {exc}") from None
    if "spectral" in fit:
        spectral = fit["spectral"]
        if not isinstance(spectral, dict):
            raise UsageError(f"{where} spectral must be a table [fit.spectral] of name = value")
        for name, v in spectral.items():
            if not (_SPECTRAL.match(name) or _AT.match(name)) or not parameter_name(name, layers, True):
                raise UsageError(f"{where}.spectral: unknown parameter {name!r}")
            _number(f"{where}.spectral", name, v)
    if "irf" in fit:
        irf = fit["irf"]
        if not isinstance(irf, dict) or not all(isinstance(v, str) for v in irf.values()):
            raise UsageError(f"{where} irf must be a table [fit.irf] of channel name = \"IRF file\"")
    return out


def check_free(free, layers: int, spectral: bool, where="--free") -> list:
    names = [s.strip() for s in free if s.strip()]
    if not names:
        raise UsageError(f"{where}: no parameter named")
    for s in names:
        if not parameter_name(s, layers, spectral):
            raise UsageError(f"{where}: unknown parameter {s!r} (muaI, muspI, nI, lI of the {layers} layers"
                             + ("; HbO2_I, HHb_I, water_I, lipid_I, a_I, b_I" if spectral else "") + ")")
    if len(set(names)) != len(names):
        raise UsageError(f"{where}: a parameter is named twice in {names}")
    return names


def finite_or_none(x):
    return None if x is None or not math.isfinite(x) else float(x)
