#!/usr/bin/env python3
"""The fast engine's promise on layered cases, against independent references.

For each case of scripts/layered_reference.py (heads with a CSF layer, a 1-mm
superficial layer, a buried absorber; radii 8, 30, 150 mm; on and off the
axis; 1 mm inside the rim) and each tolerance, the curve at the reference's
times (times_ps, all_samples=True) is compared with the reference. Reported
per case and tolerance: the worst error of a returned sample over tolerance x
peak (the promise: <= 1), the samples left out, and how many of those would
in truth have kept the promise (judged where the reference's two rules agree within a tenth of
the tolerance), and those within two decades of the peak.

    PYTHONPATH=build/python python3 bench/contour_promise.py REF.json [tolerances...]

REF.json comes from `scripts/layered_reference.py REF.json` (minutes).
"""
import json
import sys
import warnings

import numpy as np

import tdcyl


def run(case, tol, t_ps):
    """The engine's samples at t_ps: (values, held) where held marks the kept ones."""
    kw = dict(radius=case["radius"], rho=case["rho"], rho0=case["rho0"], phi=case["phi"], mmax=case["mmax"], tolerance=tol)
    layers = np.array(case["layers"], dtype=float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        every = tdcyl.reflectance(layers, times_ps=t_ps, all_samples=True, **kw)
        try:
            kept = tdcyl.reflectance(layers, times_ps=t_ps, **kw)
            kept_t = set(np.asarray(kept.t_ps)[np.isfinite(np.asarray(kept.reflectance))].tolist())
        except (RuntimeError, ValueError):
            kept_t = set()
    values = np.asarray(every.reflectance, dtype=float)
    held = np.array([t in kept_t for t in t_ps])
    return values, held


def main(path, tolerances):
    cases = json.load(open(path))
    print(f"{'case':44s} {'tol':>7s} {'worst/tol':>9s} {'left out':>9s} {'needless':>8s} {'near peak':>9s}")
    total = left = 0
    for case in cases:
        t_ps = np.array(case["t_ps"])
        ref = np.array(case["reflectance"])
        peak = np.max(np.abs(ref))
        for tol in tolerances:
            values, held = run(case, tol, t_ps)
            err = np.abs(values - ref) / (tol * peak)
            # Samples the reference itself cannot judge at this tolerance are not counted.
            judged = np.array(case["apart"]) < 0.1 * tol
            worst = np.max(err[held & judged]) if (held & judged).any() else float("nan")
            out = ~held
            needless = int(np.sum(out & judged & (err <= 1)))
            near = int(np.sum(out & (np.abs(ref) >= 1e-2 * peak)))
            total += len(t_ps)
            left += int(out.sum()) if tol == 1e-11 else 0
            print(f"{case['name']:44s} {tol:7.0e} {worst:9.3g} {int(out.sum()):4d}/{len(t_ps):<4d} {needless:8d} {near:9d}",
                  flush=True)
    print(f"left out at 1e-11 over all cases: {left} samples")


if __name__ == "__main__":
    tols = [float(x) for x in sys.argv[2:]] or [1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-8, 1e-10, 1e-11]
    main(sys.argv[1], tols)
