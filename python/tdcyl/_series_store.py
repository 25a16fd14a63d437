"""A tracked recording's results on disk: a table (CSV, one row per frame) or a Zarr store
(arrays over frames, chunked along them). Either is written beside the target and renamed
onto it when complete, and only over a file or store of the same kind: nothing else the
user has at that path is replaced."""
from __future__ import annotations

import contextlib
import json
import os
import re
import shutil
import tempfile

import numpy as np

from ._atomic import replaced_atomically
from ._regular import open_regular

STORE_FORMAT = "tdcyl series 1"
# The first line of a series table: to_csv's, or tdcyl-fit --series' (a file column first).
TABLE_HEAD = re.compile(r"^(file,)?frame,time_s,")


def table(res):
    """One row per frame: frame, time_s, the values, their standard errors (NAME_sigma), the
    derived quantities and whether the frame settled."""
    import pandas as pd
    out = pd.DataFrame({"frame": np.arange(len(res.values)), "time_s": np.asarray(res.frame_times_s, dtype=float)})
    for name in res.names:
        out[name] = res.values[name].to_numpy()
    for name in res.names:
        out[f"{name}_sigma"] = res.stderr[name].to_numpy()
    for col in res.derived.columns:
        out[re.sub(r"_err$", "_sigma", col)] = res.derived[col].to_numpy()
    out["converged"] = np.asarray(res.converged, dtype=bool)
    return out


def _check_target(path, kind: str) -> str:
    """The real path of a target that may be replaced: absent, or a series table (kind "csv") or
    store ("zarr") of this package; ValueError naming what is there otherwise."""
    where = os.fspath(path)
    if not isinstance(where, str) or not where.strip():
        raise ValueError(f"path must name a file, got {path!r}")
    real = os.path.realpath(where)
    folder = os.path.dirname(real)
    if not os.path.isdir(folder):
        raise ValueError(f"path {where!r}: the folder {folder} does not exist")
    if not os.path.lexists(real):
        return real
    if kind == "csv":
        def refuse(mode):
            raise ValueError(f"path {where!r} is not a regular file (a folder, FIFO or device); name a new file")
        f, _ = open_regular(real, refuse)
        with f:
            head = f.read(64).decode("utf-8", "replace")
        if head and not TABLE_HEAD.match(head):
            raise ValueError(f"path {where!r} exists and is not a series table: name another file (it is left "
                             "as it is)")
        return real
    if not os.path.isdir(real):
        raise ValueError(f"path {where!r} exists and is not a folder: name a new store (it is left as it is)")
    if os.listdir(real) and _stored_format(real) != STORE_FORMAT:
        raise ValueError(f"path {where!r} is a folder and not a series store: name a new store (it is left as "
                         "it is)")
    return real


def _stored_format(folder):
    try:
        with open(os.path.join(folder, ".zattrs"), encoding="utf-8") as f:
            return json.load(f).get("format")
    except (OSError, ValueError, AttributeError):
        return None


def to_csv(res, path, chunk=10000):
    """The table of `table` written atomically, `chunk` rows at a time."""
    real = _check_target(path, "csv")
    frame = table(res)
    with replaced_atomically(real, ".series-") as tmp:
        with open(tmp, "w", newline="") as f:
            frame.to_csv(f, index=False, chunksize=chunk)


def _dataset(res, chunk):
    import xarray as xr
    from . import _core
    names = np.array(res.names, dtype=str)
    coords = {"frame": np.arange(len(res.values)), "parameter": names,
              "time_s": ("frame", np.asarray(res.frame_times_s, dtype=float), {"units": "s"})}
    data = {"values": (("frame", "parameter"), res.values[list(res.names)].to_numpy()),
            "stderr": (("frame", "parameter"), res.stderr[list(res.names)].to_numpy()),
            "covariance": (("frame", "parameter", "parameter_2"), np.asarray(res.covariance)),
            "converged": ("frame", np.asarray(res.converged, dtype=bool))}
    for col in res.derived.columns:
        data[col] = ("frame", res.derived[col].to_numpy())
    attrs = dict(format=STORE_FORMAT, tdcyl_version=_core.VERSION, method=res.method,
                 baseline=json.dumps({k: float(v) for k, v in res.baseline.values.items()}),
                 warnings=json.dumps(list(res.warnings)))
    ds = xr.Dataset(data, coords=dict(coords, parameter_2=names), attrs=attrs)
    encoding = {v: {"chunks": (min(chunk, max(ds.sizes["frame"], 1)),) + ds[v].shape[1:]} for v in data}
    return ds, encoding


def to_zarr(res, path, chunk=10000):
    """The results as a Zarr store (xarray layout), chunks of `chunk` frames, laid out in a hidden
    folder beside the target and renamed onto it; an older series store there is replaced."""
    real = _check_target(path, "zarr")
    ds, encoding = _dataset(res, chunk)
    parent = os.path.dirname(real)
    tmp = tempfile.mkdtemp(prefix="." + os.path.basename(real) + ".", suffix=".new", dir=parent)
    old = None
    try:
        ds.to_zarr(tmp, mode="w", encoding=encoding, consolidated=True)
        if os.path.isdir(real) and os.listdir(real):  # an older store: set aside until the new one is in
            old = tempfile.mkdtemp(prefix="." + os.path.basename(real) + ".", suffix=".old", dir=parent)
            os.rename(real, old)
        try:
            os.rename(tmp, real)
        except OSError:
            if old is not None:
                os.rename(old, real)
                old = None
            raise
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        if old is not None:
            with contextlib.suppress(OSError):
                shutil.rmtree(old)
