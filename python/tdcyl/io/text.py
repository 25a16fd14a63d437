"""Text tables: a time column, then one column of counts per channel.

Columns are separated by commas, semicolons, tabs or blanks; lines starting
with '#' or '%' are comments. A comment "# key: value" goes to meta, and the
keys wavelength_nm, rho_mm (one value per channel, comma separated) and
acquisition_time_s fill the Measurement's fields. The first line that is not a
number is the header; the time column's name gives its unit ("time_ps",
"t [ns]", "time (s)"), or time_unit does. The times are the bins' centres.
Decimal commas ("12,5") are refused rather than guessed.
"""
from __future__ import annotations

import math
import os
import re

import numpy as np

from .._atomic import replaced_atomically
from ._measurement import Measurement, check_counts, fail

__all__ = ["read_text", "write_text", "TIME_UNITS"]

TIME_UNITS = {"ps": 1.0, "ns": 1e3, "us": 1e6, "\u00b5s": 1e6, "\u03bcs": 1e6, "ms": 1e9, "s": 1e12}
_UNIT = re.compile(r"(?:^|[\s_\[\(/])(ps|ns|us|\u00b5s|\u03bcs|ms|s)(?:$|[\s\]\)])")
_DECIMAL_COMMA = re.compile(r"^[+-]?\d+,\d+(?:[eE][+-]?\d+)?$")


def _split(line: str):
    for sep in (";", "\t", ","):
        if sep in line:
            return [x.strip() for x in line.split(sep)], sep
    return line.split(), " "


def _floats(path, values, meta_key):
    try:
        return [float(v) for v in values.replace(";", ",").split(",") if v.strip()]
    except ValueError:
        fail(path, f"comment {meta_key}: expected numbers separated by commas, got {values!r}")


def read_text(path, time_unit: str | None = None) -> Measurement:
    """A text/CSV table of a time column and one counts column per channel."""
    path = os.fspath(path)
    if time_unit is not None and time_unit not in TIME_UNITS:
        raise ValueError(f"time_unit must be one of {sorted(TIME_UNITS)}, not {time_unit!r}")
    meta, header, rows, ncol = {}, None, [], None
    with open(path, "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        text = raw.decode("latin-1")
    if "\0" in text:
        fail(path, "not a text file (holds NUL bytes)")
    for number, line in enumerate(text.splitlines(), start=1):
        s = line.strip()
        if not s:
            continue
        if s[0] in "#%":
            key, sep, value = s.lstrip("#% ").partition(":")
            if sep:
                meta[key.strip()] = value.strip()
            continue
        fields, sep = _split(s)
        if sep != "," and any(_DECIMAL_COMMA.match(x) for x in fields):
            fail(path, f"line {number}: decimal commas are not supported ({s[:40]!r}); write 12.5, not 12,5")
        try:
            values = [float(x) for x in fields]
        except ValueError:
            if header is None and not rows:
                header = fields
                continue
            fail(path, f"line {number}: not a row of numbers ({s[:60]!r})")
        if ncol is None:
            ncol = len(values)
            if ncol < 2:
                fail(path, f"line {number}: at least two columns (time, counts) are needed")
            if header is not None and len(header) != ncol:
                fail(path, f"line {number}: {ncol} columns under a header of {len(header)} "
                           "(decimal commas in a comma-separated file?)")
        elif len(values) != ncol:
            fail(path, f"line {number}: {len(values)} columns, the rows above have {ncol}")
        rows.append(values)
    if len(rows) < 2:
        fail(path, f"{len(rows)} rows of numbers: at least two time bins are needed")
    unit = time_unit
    if unit is None and header is not None:
        m = _UNIT.search(header[0].lower().replace("\u00b5", "u").replace("\u03bc", "u"))
        unit = m.group(1) if m else None
    if unit is None:
        fail(path, "the time unit is not known: name it in the header (time_ps, t [ns], time (s)) or pass "
                   "time_unit")
    a = np.array(rows, dtype=float)
    t = a[:, 0] * TIME_UNITS[unit]
    if not np.all(np.isfinite(t)):
        fail(path, "the time column holds values that are not finite")
    steps = np.diff(t)
    width = (t[-1] - t[0]) / (t.size - 1)
    if not width > 0 or np.max(np.abs(steps - width)) > 1e-6 * width:
        fail(path, "the time column is not equally spaced increasing bin centres")
    counts = check_counts(path, a[:, 1:].T)
    nch = counts.shape[0]
    fields = {}
    for key in ("wavelength_nm", "rho_mm"):
        if key in meta:
            v = _floats(path, meta[key], key)
            if len(v) not in (1, nch):
                fail(path, f"comment {key}: {len(v)} values for {nch} channels")
            fields[key] = v
    acq = math.nan
    if "acquisition_time_s" in meta:
        acq = _floats(path, meta["acquisition_time_s"], "acquisition_time_s")[0]
    names = header[1:] if header is not None else [f"column {i + 1}" for i in range(nch)]
    return Measurement(t_ps=t, counts=counts, bin_width_ps=width, acquisition_time_s=acq, meta=meta,
                       channel_names=list(names), path=path, format="text", **fields)


def write_text(path, measurement: Measurement):
    """The Measurement as a CSV table (time_ps, one column per channel) with its fields as comments."""
    m = measurement
    lines = [f"# wavelength_nm: {', '.join(repr(float(v)) for v in m.wavelength_nm)}",
             f"# rho_mm: {', '.join(repr(float(v)) for v in m.rho_mm)}"]
    if math.isfinite(m.acquisition_time_s):
        lines.append(f"# acquisition_time_s: {m.acquisition_time_s!r}")
    lines.append(",".join(["time_ps"] + [f"counts_{i}" for i in range(m.channels)]))
    for k in range(m.t_ps.size):
        lines.append(",".join([repr(float(m.t_ps[k]))] + [f"{c:.17g}" for c in m.counts[:, k]]))
    with replaced_atomically(path, ".text-") as tmp:
        with open(tmp, "w", encoding="utf-8", newline="\n") as f:
            f.write("\n".join(lines) + "\n")
