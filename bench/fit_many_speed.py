"""Fits per second of tdcyl.fit_many on the README's four-parameter two-layer fit
(examples/fit_two_layers.py): the same measurement with different Poisson
seeds, on a local cluster of `--workers` single-threaded processes, counted
with the cluster's start-up (fit_many starts and closes it) and without (the
same cluster started before), beside one process fitting the curves one by one.

    PYTHONPATH=build/python /usr/bin/python3 bench/fit_many_speed.py [--curves N] [--workers W] [--chunk C]
"""
import argparse
import pathlib
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import fit_two_layers as ex  # noqa: E402

import tdcyl  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--curves", type=int, default=64)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--chunk", type=int, default=None, help="curves per task (default: fit_many's)")
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    t, irf, expected = ex.measurement()
    counts = np.stack([np.random.default_rng(seed).poisson(expected) for seed in range(1, args.curves + 1)])
    counts = counts.astype(float)
    options = dict(free=ex.FREE, shift=False, fit_range=ex.FIT_RANGE, progress=False)
    if args.chunk:
        options["chunk"] = args.chunk

    started, cpu = time.perf_counter(), time.process_time()
    for row in counts:
        tdcyl.fit(t, row, irf=(t, irf), model=ex.geometry(ex.START), free=ex.FREE, shift=False,
                  fit_range=ex.FIT_RANGE, threads=1)
    serial, cpu = time.perf_counter() - started, time.process_time() - cpu
    print(f"one process, one thread, fit after fit: {args.curves / serial:6.1f} fits/s "
          f"({1e3 * cpu / args.curves:.0f} ms CPU per fit)")

    started = time.perf_counter()
    table = tdcyl.fit_many((t, counts), (t, irf), ex.geometry(ex.START), workers=args.workers, **options)
    with_start = time.perf_counter() - started
    print(f"fit_many, {args.workers} workers, cluster start-up included: {args.curves / with_start:6.1f} fits/s "
          f"({with_start:.2f} s, {int((table.status == 'ok').sum())} of {args.curves} ok)")

    from tdcyl._cluster import cluster
    with cluster(None, args.workers) as client:  # the cluster fit_many starts, started here first
        tdcyl.fit_many((t, counts[:args.workers]), (t, irf), ex.geometry(ex.START), client=client, **options)
        worker_cpu = client.run(time.process_time)
        started, cpu = time.perf_counter(), time.process_time()
        table = tdcyl.fit_many((t, counts), (t, irf), ex.geometry(ex.START), client=client, **options)
        warm, cpu = time.perf_counter() - started, time.process_time() - cpu
        worker_cpu = sum(v - worker_cpu[k] for k, v in client.run(time.process_time).items())
    print(f"fit_many, {args.workers} workers, cluster running (and warm):   {args.curves / warm:6.1f} fits/s "
          f"({warm:.2f} s, {int((table.status == 'ok').sum())} of {args.curves} ok)")
    # On a machine shared with other work the rate shows the share it got; the CPU time does not depend on it.
    per_fit = (cpu + worker_cpu) / args.curves
    print(f"  CPU per fit: {1e3 * worker_cpu / args.curves:.0f} ms in the workers, {1e3 * cpu / args.curves:.1f} ms "
          f"in this process (scheduler, client); {args.workers / per_fit:.1f} fits/s on {args.workers} idle cores")


if __name__ == "__main__":
    main()
