"""The program's files: the parameter file ("input.dat") and the result file ("reflectance.dat")."""
from __future__ import annotations

import os
import stat
from dataclasses import dataclass

import numpy as np

from . import _core
from ._atomic import replaced_atomically
from ._regular import open_regular
from .model import Curve, Layer, _geometry, _integer, _rho_array

__all__ = ["InputParams", "read_input", "write_input", "read_result", "write_result"]

MAX_RESULT_BYTES = 1 << 24  # a result file holds at most 512 lines of two numbers


def _open_regular(path, what: str):
    """A regular file opened for reading, and its size; ValueError for a pipe, a device or a folder."""
    path = os.fspath(path)

    def refuse(mode):
        kind = "a folder" if stat.S_ISDIR(mode) else "a pipe or a device"
        raise ValueError(f"{what} {path!r} is {kind}, not a regular file")
    return open_regular(path, refuse)


@dataclass
class InputParams:
    """The contents of a parameter file, named as the arguments of tdcyl.reflectance()."""

    layers: list[Layer]
    radius: float
    rho: float
    rho0: float = 0.0
    phi: float = 0.0
    M: int = 1
    mmax: int = 0

    def kwargs(self) -> dict:
        """Keyword arguments for ``tdcyl.reflectance(**params.kwargs(), ...)``."""
        return dict(layers=list(self.layers), radius=self.radius, rho=self.rho, rho0=self.rho0, phi=self.phi,
                    M=self.M, mmax=self.mmax)


def read_input(path) -> InputParams:
    """Reads a parameter file with the checks and messages of tdcyl-cli.

    Raises FileNotFoundError/OSError when the file cannot be opened and
    ValueError (naming the line and the value) for a bad value.
    """
    path = os.fspath(path)
    f, _ = _open_regular(path, "input")  # the usual OSError for a missing or unreadable file
    f.close()
    d = _core.read_input(path)
    layers = [Layer(*v) for v in zip(d["musp"], d["mua"], d["n"], d["l"])]
    return InputParams(layers=layers, radius=d["radius"], rho=d["rho"], rho0=d["rho0"], phi=d["phi"], M=d["M"],
                       mmax=d["mmax"])


def _write_atomic(path: str, text: str, newline: str) -> None:
    with replaced_atomically(path, ".input-") as tmp:
        with open(tmp, "w", encoding="ascii", newline=newline) as f:
            f.write(text)


def write_input(path, layers, radius, rho, rho0=0.0, phi=0.0, M=1, mmax=0) -> None:
    """Writes a parameter file that tdcyl-cli reads back to the same values.

    Arguments as for tdcyl.reflectance() (a scalar rho); checked first. Each
    value is written as the shortest decimal that reads back to the same float,
    followed by a comment naming it. The file is replaced atomically.
    """
    arr, a, r0, ph, mm = _geometry(layers, radius, rho0, phi, mmax)
    rhos, scalar = _rho_array(rho, a)
    if not scalar:
        raise ValueError("rho: a parameter file holds one distance")
    m = _integer("M", M, 1, 512)
    lines = [f"{arr.shape[0]}   number of layers N"]
    for i, (musp, mua, n, thickness) in enumerate(arr.tolist(), start=1):  # Python floats: repr is the decimal
        lines += [f"{musp!r}   layer {i}: musp [1/mm]", f"{mua!r}   layer {i}: mua [1/mm]",
                  f"{n!r}   layer {i}: refractive index n", f"{thickness!r}   layer {i}: thickness l [mm]"]
    lines += [f"{a!r}   radius a [mm]", f"{float(rhos[0])!r}   detector distance rho from the axis [mm]",
              f"{r0!r}   source distance rho0 from the axis [mm]", f"{ph!r}   azimuth phi [rad]",
              f"{m}   time-sampling factor M", f"{mm}   highest angular order MMAX"]
    _write_atomic(os.fspath(path), "\n".join(lines) + "\n", "\n")


def read_result(path) -> Curve:
    """Reads a result file: one line per sample, time in ps and reflectance in mm^-2 ps^-1.

    Raises ValueError naming the line for a line that is not two finite numbers,
    and for a file that is not a regular file or is larger than MAX_RESULT_BYTES.
    """
    t, r = [], []
    f, size = _open_regular(path, "result file")
    with f:
        data = f.read(MAX_RESULT_BYTES + 1)
        if len(data) > MAX_RESULT_BYTES:
            raise ValueError(f"result file {os.fspath(path)!r} is larger than {MAX_RESULT_BYTES >> 20} MiB; "
                             "a result file holds at most 512 lines")
        for number, raw in enumerate(data.splitlines(), start=1):
            text = raw.decode("ascii", errors="replace").strip()
            if not text:
                continue
            parts = text.split()
            try:
                if len(parts) != 2:
                    raise ValueError
                ti, ri = float(parts[0]), float(parts[1])
            except ValueError:
                raise ValueError(f"line {number}: {text[:60]!r} is not a time and a reflectance") from None
            if not (np.isfinite(ti) and np.isfinite(ri)):
                raise ValueError(f"line {number}: {text[:60]!r} holds a value that is not finite")
            t.append(ti)
            r.append(ri)
    return Curve(t_ps=np.array(t), reflectance=np.array(r), rho=float("nan"))


def write_result(path, curve: Curve) -> None:
    """Writes a curve in the result-file format of tdcyl-cli (the same bytes), replacing the file atomically."""
    t = np.asarray(curve.t_ps, dtype=float)
    r = np.asarray(curve.reflectance, dtype=float)
    if t.ndim != 1 or t.shape != r.shape:
        raise ValueError(f"curve: t_ps and reflectance must be 1-d arrays of one length, got shapes "
                         f"{t.shape} and {r.shape}")
    _core.write_result(os.fspath(path), list(t), list(r))
