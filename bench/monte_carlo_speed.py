"""Speed of tdcyl.monte_carlo on the head geometry (scalp, skull, CSF, brain):
scattering events per second per core, 1 against 2 threads (and 1 against
2 Dask workers with --dask), and the photons and time a TPSF at 30 mm needs
for 1 % noise in its peak bin; with --splitting MM, also the time with radial
splitting, measured in the same run (the bin's variance read off each run
about the peak).

    PYTHONPATH=build/python /usr/bin/python3 bench/monte_carlo_speed.py [--photons P] [--dask]
        [--splitting MM [--split-photons P]]
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
    started, cpu = time.perf_counter(), time.process_time()
    r = tdcyl.monte_carlo(HEAD, photons=photons, seed=1, **GEOMETRY, **kw)
    return time.perf_counter() - started, r, time.process_time() - cpu


def photons_for_one_percent(r, i, peak):
    """Photons for a 1 % standard error in the peak bin of distance i.

    rel^2 = <w^2> / (N <w> R A dt) for N photons, R the peak reflectance, A the
    detector area, w the detected photons' weights (from this run, all bins);
    R is the diffusion curve's peak (the run itself sees few photons there)."""
    w = r.weight[r.detector == i] * np.exp(-(r.paths[r.detector == i].astype(float) @ r.mua))
    if w.size == 0:
        return float("nan")
    area = r.setup["areas"][i]
    return (w @ w / w.sum()) / (1e-4 * peak * area * np.diff(r.edges_ps)[0])


def split_times(args, diffusion, plain, plain_cpu):
    """CPU minutes to 1 % in the peak bin: plain (from its detected weights, as above) against radial
    splitting (from the split run's own variance within +-50 ps of the diffusion peak: copies of one
    photon are correlated, so the weights alone do not tell)."""
    started = time.process_time()
    split = tdcyl.monte_carlo(HEAD, photons=args.split_photons, seed=2, splitting=args.splitting, threads=2,
                              **GEOMETRY)
    split_cpu = time.process_time() - started
    for i, rho in enumerate(plain.rho):
        peak = diffusion[i].reflectance.max()
        near = np.abs(split.t_ps - diffusion[i].t_ps[diffusion[i].reflectance.argmax()]) <= 50
        cost_plain = photons_for_one_percent(plain, i, peak) * plain_cpu / plain.photons / 60
        cost_split = split_cpu * np.mean(split.stderr[i][near] ** 2) / (1e-4 * peak**2) / 60
        print(f"rho = {rho:g} mm: 1 % in the peak bin, CPU minutes: plain {cost_plain:.3g}, splitting "
              f"{args.splitting:g} mm {cost_split:.3g} (gain {cost_plain / cost_split:.2g}x; "
              f"{split.totals['events']:.0f} events per launched photon)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--photons", type=int, default=40960)
    ap.add_argument("--dask", action="store_true", help="also 1 against 2 Dask worker processes")
    ap.add_argument("--splitting", type=float, default=0.0, help="also a run with radial splitting (mm)")
    ap.add_argument("--split-photons", type=int, default=20480)
    args = ap.parse_args()
    one, r, cpu = run(args.photons, threads=1)
    events = r.totals["events"] * args.photons
    print(f"1 thread : {args.photons} photons in {one:.2f} s ({cpu:.2f} s CPU), {events / cpu:.3g} scattering "
          f"events per CPU second, {args.photons / cpu:.4g} photons per CPU second, "
          f"{r.totals['events']:.0f} events per photon")
    two, r2, cpu2 = run(args.photons, threads=2)
    same = np.array_equal(r.reflectance, r2.reflectance)
    print(f"2 threads: {two:.2f} s ({cpu2:.2f} s CPU), speed-up {one / two:.2f} (same result: {same})")
    diffusion = tdcyl.reflectance(HEAD, radius=GEOMETRY["radius"], rho=np.array(GEOMETRY["rho"], float),
                                  tolerance=1e-8, all_samples=True)
    for i, rho in enumerate(r.rho):
        peak = diffusion[i].reflectance.max()
        needed = photons_for_one_percent(r, i, peak)
        t_peak = diffusion[i].t_ps[diffusion[i].reflectance.argmax()]
        print(f"rho = {rho:g} mm: diffusion peak {peak:.3g} /mm^2/ps at {t_peak:g} ps; "
              f"1 % in the peak's {np.diff(r.edges_ps)[0]:g}-ps bin needs {needed:.3g} photons, "
              f"{needed / (args.photons / cpu) / 2 / 60:.3g} min on 2 free cores")
    if args.splitting > 0:
        split_times(args, diffusion, r2, cpu2)
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
