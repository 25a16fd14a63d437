"""Curves per second of tdcyl.sweep on a local cluster of 1 and 2 worker processes.

    PYTHONPATH=build/python /usr/bin/python3 bench/sweep_rate.py [--engine E] [--side K] [--chunk C]
        [--repeat R] [--store]

A two-layer on-axis grid (K x K values of mua1, mua2: 16 cases by default, radius
20 mm, rho 15 mm; the fast engine needs a few hundred cases to measure more than
the scheduling). The rate is the number of curves over the wall time of the
sweep call on a running cluster, the one sweep starts itself (single-threaded
workers without the statistical profiler), warmed by a first small sweep; its
start-up is reported apart. The CPU time per curve, in the workers and in this
process (client, scheduler, store writes), does not depend on what else the
machine runs; the rate on idle cores follows from it. Also one direct call per
case in this process, one thread, for comparison. --store writes a store in a
temporary folder (default: in memory).
"""
import argparse
import os
import tempfile
import time

import tdcyl
from tdcyl._cluster import cluster, cores


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--engine", default=None)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--side", type=int, default=4, help="values per absorption axis")
    parser.add_argument("--chunk", type=int, default=None, help="cases per task (default: the sweep's)")
    parser.add_argument("--store", action="store_true", help="write a store on disk (default: in memory)")
    args = parser.parse_args()
    mua1 = [0.005 + 0.025 * i / max(1, args.side - 1) for i in range(args.side)]
    mua2 = [0.01 + 0.03 * i / max(1, args.side - 1) for i in range(args.side)]
    table = tdcyl.grid(N=2, mua1=mua1, mua2=mua2, musp1=1.0, n1=1.4,
                       l1=5.0, musp2=1.2, n2=1.4, l2=50.0, radius=20.0, rho=15.0)
    engine = args.engine or tdcyl.DEFAULT_ENGINE
    started = time.perf_counter()
    for _, row in table.iterrows():
        tdcyl.reflectance([tdcyl.Layer(row.musp1, row.mua1, row.n1, row.l1),
                           tdcyl.Layer(row.musp2, row.mua2, row.n2, row.l2)], row.radius, row.rho,
                          engine=engine, threads=1, all_samples=True)
    direct = time.perf_counter() - started
    print(f"engine {engine}, {len(table)} two-layer on-axis curves")
    print(f"direct calls, one thread: {len(table) / direct:.3g} curves/s ({1e3 * direct / len(table):.2f} ms each)")
    n = len(table)
    with tempfile.TemporaryDirectory() as folder:
        for workers in (1, 2):
            started = time.perf_counter()
            with cluster(None, workers) as client:
                startup = time.perf_counter() - started
                tdcyl.sweep(table[:workers], engine=engine, client=client, chunk=1, progress=False)  # imports
                runs = []
                for r in range(args.repeat):
                    store = os.path.join(folder, f"{workers}-{r}.zarr") if args.store else None
                    before = client.run(time.process_time)
                    started, cpu = time.perf_counter(), time.process_time()
                    ds = tdcyl.sweep(table, engine=engine, client=client, chunk=args.chunk, store=store,
                                     progress=False)
                    wall, cpu = time.perf_counter() - started, time.process_time() - cpu
                    in_workers = sum(v - before[k] for k, v in client.run(time.process_time).items())
                    runs.append((n / wall, 1e3 * in_workers / n, 1e3 * cpu / n))
            rate, in_workers, here = max(runs)
            idle = min(workers / in_workers, cores() / (in_workers + here), 1 / here) * 1e3
            print(f"{workers} worker process{'es' if workers > 1 else ''}: {rate:.3g} curves/s (best of "
                  f"{args.repeat}, {ds.attrs['chunk']} per task; cluster start-up {startup:.1f} s); CPU per curve "
                  f"{in_workers:.2f} ms in the workers, {here:.2f} ms in this process: {idle:.3g} curves/s "
                  f"on idle cores")


if __name__ == "__main__":
    main()
