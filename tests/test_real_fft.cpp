// four1 and realft against direct O(N^2) sums of their definitions (in
// Extended), round trips, impulses, constants and the packed half spectrum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "case_names.hpp"
#include "numerics/extended.hpp"
#include "numerics/real_fft.hpp"

namespace tdcyl {
namespace {

constexpr Extended kTwoPiL = 6.283185307179586476925286766559L;

// exp(sign * 2 pi i * p / q) with the exponent reduced modulo q first.
void Twiddle(unsigned long long p, unsigned long long q, int sign, Extended& c, Extended& s) {
    const Extended a = kTwoPiL * static_cast<Extended>(p % q) / static_cast<Extended>(q);
    c = std::cos(a);
    s = sign * std::sin(a);
}

std::vector<double> RandomData(std::size_t count, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(count);
    for (double& x : v) x = u(gen);
    return v;
}

double MaxAbs(const std::vector<double>& v) {
    double m = 0;
    for (double x : v) m = std::max(m, std::fabs(x));
    return m;
}

// Rounding of a radix-2 transform grows like log2(N) * eps * (typical |F|);
// with unit-scale random input |F| ~ sqrt(N). The bound below is about ten
// times the largest error measured.
double TransformTol(std::size_t count) {
    return 2e-15 * std::sqrt(static_cast<double>(count)) * std::log2(static_cast<double>(count) + 1.0);
}

// ---------------------------------------------------------------------------
// four1

// Direct sum: out_k = sum_j z_j exp(isign 2 pi i j k / nn).
std::vector<double> DirectComplex(const std::vector<double>& z, unsigned nn, int isign) {
    std::vector<double> out(2 * nn);
    for (unsigned k = 0; k < nn; ++k) {
        Extended re = 0;
        Extended im = 0;
        for (unsigned j = 0; j < nn; ++j) {
            Extended c = 0;
            Extended s = 0;
            Twiddle(static_cast<unsigned long long>(j) * k, nn, isign, c, s);
            re += z[2 * j] * c - z[2 * j + 1] * s;
            im += z[2 * j] * s + z[2 * j + 1] * c;
        }
        out[2 * k] = static_cast<double>(re);
        out[2 * k + 1] = static_cast<double>(im);
    }
    return out;
}

class ComplexFft : public ::testing::TestWithParam<unsigned> {};

TEST_P(ComplexFft, MatchesDirectSumBothSigns) {
    const unsigned nn = GetParam();
    for (int isign : {1, -1}) {
        const std::vector<double> z = RandomData(2 * nn, 11 + nn);
        std::vector<double> data = z;
        four1(data.data(), nn, isign);
        const std::vector<double> ref = DirectComplex(z, nn, isign);
        for (unsigned i = 0; i < 2 * nn; ++i) {
            ASSERT_NEAR(data[i], ref[i], TransformTol(nn)) << "isign=" << isign << " i=" << i;
        }
    }
}

TEST_P(ComplexFft, RoundTripGivesNnTimesInput) {
    const unsigned nn = GetParam();
    const std::vector<double> z = RandomData(2 * nn, 23 + nn);
    std::vector<double> data = z;
    four1(data.data(), nn, 1);
    four1(data.data(), nn, -1);
    for (unsigned i = 0; i < 2 * nn; ++i) {
        ASSERT_NEAR(data[i], nn * z[i], nn * 2e-15 * std::log2(2.0 * nn)) << "i=" << i;
    }
}

TEST_P(ComplexFft, ImpulseAtZeroIsFlat) {
    const unsigned nn = GetParam();
    for (int isign : {1, -1}) {
        std::vector<double> data(2 * nn, 0.0);
        data[0] = 1.0;
        four1(data.data(), nn, isign);
        for (unsigned k = 0; k < nn; ++k) {
            EXPECT_EQ(data[2 * k], 1.0) << "isign=" << isign << " k=" << k;
            EXPECT_EQ(data[2 * k + 1], 0.0) << "isign=" << isign << " k=" << k;
        }
    }
}

// An impulse at element m gives the pure exponential exp(isign 2 pi i m k / nn).
TEST_P(ComplexFft, ShiftedImpulseIsExponential) {
    const unsigned nn = GetParam();
    const unsigned m = (nn <= 2) ? nn - 1 : nn / 2 + 1;  // off the symmetric points where possible
    for (int isign : {1, -1}) {
        std::vector<double> data(2 * nn, 0.0);
        data[2 * m] = 1.0;
        four1(data.data(), nn, isign);
        for (unsigned k = 0; k < nn; ++k) {
            Extended c = 0;
            Extended s = 0;
            Twiddle(static_cast<unsigned long long>(m) * k, nn, isign, c, s);
            ASSERT_NEAR(data[2 * k], static_cast<double>(c), 1e-14) << "isign=" << isign << " k=" << k;
            ASSERT_NEAR(data[2 * k + 1], static_cast<double>(s), 1e-14) << "isign=" << isign << " k=" << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, ComplexFft, ::testing::Values(1u, 2u, 4u, 8u, 16u, 32u, 64u, 128u, 256u, 512u, 1024u),
                         [](const auto& info) { return testing_support::CaseNumber("N", info.param); });

// ---------------------------------------------------------------------------
// realft, N = 2n real values

// F_k = sum_j x_j exp(+2 pi i j k / N), packed: F_0, F_{N/2}, Re F_1, Im F_1, ...
std::vector<double> DirectRealForward(const std::vector<double>& x) {
    const std::size_t count = x.size();
    std::vector<double> out(count);
    for (std::size_t k = 0; k <= count / 2; ++k) {
        Extended re = 0;
        Extended im = 0;
        for (std::size_t j = 0; j < count; ++j) {
            Extended c = 0;
            Extended s = 0;
            Twiddle(static_cast<unsigned long long>(j) * k, count, 1, c, s);
            re += x[j] * c;
            im += x[j] * s;
        }
        if (k == 0) {
            out[0] = static_cast<double>(re);
        } else if (k == count / 2) {
            out[1] = static_cast<double>(re);
        } else {
            out[2 * k] = static_cast<double>(re);
            out[2 * k + 1] = static_cast<double>(im);
        }
    }
    return out;
}

// y_j = G_0/2 + (-1)^j G_{N/2}/2 + sum_{k=1}^{N/2-1} (Re G_k cos(2 pi jk/N) + Im G_k sin(2 pi jk/N)).
std::vector<double> DirectRealInverse(const std::vector<double>& g) {
    const std::size_t count = g.size();
    std::vector<double> out(count);
    for (std::size_t j = 0; j < count; ++j) {
        Extended y = 0.5L * g[0] + ((j % 2 == 0) ? 0.5L : -0.5L) * g[1];
        for (std::size_t k = 1; k < count / 2; ++k) {
            Extended c = 0;
            Extended s = 0;
            Twiddle(static_cast<unsigned long long>(j) * k, count, 1, c, s);
            y += g[2 * k] * c + g[2 * k + 1] * s;
        }
        out[j] = static_cast<double>(y);
    }
    return out;
}

class RealFft : public ::testing::TestWithParam<unsigned> {};

TEST_P(RealFft, ForwardMatchesDirectSum) {
    const unsigned n = GetParam();
    const std::vector<double> x = RandomData(2 * n, 101 + n);
    std::vector<double> data = x;
    realft(data.data(), n, 1);
    const std::vector<double> ref = DirectRealForward(x);
    for (unsigned i = 0; i < 2 * n; ++i) {
        ASSERT_NEAR(data[i], ref[i], TransformTol(2 * n)) << "i=" << i;
    }
}

TEST_P(RealFft, InverseMatchesDirectSum) {
    const unsigned n = GetParam();
    const std::vector<double> g = RandomData(2 * n, 202 + n);
    std::vector<double> data = g;
    realft(data.data(), n, -1);
    const std::vector<double> ref = DirectRealInverse(g);
    for (unsigned i = 0; i < 2 * n; ++i) {
        ASSERT_NEAR(data[i], ref[i], TransformTol(2 * n)) << "i=" << i;
    }
}

TEST_P(RealFft, RoundTripGivesNTimesInput) {
    const unsigned n = GetParam();
    const std::vector<double> x = RandomData(2 * n, 303 + n);
    std::vector<double> data = x;
    realft(data.data(), n, 1);
    realft(data.data(), n, -1);
    const double scale = n * MaxAbs(x);
    for (unsigned i = 0; i < 2 * n; ++i) {
        ASSERT_NEAR(data[i], n * x[i], scale * 1e-15 * std::log2(2.0 * n)) << "i=" << i;
    }
}

// Any isign other than +1 is the inverse.
TEST_P(RealFft, OtherSignsAreInverse) {
    const unsigned n = GetParam();
    const std::vector<double> g = RandomData(2 * n, 404 + n);
    std::vector<double> ref = g;
    realft(ref.data(), n, -1);
    for (int isign : {0, 2, -7}) {
        std::vector<double> data = g;
        realft(data.data(), n, isign);
        EXPECT_EQ(data, ref) << "isign=" << isign;
    }
}

TEST_P(RealFft, ImpulseGivesUnitSpectrum) {
    const unsigned n = GetParam();
    std::vector<double> data(2 * n, 0.0);
    data[0] = 1.0;
    realft(data.data(), n, 1);
    EXPECT_NEAR(data[0], 1.0, 1e-15);  // F_0
    EXPECT_NEAR(data[1], 1.0, 1e-15);  // F_{N/2}
    for (unsigned k = 1; k < n; ++k) {
        EXPECT_NEAR(data[2 * k], 1.0, 1e-15) << "k=" << k;
        EXPECT_NEAR(data[2 * k + 1], 0.0, 1e-15) << "k=" << k;
    }
}

TEST_P(RealFft, ConstantGivesOnlyDc) {
    const unsigned n = GetParam();
    const double c = 0.7;
    std::vector<double> data(2 * n, c);
    realft(data.data(), n, 1);
    const double count = 2.0 * n;
    EXPECT_NEAR(data[0], count * c, count * c * 1e-15);
    for (unsigned i = 1; i < 2 * n; ++i) {
        EXPECT_NEAR(data[i], 0.0, count * c * 1e-15) << "i=" << i;
    }
}

TEST_P(RealFft, InverseOfDcAndNyquistTerms) {
    const unsigned n = GetParam();
    const double g = 3.25;
    std::vector<double> dc(2 * n, 0.0);
    dc[0] = g;
    realft(dc.data(), n, -1);
    std::vector<double> nyquist(2 * n, 0.0);
    nyquist[1] = g;
    realft(nyquist.data(), n, -1);
    for (unsigned j = 0; j < 2 * n; ++j) {
        EXPECT_NEAR(dc[j], 0.5 * g, 1e-15 * g) << "j=" << j;
        EXPECT_NEAR(nyquist[j], (j % 2 == 0 ? 0.5 : -0.5) * g, 1e-15 * g) << "j=" << j;
    }
}

// A single cosine and sine of frequency k0 forward: F_k0 = N/2 (a + i b)
// for x_j = a cos(2 pi j k0/N) + b sin(2 pi j k0/N), nothing elsewhere.
TEST_P(RealFft, PureToneLandsInItsBin) {
    const unsigned n = GetParam();
    const unsigned count = 2 * n;
    const unsigned k0 = (n < 4) ? 1 : n / 2 + 1;
    const double a = 0.6;
    const double b = -0.3;
    std::vector<double> data(count);
    for (unsigned j = 0; j < count; ++j) {
        Extended c = 0;
        Extended s = 0;
        Twiddle(static_cast<unsigned long long>(j) * k0, count, 1, c, s);
        data[j] = static_cast<double>(a * c + b * s);
    }
    realft(data.data(), n, 1);
    const double tol = 4e-16 * count * std::log2(static_cast<double>(count));
    for (unsigned k = 1; k < n; ++k) {
        EXPECT_NEAR(data[2 * k], k == k0 ? 0.5 * count * a : 0.0, tol) << "k=" << k;
        EXPECT_NEAR(data[2 * k + 1], k == k0 ? 0.5 * count * b : 0.0, tol) << "k=" << k;
    }
    EXPECT_NEAR(data[0], 0.0, tol);
    EXPECT_NEAR(data[1], 0.0, tol);
}

INSTANTIATE_TEST_SUITE_P(Lengths, RealFft, ::testing::Values(2u, 4u, 8u, 16u, 32u, 64u, 128u, 256u, 512u, 1024u),
                         [](const auto& info) { return testing_support::CaseNumber("N", info.param); });

}  // namespace
}  // namespace tdcyl
