// The result file format and its atomic replacement.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "case_names.hpp"
#include "app/core/result_writer.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

struct FormatCase {
    double value;
    const char* text;
};
class Format : public ::testing::TestWithParam<FormatCase> {};

TEST_P(Format, TwentyThreeCharacters) {
    const std::string s = FormatReal(GetParam().value);
    EXPECT_EQ(s, GetParam().text);
    EXPECT_EQ(s.size(), 23u);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Format,
    ::testing::Values(FormatCase{10, " 1.00000000000000E+0001"}, FormatCase{2560, " 2.56000000000000E+0003"},
                      FormatCase{-1.23456789012345e-7, "-1.23456789012345E-0007"},
                      FormatCase{9.999999999999995e-5, " 1.00000000000000E-0004"},  // rounds across a decade
                      FormatCase{9.99999999999994e-5, " 9.99999999999994E-0005"}, FormatCase{0.0, " 0.00000000000000E+0000"},
                      FormatCase{-0.0, " 0.00000000000000E+0000"}, FormatCase{1e-300, " 1.00000000000000E-0300"},
                      FormatCase{-1e300, "-1.00000000000000E+0300"}, FormatCase{1, " 1.00000000000000E+0000"},
                      FormatCase{0.5, " 5.00000000000000E-0001"},
                      FormatCase{1.234567890123456789, " 1.23456789012346E+0000"}),
    [](const auto& info) { return testing_support::CaseNumber("v", info.param.value, 16); });

TEST(Format, NonFiniteIsNeverWritten) {
    EXPECT_THROW(FormatReal(NAN), std::invalid_argument);
    EXPECT_THROW(FormatReal(INFINITY), std::invalid_argument);
}

TEST(Format, LineLayout) {
    EXPECT_EQ(FormatResultLine(10, 1.5e-9), " 1.00000000000000E+0001    1.50000000000000E-0009\r\n");
}

TEST(AtomicWrite, ReplacesOrKeeps) {
    using namespace testing_support;
    namespace fs = std::filesystem;
    fs::path dir = FreshDirectory("writer");
    const fs::path target = dir / "reflectance.dat";
    WriteFileBytes(target, "old");
    WriteResultFileAtomic(target.string(), {10, 20}, {1e-9, -2e-9});
    EXPECT_EQ(ReadFileBytes(target),
              FormatResultLine(10, 1e-9) + FormatResultLine(20, -2e-9));
    // The target is a directory: rename fails, nothing changes, no temporary is left.
    fs::create_directories(dir / "sub");
    EXPECT_THROW(WriteResultFileAtomic((dir / "sub").string(), {10}, {1}), std::runtime_error);
    EXPECT_THROW(CheckOutputWritable((dir / "missing" / "x.dat").string()), std::runtime_error);
    int files = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(dir)) ++files;
    EXPECT_EQ(files, 2);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tdcyl
