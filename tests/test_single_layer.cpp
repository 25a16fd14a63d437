// Single homogeneous cylinder: the rim correction far out, the on-axis limits
// and the symmetries of the lateral series.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "model/single_layer.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

using namespace testing_support;

RunState Single(long double a, long double rho, long double rho0, long double phi, long double musp = 1) {
    RunState s = MakeState({{musp, 0.01L, 1.4L, 40}}, a, rho, rho0, phi);
    DeriveQuantities(s);
    return s;
}

// Largest relative difference of the curves a and b over the samples within
// six decades of b's peak (NaN if any is).
double Difference(const RunState& a, const RunState& b) {
    std::vector<double> fa(kFftLength, 0.0), fb(kFftLength, 0.0);
    SingleLayerReflectance(a, fa.data());
    SingleLayerReflectance(b, fb.data());
    double peak = 0, worst = 0;
    for (int g = 1; g <= kFftLength / 2; ++g) peak = std::max(peak, std::fabs(fb[static_cast<std::size_t>(g)]));
    for (int g = 1; g <= kFftLength / 2; ++g) {
        const double x = fa[static_cast<std::size_t>(g)], y = fb[static_cast<std::size_t>(g)];
        const double d = std::fabs(x - y) / std::fabs(y);
        if (std::fabs(y) >= peak * 1e-6 && !(d <= worst)) worst = d;
    }
    return worst;
}

// Far beyond the zero-frequency decay length the rim correction is tiny but
// not zero: with the source on the axis it is I0(alpha rho) K0(alpha a') /
// I0(alpha a'), here against the large-argument expansions (|alpha rho| ~ 700,
// where ten terms are exact to rounding).
TEST(SingleLayer, RimCorrectionAtLargeRadiusAndFrequency) {
    using C = std::complex<long double>;
    const RunState s = Single(120, 110, 0, 0, 10);
    const long double omega = FrequencyOmega(1, 512), ap = s.a + s.zb;
    const C alpha = std::sqrt(C(s.mua[0] / s.D[0], omega * s.n[0] / (kSpeedOfLight * s.D[0])));
    ASSERT_GT(alpha.real() * ap, 560);
    auto series = [](C z, long double sign) {  // sum (sign)^k ((2k-1)!!)^2 / (k! (8z)^k)
        C sum = 1, t = 1;
        for (int k = 1; k < 10; ++k) {
            t *= sign * static_cast<long double>((2 * k - 1) * (2 * k - 1)) / (static_cast<long double>(k) * 8.0L * z);
            sum += t;
        }
        return sum;
    };
    const C zr = alpha * s.rho, za = alpha * ap;
    const C expected = std::exp(alpha * (s.rho - 2 * ap)) * std::sqrt(kPi / (2.0L * za)) * std::sqrt(za / zr) *
                       series(zr, 1) * series(za, -1) / series(za, 1);
    const Cx got = SingleLayerCorrection(s, omega);
    ASSERT_GT(std::abs(expected), 1e-300L);  // within the range of the double spectrum
    EXPECT_LT(std::abs(C(got.re, got.im) - expected), 1e-15L * std::abs(expected)) << std::abs(expected);
}

TEST(SingleLayer, SmallOffsetsApproachTheOnAxisBranches) {
    // The 51-order addition-theorem series against the axial forms, with the
    // source and with the detector on the axis; at right angles the offset of
    // 1e-5 mm changes the distance by less than 1e-11 mm, the orders m >= 1 less.
    EXPECT_LT(Difference(Single(20, 8, 1e-5L, kPi / 2), Single(20, 8, 0, 0)), 1e-9);
    EXPECT_LT(Difference(Single(20, 1e-5L, 7, kPi / 2), Single(20, 0, 7, 0)), 1e-9);
}

TEST(SingleLayer, MirrorImageAndReciprocity) {
    const RunState base = Single(20, 15, 12, 2.5L);
    EXPECT_LT(Difference(Single(20, 15, 12, -2.5L), base), 1e-13);
    EXPECT_LT(Difference(Single(20, 15, 12, 2 * kPi - 2.5L), base), 1e-9);
    EXPECT_LT(Difference(Single(20, 12, 15, 2.5L), base), 1e-11);
}

}  // namespace
}  // namespace tdcyl
