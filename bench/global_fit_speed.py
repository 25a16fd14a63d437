"""Seconds and model calls of the README's global fit (examples/fit_global.py: 3 distances x
3 wavelengths, 8 spectral parameters, 3 starts), numeric against exact Jacobian, one thread,
in one run: the gap between their values in standard errors, their intervals, the exact fit's table.

    PYTHONPATH=build/python /usr/bin/python3 bench/global_fit_speed.py [--seed S] [--profile]
"""
import argparse
import pathlib
import sys
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import fit_global as ex  # noqa: E402

import tdcyl  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--profile", action="store_true", help="profile-likelihood intervals as well")
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    channels = ex.measurement(args.seed)
    fits = {}
    for jac in ("numeric", "exact"):
        r = fits[jac] = tdcyl.fit_global(channels, ex.model(), tuple(ex.TRUE), spectral={**ex.START, **ex.FIXED},
                                         intervals="profile" if args.profile else "linear", threads=1, jac=jac)
        print(f"{jac:>8}: {r.wall_time_s:7.1f} s, {r.model_calls:6d} model calls, deviance {r.chi2:.4f}, "
              f"{r.starts_at_best} of {r.starts} starts at the best")
    n, e = fits["numeric"], fits["exact"]
    print(f"{'':12}{'numeric':>12}{'exact':>12}{'gap/sigma':>10}   intervals numeric | exact")
    for name in ex.TRUE:
        gap = abs(e.values[name] - n.values[name]) / n.stderr[name]
        print(f"{name:<12}{n.values[name]:12.5g}{e.values[name]:12.5g}{gap:10.2g}   "
              f"{n.intervals[name][0]:.4g} - {n.intervals[name][1]:.4g} | "
              f"{e.intervals[name][0]:.4g} - {e.intervals[name][1]:.4g}")
    print(f"\nexact: deviance/dof {e.chi2_red:.4g} ({e.dof} dof)\n" + e.table(ex.TRUE))


if __name__ == "__main__":
    main()
