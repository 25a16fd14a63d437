"""Command line of the package: python3 -m tdcyl sweep TABLE.csv --store OUT.zarr [options].

sweep: one curve per row of a CSV table, written to a Zarr store. Runs on a
local cluster (one worker process per core) unless --scheduler gives the
address of a Dask scheduler (e.g. tcp://host:8786). Running it again with the
same store completes an interrupted sweep. Prints one summary line on stdout.
Exit status: 0 success, 1 bad table, store or failed case, 2 usage error,
130 interrupted.
"""
from __future__ import annotations

import argparse
import sys
import time


def _parser() -> argparse.ArgumentParser:
    from .batch import DEFAULT_CHUNKS, MAX_CHUNK
    from .model import DEFAULT_ENGINE, ENGINES
    parser = argparse.ArgumentParser(prog="python3 -m tdcyl")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    s = commands.add_parser("sweep", help="one curve per row of a CSV table, written to a Zarr store",
                            description="One curve per row of a CSV table (columns N, muspI, muaI, nI, lI, radius, "
                                        "rho, rho0, phi, M, mmax), written to a Zarr store.")
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
    return parser


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
    return _sweep(parser, args)  # the only command


def sweep_main() -> int:
    """The console script tdcyl-sweep: `python3 -m tdcyl sweep` under its own name."""
    return main(["sweep", *sys.argv[1:]])


if __name__ == "__main__":
    sys.exit(main())
