// The table of zeros of J0: every entry is a root of BesselJ0, agrees with
// McMahon's asymptotic expansion to rounding for large s, the sequence is
// strictly increasing with gaps approaching pi from below, and the published
// check values hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>

#include "case_names.hpp"
#include "numerics/bessel.hpp"
#include "numerics/extended.hpp"  // Extended
#include "numerics/j0_zeros.hpp"

namespace tdcyl {
namespace {

// McMahon: j_{0,s} ~ b + 1/(8b) - 124/(3 (8b)^3) + 120928/(15 (8b)^5)
//                    - 401743168/(105 (8b)^7) + 1071187749376/(315 (8b)^9),
// b = (s - 1/4) pi. For s >= 100 the first omitted term is below 1e-30.
// pi enters as the nearest Extended plus a correction, so that b is good to
// the rounding of Extended (about 1e-3 units in the last place of a double).
Extended McMahonJ0Zero(int s) {
    constexpr Extended kPiHi = 3.141592653589793238512809L;  // nearest Extended to pi
    constexpr Extended kPiLo = -5.016557612668332023557e-20L;  // pi - kPiHi
    const Extended t = static_cast<Extended>(s) - 0.25L;
    const Extended b = t * kPiHi + t * kPiLo;
    const Extended e = 8.0L * b;
    const Extended e2 = e * e;
    Extended corr = 1071187749376.0L / 315.0L;
    corr = -401743168.0L / 105.0L + corr / e2;
    corr = 120928.0L / 15.0L + corr / e2;
    corr = -124.0L / 3.0L + corr / e2;
    corr = 1.0L + corr / e2;
    return b + corr / e;
}

struct Range {
    int first;
    int last;
};

std::ostream& operator<<(std::ostream& os, const Range& r) { return os << r.first << ".." << r.last; }

class J0ZeroRange : public ::testing::TestWithParam<Range> {};

TEST_P(J0ZeroRange, EveryEntryIsARootOfJ0) {
    const Range r = GetParam();
    for (int s = r.first; s <= r.last; ++s) {
        ASSERT_LT(std::fabs(BesselJ0(J0Zeros(s))), 2e-14) << "s=" << s;
    }
}

TEST_P(J0ZeroRange, StrictlyIncreasingWithGapsBelowPi) {
    const Range r = GetParam();
    for (int s = std::max(r.first, 2); s <= r.last; ++s) {
        const double gap = J0Zeros(s) - J0Zeros(s - 1);
        ASSERT_GE(gap, 3.1152525525905377) << "s=" << s;
        ASSERT_LT(gap, 3.14159265358979312) << "s=" << s;
    }
}

// Nearest double: within 0.502 units in the last place of the exact zero.
TEST_P(J0ZeroRange, NearestDoubleToMcMahonForLargeIndex) {
    const Range r = GetParam();
    for (int s = std::max(r.first, 100); s <= r.last; ++s) {
        const double z = J0Zeros(s);
        const Extended ulp = static_cast<Extended>(std::nextafter(z, 2.0 * z) - z);
        const Extended exact = McMahonJ0Zero(s);
        ASSERT_LE(std::fabs(static_cast<Extended>(z) - exact), 0.502L * ulp) << "s=" << s;
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, J0ZeroRange,
                         ::testing::Values(Range{1, kJ0ZeroCount}), [](const auto& info) {
                             return testing_support::CaseNumber(testing_support::CaseNumber("Zeros", info.param.first) + "To",
                                                                info.param.last);
                         });

struct CheckZero {
    int s;
    double zero;
};

std::ostream& operator<<(std::ostream& os, const CheckZero& c) { return os << "s=" << c.s; }

class J0ZeroCheckValues : public ::testing::TestWithParam<CheckZero> {};

TEST_P(J0ZeroCheckValues, ExactEntry) {
    EXPECT_EQ(J0Zeros(GetParam().s), GetParam().zero);
}

INSTANTIATE_TEST_SUITE_P(Published, J0ZeroCheckValues,
                         ::testing::Values(CheckZero{1, 2.404825557695773}, CheckZero{2, 5.520078110286311},
                                           CheckZero{3, 8.653727912911013}, CheckZero{10, 30.634606468431976},
                                           CheckZero{100, 313.37426607752786},
                                           CheckZero{1000, 3140.8072952250786},
                                           CheckZero{2500, 7853.196251728172},
                                           CheckZero{5000, 15707.177877743714}),
                         [](const auto& info) { return testing_support::CaseNumber("Zero", info.param.s); });

TEST(J0ZeroTable, ExtremeGaps) {
    EXPECT_EQ(kJ0ZeroCount, 5000);
    EXPECT_EQ(J0Zeros(2) - J0Zeros(1), 3.1152525525905377);
    EXPECT_EQ(J0Zeros(5000) - J0Zeros(4999), 3.141592651998508);
}

// The low zeros, where McMahon's series is poor, against 40-digit values
// (mpmath.besseljzero), rounded to the nearest double.
TEST(J0ZeroTable, LowZerosAgainstHighPrecision) {
    constexpr double kLow[] = {2.404825557695773,  5.520078110286311,  8.653727912911013,
                               11.791534439014281, 14.930917708487787, 18.071063967910924,
                               21.21163662987926,  24.352471530749302, 27.493479132040253,
                               30.634606468431976};
    for (int s = 1; s <= 10; ++s) {
        EXPECT_EQ(J0Zeros(s), kLow[s - 1]) << "s=" << s;
    }
}

}  // namespace
}  // namespace tdcyl
