"""Curves per second of tdcyl.sweep on a local cluster of 1 and 2 worker processes.

    PYTHONPATH=build/python /usr/bin/python3 bench/sweep_rate.py [--engine E] [--repeat R] [--side K]

A two-layer on-axis grid (K x K values of mua1, mua2: 16 cases by default, radius
20 mm, rho 15 mm; the fast engine needs a few hundred cases to measure more than
the scheduling). The rate is the
number of curves over the wall time of the sweep call on a running cluster;
the cluster's start-up is reported apart. Also one direct call per case in
this process, one thread, for comparison.
"""
import argparse
import time

import distributed

import tdcyl


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--engine", default=None)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--side", type=int, default=4, help="values per absorption axis")
    parser.add_argument("--chunk", type=int, default=1, help="cases per task")
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
    print(f"direct calls, one thread: {len(table) / direct:.3g} curves/s")
    for workers in (1, 2):
        started = time.perf_counter()
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=":0", silence_logs=40) as cluster, \
                distributed.Client(cluster, set_as_default=False) as client:
            startup = time.perf_counter() - started
            rates = []
            for _ in range(args.repeat):
                started = time.perf_counter()
                tdcyl.sweep(table, engine=engine, client=client, chunk=args.chunk, progress=False)
                rates.append(len(table) / (time.perf_counter() - started))
        print(f"{workers} worker process{'es' if workers > 1 else ''}: {max(rates):.3g} curves/s "
              f"(best of {args.repeat}; cluster start-up {startup:.1f} s)")


if __name__ == "__main__":
    main()
