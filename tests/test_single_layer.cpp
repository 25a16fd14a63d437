// Single homogeneous cylinder: half-space limit, symmetries of the lateral
// series and the on-axis limits.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "case_names.hpp"
#include "model/single_layer.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

using namespace testing_support;

constexpr long double kReff14 = 0.493477582093524L;

RunState Single(long double musp, long double mua, long double l, long double a, long double rho, long double rho0,
                long double phi, int M = 1) {
    RunState s = MakeState({{musp, mua, 1.4L, l}}, a, rho, rho0, phi, M);
    s.D = {1 / (3 * musp)};
    s.z0 = 1 / (musp + mua);
    s.A_top = (1 + kReff14) / (1 - kReff14);
    s.zb = 2 * s.A_top / (3 * musp);
    return s;
}

std::vector<double> Curve(const RunState& s) {
    std::vector<double> fft(kFftLength, 0.0);
    SingleLayerReflectance(s, fft.data());
    std::vector<double> out;
    for (int g = 1; g <= kFftLength / (2 * s.M); ++g) out.push_back(fft[static_cast<std::size_t>(g * s.M)]);
    return out;
}

struct HalfSpaceCase {
    const char* name;
    long double musp, mua, rho, rho0, phi;
};

class SingleLayerHalfSpace : public ::testing::TestWithParam<HalfSpaceCase> {};

TEST_P(SingleLayerHalfSpace, WideThickSlabMatchesClosedForm) {
    const HalfSpaceCase& c = GetParam();
    RunState s = Single(c.musp, c.mua, 200, 200, c.rho, c.rho0, c.phi);
    std::vector<double> r = Curve(s);
    // Source-detector distance in the plane of the face.
    const long double dist = std::abs(std::polar(c.rho, c.phi) - std::complex<long double>(c.rho0));
    double peak = 0;
    for (double v : r) peak = std::max(peak, v);
    double worst = 0;
    for (std::size_t j = 0; j < r.size(); ++j) {
        if (r[j] < peak * 1e-3) continue;
        // Closed form in mm^-2 ps^-1; the routine returns mm^-2 ns^-1.
        const double ref = static_cast<double>(
            1000 * SemiInfiniteReflectance(c.musp, c.mua, 1.4L, s.zb, dist, 10.0L * static_cast<long double>(j + 1)));
        worst = std::max(worst, std::fabs(r[j] - ref) / ref);
    }
    EXPECT_LT(worst, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Media, SingleLayerHalfSpace,
                         ::testing::Values(HalfSpaceCase{"OnAxis", 1.0L, 0.01L, 15, 0, 0},
                                           HalfSpaceCase{"OnAxisDenser", 1.5L, 0.02L, 25, 0, 0},
                                           HalfSpaceCase{"OffAxis", 0.7L, 0.005L, 16, 9, 2.2L}),
                         [](const auto& info) { return std::string(info.param.name); });

// Far beyond the zero-frequency decay length the rim correction is tiny but
// not zero: with the source on the axis it is I0(alpha rho) K0(alpha a') /
// I0(alpha a'), here against the large-argument expansions (|alpha rho| ~ 700,
// where ten terms are exact to rounding).
TEST(SingleLayerSeries, RimCorrectionAtLargeRadiusAndFrequency) {
    using C = std::complex<long double>;
    const RunState s = Single(10, 0.01L, 40, 120, 110, 0, 0);
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

double MaxRel(const std::vector<double>& a, const std::vector<double>& b, double decades) {
    double peak = 0, worst = 0;
    for (double v : b) peak = std::max(peak, std::fabs(v));
    for (std::size_t j = 0; j < b.size(); ++j)
        if (std::fabs(b[j]) >= peak * std::pow(10.0, -decades))
            worst = std::max(worst, std::fabs(a[j] - b[j]) / std::fabs(b[j]));
    return worst;
}

TEST(SingleLayerSeries, TinySourceOffsetApproachesOnAxisBranch) {
    // The 51-order addition-theorem series must reduce to the axial form.
    std::vector<double> axis = Curve(Single(1, 0.01L, 40, 20, 8, 0, 0));
    std::vector<double> off = Curve(Single(1, 0.01L, 40, 20, 8, 1e-6L, 0.4L));
    EXPECT_LT(MaxRel(off, axis, 6), 1e-9);
}

TEST(SingleLayerSeries, DetectorOnAxisIsTheLimitOfASmallOffset) {
    std::vector<double> exact = Curve(Single(1, 0.01L, 40, 20, 0, 7, 0));
    std::vector<double> near = Curve(Single(1, 0.01L, 40, 20, 1e-6L, 7, 0));
    EXPECT_LT(MaxRel(near, exact, 6), 1e-9);
    for (double v : exact) EXPECT_TRUE(std::isfinite(v));
}

struct SymmetryCase {
    long double rho, rho0, phi;
};

class SingleLayerSymmetry : public ::testing::TestWithParam<SymmetryCase> {};

TEST_P(SingleLayerSymmetry, MirrorAndReciprocity) {
    const SymmetryCase& c = GetParam();
    std::vector<double> base = Curve(Single(1, 0.01L, 40, 20, c.rho, c.rho0, c.phi));
    // Mirror image: phi -> -phi and phi -> 2 pi - phi.
    EXPECT_LT(MaxRel(Curve(Single(1, 0.01L, 40, 20, c.rho, c.rho0, -c.phi)), base, 6), 1e-13);
    EXPECT_LT(MaxRel(Curve(Single(1, 0.01L, 40, 20, c.rho, c.rho0, 2 * kPi - c.phi)), base, 6), 1e-9);
    // Source and detector exchanged.
    EXPECT_LT(MaxRel(Curve(Single(1, 0.01L, 40, 20, c.rho0, c.rho, c.phi)), base, 6), 1e-11);
}

INSTANTIATE_TEST_SUITE_P(Positions, SingleLayerSymmetry,
                         ::testing::Values(SymmetryCase{10, 5, 0.7L}, SymmetryCase{15, 12, 2.5L},
                                           SymmetryCase{4, 16, 1.2L}),
                         [](const auto& info) {
                             return CaseNumber(CaseNumber(CaseNumber("rho", info.param.rho) + "_rho0", info.param.rho0) + "_phi",
                                               info.param.phi);
                         });

}  // namespace
}  // namespace tdcyl
