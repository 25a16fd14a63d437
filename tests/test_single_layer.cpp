// Single homogeneous cylinder: half-space limit, symmetries of the lateral
// series and the on-axis limits.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

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
    long double musp, mua, rho;
};

class SingleLayerHalfSpace : public ::testing::TestWithParam<HalfSpaceCase> {};

TEST_P(SingleLayerHalfSpace, WideThickSlabMatchesClosedForm) {
    const HalfSpaceCase& c = GetParam();
    RunState s = Single(c.musp, c.mua, 200, 200, c.rho, 0, 0);
    std::vector<double> r = Curve(s);
    double peak = 0;
    for (double v : r) peak = std::max(peak, v);
    double worst = 0;
    for (std::size_t j = 0; j < r.size(); ++j) {
        if (r[j] < peak * 1e-3) continue;
        // Closed form in mm^-2 ps^-1; the routine returns mm^-2 ns^-1.
        const double ref = static_cast<double>(
            1000 * SemiInfiniteReflectance(c.musp, c.mua, 1.4L, s.zb, c.rho, 10.0L * static_cast<long double>(j + 1)));
        worst = std::max(worst, std::fabs(r[j] - ref) / ref);
    }
    EXPECT_LT(worst, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Media, SingleLayerHalfSpace,
                         ::testing::Values(HalfSpaceCase{1.0L, 0.01L, 15}, HalfSpaceCase{1.5L, 0.02L, 25},
                                           HalfSpaceCase{0.7L, 0.005L, 10}));

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
                                           SymmetryCase{4, 16, 1.2L}));

}  // namespace
}  // namespace tdcyl
