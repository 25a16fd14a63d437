// four1 and realft against direct O(N^2) sums of their definitions (in
// Extended), both directions, the packed half spectrum included.
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

INSTANTIATE_TEST_SUITE_P(Lengths, ComplexFft, ::testing::Values(1u, 2u, 8u, 64u, 512u),
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

INSTANTIATE_TEST_SUITE_P(Lengths, RealFft, ::testing::Values(2u, 4u, 8u, 64u, 512u),
                         [](const auto& info) { return testing_support::CaseNumber("N", info.param); });

}  // namespace
}  // namespace tdcyl
