"""Many curves: parameter sweeps and batch fits as Dask tasks.

A sweep computes one curve per row of a table (see tdcyl.table) in chunks of
rows, one Dask task per chunk, on a given dask.distributed Client or on a
LocalCluster with one worker process per core that the call starts and closes.
Every finished chunk is written at once to a Zarr store; a store that already
holds some chunks of the same sweep gets only the missing ones. Tasks are pure
functions of their rows, so a chunk lost with a worker is simply computed again
(by the scheduler) with the same result, and the result never depends on the
number or the kind of workers.
"""
from __future__ import annotations

import math
import os
import sys
import time
import uuid
import warnings

import numpy as np

from . import _core
from .model import _options, reflectance
from .table import UNITS, check_table

__all__ = ["sweep", "fit_many", "DEFAULT_CHUNK"]

DEFAULT_CHUNK = 32  # the most rows per task when none is given
SAMPLE_PS = 10.0  # the output grid: t_i = 10 i ps, i = 1 ... 512 // M
STORE_FORMAT = "tdcyl sweep 1"


# --- tasks (run on the workers) ---------------------------------------------------------------

def _sweep_chunk(cases, samples: int, engine: str, tolerance, wraparound):
    """Curves of one chunk: (values (len(cases), samples) with NaN past each grid, {j: error}, {j: warnings})."""
    out = np.full((len(cases), samples), np.nan)
    errors, warns = {}, {}
    for j, case in enumerate(cases):
        if case is None:
            continue
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # kept with the curve below
                c = reflectance(**case.kwargs(), engine=engine, tolerance=tolerance, wraparound=wraparound,
                                threads=1, all_samples=True)
        except Exception as exc:  # the run core's failure of one case must not take the others
            errors[j] = f"{type(exc).__name__}: {exc}"
            continue
        k = len(c.t_ps)
        if k > samples or not np.array_equal(c.t_ps, SAMPLE_PS * np.arange(1, k + 1)):
            errors[j] = f"RuntimeError: unexpected time grid of {k} samples"
            continue
        out[j, :k] = c.reflectance
        if c.warnings:
            warns[j] = " ".join(c.warnings)
    return out, errors, warns


def _fit_chunk(items, irf, free, options):
    """Fits of one chunk: one row (dict) per curve; a failed fit gives its message, not an exception."""
    from .fitting import fit
    rows = []
    for index, t, counts, model in items:
        row = {"curve": index}
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                r = fit(t, counts, irf, model, free, **options)
        except Exception as exc:
            row.update(status="failed", message=f"{type(exc).__name__}: {exc}")
            rows.append(row)
            continue
        for name in r.names:
            row[name] = r.values[name]
        for name in r.names:
            row[f"{name}_sigma"] = r.stderr[name]
        row.update(chi2_red=r.chi2_red, dof=r.dof, scale=r.scale, nfev=r.nfev, model_calls=r.model_calls,
                   status="ok" if r.success else "not converged", message="" if r.success else r.message)
        rows.append(row)
    return rows


# --- cluster, progress ---------------------------------------------------------------------------

def _cores() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return max(1, os.cpu_count() or 1)


class _Cluster:
    """The given client, or a LocalCluster (one single-threaded worker process per core) for the call."""

    def __init__(self, client, workers):
        self.client = client
        self.cluster = None
        if client is None:
            import logging
            from distributed import Client, LocalCluster
            n = _cores() if workers is None else int(workers)
            self.cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                        dashboard_address=":0", silence_logs=logging.ERROR)
            try:
                self.client = Client(self.cluster, set_as_default=False)
            except BaseException:
                self.cluster.close()
                raise

    def close(self):
        if self.cluster is not None:
            try:
                self.client.close()
            finally:
                self.cluster.close()


class _Progress:
    """finished / total, rate and time left on a terminal (stderr), or a callback, or nothing."""

    def __init__(self, progress, total: int, done: int, what: str):
        self.callback = progress if callable(progress) else None
        if progress is None:
            progress = sys.stderr.isatty()
        self.show = bool(progress) and self.callback is None
        self.total, self.done, self.start_done = total, done, done
        self.what = what
        self.started = self.last = time.monotonic()

    def begin(self):
        """The rate counts from here (the cluster is up)."""
        self.started = self.last = time.monotonic()

    def update(self, done: int):
        self.done = done
        if self.callback is not None:
            self.callback(done, self.total)
        if self.show:
            now = time.monotonic()
            if now - self.last >= 0.2 or done == self.total:
                self.last = now
                self._line(now)

    def _line(self, now):
        made = self.done - self.start_done
        elapsed = now - self.started
        rate = made / elapsed if elapsed > 0 else 0.0
        left = (self.total - self.done) / rate if rate > 0 else math.inf
        eta = "--:--" if not math.isfinite(left) else f"{int(left) // 60:d}:{int(left) % 60:02d}"
        sys.stderr.write(f"\r{self.done}/{self.total} {self.what}  {rate:.3g} {self.what}/s  {eta} left   ")
        sys.stderr.flush()

    def close(self):
        if self.show:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _check_cluster_args(client, workers):
    if workers is not None:
        if client is not None:
            raise ValueError("workers applies to the local cluster only (client is given)")
        if isinstance(workers, bool) or not isinstance(workers, (int, np.integer)) or workers < 1:
            raise ValueError(f"workers must be an integer >= 1, got {workers!r}")


def _run(cluster_args, tasks, on_result, progress: _Progress):
    """Submits tasks {key: (function, args)}, calls on_result(key, result) as each finishes (in this process)."""
    if not tasks:
        return
    from distributed import as_completed
    cluster = _Cluster(*cluster_args)
    progress.begin()
    futures = {}
    try:
        token = uuid.uuid4().hex[:8]
        for key, (function, args) in tasks.items():
            f = cluster.client.submit(function, *args, key=f"tdcyl-{key[0]}-{token}-{key[1]}", pure=False)
            futures[f] = key
        for f in as_completed(list(futures), loop=cluster.client.loop):
            result = f.result()
            on_result(futures.pop(f), result)
            f.release()
    finally:
        if futures:
            cluster.client.cancel(list(futures))
        progress.close()
        cluster.close()


# --- the store -------------------------------------------------------------------------------

def _open_store(store):
    import zarr
    if store is None:
        return zarr.storage.MemoryStore(), None
    if isinstance(store, (str, os.PathLike)):
        path = os.fspath(store)
        if os.path.exists(path) and not os.path.isdir(path):
            raise ValueError(f"store {path!r} exists and is not a directory")
        if os.path.isdir(path) and os.listdir(path) and not os.path.exists(os.path.join(path, ".zgroup")):
            raise ValueError(f"store {path!r} is a non-empty directory that is not a Zarr store")
        return zarr.storage.DirectoryStore(path), path
    return store, None


def _layout(checked, samples):
    """The arrays of a sweep store: name -> (data or None for the curves, dims, attrs)."""
    n = len(checked)
    errors = np.array([checked.errors.get(r, "") for r in range(n)], dtype=object)
    coords = list(checked.columns)
    arrays = {
        "reflectance": (None, ("case", "time"),
                        {"units": "mm^-2 ps^-1", "long_name": "time-resolved diffuse reflectance",
                         "coordinates": " ".join(coords)}),
        "case": (np.arange(n, dtype=np.int64), ("case",), {"long_name": "row of the table"}),
        "time": (SAMPLE_PS * np.arange(1, samples + 1), ("time",), {"units": "ps"}),
        "error": (errors, ("case",), {"long_name": "why the case has no curve (empty: it has one)"}),
        "warning": (np.full(n, "", dtype=object), ("case",), {"long_name": "warnings of the run"}),
    }
    for name in coords:
        quantity = name.rstrip("0123456789") if name[-1].isdigit() else name
        arrays[name] = (checked.columns[name], ("case",), {"units": UNITS[quantity]})
    return arrays


def _create(root, checked, chunk, samples, attrs):
    import zarr
    n = len(checked)
    for name, (data, dims, a) in _layout(checked, samples).items():
        if name == "reflectance":
            arr = root.create_dataset(name, shape=(n, samples), chunks=(chunk, samples), dtype="f8",
                                      fill_value=np.nan, overwrite=True)
        elif data.dtype == object:
            arr = root.create_dataset(name, shape=(n,), chunks=(chunk,), dtype=str, fill_value=None, overwrite=True)
            arr[:] = data
        else:
            arr = root.create_dataset(name, data=data, chunks=data.shape, fill_value=None, overwrite=True)
        arr.attrs.update(a)
        arr.attrs["_ARRAY_DIMENSIONS"] = list(dims)
    nchunks = -(-n // chunk)
    root.require_group("progress").create_dataset("done", shape=(nchunks,), chunks=(1,), dtype="u1", fill_value=0,
                                                  overwrite=True)
    root.attrs.update(attrs)
    zarr.consolidate_metadata(root.store)


def _same_sweep(root, checked, chunk, samples, attrs, where) -> None:
    """ValueError unless the existing store holds this very sweep (same rows, settings and program)."""
    stored = dict(root.attrs)
    for key, value in attrs.items():
        if stored.get(key) != value:
            raise ValueError(f"store {where} holds another sweep ({key} = {stored.get(key)!r} there, "
                             f"{value!r} here); use a new store")
    n = len(checked)
    if "reflectance" not in root or root["reflectance"].shape != (n, samples) or \
            root["reflectance"].chunks != (chunk, samples):
        raise ValueError(f"store {where} holds another sweep (other cases or chunks); use a new store")
    for name, data in checked.columns.items():
        if name not in root or not np.array_equal(root[name][:], data, equal_nan=True) or \
                root[name].dtype != data.dtype:
            raise ValueError(f"store {where} holds another sweep (column {name} differs); use a new store")
    for name in root.array_keys():
        if root[name].attrs.get("_ARRAY_DIMENSIONS") == ["case"] and name not in checked.columns and \
                name not in ("case", "error", "warning"):
            raise ValueError(f"store {where} holds another sweep (column {name}); use a new store")


# --- public functions ------------------------------------------------------------------------

def sweep(table, *, engine=None, tolerance=None, wraparound=None, client=None, store=None, chunk=None,
          on_error="raise", workers=None, progress=None):
    """One curve per row of a table, computed as Dask tasks and written to a Zarr store.

    Parameters
    ----------
    table : pandas DataFrame, dict of columns or path of a CSV file
        One row per case, columns N, muspI, muaI, nI, lI (layer I), radius, rho,
        rho0, phi, M, mmax (see tdcyl.table; tdcyl.grid() builds one).
    engine, tolerance, wraparound : as for tdcyl.reflectance (default: its default engine).
    client : dask.distributed.Client, optional
        Where to compute (e.g. Client("tcp://scheduler:8786")). Default: a
        LocalCluster with one single-threaded worker process per core (or
        `workers`), started and closed by this call. Scripts that start one
        need the `if __name__ == "__main__":` guard (workers are spawned).
    store : path of a Zarr directory, or a Zarr store, optional
        Where each finished chunk is written. An existing store of the same
        sweep (same rows, engine, chunk and program version) is completed:
        only its missing chunks are computed. Default: in memory.
    chunk : int
        Rows per task and per stored chunk. Default: the store's when it
        exists, else enough for about 64 tasks, at most DEFAULT_CHUNK rows.
    on_error : "raise" or "record"
        Bad rows: "raise" raises ValueError naming the row and the column before
        anything is computed; "record" keeps their message in the variable
        `error` and leaves their curve NaN. A case whose computation fails
        likewise raises RuntimeError naming the row (after the finished chunks
        are stored) or is recorded.
    progress : None, bool or callable(finished, total)
        None: finished/total cases, rate and time left on stderr when it is a
        terminal; a callable is called after each stored chunk.

    Returns
    -------
    xarray.Dataset with dims (case, time): `reflectance` in mm^-2 ps^-1 at
    time = 10, 20, ... ps (every sample, all_samples=True, of the shortest
    M's grid, 512 // min(M) samples; a case with a larger M has NaN past its
    own 512 // M samples), the table's columns as coordinates over case,
    `error` and `warning` per case, and the attributes engine, tolerance,
    wraparound, version and chunk. The values are those of tdcyl.reflectance
    bit for bit, whatever the workers.
    """
    import xarray as xr
    import zarr

    if on_error not in ("raise", "record"):
        raise ValueError(f"on_error must be 'raise' or 'record', not {on_error!r}")
    eng, tol, wrap, _ = _options(engine, tolerance, wraparound, 0)
    _check_cluster_args(client, workers)
    checked = check_table(table)
    if checked.errors and on_error == "raise":
        bad = [checked.errors[r] for r in sorted(checked.errors)]
        more = f"\n(and {len(bad) - 10} more)" if len(bad) > 10 else ""
        raise ValueError(f"{len(bad)} invalid row{'s' if len(bad) > 1 else ''} in the table:\n"
                         + "\n".join(bad[:10]) + more)
    ms = [c.M for c in checked.cases if c is not None]
    samples = 512 // min(ms) if ms else 512

    zstore, path = _open_store(store)
    where = repr(path) if path else "(given)"
    root = zarr.open_group(zstore, mode="a")
    fresh = root.attrs.get("format") != STORE_FORMAT  # the attributes are written last
    if fresh and any(name not in _layout(checked, 1) and name != "progress" for name in root):
        raise ValueError(f"store {where} is a Zarr store of something else")
    if chunk is None:  # a function of the table alone, so that a resumed sweep finds the same chunks
        chunk = min(DEFAULT_CHUNK, -(-len(checked) // 64)) if fresh else int(root.attrs["chunk"])
    if isinstance(chunk, bool) or not isinstance(chunk, (int, np.integer)) or chunk < 1:
        raise ValueError(f"chunk must be an integer >= 1, got {chunk!r}")
    chunk = int(chunk)
    attrs = {"format": STORE_FORMAT, "engine": eng, "tolerance": tol, "wraparound": wrap,
             "version": _core.VERSION, "chunk": chunk}
    if fresh:
        _create(root, checked, chunk, samples, attrs)
    else:
        _same_sweep(root, checked, chunk, samples, attrs, where)

    n = len(checked)
    done = root["progress/done"][:]
    curves, error_var, warning_var, marks = root["reflectance"], root["error"], root["warning"], root["progress/done"]
    finished = sum(min(chunk, n - k * chunk) for k in np.flatnonzero(done))
    shown = _Progress(progress, n, finished, "curves")
    counter = [finished]

    def store_chunk(k, result):
        out, errors, warns = result
        lo, hi = k * chunk, min(n, (k + 1) * chunk)
        if errors and on_error == "raise":
            j = min(errors)
            raise RuntimeError(f"row {lo + j}: {errors[j]}")
        curves[lo:hi] = out
        if errors:
            e = error_var[lo:hi]
            for j, msg in errors.items():
                e[j] = msg
            error_var[lo:hi] = e
        if warns:
            w = warning_var[lo:hi]
            for j, msg in warns.items():
                w[j] = msg
            warning_var[lo:hi] = w
        marks[k] = 1  # last: a chunk counts as done only once all of it is stored
        counter[0] += hi - lo
        shown.update(counter[0])

    tasks = {("sweep", k): (_sweep_chunk, (checked.cases[k * chunk:(k + 1) * chunk], samples, eng, tol or None, wrap))
             for k in np.flatnonzero(done == 0).tolist()}
    _run((client, workers), tasks, lambda key, result: store_chunk(key[1], result), shown)
    if store is None:
        return xr.open_zarr(zstore).load()
    return xr.open_zarr(path if path else zstore)


def fit_many(measurements, irf, model, free=("mua1", "musp1"), *, client=None, chunk=1, workers=None,
             progress=None, **options):
    """tdcyl.fit over many measured curves, as Dask tasks; a table with one row per curve.

    Parameters
    ----------
    measurements : (t_ps, counts)
        Bin centres in ps (1-d, shared) and counts, shape (curves, bins); or a
        sequence of (t_ps, counts) pairs, one per curve.
    irf : (irf_t_ps, irf_counts)
        The instrument response on the measurements' bins, shared by all.
    model : dict or InputParams, or a sequence of them (one per curve)
        Start values and fixed parameters, as for tdcyl.fit.
    free, options : as for tdcyl.fit (bounds, fit_range, weights, shift, scale, engine, max_nfev).
    client, workers, progress : as for tdcyl.sweep. chunk: curves per task.

    Returns
    -------
    pandas DataFrame, one row per curve in the given order: curve (its index),
    the fitted values by name and their standard errors (name_sigma),
    chi2_red, dof, scale, nfev, model_calls, status ("ok", "not converged"
    or "failed") and message (the error of a failed fit, empty when ok). A
    failed fit leaves its values NaN and does not stop the others; each row
    equals a direct tdcyl.fit call.
    """
    import pandas as pd

    if isinstance(measurements, tuple) and len(measurements) == 2 and np.ndim(measurements[1]) == 2:
        t = np.asarray(measurements[0], dtype=float)
        counts = np.asarray(measurements[1], dtype=float)
        if counts.shape[1:] != t.shape:
            raise ValueError(f"measurements: counts must have shape (curves, {t.size}) for the given t_ps, "
                             f"got {counts.shape}")
        curves = [(t, row) for row in counts]
    else:
        curves = []
        for i, m in enumerate(measurements):
            if not isinstance(m, (tuple, list)) or len(m) != 2:
                raise TypeError(f"measurements[{i}] must be a pair (t_ps, counts)")
            curves.append((np.asarray(m[0], dtype=float), np.asarray(m[1], dtype=float)))
    if not curves:
        raise ValueError("measurements holds no curve")
    if isinstance(model, (list, tuple)):
        if len(model) != len(curves):
            raise ValueError(f"model: {len(model)} models for {len(curves)} curves")
        models = list(model)
    else:
        models = [model] * len(curves)
    if not isinstance(irf, (tuple, list)) or len(irf) != 2:
        raise TypeError("irf must be a pair (irf_t_ps, irf_counts)")
    irf = (np.asarray(irf[0], dtype=float), np.asarray(irf[1], dtype=float))
    if isinstance(chunk, bool) or not isinstance(chunk, (int, np.integer)) or chunk < 1:
        raise ValueError(f"chunk must be an integer >= 1, got {chunk!r}")
    _check_cluster_args(client, workers)
    if "threads" in options:
        raise ValueError("threads: each fit runs on one thread of its worker")
    if isinstance(free, str):
        free = (free,)
    free = tuple(free)
    options = dict(options, threads=1)

    items = [(i, t, c, m) for i, ((t, c), m) in enumerate(zip(curves, models))]
    rows = [None] * len(items)
    shown = _Progress(progress, len(items), 0, "fits")
    counter = [0]

    def collect(key, result):
        for row in result:
            rows[row["curve"]] = row
        counter[0] += len(result)
        shown.update(counter[0])

    tasks = {("fit", k): (_fit_chunk, (items[k * chunk:(k + 1) * chunk], irf, free, options))
             for k in range(-(-len(items) // chunk))}
    _run((client, workers), tasks, collect, shown)
    frame = pd.DataFrame(rows)
    first = ["curve"]
    last = ["chi2_red", "dof", "scale", "nfev", "model_calls", "status", "message"]
    middle = [c for c in frame.columns if c not in first + last]
    values = [c for c in middle if not c.endswith("_sigma")]
    sigmas = [c for c in middle if c.endswith("_sigma")]
    return frame.reindex(columns=first + values + sigmas + last)

