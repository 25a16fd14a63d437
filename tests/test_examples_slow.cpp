// The bundled examples are what a new user runs first: each gives a physical
// curve (every sample positive, falling after its peak) and no warning.
#include <gtest/gtest.h>

#include <string>

#include "app/core/run.hpp"

namespace tdcyl {
namespace {

class Examples : public ::testing::TestWithParam<const char*> {};

TEST_P(Examples, PhysicalCurveWithoutWarnings) {
    const InputFile input =
        ReadInputFile(std::string(TDCYL_SOURCE_DIR) + "/examples/" + GetParam() + ".dat");
    ValidateInput(input);
    EXPECT_EQ(input.extra_values, 0);
    const RunResult r = ComputeRun(input.params);
    ASSERT_FALSE(r.reflectance.empty());
    for (const std::string& w : r.warnings) ADD_FAILURE() << w;
    std::size_t peak = 0;
    for (std::size_t j = 0; j < r.reflectance.size(); ++j) {
        EXPECT_GT(r.reflectance[j], 0) << "t = " << r.time_ps[j] << " ps";
        if (r.reflectance[j] > r.reflectance[peak]) peak = j;
    }
    for (std::size_t j = peak + 1; j < r.reflectance.size(); ++j)
        EXPECT_LT(r.reflectance[j], r.reflectance[j - 1]) << "t = " << r.time_ps[j] << " ps";
}

INSTANTIATE_TEST_SUITE_P(Bundled, Examples,
                         ::testing::Values("single_layer_on_axis", "single_layer_off_axis", "two_layers",
                                           "three_layers", "two_layers_off_axis"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace tdcyl
