#!/usr/bin/env python3
"""Independent reference curves of the layered cylinder at arbitrary times.

The depth factor of every term is written afresh from the diffusion equation
(the impedance -D G'/G carried up from the extrapolated bottom face, the
source's jump in flux, the extrapolated top face), in 80-bit arithmetic, and
the Laplace transform is inverted on Talbot contours (a different family and
many more nodes than the engine's parabolic windows), one contour per time.
Zeros of J_m and radial weights at 25 digits (mpmath); Reff from the
Fresnel moments by adaptive quadrature. Two node counts are compared, so each
value carries its own accuracy.

    scripts/layered_reference.py OUT.json       the cases of bench/contour_promise.py
"""
import json
import sys

import mpmath
import numpy as np
from scipy import special
from scipy.integrate import quad

LIGHT = 299792458000.0  # mm/s
LD = np.longdouble
CLD = np.clongdouble


def reff(n):
    """Effective reflection coefficient of a face between index n and air."""
    if n == 1.0:
        return 0.0
    tc = np.arcsin(1 / n)

    def fresnel(t):
        ct = np.cos(t)
        cT = np.sqrt(1 - (n * np.sin(t)) ** 2)
        rs = (n * ct - cT) / (n * ct + cT)
        rp = (ct - n * cT) / (ct + n * cT)
        return 0.5 * (rs * rs + rp * rp)

    opts = dict(epsabs=0, epsrel=1.2e-14, limit=200)
    r_phi = quad(lambda t: 2 * np.sin(t) * np.cos(t) * fresnel(t), 0, tc, **opts)[0] + np.cos(tc) ** 2
    r_j = quad(lambda t: 3 * np.sin(t) * np.cos(t) ** 2 * fresnel(t), 0, tc, **opts)[0] + np.cos(tc) ** 3
    return (r_phi + r_j) / (2 - r_phi + r_j)


class Cylinder:
    """Layers (musp, mua, n, l) top first, radius a, detector rho, source rho0, azimuth phi."""

    def __init__(self, layers, a, rho, rho0=0.0, phi=0.0, orders=1):
        self.layers = [tuple(map(float, l)) for l in layers]
        musp, mua, n, _ = self.layers[0]
        self.D = [LD(1) / (3 * LD(l[0])) for l in self.layers]
        A = lambda nn: (1 + reff(nn)) / (1 - reff(nn))
        self.z0 = LD(1) / (LD(musp) + LD(mua))
        self.zb = 2 * LD(A(n)) * self.D[0]
        self.zb_bot = 2 * LD(A(self.layers[-1][2])) * self.D[-1]
        self.ap = float(LD(a) + self.zb)
        # Zeros until e^(-s z0) leaves nothing a long double sum can see;
        # zeros and weights at 25 digits (double ones move R by up to 1e-8 of
        # the peak where the terms cancel).
        mpmath.mp.dps = 25
        jmax = 48 * self.ap / float(self.z0)
        s2, w = [], []
        for m in range(orders if rho0 > 0 else 1):
            az = 1 if m == 0 else 2 * mpmath.cos(m * mpmath.mpf(phi))
            approx = special.jn_zeros(m, max(4, int(jmax / np.pi) + 4))
            for k, guess in enumerate(approx[approx <= jmax + np.pi], start=1):
                j = mpmath.besseljzero(m, k)
                s = j / mpmath.mpf(self.ap)
                wm = az * mpmath.besselj(m, rho * s) / mpmath.besselj(m + 1, j) ** 2
                if rho0 > 0:
                    wm *= mpmath.besselj(m, rho0 * s)
                s2.append(LD(mpmath.nstr(s * s, 22)))
                w.append(LD(mpmath.nstr(wm, 22)))
        self.s2 = np.array(s2, dtype=LD)
        self.w = np.array(w, dtype=LD)

    def transform(self, p):
        """R~(p), mm^-2 s, for an array of complex p (1/s)."""
        out = np.empty(len(p), dtype=CLD)
        for i in range(0, len(p), 16):
            out[i:i + 16] = self._chunk(np.asarray(p[i:i + 16], dtype=CLD))
        return out

    def _chunk(self, p):
        s2 = self.s2[None, :]
        P = p[:, None]
        alpha = []
        for (musp, mua, n, l), D in zip(self.layers, self.D):
            alpha.append(np.sqrt(s2 + (LD(mua) + P * LD(n) / LD(LIGHT)) / D))
        N = len(self.layers)
        tanh = lambda x: -np.expm1(-2 * x) / (1 + np.exp(-2 * x))
        # Impedance Q = -D G'/G: at the bottom face's extrapolated boundary G = 0.
        aN = alpha[-1]
        lN = LD(self.layers[-1][3])
        if N == 1:
            q = 1 / tanh(aN * self.zb_bot)
        else:
            Q = self.D[-1] * aN / tanh(aN * (lN + self.zb_bot))
            for i in range(N - 1, 0, -1):
                # Up across the interface into layer i-1 (index jump), then through it.
                Q = Q * (LD(self.layers[i][2]) / LD(self.layers[i - 1][2])) ** 2
                if i - 1 > 0:
                    Da = self.D[i - 1] * alpha[i - 1]
                    th = tanh(alpha[i - 1] * LD(self.layers[i - 1][3]))
                    Q = Da * (Q + Da * th) / (Da + Q * th)
            q = Q / (self.D[0] * alpha[0])
        a1 = alpha[0]
        th = tanh(a1 * (LD(self.layers[0][3]) - self.z0))
        T = (th + q) / (1 + q * th)
        w2 = np.exp(-2 * a1 * (self.z0 + self.zb))
        S = np.exp(-a1 * self.z0) * (1 + np.exp(-2 * a1 * self.zb)) / ((1 + w2) + (1 - w2) * T)
        return (S * self.w[None, :]).sum(axis=1) / (LD(np.pi) * LD(self.ap) ** 2)


SIGMA, MU, ALPHA, NU = LD(-0.6122), LD(0.5017), LD(0.6407), LD(0.2645)


def talbot(cyl, t_s, nodes):
    """R(t) in mm^-2 s^-1 at times t_s (s) on Talbot contours of `nodes` nodes."""
    theta = (np.arange(nodes // 2, dtype=LD) + LD(0.5)) * (2 * LD(np.pi) / nodes)
    out = []
    for t in np.asarray(t_s, dtype=LD):
        sc = nodes / t
        z = sc * (SIGMA + MU * (theta / np.tan(ALPHA * theta) + 1j * NU * theta))
        dz = sc * MU * (1 / np.tan(ALPHA * theta) - ALPHA * theta / np.sin(ALPHA * theta) ** 2 + 1j * NU)
        F = cyl.transform(z)
        out.append((2 / LD(nodes)) * np.sum((np.exp(z * t) * F * dz / 1j).real))
    return np.array(out, dtype=LD)


def cases():
    """The layered cases: heads with a CSF layer, a 1-mm superficial layer, a buried absorber."""
    head = [(1.2, 0.015, 1.4, 3), (0.9, 0.01, 1.4, 7), (0.1, 0.004, 1.33, 2), (1.1, 0.02, 1.4, 60)]
    thin = [(1.5, 0.02, 1.4, 1), (1.0, 0.01, 1.4, 10), (1.2, 0.015, 1.4, 50)]
    absorber = [(1.0, 0.01, 1.4, 8), (1.0, 0.1, 1.4, 4), (1.0, 0.01, 1.4, 50)]
    return [
        ("head, a 150, rho 25", head, 150, 25, 0, 0, 0),
        ("absorber, a 150, rho 25", absorber, 150, 25, 0, 0, 0),
        ("thin, a 150, rho 20", thin, 150, 20, 0, 0, 0),
        ("head, a 30, rho 29 (rim)", head, 30, 29, 0, 0, 0),
        ("absorber, a 30, rho 15", absorber, 30, 15, 0, 0, 0),
        ("thin, a 30, rho 29 (rim)", thin, 30, 29, 0, 0, 0),
        ("head, a 8, rho 7 (rim)", head, 8, 7, 0, 0, 0),
        ("thin, a 8, rho 4", thin, 8, 4, 0, 0, 0),
        ("absorber, a 8, rho 3", absorber, 8, 3, 0, 0, 0),
        ("head, a 30, rho0 10, rho 15, phi pi", head, 30, 15, 10, np.pi, 16),
        ("absorber, a 8, rho0 3, rho 4, phi 2", absorber, 8, 4, 3, 2.0, 16),
        ("thin, a 30, rho0 5, rho 20, phi 1", thin, 30, 20, 5, 1.0, 16),
    ]


def times_ps():
    return np.concatenate([np.arange(20, 260, 10), np.arange(260, 1000, 80), np.arange(1000, 5121, 400)]).astype(float)


def main(out):
    t_ps = times_ps()
    result = []
    for name, layers, a, rho, rho0, phi, orders in cases():
        cyl = Cylinder(layers, a, rho, rho0, phi, orders)
        v1 = talbot(cyl, t_ps * 1e-12, 64) * LD(1e-12)
        v2 = talbot(cyl, t_ps * 1e-12, 80) * LD(1e-12)
        peak = float(np.max(np.abs(v2)))
        apart = np.abs(np.array(v1 - v2, dtype=float)) / peak
        print(f"{name}: {len(cyl.s2)} terms, peak {peak:.6g}, two rules apart by {apart.max():.2g} of the peak", flush=True)
        result.append(dict(name=name, layers=layers, radius=a, rho=rho, rho0=rho0, phi=float(phi), mmax=orders - 1 if rho0 > 0 else 0,
                           t_ps=t_ps.tolist(), reflectance=[float(x) for x in v2], apart=apart.tolist()))
        with open(out, "w") as f:
            json.dump(result, f, indent=1)


if __name__ == "__main__":
    main(sys.argv[1])
