"""Speed of tdcyl.monte_carlo on the head geometry (scalp, skull, CSF, brain):
scattering events per second per core, 1 against 2 threads (and 1 against
2 Dask workers with --dask), and the photons and time a TPSF at 30 mm needs
for 1 % noise in its peak bin.

    PYTHONPATH=build/python /usr/bin/python3 bench/monte_carlo_speed.py [--photons P] [--dask]
"""
import argparse
import time

import numpy as np

import tdcyl

# About 800 nm; thicknesses in mm. The CSF scatters little (mu_s' 0.3 /mm).
HEAD = [tdcyl.Layer(1.9, 0.018, 1.4, 3.0, g=0.9),   # scalp
        tdcyl.Layer(1.6, 0.016, 1.4, 7.0, g=0.9),   # skull
        tdcyl.Layer(0.3, 0.004, 1.33, 2.0, g=0.9),  # CSF
        tdcyl.Layer(2.2, 0.036, 1.4, 60.0, g=0.9)]  # brain
GEOMETRY = dict(radius=80, rho=[10, 20, 30], width=2.0, M=1)


def run(photons, **kw):
    started = time.perf_counter()
    r = tdcyl.monte_carlo(HEAD, photons=photons, seed=1, **GEOMETRY, **kw)
    return time.perf_counter() - started, r


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--photons", type=int, default=40960)
    ap.add_argument("--dask", action="store_true", help="also 1 against 2 Dask worker processes")
    args = ap.parse_args()
    one, r = run(args.photons, threads=1)
    events = r.totals["events"] * args.photons
    print(f"1 thread : {args.photons} photons in {one:.2f} s, {events / one:.3g} scattering events/s, "
          f"{args.photons / one:.4g} photons/s")
    two, r2 = run(args.photons, threads=2)
    same = np.array_equal(r.reflectance, r2.reflectance)
    print(f"2 threads: {two:.2f} s, speed-up {one / two:.2f} (same result: {same})")
    for i, rho in enumerate(r.rho):
        # Effective photon count of the peak bin, (sum w)^2 / sum w^2 = (R / stderr)^2 for rare hits.
        k = int(np.argmax(r.reflectance[i]))
        if r.stderr[i, k] == 0:
            print(f"rho = {rho:g} mm: no photon detected")
            continue
        rel = r.stderr[i, k] / r.reflectance[i, k]
        needed = args.photons * (rel / 0.01) ** 2
        print(f"rho = {rho:g} mm: peak at {r.t_ps[k]:g} ps, {rel:.3f} relative error; 1 % needs "
              f"{needed:.3g} photons, {needed / args.photons * two / 60:.3g} min on 2 cores")
    if args.dask:
        import distributed
        times = {}
        for workers in (1, 2):
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None) as c, \
                    distributed.Client(c) as client:
                run(4096 * workers, client=client, tasks=workers)  # warm up: import, load the module
                times[workers] = run(args.photons, client=client, tasks=8)[0]
        print(f"Dask: 1 worker {times[1]:.2f} s, 2 workers {times[2]:.2f} s, speed-up {times[1] / times[2]:.2f}")


if __name__ == "__main__":
    main()
