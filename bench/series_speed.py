"""Rates of recording tracking (fit_series) in channel-frames per second of CPU, beside one
faithful curve of the same model measured in the same run, and the cost of the model's moments
with four derivatives against one fast curve; the synthetic recording of
examples/track_recording.py (two layers, 1e6 counts per DTOF), one thread.

CPU seconds (process time, every thread of the process) are the per-core measure on a shared
machine; wall seconds are printed beside them.

    PYTHONPATH=build/python /usr/bin/python3 bench/series_speed.py [--channels 16] [--frames 2000]
"""
import argparse
import os
import pathlib
import sys
import time
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # one core: no BLAS threads spinning beside the work
import numpy as np  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import track_recording as ex  # noqa: E402

import tdcyl  # noqa: E402

LAYERS = ex.MODEL["layers"]
RADIUS = ex.MODEL["radius"]
FREE4 = ("mua1", "musp1", "mua2", "musp2")


def clocked(f, repeat=1):
    """CPU and wall seconds per call (the smallest of `repeat`), and the last result."""
    best_cpu, best_wall, out = np.inf, np.inf, None
    for _ in range(repeat):
        c, w = time.process_time(), time.perf_counter()
        out = f()
        best_cpu, best_wall = min(best_cpu, time.process_time() - c), min(best_wall, time.perf_counter() - w)
    return best_cpu, best_wall, out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--channels", type=int, default=16, help="detectors from 10 to 40 mm (moments method)")
    ap.add_argument("--frames", type=int, default=2000, help="frames of the moments method's recording")
    ap.add_argument("--nonlinear-frames", type=int, default=300, help="10 s of rest, then changes")
    args = ap.parse_args()
    warnings.simplefilter("ignore")

    faithful, faithful_wall, _ = clocked(lambda: tdcyl.reflectance(LAYERS, RADIUS, 30.0, engine="faithful",
                                                                   threads=1))
    print(f"one faithful curve (rho = 30 mm): {faithful * 1e3:.0f} ms CPU ({faithful_wall * 1e3:.0f} ms wall)")
    fast, _, _ = clocked(lambda: tdcyl.reflectance(LAYERS, RADIUS, 30.0, threads=1, all_samples=True), 10)
    mom, _, m = clocked(lambda: tdcyl.moments(LAYERS, RADIUS, 30.0, derivatives=FREE4), 20)
    print(f"one fast curve: {fast * 1e3:.2f} ms; moments with four derivatives: {mom * 1e3:.2f} ms = "
          f"{mom / fast:.3f} of the fast curve, {mom / faithful:.1e} of the faithful one (target <= 0.25)")
    t = np.arange(0.25, 16000, 0.5)
    R = tdcyl.reflectance(LAYERS, RADIUS, 30.0, times_ps=t, all_samples=True, tolerance=1e-12).reflectance
    n = np.trapz(R, t)
    mean = np.trapz(R * t, t) / n
    var = np.trapz(R * (t - mean) ** 2, t) / n
    worst = max(abs(n / m.N - 1), abs(mean / m.mean_ps - 1), abs(var / m.variance_ps2 - 1))
    print(f"moments against the curve's own (trapezoid, 0.5 ps to 16 ns): largest relative difference "
          f"{worst:.1e} (target 1e-6)")

    rhos = tuple(np.linspace(10, 40, args.channels))
    c, w, (channels, true, times) = clocked(lambda: ex.recording(frames=args.frames, period_s=0.1, rhos=rhos))
    print(f"synthetic recording: {args.channels} channels x {args.frames} frames at 10 Hz ({w:.1f} s to make)")
    rest = np.flatnonzero(times < ex.REST_S)
    for method, frames in (("moments", args.frames), ("nonlinear", args.nonlinear_frames)):
        part = [dict(ch, counts=ch["counts"][:frames]) for ch in channels]
        cpu, wall, res = clocked(lambda: tdcyl.fit_series(part, ex.MODEL, ("mua1", "mua2"), method=method,
                                                          baseline=rest, threads=1))
        base = res.baseline.wall_time_s  # the baseline fit, once per recording
        n_cf = frames * len(part)
        rate = n_cf / max(cpu - base, 1e-9)
        print(f"{method:<9s}: {n_cf} channel-frames in {cpu:.2f} s CPU ({wall:.2f} s wall; baseline fit "
              f"{base:.2f} s wall), {res.model_calls} model calls: {rate:,.0f} channel-frames/s per core "
              f"without the baseline fit; one channel-frame = {1 / rate / faithful:.1e} of a faithful curve")
        if method == "moments":
            print(f"           one hour of 16 channels at 10 Hz (576,000 DTOFs) at this rate: "
                  f"{576000 / rate / 60:.1f} min on one core")
        else:
            print(f"           a 1000-frame excerpt of 16 channels at this rate: {16000 / rate:.0f} s on one core")
        summary = ex.summary(res, {k: v[:frames] for k, v in true.items()}, times[:frames] < ex.REST_S)
        for name, (r, zm, zs) in summary.items():
            print(f"           {name}: correlation {r:.3f}, (estimate - truth)/stderr mean {zm:+.2f} spread {zs:.2f}")


if __name__ == "__main__":
    main()
