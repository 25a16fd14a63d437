// Complex arithmetic on Extended pairs: the elementary operations against
// std::complex<long double> away from the branch cuts, the fixed branch
// conventions on the axes, the integer Gamma/digamma helpers, and the combined
// hyperbolic forms against their product definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <ostream>
#include <random>
#include <tuple>
#include <vector>

#include "numerics/complex.hpp"

namespace tdcyl {
namespace {

using StdCx = std::complex<long double>;

constexpr Extended kPiTrue = 3.14159265358979323846264338327950288L;

StdCx ToStd(Cx z) { return {z.re, z.im}; }

// |got - want| <= tol in Extended (EXPECT_NEAR would compare in double).
::testing::AssertionResult Within(Extended got, Extended want, Extended tol) {
    if (std::fabs(got - want) <= tol) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " is " << got - want << " away from " << want;
}

// Deterministic operands in [-scale, scale]^2; off the negative real axis
// (re > 0 or |im| >= 0.1 scale), where the branches of std::complex and ours coincide.
std::vector<Cx> RandomOperands(unsigned seed, int count, Extended scale) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<long double> u(-scale, scale);
    std::vector<Cx> v;
    while (static_cast<int>(v.size()) < count) {
        const Cx z{u(gen), u(gen)};
        if (z.re > 0 || std::fabs(z.im) >= 0.1L * scale) v.push_back(z);
    }
    return v;
}

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
        ASSERT_LE(std::abs(ToStd(got) - ref) / std::abs(ref), c.tol)
            << "a=(" << a.re << "," << a.im << ") b=(" << b.re << "," << b.im << ") p=" << p;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ops, ElementaryVsStd,
    ::testing::Values(OpCase{Op::Mul, "CMul", 10, 4e-19L}, OpCase{Op::Div, "CDiv", 10, 6e-19L},
                      OpCase{Op::Sqr, "CSqr", 10, 4e-19L},
                      // r - x cancels near the positive real axis: the literal formula loses
                      // relative accuracy in the small imaginary part there.
                      OpCase{Op::Sqrt, "CSqrt", 10, 1e-16L}, OpCase{Op::Exp, "CExp", 20, 1e-17L},
                      OpCase{Op::Ln, "CLn", 10, 1e-18L}, OpCase{Op::Sinh, "CSinh", 20, 1e-17L},
                      OpCase{Op::Cosh, "CCosh", 20, 1e-17L}, OpCase{Op::Pow, "CPowReal", 5, 1e-16L}),
    [](const ::testing::TestParamInfo<OpCase>& info) { return std::string(info.param.name); });

// The stored pi carries 18 significant digits (1.5e-18 above the true value).
TEST(BranchConventions, AxesAndCuts) {
    EXPECT_EQ(CArg(0, 0), 0);
    EXPECT_TRUE(Within(CArg(0, -1e-30L), -kPiTrue / 2, 2e-18L));
    // The negative real axis belongs to +pi, from either zero.
    EXPECT_TRUE(Within(CArg(-1, 0), kPiTrue, 2e-18L));
    EXPECT_TRUE(Within(CArg(-1, -0.0L), kPiTrue, 2e-18L));
    // The three-valued sign puts the root of a negative real number at 0 + 0i.
    EXPECT_EQ(Sign(-0.0L), 0);
    EXPECT_EQ(CSqrt(Cx{-4, 0}).im, 0);
    EXPECT_TRUE(Within(CSqrt(Cx{-4, -1e-12L}).im, -2, 1e-12L));
    EXPECT_EQ(CPowReal(Cx{0, 0}, 0).re, 1);
}

// Gamma(n) = (n-1)! (1 for n <= 2) and psi(n) = -gamma + H(n-1) (-gamma for
// n <= 1); large values from mpmath.
TEST(IntegerHelpers, GammaAndDigamma) {
    constexpr Extended kGammaTrue = 0.577215664901532860606512090082402431L;
    for (const auto& [n, g] : {std::pair{0, 1.0L}, {2, 1.0L}, {5, 24.0L}, {21, 2432902008176640000.0L}})
        EXPECT_EQ(GammaInt(n), g) << n;
    // 221!: beyond the double range
    EXPECT_TRUE(Within(GammaInt(222) / 5.0473313423713576208479575619048875e423L, 1, 1e-16L));
    for (const auto& [n, psi, tol] : {std::tuple{-5, -kGammaTrue, 1e-19L}, {1, -kGammaTrue, 1e-19L}, {3, 1.5L - kGammaTrue, 2e-19L}})
        EXPECT_TRUE(Within(DigammaInt(n), psi, tol)) << n;
    EXPECT_TRUE(Within(DigammaInt(271), 5.6002726677333675944545822053926069L, 4e-18L));
}

// The combined hyperbolic forms against the products of std::complex, relative
// to the largest product term, so that cancellation between the two parts is
// not charged to the method.
TEST(HyperbolicMix, EqualsProductForms) {
    std::mt19937_64 gen(4242);
    std::uniform_real_distribution<long double> coeff(-2, 2), re(-40, 40), im(-6, 6);
    for (int i = 0; i < 2000; ++i) {
        const Cx a{coeff(gen), coeff(gen)}, b{coeff(gen), coeff(gen)}, u{re(gen), im(gen)}, v{re(gen), im(gen)};
        const StdCx sa = ToStd(a), sb = ToStd(b), su = ToStd(u), sv = ToStd(v);
        const StdCx t1 = sa * std::cosh(su), t2 = sb * std::sinh(su);
        ASSERT_LE(std::abs(ToStd(CoshSinhSum(a, u, b)) - (t1 + t2)) / (std::abs(t1) + std::abs(t2)), 2e-17L);
        const StdCx s1 = sa * std::sinh(su) * std::cosh(sv), s2 = sb * std::cosh(su) * std::sinh(sv);
        ASSERT_LE(std::abs(ToStd(SinhCoshMix(a, u, v, b)) - (s1 + s2)) / (std::abs(s1) + std::abs(s2)), 2e-17L);
        const StdCx c1 = sa * std::cosh(su) * std::cosh(sv), c2 = sb * std::sinh(su) * std::sinh(sv);
        ASSERT_LE(std::abs(ToStd(CoshCoshMix(a, u, v, b)) - (c1 + c2)) / (std::abs(c1) + std::abs(c2)), 2e-17L)
            << "u=(" << u.re << "," << u.im << ") v=(" << v.re << "," << v.im << ")";
    }
}

}  // namespace
}  // namespace tdcyl
