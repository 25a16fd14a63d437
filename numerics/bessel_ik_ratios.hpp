#pragma once
// Modified Bessel functions of integer order and complex argument in the
// right half plane, in double precision, as the ratios that products and
// quotients of them need: no value overflows however large |z| or the order.
#include <complex>
#include <vector>

namespace tdcyl {

// ratio[m] = I_m(z) / I_(m-1)(z) for m = 1 ... n (ratio[0] = 0), by the
// backward recurrence of the ratios from an order well above n and |z|, and
// e^(-z) I_0(z) from the generating function e^z = I_0(z) + 2 sum_k I_k(z).
// Re z >= 0; z = 0 gives ratio 0 and I_0 = 1.
std::complex<double> ScaledBesselI0AndRatios(std::complex<double> z, int n, std::vector<std::complex<double>>& ratio);

// K_1(z) / K_0(z) for Re z >= 0, z != 0: the power series below |z| = 2,
// Steed's continued fraction above.
std::complex<double> BesselK1OverK0(std::complex<double> z);

}  // namespace tdcyl
