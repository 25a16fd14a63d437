"""Text tables: a time column, then one column of counts per channel.

Columns are separated by commas, semicolons, tabs or blanks; lines starting
with '#' or '%' are comments. A comment "# key: value" goes to meta, and the
keys wavelength_nm, rho_mm (one value per channel, comma separated) and
acquisition_time_s fill the Measurement's fields. The first line that is not a
number is the header; the time column's name gives its unit ("time_ps",
"t [ns]", "time (s)": a unit in brackets or parentheses belongs to the name
before it, also in a blank-separated header), or time_unit does. The times are
the bins' centres. Decimal commas ("12,5") are refused rather than guessed.
The file is UTF-8 (with or without BOM) or UTF-16 with BOM; a file that is not
UTF-8 is read as Latin-1. Control characters other than tab, line and page
breaks are refused: such a file is binary.
"""
from __future__ import annotations

import codecs
import io
import math
import re
from array import array

import numpy as np

from .._atomic import replaced_atomically
from ._measurement import Measurement, Opened, check_counts, check_time_axis, fail, reader

__all__ = ["read_text", "write_text", "TIME_UNITS"]

TIME_UNITS = {"ps": 1.0, "ns": 1e3, "us": 1e6, "\u00b5s": 1e6, "\u03bcs": 1e6, "ms": 1e9, "s": 1e12}
_UNIT = re.compile(r"(?:^|[\s_\[\(/])(ps|ns|us|\u00b5s|\u03bcs|ms|s)(?:$|[\s\]\)])")
_DECIMAL_COMMA = re.compile(r"^[+-]?\d+,\d+(?:[eE][+-]?\d+)?$")
_CONTROL = re.compile(r"[\x00-\x08\x0e-\x1f]")  # what a text file never holds (tab, LF, VT, FF, CR are fine)
_HEADER_FIELD = re.compile(r"[\[\(][^\]\)]*[\]\)]|[^\s\[\(]+")
_MAX_LINE = 1 << 20   # characters: a row of thousands of channels is far shorter
_MAX_META = 10000     # "# key: value" comments


def _split(line: str):
    for sep in (";", "\t", ","):
        if sep in line:
            return [x.strip() for x in line.split(sep)], sep
    return line.split(), " "


def _header(line: str, sep: str):
    """Column names; in a blank-separated header "t [ns]" is one name with its unit."""
    if sep != " ":
        return [x.strip() for x in line.split(sep)]
    names = []
    for token in _HEADER_FIELD.findall(line):
        if token[0] in "[(" and names:
            names[-1] += " " + token
        else:
            names.append(token)
    return names


def _floats(path, values, meta_key):
    try:
        return [float(v) for v in values.replace(";", ",").split(",") if v.strip()]
    except ValueError:
        fail(path, f"comment {meta_key}: expected numbers separated by commas, got {values!r}")


def _encoding(f) -> str:
    f.seek(0)
    head = f.read(3)
    if head.startswith(codecs.BOM_UTF8):
        return "utf-8-sig"
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return "utf-16"
    return "utf-8"


def _lines(src: Opened, encoding: str):
    """(number, stripped line) of the lines that are not blank, read one at a time."""
    path = src.path
    src.file.seek(0)
    f = io.TextIOWrapper(src.file, encoding=encoding, newline=None)
    try:
        number = 0
        while True:
            line = f.readline(_MAX_LINE + 1)
            if not line:
                return
            number += 1
            if len(line) > _MAX_LINE:
                fail(path, f"line {number} is longer than {_MAX_LINE} characters: not a table of counts")
            bad = _CONTROL.search(line)
            if bad:
                fail(path, f"line {number}: control character 0x{ord(bad.group()):02X}: a binary file, not a "
                           "text table")
            s = line.strip()
            if s:
                yield number, s
    finally:
        f.detach()  # the binary file stays open, for a second pass


def _table(src: Opened, encoding: str):
    """(meta, header, values as a flat array, columns) of the file."""
    path = src.path
    meta, header, values, ncol = {}, None, array("d"), None
    for number, s in _lines(src, encoding):
        if s[0] in "#%":
            key, sep, value = s.lstrip("#% ").partition(":")
            if sep:
                meta[key.strip()] = value.strip()
                if len(meta) > _MAX_META:
                    fail(path, f"more than {_MAX_META} '# key: value' comments")
            continue
        fields, sep = _split(s)
        if sep != "," and any(_DECIMAL_COMMA.match(x) for x in fields):
            fail(path, f"line {number}: decimal commas are not supported ({s[:40]!r}); write 12.5, not 12,5")
        try:
            row = [float(x) for x in fields]
        except ValueError:
            if header is None and ncol is None:
                header = _header(s, sep)
                continue
            fail(path, f"line {number}: not a row of numbers ({s[:60]!r})")
        if ncol is None:
            ncol = len(row)
            if ncol < 2:
                fail(path, f"line {number}: at least two columns (time, counts) are needed")
            if header is not None and len(header) != ncol:
                fail(path, f"line {number}: {ncol} columns under a header of {len(header)} ({header[:4]}...; "
                           "decimal commas in a comma-separated file?)")
        elif len(row) != ncol:
            fail(path, f"line {number}: {len(row)} columns, the rows above have {ncol}")
        values.extend(row)
    return meta, header, values, ncol


def read_text(path, time_unit: str | None = None) -> Measurement:
    """A text/CSV table of a time column and one counts column per channel.

    time_unit ("ps", "ns", "us", "ms", "s") names the time column's unit when
    the header does not.
    """
    if time_unit is not None and time_unit not in TIME_UNITS:
        raise ValueError(f"time_unit must be one of {sorted(TIME_UNITS)}, not {time_unit!r}")
    return _read_text(path, time_unit)


@reader
def _read_text(src: Opened, time_unit):
    path = src.path
    encoding = _encoding(src.file)
    try:
        meta, header, values, ncol = _table(src, encoding)
    except UnicodeDecodeError:
        if encoding != "utf-8":
            fail(path, f"not valid {encoding.upper().replace('-SIG', '')} text")
        meta, header, values, ncol = _table(src, "latin-1")
    rows = len(values) // ncol if ncol else 0
    if rows < 2:
        fail(path, f"{rows} rows of numbers: at least two time bins are needed")
    unit = time_unit
    if unit is None and header is not None:
        m = _UNIT.search(header[0].lower().replace("\u00b5", "u").replace("\u03bc", "u"))
        unit = m.group(1) if m else None
    if unit is None:
        fail(path, "the time unit is not known: name it in the header (time_ps, t [ns], time (s)) or pass "
                   "time_unit")
    a = np.frombuffer(values, dtype=float).reshape(rows, ncol)
    if not np.all(np.isfinite(a[:, 0])):
        fail(path, "the time column holds values that are not finite")
    with np.errstate(over="ignore", invalid="ignore"):  # refused below
        t = a[:, 0] * TIME_UNITS[unit]
        width = (t[-1] - t[0]) / (t.size - 1)
    check_time_axis(path, float(t[0]), float(t[-1]), abs(width))
    if not width > 0 or np.max(np.abs(np.diff(t) - width)) > 1e-6 * width:
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
        v = _floats(path, meta["acquisition_time_s"], "acquisition_time_s")
        if len(v) != 1:
            fail(path, f"comment acquisition_time_s: one number of seconds expected, got "
                       f"{meta['acquisition_time_s']!r}")
        acq = v[0]
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
