// Curves that are silently unphysical: refused (source below the top layer),
// or warned about (off-axis source with no orders, negative samples, tail
// wrapped around the transform period, unread values). A warning never
// changes the numbers. Also: stage progress and cancel in the zero search.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "app/core/run.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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

InputFile Read(const std::string& text) {
    std::istringstream in(text);
    return ReadInput(in);
}

std::string ErrorOf(const std::string& text) {
    try {
        ValidateInput(Read(text));
    } catch (const InputError& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(SourceDepth, TopLayerThinnerThanTheSourceDepthIsRefused) {
    // z0 = 1/(0.01 + 1) = 0.990099... mm.
    const std::string single = ErrorOf("1\n1.0\n0.01\n1.4\n0.5\n20\n10\n0\n0\n1\n0\n");
    EXPECT_TRUE(Has(single, "line 5")) << single;
    EXPECT_TRUE(Has(single, "z0")) << single;
    EXPECT_TRUE(Has(single, "0.990099")) << single;
    const std::string layered = ErrorOf("2\n1.0\n0.01\n1.4\n0.99\n1.2\n0.02\n1.4\n40\n20\n10\n0\n0\n1\n0\n");
    EXPECT_TRUE(Has(layered, "line 5")) << layered;
    EXPECT_EQ(ErrorOf("2\n1.0\n0.01\n1.4\n1.0\n1.2\n0.02\n1.4\n40\n20\n10\n0\n0\n1\n0\n"), "(accepted)");
}

TEST(OffAxis, NoOrdersIsWarnedAndLeavesTheOnAxisCurve) {
    const std::vector<Layer> layers{{1.0L, 0.01L, 1.4L, 8}, {1.2L, 0.02L, 1.4L, 40}};
    const RunResult off = ComputeRun(MakeState(layers, 5, 3, 2, 1.0L, 1, 0));
    const RunResult on = ComputeRun(MakeState(layers, 5, 3, 0, 1.0L, 1, 0));
    EXPECT_TRUE(Has(AllWarnings(off), "MMAX = 0")) << AllWarnings(off);
    EXPECT_TRUE(Has(AllWarnings(off), "rho0")) << AllWarnings(off);
    EXPECT_FALSE(Has(AllWarnings(on), "MMAX")) << AllWarnings(on);
    EXPECT_EQ(off.reflectance, on.reflectance);
}

TEST(OffAxis, UnconvergedOrdersAreWarnedWithTheRemedy) {
    // Source and detector far off the axis with only two orders: the series
    // over the orders is far from converged and the curve goes negative.
    const std::vector<Layer> layers{{1.0L, 0.01L, 1.4L, 8}, {1.2L, 0.02L, 1.4L, 40}};
    const RunResult r = ComputeRun(MakeState(layers, 5, 4, 4, 1.0L, 1, 2));
    ASSERT_FALSE(Physical(r));
    EXPECT_TRUE(Has(AllWarnings(r), "negative")) << AllWarnings(r);
    EXPECT_TRUE(Has(AllWarnings(r), "raise MMAX")) << AllWarnings(r);
}

TEST(WrapAround, SlowTailIsWarnedAndTheAdvisedAbsorptionGivesAPhysicalCurve) {
    // mua = 0 is refused with a recommended smallest mua; that value must
    // give a physical curve without warnings, a tenth of it must not.
    const std::string message = ErrorOf("1\n1.0\n0\n1.4\n30\n20\n10\n0\n0\n1\n0\n");
    const auto at = message.find("mua >= ");
    ASSERT_NE(at, std::string::npos) << message;
    const long double advised = std::strtold(message.c_str() + at + 7, nullptr);
    ASSERT_GT(advised, 0) << message;
    const RunResult good = ComputeRun(MakeState({{1.0L, advised, 1.4L, 30}}, 20, 10, 0, 0));
    EXPECT_TRUE(Physical(good));
    EXPECT_TRUE(good.warnings.empty()) << AllWarnings(good);
    const RunResult slow = ComputeRun(MakeState({{1.0L, advised / 10, 1.4L, 30}}, 20, 10, 0, 0));
    EXPECT_FALSE(Physical(slow));
    EXPECT_TRUE(Has(AllWarnings(slow), "wraps around")) << AllWarnings(slow);
    // With a shorter period the remedy is M = 1.
    const RunResult m4 = ComputeRun(MakeState({{1.0L, advised, 1.4L, 30}}, 20, 10, 0, 0, 4));
    EXPECT_TRUE(Has(AllWarnings(m4), "M = 1")) << AllWarnings(m4);
}

TEST(ExtraValues, AreCountedAndWarnedAbout) {
    fs::path dir = FreshDirectory("extra");
    // A file that says one layer but goes on: the reader stops after eleven
    // values and four are left.
    WriteFileBytes(dir / "input.dat", "1\n1.0\n0.01\n1.4\n10\n25\n20\n0\n0\n1\n0\n1.4\n40\n30\n5\n");
    const RunResult r = RunFiles((dir / "input.dat").string(), (dir / "reflectance.dat").string());
    EXPECT_TRUE(Has(AllWarnings(r), "4 more values")) << AllWarnings(r);
    EXPECT_TRUE(Has(AllWarnings(r), "line 12")) << AllWarnings(r);
    fs::remove_all(dir);
}

TEST(Failures, NameTheInputsTheFailingStageDependsOn) {
    fs::path dir = FreshDirectory("stagefail");
    // A refractive index of 1e-30 passes the range check (> 0) but the
    // boundary factor overflows.
    WriteFileBytes(dir / "input.dat", "1\n1.0\n0.01\n1e-30\n30\n20\n10\n0\n0\n1\n0\n");
    try {
        RunFiles((dir / "input.dat").string(), (dir / "reflectance.dat").string());
        FAIL() << "computed";
    } catch (const RunError& e) {
        EXPECT_TRUE(Has(e.what(), "lines 2 ... 4")) << e.what();
    }
    fs::remove_all(dir);
}

TEST(Progress, ZeroSearchIsReportedBeforeTheFrequenciesAndCanBeCancelled) {
    const std::vector<Layer> layers{{1.0L, 0.01L, 1.4L, 8}, {1.2L, 0.02L, 1.4L, 40}};
    const RunState s = MakeState(layers, 5, 3, 2, 1.0L, 1, 3);
    std::vector<std::string> stages;
    int zeros_total = 0, zeros_last = 0, frequencies_last = 0;
    RunOptions o;
    o.threads = 2;
    o.progress = [&](const std::string& stage, int done, int total) {
        if (stages.empty() || stages.back() != stage) stages.push_back(stage);
        if (stage == "zeros") zeros_total = total, zeros_last = done;
        if (stage == "frequencies") frequencies_last = done;
    };
    ComputeRun(s, o);
    EXPECT_EQ(stages, (std::vector<std::string>{"zeros", "frequencies"}));
    EXPECT_EQ(zeros_total, 4);  // orders 0 ... 3
    EXPECT_EQ(zeros_last, 4);
    EXPECT_EQ(frequencies_last, 513);

    // Cancelled in the zero search: the frequencies never start.
    std::atomic<bool> cancel{false};
    stages.clear();
    o.cancel = &cancel;
    o.progress = [&](const std::string& stage, int, int) {
        stages.push_back(stage);
        if (stage == "zeros") cancel.store(true);
    };
    EXPECT_THROW(ComputeRun(s, o), RunCancelled);
    for (const std::string& stage : stages) EXPECT_EQ(stage, "zeros");
}

}  // namespace
}  // namespace tdcyl
