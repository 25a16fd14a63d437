"""Command line of a sweep: one curve per row of a CSV table, written to a Zarr store.

    python3 -m tdcyl.sweep TABLE.csv --store OUT.zarr [--scheduler ADDRESS] [--engine ENGINE]

Runs on a local cluster (one worker process per core) unless --scheduler gives
the address of a Dask scheduler (e.g. tcp://host:8786). Running it again with
the same store completes an interrupted sweep. Exit status: 0 success, 1 bad
table or failed case, 2 usage error.
"""
from __future__ import annotations

import argparse
import sys
import types

from . import batch as _batch


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m tdcyl.sweep",
                                     description="One curve per row of a CSV table (columns N, muspI, muaI, nI, "
                                                 "lI, radius, rho, rho0, phi, M, mmax), written to a Zarr store.")
    parser.add_argument("table", help="CSV file, one row per case")
    parser.add_argument("--store", required=True, help="Zarr directory to write (completed when it exists)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler to use (default: a local cluster)")
    parser.add_argument("--workers", type=int, metavar="N", help="worker processes of the local cluster "
                                                                 "(default: one per core)")
    parser.add_argument("--engine", help="engine of tdcyl.reflectance (default: its default)")
    parser.add_argument("--chunk", type=int, metavar="ROWS",
                        help=f"rows per task (default: the store's, or about 64 tasks of at most "
                             f"{_batch.DEFAULT_CHUNK} rows)")
    parser.add_argument("--on-error", choices=("raise", "record"), default="raise",
                        help="bad rows: stop before computing (raise) or record them in the store and go on")
    parser.add_argument("--quiet", action="store_true", help="no progress display")
    args = parser.parse_args(argv)
    if args.scheduler and args.workers is not None:
        parser.error("--workers applies to the local cluster only, not with --scheduler")
    client = None
    try:
        if args.scheduler:
            from distributed import Client
            client = Client(args.scheduler, timeout=30, set_as_default=False)
        ds = _batch.sweep(args.table, engine=args.engine, client=client, store=args.store, chunk=args.chunk,
                          on_error=args.on_error, workers=args.workers, progress=False if args.quiet else None)
    except KeyboardInterrupt:
        print("interrupted: run the same command again to compute the missing chunks", file=sys.stderr)
        return 130
    except (ValueError, TypeError, OSError, RuntimeError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    finally:
        if client is not None:
            client.close()
    skipped = int((ds["error"].values != "").sum())
    if skipped:
        print(f"warning: {skipped} case{'s' if skipped > 1 else ''} without a curve (see the store's variable "
              f"'error')", file=sys.stderr)
    return 0


class _CallableModule(types.ModuleType):
    """`import tdcyl.sweep` binds this module where the package exports the function sweep: keep it callable."""

    def __call__(self, *args, **kwargs):
        return _batch.sweep(*args, **kwargs)


if __name__ == "__main__":
    sys.exit(main())
else:
    sys.modules[__name__].__class__ = _CallableModule
