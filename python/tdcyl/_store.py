"""The Zarr store of a sweep: created whole and at once, reopened only when this package made it.

A new store is laid out (by xarray: coordinates, dimensions, attributes, empty
curves) in a hidden folder beside the target and renamed onto it; the rename
is atomic and fails on a non-empty folder, so of two sweeps started at once on
one new path exactly one creates the store and the other finds it and is
checked against it like any resumed sweep. Curves are written chunk by chunk
straight into the arrays; a chunk's mark in progress/done is written last, so
a chunk counts as done only once all of it is stored, and a resumed sweep
computes exactly the unmarked chunks.
"""
from __future__ import annotations

import os
import shutil
import tempfile

import numpy as np

from .table import UNITS

STORE_FORMAT = "tdcyl sweep 2"
SAMPLE_PS = 10.0  # the output grid: t_i = 10 i ps, i = 1 ... 512 // M
_CASE_VARIABLES = ("case", "error", "warning")


def _dataset(checked, samples, chunk, attrs):
    """The sweep as an xarray Dataset whose curves are a lazy all-NaN array (never computed)."""
    import dask.array as da
    import xarray as xr

    n = len(checked)
    errors = np.array([checked.errors.get(r, "") for r in range(n)], dtype=object)
    coords = {"case": ("case", np.arange(n, dtype=np.int64), {"long_name": "row of the table"}),
              "time": ("time", SAMPLE_PS * np.arange(1, samples + 1), {"units": "ps"})}
    for name, values in checked.columns.items():
        quantity = name.rstrip("0123456789") if name[-1].isdigit() else name
        coords[name] = ("case", values, {"units": UNITS[quantity]})
    curves = da.full((n, samples), np.nan, chunks=(chunk, samples))
    return xr.Dataset(
        {"reflectance": (("case", "time"), curves,
                         {"units": "mm^-2 ps^-1", "long_name": "time-resolved diffuse reflectance"}),
         "error": ("case", errors, {"long_name": "why the case has no curve (empty: it has one)"}),
         "warning": ("case", np.full(n, "", dtype=object), {"long_name": "warnings of the run"})},
        coords=coords, attrs=attrs)


def _lay_out(target, checked, samples, attrs):
    import zarr
    chunk = attrs["chunk"]
    ds = _dataset(checked, samples, chunk, attrs)
    ds.to_zarr(target, compute=False, consolidated=True,
               encoding={"reflectance": {"chunks": (chunk, samples)}, "error": {"chunks": (chunk,)},
                         "warning": {"chunks": (chunk,)}})
    root = zarr.open_group(target, mode="r+")
    root.require_group("progress").create_dataset("done", shape=(-(-len(checked) // chunk),), chunks=(1,),
                                                  dtype="u1", fill_value=0)
    zarr.consolidate_metadata(target)
    return True


def _target_path(store) -> str:
    """The folder a path names, checked before anything is touched."""
    path = os.fspath(store)
    if not isinstance(path, str):
        raise TypeError(f"store must be a path or a Zarr store, not {type(store).__name__}")
    if not path.strip():
        raise ValueError("store: an empty path names no store (give a new folder, e.g. 'sweep.zarr')")
    real = os.path.realpath(path)
    parent = os.path.dirname(real)
    probe = parent
    while not os.path.exists(probe):  # the deepest existing ancestor must be a folder
        probe = os.path.dirname(probe)
    if not os.path.isdir(probe):
        raise ValueError(f"store {path!r}: {probe!r} is not a folder")
    if os.path.exists(real) and not os.path.isdir(real):
        raise ValueError(f"store {path!r} exists and is not a folder")
    return real


def _ours(root) -> bool:
    return root.attrs.get("format") == STORE_FORMAT


class SweepStore:
    """An open sweep store: which chunks are missing, and the writing of one chunk."""

    def __init__(self, root, where: str, location, n: int, chunk: int):
        self.root, self.where, self.location, self.n, self.chunk = root, where, location, n, chunk
        self.curves, self.errors, self.warnings = root["reflectance"], root["error"], root["warning"]
        self.marks = root["progress/done"]

    def missing(self) -> list:
        return np.flatnonzero(self.marks[:] == 0).tolist()

    def rows(self, k: int) -> slice:
        return slice(k * self.chunk, min(self.n, (k + 1) * self.chunk))

    def rows_done(self) -> int:
        """Rows of the finished chunks (the last chunk may be short)."""
        done = np.flatnonzero(self.marks[:])
        return sum(self.rows(k).stop - self.rows(k).start for k in done.tolist())

    def write(self, k: int, values, errors: dict, warns: dict) -> None:
        rows = self.rows(k)
        self.curves[rows] = values
        for var, messages in ((self.errors, errors), (self.warnings, warns)):
            if messages:
                text = var[rows]
                for j, msg in messages.items():
                    text[j] = msg
                var[rows] = text
        self.marks[k] = 1  # last: a chunk counts as done only once all of it is stored

    def dataset(self, load: bool):
        import xarray as xr
        if not load:
            return xr.open_zarr(self.location)
        return xr.open_zarr(self.location, chunks=None).load()  # read at once: no Dask graph to build


def open_store(store, checked, samples, chunk, default_chunk, attrs) -> SweepStore:
    """The store of this sweep: created when new, else checked to hold this very sweep (ValueError if not).

    chunk: rows per chunk, or None for the stored sweep's (default_chunk for a new store).
    """
    import zarr
    if store is None:
        location, where = zarr.storage.MemoryStore(), "(in memory)"
    elif isinstance(store, (str, os.PathLike)):
        location, where = _target_path(store), repr(os.fspath(store))
    elif all(hasattr(store, a) for a in ("__getitem__", "__setitem__", "keys")):
        location, where = store, "(given)"
    else:
        raise TypeError(f"store must be a path or a Zarr store, not {type(store).__name__}")

    root = _existing(location, where)
    if root is None:
        new = dict(attrs, chunk=default_chunk if chunk is None else chunk)
        # A store this call laid out holds this sweep by construction; one another process created
        # first (the rename failed) is checked like any existing store.
        made = _create_folder(location, where, checked, samples, new) if isinstance(location, str) else \
            _lay_out(location, checked, samples, new)
        root = _existing(location, where)
    else:
        made = False
    if not made:
        _same_sweep(root, checked, samples, attrs if chunk is None else dict(attrs, chunk=chunk), where)
    try:
        return SweepStore(root, where, location, len(checked), int(root.attrs["chunk"]))
    except (KeyError, TypeError, ValueError):
        raise ValueError(f"store {where} is a damaged sweep store (arrays missing); use a new store") from None


def _existing(location, where):
    """The group of an existing sweep store; None where there is none yet; ValueError for anything else."""
    import zarr
    if isinstance(location, str):
        if not os.path.isdir(location) or not os.listdir(location):
            return None
    elif not list(location.keys()):
        return None
    try:
        root = zarr.open_group(location, mode="r+")
    except Exception:
        raise ValueError(f"store {where} is neither empty nor a sweep store; it is left as it is") from None
    if not _ours(root):
        raise ValueError(f"store {where} is a Zarr store of something else than a sweep of this version; "
                         "it is left as it is") from None
    return root


def _create_folder(target, where, checked, samples, attrs):
    """Lays the store out in a hidden folder beside the target, then renames it onto the target (atomic).

    True when this call created the store, False when another process did first.
    """
    parent = os.path.dirname(target)
    try:
        os.makedirs(parent, exist_ok=True)
        tmp = tempfile.mkdtemp(prefix="." + os.path.basename(target) + ".", suffix=".new", dir=parent)
    except OSError as exc:
        raise ValueError(f"store {where}: cannot create it ({exc.strerror})") from None
    try:
        _lay_out(tmp, checked, samples, attrs)
        try:
            os.rename(tmp, target)  # replaces an empty folder, fails on a non-empty one
            return True
        except OSError:
            if not os.path.isdir(target) or not os.listdir(target):
                raise
            return False  # another process created it first
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def _same_sweep(root, checked, samples, attrs, where) -> None:
    """ValueError unless the store holds this very sweep (same rows, settings and program)."""
    stored = dict(root.attrs)
    for key, value in attrs.items():
        if stored.get(key) != value:
            raise ValueError(f"store {where} holds another sweep ({key} = {stored.get(key)!r} there, "
                             f"{value!r} here); use a new store")
    n = len(checked)
    arrays = dict(root.arrays())  # each opened once: an open reads and decodes its metadata
    if "reflectance" not in arrays or arrays["reflectance"].shape != (n, samples):
        there = arrays["reflectance"].shape[0] if "reflectance" in arrays else "no"
        raise ValueError(f"store {where} holds another sweep ({there} cases there, {n} here); use a new store")
    for name, data in checked.columns.items():
        stored = arrays.get(name)
        if stored is None or stored.dtype != data.dtype or not np.array_equal(stored[:], data, equal_nan=True):
            raise ValueError(f"store {where} holds another sweep (column {name} differs); use a new store")
    for name, array in arrays.items():
        if array.attrs.get("_ARRAY_DIMENSIONS") == ["case"] and name not in checked.columns and \
                name not in _CASE_VARIABLES:
            raise ValueError(f"store {where} holds another sweep (column {name}); use a new store")
