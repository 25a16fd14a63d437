// The parameter file: one value per line, comments, number syntax, and the
// range checks that run before any computation.
#include <gtest/gtest.h>

#include <sstream>

#include "case_names.hpp"
#include "app/core/input_reader.hpp"

namespace tdcyl {
namespace {

InputFile Read(const std::string& text) {
    std::istringstream in(text);
    return ReadInput(in);
}

const std::string kGood =
    "1      layers\n1.0    musp\n0.01   mua\n1.4    n\n30     l\n20     a\n10     rho\n0      rho0\n0      phi\n"
    "1      M\n0      MMAX\n";

TEST(Reader, ValuesAndCommentsInOrder) {
    InputFile f = Read(kGood);
    const RunState& s = f.params;
    EXPECT_EQ(s.N, 1);
    EXPECT_EQ(s.musp[0], 1.0L);
    EXPECT_EQ(s.mua[0], 0.01L);
    EXPECT_EQ(s.n[0], 1.4L);  // correctly rounded: selects the precomputed boundary factor
    EXPECT_EQ(s.l[0], 30.0L);
    EXPECT_EQ(s.a, 20.0L);
    EXPECT_EQ(s.rho, 10.0L);
    EXPECT_EQ(s.M, 1);
    EXPECT_EQ(f.lines, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_NO_THROW(ValidateInput(f));
}

TEST(Reader, EmptyLinesBlanksTabsAndCrLf) {
    InputFile f = Read("\r\n  \t2 layers and a word\r\n\r\n1\n0.01\r\n1.4\n5\n 1.2\n0.02\n1.33\n40\n30\n20\n0\n0\n2\n3\n");
    EXPECT_EQ(f.params.N, 2);
    EXPECT_EQ(f.lines[0], 2);
    EXPECT_EQ(f.lines[1], 4);
    EXPECT_EQ(f.params.musp[1], 1.2L);
    EXPECT_EQ(f.params.n[1], 1.33L);
    EXPECT_EQ(f.params.M, 2);
    EXPECT_EQ(f.params.MMAX, 3);
}

TEST(Reader, MissingTrailingValuesReadAsZero) {
    InputFile f = Read("1\n1.0\n0.01\n1.4\n30\n");
    EXPECT_EQ(f.params.a, 0.0L);
    EXPECT_EQ(f.params.phi, 0.0L);
    EXPECT_EQ(f.params.M, 0);
    EXPECT_EQ(f.params.MMAX, 0);
    EXPECT_EQ(f.lines.back(), 0);
    try {
        ValidateInput(f);
        FAIL() << "a = 0 must be rejected";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos) << e.what();
    }
}

struct IntCase {
    const char* token;
    bool ok;
    int value;
};
class IntegerTokens : public ::testing::TestWithParam<IntCase> {};
TEST_P(IntegerTokens, Syntax) {
    int v = -777;
    EXPECT_EQ(ParseIntegerToken(GetParam().token, v), GetParam().ok) << GetParam().token;
    if (GetParam().ok) {
        EXPECT_EQ(v, GetParam().value);
    }
}
INSTANTIATE_TEST_SUITE_P(
    Forms, IntegerTokens,
    ::testing::Values(IntCase{"12", true, 12}, IntCase{"+7", true, 7}, IntCase{"-3", true, -3},
                      IntCase{"$1F", true, 31}, IntCase{"x10", true, 16}, IntCase{"X0a", true, 10},
                      IntCase{"0x20", true, 32}, IntCase{"0XfF", true, 255}, IntCase{"2.0", false, 0},
                      IntCase{"1e3", false, 0}, IntCase{"", false, 0}, IntCase{"0x", false, 0},
                      IntCase{"12a", false, 0}, IntCase{"99999999999", false, 0}, IntCase{"2147483647", true, 2147483647}, IntCase{"2147483648", false, 0}),
    [](const auto& info) { return testing_support::CaseText(info.param.ok ? "Valid_" : "Invalid_", info.param.token); });

struct RealCase {
    const char* token;
    bool ok;
    long double value;
};
class RealTokens : public ::testing::TestWithParam<RealCase> {};
TEST_P(RealTokens, Syntax) {
    long double v = -777;
    EXPECT_EQ(ParseRealToken(GetParam().token, v), GetParam().ok) << GetParam().token;
    if (GetParam().ok) {
        EXPECT_EQ(v, GetParam().value) << GetParam().token;
    }
}
INSTANTIATE_TEST_SUITE_P(
    Forms, RealTokens,
    ::testing::Values(RealCase{"1.4", true, 1.4L}, RealCase{"-0.5", true, -0.5L}, RealCase{"+2", true, 2.0L},
                      RealCase{".5", true, 0.5L}, RealCase{"5.", true, 5.0L}, RealCase{"1e3", true, 1000.0L},
                      RealCase{"2.5E-2", true, 0.025L}, RealCase{"1e+1", true, 10.0L},
                      RealCase{"1,5", false, 0}, RealCase{"1.4.", false, 0}, RealCase{"e5", false, 0},
                      RealCase{"1e", false, 0}, RealCase{"abc", false, 0}, RealCase{"nan", false, 0},
                      RealCase{"inf", false, 0}, RealCase{"1e99999", false, 0}, RealCase{"0x1p3", false, 0}),
    [](const auto& info) { return testing_support::CaseText(info.param.ok ? "Valid_" : "Invalid_", info.param.token); });

struct BadToken {
    const char* name;
    const char* text;
    const char* expect;  // part of the message
};
class BadTokens : public ::testing::TestWithParam<BadToken> {};
TEST_P(BadTokens, NameTheLineAndText) {
    try {
        Read(GetParam().text);
        FAIL() << "accepted";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().expect), std::string::npos) << e.what();
    }
}
INSTANTIATE_TEST_SUITE_P(
    Cases, BadTokens,
    ::testing::Values(BadToken{"DecimalComma", "1\n1.0\n0,01\n", "line 3: \"0,01\""},
                      BadToken{"RealForInteger", "2.0\n", "line 1: \"2.0\""}, BadToken{"NoLayers", "0\n", "N = 0"},
                      BadToken{"TooManyLayers", "5000\n", "N = 5000"}, BadToken{"EmptyFile", "", "empty"},
                      BadToken{"RealForM", "1\n1.0\n0.01\n1.4\n30\n20\n10\n0\n0\n1.5\n", "line 10"},
                      BadToken{"TokenTooLong", "1\n1.00000000000000000000000000000000000000000000000000000000000000001\n",
                               "line 2"}),
    [](const auto& info) { return std::string(info.param.name); });

// One case per range check: the message names the line and the value.
struct RangeCase {
    const char* name;
    int line;        // 1-based line to replace in kGood (or in the two-layer file)
    const char* value;
    bool layered;
    const char* expect;
};
class Ranges : public ::testing::TestWithParam<RangeCase> {};

std::string Replace(std::string text, int line, const std::string& value) {
    std::istringstream in(text);
    std::string out, l;
    for (int i = 1; std::getline(in, l); ++i) out += (i == line ? value : l) + "\n";
    return out;
}

const std::string kTwo =
    "2\n1.0\n0.01\n1.4\n10\n1.2\n0.02\n1.4\n40\n30\n20\n5\n0\n1\n4\n";

TEST_P(Ranges, RejectedWithLine) {
    const RangeCase& c = GetParam();
    InputFile f = Read(Replace(c.layered ? kTwo : kGood, c.line, c.value));
    try {
        ValidateInput(f);
        FAIL() << c.name << " accepted";
    } catch (const InputError& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("line " + std::to_string(c.line)), std::string::npos) << m;
        EXPECT_NE(m.find(c.expect), std::string::npos) << m;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Ranges,
    ::testing::Values(RangeCase{"musp", 2, "0", false, "musp"}, RangeCase{"mua", 3, "-0.1", false, "mua"},
                      RangeCase{"mua_zero_single", 3, "0", false, "singular"}, RangeCase{"n", 4, "0", false, "n of layer 1"},
                      RangeCase{"l", 5, "-1", false, "l of layer 1"}, RangeCase{"a", 6, "0", false, "a ="},
                      RangeCase{"rho", 7, "25", false, "rho ="}, RangeCase{"rho0", 8, "-1", false, "rho0"},
                      RangeCase{"rho0_beyond_rim", 8, "20.5", false, "rho0"},
                      RangeCase{"M_zero", 10, "0", false, "1 ... 512"}, RangeCase{"M_big", 10, "513", false, "1 ... 512"},
                      RangeCase{"MMAX_neg", 11, "-1", false, "0 ... 500"}, RangeCase{"MMAX_big", 11, "501", false, "0 ... 500"},
                      RangeCase{"NZ_big", 10, "250.1", true, "5002 Bessel zeros"}, RangeCase{"NZ_offaxis", 10, "249.5", true, "4985"},
                      RangeCase{"layer2_musp", 6, "0", true, "musp of layer 2"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Ranges, LimitsThemselvesAreAccepted) {
    // a = 250 mm gives exactly 5000 zeros on the axis; 0.0125*20 = 0.25 rounds to 0 ... use 0.05 -> 1.
    EXPECT_NO_THROW(ValidateInput(Read(Replace(Replace(kTwo, 10, "250"), 12, "0"))));
    EXPECT_NO_THROW(ValidateInput(Read(Replace(kTwo, 10, "249.25"))));  // 4985 with the source off the axis
    EXPECT_NO_THROW(ValidateInput(Read(Replace(kGood, 10, "512"))));
    EXPECT_NO_THROW(ValidateInput(Read(Replace(kGood, 7, "20"))));  // detector on the rim
}

TEST(Ranges, RadiusTooSmallForOneZero) {
    // 20 * 0.02 rounds to 0 zeros per order: a series of no terms.
    InputFile f = Read(Replace(Replace(Replace(kTwo, 10, "0.02"), 11, "0"), 12, "0"));
    EXPECT_THROW(ValidateInput(f), InputError);
}

TEST(Reader, MissingFileIsAClearError) {
    try {
        ReadInputFile("/nonexistent-dir/input.dat");
        FAIL();
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot open input file"), std::string::npos);
    }
}

}  // namespace
}  // namespace tdcyl
