// What the reader says about text it cannot use: bounded, printable quotes,
// "too long" and "out of range" where they apply; and the files it must read
// the same way whatever editor wrote them (byte order mark, CR-only ends).
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "app/core/input_reader.hpp"

namespace tdcyl {
namespace {

const std::string kGood = "1\n1.0\n0.01\n1.4\n30\n20\n10\n0\n0\n1\n0\n";

std::string ErrorOf(const std::string& text) {
    try {
        std::istringstream in(text);
        ReadInput(in);
    } catch (const InputError& e) {
        return e.what();
    }
    return "(accepted)";
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct MessageCase {
    const char* name;
    std::string text;
    const char* expect;
};

class Messages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(Messages, SayWhatIsWrongInAFewWords) {
    const std::string m = ErrorOf(GetParam().text);
    EXPECT_TRUE(Has(m, GetParam().expect)) << m;
    EXPECT_LT(m.size(), 200u) << m;
    for (char c : m) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "unprintable byte in: " << m;
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, Messages,
    ::testing::Values(
        MessageCase{"huge_token", "1\n" + std::string(1000000, '7') + "x\n", "too long"},
        MessageCase{"binary", "1\n\xff\x7f\xc3\xa4\n", "\"\\xFF\\x7F\\xC3\\xA4\""},
        MessageCase{"integer_overflow", "99999999999\n", "out of range"},
        MessageCase{"integer_35_digits", "1" + std::string(34, '0') + "\n", "too long"},
        MessageCase{"real_65_characters", "1\n" + std::string(65, '1') + "\n", "too long"},
        MessageCase{"real_overflow", "1\n1e99999\n", "out of range"},
        MessageCase{"hex_overflow", "0x1FFFFFFFF\n", "out of range"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineEnds, ByteOrderMarkAndCarriageReturnsReadLikeThePlainFile) {
    std::istringstream plain(kGood);
    const InputFile expected = ReadInput(plain);
    std::string mac = kGood;
    for (char& c : mac)
        if (c == '\n') c = '\r';
    for (const std::string& text : {"\xEF\xBB\xBF" + kGood, mac, "\xEF\xBB\xBF" + mac}) {
        std::istringstream in(text);
        const InputFile f = ReadInput(in);
        EXPECT_EQ(f.params.N, expected.params.N);
        EXPECT_EQ(f.params.mua, expected.params.mua);
        EXPECT_EQ(f.params.a, expected.params.a);
        EXPECT_EQ(f.params.M, expected.params.M);
        EXPECT_EQ(f.lines, expected.lines);
        EXPECT_EQ(f.extra_values, 0);
    }
}

}  // namespace
}  // namespace tdcyl
