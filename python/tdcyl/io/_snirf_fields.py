"""Reading the fields of an HDF5 file within a memory budget, every failure named.

A dataset's shape and type are checked before it is read: HDF5 can declare a
dataset of any size in a few bytes (unwritten chunks read as fill values), so a
small file could otherwise ask for gigabytes.
"""
from __future__ import annotations

import math
import os

import numpy as np

from ._hdf5_heap import check_references, collections
from ._measurement import fail

#: A read may load at most this many bytes of datasets: ten times the file's
#: size (room for compressed data) plus a fixed margin.
CAP_FACTOR, CAP_MARGIN = 10, 64 << 20


class Reader:
    """One open file: its path, for messages, and what its datasets may still use."""

    def __init__(self, path, h5file):
        self.path = os.fspath(path)
        self.file = h5file
        self.budget = CAP_FACTOR * os.path.getsize(self.path) + CAP_MARGIN
        self.heaps = None  # the global heap's collections, checked at the first string read

    def fail(self, what: str):
        fail(self.path, what)

    def member(self, group, name: str, *, required: bool = False):
        """group[name] as a dataset, None when absent (or a failure when required)."""
        if name not in group:
            if required:
                self.fail(f"{group.name}/{name} is missing")
            return None
        ds = group[name]
        if not hasattr(ds, "dtype"):
            self.fail(f"{ds.name} is a group where a dataset is expected")
        return ds

    def _load(self, ds, kinds: str, what: str):
        if ds.dtype.kind not in kinds:
            kind = "text" if ds.dtype.kind in "SOU" else f"of type {ds.dtype}"
            self.fail(f"{ds.name} is {kind}, expected {what}")
        size = math.prod(ds.shape) if ds.shape is not None else 0
        need = size * max(8, ds.dtype.itemsize)
        if need > self.budget:
            self.fail(f"{ds.name} declares shape {ds.shape} ({need / 2**20:.0f} MiB), more than a file of "
                      f"{os.path.getsize(self.path)} bytes can hold: corrupt")
        self.budget -= need
        return ds[()] if ds.shape is not None else np.zeros(0)

    def numbers(self, ds, ndim: int | None = None) -> np.ndarray:
        """A numeric dataset as float64 (a scalar as 0-d), its rank checked when ndim is given."""
        a = np.asarray(self._load(ds, "iufb", "numbers"), dtype=float)
        if ndim is not None and a.ndim != ndim and not (ndim == 1 and a.ndim == 0):
            self.fail(f"{ds.name} must be a {ndim}-d array, got shape {a.shape}")
        return a.reshape(-1) if ndim == 1 else a

    def indices(self, ds, columns: int = 1) -> np.ndarray:
        """An index field (1-based whole numbers >= 1) as int64; shape (n,) or (n, columns)."""
        a = self.numbers(ds)
        bad = ~(np.isfinite(a) & (a >= 1) & (a < 2**31) & (a == np.round(a)))
        if bad.any():
            self.fail(f"{ds.name} holds {a[bad].reshape(-1)[0]!r}, not an index (a whole number >= 1)")
        return a.astype(np.int64)

    def strings(self, ds) -> list[str]:
        """A string dataset (scalar or array) as a flat list of str."""
        if ds.dtype.kind == "O":  # variable-length: objects in the global heap
            if self.heaps is None:
                plain = tuple(self.file.id.get_create_plist().get_sizes()) == (8, 8)
                self.heaps = collections(self.path, self.fail) if plain else False
            if self.heaps is not False:
                check_references(self, ds, self.heaps)
        a = np.asarray(self._load(ds, "SOU", "text"), dtype=object).reshape(-1)
        out = []
        for v in a:
            if isinstance(v, bytes):
                v = v.decode("utf-8", "replace")
            if not isinstance(v, str):
                self.fail(f"{ds.name} holds {type(v).__name__}, expected text")
            out.append(v)
        return out

    def string(self, ds) -> str:
        v = self.strings(ds)
        return v[0] if v else ""


def indexed(reader: Reader, group, prefix: str) -> list:
    """The members prefix1, prefix2, ... (or an unindexed prefix alone) in the order of their index."""
    found = {}
    for key in group:
        tail = key[len(prefix):]
        if key.startswith(prefix) and tail.isdigit() and tail[0] != "0":
            found[int(tail)] = key
    if prefix in group:
        if found:
            reader.fail(f"{group.name}: both {prefix} and {prefix}1, {prefix}2, ... are present")
        found[1] = prefix
    members = [group[found[i]] for i in sorted(found)]
    for m in members:
        if hasattr(m, "dtype"):
            reader.fail(f"{m.name} is a dataset where a group is expected")
    return members


_INDEX_FIELDS = ("sourceIndex", "detectorIndex", "wavelengthIndex", "dataType")


def measurement_list(reader: Reader, data, columns: int) -> dict:
    """The measurement list of a data block, either form, as per-column arrays.

    Keys: the index fields of _INDEX_FIELDS (int64, (columns,)), "dataTypeIndex"
    (columns, 2): the index into the first and the second of a data type's
    parameter lists (one index serves both), "wavelengthActual" (NaN where
    absent), "dataTypeLabel" and "dataUnit" (str, "" where absent).
    """
    entries = indexed(reader, data, "measurementList")
    if "measurementLists" in data:
        if entries:
            reader.fail(f"{data.name} has both measurementList1, ... and measurementLists (one is allowed)")
        return _list_arrays(reader, data["measurementLists"], columns)
    if len(entries) != columns:
        reader.fail(f"{data.name}: {len(entries)} measurement-list entries for the {columns} columns of "
                    "dataTimeSeries")
    for k, e in enumerate(entries, start=1):
        if e.name.rsplit("/", 1)[1] not in (f"measurementList{k}", "measurementList"):
            reader.fail(f"{data.name}: the measurement list skips measurementList{k} (its entries must be "
                        f"numbered 1 to {columns}, one per column)")
    out = {n: np.empty(columns, np.int64) for n in _INDEX_FIELDS}
    out.update(dataTypeIndex=np.empty((columns, 2), np.int64), wavelengthActual=np.full(columns, np.nan),
               dataTypeLabel=[""] * columns, dataUnit=[""] * columns)
    for k, e in enumerate(entries):
        for name in _INDEX_FIELDS:
            v = reader.indices(reader.member(e, name, required=True)).reshape(-1)
            if v.size != 1:
                reader.fail(f"{e.name}/{name} must be one number, got {v.size}")
            out[name][k] = v[0]
        v = reader.indices(reader.member(e, "dataTypeIndex", required=True)).reshape(-1)
        if v.size not in (1, 2):
            reader.fail(f"{e.name}/dataTypeIndex must hold one or two indices, got {v.size}")
        out["dataTypeIndex"][k] = (v[0], v[-1])
        actual = reader.member(e, "wavelengthActual")
        if actual is not None:
            v = reader.numbers(actual).reshape(-1)
            out["wavelengthActual"][k] = v[0] if v.size == 1 else reader.fail(f"{actual.name} must be one number")
        for name in ("dataTypeLabel", "dataUnit"):
            ds = reader.member(e, name)
            out[name][k] = reader.string(ds) if ds is not None else ""
    return out


def _list_arrays(reader: Reader, group, columns: int) -> dict:
    if hasattr(group, "dtype"):
        reader.fail(f"{group.name} is a dataset where a group is expected")

    def column(name, read, required, width=None):
        ds = reader.member(group, name, required=required)
        if ds is None:
            return None
        shape = ds.shape or ()
        if shape[:1] != (columns,) or len(shape) > (2 if width else 1) or (len(shape) == 2 and shape[1] > width):
            reader.fail(f"{ds.name} has shape {shape}, expected one value per column of dataTimeSeries "
                        f"({columns})")
        return read(ds)

    out = {n: column(n, reader.indices, True) for n in _INDEX_FIELDS}
    index = column("dataTypeIndex", reader.indices, True, width=2)
    out["dataTypeIndex"] = np.column_stack([index, index]) if index.ndim == 1 else index[:, [0, -1]]
    actual = column("wavelengthActual", lambda ds: reader.numbers(ds, 1), False)
    out["wavelengthActual"] = np.full(columns, np.nan) if actual is None else actual
    for name in ("dataTypeLabel", "dataUnit"):
        v = column(name, reader.strings, False)
        out[name] = [""] * columns if v is None else v
    return out
