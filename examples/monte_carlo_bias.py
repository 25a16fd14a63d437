#!/usr/bin/env python3
"""
Bias of a diffusion fit, measured on Monte Carlo data of the same geometry
==========================================================================

One Monte Carlo run (pencil beam, 2-mm rings at each distance) is the truth:
at each distance its curve is convolved with a Gaussian IRF (150 ps FWHM),
scaled to the counts the run can support (no more than its effective number
of detected photons, so that its own noise stays below the added Poisson
noise's order) and fitted by tdcyl.fit with mu_a and mu_s' of the bottom
layer free (--free both: of the top layer too; the other layers at their
true values). The bias is the
fitted value over the true one, minus 1; sigma is the fit's standard error.

    PYTHONPATH=build/python python3 examples/monte_carlo_bias.py [--geometry head|muscle] [--photons P]
        [--free bottom|both] [--splitting MM] [--store RUN.zarr]

--splitting doubles the photons every MM mm from the source (unbiased; it
pays at 20 mm and beyond). --store keeps the run in a Zarr store, and a
later call with the same store fits it again without a new run.
"""
import argparse
import math
import os
import time
import warnings

import numpy as np

import tdcyl

GEOMETRIES = {
    # About 800 nm. The CSF scatters little (mu_s' 0.3 /mm): diffusion's weak point.
    "head": [tdcyl.Layer(1.9, 0.018, 1.4, 3.0, g=0.9), tdcyl.Layer(1.6, 0.016, 1.4, 7.0, g=0.9),
             tdcyl.Layer(0.3, 0.004, 1.33, 2.0, g=0.9), tdcyl.Layer(2.2, 0.036, 1.4, 60.0, g=0.9)],
    "muscle": [tdcyl.Layer(1.2, 0.003, 1.4, 5.0, g=0.9), tdcyl.Layer(0.8, 0.02, 1.4, 60.0, g=0.9)],
}
RADIUS = 80.0
RHOS = [10.0, 20.0, 30.0, 40.0]
BIN_PS = 10.0
IRF_FWHM_PS = 150.0
FIT_RANGE = (0.05, 0.001)  # from the rising edge, as four parameters need (see fit_two_layers.py)
LEAST_COUNTS = 2000


def measurement(mc, i, counts, rng):
    """Bin centres, IRF and Poisson counts of distance i of the Monte Carlo result."""
    t = mc.t_ps
    sigma = IRF_FWHM_PS / (2 * math.sqrt(2 * math.log(2)))
    irf = np.exp(-0.5 * ((t - 500.0) / sigma) ** 2)
    expected = np.clip(tdcyl.convolve_irf(t, mc.reflectance[i], t, irf), 0, None)
    return t, irf, rng.poisson(expected * counts / expected.sum()).astype(float)


def fit_bias(layers, mc, i, counts, seed, both):
    t, irf, data = measurement(mc, i, counts, np.random.default_rng(seed))
    n = len(layers)
    free = (("mua1", "musp1") if both else ()) + (f"mua{n}", f"musp{n}")
    start = [tdcyl.Layer(l.musp * 0.9, l.mua * 1.1, l.n, l.thickness) if k == n - 1 or (both and k == 0) else
             tdcyl.Layer(*l) for k, l in enumerate(layers)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        r = tdcyl.fit(t, data, irf=(t, irf), model=dict(layers=start, radius=RADIUS, rho=float(mc.rho[i])),
                      free=free, shift=False, fit_range=FIT_RANGE)
    truth = {"mua1": layers[0].mua, "musp1": layers[0].musp, f"mua{n}": layers[-1].mua,
             f"musp{n}": layers[-1].musp}
    return {k: (r.values[k] / truth[k] - 1, r.stderr[k] / truth[k]) for k in free}, r.success


def main():
    ap = argparse.ArgumentParser(description="Bias of a diffusion fit, measured on Monte Carlo data of the same geometry")
    ap.add_argument("--geometry", choices=sorted(GEOMETRIES), default="muscle")
    ap.add_argument("--photons", type=int, default=400_000)
    ap.add_argument("--counts", type=float, default=1e6, help="most counts per curve")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--free", choices=("bottom", "both"), default="bottom")
    ap.add_argument("--splitting", type=float, default=0.0, help="radial splitting distance in mm (0: off)")
    ap.add_argument("--store", help="Zarr store of the run: read when it exists, else written")
    args = ap.parse_args()
    layers = GEOMETRIES[args.geometry]
    started = time.perf_counter()
    if args.store and os.path.exists(args.store):
        mc = tdcyl.MonteCarloResult.load(args.store)
        print(f"{args.geometry}: {mc.photons} photons read from {args.store}")
    else:
        mc = tdcyl.monte_carlo(layers, radius=RADIUS, rho=RHOS, photons=args.photons, seed=args.seed, width=2.0,
                               bins_ps=np.arange(0.0, 3000.0 + BIN_PS / 2, BIN_PS), splitting=args.splitting)
        print(f"{args.geometry}: {args.photons} photons in {time.perf_counter() - started:.0f} s")
        if args.store:
            mc.save(args.store)
    for i, (rho, n_eff) in enumerate(zip(mc.rho, mc.effective_photons())):
        counts = min(args.counts, n_eff)
        if counts < LEAST_COUNTS:
            print(f"rho = {rho:g} mm: {n_eff:.0f} effective photons, too few to fit")
            continue
        bias, success = fit_bias(layers, mc, i, counts, args.seed, args.free == "both")
        cells = ", ".join(f"{k} {100 * b:+.1f} % (sigma {100 * s:.1f} %)" for k, (b, s) in bias.items())
        print(f"rho = {rho:g} mm, {counts:.3g} counts{'' if success else ' (fit not accepted)'}: {cells}")


if __name__ == "__main__":
    main()
