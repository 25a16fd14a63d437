"""Tracking of layered changes over a recording: a DTOF per channel and frame, the layer
parameters per frame by refitting each frame (nonlinear) or from the changes of the DTOFs'
moments (moments), both against a baseline fit of the recording's sum."""
from __future__ import annotations

import re
import time
import warnings
from dataclasses import dataclass, field

import numpy as np

from ._checks import engine as _engine, integer as _integer, unit
from ._cluster import Progress, check_cluster_args, run
from ._global_problem import _channels, channel_list, irf_per_channel
from ._global_result import GlobalFitResult, _derived
from ._series_moments import MomentModel, data_changes, solve_frames
from ._series_refit import FrameFitter
from .global_fit import fit_global
from .irf import _irf_channel

__all__ = ["fit_series", "SeriesResult"]


@dataclass
class SeriesResult:
    """Outcome of tdcyl.fit_series().

    Attributes
    ----------
    values, stderr : pandas.DataFrame
        One row per frame (index: frame time in s, or the frame number), one
        column per free parameter. values are absolute; stderr is the Poisson
        standard error of each frame's change against the baseline (`changes`),
        the noise of frame and baseline; the baseline's own error
        (baseline.stderr) is common to every frame and adds to the absolute
        values' error.
    derived : pandas.DataFrame
        tHb_I and StO2_I per frame with their errors (columns "tHb_I",
        "tHb_I_err", ...) when HbO2_I and HHb_I are free, else empty.
    covariance : ndarray, shape (frames, P, P)
        Of the free parameters.
    baseline : GlobalFitResult
        The fit of the baseline (the recording's sum, or the given one).
    converged : ndarray of bool
        Per frame, whether the refit (nonlinear) or the iteration (moments) settled.
    """

    names: tuple
    values: object
    stderr: object
    derived: object
    covariance: np.ndarray
    frame_times_s: np.ndarray
    method: str
    baseline: GlobalFitResult
    converged: np.ndarray
    model_calls: int
    wall_time_s: float
    warnings: list = field(default_factory=list)

    @property
    def changes(self):
        """values minus the baseline's values: the changes per frame."""
        return self.values - np.array([self.baseline.values[n] for n in self.names])

    def to_csv(self, path, *, chunk=10000):
        """Writes the time courses as a table, one row per frame.

        Columns: frame, time_s, each free parameter, its standard error
        (NAME_sigma), the derived quantities (tHb_I, StO2_I and their _sigma) and
        converged. The table is written `chunk` rows at a time beside the target and
        renamed onto it when complete; an existing file is replaced only when it is
        such a table (ValueError otherwise: it is left as it is).

        Examples
        --------
        >>> res.to_csv("courses.csv")   # doctest: +SKIP
        >>> pandas.read_csv("courses.csv").columns[:4].tolist()   # doctest: +SKIP
        ['frame', 'time_s', 'mua1', 'mua2']
        """
        from ._series_store import to_csv
        to_csv(self, path, _integer("chunk", chunk, 1, 10 ** 9))

    def to_zarr(self, path, *, chunk=10000):
        """Writes the results as a Zarr store (read it with ``xarray.open_zarr``).

        Arrays over frames, chunked by `chunk` frames: values and stderr (frame x
        parameter), covariance (frame x parameter x parameter_2), converged, the
        derived quantities; coordinates frame, time_s, parameter; attributes
        method, baseline (the baseline's values, JSON) and warnings. The store is
        laid out in a hidden folder beside the target and renamed onto it; the
        target must be new, an empty folder or a store of this kind (ValueError
        otherwise: it is left as it is).

        Examples
        --------
        >>> res.to_zarr("courses.zarr")   # doctest: +SKIP
        >>> xarray.open_zarr("courses.zarr")["values"].sel(parameter="mua2")   # doctest: +SKIP
        """
        from ._series_store import to_zarr
        to_zarr(self, path, _integer("chunk", chunk, 1, 10 ** 9))

    def plot(self, path=None, *, truth=None, title=None):
        """Time course of every free parameter's change (±1 stderr band), one panel each;
        `truth` a DataFrame of true values with the same columns to draw beside it."""
        import matplotlib
        if path is not None:
            matplotlib.use("Agg", force=False)
        import matplotlib.pyplot as plt
        n = len(self.names)
        fig, axes = plt.subplots(n, 1, figsize=(8, 2.2 * n + 0.6), sharex=True, squeeze=False)
        t = np.asarray(self.values.index, dtype=float)
        for ax, name in zip(axes[:, 0], self.names):
            d = self.changes[name].to_numpy()
            e = self.stderr[name].to_numpy()
            ax.fill_between(t, d - e, d + e, color="tab:blue", alpha=0.25, lw=0)
            ax.plot(t, d, color="tab:blue", lw=1, label=f"{self.method} fit")
            if truth is not None and name in truth:
                ax.plot(t, np.asarray(truth[name]) - self.baseline.values[name], color="k", lw=1, ls="--",
                        label="truth")
            u = unit(name)
            ax.set_ylabel(f"Δ{name}" + (f" ({u})" if u else ""))
            ax.grid(alpha=0.3)
        axes[0, 0].legend(loc="upper right", fontsize=8)
        axes[-1, 0].set_xlabel("time (s)" if self.values.index.name == "time_s" else "frame")
        fig.suptitle(title or f"fit_series ({self.method}): changes against the baseline")
        fig.tight_layout()
        if path is not None:
            fig.savefig(path, dpi=110)
            plt.close(fig)
        return fig


def _recording(channels, irf, frame_times_s):
    """Channel dicts without counts, the counts (K, F, bins) and the frame times."""
    counts_of = getattr(channels, "counts", None) if not isinstance(channels, dict) else None
    if counts_of is not None and np.ndim(counts_of) == 2 and hasattr(channels, "t_ps"):
        raise ValueError("channels: a measurement of one histogram per channel, not a recording; read it with "
                         "its frames (tdcyl.io.read_snirf(path, frames=True), tdcyl.io.read_ptu(path, frame_s=...))")
    if counts_of is not None and np.ndim(counts_of) == 3:  # a recording: frames x channels x bins
        items, counts = _from_file(channels, irf)
        if frame_times_s is None:
            frame_times_s = getattr(channels, "frame_times_s", None)
    else:
        source = channel_list(channels, "a sequence of channels (dicts with t_ps, counts (frames x bins), irf, rho)")
        items, stacks = [], []
        for k, c in enumerate(source):
            get = (lambda key, c=c: c.get(key)) if isinstance(c, dict) else (lambda key, c=c: getattr(c, key, None))
            y = np.asarray(get("counts"), dtype=float)
            if y.ndim != 2:
                raise ValueError(f"channels[{k}]: counts must be a 2-d array (frames x bins), got shape {y.shape}")
            stacks.append(y)
            items.append({key: get(key) for key in ("t_ps", "irf", "rho", "wavelength_nm", "fit_range")
                          if get(key) is not None})
            items[-1].setdefault("irf", irf)
        if len({s.shape for s in stacks}) != 1:
            raise ValueError("channels: every channel needs counts of the same shape (frames x bins), got "
                             f"{sorted({s.shape for s in stacks})}")
        counts = np.stack(stacks)
    F = counts.shape[1]
    if F < 1:
        raise ValueError("channels: the recording has no frames")
    if not np.all(np.isfinite(counts)) or np.any(counts < 0):
        raise ValueError("channels: counts must be finite and >= 0")
    if frame_times_s is not None:
        frame_times_s = np.asarray(frame_times_s, dtype=float)
        if frame_times_s.shape != (F,) or not np.all(np.isfinite(frame_times_s)):
            raise ValueError(f"frame_times_s must hold {F} finite times in s, one per frame")
    return items, counts, frame_times_s


def _from_file(rec, irf):
    """Channel dicts and counts (K, F, bins) of a recording read from a file (a Measurement with
    frame_times_s, or a Recording): rho and wavelength from the file; the IRF given, else the
    file's own; None for deconvolved gates."""
    counts = np.moveaxis(np.asarray(rec.counts, dtype=float), 0, 1)
    K = counts.shape[0]
    names = list(getattr(rec, "channel_names", None) or range(K))
    rho = np.broadcast_to(np.asarray(getattr(rec, "rho_mm", np.nan), dtype=float), (K,))
    unknown = [str(names[k]) for k in range(K) if not np.isfinite(rho[k])]
    if unknown:
        raise ValueError(f"channels: the file does not give the distance ρ of {unknown}; set it in mm "
                         "(recording.rho_mm[:] = 30.0) or pass channel dicts")
    wl = getattr(rec, "wavelength_nm", None)
    wl = np.full(K, np.nan) if wl is None else np.broadcast_to(np.asarray(wl, dtype=float), (K,))
    own = irf if irf is not None else getattr(rec, "irf", None)
    if own is None:
        pairs = [None] * K  # deconvolved gates
    elif hasattr(own, "t_ps") and hasattr(own, "counts"):  # an IRF measurement, matched as tdcyl-fit does
        if np.ndim(own.counts) != 2:
            raise ValueError("irf: one histogram per channel, not a recording")
        pairs = [(own.t_ps, own.counts[_irf_channel(own, rec, k)]) for k in range(K)]
    else:
        pairs = irf_per_channel(own, K)
    items = [dict(t_ps=rec.t_ps, rho=float(rho[k]), irf=pairs[k],
                  wavelength_nm=float(wl[k]) if np.isfinite(wl[k]) else None) for k in range(K)]
    return items, counts


def _baseline_frames(baseline, F):
    if baseline is None:
        return np.arange(F)
    idx = np.arange(F)[baseline] if isinstance(baseline, slice) else np.asarray(baseline)
    if idx.ndim != 1 or idx.size == 0 or not np.issubdtype(idx.dtype, np.integer) or idx.min() < -F or idx.max() >= F:
        raise ValueError(f"baseline must be None, a GlobalFitResult, a slice or a sequence of frame indices "
                         f"(0 ... {F - 1})")
    return np.unique(idx % F)


def fit_series(channels, model, free, *, method="nonlinear", baseline=None, frame_times_s=None, spectral=None,
               irf=None, bounds=None, fit_range=(0.8, 0.01), shift=True, background=None, lambda0_nm=800.0,
               iterations=4, linear_within=0.02, engine=None, threads=0, chunk=1000, client=None,
               workers=None) -> SeriesResult:
    """Layer parameters per frame of a recording (a DTOF per channel and frame).

    Parameters
    ----------
    channels : sequence of dicts, or a recording read from a file
        As for `fit_global`, each channel's counts a 2-d array (frames x bins),
        the same shape for every channel; or a recording: a Measurement with
        frame_times_s (``tdcyl.io.read_snirf(path, frames=True)``), a Recording
        (``tdcyl.io.read_ptu(path, frame_s=...)``) or any object with t_ps,
        counts (frames x channels x bins), rho_mm, wavelength_nm and
        frame_times_s. A recording's distances and wavelengths are the file's
        (NaN: not given; a distance must be); its IRF is `irf` or the file's own.
    irf : pair, list of pairs, Measurement, or None
        (irf_t_ps, irf_counts) on the recording's bins, for every channel or one per
        channel; an IRF measurement (one histogram per channel, per wavelength or
        one for all, matched to the channels by name, then by wavelength); None:
        each channel's own, and where there is none the gates are deconvolved (the
        model integrated over each gate, its centre t_ps in flight time).
    model, free, spectral, bounds, fit_range, shift, background, lambda0_nm, engine, threads
        As for `fit_global` (a scale per channel). The free parameters are fitted per frame;
        shift, scale and background keep their baseline values (the instrument's, scaled
        to one frame), so that the frames' counts carry the absorption too.
    method : "nonlinear" or "moments"
        "nonlinear": every frame refitted by the Poisson deviance with the exact Jacobian,
        warm-started from the previous frame, at most `iterations` steps. "moments": the
        changes of ln N, <t> and V of every channel against the baseline's, weighted by
        their Poisson covariance and mapped to the free parameters with the model's exact
        moment derivatives: linearised about the baseline, and where a frame moves a
        parameter by more than `linear_within` of its baseline value, about the nearest
        point of a grid of that spacing (each point's moments computed once for all the
        frames near it), until no frame changes grid point. The whole histogram counts.
    baseline : None, frame indices, a slice, or a GlobalFitResult
        The reference state: the fit of the sum of all frames (None) or of the given frames
        (a rest period); or a fit_global result of these channels for one frame's counts.
    frame_times_s : 1-d array, optional
        Time of every frame in s (the index of the result's tables).
    chunk, client, workers
        Frames per task, and where the tasks run: one after another in this process
        (default), on the given dask.distributed Client, or on a local cluster of
        `workers` processes (the cluster rules of `fit_many`). The chunks are the same
        wherever they run, so the result does not depend on the workers; the refits of
        each chunk start from the baseline.

    Returns
    -------
    SeriesResult

    Examples
    --------
    >>> res = tdcyl.fit_series(channels, dict(layers=layers, radius=60), ("mua1", "mua2"),
    ...                        method="moments", frame_times_s=t_frames)   # doctest: +SKIP
    >>> res.changes.plot()   # doctest: +SKIP
    """
    started = time.perf_counter()
    eng, iterations, chunk = _checked(method, engine, model, free, iterations, linear_within, chunk, client, workers)
    items, counts, times = _recording(channels, irf, frame_times_s)
    K, F = counts.shape[:2]
    if isinstance(baseline, GlobalFitResult):
        gres, n_base = baseline, 1
        if len(gres.channels) != K:
            raise ValueError(f"baseline: the GlobalFitResult has {len(gres.channels)} channels, the recording {K}")
        base_counts = counts.mean(axis=1)
    else:
        chosen = _baseline_frames(baseline, F)
        n_base = chosen.size
        base_counts = counts[:, chosen].sum(axis=1)
        gres = fit_global([dict(it, counts=base_counts[k]) for k, it in enumerate(items)], model, free,
                          spectral=spectral, bounds=bounds, fit_range=fit_range, shift=shift, scale="channel",
                          background=background, lambda0_nm=lambda0_nm, starts=1, engine=eng, threads=threads)
    setup = _Setup(method, items, gres.parameters, {k: v for k, v in model.items() if k != "layers"},
                   dict(gres.values), [c["fit_slice"] for c in gres.channels], n_base, base_counts, shift, background,
                   eng, threads, iterations, float(linear_within))
    parts = _run_chunks(setup, counts, chunk, client, workers)
    xs, covs, converged = (np.concatenate([p[i] for p in parts]) for i in range(3))
    return _result(setup, gres, xs, covs, converged, sum(p[3] for p in parts), times, started)


def _checked(method, engine, model, free, iterations, linear_within, chunk, client, workers):
    """fit_series' arguments checked: the engine, iterations and chunk as taken."""
    if method not in ("nonlinear", "moments"):
        raise ValueError(f"method must be 'nonlinear' or 'moments', not {method!r}")
    eng = _engine(engine)
    if eng != "fast":
        raise ValueError("fit_series needs engine='fast' (both methods use the model's exact derivatives)")
    if not isinstance(model, dict) or "layers" not in model or "radius" not in model:
        raise TypeError("model must be a dict of tdcyl.reflectance arguments without rho (layers, radius, ...)")
    names_given = (free,) if isinstance(free, str) else tuple(free)
    if any(isinstance(n, str) and re.match(r"^n_?[0-9]+$", n) for n in names_given):
        raise ValueError("free: fit_series has no derivative by a refractive index (nI, n_I); fix it")
    if not 0 < float(linear_within) < 1:
        raise ValueError(f"linear_within must be in (0, 1), got {linear_within}")
    check_cluster_args(client, workers)
    return eng, _integer("iterations", iterations, 1, 100), _integer("chunk", chunk, 1, 10 ** 9)


@dataclass
class _Setup:
    """What every chunk of frames needs (sent to the workers)."""

    method: str
    items: list
    params: object
    base: dict
    values: dict  # the baseline fit's values
    windows: list
    n_base: int
    base_counts: np.ndarray
    shift: bool
    background: str | None  # None or "free", as fit_global takes it
    engine: str
    threads: int
    iterations: int
    linear_within: float

    def x0(self):
        return np.array([self.values[n] for n in self.params.free])


def _track_chunk(setup: _Setup, counts):
    """Values, covariances, settled flags and model calls of a chunk of frames (K, frames, bins)."""
    p, K = setup.params, counts.shape[0]
    if setup.method == "moments":
        t = np.stack([np.asarray(it["t_ps"], dtype=float) for it in setup.items])
        bg = np.array([setup.values.get(f"background[{k}]", 0.0) for k in range(K)]) / setup.n_base
        # Frames in blocks: the moments' sensitivities hold 3 values per bin.
        parts = [data_changes(t, counts[:, i:i + 256], setup.base_counts, setup.n_base, bg)
                 for i in range(0, counts.shape[1], 256)]
        y, cov_y = np.concatenate([q[0] for q in parts]), np.concatenate([q[1] for q in parts])
        mm = MomentModel(p, setup.base, [float(it["rho"]) for it in setup.items],
                         [None if it.get("wavelength_nm") is None else float(it["wavelength_nm"])
                          for it in setup.items])
        lo, hi = (np.array(b) for b in zip(*p.bounds))
        xs, covs, ok = solve_frames(mm, setup.x0(), y, cov_y, lo, hi, rel_change=setup.linear_within,
                                    iterations=setup.iterations)
        return xs, covs, ok, mm.calls
    chans = _channels([dict(it, counts=counts[k, 0]) for k, it in enumerate(setup.items)], None, (0.8, 0.01))
    for c, window in zip(chans, setup.windows):
        c.window = window
    v, n = setup.values, setup.n_base
    fitter = FrameFitter(p, setup.base, chans, [v.get(f"shift[{k}]", 0.0) for k in range(K)],
                         [v[f"scale[{k}]"] / n for k in range(K)], [v.get(f"background[{k}]", 0.0) / n
                                                                    for k in range(K)],
                         setup.engine, setup.threads, M=setup.base.get("M", 1))
    xs, covs, ok = fitter.run(counts, setup.x0(), setup.iterations)
    # The change against the baseline also carries the baseline's noise: n_base frames' worth.
    return xs, covs * (1 + 1 / n), ok, fitter.calls


def _run_chunks(setup: _Setup, counts, chunk, client, workers) -> list:
    """The chunks of frames one after another here, or as Dask tasks when a client or a number of
    workers is given (the cluster rules of fit_many); the same chunks either way."""
    F = counts.shape[1]
    bounds = [(a, min(a + chunk, F)) for a in range(0, F, chunk)]
    if client is None and workers is None:
        return [_track_chunk(setup, counts[:, a:b]) for a, b in bounds]
    parts = [None] * len(bounds)

    def collect(key, result):
        parts[key[1]] = result

    tasks = {("series", j): (_track_chunk, (setup, counts[:, a:b])) for j, (a, b) in enumerate(bounds)}
    run(client, workers, tasks, collect, Progress(False, len(bounds), 0, "chunks"))
    return parts


def _result(setup: _Setup, gres, xs, covs, converged, calls, times, started) -> SeriesResult:
    import pandas as pd
    names, F, notes = tuple(setup.params.free), xs.shape[0], []
    if setup.method == "moments":
        lo, hi = (np.array(b) for b in zip(*setup.params.bounds))
        if np.any((xs < lo) | (xs > hi)):
            notes.append("some frames' values lie outside the parameters' bounds (the moments method does not "
                         "clip them)")
    err = np.sqrt(np.clip(np.diagonal(covs, axis1=1, axis2=2), 0, None))
    index = pd.Index(times if times is not None else np.arange(F), name="time_s" if times is not None else "frame")
    derived = {}
    for f in range(F):
        for key, (v, e) in _derived(setup.params, names, xs[f], covs[f]).items():
            derived.setdefault(key, []).append(v)
            derived.setdefault(f"{key}_err", []).append(e)
    if not np.all(converged):
        notes.append(f"{int(np.sum(~converged))} of {F} frames did not settle within {setup.iterations} iterations")
    for note in notes:
        warnings.warn(note, RuntimeWarning, stacklevel=3)
    return SeriesResult(names=names, values=pd.DataFrame(xs, index=index, columns=list(names)),
                        stderr=pd.DataFrame(err, index=index, columns=list(names)),
                        derived=pd.DataFrame(derived, index=index), covariance=covs,
                        frame_times_s=times if times is not None else np.arange(F, dtype=float),
                        method=setup.method, baseline=gres, converged=converged, model_calls=calls,
                        wall_time_s=time.perf_counter() - started, warnings=notes)
