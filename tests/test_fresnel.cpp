// Effective reflection coefficient against the exact Fresnel moments and
// listed values.
#include <gtest/gtest.h>

#include <cmath>

#include "case_names.hpp"
#include "model/fresnel.hpp"

namespace tdcyl {
namespace {

struct ReffCase {
    long double n;
    long double exact;  // mpmath, 30 digits (reff() of scripts/gen_fast_bessel_reference.py)
    double listed;
};
class ReffValues : public ::testing::TestWithParam<ReffCase> {};

TEST_P(ReffValues, ExactIntegralAndListedValue) {
    const long double r = Reff(GetParam().n);
    // The 480-point rule differs from the exact integral by a few 1e-9.
    EXPECT_NEAR(static_cast<double>(r), static_cast<double>(GetParam().exact), 1e-8);
    EXPECT_NEAR(static_cast<double>(r), GetParam().listed, 6e-7);
}

// Both sides of the matched index (no critical angle below 1).
INSTANTIATE_TEST_SUITE_P(Indices, ReffValues,
                         ::testing::Values(ReffCase{0.8L, 4.128846821443624146384509e-2L, 0.0412885},
                                           ReffCase{1.4L, 4.934775881578057080172448e-1L, 0.493477582093524},
                                           ReffCase{2.0L, 7.808026839922221727873491e-1L, 0.780803}),
                         [](const auto& info) { return testing_support::CaseNumber("n", info.param.n); });

TEST(Reff, PrecomputedValueForIndexOnePointFour) {
    EXPECT_NEAR(static_cast<double>(Reff14()), 0.493477582093524, 1e-15);
    EXPECT_LT(std::fabs(Reff14() - Reff(1.4L)), 3e-15L);
}

}  // namespace
}  // namespace tdcyl
