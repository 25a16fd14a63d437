"""The parameter set of a global fit: names (plain, per wavelength, spectral), start and
fixed values, bounds, and the layers they make at each wavelength."""
from __future__ import annotations

import re

import numpy as np

from ._checks import LAYER_COLUMN as _COLUMN, LAYER_PARAM as _PLAIN
from .spectra import CHROMOPHORES, specific_absorption

__all__ = ["ParameterSet"]

_AT = re.compile(r"^(musp|mua)([1-9][0-9]*)@([0-9]+(?:\.[0-9]+)?)$")
_SPECTRAL = re.compile(r"^(HbO2|HHb|water|lipid|a|b|l|n)_([1-9][0-9]*)$")
_BOUNDS = {"musp": (0.01, 20.0), "mua": (1e-6, 1.0), "n": (1.0, 3.0), "l": (0.01, 500.0),
           "HbO2": (0.0, 1000.0), "HHb": (0.0, 1000.0), "water": (0.0, 1.0), "lipid": (0.0, 1.0),
           "a": (0.01, 20.0), "b": (0.0, 5.0)}  # b < 0: mu_s' rising with wavelength, not tissue
_SAME_WAVELENGTH_NM = 0.5


def _kind(name: str) -> tuple[str, int, float | None]:
    """(quantity, layer index from 0, wavelength or None) of a layer parameter name."""
    for pattern in (_PLAIN, _SPECTRAL):
        m = pattern.match(name)
        if m:
            return m.group(1), int(m.group(2)) - 1, None
    m = _AT.match(name)
    if m:
        return m.group(1), int(m.group(2)) - 1, float(m.group(3))
    raise ValueError(f"unknown parameter {name!r} (use muaI, muspI, nI, lI, muaI@<nm>, muspI@<nm>, or "
                     f"HbO2_I, HHb_I, water_I, lipid_I, a_I, b_I, l_I for layer I)")


class ParameterSet:
    """The layer parameters of a global fit: start or fixed values, the free ones, their bounds,
    and the layers of the model they make at a wavelength.

    Layer I takes its mu_a from muaI@<nm> for the channels at that wavelength when given,
    else from the chromophores when any of HbO2_I, HHb_I, water_I, lipid_I is given,
    else from muaI; likewise mu_s' from muspI@<nm>, else a_I (lambda / lambda0)^-b_I,
    else muspI. Thickness and index: lI or l_I, nI or n_I.
    """

    def __init__(self, layers, values: dict, free, bounds: dict, wavelengths: list, lambda0_nm: float):
        self.layers0 = layers
        self.lambda0_nm = float(lambda0_nm)
        n_layers = layers.shape[0]
        self.values = {}
        for i in range(n_layers):
            for q, j in _COLUMN.items():
                self.values[f"{q}{i + 1}"] = float(layers[i, j])
        for name, v in values.items():
            q, i, _ = _kind(name)
            if i >= n_layers:
                raise ValueError(f"spectral: {name!r} names layer {i + 1} of a model with {n_layers} layers")
            self.values[name] = float(v)
        for q in ("l", "n"):
            for i in range(n_layers):
                if f"{q}_{i + 1}" in self.values and f"{q}{i + 1}" in values:
                    raise ValueError(f"spectral: {q}{i + 1} and {q}_{i + 1} name the same quantity")
        self.spectral_layers = {i for name in self.values for q, i, w in [_kind(name)] if q in CHROMOPHORES}
        self.power_layers = {i for name in self.values for q, i, w in [_kind(name)] if q == "a"}
        for i in self.power_layers:
            if f"b_{i + 1}" not in self.values:
                raise ValueError(f"spectral: a_{i + 1} needs b_{i + 1} (mu_s' = a (lambda/lambda0)^-b)")
        known = [w for w in wavelengths if w is not None]
        if (self.spectral_layers or self.power_layers) and len(known) < len(wavelengths):
            raise ValueError("channels: a spectral model needs the wavelength_nm of every channel")
        self.eps = {}

        if isinstance(free, str):
            free = (free,)
        free = tuple(free)
        if len(set(free)) != len(free):
            raise ValueError(f"free: a parameter is named twice in {free}")
        n_wl = len(set(known))
        for name in free:
            q, i, w = _kind(name) if isinstance(name, str) else ("", 0, None)
            if not q:
                raise ValueError(f"free: parameter names are strings, got {name!r}")
            if i >= n_layers:
                raise ValueError(f"free: {name!r} names layer {i + 1} of a model with {n_layers} layers")
            if w is not None and not any(abs(w - x) <= _SAME_WAVELENGTH_NM for x in known):
                raise ValueError(f"free: {name!r}: no channel has the wavelength {w:g} nm")
            if name in ("mua%d" % (i + 1), "musp%d" % (i + 1)):
                if (q == "mua" and i in self.spectral_layers) or (q == "musp" and i in self.power_layers):
                    raise ValueError(f"free: {name!r} is given by the spectral parameters of layer {i + 1}")
                if n_wl > 1:
                    raise ValueError(f"free: {name!r} would be one value at {n_wl} wavelengths; fit the "
                                     f"chromophores (HbO2_{i + 1}, ...) or {name}@<nm> instead")
            if name not in self.values and q in ("l", "n"):
                self.values[name] = self.values[f"{q}{i + 1}"]
            if name not in self.values:
                if w is None:
                    raise ValueError(f"free: {name!r} has no start value (give it in spectral=)")
                self.values[name] = float(self._layers(self.values, w, skip_at=True)[0][i, _COLUMN[q]])
        self.free = free
        user = {k: v for k, v in dict(bounds or {}).items() if k != "shift"}
        for key in user:
            if key not in free:
                raise ValueError(f"bounds: {key!r} is not a fitted layer parameter ({list(free)})")
        self.bounds = []
        for name in free:
            b = user.get(name, _BOUNDS[_kind(name)[0]])
            if len(b) != 2 or not b[0] < b[1]:
                raise ValueError(f"bounds[{name!r}] must be (low, high) with low < high, got {b}")
            if not b[0] <= self.values[name] <= b[1]:
                raise ValueError(f"the start value of {name} ({self.values[name]}) is outside its bounds {tuple(b)}")
            self.bounds.append((float(b[0]), float(b[1])))
        self.user_bounds = set(user)

    def with_free(self, x) -> dict:
        v = dict(self.values)
        v.update(zip(self.free, (float(t) for t in x)))
        return v

    def layers(self, x, wavelength) -> np.ndarray:
        """The (N, 4) layers at a wavelength (None: a channel without one) for free values x."""
        return self._layers(self.with_free(x), wavelength)[0]

    def layers_with_derivatives(self, x, wavelength) -> tuple[np.ndarray, np.ndarray]:
        """The layers and their derivatives by the free parameters, (len(free), N, 4): 1 where a
        parameter is the layer's value, eps_c(lambda) for a chromophore, and of a (lambda/lambda0)^-b
        by a and b."""
        return self._layers(self.with_free(x), wavelength, free=self.free)

    def index_free(self) -> bool:
        """Whether a free parameter sets a refractive index (nI or n_I)."""
        return any(_kind(name)[0] == "n" for name in self.free)

    def _layers(self, v: dict, wavelength, skip_at=False, free=()) -> tuple[np.ndarray, np.ndarray]:
        out = self.layers0.copy()
        d = np.zeros((len(free),) + out.shape)
        where = {name: j for j, name in enumerate(free)}

        def take(i, column, name):
            out[i, column] = v[name]
            d[:, i, column] = 0.0
            if name in where:
                d[where[name], i, column] = 1.0

        for i in range(out.shape[0]):
            k = i + 1
            take(i, 3, f"l_{k}" if f"l_{k}" in v else f"l{k}")
            take(i, 2, f"n_{k}" if f"n_{k}" in v else f"n{k}")
            if i in self.spectral_layers:
                eps = self.eps.get(wavelength)
                if eps is None:
                    eps = self.eps[wavelength] = specific_absorption(wavelength)
                out[i, 1] = sum(float(eps[c]) * v.get(f"{c}_{k}", 0.0) for c in CHROMOPHORES)
                for c in CHROMOPHORES:
                    if f"{c}_{k}" in where:
                        d[where[f"{c}_{k}"], i, 1] = float(eps[c])
            else:
                take(i, 1, f"mua{k}")
            if i in self.power_layers:
                ratio = wavelength / self.lambda0_nm
                power = ratio ** (-v[f"b_{k}"])
                out[i, 0] = v[f"a_{k}"] * power
                if f"a_{k}" in where:
                    d[where[f"a_{k}"], i, 0] = power
                if f"b_{k}" in where:
                    d[where[f"b_{k}"], i, 0] = -out[i, 0] * np.log(ratio)
            else:
                take(i, 0, f"musp{k}")
            if not skip_at and wavelength is not None:
                for q in ("musp", "mua"):
                    for name in v:
                        m = _AT.match(name)
                        if m and m.group(1) == q and int(m.group(2)) == k and \
                                abs(float(m.group(3)) - wavelength) <= _SAME_WAVELENGTH_NM:
                            take(i, _COLUMN[q], name)
        return out, d
