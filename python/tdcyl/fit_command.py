"""tdcyl-fit: fits the layered model to every curve of many measurement files, as one Dask batch.

    tdcyl-fit MEASUREMENT... --irf IRF --model MODEL.toml [--free mua1,musp1] [--range 0.8,0.01]
              [--background free] [--out results.csv] [--plots DIR] [--scheduler ADDRESS]
    tdcyl-fit --global MEASUREMENT... --irf IRF --model MODEL.toml [--intervals profile] [--out global.csv]

MEASUREMENT: files or folders (every file of a known format in it, the IRF
left out). MODEL.toml holds the geometry and the layers' start values in the
units of the parameter file (mm, 1/mm):

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
with their σ, χ²/dof, status, message); a file that cannot be read is one row
with the reader's message. The results file is replaced atomically after each
batch, so a second run with the same --out fits only what is not done yet
(rows with status ok, "not converged" or "rejected" - converged but failing
the goodness-of-fit test; failed rows are tried again).

--global: the files are one measurement (several distances and wavelengths);
every curve in them is fitted at once with the layer parameters shared (and
per-curve shift, scale and background), as tdcyl.fit_global does. The results
table is one row: the shared parameters with σ and interval, total haemoglobin
and saturation per layer where the fit has them, deviance/dof, status, message;
the table of the fit is printed. It runs in this process (no Dask).
Exit status: 0 all fitted, 1 something failed (a summary line says what),
2 bad arguments, model or IRF, 130 interrupted.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
import time

import numpy as np

from ._atomic import replaced_atomically

_DONE = ("ok", "not converged", "rejected")
_GEOMETRY = {"radius", "rho", "rho0", "phi", "M", "mmax"}


class UsageError(Exception):
    pass


def load_model(path) -> tuple[dict, dict]:
    """(model dict for tdcyl.fit, the [fit] section) of a MODEL.toml."""
    import tomllib
    from .model import Layer
    try:
        with open(path, "rb") as f:
            doc = tomllib.load(f)
    except (OSError, tomllib.TOMLDecodeError) as exc:
        raise UsageError(f"{path}: {exc}") from None
    unknown = set(doc) - _GEOMETRY - {"layers", "fit"}
    if unknown:
        raise UsageError(f"{path}: unknown keys {sorted(unknown)} (known: layers, fit, {', '.join(sorted(_GEOMETRY))})")
    layers = doc.get("layers")
    if not isinstance(layers, list) or not layers:
        raise UsageError(f"{path}: [[layers]] tables (musp, mua, n, thickness) are missing")
    model = {k: doc[k] for k in _GEOMETRY if k in doc}
    if "radius" not in model:
        raise UsageError(f"{path}: radius (mm) is missing")
    out = []
    for i, layer in enumerate(layers, start=1):
        keys = {"musp", "mua", "n", "thickness"}
        if not isinstance(layer, dict) or set(layer) != keys:
            raise UsageError(f"{path}: layer {i} must have exactly the keys musp, mua, n, thickness")
        if not all(isinstance(layer[k], (int, float)) and not isinstance(layer[k], bool) for k in keys):
            raise UsageError(f"{path}: layer {i}: the values must be numbers")
        out.append(Layer(float(layer["musp"]), float(layer["mua"]), float(layer["n"]), float(layer["thickness"])))
    model["layers"] = out
    fit = doc.get("fit", {})
    if not isinstance(fit, dict) or set(fit) - {"free", "range", "background", "bounds", "spectral", "starts"}:
        raise UsageError(f"{path}: [fit] may hold free, range, background, bounds, spectral and starts only")
    return model, fit


def _parse(argv):
    p = argparse.ArgumentParser(prog="tdcyl-fit", description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="\n\n".join(__doc__.split("\n\n")[2:]))
    p.add_argument("measurements", nargs="+", metavar="MEASUREMENT", help="files or folders of measurements")
    p.add_argument("--irf", required=True, help="the instrument response (any readable format; one channel, "
                   "or one per wavelength)")
    p.add_argument("--model", required=True, metavar="MODEL.toml")
    p.add_argument("--free", help="fitted parameters, e.g. mua1,musp1 (default: [fit] free, else mua1,musp1)")
    p.add_argument("--range", dest="fit_range", help="fit range as fractions of the peak, rise,tail "
                   "(default 0.8,0.01)")
    p.add_argument("--background", help="free, pre-pulse, none or counts per bin (default: [fit] background, "
                   "else none)")
    p.add_argument("--engine", default=None, choices=("fast", "faithful"))
    p.add_argument("--out", default="results.csv", help="results table (CSV), default results.csv")
    p.add_argument("--plots", metavar="DIR", help="one PNG per curve: data, model, residuals")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler (tcp://HOST:8786); default: a local "
                   "cluster of one worker per core")
    p.add_argument("--workers", type=int, help="workers of the local cluster")
    p.add_argument("--global", dest="global_fit", action="store_true",
                   help="one fit of all curves of the files, the layer parameters shared (see below)")
    p.add_argument("--intervals", choices=("linear", "profile"), help="--global: intervals of the parameters "
                   "from the standard errors (default) or the profile of the deviance")
    return p.parse_args(argv)


def _options(args, fit_defaults):
    free = args.free.split(",") if args.free else fit_defaults.get("free", ["mua1", "musp1"])
    rng = fit_defaults.get("range", [0.8, 0.01])
    if args.fit_range:
        try:
            rng = [float(x) for x in args.fit_range.split(",")]
        except ValueError:
            raise UsageError(f"--range must be two fractions rise,tail, not {args.fit_range!r}") from None
    if len(rng) != 2:
        raise UsageError(f"--range must be two fractions rise,tail, got {rng}")
    bg = args.background if args.background is not None else fit_defaults.get("background")
    if isinstance(bg, str) and bg not in ("free", "pre-pulse"):
        if bg.lower() == "none":
            bg = None
        else:
            try:
                bg = float(bg)
            except ValueError:
                raise UsageError(f"--background must be free, pre-pulse, none or a number, not {bg!r}") from None
    from .fitting import _background
    try:
        _background(bg)
    except (TypeError, ValueError) as exc:
        raise UsageError(f"--background: {exc}") from None
    opts = dict(fit_range=tuple(rng), background=bg, engine=args.engine)
    if "bounds" in fit_defaults:
        opts["bounds"] = {k: tuple(v) for k, v in fit_defaults["bounds"].items()}
    return [s.strip() for s in free if s.strip()], opts


def _files(items, irf_path):
    from .io import FORMATS
    out = []
    skip = os.path.abspath(irf_path) if irf_path else None
    for item in items:
        if os.path.isdir(item):
            for name in sorted(os.listdir(item)):
                p = os.path.join(item, name)
                if os.path.isfile(p) and os.path.splitext(name)[1].lower() in FORMATS and os.path.abspath(p) != skip:
                    out.append(os.path.normpath(p))
        else:
            out.append(os.path.normpath(item))
    return list(dict.fromkeys(out))


def _write_table(path, frame):
    with replaced_atomically(path, ".results-") as tmp:
        with open(tmp, "w", newline="") as f:
            frame.to_csv(f, index=False)


def _irf_for(irf, wavelength):
    """The IRF channel of a curve: the only one, or the one of its wavelength."""
    if irf.channels == 1:
        return 0
    match = np.flatnonzero(np.isclose(irf.wavelength_nm, wavelength, rtol=0, atol=0.5))
    if match.size != 1:
        raise ValueError(f"the IRF has {irf.channels} channels and none (or several) at {wavelength:g} nm")
    return int(match[0])


def _plot(path, row, t, y, irf_counts, model, free, opts):
    from .fitting import _poisson_deviance_residuals, fit_range_slice, pre_pulse_background
    from .irf import convolve_irf
    from .model import Layer, _layers_array, reflectance
    from .plotting import _pyplot
    layers = _layers_array(model["layers"]).copy()
    for name in free:
        kind, i = name.rstrip("0123456789"), int(name[len(name.rstrip("0123456789")):]) - 1
        layers[i, {"musp": 0, "mua": 1, "n": 2, "l": 3}[kind]] = row[name]
    kw = {k: v for k, v in model.items() if k != "layers"}
    c = reflectance([Layer(*r) for r in layers], engine=opts["engine"], all_samples=True, **kw)
    bg = opts["background"]
    b = row["background"] if bg == "free" else pre_pulse_background(t, y) if bg == "pre-pulse" else (bg or 0.0)
    m = row["scale"] * convolve_irf(c.t_ps, c.reflectance, t, irf_counts, shift_ps=row.get("shift", 0.0)) + b
    w = fit_range_slice(y, opts["fit_range"])
    plt = _pyplot()
    fig, (ax, axr) = plt.subplots(2, 1, sharex=True, figsize=(7, 5.5), gridspec_kw={"height_ratios": [3, 1]})
    ax.semilogy(t, np.maximum(y, 0.5), ".", ms=2.5, color="0.45", label="measurement")
    ax.semilogy(t[w], m[w], "-", color="tab:red", lw=1.5, label="fitted model")
    ax.set_ylim(max(0.5, y.max() * 1e-4), y.max() * 2)
    ax.set_ylabel("counts per bin")
    ax.set_title(f"{row['file']} channel {row['channel']}", fontsize=9)
    ax.legend(fontsize=8)
    axr.plot(t[w], _poisson_deviance_residuals(m[w], y[w]), ".", ms=2.5, color="tab:red")
    axr.axhline(0, color="0.3", lw=0.8)
    axr.set_ylabel("deviance\nresidual")
    axr.set_xlabel("t [ps]")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def run(argv=None) -> int:
    import pandas as pd
    from . import io
    from ._cluster import MAX_WORKERS, cluster, connect
    from .batch import fit_many

    args = _parse(argv)
    try:
        model, fit_defaults = load_model(args.model)
        free, opts = _options(args, fit_defaults)
        if args.workers is not None and args.scheduler:
            raise UsageError("--workers applies to the local cluster only, not with --scheduler")
        if args.workers is not None and not 1 <= args.workers <= MAX_WORKERS:
            raise UsageError(f"--workers must be in 1 ... {MAX_WORKERS}, got {args.workers}")
        try:
            irf = io.read(args.irf)
        except (OSError, ValueError) as exc:
            raise UsageError(f"--irf: {exc}") from None
        in_file = irf.irf is not None  # a SNIRF file's IRF block: the file's data are a measurement too
        irf = irf.irf or irf
        if args.global_fit:
            return _run_global(args, model, fit_defaults, free, opts, irf,
                               _files(args.measurements, None if in_file else args.irf))
        if args.intervals:
            raise UsageError("--intervals applies to --global only")
    except UsageError as exc:
        print(f"tdcyl-fit: error: {exc}", file=sys.stderr)
        return 2

    files = _files(args.measurements, None if in_file else args.irf)
    old = pd.DataFrame()
    if os.path.exists(args.out):
        try:
            old = pd.read_csv(args.out, keep_default_na=False, na_values=[""], dtype={"channel": str})
        except (OSError, ValueError) as exc:
            print(f"tdcyl-fit: error: --out {args.out}: not a results table ({exc})", file=sys.stderr)
            return 2
    done = {}
    if len(old) and {"file", "channel", "status"} <= set(old.columns):
        for r in old.to_dict("records"):
            if r["status"] in _DONE:
                done[(os.path.abspath(str(r["file"])), str(r["channel"]))] = r
    rows, pending = {}, []
    for order, path in enumerate(files):
        try:
            m = io.read(path)
        except (OSError, ValueError) as exc:
            rows[(order, -1)] = dict(file=path, channel="", status="failed", message=str(exc))
            continue
        for ch in range(m.channels):
            base = dict(file=path, channel=str(ch), channel_name=m.channel_names[ch],
                        wavelength_nm=m.wavelength_nm[ch], rho_mm=m.rho_mm[ch])
            key = (os.path.abspath(path), str(ch))
            if key in done:
                rows[(order, ch)] = done[key]
                continue
            try:
                k = _irf_for(irf, m.wavelength_nm[ch])
                if irf.t_ps.shape != m.t_ps.shape or not np.allclose(irf.t_ps, m.t_ps, rtol=0,
                                                                      atol=1e-6 * m.bin_width_ps):
                    raise ValueError(f"the IRF's {irf.t_ps.size} bins of {irf.bin_width_ps:g} ps are not the "
                                     f"measurement's {m.t_ps.size} bins of {m.bin_width_ps:g} ps")
            except ValueError as exc:
                rows[(order, ch)] = dict(base, status="failed", message=str(exc))
                continue
            cm = dict(model)
            if math.isfinite(m.rho_mm[ch]):
                cm["rho"] = float(m.rho_mm[ch])
            elif "rho" not in cm:
                rows[(order, ch)] = dict(base, status="failed", message="the file does not give ρ and "
                                         f"{args.model} has no rho")
                continue
            base["rho_mm"] = cm["rho"]
            pending.append(((order, ch), base, m.t_ps, m.counts[ch], k, cm))

    before = len([r for r in rows.values() if r.get("status") in _DONE])
    total, fitted, started = len(pending), 0, time.monotonic()
    show = sys.stderr.isatty()
    columns = ["file", "channel", "channel_name", "wavelength_nm", "rho_mm"]

    def save():
        frame = pd.DataFrame([rows[k] for k in sorted(rows)])
        lead = [c for c in columns if c in frame.columns]
        tail = [c for c in ("chi2_red", "dof", "scale", "nfev", "model_calls", "status", "message")
                if c in frame.columns]
        rest = [c for c in frame.columns if c not in lead + tail and c != "curve"]
        _write_table(args.out, frame.reindex(columns=lead + [c for c in rest if not c.endswith("_sigma")]
                                             + [c for c in rest if c.endswith("_sigma")] + tail))

    # Plots named by the path below the files' common folder: phantom.csv and phantom.sdt (or a/x.phu
    # and b/x.phu) must not overwrite each other's.
    top = os.path.commonpath([os.path.dirname(os.path.abspath(f)) for f in files]) if files else ""
    plot_stem = [os.path.relpath(os.path.abspath(f), top).replace(os.sep, "__") for f in files]
    client = None
    try:
        if pending:
            if args.scheduler:
                try:
                    client = connect(args.scheduler)
                except (OSError, ValueError) as exc:
                    print(f"tdcyl-fit: error: --scheduler: {exc}", file=sys.stderr)
                    return 2
            with cluster(client, args.workers) as c:
                workers = max(1, len(c.scheduler_info().get("workers", {})))
                size = max(8, 4 * workers)
                started = time.monotonic()
                for k in sorted({p[4] for p in pending}):
                    group = [p for p in pending if p[4] == k]
                    for lo in range(0, len(group), size):
                        batch = group[lo:lo + size]
                        table = fit_many([(p[2], p[3]) for p in batch], (irf.t_ps, irf.counts[k]),
                                         [p[5] for p in batch], free, client=c, progress=False, **opts)
                        for p, r in zip(batch, table.to_dict("records")):
                            r.pop("curve", None)
                            rows[p[0]] = dict(p[1], **r)
                            if args.plots and r["status"] in _DONE:
                                os.makedirs(args.plots, exist_ok=True)
                                name = f"{plot_stem[p[0][0]]}_ch{p[0][1]}.png"
                                _plot(os.path.join(args.plots, name), rows[p[0]], p[2], p[3], irf.counts[k], p[5],
                                      free, opts)
                        fitted += len(batch)
                        save()
                        if show:
                            rate = fitted / max(time.monotonic() - started, 1e-9)
                            sys.stderr.write(f"\r{fitted}/{total} fits  {rate:.3g} fits/s   ")
                            sys.stderr.flush()
                if show:
                    sys.stderr.write("\n")
        if rows:
            save()
    except KeyboardInterrupt:
        print(f"\ntdcyl-fit: interrupted after {fitted} of {total} fits; the results so far are in {args.out}, "
              "the same command goes on from there", file=sys.stderr)
        return 130
    finally:
        if client is not None:
            client.close()
    elapsed = time.monotonic() - started
    status = [r.get("status") for r in rows.values()]
    failed = status.count("failed")
    nc, rejected = status.count("not converged"), status.count("rejected")
    rate = f", {fitted / elapsed:.3g} fits/s" if fitted and elapsed > 0 else ""
    print(f"tdcyl-fit: {len(status)} curves in {len(files)} files: {fitted} fitted now{rate}, {before} done before, "
          f"{status.count('ok')} ok, {nc} not converged, {rejected} rejected (goodness of fit), {failed} failed; "
          f"results in {args.out}",
          file=sys.stderr)
    return 1 if failed else 0


def _run_global(args, model, fit_defaults, free, opts, irf, files) -> int:
    """--global: every curve of the files in one fit; one results row."""
    import pandas as pd
    from . import io
    from .global_fit import fit_global
    if args.scheduler or args.workers is not None:
        raise UsageError("--global fits in this process: --scheduler and --workers do not apply")
    if opts["background"] not in (None, "free"):
        raise UsageError(f"--global fits a background per curve (free) or none, not {opts['background']!r}")
    row = dict(files=" ".join(files), curves=0)
    channels = []
    try:
        for path in files:
            m = io.read(path)
            for ch in range(m.channels):
                rho = m.rho_mm[ch] if math.isfinite(m.rho_mm[ch]) else model.get("rho")
                if rho is None:
                    raise ValueError(f"{path}: the file does not give ρ and {args.model} has no rho")
                wl = float(m.wavelength_nm[ch])
                channels.append(dict(t_ps=m.t_ps, counts=m.counts[ch], irf=(irf.t_ps, irf.counts[_irf_for(irf, wl)]),
                                     rho=float(rho), wavelength_nm=None if math.isnan(wl) else wl))
        row["curves"] = len(channels)
        r = fit_global(channels, {k: v for k, v in model.items() if k != "rho"}, free,
                       spectral=fit_defaults.get("spectral"), bounds=opts.get("bounds"), fit_range=opts["fit_range"],
                       background=opts["background"] == "free", intervals=args.intervals or "linear",
                       starts=fit_defaults.get("starts", 3), engine=opts["engine"])
    except (OSError, ValueError, TypeError) as exc:
        _write_table(args.out, pd.DataFrame([dict(row, status="failed", message=str(exc))]))
        print(f"tdcyl-fit: --global: {exc}; results in {args.out}", file=sys.stderr)
        return 1
    for n in r.names:
        if "[" not in n:  # the per-curve shift, scale and background stay in the printed table's fit
            lo, hi = r.intervals[n]
            row.update({n: r.values[n], f"{n}_sigma": r.stderr[n], f"{n}_low": lo, f"{n}_high": hi})
    for n, (v, e) in r.derived.items():
        row.update({n: v, f"{n}_sigma": e})
    row.update(deviance_dof=r.chi2_red, dof=r.dof, starts_at_best=r.starts_at_best, model_calls=r.model_calls,
               status="ok" if r.success else "not converged", message=r.message)
    _write_table(args.out, pd.DataFrame([row]))
    if args.plots:
        os.makedirs(args.plots, exist_ok=True)
        r.plot(os.path.join(args.plots, "global.png"))
    print(r.table())
    print(f"tdcyl-fit: {len(channels)} curves in {len(files)} files fitted at once: {row['status']}; "
          f"results in {args.out}", file=sys.stderr)
    return 0


def main(argv=None) -> int:
    try:
        return run(argv)
    except KeyboardInterrupt:
        print("\ntdcyl-fit: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
