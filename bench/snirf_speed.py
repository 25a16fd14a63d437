#!/usr/bin/python3
"""Writes and reads 9 channels x 512 bins with their IRF as SNIRF, the measurement list as arrays and as one group
per column; prints the times, the size and whether the round trip is bit for bit.

    PYTHONPATH=build/python /usr/bin/python3 bench/snirf_speed.py
"""
import os
import tempfile
import time

import numpy as np

import tdcyl.io as tio


def trip(folder, m, irf, lists):
    path = os.path.join(folder, f"m-{lists}.snirf")
    t0 = time.perf_counter()
    tio.write_snirf(path, m, irf=irf, lists=lists)
    t1 = time.perf_counter()
    r = tio.read(path)
    t2 = time.perf_counter()
    same = all(np.asarray(a).tobytes() == np.asarray(b).tobytes() for a, b in
               [(r.t_ps, m.t_ps), (r.counts, m.counts), (r.irf.counts, irf.counts), (r.rho_mm, m.rho_mm),
                (r.wavelength_nm, m.wavelength_nm), (r.bin_width_ps, m.bin_width_ps)])
    print(f"{lists}: write {t1 - t0:.3f} s, read {t2 - t1:.3f} s, {os.path.getsize(path) / 1e6:.3f} MB, "
          f"bit for bit: {same}")


t = 3.3 + (np.arange(512) + 0.5) * 12.2
rng = np.random.default_rng(1)
m = tio.Measurement(t, rng.poisson(1000, (9, 512)), 12.2, np.repeat([690.0, 760.0, 830.0], 3),
                    np.tile([10.0, 20.0, 30.0], 3), acquisition_time_s=2.0)
irf = tio.Measurement(t, rng.poisson(100, (9, 512)), 12.2)
with tempfile.TemporaryDirectory() as folder:
    for lists in ("arrays", "groups"):
        trip(folder, m, irf, lists)
