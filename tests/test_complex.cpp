// Complex arithmetic on Extended pairs: the elementary operations against
// std::complex<long double> away from the branch cuts, the fixed branch
// conventions on the axes, the integer Gamma/digamma helpers, and the combined
// hyperbolic forms against their product definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <vector>

#include "case_names.hpp"
#include "numerics/complex.hpp"

namespace tdcyl {
namespace {

using StdCx = std::complex<long double>;

constexpr Extended kPiTrue = 3.14159265358979323846264338327950288L;

StdCx ToStd(Cx z) { return {z.re, z.im}; }

// |a - b| / |b| with the modulus of the reference as scale.
Extended RelErr(Cx a, StdCx b) { return std::abs(ToStd(a) - b) / std::abs(b); }

// Worst measured error, kept in the XML report (--gtest_output=xml).
void RecordWorst(Extended worst) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3Lg", worst);
    ::testing::Test::RecordProperty("worst_rel", buf);
}

// Deterministic uniform values in [lo, hi) (64-bit LCG, top 53 bits).
class Lcg {
  public:
    explicit Lcg(std::uint64_t seed) : state_(seed) {}
    Extended Uniform(Extended lo, Extended hi) {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        const Extended u = static_cast<Extended>(state_ >> 11) / 9007199254740992.0L;
        return lo + (hi - lo) * u;
    }

  private:
    std::uint64_t state_;
};

// Operands stay off the negative real axis (re > 0 or |im| >= 0.1), so the
// branch of std::complex and ours coincide.
std::vector<Cx> RandomOperands(std::uint64_t seed, int count, Extended scale) {
    Lcg g(seed);
    std::vector<Cx> v;
    while (static_cast<int>(v.size()) < count) {
        const Cx z{g.Uniform(-scale, scale), g.Uniform(-scale, scale)};
        if (z.re > 0 || std::fabs(z.im) >= 0.1L * scale) v.push_back(z);
    }
    return v;
}

// ---- Elementary operations vs std::complex -------------------------------

enum class Op { Mul, Div, Sqr, Sqrt, Exp, Ln, Sinh, Cosh, Pow };

struct OpCase {
    Op op;
    const char* name;
    Extended scale;  // operand range [-scale, scale]
    Extended tol;    // relative tolerance
};

std::ostream& operator<<(std::ostream& os, const OpCase& c) { return os << c.name; }

class ElementaryVsStd : public ::testing::TestWithParam<OpCase> {};

TEST_P(ElementaryVsStd, RandomOperandsAwayFromCuts) {
    const OpCase& c = GetParam();
    const auto as = RandomOperands(17 + static_cast<int>(c.op), 2000, c.scale);
    const auto bs = RandomOperands(991 + static_cast<int>(c.op), 2000, c.scale);
    Extended worst = 0;
    for (std::size_t i = 0; i < as.size(); ++i) {
        const Cx a = as[i], b = bs[i];
        const StdCx sa = ToStd(a), sb = ToStd(b);
        const Extended p = 0.5L + 3 * static_cast<Extended>(i % 7) - 9;  // -8.5 .. 9.5
        Cx got{};
        StdCx ref;
        switch (c.op) {
            case Op::Mul: got = CMul(a, b); ref = sa * sb; break;
            case Op::Div: got = CDiv(a, b); ref = sa / sb; break;
            case Op::Sqr: got = CSqr(a); ref = sa * sa; break;
            case Op::Sqrt: got = CSqrt(a); ref = std::sqrt(sa); break;
            case Op::Exp: got = CExp(a); ref = std::exp(sa); break;
            case Op::Ln: got = CLn(a); ref = std::log(sa); break;
            case Op::Sinh: got = CSinh(a); ref = std::sinh(sa); break;
            case Op::Cosh: got = CCosh(a); ref = std::cosh(sa); break;
            case Op::Pow: got = CPowReal(a, p); ref = std::pow(sa, p); break;
        }
        const Extended e = RelErr(got, ref);
        if (e > worst) worst = e;
        ASSERT_LE(e, c.tol) << "a=(" << a.re << "," << a.im << ") b=(" << b.re << "," << b.im
                            << ") p=" << p;
    }
    RecordWorst(worst);
}

INSTANTIATE_TEST_SUITE_P(
    Ops, ElementaryVsStd,
    ::testing::Values(OpCase{Op::Mul, "CMul", 10, 4e-19L}, OpCase{Op::Div, "CDiv", 10, 6e-19L},
                      OpCase{Op::Sqr, "CSqr", 10, 4e-19L}, // r - x cancels near the positive real axis: the literal formula loses
                      // relative accuracy in the small imaginary part there.
                      OpCase{Op::Sqrt, "CSqrt", 10, 1e-16L},
                      OpCase{Op::Exp, "CExp", 20, 1e-17L}, OpCase{Op::Ln, "CLn", 10, 1e-18L},
                      OpCase{Op::Sinh, "CSinh", 20, 1e-17L}, OpCase{Op::Cosh, "CCosh", 20, 1e-17L},
                      OpCase{Op::Pow, "CPowReal", 5, 1e-16L}),
    [](const ::testing::TestParamInfo<OpCase>& info) { return std::string(info.param.name); });

// ---- Branch conventions and exact values ---------------------------------

struct ArgCase {
    Extended x, y, expected;
};
std::ostream& operator<<(std::ostream& os, const ArgCase& c) { return os << "(" << c.x << "," << c.y << ")"; }

class ArgBranch : public ::testing::TestWithParam<ArgCase> {};

TEST_P(ArgBranch, ValueInMinusPiPi) {
    const ArgCase& c = GetParam();
    const Extended a = CArg(c.x, c.y);
    // The stored pi carries 18 significant digits (1.5e-18 above the true value).
    EXPECT_LE(std::fabs(a - c.expected), 2e-18L) << a;
    EXPECT_GT(a, -kPiTrue);
    EXPECT_LE(a, kPiTrue + 2e-18L);
}

INSTANTIATE_TEST_SUITE_P(
    Axes, ArgBranch,
    ::testing::Values(ArgCase{0, 0, 0}, ArgCase{0, 3, kPiTrue / 2}, ArgCase{0, -1e-30L, -kPiTrue / 2},
                      ArgCase{-1, 0, kPiTrue}, ArgCase{-1, -0.0L, kPiTrue}, ArgCase{-1, -1, -3 * kPiTrue / 4},
                      ArgCase{-1, 1, 3 * kPiTrue / 4}, ArgCase{1, -1, -kPiTrue / 4}, ArgCase{2, 0, 0},
                      ArgCase{-1e-20L, 1, kPiTrue / 2}),
    [](const auto& info) {
        return testing_support::CaseNumber(testing_support::CaseNumber("x", info.param.x) + "_y", info.param.y);
    });

struct CxCase {
    const char* name;
    Cx got;
    Cx expected;
    Extended tol;  // absolute
};
std::ostream& operator<<(std::ostream& os, const CxCase& c) { return os << c.name; }

class BranchValues : public ::testing::TestWithParam<CxCase> {};

TEST_P(BranchValues, MatchesConvention) {
    const CxCase& c = GetParam();
    EXPECT_LE(std::fabs(c.got.re - c.expected.re), c.tol) << c.got.re;
    EXPECT_LE(std::fabs(c.got.im - c.expected.im), c.tol) << c.got.im;
}

constexpr Extended kTiny = 1e-12L;

INSTANTIATE_TEST_SUITE_P(
    Edges, BranchValues,
    ::testing::Values(
        // The three-valued sign puts the root of a negative real number at 0 + 0i.
        CxCase{"SqrtMinus4", CSqrt(Cx{-4, 0}), Cx{0, 0}, 0},
        CxCase{"SqrtMinus4Above", CSqrt(Cx{-4, kTiny}), Cx{0, 2}, 1e-12L},
        CxCase{"SqrtMinus4Below", CSqrt(Cx{-4, -kTiny}), Cx{0, -2}, 1e-12L},
        CxCase{"Sqrt0", CSqrt(Cx{0, 0}), Cx{0, 0}, 0}, CxCase{"Pow00", CPowReal(Cx{0, 0}, 0), Cx{1, 0}, 0},
        CxCase{"Pow03", CPowReal(Cx{0, 0}, 3), Cx{0, 0}, 0},
        CxCase{"PowMinus1Half", CPowReal(Cx{-1, 0}, 0.5L), Cx{0, 1}, 1e-18L},
        CxCase{"PowMinus8Third", CPowReal(Cx{-8, 0}, 1.0L / 3), Cx{1, 1.73205080756887729353L}, 1e-17L},
        CxCase{"LnMinus1", CLn(Cx{-1, 0}), Cx{0, kPiTrue}, 2e-18L}),
    [](const ::testing::TestParamInfo<CxCase>& info) { return std::string(info.param.name); });

TEST(SignFunction, ThreeValued) {
    EXPECT_EQ(Sign(-0.0L), 0);
    EXPECT_EQ(Sign(0.0L), 0);
    EXPECT_EQ(Sign(1e-4000L), 1);
    EXPECT_EQ(Sign(-1e-4000L), -1);
    EXPECT_EQ(Sign(-3), -1);
}

struct IntCase {
    int n;
    Extended expected;
    Extended tol;
};
std::ostream& operator<<(std::ostream& os, const IntCase& c) { return os << "n=" << c.n; }

class GammaIntValues : public ::testing::TestWithParam<IntCase> {};
TEST_P(GammaIntValues, Factorial) {
    const IntCase& c = GetParam();
    EXPECT_LE(std::fabs(GammaInt(c.n) - c.expected), c.tol * std::fabs(c.expected)) << GammaInt(c.n);
}
INSTANTIATE_TEST_SUITE_P(Values, GammaIntValues,
                         ::testing::Values(IntCase{1, 1, 0}, IntCase{2, 1, 0}, IntCase{5, 24, 0},
                                           IntCase{0, 1, 0}, IntCase{-3, 1, 0},
                                           IntCase{21, 2432902008176640000.0L, 0},
                                           // 170! = 7.257415615307998967e306 (mpmath)
                                           IntCase{171, 7.257415615307998967396728211129263e306L, 2e-17L},
                                           // 221!: beyond the double range
                                           IntCase{222, 5.0473313423713576208479575619048875e423L, 1e-16L}),
                         [](const auto& info) { return testing_support::CaseNumber("n", info.param.n); });

// psi(n) = -gamma + H(n-1): values from mpmath.digamma.
class DigammaIntValues : public ::testing::TestWithParam<IntCase> {};
TEST_P(DigammaIntValues, HarmonicMinusGamma) {
    const IntCase& c = GetParam();
    EXPECT_LE(std::fabs(DigammaInt(c.n) - c.expected), c.tol) << DigammaInt(c.n);
}
constexpr Extended kGammaTrue = 0.577215664901532860606512090082402431L;
INSTANTIATE_TEST_SUITE_P(Values, DigammaIntValues,
                         ::testing::Values(IntCase{1, -kGammaTrue, 1e-19L}, IntCase{0, -kGammaTrue, 1e-19L},
                                           IntCase{-5, -kGammaTrue, 1e-19L}, IntCase{2, 1 - kGammaTrue, 2e-19L},
                                           IntCase{3, 1.5L - kGammaTrue, 2e-19L},
                                           IntCase{51, 3.9219896734278921969539597028823667L, 2e-18L},
                                           IntCase{271, 5.6002726677333675944545822053926069L, 4e-18L}),
                         [](const auto& info) { return testing_support::CaseNumber("n", info.param.n); });

// ---- Combined hyperbolic forms vs products of std::complex ----------------

enum class Mix { CoshSinh, SinhCosh, CoshCosh };
struct MixCase {
    Mix kind;
    const char* name;
    Extended scale;  // |Re u|, |Re v| up to scale
};
std::ostream& operator<<(std::ostream& os, const MixCase& c) { return os << c.name; }

class HyperbolicMix : public ::testing::TestWithParam<MixCase> {};

TEST_P(HyperbolicMix, EqualsProductForm) {
    const MixCase& c = GetParam();
    Lcg g(4242 + static_cast<int>(c.kind) * 31 + static_cast<int>(c.scale));
    Extended worst = 0;
    for (int i = 0; i < 2000; ++i) {
        const Cx a{g.Uniform(-2, 2), g.Uniform(-2, 2)};
        const Cx b{g.Uniform(-2, 2), g.Uniform(-2, 2)};
        const Cx u{g.Uniform(-c.scale, c.scale), g.Uniform(-6, 6)};
        const Cx v{g.Uniform(-c.scale, c.scale), g.Uniform(-6, 6)};
        const StdCx sa = ToStd(a), sb = ToStd(b), su = ToStd(u), sv = ToStd(v);
        Cx got{};
        StdCx ref;
        // The scale of the result: the largest product term, so that
        // cancellation between the two parts is not charged to the method.
        Extended mag = 0;
        switch (c.kind) {
            case Mix::CoshSinh:
                got = CoshSinhSum(a, u, b);
                ref = sa * std::cosh(su) + sb * std::sinh(su);
                mag = std::abs(sa * std::cosh(su)) + std::abs(sb * std::sinh(su));
                break;
            case Mix::SinhCosh:
                got = SinhCoshMix(a, u, v, b);
                ref = sa * std::sinh(su) * std::cosh(sv) + sb * std::cosh(su) * std::sinh(sv);
                mag = std::abs(sa * std::sinh(su) * std::cosh(sv)) + std::abs(sb * std::cosh(su) * std::sinh(sv));
                break;
            case Mix::CoshCosh:
                got = CoshCoshMix(a, u, v, b);
                ref = sa * std::cosh(su) * std::cosh(sv) + sb * std::sinh(su) * std::sinh(sv);
                mag = std::abs(sa * std::cosh(su) * std::cosh(sv)) + std::abs(sb * std::sinh(su) * std::sinh(sv));
                break;
        }
        const Extended e = std::abs(ToStd(got) - ref) / mag;
        if (e > worst) worst = e;
        ASSERT_LE(e, 2e-17L) << "u=(" << u.re << "," << u.im << ") v=(" << v.re << "," << v.im << ")";
    }
    RecordWorst(worst);
}

INSTANTIATE_TEST_SUITE_P(Forms, HyperbolicMix,
                         ::testing::Values(MixCase{Mix::CoshSinh, "CoshSinhSumSmall", 1},
                                           MixCase{Mix::CoshSinh, "CoshSinhSumLarge", 40},
                                           MixCase{Mix::SinhCosh, "SinhCoshMixSmall", 1},
                                           MixCase{Mix::SinhCosh, "SinhCoshMixLarge", 40},
                                           MixCase{Mix::CoshCosh, "CoshCoshMixSmall", 1},
                                           MixCase{Mix::CoshCosh, "CoshCoshMixLarge", 40}),
                         [](const ::testing::TestParamInfo<MixCase>& info) { return std::string(info.param.name); });

// Degenerate arguments reduce to the single functions.
TEST(HyperbolicMixLimits, ZeroArguments) {
    const Cx a{1.25L, -0.5L}, b{-0.75L, 2.0L}, u{0.8L, -1.1L}, zero{0, 0};
    const StdCx sa = ToStd(a), su = ToStd(u);
    const Cx cs = CoshSinhSum(a, zero, b);
    EXPECT_EQ(cs.re, a.re);
    EXPECT_EQ(cs.im, a.im);
    EXPECT_LE(RelErr(SinhCoshMix(a, u, zero, b), sa * std::sinh(su)), 1e-18L);
    EXPECT_LE(RelErr(CoshCoshMix(a, u, zero, b), sa * std::cosh(su)), 1e-18L);
}

}  // namespace
}  // namespace tdcyl
