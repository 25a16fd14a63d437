"""Many curves: parameter sweeps and batch fits as Dask tasks.

A sweep computes one curve per row of a table (see tdcyl.table) in chunks of
rows, one Dask task per chunk, on a given dask.distributed Client or on a
LocalCluster with one worker process per core that the call starts and closes.
Every finished chunk is written at once to a Zarr store (tdcyl._store); a store
that already holds some chunks of the same sweep gets only the missing ones.
Tasks are pure functions of their rows, so a chunk lost with a worker is simply
computed again (by the scheduler) with the same result, and the result never
depends on the number or the kind of workers.
"""
from __future__ import annotations

import csv
import inspect
import math
import os
import warnings
from typing import NamedTuple

import numpy as np

from . import _core
from ._cluster import Progress, check_cluster_args, check_progress, run
from .files import _open_regular
from ._store import SAMPLE_PS, STORE_FORMAT, open_store
from .model import _options, reflectance
from .table import check_table

__all__ = ["sweep", "fit_many", "FittedCurve", "DEFAULT_CHUNKS", "MAX_CHUNK"]

# Rows per task when none is given: about 64 tasks, within (fewest, most) rows by the engine's cost of
# a curve. A task costs the client, the scheduler and its worker a few ms and a chunk write; a faithful
# curve costs 0.2 ... 1 s, a fast one about 1 ms (two layers, on the axis): fast tasks of 40 ms ... 0.6 s.
DEFAULT_CHUNKS = {"faithful": (1, 32), "fast": (32, 512)}
MAX_CHUNK = 4096  # rows per task: 16 MiB of curves at most
FAST_DEFAULT_TOLERANCE = 1e-11  # the fast engine's tolerance when none is given (recorded in the store)
_MAX_TABLE_BYTES = 1 << 30
FIT_TASKS_PER_THREAD = 8  # fit_many's default chunk: about this many tasks per worker thread
MAX_FIT_CHUNK = 16  # ... of at most this many curves


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


def _fit_chunk(items, free, options, return_curves):
    """Fits of one chunk: (row dict, curves or None) per curve; a failed fit gives its message, not an exception."""
    from .fitting import fit
    out = []
    for index, t, counts, irf, model, *plot in items:
        row, curves = {"curve": index}, None
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                r = fit(t, counts, irf, model, free, **options)
        except Exception as exc:
            row.update(status="failed", message=f"{type(exc).__name__}: {exc}")
            out.append((row, None))
            continue
        row.update({name: r.values[name] for name in r.names})
        row.update({f"{name}_sigma": r.stderr[name] for name in r.names})
        if "background" not in r.values and r.extra.get("background") is not None:
            row.update(background=r.extra["background"], background_sigma=r.extra["background_stderr"])
        row.update(chi2_red=r.chi2_red, dof=r.dof, scale=r.scale, nfev=r.nfev, model_calls=r.model_calls,
                   **_status(r))
        if plot and plot[0]:
            _plot(r, *plot[0], row)
        if return_curves:
            residuals = np.full(len(t), np.nan)
            residuals[r.fit_slice] = r.residuals
            curves = (np.asarray(r.fitted, dtype=float), residuals)
        out.append((row, curves))
    return out


def _status(r) -> dict:
    """A row's status and message: a fit that passed but left a parameter undetermined is not "ok"."""
    if r.success and r.undetermined:
        return dict(status="undetermined", message=f"not determined by the data: {', '.join(r.undetermined)}")
    if r.success:
        return dict(status="ok", message="")
    return dict(status="rejected" if r.converged else "not converged", message=r.message)


def _plot(r, path, title, row):
    """FitResult.plot of a batch fit, in the worker; a plot that fails does not lose the fit."""
    try:
        r.plot(path, title=title)
    except Exception as exc:
        row["message"] = (row["message"] + "; " if row["message"] else "") + f"plot {path}: {exc}"
    finally:
        import matplotlib.pyplot as plt
        plt.close("all")


# --- argument checks ---------------------------------------------------------------------------

def _chunk(chunk, what: str):
    if chunk is None:
        return None
    if isinstance(chunk, (bool, np.bool_)) or not isinstance(chunk, (int, np.integer)):
        raise TypeError(f"chunk must be an integer, not {type(chunk).__name__}")
    if not 1 <= chunk <= MAX_CHUNK:
        raise ValueError(f"chunk must be in 1 ... {MAX_CHUNK} {what}, got {chunk}")
    return int(chunk)


def _read_csv(path: str) -> dict:
    """Columns of a CSV table as strings; ValueError naming a line whose fields do not match the header."""
    f, size = _open_regular(path, "table")
    with f:
        if size > _MAX_TABLE_BYTES:
            raise ValueError(f"table {path!r}: {size} bytes is more than a table of cases holds")
        text = f.read(_MAX_TABLE_BYTES + 1).decode("utf-8", errors="replace")
    header, rows = None, []
    for number, line in enumerate(text.splitlines(), start=1):
        line = line.split("#", 1)[0]  # a comment runs to the end of its line
        if not line.strip():
            continue
        fields = [c.strip() for c in next(csv.reader([line]))]
        if header is None:
            header = fields
        elif len(fields) != len(header):
            raise ValueError(f"table {path!r}, line {number}: {len(fields)} fields where the header has "
                             f"{len(header)}")
        else:
            rows.append(fields)
    if header is None:
        raise ValueError(f"table {path!r} holds no header line")
    if len(set(header)) != len(header):
        raise ValueError(f"table {path!r}: a column is named twice in the header")
    return {name: np.array([r[i] for r in rows], dtype=object) for i, name in enumerate(header)}


def _checked_table(table):
    """check_table, with the N, M and mmax cells that are infinite made errors of their rows."""
    if isinstance(table, (str, os.PathLike)):
        table = _read_csv(os.fspath(table))
    if isinstance(table, dict):
        columns = {str(c).strip(): np.asarray(v, dtype=object) for c, v in table.items()}
    elif hasattr(table, "columns") and hasattr(table, "to_numpy"):  # a pandas DataFrame
        columns = {str(c).strip(): table[c].to_numpy(dtype=object) for c in table.columns}
    else:
        return check_table(table)  # its TypeError
    infinite = {}
    for name in ("N", "M", "mmax"):
        cells = columns.get(name)
        if cells is None or cells.ndim != 1:
            continue
        try:
            if not np.isinf(cells.astype(float)).any():
                continue
        except (TypeError, ValueError):
            pass  # a cell that is no number: looked at one by one
        columns[name] = cells = cells.copy()
        for r, cell in enumerate(cells):
            try:
                if math.isinf(float(cell)):
                    infinite.setdefault(r, (name, cell))
                    cells[r] = ""  # an empty cell: an error of the row, reworded below
            except (TypeError, ValueError):
                pass
    checked = check_table(columns)
    for r, (name, cell) in infinite.items():
        checked.errors[r] = f"row {r}, column {name}: must be a finite integer, got {cell!r}"
        checked.cases[r] = None
    return checked


# --- public functions --------------------------------------------------------------------------

class _SweepRun(NamedTuple):
    dataset: object
    cases: int
    computed: int
    stored: int  # curves already in the store before the call
    failed: int


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
    store : path of a folder, or a Zarr store, optional
        Where each finished chunk is written. A new store is created whole and
        at once; an existing one is written to only when it is a sweep store
        of the same sweep (same rows, engine, tolerance, transform, chunk and
        program version), which is then completed: only its missing chunks are
        computed. Anything else (another sweep, another Zarr store, a folder
        with files) raises ValueError and is left as it is. Default: in memory.
    chunk : int, 1 ... MAX_CHUNK
        Rows per task and per stored chunk. Default: the store's when it
        exists, else enough for about 64 tasks, within DEFAULT_CHUNKS[engine]
        (fewest, most) rows: 32 ... 512 for the fast engine, 1 ... 32 for the
        faithful one.
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
    `error` and `warning` per case, and the attributes engine, tolerance
    (None for the faithful engine), wraparound, version and chunk. The values
    are those of tdcyl.reflectance bit for bit, whatever the workers.
    """
    return _sweep(table, engine, tolerance, wraparound, client, store, chunk, on_error, workers, progress).dataset


def _sweep(table, engine, tolerance, wraparound, client, store, chunk, on_error, workers, progress) -> _SweepRun:
    if on_error not in ("raise", "record"):
        raise ValueError(f"on_error must be 'raise' or 'record', not {on_error!r}")
    eng, tol, wrap, _ = _options(engine, tolerance, wraparound, 0)
    check_cluster_args(client, workers)
    check_progress(progress)
    chunk = _chunk(chunk, "rows")
    checked = _checked_table(table)
    n = len(checked)
    if checked.errors and on_error == "raise":
        bad = [checked.errors[r] for r in sorted(checked.errors)]
        more = f"\n(and {len(bad) - 10} more)" if len(bad) > 10 else ""
        raise ValueError(f"{len(bad)} invalid row{'s' if len(bad) > 1 else ''} in the table:\n"
                         + "\n".join(bad[:10]) + more)
    ms = [c.M for c in checked.cases if c is not None]
    samples = 512 // min(ms) if ms else 512
    attrs = {"format": STORE_FORMAT, "engine": eng,
             "tolerance": None if eng == "faithful" else (tol or FAST_DEFAULT_TOLERANCE),
             "wraparound": wrap, "version": _core.VERSION}
    # The default is a function of the table and the engine alone, so that a resumed sweep finds the same
    # chunks (a store keeps its own).
    fewest, most = DEFAULT_CHUNKS[eng]
    default = max(1, min(n, max(fewest, min(most, -(-n // 64)))))
    s = open_store(store, checked, samples, chunk and min(chunk, n), default, attrs)

    before = s.rows_done()
    shown = Progress(progress, n, before, "curves")

    def store_chunk(key, result):
        k = key[1]
        out, errors, warns = result
        if errors and on_error == "raise":
            j = min(errors)
            raise RuntimeError(f"row {s.rows(k).start + j}: {errors[j]}")
        s.write(k, out, errors, warns)
        shown.add(s.rows(k).stop - s.rows(k).start)

    tasks = {("sweep", k): (_sweep_chunk, (checked.cases[s.rows(k)], samples, eng, tol or None, wrap))
             for k in s.missing()}
    run(client, workers, tasks, store_chunk, shown)
    ds = s.dataset(load=store is None)
    failed = int((s.errors[:] != "").sum())  # from the store: the dataset may be lazy
    return _SweepRun(ds, n, shown.done - before, before, failed)


class FittedCurve(NamedTuple):
    """The fitted model on the measurement's bins (counts) and the weighted residuals (NaN outside the fit
    range); both NaN for a failed fit."""

    t_ps: np.ndarray
    fitted: np.ndarray
    residuals: np.ndarray


def _is_pair(p) -> bool:
    """(t, y) with t an array, as opposed to t itself (a list of numbers)."""
    return isinstance(p, (tuple, list)) and len(p) == 2 and not np.isscalar(p[0]) and np.ndim(p[0]) >= 1


def _pairs(name: str, value, curves: int | None) -> list:
    """(t, y) per curve from one pair (t, y) with y 2-d (a row per curve) or a sequence of pairs; a single
    pair with a 1-d y is shared by all `curves`."""
    def pair(p, what):
        if not isinstance(p, (tuple, list)) or len(p) != 2:
            raise TypeError(f"{what} must be a pair (t_ps, counts)")
        try:
            return np.asarray(p[0], dtype=float), np.asarray(p[1], dtype=float)
        except (TypeError, ValueError):
            raise ValueError(f"{what}: t_ps and counts must be arrays of numbers") from None

    if _is_pair(value) and not _is_pair(value[0]):
        t, y = pair(value, name)
        if y.ndim != 2:
            return [(t, y)] * (curves or 1)
        if y.shape[1] != t.size:
            raise ValueError(f"{name}: counts must have shape (curves, {t.size}) for the given t_ps, got {y.shape}")
        out = [(t, row) for row in y]
    elif isinstance(value, (tuple, list)):
        out = [pair(p, f"{name}[{i}]") for i, p in enumerate(value)]
    else:
        raise TypeError(f"{name} must be (t_ps, counts) or a sequence of such pairs, not {type(value).__name__}")
    if curves is not None and len(out) != curves:
        raise ValueError(f"{name}: {len(out)} curves for {curves} measured curves")
    return out


def _as_pairs(value):
    """A Measurement (t_ps, counts of channels x bins) as the pair fit_many takes; anything else as it is."""
    if hasattr(value, "t_ps") and hasattr(value, "counts") and hasattr(value, "channels"):
        return (value.t_ps, value.counts if value.channels > 1 else value.counts[0])
    return value


def _plot_paths(plots, n: int) -> list:
    if plots is None:
        return [None] * n
    if isinstance(plots, (str, bytes)) or len(plots) != n:
        raise ValueError(f"plots must hold one entry (None, a path or (path, title)) per curve ({n})")
    out = []
    for p in plots:
        if p is None or isinstance(p, (str, os.PathLike)):
            out.append(None if p is None else (os.fspath(p), None))
        elif isinstance(p, (tuple, list)) and len(p) == 2:
            out.append((os.fspath(p[0]), p[1]))
        else:
            raise TypeError(f"plots: each entry must be None, a path or (path, title), not {p!r}")
    return out


def _fit_option_names():
    from .fitting import fit
    return [p.name for p in inspect.signature(fit).parameters.values()
            if p.kind == p.KEYWORD_ONLY and p.name != "threads"]


def fit_many(measurements, irf, model, free=("mua1", "musp1"), *, client=None, chunk=None, workers=None,
             progress=None, return_curves=False, plots=None, **options):
    """tdcyl.fit over many measured curves, as Dask tasks; a table with one row per curve.

    Parameters
    ----------
    measurements : (t_ps, counts) or tdcyl.io.Measurement
        Bin centres in ps (1-d, shared) and counts, shape (curves, bins); or a
        sequence of (t_ps, counts) pairs, one per curve; or a Measurement (its
        channels are the curves, each at its rho_mm where the model has no rho).
    irf : (irf_t_ps, irf_counts) or tdcyl.io.Measurement
        The instrument response on the measurements' bins: one pair shared by
        all curves, or one per curve, as (irf_t_ps, counts of shape (curves,
        bins)) or a sequence of pairs (multi-channel instruments); a
        Measurement of one channel, or of one channel per curve.
    model : dict or InputParams, or a sequence of them (one per curve)
        Start values and fixed parameters, as for tdcyl.fit.
    free, options : as for tdcyl.fit (bounds, fit_range, weights, shift, scale, engine, max_nfev, ftol).
    client, workers, progress : as for tdcyl.sweep.
    chunk : int, 1 ... MAX_CHUNK
        Curves per task. Default: about FIT_TASKS_PER_THREAD tasks per worker
        thread, at most MAX_FIT_CHUNK curves each (a task costs the scheduler
        and the worker a few ms, a fit tens of ms; the last tasks should still
        be short enough to end together).
    return_curves : bool
        Also return the fitted curves: (table, [FittedCurve per curve]).
    plots : sequence, optional
        Per curve None, or a PNG path, or (path, title): FitResult.plot of
        the fit, drawn by the worker.

    Returns
    -------
    pandas DataFrame, one row per curve in the given order: curve (its index),
    the fitted values by name and their standard errors (name_sigma),
    a given or pre-pulse background (background, background_sigma), chi2_red,
    dof, scale, nfev, model_calls, status ("ok"; "undetermined": passed, but a
    parameter is not determined by the data; "not converged"; "rejected":
    converged but the goodness-of-fit test failed; "failed": an error) and
    message (why, empty when ok). A
    failed fit leaves its values NaN and does not stop the others; each row
    equals a direct tdcyl.fit call with that curve's IRF.
    """
    curves, irfs, models, plots, chunk, free, options = _fit_many_inputs(
        measurements, irf, model, free, client, chunk, workers, progress, return_curves, plots, options)
    items = [(i, t, c, irf_i, m, p) for i, ((t, c), irf_i, m, p) in enumerate(zip(curves, irfs, models, plots))]
    rows, fitted = [None] * len(items), [None] * len(items)
    shown = Progress(progress, len(items), 0, "fits")

    def collect(key, result):
        for row, c in result:
            rows[row["curve"]], fitted[row["curve"]] = row, c
        shown.add(len(result))

    def tasks(threads: int) -> dict:
        size = chunk or min(MAX_FIT_CHUNK, max(1, len(items) // (FIT_TASKS_PER_THREAD * threads)))
        return {("fit", k): (_fit_chunk, (items[k * size:(k + 1) * size], free, options, bool(return_curves)))
                for k in range(-(-len(items) // size))}

    run(client, workers, tasks, collect, shown)
    frame = _fit_table(rows)
    if not return_curves:
        return frame
    nan = [np.full(len(t), np.nan) for t, _ in curves]
    return frame, [FittedCurve(t, *(c if c is not None else (nan[i], nan[i])))
                   for i, ((t, _), c) in enumerate(zip(curves, fitted))]


def _fit_many_inputs(measurements, irf, model, free, client, chunk, workers, progress, return_curves, plots,
                     options) -> tuple:
    """fit_many's arguments checked: per curve (t, counts), IRF, model and plot; the chunk, the free
    parameters and the options of each fit (one thread)."""
    known = _fit_option_names()
    for key in options:
        if key == "threads":
            raise ValueError("threads: each fit runs on one thread of its worker")
        if key not in known:
            raise TypeError(f"fit_many: unknown option {key!r} (options of tdcyl.fit: {', '.join(known)})")
    if not isinstance(return_curves, (bool, np.bool_)):
        raise TypeError(f"return_curves must be True or False, not {type(return_curves).__name__}")
    curves = _pairs("measurements", _as_pairs(measurements), None)
    if not curves:
        raise ValueError("measurements holds no curve")
    irfs = _pairs("irf", _as_pairs(irf), len(curves))
    plots = _plot_paths(plots, len(curves))
    if isinstance(model, (list, tuple)):
        if len(model) != len(curves):
            raise ValueError(f"model: {len(model)} models for {len(curves)} curves")
        models = list(model)
    else:
        models = [model] * len(curves)
    if hasattr(measurements, "rho_mm"):  # a Measurement: each channel's distance where the model has none
        models = [dict(m, rho=float(r)) if isinstance(m, dict) and "rho" not in m and math.isfinite(r) else m
                  for m, r in zip(models, measurements.rho_mm)]
    chunk = _chunk(chunk, "curves")
    check_cluster_args(client, workers)
    check_progress(progress)
    free = (free,) if isinstance(free, str) else tuple(free)
    return curves, irfs, models, plots, chunk, free, dict(options, threads=1)


def _fit_table(rows):
    """The rows of the fits as a table: curve, the values, their errors, then the fit's verdict."""
    import pandas as pd
    frame = pd.DataFrame(rows)
    first = ["curve"]
    last = ["chi2_red", "dof", "scale", "nfev", "model_calls", "status", "message"]
    middle = [c for c in frame.columns if c not in first + last]
    values = [c for c in middle if not c.endswith("_sigma")]
    sigmas = [c for c in middle if c.endswith("_sigma")]
    return frame.reindex(columns=first + values + sigmas + last)
