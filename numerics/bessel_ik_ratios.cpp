#include "numerics/bessel_ik_ratios.hpp"

#include <cmath>
#include <limits>

namespace tdcyl {
namespace {

using C = std::complex<double>;
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kEuler = 0.5772156649015328606065120900824024;

// K_1/K_0 from the series about 0 (|z| < 2: the two series lose at most a
// factor I_0(2)/K_0(2) ~ 20 to cancellation).
C SeriesRatio(C z) {
    const C q = 0.25 * z * z, log_term = std::log(0.5 * z) + kEuler;
    C term0 = 1.0, term1 = 1.0;  // (z^2/4)^k / (k!)^2 and / (k! (k+1)!)
    C i0 = 1.0, i1 = 1.0, k0_rest = 0.0, k1_rest = 1.0;  // k1_rest: sum (H_k + H_(k+1)) term1
    double h = 0;  // harmonic number H_k
    for (int k = 1; k < 60; ++k) {
        term0 *= q / (static_cast<double>(k) * k);
        term1 *= q / (static_cast<double>(k) * (k + 1));
        h += 1.0 / k;
        i0 += term0;
        i1 += term1;
        k0_rest += h * term0;
        k1_rest += (2 * h + 1.0 / (k + 1)) * term1;
        if (std::abs(term0) < 1e-18 * std::abs(i0) && std::abs(term1) < 1e-18 * std::abs(i1)) break;
    }
    i1 *= 0.5 * z;
    const C k0 = -log_term * i0 + k0_rest;
    const C k1 = 1.0 / z + log_term * i1 - 0.25 * z * k1_rest;
    return k1 / k0;
}

}  // namespace

C ScaledBesselI0AndRatios(C z, int n, std::vector<C>& ratio) {
    ratio.assign(static_cast<std::size_t>(n) + 1, C(0, 0));
    if (z == C(0, 0)) return 1.0;
    // The ratios converge to those of the minimal solution I_m from an order
    // beyond the turning point |z| by a margin that grows as |z|^(1/3).
    const double az = std::abs(z);
    const int top = static_cast<int>(std::max<double>(n, az) + 30 + 12 * std::cbrt(az));
    const C two_over_z = 2.0 / z;
    C r = 0, tail = 0;  // tail = sum_(k >= m) I_k / I_(m-1), by Horner's rule
    for (int m = top; m >= 1; --m) {
        r = 1.0 / (static_cast<double>(m) * two_over_z + r);
        if (m <= n) ratio[static_cast<std::size_t>(m)] = r;
        tail = r * (1.0 + tail);
    }
    return 1.0 / (1.0 + 2.0 * tail);
}

C BesselK1OverK0(C z) {
    if (std::abs(z) < 2) return SeriesRatio(z);
    // Steed's algorithm for the continued fraction of K_1/K_0 (order 0 of the
    // ratio K_(nu+1)/K_nu); it converges for every z off the negative axis.
    C b = 2.0 * (1.0 + z), d = 1.0 / b, delh = d, h = d;
    double a = -0.25;
    for (int i = 2; i < 100000; ++i) {
        a -= 2.0 * (i - 1);
        b += 2.0;
        d = 1.0 / (b + a * d);
        delh = (b * d - 1.0) * delh;
        h += delh;
        if (std::abs(delh) < kEps * std::abs(h)) break;
    }
    return (z + 0.5 - 0.25 * h) / z;
}

}  // namespace tdcyl
