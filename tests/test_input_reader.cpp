// The parameter file: one value per line, comments, line ends of any editor,
// number syntax, messages that name line and text, and the range checks that
// run before any computation.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <tuple>

#include "app/core/input_reader.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

using testing_support::Has;
using testing_support::Message;

InputFile Read(const std::string& text) {
    std::istringstream in(text);
    return ReadInput(in);
}

std::string ErrorOf(const std::string& text, bool validate = false) {
    return Message([&] {
        const InputFile f = Read(text);
        if (validate) ValidateInput(f);
    });
}

const std::string kGood =
    "1      layers\n1.0    musp\n0.01   mua\n1.4    n\n30     l\n20     a\n10     rho\n0      rho0\n0      phi\n"
    "1      M\n0      MMAX\n";
const std::string kTwo = "2\n1.0\n0.01\n1.4\n10\n1.2\n0.02\n1.4\n40\n30\n20\n5\n0\n1\n4\n";

// `text` with line `line` (1-based) replaced by `value`.
std::string Replace(const std::string& text, int line, const std::string& value) {
    std::istringstream in(text);
    std::string out, l;
    for (int i = 1; std::getline(in, l); ++i) out += (i == line ? value : l) + "\n";
    return out;
}

// A byte order mark and old Mac line ends read like the plain file.
TEST(Reader, ValuesAndCommentsInOrder) {
    std::string mac = kGood;
    std::replace(mac.begin(), mac.end(), '\n', '\r');
    for (const std::string& text : {kGood, "\xEF\xBB\xBF" + kGood, mac, "\xEF\xBB\xBF" + mac}) {
        const InputFile f = Read(text);
        const RunState& s = f.params;
        // n correctly rounded: selects the precomputed boundary factor
        EXPECT_EQ(std::tuple(s.N, s.musp[0], s.mua[0], s.n[0], s.l[0], s.a, s.rho, s.M),
                  std::tuple(1, 1.0L, 0.01L, 1.4L, 30.0L, 20.0L, 10.0L, 1));
        EXPECT_EQ(f.lines, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
        EXPECT_EQ(f.extra_values, 0);
        EXPECT_NO_THROW(ValidateInput(f));
    }
    const InputFile f = Read("\r\n  \t2 layers and a word\r\n\r\n1\n0.01\r\n1.4\n5\n 1.2\n0.02\n1.33\n40\n30\n20\n0\n0\n2\n3\n");
    EXPECT_EQ(std::tuple(f.params.N, f.lines[0], f.lines[1], f.params.n[1], f.params.MMAX), std::tuple(2, 2, 4, 1.33L, 3));
}

TEST(Tokens, IntegerSyntax) {
    const std::pair<const char*, int> valid[] = {{"12", 12},    {"+7", 7},      {"-3", -3},          {"$1F", 31},
                                                 {"x10", 16},   {"X0a", 10},    {"0x20", 32},        {"0XfF", 255},
                                                 {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}};
    for (const auto& [token, value] : valid) {
        int v = -777;
        EXPECT_TRUE(ParseIntegerToken(token, v)) << token;
        EXPECT_EQ(v, value) << token;
    }
    for (const char* token : {"2.0", "1e3", "", "0x", "12a", "2147483648", "-2147483649"}) {
        int v;
        EXPECT_FALSE(ParseIntegerToken(token, v)) << token;
    }
}

TEST(Tokens, RealSyntax) {
    const std::pair<const char*, long double> valid[] = {{"1.4", 1.4L}, {"-0.5", -0.5L},    {"+2", 2.0L},
                                                         {".5", 0.5L},  {"5.", 5.0L},       {"1e3", 1000.0L},
                                                         {"2.5E-2", 0.025L}, {"1e+1", 10.0L}};
    for (const auto& [token, value] : valid) {
        long double v = -777;
        EXPECT_TRUE(ParseRealToken(token, v)) << token;
        EXPECT_EQ(v, value) << token;
    }
    for (const char* token : {"1,5", "1.4.", "e5", "1e", ".", "abc", "nan", "inf", "1e99999", "0x1p3"}) {
        long double v;
        EXPECT_FALSE(ParseRealToken(token, v)) << token;
    }
}

// A value that cannot be read: the message names the line, quotes the text
// (bounded, printable) and says what is wrong in a few words.
TEST(Tokens, MessagesNameLineAndText) {
    const std::pair<std::string, const char*> cases[] = {
        {"1\n1.0\n0,01\n", "line 3: \"0,01\" is not a real number (mua of layer 1)"},
        {"2\n1\n0.01\n1.4\n5\nx\n", "line 6: \"x\" is not a real number (musp of layer 2)"},
        {"2.0\n", "line 1: \"2.0\" is not a whole number"},
        {"1\n1.0\n0.01\n1.4\n30\n20\n10\n0\n0\n1.5\n", "line 10: \"1.5\" is not a whole number (M); the file has "
                                                   "one value too few (10 where N = 1 needs 11)"},
        {"0\n", "N = 0"},
        {"5000\n", "N = 5000"},
        {"", "empty"},
        {"1\n" + std::string(1000000, '7') + "x\n", "too long"},
        {"1\n\xff\x7f\xc3\xa4\n", "\"\\xFF\\x7F\\xC3\\xA4\""},
        {"99999999999\n", "out of range"},
        {"0x1FFFFFFFF\n", "out of range"},
        {"1" + std::string(34, '0') + "\n", "too long"},
        {"1\n" + std::string(65, '1') + "\n", "line 2: \"1111111111111111111111111111111111111111...\" is too long"},
        {"1\n1e99999\n", "out of range"},
    };
    for (const auto& [text, expect] : cases) {
        const std::string m = ErrorOf(text);
        EXPECT_TRUE(Has(m, expect)) << m;
        EXPECT_LT(m.size(), 200u) << m;
        for (char c : m) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "unprintable byte in: " << m;
    }
}

// One case per range check: the message names the line and the value.
TEST(Ranges, RejectedWithLine) {
    struct Case {
        int line;  // replaced in kGood (or in kTwo)
        const char* value;
        bool layered;
        const char* expect;
    };
    const Case cases[] = {
        {2, "0", false, "musp"},        {3, "-0.1", false, "mua"},         {3, "0", false, "singular"},
        {4, "0", false, "n of layer 1"}, {5, "-1", false, "l of layer 1"}, {6, "0", false, "a ="},
        {7, "25", false, "rho ="},      {8, "-1", false, "rho0"},          {8, "20.5", false, "rho0"},
        {10, "0", false, "1 ... 512"},  {10, "513", false, "1 ... 512"},   {11, "-1", false, "0 ... 500"},
        {11, "501", false, "0 ... 500"}, {10, "250.1", true, "5002 Bessel zeros"}, {10, "249.5", true, "4985"},
        {6, "0", true, "musp of layer 2"},
    };
    for (const Case& c : cases) {
        const std::string m = ErrorOf(Replace(c.layered ? kTwo : kGood, c.line, c.value), true);
        EXPECT_TRUE(Has(m, "line " + std::to_string(c.line) + ":")) << m;
        EXPECT_TRUE(Has(m, c.expect)) << m;
    }
}

// A line deleted or repeated (or the file cut short) moves every later value into its neighbour's
// slot; the message then says the count is off (the case: a line of
// examples/two_layers.dat deleted, MMAX = 0 read as M).
TEST(Ranges, ShiftedValuesAreNamedAsSuch) {
    const std::string two = "2\n1.0\n0.01\n1.4\n10\n1.2\n0.02\n1.4\n40\n30\n20\n0\n0\n1\n0\n";
    const std::pair<std::string, const char*> cases[] = {
        {Replace(two, 5, ""), "line 15: M = 0 is outside the allowed range 1 ... 512; the file has one value too few "
                              "(14 where N = 2 needs 15): is a line missing"},
        {Replace(two, 3, "0.01\n0.01"), "one value too many (16 where N = 2 needs 15): is a line extra"},
        {"1\n1.0\n0.01\n1.4\n30\n", "end of file: the radius a is missing"}};
    for (const auto& [text, expect] : cases)
        EXPECT_TRUE(Has(ErrorOf(text, true), expect)) << ErrorOf(text, true);
}

TEST(Ranges, LimitsThemselvesAreAccepted) {
    EXPECT_NO_THROW(ValidateInput(Read(Replace(Replace(kTwo, 10, "250"), 12, "0"))));  // 5000 zeros on the axis
    EXPECT_NO_THROW(ValidateInput(Read(Replace(kTwo, 10, "249.25"))));  // 4985 with the source off the axis
    EXPECT_NO_THROW(ValidateInput(Read(Replace(kGood, 10, "512"))));
    EXPECT_NO_THROW(ValidateInput(Read(Replace(kGood, 7, "20"))));  // detector on the rim
    // 20 * 0.02 rounds to 0 zeros per order: a series of no terms.
    EXPECT_THROW(ValidateInput(Read(Replace(Replace(Replace(kTwo, 10, "0.02"), 11, "0"), 12, "0"))), InputError);
    EXPECT_TRUE(Has(Message([] { ReadInputFile("/nonexistent-dir/input.dat"); }), "cannot open input file"));
}

}  // namespace
}  // namespace tdcyl
