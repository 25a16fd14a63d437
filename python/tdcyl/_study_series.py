"""tdcyl-fit --series: one recording file (SNIRF with frames, or PTU binned into frames of
--frame-s) tracked frame by frame with tdcyl.fit_series; a row per frame, the baseline's fit
in a table beside it, and a time-course figure."""
from __future__ import annotations

import math
import os
import sys
import time
import warnings

from ._fit_model_file import UsageError
from ._study_global import write_table


def baseline_path(out) -> str:
    stem, ext = os.path.splitext(os.fspath(out))
    return f"{stem}.baseline{ext or '.csv'}"


def parse_baseline(text):
    """START:STOP frames (STOP not included, as a Python slice) as a slice; UsageError naming it."""
    if text is None:
        return None
    start, sep, stop = text.partition(":")
    try:
        bounds = (int(start) if start.strip() else 0, int(stop) if stop.strip() else None)
    except ValueError:
        bounds = None
    if not sep or bounds is None or bounds[0] < 0 or (bounds[1] is not None and bounds[1] <= bounds[0]):
        raise UsageError(f"--baseline must be frames START:STOP with 0 <= START < STOP, not {text!r}")
    return slice(*bounds)


def read_recording(path, frame_s):
    """The recording of a SNIRF file (its frames) or a PTU file (frames of frame_s); OSError or
    ValueError naming the file when it cannot be read, UsageError when it is no recording."""
    from . import io
    with io.opened(path) as src:  # opened once: the reader reads what was recognised
        reader = io._by_content(src) or io.FORMATS.get(os.path.splitext(src.path)[1].lower())
        if reader is io.read_ptu:
            if frame_s is None:
                raise UsageError(f"--series {path}: a PTU file is binned into frames of --frame-s seconds; give it")
            return io.read_ptu(src, frame_s=frame_s)
        if frame_s is not None:
            raise UsageError("--frame-s applies to PTU files; a SNIRF recording has its own frames")
        if reader is not io.read_snirf:
            raise UsageError(f"--series {path}: a recording is a SNIRF file with frames or a PTU file (with "
                             "--frame-s)")
        return io.read_snirf(src, frames=True)


def series_channels(rec, irfs, model, model_path):
    """Channel dicts (counts frames x bins) of a recording: the IRF of each channel from --irf, the
    model file or the file's block; with none at all, SNIRF gates are taken as deconvolved."""
    none = irfs.file is None and irfs.by_name is None and rec.irf is None
    if none and rec.format != "snirf":
        raise UsageError(f"--series {rec.path}: the file holds no IRF; give --irf (only SNIRF gates can be "
                         "deconvolved)")
    channels = []
    for k in range(rec.channels):
        rho = float(rec.rho_mm[k]) if math.isfinite(rec.rho_mm[k]) else model.get("rho")
        if rho is None:
            raise UsageError(f"--series {rec.path}: the file does not give ρ of channel {rec.channel_names[k]} "
                             f"and {model_path} has no rho")
        wl = float(rec.wavelength_nm[k])
        channels.append(dict(t_ps=rec.t_ps, counts=rec.counts[:, k, :], rho=rho,
                             wavelength_nm=None if math.isnan(wl) else wl,
                             irf=None if none else irfs.for_channel(rec, k)))
    return channels, none


def baseline_row(res, path, channels):
    b = res.baseline
    row = dict(file=path, curves=channels, frames=len(res.values), method=res.method)
    for n in res.names:
        row.update({f"{n}_baseline": b.values[n], f"{n}_baseline_sigma": b.stderr[n]})
    status = ("undetermined" if b.undetermined else "ok") if b.success else \
        "not converged" if not b.converged else "rejected"
    row.update(deviance_dof=b.chi2_red, unsettled_frames=int((~res.converged).sum()), status=status,
               message="; ".join(res.warnings) or b.message)
    return row


def run_series(args, client, model, fit_defaults, free, opts, irfs, files, prov) -> int:
    """--series: the one recording file tracked; exit 0 done, 1 the file could not be read or tracked."""
    import pandas as pd
    from .series import fit_series
    from ._series_store import table
    path, started = files[0], time.monotonic()
    if opts["engine"] == "faithful":
        raise UsageError("--series needs the fast engine (the model's exact derivatives)")
    baseline = parse_baseline(args.baseline)
    try:
        rec = read_recording(path, args.frame_s)
    except (OSError, ValueError) as exc:
        print(f"tdcyl-fit: --series: {exc}", file=sys.stderr)
        return 1
    frames = len(rec.frame_times_s)
    if baseline is not None and not baseline.start < (frames if baseline.stop is None else baseline.stop) <= frames:
        raise UsageError(f"--baseline {args.baseline}: the recording has {len(rec.frame_times_s)} frames")
    try:
        channels, deconvolved = series_channels(rec, irfs, model, args.model)
    except ValueError as exc:
        raise UsageError(f"--series {path}: {exc}") from None
    if deconvolved:
        print(f"tdcyl-fit: --series: {path} holds no IRF and none is given: its gates are taken as deconvolved "
              "(the model integrated over each gate)", file=sys.stderr)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # they are in the result, and so in the baseline's row
            res = fit_series(channels, {k: v for k, v in model.items() if k != "rho"}, free, method=args.method,
                             baseline=baseline, frame_times_s=rec.frame_times_s, spectral=fit_defaults.get("spectral"),
                             bounds=opts.get("bounds"), fit_range=opts["fit_range"], background=opts["background"],
                             client=client, workers=args.workers)
    except (ValueError, TypeError) as exc:
        print(f"tdcyl-fit: --series {path}: {exc}", file=sys.stderr)
        return 1
    frame = table(res)
    frame.insert(0, "file", path)
    write_table(args.out, frame)
    write_table(baseline_path(args.out), pd.DataFrame([dict(baseline_row(res, path, len(channels)), **prov)]))
    if args.plots:
        res.plot(os.path.join(args.plots, os.path.basename(path) + ".series.png"), title=os.path.basename(path))
    unsettled = int((~res.converged).sum())
    print(f"tdcyl-fit: --series: {len(frame)} frames x {len(channels)} channels tracked ({res.method}) in "
          f"{time.monotonic() - started:.1f} s, {unsettled} unsettled; results in {args.out}, the baseline in "
          f"{baseline_path(args.out)}", file=sys.stderr)
    return 0
