"""tdcyl-fit: fits the layered model to every curve of many measurement files, as one Dask batch.

    tdcyl-fit MEASUREMENT... [--irf IRF] --model MODEL.toml [--free mua1,musp1] [--range 0.8,0.01]
              [--background free] [--out results.csv] [--plots DIR] [--scheduler ADDRESS]
    tdcyl-fit --global [--per-file] MEASUREMENT... [--irf IRF] --model MODEL.toml [--intervals profile]
    tdcyl-fit --series RECORDING [--frame-s 0.1] [--irf IRF] --model MODEL.toml [--method moments]
              [--baseline 0:100] [--out courses.csv] [--plots DIR]

MEASUREMENT: files or folders (every file of a known format in it and in its
subfolders, the IRF and tdcyl-fit's own results tables left out;
--no-recursive: the folder only). IRF: one file (one channel, one per
wavelength, or one per channel of the measurements, named as they are), or a
folder of IRF files named by channel; without --irf each file's own IRF block
(SNIRF) or the [fit.irf] table of the model file (channel name = "file").
MODEL.toml holds the geometry and the layers' start values in the units of
the parameter file (mm, 1/mm):

    radius = 30.0          # mm
    rho = 20.0             # mm, for files that do not give the distance
    [[layers]]             # top first; musp, mua in 1/mm, n, thickness in mm
    musp = 1.0
    mua = 0.01
    n = 1.4
    thickness = 10.0
    [fit]                  # optional defaults of --free, --range, --background
    free = ["mua1", "musp1"]
    starts = 3             # --global: starts of the optimiser
    [fit.spectral]         # --global: start (free) or fixed values of spectral parameters
    HbO2_1 = 30.0          # uM; HHb_I too, water_I and lipid_I as volume fractions,
    water_1 = 0.7          # a_I (1/mm at 800 nm) and b_I for mu_s' = a_I (lambda/800 nm)^-b_I

One results row per curve (file, channel, wavelength, ρ, the fitted values
with their σ, χ²/dof, status, message, and what the row was fitted from: the
program's version, the options, the model and IRF files with their SHA-256, the
input's size and SHA-256); a file that cannot be read is one row with the
reader's message. The results file is replaced atomically after each batch, so
a second run with the same --out fits only what is not done yet or whose
input, options, model or IRF changed (failed rows are tried again). --out is
never an input, the IRF, the model or a file that is not a tdcyl-fit results
table; a second tdcyl-fit on the same --out is refused while the first runs.

--global: the files are one measurement (several distances and wavelengths);
every curve in them is fitted at once with the layer parameters shared (and
per-curve shift, scale and background), as tdcyl.fit_global does. The results
table is one row: the shared parameters with σ and interval, total haemoglobin
and saturation per layer where the fit has them, deviance/dof, status, message;
the table of the fit is printed; OUT.curves.csv holds each curve's shift,
scale, background and deviance. It runs in this process (no Dask). With
--per-file: one global fit per file, as Dask tasks (a local cluster or
--scheduler), one row per file.
--series: one recording (a SNIRF file with frames, or a PTU file binned into
frames of --frame-s seconds) tracked frame by frame as tdcyl.fit_series does,
the model file as for --global: a baseline fit (of the frames START:STOP of
--baseline, default all), then each frame by refits (--method nonlinear) or
by the changes of its DTOFs' moments (--method moments). The results table is
one row per frame (file, frame, time_s, the free parameters with their σ,
total haemoglobin and saturation per layer where the fit has them,
converged); OUT.baseline.csv holds the baseline's fit and the provenance;
--plots DIR draws the time courses. A SNIRF file without an IRF, with no
--irf, is taken as deconvolved gates (the model integrated over each gate).
It runs in this process unless --scheduler or --workers is given.
Exit status: 0 all fitted, 1 something failed (a summary line says what),
2 bad arguments, model or IRF, 130 interrupted.
"""
from __future__ import annotations

import argparse
import contextlib
import math
import os
import sys
import time

from ._fit_model_file import UsageError, check_free, load_model  # noqa: F401 (the command's API)
from ._study_files import (DONE, PROVENANCE, check_out, digest, measurement_files, other_rows, provenance,
                           read_results, stale, writer_lock)
from ._study_global import curves_path, run_global, run_per_file, write_table
from ._study_irf import IrfSource
from ._study_series import baseline_path, run_series


def _parse(argv):
    from . import __version__
    p = argparse.ArgumentParser(prog="tdcyl-fit", description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="\n\n".join(__doc__.split("\n\n")[2:]))
    p.add_argument("--version", action="version", version=f"tdcyl-fit {__version__}")
    p.add_argument("measurements", nargs="+", metavar="MEASUREMENT", help="files or folders of measurements")
    p.add_argument("--irf", help="the instrument response: a file (one channel, one per wavelength or per channel) "
                   "or a folder of IRF files named by channel (default: each file's own IRF block)")
    p.add_argument("--model", required=True, metavar="MODEL.toml")
    p.add_argument("--free", help="fitted parameters, e.g. mua1,musp1 (default: [fit] free, else mua1,musp1)")
    p.add_argument("--range", dest="fit_range", help="fit range as fractions of the peak, rise,tail "
                   "(default 0.8,0.01)")
    p.add_argument("--background", help="free, pre-pulse, none or counts per bin (default: [fit] background, "
                   "else none)")
    p.add_argument("--engine", default=None, choices=("fast", "faithful"))
    p.add_argument("--out", default="results.csv", help="results table (CSV), default results.csv")
    p.add_argument("--plots", metavar="DIR", help="one PNG per curve (per file with --global --per-file)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler (tcp://HOST:8786); default: a local "
                   "cluster of one worker per core")
    p.add_argument("--workers", type=int, help="workers of the local cluster")
    p.add_argument("--no-recursive", dest="recursive", action="store_false",
                   help="take the files of the named folders only, not of their subfolders")
    p.add_argument("--global", dest="global_fit", action="store_true",
                   help="one fit of all curves of the files, the layer parameters shared (see below)")
    p.add_argument("--per-file", action="store_true", help="--global: one global fit per file, as a batch")
    p.add_argument("--series", action="store_true", help="one recording tracked frame by frame (see below)")
    p.add_argument("--frame-s", type=float, help="--series: frames of this many seconds (PTU files)")
    p.add_argument("--method", choices=("nonlinear", "moments"), help="--series: per-frame refits (default) or "
                   "the changes of the moments")
    p.add_argument("--baseline", metavar="START:STOP", help="--series: the frames of the baseline (default all)")
    p.add_argument("--intervals", choices=("linear", "profile"), help="--global: intervals of the parameters "
                   "from the standard errors (default) or the profile of the deviance")
    return p.parse_args(argv)


def _options(args, fit_defaults, model_layers):
    """(free names, fit options) from the command line over the model file's [fit]; UsageError naming the key."""
    where = "--free" if args.free else f"{args.model}: [fit] free"
    free = check_free(args.free.split(",") if args.free else fit_defaults.get("free", ["mua1", "musp1"]),
                      len(model_layers), args.global_fit or args.series, where)
    rng = fit_defaults.get("range", [0.8, 0.01])
    if args.fit_range:
        try:
            rng = [float(x) for x in args.fit_range.split(",")]
        except ValueError:
            raise UsageError(f"--range must be two fractions rise,tail, not {args.fit_range!r}") from None
    if len(rng) != 2 or not all(0 < v <= 1 for v in rng):
        raise UsageError(f"--range must be two fractions rise,tail in (0, 1], got {rng}")
    bg = args.background if args.background is not None else fit_defaults.get("background")
    name = "--background" if args.background is not None else f"{args.model}: [fit] background"
    if isinstance(bg, str) and bg not in ("free", "pre-pulse"):
        if bg.lower() == "none":
            bg = None
        else:
            try:
                bg = float(bg)
            except ValueError:
                raise UsageError(f"{name} must be free, pre-pulse, none or a number, not {bg!r}") from None
    from ._fit_channel import _background
    try:
        _background(bg)
    except (TypeError, ValueError) as exc:
        raise UsageError(f"{name}: {exc}") from None
    if (args.global_fit or args.series) and bg not in (None, "free"):
        raise UsageError(f"--{'global' if args.global_fit else 'series'} fits a background per curve (free) or "
                         f"none, not {bg!r}")
    opts = dict(fit_range=tuple(rng), background=bg, engine=args.engine)
    if "bounds" in fit_defaults:
        names = set(free) | {"shift", "scale", "background"}
        odd = sorted(set(fit_defaults["bounds"]) - names)
        if odd and not (args.global_fit or args.series):
            raise UsageError(f"{args.model}: [fit] bounds: {odd} are not fitted (free: {', '.join(free)})")
        opts["bounds"] = fit_defaults["bounds"]
        _starts_within(args.model, model_layers, opts["bounds"])
    return free, opts


def _starts_within(path, layers, bounds):
    """A layer's start value outside its [fit] bounds would fail every curve's fit: refused first."""
    from ._checks import LAYER_COLUMN, LAYER_PARAM
    for name, (lo, hi) in bounds.items():
        m = LAYER_PARAM.match(name)
        if m:
            v = layers[int(m.group(2)) - 1][LAYER_COLUMN[m.group(1)]]
            if not lo <= v <= hi:
                raise UsageError(f"{path}: [fit] bounds.{name} = [{lo:g}, {hi:g}] leaves out the start value {v:g}")


def _check_run(args):
    from ._cluster import MAX_WORKERS
    if args.workers is not None and args.scheduler:
        raise UsageError("--workers applies to the local cluster only, not with --scheduler")
    if args.workers is not None and not 1 <= args.workers <= MAX_WORKERS:
        raise UsageError(f"--workers must be in 1 ... {MAX_WORKERS}, got {args.workers}")
    if args.intervals and not args.global_fit:
        raise UsageError("--intervals applies to --global only")
    if args.per_file and not args.global_fit:
        raise UsageError("--per-file applies to --global only")
    for name, value in (("--frame-s", args.frame_s), ("--method", args.method), ("--baseline", args.baseline)):
        if value is not None and not args.series:
            raise UsageError(f"{name} applies to --series only")
    if args.series and (args.global_fit or args.intervals):
        raise UsageError("--series tracks one recording: not with --global, --per-file or --intervals")
    if args.frame_s is not None and not (math.isfinite(args.frame_s) and args.frame_s > 0):
        raise UsageError(f"--frame-s must be a positive number of seconds, got {args.frame_s}")
    if args.global_fit and not args.per_file and (args.scheduler or args.workers is not None):
        raise UsageError("--global fits in this process: --scheduler and --workers apply to --global --per-file")


def run(argv=None) -> int:
    args = _parse(argv)
    try:
        _check_run(args)
        model, fit_defaults = load_model(args.model)
        free, opts = _options(args, fit_defaults, model["layers"])
        irfs = IrfSource(args.irf, fit_defaults.get("irf"), args.model)
        files, tables = measurement_files(args.measurements, irfs.protected(), args.recursive)
        if not files:
            raise UsageError(f"no measurement file in {' '.join(args.measurements)}"
                             + (f" ({tables} results tables left out)" if tables else ""))
        if args.series and len(files) != 1:
            raise UsageError(f"--series tracks one recording file, not {len(files)}")
        check_out(args.out, files, irfs.protected() + [args.model], args.plots)
        beside = curves_path(args.out) if args.global_fit else baseline_path(args.out) if args.series else None
        if beside:  # the table beside the results: the same rules
            check_out(beside, files, irfs.protected() + [args.model, args.out])
        series = dict(method=args.method or "nonlinear", baseline=args.baseline, frame_s=args.frame_s)
        prov = provenance(dict(free=free, **opts, intervals=args.intervals,
                               **{k: fit_defaults.get(k) for k in ("spectral", "starts")
                                  if args.global_fit or args.series}, **(series if args.series else {})),
                          args.model, irfs.paths)
        with writer_lock(args.out):
            if args.series:
                return _series(args, model, fit_defaults, free, opts, irfs, files, prov)
            if args.global_fit and not args.per_file:
                return run_global(args, model, fit_defaults, free, opts, irfs, files, prov)
            return _batch(args, model, fit_defaults, free, opts, irfs, files, prov)
    except UsageError as exc:
        print(f"tdcyl-fit: error: {exc}", file=sys.stderr)
        return 2


def _batch(args, model, fit_defaults, free, opts, irfs, files, prov) -> int:
    old = read_results(args.out)
    digests = []
    for path in files:
        try:
            digests.append(digest(path))
        except OSError:
            digests.append((-1, ""))  # the reader names what is wrong with it
    with _scheduler_client(args) as client:
        if args.per_file:
            return run_per_file(args, client, model, fit_defaults, free, opts, irfs, files, prov, digests, old)
        return _curves(args, client, model, free, opts, irfs, files, prov, digests, old)


@contextlib.contextmanager
def _scheduler_client(args):
    """The client of the --scheduler's cluster (None: the batches make a local one), closed on leaving."""
    from ._cluster import connect
    client = None
    try:
        if args.scheduler:
            try:
                client = connect(args.scheduler)
            except (OSError, ValueError) as exc:
                raise UsageError(f"--scheduler: {exc}") from None
        yield client
    finally:
        if client is not None:
            client.close()


def _series(args, model, fit_defaults, free, opts, irfs, files, prov) -> int:
    with _scheduler_client(args) as client:
        args.method = args.method or "nonlinear"
        return run_series(args, client, model, fit_defaults, free, opts, irfs, files, prov)


def _pending(args, model, irfs, files, prov, digests, old):
    """(rows kept or failed by key, the curves to fit, how many rows were stale)."""
    import math
    from . import io
    rows, pending, changed = {}, [], 0
    for order, path in enumerate(files):
        current = dict(prov, file_size=digests[order][0], file_sha256=digests[order][1])
        try:
            m = io.read(path)
        except (OSError, ValueError) as exc:
            rows[(order, -1)] = dict(file=path, channel="", status="failed", message=str(exc), **current)
            continue
        for ch in range(m.channels):
            base = dict(file=path, channel=str(ch), channel_name=m.channel_names[ch],
                        wavelength_nm=m.wavelength_nm[ch], rho_mm=m.rho_mm[ch])
            before = old.get((os.path.abspath(path), str(ch)))
            if before is not None:
                why = stale(before, current)
                if not why:
                    rows[(order, ch)] = before
                    continue
                changed += before.get("status") in DONE
            try:
                irf = irfs.for_channel(m, ch)
            except ValueError as exc:
                rows[(order, ch)] = dict(base, status="failed", message=str(exc), **current)
                continue
            cm = dict(model)
            if math.isfinite(m.rho_mm[ch]):
                cm["rho"] = float(m.rho_mm[ch])
            elif "rho" not in cm:
                rows[(order, ch)] = dict(base, status="failed", message="the file does not give ρ and "
                                         f"{args.model} has no rho", **current)
                continue
            base["rho_mm"] = cm["rho"]
            pending.append(((order, ch), dict(base, **current), m.t_ps, m.counts[ch], irf, cm))
    for j, r in enumerate(other_rows(old, files)):
        rows[(len(files) + j, 0)] = r
    return rows, pending, changed


def _save(out, rows):
    import pandas as pd
    frame = pd.DataFrame([rows[k] for k in sorted(rows)])
    lead = [c for c in ("file", "channel", "channel_name", "wavelength_nm", "rho_mm") if c in frame.columns]
    tail = [c for c in ("chi2_red", "dof", "scale", "nfev", "model_calls", "status", "message") + PROVENANCE
            if c in frame.columns]
    rest = [c for c in frame.columns if c not in lead + tail and c != "curve"]
    write_table(out, frame.reindex(columns=lead + [c for c in rest if not c.endswith("_sigma")]
                                   + [c for c in rest if c.endswith("_sigma")] + tail))


def _curves(args, client, model, free, opts, irfs, files, prov, digests, old) -> int:
    from ._cluster import cluster
    from .batch import fit_many
    rows, pending, changed = _pending(args, model, irfs, files, prov, digests, old)
    before = len([r for r in rows.values() if r.get("status") in DONE])
    total, fitted, started = len(pending), 0, time.monotonic()
    show = sys.stderr.isatty()
    # Plots named by the path below the files' common folder: phantom.csv and phantom.sdt (or a/x.phu
    # and b/x.phu) must not overwrite each other's.
    top = os.path.commonpath([os.path.dirname(os.path.abspath(f)) for f in files])
    stem = [os.path.relpath(os.path.abspath(f), top).replace(os.sep, "__") for f in files]
    try:
        if pending:
            with cluster(client, args.workers) as c:
                size = max(8, 4 * max(1, len(c.scheduler_info().get("workers", {}))))
                started = time.monotonic()
                for lo in range(0, len(pending), size):
                    batch = pending[lo:lo + size]
                    plots = [(os.path.join(args.plots, f"{stem[p[0][0]]}_ch{p[0][1]}.png"), _title(p[1]))
                             if args.plots else None for p in batch]
                    table = fit_many([(p[2], p[3]) for p in batch], [p[4] for p in batch], [p[5] for p in batch],
                                     free, client=c, progress=False, plots=plots, **opts)
                    for p, r in zip(batch, table.to_dict("records")):
                        r.pop("curve", None)
                        rows[p[0]] = dict(p[1], **r)
                    fitted += len(batch)
                    _save(args.out, rows)
                    if show:
                        rate = fitted / max(time.monotonic() - started, 1e-9)
                        sys.stderr.write(f"\r{fitted}/{total} fits  {rate:.3g} fits/s   ")
                        sys.stderr.flush()
                if show:
                    sys.stderr.write("\n")
        if rows:
            _save(args.out, rows)
    except KeyboardInterrupt:
        print(f"\ntdcyl-fit: interrupted after {fitted} of {total} fits; the results so far are in {args.out}, "
              "the same command goes on from there", file=sys.stderr)
        return 130
    elapsed = time.monotonic() - started
    status = [r.get("status") for r in rows.values()]
    failed = status.count("failed")
    counts = ", ".join(f"{status.count(s)} {s}" for s in ("ok",) + DONE[1:])
    rate = f", {fitted / elapsed:.3g} fits/s" if fitted and elapsed > 0 else ""
    again = f" ({changed} again: their input, options, model or IRF changed)" if changed else ""
    print(f"tdcyl-fit: {len(status)} curves in {len(files)} files: {fitted} fitted now{again}{rate}, {before} done "
          f"before, {counts}, {failed} failed; results in {args.out}", file=sys.stderr)
    return 1 if failed else 0


def _title(row) -> str:
    wl, rho = row.get("wavelength_nm"), row.get("rho_mm")
    return f"{row['file']} channel {row['channel_name']}: " + (f"{wl:g} nm, " if wl == wl else "") + f"ρ = {rho:g} mm"


def main(argv=None) -> int:
    try:
        return run(argv)
    except KeyboardInterrupt:
        print("\ntdcyl-fit: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
