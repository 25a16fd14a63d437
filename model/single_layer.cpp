#include "model/single_layer.hpp"

#include <cmath>
#include <vector>

#include "numerics/complex_bessel.hpp"
#include "numerics/real_fft.hpp"

namespace tdcyl {
namespace {

constexpr int kOrders = 51;  // orders 0 .. 50 of the addition-theorem series

// (2m/z) w for z = alpha*r, as 2m (w conj z)/|z|^2.
Cx TwoMOverZ(int m, Cx w, Cx z, Extended z2) {
    const Cx p = CMul(w, Cx{z.re, -z.im});
    return {2 * m * p.re / z2, 2 * m * p.im / z2};
}

// I_m(z) for m = 0..50 by downward recurrence from I_50, I_49.
void IOrders(Cx z, Extended z2, std::vector<Cx>& I) {
    CBesselI(50, z, I[50]);
    CBesselI(49, z, I[49]);
    for (int m = 49; m >= 1; --m) {
        const Cx t = TwoMOverZ(m, I[static_cast<std::size_t>(m)], z, z2);
        I[static_cast<std::size_t>(m - 1)] = {I[static_cast<std::size_t>(m + 1)].re + t.re,
                                              I[static_cast<std::size_t>(m + 1)].im + t.im};
    }
}

// I0(alpha r) K0(alpha a') / I0(alpha a'): the boundary correction for source
// and detector on the axis; with one of them on the axis only order 0 survives.
Cx AxialCorrection(Cx alpha, Extended r, Extended ap) {
    const Cx i0r = CBesselIDirect(0, Cx{alpha.re * r, alpha.im * r});
    const Cx k0 = CBesselK(0, Cx{alpha.re * ap, alpha.im * ap});
    const Cx num = CMul(i0r, k0);
    const Cx i0a = CBesselIDirect(0, Cx{alpha.re * ap, alpha.im * ap});
    return CDiv(num, i0a);
}

}  // namespace

// Boundary correction of the disk Green's function with zero fluence on the
// extrapolated rim a' = a + zb, at one modulation frequency.
Cx SingleLayerCorrection(const RunState& s, Extended omega) {
    const Extended mua = s.mua[0], D = s.D[0], n = s.n[0];
    const Extended ap = s.a + s.zb;
    const Cx alpha = CSqrt(Cx{mua / D, omega / (D * (kSpeedOfLight / n))});

    // At high frequency and large radius I_m(alpha a') leaves the Extended
    // range while the correction, of order e^{-Re alpha (2a' - rho - rho0)}
    // <= e^{-Re alpha a'}, is far below what a double can hold: it is 0.
    if (alpha.re * ap > 5000) return {0, 0};
    if (s.rho0 == 0) return AxialCorrection(alpha, s.rho, ap);
    // Detector on the axis: I_m(0) = 0 for m >= 1, so the series reduces to
    // its order-0 term (source and detector swap roles by reciprocity).
    if (s.rho == 0) return AxialCorrection(alpha, s.rho0, ap);

    std::vector<Cx> I0s(kOrders), Is(kOrders), Ia(kOrders), Ka(kOrders);
    const Cx z0{alpha.re * s.rho0, alpha.im * s.rho0};
    const Cx zr{alpha.re * s.rho, alpha.im * s.rho};
    const Cx za{alpha.re * ap, alpha.im * ap};
    auto sq = [&](Extended r) { return (alpha.re * r) * (alpha.re * r) + (alpha.im * r) * (alpha.im * r); };
    IOrders(z0, sq(s.rho0), I0s);
    IOrders(zr, sq(s.rho), Is);
    const Extended za2 = sq(ap);
    IOrders(za, za2, Ia);
    Ka[0] = CBesselK(0, za);
    Ka[1] = CBesselK(1, za);
    for (int m = 1; m <= 49; ++m) {
        const Cx t = TwoMOverZ(m, Ka[static_cast<std::size_t>(m)], za, za2);
        Ka[static_cast<std::size_t>(m + 1)] = {Ka[static_cast<std::size_t>(m - 1)].re + t.re,
                                               Ka[static_cast<std::size_t>(m - 1)].im + t.im};
    }

    Cx S{0, 0};
    for (int m = 0; m < kOrders; ++m) {
        const auto u = static_cast<std::size_t>(m);
        const Cx term = CDiv(CMul(CMul(I0s[u], Is[u]), Ka[u]), Ia[u]);
        const Extended f = AzimuthalWeight(s, m);
        S.re += term.re * f;
        S.im += term.im * f;
    }
    return S;
}

void PrepareSingleLayerFactors(RunState& s) { StoreAzimuthalWeights(s, kOrders); }

void SingleLayerTimeDomain(const RunState& s, double* fft) {
    const Extended mua = s.mua[0], D = s.D[0], l = s.l[0], zb = s.zb, z0 = s.z0;
    const Extended v = kSpeedOfLight / s.n[0];
    const Extended r2 = s.rho * s.rho + s.rho0 * s.rho0 - 2 * s.rho * s.rho0 * std::cos(s.phi);
    const int G = kFftLength / (2 * s.M);
    for (int g = 1; g <= G; ++g) {
        const Extended t = g * 1e-11L;
        const Extended fourDvt = 4 * D * v * t;
        // Image sources of the slab with extrapolated boundaries zb at both faces.
        Extended Z = 0;
        for (int j = -15; j <= 15; ++j) {
            const Extended zp = 2 * j * l + 4 * j * zb + z0;
            const Extended zm = 2 * j * l + (4 * j - 2) * zb - z0;
            Z += zp * std::exp(-(zp * zp) / fourDvt) - zm * std::exp(-(zm * zm) / fourDvt);
        }
        const Extended W = std::exp(-mua * v * t) * 1e-9L / (2 * t);
        const std::size_t idx = static_cast<std::size_t>(g * s.M);
        const Extended F = static_cast<Extended>(fft[idx]) * 2 * s.M * 100 / 1024;
        const Extended pidvt = 12.566370614359172L * D * v * t;
        const Extended R = Z * (W * std::exp(-r2 / fourDvt) - F) / (pidvt * std::sqrt(pidvt));
        fft[idx] = static_cast<double>(R);
    }
}

void SingleLayerReflectance(const RunState& s, double* fft) {
    for (int k = 0; k < kFrequencyCount; ++k) PackSpectrum(fft, k, SingleLayerCorrection(s, FrequencyOmega(s.M, k)));
    realft(fft, 512, -1);
    SingleLayerTimeDomain(s, fft);
}

}  // namespace tdcyl
