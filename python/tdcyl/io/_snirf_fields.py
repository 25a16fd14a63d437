"""Reading the fields of an HDF5 file within a memory budget, every failure named.

A dataset's shape and type are checked before it is read: HDF5 can declare a
dataset of any size in a few bytes (unwritten chunks read as fill values), so a
small file could otherwise ask for gigabytes.
"""
from __future__ import annotations

import math
import os

import numpy as np
from h5py import h5d, h5o, h5s

from ._hdf5_heap import check_references, collections
from ._measurement import Opened, fail, opened

#: A read may load at most this many bytes of datasets: ten times the file's
#: size (room for compressed data) plus a fixed margin.
CAP_FACTOR, CAP_MARGIN = 10, 64 << 20


def h5py_module():
    try:
        import h5py
    except ImportError:
        raise ImportError("reading and writing SNIRF needs h5py: install the Debian package python3-h5py") from None
    return h5py


def read_file(path, read):
    """read(Reader) of the HDF5 file at path (or an Opened file), opened once; every failure a ValueError
    naming the file (HDF5's own errors inside a damaged file included)."""
    with opened(path) as src:
        return _read_hdf5(src, read)


def _read_hdf5(src: Opened, read):
    path = src.path
    try:
        f = h5py_module().File(src.file, "r")  # HDF5 reads through the descriptor checked, never the name
    except OSError as exc:
        fail(path, f"not a readable HDF5 file ({exc})")
    with f:
        r = Reader(src, f)
        try:
            with np.errstate(all="ignore"):  # what overflows is refused as not finite
                return read(r)
        except ValueError as exc:
            if str(exc).startswith(f"{path}: "):
                raise
            fail(path, f"corrupt SNIRF file ({exc})")
        except (KeyError, OSError, TypeError, RuntimeError, AttributeError, IndexError, OverflowError) as exc:
            fail(path, f"corrupt SNIRF file ({type(exc).__name__}: {exc})")


class Reader:
    """One open file: its path, for messages, and what its datasets may still use."""

    def __init__(self, src: Opened, h5file):
        self.src = src
        self.path = src.path
        self.file = h5file
        self.budget = CAP_FACTOR * src.size + CAP_MARGIN
        self.heaps = None  # the global heap's collections, checked at the first string read

    def read_bytes(self, offset: int, n: int) -> bytes:
        """n bytes of the file at offset, as stored (read without moving the file's position, which HDF5
        uses)."""
        return os.pread(self.src.file.fileno(), n, offset)

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
                      f"{self.src.size} bytes can hold: corrupt")
        self.budget -= need
        return ds[()] if ds.shape is not None else np.zeros(0)

    def numbers(self, ds, ndim: int | None = None) -> np.ndarray:
        """A numeric dataset as float64 (a scalar as 0-d), its rank checked when ndim is given."""
        a = np.asarray(self._load(ds, "iufb", "numbers"), dtype=float)
        if ndim is not None and a.ndim != ndim and not (ndim == 1 and a.ndim == 0):
            self.fail(f"{ds.name} must be a {ndim}-d array, got shape {a.shape}")
        return a.reshape(-1) if ndim == 1 else a

    def indices(self, ds) -> np.ndarray:
        """An index field (1-based whole numbers >= 1) as int64."""
        return self.as_indices(self.numbers(ds), ds.name)

    def as_indices(self, a, where: str) -> np.ndarray:
        bad = ~(np.isfinite(a) & (a >= 1) & (a < 2**31) & (a == np.round(a)))
        if bad.any():
            self.fail(f"{where} holds {a[bad].reshape(-1)[0]!r}, not an index (a whole number >= 1)")
        return a.astype(np.int64)

    def few(self, group, name: str, most: int) -> np.ndarray:
        """group's numeric dataset `name` of at most `most` values as a flat float64 array, read through
        HDF5's own calls (a measurement list of thousands of entries is read value by value)."""
        ds = h5o.open(group.id, name.encode())
        where = f"{group.name}/{name}"
        if not isinstance(ds, h5d.DatasetID):
            self.fail(f"{where} is a group where a dataset is expected")
        shape, dtype = ds.shape, ds.dtype
        if dtype.kind not in "iufb" or shape is None or math.prod(shape) > most:
            self.fail(f"{where} must hold at most {most} number{'s' * (most > 1)}, got "
                      f"{'text' if dtype.kind in 'SOUV' else f'{dtype} of shape {shape}'}")
        out = np.empty(shape, dtype=float)
        ds.read(h5s.ALL, h5s.ALL, out)
        return out.reshape(-1)

    def strings(self, ds) -> list[str]:
        """A string dataset (scalar or array) as a flat list of str."""
        if ds.dtype.kind == "O":  # variable-length: objects in the global heap
            if self.heaps is None:
                plain = tuple(self.file.id.get_create_plist().get_sizes()) == (8, 8)
                self.heaps = collections(self.src.file, self.fail) if plain else False
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
    return _list_groups(reader, data, entries)


def _list_groups(reader: Reader, data, entries) -> dict:
    """The indexed form: each entry's members listed once, numbers read value by value, checked together."""
    n = len(entries)
    numbers = {name: np.full((n, 2), np.nan) for name in _INDEX_FIELDS + ("dataTypeIndex", "wavelengthActual")}
    strings = {"dataTypeLabel": [""] * n, "dataUnit": [""] * n}
    for k, e in enumerate(entries):
        for name in e:
            if name in numbers:
                v = reader.few(e, name, 2 if name == "dataTypeIndex" else 1)
                numbers[name][k] = (v[0], v[-1]) if v.size else np.nan
            elif name in strings:
                strings[name][k] = reader.string(reader.member(e, name))
    out = {"wavelengthActual": numbers.pop("wavelengthActual")[:, 0], **strings}
    for name, v in numbers.items():
        missing = np.isnan(v[:, 0])
        if missing.any():
            reader.fail(f"{entries[int(np.argmax(missing))].name}/{name} is missing")
        bad = ~(np.isfinite(v) & (v >= 1) & (v < 2**31) & (v == np.round(v))).all(axis=1)
        if bad.any():
            k = int(np.argmax(bad))
            reader.as_indices(v[k], f"{entries[k].name}/{name}")
        out[name] = v.astype(np.int64) if name == "dataTypeIndex" else v[:, 0].astype(np.int64)
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
