// realft (and through it four1, in both directions) against a direct O(N^2)
// sum of its definition in Extended, the packed half spectrum included; the
// inverse by the round trip.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "case_names.hpp"
#include "numerics/extended.hpp"
#include "numerics/real_fft.hpp"

namespace tdcyl {
namespace {

using StdCx = std::complex<Extended>;

// F_k = sum_j x_j exp(+2 pi i j k / N), the exponent reduced modulo N.
std::vector<StdCx> Dft(const std::vector<double>& x) {
    const std::size_t n = x.size();
    std::vector<StdCx> out(n);
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t j = 0; j < n; ++j)
            out[k] += static_cast<Extended>(x[j]) * std::polar(1.0L, 6.283185307179586476925286766559L * ((j * k) % n) / n);
    return out;
}

std::vector<double> RandomData(std::size_t count, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(count);
    for (double& x : v) x = u(gen);
    return v;
}

// Rounding of a radix-2 transform grows like log2(N) eps |F|, and |F| ~ sqrt(N)
// for unit-scale random input: about ten times the largest error measured.
double TransformTol(std::size_t count) {
    return 2e-15 * std::sqrt(static_cast<double>(count)) * std::log2(static_cast<double>(count) + 1.0);
}

// realft on N = 2n real values: packed F_0, F_{N/2}, Re F_1, Im F_1, ...; any
// isign other than +1 is the inverse, which returns n times the input.
class RealFft : public ::testing::TestWithParam<unsigned> {};

TEST_P(RealFft, ForwardMatchesDirectSumAndRoundTrips) {
    const unsigned n = GetParam();
    const std::vector<double> x = RandomData(2 * n, 101 + n);
    std::vector<double> data = x;
    realft(data.data(), n, 1);
    const std::vector<StdCx> ref = Dft(x);
    ASSERT_NEAR(data[0], static_cast<double>(ref[0].real()), TransformTol(2 * n));
    ASSERT_NEAR(data[1], static_cast<double>(ref[n].real()), TransformTol(2 * n));
    for (unsigned k = 1; k < n; ++k) {
        ASSERT_NEAR(data[2 * k], static_cast<double>(ref[k].real()), TransformTol(2 * n)) << "k=" << k;
        ASSERT_NEAR(data[2 * k + 1], static_cast<double>(ref[k].imag()), TransformTol(2 * n)) << "k=" << k;
    }
    const std::vector<double> spectrum = data;
    for (int isign : {-1, 0, 2}) {
        data = spectrum;
        realft(data.data(), n, isign);
        for (unsigned j = 0; j < 2 * n; ++j) ASSERT_NEAR(data[j], n * x[j], n * TransformTol(2 * n)) << isign << " j=" << j;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, RealFft, ::testing::Values(2u, 4u, 8u, 512u),
                         [](const auto& info) { return testing_support::CaseNumber("N", info.param); });

}  // namespace
}  // namespace tdcyl
