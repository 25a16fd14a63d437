"""Seconds and model calls of the README's four-parameter two-layer fit
(examples/fit_two_layers.py), numeric against exact Jacobian, one thread, in
one run; beside them what a fit call costs: a curve with and without its four
derivatives, and one faithful-engine curve of the same model (the yardstick on
a shared machine).

    PYTHONPATH=build/python /usr/bin/python3 bench/fit_speed.py [--repeat R] [--seeds S] [--shift]
"""
import argparse
import pathlib
import statistics
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import fit_two_layers as ex  # noqa: E402

import tdcyl  # noqa: E402


def timed(f, repeat):
    """Median and smallest wall time of `repeat` calls, and the last result."""
    times, out = [], None
    for _ in range(repeat):
        started = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - started)
    return statistics.median(times), min(times), out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5, help="fits per seed and Jacobian")
    ap.add_argument("--seeds", type=int, default=2)
    ap.add_argument("--shift", action="store_true", help="fit a time shift too (fit's default)")
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    t, irf, expected = ex.measurement()

    grid = 10.0 * np.arange(1, 513)
    start = ex.geometry(ex.START)
    curve = dict(engine="fast", all_samples=True, threads=1)
    rows = [("fast curve, 10 ps grid", lambda: tdcyl.reflectance(**start, **curve)),
            ("fast curve at the grid's 512 times (contour)", lambda: tdcyl.reflectance(**start, times_ps=grid, **curve)),
            ("  + 4 exact derivatives", lambda: tdcyl.reflectance(**start, times_ps=grid, derivatives=ex.FREE, **curve)),
            ("  + 4 exact derivatives, tolerance 1e-9 (a fit's model)",
             lambda: tdcyl.reflectance(**start, times_ps=grid, derivatives=ex.FREE, tolerance=1e-9, **curve)),
            ("fast curve at 10 times 200 ... 2000 ps", lambda: tdcyl.reflectance(**start, times_ps=grid[19::20][:10], **curve)),
            ("  + 4 exact derivatives", lambda: tdcyl.reflectance(**start, times_ps=grid[19::20][:10],
                                                                  derivatives=ex.FREE, **curve)),
            ("the same 10 times at rho = 10 mm (no cancelling terms)",
             lambda: tdcyl.reflectance(**{**start, "rho": 10.0}, times_ps=grid[19::20][:10], **curve))]
    faithful = timed(lambda: tdcyl.reflectance(**start, engine="faithful", all_samples=True, threads=1), 3)[0]
    print(f"one faithful curve of the model: {faithful * 1e3:.0f} ms (1 thread, median of 3)")
    for name, f in rows:
        med, best, _ = timed(f, 30)
        print(f"{name:<72s} median {med * 1e3:6.2f} ms, best {best * 1e3:6.2f} ms")

    results = {}
    for seed in range(1, args.seeds + 1):
        counts = np.random.default_rng(seed).poisson(np.clip(expected, 0, None)).astype(float)
        for jac in ("numeric", "exact"):
            med, best, r = timed(lambda: tdcyl.fit(t, counts, irf=(t, irf), model=start, free=ex.FREE, shift=args.shift,
                                                   fit_range=ex.FIT_RANGE, threads=1, jac=jac), args.repeat)
            results[seed, jac] = (med, best, r)
            print(f"seed {seed} jac={jac:<8s} median {med * 1e3:6.0f} ms, best {best * 1e3:6.0f} ms, "
                  f"{r.model_calls:3d} model calls, {r.nfev} evaluations, "
                  f"{med / faithful:.3f} of a faithful curve")
        n, e = results[seed, "numeric"][2], results[seed, "exact"][2]
        apart = max(abs(n.values[k] - e.values[k]) / n.stderr[k] for k in n.names)
        print(f"seed {seed}: numeric/exact time {results[seed, 'numeric'][0] / results[seed, 'exact'][0]:.2f}, "
              f"calls {n.model_calls / e.model_calls:.2f}; values apart by at most {apart:.1e} sigma")


if __name__ == "__main__":
    main()
