"""
Tracking a synthetic two-layer recording
========================================

A 12-mm top layer over a deep one (radius 60 mm),
detectors at 10 and 30 mm, a DTOF per channel every 0.2 s with 1e6 counts (150-ps IRF, 12.5-ps
bins, Poisson noise). After 10 s of rest the deep layer's mua rises by 0.002 /mm in blocks of
10 s (on at 10-20, 30-40 and 50-60 s) while the top layer's mua oscillates by 0.001 /mm with a
period of 3.4 s. fit_series tracks both layers by both methods against the rest period.

    PYTHONPATH=build/python /usr/bin/python3 examples/track_recording.py [--plot docs/track_recording.png]
"""
import argparse
import time
import warnings

import numpy as np

import tdcyl

T_PS = 6.25 + 12.5 * np.arange(400)
IRF = np.exp(-0.5 * ((T_PS - 500) / (150 / 2.355)) ** 2)
MODEL = dict(layers=[(1.0, 0.010, 1.4, 12.0), (1.0, 0.015, 1.4, 50.0)], radius=60.0)
REST_S = 10.0


def truth(times_s):
    """mua1 and mua2 at the frame times; mua1 on a grid of 2e-5 /mm (the curves are made once per state)."""
    on = (times_s >= REST_S) & (((times_s - REST_S) // 10) % 2 == 0)
    wave = 0.001 * np.sin(2 * np.pi * (times_s - REST_S) / 3.4) * (times_s >= REST_S)
    return dict(mua1=0.010 + np.round(wave / 2e-5) * 2e-5, mua2=0.015 + 0.002 * on)


def recording(frames=300, period_s=0.2, rhos=(10.0, 30.0), counts=1e6, seed=1, truth=truth):
    """Channels as fit_series takes them (counts frames x bins), the truth (mua1 and mua2 at the frame
    times, from truth(times_s)) and the frame times."""
    times = period_s * np.arange(frames)
    true = truth(times)
    grid = 10.0 * np.arange(1, 513)
    states = {}
    rng = np.random.default_rng(seed)
    data = np.zeros((len(rhos), frames, T_PS.size))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # samples near t = 0 at 30 mm below the tolerance: of no weight here
        for f in range(frames):
            key = (true["mua1"][f], true["mua2"][f])
            if key not in states:
                layers = [(1.0, key[0], 1.4, 12.0), (1.0, key[1], 1.4, 50.0)]
                c = tdcyl.reflectance(layers, MODEL["radius"], list(rhos), times_ps=grid, all_samples=True,
                                      tolerance=1e-8)
                states[key] = np.array([np.clip(tdcyl.convolve_irf(grid, r, T_PS, IRF), 0, None)
                                        for r in c.reflectance])
            data[:, f] = states[key]
    first = states[(true["mua1"][0], true["mua2"][0])]
    data = rng.poisson(data * (counts / first.sum(axis=1))[:, None, None]).astype(float)
    channels = [dict(t_ps=T_PS, counts=data[k], irf=(T_PS, IRF), rho=r) for k, r in enumerate(rhos)]
    return channels, true, times


def summary(res, true, rest):
    """Per parameter: correlation with the truth, mean and spread of (change - true change)/stderr."""
    out = {}
    for name in res.names:
        change = true[name] - true[name][rest].mean()
        z = (res.changes[name].to_numpy() - change) / res.stderr[name].to_numpy()
        out[name] = (np.corrcoef(res.values[name], true[name])[0, 1], z.mean(), z.std())
    return out


def main():
    ap = argparse.ArgumentParser(description="Tracking a synthetic two-layer recording")
    ap.add_argument("--plot", help="PNG of the time courses (moments method)")
    args = ap.parse_args()
    channels, true, times = recording()
    rest = times < REST_S
    for method in ("moments", "nonlinear"):
        started = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            res = tdcyl.fit_series(channels, MODEL, ("mua1", "mua2"), method=method,
                                   baseline=np.flatnonzero(rest), frame_times_s=times)
        took = time.perf_counter() - started
        for name, (r, zm, zs) in summary(res, true, rest).items():
            print(f"{method:<9s} {name}: correlation {r:.3f}, (estimate - truth)/stderr mean {zm:+.2f} "
                  f"spread {zs:.2f}, stderr {res.stderr[name].mean():.2g} /mm")
        print(f"{method:<9s} {len(times)} frames x {len(channels)} channels in {took:.1f} s "
              f"(baseline fit {res.baseline.wall_time_s:.2f} s)")
        if args.plot and method == "moments":
            res.plot(args.plot, truth=true, title="Two layers tracked by their DTOFs' moments (dashed: truth)")


if __name__ == "__main__":
    main()
