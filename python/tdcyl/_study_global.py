"""tdcyl-fit --global: all curves of the files in one global fit, or (--per-file) one global fit per
measurement file as a batch of Dask tasks; the rows a paper tabulates."""
from __future__ import annotations

import math
import os
import sys
import time
import warnings

import numpy as np
import scipy.stats

from ._atomic import replaced_atomically


def write_table(path, frame):
    with replaced_atomically(path, ".results-") as tmp:
        with open(tmp, "w", newline="") as f:
            frame.to_csv(f, index=False)


def channels_of(paths, irfs, model, model_path):
    """Channel dicts for fit_global of every curve in the files, and per channel its (file, index, name)."""
    from . import io
    channels, origin = [], []
    for path in paths:
        m = io.read(path)
        for ch in range(m.channels):
            rho = m.rho_mm[ch] if math.isfinite(m.rho_mm[ch]) else model.get("rho")
            if rho is None:
                raise ValueError(f"{path}: the file does not give ρ and {model_path} has no rho")
            try:
                irf = irfs.for_channel(m, ch)
            except ValueError as exc:
                raise ValueError(f"{path}, channel {m.channel_names[ch]}: {exc}") from None
            wl = float(m.wavelength_nm[ch])
            channels.append(dict(t_ps=m.t_ps, counts=m.counts[ch], irf=irf, rho=float(rho),
                                 wavelength_nm=None if math.isnan(wl) else wl))
            origin.append((path, ch, m.channel_names[ch]))
    return channels, origin


def global_rows(r, origin) -> tuple[dict, list]:
    """(the fit's row: shared parameters, mu_a and mu_s' per layer and wavelength, derived; the per-curve rows)."""
    row = {}
    for n in r.names:
        if "[" not in n and n != "scale":
            lo, hi = r.intervals[n]
            row.update({n: r.values[n], f"{n}_sigma": r.stderr[n], f"{n}_low": lo, f"{n}_high": hi})
    for n, (v, e) in r.derived.items():
        row.update({n: v, f"{n}_sigma": e})
    for wl in sorted({c["wavelength_nm"] for c in r.channels if c["wavelength_nm"] is not None}):
        for n, (v, e) in r.optical(wl).items():
            row.update({f"{n}@{wl:g}": v, f"{n}@{wl:g}_sigma": e})
    curves = []
    for k, (c, (path, ch, name)) in enumerate(zip(r.channels, origin)):
        n = c["fit_slice"].stop - c["fit_slice"].start
        dev = float(np.sum(c["residuals"] ** 2))
        cr = dict(file=path, channel=str(ch), channel_name=name, wavelength_nm=c["wavelength_nm"], rho_mm=c["rho"])
        for q in ("shift", "scale", "background"):
            key = f"{q}[{k}]" if f"{q}[{k}]" in r.values else q
            if key in r.values:
                cr.update({q: r.values[key], f"{q}_sigma": r.stderr[key]})
        p = float(scipy.stats.chi2.sf(dev, n))
        cr.update(deviance_bins=dev / n, bins=n, p_value=p, status="ok" if p >= 1e-4 else "rejected")
        curves.append(cr)
    status = ("undetermined" if r.undetermined else "ok") if r.success else \
        "not converged" if not r.converged else "rejected"
    row.update(deviance_dof=r.chi2_red, dof=r.dof, starts_at_best=r.starts_at_best, model_calls=r.model_calls,
               status=status, message=r.message)
    return row, curves


def fit_one(paths, irfs, model, model_path, free, kwargs):
    """One global fit of the files' curves: (row, per-curve rows, result or None); never raises."""
    from .global_fit import fit_global
    try:
        channels, origin = channels_of(paths, irfs, model, model_path)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            r = fit_global(channels, {k: v for k, v in model.items() if k != "rho"}, free, **kwargs)
    except (OSError, ValueError, TypeError) as exc:
        return dict(curves=0, status="failed", message=str(exc)), [], None
    except Exception as exc:  # the engine's own failure: this file's row says so, the others go on
        return dict(curves=0, status="failed", message=f"{type(exc).__name__}: {exc}"), [], None
    row, curves = global_rows(r, origin)
    return dict(row, curves=len(channels)), curves, r


def _task(path, irfs, model, model_path, free, kwargs, plot):
    row, curves, r = fit_one([path], irfs, model, model_path, free, dict(kwargs, threads=1))
    if plot and r is not None:
        try:
            r.plot(plot, title=os.path.basename(path))
        except Exception as exc:  # a plot that cannot be drawn does not lose the fit
            row["message"] = (row.get("message") or "") + f"; plot: {exc}"
    return row, curves


def kwargs_of(args, fit_defaults, opts) -> dict:
    return dict(spectral=fit_defaults.get("spectral"), bounds=opts.get("bounds"), fit_range=opts["fit_range"],
                background=opts["background"], intervals=args.intervals or "linear",
                starts=fit_defaults.get("starts", 3), engine=opts["engine"])


def run_global(args, model, fit_defaults, free, opts, irfs, files, prov) -> int:
    """--global without --per-file: every curve of the files in one fit; one results row."""
    import pandas as pd
    started = time.monotonic()

    def shown(k, n, dev):  # a global fit takes minutes: each start's end on a terminal
        sys.stderr.write(f"\rstart {k}/{n} done, deviance {dev:.6g}, {time.monotonic() - started:.0f} s   ")
        sys.stderr.flush()
    kwargs = dict(kwargs_of(args, fit_defaults, opts), progress=shown if sys.stderr.isatty() else None)
    row, curves, r = fit_one(files, irfs, model, args.model, free, kwargs)
    if kwargs["progress"]:
        sys.stderr.write("\n")
    row = dict(files=" ".join(files), curves=row.pop("curves"), **row, **prov)
    write_table(args.out, pd.DataFrame([row]))
    if curves:
        write_table(curves_path(args.out), pd.DataFrame(curves))
    if r is None:
        print(f"tdcyl-fit: --global: {row['message']}; results in {args.out}", file=sys.stderr)
        return 1
    if args.plots:
        r.plot(os.path.join(args.plots, "global.png"))
    print(r.table())
    print(f"tdcyl-fit: {len(curves)} curves in {len(files)} files fitted at once: {row['status']}; "
          f"results in {args.out}, per curve in {curves_path(args.out)}", file=sys.stderr)
    return 0


def curves_path(out) -> str:
    stem, ext = os.path.splitext(os.fspath(out))
    return f"{stem}.curves{ext or '.csv'}"


def run_per_file(args, client, model, fit_defaults, free, opts, irfs, files, prov, digests, old) -> int:
    """--global --per-file: one global fit per file, as Dask tasks; one row each, replaced atomically as
    they finish; rows whose file, options, model and IRF are unchanged are kept."""
    import pandas as pd
    from ._cluster import Progress, run
    from ._study_files import other_rows, read_curves, stale
    kwargs = kwargs_of(args, fit_defaults, opts)
    rows, curves, tasks = {}, {}, {}
    old_curves = read_curves(curves_path(args.out))
    for j, r in enumerate(other_rows(old, files)):  # files not in this run: their rows stay
        rows[len(files) + j] = r
        curves[len(files) + j] = old_curves.get(os.path.abspath(str(r["file"])), [])
    for i, path in enumerate(files):
        current = dict(prov, file_size=digests[i][0], file_sha256=digests[i][1])
        before = old.get((os.path.abspath(path), ""))
        if before is not None and not stale(before, current):
            rows[i], curves[i] = before, old_curves.get(os.path.abspath(path), [])
            continue
        plot = os.path.join(args.plots, _plot_name(files, path)) if args.plots else None
        tasks[("global", i)] = (_task, (path, irfs, model, args.model, free, kwargs, plot))
    kept, started = sum(i < len(files) for i in rows), time.monotonic()

    def save():
        frame = pd.DataFrame([rows[k] for k in sorted(rows)])
        write_table(args.out, frame)
        if curves:
            write_table(curves_path(args.out), pd.DataFrame([c for k in sorted(curves) for c in curves[k]]))

    shown = Progress(None, len(tasks), 0, "files")

    def collect(key, result):
        i = key[1]
        row, cs = result
        digest = digests[i]
        rows[i] = dict(file=files[i], curves=row.pop("curves"), **row, **prov, file_size=digest[0],
                       file_sha256=digest[1])
        curves[i] = cs
        save()
        shown.add(1)

    try:
        run(client, args.workers, tasks, collect, shown)
    except KeyboardInterrupt:
        print(f"\ntdcyl-fit: interrupted after {len(rows) - kept} of {len(tasks)} fits; the results so far are in "
              f"{args.out}, the same command goes on from there", file=sys.stderr)
        return 130
    if rows:
        save()
    status = [r.get("status") for r in rows.values()]
    print(f"tdcyl-fit: {len(files)} files, one global fit each: {len(tasks)} fitted now in "
          f"{time.monotonic() - started:.1f} s, {kept} unchanged since before; "
          + ", ".join(f"{status.count(s)} {s}" for s in dict.fromkeys(["ok"] + sorted(set(status))))
          + f"; results in {args.out}", file=sys.stderr)
    return 1 if "failed" in status else 0


def _plot_name(files, path) -> str:
    top = os.path.commonpath([os.path.dirname(os.path.abspath(f)) for f in files])
    return os.path.relpath(os.path.abspath(path), top).replace(os.sep, "__") + ".png"
