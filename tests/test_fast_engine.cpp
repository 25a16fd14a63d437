// The fast engine against independent values: the faithful engine on the axis,
// exact identities and limits of the series off it, the closed-form
// semi-infinite flux, the error bound of the truncation, the damped contour,
// and the vector code against its portable form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "app/core/run.hpp"
#include "model/fresnel.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

using namespace testing_support;

RunOptions Fast(double tolerance = 0, bool wraparound = true) {
    RunOptions o;
    o.engine = Engine::fast;
    o.tolerance = tolerance;
    o.wraparound = wraparound;
    return o;
}

RunState TwoLayer(long double a, long double rho, long double rho0, long double phi, int MMAX) {
    return MakeState({{1.0L, 0.01L, 1.4L, 8.0L}, {1.3L, 0.02L, 1.33L, 30.0L}}, a, rho, rho0, phi, 1, MMAX);
}

// Largest |a - b| over the samples of b, relative to b's peak.
double MaxDifferenceOverPeak(const RunResult& a, const RunResult& b) {
    double peak = 0;
    for (double v : b.reflectance) peak = std::max(peak, std::fabs(v));
    double worst = 0;
    for (std::size_t j = 0; j < b.time_ps.size(); ++j) {
        auto it = std::find(a.time_ps.begin(), a.time_ps.end(), b.time_ps[j]);
        if (it == a.time_ps.end()) return INFINITY;
        worst = std::max(worst, std::fabs(a.reflectance[static_cast<std::size_t>(it - a.time_ps.begin())] - b.reflectance[j]));
    }
    return worst / peak;
}

// On the axis the faithful engine is itself within about 5e-8 of the exact
// model (its Reff is 6e-9 off, its J0/J1 a few 1e-15), so the engines agree.
TEST(FastEngine, MatchesFaithfulEngineOnTheAxis) {
    for (const RunState& s : {TwoLayer(15, 10, 0, 0, 0),
                              MakeState({{0.8L, 0.015L, 1.4L, 6}, {1.5L, 0.01L, 1.45L, 7}, {1.1L, 0.02L, 1.33L, 40}}, 12, 9, 0, 0)}) {
        const RunResult faithful = ComputeRun(s);
        const RunResult fast = ComputeRun(s, Fast());
        EXPECT_LT(MaxRelativeDifference(fast, faithful, 3), 2e-7) << "N = " << s.N;
        EXPECT_TRUE(fast.warnings.empty());
    }
}

// J0(rho0 s) -> 1 and the orders m >= 1 vanish as rho0 -> 0: the off-axis
// double series reproduces the on-axis sum over the J0 zeros.
TEST(FastEngine, SourceApproachingTheAxisGivesTheOnAxisCurve) {
    const RunResult axis = ComputeRun(TwoLayer(15, 10, 0, 0, 0), Fast());
    const RunResult near = ComputeRun(TwoLayer(15, 10, 1e-12L, 0.8L, 4), Fast());
    EXPECT_LT(MaxRelativeDifference(near, axis, 3), 1e-9);
}

// A layer split into two identical ones leaves the term unchanged (the ratio
// recursion passes an identical layer through tanh(u + v) = tanh of the sum).
TEST(FastEngine, SplittingTheBottomLayerChangesNothing) {
    const RunState whole = TwoLayer(15, 10, 6, 0.9L, 6);
    const RunState split = MakeState({{1.0L, 0.01L, 1.4L, 8.0L}, {1.3L, 0.02L, 1.33L, 12.0L}, {1.3L, 0.02L, 1.33L, 18.0L}},
                                     15, 10, 6, 0.9L, 1, 6);
    EXPECT_LT(MaxRelativeDifference(ComputeRun(split, Fast()), ComputeRun(whole, Fast()), 3), 1e-10);
}

// A wide, thick, homogeneous cylinder is a half space: the closed-form flux of
// a source at z0 and its image at -z0 - 2 zb.
TEST(FastEngine, WideThickCylinderMatchesTheHalfSpace) {
    const Layer tissue{1.0L, 0.02L, 1.4L, 150.0L};
    const RunState s = MakeState({tissue, tissue}, 200, 20, 0, 0);
    const RunResult r = ComputeRun(s, Fast());
    const double reff = ReffAdaptive(1.4);
    const long double zb = 2 * (1 + reff) / (1 - reff) / 3.0L;
    RunResult exact = r;
    for (std::size_t j = 0; j < r.time_ps.size(); ++j)
        exact.reflectance[j] = static_cast<double>(SemiInfiniteReflectance(1.0L, 0.02L, 1.4L, zb, 20, r.time_ps[j]));
    EXPECT_LT(MaxRelativeDifference(r, exact, 3), 1e-7);
}

TEST(FastEngine, TighterToleranceMovesTheCurveLessThanTheLooserOne) {
    const RunState s = TwoLayer(15, 10, 6, 0.9L, 6);
    for (double tol : {1e-5, 1e-8}) {
        const RunResult loose = ComputeRun(s, Fast(tol));
        const RunResult tight = ComputeRun(s, Fast(tol / 100));
        EXPECT_LT(MaxDifferenceOverPeak(loose, tight), tol) << "tolerance " << tol;
        EXPECT_LT(loose.terms, tight.terms) << "the looser tolerance should sum fewer terms";
    }
}

TEST(FastEngine, TooSmallMMAXIsReported) {
    const RunResult r = ComputeRun(TwoLayer(15, 8, 8, 0.3L, 2), Fast());
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_NE(r.warnings[0].find("MMAX = 2"), std::string::npos) << r.warnings[0];
}

// Thick stacks overflow the literal hyperbolic functions; the ratio form keeps
// every exponential decaying, and the run checks the fault flags.
TEST(FastEngine, ThickStacksRunWithoutFloatingPointFaults) {
    const RunState thick_pair = MakeState({{1.0L, 0.01L, 1.4L, 40}, {1.2L, 0.02L, 1.4L, 60}}, 20, 10, 5, 0.4L, 1, 3);
    const RunState deep = MakeState({{1.0L, 0.01L, 1.4L, 10}, {1.2L, 0.02L, 1.4L, 500}}, 20, 10, 0, 0);
    for (const RunState& s : {thick_pair, deep}) {
        RunResult r;
        ASSERT_NO_THROW(r = ComputeRun(s, Fast()));
        EXPECT_FALSE(r.reflectance.empty());
    }
}

TEST(FastEngine, OutputDoesNotDependOnTheThreadCount) {
    const RunState s = TwoLayer(15, 10, 6, 0.9L, 5);
    RunOptions o = Fast();
    o.threads = 1;
    const RunResult one = ComputeRun(s, o);
    for (int threads : {2, 7}) {
        o.threads = threads;
        const RunResult other = ComputeRun(s, o);
        EXPECT_EQ(one.reflectance, other.reflectance) << threads << " threads";
    }
}

// A half space with little absorption decays slowly: the plain transform folds
// the tail onto early times; the damped contour removes the images. (At a
// small source-detector distance the damped curve is less exact late in the
// window: e^(sigma t) also multiplies the error of cutting the spectrum at 512
// frequencies, about 1e-6 of the peak at 10 mm.)
TEST(FastEngine, DampedContourRemovesTheWrapAround) {
    for (long double mua : {0.001L, 0.0001L}) {
        const RunState s = MakeState({{1.0L, mua, 1.4L, 1000}}, 200, 30, 0, 0);
        const RunResult damped = ComputeRun(s, Fast(0, false));
        const RunResult plain = ComputeRun(s, [] {
            RunOptions o = Fast();
            o.wraparound = true;
            return o;
        }());
        const double reff = ReffAdaptive(1.4);
        const long double zb = 2 * (1 + reff) / (1 - reff) / 3.0L;
        RunResult exact = damped;
        for (std::size_t j = 0; j < exact.time_ps.size(); ++j)
            exact.reflectance[j] = static_cast<double>(SemiInfiniteReflectance(1.0L, mua, 1.4L, zb, 30, exact.time_ps[j]));
        EXPECT_LT(MaxRelativeDifference(damped, exact, 3), 1e-6) << "mua " << static_cast<double>(mua);
        // Measured: plain 3e-5 (mua 0.001) and 70 (mua 0.0001) relative.
        EXPECT_GT(MaxRelativeDifference(plain, exact, 3), 1e-5) << "mua " << static_cast<double>(mua);
    }
}

TEST(FastEngine, DampedContourChangesNothingWhereTheTailIsNegligible) {
    const RunState s = MakeState({{1.0L, 0.05L, 1.4L, 10}, {1.2L, 0.08L, 1.4L, 30}}, 40, 25, 0, 0);
    const RunResult plain = ComputeRun(s, Fast());
    const RunResult damped = ComputeRun(s, Fast(0, false));
    EXPECT_LT(MaxDifferenceOverPeak(damped, plain), 1e-9);
}

// The portable 128-bit code stands for a processor without AVX2 or AVX-512.
TEST(FastEngine, PortableVectorCodeGivesTheSameCurve) {
    const RunState s = TwoLayer(15, 10, 6, 0.9L, 4);
    const RunResult widest = ComputeRun(s, Fast());
    ::setenv("TDCYL_SIMD", "portable", 1);
    const RunResult portable = ComputeRun(s, Fast());
    ::unsetenv("TDCYL_SIMD");
    EXPECT_LT(MaxDifferenceOverPeak(portable, widest), 1e-14);
}

}  // namespace
}  // namespace tdcyl
