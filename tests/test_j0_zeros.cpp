// The table of zeros of J0: every entry is a root of BesselJ0, the gaps
// approach pi from below, the nearest double to McMahon's expansion for large
// s and to 40-digit values (mpmath.besseljzero) for small s.
#include <gtest/gtest.h>

#include <cmath>

#include "numerics/specified/bessel.hpp"
#include "numerics/extended.hpp"
#include "numerics/j0_zeros.hpp"

namespace tdcyl {
namespace {

// McMahon: j_{0,s} ~ b + 1/(8b) - 124/(3 (8b)^3) + 120928/(15 (8b)^5)
//                    - 401743168/(105 (8b)^7) + 1071187749376/(315 (8b)^9),
// b = (s - 1/4) pi. For s >= 100 the first omitted term is below 1e-30.
// pi enters as the nearest Extended plus a correction, so that b is good to
// the rounding of Extended (about 1e-3 units in the last place of a double).
Extended McMahonJ0Zero(int s) {
    constexpr Extended kPiHi = 3.141592653589793238512809L;    // nearest Extended to pi
    constexpr Extended kPiLo = -5.016557612668332023557e-20L;  // pi - kPiHi
    const Extended t = static_cast<Extended>(s) - 0.25L;
    const Extended b = t * kPiHi + t * kPiLo;
    const Extended e2 = 64.0L * b * b;
    Extended corr = 1071187749376.0L / 315.0L;
    corr = -401743168.0L / 105.0L + corr / e2;
    corr = 120928.0L / 15.0L + corr / e2;
    corr = -124.0L / 3.0L + corr / e2;
    corr = 1.0L + corr / e2;
    return b + corr / (8.0L * b);
}

TEST(J0ZeroTable, RootsWithGapsBelowPi) {
    ASSERT_EQ(kJ0ZeroCount, 5000);
    for (int s = 1; s <= kJ0ZeroCount; ++s) {
        ASSERT_LT(std::fabs(BesselJ0(J0Zeros(s))), 2e-14) << "s=" << s;
        if (s == 1) continue;
        const double gap = J0Zeros(s) - J0Zeros(s - 1);
        ASSERT_GE(gap, 3.1152525525905377) << "s=" << s;
        ASSERT_LT(gap, 3.14159265358979312) << "s=" << s;
    }
}

// Nearest double: within 0.502 units in the last place of the exact zero.
TEST(J0ZeroTable, NearestDoubleToMcMahonForLargeIndex) {
    for (int s = 100; s <= kJ0ZeroCount; ++s) {
        const double z = J0Zeros(s);
        const Extended ulp = static_cast<Extended>(std::nextafter(z, 2.0 * z) - z);
        ASSERT_LE(std::fabs(static_cast<Extended>(z) - McMahonJ0Zero(s)), 0.502L * ulp) << "s=" << s;
    }
}

// The low zeros, where McMahon's series is poor, rounded to the nearest double.
TEST(J0ZeroTable, LowZerosAgainstHighPrecision) {
    constexpr double kLow[] = {2.404825557695773,  5.520078110286311,  8.653727912911013,
                               11.791534439014281, 14.930917708487787, 18.071063967910924,
                               21.21163662987926,  24.352471530749302, 27.493479132040253,
                               30.634606468431976};
    for (int s = 1; s <= 10; ++s) EXPECT_EQ(J0Zeros(s), kLow[s - 1]) << "s=" << s;
}

}  // namespace
}  // namespace tdcyl
