"""
A recording from file to per-layer time courses
===============================================

A small synthetic recording is written as a SNIRF file with its frames and its IRF (a DTOF per
channel every 0.25 s at 10 and 30 mm over a 12-mm top layer, 1e6 counts, a 150-ps IRF), read
back with ``tdcyl.io.read_snirf(path, frames=True)``, tracked by ``tdcyl.fit_series`` against
its first 10 s (the rest) and drawn as the time courses of both layers' absorption: the deep
layer's mua rises by 0.002 /mm from 10 to 20 s while the top layer's oscillates (made as in
``track_recording.py``). The files go to a temporary folder (``--keep DIR`` keeps them);
``tdcyl-fit --series`` does the same from the command line.

    PYTHONPATH=build/python /usr/bin/python3 examples/track_file.py [--method nonlinear] [--plot course.png]
"""
import argparse
import os
import tempfile

import numpy as np

import tdcyl
import tdcyl.io as tio
from track_recording import IRF, MODEL, T_PS, recording  # the recording of that example, here in a file

RHOS = (10.0, 30.0)


def truth(times_s):
    """mua1 oscillating from 10 s on (on a grid of 5e-5 /mm), mua2 raised from 10 to 20 s."""
    wave = 0.001 * np.sin(2 * np.pi * (times_s - 10.0) / 4.0) * (times_s >= 10.0)
    on = (times_s >= 10.0) & (times_s < 20.0)
    return dict(mua1=0.010 + np.round(wave / 5e-5) * 5e-5, mua2=0.015 + 0.002 * on)


def write_recording(path, frames=120, period_s=0.25):
    """Writes the recording as SNIRF (frames x channels x bins and the IRF per channel); returns the truth."""
    channels, true, times = recording(frames, period_s, RHOS, truth=truth)
    data = np.stack([c["counts"] for c in channels], axis=1)
    m = tio.Measurement(T_PS, data, 12.5, wavelength_nm=760.0, rho_mm=RHOS, frame_times_s=times)
    tio.write_snirf(path, m, tio.Measurement(T_PS, [IRF, IRF], 12.5, wavelength_nm=760.0, rho_mm=RHOS))
    return true


def main():
    ap = argparse.ArgumentParser(description="A recording from file to per-layer time courses")
    ap.add_argument("--method", choices=("moments", "nonlinear"), default="moments")
    ap.add_argument("--keep", metavar="DIR", help="write the SNIRF file and the table there (default: a temporary "
                    "folder, removed at the end)")
    ap.add_argument("--plot", help="PNG of the time courses (default: shown)")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or scratch
        true = write_recording(os.path.join(folder, "recording.snirf"))
        m = tio.read_snirf(os.path.join(folder, "recording.snirf"), frames=True)
        print(m)
        rest = slice(0, int(np.searchsorted(m.frame_times_s, 10.0)))  # the first 10 s
        res = tdcyl.fit_series(m, MODEL, ("mua1", "mua2"), method=args.method, baseline=rest)
        res.to_csv(os.path.join(folder, "courses.csv"))
        with open(os.path.join(folder, "courses.csv")) as f:
            print("".join(f.readlines()[:3]), end="")
        for name in res.names:
            r = np.corrcoef(res.values[name], true[name])[0, 1]
            print(f"{name}: correlation with the truth {r:.3f}, stderr {res.stderr[name].mean():.2g} /mm")
        res.plot(args.plot, truth=true, title=f"From recording.snirf, tracked by {args.method} (dashed: truth)")


if __name__ == "__main__":
    main()
