"""Command line of the package: python3 -m tdcyl sweep TABLE.csv --store OUT.zarr [options], or
python3 -m tdcyl moments INPUT.dat [--derivatives mua1,musp2] [--tolerance T].

sweep: one curve per row of a CSV table, written to a Zarr store. Runs on a
local cluster (one worker process per core) unless --scheduler gives the
address of a Dask scheduler (e.g. tcp://host:8786). Running it again with the
same store completes an interrupted sweep. Prints one summary line on stdout.
Exit status: 0 success, 1 bad table, store or failed case, 2 usage error,
130 interrupted.

moments: N (mm^-2), mean time (ps) and variance (ps^2) of the curve a parameter
file describes (the file's mmax as for the curve: 0 is the on-axis form), and
with --derivatives their derivatives, one line each; exit status 1 for a bad file.
"""
from __future__ import annotations

import argparse
import sys
import time


def _parser() -> argparse.ArgumentParser:
    from .batch import DEFAULT_CHUNKS, MAX_CHUNK
    from .model import DEFAULT_ENGINE, ENGINES
    from . import __version__
    parser = argparse.ArgumentParser(prog="python3 -m tdcyl")
    parser.add_argument("--version", action="version", version=f"tdcyl {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    s = commands.add_parser("sweep", help="one curve per row of a CSV table, written to a Zarr store",
                            description="One curve per row of a CSV table (columns N, muspI, muaI, nI, lI, radius, "
                                        "rho, rho0, phi, M, mmax), written to a Zarr store.")
    s.add_argument("--version", action="version", version=f"tdcyl sweep {__version__}")
    s.add_argument("table", help="CSV file, one row per case")
    s.add_argument("--store", required=True, help="Zarr folder to write (completed when it holds this sweep)")
    s.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler to use (default: a local cluster)")
    s.add_argument("--workers", type=int, metavar="N",
                   help="worker processes of the local cluster (default: one per core)")
    s.add_argument("--engine", choices=ENGINES, help=f"engine of tdcyl.reflectance (default: {DEFAULT_ENGINE})")
    s.add_argument("--tolerance", type=float, metavar="TOL",
                   help="relative truncation tolerance of the fast engine (default: 1e-11)")
    s.add_argument("--wraparound", action=argparse.BooleanOptionalAction, default=None,
                   help="the plain transform (--wraparound) or the alias-free one on the damped contour "
                        "(--no-wraparound); default: the engine's")
    s.add_argument("--chunk", type=int, metavar="ROWS",
                   help=f"rows per task, 1 ... {MAX_CHUNK} (default: the store's, or about 64 tasks of "
                        + ", ".join(f"{lo} ... {hi} rows ({e})" for e, (lo, hi) in DEFAULT_CHUNKS.items()) + ")")
    s.add_argument("--on-error", choices=("raise", "record"), default="raise",
                   help="bad rows: stop before computing (raise) or record them in the store and go on")
    s.add_argument("--quiet", action="store_true", help="no progress display")
    m = commands.add_parser("moments", help="moments N, <t>, V of the curve of a parameter file",
                            description="N (mm^-2), mean time (ps) and variance (ps^2) of the curve of a "
                                        "parameter file, from the Laplace transform at 0 (no time inversion).")
    m.add_argument("input", help="parameter file (as tdcyl-cli reads it)")
    m.add_argument("--derivatives", default="", metavar="NAMES",
                   help="comma-separated muaI, muspI, lI whose derivatives are printed too")
    m.add_argument("--tolerance", type=float, metavar="TOL", help="relative accuracy (default 1e-11)")
    return parser


def _moments(args) -> int:
    import warnings
    from ._moments import moments
    from .files import read_input

    try:
        params = read_input(args.input)
        names = [n.strip() for n in args.derivatives.split(",") if n.strip()]
        kw = params.kwargs()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            m = moments(kw["layers"], kw["radius"], kw["rho"], kw["rho0"], kw["phi"], mmax=kw["mmax"],
                        derivatives=names, tolerance=args.tolerance)
    except (ValueError, TypeError, OSError, RuntimeError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    for w in caught:
        print(f"warning: {w.message}", file=sys.stderr)
    print(f"{'quantity':<16}{'N [mm^-2]':>24}{'mean [ps]':>24}{'variance [ps^2]':>24}")
    print(f"{'value':<16}{m.N:>24.16e}{m.mean_ps:>24.16e}{m.variance_ps2:>24.16e}")
    for name in names:
        d = m.derivatives[name]
        print(f"{'d/d' + name:<16}{d[0]:>24.16e}{d[1]:>24.16e}{d[2]:>24.16e}")
    return 0


def _sweep(parser, args) -> int:
    from ._cluster import connect
    from .batch import _sweep

    if args.scheduler and args.workers is not None:
        parser.error("--workers applies to the local cluster only, not with --scheduler")
    started = time.monotonic()
    client = None
    try:
        if args.scheduler:
            client = connect(args.scheduler)
        done = _sweep(args.table, args.engine, args.tolerance, args.wraparound, client, args.store, args.chunk,
                      args.on_error, args.workers, False if args.quiet else None)
    except KeyboardInterrupt:
        print("interrupted: run the same command again to compute the missing chunks", file=sys.stderr)
        return 130
    except (ValueError, TypeError, OSError, RuntimeError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    except Exception as exc:  # a fault of the cluster or the store: one line, not a traceback
        print(f"error: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    finally:
        if client is not None:
            client.close()
    print(f"{done.cases} cases: {done.computed} computed, {done.stored} skipped (already stored), "
          f"{done.failed} failed; store {args.store}; {time.monotonic() - started:.1f} s", flush=True)
    if done.failed:
        print(f"warning: {done.failed} case{'s' if done.failed > 1 else ''} without a curve (see the store's "
              f"variable 'error')", file=sys.stderr)
    return 0


def main(argv=None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    return _moments(args) if args.command == "moments" else _sweep(parser, args)


def sweep_main() -> int:
    """The console script tdcyl-sweep: `python3 -m tdcyl sweep` under its own name."""
    return main(["sweep", *sys.argv[1:]])


if __name__ == "__main__":
    sys.exit(main())
