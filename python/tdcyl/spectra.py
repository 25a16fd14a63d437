"""Absorption spectra of the tissue chromophores and the spectral model of a layer.

mu_a(lambda) = sum_c eps_c(lambda) C_c over oxy- and deoxyhaemoglobin (C in uM),
water and lipid (volume fractions), and mu_s'(lambda) = a (lambda / lambda0)^-b.
The tabulations ship in tdcyl/data (each file states its source and units in its
header) and are interpolated linearly to the wanted wavelengths; a wavelength
outside a table is an error, never an extrapolation.
"""
from __future__ import annotations

import math
import pathlib

import numpy as np

__all__ = ["CHROMOPHORES", "CHROMOPHORE_UNITS", "specific_absorption", "absorption", "reduced_scattering",
           "spectral_range_nm"]

CHROMOPHORES = ("HbO2", "HHb", "water", "lipid")
CHROMOPHORE_UNITS = {"HbO2": "uM", "HHb": "uM", "water": "vol. fraction", "lipid": "vol. fraction"}
_DATA = pathlib.Path(__file__).resolve().parent / "data"
# (file, column, factor to mu_a in 1/mm per unit): the haemoglobin tables are decadic
# molar extinction in 1/(cm M), so per uM mu_a = ln(10) eps 1e-6 / 10; water's is
# mu_a in 1/cm, lipid's in 1/m, both for a volume fraction of 1.
_SOURCES = {
    "HbO2": ("hemoglobin.csv", "HbO2", math.log(10) * 1e-7),
    "HHb": ("hemoglobin.csv", "HHb", math.log(10) * 1e-7),
    "water": ("water.csv", "mu_a_per_cm", 0.1),
    "lipid": ("lipid.csv", "mu_a_per_m", 1e-3),
}


def _table(file: str, column: str) -> tuple[np.ndarray, np.ndarray]:
    with open(_DATA / file, encoding="utf-8") as f:
        lines = [line for line in f if line.strip() and not line.startswith("#")]
    header = lines[0].strip().split(",")
    data = np.array([[float(v) for v in line.split(",")] for line in lines[1:]])
    return data[:, 0], data[:, header.index(column)]


def _wavelengths(wavelength_nm) -> np.ndarray:
    wl = np.asarray(wavelength_nm, dtype=float)
    if not np.all(np.isfinite(wl)):
        raise ValueError("wavelength_nm must be finite")
    return wl


def spectral_range_nm() -> tuple[float, float]:
    """The wavelengths (nm) that every shipped spectrum covers."""
    lo, hi = -np.inf, np.inf
    for file, column, _ in _SOURCES.values():
        wl, _v = _table(file, column)
        lo, hi = max(lo, wl[0]), min(hi, wl[-1])
    return float(lo), float(hi)


def specific_absorption(wavelength_nm) -> dict:
    """{chromophore: mu_a in 1/mm per unit}: per uM for HbO2 and HHb, per volume fraction for water and lipid."""
    wl = _wavelengths(wavelength_nm)
    out = {}
    for name, (file, column, factor) in _SOURCES.items():
        x, y = _table(file, column)
        if np.any(wl < x[0]) or np.any(wl > x[-1]):
            raise ValueError(f"wavelength_nm must lie within {x[0]:g}-{x[-1]:g} nm, the range of the {name} "
                             f"spectrum ({file}), got {np.atleast_1d(wl).tolist()}")
        out[name] = np.interp(wl, x, y) * factor
    return out


def absorption(wavelength_nm, HbO2=0.0, HHb=0.0, water=0.0, lipid=0.0):
    """mu_a (1/mm) of a mixture: HbO2 and HHb in uM, water and lipid as volume fractions."""
    eps = specific_absorption(wavelength_nm)
    amounts = {"HbO2": HbO2, "HHb": HHb, "water": water, "lipid": lipid}
    return sum(eps[c] * float(amounts[c]) for c in CHROMOPHORES)


def reduced_scattering(wavelength_nm, a, b, lambda0_nm=800.0):
    """mu_s' (1/mm) = a (lambda / lambda0)^-b: Mie-like scattering of tissue, a in 1/mm at lambda0."""
    wl = _wavelengths(wavelength_nm)
    if not lambda0_nm > 0:
        raise ValueError(f"lambda0_nm must be > 0, got {lambda0_nm}")
    return float(a) * (wl / float(lambda0_nm)) ** (-float(b))
