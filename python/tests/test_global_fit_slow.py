"""Coverage of the global fit's profile intervals: over 30 noise draws of a one-distance two-layer
measurement, the 95 % profile intervals must hold the truth in at least 90 % of the draws (the
linearised ones are printed beside them). The bottom layer's mu_s' is taken as known: free, its
flat, curved valley takes 10 s of profiling per draw, and on a thin top layer has two minima."""
import math
import warnings

import numpy as np

import tdcyl

T = (np.arange(512) + 0.5) * 12.2
IRF = np.exp(-0.5 * ((T - 800.0) / (150.0 / (2 * math.sqrt(2 * math.log(2))))) ** 2)
TRUE = {"mua1": 0.01, "musp1": 1.0, "mua2": 0.03}
MODEL = dict(layers=[tdcyl.Layer(1.0, 0.01, 1.4, 5.0), tdcyl.Layer(1.5, 0.03, 1.4, 40.0)], radius=30.0)


def test_profile_intervals_hold_the_truth_in_30_draws():
    curve = tdcyl.reflectance(**MODEL, rho=15.0, all_samples=True)
    expected = tdcyl.convolve_irf(curve.t_ps, curve.reflectance, T, IRF)
    expected *= 1e6 / expected.sum()
    hits = {kind: dict.fromkeys(TRUE, 0) for kind in ("linear", "profile")}
    draws = 30
    for seed in range(draws):
        counts = np.random.default_rng(100 + seed).poisson(np.clip(expected, 0, None)).astype(float)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            r = tdcyl.fit_global([dict(t_ps=T, counts=counts, irf=(T, IRF), rho=15.0)], MODEL, tuple(TRUE),
                                 fit_range=(0.05, 0.001), shift=False, intervals="profile", starts=1)
        for name, value in TRUE.items():
            lo, hi = r.intervals[name]
            hits["profile"][name] += lo <= value <= hi
            hits["linear"][name] += abs(r.values[name] - value) <= 1.96 * r.stderr[name]
    table = "\n".join(f"{kind:<8}" + "".join(f"{n}={h[n] / draws:.2f} " for n in TRUE) for kind, h in hits.items())
    print("\ncoverage of the 95 % intervals over", draws, "draws\n" + table)
    assert min(hits["profile"].values()) >= 0.9 * draws, table
