#include "bench/baseline/plain_term.hpp"

#include <cmath>

#include "numerics/specified/bessel.hpp"
#include "numerics/j0_zeros.hpp"

namespace tdcyl::baseline {
namespace {

Cx Times(Cx z, Extended c) { return {z.re * c, z.im * c}; }

}  // namespace

void PlainLayeredSpectralTerm(const RunState& s, TermWork& w, int m, int q) {
    const int N = s.N;
    const auto at = [](int i) { return static_cast<std::size_t>(i - 1); };  // 1-based layers

    // Zero and radial wavenumber.
    const Extended z = (s.MMAX == 0) ? static_cast<Extended>(J0Zeros(q))
                                     : s.JnZeroTable[static_cast<std::size_t>(m)][static_cast<std::size_t>(q - 1)];
    const Extended sr = z / (s.a + s.zb);

    // Decay constants.
    for (int i = 1; i <= N; ++i)
        w.alpha[at(i)] = CSqrt(Cx{sr * sr + s.mua[at(i)] / s.D[at(i)], w.omega / (s.D[at(i)] * (kSpeedOfLight / s.n[at(i)]))});
    const Cx a1 = w.alpha[0];

    // Source term.
    const Cx E1 = CExp(Times(a1, -s.z0));
    const Cx E2 = CExp(Times(a1, -(s.z0 + 2 * s.zb)));
    const Cx H{(E1.re + E2.re) / 2, (E1.im + E2.im) / 2};

    // Bottom-up recursion.
    const auto B = [&](int i) { return Times(w.alpha[at(i)], s.D[at(i)]); };
    const auto C = [&](int i) {
        const Extended ratio = s.n[at(i)] / s.n[at(i - 1)];
        return Times(B(i), ratio * ratio);
    };
    Cx P, Q;
    if (N == 2) {
        const Cx Z = Times(w.alpha[at(2)], s.l[at(2)] + s.zb_bot);
        P = CMul(B(1), CSinh(Z));
        Q = CMul(C(2), CCosh(Z));
    } else {
        const Cx Z = Times(w.alpha[at(N)], s.l[at(N)] + s.zb_bot);
        const Cx Y = Times(w.alpha[at(N - 1)], s.l[at(N - 1)]);
        w.RecU[at(N - 2)] = SinhCoshMix(B(N - 1), Z, Y, C(N));
        w.RecV[at(N - 2)] = CoshCoshMix(C(N), Z, Y, B(N - 1));
        for (int p = N - 2; p >= 2; --p) {
            const Cx Yp = Times(w.alpha[at(p)], s.l[at(p)]);
            const Cx T1 = CMul(B(p), w.RecU[at(p)]);
            const Cx T2 = CMul(C(p + 1), w.RecV[at(p)]);
            w.RecU[at(p - 1)] = CoshSinhSum(T1, Yp, T2);
            w.RecV[at(p - 1)] = CoshSinhSum(T2, Yp, T1);
        }
        P = CMul(B(1), w.RecU[0]);
        Q = CMul(C(2), w.RecV[0]);
    }

    // Top layer.
    const Cx Y1 = Times(a1, s.l[0] + s.zb);
    const Cx W = CoshSinhSum(P, Y1, Q);
    const Cx F = CDiv(Cx{P.re - Q.re, P.im - Q.im}, W);
    const Cx G =
        CMul(F, CMul(CMul(CSinh(Times(a1, s.z0 + s.zb)), CCosh(Times(a1, s.zb))), CExp(Times(a1, -(s.l[0] + s.zb)))));
    const Cx S{H.re + G.re, H.im + G.im};

    // Accumulation.
    const double x = static_cast<double>(s.rho * sr);
    const double zd = static_cast<double>(z);
    if (s.MMAX == 0) {
        w.SumRe += BesselJ0(x) * S.re / (static_cast<Extended>(BesselJ1(zd)) * BesselJ1(zd));
        w.SumIm += BesselJ0(x) * S.im / (static_cast<Extended>(BesselJ1(zd)) * BesselJ1(zd));
    } else {
        const Extended eps = Sign(m) + 1;
        const Extended wt = std::cos(m * s.phi) * eps;
        const double x0 = static_cast<double>(s.rho0 * sr);
        const auto square = [](Extended j) { return j * j; };
        w.SumRe += wt * S.re * BesselJn(m, x) * BesselJn(m, x0) / square(BesselJn(m + 1, zd));
        w.SumIm += wt * S.im * BesselJn(m, x) * BesselJn(m, x0) / square(BesselJn(m + 1, zd));
    }
}

}  // namespace tdcyl::baseline
