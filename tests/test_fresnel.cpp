// Effective reflection coefficient against an independent integration of the
// Fresnel moments (adaptive Simpson, not Gauss-Legendre) and listed values.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "case_names.hpp"
#include "model/fresnel.hpp"

namespace tdcyl {
namespace {

using F = std::function<long double(long double)>;

long double Simpson(const F& f, long double a, long double b, long double fa, long double fm, long double fb,
                    long double whole, int depth) {
    const long double m = (a + b) / 2, lm = (a + m) / 2, rm = (m + b) / 2;
    const long double flm = f(lm), frm = f(rm);
    const long double left = (m - a) / 6 * (fa + 4 * flm + fm), right = (b - m) / 6 * (fm + 4 * frm + fb);
    if (depth <= 0 || std::fabs(left + right - whole) < 1e-16L) return left + right + (left + right - whole) / 15;
    return Simpson(f, a, m, fa, flm, fm, left, depth - 1) + Simpson(f, m, b, fm, frm, fb, right, depth - 1);
}

long double Integrate(const F& f, long double a, long double b) {
    const long double fa = f(a), fb = f(b), fm = f((a + b) / 2);
    return Simpson(f, a, b, fa, fm, fb, (b - a) / 6 * (fa + 4 * fm + fb), 40);
}

// Unpolarised Fresnel reflectance from inside a medium of index n, 1 beyond
// the critical angle; moments 2 sin cos and 3 sin cos^2 over the half space.
long double IndependentReff(long double n) {
    auto R = [n](long double t) -> long double {
        const long double st = n * std::sin(t);
        if (st >= 1) return 1;
        const long double ct = std::cos(t), ctt = std::sqrt(1 - st * st);
        const long double rs = (n * ct - ctt) / (n * ct + ctt), rp = (n * ctt - ct) / (n * ctt + ct);
        return (rs * rs + rp * rp) / 2;
    };
    const long double half_pi = 1.5707963267948966192313216916397514L;
    const long double crit = n > 1 ? std::asin(1 / n) : half_pi;
    auto phi = [&](long double t) { return 2 * std::sin(t) * std::cos(t) * R(t); };
    auto j = [&](long double t) { return 3 * std::sin(t) * std::cos(t) * std::cos(t) * R(t); };
    const long double Rphi = Integrate(phi, 0, crit) + (crit < half_pi ? Integrate(phi, crit, half_pi) : 0);
    const long double Rj = Integrate(j, 0, crit) + (crit < half_pi ? Integrate(j, crit, half_pi) : 0);
    return (Rphi + Rj) / (2 - Rphi + Rj);
}

struct ReffCase {
    long double n;
    double listed;
};
class ReffValues : public ::testing::TestWithParam<ReffCase> {};

TEST_P(ReffValues, IndependentIntegralAndListedValue) {
    const long double r = Reff(GetParam().n);
    // The 480-point rule differs from the exact integral by a few 1e-9.
    EXPECT_NEAR(static_cast<double>(r), static_cast<double>(IndependentReff(GetParam().n)), 1e-8);
    EXPECT_NEAR(static_cast<double>(r), GetParam().listed, 6e-7);
}

INSTANTIATE_TEST_SUITE_P(Indices, ReffValues,
                         ::testing::Values(ReffCase{0.5L, 0.149268}, ReffCase{0.8L, 0.0412885}, ReffCase{1.33L, 0.431068},
                                           ReffCase{1.4L, 0.493477582093524}, ReffCase{1.5L, 0.567842},
                                           ReffCase{2.0L, 0.780803}),
                         [](const auto& info) { return testing_support::CaseNumber("n", info.param.n); });

TEST(Reff, VanishesAtMatchedIndexAndGrowsAway) {
    EXPECT_NEAR(static_cast<double>(Reff(1.0L)), 0.0, 1e-15);
    long double previous = 0;
    for (long double n = 1.05L; n < 2.0L; n += 0.1L) {
        EXPECT_GT(Reff(n), previous);
        previous = Reff(n);
    }
    EXPECT_GT(Reff(0.6L), Reff(0.8L));
}

TEST(Reff, PrecomputedValueForIndexOnePointFour) {
    EXPECT_NEAR(static_cast<double>(Reff14()), 0.493477582093524, 1e-15);
    EXPECT_LT(std::fabs(Reff14() - Reff(1.4L)), 3e-15L);
    // Boundary factor A = (1 + R)/(1 - R) the same either way to ~1e-14.
    const long double a = (1 + Reff14()) / (1 - Reff14()), b = (1 + Reff(1.4L)) / (1 - Reff(1.4L));
    EXPECT_NEAR(static_cast<double>(a), 2.94849, 1e-5);
    EXPECT_LT(std::fabs(a - b), 1e-13L);
}

}  // namespace
}  // namespace tdcyl
