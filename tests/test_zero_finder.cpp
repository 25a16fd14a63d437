// Zeros of J_m from the Halley starts against high-precision values (mpmath,
// 30 digits), ordering and the duplicate filter.
#include <gtest/gtest.h>

#include <cmath>

#include "case_names.hpp"
#include "model/zero_finder.hpp"

namespace tdcyl {
namespace {

struct ZeroCase {
    int m;
    long double zeros[6];  // indices 1, 2, 3, 10, 50, 100
};

const ZeroCase kCases[] = {
{0, {2.404825557695772768622L, 5.520078110286310649597L, 8.653727912911012216954L, 30.63460646843197511755L, 156.2950342685335238195L, 313.3742660775278447197L}},
{1, {3.831705970207512315614L, 7.015586669815618753537L, 10.17346813506272207719L, 32.18967991097440362662L, 157.8626554019302978051L, 314.9434728377671624581L}},
{10, {14.47550068655454123845L, 18.43346366696658264204L, 22.04698536469780187205L, 45.23157410353504485357L, 171.7116629147209038551L, 328.93019159487574929L}},
{50, {57.11689916011917411936L, 62.80769876483536093435L, 67.69740841076477449248L, 95.80110826595330877246L, 229.3628796685534159425L, 388.6936600656058834641L}},
};

class ZeroRows : public ::testing::TestWithParam<ZeroCase> {};

// J_m comes in double, so the zeros are good to a few units of 1e-16.
TEST_P(ZeroRows, MatchHighPrecisionZeros) {
    const ZeroCase& c = GetParam();
    ZeroRow row{};
    const int NZ = 110;
    const int stored = BesselJnZeros(c.m, NZ / 3 + 5, row);
    ASSERT_GE(stored, NZ);
    const int index[6] = {1, 2, 3, 10, 50, 100};
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(static_cast<double>(row[static_cast<std::size_t>(index[i] - 1)]), static_cast<double>(c.zeros[i]),
                    3e-15 * static_cast<double>(c.zeros[i]))
            << "m " << c.m << " zero " << index[i];
    for (int s = 1; s < stored; ++s) EXPECT_GT(row[static_cast<std::size_t>(s)] - row[static_cast<std::size_t>(s - 1)], 1e-8L);
}

INSTANTIATE_TEST_SUITE_P(Orders, ZeroRows, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return testing_support::CaseNumber("m", info.param.m); });

}  // namespace
}  // namespace tdcyl
