// Curves that are silently unphysical: refused (source below the top layer),
// or warned about (off-axis source with no orders, negative samples, tail
// wrapped around the transform period, unread values). A warning never
// changes the numbers.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "app/core/run.hpp"
#include "app/core/run_warnings.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

std::string AllWarnings(const RunResult& r) {
    std::string all;
    for (const std::string& w : r.warnings) all += w + "\n";
    return all;
}

// A positive curve that rises to one peak and then falls: what every
// time-resolved reflectance looks like.
bool Physical(const RunResult& r) {
    if (r.reflectance.empty()) return false;
    std::size_t peak = 0;
    for (std::size_t j = 0; j < r.reflectance.size(); ++j) {
        if (!(r.reflectance[j] > 0)) return false;
        if (r.reflectance[j] > r.reflectance[peak]) peak = j;
    }
    for (std::size_t j = 1; j < r.reflectance.size(); ++j)
        if ((j <= peak) != (r.reflectance[j] > r.reflectance[j - 1])) return false;
    return true;
}

std::string ErrorOf(const std::string& text) {
    std::istringstream in(text);
    return Message([&] { ValidateInput(ReadInput(in)); });
}

TEST(SourceDepth, TopLayerThinnerThanTheSourceDepthIsRefused) {
    // z0 = 1/(0.01 + 1) = 0.990099... mm.
    const std::string single = ErrorOf("1\n1.0\n0.01\n1.4\n0.5\n20\n10\n0\n0\n1\n0\n");
    EXPECT_TRUE(Has(single, "line 5:")) << single;
    EXPECT_TRUE(Has(single, "z0 = 1/(mua + musp) = 0.990099")) << single;
    EXPECT_TRUE(Has(ErrorOf("2\n1.0\n0.01\n1.4\n0.99\n1.2\n0.02\n1.4\n40\n20\n10\n0\n0\n1\n0\n"), "line 5:"));
    EXPECT_EQ(ErrorOf("2\n1.0\n0.01\n1.4\n1.0\n1.2\n0.02\n1.4\n40\n20\n10\n0\n0\n1\n0\n"), "(no error)");
}

const std::vector<Layer> kLayers{{1.0L, 0.01L, 1.4L, 8}, {1.2L, 0.02L, 1.4L, 40}};

TEST(OffAxis, NoOrdersIsWarnedAndLeavesTheOnAxisCurve) {
    const RunResult off = ComputeRun(MakeState(kLayers, 5, 3, 2, 1.0L, 1, 0));
    const RunResult on = ComputeRun(MakeState(kLayers, 5, 3, 0, 1.0L, 1, 0));
    EXPECT_TRUE(Has(AllWarnings(off), "off the axis (rho0 = 2 mm) but MMAX = 0")) << AllWarnings(off);
    EXPECT_FALSE(Has(AllWarnings(on), "MMAX")) << AllWarnings(on);
    EXPECT_EQ(off.reflectance, on.reflectance);
}

TEST(OffAxis, UnconvergedOrdersAreWarnedWithTheRemedy) {
    // Source and detector far off the axis with only two orders: the series
    // over the orders is far from converged and the curve goes negative.
    const RunResult r = ComputeRun(MakeState(kLayers, 5, 4, 4, 1.0L, 1, 2));
    ASSERT_FALSE(Physical(r));
    EXPECT_TRUE(Has(AllWarnings(r), "negative")) << AllWarnings(r);
    EXPECT_TRUE(Has(AllWarnings(r), "raise MMAX, the parameter file's last value (now 2")) << AllWarnings(r);
}

TEST(WrapAround, SlowTailIsWarnedAndTheAdvisedAbsorptionGivesAPhysicalCurve) {
    // mua = 0 is refused with the smallest mua for which the tail wrapped over
    // the period T = 10.24 ns, about 2 exp(-mua c/1.4 T) of the peak, stays
    // below 1e-8 of it: 0.00871 /mm, rounded up. That value gives a physical
    // curve without warnings, a tenth of it does not.
    EXPECT_TRUE(Has(ErrorOf("1\n1.0\n0\n1.4\n30\n20\n10\n0\n0\n1\n0\n"), "use mua >= 0.009 /mm"));
    const RunResult good = ComputeRun(MakeState({{1.0L, 0.009L, 1.4L, 30}}, 20, 10, 0, 0));
    EXPECT_TRUE(Physical(good));
    EXPECT_TRUE(good.warnings.empty()) << AllWarnings(good);
    const RunResult slow = ComputeRun(MakeState({{1.0L, 0.0009L, 1.4L, 30}}, 20, 10, 0, 0));
    EXPECT_FALSE(Physical(slow));
    EXPECT_TRUE(Has(AllWarnings(slow), "wraps around")) << AllWarnings(slow);
    // With a shorter period the remedy is M = 1.
    const RunResult m4 = ComputeRun(MakeState({{1.0L, 0.009L, 1.4L, 30}}, 20, 10, 0, 0, 4));
    EXPECT_TRUE(Has(AllWarnings(m4), "M = 1")) << AllWarnings(m4);
    // In a stack the least absorbing layer sets the tail, here a factor of
    // e^-3.29 over the period, which the later samples carry.
    const RunResult deep = ComputeRun(MakeState({{1.0L, 0.01L, 1.4L, 8}, {1.2L, 0.0015L, 1.4L, 40}}, 5, 3, 0, 0));
    EXPECT_TRUE(Has(AllWarnings(deep), "least absorbing layer (layer 2, mua = 0.0015 /mm)")) << AllWarnings(deep);
    EXPECT_TRUE(Has(AllWarnings(deep), "too high by up to about 3.7 %")) << AllWarnings(deep);
}

TEST(RunFilesTest, ExtraValuesAndFailingStagesAreNamed) {
    fs::path dir = FreshDirectory("warnings");
    const std::string in = (dir / "input.dat").string(), out = (dir / "reflectance.dat").string();
    // One layer announced, two given: the reader stops after eleven values.
    WriteFileBytes(in, "1\n1.0\n0.01\n1.4\n10\n25\n20\n0\n0\n1\n0\n1.4\n40\n30\n5\n");
    const std::string w = AllWarnings(RunFiles(in, out));
    EXPECT_TRUE(Has(w, "4 more values after MMAX (from line 12), which are not read")) << w;
    EXPECT_TRUE(Has(ExtraValueWarnings(1, 7).at(0), "1 more value after MMAX (from line 7), which is not read"));
    // A refractive index of 1e-30 passes the range check (> 0) but the
    // boundary factor overflows.
    WriteFileBytes(in, "1\n1.0\n0.01\n1e-30\n30\n20\n10\n0\n0\n1\n0\n");
    const std::string m = Message([&] { RunFiles(in, out); });
    EXPECT_TRUE(Has(m, "musp, mua, n of layer 1 (lines 2 ... 4)")) << m;
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tdcyl
