// Zeros of J_m from the Halley starts against high-precision values (mpmath,
// 30 digits), ordering and the duplicate filter.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

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
{2, {5.135622301840682556301L, 8.417244140399864857784L, 11.61984117214905942709L, 33.71651950922269992196L, 159.424066171418248185L, 316.5095358681284295855L}},
{5, {8.771483815959954019123L, 12.33860419746694398608L, 15.70017407971167103759L, 38.15986856196713209708L, 164.0727879305275714439L, 321.1893195676003157339L}},
{10, {14.47550068655454123845L, 18.43346366696658264204L, 22.04698536469780187205L, 45.23157410353504485357L, 171.7116629147209038551L, 328.93019159487574929L}},
{50, {57.11689916011917411936L, 62.80769876483536093435L, 67.69740841076477449248L, 95.80110826595330877246L, 229.3628796685534159425L, 388.6936600656058834641L}},
};

class ZeroRows : public ::testing::TestWithParam<ZeroCase> {};

TEST_P(ZeroRows, MatchHighPrecisionZeros) {
    const ZeroCase& c = GetParam();
    ZeroRow row{};
    const int NZ = 110;
    const int stored = BesselJnZeros(c.m, NZ / 3 + 5, row);
    ASSERT_GE(stored, NZ);
    const int index[6] = {1, 2, 3, 10, 50, 100};
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(static_cast<double>(row[static_cast<std::size_t>(index[i] - 1)]), static_cast<double>(c.zeros[i]),
                    1e-11 * static_cast<double>(c.zeros[i]))
            << "m " << c.m << " zero " << index[i];
    for (int s = 1; s < stored; ++s) EXPECT_GT(row[static_cast<std::size_t>(s)] - row[static_cast<std::size_t>(s - 1)], 1e-8L);
}

INSTANTIATE_TEST_SUITE_P(Orders, ZeroRows, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                             std::string name = "m";
                             name += std::to_string(info.param.m);
                             return name;
                         });

TEST(ZeroFinder, FewStartsGiveTheFirstZeros) {
    ZeroRow row{};
    ASSERT_EQ(BesselJnZeros(0, 1, row), 3);
    EXPECT_NEAR(static_cast<double>(row[0]), 2.404826, 1e-6);
    EXPECT_NEAR(static_cast<double>(row[1]), 5.520078, 1e-6);
    EXPECT_NEAR(static_cast<double>(row[2]), 8.653728, 1e-6);
    ASSERT_EQ(BesselJnZeros(1, 2, row), 6);
    const double j1[6] = {3.831706, 7.015587, 10.173468, 13.323692, 16.470630, 19.615859};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(static_cast<double>(row[static_cast<std::size_t>(i)]), j1[i], 1e-6);
}

}  // namespace
}  // namespace tdcyl
